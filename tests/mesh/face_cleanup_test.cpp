// Clean-up of faces and points: degenerate index clean-up (with the channel faces that follow
// it), face and point removal with their remaps and chunk data, UpdateIndex, and the border
// status of points.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "adjacency_test_util.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar::test {
namespace {

std::vector<unsigned> ToVector(const CXArray<unsigned>& a) { return std::vector<unsigned>(a.begin(), a.end()); }

constexpr unsigned X = REMAP_REMOVED;

// A channel set holding the given channels, attached to the view as source and destination.
struct ChannelSet {
    CDependentChannels* set = CDependentChannels::Create();
    ChannelSet(CGeomInfo& geom, std::initializer_list<CChannel*> channels) {
        for (CChannel* c : channels) set->AddChannel(c);
        geom.SetChannels(set, set, 0);
    }
    ~ChannelSet() { set->Delete(); }
};

// ---- degenerate index clean-up ----

TEST(CleanPointsIndex, QuadWithARepeatedCornerBecomesATriangle) {
    // (a, b, a, c) = (0, 1, 0, 2): position 0 repeats position 2 and goes.
    TestMesh m(3, {{0, 1, 0, 2}});
    auto* follows = new RecordingChannel();
    auto* derived = new RecordingChannel(CHANNEL_DERIVED);
    FillFaces(*follows->GetFaceList(), {{10, 11, 12, 13}});
    FillFaces(*derived->GetFaceList(), {{20, 21, 22, 23}});
    ChannelSet channels(*m.geom, {follows, derived});
    const unsigned stamp = m.faces->GetChangedStamp();

    EXPECT_TRUE(m.faces->CleanPointsIndex(m.geom));
    EXPECT_EQ(FaceAt(*m.faces, 0), (Face{1, 0, 2}));
    EXPECT_TRUE(m.faces->IsFaceLive(0));
    EXPECT_GT(m.faces->GetChangedStamp(), stamp);
    EXPECT_EQ(FaceAt(*follows->GetFaceList(), 0), (Face{11, 12, 13})) << "same position removed";
    EXPECT_EQ(FaceAt(*derived->GetFaceList(), 0), (Face{20, 21, 22, 23})) << "derived channels are left alone";
    EXPECT_FALSE(m.faces->CleanPointsIndex(m.geom)) << "nothing left to clean";
}

TEST(CleanPointsIndex, WalksCyclicallyAndStopsAtATriangle) {
    TestMesh m(5, {
                      {0, 1, 2, 2, 3},  // position 2 repeats position 3: a quad remains
                      {1, 2, 3, 1},     // the last corner repeats the first (cyclic): a triangle
                      {0, 1, 0, 1},     // ends as the triangle (1, 0, 1): degenerate, flagged
                      {4, 4, 4, 1},     // ends as (4, 4, 1): flagged
                      {0, 1, 2, 3},     // nothing to do
                  });
    EXPECT_TRUE(m.faces->CleanPointsIndex(m.geom));
    EXPECT_EQ(FaceAt(*m.faces, 0), (Face{0, 1, 2, 3}));
    EXPECT_EQ(FaceAt(*m.faces, 1), (Face{1, 2, 3}));
    EXPECT_EQ(FaceAt(*m.faces, 2), (Face{1, 0, 1}));
    EXPECT_EQ(FaceAt(*m.faces, 3), (Face{4, 4, 1}));
    EXPECT_EQ(FaceAt(*m.faces, 4), (Face{0, 1, 2, 3}));
    const bool live[] = {true, true, false, false, true};
    for (unsigned f = 0; f < 5; ++f) EXPECT_EQ(m.faces->IsFaceLive(f), live[f]) << f;
    EXPECT_TRUE(m.faces->IsFaceFlagSet(2, FACE_INVALID));
}

TEST(CleanPointsIndex, DegenerateTrianglesAndShortFacesAreFlaggedWithTheirChannelFaces) {
    // f0 = (a, a, b) is flagged; f1 is fine; f2 has two points but is live.
    TestMesh m(4, {{0, 0, 1}, {1, 2, 3}, {1, 2}});
    m.faces->SetFaceFlags(2, FACE_INVALID, false);
    ASSERT_TRUE(m.faces->IsFaceLive(2));
    auto* follows = new RecordingChannel();
    FillFaces(*follows->GetFaceList(), {{5, 6, 7}, {5, 6, 7}, {5, 6, 7}});
    ChannelSet channels(*m.geom, {follows});

    EXPECT_TRUE(m.faces->CleanPointsIndex(m.geom));
    EXPECT_EQ(m.faces->GetFaceFlags(0) & FACE_NOT_LIVE, unsigned(FACE_INVALID));
    EXPECT_TRUE(m.faces->IsFaceLive(1));
    EXPECT_EQ(m.faces->GetFaceFlags(2) & FACE_NOT_LIVE, unsigned(FACE_INVALID));
    EXPECT_EQ(FaceAt(*m.faces, 0), (Face{0, 0, 1})) << "a triangle keeps its indices";
    CFaceList* channelFaces = follows->GetFaceList();
    EXPECT_EQ(channelFaces->GetFaceFlags(0) & FACE_NOT_LIVE, unsigned(FACE_NOT_LIVE));
    EXPECT_TRUE(channelFaces->IsFaceLive(1));
    EXPECT_EQ(channelFaces->GetFaceFlags(2) & FACE_NOT_LIVE, unsigned(FACE_NOT_LIVE));

    // Clean then removes the flagged faces.
    CXArray<unsigned> remap;
    EXPECT_TRUE(m.faces->Clean(m.geom, true, &remap));
    EXPECT_EQ(ToVector(remap), (std::vector<unsigned>{X, 0, X}));
    EXPECT_EQ(AllFaces(*m.faces), (std::vector<Face>{{1, 2, 3}}));
}

TEST(CleanPointsIndex, ChannelFacesThatAreNotLiveOrTooShortStay) {
    // Face 1 loses its position 2.
    TestMesh m(3, {{0, 1, 0, 2}, {1, 2, 0, 0}});
    auto* c = new RecordingChannel();
    // Face 0 of the channel is hidden; face 1 has only 2 corners (below the removed position 2).
    FillFaces(*c->GetFaceList(), {{5, 6, 7, 8}, {5, 6}});
    c->GetFaceList()->SetFaceFlags(0, FACE_HIDDEN, true);
    c->GetFaceList()->SetFaceFlags(1, FACE_INVALID, false);
    ChannelSet channels(*m.geom, {c});
    EXPECT_TRUE(m.faces->CleanPointsIndex(m.geom));
    EXPECT_EQ(AllFaces(*m.faces), (std::vector<Face>{{1, 0, 2}, {1, 2, 0}}));
    EXPECT_EQ(AllFaces(*c->GetFaceList()), (std::vector<Face>{{5, 6, 7, 8}, {5, 6}}));
}

// ---- face removal ----

TEST(FaceClean, NothingInvalidLeavesTheListAndEmptiesTheRemap) {
    TestMesh m(4, {{0, 1, 2}, {0, 2, 3}});
    CXArray<unsigned> remap;
    remap.Add(7);
    remap.Add(8);
    const unsigned stamp = m.faces->GetChangedStamp();
    EXPECT_FALSE(m.faces->Clean(m.geom, false, &remap));
    EXPECT_EQ(remap.GetSize(), 0);
    EXPECT_EQ(m.faces->GetChangedStamp(), stamp);
    // Hidden faces are not removed.
    m.faces->SetFaceFlags(1, FACE_HIDDEN, true);
    EXPECT_FALSE(m.faces->Clean(m.geom, true, &remap));
    EXPECT_EQ(m.faces->GetSize(), 2);
    EXPECT_FALSE(m.faces->Clean(m.geom, true, nullptr));
}

TEST(FaceClean, KeptFacesMoveDownWithTheirChunkData) {
    // Faces 1 and 3 are invalid; every face carries its original index and a material.
    TestMesh m(6, {{0, 1, 2}, {1, 2, 3}, {2, 3, 4, 5}, {3, 4, 5}, {0, 4, 5}});
    m.faces->SaveFacesIndex();
    for (unsigned f = 0; f < 5; ++f) m.faces->SetFaceMaterial(f, 100 + f);
    m.faces->SetFaceFlags(1, FACE_INVALID, true);
    m.faces->SetFaceFlags(3, FACE_INVALID | FACE_HIDDEN, true);
    m.faces->SetFaceFlags(4, FACE_FROZEN, true);
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    const unsigned stamp = m.faces->GetChangedStamp();

    CXArray<unsigned> remap;
    EXPECT_TRUE(m.faces->Clean(m.geom, false, &remap));
    EXPECT_EQ(ToVector(remap), (std::vector<unsigned>{0, X, 1, X, 2}));
    EXPECT_EQ(AllFaces(*m.faces), (std::vector<Face>{{0, 1, 2}, {2, 3, 4, 5}, {0, 4, 5}}));
    const unsigned original[] = {0, 2, 4};
    for (unsigned f = 0; f < 3; ++f) {
        EXPECT_EQ(m.faces->GetOriginalIndex(f), original[f]) << f;
        EXPECT_EQ(m.faces->GetFaceMaterial(f), 100 + original[f]) << f;
    }
    EXPECT_TRUE(m.faces->IsFaceFlagSet(2, FACE_FROZEN));
    EXPECT_EQ(m.faces->GetDataChunks().GetDataSize(), 3);
    EXPECT_TRUE(m.faces->IsFlagSet(FACELIST_CHANGED));
    EXPECT_GT(m.faces->GetChangedStamp(), stamp);
    // The slack is gone: records packed at 4 + 4 * count bytes.
    const CFaceCollection& records = m.faces->GetRecords();
    EXPECT_EQ(records.GetAllocatedBytes(), uint64_t(3 * 4 + 4 * (3 + 4 + 3)));
    EXPECT_EQ(records.GetUsedBytes(), records.GetAllocatedBytes());
    // Graphs named the old face indices.
    EXPECT_FALSE(m.faces->HasPointToFaceGraph());
    EXPECT_FALSE(m.faces->HasEdgeToFaceGraph());
}

TEST(FaceClean, RemovingEveryFaceEmptiesTheList) {
    TestMesh m(3, {{0, 0, 1}, {2, 2, 2}});
    CXArray<unsigned> remap;
    EXPECT_TRUE(m.faces->Clean(m.geom, true, &remap));
    EXPECT_EQ(ToVector(remap), (std::vector<unsigned>{X, X}));
    EXPECT_EQ(m.faces->GetSize(), 0);
    EXPECT_EQ(m.faces->GetDataChunks().GetDataSize(), 0);
}

// ---- points ----

TEST(PointClean, SetInvalidPointsMarksUnusedPoints) {
    // Points 3 and 4 are used only by a hidden face and by nothing.
    TestMesh m(5, {{0, 1, 2}, {1, 2, 3}});
    m.faces->SetFaceFlags(1, FACE_HIDDEN, true);
    m.points->GetPt(0)->SetFlags(POINT_REMOVED, true);  // stale mark on a used point
    m.points->GetPt(1)->SetFlags(POINT_BORDER, true);   // other bits stay
    m.points->SetInvalidPoints(*m.faces, true);
    const bool removedKeep[] = {true, false, false, true, true};
    for (int p = 0; p < 5; ++p) EXPECT_EQ(m.points->GetPt(p)->IsOneFlagSet(POINT_REMOVED), removedKeep[p]) << p;
    m.points->SetInvalidPoints(*m.faces, false);
    const bool removed[] = {false, false, false, true, true};
    for (int p = 0; p < 5; ++p) EXPECT_EQ(m.points->GetPt(p)->IsOneFlagSet(POINT_REMOVED), removed[p]) << p;
    EXPECT_TRUE(m.points->GetPt(1)->IsOneFlagSet(POINT_BORDER));
}

TEST(PointClean, FaceNamingAMissingPointIsRejected) {
    TestMesh m(3, {{0, 1, 3}});
    ExpectInvalidArg([&] { m.points->SetInvalidPoints(*m.faces, false); });
    CXArray<unsigned> remap;
    ExpectInvalidArg([&] { m.points->Clean(m.faces, &remap); });
    EXPECT_EQ(m.points->GetSize(), 3);
}

TEST(PointClean, KeptPointsMoveDownWithTheirChunkData) {
    //  1   3      points 1 and 3 are unused
    //  0 --- 2 --- 4
    //   \    |   /
    //     \  |  /
    //        5
    TestMesh m(6, {{0, 5, 2}, {2, 5, 4}});
    m.points->SavePointsIndex();
    CXArray<unsigned> remap;
    EXPECT_TRUE(m.points->Clean(m.faces, &remap));
    EXPECT_EQ(ToVector(remap), (std::vector<unsigned>{0, X, 1, X, 2, 3}));
    ASSERT_EQ(m.points->GetSize(), 4);
    const int original[] = {0, 2, 4, 5};
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(m.points->GetAt(p).x, float(original[p])) << p;
        EXPECT_EQ(m.points->GetAt(p).z, float(3 * original[p])) << p;
        EXPECT_EQ(m.points->GetOriginalIndex(p), unsigned(original[p])) << p;
        EXPECT_FALSE(m.points->GetPt(p)->IsOneFlagSet(POINT_REMOVED));
    }
    EXPECT_EQ(m.points->GetDataChunks().GetDataSize(), 4);
    EXPECT_TRUE(m.points->IsFlagSet(POINTLIST_CHANGED));
    // The faces are not renumbered by the point list itself.
    EXPECT_EQ(FaceAt(*m.faces, 1), (Face{2, 5, 4}));

