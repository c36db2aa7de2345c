#include "kestovar/core/hashmap.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "allocation_refusal.h"
#include "test_util.h"
#include "kestovar/core/xstring.h"

using namespace kestovar;
using namespace kestovar::test;

namespace {

typedef CHashMap<int, int, int> IntMap;

// Home slot of a 32-bit key in a table of `slots` slots.
unsigned Home(unsigned key, unsigned slots) { return (key << 4) % slots; }

// A key not in `m` whose home slot is never used, so inserting it raises the fill.
int FreshKeyOnNeverUsedSlot(const IntMap& m, int from) {
    for (int k = from;; ++k)
        if (!m.IsFound(k) && m.GetSlotState(Home(unsigned(k), m.GetCapacity())) == 1) return k;
}

}  // namespace

TEST(NextPrime, FollowsTheFixedRule) {
    EXPECT_EQ(NextPrime(0), 1u);
    EXPECT_EQ(NextPrime(1), 2u);
    EXPECT_EQ(NextPrime(2), 3u);
    EXPECT_EQ(NextPrime(3), 3u);
    EXPECT_EQ(NextPrime(4), 5u);
    EXPECT_EQ(NextPrime(8), 11u);  // 9 is the first candidate that is tested
    EXPECT_EQ(NextPrime(23), 23u);
    EXPECT_EQ(NextPrime(25), 29u);  // 5 * 5: the divisor test must include d * d == c
    EXPECT_EQ(NextPrime(120), 127u);
    EXPECT_EQ(NextPrime(4294967291u), 4294967291u);  // the largest 32-bit prime
    EXPECT_EQ(NextPrime(4294967295u), 4294967291u);
}

TEST(HashMethods, SixtyFourBitKeysUseTheFixedMix) {
    // Values of the mix worked out independently of the implementation.
    EXPECT_EQ(CHashMethods<uint64_t>::Hash(1), 0x15515FBCu);
    EXPECT_EQ(CHashMethods<uint64_t>::Hash(0x123456789ABCDEF0ull), 0x025E6125u);
    EXPECT_EQ(CHashMethods<int64_t>::Hash(1), 0x15515FBCu);
    CHashMap<uint64_t, uint64_t, int> m;
    m.Insert(1, 5);
    m.Insert(0x123456789ABCDEF0ull, 6);
    EXPECT_EQ(m.GetSlotIndex(1), 21);  // 0x15515FBC % 23
    EXPECT_EQ(m.GetSlotIndex(0x123456789ABCDEF0ull), 9);
}

TEST(HashMethods, EqualFloatsAndStringsShareAnEntry) {
    CHashMap<double, double, int> d;
    d.Insert(0.0, 1);
    EXPECT_EQ(d.Insert(-0.0, 2), 0);  // -0.0 == 0.0
    EXPECT_EQ(d.GetCount(), 1);

    CHashMap<CXTString<wchar_t>, const CXTString<wchar_t>&, int> s;
    s.Insert(CXTString<wchar_t>(L"alpha"), 1);
    s.Insert(CXTString<wchar_t>(L"beta"), 2);
    EXPECT_EQ(s.Insert(CXTString<wchar_t>(L"alpha"), 3), 0);
    ASSERT_NE(s.Find(CXTString<wchar_t>(L"alpha")), nullptr);
    EXPECT_EQ(*s.Find(CXTString<wchar_t>(L"alpha")), 3);
    EXPECT_FALSE(s.IsFound(CXTString<wchar_t>(L"alph")));
}

