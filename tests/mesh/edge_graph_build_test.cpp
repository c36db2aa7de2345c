// The edge-to-face graph build against a reference computed edge by edge: every edge of every
// live face lists its faces once each, in face order, whatever the face sizes (short faces and
// long polygons drop a repeated edge by different means), and the slot-order walk visits each
// edge exactly once with the same faces as the look-up. Then the whole built state, pinned bit for
// bit on meshes that stress the build's corners: slot positions of the walk, record numbering,
// capacities and the record buffer's layout (a different insertion order, a missed rehash or a
// record grown at another moment changes a pin).
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "adjacency_test_util.h"
#include "kestovar/mesh/edge.h"
#include "test_util.h"

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

// Everything observable of a built graph: slot count, the slot-order walk with positions, and
// every record in index order with its offset, count, capacity and values, then the buffer's
// used, slack and allocated bytes.
uint64_t HashBuiltGraph(const CEdgeToFaceGraph& graph) {
    Fnv h;
    HashEdgeWalk(h, graph, false);
    const CEdgeToFaceGraph::Lists& lists = graph.GetLists();
    HashRecords(h, lists, true);
    const uint64_t bytes[3] = {lists.GetUsedBytes(), lists.GetSlack(), lists.GetAllocatedBytes()};
    h.Add(bytes, sizeof bytes);
    return h.h;
}

uint64_t BuildAndHash(int pointCount, const std::vector<Face>& faces, unsigned hideEvery = 0) {
    TestMesh m(pointCount, faces);
    if (hideEvery)
        for (size_t f = 0; f < faces.size(); f += hideEvery) m.faces->SetFaceFlags(unsigned(f), FACE_HIDDEN, true);
    EXPECT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    ExpectGraphMatches(*m.faces);
    return HashBuiltGraph(*m.faces->GetEdgeToFaceGraph());
}

// The triangles of a w x h grid in a scrambled order (face f goes to position f * 7919 mod the
// count), then quads over every `qx`-th cell of every `qy`-th row.
std::vector<Face> ShuffledGridWithQuads(int w, int h, int qx, int qy) {
    const std::vector<Face> grid = GridTriangles(w, h);
    std::vector<Face> faces(grid.size());
    for (size_t f = 0; f < grid.size(); ++f) faces[(f * 7919) % grid.size()] = grid[f];
    const int row = w + 1;
    for (int y = 0; y < h; y += qy)
        for (int x = 0; x < w; x += qx) faces.push_back({y * row + x, y * row + x + 1, y * row + x + row + 1, y * row + x + row});
    return faces;
}

TEST(EdgeGraphBuild, LargeShuffledGridsAreBitIdentical) {
    // 60k triangles in a scrambled face order (the first face of an edge is far from the
    // second), quads over part of the grid, every 13th face hidden: a table of about 200k slots.
    EXPECT_EQ(BuildAndHash(201 * 151, ShuffledGridWithQuads(200, 150, 5, 3), 13), 9891897069333275223ull);
    // 200k triangles, every 11th face hidden: a table of about 650k slots, large enough to be
    // claimed through the map loader's window of slots, which slides over it and copies the
    // slots it leaves to the table.
    EXPECT_EQ(BuildAndHash(331 * 301, ShuffledGridWithQuads(330, 300, 7, 4), 11), 9725488697670781813ull);
}

TEST(EdgeGraphBuild, LargeGridInPointOrderWithOtherFacesIsBitIdentical) {
    // 200k triangles in the order of their points, as generated meshes come: the build loads the
    // edges in face order. Spread among them, faces that are not plain triangles (each ends the
    // batch before it): quads, a 20-corner polygon that runs along a row of the grid and back
    // (its edges checked for repeats in the table), a degenerate face, a fin (a third face on a
    // grid edge, so that the edge's record outgrows its room); every 11th face hidden.
    std::vector<Face> faces = GridTriangles(330, 300);
    const int row = 331;
    for (int i = 0; i < 400; ++i) {
        const int at = int((size_t(i) * 49999) % faces.size());
        const int p = at / 2 % (330 * 300) / 330 * row + at / 2 % 330;
        Face quad = {p, p + 1, p + row + 1, p + row};
        if (i % 4 == 1) {
            const int start = p % row + 10 < row ? p : p - 10;
            quad.clear();
            for (int k = 0; k < 10; ++k) quad.push_back(start + k);
            for (int k = 9; k >= 0; --k) quad.push_back(start + k);
        } else if (i % 4 == 2) {
            quad = {p, p, p + 1};
        } else if (i % 4 == 3) {
            quad = {p, p + 1, p + 2 * row};
        }
        faces.insert(faces.begin() + at, quad);
    }
    EXPECT_EQ(BuildAndHash(331 * 301, faces, 11), 8515515996497784207ull);
}

