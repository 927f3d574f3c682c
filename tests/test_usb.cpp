// The real-board backend end to end: libftdi1 and libusb, unchanged, against an FT232R emulated
// at the kernel's USB interface (tests/support/EmulatedFt232r). Runs under umockdev-wrapper;
// without umockdev the suite reports itself skipped.
#include "share/Holder.h"
#include "support/Processes.h"
#include "support/WindowRig.h"

#include "devices/Environment.h"
#include "devices/ftdi/FtdiDriver.h"
#include "devices/ftdi/FtdiFamily.h"
#include "support/EmulatedFt232r.h"
#include "ui_TForm1.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <cstdio>

namespace ftdi = devices::ftdi;

namespace {

constexpr int kSkipped = 77;

std::unique_ptr<ftdi::Driver> realBoards() {
    return std::make_unique<ftdi::FtdiDriver>(ftdi::makeLibFtdiApi(), ftdi::builtInRelayBoardIds());
}

std::uint32_t countOf(ftdi::Driver& driver) {
    std::uint32_t count = 12345;
    return ftdi::succeeded(driver.countDevices(count)) ? count : 12345;
}

// Opens the first board as the window does: open, bit mode, rate.
ftdi::Handle openFirst(ftdi::Driver& driver) {
    ftdi::Handle handle = 0;
    if (!ftdi::succeeded(driver.openByIndex(0, handle)) ||
        !ftdi::succeeded(driver.setBitMode(handle, 0xFF, 1)) ||
        !ftdi::succeeded(driver.setBaudRate(handle, 115200)))
        return 0;
    return handle;
}

bool writeByte(ftdi::Driver& driver, ftdi::Handle handle, std::uint8_t byte) {
    std::uint32_t written = 0;
    return ftdi::succeeded(driver.write(handle, &byte, 1, written)) && written == 1;
}

} // namespace

class UsbTest : public QObject {
    Q_OBJECT
private slots:
    void countsRelayBoardsOnly_data();
    void countsRelayBoardsOnly();
    void openingLeavesThePinsAndSetsBitBangOnce();
    void writesLandOnThePinsAndTheSerialDriverComesBack();
    void unpluggedAndWedgedBoardsFailWithoutHanging();
    void aShortWriteIsAFailedWrite();
    void wholeSessionOnTheDefaultBackend();
    void unplugDuringARunNeverFreezesTheWindow();
    void commandLineGetAndSet();
    void listMarksSharedSerialsAndSpeaksRelaysToADenkovi4();
    void serveOpensABoardAgainWhenItIsPluggedBack();
    void invertedRelaysAreOnWhileTheirPinsAreLow();
};

void UsbTest::countsRelayBoardsOnly_data() {
    QTest::addColumn<int>("boards");
    QTest::newRow("none") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("three") << 3;
}

// A device of another product id on the same bus is never counted, opened or reset.
void UsbTest::countsRelayBoardsOnly() {
    QFETCH(int, boards);
    usbemu::EmulatedBus bus;
    for (int port = 1; port <= boards; ++port)
        bus.add({0x0403, 0x6001, "RELAY" + std::to_string(port), port, false, 0});
    usbemu::EmulatedBoard& other = bus.add({0x0403, 0x6010, "DUAL", 7, false, 0});
    const auto driver = realBoards();
    QCOMPARE(countOf(*driver), static_cast<std::uint32_t>(boards));
    ftdi::Handle handle = 0;
    if (boards > 0) {
        QVERIFY(
            ftdi::succeeded(driver->openByIndex(static_cast<std::uint32_t>(boards - 1), handle)));
        QVERIFY(ftdi::succeeded(driver->close(handle)));
    }
    QVERIFY(!ftdi::succeeded(driver->openByIndex(static_cast<std::uint32_t>(boards), handle)));
    QCOMPARE(other.state().requests, 0);
}

