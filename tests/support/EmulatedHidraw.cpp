#include "support/EmulatedHidraw.h"

#include "support/Testbed.h"

#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace hidemu {

namespace {

constexpr int kHidrawMajor = 243;
constexpr unsigned kBusUsb = 3;

// One vendor-defined feature report of eight bytes, without a report id, as the V-USB relay
// firmware describes itself.
const std::vector<std::uint8_t> kVendorFeatureReport = {
    0x06, 0x00, 0xFF, // usage page (vendor)
    0x09, 0x01,       // usage 1
    0xA1, 0x01,       // collection (application)
    0x15, 0x00,       // logical minimum 0
    0x26, 0xFF, 0x00, // logical maximum 255
    0x75, 0x08,       // report size 8
    0x95, 0x08,       // report count 8
    0x09, 0x00,       // usage undefined
    0xB2, 0x02, 0x01, // feature (data, variable, absolute, buffered bytes)
    0xC0,             // end collection
};

// The request without its size, for the requests whose size is the caller's buffer.
unsigned long withoutSize(unsigned long request) {
    return request & ~(static_cast<unsigned long>(_IOC_SIZEMASK) << _IOC_SIZESHIFT);
}

void store(UMockdevIoctlData* data, const void* bytes, std::size_t length) {
    umockdev_ioctl_data_update(data, 0, static_cast<guint8*>(const_cast<void*>(bytes)),
                               static_cast<gint>(length));
}

// Answers an ioctl whose argument points to `length` bytes the device fills.
void answerWith(UMockdevIoctlClient* client, const void* bytes, std::size_t length, long result) {
    UMockdevIoctlData* out =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, length, nullptr);
    if (!out) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    store(out, bytes, length);
    umockdev_ioctl_client_complete(client, result, 0);
    umockdev_ioctl_data_unref(out);
}

void fail(UMockdevIoctlClient* client, int error) {
    umockdev_ioctl_client_complete(client, -1, error);
}

} // namespace

// ---- EmulatedHidraw ----------------------------------------------------------------------------

EmulatedHidraw::EmulatedHidraw(HidrawSetup setup, std::unique_ptr<Behaviour> behaviour, int number)
    : setup_(std::move(setup))
    , behaviour_(std::move(behaviour))
    , number_(number)
    , descriptor_(setup_.reportDescriptor.empty() ? kVendorFeatureReport
                                                  : setup_.reportDescriptor) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedHidraw::onIoctl), this);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(&EmulatedHidraw::onRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(&EmulatedHidraw::onWrite), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&EmulatedHidraw::onClientVanished),
                     this);
}

EmulatedHidraw::~EmulatedHidraw() {
    answerWaiting(ENODEV);
    g_signal_handlers_disconnect_by_data(handler_, this);
    // One still connected is left to umockdev, which would complain of its open connection.
    for (UMockdevIoctlClient* client : answered_)
        if (!umockdev_ioctl_client_get_connected(client))
            g_object_unref(client);
    g_object_unref(handler_);
}

std::string EmulatedHidraw::devnode() const {
    return "/dev/hidraw" + std::to_string(number_);
}

std::string EmulatedHidraw::portPath() const {
    return "1-" + std::to_string(setup_.port);
}

std::string EmulatedHidraw::usbSyspath() const {
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + portPath();
}

std::string EmulatedHidraw::hidrawSyspath() const {
    char hid[32];
    std::snprintf(hid, sizeof hid, "%04X:%04X:%04X.%04X", kBusUsb, setup_.vendor, setup_.product,
                  number_ + 1);
    return usbSyspath() + "/" + portPath() + ":1.0/" + hid + "/hidraw/hidraw" +
           std::to_string(number_);
}

HidrawCounts EmulatedHidraw::counts() const {
    const std::lock_guard guard(lock_);
    return counts_;
}

void EmulatedHidraw::setWedged(bool wedged) {
    const std::lock_guard guard(lock_);
    wedged_ = wedged;
    if (!wedged)
        answerWaiting(EIO);
}

// As the kernel does on a disconnect, a request still waiting fails with ENODEV.
void EmulatedHidraw::setUnplugged() {
    const std::lock_guard guard(lock_);
    unplugged_ = true;
    answerWaiting(ENODEV);
}

// A client answered is kept until it goes away: umockdev sends the answer later, from its own
// loop, and a client let go before that would be destroyed with its connection open.
void EmulatedHidraw::answerWaiting(int error) {
    for (UMockdevIoctlClient* client : waiting_) {
        if (umockdev_ioctl_client_get_connected(client))
            fail(client, error);
        answered_.push_back(client);
    }
    waiting_.clear();
}

