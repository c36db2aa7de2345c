// Point-to-face and edge-to-face graphs: builds, neighbourhood queries, and the graph edits of
// the simplification engine checked against graphs rebuilt from scratch.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "adjacency_test_util.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/face_graph.h"
#include "kestovar/mesh/face_graph_edit.h"

namespace kestovar::test {
namespace {

// Two triangles around point 0:
//
//  1 ------ 2
//  |  f0  / |
//  |    /   |
//  |  /  f1 |
//  0 ------ 3
const std::vector<Face> kTwoTriangles = {{0, 1, 2}, {0, 2, 3}};

// Two quads sharing the edge 1-2:
//
//  3 ---- 2 ---- 5
//  |  f0  |  f1  |
//  0 ---- 1 ---- 4
const std::vector<Face> kTwoQuads = {{0, 1, 2, 3}, {1, 4, 5, 2}};

// The 2 x 1 grid of GridTriangles:
//
//  3 ---- 4 ---- 5
//  |  f1 /|  f3 /|
//  |   /  |   /  |
//  | / f0 | / f2 |
//  0 ---- 1 ---- 2
//
// f0 = (0, 1, 4), f1 = (0, 4, 3), f2 = (1, 2, 5), f3 = (1, 5, 4).

std::vector<int> ToVector(const int* values, int count) {
    return values ? std::vector<int>(values, values + count) : std::vector<int>();
}

// ---- point-to-face build ----

TEST(PointToFaceGraph, ListsEveryLiveFaceOncePerPointInFaceOrder) {
    // Point 5 is used by no face. f2 uses point 0 twice, f3 is hidden and f4 invalid:
    //
    //  1 --- 2        f2 = (0, 3, 0, 4)  (a degenerate quad, still live)
    //  | \ f1|        f3 = (1, 2, 3) hidden
    //  | f0 \|        f4 = (2, 3, 4) invalid
    //  0 --- 3 --- 4
    TestMesh m(6, {{0, 3, 1}, {1, 3, 2}, {0, 3, 0, 4}, {1, 2, 3}, {2, 3, 4}});
    m.faces->SetFaceFlags(3, FACE_HIDDEN, true);
    m.faces->SetFaceFlags(4, FACE_INVALID, true);
    EXPECT_FALSE(m.faces->HasPointToFaceGraph());
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    ASSERT_TRUE(m.faces->HasPointToFaceGraph());

    EXPECT_EQ(GraphFaces(*m.faces, 0), (std::vector<int>{0, 2}));
    EXPECT_EQ(GraphFaces(*m.faces, 1), (std::vector<int>{0, 1}));
    EXPECT_EQ(GraphFaces(*m.faces, 2), (std::vector<int>{1}));
    EXPECT_EQ(GraphFaces(*m.faces, 3), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(GraphFaces(*m.faces, 4), (std::vector<int>{2}));
    EXPECT_TRUE(GraphFaces(*m.faces, 5).empty());
    int n = -1;
    EXPECT_EQ(m.faces->GetFacesConnectedToPoint(6, n), nullptr);
    EXPECT_EQ(n, 0);

    // One record per point; the repeated point left unused room, which the build trimmed.
    const CPointToFaceGraph* g = m.faces->GetPointToFaceGraph();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->GetSize(), 6u);
    uint64_t packed = 0;
    for (unsigned p = 0; p < g->GetSize(); ++p) {
        EXPECT_EQ(g->GetElement(p)->GetCapacity(), g->GetElement(p)->GetSize()) << "point " << p;
        packed += CPointToFaceGraph::RecordBytes(g->GetElement(p)->GetSize());
    }
    EXPECT_EQ(g->GetUsedBytes(), packed);
    EXPECT_EQ(g->GetAllocatedBytes(), packed);
}

TEST(PointToFaceGraph, TrianglesReadEightAtATimeAgreeWithAReferenceAtEveryCount) {
    // Live plain triangles in records that follow each other are read eight at a time in both
    // passes. Counts around the group size end the groups at every offset; a group that holds
    // another face (a quad whose grown record moved away, a two-corner face, which is not live, a
    // repeated corner, a hidden face) is read face by face, and so is every group of the second
    // pass once a face is not live.
    const std::vector<Face> grid = GridTriangles(40, 2);
    const auto check = [](const std::vector<Face>& faces, int hidden) {
        TestMesh m(41 * 3, faces);
        if (hidden >= 0) m.faces->SetFaceFlags(unsigned(hidden), FACE_HIDDEN, true);
        ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
        std::vector<std::vector<int>> expected(41 * 3);
        for (int f = 0; f < int(faces.size()); ++f) {
            if (!m.faces->IsFaceLive(unsigned(f))) continue;
            const Face idx = FaceAt(*m.faces, unsigned(f));
            for (size_t j = 0; j < idx.size(); ++j)
                if (std::find(idx.begin(), idx.begin() + ptrdiff_t(j), idx[j]) == idx.begin() + ptrdiff_t(j))
                    expected[size_t(idx[j])].push_back(f);
        }
        for (unsigned p = 0; p < 41 * 3; ++p)
            ASSERT_EQ(GraphFaces(*m.faces, p), expected[p]) << faces.size() << " faces, point " << p;
    };
    for (size_t count : {1, 7, 8, 9, 15, 16, 17, 23, 24, 25, 79, 80, 81, 160})
        check(std::vector<Face>(grid.begin(), grid.begin() + ptrdiff_t(count)), -1);
    std::vector<Face> mixed = grid;
    mixed[13] = Face{13, 14, 55, 54};
    mixed[70] = Face{70, 71};
    mixed[101] = Face{30, 30, 72};
    check(mixed, -1);
    check(grid, 42);
}

TEST(PointToFaceGraph, InitKeepsUpdateRebuildsDeleteFrees) {
    // Points 4 and 5 exist but no face uses them: they still get (empty) records.
    TestMesh m(6, kTwoTriangles);
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    const CPointToFaceGraph* first = m.faces->GetPointToFaceGraph();
    EXPECT_EQ(first->GetSize(), 6u);
    // A face hidden after the build stays in the graph until it is rebuilt.
    m.faces->SetFaceFlags(1, FACE_HIDDEN, true);
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    EXPECT_EQ(m.faces->GetPointToFaceGraph(), first);
    EXPECT_EQ(GraphFaces(*m.faces, 3), (std::vector<int>{1}));
    ASSERT_TRUE(m.faces->UpdatePointToFaceGraph(m.geom));
    EXPECT_TRUE(GraphFaces(*m.faces, 3).empty());
    m.faces->DeletePointToFaceGraph();
    EXPECT_FALSE(m.faces->HasPointToFaceGraph());
    int n = -1;
    EXPECT_EQ(m.faces->GetFacesConnectedToPoint(0, n), nullptr);
    EXPECT_EQ(n, 0);
    // Without a view the largest index used decides.
    Owned<C3DFaceList> alone = C3DFaceList::Create();
    FillFaces(*alone, kTwoTriangles);
    ASSERT_TRUE(alone->InitPointToFaceGraph(nullptr));
    EXPECT_EQ(alone->GetPointToFaceGraph()->GetSize(), 4u);
}

TEST(PointToFaceGraph, FaceUsingAMissingPointIsRejected) {
    // Face 1 names point 4 of a 4-point list: a programming error, and no graph is left behind.
    TestMesh m(4, {{0, 1, 2}, {0, 2, 4}});
    ExpectInvalidArg([&] { m.faces->InitPointToFaceGraph(m.geom); });
    EXPECT_FALSE(m.faces->HasPointToFaceGraph());
    ExpectInvalidArg([&] { m.faces->InitEdgeToFaceGraph(m.geom); });
    EXPECT_FALSE(m.faces->HasEdgeToFaceGraph());
    // A hidden face takes no part and is not checked.
    m.faces->SetFaceFlags(1, FACE_HIDDEN, true);
    EXPECT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
}

TEST(PointToFaceGraph, PointWithMoreFacesThanAShortHeaderCounts) {
    // A fan of 70000 triangles around point 0: (0, i, i + 1) for i = 1 .. 70000.
    const int fan = 70000;
    std::vector<Face> faces;
    for (int i = 1; i <= fan; ++i) faces.push_back({0, i, i + 1});
    TestMesh m(fan + 2, faces);
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    int n;
    const int* around = m.faces->GetFacesConnectedToPoint(0, n);
    ASSERT_EQ(n, fan);
    EXPECT_EQ(around[0], 0);
    EXPECT_EQ(around[fan - 1], fan - 1);
    EXPECT_EQ(GraphFaces(*m.faces, fan + 1), (std::vector<int>{fan - 1}));
}

// ---- edge-to-face build ----

// Edge -> faces, read through the map's iteration.
std::map<std::pair<unsigned, unsigned>, std::vector<int>> EdgeGraph(const CFaceList& list) {
    std::map<std::pair<unsigned, unsigned>, std::vector<int>> out;
    const CEdgeToFaceGraph* g = list.GetEdgeToFaceGraph();
    if (!g) return out;
    int pos = kHashStartPosition;
    C3DEdge e;
    const int* faces;
    unsigned n;
    while (g->GetNext(pos, e, faces, n)) out[{e.GetP1(), e.GetP2()}] = std::vector<int>(faces, faces + n);
    return out;
}

TEST(EdgeToFaceGraph, MapsNormalisedEdgesToTheirLiveFaces) {
    // Three triangles on the edge 0-1 (non-manifold), a hidden one, and a degenerate quad that
    // runs along the edge 4-5 twice:
    //
    //        2
    //        |  f0 = (0, 1, 2), f1 = (1, 0, 3), f2 = (0, 1, 6), f3 = (2, 1, 3) hidden
    //  0 --- 1  f4 = (4, 5, 5, 4): listed once on 4-5; the edges 5-5 and 4-4 are left out
    //        |
    //        3
    TestMesh m(7, {{0, 1, 2}, {1, 0, 3}, {0, 1, 6}, {2, 1, 3}, {4, 5, 5, 4}});
    m.faces->SetFaceFlags(3, FACE_HIDDEN, true);
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    auto edges = EdgeGraph(*m.faces);
    std::map<std::pair<unsigned, unsigned>, std::vector<int>> expected = {
        {{0, 1}, {0, 1, 2}}, {{1, 2}, {0}}, {{0, 2}, {0}}, {{0, 3}, {1}},
        {{1, 3}, {1}},       {{1, 6}, {2}}, {{0, 6}, {2}}, {{4, 5}, {4}},
    };
    EXPECT_EQ(edges, expected);
    int n;
    const int* faces = m.faces->GetFacesConnectedToEdge(C3DEdge(1, 0), n);
    EXPECT_EQ(ToVector(faces, n), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(m.faces->GetFacesConnectedToEdge(C3DEdge(2, 3), n), nullptr);
    EXPECT_EQ(n, 0);
    // Across a non-manifold edge there is no single face.
    CXArray<int> across;
    EXPECT_EQ(m.faces->GetFacesByOppositeEdges(0, across), 3);
    EXPECT_EQ(across[0], -1);
}

TEST(EdgeToFaceGraph, InitKeepsUpdateRebuildsDeleteFrees) {
    TestMesh m(4, kTwoTriangles);
    int n = -1;
    EXPECT_EQ(m.faces->GetFacesConnectedToEdge(C3DEdge(0, 2), n), nullptr);
    EXPECT_EQ(n, 0);
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    const CEdgeToFaceGraph* first = m.faces->GetEdgeToFaceGraph();
    EXPECT_EQ(first->GetCount(), 5);
    m.faces->SetFaceFlags(0, FACE_HIDDEN, true);
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    EXPECT_EQ(m.faces->GetEdgeToFaceGraph(), first);
    ASSERT_TRUE(m.faces->UpdateEdgeToFaceGraph(m.geom));
    EXPECT_EQ(m.faces->GetEdgeToFaceGraph()->GetCount(), 3);
    m.faces->DeleteEdgeToFaceGraph();
    EXPECT_FALSE(m.faces->HasEdgeToFaceGraph());
}

TEST(EdgeToFaceGraph, AnEdgeOfMoreFacesThanAListHoldsKeepsTheFirstOnes) {
    // One triangle repeated 70000 times, then one more triangle on the edge 0-1: an edge list
    // holds 65535 faces, so each edge of the repeated triangle lists the first 65535 of them
    // (the build does not fail), and the last triangle's other edges list it alone.
    const int copies = 70000;
    std::vector<Face> faces(copies, Face{0, 1, 2});
    faces.push_back({1, 0, 3});
    TestMesh m(4, faces);
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    for (const C3DEdge& e : {C3DEdge(0, 1), C3DEdge(1, 2), C3DEdge(2, 0)}) {
        int n;
        const int* listed = m.faces->GetFacesConnectedToEdge(e, n);
        ASSERT_EQ(n, 65535);
        EXPECT_EQ(listed[0], 0);
        EXPECT_EQ(listed[n - 1], 65534);
    }
    int n;
    const int* last = m.faces->GetFacesConnectedToEdge(C3DEdge(0, 3), n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(last[0], copies);
}

// ---- CFaceGraphHelper ----

TEST(FaceGraphHelper, ArrayIsReplacedOnlyWhenTheRequestReachesTheCapacity) {
    CFaceGraphHelper h;
    EXPECT_EQ(h.GetCapacity(), 0u);
    int* a = h.GetArray(5);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(h.GetCapacity(), 5u);
    EXPECT_EQ(h.GetArray(4), a);
    EXPECT_EQ(h.GetArray(0), a);
    EXPECT_EQ(h.GetCapacity(), 5u);
    int* b = h.GetArray(9);
    EXPECT_EQ(h.GetCapacity(), 9u);
    b[8] = 42;  // all 9 entries are usable
    // An array it did not hand out is not taken back.
    int other[3];
    EXPECT_FALSE(h.ReleaseArray(other));
    EXPECT_FALSE(h.ReleaseArray(nullptr));
    EXPECT_TRUE(h.ReleaseArray(b));
    EXPECT_EQ(h.GetCapacity(), 0u);
    EXPECT_FALSE(h.ReleaseArray(b));
}

// ---- neighbourhoods ----

TEST(PointsNeighbourg, TwoTrianglesByConnectionTypeInSlotOrder) {
    TestMesh m(4, kTwoTriangles);
    CFaceGraphHelper h;
    int n = -1;
    EXPECT_EQ(m.faces->GetPointsNeighbourg(h, 0, n, CONNECTION_FACE), nullptr) << "no graph yet";
    EXPECT_EQ(n, 0);
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    const int* r = m.faces->GetPointsNeighbourg(h, 0, n, CONNECTION_FACE);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{1, 2, 3}));
    r = m.faces->GetPointsNeighbourg(h, 0, n, CONNECTION_EDGE);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{1, 2, 3}));
    r = m.faces->GetPointsNeighbourg(h, 0, n, CONNECTION_DIAGONAL);
    EXPECT_EQ(n, 0);
    r = m.faces->GetPointsNeighbourg(h, 0, n, _ConnectionInfoType(7));
    EXPECT_EQ(n, 0);
    // Point 1 sees 2 by an edge and 0 by an edge; point 3 is only across f1.
    r = m.faces->GetPointsNeighbourg(h, 1, n, CONNECTION_FACE);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{0, 2}));

    // Keys hash to (k << 4) mod 23 slots: 3 -> 2, 2 -> 9, 1 -> 16, so the set reads 3, 2, 1.
    // A large query grows the helper's set; the next small query reads as from a fresh helper.
    TestMesh big(400, GridTriangles(19, 19));
    ASSERT_TRUE(big.faces->InitPointToFaceGraph(big.geom));
    std::vector<int> all;
    for (int p = 0; p < 40; ++p) all.push_back(p);
    for (int round = 0; round < 2; ++round) {
        r = m.faces->GetPointsNeighbourg(h, 0, n, CONNECTION_FACE);
        EXPECT_EQ(ToVector(r, n), (std::vector<int>{3, 2, 1}));
        r = big.faces->GetPointsConnectedToPoints(h, all.data(), int(all.size()), n, CONNECTION_FACE);
        EXPECT_EQ(n, 20);  // the third row
    }
}

