#include "devices/hid/Commands.h"

#include <bit>

namespace devices::hid {

namespace {
constexpr std::uint8_t kOn = 0xFF;
constexpr std::uint8_t kOff = 0xFD;
constexpr std::uint8_t kAllOn = 0xFE;
constexpr std::uint8_t kAllOff = 0xFC;
constexpr std::uint8_t kSetSerial = 0xFA;

Report frame(std::uint8_t command, std::uint8_t argument = 0) {
    Report report{};
    report[1] = command;
    report[2] = argument;
    return report;
}
} // namespace

std::optional<int> relayCountOf(std::string_view manufacturer, std::string_view product) {
    if (manufacturer != "www.dcttech.com")
        return std::nullopt;
    for (const int count : {1, 2, 4, 8})
        if (product == "USBRelay" + std::to_string(count))
            return count;
    return std::nullopt;
}

std::vector<Report> framesFor(std::uint8_t current, std::uint8_t wanted, int relayCount) {
    const std::uint8_t mask = relayMask(relayCount);
    current &= mask;
    wanted &= mask;
    const auto changed = static_cast<std::uint8_t>(current ^ wanted);
    if (changed == 0)
        return {};
    if (std::popcount(changed) > 1 && (wanted == mask || wanted == 0))
        return {frame(wanted == 0 ? kAllOff : kAllOn)};
    std::vector<Report> frames;
    for (int relay = 1; relay <= relayCount; ++relay) {
        const auto bit = static_cast<std::uint8_t>(1u << (relay - 1));
        if (changed & bit)
            frames.push_back(frame(wanted & bit ? kOn : kOff, static_cast<std::uint8_t>(relay)));
    }
    return frames;
}

Report serialFrame(const std::string& serial) {
    Report report = frame(kSetSerial);
    for (std::size_t i = 0; i < kSerialLength && i < serial.size(); ++i)
        report[2 + i] = static_cast<std::uint8_t>(serial[i]);
    return report;
}

std::optional<std::string> badSerial(const std::string& serial) {
    if (serial.size() != kSerialLength)
        return "a serial number has five characters, not " + std::to_string(serial.size());
    for (const char c : serial)
        if (c <= ' ' || c > '~')
            return "a serial number takes printable ASCII characters other than space only";
    return std::nullopt;
}

} // namespace devices::hid
