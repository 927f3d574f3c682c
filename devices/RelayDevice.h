#pragma once

#include "devices/DeviceInfo.h"
#include "devices/Result.h"

#include <cstdint>
#include <string>
#include <utility>

// One relay board as the rest of the program sees it: a relay state byte to read and write,
// whatever the chip, the bus or the protocol underneath.
namespace devices {

// Calls on different devices may come at once from different threads, so a board that hangs
// holds up only its own callers; calls on one device come one at a time (its model's lock sees
// to that). A device that was never opened, or could not be, fails every call.
class RelayDevice {
public:
    virtual ~RelayDevice() = default;

    // The id the board had among the others when it was opened (the registry gives it); empty
    // when none was opened.
    const std::string& id() const { return id_; }
    void setId(std::string id) { id_ = std::move(id); }
    virtual DeviceInfo info() const = 0;
    virtual bool isOpen() const = 0;
    // Bit n-1 = relay n. A board that cannot read back answers with what it was last told.
    virtual Result<std::uint8_t> readRelays() = 0;
    virtual Result<void> writeRelays(std::uint8_t relays) = 0;
    // Writes only the relays in `which` (bit n-1 = relay n), each to its bit of `relays`, and
    // leaves the others as they are, known or not: how a board that cannot read back is switched
    // while some of its relays are unknown. A board that reads back takes the whole byte.
    virtual Result<void> writeSomeRelays(std::uint8_t which, std::uint8_t relays) {
        static_cast<void>(which);
        return writeRelays(relays);
    }
    // The relays whose state is known (bit n-1 = relay n): all of a board that reads back; of one
    // that cannot, those written since it was opened.
    virtual std::uint8_t knownRelays() const { return 0xFF; }
    // Gives the board a new serial number, where its family can (HID relay boards).
    virtual Result<void> setSerial(const std::string& /*serial*/) {
        return Failure{Failure::Kind::Refused, "this board's serial number cannot be changed"};
    }
    // Lets the board go, its relays as they are.
    virtual Result<void> close() = 0;
    // Sets an opened board up again as opening it did, for a board opened once more while it is
    // open here, which no board allows (its first opening holds it): it stays the board opened.
    // Whether the board took it is not judged, as an opening does not judge it.
    virtual void setUpAgain() {}

private:
    std::string id_;
};

} // namespace devices
