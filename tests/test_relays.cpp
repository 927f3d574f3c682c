// Boards with fewer than eight relays and boards that cannot read back, through every front end:
// simulated four-relay boards, driven by tambrook-cli, its holder's socket, the real broker and
// the window.
#include "support/Broker.h"
#include "support/Cli.h"
#include "support/Files.h"
#include "support/Processes.h"
#include "support/Sockets.h"
#include "support/WindowRig.h"

#include "devices/sim/SimulatedFamily.h"
#include "ui/Colors.h"
#include "ui_TForm1.h"

#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QtTest>

#include <array>
#include <memory>

namespace {

// tambrook-cli on one simulated board of four relays, one that reads back or not.
class FourRelays : public CliRig {
public:
    explicit FourRelays(bool readsBack) {
        environment().insert(QStringLiteral("TAMBROOK_SIMULATED_RELAYS"), QStringLiteral("4"));
        environment().insert(QStringLiteral("TAMBROOK_SIMULATED_READBACK"),
                             readsBack ? QStringLiteral("1") : QStringLiteral("0"));
    }
    ~FourRelays() {
        serve.terminate();
        serve.waitForFinished(5000);
    }
    QString socket() const { return path("run/tambrook/sim1.sock"); }
    QJsonObject ask(const QByteArray& line) const { return askSocket(socket(), line + '\n'); }
    QString errors(const Result& result) const { return result.errLines.join(' '); }

    QProcess serve;
};

} // namespace

class RelaysTest : public QObject {
    Q_OBJECT
private slots:
    void namingARelayTheBoardLacksIsRefusedAndWritesNothing();
    void anUnknownStateIsNeitherReadNorAdopted();
    void theHolderTellsWhichRelaysAreKnown();
    void mqttAnnouncesOnlyTheBoardsRelaysAndOnlyKnownStates();
    void theWindowDisablesAbsentRelaysAndLeavesUnknownLampsUncoloured();
};

void RelaysTest::namingARelayTheBoardLacksIsRefusedAndWritesNothing() {
    FourRelays rig(true);
    for (const QStringList& command :
         {QStringList{"on", "6"}, QStringList{"off", "2", "5"}, QStringList{"set", "11111000"}}) {
        const Result refused = rig.run(command);
        QCOMPARE(refused.status, 2);
        QVERIFY2(rig.errors(refused).contains(QStringLiteral("has 4 relays")),
                 qPrintable(rig.errors(refused)));
    }
    QCOMPARE(rig.writes(), QStringList());
    QCOMPARE(rig.run({"set", "10110000"}).status, 0); // zeros for the absent relays are fine
    QCOMPARE(rig.writes(), QStringList{"write 0d ok"});
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("10110000\n"));

    // A program is refused at load, with the line that switches an absent relay.
    QVERIFY(writeFile(rig.path("program.txt"), "10000000-1\r\n00000100-1\r\n"));
    const Result play = rig.run({"play", rig.path("program.txt")});
    QCOMPARE(play.status, 2);
    QVERIFY2(rig.errors(play).contains(QStringLiteral("line 2")) &&
                 rig.errors(play).contains(QStringLiteral("relay 6")),
             qPrintable(rig.errors(play)));
    QCOMPARE(rig.writes(), QStringList());

    // The same through the board's holder: refused before it is asked, or by it.
    rig.start(rig.serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.socket()));
    QCOMPARE(rig.run({"on", "7"}).status, 2);
    QCOMPARE(rig.run({"play", rig.path("program.txt")}).status, 2);
    for (const QByteArray& line :
         {QByteArray(R"({"request":"on","relays":[5]})"),
          QByteArray(R"({"request":"set","relays":"00001000"})"),
          QByteArray(R"({"request":"play","program":"00000000-1\r\n00000001-1\r\n"})")}) {
        const QJsonObject reply = rig.ask(line);
        QCOMPARE(reply.value(QStringLiteral("ok")), QJsonValue(false));
        QVERIFY(reply.value(QStringLiteral("error")).toString().contains(QStringLiteral("relay")));
    }
    QVERIFY(rig.ask(R"({"request":"play","program":"00000000-1\r\n00000001-1\r\n"})")
                .value(QStringLiteral("error"))
                .toString()
                .startsWith(QStringLiteral("line 2")));
    QCOMPARE(rig.writes(), QStringList());
    const QJsonObject state = rig.ask(R"({"request":"state"})");
    QCOMPARE(state.value(QStringLiteral("relays")).toString(), QStringLiteral("10110000"));
    QCOMPARE(state.value(QStringLiteral("relayCount")).toInt(), 4);
}

