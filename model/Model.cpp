#include "model/Model.h"

#include "model/Clock.h"
#include "model/LabelFile.h"
#include "model/Latin1.h"
#include "model/ProgramFile.h"
#include "model/SafeFile.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <ctime>
#include <utility>

namespace model {

namespace {

constexpr std::string_view kEmptyStep = "00000000-0";

// The device to open for the chosen entry (-1 = none): the first one unless two or more boards
// were found and one of them is chosen.
std::uint32_t deviceIndexForEntry(int chosenEntry, std::uint32_t count) {
    if (count < 2 || chosenEntry < 0 || static_cast<std::uint32_t>(chosenEntry) >= count)
        return 0;
    return static_cast<std::uint32_t>(chosenEntry);
}

// The rows of a program file, read in two passes over the file so that it is never held whole:
// one finds whether it has line feeds (which decides its line ends), one keeps the rows.
std::optional<safefile::Failure> readProgramRows(safefile::InputFile& file, ProgramRows& rows) {
    bool lineFeeds = false;
    if (!file.readAll([&](std::string_view chunk) {
            lineFeeds = lineFeeds || programfile::holdsLineFeed(chunk);
        }))
        return file.failure();
    programfile::ProgramReader reader(!lineFeeds,
                                      [&rows](std::string_view row) { rows.append(row); });
    if (!file.readAll([&](std::string_view chunk) { reader.feed(chunk); }))
        return file.failure();
    reader.finish();
    return std::nullopt;
}

} // namespace

std::string Snapshot::onLabel(int relay) const {
    return labelTable.at(static_cast<std::size_t>(devices::relayEntry(relay).onSlot));
}

std::string Snapshot::offLabel(int relay) const {
    return labelTable.at(static_cast<std::size_t>(devices::relayEntry(relay).offSlot));
}

Model::Model(devices::Registry& boards, Pause& pause)
    : boards_(boards)
    , device_(boards.unopened())
    , pause_(pause) {
    rows_.resize(1);
    state_.labelTable = labels::defaultLabels(); // until create() reads labels.dat
    const Lock lock(*this);
}

// ---- the lock and the snapshot -----------------------------------------------------------------

Model::Lock::Lock(const Model& model, bool mayChange)
    : model_(&model) {
    model.mutex_.lock();
    ++model.lockDepth_;
    model.publishPending_ = model.publishPending_ || mayChange;
}

Model::Lock::Lock(Lock&& other) noexcept
    : model_(std::exchange(other.model_, nullptr)) {}

Model::Lock::~Lock() {
    if (!model_)
        return;
    if (--model_->lockDepth_ == 0 && std::exchange(model_->publishPending_, false))
        model_->publish();
    model_->mutex_.unlock();
}

Model::Lock Model::lockForAction() const {
    ++actionsWaiting_;
    Lock lock(*this);
    if (--actionsWaiting_ == 0)
        actionsWaiting_.notify_all();
    return lock;
}

// Under the lock. The rows are shared with the snapshot, block by block, and copied only when
// they changed since the last one.
void Model::publish() const {
    auto shown = std::make_shared<Snapshot>(static_cast<const Snapshot&>(state_));
    std::shared_ptr<const Snapshot> previous; // let go of after the lock, if nobody reads it
    const std::lock_guard lock(publishedLock_);
    if (published_ && published_->rowsVersion == state_.rowsVersion)
        shown->rows = published_->rows;
    else
        shown->rows = std::make_shared<const ProgramRows>(rows_);
    shown->version = published_ ? published_->version + 1 : 1;
    previous = std::exchange(published_, std::move(shown));
    changes_.notify();
}

std::shared_ptr<const Snapshot> Model::snapshot() const {
    const std::lock_guard lock(publishedLock_);
    return published_;
}

void Model::setFailureSink(FailureSink sink) {
    const Lock lock(*this);
    failureSink_ = std::move(sink);
}

void Model::setTimerObserver(std::function<void()> observer) {
    const Lock lock(*this);
    timerObserver_ = std::move(observer);
}

void Model::letWaitingActionsGoFirst() const {
    for (int waiting = actionsWaiting_.load(); waiting > 0; waiting = actionsWaiting_.load())
        actionsWaiting_.wait(waiting);
}

// ---- failures of actions set off by other actions ----------------------------------------------

template <typename Action> void Model::runSetOff(Action&& action) {
    try {
        std::forward<Action>(action)();
    } catch (...) {
        noteFailure(std::current_exception());
    }
}

void Model::noteFailure(std::exception_ptr failure) {
    if (inRunStep_) {
        if (!runStepFailure_)
            runStepFailure_ = failure;
    } else if (failureSink_) {
        failureSink_(failure);
    }
}

// ---- lifecycle ----------------------------------------------------------------------------------

void Model::create() {
    const Lock lock(*this);
    labelSaver_.start(); // now, rather than under the lock of the first press that saves
    loadLabels();
    setStatusPanel(false);
    setRowText(0, kEmptyStep);
    setRowCount(1);
    discoverBoards();
    state_.relayByte = 0;
    setTimerEnabled(false);
}

void Model::close() {
    const Lock lock(*this);
    [[maybe_unused]] const devices::Result<void> closed = device_->close();
    state_.boardId.clear();
    saveLabels();
    setTimerEnabled(false);
}

void Model::closeBoard() {
    const Lock lock(*this);
    [[maybe_unused]] const devices::Result<void> closed = device_->close();
    state_.boardId.clear();
}

// ---- board list and opening ---------------------------------------------------------------------

void Model::discoverBoards() {
    const Lock lock(*this);
    found_ = boards_.enumerate();
    state_.deviceCount = static_cast<std::uint32_t>(found_.size());
    // A list that fills up selects its first entry and shows the list's own text.
    state_.boardEntry = state_.deviceCount == 0 ? -1 : 0;
    state_.boardListText.reset();
    if (state_.deviceCount == 0)
        setStatusPanel(false);
}

// The list's selection and its edit text change together: a choice also sets the text.
void Model::chooseBoardEntry(int entry, std::string listText) {
    const Lock lock(*this);
    state_.boardEntry = entry;
    state_.boardListText = std::move(listText);
}

// Opens the board the user picked, sets its pins up as outputs and adopts their state in every
// view. Nothing is written to the board, so the relays keep what they had.
void Model::openSelectedBoard() {
    const Lock lock(*this);
    const std::uint32_t index = deviceIndexForEntry(state_.boardEntry, state_.deviceCount);
    if (!openDevice(index)) {
        setStatusPanel(false);
        return;
    }
    const std::uint64_t failures = boardFailures_;
    state_.boardId = idOfDevice(index);
    showBoardOnCaptions();
    showBoardOnLamps();
    writeBoardPatternToCurrentRow();
    showBoardOnStepButtons();
    composeCurrentRow();
    // A board that stopped answering while it was being mirrored stays reported as not found.
    if (boardFailures_ == failures)
        setStatusPanel(true);
}

// A script's way in: the boards are found again and the numbered one opened; what went wrong is
// told apart as far as the driver lets it be. A board that is not opened is closed again.
Opening Model::openBoard(int number, bool adoptPins) {
    const Lock lock(*this);
    discoverBoards();
    if (number < 1 || static_cast<std::uint32_t>(number) > state_.deviceCount)
        return Opening::NoSuchBoard;
    state_.boardEntry = number - 1;
    if (adoptPins)
        openSelectedBoard();
    else
        setStatusPanel(openDevice(static_cast<std::uint32_t>(number - 1)));
    if (state_.boardFound)
        return Opening::Opened;
    const bool openedHalfway = device_->isOpen();
    [[maybe_unused]] const devices::Result<void> closed = device_->close();
    if (openedHalfway)
        return Opening::StoppedAnswering;
    const std::size_t count = boards_.enumerate().size();
    return static_cast<std::size_t>(number) > count ? Opening::WentAway : Opening::Refused;
}

std::optional<std::uint8_t> Model::readRelays() {
    const Lock lock(*this);
    const std::uint64_t failures = boardFailures_;
    readRelayByte();
    if (boardFailures_ != failures || !device_->isOpen())
        return std::nullopt;
    return state_.relayByte;
}

// One write of the whole pattern. Taken, it leaves the views as a user's click on each relay it
// switched leaves them (lamps, relay buttons, step buttons and their captions, the current row's
// pattern), without the click's pause, second write and reads. Refused, it leaves the pattern last
// commanded, which a reopened board is given, and the views as they were.
bool Model::writeRelays(std::uint8_t byte) {
    const Lock lock(*this);
    if (boardAway_)
        return false; // nothing was commanded: the pattern written on return stays the last one
    const std::uint64_t failures = boardFailures_;
    const std::uint8_t before = std::exchange(state_.relayByte, byte);
    writeRelayByte();
    if (!device_->isOpen() || boardFailures_ != failures) {
        state_.relayByte = before;
        return false;
    }
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on = byte & entry.mask;
        RelayView& view = relay(entry.relay);
        view.lamp = on ? Lamp::On : Lamp::Off;
        view.caption = on ? offLabel(entry.relay) : onLabel(entry.relay);
        view.stepOn = on;
        if ((before ^ byte) & entry.mask)
            copyRelayCaptionToStepButton(entry.relay);
    }
    setCurrentRowText(steps::patternOfByte(byte));
    runSetOff([this] { composeCurrentRow(); });
    return true;
}

