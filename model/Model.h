#pragma once

#include "devices/Registry.h"
#include "model/BoardSession.h"
#include "model/ChangeFeed.h"
#include "model/Form.h"
#include "model/LabelStore.h"
#include "model/ModelMutex.h"
#include "model/Pause.h"
#include "model/Player.h"
#include "model/ProgramRows.h"
#include "model/Snapshot.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace model {

// What became of a tick the sequencer asked for.
struct TickOutcome {
    bool ran = false;           // false: the timer was not the one asked about any more
    std::int64_t startedAt = 0; // monotonic ns, when the lock was won
    std::int64_t endedAt = 0;   //
    std::exception_ptr failure; // a failure that stopped the run
    bool stillRunning = false;  // the same run goes on
};

// How opening a board by its number went.
enum class Opening { Opened, NoSuchBoard, WentAway, StoppedAnswering, Refused };

// The program: its state and the operations its front ends run, each named for what it does.
// The board is reached only through the driver interface and the pause only through its seam.
//
// One lock guards the whole model. Every operation takes it (it is recursive), and a front end
// may hold it across several operations, a pause or a dialog with lockForAction(); the sequencer
// lets waiting front ends go first, so ticks that follow each other never shut one out. Each
// release of the lock after a change publishes a new snapshot, which front ends read without it.
class Model {
public:
    // Holds the model's lock; the last one released publishes the state.
    class [[nodiscard]] Lock {
    public:
        // A lock only for a look at the state publishes nothing.
        explicit Lock(const Model& model, bool mayChange = true);
        ~Lock();
        Lock(Lock&& other) noexcept;
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        Lock& operator=(Lock&&) = delete;

    private:
        const Model* model_;
    };
    using FailureSink = std::function<void(std::exception_ptr)>;

    // The boards are those of the registry, which outlives the model.
    Model(devices::Registry& boards, Pause& pause);

    // ---- any front end, any thread
    Lock lockForAction() const;
    // The options boards.conf gives the board with this id; they never change while it runs.
    const devices::BoardOptions& boardOptions(const std::string& id) const {
        return session_.options(id);
    }
    std::shared_ptr<const Snapshot> snapshot() const;
    // Wakes its subscribers whenever a snapshot was published.
    ChangeFeed& changes() const { return changes_; }
    // A failure in an action that another action set off (a row selected, the delay text set)
    // stops only that one; it goes here at once, on the thread of the action.
    void setFailureSink(FailureSink sink);

    // ---- the window's operations, in the order of its controls
    void create();
    void close(); // the board closes, the labels are saved and a running program stops
    void discoverBoards();
    // The captions, lamps, step buttons and board list, and the click sequences on them: the
    // window's alone.
    Form& form() { return form_; }
    // A mouse press on a relay's button: the label dialog will edit its labels, which are
    // returned; the label table is saved.
    RelayLabels pickRelayForLabels(int relay);
    // OK in the label dialog: the texts, cut to the dialog's length, become the picked relay's.
    void storeEditedLabels(const RelayLabels& edited);
    // Waits until the saved labels are on the disk. Never call it with the lock held.
    void flushLabels();
    // A left click on a row: the current row is applied again, another becomes current.
    void clickRow(int row);
    // The keyboard or the program makes a row current; only a different row is applied.
    void selectRow(int row);
    void addStep();
    void clearLastStep();
    void clearAllSteps();
    void stepDelay(int delta); // an arrow beside the delay
    void changeResolution(int resolution);
    void setRepeat(bool repeat);
    // Reads the file whole before the list changes; the failure's text when it could not. The
    // name is as the system spells it (bytes, not necessarily UTF-8).
    std::optional<QString> openProgramFile(const std::string& localPath);
    // Writes the rows to the chosen name (".txt" added); the failure's text when it could not.
    std::optional<QString> saveProgramFile(const QString& chosenName) const;
    void startOrStop();
    void pauseOrResume();

    // ---- scripts
    // Finds the boards and opens board `number` (from 1) as "Open Relay Board" does, adopting
    // its pins; with adoptPins false, it is only opened.
    Opening openBoard(int number, bool adoptPins);
    // Every pulse ends with its relay off before the board is let go: nobody would be left to end
    // it.
    void closeBoard();
    std::optional<std::uint8_t> readRelays();
    // One write of the pattern, shown as a user's relay clicks would show it; whether the board
    // took it (if not, nothing changes).
    bool writeRelays(std::uint8_t byte);
    // One write of the relays in `which` only, to their bits of `relays`: on a board that cannot
    // read back, the others stay unknown.
    bool switchRelays(std::uint8_t which, std::uint8_t relays);
    // The relays given (1 to 8) go on at once, in one write, and each goes off its length after
    // it, on the sequencer's clock; a later write to one of them by a script ends its pulse, while
    // a program's steps do not (the relay stays on until its off edge, then shows the program's
    // step). Whether the board took the write.
    bool pulseRelays(const std::vector<std::pair<int, std::chrono::nanoseconds>>& pulses);
    // The relays that must never be on together, from the board's options when it is opened: a
    // write or a click that would break them is refused (InterlockRefused), and so is a program
    // file that does.
    Interlocks interlocks() const;
    // The rows replace the program, as "Open File" replaces it.
    void loadProgram(ProgramRows rows);
    void stopProgram();

    // ---- holders that keep their board through an unplug (serve, play)
    // From now on a board that stops answering never stops the run: it is reported not found,
    // the run goes on by its clock without writing, and reopenBoard brings the board back.
    void keepRunningWithoutBoard();
    // The holder saw the board leave the bus before any write to it failed.
    void boardWentAway();
    // Opens the board with this id again, wherever it is on the bus now, the way it was opened,
    // without reading it, and writes the pattern last commanded once, so that the relays stand
    // as the run or the last request left them; whether it was there and took the write.
    bool reopenBoard(const std::string& id);

    // ---- the sequencer
    // Called, with the lock held, whenever the timer is enabled, disabled or given a new interval.
    void setTimerObserver(std::function<void()> observer);
    TimerSetting timerSetting() const;
    // One tick of the timer, due at `dueAt` (monotonic ns) by a schedule made for `scheduled`:
    // run only while that run goes on, and, when the resolution has changed since, only for a
    // tick that fell due before the change. Waits for front ends that wait for the lock first. A
    // failure in it stops the run and is returned.
    TickOutcome runTick(const TimerSetting& scheduled, std::int64_t dueAt);
    // The off edges of the pulses due by `now` (monotonic ns), in one write. Does not wait for
    // front ends that wait for the lock: the edge is due now.
    void endPulsesDueBy(std::int64_t now);

private:
    void letWaitingActionsGoFirst() const;
    void publish() const;
    void wakeSequencer() const;
    void showPulseEdge(std::uint8_t before);

    mutable ModelMutex mutex_;
    mutable int lockDepth_ = 0;           // under the lock
    mutable bool publishPending_ = false; // under the lock
    mutable ChangeFeed changes_;
    BoardSession session_;
    Player player_;
    Form form_;
    std::function<void()> timerObserver_;
    mutable std::shared_ptr<const Snapshot> published_; // under publishedLock_
    // Priority-inheriting too: a front end's thread that is preempted while it takes the
    // snapshot must not keep the real-time sequencer, which publishes the next one, waiting.
    mutable ModelMutex publishedLock_;
    mutable std::atomic<int> actionsWaiting_{0};
    LabelStore labels_; // last, so that its writer is flushed before the rest goes
};

// Reads a program file whole, by the rules of "Open File"; the failure's text when it could not.
std::optional<QString> readProgramFile(const std::string& localPath, ProgramRows& rows);

} // namespace model
