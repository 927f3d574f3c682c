#include "support/EmulatedFt232r.h"

#include "support/Testbed.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <thread>

namespace usbemu {

namespace {

// FTDI vendor requests (bRequest) and what their wValue carries.
constexpr std::uint8_t kRequestReset = 0x00; // 0 = SIO reset, 1/2 = purge RX/TX
constexpr std::uint8_t kRequestSetBaudRate = 0x03;
constexpr std::uint8_t kRequestSetLatency = 0x09;
constexpr std::uint8_t kRequestGetLatency = 0x0A;
constexpr std::uint8_t kRequestSetBitMode = 0x0B; // high byte mode, low byte direction mask
constexpr std::uint8_t kRequestReadPins = 0x0C;
constexpr std::uint8_t kModeReset = 0x00;
constexpr std::uint8_t kModeAsyncBitBang = 0x01;
constexpr std::uint8_t kEndpointIn = 0x81;
constexpr std::uint8_t kEndpointOut = 0x02;
constexpr int kSetupSize = 8;
constexpr char kSerialDriver[] = "ftdi_sio";

// The device descriptor (18 bytes) and the configuration: one interface, bulk IN 0x81 and bulk
// OUT 0x02, 64-byte packets, as an FT232R reports them.
std::string descriptorsHex(const BoardSetup& setup) {
    const std::uint8_t bytes[] = {
        0x12,
        0x01,
        0x00,
        0x02,
        0x00,
        0x00,
        0x00,
        0x08, // USB 2.0, ep0 8
        static_cast<std::uint8_t>(setup.vendor & 0xFF),
        static_cast<std::uint8_t>(setup.vendor >> 8),
        static_cast<std::uint8_t>(setup.product & 0xFF),
        static_cast<std::uint8_t>(setup.product >> 8),
        0x00,
        0x06,
        0x01,
        0x02,
        0x03,
        0x01, // bcdDevice 6.00
        0x09,
        0x02,
        0x20,
        0x00,
        0x01,
        0x01,
        0x00,
        0xA0,
        0x2D, // configuration
        0x09,
        0x04,
        0x00,
        0x00,
        0x02,
        0xFF,
        0xFF,
        0xFF,
        0x02, // interface 0
        0x07,
        0x05,
        kEndpointIn,
        0x02,
        0x40,
        0x00,
        0x00, // bulk IN
        0x07,
        0x05,
        kEndpointOut,
        0x02,
        0x40,
        0x00,
        0x00, // bulk OUT
    };
    return hexOf(bytes);
}

// Writes `length` bytes into a resolved argument and marks them to be copied back to the caller.
void store(UMockdevIoctlData* data, std::size_t offset, const void* bytes, std::size_t length) {
    umockdev_ioctl_data_update(data, offset, static_cast<guint8*>(const_cast<void*>(bytes)),
                               static_cast<gint>(length));
}

} // namespace

// ---- EmulatedBoard ---------------------------------------------------------------------------

EmulatedBoard::EmulatedBoard(BoardSetup setup)
    : setup_(std::move(setup)) {
    state_.bitBang = setup_.bitBang;
    state_.direction = setup_.bitBang ? 0xFF : 0x00;
    state_.pins = setup_.pins;
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect_after(handler_, "handle-ioctl", G_CALLBACK(&EmulatedBoard::onIoctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&EmulatedBoard::onClientVanished),
                     this);
}

// A process that ends (or closes the device) without releasing the interface loses its claim, as
// the kernel releases it.
void EmulatedBoard::onClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* board = static_cast<EmulatedBoard*>(self);
    const std::lock_guard lock(board->lock_);
    if (board->claimedBy_ == client)
        board->claimedBy_ = nullptr;
}

// Only one open device file can claim the interface; another gets EBUSY, as from the kernel.
bool EmulatedBoard::claim(UMockdevIoctlClient* client) {
    if (claimedBy_ && claimedBy_ != client) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return false;
    }
    claimedBy_ = client;
    return true;
}

EmulatedBoard::~EmulatedBoard() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    for (UMockdevIoctlData* urb : inFlight_)
        umockdev_ioctl_data_unref(urb);
    for (UMockdevIoctlData* urb : completed_)
        umockdev_ioctl_data_unref(urb);
    g_object_unref(handler_);
}

std::string EmulatedBoard::devnode() const {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", setup_.port + 1);
    return node;
}

BoardState EmulatedBoard::state() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return state_;
}

void EmulatedBoard::setWedged(bool wedged) {
    const std::lock_guard<std::mutex> guard(lock_);
    wedged_ = wedged;
}

void EmulatedBoard::setShortWrites(bool shortWrites) {
    const std::lock_guard<std::mutex> guard(lock_);
    shortWrites_ = shortWrites;
}

void EmulatedBoard::onBulkWrite(std::function<void(std::chrono::steady_clock::time_point)> taken) {
    const std::lock_guard<std::mutex> guard(lock_);
    bulkWriteTaken_ = std::move(taken);
}

