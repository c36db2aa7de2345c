// The graph builds and the weld, bit for bit: hashes of everything a caller can observe of the
// point-to-face and edge-to-face graphs (records in index order with their capacities, the hash
// map's slot count and slot-order walk) and of an object after Weld3DPoints (points with their
// flags, faces with their flags, channel faces), compared with the values the plain
// implementations produced. A faster build or weld that changes an order, a record numbering, a
// capacity or a surviving point changes a hash.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "adjacency_test_util.h"
#include "cleanup_test_util.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/edge.h"
#include "test_util.h"

namespace kestovar::test {
namespace {

struct Mesh {
    std::vector<P3> points;
    std::vector<Poly> faces;
};

Mesh Bunny() {
    Mesh m;
    LoadBunny(m.points, m.faces);
    return m;
}

// Every face gets its own copies of its corners (the layout of a file without shared points).
Mesh SplitPerFace(const Mesh& m) {
    Mesh out;
    for (const Poly& f : m.faces) {
        Poly g;
        for (int v : f) {
            g.push_back(int(out.points.size()));
            out.points.push_back(m.points[size_t(v)]);
        }
        out.faces.push_back(g);
    }
    return out;
}

// A w x h grid of quads split into triangles, split per face, with heights (x * y mod 7) / 1000
// (several coordinates near zero, where the tolerance-0 weld must look at neighbouring cells).
Mesh SplitGrid(int w, int h) {
    Mesh m;
    auto add = [&](int x, int y) {
        m.points.push_back({float(x) * 0.01f, float(y) * 0.01f, float((x * y) % 7) * 0.001f});
        return int(m.points.size()) - 1;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int a = add(x, y), b = add(x + 1, y), c = add(x + 1, y + 1);
            m.faces.push_back({a, b, c});
            a = add(x, y), b = add(x + 1, y + 1), c = add(x, y + 1);
            m.faces.push_back({a, b, c});
        }
    return m;
}

uint64_t HashPointGraph(const CPointToFaceGraph& graph) {
    Fnv h;
    HashRecords(h, graph);
    return h.h;
}

uint64_t HashEdgeGraph(const CEdgeToFaceGraph& graph) {
    Fnv h;
    HashEdgeWalk(h, graph, true);
    HashRecords(h, graph.GetLists());
    return h.h;
}

uint64_t HashObject(const C3DObject& object) {
    Fnv h;
    const C3DPointList& points = *object.GetPointList();
    h.Add(uint32_t(points.GetSize()));
    for (int i = 0; i < points.GetSize(); ++i) {
        h.Add(points.GetAt(i).ValPtr(), 3 * sizeof(float));
        h.Add(points.GetPointFlags(i));
    }
    const C3DFaceList& faces = *object.GetFaceList();
    h.Add(uint32_t(faces.GetSize()));
    for (int f = 0; f < faces.GetSize(); ++f) {
        int k;
        const int* idx = faces.GetIndexes(unsigned(f), k);
        h.Add(uint32_t(k));
        h.Add(faces.GetFaceFlags(unsigned(f)));
        h.Add(idx, size_t(k) * sizeof(int));
    }
    if (const CDependentChannels* channels = object.GetChannels())
        for (int c = 0; c < channels->GetSize(); ++c)
            if (const CFaceList* faces = channels->GetChannel(c)->GetFaceList())
                for (const Poly& f : ReadFaces(*faces)) h.Add(f.data(), f.size() * sizeof(int));
    return h.h;
}

struct Graphs {
    uint64_t point, edge;
};

Graphs BuildAndHash(const Mesh& m, const std::vector<unsigned>& hidden = {}) {
    TestMesh t(0, m.faces);
    for (const P3& p : m.points) t.points->Add(p[0], p[1], p[2]);
    for (unsigned f : hidden) t.faces->SetFaceFlags(f, FACE_HIDDEN, true);
    EXPECT_TRUE(t.faces->InitPointToFaceGraph(t.geom));
    EXPECT_TRUE(t.faces->InitEdgeToFaceGraph(t.geom));
    return {HashPointGraph(*t.faces->GetPointToFaceGraph()), HashEdgeGraph(*t.faces->GetEdgeToFaceGraph())};
}

TEST(GraphGolden, BunnyGraphsAreBitIdentical) {
    const Mesh bunny = Bunny();
    ASSERT_EQ(bunny.faces.size(), 75408u);
    const Graphs g = BuildAndHash(bunny);
    EXPECT_EQ(g.point, 0xd444ed2eb6ef7784ull);
    EXPECT_EQ(g.edge, 0xc5418b6d470b314bull);
}

TEST(GraphGolden, PolygonsRepeatedCornersAndHiddenFacesAreBitIdentical) {
    // A grid with fans of long polygons (some above the length whose repeated edges are found by
    // the table), faces with repeated corners, non-manifold edges, hidden faces and unused points.
    Mesh m;
    for (int i = 0; i < 61 * 41 + 10; ++i) m.points.push_back({float(i), 0.0f, 0.0f});
    for (const Face& f : GridTriangles(60, 40)) m.faces.push_back(f);
    for (int i = 0; i < 120; ++i) {
        Poly poly;
        for (int k = 0; k < 3 + i % 30; ++k) poly.push_back((i * 53 + k * 17) % 2501);
        m.faces.push_back(poly);
        m.faces.push_back({i, i, i + 1});
        m.faces.push_back({i + 1, i + 2, i + 1, i + 2});
    }
    std::vector<unsigned> hidden;
    for (unsigned f = 0; f < m.faces.size(); f += 9) hidden.push_back(f);
    const Graphs g = BuildAndHash(m, hidden);
    EXPECT_EQ(g.point, 0xe2b4057d3d289785ull);
    EXPECT_EQ(g.edge, 0xda2415514b9703bfull);
}

TEST(GraphGolden, RepeatedCornersGiveAPointEachFaceOnceInRecordsOfExactSize) {
    // Triangles repeating a corner in each position, a quad folded onto an edge, and polygons
    // above the length whose repeats are found by marking points, between plain triangles.
    std::vector<Face> faces = GridTriangles(6, 5);
    Face longFace, otherLongFace;
    for (int k = 0; k < 40; ++k) longFace.push_back((k * 7) % 13);
    for (int k = 0; k < 30; ++k) otherLongFace.push_back(20 + (k * 5) % 11);
    faces.insert(faces.begin() + 5, longFace);
    faces.insert(faces.begin() + 9, {3, 3, 4});
    faces.insert(faces.begin() + 12, {4, 5, 4});
    faces.insert(faces.begin() + 20, {6, 7, 7});
    faces.insert(faces.begin() + 21, {8, 9, 8, 9});
    faces.push_back(otherLongFace);
    faces.push_back({1, 2, 3});
    TestMesh m(7 * 6, faces);
    m.faces->SetFaceFlags(21, FACE_HIDDEN, true);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(m.faces->UpdatePointToFaceGraph(m.geom));
        const CPointToFaceGraph& g = *m.faces->GetPointToFaceGraph();
        const auto reference = ReferencePointFaces(*m.faces);
        uint64_t packed = 0;
        for (int p = 0; p < 42; ++p) {
            const auto it = reference.find(p);
            const std::vector<int> expected = it == reference.end() ? std::vector<int>()
                                                                    : std::vector<int>(it->second.begin(), it->second.end());
            EXPECT_EQ(GraphFaces(*m.faces, p), expected) << "point " << p;
            EXPECT_EQ(g.GetElement(unsigned(p))->GetCapacity(), g.GetElement(unsigned(p))->GetSize());
            packed += CPointToFaceGraph::RecordBytes(unsigned(expected.size()));
        }
        EXPECT_EQ(g.GetAllocatedBytes(), packed);
        EXPECT_EQ(g.GetUsedBytes(), packed);
    }
}

uint64_t WeldAndHash(const Mesh& m, double tolerance, bool withChannel, bool expectChange = true) {
    Owned obj = MakeObject(m.points, m.faces);
    if (withChannel) AddOffsetChannel(*obj, 3);
    EXPECT_EQ(obj->Weld3DPoints(tolerance, false, 0, 0), expectChange);
    const uint64_t h = HashObject(*obj);
    return h;
}

TEST(WeldGolden, SplitMeshesWeldBitIdentically) {
    const Mesh bunny = SplitPerFace(Bunny());
    const Mesh grid = SplitGrid(70, 50);
    // Exact matches on the bunny (no coordinate near zero) and on the grid (several), the bunny
    // with a channel that must follow, and a tolerance that takes the general grid weld.
    EXPECT_EQ(WeldAndHash(bunny, 0.0, false), 0x76369cb27854f665ull);
    EXPECT_EQ(WeldAndHash(grid, 0.0, false), 0x076014ca7e3c9421ull);
    EXPECT_EQ(WeldAndHash(bunny, 0.0, true), 0xd08b0cce3d4bba45ull);
    EXPECT_EQ(WeldAndHash(grid, 0.004, false), 0x076014ca7e3c9421ull);
    // Welding collapses faces of the grid at a coarse tolerance: degenerate faces go.
    EXPECT_EQ(WeldAndHash(grid, 0.02, true), 0x588046329c9c34c9ull);
    // Nothing to merge: the mesh with shared points stays as it is.
    EXPECT_EQ(WeldAndHash(Bunny(), 0.0, false, false), 0x21af6d14e7fc24c5ull);
}

// An object kind of its own: the weld hands it to the general renumbering and Clean instead of
// the shortcut it takes for plain C3DObjects, so the two can be compared.
class GeneralPathObject : public C3DObject {
public:
    using C3DObject::C3DObject;
};

uint64_t WeldEitherWay(const Mesh& m, double tolerance, bool general, const std::vector<unsigned>& invalid = {}) {
    C3DPointList* pl = C3DPointList::Create();
    for (const P3& p : m.points) pl->Add(p[0], p[1], p[2]);
    C3DFaceList* fl = C3DFaceList::Create();
    WriteFaces(*fl, m.faces);
    for (unsigned f : invalid) fl->SetFaceFlags(f, FACE_INVALID, true);
    Owned obj = general ? new GeneralPathObject(pl, fl, nullptr) : new C3DObject(pl, fl, nullptr);
    AddOffsetChannel(*obj, 2);
    // Weight i on point i, a channel that follows the point remap.
    CWeightChannel* weights = new CWeightChannel(kNewChannelID, true);
    for (size_t i = 0; i < m.points.size(); ++i) weights->GetWeightPointList()->Add(float(i));
    obj->GetChannels()->AddChannel(weights);
    obj->Weld3DPoints(tolerance, false, 0, 0);
    Fnv h;
    h.h = HashObject(*obj);
    EXPECT_EQ(obj->GetChannels()->GetSize(), 2);
    const CWeightPointList& w = *weights->GetWeightPointList();
    for (int i = 0; i < w.GetSize(); ++i) h.Add(w.GetAt(i).weight);
    return h.h;
}

TEST(WeldGolden, ShortcutAfterTheWeldEqualsTheGeneralCleanUp) {
    // Split triangles and quads (the shortcut), a quad whose welded corners repeat two apart and
    // a triangle that collapses (degenerate faces: the general way), a face already invalid, and
    // points no face uses.
    Mesh m = SplitGrid(12, 9);
    const int base = int(m.points.size());
    for (const P3& p : {P3{0.0f, 0.0f, 0.0f}, P3{0.01f, 0.0f, 0.0f}, P3{0.01f, 0.01f, 0.0f}, P3{5.0f, 5.0f, 5.0f}})
        m.points.push_back(p);
    m.faces.push_back({base, base + 1, base + 2, base + 3});
    Mesh collapsing = m;
    collapsing.points.push_back({0.01f, 0.0f, 0.0f});
    collapsing.faces.push_back({base + 1, int(collapsing.points.size()) - 1, base + 3});
    Mesh folded = m;
    folded.faces.push_back({0, base + 3, base, base + 2});
    struct Case {
        const Mesh* mesh;
        double tolerance;
        std::vector<unsigned> invalid;
    };
    const Case cases[] = {{&m, 0.0, {}}, {&m, 0.003, {}}, {&collapsing, 0.0, {}}, {&folded, 0.0, {}}, {&m, 0.0, {7, 40}}};
    for (const Case& c : cases)
        EXPECT_EQ(WeldEitherWay(*c.mesh, c.tolerance, false, c.invalid), WeldEitherWay(*c.mesh, c.tolerance, true, c.invalid))
            << "tolerance " << c.tolerance << ", " << c.mesh->faces.size() << " faces";
}

}  // namespace
}  // namespace kestovar::test
