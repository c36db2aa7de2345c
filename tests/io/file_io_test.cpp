// The reading and writing frame: error codes and their messages, the flag rule of the options
// records, the empty-scene and parser-exception rules, export copies, safe saving through a
// temporary file, the file-name split, the saved I/O parameters and the .3dif round trip.
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "io_test_util.h"
#include "kestovar/core/log.h"
#include "kestovar/core/runtime.h"
#include "kestovar/scene/preferences.h"
#include "test_util.h"

namespace kestovar {
namespace {

using namespace iotest;

TEST(IoErrorTest, EveryCodeHasItsMessage) {
    struct Case {
        int code;
        const wchar_t* text;
    };
    const Case cases[] = {
        {-2, L"Unknown file type"},
        {-3, L"Bad file format"},
        {-4, L"No enough memory"},
        {-6, L"Disk full"},
        {-7, L"Unauthorized access"},
        {-8, L"There is nothing to save.\nFile saving is canceled."},
        {-9, L"Can't save in this format with these options"},
        {-10, L"There is no information in the file. The operation is canceled."},
        {-11, L"Operation canceled"},
        {0, L"An unknown error occurs during file access"},
        {-5, L"An unknown error occurs during file access"},
        {-12, L"An unknown error occurs during file access"},
        {-99, L"An unknown error occurs during file access"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(W(CFileIo::GetIoErrorTxtFromCode(true, c.code, L"/a/b.obj")), c.text) << c.code;
        EXPECT_EQ(W(CFileIo::GetIoErrorTxtFromCode(false, c.code, L"/a/b.obj")), c.text) << c.code;
    }
    EXPECT_EQ(W(CFileIo::GetIoErrorTxtFromCode(true, 1, L"x")), L"File successfuly loaded");
    EXPECT_EQ(W(CFileIo::GetIoErrorTxtFromCode(false, 1, L"x")), L"File successfuly saved");
    // The file name is stripped of its path; a '%' in it is not taken for a conversion.
    EXPECT_EQ(W(CFileIo::GetIoErrorTxtFromCode(true, -1, L"/data/dir/50%s done.obj")),
              L"Can't open the file 50%s done.obj.\nFile might be already opened in another process?");
}

TEST(IoErrorTest, TextErrorsWinOverCodesAndAreLogged) {
    C3DIo io(L"/tmp/x.obj", FILE_IO_LOADING);
    CSceneImportOptions options;
    io.SetIoError(L"custom trouble", &options, IO_LOG_WARNING);
    EXPECT_EQ(io.GetIoError(), IO_FILE_TEXT_ERROR);
    EXPECT_EQ(W(io.GetIoErrorTxt()), L"custom trouble");
    io.SetIoError(IO_FILE_BAD_FORMAT, &options, IO_LOG_ERROR);
    EXPECT_EQ(W(io.GetIoErrorTxt()), L"Bad file format");
    ASSERT_EQ(options.GetLogInfoCount(), 2);
    IoLogInfo first, second;
    ASSERT_TRUE(options.GetLogInfo(0, first));
    ASSERT_TRUE(options.GetLogInfo(1, second));
    EXPECT_EQ(first.level, IO_LOG_WARNING);
    EXPECT_EQ(W(first.text), L"custom trouble");
    EXPECT_EQ(second.code, IO_FILE_BAD_FORMAT);
    EXPECT_EQ(W(second.text), L"Bad file format");
    EXPECT_FALSE(options.GetLogInfo(2, first));
}

TEST(IoReadTest, MissingFileFailsBeforeAnyParserIsMade) {
    RegisterScriptedFormat();
    ScratchDir dir;
    C3DIo io(W(dir / "missing.tst").c_str(), FILE_IO_LOADING);
    EXPECT_EQ(io.Read(), nullptr);
    EXPECT_EQ(io.GetIoError(), IO_FILE_CANT_OPEN);
    EXPECT_EQ(W(io.GetIoErrorTxt()), L"Can't open the file missing.tst.\nFile might be already opened in another process?");
    EXPECT_EQ(TheScript().parsersMade, 0);
    EXPECT_EQ(io.GetParser(), nullptr);
}

TEST(IoReadTest, UnregisteredExtensionIsAnUnknownFileType) {
    ScratchDir dir;
    WriteFile(dir / "a.unknownext", "data");
    C3DIo io(W(dir / "a.unknownext").c_str(), FILE_IO_LOADING);
    EXPECT_EQ(io.Read(), nullptr);
    EXPECT_EQ(W(io.GetIoErrorTxt()), L"Unknown file type");
    // The same through saving.
    C3DScene* cube = MakeCubeScene();
    C3DIo saver(W(dir / "b.unknownext").c_str(), 0);
    EXPECT_FALSE(saver.Save(cube));
    EXPECT_EQ(saver.GetIoError(), IO_FILE_UNKNOWN_TYPE);
    EXPECT_FALSE(fs::exists(dir / "b.unknownext"));
    delete cube;
}

// Read: the scene's file name, the post-load pipeline and the -10 rule.
TEST(IoReadTest, SceneWithoutNodesIsDiscardedAsEmpty) {
    RegisterScriptedFormat();
    ScratchDir dir;
    WriteFile(dir / "a.tst", "x");
    std::wstring name = W(dir / "a.tst");

    TheScript().outcome = Script::kEmptyScene;
    C3DIo empty(name.c_str(), FILE_IO_LOADING);
    EXPECT_EQ(empty.Read(), nullptr);
    EXPECT_EQ(empty.GetIoError(), IO_FILE_EMPTY);
    EXPECT_EQ(W(empty.GetIoErrorTxt()), L"There is no information in the file. The operation is canceled.");

    TheScript().outcome = Script::kCube;
    C3DIo io(name.c_str(), FILE_IO_LOADING);
    C3DScene* scene = io.Read();
    ASSERT_NE(scene, nullptr);
    EXPECT_EQ(io.GetIoError(), IO_FILE_OK);
    EXPECT_EQ(W(scene->GetFileName()), name);
    EXPECT_EQ(TheScript().seenFile, name);
    EXPECT_EQ(Meshes(*scene).size(), 1u);
    delete scene;
}

// When several formats share an extension, a reader that yields nothing hands over to the next.
TEST(IoReadTest, AnotherParserIsTriedForASharedExtension) {
    RegisterScriptedFormat();
    fileUnregisterFile(kTestClass);
    const uint32_t first = FourCC('T', 'S', 'T', '1'), second = FourCC('T', 'S', 'T', '2');
    for (uint32_t cls : {first, second}) {
        CFileExt ext(L".tst", L"Scripted test files", cls, 0x4013, FILE_PARSER_PLUGIN);
        ext.initCallback = &ScriptedInit;
        fileRegisterFile(ext);
    }
    ScratchDir dir;
    WriteFile(dir / "a.tst", "x");
    TheScript().failingClass = first;
    C3DIo io(W(dir / "a.tst").c_str(), FILE_IO_LOADING);
    C3DScene* scene = io.Read();
    ASSERT_NE(scene, nullptr);
    EXPECT_EQ(io.GetFileInfo().GetClass(), second);
    EXPECT_EQ(io.GetIoError(), IO_FILE_OK);
    delete scene;
    fileUnregisterFile(first);
    fileUnregisterFile(second);
}

TEST(IoReadTest, ParserExceptionIsRecordedThenRaisedAgain) {
    RegisterScriptedFormat();
    TheScript().outcome = Script::kThrow;
    ScratchDir dir;
    WriteFile(dir / "a.tst", "x");
    C3DIo io(W(dir / "a.tst").c_str(), FILE_IO_LOADING);
    CSceneImportOptions options;
    bool raised = false;
    try {
        io.Read(&options);
    } catch (CXUserException* e) {
        raised = std::string(e->GetMessage()) == "scripted failure";
        XDeleteThreadException();
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(io.GetIoError(), IO_FILE_EXCEPTION);
    EXPECT_EQ(W(io.GetIoErrorTxt()), L"An unknown error occurs during file access");
    EXPECT_EQ(options.GetLogInfoCount(), 1);
}

// Effective flags = forced | (flags ? flags : defaults), for reading and for writing.
TEST(IoLogTest, ReadsAndSavesAreTimedInTheLog) {
    RegisterScriptedFormat();
    ScratchDir dir;
    WriteFile(dir / "a.tst", "x");
    std::string name = (dir / "a.tst").string();
    ASSERT_TRUE(SetLogFile(W(dir / "io.log").c_str()));
    C3DScene* scene = C3DIo(W(dir / "a.tst").c_str(), FILE_IO_LOADING).Read();
    ASSERT_NE(scene, nullptr);
    EXPECT_TRUE(C3DIo(W(dir / "a.tst").c_str(), 0).Save(scene));
    TheScript().outcome = Script::kFail;
    EXPECT_EQ(C3DIo(W(dir / "a.tst").c_str(), FILE_IO_LOADING).Read(), nullptr);
    EXPECT_FALSE(C3DIo(W(dir / "a.tst").c_str(), 0).Save(scene));
    CloseLogFile();
    delete scene;
    std::string log = ReadFile(dir / "io.log");
    auto has = [&](const std::string& text) { return log.find(text) != std::string::npos; };
    EXPECT_TRUE(has("Read scene file " + name + " in ")) << log;
    EXPECT_TRUE(has("Write scene " + name + " in ")) << log;
    EXPECT_TRUE(has("Fails to read scene file " + name + "\n")) << log;
    EXPECT_TRUE(has("Fails to write scene " + name + "\n")) << log;
}

TEST(IoOptionsTest, ForcedFlagsAlwaysAddDefaultsOnlyWhenNoFlagsGiven) {
    RegisterScriptedFormat();
    ScratchDir dir;
    WriteFile(dir / "a.tst", "x");
    std::wstring name = W(dir / "a.tst");
    Script& s = TheScript();
    s.forced = 0x01000000;
    s.defaults = 0x02000000;

    struct Case {
        uint32_t given, expected;
    };
    for (Case c : {Case{0, 0x03000000}, Case{0x04000000, 0x05000000}, Case{0x01000000, 0x01000000}}) {
        C3DIo reader(name.c_str(), FILE_IO_LOADING);
        CSceneImportOptions in(c.given);
        C3DScene* scene = reader.Read(&in);
        ASSERT_NE(scene, nullptr);
        EXPECT_EQ(s.seenFlags, c.expected) << std::hex << c.given;
        EXPECT_EQ(in.GetFlags(), c.expected);
        delete scene;

        C3DScene* cube = MakeCubeScene();
        C3DIo writer(W(dir / "out.tst").c_str(), 0);
        CSceneExportOptions out(c.given);
        EXPECT_TRUE(writer.Save(cube, &out));
        EXPECT_EQ(s.seenFlags, c.expected) << std::hex << c.given;
        delete cube;
    }
    CSceneImportOptions bare;
    bare.SetForcedFlags(8);
    EXPECT_EQ(bare.ComputeFlags(), 8u);
}

TEST(IoSaveTest, ExportCopyLeavesTheCallersSceneUntouched) {
    RegisterScriptedFormat();
    ScratchDir dir;
    std::wstring target = W(dir / "out.tst");
    C3DScene* scene = MakeCubeScene();
    scene->SetFileName(L"original.name");

    C3DIo io(target.c_str(), 0);
    CSceneExportOptions options;
    ASSERT_TRUE(io.Save(scene, &options));
    EXPECT_NE(TheScript().seenScene, scene);
    EXPECT_EQ(W(scene->GetFileName()), L"original.name");
    EXPECT_EQ(options.GetExportScene(), nullptr);  // released after the save
    EXPECT_EQ(W(io.GetIoErrorTxt()), L"File successfuly saved");
    EXPECT_EQ(ReadFile(dir / "out.tst"), "new content");

    C3DIo direct(target.c_str(), 0);
    CSceneExportOptions noCopy(SCENE_EXPORT_NO_COPY);
    ASSERT_TRUE(direct.Save(scene, &noCopy));
    EXPECT_EQ(TheScript().seenScene, scene);
    EXPECT_EQ(W(scene->GetFileName()), target);
    delete scene;
}

// An update runs only with parser data of the file's own format that the parser accepts;
// otherwise the request is dropped and the scene is saved in full.
TEST(IoSaveTest, UpdateRequestsNeedParserDataOfTheFilesFormat) {
    RegisterScriptedFormat();
    ScratchDir dir;
    std::wstring target = W(dir / "out.tst");
    C3DScene* scene = MakeCubeScene();
    int foreign = 0;
    struct Case {
        uint32_t dataClass;
        void* data;
        bool updated;
    };
    for (Case c : {Case{kTestClass, &TheScript(), true}, Case{FILE_CLASS_3DIF, &TheScript(), false},
                   Case{kTestClass, &foreign, false}}) {
        scene->SetParserData(c.dataClass, c.data);
        C3DIo io(target.c_str(), 0);
        CSceneExportOptions options(SCENE_EXPORT_UPDATE);
        ASSERT_TRUE(io.Save(scene, &options));
        EXPECT_EQ(TheScript().seenUpdateData, c.updated ? c.data : nullptr) << std::hex << c.dataClass;
        EXPECT_EQ(options.IsFlagSet(SCENE_EXPORT_UPDATE), c.dataClass == kTestClass);
    }
    scene->SetParserData(0, nullptr);
    delete scene;
}

TEST(IoSaveTest, NothingToSaveWithoutNodes) {
    RegisterScriptedFormat();
    ScratchDir dir;
    C3DScene empty;
    C3DIo io(W(dir / "out.tst").c_str(), 0);
    EXPECT_FALSE(io.Save(&empty));
    EXPECT_EQ(W(io.GetIoErrorTxt()), L"There is nothing to save.\nFile saving is canceled.");
    // A null scene, on a fresh frame too, answers with the same error, not a stale success.
    C3DIo fresh(W(dir / "out.tst").c_str(), 0);
    EXPECT_FALSE(fresh.Save(nullptr));
    EXPECT_EQ(fresh.GetIoError(), IO_FILE_NOTHING_TO_SAVE);
    EXPECT_TRUE(dir.List().empty());
}

// The parser writes a temporary file beside the target; the target is replaced only after
// success, and no temporary file survives any outcome.
TEST(IoSaveTest, FailedOrRaisingSaveLeavesTheExistingFileIntact) {
    RegisterScriptedFormat();
    ScratchDir dir;
    fs::path target = dir / "keep.tst";
    WriteFile(target, "precious");
    ::chmod(target.c_str(), 0640);
    C3DScene* scene = MakeCubeScene();

    TheScript().outcome = Script::kFail;
    C3DIo failing(W(target).c_str(), 0);
    EXPECT_FALSE(failing.Save(scene));
    EXPECT_EQ(failing.GetIoError(), IO_FILE_DISK_FULL);
    EXPECT_NE(TheScript().seenFile, W(target));
    EXPECT_EQ(TheScript().seenTarget, W(target));
    EXPECT_EQ(fs::path(TheScript().seenFile).parent_path(), dir.path());
    EXPECT_EQ(ReadFile(target), "precious");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"keep.tst"});

    TheScript().outcome = Script::kThrow;
    C3DIo raising(W(target).c_str(), 0);
    EXPECT_TRUE(test::Raises<CXUserException>([&] { raising.Save(scene); }));
    EXPECT_EQ(raising.GetIoError(), IO_FILE_EXCEPTION);
    EXPECT_EQ(ReadFile(target), "precious");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"keep.tst"});