void EmulatedHidraw::onClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* device = static_cast<EmulatedHidraw*>(self);
    const std::lock_guard guard(device->lock_);
    const auto found = std::find(device->answered_.begin(), device->answered_.end(), client);
    if (found == device->answered_.end())
        return;
    device->answered_.erase(found);
    g_object_unref(client);
}

// A wedged device takes the request and never answers it; an unplugged one refuses it.
bool EmulatedHidraw::takenByWedge(UMockdevIoctlClient* client) {
    ++counts_.requests;
    if (unplugged_) {
        fail(client, ENODEV);
        return true;
    }
    if (!wedged_)
        return false;
    ++counts_.unanswered;
    waiting_.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
    return true;
}

int EmulatedHidraw::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<EmulatedHidraw*>(self)->handleIoctl(client);
    return TRUE;
}

int EmulatedHidraw::onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<EmulatedHidraw*>(self)->handleRead(client);
    return TRUE;
}

int EmulatedHidraw::onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<EmulatedHidraw*>(self)->handleWrite(client);
    return TRUE;
}

void EmulatedHidraw::handleIoctl(UMockdevIoctlClient* client) {
    const std::lock_guard guard(lock_);
    if (takenByWedge(client))
        return;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    const std::size_t size = _IOC_SIZE(request);
    if (request == HIDIOCGRDESCSIZE) {
        const int descriptorSize = static_cast<int>(descriptor_.size());
        answerWith(client, &descriptorSize, sizeof descriptorSize, 0);
    } else if (request == HIDIOCGRDESC) {
        // The caller says how much it wants in the first field; the bytes follow it.
        UMockdevIoctlData* in = umockdev_ioctl_data_resolve(
            umockdev_ioctl_client_get_arg(client), 0, sizeof(hidraw_report_descriptor), nullptr);
        hidraw_report_descriptor descriptor{};
        std::memcpy(&descriptor, in->data, sizeof descriptor);
        if (descriptor.size > HID_MAX_DESCRIPTOR_SIZE) {
            umockdev_ioctl_data_unref(in);
            fail(client, EINVAL);
            return;
        }
        const std::size_t length = std::min<std::size_t>(descriptor.size, descriptor_.size());
        std::memcpy(descriptor.value, descriptor_.data(), length);
        store(in, &descriptor, sizeof descriptor);
        umockdev_ioctl_client_complete(client, 0, 0);
        umockdev_ioctl_data_unref(in);
    } else if (request == HIDIOCGRAWINFO) {
        hidraw_devinfo info{};
        info.bustype = kBusUsb;
        info.vendor = static_cast<__s16>(setup_.vendor);
        info.product = static_cast<__s16>(setup_.product);
        answerWith(client, &info, sizeof info, 0);
    } else if (withoutSize(request) == withoutSize(HIDIOCSFEATURE(0)) && size > 0) {
        ++counts_.featureSets;
        UMockdevIoctlData* in =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
        const std::vector<std::uint8_t> report(in->data, in->data + size);
        umockdev_ioctl_data_unref(in);
        const int error = behaviour_->setFeature(report);
        if (error != 0)
            fail(client, error);
        else
            umockdev_ioctl_client_complete(client, static_cast<long>(size), 0);
    } else if (withoutSize(request) == withoutSize(HIDIOCGFEATURE(0)) && size > 0) {
        ++counts_.featureGets;
        UMockdevIoctlData* in =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
        std::vector<std::uint8_t> report(in->data, in->data + size);
        const int answered = behaviour_->getFeature(report);
        if (answered < 0) {
            umockdev_ioctl_data_unref(in);
            fail(client, -answered);
            return;
        }
        store(in, report.data(), std::min(report.size(), size));
        umockdev_ioctl_client_complete(client, std::min<long>(answered, static_cast<long>(size)),
                                       0);
        umockdev_ioctl_data_unref(in);
    } else {
        counts_.unknownRequests.push_back(requestName(request));
        fail(client, ENOTTY);
    }
}

// A read gives the next input report whole, cut to the caller's buffer, as hidraw does.
void EmulatedHidraw::handleRead(UMockdevIoctlClient* client) {
    const std::lock_guard guard(lock_);
    if (takenByWedge(client))
        return;
    ++counts_.inputReads;
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    const std::vector<std::uint8_t> report = behaviour_->input();
    if (report.empty()) {
        fail(client, EAGAIN);
        return;
    }
    const std::size_t length = std::min(report.size(), static_cast<std::size_t>(buffer->data_len));
    store(buffer, report.data(), length);
    umockdev_ioctl_client_complete(client, static_cast<long>(length), 0);
}

void EmulatedHidraw::handleWrite(UMockdevIoctlClient* client) {
    const std::lock_guard guard(lock_);
    if (takenByWedge(client))
        return;
    ++counts_.outputReports;
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    const std::vector<std::uint8_t> report(buffer->data, buffer->data + buffer->data_len);
    const int error = behaviour_->output(report);
    if (error != 0)
        fail(client, error);
    else
        umockdev_ioctl_client_complete(client, static_cast<long>(report.size()), 0);
}

