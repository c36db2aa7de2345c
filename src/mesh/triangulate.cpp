// Ear clipping of polygons and the triangulation of face lists and objects.
#include "kestovar/mesh/triangulate.h"

#include <cmath>
#include <cstring>
#include <typeinfo>

#include "ear_clip_index.h"
#include "kestovar/core/log.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "normal_internal.h"
#include "platform/cpu_features.h"
#include "quad_clip.h"

namespace kestovar {

namespace {

using detail::kMaxPreferredAngle;

// Clip indexes the corners of polygons from this length on (see ear_clip_index.h); below it the
// walks over the polygon cost less than setting the index up.
constexpr int kIndexedClipCorners = 48;

}  // namespace

// ---- corner records ---------------------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(C2DPointExtMethods, CPointMethods, 1)

C2DPointExt& C2DPointExt::operator=(const CPt& src) {
    if (&src == this) return *this;
    if (typeid(src) == typeid(C2DPointExt)) return *this = static_cast<const C2DPointExt&>(src);
    C2DTPoint<float>::operator=(src);
    x = u;
    y = v;
    return *this;
}

C2DPointExt& C2DPointExt::operator=(const C4DPoint& src) {
    C2DTPoint<float>::operator=(src);
    x = u;
    y = v;
    return *this;
}

namespace {

// Whether the pair split takes its AVX form (see ClipConvexQuadPairAvx), asked once.
bool PairSplitAvx() {
    static const bool avx = ProcessorHasAvx();
    return avx;
}

// Whether four or eight quadrangles can be split at once (see ClipConvexQuadFourAvx2), asked
// once.
bool FourSplitAvx2() {
    static const bool avx2 = ProcessorHasAvx2();
    return avx2;
}

}  // namespace

C2DPointExtList::C2DPointExtList() : CPointList(SharedElementMethods<C2DPointExtMethods>()) {}
C2DPointExtList::~C2DPointExtList() = default;

CTriangulateFaceHelper::CTriangulateFaceHelper()
    : m_quick{},
      m_pair{},
      m_group{},
      m_avx(PairSplitAvx()),
      m_avx2(FourSplitAvx2()),
      m_pGeom(nullptr),
      m_pDestination(nullptr),
      m_pOwn(nullptr),
      m_pIndex(nullptr),
      m_indexFrom(kIndexedClipCorners),
      m_geomPlan{0, 0, 0, 0, 0},
      m_pProgress(nullptr),
      m_nextStep(~0u) {}
CTriangulateFaceHelper::~CTriangulateFaceHelper() {
    XRelease(m_pOwn);
    delete m_pIndex;
}

void CTriangulateFaceHelper::StepProgress(unsigned f) {
    // Triangulation has no way back once the new lists are being written, so a cancel asked
    // here is left to the caller's next step.
    m_pProgress->Step(int(f));
    m_nextStep = f + unsigned(m_pProgress->GetGranularity());
}

void CTriangulateFaceHelper::SetDestination(const CGeomInfo* geom, C3DFaceList* faces) {
    m_pGeom = geom;
    m_pDestination = faces;
}

void CTriangulateFaceHelper::AddChannel(CFaceList* src, CFaceList* dst) {
    if (!src || !dst) return;
    ChannelPair pair = {src, dst, {0, 0, 0, 0, 0}};
    m_channels.Add(pair);
}

C3DFaceList* CTriangulateFaceHelper::GetOwnFaceList() {
    if (!m_pOwn) m_pOwn = new C3DFaceList;
    return m_pOwn;
}

bool CTriangulateFaceHelper::Project(const C3DTPoint<float>* points, int pointCount, const int* indices,
                                     int count) {
    for (int i = 0; i < count; ++i) {
        int p = indices[i];
        if (p < 0 || p >= pointCount) return false;
        if (!std::isfinite(points[p].x) || !std::isfinite(points[p].y) || !std::isfinite(points[p].z))
            return false;
    }
    // A face without a normal (its single-precision Newell sums all below the epsilon, as
    // C3DFace::GetNormal decides) is not split.
    float sums[3];
    if (!detail::NewellSums(points, pointCount, indices, unsigned(count), sums)) return false;
    // Newell normal, in double.
    double nx = 0.0, ny = 0.0, nz = 0.0;
    for (int i = 0; i < count; ++i) {
        const C3DTPoint<float>& a = points[indices[i]];
        const C3DTPoint<float>& b = points[indices[(i + 1) % count]];
        nx += (double(a.y) - b.y) * (double(a.z) + b.z);
        ny += (double(a.z) - b.z) * (double(a.x) + b.x);
        nz += (double(a.x) - b.x) * (double(a.y) + b.y);
    }
    double nl = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(nl > 0.0) || !std::isfinite(nl)) return false;
    nx /= nl;
    ny /= nl;
    nz /= nl;

    const C3DTPoint<float>& c0 = points[indices[0]];
    double ux = 0.0, uy = 0.0, uz = 0.0;
    bool found = false;
    for (int i = 1; i < count && !found; ++i) {
        const C3DTPoint<float>& c = points[indices[i]];
        ux = double(c.x) - c0.x;
        uy = double(c.y) - c0.y;
        uz = double(c.z) - c0.z;
        found = std::fabs(ux) >= 1e-15 || std::fabs(uy) >= 1e-15 || std::fabs(uz) >= 1e-15;
    }
    if (!found) return false;
    double ul = std::sqrt(ux * ux + uy * uy + uz * uz);
    if (ul > 1e-15) {
        ux /= ul;
        uy /= ul;
        uz /= ul;
    }
    double vx = ny * uz - nz * uy, vy = nz * ux - nx * uz, vz = nx * uy - ny * ux;

