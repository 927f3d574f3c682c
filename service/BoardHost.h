#pragma once

#include "devices/Identity.h"
#include "devices/Options.h"
#include "engine/Sequencer.h"
#include "model/Model.h"
#include "service/Executor.h"

#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace service {

using Log = std::function<void(const std::string& line)>;

// One transport serving one held board (its socket, its bridge to a broker, ...).
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // The board left the bus or stopped answering (false), or is back (true).
    virtual void presenceChanged(bool /*present*/) {}
    // Told of every held board before any of them is let go, so that front ends that take time
    // to leave (a broker's "offline") leave together; gone: the board is not there any more.
    virtual void stopping(bool /*gone*/) {}
};

// One held board: its model, its sequencer, the executor its clients' commands go through, and
// its front ends. Letting it go tears it down in one order: the front ends first (the last added
// first), so no client reaches it meanwhile; then the run stops, the sequencer ends, the relays
// whose on_exit is "off" are turned off, and the board closes with its relays as they are.
class BoardHost {
public:
    // Holds a board its model has opened, with its options from boards.conf; why not when it
    // cannot (no descriptor left for the sequencer's timer).
    static std::variant<std::unique_ptr<BoardHost>, std::string>
    make(std::unique_ptr<model::Model> model, devices::BoardId board, std::string kind,
         devices::BoardOptions options = {});
    ~BoardHost();
    BoardHost(const BoardHost&) = delete;
    BoardHost& operator=(const BoardHost&) = delete;

    const devices::BoardId& board() const { return board_; }
    const std::string& id() const { return board_.id; }
    model::Model& model() const { return *model_; }
    engine::Sequencer& sequencer() const { return *sequencer_; }
    Executor& executor() { return executor_; }
    const devices::BoardOptions& options() const { return executor_.options(); }

    void add(std::unique_ptr<FrontEnd> frontEnd);
    void stopping();

    // The board is not served as present until it is back; whether it had been served so.
    bool markLost();
    bool lost() const { return lost_; }
    // Opens the board again by its id and gives it the pattern last commanded; whether it is back.
    bool reopen();

private:
    struct Key {};

public:
    BoardHost(Key, std::unique_ptr<model::Model> model, devices::BoardId board, std::string kind,
              devices::BoardOptions options);

private:
    std::unique_ptr<model::Model> model_;
    std::unique_ptr<engine::Sequencer> sequencer_;
    devices::BoardId board_;
    Executor executor_;
    std::vector<std::unique_ptr<FrontEnd>> frontEnds_;
    bool lost_ = false;
};

} // namespace service