    EXPECT_FALSE(m.points->Clean(nullptr, &remap)) << "nothing marked any more";
    EXPECT_EQ(remap.GetSize(), 0);
}

// UpdateIndex is checked in face_list_test.cpp (FaceList.UpdateIndexFollowsTheRemapRules).

// ---- whole clean-up ----

TEST(WholeClean, FacesPointsAndChannelsTogether) {
    // f1 is a degenerate triangle, f2 a quad with a repeated corner; point 4 is used only by f1
    // and point 6 by nothing:
    //
    //  3 ---- 2        f0 = (0, 1, 2)
    //  |    / |        f1 = (4, 4, 1)   -> removed, and with it point 4
    //  |  /   |        f2 = (0, 2, 0, 3) -> (2, 0, 3)
    //  0 ---- 1    4   6
    TestMesh m(7, {{0, 1, 2}, {4, 4, 1}, {0, 2, 0, 3}, {5, 0, 3}});
    auto* channel = new RecordingChannel();
    FillFaces(*channel->GetFaceList(), {{0, 1, 2}, {3, 4, 5}, {6, 7, 8, 9}, {10, 11, 12}});
    ChannelSet channels(*m.geom, {channel});

    EXPECT_TRUE(m.faces->Clean(m.geom));
    EXPECT_EQ(AllFaces(*m.faces), (std::vector<Face>{{0, 1, 2}, {2, 0, 3}, {4, 0, 3}}));
    ASSERT_EQ(m.points->GetSize(), 5);
    const float x[] = {0, 1, 2, 3, 5};
    for (int p = 0; p < 5; ++p) EXPECT_EQ(m.points->GetAt(p).x, x[p]) << p;
    EXPECT_TRUE(m.points->IsFlagSet(POINTLIST_CHANGED));
    // The channel was handed both remaps, and its face 2 followed the index clean-up.
    EXPECT_EQ(channel->cleanCalls, 1);
    EXPECT_EQ(channel->faceRemapSeen, (std::vector<unsigned>{0, X, 1, 2}));
    EXPECT_EQ(channel->pointRemapSeen, (std::vector<unsigned>{0, 1, 2, 3, X, 4, X}));
    EXPECT_EQ(FaceAt(*channel->GetFaceList(), 2), (Face{7, 8, 9}));

    // A second run finds nothing; the channels still see the (empty) remaps.
    m.points->SetFlag(POINTLIST_CHANGED, false);
    EXPECT_FALSE(m.faces->Clean(m.geom));
    EXPECT_FALSE(m.points->IsFlagSet(POINTLIST_CHANGED));
    EXPECT_EQ(channel->cleanCalls, 2);
    EXPECT_TRUE(channel->faceRemapSeen.empty());
    EXPECT_TRUE(channel->pointRemapSeen.empty());
}

