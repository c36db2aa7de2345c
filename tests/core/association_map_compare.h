// What the hash-map and association-map load tests share: a map of 64-bit keys to lists of ints,
// the home slot of a key, a recorded Add/AddUnique call, even run boundaries, and the comparisons
// of two hash tables slot by slot and of two association maps down to their record layout.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kestovar/core/collection.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/hashmap.h"

namespace kestovar::test {

typedef CAssociationMap<uint64_t, int, unsigned short> Lists64;

inline unsigned HomeOf(uint64_t key, unsigned slots) { return CHashMethods<uint64_t>::Hash(key) % slots; }

// One Add (unique false) or AddUnique (unique true) call.
struct MapCall {
    uint64_t key;
    int value;
    bool unique;
};

// The ends of `parts` runs of about equal length over `total` calls.
inline std::vector<size_t> EvenCuts(size_t total, size_t parts) {
    std::vector<size_t> cuts;
    for (size_t p = 1; p <= parts; ++p) cuts.push_back(total * p / parts);
    return cuts;
}

// Two hash tables are the same when they have the same capacity, count, fill and slot states,
// and walk the same slots with the same values and keys; keys are compared as bytes (a load
// must keep the bytes of the key that made the slot) unless `sameKey` says otherwise.
template <class Map, class SameKey>
void ExpectSameTables(const Map& plain, const Map& loaded, SameKey sameKey) {
    ASSERT_EQ(plain.GetCapacity(), loaded.GetCapacity());
    ASSERT_EQ(plain.GetCount(), loaded.GetCount());
    ASSERT_EQ(plain.GetFill(), loaded.GetFill());
    for (unsigned s = 0; s < plain.GetCapacity(); ++s) ASSERT_EQ(plain.GetSlotState(s), loaded.GetSlotState(s)) << s;
    int pa = kHashStartPosition, pb = kHashStartPosition;
    const typename Map::Slot* a;
    while ((a = plain.GetNextSlot(pa)) != nullptr) {
        const typename Map::Slot* b = loaded.GetNextSlot(pb);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(pa, pb);
        ASSERT_TRUE(sameKey(a->key, b->key)) << "slot " << pa;
        ASSERT_EQ(a->value, b->value) << "slot " << pa;
    }
    EXPECT_EQ(loaded.GetNextSlot(pb), nullptr);
}

template <class Map>
void ExpectSameTables(const Map& plain, const Map& loaded) {
    ExpectSameTables(plain, loaded, [](const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof a) == 0; });
}

// Two maps are the same when they walk the same keys in the same slots with the same lists, and
// their record collections have the same offsets, capacities, byte counts and value count; the
// room past each record's count reads as zero in the second map.
inline void ExpectSameMaps(const Lists64& a, const Lists64& b) {
    ASSERT_EQ(a.GetHashCapacity(), b.GetHashCapacity());
    ASSERT_EQ(a.GetCount(), b.GetCount());
    int pa = kHashStartPosition, pb = kHashStartPosition;
    uint64_t ka, kb;
    const int *va, *vb;
    unsigned na, nb;
    while (a.GetNext(pa, ka, va, na)) {
        ASSERT_TRUE(b.GetNext(pb, kb, vb, nb));
        ASSERT_EQ(pa, pb);
        ASSERT_EQ(ka, kb);
        ASSERT_EQ(std::vector<int>(va, va + na), std::vector<int>(vb, vb + nb)) << "key " << ka;
    }
    EXPECT_FALSE(b.GetNext(pb, kb, vb, nb));
    const Lists64::Lists &la = a.GetLists(), &lb = b.GetLists();
    ASSERT_EQ(la.GetSize(), lb.GetSize());
    for (unsigned r = 0; r < la.GetSize(); ++r) {
        ASSERT_EQ(la.GetOffset(r), lb.GetOffset(r)) << "record " << r;
        ASSERT_EQ(la.GetElement(r)->GetCapacity(), lb.GetElement(r)->GetCapacity()) << "record " << r;
        for (unsigned k = la.GetElement(r)->GetSize(); k < la.GetElement(r)->GetCapacity(); ++k)
            ASSERT_EQ((*lb.GetElement(r))[k], 0) << "record " << r;
    }
    EXPECT_EQ(la.GetUsedBytes(), lb.GetUsedBytes());
    EXPECT_EQ(la.GetSlack(), lb.GetSlack());
    EXPECT_EQ(la.GetAllocatedBytes(), lb.GetAllocatedBytes());
    EXPECT_EQ(la.GetValueCount(), lb.GetValueCount());
}

}  // namespace kestovar::test
