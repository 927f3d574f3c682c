#pragma once

#include "devices/lcus/Link.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace devices::lcus {

// How long a frame may take to leave before the port is judged stuck: many times its wire time
// at the slowest rate, far less than a person waits.
inline constexpr std::chrono::milliseconds kSendLimit{300};

// The serial rates a board may be set to; 0 for one the port has no setting for.
unsigned speedOf(int baud);

// A serial port (a CH340's tty), raw 8N1 at its rate, held against every other process while
// it is open: TIOCEXCL for those that open it, an exclusive flock for those that lock it first.
class SerialLink final : public Link {
public:
    // The port opened and set up, or why not (held elsewhere: Refused; not there: Gone).
    static Result<std::unique_ptr<SerialLink>> open(const std::string& path, int baud);
    // Takes an open descriptor of the port as its own.
    SerialLink(int fd, std::string path, int baud);
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Written and drained from the port's queue within kSendLimit; a port that hangs up (the
    // board unplugged) is Gone.
    Result<void> send(const Frame& frame) override;
    // The frames in one write, back to back on the wire, and drained as one.
    Result<void> sendAll(std::span<const Frame> frames) override;

private:
    // Writes `pending_` out; what a deadline leaves of it stays there.
    Result<void> writePending(std::chrono::steady_clock::time_point deadline);
    Result<void> drain(std::chrono::steady_clock::time_point deadline);
    void noteOnWire(std::size_t bytes);
    Failure failureOf(int error, const char* doing) const;

    const int fd_;
    const std::string path_;
    const int baud_;
    // When the bytes written so far have left the wire, by the rate: the queue a port reports
    // ends at the USB chip's own buffer, and a pseudo-terminal reports none at all.
    std::chrono::steady_clock::time_point lineFreeAt_{};
    // The tail of a frame the port took only part of: it goes first, so that the board never
    // sees a frame cut short and its next frames misread.
    std::vector<std::uint8_t> pending_;
};

} // namespace devices::lcus
