#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the "USBRelayN" boards (V-USB, www.dcttech.com firmware) are told, and how they say who
// they are: plain data, no device in sight.
namespace devices::hid {

inline constexpr std::uint16_t kVendorId = 0x16c0;
inline constexpr std::uint16_t kProductId = 0x05df;
// hidapi's buffer for the board's eight-byte feature report: report id 0 first.
inline constexpr std::size_t kReportBuffer = 9;
inline constexpr std::size_t kSerialLength = 5;

using Report = std::array<std::uint8_t, kReportBuffer>;

// The relay count of a board with these USB strings, or nothing for another V-USB device that
// shares the ids: only "www.dcttech.com" with "USBRelay1", "USBRelay2", "USBRelay4" or
// "USBRelay8" is one of these boards.
std::optional<int> relayCountOf(std::string_view manufacturer, std::string_view product);

// The reports that take a board from `current` to `wanted` (bit n-1 = relay n, only the board's
// relays): nothing when nothing changes, FE or FC when every relay goes to one value and more
// than one changes, else FF n / FD n for each relay that changes, in relay order.
std::vector<Report> framesFor(std::uint8_t current, std::uint8_t wanted, int relayCount);

// The report that gives the board a new serial number.
Report serialFrame(const std::string& serial);

// Why a serial number cannot be a board's (five printable ASCII characters, no space), or
// nothing when it can.
std::optional<std::string> badSerial(const std::string& serial);

// The bits of a board's relays.
inline std::uint8_t relayMask(int relayCount) {
    return static_cast<std::uint8_t>((1u << relayCount) - 1u);
}

} // namespace devices::hid
