#include "hashing.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>

namespace kavrel {

namespace {

std::uint64_t splitmix64(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Drawn from the operating system once per process; random_seed() then walks
// a splitmix64 sequence from it, which never repeats a value within 2^64
// calls.
std::uint64_t process_entropy() noexcept {
    std::uint64_t entropy = 0;
    try {
        std::random_device device;
        entropy = (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
        // No entropy source: the clock and an address still differ per run.
    }
    entropy ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    entropy ^= reinterpret_cast<std::uintptr_t>(&entropy);
    return entropy;
}

}  // namespace

std::uint64_t random_seed() noexcept {
    static const std::uint64_t base = process_entropy();
    static std::atomic<std::uint64_t> counter{0};
    return splitmix64(base + 0x9E3779B97F4A7C15ull * counter.fetch_add(1, std::memory_order_relaxed));
}

std::size_t StringHash::operator()(std::string_view s) const noexcept {
    return hash_bytes(s, seed);
}

std::size_t WordHash::operator()(std::uint64_t key) const noexcept {
    char bytes[sizeof key];
    std::memcpy(bytes, &key, sizeof key);
    return hash_bytes({bytes, sizeof key}, seed);
}

}  // namespace kavrel
