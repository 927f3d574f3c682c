#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// The sixteen relay labels and their 320-byte file image. Slot n-1 holds relay n's ON label and
// slot 7+n its OFF label. Labels are bytes, one per character; a slot holds at most 19 of them so
// that its zero byte fits in its 20-byte field.
namespace labels {

inline constexpr std::size_t kSlotCount = 16;
inline constexpr std::size_t kFieldSize = 20;
inline constexpr std::size_t kMaxLabelLength = kFieldSize - 1;
inline constexpr std::size_t kImageSize = kSlotCount * kFieldSize;
inline constexpr std::size_t kTypedLabelLength = 15;  // what a user may type into the dialog
inline constexpr std::size_t kDialogLabelLength = 18; // what OK keeps of an edited label

using LabelTable = std::array<std::string, kSlotCount>;
using LabelImage = std::array<char, kImageSize>;

LabelTable defaultLabels();

// Each slot's text, then a zero byte, at offset 20 x slot; the rest of each field is zero.
LabelImage encodeLabelImage(const LabelTable& table);

// Reads as many bytes as a file held. A field that arrived whole is taken up to its zero byte, or
// its first 19 bytes when it has none; a field that did not arrive whole keeps its default label.
LabelTable decodeLabelImage(std::string_view bytes);

} // namespace labels
