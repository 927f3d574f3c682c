// The HID relay family end to end: hidapi's hidraw backend and libudev, unchanged, against boards
// emulated at the hidraw interface (support/EmulatedHidraw) with the common USBRelayN firmware.
// Runs under umockdev-wrapper with the rig's preload; without umockdev the suite reports itself
// skipped.
#include "support/EmulatedHidraw.h"

#include "devices/Environment.h"
#include "devices/hid/HidFamily.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

constexpr int kSkipped = 77;
using Frames = std::vector<std::vector<std::uint8_t>>;

hidemu::HidrawSetup relayBoard(int relays, int port) {
    return {0x16c0, 0x05df, "www.dcttech.com", "USBRelay" + std::to_string(relays), "", port, {}};
}

// A board on the bus with the firmware it runs.
struct Board {
    hidemu::EmulatedHidraw& device;
    hidemu::UsbRelayFirmware& firmware;
};

Board addBoard(hidemu::HidrawBus& bus, const std::string& serial, int relays, int port,
               std::uint8_t state = 0) {
    auto firmware = std::make_unique<hidemu::UsbRelayFirmware>(serial, relays, state);
    hidemu::UsbRelayFirmware& kept = *firmware;
    return {bus.add(relayBoard(relays, port), std::move(firmware)), kept};
}

// tambrook-cli on the emulated bus (the environment carries umockdev and the preload), with a
// runtime folder of its own for holders' sockets.
class Cli {
public:
    Cli() {
        environment_.remove(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"));
        environment_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    }
    QProcessEnvironment& environment() { return environment_; }
    std::pair<int, QString> run(const QStringList& arguments) {
        QProcess cli;
        cli.setProcessEnvironment(environment_);
        cli.start(QStringLiteral(TAMBROOK_CLI), arguments);
        if (!cli.waitForFinished(30000))
            return {-1, QStringLiteral("did not finish")};
        lastError_ = QString::fromLocal8Bit(cli.readAllStandardError());
        return {cli.exitCode(), QString::fromLatin1(cli.readAllStandardOutput())};
    }
    const QString& lastError() const { return lastError_; }

private:
    QTemporaryDir runtime_;
    QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();
    QString lastError_;
};

} // namespace

class HidTest : public QObject {
    Q_OBJECT
private slots:
    void claimsRelayBoardsByTheirStringsOnly();
    void sameSerialBoardsAreNamedByPort();
    void commandLineSendsOnlyWhatChanges();
    void relaysBeyondTheCountAreNeverSent();
    void setSerial();
    void heldBoardIsRefusedToOtherProcesses();
    void wedgedBoardFailsWithinTheBound();
    void unpluggedBoardIsGone();
};

// One, two, four and eight relay boards are found with their relay counts and serials (read from
// the report), in port order; a V-USB device of the same ids with other strings, or a relay
// count the firmware does not come in, is never opened.
void HidTest::claimsRelayBoardsByTheirStringsOnly() {
    hidemu::HidrawBus bus;
    const Board eight = addBoard(bus, "EIGHT", 8, 4);
    addBoard(bus, "ONE01", 1, 1);
    addBoard(bus, "TWO02", 2, 2);
    addBoard(bus, "FOUR4", 4, 3);
    hidemu::EmulatedHidraw& other = bus.add({0x16c0, 0x05df, "obdev.at", "HIDKeys", "", 5, {}},
                                            std::make_unique<hidemu::UsbRelayFirmware>("OTHER"));
    hidemu::EmulatedHidraw& three =
        bus.add(relayBoard(3, 6), std::make_unique<hidemu::UsbRelayFirmware>("THREE"));

    devices::hid::HidFamily family;
    const std::vector<devices::DeviceInfo> boards = family.enumerate();
    QCOMPARE(boards.size(), std::size_t{4});
    const std::vector<std::pair<int, std::string>> expected{
        {1, "ONE01"}, {2, "TWO02"}, {4, "FOUR4"}, {8, "EIGHT"}};
    for (std::size_t i = 0; i < boards.size(); ++i) {
        QCOMPARE(boards[i].family, std::string("hid"));
        QCOMPARE(boards[i].relayCount, expected[i].first);
        QCOMPARE(boards[i].serial, expected[i].second);
        QCOMPARE(boards[i].portPath, "1-" + std::to_string(i + 1));
        QVERIFY(boards[i].readsBack);
    }
    QCOMPARE(other.counts().requests, 0);
    QCOMPARE(three.counts().requests, 0);
    QCOMPARE(family.udevSubsystems(), std::vector<std::string>{"hidraw"});
    // Enumerating reads, and writes nothing.
    QVERIFY(eight.firmware.commands().empty());
    QCOMPARE(eight.device.counts().featureSets, 0);
}

