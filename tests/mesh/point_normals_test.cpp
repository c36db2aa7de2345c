// Corner-normal grouping at the edges of its quick paths: the angle test decided from the dot
// product must agree with the exact rule (cos(angle) > cosine between the face normals) right at
// the threshold, face normals of any length from the object's own channel must group as unit ones
// would, the face normals a build computes for itself must be the face normal channel's to the
// bit, and a live face using a point outside the list must stop the build.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "adjacency_test_util.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {
namespace {

// An object over the given points and faces with a view over it (see adjacency_test_util.h).
using Mesh = test::ObjectMesh;

// The cosine the grouping rule compares with cos(angle): double precision over the float
// normals, clamped, 0 for near-zero lengths.
double RuleCosine(const C3DTVector<float>& a, const C3DTVector<float>& b) {
    const double la = double(a.x) * a.x + double(a.y) * a.y + double(a.z) * a.z;
    const double lb = double(b.x) * b.x + double(b.y) * b.y + double(b.z) * b.z;
    const double prod = std::sqrt(la * lb);
    if (!(prod >= 1e-15)) return 0.0;
    const double c = (double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z) / prod;
    return c > 1.0 ? 1.0 : (c < -1.0 ? -1.0 : c);
}

// Two triangles folded along the x axis by `fold` radians:
//
//   2 (0.5, -1, 0)      A = (0, 1, 2) in z = 0
//   0 -------- 1        B = (1, 0, 3), 3 = (0.5, cos fold, sin fold)
//   3 (0.5, cos, sin)
Mesh Hinge(double fold) {
    return Mesh({0, 0, 0, 1, 0, 0, 0.5f, -1, 0, 0.5f, float(std::cos(fold)), float(std::sin(fold))},
                {{0, 2, 1}, {1, 3, 0}});
}

TEST(PointNormalGrouping, AngleTestMatchesTheExactRuleAtTheThreshold) {
    // For each fold, the smoothing angles nearest the one at which the two faces stop sharing a
    // normal: a quick decision with a wrong margin splits or joins on the wrong side here.
    for (const double foldDegrees : {1.0, 10.0, 29.5, 45.0, 89.0, 120.0, 170.0}) {
        Mesh m = Hinge(foldDegrees * 3.14159265358979 / 180.0);
        CFaceNormalChannel faceNormals(0);
        faceNormals.InitNormals(m.geom);
        const C3DTVector<float>* n = faceNormals.GetNormalVectorList()->GetVectors();
        const double c = RuleCosine(n[0], n[1]);
        float angle = float(std::acos(c));
        for (int step = 0; step < 3; ++step) angle = std::nextafter(angle, 0.0f);
        for (int step = 0; step < 7; ++step, angle = std::nextafter(angle, 4.0f)) {
            const bool split = std::cos(double(angle)) > c;
            for (const _NormalSmoothMode mode : {NORMAL_SMOOTH_AREA, NORMAL_SMOOTH_UNWEIGHTED, NORMAL_SMOOTH_ANGLE}) {
                m.object->SetSmoothMode(mode);
                CPointNormalChannel channel;
                ASSERT_TRUE(channel.InitNormals(m.geom, angle));
                for (int p : {0, 1})
                    EXPECT_EQ(m.object->GetPointList()->GetPt(p)->IsOneFlagSet(POINT_NORMAL_BREAK), split)
                        << "fold " << foldDegrees << " angle " << angle << " mode " << int(mode) << " point " << p;
                // Split: A's and B's normals; joined: their sum at 0 and 1 besides A's at 2, B's at 3.
                EXPECT_EQ(channel.GetNormalVectorList()->GetSize(), split ? 2 : 3);
            }
        }
    }
}

// A small height field with creases and gentle slopes, as triangles, every coordinate multiplied
// by `scale`.
Mesh Field(int n, float scale = 1.0f) {
    std::vector<float> xyz;
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x)
            xyz.insert(xyz.end(), {float(x) / float(n), float(y) / float(n),
                                   0.15f * float((x / 4 + y / 3) & 1) + 0.01f * float((x * 5 + y * 3) % 7)});
    for (float& c : xyz) c *= scale;
    std::vector<std::vector<int>> faces;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int a = y * (n + 1) + x;
            faces.push_back({a, a + 1, a + n + 2});
            faces.push_back({a, a + n + 2, a + n + 1});
        }
    return Mesh(xyz, faces);
}

