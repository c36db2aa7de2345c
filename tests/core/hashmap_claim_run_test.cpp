// CHashMap::Loader::ClaimRun claims in a window of slots that it copies to the table as it moves
// on (or, for other slots, writes the never-used states ahead of its claims), and takes a key
// found in its home slot without probing. Whatever the homes, the run boundaries and
// the key type, a load must leave the map that GetOrInsert calls made one by one leave: the same
// slot states, the same stored keys (the first of equal keys) and the same values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kestovar/core/hashmap.h"
#include "kestovar/core/xstring.h"

#include "association_map_compare.h"
#include "memory_hook.h"

using namespace kestovar;
using kestovar::test::EvenCuts;
using kestovar::test::ExpectSameTables;
using kestovar::test::RecordingHook;

namespace {

// A key whose equality and hash see its id only: the tag tells equal keys apart, so a claim
// that rewrote a found key with the key it was given would show.
struct TaggedKey {
    uint32_t id;
    uint32_t tag;
};

struct TaggedKeyMethods {
    static unsigned Hash(const TaggedKey& k) { return k.id << 4; }
    static bool Equal(const TaggedKey& a, const TaggedKey& b) { return a.id == b.id; }
};

// A key of 8 bytes hashed as an int (key << 4), so that the homes can be chosen: its slots are
// 16 bytes, as those of the edge map, where 12-byte int slots are claimed another way.
struct WideKey {
    uint32_t id;
    uint32_t spare;
};

struct WideKeyMethods {
    static unsigned Hash(const WideKey& k) { return k.id << 4; }
    static bool Equal(const WideKey& a, const WideKey& b) { return a.id == b.id && a.spare == b.spare; }
};

// Loads `keys` through ClaimRun in runs ending at `cuts` (the entries a run leaves go through the
// loader's GetOrInsert, as AddRun does), adding i + 1 to the value of entry i's key; builds the
// same map by GetOrInsert calls one by one; and compares the two slot for slot, keys as bytes
// unless `sameKey` is given.
template <class Map, class Methods, class Key, class... SameKey>
void ExpectClaimsMatchCalls(const std::vector<Key>& keys, const std::vector<size_t>& cuts, unsigned size,
                            SameKey... sameKey) {
    // Fresh blocks zero-filled: a slot the load leaves unwritten then reads as occupied (state 0)
    // instead of as whatever an earlier table left in the block.
    RecordingHook zeroed(-1, true);
    Map plain(size), loaded(size);
    for (size_t i = 0; i < keys.size(); ++i) plain.GetOrInsert(keys[i]) += unsigned(i + 1);
    {
        typename Map::Loader load(loaded, size);
        const unsigned slots = load.GetCapacity();
        const auto homeOf = [slots](const Key& k) { return Methods::Hash(k) % slots; };
        size_t from = 0;
        for (size_t to : cuts) {
            const unsigned taken = load.ClaimRun(
                unsigned(to - from),
                [&](unsigned i, unsigned& home) {
                    home = homeOf(keys[from + i]);
                    return keys[from + i];
                },
                [&](unsigned i, unsigned& value, bool isNew) {
                    if (isNew) {
                        EXPECT_EQ(value, 0u);
                    }
                    value += unsigned(from + i + 1);
                });
            for (size_t i = from + taken; i < to; ++i) load.GetOrInsert(keys[i], homeOf(keys[i])) += unsigned(i + 1);
            from = to;
        }
    }
    ExpectSameTables(plain, loaded, sameKey...);
}

}  // namespace

