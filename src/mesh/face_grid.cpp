// The face grid map: per-face cache entries, the grid build (cell size, triangle/cell overlap, the
// (cell, face) pairs in radix order), the exact closest point on a triangle and the outward cell
// search of the closest-face query. The faces kept out of the cells and the faces' extents are in
// face_grid_sizing.cpp, the copies and trees of crowded cells in face_grid_crowded.cpp.
//
// References: C. Ericson, Real-Time Collision Detection (2005), section 5.1.5, for the closest
// point on a triangle by Voronoi regions; T. Akenine-Moller, "Fast 3D Triangle-Box Overlap
// Testing" (2001), for the separating-axis test that decides which cells a triangle touches.
#include "kestovar/mesh/face_grid.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/prefetch.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/platform/huge_pages.h"
#include "mesh/face_grid_internal.h"
#include "mesh/key_sort.h"

namespace kestovar {

KX_IMPLEMENT_DYNAMIC(CGridFaceCacheMethods, CElementMethods)
KX_IMPLEMENT_DYNAMIC(C3DFaceGridMap, CXObject)

void CGridFaceCacheMethods::ConstructElement(void* element) const { std::memset(element, 0, sizeof(_GridFaceCache)); }

CGridFaceCacheMethods* CGridFaceCacheMethods::GetShared() { return SharedElementMethods<CGridFaceCacheMethods>(); }

namespace {

std::atomic<uint64_t> g_queries{0};
std::atomic<uint64_t> g_pointSegment{0};
std::atomic<uint64_t> g_cellsInspected{0};
std::atomic<bool> g_largePages{false};

inline double Dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline void Sub(const double* a, const double* b, double* r) {
    r[0] = a[0] - b[0];
    r[1] = a[1] - b[1];
    r[2] = a[2] - b[2];
}
inline void Cross(const double* a, const double* b, double* r) {
    r[0] = a[1] * b[2] - a[2] * b[1];
    r[1] = a[2] * b[0] - a[0] * b[2];
    r[2] = a[0] * b[1] - a[1] * b[0];
}
inline double Dist2(const double* a, const double* b) {
    double d[3];
    Sub(a, b, d);
    return Dot(d, d);
}
inline void Copy3(const double* a, double* r) {
    r[0] = a[0];
    r[1] = a[1];
    r[2] = a[2];
}
inline void ToDouble(const float* v, double* r) {
    r[0] = v[0];
    r[1] = v[1];
    r[2] = v[2];
}
inline bool IsFinite3(const float* v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// Squared distance from p to the segment [a, b] (a point when a == b); the closest point in q.
inline double PointSegment2(const double* p, const double* a, const double* b, double* q) {
    double ab[3], ap[3];
    Sub(b, a, ab);
    Sub(p, a, ap);
    double len2 = Dot(ab, ab);
    double t = len2 > 0.0 ? Dot(ap, ab) / len2 : 0.0;
    t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
    q[0] = a[0] + t * ab[0];
    q[1] = a[1] + t * ab[1];
    q[2] = a[2] + t * ab[2];
    return Dist2(p, q);
}

// Heights below 1e-8 of the longest edge make a triangle degenerate: |ab x ac|^2 <= this * l^4.
constexpr double kDegenerate = 1e-16;

__attribute__((always_inline)) inline double ClosestOnTriangle(const double* p, const double* a, const double* b, const double* c, double* q,
                                uint64_t& pointSegment) {
    double ab[3], ac[3], bc[3], ap[3], n[3];
    Sub(b, a, ab);
    Sub(c, a, ac);
    Sub(c, b, bc);
    Cross(ab, ac, n);
    const double n2 = Dot(n, n);
    const double longest = std::max(Dot(ab, ab), std::max(Dot(ac, ac), Dot(bc, bc)));
    if (!(n2 > kDegenerate * longest * longest)) {
        // A needle or a point: the closest of its three edges.
        double t[3];
        pointSegment += 3;
        double best = PointSegment2(p, a, b, q);
        double d = PointSegment2(p, b, c, t);
        if (d < best) {
            best = d;
            Copy3(t, q);
        }
        d = PointSegment2(p, c, a, t);
        if (d < best) {
            best = d;
            Copy3(t, q);
        }
        return best;
    }
    Sub(p, a, ap);
    // Vertex region of a.
    const double d1 = Dot(ab, ap), d2 = Dot(ac, ap);
    if (d1 <= 0.0 && d2 <= 0.0) {
        Copy3(a, q);
        return Dot(ap, ap);
    }
    // Vertex region of b.
    double bp[3];
    Sub(p, b, bp);
    const double d3 = Dot(ab, bp), d4 = Dot(ac, bp);
    if (d3 >= 0.0 && d4 <= d3) {
        Copy3(b, q);
        return Dot(bp, bp);
    }
    // Edge region of ab.
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) {
        ++pointSegment;
        const double v = d1 / (d1 - d3);
        q[0] = a[0] + v * ab[0];
        q[1] = a[1] + v * ab[1];
        q[2] = a[2] + v * ab[2];
        return Dist2(p, q);
    }
    // Vertex region of c.
    double cp[3];
    Sub(p, c, cp);
    const double d5 = Dot(ab, cp), d6 = Dot(ac, cp);
    if (d6 >= 0.0 && d5 <= d6) {
        Copy3(c, q);
        return Dot(cp, cp);
    }
    // Edge region of ac.
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) {
        ++pointSegment;
        const double w = d2 / (d2 - d6);
        q[0] = a[0] + w * ac[0];
        q[1] = a[1] + w * ac[1];
        q[2] = a[2] + w * ac[2];
        return Dist2(p, q);
    }
    // Edge region of bc.
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
        ++pointSegment;
        const double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
        q[0] = b[0] + w * bc[0];
        q[1] = b[1] + w * bc[1];
        q[2] = b[2] + w * bc[2];
        return Dist2(p, q);
    }
    // Face region: the distance to the plane, which keeps its precision for points very close to
    // the face (the difference of two nearly equal points would not).
    const double s = Dot(ap, n);
    const double k = s / n2;
    q[0] = p[0] - k * n[0];
    q[1] = p[1] - k * n[1];
    q[2] = p[2] - k * n[2];
    return s * k;
}

// Separating-axis test of the triangle v[0..2] against the cube of centre `centre` and half edge
// `h`: false only when an axis separates them. Degenerate triangles give zero axes, which never
// separate, so the test stays conservative for them.
bool TriangleTouchesCell(const double (*v)[3], const double* centre, double h) {
    double t[3][3];
    for (int i = 0; i < 3; ++i) Sub(v[i], centre, t[i]);
    double e[3][3];
    Sub(t[1], t[0], e[0]);
    Sub(t[2], t[1], e[1]);
    Sub(t[0], t[2], e[2]);
    // The three box axes.
    for (int k = 0; k < 3; ++k) {
        double lo = std::min(t[0][k], std::min(t[1][k], t[2][k]));
        double hi = std::max(t[0][k], std::max(t[1][k], t[2][k]));
        if (lo > h || hi < -h) return false;
    }
    // The nine cross products of a box axis and a triangle edge.
    for (int j = 0; j < 3; ++j) {
        for (int k = 0; k < 3; ++k) {
            double axis[3] = {0.0, 0.0, 0.0};
            double unit[3] = {0.0, 0.0, 0.0};
            unit[k] = 1.0;
            Cross(unit, e[j], axis);
            double p0 = Dot(axis, t[0]), p1 = Dot(axis, t[1]), p2 = Dot(axis, t[2]);
            double r = h * (std::fabs(axis[0]) + std::fabs(axis[1]) + std::fabs(axis[2]));
            double lo = std::min(p0, std::min(p1, p2)), hi = std::max(p0, std::max(p1, p2));
            if (lo > r || hi < -r) return false;
        }
    }
    // The triangle's plane.
    double n[3];
    Cross(e[0], e[1], n);
    double r = h * (std::fabs(n[0]) + std::fabs(n[1]) + std::fabs(n[2]));
    double d = Dot(n, t[0]);
    return !(d > r || d < -r);
}

