#pragma once

#include "model/ProgramFile.h"
#include "share/Operations.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

// What a message on one of a board's command topics asks for, read whole before anything runs.
namespace mqtt {

struct Command {
    enum class Kind { Switch, SetAll, Play, Stop };
    Kind kind = Kind::Stop;
    int relay = 0;                         // Switch: 1 to 8
    share::Switch how = share::Switch::On; // Switch
    std::uint8_t pattern = 0;              // SetAll: bit n-1 = relay n
    std::string program;                   // Play: the payload, steps or a program's name
};

// The command of a payload on a topic under the board's prefix ("relay/3/set", "state/set",
// "program/play", "program/stop"), or why it is not understood.
std::variant<Command, std::string> parseCommand(std::string_view subtopic,
                                                std::string_view payload);

// Whether the payload is program steps; a misspelt program name must not play as steps. The
// socket's play requests are held to the same rule.
using programfile::holdsOnlySteps;

// Whether a payload may name a file in the programs folder: one line, no "/", not "." or "..",
// no zero byte; so that a name never reaches outside the folder.
bool isProgramName(std::string_view payload);

} // namespace mqtt