    m_corners.SetSize(count, true);  // the memory stays for the next face
    C2DPointExt* c = m_corners.GetData();
    for (int i = 0; i < count; ++i) {
        const C3DTPoint<float>& p = points[indices[i]];
        double dx = double(p.x) - c0.x, dy = double(p.y) - c0.y, dz = double(p.z) - c0.z;
        c[i].x = dx * ux + dy * uy + dz * uz;
        c[i].y = dx * vx + dy * vy + dz * vz;
        c[i].u = float(c[i].x);
        c[i].v = float(c[i].y);
        c[i].corner = i;
        c[i].point = indices[i];
        c[i].prev = i == 0 ? count - 1 : i - 1;
        c[i].next = i == count - 1 ? 0 : i + 1;
    }
    for (int i = 0; i < count; ++i) UpdateAngle(i);
    return true;
}

void CTriangulateFaceHelper::UpdateAngle(int corner) {
    C2DPointExt* c = m_corners.GetData();
    C2DPointExt& k = c[corner];
    const C2DPointExt& p = c[k.prev];
    const C2DPointExt& n = c[k.next];
    double e1x = p.x - k.x, e1y = p.y - k.y;
    double e2x = n.x - k.x, e2y = n.y - k.y;
    k.angle = std::atan2(e1y * e2x - e1x * e2y, e1y * e2y + e1x * e2x);
    k.convex = k.angle >= 0.0;
}

int CTriangulateFaceHelper::Clip(const C3DTPoint<float>* points, int pointCount, const int* indices,
                                 int count) {
    m_triangles.SetSize(0);
    if (count < 3 || !points || !indices || !Project(points, pointCount, indices, count)) return 0;
    C2DPointExt* c = m_corners.GetData();

    int candidate = -1;
    for (int i = 1; i < count; ++i)
        if (c[i].convex && (candidate < 0 || c[i].angle < c[candidate].angle)) candidate = i;
    // Each ear is found and checked by walks over the remaining polygon, or, on long polygons, by
    // the index, which gives the same answers in about log n.
    detail::CEarClipIndex* index = nullptr;
    if (count >= m_indexFrom) {
        if (!m_pIndex) m_pIndex = new detail::CEarClipIndex;
        index = m_pIndex;
        index->Build(c, count);
    }
    int remaining = count;
    int anchor = 0;  // some corner still in the polygon, to walk it from
    while (remaining >= 3) {
        if (candidate < 0 || !c[candidate].convex || c[candidate].angle > kMaxPreferredAngle) {
            int best = -1;
            if (index) {
                best = index->FindSharpest(anchor, candidate);
            } else {
                int k = anchor;
                for (int s = 0; s < remaining; ++s, k = c[k].next)
                    if (k != candidate && c[k].convex && (best < 0 || c[k].angle < c[best].angle)) best = k;
            }
            if (best < 0 || !(c[best].angle > 0.0)) break;
            candidate = best;
        }
        const C2DPointExt& e = c[candidate];
        const C2DPointExt& n = c[e.next];
        const C2DPointExt& p = c[e.prev];
        // A reflex corner inside the ear means the ear would cover a notch of the polygon.
        if (index ? index->IsEarBlocked(c, candidate, remaining) : detail::EarBlockedByWalk(c, candidate)) {
            c[candidate].convex = false;
            if (index) index->Update(c, candidate, false);
            candidate = e.next;
            continue;
        }
        if (e.point != n.point && e.point != p.point && n.point != p.point) {
            m_triangles.Add(e.corner);
            m_triangles.Add(n.corner);
            m_triangles.Add(p.corner);
        }
        int ni = e.next, pi = e.prev;
        c[pi].next = ni;
        c[ni].prev = pi;
        if (index) index->Update(c, candidate, true);
        --remaining;
        anchor = ni;
        if (remaining < 3) break;  // the last ear: nothing is left to measure
        UpdateAngle(pi);
        UpdateAngle(ni);
        if (index) {
            index->Update(c, pi, false);
            index->Update(c, ni, false);
        }
        candidate = (c[ni].convex && c[ni].angle < c[pi].angle) ? ni : pi;
    }
    return m_triangles.GetSize() / 3;
}

// ---- one face ----------------------------------------------------------------------------------

bool C3DFace::Get2DCoordinates(const CGeomInfo* geom, C2DPointList& points) const {
    points.SetSize(0);
    const C3DPointList* list = geom ? geom->GetSrc3DPointList() : nullptr;
    if (!list || !IsValid()) return false;
    CTriangulateFaceHelper helper;
    if (!helper.Project(list->GetPoints(), list->GetSize(), m_pIndexes, int(m_nCount))) return false;
    const C2DPointExtList& corners = helper.GetCorners();
    for (int i = 0; i < corners.GetSize(); ++i) points.Add(float(corners[i].x), float(corners[i].y));
    return true;
}

CTriangulateFaceHelper* C3DFace::InitTriangulation(const CGeomInfo* geom) {
    CTriangulateFaceHelper* helper = new CTriangulateFaceHelper;
    helper->SetDestination(geom, geom ? geom->GetDst3DFaceList() : nullptr);
    return helper;
}

void C3DFace::ReleaseTriangulation(CTriangulateFaceHelper* helper) {
    delete helper;
}

// ---- writing the triangles ----------------------------------------------------------------------

int CTriangulateFaceHelper::Split(const C3DTPoint<float>* points, int pointCount, const int* indices,
                                  int count, const int*& corners) {
    // Strictly convex quadrangles (most of them in practice) skip the general clipping.
    if (count == 4) {
        const int quick = detail::ClipConvexQuad(points, pointCount, indices, m_quick);
        if (quick >= 0) {
            corners = m_quick;
            return quick;
        }
    }
    const int made = Clip(points, pointCount, indices, count);
    corners = m_triangles.GetData();
    return made;
}