TEST(HashPlacement, HomeSlotsAndProbeSequence) {
    IntMap m;
    EXPECT_EQ(m.GetCapacity(), 23u);
    m.Insert(5, 50);
    m.Insert(2, 20);
    EXPECT_EQ(m.GetSlotIndex(5), int(Home(5, 23)));  // 80 % 23 = 11
    EXPECT_EQ(m.GetSlotIndex(2), 9);
    // Keys k, k + 23, k + 46, ... share the home slot (23 * 16 is a multiple of 23): the probes
    // land at h, h + 1, h + 4, h + 9 (wrapped).
    IntMap c;
    c.Insert(1, 0);
    c.Insert(24, 0);
    c.Insert(47, 0);
    c.Insert(70, 0);
    EXPECT_EQ(c.GetSlotIndex(1), 16);
    EXPECT_EQ(c.GetSlotIndex(24), 17);
    EXPECT_EQ(c.GetSlotIndex(47), 20);
    EXPECT_EQ(c.GetSlotIndex(70), 2);  // 16 + 9 = 25 wraps to 2
    // 0x10000001 << 4 overflows to 16 in 32-bit arithmetic: it collides with key 1 as well.
    c.Insert(0x10000001, 0);
    EXPECT_EQ(c.GetSlotIndex(0x10000001), (16 + 16) % 23);
}

TEST(HashInsert, GrowsFourfoldThenTwofoldFrom251Slots) {
    IntMap m;
    std::vector<unsigned> capacities{m.GetCapacity()};
    for (int k = 0; k < 3000; ++k) {
        m.Insert(k * 7 + 1, k);
        if (m.GetCapacity() != capacities.back()) capacities.push_back(m.GetCapacity());
        ASSERT_LT(m.GetFill(), m.GetCapacity() / 2);
    }
    EXPECT_EQ(capacities, (std::vector<unsigned>{23, 97, 389, 787, 1579, 3163, 6329}));
}

TEST(HashRemove, ReinsertingARemovedKeyReusesItsSlotWithoutRaisingTheFill) {
    IntMap m;
    m.Insert(4, 1);
    m.Insert(6, 1);
    int slot = m.GetSlotIndex(4);
    EXPECT_EQ(m.Remove(4), 1);
    EXPECT_EQ(m.Remove(4), 0);
    EXPECT_EQ(m.GetSlotState(unsigned(slot)), 2u);
    EXPECT_EQ(m.GetCount(), 1);
    EXPECT_EQ(m.GetFill(), 2u);
    EXPECT_EQ(m.Insert(4, 2), 1);
    EXPECT_EQ(m.GetSlotIndex(4), slot);
    EXPECT_EQ(m.GetFill(), 2u);
}

TEST(HashRemove, LookupsPassDeletedSlotsAndInsertionTakesTheFirstOne) {
    // 1, 24, 47 probe through slots 16, 17, 20.
    IntMap m;
    m.Insert(1, 10);
    m.Insert(24, 20);
    m.Insert(47, 30);
    m.Remove(1);
    m.Remove(24);
    EXPECT_EQ(*m.Find(47), 30);  // the probe continues over two deleted slots
    // Re-inserting a key that exists further along must find it, not create a duplicate in the
    // first deleted slot.
    EXPECT_EQ(m.Insert(47, 31), 0);
    EXPECT_EQ(m.GetCount(), 1);
    EXPECT_EQ(m.GetSlotIndex(47), 20);
    // A new colliding key takes slot 16, the first deleted one on its way.
    EXPECT_EQ(m.Insert(70, 40), 1);
    EXPECT_EQ(m.GetSlotIndex(70), 16);
    EXPECT_EQ(m.GetFill(), 3u);
}

TEST(HashRemove, ManyDeletedSlotsRebuildToTheSizeOfTheLiveEntries) {
    // 23 slots: 10 keys, 9 removed; the next key on a never-used slot brings the fill to 11, and
    // with count / fill = 2 / 11 the new slot count is NextPrime(max(21, 6 / 0.65)) = 23 again,
    // now without deleted slots.
    IntMap m;
    for (int k = 0; k < 10; ++k) m.Insert(k, k);
    for (int k = 0; k < 9; ++k) m.Remove(k);
    m.Insert(FreshKeyOnNeverUsedSlot(m, 100), 0);
    EXPECT_EQ(m.GetCapacity(), 23u);
    EXPECT_EQ(m.GetCount(), 2);
    EXPECT_EQ(m.GetFill(), 2u);
    for (unsigned i = 0; i < 23; ++i) EXPECT_NE(m.GetSlotState(i), 2u);

    // 97 slots, count 20 and fill 48 at the trigger: NextPrime(42 / 0.65 = 64.6 -> 64) = 67.
    IntMap n;
    for (int k = 0; k < 47; ++k) n.Insert(k, k);
    ASSERT_EQ(n.GetCapacity(), 97u);
    for (int k = 0; k < 28; ++k) n.Remove(k);
    n.Insert(FreshKeyOnNeverUsedSlot(n, 1000), 0);
    EXPECT_EQ(n.GetCapacity(), 67u);
    EXPECT_EQ(n.GetFill(), 20u);
}

