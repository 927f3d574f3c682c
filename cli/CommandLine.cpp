#include "cli/CommandLine.h"

#include "devices/RelayMap.h"
#include "service/Command.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>

namespace cli {

namespace {

const std::map<std::string, Command::Kind> kCommands{
    {"list", Command::Kind::List},
    {"get", Command::Kind::Get},
    {"set", Command::Kind::Set},
    {"on", Command::Kind::On},
    {"off", Command::Kind::Off},
    {"pulse", Command::Kind::Pulse},
    {"play", Command::Kind::Play},
    {"serve", Command::Kind::Serve},
    {"set-serial", Command::Kind::SetSerial},
};

// A serial number a board can be given: five printable ASCII characters, no space, as the HID
// relay boards keep them.
bool isSerial(const std::string& text) {
    return text.size() == 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c <= '~'; });
}

// A whole decimal number, nothing before or after it.
std::optional<int> wholeNumber(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// A host's name as it stands in topics and client ids: letters, digits, ".", "-" and "_", as
// host names are.
bool isNodeName(const std::string& text) {
    return text.size() <= 64 &&
           text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789.-_") == std::string::npos;
}

bool isPattern(const std::string& text) {
    return text.size() == devices::kRelayCount && text.find_first_not_of("01") == std::string::npos;
}

struct Parser {
    const std::vector<std::string>& arguments;
    std::size_t next = 0;
    Command command;
    std::vector<std::string> operands;

    std::optional<UsageError> option(const std::string& name) {
        const auto value = [&]() -> std::optional<std::string> {
            if (next >= arguments.size())
                return std::nullopt;
            return arguments[next++];
        };
        if (name == "--repeat" && command.kind == Command::Kind::Play) {
            command.repeat = true;
        } else if (name == "--all" && command.kind == Command::Kind::Serve) {
            command.allBoards = true;
        } else if (name == "--no-discovery" && command.kind == Command::Kind::Serve) {
            command.discovery = false;
        } else if (command.kind == Command::Kind::Serve &&
                   (name == "--mqtt" || name == "--mqtt-ca" || name == "--mqtt-password-file" ||
                    name == "--mqtt-node" || name == "--programs" || name == "--http" ||
                    name == "--http-cert" || name == "--http-key" || name == "--http-token-file")) {
            const std::optional<std::string> text = value();
            if (!text || text->empty())
                return UsageError{name + " takes a value"};
            if (name == "--mqtt-node" && !isNodeName(*text))
                return UsageError{"--mqtt-node takes a name of letters, digits, \".\", \"-\" and "
                                  "\"_\", at most 64: " +
                                  *text};
            (name == "--mqtt"                 ? command.mqttUrl
             : name == "--mqtt-ca"            ? command.mqttCaFile
             : name == "--mqtt-password-file" ? command.mqttPasswordFile
             : name == "--mqtt-node"          ? command.mqttNode
             : name == "--http"               ? command.httpListen
             : name == "--http-cert"          ? command.httpCert
             : name == "--http-key"           ? command.httpKey
             : name == "--http-token-file"    ? command.httpTokenFile
                                              : command.programsDir) = *text;
        } else if (name == "--board" && next < arguments.size() &&
                   devices::namesFamily(arguments[next])) {
            std::variant<devices::ConfiguredBoard, devices::ConfigError> board =
                devices::parseBoardArgument(arguments[next++]);
            if (const auto* error = std::get_if<devices::ConfigError>(&board))
                return UsageError{error->message};
            if (!command.boards.empty() && command.kind != Command::Kind::Serve)
                return UsageError{"only serve takes more than one --board"};
            command.named.push_back(std::get<devices::ConfiguredBoard>(std::move(board)));
            command.boards.push_back(command.named.back().id);
        } else if (name == "--board") {
            const std::optional<std::string> text = value();
            const bool digits = text && !text->empty() &&
                                text->find_first_not_of("0123456789") == std::string::npos;
            if (!text || text->empty() ||
                (digits && (!wholeNumber(*text) || *wholeNumber(*text) < 1)))
                return UsageError{"--board takes a board number from 1, an id, a serial or a port "
                                  "path: " +
                                  text.value_or("")};
            if (!command.boards.empty() && command.kind != Command::Kind::Serve)
                return UsageError{"only serve takes more than one --board"};
            command.boards.push_back(*text);
        } else if (name == "--for" && command.kind == Command::Kind::Pulse) {
            const std::optional<std::string> text = value();
            const std::optional<std::chrono::milliseconds> length =
                text ? parseDuration(*text) : std::nullopt;
            if (!length || !service::isPulseLength(*length))
                return UsageError{"--for takes a pulse length of 10ms to 24h, e.g. 500ms, 2s or "
                                  "5min: " +
                                  text.value_or("")};
            command.pulse = *length;
        } else if (name == "--resolution" && command.kind == Command::Kind::Play) {
            const std::optional<std::string> text = value();
            const std::optional<int> number = text ? wholeNumber(*text) : std::nullopt;
            if (!number || *number < kMinResolution || *number > kMaxResolution)
                return UsageError{"--resolution takes 1 to 100 milliseconds: " + text.value_or("")};
            command.resolution = *number;
        } else {
            return UsageError{"unknown option " + name};
        }
        return std::nullopt;
    }

    std::optional<UsageError> operandsFit() {
        const auto count = [&](std::size_t n, const char* what) -> std::optional<UsageError> {
            if (operands.size() != n)
                return UsageError{what};
            return std::nullopt;
        };
        switch (command.kind) {
        case Command::Kind::List:
        case Command::Kind::Get:
            return count(0, "this command takes no operand");
        case Command::Kind::Set:
            if (auto error = count(1, "set takes one pattern, e.g. set 10100000"))
                return error;
            if (!isPattern(operands[0]))
                return UsageError{"the pattern must be eight characters 0 or 1, relay 1 first: " +
                                  operands[0]};
            command.pattern = operands[0];
            return std::nullopt;
        case Command::Kind::On:
        case Command::Kind::Off:
        case Command::Kind::Pulse:
            if (operands.empty())
                return UsageError{"name at least one relay, 1 to 8"};
            for (const std::string& operand : operands) {
                const std::optional<int> relay = wholeNumber(operand);
                if (!relay || *relay < 1 || *relay > devices::kRelayCount)
                    return UsageError{"a relay is a number from 1 to 8: " + operand};
                command.relays.push_back(*relay);
            }
            return std::nullopt;
        case Command::Kind::Play:
            if (auto error = count(1, "play takes one program file"))
                return error;
            command.file = operands[0];
            return std::nullopt;
        case Command::Kind::SetSerial:
            if (auto error = count(1, "set-serial takes one serial number, e.g. set-serial R0001"))
                return error;
            if (!isSerial(operands[0]))
                return UsageError{"a serial number is five printable characters, no space: " +
                                  operands[0]};
            command.serial = operands[0];
            return std::nullopt;
        case Command::Kind::Serve:
            if (command.allBoards == !command.boards.empty())
                return UsageError{"serve takes --board ID (one or more) or --all"};
            if (command.httpCert.empty() != command.httpKey.empty())
                return UsageError{"--http-cert and --http-key go together"};
            if (command.httpListen.empty() &&
                !(command.httpCert + command.httpKey + command.httpTokenFile).empty())
                return UsageError{"--http-cert, --http-key and --http-token-file need --http"};
            return count(0, "serve takes no operand");
        case Command::Kind::Help:
        case Command::Kind::Version:
            break;
        }
        return std::nullopt;
    }
};

} // namespace

