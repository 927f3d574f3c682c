#include "devices/lcus/HidLink.h"

#include <hidapi.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>

namespace devices::lcus {

namespace {

// Byte 0 is the report id hidraw expects first: 0, the board numbers none.
using Report = std::array<unsigned char, std::tuple_size_v<Frame> + 1>;

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

// What the link and its writer thread share: the device, and one report at a time.
struct HidLink::Shared {
    explicit Shared(hid_device* opened)
        : device(opened) {}
    ~Shared() { ::hid_close(device); }

    hid_device* const device;
    std::mutex lock;
    std::condition_variable changed;
    std::optional<Report> request; // waiting for the writer
    bool writing = false;
    std::optional<Result<void>> answer; // of the last report written
    bool stop = false;
};

Result<std::unique_ptr<HidLink>> HidLink::open(const std::string& path,
                                               std::chrono::milliseconds limit) {
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
    return std::make_unique<HidLink>(device, path, limit);
}

HidLink::HidLink(hid_device* device, std::string path, std::chrono::milliseconds limit)
    : shared_(std::make_shared<Shared>(device))
    , path_(std::move(path))
    , limit_(limit)
    , writer_(&HidLink::writeReports, shared_) {}

HidLink::~HidLink() {
    bool hanging = false;
    {
        const std::lock_guard guard(shared_->lock);
        shared_->stop = true;
        hanging = shared_->writing;
    }
    shared_->changed.notify_all();
    if (hanging)
        writer_.detach(); // it holds the device until its write returns
    else
        writer_.join();
}

void HidLink::writeReports(const std::shared_ptr<Shared>& shared) {
    std::unique_lock guard(shared->lock);
    for (;;) {
        shared->changed.wait(guard, [&] { return shared->stop || shared->request; });
        if (shared->stop)
            return;
        const Report report = *shared->request;
        shared->request.reset();
        shared->writing = true;
        guard.unlock();
        errno = 0;
        const int written = ::hid_write(shared->device, report.data(), report.size());
        const int error = errno;
        Result<void> answer;
        if (written >= 0 && written != static_cast<int>(report.size()))
            answer = Failure{Failure::Kind::ShortWrite, "the board took part of a frame"};
        else if (written < 0 && unplugged(error))
            answer = Failure{Failure::Kind::Gone,
                             std::string("the board is gone (") + std::strerror(error) + ")"};
        else if (written < 0)
            answer = Failure{Failure::Kind::Io, narrow(::hid_error(shared->device))};
        guard.lock();
        shared->writing = false;
        shared->answer = std::move(answer);
        shared->changed.notify_all();
    }
}

Result<void> HidLink::send(const Frame& frame) {
    const auto deadline = std::chrono::steady_clock::now() + limit_;
    const auto noAnswer = [&](const char* what) {
        return Failure{Failure::Kind::NoAnswer, "cannot write to " + path_ + ": " + what + " for " +
                                                    std::to_string(limit_.count()) + " ms"};
    };
    std::unique_lock guard(shared_->lock);
    if (!shared_->changed.wait_until(guard, deadline, [&] { return !shared_->writing; }))
        return noAnswer("the board has taken no frame");
    Report report{};
    std::memcpy(report.data() + 1, frame.data(), frame.size());
    shared_->request = report;
    shared_->answer.reset();
    shared_->changed.notify_all();
    if (!shared_->changed.wait_until(guard, deadline, [&] { return shared_->answer.has_value(); }))
        return noAnswer("the board took no frame");
    Result<void> answer = std::move(*shared_->answer);
    if (!answer)
        return Failure{answer.failure().kind,
                       "cannot write to " + path_ + ": " + answer.failure().detail};
    return answer;
}

} // namespace devices::lcus
