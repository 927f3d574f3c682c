// The real-board backend's own logic, against a fake of the few USB/FTDI calls it makes: which
// devices count as boards, their order, status mapping, and that nothing resets the outputs.
#include "devices/ftdi/FtdiDriver.h"
#include "devices/ftdi/FtdiFamily.h"
#include "support/Boards.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace ftdi = devices::ftdi;

namespace {

using ftdi::UsbDevice;

UsbDevice device(std::uint16_t vendor, std::uint16_t product, std::uint8_t bus,
                 std::vector<std::uint8_t> ports, std::string serial = {}) {
    UsbDevice d;
    d.vendor = vendor;
    d.product = product;
    d.bus = bus;
    d.ports = std::move(ports);
    d.serial = std::move(serial);
    return d;
}

struct FakeFtdi final : ftdi::FtdiApi {
    std::vector<UsbDevice> devices;
    std::vector<std::string> calls;
    int result = 0; // what the chip calls return
    bool openFails = false;
    int lastTimeout = 0;
    std::uint8_t pins = 0x3C;

    std::vector<UsbDevice> listDevices() override { return devices; }
    void* open(const UsbDevice& d, int timeoutMs) override {
        lastTimeout = timeoutMs;
        calls.push_back("open " + std::to_string(d.bus) + ":" + std::to_string(d.ports.back()));
        return openFails ? nullptr : this;
    }
    int setBitmode(void*, std::uint8_t mask, std::uint8_t mode) override {
        calls.push_back("bitmode " + std::to_string(mask) + " " + std::to_string(mode));
        return result;
    }
    int setBaudrate(void*, int rate) override {
        calls.push_back("baud " + std::to_string(rate));
        return result;
    }
    int writeData(void*, const std::uint8_t*, int size) override {
        calls.push_back("write");
        return result < 0 ? result : size;
    }
    int readPins(void*, std::uint8_t* out) override {
        calls.push_back("readpins");
        *out = pins;
        return result;
    }
    void close(void*) override { calls.push_back("close"); }
};

// Boards whose chip calls take a while: the second one opened hangs for its USB timeout on every
// write, as a wedged board does. Each open gets a context of its own.
struct WedgingFtdi final : ftdi::FtdiApi {
    std::vector<UsbDevice> devices;
    std::atomic<int> opened{0};
    std::atomic<int> closed{0};

    std::vector<UsbDevice> listDevices() override { return devices; }
    void* open(const UsbDevice&, int) override {
        return reinterpret_cast<void*>(static_cast<std::uintptr_t>(++opened));
    }
    int setBitmode(void*, std::uint8_t, std::uint8_t) override { return 0; }
    int setBaudrate(void*, int) override { return 0; }
    int writeData(void* context, const std::uint8_t*, int size) override {
        if (context != reinterpret_cast<void*>(std::uintptr_t{2}))
            return size;
        std::this_thread::sleep_for(std::chrono::milliseconds(ftdi::FtdiDriver::kUsbTimeoutMs));
        return -7; // timed out
    }
    int readPins(void*, std::uint8_t*) override { return 0; }
    void close(void*) override { ++closed; }
};

} // namespace

class FtdiTest : public QObject {
    Q_OBJECT
private slots:
    void countsOnlyRelayBoardsInAStableOrder();
    void extraIdsAreParsedStrictly();
    void opensByIndexWithShortTimeoutsAndNoReset();
    void negativeResultsBecomeFailures();
    void aWedgedBoardHoldsUpOnlyItsOwnCalls();
    void familyDescribesOpensAndChecksBoards();
    void aDenkovi4BoardSpeaksRelaysAndTheChipBits();
};

void FtdiTest::countsOnlyRelayBoardsInAStableOrder() {
    const std::vector<UsbDevice> all{
        device(0x0403, 0x6001, 2, {1, 4}, "B"), device(0x1a86, 0x7523, 1, {1}), // CH340 serial
        device(0x0403, 0x6010, 1, {2}),                                         // FT2232 programmer
        device(0x0403, 0x6001, 1, {3}, "Z"),    device(0x0403, 0x6015, 2, {1, 2}),
    };
    const auto boards = ftdi::matchRelayBoards(all, ftdi::builtInRelayBoardIds());
    QCOMPARE(boards.size(), std::size_t{3});
    QCOMPARE(boards[0].bus, 1);
    QCOMPARE(boards[1].ports, (std::vector<std::uint8_t>{1, 2}));
    QCOMPARE(boards[2].serial, std::string("B"));
    auto fake = std::make_unique<FakeFtdi>();
    fake->devices = all;
    ftdi::FtdiDriver driver(std::move(fake), ftdi::builtInRelayBoardIds());
    std::uint32_t count = 0;
    QVERIFY(ftdi::succeeded(driver.countDevices(count)));
    QCOMPARE(count, 3u);
}

