// The face grid map: the closest point on a triangle (every Voronoi region, degenerate triangles),
// closest-face queries against brute force, the distance bound, which faces are indexed, when the
// map is rebuilt, polygons, elongated boxes, the cache chunk, and queries from several threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "compare_test_util.h"
#include "kestovar/core/archive.h"
#include "kestovar/core/matrix.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/platform/file.h"

using namespace kestovar;
using namespace kestovar::comparetest;

namespace {

// An object of a mesh and its face grid map.
struct Grid {
    ObjectPtr object;
    C3DFaceGridMap* map;
};
Grid MakeGrid(const Mesh& m) {
    ObjectPtr o = MakeObject(m);
    C3DFaceGridMap* map = o->GetFaceList()->GetFaceGridMap(*o->GetPointList());
    return {std::move(o), map};
}

// The grid's answer for `p`, searched from `hint`, is the brute-force face and distance, bit for
// bit; the face found goes to `face`.
::testing::AssertionResult MatchesBruteForce(const C3DFaceGridMap& map, const Mesh& m, const double* p, int hint = -1,
                                             int* face = nullptr, double* distance = nullptr,
                                             CFaceGridStats* stats = nullptr) {
    double d;
    const int f = map.GetClosestFace(p, d, HUGE_VAL, stats, hint);
    if (face) *face = f;
    if (distance) *distance = d;
    int want = -1;
    const double wantD = std::sqrt(BruteForce2(m, p, &want));
    if (d == wantD && f == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "face " << f << " at " << d << ", brute force: face " << want << " at "
                                         << wantD;
}

// The point of triangle t at (u, v) folded into the triangle, each coordinate moved by up to
// `offset` (drawn from `r` in axis order).
void NearFace(const Mesh& m, size_t t, double u, double v, double offset, Random& r, double* p) {
    if (u + v > 1) u = 1 - u, v = 1 - v;
    for (int k = 0; k < 3; ++k) {
        const double a = m.xyz[3 * m.tris[3 * t] + k], b = m.xyz[3 * m.tris[3 * t + 1] + k],
                     c = m.xyz[3 * m.tris[3 * t + 2] + k];
        p[k] = a + u * (b - a) + v * (c - a) + offset * r.Range(-1, 1);
    }
}

// A strip of `n` unit cells along x, `width` wide, its far side raised by `rise` * (i % `period`).
Mesh MakeStrip(int n, double width, double rise, int period) {
    Mesh strip;
    for (int i = 0; i <= n; ++i) strip.AddPoint(i, 0, 0), strip.AddPoint(i, width, rise * (i % period));
    for (int i = 0; i < n; ++i) strip.tris.insert(strip.tris.end(), {2 * i, 2 * i + 2, 2 * i + 3, 2 * i, 2 * i + 3, 2 * i + 1});
    return strip;
}

double Seg2(const double* p, const double* a, const double* b) {
    double ab[3], ap[3];
    for (int k = 0; k < 3; ++k) {
        ab[k] = b[k] - a[k];
        ap[k] = p[k] - a[k];
    }
    double l2 = ab[0] * ab[0] + ab[1] * ab[1] + ab[2] * ab[2];
    double t = l2 > 0 ? (ap[0] * ab[0] + ap[1] * ab[1] + ap[2] * ab[2]) / l2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    double d = 0;
    for (int k = 0; k < 3; ++k) d += (p[k] - a[k] - t * ab[k]) * (p[k] - a[k] - t * ab[k]);
    return d;
}

// Smallest squared distance from p to the faces of `m`, the triangles numbered first and the
// quadrangles after them, each measured as the fan (0, 1, 2), (0, 2, 3) as the grid measures it;
// the lowest index among equals goes to `face`.
double BruteForceWithQuads(const Mesh& m, const double* p, int& face) {
    const int nTris = int(m.tris.size() / 3), nQuads = int(m.quads.size() / 4);
    auto corner = [&](int v, double* out) {
        for (int k = 0; k < 3; ++k) out[k] = m.xyz[3 * v + k];
    };
    double best = HUGE_VAL;
    face = -1;
    for (int t = 0; t < nTris + nQuads; ++t) {
        double a[3], b[3], c[3], d = HUGE_VAL;
        if (t < nTris) {
            corner(m.tris[3 * t], a), corner(m.tris[3 * t + 1], b), corner(m.tris[3 * t + 2], c);
            d = meshClosestPointOnTriangle(p, a, b, c);
        } else {
            const int* v = &m.quads[4 * (t - nTris)];
            corner(v[0], a);
            for (int i = 1; i + 1 < 4; ++i) {
                corner(v[i], b), corner(v[i + 1], c);
                d = std::min(d, meshClosestPointOnTriangle(p, a, b, c));
            }
        }
        if (d < best) best = d, face = t;
    }
    return best;
}

// A flat square patch of side x side squares of edge `step`, two triangles each, from (x, y, z).
void AddPatch(Mesh& m, double x, double y, double z, int side, double step) {
    const int base = int(m.xyz.size() / 3);
    for (int j = 0; j <= side; ++j)
        for (int i = 0; i <= side; ++i) m.AddPoint(x + i * step, y + j * step, z);
    for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
            const int a = base + j * (side + 1) + i;
            m.tris.insert(m.tris.end(), {a, a + 1, a + side + 2, a, a + side + 2, a + side + 1});
        }
}

// Independent reference: the plane's foot when it falls inside the triangle, else the nearest edge.
double Reference2(const double* p, const double* a, const double* b, const double* c) {
    double e1[3], e2[3], n[3];
    for (int k = 0; k < 3; ++k) {
        e1[k] = b[k] - a[k];
        e2[k] = c[k] - a[k];
    }
    n[0] = e1[1] * e2[2] - e1[2] * e2[1];
    n[1] = e1[2] * e2[0] - e1[0] * e2[2];
    n[2] = e1[0] * e2[1] - e1[1] * e2[0];
    double n2 = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
    double edges = std::min(Seg2(p, a, b), std::min(Seg2(p, b, c), Seg2(p, c, a)));
    if (n2 == 0) return edges;
    double s = ((p[0] - a[0]) * n[0] + (p[1] - a[1]) * n[1] + (p[2] - a[2]) * n[2]) / n2;
    double q[3] = {p[0] - s * n[0], p[1] - s * n[1], p[2] - s * n[2]};
    const double* v[3] = {a, b, c};
    for (int i = 0; i < 3; ++i) {
        const double* u = v[i];
        const double* w = v[(i + 1) % 3];
        double ew[3] = {w[0] - u[0], w[1] - u[1], w[2] - u[2]}, uq[3] = {q[0] - u[0], q[1] - u[1], q[2] - u[2]};
        double cr[3] = {ew[1] * uq[2] - ew[2] * uq[1], ew[2] * uq[0] - ew[0] * uq[2], ew[0] * uq[1] - ew[1] * uq[0]};
        if (cr[0] * n[0] + cr[1] * n[1] + cr[2] * n[2] < 0) return edges;
    }
    return s * s * n2;
}

}  // namespace

