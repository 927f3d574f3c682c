#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a client asks of a held board, whichever transport brought it: read whole and checked by
// that transport's reader before it becomes one of these, so that bad input never reaches a board.
namespace service {

// The lengths a pulse may have: long enough for a relay to pull in, short enough to be a pulse.
inline constexpr std::chrono::milliseconds kMinPulse{10};
inline constexpr std::chrono::milliseconds kMaxPulse{24 * 60 * 60 * 1000};

inline bool isPulseLength(std::chrono::milliseconds length) {
    return length >= kMinPulse && length <= kMaxPulse;
}

struct Command {
    enum class Kind { State, Watch, Set, On, Off, Toggle, Pulse, Play, Stop, Pause, Resume };
    Kind kind = Kind::State;
    std::uint8_t pattern = 0; // Set: bit n-1 = relay n
    std::vector<int> relays;  // On, Off, Toggle, Pulse: relays 1 to 8, at least one
    // Pulse: how long (kMinPulse to kMaxPulse); not given: each relay's own default.
    std::optional<std::chrono::milliseconds> pulse;
    std::string program;           // Play: a program file's text, Latin-1
    std::optional<int> resolution; // Play: 1 to 100 ms; not given: the holder's own
    std::optional<bool> repeat;    // Play; not given: the holder's own

    // Whether it switches relays or plays, which needs the board to be there.
    bool writes() const {
        return kind == Kind::Set || kind == Kind::On || kind == Kind::Off || kind == Kind::Toggle ||
               kind == Kind::Pulse || kind == Kind::Play;
    }
};

} // namespace service