// Corners of a triangle cut by two slabs: at most 3 + 2 + 2.
constexpr int kMaxClipCorners = 7;

// The part of the convex polygon `in` (n corners) with lo <= p[axis] <= hi, as a convex polygon
// written to `out` (room for n + 2 corners); returns its corner count (0: nothing left). Corners are
// only cut where an edge crosses a bound, so no division is by zero.
int ClipToSlab(const double (*in)[3], int n, int axis, double lo, double hi, double (*out)[3]) {
    double mid[kMaxClipCorners][3];
    // Keeps the side p[axis] >= bound (sign 1) or p[axis] <= bound (sign -1).
    auto clip = [axis](const double (*from)[3], int count, double bound, double sign, double (*to)[3]) {
        int made = 0;
        for (int i = 0; i < count; ++i) {
            const double* a = from[i];
            const double* b = from[(i + 1) % count];
            const double da = sign * (a[axis] - bound), db = sign * (b[axis] - bound);
            if (da >= 0.0) Copy3(a, to[made++]);
            if ((da >= 0.0) != (db >= 0.0)) {
                const double t = da / (da - db);
                for (int k = 0; k < 3; ++k) to[made][k] = a[k] + t * (b[k] - a[k]);
                to[made][axis] = bound;
                ++made;
            }
        }
        return made;
    };
    const int m = clip(in, n, lo, 1.0, mid);
    return m ? clip(mid, m, hi, -1.0, out) : 0;
}

// Gap between coordinate x and the interval [lo, lo + size] (0 inside).
inline double AxisGap(double x, double lo, double size) {
    if (x < lo) return lo - x;
    double hi = lo + size;
    return x > hi ? x - hi : 0.0;
}

// A small per-query set of the faces already measured: a face that crosses several cells is met
// once per cell. When it fills up the query simply measures repeated faces again.
class CSeenFaces {
public:
    CSeenFaces() { std::memset(m_slots, 0xFF, sizeof m_slots); }
    // True the first time `f` is offered (and every time once the set is full).
    bool Insert(uint32_t f) {
        if (m_count >= kMaxCount) return true;
        uint32_t h = (f * 2654435761u) >> (32 - kBits);
        for (;;) {
            uint32_t s = m_slots[h];
            if (s == f) return false;
            if (s == kEmpty) {
                m_slots[h] = f;
                ++m_count;
                return true;
            }
            h = (h + 1) & (kSlots - 1);
        }
    }

private:
    static constexpr unsigned kBits = 7;
    static constexpr unsigned kSlots = 1u << kBits;
    static constexpr unsigned kMaxCount = kSlots * 3 / 4;
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    uint32_t m_slots[kSlots];
    unsigned m_count = 0;
};

#if !defined(__SSE2__)
// Squared gap between p and the box of a cache entry (0 inside): a lower bound of the face's
// squared distance, from the floats already in the entry, without a branch. A polygon's entry holds
// its box's two corners, whose box is the entry's own corners 0 and 1.
inline double FaceBoxGap2(const _GridFaceCache& e, const double* p) {
    const float* c0 = e.corner[0];
    const float* c1 = e.corner[1];
    const float* c2 = e.kind == GRIDFACE_TRIANGLE ? e.corner[2] : e.corner[1];
    double g2 = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double lo = std::min(c0[k], std::min(c1[k], c2[k]));
        const double hi = std::max(c0[k], std::max(c1[k], c2[k]));
        // max(gap, 0) as (gap + |gap|) / 2, exact, because a compiler may turn max into a branch,
        // which this test cannot predict.
        const double gap = std::max(lo - p[k], p[k] - hi);
        const double g = 0.5 * (gap + std::fabs(gap));
        g2 += g * g;
    }
    return g2;
}
#endif

#if defined(__SSE2__)
// The query point for the box test in single precision: the box gaps are then measured four lanes
// at a time in float, shrunk by a margin that covers every rounding of that arithmetic, so that the
// test still passes over only faces whose box certainly lies beyond the limit.
struct CBoxProbe {
    __m128 p;       // the point, rounded to float (lane 3: 0)
    __m128 margin;  // absolute margin per gap: rounding of the point and of the difference
    explicit CBoxProbe(const double* q, double magnitude) {
        p = _mm_set_ps(0.0f, float(q[2]), float(q[1]), float(q[0]));
        // |q - float(q)| <= 2^-24 |q| and the difference of two floats of magnitude <= M rounds by
        // at most 2^-24 * 2M; 2^-20 M covers both with room to spare.
        const float m = float(magnitude * (1.0 / 1048576.0));
        margin = _mm_set1_ps(m);
    }
    // True when the face's box may lie within sqrt(limit2) of the point.
    bool Near(const _GridFaceCache& e, float limit2) const {
        const float* base = e.corner[0];
        const __m128 c0 = _mm_loadu_ps(base);      // x0 y0 z0 x1
        const __m128 c1 = _mm_loadu_ps(base + 3);  // x1 y1 z1 x2
        // A polygon's box is corners 0 and 1: its corner 2 is read as corner 1 again.
        const __m128 c2 = _mm_loadu_ps(base + (e.kind == GRIDFACE_TRIANGLE ? 6 : 3));
        const __m128 lo = _mm_min_ps(c0, _mm_min_ps(c1, c2));
        const __m128 hi = _mm_max_ps(c0, _mm_max_ps(c1, c2));
        __m128 gap = _mm_max_ps(_mm_sub_ps(lo, p), _mm_sub_ps(p, hi));
        gap = _mm_max_ps(_mm_sub_ps(gap, margin), _mm_setzero_ps());
        // Lane 3 compares unrelated values; it is dropped before the sum.
        gap = _mm_and_ps(gap, _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1)));
        const __m128 g2 = _mm_mul_ps(gap, gap);
        const __m128 sum = _mm_add_ps(g2, _mm_movehl_ps(g2, g2));
        const __m128 total = _mm_add_ss(sum, _mm_shuffle_ps(sum, sum, 1));
        return _mm_cvtss_f32(total) <= limit2;
    }
};
#endif

// Faces of a cell whose boxes are measured together before their exact distances.
constexpr unsigned kFaceChunk = 32;

// Slack of the pruning tests, relative to the largest coordinate magnitude of a query: far above
// the rounding of any distance computed here (a few 1e-16 of that magnitude), so that a cell or a
// face is passed over only when it certainly holds nothing as close as the best face, ties
// included.
constexpr double kPruneSlack = 1e-9;

// A triangle whose box spans more cells than this has its cells found slab by slab (see Build),
// while no coordinate's magnitude reaches kSparseMagnitude.
constexpr uint64_t kSparseSpan = 64;
// A face is kept out of the cells when it would take more than kOversizeCells of them and more
// than one in kOversizeShare of all the cells (see Build).
constexpr uint64_t kOversizeCells = 4096;
constexpr uint64_t kOversizeShare = 64;
constexpr double kSparseMagnitude = 1e90;

// The best face of a query so far. `limit2` is (distance + slack)^2: a cell or face box farther
// than that cannot hold a face as close as the best one.
// A face at most `enough` away (negative: none) ends the search: limit2 then turns negative, which
// no cell or face box passes.
struct CBestFace {
    double d2;
    double limit2;
    double slack;
    double enough;
    int face = -1;

    CBestFace(double maxDistance, double slack_, double enough_)
        : d2(maxDistance * maxDistance), slack(slack_), enough(enough_) {
        limit2 = std::isfinite(d2) ? (maxDistance + slack) * (maxDistance + slack) : HUGE_VAL;
    }
    // Keeps face f when it is strictly closer, or as close and of a lower index (so that the answer
    // does not depend on the order in which faces are met).
    void Offer(double faceD2, unsigned f) {
        if (faceD2 < d2 || (faceD2 == d2 && face >= 0 && int(f) < face)) {
            d2 = faceD2;
            face = int(f);
            // The distance as the caller will take it (the square root of d2), so that "close
            // enough" agrees with the caller's own test to the last bit.
            const double distance = std::sqrt(faceD2);
            const double d = distance + slack;
            limit2 = distance <= enough ? -1.0 : d * d;
        }
    }
    bool Done() const { return limit2 < 0.0; }
};

