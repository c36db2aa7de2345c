// Large-page requests: the reset of a block about to be rewritten zeroes exactly the whole large
// pages inside it and keeps every other byte; blocks too small to hold a large page are left alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kestovar/core/memory.h"
#include "kestovar/platform/huge_pages.h"

using namespace kestovar;

namespace {

constexpr size_t kLarge = size_t(2) << 20;

// A block of `bytes` filled with a pattern that depends on the position, freed on exit.
struct PatternBlock {
    explicit PatternBlock(size_t n) : bytes(n), data(static_cast<uint8_t*>(xmalloc(n))) {
        for (size_t i = 0; i < bytes; ++i) data[i] = uint8_t((i * 2654435761u) >> 13);
    }
    ~PatternBlock() { xfree(data); }
    bool Holds(size_t i) const { return data[i] == uint8_t((i * 2654435761u) >> 13); }
    size_t bytes;
    uint8_t* data;
};

}  // namespace

TEST(LargePages, SmallOrNullBlocksAreLeftAlone) {
    EXPECT_EQ(memResetLargePages(nullptr, size_t(64) << 20), 0u);
    PatternBlock small(memLargePageMinimum - 1);
    EXPECT_EQ(memResetLargePages(small.data, small.bytes), 0u);
    for (size_t i = 0; i < small.bytes; i += 4093) ASSERT_TRUE(small.Holds(i)) << i;
}

// The reset drops exactly the whole large pages inside the range: they read as zero and can be
// written again; every byte outside them keeps its value.
TEST(LargePages, ResetZeroesOnlyWholePagesInsideTheRange) {
    PatternBlock block(size_t(11) << 20);
    uint8_t* first = block.data + 12345;
    const size_t bytes = (size_t(8) << 20) + 777;
    const size_t dropped = memResetLargePages(first, bytes);
    const uintptr_t lo = reinterpret_cast<uintptr_t>(first), hi = lo + bytes;
    const uintptr_t begin = (lo + kLarge - 1) & ~(kLarge - 1), end = hi & ~(kLarge - 1);
    if (dropped == 0) {
        // Another system or switched off: nothing may change.
        for (size_t i = 0; i < block.bytes; ++i) ASSERT_TRUE(block.Holds(i)) << i;
        return;
    }
    EXPECT_EQ(dropped, size_t(end - begin));
    for (size_t i = 0; i < block.bytes; ++i) {
        const uintptr_t a = reinterpret_cast<uintptr_t>(block.data + i);
        if (a >= begin && a < end)
            ASSERT_EQ(block.data[i], 0) << i;
        else
            ASSERT_TRUE(block.Holds(i)) << i;
    }
    std::memset(block.data, 0x5A, block.bytes);
    for (size_t i = 0; i < block.bytes; i += 511) ASSERT_EQ(block.data[i], 0x5A) << i;
}
