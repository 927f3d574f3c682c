#pragma once

#include "devices/Options.h"
#include "model/Model.h"
#include "model/ProgramRows.h"
#include "service/Command.h"
#include "service/State.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
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
    void playRows(ProgramRows rows, std::optional<int> resolution, std::optional<bool> repeat);
    void press(model::Run when, void (model::Model::*button)());

    model::Model& model_;
    const Holder holder_;
    Runner runner_;
    const devices::BoardOptions options_;
};

} // namespace service
