#pragma once

#include "board/Driver.h"

#include <optional>
#include <string>
#include <vector>

namespace board {

// Which rule gave a board its id. A serial number names the board wherever it is plugged in; a
// port path, a backend's name or a number names it only on this host, where another host may have
// a board of the same id.
enum class IdSource { Serial, PortPath, BackendName, Number };

inline bool uniqueOnlyOnThisHost(IdSource source) {
    return source != IdSource::Serial;
}

struct BoardId {
    std::string id;
    IdSource source = IdSource::Number;
};

// Each board's id: its serial number when it has one that no other board found shares, else its
// USB port path (which stays while the board stays in the same socket), else its backend's name,
// else "board" and its number.
std::vector<BoardId> identifyBoards(const std::vector<DeviceInfo>& boards);

// The ids alone.
std::vector<std::string> boardIds(const std::vector<DeviceInfo>& boards);

// The boards found now, described.
std::vector<DeviceInfo> describeBoards(Driver& driver);

// Whether a board so described may carry this id: its serial, port path or backend's name; a board
// described by nothing may carry any.
bool mayBeBoard(const DeviceInfo& board, const std::string& id);

// The number (from 1) of the board a user named by its number, id, serial or port path.
std::optional<int> findBoard(const std::vector<DeviceInfo>& boards, const std::string& name);

} // namespace board