    TheScript().outcome = Script::kCube;
    C3DIo succeeding(W(target).c_str(), 0);
    EXPECT_TRUE(succeeding.Save(scene));
    EXPECT_EQ(ReadFile(target), "new content");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"keep.tst"});
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file keeps its permissions
    delete scene;
}

// An OBJ file saved to a "file:" address gets its material library beside it, named in its
// "mtllib" line, as one saved to the plain path does.
TEST(IoSaveTest, ObjSavedToAFileAddressWritesItsLibraryBesideIt) {
    ScratchDir dir;
    C3DScene* scene = MakeCubeScene();
    C3DIo writer((L"file://" + W(dir / "u.obj")).c_str(), FILE_IO_SILENT);
    EXPECT_TRUE(writer.Save(scene));
    delete scene;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"u.mtl", "u.obj"}));
    EXPECT_NE(ReadFile(dir / "u.obj").find("mtllib u.mtl\n"), std::string::npos);
}

// A target whose name takes nearly all of the 255 bytes a file name may have: its temporary file
// beside it, named after it, is shortened to fit (at a character boundary), and the save succeeds.
TEST(IoSaveTest, TargetsWithLongNamesAreSaved) {
    ScratchDir dir;
    std::unique_ptr<C3DScene> scene(MakeCubeScene());
    for (const std::string& stem :
         {std::string(248, 'a'), std::string(244, 'b') + "\xC3\xA9"}) {  // + 'e acute'
        const std::string name = stem + (stem[0] == 'a' ? ".3dif" : ".obj");
        ASSERT_LE(name.size(), 255u);
        const std::wstring wide = W(dir.path()) + L"/" + std::wstring(XCA2W(name.c_str()).GetString());
        C3DIo writer(wide.c_str(), FILE_IO_SILENT);
        EXPECT_TRUE(writer.Save(scene.get())) << W(writer.GetIoErrorTxt()).size();
    }
    std::vector<std::string> names = dir.List();
    ASSERT_EQ(names.size(), 3u);  // the two files and the OBJ's library, no temporary file
}

