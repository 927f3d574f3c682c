#include "devices/ftdi/FtdiFamily.h"

namespace devices::ftdi {

namespace {

constexpr std::uint8_t kAllPinsOutput = 0xFF;
constexpr std::uint8_t kAsyncBitBang = 1;
constexpr std::uint32_t kRate = 115200;

Failure failureOf(board::Status status, const char* call) {
    const std::string what = std::string("the board's ") + call + " failed";
    switch (status) {
    case board::Status::InvalidHandle:
    case board::Status::DeviceNotOpened:
        return {Failure::Kind::NotOpen, what + ": no board is open"};
    case board::Status::DeviceNotFound:
        return {Failure::Kind::Gone, what + ": the board is not there"};
    case board::Status::Ok:
    case board::Status::IoError:
        break;
    }
    return {Failure::Kind::Io, what};
}

// One board's handle. The driver is called even without one (handle 0), and fails the call, as
// the program has always done: whether a board is open is judged by the handle alone.
class FtdiDevice final : public RelayDevice {
public:
    FtdiDevice(board::Driver& driver, board::Handle handle, DeviceInfo info)
        : driver_(driver)
        , handle_(handle)
        , info_(std::move(info)) {}

    DeviceInfo info() const override { return info_; }
    bool isOpen() const override { return handle_ != 0; }

    Result<std::uint8_t> readRelays() override {
        std::uint8_t pins = 0;
        const board::Status status = driver_.readPins(handle_, pins);
        if (!board::succeeded(status))
            return failureOf(status, "read");
        return pins;
    }

    Result<void> writeRelays(std::uint8_t relays) override {
        std::uint32_t written = 0;
        const board::Status status = driver_.write(handle_, &relays, 1, written);
        if (!board::succeeded(status))
            return failureOf(status, "write");
        if (written != 1)
            return Failure{Failure::Kind::ShortWrite, "the board took no byte of the write"};
        return {};
    }

    Result<void> close() override {
        const board::Status status = driver_.close(handle_);
        if (!board::succeeded(status))
            return failureOf(status, "close");
        return {};
    }

private:
    board::Driver& driver_;
    const board::Handle handle_;
    const DeviceInfo info_;
};

} // namespace

FtdiFamily::FtdiFamily(board::Driver& driver)
    : driver_(driver) {}

FtdiFamily::FtdiFamily(std::unique_ptr<board::Driver> driver)
    : owned_(std::move(driver))
    , driver_(*owned_) {}

DeviceInfo FtdiFamily::describe(std::uint32_t index) {
    const board::DeviceInfo found = driver_.describe(index);
    DeviceInfo info;
    info.family = std::string(name());
    info.serial = found.serial;
    info.portPath = found.portPath;
    info.name = found.name;
    return info;
}

std::vector<DeviceInfo> FtdiFamily::enumerate() {
    std::uint32_t count = 0;
    driver_.countDevices(count);
    std::vector<DeviceInfo> boards;
    boards.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
        boards.push_back(describe(i));
    return boards;
}

std::unique_ptr<RelayDevice> FtdiFamily::open(std::size_t index) {
    const auto at = static_cast<std::uint32_t>(index);
    board::Handle handle = 0;
    driver_.openByIndex(at, handle);
    if (handle == 0)
        return unopened();
    driver_.setBitMode(handle, kAllPinsOutput, kAsyncBitBang);
    driver_.setBaudRate(handle, kRate);
    return std::make_unique<FtdiDevice>(driver_, handle, describe(at));
}

std::unique_ptr<RelayDevice> FtdiFamily::unopened() {
    DeviceInfo info;
    info.family = std::string(name());
    return std::make_unique<FtdiDevice>(driver_, 0, std::move(info));
}

} // namespace devices::ftdi
