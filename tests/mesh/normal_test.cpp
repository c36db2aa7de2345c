// Face geometry (Newell normal, plane, centre, area, planarity, convexity) and the three normal
// channels: face normals, smoothed corner normals with an angle and a weighting, and specified
// normals (compute, generate, normalise, compare, break marking).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "adjacency_test_util.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {
namespace {

using test::Face;
using test::Owned;
using test::XYZ;
// An object over the given points and faces with a view over it (see adjacency_test_util.h).
using Mesh = test::ObjectMesh;

// The unit cube, outward faces counter-clockwise seen from outside:
//
//      7-------6        z up, y back
//     /|      /|
//    4-------5 |        0 (0,0,0) 1 (1,0,0) 2 (1,1,0) 3 (0,1,0)
//    | 3-----|-2        4 (0,0,1) 5 (1,0,1) 6 (1,1,1) 7 (0,1,1)
//    |/      |/
//    0-------1
const std::vector<XYZ> kCubePoints = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                      {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
const std::vector<Face> kCubeFaces = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                                      {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}};

// A strip of three quads, the first two flat in z = 0, the third folded down by 90 degrees
// along the edge 2-5:
//
//   3---4---5            6 (2,0,-1)  7 (2,1,-1)
//   | A | B |\ C
//   0---1---2 7..6       A, B face +z; C = (2,6,7,5) faces +x
const std::vector<XYZ> kStripPoints = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0},  {0, 1, 0},
                                       {1, 1, 0}, {2, 1, 0}, {2, 0, -1}, {2, 1, -1}};
const std::vector<Face> kStripFaces = {{0, 1, 4, 3}, {1, 2, 5, 4}, {2, 6, 7, 5}};

constexpr float kPi = 3.14159265358979f;
constexpr float k30Degrees = 0.5235988f;

void ExpectVector(const C3DTVector<float>& v, double x, double y, double z, double tol = 1e-6) {
    EXPECT_NEAR(v.x, x, tol);
    EXPECT_NEAR(v.y, y, tol);
    EXPECT_NEAR(v.z, z, tol);
}

// The vector index at corner `corner` of channel face `face`.
int CornerIndex(const CChannel* channel, unsigned face, unsigned corner) {
    int n = 0;
    const int* idx = channel->GetFaceList()->GetIndexes(face, n);
    return int(corner) < n ? idx[corner] : -1;
}

const C3DTVector<float>& CornerNormal(CChannel* channel, unsigned face, unsigned corner) {
    int n = 0;
    const int* idx = channel->GetFaceList()->GetIndexes(face, n);
    EXPECT_LT(int(corner), n);
    return static_cast<C3DVectorList*>(channel->GetPointList())->GetAt(idx[corner]);
}

C3DTVector<float> Flagged(float x, float y, float z, unsigned flags) {
    C3DTVector<float> v(x, y, z);
    v.SetFlags(flags);
    return v;
}

// Writes `corners` (rows of `k`) as the faces of `list`, sized to `count` faces.
void SetCorners(CFaceList* list, unsigned count, unsigned k, const int* corners) {
    list->SetSize(int(count), k, SETSIZE_COMPACT_SLACK);
    for (unsigned f = 0; f < count; ++f) {
        CFace view;
        list->GetFace(f, view);
        view.SetIndexes(corners + f * k, k);
    }
}

// ---- face geometry ----

TEST(FaceGeometry, SquareNormalPlaneCentreAreaAndOrientation) {
    // 3---2
    // |   |   counter-clockwise seen from +z
    // 0---1
    Mesh m({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2, 3}, {3, 2, 1, 0}});
    C3DFace ccw = m.View(0), cw = m.View(1);
    C3DTVector<float> n;
    ASSERT_TRUE(ccw.GetNormal(m.geom, n, true));
    ExpectVector(n, 0, 0, 1);
    ASSERT_TRUE(cw.GetNormal(m.geom, n, true));
    ExpectVector(n, 0, 0, -1);
    // Unnormalised, the Newell sum is twice the area.
    ASSERT_TRUE(ccw.GetNormal(m.geom, n, false));
    ExpectVector(n, 0, 0, 2);
    EXPECT_DOUBLE_EQ(ccw.Area(m.geom), 1.0);

    C3DTPoint<float> c;
    ASSERT_TRUE(ccw.GetCenter(m.geom, c));
    EXPECT_FLOAT_EQ(c.x, 0.5f);
    EXPECT_FLOAT_EQ(c.y, 0.5f);
    float d = 1;
    ASSERT_TRUE(ccw.GetPlane(m.geom, n, d));
    EXPECT_FLOAT_EQ(d, 0.0f);
    EXPECT_TRUE(ccw.IsPlane(m.geom, 0.0));
    EXPECT_TRUE(ccw.IsConvex(m.geom));
}

