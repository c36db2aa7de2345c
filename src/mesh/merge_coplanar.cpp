// Merging of adjacent coplanar faces into larger polygons: C3DFaceList::MergeCoplanarFaces and
// C3DGeomObject::MergeCoplanarFaces.
//
// Regions grow breadth-first from each face not yet grouped, in index order, across edges shared
// by exactly two faces, to faces of the same material whose normal lies within the angle of the
// face being expanded and where no attribute channel has a frontier. On top of that, a face only
// joins a region when the region stays a topological disc, so that every merged polygon is
// simple and its corners are the region's one border loop:
//   - the joining face's edges shared with the region are consecutive along the face, not all of
//     them, and each of them is shared with exactly one face of the region, run in the opposite
//     direction (a consistently oriented, manifold seam);
//   - every corner of the joining face that is already a point of the region lies on that seam;
//   - the region's border, the corners of its polygon, still fits one face record (65535
//     corners), so that a planar area too large for one polygon becomes several.
// A face that would close a ring around a hole (or touch the region at a lone point) is refused
// for now and tried again once the region has stopped growing, since the faces filling a pocket
// may have joined meanwhile. A planar area around a hole therefore becomes two or more simple
// polygons rather than one polygon with a hole: no polygon with an inner loop or a slit ever comes
// out, and the area is still covered exactly once.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "edge_face_table.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/log.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "normal_internal.h"

namespace kestovar {

namespace {

// Specified normals further apart than this (10 degrees) make an edge a normal frontier.
constexpr double kNormalFrontierAngle = 0.17453292519943295;
// Slack on the cosine test, so that faces of one plane whose normals round differently merge.
constexpr double kCosineSlack = 1e-6;
constexpr unsigned kFailed = 0xFFFFFFFFu;

// Whether face b lists exactly a's point indices, starting anywhere (same direction).
bool SameCycle(const int* a, int ka, const int* b, int kb) {
    if (ka != kb || ka == 0) return false;
    for (int s = 0; s < kb; ++s) {
        if (b[s] != a[0]) continue;
        int i = 1;
        while (i < ka && b[(s + i) % kb] == a[i]) ++i;
        if (i == ka) return true;
    }
    return false;
}

// Whether the face walks from a to b along one of its edges.
bool HasDirectedEdge(const int* idx, int k, int a, int b) {
    for (int i = 0; i < k; ++i)
        if (idx[i] == a && idx[i + 1 < k ? i + 1 : 0] == b) return true;
    return false;
}

// Whether the channel is of the class its type names, the one whose frontier test applies
// (a channel class of another origin may carry a known type).
bool IsKnownFrontierClass(const CChannel* c) {
    switch (c->GetType()) {
        case CHANNEL_UVW: return c->IsKindOf(KX_RUNTIME_CLASS(CUVWChannel));
        case CHANNEL_VC: return c->IsKindOf(KX_RUNTIME_CLASS(CVCChannel));
        case CHANNEL_SPEC_NORMAL: return c->IsKindOf(KX_RUNTIME_CLASS(CSpecNormalChannel));
        default: return false;
    }
}

// A face-mapped channel following the merge: its face list (parallel to the geometric faces),
// and where the merged faces go.
struct ChannelTarget {
    CFaceList* src;     // the channel's faces, read
    CFaceList* target;  // the list that receives the result (may be `src` itself)
    CFaceList* temp;    // the result while it is built
};

class CCoplanarMerger {
public:
    CCoplanarMerger(C3DFaceList& faces, const CGeomInfo* geom, double angle)
        : m_faces(faces), m_geom(geom), m_minCos(std::cos(angle) - kCosineSlack) {}