// As the kernel does on a disconnect, every transfer still in flight is given back, with
// -ESHUTDOWN, for the client to reap.
void EmulatedBoard::setUnplugged() {
    const std::lock_guard<std::mutex> guard(lock_);
    unplugged_ = true;
    const int status = -ESHUTDOWN;
    const int actual = 0;
    for (UMockdevIoctlData* urb : inFlight_) {
        store(urb, offsetof(usbdevfs_urb, status), &status, sizeof status);
        store(urb, offsetof(usbdevfs_urb, actual_length), &actual, sizeof actual);
        completed_.push_back(urb);
    }
    inFlight_.clear();
}

int EmulatedBoard::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    return static_cast<EmulatedBoard*>(self)->handle(client) ? TRUE : FALSE;
}

bool EmulatedBoard::handle(UMockdevIoctlClient* client) {
    std::unique_lock<std::mutex> guard(lock_);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    ++state_.requests;
    // Transfers given back can still be reaped from a device that is gone; anything else fails.
    const bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (unplugged_ && !(reaping && !completed_.empty())) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        const guint32 capabilities = USBDEVFS_CAP_BULK_CONTINUATION |
                                     USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        UMockdevIoctlData* out =
            umockdev_ioctl_data_resolve(argument, 0, sizeof capabilities, nullptr);
        store(out, 0, &capabilities, sizeof capabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
        umockdev_ioctl_data_unref(out);
        return true;
    }
    case USBDEVFS_GETDRIVER: {
        if (!state_.driverBound) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return true;
        }
        UMockdevIoctlData* out =
            umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_getdriver), nullptr);
        store(out, offsetof(usbdevfs_getdriver, driver), kSerialDriver, sizeof kSerialDriver);
        umockdev_ioctl_client_complete(client, 0, 0);
        umockdev_ioctl_data_unref(out);
        return true;
    }
    case USBDEVFS_DISCONNECT_CLAIM:
        if (!claim(client))
            return true;
        if (state_.driverBound) {
            state_.driverBound = false;
            ++state_.driverDetaches;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData* in =
            umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_ioctl), nullptr);
        usbdevfs_ioctl command{};
        std::memcpy(&command, in->data, sizeof command);
        umockdev_ioctl_data_unref(in);
        if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (!state_.driverBound) {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return true;
            }
            state_.driverBound = false;
            ++state_.driverDetaches;
        } else if (command.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
            if (state_.driverBound) {
                umockdev_ioctl_client_complete(client, -1, EBUSY);
                return true;
            }
            state_.driverBound = true;
            ++state_.driverAttaches;
        } else {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
        if (claim(client))
            umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_RELEASEINTERFACE:
        if (claimedBy_ == client)
            claimedBy_ = nullptr;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_RESET:
        resetToUart(); // a USB port reset returns the chip to UART mode
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_SUBMITURB:
        submit(client, argument, guard);
        return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(client, argument);
        return true;
    case USBDEVFS_DISCARDURB:
        discard(client, argument);
        return true;
    default:
        state_.unknownRequests.push_back(requestName(request));
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}

void EmulatedBoard::resetToUart() {
    state_.bitBang = false;
    state_.direction = 0x00;
    ++state_.bitModeResets;
}

// A vendor or standard control request. Returns the bytes of data it answers with (IN), the
// request's length (OUT), or -1 to stall.
int EmulatedBoard::control(const std::uint8_t* setup, std::uint8_t* data, int length) {
    const std::uint8_t requestType = setup[0];
    const std::uint8_t request = setup[1];
    const std::uint16_t value = static_cast<std::uint16_t>(setup[2] | (setup[3] << 8));
    const bool vendor = (requestType & 0x60) == 0x40;
    if (!vendor)
        return -1;
    switch (request) {
    case kRequestReset:
        if (value == 0)
            ++state_.sioResets; // keeps the bit mode and the output latch
        return 0;
    case kRequestSetBaudRate:
        ++state_.baudRateRequests;
        return 0;
    case kRequestSetLatency:
        return 0;
    case kRequestGetLatency:
        if (length < 1)
            return -1;
        data[0] = 16;
        return 1;
    case kRequestSetBitMode: {
        ++state_.setBitModeRequests;
        const std::uint8_t mode = static_cast<std::uint8_t>(value >> 8);
        if (mode == kModeReset) {
            resetToUart();
        } else {
            state_.bitBang = mode == kModeAsyncBitBang;
            state_.direction = static_cast<std::uint8_t>(value & 0xFF);
        }
        return 0;
    }
    case kRequestReadPins:
        if (length < 1)
            return -1;
        ++state_.readPinsRequests;
        data[0] = state_.bitBang ? state_.pins : 0xFF; // UART mode: the pins float high
        return 1;
    default:
        return -1;
    }
}

