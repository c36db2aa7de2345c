// Plug-in modules: loading the STL plug-in from a plug-ins directory, refusing bad modules once
// and for all, releasing plug-ins, and STL files going through the whole frame.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "allocation_refusal.h"
#include "io_test_util.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/io/plugin.h"
#include "test_util.h"

namespace kestovar {
namespace {

using namespace iotest;

constexpr uint32_t kStlClass = 0x53544C20;  // "STL ", declared by the plug-in
constexpr uint32_t kStlAscii = 0x1;         // the plug-in's export flag for ASCII text

std::wstring BadPluginDir() { return W(fs::path(KESTOVAR_TEST_BAD_PLUGIN_DIR)); }

// Number of times the bad modules were loaded since `log` was created.
size_t Loads(const fs::path& log) { return fs::exists(log) ? fs::file_size(log) : 0; }

TEST(PluginTest, WrongVersionIsRefusedOnceAndNeverOpenedAgain) {
    ScratchDir dir;
    fs::path log = dir / "loads.log";
    ::setenv("KESTOVAR_TEST_PROBE_LOG", log.c_str(), 1);
    for (const char* module : {"badversion.tepz", "noentry.tepz"}) {
        std::wstring path = BadPluginDir() + L"/" + std::wstring(module, module + std::strlen(module));
        size_t before = Loads(log);
        EXPECT_FALSE(IsBadPlugin(path.c_str(), kPluginEntry3D));
        IoPluginInfo info;
        EXPECT_FALSE(LoadPlugin(path.c_str(), kPluginEntry3D, info)) << module;
        EXPECT_EQ(info.module, nullptr);
        EXPECT_EQ(Loads(log), before + 1) << module;  // probed once
        EXPECT_TRUE(IsBadPlugin(path.c_str(), kPluginEntry3D));
        EXPECT_FALSE(LoadPlugin(path.c_str(), kPluginEntry3D, info));
        EXPECT_EQ(Loads(log), before + 1) << module;  // not touched again
    }
    // A directory scan skips them as well.
    SetPluginsDirectory((BadPluginDir() + L"/").c_str(), false);
    EXPECT_EQ(RegisterIOPlugins(FILE_KIND_3D), 0);
    EXPECT_EQ(Loads(log), 2u);
    EXPECT_EQ(GetLoadedPluginCount(), 0);
    IoPluginInfo info;
    EXPECT_FALSE(LoadPlugin(W(dir / "does-not-exist.tepz").c_str(), kPluginEntry3D, info));
    ::unsetenv("KESTOVAR_TEST_PROBE_LOG");
}

std::wstring FaultyPlugin(const char* name) {
    return W(fs::path(KESTOVAR_TEST_FAULTY_PLUGIN_DIR) / name);
}

// Modules that pass the version check and then misbehave: the library refuses them or closes them
// and goes on, and its own formats stay as they were.
TEST(PluginTest, MisbehavingModulesAreRefusedOrClosedWithoutHarm) {
    // An entry calling a function nobody defines, in a module that stays mapped after its probe.
    IoPluginInfo info;
    EXPECT_FALSE(LoadPlugin(FaultyPlugin("unresolved.tepz").c_str(), kPluginEntry3D, info));
    EXPECT_TRUE(IsBadPlugin(FaultyPlugin("unresolved.tepz").c_str(), kPluginEntry3D));

    SetPluginsDirectory((W(fs::path(KESTOVAR_TEST_FAULTY_PLUGIN_DIR)) + L"/").c_str(), false);
    // Throwing while declaring: nothing it declared stays, the module is closed and remembered.
    EXPECT_EQ(RegisterIOPlugins(FILE_KIND_3D, L"throw.tepz"), 0);
    EXPECT_EQ(GetLoadedPluginCount(), 0);
    EXPECT_EQ(fileGetClass(L"a.flt"), 0u);
    EXPECT_TRUE(IsBadPlugin(FaultyPlugin("throw.tepz").c_str(), kPluginEntry3D));

    // Throwing when released: closed all the same, and the other plug-ins are released too.
    ASSERT_EQ(RegisterIOPlugins(FILE_KIND_3D, L"release.tepz"), 1);
    ASSERT_EQ(RegisterIOPlugins(FILE_KIND_3D, L"builtin.tepz"), 1);  // ".flt" only, not ".obj"
    EXPECT_EQ(GetLoadedPluginCount(), 2);
    CFileExt obj;
    ASSERT_TRUE(fileGetFileExt(L"a.obj", obj));
    EXPECT_EQ(obj.loader, FILE_PARSER_BUILTIN);
    EXPECT_EQ(W(obj.description), L"Wavefront files");
    EXPECT_EQ(FreePlugins(), 2);
    EXPECT_EQ(GetLoadedPluginCount(), 0);
    EXPECT_EQ(fileGetClass(L"a.flt"), 0u);
    EXPECT_EQ(fileGetLoader(L"a.obj"), FILE_PARSER_BUILTIN);

    // A module that declares ".obj" under a class of its own and then makes no parser for it:
    // reading and saving fall back to the next format of the extension, the built-in one.
    ASSERT_EQ(RegisterIOPlugins(FILE_KIND_3D, L"dialect.tepz"), 1);
    ASSERT_EQ(fileGetClass(L"a.obj"), 0x41414141u);
    {
        const fs::path dir = fs::temp_directory_path() / ("kestovar_dialect_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "in.obj") << "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
        C3DIo reader(W(dir / "in.obj").c_str(), FILE_IO_SILENT);
        std::unique_ptr<C3DScene> scene(reader.Read());
        ASSERT_NE(scene, nullptr) << W(reader.GetIoErrorTxt()).size();
        C3DIo writer(W(dir / "out.obj").c_str(), FILE_IO_SILENT);
        EXPECT_TRUE(writer.Save(scene.get()));
        EXPECT_TRUE(fs::exists(dir / "out.obj"));
        fs::remove_all(dir);
    }
    EXPECT_EQ(FreePlugins(), 1);

    // One module reached through two spellings of its path is one record.
    IoPluginInfo first, second;
    ASSERT_TRUE(LoadPlugin(FaultyPlugin("builtin.tepz").c_str(), kPluginEntry3D, first));
    const std::wstring doubled = W(fs::path(KESTOVAR_TEST_FAULTY_PLUGIN_DIR)) + L"//builtin.tepz";
    ASSERT_TRUE(LoadPlugin(doubled.c_str(), kPluginEntry3D, second));
    EXPECT_EQ(first.module, second.module);
    EXPECT_EQ(GetLoadedPluginCount(), 1);
    EXPECT_TRUE(FreePlugin(first.module, kPluginEntry3D));
    EXPECT_FALSE(FreePlugin(second.module, kPluginEntry3D));
}

#ifdef KESTOVAR_TEST_PLUGIN_DIR

std::wstring PluginDir() { return W(fs::path(KESTOVAR_TEST_PLUGIN_DIR)) + L"/"; }

// Loads the STL plug-in through the plug-ins directory for the length of a test.
class StlPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetPluginsDirectory(PluginDir().c_str(), false);
        ASSERT_EQ(RegisterIOPlugins(FILE_KIND_3D), 1);
    }
    void TearDown() override { FreePlugins(); }
};

TEST_F(StlPluginTest, DeclaredFormatIsRegisteredAndReleased) {
    CFileExt ext;
    ASSERT_TRUE(fileGetFileExt(L"part.STL", ext));
    EXPECT_EQ(ext.fileClass, kStlClass);
    EXPECT_EQ(ext.loader, FILE_PARSER_PLUGIN);
    EXPECT_EQ(ext.saver, FILE_PARSER_PLUGIN);
    EXPECT_EQ(ext.properties, 0x4013u | 128u);
    EXPECT_NE(ext.initCallback, nullptr);
    EXPECT_EQ(GetLoadedPluginCount(), 1);
    // Loading the same module again hands out the same handle.
    IoPluginInfo first, again;
    ASSERT_TRUE(LoadPlugin((PluginDir() + L"stl.tepz").c_str(), kPluginEntry3D, first));
    ASSERT_TRUE(LoadPlugin((PluginDir() + L"stl.tepz").c_str(), kPluginEntry3D, again));
    EXPECT_EQ(first.module, again.module);
    EXPECT_EQ(GetLoadedPluginCount(), 1);

    EXPECT_EQ(FreePlugins(kPluginEntry3D), 1);
    EXPECT_EQ(GetLoadedPluginCount(), 0);
    EXPECT_EQ(fileGetClass(L"part.stl"), 0u);
    EXPECT_FALSE(FreePlugin(first.module, kPluginEntry3D));
}

TEST_F(StlPluginTest, BinaryAndAsciiRoundTripsKeepTheMesh) {
    ScratchDir dir;
    C3DScene* cube = MakeCubeScene();
    for (uint32_t flags : {0u, kStlAscii}) {
        std::wstring name = W(dir / (flags ? "ascii.stl" : "binary.stl"));
        C3DIo writer(name.c_str(), 0);
        CSceneExportOptions options(flags);
        ASSERT_TRUE(writer.Save(cube, &options)) << W(writer.GetIoErrorTxt()).size();
        std::string bytes = ReadFile(fs::path(name));
        if (flags) {
            EXPECT_EQ(bytes.rfind("solid ascii\n", 0), 0u);  // named after the target, not the temporary file
        } else {
            EXPECT_EQ(bytes.size(), 84u + 50u * 12u);
        }

        C3DIo reader(name.c_str(), FILE_IO_LOADING);
        C3DScene* loaded = reader.Read();
        ASSERT_NE(loaded, nullptr) << flags;
        auto meshes = Meshes(*loaded);
        ASSERT_EQ(meshes.size(), 1u);
        const C3DPointList* points = meshes[0]->GetPointList();
        const C3DFaceList* faces = meshes[0]->GetFaceList();
        EXPECT_EQ(points->GetSize(), 8);  // equal corners welded
        ASSERT_EQ(faces->GetSize(), 12);
        // Every triangle comes back with the same corner coordinates, in order.
        const C3DPointList* src = Meshes(*cube)[0]->GetPointList();
        const C3DFaceList* srcFaces = Meshes(*cube)[0]->GetFaceList();
        for (int f = 0; f < 12; ++f) {
            int n = 0, m = 0;
            const int* a = srcFaces->GetIndexes(unsigned(f), n);
            const int* b = faces->GetIndexes(unsigned(f), m);
            ASSERT_EQ(m, 3);
            for (int k = 0; k < 3; ++k) EXPECT_EQ(points->GetAt(b[k]), src->GetAt(a[k])) << f << " " << k;
        }
        delete loaded;
    }
    delete cube;
}

// Refusing each allocation in turn while the cube is saved through the plug-in and read back,
// in both encodings: every run raises CXMemoryException or answers failure (the sanitizer run
// checks that nothing leaks).
TEST_F(StlPluginTest, RefusedAllocationsRaiseOrFailAndLeakNothing) {
    ScratchDir dir;
    std::unique_ptr<C3DScene> cube(MakeCubeScene());
    for (uint32_t flags : {0u, kStlAscii}) {
        const std::wstring name = W(dir / "cube.stl");
        auto roundTrip = [&](long n) {
            return test::Refusing(n, [&] {
                CSceneExportOptions options(flags);
                if (!C3DIo(name.c_str(), FILE_IO_SILENT).Save(cube.get(), &options)) return;
                delete C3DIo(name.c_str(), FILE_IO_LOADING | FILE_IO_SILENT).Read();
            });
        };
        test::RefusingHook hook;
        const long total = test::WalkRefusals(roundTrip, [](long n, test::Outcome outcome) {
            ASSERT_NE(outcome, test::Outcome::kOtherError) << "allocation " << n;
        });
        ASSERT_GT(total, 20);
    }
}

// Scanning the plug-ins directory and releasing the plug-ins with every allocation refused in
// turn: each scan raises or registers, and releasing afterwards leaves no format, module or
// directory handle behind.
TEST_F(StlPluginTest, RegisteringAndReleasingUnderRefusedAllocationsLeakNothing) {
    FreePlugins();
    auto scan = [](long n) {
        return test::Refusing(n, [] {
            SetPluginsDirectory(PluginDir().c_str(), false);
            RegisterIOPlugins(FILE_KIND_3D);
            FreePlugins();
        });
    };
    test::RefusingHook hook;
    const long total = test::WalkRefusals(scan, [](long n, test::Outcome outcome) {
        ASSERT_NE(outcome, test::Outcome::kOtherError) << "allocation " << n;
        FreePlugins();
        ASSERT_EQ(GetLoadedPluginCount(), 0) << "allocation " << n;
        ASSERT_EQ(fileGetClass(L"part.stl"), 0u) << "allocation " << n;
    });
    ASSERT_GT(total, 5);
    SetPluginsDirectory(PluginDir().c_str(), false);
    ASSERT_EQ(RegisterIOPlugins(FILE_KIND_3D), 1);
}

// STL holds triangles in world space: a concave polygon is split without covering its notch, and
// a mirroring node's faces still face out.
TEST_F(StlPluginTest, ConcavePolygonsAndMirroringNodesKeepTheirSurface) {
    ScratchDir dir;
    // A dart of area 4 whose notch (corner 1) a fan from corner 0 would cover (area 2 + 6),
    // beside a mirrored cube.
    const float dart[] = {0, 0, 0, 2, 1, 0, 4, 0, 0, 2, 3, 0};
    const int quad[] = {0, 1, 2, 3};
    std::unique_ptr<C3DScene> scene(MakeCubeScene());
    scene->GetRoot()->GetFirstChildNode()->SetScale(C3DTVector<float>(1, -1, 1));
    scene->CreateNode(nullptr, L"dart",
                      CreateObjectFromArrays(dart, sizeof dart, nullptr, 0, quad, sizeof quad));
    for (uint32_t flags : {0u, kStlAscii}) {
        const std::wstring name = W(dir / (flags ? "ascii.stl" : "binary.stl"));
        CSceneExportOptions options(flags);
        ASSERT_TRUE(C3DIo(name.c_str(), 0).Save(scene.get(), &options));
        std::unique_ptr<C3DScene> loaded(C3DIo(name.c_str(), FILE_IO_LOADING).Read());
        ASSERT_NE(loaded, nullptr);
        const Surface s = MeasureSurface(*loaded);
        EXPECT_NEAR(s.volume, 1.0, 1e-6) << flags;      // the cube's; the flat dart adds none
        EXPECT_NEAR(s.area, 6.0 + 4.0, 1e-5) << flags;  // the cube's faces and the dart
    }
}

TEST_F(StlPluginTest, AsciiNumbersSurviveExactly) {
    // Values that need all nine digits, written and read back bit for bit.
    ScratchDir dir;
    const float points[] = {0.1f, 1.0f / 3.0f, -2.5e-7f, 123456.789f, -0.0f, 3.4e38f, 1e-30f, 7.0f, 2.0f / 3.0f};
    const int triangle[] = {0, 1, 2};
    C3DScene scene;
    scene.CreateNode(nullptr, L"t", CreateObjectFromArrays(points, sizeof points, triangle, sizeof triangle, nullptr, 0));
    std::wstring name = W(dir / "t.stl");
    CSceneExportOptions options(kStlAscii);
    ASSERT_TRUE(C3DIo(name.c_str(), 0).Save(&scene, &options));
    C3DIo reader(name.c_str(), FILE_IO_LOADING);
    C3DScene* loaded = reader.Read();
    ASSERT_NE(loaded, nullptr);
    const C3DPointList* p = Meshes(*loaded)[0]->GetPointList();
    ASSERT_EQ(p->GetSize(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(std::memcmp(&p->GetAt(i).x, &points[3 * i], 4), 0) << i;
        EXPECT_EQ(std::memcmp(&p->GetAt(i).y, &points[3 * i + 1], 4), 0) << i;
        EXPECT_EQ(std::memcmp(&p->GetAt(i).z, &points[3 * i + 2], 4), 0) << i;
    }
    delete loaded;
}

TEST_F(StlPluginTest, MalformedOrEmptyFilesFailWithTheirCodes) {
    ScratchDir dir;
    struct Case {
        const char* name;
        std::string bytes;
        int code;
        const wchar_t* note;  // the reader's account of malformed text, logged after the error
    };
    std::string binaryHeader(80, ' ');
    std::string shortBinary = binaryHeader + std::string("\x02\x00\x00\x00", 4) + std::string(50, '\0');
    std::string emptyBinary = binaryHeader + std::string(4, '\0');
    const wchar_t* notStl =
        L"line 1: neither binary STL (84 + 50 n bytes for n triangles) nor text starting with \"solid\"";
    const Case cases[] = {
        {"text.stl", "hello world\n", IO_FILE_BAD_FORMAT, notStl},
        {"badnumber.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 zero\n", IO_FILE_BAD_FORMAT,
         L"line 4: a vertex without three numbers"},
        {"twocorners.stl",
         "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nendloop\nendfacet\nendsolid\n",
         IO_FILE_BAD_FORMAT, L"line 6: a facet with fewer than three vertices"},
        {"noloop.stl", "solid x\r\n  facet normal 0 0 1\r\n  vertex 0 0 0\r\n", IO_FILE_BAD_FORMAT,
         L"line 3: \"outer loop\" expected"},
        {"truncated.stl", shortBinary, IO_FILE_BAD_FORMAT, notStl},
        {"emptysolid.stl", "solid nothing\nendsolid nothing\n", IO_FILE_EMPTY, nullptr},
        {"emptybinary.stl", emptyBinary, IO_FILE_EMPTY, nullptr},
        {"zero.stl", "", IO_FILE_BAD_FORMAT, L"the file is empty"},
    };
    for (const Case& c : cases) {
        WriteFile(dir / c.name, c.bytes);
        C3DIo io(W(dir / c.name).c_str(), FILE_IO_LOADING);
        CSceneImportOptions options;
        EXPECT_EQ(io.Read(&options), nullptr) << c.name;
        EXPECT_EQ(io.GetIoError(), c.code) << c.name;
        IoLogInfo last;
        ASSERT_TRUE(options.GetLogInfo(options.GetLogInfoCount() - 1, last)) << c.name;
        if (c.note)
            EXPECT_EQ(W(last.text), c.note) << c.name;
        else
            EXPECT_EQ(last.code, c.code) << c.name;
    }
}

TEST_F(StlPluginTest, AsciiSolidsBecomeNodesAndPolygonsAreFanned) {
    ScratchDir dir;
    WriteFile(dir / "two.stl",
              "solid first\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 0\n   vertex 1 0 0\n   vertex 1 1 0\n"
              "   vertex 0 1 0\n  endloop\n endfacet\nendsolid first\n"
              "SOLID second\n FACET NORMAL 0 0 1\n OUTER LOOP\n VERTEX 0 0 +5\n VERTEX 1 0 5\n VERTEX 1 1 5e0\n ENDLOOP\n"
              " ENDFACET\n");  // no final endsolid: the end of the file closes the solid
    C3DIo io(W(dir / "two.stl").c_str(), FILE_IO_LOADING);
    C3DScene* scene = io.Read();
    ASSERT_NE(scene, nullptr);
    auto meshes = Meshes(*scene);
    ASSERT_EQ(meshes.size(), 2u);
    EXPECT_EQ(meshes[0]->GetFaceList()->GetSize(), 2);  // the quadrangle, fanned
    EXPECT_EQ(meshes[0]->GetPointList()->GetSize(), 4);
    EXPECT_EQ(meshes[1]->GetPointList()->GetAt(0).z, 5.0f);
    C3DSceneNode* first = scene->GetRoot()->GetFirstChildNode();
    EXPECT_EQ(W(first->GetName()), L"first");
    delete scene;
}

// A cancel request ends reading and writing; a cancelled save leaves the existing file as it was.
TEST_F(StlPluginTest, CancelRequestsEndReadsAndSavesWithoutDamage) {
    ScratchDir dir;
    C3DScene* cube = MakeCubeScene();
    WriteFile(dir / "keep.stl", "precious");
    ASSERT_TRUE(C3DIo(W(dir / "cube.stl").c_str(), 0).Save(cube));
    SetCancelThread(true);
    for (uint32_t flags : {0u, kStlAscii}) {
        C3DIo writer(W(dir / "keep.stl").c_str(), 0);
        CSceneExportOptions options(flags);
        EXPECT_FALSE(writer.Save(cube, &options));
        EXPECT_EQ(W(writer.GetIoErrorTxt()), L"Operation canceled");
    }
    C3DIo reader(W(dir / "cube.stl").c_str(), FILE_IO_LOADING);
    EXPECT_EQ(reader.Read(), nullptr);
    EXPECT_EQ(reader.GetIoError(), IO_FILE_CANCELED);
    SetCancelThread(false);
    EXPECT_EQ(ReadFile(dir / "keep.stl"), "precious");
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"cube.stl", "keep.stl"}));
    delete cube;
}

TEST(PluginInitTest, InitialisationFlagsLoadAndReleasePlugins) {
    InitKestovarApplication(PluginDir().c_str(), KESTOVAR_INIT_FORMATS | KESTOVAR_INIT_IO_PLUGINS);
    EXPECT_EQ(fileGetClass(L"x.stl"), kStlClass);
    EXPECT_EQ(GetLoadedPluginCount(), 1);
    CloseKestovarApplication(KESTOVAR_INIT_FORMATS | KESTOVAR_INIT_IO_PLUGINS);
    EXPECT_EQ(GetLoadedPluginCount(), 0);
    EXPECT_EQ(fileGetClass(L"x.stl"), 0u);
    EXPECT_EQ(fileGetClass(L"x.obj"), FILE_CLASS_WAVEFRONT);
}

#endif  // KESTOVAR_TEST_PLUGIN_DIR

}  // namespace
}  // namespace kestovar