void CTriangulateFaceHelper::SplitQuadPair(const C3DTPoint<float>* points, int pointCount, const int* a,
                                           const int* b, int made[2], const int* corners[2]) {
    const int* indices[2] = {a, b};
    bool inRange = points != nullptr;
    for (int i = 0; i < 4; ++i)
        inRange = inRange && unsigned(a[i]) < unsigned(pointCount) && unsigned(b[i]) < unsigned(pointCount);
    made[0] = made[1] = -1;
    if (inRange) {
        if (m_avx)
            detail::ClipConvexQuadPairAvx(points, indices, m_pair, made);
        else
            detail::ClipConvexQuadPair(points, indices, m_pair, made);
    }
    for (int lane = 0; lane < 2; ++lane) {
        corners[lane] = m_pair[lane];
        if (made[lane] >= 0) continue;
        // Left to the one-face split, whose buffers the next split reuses: this lane's triangles
        // (at most two) are kept here.
        const int* c = nullptr;
        made[lane] = Split(points, pointCount, indices[lane], 4, c);
        if (made[lane] > 0) std::memcpy(m_pair[lane], c, sizeof(int) * 3 * size_t(made[lane]));
    }
}

void CTriangulateFaceHelper::SplitQuadGroup(const C3DTPoint<float>* points, int pointCount, const int* const* quads,
                                            int count, int* made, const int** corners) {
    // Every index tested without short-circuits, a quadrangle's four at once.
    typedef unsigned U4 __attribute__((vector_size(16)));
    U4 outside = {0, 0, 0, 0};
    const U4 limit = U4{0, 0, 0, 0} + unsigned(pointCount);
    for (int q = 0; q < count; ++q) {
        U4 v;
        std::memcpy(&v, quads[q], sizeof v);
        outside |= (U4)(v >= limit);
    }
    const bool inRange = points != nullptr && (outside[0] | outside[1] | outside[2] | outside[3]) == 0;
    if (inRange && m_avx2) {
        // The lanes set every made[lane].
        if (count == 8)
            detail::ClipConvexQuadEightAvx2(points, quads, m_group, made);
        else
            detail::ClipConvexQuadFourAvx2(points, quads, m_group, made);
    } else {
        for (int q = 0; q < count; ++q) made[q] = -1;
    }
    for (int lane = 0; lane < count; ++lane) {
        corners[lane] = m_group[lane];
        if (made[lane] >= 0) continue;
        // Left to the one-face split, whose buffers the next split reuses (as in SplitQuadPair).
        const int* c = nullptr;
        made[lane] = Split(points, pointCount, quads[lane], 4, c);
        if (made[lane] > 0) std::memcpy(m_group[lane], c, sizeof(int) * 3 * size_t(made[lane]));
    }
}

CTriangulateFaceHelper::ChunkPlan CTriangulateFaceHelper::PlanChunks(const CFaceList& src, CFaceList& dst) {
    ChunkPlan plan = {m_plan.GetSize(), 0, 0, 0, 0};
    const CDataChunk& chunks = dst.GetDataChunks();
    int position = 0;
    uint32_t id = 0;
    // Slot order, as CDataChunk::CopyData walks them.
    for (CElementArray* to = chunks.GetFirstChunk(position, id); to; to = chunks.GetNextChunk(position, id)) {
        const CElementArray* from = src.GetData(id);
        if (!from || !CElementMethods::AreOfAKind(to->GetMethods(), from->GetMethods())) continue;
        const int bytes = to->GetSizeOfElement() < from->GetSizeOfElement() ? to->GetSizeOfElement()
                                                                            : from->GetSizeOfElement();
        ChunkCopy c = {to,
                       from,
                       to->GetMethods(),
                       from->GetMethods(),
                       bytes,
                       to->GetMethods()->IsObject() && from->GetMethods()->IsObject()};
        m_plan.Add(c);
        ++plan.crossCount;
    }
    // The usual case: nothing but the main data on either side, the flag word (channel faces)
    // or the flag word and the material (3D faces).
    const ChunkCopy* only = plan.crossCount == 1 ? m_plan.GetData() + plan.cross : nullptr;
    const bool mainOnly = only && chunks.GetChunksNbr() == 1 && only->dst == dst.GetMainArray() &&
                          !only->object && only->dst->GetSizeOfElement() == only->bytes &&
                          only->src->GetSizeOfElement() == only->bytes &&
                          (only->bytes == 4 || only->bytes == 8);
    plan.mainBytes = mainOnly ? only->bytes : 0;
    plan.self = m_plan.GetSize();
    for (CElementArray* to = chunks.GetFirstChunk(position, id); to; to = chunks.GetNextChunk(position, id)) {
        ChunkCopy c = {
            to, to, to->GetMethods(), to->GetMethods(), to->GetSizeOfElement(), to->GetMethods()->IsObject()};
        m_plan.Add(c);
        ++plan.selfCount;
    }
    return plan;
}

void CTriangulateFaceHelper::PlanAll(const CFaceList& src, CFaceList& dst, bool channels) {
    m_plan.SetSize(0);
    m_geomPlan = PlanChunks(src, dst);
    if (!channels) return;
    for (int i = 0; i < m_channels.GetSize(); ++i)
        m_channels[i].plan = PlanChunks(*m_channels[i].src, *m_channels[i].dst);
}

