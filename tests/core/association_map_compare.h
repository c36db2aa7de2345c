// What the association-map tests share: a map of 64-bit keys to lists of ints, the home slot of a
// key, a recorded Add/AddUnique call, and the comparison of two maps down to their record layout.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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
