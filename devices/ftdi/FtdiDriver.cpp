#include "devices/ftdi/FtdiDriver.h"

#include <algorithm>
#include <sstream>
#include <tuple>

namespace devices::ftdi {

const std::vector<UsbId>& builtInRelayBoardIds() {
    static const std::vector<UsbId> ids{
        {0x0403, 0x6001}, // FT232R / FT245R, the usual eight-relay boards
        {0x0403, 0x6015}, // FT230X / FT231X / FT234X
    };
    return ids;
}

std::vector<UsbId> parseUsbIds(const std::string& text) {
    std::vector<UsbId> ids;
    std::istringstream entries(text);
    std::string entry;
    while (std::getline(entries, entry, ',')) {
        const auto colon = entry.find(':');
        if (colon == std::string::npos)
            continue;
        try {
            std::size_t used = 0;
            const unsigned long vendor = std::stoul(entry.substr(0, colon), &used, 16);
            const std::string productText = entry.substr(colon + 1);
            std::size_t usedProduct = 0;
            const unsigned long product = std::stoul(productText, &usedProduct, 16);
            if (used == colon && usedProduct == productText.size() && vendor <= 0xFFFF &&
                product <= 0xFFFF)
                ids.push_back(
                    {static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)});
        } catch (const std::exception&) {
        }
    }
    return ids;
}

std::vector<UsbDevice> matchRelayBoards(std::vector<UsbDevice> devices,
                                        const std::vector<UsbId>& ids) {
    const auto isRelayBoard = [&ids](const UsbDevice& device) {
        return std::any_of(ids.begin(), ids.end(), [&device](const UsbId& id) {
            return id.vendor == device.vendor && id.product == device.product;
        });
    };
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [&](const UsbDevice& d) { return !isRelayBoard(d); }),
                  devices.end());
    std::stable_sort(devices.begin(), devices.end(), [](const UsbDevice& a, const UsbDevice& b) {
        return std::tie(a.bus, a.ports, a.serial) < std::tie(b.bus, b.ports, b.serial);
    });
    return devices;
}

FtdiDriver::FtdiDriver(std::unique_ptr<FtdiApi> api, std::vector<UsbId> ids)
    : api_(std::move(api))
    , ids_(std::move(ids)) {}

FtdiDriver::~FtdiDriver() {
    for (const auto& [handle, opened] : open_)
        api_->close(opened.context);
}

void* FtdiDriver::context(Handle handle) const {
    const std::lock_guard lock(handlesLock_);
    const auto found = open_.find(handle);
    return found == open_.end() ? nullptr : found->second.context;
}

std::optional<BoardInfo> FtdiDriver::describeOpened(Handle handle) {
    const std::lock_guard lock(handlesLock_);
    const auto found = open_.find(handle);
    if (found == open_.end())
        return std::nullopt;
    return found->second.info;
}

namespace {

// The port path as the kernel spells it: bus, a dash, then the ports joined by dots ("1-1.4").
BoardInfo infoOf(const UsbDevice& board) {
    BoardInfo info;
    info.serial = board.serial;
    if (!board.ports.empty()) {
        info.portPath = std::to_string(board.bus) + '-';
        for (std::size_t i = 0; i < board.ports.size(); ++i)
            info.portPath += (i ? "." : "") + std::to_string(board.ports[i]);
    }
    return info;
}

} // namespace

Status FtdiDriver::countDevices(std::uint32_t& count) {
    const std::lock_guard lock(busLock_);
    count = static_cast<std::uint32_t>(matchRelayBoards(api_->listDevices(), ids_).size());
    return Status::Ok;
}

BoardInfo FtdiDriver::describe(std::uint32_t index) {
    const std::lock_guard lock(busLock_);
    const std::vector<UsbDevice> boards = matchRelayBoards(api_->listDevices(), ids_);
    return index < boards.size() ? infoOf(boards[index]) : BoardInfo{};
}

Status FtdiDriver::openByIndex(std::uint32_t index, Handle& handle) {
    const std::lock_guard lock(busLock_);
    const std::vector<UsbDevice> boards = matchRelayBoards(api_->listDevices(), ids_);
    if (index >= boards.size())
        return Status::DeviceNotFound;
    void* context = api_->open(boards[index], kUsbTimeoutMs);
    if (!context)
        return Status::DeviceNotOpened;
    const std::lock_guard handles(handlesLock_);
    handle = nextHandle_++;
    open_[handle] = {context, infoOf(boards[index])};
    return Status::Ok;
}

namespace {
Status fromResult(int result) {
    return result < 0 ? Status::IoError : Status::Ok;
}
} // namespace

Status FtdiDriver::setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) {
    void* ctx = context(handle);
    return ctx ? fromResult(api_->setBitmode(ctx, mask, mode)) : Status::InvalidHandle;
}

Status FtdiDriver::setBaudRate(Handle handle, std::uint32_t rate) {
    void* ctx = context(handle);
    return ctx ? fromResult(api_->setBaudrate(ctx, static_cast<int>(rate))) : Status::InvalidHandle;
}

Status FtdiDriver::write(Handle handle, const std::uint8_t* buffer, std::uint32_t length,
                         std::uint32_t& written) {
    written = 0;
    void* ctx = context(handle);
    if (!ctx)
        return Status::InvalidHandle;
    const int result = api_->writeData(ctx, buffer, static_cast<int>(length));
    if (result < 0)
        return Status::IoError;
    written = static_cast<std::uint32_t>(result);
    return written == length ? Status::Ok : Status::IoError;
}

Status FtdiDriver::readPins(Handle handle, std::uint8_t& pins) {
    void* ctx = context(handle);
    if (!ctx)
        return Status::InvalidHandle;
    std::uint8_t read = 0;
    if (api_->readPins(ctx, &read) < 0)
        return Status::IoError;
    pins = read;
    return Status::Ok;
}

// The handle is forgotten first and its board closed after, without the lock: closing a wedged
// board waits out its USB timeout.
Status FtdiDriver::close(Handle handle) {
    void* context = nullptr;
    {
        const std::lock_guard lock(handlesLock_);
        const auto found = open_.find(handle);
        if (found == open_.end())
            return Status::InvalidHandle;
        context = found->second.context;
        open_.erase(found);
    }
    api_->close(context);
    return Status::Ok;
}

} // namespace devices::ftdi