struct CornerNormals {
    std::vector<float> vectors;
    std::vector<int> corners;
    std::vector<bool> breaks;
    bool operator==(const CornerNormals&) const = default;
};

CornerNormals Build(const Mesh& m, float angle) {
    CPointNormalChannel channel;
    EXPECT_TRUE(channel.InitNormals(m.geom, angle));
    CornerNormals out;
    const C3DVectorList* v = channel.GetNormalVectorList();
    for (int i = 0; i < v->GetSize(); ++i)
        out.vectors.insert(out.vectors.end(), {v->GetVectors()[i].x, v->GetVectors()[i].y, v->GetVectors()[i].z});
    const CFaceList* faces = channel.GetFaceList();
    for (int f = 0; f < faces->GetSize(); ++f) {
        int k = 0;
        const int* idx = faces->GetIndexes(unsigned(f), k);
        out.corners.insert(out.corners.end(), idx, idx + k);
    }
    const C3DPointList* points = m.object->GetPointList();
    for (int p = 0; p < points->GetSize(); ++p) out.breaks.push_back(points->GetPt(p)->IsOneFlagSet(POINT_NORMAL_BREAK));
    return out;
}

TEST(PointNormalGrouping, FaceNormalsOfAnyLengthGroupAsUnitOnes) {
    // The object's own face normal channel, scaled by 4 (exact in floating point, so the rule's
    // cosines are unchanged) or left unit: the quick decision, which assumes unit normals, must
    // fall back to the exact test for the scaled ones, and area weighting sums the Newell normals
    // either way, so every corner normal, index and break flag must stay the same.
    Mesh m = Field(24);
    m.object->SetSmoothMode(NORMAL_SMOOTH_AREA);
    for (const float angle : {0.2f, 0.5235988f, 1.2f}) {
        const CornerNormals plain = Build(m, angle);
        EXPECT_TRUE(std::find(plain.breaks.begin(), plain.breaks.end(), true) != plain.breaks.end());
        CFaceNormalChannel* faceNormals = new CFaceNormalChannel;
        m.object->AddChannel(faceNormals);
        faceNormals->InitNormals(m.geom);
        EXPECT_EQ(Build(m, angle), plain) << "unit channel, angle " << angle;
        C3DVectorList* v = faceNormals->GetNormalVectorList();
        for (int f = 0; f < v->GetSize(); ++f) {
            C3DTVector<float>& n = v->GetVectors()[f];
            n.Init(n.x * 4.0f, n.y * 4.0f, n.z * 4.0f);
        }
        EXPECT_EQ(Build(m, angle), plain) << "scaled channel, angle " << angle;
        m.object->GetChannels()->RemoveChannel(faceNormals);
    }
}

// Every output bit of a build: the vectors' bit patterns (NaN included), the corners and flags of
// the channel faces, the break flags of the points.
std::vector<uint32_t> BuildBits(const Mesh& m, float angle) {
    CPointNormalChannel channel;
    EXPECT_TRUE(channel.InitNormals(m.geom, angle));
    std::vector<uint32_t> out;
    const C3DVectorList* v = channel.GetNormalVectorList();
    for (int i = 0; i < v->GetSize(); ++i)
        for (const float c : {v->GetVectors()[i].x, v->GetVectors()[i].y, v->GetVectors()[i].z}) {
            uint32_t b;
            std::memcpy(&b, &c, sizeof b);
            out.push_back(b);
        }
    const CFaceList* faces = channel.GetFaceList();
    for (int f = 0; f < faces->GetSize(); ++f) {
        int k = 0;
        const int* idx = faces->GetIndexes(unsigned(f), k);
        out.push_back(0xFFFFFFFFu);
        out.push_back(faces->GetFaceFlags(unsigned(f)));
        out.insert(out.end(), idx, idx + k);
    }
    const C3DPointList* points = m.object->GetPointList();
    for (int p = 0; p < points->GetSize(); ++p) out.push_back(points->GetPointFlags(p) & POINT_NORMAL_BREAK);
    return out;
}

