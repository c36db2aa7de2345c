// The flood-fill driver CFaceList::TagFaces and the two taggers of the library: isolated parts
// and consistent orientation.
#include "kestovar/mesh/face_tagger.h"

#include <typeinfo>

#include "edge_face_table.h"
#include "kestovar/core/log.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

// ---- CFaceTagger ----------------------------------------------------------------------------------

CFaceTagger::~CFaceTagger() = default;
bool CFaceTagger::InitProcess(CGeomInfo*) { return true; }
void CFaceTagger::EndProcess(unsigned int) {}
void CFaceTagger::BeginNewGroup(unsigned int, unsigned int) {}
bool CFaceTagger::BelongToGroup(unsigned int, unsigned int, int*, unsigned int) { return true; }
bool CFaceTagger::BelongToGroup(unsigned int, C3DEdge&, int*, unsigned int) { return true; }

const int* CFaceTagger::FacesAroundEdge(unsigned int f, unsigned int a, unsigned int b, int& count,
                                        unsigned int* list) const {
    if (m_pFaces && m_pEdgeTable) return m_pEdgeTable->Around(*m_pFaces, f, a, b, count, list);
    if (list) *list = detail::CEdgeFaceTable::kNoList;
    if (!m_pFaces) {  // not run yet
        count = 0;
        return nullptr;
    }
    return m_pFaces->GetFacesConnectedToEdge(C3DEdge(a, b), count);
}

// ---- driver ---------------------------------------------------------------------------------------

unsigned int CFaceList::TagFaces(CGeomInfo* geom, CFaceTagger& tagger, bool byEdge) {
    if (!geom) return 0;
    tagger.m_pGeom = geom;
    tagger.m_pPoints = geom->GetSrc3DPointList();
    tagger.m_pFaces = this;
    if (!tagger.InitProcess(geom)) return 0;
    // The graphs are not maintained by face writes: rebuild so that they describe the faces now.
    bool graph = byEdge ? UpdateEdgeToFaceGraph(geom) : UpdatePointToFaceGraph(geom);
    // The walk asks for the faces across every edge of every face, and a tagger may ask again:
    // the graph's lists gathered once (see CEdgeFaceTable) spare a chain of cache misses each.
    detail::CEdgeFaceTable edges;
    if (byEdge && graph) edges.Build(*this);
    struct TableScope {
        CFaceTagger& tagger;
        ~TableScope() { tagger.m_pEdgeTable = nullptr; }
    } scope{tagger};
    tagger.m_pEdgeTable = edges.IsBuilt() ? &edges : nullptr;
    // The library's own taggers take every candidate. After one offer of an edge's list (of a
    // point's faces in point mode), every face on it is then in a group or waits in the queue, so
    // a later offer of the same list queues nothing: it is skipped, which keeps the walk linear
    // where very many faces share an edge (a "book") or a point (a fan). A tagger of another class
    // may decide differently each time and is offered every list each time, as the walk reaches
    // it. `offered` has one bit per list of the table, or per point.
    const bool takesAll =
        typeid(tagger) == typeid(CIsolateFaceTagger) || typeid(tagger) == typeid(CUnifyTagger);
    const int offerSlots = !takesAll ? 0
                           : byEdge  ? (edges.IsBuilt() ? int(edges.ListCount()) : 0)
                                     : (tagger.m_pPoints ? tagger.m_pPoints->GetSize() : 0);
    CBitArray offered(offerSlots);
    const int n = m_nFaces;
    CBitArray processed(n);
    for (int f = 0; f < n; ++f)
        if (!IsFaceLive(unsigned(f))) processed.Set(f);
    // A face offered again while it waits in the queue would be skipped when reached: it enters
    // the queue once, which keeps the order of the walk and bounds the queue by the faces (around
    // a point of high valence every face offers all the others).
    CBitArray queued(n);
    CXArray<int> queue;
    CXArray<int> group;
    CXArray<int> candidates;
    queue.PreAllocate(64);
    unsigned int groups = 0;
    for (int seed = 0; seed < n; ++seed) {
        if (processed.Get(seed)) continue;
        tagger.BeginNewGroup(groups, unsigned(seed));
        queue.SetSize(0);
        group.SetSize(0);
        queue.Add(seed);
        queued.Set(seed);
        // The queue is consumed from `head`: an index array that only grows within a group.
        for (int head = 0; head < queue.GetSize(); ++head) {
            int f = queue[head];
            if (processed.Get(f)) continue;
            processed.Set(f);
            group.Add(f);
            if (!graph) continue;
            int k = 0;
            const int* idx = GetIndexes(unsigned(f), k);
            for (int i = 0; i < k; ++i) {
                int count = 0;
                const int* around;
                C3DEdge edge;
                if (byEdge) {
                    const unsigned a = unsigned(idx[i]), b = unsigned(idx[(i + 1) % k]);
                    edge.Set(a, b);
                    unsigned list = 0;
                    around = tagger.FacesAroundEdge(unsigned(f), a, b, count, &list);
                    if (offerSlots && list != detail::CEdgeFaceTable::kNoList) {
                        if (offered.Get(int(list))) continue;
                        offered.Set(int(list));
                    }
                } else {
                    const unsigned point = unsigned(idx[i]);
                    if (point < unsigned(offerSlots)) {
                        if (offered.Get(int(point))) continue;
                        offered.Set(int(point));
                    }
                    around = GetFacesConnectedToPoint(point, count);
                }
                candidates.SetSize(0);
                for (int j = 0; j < count; ++j) {
                    int g = around[j];
                    if (g != f && g >= 0 && g < n && !processed.Get(g)) candidates.Add(g);
                }
                if (candidates.IsEmpty()) continue;
                bool accept = byEdge ? tagger.BelongToGroup(unsigned(f), edge, candidates.GetData(),
                                                            unsigned(candidates.GetSize()))
                                     : tagger.BelongToGroup(unsigned(f), unsigned(idx[i]), candidates.GetData(),
                                                            unsigned(candidates.GetSize()));
                if (!accept) continue;
                for (int g : candidates)
                    if (g != int(REMAP_REMOVED) && !queued.Get(g)) {
                        queued.Set(g);
                        queue.Add(g);
                    }
            }
        }
        tagger.GroupFinished(group.GetData(), unsigned(group.GetSize()));
        ++groups;
    }
    tagger.EndProcess(groups);
    return groups;
}