void Model::keepRunningWithoutBoard() {
    const Lock lock(*this);
    keepRunningWithoutBoard_ = true;
}

void Model::boardWentAway() {
    const Lock lock(*this);
    setStatusPanel(false);
    boardAway_ = keepRunningWithoutBoard_;
}

// The board comes back as it was opened (bit-bang mode is set; it is never reset, so pins that
// kept power keep their relays), but without adopting its pins: what was commanded while it was
// away is what it gets. It is found by its id as the bus is now, and what was opened is checked
// to be it before anything reaches it, so a bus that changed meanwhile never gets another board
// the pattern.
bool Model::reopenBoard(const std::string& id) {
    const Lock lock(*this);
    [[maybe_unused]] const devices::Result<void> closed = device_->close();
    discoverBoards();
    const auto found = std::find_if(found_.begin(), found_.end(),
                                    [&](const auto& entry) { return entry.id.id == id; });
    if (found == found_.end())
        return false;
    const auto index = static_cast<std::size_t>(found - found_.begin());
    state_.boardEntry = static_cast<int>(index);
    // The old board is forgotten first, so that one that cannot be opened again is not taken for
    // the one that was.
    device_ = boards_.openChecked(index);
    if (!device_->isOpen())
        return false;
    boardAway_ = false;
    const std::uint64_t failures = boardFailures_;
    writeRelayByte();
    if (boardFailures_ != failures)
        return false;
    state_.boardId = id;
    setStatusPanel(true);
    return true;
}

