// Mirror pairing of points (C3DPointList::InitSymetryMap) and mirror edges (GetSymetricEdge,
// CountSymetricEdges) on symmetric, asymmetric, flat and hand-placed point sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/mesh/symmetry_map.h"

namespace kestovar::test {
namespace {

std::vector<std::pair<int, int>> Pairs(const C3DPointSymetryMap& map) {
    std::vector<std::pair<int, int>> out;
    int pos = kHashStartPosition, key, value;
    while (map.GetNext(pos, key, value)) out.emplace_back(key, value);
    std::sort(out.begin(), out.end());
    return out;
}

// A height field over a (columns + 1) x (rows + 1) grid, x in [-1, 1], mirror-symmetric in x
// when `height` is even in x: x(i) and x(columns - i) are exact negatives (rounding is
// sign-symmetric), and the diagonals of the cells are mirrored too, so the mirror of every
// triangle is a triangle.
//
//   j+1  o---o---o---o        left half: diagonal (i, j) - (i+1, j+1)
//        | / | / | \ | \ |    right half: diagonal (i+1, j) - (i, j+1)
//   j    o---o---o---o
struct Grid {
    static constexpr int kColumns = 14;  // even: column 7 lies on the plane x = 0
    static constexpr int kRows = 6;
    Owned<C3DPointList> points = C3DPointList::Create();
    Owned<C3DFaceList> faces = C3DFaceList::Create();

    static int Index(int i, int j) { return j * (kColumns + 1) + i; }

