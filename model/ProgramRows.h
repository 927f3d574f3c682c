#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The rows of a program, one byte per character, kept compact: rows are packed into blocks of
// text with one length byte each, so a row costs its characters and about one and a half bytes.
// The largest program file accepted (16 MiB, up to 16.8 million rows) then stays within a small
// multiple of its size. A row holds at most 255 characters (the program never makes one longer
// than 24).
//
// Copies share their blocks and a block is copied only when a row of it changes, so a copy for
// another thread to read costs a pointer per 256 rows, and that thread reads it without a lock.
class ProgramRows {
public:
    static constexpr std::size_t kMaxRowLength = 255;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Valid until the rows change.
    std::string_view at(std::size_t row) const;
    void set(std::size_t row, std::string_view text);
    void append(std::string_view text);
    // New rows are empty.
    void resize(std::size_t count);

private:
    static constexpr std::size_t kBlockRows = 256;
    struct Block {
        std::string text;                  // the rows' characters, back to back
        std::vector<std::uint8_t> lengths; // one per row
    };
    std::size_t startInBlock(const Block& block, std::size_t index) const;
    // The block, copied first when another copy of the rows shares it.
    Block& writableBlock(std::size_t block);

    std::vector<std::shared_ptr<Block>> blocks_;
    std::size_t size_ = 0;
};

// Rows from texts, each cut at its first line end: no row ever holds one.
ProgramRows programRows(const std::vector<std::string>& texts);
