// The learned labels of a column, found by their text: what transform looks
// up for every cell of a table.  Made once per learned state and then only
// read, by any number of calls at once.
#pragma once

#include "encoding_info.hpp"
#include "hashing.hpp"
#include "large_buffer.hpp"

#include <boost/unordered/unordered_flat_set.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace kavrel {

// A hash set of one column's codes, each standing for its label: an entry
// is a 4-byte code, so a column of a million labels costs a few MB, and a
// lookup compares the text with the label it found by hash.
class LabelIndex {
public:
    // `labels` must outlive the index and never change.
    explicit LabelIndex(const Labels& labels);

    // The code of `text`, or nothing for a text that is no label; the
    // missing-value markers never are, even among labels made elsewhere.
    std::optional<std::size_t> find(std::string_view text) const noexcept;

private:
    // Hashes and compares a code by its label's text, so that the set is
    // searched with a text and never holds one.
    struct ByText {
        using is_transparent = void;
        using is_avalanching = void;

        const Labels* labels;
        StringHash hash;

        std::size_t operator()(std::uint32_t code) const noexcept { return hash((*labels)[code]); }
        std::size_t operator()(std::string_view text) const noexcept { return hash(text); }
        bool operator()(std::uint32_t a, std::uint32_t b) const noexcept { return a == b; }
        bool operator()(std::string_view text, std::uint32_t code) const noexcept { return (*labels)[code] == text; }
        bool operator()(std::uint32_t code, std::string_view text) const noexcept { return (*labels)[code] == text; }
    };

    // Looked up at random, a cache miss each: on huge pages where it is
    // large, so that a lookup costs no TLB miss besides.
    boost::unordered_flat_set<std::uint32_t, ByText, ByText, LargeBufferAllocator<std::uint32_t>> codes_;
};

// One LabelIndex per text column of a learned state, made the first time a
// call asks for it.  Any number of threads may ask at once: each that finds
// none makes one and offers it, the first offer wins and the others drop
// theirs; nobody waits for another.
class LabelIndexes {
public:
    // `learned` must outlive this and never change.
    explicit LabelIndexes(const EncodingInfo& learned);
    ~LabelIndexes();
    LabelIndexes(const LabelIndexes&) = delete;
    LabelIndexes& operator=(const LabelIndexes&) = delete;

    // The index of text column `col`; an internal failure for any other.
    const LabelIndex& of(std::size_t col);

private:
    const EncodingInfo& learned_;
    std::unique_ptr<std::atomic<const LabelIndex*>[]> made_;  // by rank among the text columns
};

}  // namespace kavrel
