// Modbus boards against libmodbus's own server: RTU on a pseudo-terminal, TCP on 127.0.0.1.

#include "devices/modbus/ModbusFamily.h"
#include "support/ModbusServer.h"

#include <QTest>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <sys/ioctl.h>
#include <unistd.h>

using devices::Failure;
using devices::RelayDevice;
using devices::modbus::ModbusFamily;
using namespace std::chrono_literals;

namespace {

constexpr int kReadCoils = 1;
constexpr int kWriteCoils = 15;

std::vector<devices::ConfiguredBoard> sectionsOf(const std::string& text) {
    auto parsed = devices::parseConfiguration(text, "boards.conf");
    if (auto* error = std::get_if<devices::ConfigError>(&parsed))
        qFatal("%s", error->message.c_str());
    return std::get<devices::Configuration>(parsed).boards;
}

// The board as the program opens it: configured, enumerated, opened at its index.
std::unique_ptr<RelayDevice> openBoard(ModbusFamily& family, const std::string& device,
                                       const std::string& keys = {}) {
    const auto refused =
        family.configure(sectionsOf("[relays]\nfamily = modbus\ndevice = " + device + "\n" + keys));
    if (refused)
        qFatal("%s", refused->message.c_str());
    if (family.enumerate().size() != 1)
        qFatal("the board at %s is not listed", device.c_str());
    return family.open(0);
}

std::unique_ptr<ModbusServer> serverFor(const QString& transport, int address = 1) {
    return transport == "rtu" ? ModbusServer::rtu(address) : ModbusServer::tcp();
}

bool sameRequests(const std::vector<ModbusServer::Request>& got,
                  const std::vector<ModbusServer::Request>& want) {
    return std::equal(got.begin(), got.end(), want.begin(), want.end(), [](auto& a, auto& b) {
        return a.function == b.function && a.first == b.first && a.count == b.count;
    });
}

} // namespace

class ModbusTest : public QObject {
    Q_OBJECT

private slots:
    void configurationIsChecked_data();
    void configurationIsChecked();
    void configuredBoardsAreListed();
    void transports_data();
    void coilsRoundTripInOneRequestEach_data() { transports_data(); }
    void coilsRoundTripInOneRequestEach();
    void onlyTheBoardsRelaysAreTouched();
    void slowBoardWithinAndBeyondTheBound_data() { transports_data(); }
    void slowBoardWithinAndBeyondTheBound();
    void exceptionRepliesSayWhy_data() { transports_data(); }
    void exceptionRepliesSayWhy();
    void serialPortIsHeld();
    void boardGone_data() { transports_data(); }
    void boardGone();
    void droppedConnectionIsMadeAgain();
    void hostNamesAreLookedUp();
};

void ModbusTest::configurationIsChecked_data() {
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("message"); // empty: taken

    QTest::newRow("defaults") << "device = /dev/ttyUSB0\n"
                              << "";
    QTest::newRow("relay options are not ours") << "device = /dev/ttyUSB0\nrelay3.label = pump\n"
                                                << "";
    QTest::newRow("tcp with port and unit") << "device = tcp://[::1]:1502\naddress = 0\n"
                                            << "";
    QTest::newRow("unknown key") << "device = /dev/ttyUSB0\nprofile = denkovi4\n"
                                 << "boards.conf:4: modbus board relays: unknown key profile";
    QTest::newRow("nine relays") << "device = /dev/ttyUSB0\nrelays = 9\n"
                                 << "boards.conf:4:";
    QTest::newRow("broadcast address") << "device = /dev/ttyUSB0\naddress = 0\n"
                                       << "boards.conf:4:";
    QTest::newRow("address past 247") << "device = /dev/ttyUSB0\naddress = 248\n"
                                      << "boards.conf:4:";
    QTest::newRow("odd baud") << "device = /dev/ttyUSB0\nbaud = 9601\n"
                              << "boards.conf:4:";
    QTest::newRow("baud on tcp") << "device = tcp://relays.lan\nbaud = 9600\n"
                                 << "boards.conf:4:";
    QTest::newRow("bad port") << "device = tcp://relays.lan:70000\n"
                              << "boards.conf:3:";
    QTest::newRow("empty port") << "device = tcp://relays.lan:\n"
                                << "boards.conf:3:";
    QTest::newRow("no host") << "device = tcp://:502\n"
                             << "boards.conf:3:";
    QTest::newRow("no device") << "relays = 4\n"
                               << "boards.conf:1:";
}

