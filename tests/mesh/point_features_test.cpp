// Surface features of point lists: the point-material graph and material frontier, coplanar
// points, 3D corners and the corners of open border lines, on small meshes whose answers are
// known point by point.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
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
    C3DPointList* points = C3DPointList::Create();
    C3DFaceList* faces = C3DFaceList::Create();
    CGeomInfo* geom = nullptr;

    Mesh(const std::vector<P3>& coords, const std::vector<Face>& faceIndices) {
        for (const P3& p : coords) points->Add(p.x, p.y, p.z);
        FillFaces(*faces, faceIndices);
        geom = new CGeomInfo(faces, points);
    }
    ~Mesh() {
        delete geom;
        faces->Delete();
        points->Delete();
    }
    Mesh(const Mesh&) = delete;
    Mesh& operator=(const Mesh&) = delete;

    // Points carrying every bit of `flag`.
    std::set<int> With(unsigned flag) const {
        std::set<int> out;
        for (int i = 0; i < points->GetSize(); ++i)
            if (points->GetPt(i)->IsFlagSet(flag)) out.insert(i);
        return out;
    }
    int Set2DCorners(double angle) {
        faces->UpdateEdgeToFaceGraph(geom);
        return points->Set2DCornerPointsStatus(*faces->GetEdgeToFaceGraph(), angle);
    }
};

// The unit cube, corners numbered by bits (x = bit 0, y = bit 1, z = bit 2), as 12 outward
// triangles; face pair 2k, 2k+1 is one side of the cube.
const std::vector<P3> kCubePoints = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0},
                                     {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}};
const std::vector<Face> kCubeFaces = {{0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
                                      {2, 6, 7}, {2, 7, 3}, {0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}};

// A cube of side 2 whose six sides are 2 x 2 grids of quads: points are the integer positions of
// [0, 2]^3 on the surface (26 of them), so each side has a centre and each edge a middle point.
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
        // For each axis and side, quads (u, v) with outward winding.
        for (int axis = 0; axis < 3; ++axis)
            for (int side = 0; side <= 2; side += 2)
                for (int u = 0; u < 2; ++u)
                    for (int v = 0; v < 2; ++v) {
                        int c[4][3];
                        const int uv[4][2] = {{u, v}, {u + 1, v}, {u + 1, v + 1}, {u, v + 1}};
                        for (int k = 0; k < 4; ++k) {
                            c[k][axis] = side;
                            c[k][(axis + 1) % 3] = uv[k][0];
                            c[k][(axis + 2) % 3] = uv[k][1];
                        }
                        Face f;
                        for (int k = 0; k < 4; ++k) f.push_back(Index(c[k][0], c[k][1], c[k][2]));
                        if (side == 0) std::swap(f[1], f[3]);
                        faces.push_back(f);
                    }
    }
    // Number of coordinates of point i on the cube's outer planes (3 corner, 2 edge, 1 centre).
    int Extremes(int i) const {
        const float c[3] = {points[size_t(i)].x, points[size_t(i)].y, points[size_t(i)].z};
        int n = 0;
        for (float v : c) n += (v == 0.0f || v == 2.0f);
        return n;
    }
};

// A flat w x h grid of triangulated quads in the plane z = 0 (points row by row).
std::vector<P3> GridPoints(int w, int h) {
    std::vector<P3> out;
    for (int y = 0; y <= h; ++y)
        for (int x = 0; x <= w; ++x) out.push_back({float(x), float(y), 0.0f});
    return out;
}

// A fan of `n` triangles around point 0 at height `apex` over a regular n-gon of radius 1.
Mesh* Cone(int n, float apex) {
    std::vector<P3> pts = {{0, 0, apex}};
    std::vector<Face> faces;
    for (int i = 0; i < n; ++i) {
        const double a = 2.0 * M_PI * i / n;
        pts.push_back({float(std::cos(a)), float(std::sin(a)), 0.0f});
        faces.push_back({0, 1 + i, 1 + (i + 1) % n});
    }
    return new Mesh(pts, faces);
}