TEST(HashRemove, ARatioOfExactlyPoint65CountsAsManyDeletedSlots) {
    // 41 slots trigger at fill 20; count 13 gives 13 / 20 = 0.65: NextPrime(28 / 0.65 = 43.07) = 43
    // (the other branch would give NextPrime(164) = 167).
    IntMap m(40);
    ASSERT_EQ(m.GetCapacity(), 41u);
    for (int k = 0; k < 19; ++k) m.Insert(k, k);
    for (int k = 0; k < 7; ++k) m.Remove(k);
    m.Insert(FreshKeyOnNeverUsedSlot(m, 500), 0);
    EXPECT_EQ(m.GetCapacity(), 43u);
}

TEST(HashRehash, FitRehashShrinksToTheEntriesAndReportsNoChange) {
    IntMap m;
    for (int k = 0; k < 30; ++k) m.Insert(k, k);
    ASSERT_EQ(m.GetCapacity(), 97u);
    for (int k = 10; k < 30; ++k) m.Remove(k);
    EXPECT_TRUE(m.ReHash(true));  // NextPrime(22) = 23
    EXPECT_EQ(m.GetCapacity(), 23u);
    EXPECT_EQ(m.GetFill(), 10u);
    EXPECT_FALSE(m.ReHash(true));
    for (int k = 0; k < 10; ++k) EXPECT_EQ(*m.Find(k), k);
    IntMap one;
    one.Insert(1, 1);
    EXPECT_TRUE(one.ReHash(true));  // max(5, 4)
    EXPECT_EQ(one.GetCapacity(), 5u);
    EXPECT_FALSE(m.ReHash(false));  // fill below half: nothing to do
}

TEST(HashRehash, InitHashTableAndFree) {
    IntMap m;
    m.Insert(1, 1);
    m.InitHashTable(100);
    EXPECT_EQ(m.GetCapacity(), 101u);
    EXPECT_EQ(m.GetCount(), 0);
    m.Free();
    EXPECT_EQ(m.GetCapacity(), 0u);
    EXPECT_EQ(m.Find(1), nullptr);
    EXPECT_EQ(m.Remove(1), 0);
    int pos = kHashStartPosition, k = 0;
    EXPECT_FALSE(m.GetNext(pos, k));
    m.Insert(3, 3);  // comes back with NextPrime(100) slots
    EXPECT_EQ(m.GetCapacity(), 101u);
    EXPECT_EQ(*m.Find(3), 3);
}

TEST(HashModel, RandomOperationsAgreeWithAReferenceMap) {
    std::mt19937 rng(1234);
    IntMap m;
    std::unordered_map<int, int> ref;
    for (int step = 0; step < 20000; ++step) {
        int key = int(rng() % 3000) - 1500;
        int op = int(rng() % 4);
        if (op < 2) {
            int expectNew = ref.count(key) ? 0 : 1;
            ASSERT_EQ(m.Insert(key, step), expectNew);
            ref[key] = step;
        } else if (op == 2) {
            ASSERT_EQ(m.Remove(key, (step & 1) != 0), int(ref.erase(key)));
        } else {
            const int* v = m.Find(key);
            auto it = ref.find(key);
            ASSERT_EQ(v != nullptr, it != ref.end());
            if (v) {
                ASSERT_EQ(*v, it->second);
            }
        }
        ASSERT_EQ(m.GetCount(), int(ref.size()));
        ASSERT_LT(m.GetFill(), m.GetCapacity() / 2 + 1);
    }
    size_t visited = 0;
    int pos = kHashStartPosition, key = 0, value = 0;
    while (m.GetNext(pos, key, value)) {
        ASSERT_EQ(ref.at(key), value);
        ++visited;
    }
    EXPECT_EQ(visited, ref.size());
}

