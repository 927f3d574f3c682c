#include "devices/lcus/LcusFamily.h"

#include "devices/lcus/HidLink.h"
#include "devices/lcus/LcusDevice.h"
#include "devices/lcus/SerialLink.h"

#include <hidapi.h>
#include <libudev.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <sys/stat.h>

namespace devices::lcus {

namespace {

constexpr unsigned short kHidVendor = 0x5131;
constexpr unsigned short kHidProduct = 0x2007;
constexpr std::array<std::string_view, 4> kKeys{"family", "device", "relays", "baud"};
constexpr std::string_view kHidDevice = "hid:";

// relayN.anything: a relay's own options, which are not the family's to judge.
bool isRelayOption(const std::string& key) {
    constexpr std::string_view prefix = "relay";
    if (key.rfind(prefix, 0) != 0)
        return false;
    const std::size_t dot = key.find('.');
    if (dot == std::string::npos || dot == prefix.size())
        return false;
    return std::all_of(key.begin() + prefix.size(), key.begin() + static_cast<long>(dot),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::optional<int> baudOf(const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    const int baud = std::stoi(text);
    return speedOf(baud) != 0 ? std::optional<int>(baud) : std::nullopt;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The USB port path ("1-1.4") of the device a hidraw node belongs to, as the other families name
// their boards' places; empty when udev cannot say.
std::string usbPortOf(const std::string& hidrawPath) {
    const std::string node = hidrawPath.substr(hidrawPath.rfind('/') + 1);
    udev* context = ::udev_new();
    if (!context)
        return {};
    std::string port;
    if (udev_device* hidraw =
            ::udev_device_new_from_subsystem_sysname(context, "hidraw", node.c_str())) {
        if (udev_device* usb =
                ::udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device"))
            port = ::udev_device_get_sysname(usb);
        ::udev_device_unref(hidraw);
    }
    ::udev_unref(context);
    return port;
}

std::optional<ConfigError> checkSection(const ConfiguredBoard& section, int& relays, int& baud) {
    for (const auto& [key, setting] : section.settings) {
        if (isRelayOption(key) || std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end())
            continue;
        return ConfigError{setting.where + ": " + section.id + ": lcus boards take no \"" + key +
                           "\" (their keys are device, relays and baud)"};
    }
    const Setting* device = section.find("device");
    if (!device || device->value.empty())
        return ConfigError{section.where + ": " + section.id +
                           ": an lcus board needs its device (the serial port it is on)"};
    if (const Setting* count = section.find("relays")) {
        const std::optional<int> parsed = relayCountOf(count->value);
        if (!parsed)
            return ConfigError{count->where + ": " + section.id + ": relays = " + count->value +
                               " is not a relay count from 1 to 8"};
        relays = *parsed;
    }
    if (const Setting* rate = section.find("baud")) {
        const std::optional<int> parsed = baudOf(rate->value);
        if (!parsed)
            return ConfigError{rate->where + ": " + section.id + ": baud = " + rate->value +
                               " is not a serial rate (1200 to 115200)"};
        baud = *parsed;
    }
    return std::nullopt;
}

} // namespace

LcusFamily::LcusFamily(bool findHidBoards)
    : findHidBoards_(findHidBoards) {}

std::optional<ConfigError> LcusFamily::configure(const std::vector<ConfiguredBoard>& sections) {
    std::vector<SerialBoard> boards;
    std::vector<HidOptions> hidOptions;
    for (const ConfiguredBoard& section : sections) {
        SerialBoard board{section.id, section.value("device")};
        if (std::optional<ConfigError> error = checkSection(section, board.relays, board.baud))
            return error;
        if (board.device.rfind(kHidDevice, 0) != 0) {
            boards.push_back(std::move(board));
            continue;
        }
        if (const Setting* rate = section.find("baud"))
            return ConfigError{rate->where + ": " + section.id + ": an HID board has no baud"};
        hidOptions.push_back({board.id, board.device.substr(kHidDevice.size()), board.relays});
    }
    const std::lock_guard guard(lock_);
    configured_ = std::move(boards);
    hidOptions_ = std::move(hidOptions);
    return std::nullopt;
}

DeviceInfo LcusFamily::infoOf(const SerialBoard& board) {
    DeviceInfo info;
    info.family = "lcus";
    info.relayCount = board.relays;
    info.readsBack = false;
    info.portPath = board.device;
    info.name = board.id;
    info.configured = true;
    return info;
}

std::vector<std::pair<LcusFamily::HidBoard, DeviceInfo>> LcusFamily::hidBoards() {
    std::vector<std::pair<HidBoard, DeviceInfo>> found;
    if (!findHidBoards_ || ::hid_init() != 0)
        return found;
    hid_device_info* all = ::hid_enumerate(kHidVendor, kHidProduct);
    for (const hid_device_info* device = all; device; device = device->next) {
        DeviceInfo info;
        info.family = "lcus";
        info.readsBack = false;
        info.portPath = usbPortOf(device->path);
        if (info.portPath.empty())
            info.portPath = device->path;
        applyOptions(info);
        found.emplace_back(HidBoard{device->path}, std::move(info));
    }
    ::hid_free_enumeration(all);
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.second.portPath < b.second.portPath; });
    return found;
}

void LcusFamily::applyOptions(DeviceInfo& info) {
    const std::lock_guard guard(lock_);
    for (const HidOptions& options : hidOptions_)
        if (options.port == info.portPath) {
            info.relayCount = options.relays;
            info.name = options.id;
            info.configured = true;
        }
}

std::vector<DeviceInfo> LcusFamily::enumerate() {
    std::vector<std::pair<Board, DeviceInfo>> listed;
    {
        const std::lock_guard guard(lock_);
        for (const SerialBoard& board : configured_)
            if (exists(board.device))
                listed.emplace_back(board, infoOf(board));
    }
    for (auto& [board, info] : hidBoards())
        listed.emplace_back(std::move(board), std::move(info));
    std::vector<DeviceInfo> infos;
    for (const auto& entry : listed)
        infos.push_back(entry.second);
    const std::lock_guard guard(lock_);
    listed_ = std::move(listed);
    return infos;
}

std::unique_ptr<RelayDevice> LcusFamily::open(std::size_t index) {
    std::pair<Board, DeviceInfo> entry;
    {
        const std::lock_guard guard(lock_);
        if (index >= listed_.size())
            return unopened();
        entry = listed_[index];
    }
    Result<std::unique_ptr<Link>> link = std::visit(
        [](const auto& board) -> Result<std::unique_ptr<Link>> {
            using Kind = std::decay_t<decltype(board)>;
            auto opened = [&] {
                if constexpr (std::is_same_v<Kind, SerialBoard>)
                    return SerialLink::open(board.device, board.baud);
                else
                    return HidLink::open(board.path, kSendLimit);
            }();
            if (!opened)
                return opened.failure();
            return std::unique_ptr<Link>(std::move(opened).value());
        },
        entry.first);
    if (!link)
        return unopenedDevice(std::move(entry.second));
    return std::make_unique<LcusDevice>(std::move(link).value(), std::move(entry.second));
}

std::unique_ptr<RelayDevice> LcusFamily::unopened() {
    DeviceInfo info;
    info.family = "lcus";
    info.readsBack = false;
    return unopenedDevice(std::move(info));
}

} // namespace devices::lcus
