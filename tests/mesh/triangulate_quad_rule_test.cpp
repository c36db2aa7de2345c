// The quadrangle shortcut of the face split against the general ear clipping: on random
// quadrangles of every sort (general, concave, self-crossing, non-planar, degenerate, repeated
// corners, exact and rounded angle ties, corners at the preferred-angle bound, far from the
// origin, one edge nearly vanishing) the split must cut exactly the triangles Clip cuts, in the
// same corner order, and the shortcut must decide (not hand back to Clip) on the common shapes.
// The number of quadrangles per family can be raised for a long run with
// KESTOVAR_QUAD_RULE_COUNT.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "kestovar/mesh/triangulate.h"

namespace kestovar {

// Reaches the helper's private split (the shortcut when it decides, else Clip).
struct TriangulateSplitProbe {
    static int Split(CTriangulateFaceHelper& helper, const C3DTPoint<float>* points, int pointCount,
                     const int* indices, const int*& corners, bool& quick) {
        const int made = helper.Split(points, pointCount, indices, 4, corners);
        quick = corners == helper.m_quick;
        return made;
    }
    static void SplitPair(CTriangulateFaceHelper& helper, const C3DTPoint<float>* points, int pointCount,
                          const int* a, const int* b, int made[2], const int* corners[2]) {
        helper.SplitQuadPair(points, pointCount, a, b, made, corners);
    }
    static void SplitGroup(CTriangulateFaceHelper& helper, const C3DTPoint<float>* points, int pointCount,
                           const int* const* quads, int count, int* made, const int** corners) {
        helper.SplitQuadGroup(points, pointCount, quads, count, made, corners);
    }
    // Whether the face-list pass splits four or eight quadrangles at once on this processor.
    static bool HasGroups(const CTriangulateFaceHelper& helper) { return helper.m_avx2; }
    // Chooses the form the pair split decides in: AVX (only where the processor has it) or SSE2.
    static bool UseAvx(CTriangulateFaceHelper& helper, bool avx) {
        const bool had = helper.m_avx;
        helper.m_avx = avx && had;
        return helper.m_avx;
    }
};

namespace test {
namespace {

using Quad = std::array<std::array<float, 3>, 4>;

// Quadrangle families; each aims at some of the rule's decision points.
enum Family {
    kRandomSpace,       // corners anywhere in a cube: concave, crossing, folded
    kIntegerSpace,      // corners on a 3 x 3 x 3 lattice: coincident, collinear, exact ties
    kAxisPlaneLattice,  // corners on a lattice of a coordinate plane: exact projections, ties
    kAxisPlaneShapes,   // rectangles, squares, rhombi, kites, trapezoids in a coordinate plane
    kRotatedShapes,     // the same shapes turned in space: ties broken by rounding
    kWideCorners,       // three corners near or above the preferred-angle bound
    kNearlyFlat,        // a corner within 1e-7 of a straight angle, or a nearly empty quadrangle
    kFolded,            // convex quadrangles folded out of their plane a little
    kFarAway,           // small quadrangles far from the origin
    kShortEdge,         // one edge 1e-6 to 1e-2 of the others: angles decided by a few ulps
    kFamilyCount
};

class QuadMaker {
public:
    explicit QuadMaker(uint32_t seed) : m_rng(seed) {}

