// The sequencer's thread asks RealtimeKit for real-time scheduling where the kernel refuses it.
// A RealtimeKit of the test's own serves on a private bus started by the test; the sequencer
// runs in a child process without the right to real-time scheduling (setpriv drops
// CAP_SYS_NICE), as an ordinary user's program runs, with that bus as its system bus.
#include "engine/Sequencer.h"
#include "model/Model.h"
#include "support/Boards.h"
#include "support/RealtimeKit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>
#include <QtTest>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sched.h>

namespace {

// The lowest nice value of this process's threads, from the kernel's own account of each.
int lowestNiceOfThreads() {
    int lowest = 20;
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The fields after the command name, which is in parentheses; nice is the 19th field.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 16)
            lowest = std::min(lowest, fields[16].toInt());
    }
    return lowest;
}

// Linux gives ordinary threads a slice of their choosing from 6.12 on.
bool kernelGivesShortSlices() {
    const QStringList version = QSysInfo::kernelVersion().split(QLatin1Char('.'));
    const int major = version.value(0).toInt();
    const int minor = version.value(1).toInt();
    return major > 6 || (major == 6 && minor >= 12);
}

// The child: a program started on a sequencer at once, how the sequencer's thread came to be
// scheduled, when that was settled and when the first tick came, in ms from the start, and the
// lowest nice value of its threads once the sequencer runs.
int reportScheduling(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    struct NoPause final : model::Pause {
        void pause(int) override {}
    } pause;
    SimulatedBoards boards(1);
    model::Model model(boards.registry(), pause);
    QElapsedTimer clock;
    clock.start();
    engine::Sequencer sequencer(model);
    std::atomic<qint64> firstTick{-1};
    sequencer.setTickObserver([&](std::exception_ptr, bool) {
        qint64 none = -1;
        firstTick.compare_exchange_strong(none, clock.elapsed());
    });
    {
        const model::Model::Lock lock = model.lockForAction();
        model.stopProgram(); // the timer is off, as start-up leaves it
        model.loadProgram(programRows({"00000000-1"}));
        model.setRepeat(true);
        model.startOrStop();
    }
    const auto settled = [&] {
        const engine::Scheduling got = sequencer.scheduling();
        return got != engine::Scheduling::Unknown && got != engine::Scheduling::Asking;
    };
    while (!settled() && clock.elapsed() < 10000)
        QThread::usleep(200);
    const qint64 settledMs = clock.elapsed();
    while (firstTick < 0 && clock.elapsed() < 10000)
        QThread::usleep(200);
    std::printf("%d %lld %lld %d\n", static_cast<int>(sequencer.scheduling()),
                static_cast<long long>(settledMs), static_cast<long long>(firstTick.load()),
                lowestNiceOfThreads());
    return 0;
}

} // namespace

class RealtimeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void askedOnlyWhereTheKernelRefuses_data();
    void askedOnlyWhereTheKernelRefuses();

private:
    struct ChildReport {
        engine::Scheduling scheduling = engine::Scheduling::Unknown;
        qint64 settledMs = -1;
        qint64 firstTickMs = -1;
        int lowestNice = -100;
    };
    // Runs the child as an ordinary user's program would run, started at nice 5.
    ChildReport runChild();

    QProcess bus_;
    QString address_;
    QString setpriv_;
    MockRealtimeKit kit_;
};

void RealtimeTest::initTestCase() {
    setpriv_ = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (setpriv_.isEmpty() || daemon.isEmpty())
        QSKIP("dbus-daemon or setpriv is missing");
    bus_.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
    QVERIFY(bus_.waitForStarted());
    QTRY_VERIFY(bus_.canReadLine());
    address_ = QString::fromLatin1(bus_.readLine()).trimmed();
    QVERIFY(!address_.isEmpty());
}

void RealtimeTest::cleanupTestCase() {
    QDBusConnection::disconnectFromBus(QStringLiteral("mock"));
    bus_.terminate();
    bus_.waitForFinished();
}

RealtimeTest::ChildReport RealtimeTest::runChild() {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address_);
    child.setProcessEnvironment(environment);
    child.start(QStringLiteral("nice"),
                {QStringLiteral("-n"), QStringLiteral("5"), setpriv_,
                 QStringLiteral("--bounding-set=-sys_nice"), QStringLiteral("--inh-caps=-sys_nice"),
                 QCoreApplication::applicationFilePath(), QStringLiteral("--child")});
    if (!child.waitForStarted())
        return {};
    // The test's event loop answers for the mock while the child asks.
    QDeadlineTimer deadline(30000);
    while (child.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(5);
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 4)
        return {};
    return {static_cast<engine::Scheduling>(fields[0].toInt()), fields[1].toLongLong(),
            fields[2].toLongLong(), fields[3].toInt()};
}

void RealtimeTest::askedOnlyWhereTheKernelRefuses_data() {
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("scheduling");
    QTest::newRow("granted") << true << int(MockRealtimeKit::Answer::Grant)
                             << int(engine::Scheduling::RealtimeKit);
    QTest::newRow("refused") << true << int(MockRealtimeKit::Answer::Refuse)
                             << int(engine::Scheduling::ShortSlice);
    QTest::newRow("slow to answer")
        << true << int(MockRealtimeKit::Answer::Slowly) << int(engine::Scheduling::ShortSlice);
    QTest::newRow("absent") << false << int(MockRealtimeKit::Answer::Grant)
                            << int(engine::Scheduling::ShortSlice);
}

// Granted, the thread is real-time; refused, slow or absent, it stays ordinary, with a short
// time slice where the kernel gives one. The program's ticks never wait for the answer (the slow
// one comes after 3 s), and the sequencer gives up on it after a second. Asking for the slice
// leaves the nice value the program was started with: an ordinary user could not have it back.
void RealtimeTest::askedOnlyWhereTheKernelRefuses() {
    QFETCH(bool, present);
    QFETCH(int, answer);
    QFETCH(int, scheduling);
    QDBusConnection mock = QDBusConnection::connectToBus(address_, QStringLiteral("mock"));
    QVERIFY(mock.isConnected());
    kit_.answer = static_cast<MockRealtimeKit::Answer>(answer);
    kit_.requests = 0;
    if (present) {
        QVERIFY(mock.registerObject(QStringLiteral("/org/freedesktop/RealtimeKit1"), &kit_,
                                    QDBusConnection::ExportAllSlots |
                                        QDBusConnection::ExportAllProperties));
        QVERIFY(mock.registerService(QStringLiteral("org.freedesktop.RealtimeKit1")));
    }
    const ChildReport report = runChild();
    if (present) {
        mock.unregisterService(QStringLiteral("org.freedesktop.RealtimeKit1"));
        mock.unregisterObject(QStringLiteral("/org/freedesktop/RealtimeKit1"));
    }
    if (scheduling == int(engine::Scheduling::ShortSlice) && !kernelGivesShortSlices())
        scheduling = int(engine::Scheduling::Ordinary);
    QCOMPARE(static_cast<int>(report.scheduling), scheduling);
    QCOMPARE(report.lowestNice, 5);
    QCOMPARE(kit_.requests, present ? 1 : 0);
    QVERIFY2(report.firstTickMs >= 0 && report.firstTickMs < 1000,
             qPrintable(QString::number(report.firstTickMs)));
    QVERIFY2(report.settledMs < 2500, qPrintable(QString::number(report.settledMs)));
}

int main(int argc, char* argv[]) {
    if (argc > 1 && QByteArray(argv[1]) == "--child")
        return reportScheduling(argc, argv);
    QCoreApplication application(argc, argv);
    RealtimeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_realtime.moc"
