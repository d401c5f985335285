// Label encoding of one text column.
#pragma once

#include "hashing.hpp"
#include "text_column.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace kavrel {

// The code of a missing-value marker: the quiet NaN 0x7FF8000000000000.
inline constexpr double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// "<NA>", "nan" and "NaN", matched on the whole string, byte for byte.
constexpr bool is_missing_marker(std::string_view s) noexcept {
    return s == "<NA>" || s == "nan" || s == "NaN";
}

// Asks the kernel to back a large buffer with huge pages where it can.  The
// large buffers of a call (the code lists, the result matrix) are fresh
// memory written once; with 4 KiB pages the page faults cost about as much
// as the encoding and serialise the pool's threads in the kernel.  Buffers
// under a few MiB, and systems without transparent huge pages, are left as
// they are.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept;

// An allocator whose resize leaves the new elements uninitialised.  The code
// list is written in full by the pool's threads; zero-filling it first would
// touch every page of it once more, on one thread.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        T* p = std::allocator<T>::allocate(n);
        prefer_huge_pages(p, n * sizeof(T));
        return p;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using CodeList = std::vector<double, UninitializedAllocator<double>>;

struct LabelEncoding {
    CodeList codes;             // one per cell, in cell order
    ForwardMap forward;         // every distinct cell string -> its code
};

// Codes are the byte-wise ranks of the distinct non-marker strings, counted
// from 0; markers get no code and encode as missing_code.  Runs its inner
// loops on the pool; may be called for several columns at once.
LabelEncoding label_encode(const TextColumn& strings);

}  // namespace kavrel