// A board left in bit-bang mode by an earlier session keeps its relays: no bulk write, one
// SET_BITMODE (0xFF, asynchronous bit-bang), no bit-mode reset, and the pins are adopted.
void UsbTest::openingLeavesThePinsAndSetsBitBangOnce() {
    usbemu::EmulatedBus bus;
    usbemu::EmulatedBoard& emulated = bus.add({0x0403, 0x6001, "A1", 1, true, 0x05});
    const auto driver = realBoards();
    const ftdi::Handle handle = openFirst(*driver);
    QVERIFY(handle != 0);
    std::uint8_t pins = 0;
    QVERIFY(ftdi::succeeded(driver->readPins(handle, pins)));
    QCOMPARE(pins, 0x05);
    const usbemu::BoardState state = emulated.state();
    QCOMPARE(state.bulkWrites, 0);
    QCOMPARE(state.setBitModeRequests, 1);
    QCOMPARE(state.bitModeResets, 0);
    QVERIFY(state.sioResets >= 1); // opening resets the serial engine, which keeps the pins
    QVERIFY(state.bitBang);
    QCOMPARE(state.direction, 0xFF);
    QVERIFY(state.baudRateRequests >= 1);
    QCOMPARE(state.pins, 0x05);
    QVERIFY(state.unknownRequests.empty());
    QVERIFY(ftdi::succeeded(driver->close(handle)));
}

void UsbTest::writesLandOnThePinsAndTheSerialDriverComesBack() {
    usbemu::EmulatedBus bus;
    usbemu::EmulatedBoard& emulated = bus.add({0x0403, 0x6001, "A1", 1, false, 0});
    const auto driver = realBoards();
    QElapsedTimer cycle;
    cycle.start();
    const ftdi::Handle handle = openFirst(*driver);
    QVERIFY(handle != 0);
    QVERIFY(!emulated.state().driverBound);
    QCOMPARE(emulated.state().driverDetaches, 1);
    QVERIFY(writeByte(*driver, handle, 0xA5));
    std::uint8_t pins = 0;
    QVERIFY(ftdi::succeeded(driver->readPins(handle, pins)));
    qInfo("open + write + read on the emulated board: %.2f ms", cycle.nsecsElapsed() / 1e6);
    QCOMPARE(pins, 0xA5);
    QCOMPARE(emulated.state().pins, 0xA5);
    QCOMPARE(emulated.state().bulkWrites, 1);
    QVERIFY(ftdi::succeeded(driver->close(handle)));
    QVERIFY(emulated.state().driverBound);
    QCOMPARE(emulated.state().driverAttaches, 1);
    QCOMPARE(emulated.state().pins, 0xA5); // closing leaves the relays as they are
}

// Unplugged: every later call fails at once. Wedged: every call gives up after the backend's
// 300 ms timeout. Nothing hangs.
void UsbTest::unpluggedAndWedgedBoardsFailWithoutHanging() {
    usbemu::EmulatedBus bus;
    usbemu::EmulatedBoard& unplugged = bus.add({0x0403, 0x6001, "A1", 1, false, 0});
    usbemu::EmulatedBoard& wedged = bus.add({0x0403, 0x6001, "A2", 2, false, 0});
    const auto driver = realBoards();
    QCOMPARE(countOf(*driver), 2u);
    ftdi::Handle first = 0;
    ftdi::Handle second = 0;
    QVERIFY(ftdi::succeeded(driver->openByIndex(0, first)));
    QVERIFY(ftdi::succeeded(driver->openByIndex(1, second)));

    bus.unplug(unplugged);
    QElapsedTimer clock;
    std::uint8_t pins = 0;
    for (int call = 0; call < 3; ++call) {
        clock.start();
        QVERIFY(!writeByte(*driver, first, 0x01));
        QVERIFY(!ftdi::succeeded(driver->readPins(first, pins)));
        QVERIFY(!ftdi::succeeded(driver->setBitMode(first, 0xFF, 1)));
        QVERIFY2(clock.elapsed() < 50, qPrintable(QString::number(clock.elapsed())));
    }
    QTRY_COMPARE_WITH_TIMEOUT(countOf(*driver), 1u, 2000); // once the remove uevent is seen

    wedged.setWedged(true);
    for (int call = 0; call < 2; ++call) {
        clock.start();
        QVERIFY(!writeByte(*driver, second, 0x01));
        const qint64 writeMs = clock.restart();
        QVERIFY(!ftdi::succeeded(driver->readPins(second, pins)));
        const qint64 readMs = clock.elapsed();
        QVERIFY2(writeMs >= 250 && writeMs < 1000, qPrintable(QString::number(writeMs)));
        QVERIFY2(readMs >= 250 && readMs < 1000, qPrintable(QString::number(readMs)));
    }
    driver->close(first);
    driver->close(second);
}

