// The model and the sequencer without any window: the operations on the recording driver with a
// pause that does not wait, ticks delivered by hand, and one run on the sequencer's own thread.
#include "engine/Sequencer.h"
#include "model/LabelFile.h"
#include "model/Model.h"
#include "support/Boards.h"
#include "support/Files.h"
#include "support/SlowDisk.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <sys/syscall.h>
#include <thread>

namespace {

class LoggedPause final : public model::Pause {
public:
    explicit LoggedPause(Log& log)
        : log_(log) {}
    void pause(int milliseconds) override {
        log_.push_back("pause " + std::to_string(milliseconds));
    }

private:
    Log& log_;
};

// A model on one recorded board, opened with the given pins, in a fresh working folder.
struct ModelRig {
    WorkingFolder folder;
    Log log;
    RecordingDriver driver{log};
    FtdiBoards boards{driver};
    LoggedPause pause{log};
    model::Model model{boards.registry, pause};
    std::vector<std::exception_ptr> reported;

    explicit ModelRig(std::uint8_t pins = 0x00) {
        driver.devices = 1;
        driver.pins = pins;
        model.setFailureSink([this](std::exception_ptr failure) { reported.push_back(failure); });
        model.create();
        model.form().openSelectedBoard();
        log.clear();
    }
    Log take() { return std::exchange(log, {}); }
    model::Snapshot state() const { return *model.snapshot(); }
    // One tick of the run now, as the sequencer would run it.
    std::exception_ptr tick() {
        const model::TimerSetting timer = model.timerSetting();
        return model.runTick(timer, timer.startedAt).failure;
    }
};

std::vector<std::string> rowTexts(const model::Snapshot& shown) {
    std::vector<std::string> texts;
    for (int row = 0; row < shown.rowCount(); ++row)
        texts.emplace_back(shown.rowText(row));
    return texts;
}

} // namespace

class ModelTest : public QObject {
    Q_OBJECT
private slots:
    void aProgramPlaysTickByTick();
    void stopMidCountRestoresTheDelay();
    void pauseHoldsTheCountAndTheTicks();
    void repeatLoops();
    void aFailingTickStopsTheRunAndIsReturned();
    void aFailureSetOffByAnActionGoesToTheSinkAndTheActionGoesOn();
    void captionsDecideManualClicks();
    void aScriptsWriteShowsAsARelayClickWould();
    void aTickDueBeforeAResolutionChangeStillRuns();
    void theThreadPlaysOnTimeAndStopsAtPause();
    void aWaitingActionGoesBeforeTheNextTickOnASlowBoard();
    void labelSavesWaitForNoDiskAndCoalesce();
    void aLostBoardStopsTheRunOnce();
    void aHolderKeepsItsRunThroughALostBoard();
    void aBoardIsReopenedByItsIdAndCheckedBeforeTheWrite();
    void theHolderOfTheModelRunsAtTheWaitingSequencersPriority();
};

// Each step is held max(delay, 1) ticks; the relays change only when a step is applied, and the
// rows end as they were.
void ModelTest::aProgramPlaysTickByTick() {
    ModelRig rig;
    engine::Sequencer sequencer(rig.model, engine::Sequencer::Mode::Manual);
    rig.model.loadProgram(programRows({"10000000-5", "01000000-0", "00100000-3"}));
    rig.model.selectRow(2);
    QCOMPARE(rig.take(), (Log{"write 04"}));
    QVERIFY(!sequencer.tickNow()); // the timer is off: no tick
    rig.model.startOrStop();       // row 0 applied, though row 2 was current
    QCOMPARE(rig.take(), (Log{"write 01"}));
    QCOMPARE(rig.state().run, model::Run::Running);
    QCOMPARE(rig.state().delayText, QStringLiteral("5")); // row 0's own delay is the first count
    std::vector<std::pair<int, Log>> writes;
    for (int tick = 1; tick <= 9; ++tick) {
        QVERIFY(sequencer.tickNow());
        if (tick == 1)
            QCOMPARE(rig.state().rowText(0), std::string_view("10000000-4")); // the row counts
        if (Log log = rig.take(); !log.empty())
            writes.emplace_back(tick, log);
    }
    QCOMPARE(writes, (std::vector<std::pair<int, Log>>{{5, {"write 02"}}, {6, {"write 04"}}}));
    QVERIFY(!rig.state().timerEnabled);
    QCOMPARE(rig.state().run, model::Run::Idle);
    QCOMPARE(rig.state().currentRow, 2); // the last row stays current, its delay in the edit
    QCOMPARE(rig.state().delayText, QStringLiteral("3"));
    QCOMPARE(rowTexts(rig.state()),
             (std::vector<std::string>{"10000000-5", "01000000-0", "00100000-3"}));
    QCOMPARE(rig.state().relay(3).lamp, model::Lamp::On);
    QCOMPARE(rig.state().relay(1).lamp, model::Lamp::Off);
}

