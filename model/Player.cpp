#include "model/Player.h"

#include "devices/RelayMap.h"
#include "model/Clock.h"
#include "model/Latin1.h"
#include "model/RangeError.h"
#include "model/StepText.h"

#include <algorithm>
#include <utility>

namespace model {

Player::Player(BoardSession* board, Stage* stage)
    : board_(board)
    , stage_(stage) {
    rows_.resize(1);
}

void Player::noteFailure(std::exception_ptr failure) {
    if (inRunStep_) {
        if (!runStepFailure_)
            runStepFailure_ = failure;
    } else if (failureSink_) {
        failureSink_(failure);
    }
}

// ---- the rows -----------------------------------------------------------------------------------

void Player::setRowCount(int count) {
    rows_.resize(static_cast<std::size_t>(std::max(count, 1)));
    currentRow_ = std::min(currentRow_, rowCount() - 1);
    ++rowsVersion_;
}

// No row ever holds a line end, whatever path its text comes from.
void Player::setRowText(int row, std::string_view text) {
    text = text.substr(0, text.find_first_of("\r\n"));
    if (rows_.at(static_cast<std::size_t>(row)) == text)
        return;
    rows_.set(static_cast<std::size_t>(row), text);
    ++rowsVersion_;
}

void Player::loadProgram(ProgramRows rows) {
    rows_ = std::move(rows);
    if (rows_.empty())
        rows_.resize(1);
    currentRow_ = 0;
    ++rowsVersion_;
}

// Making a different row current applies it; setting the current row again does nothing.
void Player::selectRow(int row) {
    if (row == currentRow_ || row < 0 || row >= rowCount())
        return;
    currentRow_ = row;
    runSetOff([this] { applySelectedRow(); });
}

// A left click applies the row even when it is current already.
void Player::clickRow(int row) {
    if (row < 0 || row >= rowCount())
        return;
    currentRow_ = row;
    applySelectedRow();
}

// Add: a copy of the current step as the new last row, which becomes current and is applied.
void Player::addStep() {
    const std::string copy = currentRowText();
    setRowCount(rowCount() + 1);
    setRowText(rowCount() - 1, copy);
    selectRow(rowCount() - 1);
}

// Clear: removes the last row, whichever row is current; nothing is applied.
void Player::clearLastStep() {
    setRowCount(rowCount() - 1);
}

// Clear all: back to the one row "00000000-0", always applied, even when row 0 was current.
void Player::clearAllSteps() {
    setRowCount(2);
    setRowText(0, kEmptyStep);
    setRowText(1, kEmptyStep);
    selectRow(1);
    selectRow(0);
    setRowCount(1);
}

// The delay digits are copied from the delay text, their count chosen by the timer value.
void Player::composeCurrentRow() {
    setCurrentRowText(steps::composeStep(currentRowText(), timerValue_, latin1::bytes(delayText_)));
}

// Puts the current row on the step buttons, the board, the lamps and the relay buttons, and its
// delay into the delay text. A row too short to hold eight state characters stops at the first
// missing one, before anything is written to the board.
void Player::applySelectedRow() {
    const std::string row = currentRowText();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on =
            steps::stepButtonOn(steps::lineChar(row, static_cast<std::size_t>(entry.relay)));
        if (stage_)
            stage_->showStepButton(entry.relay, on);
    }
    const std::uint8_t byte = steps::relayByteOfRow(row);
    if (board_)
        board_->write(byte);
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on = steps::relayOn(steps::lineChar(row, static_cast<std::size_t>(entry.relay)));
        if (stage_)
            stage_->showRelay(entry.relay, on);
    }
    // A row that is not 10 to 13 characters long has no delay digits to offer; the delay text keeps
    // its text.
    if (const std::optional<std::string> delay = steps::rowDelayText(row))
        fillDelayText(latin1::text(*delay));
}

// ---- the delay text and the timer value
// ---------------------------------------------------------- The timer value follows any text that
// reads as a number, and every change composes the current row: within the action for a user's
// edit, as an action set off when a row or the timer value fills the text in.

void Player::typeDelayText(const QString& text) {
    if (replaceDelayText(text))
        composeCurrentRow();
}

