#pragma once

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

struct Request {
    enum class Kind { State, Watch, Set, On, Off, Play, Stop, Pause, Resume };
    Kind kind = Kind::State;
    std::uint8_t pattern = 0; // set: bit n-1 = relay n
    std::vector<int> relays;  // on, off: 1 to 8, at least one
    std::string program;      // play: the program file's text, Latin-1
    // play: 1 to 100 ms, and whether it repeats; not given, the holder keeps its own settings
    std::optional<int> resolution;
    std::optional<bool> repeat;
    std::string boardId;      // the board the client means, when it says; another's holder refuses

    // Whether it switches relays or plays, which needs the board to be there.
    bool writes() const {
        return kind == Kind::Set || kind == Kind::On || kind == Kind::Off || kind == Kind::Play;
    }
};

// The request of one line (without its line end), or the error line's text.
std::variant<Request, std::string> parseRequest(std::string_view line);

// The request as a client sends it.
QJsonObject requestObject(const Request& request);

// Whether a line, of which this is the beginning, is a play request naming itself first
// ({"request":"play",...}): only such a line may carry a program longer than other lines.
bool startsPlayRequest(std::string_view line);

} // namespace share
