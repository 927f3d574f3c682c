#include "mqtt/Commands.h"

#include "board/RelayMap.h"
#include "model/StepText.h"

#include <array>
#include <utility>

namespace mqtt {

namespace {

std::string quoted(std::string_view payload) {
    return "\"" + std::string(payload.substr(0, 40)) + "\"";
}

std::variant<Command, std::string> relayCommand(std::string_view number, std::string_view payload) {
    constexpr std::array<std::pair<std::string_view, share::Switch>, 3> kSwitches{
        {{"ON", share::Switch::On},
         {"OFF", share::Switch::Off},
         {"TOGGLE", share::Switch::Toggle}}};
    Command command;
    command.kind = Command::Kind::Switch;
    command.relay = number.size() == 1 ? number[0] - '0' : 0;
    bool known = false;
    for (const auto& [word, how] : kSwitches)
        if (payload == word) {
            command.how = how;
            known = true;
        }
    if (command.relay < 1 || command.relay > board::kRelayCount || !known)
        return quoted(payload) + " is not understood";
    return command;
}

} // namespace

std::variant<Command, std::string> parseCommand(std::string_view subtopic,
                                                std::string_view payload) {
    constexpr std::string_view relay = "relay/";
    constexpr std::string_view set = "/set";
    if (subtopic.substr(0, relay.size()) == relay && subtopic.size() >= relay.size() + set.size() &&
        subtopic.substr(subtopic.size() - set.size()) == set)
        return relayCommand(
            subtopic.substr(relay.size(), subtopic.size() - relay.size() - set.size()), payload);
    Command command;
    if (subtopic == "state/set") {
        if (payload.size() != board::kRelayCount ||
            payload.find_first_not_of("01") != std::string_view::npos)
            return quoted(payload) + " is not eight 0/1";
        command.kind = Command::Kind::SetAll;
        command.pattern = steps::relayByteOfRow(std::string(payload));
        return command;
    }
    if (subtopic == "program/stop")
        return command;
    if (subtopic == "program/play") {
        if (!holdsOnlySteps(payload) && !isProgramName(payload))
            return quoted(payload) + " is neither a program nor a program's name";
        command.kind = Command::Kind::Play;
        command.program = std::string(payload);
        return command;
    }
    return "not a command topic";
}

bool isProgramName(std::string_view payload) {
    return !payload.empty() &&
           payload.find_first_of(std::string_view("\r\n/\0", 4)) == std::string_view::npos &&
           payload != "." && payload != "..";
}

} // namespace mqtt