TEST(FaceGeometry, DegenerateFacesFallBackToPlusX) {
    // Collinear triangle, coincident corners, two corners, an index outside the points, NaN.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Mesh m({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {nan, 0, 0}, {0, 1, 0}},
           {{0, 1, 2}, {1, 1, 1}, {0, 1}, {0, 1, 9}, {0, 3, 4}});
    for (unsigned f = 0; f < 4; ++f) {
        C3DTVector<float> n(7, 7, 7);
        EXPECT_FALSE(m.View(f).GetNormal(m.geom, n, true)) << "face " << f;
        ExpectVector(n, 1, 0, 0);
        EXPECT_EQ(m.View(f).Area(m.geom), 0.0);
        EXPECT_FALSE(m.View(f).IsConvex(m.geom));
        EXPECT_FALSE(m.View(f).IsPlane(m.geom, 1.0));
    }
    EXPECT_EQ(m.View(2).GetCompacityFactor(m.geom), 0.0);
    EXPECT_EQ(m.View(3).GetCompacityFactor(m.geom), 0.0);
    // A NaN corner never crashes; whatever comes out, the convexity test refuses it.
    C3DTVector<float> n;
    m.View(4).GetNormal(m.geom, n, true);
    EXPECT_FALSE(m.View(4).IsConvex(m.geom));
    // No view, no points: the fallback too.
    EXPECT_FALSE(m.View(0).GetNormal(nullptr, n, true));
    ExpectVector(n, 1, 0, 0);
}