    Quad Make(Family family) {
        switch (family) {
            case kRandomSpace: {
                Quad q;
                for (auto& p : q)
                    for (float& v : p) v = Uniform(-1.0f, 1.0f);
                return q;
            }
            case kIntegerSpace: {
                Quad q;
                for (auto& p : q)
                    for (float& v : p) v = float(Int(3));
                return q;
            }
            case kAxisPlaneLattice: {
                Quad q;
                const float level = float(Int(5)) - 2.0f;
                for (auto& p : q) p = {float(Int(4)), float(Int(4)), level};
                return Axes(q);
            }
            case kAxisPlaneShapes:
                return Axes(Scaled(Shape(), Int(2) ? float(1 + Int(8)) : Uniform(0.01f, 10.0f)));
            case kRotatedShapes:
                return Turned(Scaled(Shape(), Uniform(0.1f, 10.0f)));
            case kWideCorners: {
                // A kite with angles a, b, c, b: corners 1..3 within a few thousandths of the
                // bound (all above it, or some below), corner 0 taking the rest of 2 pi.
                const double b = 1.58 + Uniform(-1e-3f, 3e-3f), c = 1.58 + Uniform(-1e-3f, 3e-3f);
                const double a = 2.0 * 3.14159265358979 - 2.0 * b - c;
                const double tip = std::cos(a / 2) + std::sin(a / 2) / std::tan(c / 2);
                Quad q = {{{0.0f, 0.0f, 0.0f},
                           {float(std::cos(a / 2)), -float(std::sin(a / 2)), 0.0f},
                           {float(tip), 0.0f, 0.0f},
                           {float(std::cos(a / 2)), float(std::sin(a / 2)), 0.0f}}};
                q = Rotate(q, Int(4));
                return Int(2) ? Turned(q) : Axes(q);
            }
            case kNearlyFlat: {
                const float e = Uniform(-1e-7f, 1e-7f) * float(Int(3));
                Quad q = {{{0, 0, 0}, {1, e, 0}, {2, 0, 0}, {1, Int(2) ? 1.0f : 1e-6f, 0}}};
                q = Rotate(q, Int(4));
                return Int(2) ? Turned(q) : Axes(q);
            }
            case kFolded: {
                Quad q = Scaled(Shape(), Uniform(0.5f, 2.0f));
                q[size_t(Int(4))][2] += Uniform(-0.05f, 0.05f);
                return Int(2) ? Turned(q) : Axes(q);
            }
            case kFarAway: {
                Quad q = Int(2) ? Scaled(Shape(), Uniform(0.001f, 0.1f)) : Make(kRandomSpace);
                const float ox = Uniform(-1e4f, 1e4f), oy = Uniform(-1e4f, 1e4f), oz = Uniform(-1e4f, 1e4f);
                for (auto& p : q) p = {p[0] + ox, p[1] + oy, p[2] + oz};
                return q;
            }
            case kShortEdge: {
                // A trapezoid whose top edge nearly vanishes (two corners close to a right angle
                // or to each other), or a rectangle one of whose sides nearly vanishes.
                const float t = std::pow(10.0f, Uniform(-6.0f, -2.0f));
                Quad q = Int(2) ? Quad{{{0, 0, 0}, {1, 0, 0}, {0.5f + t, 1, 0}, {0.5f - t, 1, 0}}}
                                : Quad{{{0, 0, 0}, {1, 0, 0}, {1, t, 0}, {0, t, 0}}};
                if (Int(2)) std::swap(q[1], q[3]);
                q = Rotate(q, Int(4));
                return Int(2) ? Turned(Scaled(q, Uniform(0.1f, 100.0f))) : Axes(q);
            }
            default:
                return Quad{};
        }
    }

private:
    float Uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(m_rng); }
    int Int(int n) { return int(m_rng() % uint32_t(n)); }

