#pragma once

#include "devices/DeviceInfo.h"

#include <array>
#include <cstdint>

// The fixed table that ties each relay to its bit of the relay state byte and its label slots.
// Every loop over relays runs from relay 1 to relay 8 through this table.
namespace devices {

struct RelayMapEntry {
    int relay;         // 1..8
    std::uint8_t mask; // its bit in the relay state byte
    int onSlot;        // label slot of its ON label
    int offSlot;       // label slot of its OFF label
};

inline constexpr int kRelayCount = kMaxRelays;

inline constexpr std::array<RelayMapEntry, kRelayCount> kRelayMap{{
    {1, 0x01, 0, 8},
    {2, 0x02, 1, 9},
    {3, 0x04, 2, 10},
    {4, 0x08, 3, 11},
    {5, 0x10, 4, 12},
    {6, 0x20, 5, 13},
    {7, 0x40, 6, 14},
    {8, 0x80, 7, 15},
}};

inline constexpr const RelayMapEntry& relayEntry(int relay) {
    return kRelayMap.at(static_cast<std::size_t>(relay - 1));
}

// The relay state byte with one relay switched on or off.
inline constexpr std::uint8_t withRelay(std::uint8_t byte, int relay, bool on) {
    const std::uint8_t mask = relayEntry(relay).mask;
    return on ? static_cast<std::uint8_t>(byte | mask) : static_cast<std::uint8_t>(byte & ~mask);
}

} // namespace devices
