// Face flood fill, isolated parts, face extraction and consistent orientation.
#include <gtest/gtest.h>

#include <cmath>

#include "cleanup_test_util.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face_tagger.h"
#include "kestovar/mesh/geom_info.h"

namespace kestovar::test {
namespace {

// Records the groups it is handed.
class GroupRecorder : public CFaceTagger {
public:
    std::vector<std::vector<int>> groups;
    std::vector<unsigned> seeds;
    void BeginNewGroup(unsigned int, unsigned int seed) override { seeds.push_back(seed); }
    void GroupFinished(const int* faces, unsigned int count) override { groups.emplace_back(faces, faces + count); }
};

// Two triangles touching at point 2 only, and a third sharing edge (3, 4) with the second:
//
//   0---1       faces: (0,1,2), (2,3,4), (4,3,5)
//    . /
//     2
//    / .
//   3---4
//    . /
//     5
TEST(TagFaces, PointModeJoinsFacesSharingACornerAndEdgeModeDoesNotNorDeadFaces) {
    Owned obj = MakeObject({{0, 2, 0}, {2, 2, 0}, {1, 1, 0}, {0, 0, 0}, {2, 0, 0}, {1, -1, 0}},
                                {{0, 1, 2}, {2, 3, 4}, {4, 3, 5}});
    CGeomInfo geom(obj);
    GroupRecorder byPoint;
    EXPECT_EQ(obj->GetFaceList()->TagFaces(&geom, byPoint, false), 1u);
    GroupRecorder byEdge;
    EXPECT_EQ(obj->GetFaceList()->TagFaces(&geom, byEdge, true), 2u);
    ASSERT_EQ(byEdge.groups.size(), 2u);
    EXPECT_EQ(byEdge.groups[0], (std::vector<int>{0}));
    EXPECT_EQ(byEdge.groups[1], (std::vector<int>{1, 2}));
    EXPECT_EQ(byEdge.seeds, (std::vector<unsigned>{0, 1}));

    // Faces that are not live never start or join a group.
    obj->GetFaceList()->SetFaceFlags(0, FACE_HIDDEN, true);
    obj->GetFaceList()->SetFaceFlags(2, FACE_INVALID, true);
    GroupRecorder rec;
    EXPECT_EQ(obj->GetFaceList()->TagFaces(&geom, rec, false), 1u);
    EXPECT_EQ(rec.groups[0], (std::vector<int>{1}));
}

// A tagger that refuses neighbours makes one group per face; one that refuses to start makes none.
class Refuser : public CFaceTagger {
public:
    bool start = true;
    int finished = 0;
    bool InitProcess(CGeomInfo*) override { return start; }
    bool BelongToGroup(unsigned int, C3DEdge&, int* candidates, unsigned int count) override {
        for (unsigned i = 0; i < count; ++i) candidates[i] = int(REMAP_REMOVED);
        return true;
    }
    void GroupFinished(const int*, unsigned int) override { ++finished; }
};

TEST(TagFaces, TaggerDecidesWhoJoinsAndMayRefuseTheRun) {
    Owned obj = MakeObject(CubePoints(), CubeFaces());
    CGeomInfo geom(obj);
    Refuser r;
    EXPECT_EQ(obj->GetFaceList()->TagFaces(&geom, r, true), 6u);
    EXPECT_EQ(r.finished, 6);
    Refuser no;
    no.start = false;
    EXPECT_EQ(obj->GetFaceList()->TagFaces(&geom, no, true), 0u);
    EXPECT_EQ(no.finished, 0);
    EXPECT_EQ(obj->GetFaceList()->TagFaces(nullptr, r, true), 0u);
}

// A tagger that rewrites a face while the walk runs: the walk then follows the face's new edges
// through the edge-to-face graph built at the start (which still lists the faces as they were).
class Rewriter : public CFaceTagger {
public:
    std::vector<std::vector<int>> groups;
    bool BelongToGroup(unsigned int, C3DEdge&, int* candidates, unsigned int count) override {
        for (unsigned i = 0; i < count; ++i) {
            if (candidates[i] != 2) continue;
            int k = 0;
            int* idx = m_pFaces->GetIndexes(2, k);
            idx[0] = 6;
            idx[1] = 7;
            idx[2] = 9;
        }
        return true;
    }
    void GroupFinished(const int* faces, unsigned int count) override { groups.emplace_back(faces, faces + count); }
};

TEST(TagFaces, FaceRewrittenDuringTheWalkIsFollowedAlongItsNewEdges) {
    // The faces of the test above, and a fourth, (6, 7, 8), apart from them. Face 2, reached from
    // face 1 across edge (3, 4), becomes (6, 7, 9) and so brings face 3 (edge (6, 7)) along.
    std::vector<P3> pts = {{0, 2, 0}, {2, 2, 0}, {1, 1, 0}, {0, 0, 0}, {2, 0, 0},
                           {1, -1, 0}, {5, 0, 0}, {6, 0, 0}, {5, 1, 0}, {6, -1, 0}};
    Owned obj = MakeObject(pts, {{0, 1, 2}, {2, 3, 4}, {4, 3, 5}, {6, 7, 8}});
    CGeomInfo geom(obj);
    Rewriter rewriter;
    EXPECT_EQ(obj->GetFaceList()->TagFaces(&geom, rewriter, true), 2u);
    ASSERT_EQ(rewriter.groups.size(), 2u);
    EXPECT_EQ(rewriter.groups[1], (std::vector<int>{1, 2, 3}));
}

TEST(ExplodeIntoIsolatedParts, TwoDisjointCubesGiveTwoObjects) {
    std::vector<P3> pts = CubePoints();
    for (const P3& p : CubePoints(3.0f)) pts.push_back(p);
    std::vector<Poly> faces = CubeFaces(8);
    for (const Poly& f : CubeFaces(0)) faces.push_back(f);  // second cube's faces listed first
    Owned obj = MakeObject(pts, faces);
    AddOffsetChannel(*obj, 0);
    CXArray<C3DGeomObject*> parts;
    ASSERT_EQ(obj->ExplodeIntoIsolatedParts(parts), 2);
    ASSERT_EQ(parts.GetSize(), 2);
    for (int i = 0; i < 2; ++i) {
        C3DGeomObject* part = parts[i];
        EXPECT_EQ(part->GetPointNbr(), 8);
        EXPECT_EQ(part->GetFaceNbr(), 6);
        EXPECT_TRUE(IsConsistentlyOriented(*part->GetFaceList()));
        ASSERT_EQ(part->GetChannels()->GetSize(), 1);
        CChannel* c = part->GetChannels()->GetChannel(0);
        EXPECT_EQ(c->GetFaceList()->GetSize(), 6);
        EXPECT_EQ(c->GetPointList()->GetSize(), 8);
    }
    // The first part is the cube whose faces come first: the one at x = 3.
    C3DTBBox<float> box;
    parts[0]->GetPointList()->GetBoundingBox(box);
    EXPECT_EQ(box.GetMin().x, 3.0f);
    for (C3DGeomObject* p : parts) p->Delete();

    Owned single = MakeObject(CubePoints(), CubeFaces());
    EXPECT_EQ(single->ExplodeIntoIsolatedParts(parts), 0);
    EXPECT_EQ(parts.GetSize(), 0);
}

// The library's tagger skips the faces of an edge or a point it has already offered; a tagger of
// another class is offered them every time. Both must find the same groups: here a book of 20
// pages on edge 0-1 whose pages also reach one hub point, a chain of triangles joined corner to
// corner from the hub, and a triangle apart, listed interleaved; and a fan on its own.
TEST(ExplodeIntoIsolatedParts, SameGroupsAsAPlainTaggerAroundBusyEdgesAndPoints) {
    std::vector<P3> pts = {{0, 0, 0}, {1, 0, 0}, {0.5f, 5, 0}};  // spine 0-1, hub 2
    std::vector<Poly> faces;
    for (int i = 0; i < 20; ++i) {
        pts.push_back({0.5f, float(i), 1});
        const int tip = int(pts.size()) - 1;
        faces.push_back(i % 2 ? Poly{1, 0, tip} : Poly{0, 1, tip});
        pts.push_back({float(i), 4, 0});
        faces.push_back({2, tip, int(pts.size()) - 1});  // shares the tip point and the hub only
    }
    int last = 2;
    for (int i = 0; i < 10; ++i) {
        pts.push_back({float(i), 9, 0});
        pts.push_back({float(i), 9, 1});
        const int a = int(pts.size()) - 2, b = a + 1;
        faces.insert(faces.begin() + 3 * i, Poly{last, a, b});
        last = b;
    }
    pts.push_back({50, 0, 0});
    pts.push_back({51, 0, 0});
    pts.push_back({50, 1, 0});
    const int apart = int(pts.size()) - 3;
    faces.insert(faces.begin() + 7, Poly{apart, apart + 1, apart + 2});
    // An open fan of 8 triangles on edges to its own hub, each running from the hub to the next
    // triangle's edge.
    const int hub = int(pts.size());
    pts.push_back({80, 0, 0});
    for (int i = 0; i <= 8; ++i)
        pts.push_back({80 + std::cos(0.5f * float(i)), std::sin(0.5f * float(i)), 0});
    for (int i = 0; i < 8; ++i) faces.push_back({hub + i + 2, hub + i + 1, hub});
    Owned obj = MakeObject(pts, faces);
    for (bool byEdge : {true, false}) {
        CGeomInfo geom(obj);
        GroupRecorder plain;
        const unsigned groups = obj->GetFaceList()->TagFaces(&geom, plain, byEdge);
        CXArray<C3DGeomObject*> parts;
        CIsolateFaceTagger library(obj, parts);
        ASSERT_EQ(obj->GetFaceList()->TagFaces(&geom, library, byEdge), groups);
        EXPECT_EQ(groups, byEdge ? 33u : 3u);  // by edge: the book, 20 + 10 + 1 single faces, the fan
        ASSERT_EQ(unsigned(parts.GetSize()), groups);
        for (unsigned g = 0; g < groups; ++g) {
            EXPECT_EQ(size_t(parts[int(g)]->GetFaceNbr()), plain.groups[g].size()) << "group " << g;
            parts[int(g)]->Delete();
        }
    }
}

// Many small parts of a large object (each numbers its few points apart from the whole list):
// every part has its own triangle, its points in first-met order and its channel values.
TEST(ExplodeIntoIsolatedParts, ManySmallPartsKeepTheirPointsAndChannelValues) {
    constexpr int kParts = 60;
    std::vector<P3> pts;
    std::vector<Poly> faces;
    for (int t = 0; t < kParts; ++t) {
        const int base = int(pts.size());
        pts.push_back({float(t), 0, 0});
        pts.push_back({float(t), 1, 0});
        pts.push_back({float(t), 0, 1});
        faces.push_back({base + 2, base, base + 1});
    }
    Owned obj = MakeObject(pts, faces);
    AddOffsetChannel(*obj, 5);
    CXArray<C3DGeomObject*> parts;
    ASSERT_EQ(obj->ExplodeIntoIsolatedParts(parts), kParts);
    for (int t = 0; t < kParts; ++t) {
        C3DGeomObject* part = parts[t];
        ASSERT_EQ(part->GetPointNbr(), 3);
        EXPECT_EQ(ReadFaces(*part->GetFaceList()), (std::vector<Poly>{{0, 1, 2}}));
        // First met: the source's corner base + 2, then base, then base + 1.
        EXPECT_EQ(part->GetPointList()->GetAt(0).z, 1.0f);
        EXPECT_EQ(part->GetPointList()->GetAt(1).y, 0.0f);
        EXPECT_EQ(part->GetPointList()->GetAt(2).y, 1.0f);
        for (int v = 0; v < 3; ++v) EXPECT_EQ(part->GetPointList()->GetAt(v).x, float(t));
        ASSERT_EQ(part->GetChannels()->GetSize(), 1);
        const CChannel* c = part->GetChannels()->GetChannel(0);
        EXPECT_EQ(ReadFaces(*c->GetFaceList()), (std::vector<Poly>{{0, 1, 2}}));
        // The channel value of source point v is (v, -v) (the offset channel shifts both).
        const C2DPointList* values = static_cast<const C2DPointList*>(c->GetPointList());
        ASSERT_EQ(values->GetSize(), 3);
        EXPECT_EQ(values->GetAt(0).u, float(3 * t + 2));
        EXPECT_EQ(values->GetAt(1).u, float(3 * t));
        EXPECT_EQ(values->GetAt(2).u, float(3 * t + 1));
    }
    for (C3DGeomObject* p : parts) p->Delete();
}

TEST(SubObject, BySizeAndByListRenumberPointsInFirstMetOrder) {
    Owned obj = MakeObject({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}},
                                {{0, 1, 3}, {1, 4, 5, 2}, {2, 3, 1}});
    Owned quads = obj->SubObject(3, SUBOBJECT_MORE);
    ASSERT_NE(quads, nullptr);
    EXPECT_EQ(ReadFaces(*quads->GetFaceList()), (std::vector<Poly>{{0, 1, 2, 3}}));
    EXPECT_EQ(quads->GetPointList()->GetAt(1).x, 2.0f);
    Owned tris = obj->SubObject(3, SUBOBJECT_EQUAL);
    ASSERT_NE(tris, nullptr);
    EXPECT_EQ(ReadFaces(*tris->GetFaceList()), (std::vector<Poly>{{0, 1, 2}, {3, 2, 1}}));
    EXPECT_EQ(obj->SubObject(5, SUBOBJECT_EQUAL), nullptr);
    EXPECT_EQ(obj->SubObject(3, _SUBOBJECT_MODE(2)), nullptr);
    int none[] = {7, -1};
    EXPECT_EQ(obj->SubObject(none, 2), nullptr);
    EXPECT_EQ(obj->SubObject(nullptr, 1), nullptr);
}

// Channels follow the extraction: a point-mapped channel through the point renumbering, a
// face-mapped one through its own; a face with a corner outside the point list comes out invalid.
TEST(SubObject, ChannelsFollowAndAStrayCornerMakesTheFaceInvalid) {
    Owned obj = MakeObject({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}},
                                {{0, 1, 3}, {1, 4, 5, 2}, {2, 3, 1}});
    CWeightChannel* weights = new CWeightChannel(kNewChannelID, true);
    for (int i = 0; i < 6; ++i) weights->GetWeightPointList()->Add(10.0f * float(i));
    obj->AddChannel(weights);
    PlainChannel* offset = AddOffsetChannel(*obj, 3);  // channel point v + 3 holds (v, -v)

