#include "model/ProgramFile.h"

#include <algorithm>
#include <cctype>
#include <utility>

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

ProgramReader::ProgramReader(bool crEndsLines, RowSink onRow)
    : crEndsLines_(crEndsLines)
    , onRow_(std::move(onRow)) {
    read_.reserve(kLineBuffer);
}

void ProgramReader::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (pendingCr_) {
            pendingCr_ = false;
            if (c == '\n') {
                take('\n');
                continue;
            }
            take('\r');
        }
        if (c == '\r' && !crEndsLines_)
            pendingCr_ = true; // a line end if LF follows, otherwise an ordinary character
        else
            take(c == '\r' ? '\n' : c);
    }
}

void ProgramReader::finish() {
    if (pendingCr_) {
        pendingCr_ = false;
        take('\r');
    }
    if (!read_.empty() || !anyRow_)
        emitRow();
}

// One character of the text-mode stream. A full read ends before the character that does not
// fit; a line feed ends the read it fits in.
void ProgramReader::take(char c) {
    if (read_.size() == kLineBuffer)
        emitRow();
    if (c == '\n')
        emitRow();
    else
        read_ += c;
}

void ProgramReader::emitRow() {
    const std::size_t end = read_.find_first_of(std::string_view("\r\0", 2));
    onRow_(std::string_view(read_).substr(0, end));
    read_.clear();
    anyRow_ = true;
}

bool holdsLineFeed(std::string_view bytes) {
    return bytes.find('\n') != std::string_view::npos;
}

bool holdsOnlySteps(std::string_view text) {
    bool anyStep = false;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view row = text.substr(0, end);
        if (!row.empty() && row.back() == '\r')
            row.remove_suffix(1);
        if (!row.empty()) {
            if (row.size() < 10 || row.find_first_not_of("01") != 8 || row[8] != '-')
                return false;
            anyStep = true;
        }
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return anyStep;
}

std::vector<std::string> decodeProgram(std::string_view bytes) {
    std::vector<std::string> rows;
    ProgramReader reader(!holdsLineFeed(bytes),
                         [&rows](std::string_view row) { rows.emplace_back(row); });
    reader.feed(bytes);
    reader.finish();
    return rows;
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
