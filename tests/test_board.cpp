// Board discovery, opening and the port operations, checked through the exact driver traffic;
// the simulated boards, the decorators that trace and fault any family, and the registry that
// lists every family's boards.
#include "support/WindowRig.h"

#include "devices/Environment.h"
#include "devices/sim/SimulatedFamily.h"
#include "devices/testing/Faults.h"
#include "devices/testing/Tracing.h"
#include "ui/BoardList.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <map>
#include <sys/stat.h>
#include <thread>

using namespace std::string_literals;

namespace {

using devices::Failure;
using devices::Family;
using devices::Registry;
using devices::RelayDevice;
using devices::sim::SimulatedFamily;
using devices::sim::SimulatedOptions;
using devices::testing::FaultyFamily;
using devices::testing::TracingFamily;

bool failsAs(const devices::Result<void>& result, Failure::Kind kind) {
    return !result && result.failure().kind == kind;
}

} // namespace

class BoardTest : public QObject {
    Q_OBJECT
private slots:
    void boardListEntriesKeepTheirBlanks();
    void dropDownRebuildsTheListAndLeavesAnOpenBoardAlone();
    void openMirrorsThePinsWithoutWriting_data();
    void openMirrorsThePinsWithoutWriting();
    void failedOpenOnlyReportsNotFound();
    void failedOpenKeepsTheBoardOpenedBefore();
    void openUsesTheSelectedEntry();
    void lostBoardTurnsTheStatusPanelRed();
    void simulatedBoardLatchesTracesAndKeepsState();
    void simulatedFaultsUnplugAndFail();
    void simulatedBoardsArePulledOutAndPutBack();
    void aWedgedBoardHoldsUpOnlyItself();
    void simulatedStateFileIsReplacedWhole();
    void environmentChoosesTheFamilies_data();
    void environmentChoosesTheFamilies();
    void simulatedBoardsBesideTheRealFamilies_data();
    void simulatedBoardsBesideTheRealFamilies();
    void unusableSimulatedSettingsWarnOnce();
    void familiesShareOneListAndOneIdRule();
    void openCheckedRefusesABoardThatTookTheOthersPlace();
    void noFamilyGivesADeviceThatFailsEveryCall();
};

void BoardTest::boardListEntriesKeepTheirBlanks() {
    using boardlist::entries;
    QVERIFY(entries(0).empty());
    QCOMPARE(entries(1), (std::vector<std::string>{"Relay Board 1"}));
    QCOMPARE(entries(2), (std::vector<std::string>{"Relay Board 1 ", "Relay Board 2 "}));
    const std::vector<std::string> twelve = entries(12);
    QCOMPARE(twelve[8], "Relay Board 9 "s);
    QCOMPARE(twelve[9], "Relay Board 10"s);
    QCOMPARE(twelve[11], "Relay Board 12"s);
    const std::vector<std::string> many = entries(1001);
    QCOMPARE(many[998], "Relay Board 999"s);
    QCOMPARE(many[999], "Relay Board   "s);
    QCOMPARE(many[1000], "Relay Board   "s);
    QCOMPARE(boardlist::text(0), "No Boards Found"s);
    QCOMPARE(boardlist::text(7), "Relay Board 1"s);
}

void BoardTest::dropDownRebuildsTheListAndLeavesAnOpenBoardAlone() {
    Rig rig(2);
    auto* list = rig.control<TComboBox>("ComboBox1");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->itemText(0), QStringLiteral("Relay Board 1 "));
    QCOMPARE(list->currentText(), QStringLiteral("Relay Board 1"));
    rig.openBoard(0);
    const devices::ftdi::Handle handle = rig.boardHandle();
    rig.driver.devices = 1;
    rig.form1->ComboBox1DropDown();
    QCOMPARE(rig.take(), (Log{"count 1"}));
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->itemText(0), QStringLiteral("Relay Board 1"));
    QCOMPARE(rig.boardHandle(), handle);
    QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board found !"));
    rig.driver.devices = 0;
    rig.form1->ComboBox1DropDown();
    QCOMPARE(list->count(), 0);
    QCOMPARE(list->currentText(), QStringLiteral("No Boards Found"));
    QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board not found !"));
    QCOMPARE(rig.boardHandle(), handle);
}

