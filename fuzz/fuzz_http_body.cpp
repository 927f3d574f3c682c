// Any bytes as a route's body or a WebSocket message: the reader answers with a command or an
// error, never more; a command it accepts stays in range and does what its route says.
#include "http/Requests.h"

#include <cstdint>
#include <cstdlib>
#include <variant>

namespace {

using Kind = service::Command::Kind;

constexpr http::Action kActions[] = {http::Action::SetRelays,  http::Action::SwitchRelay,
                                     http::Action::PulseRelay, http::Action::Play,
                                     http::Action::Stop,       http::Action::Pause,
                                     http::Action::Resume};

bool inRange(const service::Command& command) {
    for (const int relay : command.relays)
        if (relay < 1 || relay > 8)
            return false;
    return command.resolution.value_or(1) >= 1 && command.resolution.value_or(1) <= 100 &&
           (!command.pulse || service::isPulseLength(*command.pulse));
}

// The route's own kind of command, and for a relay's route that relay alone.
bool fitsRoute(http::Action action, int relay, const http::BodyRequest& request) {
    const service::Command& command = request.command;
    switch (action) {
    case http::Action::SetRelays:
        return command.kind == Kind::Set;
    case http::Action::SwitchRelay:
        return (command.kind == Kind::On || command.kind == Kind::Off) &&
               command.relays == std::vector<int>{relay};
    case http::Action::PulseRelay:
        return command.kind == Kind::Pulse && command.relays == std::vector<int>{relay};
    case http::Action::Play:
        return command.kind == Kind::Play &&
               (request.programName.empty() || request.programName.find('/') == std::string::npos);
    case http::Action::Stop:
        return command.kind == Kind::Stop;
    case http::Action::Pause:
        return command.kind == Kind::Pause;
    case http::Action::Resume:
        return command.kind == Kind::Resume;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the route and its relay; the rest is the body.
    const http::Action action = kActions[data[0] % std::size(kActions)];
    const int relay = 1 + (data[0] / std::size(kActions)) % 8;
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto read = http::readBody(action, relay, body);
    if (const auto* request = std::get_if<http::BodyRequest>(&read))
        if (!inRange(request->command) || !fitsRoute(action, relay, *request))
            std::abort();
    const auto message = http::readMessage(body);
    if (const auto* taken = std::get_if<http::Message>(&message))
        if (!inRange(taken->command) || taken->board.empty())
            std::abort();
    return 0;
}
