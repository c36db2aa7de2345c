// Bulk loading of an association map (CAssociationMap::Loader::AddRun, over CHashMap::Loader::
// ClaimRun and the collection's free bytes) must leave exactly the map that the same Add and
// AddUnique calls made one by one leave: same slot of every key, same record numbering,
// capacities, offsets and byte counts. The runs here drive each way AddRun takes: records laid
// out in place, records that outgrow their room, repeated values of AddUnique, keys from an
// earlier run, a record buffer short of room, and a table that grows part-way through a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "association_map_compare.h"

using namespace kestovar;
using namespace kestovar::test;

namespace {

// The calls made one by one on `map`.
void AddAll(Lists64& map, const std::vector<MapCall>& calls) {
    for (const MapCall& c : calls) {
        if (c.unique)
            map.AddUnique(c.key, c.value);
        else
            map.Add(c.key, c.value);
    }
}

// The calls run[0 .. n) loaded in one run.
void LoadRun(Lists64::Loader& load, const MapCall* run, size_t n, unsigned slots) {
    load.AddRun(unsigned(n), [run, slots](unsigned i, unsigned& home, int& value, bool& unique) {
        home = HomeOf(run[i].key, slots);
        value = run[i].value;
        unique = run[i].unique;
        return run[i].key;
    });
}

// The map of the calls made one by one, and the map of the same calls loaded in runs (the run
// boundaries are `cuts`, increasing, ending at calls.size()); returns the loaded map's slot count.
unsigned ExpectRunsMatchCalls(const std::vector<MapCall>& calls, const std::vector<size_t>& cuts,
                              unsigned keysAskedFor, unsigned typical = 2) {
    Lists64 plain(21, typical), loaded(21, typical);
    plain.InitHashTable(keysAskedFor);
    AddAll(plain, calls);
    {
        Lists64::Loader load(loaded, keysAskedFor);
        const unsigned slots = load.GetHashCapacity();
        size_t from = 0;
        for (size_t to : cuts) {
            LoadRun(load, calls.data() + from, to - from, slots);
            from = to;
        }
    }
    ExpectSameMaps(plain, loaded);
    return loaded.GetHashCapacity();
}

// Calls in home-block order (the build's order) over `keys` keys, each key given `perKey(k)`
// values; every `uniqueEvery`-th call (0: none) an AddUnique that repeats the key's last value.
std::vector<MapCall> BlockOrderedCalls(unsigned keys, unsigned slots, unsigned (*perKey)(unsigned), unsigned uniqueEvery) {
    std::vector<MapCall> calls;
    for (unsigned k = 0; k < keys; ++k)
        for (unsigned v = 0; v < perKey(k); ++v) calls.push_back({(uint64_t(k) * 2654435761u) << 3, int(k * 7 + v), false});
    // Scatter the calls, then sort them stably by block of 64 slots.
    for (size_t i = 0; i < calls.size(); ++i) std::swap(calls[i], calls[(i * 7919) % calls.size()]);
    std::stable_sort(calls.begin(), calls.end(),
                     [slots](const MapCall& x, const MapCall& y) { return HomeOf(x.key, slots) / 64 < HomeOf(y.key, slots) / 64; });
    if (uniqueEvery) {
        std::vector<int> last(keys, -1);
        for (size_t i = 0; i < calls.size(); ++i) {
            const unsigned k = unsigned(calls[i].value / 7);
            if (i % uniqueEvery == uniqueEvery - 1 && last[k] >= 0) {
                // Half of them repeat the value listed last (and are dropped).
                calls[i].unique = true;
                if ((i / uniqueEvery) % 2 == 0) calls[i].value = last[k];
            }
            last[k] = calls[i].value;
        }
    }
    return calls;
}

unsigned OneOrTwo(unsigned k) { return 1 + (k % 3 != 0); }
unsigned UpToFive(unsigned k) { return 1 + (k * 13) % 5; }

// `count` additions over count / 3 keys (most keys get two to four values, a few many more, so
// that records outgrow their room), every seventh one an AddUnique that may repeat a value.
std::vector<MapCall> MakeItems(int count, uint32_t seed) {
    std::vector<MapCall> items;
    uint32_t s = seed;
    auto next = [&s] { return s = s * 1664525u + 1013904223u; };
    for (int i = 0; i < count; ++i) {
        const uint32_t r = next();
        const uint64_t key = (r % 16 == 0) ? uint64_t(r % 5) : (uint64_t(next() % unsigned(count / 3 + 1)) << 20) + 7;
        items.push_back({key, int(next() % 9), i % 7 == 0});
    }
    return items;
}

}  // namespace

