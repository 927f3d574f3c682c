#include "devices/Identity.h"

#include <algorithm>

namespace devices {

std::vector<BoardId> boardIds(const std::vector<DeviceInfo>& boards) {
    std::vector<BoardId> ids;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const DeviceInfo& board = boards[i];
        const auto sameSerial = std::count_if(boards.begin(), boards.end(), [&](const auto& other) {
            return other.serial == board.serial;
        });
        BoardId named;
        named.duplicateSerial = !board.serial.empty() && sameSerial > 1;
        if (!board.serial.empty() && sameSerial == 1) {
            named.id = board.serial;
            named.scope = IdScope::Global;
        } else if (!board.portPath.empty()) {
            named.id = board.portPath;
        } else if (!board.name.empty()) {
            named.id = board.name;
        } else {
            named.id = "board" + std::to_string(i + 1);
        }
        ids.push_back(std::move(named));
    }
    return ids;
}

std::optional<int> findBoard(const std::vector<DeviceInfo>& boards, const std::string& name) {
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        const long number = name.size() > 9 ? 0 : std::stol(name);
        if (number >= 1)
            return static_cast<int>(number);
    }
    const std::vector<BoardId> ids = boardIds(boards);
    for (std::size_t i = 0; i < boards.size(); ++i)
        if (ids[i].id == name ||
            (!name.empty() && (boards[i].serial == name || boards[i].portPath == name)))
            return static_cast<int>(i + 1);
    return std::nullopt;
}

} // namespace devices