// Probes the insertions of `faces`' edges (in face order) take in a table of `slots` slots under
// the map's slot arithmetic: home = edge hash mod slots, then the offsets 1, 4, 9, ... (the
// probes past the home slot, summed, and the longest run of them).
void ProbeEdges(const std::vector<Face>& faces, unsigned slots, uint64_t& total, unsigned& longest) {
    std::vector<std::pair<unsigned, unsigned>> table(slots, {UINT_MAX, UINT_MAX});
    total = 0;
    longest = 0;
    for (const Face& f : faces)
        for (size_t j = 0; j < f.size(); ++j) {
            const C3DEdge e(static_cast<unsigned>(f[j]), static_cast<unsigned>(f[(j + 1) % f.size()]));
            unsigned pos = CHashMethods<C3DEdge>::Hash(e) % slots, probes = 0;
            for (unsigned step = 1; table[pos].first != UINT_MAX; step += 2, ++probes) {
                if (table[pos] == std::make_pair(e.GetP1(), e.GetP2())) break;
                pos = unsigned((uint64_t(pos) + step) % slots);
            }
            table[pos] = {e.GetP1(), e.GetP2()};
            total += probes;
            longest = std::max(longest, probes);
        }
}

TEST(EdgeGraphBuild, GridsOfAnyWidthFindFreeSlotsQuickly) {
    // The edge hash follows the point indices, so a regular grid fills the table in a regular
    // pattern; where the hash wraps around the table the two passes collide. Quadratic probing
    // only reaches some residues of a short period, so a hash whose steps repeat every few slots
    // made some widths probe hundreds of slots per edge (a 499 x 499 grid took a second to build).
    for (int w : {100, 128, 256, 299, 300, 324, 359, 415, 499, 500, 512, 527, 611, 639}) {
        const std::vector<Face> faces = GridTriangles(w, 60);
        TestMesh m((w + 1) * 61, faces);
        ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
        uint64_t total;
        unsigned longest;
        ProbeEdges(faces, m.faces->GetEdgeToFaceGraph()->GetHashCapacity(), total, longest);
        const double edges = double(faces.size()) * 3.0;
        SCOPED_TRACE(w);
        // Hashes with whole steps gave means of 1.3 to 33 probes per edge and runs of 23 to 472
        // at some of these widths; this one stays below 0.6 and 10.
        EXPECT_LT(double(total) / edges, 1.0);
        EXPECT_LT(longest, 20u);
    }
}

TEST(EdgeGraphBuild, TriangleSoupThatOutgrowsTheTableIsBitIdentical) {
    // Every triangle on its own points: three times as many edges as the table was sized for from
    // the corner count, so the build rehashes part-way.
    std::vector<Face> faces;
    for (int f = 0; f < 20000; ++f) faces.push_back({3 * f, 3 * f + 1, 3 * f + 2});
    // A few shared edges among them, and long polygons whose repeated edges the table drops.
    for (int f = 0; f < 300; ++f) faces.push_back({3 * f, 3 * f + 1, 3 * f + 7});
    for (int i = 0; i < 20; ++i) {
        Face poly;
        for (int k = 0; k < 24; ++k) poly.push_back((i * 101 + (k % 12) * 13) % 60000);
        faces.push_back(poly);
    }
    EXPECT_EQ(BuildAndHash(60000, faces), 10204066671089476611ull);
}

TEST(EdgeGraphBuild, StackedFacesThatOutgrowTheirRecordsAreBitIdentical) {
    // Triangles of a grid repeated 1 to 6 times: edges with up to 12 faces grow their records
    // several times during the build, leaving slack that the record buffer compacts away when it
    // runs out of room.
    const std::vector<Face> grid = GridTriangles(120, 80);
    std::vector<Face> faces;
    for (size_t f = 0; f < grid.size(); ++f)
        for (size_t copy = 0; copy <= (f * 5) % 6; ++copy) faces.push_back(grid[(f + copy * 977) % grid.size()]);
    EXPECT_EQ(BuildAndHash(121 * 81, faces, 17), 18131684907176097765ull);
}