TEST(ClosestPointOnTriangle, EveryRegionOfARightTriangle) {
    //  c (0,1)
    //  |  \  (hypotenuse b-c)
    //  a -- b (1,0)
    const double a[3] = {0, 0, 0}, b[3] = {1, 0, 0}, c[3] = {0, 1, 0};
    struct Case {
        double p[3];
        double d2;
        double q[3];
    } cases[] = {
        {{0.2, 0.2, 3}, 9, {0.2, 0.2, 0}},    // face
        {{-1, -1, 0}, 2, {0, 0, 0}},          // vertex a
        {{2, -1, 0}, 2, {1, 0, 0}},           // vertex b
        {{-1, 2, 1}, 3, {0, 1, 0}},           // vertex c
        {{0.5, -2, 0}, 4, {0.5, 0, 0}},       // edge ab
        {{-3, 0.5, 1}, 10, {0, 0.5, 0}},      // edge ac
        {{1, 1, 0}, 0.5, {0.5, 0.5, 0}},      // edge bc
    };
    for (const Case& k : cases) {
        double q[3];
        EXPECT_NEAR(meshClosestPointOnTriangle(k.p, a, b, c, q), k.d2, 1e-14);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(q[i], k.q[i], 1e-14);
    }
    uint64_t segments = 0;
    meshClosestPointOnTriangle(cases[4].p, a, b, c, nullptr, &segments);
    EXPECT_EQ(segments, 1u);
}

TEST(ClosestPointOnTriangle, DegenerateTrianglesAreMeasuredAsSegmentsOrPoints) {
    const double a[3] = {0, 0, 0}, b[3] = {2, 0, 0}, mid[3] = {1, 0, 0}, needle[3] = {2, 1e-12, 0};
    const double p[3] = {3, 1, 0}, q[3] = {1, 2, 0};
    // Collinear, a repeated corner, a needle, a single point.
    EXPECT_NEAR(meshClosestPointOnTriangle(p, a, b, mid), 2.0, 1e-12);
    EXPECT_NEAR(meshClosestPointOnTriangle(q, a, mid, mid), 4.0, 1e-12);
    EXPECT_NEAR(meshClosestPointOnTriangle(q, a, b, needle), 4.0, 1e-9);
    EXPECT_NEAR(meshClosestPointOnTriangle(q, a, a, a), 5.0, 1e-12);
}

TEST(ClosestPointOnTriangle, AgreesWithAnIndependentReferenceOnRandomInput) {
    Random r(7);
    for (int i = 0; i < 20000; ++i) {
        double a[3], b[3], c[3], p[3];
        for (int k = 0; k < 3; ++k) {
            a[k] = r.Range(-1, 1);
            b[k] = r.Range(-1, 1);
            c[k] = r.Range(-1, 1);
            p[k] = r.Range(-2, 2);
        }
        if (i % 4 == 0)  // thin triangles: c close to the line ab
            for (int k = 0; k < 3; ++k) c[k] = a[k] + 0.3 * (b[k] - a[k]) + r.Range(-1e-4, 1e-4);
        double got = meshClosestPointOnTriangle(p, a, b, c);
        double want = Reference2(p, a, b, c);
        ASSERT_NEAR(got, want, 1e-9 * (1 + want)) << "case " << i;
    }
}

namespace {

// A sphere, a plate, one large triangle through both, a collinear triangle and a point triangle.
Mesh MakeSoup() {
    Mesh m = MakeIcosphere(3);
    Mesh plate = MakePlate(12, 3.0);
    int base = int(m.xyz.size() / 3);
    for (size_t i = 0; i < plate.xyz.size(); i += 3) m.AddPoint(plate.xyz[i] - 1.5, plate.xyz[i + 1] - 1.5, -1.3);
    for (int v : plate.tris) m.tris.push_back(base + v);
    int a = m.AddPoint(-2, -2, -2), b = m.AddPoint(2, 2, 2), c = m.AddPoint(2, -2, 0);
    m.tris.insert(m.tris.end(), {a, b, c});
    int d = m.AddPoint(0, 0, 1.5), e = m.AddPoint(1, 1, 1.5), f = m.AddPoint(2, 2, 1.5);
    m.tris.insert(m.tris.end(), {d, e, f, e, e, e});
    return m;
}

}  // namespace

TEST(FaceGridMap, ClosestFaceMatchesBruteForce) {
    Mesh m = MakeSoup();
    ObjectPtr o = MakeObject(m);
    CGeomInfo geom(o.get());
    C3DFaceGridMap* map = o->GetFaceList()->GetFaceGridMap(&geom);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->GetIndexedFaceCount(), int(m.tris.size() / 3));
    Random r(11);
    for (int i = 0; i < 1500; ++i) {
        double p[3];
        if (i < 800) {  // near the sphere
            double x = r.Range(-1, 1), y = r.Range(-1, 1), z = r.Range(-1, 1);
            double l = std::sqrt(x * x + y * y + z * z) + 1e-9, s = r.Range(0.95, 1.05) / l;
            p[0] = x * s, p[1] = y * s, p[2] = z * s;
        } else if (i < 1400) {  // anywhere in and around the box
            for (double& v : p) v = r.Range(-3, 3);
        } else {  // far away
            for (double& v : p) v = r.Range(-100, 100);
        }
        double d, q[3];
        CFaceGridStats stats;
        int f = map->GetClosestFace(p, d, HUGE_VAL, &stats, -1, q);
        ASSERT_GE(f, 0);
        double want = std::sqrt(BruteForce2(m, p));
        // Bit for bit: the grid measures the same faces with the same arithmetic, only fewer of them.
        ASSERT_EQ(d, want) << "query " << i;
        EXPECT_DOUBLE_EQ(std::sqrt(map->GetFaceSquaredDistance(p, unsigned(f))), d);
        EXPECT_NEAR(std::sqrt((p[0] - q[0]) * (p[0] - q[0]) + (p[1] - q[1]) * (p[1] - q[1]) +
                              (p[2] - q[2]) * (p[2] - q[2])),
                    d, 1e-9 * (1 + d));
        EXPECT_EQ(stats.queries, 1u);
    }
}

namespace {

// A latitude-longitude sphere of radius 1 + 0.1 sin(3 theta) sin(4 phi): fans of thin triangles at
// the poles, a wavy band in between. Faces are numbered ring after ring.
Mesh MakeBumpySphere(int rings, int segments) {
    Mesh m;
    const double pi = 3.14159265358979323846;
    for (int i = 0; i <= rings; ++i) {
        double theta = pi * i / rings;
        for (int j = 0; j < segments; ++j) {
            double phi = 2 * pi * j / segments, r = 1.0 + 0.1 * std::sin(3 * theta) * std::sin(4 * phi);
            m.AddPoint(r * std::sin(theta) * std::cos(phi), r * std::sin(theta) * std::sin(phi), r * std::cos(theta));
        }
    }
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            int a = i * segments + j, b = i * segments + (j + 1) % segments, c = a + segments, d = b + segments;
            m.tris.insert(m.tris.end(), {a, c, d, a, d, b});
        }
    }
    return m;
}

}  // namespace

