#include "service/Executor.h"

#include "devices/RelayMap.h"
#include "model/Failure.h"
#include "model/ProgramFile.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace service {

namespace {

// A program's text, read by the rules of a program file.
ProgramRows programOf(const std::string& text) {
    ProgramRows rows;
    programfile::ProgramReader reader(!programfile::holdsLineFeed(text),
                                      [&rows](std::string_view row) { rows.append(row); });
    reader.feed(text);
    reader.finish();
    if (rows.empty())
        rows.append("00000000-0");
    return rows;
}

Reply refused(std::string why) {
    return {false, std::move(why), {}};
}

Reply badInput(std::string why, bool interlock = false) {
    return {false, std::move(why), {}, interlock, true};
}

} // namespace

std::variant<ProgramRows, std::string> checkedProgram(const std::string& text, bool repeat,
                                                      int relayCount) {
    ProgramRows rows = programOf(text);
    if (const auto bad = model::findUnplayableStep(rows, repeat))
        return "line " + std::to_string(bad->row + 1) +
               " cannot be played: " + model::failureText(bad->failure);
    if (const auto absent = model::findAbsentRelay(rows, relayCount))
        return "line " + std::to_string(absent->row + 1) + " switches relay " +
               std::to_string(absent->relay) + ", which this board does not have (it has " +
               model::relayCountText(relayCount) + ")";
    return rows;
}

std::optional<std::string> relayProblem(const Command& command, const State& state) {
    const auto absent = [&](int relay) {
        return "relay " + std::to_string(relay) + " is not on this board (it has " +
               model::relayCountText(state.relayCount) + ")";
    };
    if (command.kind == Command::Kind::Set) {
        for (const devices::RelayMapEntry& entry : devices::kRelayMap)
            if (entry.relay > state.relayCount && (command.pattern & entry.mask))
                return absent(entry.relay);
        return std::nullopt;
    }
    if (command.kind != Command::Kind::On && command.kind != Command::Kind::Off &&
        command.kind != Command::Kind::Toggle && command.kind != Command::Kind::Pulse)
        return std::nullopt;
    for (const int relay : command.relays) {
        if (relay > state.relayCount)
            return absent(relay);
        if (command.kind == Command::Kind::Toggle &&
            !(state.known & devices::relayEntry(relay).mask))
            return "relay " + std::to_string(relay) +
                   " cannot be switched over: its state is unknown until it is set";
    }
    return std::nullopt;
}

Executor::Executor(model::Model& model, Holder holder, Runner runner, devices::BoardOptions options)
    : model_(model)
    , holder_(std::move(holder))
    , runner_(std::move(runner))
    , options_(std::move(options)) {}

Executor::~Executor() {
    {
        const std::lock_guard lock(pendingLock_);
        quit_ = true;
        pending_.reset();
    }
    pendingChanged_.notify_all();
    if (pendingThread_.joinable())
        pendingThread_.join();
}

State Executor::state() const {
    State state = stateOf(*model_.snapshot(), holder_);
    for (std::size_t i = 0; i < state.names.size(); ++i)
        state.names[i] = options_.relays[i].name;
    return state;
}

void Executor::run(const std::function<void()>& operation) {
    if (runner_) {
        runner_(operation);
    } else {
        const model::Model::Lock lock = model_.lockForAction();
        operation();
    }
}

Reply Executor::execute(const Command& command) {
    try {
        return carryOut(command);
    } catch (const model::InterlockRefused& refusal) {
        return badInput(refusal.what(), true);
    } catch (...) {
        const std::string text = model::failureText(std::current_exception());
        return refused(text.empty() ? "unknown failure" : text);
    }
}

Reply Executor::carryOut(const Command& command) {
    if (command.writes() && !model_.snapshot()->boardFound)
        return refused("the board is not there (unplugged or not answering); its holder opens it "
                       "again when it is back");
    if (std::optional<std::string> why = relayProblem(command, state()))
        return badInput(std::move(*why));
    bool written = true;
    switch (command.kind) {
    case Command::Kind::State:
    case Command::Kind::Watch:
        break;
    case Command::Kind::Set:
        run([&] { written = writeInterlocked(0xFF, command.pattern); });
        break;
    case Command::Kind::On:
    case Command::Kind::Off:
    case Command::Kind::Toggle:
        run([&] { written = switchRelays(command.relays, command.kind); });
        break;
    case Command::Kind::Pulse:
        if (std::optional<std::string> why = pulseRelays(command))
            return refused(std::move(*why));
        break;
    case Command::Kind::Play: {
        // Checked here, so that a long program holds up neither the board nor the window.
        const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
        std::variant<ProgramRows, std::string> checked = checkedProgram(
            command.program, command.repeat.value_or(shown->repeat), shown->relayCount);
        if (auto* why = std::get_if<std::string>(&checked))
            return badInput(std::move(*why));
        // Whatever the policy: a step is a whole pattern, and nobody chooses between its relays.
        if (const auto breach =
                model::findInterlockBreach(std::get<ProgramRows>(checked), model_.interlocks()))
            return badInput("line " + std::to_string(breach->row + 1) +
                                " cannot be played: " + breach->why,
                            true);
        run([&] {
            cancelPendingOn();
            playRows(std::move(std::get<ProgramRows>(checked)), command.resolution, command.repeat);
        });
        break;
    }
    case Command::Kind::Stop:
        run([&] {
            cancelPendingOn();
            if (model_.snapshot()->run != model::Run::Idle)
                model_.startOrStop();
        });
        break;
    case Command::Kind::Pause:
        run([&] { press(model::Run::Running, &model::Model::pauseOrResume); });
        break;
    case Command::Kind::Resume:
        run([&] { press(model::Run::Paused, &model::Model::pauseOrResume); });
        break;
    }
    if (!written)
        return refused("the board did not take the write");
    return {true, {}, state()};
}

