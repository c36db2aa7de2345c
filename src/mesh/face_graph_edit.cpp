// Incremental edits of the point-to-face graph, made by the simplification engine while it
// contracts edges: connect or disconnect one face at one point, move a point's faces onto another
// point, drop every reference to a removed face. Each edit keeps a point's record free of repeated
// faces and leaves the records of other points untouched.
#include "adjacency_internal.h"
#include "kestovar/mesh/face_graph.h"
#include "kestovar/mesh/face_graph_edit.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

// ---- record merge and its room pool ---------------------------------------------------------------

void CGraphRoomPool::Clear() {
    for (CXArray<int>& bucket : m_buckets) bucket.RemoveAll();
}

void CGraphRoomPool::Keep(unsigned point, unsigned capacity) {
    if (capacity < kSmallest || capacity > kLargest) return;
    CXArray<int>& bucket = m_buckets[capacity];
    if (bucket.GetSize() < kDepth) bucket.Add(int(point));
}

int CGraphRoomPool::Take(const CPointToFaceGraph& graph, unsigned need, unsigned skip1, unsigned skip2) {
    for (unsigned c = need < kSmallest ? kSmallest : need; c <= kLargest; ++c) {
        CXArray<int>& bucket = m_buckets[c];
        while (bucket.GetSize() > 0) {
            const unsigned d = unsigned(bucket[bucket.GetSize() - 1]);
            bucket.SetSize(bucket.GetSize() - 1);
            const CPointToFaceGraph::Element* e = graph.GetElement(d);
            if (!e || e->GetSize() != 0 || e->GetCapacity() != c || d == skip1 || d == skip2) continue;
            return int(d);
        }
    }
    return -1;
}

int CGraphRoomPool::GetCount() const {
    int n = 0;
    for (const CXArray<int>& bucket : m_buckets) n += bucket.GetSize();
    return n;
}

namespace {

bool Contains(const int* values, unsigned count, int value) { return detail::FindValue(values, count, value) < count; }

}  // namespace

int MergePointToFaceRecords(CPointToFaceGraph& graph, unsigned removed, unsigned kept, CGraphRoomPool* pool) {
    if (removed >= graph.GetSize() || kept >= graph.GetSize()) return 0;
    if (removed == kept) return int(graph.GetRecordSize(kept));

    // Records hold no repeated face, so a face of `removed` is added unless `kept` had it before.
    unsigned n1, n2;
    const int* f1 = graph.Get(removed, n1);
    const int* f2 = graph.Get(kept, n2);
    unsigned added = 0;
    for (unsigned i = 0; i < n1; ++i) added += Contains(f2, n2, f1[i]) ? 0u : 1u;
    const unsigned total = n2 + added;
    const unsigned capacity = graph.GetElement(kept)->GetCapacity();

    int* out = nullptr;
    if (total <= capacity) {
        out = graph.SetRecordSize(kept, total)->GetData();
    } else if (const int d = pool ? pool->Take(graph, total, kept, removed) : -1; d >= 0) {
        // The kept faces go into d's room, the two records swap, and d keeps the kept point's old
        // room, emptied. Nothing moves in the buffer, so f1 stays valid.
        int* room = graph.SetRecordSize(unsigned(d), total)->GetData();
        for (unsigned j = 0; j < n2; ++j) room[j] = f2[j];
        graph.SwapRecords(unsigned(d), kept);
        graph.SetRecord(unsigned(d), nullptr, 0);
        pool->Keep(unsigned(d), capacity);
        out = room;
    } else {
        // Written anew at the end, with the growth margin of a one-value insertion; the buffer
        // may move (or be compacted), so the removed point's faces are fetched again.
        unsigned grown = capacity * 3 / 2;
        if (grown < total) grown = total;
        graph.SetRecordSize(kept, grown, true);
        out = graph.SetRecordSize(kept, total)->GetData();
        f1 = graph.Get(removed, n1);
    }
    for (unsigned i = 0, k = n2; i < n1; ++i)
        if (!Contains(out, n2, f1[i])) out[k++] = f1[i];

    graph.SetRecord(removed, nullptr, 0);
    if (pool) pool->Keep(removed, graph.GetElement(removed)->GetCapacity());
    return int(total);
}

// ---- graph edits ---------------------------------------------------------------------------------------

bool CFaceList::GraphConnectFace(unsigned int p, unsigned int f) {
    if (!m_pPointToFaceGraph || p >= m_pPointToFaceGraph->GetSize()) return false;
    unsigned n;
    const int* faces = m_pPointToFaceGraph->Get(p, n);
    if (detail::FindValue(faces, n, int(f)) < n) return false;
    m_pPointToFaceGraph->InsertValue(p, n, int(f));
    return true;
}

bool CFaceList::GraphDisconnectFace(unsigned int p, unsigned int f) {
    if (!m_pPointToFaceGraph || p >= m_pPointToFaceGraph->GetSize()) return false;
    unsigned n;
    const int* faces = m_pPointToFaceGraph->Get(p, n);
    const unsigned i = detail::FindValue(faces, n, int(f));
    if (i == n) return false;
    m_pPointToFaceGraph->RemoveValue(p, i);
    return true;
}

int CFaceList::GraphMergePointConnectivity(unsigned int p1, unsigned int p2) {
    return m_pPointToFaceGraph ? MergePointToFaceRecords(*m_pPointToFaceGraph, p1, p2, nullptr) : 0;
}

int CFaceList::GraphRemoveFaceReference(CGeomInfo* geom, unsigned int f, bool markPoints) {
    if (!m_pPointToFaceGraph) return 0;
    int k;
    const int* idx = GetIndexes(f, k);
    if (!idx) return 0;
    C3DPointList* points = markPoints ? detail::PointsFor(geom, this) : nullptr;
    int emptied = 0;
    for (int j = 0; j < k; ++j) {
        const unsigned p = unsigned(idx[j]);
        unsigned before = m_pPointToFaceGraph->GetRecordSize(p);
        // A point used twice by the face loses the face at its first occurrence only.
        if (!GraphDisconnectFace(p, f) || before != 1) continue;
        ++emptied;
        if (points)
            if (CPt* pt = points->GetPt(int(p))) pt->SetFlags(POINT_REMOVED, true);
    }
    return emptied;
}

}  // namespace kestovar