TEST(FaceGeometry, ConvexityPlanarityAndCompacity) {
    //   4           L-shaped hexagon (notch at 3):   star (pentagram) visiting every second
    //  / \          5---4                            corner of a regular pentagon
    // 0   3         |   |
    //  \ /          |   3---2
    //   1-2         0-------1
    Mesh m({{0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {1, 1, 0}, {1, 2, 0}, {0, 2, 0},
            // regular pentagon, radius 1
            {0, 1, 0}, {-0.9510565f, 0.309017f, 0}, {-0.5877853f, -0.809017f, 0}, {0.5877853f, -0.809017f, 0},
            {0.9510565f, 0.309017f, 0},
            // equilateral triangle, and a lifted square corner
            {0, 0, 1}, {1, 0, 1}, {0.5f, 0.8660254f, 1}, {2, 2, 0.25f}},
           {{0, 1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, {6, 8, 10, 7, 9}, {11, 12, 13}, {0, 1, 14, 5}, {0, 1, 2, 2, 5}});
    EXPECT_FALSE(m.View(0).IsConvex(m.geom));  // notch
    EXPECT_TRUE(m.View(0).IsPlane(m.geom, 1e-6));
    EXPECT_TRUE(m.View(1).IsConvex(m.geom));
    EXPECT_FALSE(m.View(2).IsConvex(m.geom));  // turns one way everywhere but winds twice
    EXPECT_TRUE(m.View(3).IsConvex(m.geom));
    EXPECT_NEAR(m.View(3).GetCompacityFactor(m.geom), 1.0, 1e-6);
    EXPECT_NEAR(m.View(3).Area(m.geom), std::sqrt(3.0) / 4.0, 1e-6);
    // Corner 14 of the 2 x 2 square is 0.25 above the others: about 0.06 from the best plane.
    EXPECT_FALSE(m.View(4).IsPlane(m.geom, 0.01));
    EXPECT_TRUE(m.View(4).IsPlane(m.geom, 0.1));
    // A repeated corner (zero-length edge) does not make a convex face concave.
    EXPECT_TRUE(m.View(5).IsConvex(m.geom));
}

// ---- face normal channel ----

TEST(FaceNormalChannel, OneUnitNormalPerLiveFaceAndDegenerateFallback) {
    Mesh m({{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {4, 0, 0}}, {{0, 1, 2}, {0, 1, 3}, {0, 2, 1}});
    m.Faces()->SetFaceFlag(2, FACE_HIDDEN, true);
    CFaceNormalChannel channel;
    ASSERT_TRUE(channel.InitNormals(m.geom));
    EXPECT_FALSE(channel.IsOneFlagSet(CHANNEL_OUT_OF_DATE));
    C3DVectorList* v = channel.GetNormalVectorList();
    ASSERT_EQ(v->GetSize(), 3);
    ExpectVector(v->GetAt(0), 0, 0, 1);
    ExpectVector(v->GetAt(1), 1, 0, 0);  // collinear
    ExpectVector(v->GetAt(2), 0, 0, 0);  // hidden: left as it was (new, zero)
    // Up to date: a second call does nothing; clean-up only marks it out of date.
    EXPECT_FALSE(channel.InitNormals(m.geom));
    EXPECT_FALSE(channel.Clean(m.geom, nullptr, nullptr));
    EXPECT_TRUE(channel.IsFlagSet(CHANNEL_OUT_OF_DATE));
}

// ---- point normal channel ----

// At 30 degrees every side of the cube keeps its own normal; at a half turn every point is
// smoothed. The channel recomputes only when the angle changes or it is out of date.
TEST(PointNormalChannel, CubeSidesSplitAt30DegreesAndSmoothAtAHalfTurn) {
    Mesh m(kCubePoints, kCubeFaces);
    CPointNormalChannel channel;
    ASSERT_TRUE(channel.InitNormals(m.geom, k30Degrees));
    EXPECT_FALSE(channel.InitNormals(m.geom, k30Degrees));
    C3DVectorList* v = channel.GetNormalVectorList();
    EXPECT_EQ(v->GetSize(), 6);
    for (int p = 0; p < 8; ++p) EXPECT_TRUE(m.Points()->GetPt(p)->IsFlagSet(POINT_NORMAL_BREAK)) << p;
    CFaceList* cf = channel.GetFaceList();
    ASSERT_EQ(cf->GetSize(), 6);
    for (unsigned f = 0; f < 6; ++f) {
        int n = 0;
        const int* idx = cf->GetIndexes(f, n);
        ASSERT_EQ(n, 4);
        for (int k = 1; k < 4; ++k) EXPECT_EQ(idx[k], idx[0]) << "face " << f;
        C3DTVector<float> fn;
        m.View(f).GetNormal(m.geom, fn, true);
        ExpectVector(v->GetAt(idx[0]), fn.x, fn.y, fn.z);
    }

    ASSERT_TRUE(channel.InitNormals(m.geom, kPi));
    EXPECT_EQ(v->GetSize(), 8);
    const double s = 1.0 / std::sqrt(3.0);
    for (unsigned f = 0; f < 6; ++f) {
        int n = 0;
        const int* idx = channel.GetFaceList()->GetIndexes(f, n);
        const Face& g = kCubeFaces[f];
        for (int k = 0; k < n; ++k) {
            const XYZ& p = kCubePoints[size_t(g[size_t(k)])];
            // Outward diagonal through the corner.
            ExpectVector(v->GetAt(idx[k]), (p.x * 2 - 1) * s, (p.y * 2 - 1) * s, (p.z * 2 - 1) * s);
        }
    }
    // The break flags follow the latest build.
    for (int p = 0; p < 8; ++p) EXPECT_FALSE(m.Points()->GetPt(p)->IsOneFlagSet(POINT_NORMAL_BREAK)) << p;
    channel.SetFlag(CHANNEL_OUT_OF_DATE, true);
    EXPECT_TRUE(channel.InitNormals(m.geom, kPi));
    // Geometric clean-up marks it out of date rather than editing it.
    EXPECT_FALSE(channel.Clean(m.geom, nullptr, nullptr));
    EXPECT_TRUE(channel.InitNormals(m.geom, kPi));
}

TEST(PointNormalChannel, ChannelFacesFollowInvalidAndShortFaces) {
    // Face 1 is invalid, face 2 has two corners (a live face of too few corners).
    Mesh m(kStripPoints, {{0, 1, 4, 3}, {1, 2, 5, 4}, {2, 5}});
    m.Faces()->SetFaceFlag(1, FACE_INVALID, true);
    m.Faces()->SetFaceFlag(2, FACE_INVALID, false);  // a two-corner face is created invalid
    CPointNormalChannel channel;
    ASSERT_TRUE(channel.InitNormals(m.geom, k30Degrees));
    CFaceList* cf = channel.GetFaceList();
    ASSERT_EQ(cf->GetSize(), 3);
    EXPECT_EQ(cf->GetFaceSize(0), 4u);
    EXPECT_EQ(cf->GetFaceFlags(0), 0u);
    EXPECT_EQ(cf->GetFaceSize(1), 0u);
    EXPECT_EQ(cf->GetFaceFlags(1), unsigned(FACE_INVALID | FACE_HIDDEN));
    EXPECT_EQ(cf->GetFaceSize(2), 2u);
    EXPECT_EQ(cf->GetFaceFlags(2), unsigned(FACE_INVALID));
}

// The fan around point 0 of the weighting test:
//
//        2 (0,1,0)            A = (0, 1, 2): in z = 0, normal +z, area 1/2, corner angle 90 deg,
//        |\                       |e1|^2 |e2|^2 = 1
//        | \ 3 (0,2,2)        B = (0, 2, 3): in x = 0, normal +x, area 1, corner angle 45 deg,
//        |  \                     |e1|^2 |e2|^2 = 8
//        0---1 (1,0,0)
struct FanCase {
    _NormalSmoothMode mode;
    double x, z;  // expected direction at point 0 (y is 0), before normalisation
};

TEST(PointNormalChannel, WeightingModesOnAFan) {
    const FanCase cases[] = {
        {NORMAL_SMOOTH_UNWEIGHTED, 1.0, 1.0},   // unit + unit
        {NORMAL_SMOOTH_AREA, 2.0, 1.0},         // (0,0,1) + (2,0,0)
        {NORMAL_SMOOTH_EDGE, 0.25, 1.0},        // (0,0,1)/1 + (2,0,0)/8
        {NORMAL_SMOOTH_ANGLE, 0.7853982, 1.5707963},  // pi/2 +z, pi/4 +x
    };
    for (const FanCase& c : cases) {
        Mesh m({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 2, 2}}, {{0, 1, 2}, {0, 2, 3}});
        m.object->SetSmoothMode(c.mode);
        CPointNormalChannel channel;
        ASSERT_TRUE(channel.InitNormals(m.geom, kPi));
        const double len = std::sqrt(c.x * c.x + c.z * c.z);
        ExpectVector(CornerNormal(&channel, 0, 0), c.x / len, 0, c.z / len, 1e-5);
        // Both faces share the one vector at point 0.
        EXPECT_EQ(CornerIndex(&channel, 0, 0), CornerIndex(&channel, 1, 0));
    }
}

TEST(PointNormalChannel, DegenerateAndNaNInputNeitherCrashesNorSpreads) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Mesh m({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {nan, nan, 0}, {0, 1, 0}},
           {{0, 1, 2}, {0, 1, 4}, {0, 3, 4}, {1, 3, 4}, {1, 1, 1}});
    for (int mode = 1; mode <= 4; ++mode) {
        m.object->SetSmoothMode(_NormalSmoothMode(mode));
        CPointNormalChannel channel;
        ASSERT_TRUE(channel.InitNormals(m.geom, kPi));
        EXPECT_EQ(channel.GetFaceList()->GetSize(), 5);
        int n = 0;
        const int* idx = channel.GetFaceList()->GetIndexes(0, n);
        for (int k = 0; k < n; ++k) EXPECT_LT(idx[k], channel.GetNormalVectorList()->GetSize());
    }
    // A face through a point that is not a number has no direction: it never joins a healthy
    // group, whatever the angle and the weighting, so its neighbours keep their own normal.
    Mesh hinge({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {nan, 0, 0}}, {{0, 1, 2}, {0, 2, 3}, {1, 4, 2}});
    for (int mode = 1; mode <= 4; ++mode) {
        hinge.object->SetSmoothMode(_NormalSmoothMode(mode));
        for (float angle : {0.5f, 1.6f, kPi}) {
            CPointNormalChannel channel;
            ASSERT_TRUE(channel.InitNormals(hinge.geom, angle));
            for (int face : {0, 1})
                for (int corner = 0; corner < 3; ++corner)
                    ExpectVector(CornerNormal(&channel, face, corner), 0, 0, 1, 1e-6);
        }
    }
    // No faces or no points: nothing to do.
    Mesh empty(std::vector<XYZ>{}, {});
    CPointNormalChannel channel;
    EXPECT_FALSE(channel.InitNormals(empty.geom, kPi));
    EXPECT_FALSE(channel.InitNormals(nullptr, 0.5f));
}

TEST(PointNormalChannel, SmoothingLookupPrefersLiveSpecifiedNormals) {
    Mesh m(kStripPoints, kStripFaces);
    CPointNormalChannel channel;
    channel.InitNormals(m.geom, k30Degrees);
    Owned<CSpecNormalChannel> specified = new CSpecNormalChannel;
    C3DVectorList* sv = specified->GetNormalVectorList();
    sv->Add(Flagged(0, 1, 0, 0));                            // 0: given
    sv->Add(Flagged(0, 0, 0, SPEC_NORMAL_NONE));             // 1: no normal
    sv->Add(Flagged(0, 0, 0, SPEC_NORMAL_COMPUTED));         // 2: recomputed from its faces
    CFaceList* sf = specified->GetFaceList();
    const int corners[3][4] = {{0, 1, 1, 1}, {2, 2, 2, 2}, {0, 0, 0, 0}};
    SetCorners(sf, 3, 4, corners[0]);
    sf->SetFaceFlag(2, FACE_HIDDEN, true);
    channel.PrepareSmoothing(m.geom, specified);
    unsigned source = 99;
    ExpectVector(*channel.GetSmoothNormalByCorner(0, 0, &source), 0, 1, 0);
    EXPECT_EQ(source, unsigned(SMOOTH_NORMAL_SPECIFIED));
    ExpectVector(*channel.GetSmoothNormalByCorner(0, 1, &source), 0, 0, 1);  // no normal: smoothed
    EXPECT_EQ(source, unsigned(SMOOTH_NORMAL_SMOOTHED));
    ExpectVector(*channel.GetSmoothNormalByCorner(1, 0, &source), 0, 0, 1);  // computed from B
    EXPECT_EQ(source, unsigned(SMOOTH_NORMAL_COMPUTED));
    ExpectVector(*channel.GetSmoothNormalByCorner(2, 0, &source), 1, 0, 0);  // dead specified face
    EXPECT_EQ(source, unsigned(SMOOTH_NORMAL_SMOOTHED));
    ExpectVector(*channel.GetSmoothNormalByIndex(2, 5, &source), 1, 0, 0);
    EXPECT_EQ(channel.GetSmoothNormalByIndex(0, 5, &source), nullptr);
    EXPECT_EQ(source, unsigned(SMOOTH_NORMAL_NONE));
    EXPECT_EQ(channel.GetSmoothNormalByCorner(0, 9, &source), nullptr);
}

// ---- specified normals ----

TEST(SpecNormalChannel, CompareRules) {
    CSpecNormalChannel c;
    const C3DTVector<float> up = Flagged(0, 0, 1, 0), up2 = Flagged(0, 0, 1, 0);
    const C3DTVector<float> tilted = Flagged(0, std::sin(0.2f), std::cos(0.2f), 0);  // 0.2 rad away
    const C3DTVector<float> none = Flagged(0, 0, 1, SPEC_NORMAL_NONE), none2 = Flagged(1, 0, 0, SPEC_NORMAL_NONE);
    // Tolerance 0: exact components, flags ignored.
    EXPECT_TRUE(c.Compare(&up, &up2, 0.0));
    EXPECT_TRUE(c.Compare(&up, &none, 0.0));
    EXPECT_FALSE(c.Compare(&up, &tilted, 0.0));
    // Otherwise a fraction of a half turn: 0.2 rad is 0.0637 of pi.
    EXPECT_TRUE(c.Compare(&up, &tilted, 0.07));
    EXPECT_FALSE(c.Compare(&up, &tilted, 0.06));
    // Without a normal: always different from one with, always equal to another without.
    EXPECT_FALSE(c.Compare(&up, &none, 1.0));
    EXPECT_TRUE(c.Compare(&none, &none2, 0.01));
    EXPECT_TRUE(c.Compare(&tilted, &tilted, 0.01));
}

TEST(SpecNormalChannel, NormalizeFlagsEmptyVectorsAndDropsFacesWithoutNormals) {
    CSpecNormalChannel c;
    C3DVectorList* v = c.GetNormalVectorList();
    v->Add(0.0f, 0.0f, 3.0f);
    v->Add(0.0f, 0.0f, 0.0f);
    CFaceList* f = c.GetFaceList();
    const int corners[2][3] = {{0, 1, 1}, {1, 1, 1}};
    SetCorners(f, 2, 3, corners[0]);
    EXPECT_TRUE(c.Normalize());
    ExpectVector(v->GetAt(0), 0, 0, 1);
    EXPECT_TRUE(v->GetAt(1).IsFlagSet(SPEC_NORMAL_NONE));
    EXPECT_FALSE(v->GetAt(0).IsFlagSet(SPEC_NORMAL_NONE));
    EXPECT_EQ(f->GetFaceFlags(0), 0u);
    EXPECT_EQ(f->GetFaceFlags(1), unsigned(FACE_INVALID | FACE_HIDDEN));
    EXPECT_EQ(f->GetFaceSize(1), 0u);
    EXPECT_FALSE(c.IsOneFlagSet(CHANNEL_INVALID));
    // Once no face has a normal the channel is invalid.
    v->GetAt(0).Init(0.0f, 0.0f, 0.0f);
    EXPECT_FALSE(c.Normalize());
    EXPECT_TRUE(c.IsFlagSet(CHANNEL_INVALID));
}

// A specified channel on the strip: every corner of A and B uses vector 0 (+z, given), C uses
// vector 1 at point 2 and vector 2 elsewhere.
CSpecNormalChannel* StripSpecChannel(const C3DTVector<float>& c2, const C3DTVector<float>& cOther) {
    CSpecNormalChannel* c = new CSpecNormalChannel;
    C3DVectorList* v = c->GetNormalVectorList();
    v->Add(Flagged(0, 0, 1, 0));
    v->Add(c2);
    v->Add(cOther);
    const int idx[3][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}, {1, 2, 2, 2}};
    SetCorners(c->GetFaceList(), 3, 4, idx[0]);
    return c;
}