// Texture names relative to the scene file (Windows ones with backslashes too) still name the
// same files after a save into another folder, in either format; the caller's scene keeps its
// names.
TEST(IoSaveTest, SavedScenesFindTheirTexturesFromTheirNewFolder) {
    ScratchDir dir;
    fs::create_directories(dir / "a/tex");
    fs::create_directories(dir / "a/maps");
    fs::create_directories(dir / "b");
    WriteFile(dir / "a/tex/wood.png", "w");
    WriteFile(dir / "a/maps/eye.png", "e");
    WriteFile(dir / "a/m.mtl", "newmtl wood\nmap_Kd tex/wood.png\nnewmtl eye\nmap_Kd maps\\eye.png\n");
    WriteFile(
        dir / "a/m.obj",
        "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nusemtl wood\nf 1 2 3\nusemtl eye\nf 2 4 3\n");
    const auto texturesFound = [&](const C3DScene& scene) {
        int found = 0;
        for (const wchar_t* material : {L"wood", L"eye"}) {
            const C3DMaterial* m = scene.GetMaterialByName(material);
            const CXTString<wchar_t> path =
                m ? m->GetDiffuseMaps()->GetBitmapPath(&scene) : CXTString<wchar_t>();
            if (!path.IsEmpty() &&
                fs::equivalent(fs::path(W(path)),
                               dir / (material[0] == L'w' ? "a/tex/wood.png" : "a/maps/eye.png")))
                ++found;
        }
        return found;
    };
    C3DIo reader(W(dir / "a/m.obj").c_str(), FILE_IO_SILENT);
    std::unique_ptr<C3DScene> scene(reader.Read());
    ASSERT_NE(scene, nullptr);
    EXPECT_EQ(texturesFound(*scene), 2);
    for (const char* target : {"b/out.obj", "b/out.3dif", "a/same.obj"}) {
        C3DIo writer(W(dir / target).c_str(), FILE_IO_SILENT);
        ASSERT_TRUE(writer.Save(scene.get())) << target;
        C3DIo again(W(dir / target).c_str(), FILE_IO_SILENT);
        std::unique_ptr<C3DScene> saved(again.Read());
        ASSERT_NE(saved, nullptr) << target;
        EXPECT_EQ(texturesFound(*saved), 2) << target;
    }
    EXPECT_NE(ReadFile(dir / "b/out.mtl").find("map_Kd ../a/tex/wood.png\nnewmtl"), std::string::npos);
    EXPECT_EQ(W(scene->GetMaterialByName(L"wood")->GetDiffuseMaps()->GetFileName()), L"tex/wood.png");
}

