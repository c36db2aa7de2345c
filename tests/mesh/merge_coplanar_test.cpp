// Merging of coplanar faces: planar regions become one simple polygon following their border,
// areas around a hole become several simple polygons covering the area once, the grouping rules
// (material, angle, texture liveness) hold, and channel faces stay parallel to the faces with
// their corners following the points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/geom_info.h"

namespace kestovar {
namespace {

using test::MakeObject;
using test::Owned;
using test::P3;
using test::Poly;
using test::ReadFaces;

// An n x n grid of unit squares in z = 0 (points row by row), each square split into two
// counter-clockwise triangles; squares listed in `skip` (row * n + column) are left out.
C3DObject* TriangulatedGrid(int n, const std::set<int>& skip = {}) {
    std::vector<P3> pts;
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x) pts.push_back({float(x), float(y), 0.0f});
    std::vector<Poly> faces;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            if (skip.count(y * n + x)) continue;
            const int a = y * (n + 1) + x, b = a + 1, c = a + n + 2, d = a + n + 1;
            faces.push_back({a, b, c});
            faces.push_back({a, c, d});
        }
    return MakeObject(pts, faces);
}

// Signed area in the xy plane of a polygon of the object's points.
double SignedArea(const C3DObject& o, const Poly& f) {
    const C3DTPoint<float>* p = o.GetPointList()->GetPoints();
    double a = 0.0;
    for (size_t i = 0; i < f.size(); ++i) {
        const auto& u = p[f[i]];
        const auto& v = p[f[(i + 1) % f.size()]];
        a += double(u.x) * v.y - double(v.x) * u.y;
    }
    return a / 2.0;
}

// Undirected edges used by exactly one face: the border of the surface.
std::set<std::pair<int, int>> BorderEdges(const std::vector<Poly>& faces) {
    std::map<std::pair<int, int>, int> uses;
    for (const Poly& f : faces)
        for (size_t i = 0; i < f.size(); ++i) {
            int a = f[i], b = f[(i + 1) % f.size()];
            ++uses[{std::min(a, b), std::max(a, b)}];
        }
    std::set<std::pair<int, int>> border;
    for (const auto& [e, n] : uses)
        if (n == 1) border.insert(e);
    return border;
}

// No directed edge is run twice: faces sharing an edge run it in opposite directions.
bool NoEdgeRunTwice(const CFaceList& list) {
    for (const auto& [edge, count] : test::DirectedEdges(list))
        if (count != 1) return false;
    return true;
}

bool HasRepeatedIndex(const Poly& f) { return std::set<int>(f.begin(), f.end()).size() != f.size(); }

TEST(MergeCoplanarFaces, SubdividedPlaneBecomesOnePolygonAlongItsBorder) {
    Owned grid = TriangulatedGrid(3);
    const auto borderBefore = BorderEdges(ReadFaces(*grid->GetFaceList()));
    ASSERT_TRUE(grid->MergeCoplanarFaces(0.01, 0));
    const auto faces = ReadFaces(*grid->GetFaceList());
    ASSERT_EQ(faces.size(), 1u);
    // Every border point is a corner (straight runs included, so that no neighbour gets a crack),
    // the polygon keeps the faces' orientation, and the interior points are gone from it.
    EXPECT_EQ(faces[0].size(), 12u);
    EXPECT_FALSE(HasRepeatedIndex(faces[0]));
    EXPECT_NEAR(SignedArea(*grid, faces[0]), 9.0, 1e-9);
    EXPECT_EQ(BorderEdges(faces), borderBefore);
    EXPECT_TRUE(NoEdgeRunTwice(*grid->GetFaceList()));
    // The merge leaves the points' border status of the faces it started from: the twelve outer
    // points on the border, the four inner ones on shared edges only.
    const C3DPointList& points = *grid->GetPointList();
    for (int i = 0; i < 16; ++i) {
        const bool inner = i % 4 != 0 && i % 4 != 3 && i > 3 && i < 12;
        EXPECT_EQ(points[i]->IsOneFlagSet(POINT_BORDER), !inner) << i;
        EXPECT_TRUE(!inner || points[i]->IsOneFlagSet(POINT_SHARED_EDGE)) << i;
    }
    // Nothing is left to merge: a second run changes nothing.
    EXPECT_FALSE(grid->MergeCoplanarFaces(0.01, 0));
}

