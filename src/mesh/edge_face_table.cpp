#include "edge_face_table.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "kestovar/core/exception.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_graph.h"

namespace kestovar {
namespace detail {

namespace {

// The graph's record limit: an edge keeps its first this many faces.
constexpr unsigned kMaxListLength = CEdgeToFaceGraph::Lists::kMaxRecordLength;

// One non-degenerate edge of a live face on its way into the table.
struct EdgeEntry {
    unsigned larger;  // the larger end (the smaller one is the group it sits in)
    int face;
    unsigned corner;  // index of the corner that starts the edge, among all corners
};

}  // namespace

void CEdgeFaceTable::Free() {
    m_cornerStart.RemoveAll();
    m_cornerKey.RemoveAll();
    m_cornerList.RemoveAll();
    m_listStart.RemoveAll();
    m_faces.RemoveAll();
}

bool CEdgeFaceTable::ListHolds(unsigned list, int f) const {
    unsigned count = 0;
    const int* faces = ListFaces(list, count);
    if (count < kMaxListLength) return true;
    return std::binary_search(faces, faces + count, f);
}

bool CEdgeFaceTable::Build(const CFaceList& faces) {
    Free();
    const int faceCount = faces.GetSize();
    if (faceCount <= 0) return false;

    // Corners of the live faces, and the point range their edges use.
    m_cornerStart.SetSize(faceCount + 1);
    uint64_t corners = 0, edges = 0;
    unsigned points = 0;
    for (int f = 0; f < faceCount; ++f) {
        m_cornerStart[f] = unsigned(corners);
        if (!IsLiveFaceFlags(faces.GetFaceFlags(unsigned(f)))) continue;
        int k = 0;
        const int* idx = faces.GetIndexes(unsigned(f), k);
        for (int i = 0; i < k; ++i) {
            if (idx[i] < 0) {
                Free();
                return false;
            }
            if (unsigned(idx[i]) >= points) points = unsigned(idx[i]) + 1;
            edges += idx[i] != idx[i + 1 < k ? i + 1 : 0];
        }
        corners += unsigned(k);
    }
    if (corners == 0 || corners >= uint64_t(INT_MAX)) {
        Free();
        return false;
    }
    m_cornerStart[faceCount] = unsigned(corners);
    m_cornerKey.SetSize(int(corners));
    m_cornerList.SetSize(int(corners));

    // Counting sort of the edges on their smaller end, in face order within each point.
    CXArray<unsigned> firstArray;
    firstArray.SetSize(int(points) + 1);
    unsigned* const first = firstArray.GetData();
    std::memset(first, 0, (size_t(points) + 1) * sizeof(unsigned));
    uint64_t* const key = m_cornerKey.GetData();
    unsigned* const listOf = m_cornerList.GetData();
    for (int f = 0; f < faceCount; ++f) {
        unsigned c = m_cornerStart[f];
        const unsigned end = m_cornerStart[f + 1];
        if (c == end) continue;
        int k = 0;
        const int* idx = faces.GetIndexes(unsigned(f), k);
        for (int i = 0; c < end; ++i, ++c) {
            const unsigned a = unsigned(idx[i]), b = unsigned(idx[i + 1 < k ? i + 1 : 0]);
            key[c] = Key(a, b);
            listOf[c] = kNoList;
            if (a != b) ++first[a < b ? a : b];
        }
    }
    unsigned sum = 0;
    for (unsigned p = 0; p <= points; ++p) {
        const unsigned n = first[p];
        first[p] = sum;
        sum += n;
    }
    CXArray<EdgeEntry> entryArray;
    entryArray.SetSize(int(edges));
    EdgeEntry* const entries = entryArray.GetData();
    for (int f = 0; f < faceCount; ++f) {
        for (unsigned c = m_cornerStart[f], end = m_cornerStart[f + 1]; c < end; ++c) {
            const unsigned low = unsigned(key[c] >> 32), high = unsigned(key[c]);
            if (low != high) entries[first[low]++] = EdgeEntry{high, f, c};
        }
    }

    // first[p] is now the end of p's edges. Within each point, the edges by their larger end
    // (stable, so that each edge's faces stay in face order); each run of one edge is a list.
    m_listStart.PreAllocate(int(edges / 2 + 2));
    m_faces.PreAllocate(int(edges));
    const auto byLarger = [](const EdgeEntry& x, const EdgeEntry& y) { return x.larger < y.larger; };
    unsigned begin = 0;
    for (unsigned p = 0; p < points; ++p) {
        EdgeEntry* const group = entries + begin;
        const unsigned size = first[p] - begin;
        begin = first[p];
        if (size > 16) {
            std::stable_sort(group, group + size, byLarger);
        } else {
            for (unsigned i = 1; i < size; ++i)
                for (unsigned j = i; j > 0 && group[j].larger < group[j - 1].larger; --j) std::swap(group[j], group[j - 1]);
        }
        for (unsigned r = 0; r < size;) {
            unsigned q = r + 1;
            while (q < size && group[q].larger == group[r].larger) ++q;
            const unsigned list = unsigned(m_listStart.GetSize());
            m_listStart.Add(unsigned(m_faces.GetSize()));
            unsigned listed = 0;
            for (unsigned j = r; j < q; ++j) {
                // A face's edges are consecutive entries: a face with the edge twice is listed once.
                if (listed < kMaxListLength && (j == r || group[j].face != group[j - 1].face)) {
                    m_faces.Add(group[j].face);
                    ++listed;
                }
                listOf[group[j].corner] = list;
            }
            r = q;
        }
    }
    m_listStart.Add(unsigned(m_faces.GetSize()));
    return true;
}

}  // namespace detail
}  // namespace kestovar