TEST(AssociationMapLoadRun, RunsOfKeysWithRoomForTheirValuesMatchTheCalls) {
    // Every key's values in one run, none past a record's room: the records are laid out in
    // place. One run, many runs, and an empty run between them.
    const unsigned keys = 3000;
    const unsigned slots = NextPrime(2 * keys + 2);
    const std::vector<MapCall> calls = BlockOrderedCalls(keys, slots, OneOrTwo, 0);
    // Cuts at block boundaries keep each key's values in one run.
    std::vector<size_t> blockCuts;
    for (size_t i = 1; i < calls.size(); ++i)
        if (HomeOf(calls[i].key, slots) / 4096 != HomeOf(calls[i - 1].key, slots) / 4096) blockCuts.push_back(i);
    blockCuts.push_back(calls.size());
    std::vector<size_t> withEmpty = blockCuts;
    withEmpty.insert(withEmpty.begin() + 1, withEmpty[0]);
    for (unsigned typical : {1u, 2u, 3u}) {
        SCOPED_TRACE(typical);
        ExpectRunsMatchCalls(calls, {calls.size()}, keys, typical);
        ExpectRunsMatchCalls(calls, blockCuts, keys, typical);
        ExpectRunsMatchCalls(calls, withEmpty, keys, typical);
    }
}

TEST(AssociationMapLoadRun, RecordsPastTheirRoomRepeatedUniqueValuesAndEarlierKeysMatchTheCalls) {
    // Every key created first, then each given more values than its room, in one run: the room
    // past a record is the next record's header.
    for (unsigned typical : {1u, 2u}) {
        std::vector<MapCall> overfull;
        for (unsigned round = 0; round < 3; ++round)
            for (uint64_t k = 0; k < 40; ++k) overfull.push_back({k * 977 + 5, 0, false});
        SCOPED_TRACE(typical);
        ExpectRunsMatchCalls(overfull, {overfull.size()}, 40, typical);
    }
    const unsigned keys = 2000;
    const unsigned slots = NextPrime(2 * keys + 2);
    // Up to five values per key in records of room two: records move and the buffer grows.
    const std::vector<MapCall> many = BlockOrderedCalls(keys, slots, UpToFive, 0);
    ExpectRunsMatchCalls(many, EvenCuts(many.size(), 7), keys);
    // AddUnique calls, some repeating a value already listed (dropped) on keys the run created.
    const std::vector<MapCall> unique = BlockOrderedCalls(keys, slots, OneOrTwo, 3);
    ExpectRunsMatchCalls(unique, EvenCuts(unique.size(), 5), keys);
    // Cuts that split keys between runs: a later run adds to records of an earlier one.
    const std::vector<MapCall> split = BlockOrderedCalls(keys, slots, OneOrTwo, 0);
    ExpectRunsMatchCalls(split, EvenCuts(split.size(), 13), keys);
    // Calls out of home order, every fifth an AddUnique.
    std::vector<MapCall> shuffled = BlockOrderedCalls(keys, slots, UpToFive, 5);
    for (size_t i = 0; i < shuffled.size(); ++i) std::swap(shuffled[i], shuffled[(i * 104729) % shuffled.size()]);
    ExpectRunsMatchCalls(shuffled, EvenCuts(shuffled.size(), 3), keys);
}

TEST(AssociationMapLoadRun, ARecordBufferShortOfRoomAndATableThatGrowsMidRunMatchTheCalls) {
    // Sized for 400 keys, given 3000: the record buffer runs out of room part-way through a run
    // and the table's growth rule rebuilds it inside a run (the homes of the rest are then
    // ignored). Runs of every size from one call to all of them.
    const unsigned keys = 3000, asked = 400;
    const unsigned slots = NextPrime(2 * asked + 2);
    const std::vector<MapCall> calls = BlockOrderedCalls(keys, slots, OneOrTwo, 0);
    for (size_t parts : {size_t(1), size_t(3), size_t(40), calls.size()}) {
        SCOPED_TRACE(parts);
        EXPECT_GT(ExpectRunsMatchCalls(calls, EvenCuts(calls.size(), parts), asked), slots);
    }
}

