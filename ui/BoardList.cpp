#include "ui/BoardList.h"

#include <algorithm>

namespace boardlist {

namespace {
constexpr char kEntryTemplate[] = "Relay Board   ";
constexpr std::size_t kFirstDigit = 12; // the 13th character
} // namespace

std::vector<std::string> entries(std::uint32_t count) {
    if (count == 0)
        return {};
    if (count == 1)
        return {"Relay Board 1"};
    std::vector<std::string> entries;
    entries.reserve(count);
    for (std::uint32_t i = 1; i <= count; ++i) {
        std::string entry = kEntryTemplate;
        if (i < 1000) {
            const std::string digits = std::to_string(i);
            entry.resize(std::max(entry.size(), kFirstDigit + digits.size()), ' ');
            entry.replace(kFirstDigit, digits.size(), digits);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string text(std::uint32_t count) {
    return count == 0 ? "No Boards Found" : "Relay Board 1";
}

} // namespace boardlist
