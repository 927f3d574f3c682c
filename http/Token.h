#pragma once

#include <string>
#include <string_view>
#include <variant>

// The one secret that lets a client reach the HTTP front end: made once, kept in a file only its
// user may read, and never rewritten, so that a bookmarked address or a script's header keeps
// working across restarts.
namespace http {

// Where it is kept unless told otherwise: beside the other state files ($XDG_STATE_HOME/tambrook,
// ~/.local/state/tambrook, or /var/lib/tambrook for a system service).
std::string defaultTokenPath();

struct Token {
    std::string text;
    bool made = false; // this start made it
};

// The token in the file (one line), or a new random 128-bit one, in hex, written there with mode
// 0600 when the file is not there yet; why not, when neither can be. A file made meanwhile by
// another start is read rather than replaced.
std::variant<Token, std::string> loadOrMakeToken(const std::string& path);

// Whether a client's token is the token, in a time that does not depend on where they differ.
bool sameToken(std::string_view given, std::string_view token);

} // namespace http