TEST(AssociationMapLoadRun, SingleCallsBetweenRunsEndTheStretchOfRecordsWrittenInPlace) {
    // A run writes into the records an earlier run laid out, unless something else changed the
    // collection in between: here single Add and AddUnique calls of the loader, some of which
    // create records and some of which move a record that outgrew its room. Runs of every
    // length, with and without single calls between them, in face-like order (each key's values
    // spread over neighbouring runs).
    const unsigned keys = 1500;
    const unsigned slots = NextPrime(2 * keys + 2);
    std::vector<MapCall> calls;
    for (unsigned i = 0; i < 3 * keys; ++i) {
        const unsigned k = (i / 3 + (i % 3) * 7) % keys;  // three values per key, seven keys apart
        calls.push_back({(uint64_t(k) * 2654435761u) << 3, int(i), i % 11 == 0});
    }
    for (unsigned every : {1u, 5u, 64u}) {
        for (unsigned singleEvery : {0u, 2u, 7u}) {
            Lists64 plain(21, 2), loaded(21, 2);
            plain.InitHashTable(keys);
            AddAll(plain, calls);
            {
                Lists64::Loader load(loaded, keys);
                ASSERT_EQ(load.GetHashCapacity(), slots);
                size_t from = 0;
                for (unsigned run = 0; from < calls.size(); ++run) {
                    if (singleEvery && run % singleEvery == 1) {
                        const MapCall& c = calls[from++];
                        if (c.unique)
                            load.AddUnique(c.key, HomeOf(c.key, slots), c.value);
                        else
                            load.Add(c.key, HomeOf(c.key, slots), c.value);
                        continue;
                    }
                    const size_t to = std::min(calls.size(), from + every);
                    LoadRun(load, calls.data() + from, to - from, slots);
                    from = to;
                }
            }
            SCOPED_TRACE(every);
            SCOPED_TRACE(singleEvery);
            ExpectSameMaps(plain, loaded);
        }
    }
}

TEST(HashMapLoadRun, ClaimRunStopsBeforeTheGrowthAndTheRestGoesThroughGetOrInsert) {
    // ClaimRun hands back each key's value (new ones value-initialised) and stops before the new
    // key that makes the growth rule rebuild; the caller finishes with GetOrInsert. The result
    // equals GetOrInsert calls made one by one, slot for slot.
    typedef CHashMap<uint64_t, uint64_t, unsigned> Map;
    std::vector<uint64_t> keys;
    for (uint64_t k = 0; k < 600; ++k) keys.push_back(((k * 40503u) % 257) * 1000003u + 11);  // repeats
    Map plain(100), loaded(100);
    for (uint64_t k : keys) plain.GetOrInsert(k) += unsigned(k % 13) + 1;
    unsigned taken;
    std::vector<bool> seenNew(keys.size(), false);
    {
        Map::Loader load(loaded, 100);
        const unsigned slots = load.GetCapacity();
        taken = load.ClaimRun(
            unsigned(keys.size()),
            [&](unsigned i, unsigned& home) {
                home = HomeOf(keys[i], slots);
                return keys[i];
            },
            [&](unsigned i, unsigned& value, bool isNew) {
                if (isNew) {
                    EXPECT_EQ(value, 0u);
                }
                seenNew[i] = isNew;
                value += unsigned(keys[i] % 13) + 1;
            });
        for (unsigned i = taken; i < keys.size(); ++i) load.GetOrInsert(keys[i], HomeOf(keys[i], slots)) += unsigned(keys[i] % 13) + 1;
    }
    // It stops at the entry whose key is the (slots / 2)-th distinct one.
    std::vector<uint64_t> distinct;
    unsigned stop = unsigned(keys.size());
    for (unsigned i = 0; i < keys.size() && stop == keys.size(); ++i) {
        if (std::find(distinct.begin(), distinct.end(), keys[i]) != distinct.end()) continue;
        distinct.push_back(keys[i]);
        if (distinct.size() == NextPrime(100) / 2) stop = i;
    }
    EXPECT_EQ(taken, stop);
    // Exactly the first occurrences were new.
    for (unsigned i = 0; i < taken; ++i) {
        const bool first = std::find(keys.begin(), keys.begin() + i, keys[i]) == keys.begin() + i;
        EXPECT_EQ(seenNew[i], first) << i;
    }
    ExpectSameTables(plain, loaded);
}