TEST(PointsNeighbourg, QuadsSeparateEdgeAndDiagonalNeighbours) {
    TestMesh m(6, kTwoQuads);
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    CFaceGraphHelper h;
    int n;
    const int* r = m.faces->GetPointsNeighbourg(h, 1, n, CONNECTION_EDGE);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{0, 2, 4}));
    r = m.faces->GetPointsNeighbourg(h, 1, n, CONNECTION_DIAGONAL);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{3, 5}));
    r = m.faces->GetPointsNeighbourg(h, 1, n, _ConnectionInfoType(1));
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{3, 5}));
    r = m.faces->GetPointsNeighbourg(h, 1, n, CONNECTION_FACE);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{0, 2, 3, 4, 5}));

    // A pentagon: from corner 0 the corners at positions 2 and 3 are diagonal.
    TestMesh pent(5, {{0, 1, 2, 3, 4}});
    ASSERT_TRUE(pent.faces->InitPointToFaceGraph(pent.geom));
    r = pent.faces->GetPointsNeighbourg(h, 0, n, CONNECTION_DIAGONAL);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{2, 3}));
    r = pent.faces->GetPointsNeighbourg(h, 3, n, CONNECTION_DIAGONAL);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{0, 1}));
}

TEST(PointsNeighbourg, MembershipTestAgreesWithTheCollectedSets) {
    // Triangles, quads and a pentagon together:
    //
    //  6 ---- 7 ---- 8
    //  |  f3  |  f4  |  f5 = (6, 9, 10, 11, 3) hangs off the left edge
    //  3 ---- 4 ---- 5
    //  | f1 / |      |
    //  |  /   |  f2  |
    //  | / f0 |      |
    //  0 ---- 1 ---- 2
    TestMesh m(12, {{0, 1, 4}, {0, 4, 3}, {1, 2, 5, 4}, {3, 4, 7, 6}, {4, 5, 8, 7}, {6, 9, 10, 11, 3}});
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    CFaceGraphHelper h;
    for (_ConnectionInfoType type : {CONNECTION_EDGE, CONNECTION_FACE, CONNECTION_DIAGONAL}) {
        for (int p = 0; p < 12; ++p) {
            int n;
            const int* r = m.faces->GetPointsNeighbourg(h, unsigned(p), n, type);
            std::set<int> around(r, r + n);
            EXPECT_EQ(around.count(p), 0u);
            for (int q = 0; q < 12; ++q)
                EXPECT_EQ(m.faces->IsPointNeighbourg(unsigned(p), unsigned(q), type), around.count(q) == 1)
                    << "type " << int(type) << ", " << p << " -> " << q;
        }
    }
}