// Whether the plane of the triangle (a, b, c) lies farther from p than sqrt(limit2): then so does
// the triangle, and it can be skipped. The box gap cannot tell that for long triangles whose boxes
// hold p (around the centre of a fan every face's box does, and each query measured them all).
// Only triangles whose angle at a has a sine above 1e-5 are tested: their normal is then
// accurate enough that the test's rounding stays below 1e-10 of the distance from p to a, far
// below the search's slack (kPruneSlack of the coordinates' magnitude, which limit2 includes), so a
// face it skips is strictly farther than the best one and the answer does not change.
inline bool PlaneBeyondLimit(const double* p, const double* a, const double* b, const double* c, double limit2) {
    double e1[3], e2[3], n[3], ap[3];
    Sub(b, a, e1);
    Sub(c, a, e2);
    Cross(e1, e2, n);
    const double nn = Dot(n, n);
    if (!(nn > 1e-10 * Dot(e1, e1) * Dot(e2, e2))) return false;
    Sub(p, a, ap);
    const double h = Dot(n, ap);
    return h * h > limit2 * nn;
}

// Shells of cells walked around a query point before the occupancy tree takes over.
constexpr int kShellsBeforeTree = 4;

// Occupied cells waiting to be measured, with their squared box distances.
struct CCellBatch {
    static constexpr int kSize = 64;
    struct Cell {
        double d2;
        uint32_t occupied;
    };
    Cell cells[kSize];
    int count = 0;

    // Insertion sort by distance, stable (a short list, nearly in order).
    void Sort() {
        for (int i = 1; i < count; ++i) {
            const Cell c = cells[i];
            int j = i;
            for (; j > 0 && cells[j - 1].d2 > c.d2; --j) cells[j] = cells[j - 1];
            cells[j] = c;
        }
    }
};

}  // namespace

double meshClosestPointOnTriangle(const double p[3], const double a[3], const double b[3], const double c[3],
                                  double* closest, uint64_t* pointSegment) {
    double q[3];
    uint64_t ps = 0;
    double d2 = ClosestOnTriangle(p, a, b, c, q, ps);
    if (closest) Copy3(q, closest);
    if (pointSegment) *pointSegment += ps;
    return d2;
}

// ---- C3DFaceGridMap --------------------------------------------------------------------------------

C3DFaceGridMap::C3DFaceGridMap() { Clear(); }

C3DFaceGridMap::~C3DFaceGridMap() = default;

void C3DFaceGridMap::Clear() {
    m_pFaces = nullptr;
    m_pPoints = nullptr;
    m_faceStamp = 0;
    m_pointStamp = 0;
    m_nFaceCount = -1;
    m_nPointCount = -1;
    m_excludeMask = 0;
    m_pCache = nullptr;
    m_nIndexedFaces = 0;
    m_bHasPolygons = false;
    m_origin[0] = m_origin[1] = m_origin[2] = 0.0;
    m_cellSize = 0.0;
    m_invCellSize = 0.0;
    m_dims[0] = m_dims[1] = m_dims[2] = 0;
    m_blocks[0] = m_blocks[1] = m_blocks[2] = 0;
    m_nOccupied = 0;
    m_words.RemoveAll();
    m_starts.RemoveAll();
    m_entries.RemoveAll();
    m_nTop = 0;
    m_tree.RemoveAll();
    m_stray.RemoveAll();
    m_crowdNodes.RemoveAll();
    m_crowdCells.RemoveAll();
}

bool C3DFaceGridMap::IsCurrent(const C3DFaceList& faces, const C3DPointList& points, unsigned int excludeMask) const {
    if (m_pFaces != &faces || m_pPoints != &points || m_excludeMask != excludeMask) return false;
    if (m_faceStamp != faces.GetChangedStamp() || m_pointStamp != points.GetChangedStamp()) return false;
    if (m_nFaceCount != faces.GetSize() || m_nPointCount != points.GetSize()) return false;
    // The cache must still be the chunk the map reads.
    const CElementArray* chunk = faces.GetData(FACE_CHUNK_GRID_CACHE);
    return chunk && chunk->GetData() == static_cast<const void*>(m_pCache);
}

int C3DFaceGridMap::Build(C3DFaceList& faces, const C3DPointList& points, unsigned int excludeMask) {
    try {
        return BuildLists(faces, points, excludeMask);
    } catch (...) {
        Clear();
        throw;
    }
}

