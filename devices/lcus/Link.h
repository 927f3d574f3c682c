#pragma once

#include "devices/Result.h"
#include "devices/lcus/Frame.h"

// The way frames reach one board: a serial port, or a USB HID interrupt endpoint.
namespace devices::lcus {

class Link {
public:
    virtual ~Link() = default;
    // Delivers one frame, or says why it could not: the board gone, or the way to it blocked for
    // longer than a board is given.
    virtual Result<void> send(const Frame& frame) = 0;
};

} // namespace devices::lcus
