#include "devices/lcus/HidLink.h"

#include <hidapi.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <cwchar>

namespace devices::lcus {

namespace {

bool unplugged(int error) {
    return error == ENODEV || error == EIO || error == ENXIO || error == EPIPE || error == ENOENT;
}

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

} // namespace

Result<std::unique_ptr<HidLink>> HidLink::open(const std::string& path) {
    errno = 0;
    hid_device* device = ::hid_open_path(path.c_str());
    if (!device) {
        const int error = errno;
        const Failure::Kind kind = error == EACCES || error == EPERM || error == EBUSY
                                       ? Failure::Kind::Refused
                                   : unplugged(error) ? Failure::Kind::Gone
                                                      : Failure::Kind::Io;
        return Failure{kind, "cannot open " + path + ": " +
                                 (error ? std::strerror(error) : narrow(::hid_error(nullptr)))};
    }
    return std::make_unique<HidLink>(device, path);
}

HidLink::HidLink(hid_device* device, std::string path)
    : device_(device)
    , path_(std::move(path)) {}

HidLink::~HidLink() {
    ::hid_close(device_);
}

Result<void> HidLink::send(const Frame& frame) {
    // Byte 0 is the report id hidraw expects first: 0, the board numbers none.
    std::array<unsigned char, std::tuple_size_v<Frame> + 1> report{};
    std::memcpy(report.data() + 1, frame.data(), frame.size());
    errno = 0;
    const int written = ::hid_write(device_, report.data(), report.size());
    const int error = errno;
    if (written == static_cast<int>(report.size()))
        return {};
    const std::string what = "cannot write to " + path_ + ": ";
    if (written >= 0)
        return Failure{Failure::Kind::ShortWrite, what + "the board took part of a frame"};
    if (unplugged(error))
        return Failure{Failure::Kind::Gone,
                       what + "the board is gone (" + std::strerror(error) + ")"};
    if (error == ETIMEDOUT || error == EAGAIN)
        return Failure{Failure::Kind::NoAnswer, what + "the board does not answer"};
    return Failure{Failure::Kind::Io, what + narrow(::hid_error(device_))};
}

} // namespace devices::lcus
