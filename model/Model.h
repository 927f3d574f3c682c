#pragma once

#include "devices/Registry.h"
#include "devices/RelayDevice.h"
#include "devices/RelayMap.h"
#include "model/ChangeFeed.h"
#include "model/LabelSaver.h"
#include "model/LabelTable.h"
#include "model/ModelMutex.h"
#include "model/Pause.h"
#include "model/ProgramRows.h"
#include "model/StepText.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace model {

// A lamp is uncoloured until code first colours it; only the on state counts as on.
enum class Lamp : std::uint8_t { Uncoloured, On, Off };

// What the controls of one relay show. Captions are label bytes, one per character; the relay
// button's caption is the record of its relay (the ON label while the relay is off).
struct RelayView {
    std::string caption;     // relay button on "Manual Mode"
    std::string stepCaption; // step button on "Timer Mode"
    bool stepOn = false;     // the step button stands in its on position
    Lamp lamp = Lamp::Uncoloured;
};

// Whether a program plays: idle (it can be started), running, or paused (it can be resumed).
enum class Run : std::uint8_t { Idle, Running, Paused };

// A relay's two labels as the label dialog shows and returns them.
struct RelayLabels {
    QString on;
    QString off;
};

inline constexpr int kDelayMinimum = 0;
inline constexpr int kDelayMaximum = 9999;
inline constexpr std::string_view kBoardStoppedAnswering =
    "The relay board stopped answering; the program was stopped.";

// The state as front ends see it: a copy, published whenever the model's lock is released after
// a change, and read without the lock.
struct Snapshot {
    std::uint64_t version = 0; // counts the copies published

    // ---- the relays
    std::uint8_t relayByte = 0; // bit n-1 = relay n, as last written or read
    std::array<RelayView, devices::kRelayCount> relays{};
    labels::LabelTable labelTable{};
    int editedRelay = 0; // relay 1..8 whose labels the label dialog edits

    // ---- "Options": the boards found, the entry chosen, the list's text and the status
    std::uint32_t deviceCount = 0;
    int boardEntry = -1; // the chosen entry, -1 for none
    // The list's edit text when a user changed it; otherwise the list's own text for the boards
    // found.
    std::optional<std::string> boardListText;
    bool boardFound = false;
    std::string boardId; // of the board opened, until it is closed; empty for none

    // ---- "Timer Mode": the program, the step delay and the run
    std::shared_ptr<const ProgramRows> rows; // never empty
    std::uint64_t rowsVersion = 0;           // counts changes to the rows' texts or number
    int currentRow = 0;
    QString delayText = QStringLiteral("0"); // may differ from the value ("05")
    int timerValue = 0;                      // counts the playing step down
    int savedStepDelay = 0;                  // the playing step's full delay
    int resolution = 1;                      // the timer interval in ms
    bool repeat = false;
    Run run = Run::Idle;
    bool timerEnabled = true; // as the form describes it, until start-up

    int rowCount() const { return static_cast<int>(rows->size()); }
    std::string_view rowText(int row) const { return rows->at(static_cast<std::size_t>(row)); }
    const RelayView& relay(int relay) const {
        return relays.at(static_cast<std::size_t>(relay - 1));
    }
    std::string onLabel(int relay) const;
    std::string offLabel(int relay) const;
};

// What the sequencer needs to know of the timer.
struct TimerSetting {
    bool enabled = false;
    std::uint64_t run = 0;          // counts the times the timer was enabled
    int intervalMs = 1;             // the resolution
    std::int64_t startedAt = 0;     // monotonic ns the run's ticks count from
    std::int64_t intervalSetAt = 0; // monotonic ns the resolution was last changed
};

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

struct UnplayableStep;

// A write of a run failed on a board that had been opened: the run has stopped.
class BoardStoppedAnswering : public std::runtime_error {
public:
    BoardStoppedAnswering()
        : std::runtime_error(std::string(kBoardStoppedAnswering)) {}
};

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
    // The board list's chosen entry (-1 for none) and its edit text, which change together.
    void chooseBoardEntry(int entry, std::string listText);
    void openSelectedBoard();
    void clickRelayButton(int relay);
    void switchAllRelays(bool on);
    // A mouse press on a relay's button: the label dialog will edit its labels, which are
    // returned; the label table is saved.
    RelayLabels pickRelayForLabels(int relay);
    // OK in the label dialog: the texts, cut to the dialog's length, become the picked relay's.
    void storeEditedLabels(const RelayLabels& edited);
    // Waits until the saved labels are on the disk. Never call it with the lock held.
    void flushLabels();
    void clickStepButton(int relay);
    // A left click on a row: the current row is applied again, another becomes current.
    void clickRow(int row);
    // The keyboard or the program makes a row current; only a different row is applied.
    void selectRow(int row);
    void addStep();
    void clearLastStep();
    void clearAllSteps();
    void editDelayText(const QString& text);
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
    void closeBoard();
    std::optional<std::uint8_t> readRelays();
    // One write of the pattern, shown as a user's relay clicks would show it; whether the board
    // took it (if not, nothing changes).
    bool writeRelays(std::uint8_t byte);
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

