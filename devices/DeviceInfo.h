#pragma once

#include <string>

namespace devices {

inline constexpr int kMaxRelays = 8; // the relay state byte's eight bits

// What tells one board apart from the others, and what it can do, as far as its family can say.
struct DeviceInfo {
    std::string family; // "ftdi", "sim", ...
    int relayCount = kMaxRelays;
    bool readsBack = true; // false: its relays are unknown until they are written
    std::string serial;    // the USB serial number; empty when it has none
    std::string portPath;  // the USB port path ("1-1.4"), or a serial port's or host's address
    std::string name;      // the family's own name for it ("sim1"), or a configured board's
    // Named by configuration (a boards.conf section, a --board FAMILY:DEVICE): its id is that
    // name, whatever its serial or port, as the user wrote it.
    bool configured = false;
};

} // namespace devices