// ---- HidrawBus ---------------------------------------------------------------------------------

HidrawBus::HidrawBus()
    : testbed_(std::make_unique<Testbed>()) {}

HidrawBus::~HidrawBus() = default;

bool HidrawBus::available() {
    return Testbed::available();
}

UMockdevTestbed* HidrawBus::testbed() const {
    return testbed_->get();
}

EmulatedHidraw& HidrawBus::add(HidrawSetup setup, std::unique_ptr<Behaviour> behaviour) {
    auto device =
        std::make_unique<EmulatedHidraw>(std::move(setup), std::move(behaviour), nextNumber_++);
    const HidrawSetup& s = device->setup();
    testbed_->attach(device->devnode(), device->handler());
    const int devnum = s.port + 1;
    const std::string usb = device->usbSyspath();
    const std::string interface = usb + "/" + device->portPath() + ":1.0";
    const std::string hidraw = device->hidrawSyspath();
    const std::string hid = hidraw.substr(0, hidraw.find("/hidraw/"));
    const std::string name =
        s.manufacturer.empty() ? s.productName : s.manufacturer + " " + s.productName;
    char vidpid[32];
    std::snprintf(vidpid, sizeof vidpid, "%04X:%08X:%08X", kBusUsb, s.vendor, s.product);

    std::string description;
    const auto line = [&description](const std::string& text) { description += text + "\n"; };
    const auto attribute = [&line](const std::string& key, const std::string& value) {
        line("A: " + key + "=" + value + "\\n");
    };
    // Deepest first: umockdev's records list a device, then its parents.
    line("P: " + hidraw.substr(std::strlen("/sys")));
    line("N: hidraw" + std::to_string(device->number()));
    line("E: SUBSYSTEM=hidraw");
    line("E: DEVNAME=" + device->devnode());
    line("E: MAJOR=" + std::to_string(kHidrawMajor));
    line("E: MINOR=" + std::to_string(device->number()));
    attribute("dev", std::to_string(kHidrawMajor) + ":" + std::to_string(device->number()));
    line("");
    line("P: " + hid.substr(std::strlen("/sys")));
    line("E: SUBSYSTEM=hid");
    line("E: DRIVER=hid-generic");
    line(std::string("E: HID_ID=") + vidpid);
    line("E: HID_NAME=" + name);
    line("E: HID_PHYS=usb-0000:00:14.0-" + std::to_string(s.port) + "/input0");
    line("E: HID_UNIQ=" + s.serial);
    line("H: report_descriptor=" + hexOf(device->descriptor()));
    line("");
    line("P: " + interface.substr(std::strlen("/sys")));
    line("E: SUBSYSTEM=usb");
    line("E: DEVTYPE=usb_interface");
    line("E: DRIVER=usbhid");
    line("E: INTERFACE=3/0/0");
    attribute("bInterfaceNumber", "00");
    attribute("bInterfaceClass", "03");
    attribute("bNumEndpoints", "01");
    line("");
    char ids[64];
    std::snprintf(ids, sizeof ids, "%04x", s.vendor);
    const std::string vendor = ids;
    std::snprintf(ids, sizeof ids, "%04x", s.product);
    const std::string product = ids;
    line("P: " + usb.substr(std::strlen("/sys")));
    char usbNode[32];
    std::snprintf(usbNode, sizeof usbNode, "N: bus/usb/001/%03d", devnum);
    line(usbNode);
    line("E: SUBSYSTEM=usb");
    line("E: DEVTYPE=usb_device");
    line("E: DRIVER=usb");
    line("E: BUSNUM=001");
    line("E: PRODUCT=" + vendor + "/" + product + "/100");
    attribute("idVendor", vendor);
    attribute("idProduct", product);
    attribute("bcdDevice", "0100");
    attribute("busnum", "1");
    attribute("devnum", std::to_string(devnum));
    attribute("devpath", std::to_string(s.port));
    if (!s.manufacturer.empty())
        attribute("manufacturer", s.manufacturer);
    if (!s.productName.empty())
        attribute("product", s.productName);
    if (!s.serial.empty())
        attribute("serial", s.serial);
    attribute("speed", "1.5");
    attribute("bNumInterfaces", " 1");
    attribute("bConfigurationValue", "1");

    testbed_->add(description);
    // hidapi reads the hid device's uevent and report descriptor through the node's "device" link.
    umockdev_testbed_set_attribute_link(testbed_->get(), hidraw.c_str(), "device", "../..");
    // As the kernel announces a device plugged in, for whoever listens (serve does).
    umockdev_testbed_uevent(testbed_->get(), usb.c_str(), "add");
    umockdev_testbed_uevent(testbed_->get(), hidraw.c_str(), "add");
    devices_.push_back(std::move(device));
    return *devices_.back();
}

