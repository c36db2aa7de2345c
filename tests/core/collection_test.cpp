#include "kestovar/core/collection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "test_util.h"

using namespace kestovar;
using namespace kestovar::test;

namespace {

typedef CSimpleCollection<int, unsigned short> Faces;

std::vector<uint64_t> Offsets(const COffsetArray& a) {
    std::vector<uint64_t> v;
    for (unsigned i = 0; i < a.GetSize(); ++i) v.push_back(a.GetAt(i));
    return v;
}

template <class T, class INDEX>
std::vector<T> Record(const CSimpleCollection<T, INDEX>& c, unsigned i) {
    unsigned n = 0;
    const T* v = c.Get(i, n);
    return v ? std::vector<T>(v, v + n) : std::vector<T>();
}

// The bytes of record i as they sit in the buffer (header and every capacity slot).
Bytes RawRecord(const Faces& c, unsigned i) {
    const Faces::Element* e = c.GetElement(i);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(e);
    return Bytes(p, p + Faces::RecordBytes(e->GetCapacity()));
}

// Checks the bookkeeping: live bytes plus slack equal the used bytes, and no two records overlap.
template <class T, class INDEX>
void ExpectConsistent(const CSimpleCollection<T, INDEX>& c) {
    typedef CSimpleCollection<T, INDEX> C;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    uint64_t live = 0;
    for (unsigned i = 0; i < c.GetSize(); ++i) {
        uint64_t bytes = C::RecordBytes(c.GetElement(i)->GetCapacity());
        ASSERT_LE(c.GetElement(i)->GetSize(), c.GetElement(i)->GetCapacity());
        spans.push_back({c.GetOffset(i), bytes});
        live += bytes;
    }
    EXPECT_EQ(live + c.GetSlack(), c.GetUsedBytes());
    EXPECT_LE(c.GetUsedBytes(), c.GetAllocatedBytes());
    std::sort(spans.begin(), spans.end());
    for (size_t i = 0; i + 1 < spans.size(); ++i) ASSERT_LE(spans[i].first + spans[i].second, spans[i + 1].first);
    if (!spans.empty()) {
        EXPECT_LE(spans.back().first + spans.back().second, c.GetUsedBytes());
    }
}

}  // namespace

// ---- COffsetArray ------------------------------------------------------------------------------------

TEST(OffsetArray, OffsetsAbove4GBSplitTheArrayAtTheirIndex) {
    COffsetArray a;
    for (uint64_t o : {0, 10, 20, 30, 40}) a.Add(o);
    EXPECT_EQ(a.GetSplitIndex(), COffsetArray::kNoSplit);
    a.SetAt(3, 0xFFFFFFFFull);  // still fits 32 bits
    EXPECT_EQ(a.GetSplitIndex(), COffsetArray::kNoSplit);
    a.SetAt(2, 0x100000000ull);
    EXPECT_EQ(a.GetSplitIndex(), 2u);
    EXPECT_EQ(Offsets(a), (std::vector<uint64_t>{0, 10, 0x100000000ull, 0xFFFFFFFFull, 40}));
    a.SetAt(4, 5);  // small offsets past the split stay where they are
    EXPECT_EQ(a.GetSplitIndex(), 2u);
    a.SetAt(1, 0x200000000ull);  // a second split moves entry 1 in front of the 64-bit part
    EXPECT_EQ(a.GetSplitIndex(), 1u);
    EXPECT_EQ(Offsets(a), (std::vector<uint64_t>{0, 0x200000000ull, 0x100000000ull, 0xFFFFFFFFull, 5}));
    EXPECT_EQ(a.Add(7), 5u);
    EXPECT_EQ(a.GetAt(5), 7u);
    EXPECT_EQ(a.GetAt(6), 0u);  // out of range reads as 0
    EXPECT_EQ(a[100], 0u);
    a.SetSize(1);  // back to one 32-bit part
    EXPECT_EQ(a.GetSplitIndex(), COffsetArray::kNoSplit);
    a.SetSize(3);
    EXPECT_EQ(Offsets(a), (std::vector<uint64_t>{0, 0, 0}));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.SetAt(3, 1); }));
}