// BuildBits over the object's own face normal channel, added for the build and removed after.
std::vector<uint32_t> BuildBitsFromChannel(const Mesh& m, float angle) {
    CFaceNormalChannel* faceNormals = new CFaceNormalChannel;
    m.object->AddChannel(faceNormals);
    faceNormals->InitNormals(m.geom);
    std::vector<uint32_t> bits = BuildBits(m, angle);
    m.object->GetChannels()->RemoveChannel(faceNormals);
    return bits;
}

// A soup of faces over random points: triangles sharing points (so that groups form and split),
// quadrangles and pentagons, triangles with a repeated point, collinear and tiny triangles, faces
// of huge coordinates, faces through a point with a NaN coordinate, hidden and invalid faces, and
// an odd number of live faces (face 17 is to be hidden and face 40 made invalid). `extraLive`
// adds one more live triangle at the end.
Mesh Soup(unsigned seed, bool extraLive) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
    std::vector<float> xyz;
    const int n = 300;
    for (int i = 0; i < n; ++i) xyz.insert(xyz.end(), {coord(rng), coord(rng), coord(rng)});
    // 300..302 collinear, 303..305 a triangle of area ~1e-14, 306..308 near 1e18, 309 NaN.
    xyz.insert(xyz.end(), {0, 0, 0, 1, 1, 1, 2, 2, 2});
    xyz.insert(xyz.end(), {0.5f, 0.5f, 0.5f, 0.5f + 1e-7f, 0.5f, 0.5f, 0.5f, 0.5f + 1e-7f, 0.5f});
    xyz.insert(xyz.end(), {1e18f, 0, 0, 0, 3e18f, 0, 0, 0, 2e18f});
    xyz.insert(xyz.end(), {std::numeric_limits<float>::quiet_NaN(), 0, 0});
    std::uniform_int_distribution<int> point(0, 59);  // few points, many faces around each
    std::vector<std::vector<int>> faces;
    for (int f = 0; f < 400; ++f) {
        const int k = f % 13 == 0 ? 4 : (f % 29 == 0 ? 5 : 3);
        std::vector<int> face;
        while (int(face.size()) < k) {
            const int q = point(rng) + (f % 2 ? 0 : 60 * (f % 5));
            if (std::find(face.begin(), face.end(), q) == face.end()) face.push_back(q);
        }
        faces.push_back(face);
    }
    faces.push_back({0, 1, 0});
    faces.push_back({300, 301, 302});
    faces.push_back({303, 304, 305});
    faces.push_back({306, 307, 308});
    faces.push_back({309, 2, 3});
    faces.push_back({4, 309, 5, 6});
    if (extraLive) faces.push_back({7, 8, 9});
    return Mesh(xyz, faces);
}

TEST(PointNormalGrouping, OwnFaceNormalsMatchTheFaceNormalChannelBitForBit) {
    // Without a face normal channel the build computes the face normals itself (triangles in a
    // packed form, two faces made unit length at a time); with one, it reads the channel's, which
    // the general face normal code computes. Every output bit must agree, degenerate faces, NaN
    // and an odd or even count of live faces included.
    for (const bool extraLive : {false, true}) {
        Mesh m = Soup(7u + unsigned(extraLive), extraLive);
        m.object->GetFaceList()->SetFaceFlags(17, FACE_HIDDEN, true);
        m.object->GetFaceList()->SetFaceFlags(40, FACE_INVALID, true);
        for (const _NormalSmoothMode mode : {NORMAL_SMOOTH_AREA, NORMAL_SMOOTH_UNWEIGHTED}) {
            m.object->SetSmoothMode(mode);
            for (const float angle : {0.0f, 0.5235988f, 1.5f, 3.1415927f}) {
                EXPECT_EQ(BuildBitsFromChannel(m, angle), BuildBits(m, angle))
                    << "mode " << int(mode) << " angle " << angle << " extra " << extraLive;
            }
        }
    }
}

