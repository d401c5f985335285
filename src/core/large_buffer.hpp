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
        static_assert(alignof(T) <= 64, "the alignment buffers::allocate gives");
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(buffers::allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { buffers::deallocate(p, n * sizeof(T)); }

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
