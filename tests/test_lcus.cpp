// LCUS boards as the program drives them: the serial kind on a pseudo-terminal whose far end
// takes each frame apart and checks its sum, as a board does before it switches a relay.
#include "devices/Config.h"
#include "devices/lcus/LcusFamily.h"
#include "support/Cli.h"
#include "support/PseudoTerminal.h"
#ifdef TAMBROOK_LCUS_HID_RIG
#include "support/EmulatedHidraw.h"
#endif

#include <QtTest>

#include <variant>

using devices::Failure;
using devices::lcus::LcusFamily;

namespace {

struct Frame {
    int relay;
    bool on;
    bool operator==(const Frame&) const = default;
};

// The frames that reached the board; a byte out of frame or a wrong sum fails the test.
std::vector<Frame> framesOf(const QByteArray& bytes) {
    std::vector<Frame> frames;
    if (bytes.size() % 4 != 0) {
        qWarning() << "not whole frames:" << bytes.toHex(' ');
        return {{-1, false}};
    }
    for (qsizetype at = 0; at < bytes.size(); at += 4) {
        const auto byte = [&](int i) { return static_cast<std::uint8_t>(bytes[at + i]); };
        const bool whole = byte(0) == 0xA0 && byte(2) <= 1 &&
                           byte(3) == static_cast<std::uint8_t>(byte(0) + byte(1) + byte(2));
        frames.push_back(whole ? Frame{byte(1), byte(2) == 1} : Frame{-1, false});
    }
    return frames;
}

std::vector<devices::ConfiguredBoard> sections(const std::string& text) {
    auto parsed = devices::parseConfiguration(text, "boards.conf");
    if (!std::holds_alternative<devices::Configuration>(parsed))
        return {};
    return std::get<devices::Configuration>(parsed).boards;
}

std::string refusal(const std::string& text) {
    LcusFamily family(false);
    const std::optional<devices::ConfigError> error = family.configure(sections(text));
    return error ? error->message : std::string();
}

std::string boardAt(const PseudoTerminal& port, const std::string& relays) {
    return "[bench]\nfamily = lcus\ndevice = " + port.path().toStdString() + "\n" + relays;
}

#ifdef TAMBROOK_LCUS_HID_RIG
// An LCUS board of the HID kind: each output report (report id 0, then a frame) is checked as
// the serial kind's far end checks its bytes, and kept.
class LcusHidFirmware final : public hidemu::Behaviour {
public:
    int output(const std::vector<std::uint8_t>& report) override {
        const std::lock_guard guard(lock_);
        if (report.size() < 5 || report[0] != 0) {
            frames_.push_back({-1, false});
            return EPIPE;
        }
        const std::vector<Frame> frame =
            framesOf(QByteArray(reinterpret_cast<const char*>(report.data() + 1), 4));
        frames_.push_back(frame.front());
        return 0;
    }
    std::vector<Frame> take() {
        const std::lock_guard guard(lock_);
        return std::exchange(frames_, {});
    }

private:
    std::mutex lock_;
    std::vector<Frame> frames_;
};
#endif

} // namespace

class TestLcus : public QObject {
    Q_OBJECT

private slots:
    void configurationIsCheckedLineByLine();
    void framesOnlyTheRelaysThatChange();
    void heldAgainstASecondOpening();
    void aPortThatTakesNothingIsBounded();
    void anUnpluggedPortIsGone();
    void theHidKindIsFoundAndFramed();
    void aBoardNamedOnTheCommandLine();
};

void TestLcus::configurationIsCheckedLineByLine() {
    QCOMPARE(refusal("[a]\nfamily = lcus\ndevice = /dev/ttyUSB0\nrelays = 4\nbaud = 19200\n"
                     "relay2.name = pump\n"),
             std::string());
    QCOMPARE(refusal("[a]\nfamily = lcus\ndevice = /dev/ttyUSB0\nspeed = 9600\n"),
             std::string("boards.conf:4: a: lcus boards take no \"speed\" (their keys are device, "
                         "relays and baud)"));
    QVERIFY(refusal("[a]\nfamily = lcus\ndevice = /dev/ttyUSB0\n\nrelays = 16\n")
                .starts_with("boards.conf:5: a: relays = 16"));
    QVERIFY(refusal("[a]\nfamily = lcus\ndevice = /dev/ttyUSB0\nbaud = 9601\n")
                .starts_with("boards.conf:4: a: baud = 9601"));
    QVERIFY(refusal("[a]\nfamily = lcus\nrelays = 2\n").starts_with("boards.conf:1: a: "));
    QVERIFY(refusal("[a]\nfamily = lcus\ndevice = hid:1-3\nbaud = 9600\n")
                .starts_with("boards.conf:4: a: "));
    QVERIFY(refusal("[a]\nfamily = lcus\ndevice = /dev/ttyUSB0\nrelayx.name = b\n")
                .starts_with("boards.conf:4: "));
}