void CTriangulateFaceHelper::CopyChunks(int first, int count, unsigned to, unsigned from) const {
    const ChunkCopy* c = m_plan.GetData() + first;
    for (int i = 0; i < count; ++i, ++c) {
        uint8_t* d =
            static_cast<uint8_t*>(c->dst->GetData()) + size_t(to) * size_t(c->dst->GetSizeOfElement());
        const uint8_t* s = static_cast<const uint8_t*>(c->src->GetData()) +
                           size_t(from) * size_t(c->src->GetSizeOfElement());
        if (d == s) continue;
        if (c->object) {
            c->dstMethods->CopyElement(d, c->dstMethods, s, c->srcMethods);
        } else if (c->bytes == 8) {  // the flag word and material of a 3D face
            uint64_t v;
            std::memcpy(&v, s, 8);
            std::memcpy(d, &v, 8);
        } else if (c->bytes == 4) {
            uint32_t v;
            std::memcpy(&v, s, 4);
            std::memcpy(d, &v, 4);
        } else {
            std::memmove(d, s, size_t(c->bytes));
        }
    }
}

namespace {

// Corners `corners` of `indices` into record d, which records laid out for triangles already
// size.
inline void WriteTriangle(CFaceCollection& records, unsigned d, const int* indices, const int* corners) {
    CFaceCollection::Element* e = records.GetElement(d);
    if (e->GetSize() != 3) e = records.SetRecordSize(d, 3, true);
    int* out = e->GetData();
    out[0] = indices[corners[0]];
    out[1] = indices[corners[1]];
    out[2] = indices[corners[2]];
}

inline void StoreMain(uint8_t* slots, int t, int bytes, const uint32_t main[2]) {
    if (bytes == 8)
        std::memcpy(slots + size_t(t) * 8, main, 8);
    else
        std::memcpy(slots + size_t(t) * 4, main, 4);
}

}  // namespace

uint8_t* CTriangulateFaceHelper::MainOnly(const ChunkPlan& plan, unsigned f, int destination,
                                          uint32_t main[2]) const {
    const ChunkCopy& c = m_plan[plan.cross];
    main[1] = 0;
    if (plan.mainBytes == 8)
        std::memcpy(main, static_cast<const uint8_t*>(c.src->GetData()) + size_t(f) * 8, 8);
    else
        std::memcpy(main, static_cast<const uint8_t*>(c.src->GetData()) + size_t(f) * 4, 4);
    return static_cast<uint8_t*>(c.dst->GetData()) + size_t(destination) * size_t(plan.mainBytes);
}

void CTriangulateFaceHelper::WriteTriangles(unsigned f, const int* indices, int count, unsigned flags,
                                            const int* corners, int triangles, CFaceList& dst,
                                            int destination, bool geometryOnly) const {
    CFaceCollection& records = dst.GetRecords();
    const unsigned live = flags & ~unsigned(FACE_INVALID);
    if (m_geomPlan.mainBytes && triangles > 0) {
        // Every triangle gets the face's main data with the new flag word, nothing else (what
        // the copies below amount to).
        uint32_t main[2];
        uint8_t* slots = MainOnly(m_geomPlan, f, destination, main);
        main[0] = live;
        for (int t = 0; t < triangles; ++t) {
            WriteTriangle(records, unsigned(destination + t), indices, corners + 3 * t);
            StoreMain(slots, t, m_geomPlan.mainBytes, main);
        }
    } else {
        for (int t = 0; t < triangles; ++t) {
            const unsigned d = unsigned(destination + t);
            // The face's data goes to the first triangle; the others copy it within the
            // destination list (their flag words are rewritten below either way).
            if (t == 0)
                CopyChunks(m_geomPlan.cross, m_geomPlan.crossCount, d, f);
            else
                CopyChunks(m_geomPlan.self, m_geomPlan.selfCount, d, unsigned(destination));
            WriteTriangle(records, d, indices, corners + 3 * t);
            *static_cast<unsigned*>(dst.GetMainData(d)) = live;
        }
    }
    if (!geometryOnly) WriteChannelTriangles(f, count, corners, triangles, destination);
}

void CTriangulateFaceHelper::WriteChannelTriangles(unsigned f, int count, const int* corners, int triangles,
                                                   int destination) const {
    for (int i = 0; i < m_channels.GetSize(); ++i) {
        const ChannelPair& pair = m_channels[i];
        CFaceList* src = pair.src;
        CFaceList* cdst = pair.dst;
        if (f >= unsigned(src->GetSize()) || destination + triangles > cdst->GetSize()) continue;
        int ck = 0;
        const int* cidx = src->GetIndexes(f, ck);
        const unsigned cflags = src->GetFaceFlags(f);
        const bool split = IsLiveFaceFlags(cflags) && ck == count;
        const bool hide = IsLiveFaceFlags(cflags) && ck != count;
        CFaceCollection& crecords = cdst->GetRecords();
        if (pair.plan.mainBytes) {
            uint32_t main[2];
            uint8_t* slots = MainOnly(pair.plan, f, destination, main);
            if (split)
                main[0] = cflags & ~unsigned(FACE_INVALID);
            else if (hide)
                main[0] = cflags | FACE_HIDDEN;
            for (int t = 0; t < triangles; ++t) {
                if (split) WriteTriangle(crecords, unsigned(destination + t), cidx, corners + 3 * t);
                StoreMain(slots, t, pair.plan.mainBytes, main);
            }
            continue;
        }
        for (int t = 0; t < triangles; ++t) {
            const unsigned d = unsigned(destination + t);
            if (t == 0)
                CopyChunks(pair.plan.cross, pair.plan.crossCount, d, f);
            else
                CopyChunks(pair.plan.self, pair.plan.selfCount, d, unsigned(destination));
            if (split) {
                WriteTriangle(crecords, d, cidx, corners + 3 * t);
                *static_cast<unsigned*>(cdst->GetMainData(d)) = cflags & ~unsigned(FACE_INVALID);
            } else if (hide) {
                // Corner counts differ: the channel face cannot be split like the geometry.
                *static_cast<unsigned*>(cdst->GetMainData(d)) = cflags | FACE_HIDDEN;
            }
        }
    }
}

