#include "devices/hid/HidFamily.h"

#include "devices/Identity.h"
#include "devices/hid/BoundedCaller.h"
#include "devices/hid/Commands.h"

#include <hidapi.h>
#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <tuple>
#include <unistd.h>

namespace devices::hid {

namespace {

constexpr std::size_t kSerialAt = 1; // in hidapi's buffer, after the report id
constexpr std::size_t kRelaysAt = 8;

std::string boundText() {
    return std::to_string(kCallBound.count()) + " ms";
}

// An hidapi handle, closed when the last of its users lets go: a call stuck in a wedged board
// keeps it until it returns.
struct Handle {
    hid_device* device = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (device)
            hid_close(device);
    }
};

// A file descriptor, closed with its owner.
class Fd {
public:
    explicit Fd(int fd = -1)
        : fd_(fd) {}
    Fd(Fd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::string nodeName(const std::string& node) {
    return node.substr(node.rfind('/') + 1);
}

// The USB port path ("1-1.4") of the board behind a hidraw node: its USB device's name in sysfs.
std::string portPathOf(const std::string& node) {
    const std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), &udev_unref);
    if (!context)
        return {};
    const std::unique_ptr<udev_device, decltype(&udev_device_unref)> raw(
        udev_device_new_from_subsystem_sysname(context.get(), "hidraw", nodeName(node).c_str()),
        &udev_device_unref);
    if (!raw)
        return {};
    // The parent belongs to the child: no reference of its own.
    udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(raw.get(), "usb", "usb_device");
    const char* name = usb ? udev_device_get_sysname(usb) : nullptr;
    return name ? name : "";
}

// Whether the node is still on the bus: sysfs loses it as the board is pulled out.
bool stillThere(const std::string& node) {
    return ::access(("/sys/class/hidraw/" + nodeName(node)).c_str(), F_OK) == 0;
}

std::string serialOf(const Report& report) {
    std::string serial;
    for (std::size_t i = 0; i < kSerialLength; ++i) {
        const char c = static_cast<char>(report[kSerialAt + i]);
        if (c == '\0')
            break;
        serial += c;
    }
    return badSerial(serial) ? std::string() : serial;
}

// What one feature-report exchange gave.
struct Exchange {
    Report report{};
    int result = -1;
    int error = 0;
};

enum class Direction { Get, Send };

// One exchange with a board, on its caller: NoAnswer when the board does not answer in time;
// Gone when it left the bus.
Result<Report> exchange(BoundedCaller& caller, const std::shared_ptr<Handle>& handle,
                        const std::string& node, Direction direction, const Report& report) {
    const auto outcome = std::make_shared<Exchange>();
    outcome->report = report;
    const bool answered = caller.run([handle, outcome, direction] {
        errno = 0;
        outcome->result =
            direction == Direction::Get
                ? hid_get_feature_report(handle->device, outcome->report.data(), kReportBuffer)
                : hid_send_feature_report(handle->device, outcome->report.data(), kReportBuffer);
        outcome->error = errno;
    });
    const char* what = direction == Direction::Get ? "read" : "write";
    if (!answered)
        return Failure{Failure::Kind::NoAnswer, std::string("the board did not answer a ") + what +
                                                    " within " + boundText()};
    if (outcome->result < 0) {
        const std::string detail = std::string("the board's ") + what + " failed: " +
                                   (outcome->error ? std::strerror(outcome->error) : "no reason");
        if (outcome->error == ENODEV || !stillThere(node))
            return Failure{Failure::Kind::Gone, detail + " (the board is not there)"};
        return Failure{Failure::Kind::Io, detail};
    }
    if (direction == Direction::Get && static_cast<std::size_t>(outcome->result) < kReportBuffer)
        return Failure{Failure::Kind::Io, "the board's report was short (" +
                                              std::to_string(outcome->result) + " bytes)"};
    return outcome->report;
}

// A board that could not be opened (or none): every call fails with why.
class UnopenedDevice final : public RelayDevice {
public:
    UnopenedDevice(DeviceInfo info, Failure why)
        : info_(std::move(info))
        , why_(std::move(why)) {}
    DeviceInfo info() const override { return info_; }
    bool isOpen() const override { return false; }
    Result<std::uint8_t> readRelays() override { return why_; }
    Result<void> writeRelays(std::uint8_t) override { return why_; }
    Result<void> setSerial(const std::string&) override { return why_; }
    Result<void> close() override { return why_; }

private:
    const DeviceInfo info_;
    const Failure why_;
};

class HidDevice final : public RelayDevice {
public:
    HidDevice(DeviceInfo info, std::string node, Fd hold, std::unique_ptr<BoundedCaller> caller,
              std::shared_ptr<Handle> handle)
        : info_(std::move(info))
        , node_(std::move(node))
        , hold_(std::move(hold))
        , caller_(std::move(caller))
        , handle_(std::move(handle)) {}