int C3DFaceGridMap::BuildLists(C3DFaceList& faces, const C3DPointList& points, unsigned int excludeMask) {
    Clear();
    // The cache chunk: added when absent, replaced when it holds another kind of element.
    CElementArray* chunk = faces.GetData(FACE_CHUNK_GRID_CACHE);
    if (chunk && (chunk->GetTypeOfElement() != ELEMENT_TYPE_GRID_FACE_CACHE ||
                  chunk->GetSizeOfElement() != int(sizeof(_GridFaceCache)))) {
        faces.RemoveDataChunk(FACE_CHUNK_GRID_CACHE);
        chunk = nullptr;
    }
    if (!chunk) {
        faces.AddDataChunk(FACE_CHUNK_GRID_CACHE, CGridFaceCacheMethods::GetShared());
        chunk = faces.GetData(FACE_CHUNK_GRID_CACHE);
    }
    const int nFaces = faces.GetSize();
    if (!chunk || chunk->GetSize() != nFaces) return 0;

    m_pFaces = &faces;
    m_pPoints = &points;
    m_faceStamp = faces.GetChangedStamp();
    m_pointStamp = points.GetChangedStamp();
    m_nFaceCount = nFaces;
    m_nPointCount = points.GetSize();
    m_excludeMask = excludeMask;
    _GridFaceCache* cache = static_cast<_GridFaceCache*>(chunk->GetData());
    m_pCache = cache;

    // Every cache entry is written below, so with large pages the chunk's pages can be dropped and
    // made again, large, as pass 1 writes them.
    const bool largePages = g_largePages.load(std::memory_order_relaxed);
    if (largePages) memResetLargePages(cache, size_t(nFaces) * sizeof(_GridFaceCache));

    // Pass 1: the cache entries, the total area and the box of the indexed faces.
    const C3DTPoint<float>* pts = points.GetPoints();
    const unsigned nPoints = unsigned(points.GetSize());
    double area = 0.0;
    detail::AreaHistogram areas;
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (int f = 0; f < nFaces; ++f) {
        _GridFaceCache& entry = cache[f];
        std::memset(&entry, 0, sizeof entry);
        if (faces.GetFaceFlags(unsigned(f)) & excludeMask) continue;
        int count;
        const int* idx = faces.GetIndexes(unsigned(f), count);
        if (count < 3) continue;
        bool usable = true;
        for (int i = 0; i < count && usable; ++i)
            usable = unsigned(idx[i]) < nPoints && IsFinite3(pts[idx[i]].ValPtr());
        if (!usable) continue;
        double flo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, fhi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
        for (int i = 0; i < count; ++i) {
            const float* v = pts[idx[i]].ValPtr();
            for (int k = 0; k < 3; ++k) {
                flo[k] = std::min(flo[k], double(v[k]));
                fhi[k] = std::max(fhi[k], double(v[k]));
            }
        }
        const double faceArea = detail::FanArea(pts, idx, count);
        area += faceArea;
        areas.Add(faceArea, 1);
        if (count == 3) {
            for (int i = 0; i < 3; ++i) std::memcpy(entry.corner[i], pts[idx[i]].ValPtr(), 3 * sizeof(float));
            entry.kind = GRIDFACE_TRIANGLE;
        } else {
            for (int k = 0; k < 3; ++k) {
                entry.corner[0][k] = float(flo[k]);
                entry.corner[1][k] = float(fhi[k]);
            }
            entry.kind = GRIDFACE_POLYGON;
            m_bHasPolygons = true;
        }
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], flo[k]);
            hi[k] = std::max(hi[k], fhi[k]);
        }
        ++m_nIndexedFaces;
    }
    if (m_nIndexedFaces == 0) return 0;
    // Stray faces are looked for only when the box is large for the surface's area (a closed
    // surface's squared diagonal is about its area; a cable's may be a few hundred times it).
    if (const double d = detail::Diagonal(lo, hi);
        m_nIndexedFaces > int(8 * kStraySide) && d * d > 16.0 * area)
        KeepStrayFacesApart(lo, hi);
    // A few faces far larger than all the others (a ground quadrangle under a detailed model)
    // would set a cell size that crowds the others into a few cells, and a box around them.
    if (m_nIndexedFaces > int(8 * kStraySide)) {
        for (int i = 0; i < m_stray.GetSize(); ++i) {
            int count;
            const int* idx = m_pFaces->GetIndexes(m_stray[i], count);
            areas.Add(detail::FanArea(pts, idx, count), -1);
        }
        // The others' area, summed by buckets upwards: taking the strays' area off the total
        // would lose it to rounding when a stray is vast.
        if (m_stray.GetSize() > 0) area = areas.Total();
        const double from = areas.HugeFrom(kHugeFaceFactor, int(kHugeFaces));
        if (from < HUGE_VAL) KeepHugeFacesApart(pts, from, lo, hi, area);
    }

    // Cell size: about the size of a face (see the header), then grown until the cell count fits.
    double ext[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    double diag = std::sqrt(ext[0] * ext[0] + ext[1] * ext[1] + ext[2] * ext[2]);
    double s = kCellScale * std::sqrt(area / m_nIndexedFaces);
    if (!(s > 0.0) || !std::isfinite(s)) s = diag / std::cbrt(double(m_nIndexedFaces));
    if (!(s > 0.0) || !std::isfinite(s)) s = 1.0;  // every face on one point
    // Slivers: cells sized by the mean area can be far shorter than the faces, so that each face
    // crosses hundreds of cells and, where the faces meet, each cell holds hundreds of faces (a fan
    // of 50,000 spokes filed 8 million entries). When a face would cross more than
    // kMaxCellsAcross cells on average (the sum of its box's sides over the cell edge; 2 to 4 on
    // ordinary meshes), the cells are half the median extent of the faces instead, and the
    // crowded cells that makes are searched through their trees.
    double median, meanSpan;
    SampleFaceExtents(median, meanSpan);
    if (meanSpan > kMaxCellsAcross * s) s = std::max(s, kCellSpanScale * median);
    const double maxCells =
        std::min(double(kMaxCells), std::max(4096.0, double(kMaxCellsPerFace) * double(m_nIndexedFaces)));
    // The cells are stored by blocks of 4 x 4 x 4 (see CellCode), so the block counts, rounded up,
    // must also keep the cell codes within 31 bits.
    constexpr double kMaxCodes = double(1u << 31);
    double dims[3];
    for (;;) {
        double cells = 1.0, codes = 64.0;
        // floor + 1 rather than ceil: the last cell always reaches past the box.
        for (int k = 0; k < 3; ++k) {
            dims[k] = std::floor(ext[k] / s) + 1.0;
            cells *= dims[k];
            codes *= std::ceil(dims[k] / 4.0);
        }
        if (cells <= maxCells && codes <= kMaxCodes) break;
        s *= std::cbrt(std::max(cells / maxCells, codes / kMaxCodes)) * 1.001;
    }
    for (int k = 0; k < 3; ++k) {
        m_origin[k] = lo[k];
        m_dims[k] = unsigned(dims[k]);
        m_blocks[k] = (m_dims[k] + 3) / 4;
    }
    m_cellSize = s;
    m_invCellSize = 1.0 / s;

    // Pass 2: (cell, face) pairs. A triangle whose box covers more than two cells is tested
    // against each of them; the cube is enlarged by a hair so that rounding never loses a cell.
    double magnitude = 0.0;
    for (int k = 0; k < 3; ++k) magnitude = std::max(magnitude, std::max(std::fabs(lo[k]), std::fabs(hi[k])));
    const double half = 0.5 * s * (1.0 + 1e-6) + 1e-12 * magnitude;
    CXArray<uint64_t> keys;
    keys.PreAllocate(m_nIndexedFaces * 4);
    auto cellOf = [&](double x, int k) -> unsigned {
        double t = std::floor((x - m_origin[k]) * m_invCellSize);
        if (!(t > 0.0)) return 0;
        return t >= double(m_dims[k] - 1) ? m_dims[k] - 1 : unsigned(t);
    };
    // A long sliver across the grid has a box of up to (length / s)^3 cells but touches only about
    // length / s of them, and testing its whole box made the build quadratic or worse in the
    // length. Such a triangle's cells are found slab by slab instead: the part of the triangle
    // within each x slab of cells (widened to the test cube and a margin), then within each y row
    // of that slab, bounds the cells that can pass the test, and only those are tested. The margin
    // (far above the rounding of the clipping and of the test) keeps every cell the test accepts,
    // so the registered cells are those of the box walk. Used while the coordinates are small
    // enough that no product of the clipping or of the test can overflow.
    const double margin = 1e-6 * s + 1e-10 * magnitude;
    const double reach = half + margin;
    // The cells [first, last] on axis k, within [c0[k], c1[k]], whose test cube (centre origin +
    // (i + 0.5) s, half side `half`) can meet the polygon `poly` (n corners); false when none.
    auto cellRange = [&](const double (*poly)[3], int n, int k, const unsigned* c0, const unsigned* c1,
                         unsigned& first, unsigned& last) {
        double a = HUGE_VAL, b = -HUGE_VAL;
        for (int i = 0; i < n; ++i) a = std::min(a, poly[i][k]), b = std::max(b, poly[i][k]);
        const double lo = std::max(double(c0[k]), std::ceil((a - reach - m_origin[k]) * m_invCellSize - 0.5));
        const double hi = std::min(double(c1[k]), std::floor((b + reach - m_origin[k]) * m_invCellSize - 0.5));
        if (!(n > 0 && lo <= hi)) return false;
        first = unsigned(lo);
        last = unsigned(hi);
        return true;
    };
    // A face that would take more than `oversize` cells (at least kOversizeCells, and a share of
    // all the cells) is measured by every query after the cells instead, with the stray faces:
    // such a face would fill a large part of the cells, and many of them (every face of a mesh
    // stretched along one axis by a point far off) make the cell lists grow with the square of
    // the face count, while every cell would hold them all anyway. Registration of a face stops
    // as soon as it passes the bound.
    const uint64_t totalCells = uint64_t(m_dims[0]) * m_dims[1] * m_dims[2];
    const int oversize = int(std::max<uint64_t>(kOversizeCells, totalCells / kOversizeShare));
    CXArray<unsigned int> oversized;
    auto AddTouchedCells = [&](const double(*v)[3], const unsigned* c0, const unsigned* c1, int f,
                               int limit) {
        double slab[kMaxClipCorners][3], row[kMaxClipCorners][3];
        for (unsigned x = c0[0]; x <= c1[0]; ++x) {
            const double cx = m_origin[0] + (x + 0.5) * s;
            const int ns = ClipToSlab(v, 3, 0, cx - reach, cx + reach, slab);
            unsigned y0, y1;
            if (!cellRange(slab, ns, 1, c0, c1, y0, y1)) continue;
            for (unsigned y = y0; y <= y1; ++y) {
                const double cy = m_origin[1] + (y + 0.5) * s;
                const int nr = ClipToSlab(slab, ns, 1, cy - reach, cy + reach, row);
                unsigned z0, z1;
                if (!cellRange(row, nr, 2, c0, c1, z0, z1)) continue;
                for (unsigned z = z0; z <= z1; ++z) {
                    const double centre[3] = {cx, cy, m_origin[2] + (z + 0.5) * s};
                    if (!TriangleTouchesCell(v, centre, half)) continue;
                    keys.Add((CellCode(x, y, z) << 32) | uint64_t(f));
                    if (keys.GetSize() > limit) return false;
                }
            }
        }
        return true;
    };
    // The stray faces (ascending) are passed over as the walk meets them.
    int nextStray = 0;
    for (int f = 0; f < nFaces; ++f) {
        const _GridFaceCache& entry = cache[f];
        if (entry.kind == GRIDFACE_EMPTY) continue;
        if (nextStray < m_stray.GetSize() && m_stray[nextStray] == unsigned(f)) {
            ++nextStray;
            continue;
        }
        double v[3][3] = {};
        unsigned c0[3], c1[3];
        if (entry.kind == GRIDFACE_TRIANGLE) {
            for (int i = 0; i < 3; ++i) ToDouble(entry.corner[i], v[i]);
            for (int k = 0; k < 3; ++k) {
                c0[k] = cellOf(std::min(v[0][k], std::min(v[1][k], v[2][k])), k);
                c1[k] = cellOf(std::max(v[0][k], std::max(v[1][k], v[2][k])), k);
            }
        } else {
            for (int k = 0; k < 3; ++k) {
                c0[k] = cellOf(entry.corner[0][k], k);
                c1[k] = cellOf(entry.corner[1][k], k);
            }
        }
        const uint64_t span = uint64_t(c1[0] - c0[0] + 1) * (c1[1] - c0[1] + 1) * (c1[2] - c0[2] + 1);
        const bool test = entry.kind == GRIDFACE_TRIANGLE && span > 2;
        const int before = keys.GetSize();
        const int limit = before + oversize;
        // A face meets at least one cell in each slab its box spans (it is connected), so one
        // spanning more slabs than the bound on some axis is oversized without a test.
        const unsigned longest = std::max(c1[0] - c0[0], std::max(c1[1] - c0[1], c1[2] - c0[2])) + 1;
        bool fits = longest <= unsigned(oversize) && (test || span <= uint64_t(oversize));
        if (fits && test && span > kSparseSpan && magnitude < kSparseMagnitude) {
            fits = AddTouchedCells(v, c0, c1, f, limit);
        } else if (fits) {
            for (unsigned z = c0[2]; z <= c1[2] && fits; ++z) {
                for (unsigned y = c0[1]; y <= c1[1] && fits; ++y) {
                    for (unsigned x = c0[0]; x <= c1[0]; ++x) {
                        if (test) {
                            const double centre[3] = {m_origin[0] + (x + 0.5) * s,
                                                      m_origin[1] + (y + 0.5) * s,
                                                      m_origin[2] + (z + 0.5) * s};
                            if (!TriangleTouchesCell(v, centre, half)) continue;
                        }
                        keys.Add((CellCode(x, y, z) << 32) | uint64_t(f));
                        if (keys.GetSize() > limit) {
                            fits = false;
                            break;
                        }
                    }
                }
            }
        }
        if (!fits) {
            keys.SetSize(before);
            oversized.Add(unsigned(f));
        }
    }
    // The oversized faces join the strays, both in increasing order.
    if (oversized.GetSize() > 0) detail::MergeAscending(m_stray, oversized);

    // Sort the pairs by cell (faces stay in increasing order within a cell), then lay out the
    // occupancy words, the cell offsets and the face entries.
    const int nKeys = keys.GetSize();
    {
        CXArray<uint64_t> scratch;
        scratch.SetSize(nKeys);
        const uint64_t codes = uint64_t(m_blocks[0]) * m_blocks[1] * m_blocks[2] * 64;
        unsigned cellBits = 1;
        while (cellBits < 64 && (uint64_t(1) << cellBits) < codes) ++cellBits;
        detail::SortKeys64(keys.GetData(), scratch.GetData(), size_t(nKeys), 32, 32 + cellBits);
    }
    m_words.SetSize(int(m_blocks[0] * m_blocks[1] * m_blocks[2]));
    m_entries.SetSize(nKeys);
    unsigned occupied = 0;
    for (int i = 0; i < nKeys; ++i)
        if (i == 0 || (keys[i] >> 32) != (keys[i - 1] >> 32)) ++occupied;
    m_starts.SetSize(int(occupied) + 1);
    CellWord* words = m_words.GetData();
    unsigned* starts = m_starts.GetData();
    unsigned* entries = m_entries.GetData();
    if (largePages) {
        // Zero or written whole below: the pages can be dropped and come back large.
        memResetLargePages(words, size_t(m_words.GetSize()) * sizeof(CellWord));
        memResetLargePages(starts, size_t(m_starts.GetSize()) * sizeof(unsigned));
        memResetLargePages(entries, size_t(nKeys) * sizeof(unsigned));
    }
    // A crowded cell keeps one entry per distinct triangle: a copy with the very same corners, in
    // the same order, is at the very same distance from every point (bit for bit), so the lowest
    // index among the copies always wins and the others need not be measured. Stacks of coincident
    // faces (a polygon whose outline runs round the same corners again and again) would otherwise
    // cost every query near them a measure of the whole stack. The copies share all their cells,
    // so dropping them cell by cell drops them everywhere.
    unsigned o = 0, written = 0;
    CXArray<detail::CellTriangleKey> order;
    CXArray<uint32_t> crowded;
    for (int i = 0; i < nKeys;) {
        const uint64_t cell = keys[i] >> 32;
        int end = i + 1;
        while (end < nKeys && (keys[end] >> 32) == cell) ++end;
        starts[o++] = written;
        words[cell >> 6].bits |= uint64_t(1) << (cell & 63);
        const unsigned first = written;
        for (; i < end; ++i) entries[written++] = unsigned(keys[i] & 0xFFFFFFFFu);
        if (written - first > kCrowdedCell) {
            written = first + detail::KeepDistinctTriangles(entries + first, written - first, cache, order);
            if (written - first > kCrowdedCell) crowded.Add(o - 1);
        }
    }
    starts[occupied] = written;
    m_entries.SetSize(int(written));
    uint32_t rank = 0;
    for (int w = 0; w < m_words.GetSize(); ++w) {
        words[w].rank = rank;
        rank += uint32_t(CountBits(words[w].bits));
    }
    m_nOccupied = occupied;
    BuildCrowdTrees(crowded);
    BuildTree();
    return m_nIndexedFaces;
}

