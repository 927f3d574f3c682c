#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The texts of the board list on the "Options" page, from the number of boards discovered.
namespace board {

// The entries of the list: none for 0 boards, "Relay Board 1" for one board, and for two or more
// the entry template "Relay Board   " with the board number written over it from its 13th
// character on (so one-digit entries keep a trailing blank and numbers from 1000 on leave the bare
// template).
std::vector<std::string> boardListEntries(std::uint32_t count);

// The text shown in the list's edit field: "No Boards Found" or "Relay Board 1".
std::string boardListText(std::uint32_t count);

// The device index to open for the selected entry (-1 = nothing selected).
std::uint32_t deviceIndexForEntry(int selectedEntry, std::uint32_t count);

} // namespace board
