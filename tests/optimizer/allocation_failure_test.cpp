// Running out of memory on the whole road of a host: a small textured scene with two materials
// and a quadrangle row is read, cleaned up, converted, reduced with recording under each of the
// road's mode sets (keep, constrain, freeze, symmetry) and played through its levels while the
// n-th allocation of the library is refused, for every n the road makes.
// Each run must end in a CXMemoryException (std::bad_alloc where a library object could not be
// allocated by new), or an answer of failure, and never write through a null pointer, leave a
// thread behind or leak: the sanitizer run of this suite checks the last. The same holds for the
// scene written and read again, in memory and through the file frame with a material library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "allocation_refusal.h"
#include "kestovar/core/archive.h"
#include "kestovar/io/file_io.h"
#include "kestovar/platform/file.h"
#include "reduce_road.h"

namespace kestovar::test {
namespace {

// A wavy 8 x 8 grid with texture coordinates, one normal, two materials and a row of
// quadrangles, as OBJ text.
std::string SmallTexturedScene() {
    const int n = 8;
    std::string text = "mtllib none.mtl\n";
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x)
            text += "v " + std::to_string(x) + " " + std::to_string(y) + " " +
                    std::to_string(0.3 * std::sin(x * 0.9) * std::cos(y * 0.7)) + "\n";
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x) text += "vt " + std::to_string(double(x) / n) + " " + std::to_string(double(y) / n) + "\n";
    text += "vn 0 0 1\n";
    auto corner = [](int v) { return " " + std::to_string(v) + "/" + std::to_string(v) + "/1"; };
    for (int y = 0; y < n; ++y) {
        text += y < n / 2 ? "usemtl a\n" : "usemtl b\n";
        for (int x = 0; x < n; ++x) {
            const int a = y * (n + 1) + x + 1, b = a + 1, c = a + n + 2, d = a + n + 1;
            if (x == 3)
                text += "f" + corner(a) + corner(b) + corner(c) + corner(d) + "\n";
            else
                text += "f" + corner(a) + corner(b) + corner(c) + "\nf" + corner(a) + corner(c) + corner(d) + "\n";
        }
    }
    return text;
}

// The road under `modes`; `fault` is what it found wrong.
Outcome RunRefusing(const std::string& text, unsigned long long modes, long refuse, std::string& fault) {
    return Refusing(refuse, [&] {
        C3DScene* scene = road::ReadObjText(text);
        fault = scene ? road::Run(scene, modes, true) : "no scene";
    });
}

TEST(AllocationFailure, EveryRefusedAllocationOfTheRoadRaisesAndLeaksNothing) {
    const std::string text = SmallTexturedScene();
    RefusingHook hook;
    for (unsigned long long modes : road::kModeSets) {
        SCOPED_TRACE(modes);
        std::string fault;
        int raised = 0;
        const long total = WalkRefusals(
            [&](long n) {
                const Outcome outcome = RunRefusing(text, modes, n, fault);
                if (n < 0) {
                    EXPECT_EQ(fault, "");
                }
                return outcome;
            },
            [&](long n, Outcome outcome) {
                ASSERT_NE(outcome, Outcome::kOtherError) << "allocation " << n;
                raised += outcome == Outcome::kMemoryError;
            },
            true);
        ASSERT_GT(total, 100);
        // Most refusals reach the host; the others are answered by a failure of their own (a level
        // that cannot be frozen, an optional shrink skipped).
        EXPECT_GT(raised, total / 2);
    }
}

// Writing the scene as a ".3dif" file and reading it back (in memory).
Outcome RoundTripRefusing(C3DScene& scene, long refuse) {
    return Refusing(refuse, [&] {
        CXMemFile file;
        {
            CXArchive ar(&file, CXArchive::store);
            scene.WriteSceneFile(ar);
            ar.Close();
        }
        CXMemFile again(file.GetBuffer(), size_t(file.GetLength()));
        CXArchive ar(&again, CXArchive::load);
        delete C3DScene::ReadSceneFile(ar);
    });
}

TEST(AllocationFailure, SceneFileRoundTripRaisesAndLeaksNothing) {
    C3DScene* scene = road::ReadObjText(SmallTexturedScene());
    ASSERT_NE(scene, nullptr);
    {
        RefusingHook hook;
        const long total = WalkRefusals([&](long n) { return RoundTripRefusing(*scene, n); },
                                        [](long n, Outcome outcome) {
                                            ASSERT_EQ(outcome, Outcome::kMemoryError) << "allocation " << n;
                                        });
        ASSERT_GT(total, 50);
    }
    delete scene;
}

// The scene as OBJ text with a material library that gives both materials colours, an opacity,
// a shininess and a texture map, written with its library into a fresh directory.
class SceneFiles {
public:
    SceneFiles() : m_dir(std::filesystem::temp_directory_path() / ("kestovar_refusal_" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        std::string text = SmallTexturedScene();
        text.replace(0, text.find('\n'), "mtllib two.mtl");
        std::ofstream(m_dir / "scene.obj") << text;
        std::ofstream(m_dir / "two.mtl") << "newmtl a\nKa 0.1 0.1 0.1\nKd 0.8 0.2 0.2\nKs 1 1 1\nNs 20\nd 0.5\n"
                                            "map_Kd wood.png\nnewmtl b\nKd 0.2 0.8 0.2\nmap_Kd grass.png\n";
    }
    ~SceneFiles() { std::filesystem::remove_all(m_dir); }
    std::wstring operator/(const char* name) const { return (m_dir / name).wstring(); }

private:
    std::filesystem::path m_dir;
};

// Reads the scene file split into one node per material, saves it as `format` through the file
// frame (export copy, temporary file, material library) and reads the result back.
Outcome FileRoundTripRefusing(const SceneFiles& files, const char* format, long refuse) {
    return Refusing(refuse, [&] {
        CSceneImportOptions byMaterials(SCENE_IMPORT_CONCATENATE_BY_MATERIALS);
        std::unique_ptr<C3DScene> scene(
            C3DIo((files / "scene.obj").c_str(), FILE_IO_LOADING | FILE_IO_SILENT).Read(&byMaterials));
        if (!scene) return;
        const std::wstring out = files / format;
        if (!C3DIo(out.c_str(), FILE_IO_SILENT).Save(scene.get())) return;
        delete C3DIo(out.c_str(), FILE_IO_LOADING | FILE_IO_SILENT).Read();
    });
}

TEST(AllocationFailure, FileRoundTripsThroughTheFrameRaiseOrFailAndLeakNothing) {
    const SceneFiles files;
    for (const char* format : {"out.obj", "out.3dif"}) {
        SCOPED_TRACE(format);
        RefusingHook hook;
        const long total = WalkRefusals([&](long n) { return FileRoundTripRefusing(files, format, n); },
                                        [](long n, Outcome outcome) {
                                            ASSERT_NE(outcome, Outcome::kOtherError) << "allocation " << n;
                                        },
                                        true);
        ASSERT_GT(total, 100);
    }
}

}  // namespace
}  // namespace kestovar::test