void C3DFaceGridMap::BuildTree() {
    m_nTop = 1;
    m_tree.RemoveAll();
    for (int k = 0; k < 3; ++k) m_treeDims[1][k] = m_blocks[k];
    // The sizes of the levels first (the blocks shrink fourfold a level, so about a 63rd of the
    // blocks in all), then the bits, level by level from the blocks up.
    unsigned total = 0;
    while (m_treeDims[m_nTop][0] > 1 || m_treeDims[m_nTop][1] > 1 || m_treeDims[m_nTop][2] > 1) {
        const int level = ++m_nTop;
        for (int k = 0; k < 3; ++k) m_treeDims[level][k] = (m_treeDims[level - 1][k] + 3) / 4;
        m_treeStart[level] = total;
        total += m_treeDims[level][0] * m_treeDims[level][1] * m_treeDims[level][2];
    }
    m_tree.SetSize(int(total));
    uint64_t* tree = m_tree.GetData();
    for (int level = 2; level <= m_nTop; ++level) {
        const unsigned* below = m_treeDims[level - 1];
        const unsigned* here = m_treeDims[level];
        for (unsigned z = 0; z < below[2]; ++z)
            for (unsigned y = 0; y < below[1]; ++y)
                for (unsigned x = 0; x < below[0]; ++x) {
                    if (!TreeWord(level - 1, x, y, z)) continue;
                    const unsigned parent = ((z >> 2) * here[1] + (y >> 2)) * here[0] + (x >> 2);
                    tree[m_treeStart[level] + parent] |= uint64_t(1) << ((z & 3) << 4 | (y & 3) << 2 | (x & 3));
                }
    }
}