void FtdiTest::extraIdsAreParsedStrictly() {
    const auto ids = ftdi::parseUsbIds("1234:abcd,bad,0403:60xx,ffff:0001,12345:1");
    QCOMPARE(ids.size(), std::size_t{2});
    QCOMPARE(ids[0].vendor, 0x1234);
    QCOMPARE(ids[0].product, 0xabcd);
    QCOMPARE(ids[1].vendor, 0xffff);
}

void FtdiTest::opensByIndexWithShortTimeoutsAndNoReset() {
    auto owned = std::make_unique<FakeFtdi>();
    FakeFtdi& fake = *owned;
    fake.devices = {device(0x0403, 0x6001, 3, {7}), device(0x0403, 0x6001, 1, {5})};
    ftdi::FtdiDriver driver(std::move(owned), ftdi::builtInRelayBoardIds());
    ftdi::Handle handle = 0;
    QCOMPARE(driver.openByIndex(2, handle), ftdi::Status::DeviceNotFound);
    QCOMPARE(handle, ftdi::Handle{0});
    QVERIFY(ftdi::succeeded(driver.openByIndex(1, handle)));
    QVERIFY(handle != 0);
    QVERIFY(fake.lastTimeout > 0 && fake.lastTimeout <= 500);
    // The handle tells which board it opened, as the bus described it then.
    QCOMPARE(driver.describeOpened(handle).value_or(ftdi::BoardInfo{}).portPath,
             std::string("3-7"));
    driver.setBitMode(handle, 0xFF, 1);
    driver.setBaudRate(handle, 115200);
    std::uint8_t pins = 0;
    QVERIFY(ftdi::succeeded(driver.readPins(handle, pins)));
    QCOMPARE(pins, 0x3C);
    QVERIFY(ftdi::succeeded(driver.close(handle)));
    // Bus 3 is the second board; opening, set-up and close never reset the outputs or write.
    QCOMPARE(fake.calls, (std::vector<std::string>{"open 3:7", "bitmode 255 1", "baud 115200",
                                                   "readpins", "close"}));
    QCOMPARE(driver.close(handle), ftdi::Status::InvalidHandle);
    QVERIFY(!driver.describeOpened(handle));
}

void FtdiTest::negativeResultsBecomeFailures() {
    auto owned = std::make_unique<FakeFtdi>();
    FakeFtdi& fake = *owned;
    fake.devices = {device(0x0403, 0x6001, 1, {1})};
    ftdi::FtdiDriver driver(std::move(owned), ftdi::builtInRelayBoardIds());
    ftdi::Handle handle = 0;
    QVERIFY(ftdi::succeeded(driver.openByIndex(0, handle)));
    fake.result = -666; // a USB timeout or an unplugged board
    std::uint8_t pins = 0x11;
    QVERIFY(!ftdi::succeeded(driver.readPins(handle, pins)));
    QCOMPARE(pins, 0x11); // a failed read changes nothing
    const std::uint8_t byte = 1;
    std::uint32_t written = 9;
    QVERIFY(!ftdi::succeeded(driver.write(handle, &byte, 1, written)));
    QCOMPARE(written, 0u);
    QVERIFY(!ftdi::succeeded(driver.setBitMode(handle, 0xFF, 1)));
    QCOMPARE(driver.readPins(0, pins), ftdi::Status::InvalidHandle);
    fake.openFails = true;
    ftdi::Handle second = 0;
    QCOMPARE(driver.openByIndex(0, second), ftdi::Status::DeviceNotOpened);
    QCOMPARE(second, ftdi::Handle{0});
}

// While one board's write waits out its timeout on one thread, another board is written, the bus
// counted and a third board opened and closed from others, and nothing waits for the wedged one.
void FtdiTest::aWedgedBoardHoldsUpOnlyItsOwnCalls() {
    auto owned = std::make_unique<WedgingFtdi>();
    WedgingFtdi& fake = *owned;
    fake.devices = {device(0x0403, 0x6001, 1, {1}), device(0x0403, 0x6001, 1, {2}),
                    device(0x0403, 0x6001, 1, {3})};
    ftdi::FtdiDriver driver(std::move(owned), ftdi::builtInRelayBoardIds());
    ftdi::Handle first = 0;
    ftdi::Handle wedged = 0;
    QVERIFY(ftdi::succeeded(driver.openByIndex(0, first)));
    QVERIFY(ftdi::succeeded(driver.openByIndex(1, wedged)));
    std::atomic<bool> wedgedCallDone{false};
    std::thread hanging([&] {
        const std::uint8_t byte = 1;
        std::uint32_t written = 0;
        driver.write(wedged, &byte, 1, written);
        wedgedCallDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) {
            const std::uint8_t byte = 2;
            std::uint32_t written = 0;
            driver.write(first, &byte, 1, written);
        }
    });
    std::uint32_t count = 0;
    driver.countDevices(count);
    ftdi::Handle third = 0;
    const bool openedThird = ftdi::succeeded(driver.openByIndex(2, third));
    const bool closedThird = ftdi::succeeded(driver.close(third));
    other.join();
    const bool answeredMeanwhile = !wedgedCallDone;
    hanging.join();
    QVERIFY(answeredMeanwhile);
    QCOMPARE(count, 3u);
    QVERIFY(openedThird && closedThird);
    QCOMPARE(fake.closed.load(), 1);
}

