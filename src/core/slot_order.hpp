// Filling a large flat map front to back.  A boost flat map places an entry
// by the high bits of its hash, so entries inserted in ascending order of
// their hash go into its table in slot order: the table is written in one
// sweep instead of at random, which matters once it outgrows the caches.
#pragma once

#include "pool.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavrel {

struct SlotItem {
    std::uint64_t hash;
    std::size_t index;
};

// The indices 0 .. n-1 with their hashes hash_of(i), ordered by the high
// bits of the hash: some tens of items share a bucket, which spans a few
// groups of a table that holds n entries, so inserting them in this order
// still writes the table front to back.  A counting sort on the pool: each
// of a few chunks counts its buckets, then scatters its items to their
// places; the counts take a quarter of the items' room at most.
template <class HashOf>
std::vector<SlotItem> in_slot_order(std::size_t n, HashOf&& hash_of) {
    constexpr std::size_t small = std::size_t{1} << 14, max_chunks = 16;
    std::vector<SlotItem> items(n);
    pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i != end; ++i) items[i] = {hash_of(i), i};
    });
    if (n <= small) {
        std::sort(items.begin(), items.end(),
                  [](const SlotItem& a, const SlotItem& b) { return a.hash < b.hash; });
        return items;
    }
    const unsigned bits = static_cast<unsigned>(std::bit_width(n)) - 6;
    const std::size_t buckets = std::size_t{1} << bits;
    const std::size_t chunks = max_chunks, chunk = (n + chunks - 1) / chunks;
    auto bucket_of = [&](const SlotItem& item) { return static_cast<std::size_t>(item.hash >> (64 - bits)); };

    // place[k * buckets + b]: where chunk k's first item of bucket b goes.
    std::vector<std::size_t> place(chunks * buckets, 0);
    pool::parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k != end; ++k) {
            std::size_t* count = &place[k * buckets];
            for (std::size_t i = k * chunk, last = std::min(n, i + chunk); i < last; ++i)
                ++count[bucket_of(items[i])];
        }
    });
    std::size_t next = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        for (std::size_t k = 0; k < chunks; ++k) {
            std::size_t count = place[k * buckets + b];
            place[k * buckets + b] = next;
            next += count;
        }
    }
    std::vector<SlotItem> sorted(n);
    pool::parallel_for(chunks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k != end; ++k) {
            std::size_t* to = &place[k * buckets];
            for (std::size_t i = k * chunk, last = std::min(n, i + chunk); i < last; ++i)
                sorted[to[bucket_of(items[i])]++] = items[i];
        }
    });
    return sorted;
}

}  // namespace kavrel
