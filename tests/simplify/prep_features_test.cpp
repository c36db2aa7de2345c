// The preparation marks 3D corners and coplanar points in one walk over the faces, and the
// material frontier in another without the point-material graph; it must set exactly the flags
// of the public passes (Set3DCornerPointsStatus at 75 degrees, InitShareCoplanarFacesFlag at 0,
// the material graph and InitShareSeveralMaterialsFlag) on every point, whatever the faces look
// like: triangles and larger polygons, faces without area, dead faces, points of no face, flat
// patches that are flat only up to float rounding, materials in patches and strewn faces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "mesh/adjacency_test_util.h"
#include "kestovar/core/point.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/simplify/ext_object.h"
#include "kestovar/simplify/ext_point.h"

namespace kestovar::test {
namespace {

// A jagged closed-ish surface: a 12 x 12 height field folded on its sides so that ridges, valleys
// and near-flat patches (heights snapped to a few levels) all occur, triangles and quads mixed,
// plus faces the passes must skip or tolerate.
struct Jagged {
    std::vector<float> xyz;
    std::vector<Face> faces;
    std::vector<unsigned> faceFlags;
    std::vector<unsigned> materials;

    explicit Jagged(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> level(0, 3);
        std::uniform_real_distribution<float> jitter(-1e-6f, 1e-6f);
        const int n = 12;
        for (int j = 0; j <= n; ++j)
            for (int i = 0; i <= n; ++i) {
                // Levels 0 and 1 of one cell often match their neighbours: flat patches, some
                // of them off by a float rounding (the jitter) only.
                const float h = 2.5f * float(level(rng) / 2) + ((i + j) % 5 == 0 ? jitter(rng) : 0.0f);
                xyz.insert(xyz.end(), {float(i), float(j), h + (i > n / 2 ? 0.8f * float(i - n / 2) : 0.0f)});
            }
        std::uniform_int_distribution<int> shape(0, 9);
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const int a = j * (n + 1) + i, b = a + 1, c = a + n + 2, d = a + n + 1;
                const int s = shape(rng);
                if (s < 4) {
                    faces.push_back({a, b, c, d});
                } else if (s < 6) {
                    faces.push_back({a, b, c});
                    faces.push_back({c, d, a});
                } else {
                    faces.push_back({a, b, d});
                    faces.push_back({b, c, d});
                }
            }
        // A pentagon across two cells, a triangle without area (repeated corner), a sliver on
        // one line, and a far-off spike (3D corner).
        const int last = int(xyz.size() / 3);
        faces.push_back({0, 1, 2, n + 3, n + 1});
        faces.push_back({5, 5, 6});
        faces.push_back({7, 8, 9});
        xyz.insert(xyz.end(), {6.5f, 6.5f, 9.0f});
        const int spike = last;
        const int centre = 6 * (n + 1) + 6;
        faces.push_back({centre, centre + 1, spike});
        faces.push_back({centre + 1, centre + n + 2, spike});
        faces.push_back({centre + n + 2, centre, spike});
        // A lone point (no face) after the spike.
        xyz.insert(xyz.end(), {-3.0f, -3.0f, -3.0f});
        faceFlags.assign(faces.size(), 0);
        // Materials in patches of 4 x 4 cells, with a few faces of a fourth one strewn inside.
        std::uniform_int_distribution<int> stray(0, 19);
        for (size_t f = 0; f < faces.size(); ++f) {
            const int a = faces[f][0], i = a % (n + 1), j = a / (n + 1);
            materials.push_back(stray(rng) == 0 ? 7u : unsigned((i / 4 + j / 4) % 3));
        }
        // Hidden and invalid faces do not count.
        faceFlags[3] = FACE_HIDDEN;
        faceFlags[11] = FACE_INVALID;
    }
};

struct Lists {
    C3DPointList* points = C3DPointList::Create();
    C3DFaceList* faces = C3DFaceList::Create();
    Lists(const Jagged& mesh, unsigned stale) {
        for (size_t i = 0; i < mesh.xyz.size(); i += 3) points->Add(mesh.xyz[i], mesh.xyz[i + 1], mesh.xyz[i + 2]);
        FillFaces(*faces, mesh.faces);
        for (size_t f = 0; f < mesh.faceFlags.size(); ++f) {
            faces->SetFaceMaterial(unsigned(f), mesh.materials[f]);
            if (mesh.faceFlags[f]) faces->SetFaceFlags(unsigned(f), mesh.faceFlags[f], true);
        }
        // Every other bit must be kept as it is; the two feature bits must be rewritten.
        for (int i = 0; i < points->GetSize(); ++i)
            points->GetPt(i)->SetFlags((stale * 2654435761u + unsigned(i) * 40503u) & ~unsigned(POINT_REMOVED));
    }
    ~Lists() {
        faces->Delete();
        points->Delete();
    }
    std::vector<unsigned> Flags() const {
        std::vector<unsigned> out;
        for (int i = 0; i < points->GetSize(); ++i) out.push_back(points->GetPt(i)->GetFlags());
        return out;
    }
};

constexpr unsigned kFeatureBits = POINT_3D_CORNER | POINT_COPLANAR | POINT_MATERIAL_FRONTIER;

TEST(PrepFeatures, SameCornerCoplanarAndFrontierFlagsAsThePublicPasses) {
    int corners = 0, coplanar = 0, frontier = 0;
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const Jagged mesh(seed);
        Lists expected(mesh, seed);
        corners += expected.points->Set3DCornerPointsStatus(*expected.faces, 1.3089969389957472);
        coplanar += expected.points->InitShareCoplanarFacesFlag(*expected.faces, 0.0);
        expected.points->InitPointMaterialGraph(*expected.faces);
        expected.points->InitShareSeveralMaterialsFlag();
        for (int i = 0; i < expected.points->GetSize(); ++i)
            frontier += expected.points->GetPt(i)->IsFlagSet(POINT_MATERIAL_FRONTIER) ? 1 : 0;

        Lists input(mesh, seed);
        CSceneOptimizer optimizer;
        optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
        CDependentChannels* channels = CDependentChannels::Create();
        C3DExtObject* object = new C3DExtObject(input.points, input.faces, channels);
        channels->Delete();
        object->SetOptimizer(optimizer, nullptr);
        object->SetOptimizeMode(OPT_KEEP_CORNERS, true);
        const C3DPointList& prepared = *object->GetInitialPointList();
        ASSERT_EQ(prepared.GetSize(), expected.points->GetSize());
        for (int i = 0; i < prepared.GetSize(); ++i)
            ASSERT_EQ(prepared.GetAt(i).GetFlags() & kFeatureBits, expected.points->GetPt(i)->GetFlags() & kFeatureBits)
                << "seed " << seed << ", point " << i;
        object->Delete();
    }
    // Both features occur, and not on every point.
    EXPECT_GT(corners, 0);
    EXPECT_GT(coplanar, 0);
    EXPECT_GT(frontier, 0);
}