// Stop keeps the row and the relays and gives the step its full delay back; the next Start
// begins at row 0 again, applied though it is current.
void ModelTest::stopMidCountRestoresTheDelay() {
    ModelRig rig;
    engine::Sequencer sequencer(rig.model, engine::Sequencer::Mode::Manual);
    rig.model.loadProgram(programRows({"10000000-5", "01000000-3"}));
    rig.model.selectRow(1);
    rig.model.startOrStop();
    sequencer.tickNow();
    sequencer.tickNow();
    QCOMPARE(rig.state().delayText, QStringLiteral("3"));
    rig.take();
    rig.model.startOrStop();
    QCOMPARE(rig.state().delayText, QStringLiteral("5"));
    QCOMPARE(rig.state().rowText(0), std::string_view("10000000-5"));
    QCOMPARE(rig.state().currentRow, 0);
    QVERIFY(rig.take().empty());
    QVERIFY(!rig.state().timerEnabled);
    rig.model.startOrStop();
    QCOMPARE(rig.take(), (Log{"write 01"}));
    QCOMPARE(rig.state().run, model::Run::Running);
}

// Pause holds the count and the ticks; Stop while paused ends the run; Pause does nothing while
// stopped.
void ModelTest::pauseHoldsTheCountAndTheTicks() {
    ModelRig rig;
    engine::Sequencer sequencer(rig.model, engine::Sequencer::Mode::Manual);
    rig.model.pauseOrResume();
    QCOMPARE(rig.state().run, model::Run::Idle);
    QVERIFY(!rig.state().timerEnabled);
    rig.model.loadProgram(programRows({"10000000-9"}));
    rig.model.startOrStop();
    sequencer.tickNow();
    rig.model.pauseOrResume();
    QCOMPARE(rig.state().run, model::Run::Paused);
    QVERIFY(!sequencer.tickNow());
    QCOMPARE(rig.state().delayText, QStringLiteral("8"));
    rig.model.pauseOrResume();
    QCOMPARE(rig.state().run, model::Run::Running);
    QVERIFY(sequencer.tickNow());
    rig.model.pauseOrResume();
    rig.model.startOrStop(); // Stop while paused
    QCOMPARE(rig.state().run, model::Run::Idle);
    QCOMPARE(rig.state().delayText, QStringLiteral("9"));
}

// Without Repeat a one-row program ends with its step; with Repeat the count starts again
// without applying the row again, and a longer program loops through its rows.
void ModelTest::repeatLoops() {
    ModelRig rig;
    engine::Sequencer sequencer(rig.model, engine::Sequencer::Mode::Manual);
    rig.model.loadProgram(programRows({"10000000-3"}));
    rig.model.startOrStop();
    QCOMPARE(rig.take(), (Log{"write 01"}));
    sequencer.tickNow();
    sequencer.tickNow();
    QVERIFY(rig.state().timerEnabled);
    sequencer.tickNow(); // the third tick ends the step and the program
    QVERIFY(!rig.state().timerEnabled);
    QCOMPARE(rig.state().rowText(0), std::string_view("10000000-3"));
    rig.model.setRepeat(true);
    rig.model.startOrStop();
    QCOMPARE(rig.take(), (Log{"write 01"}));
    for (int tick = 0; tick < 9; ++tick)
        QVERIFY(sequencer.tickNow());
    QCOMPARE(rig.state().delayText, QStringLiteral("3")); // the count started again
    QVERIFY(rig.take().empty());
    rig.model.startOrStop();
    rig.model.loadProgram(programRows({"10000000-1", "01000000-1"}));
    rig.model.startOrStop();
    for (int tick = 0; tick < 4; ++tick)
        QVERIFY(sequencer.tickNow());
    QCOMPARE(rig.take(), (Log{"write 01", "write 02", "write 01", "write 02", "write 01"}));
}