    const int picked[] = {2, 1};
    C3DObject* sub = obj->SubObject(picked, 2);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(ReadFaces(*sub->GetFaceList()), (std::vector<Poly>{{0, 1, 2}, {2, 3, 4, 0}}));
    ASSERT_EQ(sub->GetChannels()->GetSize(), 2);
    const int source[] = {2, 3, 1, 4, 5};  // geometric point of each new point
    for (int c = 0; c < 2; ++c) {
        CChannel* channel = sub->GetChannels()->GetChannel(c);
        if (auto* w = dynamic_cast<CWeightChannel*>(channel)) {
            ASSERT_EQ(w->GetWeightPointList()->GetSize(), 5);
            for (int i = 0; i < 5; ++i) EXPECT_EQ(w->GetWeightPointList()->GetAt(i).weight, 10.0f * float(source[i]));
        } else {
            ASSERT_NE(channel->GetFaceList(), nullptr);
            EXPECT_EQ(ReadFaces(*channel->GetFaceList()), (std::vector<Poly>{{0, 1, 2}, {2, 3, 4, 0}}));
            const C2DPointList* values = static_cast<const C2DPointList*>(channel->GetPointList());
            ASSERT_EQ(values->GetSize(), 5);
            for (int i = 0; i < 5; ++i) EXPECT_EQ(values->GetAt(i).u, float(source[i])) << i;
        }
    }
    sub->Delete();

