// The scene optimiser's scenes: attaching and owning the source scene, the forms GetScene hands
// out, editing an attached scene, and the collectors of optimisable objects.
#include <climits>

#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/object_creator.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "optimizer/scene_optimizer_internal.h"

namespace kestovar {

using optimizer_detail::ForEachExtObject;
using optimizer_detail::kWalkFlags;
using optimizer_detail::kWalkKinds;

// ---- ownership --------------------------------------------------------------------------------

void CSceneOptimizer::SetScene(C3DScene& scene, bool handleDeletion) {
    if (m_pScene == &scene || IsBusy()) return;
    if (m_pScene) {
        SetFlag(SCENEOPTIMIZER_NEW_SCENE, true);
        DeleteScene();
    }
    SetFlag(SCENEOPTIMIZER_HANDLE_DELETION, handleDeletion);
    m_pScene = &scene;
    ForEachExtObject(m_pScene, [this](C3DExtObject* o, C3DSceneNode* node) {
        o->SetOptimizer(*this, node);
        return true;
    });
}

void CSceneOptimizer::UnbindSceneObjects(C3DScene* scene) {
    C3DSceneNode* const root = scene ? scene->GetRoot() : nullptr;
    if (!root) return;
    // The tree's own walk, which allocates nothing: the scene's node walk keeps a set of the
    // objects met, and this runs in the destructor, where nothing may fail for want of memory. A
    // shared object is met once per node; unbinding it again does nothing.
    struct Unbind : TreeTraversalCallback {
        const CSceneOptimizer* optimizer;
        explicit Unbind(const CSceneOptimizer* o) : optimizer(o) {}
        bool OnNode(CTreeNode* node, int) override {
            C3DBaseObject* object = static_cast<C3DSceneNode*>(node)->GetBaseObject();
            if (auto* ext = dynamic_cast<C3DExtObject*>(object))
                ext->DetachOptimizer(optimizer);
            else if (auto* mr = dynamic_cast<CMultiresolutionObject*>(object);
                     mr && mr->GetOptimizer() == optimizer)
                mr->DetachOptimizer();
            return true;
        }
    } unbind(this);
    root->Traverse(unbind);
}

C3DScene* CSceneOptimizer::DetachScene() {
    if (IsBusy()) return nullptr;
    UnbindSceneObjects(m_pScene);
    C3DScene* scene = m_pScene;
    m_pScene = nullptr;
    return scene;
}

void CSceneOptimizer::DeleteScene() {
    if (IsBusy()) return;
    // Objects of a scene the host keeps alive (one it owns, or one it holds a reference to) must
    // not point at this optimiser any more.
    UnbindSceneObjects(m_pScene);
    if (IsFlagSet(SCENEOPTIMIZER_HANDLE_DELETION)) XRelease(m_pScene);
    m_pScene = nullptr;
}

void CSceneOptimizer::CleanMultiresolutionScene() {
    if (IsBusy()) return;
    // The host may keep the scene and set its levels after this optimiser is gone.
    UnbindSceneObjects(m_pMultiresScene);
    XRelease(m_pMultiresScene);
}

void CSceneOptimizer::Clean() {
    CleanMultiresolutionScene();
    DeleteScene();
}

void CSceneOptimizer::SetMaxThreadCount(unsigned int count) {
    // An unsigned count above INT_MAX asks for as many threads as there can be, not a negative number.
    OMPSetMaxThreadCount(count > unsigned(INT_MAX) ? INT_MAX : int(count));
}

unsigned int CSceneOptimizer::GetMaxThreadCount() const { return unsigned(OMPGetMaxThreadCount()); }

void CSceneOptimizer::ShowSelectedFaces(bool show) {
    if (IsFlagSet(SCENEOPTIMIZER_SHOW_SELECTED_FACES) == show) return;
    SetFlag(SCENEOPTIMIZER_SHOW_SELECTED_FACES, show);
    if (m_pMultiresScene) {
        // The multiresolution objects read their contraction-ready objects, which live in the
        // scene they were built from: once it is released or replaced there is nothing to show
        // (see GetExtObject).
        if (!IsMultiresSourceAttached()) return;
        for (C3DNodePos pos = m_pMultiresScene->GetFirstNode(kWalkKinds, kWalkFlags); pos;) {
            C3DBaseObject* object = nullptr;
            m_pMultiresScene->GetNextNode(pos, object);
            if (auto* mr = dynamic_cast<CMultiresolutionObject*>(object)) mr->ShowSelectedFaces(show);
        }
        return;
    }
    ForEachExtObject(m_pScene, [show](C3DExtObject* o, C3DSceneNode*) {
        o->ShowSelectedFaces(show);
        return true;
    });
}

// ---- scene forms ------------------------------------------------------------------------------

C3DScene* CSceneOptimizer::GetScene(unsigned int flags) {
    // During a run only the source scene itself may be looked at: the other forms change the
    // objects the run works on.
    if (IsBusy() && flags != GETSCENE_SOURCE) return nullptr;
    if (flags & GETSCENE_SOURCE) {
        if (!m_pScene) return nullptr;
        return (flags & GETSCENE_COPY) ? m_pScene->Copy(nullptr, 0, nullptr, 0x100) : m_pScene;
    }
    if (!(flags & (GETSCENE_MULTIRES | GETSCENE_MULTIRES_FROZEN))) {
        const bool workingCopy = IsFlagSet(SCENEOPTIMIZER_WORKING_COPY);
        ForEachExtObject(m_pScene, [flags, workingCopy](C3DExtObject* o, C3DSceneNode*) {
            // A working copy that an invalidation emptied (a setting changed after a run) is no
            // mesh to show: the initial one is.
            o->PrepareDisplayedObject(!(flags & GETSCENE_ORIGINAL_MESH) && o->IsExtFlagSet(EXT_WORKING_COPY));
            if (flags & GETSCENE_RESET_OPTIMIZATION) {
                if (C3DPointList* points = o->GetShownPointList()) {
                    if (C3DFaceList* faces = o->GetFaceList()) points->SetInvalidPoints(*faces, false);
                    points->SetPointsFlags(0x1000000u, false);
                }
                o->Clean();
                if (workingCopy)
                    o->InvalidateOptimization();
                else
                    o->ResetOptimization();
            }
            return true;
        });
        return m_pScene;
    }
    if (!m_pMultiresScene) {
        m_pMultiresScene = ComputeMultiresolutionScene();
        m_pMultiresSource = m_pScene;
    }
    if ((flags & GETSCENE_RELEASE_SOURCE) && m_pMultiresScene) DeleteScene();
    if (!m_pMultiresScene) return nullptr;
    if (flags & GETSCENE_MULTIRES) return m_pMultiresScene;

    C3DScene* frozen = (flags & GETSCENE_COPY) ? m_pMultiresScene->Copy(nullptr, 0, nullptr, 0) : m_pMultiresScene;
    if (!frozen) return nullptr;
    // A copy is the caller's only once frozen: a failure on the way releases it.
    XHeld<C3DScene> heldCopy(frozen != m_pMultiresScene ? frozen : nullptr);
    for (C3DNodePos pos = frozen->GetFirstNode(kWalkKinds, kWalkFlags); pos;) {
        C3DBaseObject* object = nullptr;
        frozen->GetNextNode(pos, object);
        if (auto* mr = dynamic_cast<CMultiresolutionObject*>(object))
            mr->FreezeObject();
        else if (auto* geom = dynamic_cast<C3DGeomObject*>(object))
            geom->Clean();
    }
    heldCopy.release();
    return frozen;
}

// ---- editing the source scene -----------------------------------------------------------------

void CSceneOptimizer::ModifyScene(ModifySceneMode mode) {
    if (!m_pScene || IsBusy()) return;
    if (mode == MODIFY_SCENE_CONVERT) {
        C3DQuorvaneObjectCreator creator(IsFlagSet(SCENEOPTIMIZER_WORKING_COPY) ? CREATOR_SHARE_POINTS
                                                                                : CREATOR_COPY_POINTS);
        m_pScene->ConvertToType(creator);
        LockInitialization();
    }
    ForEachExtObject(m_pScene, [this, mode](C3DExtObject* o, C3DSceneNode* node) {
        switch (mode) {
            case MODIFY_SCENE_BEGIN: o->BeginModifyInitialObject(); break;
            case MODIFY_SCENE_CANCEL: o->EndModifyInitialObject(false); break;
            case MODIFY_SCENE_CONVERT: {
                // Bound already (its node may have gone while another node still shows it).
                if (o->GetNode() || o->GetOptimizer()) {
                    o->EndModifyInitialObject(true);
                    break;
                }
                o->SetOptimizer(*this, node);
                // A new object takes the modes of its nearest contraction-ready ancestor, else
                // the optimiser's combined mode.
                unsigned long long optimizeMode = 0, extMode = 0;
                for (C3DSceneNode* parent = m_pScene->GetParent(node); parent && optimizeMode == 0;
                     parent = m_pScene->GetParent(parent)) {
                    if (auto* ext = dynamic_cast<C3DExtObject*>(parent->GetBaseObject())) {
                        optimizeMode = ext->GetOptimizeMode();
                        extMode = ext->GetOptimizeExtMode();
                    }
                }
                if (optimizeMode == 0) optimizeMode = GetOptimizeMode();
                o->BeginModifyInitialObject();
                o->SetOptimizeMode(optimizeMode, true);
                o->SetOptimizeExtMode(extMode, true);
                o->EndModifyInitialObject(true);
                break;
            }
            default: break;
        }
        return true;
    });
    if (mode == MODIFY_SCENE_CONVERT) UnlockInitialization();
}

// ---- collectors -------------------------------------------------------------------------------

unsigned int CSceneOptimizer::GetSrcExtObjects(COptimizableObjectArray& objects, bool onlyOptimizable) const {
    objects.RemoveAll();
    if (!m_pScene) return 0;
    for (C3DNodePos pos = m_pScene->GetFirstNode(kWalkKinds, kWalkFlags); pos;) {
        C3DBaseObject* object = nullptr;
        C3DSceneNode* node = m_pScene->GetNextNode(pos, object);
        if (!node) continue;
        if (onlyOptimizable && !CanOptimizeNode(node)) continue;
        C3DExtObject* ext = nullptr;
        if (auto* mr = dynamic_cast<CMultiresolutionObject*>(object))
            ext = mr->GetExtObject();
        else
            ext = dynamic_cast<C3DExtObject*>(object);
        if (!ext) continue;
        objects.Add(OptimizableObjectInfo{nullptr, ext, node});
    }
    return unsigned(objects.GetSize());
}

C3DExtObject* CSceneOptimizer::GetExtObject(C3DSceneNode* node, bool checkNode) const {
    if (!node || (checkNode && !CanOptimizeNode(node))) return nullptr;
    C3DBaseObject* object = node->GetBaseObject();
    // A multiresolution object only points at its contraction-ready object, which lives in the
    // scene it was built from: once that scene is gone or replaced the link is not followed.
    if (auto* mr = dynamic_cast<CMultiresolutionObject*>(object))
        return IsMultiresSourceAttached() ? mr->GetExtObject() : nullptr;
    return dynamic_cast<C3DExtObject*>(object);
}

CMultiresolutionObject* CSceneOptimizer::GetMultiresolutionObject(C3DSceneNode* node, bool checkNode) const {
    if (!node || (checkNode && !CanOptimizeNode(node))) return nullptr;
    return dynamic_cast<CMultiresolutionObject*>(node->GetBaseObject());
}

unsigned int CSceneOptimizer::GetOptimizableObjects(COptimizableObjectArray& objects, unsigned int selection,
                                                    bool checkNode) const {
    objects.RemoveAll();
    const C3DScene* scene = m_pMultiresScene ? m_pMultiresScene : m_pScene;
    if (!scene) return 0;
    const bool withExt = IsFlagSet(SCENEOPTIMIZER_WORKING_COPY) && m_pMultiresScene;
    for (C3DNodePos pos = scene->GetFirstNode(kWalkKinds, kWalkFlags); pos;) {
        C3DBaseObject* object = nullptr;
        C3DSceneNode* node = scene->GetNextNode(pos, object);
        if (!node) continue;
        if ((selection & APPLY_TO_SELECTION) && !node->IsFlagSet(NODE_SELECTED)) continue;
        CMultiresolutionObject* mr = dynamic_cast<CMultiresolutionObject*>(object);
        C3DExtObject* ext = nullptr;
        if (withExt) {
            if (checkNode && !CanOptimizeNode(node)) continue;
            ext = GetExtObject(node, false);
            // Once the source scene is released, or the node of its contraction-ready object
            // removed, a multiresolution object has none to name, but its levels can still be
            // set: it stays listed without one.
            if (!ext && !mr) continue;
        }
        if (mr && (selection & APPLY_TO_SKIP_LOCKED) && mr->IsRatioLocked()) continue;
        objects.Add(OptimizableObjectInfo{mr, ext, node});
    }
    return unsigned(objects.GetSize());
}

}  // namespace kestovar