uint64_t C3DFaceGridMap::TreeWord(int level, unsigned x, unsigned y, unsigned z) const {
    const unsigned* d = m_treeDims[level];
    const unsigned unit = (z * d[1] + y) * d[0] + x;
    return level == 1 ? m_words[int(unit)].bits : m_tree[int(m_treeStart[level] + unit)];
}

template <class Measure>
void C3DFaceGridMap::WalkTree(const double p[3], const double& limit2, const int* lo, const int* hi,
                              Measure& measure) const {
    // One frame a level above the blocks: the occupied children of a unit with the squared gaps
    // between p and their boxes, nearest first. A child beyond the limit when its turn comes ends
    // its frame, as every later one lies further still. The cells of a block are measured in
    // their order (sorting 64 cells cost more than it saved). No allocation: a frame holds 64
    // children at most.
    struct Child {
        double d2;
        unsigned xyz[3];
    };
    struct Frame {
        Child child[64];
        int count, next;
        int level;  // the children's
    };
    Frame frames[kMaxLevels];
    const double s = m_cellSize;
    // The squared gap between p and the box of unit xyz of `level`.
    auto gap2 = [&](int level, const unsigned* xyz) {
        const uint64_t span = uint64_t(1) << (2 * level);  // cells along an axis of the unit
        double d2 = 0.0;
        for (int k = 0; k < 3; ++k) {
            const uint64_t first = uint64_t(xyz[k]) * span;
            const uint64_t end = std::min<uint64_t>(first + span, m_dims[k]);
            const double gap = AxisGap(p[k], m_origin[k] + double(first) * s, double(end - first) * s);
            d2 += gap * gap;
        }
        return d2;
    };
    // Measures the occupied cells of block xyz within the limit that the shell walk left.
    auto measureBlock = [&](const unsigned* xyz) {
        const CellWord& w = m_words[int((xyz[2] * m_blocks[1] + xyz[1]) * m_blocks[0] + xyz[0])];
        uint64_t bits = w.bits;
        for (uint32_t occupied = w.rank; bits; ++occupied) {
            const unsigned bit = unsigned(__builtin_ctzll(bits));
            bits &= bits - 1;
            const unsigned cell[3] = {xyz[0] * 4 + (bit & 3), xyz[1] * 4 + (bit >> 2 & 3), xyz[2] * 4 + (bit >> 4)};
            bool visited = true;
            for (int k = 0; k < 3; ++k) visited = visited && int(cell[k]) >= lo[k] && int(cell[k]) <= hi[k];
            if (!visited && gap2(0, cell) <= limit2) measure(occupied);
        }
    };
    // Fills frames[depth] with the children of unit xyz of `level` (>= 2).
    auto open = [&](Frame& f, int level, const unsigned* xyz) {
        f.count = f.next = 0;
        f.level = level - 1;
        uint64_t word = TreeWord(level, xyz[0], xyz[1], xyz[2]);
        while (word) {
            const unsigned bit = unsigned(__builtin_ctzll(word));
            word &= word - 1;
            Child c;
            c.xyz[0] = xyz[0] * 4 + (bit & 3);
            c.xyz[1] = xyz[1] * 4 + (bit >> 2 & 3);
            c.xyz[2] = xyz[2] * 4 + (bit >> 4);
            c.d2 = gap2(f.level, c.xyz);
            if (c.d2 > limit2) continue;
            int i = f.count++;
            for (; i > 0 && f.child[i - 1].d2 > c.d2; --i) f.child[i] = f.child[i - 1];
            f.child[i] = c;
        }
    };
    const unsigned root[3] = {0, 0, 0};
    if (m_nTop == 1) {
        measureBlock(root);
        return;
    }
    int depth = 0;
    open(frames[0], m_nTop, root);
    while (depth >= 0) {
        Frame& f = frames[depth];
        if (f.next == f.count || f.child[f.next].d2 > limit2) {
            --depth;
            continue;
        }
        const Child& c = f.child[f.next++];
        if (f.level == 1) {
            measureBlock(c.xyz);
        } else {
            ++depth;
            open(frames[depth], f.level, c.xyz);
        }
    }
}

double C3DFaceGridMap::GetFaceSquaredDistance(const double p[3], unsigned int f, double* closest,
                                              uint64_t* pointSegment) const {
    if (!m_pCache || f >= unsigned(m_nFaceCount)) return HUGE_VAL;
    const _GridFaceCache& entry = m_pCache[f];
    double q[3] = {0.0, 0.0, 0.0};
    uint64_t ps = 0;
    double best = HUGE_VAL;
    if (entry.kind == GRIDFACE_TRIANGLE) {
        double a[3], b[3], c[3];
        ToDouble(entry.corner[0], a);
        ToDouble(entry.corner[1], b);
        ToDouble(entry.corner[2], c);
        best = ClosestOnTriangle(p, a, b, c, q, ps);
    } else if (entry.kind == GRIDFACE_POLYGON) {
        // A polygon as the fan of triangles (0, i, i + 1) read from its record; the entry was made
        // only when every index was valid, and the map is current, so the indices still are.
        int count;
        const int* idx = m_pFaces->GetIndexes(f, count);
        const C3DTPoint<float>* pts = m_pPoints->GetPoints();
        double a[3], b[3], c[3], t[3];
        ToDouble(pts[idx[0]].ValPtr(), a);
        for (int i = 1; i + 1 < count; ++i) {
            ToDouble(pts[idx[i]].ValPtr(), b);
            ToDouble(pts[idx[i + 1]].ValPtr(), c);
            double d = ClosestOnTriangle(p, a, b, c, t, ps);
            if (d < best) {
                best = d;
                Copy3(t, q);
            }
        }
    }
    if (closest && best < HUGE_VAL) Copy3(q, closest);
    if (pointSegment) *pointSegment += ps;
    return best;
}

