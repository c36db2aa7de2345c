// C3DScene: copies of scenes and branches through an object creator, scene merging, instances,
// conversion of objects to other classes, and the renumbering of face materials that copies
// between material tables need.
#include <memory>

#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

namespace {

C3DSceneNode* AsNode(CTreeNode* node) { return static_cast<C3DSceneNode*>(node); }

// The object copy flags passed on to C3DBaseObject::Copy.
constexpr unsigned int kObjectCopyFlags = OBJECT_COPY_INSTANCE | OBJECT_COPY_IDENTITY;

bool IsIdentityRemap(const CMaterialIDMap& remap) {
    int pos = kHashStartPosition;
    unsigned int from, to;
    while (remap.GetNext(pos, from, to))
        if (from != to) return false;
    return true;
}

// Renumbers the stored front and back materials of every face at once (a chain of renamings
// such as 1 -> 2, 2 -> 3 must not turn the faces of material 1 into 3).
bool RemapFaceMaterials(C3DGeomObject* object, const CMaterialIDMap& remap) {
    C3DFaceList* faces = object->GetFaceList();
    if (!faces) return false;
    bool changed = false;
    const bool withBack = faces->HasBackFaceMaterials();
    unsigned int to;
    for (int f = 0; f < faces->GetNumberOfFaces(); ++f) {
        unsigned int i = unsigned(f);
        if (remap.Find(faces->GetStoredFaceMaterial(i), to)) changed = faces->SetFaceMaterial(i, to) || changed;
        if (withBack && remap.Find(faces->GetBackFaceMaterial(i), to)) changed = faces->SetBackFaceMaterial(i, to) || changed;
    }
    if (changed) {
        faces->DeleteFBMaterialsHashMap();
        object->Invalidate(INVALIDATE_MATERIALS, true);
    }
    return changed;
}

}  // namespace

C3DBaseObject* C3DScene::CopyObject(const C3DSceneNode* source, C3DObjectCreator* creator, unsigned int copyFlags) {
    C3DBaseObject* object = source->GetBaseObject();
    if (!object || !creator->CanProcess(source, object)) return nullptr;
    C3DObjectCreator::CObjectMap& map = creator->GetObjectMap();
    if (copyFlags & SCENE_COPY_KEEP_INSTANCES) {
        void* copied = nullptr;
        if (map.Find(object, copied) && copied) return static_cast<C3DBaseObject*>(copied)->Copy(OBJECT_COPY_INSTANCE);
    }
    C3DBaseObject* copy = object->Copy(int(copyFlags & kObjectCopyFlags), creator);
    if (copy) {
        try {
            map.Insert(object, copy);
        } catch (...) {
            copy->Delete();
            throw;
        }
    }
    return copy;
}

C3DSceneNode* C3DScene::CopyBranch(const C3DSceneNode* source, C3DSceneNode* parent, C3DObjectCreator* creator,
                                   unsigned int copyFlags, bool withChildren) {
    if (!source) return nullptr;
    if (!parent) parent = GetRoot();
    if (parent->m_pScene != this) return nullptr;
    C3DObjectCreator defaultCreator;
    if (!creator) creator = &defaultCreator;

    // The copy is built detached and linked once complete, so that copying a branch into itself
    // never walks what it has just added.
    // A failure on the way deletes the detached copy with its subtree.
    std::unique_ptr<C3DSceneNode> held(new C3DSceneNode);
    C3DSceneNode* top = held.get();
    top->CopyNodeData(*source);
    top->SetObject(CopyObject(source, creator, copyFlags), true);
    if (withChildren) {
        CHashMap<const CTreeNode*, const CTreeNode*, C3DSceneNode*> copies;
        copies.Insert(source, top);
        for (const CTreeNode* n = source->NextInSubtree(source); n; n = source->NextInSubtree(n)) {
            const C3DSceneNode* s = static_cast<const C3DSceneNode*>(n);
            C3DSceneNode* copy = new C3DSceneNode;
            (*copies.Find(n->GetParent()))->AddChild(copy);  // linking allocates nothing
            copy->CopyNodeData(*s);
            copy->SetObject(CopyObject(s, creator, copyFlags), true);
            copies.Insert(n, copy);
        }
    }
    parent->AddChild(held.release());
    SetBranchScene(top, this);
    top->InvalidateTMCache();
    return top;
}

