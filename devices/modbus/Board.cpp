#include "devices/modbus/Board.h"

#include <array>
#include <charconv>
#include <optional>
#include <string_view>

namespace devices::modbus {

namespace {

constexpr std::string_view kTcpScheme = "tcp://";
constexpr std::array<std::string_view, 5> kKeys{"family", "device", "relays", "address", "baud"};
// The rates every Linux serial driver takes; libmodbus falls back to 9600 for others, which
// would talk to the board at a rate nobody asked for.
constexpr std::array<int, 9> kBauds{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

std::optional<int> numberOf(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// relay1.label and the like: the next issue's per-relay options, not the family's to judge.
bool isRelayOption(std::string_view key) {
    constexpr std::string_view prefix = "relay";
    if (!key.starts_with(prefix))
        return false;
    const std::size_t dot = key.find('.');
    return dot != std::string_view::npos && dot > prefix.size() &&
           numberOf(key.substr(prefix.size(), dot - prefix.size())).has_value();
}

bool isKnownKey(std::string_view key) {
    for (const std::string_view known : kKeys)
        if (key == known)
            return true;
    return isRelayOption(key);
}

ConfigError refused(const Setting& setting, const std::string& id, const std::string& why) {
    return ConfigError{setting.where + ": modbus board " + id + ": " + why};
}

// tcp://HOST[:PORT], HOST a name, an IPv4 address or an IPv6 address in brackets.
std::optional<std::string> readTcpDevice(std::string_view rest, Board& board) {
    std::string_view host = rest;
    std::optional<std::string_view> port;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return "an IPv6 address is written in brackets: tcp://[ADDRESS]:PORT";
        host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty() && !after.starts_with(':'))
            return "after the host comes nothing or :PORT";
        if (!after.empty())
            port = after.substr(1);
    } else if (const std::size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return "an IPv6 address is written in brackets: tcp://[ADDRESS]:PORT";
    }
    if (host.empty() || host.find_first_of("/ ") != std::string_view::npos)
        return "no host in tcp://HOST[:PORT]";
    if (port) {
        const std::optional<int> number = numberOf(*port);
        if (!number || *number < 1 || *number > 65535)
            return "the port is a number from 1 to 65535, not \"" + std::string(*port) + "\"";
        board.port = *number;
    }
    board.tcp = true;
    board.host = std::string(host);
    return std::nullopt;
}

} // namespace

std::variant<Board, ConfigError> boardOf(const ConfiguredBoard& section) {
    Board board;
    board.id = section.id;
    for (const auto& [key, setting] : section.settings)
        if (!isKnownKey(key))
            return refused(setting, section.id, "unknown key " + key);

    const Setting* device = section.find("device");
    if (!device || device->value.empty())
        return ConfigError{section.where + ": modbus board " + section.id +
                           ": no device (a serial port or tcp://HOST[:PORT])"};
    board.device = device->value;
    if (std::string_view(board.device).starts_with(kTcpScheme)) {
        if (auto why =
                readTcpDevice(std::string_view(board.device).substr(kTcpScheme.size()), board))
            return refused(*device, section.id, *why);
    } else if (board.device.find("://") != std::string::npos) {
        return refused(*device, section.id, "a device is a serial port or tcp://HOST[:PORT]");
    }

    if (const Setting* relays = section.find("relays")) {
        const std::optional<int> count = relayCountOf(relays->value);
        if (!count)
            return refused(*relays, section.id,
                           "relays is a number from 1 to 8, not " + relays->value);
        board.relays = *count;
    }
    if (const Setting* address = section.find("address")) {
        // A serial line's addresses are 1 to 247 (0 is a broadcast nobody answers); a TCP unit
        // id is one byte, 255 or 0 for a board behind no gateway.
        const int highest = board.tcp ? 255 : 247;
        const int lowest = board.tcp ? 0 : 1;
        const std::optional<int> number = numberOf(address->value);
        if (!number || *number < lowest || *number > highest)
            return refused(*address, section.id,
                           "address is a number from " + std::to_string(lowest) + " to " +
                               std::to_string(highest) + ", not " + address->value);
        board.address = *number;
    }
    if (const Setting* baud = section.find("baud")) {
        if (board.tcp)
            return refused(*baud, section.id, "baud is for a serial port, not tcp://");
        const std::optional<int> rate = numberOf(baud->value);
        bool known = false;
        for (const int standard : kBauds)
            known = known || rate == standard;
        if (!known)
            return refused(*baud, section.id,
                           "baud is one of 1200, 2400, 4800, 9600, 19200, "
                           "38400, 57600, 115200, 230400, not " +
                               baud->value);
        board.baud = *rate;
    }
    return board;
}

std::variant<std::vector<Board>, ConfigError>
boardsOf(const std::vector<ConfiguredBoard>& sections) {
    std::vector<Board> boards;
    for (const ConfiguredBoard& section : sections) {
        std::variant<Board, ConfigError> board = boardOf(section);
        if (auto* error = std::get_if<ConfigError>(&board))
            return std::move(*error);
        boards.push_back(std::get<Board>(std::move(board)));
    }
    return boards;
}

} // namespace devices::modbus