void ModbusTest::configurationIsChecked() {
    QFETCH(QString, keys);
    QFETCH(QString, message);
    ModbusFamily family;
    const auto refused =
        family.configure(sectionsOf("[relays]\nfamily = modbus\n" + keys.toStdString()));
    if (message.isEmpty())
        QVERIFY2(!refused, refused ? refused->message.c_str() : "");
    else
        QVERIFY2(refused && QString::fromStdString(refused->message).startsWith(message),
                 refused ? refused->message.c_str() : "taken");
}

// A serial port that is not there is a board unplugged; a network board cannot be looked for
// without asking the network, so it is always listed.
void ModbusTest::configuredBoardsAreListed() {
    ModbusFamily family;
    QVERIFY(!family.configure(sectionsOf("[away]\nfamily = modbus\ndevice = /dev/no-such-tty\n"
                                         "[lan]\nfamily = modbus\ndevice = tcp://relays.lan\n"
                                         "relays = 4\n")));
    const std::vector<devices::DeviceInfo> listed = family.enumerate();
    QCOMPARE(listed.size(), 1U);
    QCOMPARE(listed[0].family, "modbus");
    QCOMPARE(listed[0].name, "lan");
    QCOMPARE(listed[0].portPath, "tcp://relays.lan");
    QCOMPARE(listed[0].relayCount, 4);
    QVERIFY(listed[0].readsBack);
    // A refused configuration leaves the boards as they were.
    QVERIFY(family.configure(sectionsOf("[x]\nfamily = modbus\ndevice = tcp://h\nbaud = 1\n")));
    QCOMPARE(family.enumerate().size(), 1U);
}

void ModbusTest::transports_data() {
    QTest::addColumn<QString>("transport");
    QTest::newRow("rtu") << "rtu";
    QTest::newRow("tcp") << "tcp";
}

void ModbusTest::coilsRoundTripInOneRequestEach() {
    QFETCH(QString, transport);
    const auto server = serverFor(transport, 3);
    ModbusFamily family;
    const auto board = openBoard(family, server->device(), "address = 3\n");
    QVERIFY(board->isOpen());

    QVERIFY(board->writeRelays(0xA5));
    QCOMPARE(server->coils(), 0xA5);
    server->setCoils(0x3C);
    const devices::Result<std::uint8_t> read = board->readRelays();
    QVERIFY2(read, read ? "" : read.failure().detail.c_str());
    QCOMPARE(read.value(), 0x3C);
    QVERIFY(sameRequests(server->requests(), {{kWriteCoils, 0, 8}, {kReadCoils, 0, 8}}));
}

void ModbusTest::onlyTheBoardsRelaysAreTouched() {
    const auto server = ModbusServer::rtu();
    server->setCoils(0xF0);
    ModbusFamily family;
    const auto board = openBoard(family, server->device(), "relays = 4\n");
    QVERIFY(board->writeRelays(0x05));
    QCOMPARE(server->coils(), 0xF5);
    const devices::Result<std::uint8_t> read = board->readRelays();
    QVERIFY(read);
    QCOMPARE(read.value(), 0x05);
    QVERIFY(sameRequests(server->requests(), {{kWriteCoils, 0, 4}, {kReadCoils, 0, 4}}));
}

