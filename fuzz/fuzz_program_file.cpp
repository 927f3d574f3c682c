// Any bytes as a program file: the reader never fails, gives at least one row, keeps every row
// within the line buffer and free of line ends, reads its own output back unchanged (except
// that a row filling the whole line buffer is followed by an empty row, as for any such line),
// and gives the same rows however the bytes arrive.
#include "model/ProgramFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> rows = programfile::decodeProgram(bytes);
    if (rows.empty())
        std::abort();
    bool fullRow = false;
    for (const std::string& row : rows) {
        if (row.size() > programfile::kLineBuffer ||
            row.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            std::abort();
        fullRow = fullRow || row.size() == programfile::kLineBuffer;
    }
    if (!fullRow && programfile::decodeProgram(programfile::encodeProgram(rows)) != rows)
        std::abort();
    // Fed in two chunks, split anywhere (a CR LF across the split included), the streaming
    // reader gives the same rows.
    const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    std::vector<std::string> streamed;
    programfile::ProgramReader reader(!programfile::holdsLineFeed(bytes),
                                      [&](std::string_view row) { streamed.emplace_back(row); });
    reader.feed(bytes.substr(0, split));
    reader.feed(bytes.substr(split));
    reader.finish();
    if (streamed != rows)
        std::abort();
    return 0;
}