// From the boards the last discovery found, without counting them again.
std::string Model::idOfDevice(std::uint32_t index) {
    return index < found_.size() ? found_[index].id.id : "board" + std::to_string(index + 1);
}

// The board at an index of the last discovery. One that cannot be opened leaves the board opened
// before (if any) in its place, as a handle that was never reset, and that one is set up again
// and counts as opened: the board open already cannot be opened twice, so opening it once more
// keeps it.
bool Model::openDevice(std::size_t index) {
    std::unique_ptr<devices::RelayDevice> opened = boards_.openAt(index);
    if (opened->isOpen())
        device_ = std::move(opened);
    else if (device_->isOpen())
        device_->setUpAgain();
    return device_->isOpen();
}

// Once a board has been opened, a failed read or write means it has gone away.
void Model::noteBoardStatus(bool succeeded) {
    if (device_->isOpen() && !succeeded) {
        ++boardFailures_;
        setStatusPanel(false);
        boardAway_ = keepRunningWithoutBoard_;
    }
}

// A run on a board that stopped answering (unplugged, wedged, refusing writes) stops as Stop
// would, rather than going on writing to it, and says so once (also when that write was the
// last of a run that ended by itself).
void Model::stopIfBoardFailedSince(std::uint64_t failures) {
    if (boardFailures_ == failures || keepRunningWithoutBoard_)
        return;
    if (state_.timerEnabled)
        stopProgram();
    throw BoardStoppedAnswering();
}

