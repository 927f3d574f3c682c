#pragma once

namespace model {

// How long the relays are given to settle after a press, before the board is read back; the
// label dialog waits as long after OK.
inline constexpr int kSettlePauseMs = 50;

// The blocking pause of the thread that runs a user action; tests use one that does not wait.
class Pause {
public:
    virtual ~Pause() = default;
    virtual void pause(int milliseconds) = 0;
};

} // namespace model