void CTriangulateFaceHelper::AppendChannelTriangles(unsigned f, int count, const int* corners, int triangles,
                                                    int destination, const unsigned* layout) const {
    for (int i = 0; i < m_channels.GetSize(); ++i) {
        const ChannelPair& pair = m_channels[i];
        int ck = 0;
        const int* cidx = pair.src->GetIndexes(f, ck);
        const unsigned cflags = pair.src->GetFaceFlags(f);
        const bool split = IsLiveFaceFlags(cflags) && ck == count;
        const bool hide = IsLiveFaceFlags(cflags) && ck != count;
        CFaceCollection& records = pair.dst->GetRecords();
        uint32_t main[2];
        uint8_t* slots = MainOnly(pair.plan, f, destination, main);
        if (split)
            main[0] = cflags & ~unsigned(FACE_INVALID);
        else if (hide)
            main[0] = cflags | FACE_HIDDEN;  // the channel face cannot be split like the geometry
        for (int t = 0; t < triangles; ++t) {
            if (split) {
                const int* c = corners + 3 * t;
                const int triangle[3] = {cidx[c[0]], cidx[c[1]], cidx[c[2]]};
                records.Add(triangle, 3, 3);
            } else {
                // The record the general pass lays out there and leaves as it is: empty when
                // every face splits, else zeros as many as the layout gave that position.
                if (layout)
                    records.Add(nullptr, layout[destination + t], layout[destination + t]);
                else
                    records.Add(nullptr, 0, 3);
            }
            StoreMain(slots, t, pair.plan.mainBytes, main);
        }
    }
}

void CTriangulateFaceHelper::AppendChannelCopies(unsigned f, unsigned count, int destination) const {
    for (int i = 0; i < m_channels.GetSize(); ++i) {
        const ChannelPair& pair = m_channels[i];
        unsigned ck = 0;
        const int* cidx = pair.src->GetRecords().Get(f, ck);
        // The general pass lays the record out with the geometric face's size, and SetRecord
        // keeps that room or, when the channel face is longer, writes it anew with its own size.
        pair.dst->GetRecords().Add(cidx, ck, ck > count ? ck : count);
        const int bytes = pair.plan.mainBytes;
        const ChunkCopy& c = m_plan[pair.plan.cross];
        std::memcpy(static_cast<uint8_t*>(c.dst->GetData()) + size_t(destination) * size_t(bytes),
                    static_cast<const uint8_t*>(c.src->GetData()) + size_t(f) * size_t(bytes), size_t(bytes));
    }
}

void CTriangulateFaceHelper::CopyWhole(const CFaceList& src, unsigned f, CFaceList& dst, unsigned to) const {
    if (to < unsigned(dst.GetSize()) && f < unsigned(src.GetSize())) {
        CopyChunks(m_geomPlan.cross, m_geomPlan.crossCount, to, f);
        unsigned n = 0;
        const int* values = src.GetRecords().Get(f, n);
        dst.GetRecords().SetRecord(to, values, n, true);
    }
    for (int i = 0; i < m_channels.GetSize(); ++i) {
        const ChannelPair& pair = m_channels[i];
        if (to >= unsigned(pair.dst->GetSize()) || f >= unsigned(pair.src->GetSize())) continue;
        CopyChunks(pair.plan.cross, pair.plan.crossCount, to, f);
        unsigned n = 0;
        const int* values = pair.src->GetRecords().Get(f, n);
        pair.dst->GetRecords().SetRecord(to, values, n, true);
    }
}

// ---- one face ----------------------------------------------------------------------------------

int C3DFace::Triangulate(CTriangulateFaceHelper* helper, int destination, int maxTriangles) {
    const CGeomInfo* geom = helper ? helper->GetGeomInfo() : nullptr;
    const C3DPointList* pointList = geom ? geom->GetSrc3DPointList() : nullptr;
    if (!pointList || !IsValid()) return 0;
    const int k = int(m_nCount);
    const int* corners = nullptr;
    int triangles = helper->Split(pointList->GetPoints(), pointList->GetSize(), m_pIndexes, k, corners);
    if (maxTriangles > 0 && triangles > maxTriangles) triangles = maxTriangles;
    const bool own = destination == -1;
    C3DFaceList* dst = own ? helper->GetOwnFaceList() : helper->GetDestination();
    if (!dst || dst == m_pList) return 0;
    if (own) {
        dst->InheritSettings(*m_pList);
        dst->SetSize(triangles, 3, SETSIZE_COMPACT_SLACK);
        destination = 0;
    }
    if (destination < 0 || destination >= dst->GetSize()) return 0;
    if (triangles > dst->GetSize() - destination) triangles = dst->GetSize() - destination;
    helper->PlanAll(*m_pList, *dst, !own);
    helper->WriteTriangles(m_nFace, m_pIndexes, k, GetFlags(), corners, triangles, *dst, destination, own);
    return triangles;
}