std::optional<std::chrono::milliseconds> parseDuration(const std::string& text) {
    const std::size_t unitAt = text.find_first_not_of("0123456789");
    if (unitAt == 0 || unitAt == std::string::npos || unitAt > 9)
        return std::nullopt;
    const std::optional<int> number = wholeNumber(text.substr(0, unitAt));
    const std::string unit = text.substr(unitAt);
    const std::int64_t scale = unit == "ms" ? 1 : unit == "s" ? 1000 : unit == "min" ? 60'000 : 0;
    if (!number || scale == 0)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<std::int64_t>(*number) * scale);
}

std::variant<Command, UsageError> parseCommandLine(const std::vector<std::string>& arguments) {
    if (arguments.empty())
        return UsageError{"no command given"};
    const std::string& first = arguments[0];
    Command command;
    if (first == "--help" || first == "-h") {
        command.kind = Command::Kind::Help;
        return command;
    }
    if (first == "--version") {
        command.kind = Command::Kind::Version;
        return command;
    }
    const auto found = kCommands.find(first);
    if (found == kCommands.end())
        return UsageError{"unknown command " + first};
    Parser parser{arguments, 1, {}, {}};
    parser.command.kind = found->second;
    while (parser.next < arguments.size()) {
        const std::string& argument = arguments[parser.next++];
        if (argument.size() > 1 && argument[0] == '-') {
            if (auto error = parser.option(argument))
                return *error;
        } else {
            parser.operands.push_back(argument);
        }
    }
    if (auto error = parser.operandsFit())
        return *error;
    if (parser.command.boards.empty() && parser.command.kind != Command::Kind::Serve)
        parser.command.boards.push_back("1");
    return parser.command;
}

