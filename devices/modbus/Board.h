#pragma once

#include "devices/Config.h"

#include <string>
#include <variant>
#include <vector>

// A Modbus relay board as boards.conf or --board describes it.
namespace devices::modbus {

inline constexpr int kDefaultBaud = 9600;
inline constexpr int kDefaultAddress = 1;
inline constexpr int kDefaultTcpPort = 502;

struct Board {
    std::string id;     // the section's name
    std::string device; // as written: a serial port's path or tcp://HOST[:PORT]
    bool tcp = false;
    std::string host; // tcp only, without the brackets of an IPv6 address
    int port = kDefaultTcpPort;
    int baud = kDefaultBaud; // a serial port only; 8N1 always
    int address = kDefaultAddress;
    int relays = 8; // coils 0..relays-1
};

// One section with family = modbus. A key this family does not take, or a value it cannot use,
// is refused naming the line it was written on; relayN.* keys are left to the relay options.
std::variant<Board, ConfigError> boardOf(const ConfiguredBoard& section);

// Every section, or the first one refused.
std::variant<std::vector<Board>, ConfigError>
boardsOf(const std::vector<ConfiguredBoard>& sections);

} // namespace devices::modbus