// A board that is away is not asked: each read or write counts as failed at once.
void Model::readRelayByte() {
    if (boardAway_)
        ++boardFailures_;
    else {
        const devices::Result<std::uint8_t> read = device_->readRelays();
        if (read)
            state_.relayByte = read.value(); // a failed read leaves the byte as it was
        noteBoardStatus(read.ok());
    }
}

void Model::writeRelayByte() {
    lastWriteStartedAt_ = monotonicNanos();
    if (boardAway_)
        ++boardFailures_;
    else
        noteBoardStatus(device_->writeRelays(state_.relayByte).ok());
}

void Model::showBoardOnLamps() {
    readRelayByte();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        relay(entry.relay).lamp = (state_.relayByte & entry.mask) ? Lamp::On : Lamp::Off;
}

// A lamp counts as on only in the on state; off and uncoloured both count as off.
void Model::sendLampsToBoard() {
    std::uint8_t byte = 0;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (relay(entry.relay).lamp == Lamp::On)
            byte |= entry.mask;
    state_.relayByte = byte;
    writeRelayByte();
}

// A step button counts as off only in exactly the off position.
void Model::sendStepButtonsToBoard() {
    std::uint8_t byte = 0;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (relay(entry.relay).stepOn)
            byte |= entry.mask;
    state_.relayByte = byte;
    writeRelayByte();
}

// ---- "Manual Mode" ----------------------------------------------------------------------------
// A relay button's caption is the page's record of its relay. Every click decides by comparing
// the caption with the ON label, exactly, and then runs one fixed chain of steps.

void Model::clickRelayButton(int relayNumber) {
    const Lock lock(*this);
    manualClickSequence(relayNumber);
}

void Model::switchAllRelays(bool on) {
    const Lock lock(*this);
    if (on)
        allRelaysOn();
    else
        allRelaysOff();
    settleAndReadBack();
}

void Model::toggleRelay(int relayNumber) {
    RelayView& view = relay(relayNumber);
    const bool on = view.caption == onLabel(relayNumber);
    view.caption = on ? offLabel(relayNumber) : onLabel(relayNumber);
    state_.relayByte = devices::withRelay(state_.relayByte, relayNumber, on);
    writeRelayByte();
}

void Model::allRelaysOn() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        relay(entry.relay).caption = offLabel(entry.relay);
    state_.relayByte = 0xFF;
    writeRelayByte();
}

void Model::allRelaysOff() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        relay(entry.relay).caption = onLabel(entry.relay);
    state_.relayByte = 0x00;
    writeRelayByte();
}

void Model::showCaptionsOnLamps() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        RelayView& view = relay(entry.relay);
        view.lamp = view.caption == onLabel(entry.relay) ? Lamp::Off : Lamp::On;
    }
}

void Model::showBoardOnCaptions() {
    readRelayByte();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on = state_.relayByte & entry.mask;
        relay(entry.relay).caption = on ? offLabel(entry.relay) : onLabel(entry.relay);
    }
}

void Model::copyRelayCaptionToStepButton(int relayNumber) {
    if (relayNumber < 1 || relayNumber > devices::kRelayCount)
        return;
    relay(relayNumber).stepCaption = relay(relayNumber).caption;
}

// The second write carries what the lamps show, i.e. all eight captions: it repeats the first
// when the captions agree with the board and overrides it when they do not.
void Model::manualClickSequence(int relayNumber) {
    toggleRelay(relayNumber);
    settleAndReadBack();
    copyRelayCaptionToStepButton(relayNumber);
}

// Lamps from the captions, the settle pause, the second write, and the board read back into the
// current row and the step buttons.
void Model::settleAndReadBack() {
    showCaptionsOnLamps();
    pause_.pause(kSettlePauseMs);
    sendLampsToBoard();
    writeBoardPatternToCurrentRow();
    showBoardOnStepButtons();
    composeCurrentRow();
}

// ---- labels -------------------------------------------------------------------------------------

