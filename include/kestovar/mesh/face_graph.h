// Adjacency between the faces and the points of a face list: the two graph types a CFaceList owns,
// the kinds of point neighbourhood, and CFaceGraphHelper, the reusable result buffer of the
// neighbourhood queries. The graphs themselves are built, queried and edited through members of
// CFaceList (face_list.h).
#pragma once

#include <cstdint>

#include "kestovar/core/collection.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/memory.h"

namespace kestovar {

class C3DEdge;

// Point-to-face graph: record p lists the live faces that use point p, each face once even when
// the point occurs twice in it, in increasing face order after a build (graph edits append).
//
// The records have 32-bit headers, unlike the face records (16-bit): a point may be used by more
// than 65535 faces (the centre of a large fan, a pole of a fine sphere), while a face never has
// that many corners. The wider header costs 4 bytes per point.
typedef CSimpleCollection<int, unsigned int> CPointToFaceGraph;

// Edge-to-face graph: an edge, normalised to (smaller index, larger index), maps to the list of
// live faces that contain it. An edge of a manifold surface holds two faces, a border edge one,
// a non-manifold edge three or more. A list holds at most 65535 faces (its 16-bit header): a
// build lists the first 65535 faces of an edge that has more (a file repeating one triangle
// 70000 times), which every reader of the graph takes, as it would the whole list, for a
// non-manifold edge. Users of the map include kestovar/mesh/edge.h.
typedef CAssociationMap<C3DEdge, int, unsigned short> CEdgeToFaceGraph;

// The kind of neighbourhood that CFaceList::GetPointsNeighbourg collects around a point p.
enum _ConnectionInfoType : int {
    // Points of a face around p that are not joined to p by an edge of that face (the
    // "diagonal" points of quads and larger polygons). Any value other than 2 and 3 means this.
    CONNECTION_DIAGONAL = 0,
    // Points joined to p by an edge of a face around p.
    CONNECTION_EDGE = 2,
    // Points sharing a face with p.
    CONNECTION_FACE = 3,
};

// Result buffer of the neighbourhood queries: a hash set of ints that collects the distinct
// points (or faces) of one query, and an int array into which the query copies them. One helper
// serves any number of queries in a row without allocating once it has grown to the largest
// result; it is not shared between threads.
class KESTOVAR_API CFaceGraphHelper : public CXAllocated {
public:
    CFaceGraphHelper() : m_set(21) {}
    ~CFaceGraphHelper();
    CFaceGraphHelper(const CFaceGraphHelper&) = delete;
    CFaceGraphHelper& operator=(const CFaceGraphHelper&) = delete;

    // The array. When `n` is not below the capacity it is first replaced by a fresh array of
    // exactly `n` entries (the previous one is freed, so earlier results become invalid). The
    // array stays owned by the helper.
    int* GetArray(unsigned n);
    // Takes back an array that this helper handed out: its memory is released and the capacity
    // drops to 0. Returns false, touching nothing, for any other pointer (null included).
    bool ReleaseArray(int* array);

    // Capacity of the current array in entries (0 before the first GetArray).
    unsigned GetCapacity() const { return m_nCapacity; }
    // The set used by the queries to collect distinct values.
    CHashTable<int>& GetSet() { return m_set; }

private:
    CHashTable<int> m_set;
    int* m_pArray = nullptr;
    unsigned m_nCapacity = 0;
};

}  // namespace kestovar
