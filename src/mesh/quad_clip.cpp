// Exact ear clipping of strictly convex quadrangles without atan2, one at a time or several side
// by side in vector lanes; see quad_clip.h.
#include "quad_clip.h"

#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "normal_internal.h"
#include "point_record.h"

namespace kestovar {
namespace detail {

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

}  // namespace

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

namespace {

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
    usable &= MeasureLanes(angle[0], ex[3], ey[3], ex[0], ey[0]) &
              MeasureLanes(angle[1], ex[0], ey[0], ex[1], ey[1]) &
              MeasureLanes(angle[2], ex[1], ey[1], ex[2], ey[2]) &
              MeasureLanes(angle[3], ex[2], ey[2], ex[3], ey[3]);
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
    const V gx = PickByEar(ear, qx, 1) - PickByEar(ear, qx, 3),
            gy = PickByEar(ear, qy, 1) - PickByEar(ear, qy, 3);
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
[[gnu::always_inline]] inline void ClipConvexQuadLanes(const C3DTPoint<float>* points,
                                                       const int* const* indices, int (*out)[6], int* made) {
    LaneEars<V> ears;
    FindEarLanes(points, indices, ears);
    CutEarLanes(ears, indices, out, made);
}

}  // namespace

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

[[gnu::target("avx2")]] void ClipConvexQuadFourAvx2(const C3DTPoint<float>* points,
                                                    const int* const indices[4], int out[4][6], int made[4]) {
    ClipConvexQuadLanes<V4>(points, indices, out, made);
}

// Eight quadrangles as two groups of four whose parts alternate (first parts, then second
// parts): the two groups' long chains of dependent operations are independent, so the
// processor can run them side by side.
[[gnu::target("avx2")]] void ClipConvexQuadEightAvx2(const C3DTPoint<float>* points,
                                                     const int* const indices[8], int out[8][6],
                                                     int made[8]) {
    LaneEars<V4> a, b;
    FindEarLanes(points, indices, a);
    FindEarLanes(points, indices + 4, b);
    CutEarLanes(a, indices, out, made);
    CutEarLanes(b, indices + 4, out + 4, made + 4);
}
#else
void ClipConvexQuadPairAvx(const C3DTPoint<float>* points, const int* indices[2], int out[2][6],
                           int made[2]) {
    ClipConvexQuadLanes<V2>(points, indices, out, made);
}

void ClipConvexQuadFourAvx2(const C3DTPoint<float>* points, const int* const indices[4], int out[4][6],
                            int made[4]) {
    ClipConvexQuadLanes<V4>(points, indices, out, made);
}

void ClipConvexQuadEightAvx2(const C3DTPoint<float>* points, const int* const indices[8], int out[8][6],
                             int made[8]) {
    ClipConvexQuadLanes<V4>(points, indices, out, made);
    ClipConvexQuadLanes<V4>(points, indices + 4, out + 4, made + 4);
}
#endif

}  // namespace detail
}  // namespace kestovar