// Points close to a dense surface, where a query prunes most of the cells and faces it could
// visit: every distance equals the brute-force one bit for bit, asked in random order without a
// hint and in surface order with the previous answer as the hint (as the samplers ask).
TEST(FaceGridMap, NearSurfaceQueriesMatchBruteForceInAnyOrder) {
    Mesh m = MakeBumpySphere(24, 40);
    auto [o, map] = MakeGrid(m);
    const size_t nFaces = m.tris.size() / 3;
    const double s = map->GetCellSize();
    Random r(21);
    int hint = -1;
    for (int i = 0; i < 3000; ++i) {
        const bool surfaceOrder = i >= 1500;
        const size_t t = surfaceOrder ? size_t(i - 1500) * nFaces / 1500 : size_t(r.Next() * double(nFaces));
        const double u = r.Next(), v = r.Next();
        // Offsets from a hair to two cells: the own cell is often empty, the answer sometimes two
        // cells away.
        double p[3];
        NearFace(m, t, u, v, s * (i % 3 == 0 ? 1e-6 : (i % 3 == 1 ? 0.5 : 2.0)), r, p);
        // Faces at the same distance (a shared corner or edge is often the closest point): the
        // lowest index wins, whatever the order the search met them in and whatever the hint.
        ASSERT_TRUE(MatchesBruteForce(*map, m, p, surfaceOrder ? hint : -1, &hint)) << "query " << i;
        ASSERT_GE(hint, 0);
    }
}

// Answers more than two cells away come from the occupancy tree over the blocks: two dense
// spheres far apart (a grid mostly empty between them, with several tree levels), asked from the
// empty middle, from beside each sphere, and from far outside the grid on every side. Every
// answer is the brute-force face and distance, bit for bit.
TEST(FaceGridMap, QueriesFarFromEveryFaceMatchBruteForce) {
    Mesh m = MakeBumpySphere(30, 48);
    const size_t points = m.xyz.size() / 3, tris = m.tris.size();
    for (size_t i = 0; i < points; ++i) m.AddPoint(m.xyz[3 * i] + 40.0, m.xyz[3 * i + 1], m.xyz[3 * i + 2] * 0.5);
    for (size_t i = 0; i < tris; ++i) m.tris.push_back(m.tris[i] + int(points));
    auto [o, map] = MakeGrid(m);
    ASSERT_GT(map->GetCellCount(0), 64u) << "the grid should need tree levels above the blocks";
    Random r(77);
    for (int i = 0; i < 600; ++i) {
        double p[3];
        if (i < 200) {  // the empty space between the spheres
            p[0] = r.Range(3, 37), p[1] = r.Range(-1, 1), p[2] = r.Range(-1, 1);
        } else if (i < 400) {  // beside either sphere, a few radii out
            const double x = r.Range(-1, 1), y = r.Range(-1, 1), z = r.Range(-1, 1);
            const double l = std::sqrt(x * x + y * y + z * z) + 1e-9, s = r.Range(1.5, 4.0) / l;
            p[0] = x * s + (i % 2 ? 40.0 : 0.0), p[1] = y * s, p[2] = z * s;
        } else {  // far outside the grid, up to a thousand times its size
            const double scale = i < 500 ? 100.0 : 50000.0;
            for (double& v : p) v = r.Range(-scale, scale);
        }
        double d;
        ASSERT_TRUE(MatchesBruteForce(*map, m, p, i % 2 ? -1 : int(r.Next() * 100), nullptr, &d)) << "query " << i;
        // With a bound below the answer nothing is found.
        double none;
        ASSERT_EQ(map->GetClosestFace(p, none, d * 0.999), -1) << "query " << i;
    }
}

// Stray faces far from the rest (a triangle a million units off; the slivers of one point moved
// far away) stay out of the cells, so that the cells keep the size of the surface's faces, and
// every answer stays the brute-force one: near the surface, near the strays and in between.
// Surfaces without strays, a long cable among them, keep every face in the cells.
TEST(FaceGridMap, StrayFacesKeepTheCellsSmallAndAnswersExact) {
    const Mesh clean = MakeBumpySphere(30, 48);
    auto [cleanObject, cleanMap] = MakeGrid(clean);
    EXPECT_EQ(cleanMap->GetStrayFaceCount(), 0u);

    Mesh far = clean;
    const int a = far.AddPoint(1e6, 0, 0), b = far.AddPoint(1e6, 0.01, 0), c = far.AddPoint(1e6, 0, 0.01);
    far.tris.insert(far.tris.end(), {a, b, c});
    Mesh spike = clean;
    spike.xyz[0] = 3e4, spike.xyz[1] = -2e4, spike.xyz[2] = 1e4;  // point 0, a pole: a fan of slivers
    // A stray sliver so large (area 1e18) that taking its area off the total leaves nothing of
    // the sphere's in double precision.
    Mesh vast = clean;
    const int d = vast.AddPoint(1e6, 0, 0), e = vast.AddPoint(1e15, 0, 0), f = vast.AddPoint(1e6, 2e3, 0);
    vast.tris.insert(vast.tris.end(), {d, e, f});
    for (const Mesh* m : {&far, &spike, &vast}) {
        auto [o, map] = MakeGrid(*m);
        EXPECT_GT(map->GetStrayFaceCount(), 0u);
        EXPECT_LE(map->GetStrayFaceCount(), 6 * C3DFaceGridMap::kStraySide);
        EXPECT_LT(map->GetCellSize(), 2 * cleanMap->GetCellSize());
        Random r(31);
        for (int i = 0; i < 400; ++i) {
            double p[3];
            if (i < 200) {  // near the sphere
                for (double& v : p) v = r.Range(-1.3, 1.3);
            } else if (i < 300) {  // near the strays
                p[0] = m != &spike ? 1e6 + r.Range(-1, 1) : 3e4 * r.Next();
                p[1] = m != &spike ? r.Range(-1, 1) : -2e4 * r.Next();
                p[2] = m != &spike ? r.Range(-1, 1) : 1e4 * r.Next();
            } else {  // anywhere between
                for (double& v : p) v = r.Range(-1e5, 1e5);
            }
            ASSERT_TRUE(MatchesBruteForce(*map, *m, p, i % 2 ? -1 : int(r.Next() * 100))) << "query " << i;
        }
    }

    // A cable 400 radii long: its box is large for its area, but no few faces make it.
    Mesh cable;
    const int around = 12, along = 800;
    for (int i = 0; i <= along; ++i)
        for (int j = 0; j < around; ++j)
            cable.AddPoint(i * 0.5, std::cos(2 * 3.14159265358979 * j / around), std::sin(2 * 3.14159265358979 * j / around));
    for (int i = 0; i < along; ++i)
        for (int j = 0; j < around; ++j) {
            const int p0 = i * around + j, p1 = i * around + (j + 1) % around;
            cable.tris.insert(cable.tris.end(), {p0, p0 + around, p1 + around, p0, p1 + around, p1});
        }
    EXPECT_EQ(MakeGrid(cable).map->GetStrayFaceCount(), 0u);
}

