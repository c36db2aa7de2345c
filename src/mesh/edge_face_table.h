// CEdgeFaceTable: the faces around every edge of a face list, as its edge-to-face graph lists them,
// gathered for all edges at once. Not part of the public interface.
//
// The walks over a large mesh (region growth, flood fills, orientation) ask the graph for the
// faces across each edge of each face they visit, often several times per edge. A graph lookup
// is a chain of dependent cache misses (the hash slot, the record offset, the record), which
// dominates such a walk on a mesh that does not fit the cache. The table holds the same lists,
// found by sorting the faces' own edges (a counting sort on the smaller point, then each point's
// few edges by the larger one), and keeps beside each face's corners the ends of their edges and
// where their lists lie, so that a query reads the face's few corner entries and one list.
//
// A list is what the graph holds for the edge: the live faces that contain it, each once, in
// face order, at most 65535 of them (the graph's record limit). The table describes the faces as
// they were when it was built; a query for an edge the face did not have then (the face was
// edited since) finds nothing, and the caller asks the graph instead (see Around).
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/mesh/face_list.h"

namespace kestovar {
namespace detail {

class CEdgeFaceTable {
public:
    // Builds the lists of the live faces of `faces`. False, with an empty table, when there is
    // nothing to hold or an index is negative.
    bool Build(const CFaceList& faces);

    // The list of edge (a, b) of face f, numbered from 0 to ListCount() - 1; kNoList when the
    // table does not hold that edge for f (not built, f not live then, a degenerate edge, or f
    // did not have the edge then).
    unsigned FindList(unsigned f, unsigned a, unsigned b) const {
        const unsigned starts = unsigned(m_cornerStart.GetSize());  // faces + 1, or 0
        if (starts == 0 || f >= starts - 1) return kNoList;
        const uint64_t key = Key(a, b);
        const unsigned end = m_cornerStart[int(f + 1)];
        for (unsigned c = m_cornerStart[int(f)]; c < end; ++c)
            if (m_cornerKey[int(c)] == key) return m_cornerList[int(c)];
        return kNoList;
    }

    // The faces of list `list` (a FindList answer other than kNoList), and their count.
    const int* ListFaces(unsigned list, unsigned& count) const {
        count = m_listStart[int(list + 1)] - m_listStart[int(list)];
        return m_faces.GetData() + m_listStart[int(list)];
    }

    // Whether face f is in list `list`: every face with the edge is, unless the list reached the
    // graph's record limit before f (its faces are in face order).
    bool ListHolds(unsigned list, int f) const;

    // The faces around edge (a, b) of face f, and their count; null (count 0) when the table
    // does not hold that edge for f (see FindList).
    const int* Find(unsigned f, unsigned a, unsigned b, unsigned& count) const {
        const unsigned list = FindList(f, a, b);
        if (list == kNoList) return NotHeld(count);
        return ListFaces(list, count);
    }

    // Find, or else the graph's list for the edge (null without a graph): the answer of
    // CFaceList::GetFacesConnectedToEdge whenever the table still describes face f. `list`, when
    // given, receives the table's list number, kNoList when the answer came from the graph.
    const int* Around(const CFaceList& faces, unsigned f, unsigned a, unsigned b, int& count,
                      unsigned* list = nullptr) const {
        const unsigned found = FindList(f, a, b);
        if (list) *list = found;
        if (found != kNoList) {
            unsigned n;
            const int* around = ListFaces(found, n);
            count = int(n);
            return around;
        }
        return faces.GetFacesConnectedToEdge(C3DEdge(a, b), count);
    }

    bool IsBuilt() const { return m_cornerStart.GetSize() != 0; }
    unsigned ListCount() const { return m_listStart.GetSize() ? unsigned(m_listStart.GetSize() - 1) : 0u; }
    void Free();

    static constexpr unsigned kNoList = 0xFFFFFFFFu;

private:
    static uint64_t Key(unsigned a, unsigned b) {
        return a < b ? (uint64_t(a) << 32 | b) : (uint64_t(b) << 32 | a);
    }
    static const int* NotHeld(unsigned& count) {
        count = 0;
        return nullptr;
    }

    CXArray<unsigned> m_cornerStart;  // first corner of each face, and the end (faces + 1 entries)
    CXArray<uint64_t> m_cornerKey;    // each corner's edge as (smaller << 32 | larger)
    CXArray<unsigned> m_cornerList;   // the list of each corner's edge, kNoList for none
    CXArray<unsigned> m_listStart;    // first face of each list in m_faces, and the end
    CXArray<int> m_faces;             // the lists, one after another
};

}  // namespace detail
}  // namespace kestovar