// The failure is the tick's: it stops the run as Stop does and is handed back once, not sent to
// the sink that takes failures of user actions.
void ModelTest::aFailingTickStopsTheRunAndIsReturned() {
    ModelRig rig;
    rig.model.loadProgram(programRows({"10000000-2", "1111"}));
    rig.model.startOrStop();
    rig.take();
    QVERIFY(!rig.tick());                          // counts down
    const std::exception_ptr failure = rig.tick(); // applies the short row
    QVERIFY(failure);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, std::rethrow_exception(failure));
    QVERIFY(rig.reported.empty());
    QVERIFY(!rig.state().timerEnabled);
    QCOMPARE(rig.state().run, model::Run::Idle);
    QCOMPARE(rig.state().timerValue, 2); // the step's full delay is back
    QVERIFY(rig.take().empty());         // the short row stopped before the board
}

void ModelTest::aFailureSetOffByAnActionGoesToTheSinkAndTheActionGoesOn() {
    ModelRig rig;
    rig.model.loadProgram(programRows({"1111"}));
    rig.model.addStep(); // the copy becomes current and is applied: that fails
    QCOMPARE(rig.reported.size(), std::size_t{1});
    QCOMPARE(rig.state().rowCount(), 2);
    QCOMPARE(rig.state().currentRow, 1);
    // A failure of the action itself is the caller's.
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, rig.model.clickRow(0));
    QCOMPARE(rig.reported.size(), std::size_t{1});
}

// The relay button's caption is the record of its relay; the second write carries all captions.
void ModelTest::captionsDecideManualClicks() {
    ModelRig rig(0x00);
    // New labels for relay 2: its caption is neither of them now, and reads as on.
    rig.model.pickRelayForLabels(2);
    rig.model.storeEditedLabels({QStringLiteral("two on"), QStringLiteral("two off")});
    rig.model.form().clickRelayButton(1);
    QCOMPARE(rig.take(), (Log{"write 01", "pause 50", "write 03", "read", "read"}));
    QCOMPARE(rig.state().relay(1).caption, rig.state().offLabel(1));
    QCOMPARE(rig.state().relay(1).stepCaption, rig.state().offLabel(1));
    QCOMPARE(rig.state().relay(2).lamp, model::Lamp::On);
    QCOMPARE(rig.state().rowText(0), std::string_view("11000000-0"));
    rig.model.form().switchAllRelays(false);
    QCOMPARE(rig.take(), (Log{"write 00", "pause 50", "write 00", "read", "read"}));
}

// A script's write leaves the step buttons and the current row as a click would, so the next step
// click switches only its own relay; a write the board refuses changes nothing.
void ModelTest::aScriptsWriteShowsAsARelayClickWould() {
    ModelRig rig;
    rig.model.loadProgram(programRows({"00000000-5"}));
    rig.model.clickRow(0);
    rig.take();
    QVERIFY(rig.model.writeRelays(0x02));
    QCOMPARE(rig.take(), (Log{"write 02"}));
    const model::Snapshot written = rig.state();
    const model::RelayView& two = written.relay(2);
    QVERIFY(two.stepOn);
    QCOMPARE(two.lamp, model::Lamp::On);
    QCOMPARE(two.caption, written.offLabel(2));
    QCOMPARE(two.stepCaption, written.offLabel(2));
    QVERIFY(!rig.state().relay(1).stepOn);
    QCOMPARE(rig.state().rowText(0), std::string_view("01000000-5"));
    rig.model.form().clickStepButton(1);
    QCOMPARE(rig.take().front(), std::string("write 03"));
    rig.driver.writesFail = true;
    QVERIFY(!rig.model.writeRelays(0xFF));
    QCOMPARE(rig.state().relayByte, 0x03);
    QCOMPARE(rig.state().relay(8).lamp, model::Lamp::Off);
    QCOMPARE(rig.state().rowText(0), std::string_view("11000000-5"));
}

