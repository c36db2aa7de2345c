// Ear clipping: every triangle lies inside its polygon (never over a notch), the triangles tile
// the polygon exactly, triangles take consecutive positions, channels follow, bad input is safe.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/triangulate.h"

namespace kestovar::test {
namespace {

using P2 = std::array<double, 2>;

double SignedArea(const std::vector<P2>& poly) {
    double a = 0.0;
    for (size_t i = 0; i < poly.size(); ++i) {
        const P2& p = poly[i];
        const P2& q = poly[(i + 1) % poly.size()];
        a += p[0] * q[1] - q[0] * p[1];
    }
    return a / 2.0;
}

bool InsidePolygon(const std::vector<P2>& poly, double x, double y) {
    bool in = false;
    for (size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
        if ((poly[i][1] > y) != (poly[j][1] > y) &&
            x < (poly[j][0] - poly[i][0]) * (y - poly[i][1]) / (poly[j][1] - poly[i][1]) + poly[i][0])
            in = !in;
    }
    return in;
}

// Clips a polygon given in the z = 0 plane (counter-clockwise) and checks every triangle against
// it: centroid inside, same orientation as the polygon, and areas summing to the polygon's.
void CheckTiling(const std::vector<P2>& poly) {
    SCOPED_TRACE(::testing::Message() << "polygon of " << poly.size() << " corners");
    C3DPointList pts;
    Poly idx;
    for (size_t i = 0; i < poly.size(); ++i) {
        pts.Add(float(poly[i][0]), float(poly[i][1]), 0.0f);
        idx.push_back(int(i));
    }
    CTriangulateFaceHelper helper;
    int n = helper.Clip(pts.GetPoints(), pts.GetSize(), idx.data(), int(idx.size()));
    ASSERT_EQ(n, int(poly.size()) - 2);
    const int* t = helper.GetTriangles();
    double total = 0.0;
    for (int i = 0; i < n; ++i) {
        std::vector<P2> tri = {poly[t[3 * i]], poly[t[3 * i + 1]], poly[t[3 * i + 2]]};
        double a = SignedArea(tri);
        EXPECT_GT(a, 0.0) << "triangle " << i << " is reversed or flat";
        total += a;
        double cx = (tri[0][0] + tri[1][0] + tri[2][0]) / 3.0, cy = (tri[0][1] + tri[1][1] + tri[2][1]) / 3.0;
        EXPECT_TRUE(InsidePolygon(poly, cx, cy)) << "triangle " << i << " covers a notch";
    }
    EXPECT_NEAR(total, SignedArea(poly), 1e-9 * std::fabs(SignedArea(poly)) + 1e-12);
}

TEST(EarClipping, ConcavePolygonsAreTiledWithoutCoveringNotches) {
    // L-shaped hexagon:
    //   5--4
    //   |  |
    //   |  3----2
    //   |       |
    //   0-------1
    CheckTiling({{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}});
    // Comb with three teeth (the notches reach almost to the base).
    CheckTiling({{0, 0}, {5, 0}, {5, 3}, {4, 3}, {4, 0.2}, {3, 0.2}, {3, 3}, {2, 3}, {2, 0.2}, {1, 0.2}, {1, 3}, {0, 3}});
    // Star of 7 points.
    std::vector<P2> star;
    for (int i = 0; i < 14; ++i) {
        double r = (i % 2) ? 0.35 : 1.0, a = i * M_PI / 7.0;
        star.push_back({r * std::cos(a), r * std::sin(a)});
    }
    CheckTiling(star);
    // Spiral-like polygon whose first corner is reflex.
    CheckTiling({{3, 1}, {0, 1}, {0, 0}, {4, 0}, {4, 4}, {1, 4}, {1, 2}, {2, 2}, {2, 3}, {3, 3}});
    // Convex polygon with a straight corner (a midpoint on an edge).
    CheckTiling({{0, 0}, {1, 0}, {2, 0}, {2, 2}, {0, 2}});
}

TEST(EarClipping, ClockwiseInputIsTiledInItsOwnOrientation) {
    // The projection follows the polygon's own normal, so a clockwise polygon in the xy plane is
    // clipped in its frame and every triangle keeps the polygon's winding.
    C3DPointList pts;
    std::vector<P2> poly = {{0, 2}, {1, 2}, {1, 1}, {2, 1}, {2, 0}, {0, 0}};
    for (const P2& p : poly) pts.Add(float(p[0]), float(p[1]), 0.0f);
    Poly idx = {0, 1, 2, 3, 4, 5};
    CTriangulateFaceHelper helper;
    ASSERT_EQ(helper.Clip(pts.GetPoints(), 6, idx.data(), 6), 4);
    for (int i = 0; i < 4; ++i) {
        const int* t = helper.GetTriangles() + 3 * i;
        EXPECT_LT(SignedArea({poly[t[0]], poly[t[1]], poly[t[2]]}), 0.0);
    }
}

TEST(EarClipping, BadInputGivesFewerTrianglesNeverBadOnes) {
    CTriangulateFaceHelper helper;
    C3DPointList pts;
    pts.Add(0, 0, 0);
    pts.Add(1, 0, 0);
    pts.Add(1, 1, 0);
    pts.Add(0, 1, 0);
    pts.Add(2, 0, 0);
    float nan = std::numeric_limits<float>::quiet_NaN();
    pts.Add(nan, 0, 0);
    // Repeated index: (0, 1, 2, 1, 3) folds back on itself; ears with a repeated point are dropped.
    Poly rep = {0, 1, 2, 1, 3};
    int n = helper.Clip(pts.GetPoints(), pts.GetSize(), rep.data(), 5);
    EXPECT_LE(n, 3);
    for (int i = 0; i < n; ++i) {
        const int* t = helper.GetTriangles() + 3 * i;
        EXPECT_TRUE(rep[t[0]] != rep[t[1]] && rep[t[1]] != rep[t[2]] && rep[t[0]] != rep[t[2]]);
    }
    Poly collinear = {0, 1, 4};
    EXPECT_EQ(helper.Clip(pts.GetPoints(), pts.GetSize(), collinear.data(), 3), 0);
    Poly same = {0, 0, 0, 0};
    EXPECT_EQ(helper.Clip(pts.GetPoints(), pts.GetSize(), same.data(), 4), 0);
    Poly withNan = {0, 1, 5, 3};
    EXPECT_EQ(helper.Clip(pts.GetPoints(), pts.GetSize(), withNan.data(), 4), 0);
    Poly outOfRange = {0, 1, 2, 99};
    EXPECT_EQ(helper.Clip(pts.GetPoints(), pts.GetSize(), outOfRange.data(), 4), 0);
    Poly negative = {0, -1, 2, 3};
    EXPECT_EQ(helper.Clip(pts.GetPoints(), pts.GetSize(), negative.data(), 4), 0);
}

// A face without a normal (its single-precision Newell sums all below 1e-15, as C3DFace::GetNormal
// decides) is not split, whichever path would split it: a lone polygon, a pair of quadrangles or
// a group of eight. A small square away from the origin, whose sums clear the epsilon by less
// than their rounding could move them, is left by the quadrangle shortcuts to the clipping,
// which finds its normal and splits it.
TEST(TriangulateObject, FacesWithoutANormalGiveNoTriangles) {
    for (int run : {1, 2, 8}) {
        SCOPED_TRACE(run);
        std::vector<P3> pts;
        std::vector<Poly> faces;
        auto square = [&](float x, float size) {
            const int a = int(pts.size());
            pts.insert(pts.end(), {{x, 0, 0}, {x + size, 0, 0}, {x + size, size, 0}, {x, size, 0}});
            faces.push_back({a, a + 1, a + 2, a + 3});
        };
        for (int i = 0; i < run; ++i) square(float(2 * i + 2), 1.0f);
        const int tinyFace = run, tinyPoint = 4 * run;
        square(0.0f, 1e-9f);     // sums about 2e-18: no normal
        square(0.5f, 0x1p-24f);  // sums about 7e-15, next to terms of about 6e-8
        for (int i = 0; i < run; ++i) square(float(2 * i + 40), 1.0f);
        Owned obj = MakeObject(pts, faces);
        C3DFace tiny, small;
        C3DTVector<float> n;
        CGeomInfo geom(&*obj);
        obj->GetFaceList()->GetFace(unsigned(tinyFace), tiny);
        EXPECT_FALSE(tiny.GetNormal(&geom, n, false));
        obj->GetFaceList()->GetFace(unsigned(tinyFace + 1), small);
        EXPECT_TRUE(small.GetNormal(&geom, n, false));
        ASSERT_TRUE(obj->Triangulate(0, _FACE_PROPERTIES(0), true));
        const std::vector<Poly> out = ReadFaces(*obj->GetFaceList());
        ASSERT_EQ(out.size(), size_t(4 * run + 2));
        for (const Poly& t : out)
            for (int p : t)
                EXPECT_TRUE(p < tinyPoint || p >= tinyPoint + 4) << "a triangle of the tiny square";
    }
}

// Three faces in a row; the middle quadrangle is split:
//
//   3----2----5
//   |    |    |
//   0----1----4     faces: triangle (0,1,3), quad (1,4,5,2), triangle (2,3,1)
TEST(TriangulateObject, TrianglesTakeConsecutivePositionsAndFacesBehindMoveOn) {
    Owned obj = MakeObject({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}},
                                {{0, 1, 3}, {1, 4, 5, 2}, {2, 3, 1}});
    obj->GetFaceList()->SetFaceMaterial(1, 7);
    obj->GetFaceList()->SetFaceFlags(1, FACE_SELECTED, true);
    ASSERT_TRUE(obj->Triangulate(CHANNEL_ALL, _FACE_PROPERTIES(0), true));
    std::vector<Poly> f = ReadFaces(*obj->GetFaceList());
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], (Poly{0, 1, 3}));
    EXPECT_EQ(f[3], (Poly{2, 3, 1}));
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(obj->GetFaceList()->GetFaceMaterial(unsigned(i)), 7u);
        EXPECT_TRUE(obj->GetFaceList()->IsFaceFlagSet(unsigned(i), FACE_SELECTED));
    }
    std::set<int> used(f[1].begin(), f[1].end());
    used.insert(f[2].begin(), f[2].end());
    EXPECT_EQ(used, (std::set<int>{1, 2, 4, 5}));
    EXPECT_TRUE(obj->IsTriangular(_FACE_PROPERTIES(0), true));
    // Already triangular: nothing to do.
    EXPECT_FALSE(obj->Triangulate(CHANNEL_ALL, _FACE_PROPERTIES(0), true));
}

