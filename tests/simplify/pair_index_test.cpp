// The candidates' pair index: a set of records keyed by their (first, second) pair whose slots hold
// the pair beside the record address. Checked against a reference set through long random runs of
// insertions, duplicate insertions, look-ups and removals that cross growth and clean-up rebuilds;
// the stored record (not the probe key) is what a look-up returns; the insertion of pairs known to
// be absent places them as the checking insertion does; the free-slot pair (-1, -1) is
// never indexed; the table's growth follows the CHashTable rule (same slot counts), so that its
// memory is that of the table it replaced.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "kestovar/core/hashmap.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {
namespace {

CContractionCost Key(int a, int b) {
    CContractionCost k{};
    k.first = a;
    k.second = b;
    return k;
}

// The record the index holds for `key`, or null.
CContractionCost* Found(const CContractionPairIndex& index, const CContractionCost& key) {
    CContractionCost* const* found = index.Find(&key);
    return found ? *found : nullptr;
}
CContractionCost* Stored(const std::map<std::pair<int, int>, CContractionCost*>& ref, int a, int b) {
    auto it = ref.find({a, b});
    return it == ref.end() ? nullptr : it->second;
}

// Runs `ops` random operations over pairs drawn from a small point range (so that duplicates and
// removals of present pairs are frequent) and compares every answer and the count with a
// std::map; records come from a pool and are recycled as the loop recycles them.
void RunAgainstReference(CContractionPairIndex& index, unsigned seed, int ops, int points) {
    std::mt19937 rng(seed);
    std::vector<CContractionCost> pool(size_t(ops) + 1);
    size_t used = 0;
    std::map<std::pair<int, int>, CContractionCost*> ref;
    for (int op = 0; op < ops; ++op) {
        const int a = int(rng() % unsigned(points)), b = a + 1 + int(rng() % 12u);
        const CContractionCost key = Key(a, b);
        const unsigned what = rng() % 10u;
        if (what < 5) {
            CContractionCost* rec = &pool[used++];
            rec->first = a;
            rec->second = b;
            const bool fresh = ref.emplace(std::make_pair(a, b), rec).second;
            ASSERT_EQ(index.Insert(rec), fresh ? 1 : 0) << "op " << op;
        } else if (what < 8) {
            const int removed = ref.erase({a, b}) ? 1 : 0;
            ASSERT_EQ(index.Remove(&key, (what & 1u) != 0), removed) << "op " << op;
        } else {
            ASSERT_EQ(Found(index, key), Stored(ref, a, b)) << "op " << op;
        }
        ASSERT_EQ(index.GetCount(), int(ref.size()));
        ASSERT_LT(index.GetFill(), index.GetCapacity());
    }
    // Every pair of the range: present exactly when the reference holds it.
    for (int a = 0; a < points; ++a) {
        for (int b = a + 1; b <= a + 12; ++b) {
            ASSERT_EQ(Found(index, Key(a, b)), Stored(ref, a, b)) << a << "," << b;
        }
    }
}

TEST(PairIndex, MatchesAReferenceSetThroughGrowthAndCleanUps) {
    // From a tiny table (many growth rebuilds), from one presized like the preparation's, and
    // with removals dominating late (clean-up rebuilds that shrink the table).
    CContractionPairIndex small(5);
    RunAgainstReference(small, 1u, 20000, 300);
    CContractionPairIndex sized(23);
    sized.InitHashTable(4000);
    RunAgainstReference(sized, 2u, 20000, 300);
    CContractionPairIndex wide(23);
    RunAgainstReference(wide, 3u, 30000, 3000);
}

// InsertNew, for pairs known to be absent, takes the slot Insert would: two indexes fed the same
// operations, one re-inserting removed pairs through InsertNew, hold every pair in the same slot
// (seen through the home-slot occupants of every pair) with the same fill, through reuse of
// deleted slots and rebuilds.
TEST(PairIndex, InsertNewTakesTheSlotInsertWould) {
    std::mt19937 rng(7u);
    std::vector<CContractionCost> pool(60000);
    size_t used = 0;
    CContractionPairIndex plain(23), known(23);
    std::vector<std::pair<int, int>> removed;
    for (int op = 0; op < 20000; ++op) {
        const unsigned what = rng() % 4u;
        if (what == 0 && !removed.empty()) {
            // Re-insert a pair removed earlier (and not re-inserted since).
            const size_t pick = rng() % removed.size();
            const std::pair<int, int> pr = removed[pick];
            removed[pick] = removed.back();
            removed.pop_back();
            CContractionCost* rec = &pool[used++];
            rec->first = pr.first;
            rec->second = pr.second;
            ASSERT_EQ(plain.Insert(rec), 1);
            known.InsertNew(rec);
        } else if (what == 1) {
            const int a = int(rng() % 400u), b = a + 1 + int(rng() % 9u);
            const CContractionCost key = Key(a, b);
            const int r = plain.Remove(&key, true);
            ASSERT_EQ(known.Remove(&key, true), r);
            if (r) removed.push_back({a, b});
        } else {
            CContractionCost* rec = &pool[used++];
            rec->first = int(rng() % 400u);
            rec->second = rec->first + 1 + int(rng() % 9u);
            const int r = plain.Insert(rec);
            ASSERT_EQ(known.Insert(rec), r);
            if (r) std::erase(removed, std::make_pair(rec->first, rec->second));
        }
        ASSERT_EQ(known.GetCount(), plain.GetCount());
        ASSERT_EQ(known.GetFill(), plain.GetFill()) << "op " << op;
        ASSERT_EQ(known.GetCapacity(), plain.GetCapacity());
    }
    for (int a = 0; a < 400; ++a) {
        for (int b = a + 1; b <= a + 9; ++b) {
            const CContractionCost key = Key(a, b);
            ASSERT_EQ(known.GetHomeRecord(&key), plain.GetHomeRecord(&key)) << a << "," << b;
            ASSERT_EQ(Found(known, key), Found(plain, key)) << a << "," << b;
        }
    }
}

TEST(PairIndex, TheFreePairIsNeverIndexedAndPairsAreOrdered) {
    CContractionPairIndex index(23);
    CContractionCost none = Key(-1, -1), other = Key(0, 1);
    EXPECT_EQ(index.Find(&none), nullptr);
    EXPECT_EQ(index.Insert(&none), 0);
    EXPECT_EQ(index.GetCount(), 0);
    EXPECT_EQ(index.Remove(&none), 0);
    ASSERT_EQ(index.Insert(&other), 1);
    EXPECT_EQ(index.Find(&none), nullptr);
    // The reversed pair is another key.
    const CContractionCost reversed = Key(1, 0);
    EXPECT_EQ(index.Find(&reversed), nullptr);
    // Negative indices other than the marker are ordinary keys.
    CContractionCost half = Key(-1, 7);
    ASSERT_EQ(index.Insert(&half), 1);
    EXPECT_EQ(*index.Find(&half), &half);
}

TEST(PairIndex, ResetsAndGrowsLikeTheHashTableItReplaces) {
    // The same insertions into this index and into a CHashTable of the records: the same slot
    // count after each, so the index costs the memory the table did.
    CHashTable<CContractionCost*, CContractionCostPairMethods> table(23);
    CContractionPairIndex index(23);
    EXPECT_EQ(index.GetCapacity(), table.GetCapacity());
    std::vector<CContractionCost> recs(5000);
    for (size_t i = 0; i < recs.size(); ++i) {
        recs[i] = Key(int(i / 7), int(i / 7 + 1 + i % 7));
        ASSERT_EQ(index.Insert(&recs[i]), table.Insert(&recs[i]));
        ASSERT_EQ(index.GetCapacity(), table.GetCapacity()) << i;
        ASSERT_EQ(index.GetFill(), table.GetFill()) << i;
    }
    // Removals with the rebuild check: clean-up rebuilds at the same moments.
    for (size_t i = 0; i < recs.size(); i += 2) {
        ASSERT_EQ(index.Remove(&recs[i], true), table.Remove(&recs[i], true));
        ASSERT_EQ(index.GetCapacity(), table.GetCapacity()) << i;
    }
    for (size_t i = 0; i < recs.size(); i += 2) {
        ASSERT_EQ(index.Insert(&recs[i]), table.Insert(&recs[i]));
        ASSERT_EQ(index.GetCapacity(), table.GetCapacity()) << i;
        ASSERT_EQ(index.GetFill(), table.GetFill()) << i;
    }

    const unsigned capacity = index.GetCapacity();
    index.RemoveAll();
    EXPECT_EQ(index.GetCount(), 0);
    EXPECT_EQ(index.GetFill(), 0u);
    EXPECT_EQ(index.GetCapacity(), capacity);
    EXPECT_EQ(index.Find(&recs[1]), nullptr);

    index.Free();
    EXPECT_EQ(index.GetCapacity(), 0u);
    EXPECT_EQ(index.Find(&recs[1]), nullptr);
    EXPECT_EQ(index.Remove(&recs[1]), 0);
    // The next insertion re-creates the requested size.
    ASSERT_EQ(index.Insert(&recs[1]), 1);
    EXPECT_EQ(index.GetCapacity(), NextPrime(23));

    index.InitHashTable(1000);
    EXPECT_EQ(index.GetCapacity(), NextPrime(1000));
    EXPECT_EQ(index.GetCount(), 0);
}

}  // namespace
}  // namespace kestovar