int C3DFaceGridMap::GetClosestFace(const double p[3], double& distance, double maxDistance, CFaceGridStats* stats,
                                   int hint, double* closest, double closeEnough) const {
    distance = HUGE_VAL;
    if (stats) ++stats->queries;
    if ((m_nOccupied == 0 && m_stray.IsEmpty()) || !(maxDistance > 0.0) || !std::isfinite(p[0]) ||
        !std::isfinite(p[1]) || !std::isfinite(p[2]))
        return -1;

    // The cell of p, clamped into the grid for a point outside it, and the largest coordinate
    // magnitude involved, which scales the slack of the pruning tests.
    int c[3], dims[3];
    const double s = m_cellSize;
    double magnitude = 0.0;
    for (int k = 0; k < 3; ++k) {
        dims[k] = int(m_dims[k]);
        double t = std::floor((p[k] - m_origin[k]) * m_invCellSize);
        c[k] = !(t > 0.0) ? 0 : (t >= double(dims[k] - 1) ? dims[k] - 1 : int(t));
        magnitude = std::max(magnitude, std::max(std::fabs(p[k]), std::fabs(m_origin[k]) + dims[k] * s));
    }
    CBestFace best(maxDistance, kPruneSlack * magnitude, closeEnough);
#if defined(__SSE2__)
    const CBoxProbe probe(p, magnitude);
#endif
    uint64_t inspected = 0, ps = 0;
    CSeenFaces seen;
    if (hint >= 0 && hint < m_nFaceCount && m_pCache[hint].kind != GRIDFACE_EMPTY) {
        seen.Insert(unsigned(hint));
        best.Offer(GetFaceSquaredDistance(p, unsigned(hint), nullptr, &ps), unsigned(hint));
    }

    const unsigned* starts = m_starts.GetData();
    const unsigned* entries = m_entries.GetData();
    const _GridFaceCache* cache = m_pCache;

    // Measures the faces of one occupied cell, a chunk at a time: first the box gaps of the chunk's
    // faces, without a branch, then the exact distance of those whose box lies within the limit
    // (the box gap bounds a face's distance from below).
    // Faces whose boxes pass are also tested against their planes when `planes` is set or the
    // list is long: the leaves of a crowded cell's tree (around the centre of a fan every face's
    // box holds the query, and a leaf's slab is thicker than a face's plane) and the stray faces
    // when faces that would fill much of the grid joined them. In a plain cell the planes would
    // rarely prune anything.
    auto measureFaces = [&](const unsigned* list, unsigned end, bool planes = false) {
        const bool crowded = planes || end > kCrowdedCell;
        for (unsigned chunk = 0; chunk < end; chunk += kFaceChunk) {
            const unsigned n = std::min(end - chunk, kFaceChunk);
            unsigned near[kFaceChunk];
            unsigned nNear = 0;
#if defined(__SSE2__)
            // Rounded up by more than the float conversion and the sum can lose.
            const float limit2 = float(best.limit2 * (1.0 + 1.0 / 1048576.0));
            for (unsigned i = 0; i < n; ++i) {
                const unsigned f = list[chunk + i];
                near[nNear] = f;
                nNear += probe.Near(cache[f], limit2) ? 1u : 0u;
            }
#else
            const double limit2 = best.limit2;
            for (unsigned i = 0; i < n; ++i) {
                const unsigned f = list[chunk + i];
                near[nNear] = f;
                nNear += FaceBoxGap2(cache[f], p) <= limit2 ? 1u : 0u;
            }
#endif
            for (unsigned i = 0; i < nNear; ++i) {
                const unsigned f = near[i];
                if (!seen.Insert(f)) continue;
                const _GridFaceCache& entry = cache[f];
                double d2;
                if (entry.kind == GRIDFACE_TRIANGLE) {
                    double a[3], b[3], cc[3], q[3];
                    ToDouble(entry.corner[0], a);
                    ToDouble(entry.corner[1], b);
                    ToDouble(entry.corner[2], cc);
                    if (crowded && PlaneBeyondLimit(p, a, b, cc, best.limit2)) continue;
                    d2 = ClosestOnTriangle(p, a, b, cc, q, ps);
                } else {
                    d2 = GetFaceSquaredDistance(p, f, nullptr, &ps);
                }
                best.Offer(d2, f);
                if (best.Done()) return;
            }
        }
    };
    // The trees of the crowded cells (see BuildCrowdTrees). A node's squared bound is the larger
    // of the squared gaps between p and its box and its slab, a lower bound of the squared
    // distance of its faces; both gaps are computed within a few 1e-16 of the coordinates'
    // magnitude, far inside the slack that limit2 carries, so no node holding a face as close as
    // the best one is passed over.
    const CrowdNode* nodes = m_crowdNodes.GetData();
    auto bound2 = [&](const CrowdNode& node) {
        double box2 = 0.0;
        for (int k = 0; k < 3; ++k) {
            const double gap = std::max(double(node.lo[k]) - p[k], p[k] - double(node.hi[k]));
            if (gap > 0.0) box2 += gap * gap;
        }
        const double h = node.normal[0] * p[0] + node.normal[1] * p[1] + node.normal[2] * p[2];
        const double gap = std::max(node.slabLo - h, h - node.slabHi);
        return gap > 0.0 ? std::max(box2, gap * gap) : box2;
    };
    struct Waiting {
        double d2;
        unsigned node;
    };
    // Measures the faces of leaf `n` (false), or gives the two children of inner node `n` with
    // their bounds (true).
    auto expand = [&](unsigned n, Waiting(&children)[2]) {
        const CrowdNode& node = nodes[n];
        if (node.count != kInnerNode) {
            measureFaces(entries + node.first, node.count, true);
            return false;
        }
        for (unsigned c = 0; c < 2; ++c) children[c] = {bound2(nodes[node.first + c]), node.first + c};
        return true;
    };
    // Measures the subtree of `root` depth first, the nearer child first, each node when its
    // bound still lies within the limit as its turn comes: for a subtree that finds the queue
    // below full.
    auto descend = [&](Waiting root) {
        Waiting stack[kMaxCrowdDepth + 2];
        int top = 0;
        stack[top++] = root;
        while (top > 0) {
            const Waiting w = stack[--top];
            Waiting children[2];
            if (w.d2 > best.limit2 || !expand(w.node, children)) continue;
            if (children[0].d2 < children[1].d2) std::swap(children[0], children[1]);
            for (const Waiting& c : children)
                if (c.d2 <= best.limit2) stack[top++] = c;
        }
    };
    // Measures the tree of node `root` nearest bound first (a binary min-heap of waiting nodes,
    // equal bounds in node order), so that the search reaches the faces around p before it opens
    // nodes whose loose bounds a closer face would prune (near a fan's centre the upper nodes'
    // bounds are all about 0, and depth first took whichever half came first); it ends when the
    // nearest waiting bound lies beyond the limit. A child that finds the queue full is searched
    // depth first at once.
    auto later = [](const Waiting& a, const Waiting& b) {
        return a.d2 != b.d2 ? a.d2 > b.d2 : a.node > b.node;
    };
    auto measureTree = [&](unsigned root) {
        constexpr int kQueue = 64;
        Waiting queue[kQueue];
        int count = 0;
        auto push = [&](Waiting w) {
            if (count == kQueue) {
                descend(w);
                return;
            }
            queue[count++] = w;
            std::push_heap(queue, queue + count, later);
        };
        push({bound2(nodes[root]), root});
        while (count > 0 && queue[0].d2 <= best.limit2) {
            std::pop_heap(queue, queue + count, later);
            const Waiting w = queue[--count];
            Waiting children[2];
            if (!expand(w.node, children)) continue;
            for (const Waiting& c : children)
                if (c.d2 <= best.limit2) push(c);
        }
    };
    auto measureCell = [&](uint32_t occupied) {
        ++inspected;
        const unsigned count = starts[occupied + 1] - starts[occupied];
        if (count > kCrowdedCell) {
            const int root = CrowdRoot(occupied);
            if (root >= 0) {
                measureTree(unsigned(root));
                return;
            }
        }
        measureFaces(entries + starts[occupied], count);
    };

    // Occupied cells met but not yet measured, measured nearest first so that the first faces
    // measured are likely the closest and prune the rest.
    CCellBatch batch;
    // The loads of a batch are chained (offsets, then face indices, then cache entries) and mostly
    // miss the caches on a large mesh: each link is asked for in all cells still within the limit
    // before the next one is read, so that the misses overlap instead of following each other.
    auto flush = [&] {
        batch.Sort();
        int n = batch.count;
        while (n > 0 && batch.cells[n - 1].d2 > best.limit2) --n;
        // A crowded cell's list is asked for only as far as a plain cell's: it is measured through
        // its tree.
        for (int i = 0; i < n; ++i) {
            const uint32_t o = batch.cells[i].occupied;
            const unsigned end = std::min(starts[o + 1], starts[o] + kCrowdedCell);
            for (unsigned e = starts[o]; e < end; e += 16) detail::PrefetchLine(&entries[e]);
        }
        for (int i = 0; i < n; ++i) {
            const uint32_t o = batch.cells[i].occupied;
            const unsigned end = std::min(starts[o + 1], starts[o] + kCrowdedCell);
            for (unsigned e = starts[o]; e < end; ++e) detail::PrefetchLine(&cache[entries[e]]);
        }
        for (int i = 0; i < n; ++i) {
            if (batch.cells[i].d2 > best.limit2) break;
            measureCell(batch.cells[i].occupied);
        }
        batch.count = 0;
    };

    // Shells of cells at Chebyshev distance r = 0, 1, 2, ... from c. A plane, a row or a cell whose
    // box lies beyond the limit is skipped without looking at its faces. (No cell is occupied when
    // every face is measured apart, see Build.)
    for (int r = 0; m_nOccupied > 0; ++r) {
        int lo[3], hi[3];
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::max(c[k] - r, 0);
            hi[k] = std::min(c[k] + r, dims[k] - 1);
        }
        // Where both ends of an axis lie outside the grid, a plane or row off the shell in the
        // other axes has no cell on the shell at all: only the planes z = c - r, c + r (and rows
        // y = c - r, c + r) are walked then. Without this a grid that is long on one axis only
        // walked every row of every shell, which is quadratic in its length.
        const bool xEndsOut = c[0] - r < 0 && c[0] + r > dims[0] - 1;
        const bool yEndsOut = c[1] - r < 0 && c[1] + r > dims[1] - 1;
        const int zStep = r > 0 && xEndsOut && yEndsOut ? 2 * r : 1;
        for (int z = zStep == 1 ? lo[2] : c[2] - r; z <= hi[2]; z += zStep) {
            if (z < 0) continue;
            const double gz = AxisGap(p[2], m_origin[2] + z * s, s);
            const double dz2 = gz * gz;
            if (dz2 > best.limit2) continue;
            const bool zShell = z == c[2] - r || z == c[2] + r;
            const int yStep = !zShell && xEndsOut ? 2 * r : 1;
            for (int y = yStep == 1 ? lo[1] : c[1] - r; y <= hi[1]; y += yStep) {
                if (y < 0) continue;
                const double gy = AxisGap(p[1], m_origin[1] + y * s, s);
                const double dyz2 = dz2 + gy * gy;
                if (dyz2 > best.limit2) continue;
                const bool fullRow = zShell || y == c[1] - r || y == c[1] + r;
                // The code of cell (x, y, z) is rowBlock's block + x / 4, then rowLocal + x % 4.
                const uint64_t rowBlock = (uint64_t(z >> 2) * m_blocks[1] + uint64_t(y >> 2)) * m_blocks[0];
                const uint64_t rowLocal = uint64_t((z & 3) << 4 | (y & 3) << 2);
                // Inside the shell a row has only its two end cells on it.
                const int step = fullRow ? 1 : 2 * r;
                for (int x = fullRow ? lo[0] : c[0] - r; x <= hi[0]; x += step) {
                    if (x < 0) continue;
                    const double gx = AxisGap(p[0], m_origin[0] + x * s, s);
                    const double d2 = dyz2 + gx * gx;
                    if (d2 > best.limit2) continue;
                    const int64_t occupiedIndex =
                        OccupiedIndex((rowBlock + uint64_t(x >> 2)) << 6 | rowLocal | uint64_t(x & 3));
                    if (occupiedIndex < 0) continue;
                    detail::PrefetchLine(&starts[occupiedIndex]);
                    if (batch.count == CCellBatch::kSize) flush();
                    batch.cells[batch.count++] = {d2, uint32_t(occupiedIndex)};
                }
            }
        }
        // The own cell alone is worth measuring first only when a hint already set a limit;
        // otherwise it joins its 26 neighbours, nearest first.
        if (r == 0 && best.face < 0) continue;
        flush();
        // Every unvisited cell lies beyond one of the block's sides that has not reached the
        // grid's edge; the nearest such side bounds the distance to any face still unseen.
        double bound = HUGE_VAL;
        bool done = true;
        for (int k = 0; k < 3; ++k) {
            if (lo[k] > 0) {
                done = false;
                bound = std::min(bound, std::max(0.0, p[k] - (m_origin[k] + lo[k] * s)));
            }
            if (hi[k] < dims[k] - 1) {
                done = false;
                bound = std::min(bound, std::max(0.0, m_origin[k] + (hi[k] + 1) * s - p[k]));
            }
        }
        if (done || bound * bound > best.limit2) break;
        // Beyond the cells around p the answer lies in empty space's far side: the tree finds it
        // without walking the empty cells on the way.
        if (r >= kShellsBeforeTree) {
            WalkTree(p, best.limit2, lo, hi, measureCell);
            break;
        }
    }

    // The stray faces last, when the cells have set a limit that prunes most of them.
    if (m_stray.GetSize() > 0) measureFaces(m_stray.GetData(), unsigned(m_stray.GetSize()));

    if (stats) {
        stats->cellsInspected += inspected;
        stats->pointSegment += ps;
    }
    if (best.face < 0) return -1;
    distance = std::sqrt(best.d2);
    if (closest) GetFaceSquaredDistance(p, unsigned(best.face), closest, nullptr);
    return best.face;
}

