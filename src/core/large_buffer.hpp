// Large buffers of a call: code lists, hash tables, the result matrix.
#pragma once

#include "buffer_cache.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kavrel {

// Asks the kernel to back a large buffer with huge pages where it can, for
// a buffer made outside the buffer cache (a core Matrix of its own).  Fresh
// memory touched at random or in one sweep costs, on 4 KiB pages, page
// faults and TLB misses as large as the encoding itself.  Buffers under a
// few MiB, and systems without transparent huge pages, are left as they
// are.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept;

// std::allocator whose large blocks come from the buffer cache: on huge
// pages, and reused from call to call instead of faulted in afresh.  With
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
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        if (n * sizeof(T) >= buffers::cached_from) return static_cast<T*>(buffers::take(n * sizeof(T)));
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) >= buffers::cached_from)
            buffers::give_back(p);
        else
            std::allocator<T>::deallocate(p, n);
    }

    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0 && !value_initialize)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using LargeVector = std::vector<T, LargeBufferAllocator<T>>;

// Gives back the memory of a container, now: `v = {}` would only empty it
// and keep its capacity.
template <class Container>
void release(Container& v) noexcept {
    Container().swap(v);
}

}  // namespace kavrel
