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

TEST(CostHeap, SentinelPrecedesEveryRealRecord) {
    CostHeap heap;
    heap.Init(CostHeap::MakeSentinel(), 3);
    const CContractionCost& s = heap.GetSentinel();
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
}

// Random insert / pop / remove / re-evaluate sequences with many ties. After every operation the
// heap must be consistent (heap property and back-pointers), and every pop must return a record
// that no record still present precedes: without NaN costs the pop sequence is the sorted one.
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
        heap.Free();
        EXPECT_EQ(heap.GetCapacity(), 0u);
    }
}

// The heap as a plain array of record pointers compared through CostHeap::Before only: the layout
// every sequence of operations must leave, slot for slot.
struct ReferenceHeap {
    std::vector<CContractionCost*> slots{nullptr};
    void SiftDown(size_t i, CContractionCost* rec) {
        const size_t n = slots.size() - 1;
        while (2 * i <= n) {
            size_t child = 2 * i;
            if (child != n && CostHeap::Before(slots[child + 1], slots[child])) ++child;
            if (!CostHeap::Before(slots[child], rec)) break;
            slots[i] = slots[child];
            i = child;
        }
        slots[i] = rec;
    }
    void Insert(CContractionCost* rec) {
        slots.push_back(rec);
        size_t hole = slots.size() - 1;
        while (hole > 1 && CostHeap::Before(rec, slots[hole >> 1])) {
            slots[hole] = slots[hole >> 1];
            hole >>= 1;
        }
        slots[hole] = rec;
    }
    CContractionCost* PopTop() {
        CContractionCost* top = slots[1];
        CContractionCost* last = slots.back();
        slots.pop_back();
        if (slots.size() > 1) SiftDown(1, last);
        return top;
    }
    void Remove(CContractionCost* rec) {
        size_t i = size_t(std::find(slots.begin() + 1, slots.end(), rec) - slots.begin());
        CContractionCost* last = slots.back();
        slots.pop_back();
        if (i == slots.size()) return;
        while (i > 1 && CostHeap::Before(last, slots[i >> 1])) {
            slots[i] = slots[i >> 1];
            i >>= 1;
        }
        slots[i] = last;
        SiftDown(i, last);
    }
};

