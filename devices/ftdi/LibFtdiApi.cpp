// The libftdi1 / libusb side of the real-board backend, kept apart so that everything else in the
// backend can be tested with a fake.
#include "devices/ftdi/FtdiDriver.h"
#include "devices/ftdi/FtdiFamily.h"

#include <ftdi.h>
#include <libusb.h>

#include <fstream>
#include <string>

namespace devices::ftdi {

namespace {

// The serial number the kernel read when the device arrived, without opening it (so a board
// another process holds still shows it); empty when the device has none.
std::string serialFromSysfs(const UsbDevice& device) {
    if (device.ports.empty())
        return {};
    std::string name = "/sys/bus/usb/devices/" + std::to_string(device.bus) + '-';
    for (std::size_t i = 0; i < device.ports.size(); ++i)
        name += (i ? "." : "") + std::to_string(device.ports[i]);
    std::ifstream file(name + "/serial");
    std::string serial;
    std::getline(file, serial);
    return serial;
}

class LibFtdiApi final : public FtdiApi {
public:
    LibFtdiApi() { libusb_init(&usb_); }
    ~LibFtdiApi() override {
        releaseList();
        if (usb_)
            libusb_exit(usb_);
    }

    std::vector<UsbDevice> listDevices() override {
        std::vector<UsbDevice> devices;
        if (!usb_)
            return devices;
        releaseList();
        const ssize_t count = libusb_get_device_list(usb_, &list_);
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device* dev = list_[i];
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(dev, &descriptor) != 0)
                continue;
            UsbDevice device;
            device.vendor = descriptor.idVendor;
            device.product = descriptor.idProduct;
            device.bus = libusb_get_bus_number(dev);
            std::uint8_t ports[8];
            const int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
            if (depth > 0)
                device.ports.assign(ports, ports + depth);
            device.serial = serialFromSysfs(device);
            device.opaque = dev;
            devices.push_back(std::move(device));
        }
        return devices;
    }

    void* open(const UsbDevice& device, int timeoutMs) override {
        ftdi_context* ctx = ftdi_new();
        if (!ctx)
            return nullptr;
        ctx->usb_read_timeout = timeoutMs;
        ctx->usb_write_timeout = timeoutMs;
        // Detach the kernel's serial driver from this board only, and give it back on close.
        ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        if (ftdi_usb_open_dev(ctx, static_cast<libusb_device*>(device.opaque)) < 0) {
            ftdi_free(ctx);
            return nullptr;
        }
        return ctx;
    }

    int setBitmode(void* context, std::uint8_t mask, std::uint8_t mode) override {
        return ftdi_set_bitmode(static_cast<ftdi_context*>(context), mask, mode);
    }
    int setBaudrate(void* context, int rate) override {
        return ftdi_set_baudrate(static_cast<ftdi_context*>(context), rate);
    }
    // One bulk transfer, and the count the board took. ftdi_write_data would send the rest again
    // after a short transfer, and for ever when the board takes nothing at all.
    int writeData(void* context, const std::uint8_t* data, int size) override {
        auto* ctx = static_cast<ftdi_context*>(context);
        if (!ctx->usb_dev)
            return -1;
        int written = 0;
        const int result = libusb_bulk_transfer(
            ctx->usb_dev, static_cast<unsigned char>(ctx->in_ep), const_cast<std::uint8_t*>(data),
            size, &written, static_cast<unsigned int>(ctx->usb_write_timeout));
        return result < 0 ? -1 : written;
    }
    int readPins(void* context, std::uint8_t* pins) override {
        return ftdi_read_pins(static_cast<ftdi_context*>(context), pins);
    }
    void close(void* context) override {
        auto* ctx = static_cast<ftdi_context*>(context);
        ftdi_usb_close(ctx); // leaves the bit mode and the pins as they are
        ftdi_free(ctx);
    }

private:
    void releaseList() {
        if (list_)
            libusb_free_device_list(list_, 1);
        list_ = nullptr;
    }

    libusb_context* usb_ = nullptr;
    libusb_device** list_ = nullptr;
};

} // namespace

std::unique_ptr<FtdiApi> makeLibFtdiApi() {
    return std::make_unique<LibFtdiApi>();
}

std::unique_ptr<FtdiFamily> makeLibFtdiFamily(std::vector<UsbId> extraIds) {
    std::vector<UsbId> ids = builtInRelayBoardIds();
    ids.insert(ids.end(), extraIds.begin(), extraIds.end());
    return std::make_unique<FtdiFamily>(std::make_unique<FtdiDriver>(makeLibFtdiApi(), ids));
}

} // namespace devices::ftdi
