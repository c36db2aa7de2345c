#include "kestovar/core/array.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "memory_hook.h"
#include "test_util.h"
#include "kestovar/core/xstring.h"

using namespace kestovar;
using namespace kestovar::test;

namespace {

// A non-trivially-copyable element that tracks every live instance, so that a missed destruction
// (leak), a double destruction or a use of a moved-from slot shows up.
struct Tracked {
    static std::multiset<const Tracked*> live;
    static int constructed;
    static int destroyed;

    int value = 0;
    Tracked() { Born(); }
    Tracked(int v) : value(v) { Born(); }  // NOLINT: implicit on purpose, for Add(7)
    Tracked(const Tracked& o) : value(o.value) {
        EXPECT_EQ(live.count(&o), 1u) << "copy from a dead object";
        Born();
    }
    Tracked& operator=(const Tracked& o) {
        EXPECT_EQ(live.count(this), 1u) << "assignment to a dead slot";
        EXPECT_EQ(live.count(&o), 1u) << "assignment from a dead object";
        value = o.value;
        return *this;
    }
    ~Tracked() {
        EXPECT_EQ(live.count(this), 1u) << "destroyed twice or never constructed";
        live.erase(this);
        ++destroyed;
    }
    void Born() {
        EXPECT_EQ(live.count(this), 0u) << "constructed over a live object";
        live.insert(this);
        ++constructed;
    }
    static void Reset() {
        live.clear();
        constructed = destroyed = 0;
    }
};
std::multiset<const Tracked*> Tracked::live;
int Tracked::constructed = 0;
int Tracked::destroyed = 0;

// Capacity after one Add on an array filled to exactly `size` elements with grow-by `growBy`.
int CapacityAfterOneMoreAdd(int size, int growBy) {
    CXArray<int> a;
    a.SetSize(size, growBy);
    EXPECT_EQ(a.GetCapacity(), size);
    a.Add(1);
    return a.GetCapacity();
}

}  // namespace

TEST(ArrayGrowth, GrowByZeroUsesOneEighthOfTheSizeClampedTo4And1024) {
    EXPECT_EQ(CapacityAfterOneMoreAdd(800, 0), 900);
    EXPECT_EQ(CapacityAfterOneMoreAdd(10000, 0), 10000 + 1024);
    EXPECT_EQ(CapacityAfterOneMoreAdd(16, 0), 20);
    EXPECT_EQ(CapacityAfterOneMoreAdd(8192, 0), 8192 + 1024);  // exactly at the upper clamp
    EXPECT_EQ(CapacityAfterOneMoreAdd(39, 0), 43);             // 39 / 8 = 4, the lower clamp
}

TEST(ArrayGrowth, GrowByZeroMeasuresTheSizeNotTheCapacity) {
    // Size 100 in a 1000-slot buffer: the increment is 100 / 8 = 12, not 1000 / 8.
    CXArray<int> a;
    a.PreAllocate(1000, 0);
    a.SetSize(100);
    a.SetSize(1001);
    EXPECT_EQ(a.GetCapacity(), 1012);
}

TEST(ArrayGrowth, MinusTwoDoublesAndPositiveGrowByAddsAFixedAmount) {
    CXArray<int> d(-2);
    std::vector<int> caps;
    for (int i = 0; i < 9; ++i) {
        d.Add(i);
        caps.push_back(d.GetCapacity());
    }
    EXPECT_EQ(caps, (std::vector<int>{1, 2, 4, 4, 8, 8, 8, 8, 16}));

    CXArray<int> f;
    f.SetSize(3, 10);  // first buffer: max(3, 10)
    EXPECT_EQ(f.GetCapacity(), 10);
    f.SetSize(11);  // max(11, 10 + 10)
    EXPECT_EQ(f.GetCapacity(), 20);
    f.SetSize(35);  // max(35, 20 + 10): the request wins
    EXPECT_EQ(f.GetCapacity(), 35);
}

TEST(ArrayGrowth, SetSizeZeroKeepsTheBufferUnlessGrowByIsZero) {
    CXArray<int> a;
    a.SetSize(50);
    int* buffer = a.GetData();
    a.SetSize(0);
    EXPECT_EQ(a.GetData(), buffer);
    EXPECT_EQ(a.GetCapacity(), 50);
    a.SetSize(0, 5);  // only 0 releases
    EXPECT_EQ(a.GetData(), buffer);
    a.SetSize(0, 0);
    EXPECT_EQ(a.GetData(), nullptr);
    EXPECT_EQ(a.GetCapacity(), 0);
}