void Player::fillDelayText(const QString& text) {
    if (replaceDelayText(text))
        runSetOff([this] { composeCurrentRow(); });
}

bool Player::replaceDelayText(const QString& text) {
    if (text == delayText_)
        return false;
    delayText_ = text;
    readTimerValueFromText();
    return true;
}

void Player::readTimerValueFromText() {
    bool ok = false;
    const qlonglong value = delayText_.toLongLong(&ok, 10);
    if (ok)
        timerValue_ = static_cast<int>(std::clamp<qlonglong>(value, kDelayMinimum, kDelayMaximum));
}

// The timer value writes itself into the delay text, which composes the current row when that
// changes it.
void Player::setTimerValue(int value) {
    timerValue_ = std::clamp(static_cast<int>(static_cast<std::int16_t>(value)), kDelayMinimum,
                             kDelayMaximum);
    fillDelayText(QString::number(timerValue_));
}

// An arrow moves the value and then, as its own action, composes the current row.
void Player::stepDelay(int delta) {
    runSetOff([&] { setTimerValue(timerValue_ + delta); });
    runSetOff([this] { composeCurrentRow(); });
}

// ---- the run and its timer
// ------------------------------------------------------------------------ Whether a program runs
// or is paused, and whether the timer is enabled; the count of the playing step is the timer value
// itself.

void Player::changeResolution(int resolution) {
    if (resolution == resolution_)
        return;
    resolution_ = resolution;
    resolutionSetAt_ = monotonicNanos();
    if (timerObserver_)
        timerObserver_();
}

void Player::setTimerEnabled(bool enabled) {
    if (enabled == timerEnabled_)
        return;
    timerEnabled_ = enabled;
    if (enabled) {
        ++timerRun_;
        timerEnabledAt_ = monotonicNanos();
    }
    if (timerObserver_)
        timerObserver_();
}

void Player::startOrStop() {
    if (run_ == Run::Idle)
        start();
    else
        stop();
}

// The first step is played as a tick plays a step: a row 0 that cannot be played stops the run
// again, whichever row was current, and its failure is the caller's, once.
void Player::start() {
    setTimerEnabled(true);
    run_ = Run::Running;
    if (const std::exception_ptr failure = playRunStep([this] { playFirstStep(); }))
        std::rethrow_exception(failure);
}

// The first step is always played with its own pattern and delay: row 0 is applied even when it
// is already current (after Open File it is current without having been applied).
void Player::playFirstStep() {
    savedStepDelay_ = timerValue_; // what Stop gives back if row 0 cannot be played
    currentRow_ = 0;
    applySelectedRow();
    savedStepDelay_ = timerValue_;
    // The first step is held from the moment its write went to the board, as every later step
    // is, so that a board's time per write shortens or lengthens no step.
    const std::int64_t written = board_ ? board_->lastWriteStartedAt() : 0;
    timerEnabledAt_ = written > timerEnabledAt_ ? written : monotonicNanos();
}

// The current row stays and the relays keep its pattern; the step's full delay comes back.
void Player::stop() {
    setTimerEnabled(false);
    setTimerValue(savedStepDelay_);
    run_ = Run::Idle;
}

void Player::pauseOrResume() {
    if (run_ == Run::Running) {
        run_ = Run::Paused;
        setTimerEnabled(false);
    } else if (run_ == Run::Paused) {
        run_ = Run::Running;
        setTimerEnabled(true);
    }
}

TimerSetting Player::timerSetting() const {
    return {timerEnabled_, timerRun_, resolution_, timerEnabledAt_, resolutionSetAt_};
}

// A deadline of a run that has since been stopped is not a tick, nor is one of the interval
// before a change that falls after the change; a tick that fell due before the change and waited
// for the lock meanwhile is one.
bool Player::tickIsDue(const TimerSetting& scheduled, std::int64_t dueAt) const {
    const bool sameInterval = scheduled.intervalSetAt == resolutionSetAt_;
    return timerEnabled_ && timerRun_ == scheduled.run &&
           (sameInterval || dueAt <= resolutionSetAt_);
}

bool Player::stillRunning(const TimerSetting& scheduled) const {
    return timerEnabled_ && timerRun_ == scheduled.run;
}