TEST(IoSaveTest, CompanionFilesAreCommittedOrDiscardedTogether) {
    ScratchDir dir;
    WriteFile(dir / "a.obj", "old a");
    {
        CSceneExportOptions options;
        CXTString<wchar_t> ta = options.AddTemporaryFile(W(dir / "a.obj").c_str());
        CXTString<wchar_t> tb = options.AddTemporaryFile(W(dir / "a.mtl").c_str());
        EXPECT_EQ(W(options.AddTemporaryFile(W(dir / "a.obj").c_str())), W(ta));
        WriteFile(fs::path(W(ta)), "new a");
        WriteFile(fs::path(W(tb)), "new b");
        EXPECT_TRUE(options.CommitTemporaryFiles());
    }
    EXPECT_EQ(ReadFile(dir / "a.obj"), "new a");
    EXPECT_EQ(ReadFile(dir / "a.mtl"), "new b");
    {
        CSceneExportOptions options;
        WriteFile(fs::path(W(options.AddTemporaryFile(W(dir / "a.obj").c_str()))), "lost");
        // Destroyed without commit: the temporary file goes away.
    }
    EXPECT_EQ(ReadFile(dir / "a.obj"), "new a");
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"a.mtl", "a.obj"}));
    {
        // A companion that cannot be put in place (a directory holds its name): the commit
        // fails, the target (added first, as a save adds it) is not replaced, since companions
        // go into place before it, and no temporary file stays behind.
        fs::create_directory(dir / "c.mtl");
        CSceneExportOptions failing;
        WriteFile(fs::path(W(failing.AddTemporaryFile(W(dir / "a.obj").c_str()))), "newer a");
        WriteFile(fs::path(W(failing.AddTemporaryFile(W(dir / "c.mtl").c_str()))), "new c.mtl");
        EXPECT_FALSE(failing.CommitTemporaryFiles());
        EXPECT_TRUE(fs::is_directory(dir / "c.mtl"));
        EXPECT_EQ(ReadFile(dir / "a.obj"), "new a");
        EXPECT_EQ(dir.List(), (std::vector<std::string>{"a.mtl", "a.obj", "c.mtl"}));
    }
    {
        // The target's name held by a directory: the companion already put in place goes back
        // to what it was, and a companion that did not exist goes away again.
        fs::create_directory(dir / "d.obj");
        WriteFile(dir / "d.mtl", "old d.mtl");
        CSceneExportOptions failing;
        WriteFile(fs::path(W(failing.AddTemporaryFile(W(dir / "d.obj").c_str()))), "new d");
        WriteFile(fs::path(W(failing.AddTemporaryFile(W(dir / "d.mtl").c_str()))), "new d.mtl");
        WriteFile(fs::path(W(failing.AddTemporaryFile(W(dir / "e.mtl").c_str()))), "new e.mtl");
        EXPECT_FALSE(failing.CommitTemporaryFiles());
        EXPECT_EQ(ReadFile(dir / "d.mtl"), "old d.mtl");
        EXPECT_EQ(dir.List(), (std::vector<std::string>{"a.mtl", "a.obj", "c.mtl", "d.mtl", "d.obj"}));
    }
    {
        // A symbolic link as the target: the file it names gets the content, the link stays.
        fs::create_symlink("a.obj", dir / "link.obj");
        CSceneExportOptions options;
        WriteFile(fs::path(W(options.AddTemporaryFile(W(dir / "link.obj").c_str()))), "through the link");
        EXPECT_TRUE(options.CommitTemporaryFiles());
        EXPECT_TRUE(fs::is_symlink(dir / "link.obj"));
        EXPECT_EQ(ReadFile(dir / "a.obj"), "through the link");
    }
    {
        // Each replacement is one step: a reader never finds the target missing, also while the
        // old file keeps a second name for the way back.
        std::atomic<bool> done{false};
        std::atomic<int> missing{0};
        const std::string watched = (dir / "a.obj").string();
        std::thread watcher([&] {
            struct stat st;
            while (!done.load())
                if (::stat(watched.c_str(), &st) != 0) ++missing;
        });
        for (int i = 0; i < 300; ++i) {
            CSceneExportOptions options;
            WriteFile(fs::path(W(options.AddTemporaryFile(W(dir / "a.obj").c_str()))), std::to_string(i));
            ASSERT_TRUE(options.CommitTemporaryFiles());
        }
        done = true;
        watcher.join();
        EXPECT_EQ(missing.load(), 0);
        EXPECT_EQ(ReadFile(dir / "a.obj"), "299");
    }
    CSceneExportOptions options;
    EXPECT_TRUE(options.AddTemporaryFile(W(dir / "no/such/dir/x.obj").c_str()).IsEmpty());
}

