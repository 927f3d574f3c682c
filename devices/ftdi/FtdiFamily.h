#pragma once

#include "devices/Family.h"
#include "devices/ftdi/Driver.h"
#include "devices/ftdi/FtdiDriver.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

// The boards this program was first made for: an FTDI bridge chip whose eight data pins, in
// asynchronous bit-bang mode, drive eight relays from one byte. Reached through the seven calls
// of the chip's driver (Driver.h), whichever backend gives them: libftdi1, or a test's own.
namespace devices::ftdi {

// How a board's relays are wired to the chip's eight data pins: relay n drives the pin of
// pins[n-1]. The default board has eight relays, relay n on bit n-1; "denkovi4" boards have four,
// on D1, D3, D5 and D7.
struct Profile {
    int relays = kMaxRelays;
    std::array<std::uint8_t, kMaxRelays> pins{0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};

    std::uint8_t pinsOf(std::uint8_t relayBits) const;
    std::uint8_t relaysOf(std::uint8_t pinBits) const;
};

// The profile of this name, if there is one ("default", "denkovi4").
std::optional<Profile> profileNamed(const std::string& name);

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
    // A section per board that is not wired as the default: its name is the board's serial or
    // port path (its id), its one key `profile`.
    std::optional<ConfigError> configure(const std::vector<ConfiguredBoard>& sections) override;

private:
    DeviceInfo infoOf(const BoardInfo& board) const;
    const Profile& profileOf(const BoardInfo& board) const;
    std::unique_ptr<RelayDevice> openAndCheck(std::size_t index, const DeviceInfo* expected);

    std::unique_ptr<Driver> owned_;
    Driver& driver_;
    std::map<std::string, Profile> profiles_; // by serial or port path; set before any use
};

// The real boards: libftdi1, with the USB ids of the chips that drive relay boards and those
// the user adds.
std::unique_ptr<FtdiFamily> makeLibFtdiFamily(std::vector<UsbId> extraIds);

} // namespace devices::ftdi
