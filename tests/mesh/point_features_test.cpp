// Surface features of point lists: the point-material graph and material frontier, coplanar
// points, 3D corners and the corners of open border lines, on small meshes whose answers are
// known point by point.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "adjacency_test_util.h"
#include "kestovar/core/point.h"

namespace kestovar::test {
namespace {

constexpr double k75Degrees = 1.3089969389957472;

struct P3 {
    float x, y, z;
};

// Point and face lists built from coordinates and faces, with a view over both.
struct Mesh {
    Owned<C3DPointList> points = C3DPointList::Create();
    Owned<C3DFaceList> faces = C3DFaceList::Create();
    CGeomInfo geom{faces, points};

    Mesh(const std::vector<P3>& coords, const std::vector<Face>& faceIndices) {
        for (const P3& p : coords) points->Add(p.x, p.y, p.z);
        FillFaces(*faces, faceIndices);
        points->SetPointsFlags(0xFFFFFFFFu & ~unsigned(POINT_REMOVED), true);  // stale bits must go
    }
    // Points carrying `flag`.
    std::set<int> With(unsigned flag) const {
        std::set<int> out;
        for (int i = 0; i < points->GetSize(); ++i)
            if (points->GetPt(i)->IsFlagSet(flag)) out.insert(i);
        return out;
    }
    int Corners2D(double angle) {
        faces->UpdateEdgeToFaceGraph(&geom);
        return points->Set2DCornerPointsStatus(*faces->GetEdgeToFaceGraph(), angle);
    }
};

// A grid of w x h triangulated quads in the plane z = 0, points row by row.
std::vector<P3> GridPoints(int w, int h) {
    std::vector<P3> out;
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x) out.push_back({float(x), float(y), 0.0f});
    return out;
}

// The surface of [0, 2]^3 as 2 x 2 quads per side (26 points): each side has a centre point and
// each edge a middle point. Extremes(p) = number of coordinates at 0 or 2 (3 corner, 2 edge).
struct GridCube {
    std::vector<P3> points;
    std::vector<Face> faces;
    int Index(int x, int y, int z) {
        for (size_t i = 0; i < points.size(); ++i)
            if (points[i].x == float(x) && points[i].y == float(y) && points[i].z == float(z)) return int(i);
        points.push_back({float(x), float(y), float(z)});
        return int(points.size()) - 1;
    }
    GridCube() {
        for (int axis = 0; axis < 3; ++axis)
            for (int side = 0; side <= 2; side += 2)
                for (int u = 0; u < 2; ++u)
                    for (int v = 0; v < 2; ++v) {
                        const int uv[4][2] = {{u, v}, {u + 1, v}, {u + 1, v + 1}, {u, v + 1}};
                        Face f;
                        for (const auto& c : uv) {
                            int p[3];
                            p[axis] = side, p[(axis + 1) % 3] = c[0], p[(axis + 2) % 3] = c[1];
                            f.push_back(Index(p[0], p[1], p[2]));
                        }
                        faces.push_back(f);
                    }
    }
    int Extremes(int i) const {
        const P3& p = points[size_t(i)];
        return (p.x == 0 || p.x == 2) + (p.y == 0 || p.y == 2) + (p.z == 0 || p.z == 2);
    }
};

TEST(PointMaterialGraph, ListsLiveMaterialsOncePerPointAndMarksTheFrontier) {
    // Strip of four quads, materials 7 7 3 3; face 4 is hidden (material 9) over points 1, 6, 7;
    // point 10 is used by no face.
    //
    //  5 -- 6 -- 7 -- 8 -- 9
    //  | 7  | 7  | 3  | 3  |
    //  0 -- 1 -- 2 -- 3 -- 4
    std::vector<P3> pts = GridPoints(4, 1);
    pts.push_back({5, 5, 5});
    Mesh m(pts, {{0, 1, 6, 5}, {1, 2, 7, 6}, {2, 3, 8, 7}, {3, 4, 9, 8}, {1, 7, 6}});
    const unsigned materials[] = {7, 7, 3, 3, 9};
    for (unsigned f = 0; f < 5; ++f) m.faces->SetFaceMaterial(f, materials[f]);
    m.faces->SetFaceFlags(4, FACE_HIDDEN, true);

    EXPECT_FALSE(m.points->InitShareSeveralMaterialsFlag()) << "no graph yet";
    EXPECT_TRUE(m.With(POINT_MATERIAL_FRONTIER).empty());
    m.points->InitPointMaterialGraph(*m.faces);
    const std::vector<std::vector<unsigned>> expected = {{7}, {7},    {3, 7}, {3}, {3}, {7},
                                                         {7}, {3, 7}, {3},    {3}, {}};
    for (int p = 0; p < 11; ++p) {
        int count;
        const unsigned* values = m.points->GetMaterialsConnectedToPoint(p, count);
        EXPECT_EQ(std::vector<unsigned>(values, values + count), expected[size_t(p)]) << "point " << p;
        EXPECT_EQ(m.points->GetNumberOfMaterialsConnectedToPoint(p), count);
    }
    int count = -1;
    EXPECT_EQ(m.points->GetMaterialsConnectedToPoint(11, count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(m.points->InitShareSeveralMaterialsFlag());
    EXPECT_EQ(m.With(POINT_MATERIAL_FRONTIER), (std::set<int>{2, 7}));

    // One material everywhere: no frontier.
    for (unsigned f = 0; f < 4; ++f) m.faces->SetFaceMaterial(f, 3);
    m.points->InitPointMaterialGraph(*m.faces);
    EXPECT_FALSE(m.points->InitShareSeveralMaterialsFlag());
    EXPECT_TRUE(m.With(POINT_MATERIAL_FRONTIER).empty());
}

TEST(Corners3D, CubeCornersEdgesAndFlatPoints) {
    GridCube cube;
    Mesh m(cube.points, cube.faces);
    EXPECT_EQ(m.points->Set3DCornerPointsStatus(*m.faces, k75Degrees), 8);
    EXPECT_EQ(m.points->InitShareCoplanarFacesFlag(*m.faces, 0.0), 6);
    for (int p = 0; p < 26; ++p) {
        EXPECT_EQ(m.points->GetPt(p)->IsFlagSet(POINT_3D_CORNER), cube.Extremes(p) == 3) << "point " << p;
        EXPECT_EQ(m.points->GetPt(p)->IsFlagSet(POINT_COPLANAR), cube.Extremes(p) == 1) << "point " << p;
    }
    // Sides 90 degrees apart are one direction at 95 degrees: no corner. Closed: no 2D corner.
    EXPECT_EQ(m.points->Set3DCornerPointsStatus(*m.faces, 95.0 * M_PI / 180.0), 0);
    EXPECT_EQ(m.Corners2D(k75Degrees), 0);
}

TEST(Coplanar, TiltedPlaneInFloatsAndFacesThatDoNotCount) {
    // A grid on the plane x + 2y + 3z = 1: the float coordinates lie off the exact plane by their
    // rounding, so the face normals differ in their last bits and must still count as one plane.
    std::vector<P3> pts;
    for (int j = 0; j <= 10; ++j)
        for (int i = 0; i <= 10; ++i) {
            const double x = 1.0 + i * 0.1, y = 0.5 + j * 0.1;
            pts.push_back({float(x), float(y), float((1.0 - x - 2.0 * y) / 3.0)});
        }
    Mesh tilted(pts, GridTriangles(10, 10));
    EXPECT_EQ(tilted.points->InitShareCoplanarFacesFlag(*tilted.faces, 0.0), 121);
    EXPECT_EQ(tilted.points->Set3DCornerPointsStatus(*tilted.faces, k75Degrees), 0);

    // A flat fan around 0 plus a hidden and an invalid wall, and a triangle without area: only
    // live faces with a normal count, so 0 stays coplanar and points 5, 6 get nothing.
    Mesh m({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {2, 0, 0}},
           {{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 1}, {0, 1, 5}, {0, 5, 2}, {0, 1, 6}});
    m.faces->SetFaceFlags(4, FACE_HIDDEN, true);
    m.faces->SetFaceFlags(5, FACE_INVALID, true);
    m.points->InitShareCoplanarFacesFlag(*m.faces, 0.0);
    EXPECT_EQ(m.With(POINT_COPLANAR), (std::set<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(m.points->Set3DCornerPointsStatus(*m.faces, k75Degrees), 0);
}

TEST(Corners2D, OutlineTurnsAndJunctions) {
    // A 3 x 2 grid: the four outline corners turn by 90 degrees, the other border points by 0.
    Mesh grid(GridPoints(3, 2), GridTriangles(3, 2));
    EXPECT_EQ(grid.Corners2D(k75Degrees), 4);
    EXPECT_EQ(grid.With(POINT_2D_CORNER), (std::set<int>{0, 3, 8, 11}));
    // A hexagon fan turns by 60 degrees at every rim point.
    std::vector<P3> hexPoints = {{0, 0, 0}};
    std::vector<Face> fan;
    for (int i = 0; i < 6; ++i) {
        hexPoints.push_back({float(std::cos(M_PI * i / 3)), float(std::sin(M_PI * i / 3)), 0.0f});
        fan.push_back({0, 1 + i, 1 + (i + 1) % 6});
    }
    Mesh hex(hexPoints, fan);
    EXPECT_EQ(hex.Corners2D(k75Degrees), 0);
    EXPECT_EQ(hex.Corners2D(50.0 * M_PI / 180.0), 6);
    // Two triangles touching at point 0 only: four border edges meet there.
    //   2         3
    //   | \     / |
    //   1 -- 0 -- 4
    Mesh bowtie({{0, 0, 0}, {-1, 0, 0}, {-1, 1, 0}, {1, 1, 0}, {1, 0, 0}}, {{0, 2, 1}, {0, 4, 3}});
    bowtie.Corners2D(k75Degrees);
    EXPECT_EQ(bowtie.With(POINT_2D_CORNER), (std::set<int>{0, 1, 2, 3, 4}));
    // Edges ending outside a (shorter) list are skipped.
    C3DPointList small;
    small.Add(0.0f, 0.0f, 0.0f);
    EXPECT_EQ(small.Set2DCornerPointsStatus(*bowtie.faces->GetEdgeToFaceGraph(), k75Degrees), 0);
}

}  // namespace
}  // namespace kestovar::test
