#include "timer/ProgramFile.h"

#include <algorithm>
#include <cctype>

namespace programfile {

std::string encodeProgram(const std::vector<std::string>& rows) {
    std::size_t size = 0;
    for (const std::string& row : rows)
        size += row.size() + 2;
    std::string bytes;
    bytes.reserve(size);
    for (const std::string& row : rows) {
        bytes += row;
        bytes += "\r\n";
    }
    return bytes;
}

std::vector<std::string> decodeProgram(std::string_view bytes) {
    std::vector<std::string> rows;
    std::size_t pos = 0;
    const std::size_t end = bytes.size();
    for (;;) {
        // One read: up to kLineBuffer characters, up to and including a line end. CR LF and a
        // lone CR count as one line-end character, as LF does.
        std::size_t taken = 0;
        std::size_t textLength = std::string_view::npos;
        const std::size_t start = pos;
        bool lineEnded = false;
        while (taken < kLineBuffer && pos < end) {
            const char c = bytes[pos++];
            if (c == '\r' || c == '\n') {
                if (c == '\r' && pos < end && bytes[pos] == '\n')
                    ++pos;
                if (textLength == std::string_view::npos)
                    textLength = taken;
                lineEnded = true;
                break;
            }
            if (c == '\0' && textLength == std::string_view::npos)
                textLength = taken;
            ++taken;
        }
        if (start == end) {
            // A read that finds nothing ends the file; it adds a row only to an empty file.
            if (rows.empty())
                rows.emplace_back();
            return rows;
        }
        const std::size_t length = std::min(textLength, taken);
        rows.emplace_back(bytes.substr(start, length));
        if (!lineEnded && pos == end)
            return rows;
    }
}

std::string programFileName(std::string chosen) {
    const std::string_view suffix = ".txt";
    const bool hasSuffix =
        chosen.size() >= suffix.size() &&
        std::equal(suffix.begin(), suffix.end(), chosen.end() - static_cast<long>(suffix.size()),
                   [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) ==
                              std::tolower(static_cast<unsigned char>(b));
                   });
    if (!hasSuffix)
        chosen += suffix;
    return chosen;
}

} // namespace programfile
