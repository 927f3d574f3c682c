#include "devices/modbus/ModbusFamily.h"

#include <sys/stat.h>

namespace devices::modbus {

namespace {

bool isThere(const Board& board) {
    struct stat info {};
    return board.tcp || ::stat(board.device.c_str(), &info) == 0;
}

} // namespace

ModbusFamily::ModbusFamily(Timing timing)
    : timing_(timing) {}

// Every section is read before any is taken, so a refused configuration leaves the boards as
// they were.
std::optional<ConfigError> ModbusFamily::configure(const std::vector<ConfiguredBoard>& sections) {
    std::variant<std::vector<Board>, ConfigError> boards = boardsOf(sections);
    if (auto* error = std::get_if<ConfigError>(&boards))
        return std::move(*error);
    const std::lock_guard guard(lock_);
    boards_ = std::get<std::vector<Board>>(std::move(boards));
    listed_.clear();
    return std::nullopt;
}

std::vector<DeviceInfo> ModbusFamily::enumerate() {
    const std::lock_guard guard(lock_);
    listed_.clear();
    std::vector<DeviceInfo> found;
    for (const Board& board : boards_)
        if (isThere(board)) {
            listed_.push_back(board);
            found.push_back(infoOf(board));
        }
    return found;
}

std::unique_ptr<RelayDevice> ModbusFamily::open(std::size_t index) {
    Board board;
    {
        const std::lock_guard guard(lock_);
        if (index >= listed_.size())
            return unopened();
        board = listed_[index];
    }
    // Opening may take as long as a connection does; the family's lock is not held for it.
    return ModbusDevice::open(board, timing_);
}

std::unique_ptr<RelayDevice> ModbusFamily::unopened() {
    return noDevice();
}

} // namespace devices::modbus