void BoardTest::openMirrorsThePinsWithoutWriting_data() {
    QTest::addColumn<int>("pins");
    QTest::addColumn<QString>("row");
    QTest::newRow("0x01") << 0x01 << "10000000-0";
    QTest::newRow("0x80") << 0x80 << "00000001-0";
    QTest::newRow("0x03") << 0x03 << "11000000-0";
}

void BoardTest::openMirrorsThePinsWithoutWriting() {
    QFETCH(int, pins);
    QFETCH(QString, row);
    Rig rig(1);
    rig.take();
    rig.driver.pins = static_cast<std::uint8_t>(pins);
    rig.form1->Button33Click();
    QCOMPARE(rig.take(),
             (Log{"open 0", "setbitmode ff 1", "setrate 115200", "read", "read", "read", "read"}));
    verifyRelayViews(rig, static_cast<std::uint8_t>(pins));
    verifyStepButtons(rig, static_cast<std::uint8_t>(pins));
    QCOMPARE(rig.grid().cell(0), row);
    QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board found !"));
    QCOMPARE(rig.control<TPanel>("Panel27")->color(), clLime);
}

void BoardTest::failedOpenOnlyReportsNotFound() {
    Rig rig(1);
    rig.take();
    rig.driver.openSucceeds = false;
    rig.form1->Button33Click();
    QCOMPARE(rig.take(), (Log{"open 0"}));
    QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board not found !"));
    QCOMPARE(rig.form1->lamp(1).color(), clBtnFace);
}

// A board that is open already cannot be opened twice; opening it once more keeps it, set up
// again and its pins adopted as if it had just been opened.
void BoardTest::failedOpenKeepsTheBoardOpenedBefore() {
    Rig rig(1);
    rig.openBoard(0x05);
    rig.driver.openSucceeds = false;
    rig.form1->Button33Click();
    QCOMPARE(rig.take(),
             (Log{"open 0", "setbitmode ff 1", "setrate 115200", "read", "read", "read", "read"}));
    QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board found !"));
    verifyRelayViews(rig, 0x05);
    rig.form1->RelayButtonClick(1);
    QCOMPARE(rig.driver.writes.back(), 0x04);
}

void BoardTest::openUsesTheSelectedEntry() {
    Rig rig(3);
    rig.take();
    rig.control<TComboBox>("ComboBox1")->setCurrentIndex(1);
    rig.form1->Button33Click();
    QCOMPARE(rig.take().front(), "open 1"s);
}

void BoardTest::lostBoardTurnsTheStatusPanelRed() {
    {
        Rig rig(1);
        rig.openBoard(0);
        rig.driver.writesFail = true;
        rig.form1->Button9Click();
        QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board not found !"));
        QCOMPARE(rig.control<TPanel>("Panel27")->color(), clRed);
        QVERIFY(rig.platform.errors.isEmpty()); // no message box
    }
    {
        Rig rig(1);
        rig.openBoard(0);
        rig.driver.readsFail = true; // writes still work
        rig.form1->RelayButtonClick(1);
        QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board not found !"));
        // Opening again, with the board answering, reports it found again.
        rig.driver.readsFail = false;
        rig.form1->Button33Click();
        QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board found !"));
        // A board whose reads fail while it is being opened is not reported as found.
        rig.driver.readsFail = true;
        rig.form1->Button33Click();
        QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board not found !"));
    }
    {
        Rig rig(0); // no board ever opened: failures are not looked at
        rig.form1->RelayButtonClick(1);
        QCOMPARE(rig.control<TPanel>("Panel27")->text(), QStringLiteral("Board not found !"));
        QCOMPARE(rig.control<TPanel>("Panel27")->color(), clRed);
    }
}