TEST(PointsConnectedToPoints, UnionOfNeighbourhoodsWithoutTheGivenPoints) {
    TestMesh m(6, GridTriangles(2, 1));
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    CFaceGraphHelper h;
    int n;
    const int pair[] = {0, 1};
    const int* r = m.faces->GetPointsConnectedToPoints(h, pair, 2, n, CONNECTION_EDGE);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{2, 3, 4, 5}));
    EXPECT_EQ(m.faces->GetPointsConnectedToPoints(h, pair, 0, n, CONNECTION_EDGE), nullptr);
    EXPECT_EQ(n, 0);
}

// ---- face queries, with the edge graph and with the point graph alone ----

class FaceQueries : public ::testing::TestWithParam<bool> {
protected:
    // The 2 x 1 grid plus a lone triangle (6, 7, 8) as f4.
    FaceQueries() : m(9, [] {
                          auto f = GridTriangles(2, 1);
                          f.push_back({6, 7, 8});
                          return f;
                      }()) {
        m.faces->InitPointToFaceGraph(m.geom);
        if (GetParam()) m.faces->InitEdgeToFaceGraph(m.geom);
    }
    TestMesh m;
    CFaceGraphHelper h;
};

TEST_P(FaceQueries, NeighbouringFaces) {
    int n;
    const int* r = m.faces->GetFacesNeighbourg(h, 0, n, CONNECTION_EDGE);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{1, 3}));
    r = m.faces->GetFacesNeighbourg(h, 0, n, CONNECTION_FACE);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(m.faces->GetFacesNeighbourg(h, 4, n, CONNECTION_EDGE), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(m.faces->GetFacesNeighbourg(h, 99, n, CONNECTION_EDGE), nullptr);
}

