// Hash maps of the encoder.  Every map gets its own random seed, and strings
// are hashed with Boost's seeded hash of byte ranges, so crafted input cannot
// make many keys collide.  Nothing may depend on the maps' iteration order.
#pragma once

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/hash_traits.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kavrel {

// A fresh random 64-bit seed (never the same twice in a process).
std::uint64_t random_seed() noexcept;

// Boost's hash of a char range, started from `seed`: the function that
// boost::hash<std::string_view> runs (with seed 0).
inline std::size_t hash_bytes(std::string_view s, std::uint64_t seed) noexcept {
    std::size_t h = seed;
    boost::hash_range(h, s.data(), s.data() + s.size());
    return h;
}

// Boost declares its string hash avalanching, so the flat maps use its bits
// as they are instead of mixing them again; hash_bytes is that hash.
static_assert(boost::unordered::hash_is_avalanching<boost::hash<std::string_view>>::value);

// Seeded hash of the bytes; transparent, so a map keyed by std::string is
// searched with a std::string_view without building a string.
struct StringHash {
    using is_transparent = void;
    using is_avalanching = void;

    std::uint64_t seed = random_seed();
    std::size_t operator()(std::string_view s) const noexcept;
};

struct StringEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

// Seeded hash of a 64-bit key: the string hash of its eight bytes.
struct WordHash {
    using is_avalanching = void;

    std::uint64_t seed = random_seed();
    std::size_t operator()(std::uint64_t key) const noexcept;
};

}  // namespace kavrel