void BoardTest::simulatedBoardLatchesTracesAndKeepsState() {
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("board.state"));
    const QString trace = dir.filePath(QStringLiteral("board.trace"));
    {
        TracingFamily family(simulatedBoards(2, state.toStdString()), trace.toStdString(), {});
        QCOMPARE(family.enumerate().size(), std::size_t{2});
        const std::unique_ptr<RelayDevice> unopened = family.unopened();
        QVERIFY(failsAs(unopened->writeRelays(0x01), Failure::Kind::NotOpen));
        QVERIFY(!unopened->readRelays());
        const std::unique_ptr<RelayDevice> board = family.open(0);
        QVERIFY(board->isOpen());
        QCOMPARE(board->info().name, "sim1"s);
        QVERIFY(board->writeRelays(0x01));
        const devices::Result<std::uint8_t> read = board->readRelays();
        QVERIFY(read);
        QCOMPARE(read.value(), 0x01);
        QVERIFY(board->close());
        QVERIFY(!board->readRelays());
    }
    QFile stateFile(state);
    QVERIFY(stateFile.open(QIODevice::ReadOnly));
    QCOMPARE(stateFile.readAll(), QByteArray("01\n"));
    QFile traceFile(trace);
    QVERIFY(traceFile.open(QIODevice::ReadOnly));
    QStringList ops;
    for (const QByteArray& line : traceFile.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(' ');
        bool isNumber = false;
        fields.front().toLongLong(&isNumber);
        QVERIFY2(isNumber, line.constData());
        ops << QString::fromLatin1(line.mid(line.indexOf(' ') + 1));
    }
    QCOMPARE(ops, (QStringList{"count 2 ok", "write 01 fail", "read fail", "open 0 ok",
                               "write 01 ok", "read 01 ok", "close ok", "read fail"}));
    // A new run adopts the relays the last one left.
    QCOMPARE(simulatedBoards(1, state.toStdString())->relays(0), 0x01);
}

void BoardTest::simulatedFaultsUnplugAndFail() {
    const devices::testing::Faults faults =
        devices::testing::parseFaults("fail-reads,unplug-after=3,bogus");
    QVERIFY(faults.failReads);
    QVERIFY(!faults.failWrites);
    QCOMPARE(*faults.unplugAfterCalls, 3u);
    QCOMPARE(faults.unknown, (std::vector<std::string>{"bogus"}));
    FaultyFamily family(simulatedBoards(1), devices::testing::parseFaults("unplug-after=3"));
    QCOMPARE(family.enumerate().size(), std::size_t{1});
    const std::unique_ptr<RelayDevice> board = family.open(0);
    QVERIFY(board->isOpen());
    QVERIFY(board->readRelays());
    const devices::Result<std::uint8_t> unplugged = board->readRelays(); // fourth call
    QVERIFY(!unplugged);
    QCOMPARE(unplugged.failure().kind, Failure::Kind::Gone);
    QVERIFY(family.enumerate().empty());
}

// A board named in the unplugged file leaves the bus: the others move up, its device dies and it
// comes back with its relays off, to be opened again.
void BoardTest::simulatedBoardsArePulledOutAndPutBack() {
    QTemporaryDir dir;
    const QString unplugged = dir.filePath(QStringLiteral("unplugged"));
    devices::testing::Faults faults;
    faults.unpluggedFile = unplugged.toStdString();
    FaultyFamily family(simulatedBoards(3), faults);
    QCOMPARE(family.enumerate().size(), std::size_t{3});
    const std::unique_ptr<RelayDevice> second = family.open(1);
    QVERIFY(second->writeRelays(0x0F));
    QVERIFY(writeFile(unplugged, "2\n"));
    QVERIFY(failsAs(second->writeRelays(0x0F), Failure::Kind::Gone));
    std::vector<devices::DeviceInfo> found = family.enumerate();
    QCOMPARE(found.size(), std::size_t{2});
    QCOMPARE(found[1].name, "sim3"s);
    QVERIFY(writeFile(unplugged, ""));
    found = family.enumerate();
    QCOMPARE(found.size(), std::size_t{3});
    QCOMPARE(found[1].name, "sim2"s);
    QVERIFY(!second->writeRelays(0x0F)); // the old device is dead
    const std::unique_ptr<RelayDevice> again = family.open(1);
    const devices::Result<std::uint8_t> relays = again->readRelays();
    QVERIFY(relays);
    QCOMPARE(relays.value(), 0x00);
}

