// Large buffers of a call: code lists, hash tables, the result matrix.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace kavrel {

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

// Gives back the memory of a container, now: `v = {}` would only empty it
// and keep its capacity.
template <class Container>
void release(Container& v) noexcept {
    Container().swap(v);
}

}  // namespace kavrel