TEST(OffsetArrayRun, AddRunEqualsAddCallsInAndOutOfRoomAndAcrossTheSplit) {
    // The run is written in one pass only within the room of the 32-bit part and below 4 GiB;
    // every other case (no room, room for part of the run, offsets past 4 GiB, an array already
    // split) goes offset by offset. Each must end as the Add calls end.
    struct Case {
        unsigned before, room;  // offsets already added, room made beforehand (0: none)
        uint64_t first, step;
        unsigned count;
    };
    const Case cases[] = {
        {0, 0, 0, 12, 500},             // no room: Add's own growth
        {3, 1000, 36, 12, 500},         // room for all
        {3, 200, 36, 12, 500},          // room for part of the run
        {0, 1000, 0xFFFFF000u, 16, 600},  // crosses 4 GiB part-way: the split
        {5, 1000, uint64_t(1) << 33, 8, 50},  // past 4 GiB from the start
        {2, 1000, 100, 0, 10},          // step 0
        {2, 1000, 100, 7, 0},           // empty run
    };
    for (const Case& c : cases) {
        COffsetArray plain, run;
        if (c.room) {
            plain.PreAllocate(c.room);
            run.PreAllocate(c.room);
        }
        for (unsigned i = 0; i < c.before; ++i) {
            plain.Add(uint64_t(i) * 12);
            run.Add(uint64_t(i) * 12);
        }
        for (unsigned i = 0; i < c.count; ++i) plain.Add(c.first + c.step * i);
        run.AddRun(c.first, c.step, c.count);
        SCOPED_TRACE(c.first);
        ASSERT_EQ(run.GetSize(), plain.GetSize());
        EXPECT_EQ(run.GetSplitIndex(), plain.GetSplitIndex());
        for (unsigned i = 0; i < plain.GetSize(); ++i) ASSERT_EQ(run.GetAt(i), plain.GetAt(i)) << i;
    }
    // An array split before the run stays split, the run in its 64-bit part, with or without
    // room made in its 32-bit part.
    for (unsigned room : {0u, 100u}) {
        COffsetArray plain, run;
        plain.PreAllocate(room);
        run.PreAllocate(room);
        for (COffsetArray* a : {&plain, &run}) {
            a->Add(8);
            a->Add(uint64_t(1) << 34);
        }
        for (unsigned i = 0; i < 3; ++i) plain.Add(64 + 4 * i);
        run.AddRun(64, 4, 3);
        ASSERT_EQ(run.GetSize(), 5u);
        EXPECT_EQ(run.GetSplitIndex(), 1u);
        for (unsigned i = 0; i < 5; ++i) EXPECT_EQ(run.GetAt(i), plain.GetAt(i)) << i;
    }
}

// ---- loading call by call ------------------------------------------------------------------------
// Keys loaded in home order (the use the loader is made for) and in an order that is not, with
// enough keys to make the map grow part-way.

TEST(AssociationMapLoader, LoadingGivesTheMapTheSameCallsWouldInHomeOrderOrNot) {
    for (unsigned keysAskedFor : {4000u, 150u}) {  // the second one grows part-way
        for (bool homeOrder : {true, false}) {
            std::vector<MapCall> items = MakeItems(9000, keysAskedFor + (homeOrder ? 1 : 2));
            const unsigned slots = NextPrime(2 * keysAskedFor + 2);
            if (homeOrder)
                std::stable_sort(items.begin(), items.end(), [slots](const MapCall& x, const MapCall& y) {
                    return HomeOf(x.key, slots) / 64 < HomeOf(y.key, slots) / 64;
                });
            Lists64 plain, loaded;
            plain.InitHashTable(keysAskedFor);
            AddAll(plain, items);
            {
                Lists64::Loader load(loaded, keysAskedFor);
                ASSERT_EQ(load.GetHashCapacity(), slots);
                for (const MapCall& it : items) {
                    const unsigned home = HomeOf(it.key, slots);
                    if (it.unique)
                        load.AddUnique(it.key, home, it.value);
                    else
                        load.Add(it.key, home, it.value);
                }
            }
            SCOPED_TRACE(keysAskedFor);
            SCOPED_TRACE(homeOrder);
            ExpectSameMaps(plain, loaded);
            if (keysAskedFor == 150u) {
                EXPECT_GT(loaded.GetHashCapacity(), slots);
            }
        }
    }
}

TEST(AssociationMapLoader, AMapLeftPartLoadedIsComplete) {
    // A loader that ends early (an exception in its caller) leaves an ordinary map: the slots it
    // never reached are never used, so look-ups end there and later additions work.
    Lists64 map;
    {
        Lists64::Loader load(map, 1000);
        const unsigned slots = load.GetHashCapacity();
        for (uint64_t key : {3ull, 40ull, 41ull}) load.Add(key, HomeOf(key, slots), int(key));
    }
    EXPECT_EQ(map.GetCount(), 3);
    EXPECT_EQ(map.GetValueCount(41), 1u);
    for (uint64_t key = 100; key < 400; ++key) EXPECT_FALSE(map.IsFound(key));
    for (uint64_t key = 100; key < 2000; ++key) map.Add(key, 1);
    EXPECT_EQ(map.GetCount(), 1903);
    int pos = kHashStartPosition, walked = 0;
    uint64_t key;
    const int* values;
    unsigned n;
    while (map.GetNext(pos, key, values, n)) ++walked;
    EXPECT_EQ(walked, 1903);
}