TEST(HashValues, NonTrivialValuesSurviveRehashCopyAndRemoval) {
    CHashMap<int, int, CXTString<char>> m;
    for (int k = 0; k < 200; ++k) m.Insert(k, CXTString<char>("value number ") + CXTString<char>(char('a' + k % 26)));
    for (int k = 0; k < 200; k += 3) m.Remove(k);
    CHashMap<int, int, CXTString<char>> copy(m);
    EXPECT_EQ(copy.GetCapacity(), m.GetCapacity());
    for (int k = 0; k < 200; ++k) {
        EXPECT_EQ(copy.IsFound(k), k % 3 != 0);
        EXPECT_EQ(copy.GetSlotIndex(k), m.GetSlotIndex(k));  // same slot layout
    }
    EXPECT_EQ(std::string(copy.Find(1)->GetString()), "value number b");
    // GetOrInsert across a rehash returns the moved entry.
    CHashMap<int, int, int> g;
    for (int k = 0; k < 10; ++k) g.Insert(k, k);
    g.GetOrInsert(77) = 5;  // the 11th key rebuilds the table
    EXPECT_EQ(g.GetCapacity(), 97u);
    EXPECT_EQ(*g.Find(77), 5);
}

// A value counting its live copies, whose copies raise once `copiesLeft` reaches 0 (never while
// it is negative).
struct Fragile {
    static inline int live = 0;
    static inline int copiesLeft = -1;
    int v = 0;
    Fragile(int value = 0) : v(value) { ++live; }
    Fragile(const Fragile& other) : v(other.v) {
        if (copiesLeft == 0) throw std::runtime_error("copy refused");
        if (copiesLeft > 0) --copiesLeft;
        ++live;
    }
    Fragile& operator=(const Fragile& other) = default;
    ~Fragile() { --live; }
};

// Count, fill, capacity and every slot's state.
template <class Map>
std::vector<unsigned> Layout(const Map& m) {
    std::vector<unsigned> layout = {unsigned(m.GetCount()), m.GetFill(), m.GetCapacity()};
    for (unsigned i = 0; i < m.GetCapacity(); ++i) layout.push_back(m.GetSlotState(i));
    return layout;
}

TEST(HashFailure, AnInsertionThatRaisesLeavesTheTableAsItWas) {
    {
        // The value cannot be copied: on a never-used slot and on a deleted one.
        CHashMap<int, int, Fragile> m;
        for (int k = 0; k < 6; ++k) m.Insert(k, Fragile(k));
        m.Remove(2);
        const std::vector<unsigned> before = Layout(m);
        Fragile::copiesLeft = 0;
        EXPECT_THROW(m.Insert(40, Fragile(40)), std::runtime_error);
        EXPECT_THROW(m.Insert(2, Fragile(2)), std::runtime_error);
        Fragile::copiesLeft = -1;
        EXPECT_EQ(Layout(m), before);
        EXPECT_FALSE(m.IsFound(40));
        EXPECT_FALSE(m.IsFound(2));
        EXPECT_EQ(Fragile::live, 5);
        // A copy of the map that fails half-way releases the copies it made.
        Fragile::copiesLeft = 3;
        EXPECT_THROW((CHashMap<int, int, Fragile>(m)), std::runtime_error);
        Fragile::copiesLeft = -1;
        EXPECT_EQ(Fragile::live, 5);
        m.Insert(40, Fragile(40));
        EXPECT_EQ(m.Find(40)->v, 40);
    }
    EXPECT_EQ(Fragile::live, 0);

    // The growth the eleventh key of a 23-slot table calls for cannot be made: the key is not
    // stored, so a caller handing over an owned pointer still owns it.
    IntMap m;
    CHashTable<int> set;
    for (int k = 0; k < 10; ++k) m.Insert(k, k), set.Insert(k);
    const std::vector<unsigned> mapBefore = Layout(m), setBefore = Layout(set);
    {
        RefusingHook hook;
        EXPECT_EQ(Refusing(1, [&] { m.Insert(77, 1); }), Outcome::kMemoryError);
        EXPECT_EQ(Refusing(1, [&] { m.GetOrInsert(77) = 1; }), Outcome::kMemoryError);
        EXPECT_EQ(Refusing(1, [&] { set.Insert(77); }), Outcome::kMemoryError);
    }
    EXPECT_EQ(Layout(m), mapBefore);
    EXPECT_EQ(Layout(set), setBefore);
    EXPECT_FALSE(m.IsFound(77));
    EXPECT_FALSE(set.IsFound(77));
    m.Insert(77, 1);
    set.Insert(77);
    EXPECT_EQ(m.GetCapacity(), 97u);
    EXPECT_EQ(set.GetCapacity(), 97u);
}