// A polygon cut into more triangles than the writer gathers in one block (256), after a face that
// already partly filled the block; the repeated-corner form is the "f 1 2 3 4 1 2 3 4 ..." line
// real files carry. Every triangle lands, in order, with its channel triangle beside it.
TEST(TriangulateObject, PolygonsLongerThanTheWriteBlockKeepEveryTriangle) {
    for (bool repeated : {false, true}) {
        SCOPED_TRACE(repeated ? "corners repeated" : "convex 600-gon");
        const int corners = repeated ? 900 : 600;
        std::vector<P3> points;
        Poly polygon;
        for (int i = 0; i < (repeated ? 4 : corners); ++i) {
            const double a = 2.0 * M_PI * i / (repeated ? 4 : corners);
            points.push_back({float(std::cos(a)), float(std::sin(a)), 0.0f});
        }
        for (int i = 0; i < corners; ++i) polygon.push_back(repeated ? i % 4 : i);
        Owned obj = MakeObject(points, {{0, 1, 2, 3}, polygon, {1, 2, 3}});
        AddOffsetChannel(*obj, 10);
        ASSERT_TRUE(obj->Triangulate(CHANNEL_ALL, _FACE_PROPERTIES(0), true));
        const std::vector<Poly> f = ReadFaces(*obj->GetFaceList());
        ASSERT_GE(f.size(), 4u);
        EXPECT_EQ(f.back(), (Poly{1, 2, 3}));
        if (!repeated) {
            EXPECT_EQ(f.size(), 2u + 598u + 1u);
        }
        for (const Poly& t : f) {
            ASSERT_EQ(t.size(), 3u);
            for (int v : t) ASSERT_TRUE(v >= 0 && v < int(points.size()));
        }
        CChannel* c = obj->GetChannels()->GetChannel(0);
        ASSERT_NE(c, nullptr);
        const std::vector<Poly> ch = ReadFaces(*c->GetFaceList());
        ASSERT_EQ(ch.size(), f.size());
        const C2DPointList* values = static_cast<const C2DPointList*>(c->GetPointList());
        for (size_t i = 0; i < f.size(); ++i)
            for (int j = 0; j < 3; ++j) ASSERT_EQ(values->GetAt(ch[i][j]).u, float(f[i][j])) << "triangle " << i;
    }
}

