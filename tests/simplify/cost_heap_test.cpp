// The candidate heap: order (priority, cost, generation, kind), the sentinel, and the slot
// back-pointers under random insertion, removal, pop and re-insertion checked against a plain
// sorted reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kestovar/simplify/cost_heap.h"

namespace kestovar {
namespace {

CContractionCost Make(unsigned priority, float cost, unsigned generation, unsigned kind, int id = 0) {
    CContractionCost r{};
    r.first = id;
    r.second = id + 1;
    r.cost = cost;
    r.flags = uint8_t((priority & 3u) | ((kind & 7u) << 2) | ((generation & 7u) << 5));
    return r;
}

// Position of a record in the heap order as one comparable tuple (finite costs only).
std::tuple<unsigned, float, unsigned, unsigned> Key(const CContractionCost& r) {
    return {r.GetPriority(), r.cost, r.GetGeneration(), r.GetKind()};
}

TEST(CostHeap, SentinelPrecedesEveryRealRecord) {
    CostHeap heap;
    heap.Init(CostHeap::MakeSentinel(), 3);
    const CContractionCost& s = heap.GetSentinel();
    uint32_t bits;
    std::memcpy(&bits, &s.cost, sizeof bits);
    EXPECT_EQ(bits, 0xFF7FFFFFu);
    EXPECT_EQ(s.GetPriority(), unsigned(PRIORITY_TOP));
    EXPECT_EQ(heap.GetSlot(0), &s);
    // Even a record of cost -FLT_MAX, generation 0 and kind 0 comes after the sentinel.
    CContractionCost low = Make(1, -FLT_MAX, 0, 0);
    EXPECT_TRUE(CostHeap::Before(&s, &low));
    EXPECT_FALSE(CostHeap::Before(&low, &s));
    heap.Insert(&low);
    EXPECT_EQ(heap.GetTop(), &low);
    EXPECT_EQ(heap.GetSlot(0), &s);
}

TEST(CostHeap, OrderIsPriorityThenCostThenGenerationThenKind) {
    CContractionCost a = Make(1, 5.0f, 7, 4);
    CContractionCost b = Make(2, 0.0f, 0, 1);
    EXPECT_TRUE(CostHeap::Before(&a, &b));  // priority beats any cost
    CContractionCost c = Make(1, 1.0f, 7, 4);
    EXPECT_TRUE(CostHeap::Before(&c, &a));
    CContractionCost d = Make(1, 1.0f, 3, 4);
    EXPECT_TRUE(CostHeap::Before(&d, &c));
    CContractionCost e = Make(1, 1.0f, 3, 1);
    EXPECT_TRUE(CostHeap::Before(&e, &d));
    EXPECT_FALSE(CostHeap::Before(&e, &e));
    CContractionCost n = Make(1, std::nanf(""), 0, 1);
    EXPECT_FALSE(CostHeap::Before(&n, &a));
    EXPECT_FALSE(CostHeap::Before(&a, &n));

    // Equal priority and cost pop in generation order, then kind order.
    CostHeap heap;
    heap.Init(CostHeap::MakeSentinel(), 4);
    CContractionCost r[4] = {Make(1, 2.0f, 1, 2, 0), Make(1, 2.0f, 0, 4, 1), Make(1, 2.0f, 1, 1, 2),
                             Make(1, 2.0f, 0, 3, 3)};
    for (CContractionCost& x : r) heap.Insert(&x);
    const int expected[4] = {3, 1, 2, 0};
    for (int id : expected) {
        CContractionCost* top = nullptr;
        heap.PopTop(top);
        EXPECT_EQ(top->first, id);
    }
    EXPECT_TRUE(heap.IsEmpty());
}

TEST(CostHeap, RemovingTheLastSlotOnlyShortensTheHeap) {
    CostHeap heap;
    heap.Init(CostHeap::MakeSentinel(), 3);
    CContractionCost r[3] = {Make(1, 1.0f, 0, 1, 0), Make(1, 2.0f, 0, 1, 1), Make(1, 3.0f, 0, 1, 2)};
    for (CContractionCost& x : r) heap.Insert(&x);
    CContractionCost* before[2] = {heap.GetSlot(1), heap.GetSlot(2)};
    ASSERT_EQ(heap.GetSlot(3), &r[2]);
    heap.Remove(r[2].slot);
    EXPECT_EQ(heap.GetCount(), 2u);
    EXPECT_EQ(heap.GetSlot(1), before[0]);
    EXPECT_EQ(heap.GetSlot(2), before[1]);
    EXPECT_TRUE(heap.CheckConsistency());
}

// Random insert / pop / remove / re-evaluate sequences with many ties. After every operation the
// heap must be consistent (heap property and back-pointers), and every pop must return a record
// that no record still present precedes.
TEST(CostHeap, RandomOperationsMatchASortedReference) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        const int n = 1 + int(rng() % 300);
        std::vector<CContractionCost> recs(static_cast<size_t>(n));
        std::vector<bool> in(size_t(n), false);
        for (int i = 0; i < n; ++i) {
            const float cost = float(rng() % 8) * 0.25f;  // few distinct costs: many ties
            recs[size_t(i)] = Make(1 + rng() % 3, cost, rng() % 8, 1 + rng() % 4, i);
        }
        CostHeap heap;
        heap.Init(CostHeap::MakeSentinel(), unsigned(n));
        unsigned count = 0;
        for (int step = 0; step < 4 * n; ++step) {
            const int i = int(rng() % unsigned(n));
            const unsigned op = rng() % 4;
            if (!in[size_t(i)]) {
                CContractionCost** slot = heap.Insert(&recs[size_t(i)]);
                ASSERT_EQ(*slot, &recs[size_t(i)]);
                ASSERT_EQ(recs[size_t(i)].slot, slot);
                in[size_t(i)] = true;
                ++count;
            } else if (op == 0) {
                heap.Remove(recs[size_t(i)].slot);
                in[size_t(i)] = false;
                --count;
            } else if (op == 1) {
                // Re-evaluation as the loop does it: out, new cost and generation, back in.
                heap.Remove(recs[size_t(i)].slot);
                recs[size_t(i)].cost = float(rng() % 8) * 0.25f;
                recs[size_t(i)].SetGeneration(rng() % 8);
                heap.Insert(&recs[size_t(i)]);
            } else if (op == 2 && count > 0) {
                // The top is a minimum of the records present.
                CContractionCost* top = nullptr;
                heap.PopTop(top);
                for (int k = 0; k < n; ++k) {
                    if (in[size_t(k)]) {
                        ASSERT_FALSE(CostHeap::Before(&recs[size_t(k)], top));
                    }
                }
                in[size_t(top->first)] = false;
                --count;
            }
            ASSERT_EQ(heap.GetCount(), count);
            ASSERT_TRUE(heap.CheckConsistency());
        }
        // Drain: non-decreasing under the order.
        std::vector<CContractionCost*> popped;
        while (!heap.IsEmpty()) {
            CContractionCost* top = nullptr;
            heap.PopTop(top);
            popped.push_back(top);
        }
        for (size_t k = 1; k < popped.size(); ++k) ASSERT_FALSE(CostHeap::Before(popped[k], popped[k - 1]));
    }
}