TEST(OffsetArray, RandomEditsAgreeWithAPlainVector) {
    std::mt19937 rng(77);
    COffsetArray a;
    std::vector<uint64_t> ref;
    for (int step = 0; step < 4000; ++step) {
        int op = int(rng() % 6);
        // Mostly 32-bit offsets, so that the split falls anywhere in the array and removals
        // straddle it; now and then one above 4 GB.
        uint64_t big = rng() % 8 == 0 ? (uint64_t(1 + rng() % 4) << 32) | rng() : rng();
        if (op <= 1 || ref.empty()) {
            a.Add(big);
            ref.push_back(big);
        } else if (op == 2) {
            unsigned i = unsigned(rng() % ref.size());
            a.SetAt(i, big);
            ref[i] = big;
        } else if (op == 3) {
            unsigned i = unsigned(rng() % ref.size());
            unsigned n = unsigned(rng() % std::min<size_t>(4, ref.size() - i)) + 1;
            a.RemoveAt(i, n);
            ref.erase(ref.begin() + i, ref.begin() + i + n);
        } else if (op == 4) {
            unsigned i = unsigned(rng() % (ref.size() + 3));
            a.SetAtGrow(i, big & 0xFFFF);
            if (i >= ref.size()) ref.resize(i + 1, 0);
            ref[i] = big & 0xFFFF;
        } else if (rng() % 20 == 0) {
            unsigned n = unsigned(rng() % (ref.size() + 1));
            a.SetSize(n);
            ref.resize(n, 0);
        }
        ASSERT_EQ(a.GetSize(), ref.size());
        // Entries below the split must fit 32 bits.
        for (unsigned i = 0; i < a.GetSize() && i < a.GetSplitIndex(); ++i) ASSERT_LE(a.GetAt(i), 0xFFFFFFFFull);
    }
    EXPECT_EQ(Offsets(a), ref);
    COffsetArray copy(a);
    copy.FreeExtra();
    EXPECT_EQ(Offsets(copy), ref);
    a.FreeExtra();  // gives back the spare room of both parts
    EXPECT_EQ(Offsets(a), ref);
    a.Add(0x300000000ull);
    EXPECT_EQ(a.GetAt(unsigned(ref.size())), 0x300000000ull);
}

