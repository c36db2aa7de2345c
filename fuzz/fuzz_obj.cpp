// Fuzz target: arbitrary bytes read as a Wavefront OBJ file. A scene that loads is written and read
// back, which must give the same nodes with the same point and face counts; malformed text must
// end with an error code and never crash, hang, read out of bounds or leak.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int result = 0;
    CWavefrontIo::CReadNotes notes;
    C3DScene* scene = CWavefrontIo::ReadObjMemory(data, size, nullptr, result, &notes);
    if (!scene) {
        if (result == IO_FILE_OK) __builtin_trap();
        // Malformed text always says where.
        if (result == IO_FILE_BAD_FORMAT && notes.problem.IsEmpty()) __builtin_trap();
        return 0;
    }
    if (!notes.problem.IsEmpty()) __builtin_trap();
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
