#pragma once

#include "devices/Options.h"
#include "model/Interlock.h"
#include "model/Model.h"
#include "model/ProgramRows.h"
#include "service/Command.h"
#include "service/State.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

// One way to carry out what a client asks of a held board, for every transport.
namespace service {

// Runs one operation of a client on the holder's model the way the holder runs its own: the
// window on its own thread, under its lock; a failure is thrown back to the caller.
using Runner = std::function<void(const std::function<void()>& operation)>;

// What became of a command: done, with the state after it, or why not (nothing was written).
struct Reply {
    bool ok = true;
    std::string error;
    State state;
    bool interlock = false; // refused because it would break an interlock: bad input
    // Refused for the command itself (a relay the board does not have, a program that cannot be
    // played, an interlock), not for the board: asking again the same way cannot succeed.
    bool badInput = false;
};

// A program's text, read by the rules of a program file and checked whole, for a board of so many
// relays: its rows, or why they cannot be played. Takes no lock, so a long program is checked
// while the board plays on.
std::variant<ProgramRows, std::string> checkedProgram(const std::string& text, bool repeat,
                                                      int relayCount = devices::kMaxRelays);

// Why a command names a relay the board does not have (or switches over one whose state is not
// known); nothing when it does not.
std::optional<std::string> relayProblem(const Command& command, const State& state);

class Executor {
public:
    // Without a runner, operations run on the caller's thread under the model's lock. The options
    // are the board's, from boards.conf.
    Executor(model::Model& model, Holder holder, Runner runner = {},
             devices::BoardOptions options = {});
    // A relay held back by an interlock's dead time never goes on after its executor is gone.
    ~Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Never throws: a failure of the board or of the program is the reply's error. Waits for no
    // client and never holds the model's lock while the program is checked.
    Reply execute(const Command& command);
    State state() const;
    const Holder& holder() const { return holder_; }
    const devices::BoardOptions& options() const { return options_; }
    model::Model& model() const { return model_; }
    // How long a pulse of this relay lasts when the command gives no length: nothing when the
    // board's options give it none.
    std::optional<std::chrono::milliseconds> defaultPulse(int relay) const;

private:
    Reply carryOut(const Command& command);
    void run(const std::function<void()>& operation);
    bool switchRelays(const std::vector<int>& relays, Command::Kind how);
    std::optional<std::string> pulseRelays(const Command& command);
    bool writeInterlocked(std::uint8_t which, std::uint8_t relays);
    void turnOnAfter(std::uint8_t relays, std::chrono::milliseconds deadTime);
    void cancelPendingOn();
    void waitForPendingOns();
    void playRows(ProgramRows rows, std::optional<int> resolution, std::optional<bool> repeat);
    void press(model::Run when, void (model::Model::*button)());

    model::Model& model_;
    const Holder holder_;
    Runner runner_;
    const devices::BoardOptions options_;

    // The relays an interlock's `switch` holds back until the others have been off for the dead
    // time: turned on from a thread of the executor's own, so that the wait holds up neither the
    // model's lock nor the transport's other clients. Any later write cancels them.
    struct PendingOn {
        std::uint8_t relays = 0;
        std::chrono::steady_clock::time_point due{};
        std::uint64_t generation = 0;
    };
    std::mutex pendingLock_;
    std::condition_variable pendingChanged_;
    std::optional<PendingOn> pending_; // under pendingLock_
    std::uint64_t generation_ = 0;     // under pendingLock_
    bool quit_ = false;                // under pendingLock_
    std::thread pendingThread_;        // started at the first dead time
};

} // namespace service