// Fills the label table and gives every relay button and step button its first caption: the ON
// label when the relay's lamp is off, otherwise (as at start-up, before any lamp is coloured) the
// OFF label.
void Model::loadLabels() {
    state_.labelTable = labels::readLabelsFile(labels::kLabelsFileName);
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        RelayView& view = relay(entry.relay);
        view.caption = view.lamp == Lamp::Off ? onLabel(entry.relay) : offLabel(entry.relay);
    }
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        copyRelayCaptionToStepButton(entry.relay);
}

// A save that fails is silent: the labels stay in the table and the next save tries again.
void Model::saveLabels() {
    labelSaver_.save(labels::kLabelsFileName, state_.labelTable);
}

// Every mouse press on a relay button or a step button picks the relay the label dialog edits and
// saves the label table.
RelayLabels Model::pickRelayForLabels(int relayNumber) {
    const Lock lock(*this);
    state_.editedRelay = relayNumber;
    saveLabels();
    return {latin1::text(onLabel(relayNumber)), latin1::text(offLabel(relayNumber))};
}

void Model::flushLabels() {
    labelSaver_.flush();
}

// OK or Enter in the label dialog: the two texts, each cut to 18 characters, become the edited
// relay's ON and OFF labels. No caption, lamp or file changes.
void Model::storeEditedLabels(const RelayLabels& edited) {
    const Lock lock(*this);
    const int relayNumber = state_.editedRelay;
    if (relayNumber < 1 || relayNumber > devices::kRelayCount)
        return;
    const devices::RelayMapEntry& entry = devices::relayEntry(relayNumber);
    state_.labelTable.at(static_cast<std::size_t>(entry.onSlot)) =
        labels::labelBytes(edited.on, labels::kDialogLabelLength);
    state_.labelTable.at(static_cast<std::size_t>(entry.offSlot)) =
        labels::labelBytes(edited.off, labels::kDialogLabelLength);
}

// ---- rows, the delay edit and the timer value --------------------------------------------------

void Model::setRowCount(int count) {
    rows_.resize(static_cast<std::size_t>(std::max(count, 1)));
    state_.currentRow = std::min(state_.currentRow, rowCount() - 1);
    ++state_.rowsVersion;
}

// No row ever holds a line end, whatever path its text comes from.
void Model::setRowText(int row, std::string_view text) {
    text = text.substr(0, text.find_first_of("\r\n"));
    if (rows_.at(static_cast<std::size_t>(row)) == text)
        return;
    rows_.set(static_cast<std::size_t>(row), text);
    ++state_.rowsVersion;
}

// Making a different row current applies it; setting the current row again does nothing.
void Model::selectRow(int row) {
    const Lock lock(*this);
    if (row == state_.currentRow || row < 0 || row >= rowCount())
        return;
    state_.currentRow = row;
    runSetOff([this] { applySelectedRow(); });
}

void Model::clickRow(int row) {
    const Lock lock(*this);
    if (row < 0 || row >= rowCount())
        return;
    state_.currentRow = row;
    applySelectedRow();
}

// The delay text: the timer value follows any text that reads as a number, and every change
// composes the current row.
void Model::setDelayText(const QString& text) {
    if (storeDelayText(text))
        runSetOff([this] { composeCurrentRow(); });
}

void Model::editDelayText(const QString& text) {
    const Lock lock(*this);
    if (storeDelayText(text))
        composeCurrentRow();
}

bool Model::storeDelayText(const QString& text) {
    if (text == state_.delayText)
        return false;
    state_.delayText = text;
    readTimerValueFromText();
    return true;
}

void Model::readTimerValueFromText() {
    bool ok = false;
    const qlonglong value = state_.delayText.toLongLong(&ok, 10);
    if (ok)
        state_.timerValue =
            static_cast<int>(std::clamp<qlonglong>(value, kDelayMinimum, kDelayMaximum));
}

// The timer value writes itself into the delay text, which composes the current row when that
// changes it.
void Model::setTimerValue(int value) {
    state_.timerValue = std::clamp(static_cast<int>(static_cast<std::int16_t>(value)),
                                   kDelayMinimum, kDelayMaximum);
    setDelayText(QString::number(state_.timerValue));
}