// A polygon holds at most 65535 corners (a face record's limit): a region stops growing before its
// border outgrows that, and the rest of the plane forms further regions. A strip of 32766 squares
// (border 65534) becomes one polygon; one square more (border 65536) gives a polygon of 65535
// corners, 65533 triangles' worth, and one triangle of the last square, left alone.
TEST(MergeCoplanarFaces, RegionStopsGrowingWhenItsBorderWouldOutgrowAFaceRecord) {
    for (int columns : {32766, 32767}) {
        SCOPED_TRACE(columns);
        std::vector<P3> pts;
        for (int y = 0; y <= 1; ++y)
            for (int x = 0; x <= columns; ++x) pts.push_back({float(x), float(y), 0.0f});
        std::vector<Poly> faces;
        for (int x = 0; x < columns; ++x) {
            const int a = x, b = x + 1, c = x + columns + 2, d = x + columns + 1;
            faces.push_back({a, b, c});
            faces.push_back({a, c, d});
        }
        Owned strip = MakeObject(pts, faces);
        EXPECT_TRUE(strip->MergeCoplanarFaces(0.01, 0));
        const auto merged = ReadFaces(*strip->GetFaceList());
        const bool fits = 2 * (columns + 1) <= 65535;
        ASSERT_EQ(merged.size(), fits ? 1u : 2u);
        EXPECT_EQ(merged[0].size(), fits ? size_t(2 * (columns + 1)) : size_t(65535));
        if (!fits) {
            EXPECT_EQ(merged[1], faces[faces.size() - 2]);
        }
        double area = 0.0;
        for (const Poly& f : merged) {
            EXPECT_FALSE(HasRepeatedIndex(f));
            area += SignedArea(*strip, f);
        }
        EXPECT_NEAR(area, double(columns), 1e-6);
    }
}

TEST(MergeCoplanarFaces, AreaAroundAHoleBecomesSimplePolygonsCoveringItOnce) {
    // 4 x 4 squares with the two middle ones of the second row removed, and a 3 x 3 ring.
    for (const auto& [n, hole] : std::vector<std::pair<int, std::set<int>>>{{4, {5, 6}}, {3, {4}}}) {
        Owned grid = TriangulatedGrid(n, hole);
        const auto borderBefore = BorderEdges(ReadFaces(*grid->GetFaceList()));
        ASSERT_TRUE(grid->MergeCoplanarFaces(0.01, 0));
        const auto faces = ReadFaces(*grid->GetFaceList());
        EXPECT_GE(faces.size(), 2u) << "a polygon cannot hold a hole";
        EXPECT_LE(faces.size(), 3u);
        double area = 0.0;
        for (const Poly& f : faces) {
            EXPECT_FALSE(HasRepeatedIndex(f)) << "no slit or pinched polygon";
            const double a = SignedArea(*grid, f);
            EXPECT_GT(a, 0.0) << "every piece keeps the orientation";
            area += a;
        }
        EXPECT_NEAR(area, double(n * n - int(hole.size())), 1e-9);
        // Same outer and inner border, and the pieces meet edge to edge with opposite directions.
        EXPECT_EQ(BorderEdges(faces), borderBefore);
        EXPECT_TRUE(NoEdgeRunTwice(*grid->GetFaceList()));
    }
}

