#pragma once

#include "service/Command.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

// What an HTTP client sent, read whole and checked before anything of it runs: a route's JSON
// body, or a WebSocket message. Both end in the socket protocol's own reader (share/Request), so
// a request means the same and is refused for the same reasons whichever way it came.
namespace http {

inline constexpr std::size_t kMaxBodyBytes = 64 * 1024;

// The routes that carry a body, or act on a board.
enum class Action { SetRelays, SwitchRelay, PulseRelay, Play, Stop, Pause, Resume };

struct BodyRequest {
    service::Command command;
    // Play {"name": ...}: a file of the programs folder, read once the request is taken.
    std::string programName;
};

// The command a route's body asks for; relay is the route's relay (1 to 8) where it names one.
// Why not, as the error's text (400), when the body is not what the route takes.
std::variant<BodyRequest, std::string> readBody(Action action, int relay, std::string_view body);

// A WebSocket message: a request of the socket protocol naming its board ("board": "ID").
struct Message {
    service::Command command;
    std::string board;
};

std::variant<Message, std::string> readMessage(std::string_view text);

} // namespace http