private:
    friend std::optional<UnplayableStep> findUnplayableStep(const ProgramRows& rows, bool repeat);

    // What the model keeps beside what it shows.
    struct State : Snapshot {
        std::uint64_t timerRun = 0;       // counts the times the timer was enabled
        std::int64_t timerEnabledAt = 0;  // monotonic ns the run's ticks count from
        std::int64_t resolutionSetAt = 0; // monotonic ns of the last change of the resolution
    };

    void letWaitingActionsGoFirst() const;
    std::string idOfDevice(std::uint32_t index);
    void publish() const;
    template <typename Action> void runSetOff(Action&& action);
    void noteFailure(std::exception_ptr failure);
    void setStatusPanel(bool found) { state_.boardFound = found; }
    void noteBoardStatus(bool succeeded);
    bool openDevice(std::size_t index);
    void stopIfBoardFailedSince(std::uint64_t failures);
    void startProgram();
    void playFirstStep();
    template <typename Step> std::exception_ptr playRunStep(Step&& step);
    std::exception_ptr tick();
    void timerTick();
    void endStep();
    void loadLabels();
    void saveLabels();
    void readRelayByte();
    void writeRelayByte();
    void showBoardOnLamps();
    void sendLampsToBoard();
    void sendStepButtonsToBoard();
    void toggleRelay(int relay);
    void allRelaysOn();
    void allRelaysOff();
    void showCaptionsOnLamps();
    void showBoardOnCaptions();
    void copyRelayCaptionToStepButton(int relay);
    void showBoardOnStepButtons();
    void writeBoardPatternToCurrentRow();
    void showStepButtonsOnLamps();
    void composeCurrentRow();
    void applySelectedRow();
    void manualClickSequence(int relay);
    void settleAndReadBack();
    bool storeDelayText(const QString& text); // whether the text changed
    void readTimerValueFromText();
    void setDelayText(const QString& text);
    void setTimerValue(int value);
    void setTimerEnabled(bool enabled);
    void setRowCount(int count);
    void setRowText(int row, std::string_view text);
    std::string onLabel(int relay) const { return state_.onLabel(relay); }
    std::string offLabel(int relay) const { return state_.offLabel(relay); }
    RelayView& relay(int relay) { return state_.relays.at(static_cast<std::size_t>(relay - 1)); }
    int rowCount() const { return static_cast<int>(rows_.size()); }
    std::string currentRowText() const {
        return std::string(rows_.at(static_cast<std::size_t>(state_.currentRow)));
    }
    void setCurrentRowText(const std::string& text) { setRowText(state_.currentRow, text); }

    mutable ModelMutex mutex_;
    mutable int lockDepth_ = 0;           // under the lock
    mutable bool publishPending_ = false; // under the lock
    devices::Registry& boards_;
    std::unique_ptr<devices::RelayDevice>
        device_; // never null; the place of a board until one opens
    std::vector<devices::Registry::Entry> found_; // the boards the last discovery found
    mutable ChangeFeed changes_;
    Pause& pause_;
    State state_;
    ProgramRows rows_; // the program; its blocks are shared with published snapshots
    mutable std::shared_ptr<const Snapshot> published_; // under publishedLock_
    // Priority-inheriting too: a front end's thread that is preempted while it takes the
    // snapshot must not keep the real-time sequencer, which publishes the next one, waiting.
    mutable ModelMutex publishedLock_;
    FailureSink failureSink_;
    std::function<void()> timerObserver_;
    bool inRunStep_ = false;            // a tick, or Start's first step, is under way
    std::exception_ptr runStepFailure_; // the first failure of that step
    std::uint64_t boardFailures_ = 0;   // failed reads and writes of an opened board
    bool keepRunningWithoutBoard_ = false;
    bool boardAway_ = false; // kept running without its board: nothing is read or written
    std::int64_t lastWriteStartedAt_ = 0; // monotonic ns
    mutable std::atomic<int> actionsWaiting_{0};
    labels::LabelSaver labelSaver_; // last, so that it is flushed before the rest goes
};

// A step of a program that cannot be played, and why.
struct UnplayableStep {
    std::size_t row; // from 0
    std::exception_ptr failure;
};

// The first step of the program that would stop its run (a row too short for its eight relays, a
// delay that cannot be shown), found without playing it on a board.
std::optional<UnplayableStep> findUnplayableStep(const ProgramRows& rows, bool repeat);

// Reads a program file whole, by the rules of "Open File"; the failure's text when it could not.
std::optional<QString> readProgramFile(const std::string& localPath, ProgramRows& rows);

} // namespace model