// A bulk write that completes with nothing taken is a failed write, reported at once.
void UsbTest::aShortWriteIsAFailedWrite() {
    usbemu::EmulatedBus bus;
    usbemu::EmulatedBoard& emulated = bus.add({0x0403, 0x6001, "A1", 1, true, 0x05});
    const auto driver = realBoards();
    const ftdi::Handle handle = openFirst(*driver);
    QVERIFY(handle != 0);
    emulated.setShortWrites(true);
    std::uint32_t written = 99;
    const std::uint8_t byte = 0x81;
    QCOMPARE(driver->write(handle, &byte, 1, written), ftdi::Status::IoError);
    QCOMPARE(written, 0u);
    QCOMPARE(emulated.state().pins, 0x05);
    emulated.setShortWrites(false);
    QVERIFY(writeByte(*driver, handle, 0x81));
    QCOMPARE(emulated.state().pins, 0x81);
    driver->close(handle);
}

// The whole window on its default backend (nothing simulated) against one emulated board.
void UsbTest::wholeSessionOnTheDefaultBackend() {
    usbemu::EmulatedBus bus;
    usbemu::EmulatedBoard& emulated = bus.add({0x0403, 0x6001, "A1", 1, true, 0x80});
    qunsetenv("TAMBROOK_SIMULATED_BOARDS");
    const std::unique_ptr<devices::Registry> boards = devices::makeRegistryFromEnvironment();
    // The FTDI family first; the others (HID boards) find nothing on this bus.
    QVERIFY(!boards->families().empty());
    QVERIFY(dynamic_cast<ftdi::FtdiFamily*>(boards->families().front().get()));
    const WorkingFolder folder;
    {
        Log log;
        RecordingPlatform platform(log);
        MainWindow window(*boards, platform);
        TForm1& form = window.form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        Ui::TForm1& ui = form.controls();
        QCOMPARE(ui.ComboBox1->currentText(), QStringLiteral("Relay Board 1"));
        QTest::mouseClick(ui.Button33, Qt::LeftButton);
        QCOMPARE(ui.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(emulated.state().bulkWrites, 0);
        QCOMPARE(emulated.state().pins, 0x80); // adopted, not written
        // Opened once more, the board held already cannot be opened again, and stays the board.
        QTest::mouseClick(ui.Button33, Qt::LeftButton);
        QCOMPARE(ui.Panel27->text(), QStringLiteral("Board found !"));
        QCOMPARE(emulated.state().setBitModeRequests, 2);
        QCOMPARE(emulated.state().bulkWrites, 0);

        QTest::mouseClick(ui.Button2, Qt::LeftButton); // relay 1 on: two writes
        QCOMPARE(emulated.state().pins, 0x81);
        QTest::mouseClick(ui.Button10, Qt::LeftButton); // "ALL OFF": two writes
        QCOMPARE(emulated.state().pins, 0x00);
        QCOMPARE(emulated.state().bulkWrites, 4);

        ui.TabbedNotebook1->setCurrentWidget(ui.TimerPage);
        form.act([&] {
            form.model().loadProgram(programRows({"10000000-2", "01000000-1", "00100001-3"}));
        });
        QTest::mouseClick(ui.Button34, Qt::LeftButton); // Start at 1 ms: one write per step
        QTRY_COMPARE_WITH_TIMEOUT(ui.Button34->caption(), QStringLiteral("Start"), 5000);
        QCOMPARE(emulated.state().pins, 0x84);
        QCOMPARE(emulated.state().bulkWrites, 7);
        form.close();
        QVERIFY(platform.errors.isEmpty());
    }
    QCOMPARE(emulated.state().pins, 0x84); // closing writes nothing
    QCOMPARE(emulated.state().bulkWrites, 7);
    QVERIFY(emulated.state().driverBound);
    QVERIFY(emulated.state().unknownRequests.empty());
}

// The window and the emulated board in one process: the board is unplugged while a 1 ms Repeat
// run plays. Each time, the run stops with one message and the window keeps answering.
void UsbTest::unplugDuringARunNeverFreezesTheWindow() {
    qunsetenv("TAMBROOK_SIMULATED_BOARDS");
    const WorkingFolder folder;
    for (int round = 0; round < 20; ++round) {
        usbemu::EmulatedBus bus;
        usbemu::EmulatedBoard& emulated = bus.add({0x0403, 0x6001, "A1", 1, true, 0x00});
        const std::unique_ptr<devices::Registry> boards = devices::makeRegistryFromEnvironment();
        Log log;
        RecordingPlatform platform(log);
        MainWindow window(*boards, platform);
        TForm1& form = window.form;
        Ui::TForm1& ui = form.controls();
        form.Button33Click();
        QCOMPARE(ui.Panel27->text(), QStringLiteral("Board found !"));
        form.act([&] {
            form.model().loadProgram(programRows({"10000000-1", "01000000-1", "00100000-1"}));
        });
        ui.CheckBox1->setChecked(true);
        form.Button34Click();
        QTRY_VERIFY(emulated.state().bulkWrites > 20);
        QTest::qWait(round % 5);
        bus.unplug(emulated);
        // The event loop runs: a timer due in 10 ms fires, and the run ends by itself.
        QElapsedTimer clock;
        clock.start();
        bool answered = false;
        QTimer::singleShot(10, [&] { answered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 2000);
        QTRY_COMPARE_WITH_TIMEOUT(ui.Button34->caption(), QStringLiteral("Start"), 2000);
        QTRY_COMPARE(platform.errors.size(), 1);
        QCOMPARE(platform.errors.front(), QString::fromLatin1(model::kBoardStoppedAnswering));
        QCOMPARE(ui.Panel27->text(), QStringLiteral("Board not found !"));
        form.close();
    }
}

// tambrook-cli in a child process, which inherits the emulated bus through umockdev-wrapper's
// environment: get adopts the pins without a write, set writes once.
void UsbTest::commandLineGetAndSet() {
    usbemu::EmulatedBus bus;
    usbemu::EmulatedBoard& emulated = bus.add({0x0403, 0x6001, "A1", 1, true, 0xa5});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"));
    const auto run = [&](const QStringList& arguments) {
        QProcess cli;
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(TAMBROOK_CLI), arguments);
        cli.waitForFinished(30000);
        return std::make_pair(cli.exitCode(), QString::fromLatin1(cli.readAllStandardOutput()));
    };
    // The board's id is its serial number, read without opening it; it names the board too.
    QCOMPARE(run({"list"}), std::make_pair(0, QStringLiteral("1 A1 1-1 A1 ftdi 8 free\n")));
    QCOMPARE(run({"get", "--board", "A1"}), std::make_pair(0, QStringLiteral("10100101\n")));
    QCOMPARE(run({"get", "--board", "1-1"}), std::make_pair(0, QStringLiteral("10100101\n")));
    QCOMPARE(run({"get"}), std::make_pair(0, QStringLiteral("10100101\n")));
    QCOMPARE(emulated.state().bulkWrites, 0);
    QCOMPARE(emulated.state().pins, 0xa5);
    QCOMPARE(run({"set", "11110000"}).first, 0);
    QCOMPARE(emulated.state().bulkWrites, 1);
    QCOMPARE(emulated.state().pins, 0x0f);
    QCOMPARE(run({"on", "8"}).first, 0);
    QCOMPARE(emulated.state().pins, 0x8f);
    QCOMPARE(run({"get", "--board", "2"}).first, 1);
    QVERIFY(emulated.state().driverBound); // the serial driver given back after each run
    // While this process holds the board, as the window would, the command line reports it busy.
    const std::unique_ptr<devices::Registry> boards = devices::makeRegistryFromEnvironment();
    QCOMPARE(boards->enumerate().size(), std::size_t{1});
    const std::unique_ptr<devices::RelayDevice> held = boards->openAt(0);
    QVERIFY(held->isOpen());
    const int writesBefore = emulated.state().bulkWrites;
    QCOMPARE(run({"set", "00000000"}).first, 1);
    QCOMPARE(emulated.state().bulkWrites, writesBefore);
    QCOMPARE(emulated.state().pins, 0x8f);
    QVERIFY(held->close());
    QCOMPARE(run({"set", "00000000"}).first, 0);
}

// Two boards that came with one serial are named by their ports and marked in `list`; a board
// configured as denkovi4 has four relays there, and its relays land on D1, D3, D5, D7.
void UsbTest::listMarksSharedSerialsAndSpeaksRelaysToADenkovi4() {
    usbemu::EmulatedBus bus;
    bus.add({0x0403, 0x6001, "A1", 1, true, 0x00});
    bus.add({0x0403, 0x6001, "A1", 2, true, 0x00});
    usbemu::EmulatedBoard& four = bus.add({0x0403, 0x6001, "D4", 3, true, 0x00});
    QTemporaryDir folder;
    QFile conf(folder.filePath(QStringLiteral("boards.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("[D4]\nfamily = ftdi\nprofile = denkovi4\n");
    conf.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"));
    environment.insert(QStringLiteral("TAMBROOK_BOARDS_CONF"), conf.fileName());
    const auto run = [&](const QStringList& arguments) {
        QProcess cli;
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(TAMBROOK_CLI), arguments);
        cli.waitForFinished(30000);
        return std::make_pair(cli.exitCode(), QString::fromLatin1(cli.readAllStandardOutput()));
    };
    QCOMPARE(run({"list"}),
             std::make_pair(0, QStringLiteral("1 1-1 (duplicate serial) 1-1 A1 ftdi 8 free\n"
                                              "2 1-2 (duplicate serial) 1-2 A1 ftdi 8 free\n"
                                              "3 D4 1-3 D4 ftdi 4 free\n")));
    QCOMPARE(run({"set", "10110000", "--board", "D4"}).first, 0);
    QCOMPARE(four.state().pins, 0xA2);
    QCOMPARE(run({"get", "--board", "D4"}), std::make_pair(0, QStringLiteral("10110000\n")));
}

// boards.conf inverts relays 1 and 8 of a board found by its serial: the command line and the
// window speak of the relays, the pins are their inverse.
void UsbTest::invertedRelaysAreOnWhileTheirPinsAreLow() {
    usbemu::EmulatedBus bus;
    usbemu::EmulatedBoard& emulated = bus.add({0x0403, 0x6001, "A1", 1, true, 0x80});
    QTemporaryDir folder;
    QFile conf(folder.filePath(QStringLiteral("boards.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("[A1]\nrelay1.invert = true\nrelay8.invert = true\n");
    conf.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"));
    environment.insert(QStringLiteral("TAMBROOK_BOARDS_CONF"), conf.fileName());
    const auto run = [&](const QStringList& arguments) {
        QProcess cli;
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(TAMBROOK_CLI), arguments);
        cli.waitForFinished(30000);
        return std::make_pair(cli.exitCode(), QString::fromLatin1(cli.readAllStandardOutput()));
    };
    QCOMPARE(run({"get"}), std::make_pair(0, QStringLiteral("10000000\n")));
    QCOMPARE(run({"set", "11000000"}).first, 0);
    QCOMPARE(emulated.state().pins, 0x82);
    qunsetenv("TAMBROOK_SIMULATED_BOARDS");
    qputenv("TAMBROOK_BOARDS_CONF", QFile::encodeName(conf.fileName()));
    const std::unique_ptr<devices::Registry> boards = devices::makeRegistryFromEnvironment();
    qunsetenv("TAMBROOK_BOARDS_CONF");
    const WorkingFolder working;
    Log log;
    RecordingPlatform platform(log);
    MainWindow window(*boards, platform);
    TForm1& form = window.form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    Ui::TForm1& ui = form.controls();
    QTest::mouseClick(ui.Button33, Qt::LeftButton);
    QCOMPARE(form.model().snapshot()->relayByte, 0x03); // adopted: relays 1 and 2 on
    QTest::mouseClick(ui.Button10, Qt::LeftButton);     // "ALL OFF"
    QCOMPARE(emulated.state().pins, 0x81);
    form.close();
    QVERIFY(platform.errors.isEmpty());
}

// serve notices a board taken off the bus and, once a board with the same serial is back on it,
// holds and serves it again without being told: opened without a bit-mode reset, given the
// pattern last commanded in one write, and its program goes on.
void UsbTest::serveOpensABoardAgainWhenItIsPluggedBack() {
    usbemu::EmulatedBus bus;
    usbemu::EmulatedBoard& first = bus.add({0x0403, 0x6001, "A1", 1, true, 0x00});
    QTemporaryDir runtime;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    QProcess serve;
    serve.setProcessEnvironment(environment);
    serve.start(QStringLiteral(TAMBROOK_CLI), {QStringLiteral("serve"), QStringLiteral("--all")});
    LogOf log(serve);
    const auto logged = [&](const char* text) { return log.has(QLatin1String(text)); };
    QTRY_VERIFY_WITH_TIMEOUT(logged("opened A1"), 10000);
    // umockdev emulates udev's monitor too; serve starts watching it just after opening the boards.
    QTRY_VERIFY2_WITH_TIMEOUT(logged("watching udev"), qPrintable(log.text()), 10000);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const auto ask = [](const QJsonObject& request) { return share::ask("A1", request).reply; };
    // Steps of 1.2 s: the return lands inside one, so its write is the only one until the next.
    const QJsonObject play{
        {QStringLiteral("request"), QStringLiteral("play")},
        {QStringLiteral("program"), QStringLiteral("10100000-12\r\n01010000-12\r\n")},
        {QStringLiteral("resolution"), 100},
        {QStringLiteral("repeat"), true}};
    QVERIFY(ask(play).value(QStringLiteral("ok")).toBool());
    QTRY_COMPARE(first.state().pins, 0x05);
    bus.unplug(first);
    QTRY_VERIFY_WITH_TIMEOUT(logged("A1 was unplugged"), 10000);
    QCOMPARE(ask({{QStringLiteral("request"), QStringLiteral("state")}})
                 .value(QStringLiteral("present")),
             QJsonValue(false));
    // Back in another socket, without power on its relays: its serial still names it.
    usbemu::EmulatedBoard& back = bus.add({0x0403, 0x6001, "A1", 2, false, 0x00});
    QTRY_VERIFY2_WITH_TIMEOUT(logged("A1 is back"), qPrintable(log.text()), 10000);
    const QJsonObject state = ask({{QStringLiteral("request"), QStringLiteral("state")}});
    QCOMPARE(state.value(QStringLiteral("present")), QJsonValue(true));
    QCOMPARE(state.value(QStringLiteral("run")), QJsonValue(QStringLiteral("running")));
    const int row = state.value(QStringLiteral("row")).toInt();
    QCOMPARE(back.state().pins, row == 0 ? 0x05 : 0x0A); // the step its clock has reached
    QCOMPARE(back.state().bitModeResets, 0);
    QCOMPARE(back.state().setBitModeRequests, 1);
    const int writesOnReturn = back.state().bulkWrites;
    QVERIFY(writesOnReturn == 1 || writesOnReturn == 2); // the return, maybe a step since
    QTRY_VERIFY_WITH_TIMEOUT(back.state().bulkWrites > writesOnReturn, 5000); // the run goes on
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
}

int main(int argc, char* argv[]) {
    if (!usbemu::EmulatedBus::available()) {
        std::puts("skipped: run under umockdev-wrapper to emulate the USB board");
        return kSkipped;
    }
    QApplication application(argc, argv);
    UsbTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_usb.moc"
