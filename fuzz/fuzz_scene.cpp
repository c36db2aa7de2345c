// Fuzz target: arbitrary bytes read as a ".3dif" scene file. A scene that loads is walked,
// evaluated, written again and read back, and edited as a host would; malformed data must raise a CXException and never
// crash, hang, read out of bounds or leak.
#include <cstddef>
#include <cstdint>

#include "kestovar/core/archive.h"
#include "kestovar/platform/file.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/scene/scene.h"
#include "scene_bytes.h"

namespace {

using namespace kestovar;

// Touches what a host reads from a loaded scene.
void Exercise(C3DScene& scene) {
    C4x4TMatrix<float> m;
    for (C3DNodePos pos = scene.GetFirstNode(KIND_ALL, WALK_EMPTY_NODES); pos;) {
        C3DSceneNode* node = scene.GetNextNode(pos);
        node->GetNodeTM(0, m, true);
        node->GetNodeTM(7, m, false);
        C3DTBBox<float> box;
        node->GetBoundingBox(box);
    }
    int position;
    for (C3DMaterial* material = scene.GetFirstMaterial(position); material; material = scene.GetNextMaterial(position)) {
        material->GetDiffuseColor(3, true);
        material->GetSpecularFactor(-2);
        C4x4TMatrix<float> placement;
        for (int i = 0; i < material->GetMapCount(); ++i) material->GetMap(i)->GetMatrix(1, placement);
    }
    scene.GetPointNbr();
    scene.GetFaceNbr();
}

// Every other node, by position in the walk (node identifiers depend on what ran before).
struct EveryOther : C3DFilter {
    mutable int seen = 0;
    bool Accept(const C3DSceneNode*) const override { return ++seen % 2 == 0; }
};

// The tree edits a host runs on what it loaded, chosen by the last byte; the scene must stay
// whole for the walk after them.
void Edit(C3DScene& scene, uint8_t pick) {
    if (pick & 1) {
        EveryOther filter;
        scene.DeleteNodes(nullptr, filter);
    }
    if (pick & 2) scene.RemoveGroups();
    if (pick & 4) scene.CleanGroups();
    if (pick & 8) scene.ConcatenateByMaterials(nullptr, (pick & 16) ? CONCATENATE_KEEP_SOURCES : 0, nullptr);
    if (pick & 32) {
        // Every polymesh replaced by a copy, once per shared object.
        struct ToCopies : C3DObjectCreator {
            C3DBaseObject* ConvertToType(const C3DSceneNode*, const C3DBaseObject* object) override {
                C3DBaseObject* source = const_cast<C3DBaseObject*>(object);
                return object->GetKindOf() == OBJECT_POLYMESH ? source->Copy(0) : source;
            }
        } creator;
        scene.ConvertToType(creator);
    }
    Exercise(scene);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    C3DScene* scene = fuzz_scene_bytes::Read(data, size);
    if (!scene) return 0;
    Exercise(*scene);
    // What loaded must write and load again.
    CXMemFile copy;
    {
        CXArchive ar(&copy, CXArchive::store);
        scene->WriteSceneFile(ar);
        ar.Close();
    }
    Edit(*scene, data[size - 1]);
    delete scene;
    CXMemFile again(copy.GetBuffer(), size_t(copy.GetLength()));
    CXArchive ar(&again, CXArchive::load);
    delete C3DScene::ReadSceneFile(ar);
    return 0;
}