// An arrow moves the value and then, as its own action, composes the current row.
void Model::stepDelay(int delta) {
    const Lock lock(*this);
    runSetOff([&] { setTimerValue(state_.timerValue + delta); });
    runSetOff([this] { composeCurrentRow(); });
}

void Model::changeResolution(int resolution) {
    const Lock lock(*this);
    if (resolution == state_.resolution)
        return;
    state_.resolution = resolution;
    state_.resolutionSetAt = monotonicNanos();
    if (timerObserver_)
        timerObserver_();
}

void Model::setRepeat(bool repeat) {
    const Lock lock(*this);
    state_.repeat = repeat;
}

void Model::setTimerEnabled(bool enabled) {
    if (enabled == state_.timerEnabled)
        return;
    state_.timerEnabled = enabled;
    if (enabled) {
        ++state_.timerRun;
        state_.timerEnabledAt = monotonicNanos();
    }
    if (timerObserver_)
        timerObserver_();
}

// ---- "Timer Mode": the step editor
// --------------------------------------------------------------- A step button is on or off for
// its relay. Editing is live: every change goes to the board at once and comes back from it.

// The current row takes the pattern the board reports after the write, not the buttons' own.
void Model::clickStepButton(int relayNumber) {
    const Lock lock(*this);
    RelayView& view = relay(relayNumber);
    view.stepOn = !view.stepOn;
    sendStepButtonsToBoard();
    showStepButtonsOnLamps();
    pause_.pause(kSettlePauseMs);
    writeBoardPatternToCurrentRow();
    composeCurrentRow();
    showBoardOnCaptions();
    copyRelayCaptionToStepButton(relayNumber);
}

void Model::showBoardOnStepButtons() {
    readRelayByte();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        relay(entry.relay).stepOn = state_.relayByte & entry.mask;
}

// Leaves the row with its eight state characters alone; composing the current row always follows.
void Model::writeBoardPatternToCurrentRow() {
    readRelayByte();
    setCurrentRowText(steps::patternOfByte(state_.relayByte));
}

void Model::showStepButtonsOnLamps() {
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        RelayView& view = relay(entry.relay);
        view.lamp = view.stepOn ? Lamp::On : Lamp::Off;
    }
}

// The delay digits are copied from the delay text, their count chosen by the timer value.
void Model::composeCurrentRow() {
    setCurrentRowText(
        steps::composeStep(currentRowText(), state_.timerValue, latin1::bytes(state_.delayText)));
}

// Puts the current row on the step buttons, the board, the lamps and the relay buttons, and its
// delay into the delay text. A row too short to hold eight state characters stops at the first
// missing one, before anything is written to the board.
void Model::applySelectedRow() {
    const std::string row = currentRowText();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const auto n = static_cast<std::size_t>(entry.relay);
        relay(entry.relay).stepOn = steps::stepButtonOn(steps::lineChar(row, n));
    }
    state_.relayByte = steps::relayByteOfRow(row);
    writeRelayByte();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const bool on = steps::relayOn(steps::lineChar(row, static_cast<std::size_t>(entry.relay)));
        RelayView& view = relay(entry.relay);
        view.lamp = on ? Lamp::On : Lamp::Off;
        view.caption = on ? offLabel(entry.relay) : onLabel(entry.relay);
    }
    // A row that is not 10 to 13 characters long has no delay digits to offer; the delay text keeps
    // its text.
    if (const std::optional<std::string> delay = steps::rowDelayText(row))
        setDelayText(latin1::text(*delay));
}

// Add: a copy of the current step as the new last row, which becomes current and is applied.
void Model::addStep() {
    const Lock lock(*this);
    const std::string copy = currentRowText();
    setRowCount(rowCount() + 1);
    setRowText(rowCount() - 1, copy);
    selectRow(rowCount() - 1);
}

// Clear: removes the last row, whichever row is current; nothing is applied.
void Model::clearLastStep() {
    const Lock lock(*this);
    setRowCount(rowCount() - 1);
}

