// Helpers shared by the scene optimiser's source files.
#pragma once

#include "kestovar/scene/scene.h"
#include "kestovar/scene/scene_node.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar::optimizer_detail {

// Node walk of the optimiser: geometric objects (kind mask 7), each shared object once.
constexpr unsigned int kWalkKinds = 7;
constexpr unsigned int kWalkFlags = WALK_SHARED_ONCE;

// Calls fn(extObject, node) for every C3DExtObject held directly by a node of `scene`; stops
// early when fn returns false.
template <class Fn>
void ForEachExtObject(const C3DScene* scene, Fn&& fn) {
    if (!scene) return;
    for (C3DNodePos pos = scene->GetFirstNode(kWalkKinds, kWalkFlags); pos;) {
        C3DBaseObject* object = nullptr;
        C3DSceneNode* node = scene->GetNextNode(pos, object);
        if (!node) continue;
        if (C3DExtObject* ext = dynamic_cast<C3DExtObject*>(object))
            if (!fn(ext, node)) return;
    }
}

}  // namespace kestovar::optimizer_detail