TEST(PointNormalGrouping, ScaleLeavesEveryOutputBitAlone) {
    // At 2^-18 the faces' Newell sums are near 1e-14; at 2^30 their squares near 1e31 still fit a
    // float; at 2^40 and 2^50 those squares overflow, so the angle tests cannot use the estimated
    // unit normals and must take the exact rule. Scaling by a power of two changes no unit normal,
    // no cosine and no group normal: the corners, the stored vectors (groups summed in double
    // precision and made unit length) and the break flags must be those of the unscaled field, and
    // the build from the face normal channel must agree as well.
    for (const float angle : {0.05f, 0.5235988f, 1.2f}) {
        Mesh reference = Field(20);
        const std::vector<uint32_t> expected = BuildBits(reference, angle);
        for (const int power : {-18, 30, 40, 50}) {
            // A power of two: the Newell sums scale exactly and their unit normals keep their bits.
            Mesh m = Field(20, std::ldexp(1.0f, power));
            EXPECT_EQ(BuildBits(m, angle), expected) << "scale 2^" << power << " angle " << angle;
            EXPECT_EQ(BuildBitsFromChannel(m, angle), expected) << "channel, scale 2^" << power << " angle " << angle;
        }
    }
}

TEST(PointNormalGrouping, FacesOfMixedScalesAroundOnePointMatchTheChannel) {
    // A fan of 12 triangles around the origin whose first 6 rim points lie 1 away and the others
    // 2^45, raised or lowered by up to half their distance: the triangles between two far points
    // have squared Newell sums beyond the float range, so their angle tests take unit normals
    // while the others use estimates, and points seeded by either kind meet faces of the other.
    // Every output bit must be that of the build over the face normal channel, at angles on both
    // sides of the folds.
    const float big = std::ldexp(1.0f, 45);
    std::vector<float> xyz = {0, 0, 0};
    for (int i = 0; i < 12; ++i) {
        const double a = 6.283185307179586 * i / 12.0;
        const float r = i < 6 ? 1.0f : big;
        xyz.insert(xyz.end(),
                   {float(r * std::cos(a)), float(r * std::sin(a)), r * 0.25f * float((i * 7) % 5 - 2)});
    }
    std::vector<std::vector<int>> faces;
    for (int i = 0; i < 12; ++i) faces.push_back({0, 1 + i, 1 + (i + 1) % 12});
    // Apart, point 13 with one short and one far triangle, 43.3 degrees apart: it must split below
    // that angle, which the test between an estimate and a unit normal decides.
    xyz.insert(xyz.end(), {10, 10, 10, 11, 10, 10, 10, 11, 10.3f});
    xyz.insert(xyz.end(), {10 + big, 10, 10, 10, 10 + big, 10 - 0.5f * big});
    faces.push_back({13, 14, 15});
    faces.push_back({13, 16, 17});
    Mesh m(xyz, faces);
    for (const float angle : {0.01f, 0.1f, 0.3f, 0.5235988f, 1.0f, 2.0f}) {
        const std::vector<uint32_t> own = BuildBits(m, angle);
        EXPECT_EQ(m.object->GetPointList()->GetPt(13)->IsOneFlagSet(POINT_NORMAL_BREAK), angle < 0.75f)
            << "angle " << angle;
        EXPECT_EQ(BuildBitsFromChannel(m, angle), own) << "angle " << angle;
    }
}

TEST(PointNormalGrouping, FacesWithoutANormalEndExactlyAtTheEpsilon) {
    // The triangle (0, 0, 0), (1, 0, 0), (0, b, 0) has the Newell sums (0, 0, b) exactly. Sums all
    // below 1e-15 in absolute value mean no normal (weight zero, so the corner normal stays the
    // zero sum); 1e-15 lies between two floats, and the floats on either side of it must fall on
    // the right side, as the face normal channel decides.
    float below = float(1e-15);
    if (double(below) > 1e-15) below = std::nextafter(below, 0.0f);
    const float above = std::nextafter(below, 1.0f);
    ASSERT_LT(double(below), 1e-15);
    ASSERT_GT(double(above), 1e-15);
    for (const float b : {std::nextafter(below, 0.0f), below, above, std::nextafter(above, 1.0f)}) {
        Mesh m({0, 0, 0, 1, 0, 0, 0, b, 0}, {{0, 1, 2}});
        CPointNormalChannel channel;
        ASSERT_TRUE(channel.InitNormals(m.geom, 0.5f));
        ASSERT_EQ(channel.GetNormalVectorList()->GetSize(), 1);
        const C3DTVector<float>& n = channel.GetNormalVectorList()->GetVectors()[0];
        EXPECT_EQ(n.z, double(b) < 1e-15 ? 0.0f : 1.0f) << "b " << b;
        EXPECT_EQ(n.x, 0.0f);
        EXPECT_EQ(n.y, 0.0f);
        EXPECT_EQ(BuildBitsFromChannel(m, 0.5f), BuildBits(m, 0.5f)) << "b " << b;
    }
}