// A tick of the old interval that waited for the lock while the resolution changed was due: it
// runs. A deadline of the old interval after the change is not a tick.
void ModelTest::aTickDueBeforeAResolutionChangeStillRuns() {
    const auto now = [] {
        timespec time{};
        clock_gettime(CLOCK_MONOTONIC, &time);
        return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
    };
    ModelRig rig;
    rig.model.loadProgram(programRows({"10000000-9"}));
    rig.model.startOrStop();
    const model::TimerSetting scheduled = rig.model.timerSetting();
    const std::int64_t due = now();
    rig.model.changeResolution(5);
    const std::int64_t afterChange = now();
    QVERIFY(rig.model.runTick(scheduled, due).ran);
    QVERIFY(!rig.model.runTick(scheduled, afterChange).ran);
    QVERIFY(rig.model.runTick(rig.model.timerSetting(), afterChange).ran);
    QCOMPARE(rig.state().timerValue, 7);
}

// On its own thread the sequencer writes every millisecond step on time, and a pause taken under
// the lock stops the writes at once.
void ModelTest::theThreadPlaysOnTimeAndStopsAtPause() {
    ModelRig rig;
    engine::Sequencer sequencer(rig.model);
    std::vector<std::string> rows;
    for (int step = 0; step < 400; ++step)
        rows.push_back(step % 2 ? "10000000-1" : "01000000-1");
    {
        const model::Model::Lock lock = rig.model.lockForAction();
        rig.model.loadProgram(programRows(rows));
        rig.model.startOrStop();
    }
    const auto writes = [&] {
        const model::Model::Lock lock = rig.model.lockForAction();
        return rig.driver.writes.size();
    };
    QTRY_VERIFY_WITH_TIMEOUT(writes() > 20, 5000);
    std::size_t written = 0;
    {
        const model::Model::Lock lock = rig.model.lockForAction();
        rig.model.pauseOrResume();
        written = rig.driver.writes.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        const model::Model::Lock lock = rig.model.lockForAction();
        QCOMPARE(rig.driver.writes.size(), written);
        rig.model.pauseOrResume();
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const model::Model::Lock lock = rig.model.lockForAction();
            return !rig.model.snapshot()->timerEnabled;
        }(),
        5000);
    const model::Model::Lock lock = rig.model.lockForAction();
    QCOMPARE(rig.driver.writes.size(), std::size_t{400});
    QCOMPARE(rig.model.snapshot()->currentRow, 399);
}

// Ticks on a slow board follow each other back to back; an action that asks for the model gets
// it after the tick in progress, never after a string of them.
void ModelTest::aWaitingActionGoesBeforeTheNextTickOnASlowBoard() {
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    Log pauses;
    LoggedPause pause(pauses);
    SimulatedBoards boards(1, devices::testing::parseFaults("latency=1.5"));
    model::Model model(boards.registry(), pause);
    engine::Sequencer sequencer(model);
    std::atomic<int> ticks{0};
    sequencer.setTickObserver([&](std::exception_ptr, bool) { ++ticks; });
    {
        const model::Model::Lock lock = model.lockForAction();
        model.create();
        model.form().openSelectedBoard();
        model.loadProgram(programRows({"10000000-1", "01000000-1"}));
        model.setRepeat(true);
        model.startOrStop();
    }
    QTRY_VERIFY(ticks > 5);
    int worst = 0;
    for (int turn = 0; turn < 100; ++turn) {
        const int before = ticks;
        {
            const model::Model::Lock lock = model.lockForAction();
            worst = std::max(worst, ticks - before);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (turn % 8)));
    }
    // The tick in progress, and one that may have started before the action asked.
    QVERIFY2(worst <= 2, qPrintable(QString::number(worst)));
    const model::Model::Lock lock = model.lockForAction();
    model.startOrStop();
    QVERIFY(ticks > 20); // the run went on meanwhile
    QDir::setCurrent(QDir::tempPath());
}

