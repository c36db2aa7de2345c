// Odd input on the whole road (read, reduce to nothing with recording, set and freeze levels):
// the real-world quirk files and hand-made hostile geometry, under mode sets that between them
// switch on every preservation form, symmetry and the working-copy triangulation. Nothing may
// fault, and every level must stay a valid mesh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "kestovar/core/exception.h"
#include "kestovar/io/wavefront.h"
#include "reduce_road.h"

namespace kestovar::test {
namespace {

namespace fs = std::filesystem;

// Index levels (in 255ths of each object's contractions) walked after the road's own levels,
// down and up in steps large and small, every level checked against the same level reached
// straight from full detail.
constexpr unsigned char kLevelPath[] = {255, 37, 200, 0, 128, 129, 3, 255, 90, 91, 60};

// Every mode set, each with and without the clean-up before the reduction.
void RunAllModes(const std::string& name, const std::string& text) {
    for (unsigned long long modes : road::kModeSets)
        for (bool clean : {false, true}) {
            SCOPED_TRACE(name + ", modes 0x" + [&] {
                std::ostringstream s;
                s << std::hex << modes << (clean ? ", cleaned up" : "");
                return s.str();
            }());
            C3DScene* scene = road::ReadObjText(text);
            if (!scene) continue;  // the readers' tests pin which files load
            EXPECT_EQ(road::Run(scene, modes, clean, kLevelPath, std::size(kLevelPath)), "");
        }
}

TEST(OddInputRoad, QuirkFilesGoTheWholeRoad) {
    const fs::path dir = fs::path(KESTOVAR_TEST_DATA) / "quirks";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".obj") continue;
        RunAllModes(entry.path().filename().string(), road::FileText(entry.path().string()));
        ++files;
    }
    EXPECT_GE(files, 15);
}

// Real meshes with many contractions: the spider (19 objects, texture seams, materials) and the
// camel (one closed object of 20k triangles) walk the level path under every mode set.
TEST(OddInputRoad, LevelsOfRealMeshesDoNotDependOnTheWayThere) {
    for (const char* file : {"/../../data/spider.obj", "/camel.obj"}) {
        const std::string text = road::FileText(std::string(KESTOVAR_TEST_DATA) + file);
        ASSERT_FALSE(text.empty()) << file;
        for (unsigned long long modes : road::kModeSets) {
            SCOPED_TRACE(std::string(file) + ", modes " + std::to_string(modes));
            C3DScene* scene = road::ReadObjText(text);
            ASSERT_NE(scene, nullptr);
            EXPECT_EQ(road::Run(scene, modes, false, kLevelPath, std::size(kLevelPath)), "");
        }
    }
}

// A ring of n points in the z = 0 plane, as OBJ "v" lines.
std::string Ring(int n, double radius) {
    std::ostringstream s;
    s.precision(9);
    for (int i = 0; i < n; ++i) {
        const double a = 2.0 * M_PI * i / n;
        s << "v " << radius * std::cos(a) << ' ' << radius * std::sin(a) << " 0\n";
    }
    return s.str();
}

// An octahedron with texture coordinates and two materials, the x of its top and the y of its
// bottom point given as text.
std::string Octahedron(const char* x5, const char* y6) {
    std::ostringstream s;
    s << "v 1 0 0\nv -1 0 0\nv 0 1 0\nv 0 -1 0\nv " << x5 << " 0 1\nv 0 " << y6 << " -1\n";
    s << "vt 0 0\nvt 1 0\nvt 0 1\n";
    s << "usemtl a\nf 1/1 3/2 5/3\nf 3/1 2/2 5/3\nf 2/1 4/2 5/3\nf 4/1 1/2 5/3\n";
    s << "usemtl b\nf 3/1 1/2 6/3\nf 2/1 3/2 6/3\nf 4/1 2/2 6/3\nf 1/1 4/2 6/3\n";
    return s.str();
}

TEST(OddInputRoad, HostileGeometryGoesTheWholeRoad) {
    // Non-finite and extreme coordinates on a closed surface with seams and two materials.
    RunAllModes("nan", Octahedron("nan", "1"));
    RunAllModes("inf", Octahedron("0", "-inf"));
    RunAllModes("extreme", Octahedron("3e38", "1e-44"));
    // Every point in one place.
    {
        std::string text;
        for (int i = 0; i < 12; ++i) text += "v 1 1 1\n";
        for (int i = 1; i + 2 <= 12; ++i)
            text += "f " + std::to_string(i) + ' ' + std::to_string(i + 1) + ' ' + std::to_string(i + 2) + '\n';
        RunAllModes("coincident", text);
    }
    // Forty triangles on one edge, each twice, one of them reversed.
    {
        std::string text = "v 0 0 0\nv 0 0 1\n" + Ring(40, 1.0);
        for (int i = 0; i < 40; ++i) {
            const std::string apex = std::to_string(3 + i);
            text += "f 1 2 " + apex + "\nf 1 2 " + apex + "\nf 2 1 " + apex + '\n';
        }
        RunAllModes("fan on one edge", text);
    }
    // Polygons longer than any fixed block: a 700-gon beside a 600-corner run over four points.
    {
        std::string text = Ring(700, 1.0) + "f";
        for (int i = 1; i <= 700; ++i) text += ' ' + std::to_string(i);
        text += "\nf";
        for (int i = 0; i < 600; ++i) text += ' ' + std::to_string(1 + 175 * (i % 4));
        text += '\n';
        RunAllModes("long polygons", text);
    }
}

// CreateObjectFromArrays trusts its indices; an object built with one past its points (the
// caller's fault) makes the engine raise its bad-index exception. Raised inside the optimiser's
// parallel loop, it must reach the host on the calling thread instead of ending the process, and
// the optimiser must still be destroyed cleanly.
TEST(OddInputRoad, AnObjectsExceptionReachesTheHost) {
    static const float kPoints[] = {1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1};
    static const int kGood[] = {0, 2, 4, 2, 1, 4, 1, 3, 4, 3, 0, 4, 2, 0, 5, 1, 2, 5, 3, 1, 5, 0, 3, 5};
    int bad[24];
    std::copy(std::begin(kGood), std::end(kGood), bad);
    bad[7] = 6;  // one past the last point
    for (int run = 0; run < 2; ++run) {
        C3DScene* scene = C3DScene::Create();
        for (int i = 0; i < 4; ++i)
            scene->CreateNode(nullptr, L"o",
                              CreateObjectFromArrays(kPoints, sizeof kPoints, i == 2 ? bad : kGood, sizeof kGood, nullptr, 0));
        try {
            road::Run(scene, road::kModeSets[1]);
            ADD_FAILURE() << "nothing raised";
        } catch (CXInvalidArgException* e) {
            EXPECT_EQ(XGetThreadException(), e);
            XDeleteThreadException();
        } catch (CXException* e) {
            ADD_FAILURE() << e->GetMessage();
            XDeleteThreadException();
        }
    }
}

// A file mangled by the fuzzer: stacked cubes with a coordinate of -1e49 (infinite in float).
// Under the freezing modes a frozen point next to it gets costs beyond FLT_MAX or NaN; the
// frozen point must still stay where it is (moving it once left its neighbours with more
// candidates than the contraction had freed, and the loop raised in the middle). Every mode set
// now takes the file the whole road.
TEST(OddInputRoad, FrozenPointsBesideAnInfiniteCoordinateStay) {
    RunAllModes(
        "frozen_point_overflow.obj",
        road::FileText((fs::path(KESTOVAR_TEST_DATA) / "odd" / "frozen_point_overflow.obj").string()));
}

}  // namespace
}  // namespace kestovar::test