TEST(FileInfoTest, SplitsLocalNamesAndUrls) {
    CFileInfo local(L"/data/models/bunny.v2.OBJ");
    EXPECT_EQ(W(local.GetRoot()), L"/");
    EXPECT_EQ(W(local.GetPath()), L"/data/models/");
    EXPECT_EQ(W(local.GetName()), L"bunny.v2");
    EXPECT_EQ(W(local.GetExtension()), L".OBJ");
    EXPECT_EQ(W(local.GetShortFileName()), L"bunny.v2.OBJ");
    EXPECT_EQ(local.GetClass(), FILE_CLASS_WAVEFRONT);  // extension look-up ignores case
    EXPECT_TRUE(local.IsFile());

    CFileInfo url(L"http://host:8080/dir/a.obj?v=2");
    EXPECT_TRUE(url.IsURL());
    EXPECT_FALSE(url.IsFile());
    EXPECT_EQ(W(url.GetRoot()), L"http://host:8080/");
    EXPECT_EQ(W(url.GetPath()), L"http://host:8080/dir/");
    EXPECT_EQ(W(url.GetName()), L"a");
    EXPECT_EQ(W(url.GetQuery()), L"?v=2");
    EXPECT_TRUE(url.GetLocalFileName().IsEmpty());

    CFileInfo fileUrl(L"file:///tmp/x.3dif");
    EXPECT_TRUE(fileUrl.IsFile());
    EXPECT_EQ(W(fileUrl.GetLocalFileName()), L"/tmp/x.3dif");
    EXPECT_EQ(fileUrl.GetClass(), FILE_CLASS_3DIF);

    CFileInfo relative(L"models/.hidden");
    EXPECT_EQ(W(relative.GetRoot()), L"");
    EXPECT_EQ(W(relative.GetName()), L".hidden");
    EXPECT_EQ(W(relative.GetExtension()), L"");
    EXPECT_FALSE(relative.IsRegistered());
    EXPECT_EQ(relative.GetLoader(), FILE_PARSER_UNKNOWN);
}