// The "remove" uevent goes out while the device's properties can still be read; removing a
// device from the testbed sends none of its own.
void HidrawBus::unplug(EmulatedHidraw& device) {
    device.setUnplugged();
    umockdev_testbed_uevent(testbed_->get(), device.hidrawSyspath().c_str(), "remove");
    umockdev_testbed_uevent(testbed_->get(), device.usbSyspath().c_str(), "remove");
    umockdev_testbed_remove_device(testbed_->get(), device.usbSyspath().c_str());
    // umockdev leaves the bus's links to what it removed, and a device plugged back at the same
    // port could not be added beside them.
    gchar* root = umockdev_testbed_get_root_dir(testbed_->get());
    const std::string links = std::string(root) + "/sys/bus/usb/devices/";
    g_free(root);
    for (const std::string& name : {device.portPath(), device.portPath() + ":1.0"})
        ::unlink((links + name).c_str());
}

// ---- UsbRelayFirmware --------------------------------------------------------------------------

namespace {
constexpr std::size_t kReportSize = 8;
constexpr std::size_t kSerialSize = 5;
constexpr std::uint8_t kOn = 0xFF, kOff = 0xFD, kAllOn = 0xFE, kAllOff = 0xFC, kSetSerial = 0xFA;
} // namespace

UsbRelayFirmware::UsbRelayFirmware(std::string serial, int relays, std::uint8_t state)
    : relayCount_(relays)
    , serial_(std::move(serial))
    , state_(state) {
    serial_.resize(kSerialSize, '\0');
}

// The firmware reads its command from the first bytes of the report, whatever follows.
int UsbRelayFirmware::setFeature(const std::vector<std::uint8_t>& report) {
    const std::lock_guard guard(lock_);
    if (report.size() < 2 || report[0] != 0) {
        ++refused_;
        return EPIPE;
    }
    const std::vector<std::uint8_t> data(report.begin() + 1, report.end());
    const std::uint8_t command = data[0];
    const int relay = data.size() > 1 ? data[1] : 0;
    const std::uint8_t all = static_cast<std::uint8_t>((1u << relayCount_) - 1u);
    switch (command) {
    case kOn:
    case kOff:
        if (relay < 1 || relay > relayCount_) {
            ++refused_;
            return 0; // the firmware ignores a relay it does not have; the host cannot tell
        }
        if (command == kOn)
            state_ = static_cast<std::uint8_t>(state_ | (1u << (relay - 1)));
        else
            state_ = static_cast<std::uint8_t>(state_ & ~(1u << (relay - 1)));
        commands_.push_back({command, static_cast<std::uint8_t>(relay)});
        return 0;
    case kAllOn:
        state_ = all;
        commands_.push_back({command});
        return 0;
    case kAllOff:
        state_ = 0;
        commands_.push_back({command});
        return 0;
    case kSetSerial:
        if (data.size() < 1 + kSerialSize) {
            ++refused_;
            return EPIPE;
        }
        serial_.assign(data.begin() + 1, data.begin() + 1 + kSerialSize);
        commands_.push_back(
            std::vector<std::uint8_t>(data.begin(), data.begin() + 1 + kSerialSize));
        return 0;
    default:
        ++refused_;
        return 0;
    }
}

int UsbRelayFirmware::getFeature(std::vector<std::uint8_t>& report) {
    const std::lock_guard guard(lock_);
    if (report.empty() || report[0] != 0) {
        ++refused_;
        return -EPIPE;
    }
    std::vector<std::uint8_t> answer(1 + kReportSize, 0);
    std::copy(serial_.begin(), serial_.end(), answer.begin() + 1);
    answer[1 + 7] = state_;
    const std::size_t length = std::min(report.size(), answer.size());
    std::copy(answer.begin(), answer.begin() + static_cast<long>(length), report.begin());
    return static_cast<int>(length);
}

int UsbRelayFirmware::output(const std::vector<std::uint8_t>&) {
    const std::lock_guard guard(lock_);
    ++refused_;
    return EPIPE;
}

std::uint8_t UsbRelayFirmware::relays() const {
    const std::lock_guard guard(lock_);
    return state_;
}

std::string UsbRelayFirmware::serial() const {
    const std::lock_guard guard(lock_);
    return serial_;
}

std::vector<std::vector<std::uint8_t>> UsbRelayFirmware::commands() const {
    const std::lock_guard guard(lock_);
    return commands_;
}

int UsbRelayFirmware::refused() const {
    const std::lock_guard guard(lock_);
    return refused_;
}

void UsbRelayFirmware::clearCommands() {
    const std::lock_guard guard(lock_);
    commands_.clear();
    refused_ = 0;
}

} // namespace hidemu