void TestLcus::framesOnlyTheRelaysThatChange() {
    PseudoTerminal port;
    QVERIFY(port.isOpen());
    LcusFamily family(false);
    QVERIFY(!family.configure(sections(boardAt(port, "relays = 4\n"))));
    const std::vector<devices::DeviceInfo> boards = family.enumerate();
    QCOMPARE(boards.size(), 1u);
    QCOMPARE(boards[0].family, std::string("lcus"));
    QCOMPARE(boards[0].relayCount, 4);
    QVERIFY(!boards[0].readsBack);
    QCOMPARE(boards[0].portPath, port.path().toStdString());
    QCOMPARE(boards[0].name, std::string("bench"));

    const std::unique_ptr<devices::RelayDevice> board = family.open(0);
    QVERIFY(board->isOpen());
    QCOMPARE(board->knownRelays(), 0);
    QVERIFY(port.take().isEmpty()); // opening switches nothing

    // Every relay is unknown, so every one is framed, zeros as well.
    QVERIFY(board->writeRelays(0b0101).ok());
    QCOMPARE(framesOf(port.take()),
             (std::vector<Frame>{{1, true}, {2, false}, {3, true}, {4, false}}));
    QCOMPARE(board->knownRelays(), 0x0F);
    QVERIFY(board->writeRelays(0b0110).ok());
    QCOMPARE(framesOf(port.take()), (std::vector<Frame>{{1, false}, {2, true}}));
    QVERIFY(board->writeRelays(0b0110).ok());
    QVERIFY(port.take().isEmpty());
    QCOMPARE(board->readRelays().value(), 0b0110);

    // Relay 5 is not on this board: nothing at all is sent.
    const devices::Result<void> beyond = board->writeRelays(0b10001);
    QVERIFY(!beyond.ok());
    QCOMPARE(beyond.failure().kind, Failure::Kind::Refused);
    QVERIFY(port.take().isEmpty());
    QCOMPARE(board->readRelays().value(), 0b0110);
}

void TestLcus::heldAgainstASecondOpening() {
    PseudoTerminal port;
    LcusFamily family(false);
    QVERIFY(!family.configure(sections(boardAt(port, ""))));
    QCOMPARE(family.enumerate().at(0).relayCount, 8);
    const std::unique_ptr<devices::RelayDevice> first = family.open(0);
    QVERIFY(first->isOpen());
    QVERIFY(!family.open(0)->isOpen());
    QVERIFY(first->close().ok());
    QVERIFY(family.open(0)->isOpen());
}

// The far end stops reading: the port's queue fills and a frame cannot leave. The write gives up
// instead of hanging its caller, and the relay whose frame did not go is unknown again.
void TestLcus::aPortThatTakesNothingIsBounded() {
    PseudoTerminal port;
    LcusFamily family(false);
    QVERIFY(!family.configure(sections(boardAt(port, "relays = 2\n"))));
    family.enumerate();
    const std::unique_ptr<devices::RelayDevice> board = family.open(0);
    std::uint8_t pattern = 0;
    devices::Result<void> written;
    for (int step = 0; step < 100000 && written.ok(); ++step) {
        pattern ^= 0b11;
        written = board->writeRelays(pattern);
    }
    QVERIFY(!written.ok());
    QCOMPARE(written.failure().kind, Failure::Kind::NoAnswer);
    const std::uint8_t unknown = ~board->knownRelays() & 0b11;
    QVERIFY(unknown != 0);

    // The far end reads again: what was queued arrives as whole frames, and rewriting the known
    // relays' state frames only the unknown one.
    const QByteArray queued = port.take();
    QVERIFY(board->writeRelays(board->readRelays().value()).ok());
    const std::vector<Frame> frames = framesOf(queued + port.take());
    QVERIFY(!frames.empty());
    QVERIFY(std::none_of(frames.begin(), frames.end(), [](const Frame& f) { return f.relay < 0; }));
    QCOMPARE(frames.back(), (Frame{unknown == 0b01 ? 1 : 2, false}));
    QCOMPARE(board->knownRelays(), 0b11);
}

void TestLcus::anUnpluggedPortIsGone() {
    PseudoTerminal port;
    LcusFamily family(false);
    QVERIFY(!family.configure(sections(boardAt(port, "relays = 1\n"))));
    family.enumerate();
    const std::unique_ptr<devices::RelayDevice> board = family.open(0);
    QVERIFY(board->writeRelays(1).ok());
    port.hangUp();
    const devices::Result<void> written = board->writeRelays(0);
    QVERIFY(!written.ok());
    QCOMPARE(written.failure().kind, Failure::Kind::Gone);
    QCOMPARE(board->knownRelays(), 0);
    QVERIFY(family.enumerate().empty());
}

