// Fuzz target: arbitrary bytes read as an STL file (binary or ASCII). Whatever loads is written
// back in both layouts and read again with the same triangle count; malformed data must be refused
// with a code and never crash, hang, read out of bounds or leak.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kestovar/core/exception.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/scene/scene.h"
#include "stl_format.h"

namespace {

using namespace kestovar;

int TriangleCount(const C3DScene& scene) {
    int count = 0;
    for (C3DNodePos pos = scene.GetFirstNode(OBJECT_POLYMESH, 0); pos;) {
        C3DGeomObject* object;
        scene.GetNextNode(pos, object);
        if (object && object->GetFaceList()) count += object->GetFaceList()->GetSize();
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    C3DScene* scene = nullptr;
    CXTString<char> problem;
    int code = stl::ReadStl(data, size, L"fuzz", scene, &problem);
    if (code != 1) {
        if (scene) std::abort();  // a failure hands out nothing
        // Malformed text always says where; binary data is only ever refused by its size.
        if (code == -3 && problem.IsEmpty()) std::abort();
        return 0;
    }
    if (!problem.IsEmpty()) std::abort();
    const int triangles = TriangleCount(*scene);
    for (bool ascii : {false, true}) {
        CXTString<char> bytes;
        int written = stl::WriteStl(*scene, ascii, "fuzz", bytes);
        if (triangles == 0) {
            if (written != -8) std::abort();
            continue;
        }
        if (written != 1) std::abort();
        C3DScene* again = nullptr;
        if (stl::ReadStl(reinterpret_cast<const uint8_t*>(bytes.GetString()), size_t(bytes.GetLength()), L"fuzz", again) != 1)
            std::abort();
        if (TriangleCount(*again) != triangles) std::abort();
        delete again;
    }
    delete scene;
    return 0;
}
