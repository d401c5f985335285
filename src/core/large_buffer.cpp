#include "large_buffer.hpp"

#include <cstdint>

#include <unistd.h>
#include <sys/mman.h>

namespace kavrel {

void prefer_huge_pages(void* data, std::size_t bytes) noexcept {
    static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    constexpr std::size_t worth_it = std::size_t{4} << 20;
    if (bytes < worth_it || page == 0 || (page & (page - 1)) != 0) return;
    // Only whole pages inside the buffer: its neighbours keep their advice.
    std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
    if (end > begin && end - begin >= worth_it)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // advice only
}

}  // namespace kavrel