// A board named in the wedged file hangs on every call and fails it, while another board's calls
// go through at once, from another thread; when it answers again, so does its device.
void BoardTest::aWedgedBoardHoldsUpOnlyItself() {
    QTemporaryDir dir;
    const QString wedgedFile = dir.filePath(QStringLiteral("wedged"));
    devices::testing::Faults faults;
    faults.wedgedFile = wedgedFile.toStdString();
    std::unique_ptr<SimulatedFamily> owned = simulatedBoards(2);
    SimulatedFamily& boards = *owned;
    FaultyFamily family(std::move(owned), faults);
    QCOMPARE(family.enumerate().size(), std::size_t{2});
    const std::unique_ptr<RelayDevice> first = family.open(0);
    const std::unique_ptr<RelayDevice> second = family.open(1);
    QVERIFY(writeFile(wedgedFile, "2\n"));
    std::atomic<bool> wedgedCallDone{false};
    std::optional<Failure::Kind> wedgedFailure;
    std::thread hanging([&] {
        const devices::Result<void> written = second->writeRelays(0xF0);
        if (!written)
            wedgedFailure = written.failure().kind;
        wedgedCallDone = true;
    });
    QThread::msleep(50); // well inside the wedged call's 300 ms
    QVERIFY(first->writeRelays(0x0F));
    const std::size_t count = family.enumerate().size();
    const bool answeredMeanwhile = !wedgedCallDone;
    hanging.join();
    QVERIFY(answeredMeanwhile);
    QCOMPARE(count, std::size_t{2}); // still on the bus
    QCOMPARE(wedgedFailure, std::optional(Failure::Kind::NoAnswer));
    QCOMPARE(boards.relays(1), 0x00);
    QCOMPARE(boards.relays(0), 0x0F);
    QVERIFY(writeFile(wedgedFile, ""));
    QVERIFY(second->writeRelays(0x0F));
    QCOMPARE(boards.relays(1), 0x0F);
}

namespace {

struct Environment {
    std::map<std::string, std::string> values;
    QStringList warnings;
    std::unique_ptr<Registry> make() {
        return devices::makeRegistryFromEnvironment(
            [this](const char* name) { return values.count(name) ? values.at(name) : ""; },
            [this](const std::string& text) { warnings << QString::fromStdString(text); });
    }
};

} // namespace

void BoardTest::environmentChoosesTheFamilies_data() {
    QTest::addColumn<QString>("boards");
    QTest::addColumn<uint>("count");
    QTest::addColumn<int>("warnings");
    QTest::newRow("three") << "3" << 3u << 0;
    QTest::newRow("zero") << "0" << 0u << 0;
    QTest::newRow("leading zeros") << "007" << 7u << 0;
    QTest::newRow("the most") << "1000" << 1000u << 0;
    QTest::newRow("negative wraps no more") << "-1" << 0u << 1;
    QTest::newRow("not a number") << "two" << 0u << 1;
    QTest::newRow("trailing junk") << "3x" << 0u << 1;
    QTest::newRow("too many") << "1001" << 1000u << 1;
    QTest::newRow("far too many") << "99999999999999999999" << 1000u << 1;
}