// The family over the driver: boards described by the bus, opened and set up, their relays read
// and written, failures told apart; a board checked on opening that is another is closed unset.
void FtdiTest::familyDescribesOpensAndChecksBoards() {
    auto owned = std::make_unique<FakeFtdi>();
    FakeFtdi& fake = *owned;
    fake.devices = {device(0x0403, 0x6001, 1, {4}, "A9XK3L"), device(0x0403, 0x6001, 2, {1, 3})};
    ftdi::FtdiFamily family(
        std::make_unique<ftdi::FtdiDriver>(std::move(owned), ftdi::builtInRelayBoardIds()));
    const std::vector<devices::DeviceInfo> boards = family.enumerate();
    QCOMPARE(boards.size(), std::size_t{2});
    QCOMPARE(boards[0].family, std::string("ftdi"));
    QCOMPARE(boards[0].serial, std::string("A9XK3L"));
    QCOMPARE(boards[1].portPath, std::string("2-1.3"));
    const std::unique_ptr<devices::RelayDevice> board = family.open(1);
    QCOMPARE(board->info().portPath, std::string("2-1.3"));
    QCOMPARE(board->readRelays().value(), 0x3C);
    QVERIFY(board->writeRelays(0x01));
    fake.result = -5;
    QCOMPARE(board->writeRelays(0x02).failure().kind, devices::Failure::Kind::Io);
    fake.result = 0;
    QVERIFY(board->close());
    QCOMPARE(board->close().failure().kind, devices::Failure::Kind::NotOpen);
    QCOMPARE(family.unopened()->readRelays().failure().kind, devices::Failure::Kind::NotOpen);
    QCOMPARE(fake.calls, (std::vector<std::string>{"open 2:3", "bitmode 255 1", "baud 115200",
                                                   "readpins", "write", "write", "close"}));
    fake.calls.clear();
    QVERIFY(!family.openExpecting(0, boards[1])->isOpen());
    QCOMPARE(fake.calls, (std::vector<std::string>{"open 1:4", "close"}));
}

// A board configured as denkovi4 has four relays on D1, D3, D5, D7; the other board, unnamed,
// keeps relay n on bit n-1.
void FtdiTest::aDenkovi4BoardSpeaksRelaysAndTheChipBits() {
    Log log;
    RecordingDriver driver(log);
    driver.devices = 2;
    driver.boards = {{"D4RLY", "1-1", {}}, {"A9XK3L", "1-2", {}}};
    ftdi::FtdiFamily family(driver);
    devices::ConfiguredBoard section{"D4RLY", "boards.conf:1", {}};
    section.settings["family"] = {"ftdi", "boards.conf:2"};
    section.settings["profile"] = {"denkovi5", "boards.conf:3"};
    QCOMPARE(family.configure({section}).value_or(devices::ConfigError{}).message,
             std::string("boards.conf:3: unknown ftdi profile denkovi5 (default or denkovi4)"));
    section.settings["profile"].value = "denkovi4";
    QVERIFY(!family.configure({section}));

    const std::vector<devices::DeviceInfo> boards = family.enumerate();
    QCOMPARE(boards[0].relayCount, 4);
    QCOMPARE(boards[1].relayCount, 8);
    const std::unique_ptr<devices::RelayDevice> four = family.open(0);
    QVERIFY(four->writeRelays(0x0F));
    QVERIFY(four->writeRelays(0x05)); // relays 1 and 3
    QVERIFY(four->writeRelays(0xF8)); // relay 4; relays past the fourth have no pin
    QCOMPARE(driver.writes, (std::vector<std::uint8_t>{0xAA, 0x22, 0x80}));
    driver.pins = 0x5A; // D1, D3 high (relays 1 and 2), the even pins are no relay's
    QCOMPARE(four->readRelays().value(), 0x03);
    QVERIFY(four->close());

    driver.writes.clear();
    const std::unique_ptr<devices::RelayDevice> eight = family.open(1);
    QVERIFY(eight->writeRelays(0x0F));
    QCOMPARE(driver.writes, std::vector<std::uint8_t>{0x0F});
    QCOMPARE(eight->readRelays().value(), 0x0F);
}

QTEST_MAIN(FtdiTest)
#include "test_ftdi.moc"
