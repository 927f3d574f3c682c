#pragma once

#include "model/ProgramFile.h"
#include "service/Command.h"
#include "service/Programs.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// What a message on one of a board's command topics asks for, read whole before anything runs.
namespace mqtt {

struct Command {
    enum class Kind { Switch, Pulse, SetAll, Play, Stop };
    Kind kind = Kind::Stop;
    int relay = 0; // Switch, Pulse: 1 to 8
    // Switch: On, Off or Toggle
    service::Command::Kind how = service::Command::Kind::On;
    std::uint8_t pattern = 0; // SetAll: bit n-1 = relay n
    std::string program;      // Play: the payload, steps or a program's name
    // Pulse: how long; an empty payload leaves it to the relay's default.
    std::optional<std::chrono::milliseconds> pulse;
};

// The command of a payload on a topic under the board's prefix ("relay/3/set", "state/set",
// "program/play", "program/stop"), or why it is not understood.
std::variant<Command, std::string> parseCommand(std::string_view subtopic,
                                                std::string_view payload);

// Whether the payload is program steps; a misspelt program name must not play as steps. The
// socket's play requests are held to the same rule.
using programfile::holdsOnlySteps;

// Whether a payload may name a file in the programs folder.
using service::isProgramName;

// What a peer sent, fit for one log line: its first `limit` characters, valid UTF-8 kept, a
// backslash, control characters and bytes that are not UTF-8 written as escapes (\n, \x00, \xff),
// and "..." when it goes on; so that no payload can forge a line or garble the log.
std::string printable(std::string_view text, std::size_t limit = 40);

} // namespace mqtt