TEST(FaceGridMap, DistanceBoundIsStrict) {
    ObjectPtr o = MakeObject(MakePlate(4, 1.0));
    CGeomInfo geom(o.get());
    C3DFaceList* faces = o->GetFaceList();
    C3DTPoint<float> p(0.5f, 0.5f, 1.0f);
    double d;
    EXPECT_EQ(faces->GetClosestFace(&geom, p, d, 0.5), -1);
    EXPECT_EQ(d, HUGE_VAL);
    EXPECT_EQ(faces->GetClosestFace(&geom, p, d, 1.0), -1);
    EXPECT_GE(faces->GetClosestFace(&geom, p, d, 1.0001), 0);
    EXPECT_DOUBLE_EQ(d, 1.0);
    EXPECT_EQ(faces->GetClosestFace(&geom, C3DTPoint<float>(NAN, 0.f, 0.f), d), -1);
}

// On a stack of coincident triangles every face is as close as the lowest one: a plain query
// returns the lowest index whatever its hint, while a query with a close-enough distance stops at
// the first face within it (here the hint). Beyond that distance the search is the plain one.
TEST(FaceGridMap, CloseEnoughEndsTheSearchAtTheFirstFaceWithinIt) {
    Mesh m;
    m.AddPoint(0, 0, 0), m.AddPoint(1, 0, 0), m.AddPoint(0, 1, 0);
    for (int i = 0; i < 50; ++i) m.tris.insert(m.tris.end(), {0, 1, 2});
    auto [o, map] = MakeGrid(m);
    const double on[3] = {0.25, 0.25, 0.0}, above[3] = {0.25, 0.25, 0.5};
    double d;
    EXPECT_EQ(map->GetClosestFace(on, d, HUGE_VAL, nullptr, 49), 0);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(map->GetClosestFace(on, d, HUGE_VAL, nullptr, 49, nullptr, 0.0), 49);
    EXPECT_EQ(d, 0.0);
    CFaceGridStats stats;
    EXPECT_EQ(map->GetClosestFace(on, d, HUGE_VAL, &stats, 17, nullptr, 1e-3), 17);
    EXPECT_EQ(stats.cellsInspected, 0u);
    EXPECT_EQ(map->GetClosestFace(above, d, HUGE_VAL, nullptr, 49, nullptr, 0.1), 0);
    EXPECT_EQ(d, 0.5);
    // Without a hint the first face met within the distance is some face of the stack.
    const int f = map->GetClosestFace(on, d, HUGE_VAL, nullptr, -1, nullptr, 0.0);
    EXPECT_TRUE(f >= 0 && f < 50);
    EXPECT_EQ(d, 0.0);
}

// A stack of 300 copies of a tilted square, the same triangles with their corners rotated, and a
// few distinct ones crossing the stack: crowded cells keep one entry per distinct triangle, and
// every answer, on the stack or off it, is the brute-force one, lowest index included.
TEST(FaceGridMap, CopiesOfATriangleInACrowdedCellAreMeasuredOnce) {
    Mesh m;
    m.AddPoint(0, 0, 0), m.AddPoint(1, 0, 0.3), m.AddPoint(1, 1, 0.5), m.AddPoint(0, 1, 0.2);
    m.AddPoint(0.5, -0.2, -0.3), m.AddPoint(0.5, 1.2, 1.0), m.AddPoint(0.3, 0.5, 0.8);
    for (int i = 0; i < 300; ++i) {
        m.tris.insert(m.tris.end(), {0, 1, 2, 0, 2, 3});
        if (i % 50 == 7) m.tris.insert(m.tris.end(), {1, 2, 0, 4, 5, 6});
    }
    auto [o, map] = MakeGrid(m);
    // Three distinct triangles (and the rotated copy's one) per cell at most, whatever the stack.
    EXPECT_LT(map->GetEntryCount(), 40u * map->GetOccupiedCellCount());
    Random r(71);
    int hint = -1;
    for (int i = 0; i < 400; ++i) {
        double p[3];
        NearFace(m, size_t(r.Range(0, 2)), r.Range(0, 1), r.Range(0, 1), i % 2 ? 0.3 : 0.0, r, p);
        ASSERT_TRUE(MatchesBruteForce(*map, m, p, hint, &hint)) << "query " << i;
    }
}

TEST(FaceGridMap, IndexesOnlyUsableFacesOutsideTheMask) {
    // 2 x 2 plate (8 triangles), then face 0 invalid, face 1 hidden, face 2 pointing past the
    // points, face 3 with a NaN corner.
    Mesh m = MakePlate(2, 2.0);
    m.AddPoint(NAN, 0, 0);
    ObjectPtr o = MakeObject(m);
    C3DFaceList* faces = o->GetFaceList();
    faces->SetFaceFlags(0, FACE_INVALID, true);
    faces->SetFaceFlags(1, FACE_HIDDEN, true);
    int count;
    faces->GetIndexes(2, count)[0] = 1000;
    faces->GetIndexes(3, count)[0] = 9;
    faces->SetFlag(FACELIST_CHANGED, true);
    C3DPointList& points = *o->GetPointList();
    C3DFaceGridMap* map = faces->GetFaceGridMap(points);
    EXPECT_EQ(map->GetIndexedFaceCount(), 5);
    const auto* cache = static_cast<const _GridFaceCache*>(faces->GetData(FACE_CHUNK_GRID_CACHE)->GetData());
    EXPECT_EQ(cache[0].kind, unsigned(GRIDFACE_EMPTY));
    EXPECT_EQ(cache[1].kind, unsigned(GRIDFACE_TRIANGLE));
    EXPECT_EQ(cache[2].kind, unsigned(GRIDFACE_EMPTY));
    EXPECT_EQ(cache[3].kind, unsigned(GRIDFACE_EMPTY));
    map = faces->GetFaceGridMap(points, FACE_NOT_LIVE);
    EXPECT_EQ(map->GetIndexedFaceCount(), 4);
    // Above face 0 (corners (0,0), (1,0), (1,1)): it is not indexed, so the answer is another face.
    double d;
    const double p[3] = {0.9, 0.1, 0.0};
    int f = map->GetClosestFace(p, d);
    EXPECT_NE(f, 0);
    EXPECT_GT(d, 0.0);
}

