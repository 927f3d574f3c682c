#pragma once

#include "devices/ftdi/Driver.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace devices::ftdi {

// A USB device as the bus reports it, before anything is opened.
struct UsbDevice {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> ports; // port path from the root hub
    std::string serial;              // may be empty when it was not read
    void* opaque = nullptr;          // the USB library's own device reference
};

struct UsbId {
    std::uint16_t vendor;
    std::uint16_t product;
};

// The USB ids that are counted as relay boards: single-channel FTDI bridge chips with an
// asynchronous bit-bang mode (FT232R/FT245R, FT230X/FT231X/FT234X). Multi-channel chips and
// MPSSE programmers are left alone, as is every other vendor's device.
const std::vector<UsbId>& builtInRelayBoardIds();

// Parses TAMBROOK_EXTRA_USB_IDS: "vvvv:pppp[,vvvv:pppp...]" in hexadecimal. Malformed entries are
// skipped.
std::vector<UsbId> parseUsbIds(const std::string& text);

// Relay boards among the devices, in a stable order: bus, then port path, then serial.
std::vector<UsbDevice> matchRelayBoards(std::vector<UsbDevice> devices,
                                        const std::vector<UsbId>& ids);

// The few calls of the USB and FTDI libraries the backend uses. A seam, so that matching, ordering
// and status mapping can be tested without hardware.
class FtdiApi {
public:
    virtual ~FtdiApi() = default;
    virtual std::vector<UsbDevice> listDevices() = 0;
    // Opens and claims the device; returns null on failure. Never touches the pins.
    virtual void* open(const UsbDevice& device, int timeoutMs) = 0;
    virtual int setBitmode(void* context, std::uint8_t mask, std::uint8_t mode) = 0;
    virtual int setBaudrate(void* context, int rate) = 0;
    virtual int writeData(void* context, const std::uint8_t* data, int size) = 0;
    virtual int readPins(void* context, std::uint8_t* pins) = 0;
    virtual void close(void* context) = 0;
};

std::unique_ptr<FtdiApi> makeLibFtdiApi();

// Real boards through libftdi1. Opening adopts the pins as they are: the chip's outputs are never
// reset on open or close, and every USB call is bounded by a short timeout so a wedged board
// cannot freeze the window. Calls on different boards may come at once from different threads
// (each board has a USB context of its own), so a wedged board holds up only its own callers;
// counting, describing and opening go one at a time, as they share the bus's device list.
class FtdiDriver final : public Driver {
public:
    static constexpr int kUsbTimeoutMs = 300;

    explicit FtdiDriver(std::unique_ptr<FtdiApi> api, std::vector<UsbId> ids);
    ~FtdiDriver() override;

    Status countDevices(std::uint32_t& count) override;
    Status openByIndex(std::uint32_t index, Handle& handle) override;
    Status setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    Status setBaudRate(Handle handle, std::uint32_t rate) override;
    Status write(Handle handle, const std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t& written) override;
    Status readPins(Handle handle, std::uint8_t& pins) override;
    Status close(Handle handle) override;
    BoardInfo describe(std::uint32_t index) override;
    std::optional<BoardInfo> describeOpened(Handle handle) override;

private:
    // An opened board: the USB library's context and the board as the bus described it.
    struct Opened {
        void* context = nullptr;
        BoardInfo info;
    };
    void* context(Handle handle) const;

    std::unique_ptr<FtdiApi> api_;
    std::vector<UsbId> ids_;
    std::mutex busLock_;             // the device list: counting, describing, opening
    mutable std::mutex handlesLock_; // the two below, only while they are looked at
    std::map<Handle, Opened> open_;
    Handle nextHandle_ = 1;
};

} // namespace devices::ftdi
