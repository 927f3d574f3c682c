#include "devices/lcus/SerialLink.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace devices::lcus {

namespace {

using Clock = std::chrono::steady_clock;

struct Rate {
    int baud;
    speed_t speed;
};

constexpr std::array<Rate, 8> kRates{{{1200, B1200},
                                      {2400, B2400},
                                      {4800, B4800},
                                      {9600, B9600},
                                      {19200, B19200},
                                      {38400, B38400},
                                      {57600, B57600},
                                      {115200, B115200}}};

bool hungUp(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE || error == ENOENT;
}

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Raw bytes both ways, 8N1, no flow control (the boards wire none), reads that never wait.
bool setRaw(int fd, speed_t speed) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, speed);
    ::cfsetospeed(&settings, speed);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

} // namespace

unsigned speedOf(int baud) {
    for (const Rate& rate : kRates)
        if (rate.baud == baud)
            return rate.speed;
    return 0;
}

Result<std::unique_ptr<SerialLink>> SerialLink::open(const std::string& path, int baud) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        const Failure::Kind kind = error == EBUSY || error == EACCES || error == EPERM
                                       ? Failure::Kind::Refused
                                   : hungUp(error) ? Failure::Kind::Gone
                                                   : Failure::Kind::Io;
        return Failure{kind, "cannot open " + path + ": " + std::strerror(error)};
    }
    auto link = std::make_unique<SerialLink>(fd, path, baud);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return Failure{Failure::Kind::Refused, path + " is held by another process"};
    if (::ioctl(fd, TIOCEXCL) != 0 || !setRaw(fd, speedOf(baud)))
        return link->failureOf(errno, "set up");
    return link;
}

SerialLink::SerialLink(int fd, std::string path, int baud)
    : fd_(fd)
    , path_(std::move(path))
    , baud_(baud) {}

SerialLink::~SerialLink() {
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
}

Failure SerialLink::failureOf(int error, const char* doing) const {
    const std::string what = std::string("cannot ") + doing + " " + path_ + ": ";
    if (hungUp(error))
        return {Failure::Kind::Gone, what + "the port is gone (" + std::strerror(error) + ")"};
    return {Failure::Kind::Io, what + std::strerror(error)};
}

Result<void> SerialLink::send(const Frame& frame) {
    return sendAll(std::span(&frame, 1));
}

Result<void> SerialLink::sendAll(std::span<const Frame> frames) {
    const Clock::time_point deadline = Clock::now() + kSendLimit;
    if (Result<void> earlier = writePending(deadline); !earlier)
        return earlier;
    for (const Frame& frame : frames)
        pending_.insert(pending_.end(), frame.begin(), frame.end());
    noteOnWire(pending_.size());
    if (Result<void> written = writePending(deadline); !written)
        return written;
    return drain(deadline);
}

// Ten bits a byte (start, eight data, stop), the bytes following those still on the wire.
void SerialLink::noteOnWire(std::size_t bytes) {
    const auto wire =
        std::chrono::microseconds(static_cast<std::int64_t>(bytes) * 10'000'000LL / baud_);
    lineFreeAt_ = std::max(lineFreeAt_, Clock::now()) + wire;
}

Result<void> SerialLink::writePending(Clock::time_point deadline) {
    while (!pending_.empty()) {
        const ssize_t wrote = ::write(fd_, pending_.data(), pending_.size());
        if (wrote > 0) {
            pending_.erase(pending_.begin(), pending_.begin() + wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0 && errno != EAGAIN)
            return failureOf(errno, "write to");
        pollfd waiting{fd_, POLLOUT, 0};
        const int ready = ::poll(&waiting, 1, remainingMs(deadline));
        if (ready < 0 && errno != EINTR)
            return failureOf(errno, "wait for");
        if (ready > 0 && (waiting.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return failureOf(EIO, "write to");
        if (ready == 0)
            return Failure{Failure::Kind::NoAnswer, path_ + " took no frame for " +
                                                        std::to_string(kSendLimit.count()) + " ms"};
    }
    return {};
}

// Until the frames have left the port, so that a step's time is the time its frames are on the
// wire, not the time the kernel queued them, and ticks due meanwhile merge instead of frames
// piling up in a queue the board reads at its rate. The wire's own time by the rate comes first:
// the port's queue may be empty while the chip still clocks the bytes out.
Result<void> SerialLink::drain(Clock::time_point deadline) {
    std::this_thread::sleep_until(std::min(lineFreeAt_, deadline));
    for (;;) {
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0)
            return failureOf(errno, "drain");
        if (queued <= 0)
            return {};
        if (Clock::now() >= deadline)
            return Failure{Failure::Kind::NoAnswer, path_ + " sent nothing for " +
                                                        std::to_string(kSendLimit.count()) + " ms"};
        // About the time the queued bytes take on the wire, so that the next frame follows
        // without a gap of our own; never long, since a USB chip drains in bursts.
        const auto wire = std::chrono::microseconds(queued * 10'000'000LL / baud_);
        std::this_thread::sleep_for(
            std::clamp(wire, std::chrono::microseconds(100), std::chrono::microseconds(1000)));
    }
}

} // namespace devices::lcus
