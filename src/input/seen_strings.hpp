// What the object roads share: prefetching the cells ahead of the reads,
// and the str objects a column has met lately.
#pragma once

#include <Python.h>

#include "../core/large_buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kavrel {

// An object's header and the start of a compact str's text.  Unconditional
// and harmless for null: prefetches never fault.
constexpr std::size_t object_ahead = 8;
inline void prefetch_object(PyObject* object) noexcept {
    auto address = reinterpret_cast<std::uintptr_t>(object);
    __builtin_prefetch(reinterpret_cast<const void*>(address));
    __builtin_prefetch(reinterpret_cast<const void*>(address + 64));
}

// The exact str objects met lately in a text column, by address, with the
// entry that holds their text.  Columns repeat the same objects; a repeat
// shares that entry, without the object being read again.  The array holds
// every cell, and while no Python code runs none is freed, so an address
// names one object; after Python code has run it may not, and the caller
// forgets them all.
//
// Two objects whose addresses fall in the same bucket are both kept, the
// one met last and the one before it, so that two labels that alternate
// through a column do not keep pushing each other out.
class SeenStrings {
public:
    // A caller may keep its entries in this many parts (blocks of rows, say).
    static constexpr std::size_t max_parts = std::size_t{1} << 16;

    // Room for about half a column's cells (within bounds): columns with
    // many distinct strings repeat them too.
    explicit SeenStrings(std::size_t n_rows)
        : buckets_(std::bit_ceil(std::clamp<std::size_t>(n_rows / 4, min_buckets, max_buckets))),
          mask_(buckets_.size() - 1) {}

    // Where an object met earlier put its text: entry `entry` of part `part`
    // (0 for a caller that has one part).
    struct Where {
        std::size_t entry;
        std::size_t part;
    };

    std::optional<Where> where(PyObject* object) const noexcept {
        if (object == nullptr) return std::nullopt;
        for (const Slot& slot : buckets_[index(object)].slots)
            if (slot.object == object && slot.generation == generation_) return Where{slot.entry, slot.part};
        return std::nullopt;
    }
    std::optional<std::size_t> entry_of(PyObject* object) const noexcept {
        std::optional<Where> w = where(object);
        return w ? std::optional<std::size_t>(w->entry) : std::nullopt;
    }
    // `entry` is below 2^32, as a text column's entries are, and `part`
    // below max_parts.
    void remember(PyObject* object, std::size_t entry, std::size_t part = 0) noexcept {
        Slot* slots = buckets_[index(object)].slots;
        const Slot made{object, static_cast<std::uint32_t>(entry), generation_, static_cast<std::uint16_t>(part)};
        // The object met again takes its own slot; else the older slot goes.
        if (slots[0].object != object || slots[0].generation != generation_) slots[1] = slots[0];
        slots[0] = made;
    }
    void prefetch(PyObject* object) const noexcept { __builtin_prefetch(&buckets_[index(object)]); }
    // Forgets every object at once: entries of older generations are void.
    void forget() noexcept {
        if (++generation_ == 0) {  // wrapped: void every slot, once in 65,535 forgets
            std::fill(buckets_.begin(), buckets_.end(), Bucket{});
            generation_ = 1;
        }
    }

private:
    static constexpr std::size_t min_buckets = 512, max_buckets = std::size_t{1} << 17;
    struct Slot {
        PyObject* object = nullptr;
        std::uint32_t entry = 0;
        std::uint16_t generation = 0;
        std::uint16_t part = 0;
    };
    // Half a cache line: one miss reads both slots.
    struct alignas(32) Bucket {
        Slot slots[2];
    };
    static_assert(sizeof(Bucket) == 32);
    std::size_t index(PyObject* object) const noexcept {
        auto a = reinterpret_cast<std::uintptr_t>(object);
        return ((a >> 4) ^ (a >> 24)) & mask_;
    }
    LargeVector<Bucket> buckets_;  // reused from wave to wave and call to call
    std::size_t mask_;
    std::uint16_t generation_ = 1;
};

}  // namespace kavrel