// ---- isolated parts -----------------------------------------------------------------------------

CIsolateFaceTagger::CIsolateFaceTagger(C3DGeomObject* object, CXArray<C3DGeomObject*>& parts)
    : m_pObject(object), m_parts(parts), m_nLiveFaces(0) {}

CIsolateFaceTagger::~CIsolateFaceTagger() = default;

bool CIsolateFaceTagger::InitProcess(CGeomInfo* geom) {
    if (!m_pObject || !m_pFaces) return false;
    (void)geom;
    m_nLiveFaces = unsigned(m_pFaces->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false));
    return true;
}

void CIsolateFaceTagger::GroupFinished(const int* faces, unsigned int count) {
    if (count == m_nLiveFaces) return;  // the object is a single part
    C3DObject* part = m_pObject->SubObject(faces, count);
    if (part) m_parts.Add(part);
}

int C3DGeomObject::ExplodeIntoIsolatedParts(CXArray<C3DGeomObject*>& parts) {
    parts.RemoveAll();
    if (!m_pFaceList || m_pFaceList->GetSize() == 0) return 0;
    CGeomInfo geom(this);
    CIsolateFaceTagger tagger(this, parts);
    m_pFaceList->TagFaces(&geom, tagger, true);
    return parts.GetSize();
}

// ---- consistent orientation -----------------------------------------------------------------------

CUnifyTagger::CUnifyTagger(CBitArray& flipped) : m_flipped(flipped) {}
CUnifyTagger::~CUnifyTagger() = default;

