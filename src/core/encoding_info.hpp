// What an encoder learns from one table: per text column, a forward map
// (string -> code) and a reverse map (code -> string).
#pragma once

#include "hashing.hpp"
#include "large_buffer.hpp"

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavrel {

// A map whose strings are views into `text`, one block holding the bytes of
// all of them, shared by the maps of one column: a column's strings cost one
// allocation, not one or two per string, and are stored once for both maps.
// Copies and moves keep the views valid, since they share the block.
template <class Map>
struct TextBackedMap : Map {
    std::shared_ptr<const std::string> text;
};

// String -> code; a missing-value marker has no code.
using ForwardMap = TextBackedMap<boost::unordered_flat_map<
    std::string_view, std::optional<std::uint64_t>, StringHash, StringEqual,
    LargeBufferAllocator<std::pair<const std::string_view, std::optional<std::uint64_t>>>>>;
// Code -> string.
using ReverseMap = TextBackedMap<
    boost::unordered_flat_map<std::uint64_t, std::string_view, WordHash, std::equal_to<std::uint64_t>,
                              LargeBufferAllocator<std::pair<const std::uint64_t, std::string_view>>>>;

// What an encoder learned from one table.  Invariant: the keys of both outer
// maps are exactly the entries of object_columns.
struct EncodingInfo {
    std::vector<std::size_t> object_columns;  // text columns, ascending
    boost::unordered_flat_map<std::size_t, ForwardMap, WordHash> forward_maps;
    boost::unordered_flat_map<std::size_t, ReverseMap, WordHash> reverse_maps;
};

}  // namespace kavrel