TEST_P(FaceQueries, FacesAroundTwoPoints) {
    int n;
    const int* r = m.faces->GetFacesConnectedToPoints(h, 1, 4, n, true);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{1, 2})) << "faces holding both 1 and 4 are dropped";
    r = m.faces->GetFacesConnectedToPoints(h, 1, 4, n, false);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{0, 1, 2, 3}));
    r = m.faces->GetFacesConnectedToPoints(h, 3, 3, n, true);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{1}));
}

TEST_P(FaceQueries, EdgesAndIsolation) {
    EXPECT_TRUE(m.faces->DoesEdgeExists(C3DEdge(4, 1)));
    EXPECT_TRUE(m.faces->DoesEdgeExists(C3DEdge(7, 8)));
    EXPECT_FALSE(m.faces->DoesEdgeExists(C3DEdge(1, 3)));
    EXPECT_FALSE(m.faces->DoesEdgeExists(C3DEdge(4, 4)));
    EXPECT_FALSE(m.faces->IsIsolatedFace(0));
    EXPECT_TRUE(m.faces->IsIsolatedFace(4));
    EXPECT_FALSE(m.faces->IsIsolatedFace(9));

    int n;
    const int* r = m.faces->GetPointsConnectedToEdge(h, C3DEdge(4, 0), n);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{1, 3}));
    r = m.faces->GetPointsConnectedToEdge(h, C3DEdge(0, 1), n);
    EXPECT_EQ(Sorted(r, n), (std::vector<int>{4}));

    CXArray<int> across;
    EXPECT_EQ(m.faces->GetFacesByOppositeEdges(0, across), 3);
    ASSERT_EQ(across.GetSize(), 3);
    // f0 = (0, 1, 4): edge 0-1 is a border, 1-4 borders f3, 4-0 borders f1.
    EXPECT_EQ(std::vector<int>(across.begin(), across.end()), (std::vector<int>{-1, 3, 1}));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutEdgeGraph, FaceQueries, ::testing::Bool());