TEST(ArrayGrowth, NewSlotsAreZeroInEveryPath) {
    CXArray<int> a(-2);
    a.SetSize(6);
    for (int i = 0; i < 6; ++i) a[i] = 100 + i;
    a.SetSize(2);
    a.SetSize(5);  // within capacity: slots 2..4 were dirty
    EXPECT_EQ(a[2], 0);
    EXPECT_EQ(a[4], 0);
    for (int i = 0; i < 5; ++i) a[i] = 7;
    a.SetSize(1);
    a.SetSize(40);  // past capacity: the dirty slots below the old capacity must be cleared too
    for (int i = 1; i < 40; ++i) ASSERT_EQ(a[i], 0) << i;
    // The spare slots of a fresh buffer are zero as well.
    CXArray<int> b(16);
    b.SetSize(3);
    EXPECT_EQ(b.GetCapacity(), 16);
    for (int i = 3; i < 16; ++i) EXPECT_EQ(b.GetData()[i], 0);
    // A fresh buffer is zero even where the heap hands back memory just freed dirty (small
    // blocks come from the free lists, large ones may be reused too).
    for (int count : {24, 300000}) {
        CXArray<int> dirty;
        dirty.SetSize(count);
        std::memset(dirty.GetData(), 0xFF, size_t(count) * sizeof(int));
        dirty.RemoveAll();
        CXArray<int> fresh;
        fresh.SetSize(count);
        for (int i = 0; i < fresh.GetCapacity(); ++i) ASSERT_EQ(fresh.GetData()[i], 0) << count << " " << i;
    }
}

TEST(ArrayGrowth, GrowingIntoAReserveThatHeldValuesGivesZeros) {
    // A reserve that still holds earlier values (the size was cut back) and a reserve that
    // PreAllocate added without writing it: every way to grow into them writes the elements it
    // adds, so nothing of the old bytes shows.
    for (int path = 0; path < 3; ++path) {
        CXArray<int> a;
        for (int i = 0; i < 64; ++i) a.Add(-1);
        a.SetSize(4);
        a.PreAllocate(5000);
        ASSERT_EQ(a.GetCapacity(), 5000);
        if (path == 0) a.SetSize(3000);
        if (path == 1) a.SetAtGrow(2999, 7);
        if (path == 2) a.InsertAt(2999, 7);
        ASSERT_EQ(a.GetSize(), 3000);
        EXPECT_EQ(a[2999], path == 0 ? 0 : 7);
        for (int i = 4; i < 2999; ++i) ASSERT_EQ(a[i], 0) << path << " " << i;
    }
}

TEST(ArrayGrowth, PreAllocateAndFreeExtraSetTheCapacityExactly) {
    CXArray<int> a;
    a.PreAllocate(37);
    EXPECT_EQ(a.GetCapacity(), 37);
    EXPECT_EQ(a.GetSize(), 0);
    a.Add(1);
    a.Add(2);
    a.PreAllocate(10);  // never shrinks
    EXPECT_EQ(a.GetCapacity(), 37);
    a.FreeExtra();
    EXPECT_EQ(a.GetCapacity(), 2);
    EXPECT_EQ(a[1], 2);
    a.SetSize(0);
    a.FreeExtra();
    EXPECT_EQ(a.GetData(), nullptr);
}

TEST(ArrayEdit, InsertAndRemoveShiftTheRightElements) {
    CXArray<int> a;
    for (int i = 0; i < 5; ++i) a.Add(i);          // 0 1 2 3 4
    a.InsertAt(2, 9, 2);                            // 0 1 9 9 2 3 4
    a.InsertAt(0, 8);                               // 8 0 1 9 9 2 3 4
    a.RemoveAt(3, 2);                               // 8 0 1 2 3 4
    a.RemoveAt(5);                                  // 8 0 1 2 3
    EXPECT_EQ(std::vector<int>(a.begin(), a.end()), (std::vector<int>{8, 0, 1, 2, 3}));
    a.InsertAt(7, 5, 2);  // past the end: grows to 9 with zeros between
    EXPECT_EQ(std::vector<int>(a.begin(), a.end()), (std::vector<int>{8, 0, 1, 2, 3, 0, 0, 5, 5}));
    a.SetAtGrow(10, 6);
    EXPECT_EQ(a.GetSize(), 11);
    EXPECT_EQ(a[9], 0);
    EXPECT_EQ(a.GetUpperBound(), 10);
}

