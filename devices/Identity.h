#pragma once

#include "devices/DeviceInfo.h"

#include <optional>
#include <string>
#include <vector>

// How boards are named: each gets an id that stays while it stays where it is.
namespace devices {

// Whether an id names the board wherever it is (its serial number), or only on this host (a port
// path, a family's own name), where a board elsewhere may have the same.
enum class IdScope { Global, Host };

struct BoardId {
    std::string id;
    IdScope scope = IdScope::Host;
    bool duplicateSerial = false; // another board found has the same serial number
};

// Each board's id: its serial number when it has one that no other board found shares, else its
// port path (which stays while the board stays in the same socket), else its family's name for
// it, else "board" and its number.
std::vector<BoardId> boardIds(const std::vector<DeviceInfo>& boards);

// The number (from 1) of the board a user named by its number, id, serial or port path.
std::optional<int> findBoard(const std::vector<DeviceInfo>& boards, const std::string& name);

} // namespace devices