TEST(MergeCoplanarFaces, EdgesOfThreeFacesSplitTheRegionAndDuplicatesStandAside) {
    // A 3 x 3 grid (squares 0-8, faces 2s and 2s + 1), a fin standing on the middle square's
    // diagonal 5-10 (three faces on that edge), copies of face 0 listed from its other corners
    // (set aside on face 0's side, more faces for its neighbours), and a quadrangle with a
    // repeated corner on edge 2-3 of the border. One copy, and a stack of copies that makes the
    // lists around face 0's edges long.
    for (int copies : {1, 12}) {
        SCOPED_TRACE(copies);
        Owned o = TriangulatedGrid(3);
        std::vector<Poly> faces = ReadFaces(*o->GetFaceList());
        std::vector<P3> pts;
        for (int y = 0; y <= 3; ++y)
            for (int x = 0; x <= 3; ++x) pts.push_back({float(x), float(y), 0.0f});
        pts.push_back({1.5f, 1.5f, 1.0f});   // 16, the fin's apex
        pts.push_back({2.5f, -1.0f, 0.5f});  // 17
        const Poly fin{5, 10, 16}, pinched{2, 3, 2, 17};
        std::vector<Poly> copy;
        for (int c = 0; c < copies; ++c) {
            const int r = 1 + c % 2;
            copy.push_back({faces[0][r], faces[0][(r + 1) % 3], faces[0][(r + 2) % 3]});
        }
        faces.push_back(fin);
        faces.insert(faces.end(), copy.begin(), copy.end());
        faces.push_back(pinched);
        Owned mesh = MakeObject(pts, faces);
        ASSERT_TRUE(mesh->MergeCoplanarFaces(0.01, 0));
        const auto merged = ReadFaces(*mesh->GetFaceList());
        double area = 0.0;
        int planar = 0, copiesKept = 0;
        bool finKept = false, pinchedKept = false;
        for (const Poly& f : merged) {
            finKept = finKept || f == fin;
            pinchedKept = pinchedKept || f == pinched;
            const bool isCopy = std::find(copy.begin(), copy.end(), f) != copy.end();
            copiesKept += isCopy;
            if (f == fin || isCopy || f == pinched) continue;
            EXPECT_FALSE(HasRepeatedIndex(f));
            const double a = SignedArea(*mesh, f);
            EXPECT_GT(a, 0.0);
            area += a;
            ++planar;
        }
        EXPECT_TRUE(finKept && pinchedKept);
        EXPECT_EQ(copiesKept, copies);
        EXPECT_NEAR(area, 9.0, 1e-9) << "the plane is covered once";
        // Face 0 stays alone (its neighbours see two faces across each of its edges); the rest of
        // the plane becomes two polygons that meet along the fin's edge, one running it each way.
        EXPECT_EQ(planar, 3);
        EXPECT_NE(std::find(merged.begin(), merged.end(), faces[0]), merged.end());
        auto edges = test::DirectedEdges(*mesh->GetFaceList());
        EXPECT_EQ(edges[std::make_pair(5, 10)], 2) << "the fin and one polygon";
        EXPECT_EQ(edges[std::make_pair(10, 5)], 1);
    }
}

TEST(MergeCoplanarFaces, MaterialAngleAndOrientationKeepFacesApart) {
    // Two triangles sharing edge 1-2; the second can be folded up about that edge.
    auto pair = [](float fold) {
        return MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, fold}}, {{0, 1, 2}, {2, 1, 3}});
    };
    Owned flat = pair(0.0f);
    ASSERT_TRUE(flat->MergeCoplanarFaces(0.01, 0));
    ASSERT_EQ(ReadFaces(*flat->GetFaceList()).size(), 1u);
    EXPECT_EQ(ReadFaces(*flat->GetFaceList())[0].size(), 4u);

    Owned materials = pair(0.0f);
    materials->GetFaceList()->SetFaceMaterial(1, 7);
    EXPECT_FALSE(materials->MergeCoplanarFaces(0.01, 0));
    EXPECT_EQ(materials->GetFaceNbr(), 2);

    // Folded by about 35 degrees: apart at 30 degrees, merged at 40.
    Owned folded = pair(0.5f);
    EXPECT_FALSE(folded->MergeCoplanarFaces(30.0 * M_PI / 180.0, 0));
    EXPECT_TRUE(folded->MergeCoplanarFaces(40.0 * M_PI / 180.0, 0));

    // A neighbour listed the other way round is not merged even at a wide angle.
    Owned reversed = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {{0, 1, 2}, {1, 2, 3}});
    EXPECT_FALSE(reversed->MergeCoplanarFaces(M_PI, 0));

    // Nothing coplanar: a cube stays a cube.
    Owned cube = MakeObject(test::CubePoints(), test::CubeFaces());
    EXPECT_FALSE(cube->MergeCoplanarFaces(0.01, 0xFFFF));
    EXPECT_EQ(ReadFaces(*cube->GetFaceList()), test::CubeFaces());
}

