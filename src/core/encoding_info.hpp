// What an encoder learns from one table: per text column, its labels by
// code, and the table's shape of columns.
#pragma once

#include "hashing.hpp"

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {

// The labels of one text column, by code.  A column's codes are 0 .. m-1
// (after an encode, the byte-wise ranks of its distinct strings that are not
// missing-value markers), so label k is simply the k-th: all of them lie end to end in one
// block of text, in code order, and a label costs its bytes and one offset.
class Labels {
public:
    Labels() = default;
    // `ends[k]` is where label k ends in `text` (and label k + 1 begins).
    Labels(std::string text, std::vector<std::uint64_t> ends) : text_(std::move(text)), ends_(std::move(ends)) {}

    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    // The label of code k < size().
    std::string_view operator[](std::size_t k) const noexcept {
        const std::uint64_t begin = k == 0 ? 0 : ends_[k - 1];
        return {text_.data() + begin, static_cast<std::size_t>(ends_[k] - begin)};
    }

private:
    std::string text_;
    std::vector<std::uint64_t> ends_;
};

// How many cells of the learned table held each label of a column, by code.
using Counts = std::vector<std::uint64_t>;

// What an encoder learned from one table.  Invariant: the keys of `labels`
// are exactly the entries of object_columns, each below n_columns, and
// those of `counts` too, each with one count per label of its column.
struct EncodingInfo {
    std::vector<std::size_t> object_columns;  // text columns, ascending
    boost::unordered_flat_map<std::size_t, Labels, WordHash> labels;
    boost::unordered_flat_map<std::size_t, Counts, WordHash> counts;
    // The learned table's width, and its column labels when it was a frame
    // (as the frame's output names its columns), so that the state can be
    // kept and compared with later tables.  Set by the entry point that
    // stores the state: the table driver knows neither.
    std::size_t n_columns = 0;
    std::optional<std::vector<std::string>> frame_columns;
};

}  // namespace kavrel