// Boards that left the factory with one serial are named by their port paths, and each is reached
// by it.
void HidTest::sameSerialBoardsAreNamedByPort() {
    hidemu::HidrawBus bus;
    const Board first = addBoard(bus, "SAME1", 8, 1, 0x01);
    const Board second = addBoard(bus, "SAME1", 8, 2, 0x02);
    const std::unique_ptr<devices::Registry> registry = devices::makeRegistryFromEnvironment(
        [](const char*) { return std::string(); }, [](const std::string&) {});
    const std::vector<devices::Registry::Entry> entries = registry->enumerate();
    QCOMPARE(entries.size(), std::size_t{2});
    QCOMPARE(entries[0].id.id, std::string("1-1"));
    QCOMPARE(entries[1].id.id, std::string("1-2"));
    QVERIFY(entries[0].id.duplicateSerial && entries[1].id.duplicateSerial);
    Cli cli;
    QCOMPARE(cli.run({"get", "--board", "1-2"}), std::make_pair(0, QStringLiteral("01000000\n")));
    QCOMPARE(cli.run({"get", "--board", "1-1"}), std::make_pair(0, QStringLiteral("10000000\n")));
    QVERIFY(first.firmware.commands().empty() && second.firmware.commands().empty());
}

// get, set, on and off through tambrook-cli: a write sends one report per relay that changes, FE
// or FC when every relay goes to one value, nothing when nothing changes; feature reports of id
// 0 only, never an output report.
void HidTest::commandLineSendsOnlyWhatChanges() {
    hidemu::HidrawBus bus;
    const Board board = addBoard(bus, "R0001", 8, 1, 0x00);
    Cli cli;
    const auto commandsAfter = [&](const QStringList& arguments) {
        board.firmware.clearCommands();
        const auto [status, out] = cli.run(arguments);
        if (status != 0)
            qWarning() << arguments << status << cli.lastError();
        return board.firmware.commands();
    };
    QCOMPARE(commandsAfter({"set", "10100000"}), (Frames{{0xFF, 1}, {0xFF, 3}}));
    QCOMPARE(board.firmware.relays(), 0x05);
    QCOMPARE(commandsAfter({"on", "2", "3"}), (Frames{{0xFF, 2}}));
    QCOMPARE(commandsAfter({"set", "11111111"}), (Frames{{0xFE}}));
    QCOMPARE(commandsAfter({"off", "8"}), (Frames{{0xFD, 8}}));
    QCOMPARE(commandsAfter({"set", "01111111"}), (Frames{{0xFD, 1}, {0xFF, 8}}));
    QCOMPARE(commandsAfter({"set", "00000000"}), (Frames{{0xFC}}));
    QCOMPARE(commandsAfter({"off", "1"}), Frames{});
    QCOMPARE(board.firmware.relays(), 0x00);
    QCOMPARE(cli.run({"on", "6"}).first, 0);
    QCOMPARE(cli.run({"get", "--board", "R0001"}), std::make_pair(0, QStringLiteral("00000100\n")));
    QCOMPARE(board.firmware.refused(), 0);
    QCOMPARE(board.device.counts().outputReports, 0);
    QVERIFY(board.device.counts().unknownRequests.empty());
}

// A four-relay board: the relays it does not have are masked out of what is written and read.
void HidTest::relaysBeyondTheCountAreNeverSent() {
    hidemu::HidrawBus bus;
    const Board board = addBoard(bus, "QUAD4", 4, 1, 0xF0); // a firmware that reads back junk
    devices::hid::HidFamily family;
    QCOMPARE(family.enumerate().size(), std::size_t{1});
    const std::unique_ptr<devices::RelayDevice> device = family.open(0);
    QVERIFY(device->isOpen());
    QCOMPARE(device->readRelays().value(), 0x00);
    QVERIFY(device->writeRelays(0x30));
    QVERIFY(board.firmware.commands().empty());
    QVERIFY(device->writeRelays(0xFF));
    QCOMPARE(board.firmware.commands(), (Frames{{0xFE}}));
    QVERIFY(device->writeRelays(0x0E));
    QCOMPARE(board.firmware.commands(), (Frames{{0xFE}, {0xFD, 1}}));
    QCOMPARE(board.firmware.refused(), 0);
    QVERIFY(device->close());
}

