#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The texts of the board list on the "Options" page, from the number of boards found.
namespace boardlist {

// The entries of the list: none for 0 boards, "Relay Board 1" for one board, and for two or more
// the entry template "Relay Board   " with the board number written over it from its 13th
// character on (so one-digit entries keep a trailing blank and numbers from 1000 on leave the bare
// template).
std::vector<std::string> entries(std::uint32_t count);

// The text shown in the list's edit field: "No Boards Found" or "Relay Board 1".
std::string text(std::uint32_t count);

} // namespace boardlist
