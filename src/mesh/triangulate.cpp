// Ear clipping of polygons and the triangulation of face lists and objects.
#include "kestovar/mesh/triangulate.h"

#include <cmath>
#include <cstring>
#include <typeinfo>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
#include "point_record.h"

namespace kestovar {

namespace {

// An ear whose corner angle exceeds this (a little above a right angle) is only cut when no
// sharper convex corner is left: cutting the sharpest corners first keeps triangles compact.
constexpr double kMaxPreferredAngle = 1.58;

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

// ---- strictly convex quadrangles --------------------------------------------------------------

namespace {

// Clip compares corner angles atan2(c, d) (c the cross product, d the dot product of the two
// edges at a corner, L = sqrt(c^2 + d^2) their lengths' product). On strictly convex corners
// (c > 0, angles in (0, pi)) two angles a and b compare as the sign of
// d_a c_b - d_b c_a = L_a L_b sin(angle_b - angle_a), and an angle exceeds kMaxPreferredAngle (B)
// exactly when c cos B - d sin B = L sin(angle - B) is positive: no division, no atan2. The atan2
// results are rounded, so a comparison is only trusted when the angles differ by far more than
// their rounding: |sin(gap)| above 1e-12 (then the gap itself is), tested on squares so that
// nothing is divided; rounding of the products is ~1e-16 of L_a L_b, far below. Bitwise equal
// (c, d) pairs give bitwise equal angles, a tie that keeps the first corner as Clip does.
// Anything closer, and any overflow (an infinite or NaN product fails the strict test), makes
// the quick path give up and leaves the decision to Clip.
const double kCosMaxPreferredAngle = std::cos(kMaxPreferredAngle);
const double kSinMaxPreferredAngle = std::sin(kMaxPreferredAngle);
constexpr double kSquaredAngleMargin = 1e-12 * 1e-12;

// A corner's angle as Clip's UpdateAngle measures it: the cross and dot products of its edges,
// and the square of their lengths' product.
struct QuickAngle {
    double c, d, l;
};

// The angle at a corner reached along edge (ax, ay) and left along edge (bx, by) (each the
// difference of its end and start positions); false unless strictly convex and far from 0 and pi
// (atan2 of a nearly flat corner may round to the bounds themselves). UpdateAngle takes the
// edges from the corner, e1 = -a and e2 = b; since rounding is symmetric (fl(-u) = -fl(u) for
// differences and products), its c = e1y e2x - e1x e2y and d = e1y e2y + e1x e2x are bitwise
// ax by - ay bx and -(ay by + ax bx), so each edge is computed once for both of its corners.
[[gnu::always_inline]] inline bool Measure(QuickAngle& r, double ax, double ay, double bx, double by) {
    r.c = ax * by - ay * bx;
    r.d = -(ay * by + ax * bx);
    r.l = r.c * r.c + r.d * r.d;
    return r.c > 0.0 && std::fabs(r.d) < 1e12 * r.c;
}

// Whether a's angle is below b's; a gap too close to call sets `undecided`.
[[gnu::always_inline]] inline bool Less(const QuickAngle& a, const QuickAngle& b, bool& undecided) {
    if (a.c == b.c && a.d == b.d) return false;
    const double s = a.d * b.c - b.d * a.c;
    if (!(s * s > kSquaredAngleMargin * a.l * b.l)) undecided = true;
    return s > 0.0;
}

// Whether a's angle exceeds kMaxPreferredAngle; too close to call sets `undecided`.
inline bool Wide(const QuickAngle& a, bool& undecided) {
    const double w = a.c * kCosMaxPreferredAngle - a.d * kSinMaxPreferredAngle;
    if (!(w * w > kSquaredAngleMargin * a.l)) undecided = true;
    return w > 0.0;
}

// Newell sums of a quadrangle's normal from its corners' coordinates, for one quadrangle (double)
// or two side by side (a two-double vector, each lane the same operations in the same order, so
// bitwise the scalar sums).
template <class T>
[[gnu::always_inline]] inline void QuadNewell(const T X[4], const T Y[4], const T Z[4], T& nx, T& ny, T& nz) {
    nx = T{};
    ny = T{};
    nz = T{};
    for (int a = 0; a < 4; ++a) {
        const int b = (a + 1) & 3;
        nx += (Y[a] - Y[b]) * (Z[a] + Z[b]);
        ny += (Z[a] - Z[b]) * (X[a] + X[b]);
        nz += (X[a] - X[b]) * (Y[a] + Y[b]);
    }
}

// The sum of the magnitudes of QuadNewell's terms (defined with the lane helpers below), and the
// share of it by which a double sum must exceed the normal epsilon for the single-precision sums
// surely to have a normal.
template <class T>
[[gnu::always_inline]] inline T QuadNewellScale(const T X[4], const T Y[4], const T Z[4]);
constexpr double kFloatNewellSlack = 0x1p-20;

// Divides (x, y, z) by its length `len` without dividing when every component is zero or of
// magnitude `len` (a vector along an axis, as the normal and first edge of a quadrangle lying in
// a coordinate plane): those quotients are exact, +-0 and +-1, so the result is bitwise the
// division's. False, nothing changed, otherwise.
inline bool ExactUnit(double& x, double& y, double& z, double len) {
    // Each case first tests one component for zero, which a vector off every axis (the usual
    // case) fails.
    if (y == 0.0 && z == 0.0) {
        if (std::fabs(x) != len) return false;
        x = std::copysign(1.0, x);
        return true;
    }
    if (x == 0.0 && z == 0.0) {
        if (std::fabs(y) != len) return false;
        y = std::copysign(1.0, y);
        return true;
    }
    if (x == 0.0 && y == 0.0) {
        if (std::fabs(z) != len) return false;
        z = std::copysign(1.0, z);
        return true;
    }
    return false;
}

// The triangles of a quadrangle whose first ear is at corner e, the triangle left being cut at
// corner n = e + 1 (`nFirst`) or p = e + 3, written to `out` as (candidate, next, previous); a
// triangle whose point indices are not distinct is dropped, as Clip drops it. Returns their count.
[[gnu::always_inline]] inline int WriteQuadCut(int e, bool nFirst, const int* indices, int out[6]) {
    // Four distinct point indices (the usual case): both triangles, as the general rule below
    // lays them out for each first ear and each choice of the second.
    static constexpr int kCuts[4][2][6] = {
        {{0, 1, 3, 3, 1, 2}, {0, 1, 3, 1, 2, 3}},
        {{1, 2, 0, 0, 2, 3}, {1, 2, 0, 2, 3, 0}},
        {{2, 3, 1, 1, 3, 0}, {2, 3, 1, 3, 0, 1}},
        {{3, 0, 2, 2, 0, 1}, {3, 0, 2, 0, 1, 2}},
    };
    const int i0 = indices[0], i1 = indices[1], i2 = indices[2], i3 = indices[3];
    if (((i0 != i1) & (i0 != i2) & (i0 != i3) & (i1 != i2) & (i1 != i3) & (i2 != i3)) != 0) {
        std::memcpy(out, kCuts[e][nFirst ? 1 : 0], sizeof kCuts[0][0]);
        return 2;
    }
    const int n = (e + 1) & 3, p = (e + 3) & 3, x = (e + 2) & 3;
    int made = 0;
    if (indices[e] != indices[n] && indices[e] != indices[p] && indices[n] != indices[p]) {
        out[0] = e;
        out[1] = n;
        out[2] = p;
        made = 1;
    }
    // (candidate, next, previous) in the triangle.
    const int t0 = nFirst ? n : p, t1 = nFirst ? x : n, t2 = nFirst ? p : x;
    if (indices[t0] != indices[t1] && indices[t0] != indices[t2] && indices[t1] != indices[t2]) {
        out[3 * made] = t0;
        out[3 * made + 1] = t1;
        out[3 * made + 2] = t2;
        ++made;
    }
    return made;
}

// The triangles of a strictly convex quadrangle whose first ear is at corner e (projected
// corners qx, qy, edges ex, ey from corner i to i + 1), written to `out` as ClipConvexQuad
// describes; -1 when a decision is too close to call (`undecided` already, or the triangle left).
[[gnu::always_inline]] inline int CutQuad(const double qx[4], const double qy[4], const double ex[4],
                                          const double ey[4], int e, bool undecided, const int* indices,
                                          int out[6]) {
    const int n = (e + 1) & 3, p = (e + 3) & 3, x = (e + 2) & 3;
    // The triangle left, n -> x -> p: corners p and n are measured again, x keeps its angle. Its
    // angles add up to pi, so the sharper of n and p is below pi / 2 and never wide: Clip cuts
    // it at once, n when strictly sharper than p, else p.
    // Corner p is reached along edge x and left along the diagonal to n; corner n is reached
    // along that diagonal and left along edge n.
    QuickAngle an, ap;
    const double gx = qx[n] - qx[p], gy = qy[n] - qy[p];
    if (!Measure(ap, ex[x], ey[x], gx, gy) || !Measure(an, gx, gy, ex[n], ey[n])) return -1;
    const bool nFirst = Less(an, ap, undecided);
    if (undecided) return -1;
    return WriteQuadCut(e, nFirst, indices, out);
}

// The triangles Clip cuts from a quadrangle whose four corners are strictly convex in its
// projection, found without atan2: the same projection and angle inputs, and those of Clip's
// decisions that can go either way (the others follow from the angle sums, as the comments in
// the body say). Writes the corner numbers of the triangles to `out` and returns their count,
// or -1 when the quadrangle is not strictly convex, cannot be projected or a decision is too close
// to call (Clip must then decide).
int ClipConvexQuad(const C3DTPoint<float>* points, int pointCount, const int* indices, int out[6]) {
    const int i0 = indices[0], i1 = indices[1], i2 = indices[2], i3 = indices[3];
    if (unsigned(i0) >= unsigned(pointCount) || unsigned(i1) >= unsigned(pointCount) ||
        unsigned(i2) >= unsigned(pointCount) || unsigned(i3) >= unsigned(pointCount))
        return -1;
    // The corners in double, as Project reads them (every expression below is Project's, in the
    // same order of operations, so that the projected positions are bitwise the same).
    const double X[4] = {points[i0].x, points[i1].x, points[i2].x, points[i3].x};
    const double Y[4] = {points[i0].y, points[i1].y, points[i2].y, points[i3].y};
    const double Z[4] = {points[i0].z, points[i1].z, points[i2].z, points[i3].z};
    // Non-finite coordinates (which Project refuses) need no test of their own: every coordinate
    // is a factor of some product of the Newell sums, a product with an infinite or NaN factor is
    // infinite or NaN, and so is any sum holding one, so the length test below rejects them.
    double nx, ny, nz;
    QuadNewell(X, Y, Z, nx, ny, nz);
    const double surely = detail::kNormalEpsilon + kFloatNewellSlack * QuadNewellScale(X, Y, Z);
    if (!(std::fabs(nx) > surely || std::fabs(ny) > surely || std::fabs(nz) > surely)) return -1;
    double nl = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(nl > 0.0) || !std::isfinite(nl)) return -1;
    if (!ExactUnit(nx, ny, nz, nl)) {
        nx /= nl;
        ny /= nl;
        nz /= nl;
    }
    double ux = 0.0, uy = 0.0, uz = 0.0;
    bool found = false;
    for (int i = 1; i < 4 && !found; ++i) {
        ux = X[i] - X[0];
        uy = Y[i] - Y[0];
        uz = Z[i] - Z[0];
        found = std::fabs(ux) >= 1e-15 || std::fabs(uy) >= 1e-15 || std::fabs(uz) >= 1e-15;
    }
    if (!found) return -1;
    double ul = std::sqrt(ux * ux + uy * uy + uz * uz);
    if (ul > 1e-15 && !ExactUnit(ux, uy, uz, ul)) {
        ux /= ul;
        uy /= ul;
        uz /= ul;
    }
    double vx = ny * uz - nz * uy, vy = nz * ux - nx * uz, vz = nx * uy - ny * ux;
    double qx[4], qy[4];
    for (int i = 0; i < 4; ++i) {
        double dx = X[i] - X[0], dy = Y[i] - Y[0], dz = Z[i] - Z[0];
        qx[i] = dx * ux + dy * uy + dz * uz;
        qy[i] = dx * vx + dy * vy + dz * vz;
    }
    // Edge i runs from corner i to corner i + 1. Every corner is measured, so the results
    // combine without short-circuiting.
    double ex[4], ey[4];
    for (int i = 0; i < 4; ++i) {
        ex[i] = qx[(i + 1) & 3] - qx[i];
        ey[i] = qy[(i + 1) & 3] - qy[i];
    }
    QuickAngle angle[4];
    const bool convex = (int(Measure(angle[0], ex[3], ey[3], ex[0], ey[0])) &
                         int(Measure(angle[1], ex[0], ey[0], ex[1], ey[1])) &
                         int(Measure(angle[2], ex[1], ey[1], ex[2], ey[2])) &
                         int(Measure(angle[3], ex[2], ey[2], ex[3], ey[3]))) != 0;
    if (!convex) return -1;

