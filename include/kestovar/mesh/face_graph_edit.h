// Merging two records of a point-to-face graph, with an optional pool of the room left by emptied
// records. CFaceList::GraphMergePointConnectivity and the simplification engine's contraction
// step share this code: the engine merges one record per contraction and recycles the room of
// emptied records, so that its graph stops growing once the loop has run for a while; the
// general edit has no pool.
#pragma once

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/memory.h"
#include "kestovar/mesh/face_graph.h"

namespace kestovar {

// Emptied records of one point-to-face graph by capacity: bucket c lists points whose record was
// emptied while it had room for c values (kSmallest .. kLargest). Entries may go stale (the record
// was filled again or compacted); Take checks and drops them. Each bucket keeps only its first
// kDepth entries, since emptied records far outnumber the records that outgrow their room.
// Records smaller than kSmallest are not kept: a merged record that outgrows its room almost
// always needs more than a point of valence 6 had, so they would only fill the pool.
class KESTOVAR_API CGraphRoomPool : public CXAllocated {
public:
    static constexpr unsigned kSmallest = 7;
    static constexpr unsigned kLargest = 32;
    static constexpr int kDepth = 4096;

    // Forgets every entry and releases the buckets' memory.
    void Clear();
    // Notes that `point`'s record is empty with room for `capacity` values (ignored outside
    // kSmallest .. kLargest or when its bucket is full).
    void Keep(unsigned point, unsigned capacity);
    // The most recently kept point whose record is still empty with room for at least `need`
    // values, smallest room first, never `skip1` or `skip2`; its entry leaves the pool. -1 when
    // none is left (stale entries met on the way are dropped).
    int Take(const CPointToFaceGraph& graph, unsigned need, unsigned skip1, unsigned skip2);
    // Entries held, stale ones included (for tests).
    int GetCount() const;

private:
    CXArray<int> m_buckets[kLargest + 1];
};

// Moves the faces of record `removed` onto record `kept`: those `kept` lacks are appended in
// their order, then `removed` is emptied. Returns the size of `kept` afterwards (0, touching
// nothing, when an index is out of range; the size of the record when the two are equal). A
// `kept` record that outgrows its room takes the room of an emptied record from `pool` when one
// fits (the two records exchange their storage and the other point keeps the old room, empty),
// else it is written anew at the end of the buffer with half its capacity again as margin. With
// a pool, every record emptied here is kept in it.
KESTOVAR_API int MergePointToFaceRecords(CPointToFaceGraph& graph, unsigned removed, unsigned kept,
                                         CGraphRoomPool* pool);

}  // namespace kestovar