C3DScene* C3DScene::Copy(C3DSceneNode* start, int time, C3DObjectCreator* creator, unsigned int copyFlags) {
    C3DObjectCreator defaultCreator;
    if (!creator) creator = &defaultCreator;
    creator->GetObjectMap().RemoveAll();
    if (start && start->m_pScene != this) return nullptr;

    // Held until complete, so that a failure on the way releases the partial copy.
    XHeld<C3DScene> held(new C3DScene);
    C3DScene* scene = held.get();
    scene->m_properties = m_properties;
    scene->m_materials = m_materials;
    scene->m_fileName = m_fileName;
    scene->m_time = m_time;
    scene->m_range = m_range;
    scene->C3DKeyframable::operator=(*this);

    C3DSceneNode* root = GetRoot();
    if (!start || start == root) {
        scene->GetRoot()->CopyNodeData(*root);
        for (CTreeNode* c = root->GetFirstChild(); c; c = c->GetNextSibling())
            scene->CopyBranch(AsNode(c), nullptr, creator, copyFlags, true);
        return held.release();
    }
    C3DSceneNode* top = scene->CopyBranch(start, nullptr, creator, copyFlags, true);
    // The ancestors of the start node are not copied: their transform at `time` goes into it.
    C4x4TMatrix<float> above, local;
    for (C3DSceneNode* p = start->GetParentNode(); p; p = p->GetParentNode()) {
        p->GetNodeLocalTM(time, local);
        above = local * above;
    }
    if (top && above != C4x4TMatrix<float>()) top->BakeLocalTM(above, time);
    return held.release();
}

C3DSceneNode* C3DScene::CopyNode(const C3DSceneNode* source, C3DSceneNode* parent, C3DObjectCreator* creator,
                                 unsigned int copyFlags) {
    return CopyBranch(source, parent, creator, copyFlags, true);
}

C3DSceneNode* C3DScene::CopySingleNode(const C3DSceneNode* source, C3DSceneNode* parent, C3DObjectCreator* creator,
                                       unsigned int copyFlags) {
    return CopyBranch(source, parent, creator, copyFlags, false);
}

int C3DScene::CopyChilds(const C3DSceneNode* source, C3DSceneNode* parent, C3DObjectCreator* creator,
                         unsigned int copyFlags) {
    if (!source) return 0;
    // The children are listed first: copying into the source's own branch adds children to it.
    CXArray<const C3DSceneNode*> children;
    for (CTreeNode* c = source->GetFirstChild(); c; c = c->GetNextSibling()) children.Add(AsNode(c));
    int copied = 0;
    for (const C3DSceneNode* child : children)
        if (CopyBranch(child, parent, creator, copyFlags, true)) ++copied;
    return copied;
}

void C3DScene::RemapMaterials(C3DSceneNode* first, const CMaterialIDMap& remap, bool onlyNewObjects,
                              C3DObjectCreator* creator) {
    if (IsIdentityRemap(remap)) return;
    // Objects the copy shares with its source (instances across scenes, or existing objects a
    // creator handed back) keep the source's numbering.
    CHashTable<const void*> shared;
    if (onlyNewObjects && creator) {
        int pos = kHashStartPosition;
        const void* source;
        void* copy;
        while (creator->GetObjectMap().GetNext(pos, source, copy))
            if (copy == source) shared.Insert(copy);
    }
    CHashTable<unsigned int> done;
    for (CTreeNode* n = first; n; n = n->GetNextSibling()) {
        for (CTreeNode* m = n; m; m = n->NextInSubtree(m)) {
            C3DGeomObject* object = AsNode(m)->GetGeomObject();
            if (!object || shared.IsFound(object) || !done.Insert(object->GetObjectID())) continue;
            RemapFaceMaterials(object, remap);
        }
    }
}