// Without a graph every query is empty; the face connection and the region border need none.
TEST(FaceQueries, WithoutAGraphOnlyConnectionAndBorderAnswer) {
    TestMesh m(6, GridTriangles(2, 1));
    CFaceGraphHelper h;
    int n = -1;
    EXPECT_EQ(m.faces->GetFacesConnectedToPoints(h, 0, 1, n, true), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(m.faces->GetFacesNeighbourg(h, 0, n, CONNECTION_EDGE), nullptr);
    EXPECT_EQ(m.faces->GetPointsConnectedToEdge(h, C3DEdge(0, 4), n), nullptr);
    EXPECT_FALSE(m.faces->DoesEdgeExists(C3DEdge(0, 4)));
    EXPECT_FALSE(m.faces->IsIsolatedFace(0));
    EXPECT_FALSE(m.faces->IsPointNeighbourg(0, 1, CONNECTION_EDGE));
    CXArray<int> across;
    across.Add(7);
    EXPECT_EQ(m.faces->GetFacesByOppositeEdges(0, across), 0);
    EXPECT_EQ(across.GetSize(), 0);

    EXPECT_TRUE(m.faces->AreFacesConnected(0, 1));
    EXPECT_TRUE(m.faces->AreFacesConnected(3, 0));
    EXPECT_FALSE(m.faces->AreFacesConnected(0, 2)) << "f0 and f2 share point 1 only";
    EXPECT_FALSE(m.faces->AreFacesConnected(0, 0));

    // The border of a region, in face order.
    CXArray<C3DEdge> border;
    border.Add(C3DEdge(9, 9));  // results are appended
    const int region[] = {0, 1};
    EXPECT_EQ(m.faces->GetEdgesOnBorder(region, 2, border), 4);
    ASSERT_EQ(border.GetSize(), 5);
    const C3DEdge expected[] = {C3DEdge(9, 9), C3DEdge(0, 1), C3DEdge(1, 4), C3DEdge(4, 3), C3DEdge(3, 0)};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(border[i], expected[i]) << i;
    // The whole grid: its outline of 6 edges.
    border.SetSize(0);
    const int all[] = {0, 1, 2, 3};
    EXPECT_EQ(m.faces->GetEdgesOnBorder(all, 4, border), 6);
    m.faces->SetFaceFlags(1, FACE_HIDDEN, true);
    EXPECT_FALSE(m.faces->AreFacesConnected(0, 1));
}

// ---- graph edits, checked against a graph rebuilt from scratch ----

// Rebuilds the point-to-face graph and returns both the edited and the rebuilt records as sets.
std::pair<std::vector<std::set<int>>, std::vector<std::set<int>>> EditedAndRebuilt(TestMesh& m) {
    int count = m.points->GetSize();
    auto edited = GraphAsSets(*m.faces, count);
    m.faces->UpdatePointToFaceGraph(m.geom);
    return {edited, GraphAsSets(*m.faces, count)};
}

TEST(GraphEdits, ConnectAndDisconnect) {
    TestMesh m(4, kTwoTriangles);
    EXPECT_FALSE(m.faces->GraphConnectFace(0, 1)) << "no graph";
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    EXPECT_FALSE(m.faces->GraphConnectFace(0, 1)) << "already listed";
    EXPECT_FALSE(m.faces->GraphConnectFace(4, 1)) << "no such point";
    EXPECT_TRUE(m.faces->GraphConnectFace(3, 0));
    EXPECT_EQ(GraphFaces(*m.faces, 3), (std::vector<int>{1, 0}));
    EXPECT_TRUE(m.faces->GraphDisconnectFace(3, 1));
    EXPECT_FALSE(m.faces->GraphDisconnectFace(3, 1));
    EXPECT_EQ(GraphFaces(*m.faces, 3), (std::vector<int>{0}));
}

TEST(GraphEdits, LongRecordsFindEveryPosition) {
    // The hub of a closed fan of 40 triangles: its record is searched in blocks, so faces at
    // the first and last places of a block, in the partial block at the end, and absent ones
    // are each looked for; the record keeps its order after each removal.
    const int n = 40;
    std::vector<Face> fan;
    for (int i = 0; i < n; ++i) fan.push_back({0, 1 + i, 1 + (i + 1) % n});
    TestMesh m(n + 1, fan);
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    std::vector<int> expected(n);
    for (int i = 0; i < n; ++i) expected[i] = i;
    ASSERT_EQ(GraphFaces(*m.faces, 0), expected);
    for (int f : {39, 15, 8, 7, 0, 16, 33}) {
        EXPECT_FALSE(m.faces->GraphConnectFace(0, unsigned(f))) << f << " is listed";
        EXPECT_TRUE(m.faces->GraphDisconnectFace(0, unsigned(f))) << f;
        EXPECT_FALSE(m.faces->GraphDisconnectFace(0, unsigned(f))) << f << " was removed";
        expected.erase(std::find(expected.begin(), expected.end(), f));
        EXPECT_EQ(GraphFaces(*m.faces, 0), expected) << "after removing " << f;
    }
    EXPECT_TRUE(m.faces->GraphConnectFace(0, 15));
    expected.push_back(15);
    EXPECT_EQ(GraphFaces(*m.faces, 0), expected);
    // Merging rim point 9 (faces 7 and 8, both disconnected from the hub) into the hub appends
    // just those two; merging point 17 (faces 15 and 16, only 16 missing) appends 16.
    EXPECT_EQ(m.faces->GraphMergePointConnectivity(9, 0), n - 7 + 1 + 2);
    EXPECT_EQ(m.faces->GraphMergePointConnectivity(17, 0), n - 7 + 1 + 3);
    expected.insert(expected.end(), {7, 8, 16});
    EXPECT_EQ(GraphFaces(*m.faces, 0), expected);
}

TEST(GraphEdits, EdgeFlipMatchesRebuild) {
    // Flip the diagonal of the square: (0, 1, 2), (0, 2, 3) become (0, 1, 3), (1, 2, 3).
    //
    //  3 ---- 2        3 ---- 2
    //  |  f1 /|        | \ f1 |
    //  |   /  |  -->   |   \  |
    //  | / f0 |        | f0  \|
    //  0 ---- 1        0 ---- 1
    TestMesh m(4, {{0, 1, 2}, {0, 2, 3}});
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    CFace f0, f1;
    m.faces->GetFace(0, f0);
    f0.SetTriangle(0, 1, 3);
    m.faces->GetFace(1, f1);
    f1.SetTriangle(1, 2, 3);
    EXPECT_TRUE(m.faces->GraphDisconnectFace(2, 0));
    EXPECT_TRUE(m.faces->GraphDisconnectFace(0, 1));
    EXPECT_TRUE(m.faces->GraphConnectFace(3, 0));
    EXPECT_TRUE(m.faces->GraphConnectFace(1, 1));
    auto [edited, rebuilt] = EditedAndRebuilt(m);
    EXPECT_EQ(edited, rebuilt);
}

TEST(GraphEdits, EdgeContractionMatchesRebuild) {
    // Contract the edge 5 -> 6 in the middle of a 3 x 3 grid the way the engine does: the faces
    // holding both ends die, the others of 5 move to 6, and 5 loses all its faces.
    TestMesh m(16, GridTriangles(3, 3));
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    const int from = 5, to = 6;
    int n;
    const int* around = m.faces->GetFacesConnectedToPoint(from, n);
    std::vector<int> faces(around, around + n);
    int emptied = 0;
    for (int f : faces) {
        Face idx = FaceAt(*m.faces, unsigned(f));
        if (std::count(idx.begin(), idx.end(), to)) {
            emptied += m.faces->GraphRemoveFaceReference(m.geom, unsigned(f), true);
            m.faces->SetFaceFlags(unsigned(f), FACE_INVALID, true);
        } else {
            CFace view;
            m.faces->GetFace(unsigned(f), view);
            view.ReplaceIndex(from, to);
        }
    }
    EXPECT_EQ(emptied, 0) << "every corner of the dying faces keeps other faces";
    int merged = m.faces->GraphMergePointConnectivity(from, to);
    EXPECT_TRUE(GraphFaces(*m.faces, from).empty());
    EXPECT_EQ(merged, int(GraphFaces(*m.faces, to).size()));
    auto [edited, rebuilt] = EditedAndRebuilt(m);
    EXPECT_EQ(edited, rebuilt);
}

TEST(GraphEdits, RemovingAFaceReportsAndMarksOrphanedPoints) {
    // f1 = (0, 2, 3) is the only face of point 3; f2 = (4, 5, 5) uses point 5 twice.
    TestMesh m(6, {{0, 1, 2}, {0, 2, 3}, {4, 5, 5}});
    EXPECT_EQ(m.faces->GraphRemoveFaceReference(m.geom, 1, true), 0) << "no graph";
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
    EXPECT_EQ(m.faces->GraphRemoveFaceReference(m.geom, 1, false), 1);
    EXPECT_FALSE(m.points->GetPt(3)->IsOneFlagSet(POINT_REMOVED));
    EXPECT_EQ(GraphFaces(*m.faces, 0), (std::vector<int>{0}));
    EXPECT_EQ(m.faces->GraphRemoveFaceReference(m.geom, 1, true), 0) << "already removed";
    EXPECT_EQ(m.faces->GraphRemoveFaceReference(m.geom, 2, true), 2);
    EXPECT_TRUE(m.points->GetPt(4)->IsOneFlagSet(POINT_REMOVED));
    EXPECT_TRUE(m.points->GetPt(5)->IsOneFlagSet(POINT_REMOVED));
    EXPECT_FALSE(m.points->GetPt(0)->IsOneFlagSet(POINT_REMOVED));
    EXPECT_EQ(m.faces->GraphRemoveFaceReference(m.geom, 7, true), 0) << "no such face";
}

// Record merges of a point-to-face graph (MergePointToFaceRecords) with and without the pool of
// emptied records: the pool may change where records live but never what they hold, and a pooled
// run of contraction-like merges reuses room instead of growing the buffer.
using Records = std::vector<std::vector<int>>;

Records Contents(const CPointToFaceGraph& graph) {
    Records out(graph.GetSize());
    for (unsigned p = 0; p < graph.GetSize(); ++p) {
        unsigned n;
        const int* v = graph.Get(p, n);
        out[p].assign(v, v + n);
    }
    return out;
}

// Records of 3..9 distinct faces each, with `margin` values of room.
CPointToFaceGraph RandomGraph(std::mt19937& rng, unsigned points, unsigned margin) {
    CPointToFaceGraph graph;
    std::uniform_int_distribution<int> size(3, 9), face(0, 399);
    for (unsigned p = 0; p < points; ++p) {
        std::vector<int> faces;
        const int n = size(rng);
        while (int(faces.size()) < n) {
            const int f = face(rng);
            if (std::find(faces.begin(), faces.end(), f) == faces.end()) faces.push_back(f);
        }
        graph.Add(faces.data(), unsigned(faces.size()), unsigned(faces.size()) + margin);
    }
    return graph;
}

// What a merge must leave: the faces `kept` lacks appended in their order, `removed` empty.
void ModelMerge(Records& model, unsigned removed, unsigned kept) {
    if (removed == kept) return;
    std::vector<int> merged = model[kept];
    for (int f : model[removed])
        if (std::find(model[kept].begin(), model[kept].end(), f) == model[kept].end()) merged.push_back(f);
    model[kept] = merged;
    model[removed].clear();
}


TEST(GraphRecordMerge, PooledAndPlainMergesHoldTheSameFaces) {
    std::mt19937 rng(11);
    CPointToFaceGraph pooled = RandomGraph(rng, 300, 3);
    CPointToFaceGraph plain = pooled;
    Records model = Contents(pooled);
    CGraphRoomPool pool;
    std::vector<unsigned> alive(300);
    for (unsigned p = 0; p < 300; ++p) alive[p] = p;
    // Contraction-like: a live record merges into another live one and dies, until a few remain,
    // so that kept records grow past their room and emptied records of many sizes pile up.
    while (alive.size() > 8) {
        std::uniform_int_distribution<size_t> pick(0, alive.size() - 1);
        const size_t i = pick(rng);
        size_t j = pick(rng);
        if (j == i) j = (j + 1) % alive.size();
        const unsigned removed = alive[i], kept = alive[j];
        ModelMerge(model, removed, kept);
        const int expected = int(model[kept].size());
        ASSERT_EQ(MergePointToFaceRecords(pooled, removed, kept, &pool), expected);
        ASSERT_EQ(MergePointToFaceRecords(plain, removed, kept, nullptr), expected);
        alive.erase(alive.begin() + long(i));
        ASSERT_EQ(Contents(pooled), model) << "after merging " << removed << " into " << kept;
        ASSERT_EQ(Contents(plain), model);
    }
    EXPECT_LT(pooled.GetUsedBytes(), plain.GetUsedBytes()) << "the pool reuses emptied room";
    EXPECT_EQ(MergePointToFaceRecords(pooled, 0, 300, &pool), 0) << "index out of range";
    EXPECT_EQ(MergePointToFaceRecords(pooled, alive[0], alive[0], &pool), int(model[alive[0]].size()));
    EXPECT_EQ(Contents(pooled), model);
}

TEST(GraphRecordMerge, PoolHandsOutOnlyRoomThatIsStillEmpty) {
    CPointToFaceGraph graph;
    const int faces[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    for (int p = 0; p < 6; ++p) graph.Add(faces, 2, 10);  // room for 10 values each
    graph.Add(faces, 2, 40);                              // point 6: room beyond the largest kept size
    for (unsigned p = 1; p < 5; ++p) graph.SetRecord(p, nullptr, 0);

    CGraphRoomPool pool;
    pool.Keep(6, 40);  // too large to be kept
    pool.Keep(0, 5);   // too small
    EXPECT_EQ(pool.GetCount(), 0);
    for (unsigned p = 1; p < 5; ++p) pool.Keep(p, 10);
    graph.SetRecord(4, faces, 3);  // filled again since: stale
    EXPECT_EQ(pool.Take(graph, 11, 99, 99), -1) << "no kept room is large enough";
    EXPECT_EQ(pool.GetCount(), 4);
    // Latest first: 4 is stale, 3 is excluded, both are dropped on the way to 2.
    EXPECT_EQ(pool.Take(graph, 8, 3, 99), 2);
    EXPECT_EQ(pool.GetCount(), 1);
    EXPECT_EQ(pool.Take(graph, 1, 99, 99), 1) << "a small need takes the smallest kept room";
    EXPECT_EQ(pool.Take(graph, 1, 99, 99), -1);

    for (int i = 0; i < CGraphRoomPool::kDepth + 10; ++i) pool.Keep(1, 10);
    EXPECT_EQ(pool.GetCount(), CGraphRoomPool::kDepth) << "a bucket keeps at most kDepth entries";
    pool.Clear();
    EXPECT_EQ(pool.GetCount(), 0);
}

TEST(GraphRecordMerge, OutgrownRecordTakesPooledRoomInPlace) {
    // Point 0 (room 4) outgrows its room when point 1 merges into it; point 2's emptied room of 12
    // is in the pool, so the merged record moves there and the buffer does not grow.
    CPointToFaceGraph graph;
    const int a[4] = {0, 1, 2, 3}, b[4] = {2, 3, 4, 5}, c[1] = {9};
    graph.Add(a, 4, 4);
    graph.Add(b, 4, 4);
    graph.Add(c, 1, 12);
    graph.SetRecord(2, nullptr, 0);
    CGraphRoomPool pool;
    pool.Keep(2, 12);
    const uint64_t used = graph.GetUsedBytes();
    EXPECT_EQ(MergePointToFaceRecords(graph, 1, 0, &pool), 6);
    EXPECT_EQ(graph.GetUsedBytes(), used);
    EXPECT_EQ(Contents(graph), (Records{{0, 1, 2, 3, 4, 5}, {}, {}}));
    EXPECT_EQ(graph.GetElement(0)->GetCapacity(), 12u);
    EXPECT_EQ(graph.GetElement(2)->GetCapacity(), 4u) << "point 2 keeps point 0's old room";
    EXPECT_EQ(pool.GetCount(), 0) << "rooms of 4 are too small to be kept";
}

}  // namespace
}  // namespace kestovar::test