bool CUnifyTagger::InitProcess(CGeomInfo* geom) {
    // The driver rebuilds the edge-to-face graph right after this call; it is deleted again in
    // EndProcess since flipping faces is the last use this run makes of it.
    (void)geom;
    if (!m_pFaces) return false;
    m_visited.SetSize(m_pFaces->GetSize(), false);
    m_patch.SetSize(0);  // numbered by the first patch pass of the run
    m_nPatches = 0;
    m_walked.SetSize(0);  // sized by the driver's table on first need
    m_tallyOf.SetSize(0);
    m_tallies.SetSize(0);
    return true;
}

void CUnifyTagger::EndProcess(unsigned int) {
    if (m_pFaces) m_pFaces->DeleteEdgeToFaceGraph();
}

namespace {

// Whether face `g` walks from a to b (in that direction) along one of its edges.
bool HasDirectedEdge(const int* idx, int k, int a, int b) {
    for (int i = 0; i < k; ++i)
        if (idx[i] == a && idx[(i + 1) % k] == b) return true;
    return false;
}

// Counts face h's run of the edge from a to b: the same direction disagrees with the face that
// runs it so, the opposite one agrees.
void Tally(CFaceList& list, int h, int a, int b, int& agree, int& disagree) {
    int hk = 0;
    const int* hidx = list.GetIndexes(unsigned(h), hk);
    if (HasDirectedEdge(hidx, hk, a, b))
        ++disagree;
    else if (HasDirectedEdge(hidx, hk, b, a))
        ++agree;
}

}  // namespace

void CUnifyTagger::Flip(int f) {
    int k = 0;
    int* w = m_pFaces->GetIndexes(unsigned(f), k);
    for (int lo = 0, hi = k - 1; lo < hi; ++lo, --hi) {
        const int t = w[lo];
        w[lo] = w[hi];
        w[hi] = t;
    }
    m_flipped.Set(f, !m_flipped.Get(f));
}

void CUnifyTagger::OrientAcross(int h, int a, int b) {
    int hk = 0;
    const int* hidx = m_pFaces->GetIndexes(unsigned(h), hk);
    if (HasDirectedEdge(hidx, hk, a, b)) Flip(h);
}

int CUnifyTagger::OtherFaceOfTwo(int f, int a, int b) const {
    const int n = m_pFaces->GetSize();
    int around = 0;
    const int* g = FacesAroundEdge(unsigned(f), unsigned(a), unsigned(b), around);
    int other = -1;
    for (int j = 0; j < around; ++j) {
        const int h = g[j];
        if (h == f || h < 0 || h >= n) continue;
        if (other >= 0) return -1;
        other = h;
    }
    return other;
}

void CUnifyTagger::GroupFinished(const int* faces, unsigned int count) {
    if (count == 0) return;
    // Breadth-first from the group's first face, whose orientation is kept: every face reached
    // across an edge is oriented against the face it was reached from, and then fixed.
    CFaceList& list = *m_pFaces;
    const int n = list.GetSize();
    if (m_pEdgeTable && m_walked.GetSize() != int(m_pEdgeTable->ListCount()))
        m_walked.SetSize(int(m_pEdgeTable->ListCount()), false);
    bool branched = false;  // an edge of the group is shared by more than two faces
    m_queue.SetSize(0);
    m_queue.Add(faces[0]);
    m_visited.Set(faces[0]);
    for (int head = 0; head < m_queue.GetSize(); ++head) {
        int f = m_queue[head];
        int k = 0;
        const int* idx = list.GetIndexes(unsigned(f), k);
        for (int i = 0; i < k; ++i) {
            int a = idx[i], b = idx[(i + 1) % k];
            if (a == b) continue;
            int around = 0;
            unsigned list = 0;
            const int* g = FacesAroundEdge(unsigned(f), unsigned(a), unsigned(b), around, &list);
            // The first visit of a table list marks every face on it: later visits would mark
            // nothing, and branch exactly when the list holds more than two faces (a face is in
            // the lists of its own edges unless the list is full, and a full list is long).
            if (list != detail::CEdgeFaceTable::kNoList) {
                if (m_walked.Get(int(list))) {
                    if (around > 2) branched = true;
                    continue;
                }
                m_walked.Set(int(list));
            }
            int others = 0;
            for (int j = 0; j < around; ++j) {
                int h = g[j];
                if (h == f || h < 0 || h >= n) continue;
                ++others;
                if (m_visited.Get(h)) continue;
                m_visited.Set(h);
                OrientAcross(h, a, b);
                m_queue.Add(h);
            }
            if (others > 1) branched = true;
        }
    }
    // Without a branching edge the patches below are the walk itself and change nothing.
    if (branched) OrientPatches(faces, count);
    RepairOrientation(faces, count);
}