TEST(PointNormalGrouping, NaNNormalsNeverShareAStoredNormal) {
    // Three triangles through a point with a NaN coordinate, whose normals (and so their groups'
    // normals, with identical bits at the outer points of a face) have NaN components, and two
    // separate flat triangles of normal (0, 0, 1). A NaN normal equals nothing, not even one of
    // the same bits: every group of a NaN face keeps a stored normal of its own, while the flat
    // triangles' six groups, entered in the same table after them, still share one.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Mesh m({nan, 0, 0,  1, 0, 0,  0, 1, 0,  2, 0, 1,  0, 2, 1,  3, 1, 0,  1, 3, 0,
            5, 5, 0,  6, 5, 0,  5, 6, 0,  8, 8, 0,  9, 8, 0,  8, 9, 0},
           {{0, 1, 2}, {0, 3, 4}, {0, 5, 6}, {7, 8, 9}, {10, 11, 12}});
    CPointNormalChannel channel;
    ASSERT_TRUE(channel.InitNormals(m.geom, 0.5235988f));
    const C3DVectorList* v = channel.GetNormalVectorList();
    const CFaceList* faces = channel.GetFaceList();
    std::vector<int> outer, center, flat;
    for (unsigned f = 0; f < 5; ++f) {
        int k = 0;
        const int* idx = faces->GetIndexes(f, k);
        ASSERT_EQ(k, 3);
        for (int j = 0; j < 3; ++j) {
            ASSERT_GE(idx[j], 0);
            ASSERT_LT(idx[j], v->GetSize());
            if (f >= 3) {
                flat.push_back(idx[j]);
                continue;
            }
            const C3DTVector<float>& n = v->GetVectors()[idx[j]];
            EXPECT_TRUE(std::isnan(n.x) || std::isnan(n.y) || std::isnan(n.z)) << "face " << f << " corner " << j;
            (j == 0 ? center : outer).push_back(idx[j]);
        }
    }
    std::vector<int> all = outer;
    all.insert(all.end(), center.begin(), center.end());
    all.insert(all.end(), flat.begin(), flat.end());
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    EXPECT_EQ(int(all.size()), v->GetSize()) << "every stored normal is used by some corner";
    std::sort(outer.begin(), outer.end());
    EXPECT_EQ(std::unique(outer.begin(), outer.end()), outer.end()) << "six outer points, six stored normals";
    for (const int c : center) EXPECT_EQ(std::count(outer.begin(), outer.end(), c), 0);
    EXPECT_EQ(std::count(flat.begin(), flat.end(), flat[0]), 6) << "equal normals still share";
    EXPECT_EQ(v->GetVectors()[flat[0]], C3DTVector<float>(0, 0, 1));
}

// A strip of triangles (i, i + 1, i + 2) over `points` points with integer coordinates: x = i,
// y drawn from [0, 3] for even i and from [4, 7] for odd i, z drawn from [0, zRange]. With zRange * points below 2^22 every Newell
// term and every sum of them is an integer below 2^24, so all of them are exact and the group
// normals can be worked out here to the bit. `copies` translated copies (by whole numbers, which leaves every normal's bits) each
// repeat the same normals.
Mesh IntegerStrip(int points, int zRange, unsigned seed, int copies = 1) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> height(0, zRange);
    std::vector<float> base;
    for (int i = 0; i < points; ++i) base.insert(base.end(), {float(i), float(4 * (i & 1) + (height(rng) & 3)), float(height(rng))});
    std::vector<float> xyz;
    std::vector<std::vector<int>> faces;
    for (int c = 0; c < copies; ++c) {
        const int first = c * points;
        for (int i = 0; i < points; ++i)
            xyz.insert(xyz.end(), {base[3 * i] + float(3 * c), base[3 * i + 1] - float(5 * c), base[3 * i + 2] + float(7 * c)});
        for (int i = 0; i + 2 < points; ++i)
            faces.push_back(i & 1 ? std::vector<int>{first + i + 1, first + i, first + i + 2}
                                  : std::vector<int>{first + i, first + i + 1, first + i + 2});
    }
    return Mesh(xyz, faces);
}

