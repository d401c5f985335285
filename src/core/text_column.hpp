// The cells of one text column: their UTF-8 bytes in one arena, with the
// offset and size of each cell, so a column costs two allocations however
// many cells it has, and a cell is handed out as a view into the arena.
// Cells with the same text may share their bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {

class TextColumn {
public:
    void reserve(std::size_t cells) { spans_.reserve(cells); }
    // Room for `size` bytes of text in all, when the caller knows it.
    void reserve_bytes(std::size_t size) { bytes_.reserve(size); }
    void push_back(std::string_view cell) {
        spans_.push_back({bytes_.size(), cell.size()});
        bytes_.append(cell);
    }
    // Appends a cell of at most `max_bytes` bytes written by
    // `write(char* dst) -> bytes written`.
    template <class Writer>
    void push_back_written(std::size_t max_bytes, Writer&& write) {
        std::size_t begin = bytes_.size();
        bytes_.resize(begin + max_bytes);
        std::size_t written = write(bytes_.data() + begin);
        bytes_.resize(begin + written);
        spans_.push_back({begin, written});
    }
    // Appends a cell with the text of cell `i`, sharing its bytes.
    void push_back_copy_of(std::size_t i) { spans_.push_back(spans_[i]); }
    void clear() noexcept {
        bytes_.clear();
        spans_.clear();
    }

    std::size_t size() const noexcept { return spans_.size(); }
    bool empty() const noexcept { return spans_.empty(); }

    // Valid until the column is next changed.
    std::string_view operator[](std::size_t i) const noexcept {
        return {bytes_.data() + spans_[i].begin, spans_[i].size};
    }

private:
    struct Span {
        std::size_t begin;
        std::size_t size;
    };
    std::string bytes_;
    std::vector<Span> spans_;
};

}  // namespace kavrel
