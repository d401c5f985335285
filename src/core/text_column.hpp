// The cells of one text column: the UTF-8 bytes of its texts in an arena of
// blocks that never move, so a column costs a few allocations however many
// cells it has, and a cell is handed out as a view into the arena.  A text
// that already lies in memory which outlives the column (an Arrow buffer,
// say) is kept as a view of it instead of being copied.
//
// A text stored once is an entry.  A cell that repeats an earlier cell (the
// same str object met again, say) shares that cell's entry instead of
// storing the text again, so the encoding can work on the entries and hand
// each cell its entry's result.  Two entries may still hold equal texts.
#pragma once

#include "large_buffer.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kavrel {

class TextColumn {
public:
    TextColumn() = default;
    // A column that expects few bytes (a block of a few rows): its first
    // arena block holds `first_bytes`, not the usual 64 KiB.
    explicit TextColumn(std::size_t first_bytes)
        : first_block_(std::clamp<std::size_t>(first_bytes, 64, largest_block)) {}
    TextColumn(TextColumn&&) noexcept = default;
    TextColumn& operator=(TextColumn&&) noexcept = default;
    // A copy has an arena of its own: its views must not point into ours.
    TextColumn(const TextColumn& other) { *this = other; }
    TextColumn& operator=(const TextColumn& other) {
        if (this == &other) return *this;
        TextColumn copy;
        copy.entries_.reserve(other.entry_count());
        for (std::size_t k = 0; k < other.entry_count(); ++k) copy.add_entry(copy.store(other.entry(k)));
        copy.entry_of_ = other.entry_of_;
        return *this = std::move(copy);
    }

    void reserve(std::size_t cells) {
        if (!entry_of_.empty()) entry_of_.reserve(cells);
        entries_.reserve(cells);
    }
    // Appends a cell with a text of its own.
    void push_back(std::string_view text) { add_entry(store(text)); }
    // Appends a cell whose text stays where it is: the caller keeps those
    // bytes alive and unchanged for as long as the column and its views.
    void push_back_view(std::string_view text) { add_entry(text); }
    // Makes an empty column the `count` texts that lie end to end at
    // `data`, text k from data + offsets[k] to data + offsets[k + 1] (the
    // buffers of an Arrow string array, say), which the caller keeps alive
    // and unchanged for as long as the column: nothing is stored per cell.
    // Nothing may be appended to such a column.
    template <class Offset>
    void assign_offsets(const char* data, const Offset* offsets, std::size_t count) {
        static_assert(std::is_same_v<Offset, std::int32_t> || std::is_same_v<Offset, std::int64_t>);
        if (!empty()) throw std::logic_error("text column");
        if constexpr (std::is_same_v<Offset, std::int32_t>)
            offsets32_ = offsets;
        else
            offsets64_ = offsets;
        offset_data_ = data;
        offset_count_ = count;
    }
    // Appends a cell with a text of its own, of at most `max_bytes` bytes,
    // written by `write(char* dst) -> bytes written`.
    template <class Writer>
    void push_back_written(std::size_t max_bytes, Writer&& write) {
        make_room(max_bytes);
        std::size_t written = write(free_);
        add_entry({free_, written});
        free_ += written;
        left_ -= written;
    }
    // Appends a cell with the text of entry `k`, sharing it.
    void push_back_shared(std::size_t k) {
        share_entries();
        entry_of_.push_back(static_cast<Index>(k));
    }
    // Appends a cell with the text of cell `i`, sharing its entry.
    void push_back_copy_of(std::size_t i) { push_back_shared(entry_of(i)); }
    // Appends a cell whose entry, returned, a later join replaces by an
    // entry of an earlier part, which an Alias names; until then it holds
    // no text.
    std::size_t push_back_alias() {
        add_entry({});
        return entries_.size() - 1;
    }
    void clear() noexcept { *this = TextColumn(); }

