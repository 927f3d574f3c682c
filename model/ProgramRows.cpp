#include "model/ProgramRows.h"

#include <algorithm>
#include <numeric>

std::size_t ProgramRows::startInBlock(const Block& block, std::size_t index) const {
    return std::accumulate(block.lengths.begin(),
                           block.lengths.begin() + static_cast<std::ptrdiff_t>(index),
                           std::size_t{0});
}

ProgramRows::Block& ProgramRows::writableBlock(std::size_t block) {
    std::shared_ptr<Block>& shared = blocks_.at(block);
    if (shared.use_count() > 1)
        shared = std::make_shared<Block>(*shared);
    return *shared;
}

std::string_view ProgramRows::at(std::size_t row) const {
    const Block& block = *blocks_.at(row / kBlockRows);
    const std::size_t index = row % kBlockRows;
    return std::string_view(block.text).substr(startInBlock(block, index), block.lengths.at(index));
}

void ProgramRows::set(std::size_t row, std::string_view text) {
    text = text.substr(0, kMaxRowLength);
    Block& block = writableBlock(row / kBlockRows);
    const std::size_t index = row % kBlockRows;
    const std::size_t start = startInBlock(block, index);
    block.text.replace(start, block.lengths.at(index), text);
    block.lengths[index] = static_cast<std::uint8_t>(text.size());
}

void ProgramRows::append(std::string_view text) {
    text = text.substr(0, kMaxRowLength);
    if (size_ % kBlockRows == 0)
        blocks_.push_back(std::make_shared<Block>());
    Block& block = writableBlock(blocks_.size() - 1);
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
    Block& last = writableBlock(blocks_.size() - 1);
    const std::size_t kept = count - (blocks_.size() - 1) * kBlockRows;
    last.text.resize(startInBlock(last, std::min(kept, last.lengths.size())));
    last.lengths.resize(kept);
}

ProgramRows programRows(const std::vector<std::string>& texts) {
    ProgramRows rows;
    for (const std::string& text : texts)
        rows.append(std::string_view(text).substr(0, text.find_first_of("\r\n")));
    return rows;
}
