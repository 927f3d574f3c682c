#pragma once

#include <string>
#include <string_view>
#include <vector>

// The program file: one row of the program list per line, row 0 first, each line ended by CR LF.
namespace programfile {

// The reader takes at most this many characters per read, so a longer line is split over rows.
inline constexpr std::size_t kLineBuffer = 24;

std::string encodeProgram(const std::vector<std::string>& rows);

// The rows a file's bytes give. Line ends are CR LF, LF, or a CR alone; each read takes up to 24
// characters up to and including the line end, and its row is the text before the line end (or
// before a NUL byte, which ends a row's text). A last line without a line end is kept. An empty
// file gives one empty row; the result is never empty.
std::vector<std::string> decodeProgram(std::string_view bytes);

// The name a program is saved under: ".txt" is added unless the name ends in it (any case).
std::string programFileName(std::string chosen);

} // namespace programfile