    // A convex shape in the z = 0 plane, corners counter-clockwise or clockwise, starting anywhere.
    Quad Shape() {
        Quad q;
        const float w = Int(3) ? 1.0f : Uniform(0.2f, 3.0f), h = Int(2) ? w : Uniform(0.2f, 3.0f);
        switch (Int(5)) {
            case 0:
                q = {{{0, 0, 0}, {w, 0, 0}, {w, h, 0}, {0, h, 0}}};
                break;  // rectangle
            case 1:
                q = {{{0, -h, 0}, {w, 0, 0}, {0, h, 0}, {-w, 0, 0}}};
                break;  // rhombus
            case 2:
                q = {{{0, -h, 0}, {w, 0, 0}, {0, h, 0}, {-0.5f * w, 0, 0}}};
                break;  // kite
            case 3:
                q = {{{0, 0, 0}, {w, 0, 0}, {0.75f * w, h, 0}, {0.25f * w, h, 0}}};
                break;  // trapezoid
            default:
                q = {{{Uniform(0, 0.3f), Uniform(0, 0.3f), 0},
                      {Uniform(0.7f, 1), Uniform(0, 0.3f), 0},
                      {Uniform(0.7f, 1), Uniform(0.7f, 1), 0},
                      {Uniform(0, 0.3f), Uniform(0.7f, 1), 0}}};
        }
        if (Int(2)) std::swap(q[1], q[3]);
        return Rotate(q, Int(4));
    }
    static Quad Rotate(const Quad& q, int by) {
        Quad r;
        for (int i = 0; i < 4; ++i) r[size_t(i)] = q[size_t((i + by) % 4)];
        return r;
    }
    static Quad Scaled(Quad q, float s) {
        for (auto& p : q)
            for (float& v : p) v *= s;
        return q;
    }
    // The z = 0 shape moved to another coordinate plane with its axes permuted and mirrored.
    Quad Axes(Quad q) {
        const int perm = Int(6);
        static const int order[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
        const float sign[3] = {Int(2) ? 1.0f : -1.0f, Int(2) ? 1.0f : -1.0f, Int(2) ? 1.0f : -1.0f};
        const float offset = float(Int(3));
        for (auto& p : q) {
            const std::array<float, 3> o = p;
            for (int a = 0; a < 3; ++a)
                p[size_t(order[perm][a])] = sign[a] * o[size_t(a)] + (a == 2 ? offset : 0.0f);
        }
        return q;
    }
    // The shape turned by a random rotation (a unit quaternion).
    Quad Turned(Quad q) {
        std::normal_distribution<double> g;
        double w = g(m_rng), x = g(m_rng), y = g(m_rng), z = g(m_rng);
        const double n = std::sqrt(w * w + x * x + y * y + z * z);
        w /= n, x /= n, y /= n, z /= n;
        const double m[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                                {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                                {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
        for (auto& p : q) {
            const double v[3] = {p[0], p[1], p[2]};
            for (int r = 0; r < 3; ++r)
                p[size_t(r)] = float(m[r][0] * v[0] + m[r][1] * v[1] + m[r][2] * v[2]);
        }
        return q;
    }

    std::mt19937 m_rng;
};

// Corner index patterns: four distinct points, or repeated ones (a corner used twice).
const int kPatterns[][4] = {{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}, {0, 0, 2, 3},
                            {0, 1, 0, 3}, {0, 1, 2, 2}, {3, 1, 2, 3}};

int QuadsPerFamily() {
    const char* v = std::getenv("KESTOVAR_QUAD_RULE_COUNT");
    return v && std::atoi(v) > 0 ? std::atoi(v) : 25000;
}

TEST(TriangulateQuadRule, SplitCutsWhatClipCutsOnEveryKindOfQuadrangle) {
    const int perFamily = QuadsPerFamily();
    const int patterns = int(sizeof kPatterns / sizeof kPatterns[0]);
    CTriangulateFaceHelper fast, general;
    QuadMaker maker(20261207u);
    C3DTPoint<float> points[4];
    for (int family = 0; family < kFamilyCount; ++family) {
        SCOPED_TRACE(::testing::Message() << "family " << family);
        int quick = 0, mismatches = 0;
        for (int i = 0; i < perFamily; ++i) {
            const Quad q = maker.Make(Family(family));
            for (int c = 0; c < 4; ++c)
                points[c] = C3DTPoint<float>(q[size_t(c)][0], q[size_t(c)][1], q[size_t(c)][2]);
            const int* indices = kPatterns[i % patterns];
            const int* got = nullptr;
            bool shortcut = false;
            const int made = TriangulateSplitProbe::Split(fast, points, 4, indices, got, shortcut);
            const int expected = general.Clip(points, 4, indices, 4);
            quick += shortcut;
            bool same = made == expected;
            for (int k = 0; same && k < 3 * made; ++k) same = got[k] == general.GetTriangles()[k];
            if (!same && ++mismatches <= 5) {
                ADD_FAILURE() << "quadrangle " << i << " corners " << indices[0] << indices[1] << indices[2]
                              << indices[3] << ": (" << q[0][0] << ", " << q[0][1] << ", " << q[0][2] << ") ("
                              << q[1][0] << ", " << q[1][1] << ", " << q[1][2] << ") (" << q[2][0] << ", "
                              << q[2][1] << ", " << q[2][2] << ") (" << q[3][0] << ", " << q[3][1] << ", "
                              << q[3][2] << "): " << made << " vs " << expected << " triangles";
            }
        }
        EXPECT_EQ(mismatches, 0);
        // The shortcut must carry the usual shapes, not leave them all to Clip.
        if (family == kAxisPlaneShapes || family == kFolded || family == kWideCorners) {
            EXPECT_GT(quick, perFamily / 4);
        } else if (family == kRandomSpace || family == kAxisPlaneLattice || family == kShortEdge) {
            EXPECT_GT(quick, perFamily / 50);
        }
    }
}

// Two quadrangles split side by side (the face-list pass pairs consecutive quadrangles): each
// must get what Clip cuts from it alone, whatever family its neighbour comes from, including
// lanes the pair hands back to the one-face split (bad indices, coincident first corners). Both
// forms of the pair split are checked: SSE2 always, AVX where the processor has it.
class QuadranglePairs : public ::testing::TestWithParam<bool> {};

TEST_P(QuadranglePairs, CutWhatClipCuts) {
    const int pairs = 4 * QuadsPerFamily();
    const int patterns = int(sizeof kPatterns / sizeof kPatterns[0]);
    CTriangulateFaceHelper fast, general;
    if (TriangulateSplitProbe::UseAvx(fast, GetParam()) != GetParam())
        GTEST_SKIP() << "the processor has no AVX";
    QuadMaker maker(7u);
    C3DTPoint<float> points[8];
    int mismatches = 0;
    for (int i = 0; i < pairs; ++i) {
        const Family fa = Family(i % kFamilyCount), fb = Family((i / kFamilyCount) % kFamilyCount);
        const Quad qa = maker.Make(fa), qb = maker.Make(fb);
        for (int c = 0; c < 4; ++c) {
            points[c] = C3DTPoint<float>(qa[size_t(c)][0], qa[size_t(c)][1], qa[size_t(c)][2]);
            points[c + 4] = C3DTPoint<float>(qb[size_t(c)][0], qb[size_t(c)][1], qb[size_t(c)][2]);
        }
        int a[4], b[4];
        for (int c = 0; c < 4; ++c) {
            a[c] = kPatterns[i % patterns][c];
            b[c] = 4 + kPatterns[(i / patterns) % patterns][c];
        }
        if (i % 97 == 0) b[i % 4] = 8;           // out of range: nothing cut from that quadrangle
        if (i % 89 == 0) points[1] = points[0];  // coincident first corners
        int made[2];
        const int* corners[2];
        TriangulateSplitProbe::SplitPair(fast, points, 8, a, b, made, corners);
        for (int lane = 0; lane < 2; ++lane) {
            const int expected = general.Clip(points, 8, lane == 0 ? a : b, 4);
            bool same = made[lane] == expected;
            for (int k = 0; same && k < 3 * expected; ++k)
                same = corners[lane][k] == general.GetTriangles()[k];
            if (!same && ++mismatches <= 5)
                ADD_FAILURE() << "pair " << i << " lane " << lane << " (families " << fa << ", " << fb
                              << "): " << made[lane] << " vs " << expected << " triangles";
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// Four or eight quadrangles split side by side (the face-list pass groups consecutive
// quadrangles so where the processor has AVX2; eight go as two interleaved groups of four): each
// lane must get what Clip cuts from its quadrangle alone, whichever families share the group and
// whichever lanes are handed back to the one-face split (bad indices, coincident first corners,
// shapes too close to call), in every lane position.
class QuadrangleGroups : public ::testing::TestWithParam<int> {};

TEST_P(QuadrangleGroups, CutWhatClipCuts) {
    const int count = GetParam();
    CTriangulateFaceHelper fast, general;
    if (!TriangulateSplitProbe::HasGroups(fast)) GTEST_SKIP() << "the processor has no AVX2";
    const int groups = 8 * QuadsPerFamily() / count;
    const int patterns = int(sizeof kPatterns / sizeof kPatterns[0]);
    QuadMaker maker(1207u + uint32_t(count));
    C3DTPoint<float> points[32];
    int mismatches = 0;
    for (int i = 0; i < groups; ++i) {
        int quads[8][4];
        Family families[8];
        for (int lane = 0; lane < count; ++lane) {
            // Lane families cycle at different rates, so that families meet in every lane position.
            const int rate = lane % 4 == 0 ? 1 : lane % 4 == 1 ? kFamilyCount : lane % 4 == 2 ? 7 : 13;
            families[lane] = Family((i / rate + lane) % kFamilyCount);
            const Quad q = maker.Make(families[lane]);
            for (int c = 0; c < 4; ++c) {
                points[4 * lane + c] = C3DTPoint<float>(q[size_t(c)][0], q[size_t(c)][1], q[size_t(c)][2]);
                quads[lane][c] = 4 * lane + kPatterns[(i + 3 * lane) % patterns][c];
            }
        }
        const int pointCount = 4 * count;
        if (i % 53 == 0) quads[(i / 53) % count][i % 4] = pointCount;  // out of range
        if (i % 47 == 0) {
            const int lane = (i / 47) % count;
            points[4 * lane + 1] = points[4 * lane];  // coincident first corners
        }
        const int* lanes[8];
        for (int lane = 0; lane < count; ++lane) lanes[lane] = quads[lane];
        int made[8];
        const int* corners[8];
        TriangulateSplitProbe::SplitGroup(fast, points, pointCount, lanes, count, made, corners);
        for (int lane = 0; lane < count; ++lane) {
            const int expected = general.Clip(points, pointCount, quads[lane], 4);
            bool same = made[lane] == expected;
            for (int k = 0; same && k < 3 * expected; ++k) same = corners[lane][k] == general.GetTriangles()[k];
            if (!same && ++mismatches <= 5)
                ADD_FAILURE() << "group " << i << " lane " << lane << " (family " << families[lane]
                              << "): " << made[lane] << " vs " << expected << " triangles";
        }
    }
    EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(TriangulateQuadRule, QuadrangleGroups, ::testing::Values(4, 8),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

INSTANTIATE_TEST_SUITE_P(TriangulateQuadRule, QuadranglePairs, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Avx" : "Sse2"; });

}  // namespace
}  // namespace test
}  // namespace kestovar