TEST(TriangulateObject, ChannelWithTheWrongFaceCountIsDropped) {
    Owned obj = MakeObject(CubePoints(), CubeFaces());
    PlainChannel* c = AddOffsetChannel(*obj, 0);
    c->GetFaceList()->SetSize(4);
    EXPECT_TRUE(obj->Triangulate(CHANNEL_ALL, _FACE_PROPERTIES(0), true));
    EXPECT_EQ(obj->GetFaceNbr(), 12);
    EXPECT_EQ(obj->GetChannels()->GetSize(), 0);
}

// Ear clipping of one face: the projection to the face's plane, and the face-level split into a
// helper's own list or a view's destination, which must give the very triangles the face-list
// pass gives, with the face's material and a bound on the number written.
constexpr uint32_t kTagChunk = 0x54414754;  // tags written by the test

// An L-shaped hexagon in the plane z = 2 (notch at the top right) and a degenerate face.
C3DObject* LShape() {
    return MakeObject({{0, 0, 2}, {2, 0, 2}, {2, 1, 2}, {1, 1, 2}, {1, 2, 2}, {0, 2, 2}, {3, 0, 2}},
                      {{0, 1, 2, 3, 4, 5}, {0, 1, 6}});
}

TEST(TriangulateFace, ProjectsOnTheFacePlaneAlongTheFirstEdge) {
    Owned o = LShape();
    CGeomInfo geom(o);
    C3DFace face;
    C2DPointList uv;
    o->GetFaceList()->GetFace(0, face);
    ASSERT_TRUE(face.Get2DCoordinates(&geom, uv));
    const float expected[6][2] = {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};
    ASSERT_EQ(uv.GetSize(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_FLOAT_EQ(uv.GetAt(i).u, expected[i][0]);
        EXPECT_FLOAT_EQ(uv.GetAt(i).v, expected[i][1]);
    }
    o->GetFaceList()->GetFace(1, face);  // collinear corners: no plane
    EXPECT_FALSE(face.Get2DCoordinates(&geom, uv));
    EXPECT_EQ(uv.GetSize(), 0);
}

TEST(TriangulateFace, FaceLevelSplitMatchesTheListPass) {
    Owned o = LShape();
    o->GetFaceList()->SetFaceMaterial(0, 5);
    CGeomInfo geom(o);
    C3DFace face;
    o->GetFaceList()->GetFace(0, face);

    // Into the helper's own list.
    CTriangulateFaceHelper* helper = C3DFace::InitTriangulation(&geom);
    ASSERT_EQ(face.Triangulate(helper, -1, 0), 4);
    const std::vector<Poly> own = ReadFaces(*helper->GetOwnFaceList());
    for (int t = 0; t < 4; ++t) EXPECT_EQ(helper->GetOwnFaceList()->GetFaceMaterial(unsigned(t)), 5u);
    C3DFace::ReleaseTriangulation(helper);

    // Appended to a destination list, at most 3.
    Owned<C3DFaceList> dst = C3DFaceList::Create();
    CGeomInfo into(o);
    into.SetFaceList(o->GetFaceList(), dst, 0);
    EXPECT_EQ(face.Triangulate(&into, -1, 3), 3);
    EXPECT_EQ(dst->GetSize(), 3);
    const std::vector<Poly> appended = ReadFaces(*dst);
    EXPECT_EQ(appended, std::vector<Poly>(own.begin(), own.begin() + 3));

    // The face-list pass writes the same triangles in the face's place.
    ASSERT_TRUE(o->Triangulate(0, _FACE_PROPERTIES(0), true));
    std::vector<Poly> listed = ReadFaces(*o->GetFaceList());
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(std::vector<Poly>(listed.begin(), listed.begin() + 4), own);
    EXPECT_EQ(listed[4], (Poly{0, 1, 6}));
}


// Into a destination list whose chunks differ from the source's: the first triangle takes the
// chunks both lists hold (an element of another size but of a kind is cut to the smaller size),
// keeps its own value of a chunk the source lacks, and the later triangles copy the first.
TEST(TriangulateFace, DestinationOfAnotherChunkLayout) {
    constexpr uint32_t kHost = 0x484F5354;  // a host's per-face value
    Owned o = LShape();
    C3DFaceList* src = o->GetFaceList();
    src->SetFaceMaterial(0, 7);
    src->SetFaceFlags(0, FACE_SELECTED | FACE_FROZEN);
    src->SetBackFaceMaterial(0, 9);
    src->AddDataChunk(kHost, new CMaxFaceMethods2);
    src->GetData(kHost)->GetMethods()->Delete();
    const uint64_t wide = 0x1122334455667788ull;
    std::memcpy(src->GetData(kHost, 0), &wide, 8);

    Owned<C3DFaceList> dst = C3DFaceList::Create();
    dst->SetSize(6, 3, SETSIZE_COMPACT_SLACK);
    dst->AddDataChunk(kHost, new CMaxFaceMethods);
    dst->GetData(kHost)->GetMethods()->Delete();
    dst->AddDataChunk(kTagChunk, new CFaceTagIDMethods);
    dst->GetData(kTagChunk)->GetMethods()->Delete();
    for (unsigned i = 0; i < 6; ++i) *static_cast<uint32_t*>(dst->GetData(kTagChunk, i)) = 100 + i;

    CGeomInfo into(o);
    into.SetFaceList(src, dst, 0);
    CTriangulateFaceHelper* helper = C3DFace::InitTriangulation(&into);
    C3DFace face;
    src->GetFace(0, face);
    ASSERT_EQ(face.Triangulate(helper, 1, 0), 4);
    C3DFace::ReleaseTriangulation(helper);

    EXPECT_FALSE(dst->HasBackFaceMaterials());
    for (unsigned t = 1; t <= 4; ++t) {
        SCOPED_TRACE(::testing::Message() << "triangle at " << t);
        EXPECT_EQ(dst->GetFaceSize(t), 3u);
        EXPECT_EQ(dst->GetFaceFlags(t), unsigned(FACE_SELECTED | FACE_FROZEN));
        EXPECT_EQ(dst->GetFaceMaterial(t), 7u);
        EXPECT_EQ(*static_cast<const uint32_t*>(dst->GetData(kHost, t)), 0x55667788u);
        EXPECT_EQ(*static_cast<const uint32_t*>(dst->GetData(kTagChunk, t)), 101u);
    }
    EXPECT_EQ(dst->GetFaceSize(0), 0u);
    EXPECT_EQ(dst->GetFaceSize(5), 0u);
    EXPECT_EQ(*static_cast<const uint32_t*>(dst->GetData(kTagChunk, 5)), 105u);
}

}  // namespace
}  // namespace kestovar::test