// A process that opens the board itself knows none of it: get says so, and on 3 writes relay 3
// only, which leaves what the others latched alone.
void RelaysTest::anUnknownStateIsNeitherReadNorAdopted() {
    FourRelays rig(false);
    rig.write("board.state", "09\n"); // relays 1 and 4 latched on from before
    const Result get = rig.run({"get"});
    QCOMPARE(get.status, 1);
    QCOMPARE(get.out, QString());
    QVERIFY2(rig.errors(get).contains(QStringLiteral("relays 1, 2, 3 and 4 are unknown until set")),
             qPrintable(rig.errors(get)));
    QCOMPARE(rig.run({"on", "3"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 04 only 04 ok"});
    QCOMPARE(readFile(rig.path("board.state")), QByteArray("0d\n"));
    QCOMPARE(rig.run({"set", "01000000"}).status, 0); // a whole pattern is every relay
    QCOMPARE(rig.writes(), QStringList{"write 02 ok"});
}

void RelaysTest::theHolderTellsWhichRelaysAreKnown() {
    FourRelays rig(false);
    rig.write("board.state", "01\n");
    rig.start(rig.serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.socket()));
    QCOMPARE(rig.writes(), QStringList()); // opening wrote nothing
    QJsonObject state = rig.ask(R"({"request":"state"})");
    QCOMPARE(state.value(QStringLiteral("relays")), QJsonValue(QJsonValue::Null));
    QCOMPARE(state.value(QStringLiteral("known")).toString(), QStringLiteral("????0000"));
    const QJsonObject toggle = rig.ask(R"({"request":"toggle","relays":[2]})");
    QCOMPARE(toggle.value(QStringLiteral("ok")), QJsonValue(false));

    QCOMPARE(rig.run({"on", "3"}).status, 0);
    QCOMPARE(rig.run({"off", "1"}).status, 0);
    QCOMPARE(rig.writes(), (QStringList{"write 04 only 04 ok", "write 04 only 01 ok"}));
    state = rig.ask(R"({"request":"state"})");
    QCOMPARE(state.value(QStringLiteral("relays")), QJsonValue(QJsonValue::Null));
    QCOMPARE(state.value(QStringLiteral("known")).toString(), QStringLiteral("0?1?0000"));
    const Result get = rig.run({"get"});
    QCOMPARE(get.status, 1);
    QVERIFY2(rig.errors(get).contains(QStringLiteral("relays 2 and 4 are unknown until set")),
             qPrintable(rig.errors(get)));
    QCOMPARE(rig.run({"on", "2", "4"}).status, 0);
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("01110000\n"));
    QVERIFY(!rig.ask(R"({"request":"state"})").contains(QStringLiteral("known")));
}

void RelaysTest::mqttAnnouncesOnlyTheBoardsRelaysAndOnlyKnownStates() {
    if (!Broker::installedWithClients())
        QSKIP("the Mosquitto broker and clients are not installed");
    Broker broker;
    FourRelays rig(false);
    const QString node = QSysInfo::machineHostName();
    const QString prefix = QStringLiteral("tambrook/sim1@%1/").arg(node);
    LogOf log(rig.serve);
    rig.start(rig.serve, {"serve", "--board", "1", "--mqtt", broker.url(), "--mqtt-node", node});
    QVERIFY(log.waitFor(QStringLiteral("connected sim1")));
    QStringList switches;
    for (const QString& message : broker.messages(QStringLiteral("homeassistant/switch/#")))
        if (message.contains(' ')) // an empty configuration takes a relay out
            switches << message.section(' ', 0, 0).section('/', 3, 3);
    switches.sort();
    QCOMPARE(switches, (QStringList{"relay1", "relay2", "relay3", "relay4"}));
    QVERIFY(broker.messages(QStringLiteral("homeassistant/switch/+/relay1/config"), 1)
                .join(' ')
                .contains(QStringLiteral("Four-relay")));
    QCOMPARE(broker.messages(prefix + QStringLiteral("relay/+")), QStringList());
    QCOMPARE(broker.messages(prefix + QStringLiteral("state")), QStringList());

    broker.publish(prefix + "relay/3/set", "ON");
    broker.publish(prefix + "relay/6/set", "ON");
    QTRY_COMPARE(rig.allWrites(), QStringList{"write 04 only 04 ok"});
    QTRY_COMPARE(broker.messages(prefix + QStringLiteral("relay/+")),
                 QStringList{prefix + QStringLiteral("relay/3 ON")});
    QVERIFY(log.waitFor(QStringLiteral("relay 6 is not on this board")));
    QCOMPARE(broker.messages(prefix + QStringLiteral("state")), QStringList());
    QCOMPARE(rig.allWrites(), QStringList{"write 04 only 04 ok"});
}

void RelaysTest::theWindowDisablesAbsentRelaysAndLeavesUnknownLampsUncoloured() {
    const WorkingFolder folder;
    devices::sim::SimulatedOptions options;
    options.relays = 4;
    options.readsBack = false;
    auto family = std::make_unique<devices::sim::SimulatedFamily>(options);
    devices::sim::SimulatedFamily& board = *family;
    board.setRelays(0, 0x05);
    devices::Registry registry(familyList(std::move(family)));
    Log log;
    RecordingPlatform platform(log);
    MainWindow window(registry, platform);
    TForm1& form = window.form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    Ui::TForm1& ui = form.controls();
    QTest::mouseClick(ui.Button33, Qt::LeftButton);
    QCOMPARE(ui.Panel27->text(), QStringLiteral("Board found !"));
    QCOMPARE(board.relays(0), 0x05); // nothing written, nothing adopted
    // Relays 1 to 4 (Button2, Button3, Button1, Button4), then 5 to 8.
    const std::array<TPanel*, 8> lamps{ui.Panel10, ui.Panel9, ui.Panel8, ui.Panel7,
                                       ui.Panel6,  ui.Panel5, ui.Panel4, ui.Panel3};
    const std::array<TButton*, 8> buttons{ui.Button2, ui.Button3, ui.Button1, ui.Button4,
                                          ui.Button5, ui.Button6, ui.Button7, ui.Button8};
    const std::array<TButton*, 8> steps{ui.Button18, ui.Button17, ui.Button16, ui.Button15,
                                        ui.Button14, ui.Button13, ui.Button12, ui.Button11};
    for (std::size_t relay = 0; relay < 8; ++relay) {
        const bool present = relay < 4;
        QCOMPARE(lamps[relay]->isEnabled(), present);
        QCOMPARE(buttons[relay]->isEnabled(), present);
        QCOMPARE(steps[relay]->isEnabled(), present);
        QCOMPARE(lamps[relay]->color(), clBtnFace); // unknown, or not there
    }
    // A click switches relay 1 and writes what the window shows, so every relay is known then.
    QTest::mouseClick(ui.Button2, Qt::LeftButton);
    QTRY_COMPARE(ui.Panel10->color(), clLime);
    QCOMPARE(ui.Panel9->color(), clRed);
    QCOMPARE(ui.Panel6->color(), clBtnFace);
    QCOMPARE(board.relays(0), 0x01);
    // A program that switches relay 5 is refused when it is opened, with its line.
    QVERIFY(writeFile(folder.path(QStringLiteral("five.txt")), "10000000-1\r\n00001000-1\r\n"));
    platform.nextOpenName = folder.path(QStringLiteral("five.txt"));
    form.Button19Click(); // "Open File"
    QCOMPARE(platform.errors.size(), 1);
    QVERIFY2(platform.errors.front().contains(QStringLiteral("Line 2")),
             qPrintable(platform.errors.front()));
}

QTEST_MAIN(RelaysTest)
#include "test_relays.moc"