template <class Visit>
void CUnifyTagger::ForEachQueuedEdge(Visit&& visit) const {
    const CFaceList& list = *m_pFaces;
    for (int f : m_queue) {
        QueuedEdge e{f, nullptr, 0, 0, 0, nullptr, 0, 0};
        e.idx = list.GetIndexes(unsigned(f), e.k);
        for (int i = 0; i < e.k; ++i) {
            e.a = e.idx[i];
            e.b = e.idx[(i + 1) % e.k];
            if (e.a == e.b) continue;
            e.around = FacesAroundEdge(unsigned(f), unsigned(e.a), unsigned(e.b), e.count, &e.list);
            visit(e);
        }
    }
}

void CUnifyTagger::OrientPatches(const int* faces, unsigned int count) {
    // The walk above crosses edges shared by three faces or more: two faces of one sheet reached
    // from a third face there are both oriented against it, and so against each other, and the
    // conflict spreads into the sheet. Here each patch (faces joined by edges that exactly two
    // faces share) is oriented from its first face across those edges only, and then turned over
    // as a whole when, across the branching edges, its faces disagree with more faces of earlier
    // patches than they agree with. The first patch keeps the orientation of the group's first face.
    CFaceList& list = *m_pFaces;
    const int n = list.GetSize();
    if (m_patch.GetSize() != n) {
        m_patch.SetSize(n);
        for (int& p : m_patch) p = -1;
    }
    const int firstPatch = m_nPatches;
    for (unsigned q = 0; q < count; ++q) {
        const int seed = faces[q];
        if (m_patch[seed] >= 0) continue;
        const int id = m_nPatches++;
        m_queue.SetSize(0);
        m_queue.Add(seed);
        m_patch[seed] = id;
        for (int head = 0; head < m_queue.GetSize(); ++head) {
            const int f = m_queue[head];
            int k = 0;
            const int* idx = list.GetIndexes(unsigned(f), k);
            for (int i = 0; i < k; ++i) {
                const int a = idx[i], b = idx[(i + 1) % k];
                if (a == b) continue;
                const int h = OtherFaceOfTwo(f, a, b);
                if (h < 0 || m_patch[h] >= 0) continue;
                m_patch[h] = id;
                OrientAcross(h, a, b);
                m_queue.Add(h);
            }
        }
        if (id != firstPatch) {
            int agree = 0, disagree = 0;
            ForEachQueuedEdge([&](const QueuedEdge& e) {
                if (IsLongList(e.list, e.count)) {
                    const SpineTally& t = SpineTallyOf(e.list, firstPatch);
                    agree += e.a < e.b ? t.backward : t.forward;
                    disagree += (e.a < e.b ? t.forward : t.backward) + t.both;
                    return;
                }
                for (int j = 0; j < e.count; ++j) {
                    const int h = e.around[j];
                    if (h == e.f || h < 0 || h >= n || m_patch[h] < firstPatch || m_patch[h] >= id) continue;
                    Tally(list, h, e.a, e.b, agree, disagree);
                }
            });
            if (disagree > agree)
                for (int f : m_queue) Flip(f);
        }
        AddToSpineTallies(firstPatch);
    }
}

// Long lists: the tallies of the faces of a group's decided patches, kept per list so that a
// patch on an edge of very many faces (a book's spine) does not read all of them again. Short
// lists are read face by face; both give the same counts.
bool CUnifyTagger::IsLongList(unsigned list, int count) {
    constexpr int kShortList = 8;
    return list != detail::CEdgeFaceTable::kNoList && count > kShortList;
}

