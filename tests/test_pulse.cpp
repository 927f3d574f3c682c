// Pulses through every front end: tambrook-cli, the socket and the broker, on simulated boards
// whose trace tells each write.
#include "support/Broker.h"
#include "support/Cli.h"
#include "support/Processes.h"
#include "support/Sockets.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtTest>

#include <csignal>

#ifndef TAMBROOK_CLI
#error "TAMBROOK_CLI names the tambrook-cli binary"
#endif

namespace {

// A serve of board 1 and its socket, for as long as it lives.
class Served : public CliRig {
public:
    // With this boards.conf, if any; a pattern kept for on_start = last is kept in state/.
    explicit Served(const QByteArray& conf = {}, const QStringList& more = {},
                    const QString& faults = {})
        : CliRig(1, {}, faults) {
        if (!conf.isEmpty())
            write("boards.conf", conf);
        environment().insert("XDG_STATE_HOME", path("state"));
        start(serve, QStringList{"serve", "--board", "1"} + more);
    }
    ~Served() {
        serve.terminate();
        serve.waitForFinished(5000);
    }
    bool up() const { return QFile::exists(socket()); }
    QString socket() const { return path("run/tambrook/sim1.sock"); }
    QJsonObject ask(const QByteArray& line) const { return askSocket(socket(), line + '\n'); }
    QJsonObject pending() const {
        return ask(R"({"request":"state"})").value(QStringLiteral("pending")).toObject();
    }
    QProcess serve;
};

bool haveMosquittoClients() {
    return Broker::installed() && !QStandardPaths::findExecutable("mosquitto_pub").isEmpty();
}

void publish(const Broker& broker, const QString& topic, const QByteArray& payload) {
    QProcess pub;
    pub.start("mosquitto_pub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-t",
                                topic, payload.isEmpty() ? "-n" : "-s"});
    pub.write(payload);
    pub.closeWriteChannel();
    pub.waitForFinished(5000);
}

} // namespace

class PulseTest : public QObject {
    Q_OBJECT
private slots:
    void aHolderEndsThePulseItsClientLeft();
    void aWriteTakesOverAPulseAndTheHoldersEndEndsIt();
    void aPulseWithoutAHolderHoldsTheBoard();
    void aProgramsStepsPlayBeneathAPulse();
    void aSlowBoardGetsItsOffEdge();
    void aPulseFromTheBroker();
};

// The client asks and is killed; the holder's clock ends the pulse all the same.
void PulseTest::aHolderEndsThePulseItsClientLeft() {
    Served rig;
    QTRY_VERIFY(rig.up());
    const Result noLength = rig.run({"pulse", "3"});
    QCOMPARE(noLength.status, 2);
    QVERIFY2(noLength.errLines.join(' ').contains("--for"),
             qPrintable(noLength.errLines.join(' ')));
    QCOMPARE(rig.run({"pulse", "3", "--for", "5ms"}).status, 2);
    QCOMPARE(rig.ask(R"({"request":"pulse","relays":[3],"ms":1e300})").value("ok"),
             QJsonValue(false));
    QVERIFY(rig.writes().isEmpty());
    QProcess client;
    rig.startShell(client, "\"$CLI\" pulse 3 --for 4s && exec sleep 60");
    QTRY_COMPARE_WITH_TIMEOUT(rig.allWrites(), QStringList{"write 04 ok"}, 10000);
    QVERIFY(signalChild(client, SIGKILL));
    client.waitForFinished(5000);
    const int left = rig.pending().value("3").toInt(-1);
    QVERIFY2(left >= 0 && left <= 4000, qPrintable(QString::number(left)));
    QTRY_COMPARE_WITH_TIMEOUT(rig.allWrites(), (QStringList{"write 04 ok", "write 00 ok"}), 10000);
    QTRY_VERIFY(rig.pending().isEmpty());
}

// A cancelled off edge never comes: relay 4's would have, before relay 5's did. And serve that
// stops leaves no relay on that a pulse switched on, nor keeps a pulse's on for its next start.
void PulseTest::aWriteTakesOverAPulseAndTheHoldersEndEndsIt() {
    Served rig("[sim1]\non_start = last\n");
    QTRY_VERIFY(rig.up());
    QCOMPARE(rig.ask(R"({"request":"pulse","relays":[4],"ms":1500})").value("ok"),
             QJsonValue(true));
    QCOMPARE(rig.run({"off", "4"}).status, 0);
    QCOMPARE(rig.run({"on", "4"}).status, 0);
    QVERIFY(rig.pending().isEmpty());
    QCOMPARE(rig.ask(R"({"request":"pulse","relays":[5],"ms":3000})").value("ok"),
             QJsonValue(true));
    QTRY_VERIFY_WITH_TIMEOUT(rig.pending().isEmpty(), 15000);
    QCOMPARE(rig.writes(), (QStringList{"write 08 ok", "write 00 ok", "write 08 ok", "write 18 ok",
                                        "write 08 ok"}));
    QCOMPARE(rig.ask(R"({"request":"pulse","relays":[2],"ms":86400000})").value("ok"),
             QJsonValue(true));
    rig.serve.terminate();
    QVERIFY(rig.serve.waitForFinished(5000));
    QCOMPARE(rig.writes(), (QStringList{"write 0a ok", "write 08 ok"}));
    QFile last(rig.path("state/tambrook/sim1.last"));
    QVERIFY(last.open(QIODevice::ReadOnly));
    QCOMPARE(last.readAll(), QByteArray("00010000\n"));
}