TEST(EdgeGraphBuild, ABookOfFacesOnOneSpineKeepsFaceOrder) {
    // 3000 triangles on the edge 0-1, between and after the faces of a grid: every occurrence of
    // the spine hashes to the same slot, far past the share of edges its part of the table
    // expects, and its faces must still come out in face order, as the grid's edges around it.
    std::vector<Face> faces = GridTriangles(50, 40);
    const int firstLeaf = 51 * 41;
    for (int i = 0; i < 3000; ++i) {
        const Face leaf = i % 2 ? Face{0, 1, firstLeaf + i} : Face{firstLeaf + i, 1, 0};
        faces.insert(faces.begin() + (i * 7) % int(faces.size()), leaf);
    }
    TestMesh m(firstLeaf + 3000, faces);
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    ExpectGraphMatches(*m.faces);
    EXPECT_EQ(m.faces->GetEdgeToFaceGraph()->GetValueCount(C3DEdge(1, 0)), 3000u + 1u);
}

TEST(EdgeGraphBuild, EdgesPastTheRoomASampleGaveTheirBlocksKeepFaceOrder) {
    // A shuffled grid of 60k triangles (loaded by block), then eight polygons in a row, each
    // running back and forth 3000 times along one grid edge: a sample of the faces sees one of
    // the eight, so the blocks of the other seven edges get thousands of edges past their room.
    // Those go round the rooms and must still reach the table in face order, as the one-by-one
    // load would put them.
    std::vector<Face> faces = ShuffledGridWithQuads(200, 150, 9, 5);
    const int row = 201;
    for (int i = 0; i < 8; ++i) {
        const int a = (17 + i * 18) * row + 3 + i * 23;
        Face zigzag;
        for (int k = 0; k < 3000; ++k) zigzag.push_back(k % 2 ? a + row : a);
        faces.insert(faces.begin() + 24000, zigzag);
    }
    faces.push_back({0, 1, row});
    EXPECT_EQ(BuildAndHash(201 * 151, faces, 19), 1547149853023661934ull);
}

// The build takes plain triangles in batches and computes their edges' home slots together
// (four lanes at a time where the processor allows); any other face empties the batch first.
// Faces that are not plain triangles next to every batch boundary, hidden faces among them, and
// edges whose ends spread over the whole index range (the lanes' 64-bit keys and the reduction's
// partial products) must give the table and records of the edge-at-a-time build.
TEST(EdgeGraphBuild, TrianglesReadEightAtATimeAgreeWithTheReferenceAtEveryCount) {
    // Plain triangles in records that follow each other are read eight at a time, into batches
    // of 64 faces. Counts around the group and batch sizes end the groups and the batches at every
    // offset; a group that holds another face (a quad, whose grown record moved away, a two-corner
    // face, a repeated corner) is read face by face, and the groups after it eight at a time again.
    const std::vector<Face> grid = GridTriangles(40, 2);
    for (size_t count : {1, 7, 8, 9, 15, 16, 17, 56, 63, 64, 65, 71, 72, 73, 120, 127, 128, 129, 136, 137, 160})
        BuildAndHash(41 * 3, std::vector<Face>(grid.begin(), grid.begin() + ptrdiff_t(count)));
    std::vector<Face> mixed = grid;
    mixed[13] = Face{13, 14, 55, 54};
    mixed[70] = Face{70, 71};
    mixed[101] = Face{30, 30, 72};
    mixed[159] = Face{1, 2, 43, 42};
    BuildAndHash(41 * 3, mixed);
}

TEST(EdgeGraphBuild, BatchedHomesKeepOrderAtBatchEdgesAndOverTheIndexRange) {
    std::vector<Face> faces = GridTriangles(40, 12);
    for (int at : {63, 64, 65, 128, 191, 193, 256}) faces.insert(faces.begin() + at, Face{at, at + 1, at + 42, at + 41});
    faces.insert(faces.begin() + 127, Face{9, 9, 50});
    EXPECT_EQ(BuildAndHash(41 * 13, faces, 64), 2033789757300790838ull);

    // No point list: the build counts the points from the largest index, so the indices may
    // reach INT_MAX - 1 without a point per index.
    std::vector<Face> wide;
    const unsigned spread[] = {0u, 1u, 0x7FFFFFFEu, 0x40000000u, 0x7FFF0001u, 0x12345678u, 0x00FFFFFFu, 0x5A5A5A5Au};
    for (unsigned i = 0; i < 300; ++i) {
        const int p = int(spread[i % 8] - (spread[i % 8] > 0x70000000u ? i * 7 : 0u) + (spread[i % 8] < 0x70000000u ? i * 7 : 0u));
        wide.push_back({p, p + 1 + int(i % 3), p + 5});
        wide.push_back({p + 5, p + 1 + int(i % 3), p + 6});
    }
    Owned<C3DFaceList> list = C3DFaceList::Create();
    FillFaces(*list, wide);
    ASSERT_TRUE(list->InitEdgeToFaceGraph(nullptr));
    ExpectGraphMatches(*list);
    EXPECT_EQ(HashBuiltGraph(*list->GetEdgeToFaceGraph()), 17116739000426813336ull);
}