// A press that saves labels.dat during a run returns without waiting for the disk, the run goes
// on while the disk holds the flush, saves that come meanwhile coalesce into one, and the last
// table is on the disk once the labels are flushed.
void ModelTest::labelSavesWaitForNoDiskAndCoalesce() {
    ModelRig rig;
    engine::Sequencer sequencer(rig.model);
    std::vector<std::string> rows;
    for (int step = 0; step < 2; ++step)
        rows.push_back(step % 2 ? "10000000-1" : "01000000-1");
    const auto writes = [&] {
        const model::Model::Lock lock = rig.model.lockForAction();
        return rig.driver.writes.size();
    };
    {
        const model::Model::Lock lock = rig.model.lockForAction();
        rig.model.loadProgram(programRows(rows));
        rig.model.setRepeat(true);
        rig.model.startOrStop();
    }
    slowdisk::close();
    const int flushesBefore = slowdisk::flushes();
    {
        const model::Model::Lock lock = rig.model.lockForAction();
        rig.model.pickRelayForLabels(1);
        rig.model.storeEditedLabels({QStringLiteral("first"), QStringLiteral("Relay 1 OFF")});
        rig.model.pickRelayForLabels(1);
    }
    QTRY_COMPARE(slowdisk::flushes(), flushesBefore + 1); // the writer waits on the disk
    QCOMPARE(slowdisk::flushesHeld(), 1);
    const std::size_t held = writes();
    QTRY_VERIFY(writes() > held + 20); // the run goes on meanwhile
    for (const char* label : {"second", "third", "last"}) {
        const model::Model::Lock lock = rig.model.lockForAction();
        rig.model.pickRelayForLabels(1);
        rig.model.storeEditedLabels({QLatin1String(label), QStringLiteral("Relay 1 OFF")});
        rig.model.pickRelayForLabels(2);
    }
    slowdisk::open();
    rig.model.flushLabels();
    // The first save's file, then one save for the three that waited.
    QCOMPARE(slowdisk::flushes(), flushesBefore + 2);
    QCOMPARE(labels::readLabelsFile(QStringLiteral("labels.dat"))[0], std::string("last"));
    const model::Model::Lock lock = rig.model.lockForAction();
    rig.model.startOrStop();
}

// A write of a run that fails stops the run as Stop would: one failure, handed back once, and
// nothing more is written.
void ModelTest::aLostBoardStopsTheRunOnce() {
    ModelRig rig;
    engine::Sequencer sequencer(rig.model, engine::Sequencer::Mode::Manual);
    rig.model.loadProgram(programRows({"10000000-1", "01000000-3", "00100000-1"}));
    rig.model.setRepeat(true);
    rig.model.startOrStop();
    QVERIFY(sequencer.tickNow());
    rig.driver.writesFail = true;
    QVERIFY(!rig.tick()); // step 2 counts down, writing nothing
    QVERIFY(!rig.tick());
    const std::exception_ptr failure = rig.tick(); // step 3 is applied: it fails
    QVERIFY(failure);
    QVERIFY_THROWS_EXCEPTION(model::BoardStoppedAnswering, std::rethrow_exception(failure));
    QVERIFY(!rig.state().timerEnabled);
    QVERIFY(!rig.state().boardFound);
    QCOMPARE(rig.state().run, model::Run::Idle);
    QCOMPARE(rig.state().currentRow, 2);
    QVERIFY(!sequencer.tickNow());
    // Start on the lost board writes the first step once, and stops with the same failure.
    rig.take();
    QVERIFY_THROWS_EXCEPTION(model::BoardStoppedAnswering, rig.model.startOrStop());
    QVERIFY(!rig.state().timerEnabled);
    QCOMPARE(rig.take(), (Log{"write 01"}));
    QVERIFY(rig.reported.empty());
}

