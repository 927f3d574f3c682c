#pragma once

#include "devices/Family.h"
#include "devices/ftdi/Driver.h"
#include "devices/ftdi/FtdiDriver.h"

#include <memory>

// The boards this program was first made for: an FTDI bridge chip whose eight data pins, in
// asynchronous bit-bang mode, drive eight relays from one byte. Reached through the seven calls
// of the chip's driver (Driver.h), whichever backend gives them: libftdi1, or a test's own.
namespace devices::ftdi {

class FtdiFamily final : public Family {
public:
    // A driver of the caller's, which outlives the family.
    explicit FtdiFamily(Driver& driver);
    explicit FtdiFamily(std::unique_ptr<Driver> driver);

    std::string_view name() const override { return "ftdi"; }
    std::vector<DeviceInfo> enumerate() override;
    // Opens the board and makes its eight pins outputs; nothing is written, so the relays keep
    // what they had. A board that gave no handle is not set up.
    std::unique_ptr<RelayDevice> open(std::size_t index) override;
    // Checks what the driver opened before setting it up.
    std::unique_ptr<RelayDevice> openExpecting(std::size_t index,
                                               const DeviceInfo& expected) override;
    std::unique_ptr<RelayDevice> unopened() override;
    std::vector<std::string> udevSubsystems() const override { return {"usb"}; }

private:
    DeviceInfo infoOf(const BoardInfo& board) const;
    std::unique_ptr<RelayDevice> openAndCheck(std::size_t index, const DeviceInfo* expected);

    std::unique_ptr<Driver> owned_;
    Driver& driver_;
};

// The real boards: libftdi1, with the USB ids of the chips that drive relay boards and those
// the user adds.
std::unique_ptr<FtdiFamily> makeLibFtdiFamily(std::vector<UsbId> extraIds);

} // namespace devices::ftdi