// The smoothed normal of every point at a half turn (one group per point, area weighting): the
// Newell sums of its faces added up and made unit length in double precision, then rounded.
std::vector<std::array<float, 3>> ExpectedPointNormals(const Mesh& m) {
    const C3DPointList* points = m.object->GetPointList();
    const C3DFaceList* faces = m.object->GetFaceList();
    std::vector<std::array<double, 3>> sum(size_t(points->GetSize()), {0.0, 0.0, 0.0});
    for (int f = 0; f < faces->GetSize(); ++f) {
        int k = 0;
        const int* idx = faces->GetIndexes(unsigned(f), k);
        double n[3] = {0.0, 0.0, 0.0};
        for (int j = 0; j < k; ++j) {
            const C3DTPoint<float>& a = points->GetPoints()[idx[(j + k - 1) % k]];
            const C3DTPoint<float>& b = points->GetPoints()[idx[j]];
            n[0] += (double(a.y) - b.y) * (double(a.z) + b.z);
            n[1] += (double(a.z) - b.z) * (double(a.x) + b.x);
            n[2] += (double(a.x) - b.x) * (double(a.y) + b.y);
        }
        for (int j = 0; j < k; ++j)
            for (int c = 0; c < 3; ++c) sum[size_t(idx[j])][size_t(c)] += n[c];
    }
    std::vector<std::array<float, 3>> out;
    for (const auto& s : sum) {
        const double len = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        out.push_back({float(s[0] / len), float(s[1] / len), float(s[2] / len)});
    }
    return out;
}

// Checks the stored normals of `channel` against `expected` (one per point): every corner's
// stored normal has the bits of its point's normal, stored normals are numbered by first
// appearance in point order, every one is used and no two are equal, and every flag word is 0.
void ExpectDistinctNormals(const Mesh& m, const CPointNormalChannel& channel,
                           const std::vector<std::array<float, 3>>& expected, const char* what) {
    const C3DVectorList* v = channel.GetNormalVectorList();
    const C3DFaceList* geometric = m.object->GetFaceList();
    const CFaceList* faces = channel.GetFaceList();
    std::vector<int> ofPoint(expected.size(), -1);
    for (int f = 0; f < faces->GetSize(); ++f) {
        int k = 0, gk = 0;
        const int* idx = faces->GetIndexes(unsigned(f), k);
        const int* g = geometric->GetIndexes(unsigned(f), gk);
        ASSERT_EQ(k, gk) << what;
        for (int j = 0; j < k; ++j) {
            ASSERT_GE(idx[j], 0) << what;
            ASSERT_LT(idx[j], v->GetSize()) << what;
            const C3DTVector<float>& n = v->GetVectors()[idx[j]];
            const std::array<float, 3>& e = expected[size_t(g[j])];
            ASSERT_TRUE(std::memcmp(&n.x, e.data(), sizeof(float)) == 0 && std::memcmp(&n.y, &e[1], sizeof(float)) == 0 &&
                        std::memcmp(&n.z, &e[2], sizeof(float)) == 0)
                << what << ": face " << f << " corner " << j;
            ASSERT_TRUE(ofPoint[size_t(g[j])] < 0 || ofPoint[size_t(g[j])] == idx[j]) << what << ": one normal per point";
            ofPoint[size_t(g[j])] = idx[j];
        }
    }
    int next = 0;
    for (const int index : ofPoint) {
        ASSERT_LE(index, next) << what << ": numbered by first appearance";
        if (index == next) ++next;
    }
    EXPECT_EQ(next, v->GetSize()) << what << ": every stored normal is used";
    std::vector<std::array<float, 3>> stored;
    for (int i = 0; i < v->GetSize(); ++i) {
        EXPECT_EQ(v->GetVectors()[i].GetFlags(), 0u) << what << ": vector " << i;
        stored.push_back({v->GetVectors()[i].x, v->GetVectors()[i].y, v->GetVectors()[i].z});
    }
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(std::adjacent_find(stored.begin(), stored.end()), stored.end()) << what << ": no normal stored twice";
}