int C3DFace::Triangulate(const CGeomInfo* geom, int destination, int maxTriangles) {
    if (!geom || !IsValid()) return 0;
    C3DFaceList* dst = geom->GetDst3DFaceList();
    if (destination == -1 && dst && dst != m_pList && m_nCount >= 3) {
        // Room at the end of the destination list; unused positions are dropped again.
        destination = dst->ExpandSize(int(m_nCount) - 2);
        CTriangulateFaceHelper* helper = InitTriangulation(geom);
        const int made = Triangulate(helper, destination, maxTriangles);
        ReleaseTriangulation(helper);
        dst->SetSize(destination + made);
        return made;
    }
    if (destination == -1) return 0;
    CTriangulateFaceHelper* helper = InitTriangulation(geom);
    const int made = Triangulate(helper, destination, maxTriangles);
    ReleaseTriangulation(helper);
    return made;
}

// ---- face list ------------------------------------------------------------------------------------

namespace {

inline bool TakesPart(unsigned size, unsigned flags, unsigned mask, bool value) {
    return size > 3 && ((flags & mask) == mask) == value;
}

}  // namespace

int CTriangulateFaceHelper::AppendTriangles(const CFaceList& src, const C3DTPoint<float>* points,
                                            int pointCount, CFaceList& dst, unsigned mask, bool value,
                                            const unsigned* layout) {
    const CFaceCollection& in = src.GetRecords();
    CFaceCollection& out = dst.GetRecords();
    const int mainBytes = m_geomPlan.mainBytes;
    const bool channels = m_channels.GetSize() > 0;
    // The main data as MainOnly reads and writes it, the flag word as GetFaceFlags reads it; the
    // arrays stay where they are for the whole pass.
    const ChunkCopy& mainCopy = m_plan[m_geomPlan.cross];
    const uint8_t* srcMain = static_cast<const uint8_t*>(mainCopy.src->GetData());
    uint8_t* dstMain = static_cast<uint8_t*>(mainCopy.dst->GetData());
    const CFaceFlagsView flagsOf(src);
    int written = 0;
    // The triangles' corners are gathered here and appended to the records a block at a time
    // (in order: a face copied whole first appends the block gathered before it).
    constexpr int kStageTriangles = 256;
    m_stage.SetSize(3 * kStageTriangles);
    int* const stage = m_stage.GetData();
    int staged = 0;
    auto flush = [&] {
        out.AddRecords(stage, 3, unsigned(staged));
        staged = 0;
    };
    auto emit = [&](unsigned f, const int* indices, int k, const int* corners, int triangles) {
        if (triangles > k - 2) triangles = k - 2;
        // The main data word by word, the flag word rewritten (each written once: no wider read
        // of narrower writes).
        const uint8_t* from = srcMain + size_t(f) * size_t(mainBytes);
        const uint32_t flags = flagsOf(f) & ~unsigned(FACE_INVALID);
        uint32_t second = 0;
        if (mainBytes == 8) std::memcpy(&second, from + 4, 4);
        uint8_t* slots = dstMain + size_t(written) * size_t(mainBytes);
        for (int t = 0; t < triangles; ++t) {
            // The block goes out whenever it is full, within a face too (a face may have more
            // triangles than the block holds).
            if (staged == kStageTriangles) [[unlikely]]
                flush();
            const int* c = corners + 3 * t;
            int* v = stage + 3 * staged++;
            v[0] = indices[c[0]];
            v[1] = indices[c[1]];
            v[2] = indices[c[2]];
            uint8_t* slot = slots + size_t(t) * size_t(mainBytes);
            std::memcpy(slot, &flags, 4);
            if (mainBytes == 8) std::memcpy(slot + 4, &second, 4);
        }
        if (channels) AppendChannelTriangles(f, k, corners, triangles, written, layout);
        written += triangles;
    };
    const unsigned n = unsigned(src.GetSize());
    unsigned f = 0;
    while (f < n) {
        Progress(f);
        const CFaceCollection::Element* e = in.GetElement(f);
        const unsigned k = e->GetSize();
        if (!TakesPart(k, flagsOf(f), mask, value)) {
            // Copied whole, as CopyWhole copies it onto the record the general pass lays out
            // with the face's size.
            flush();
            out.Add(e->GetData(), k, k);
            std::memcpy(dstMain + size_t(written) * size_t(mainBytes),
                        srcMain + size_t(f) * size_t(mainBytes), size_t(mainBytes));
            if (channels) AppendChannelCopies(f, k, written);
            ++written;
            ++f;
            continue;
        }
        if (m_avx2 && k == 4 && f + 3 < n) {
            // Eight, else four quadrangles in a row are split side by side where the processor
            // has AVX2.
            const int* quads[8] = {e->GetData()};
            int count = 1;
            const unsigned most = f + 8 <= n ? 8 : 4;
            while (unsigned(count) < most) {
                const CFaceCollection::Element* q = in.GetElement(f + unsigned(count));
                if (q->GetSize() != 4 || !TakesPart(4, flagsOf(f + unsigned(count)), mask, value)) break;
                quads[count++] = q->GetData();
            }
            if (count >= 4) {
                count = count == 8 ? 8 : 4;
                int made[8];
                const int* corners[8];
                SplitQuadGroup(points, pointCount, quads, count, made, corners);
                if (channels) {
                    for (int q = 0; q < count; ++q) emit(f + unsigned(q), quads[q], 4, corners[q], made[q]);
                } else {
                    // What emit does, with the block position and face count kept in locals.
                    if (staged + 2 * count > kStageTriangles) flush();
                    int* to = stage + 3 * staged;
                    uint8_t* slot = dstMain + size_t(written) * size_t(mainBytes);
                    int added = 0;
                    for (int q = 0; q < count; ++q) {
                        const unsigned fq = f + unsigned(q);
                        const uint32_t flags = flagsOf(fq) & ~unsigned(FACE_INVALID);
                        uint32_t second = 0;
                        if (mainBytes == 8) std::memcpy(&second, srcMain + size_t(fq) * 8 + 4, 4);
                        const int* indices = quads[q];
                        const int* c = corners[q];
                        const int triangles = made[q] < 2 ? made[q] : 2;
                        for (int t = 0; t < triangles; ++t, c += 3, to += 3, slot += mainBytes) {
                            to[0] = indices[c[0]];
                            to[1] = indices[c[1]];
                            to[2] = indices[c[2]];
                            std::memcpy(slot, &flags, 4);
                            if (mainBytes == 8) std::memcpy(slot + 4, &second, 4);
                        }
                        added += triangles;
                    }
                    staged += added;
                    written += added;
                }
                f += unsigned(count);
                continue;
            }
        }
        const CFaceCollection::Element* next = f + 1 < n ? in.GetElement(f + 1) : nullptr;
        if (k == 4 && next && next->GetSize() == 4 && TakesPart(4, flagsOf(f + 1), mask, value)) {
            // Two quadrangles in a row (the usual case) are split side by side.
            int made[2];
            const int* corners[2];
            SplitQuadPair(points, pointCount, e->GetData(), next->GetData(), made, corners);
            emit(f, e->GetData(), 4, corners[0], made[0]);
            emit(f + 1, next->GetData(), 4, corners[1], made[1]);
            f += 2;
            continue;
        }
        const int* corners = nullptr;
        const int triangles = Split(points, pointCount, e->GetData(), int(k), corners);
        emit(f, e->GetData(), int(k), corners, triangles);
        ++f;
    }
    flush();
    return written;
}