// Without a holder, pulse holds the board until the pulse has ended, or a signal ends it.
void PulseTest::aPulseWithoutAHolderHoldsTheBoard() {
    CliRig rig;
    rig.write("boards.conf", "[sim1]\nrelay1.pulse = 200ms\nrelay2.pulse = 300ms\n");
    QCOMPARE(rig.run({"pulse", "1", "2"}).status, 0);
    QCOMPARE(rig.allWrites(), (QStringList{"write 03 ok", "write 02 ok", "write 00 ok"}));
    QProcess pulse;
    rig.start(pulse, {"pulse", "6", "--for", "10min"});
    QTRY_COMPARE_WITH_TIMEOUT(rig.allWrites().size(), 4, 10000);
    QCOMPARE(rig.allWrites().back(), QStringLiteral("write 20 ok"));
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    QVERIFY(askSocket(rig.path("run/tambrook/sim1.sock"), "{\"request\":\"state\"}\n")
                .value("pending")
                .toObject()
                .contains("6"));
    QVERIFY(signalChild(pulse, SIGINT));
    QVERIFY(pulse.waitForFinished(5000));
    QCOMPARE(pulse.exitCode(), 0);
    QCOMPARE(rig.allWrites().mid(3), (QStringList{"write 20 ok", "write 00 ok"}));
}

// Relay 1 steps on and off under a running program while relay 2 is pulsed: relay 2 stays on
// through the steps, which go on meanwhile, and after its off edge the program's steps stand.
void PulseTest::aProgramsStepsPlayBeneathAPulse() {
    Served rig;
    QTRY_VERIFY(rig.up());
    QCOMPARE(rig.ask(R"({"request":"play","program":"10000000-3\r\n00000000-3\r\n",)"
                     R"("resolution":10,"repeat":true})")
                 .value("ok"),
             QJsonValue(true));
    QCOMPARE(rig.ask(R"({"request":"pulse","relays":[2],"ms":600})").value("ok"), QJsonValue(true));
    const auto pulsed = [](const QString& write) {
        return write == "write 02 ok" || write == "write 03 ok";
    };
    QStringList writes;
    const auto stepsSinceThePulse = [&] {
        writes += rig.writes();
        const auto last = std::find_if(writes.rbegin(), writes.rend(), pulsed);
        return last == writes.rend() ? 0 : last - writes.rbegin();
    };
    QTRY_VERIFY_WITH_TIMEOUT(rig.pending().isEmpty() && stepsSinceThePulse() >= 4, 15000);
    const qsizetype first = std::find_if(writes.begin(), writes.end(), pulsed) - writes.begin();
    qsizetype end = first;
    while (end < writes.size() && pulsed(writes[end]))
        ++end;
    const QStringList during = writes.mid(first, end - first);
    QVERIFY2(during.contains("write 03 ok") && during.contains("write 02 ok"),
             qPrintable(writes.join(", ")));
    QVERIFY2(std::none_of(writes.begin() + end, writes.end(), pulsed),
             qPrintable(writes.join(", ")));
    QVERIFY2(writes.mid(end).contains("write 01 ok"), qPrintable(writes.join(", ")));
}

// Each call on the board takes 20 ms: the pulse's edges are its writes all the same, and the holder
// answers meanwhile.
void PulseTest::aSlowBoardGetsItsOffEdge() {
    Served rig({}, {}, "latency=20");
    QTRY_VERIFY(rig.up());
    QCOMPARE(rig.ask(R"({"request":"pulse","relays":[2,7],"ms":100})").value("ok"),
             QJsonValue(true));
    QTRY_COMPARE_WITH_TIMEOUT(rig.allWrites(), (QStringList{"write 42 ok", "write 00 ok"}), 10000);
    QTRY_VERIFY(rig.pending().isEmpty());
}

// Relay 3 has a pulse length of its own, and a button in Home Assistant that pulses it; relay 4
// has neither.
void PulseTest::aPulseFromTheBroker() {
    if (!haveMosquittoClients())
        QSKIP("no Mosquitto broker or clients");
    Broker broker;
    Served rig("[sim1]\nrelay3.pulse = 200ms\nrelay3.name = Gate\n",
               {"--mqtt", broker.url(), "--mqtt-node", "node"});
    LogOf log(rig.serve);
    QTRY_VERIFY_WITH_TIMEOUT(log.has("connected sim1"), 10000);
    QProcess sub;
    sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-t",
                                "homeassistant/button/+/+/config", "-v", "-W", "2"});
    sub.waitForFinished(10000);
    const QStringList buttons = QString::fromUtf8(sub.readAllStandardOutput()).split('\n');
    QCOMPARE(buttons.filter("_pulse/config").size(), 1);
    const QString button = buttons.filter("relay3_pulse/config").value(0);
    QVERIFY2(button.contains(R"("command_topic":"tambrook/sim1@node/relay/3/pulse")") &&
                 button.contains(R"("payload_press":"200")") && button.contains("Pulse Gate"),
             qPrintable(button));
    const QString topic = QStringLiteral("tambrook/sim1@node/relay/%1/pulse");
    publish(broker, topic.arg(3), "5");
    publish(broker, topic.arg(4), "");
    QTRY_VERIFY_WITH_TIMEOUT(log.has("relay 4 has no pulse length"), 10000);
    QVERIFY(log.has("\"5\" is not a pulse length"));
    publish(broker, topic.arg(3), "");
    QTRY_COMPARE_WITH_TIMEOUT(rig.allWrites(), (QStringList{"write 04 ok", "write 00 ok"}), 10000);
    publish(broker, topic.arg(4), "300");
    QTRY_COMPARE_WITH_TIMEOUT(rig.allWrites().mid(2), (QStringList{"write 08 ok", "write 00 ok"}),
                              10000);
}

QTEST_GUILESS_MAIN(PulseTest)
#include "test_pulse.moc"
