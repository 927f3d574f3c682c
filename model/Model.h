#pragma once

#include "board/RelayBoard.h"
#include "board/RelayMap.h"
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
    int stepTop = steps::kStepOffTop;
    Lamp lamp = Lamp::Uncoloured;
};

inline constexpr std::string_view kStart = "Start";
inline constexpr std::string_view kStop = "Stop";
inline constexpr std::string_view kPause = "Pause";
inline constexpr std::string_view kResume = "Resume";
inline constexpr int kDelayMinimum = 0;
inline constexpr std::string_view kBoardStoppedAnswering =
    "The relay board stopped answering; the program was stopped.";
inline constexpr int kDelayMaximum = 9999;

// Everything the window treats as state, as plain data, but the program rows, which the model
// keeps apart: the views render a copy of this, taken under the model's lock, and read the rows
// they draw from the model.
struct State {
    // ---- shared by both windows
    std::uint8_t relayByte = 0;     // bit n-1 = relay n; the buffer of every read and write
    std::uint32_t deviceCount = 0;  // boards found by the last discovery
    std::uint32_t bytesWritten = 0; // out-parameter of every write; never read
    labels::LabelTable labelTable{};
    int editedRelay = 0;             // relay 1..8 whose labels the label dialog edits
    std::int32_t savedStepDelay = 0; // delay of the step the sequencer plays

    // ---- "Options": the board list and the status panel
    std::vector<std::string> boardEntries;
    std::string boardListText;
    int boardEntry = -1; // the selected entry, -1 for none
    bool boardFound = false;

    // ---- the relays' buttons and lamps, relay 1 first
    std::array<RelayView, board::kRelayCount> relays{};

    // ---- "Timer Mode": the program list, the step delay and the run
    int currentRow = 0;
    QString delayText = QStringLiteral("0"); // Edit9: may differ from the value ("05")
    int timerValue = 0;                      // UpDown1's position
    int resolution = 1;                      // TrackBar1, the timer interval in ms
    bool repeat = false;                     // CheckBox1
    std::string startCaption{kStart};        // Button34
    std::string pauseCaption{kPause};        // Button35
    bool timerEnabled = true;                // as the form describes it, until start-up
    std::uint64_t timerRun = 0;              // counts the times the timer was enabled
    std::int64_t timerEnabledAt = 0;         // monotonic ns the run's ticks count from
    std::uint64_t rowsVersion = 0;           // counts changes to the rows' texts or number
};

struct UnplayableStep;

// A write of a run failed on a board that had been opened: the run has stopped.
class BoardStoppedAnswering : public std::runtime_error {
public:
    BoardStoppedAnswering()
        : std::runtime_error(std::string(kBoardStoppedAnswering)) {}
};

// The program: its state and the operations the window's events run, each named for what it
// does. The board is reached only through the driver interface and the pause only through its
// seam. One lock guards the whole model: a user action holds it for its whole run, pauses and
// dialogs included, and the sequencer's ticks take it too. Front ends take it through
// lockForAction(), and the sequencer lets them go first, so ticks that follow each other never
// shut a front end out.
class Model {
public:
    using FailureSink = std::function<void(std::exception_ptr)>;
    using Lock = std::unique_lock<ModelMutex>;

    Model(board::Driver& driver, Pause& pause);

    ModelMutex& mutex() const { return mutex_; }
    // The model's lock for a front end's action or look at the state.
    [[nodiscard]] Lock lockForAction() const;
    // For the sequencer, before it takes the lock for a tick: returns once no front end is
    // waiting for the lock.
    void letWaitingActionsGoFirst() const;
    State& state() { return state_; }
    const State& state() const { return state_; }
    board::RelayBoard& board() { return board_; }
    const board::RelayBoard& board() const { return board_; }

    // A failure in an action that another action set off (a row selected, the delay text set)
    // stops only that one. Outside a tick it goes here at once; inside a tick it is kept for the
    // tick. Runs on the thread of the action.
    void setFailureSink(FailureSink sink) { failureSink_ = std::move(sink); }
    // Called, with the lock held, whenever the timer is enabled, disabled or given a new interval.
    void setTimerObserver(std::function<void()> observer) { timerObserver_ = std::move(observer); }