    template <class Height>
    explicit Grid(Height height) {
        for (int j = 0; j <= kRows; ++j)
            for (int i = 0; i <= kColumns; ++i) {
                const double x = -1.0 + 2.0 * i / kColumns;
                const double y = 0.05 + 0.13 * j;
                points->Add(float(x), float(y), float(height(x, y)));
            }
        std::vector<Poly> tris;
        for (int j = 0; j < kRows; ++j)
            for (int i = 0; i < kColumns; ++i) {
                const int a = Index(i, j), b = Index(i + 1, j), c = Index(i + 1, j + 1), d = Index(i, j + 1);
                if (i < kColumns / 2) {
                    tris.push_back({a, b, c});
                    tris.push_back({a, c, d});
                } else {
                    tris.push_back({a, b, d});
                    tris.push_back({b, c, d});
                }
            }
        WriteFaces(*faces, tris);
    }
};

double Bowl(double x, double y) { return 0.3 * x * x + 0.1 * std::sin(3.0 * y); }

TEST(SymmetryMap, SymmetricMeshPairsEveryPointWithItsMirrorBothWays) {
    Grid g(Bowl);
    Owned map = g.points->InitSymetryMap(AXIS_X, 0.01);
    ASSERT_TRUE(map);
    EXPECT_EQ(map->GetCount(), g.points->GetSize());
    for (int j = 0; j <= Grid::kRows; ++j)
        for (int i = 0; i <= Grid::kColumns; ++i) {
            const int p = Grid::Index(i, j), q = Grid::Index(Grid::kColumns - i, j);
            EXPECT_EQ(map->GetPartner(p), q) << i << "," << j;
            EXPECT_EQ(map->GetPartner(q), p);  // both directions stored
        }
    // Points on the plane map to themselves.
    EXPECT_EQ(map->GetPartner(Grid::Index(Grid::kColumns / 2, 3)), Grid::Index(Grid::kColumns / 2, 3));

    // A point that is not a number, first in the list, leaves the others paired (it made the
    // box, and with it the plane, NaN).
    g.points->GetAt(0).x = std::nanf("");
    Owned broken = g.points->InitSymetryMap(AXIS_X, 0.01);
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->GetPartner(Grid::Index(1, 0)), Grid::Index(Grid::kColumns - 1, 0));
    EXPECT_EQ(broken->GetPartner(Grid::Index(2, 3)), Grid::Index(Grid::kColumns - 2, 3));
    EXPECT_GE(broken->GetCount(), g.points->GetSize() - 2);
}

TEST(SymmetryMap, AsymmetricMeshOnlyPairsThePlanePointsWithThemselves) {
    // Tilted along x: mirror positions differ in z by 0.6 |x|, far beyond the match distance.
    Grid g([](double x, double y) { return 0.3 * x + 0.1 * y; });
    Owned map = g.points->InitSymetryMap(AXIS_X, 0.05);
    std::vector<std::pair<int, int>> expected;
    for (int j = 0; j <= Grid::kRows; ++j) {
        const int p = Grid::Index(Grid::kColumns / 2, j);
        expected.emplace_back(p, p);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Pairs(*map), expected);
    // Along y the grid is not symmetric either (rows are not mirrored in z).
    Owned mapY = g.points->InitSymetryMap(AXIS_Y, 0.05);
    for (auto [p, q] : Pairs(*mapY)) EXPECT_EQ(p, q);
}

TEST(SymmetryMap, FlatAxisGivesAnEmptyMap) {
    Grid g([](double, double) { return 0.25; });  // all z equal
    Owned map = g.points->InitSymetryMap(AXIS_Z, 1.0);
    EXPECT_EQ(map->GetCount(), 0);
    C3DPointList empty;
    Owned none = empty.InitSymetryMap(AXIS_X, 1.0);
    EXPECT_EQ(none->GetCount(), 0);
}

TEST(SymmetryMap, ToleranceScalesTheMatchDistanceAndZeroMeansExact) {
    // Plane x = 0 (box x in [-1, 1]), cells of 0.1 along x, match distance 0.1 * tolerance.
    // 0 is the exact mirror of 1, 2 the mirror of 3 up to 5e-4 in y, 4 exactly on the plane.
    C3DPointList pts;
    AddPoints(pts, {{-1, 0, 0}, {1, 0, 0}, {-0.55f, 0.02f, 0}, {0.55f, 0.0205f, 0}, {0, 0.04f, 0}});
    Owned exact = pts.InitSymetryMap(AXIS_X, 0.0);
    EXPECT_EQ(Pairs(*exact), (std::vector<std::pair<int, int>>{{0, 1}, {1, 0}, {4, 4}}));
    Owned loose = pts.InitSymetryMap(AXIS_X, 0.01);  // 1e-3 >= 5e-4
    EXPECT_EQ(loose->GetPartner(2), 3);
    EXPECT_EQ(loose->GetPartner(3), 2);
    Owned tight = pts.InitSymetryMap(AXIS_X, 0.004);  // 4e-4 < 5e-4
    EXPECT_EQ(tight->GetPartner(2), -1);
}

TEST(SymmetryMap, FirstComerKeepsItsPartnerAndTheNearestCandidateWins) {
    // Plane x = 0, cells of 0.1 along x, match distance 0.05.
    // 0 pairs with 2 (exact); 1's only candidate, 2, is taken: unpaired; 3 has the candidates 4
    // (0.004 away) and 5 (0.001 away); 6 and 7 make the box.
    C3DPointList pts;
    AddPoints(pts, {{-0.95f, 0, 0}, {-0.949f, 0, 0}, {0.95f, 0, 0}, {-0.52f, 0, 0}, {0.524f, 0, 0}, {0.521f, 0, 0},
                    {-1, 5, 0}, {1, 5, 0}});
    Owned map = pts.InitSymetryMap(AXIS_X, 0.5);
    EXPECT_EQ(map->GetPartner(0), 2);
    EXPECT_EQ(map->GetPartner(2), 0);
    EXPECT_EQ(map->GetPartner(1), -1);
    EXPECT_EQ(map->GetPartner(3), 5);
    EXPECT_EQ(map->GetPartner(4), -1);  // its best candidate, 3, was taken by 5
    EXPECT_EQ(map->GetPartner(6), 7);
}

TEST(SymmetryMap, MirrorEdgesOfAnEdgeAndOfItsMirrorWithAndWithoutGraphs) {
    Grid g(Bowl);
    Owned map = g.points->InitSymetryMap(AXIS_X, 0.01);
    const int a = Grid::Index(1, 2), b = Grid::Index(2, 2);                  // left-half edge
    const int ma = Grid::Index(Grid::kColumns - 1, 2), mb = Grid::Index(Grid::kColumns - 2, 2);
    const int l = Grid::Index(6, 1), r = Grid::Index(8, 1);                  // not an edge
    const int c0 = Grid::Index(6, 4), c1 = Grid::Index(7, 4), c2 = Grid::Index(8, 4);

    auto check = [&](const char* label) {
        SCOPED_TRACE(label);
        C3DEdge mirror;
        EXPECT_EQ(map->GetSymetricEdge(g.faces, C3DEdge(a, b), mirror, false), SYMETRIC_EDGE_OTHER);
        EXPECT_EQ(mirror, C3DEdge(ma, mb));
        EXPECT_EQ(map->GetSymetricEdge(g.faces, mirror, mirror, false), SYMETRIC_EDGE_OTHER);
        EXPECT_EQ(mirror, C3DEdge(a, b));
        // Directed: the removed end's partner comes first.
        int x = -1, y = -1;
        EXPECT_EQ(map->GetSymetricEdge(g.faces, b, a, x, y), SYMETRIC_EDGE_OTHER);
        EXPECT_EQ(x, mb);
        EXPECT_EQ(y, ma);
        // (6,4)-(7,4) touches the plane and maps to (8,4)-(7,4), a different edge; (7,4)-(7,5)
        // lies on the plane and is its own mirror.
        EXPECT_EQ(map->GetSymetricEdge(g.faces, C3DEdge(c0, c1), mirror, true), SYMETRIC_EDGE_OTHER);
        EXPECT_EQ(mirror, C3DEdge(c1, c2));
        EXPECT_EQ(map->GetSymetricEdge(g.faces, C3DEdge(c1, Grid::Index(7, 5)), mirror, true), SYMETRIC_EDGE_SELF);
        EXPECT_EQ(mirror, C3DEdge(c1, Grid::Index(7, 5)));
        // (6,1)-(8,1) is symmetric but not an edge of the faces.
        C3DEdge untouched(0, 1);
        EXPECT_EQ(map->GetSymetricEdge(g.faces, C3DEdge(l, r), untouched, false), SYMETRIC_EDGE_NONE);
        EXPECT_EQ(untouched, C3DEdge(0, 1));
    };
    check("scan");
    CGeomInfo geom(g.faces, g.points);
    ASSERT_TRUE(g.faces->InitPointToFaceGraph(&geom));
    check("point graph");
    ASSERT_TRUE(g.faces->InitEdgeToFaceGraph(&geom));
    check("edge graph");
}

TEST(SymmetryMap, EdgeAcrossThePlaneIsItsOwnMirrorAndUnpairedEndsHaveNone) {
    // Triangle straddling the plane: 0 and 1 are mirrors, 2 is on the right only.
    //      2
    //   0 --- 1      (0, 1) crosses the plane and is its own mirror
    Owned<C3DPointList> pts = C3DPointList::Create();
    AddPoints(*pts, {{-1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {0.6f, 1.0f, 0.0f}});
    Owned<C3DFaceList> faces = C3DFaceList::Create();
    WriteFaces(*faces, {{0, 1, 2}});
    Owned map = pts->InitSymetryMap(AXIS_X, 0.01);
    C3DEdge mirror;
    EXPECT_EQ(map->GetSymetricEdge(faces, C3DEdge(0, 1), mirror, false), SYMETRIC_EDGE_SELF);
    EXPECT_EQ(map->GetSymetricEdge(faces, C3DEdge(1, 2), mirror, false), SYMETRIC_EDGE_NONE);
    EXPECT_EQ(map->GetSymetricEdge(nullptr, C3DEdge(0, 1), mirror, false), SYMETRIC_EDGE_NONE);
    EXPECT_EQ(map->CountSymetricEdges(faces), 1);
    // A dead face carries no edge.
    faces->SetFaceFlags(0, FACE_INVALID, true);
    EXPECT_EQ(map->GetSymetricEdge(faces, C3DEdge(0, 1), mirror, false), SYMETRIC_EDGE_NONE);
    EXPECT_EQ(map->CountSymetricEdges(faces), 0);
}

TEST(SymmetryMap, CountOfMirrorEdgesIsEveryEdgeOnASymmetricMeshAndDropsWithAsymmetry) {
    Grid g(Bowl);
    Owned map = g.points->InitSymetryMap(AXIS_X, 0.01);
    std::set<std::pair<int, int>> edges;
    for (int f = 0; f < g.faces->GetSize(); ++f) {
        int k;
        const int* idx = g.faces->GetIndexes(unsigned(f), k);
        for (int j = 0; j < k; ++j) {
            int u = idx[j], v = idx[(j + 1) % k];
            edges.insert({std::min(u, v), std::max(u, v)});
        }
    }
    EXPECT_EQ(map->CountSymetricEdges(g.faces), int(edges.size()));
    // Move one left-half point off its mirror: its edges' mirrors remain edges, but the point
    // loses its partner once the map is rebuilt, so its edges and their mirrors stop counting.
    g.points->GetAt(Grid::Index(2, 3)).z += 0.05f;
    Owned moved = g.points->InitSymetryMap(AXIS_X, 0.01);
    EXPECT_EQ(moved->GetPartner(Grid::Index(2, 3)), -1);
    EXPECT_EQ(moved->CountSymetricEdges(g.faces), int(edges.size()) - 2 * 6);  // 6 edges around it
}

}  // namespace
}  // namespace kestovar::test