TEST(FaceGridMap, RebuiltOnlyWhenTheListsChange) {
    ObjectPtr o = MakeObject(MakePlate(3, 3.0));
    CGeomInfo geom(o.get());
    C3DFaceList* faces = o->GetFaceList();
    C3DFaceGridMap* first = faces->GetFaceGridMap(&geom);
    EXPECT_TRUE(first->IsCurrent(*faces, *o->GetPointList(), FACE_INVALID));
    EXPECT_EQ(faces->GetFaceGridMap(&geom), first);
    double d;
    C3DTPoint<float> p(1.5f, 1.5f, 2.0f);
    faces->GetClosestFace(&geom, p, d);
    EXPECT_DOUBLE_EQ(d, 2.0);
    // Moving the object through its own transform raises the point stamp: the map follows.
    C4x4TMatrix<float> lift;
    lift.m[2][3] = 1.5f;
    ASSERT_TRUE(o->MatrixTransform(lift));
    EXPECT_FALSE(first->IsCurrent(*faces, *o->GetPointList(), FACE_INVALID));
    faces->GetClosestFace(&geom, p, d);
    EXPECT_DOUBLE_EQ(d, 0.5);
    // A new face is indexed after the size change.
    int added = faces->ExpandSize(1);
    int* idx = nullptr;
    int n;
    CFace view;
    ASSERT_TRUE(faces->GetFace(unsigned(added), view));
    view.SetTriangle(0, 1, 4);
    idx = faces->GetIndexes(unsigned(added), n);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(faces->GetFaceGridMap(&geom)->GetIndexedFaceCount(), 19);
    (void)idx;
}

TEST(FaceGridMap, EmptyListsFindNothing) {
    Mesh empty;
    ObjectPtr none = MakeObject(empty);
    double d;
    CGeomInfo g0(none.get());
    EXPECT_EQ(none->GetFaceList()->GetClosestFace(&g0, C3DTPoint<float>(0.f, 0.f, 0.f), d), -1);
    EXPECT_EQ(d, HUGE_VAL);
}

// Quadrangles are indexed by their boxes and measured as fans: a wavy sheet of quadrangles with a
// strip of triangles across it, queried from near the sheet, gives the brute-force distance over
// the fans bit for bit and the lowest face index among ties (faces: the triangles, then the quads).
TEST(FaceGridMap, QuadranglesNearTheSurfaceMatchBruteForce) {
    const int n = 10;
    Mesh m;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) m.AddPoint(i, j, 0.4 * std::sin(0.7 * i) * std::cos(0.5 * j));
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const int a = j * (n + 1) + i;
            m.quads.insert(m.quads.end(), {a, a + 1, a + n + 2, a + n + 1});
        }
    }
    for (int i = 0; i < n; ++i) {
        const int a = m.AddPoint(i, 4.5, 0.3), b = m.AddPoint(i + 1, 4.5, 0.3), c = m.AddPoint(i + 0.5, 5.5, -0.2);
        m.tris.insert(m.tris.end(), {a, b, c});
    }
    auto [o, map] = MakeGrid(m);
    Random r(17);
    for (int q = 0; q < 1500; ++q) {
        double p[3] = {r.Range(-0.5, n + 0.5), r.Range(-0.5, n + 0.5), 0.0};
        p[2] = 0.4 * std::sin(0.7 * p[0]) * std::cos(0.5 * p[1]) + r.Range(-0.6, 0.6);
        int wantFace;
        const double want = BruteForceWithQuads(m, p, wantFace);
        double got;
        ASSERT_EQ(map->GetClosestFace(p, got), wantFace) << "query " << q;
        ASSERT_EQ(got, std::sqrt(want)) << "query " << q;
    }
}

// Faces that would fill a large share of the cells are measured apart, with the strays: here every
// face of a mesh stretched along one axis, each of which would be in every cell (the cell lists
// grew with the square of the face count). Answers stay the brute-force ones, with no cell
// occupied at all.
TEST(FaceGridMap, FacesFillingMuchOfTheGridAreMeasuredApart) {
    Mesh stretched;
    // Most faces are small (were most of them stretched, the cells would follow their extent).
    AddPatch(stretched, 0, 0, 0, 40, 0.02);
    Random r(7);
    for (int i = 0; i < 3000; ++i) {
        const double x = r.Range(0, 1), y = r.Range(0, 1);
        const int a = stretched.AddPoint(x, y, 0), b = stretched.AddPoint(x + 0.01, y, 1e12);
        const int c = stretched.AddPoint(x, y + 0.01, r.Range(0.5e12, 1e12));
        stretched.tris.insert(stretched.tris.end(), {a, b, c});
    }
    auto [o, map] = MakeGrid(stretched);
    EXPECT_GT(map->GetStrayFaceCount(), 2900u);
    EXPECT_LT(map->GetEntryCount(), 3000u * 64);
    for (int i = 0; i < 60; ++i) {
        double p[3] = {r.Range(-1, 2), r.Range(-1, 2), r.Range(-1e11, 1.1e12)};
        ASSERT_TRUE(MatchesBruteForce(*map, stretched, p)) << "query " << i;
    }
}

TEST(FaceGridMap, ElongatedBoxKeepsTheCellCountBoundedAndStaysExact) {
    // A strip 400 long and 1 wide: the cells are capped per face, queries stay exact.
    const Mesh strip = MakeStrip(400, 1, 0.01, 3);
    auto [o, map] = MakeGrid(strip);
    double cells = double(map->GetCellCount(0)) * map->GetCellCount(1) * map->GetCellCount(2);
    EXPECT_LE(cells, std::max(4096.0, 32.0 * 800));
    Random r(3);
    for (int i = 0; i < 200; ++i) {
        double p[3] = {r.Range(-50, 450), r.Range(-20, 20), r.Range(-20, 20)};
        ASSERT_TRUE(MatchesBruteForce(*map, strip, p)) << "query " << i;
    }
}

// Points far above a long strip: the search walks shells of a large radius, whose rows hold more
// cells than the query keeps waiting at once, so a row is cut in the middle; the answers stay the
// brute-force ones, face included.
TEST(FaceGridMap, RowsLongerThanTheCellBatchStayExact) {
    const Mesh strip = MakeStrip(300, 2, 0.02, 5);
    auto [o, map] = MakeGrid(strip);
    ASSERT_GT(map->GetCellCount(0), 150u);
    Random r(17);
    for (int i = 0; i < 150; ++i) {
        double p[3] = {r.Range(-30, 330), r.Range(-5, 7), r.Range(60, 140)};
        CFaceGridStats stats;
        ASSERT_TRUE(MatchesBruteForce(*map, strip, p, -1, nullptr, nullptr, &stats)) << "query " << i;
        EXPECT_GE(stats.cellsInspected, 1u);
    }
}

