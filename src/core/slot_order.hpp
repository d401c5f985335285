// Filling a large flat map front to back.  A boost flat map places an entry
// by the high bits of its hash, so entries inserted in ascending order of
// their hash go into its table in slot order: the table is written in one
// sweep instead of at random, which matters once it outgrows the caches.
#pragma once

#include "pool.hpp"

#include <tbb/parallel_sort.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavrel {

struct SlotItem {
    std::uint64_t hash;
    std::size_t index;
};

// The indices 0 .. n-1 with their hashes hash_of(i), in ascending order of
// hash; computed and sorted on the pool.
template <class HashOf>
std::vector<SlotItem> in_slot_order(std::size_t n, HashOf&& hash_of) {
    std::vector<SlotItem> items(n);
    pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i != end; ++i) items[i] = {hash_of(i), i};
    });
    pool::execute([&] {
        tbb::parallel_sort(items.begin(), items.end(),
                           [](const SlotItem& a, const SlotItem& b) { return a.hash < b.hash; });
    });
    return items;
}

}  // namespace kavrel
