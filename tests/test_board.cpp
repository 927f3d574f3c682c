// Board discovery, opening and the port operations, checked through the exact driver traffic.
#include "TestSupport.h"

#include "board/DriverFactory.h"
#include "board/SimulatedDriver.h"
#include "ui/BoardList.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <map>
#include <sys/stat.h>
#include <thread>

using namespace std::string_literals;

namespace {

// Replaces a file's content whole, as a test changes what the simulated boards read at each call.
bool replaceFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
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
    void openUsesTheSelectedEntry();
    void lostBoardTurnsTheStatusPanelRed();
    void simulatedBoardLatchesTracesAndKeepsState();
    void simulatedFaultsUnplugAndFail();
    void simulatedBoardsArePulledOutAndPutBack();
    void aWedgedBoardHoldsUpOnlyItself();
    void simulatedStateFileIsReplacedWhole();
    void environmentChoosesTheBackend_data();
    void environmentChoosesTheBackend();
    void unusableSimulatedSettingsWarnOnce();
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
    const board::Handle handle = rig.boardHandle();
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
        board::SimulatedDriver driver(
            {2, state.toStdString(), trace.toStdString(), {}, {}, {}, {}});
        std::uint32_t count = 0;
        driver.countDevices(count);
        QCOMPARE(count, 2u);
        std::uint8_t pins = 0x55;
        std::uint32_t written = 0;
        const std::uint8_t byte = 0x01;
        QCOMPARE(driver.write(0, &byte, 1, written), board::Status::InvalidHandle);
        QCOMPARE(driver.readPins(0, pins), board::Status::InvalidHandle);
        QCOMPARE(pins, 0x55); // a failed read changes nothing
        board::Handle handle = 0;
        QVERIFY(board::succeeded(driver.openByIndex(0, handle)));
        QVERIFY(handle != 0);
        driver.setBitMode(handle, 0xFF, 1);
        driver.setBaudRate(handle, 115200);
        QVERIFY(board::succeeded(driver.write(handle, &byte, 1, written)));
        QVERIFY(board::succeeded(driver.readPins(handle, pins)));
        QCOMPARE(pins, 0x01);
        driver.close(handle);
        QCOMPARE(driver.readPins(handle, pins), board::Status::InvalidHandle);
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
                               "setbitmode ff 1 ok", "setrate 115200 ok", "write 01 ok",
                               "read 01 ok", "close ok", "read fail"}));
    // A new run adopts the pins the last one left.
    board::SimulatedDriver again({1, state.toStdString(), {}, {}, {}, {}, {}});
    QCOMPARE(again.pins(0), 0x01);
}

void BoardTest::simulatedFaultsUnplugAndFail() {
    const board::SimulatedFaults faults =
        board::parseSimulatedFaults("fail-reads,unplug-after=3,bogus");
    QVERIFY(faults.failReads);
    QVERIFY(!faults.failWrites);
    QCOMPARE(*faults.unplugAfterCalls, 3u);
    board::SimulatedDriver driver(
        {1, {}, {}, board::parseSimulatedFaults("unplug-after=2"), {}, {}, {}});
    board::Handle handle = 0;
    QVERIFY(board::succeeded(driver.openByIndex(0, handle)));
    std::uint8_t pins = 0;
    QVERIFY(board::succeeded(driver.readPins(handle, pins)));
    QVERIFY(!board::succeeded(driver.readPins(handle, pins))); // third call: unplugged
    std::uint32_t count = 9;
    driver.countDevices(count);
    QCOMPARE(count, 0u);
}

// A board named in the unplugged file leaves the bus: the others move up, its handle dies and it
// comes back with its relays off, to be opened again.
void BoardTest::simulatedBoardsArePulledOutAndPutBack() {
    QTemporaryDir dir;
    const QString unplugged = dir.filePath(QStringLiteral("unplugged"));
    board::SimulatedBoardOptions options{3, {}, {}, {}, {}, {}, {}};
    options.unpluggedFile = unplugged.toStdString();
    board::SimulatedDriver driver(options);
    board::Handle second = 0;
    QVERIFY(board::succeeded(driver.openByIndex(1, second)));
    std::uint32_t written = 0;
    const std::uint8_t byte = 0x0F;
    QVERIFY(board::succeeded(driver.write(second, &byte, 1, written)));
    QVERIFY(replaceFile(unplugged, "2\n"));
    QVERIFY(!board::succeeded(driver.write(second, &byte, 1, written)));
    std::uint32_t count = 0;
    driver.countDevices(count);
    QCOMPARE(count, 2u);
    QCOMPARE(driver.describe(1).name, "sim3"s);
    QVERIFY(replaceFile(unplugged, ""));
    count = 0;
    driver.countDevices(count);
    QCOMPARE(count, 3u);
    QCOMPARE(driver.describe(1).name, "sim2"s);
    QVERIFY(!board::succeeded(driver.write(second, &byte, 1, written))); // the old handle is dead
    board::Handle again = 0;
    QVERIFY(board::succeeded(driver.openByIndex(1, again)));
    std::uint8_t pins = 0xFF;
    QVERIFY(board::succeeded(driver.readPins(again, pins)));
    QCOMPARE(pins, 0x00);
}