TEST(SpecNormalChannel, ComputeNormalsRecomputesOnlyComputedVectors) {
    Mesh m(kStripPoints, kStripFaces);
    Owned<CSpecNormalChannel> c = StripSpecChannel(Flagged(5, 5, 5, SPEC_NORMAL_COMPUTED), Flagged(0, 1, 0, 0));
    // Vector 0 is given (+z) and stays; vector 1 is computed from C alone at point 2.
    ASSERT_TRUE(c->ComputeNormals(m.geom, NORMAL_SMOOTH_AREA));
    ExpectVector(c->GetNormalVectorList()->GetAt(0), 0, 0, 1);
    ExpectVector(c->GetNormalVectorList()->GetAt(1), 1, 0, 0);
    ExpectVector(c->GetNormalVectorList()->GetAt(2), 0, 1, 0);
    EXPECT_FALSE(c->ComputeNormals(m.geom, NORMAL_SMOOTH_AREA));  // up to date
}

TEST(SpecNormalChannel, BreakFlagsAndFrontierFollowTheAngle) {
    Mesh m(kStripPoints, kStripFaces);
    Owned<CSpecNormalChannel> c = StripSpecChannel(Flagged(1, 0, 0, 0), Flagged(1, 0, 0, 0));
    m.Points()->GetPt(0)->SetFlags(POINT_NORMAL_FRONTIER, true);  // stale mark, cleared by reset
    EXPECT_EQ(c->InitNormalBreakFlag(m.geom, k30Degrees, true, NORMAL_SMOOTH_AREA), 2);
    for (int p = 0; p < 8; ++p)
        EXPECT_EQ(m.Points()->GetPt(p)->IsOneFlagSet(POINT_NORMAL_FRONTIER), p == 2 || p == 5) << p;
    EXPECT_TRUE(c->GetNormalVectorList()->GetAt(0).IsFlagSet(POINT_NORMAL_FRONTIER));
    EXPECT_TRUE(c->GetNormalVectorList()->GetAt(1).IsFlagSet(POINT_NORMAL_FRONTIER));
    EXPECT_TRUE(c->IsNormalFrontier(m.geom, k30Degrees, C3DEdge(2, 5), 1, 2));
    EXPECT_FALSE(c->IsNormalFrontier(m.geom, k30Degrees, C3DEdge(1, 4), 0, 1));
    // An edge end missing from a face makes a frontier; a wide angle hides the fold.
    EXPECT_TRUE(c->IsNormalFrontier(m.geom, k30Degrees, C3DEdge(0, 3), 0, 1));
    EXPECT_FALSE(c->IsNormalFrontier(m.geom, 2.0, C3DEdge(2, 5), 1, 2));
    EXPECT_EQ(c->InitNormalBreakFlag(m.geom, 2.0, true, NORMAL_SMOOTH_AREA), 0);
    EXPECT_FALSE(m.Points()->GetPt(2)->IsOneFlagSet(POINT_NORMAL_FRONTIER));
    // Exactly one live face across the edge is a frontier; none live is not.
    c->GetFaceList()->SetFaceFlag(2, FACE_HIDDEN, true);
    EXPECT_TRUE(c->IsNormalFrontier(m.geom, 2.0, C3DEdge(2, 5), 1, 2));
    c->GetFaceList()->SetFaceFlag(1, FACE_HIDDEN, true);
    EXPECT_FALSE(c->IsNormalFrontier(m.geom, k30Degrees, C3DEdge(2, 5), 1, 2));
}

