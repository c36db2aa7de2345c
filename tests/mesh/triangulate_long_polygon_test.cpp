// Long polygons are clipped through an index of their corners instead of walks over the polygon
// for each ear. The index must change nothing: on polygons of every sort (many reflex corners,
// rounding-made reflex corners, exact angle ties all around the polygon, self-crossing and repeated corners, teeth,
// thin and far-off shapes, non-planar ones) the indexed clip must cut exactly the triangles the
// walks cut, in the same order, also when one helper clips polygons of changing lengths. The
// number of rounds (one polygon of each sort per round) can be raised for a long run with
// KESTOVAR_LONG_POLYGON_ROUNDS, and their seed changed with KESTOVAR_LONG_POLYGON_SEED.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "kestovar/mesh/point_list.h"
#include "kestovar/mesh/triangulate.h"

namespace kestovar {

// Chooses the polygon length from which Clip indexes its corners.
struct EarClipIndexProbe {
    static void IndexFrom(CTriangulateFaceHelper& helper, int corners) { helper.m_indexFrom = corners; }
    static bool HasIndex(const CTriangulateFaceHelper& helper) { return helper.m_pIndex != nullptr; }
};

namespace test {
namespace {

struct Position {
    float x, y, z;
};

struct Polygon {
    std::vector<Position> points;
    std::vector<int> indices;
};

Position At(double x, double y, double z = 0.0) { return {float(x), float(y), float(z)}; }

enum Family {
    kStar,        // random radii: about half the corners reflex
    kRegular,     // evenly spaced on a circle: exact and rounded ties, rounding-made reflex corners
    kLattice,     // corners on a 5 x 5 lattice in random order: crossing, coincident, collinear
    kPooled,      // corner indices drawn from a few points: repeated indices, dropped ears
    kComb,        // narrow teeth on a long base: right angles everywhere, long thin ears
    kFarThin,     // a star a million units out, squashed to a hair: rounding and a stretched grid
    kNonPlanar,   // a star with its corners lifted at random off the plane
    kOctagon,     // lattice octagon with straight corners between: exact ties all around
    kFamilies
};

Polygon Make(Family family, int n, std::mt19937& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Polygon poly;
    auto star = [&](double x0, double y0, double sx, double sy, double lift) {
        for (int i = 0; i < n; ++i) {
            const double a = 2.0 * M_PI * i / n, r = 0.2 + 0.8 * unit(rng);
            poly.points.push_back(At(x0 + sx * r * std::cos(a), y0 + sy * r * std::sin(a), lift * unit(rng)));
        }
    };
    switch (family) {
        case kStar:
            star(0.0, 0.0, 1.0, 1.0, 0.0);
            break;
        case kRegular:
            for (int i = 0; i < n; ++i) {
                const double a = 2.0 * M_PI * i / n;
                poly.points.push_back(At(std::cos(a), std::sin(a)));
            }
            break;
        case kLattice:
        case kPooled:
            for (int i = 0; i < n; ++i)
                poly.points.push_back(At(double(rng() % 5), double(rng() % 5), 0.0));
            break;
        case kComb:
            for (int i = 0; i < n; ++i) {
                const int tooth = i / 4, step = i % 4;
                const double x = 2.0 * tooth + (step == 2 || step == 3 ? 1.0 : 0.0);
                const double y = step == 0 || step == 3 ? 0.25 : 9.0;
                poly.points.push_back(At(x, y));
            }
            poly.points.push_back(At(2.0 * (n / 4), 0.0));
            poly.points.push_back(At(0.0, 0.0));
            break;
        case kFarThin:
            star(1e6, -1e6, 1.0, 1e-4, 0.0);
            break;
        case kNonPlanar:
            star(0.0, 0.0, 1.0, 1.0, 0.05);
            break;
        case kOctagon: {
            // Equal runs of unit steps in the eight lattice directions, starting along x so that
            // the projection is exact: every corner is straight (pi) or 3 pi / 4, and after each
            // cut the same angles recur on the far sides of the polygon.
            static const int steps[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
            const int run = n / 8 > 0 ? n / 8 : 1;
            int x = 0, y = 0;
            for (const auto& step : steps)
                for (int i = 0; i < run; ++i) {
                    poly.points.push_back(At(x, y));
                    x += step[0];
                    y += step[1];
                }
            break;
        }
        default:
            break;
    }
    const int points = int(poly.points.size());
    if (family == kPooled) {
        // A few points only, so that indices repeat; the first two differ so the polygon has an
        // axis.
        poly.indices.push_back(0);
        poly.indices.push_back(1);
        for (int i = 2; i < n; ++i) poly.indices.push_back(int(rng() % 7));
        poly.points[0] = At(0.0, 0.0);
        poly.points[1] = At(4.0, 0.0);
    } else {
        for (int i = 0; i < points; ++i) poly.indices.push_back(i);
    }
    return poly;
}

const char* Name(int family) {
    static const char* const names[] = {"star",     "regular",    "lattice", "pooled",
                                        "comb",     "far-thin",   "non-planar", "octagon"};
    return names[family];
}

// Clips `poly` with both helpers and requires the same triangles.
void ExpectSameClip(CTriangulateFaceHelper& indexed, CTriangulateFaceHelper& walked, const Polygon& poly,
                    int family) {
    const int count = int(poly.indices.size());
    SCOPED_TRACE(::testing::Message() << Name(family) << " polygon of " << count << " corners");
    C3DPointList points;
    for (const Position& p : poly.points) points.Add(p.x, p.y, p.z);
    const int a = indexed.Clip(points.GetPoints(), points.GetSize(), poly.indices.data(), count);
    const int b = walked.Clip(points.GetPoints(), points.GetSize(), poly.indices.data(), count);
    ASSERT_EQ(a, b);
    const int* ta = indexed.GetTriangles();
    const int* tb = walked.GetTriangles();
    for (int i = 0; i < 3 * a; ++i)
        ASSERT_EQ(ta[i], tb[i]) << "triangle " << i / 3 << " of " << a;
}

int FromEnvironment(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

TEST(EarClippingLongPolygons, IndexCutsTheTrianglesTheWalksCut) {
    CTriangulateFaceHelper indexed, walked;
    EarClipIndexProbe::IndexFrom(indexed, 3);
    EarClipIndexProbe::IndexFrom(walked, INT_MAX);
    std::mt19937 rng(unsigned(FromEnvironment("KESTOVAR_LONG_POLYGON_SEED", 20261208)));
    const int rounds = FromEnvironment("KESTOVAR_LONG_POLYGON_ROUNDS", 40);
    // Lengths go up and down, so that the index's storage is reused at other lengths.
    for (int round = 0; round < rounds; ++round)
        for (int family = 0; family < kFamilies; ++family) {
            const int n = 4 + int(rng() % 300);
            ExpectSameClip(indexed, walked, Make(Family(family), n, rng), family);
        }
    for (int family = 0; family < kFamilies; ++family)
        ExpectSameClip(indexed, walked, Make(Family(family), 3000, rng), family);
    EXPECT_TRUE(EarClipIndexProbe::HasIndex(indexed));
    EXPECT_FALSE(EarClipIndexProbe::HasIndex(walked));
}

}  // namespace
}  // namespace test
}  // namespace kestovar
