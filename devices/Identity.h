#pragma once

#include "devices/DeviceInfo.h"

#include <optional>
#include <string>
#include <vector>

// How boards are named: each gets an id that stays while it stays where it is.
namespace devices {

// Which rule gave a board its id. A serial number names the board wherever it is plugged in; a
// port path, a family's name or a number names it only on this host, where another host may have
// a board of the same id.
enum class IdSource { Serial, PortPath, FamilyName, Number };

inline bool uniqueOnlyOnThisHost(IdSource source) {
    return source != IdSource::Serial;
}

struct BoardId {
    std::string id;
    IdSource source = IdSource::Number;
    bool duplicateSerial = false; // another board found has the same serial number
};

// Each board's id: its serial number when it has one that no other board found shares, else its
// port path (which stays while the board stays in the same socket), else its family's name for
// it, else "board" and its number.
std::vector<BoardId> identifyBoards(const std::vector<DeviceInfo>& boards);

// The ids alone.
std::vector<std::string> boardIds(const std::vector<DeviceInfo>& boards);

// Whether a board so described may carry this id: its serial, port path or family's name; a board
// described by nothing may carry any.
bool mayBeBoard(const DeviceInfo& board, const std::string& id);

// Whether two descriptions are of the same board, as far as they tell.
bool sameBoard(const DeviceInfo& a, const DeviceInfo& b);

// The number (from 1) of the board a user named by its number, id, serial or port path.
std::optional<int> findBoard(const std::vector<DeviceInfo>& boards, const std::string& name);

} // namespace devices