TEST(SpecNormalChannel, GenerateFlatFillsMissingCornersWithFaceNormals) {
    Mesh m(kCubePoints, kCubeFaces);
    Owned<CSpecNormalChannel> c = new CSpecNormalChannel;
    c->GetNormalVectorList()->Add(Flagged(0, 0, 0, SPEC_NORMAL_NONE));
    c->GetNormalVectorList()->Add(Flagged(0.6f, 0.8f, 0, 0));
    // Face 0 has one given corner; faces 1..5 are missing from the channel.
    const int idx[4] = {1, 0, 0, 0};
    SetCorners(c->GetFaceList(), 1, 4, idx);
    ASSERT_TRUE(c->GenerateNormals(m.geom, GENERATE_NORMALS_FILL_FACES | GENERATE_NORMALS_FLAT, k30Degrees,
                                   NORMAL_SMOOTH_AREA));
    CFaceList* f = c->GetFaceList();
    ASSERT_EQ(f->GetSize(), 6);
    EXPECT_TRUE(c->GetNormalVectorList()->GetAt(0).IsFlagSet(SPEC_NORMAL_REPLACED));
    ExpectVector(CornerNormal(c, 0, 0), 0.6, 0.8, 0);  // given corner kept
    for (unsigned face = 0; face < 6; ++face) {
        EXPECT_TRUE(f->IsFaceLive(face));
        C3DTVector<float> fn;
        m.View(face).GetNormal(m.geom, fn, true);
        for (unsigned k = (face == 0 ? 1 : 0); k < 4; ++k) {
            ExpectVector(CornerNormal(c, face, k), fn.x, fn.y, fn.z);
            EXPECT_TRUE(CornerNormal(c, face, k).IsFlagSet(SPEC_NORMAL_COMPUTED));
        }
    }
}