// A late answer is still on the line when the next request goes out; it must not be taken for
// that request's answer.
void ModbusTest::slowBoardWithinAndBeyondTheBound() {
    QFETCH(QString, transport);
    const auto server = serverFor(transport);
    server->setCoils(0x01);
    ModbusFamily family;
    const auto board = openBoard(family, server->device());

    server->answerAfter(50ms);
    QVERIFY(board->readRelays());
    server->answerAfter(900ms);
    const devices::Result<std::uint8_t> late = board->readRelays();
    QVERIFY(!late);
    QCOMPARE(late.failure().kind, Failure::Kind::NoAnswer);
    QVERIFY(server->waitForAnswers(2));

    server->answerAfter(0ms);
    server->setCoils(0x02);
    const devices::Result<std::uint8_t> next = board->readRelays();
    QVERIFY2(next, next ? "" : next.failure().detail.c_str());
    QCOMPARE(next.value(), 0x02);
}

void ModbusTest::exceptionRepliesSayWhy() {
    QFETCH(QString, transport);
    const auto server = serverFor(transport);
    ModbusFamily family;
    const auto board = openBoard(family, server->device());

    server->answerWithException(MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    const devices::Result<void> written = board->writeRelays(0x01);
    QVERIFY(!written);
    QCOMPARE(written.failure().kind, Failure::Kind::Refused);
    QVERIFY2(written.failure().detail.find("Illegal data address") != std::string::npos,
             written.failure().detail.c_str());

    server->answerWithException(MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    const devices::Result<std::uint8_t> read = board->readRelays();
    QVERIFY(!read);
    QCOMPARE(read.failure().kind, Failure::Kind::Io);
    QVERIFY(board->isOpen());
}

void ModbusTest::serialPortIsHeld() {
    const auto server = ModbusServer::rtu();
    ModbusFamily family;
    const auto first = openBoard(family, server->device());
    QVERIFY(first->isOpen());
    const auto second = family.open(0);
    QVERIFY(!second->isOpen());
    const devices::Result<void> written = second->writeRelays(0x01);
    QCOMPARE(written.failure().kind, Failure::Kind::Refused);
    // Other programs are kept off by the tty itself (root may still open it, as this test can).
    const int other = ::open(server->device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int exclusive = 0;
    if (other >= 0) {
        ::ioctl(other, TIOCGEXCL, &exclusive);
        ::close(other);
    }
    QVERIFY(other < 0 || exclusive);

    QVERIFY(first->close());
    QVERIFY(family.open(0)->isOpen());
}

void ModbusTest::boardGone() {
    QFETCH(QString, transport);
    const auto server = serverFor(transport);
    ModbusFamily family;
    const auto board = openBoard(family, server->device());
    QVERIFY(board->writeRelays(0x01));

    server->stop();
    const devices::Result<void> written = board->writeRelays(0x02);
    QVERIFY(!written);
    QCOMPARE(written.failure().kind, Failure::Kind::Gone);
    QVERIFY(!board->isOpen());
    QCOMPARE(board->readRelays().failure().kind, Failure::Kind::Gone);
}

// Gateways close a connection that was idle a while; the board is still there.
void ModbusTest::droppedConnectionIsMadeAgain() {
    const auto server = ModbusServer::tcp();
    ModbusFamily family;
    const auto board = openBoard(family, server->device());
    QVERIFY(board->writeRelays(0x01));
    server->dropConnection();
    const devices::Result<void> written = board->writeRelays(0x03);
    QVERIFY2(written, written ? "" : written.failure().detail.c_str());
    QCOMPARE(server->coils(), 0x03);
}

void ModbusTest::hostNamesAreLookedUp() {
    const auto server = ModbusServer::tcp();
    std::string named = server->device();
    named.replace(named.find("127.0.0.1"), 9, "localhost");
    ModbusFamily family;
    QVERIFY(openBoard(family, named)->writeRelays(0x01));
    QCOMPARE(server->coils(), 0x01);

    // Whether the name service says there is no such host or does not answer, within its bound.
    const auto nowhere = openBoard(family, "tcp://no-such-board.invalid");
    QVERIFY(!nowhere->isOpen());
    const Failure::Kind kind = nowhere->readRelays().failure().kind;
    QVERIFY(kind == Failure::Kind::Gone || kind == Failure::Kind::NoAnswer);
}

QTEST_GUILESS_MAIN(ModbusTest)
#include "test_modbus.moc"
