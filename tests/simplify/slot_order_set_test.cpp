// SlotOrderSet against CHashTable: the same keys in the same slot order after any mix of
// insertions, removals (deleted slots and their reuse), growth rebuilds of both kinds and resets,
// and no allocation once the largest table has been met; InsertOnlySlotOrder against the edge
// table it stands in for.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "../../src/simplify/slot_order_set.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/memory.h"
#include "kestovar/mesh/edge.h"

using namespace kestovar;

namespace {

template <class KEY>
std::vector<KEY> TableOrder(const CHashTable<KEY>& table) {
    std::vector<KEY> out;
    int pos = kHashStartPosition;
    KEY key;
    while (table.GetNext(pos, key)) out.push_back(key);
    return out;
}

template <class KEY>
std::vector<KEY> SetOrder(const SlotOrderSet<KEY>& set) {
    std::vector<KEY> out(set.GetCount());
    set.CopyTo(out.data());
    return out;
}

int g_allocations = 0;
void* CountingAllocate(size_t size, int kind) {
    ++g_allocations;
    return kind == XMEM_CALLOC ? std::calloc(1, size) : std::malloc(size);
}
void* CountingReallocate(void* p, size_t size) {
    ++g_allocations;
    return std::realloc(p, size);
}
void CountingFree(void* p, int) { std::free(p); }

}  // namespace

TEST(SlotOrderSet, SameSlotOrderAsTheHashTableThroughGrowthRemovalAndReset) {
    std::mt19937 rng(5);
    CHashTable<int> table(21);
    SlotOrderSet<int> set;
    set.Reset(21);
    int rebuilds = 0;
    for (int round = 0; round < 400; ++round) {
        // Small rounds stay in the first 23 slots; large ones grow once or several times.
        const int inserts = std::uniform_int_distribution<int>(0, round % 5 == 0 ? 300 : 14)(rng);
        // Narrow key ranges make removals hit and deleted slots get reused; the removal share
        // sometimes lets deleted slots dominate, which selects the clean-up rebuild size.
        const int range = std::uniform_int_distribution<int>(8, 2000)(rng);
        const int removeShare = std::uniform_int_distribution<int>(0, 70)(rng);
        for (int i = 0; i < inserts; ++i) {
            const int key = std::uniform_int_distribution<int>(0, range)(rng);
            if (std::uniform_int_distribution<int>(0, 99)(rng) < removeShare) {
                ASSERT_EQ(set.Remove(key), table.Remove(key) == 1);
            } else {
                const unsigned before = table.GetCapacity();
                ASSERT_EQ(set.Insert(key), table.Insert(key) == 1);
                rebuilds += table.GetCapacity() != before;
            }
            ASSERT_EQ(set.GetCapacity(), table.GetCapacity());
        }
        ASSERT_EQ(set.GetCount(), unsigned(table.GetCount()));
        ASSERT_EQ(SetOrder(set), TableOrder(table)) << "round " << round;
        table.InitHashTable(21);
        set.Reset(21);
    }
    EXPECT_GT(rebuilds, 50);
}

TEST(SlotOrderSet, EdgeKeysFollowTheTableAcrossTheLargeGrowthRule) {
    // Past 251 slots the table doubles instead of quadrupling; edges hash through a 64-bit mix.
    std::mt19937 rng(9);
    CHashTable<C3DEdge> table(40);
    SlotOrderSet<C3DEdge> set;
    set.Reset(40);
    std::uniform_int_distribution<unsigned> point(0, 5000);
    for (int i = 0; i < 20000; ++i) {
        const C3DEdge e(point(rng), point(rng));
        ASSERT_EQ(set.Insert(e), table.Insert(e) == 1);
    }
    EXPECT_GT(table.GetCapacity(), 251u * 4);
    EXPECT_EQ(set.GetCapacity(), table.GetCapacity());
    EXPECT_EQ(SetOrder(set), TableOrder(table));
}

TEST(InsertOnlySlotOrder, IndicesComeInTheSlotOrderOfTheEdgeTable) {
    // Edges named by an index each, inserted with repeats, through several growth rebuilds (from
    // a small table, past 251 slots, and from a table sized for the expected count).
    std::mt19937 rng(3);
    for (unsigned requested : {5u, 300u, 8000u}) {
        std::vector<C3DEdge> edges;
        std::uniform_int_distribution<unsigned> point(0, 3000);
        for (int i = 0; i < 4000; ++i) edges.emplace_back(point(rng), point(rng));
        std::sort(edges.begin(), edges.end());
        edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
        CHashTable<C3DEdge> table(requested);
        InsertOnlySlotOrder order(requested);
        std::uniform_int_distribution<size_t> pick(0, edges.size() - 1);
        for (int i = 0; i < 6000; ++i) {
            const size_t k = pick(rng);
            ASSERT_EQ(order.Insert(CHashMethods<C3DEdge>::Hash(edges[k]), uint32_t(k)), table.Insert(edges[k]) == 1);
        }
        ASSERT_EQ(order.GetCapacity(), table.GetCapacity());
        std::vector<uint32_t> indices(order.GetCount());
        order.CopyTo(indices.data());
        std::vector<C3DEdge> named;
        for (uint32_t k : indices) named.push_back(edges[k]);
        EXPECT_EQ(named, TableOrder(table)) << "requested " << requested;
    }
}

// The copy writes exactly GetCount() indices, in slot order, when a key sits in the last slot and
// another wrapped around to the first; an empty set writes nothing.
TEST(InsertOnlySlotOrder, CopyWritesExactlyTheKeys) {
    InsertOnlySlotOrder order(11);
    const unsigned last = order.GetCapacity() - 1;
    std::vector<uint32_t> out(4, 0xABCDu);
    order.CopyTo(out.data());
    EXPECT_EQ(out, std::vector<uint32_t>(4, 0xABCDu));
    ASSERT_TRUE(order.Insert(last, 7));
    ASSERT_TRUE(order.Insert(3, 4));
    order.CopyTo(out.data());
    EXPECT_EQ(out, (std::vector<uint32_t>{4, 7, 0xABCDu, 0xABCDu}));
    ASSERT_TRUE(order.Insert(last, 9));  // its home is taken: the probe wraps to slot 0
    order.CopyTo(out.data());
    EXPECT_EQ(out, (std::vector<uint32_t>{9, 4, 7, 0xABCDu}));
}

TEST(SlotOrderSet, AllocatesNothingOnceGrown) {
    SlotOrderSet<int> set;
    auto run = [&set] {
        for (int n : {5, 60, 3, 200, 12}) {
            set.Reset(21);
            for (int k = 0; k < n; ++k) set.Insert(k * 7);
            for (int k = 0; k < n; k += 3) set.Remove(k * 7);
        }
    };
    run();
    const XMemoryCallback saved = memoryCallbackNotify;
    memoryCallbackNotify.allocate = CountingAllocate;
    memoryCallbackNotify.reallocate = CountingReallocate;
    memoryCallbackNotify.free = CountingFree;
    g_allocations = 0;
    run();
    memoryCallbackNotify = saved;
    EXPECT_EQ(g_allocations, 0);
}
