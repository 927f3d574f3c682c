#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The program file: one row of the program list per line, row 0 first, each line ended by CR LF.
namespace programfile {

// The reader takes at most this many characters per read, so a longer line is split over rows.
inline constexpr std::size_t kLineBuffer = 24;

// Larger program files are refused: 16 MiB hold about 1.4 million steps.
inline constexpr std::uint64_t kMaxFileBytes = 16ull * 1024 * 1024;

std::string encodeProgram(const std::vector<std::string>& rows);

// Turns a file's bytes into rows as they arrive, so a file is never held whole. LF ends a line,
// and CR LF reads as one LF; a row is the line's text up to its first CR (or NUL). Only a file
// that holds no LF at all has its lines ended by CR, so that CR-only files stay readable. Each
// read takes up to 24 characters up to and including the line end; a longer line continues in
// the next row. A last line without a line end is kept, and an empty file gives one empty row.
class ProgramReader {
public:
    using RowSink = std::function<void(std::string_view row)>;

    ProgramReader(bool crEndsLines, RowSink onRow);

    void feed(std::string_view bytes);
    void finish();

private:
    void take(char c);
    void emitRow();

    bool crEndsLines_;
    RowSink onRow_;
    std::string read_; // the characters of the read in progress, line end excluded
    bool pendingCr_ = false;
    bool anyRow_ = false;
};

// Whether the bytes hold a line feed, which decides the reader's line ends.
bool holdsLineFeed(std::string_view bytes);

// Whether a text given as a program is program steps: at least one row, every row eight 0/1 and
// a "-" (and the delay after it), empty rows allowed. The reader above takes any text, so a
// program's name or another file's text sent in its place would otherwise play as steps.
bool holdsOnlySteps(std::string_view text);

// The rows a whole file's bytes give; never empty.
std::vector<std::string> decodeProgram(std::string_view bytes);

// The name a program is saved under: ".txt" is added unless the name ends in it (any case).
std::string programFileName(std::string chosen);

} // namespace programfile