// Simulated boards come alone, so that a test never reaches a real board; without them, the real
// families. The trace and the faults wrap whichever families those are, the trace outermost.
void BoardTest::environmentChoosesTheFamilies() {
    QFETCH(QString, boards);
    QFETCH(uint, count);
    QFETCH(int, warnings);
    Environment environment;
    environment.values["TAMBROOK_SIMULATED_BOARDS"] = boards.toStdString();
    const std::unique_ptr<Registry> simulated = environment.make();
    QCOMPARE(simulated->families().size(), std::size_t{1});
    QVERIFY(dynamic_cast<SimulatedFamily*>(simulated->families().front().get()));
    QCOMPARE(simulated->enumerate().size(), std::size_t{count});
    QCOMPARE(environment.warnings.size(), warnings);

    Environment real;
    const std::unique_ptr<Registry> plain = real.make();
    QVERIFY(!plain->families().empty()); // the FTDI boards first, the other real families after
    QVERIFY(dynamic_cast<devices::ftdi::FtdiFamily*>(plain->families().front().get()));
    const auto watchesUsb = [](const std::vector<std::string>& subsystems) {
        return std::find(subsystems.begin(), subsystems.end(), "usb") != subsystems.end();
    };
    QVERIFY(watchesUsb(plain->udevSubsystems()));
    real.values = {{"TAMBROOK_SIMULATED_FAULTS", "latency=1"},
                   {"TAMBROOK_SIMULATED_TRACE", "/nonexistent-folder/trace"}};
    const std::unique_ptr<Registry> decorated = real.make();
    QVERIFY(dynamic_cast<TracingFamily*>(decorated->families().front().get()));
    QCOMPARE(decorated->udevSubsystems(), plain->udevSubsystems());
}

void BoardTest::simulatedBoardsBesideTheRealFamilies_data() {
    QTest::addColumn<QString>("beside");
    QTest::addColumn<QString>("boardsConf");
    QTest::addColumn<bool>("real");
    QTest::addColumn<int>("warnings");
    QTest::newRow("unset") << ""
                           << "" << false << 0;
    QTest::newRow("off") << "0"
                         << "" << false << 0;
    QTest::newRow("on") << "1"
                        << "" << true << 0;
    QTest::newRow("not a switch") << "yes"
                                  << "" << false << 1;
    QTest::newRow("on, boards.conf refused") << "1"
                                             << "[x]\nfamily = none\n"
                                             << true << 1;
}

// The switch adds the real families ahead of the simulated boards, which stay when boards.conf is
// refused and the real families start over bare.
void BoardTest::simulatedBoardsBesideTheRealFamilies() {
    QFETCH(QString, beside);
    QFETCH(QString, boardsConf);
    QFETCH(bool, real);
    QFETCH(int, warnings);
    QTemporaryDir dir;
    const QString conf = dir.filePath(QStringLiteral("boards.conf"));
    QVERIFY(writeFile(conf, boardsConf.toUtf8()));
    Environment environment;
    environment.values = {{"TAMBROOK_SIMULATED_BOARDS", "2"},
                          {"TAMBROOK_SIMULATED_BESIDE_REAL", beside.toStdString()},
                          {"TAMBROOK_BOARDS_CONF", conf.toStdString()}};
    const std::unique_ptr<Registry> registry = environment.make();
    const auto& families = registry->families();
    QCOMPARE(families.size() > 1, real);
    QCOMPARE(dynamic_cast<devices::ftdi::FtdiFamily*>(families.front().get()) != nullptr, real);
    auto* simulated = dynamic_cast<SimulatedFamily*>(families.back().get());
    QVERIFY(simulated);
    QCOMPARE(simulated->enumerate().size(), std::size_t{2});
    QCOMPARE(environment.warnings.size(), warnings);
}

