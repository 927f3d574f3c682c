#include "devices/Identity.h"

#include <algorithm>

namespace devices {

std::vector<BoardId> identifyBoards(const std::vector<DeviceInfo>& boards) {
    std::vector<BoardId> ids;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const DeviceInfo& board = boards[i];
        const auto sameSerial = std::count_if(boards.begin(), boards.end(), [&](const auto& other) {
            return other.serial == board.serial;
        });
        const bool duplicate = !board.serial.empty() && sameSerial > 1;
        if (board.configured && !board.name.empty())
            ids.push_back({board.name, IdSource::FamilyName, false});
        else if (!board.serial.empty() && sameSerial == 1)
            ids.push_back({board.serial, IdSource::Serial, false});
        else if (!board.portPath.empty())
            ids.push_back({board.portPath, IdSource::PortPath, duplicate});
        else if (!board.name.empty())
            ids.push_back({board.name, IdSource::FamilyName, duplicate});
        else
            ids.push_back({"board" + std::to_string(i + 1), IdSource::Number, duplicate});
    }
    return ids;
}

std::vector<std::string> boardIds(const std::vector<DeviceInfo>& boards) {
    std::vector<std::string> ids;
    for (BoardId& board : identifyBoards(boards))
        ids.push_back(std::move(board.id));
    return ids;
}

bool mayBeBoard(const DeviceInfo& board, const std::string& id) {
    if (board.serial.empty() && board.portPath.empty() && board.name.empty())
        return true;
    return !id.empty() && (id == board.serial || id == board.portPath || id == board.name);
}

bool sameBoard(const DeviceInfo& a, const DeviceInfo& b) {
    return a.family == b.family && a.serial == b.serial && a.portPath == b.portPath &&
           a.name == b.name;
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

} // namespace devices
