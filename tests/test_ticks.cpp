// The program timer's schedule and delivery rules (orderings, never wall-clock figures).
#include "engine/Sequencer.h"
#include "engine/TickSchedule.h"
#include "support/Boards.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {
constexpr std::int64_t ms = 1'000'000;
}

class TicksTest : public QObject {
    Q_OBJECT
private slots:
    void ticksFallOnMultiplesOfThePeriod();
    void blockedThreadResumesFromTheTickThatRan();
    void newPeriodAppliesToTheFollowingTicks();
    void ticksDueDuringASlowTickMergeIntoOne();
    void sequencerHoldsTicksWhileAnActionHoldsTheModel();
};

void TicksTest::ticksFallOnMultiplesOfThePeriod() {
    TickSchedule schedule;
    schedule.start(1000 * ms, 1 * ms);
    QCOMPARE(schedule.deadline(), 1001 * ms); // the first tick one period after the start
    // Each tick late by 0.3 ms: the following deadlines do not move.
    for (int k = 1; k <= 100; ++k) {
        QCOMPARE(schedule.deadline(), (1000 + k) * ms);
        schedule.tickDelivered(schedule.deadline() + ms * 3 / 10);
    }
    QCOMPARE(schedule.deadline(), 1101 * ms);
    // A repaint holds one tick up by 3 ms: the ticks it held up follow at once, on schedule.
    schedule.tickDelivered(1104 * ms);
    QCOMPARE(schedule.deadline(), 1102 * ms);
}

void TicksTest::blockedThreadResumesFromTheTickThatRan() {
    TickSchedule schedule;
    schedule.start(0, 10 * ms);
    schedule.tickDelivered(10 * ms);
    // A 50 ms pause: the tick due at 20 ms runs at 63 ms and stands for those missed.
    schedule.tickDelivered(63 * ms);
    QCOMPARE(schedule.deadline(), 73 * ms);
    schedule.tickDelivered(73 * ms);
    QCOMPARE(schedule.deadline(), 83 * ms);
    // Late by less than a period keeps the schedule.
    schedule.tickDelivered(92 * ms);
    QCOMPARE(schedule.deadline(), 93 * ms);
}

void TicksTest::newPeriodAppliesToTheFollowingTicks() {
    TickSchedule schedule;
    schedule.start(0, 10 * ms);
    schedule.tickDelivered(10 * ms);
    schedule.tickDelivered(20 * ms);     // next due at 30
    schedule.setPeriod(3 * ms, 20 * ms); // taken at the last tick
    QCOMPARE(schedule.deadline(), 23 * ms);
    schedule.tickDelivered(23 * ms);
    QCOMPARE(schedule.deadline(), 26 * ms);
    // 100 ms to 50 ms, taken 60 ms into a step: the next tick one new period after the change,
    // neither at once nor squeezed before the old deadline.
    schedule.start(0, 100 * ms);
    schedule.setPeriod(50 * ms, 60 * ms);
    QCOMPARE(schedule.deadline(), 110 * ms);
    schedule.tickDelivered(110 * ms);
    QCOMPARE(schedule.deadline(), 160 * ms);
}

void TicksTest::ticksDueDuringASlowTickMergeIntoOne() {
    TickSchedule schedule;
    schedule.start(0, 1 * ms);
    // A board write of 1.2 ms per tick: of the ticks due during one, one stays pending and runs
    // at once; the board sets the pace and the schedule never falls more than a tick behind.
    std::int64_t now = 1 * ms;
    for (int tick = 0; tick < 50; ++tick) {
        const std::int64_t start = std::max(now, schedule.deadline());
        schedule.tickDelivered(start);
        now = start + 12 * ms / 10;
        schedule.tickRan(start, now);
        QVERIFY(now - schedule.deadline() <= 1 * ms);
    }
    // A wedged board's 300 ms call: the 300 ticks due meanwhile are one.
    schedule.start(0, 1 * ms);
    schedule.tickDelivered(1 * ms);
    schedule.tickRan(1 * ms, 301 * ms);
    QVERIFY(schedule.deadline() <= 301 * ms);
    QVERIFY(schedule.deadline() > 300 * ms);
    // Ticks already due when a quick tick starts (the thread woke 3 ms late) still catch up.
    schedule.start(0, 1 * ms);
    schedule.tickDelivered(4 * ms);
    schedule.tickRan(4 * ms, 4 * ms + 100'000);
    QCOMPARE(schedule.deadline(), 2 * ms);
}

void TicksTest::sequencerHoldsTicksWhileAnActionHoldsTheModel() {
    struct NoPause final : model::Pause {
        void pause(int) override {}
    } pause;
    SimulatedBoards boards(1);
    model::Model model(boards.registry(), pause);
    engine::Sequencer sequencer(model);
    std::mutex timesLock;
    std::vector<std::int64_t> times;
    QElapsedTimer clock;
    clock.start();
    sequencer.setTickObserver([&](std::exception_ptr, bool) {
        const std::lock_guard lock(timesLock);
        times.push_back(clock.nsecsElapsed());
    });
    const auto count = [&] {
        const std::lock_guard lock(timesLock);
        return times.size();
    };
    {
        const model::Model::Lock lock = model.lockForAction();
        model.stopProgram(); // the timer is off, as start-up leaves it
        model.loadProgram(programRows({"00000000-9999"})); // a long step: ticks count it down
        model.changeResolution(2);
        model.startOrStop();
    }
    QTRY_VERIFY_WITH_TIMEOUT(count() > 0, 1000);
    std::size_t before = 0;
    std::int64_t released = 0;
    {
        // While an action holds the model, a due tick waits for it.
        const model::Model::Lock lock = model.lockForAction();
        before = count();
        QThread::msleep(20);
        QCOMPARE(count(), before);
        released = clock.nsecsElapsed();
    }
    QTRY_VERIFY_WITH_TIMEOUT(count() >= before + 2, 1000);
    {
        // The held tick runs once and stands for those missed: the next keeps the period.
        const std::lock_guard lock(timesLock);
        QVERIFY(times[before] >= released);
        QVERIFY(times[before + 1] - times[before] >= 3 * ms / 2);
    }
    {
        const model::Model::Lock lock = model.lockForAction();
        model.stopProgram();
    }
    const std::size_t stopped = count();
    QThread::msleep(10);
    QCOMPARE(count(), stopped);
}

QTEST_MAIN(TicksTest)
#include "test_ticks.moc"
