#include "model/LabelTable.h"

#include <algorithm>

namespace labels {

LabelTable defaultLabels() {
    LabelTable table;
    for (std::size_t relay = 1; relay <= 8; ++relay) {
        table[relay - 1] = "Relay " + std::to_string(relay) + " ON";
        table[relay + 7] = "Relay " + std::to_string(relay) + " OFF";
    }
    return table;
}

LabelImage encodeLabelImage(const LabelTable& table) {
    LabelImage image{};
    for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
        const std::string& text = table[slot];
        const std::size_t length = std::min(text.size(), kMaxLabelLength);
        std::copy_n(text.begin(), length, image.begin() + slot * kFieldSize);
    }
    return image;
}

LabelTable decodeLabelImage(std::string_view bytes) {
    LabelTable table = defaultLabels();
    for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
        const std::size_t offset = slot * kFieldSize;
        if (bytes.size() < offset + kFieldSize)
            break;
        const std::string_view field = bytes.substr(offset, kFieldSize);
        table[slot] = std::string(field.substr(0, std::min(field.find('\0'), kMaxLabelLength)));
    }
    return table;
}

} // namespace labels
