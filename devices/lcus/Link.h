#pragma once

#include "devices/Result.h"
#include "devices/lcus/Frame.h"

#include <span>

// The way frames reach one board: a serial port, or a USB HID interrupt endpoint.
namespace devices::lcus {

class Link {
public:
    virtual ~Link() = default;
    // Delivers one frame, or says why it could not: the board gone, or the way to it blocked for
    // longer than a board is given.
    virtual Result<void> send(const Frame& frame) = 0;
    // Delivers the frames in order; a failure leaves it open which of them the board took. A
    // link that can put them on the wire back to back does so.
    virtual Result<void> sendAll(std::span<const Frame> frames) {
        for (const Frame& frame : frames)
            if (Result<void> sent = send(frame); !sent)
                return sent;
        return {};
    }
};

} // namespace devices::lcus