bool C3DScene::AddScene(C3DScene& other, C3DSceneNode* parent, C3DObjectCreator* creator, unsigned int copyFlags) {
    if (&other == this) return false;
    if (!parent) parent = GetRoot();
    if (parent->m_pScene != this) return false;
    C3DObjectCreator defaultCreator;
    if (!creator) creator = &defaultCreator;
    creator->GetObjectMap().RemoveAll();

    CMaterialIDMap remap;
    m_materials.CopyMaterials(other.m_materials, MATERIAL_NONE, &remap);
    C3DSceneNode* first = nullptr;
    for (CTreeNode* c = other.GetRoot()->GetFirstChild(); c; c = c->GetNextSibling()) {
        C3DSceneNode* copy = CopyBranch(AsNode(c), parent, creator, copyFlags, true);
        if (!first) first = copy;
    }
    if (first && !(copyFlags & OBJECT_COPY_INSTANCE)) RemapMaterials(first, remap, true, creator);
    return true;
}

bool C3DScene::Merge(C3DScene& other, C3DSceneNode* parent) {
    if (&other == this) return false;
    if (!parent) parent = GetRoot();
    if (parent->m_pScene != this) return false;
    CMaterialIDMap remap;
    m_materials.MoveMaterials(other.m_materials, &remap);
    C3DSceneNode* first = nullptr;
    C3DSceneNode* otherRoot = other.GetRoot();
    while (CTreeNode* c = otherRoot->GetFirstChild()) {
        c->Detach();
        parent->AddChild(c);
        // Every node of the other scene moves here, so objects shared between its nodes move too.
        SetBranchScene(AsNode(c), this, true);
        AsNode(c)->OnParentingChanged();
        if (!first) first = AsNode(c);
    }
    if (first) RemapMaterials(first, remap, false, nullptr);
    other.RemoveAll();
    return true;
}

void C3DScene::Inherit(const C3DScene& other) {
    if (&other == this) return;
    m_properties = other.m_properties;
    m_time = other.m_time;
    m_range = other.m_range;
    InvalidateSceneSmoothing();
}

C3DSceneNode* C3DScene::CreateInstance(C3DSceneNode* node, C3DSceneNode* parent) {
    if (!node || node == GetRoot() || node->m_pScene != this) return nullptr;
    C3DSceneNode* instance = new C3DSceneNode;
    instance->CopyNodeData(*node);
    if (C3DBaseObject* object = node->GetBaseObject()) instance->SetObject(object->Copy(OBJECT_COPY_INSTANCE), true);
    if (!AddNode(parent ? parent : node->GetParentNode(), instance)) {
        delete instance;
        return nullptr;
    }
    return instance;
}

int C3DScene::ConvertToType(C3DObjectCreator& creator, C3DSceneNode* start) {
    if (!start) start = GetRoot();
    if (start->m_pScene != this) return 0;
    // Source object identifier -> what its nodes hold after the conversion.
    CHashMap<unsigned int, unsigned int, C3DBaseObject*> converted;
    // Many instances of one object let go of it one after the other: the holders are counted
    // rather than looked for in the tree each time.
    CHolderCounts holders;
    bool counted = false;
    int replaced = 0;
    for (CTreeNode* n = start; n; n = start->NextInSubtree(n)) {
        C3DSceneNode* node = AsNode(n);
        C3DBaseObject* object = node->GetBaseObject();
        if (!object) continue;
        const unsigned int id = object->GetObjectID();
        if (C3DBaseObject** done = converted.Find(id)) {
            if (*done != object)
                SetObjectInBatch(node, (*done)->Copy(OBJECT_COPY_INSTANCE), holders, counted);
            continue;
        }
        C3DBaseObject* result = creator.CanProcess(node, object) ? creator.ConvertToType(node, object) : object;
        // The creator is handed the node and object read-only; one that gave the node another
        // object all the same makes the holders be counted again.
        if (node->GetBaseObject() != object) counted = false;
        if (!result) result = object;
        // The node takes the new object before anything else can fail.
        if (result != object) {
            SetObjectInBatch(node, result, holders, counted);
            ++replaced;
        }
        converted.Insert(id, result);
    }
    return replaced;
}

}  // namespace kestovar
