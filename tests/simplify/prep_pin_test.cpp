// The preparation's exact output, pinned: point flags of the initial and the working mesh, the
// working quadrics, every candidate record (indices, cost bits, position bytes, flag byte) and the
// heap layout, hashed after InitOptimization(false) and compared with the values recorded from
// the first correct run. The preparation is tuned for speed (shared face-normal passes, fewer
// graphs, fewer fills); none of that may change a single bit of what the loop starts from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

#include "simplify/loop_test_util.h"
#include "test_util.h"

namespace kestovar::test {
namespace {

using namespace looptest;

struct PrepHashes {
    uint64_t flags;   // initial and working point flags
    uint64_t costs;   // quadrics and candidate records
    uint64_t heap;    // record index of every heap slot
};

PrepHashes Prepare(Engine& e) {
    EXPECT_TRUE(e.object->InitOptimization(false));
    PrepHashes h{};
    Fnv flags;
    const C3DPointList& initial = *e.object->GetInitialPointList();
    for (int i = 0; i < initial.GetSize(); ++i) flags.Add(uint32_t(initial.GetAt(i).GetFlags()));
    const CExtPointList& points = e.Points();
    for (int i = 0; i < points.GetSize(); ++i) flags.Add(uint32_t(points.GetAt(i).GetFlags()));
    h.flags = flags.h;

    Fnv costs;
    const CSymMatrix* q = points.GetQuadrics();
    costs.Add(q, sizeof(CSymMatrix) * size_t(points.GetSize()));
    const CXArray<CContractionCost>& recs = e.object->GetCostArray();
    costs.Add(uint32_t(recs.GetSize()));
    for (int i = 0; i < recs.GetSize(); ++i) {
        const CContractionCost& r = recs[i];
        costs.Add(uint32_t(r.first));
        costs.Add(uint32_t(r.second));
        costs.Add(r.cost);
        costs.Add(r.position, sizeof r.position);
        costs.Add(uint32_t(r.flags));
    }
    h.costs = costs.h;

    Fnv heap;
    const CostHeap& hp = e.object->GetCostHeap();
    heap.Add(uint32_t(hp.GetCount()));
    for (unsigned i = 1; i <= hp.GetCount(); ++i) heap.Add(uint32_t(hp.GetSlot(i) - recs.GetData()));
    h.heap = heap.h;
    EXPECT_TRUE(hp.CheckConsistency());
    return h;
}

// Number of initial points carrying `bit`, so that each case is known to exercise the feature.
int CountInitial(const Engine& e, unsigned bit) {
    const C3DPointList& initial = *e.object->GetInitialPointList();
    int n = 0;
    for (int i = 0; i < initial.GetSize(); ++i) n += initial.GetAt(i).IsFlagSet(bit) ? 1 : 0;
    return n;
}

// A closed box of n x n cells per side, every side bulged a little so that only the edges and the
// corners of the box are sharp; each side is a material of its own. The sides meet on exactly
// equal coordinates (the bulge vanishes on the edges), where their points are welded.
ObjMesh Box(int n) {
    ObjMesh m;
    std::map<std::tuple<float, float, float>, int> welded;
    auto point = [&](double x, double y, double z) {
        const auto key = std::make_tuple(float(x), float(y), float(z));
        auto it = welded.find(key);
        if (it != welded.end()) return it->second;
        const int i = AddPoint(m, x, y, z);
        welded.emplace(key, i);
        return i;
    };
    auto side = [&](int axis, double sign) {
        std::vector<int> grid;
        for (int j = 0; j <= n; ++j)
            for (int i = 0; i <= n; ++i) {
                const double u = 2.0 * i / n - 1.0, v = 2.0 * j / n - 1.0;
                double c[3];
                c[axis] = sign * (1.0 + 0.05 * (1.0 - u * u) * (1.0 - v * v));
                c[(axis + 1) % 3] = sign > 0 ? u : v;
                c[(axis + 2) % 3] = sign > 0 ? v : u;
                grid.push_back(point(c[0], c[1], c[2]));
            }
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const int a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
                AddTriangle(m, grid[size_t(a)], grid[size_t(b)], grid[size_t(d)], unsigned(axis));
                AddTriangle(m, grid[size_t(a)], grid[size_t(d)], grid[size_t(c)], unsigned(axis));
            }
    };
    for (int axis = 0; axis < 3; ++axis) {
        side(axis, 1.0);
        side(axis, -1.0);
    }
    return m;
}

ObjMesh Load(const char* file) {
    ObjMesh mesh;
    EXPECT_TRUE(objtest::LoadObj(DataPath(file), mesh)) << file;
    return mesh;
}

void ExpectHashes(const PrepHashes& got, uint64_t flags, uint64_t costs, uint64_t heap) {
    EXPECT_EQ(got.flags, flags) << std::hex << "flags 0x" << got.flags;
    EXPECT_EQ(got.costs, costs) << std::hex << "costs 0x" << got.costs;
    EXPECT_EQ(got.heap, heap) << std::hex << "heap 0x" << got.heap;
}

TEST(PrepPin, BunnyWithCornerConstraints) {
    const ObjMesh bunny = Load("../../data/bunny00.obj");
    Engine e(bunny, OPT_CHECK_FLIP | OPT_CONSTRAIN_CORNERS | OPT_CONSTRAIN_BORDER);
    ExpectHashes(Prepare(e), 0x7016fa276b05663ull, 0xbd3ac9ce3841f8d0ull, 0x5c84f56eed1df1c5ull);
}

// Sharp box edges and eight 3D corners, material frontiers along the edges.
TEST(PrepPin, BoxWithSharpCorners) {
    Engine e(Box(6), OPT_CONSTRAIN_CORNERS | OPT_KEEP_MATERIAL | OPT_CONSTRAIN_MATERIAL);
    const PrepHashes h = Prepare(e);
    EXPECT_EQ(CountInitial(e, POINT_3D_CORNER), 8);
    EXPECT_EQ(CountInitial(e, POINT_BORDER), 0);
    ExpectHashes(h, 0xf393c21f87b6ca93ull, 0x3c3af3a7bc6ef0f7ull, 0x09a0b6e494fae7d9ull);
}

TEST(PrepPin, SymmetricSphereAndAnOpenGridWithFlatPatches) {
    Engine sphere(BumpySphere(3), OPT_SYMMETRY_X | OPT_KEEP_CORNERS);
    ExpectHashes(Prepare(sphere), 0xfe242b1de8095a63ull, 0xe2c3f65f7151e4a1ull, 0x5fa7396a2c1891eeull);
    // Flat where x < 0.5 (coplanar points), a ridge beyond it (3D corners), a rectangular border
    // (2D corners at its four corners).
    Engine grid(Grid(24, [](double x, double y) { return x < 0.5 ? 0.0 : 0.6 * std::fabs(y - 0.5) * (x - 0.5); }),
                OPT_CONSTRAIN_BORDER | OPT_CONSTRAIN_CORNERS);
    const PrepHashes h = Prepare(grid);
    EXPECT_GT(CountInitial(grid, POINT_COPLANAR), 0);
    EXPECT_GT(CountInitial(grid, POINT_2D_CORNER), 0);
    ExpectHashes(h, 0x3379b3a4a15ef841ull, 0xb94750cc47e8d706ull, 0xa3adf441c82a4031ull);
}

TEST(PrepPin, TexturedSpiderWithMaterials) {
    const ObjMesh spider = Load("../../data/spider.obj");
    Engine e(spider, OPT_KEEP_UVW | OPT_KEEP_MATERIAL | OPT_CONSTRAIN_MATERIAL | OPT_KEEP_CORNERS, true);
    ExpectHashes(Prepare(e), 0x7fed9c3268d32143ull, 0x1e3e9ce78ac2f9beull, 0xc2c4d8dcea80eeb2ull);
}

}  // namespace
}  // namespace kestovar::test
