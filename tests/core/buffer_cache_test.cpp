#include "core/buffer_cache.hpp"
#include "core/large_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace kavrel {
namespace {

constexpr std::size_t mib = std::size_t{1} << 20;

class BufferCache : public ::testing::Test {
protected:
    void SetUp() override { buffers::release_held(); }
    void TearDown() override { buffers::release_held(); }
};

TEST_F(BufferCache, ReusesWhatWasGivenBackForABufferOfAboutItsSize) {
    void* first = buffers::take(10 * mib);
    EXPECT_GE(buffers::size_of(first), 10 * mib);
    std::memset(first, 1, 10 * mib);  // all of it is writable
    EXPECT_TRUE(buffers::give_back(first));
    EXPECT_EQ(buffers::size_of(first), 0u);
    EXPECT_GE(buffers::held_bytes(), 10 * mib);

    void* again = buffers::take(9 * mib);  // both are 5 huge pages
    EXPECT_EQ(again, first);
    EXPECT_EQ(buffers::held_bytes(), 0u);
    void* other = buffers::take(20 * mib);
    buffers::give_back(again);
    buffers::give_back(other);
    EXPECT_EQ(buffers::held_bytes(), 30 * mib);

    // Far smaller: a held block would be kept from a large request.  As
    // many held bytes as are mapped anew are freed first, oldest first; the
    // rest stays.
    void* small = buffers::take(4 * mib);
    EXPECT_NE(small, first);
    EXPECT_NE(small, other);
    EXPECT_EQ(buffers::held_bytes(), 20 * mib);  // first went
    EXPECT_EQ(buffers::take(20 * mib), other);
    buffers::give_back(small);
    buffers::give_back(other);
}

TEST_F(BufferCache, RefusesPointersItDidNotHandOutAndHoldsNoMoreThanItsLimit) {
    int local = 0;
    EXPECT_FALSE(buffers::give_back(&local));
    EXPECT_EQ(buffers::size_of(&local), 0u);

    const std::size_t piece = buffers::held_limit() / 3 + mib;
    std::vector<void*> taken;
    for (int i = 0; i < 4; ++i) taken.push_back(buffers::take(piece));
    for (void* p : taken) EXPECT_TRUE(buffers::give_back(p));
    EXPECT_LE(buffers::held_bytes(), buffers::held_limit());
    EXPECT_GT(buffers::held_bytes(), 0u);

    // Larger than the limit: freed at once, never held.
    void* huge = buffers::take(buffers::held_limit() + mib);
    buffers::release_held();
    EXPECT_TRUE(buffers::give_back(huge));
    EXPECT_EQ(buffers::held_bytes(), 0u);
    EXPECT_THROW(buffers::take(SIZE_MAX - 1), std::bad_alloc);
}

TEST_F(BufferCache, ThreadsNeverShareABuffer) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 50; ++round) {
                LargeVector<unsigned char> mine(5 * mib, static_cast<unsigned char>(t));
                for (std::size_t i = 0; i < mine.size(); i += 4096)
                    if (mine[i] != static_cast<unsigned char>(t)) ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace kavrel
