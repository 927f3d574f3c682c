#pragma once

#include <array>
#include <cstdint>

// What an LCUS board takes: four bytes per relay, A0, the relay's number, 01 on or 00 off, and
// their sum modulo 256. A board ignores a frame whose sum does not match, and has no frame for
// several relays at once.
namespace devices::lcus {

using Frame = std::array<std::uint8_t, 4>;

inline constexpr std::uint8_t kFrameStart = 0xA0;

inline constexpr Frame frameFor(int relay, bool on) {
    const auto channel = static_cast<std::uint8_t>(relay);
    const std::uint8_t op = on ? 0x01 : 0x00;
    return {kFrameStart, channel, op, static_cast<std::uint8_t>(kFrameStart + channel + op)};
}

// The time one frame takes on a serial line: ten bits a byte (start, eight data, stop).
inline constexpr double frameSeconds(int baud) {
    return 4.0 * 10.0 / baud;
}

} // namespace devices::lcus
