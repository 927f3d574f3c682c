#pragma once

#include "service/Command.h"

#include <QJsonObject>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// A client's request line, read and checked whole before anything of it runs, so that bad input
// never reaches the board.
namespace share {

// A command for the holder, and the board the client means when it says (another's holder
// refuses it).
struct Request : service::Command {
    std::string boardId;
};

// The request of one line (without its line end), or the error line's text.
std::variant<Request, std::string> parseRequest(std::string_view line);

// The request as a client sends it.
QJsonObject requestObject(const Request& request);

// Whether a line, of which this is the beginning, is a play request naming itself first
// ({"request":"play",...}): only such a line may carry a program longer than other lines.
bool startsPlayRequest(std::string_view line);

} // namespace share
