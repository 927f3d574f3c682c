#include "devices/ftdi/FtdiFamily.h"

namespace devices::ftdi {

namespace {

constexpr std::uint8_t kAllPinsOutput = 0xFF;
constexpr std::uint8_t kAsyncBitBang = 1;
constexpr std::uint32_t kRate = 115200;

// The eight pins outputs, in asynchronous bit-bang mode; nothing is written, so the relays keep
// what they had.
void setUp(Driver& driver, Handle handle) {
    driver.setBitMode(handle, kAllPinsOutput, kAsyncBitBang);
    driver.setBaudRate(handle, kRate);
}

Failure failureOf(Status status, const char* call) {
    const std::string what = std::string("the board's ") + call + " failed";
    switch (status) {
    case Status::InvalidHandle:
    case Status::DeviceNotOpened:
        return {Failure::Kind::NotOpen, what + ": no board is open"};
    case Status::DeviceNotFound:
        return {Failure::Kind::Gone, what + ": the board is not there"};
    case Status::Ok:
    case Status::IoError:
        break;
    }
    return {Failure::Kind::Io, what};
}

// One board's handle. The driver is called even without one (handle 0), and fails the call, as
// the program has always done: whether a board is open is judged by the handle alone, and a
// handle is never reset, so a call on a board that was closed fails in the driver.
class FtdiDevice final : public RelayDevice {
public:
    FtdiDevice(Driver& driver, Handle handle, DeviceInfo info, const Profile& profile)
        : driver_(driver)
        , handle_(handle)
        , info_(std::move(info))
        , profile_(profile) {}

    DeviceInfo info() const override { return info_; }
    bool isOpen() const override { return handle_ != 0; }

    Result<std::uint8_t> readRelays() override {
        std::uint8_t pins = 0;
        const Status status = driver_.readPins(handle_, pins);
        if (!succeeded(status))
            return failureOf(status, "read");
        return profile_.relaysOf(pins);
    }

    Result<void> writeRelays(std::uint8_t relays) override {
        std::uint32_t written = 0;
        const std::uint8_t pins = profile_.pinsOf(relays);
        const Status status = driver_.write(handle_, &pins, 1, written);
        if (!succeeded(status))
            return failureOf(status, "write");
        return {};
    }

    void setUpAgain() override { setUp(driver_, handle_); }

    Result<void> close() override {
        const Status status = driver_.close(handle_);
        if (!succeeded(status))
            return failureOf(status, "close");
        return {};
    }

private:
    Driver& driver_;
    const Handle handle_;
    const DeviceInfo info_;
    const Profile profile_;
};

bool describeSameBoard(const DeviceInfo& a, const DeviceInfo& b) {
    return a.serial == b.serial && a.portPath == b.portPath && a.name == b.name;
}

const Profile kDefaultProfile{};
const Profile kDenkovi4{4, {0x02, 0x08, 0x20, 0x80, 0, 0, 0, 0}};

} // namespace

std::uint8_t Profile::pinsOf(std::uint8_t relayBits) const {
    std::uint8_t pinBits = 0;
    for (int relay = 0; relay < relays; ++relay)
        if (relayBits & (1U << relay))
            pinBits |= pins[static_cast<std::size_t>(relay)];
    return pinBits;
}

std::uint8_t Profile::relaysOf(std::uint8_t pinBits) const {
    std::uint8_t relayBits = 0;
    for (int relay = 0; relay < relays; ++relay)
        if (pinBits & pins[static_cast<std::size_t>(relay)])
            relayBits |= static_cast<std::uint8_t>(1U << relay);
    return relayBits;
}

std::optional<Profile> profileNamed(const std::string& name) {
    if (name == "default")
        return kDefaultProfile;
    if (name == "denkovi4")
        return kDenkovi4;
    return std::nullopt;
}

std::optional<ConfigError> FtdiFamily::configure(const std::vector<ConfiguredBoard>& sections) {
    std::map<std::string, Profile> profiles;
    for (const ConfiguredBoard& section : sections) {
        for (const auto& [key, setting] : section.settings)
            if (key != "family" && key != "profile")
                return ConfigError{setting.where + ": ftdi boards take no " + key +
                                   " (they are found on USB; [ID] names one by its serial or "
                                   "port path, and profile says how it is wired)"};
        const Setting* profile = section.find("profile");
        if (!profile)
            return ConfigError{section.where + ": [" + section.id +
                               "] of family ftdi gives no profile (default or denkovi4)"};
        const std::optional<Profile> known = profileNamed(profile->value);
        if (!known)
            return ConfigError{profile->where + ": unknown ftdi profile " + profile->value +
                               " (default or denkovi4)"};
        profiles.emplace(section.id, *known);
    }
    profiles_ = std::move(profiles);
    return std::nullopt;
}

const Profile& FtdiFamily::profileOf(const BoardInfo& board) const {
    for (const std::string* name : {&board.serial, &board.portPath})
        if (!name->empty())
            if (const auto found = profiles_.find(*name); found != profiles_.end())
                return found->second;
    return kDefaultProfile;
}

FtdiFamily::FtdiFamily(Driver& driver)
    : driver_(driver) {}

FtdiFamily::FtdiFamily(std::unique_ptr<Driver> driver)
    : owned_(std::move(driver))
    , driver_(*owned_) {}

DeviceInfo FtdiFamily::infoOf(const BoardInfo& board) const {
    DeviceInfo info;
    info.family = std::string(name());
    info.serial = board.serial;
    info.portPath = board.portPath;
    info.name = board.name;
    info.relayCount = profileOf(board).relays;
    return info;
}

std::vector<DeviceInfo> FtdiFamily::enumerate() {
    std::uint32_t count = 0;
    driver_.countDevices(count);
    std::vector<DeviceInfo> boards;
    boards.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
        boards.push_back(infoOf(driver_.describe(i)));
    return boards;
}

// What was opened is told by the driver when it can say; otherwise by the bus as it was counted.
std::unique_ptr<RelayDevice> FtdiFamily::openAndCheck(std::size_t index,
                                                      const DeviceInfo* expected) {
    const auto at = static_cast<std::uint32_t>(index);
    Handle handle = 0;
    driver_.openByIndex(at, handle);
    if (handle == 0)
        return unopened();
    const std::optional<BoardInfo> opened = driver_.describeOpened(handle);
    const BoardInfo board = opened ? *opened : driver_.describe(at);
    const DeviceInfo info = infoOf(board);
    if (expected && opened && !describeSameBoard(info, *expected)) {
        driver_.close(handle);
        return unopened();
    }
    setUp(driver_, handle);
    return std::make_unique<FtdiDevice>(driver_, handle, info, profileOf(board));
}

std::unique_ptr<RelayDevice> FtdiFamily::open(std::size_t index) {
    return openAndCheck(index, nullptr);
}

std::unique_ptr<RelayDevice> FtdiFamily::openExpecting(std::size_t index,
                                                       const DeviceInfo& expected) {
    return openAndCheck(index, &expected);
}

std::unique_ptr<RelayDevice> FtdiFamily::unopened() {
    DeviceInfo info;
    info.family = std::string(name());
    return std::make_unique<FtdiDevice>(driver_, 0, std::move(info), kDefaultProfile);
}

} // namespace devices::ftdi