TEST(SpecNormalChannel, GenerateSmoothSharesVectorsWhereNoFaceIsLeftOut) {
    Mesh m(kStripPoints, kStripFaces);
    Owned<CSpecNormalChannel> c = new CSpecNormalChannel;
    ASSERT_TRUE(c->GenerateNormals(m.geom, GENERATE_NORMALS_FILL_FACES | GENERATE_NORMALS_SHARE, k30Degrees,
                                   NORMAL_SMOOTH_AREA));
    // Point 1 and 4 (A and B only) share one vector; at the fold, A/B and C keep their own.
    int n = 0;
    const int* a = c->GetFaceList()->GetIndexes(0, n);
    const int* b = c->GetFaceList()->GetIndexes(1, n);
    EXPECT_EQ(a[1], b[0]);  // point 1
    EXPECT_EQ(a[2], b[3]);  // point 4
    ExpectVector(CornerNormal(c, 1, 1), 0, 0, 1);  // B at 2
    ExpectVector(CornerNormal(c, 2, 0), 1, 0, 0);  // C at 2
    EXPECT_NE(c->GetFaceList()->GetIndexes(1, n)[1], c->GetFaceList()->GetIndexes(2, n)[0]);
    // Nothing missing any more: a second run has nothing to do.
    EXPECT_FALSE(c->GenerateNormals(m.geom, GENERATE_NORMALS_FILL_FACES | GENERATE_NORMALS_SHARE, k30Degrees,
                                    NORMAL_SMOOTH_AREA));
    EXPECT_FALSE(c->IsOneFlagSet(CHANNEL_INVALID));
    // Without a fill bit nothing is generated and an empty channel becomes invalid.
    Owned<CSpecNormalChannel> empty = new CSpecNormalChannel;
    EXPECT_FALSE(empty->GenerateNormals(m.geom, GENERATE_NORMALS_FLAT, k30Degrees, NORMAL_SMOOTH_AREA));
    EXPECT_TRUE(empty->IsFlagSet(CHANNEL_INVALID));
}

