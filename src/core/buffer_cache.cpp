#include "buffer_cache.hpp"

#include <boost/unordered/unordered_flat_map.hpp>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KAVREL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KAVREL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KAVREL_POISON(p, n) ((void)(p), (void)(n))
#define KAVREL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kavrel::buffers {

namespace {

// Buffers are whole huge pages, aligned to one, so the kernel can back them
// with huge pages from the first fault.
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t round_up(std::size_t bytes) noexcept { return (bytes + huge_page - 1) & ~(huge_page - 1); }

void* map(std::size_t size) {
    // Over-map by one huge page and trim both ends to the alignment.
    void* raw = ::mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (begin + huge_page - 1) & ~(huge_page - 1);
    if (aligned > begin) ::munmap(raw, aligned - begin);
    const std::uintptr_t end = begin + size + huge_page;
    if (end > aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // advice only
    return reinterpret_cast<void*>(aligned);
}

class Cache;
Cache& cache();

struct Block {
    void* data;
    std::size_t size;
};

// Unmaps a held block, poisoned while held: the address sanitizer's mark
// goes first, or whatever is mapped there next (a library, say) would be
// taken for a held buffer.
void unmap_held(const Block& block) noexcept {
    KAVREL_UNPOISON(block.data, block.size);
    ::munmap(block.data, block.size);
}

class Cache {
public:
    // A fork() child starts with the mutex as the parent's thread that
    // forked holds it: free, whatever the parent's other threads were doing.
    Cache() {
        if (pthread_atfork([] { cache().mutex_.lock(); }, [] { cache().mutex_.unlock(); },
                           [] { cache().mutex_.unlock(); }) != 0)
            throw std::bad_alloc();
    }

    void* take(std::size_t bytes) {
        if (bytes > SIZE_MAX - 2 * huge_page) throw std::bad_alloc();
        const std::size_t size = round_up(bytes);
        Block block{nullptr, 0};
        std::vector<Block> freed;
        {
            std::lock_guard lock(mutex_);
            // The smallest held block that fits, if at most a quarter
            // larger: a larger one would hold memory the caller never uses.
            auto best = held_.end();
            for (auto it = held_.begin(); it != held_.end(); ++it)
                if (it->size >= size && it->size - size <= size / 4 && (best == held_.end() || it->size < best->size))
                    best = it;
            if (best != held_.end()) {
                block = *best;
                held_.erase(best);
                held_bytes_ -= block.size;
            } else {
                // Nothing held fits: as many bytes as are mapped anew go
                // first, oldest first, so that what is held and what is
                // handed out never add up to more than the most that was
                // ever handed out.  The rest stays for what fits it.
                std::size_t released = 0, count = 0;
                while (count < held_.size() && released < size) released += held_[count++].size;
                freed.assign(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
                held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
                held_bytes_ -= released;
            }
        }
        for (const Block& b : freed) unmap_held(b);
        if (block.data == nullptr) block = {map(size), size};
        KAVREL_UNPOISON(block.data, block.size);
        std::lock_guard lock(mutex_);
        try {
            live_.emplace(block.data, block.size);
        } catch (...) {
            ::munmap(block.data, block.size);
            throw;
        }
        return block.data;
    }

    // Unmaps under the lock what it cannot keep: that is rare, and keeping a
    // list to unmap later could itself fail for want of memory.
    bool give_back(void* data) noexcept {
        std::lock_guard lock(mutex_);
        auto it = live_.find(data);
        if (it == live_.end()) return false;
        const Block block{data, it->second};
        live_.erase(it);
        if (block.size > held_limit()) {
            ::munmap(block.data, block.size);
            return true;
        }
        try {
            held_.push_back(block);
        } catch (...) {
            ::munmap(block.data, block.size);
            return true;
        }
        KAVREL_POISON(block.data, block.size);
        held_bytes_ += block.size;
        // Oldest first: what was given back long ago is least likely to fit
        // what comes next.
        std::size_t count = 0;
        while (held_bytes_ > held_limit()) {
            unmap_held(held_[count]);
            held_bytes_ -= held_[count].size;
            ++count;
        }
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
        return true;
    }

    std::size_t size_of(const void* p) noexcept {
        std::lock_guard lock(mutex_);
        auto it = live_.find(const_cast<void*>(p));
        return it == live_.end() ? 0 : it->second;
    }

    std::size_t held_bytes() noexcept {
        std::lock_guard lock(mutex_);
        return held_bytes_;
    }

    void release_held() noexcept {
        std::vector<Block> freed;
        {
            std::lock_guard lock(mutex_);
            freed.swap(held_);
            held_bytes_ = 0;
        }
        for (const Block& b : freed) unmap_held(b);
    }

private:
    std::mutex mutex_;
    boost::unordered_flat_map<void*, std::size_t> live_;  // handed out: size
    std::vector<Block> held_;                             // given back, oldest first
    std::size_t held_bytes_ = 0;
};

// Never destroyed: buffers (a result array's, say) may be given back while
// the process exits, after static destructors have run.
Cache& cache() {
    static Cache* const instance = new Cache;
    return *instance;
}

}  // namespace

std::size_t held_limit() noexcept {
    static const std::size_t limit = [] {
        const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
        const std::size_t most = std::size_t{1} << 30;
        if (pages <= 0 || page <= 0) return most / 4;
        return std::min(most, static_cast<std::size_t>(pages) / 16 * static_cast<std::size_t>(page));
    }();
    return limit;
}

void* take(std::size_t bytes) { return cache().take(bytes); }

void* allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes >= cached_from) return take(bytes);
    void* p = alignment <= 16 ? std::malloc(bytes == 0 ? 1 : bytes)
                              : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void deallocate(void* buffer, std::size_t bytes) noexcept {
    if (bytes < cached_from || !give_back(buffer)) std::free(buffer);
}
bool give_back(void* buffer) noexcept { return cache().give_back(buffer); }
std::size_t size_of(const void* p) noexcept { return cache().size_of(p); }
std::size_t held_bytes() noexcept { return cache().held_bytes(); }
void release_held() noexcept { cache().release_held(); }

}  // namespace kavrel::buffers