// Each setting that cannot be used is named once on start-up; the boards still work.
void BoardTest::unusableSimulatedSettingsWarnOnce() {
    QTemporaryDir dir;
    const std::string fifo = dir.filePath(QStringLiteral("state.fifo")).toStdString();
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    Environment environment;
    environment.values = {
        {"TAMBROOK_SIMULATED_BOARDS", "1"},
        {"TAMBROOK_SIMULATED_STATE", fifo},
        {"TAMBROOK_SIMULATED_TRACE", "/nonexistent-folder/trace"},
        {"TAMBROOK_SIMULATED_FAULTS",
         "fail-writes,unplug-afer=3,unplug-after=x,wedge-after=99999999999999999999,latency=.5.5"}};
    const std::unique_ptr<Registry> registry = environment.make(); // a FIFO state file would block
    QCOMPARE(environment.warnings.size(), 6);
    QVERIFY(environment.warnings.filter(QStringLiteral("wedge-after=9999")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("latency=.5.5")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("not a regular file")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("trace")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("unplug-afer=3")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("unplug-after=x")).size() == 1);
    QCOMPARE(registry->enumerate().size(), std::size_t{1});
    const std::unique_ptr<RelayDevice> board = registry->openAt(0);
    QVERIFY(board->isOpen());
    QVERIFY(!board->writeRelays(0x05)); // fail-writes still holds
    QVERIFY(board->close());

    // A FIFO as the trace file is refused too, rather than waited on for a reader.
    Environment fifoTrace;
    const std::string traceFifo = dir.filePath(QStringLiteral("trace.fifo")).toStdString();
    QCOMPARE(::mkfifo(traceFifo.c_str(), 0600), 0);
    fifoTrace.values = {{"TAMBROOK_SIMULATED_BOARDS", "1"},
                        {"TAMBROOK_SIMULATED_TRACE", traceFifo}};
    fifoTrace.make();
    QCOMPARE(fifoTrace.warnings.size(), 1);
    QVERIFY(fifoTrace.warnings.first().contains(QStringLiteral("not a regular file")));

    Environment lockedOut;
    lockedOut.values = {{"TAMBROOK_SIMULATED_BOARDS", "1"},
                        {"TAMBROOK_SIMULATED_STATE", "/nonexistent-folder/state"}};
    lockedOut.make();
    QCOMPARE(lockedOut.warnings.size(), 1);
    QVERIFY(lockedOut.warnings.first().contains(QStringLiteral("state")));
}

// The state file is replaced whole on every write, so a reader never finds it empty or half
// written; one that is empty or garbled is reported, not taken as all relays off.
void BoardTest::simulatedStateFileIsReplacedWhole() {
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("board.state"));
    std::vector<std::string> warnings;
    SimulatedOptions options;
    options.stateFile = state.toStdString();
    options.warn = [&](const std::string& text) { warnings.push_back(text); };
    SimulatedFamily family(options);
    const std::unique_ptr<RelayDevice> board = family.open(0);
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!done) {
            QFile file(state);
            if (file.open(QIODevice::ReadOnly) && file.readAll() != "a5\n")
                ++badReads;
        }
    });
    for (int write = 0; write < 2000; ++write)
        QVERIFY(board->writeRelays(0xa5));
    done = true;
    reader.join();
    QCOMPARE(badReads.load(), 0);
    QVERIFY(warnings.empty());
    for (const QByteArray& content : {QByteArray(), QByteArray("zz\n")}) {
        QVERIFY(writeFile(state, content));
        warnings.clear();
        SimulatedFamily again(options);
        QCOMPARE(warnings.size(), std::size_t{1});
        QVERIFY(QString::fromStdString(warnings.front()).contains(state));
        QCOMPARE(again.relays(0), 0x00);
    }
}

namespace {

devices::ftdi::BoardInfo usbBoard(std::string serial, std::string portPath) {
    return {std::move(serial), std::move(portPath), {}};
}

} // namespace