// A board named in the wedged file hangs on every call and fails it, while another board's calls
// go through at once, from another thread; when it answers again, so does its handle.
void BoardTest::aWedgedBoardHoldsUpOnlyItself() {
    QTemporaryDir dir;
    const QString wedgedFile = dir.filePath(QStringLiteral("wedged"));
    board::SimulatedBoardOptions options{2, {}, {}, {}, {}, {}, {}};
    options.wedgedFile = wedgedFile.toStdString();
    board::SimulatedDriver driver(options);
    board::Handle first = 0;
    board::Handle second = 0;
    QVERIFY(board::succeeded(driver.openByIndex(0, first)));
    QVERIFY(board::succeeded(driver.openByIndex(1, second)));
    QVERIFY(replaceFile(wedgedFile, "2\n"));
    std::atomic<bool> wedgedCallDone{false};
    board::Status wedgedStatus = board::Status::Ok;
    std::thread hanging([&] {
        std::uint32_t written = 0;
        const std::uint8_t byte = 0xF0;
        wedgedStatus = driver.write(second, &byte, 1, written);
        wedgedCallDone = true;
    });
    QThread::msleep(50); // well inside the wedged call's 300 ms
    std::uint32_t written = 0;
    const std::uint8_t byte = 0x0F;
    QVERIFY(board::succeeded(driver.write(first, &byte, 1, written)));
    std::uint32_t count = 0;
    driver.countDevices(count);
    const bool answeredMeanwhile = !wedgedCallDone;
    hanging.join();
    QVERIFY(answeredMeanwhile);
    QCOMPARE(count, 2u); // still on the bus
    QVERIFY(!board::succeeded(wedgedStatus));
    QCOMPARE(driver.pins(1), 0x00);
    QCOMPARE(driver.pins(0), 0x0F);
    QVERIFY(replaceFile(wedgedFile, ""));
    QVERIFY(board::succeeded(driver.write(second, &byte, 1, written)));
    QCOMPARE(driver.pins(1), 0x0F);
}

namespace {

struct Environment {
    std::map<std::string, std::string> values;
    QStringList warnings;
    std::unique_ptr<board::Driver> make() {
        return board::makeDriverFromEnvironment(
            [this](const char* name) { return values.count(name) ? values.at(name) : ""; },
            [this](const std::string& text) { warnings << QString::fromStdString(text); });
    }
};

std::uint32_t countOf(board::Driver& driver) {
    std::uint32_t count = 12345;
    driver.countDevices(count);
    return count;
}

} // namespace

void BoardTest::environmentChoosesTheBackend_data() {
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

void BoardTest::environmentChoosesTheBackend() {
    QFETCH(QString, boards);
    QFETCH(uint, count);
    QFETCH(int, warnings);
    Environment environment;
    environment.values["TAMBROOK_SIMULATED_BOARDS"] = boards.toStdString();
    const auto driver = environment.make();
    QVERIFY(dynamic_cast<board::SimulatedDriver*>(driver.get()));
    QCOMPARE(countOf(*driver), count);
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
    const auto driver = environment.make(); // a FIFO state file would block here
    QCOMPARE(environment.warnings.size(), 6);
    QVERIFY(environment.warnings.filter(QStringLiteral("wedge-after=9999")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("latency=.5.5")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("not a regular file")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("trace")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("unplug-afer=3")).size() == 1);
    QVERIFY(environment.warnings.filter(QStringLiteral("unplug-after=x")).size() == 1);
    board::Handle handle = 0;
    QVERIFY(board::succeeded(driver->openByIndex(0, handle)));
    std::uint32_t written = 0;
    const std::uint8_t byte = 0x05;
    QVERIFY(!board::succeeded(driver->write(handle, &byte, 1, written))); // fail-writes still holds
    driver->close(handle);

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
    board::SimulatedBoardOptions options{1, state.toStdString(), {}, {}, {}, {}, {}};
    options.warn = [&](const std::string& text) { warnings.push_back(text); };
    board::SimulatedDriver driver(options);
    board::Handle handle = 0;
    QVERIFY(board::succeeded(driver.openByIndex(0, handle)));
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!done) {
            QFile file(state);
            if (file.open(QIODevice::ReadOnly) && file.readAll() != "a5\n")
                ++badReads;
        }
    });
    for (int write = 0; write < 2000; ++write) {
        std::uint32_t written = 0;
        const std::uint8_t byte = 0xa5;
        driver.write(handle, &byte, 1, written);
    }
    done = true;
    reader.join();
    QCOMPARE(badReads.load(), 0);
    QVERIFY(warnings.empty());
    for (const QByteArray& content : {QByteArray(), QByteArray("zz\n")}) {
        QVERIFY(replaceFile(state, content));
        warnings.clear();
        board::SimulatedDriver again(options);
        QCOMPARE(warnings.size(), std::size_t{1});
        QVERIFY(QString::fromStdString(warnings.front()).contains(state));
        QCOMPARE(again.pins(0), 0x00);
    }
}

QTEST_MAIN(BoardTest)
#include "test_board.moc"