TEST(PointNormalGrouping, DistinctNormalsAreSharedAndNumberedAtEveryTableSize) {
    // Point counts on both sides of powers of two (the width of the indices the distinct-normal
    // table keeps in its slots) and of the table's change of fill rule at 64k normals. With wide
    // heights nearly every point has a normal of its own, so the stored indices run up to the
    // number of groups; with narrow ones many points share, and every look-up after the first
    // must find the normal stored. Translated copies repeat every normal and add none.
    const float halfTurn = 3.14159f;
    for (const int points : {3, 255, 256, 257, 4095, 4096, 4097, 65537}) {
        for (const int zRange : {2, 60}) {
            for (const int copies : {1, 3}) {
                if (points > 5000 && copies > 1) continue;
                Mesh m = IntegerStrip(points, zRange, unsigned(points * 31 + zRange), copies);
                const std::vector<std::array<float, 3>> expected = ExpectedPointNormals(m);
                CPointNormalChannel channel;
                ASSERT_TRUE(channel.InitNormals(m.geom, halfTurn));
                const std::string what = std::to_string(points) + " points, z in [0, " + std::to_string(zRange) +
                                         "], " + std::to_string(copies) + " copies";
                ExpectDistinctNormals(m, channel, expected, what.c_str());
                std::vector<std::array<float, 3>> unique(expected.begin(), expected.begin() + points);
                std::sort(unique.begin(), unique.end());
                unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
                EXPECT_EQ(channel.GetNormalVectorList()->GetSize(), int(unique.size())) << what;
                if (zRange > 50 && points > 3) {
                    EXPECT_GT(unique.size(), size_t(points) * 9 / 10) << what;
                }
            }
        }
    }
}

TEST(PointNormalGrouping, RebuildOverwritesEveryStoredNormal) {
    // A channel built again over a list that holds more (or fewer) vectors than the new build
    // stores, some with flags set: the result is the one a fresh channel gives, flag words
    // cleared, nothing left over from before.
    Mesh small = IntegerStrip(40, 60, 7);
    Mesh large = IntegerStrip(900, 60, 8);
    CPointNormalChannel channel;
    ASSERT_TRUE(channel.InitNormals(large.geom, 3.14159f));
    const int before = channel.GetNormalVectorList()->GetSize();
    for (int i = 0; i < before; ++i) channel.GetNormalVectorList()->GetVectors()[i].SetFlags(0x8000 | 0x5);
    ASSERT_TRUE(channel.InitNormals(small.geom, 3.1f));
    EXPECT_LT(channel.GetNormalVectorList()->GetSize(), before);
    ExpectDistinctNormals(small, channel, ExpectedPointNormals(small), "small after large");
    for (int i = 0; i < channel.GetNormalVectorList()->GetSize(); ++i)
        channel.GetNormalVectorList()->GetVectors()[i].SetFlags(0x8000);
    ASSERT_TRUE(channel.InitNormals(large.geom, 3.14159f));
    EXPECT_EQ(channel.GetNormalVectorList()->GetSize(), before);
    ExpectDistinctNormals(large, channel, ExpectedPointNormals(large), "large after small");
}

TEST(PointNormalGrouping, LiveFaceOutsideThePointListStopsTheBuild) {
    // 0 1
    // 2 3     face 1 uses point 7, which does not exist: a programming error, reported as the
    //         point-to-face graph reports it, before any corner is written.
    Mesh m({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0}, {{0, 2, 1}, {1, 2, 7}});
    CPointNormalChannel channel;
    test::ExpectInvalidArg([&] { channel.InitNormals(m.geom, 0.5f); });
    // Hidden, the same face is out of every graph and the build goes through.
    m.object->GetFaceList()->SetFaceFlags(1, FACE_HIDDEN, true);
    CPointNormalChannel again;
    ASSERT_TRUE(again.InitNormals(m.geom, 0.5f));
    EXPECT_EQ(again.GetNormalVectorList()->GetSize(), 1);
    int k = 0;
    const int* idx = again.GetFaceList()->GetIndexes(1, k);
    ASSERT_EQ(k, 3);
    EXPECT_EQ(idx[0] | idx[1] | idx[2], 0);  // corners of a face that is not live are cleared
}

}  // namespace
}  // namespace kestovar