// One write: the relays given switched on, off or over, the others kept (and unknown ones left
// unknown).
bool Executor::switchRelays(const std::vector<int>& relays, Command::Kind how) {
    std::uint8_t byte = model_.snapshot()->relayByte;
    std::uint8_t which = 0;
    for (const int relay : relays) {
        const std::uint8_t mask = devices::relayEntry(relay).mask;
        const bool on = how == Command::Kind::Toggle ? !(byte & mask) : how == Command::Kind::On;
        byte = devices::withRelay(byte, relay, on);
        which |= mask;
    }
    return writeInterlocked(which, byte);
}

// Under the model's lock. Without interlocks, or under `reject` (where the model refuses a write
// that would break one), one write; under `switch`, the others of the group go off first and the
// relay goes on once the dead time has passed, on the executor's own thread.
bool Executor::writeInterlocked(std::uint8_t which, std::uint8_t relays) {
    cancelPendingOn();
    const model::Interlocks interlocks = model_.interlocks();
    const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
    // A relay whose state is unknown may be on: under switch it is turned off first too.
    const auto possiblyOn = static_cast<std::uint8_t>(shown->relayByte | ~shown->knownRelays);
    const model::InterlockSwitch plan =
        model::planInterlockedWrite(interlocks, possiblyOn, which, relays);
    if (!(plan.which == 0xFF ? model_.writeRelays(plan.relays)
                             : model_.switchRelays(plan.which, plan.relays)))
        return false;
    if (!plan.onAfter)
        return true;
    if (interlocks.deadTime().count() <= 0)
        return model_.switchRelays(plan.onAfter, plan.onAfter);
    turnOnAfter(plan.onAfter, interlocks.deadTime());
    return true;
}

void Executor::cancelPendingOn() {
    const std::lock_guard lock(pendingLock_);
    pending_.reset();
    ++generation_;
}

void Executor::turnOnAfter(std::uint8_t relays, std::chrono::milliseconds deadTime) {
    {
        const std::lock_guard lock(pendingLock_);
        pending_ = PendingOn{relays, std::chrono::steady_clock::now() + deadTime, ++generation_};
        if (!pendingThread_.joinable())
            pendingThread_ = std::thread([this] { waitForPendingOns(); });
    }
    pendingChanged_.notify_all();
}

// The relays go on only if nothing was written meanwhile (which cancels them) and nothing turned
// another relay of their group on since (a program's step): that is judged again under the lock.
void Executor::waitForPendingOns() {
    std::unique_lock lock(pendingLock_);
    for (;;) {
        pendingChanged_.wait(lock, [this] { return quit_ || pending_; });
        if (quit_)
            return;
        const PendingOn waiting = *pending_;
        if (pendingChanged_.wait_until(lock, waiting.due, [&] {
                return quit_ || !pending_ || pending_->generation != waiting.generation;
            }))
            continue;
        lock.unlock();
        try {
            run([&] {
                {
                    const std::lock_guard stillPending(pendingLock_);
                    if (!pending_ || pending_->generation != waiting.generation)
                        return;
                    pending_.reset();
                }
                const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
                const auto now = static_cast<std::uint8_t>(shown->relayByte | ~shown->knownRelays);
                if (!model_.interlocks().breach(waiting.relays, now | waiting.relays))
                    model_.switchRelays(waiting.relays, waiting.relays);
            });
        } catch (...) {
            // The board failed or its holder is closing: the relay stays off, which is safe.
        }
        lock.lock();
    }
}

// Each relay's pulse lasts as long as the command says, else as long as the relay's own default;
// all go on in one write. Checked whole before anything is written.
std::optional<std::string> Executor::pulseRelays(const Command& command) {
    std::vector<std::pair<int, std::chrono::nanoseconds>> pulses;
    for (const int relay : command.relays) {
        const std::optional<std::chrono::milliseconds> length =
            command.pulse ? command.pulse : defaultPulse(relay);
        if (!length)
            return "relay " + std::to_string(relay) +
                   " has no pulse length: give one, or set relay" + std::to_string(relay) +
                   ".pulse in boards.conf";
        if (!isPulseLength(*length))
            return "a pulse lasts 10 ms to 24 h";
        pulses.emplace_back(relay, *length);
    }
    bool written = false;
    run([&] { written = model_.pulseRelays(pulses); });
    if (!written)
        return std::string("the board did not take the write");
    return std::nullopt;
}

std::optional<std::chrono::milliseconds> Executor::defaultPulse(int relay) const {
    return options_.relay(relay).pulse;
}

// A running program is stopped first, as "Open File" and "Start" would; a resolution or repeat
// not given keeps the holder's own (the window's slider and "Repeat").
void Executor::playRows(ProgramRows rows, std::optional<int> resolution,
                        std::optional<bool> repeat) {
    if (model_.snapshot()->run != model::Run::Idle)
        model_.startOrStop();
    model_.loadProgram(std::move(rows));
    if (resolution)
        model_.changeResolution(*resolution);
    if (repeat)
        model_.setRepeat(*repeat);
    model_.startOrStop();
}

// A button does something only in the state where it would on the window.
void Executor::press(model::Run when, void (model::Model::*button)()) {
    if (model_.snapshot()->run == when)
        (model_.*button)();
}

} // namespace service
