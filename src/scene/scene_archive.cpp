// C3DScene persistence: the scene content and the ".3dif" file around it (layout in scene.h).
#include <climits>

#include "kestovar/core/archive.h"
#include "kestovar/scene/scene.h"
#include "scene_internal.h"

namespace kestovar {

namespace {

constexpr uint32_t kNoParent = 0xFFFFFFFFu;

// Smallest stored form of one node: parent index (4), class reference (2), empty name (1), flags
// (4), custom data (at least 4), offset (64), key count (2), object reference (2). Used only to
// reject forged counts before the loop.
constexpr uint64_t kMinNodeBytes = 83;

// Writes the nodes in pre-order, each with the position of its parent in the same order.
class CNodeWriter : public TreeTraversalCallback {
public:
    explicit CNodeWriter(CXArchive& ar) : m_ar(ar) {}
    bool OnNode(CTreeNode* n, int depth) override {
        C3DSceneNode* node = static_cast<C3DSceneNode*>(n);
        // m_path[d] is the index of the current ancestor at depth d.
        m_path.SetSize(depth + 1);
        uint32_t parent = depth == 0 ? kNoParent : m_path[depth - 1];
        m_path[depth] = m_next++;
        m_ar << parent;
        m_ar.WriteClass(node->GetRuntimeClassDescriptor());
        node->Serialize(m_ar);
        C3DBaseObject* object = node->GetBaseObject();
        if (object) object->PreSerialize(m_ar, true);
        m_ar.WriteObject(object);
        if (object) object->PostSerialize(m_ar, true);
        return true;
    }

private:
    CXArchive& m_ar;
    CXArray<uint32_t> m_path;
    uint32_t m_next = 0;
};

}  // namespace

void C3DScene::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << int32_t(m_time) << int32_t(m_range.start) << int32_t(m_range.end);
        SerializeKeys(ar);
        m_properties.Serialize(ar);
        ar << m_fileName;
        m_materials.Serialize(ar);
        ar.WriteCount(uint64_t(GetNodeCount()));
        CNodeWriter writer(ar);
        Traverse(writer);
        return;
    }

    int32_t time = 0, start = 0, end = 0;
    ar >> time >> start >> end;
    m_time = time;
    m_range = CTimeRange(start, end);
    SerializeKeys(ar);
    m_properties.Serialize(ar);
    ar >> m_fileName;
    m_materials.Serialize(ar);

    uint64_t count = ar.ReadCount();
    if (count == 0 || count > uint64_t(INT_MAX)) XThrow<CXArchiveException>(CXArchiveException::badIndex, "bad node count");
    EnsureRecords(ar, count, kMinNodeBytes);
    // Every node is linked into the tree as soon as it exists, so that whatever is read when the
    // data turns out malformed belongs to the scene and goes with it.
    CXArray<C3DSceneNode*> nodes;
    CHashTable<const void*> placed;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t parent = 0;
        ar >> parent;
        if (i == 0 ? parent != kNoParent : parent >= i)
            XThrow<CXArchiveException>(CXArchiveException::badIndex, "bad parent index of a scene node");
        const CXRuntimeClass* descriptor = ar.ReadClass(KX_RUNTIME_CLASS(C3DSceneNode));
        CXObject* created = descriptor->CreateObject();
        if (!created) XThrow<CXArchiveException>(CXArchiveException::badClass, "scene node class cannot be created");
        C3DSceneNode* node = static_cast<C3DSceneNode*>(created);
        if (i == 0) {
            DeleteRoot();
            SetRoot(node);
        } else {
            nodes[int(parent)]->AddChild(node);
        }
        node->m_pScene = this;
        nodes.Add(node);
        node->Serialize(ar);

        CXObject* read = ar.ReadObject(KX_RUNTIME_CLASS(C3DBaseObject));
        if (!read) continue;
        C3DBaseObject* object = static_cast<C3DBaseObject*>(read);
        // A second reference to one object makes the node an instance of it.
        if (placed.Insert(object) == 0) object = object->Copy(OBJECT_COPY_INSTANCE);
        node->SetObject(object, true);
        object->PostSerialize(ar, false);
    }
    GetRoot()->InvalidateTMCache();
}

void C3DScene::WriteSceneFile(CXArchive& ar) {
    ar << k3DIFMagic << k3DIFVersion;
    ar.WriteObject(this);
}

C3DScene* C3DScene::ReadSceneFile(CXArchive& ar) {
    uint32_t magic = 0, version = 0;
    ar >> magic >> version;
    if (magic != k3DIFMagic) XThrow<CXArchiveException>(CXArchiveException::badClass, "not a 3DIF scene file");
    if (version == 0 || version > k3DIFVersion)
        XThrow<CXArchiveException>(CXArchiveException::badClass, "3DIF scene file of an unknown version");
    C3DScene* scene = ar.ReadObjectOf<C3DScene>();
    if (!scene) XThrow<CXArchiveException>(CXArchiveException::badIndex, "3DIF scene file without a scene");
    return scene;
}

}  // namespace kestovar
