// Corner normals of the bunny, bit for bit: the vectors, the corner indices and flags of every
// channel face, and the normal-break bits of the points, hashed and compared with pinned values.
// The values were first those of the straightforward implementation (per-point graph queries and
// a map keyed by x + y + z) before the fast path replaced it, and were pinned again when the face
// normals' Newell sums took the edges in corner order with the closing edge last, after a
// straightforward rebuild of every step (1920 builds over the four weightings, four angles and
// meshes with dead, invalid and degenerate faces) gave the library's bits. Any change of grouping
// order, summation order, rounding or numbering of the distinct normals changes a hash.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "test_util.h"

namespace kestovar {
namespace {

using test::Fnv;
using test::Owned;


uint64_t HashNormals(C3DObject* object, _NormalSmoothMode mode, float angle) {
    object->SetSmoothMode(mode);
    CGeomInfo geom(object);
    Owned<CPointNormalChannel> channel = new CPointNormalChannel;
    EXPECT_TRUE(channel->InitNormals(&geom, angle));
    Fnv h;
    const C3DVectorList* vectors = channel->GetNormalVectorList();
    h.Add(uint32_t(vectors->GetSize()));
    for (int i = 0; i < vectors->GetSize(); ++i) {
        const C3DTVector<float>& v = vectors->GetVectors()[i];
        h.Add(v.x);
        h.Add(v.y);
        h.Add(v.z);
    }
    CNormalFaceList* faces = channel->GetNormalFaceList();
    h.Add(uint32_t(faces->GetSize()));
    for (int f = 0; f < faces->GetSize(); ++f) {
        int k = 0;
        const int* idx = faces->GetIndexes(unsigned(f), k);
        h.Add(uint32_t(k));
        h.Add(faces->GetFaceFlags(unsigned(f)));
        for (int i = 0; i < k; ++i) h.Add(uint32_t(idx[i]));
    }
    const C3DPointList* points = object->GetPointList();
    for (int p = 0; p < points->GetSize(); ++p) h.Add(points->GetPointFlags(p) & POINT_NORMAL_BREAK);
    return h.h;
}

// One pinned build: the weighting, the smoothing angle and the hash of its corner normals.
struct Pin {
    _NormalSmoothMode mode;
    float angle;
    uint64_t expected;
};

void ExpectPins(C3DObject* object, const std::vector<Pin>& pins) {
    for (const Pin& c : pins)
        EXPECT_EQ(HashNormals(object, c.mode, c.angle), c.expected) << "mode " << int(c.mode) << " angle " << c.angle;
}

TEST(NormalsGolden, BunnyCornerNormalsAreBitIdenticalInEveryMode) {
    std::vector<test::P3> points;
    std::vector<test::Poly> faces;
    test::LoadBunny(points, faces);
    ASSERT_EQ(faces.size(), 75408u);
    Owned bunny = test::MakeObject(points, faces);
    const std::vector<Pin> cases = {
        {NORMAL_SMOOTH_UNWEIGHTED, 0.5235988f, 0xbcfbd061da8fe5bdull},
        {NORMAL_SMOOTH_AREA, 0.5235988f, 0xf5c3866920868e1aull},
        {NORMAL_SMOOTH_EDGE, 0.5235988f, 0x59e3d0bc9cc61c05ull},
        {NORMAL_SMOOTH_ANGLE, 0.5235988f, 0x2dda95f1f5b34eb4ull},
        {NORMAL_SMOOTH_AREA, 3.1415927f, 0xb26bd9fd494972ddull},
        {NORMAL_SMOOTH_AREA, 0.0f, 0x3589a5ca4157068aull},
    };
    ExpectPins(bunny, cases);
}


// A height field with creases steeper than 30 degrees (so that most points around a crease carry
// several groups), quads and triangles mixed, and every kind of face the grouping must step
// around: hidden faces (dead, corners cleared), an invalid face (emptied), a two-point face, a
// face using one point twice (every corner at that point takes the group's normal), a
// degenerate sliver and a point used by no face.
//
//  y
//  ^  q q t t q q ...   (row r: quads where (x + r) % 3 != 0, else two triangles)
//  +--> x
//
// With `inOrder`, the records are laid out one after another in face order (sized from the corner
// counts up front); otherwise they start as triangles and the quadrangles move out of line.
C3DObject* MakeCreasedField(int n, bool inOrder = false) {
    C3DPointList* points = C3DPointList::Create();
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x) {
            const float z = 0.15f * float((x / 7 + y / 5) & 1) + 0.02f * float((x * 7 + y * 3) % 5);
            points->Add(float(x) / float(n), float(y) / float(n), z);
        }
    points->Add(5.0f, 5.0f, 5.0f);  // used by no face
    std::vector<std::vector<int>> faces;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int a = y * (n + 1) + x, b = a + 1, c = a + n + 2, d = a + n + 1;
            if ((x + y) % 3 != 0) {
                faces.push_back({a, b, c, d});
            } else {
                faces.push_back({a, b, c});
                faces.push_back({a, c, d});
            }
        }
    faces.push_back({0, 1, 1, n + 1});          // point 1 used twice
    faces.push_back({2, 3});                    // two points
    faces.push_back({4, 5, 5});                 // degenerate
    faces.push_back({n + 2, n + 3, 2 * n + 3});  // will be invalid
    C3DFaceList* list = C3DFaceList::Create();
    if (inOrder) {
        std::vector<unsigned> counts;
        for (const std::vector<int>& f : faces) counts.push_back(unsigned(f.size()));
        list->SetSize(int(faces.size()), counts.data(), SETSIZE_COMPACT_EXACT);
    } else {
        list->SetSize(int(faces.size()), 3, SETSIZE_COMPACT_SLACK);
    }
    for (size_t i = 0; i < faces.size(); ++i) {
        CFace view;
        list->GetFace(unsigned(i), view);
        view.SetIndexes(faces[i].data(), unsigned(faces[i].size()));
    }
    for (int f = 10; f < int(faces.size()); f += 37) list->SetFaceFlags(unsigned(f), FACE_HIDDEN, true);
    list->SetFaceFlags(unsigned(faces.size() - 1), FACE_INVALID, true);
    return new C3DObject(points, list, nullptr);
}

// The same pin on the creased field: the bunny has no dead, short or repeated-point faces and
// few points with several groups, so these paths are pinned here.
// Both layouts of the records (in face order, stepped through; out of line, found through the
// offset table) give the same pins.
TEST(NormalsGolden, CreasedFieldWithDeadAndDegenerateFacesIsBitIdentical) {
    const std::vector<Pin> cases = {
        {NORMAL_SMOOTH_UNWEIGHTED, 0.5235988f, 0xf0bf6150bbb99d01ull},
        {NORMAL_SMOOTH_AREA, 0.5235988f, 0x8f647dc5c94d34beull},
        {NORMAL_SMOOTH_EDGE, 0.5235988f, 0xa1248e017101faf4ull},
        {NORMAL_SMOOTH_ANGLE, 0.5235988f, 0x079c99b06a6795d4ull},
        {NORMAL_SMOOTH_AREA, 0.2f, 0x5d628541461d021bull},
    };
    for (const bool inOrder : {false, true}) {
        SCOPED_TRACE(inOrder ? "records in face order" : "records out of line");
        Owned field = MakeCreasedField(40, inOrder);
        ASSERT_NE(field, nullptr);
        ExpectPins(field, cases);
    }
}

}  // namespace
}  // namespace kestovar
