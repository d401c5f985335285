// Large buffers kept for the next call.  A call's big buffers (its result,
// its code lists and hash tables) are fresh memory, and fresh pages cost a
// fault and a zeroing by the kernel each; on a virtual machine the host may
// have to back them again as well.  That is a third of a fast encode's time,
// however little the encode itself does.  The allocator's own reuse stops at
// 32 MiB, under one result of a million rows, so buffers of at least
// `cached_from` bytes come from here instead: mapped on huge pages, and
// kept when given back, up to held_limit() bytes for the whole process, for
// the next buffer of about their size (at most a quarter larger).  A
// buffer that nothing held fits is mapped only after as many held bytes
// are freed, so held and handed-out buffers together never exceed the most
// that was ever handed out at once.  What a call takes from the allocator
// meanwhile comes on top of what is held.
//
// Thread-safe; held buffers are never handed out twice.
#pragma once

#include <cstddef>

namespace kavrel::buffers {

// Smaller buffers are left to the allocator, which reuses them itself.
inline constexpr std::size_t cached_from = std::size_t{4} << 20;

// What the process keeps of buffers given back, at most: a sixteenth of
// the machine's memory, and never more than 1 GiB (a result of 16 million
// rows by 8 columns, or its parts).  Freed beyond that, oldest first.
std::size_t held_limit() noexcept;

// A buffer of at least `bytes` (>= cached_from) bytes, aligned to 64 bytes at
// least, its contents unspecified.  Throws std::bad_alloc when the memory is
// not there.
void* take(std::size_t bytes);

// Gives back a buffer from take, kept for reuse or freed, and returns true;
// returns false, and does nothing, for any other pointer.
bool give_back(void* buffer) noexcept;

// Any buffer: from take when it is large, else from malloc (aligned_alloc
// for an `alignment` past 16, a power of two up to 64); aligned so, its
// contents unspecified.  Throws std::bad_alloc.  Every allocator of the
// encoding goes through this pair, so that one rule says which buffers the
// cache keeps.
void* allocate(std::size_t bytes, std::size_t alignment = 16);

// Frees a buffer of `bytes` bytes from allocate, or from malloc or realloc
// (a large one that is not the cache's goes to free).
void deallocate(void* buffer, std::size_t bytes) noexcept;

// Whether `p` is a buffer from take that is not given back yet, and then its
// usable size in bytes; else 0.
std::size_t size_of(const void* p) noexcept;

// The bytes held for reuse now.
std::size_t held_bytes() noexcept;

// Frees every buffer held for reuse (tests, and a caller short of memory).
void release_held() noexcept;

}  // namespace kavrel::buffers