TEST(MergeCoplanarFaces, ChannelFacesFollowTheMergedPolygons) {
    // A 2 x 2 grid beside a tilted triangle; a texture channel holds (x, y) of each point, with
    // a seam: the faces right of x = 1 use a copy of every channel point.
    Owned grid = TriangulatedGrid(2);
    const int np = grid->GetPointNbr();
    grid->GetPointList()->Add(0.0f, 0.0f, 1.0f);
    grid->GetFaceList()->ExpandSizeAndFlags(1, 0);
    {
        CFace view;
        grid->GetFaceList()->GetFace(unsigned(grid->GetFaceNbr() - 1), view);
        const int t[3] = {0, 3, np};
        view.SetIndexes(t, 3);
    }
    CUVWChannel* uv = new CUVWChannel;
    const C3DTPoint<float>* p = grid->GetPointList()->GetPoints();
    for (int copy = 0; copy < 2; ++copy)
        for (int v = 0; v <= np; ++v) uv->GetUVWPointList()->Add(p[v].x, p[v].y, float(copy));
    const auto faces = ReadFaces(*grid->GetFaceList());
    std::vector<Poly> corners = faces;
    for (Poly& f : corners) {
        bool right = false;
        for (int v : f) right = right || p[v].x > 1.0f;
        for (int& v : f) v += right ? np + 1 : 0;
    }
    test::WriteFaces(*uv->GetUVWFaceList(), corners);
    grid->AddChannel(uv);
    const unsigned uvID = uv->GetID();  // the channel itself is replaced by its merged copy

    ASSERT_TRUE(grid->MergeCoplanarFaces(0.01, CHANNEL_UVW));
    const auto merged = ReadFaces(*grid->GetFaceList());
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].size(), 8u);
    EXPECT_EQ(merged[1], (Poly{0, 3, np}));
    CUVWChannel* after = static_cast<CUVWChannel*>(grid->GetChannelByIndex(0, CHANNEL_UVW, true));
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->GetID(), uvID);
    ASSERT_EQ(after->GetFaceList()->GetSize(), int(merged.size()));
    const CUVWPoint* values = after->GetUVWPointList()->GetPoints();
    for (size_t f = 0; f < merged.size(); ++f) {
        int k = 0;
        const int* c = after->GetFaceList()->GetIndexes(unsigned(f), k);
        ASSERT_EQ(k, int(merged[f].size()));
        EXPECT_TRUE(after->GetFaceList()->IsFaceLive(unsigned(f)));
        for (int i = 0; i < k; ++i) {
            // Each corner's value is that of its own point, from one side of the seam or the other.
            const C3DTPoint<float>& q = grid->GetPointList()->GetPoints()[merged[f][i]];
            EXPECT_EQ(values[c[i]].u, q.x);
            EXPECT_EQ(values[c[i]].v, q.y);
        }
    }
}

TEST(MergeCoplanarFaces, TextureCornersMissingOnOneSideStopTheMerge) {
    Owned pair = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {{0, 1, 2}, {2, 1, 3}});
    CUVWChannel* uv = new CUVWChannel;
    for (int v = 0; v < 4; ++v) uv->GetUVWPointList()->Add(float(v), 0.0f);
    test::WriteFaces(*uv->GetUVWFaceList(), {{0, 1, 2}, {2, 1, 3}});
    uv->GetUVWFaceList()->SetFaceFlag(1, FACE_HIDDEN, true);
    pair->AddChannel(uv);
    EXPECT_FALSE(pair->MergeCoplanarFaces(0.01, CHANNEL_UVW));
    EXPECT_EQ(pair->GetFaceNbr(), 2);
    // With both channel faces live the texture seam does not keep them apart at tolerance 0.
    uv->GetUVWFaceList()->SetFaceFlag(1, FACE_HIDDEN, false);
    EXPECT_TRUE(pair->MergeCoplanarFaces(0.01, CHANNEL_UVW));
    EXPECT_EQ(pair->GetFaceNbr(), 1);
}

TEST(MergeCoplanarFaces, CancellationAndBadInputChangeNothing) {
    // Degenerate, repeated-index and NaN faces never join a region and never crash.
    const float nan = std::nanf("");
    Owned o = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {2, 0, 0}, {nan, 0, 0}},
                              {{0, 1, 2}, {2, 1, 3}, {0, 1, 4}, {4, 3, 3, 1}, {1, 5, 3}});
    EXPECT_TRUE(o->MergeCoplanarFaces(0.01, 0));
    const auto faces = ReadFaces(*o->GetFaceList());
    ASSERT_EQ(faces.size(), 4u);
    EXPECT_EQ(faces[0].size(), 4u);
    EXPECT_EQ(faces[1], (Poly{0, 1, 4}));
    EXPECT_EQ(faces[2], (Poly{4, 3, 3, 1}));
    EXPECT_EQ(faces[3], (Poly{1, 5, 3}));

    CGeomInfo none;
    C3DFaceList empty;
    EXPECT_EQ(empty.MergeCoplanarFaces(&none, 0.1), -1);
}

}  // namespace
}  // namespace kestovar