    // ---- lifecycle
    void create();
    void close();

    // ---- board list and opening
    void discoverBoards();
    void chooseBoardEntry(int entry) { state_.boardEntry = entry; }
    void setBoardListText(std::string text) { state_.boardListText = std::move(text); }
    void openSelectedBoard();

    // ---- "Manual Mode"
    void clickRelayButton(int relay);
    void switchAllRelays(bool on);

    // ---- labels
    std::string onLabel(int relay) const;
    std::string offLabel(int relay) const;
    void loadLabels();
    // Hands the table to the label file's writer; the disk is never waited for.
    void saveLabels();
    // Waits until the saved labels are on the disk. Never call it with the lock held.
    void flushLabels() { labelSaver_.flush(); }
    void prepareLabelDialog(int relay);
    void storeEditedLabels(const QString& onText, const QString& offText);

    // ---- "Timer Mode": step editor
    void clickStepButton(int relay);
    // A left click on a row: the current row is applied again, another becomes current.
    void clickRow(int row);
    // The keyboard or the program makes a row current; only a different row is applied.
    void selectRow(int row);
    void addStep();
    void clearLastStep();
    void clearAllSteps();
    void editDelayText(const QString& text);
    void stepDelay(int delta); // an arrow of UpDown1
    void changeResolution(int resolution);
    void setRepeat(bool repeat) { state_.repeat = repeat; }

    // ---- program files
    std::vector<std::string> rowTexts() const;
    void replaceRows(ProgramRows rows);
    void replaceRows(const std::vector<std::string>& rows);
    // Reads the file whole before the list changes; the failure's text when it could not.
    std::optional<QString> openProgramFile(const QString& path);
    // The same, for a file name as the system spells it (bytes, not necessarily UTF-8).
    std::optional<QString> openProgramFile(const std::string& localPath);
    // Writes the rows to the chosen name (".txt" added); the failure's text when it could not.
    std::optional<QString> saveProgramFile(const QString& chosenName) const;

    // ---- the run
    void startOrStop();
    void pauseOrResume();
    void startProgram();
    void stopProgram();
    // One tick of the timer; a failure in it stops the run and is returned.
    std::exception_ptr runTick();

    // ---- operations the actions share
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

    RelayView& relay(int relay) { return state_.relays.at(static_cast<std::size_t>(relay - 1)); }
    const RelayView& relay(int relay) const {
        return state_.relays.at(static_cast<std::size_t>(relay - 1));
    }
    std::string_view rowText(int row) const { return rows_.at(static_cast<std::size_t>(row)); }
    int rowCount() const { return static_cast<int>(rows_.size()); }
    // Hands the rows over, leaving one empty row.
    ProgramRows takeRows();
    void setRowCount(int count);
    void setRowText(int row, std::string_view text);
    void setDelayText(const QString& text);
    void setTimerValue(int value);
    void setTimerEnabled(bool enabled);

private:
    friend std::optional<UnplayableStep> findUnplayableStep(const ProgramRows& rows, bool repeat);

    template <typename Action> void runSetOff(Action&& action);
    void noteFailure(std::exception_ptr failure);
    void setStatusPanel(bool found) { state_.boardFound = found; }
    void noteBoardStatus(board::Status status);
    void stopIfBoardFailedSince(std::uint64_t failures);
    void manualClickSequence(int relay);
    void settleAndReadBack();
    void setStepButtonOn(int relay, bool on);
    bool storeDelayText(const QString& text); // whether the text changed
    void readTimerValueFromText();
    void timerTick();
    void endStep();
    std::string currentRowText() const { return std::string(rowText(state_.currentRow)); }
    void setCurrentRowText(const std::string& text) { setRowText(state_.currentRow, text); }

    mutable ModelMutex mutex_;
    board::RelayBoard board_;
    Pause& pause_;
    State state_;
    ProgramRows rows_;
    FailureSink failureSink_;
    std::function<void()> timerObserver_;
    bool inTick_ = false;
    std::exception_ptr tickFailure_;
    std::uint64_t boardFailures_ = 0;     // failed reads and writes of an opened board
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