    ~HidDevice() override { release(); }

    DeviceInfo info() const override { return info_; }
    bool isOpen() const override { return caller_ != nullptr; }

    Result<std::uint8_t> readRelays() override {
        Result<Report> report = get();
        if (!report)
            return report.failure();
        known_ = static_cast<std::uint8_t>(report.value()[kRelaysAt] & mask());
        return *known_;
    }

    // Only the relays that change are sent; what the board has is read first unless known.
    Result<void> writeRelays(std::uint8_t relays) override {
        if (!known_) {
            const Result<std::uint8_t> now = readRelays();
            if (!now)
                return now.failure();
        }
        const std::vector<Report> frames = framesFor(*known_, relays, info_.relayCount);
        for (const Report& frame : frames) {
            const Result<Report> sent = send(frame);
            if (!sent) {
                known_.reset(); // part of it may have landed
                return sent.failure();
            }
        }
        known_ = static_cast<std::uint8_t>(relays & mask());
        return {};
    }

    // The board takes the new serial number at once; reading it back tells whether it did.
    Result<void> setSerial(const std::string& serial) override {
        if (const std::optional<std::string> why = badSerial(serial))
            return Failure{Failure::Kind::Refused, *why};
        if (const Result<Report> sent = send(serialFrame(serial)); !sent)
            return sent.failure();
        const Result<Report> back = get();
        if (!back)
            return back.failure();
        const std::string now = serialOf(back.value());
        if (now != serial)
            return Failure{Failure::Kind::Io, "the board kept the serial number \"" + now +
                                                  "\" instead of \"" + serial + "\""};
        info_.serial = now;
        return {};
    }

    Result<void> close() override {
        if (!isOpen())
            return Failure{Failure::Kind::NotOpen, "no board is open"};
        release();
        return {};
    }

    // The serial number the board reports now.
    Result<std::string> currentSerial() {
        const Result<Report> report = get();
        if (!report)
            return report.failure();
        return serialOf(report.value());
    }

private:
    std::uint8_t mask() const { return relayMask(info_.relayCount); }

    Result<Report> get() { return call(Direction::Get, Report{}); }
    Result<Report> send(const Report& frame) { return call(Direction::Send, frame); }

    Result<Report> call(Direction direction, const Report& report) {
        if (!caller_)
            return Failure{Failure::Kind::NotOpen, "no board is open"};
        return exchange(*caller_, handle_, node_, direction, report);
    }

    // The caller first: a call stuck in the board keeps its own share of the handle.
    void release() {
        caller_.reset();
        handle_.reset();
        hold_.reset();
        known_.reset();
    }