// Long slivers whose boxes span hundreds of cells on every axis: a tilted fan of 2000 triangles
// around one point and 300 random slivers across the box, beside a patch of 3200 small triangles
// that keeps the cells small (most faces are small). The build visits only the cells near each
// triangle, and must register every face in exactly the cells the cell-by-cell test of its whole box
// finds (counts pinned from that test); queries stay the brute-force ones.
TEST(FaceGridMap, LongSliversAreRegisteredInTheCellsTheyTouch) {
    Mesh m;
    const int hub = m.AddPoint(0.1, -0.2, 0.05), rim = 2000;
    for (int i = 0; i < rim; ++i) {
        const double a = 6.283185307179586 * i / rim;
        m.AddPoint(std::cos(a), 0.6 * std::sin(a), 0.8 * std::sin(a) + 0.05 * std::cos(3 * a));
    }
    for (int i = 0; i < rim; ++i) m.tris.insert(m.tris.end(), {hub, 1 + i, 1 + (i + 1) % rim});
    Random r(41);
    for (int i = 0; i < 300; ++i) {
        double a[3], b[3];
        for (int k = 0; k < 3; ++k) a[k] = r.Range(-1, 1), b[k] = r.Range(-1, 1);
        const int p = m.AddPoint(a[0], a[1], a[2]), q = m.AddPoint(b[0], b[1], b[2]);
        // Drawn one statement at a time (the order of a call's arguments is the compiler's choice),
        // y first as the pinned counts were made.
        const double dy = r.Range(-0.01, 0.01);
        const double dx = r.Range(-0.01, 0.01);
        const int c = m.AddPoint(a[0] + dx, a[1] + dy, a[2] + 0.01);
        m.tris.insert(m.tris.end(), {p, q, c});
    }
    AddPatch(m, -0.9, -0.9, -0.9, 40, 0.002);
    auto [o, map] = MakeGrid(m);
    EXPECT_EQ(map->GetEntryCount(), 89561u);
    EXPECT_EQ(map->GetOccupiedCellCount(), 14675u);
    // Anywhere in the box, and close to the fan's centre, where every fan face's box holds the
    // query and only the planes of the faces tell most of them apart from the closest.
    for (int i = 0; i < 600; ++i) {
        double p[3] = {r.Range(-1.2, 1.2), r.Range(-1.2, 1.2), r.Range(-1.2, 1.2)};
        if (i >= 300) {
            const double a = r.Range(0, 6.283185307179586), t = std::pow(10.0, r.Range(-6, -1));
            p[0] = 0.1 + t * std::cos(a);
            p[1] = -0.2 + t * 0.6 * std::sin(a);
            p[2] = 0.05 + t * (0.8 * std::sin(a) + r.Range(-0.01, 0.01));
        }
        ASSERT_TRUE(MatchesBruteForce(*map, m, p)) << "query " << i;
    }
}

// Around the apex of a cone of 2000 triangles every face's box holds the query, so boxes prune
// nothing there; the faces' planes rule out all but those near the query's direction. Answers stay
// the brute-force ones, face included.
TEST(FaceGridMap, QueriesAtAConesApexMeasureOnlyTheFacesAround) {
    Mesh m;
    const int apex = m.AddPoint(0, 0, 0.5), rim = 2000;
    for (int i = 0; i < rim; ++i) {
        const double a = 6.283185307179586 * i / rim;
        m.AddPoint(std::cos(a), std::sin(a), 0.02 * std::sin(5 * a));
    }
    for (int i = 0; i < rim; ++i) m.tris.insert(m.tris.end(), {apex, 1 + i, 1 + (i + 1) % rim});
    auto [o, map] = MakeGrid(m);
    // Queries around the apex in turn, each with the previous answer as its hint, as a comparison
    // samples a surface.
    Random r(43);
    uint64_t measured = 0;
    int hint = -1;
    for (int i = 0; i < 300; ++i) {
        const double a = 6.283185307179586 * i / 300, t = std::pow(10.0, r.Range(-6, -1));
        double p[3] = {t * std::cos(a), t * std::sin(a), 0.5 * (1 - t) + t * r.Range(-0.01, 0.01)};
        CFaceGridStats stats;
        ASSERT_TRUE(MatchesBruteForce(*map, m, p, hint, &hint, nullptr, &stats)) << "query " << i;
        measured += stats.pointSegment;
    }
    // Measuring every face whose box holds the query takes over 600 point-segment distances per
    // query here, the planes about 150.
    EXPECT_LT(measured, 300u * 300u);
}

// Crowded cells keep a tree of their faces, searched nearest bound first. A fan of 20000 thin
// triangles (every cell near its centre holds thousands of them, and near the centre every
// bound of the upper nodes is about 0, so the queue of waiting nodes overflows into depth-first
// descents) and a fan of 400 quadrangles (nodes without a slab): queries at the centres, on the
// spokes' shared edges (ties, lowest index wins), close to the surfaces with and without a hint,
// and anywhere in the box all give the brute-force face and distance.
TEST(FaceGridMap, CrowdedCellsAreSearchedThroughTheirTreesExactly) {
    Mesh m;
    const int spokes = 20000, quads = 400;
    const double hubA[3] = {0, 0, 0.5}, hubB[3] = {2.5, 0, 0};
    const int a = m.AddPoint(hubA[0], hubA[1], hubA[2]);
    for (int i = 0; i < spokes; ++i) {
        const double t = 6.283185307179586 * i / spokes;
        m.AddPoint(std::cos(t), std::sin(t), 0.03 * std::sin(7 * t));
    }
    for (int i = 0; i < spokes; ++i) m.tris.insert(m.tris.end(), {a, 1 + i, 1 + (i + 1) % spokes});
    const int b = m.AddPoint(hubB[0], hubB[1], hubB[2]), ring = b + 1;
    for (int i = 0; i < quads; ++i) {
        const double t = 6.283185307179586 * i / quads, u = 6.283185307179586 * (i + 0.5) / quads;
        m.AddPoint(hubB[0] + std::cos(t), hubB[1] + std::sin(t), 0.2);
        m.AddPoint(hubB[0] + 1.1 * std::cos(u), hubB[1] + 1.1 * std::sin(u), 0.25);
    }
    for (int i = 0; i < quads; ++i)
        m.quads.insert(m.quads.end(), {b, ring + 2 * i, ring + 2 * i + 1, ring + 2 * ((i + 1) % quads)});
    auto [o, map] = MakeGrid(m);
    EXPECT_GT(map->GetCrowdTreeCount(), 0u);

    Random r(29);
    int hint = -1;
    for (int q = 0; q < 240; ++q) {
        const double* hub = q % 4 == 3 ? hubB : hubA;
        const double t = r.Range(0, 6.283185307179586), reach = std::pow(10.0, r.Range(-7, -0.5));
        double p[3] = {hub[0] + reach * std::cos(t), hub[1] + reach * std::sin(t), 0.0};
        switch (q % 8) {
            case 0:  // the centre itself
                std::copy(hub, hub + 3, p);
                break;
            case 1: {  // on a spoke: a shared edge of two faces
                const int s = 1 + int(r.Range(0, spokes - 1));
                const double w = std::pow(10.0, r.Range(-6, 0));
                for (int k = 0; k < 3; ++k) p[k] = hubA[k] + w * (m.xyz[3 * s + k] - hubA[k]);
                break;
            }
            case 7:  // anywhere
                p[0] = r.Range(-1.5, 4), p[1] = r.Range(-1.5, 1.5), p[2] = r.Range(-1, 1);
                break;
            default:  // just off the surface of the cone or of the quadrangles' fan
                p[2] = hub == hubA ? 0.5 * (1 - reach) + reach * r.Range(-0.01, 0.01)
                                   : reach * 0.2 + reach * r.Range(-0.01, 0.01);
        }
        int wantFace;
        const double want = std::sqrt(BruteForceWithQuads(m, p, wantFace));
        double got;
        const int from = q % 2 ? hint : -1;
        ASSERT_EQ(map->GetClosestFace(p, got, HUGE_VAL, nullptr, from), wantFace) << "query " << q;
        ASSERT_EQ(got, want) << "query " << q;
        hint = wantFace;
    }
}

