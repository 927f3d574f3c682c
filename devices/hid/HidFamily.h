#pragma once

#include "devices/Family.h"

#include <chrono>
#include <string>
#include <vector>

// The HID relay boards sold as "USBRelay1/2/4/8": a V-USB firmware (USB 16c0:05df, manufacturer
// "www.dcttech.com") that keeps its serial number and relays in one eight-byte feature report,
// reached through hidapi's hidraw backend. Other V-USB devices share the USB ids; only a device
// whose strings name a relay board is claimed. Only feature reports are sent: the firmware stalls
// output reports and other report ids.
namespace devices::hid {

// How long one call on a board may take before the board counts as not answering.
inline constexpr std::chrono::milliseconds kCallBound{300};

class HidFamily final : public Family {
public:
    HidFamily();

    std::string_view name() const override { return "hid"; }
    // Reads each board's serial number from its report (bounded as every call is; a board that
    // does not answer is listed without one).
    std::vector<DeviceInfo> enumerate() override;
    // Opens the board and holds it against other processes (a lock on its hidraw node, which
    // another process's opening finds taken: Refused). Nothing is written.
    std::unique_ptr<RelayDevice> open(std::size_t index) override;
    // Reads the opened board's serial number again to tell whether it is the one described.
    std::unique_ptr<RelayDevice> openExpecting(std::size_t index,
                                               const DeviceInfo& expected) override;
    std::unique_ptr<RelayDevice> unopened() override;
    std::vector<std::string> udevSubsystems() const override { return {"hidraw"}; }

private:
    struct Board {
        std::string node; // /dev/hidrawN
        DeviceInfo info;
    };
    std::unique_ptr<RelayDevice> openBoard(std::size_t index, const DeviceInfo* expected);

    std::vector<Board> boards_; // the last enumeration
};

} // namespace devices::hid
