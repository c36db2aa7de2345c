// Incremental edits of the point-to-face graph, made by the simplification engine while it
// contracts edges: connect or disconnect one face at one point, move a point's faces onto another
// point, drop every reference to a removed face. Each edit keeps a point's record free of repeated
// faces and leaves the records of other points untouched.
#include "adjacency_internal.h"
#include "kestovar/mesh/face_graph.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

// ---- graph edits ---------------------------------------------------------------------------------------

bool CFaceList::GraphConnectFace(unsigned int p, unsigned int f) {
    if (!m_pPointToFaceGraph || p >= m_pPointToFaceGraph->GetSize()) return false;
    unsigned n;
    const int* faces = m_pPointToFaceGraph->Get(p, n);
    for (unsigned i = 0; i < n; ++i)
        if (faces[i] == int(f)) return false;
    m_pPointToFaceGraph->InsertValue(p, n, int(f));
    return true;
}

bool CFaceList::GraphDisconnectFace(unsigned int p, unsigned int f) {
    if (!m_pPointToFaceGraph || p >= m_pPointToFaceGraph->GetSize()) return false;
    unsigned n;
    const int* faces = m_pPointToFaceGraph->Get(p, n);
    for (unsigned i = 0; i < n; ++i) {
        if (faces[i] == int(f)) {
            m_pPointToFaceGraph->RemoveValue(p, i);
            return true;
        }
    }
    return false;
}

int CFaceList::GraphMergePointConnectivity(unsigned int p1, unsigned int p2) {
    CPointToFaceGraph* graph = m_pPointToFaceGraph;
    if (!graph || p1 >= graph->GetSize() || p2 >= graph->GetSize()) return 0;
    if (p1 == p2) return int(graph->GetRecordSize(p2));
    const unsigned n1 = graph->GetRecordSize(p1);
    for (unsigned i = 0; i < n1; ++i) {
        // Fetched anew each time: appending to p2 may move the records.
        unsigned c1, c2;
        const int face = graph->Get(p1, c1)[i];
        const int* faces2 = graph->Get(p2, c2);
        bool present = false;
        for (unsigned j = 0; j < c2 && !present; ++j) present = faces2[j] == face;
        if (!present) graph->InsertValue(p2, c2, face);
    }
    graph->SetRecord(p1, nullptr, 0);
    return int(graph->GetRecordSize(p2));
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