TEST(HashMapClaimRun, HomesAtTheEndOfTheTableAndProbesThatWrapMatchTheCalls) {
    // Integer keys hash to key << 4, so the homes are chosen: runs of keys on the last slots of
    // a table whose size is no multiple of 64 probe past the end and wrap to the first slots,
    // before and after keys homed there; homes fall back and jump ahead by more than a thousand
    // slots, as an unsorted load gives them; keys come back, found at home and past it. In one
    // run and cut into many, in a small table and in one of several thousand slots.
    typedef CHashMap<unsigned, unsigned, unsigned> IntMap;
    typedef CHashMap<WideKey, const WideKey&, unsigned, WideKeyMethods> WideMap;
    static_assert(sizeof(WideMap::Slot) == 16, "slots of the edge map's size");
    // 150 and 5000 slots are claimed in place, 300000 through the loader's window.
    for (unsigned size : {150u, 5000u, 300000u}) {
        SCOPED_TRACE(size);
        const unsigned slots = NextPrime(size);
        ASSERT_NE(slots % 64, 0u);
        // The j-th key whose home is slot h: k = h / 16 mod slots (slots is prime), plus j slots.
        uint64_t inverse = 1;
        for (uint64_t b = 16, e = slots - 2; e; e >>= 1, b = b * b % slots)
            if (e & 1) inverse = inverse * b % slots;
        std::vector<unsigned> keys;
        const auto add = [&](unsigned h, unsigned j) {
            const unsigned k = unsigned(uint64_t(h % slots) * inverse % slots + uint64_t(j + 1) * slots);
            ASSERT_EQ((k << 4) % slots, h % slots);
            keys.push_back(k);
        };
        for (unsigned h = 0; h < 70; h += 3) add(h, 2);
        for (unsigned round = 0; round < 3; ++round)
            for (unsigned h = slots - 3; h < slots; ++h)
                for (unsigned j = 0; j < 4; ++j) add(h, j + round);  // new ones and repeats
        for (unsigned h = 0; h < 5; ++h) add(h, 0);
        for (unsigned j = 0; j < 6; ++j) add(slots - 1, j);
        for (unsigned h = 120; h > 60; h -= 7) add(h, 1);
        for (unsigned h : {slots / 2, 30u, slots / 2 + 1, slots / 5, slots - 40, slots / 2, 31u}) {
            add(h, 3);
            add(h, 4);
            add(h, 3);
        }
        for (unsigned h = slots / 3; h < slots / 3 + 200; h += 5) add(h, 5);
        std::vector<WideKey> wide;
        for (unsigned k : keys) wide.push_back({k, 7});
        for (size_t parts : {size_t(1), size_t(2), size_t(7), keys.size()}) {
            SCOPED_TRACE(parts);
            ExpectClaimsMatchCalls<IntMap, CHashMethods<unsigned>>(keys, EvenCuts(keys.size(), parts), size);
            ExpectClaimsMatchCalls<WideMap, WideKeyMethods>(wide, EvenCuts(keys.size(), parts), size);
        }
    }
}

TEST(HashMapClaimRun, AFoundKeyKeepsTheBytesOfTheFirstEqualKey) {
    // Keys equal by id with different tags: the map keeps the tag of the first, whether the
    // later one is found in its home slot or past it, in a small table and a large one, and
    // whether the growth rule rebuilds the table part-way (a table sized for 8 keys given 60).
    typedef CHashMap<TaggedKey, const TaggedKey&, unsigned, TaggedKeyMethods> Map;
    std::vector<TaggedKey> keys;
    for (uint32_t round = 0; round < 3; ++round)
        for (uint32_t id = 0; id < 60; ++id) keys.push_back({(id * 37) % 61, round * 100 + id});
    for (size_t parts : {size_t(1), size_t(4), keys.size()}) {
        SCOPED_TRACE(parts);
        for (unsigned size : {8u, 200u, 300000u})
            ExpectClaimsMatchCalls<Map, TaggedKeyMethods>(keys, EvenCuts(keys.size(), parts), size);
    }
    // The map the calls make (and so every load above) keeps the first tag of each id.
    Map plain(200);
    for (const TaggedKey& k : keys) plain.GetOrInsert(k);
    for (uint32_t id = 0; id < 60; ++id) {
        int pos = kHashStartPosition;
        const Map::Slot* s;
        while ((s = plain.GetNextSlot(pos)) != nullptr && s->key.id != (id * 37) % 61) {
        }
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->key.tag, id) << "id " << (id * 37) % 61;
    }
}

TEST(HashMapClaimRun, KeysThatOwnMemoryMatchTheCalls) {
    // String keys are constructed in new slots only and never copied over a found one.
    typedef CHashMap<CXStringA, const CXStringA&, unsigned> Map;
    std::vector<CXStringA> keys;
    for (unsigned i = 0; i < 300; ++i) keys.push_back(CXStringA(("edge-" + std::to_string((i * 53) % 170)).c_str()));
    for (size_t parts : {size_t(1), size_t(5), keys.size()}) {
        SCOPED_TRACE(parts);
        ExpectClaimsMatchCalls<Map, CHashMethods<CXStringA>>(
            keys, EvenCuts(keys.size(), parts), 64,
            [](const CXStringA& a, const CXStringA& b) { return a == b; });
    }
}
