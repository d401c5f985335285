// Hash maps of the encoder.  Every map gets its own random seed, and strings
// are hashed with a strong keyed hash, so crafted input cannot make many keys
// collide.  Nothing may depend on the maps' iteration order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kavrel {

// A fresh random 64-bit seed (never the same twice in a process).
std::uint64_t random_seed() noexcept;

// Seeded XXH3 of the bytes; transparent, so a map keyed by std::string is
// searched with a std::string_view without building a string.
struct StringHash {
    using is_transparent = void;
    using is_avalanching = void;  // XXH3 mixes every bit; no post-mixing needed

    std::uint64_t seed = random_seed();
    std::size_t operator()(std::string_view s) const noexcept;
};

struct StringEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

// Seeded mixing of a 64-bit key.
struct WordHash {
    using is_avalanching = void;

    std::uint64_t seed = random_seed();
    std::size_t operator()(std::uint64_t key) const noexcept;
};

}  // namespace kavrel
