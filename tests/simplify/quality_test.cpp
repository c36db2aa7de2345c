// Reduction quality, measured: real meshes reduced to 10 % and 1 % of their faces must stay within
// the relative Hausdorff distance (GeomCompare, both directions, points + edges + faces, budget 6)
// recorded from the first correct run, with a little slack, so that a change that makes the
// reduction worse fails here. The textured spider reduced with the texture- and
// material-preserving modes keeps its material borders and valid texture corners.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include "kestovar/mesh/channels.h"
#include "simplify/loop_test_util.h"

namespace kestovar::test {
namespace {

using namespace looptest;

struct QualityCase {
    const char* file;
    double bound10;  // recorded distance at 10 % + slack
    double bound1;   // recorded distance at 1 % + slack
};

// Reduces `mesh` to `ratio` of its faces and returns the relative Hausdorff distance to it.
double ReduceAndCompare(const ObjMesh& mesh, double ratio, int& faces) {
    Engine e(mesh, OPT_CHECK_FLIP);
    bool cancelled = true;
    e.object->Optimize(ratio, cancelled, OPTIMIZE_RELATIVE);
    EXPECT_FALSE(cancelled);
    faces = LiveFaces(e);
    ObjectPtr original = MakePlainObject(mesh.xyz, mesh.tris);
    ObjectPtr reduced = ReducedObject(e);
    return GeomCompare(original.get(), reduced.get(), MESH_COMPARE_DEFAULT, HUGE_VAL, GEOMCOMPARE_DEFAULT);
}

class QualityTest : public ::testing::TestWithParam<QualityCase> {};

TEST_P(QualityTest, StaysWithinTheRecordedDistance) {
    const QualityCase& c = GetParam();
    ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(DataPath(c.file), mesh)) << c.file;
    for (double ratio : {0.10, 0.01}) {
        int faces = 0;
        const double d = ReduceAndCompare(mesh, ratio, faces);
        std::printf("%s at %.0f %%: %d faces, relative Hausdorff %.6f\n", c.file, ratio * 100, faces, d);
        EXPECT_LE(faces, int(ratio * double(mesh.TriangleCount())) + 1);
        EXPECT_LE(d, ratio > 0.05 ? c.bound10 : c.bound1) << c.file << " at " << ratio;
    }
}

// First correct run: bunny 0.001224 / 0.008659, camel 0.003111 / 0.030847, blade 0.015942 /
// 0.027406 (10 % / 1 %). The best open-source reducer measured 0.00124 / 0.0088 on the bunny.
// The blade has large flat areas where many candidates cost the same, so its result depends on
// the order in which equal candidates are met (the slot order of the edge hash): over six edge
// hashes it ranged 0.0124-0.0147 at 10 % and 0.0259-0.0350 at 1 %, which its bounds cover.
INSTANTIATE_TEST_SUITE_P(Meshes, QualityTest,
                         ::testing::Values(QualityCase{"../../data/bunny00.obj", 0.00130, 0.0092},
                                           QualityCase{"camel.obj", 0.0033, 0.0325},
                                           QualityCase{"blade.obj", 0.0168, 0.0360}));

// Pairs of materials whose faces share a point, over the live faces.
std::set<std::pair<unsigned, unsigned>> MaterialContacts(const C3DFaceList& faces, int pointCount) {
    std::vector<std::set<unsigned>> around(static_cast<size_t>(pointCount));
    for (int f = 0; f < faces.GetSize(); ++f) {
        if (!faces.IsFaceLive(unsigned(f))) continue;
        int n;
        const int* idx = faces.GetIndexes(unsigned(f), n);
        for (int k = 0; k < n; ++k) around[size_t(idx[k])].insert(faces.GetFaceMaterial(unsigned(f)));
    }
    std::set<std::pair<unsigned, unsigned>> contacts;
    for (const auto& s : around)
        for (unsigned a : s)
            for (unsigned b : s)
                if (a < b) contacts.emplace(a, b);
    return contacts;
}

std::set<unsigned> Materials(const C3DFaceList& faces) {
    std::set<unsigned> m;
    for (int f = 0; f < faces.GetSize(); ++f)
        if (faces.IsFaceLive(unsigned(f))) m.insert(faces.GetFaceMaterial(unsigned(f)));
    return m;
}

// Faces keep their material (the working copy keeps the input's face order), no material loses
// all its faces, and materials that touched still touch.
void ExpectMaterialsKept(const Engine& e, const ObjMesh& mesh, const std::set<std::pair<unsigned, unsigned>>& contacts,
                         const std::set<unsigned>& materials) {
    for (int f = 0; f < e.Faces().GetSize(); ++f) {
        if (e.Faces().IsFaceLive(unsigned(f))) {
            EXPECT_EQ(e.Faces().GetFaceMaterial(unsigned(f)), mesh.material[size_t(f)] + 1);
        }
    }
    EXPECT_EQ(Materials(e.Faces()), materials);
    const std::set<std::pair<unsigned, unsigned>> after = MaterialContacts(e.Faces(), e.Points().GetSize());
    for (const auto& c : contacts) EXPECT_TRUE(after.count(c)) << c.first << "/" << c.second;
}

TEST(Quality, TexturedModelKeepsMaterialsAndValidTextureCorners) {
    ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(DataPath("../../data/spider.obj"), mesh));
    ASSERT_TRUE(mesh.HasUV());
    Engine e(mesh, OPT_KEEP_UVW | OPT_KEEP_MATERIAL, true);
    ASSERT_EQ(e.object->GetOptimizeMode() & (OPT_KEEP_UVW | OPT_KEEP_MATERIAL), OPT_KEEP_UVW | OPT_KEEP_MATERIAL);
    ASSERT_TRUE(e.object->InitOptimization(false));
    const auto contacts = MaterialContacts(e.Faces(), e.Points().GetSize());
    const auto materials = Materials(e.Faces());
    ASSERT_EQ(materials.size(), mesh.materialNames.size());

