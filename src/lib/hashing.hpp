// Hash maps of the encoder.  Every map gets its own random seed, and strings
// are hashed with a strong keyed hash, so crafted input cannot make many keys
// collide.  Nothing may depend on the maps' iteration order.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// Asks the kernel to back a large buffer with huge pages where it can.  The
// big buffers of a call (code lists, hash tables, the result matrix) are
// fresh memory touched once at random or in one sweep; on 4 KiB pages their
// page faults and TLB misses cost as much as the encoding itself and
// serialise the pool's threads in the kernel.  Buffers under a few MiB, and
// systems without transparent huge pages, are left as they are.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept;

// std::allocator that gives its large blocks the huge-page advice.  With
// value_initialize false, a container's resize leaves new elements
// uninitialised (for buffers that are written in full right away).
template <class T, bool value_initialize = true>
struct LargeBufferAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = LargeBufferAllocator<U, value_initialize>;
    };
    LargeBufferAllocator() = default;
    template <class U>
    LargeBufferAllocator(const LargeBufferAllocator<U, value_initialize>&) noexcept {}

    T* allocate(std::size_t n) {
        T* p = std::allocator<T>::allocate(n);
        prefer_huge_pages(p, n * sizeof(T));
        return p;
    }

    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0 && !value_initialize)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// A map whose strings are views into `text`, one block holding the bytes of
// all of them, shared by the maps of one column: a column's strings cost one
// allocation, not one or two per string, and are stored once for both maps.
// Copies and moves keep the views valid, since they share the block.
template <class Map>
struct TextBackedMap : Map {
    std::shared_ptr<const std::string> text;
};

// String -> code; a missing-value marker has no code.
using ForwardMap = TextBackedMap<
    boost::unordered_flat_map<std::string_view, std::optional<std::uint64_t>, StringHash, StringEqual,
                              LargeBufferAllocator<std::pair<const std::string_view, std::optional<std::uint64_t>>>>>;
// Code -> string.
using ReverseMap = TextBackedMap<
    boost::unordered_flat_map<std::uint64_t, std::string_view, WordHash, std::equal_to<std::uint64_t>,
                              LargeBufferAllocator<std::pair<const std::uint64_t, std::string_view>>>>;

}  // namespace kavrel
