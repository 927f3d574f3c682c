#pragma once

// An FT232R relay board emulated at the kernel's USB interface (usbdevfs) with umockdev, so that
// the real libftdi1 and libusb code runs against it. The chip is modelled from its documented
// behaviour: vendor requests for reset, bit mode, baud rate, latency timer and reading the pins;
// bulk OUT latching the last byte onto the pins in bit-bang mode; bulk IN packets that start with
// the two modem-status bytes. Boards can be unplugged (a "remove" uevent, then ENODEV), wedged
// (URBs that never complete) or take nothing of a bulk write (a short write), and can start as an
// earlier session left them.
//
// The process must run under umockdev-wrapper. ioctls are answered on umockdev's own thread, so
// every query here takes the board's lock.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;
class Testbed;

namespace usbemu {

struct BoardSetup {
    std::uint16_t vendor = 0x0403;
    std::uint16_t product = 0x6001;
    std::string serial = "A10K3RLY";
    int port = 1;             // on bus 1; also its device number + 1
    bool bitBang = false;     // left in asynchronous bit-bang mode by an earlier session
    std::uint8_t pins = 0x00; // ... with these pins
    // How long a bulk write takes to go through, as a full-speed board's waits for its USB
    // frames; 0: at once. Held on umockdev's thread, as the bus holds the host meanwhile.
    std::chrono::microseconds bulkWriteTime{0};
};

// What the board has seen and how it stands; a snapshot, taken under the board's lock.
struct BoardState {
    bool bitBang = false;
    std::uint8_t direction = 0; // the bit-bang direction mask
    std::uint8_t pins = 0;      // the output latch
    int bulkWrites = 0;         // bulk OUT transfers
    int setBitModeRequests = 0;
    int bitModeResets = 0; // SET_BITMODE with mode 0, or a USB port reset
    int sioResets = 0;
    int baudRateRequests = 0;
    int readPinsRequests = 0;
    int requests = 0;       // usbdevfs requests of any kind; none if never opened
    int driverDetaches = 0; // the kernel serial driver taken away from the interface
    int driverAttaches = 0; // ... and given back
    bool driverBound = true;
    std::vector<std::string> unknownRequests;
};

class EmulatedBoard {
public:
    explicit EmulatedBoard(BoardSetup setup);
    ~EmulatedBoard();
    EmulatedBoard(const EmulatedBoard&) = delete;
    EmulatedBoard& operator=(const EmulatedBoard&) = delete;

    const BoardSetup& setup() const { return setup_; }
    std::string devnode() const;
    std::string syspath() const { return syspath_; }
    void setSyspath(std::string path) { syspath_ = std::move(path); }
    UMockdevIoctlBase* handler() const { return handler_; }

    BoardState state() const;
    void setWedged(bool wedged);
    // Bulk writes complete without error but with nothing taken: a short write.
    void setShortWrites(bool shortWrites);
    void setUnplugged();
    // Called with the moment each bulk write's last byte is on the pins, on umockdev's thread.
    void onBulkWrite(std::function<void(std::chrono::steady_clock::time_point)> taken);

private:
    struct Urb;
    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void onClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                                 void* self);
    bool claim(UMockdevIoctlClient* client);
    bool handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* argument,
                std::unique_lock<std::mutex>& guard);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* argument);
    int control(const std::uint8_t* setup, std::uint8_t* data, int length);
    void resetToUart();

    BoardSetup setup_;
    std::string syspath_;
    UMockdevIoctlBase* handler_ = nullptr;
    mutable std::mutex lock_;
    BoardState state_;
    bool wedged_ = false;
    bool shortWrites_ = false;
    bool unplugged_ = false;
    std::function<void(std::chrono::steady_clock::time_point)> bulkWriteTaken_;
    UMockdevIoctlClient* claimedBy_ = nullptr;  // the device file holding the interface
    std::vector<UMockdevIoctlData*> inFlight_;  // submitted, not yet completed (referenced)
    std::vector<UMockdevIoctlData*> completed_; // completed, waiting to be reaped (referenced)
};

// A USB bus of emulated devices in a umockdev testbed.
class EmulatedBus {
public:
    EmulatedBus();
    // On another rig's testbed (the hidraw bus's), since a process has one: the boards' ports
    // must not be that rig's.
    explicit EmulatedBus(UMockdevTestbed* shared);
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;

    // Whether the process runs under umockdev-wrapper (asked once the testbed exists).
    static bool available();

    EmulatedBoard& add(BoardSetup setup);
    // Takes the board off the bus: a "remove" uevent, and ENODEV for every later request.
    void unplug(EmulatedBoard& board);

private:
    // As the hidraw bus: the boards go after the testbed has detached their handlers.
    std::vector<std::unique_ptr<EmulatedBoard>> boards_;
    const std::unique_ptr<Testbed> testbed_;
};

} // namespace usbemu