// A holder that keeps its board through an unplug: the run goes on by its clock without writing,
// relay requests fail and change nothing, and the board, opened again without being read or
// reset, gets the step the clock has reached in one write.
void ModelTest::aHolderKeepsItsRunThroughALostBoard() {
    ModelRig rig;
    rig.model.keepRunningWithoutBoard();
    rig.model.loadProgram(programRows({"10000000-1", "01000000-1", "00100000-1"}));
    rig.model.setRepeat(true);
    rig.model.startOrStop();
    rig.driver.writesFail = true;
    QVERIFY(!rig.tick()); // the second step's write fails; the run goes on
    QVERIFY(rig.state().timerEnabled);
    QVERIFY(!rig.state().boardFound);
    rig.take();
    QVERIFY(!rig.tick());
    QCOMPARE(rig.state().currentRow, 2);
    QVERIFY(rig.take().empty()); // the board is not asked while it is away
    QVERIFY(!rig.model.writeRelays(0xFF));
    QVERIFY(!rig.model.readRelays());
    QCOMPARE(rig.state().relayByte, 0x04);
    rig.driver.writesFail = false;
    QVERIFY(rig.model.reopenBoard("board1"));
    const Log reopened = rig.take();
    QCOMPARE(Log(reopened.end() - 4, reopened.end()),
             (Log{"open 0", "setbitmode ff 1", "setrate 115200", "write 04"}));
    QVERIFY(rig.state().boardFound);
    QVERIFY(!rig.tick()); // and the run goes on writing
    QCOMPARE(rig.take(), (Log{"write 01"}));
    QVERIFY(rig.state().timerEnabled);
    QVERIFY(rig.reported.empty());
}

// The bus changes between the count that found the board by its id and the open: the board opened
// is another one, and it is closed again untouched. Once the bus holds still, the board with the
// id gets the pattern, wherever it is now.
void ModelTest::aBoardIsReopenedByItsIdAndCheckedBeforeTheWrite() {
    QTemporaryDir dir;
    const QString unplugged = dir.filePath(QStringLiteral("unplugged"));
    const auto plugged = [&](const char* out) { QVERIFY(writeFile(unplugged, out)); };
    devices::testing::Faults faults;
    faults.unpluggedFile = unplugged.toStdString();
    SimulatedBoards boards(2, faults);
    Log log;
    LoggedPause pause(log);
    model::Model model(boards.registry(), pause);
    model.keepRunningWithoutBoard();
    QCOMPARE(model.openBoard(2, true), model::Opening::Opened);
    QVERIFY(model.writeRelays(0xA5));
    plugged("1 2");
    boards.registry().enumerate(); // the boards notice: they lose power and their relays
    model.boardWentAway();
    plugged("1"); // sim2 alone: the first board on the bus
    bool replug = true;
    boards.setTraceSink([&](const devices::testing::TraceRecord& call) {
        if (call.op == "count" && std::exchange(replug, false))
            plugged(""); // and sim1 is back before the open
    });
    QVERIFY(!model.reopenBoard("sim2"));
    QCOMPARE(boards.boards().relays(0), 0x00);
    QVERIFY(model.reopenBoard("sim2"));
    QCOMPARE(boards.boards().relays(1), 0xA5);
    QCOMPARE(boards.boards().relays(0), 0x00);
}

namespace {

// The priority the kernel schedules a thread of this process at, as /proc shows it: 20 for an
// ordinary thread of nice 0, -2 for real-time priority 1.
int kernelPriority(pid_t thread) {
    QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(thread));
    if (!stat.open(QIODevice::ReadOnly))
        return 1000;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 15 ? fields[15].toInt() : 1000;
}

} // namespace

// While a real-time thread waits for the model, the ordinary thread that holds it is boosted to
// that thread's priority, so other programs cannot keep it (and the waiting tick) off the
// processor.
void ModelTest::theHolderOfTheModelRunsAtTheWaitingSequencersPriority() {
    ModelRig rig;
    std::atomic<pid_t> holderId{0};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        const model::Model::Lock lock = rig.model.lockForAction();
        holderId = static_cast<pid_t>(::syscall(SYS_gettid));
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    QTRY_VERIFY(holderId != 0);
    QCOMPARE(kernelPriority(holderId), 20);
    std::atomic<bool> realTime{false};
    std::thread waiter([&] {
        sched_param parameter{};
        parameter.sched_priority = sched_get_priority_min(SCHED_FIFO);
        realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter) == 0;
        if (realTime) {
            const model::Model::Lock lock = rig.model.lockForAction(); // waits for the holder
        } else {
            release = true;
        }
    });
    QDeadlineTimer deadline(2000);
    while (kernelPriority(holderId) != -2 && !release && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int boosted = kernelPriority(holderId);
    release = true;
    holder.join();
    waiter.join();
    if (!realTime)
        QSKIP("this process may not make a thread real-time");
    QCOMPARE(boosted, -2);
}

QTEST_GUILESS_MAIN(ModelTest)
#include "test_model.moc"
