#include "board/RelayBoard.h"

#include "board/BoardIdentity.h"

namespace board {

namespace {
constexpr std::uint8_t kAllPinsOutput = 0xFF;
constexpr std::uint8_t kAsyncBitBang = 1;
constexpr std::uint32_t kRate = 115200;
} // namespace

bool RelayBoard::open(std::uint32_t index) {
    driver_.openByIndex(index, handle_);
    if (handle_ == 0)
        return false;
    setUp();
    return true;
}

bool RelayBoard::reopen(std::uint32_t index, const std::string& id) {
    handle_ = 0;
    driver_.openByIndex(index, handle_);
    if (handle_ == 0)
        return false;
    if (const std::optional<DeviceInfo> opened = driver_.describeOpened(handle_);
        opened && !mayBeBoard(*opened, id)) {
        driver_.close(handle_);
        handle_ = 0;
        return false;
    }
    setUp();
    return true;
}

void RelayBoard::setUp() const {
    driver_.setBitMode(handle_, kAllPinsOutput, kAsyncBitBang);
    driver_.setBaudRate(handle_, kRate);
}

Status RelayBoard::readPins(std::uint8_t& pins) const {
    return driver_.readPins(handle_, pins);
}

Status RelayBoard::write(const std::uint8_t& byte, std::uint32_t& written) const {
    return driver_.write(handle_, &byte, 1, written);
}

Status RelayBoard::close() const {
    return driver_.close(handle_);
}

} // namespace board
