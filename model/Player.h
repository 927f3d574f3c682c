#pragma once

#include "model/BoardSession.h"
#include "model/ProgramRows.h"
#include "model/Snapshot.h"

#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace model {

inline constexpr int kDelayMinimum = 0;
inline constexpr int kDelayMaximum = 9999;
inline constexpr std::string_view kEmptyStep = "00000000-0";
inline constexpr std::string_view kBoardStoppedAnswering =
    "The relay board stopped answering; the program was stopped.";

// A write of a run failed on a board that had been opened: the run has stopped.
class BoardStoppedAnswering : public std::runtime_error {
public:
    BoardStoppedAnswering()
        : std::runtime_error(std::string(kBoardStoppedAnswering)) {}
};

// What the sequencer needs to know of the timer.
struct TimerSetting {
    bool enabled = false;
    std::uint64_t run = 0;          // counts the times the timer was enabled
    int intervalMs = 1;             // the resolution
    std::int64_t startedAt = 0;     // monotonic ns the run's ticks count from
    std::int64_t intervalSetAt = 0; // monotonic ns the resolution was last changed
    std::int64_t pulseDueAt = 0;    // monotonic ns of the next pulse's off edge; 0: none
};

struct UnplayableStep;

// A step that switches on a relay the board does not have.
struct AbsentRelay {
    std::size_t row = 0;
    int relay = 0;
};

// The first step that would switch on a relay above the board's count; zeros for them are fine.
// Rows too short to name eight relays are read as a run would write them.
std::optional<AbsentRelay> findAbsentRelay(const ProgramRows& rows, int relayCount);

// "4 relays", "1 relay".
std::string relayCountText(int relayCount);

// The program and its player: the rows, the current row, the delay text and the timer value it
// drives, the saved step delay, the resolution, repeat and the run with its timer. Applying a row
// writes it to the board and shows it on the stage; the dry run is a player with neither. It has
// no lock of its own; the model's guards it.
class Player {
public:
    using FailureSink = std::function<void(std::exception_ptr)>;

    // What a row applied shows beside the board: the window's step buttons, lamps and captions.
    class Stage {
    public:
        virtual void showStepButton(int relay, bool on) = 0;
        virtual void showRelay(int relay, bool on) = 0;

    protected:
        ~Stage() = default;
    };

    // Both may be null (the dry run); both outlive the player.
    Player(BoardSession* board, Stage* stage);

    // ---- actions set off by other actions
    // A failure in an action that another action set off stops only that one: inside a step of
    // the run it is the run's, otherwise it goes to the sink at once.
    template <typename Action> void runSetOff(Action&& action) {
        try {
            std::forward<Action>(action)();
        } catch (...) {
            noteFailure(std::current_exception());
        }
    }
    void setFailureSink(FailureSink sink) { failureSink_ = std::move(sink); }

    // ---- the rows
    const ProgramRows& rows() const { return rows_; }
    int rowCount() const { return static_cast<int>(rows_.size()); }
    void setRowCount(int count);
    void setRowText(int row, std::string_view text);
    void setCurrentRowText(const std::string& text) { setRowText(currentRow_, text); }
    // Row 0 becomes current and nothing is applied until a row is selected.
    void loadProgram(ProgramRows rows);
    void selectRow(int row);
    void clickRow(int row);
    void addStep();
    void clearLastStep();
    void clearAllSteps();
    void composeCurrentRow();

    // ---- the delay text and the timer value
    // A user's edit: the current row is composed as part of it.
    void typeDelayText(const QString& text);
    void stepDelay(int delta);

    // ---- the run and its timer
    void changeResolution(int resolution);
    void setRepeat(bool repeat) { repeat_ = repeat; }
    void setTimerObserver(std::function<void()> observer) { timerObserver_ = std::move(observer); }
    void setTimerEnabled(bool enabled);
    bool timerEnabled() const { return timerEnabled_; }
    Run run() const { return run_; }
    void startOrStop();
    void start();
    void stop();
    void pauseOrResume();
    TimerSetting timerSetting() const;
    // Whether a tick asked for by that schedule, due then, is one of the run now.
    bool tickIsDue(const TimerSetting& scheduled, std::int64_t dueAt) const;
    bool stillRunning(const TimerSetting& scheduled) const;
    // One tick; the failure that stopped the run, if any.
    std::exception_ptr tick();

    void showIn(Snapshot& shown) const;

private:
    friend std::optional<UnplayableStep> findUnplayableStep(const ProgramRows& rows, bool repeat);

    void noteFailure(std::exception_ptr failure);
    std::string currentRowText() const {
        return std::string(rows_.at(static_cast<std::size_t>(currentRow_)));
    }
    void applySelectedRow();
    bool replaceDelayText(const QString& text); // whether the text changed
    void fillDelayText(const QString& text);
    void readTimerValueFromText();
    void setTimerValue(int value);
    void playFirstStep();
    template <typename Step> std::exception_ptr playRunStep(Step&& step);
    void stopIfBoardFailedSince(std::uint64_t failures);
    void timerTick();
    void endStep();

    BoardSession* board_;
    Stage* stage_;
    ProgramRows rows_;              // its blocks are shared with published snapshots
    std::uint64_t rowsVersion_ = 0; // counts changes to the rows' texts or number
    int currentRow_ = 0;
    QString delayText_ = QStringLiteral("0"); // may differ from the value ("05")
    int timerValue_ = 0;                      // counts the playing step down
    int savedStepDelay_ = 0;                  // the playing step's full delay
    int resolution_ = 1;                      // the timer interval in ms
    bool repeat_ = false;
    Run run_ = Run::Idle;
    bool timerEnabled_ = true;         // as the form describes it, until start-up
    std::uint64_t timerRun_ = 0;       // counts the times the timer was enabled
    std::int64_t timerEnabledAt_ = 0;  // monotonic ns the run's ticks count from
    std::int64_t resolutionSetAt_ = 0; // monotonic ns of the last change of the resolution
    std::function<void()> timerObserver_;
    FailureSink failureSink_;
    bool inRunStep_ = false;            // a tick, or Start's first step, is under way
    std::exception_ptr runStepFailure_; // the first failure of that step
};

// A step of a program that cannot be played, and why.
struct UnplayableStep {
    std::size_t row; // from 0
    std::exception_ptr failure;
};

// The first step of the program that would stop its run (a row too short for its eight relays, a
// delay that cannot be shown), found without playing it on a board.
std::optional<UnplayableStep> findUnplayableStep(const ProgramRows& rows, bool repeat);

} // namespace model
