// Many records of one length appended in one call (CSimpleCollection::AddRecords, the write path
// of the face-list triangulation): the records, offsets and byte totals must be those of one Add
// per record, behind records of other lengths and slack, with room reserved or not, for both
// header widths; an empty call and a record too long change nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kestovar/core/collection.h"
#include "test_util.h"

using namespace kestovar;
using namespace kestovar::test;

namespace {

// Records, offsets, capacities, values and byte totals; the allocation too unless `allocation`
// is false (a buffer grown once by AddRecords may differ from one grown record by record).
template <class C>
void ExpectSame(const C& got, const C& want, bool allocation) {
    ASSERT_EQ(got.GetSize(), want.GetSize());
    for (unsigned i = 0; i < want.GetSize(); ++i) {
        SCOPED_TRACE(::testing::Message() << "record " << i);
        EXPECT_EQ(got.GetOffset(i), want.GetOffset(i));
        EXPECT_EQ(got.GetElement(i)->GetSize(), want.GetElement(i)->GetSize());
        EXPECT_EQ(got.GetElement(i)->GetCapacity(), want.GetElement(i)->GetCapacity());
        unsigned n = 0, m = 0;
        const int* a = got.Get(i, n);
        const int* b = want.Get(i, m);
        EXPECT_EQ(std::vector<int>(a, a + n), std::vector<int>(b, b + m));
    }
    EXPECT_EQ(got.GetUsedBytes(), want.GetUsedBytes());
    EXPECT_EQ(got.GetSlack(), want.GetSlack());
    EXPECT_EQ(got.GetValueCount(), want.GetValueCount());
    if (allocation) {
        EXPECT_EQ(got.GetAllocatedBytes(), want.GetAllocatedBytes());
    }
}

// Records of other lengths, one of them grown out of its room (slack behind it).
template <class C>
void Prefix(C& c) {
    const int a[5] = {1, 2, 3, 4, 5};
    c.Add(a, 2, 4);
    c.Add(nullptr, 0, 3);
    c.Add(a, 5);
    c.SetRecord(0, a, 5);  // relocated: its first bytes become slack
}

template <class C>
void CheckLength(unsigned count, unsigned records, bool reserve) {
    SCOPED_TRACE(::testing::Message() << count << " values x " << records << (reserve ? ", reserved" : ", growing"));
    std::vector<int> values(size_t(count) * records);
    for (size_t i = 0; i < values.size(); ++i) values[i] = int(7 * i + 1);
    C bulk, single;
    Prefix(bulk);
    Prefix(single);
    if (reserve) {
        bulk.Reserve(C::RecordBytes(count) * records, records);
        single.Reserve(C::RecordBytes(count) * records, records);
    }
    const unsigned first = bulk.AddRecords(values.data(), count, records);
    EXPECT_EQ(first, 3u);
    for (unsigned r = 0; r < records; ++r) single.Add(values.data() + size_t(r) * count, count, count);
    ExpectSame(bulk, single, reserve);
    EXPECT_LE(bulk.GetUsedBytes(), bulk.GetAllocatedBytes());
    // The collection goes on as usual after the bulk records: a record grown out of its room,
    // then a compaction, give the same as with single records.
    const int more[9] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    bulk.SetRecord(first, more, 9);
    single.SetRecord(first, more, 9);
    bulk.Compact(true);
    single.Compact(true);
    ExpectSame(bulk, single, true);
}

TEST(CollectionAddRecords, RecordsEqualOneAddPerRecord) {
    for (bool reserve : {true, false}) {
        for (unsigned count : {3u, 0u, 1u, 7u}) {
            CheckLength<CSimpleCollection<int, unsigned short>>(count, 300, reserve);
            CheckLength<CSimpleCollection<int, unsigned>>(count, 300, reserve);
        }
        CheckLength<CSimpleCollection<int, unsigned short>>(3, 1, reserve);
    }
}

TEST(CollectionAddRecords, EmptyCallAndTooLongRecordChangeNothing) {
    CSimpleCollection<int, unsigned short> c;
    Prefix(c);
    const uint64_t used = c.GetUsedBytes(), values = c.GetValueCount();
    const int v[3] = {1, 2, 3};
    EXPECT_EQ(c.AddRecords(v, 3, 0), 3u);
    EXPECT_EQ(c.GetSize(), 3u);
    EXPECT_TRUE(RaisesInvalidArg([&] { c.AddRecords(v, 70000, 1); }));
    EXPECT_EQ(c.GetSize(), 3u);
    EXPECT_EQ(c.GetUsedBytes(), used);
    EXPECT_EQ(c.GetValueCount(), values);
}

}  // namespace
