#include "model/ProgramRows.h"

#include <algorithm>
#include <numeric>

std::size_t ProgramRows::startInBlock(const Block& block, std::size_t index) const {
    return std::accumulate(block.lengths.begin(),
                           block.lengths.begin() + static_cast<std::ptrdiff_t>(index),
                           std::size_t{0});
}

std::string_view ProgramRows::at(std::size_t row) const {
    const Block& block = blocks_.at(row / kBlockRows);
    const std::size_t index = row % kBlockRows;
    return std::string_view(block.text).substr(startInBlock(block, index), block.lengths.at(index));
}

void ProgramRows::set(std::size_t row, std::string_view text) {
    text = text.substr(0, kMaxRowLength);
    Block& block = blocks_.at(row / kBlockRows);
    const std::size_t index = row % kBlockRows;
    const std::size_t start = startInBlock(block, index);
    block.text.replace(start, block.lengths.at(index), text);
    block.lengths[index] = static_cast<std::uint8_t>(text.size());
}

void ProgramRows::append(std::string_view text) {
    text = text.substr(0, kMaxRowLength);
    if (size_ % kBlockRows == 0)
        blocks_.emplace_back();
    Block& block = blocks_.back();
    block.text.append(text);
    block.lengths.push_back(static_cast<std::uint8_t>(text.size()));
    ++size_;
    if (size_ % kBlockRows == 0)
        block.text.shrink_to_fit(); // a full block keeps no spare room
}

void ProgramRows::resize(std::size_t count) {
    while (size_ < count)
        append({});
    if (count >= size_)
        return;
    blocks_.resize((count + kBlockRows - 1) / kBlockRows);
    size_ = count;
    if (blocks_.empty())
        return;
    Block& last = blocks_.back();
    const std::size_t kept = count - (blocks_.size() - 1) * kBlockRows;
    last.text.resize(startInBlock(last, std::min(kept, last.lengths.size())));
    last.lengths.resize(kept);
}