TEST(OffsetArray, SerializesSizeSplitAnd32Then64BitEntries) {
    COffsetArray a;
    a.Add(1);
    a.Add(0x100000002ull);
    a.Add(3);
    Bytes expected = {0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    PutU64(expected, 0x100000002ull);
    PutU64(expected, 3);
    EXPECT_EQ(Store([&](CXArchive& ar) { a.Serialize(ar); }), expected);
    COffsetArray b;
    Load(expected, [&](CXArchive& ar) { b.Serialize(ar); });
    EXPECT_EQ(Offsets(b), (std::vector<uint64_t>{1, 0x100000002ull, 3}));
    EXPECT_EQ(b.GetSplitIndex(), 1u);

    COffsetArray plain;
    plain.Add(9);
    EXPECT_EQ(Store([&](CXArchive& ar) { plain.Serialize(ar); }),
              (Bytes{0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x09, 0x00, 0x00, 0x00}));

    Bytes badSplit = {0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
    EXPECT_EQ(ArchiveCause([&] { Load(badSplit, [&](CXArchive& ar) { b.Serialize(ar); }); }),
              CXArchiveException::badIndex);
    Bytes truncated(expected.begin(), expected.end() - 3);
    EXPECT_EQ(ArchiveCause([&] { Load(truncated, [&](CXArchive& ar) { b.Serialize(ar); }); }),
              CXArchiveException::endOfFile);
    Bytes forged = {0xFF, 0xFF, 0xF0, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ArchiveCause([&] { Load(forged, [&](CXArchive& ar) { b.Serialize(ar); }); }),
              CXArchiveException::endOfFile);
}

// ---- CSimpleCollection -------------------------------------------------------------------------------

TEST(Collection, ATriangleRecordIsSixteenBytesOfHeaderAndValues) {
    Faces c;
    int tri[3] = {1, 0x01020304, -1};
    EXPECT_EQ(c.Add(tri, 3), 0u);
    EXPECT_EQ(c.GetUsedBytes(), 16u);
    EXPECT_EQ(RawRecord(c, 0),
              (Bytes{0x03, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}));
    // A capacity hint leaves zeroed room after the values.
    int two[2] = {5, 6};
    EXPECT_EQ(c.Add(two, 2, 4), 1u);
    EXPECT_EQ(c.GetOffset(1), 16u);
    EXPECT_EQ(RawRecord(c, 1), (Bytes{0x02, 0x00, 0x04, 0x00, 5, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(c.Add(nullptr, 0), 2u);  // an empty record is its header alone
    EXPECT_EQ(c.GetUsedBytes(), 16u + 20u + 4u);
    // Growth to needed + max(needed / 4, 16): 16 -> 32, then 36 -> 52.
    EXPECT_EQ(c.GetAllocatedBytes(), 52u);
    EXPECT_EQ(c.GetElement(3), nullptr);
    unsigned n = 99;
    EXPECT_EQ(c.Get(3, n), nullptr);
    EXPECT_EQ(n, 0u);
}

TEST(Collection, OtherHeaderAndValueWidthsKeepTheirAlignment) {
    CSimpleCollection<int, unsigned int> wide;
    wide.Add(nullptr, 3);
    EXPECT_EQ(wide.GetUsedBytes(), 8u + 12u);
    CSimpleCollection<double, unsigned int> doubles;
    double d[1] = {2.5};
    doubles.Add(d, 1);
    doubles.Add(d, 1);
    EXPECT_EQ(doubles.GetOffset(1) % alignof(double), 0u);
    EXPECT_EQ(Record(doubles, 1), std::vector<double>{2.5});
    CSimpleCollection<short, unsigned short> shorts;
    shorts.Add(nullptr, 3);  // 4 + 6 = 10 bytes, a multiple of the u16 alignment
    EXPECT_EQ(shorts.GetUsedBytes(), 10u);
}

TEST(Collection, AGrownRecordMovesToTheEndAndLeavesSlack) {
    Faces c;
    int t[3] = {10, 11, 12};
    for (int i = 0; i < 3; ++i) c.Add(t, 3);
    ASSERT_EQ(c.GetUsedBytes(), 48u);
    c.InsertValue(0, 3, 13);  // capacity 3 -> max(4, 3 * 3 / 2 = 4)
    EXPECT_EQ(c.GetOffset(0), 48u);
    EXPECT_EQ(c.GetElement(0)->GetCapacity(), 4u);
    EXPECT_EQ(c.GetUsedBytes(), 48u + 20u);
    EXPECT_EQ(c.GetSlack(), 16u);
    c.InsertValue(0, 0, 9);  // capacity 4 -> max(5, 6)
    EXPECT_EQ(c.GetOffset(0), 68u);
    EXPECT_EQ(c.GetElement(0)->GetCapacity(), 6u);
    EXPECT_EQ(c.GetSlack(), 36u);
    EXPECT_EQ(Record(c, 0), (std::vector<int>{9, 10, 11, 12, 13}));
    c.RemoveValue(0, 1);
    EXPECT_EQ(Record(c, 0), (std::vector<int>{9, 11, 12, 13}));
    EXPECT_EQ(c.GetElement(0)->GetData()[4], 0);  // the freed slot is cleared

    // SetRecord: in place when it fits (tail cleared), else a new record of exactly the count.
    int one[1] = {7};
    c.SetRecord(1, one, 1);
    EXPECT_EQ(c.GetOffset(1), 16u);
    EXPECT_EQ(RawRecord(c, 1), (Bytes{0x01, 0x00, 0x03, 0x00, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    int five[5] = {1, 2, 3, 4, 5};
    c.SetRecord(2, five, 5);
    EXPECT_EQ(c.GetOffset(2), 96u);
    EXPECT_EQ(c.GetElement(2)->GetCapacity(), 5u);
    EXPECT_EQ(c.GetSlack(), 52u);
    ExpectConsistent(c);
}

TEST(Collection, CompactRewritesRecordsInIndexOrderWithoutSlack) {
    Faces c;
    int t[3] = {1, 2, 3};
    for (int i = 0; i < 4; ++i) c.Add(t, 3);
    c.InsertValue(1, 0, 0);
    c.InsertValue(0, 0, 0);
    c.RemoveRecord(2);
    ASSERT_GT(c.GetSlack(), 0u);
    std::vector<std::vector<int>> before = {Record(c, 0), Record(c, 1), Record(c, 2)};
    c.Compact();
    EXPECT_EQ(c.GetSlack(), 0u);
    EXPECT_EQ(c.GetOffset(0), 0u);
    EXPECT_EQ(c.GetOffset(1), 20u);  // record 0 kept its capacity of 4
    EXPECT_EQ(c.GetOffset(2), 40u);
    EXPECT_EQ(c.GetUsedBytes(), 56u);
    EXPECT_EQ(c.GetAllocatedBytes(), 56u);
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(Record(c, i), before[i]);
    c.RemoveValue(0, 0);
    c.Compact(true);  // capacities cut to the counts
    EXPECT_EQ(c.GetOffset(1), 16u);
    EXPECT_EQ(c.GetUsedBytes(), 16u + 20u + 16u);
    for (unsigned i = 1; i < 3; ++i) EXPECT_EQ(Record(c, i), before[i]);
}

// A full buffer grows to needed + max(needed / 4, bytes of a typical record): the typical
// length sets the minimum step.
TEST(Collection, TheTypicalLengthSetsTheMinimumGrowthStep) {
    int t[3] = {4, 5, 6};
    CSimpleCollection<int, unsigned short> wide(10);
    wide.Add(t, 1);
    EXPECT_EQ(wide.GetAllocatedBytes(), 8u + 44u);
}

// Adding records never compacts; a record grown by a caller that allows it compacts the slack
// first when the slack alone makes room and is at least a quarter of the used bytes.
TEST(Collection, OnlyACallerThatAsksGetsTheSlackCompacted) {
    Faces c;
    int t[3] = {4, 5, 6};
    for (int i = 0; i < 8; ++i) c.Add(t, 3);
    c.FreeExtra();
    ASSERT_EQ(c.GetAllocatedBytes(), 128u);
    for (int i = 0; i < 4; ++i) c.RemoveRecord(0);
    ASSERT_EQ(c.GetSlack(), 64u);
    c.Add(t, 3);  // no room, slack ignored: 144 + 36
    EXPECT_EQ(c.GetSlack(), 64u);
    EXPECT_EQ(c.GetAllocatedBytes(), 180u);
    while (c.GetUsedBytes() + 16 <= c.GetAllocatedBytes()) c.Add(t, 3);
    ASSERT_EQ(c.GetUsedBytes(), 176u);
    c.SetRecordSize(0, 4);  // not allowed to compact: grows
    EXPECT_EQ(c.GetAllocatedBytes(), 196u + 49u);
    EXPECT_EQ(c.GetSlack(), 80u);
    while (c.GetUsedBytes() + 16 <= c.GetAllocatedBytes()) c.Add(t, 3);
    const unsigned n = c.GetSize();
    const uint64_t allocated = c.GetAllocatedBytes();
    Faces::Element* e = c.SetRecordSize(1, 5, true);  // compacts into the same buffer, then moves
    EXPECT_EQ(c.GetAllocatedBytes(), allocated);
    EXPECT_EQ(c.GetSlack(), 16u);  // record 1 as packed, left behind
    EXPECT_EQ(c.GetOffset(0), 0u);
    EXPECT_EQ(c.GetOffset(1), c.GetUsedBytes() - 24u);
    EXPECT_EQ(e, c.GetElement(1));
    EXPECT_EQ(Record(c, 1), (std::vector<int>{4, 5, 6, 0, 0}));
    EXPECT_EQ(c.GetSize(), n);
    ExpectConsistent(c);
}

TEST(Collection, SetRecordSizeKeepsValuesAndClearsTheRest) {
    Faces c;
    int q[4] = {1, 2, 3, 4};
    c.Add(q, 4);
    c.Add(q, 3);
    c.SetRecordSize(0, 2);  // shrink: dropped values cleared, record stays
    EXPECT_EQ(c.GetOffset(0), 0u);
    EXPECT_EQ(RawRecord(c, 0), (Bytes{2, 0, 4, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    c.SetRecordSize(0, 4);  // within the capacity: new values are 0
    EXPECT_EQ(Record(c, 0), (std::vector<int>{1, 2, 0, 0}));
    const uint64_t used = c.GetUsedBytes();
    c.SetRecordSize(1, 6);  // beyond: rewritten at the end with capacity 6
    EXPECT_EQ(c.GetOffset(1), used);
    EXPECT_EQ(c.GetElement(1)->GetCapacity(), 6u);
    EXPECT_EQ(Record(c, 1), (std::vector<int>{1, 2, 3, 0, 0, 0}));
    EXPECT_EQ(c.GetSlack(), 16u);
    EXPECT_EQ(c.GetValueCount(), 10u);
    EXPECT_EQ(c.GetPackedBytes(), 8u + 40u);
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.SetRecordSize(2, 1); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.SetRecordSize(0, 70000); }));
    ExpectConsistent(c);
}

TEST(Collection, SizePoliciesAndFreeExtra) {
    int t[3] = {1, 2, 3};
    // Shrinking: 2 keeps everything, 1 packs exactly, 0 packs to packed + max(packed / 4, 16)
    // when the buffer is larger than that.
    for (int mode : {0, 1, 2}) {
        Faces c;
        for (int i = 0; i < 10; ++i) c.Add(t, 3);
        c.FreeExtra();
        ASSERT_EQ(c.GetAllocatedBytes(), 160u);
        c.SetSize(9, mode);
        EXPECT_EQ(c.GetAllocatedBytes(), mode == 1 ? 144u : 160u) << mode;
        c.SetSize(2, mode);
        EXPECT_EQ(c.GetAllocatedBytes(), mode == 0 ? 48u : mode == 1 ? 32u : 160u) << mode;
        EXPECT_EQ(c.GetUsedBytes(), mode == 2 ? 160u : 32u) << mode;
        EXPECT_EQ(Record(c, 1), (std::vector<int>{1, 2, 3}));
    }
    // Growing: the kept records are packed, the new ones keep room for the typical length.
    Faces g;
    g.Add(t, 1, 3);
    g.Add(t, 3);
    g.SetSize(4, 1);
    EXPECT_EQ(g.GetElement(0)->GetCapacity(), 1u);
    EXPECT_EQ(g.GetElement(3)->GetCapacity(), 3u);
    EXPECT_EQ(g.GetAllocatedBytes(), 8u + 16u + 32u);
    EXPECT_EQ(g.GetUsedBytes(), g.GetAllocatedBytes());
    g.FreeExtra();
    EXPECT_EQ(g.GetAllocatedBytes(), g.GetPackedBytes());
    EXPECT_EQ(g.GetUsedBytes(), 8u + 16u + 4u + 4u);
}

TEST(Collection, ValuesTakenFromTheCollectionItselfSurviveItsGrowth) {
    Faces c;
    int t[3] = {1, 2, 3};
    for (int i = 0; i < 20; ++i) c.Add(t, 3);
    ASSERT_EQ(c.GetUsedBytes(), c.GetAllocatedBytes());  // 320 bytes, full
    unsigned n = 0;
    const int* five = c.Get(5, n);
    c.Add(five, n);  // the buffer is reallocated during the copy
    EXPECT_EQ(Record(c, 20), (std::vector<int>{1, 2, 3}));
    c.InsertValue(3, 0, 42);
    const int* four = c.Get(3, n);
    c.SetRecord(7, four, n);  // relocation of record 7, values read from record 3
    EXPECT_EQ(Record(c, 7), (std::vector<int>{42, 1, 2, 3}));
    const int* self = c.Get(7, n);
    c.SetRecord(7, self, n);  // onto itself
    EXPECT_EQ(Record(c, 7), (std::vector<int>{42, 1, 2, 3}));
}

TEST(Collection, RemoveRecordAndSetSize) {
    Faces c;
    for (int i = 0; i < 5; ++i) {
        int v[1] = {i};
        c.Add(v, 1);
    }
    c.RemoveRecord(1);
    EXPECT_EQ(c.GetSize(), 4u);
    EXPECT_EQ(Record(c, 1), std::vector<int>{2});
    EXPECT_EQ(c.GetSlack(), 8u);
    c.SetSize(2);
    EXPECT_EQ(c.GetSlack(), 24u);
    c.SetSize(4);  // new records: empty, with room for a triangle
    EXPECT_EQ(c.GetRecordSize(3), 0u);
    EXPECT_EQ(c.GetElement(3)->GetCapacity(), 3u);
    uint64_t offset = c.GetOffset(3);
    int tri[3] = {7, 8, 9};
    c.SetRecord(3, tri, 3);
    EXPECT_EQ(c.GetOffset(3), offset);  // written in place
    ExpectConsistent(c);
}

TEST(Collection, ReorderPermutesRecordsWithoutMovingBytes) {
    Faces c;
    for (int i = 0; i < 4; ++i) {
        int v[2] = {i, i};
        c.Add(v, 2);
    }
    uint64_t used = c.GetUsedBytes();
    unsigned order[4] = {2, 0, 3, 1};
    c.Reorder(order, 4);  // record i becomes old record order[i]
    EXPECT_EQ(Record(c, 0), (std::vector<int>{2, 2}));
    EXPECT_EQ(Record(c, 3), (std::vector<int>{1, 1}));
    EXPECT_EQ(c.GetUsedBytes(), used);
    c.Reorder(order, 4, true);  // old record i becomes record order[i]: undoes the first
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Record(c, unsigned(i)), (std::vector<int>{i, i}));
    unsigned dup[4] = {0, 1, 1, 2};
    unsigned out[4] = {0, 1, 2, 4};
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.Reorder(dup, 4); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.Reorder(out, 4); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.Reorder(order, 3); }));
    EXPECT_EQ(Record(c, 2), (std::vector<int>{2, 2}));  // untouched by the rejected calls
}

// Swapping exchanges the two records' storage: contents, capacities and the bookkeeping follow,
// nothing is written to the buffer, and a later growth of either record relocates the right one.
TEST(Collection, SwapRecordsExchangesStorageOnly) {
    Faces c;
    int a[2] = {1, 2}, b[4] = {7, 8, 9, 10};
    c.Add(a, 2, 5);
    c.Add(b, 4);
    c.Add(a, 1);
    const uint64_t used = c.GetUsedBytes(), slack = c.GetSlack(), values = c.GetValueCount();
    c.SwapRecords(0, 1);
    EXPECT_EQ(Record(c, 0), (std::vector<int>{7, 8, 9, 10}));
    EXPECT_EQ(Record(c, 1), (std::vector<int>{1, 2}));
    EXPECT_EQ(c.GetElement(1)->GetCapacity(), 5u);
    EXPECT_EQ(c.GetUsedBytes(), used);
    EXPECT_EQ(c.GetSlack(), slack);
    EXPECT_EQ(c.GetValueCount(), values);
    c.SwapRecords(2, 2);
    EXPECT_EQ(Record(c, 2), (std::vector<int>{1}));
    // Record 1 grows within the room it took over; record 0 (capacity 4) is rewritten at the end.
    c.InsertValue(1, 2, 3);
    EXPECT_EQ(c.GetUsedBytes(), used);
    c.InsertValue(0, 0, 6);
    EXPECT_EQ(Record(c, 0), (std::vector<int>{6, 7, 8, 9, 10}));
    EXPECT_EQ(Record(c, 1), (std::vector<int>{1, 2, 3}));
    EXPECT_GT(c.GetUsedBytes(), used);
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.SwapRecords(0, 3); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.SwapRecords(3, 0); }));
}

TEST(Collection, ProgrammingErrorsRaiseInvalidArgument) {
    Faces c;
    int t[3] = {1, 2, 3};
    c.Add(t, 3);
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.SetRecord(1, t, 3); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.InsertValue(0, 4, 0); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.RemoveValue(0, 3); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.RemoveRecord(1); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.Add(nullptr, 70000); }));  // > 65535 values
    c.InsertValue(0, 3, 4);
    EXPECT_EQ(Record(c, 0), (std::vector<int>{1, 2, 3, 4}));
}