TEST(FileInfoTest, HttpUrlsCannotBeReadLocally) {
    C3DIo io(L"http://127.0.0.1:1/a.obj", FILE_IO_LOADING);
    EXPECT_FALSE(io.PrepareReading());
    EXPECT_EQ(io.GetIoError(), IO_FILE_CANT_OPEN);
}

TEST(IoDialogTest, DialogsFollowTheRegistryProperties) {
    CFileExt ext(L".dlg", L"Dialog test", FourCC('D', 'L', 'G', 'T'), 0x4001 | 64);
    fileRegisterFile(ext);
    EXPECT_EQ(CFileIo::HasDialog(ext.fileClass, true), IO_DIALOG_MANDATORY);
    EXPECT_EQ(CFileIo::HasDialog(ext.fileClass, false), IO_DIALOG_NONE);
    ext.properties = 0x4002;  // writable scene format: bit 128 added, an optional dialog
    fileRegisterFile(ext);
    EXPECT_EQ(CFileIo::HasDialog(ext.fileClass, false), IO_DIALOG_OPTIONAL);
    EXPECT_EQ(CFileIo::HasDialog(ext.fileClass, true), IO_DIALOG_NONE);
    EXPECT_EQ(CFileIo::HasDialog(0x12345678, true), IO_DIALOG_NONE);
    fileUnregisterFile(ext.fileClass);
}