TEST(ArrayEdit, ArgumentsThatAliasTheBufferSurviveItsReallocation) {
    CXArray<int> a(-2);
    a.Add(41);
    a.Add(42);
    ASSERT_EQ(a.GetSize(), a.GetCapacity());
    a.Add(a[0]);  // the buffer moves during this call
    EXPECT_EQ(a[2], 41);
    a.InsertAt(0, a[2], 3);
    EXPECT_EQ(a[0], 41);
    EXPECT_EQ(a[3], 41);
    a.SetAtGrow(100, a[4]);
    EXPECT_EQ(a[100], 42);
    a.Append(a);  // self-append doubles the content
    EXPECT_EQ(a.GetSize(), 202);
    EXPECT_EQ(a[101 + 100], 42);
}

TEST(ArrayEdit, CopyAndAppend) {
    CXArray<int> a, b;
    for (int i = 0; i < 4; ++i) a.Add(i * i);
    b.Add(-1);
    EXPECT_EQ(b.Append(a), 1);
    EXPECT_EQ(std::vector<int>(b.begin(), b.end()), (std::vector<int>{-1, 0, 1, 4, 9}));
    b.Copy(a);
    EXPECT_EQ(std::vector<int>(b.begin(), b.end()), (std::vector<int>{0, 1, 4, 9}));
    CXArray<int> c(b);
    c[0] = 100;
    EXPECT_EQ(b[0], 0);
}

TEST(ArrayErrors, NegativeSizesAndIndicesRaiseInvalidArgument) {
    CXArray<int> a;
    a.SetSize(3);
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.SetSize(-1); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.SetAtGrow(-1, 0); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.SetAtGrow(INT_MAX, 0); }));  // size INT_MAX + 1
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.InsertAt(-1, 0); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.InsertAt(0, 0, -2); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.RemoveAt(-1); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.RemoveAt(2, 2); }));  // past the end
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a.PreAllocate(-5); }));
    EXPECT_EQ(a.GetSize(), 3);  // nothing changed
    EXPECT_EQ(XGetThreadException(), nullptr);
}

TEST(ArrayElements, NonTrivialElementsAreConstructedAndDestroyedExactlyOnce) {
    Tracked::Reset();
    {
        CXArray<Tracked> a(-2);
        EXPECT_FALSE(a.IsRawMove());
        for (int i = 0; i < 20; ++i) a.Add(Tracked(i));  // several reallocations
        a.InsertAt(3, Tracked(-1), 4);
        a.RemoveAt(0, 5);
        a.SetSize(10);
        a.SetSize(30);  // new slots default-constructed
        EXPECT_EQ(a[29].value, 0);
        a.SetAtGrow(40, Tracked(7));
        a.Add(a[40]);  // aliasing with non-raw elements
        EXPECT_EQ(a[41].value, 7);
        CXArray<Tracked> b(a);
        b.Append(a);
        b.FreeExtra();
        a.SetSize(0);
        EXPECT_EQ(Tracked::live.size(), size_t(b.GetSize()));
        a.Copy(b);
        b.RemoveAll();
    }
    EXPECT_TRUE(Tracked::live.empty());
    EXPECT_EQ(Tracked::constructed, Tracked::destroyed);
}

TEST(ArrayMemory, EveryBufferGoesThroughTheLibraryAllocator) {
    {
        RecordingHook hook;
        CXArray<int> raw(-2);
        for (int i = 0; i < 100; ++i) raw.Add(i);
        // Plain data grows by reallocation of the one block.
        EXPECT_GT(RecordingHook::Count('r'), 0);
        EXPECT_EQ(RecordingHook::live.size(), 1u);
    }
    EXPECT_TRUE(RecordingHook::live.empty());
    EXPECT_EQ(RecordingHook::strays, 0);
    Tracked::Reset();
    {
        RecordingHook hook;
        CXArray<Tracked> objects(-2);
        for (int i = 0; i < 100; ++i) objects.Add(i);
        // Non-plain elements are moved into fresh buffers one by one, never reallocated as bytes.
        EXPECT_EQ(RecordingHook::Count('r'), 0);
        EXPECT_GT(RecordingHook::Count('a'), 1);
        EXPECT_EQ(RecordingHook::live.size(), 1u);
    }
    EXPECT_TRUE(RecordingHook::live.empty());
    EXPECT_EQ(RecordingHook::strays, 0);
}