void C3DFaceGridMap::SetLargePages(bool on) { g_largePages.store(on, std::memory_order_relaxed); }

bool C3DFaceGridMap::GetLargePages() { return g_largePages.load(std::memory_order_relaxed); }

void C3DFaceGridMap::ResetGlobalCounters() {
    g_queries.store(0, std::memory_order_relaxed);
    g_pointSegment.store(0, std::memory_order_relaxed);
    g_cellsInspected.store(0, std::memory_order_relaxed);
}

void C3DFaceGridMap::AddToGlobalCounters(const CFaceGridStats& stats) {
    g_queries.fetch_add(stats.queries, std::memory_order_relaxed);
    g_pointSegment.fetch_add(stats.pointSegment, std::memory_order_relaxed);
    g_cellsInspected.fetch_add(stats.cellsInspected, std::memory_order_relaxed);
}

CFaceGridStats C3DFaceGridMap::GetGlobalCounters() {
    CFaceGridStats s;
    s.queries = g_queries.load(std::memory_order_relaxed);
    s.pointSegment = g_pointSegment.load(std::memory_order_relaxed);
    s.cellsInspected = g_cellsInspected.load(std::memory_order_relaxed);
    return s;
}

// ---- C3DFaceList members ---------------------------------------------------------------------------

namespace {

// Serialise the check and the build of a list's grid map: comparisons on several host threads may
// measure against one shared mesh, and each asks for its grid. The first builds it, the others
// find it current. A map is only queried after this check, so queries need no lock. One lock of a
// small set per list (by address), so that the two directions of a comparison, each building the
// grid of its own target, still build side by side.
constexpr size_t kGridBuildLocks = 64;

std::mutex& GridBuildMutex(const void* list) {
    static std::mutex locks[kGridBuildLocks];
    const uintptr_t key = reinterpret_cast<uintptr_t>(list);
    return locks[(key >> 6 ^ key >> 12) % kGridBuildLocks];
}

}  // namespace

C3DFaceGridMap* C3DFaceList::GetFaceGridMap(const C3DPointList& points, unsigned int excludeMask) {
    std::lock_guard<std::mutex> guard(GridBuildMutex(this));
    C3DFaceGridMap* map = dynamic_cast<C3DFaceGridMap*>(m_pFaceGridMap);
    if (!map) {
        map = new C3DFaceGridMap;
        SetFaceGridMapObject(map);
    }
    if (!map->IsCurrent(*this, points, excludeMask)) map->Build(*this, points, excludeMask);
    return map;
}

C3DFaceGridMap* C3DFaceList::GetFaceGridMap(const CGeomInfo* geom, unsigned int excludeMask) {
    const C3DPointList* points = geom ? geom->GetSrc3DPointList() : nullptr;
    return points ? GetFaceGridMap(*points, excludeMask) : nullptr;
}

int C3DFaceList::GetClosestFace(const CGeomInfo* geom, const C3DTPoint<float>& p, double& distance,
                                double maxDistance) {
    distance = HUGE_VAL;
    C3DFaceGridMap* map = GetFaceGridMap(geom);
    if (!map) return -1;
    CFaceGridStats stats;
    int f = map->GetClosestFace(p, distance, maxDistance, &stats);
    C3DFaceGridMap::AddToGlobalCounters(stats);
    return f;
}

}  // namespace kestovar
