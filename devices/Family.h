#pragma once

#include "devices/Config.h"
#include "devices/DeviceInfo.h"
#include "devices/RelayDevice.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace devices {

// A device that is no board: every call fails. The place of a board where no family has one.
std::unique_ptr<RelayDevice> noDevice();

// One kind of relay board: how its boards are found and opened. The USB ids it claims and the
// udev subsystems it watches are its own data.
class Family {
public:
    virtual ~Family() = default;

    virtual std::string_view name() const = 0;
    // The boards there now, in a stable order.
    virtual std::vector<DeviceInfo> enumerate() = 0;
    // The board at an index of the last enumeration, opened without touching its relays. Always a
    // device: one that could not be opened says so with isOpen() and fails its calls.
    virtual std::unique_ptr<RelayDevice> open(std::size_t index) = 0;
    // The same, for a board that must be the one described: another that answers in its place
    // (the bus changed since it was enumerated) is let go untouched and an unopened device comes
    // back. A family that can tell what it opened before setting it up overrides this.
    virtual std::unique_ptr<RelayDevice> openExpecting(std::size_t index,
                                                       const DeviceInfo& expected);
    // The place of a board before any was opened.
    virtual std::unique_ptr<RelayDevice> unopened() = 0;
    // Where udev reports its boards coming and going ("usb", "hidraw", "tty").
    virtual std::vector<std::string> udevSubsystems() const { return {}; }
    // Takes the sections of the configuration that name this family (family = its name): the
    // boards it reaches only by configuration (a serial port, a host), or options for boards it
    // finds by itself. A key it does not know, or a value it cannot use, is refused with the
    // file and line. The sections come without their relay options, which are not the family's.
    virtual std::optional<ConfigError> configure(const std::vector<ConfiguredBoard>& sections);
    // The board at an index of the last enumeration was pulled off the bus (by a test's fault
    // injection): what its power kept is lost and what was opened of it is dead. A real board does
    // that by itself; a simulated one is told.
    virtual void pulledOut(std::size_t /*index*/) {}
};

} // namespace devices