// Two other shapes that crowd cells. A book: 3000 pages all around one spine, so the mean normal
// of a node holding pages from every side nearly cancels and its slab runs along whatever
// direction the rounding leaves (any unit vector must still bound). A bundle of 3000 parallel
// needles ten units long and a few ten-thousandths wide, packed into a square a tenth across:
// slivers that switch the grid to cells sized by the faces' extent, where the slabs of nearly
// parallel faces do the pruning. Queries on the spine, on and between pages, inside the bundle,
// beside it and anywhere give the brute-force face and distance.
TEST(FaceGridMap, BooksAndNeedleBundlesMatchBruteForce) {
    for (const bool book : {true, false}) {
        SCOPED_TRACE(book ? "book" : "needles");
        Mesh m;
        Random r(41);
        const int n = 3000;
        if (book) {
            const int s0 = m.AddPoint(0, 0, 0), s1 = m.AddPoint(0, 0, 1);
            for (int i = 0; i < n; ++i) {
                const double t = 6.283185307179586 * i / n;
                const int edge = m.AddPoint(std::cos(t), std::sin(t), 0.5 + 0.2 * std::sin(3 * t));
                m.tris.insert(m.tris.end(), {s0, s1, edge});
            }
        } else {
            for (int i = 0; i < n; ++i) {
                const double x = r.Range(0, 0.1), y = r.Range(0, 0.1);
                const int a = m.AddPoint(x, y, 0);
                m.AddPoint(x + 0.0005, y, 0);
                m.AddPoint(x, y + 0.0003, 10);
                m.tris.insert(m.tris.end(), {a, a + 1, a + 2});
            }
        }
        auto [o, map] = MakeGrid(m);
        EXPECT_GT(map->GetCrowdTreeCount(), 0u);
        if (!book) {
            EXPECT_GT(map->GetCellSize(), 1.0);  // sized by the needles' length
        }

        for (int q = 0; q < 200; ++q) {
            const double reach = std::pow(10.0, r.Range(-7, -1)), t = r.Range(0, 6.283185307179586);
            const double across = r.Range(0, 1), along = r.Range(0, 1), z = r.Range(-0.1, 1.1);
            double p[3];
            switch (q % 4) {
                case 0:  // at the reach from the spine, or from the bundle's axis
                    p[0] = reach * std::cos(t), p[1] = reach * std::sin(t), p[2] = z;
                    break;
                case 1: {  // on a page or halfway between two, or among the needles
                    const double page = 6.283185307179586 * (int(along * n) + (q % 8 == 1 ? 0.0 : 0.5)) / n;
                    p[0] = 1.2 * across * std::cos(page), p[1] = 1.2 * across * std::sin(page), p[2] = z;
                    if (!book) p[0] = 0.1 * across - 0.05, p[1] = 0.1 * along - 0.05;
                    break;
                }
                case 2:  // at the reach beyond the book's edge, or beside the bundle
                    p[0] = (1 + reach) * std::cos(t), p[1] = (1 + reach) * std::sin(t), p[2] = z;
                    if (!book) p[0] = 0.05 + reach, p[1] = 0.2 * along - 0.1;
                    break;
                default:  // anywhere
                    p[0] = 3 * across - 1.5, p[1] = 3 * along - 1.5, p[2] = 1.2 * z;
            }
            if (!book) p[0] += 0.05, p[1] += 0.05, p[2] *= 10;  // the bundle's box: [0, 0.1]^2 x [0, 10]
            ASSERT_TRUE(MatchesBruteForce(*map, m, p)) << "query " << q;
        }
    }
}

// A stack of finely cut plates under a big plate far above. Cut into 72 triangles, the big plate
// counts as ordinary faces and makes the cells large: four plates fill all 64 cells of one block
// of 4 x 4 x 4 cells with about 4600 face references, a fifth fills 16 cells of the block above
// with about 1150, and the big plate's blocks hold a few references each: crowded cells, whose
// faces are measured in several chunks, beside sparse ones. Cut into two triangles, the big plate
// is two huge faces, kept apart, and the cells follow the fine plates. Every answer equals the
// brute-force one, face included.
TEST(FaceGridMap, CrowdedBlocksAndHugeFacesMatchBruteForce) {
    for (const int cuts : {6, 1}) {
        Mesh m;
        const int n = 24;
        for (int layer = 0; layer < 5; ++layer) {
            const int base = int(m.xyz.size() / 3);
            const double z = layer < 4 ? 0.1 + 0.5 * layer : 2.35;
            for (int j = 0; j <= n; ++j)
                for (int i = 0; i <= n; ++i)
                    m.AddPoint(-0.45 + 1.9 * i / n, -0.45 + 1.9 * j / n, z + 0.01 * ((i + j) % 2));
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i) {
                    const int a = base + j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
                    m.tris.insert(m.tris.end(), {a, b, d, a, d, c});
                }
        }
        const int base = int(m.xyz.size() / 3);
        for (int j = 0; j <= cuts; ++j)
            for (int i = 0; i <= cuts; ++i)
                m.AddPoint(-12.5 + 24.94 * i / cuts, -12.5 + 24.94 * j / cuts, 20);
        for (int j = 0; j < cuts; ++j)
            for (int i = 0; i < cuts; ++i) {
                const int a = base + j * (cuts + 1) + i, b = a + 1, c = a + cuts + 1, d = c + 1;
                m.tris.insert(m.tris.end(), {a, b, d, a, d, c});
            }
        auto [o, map] = MakeGrid(m);
        SCOPED_TRACE(cuts);
        if (cuts > 1) {
            // Cells of about a quarter of the stack's width: the stack fills whole blocks.
            ASSERT_EQ(map->GetStrayFaceCount(), 0u);
            ASSERT_GT(map->GetCellSize(), 0.4);
            ASSERT_LT(map->GetCellSize(), 0.6);
        } else {
            ASSERT_EQ(map->GetStrayFaceCount(), 2u);
            ASSERT_LT(map->GetCellSize(), 0.1);
        }
        Random r(23);
        int hint = -1;
        for (int i = 0; i < 1200; ++i) {
            double p[3];
            if (i < 1000) {
                for (double& v : p) v = r.Range(-0.7, 2.7);
            } else {
                p[0] = r.Range(-12, 12), p[1] = r.Range(-12, 12), p[2] = r.Range(15, 25);
            }
            ASSERT_TRUE(MatchesBruteForce(*map, m, p, i % 2 ? hint : -1, &hint)) << "query " << i;
        }
    }
}