TEST(IoParametersTest, ParameterBlocksAreKeptPerDirectionAndIdentifier) {
    CCustomData in, out, read;
    in.SetInt(FourCC('A', 'B', 'C', 'D'), 7);
    out.SetInt(FourCC('A', 'B', 'C', 'D'), 9);
    EXPECT_TRUE(CFileIo::SaveIoParameters(true, in, FourCC('F', 'M', 'T', '1')));
    EXPECT_TRUE(CFileIo::SaveIoParameters(false, out, FourCC('F', 'M', 'T', '1')));
    ASSERT_TRUE(CFileIo::LoadIoParameters(true, read, FourCC('F', 'M', 'T', '1')));
    EXPECT_TRUE(read.IsEqual(in));
    ASSERT_TRUE(CFileIo::LoadIoParameters(false, read, FourCC('F', 'M', 'T', '1')));
    EXPECT_TRUE(read.IsEqual(out));
    EXPECT_FALSE(CFileIo::LoadIoParameters(true, read, FourCC('N', 'O', 'N', 'E')));
    EXPECT_TRUE(read.IsEqual(out));  // unchanged by the failed load
}

// The io.prefs file is written by the exit callback only while preference saving is enabled.
TEST(IoParametersTest, PreferencesFileIsWrittenAtExitWhenEnabled) {
    ScratchDir dir;
    SetUserPreferencesPath((W(dir.path()) + L"/").c_str());
    InitKestovarApplication();
    EnablePreferencesSaving(true);
    CCustomData block;
    block.SetInt(FourCC('V', 'A', 'L', 'U'), 42);
    CFileIo::SaveIoParameters(false, block, FourCC('F', 'M', 'T', '2'));
    CXTString<wchar_t> path = CFileIo::GetPreferencesFilePath();
    CloseKestovarApplication();
    EXPECT_TRUE(fs::exists(fs::path(W(path))));

    // A new process-wide block loads what was written.
    InitKestovarApplication();
    CCustomData read;
    EXPECT_TRUE(CFileIo::LoadIoParameters(false, read, FourCC('F', 'M', 'T', '2')));
    EXPECT_TRUE(read.IsEqual(block));
    EnablePreferencesSaving(false);
    CloseKestovarApplication();
    SetUserPreferencesPath(nullptr);
}