    // First ear: the sharpest of corners 1..3 (the first of equals), unless it is wide. Then Clip
    // takes the sharpest of the other corners, which is always corner 0: the four angles of a
    // convex quadrangle add up to 2 pi, so with corners 1..3 all above the bound (1.58) corner 0
    // is below 2 pi - 3 * 1.58 = 1.543, by a margin no rounding of the angles comes near. No
    // corner is reflex, so nothing blocks the ear.
    bool undecided = false;
    int e = Less(angle[2], angle[1], undecided) ? 2 : 1;
    if (Less(angle[3], angle[e], undecided)) e = 3;
    if (Wide(angle[e], undecided)) e = 0;
    return CutQuad(qx, qy, ex, ey, e, undecided, indices, out);
}

// ---- two or four quadrangles at once ----
//
// ClipConvexQuad for several quadrangles side by side, one in each lane of double vectors (two
// lanes for SSE2 and AVX, four for AVX2): every lane computes the scalar expressions in the same
// order (IEEE operations are the same per lane), so the projected corners, edges and angle inputs
// are bitwise the scalar ones. The normal and the first edge are always divided by their lengths:
// where ExactUnit skips the division, the quotients are the exact +-0 and +-1 it writes. A lane
// whose quadrangle needs anything the lanes do not do (a second corner too close to the first, a
// short first edge, no normal) or that is not strictly convex, or whose decision is too close to
// call, gives -1.

typedef double V2 __attribute__((vector_size(16)));
typedef double V4 __attribute__((vector_size(32)));

// The helpers below pass four-lane vectors by value; they are always inlined into the function
// of the right target, so no call ever crosses the ABI the compilers warn about (GCC warns at the
// end of the file, so the warning stays off from here on).
#if defined(__clang__)
#if __has_warning("-Wpsabi")
#pragma clang diagnostic ignored "-Wpsabi"
#endif
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// The comparison mask of a vector of doubles: all ones in a lane where the comparison holds.
template <class V>
using MaskOf = decltype(V{} < V{});

template <class V>
struct LaneAngle {
    V c, d, l;
};

template <class V>
[[gnu::always_inline]] inline V Abs(V v) {
    typedef MaskOf<V> M;
    return (V)((M)v & (M{} + 0x7FFFFFFFFFFFFFFFll));
}

// |v| for a double and for the lanes.
[[gnu::always_inline]] inline double Magnitude(double v) {
    return std::fabs(v);
}
template <class V>
[[gnu::always_inline]] inline V Magnitude(V v) {
    return Abs(v);
}

// The sum of the magnitudes of QuadNewell's twelve terms. The face normal is made of the same
// sums in single precision, which differ from the double ones by at most a few roundings of
// these magnitudes (about 6 * 2^-24 of their sum); so where a double sum exceeds the normal
// epsilon by kFloatNewellSlack of it, the single-precision sums surely have a normal, and the
// shortcut may decide. Elsewhere Clip decides, with the exact rule.
template <class T>
[[gnu::always_inline]] inline T QuadNewellScale(const T X[4], const T Y[4], const T Z[4]) {
    T scale = T{};
    for (int a = 0; a < 4; ++a) {
        const int b = (a + 1) & 3;
        scale += Magnitude((Y[a] - Y[b]) * (Z[a] + Z[b])) + Magnitude((Z[a] - Z[b]) * (X[a] + X[b])) +
                 Magnitude((X[a] - X[b]) * (Y[a] + Y[b]));
    }
    return scale;
}

// Measure per lane; the mask is all ones where the corner is strictly convex (and far from 0, pi).
template <class V>
[[gnu::always_inline]] inline MaskOf<V> MeasureLanes(LaneAngle<V>& r, V ax, V ay, V bx, V by) {
    r.c = ax * by - ay * bx;
    r.d = -(ay * by + ax * bx);
    r.l = r.c * r.c + r.d * r.d;
    return (r.c > V{}) & (Abs(r.d) < (V{} + 1e12) * r.c);
}

// Less per lane: `less` where a's angle is below b's, `undecided` where too close to call.
template <class V>
[[gnu::always_inline]] inline void LessLanes(const LaneAngle<V>& a, const LaneAngle<V>& b, MaskOf<V>& less,
                                             MaskOf<V>& undecided) {
    typedef MaskOf<V> M;
    const M tie = (a.c == b.c) & (a.d == b.d);
    const V s = a.d * b.c - b.d * a.c;
    const M clear = s * s > (V{} + kSquaredAngleMargin) * a.l * b.l;
    less = ~tie & (s > V{});
    undecided = ~tie & ~clear;
}

// Wide per lane.
template <class V>
[[gnu::always_inline]] inline void WideLanes(const LaneAngle<V>& a, MaskOf<V>& wide, MaskOf<V>& undecided) {
    const V w = a.c * (V{} + kCosMaxPreferredAngle) - a.d * (V{} + kSinMaxPreferredAngle);
    wide = w > V{};
    undecided = ~(w * w > (V{} + kSquaredAngleMargin) * a.l);
}

[[gnu::always_inline]] inline V2 SquareRoot(V2 v) {
#if defined(__SSE2__)
    return (V2)_mm_sqrt_pd((__m128d)v);
#else
    return V2{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

// In halves, so that no helper needs a target of its own (each is compiled for its caller's).
[[gnu::always_inline]] inline V4 SquareRoot(V4 v) {
    const V2 low = SquareRoot(V2{v[0], v[1]}), high = SquareRoot(V2{v[2], v[3]});
    return V4{low[0], low[1], high[0], high[1]};
}

// values[(e + shift) & 3] in each lane, e being the lane's ear corner (ear[e] all ones there, the
// other masks zero).
template <class V>
[[gnu::always_inline]] inline V PickByEar(const MaskOf<V> ear[4], const V values[4], int shift) {
    typedef MaskOf<V> M;
    M r = ear[0] & (M)values[shift & 3];
    for (int k = 1; k < 4; ++k) r |= ear[k] & (M)values[(k + shift) & 3];
    return (V)r;
}

// ExactUnit for every lane at once: when in each lane every component is zero or of magnitude
// `len`, writes the exact quotients (+-0 stays, the other becomes +-1) and returns true; else
// false, nothing changed (a lane that qualifies gets the same bits from the division).
template <class V>
[[gnu::always_inline]] inline bool ExactUnitLanes(V& x, V& y, V& z, V len) {
    typedef MaskOf<V> M;
    constexpr int kLanes = int(sizeof(V) / sizeof(double));
    const M zx = x == V{}, zy = y == V{}, zz = z == V{};
    const M exact = (zx | (Abs(x) == len)) & (zy | (Abs(y) == len)) & (zz | (Abs(z) == len));
    for (int lane = 0; lane < kLanes; ++lane)
        if (!exact[lane]) return false;
    const M sign = M{} + (long long)0x8000000000000000ull;
    const M one = (M)(V{} + 1.0);
    x = (V)((zx & (M)x) | (~zx & (((M)x & sign) | one)));
    y = (V)((zy & (M)y) | (~zy & (((M)y & sign) | one)));
    z = (V)((zz & (M)z) | (~zz & (((M)z & sign) | one)));
    return true;
}

// The first part of the lane split, up to the first ear: the projected corners and edges, the
// ear's corner as one mask per corner, and the lanes already found too close to call (or not
// usable).
template <class V>
struct LaneEars {
    V qx[4], qy[4], ex[4], ey[4];
    MaskOf<V> ear[4];
    MaskOf<V> undecided;
};

template <class V>
[[gnu::always_inline]] inline void FindEarLanes(const C3DTPoint<float>* points, const int* const* indices,
                                                LaneEars<V>& r) {
    typedef MaskOf<V> M;
    constexpr int kLanes = int(sizeof(V) / sizeof(double));
    V X[4], Y[4], Z[4];
    if constexpr (kLanes == 4) {
        // Each point record read whole (PointRecordWords: flags, x, y, z), the flag lane
        // cleared, widened to doubles at once (exactly, as the scalar conversions) and
        // transposed into the lanes: a few vector instructions per corner instead of twelve
        // scalar loads, conversions and inserts.
        typedef float F4 __attribute__((vector_size(16)));
        typedef int I4 __attribute__((vector_size(16)));
        const I4 keep = {0, -1, -1, -1};
        for (int i = 0; i < 4; ++i) {
            V r[4];
            for (int lane = 0; lane < 4; ++lane) {
                F4 v;
                std::memcpy(&v, detail::PointRecordWords(points[indices[lane][i]]), sizeof v);
                r[lane] = __builtin_convertvector((F4)((I4)v & keep), V);
            }
            const V xy01 = __builtin_shufflevector(r[0], r[1], 1, 5, 2, 6);
            const V xy23 = __builtin_shufflevector(r[2], r[3], 1, 5, 2, 6);
            const V z01 = __builtin_shufflevector(r[0], r[1], 3, 7, 3, 7);
            const V z23 = __builtin_shufflevector(r[2], r[3], 3, 7, 3, 7);
            X[i] = __builtin_shufflevector(xy01, xy23, 0, 1, 4, 5);
            Y[i] = __builtin_shufflevector(xy01, xy23, 2, 3, 6, 7);
            Z[i] = __builtin_shufflevector(z01, z23, 0, 1, 4, 5);
        }
    } else {
        for (int i = 0; i < 4; ++i)
            for (int lane = 0; lane < kLanes; ++lane) {
                const C3DTPoint<float>& p = points[indices[lane][i]];
                X[i][lane] = double(p.x);
                Y[i][lane] = double(p.y);
                Z[i][lane] = double(p.z);
            }
    }
    V nx, ny, nz;
    QuadNewell(X, Y, Z, nx, ny, nz);
    const V nn = nx * nx + ny * ny + nz * nz;
    const V nl = SquareRoot(nn);
    const V tiny = V{} + 1e-15;
    // No normal: not above 0, or not finite (NaN fails both comparisons); and a normal the
    // single-precision sums might not have is left to Clip (QuadNewellScale).
    const V surely = (V{} + detail::kNormalEpsilon) + (V{} + kFloatNewellSlack) * QuadNewellScale(X, Y, Z);
    M usable =
        (nl > V{}) & (nl < V{} + HUGE_VAL) & ((Abs(nx) > surely) | (Abs(ny) > surely) | (Abs(nz) > surely));
    if (!ExactUnitLanes(nx, ny, nz, nl)) {
        nx /= nl;
        ny /= nl;
        nz /= nl;
    }
    // The first edge, to corner 1 (the scalar search goes on to corners 2 and 3 when corner 1
    // is within 1e-15 of corner 0 on every axis: such lanes are left to it).
    V ux = X[1] - X[0], uy = Y[1] - Y[0], uz = Z[1] - Z[0];
    usable &= (Abs(ux) >= tiny) | (Abs(uy) >= tiny) | (Abs(uz) >= tiny);
    const V uu = ux * ux + uy * uy + uz * uz;
    const V ul = SquareRoot(uu);
    usable &= ul > tiny;
    if (!ExactUnitLanes(ux, uy, uz, ul)) {
        ux /= ul;
        uy /= ul;
        uz /= ul;
    }
    const V vx = ny * uz - nz * uy, vy = nz * ux - nx * uz, vz = nx * uy - ny * ux;
    V* qx = r.qx;
    V* qy = r.qy;
    for (int i = 0; i < 4; ++i) {
        const V dx = X[i] - X[0], dy = Y[i] - Y[0], dz = Z[i] - Z[0];
        qx[i] = dx * ux + dy * uy + dz * uz;
        qy[i] = dx * vx + dy * vy + dz * vz;
    }
    V* ex = r.ex;
    V* ey = r.ey;
    for (int i = 0; i < 4; ++i) {
        ex[i] = qx[(i + 1) & 3] - qx[i];
        ey[i] = qy[(i + 1) & 3] - qy[i];
    }
    LaneAngle<V> angle[4];
    usable &= MeasureLanes(angle[0], ex[3], ey[3], ex[0], ey[0]) & MeasureLanes(angle[1], ex[0], ey[0], ex[1], ey[1]) &
              MeasureLanes(angle[2], ex[1], ey[1], ex[2], ey[2]) & MeasureLanes(angle[3], ex[2], ey[2], ex[3], ey[3]);
    // Every comparison the first-ear choice may make, per lane; each lane then takes its own.
    M less21, und21, less31, und31, less32, und32, wide[4], undWide[4];
    LessLanes(angle[2], angle[1], less21, und21);
    LessLanes(angle[3], angle[1], less31, und31);
    LessLanes(angle[3], angle[2], less32, und32);
    for (int i = 1; i < 4; ++i) WideLanes(angle[i], wide[i], undWide[i]);
    // The first ear per lane, as one mask per corner: corner 2 where it is sharper than corner 1,
    // else 1; then 3 where it is sharper than that one; then 0 where that one is wide.
    const M sharper3 = (less21 & less32) | (~less21 & less31);
    M undecided = ~usable | und21 | (less21 & und32) | (~less21 & und31);
    const M at1 = ~less21 & ~sharper3, at2 = less21 & ~sharper3, at3 = sharper3;
    undecided |= (at1 & undWide[1]) | (at2 & undWide[2]) | (at3 & undWide[3]);
    const M at0 = (at1 & wide[1]) | (at2 & wide[2]) | (at3 & wide[3]);
    r.ear[0] = at0;
    r.ear[1] = at1 & ~at0;
    r.ear[2] = at2 & ~at0;
    r.ear[3] = at3 & ~at0;
    r.undecided = undecided;
}

// The second part: the triangle left decided, each lane's triangles written to out[lane] and
// their count to made[lane] (-1: not decided here).
template <class V>
[[gnu::always_inline]] inline void CutEarLanes(const LaneEars<V>& r, const int* const* indices, int (*out)[6],
                                               int* made) {
    typedef MaskOf<V> M;
    constexpr int kLanes = int(sizeof(V) / sizeof(double));
    const M* ear = r.ear;
    const V *qx = r.qx, *qy = r.qy, *ex = r.ex, *ey = r.ey;
    // The triangle left, n -> x -> p (n = e + 1, x = e + 2, p = e + 3), measured as CutQuad
    // measures it, its positions and edges picked lane by lane (bitwise) by the ear's corner.
    const V gx = PickByEar(ear, qx, 1) - PickByEar(ear, qx, 3), gy = PickByEar(ear, qy, 1) - PickByEar(ear, qy, 3);
    LaneAngle<V> an, ap;
    const M measured = MeasureLanes(ap, PickByEar(ear, ex, 2), PickByEar(ear, ey, 2), gx, gy) &
                       MeasureLanes(an, gx, gy, PickByEar(ear, ex, 1), PickByEar(ear, ey, 1));
    M nFirst, undecidedLeft;
    LessLanes(an, ap, nFirst, undecidedLeft);
    const M failed = r.undecided | undecidedLeft | ~measured;
    for (int lane = 0; lane < kLanes; ++lane) {
        if (failed[lane]) {
            made[lane] = -1;
            continue;
        }
        const int e = int(ear[1][lane] & 1) | int(ear[2][lane] & 2) | int(ear[3][lane] & 3);
        made[lane] = WriteQuadCut(e, nFirst[lane] != 0, indices[lane], out[lane]);
    }
}

// Both parts for one vector of lanes.
template <class V>
[[gnu::always_inline]] inline void ClipConvexQuadLanes(const C3DTPoint<float>* points, const int* const* indices,
                                                       int (*out)[6], int* made) {
    LaneEars<V> ears;
    FindEarLanes(points, indices, ears);
    CutEarLanes(ears, indices, out, made);
}

// The lane split in three forms of the same code: two lanes for SSE2, which every x86-64
// processor has, and for AVX, whose three-operand instructions spare the register copies the
// two-operand SSE2 ones need; four lanes for AVX2. The operations are the same, lane by lane, and
// no form enables fused multiply-add, so all give the same bits.
void ClipConvexQuadPair(const C3DTPoint<float>* points, const int* indices[2], int out[2][6], int made[2]) {
    ClipConvexQuadLanes<V2>(points, indices, out, made);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx")]] void ClipConvexQuadPairAvx(const C3DTPoint<float>* points, const int* indices[2],
                                                  int out[2][6], int made[2]) {
    ClipConvexQuadLanes<V2>(points, indices, out, made);
}

[[gnu::target("avx2")]] void ClipConvexQuadFourAvx2(const C3DTPoint<float>* points, const int* const indices[4],
                                                    int out[4][6], int made[4]) {
    ClipConvexQuadLanes<V4>(points, indices, out, made);
}

// Eight quadrangles as two groups of four whose parts alternate (first parts, then second
// parts): the two groups' long chains of dependent operations are independent, so the
// processor can run them side by side.
[[gnu::target("avx2")]] void ClipConvexQuadEightAvx2(const C3DTPoint<float>* points, const int* const indices[8],
                                                     int out[8][6], int made[8]) {
    LaneEars<V4> a, b;
    FindEarLanes(points, indices, a);
    FindEarLanes(points, indices + 4, b);
    CutEarLanes(a, indices, out, made);
    CutEarLanes(b, indices + 4, out + 4, made + 4);
}
#else
void ClipConvexQuadPairAvx(const C3DTPoint<float>* points, const int* indices[2], int out[2][6], int made[2]) {
    ClipConvexQuadLanes<V2>(points, indices, out, made);
}

void ClipConvexQuadFourAvx2(const C3DTPoint<float>* points, const int* const indices[4], int out[4][6], int made[4]) {
    ClipConvexQuadLanes<V4>(points, indices, out, made);
}

void ClipConvexQuadEightAvx2(const C3DTPoint<float>* points, const int* const indices[8], int out[8][6],
                             int made[8]) {
    ClipConvexQuadLanes<V4>(points, indices, out, made);
    ClipConvexQuadLanes<V4>(points, indices + 4, out + 4, made + 4);
}
#endif

}  // namespace

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
        const int quick = ClipConvexQuad(points, pointCount, indices, m_quick);
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
            ClipConvexQuadPairAvx(points, indices, m_pair, made);
        else
            ClipConvexQuadPair(points, indices, m_pair, made);
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
            ClipConvexQuadEightAvx2(points, quads, m_group, made);
        else
            ClipConvexQuadFourAvx2(points, quads, m_group, made);
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