// Clear all: back to the one row "00000000-0", always applied, even when row 0 was current.
void Model::clearAllSteps() {
    const Lock lock(*this);
    setRowCount(2);
    setRowText(0, kEmptyStep);
    setRowText(1, kEmptyStep);
    selectRow(1);
    selectRow(0);
    setRowCount(1);
}

// ---- program files ------------------------------------------------------------------------------

// Row 0 becomes current and nothing is applied until a row is selected.
void Model::loadProgram(ProgramRows rows) {
    const Lock lock(*this);
    rows_ = std::move(rows);
    if (rows_.empty())
        rows_.resize(1);
    state_.currentRow = 0;
    ++state_.rowsVersion;
}

// The list is replaced only once the whole file has been read.
std::optional<QString> Model::openProgramFile(const std::string& localPath) {
    ProgramRows rows;
    if (std::optional<QString> failure = readProgramFile(localPath, rows))
        return failure;
    loadProgram(std::move(rows));
    return std::nullopt;
}

std::optional<QString> readProgramFile(const std::string& localPath, ProgramRows& rows) {
    safefile::InputFile file = safefile::InputFile::open(localPath, programfile::kMaxFileBytes);
    std::optional<safefile::Failure> failure;
    if (!file.isOpen())
        failure = file.failure();
    else
        failure = readProgramRows(file, rows);
    if (failure)
        return QStringLiteral("Could not open the program file \"%1\": %2")
            .arg(QDir::toNativeSeparators(QFile::decodeName(localPath.c_str())),
                 QString::fromLocal8Bit(failure->reason));
    return std::nullopt;
}

std::optional<QString> Model::saveProgramFile(const QString& chosenName) const {
    const Lock lock(*this, false);
    std::vector<std::string> texts;
    texts.reserve(rows_.size());
    for (std::size_t row = 0; row < rows_.size(); ++row)
        texts.emplace_back(rows_.at(row));
    const QString path =
        QString::fromStdString(programfile::programFileName(chosenName.toStdString()));
    if (const auto failure = safefile::replaceFile(QFile::encodeName(path).toStdString(),
                                                   programfile::encodeProgram(texts)))
        return QStringLiteral("Could not save the program to \"%1\": %2")
            .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(failure->reason));
    return std::nullopt;
}

// ---- the run --------------------------------------------------------------------------------
// Whether a program runs or is paused, and whether the timer is enabled; the count of the
// playing step is the timer value itself.

void Model::startOrStop() {
    const Lock lock(*this);
    if (state_.run == Run::Idle)
        startProgram();
    else
        stopProgram();
}

// The first step is played as a tick plays a step: a row 0 that cannot be played stops the run
// again, whichever row was current, and its failure is the caller's, once.
void Model::startProgram() {
    setTimerEnabled(true);
    state_.run = Run::Running;
    if (const std::exception_ptr failure = playRunStep([this] { playFirstStep(); }))
        std::rethrow_exception(failure);
}

// The first step is always played with its own pattern and delay: row 0 is applied even when it
// is already current (after Open File it is current without having been applied).
void Model::playFirstStep() {
    state_.savedStepDelay = state_.timerValue; // what Stop gives back if row 0 cannot be played
    state_.currentRow = 0;
    applySelectedRow();
    state_.savedStepDelay = state_.timerValue;
    // The first step is held from the moment its write went to the board, as every later step
    // is, so that a board's time per write shortens or lengthens no step.
    state_.timerEnabledAt =
        lastWriteStartedAt_ > state_.timerEnabledAt ? lastWriteStartedAt_ : monotonicNanos();
}

// The current row stays and the relays keep its pattern; the step's full delay comes back.
void Model::stopProgram() {
    const Lock lock(*this);
    setTimerEnabled(false);
    setTimerValue(state_.savedStepDelay);
    state_.run = Run::Idle;
}

void Model::pauseOrResume() {
    const Lock lock(*this);
    if (state_.run == Run::Running) {
        state_.run = Run::Paused;
        setTimerEnabled(false);
    } else if (state_.run == Run::Paused) {
        state_.run = Run::Running;
        setTimerEnabled(true);
    }
}