std::string usageText() {
    return "Usage:\n"
           "  tambrook-cli list                     the boards: number, id, port path, serial,\n"
           "                                        family, relay count and who holds it\n"
           "  tambrook-cli get  [--board N]         the relays as eight 0/1, relay 1 first\n"
           "  tambrook-cli set  PATTERN [--board N] switch all eight relays, e.g. 10100000\n"
           "  tambrook-cli on   RELAY... [--board N] switch relays 1-8 on, keep the others\n"
           "  tambrook-cli off  RELAY... [--board N] switch relays 1-8 off, keep the others\n"
           "  tambrook-cli pulse RELAY... [--for TIME] [--board N]\n"
           "                                        switch relays on, and off again after TIME\n"
           "                                        (10ms to 24h: 500ms, 2s, 5min; default: the\n"
           "                                        relay's pulse in boards.conf); a holder runs\n"
           "                                        it on its own, else this holds the board\n"
           "  tambrook-cli play FILE [--resolution MS] [--repeat] [--board N]\n"
           "                                        play a program file, MS (1-100, default 1)\n"
           "                                        per tick; Ctrl+C stops after the current step\n"
           "  tambrook-cli serve --board N... | --all\n"
           "                                        hold the boards and serve each on a local\n"
           "                                        socket until INT or TERM\n"
           "        [--mqtt mqtt[s]://[USER@]HOST[:PORT] [--mqtt-ca FILE]\n"
           "         [--mqtt-password-file FILE] [--mqtt-node NAME] [--programs DIR]\n"
           "         [--no-discovery]]\n"
           "                                        and on an MQTT broker, with Home Assistant\n"
           "                                        discovery (password also from\n"
           "                                        TAMBROOK_MQTT_PASSWORD; NAME stands for the\n"
           "                                        host name in topics)\n"
           "        [--http [ADDR:]PORT [--http-cert FILE --http-key FILE]\n"
           "         [--http-token-file FILE]]\n"
           "                                        and on a web page and HTTP API (ADDR\n"
           "                                        default 127.0.0.1), each request with the\n"
           "                                        token serve logs at its start\n"
           "  tambrook-cli set-serial SERIAL [--board N]\n"
           "                                        give the board a new five-character serial\n"
           "                                        number (HID relay boards)\n"
           "  tambrook-cli --help | --version\n"
           "N is a board's number, id, serial or USB port path, or FAMILY:DEVICE[,KEY=VALUE]...\n"
           "for a board that is not found by itself (lcus:/dev/ttyUSB0,relays=4,\n"
           "modbus:tcp://HOST,address=3), as a section of boards.conf would name it. A board\n"
           "that another program holds is reached through that program.\n"
           "Exit status: 0 done, 1 no such board, board busy or a driver call failed,\n"
           "2 bad usage, bad input or a bad boards.conf.\n";
}

} // namespace cli
