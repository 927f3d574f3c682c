#pragma once

// HID devices emulated at the kernel's hidraw interface with umockdev, so that the real hidapi
// (hidraw backend) and libudev code runs against them: a usb device with its strings, its
// interface, the hid device with its uevent (HID_ID, HID_NAME, HID_UNIQ) and report descriptor,
// and the hidraw node that answers HIDIOCGRDESCSIZE, HIDIOCGRDESC, HIDIOCGRAWINFO, HIDIOCSFEATURE
// and HIDIOCGFEATURE, and read() and write() as interrupt IN and OUT reports. What a device does
// with its reports is a behaviour object of the test's (UsbRelayFirmware below is the common
// firmware of the "USBRelayN" boards). A device can be wedged (no request is ever answered until
// it is unwedged or unplugged) or unplugged (a "remove" uevent, then ENODEV).
//
// The process must run under umockdev-wrapper, with the preload tambrook_test_hidraw_preload
// (HidrawPreload.c) after umockdev's own: it gives an emulated node the fstat() of a character
// device and makes flock() on one lock the node for every process, as the kernel does.
// Requests are answered on umockdev's own thread, so every query here takes the device's lock.

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
class Testbed;

namespace hidemu {

// What a device does with the reports it is sent. Called on umockdev's thread, one request at a
// time per device (under the device's lock). A report starts with its report id, 0 on a device
// without numbered reports, as hidraw gives it.
class Behaviour {
public:
    virtual ~Behaviour() = default;
    // HIDIOCSFEATURE. Returns 0, or the errno the kernel would give (EPIPE: the device stalled).
    virtual int setFeature(const std::vector<std::uint8_t>& /*report*/) { return EPIPE; }
    // HIDIOCGFEATURE: `report` comes with the caller's buffer size and the report id asked in
    // byte 0. Returns the bytes answered (report id included), or minus an errno.
    virtual int getFeature(std::vector<std::uint8_t>& /*report*/) { return -EPIPE; }
    // write(): an output report on the interrupt OUT endpoint. Returns 0 or an errno.
    virtual int output(const std::vector<std::uint8_t>& /*report*/) { return EPIPE; }
    // read(): the next input report, or nothing for none yet (EAGAIN).
    virtual std::vector<std::uint8_t> input() { return {}; }
};

struct HidrawSetup {
    std::uint16_t vendor = 0x16c0;
    std::uint16_t product = 0x05df;
    std::string manufacturer; // the USB strings; empty: the device has none
    std::string productName;
    std::string serial;
    int port = 1;                                 // on bus 1: USB device "1-<port>"
    std::vector<std::uint8_t> reportDescriptor{}; // empty: one vendor-defined 8-byte feature report
};

// The requests a device has seen; a snapshot, taken under its lock.
struct HidrawCounts {
    int requests = 0; // ioctls, reads and writes of any kind; none if never opened
    int featureSets = 0;
    int featureGets = 0;
    int outputReports = 0; // write() calls
    int inputReads = 0;    // read() calls
    int unanswered = 0;    // requests taken while wedged
    std::vector<std::string> unknownRequests;
};

class EmulatedHidraw {
public:
    EmulatedHidraw(HidrawSetup setup, std::unique_ptr<Behaviour> behaviour, int number);
    ~EmulatedHidraw();
    EmulatedHidraw(const EmulatedHidraw&) = delete;
    EmulatedHidraw& operator=(const EmulatedHidraw&) = delete;

    const HidrawSetup& setup() const { return setup_; }
    int number() const { return number_; } // N of /dev/hidrawN
    std::string devnode() const;
    std::string portPath() const; // "1-<port>", the USB device's name
    std::string usbSyspath() const;
    std::string hidrawSyspath() const;
    UMockdevIoctlBase* handler() const { return handler_; }
    const std::vector<std::uint8_t>& descriptor() const { return descriptor_; }
    // The behaviour object; read its state through its own lock.
    Behaviour& behaviour() const { return *behaviour_; }

    HidrawCounts counts() const;
    // Wedged: requests are taken and never answered; unwedging answers those waiting with EIO.
    void setWedged(bool wedged);
    void setUnplugged();

private:
    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static int onRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static int onWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void onClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                                 void* self);
    bool takenByWedge(UMockdevIoctlClient* client);
    void handleIoctl(UMockdevIoctlClient* client);
    void handleRead(UMockdevIoctlClient* client);
    void handleWrite(UMockdevIoctlClient* client);
    void answerWaiting(int error);

    const HidrawSetup setup_;
    const std::unique_ptr<Behaviour> behaviour_;
    const int number_;
    const std::vector<std::uint8_t> descriptor_;
    UMockdevIoctlBase* handler_ = nullptr;
    mutable std::mutex lock_;
    HidrawCounts counts_;
    bool wedged_ = false;
    bool unplugged_ = false;
    std::vector<UMockdevIoctlClient*> waiting_;  // taken while wedged (referenced)
    std::vector<UMockdevIoctlClient*> answered_; // answered since, still connected (referenced)
};

// The hidraw devices of a umockdev testbed.
class HidrawBus {
public:
    HidrawBus();
    ~HidrawBus();
    HidrawBus(const HidrawBus&) = delete;
    HidrawBus& operator=(const HidrawBus&) = delete;

    // Whether the process runs under umockdev-wrapper. Ask before making a bus: the testbed it
    // probes with takes the place of the bus's own for the rest of the process.
    static bool available();

    // Puts a device on the bus, with the "add" uevents of its USB device and its hidraw node.
    EmulatedHidraw& add(HidrawSetup setup, std::unique_ptr<Behaviour> behaviour);
    // Takes the device off the bus: a "remove" uevent, and ENODEV for every later request.
    void unplug(EmulatedHidraw& device);
    // For another rig's devices beside these (a process has one testbed).
    UMockdevTestbed* testbed() const;

private:
    // The devices are declared first so that they go last: the testbed detaches their handlers
    // first, so that umockdev's thread is in none of them when it is freed.
    std::vector<std::unique_ptr<EmulatedHidraw>> devices_;
    const std::unique_ptr<Testbed> testbed_;
    int nextNumber_ = 0;
};

// The common firmware of the "USBRelayN" boards (V-USB, 16c0:05df): one 8-byte feature report
// without a report id. GET_FEATURE answers the serial in bytes 0-4 and the relay bits in byte 7;
// SET_FEATURE takes FF n (relay n on), FD n (off), FE (all on), FC (all off) and FA s0..s4 (new
// serial). Output reports and other report ids are stalled, and counted.
class UsbRelayFirmware final : public Behaviour {
public:
    explicit UsbRelayFirmware(std::string serial, int relays = 8, std::uint8_t state = 0);

    int setFeature(const std::vector<std::uint8_t>& report) override;
    int getFeature(std::vector<std::uint8_t>& report) override;
    int output(const std::vector<std::uint8_t>& report) override;

    std::uint8_t relays() const;
    std::string serial() const;
    // Every command taken, its first bytes (the command and its argument, or all five of FA's).
    std::vector<std::vector<std::uint8_t>> commands() const;
    // Reports refused: output reports, other report ids, unknown commands.
    int refused() const;
    void clearCommands();

private:
    const int relayCount_;
    mutable std::mutex lock_;
    std::string serial_;
    std::uint8_t state_;
    std::vector<std::vector<std::uint8_t>> commands_;
    int refused_ = 0;
};

} // namespace hidemu
