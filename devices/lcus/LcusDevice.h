#pragma once

#include "devices/RelayDevice.h"
#include "devices/lcus/Link.h"

#include <memory>

namespace devices::lcus {

// One opened LCUS board. It cannot read back, so it remembers what it commanded: a relay is
// known from its first frame on, and a relay whose frame failed is unknown again (the board may
// or may not have switched it).
class LcusDevice final : public RelayDevice {
public:
    LcusDevice(std::unique_ptr<Link> link, DeviceInfo info);

    DeviceInfo info() const override { return info_; }
    bool isOpen() const override { return link_ != nullptr; }
    Result<std::uint8_t> readRelays() override;
    // A frame for each relay that changes or is unknown, relay 1 first, all of them sent at once;
    // when that fails, every relay framed is unknown (the board may have taken some frames).
    Result<void> writeRelays(std::uint8_t relays) override;
    Result<void> writeSomeRelays(std::uint8_t which, std::uint8_t relays) override;
    std::uint8_t knownRelays() const override { return known_; }
    Result<void> close() override;

private:
    std::uint8_t boardMask() const;

    std::unique_ptr<Link> link_;
    const DeviceInfo info_;
    std::uint8_t relays_ = 0;
    std::uint8_t known_ = 0;
};

// An LCUS device that opened nothing: it fails every call.
std::unique_ptr<RelayDevice> unopenedDevice(DeviceInfo info);

} // namespace devices::lcus
