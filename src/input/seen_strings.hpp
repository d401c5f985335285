// What the object roads share: prefetching the cells ahead of the reads,
// and the str objects a column has met lately.
#pragma once

#include <Python.h>

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
// cell that holds their text.  Columns repeat the same objects; a repeat
// shares the bytes of the earlier cell, without the object being read
// again.  The array holds every cell, and while no Python code runs none is
// freed, so an address names one object; after Python code has run it may
// not, and the caller forgets them all.
class SeenStrings {
public:
    // Room for about half a column's cells (within bounds): columns with
    // many distinct strings repeat them too.
    explicit SeenStrings(std::size_t n_rows)
        : slots_(std::bit_ceil(std::clamp<std::size_t>(n_rows / 2, min_slots, max_slots))),
          mask_(slots_.size() - 1) {}

    // Where an object met earlier put its text: cell `cell` of part `part`
    // (a block of rows, say; 0 for a caller that has one part).
    struct Where {
        std::size_t cell;
        std::uint32_t part;
    };

    std::optional<Where> where(PyObject* object) const noexcept {
        const Slot& slot = slots_[index(object)];
        if (slot.object != object || slot.generation != generation_ || object == nullptr) return std::nullopt;
        return Where{slot.cell, slot.part};
    }
    std::optional<std::size_t> cell_of(PyObject* object) const noexcept {
        std::optional<Where> w = where(object);
        return w ? std::optional<std::size_t>(w->cell) : std::nullopt;
    }
    void remember(PyObject* object, std::size_t cell, std::uint32_t part = 0) noexcept {
        slots_[index(object)] = {object, cell, generation_, part};
    }
    void prefetch(PyObject* object) const noexcept { __builtin_prefetch(&slots_[index(object)]); }
    // Forgets every object at once: entries of older generations are void.
    void forget() noexcept {
        if (++generation_ == 0) {  // wrapped: void every slot, once in four billion
            std::fill(slots_.begin(), slots_.end(), Slot{});
            generation_ = 1;
        }
    }

private:
    static constexpr std::size_t min_slots = 1024, max_slots = std::size_t{1} << 18;
    struct Slot {
        PyObject* object = nullptr;
        std::size_t cell = 0;
        std::uint32_t generation = 0;
        std::uint32_t part = 0;
    };
    std::size_t index(PyObject* object) const noexcept {
        auto a = reinterpret_cast<std::uintptr_t>(object);
        return ((a >> 4) ^ (a >> 24)) & mask_;
    }
    std::vector<Slot> slots_;
    std::size_t mask_;
    std::uint32_t generation_ = 1;
};

}  // namespace kavrel