// The heap decides most comparisons on a compact key beside each slot; the layout must still be
// exactly the one that comparing the records gives, including where the key cannot decide: costs
// one or two units in the last place apart, -0 against +0, infinities, NaN (which compares with
// nothing), the largest and smallest finite costs and subnormals, over many ties.
TEST(CostHeap, LayoutEqualsTheRecordComparisonForHardCosts) {
    const float hard[] = {0.0f,
                          -0.0f,
                          1.0f,
                          std::nextafter(1.0f, 2.0f),
                          std::nextafter(std::nextafter(1.0f, 2.0f), 2.0f),
                          std::nextafter(1.0f, 0.0f),
                          -1.0f,
                          std::nextafter(-1.0f, 0.0f),
                          HUGE_VALF,
                          -HUGE_VALF,
                          std::nanf(""),
                          -std::nanf(""),
                          FLT_MAX,
                          -FLT_MAX,
                          FLT_MIN,
                          std::nextafter(0.0f, 1.0f),
                          std::nextafter(0.0f, -1.0f),
                          3.0e-5f};
    const int kinds = int(sizeof hard / sizeof hard[0]);
    std::mt19937 rng(4242);
    for (int round = 0; round < 30; ++round) {
        const int n = 1 + int(rng() % 400);
        std::vector<CContractionCost> recs(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            recs[size_t(i)] = Make(1 + rng() % 3, hard[rng() % unsigned(kinds)], rng() % 8, 1 + rng() % 4, i);
        std::vector<bool> in(size_t(n), false);
        CostHeap heap;
        heap.Init(CostHeap::MakeSentinel(), unsigned(n));
        ReferenceHeap ref;
        for (int step = 0; step < 5 * n; ++step) {
            const int i = int(rng() % unsigned(n));
            const unsigned op = rng() % 3;
            if (!in[size_t(i)]) {
                heap.Insert(&recs[size_t(i)]);
                ref.Insert(&recs[size_t(i)]);
                in[size_t(i)] = true;
            } else if (op == 0) {
                heap.Remove(recs[size_t(i)].slot);
                ref.Remove(&recs[size_t(i)]);
                in[size_t(i)] = false;
            } else if (op == 1 && heap.GetCount() > 0) {
                CContractionCost* top = nullptr;
                heap.PopTop(top);
                ASSERT_EQ(top, ref.PopTop());
                in[size_t(top->first)] = false;
            }
            ASSERT_EQ(size_t(heap.GetCount()), ref.slots.size() - 1);
            for (unsigned k = 1; k <= heap.GetCount(); ++k) ASSERT_EQ(heap.GetSlot(k), ref.slots[k]) << "slot " << k;
        }
        // Back-pointers only: with NaN costs, which compare with nothing, a removal can leave a
        // record below one it precedes (the two were ordered only through the NaN between them),
        // in the comparison-only heap as here, so CheckConsistency's heap property need not hold.
        for (unsigned k = 1; k <= heap.GetCount(); ++k) ASSERT_EQ(*heap.GetSlot(k)->slot, heap.GetSlot(k));
    }
}

// The bulk insertion leaves exactly the slots of one Insert after another, ties and hard costs
// included, on top of records already in the heap, and every record (old ones that moved down
// too) points at its slot.
// Puts the `before` records of oneEarlier into one heap and those of bulkEarlier (a copy) into
// another, one by one; then the records a[order[i]] one by one into the first and the records
// b[order[i]] (b a copy of a) with InsertAll into the second. Both heaps must then hold the same
// records slot for slot (told apart by `first`, unique in each test), with their back-pointers.
void ExpectBulkMatchesOneByOne(CContractionCost* oneEarlier, CContractionCost* bulkEarlier, unsigned before,
                               CContractionCost* a, CContractionCost* b, const std::vector<uint32_t>& order) {
    const unsigned n = unsigned(order.size());
    CostHeap one, bulk;
    one.Init(CostHeap::MakeSentinel(), n + before);
    bulk.Init(CostHeap::MakeSentinel(), n + before);
    for (unsigned i = 0; i < before; ++i) {
        one.Insert(&oneEarlier[i]);
        bulk.Insert(&bulkEarlier[i]);
    }
    for (uint32_t i : order) one.Insert(&a[i]);
    bulk.InsertAll(b, order.data(), n);
    ASSERT_EQ(bulk.GetCount(), one.GetCount());
    for (unsigned k = 1; k <= one.GetCount(); ++k) {
        ASSERT_EQ(bulk.GetSlot(k)->first, one.GetSlot(k)->first) << "slot " << k;
        ASSERT_EQ(*bulk.GetSlot(k)->slot, bulk.GetSlot(k));
    }
}

TEST(CostHeap, InsertAllLeavesTheLayoutOfSuccessiveInserts) {
    const float costs[] = {0.0f, -0.0f, 1.0f, std::nextafter(1.0f, 2.0f), 2.0f, -3.0f, std::nanf(""), HUGE_VALF};
    std::mt19937 rng(77);
    for (int round = 0; round < 20; ++round) {
        const unsigned n = 1 + rng() % 3000, before = rng() % 50;
        std::vector<CContractionCost> a(n + before), b;
        for (unsigned i = 0; i < n + before; ++i)
            a[i] = Make(1 + rng() % 3, costs[rng() % 8], rng() % 8, 1 + rng() % 4, int(i));
        b = a;
        std::vector<uint32_t> order(n);
        for (unsigned i = 0; i < n; ++i) order[i] = before + i;
        std::shuffle(order.begin(), order.end(), rng);
        ExpectBulkMatchesOneByOne(a.data(), b.data(), before, a.data(), b.data(), order);
    }
}

// The same when the order is a permutation of the whole record array (the engine's case, where
// the keys are taken in one pass over the records before the insertions) and records of another
// array already sit in the heap; near-equal costs make many keys tie, so that the insertions
// also fall back to the records themselves. Orders naming records past the count take the other
// path, which the test above covers.
TEST(CostHeap, InsertAllOfAWholeArrayLeavesTheLayoutOfSuccessiveInserts) {
    const float costs[] = {0.0f, -0.0f, 1.0f, std::nextafter(1.0f, 2.0f), std::nextafter(1.0f, 0.0f),
                           2.0f, -3.0f, std::nanf(""), HUGE_VALF};
    std::mt19937 rng(1234);
    for (int round = 0; round < 20; ++round) {
        const unsigned n = 1 + rng() % 3000, before = round % 3 == 0 ? 0 : rng() % 50;
        std::vector<CContractionCost> earlier(before), a(n), b;
        for (unsigned i = 0; i < before; ++i) earlier[i] = Make(1 + rng() % 3, costs[rng() % 9], rng() % 8, 1, int(i));
        for (unsigned i = 0; i < n; ++i)
            a[i] = Make(1 + rng() % 3, costs[rng() % 9], rng() % 8, 1 + rng() % 4, int(before + i));
        b = a;
        std::vector<CContractionCost> earlierOne = earlier, earlierBulk = earlier;
        std::vector<uint32_t> order(n);
        for (unsigned i = 0; i < n; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        ExpectBulkMatchesOneByOne(earlierOne.data(), earlierBulk.data(), before, a.data(), b.data(), order);
    }
}

// CheckConsistency notices a record whose cost changed while it sat in the heap (the heap's key
// for it is stale, so its place would no longer be where the order puts it).
TEST(CostHeap, ConsistencyCheckCatchesARecordChangedInPlace) {
    CContractionCost r[3] = {Make(1, 1.0f, 0, 1, 0), Make(1, 2.0f, 0, 1, 1), Make(1, 3.0f, 0, 1, 2)};
    CostHeap heap;
    heap.Init(CostHeap::MakeSentinel(), 3);
    for (CContractionCost& x : r) heap.Insert(&x);
    EXPECT_TRUE(heap.CheckConsistency());
    r[2].cost = 2.5f;
    EXPECT_FALSE(heap.CheckConsistency());
    r[2].cost = 3.0f;
    r[1].SetPriority(2);
    EXPECT_FALSE(heap.CheckConsistency());
}

}  // namespace
}  // namespace kestovar