const CUnifyTagger::SpineTally& CUnifyTagger::SpineTallyOf(unsigned list, int group) const {
    // A long list that no decided patch of this group has reached yet counts nothing.
    static constexpr SpineTally kNone = {-1, -1, 0, 0, 0};
    const int t = m_tallyOf.IsEmpty() ? -1 : m_tallyOf[int(list)];
    return t >= 0 && m_tallies[t].group == group ? m_tallies[t] : kNone;
}

void CUnifyTagger::AddToSpineTallies(int group) {
    if (!m_pEdgeTable) return;
    ForEachQueuedEdge([&](const QueuedEdge& e) {
        if (!IsLongList(e.list, e.count)) return;
        if (m_tallyOf.IsEmpty()) {
            m_tallyOf.SetSize(int(m_pEdgeTable->ListCount()));
            for (int& t : m_tallyOf) t = -1;
        }
        int& slot = m_tallyOf[int(e.list)];
        if (slot < 0) {
            slot = m_tallies.GetSize();
            m_tallies.Add(SpineTally{-1, -1, 0, 0, 0});
        }
        SpineTally& t = m_tallies[slot];
        if (t.group != group) t = SpineTally{group, -1, 0, 0, 0};
        // A face counts once per list, however many of its corners run along the edge.
        if (t.lastFace == e.f) return;
        t.lastFace = e.f;
        if (!m_pEdgeTable->ListHolds(e.list, e.f)) return;
        const int lo = e.a < e.b ? e.a : e.b, hi = e.a < e.b ? e.b : e.a;
        const bool forward = HasDirectedEdge(e.idx, e.k, lo, hi),
                   backward = HasDirectedEdge(e.idx, e.k, hi, lo);
        if (forward && backward)
            ++t.both;
        else if (forward)
            ++t.forward;
        else if (backward)
            ++t.backward;
    });
}

void CUnifyTagger::RepairOrientation(const int* faces, unsigned int count) {
    // On a part that cannot be oriented, the walks leave some edge shared by two faces traversed
    // the same way by both. A face that disagrees with more of its neighbours across such edges
    // than it agrees with is turned over: that strictly lowers the number of pairs running a
    // shared edge the same way, so the rounds end. Edges shared by more than two faces are left
    // to the patches; on a part the walks oriented consistently nothing moves.
    CFaceList& list = *m_pFaces;
    for (int round = 0; round < 16; ++round) {
        bool turned = false;
        for (unsigned q = 0; q < count; ++q) {
            const int f = faces[q];
            int k = 0;
            const int* idx = list.GetIndexes(unsigned(f), k);
            int agree = 0, disagree = 0;
            for (int i = 0; i < k; ++i) {
                const int a = idx[i], b = idx[(i + 1) % k];
                if (a == b) continue;
                const int h = OtherFaceOfTwo(f, a, b);
                if (h >= 0) Tally(list, h, a, b, agree, disagree);
            }
            if (disagree <= agree) continue;
            Flip(f);
            turned = true;
        }
        if (!turned) break;
    }
}

bool C3DFaceList::UnifyNormals(CGeomInfo* geom, CBitArray& flipped) {
    flipped.SetSize(0);
    flipped.SetSize(m_nFaces, false);
    if (m_nFaces == 0) return true;
    CUnifyTagger tagger(flipped);
    if (TagFaces(geom, tagger, true) == 0) return GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false) == 0;
    return true;
}

bool C3DGeomObject::UnifyNormals() {
    if (!m_pFaceList || m_pFaceList->GetSize() == 0) return false;
    CLogTimer timer("C3DGeomObject::UnifyNormals");
    CGeomInfo geom(this);
    CBitArray flipped;
    if (!m_pFaceList->UnifyNormals(&geom, flipped)) return false;
    for (int f = 0; f < flipped.GetSize(); ++f)
        if (flipped.Get(f) && m_pChannels) m_pChannels->FlipFace(unsigned(f));
    // The orientation was decided anew: what depends on the faces is marked out of date, whether
    // any face turned or not.
    Invalidate(INVALIDATE_FACES, true);
    return true;
}

}  // namespace kestovar