// Quadrics start every preparation at ten +0.0 each (bit pattern), whether their slots are new
// or held stale values from before, after the list grew, shrank or kept its size.
TEST(PrepFeatures, ClearedQuadricsAreZeroBitsInHeldAndAddedSlots) {
    CExtPointList* points = new CExtPointList;
    for (int i = 0; i < 5; ++i) points->Add(float(i), 0.0f, 0.0f);
    auto fill = [&](double v) {
        for (int i = 0; i < points->GetQuadricCount(); ++i)
            for (double& m : points->GetQuadric(i).m) m = v;
    };
    auto expectZeroBits = [&](const char* when) {
        ASSERT_EQ(points->GetQuadricCount(), points->GetSize()) << when;
        const CSymMatrix zero(true);
        for (int i = 0; i < points->GetSize(); ++i)
            EXPECT_EQ(std::memcmp(&points->GetQuadric(i), &zero, sizeof zero), 0) << when << ", point " << i;
    };
    points->ClearQuadrics();
    expectZeroBits("first");
    fill(-0.0);
    points->ClearQuadrics();
    expectZeroBits("negative zeros");
    fill(-1.5);
    points->SetSize(8, true);
    fill(2.5);
    points->ClearQuadrics();
    expectZeroBits("grown");
    fill(3.5);
    points->SetSize(3, true);
    points->ClearQuadrics();
    expectZeroBits("shrunk");
    points->Delete();
}

}  // namespace
}  // namespace kestovar::test