// Both graph builds take a shortcut for triangles of three distinct points in range, the point
// graph a second one when every live face is such a triangle. A face that is not (a repeated
// corner, a quad) must send the build back to the general rules wherever it sits, and a bad
// index must be caught in any corner, the negative ones included.
TEST(EdgeGraphBuild, PlainTrianglesAndOtherFacesAgreeWithTheReference) {
    const std::vector<Face> grid = GridTriangles(30, 20);
    const int points = 31 * 21;
    std::vector<std::vector<Face>> lists = {grid};
    for (size_t at : {size_t(0), grid.size() / 2, grid.size()}) {
        for (const Face& odd : {Face{5, 6, 5}, Face{7, 7, 40}, Face{8, 9, 40, 39}}) {
            std::vector<Face> faces = grid;
            faces.insert(faces.begin() + long(at), odd);
            lists.push_back(faces);
        }
    }
    for (const std::vector<Face>& faces : lists) {
        for (unsigned hideEvery : {0u, 5u}) {
            TestMesh m(points, faces);
            if (hideEvery)
                for (size_t f = 1; f < faces.size(); f += hideEvery) m.faces->SetFaceFlags(unsigned(f), FACE_HIDDEN, true);
            ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));
            ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
            const std::map<int, std::set<int>> expected = ReferencePointFaces(*m.faces);
            for (int p = 0; p < points; ++p) {
                const std::vector<int> got = GraphFaces(*m.faces, p);
                const auto it = expected.find(p);
                const std::vector<int> want = it == expected.end() ? std::vector<int>() : std::vector<int>(it->second.begin(), it->second.end());
                ASSERT_EQ(got, want) << "point " << p << " of a list of " << faces.size() << " faces";
            }
            ExpectGraphMatches(*m.faces);
        }
    }
    for (int bad : {-1, points, INT_MAX}) {
        for (int corner = 0; corner < 3; ++corner) {
            std::vector<Face> faces = grid;
            faces[faces.size() / 2][size_t(corner)] = bad;
            TestMesh m(points, faces);
            EXPECT_TRUE(RaisesInvalidArg([&] { m.faces->InitPointToFaceGraph(m.geom); })) << bad << " at " << corner;
            EXPECT_TRUE(RaisesInvalidArg([&] { m.faces->InitEdgeToFaceGraph(m.geom); })) << bad << " at " << corner;
            EXPECT_FALSE(m.faces->HasPointToFaceGraph());
            EXPECT_FALSE(m.faces->HasEdgeToFaceGraph());
        }
    }
}

TEST(EdgeGraphBuild, EmptyAndAllHiddenListsGiveEmptyGraphs) {
    for (bool hide : {false, true}) {
        TestMesh m(10, hide ? std::vector<Face>{{0, 1, 2}, {2, 3, 4, 5}} : std::vector<Face>{});
        if (hide)
            for (unsigned f = 0; f < 2; ++f) m.faces->SetFaceFlags(f, FACE_HIDDEN, true);
        ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
        ExpectGraphMatches(*m.faces);  // no edge, and a walk that visits none
    }
}

TEST(EdgeGraphBuild, OutOfRangeIndexThrowsAndKeepsTheOldGraph) {
    TestMesh m(4, {{0, 1, 2}, {1, 2, 3}});
    ASSERT_TRUE(m.faces->InitEdgeToFaceGraph(m.geom));
    const CEdgeToFaceGraph* before = m.faces->GetEdgeToFaceGraph();
    CFace view;
    ASSERT_TRUE(m.faces->GetFace(1, view));
    const int bad[3] = {1, 2, 4};
    view.SetIndexes(bad, 3);
    EXPECT_TRUE(RaisesInvalidArg([&] { m.faces->UpdateEdgeToFaceGraph(m.geom); }));
    EXPECT_EQ(m.faces->GetEdgeToFaceGraph(), before);
    EXPECT_EQ(before->GetValueCount(C3DEdge(1, 2)), 2u);
}

}  // namespace
}  // namespace kestovar::test