// One face whose area (about 2e30) swamps the sum of all the others in double precision, over a
// plate of 1152 triangles and 20 triangles three times as large: only the huge face is set apart
// (the others' mean area must not be lost to rounding, which would make the 20 look huge too).
TEST(FaceGridMap, AFaceSwampingTheAreaSumIsTheOnlyOneSetApart) {
    Mesh m;
    const int n = 24;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i)
            m.AddPoint(-0.45 + 1.9 * i / n, -0.45 + 1.9 * j / n, 0.01 * ((i + j) % 2));
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const int a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
            m.tris.insert(m.tris.end(), {a, b, d, a, d, c});
        }
    const double side = 3 * 1.9 / n;
    for (int k = 0; k < 20; ++k) {
        const double x = -0.4 + 0.09 * k;
        const int a = m.AddPoint(x, 0, 0.5), b = m.AddPoint(x + side, 0, 0.5), c = m.AddPoint(x, side, 0.5);
        m.tris.insert(m.tris.end(), {a, b, c});
    }
    const int h0 = m.AddPoint(-1e15, -1e15, 0.25), h1 = m.AddPoint(1e15, -1e15, 0.25),
              h2 = m.AddPoint(0, 1e15, 0.25);
    m.tris.insert(m.tris.end(), {h0, h1, h2});
    auto [o, map] = MakeGrid(m);
    EXPECT_EQ(map->GetStrayFaceCount(), 1u);
    EXPECT_LT(map->GetCellSize(), 0.2);
    Random r(5);
    for (int i = 0; i < 300; ++i) {
        double p[3];
        for (double& v : p) v = r.Range(-0.7, 1.7);
        ASSERT_TRUE(MatchesBruteForce(*map, m, p)) << "query " << i;
    }
}

TEST(FaceGridMap, CacheChunkHoldsTheCornersAndIsNotStored) {
    ObjectPtr o = MakeObject(MakePlate(1, 2.0));  // faces (0, 1, 3) and (0, 3, 2)
    C3DFaceList* faces = o->GetFaceList();
    faces->GetFaceGridMap(*o->GetPointList());
    ASSERT_TRUE(faces->HasDataChunk(FACE_CHUNK_GRID_CACHE));
    const auto* cache = static_cast<const _GridFaceCache*>(faces->GetData(FACE_CHUNK_GRID_CACHE, 0));
    EXPECT_EQ(cache->corner[1][0], 2.0f);
    EXPECT_EQ(cache->corner[2][1], 2.0f);

    CXMemFile file;
    {
        CXArchive ar(&file, CXArchive::store);
        faces->Serialize(ar);
        ar.Close();
    }
    CXMemFile in(file.GetBuffer(), file.GetLength());
    CXArchive ar(&in, CXArchive::load);
    C3DFaceList loaded;
    loaded.Serialize(ar);
    EXPECT_EQ(loaded.GetSize(), 2);
    EXPECT_FALSE(loaded.HasDataChunk(FACE_CHUNK_GRID_CACHE));
}

TEST(FaceGridMap, ConcurrentQueriesAgreeWithSequentialOnes) {
    Mesh m = MakeIcosphere(3);
    auto [o, map] = MakeGrid(m);
    std::vector<double> points, expected;
    Random r(9);
    for (int i = 0; i < 4000; ++i) {
        double p[3] = {r.Range(-1.2, 1.2), r.Range(-1.2, 1.2), r.Range(-1.2, 1.2)}, d;
        map->GetClosestFace(p, d);
        points.insert(points.end(), p, p + 3);
        expected.push_back(d);
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    const C3DFaceGridMap* shared = map;  // clang before 16 cannot capture a structured binding
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < expected.size(); ++i) {
                double d;
                shared->GetClosestFace(&points[3 * i], d);
                if (d != expected[i]) ++mismatches[t];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int n : mismatches) EXPECT_EQ(n, 0);
}

// The answers of many queries on a denser bumpy sphere, hashed: faces, distances and closest
// points bit for bit, in random order without a hint, in surface order with the previous answer as
// the hint, from far away and under a distance bound. The grid's search may change for speed;
// these answers may not.
TEST(FaceGridMap, AnswersOnADenseSurfaceArePinned) {
    Mesh m = MakeBumpySphere(150, 300);
    auto [o, map] = MakeGrid(m);
    const size_t nFaces = m.tris.size() / 3;
    uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](uint64_t v) { hash = (hash ^ v) * 1099511628211ull; };
    auto bits = [](double x) {
        uint64_t b;
        std::memcpy(&b, &x, sizeof b);
        return b;
    };
    Random r(31);
    int hint = -1, found = 0;
    for (int i = 0; i < 24000; ++i) {
        const int group = i / 6000;  // random order, surface order, far away, bounded
        const size_t t = group == 1 ? size_t(i - 6000) * nFaces / 6000 : size_t(r.Next() * double(nFaces));
        const double u = r.Next(), v = r.Next();
        double p[3];
        NearFace(m, t, u, v, group == 2 ? r.Range(0.05, 0.5) : (i % 2 ? 0.01 : 1e-5), r, p);
        double d, q[3] = {0, 0, 0};
        const double bound = group == 3 ? 0.004 : HUGE_VAL;
        const int f = map->GetClosestFace(p, d, bound, nullptr, group == 1 ? hint : -1, q);
        hint = f;
        found += f >= 0;
        mix(uint64_t(uint32_t(f)));
        mix(bits(d));
        if (f >= 0)
            for (double x : q) mix(bits(x));
    }
    EXPECT_EQ(found, 22339);
    EXPECT_EQ(hash, 2456991699372365660ull);
}

// With large pages the map drops and remakes the pages of its tables and of the cache chunk before
// writing them: a map of 364,000 faces (large enough to hold whole large pages in the cache chunk
// and the face entries) gives the same answers, bit for bit, as without, and so does the next build
// over the same chunk.
TEST(FaceGridMap, LargePagesGiveTheSameAnswers) {
    Mesh m = MakeBumpySphere(260, 700);
    ObjectPtr o = MakeObject(m);
    C3DFaceList* faces = o->GetFaceList();
    const C3DPointList& points = *o->GetPointList();
    ASSERT_FALSE(C3DFaceGridMap::GetLargePages());
    Random r(41);
    std::vector<double> queries;
    for (int i = 0; i < 6000; ++i) {
        const size_t t = size_t(r.Next() * double(m.tris.size() / 3));
        for (int k = 0; k < 3; ++k) queries.push_back(m.xyz[3 * m.tris[3 * t] + k] + r.Range(-0.02, 0.02));
    }
    auto answers = [&] {
        C3DFaceGridMap* map = faces->GetFaceGridMap(points);
        std::vector<double> out;
        for (size_t i = 0; i < queries.size(); i += 3) {
            double d;
            out.push_back(map->GetClosestFace(&queries[i], d));
            out.push_back(d);
        }
        return out;
    };
    const std::vector<double> plain = answers();
    C3DFaceGridMap::SetLargePages(true);
    for (int build = 0; build < 2; ++build) {
        faces->DeleteFaceGridMap();
        const std::vector<double> large = answers();
        EXPECT_TRUE(large == plain) << "build " << build;
    }
    C3DFaceGridMap::SetLargePages(false);
}
