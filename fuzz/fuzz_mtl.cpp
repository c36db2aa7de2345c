// Fuzz target: arbitrary bytes read as a Wavefront MTL library. The materials that load are
// written with a one-triangle scene and read back, which must give at least as many materials;
// malformed text must never crash, hang, read out of bounds or leak.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kestovar/io/file_io.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/scene/scene.h"
#include "scratch_files.h"

using namespace kestovar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    C3DScene scene;
    if (CWavefrontIo::ReadMtlMemory(data, size, scene, 1) < 0) __builtin_trap();
    int position = -1;
    unsigned anyMaterial = MATERIAL_NONE;
    for (C3DMaterial* m = scene.GetFirstMaterial(position); m; m = scene.GetNextMaterial(position)) {
        m->GetDiffuseColor(0, true);
        m->GetTransparency(0);
        anyMaterial = m->GetMaterialID();
    }
    const int materials = scene.GetMaterialTable().GetCount();
    if (materials == 0) return 0;

    const float points[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const int triangle[3] = {0, 1, 2};
    C3DObject* object = CreateObjectFromArrays(points, sizeof points, triangle, sizeof triangle, nullptr, 0);
    object->GetFaceList()->SetFaceMaterial(0, anyMaterial);
    scene.CreateNode(nullptr, L"t", object);
    static const std::string& base = fuzz_scratch::ScratchBase("mtl");
    CXStringW obj((base + ".obj").c_str());
    CXStringW mtl((base + ".mtl").c_str());
    const std::string bare = "kestovar_fuzz_mtl_" + std::to_string(getpid()) + ".mtl";
    CXStringW mtlName(bare.c_str());
    int result = 0;
    if (!CWavefrontIo::WriteObjFile(obj, scene, mtl, mtlName, result)) __builtin_trap();
    C3DScene* again = CWavefrontIo::ReadObjFile(obj, result);
    if (!again || again->GetMaterialTable().GetCount() < materials) __builtin_trap();
    delete again;
    return 0;
}