// Without NaN costs the heap is a strict priority queue: the pop sequence equals the sorted
// sequence exactly, ties included (records that compare equal are interchangeable only when they
// agree on all four keys).
TEST(CostHeap, PopSequenceEqualsSortedOrder) {
    std::mt19937 rng(777);
    const int n = 2000;
    std::vector<CContractionCost> recs(n);
    for (int i = 0; i < n; ++i) recs[size_t(i)] = Make(1 + rng() % 3, float(rng() % 16), rng() % 8, 1 + rng() % 4, i);
    CostHeap heap;
    heap.Init(CostHeap::MakeSentinel(), n);
    for (auto& r : recs) heap.Insert(&r);
    // Remove a third at random positions through their slots.
    std::vector<bool> removed(n, false);
    for (int i = 0; i < n; i += 3) {
        heap.Remove(recs[size_t(i)].slot);
        removed[size_t(i)] = true;
    }
    std::vector<std::tuple<unsigned, float, unsigned, unsigned>> expected;
    for (int i = 0; i < n; ++i)
        if (!removed[size_t(i)]) expected.push_back(Key(recs[size_t(i)]));
    std::sort(expected.begin(), expected.end());
    for (const auto& k : expected) {
        CContractionCost* top = nullptr;
        heap.PopTop(top);
        ASSERT_EQ(Key(*top), k);
    }
    EXPECT_TRUE(heap.IsEmpty());
    heap.Free();
    EXPECT_EQ(heap.GetCapacity(), 0u);
}

}  // namespace
}  // namespace kestovar