    DeviceInfo info_;
    const std::string node_;
    Fd hold_; // the lock that holds the board against other processes
    std::unique_ptr<BoundedCaller> caller_;
    std::shared_ptr<Handle> handle_;
    std::optional<std::uint8_t> known_; // the relays as last read or written
};

DeviceInfo familyInfo() {
    DeviceInfo info;
    info.family = "hid";
    return info;
}

// Opens a node through hidapi on a caller, so that a board that never answers (hidapi asks the
// node for its descriptor size) holds nobody up.
std::optional<Failure> openHandle(BoundedCaller& caller, const std::shared_ptr<Handle>& handle,
                                  const std::string& node) {
    const bool answered =
        caller.run([handle, node] { handle->device = hid_open_path(node.c_str()); });
    if (!answered)
        return Failure{Failure::Kind::NoAnswer,
                       "the board did not answer its opening within " + boundText()};
    if (!handle->device)
        return Failure{stillThere(node) ? Failure::Kind::Refused : Failure::Kind::Gone,
                       "hidapi could not open " + node + ": " + narrow(hid_error(nullptr))};
    return std::nullopt;
}

// The serial number of a board that is not opened here, read as enumerating reads it.
std::string readSerialOf(const std::string& node) {
    BoundedCaller caller(kCallBound);
    const auto handle = std::make_shared<Handle>();
    if (openHandle(caller, handle, node))
        return {};
    const Result<Report> report = exchange(caller, handle, node, Direction::Get, Report{});
    return report ? serialOf(report.value()) : std::string();
}

} // namespace

HidFamily::HidFamily() {
    hid_init();
}

std::vector<DeviceInfo> HidFamily::enumerate() {
    boards_.clear();
    hid_device_info* const found = hid_enumerate(kVendorId, kProductId);
    for (const hid_device_info* device = found; device; device = device->next) {
        const std::optional<int> relays =
            relayCountOf(narrow(device->manufacturer_string), narrow(device->product_string));
        if (!relays || !device->path)
            continue;
        Board board;
        board.node = device->path;
        board.info = familyInfo();
        board.info.relayCount = *relays;
        board.info.portPath = portPathOf(board.node);
        boards_.push_back(std::move(board));
    }
    hid_free_enumeration(found);
    // hidraw numbers follow the order boards were plugged in; ports stay.
    std::sort(boards_.begin(), boards_.end(), [](const Board& a, const Board& b) {
        return std::tie(a.info.portPath, a.node) < std::tie(b.info.portPath, b.node);
    });
    std::vector<DeviceInfo> infos;
    for (Board& board : boards_) {
        board.info.serial = readSerialOf(board.node);
        infos.push_back(board.info);
    }
    return infos;
}

std::unique_ptr<RelayDevice> HidFamily::openBoard(std::size_t index, const DeviceInfo* expected) {
    if (index >= boards_.size())
        return unopened();
    const Board& board = boards_[index];
    Fd hold(::open(board.node.c_str(), O_RDWR | O_CLOEXEC));
    if (hold.get() < 0) {
        const int why = errno;
        return std::make_unique<UnopenedDevice>(
            board.info, Failure{why == ENOENT ? Failure::Kind::Gone : Failure::Kind::Refused,
                                "cannot open " + board.node + ": " + std::strerror(why)});
    }
    if (::flock(hold.get(), LOCK_EX | LOCK_NB) != 0)
        return std::make_unique<UnopenedDevice>(
            board.info,
            Failure{Failure::Kind::Refused, board.node + " is held by another program"});
    auto caller = std::make_unique<BoundedCaller>(kCallBound);
    const auto handle = std::make_shared<Handle>();
    if (const std::optional<Failure> failed = openHandle(*caller, handle, board.node))
        return std::make_unique<UnopenedDevice>(board.info, *failed);
    auto device = std::make_unique<HidDevice>(board.info, board.node, std::move(hold),
                                              std::move(caller), handle);
    if (expected) {
        const Result<std::string> serial = device->currentSerial();
        DeviceInfo now = board.info;
        now.serial = serial ? serial.value() : std::string();
        if (!serial || !sameBoard(now, *expected))
            return unopened();
    }
    return device;
}

std::unique_ptr<RelayDevice> HidFamily::open(std::size_t index) {
    return openBoard(index, nullptr);
}

std::unique_ptr<RelayDevice> HidFamily::openExpecting(std::size_t index,
                                                      const DeviceInfo& expected) {
    return openBoard(index, &expected);
}

std::unique_ptr<RelayDevice> HidFamily::unopened() {
    return std::make_unique<UnopenedDevice>(familyInfo(),
                                            Failure{Failure::Kind::NotOpen, "no board is open"});
}

} // namespace devices::hid