TEST(ArraySerialize, PlainElementsAreTheCountThenRawLittleEndianBytes) {
    CXArray<int> a;
    a.Add(1);
    a.Add(-2);
    a.Add(0x01020304);
    Bytes bytes = Store([&](CXArchive& ar) { a.Serialize(ar); });
    Bytes expected = {0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(bytes, expected);

    CXArray<int> b;
    b.Add(99);  // loading replaces the content
    Load(expected, [&](CXArchive& ar) { b.Serialize(ar); });
    EXPECT_EQ(std::vector<int>(b.begin(), b.end()), (std::vector<int>{1, -2, 0x01020304}));
}

TEST(ArraySerialize, LargeArraysUseTheLongCountFormAndRoundTrip) {
    CXArray<uint16_t> a;
    a.SetSize(70000);
    for (int i = 0; i < a.GetSize(); ++i) a[i] = uint16_t(i * 7);
    Bytes bytes = Store([&](CXArchive& ar) { a.Serialize(ar); });
    ASSERT_EQ(bytes.size(), 2 + 4 + 70000 * 2u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 6), (Bytes{0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}));
    CXArray<uint16_t> b;
    Load(bytes, [&](CXArchive& ar) { b.Serialize(ar); });
    ASSERT_EQ(b.GetSize(), 70000);
    EXPECT_EQ(b[69999], uint16_t(69999 * 7));
}

TEST(ArraySerialize, NonPlainElementsGoThroughTheArchiveOperators) {
    CXArray<CXTString<char>> a;
    a.Add("ab");
    a.Add("");
    Bytes bytes = Store([&](CXArchive& ar) { a.Serialize(ar); });
    // count 2, then each string as length byte + bytes (narrow strings carry no marker)
    EXPECT_EQ(bytes, (Bytes{0x02, 0x00, 0x02, 'a', 'b', 0x00}));
    CXArray<CXTString<char>> b;
    Load(bytes, [&](CXArchive& ar) { b.Serialize(ar); });
    ASSERT_EQ(b.GetSize(), 2);
    EXPECT_EQ(std::string(b[0].GetString()), "ab");
    EXPECT_TRUE(b[1].IsEmpty());
}

TEST(ArraySerialize, MalformedDataIsRejectedWithoutHugeAllocations) {
    // Truncated: three ints announced, five bytes present.
    Bytes truncated = {0x03, 0x00, 1, 0, 0, 0, 2};
    CXArray<int> a;
    EXPECT_EQ(ArchiveCause([&] { Load(truncated, [&](CXArchive& ar) { a.Serialize(ar); }); }),
              CXArchiveException::endOfFile);

    // A count just below 2^31 with almost no data: must fail at the end of the data, not by
    // allocating 8 GB first (the sanitizer build would abort on such a request).
    Bytes forged = {0xFF, 0xFF};
    PutU32(forged, 0x7FFFFFF0u);
    PutU32(forged, 5);
    CXArray<int> b;
    EXPECT_EQ(ArchiveCause([&] { Load(forged, [&](CXArchive& ar) { b.Serialize(ar); }); }),
              CXArchiveException::endOfFile);
    EXPECT_LE(b.GetCapacity(), 1 << 17);

    // A count that no int-sized array can hold.
    Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    PutU64(huge, uint64_t(1) << 40);
    EXPECT_EQ(ArchiveCause([&] { Load(huge, [&](CXArchive& ar) { b.Serialize(ar); }); }),
              CXArchiveException::badIndex);
}

TEST(ArraySerialize, ForgedBoolBytesLoadAsBooleans) {
    Bytes bytes = {0x03, 0x00, 0x00, 0x01, 0x7F};
    CXArray<bool> a;
    Load(bytes, [&](CXArchive& ar) { a.Serialize(ar); });
    ASSERT_EQ(a.GetSize(), 3);
    EXPECT_FALSE(a[0]);
    EXPECT_TRUE(a[1]);
    EXPECT_TRUE(a[2]);
}
