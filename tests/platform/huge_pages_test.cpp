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

// The advice the allocation functions give big blocks covers the same whole large pages as the
// reset, but drops nothing: a block written before the advice keeps every byte, and so does a
// block that grows through xrealloc (advised again at its new size).
TEST(LargePages, AdviceKeepsEveryByte) {
    EXPECT_EQ(memAdviseLargePages(nullptr, size_t(64) << 20), 0u);
    PatternBlock small(memLargePageMinimum - 1);
    EXPECT_EQ(memAdviseLargePages(small.data, small.bytes), 0u);

    PatternBlock block(size_t(9) << 20);
    uint8_t* first = block.data + 4321;
    const size_t bytes = (size_t(6) << 20) + 99;
    const size_t advised = memAdviseLargePages(first, bytes);
    const uintptr_t lo = reinterpret_cast<uintptr_t>(first);
    const uintptr_t begin = (lo + kLarge - 1) & ~(kLarge - 1), end = (lo + bytes) & ~(kLarge - 1);
    EXPECT_TRUE(advised == 0 || advised == size_t(end - begin)) << advised;
    for (size_t i = 0; i < block.bytes; ++i) ASSERT_TRUE(block.Holds(i)) << i;

    const size_t grown = size_t(23) << 20;
    uint8_t* moved = static_cast<uint8_t*>(xrealloc(block.data, grown));
    ASSERT_NE(moved, nullptr);
    block.data = moved;
    for (size_t i = 0; i < block.bytes; ++i) ASSERT_TRUE(block.Holds(i)) << i;
    std::memset(moved + block.bytes, 0x3C, grown - block.bytes);
    for (size_t i = block.bytes; i < grown; i += 1021) ASSERT_EQ(moved[i], 0x3C) << i;
}