    // Entry `entry` of part `part`, made by push_back_alias, is entry
    // `target` of part `target_part`, an earlier one.
    struct Alias {
        std::size_t part, entry, target_part, target;
    };

    // The cells of `parts`, in order, as one column, which takes over their
    // arenas (the views stay where they are): parts read apart, a block of
    // rows each, joined.  Entries shared within a part stay shared, and the
    // cells of an aliased entry share the entry it names (`aliases` in
    // order of part); the parts are left empty.  Nothing may be a column of
    // offsets.
    static TextColumn join(std::vector<TextColumn>& parts, std::span<const Alias> aliases = {}) {
        TextColumn out;
        std::size_t entries = 0, cells = 0;
        bool shared = !aliases.empty();
        for (const TextColumn& part : parts) {
            if (part.has_offsets()) throw std::logic_error("text column");
            entries += part.entries_.size();
            cells += part.size();
            shared |= !part.entry_of_.empty();
        }
        if (entries >= std::numeric_limits<Index>::max()) throw std::length_error("text column");
        out.entries_.reserve(entries - aliases.size());
        if (shared) out.entry_of_.reserve(cells);
        // Where each part's entries start in the joined column; a part with
        // aliases has its entries renumbered one by one instead.
        std::vector<Index> first_entry(parts.size());
        std::vector<LargeVector<Index>> renumbered(parts.size());
        auto joined_entry = [&](std::size_t p, std::size_t k) {
            return renumbered[p].empty() ? static_cast<Index>(first_entry[p] + k) : renumbered[p][k];
        };
        const Alias* alias = aliases.data();
        const Alias* const aliases_end = alias + aliases.size();
        for (std::size_t p = 0; p < parts.size(); ++p) {
            TextColumn& part = parts[p];
            first_entry[p] = static_cast<Index>(out.entries_.size());
            if (alias == aliases_end || alias->part != p) {
                out.entries_.insert(out.entries_.end(), part.entries_.begin(), part.entries_.end());
            } else {
                LargeVector<Index>& mine = renumbered[p];
                mine.resize(part.entries_.size());
                for (std::size_t k = 0; k < part.entries_.size(); ++k) {
                    if (alias != aliases_end && alias->part == p && alias->entry == k) {
                        if (alias->target_part >= p) throw std::logic_error("text column");
                        mine[k] = joined_entry(alias->target_part, alias->target);
                        ++alias;
                    } else {
                        mine[k] = static_cast<Index>(out.entries_.size());
                        out.entries_.push_back(part.entries_[k]);
                    }
                }
            }
            if (shared) {
                const LargeVector<Index>& mine = renumbered[p];
                const Index base = first_entry[p];
                auto joined = [&](std::size_t k) { return mine.empty() ? static_cast<Index>(base + k) : mine[k]; };
                if (part.entry_of_.empty()) {
                    for (std::size_t k = 0; k < part.entries_.size(); ++k) out.entry_of_.push_back(joined(k));
                } else {
                    for (Index k : part.entry_of_) out.entry_of_.push_back(joined(k));
                }
            }
            for (Block& block : part.blocks_) out.blocks_.push_back(std::move(block));
            part = TextColumn();
        }
        if (alias != aliases_end) throw std::logic_error("text column");
        return out;
    }

    std::size_t size() const noexcept { return entry_of_.empty() ? entry_count() : entry_of_.size(); }
    bool empty() const noexcept { return size() == 0; }
    // The text of cell `i`, valid as long as the column.
    std::string_view operator[](std::size_t i) const noexcept { return entry(entry_of(i)); }