// ---- transforms and creation ----

TEST(NormalChannels, TransformsUseTheInverseTransposeAndRenormalise) {
    CFaceNormalChannel c;
    C3DVectorList* v = c.GetNormalVectorList();
    const float s = float(1.0 / std::sqrt(2.0));
    v->Add(s, s, 0.0f);  // normal of the plane x + y = 0
    // Stretching y by 2 turns the plane into x + y/2 = 0: normal (1, 0.5, 0) normalised.
    ASSERT_TRUE(c.MatrixTransform(C4x4TMatrix<float>::Scale(1, 2, 1), _POINT_PROPERTIES(0), true));
    const double l = std::sqrt(1.25);
    ExpectVector(v->GetAt(0), 1 / l, 0.5 / l, 0);
    // A mirror flips the component across the mirror and nothing else.
    ASSERT_TRUE(c.MatrixTransform(C4x4TMatrix<float>::Scale(-1, 1, 1), _POINT_PROPERTIES(0), true));
    ExpectVector(v->GetAt(0), -1 / l, 0.5 / l, 0);
    EXPECT_FALSE(c.MatrixTransform(C4x4TMatrix<float>(), _POINT_PROPERTIES(0), true));
    ASSERT_TRUE(c.SwapCoordinates(1));  // x <-> y
    ExpectVector(v->GetAt(0), 0.5 / l, -1 / l, 0);
}

TEST(NormalChannels, CreateByTypeWithIdentifiers) {
    const unsigned types[3] = {CHANNEL_POINT_NORMAL, CHANNEL_FACE_NORMAL, CHANNEL_SPEC_NORMAL};
    for (unsigned t : types) {
        Owned<CChannel> c = CreateNormalChannel(t, 7);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->GetType(), _Channel3DType(t));
        EXPECT_EQ(c->GetID(), 7u);
        EXPECT_NE(c->GetPointList(), nullptr);
        EXPECT_EQ(c->GetFaceList() != nullptr, t != CHANNEL_FACE_NORMAL);
        Owned<CChannel> copy = c->Copy(CHANNEL_COPY_KEEP_ID);
        EXPECT_EQ(copy->GetType(), c->GetType());
        EXPECT_EQ(copy->GetID(), 7u);
    }
    // CChannel::Create reaches the same classes.
    Owned<CChannel> made = CChannel::Create(CHANNEL_SPEC_NORMAL, 8);
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(made->IsKindOf(KX_RUNTIME_CLASS(CSpecNormalChannel)));
    EXPECT_EQ(CreateNormalChannel(CHANNEL_UVW, 7), nullptr);
    EXPECT_EQ(CreateNormalChannel(0, 7), nullptr);
}