    e.Optimize(0.25, OPTIMIZE_RELATIVE);
    const int live = LiveFaces(e);
    EXPECT_LE(live, int(0.25 * double(mesh.TriangleCount())) + 1);
    ExpectMaterialsKept(e, mesh, contacts, materials);

    // Every live face has a live texture face of three valid corners.
    CUVWFaceList* cf = nullptr;
    CUVWPointList* cp = nullptr;
    ASSERT_NE(e.object->GetWorkingChannels(), nullptr);
    ASSERT_NE(e.object->GetWorkingChannels()->GetUVWChannelByIndex(0, cf, cp), nullptr);
    int checked = 0;
    for (int f = 0; f < e.Faces().GetSize(); ++f) {
        if (!e.Faces().IsFaceLive(unsigned(f))) continue;
        ASSERT_LT(f, cf->GetSize());
        EXPECT_TRUE(cf->IsFaceLive(unsigned(f))) << f;
        int n;
        const int* idx = cf->GetIndexes(unsigned(f), n);
        EXPECT_EQ(n, 3);
        for (int k = 0; k < n; ++k) {
            EXPECT_GE(idx[k], 0);
            EXPECT_LT(idx[k], cp->GetSize());
        }
        ++checked;
    }
    EXPECT_EQ(checked, live);
}

double Waves(double x, double y) { return 0.05 * std::sin(6.0 * x + 1.0) * std::cos(4.0 * y); }

TEST(Quality, MaterialFrontierOfSharedPointsIsKept) {
    // The spider's materials are separate pieces; here two materials share the line x = 0.5.
    ObjMesh grid = Grid(32, Waves);
    for (size_t f = 0; f < grid.TriangleCount(); ++f) {
        const float cx = (grid.xyz[3 * size_t(grid.tris[3 * f])] + grid.xyz[3 * size_t(grid.tris[3 * f + 1])] +
                          grid.xyz[3 * size_t(grid.tris[3 * f + 2])]) / 3.0f;
        grid.material[f] = cx < 0.5f ? 0 : 1;
    }
    grid.materialNames = {"left", "right"};
    const unsigned long long modes[] = {OPT_KEEP_MATERIAL, OPT_KEEP_MATERIAL | OPT_CONSTRAIN_MATERIAL,
                                        OPT_KEEP_MATERIAL | OPT_FREEZE_MATERIAL};
    for (unsigned long long mode : modes) {
        Engine e(grid, mode | OPT_FREEZE_BORDER);
        ASSERT_TRUE(e.object->InitOptimization(false));
        const auto contacts = MaterialContacts(e.Faces(), e.Points().GetSize());
        ASSERT_EQ(contacts.size(), 1u);
        e.Optimize(0.1, OPTIMIZE_RELATIVE);
        EXPECT_LT(LiveFaces(e), 32 * 32 * 2 / 5);
        ExpectMaterialsKept(e, grid, contacts, {1, 2});
        // The frontier's two ends sit on the frozen border and stay joined by shared points.
        int shared = 0;
        std::vector<std::set<unsigned>> around(static_cast<size_t>(e.Points().GetSize()));
        for (int f = 0; f < e.Faces().GetSize(); ++f) {
            if (!e.Faces().IsFaceLive(unsigned(f))) continue;
            int n;
            const int* idx = e.Faces().GetIndexes(unsigned(f), n);
            for (int k = 0; k < n; ++k) around[size_t(idx[k])].insert(e.Faces().GetFaceMaterial(unsigned(f)));
        }
        for (const auto& s : around) shared += s.size() > 1 ? 1 : 0;
        EXPECT_GE(shared, 2) << mode;
        if (mode & OPT_FREEZE_MATERIAL) {
            EXPECT_EQ(shared, 33);
        }
    }
}

}  // namespace
}  // namespace kestovar::test