    // A corner that names no point: the face is carried, invalid, the corner set to 0.
    int count = 0;
    obj->GetFaceList()->GetIndexes(0, count)[2] = 17;
    offset->GetFaceList()->GetIndexes(0, count)[1] = -4;
    const int first[] = {0};
    sub = obj->SubObject(first, 1);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(ReadFaces(*sub->GetFaceList()), (std::vector<Poly>{{0, 1, 0}}));
    EXPECT_TRUE(sub->GetFaceList()->IsFaceFlagSet(0, FACE_INVALID));
    EXPECT_EQ(sub->GetPointList()->GetSize(), 2);
    sub->Delete();
}

TEST(UnifyNormals, CubeWithFlippedFacesBecomesConsistent) {
    Owned obj = MakeObject(CubePoints(), CubeFaces());
    AddOffsetChannel(*obj, 0);
    for (unsigned f : {1u, 3u, 4u}) obj->GetFaceList()->Flip(f);
    // Flip the channel faces with the geometry so that they still match corner for corner.
    CFaceList* cf = obj->GetChannels()->GetChannel(0)->GetFaceList();
    for (unsigned f : {1u, 3u, 4u}) {
        int k = 0;
        int* idx = cf->GetIndexes(f, k);
        std::reverse(idx, idx + k);
    }
    ASSERT_FALSE(IsConsistentlyOriented(*obj->GetFaceList()));
    CBitArray flipped;
    Owned copy = MakeObject(CubePoints(), ReadFaces(*obj->GetFaceList()));
    CGeomInfo copyGeom(copy);
    ASSERT_TRUE(copy->GetFaceList()->UnifyNormals(&copyGeom, flipped));
    EXPECT_TRUE(IsConsistentlyOriented(*copy->GetFaceList()));
    // Face 0 keeps its orientation, so exactly the three reversed faces come back.
    std::vector<int> bits;
    for (int i = 0; i < flipped.GetSize(); ++i)
        if (flipped.Get(i)) bits.push_back(i);
    EXPECT_EQ(bits, (std::vector<int>{1, 3, 4}));

    ASSERT_TRUE(obj->UnifyNormals());
    EXPECT_TRUE(IsConsistentlyOriented(*obj->GetFaceList()));
    EXPECT_EQ(ReadFaces(*obj->GetFaceList()), CubeFaces());
    // The channel faces were flipped with their faces.
    EXPECT_EQ(ReadFaces(*cf), CubeFaces());
    // Run again on the consistent cube: nothing turns, and the faces are marked changed all the
    // same (the object is invalidated after every run).
    obj->GetFaceList()->SetFlag(FACELIST_CHANGED, false);
    ASSERT_TRUE(obj->UnifyNormals());
    EXPECT_EQ(ReadFaces(*obj->GetFaceList()), CubeFaces());
    EXPECT_TRUE(obj->GetFaceList()->IsFlagSet(FACELIST_CHANGED));
}

TEST(UnifyNormals, StripWithReversedSecondQuadrangle) {
    //   3----2----5
    //   |    |    |
    //   0----1----4
    Owned obj = MakeObject({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}},
                                {{0, 1, 2, 3}, {1, 2, 5, 4}});
    CGeomInfo geom(obj);
    CBitArray flipped;
    ASSERT_TRUE(obj->GetFaceList()->UnifyNormals(&geom, flipped));
    EXPECT_FALSE(flipped.Get(0));
    EXPECT_TRUE(flipped.Get(1));
    EXPECT_EQ(ReadFaces(*obj->GetFaceList())[1], (Poly{4, 5, 2, 1}));
    Owned empty = MakeObject({}, {});
    EXPECT_FALSE(empty->UnifyNormals());
}

}  // namespace
}  // namespace kestovar::test
