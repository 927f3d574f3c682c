#pragma once

#include "board/Driver.h"

#include <cstdint>
#include <string>

namespace board {

// One relay board over the driver interface: it owns the handle of the board it opened and makes
// the three calls that set a board up, so the window and the command line open boards alike.
// The handle stays after a failed call and is never reset, so a later call on a lost board
// fails in the driver rather than in here.
class RelayBoard {
public:
    explicit RelayBoard(Driver& driver)
        : driver_(driver) {}

    Driver& driver() const { return driver_; }
    Handle handle() const { return handle_; }
    bool isOpen() const { return handle_ != 0; }

    // Opens the board at the device index and makes its eight pins outputs in asynchronous
    // bit-bang mode. Nothing is written, so the relays keep their state. False when the driver
    // gave no handle; the set-up calls' statuses are not judged.
    bool open(std::uint32_t index);
    // The same after close, with the old handle forgotten first, so that a board that cannot be
    // opened again is not taken for the one that was; and only when the board opened may carry
    // this id: another one (the bus changed since it was counted) is closed again, untouched.
    bool reopen(std::uint32_t index, const std::string& id);
    Status readPins(std::uint8_t& pins) const;
    // Writes one relay state byte; written receives the count the driver reports.
    Status write(const std::uint8_t& byte, std::uint32_t& written) const;
    Status close() const;

private:
    void setUp() const; // the pins outputs, in asynchronous bit-bang mode

    Driver& driver_;
    Handle handle_ = 0;
};

} // namespace board