TEST(Collection, RandomEditsKeepContentAndBookkeeping) {
    std::mt19937 rng(2024);
    Faces c;
    std::vector<std::vector<int>> ref;
    for (int step = 0; step < 5000; ++step) {
        int op = int(rng() % 10);
        if (op < 3 || ref.empty()) {
            std::vector<int> v(rng() % 6);
            for (int& x : v) x = int(rng() % 1000);
            c.Add(v.data(), unsigned(v.size()), unsigned(rng() % 5));
            ref.push_back(v);
            continue;
        }
        unsigned i = unsigned(rng() % ref.size());
        if (op == 3) {
            std::vector<int> v(rng() % 8);
            for (int& x : v) x = int(rng() % 1000);
            c.SetRecord(i, v.data(), unsigned(v.size()));
            ref[i] = v;
        } else if (op == 4) {
            unsigned pos = unsigned(rng() % (ref[i].size() + 1));
            c.InsertValue(i, pos, step);
            ref[i].insert(ref[i].begin() + pos, step);
        } else if (op == 5 && !ref[i].empty()) {
            unsigned pos = unsigned(rng() % ref[i].size());
            c.RemoveValue(i, pos);
            ref[i].erase(ref[i].begin() + pos);
        } else if (op == 6) {
            c.RemoveRecord(i);
            ref.erase(ref.begin() + i);
        } else if (op == 9) {
            unsigned n = unsigned(rng() % 9);
            c.SetRecordSize(i, n, rng() % 2 == 0);
            ref[i].resize(n, 0);
        } else if (op == 7 && rng() % 50 == 0) {
            c.Compact(rng() % 2 == 0);
        } else if (op == 8 && rng() % 50 == 0) {
            std::vector<unsigned> order(ref.size());
            for (unsigned k = 0; k < order.size(); ++k) order[k] = k;
            std::shuffle(order.begin(), order.end(), rng);
            c.Reorder(order.data(), unsigned(order.size()));
            std::vector<std::vector<int>> moved(ref.size());
            for (unsigned k = 0; k < order.size(); ++k) moved[k] = ref[order[k]];
            ref.swap(moved);
        }
    }
    ASSERT_EQ(c.GetSize(), ref.size());
    uint64_t packed = 0;
    for (unsigned i = 0; i < ref.size(); ++i) {
        ASSERT_EQ(Record(c, i), ref[i]) << i;
        packed += Faces::RecordBytes(unsigned(ref[i].size()));
    }
    ExpectConsistent(c);
    EXPECT_EQ(c.GetPackedBytes(), packed);  // the running value count followed every edit
    EXPECT_LE(c.GetSlack(), c.GetAllocatedBytes());
    Faces copy(c);
    for (unsigned i = 0; i < ref.size(); ++i) ASSERT_EQ(Record(copy, i), ref[i]);
}