int C3DFaceList::DoTriangulation(CTriangulateFaceHelper* helper, _FACE_PROPERTIES mask, bool value) {
    C3DFaceList* dst = helper->GetDestination();
    const CGeomInfo* geom = helper->GetGeomInfo();
    const C3DPointList* pointList = geom ? geom->GetSrc3DPointList() : nullptr;
    const C3DTPoint<float>* points = pointList ? pointList->GetPoints() : nullptr;
    const int pointCount = pointList ? pointList->GetSize() : 0;
    // The chunk copies are resolved once; the destination lists are sized already, so their
    // chunk arrays stay where they are for the whole pass.
    helper->PlanAll(*this, *dst, true);
    const int n = m_nFaces;
    const int room = dst->GetSize();
    int written = 0;
    for (int f = 0; f < n; ++f) {
        helper->Progress(unsigned(f));
        const CFaceCollection::Element* e = m_faces.GetElement(unsigned(f));
        const unsigned k = e->GetSize();
        const unsigned flags = *static_cast<const unsigned*>(MainSlot(unsigned(f)));
        if (!TakesPart(k, flags, unsigned(mask), value)) {
            helper->CopyWhole(*this, unsigned(f), *dst, unsigned(written));
            ++written;
            continue;
        }
        if (!points || written >= room) continue;
        const int* corners = nullptr;
        int triangles = helper->Split(points, pointCount, e->GetData(), int(k), corners);
        if (triangles > int(k) - 2) triangles = int(k) - 2;
        if (triangles > room - written) triangles = room - written;
        helper->WriteTriangles(unsigned(f), e->GetData(), int(k), flags, corners, triangles, *dst, written,
                               false);
        written += triangles;
    }
    return written;
}

