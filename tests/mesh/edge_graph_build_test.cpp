// The edge-to-face graph build against a reference computed edge by edge: every edge of every
// live face lists its faces once each, in face order, whatever the face sizes (short faces and
// long polygons drop a repeated edge by different means), and the slot-order walk visits each
// edge exactly once with the same faces as the look-up.
#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

#include "adjacency_test_util.h"
#include "kestovar/mesh/edge.h"

namespace kestovar::test {
namespace {

using EdgeFaces = std::map<std::pair<unsigned, unsigned>, std::vector<int>>;

EdgeFaces ReferenceEdges(const CFaceList& list) {
    EdgeFaces out;
    for (int f = 0; f < list.GetSize(); ++f) {
        if (!list.IsFaceLive(unsigned(f))) continue;
        const Face idx = FaceAt(list, unsigned(f));
        for (size_t j = 0; j < idx.size(); ++j) {
            unsigned a = unsigned(idx[j]), b = unsigned(idx[(j + 1) % idx.size()]);
            if (a == b) continue;
            std::vector<int>& faces = out[{std::min(a, b), std::max(a, b)}];
            if (faces.empty() || faces.back() != f) faces.push_back(f);
        }
    }
    return out;
}

void ExpectGraphMatches(const CFaceList& list) {
    const CEdgeToFaceGraph* graph = list.GetEdgeToFaceGraph();
    ASSERT_NE(graph, nullptr);
    const EdgeFaces expected = ReferenceEdges(list);
    EXPECT_EQ(graph->GetCount(), int(expected.size()));
    for (const auto& [edge, faces] : expected) {
        unsigned n;
        const int* got = graph->Find(C3DEdge(edge.first, edge.second), n);
        EXPECT_EQ(std::vector<int>(got, got + n), faces) << "edge " << edge.first << "-" << edge.second;
    }
    EdgeFaces walked;
    int pos = kHashStartPosition;
    C3DEdge key;
    const int* values;
    unsigned n;
    while (graph->GetNext(pos, key, values, n)) {
        auto inserted = walked.emplace(std::make_pair(key.GetP1(), key.GetP2()), std::vector<int>(values, values + n));
        EXPECT_TRUE(inserted.second) << "edge walked twice";
    }
    EXPECT_EQ(walked, expected);
}

TEST(EdgeGraphBuild, RepeatedEdgesOfShortAndLongFacesAreListedOnce) {
    // f0: a triangle folded onto the edge 0-1; f1: a quad along 0-1 twice; f2: a 20-corner polygon
    // that runs along 2-3 three times and along 0-1 once; f3: a plain triangle on 0-1.
    Face longFace = {2, 3, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 3, 2, 14, 15, 0, 1};
    TestMesh m(16, {{0, 1, 0}, {0, 1, 1, 0}, longFace, {1, 0, 5}});
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    ExpectGraphMatches(*m.faces);
    unsigned n;
    const int* faces = m.faces->GetEdgeToFaceGraph()->Find(C3DEdge(1, 0), n);
    EXPECT_EQ(std::vector<int>(faces, faces + n), (std::vector<int>{0, 1, 2, 3}));
}

TEST(EdgeGraphBuild, GridWithHiddenFacesAndPolygonsMatchesTheReference) {
    std::vector<Face> faces = GridTriangles(40, 30);
    // Fans of longer polygons over some of the grid's points, and degenerate faces.
    for (int i = 0; i < 50; ++i) {
        Face poly;
        for (int k = 0; k < 5 + i % 20; ++k) poly.push_back((i * 37 + k * 11) % 1271);
        faces.push_back(poly);
        faces.push_back({i, i, i + 1});
    }
    TestMesh m(41 * 31, faces);
    for (int f = 0; f < int(faces.size()); f += 7) m.faces->SetFaceFlags(unsigned(f), FACE_HIDDEN, true);
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    ExpectGraphMatches(*m.faces);
}

}  // namespace
}  // namespace kestovar::test