TEST(Collection, SerializesEachRecordAsItsCountAndValues) {
    Faces c;
    int tri[3] = {1, 2, 3};
    int one[1] = {7};
    c.Add(tri, 3, 8);  // the capacity is not persisted
    c.Add(one, 1);
    Bytes expected = {0x02, 0x00, 0x03, 0x00, 0x00, 0x00,  // record count, typical length
                      0x03, 0x00, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0,
                      0x01, 0x00, 7, 0, 0, 0};
    EXPECT_EQ(Store([&](CXArchive& ar) { c.Serialize(ar); }), expected);
    Faces d(5);
    Load(expected, [&](CXArchive& ar) { d.Serialize(ar); });
    EXPECT_EQ(d.GetTypicalLength(), 3u);
    EXPECT_EQ(Record(d, 0), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(d.GetElement(0)->GetCapacity(), 3u);
    EXPECT_EQ(Record(d, 1), std::vector<int>{7});
    EXPECT_EQ(d.GetSlack(), 0u);

    Bytes truncated(expected.begin(), expected.end() - 1);
    EXPECT_EQ(ArchiveCause([&] { Load(truncated, [&](CXArchive& ar) { d.Serialize(ar); }); }),
              CXArchiveException::endOfFile);
    // A u32-header record claiming four billion values, with four present.
    CSimpleCollection<int, unsigned int> w;
    Bytes forged = {0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0};
    EXPECT_EQ(ArchiveCause([&] { Load(forged, [&](CXArchive& ar) { w.Serialize(ar); }); }),
              CXArchiveException::endOfFile);
}

// ---- records written in bulk ---------------------------------------------------------------------
// Many records of one length appended in one call
// (CSimpleCollection::AddRecords, the write path of the face-list triangulation), and records
// created at their final size with their values left for the caller to write (AddUnfilledRecords)
// together with the direct view of the buffer and offsets that loops over every record use. The
// records, offsets and byte totals must be those of one Add per record, for both header widths;
// an empty call and a record too long change nothing.

namespace {

// Records, offsets, capacities, values and byte totals; the allocation too unless `allocation`
// is false (a buffer grown once by AddRecords may differ from one grown record by record).
template <class C>
void ExpectSame(const C& got, const C& want, bool allocation = true) {
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

// ---- AddRecords ----------------------------------------------------------------------------------

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
    ExpectSame(bulk, single);
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

// ---- AddUnfilledRecords and the direct view -----------------------------------------------------

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
    CSimpleCollection<int, unsigned short> bulk, plain;
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
    ExpectSame(bulk, plain);
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
    const uint64_t end = used + c.RecordBytes(2) + c.RecordBytes(0) + c.RecordBytes(5);
    EXPECT_EQ(c.GetUsedBytes(), end);
    EXPECT_EQ(c.GetAllocatedBytes(), end);
    EXPECT_EQ(c.GetSlack(), slack);
    EXPECT_EQ(c.GetValueCount(), 4u * 3u + 6u + 7u);
    unsigned n;
    EXPECT_EQ(std::vector<int>(c.Get(7, n), c.Get(7, n) + 5), (std::vector<int>{7000, 7001, 7002, 7003, 7004}));
    EXPECT_EQ(std::vector<int>(c.Get(0, n), c.Get(0, n) + 3), (std::vector<int>{1, 2, 3}));
    // Nothing to add: the size comes back and nothing moves.
    EXPECT_EQ(c.AddUnfilledRecords(counts, 0), 8u);
    EXPECT_EQ(c.GetUsedBytes(), end);
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