int C3DFaceList::Triangulate(CGeomInfo* geom, unsigned int channelMask, _FACE_PROPERTIES mask, bool value) {
    if (!geom) return 0;
    const int n = m_nFaces;
    // Which faces take part, and the size of every new face.
    int split = 0;
    int newCount = 0;
    uint64_t recordBytes = 0;  // of the new faces' records, each as long as its face
    // The records' headers read in place (offsets below 2^32, every face with a record), the
    // flag words through one view; otherwise face by face.
    const CFaceFlagsView flagsOf(*this);
    const COffsetArray& offsets = m_faces.GetOffsets();
    const uint32_t* narrow = offsets.GetSplitIndex() == COffsetArray::kNoSplit && m_faces.GetSize() >= unsigned(n)
                                 ? offsets.GetNarrowData()
                                 : nullptr;
    const unsigned char* records = m_faces.GetBuffer();
    for (int f = 0; f < n; ++f) {
        const unsigned k =
            narrow ? reinterpret_cast<const CFaceCollection::Element*>(records + narrow[f])->GetSize()
                   : GetFaceSize(unsigned(f));
        if (TakesPart(k, flagsOf(unsigned(f)), unsigned(mask), value)) {
            ++split;
            newCount += int(k) - 2;
            recordBytes += uint64_t(k - 2) * CFaceCollection::RecordBytes(3);
        } else {
            newCount += 1;
            recordBytes += CFaceCollection::RecordBytes(k);
        }
    }
    if (split == 0) return 0;
    CXArray<unsigned int> sizes;
    const bool allSplit = split == n;
    if (!allSplit) {
        sizes.SetSize(newCount);
        int o = 0;
        for (int f = 0; f < n; ++f) {
            const unsigned k = GetFaceSize(unsigned(f));
            if (TakesPart(k, GetFaceFlags(unsigned(f)), unsigned(mask), value)) {
                for (unsigned t = 0; t + 2 < k; ++t) sizes[o++] = 3;
            } else {
                sizes[o++] = k;
            }
        }
    }
    // Every face splits: all new faces are triangles, sized at once.
    auto sizeList = [&](CFaceList& list) {
        if (allSplit)
            list.SetSize(newCount, 3, SETSIZE_COMPACT_SLACK);
        else
            list.SetSize(newCount, sizes.GetData());
    };

    // The new lists are held until the view takes them, so that a failure on the way leaves
    // nothing behind.
    XHeld<C3DFaceList> heldFaces(new C3DFaceList);
    C3DFaceList* dst = heldFaces.get();
    dst->InheritSettings(*this);
    CTriangulateFaceHelper helper;
    helper.SetDestination(geom, dst);

    // Channels: copies without content keeping their identifiers; the channel points do not
    // change, so they are copied whole, and the channel faces are written with the geometry.
    CDependentChannels* srcChannels = geom->GetSrcChannels();
    XHeld<CDependentChannels> heldChannels(CDependentChannels::Create());
    CDependentChannels* dstChannels = heldChannels.get();
    if (srcChannels && channelMask) {
        for (int i = 0; i < srcChannels->GetSize(); ++i) {
            CChannel* c = srcChannels->GetChannel(i);
            if (!(c->GetType() & channelMask) || c->IsOneFlagSet(CHANNEL_INVALID | CHANNEL_DERIVED)) continue;
            CFaceList* cf = c->GetFaceList();
            if (cf && cf->GetSize() != n) continue;  // no longer parallel: dropped
            CChannel* copy = c->Copy(CHANNEL_COPY_KEEP_ID | CHANNEL_COPY_NO_CONTENT);
            if (!copy) continue;
            dstChannels->AddChannel(copy);  // owned by the set from here on
            if (c->GetPointList() && copy->GetPointList()) *copy->GetPointList() = *c->GetPointList();
            if (cf && copy->GetFaceList()) {
                CFaceList* df = copy->GetFaceList();
                df->InheritSettings(*cf);
                helper.AddChannel(cf, df);  // sized below
            }
        }
    }

    // When every list involved holds nothing but main data, the new faces are appended in order
    // (room reserved, chunks sized); otherwise the general pass writes into lists laid out
    // beforehand.
    const C3DPointList* pointList = geom->GetSrc3DPointList();
    helper.PlanAll(*this, *dst, true);
    bool append = pointList && pointList->GetPoints() && helper.m_geomPlan.mainBytes;
    for (int i = 0; i < helper.GetChannelCount(); ++i) {
        const CFaceList* df = helper.GetChannelDestination(i);
        append = append && helper.m_channels[i].plan.mainBytes && df->GetSize() == 0 &&
                 df->GetRecords().GetSize() == 0;
    }
    auto reserve = [&](CFaceList& list) {
        // What SetSize(newCount, ...) does, but for the records: room for them only.
        list.GetRecords().SetTypicalLength(3);
        list.GetRecords().Reserve(recordBytes, unsigned(newCount));
        list.GetDataChunks().SetDataSize(newCount);
    };
    if (append) {
        reserve(*dst);
        dst->m_nFaces = newCount;
        dst->MarkChanged();
    } else if (allSplit) {
        // The general pass writes into records laid out in index order, each already holding
        // three corners (all written by the pass).
        static const int kNoCorners[3] = {0, 0, 0};
        dst->m_faces.SetTypicalLength(3);
        dst->m_faces.Reserve(uint64_t(newCount) * CFaceCollection::RecordBytes(3), unsigned(newCount));
        for (int f = 0; f < newCount; ++f) dst->m_faces.Add(kNoCorners, 3, 3);
        dst->m_dataChunks.SetDataSize(newCount);
        dst->m_nFaces = newCount;
        dst->MarkChanged();
    } else {
        sizeList(*dst);
    }
    for (int i = 0; i < helper.GetChannelCount(); ++i) {
        if (append)
            reserve(*helper.GetChannelDestination(i));
        else
            sizeList(*helper.GetChannelDestination(i));
    }
    // Progress over the faces of the pass (as the weld reports over its points), ending at the
    // last face.
    CProgressScope progress(LoadResourceString(326).GetString(), LoadResourceString(325).GetString(), 0, n);
    helper.m_pProgress = &progress;
    helper.m_nextStep = 0;
    const int written =
        append ? helper.AppendTriangles(*this, pointList->GetPoints(), pointList->GetSize(), *dst,
                                        unsigned(mask), value, allSplit ? nullptr : sizes.GetData())
               : DoTriangulation(&helper, mask, value);
    progress.Step(n - 1);
    helper.m_pProgress = nullptr;
    helper.m_nextStep = ~0u;
    dst->SetSize(written);
    dst->SetFlag(FACELIST_CHANGED, true);
    for (int i = 0; i < helper.GetChannelCount(); ++i) {
        helper.GetChannelDestination(i)->SetSize(written);
        helper.GetChannelDestination(i)->SetFlag(FACELIST_CHANGED, true);
    }
    geom->SetFaceList(this, heldFaces.release(), 0);
    geom->SetChannels(srcChannels, heldChannels.release(), 0);
    return split;
}

// ---- object -------------------------------------------------------------------------------------

bool C3DGeomObject::Triangulate(unsigned int channelMask, _FACE_PROPERTIES mask, bool value) {
    if (m_kind != OBJECT_POLYMESH && m_kind != OBJECT_PATCH) return false;
    if (IsFlagSet(OBJECT_EMPTY) || !m_pFaceList || m_pFaceList->GetSize() == 0) return false;
    CLogTimer timer("C3DGeomObject::Triangulate");
    CGeomInfo geom(this);
    if (m_pFaceList->Triangulate(&geom, channelMask, mask, value) == 0) return false;
    C3DFaceList* faces = geom.GetDst3DFaceList(true);
    CDependentChannels* channels = geom.GetDstChannels(true);
    if (!faces || faces == m_pFaceList) {
        if (channels && channels != m_pChannels) channels->Delete();
        return false;
    }
    SetFaceList(faces, true);
    SetChannels(channels, true);
    CleanChannels(0xFFFFFFFFu, true);
    Invalidate(INVALIDATE_FACES, true);
    return true;
}

}  // namespace kestovar