// set-serial writes FA and the board answers with its new serial; a serial of another length is
// refused before any board is touched, and a board whose family keeps its serial says so.
void HidTest::setSerial() {
    hidemu::HidrawBus bus;
    const Board first = addBoard(bus, "SAME1", 8, 1);
    const Board second = addBoard(bus, "SAME1", 8, 2);
    Cli cli;
    QCOMPARE(cli.run({"set-serial", "RELAY", "--board", "1-2"}).first, 0);
    QCOMPARE(second.firmware.serial(), std::string("RELAY"));
    QCOMPARE(second.firmware.commands(), (Frames{{0xFA, 'R', 'E', 'L', 'A', 'Y'}}));
    QCOMPARE(cli.run({"get", "--board", "RELAY"}).first, 0); // its serial names it now
    QCOMPARE(cli.run({"get", "--board", "SAME1"}).first, 0);
    for (const char* bad : {"ABC", "TOOLONG", "AB CD"}) {
        QCOMPARE(cli.run({"set-serial", bad, "--board", "SAME1"}).first, 2);
        QVERIFY2(cli.lastError().contains("five"), qPrintable(cli.lastError()));
    }
    QVERIFY(first.firmware.commands().empty());
    cli.environment().insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QStringLiteral("1"));
    QCOMPARE(cli.run({"set-serial", "NEWSR"}).first, 1);
    QVERIFY2(cli.lastError().contains("cannot be changed"), qPrintable(cli.lastError()));
}

// An opened board is held: another process finds it taken, and takes it once it is let go.
void HidTest::heldBoardIsRefusedToOtherProcesses() {
    hidemu::HidrawBus bus;
    const Board board = addBoard(bus, "HELD1", 8, 1);
    devices::hid::HidFamily family;
    QCOMPARE(family.enumerate().size(), std::size_t{1});
    const std::unique_ptr<devices::RelayDevice> held = family.open(0);
    QVERIFY(held->isOpen());
    Cli cli;
    QCOMPARE(cli.run({"set", "11000000"}).first, 1);
    QVERIFY(board.firmware.commands().empty());
    QVERIFY(held->close());
    QCOMPARE(cli.run({"set", "11000000"}).first, 0);
    QCOMPARE(board.firmware.relays(), 0x03);
}

// A board that takes requests and never answers fails each call within the bound (NoAnswer),
// holds up neither its caller nor the other boards, and answers again once it does.
void HidTest::wedgedBoardFailsWithinTheBound() {
    hidemu::HidrawBus bus;
    const Board wedged = addBoard(bus, "WEDGE", 8, 1);
    const Board fine = addBoard(bus, "FINE1", 8, 2);
    devices::hid::HidFamily family;
    QCOMPARE(family.enumerate().size(), std::size_t{2});
    const std::unique_ptr<devices::RelayDevice> device = family.open(0);
    const std::unique_ptr<devices::RelayDevice> other = family.open(1);
    QVERIFY(device->isOpen() && other->isOpen());
    wedged.device.setWedged(true);
    QElapsedTimer clock;
    clock.start();
    const devices::Result<void> written = device->writeRelays(0x01);
    QVERIFY(!written);
    QCOMPARE(written.failure().kind, devices::Failure::Kind::NoAnswer);
    QVERIFY2(clock.elapsed() < 5000, "the call was not bounded");
    // Still stuck: the next call fails within the bound too, rather than queueing behind it.
    QCOMPARE(device->readRelays().failure().kind, devices::Failure::Kind::NoAnswer);
    QVERIFY(other->writeRelays(0x80));
    QCOMPARE(fine.firmware.relays(), 0x80);
    // Answering again, it takes the next call, though the one given up on may still be ending.
    wedged.device.setWedged(false);
    QVERIFY(device->readRelays().ok());
    wedged.device.setWedged(true);
    // The command line on the wedged board fails, and ends.
    Cli cli;
    QVERIFY(device->close());
    QCOMPARE(cli.run({"get", "--board", "1-1"}).first, 1);
    wedged.device.setWedged(false);
    const std::unique_ptr<devices::RelayDevice> again = family.open(0);
    QTRY_VERIFY(again->readRelays().ok());
    QVERIFY(again->writeRelays(0x01));
    QCOMPARE(wedged.firmware.relays(), 0x01);
    QVERIFY(again->close() && other->close());
}

// A board pulled out fails its calls as Gone.
void HidTest::unpluggedBoardIsGone() {
    hidemu::HidrawBus bus;
    hidemu::EmulatedHidraw& device = addBoard(bus, "GONE1", 8, 1).device;
    devices::hid::HidFamily family;
    QCOMPARE(family.enumerate().size(), std::size_t{1});
    const std::unique_ptr<devices::RelayDevice> opened = family.open(0);
    QVERIFY(opened->readRelays());
    bus.unplug(device);
    QCOMPARE(opened->readRelays().failure().kind, devices::Failure::Kind::Gone);
    QCOMPARE(opened->writeRelays(0xFF).failure().kind, devices::Failure::Kind::Gone);
    QVERIFY(family.enumerate().empty());
}

int main(int argc, char* argv[]) {
    if (!hidemu::HidrawBus::available()) {
        std::puts("skipped: run under umockdev-wrapper to emulate the HID boards");
        return kSkipped;
    }
    QCoreApplication application(argc, argv);
    HidTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_hid.moc"