// ---- point-material graph ----

TEST(PointMaterialGraph, ListsEachLiveMaterialOnceInIncreasingOrder) {
    // Strip of four quads, materials 7 7 3 3 from left to right; quad 4 is hidden (material 9)
    // and shares the points 1 and 6.
    //
    //  5 -- 6 -- 7 -- 8 -- 9
    //  | 7  | 7  | 3  | 3  |
    //  0 -- 1 -- 2 -- 3 -- 4
    Mesh m(GridPoints(4, 1), {{0, 1, 6, 5}, {1, 2, 7, 6}, {2, 3, 8, 7}, {3, 4, 9, 8}, {1, 7, 6}});
    const unsigned materials[] = {7, 7, 3, 3, 9};
    for (unsigned f = 0; f < 5; ++f) m.faces->SetFaceMaterial(f, materials[f]);
    m.faces->SetFaceFlags(4, FACE_HIDDEN, true);
    m.points->Add(5.0f, 5.0f, 5.0f);  // point 10, used by no face

    EXPECT_FALSE(m.points->InitShareSeveralMaterialsFlag()) << "no graph yet";
    m.points->InitPointMaterialGraph(*m.faces);
    ASSERT_NE(m.points->GetPointMaterialGraph(), nullptr);
    const std::vector<std::vector<unsigned>> expected = {{7}, {7}, {3, 7}, {3}, {3}, {7}, {7}, {3, 7}, {3}, {3}, {}};
    for (int p = 0; p < 11; ++p) {
        int count;
        const unsigned* values = m.points->GetMaterialsConnectedToPoint(p, count);
        std::vector<unsigned> got = values ? std::vector<unsigned>(values, values + count) : std::vector<unsigned>();
        EXPECT_EQ(got, expected[size_t(p)]) << "point " << p;
        EXPECT_EQ(m.points->GetNumberOfMaterialsConnectedToPoint(p), count);
    }
    int count = -1;
    EXPECT_EQ(m.points->GetMaterialsConnectedToPoint(11, count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(m.points->GetNumberOfMaterialsConnectedToPoint(-1), 0);

    // The frontier is exactly the column where the two materials meet; stale bits go.
    m.points->GetPt(0)->SetFlags(POINT_MATERIAL_FRONTIER, true);
    EXPECT_TRUE(m.points->InitShareSeveralMaterialsFlag());
    EXPECT_EQ(m.With(POINT_MATERIAL_FRONTIER), (std::set<int>{2, 7}));

    // One material everywhere: no frontier, and dropping the graph clears the flags.
    for (unsigned f = 0; f < 4; ++f) m.faces->SetFaceMaterial(f, 3);
    m.points->InitPointMaterialGraph(*m.faces);
    EXPECT_FALSE(m.points->InitShareSeveralMaterialsFlag());
    EXPECT_TRUE(m.With(POINT_MATERIAL_FRONTIER).empty());
    m.points->DeletePointMaterialGraph();
    EXPECT_EQ(m.points->GetNumberOfMaterialsConnectedToPoint(2), 0);
}

TEST(PointMaterialGraph, CubeWithOneMaterialPerSideGivesThreeAtEveryCorner) {
    Mesh m(kCubePoints, kCubeFaces);
    for (unsigned f = 0; f < 12; ++f) m.faces->SetFaceMaterial(f, 100 - f / 2);  // 100, 99, ... 95
    m.points->InitPointMaterialGraph(*m.faces);
    EXPECT_TRUE(m.points->InitShareSeveralMaterialsFlag());
    for (int p = 0; p < 8; ++p) {
        int count;
        const unsigned* values = m.points->GetMaterialsConnectedToPoint(p, count);
        ASSERT_EQ(count, 3) << "point " << p;
        EXPECT_LT(values[0], values[1]);
        EXPECT_LT(values[1], values[2]);
    }
    EXPECT_EQ(m.With(POINT_MATERIAL_FRONTIER).size(), 8u);
}

// ---- 3D corners and coplanar points ----

TEST(Corners3D, TriangulatedCubeHasEightCornersAndNoCoplanarPoint) {
    Mesh m(kCubePoints, kCubeFaces);
    EXPECT_EQ(m.points->Set3DCornerPointsStatus(*m.faces, k75Degrees), 8);
    EXPECT_EQ(m.With(POINT_3D_CORNER).size(), 8u);
    EXPECT_EQ(m.points->InitShareCoplanarFacesFlag(*m.faces, 0.0), 0);
    // At 95 degrees the sides no longer differ enough: no corner, and the stale bits are gone.
    EXPECT_EQ(m.points->Set3DCornerPointsStatus(*m.faces, 95.0 * M_PI / 180.0), 0);
    EXPECT_TRUE(m.With(POINT_3D_CORNER).empty());
    // Closed: no border, so no 2D corner.
    EXPECT_EQ(m.Set2DCorners(k75Degrees), 0);
}

TEST(Corners3D, GridCubeSeparatesCornersEdgesAndFlatPoints) {
    GridCube cube;
    ASSERT_EQ(cube.points.size(), 26u);
    Mesh m(cube.points, cube.faces);
    // Pre-set bits must not survive.
    m.points->SetPointsFlags(POINT_3D_CORNER | POINT_COPLANAR, true);
    EXPECT_EQ(m.points->Set3DCornerPointsStatus(*m.faces, k75Degrees), 8);
    EXPECT_EQ(m.points->InitShareCoplanarFacesFlag(*m.faces, 0.0), 6);
    for (int p = 0; p < 26; ++p) {
        EXPECT_EQ(m.points->GetPt(p)->IsFlagSet(POINT_3D_CORNER), cube.Extremes(p) == 3) << "point " << p;
        EXPECT_EQ(m.points->GetPt(p)->IsFlagSet(POINT_COPLANAR), cube.Extremes(p) == 1) << "point " << p;
    }
}

TEST(Corners3D, ConeTipIsACornerOnlyWhenSharp) {
    // The side normals of a 16-sided cone of height h make 90° - atan(1/h) with the axis; opposite
    // sides are twice that apart. Tall (h = 4): 152° apart, three groups at 75°. Flat (h = 0.2):
    // 22° apart, one group; every point of the rim sees two faces only.
    std::unique_ptr<Mesh> tall(Cone(16, 4.0f));
    EXPECT_EQ(tall->points->Set3DCornerPointsStatus(*tall->faces, k75Degrees), 1);
    EXPECT_TRUE(tall->points->GetPt(0)->IsFlagSet(POINT_3D_CORNER));
    std::unique_ptr<Mesh> flat(Cone(16, 0.2f));
    EXPECT_EQ(flat->points->Set3DCornerPointsStatus(*flat->faces, k75Degrees), 0);
    // Neither is coplanar at the tip; the rim points of a cone see two different planes.
    EXPECT_EQ(flat->points->InitShareCoplanarFacesFlag(*flat->faces, 0.0), 0);
    // With a tolerance above the 22° between the flat cone's sides everything is coplanar.
    EXPECT_EQ(flat->points->InitShareCoplanarFacesFlag(*flat->faces, 0.5), 17);
}

TEST(Corners3D, IgnoresFacesThatAreNotLiveOrHaveNoArea) {
    // A flat fan around point 0 plus a vertical wall triangle that is hidden, and a zero-area
    // triangle standing on the same points: point 0 stays coplanar and is no corner.
    std::vector<P3> pts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {2, 0, 0}};
    Mesh m(pts, {{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 1}, {0, 1, 5}, {0, 5, 2}, {0, 1, 6}});
    m.faces->SetFaceFlags(4, FACE_HIDDEN, true);
    m.faces->SetFaceFlags(5, FACE_INVALID, true);
    EXPECT_EQ(m.points->Set3DCornerPointsStatus(*m.faces, k75Degrees), 0);
    m.points->InitShareCoplanarFacesFlag(*m.faces, 0.0);
    EXPECT_TRUE(m.points->GetPt(0)->IsFlagSet(POINT_COPLANAR));
    EXPECT_FALSE(m.points->GetPt(5)->IsFlagSet(POINT_COPLANAR)) << "used by dead faces only";
    EXPECT_FALSE(m.points->GetPt(6)->IsFlagSet(POINT_COPLANAR)) << "used by a face without area only";
}

TEST(Coplanar, TiltedPlaneIsCoplanarDespiteFloatRounding) {
    // A 10 x 10 grid on the plane x + 2y + 3z = 1: the float coordinates lie off the exact plane
    // by their rounding, so the face normals differ in their last bits.
    std::vector<P3> pts;
    for (int j = 0; j <= 10; ++j)
        for (int i = 0; i <= 10; ++i) {
            const double u = i * 0.1, v = j * 0.1;
            const double x = 1.0 + u, y = 0.5 + v, z = (1.0 - x - 2.0 * y) / 3.0;
            pts.push_back({float(x), float(y), float(z)});
        }
    Mesh m(pts, GridTriangles(10, 10));
    EXPECT_EQ(m.points->InitShareCoplanarFacesFlag(*m.faces, 0.0), 121);
    EXPECT_EQ(m.points->Set3DCornerPointsStatus(*m.faces, k75Degrees), 0);
}

// ---- 2D corners ----

TEST(Corners2D, OpenGridHasItsFourOutlineCorners) {
    Mesh m(GridPoints(3, 2), GridTriangles(3, 2));
    m.points->SetPointsFlags(POINT_2D_CORNER, true);
    EXPECT_EQ(m.Set2DCorners(k75Degrees), 4);
    EXPECT_EQ(m.With(POINT_2D_CORNER), (std::set<int>{0, 3, 8, 11}));
    EXPECT_TRUE(m.With(POINT_3D_CORNER).empty());
}

TEST(Corners2D, TurnAngleDecidesOnARegularOutline) {
    // Hexagon fan: the outline turns by 60° at every rim point.
    std::unique_ptr<Mesh> hex(Cone(6, 0.0f));
    EXPECT_EQ(hex->Set2DCorners(k75Degrees), 0);
    EXPECT_EQ(hex->Set2DCorners(50.0 * M_PI / 180.0), 6);
    EXPECT_FALSE(hex->points->GetPt(0)->IsFlagSet(POINT_2D_CORNER)) << "the centre is not on the border";
}

TEST(Corners2D, JunctionsOfBorderLinesAreCorners) {
    // Two triangles touching at point 0 only, so that four border edges meet there:
    //
    //   2         3
    //   | \     / |
    //   1 -- 0 -- 4
    std::vector<P3> pts = {{0, 0, 0}, {-1, 0, 0}, {-1, 1, 0}, {1, 1, 0}, {1, 0, 0}};
    Mesh m(pts, {{0, 2, 1}, {0, 4, 3}});
    m.Set2DCorners(k75Degrees);
    EXPECT_TRUE(m.points->GetPt(0)->IsFlagSet(POINT_2D_CORNER)) << "four border edges meet";
    // The other triangle corners turn by more than 75° (45° and 90° interior angles).
    EXPECT_EQ(m.With(POINT_2D_CORNER), (std::set<int>{0, 1, 2, 3, 4}));
    // Edges that end outside the list are skipped, not followed.
    C3DPointList small;
    small.Add(0.0f, 0.0f, 0.0f);
    EXPECT_EQ(small.Set2DCornerPointsStatus(*m.faces->GetEdgeToFaceGraph(), k75Degrees), 0);
}

}  // namespace
}  // namespace kestovar::test