TEST(ThreeDifTest, SceneRoundTripsThroughItsOwnFormat) {
    ScratchDir dir;
    std::wstring name = W(dir.path()) + L"/cube \u00e9t\u00e9.3dif";  // file names are UTF-8 on disk
    C3DScene* scene = MakeCubeScene(L"box");
    C3DIo writer(name.c_str(), 0);
    ASSERT_TRUE(writer.Save(scene));

    C3DIo reader(name.c_str(), FILE_IO_LOADING);
    C3DScene* loaded = reader.Read();
    ASSERT_NE(loaded, nullptr) << W(reader.GetIoErrorTxt()).size();
    auto a = Meshes(*scene), b = Meshes(*loaded);
    ASSERT_EQ(b.size(), 1u);
    ASSERT_EQ(b[0]->GetPointList()->GetSize(), a[0]->GetPointList()->GetSize());
    ASSERT_EQ(b[0]->GetFaceList()->GetSize(), a[0]->GetFaceList()->GetSize());
    for (int i = 0; i < a[0]->GetPointList()->GetSize(); ++i) {
        EXPECT_EQ(b[0]->GetPointList()->GetAt(i), a[0]->GetPointList()->GetAt(i)) << i;
    }
    EXPECT_EQ(W(loaded->GetFileName()), name);  // the copy written took the target's name
    delete loaded;

    // A moved file is where it was read from, not where it was written.
    ASSERT_TRUE(C3DIo(W(dir / "first.3dif").c_str(), 0).Save(scene));
    delete scene;
    fs::rename(dir / "first.3dif", dir / "moved.3dif");
    const std::wstring moved = W(dir / "moved.3dif");
    C3DIo again(moved.c_str(), FILE_IO_LOADING);
    loaded = again.Read();
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(W(loaded->GetFileName()), moved);
    delete loaded;
}

TEST(ThreeDifTest, DamagedFilesAreBadFormat) {
    ScratchDir dir;
    std::wstring name = W(dir / "cube.3dif");
    C3DScene* scene = MakeCubeScene();
    ASSERT_TRUE(C3DIo(name.c_str(), 0).Save(scene));
    delete scene;
    std::string bytes = ReadFile(fs::path(name));
    for (size_t cut : {size_t(0), size_t(3), bytes.size() / 2, bytes.size() - 1}) {
        WriteFile(fs::path(name), bytes.substr(0, cut));
        C3DIo io(name.c_str(), FILE_IO_LOADING);
        // The options' log holds the error's entry, then the archive's account of the damage.
        CSceneImportOptions options;
        EXPECT_EQ(io.Read(&options), nullptr) << cut;
        EXPECT_EQ(io.GetIoError(), IO_FILE_BAD_FORMAT) << cut;
        IoLogInfo last;
        ASSERT_TRUE(options.GetLogInfo(options.GetLogInfoCount() - 1, last)) << cut;
        EXPECT_EQ(last.level, IO_LOG_ERROR);
        EXPECT_EQ(W(last.text), L"unexpected end of archive") << cut;
    }
    // Bytes of another kind: the scene reader's own word for it.
    WriteFile(fs::path(name), std::string(64, 'x'));
    C3DIo io(name.c_str(), FILE_IO_LOADING);
    CSceneImportOptions options;
    EXPECT_EQ(io.Read(&options), nullptr);
    IoLogInfo last;
    ASSERT_TRUE(options.GetLogInfo(options.GetLogInfoCount() - 1, last));
    EXPECT_EQ(W(last.text), L"not a 3DIF scene file");
}

// A host may read from the catch block of one of the library's exceptions: the reads, whether
// they succeed, fail or raise inside the parser, leave that exception registered and readable.
TEST(IoReadTest, ReadingFromACatchBlockKeepsTheHeldException) {
    ScratchDir dir;
    const std::wstring good = W(dir / "cube.obj"), damaged = W(dir / "cube.3dif");
    C3DScene* cube = MakeCubeScene();
    ASSERT_TRUE(C3DIo(good.c_str(), 0).Save(cube));
    ASSERT_TRUE(C3DIo(damaged.c_str(), 0).Save(cube));
    delete cube;
    WriteFile(fs::path(damaged), ReadFile(fs::path(damaged)).substr(0, 40));
    try {
        XThrow<CXInvalidArgException>("held by the host");
    } catch (CXException* held) {
        for (const std::wstring& name : {good, damaged, W(dir / "missing.obj")}) {
            C3DIo io(name.c_str(), FILE_IO_LOADING | FILE_IO_SILENT);
            delete io.Read();
            EXPECT_EQ(XGetThreadException(), held);
            EXPECT_STREQ(held->GetMessage(), "held by the host");
        }
        XDeleteThreadException();
    }
    EXPECT_EQ(XGetThreadException(), nullptr);
}

TEST(ThreeDifTest, ClassConstructorNamesTheFormat) {
    C3DIo io(FILE_CLASS_3DIF, 0);
    EXPECT_EQ(W(io.GetCurrentCompleteFileName()), L".3dif");
    EXPECT_EQ(io.GetFileInfo().GetClass(), FILE_CLASS_3DIF);
    EXPECT_TRUE(io.PrepareSaving());
    EXPECT_NE(io.Get3DParser(), nullptr);
    EXPECT_FALSE(C3DIo::ReleaseParser(true, FILE_CLASS_3DIF, nullptr));
}

}  // namespace
}  // namespace kestovar
