// The cells of one text column: the UTF-8 bytes of its texts in one arena,
// so a column costs a few allocations however many cells it has, and a cell
// is handed out as a view into the arena.
//
// A text stored once is an entry.  A cell that repeats an earlier cell (the
// same str object met again, say) shares that cell's entry instead of
// storing the text again, so the encoding can work on the entries and hand
// each cell its entry's result.  Two entries may still hold equal texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {

class TextColumn {
public:
    void reserve(std::size_t cells) {
        if (!entry_of_.empty()) entry_of_.reserve(cells);
        entries_.reserve(cells);
    }
    // Room for `size` bytes of text in all, when the caller knows it.
    void reserve_bytes(std::size_t size) { bytes_.reserve(size); }
    // Appends a cell with a text of its own.
    void push_back(std::string_view text) {
        add_entry(bytes_.size(), text.size());
        bytes_.append(text);
    }
    // Appends a cell with a text of its own, of at most `max_bytes` bytes,
    // written by `write(char* dst) -> bytes written`.
    template <class Writer>
    void push_back_written(std::size_t max_bytes, Writer&& write) {
        std::size_t begin = bytes_.size();
        bytes_.resize(begin + max_bytes);
        std::size_t written = write(bytes_.data() + begin);
        bytes_.resize(begin + written);
        add_entry(begin, written);
    }
    // Appends a cell with the text of cell `i`, sharing its entry.
    void push_back_copy_of(std::size_t i) {
        if (entry_of_.empty()) {
            // Until now every cell had an entry of its own: cell k is entry k.
            entry_of_.reserve(entries_.capacity());
            entry_of_.resize(entries_.size());
            std::iota(entry_of_.begin(), entry_of_.end(), Index{0});
        }
        entry_of_.push_back(entry_of_[i]);
    }
    void clear() noexcept {
        bytes_.clear();
        entries_.clear();
        entry_of_.clear();
    }

    std::size_t size() const noexcept { return entry_of_.empty() ? entries_.size() : entry_of_.size(); }
    bool empty() const noexcept { return size() == 0; }
    // The text of cell `i`, valid until the column is next changed.
    std::string_view operator[](std::size_t i) const noexcept { return entry(entry_of(i)); }

    // The entries: as many as the cells when no cell shares another's.
    std::size_t entry_count() const noexcept { return entries_.size(); }
    std::string_view entry(std::size_t k) const noexcept {
        return {bytes_.data() + entries_[k].begin, entries_[k].size};
    }
    std::size_t entry_of(std::size_t i) const noexcept { return entry_of_.empty() ? i : entry_of_[i]; }

private:
    // Entry numbers take four bytes a cell; a column has fewer than 2^32
    // texts of its own long before memory runs out.
    using Index = std::uint32_t;
    struct Span {
        std::size_t begin;
        std::size_t size;
    };

    void add_entry(std::size_t begin, std::size_t size) {
        if (entries_.size() >= std::numeric_limits<Index>::max()) throw std::length_error("text column");
        if (!entry_of_.empty()) entry_of_.push_back(static_cast<Index>(entries_.size()));
        entries_.push_back({begin, size});
    }

    std::string bytes_;
    std::vector<Span> entries_;
    std::vector<Index> entry_of_;  // per cell; empty while cell k is entry k
};

}  // namespace kavrel
