// Fuzz target: arbitrary bytes read as a Wavefront OBJ file, once with its material libraries
// looked up in a folder of two (when its names cannot leave that folder) and once without. A scene
// that loads is written and read back, which must give the same nodes with the same point and face
// counts; malformed text must end with an error code and never crash, hang, read out of bounds or
// leak.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "kestovar/io/file_io.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/scene/scene.h"
#include "scratch_files.h"

using namespace kestovar;

namespace {

struct Counts {
    int nodes = 0, points = 0, faces = 0;
};

Counts Count(C3DScene& scene) {
    Counts c;
    for (C3DNodePos pos = scene.GetFirstNode(); pos;) {
        C3DGeomObject* object = nullptr;
        scene.GetNextNode(pos, object);
        ++c.nodes;
        if (!object) continue;
        c.points += object->GetPointNbr();
        c.faces += object->GetFaceNbr();
    }
    return c;
}

// A folder holding two material libraries, so that the input's "mtllib" names are looked up
// (folders, Windows separators, letter case, repeats): made once per process, removed at exit.
const CXStringW& LibraryFolder() {
    static const std::string folder = [] {
        const std::string path = fuzz_scratch::ScratchBase("obj") + "_libraries";
        std::filesystem::create_directories(path);
        std::ofstream(path + "/a.mtl")
            << "newmtl a\nKd 1 0 0\nmap_Kd -s 1 1 1 -bm 0.5 t.png\nnewmtl T\xFCr\n";
        std::ofstream(path + "/Mixed Case.MTL") << "newmtl b\nmap_Kd -clamp on\n";
        std::atexit([] { std::filesystem::remove_all(fuzz_scratch::Base() + "_libraries"); });
        return path;
    }();
    static const CXStringW wide(folder.c_str());
    return wide;
}

// Whether every name in the text stays inside the library folder: no "..", and no '/' or '\\'
// that starts a name (an absolute path could name any file of the machine, a large one included).
bool StaysInFolder(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if ((data[i] == '/' || data[i] == '\\') && (i == 0 || data[i - 1] <= ' ')) return false;
        if (data[i] == '.' && i + 1 < size && data[i + 1] == '.') return false;
    }
    return true;
}

// A read's outcome is consistent: a scene exactly when it succeeded, and malformed text says where.
bool Consistent(const C3DScene* scene, int result, const CWavefrontIo::CReadNotes& notes) {
    if (!scene) return result != IO_FILE_OK && (result != IO_FILE_BAD_FORMAT || !notes.problem.IsEmpty());
    return notes.problem.IsEmpty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int result = 0;
    CWavefrontIo::CReadNotes notes;
    if (StaysInFolder(data, size)) {
        C3DScene* withLibraries = CWavefrontIo::ReadObjMemory(data, size, LibraryFolder(), result, &notes);
        if (!Consistent(withLibraries, result, notes)) __builtin_trap();
        delete withLibraries;
    }
    C3DScene* scene = CWavefrontIo::ReadObjMemory(data, size, nullptr, result, &notes);
    if (!Consistent(scene, result, notes)) __builtin_trap();
    if (!scene) return 0;
    const Counts before = Count(*scene);
    if (before.nodes > 0) {
        static const std::string& base = fuzz_scratch::ScratchBase("obj");
        CXStringW obj((base + ".obj").c_str());
        CXStringW mtl((base + ".mtl").c_str());
        if (!CWavefrontIo::WriteObjFile(obj, *scene, mtl, L"unused.mtl", result)) __builtin_trap();
        C3DScene* again = CWavefrontIo::ReadObjFile(obj, result);
        if (!again) __builtin_trap();
        const Counts after = Count(*again);
        if (after.nodes != before.nodes || after.points != before.points || after.faces != before.faces)
            __builtin_trap();
        delete again;
    }
    delete scene;
    return 0;
}
