// The program timer's schedule and delivery rules (orderings, never wall-clock figures).
#include "timer/TickSchedule.h"
#include "timer/TickTimer.h"

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
    void timerDeliversOneTickPerEventAndHoldsThemDuringHandlers();
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
    schedule.tickDelivered(20 * ms); // next due at 30
    schedule.setPeriod(3 * ms);
    QCOMPARE(schedule.deadline(), 23 * ms); // counted from the last tick
    schedule.tickDelivered(23 * ms);
    QCOMPARE(schedule.deadline(), 26 * ms);
}

void TicksTest::timerDeliversOneTickPerEventAndHoldsThemDuringHandlers() {
    TickTimer timer;
    bool handlerRunning = false;
    timer.setGate([&] { return !handlerRunning; });
    timer.setInterval(2);
    QSignalSpy ticks(&timer, &TickTimer::timeout);
    timer.setEnabled(true);
    QVERIFY(ticks.wait(1000));
    // While a handler runs, a due tick waits, and only one comes after a long block.
    handlerRunning = true;
    const auto before = ticks.count();
    QThread::msleep(20);
    QTest::qWait(5);
    QCOMPARE(ticks.count(), before);
    handlerRunning = false;
    timer.releaseHeldTick();
    QCoreApplication::processEvents();
    QCOMPARE(ticks.count(), before + 1);
    timer.setEnabled(false);
    const auto stopped = ticks.count();
    QTest::qWait(10);
    QCOMPARE(ticks.count(), stopped);
}

QTEST_MAIN(TicksTest)
#include "test_ticks.moc"