TEST(HashSet, InsertFindRemoveAndOrder) {
    CHashTable<unsigned> s;
    EXPECT_EQ(s.Insert(5u), 1);
    EXPECT_EQ(s.Insert(5u), 0);
    EXPECT_EQ(s.Insert(1u), 1);
    EXPECT_EQ(s.Insert(2u), 1);
    ASSERT_NE(s.Find(2u), nullptr);
    EXPECT_EQ(*s.Find(2u), 2u);
    EXPECT_EQ(s.Remove(5u), 1);
    std::vector<unsigned> keys;
    int pos = kHashStartPosition;
    unsigned k = 0;
    while (s.GetNext(pos, k)) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<unsigned>{2u, 1u}));  // slots 9, 16
    FBMaterialID a{3, 4}, b{4, 3};
    CHashTable<FBMaterialID> pairs;
    pairs.Insert(a);
    pairs.Insert(b);  // same home slot (112 % 23 = 20), next probe
    EXPECT_EQ(pairs.GetSlotIndex(a), 20);
    EXPECT_EQ(pairs.GetSlotIndex(b), 21);
}

TEST(HashSerialize, EntriesInSlotOrderAfterTheCount) {
    IntMap m;
    m.Insert(1, 10);  // slot 16
    m.Insert(2, 20);  // slot 9
    Bytes bytes = Store([&](CXArchive& ar) { m.Serialize(ar); });
    Bytes expected = {0x02, 0x00, 2, 0, 0, 0, 20, 0, 0, 0, 1, 0, 0, 0, 10, 0, 0, 0};
    EXPECT_EQ(bytes, expected);

    CIntMap loaded;
    loaded.Insert(99, 99);
    Load(expected, [&](CXArchive& ar) { loaded.Serialize(ar); });
    EXPECT_EQ(loaded.GetCount(), 2);
    EXPECT_EQ(*loaded.Find(1), 10);
    EXPECT_FALSE(loaded.IsFound(99));

    CHashTable<unsigned short> set;
    set.Insert(7);
    EXPECT_EQ(Store([&](CXArchive& ar) { set.Serialize(ar); }), (Bytes{0x01, 0x00, 0x07, 0x00}));
}

TEST(HashSerialize, TruncatedOrForgedDataIsRejected) {
    Bytes truncated = {0x02, 0x00, 2, 0, 0, 0, 20, 0, 0, 0, 1, 0};
    IntMap m;
    EXPECT_EQ(ArchiveCause([&] { Load(truncated, [&](CXArchive& ar) { m.Serialize(ar); }); }),
              CXArchiveException::endOfFile);
    // Two billion entries announced, one present: fails at the end of the data.
    Bytes forged = {0xFF, 0xFF};
    PutU32(forged, 2000000000u);
    PutU32(forged, 1);
    PutU32(forged, 2);
    EXPECT_EQ(ArchiveCause([&] { Load(forged, [&](CXArchive& ar) { m.Serialize(ar); }); }),
              CXArchiveException::endOfFile);
    EXPECT_LT(m.GetCapacity(), 100u);
}
