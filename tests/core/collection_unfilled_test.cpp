// Records created at their final size with their values left for the caller to write
// (CSimpleCollection::AddUnfilledRecords), and the direct view of the buffer and offsets that
// loops over every record use: once filled, the records must be those of one Add per record, the
// buffer sized exactly as Reserve sizes it, and the direct view must name the same bytes as the
// checked accessors.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kestovar/core/collection.h"
#include "test_util.h"

using namespace kestovar;
using namespace kestovar::test;

namespace {

// Every observable of a collection: offsets, counts, capacities, values and byte totals.
template <class C>
void ExpectSameCollections(const C& got, const C& want) {
    ASSERT_EQ(got.GetSize(), want.GetSize());
    for (unsigned i = 0; i < want.GetSize(); ++i) {
        EXPECT_EQ(got.GetOffset(i), want.GetOffset(i)) << "record " << i;
        EXPECT_EQ(got.GetElement(i)->GetSize(), want.GetElement(i)->GetSize()) << "record " << i;
        EXPECT_EQ(got.GetElement(i)->GetCapacity(), want.GetElement(i)->GetCapacity()) << "record " << i;
        unsigned n, m;
        const auto* a = got.Get(i, n);
        const auto* b = want.Get(i, m);
        EXPECT_EQ(std::vector<int>(a, a + n), std::vector<int>(b, b + m)) << "record " << i;
    }
    EXPECT_EQ(got.GetUsedBytes(), want.GetUsedBytes());
    EXPECT_EQ(got.GetAllocatedBytes(), want.GetAllocatedBytes());
    EXPECT_EQ(got.GetSlack(), want.GetSlack());
    EXPECT_EQ(got.GetValueCount(), want.GetValueCount());
}

// Writes value 1000 * i + j into position j of record i, from `first` on, through the direct view.
template <class C>
void FillThroughBuffer(C& c, unsigned first) {
    for (unsigned i = first; i < c.GetSize(); ++i) {
        unsigned n;
        int* v = c.Get(i, n);
        for (unsigned j = 0; j < n; ++j) v[j] = int(1000 * i + j);
    }
}

TEST(CollectionUnfilledRecords, FilledRecordsEqualOneAddPerRecord) {
    // Empty records, triangles, a long record, both header widths.
    const std::vector<unsigned> counts = {0, 3, 3, 1, 0, 7, 300, 2};
    CSimpleCollection<int, unsigned short> bulk;
    CSimpleCollection<int, unsigned short> plain;
    EXPECT_EQ(bulk.AddUnfilledRecords(counts.data(), unsigned(counts.size())), 0u);
    FillThroughBuffer(bulk, 0);
    uint64_t bytes = 0;
    for (unsigned n : counts) bytes += CSimpleCollection<int, unsigned short>::RecordBytes(n);
    plain.Reserve(bytes, unsigned(counts.size()));
    for (unsigned i = 0; i < counts.size(); ++i) {
        std::vector<int> v(counts[i]);
        for (unsigned j = 0; j < counts[i]; ++j) v[j] = int(1000 * i + j);
        plain.Add(v.data(), counts[i]);
    }
    ExpectSameCollections(bulk, plain);
    // Exactly the bytes of the records: nothing to spare, nothing to compact.
    EXPECT_EQ(bulk.GetAllocatedBytes(), bytes);

    CSimpleCollection<int, unsigned int> wide;
    EXPECT_EQ(wide.AddUnfilledRecords(counts.data(), unsigned(counts.size())), 0u);
    FillThroughBuffer(wide, 0);
    EXPECT_EQ(wide.GetUsedBytes(), uint64_t(8 * counts.size() + 4 * (0 + 3 + 3 + 1 + 0 + 7 + 300 + 2)));
    EXPECT_EQ(wide.GetElement(6)->GetCapacity(), 300u);
    unsigned n;
    EXPECT_EQ(wide.Get(6, n)[299], 6299);
    EXPECT_EQ(n, 300u);
}

TEST(CollectionUnfilledRecords, AppendsAfterRecordsWithSlackAndGrowsExactly) {
    CSimpleCollection<int, unsigned short> c(3);
    const int tri[3] = {1, 2, 3};
    for (int i = 0; i < 5; ++i) c.Add(tri, 3);
    c.SetRecord(1, nullptr, 6);  // moved to the end: its old bytes become slack
    const uint64_t used = c.GetUsedBytes();
    const uint64_t slack = c.GetSlack();
    const unsigned counts[3] = {2, 0, 5};
    EXPECT_EQ(c.AddUnfilledRecords(counts, 3), 5u);
    FillThroughBuffer(c, 5);
    EXPECT_EQ(c.GetSize(), 8u);
    EXPECT_EQ(c.GetOffset(5), used);
    EXPECT_EQ(c.GetOffset(6), used + c.RecordBytes(2));
    EXPECT_EQ(c.GetOffset(7), used + c.RecordBytes(2) + c.RecordBytes(0));
    EXPECT_EQ(c.GetUsedBytes(), used + c.RecordBytes(2) + c.RecordBytes(0) + c.RecordBytes(5));
    EXPECT_EQ(c.GetAllocatedBytes(), c.GetUsedBytes());
    EXPECT_EQ(c.GetSlack(), slack);
    EXPECT_EQ(c.GetValueCount(), 4u * 3u + 6u + 7u);
    unsigned n;
    EXPECT_EQ(std::vector<int>(c.Get(7, n), c.Get(7, n) + 5), (std::vector<int>{7000, 7001, 7002, 7003, 7004}));
    EXPECT_EQ(std::vector<int>(c.Get(0, n), c.Get(0, n) + 3), (std::vector<int>{1, 2, 3}));
    // Nothing to add: the size comes back and nothing moves.
    EXPECT_EQ(c.AddUnfilledRecords(counts, 0), 8u);
    EXPECT_EQ(c.GetUsedBytes(), used + c.RecordBytes(2) + c.RecordBytes(0) + c.RecordBytes(5));
}

TEST(CollectionUnfilledRecords, TooLongARecordAddsNothing) {
    CSimpleCollection<int, unsigned short> c;
    const int tri[3] = {1, 2, 3};
    c.Add(tri, 3);
    const uint64_t allocated = c.GetAllocatedBytes();
    const unsigned counts[3] = {3, 70000, 3};
    EXPECT_TRUE(RaisesInvalidArg([&] { c.AddUnfilledRecords(counts, 3); }));
    EXPECT_EQ(c.GetSize(), 1u);
    EXPECT_EQ(c.GetUsedBytes(), c.RecordBytes(3));
    EXPECT_EQ(c.GetAllocatedBytes(), allocated);
    EXPECT_EQ(c.GetValueCount(), 3u);
}

TEST(CollectionUnfilledRecords, DirectViewNamesTheRecordsOfTheCheckedAccessors) {
    CSimpleCollection<int, unsigned short> c(3);
    const int quad[4] = {4, 5, 6, 7};
    for (int i = 0; i < 40; ++i) c.Add(quad, unsigned(1 + i % 4));
    c.SetRecord(3, quad, 4);  // grown: moved to the end of the buffer
    c.RemoveRecord(10);       // later records shift down one index
    const COffsetArray& offsets = c.GetOffsets();
    ASSERT_EQ(offsets.GetSplitIndex(), COffsetArray::kNoSplit);
    const uint32_t* narrow = offsets.GetNarrowData();
    for (unsigned i = 0; i < c.GetSize(); ++i) {
        EXPECT_EQ(narrow[i], c.GetOffset(i));
        EXPECT_EQ(static_cast<const void*>(c.GetBuffer() + narrow[i]), static_cast<const void*>(c.GetElement(i)));
    }
}

}  // namespace
