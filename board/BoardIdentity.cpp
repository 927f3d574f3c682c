#include "board/BoardIdentity.h"

#include <algorithm>

namespace board {

std::vector<BoardId> identifyBoards(const std::vector<DeviceInfo>& boards) {
    std::vector<BoardId> ids;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const DeviceInfo& board = boards[i];
        const auto sameSerial = std::count_if(boards.begin(), boards.end(), [&](const auto& other) {
            return other.serial == board.serial;
        });
        if (!board.serial.empty() && sameSerial == 1)
            ids.push_back({board.serial, IdSource::Serial});
        else if (!board.portPath.empty())
            ids.push_back({board.portPath, IdSource::PortPath});
        else if (!board.name.empty())
            ids.push_back({board.name, IdSource::BackendName});
        else
            ids.push_back({"board" + std::to_string(i + 1), IdSource::Number});
    }
    return ids;
}

std::vector<std::string> boardIds(const std::vector<DeviceInfo>& boards) {
    std::vector<std::string> ids;
    for (BoardId& board : identifyBoards(boards))
        ids.push_back(std::move(board.id));
    return ids;
}

std::vector<DeviceInfo> describeBoards(Driver& driver) {
    std::uint32_t count = 0;
    driver.countDevices(count);
    std::vector<DeviceInfo> boards;
    for (std::uint32_t i = 0; i < count; ++i)
        boards.push_back(driver.describe(i));
    return boards;
}

bool mayBeBoard(const DeviceInfo& board, const std::string& id) {
    if (board.serial.empty() && board.portPath.empty() && board.name.empty())
        return true;
    return !id.empty() && (id == board.serial || id == board.portPath || id == board.name);
}

std::optional<int> findBoard(const std::vector<DeviceInfo>& boards, const std::string& name) {
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        const long number = name.size() > 9 ? 0 : std::stol(name);
        if (number >= 1)
            return static_cast<int>(number);
    }
    const std::vector<std::string> ids = boardIds(boards);
    for (std::size_t i = 0; i < boards.size(); ++i)
        if (ids[i] == name ||
            (!name.empty() && (boards[i].serial == name || boards[i].portPath == name)))
            return static_cast<int>(i + 1);
    return std::nullopt;
}

} // namespace board
