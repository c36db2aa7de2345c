// Parameters a host may pass by mistake (not a number, infinite, negative, huge) to the
// operations that take a tolerance, an angle or a limit, on a real textured scene: nothing may
// fault, every face must keep valid corners in the geometry and in every channel, and the
// documented clamping must hold. The sanitizer run of this suite is where most faults would show.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "kestovar/compare/geom_compare.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "reduce_road.h"

namespace kestovar::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHostile[] = {kNaN, kInf, -kInf, -1.0, 0.0, 1e-300, 1e300, DBL_MAX};

// The spider scene as a host reads it (19 objects, texture seams, two materials).
C3DScene* ReadSpider() {
    return road::ReadObjText(road::FileText(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj"));
}

// Calls `fn` on every polygonal object of a freshly read spider, checks every object afterwards
// and hands the scene, still valid, to the whole reduction road.
template <class Fn>
void OnEveryObject(const char* what, Fn&& fn) {
    SCOPED_TRACE(what);
    C3DScene* scene = ReadSpider();
    ASSERT_NE(scene, nullptr);
    for (C3DNodePos pos = scene->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE); pos;) {
        C3DGeomObject* object = nullptr;
        scene->GetNextNode(pos, object);
        if (auto* mesh = dynamic_cast<C3DObject*>(object)) fn(*mesh);
    }
    long long faces = 0;
    EXPECT_EQ(road::CheckLevel(*scene, faces), "");
    EXPECT_EQ(road::Run(scene, 0), "");
}

TEST(HostileParameters, WeldToleranceOfAnyValue) {
    for (double tolerance : kHostile)
        for (bool absolute : {false, true}) {
            const std::string what = "weld " + std::to_string(tolerance) + (absolute ? " absolute" : " relative");
            OnEveryObject(what.c_str(), [&](C3DObject& mesh) {
                const int before = mesh.GetPointList()->GetSize();
                mesh.Weld3DPoints(tolerance, absolute, CHANNEL_ALL, 0);
                EXPECT_LE(mesh.GetPointList()->GetSize(), before);
            });
        }
}

TEST(HostileParameters, CoplanarAngleOfAnyValue) {
    for (double angle : kHostile) {
        const std::string what = "coplanar merge at " + std::to_string(angle);
        OnEveryObject(what.c_str(), [&](C3DObject& mesh) { mesh.MergeCoplanarFaces(angle, CHANNEL_ALL); });
    }
}

TEST(HostileParameters, SmoothingAngleOfAnyValue) {
    for (double angle : kHostile) {
        const std::string what = "smoothing angle " + std::to_string(angle);
        OnEveryObject(what.c_str(), [&](C3DObject& mesh) {
            // The stored angle is clamped to [0, pi] (-1 follows the scene).
            mesh.SetSmoothAngle(float(angle));
            const float stored = mesh.GetSmoothAngle();
            EXPECT_TRUE(stored == -1.0f || (stored >= 0.0f && stored <= float(M_PI)) || std::isnan(angle))
                << stored;
            // The grouping itself, at the raw angle.
            CGeomInfo geom(&mesh);
            CPointNormalChannel channel;
            channel.InitNormals(&geom, float(angle));
            const CFaceList* corners = channel.GetFaceList();
            const C3DVectorList* normals = channel.GetNormalVectorList();
            if (corners && normals) {
                EXPECT_EQ(road::CheckCorners(*corners, normals->GetSize(), "normals"), "");
            }
        });
    }
}

TEST(HostileParameters, CompareLimitOfAnyValue) {
    C3DScene* scene = ReadSpider();
    ASSERT_NE(scene, nullptr);
    C3DGeomObject* first = nullptr;
    C3DGeomObject* second = nullptr;
    C3DNodePos pos = scene->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE);
    scene->GetNextNode(pos, first);
    scene->GetNextNode(pos, second);
    ASSERT_TRUE(first && second);
    const double full = GeomCompare(first, second, MESH_COMPARE_HAUSDORFF, kInf, GEOMCOMPARE_DEFAULT);
    ASSERT_GT(full, 0.0);
    for (double limit : kHostile) {
        const double d = GeomCompare(first, second, MESH_COMPARE_HAUSDORFF, limit, GEOMCOMPARE_DEFAULT);
        // A limit stops the search early, so the result is a number between 0 and the full distance.
        EXPECT_TRUE(d >= 0.0 && d <= full) << "limit " << limit << ": " << d;
    }
    scene->Delete();
}

}  // namespace
}  // namespace kestovar::test