// The boards of every family in one list, numbered on from family to family, each id given by
// one rule over all of them: a serial number two boards share names neither, whichever families
// they are of, so each goes by its port path.
void BoardTest::familiesShareOneListAndOneIdRule() {
    Log firstLog;
    Log secondLog;
    RecordingDriver first(firstLog);
    RecordingDriver second(secondLog);
    first.devices = 2;
    first.boards = {usbBoard("A9XK3L", "1-1"), usbBoard("SAME", "1-2")};
    second.devices = 1;
    second.boards = {usbBoard("SAME", "2-1")};
    Registry registry(familyList(std::make_unique<devices::ftdi::FtdiFamily>(first),
                                 std::make_unique<devices::ftdi::FtdiFamily>(second),
                                 simulatedBoards(1)));
    const std::vector<Registry::Entry> entries = registry.enumerate();
    QStringList ids;
    for (const Registry::Entry& entry : entries)
        ids << QString::fromStdString(entry.id.id) + (entry.id.duplicateSerial ? "*" : "");
    QCOMPARE(ids, (QStringList{"A9XK3L", "1-2*", "2-1*", "sim1"}));
    QCOMPARE(entries[0].id.source, devices::IdSource::Serial);
    QCOMPARE(entries[2].id.source, devices::IdSource::PortPath);
    QCOMPARE(entries[3].id.source, devices::IdSource::FamilyName);

    firstLog.clear();
    const std::unique_ptr<RelayDevice> third = registry.openAt(2);
    QCOMPARE(third->id(), "2-1"s);
    QVERIFY(firstLog.empty());
    QCOMPARE(secondLog, (Log{"count 1", "open 0", "setbitmode ff 1", "setrate 115200"}));
    const std::unique_ptr<RelayDevice> simulated = registry.openAt(3);
    QCOMPARE(simulated->id(), "sim1"s);
    QVERIFY(simulated->writeRelays(0x81));
    QVERIFY(firstLog.empty());
}

// A board checked on opening must be the one the list showed: another that took its place on the
// bus meanwhile is let go before anything is set up or written, also through the decorators.
void BoardTest::openCheckedRefusesABoardThatTookTheOthersPlace() {
    Log log;
    RecordingDriver driver(log);
    driver.devices = 1;
    driver.boards = {usbBoard("A9XK3L", "1-1")};
    Registry registry(familyList(std::make_unique<TracingFamily>(
        std::make_unique<FaultyFamily>(std::make_unique<devices::ftdi::FtdiFamily>(driver),
                                       devices::testing::parseFaults("latency=0.1")),
        std::string(), nullptr)));
    QCOMPARE(registry.enumerate().size(), std::size_t{1});
    driver.boards = {usbBoard("B7QW2M", "1-1")};
    log.clear();
    const std::unique_ptr<RelayDevice> refused = registry.openChecked(0);
    QVERIFY(!refused->isOpen());
    QCOMPARE(log, (Log{"open 0", "close 4096"}));
    QVERIFY(!registry.open("A9XK3L")); // looks at the bus again: it is not there
    const devices::Result<std::unique_ptr<RelayDevice>> opened = registry.open("B7QW2M");
    QVERIFY(opened);
    QCOMPARE(opened.value()->id(), "B7QW2M"s);
    QVERIFY(driver.writes.empty());
}

// With no family at all, every board is one that fails every call, and no id is there.
void BoardTest::noFamilyGivesADeviceThatFailsEveryCall() {
    Registry registry({});
    QVERIFY(registry.enumerate().empty());
    QVERIFY(registry.udevSubsystems().empty());
    for (const std::unique_ptr<RelayDevice>& device :
         {registry.unopened(), registry.openAt(0), registry.openChecked(0)}) {
        QVERIFY(!device->isOpen());
        QVERIFY(device->id().empty());
        QVERIFY(!device->readRelays());
        QVERIFY(failsAs(device->writeRelays(0x01), Failure::Kind::NotOpen));
        QVERIFY(failsAs(device->close(), Failure::Kind::NotOpen));
    }
    QVERIFY(!registry.open("board1"));
}

QTEST_MAIN(BoardTest)
#include "test_board.moc"