// Every transfer completes at once (unless the board is wedged): its data and status are copied
// back with the submit, and the URB waits to be reaped.
void EmulatedBoard::submit(UMockdevIoctlClient* client, UMockdevIoctlData* argument,
                           std::unique_lock<std::mutex>& guard) {
    UMockdevIoctlData* urbData =
        umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), nullptr);
    if (wedged_) {
        inFlight_.push_back(urbData); // never completes; only a discard brings it back
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    usbdevfs_urb urb{};
    std::memcpy(&urb, urbData->data, sizeof urb);
    const int length = std::max(urb.buffer_length, 0);
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(length), nullptr);
    std::vector<std::uint8_t> bytes(buffer->data, buffer->data + length);

    int status = 0;
    int actual = 0;
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && length >= kSetupSize) {
        const int answered = control(bytes.data(), bytes.data() + kSetupSize, length - kSetupSize);
        status = answered < 0 ? -EPIPE : 0;
        actual = std::max(answered, 0);
        if (answered > 0 && (bytes[0] & 0x80))
            store(buffer, kSetupSize, bytes.data() + kSetupSize,
                  static_cast<std::size_t>(answered));
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kEndpointOut) {
        if (setup_.bulkWriteTime.count() > 0) {
            // The board's state stays readable while its write is on the bus.
            guard.unlock();
            std::this_thread::sleep_for(setup_.bulkWriteTime);
            guard.lock();
        }
        ++state_.bulkWrites;
        if (!shortWrites_ && state_.bitBang && length > 0)
            state_.pins = bytes[static_cast<std::size_t>(length - 1)];
        actual = shortWrites_ ? 0 : length;
        if (bulkWriteTaken_ && actual > 0)
            bulkWriteTaken_(std::chrono::steady_clock::now());
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kEndpointIn) {
        const std::uint8_t modemStatus[2] = {0x01, 0x60};
        actual = std::min(length, 2);
        store(buffer, 0, modemStatus, static_cast<std::size_t>(actual));
    } else {
        status = -EINVAL;
    }
    umockdev_ioctl_data_unref(buffer);
    store(urbData, offsetof(usbdevfs_urb, status), &status, sizeof status);
    store(urbData, offsetof(usbdevfs_urb, actual_length), &actual, sizeof actual);
    completed_.push_back(urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedBoard::reap(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
    if (completed_.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData* urbData = completed_.front();
    completed_.erase(completed_.begin());
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(argument, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(slot);
    umockdev_ioctl_data_unref(urbData);
}

void EmulatedBoard::discard(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
    gulong address = 0;
    std::memcpy(&address, argument->data, sizeof address);
    const auto found =
        std::find_if(inFlight_.begin(), inFlight_.end(),
                     [address](UMockdevIoctlData* d) { return d->client_addr == address; });
    if (found == inFlight_.end()) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    const int status = -ENOENT;
    const int actual = 0;
    store(*found, offsetof(usbdevfs_urb, status), &status, sizeof status);
    store(*found, offsetof(usbdevfs_urb, actual_length), &actual, sizeof actual);
    completed_.push_back(*found);
    inFlight_.erase(found);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// ---- EmulatedBus -----------------------------------------------------------------------------

EmulatedBus::EmulatedBus()
    : testbed_(std::make_unique<Testbed>()) {}

EmulatedBus::EmulatedBus(UMockdevTestbed* shared)
    : testbed_(std::make_unique<Testbed>(shared)) {}

// The boards go before their handlers are detached, as the bus goes before its testbed.
EmulatedBus::~EmulatedBus() = default;

bool EmulatedBus::available() {
    return Testbed::available();
}

EmulatedBoard& EmulatedBus::add(BoardSetup setup) {
    auto board = std::make_unique<EmulatedBoard>(std::move(setup));
    const BoardSetup& s = board->setup();
    testbed_->attach(board->devnode(), board->handler());
    const int devnum = s.port + 1;
    char description[2048];
    std::snprintf(description, sizeof description,
                  "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\n"
                  "N: bus/usb/001/%03d\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "E: DEVNAME=/dev/bus/usb/001/%03d\n"
                  "E: PRODUCT=%x/%x/600\n"
                  "A: idVendor=%04x\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "A: bcdDevice=0600\\n\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: devpath=%d\\n\n"
                  "A: serial=%s\\n\n"
                  "A: speed=12\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\n"
                  "A: bNumInterfaces= 1\\n\n"
                  "H: descriptors=%s\n",
                  s.port, devnum, devnum, devnum, s.vendor, s.product, s.vendor, s.product, devnum,
                  s.port, s.serial.c_str(), descriptorsHex(s).c_str());
    testbed_->add(description);
    char syspath[128];
    std::snprintf(syspath, sizeof syspath, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d",
                  s.port);
    board->setSyspath(syspath);
    boards_.push_back(std::move(board));
    return *boards_.back();
}

// The "remove" uevent goes out while the device's properties can still be read; removing a
// device from the testbed sends none of its own.
void EmulatedBus::unplug(EmulatedBoard& board) {
    board.setUnplugged();
    umockdev_testbed_uevent(testbed_->get(), board.syspath().c_str(), "remove");
    umockdev_testbed_remove_device(testbed_->get(), board.syspath().c_str());
}

} // namespace usbemu