// A live face naming a point the list does not have is the caller's fault and raises; it does so
// before any face moves, so the faces and the channel faces stay in step (the degenerate face
// that would have gone is still there).
TEST(WholeClean, AFaceNamingAMissingPointRaisesBeforeAnyFaceMoves) {
    TestMesh m(4, {{0, 0, 1, 2}, {3, 3, 3}, {1, 2, 7}});
    auto* channel = new RecordingChannel();
    FillFaces(*channel->GetFaceList(), {{0, 1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    ChannelSet channels(*m.geom, {channel});
    ExpectInvalidArg([&] { m.faces->Clean(m.geom); });
    EXPECT_EQ(m.faces->GetSize(), 3);
    EXPECT_EQ(channel->GetFaceList()->GetSize(), 3);
    EXPECT_EQ(m.points->GetSize(), 4);
    // The index clean-up that ran first kept the channel face beside its face.
    EXPECT_EQ(AllFaces(*m.faces)[0], (Face{0, 1, 2}));
    EXPECT_EQ(FaceAt(*channel->GetFaceList(), 0), (Face{1, 2, 3}));
}

TEST(WholeClean, NoLiveFaceUsesARemovedPointAfterwards) {
    // A 4 x 4 grid whose two middle rows of quads are invalid (leaving the middle row of points
    // unused), plus two degenerate faces.
    std::vector<Face> faces = GridTriangles(4, 4);
    faces.push_back({3, 3, 24});
    faces.push_back({7, 8, 7, 8});
    TestMesh m(25, faces);
    for (unsigned f = 8; f < 24; ++f) m.faces->SetFaceFlags(f, FACE_INVALID, true);
    EXPECT_TRUE(m.faces->Clean(m.geom));
    const int points = m.points->GetSize();
    std::vector<bool> used(size_t(points), false);
    for (const Face& f : AllFaces(*m.faces)) {
        EXPECT_EQ(f.size(), 3u);
        for (int p : f) {
            ASSERT_GE(p, 0);
            ASSERT_LT(p, points);
            used[size_t(p)] = true;
        }
    }
    for (int p = 0; p < points; ++p) EXPECT_TRUE(used[size_t(p)]) << "point " << p << " is unused";
    EXPECT_EQ(m.faces->GetSize(), 16);
    EXPECT_EQ(points, 20);
}

// ---- border status ----

unsigned BorderBits(const TestMesh& m, int p) {
    return m.points->GetPointFlags(p) & (POINT_BORDER | POINT_SHARED_EDGE | POINT_NEAR_BORDER);
}

TEST(BorderStatus, OpenGrid) {
    //  6 --- 7 --- 8
    //  |   / |   / |
    //  | /   | /   |
    //  3 --- 4 --- 5
    //  |   / |   / |
    //  | /   | /   |
    //  0 --- 1 --- 2
    //
    // Points on a border edge get 0x10, points on an edge with two faces 0x20 (corners 2 and 6
    // have none), and the centre, the one point off the border, is near it.
    TestMesh m(9, GridTriangles(2, 2));
    m.points->GetPt(4)->SetFlags(POINT_BORDER | POINT_UV_SEAM, true);  // stale bit, unrelated bit
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    m.points->SetBorderPointsStatus(*m.faces->GetEdgeToFaceGraph(), true);
    const unsigned expected[] = {0x30, 0x30, 0x10, 0x30, 0x60, 0x30, 0x10, 0x30, 0x30};
    for (int p = 0; p < 9; ++p) EXPECT_EQ(BorderBits(m, p), expected[p]) << p;
    EXPECT_TRUE(m.points->GetPt(4)->IsOneFlagSet(POINT_UV_SEAM));

    m.points->SetBorderPointsStatus(*m.faces->GetEdgeToFaceGraph(), false);
    EXPECT_EQ(BorderBits(m, 4), unsigned(POINT_SHARED_EDGE));
}

TEST(BorderStatus, ClosedTetrahedronHasNoBorder) {
    //        3
    //       /|\        faces (0, 2, 1), (0, 1, 3), (1, 2, 3), (2, 0, 3)
    //      / | \       every edge has two faces
    //     0 -|- 2
    //      \ | /
    //        1
    TestMesh m(4, {{0, 2, 1}, {0, 1, 3}, {1, 2, 3}, {2, 0, 3}});
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    m.points->SetBorderPointsStatus(*m.faces->GetEdgeToFaceGraph(), true);
    for (int p = 0; p < 4; ++p) EXPECT_EQ(BorderBits(m, p), unsigned(POINT_SHARED_EDGE)) << p;
}

TEST(BorderStatus, NonManifoldEdge) {
    // Three triangles on the edge 0-1: its ends are on an edge shared by other than one face;
    // every other edge is a border edge.
    TestMesh m(5, {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}});
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    m.points->SetBorderPointsStatus(*m.faces->GetEdgeToFaceGraph(), true);
    EXPECT_EQ(BorderBits(m, 0), unsigned(POINT_BORDER | POINT_SHARED_EDGE));
    EXPECT_EQ(BorderBits(m, 1), unsigned(POINT_BORDER | POINT_SHARED_EDGE));
    for (int p = 2; p < 5; ++p) EXPECT_EQ(BorderBits(m, p), unsigned(POINT_BORDER)) << p;
}

TEST(BorderStatus, EdgeOutsideThePointListIsRejected) {
    TestMesh big(5, {{0, 1, 4}});
    TestMesh small(3, {{0, 1, 2}});
    ASSERT_TRUE(big.faces->InitEdgeToFaceGraph(big.geom));
    ExpectInvalidArg([&] { small.points->SetBorderPointsStatus(*big.faces->GetEdgeToFaceGraph(), false); });
}

// CPointList::Clean on every kind of point list: the library's 3D point, 3D vector and 2D point
// lists (whose records move by their own assignment) and a channel list whose records go through
// its element table. Each keeps exactly its unmarked records in order with their flags, values
// and chunk data, gives the remap, and counts the same changes (the stamp a cache keys on).
struct Record {
    unsigned flags;
    float x, y, z, w;
    bool operator==(const Record& o) const { return flags == o.flags && x == o.x && y == o.y && z == o.z && w == o.w; }
};

Record Read(const CPointList& list, int i) {
    C4DPoint h;
    list.GetPt(i)->To4DPoint(h);
    return {h.GetFlags(), h.x, h.y, h.z, h.w};
}

using Factory = std::function<CPointList*(int n)>;

// Lists of n records with distinct values and assorted flag bits.
const std::vector<std::pair<const char*, Factory>>& Kinds() {
    static const std::vector<std::pair<const char*, Factory>> kinds = {
        {"3D points", [](int n) {
             auto* l = new C3DPointList;
             for (int i = 0; i < n; ++i) l->Add(float(i), float(-i), float(2 * i));
             return static_cast<CPointList*>(l);
         }},
        {"3D vectors", [](int n) {
             auto* l = new C3DVectorList;
             for (int i = 0; i < n; ++i) l->Add(float(i), 0.5f * float(i), float(3 * i));
             return static_cast<CPointList*>(l);
         }},
        {"2D points", [](int n) {
             auto* l = new C2DPointList;
             for (int i = 0; i < n; ++i) l->Add(float(i), float(7 - i));
             return static_cast<CPointList*>(l);
         }},
        {"weights", [](int n) {
             auto* l = new CWeightPointList;
             for (int i = 0; i < n; ++i) l->Add(float(i) * 0.25f);
             return static_cast<CPointList*>(l);
         }},
    };
    return kinds;
}

TEST(PointCleanKinds, KeptRecordsChunksRemapAndChangeCountOnEveryListKind) {
    const int n = 40;
    const std::vector<std::pair<const char*, std::function<bool(int)>>> patterns = {
        {"trailing", [](int i) { return i >= 30; }},
        {"leading", [](int i) { return i < 3; }},
        {"scattered", [](int i) { return i % 3 == 1 || i == 39; }},
        {"all but one", [](int i) { return i != 17; }},
        {"all", [](int) { return true; }},
    };
    for (const auto& [kindName, make] : Kinds())
        for (const auto& [patternName, removed] : patterns) {
            std::unique_ptr<CPointList> list(make(n));
            list->SavePointsIndex();
            std::vector<Record> before;
            for (int i = 0; i < n; ++i) {
                list->GetPt(i)->SetFlags(POINT_BORDER * unsigned(i % 2) | POINT_SELECTED * unsigned(i % 5 == 0) |
                                         (removed(i) ? unsigned(POINT_REMOVED) : 0u));
                before.push_back(Read(*list, i));
            }
            const unsigned stamp = list->GetChangedStamp();
            CXArray<unsigned> remap;
            ASSERT_TRUE(list->Clean(nullptr, &remap)) << kindName << ", " << patternName;

            std::vector<int> keptFrom;
            bool moves = false;
            for (int i = 0; i < n; ++i)
                if (!removed(i)) {
                    moves |= int(keptFrom.size()) != i;
                    keptFrom.push_back(i);
                }
            const int kept = int(keptFrom.size());
            ASSERT_EQ(list->GetSize(), kept) << kindName << ", " << patternName;
            ASSERT_EQ(remap.GetSize(), n);
            for (int i = 0, next = 0; i < n; ++i)
                EXPECT_EQ(remap[i], removed(i) ? REMAP_REMOVED : unsigned(next++)) << kindName << ", " << patternName;
            for (int j = 0; j < kept; ++j) {
                EXPECT_EQ(Read(*list, j), before[keptFrom[j]]) << kindName << ", " << patternName << ", record " << j;
                EXPECT_EQ(list->GetOriginalIndex(j), unsigned(keptFrom[j])) << kindName << ", " << patternName;
            }
            // Changes counted: the moves, the new size, the flag; emptying counts the release too.
            EXPECT_EQ(list->GetChangedStamp() - stamp, kept == 0 ? 3u : moves ? 3u : 2u) << kindName << ", " << patternName;
            EXPECT_TRUE(list->IsFlagSet(POINTLIST_CHANGED));
            EXPECT_EQ(list->GetDataChunks().GetDataSize(), kept);
            EXPECT_EQ(list->GetDataChunks().GetData(POINT_CHUNK_ORIGINAL_INDEX)->GetAllocatedSize(), kept);

            // Nothing marked: nothing changes.
            const unsigned after = list->GetChangedStamp();
            EXPECT_FALSE(list->Clean(nullptr, &remap));
            EXPECT_EQ(remap.GetSize(), 0);
            EXPECT_EQ(list->GetChangedStamp(), after);
        }
}

}  // namespace
}  // namespace kestovar::test
