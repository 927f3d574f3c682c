#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The fixed table that ties each relay to its bit of the relay state byte, its controls and its
// label slots. Every loop over relays runs from relay 1 to relay 8 through this table; nothing
// else in the program knows which control belongs to which relay.
namespace board {

struct RelayMapEntry {
    int relay;                    // 1..8
    std::uint8_t mask;            // its bit in the relay state byte
    std::string_view lamp;        // relay lamp on the main window
    std::string_view relayButton; // button on "Manual Mode"
    std::string_view stepButton;  // button on "Timer Mode"
    int onSlot;                   // label slot of its ON label
    int offSlot;                  // label slot of its OFF label
};

inline constexpr int kRelayCount = 8;

inline constexpr std::array<RelayMapEntry, kRelayCount> kRelayMap{{
    {1, 0x01, "Panel10", "Button2", "Button18", 0, 8},
    {2, 0x02, "Panel9", "Button3", "Button17", 1, 9},
    {3, 0x04, "Panel8", "Button1", "Button16", 2, 10},
    {4, 0x08, "Panel7", "Button4", "Button15", 3, 11},
    {5, 0x10, "Panel6", "Button5", "Button14", 4, 12},
    {6, 0x20, "Panel5", "Button6", "Button13", 5, 13},
    {7, 0x40, "Panel4", "Button7", "Button12", 6, 14},
    {8, 0x80, "Panel3", "Button8", "Button11", 7, 15},
}};

inline constexpr const RelayMapEntry& relayEntry(int relay) {
    return kRelayMap.at(static_cast<std::size_t>(relay - 1));
}

// The relay whose relay button or step button has this name; 0 for any other control.
inline constexpr int relayOfButton(std::string_view name) {
    for (const RelayMapEntry& entry : kRelayMap)
        if (entry.relayButton == name || entry.stepButton == name)
            return entry.relay;
    return 0;
}

} // namespace board