std::exception_ptr Player::tick() {
    return playRunStep([this] { timerTick(); });
}

// A step with delay D is held for max(D, 1) ticks: D - 1 ticks count it down to 1 and the next
// tick moves on.
void Player::timerTick() {
    const int value = timerValue_;
    if (value >= 2) {
        setTimerValue(value - 1);
        return;
    }
    endStep();
}

// The count of the playing step is spent: its delay goes back into its row and the next step, if
// any, is played.
void Player::endStep() {
    fillDelayText(QString::number(savedStepDelay_));
    if (currentRow_ + 1 < rowCount()) {
        selectRow(currentRow_ + 1);
        savedStepDelay_ = timerValue_;
    } else if (repeat_) {
        selectRow(0);
        savedStepDelay_ = timerValue_;
    } else {
        setTimerEnabled(false);
        run_ = Run::Idle;
    }
}

// A failure inside a step of the run, also one raised by an action the step set off, belongs to
// the run: it stops the run as Stop does, so that the error is reported once and the program does
// not fail again on every following tick.
template <typename Step> std::exception_ptr Player::playRunStep(Step&& step) {
    inRunStep_ = true;
    runStepFailure_ = nullptr;
    const std::uint64_t failures = board_ ? board_->failures() : 0;
    runSetOff(std::forward<Step>(step));
    runSetOff([&] { stopIfBoardFailedSince(failures); });
    if (runStepFailure_)
        runSetOff([this] { stop(); });
    inRunStep_ = false;
    return std::exchange(runStepFailure_, nullptr);
}

// A run on a board that stopped answering (unplugged, wedged, refusing writes) stops as Stop
// would, rather than going on writing to it, and says so once (also when that write was the
// last of a run that ended by itself).
void Player::stopIfBoardFailedSince(std::uint64_t failures) {
    if (!board_ || board_->failures() == failures || board_->keepsRunningWithoutBoard())
        return;
    if (timerEnabled_)
        stop();
    throw BoardStoppedAnswering();
}

void Player::showIn(Snapshot& shown) const {
    shown.rowsVersion = rowsVersion_;
    shown.currentRow = currentRow_;
    shown.delayText = delayText_;
    shown.timerValue = timerValue_;
    shown.savedStepDelay = savedStepDelay_;
    shown.resolution = resolution_;
    shown.repeat = repeat_;
    shown.run = run_;
    shown.timerEnabled = timerEnabled_;
}

// Plays the program once through (and back to its first step with Repeat) with no board and
// nothing to show it on, ending each step at once: whether a step can be played depends only on
// the steps before it, so the run's first pass and its turn back to the first step meet every
// case.
std::optional<UnplayableStep> findUnplayableStep(const ProgramRows& rows, bool repeat) {
    Player dryRun(nullptr, nullptr);
    dryRun.loadProgram(rows);
    dryRun.setRepeat(repeat);
    const auto unplayable = [&](std::exception_ptr failure) {
        return UnplayableStep{static_cast<std::size_t>(dryRun.currentRow_), failure};
    };
    try {
        dryRun.start();
    } catch (...) {
        return unplayable(std::current_exception());
    }
    const std::size_t steps = dryRun.rows_.size() - (repeat ? 0 : 1);
    for (std::size_t step = 0; step < steps; ++step)
        if (const std::exception_ptr failure = dryRun.playRunStep([&] { dryRun.endStep(); }))
            return unplayable(failure);
    return std::nullopt;
}

std::optional<AbsentRelay> findAbsentRelay(const ProgramRows& rows, int relayCount) {
    if (relayCount >= devices::kRelayCount)
        return std::nullopt;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        std::uint8_t byte = 0;
        try {
            byte = steps::relayByteOfRow(rows.at(row));
        } catch (const RangeError&) {
            continue; // unplayable anyway, and said so by the dry run
        }
        for (const devices::RelayMapEntry& entry : devices::kRelayMap)
            if (entry.relay > relayCount && (byte & entry.mask))
                return AbsentRelay{row, entry.relay};
    }
    return std::nullopt;
}

std::string relayCountText(int relayCount) {
    return std::to_string(relayCount) + (relayCount == 1 ? " relay" : " relays");
}

} // namespace model