// A step with delay D is held for max(D, 1) ticks: D - 1 ticks count it down to 1 and the next
// tick moves on.
void Model::timerTick() {
    const int value = state_.timerValue;
    if (value >= 2) {
        setTimerValue(value - 1);
        return;
    }
    endStep();
}

// The count of the playing step is spent: its delay goes back into its row and the next step, if
// any, is played.
void Model::endStep() {
    setDelayText(QString::number(state_.savedStepDelay));
    if (state_.currentRow + 1 < rowCount()) {
        selectRow(state_.currentRow + 1);
        state_.savedStepDelay = state_.timerValue;
    } else if (state_.repeat) {
        selectRow(0);
        state_.savedStepDelay = state_.timerValue;
    } else {
        setTimerEnabled(false);
        state_.run = Run::Idle;
    }
}

namespace {

class NoPause final : public Pause {
public:
    void pause(int) override {}
};

} // namespace

// Plays the program once through (and back to its first step with Repeat) on a model of its own
// with no board, ending each step at once: whether a step can be played depends only on the
// steps before it, so the run's first pass and its turn back to the first step meet every case.
std::optional<UnplayableStep> findUnplayableStep(const ProgramRows& rows, bool repeat) {
    devices::Registry noBoards({}); // a program played on it touches nothing
    NoPause noPause;
    Model dryRun(noBoards, noPause);
    dryRun.loadProgram(rows);
    dryRun.setRepeat(repeat);
    const auto unplayable = [&](std::exception_ptr failure) {
        return UnplayableStep{static_cast<std::size_t>(dryRun.state_.currentRow), failure};
    };
    try {
        dryRun.startProgram();
    } catch (...) {
        return unplayable(std::current_exception());
    }
    const std::size_t steps = dryRun.rows_.size() - (repeat ? 0 : 1);
    for (std::size_t step = 0; step < steps; ++step)
        if (const std::exception_ptr failure = dryRun.playRunStep([&] { dryRun.endStep(); }))
            return unplayable(failure);
    return std::nullopt;
}

TimerSetting Model::timerSetting() const {
    letWaitingActionsGoFirst();
    const Lock lock(*this, false);
    return {state_.timerEnabled, state_.timerRun, state_.resolution, state_.timerEnabledAt,
            state_.resolutionSetAt};
}

// The tick counts as delivered when the lock is won, which is when it would have run. A deadline
// of a run that has since been stopped is not a tick, nor is one of the interval before a change
// that falls after the change; a tick that fell due before the change and waited for the lock
// meanwhile is one, and it runs.
TickOutcome Model::runTick(const TimerSetting& scheduled, std::int64_t dueAt) {
    letWaitingActionsGoFirst();
    const Lock lock(*this);
    TickOutcome outcome;
    const bool sameInterval = scheduled.intervalSetAt == state_.resolutionSetAt;
    if (!state_.timerEnabled || state_.timerRun != scheduled.run ||
        (!sameInterval && dueAt > state_.resolutionSetAt))
        return outcome;
    outcome.ran = true;
    outcome.startedAt = monotonicNanos();
    outcome.failure = tick();
    outcome.endedAt = monotonicNanos();
    outcome.stillRunning = state_.timerEnabled && state_.timerRun == scheduled.run;
    return outcome;
}

std::exception_ptr Model::tick() {
    return playRunStep([this] { timerTick(); });
}

// A failure inside a step of the run, also one raised by an action the step set off, belongs to
// the run: it stops the run as Stop does, so that the error is reported once and the program does
// not fail again on every following tick.
template <typename Step> std::exception_ptr Model::playRunStep(Step&& step) {
    inRunStep_ = true;
    runStepFailure_ = nullptr;
    const std::uint64_t failures = boardFailures_;
    runSetOff(std::forward<Step>(step));
    runSetOff([&] { stopIfBoardFailedSince(failures); });
    if (runStepFailure_)
        runSetOff([this] { stopProgram(); });
    inRunStep_ = false;
    return std::exchange(runStepFailure_, nullptr);
}

} // namespace model