    // Groups the faces and writes the merged list. Returns the new face count, or kFailed on
    // cancellation or without points (nothing written).
    unsigned Run();

private:
    bool PrepareNormals();
    void PrepareChannels();
    bool Mergeable(int f) const { return m_mergeable[f] != 0; }
    // The live faces other than `f` and its duplicates among the faces `around` an edge of f (fi,
    // fk: f's indices), the first `capacity` of them in `out`; stops at capacity + 1 faces.
    int FacesAcross(int f, const int* fi, int fk, const int* around, int count, int* out, int capacity = 2) const;
    // FacesAcross for every edge of every mergeable face, once, from the lists of the edge-to-face
    // graph (through a CEdgeFaceTable): growing a region, testing a join and tracing a border
    // each ask again for the edges of the faces they visit.
    void PrepareAcross();
    // FacesAcross for the edge from corner i of f to the next corner, from that table; the count
    // is capped at 2, which its callers cannot tell apart from more.
    int Across(int f, int i, int* out) const {
        const int* e = m_across.GetData() + 2 * size_t(m_cornerStart[f] + unsigned(i));
        out[0] = e[0];
        out[1] = e[1];
        return e[0] < 0 ? 0 : e[1] < 0 ? 1 : 2;
    }
    bool IsFrontier(int a, int b, int f, int g) const;
    // Whether g may join the region; if so, `border` receives the region's border length after.
    bool CanJoin(int g, int region, int& border);
    // Puts g into the region, whose border is then `border` edges long.
    void Join(int g, int region, int border);
    void GrowRegion(int seed, int region);
    // Finds the border loop of the current region; false when it is not one simple loop.
    bool TraceBorder(int region);
    void Write();

    C3DFaceList& m_faces;
    const CGeomInfo* m_geom;
    double m_minCos;
    int m_nFaces = 0;
    int m_nPoints = 0;

    CXArray<float, float> m_normals;     // unit normal per face
    CXArray<unsigned char> m_mergeable;  // live, simple, in range, with a normal
    CXArray<int> m_region;               // region per face, -1 = not grouped
    CXArray<int> m_pointRegion;          // last region that holds the point
    CXArray<int> m_queue;
    CXArray<int> m_deferred;
    int m_borderLength = 0;  // edges on the border of the region being grown
    CXArray<CChannel*> m_frontierChannels;
    CXArray<unsigned> m_cornerStart;  // first corner of each face in m_across
    CXArray<int> m_across;             // two faces across each corner's edge, -1 past the count