// The HID kind is found by its USB id alone (it has no strings), beside a board of another family
// on the same bus, and takes the serial kind's frames as output reports.
void TestLcus::theHidKindIsFoundAndFramed() {
#ifndef TAMBROOK_LCUS_HID_RIG
    QSKIP("built without the emulated hidraw rig (umockdev)");
#else
    if (!hidemu::HidrawBus::available())
        QSKIP("not under umockdev-wrapper");
    hidemu::HidrawBus bus;
    hidemu::HidrawSetup other;
    other.manufacturer = "www.dcttech.com";
    other.productName = "USBRelay2";
    other.port = 2;
    bus.add(other, std::make_unique<hidemu::UsbRelayFirmware>("AAAAA", 2));
    hidemu::HidrawSetup setup;
    setup.vendor = 0x5131;
    setup.product = 0x2007;
    setup.port = 3;
    auto firmware = std::make_unique<LcusHidFirmware>();
    LcusHidFirmware& lcus = *firmware;
    hidemu::EmulatedHidraw& node = bus.add(setup, std::move(firmware));

    LcusFamily family;
    const std::vector<devices::DeviceInfo> boards = family.enumerate();
    QCOMPARE(boards.size(), 1u);
    QCOMPARE(boards[0].portPath, node.portPath());
    QCOMPARE(boards[0].relayCount, 8);
    QVERIFY(!boards[0].readsBack);
    const std::unique_ptr<devices::RelayDevice> board = family.open(0);
    QVERIFY(board->isOpen());
    QVERIFY(lcus.take().empty());

    QVERIFY(board->writeRelays(0b10000001).ok());
    QCOMPARE(lcus.take(), (std::vector<Frame>{{1, true},
                                              {2, false},
                                              {3, false},
                                              {4, false},
                                              {5, false},
                                              {6, false},
                                              {7, false},
                                              {8, true}}));
    QVERIFY(board->writeRelays(0b10000010).ok());
    QCOMPARE(lcus.take(), (std::vector<Frame>{{1, false}, {2, true}}));

    // A board that takes no report: the write gives up, and the relay is unknown until the
    // board takes frames again.
    node.setWedged(true);
    const devices::Result<void> stuck = board->writeRelays(0b10000011);
    QVERIFY(!stuck.ok());
    QCOMPARE(stuck.failure().kind, Failure::Kind::NoAnswer);
    QCOMPARE(board->knownRelays(), 0b11111110);
    node.setWedged(false);
    QVERIFY(board->writeRelays(0b10000011).ok());
    QCOMPARE(lcus.take(), (std::vector<Frame>{{1, true}}));

    // Named by its port, it takes the section's relay count and name.
    QVERIFY(!family.configure(
        sections("[desk]\nfamily = lcus\ndevice = hid:" + node.portPath() + "\nrelays = 2\n")));
    const devices::DeviceInfo named = family.enumerate().at(0);
    QCOMPARE(named.relayCount, 2);
    QCOMPARE(named.name, std::string("desk"));

    bus.unplug(node);
    const devices::Result<void> written = board->writeRelays(0);
    QVERIFY(!written.ok());
    QCOMPARE(written.failure().kind, Failure::Kind::Gone);
#endif
}

// Named with --board, the board is listed by that name, and a process that opens it itself knows
// none of its relays: `on 3` frames relay 3 alone, and `get` says what is still unknown. A
// section of its id in boards.conf gives it options.
void TestLcus::aBoardNamedOnTheCommandLine() {
    PseudoTerminal port;
    QVERIFY(port.isOpen());
    CliRig rig(0);
    rig.environment().remove(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"));
    const QString board = QStringLiteral("lcus:") + port.path() + QStringLiteral(",relays=4");
    const QString id = QStringLiteral("lcus:") + port.path();
    // Options for it from boards.conf, in a section of its id.
    rig.write("boards.conf",
              ("[" + id + "]\nrelay3.name = Fan\nrelay2.invert = true\n").toLocal8Bit());

    const Result list = rig.run({"list", "--board", board});
    QCOMPARE(list.status, 0);
    const QStringList line = list.out.split(QLatin1Char('\n')).filter(id);
    QCOMPARE(line.size(), 1);
    QVERIFY2(line[0].contains(QStringLiteral(" lcus 4")), qPrintable(line[0]));
    QVERIFY2(list.out.contains(QStringLiteral("\n  relay 3: Fan\n")), qPrintable(list.out));

    QCOMPARE(rig.run({"on", "3", "--board", board}).status, 0);
    QCOMPARE(framesOf(port.take()), (std::vector<Frame>{{3, true}}));
    QCOMPARE(rig.run({"on", "6", "--board", board}).status, 2);
    const Result get = rig.run({"get", "--board", board});
    QCOMPARE(get.status, 1);
    QVERIFY2(get.errLines.join(QLatin1Char(' ')).contains(QStringLiteral("unknown")),
             qPrintable(get.errLines.join(QLatin1Char(' '))));
    QVERIFY(port.take().isEmpty());
    QCOMPARE(rig.run({"on", "2", "--board", board}).status, 0); // active-low: its frame is "off"
    QCOMPARE(framesOf(port.take()), (std::vector<Frame>{{2, false}}));
}

QTEST_GUILESS_MAIN(TestLcus)
#include "test_lcus.moc"