TEST(NormalChannels, PointNormalsUseTheObjectsFaceNormalChannel) {
    // The object's face normal channel is what the grouping reads: a stale but up-to-date face
    // channel is used as it is, and a point channel built from it follows.
    Mesh m(kStripPoints, kStripFaces);
    CFaceNormalChannel* faces = new CFaceNormalChannel;
    m.object->AddChannel(faces);
    ASSERT_EQ(FindNormalChannel(m.geom, CHANNEL_FACE_NORMAL), faces);
    faces->InitNormals(m.geom);
    faces->GetNormalVectorList()->GetAt(2).Init(0.0f, 0.0f, 1.0f);  // pretend C is flat
    CPointNormalChannel channel;
    channel.InitNormals(m.geom, k30Degrees);
    EXPECT_FALSE(m.Points()->GetPt(2)->IsOneFlagSet(POINT_NORMAL_BREAK));
}

// Specified normals turn with the object: a transform with a rotation, an unequal scale and a
// translation (and a mirror, which also turns every face over) leaves each corner's normal equal
// to the normal of its transformed face, as the inverse transpose of the linear part makes it.
TEST(SpecNormalChannel, NormalsTurnWithTheObjectThroughScaleRotationAndMirror) {
    for (bool mirror : {false, true}) {
        SCOPED_TRACE(mirror ? "mirrored" : "not mirrored");
        Mesh m(kCubePoints, kCubeFaces);
        CSpecNormalChannel* c = new CSpecNormalChannel;
        ASSERT_TRUE(c->GenerateNormals(m.geom, GENERATE_NORMALS_FILL_FACES | GENERATE_NORMALS_FLAT, k30Degrees,
                                       NORMAL_SMOOTH_AREA));
        m.object->AddChannel(c);
        // 30 degrees about z, then the scale (+-2, 0.5, 3) per column, then a move.
        const float cs = std::cos(kPi / 6), sn = std::sin(kPi / 6);
        const float rotation[3][3] = {{cs, -sn, 0}, {sn, cs, 0}, {0, 0, 1}};
        const float scale[3] = {mirror ? -2.0f : 2.0f, 0.5f, 3.0f};
        C4x4TMatrix<float> t;
        t.SetIdentity();
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) t(i, j) = rotation[i][j] * scale[j];
        for (int i = 0; i < 3; ++i) t(3, i) = float(i + 1);
        ASSERT_TRUE(m.object->MatrixTransform(t));
        for (unsigned face = 0; face < 6; ++face) {
            C3DTVector<float> fn;
            m.View(face).GetNormal(m.geom, fn, true);
            for (unsigned k = 0; k < 4; ++k) ExpectVector(CornerNormal(c, face, k), fn.x, fn.y, fn.z, 1e-5);
        }
    }
}

// The normal channels through an archive: the smoothed channel keeps its angle, vectors and
// corners, the face channel its vectors, and both compute again on the loaded side.
TEST(NormalChannelArchive, SmoothedAndFaceNormalsRoundTrip) {
    Mesh m(kStripPoints, kStripFaces);
    CPointNormalChannel* smooth = new CPointNormalChannel;
    ASSERT_TRUE(smooth->InitNormals(m.geom, k30Degrees));
    CFaceNormalChannel* flat = new CFaceNormalChannel;
    ASSERT_TRUE(flat->InitNormals(m.geom));
    Owned<CDependentChannels> set = CDependentChannels::Create();
    set->AddChannel(smooth);
    set->AddChannel(flat);
    const test::Bytes bytes = test::Store([&](CXArchive& ar) { set->Serialize(ar); });
    Owned<CDependentChannels> back = CDependentChannels::Create();
    test::Load(bytes, [&](CXArchive& ar) { back->Serialize(ar); });
    ASSERT_EQ(back->GetSize(), 2);
    auto* smooth2 = dynamic_cast<CPointNormalChannel*>(back->GetChannel(0));
    auto* flat2 = dynamic_cast<CFaceNormalChannel*>(back->GetChannel(1));
    ASSERT_NE(smooth2, nullptr);
    ASSERT_NE(flat2, nullptr);
    EXPECT_EQ(smooth2->GetSmoothAngle(), k30Degrees);
    for (auto [a, b] : {std::pair<CChannel*, CChannel*>{smooth, smooth2}, {flat, flat2}}) {
        const C3DVectorList& va = *static_cast<C3DVectorList*>(a->GetPointList());
        const C3DVectorList& vb = *static_cast<C3DVectorList*>(b->GetPointList());
        ASSERT_EQ(vb.GetSize(), va.GetSize());
        for (int i = 0; i < va.GetSize(); ++i) EXPECT_EQ(vb.GetAt(i), va.GetAt(i)) << i;
    }
    for (unsigned f = 0; f < 3; ++f)
        for (unsigned k = 0; k < 4; ++k) EXPECT_EQ(CornerIndex(smooth2, f, k), CornerIndex(smooth, f, k));
    smooth2->SetFlag(CHANNEL_OUT_OF_DATE, true);
    EXPECT_TRUE(smooth2->InitNormals(m.geom, k30Degrees));
}

}  // namespace
}  // namespace kestovar