    // Border loops of the merged regions: region r's corners are m_loop[m_loopStart[r] ..
    // m_loopStart[r + 1]) (empty for a region left as it was), each with the face and corner it
    // comes from.
    CXArray<int> m_loopStart;
    CXArray<int> m_loop;
    CXArray<int> m_loopFace;
    CXArray<int> m_loopCorner;
    CXArray<int> m_next;        // next border point from each border point
    CXArray<int> m_nextFace;    // the face and corner the border edge leaving the point comes from
    CXArray<int> m_nextCorner;
    CXArray<int> m_borderStamp;  // region whose border leaves the point
};

bool CCoplanarMerger::PrepareNormals() {
    const C3DPointList* points = m_geom->GetSrc3DPointList();
    if (!points) return false;
    m_nPoints = points->GetSize();
    const C3DTPoint<float>* pts = points->GetPoints();
    m_normals.SetSize(m_nFaces * 3);
    m_mergeable.SetSize(m_nFaces);
    float* out = m_normals.GetData();
    // The object's face normal channel, brought up to date, when it has one; else computed here
    // the same way (unit Newell normals).
    const C3DVectorList* channelNormals = nullptr;
    const C3DGeomObject* object = m_geom->GetGeomObject();
    CChannel* fc = object && object->GetChannels() ? object->GetChannels()->GetFaceNormalChannel()
                                                   : FindNormalChannel(m_geom, CHANNEL_FACE_NORMAL);
    if (fc && !fc->IsFlagSet(CHANNEL_INVALID) && fc->GetFaceList() == nullptr) {
        CFaceNormalChannel* channel = static_cast<CFaceNormalChannel*>(fc);
        channel->InitNormals(m_geom);
        if (channel->GetNormalVectorList() && channel->GetNormalVectorList()->GetSize() == m_nFaces)
            channelNormals = channel->GetNormalVectorList();
    }
    for (int f = 0; f < m_nFaces; ++f) {
        float* n = out + size_t(f) * 3;
        int k = 0;
        const int* idx = m_faces.GetIndexes(unsigned(f), k);
        bool ok = m_faces.IsFaceLive(unsigned(f)) && k >= 3;
        for (int i = 0; ok && i < k; ++i) {
            ok = unsigned(idx[i]) < unsigned(m_nPoints);
            for (int j = i + 1; ok && j < k; ++j) ok = idx[i] != idx[j];
        }
        const bool hasNormal = ok && detail::NewellSums(pts, m_nPoints, idx, unsigned(k), n);
        if (hasNormal) detail::NormalizeIfLong(n);
        if (channelNormals) {
            const C3DTVector<float>& v = channelNormals->GetVectors()[f];
            n[0] = v.x;
            n[1] = v.y;
            n[2] = v.z;
        }
        ok = hasNormal && std::isfinite(n[0]) && std::isfinite(n[1]) && std::isfinite(n[2]);
        m_mergeable[f] = ok ? 1 : 0;
    }
    return true;
}

void CCoplanarMerger::PrepareChannels() {
    const CDependentChannels* channels = m_geom->GetSrcChannels();
    if (!channels) return;
    for (int i = 0; i < channels->GetSize(); ++i) {
        CChannel* c = channels->GetChannel(i);
        if (c->IsFlagSet(CHANNEL_INVALID) || !c->GetFaceList() || c->GetFaceList()->GetSize() != m_nFaces) continue;
        if (c->GetType() == CHANNEL_UVW || c->GetType() == CHANNEL_VC || c->GetType() == CHANNEL_SPEC_NORMAL)
            m_frontierChannels.Add(c);
    }
}

int CCoplanarMerger::FacesAcross(int f, const int* fi, int fk, const int* around, int count, int* out,
                                 int capacity) const {
    int n = 0;
    for (int j = 0; j < count; ++j) {
        const int g = around[j];
        if (g == f || g < 0 || g >= m_nFaces) continue;
        int gk = 0;
        const int* gi = m_faces.GetIndexes(unsigned(g), gk);
        if (SameCycle(fi, fk, gi, gk)) continue;  // a duplicate of f: set aside
        if (n < capacity) out[n] = g;
        if (++n > capacity) break;
    }
    return n;
}

void CCoplanarMerger::PrepareAcross() {
    m_cornerStart.SetSize(m_nFaces + 1);
    uint64_t corners = 0;
    for (int f = 0; f < m_nFaces; ++f) {
        m_cornerStart[f] = unsigned(corners);
        if (Mergeable(f)) corners += m_faces.GetFaceSize(unsigned(f));
    }
    if (corners > uint64_t(INT_MAX / 2)) XThrow<CXMemoryException>("MergeCoplanarFaces: too many face corners");
    m_cornerStart[m_nFaces] = unsigned(corners);
    m_across.SetSize(int(2 * corners));
    detail::CEdgeFaceTable table;
    table.Build(m_faces);
    // A stack of copies of one face makes each copy scan all the others on each of its edges to
    // set them aside, quadratic in the copies. Copies (the same cycle of points) have the same
    // faces across each edge, so for a long list the face that asked and where its answer lies
    // are kept, found by the list's address, and the answer is reused by the next copy that asks.
    struct Kept {
        const int* list;
        int face;
        const int* across;  // the face's two entries in m_across for this list
    };
    constexpr int kLongList = 8;  // shorter lists are scanned at once
    constexpr unsigned kKeptBits = 6;
    Kept kept[1u << kKeptBits] = {};
    int* e = m_across.GetData();
    for (int f = 0; f < m_nFaces; ++f) {
        if (!Mergeable(f)) continue;
        int k = 0;
        const int* idx = m_faces.GetIndexes(unsigned(f), k);
        for (int i = 0; i < k; ++i, e += 2) {
            int count = 0;
            const int* around =
                table.Around(m_faces, unsigned(f), unsigned(idx[i]), unsigned(idx[i + 1 < k ? i + 1 : 0]), count);
            Kept* slot = nullptr;
            if (count > kLongList) {
                const uint64_t key = uint64_t(reinterpret_cast<uintptr_t>(around)) * 0x9E3779B97F4A7C15ull;
                slot = &kept[key >> (64 - kKeptBits)];
                int sk = 0;
                const int* si = slot->list == around ? m_faces.GetIndexes(unsigned(slot->face), sk) : nullptr;
                if (si && SameCycle(idx, k, si, sk)) {
                    e[0] = slot->across[0];
                    e[1] = slot->across[1];
                    continue;
                }
            }
            const int n = FacesAcross(f, idx, k, around, count, e);
            if (n < 2) e[1] = -1;
            if (n < 1) e[0] = -1;
            if (slot) *slot = Kept{around, f, e};
        }
    }
}

bool CCoplanarMerger::IsFrontier(int a, int b, int f, int g) const {
    const C3DEdge edge{unsigned(a), unsigned(b)};
    for (CChannel* c : m_frontierChannels) {
        if (!IsKnownFrontierClass(c)) continue;
        switch (c->GetType()) {
            case CHANNEL_UVW:
                if (static_cast<CUVWChannel*>(c)->IsUVFrontier(m_geom, 0.0f, edge, f, g)) return true;
                break;
            case CHANNEL_VC:
                if (static_cast<CVCChannel*>(c)->IsVCFrontier(m_geom, 0, edge, f, g)) return true;
                break;
            case CHANNEL_SPEC_NORMAL:
                if (static_cast<CSpecNormalChannel*>(c)->IsNormalFrontier(m_geom, kNormalFrontierAngle, edge, f, g))
                    return true;
                break;
            default: break;
        }
    }
    return false;
}

bool CCoplanarMerger::CanJoin(int g, int region, int& border) {
    int k = 0;
    const int* idx = m_faces.GetIndexes(unsigned(g), k);
    unsigned char sharedBuffer[256];
    CXArray<unsigned char> sharedHeap;
    unsigned char* shared = sharedBuffer;
    if (k > 256) {
        sharedHeap.SetSize(k);
        shared = sharedHeap.GetData();
    }
    int sharedCount = 0;
    int across[2];
    for (int i = 0; i < k; ++i) {
        const int a = idx[i], b = idx[i + 1 < k ? i + 1 : 0];
        shared[i] = 0;
        const int n = Across(g, i, across);
        bool inRegion = false;
        for (int j = 0; j < n && j < 2; ++j) inRegion = inRegion || m_region[across[j]] == region;
        if (!inRegion) continue;
        if (n != 1) return false;  // a seam shared by more than two faces
        const int h = across[0];
        int hk = 0;
        const int* hi = m_faces.GetIndexes(unsigned(h), hk);
        if (!HasDirectedEdge(hi, hk, b, a)) return false;  // orientations disagree
        if (IsFrontier(a, b, h, g)) return false;
        shared[i] = 1;
        ++sharedCount;
    }
    if (sharedCount == 0 || sharedCount == k) return false;
    // The region's polygon must fit a face record: its border grows by the face's new edges and
    // loses the shared ones.
    border = m_borderLength + k - 2 * sharedCount;
    if (border > int(CFaceCollection::kMaxRecordLength)) return false;
    int runs = 0;
    for (int i = 0; i < k; ++i)
        if (shared[i] && !shared[i == 0 ? k - 1 : i - 1]) ++runs;
    if (runs != 1) return false;
    for (int i = 0; i < k; ++i) {
        if (m_pointRegion[idx[i]] != region) continue;
        if (!shared[i] && !shared[i == 0 ? k - 1 : i - 1]) return false;  // touches at a lone point
    }
    return true;
}

void CCoplanarMerger::Join(int g, int region, int border) {
    m_region[g] = region;
    m_borderLength = border;
    int k = 0;
    const int* idx = m_faces.GetIndexes(unsigned(g), k);
    for (int i = 0; i < k; ++i) m_pointRegion[idx[i]] = region;
    m_queue.Add(g);
}

void CCoplanarMerger::GrowRegion(int seed, int region) {
    m_queue.SetSize(0);
    m_deferred.SetSize(0);
    Join(seed, region, int(m_faces.GetFaceSize(unsigned(seed))));
    const float* normals = m_normals.GetData();
    int head = 0;
    for (;;) {
        for (; head < m_queue.GetSize(); ++head) {
            const int f = m_queue[head];
            int k = 0;
            const int* idx = m_faces.GetIndexes(unsigned(f), k);
            const unsigned material = m_faces.GetFaceMaterial(unsigned(f));
            const float* nf = normals + size_t(f) * 3;
            for (int i = 0; i < k; ++i) {
                const int a = idx[i], b = idx[i + 1 < k ? i + 1 : 0];
                int across[2];
                if (Across(f, i, across) != 1) continue;
                const int g = across[0];
                if (m_region[g] != -1 || !Mergeable(g) || m_faces.GetFaceMaterial(unsigned(g)) != material) continue;
                const float* ng = normals + size_t(g) * 3;
                const double dot = double(nf[0]) * ng[0] + double(nf[1]) * ng[1] + double(nf[2]) * ng[2];
                if (!(dot >= m_minCos)) continue;
                if (IsFrontier(a, b, f, g)) continue;
                int border;
                if (CanJoin(g, region, border))
                    Join(g, region, border);
                else
                    m_deferred.Add(g);
            }
        }
        // The region stopped growing: faces refused earlier may fit now.
        bool joined = false;
        for (int i = 0; i < m_deferred.GetSize(); ++i) {
            const int g = m_deferred[i];
            int border;
            if (m_region[g] == -1 && CanJoin(g, region, border)) {
                Join(g, region, border);
                joined = true;
            }
        }
        if (!joined) break;
    }
}

bool CCoplanarMerger::TraceBorder(int region) {
    // Border edges: the edges of the region's faces with no other face of the region across.
    int edges = 0;
    int first = -1;
    for (int q = 0; q < m_queue.GetSize(); ++q) {
        const int h = m_queue[q];
        int k = 0;
        const int* idx = m_faces.GetIndexes(unsigned(h), k);
        for (int i = 0; i < k; ++i) {
            const int a = idx[i], b = idx[i + 1 < k ? i + 1 : 0];
            int across[2];
            const int n = Across(h, i, across);
            bool inner = false;
            for (int j = 0; j < n && j < 2; ++j) inner = inner || m_region[across[j]] == region;
            if (inner) continue;
            if (m_borderStamp[a] == region) return false;  // the border passes a point twice
            m_borderStamp[a] = region;
            m_next[a] = b;
            m_nextFace[a] = h;
            m_nextCorner[a] = i;
            if (first < 0) first = a;
            ++edges;
        }
    }
    // A border longer than a face record can hold would not fit its polygon: the faces stay.
    if (first < 0 || unsigned(edges) > CFaceCollection::kMaxRecordLength) return false;
    const int start = m_loop.GetSize();
    int p = first;
    int steps = 0;
    do {
        m_loop.Add(p);
        m_loopFace.Add(m_nextFace[p]);
        m_loopCorner.Add(m_nextCorner[p]);
        p = m_next[p];
        ++steps;
    } while (p != first && steps <= edges && m_borderStamp[p] == region);
    if (p != first || steps != edges) {
        m_loop.SetSize(start);
        m_loopFace.SetSize(start);
        m_loopCorner.SetSize(start);
        return false;
    }
    return true;
}

unsigned CCoplanarMerger::Run() {
    m_nFaces = m_faces.GetSize();
    // The scope opens before the preparation, which takes as long as a good part of the merge on
    // a large mesh: a cancel asked during it is taken between its steps.
    CProgressScope progress(LoadResourceString(326).GetString(), LoadResourceString(325).GetString(), 0,
                            m_nFaces);
    if (!PrepareNormals()) return kFailed;
    PrepareChannels();
    if (progress.ShouldCancel()) return kFailed;
    m_faces.UpdateEdgeToFaceGraph(m_geom);
    // The points' border status follows the faces before the merge, as the callers of a merge
    // read it (the merge itself reads the graph).
    if (CEdgeToFaceGraph* edges = m_faces.GetEdgeToFaceGraph())
        if (C3DPointList* points = m_geom->GetSrc3DPointList()) points->SetBorderPointsStatus(*edges, false);
    if (progress.ShouldCancel()) return kFailed;
    PrepareAcross();
    m_region.SetSize(m_nFaces);
    for (int& r : m_region) r = -1;
    m_pointRegion.SetSize(m_nPoints);
    m_borderStamp.SetSize(m_nPoints);
    m_next.SetSize(m_nPoints);
    m_nextFace.SetSize(m_nPoints);
    m_nextCorner.SetSize(m_nPoints);
    for (int p = 0; p < m_nPoints; ++p) m_pointRegion[p] = m_borderStamp[p] = -1;

    int regions = 0;
    for (int seed = 0; seed < m_nFaces; ++seed) {
        if (progress.Step(seed)) return kFailed;
        if (m_region[seed] != -1) continue;
        const int region = regions++;
        m_loopStart.Add(m_loop.GetSize());
        if (!Mergeable(seed)) {
            m_region[seed] = region;
            continue;
        }
        GrowRegion(seed, region);
        if (m_queue.GetSize() < 2) continue;
        if (!TraceBorder(region)) {
            // Not one simple loop after all: the faces stay as they are, each a region of its own.
            for (int q = 1; q < m_queue.GetSize(); ++q) {
                m_region[m_queue[q]] = regions++;
                m_loopStart.Add(m_loop.GetSize());
            }
        }
    }
    m_loopStart.Add(m_loop.GetSize());
    if (progress.ShouldCancel()) return kFailed;
    Write();
    return unsigned(regions);
}

void CCoplanarMerger::Write() {
    const int regions = m_loopStart.GetSize() - 1;
    // Each region is written at the place of its first face (its seed, the lowest index).
    CXArray<unsigned int> sizes;
    CXArray<int> seedOf;  // face written at each position
    sizes.SetSize(regions);
    seedOf.SetSize(regions);
    CXArray<unsigned char> written;
    written.SetSize(regions);
    std::memset(written.GetData(), 0, size_t(regions));
    int out = 0;
    for (int f = 0; f < m_nFaces; ++f) {
        const int r = m_region[f];
        if (written[r]) continue;
        written[r] = 1;
        const int loop = m_loopStart[r + 1] - m_loopStart[r];
        sizes[out] = loop > 0 ? unsigned(loop) : m_faces.GetFaceSize(unsigned(f));
        seedOf[out] = f;
        ++out;
    }

    C3DFaceList* dst = m_geom->GetDst3DFaceList();
    C3DFaceList temp;
    temp.InheritSettings(m_faces);
    temp.SetSize(out, sizes.GetData(), SETSIZE_COMPACT_EXACT);
    CFace view;
    for (int d = 0; d < out; ++d) {
        const int f = seedOf[d];
        const int r = m_region[f];
        const int b = m_loopStart[r], e = m_loopStart[r + 1];
        if (e == b) {
            temp.CopyFace(unsigned(d), unsigned(f), m_faces);
            continue;
        }
        temp.CopyFace(unsigned(d), unsigned(f), m_faces, true);
        temp.GetFace(unsigned(d), view);
        view.SetIndexes(m_loop.GetData() + b, unsigned(e - b));
    }

    // Channels: each face-mapped channel of the source set follows into the destination set's
    // channel at the same position, or, when the view has no separate destination set, in place.
    CDependentChannels* srcChannels = m_geom->GetSrcChannels();
    CDependentChannels* dstChannels = m_geom->GetDstChannels();
    const bool inPlace = !dstChannels || dstChannels == srcChannels;
    const int channelCount = srcChannels ? srcChannels->GetSize() : 0;
    for (int i = 0; i < channelCount; ++i) {
        CChannel* sc = srcChannels->GetChannel(i);
        CChannel* dc = inPlace ? sc : (i < dstChannels->GetSize() ? dstChannels->GetChannel(i) : nullptr);
        if (!dc) continue;
        CFaceList* sf = sc->GetFaceList();
        if (!inPlace && sc->GetPointList() && dc->GetPointList() && dc->GetPointList() != sc->GetPointList())
            *dc->GetPointList() = *sc->GetPointList();
        if (!sf || sf->GetSize() != m_nFaces || sc->IsFlagSet(CHANNEL_INVALID)) continue;
        CFaceList* df = dc->GetFaceList();
        if (!df) continue;
        CFaceList ctemp;
        ctemp.InheritSettings(*sf);
        ctemp.SetSize(out, sizes.GetData(), SETSIZE_COMPACT_EXACT);
        for (int d = 0; d < out; ++d) {
            const int f = seedOf[d];
            const int r = m_region[f];
            const int b = m_loopStart[r], e = m_loopStart[r + 1];
            if (e == b) {
                ctemp.CopyFace(unsigned(d), unsigned(f), *sf);
                continue;
            }
            ctemp.CopyFace(unsigned(d), unsigned(f), *sf, true);
            ctemp.GetFace(unsigned(d), view);
            // Each corner takes the channel corner of the face whose border edge leaves it; the
            // merged face is live only when every one of those channel faces is live with the
            // corners of its geometric face.
            bool live = true;
            for (int c = b; c < e && live; ++c) {
                const int h = m_loopFace[c];
                live = sf->IsFaceLive(unsigned(h)) && sf->GetFaceSize(unsigned(h)) == m_faces.GetFaceSize(unsigned(h));
            }
            if (!live) {
                view.SetSize(0);
                view.SetFlags(view.GetFlags() | FACE_INVALID | FACE_HIDDEN);
                continue;
            }
            view.SetSize(unsigned(e - b));
            int* corners = view.GetIndexes();
            for (int c = b; c < e; ++c) {
                int hk = 0;
                const int* hi = sf->GetIndexes(unsigned(m_loopFace[c]), hk);
                corners[c - b] = hi[m_loopCorner[c]];
            }
            view.SetFlags(view.GetFlags() & ~unsigned(FACE_NOT_LIVE));
        }
        *df = ctemp;
    }
    if (dst && dst != &m_faces)
        *dst = temp;
    else
        m_faces = temp;
}

}  // namespace

int C3DFaceList::MergeCoplanarFaces(const CGeomInfo* geom, double angle) {
    if (!geom || m_nFaces == 0) return int(kFailed);
    CCoplanarMerger merger(*this, geom, angle);
    const unsigned result = merger.Run();
    DeleteEdgeToFaceGraph();
    return int(result);
}

bool C3DGeomObject::MergeCoplanarFaces(double angle, unsigned int channelMask) {
    if (IsFlagSet(OBJECT_EMPTY) || !m_pFaceList || !m_pPointList || m_pFaceList->GetSize() == 0) return false;
    CLogTimer timer("C3DGeomObject::MergeCoplanarFaces");
    // The channels of the mask are shared on the source side and copied empty, with their
    // identifiers, on the destination side; derived channels (recomputed normals) are left out of
    // both so that the two sides stay position for position.
    // Held until handed over, so that a failure on the way releases them.
    XHeld<CDependentChannels> srcChannels, dstChannels;
    if (m_pChannels && m_pChannels->GetSize() > 0 && channelMask) {
        const unsigned skip = CHANNEL_COPY_SKIP_INVALID | CHANNEL_COPY_SKIP_DERIVED;
        srcChannels.reset(CDependentChannels::Create());
        srcChannels->CopyChannels(*m_pChannels, channelMask, skip | CHANNEL_COPY_SHARE, nullptr);
        dstChannels.reset(CDependentChannels::Create());
        dstChannels->CopyChannels(*m_pChannels, channelMask, skip | CHANNEL_COPY_KEEP_ID | CHANNEL_COPY_NO_CONTENT,
                                  nullptr);
    }
    XHeld<C3DFaceList> dst(new C3DFaceList);
    CGeomInfo geom(this);
    geom.SetFaceList(m_pFaceList, dst.get(), 0);
    geom.SetChannels(srcChannels.get(), dstChannels.get(), 0);
    const int before = m_pFaceList->GetSize();
    const int after = m_pFaceList->MergeCoplanarFaces(&geom, angle);
    srcChannels.reset();
    if (after < 0 || after == before) return false;
    SetFaceList(dst.release(), true);
    if (dstChannels)
        SetChannels(dstChannels.release(), true);
    else if (m_pChannels)
        m_pChannels->RemoveChannelsByType(~channelMask & unsigned(CHANNEL_ALL));
    CleanChannels(0xFFFFFFFFu, true);
    Invalidate(INVALIDATE_FACES, true);
    return true;
}

}  // namespace kestovar