    // The entries: as many as the cells when no cell shares another's.
    std::size_t entry_count() const noexcept { return has_offsets() ? offset_count_ : entries_.size(); }
    std::string_view entry(std::size_t k) const noexcept {
        if (offsets32_ != nullptr) return text_between(offsets32_[k], offsets32_[k + 1]);
        if (offsets64_ != nullptr) return text_between(offsets64_[k], offsets64_[k + 1]);
        return entries_[k];
    }
    std::size_t entry_of(std::size_t i) const noexcept { return entry_of_.empty() ? i : entry_of_[i]; }
    // Brings what entry(k) reads first (its view, or its offsets) towards
    // the cache, for a reader that will want entry k soon; k < entry_count().
    void prefetch_entry(std::size_t k) const noexcept {
        if (offsets32_ != nullptr)
            __builtin_prefetch(offsets32_ + k);
        else if (offsets64_ != nullptr)
            __builtin_prefetch(offsets64_ + k);
        else
            __builtin_prefetch(entries_.data() + k);
    }

private:
    // Entry numbers take four bytes a cell; a column has fewer than 2^32
    // texts of its own long before memory runs out.
    using Index = std::uint32_t;
    // Blocks grow to the buffer cache's size, so that the text of a column
    // of many distinct strings goes to memory reused from call to call.
    static constexpr std::size_t first_block = std::size_t{1} << 16, largest_block = buffers::cached_from;

    struct FreeBlock {
        std::size_t size;
        void operator()(char* p) const noexcept { buffers::deallocate(p, size); }
    };
    using Block = std::unique_ptr<char[], FreeBlock>;
    static Block new_block(std::size_t size) {  // left uninitialised: written before read
        return Block(static_cast<char*>(buffers::allocate(size)), FreeBlock{size});
    }

    void share_entries() {
        if (has_offsets()) throw std::logic_error("text column");
        if (!entry_of_.empty()) return;
        // Until now every cell had an entry of its own: cell k is entry k.
        entry_of_.reserve(entries_.capacity());
        entry_of_.resize(entries_.size());
        std::iota(entry_of_.begin(), entry_of_.end(), Index{0});
    }
    void add_entry(std::string_view text) {
        if (has_offsets()) throw std::logic_error("text column");
        if (entries_.size() >= std::numeric_limits<Index>::max()) throw std::length_error("text column");
        if (!entry_of_.empty()) entry_of_.push_back(static_cast<Index>(entries_.size()));
        entries_.push_back(text);
    }
    // At least `size` free bytes in the current block: a new block, twice
    // as large as the last up to 4 MiB (larger only for a larger text), when
    // they are not there.  What the last block leaves unused is at most
    // 4 MiB a column.
    void make_room(std::size_t size) {
        // A writer gets a real address even for no bytes (memcpy's rule).
        if (left_ >= size && free_ != nullptr) return;
        std::size_t block = std::clamp(last_block_ * 2, first_block_, largest_block);
        block = std::max(block, size);
        blocks_.push_back(new_block(block));
        free_ = blocks_.back().get();
        left_ = block;
        last_block_ = block;
    }
    std::string_view store(std::string_view text) {
        make_room(text.size());
        if (!text.empty()) std::memcpy(free_, text.data(), text.size());
        std::string_view stored(free_, text.size());
        free_ += text.size();
        left_ -= text.size();
        return stored;
    }

    bool has_offsets() const noexcept { return offsets32_ != nullptr || offsets64_ != nullptr; }
    std::string_view text_between(std::int64_t begin, std::int64_t end) const noexcept {
        return {offset_data_ + begin, static_cast<std::size_t>(end - begin)};
    }

    // Set by assign_offsets: the texts as offsets into outside memory.
    const char* offset_data_ = nullptr;
    const std::int32_t* offsets32_ = nullptr;
    const std::int64_t* offsets64_ = nullptr;
    std::size_t offset_count_ = 0;

    std::size_t first_block_ = first_block;
    std::vector<Block> blocks_;
    char* free_ = nullptr;
    std::size_t left_ = 0;
    std::size_t last_block_ = 0;
    LargeVector<std::string_view> entries_;
    LargeVector<Index> entry_of_;  // per cell; empty while cell k is entry k
};

}  // namespace kavrel
