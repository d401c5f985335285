// The cells of one text column: all their UTF-8 bytes in one arena, with the
// end offset of each cell, so a column costs two allocations however many
// cells it has, and a cell is handed out as a view into the arena.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {

class TextColumn {
public:
    void reserve(std::size_t cells) { ends_.reserve(cells); }
    void push_back(std::string_view cell) {
        bytes_.append(cell);
        ends_.push_back(bytes_.size());
    }
    // Appends a cell of at most `max_bytes` bytes written by
    // `write(char* dst) -> bytes written`.
    template <class Writer>
    void push_back_written(std::size_t max_bytes, Writer&& write) {
        std::size_t begin = bytes_.size();
        bytes_.resize(begin + max_bytes);
        std::size_t written = write(bytes_.data() + begin);
        bytes_.resize(begin + written);
        ends_.push_back(bytes_.size());
    }
    void clear() noexcept {
        bytes_.clear();
        ends_.clear();
    }

    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }

    // Valid until the column is next changed.
    std::string_view operator[](std::size_t i) const noexcept {
        std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

}  // namespace kavrel
