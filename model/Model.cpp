#include "model/Model.h"

#include "model/Clock.h"
#include "model/ProgramFile.h"
#include "model/SafeFile.h"

#include <QDir>
#include <QFile>

#include <utility>
#include <vector>

namespace model {

namespace {

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
    : session_(boards)
    , player_(&session_, &form_)
    , form_(*this, session_, player_, labels_, pause) {
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
    auto shown = std::make_shared<Snapshot>();
    shown->relayByte = session_.relayByte();
    shown->relayCount = session_.relayCount();
    shown->knownRelays = static_cast<std::uint8_t>(session_.knownRelays() | ~session_.relayMask());
    shown->pulsedRelays = session_.pulsedRelays();
    shown->pulseDueAt = session_.pulseDueTimes();
    shown->relayByteBeneathPulses = session_.relayByteBeneathPulses();
    shown->deviceCount = session_.deviceCount();
    shown->boardFound = session_.found();
    shown->boardId = session_.boardId();
    labels_.showIn(*shown);
    form_.showIn(*shown);
    player_.showIn(*shown);
    std::shared_ptr<const Snapshot> previous; // let go of after the lock, if nobody reads it
    const std::lock_guard lock(publishedLock_);
    if (published_ && published_->rowsVersion == shown->rowsVersion)
        shown->rows = published_->rows;
    else
        shown->rows = std::make_shared<const ProgramRows>(player_.rows());
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
    player_.setFailureSink(std::move(sink));
}

void Model::setTimerObserver(std::function<void()> observer) {
    const Lock lock(*this);
    timerObserver_ = observer;
    player_.setTimerObserver(std::move(observer));
}

void Model::wakeSequencer() const {
    if (timerObserver_)
        timerObserver_();
}

void Model::letWaitingActionsGoFirst() const {
    for (int waiting = actionsWaiting_.load(); waiting > 0; waiting = actionsWaiting_.load())
        actionsWaiting_.wait(waiting);
}

// ---- lifecycle ----------------------------------------------------------------------------------

void Model::create() {
    const Lock lock(*this);
    labels_.startWriter();
    labels_.load();
    form_.showLabelsOnCaptions();
    session_.setFound(false);
    player_.setRowText(0, kEmptyStep);
    player_.setRowCount(1);
    discoverBoards();
    session_.setRelayByte(0);
    player_.setTimerEnabled(false);
}

void Model::close() {
    const Lock lock(*this);
    session_.close();
    labels_.save();
    player_.setTimerEnabled(false);
}

void Model::closeBoard() {
    const Lock lock(*this);
    session_.close();
}

// ---- boards -------------------------------------------------------------------------------------

void Model::discoverBoards() {
    const Lock lock(*this);
    session_.discover();
    form_.listBoards(session_.deviceCount());
    if (session_.deviceCount() == 0)
        session_.setFound(false);
}

// A script's way in: the boards are found again and the numbered one opened; what went wrong is
// told apart as far as the driver lets it be. A board that is not opened is closed again.
Opening Model::openBoard(int number, bool adoptPins) {
    const Lock lock(*this);
    discoverBoards();
    if (number < 1 || static_cast<std::uint32_t>(number) > session_.deviceCount())
        return Opening::NoSuchBoard;
    form_.setBoardEntry(number - 1);
    if (adoptPins)
        form_.openSelectedBoard();
    else
        session_.setFound(session_.open(static_cast<std::size_t>(number - 1)));
    if (session_.found())
        return Opening::Opened;
    const bool openedHalfway = session_.isOpen();
    session_.closeDevice();
    if (openedHalfway)
        return Opening::StoppedAnswering;
    const std::size_t count = session_.countNow();
    return static_cast<std::size_t>(number) > count ? Opening::WentAway : Opening::Refused;
}

std::optional<std::uint8_t> Model::readRelays() {
    const Lock lock(*this);
    return session_.readRelays();
}

// One write of the whole pattern. Refused, it leaves the pattern last commanded, which a reopened
// board is given, and the views as they were.
bool Model::writeRelays(std::uint8_t byte) {
    const Lock lock(*this);
    const std::uint8_t before = session_.relayByte();
    session_.cancelPulses(0xFF);
    if (!session_.writeRelays(byte))
        return false;
    form_.showWrittenPattern(before, session_.relayByte());
    return true;
}

// One write of some relays, the others as they are (unknown ones left unknown).
bool Model::switchRelays(std::uint8_t which, std::uint8_t relays) {
    const Lock lock(*this);
    const std::uint8_t before = session_.relayByte();
    session_.cancelPulses(which);
    if (!session_.writeSomeRelays(which, relays))
        return false;
    form_.showWrittenPattern(before, session_.relayByte());
    return true;
}

// A pulse's edges show on the lamps and relay buttons only: they are not a user's click, so the
// program's rows stay as they are.
void Model::showPulseEdge(std::uint8_t before) {
    const std::uint8_t after = session_.relayByte();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if ((before ^ after) & entry.mask)
            form_.showRelay(entry.relay, after & entry.mask);
}

// Under a run, what the current step wrote to the relay comes back at the off edge; otherwise the
// relay goes off.
bool Model::pulseRelays(const std::vector<std::pair<int, std::chrono::nanoseconds>>& pulses) {
    std::uint8_t which = 0;
    std::array<std::int64_t, devices::kMaxRelays> lengths{};
    for (const auto& [relay, length] : pulses) {
        which |= devices::relayEntry(relay).mask;
        lengths.at(static_cast<std::size_t>(relay - 1)) = length.count();
    }
    const Lock lock(*this);
    const std::uint8_t before = session_.relayByte();
    const std::uint8_t beneath = player_.run() == Run::Idle ? 0 : before;
    if (!session_.startPulse(which, lengths, beneath))
        return false;
    showPulseEdge(before);
    wakeSequencer();
    return true;
}

void Model::endPulsesDueBy(std::int64_t now) {
    const Lock lock(*this);
    const std::uint8_t before = session_.relayByte();
    session_.endPulsesDueBy(now);
    showPulseEdge(before);
}

Interlocks Model::interlocks() const {
    const Lock lock(*this, false);
    return session_.interlocks();
}

void Model::keepRunningWithoutBoard() {
    const Lock lock(*this);
    session_.keepRunningWithoutBoard();
}

void Model::boardWentAway() {
    const Lock lock(*this);
    session_.wentAway();
}

// The board is found by its id as the bus is now, and what was opened is checked to be it before
// anything reaches it, so a bus that changed meanwhile never gets another board the pattern;
// what was commanded while it was away is what it gets.
bool Model::reopenBoard(const std::string& id) {
    const Lock lock(*this);
    session_.closeDevice();
    discoverBoards();
    const std::optional<std::size_t> index = session_.indexOf(id);
    if (!index)
        return false;
    form_.setBoardEntry(static_cast<int>(*index));
    return session_.reopen(*index, id);
}

// ---- labels -------------------------------------------------------------------------------------

// Every mouse press on a relay button or a step button picks the relay the label dialog edits and
// saves the label table.
RelayLabels Model::pickRelayForLabels(int relayNumber) {
    const Lock lock(*this);
    return labels_.pick(relayNumber);
}

void Model::flushLabels() {
    labels_.flush();
}

// OK or Enter in the label dialog: the two texts, each cut to 18 characters, become the edited
// relay's ON and OFF labels.
void Model::storeEditedLabels(const RelayLabels& edited) {
    const Lock lock(*this);
    labels_.store(edited);
}

// ---- the program
// ----------------------------------------------------------------------------------

void Model::selectRow(int row) {
    const Lock lock(*this);
    player_.selectRow(row);
}

void Model::clickRow(int row) {
    const Lock lock(*this);
    player_.clickRow(row);
}

void Model::addStep() {
    const Lock lock(*this);
    player_.addStep();
}

void Model::clearLastStep() {
    const Lock lock(*this);
    player_.clearLastStep();
}

void Model::clearAllSteps() {
    const Lock lock(*this);
    player_.clearAllSteps();
}

void Model::stepDelay(int delta) {
    const Lock lock(*this);
    player_.stepDelay(delta);
}

void Model::changeResolution(int resolution) {
    const Lock lock(*this);
    player_.changeResolution(resolution);
}

void Model::setRepeat(bool repeat) {
    const Lock lock(*this);
    player_.setRepeat(repeat);
}

void Model::loadProgram(ProgramRows rows) {
    const Lock lock(*this);
    player_.loadProgram(std::move(rows));
}

// The list is replaced only once the whole file has been read.
std::optional<QString> Model::openProgramFile(const std::string& localPath) {
    ProgramRows rows;
    if (std::optional<QString> failure = readProgramFile(localPath, rows))
        return failure;
    const Lock lock(*this);
    if (const std::optional<AbsentRelay> absent = findAbsentRelay(rows, session_.relayCount()))
        return QStringLiteral("Line %1 of \"%2\" switches relay %3, which this board does not "
                              "have (it has %4).")
            .arg(absent->row + 1)
            .arg(QDir::toNativeSeparators(QFile::decodeName(localPath.c_str())))
            .arg(absent->relay)
            .arg(QString::fromStdString(relayCountText(session_.relayCount())));
    if (const std::optional<InterlockBreach> breach =
            findInterlockBreach(rows, session_.interlocks()))
        return QStringLiteral("Line %1 of \"%2\" cannot be played: %3.")
            .arg(breach->row + 1)
            .arg(QDir::toNativeSeparators(QFile::decodeName(localPath.c_str())))
            .arg(QString::fromStdString(breach->why));
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
    const ProgramRows& rows = player_.rows();
    std::vector<std::string> texts;
    texts.reserve(rows.size());
    for (std::size_t row = 0; row < rows.size(); ++row)
        texts.emplace_back(rows.at(row));
    const QString path =
        QString::fromStdString(programfile::programFileName(chosenName.toStdString()));
    if (const auto failure = safefile::replaceFile(QFile::encodeName(path).toStdString(),
                                                   programfile::encodeProgram(texts)))
        return QStringLiteral("Could not save the program to \"%1\": %2")
            .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(failure->reason));
    return std::nullopt;
}

// ---- the run --------------------------------------------------------------------------------

void Model::startOrStop() {
    const Lock lock(*this);
    player_.startOrStop();
}

void Model::stopProgram() {
    const Lock lock(*this);
    player_.stop();
}

void Model::pauseOrResume() {
    const Lock lock(*this);
    player_.pauseOrResume();
}

TimerSetting Model::timerSetting() const {
    letWaitingActionsGoFirst();
    const Lock lock(*this, false);
    TimerSetting setting = player_.timerSetting();
    setting.pulseDueAt = session_.nextPulseDue();
    return setting;
}

// The tick counts as delivered when the lock is won, which is when it would have run; a tick
// that fell due before a change of the resolution and waited for the lock meanwhile runs.
TickOutcome Model::runTick(const TimerSetting& scheduled, std::int64_t dueAt) {
    letWaitingActionsGoFirst();
    const Lock lock(*this);
    TickOutcome outcome;
    if (!player_.tickIsDue(scheduled, dueAt))
        return outcome;
    outcome.ran = true;
    outcome.startedAt = monotonicNanos();
    outcome.failure = player_.tick();
    outcome.endedAt = monotonicNanos();
    outcome.stillRunning = player_.stillRunning(scheduled);
    return outcome;
}

} // namespace model
