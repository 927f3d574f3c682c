#pragma once

#include "board/Driver.h"
#include "devices/Family.h"

#include <memory>

// The boards this program was first made for: an FTDI bridge chip whose eight data pins, in
// asynchronous bit-bang mode, drive eight relays from one byte. Reached through the seven calls
// of the chip's driver (Driver.h), whichever backend provides them.
namespace devices::ftdi {

class FtdiFamily final : public Family {
public:
    // A driver of the caller's, which outlives the family.
    explicit FtdiFamily(board::Driver& driver);
    explicit FtdiFamily(std::unique_ptr<board::Driver> driver);

    std::string_view name() const override { return "ftdi"; }
    std::vector<DeviceInfo> enumerate() override;
    // Opens the board and makes its eight pins outputs; nothing is written, so the relays keep
    // what they had. A board that gave no handle is not set up.
    std::unique_ptr<RelayDevice> open(std::size_t index) override;
    std::unique_ptr<RelayDevice> unopened() override;
    std::vector<std::string> udevSubsystems() const override { return {"usb"}; }

private:
    DeviceInfo describe(std::uint32_t index);

    std::unique_ptr<board::Driver> owned_;
    board::Driver& driver_;
};

} // namespace devices::ftdi
