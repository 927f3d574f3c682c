// Every board family end to end, each case once per family on a four-relay board of it
// (support/FamilyBoards): play and serve through tambrook-cli, MQTT through the real broker,
// the window offscreen, a board unplugged under serve and one that stops answering in a run.
// Runs under umockdev-wrapper for the hidraw boards; without it, their rows are skipped.
#include "support/Broker.h"
#include "support/Cli.h"
#include "support/FamilyBoards.h"
#include "support/Processes.h"
#include "support/WindowRig.h"

#include "devices/Environment.h"
#include "model/ProgramRows.h"
#include "ui/Colors.h"
#include "ui_TForm1.h"

#include <QSysInfo>
#include <QtTest>

#include <array>

namespace {

// The board of the row, or a skip.
#define EMULATED_BOARD(board)                                                                      \
    QFETCH(QString, family);                                                                       \
    const std::unique_ptr<EmulatedBoard> board = emulateBoard(family);                             \
    if (!board)                                                                                    \
        QSKIP("hidraw boards are emulated under umockdev-wrapper only");

// tambrook-cli on the real families, with the board's configuration.
class FamilyCli : public CliRig {
public:
    explicit FamilyCli(const EmulatedBoard& board) {
        environment().remove(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"));
        write("boards.conf", board.configuration().toUtf8());
    }
    ~FamilyCli() {
        serve.terminate();
        serve.waitForFinished(5000);
    }
    QProcess serve;
};

// The window over the real families, configured as tambrook-cli is.
struct FamilyWindow {
    explicit FamilyWindow(const EmulatedBoard& board) {
        QFile conf(folder.path(QStringLiteral("boards.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(board.configuration().toUtf8());
        conf.close();
        const std::string path = conf.fileName().toStdString();
        registry =
            devices::makeConfiguredRegistry(
                [&](const char* name) {
                    return name == std::string_view("TAMBROOK_BOARDS_CONF") ? path : std::string();
                },
                [](const std::string& warning) { qWarning("%s", warning.c_str()); }, {})
                .registry;
        window = std::make_unique<MainWindow>(*registry, platform);
        window->form.show();
    }
    Ui::TForm1& ui() const { return window->form.controls(); }
    // Relay n's button, 1 to 8.
    TButton* relayButton(int relay) const {
        const std::array<TButton*, 8> buttons{ui().Button2, ui().Button3, ui().Button1,
                                              ui().Button4, ui().Button5, ui().Button6,
                                              ui().Button7, ui().Button8};
        return buttons[static_cast<std::size_t>(relay - 1)];
    }

    const WorkingFolder folder;
    Log log;
    RecordingPlatform platform{log};
    std::unique_ptr<devices::Registry> registry;
    std::unique_ptr<MainWindow> window;
};

} // namespace

class FamiliesTest : public QObject {
    Q_OBJECT
private slots:
    void families_data();
    void playSwitchesTheBoard_data() { families_data(); }
    void playSwitchesTheBoard();
    void mqttReachesTheBoardAndAnnouncesItsRelaysOnly_data() { families_data(); }
    void mqttReachesTheBoardAndAnnouncesItsRelaysOnly();
    void serveSeesTheBoardGoAndComeBack_data() { families_data(); }
    void serveSeesTheBoardGoAndComeBack();
    void theWindowOffersOnlyTheBoardsRelays_data() { families_data(); }
    void theWindowOffersOnlyTheBoardsRelays();
    void aWedgedBoardStopsTheRunOnce_data() { families_data(); }
    void aWedgedBoardStopsTheRunOnce();
};

void FamiliesTest::families_data() {
    QTest::addColumn<QString>("family");
    for (const QString& family : emulatedFamilies())
        QTest::newRow(qPrintable(family)) << family;
}

void FamiliesTest::playSwitchesTheBoard() {
    EMULATED_BOARD(board);
    FamilyCli cli(*board);
    cli.write("p.txt", "10000000-1\r\n01000000-1\r\n00110000-1\r\n");
    const Result played = cli.run({"play", "p.txt", "--board", board->id(), "--resolution", "10"});
    QVERIFY2(played.status == 0, qPrintable(played.errLines.join(' ')));
    QCOMPARE(board->relays(), 0x0C);
    QCOMPARE(cli.allWrites(), (QStringList{"write 01 ok", "write 02 ok", "write 0c ok"}));
}

// A command on relay/N/set reaches the board; discovery and state speak of its four relays
// only, and of those only the relays known (a board that cannot read back knows what it was told).
void FamiliesTest::mqttReachesTheBoardAndAnnouncesItsRelaysOnly() {
    EMULATED_BOARD(board);
    if (!Broker::installedWithClients())
        QSKIP("the Mosquitto broker and clients are not installed");
    const Broker broker;
    FamilyCli cli(*board);
    const QString node = QSysInfo::machineHostName();
    LogOf log(cli.serve);
    cli.start(cli.serve,
              {"serve", "--board", board->id(), "--mqtt", broker.url(), "--mqtt-node", node});
    QVERIFY2(log.waitFor(QStringLiteral("connected ") + board->id()), qPrintable(log.text()));
    // A board named by its serial has topics of its own; others have them under this host's.
    const QString under = QStringLiteral("topics under ");
    const qsizetype at = log.text().indexOf(under) + under.size();
    const QString prefix = log.text().mid(at, log.text().indexOf('\n', at) - at) + '/';
    QStringList switches;
    for (const QString& message : broker.messages(QStringLiteral("homeassistant/switch/#")))
        if (message.contains(' ')) // an empty configuration takes a relay out
            switches << message.section(' ', 0, 0).section('/', 3, 3);
    switches.sort();
    QCOMPARE(switches, (QStringList{"relay1", "relay2", "relay3", "relay4"}));

    broker.publish(prefix + QStringLiteral("relay/2/set"), QStringLiteral("ON"));
    QTRY_COMPARE(board->relays(), 0x02);
    const bool readsBack = !family.startsWith(QLatin1String("lcus"));
    const QStringList known =
        readsBack ? QStringList{"relay/1 OFF", "relay/2 ON", "relay/3 OFF", "relay/4 OFF"}
                  : QStringList{"relay/2 ON"};
    const auto states = [&] {
        QStringList topics =
            broker.messages(prefix + QStringLiteral("relay/+")).replaceInStrings(prefix, QString());
        topics.sort();
        return topics;
    };
    QTRY_COMPARE(states(), known);
}

// Unplugged under serve, the board is logged gone once and served as not present; back, it is
// logged back and takes commands again. Network boards are always listed, so serve learns of
// one's going at the command that finds it gone.
void FamiliesTest::serveSeesTheBoardGoAndComeBack() {
    EMULATED_BOARD(board);
    FamilyCli cli(*board);
    LogOf log(cli.serve);
    cli.start(cli.serve, {"serve", "--board", board->id()});
    QVERIFY2(log.waitFor(QStringLiteral("opened ") + board->id()), qPrintable(log.text()));
    QCOMPARE(cli.run({"on", "1", "--board", board->id()}).status, 0);
    QCOMPARE(board->relays(), 0x01);

    board->unplug();
    if (family == QLatin1String("modbus tcp"))
        QCOMPARE(cli.run({"on", "2", "--board", board->id()}).status, 1);
    const QString gone = QStringLiteral("served as not present until it is back");
    QVERIFY2(log.waitFor(gone), qPrintable(log.text()));
    QCOMPARE(cli.run({"on", "2", "--board", board->id()}).status, 1);
    board->plugBack();
    QVERIFY2(log.waitFor(board->id() + QStringLiteral(" is back")), qPrintable(log.text()));
    QCOMPARE(log.text().count(gone), 1);
    const Result on = cli.run({"on", "2", "--board", board->id()});
    QVERIFY2(on.status == 0, qPrintable(on.errLines.join(' ')));
    QCOMPARE(board->relays(), 0x03);
}

// The absent relays' buttons, step buttons and lamps are disabled; a click reaches the board.
void FamiliesTest::theWindowOffersOnlyTheBoardsRelays() {
    EMULATED_BOARD(board);
    FamilyWindow window(*board);
    Ui::TForm1& ui = window.ui();
    QTest::mouseClick(ui.Button33, Qt::LeftButton);
    QCOMPARE(ui.Panel27->text(), QStringLiteral("Board found !"));
    const std::array<TPanel*, 8> lamps{ui.Panel10, ui.Panel9, ui.Panel8, ui.Panel7,
                                       ui.Panel6,  ui.Panel5, ui.Panel4, ui.Panel3};
    const std::array<TButton*, 8> steps{ui.Button18, ui.Button17, ui.Button16, ui.Button15,
                                        ui.Button14, ui.Button13, ui.Button12, ui.Button11};
    for (int relay = 1; relay <= 8; ++relay) {
        const auto at = static_cast<std::size_t>(relay - 1);
        QCOMPARE(lamps[at]->isEnabled(), relay <= 4);
        QCOMPARE(window.relayButton(relay)->isEnabled(), relay <= 4);
        QCOMPARE(steps[at]->isEnabled(), relay <= 4);
    }
    QTest::mouseClick(window.relayButton(3), Qt::LeftButton);
    QTRY_COMPARE(board->relays(), 0x04);
    QCOMPARE(ui.Panel8->color(), clLime);
    QVERIFY(window.platform.errors.isEmpty());
}

// A board that stops answering mid-run stops the run at the write it did not take, with one
// message; once it answers again, a click reaches it.
void FamiliesTest::aWedgedBoardStopsTheRunOnce() {
    EMULATED_BOARD(board);
    FamilyWindow window(*board);
    TForm1& form = window.window->form;
    form.Button33Click();
    form.act([&] { form.model().loadProgram(programRows({"00110000-1", "11000000-1"})); });
    window.ui().CheckBox1->setChecked(true); // Repeat
    form.Button34Click();                    // Start
    QTRY_VERIFY(board->relays() == 0x03);
    board->setWedged(true);
    QTRY_COMPARE_WITH_TIMEOUT(window.ui().Button34->caption(), QStringLiteral("Start"), 10000);
    QTRY_COMPARE(window.platform.errors.size(), 1);
    QCOMPARE(window.platform.errors.front(), QString::fromLatin1(model::kBoardStoppedAnswering));
    board->setWedged(false);
    // The click toggles relay 4 from what the window shows, and the board follows the window.
    const bool wasOn = form.model().snapshot()->relayByte & 0x08;
    QTest::mouseClick(window.relayButton(4), Qt::LeftButton);
    QCOMPARE(bool(form.model().snapshot()->relayByte & 0x08), !wasOn);
    QTRY_COMPARE(board->relays(), form.model().snapshot()->relayByte & 0x0F);
    QCOMPARE(window.platform.errors.size(), 1);
}

QTEST_MAIN(FamiliesTest)
#include "test_families.moc"
