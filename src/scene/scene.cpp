// C3DScene: construction, the tree edits, walks and queries, selection, and the parser data slot.
#include "kestovar/scene/scene.h"

#include <algorithm>

#include "kestovar/core/exception.h"
#include "kestovar/mesh/face_list.h"

namespace kestovar {

namespace {

constexpr const wchar_t* kRootName = L"Scene";

C3DSceneNode* AsNode(CTreeNode* node) { return static_cast<C3DSceneNode*>(node); }

// A new node holding `object` (taking the caller's reference). The node is made empty and given
// the object afterwards, which cannot fail on a fresh node, so that the reference is released
// whichever allocation fails, the node's own included.
C3DSceneNode* NewNodeHolding(const wchar_t* name, C3DBaseObject* object) {
    C3DSceneNode* node;
    try {
        node = new C3DSceneNode(name, nullptr);
    } catch (...) {
        if (object) object->DeleteFromNode();
        throw;
    }
    node->SetObject(object, true);
    return node;
}

}  // namespace

KX_IMPLEMENT_SERIAL(C3DScene, CTree, 1)

C3DFilter::~C3DFilter() = default;

// ---- walks ----------------------------------------------------------------------------------------

C3DNodePos::C3DNodePos()
    : m_pNext(nullptr), m_pLimit(nullptr), m_kindMask(KIND_ALL), m_walkFlags(0), m_pFilter(nullptr) {}

void C3DNodePos::SetFilter(const C3DFilter* filter) {
    m_pFilter = filter;
    if (m_pNext && filter && !filter->Accept(m_pNext)) {
        // The node taken before the filter was set is given back: its object counts as visited
        // only once a node of it is returned (another node may share it).
        const C3DBaseObject* object = m_pNext->GetBaseObject();
        if (object && (m_walkFlags & WALK_SHARED_ONCE)) m_visited.Remove(object->GetObjectID(), true);
        SeekFrom(Following(m_pNext));
    }
}

C3DSceneNode* C3DNodePos::Following(const C3DSceneNode* node) const {
    if (node->GetFirstChild()) return AsNode(node->GetFirstChild());
    for (; node && node != m_pLimit; node = node->GetParentNode())
        if (node->GetNextSibling()) return AsNode(node->GetNextSibling());
    return nullptr;
}

bool C3DNodePos::Takes(C3DSceneNode* node) {
    const C3DBaseObject* object = node->GetBaseObject();
    if (object) {
        if ((unsigned(object->GetKindOf()) & m_kindMask) == 0) return false;
    } else if (!(m_walkFlags & WALK_EMPTY_NODES)) {
        return false;
    }
    if (m_pFilter && !m_pFilter->Accept(node)) return false;
    if (object && (m_walkFlags & WALK_SHARED_ONCE)) {
        // Insert reports 0 for an identifier already visited.
        if (m_visited.Insert(object->GetObjectID()) == 0) return false;
    }
    return true;
}

void C3DNodePos::SeekFrom(C3DSceneNode* node) {
    while (node && !Takes(node)) node = Following(node);
    m_pNext = node;
}

C3DNodePos C3DScene::GetFirstNode(unsigned int kindMask, unsigned int walkFlags, C3DSceneNode* start,
                                  C3DSceneNode* stop) const {
    C3DNodePos pos;
    pos.m_kindMask = kindMask;
    pos.m_walkFlags = walkFlags;
    C3DSceneNode* root = GetRoot();
    C3DSceneNode* begin = start ? start : root;
    if (!begin) return pos;
    pos.m_pLimit = (walkFlags & WALK_START_IS_STOP) ? begin : stop;
    if ((walkFlags & WALK_FROM_START) && begin != root)
        pos.SeekFrom(begin);
    else
        pos.SeekFrom(pos.Following(begin));
    return pos;
}

C3DSceneNode* C3DScene::GetNextNode(C3DNodePos& pos) const {
    C3DSceneNode* node = pos.m_pNext;
    if (node) pos.SeekFrom(pos.Following(node));
    return node;
}

C3DSceneNode* C3DScene::GetNextNode(C3DNodePos& pos, C3DBaseObject*& object, int time) const {
    C3DSceneNode* node = GetNextNode(pos);
    object = node ? node->GetBaseObject(time) : nullptr;
    return node;
}

C3DSceneNode* C3DScene::GetNextNode(C3DNodePos& pos, C3DGeomObject*& object, int time) const {
    C3DSceneNode* node = GetNextNode(pos);
    object = node ? node->GetGeomObject(time) : nullptr;
    return node;
}

// ---- construction -----------------------------------------------------------------------------------

C3DScene::C3DScene() : m_pParserData(nullptr), m_parserClass(0), m_pParserRelease(nullptr), m_bulkDelete(false) {
    ResetRoot();
}

C3DScene::~C3DScene() {
    ReleaseParserData();
    // The nodes go before the material table and the properties, so that objects released by
    // their last node never see a half-destroyed scene.
    DeleteRoot();
}

void C3DScene::DeleteRoot() {
    C3DSceneNode* root = GetRoot();
    if (!root) return;
    // Objects that outlive the tree (held by the host or by other scenes) must not keep
    // pointing at this scene; and while the tree is being torn down, releasing nodes must not
    // walk it.
    for (CTreeNode* n = root; n; n = root->NextInSubtree(n)) {
        C3DBaseObject* object = AsNode(n)->GetBaseObject();
        if (object && object->GetScene() == this) object->SetScene(nullptr);
    }
    m_bulkDelete = true;
    DeleteAll();
    m_bulkDelete = false;
}

void C3DScene::ResetRoot() {
    C3DSceneNode* root = NewNodeHolding(kRootName, new C3DGroup);
    root->m_pScene = this;
    root->GetBaseObject()->SetScene(this);
    SetRoot(root);
}

bool C3DScene::HoldsObject(const C3DBaseObject* object, const C3DSceneNode* except) const {
    if (m_bulkDelete) return false;
    if (m_pHolderCounts) {
        const int* holders = m_pHolderCounts->Find(object);
        return holders && *holders - (except && except->GetBaseObject() == object ? 1 : 0) > 0;
    }
    C3DSceneNode* root = GetRoot();
    for (CTreeNode* n = root; n; n = root->NextInSubtree(n))
        if (n != except && AsNode(n)->GetBaseObject() == object) return true;
    return false;
}

void C3DScene::SetBranchScene(C3DSceneNode* node, C3DScene* scene, bool wholeScene) {
    C3DScene* previous = node->m_pScene;
    // Objects of the branch that nodes remaining in the previous scene still hold keep that
    // scene; the others follow the branch. Only a shared object can be held there too: the walk
    // over the previous scene happens only when the branch has one (detaching nodes one by one
    // from a large scene would otherwise take time quadratic in its size).
    CHashTable<const void*> remaining;
    if (!scene && previous && !previous->m_bulkDelete) {
        bool shared = false;
        for (CTreeNode* n = node; n && !shared; n = node->NextInSubtree(n)) {
            const C3DBaseObject* object = AsNode(n)->GetBaseObject();
            shared = object && object->IsInstanciated() && object->GetScene() == previous;
        }
        C3DSceneNode* root = previous->GetRoot();
        for (CTreeNode* n = shared ? root : nullptr; n; n = root->NextInSubtree(n))
            if (C3DBaseObject* object = AsNode(n)->GetBaseObject()) remaining.Insert(object);
    }
    for (CTreeNode* n = node; n; n = node->NextInSubtree(n)) {
        C3DSceneNode* s = AsNode(n);
        s->m_pScene = scene;
        C3DBaseObject* object = s->GetBaseObject();
        if (!object) continue;
        if (scene) {
            // An object shared with nodes elsewhere keeps the scene it has, unless those nodes
            // move as well.
            if (!object->GetScene() || !object->IsInstanciated() ||
                (wholeScene && object->GetScene() == previous))
                object->SetScene(scene);
        } else if (object->GetScene() == previous && !remaining.IsFound(object)) {
            object->SetScene(nullptr);
        }
    }
}

// ---- tree edits -----------------------------------------------------------------------------------

C3DSceneNode* C3DScene::AddNode(C3DSceneNode* parent, C3DSceneNode* node, bool asFirstChild) {
    if (!node || node->GetParent()) return nullptr;
    if (!parent) parent = GetRoot();
    if (node == GetRoot() || (node->m_pScene && node->m_pScene->GetRoot() == node)) return nullptr;
    // The node would become its own ancestor. A node without children can only be the parent
    // itself, so leaves skip the walk up and building a deep chain stays linear.
    if (node == parent || (node->HasChildren() && node->IsAncestorOf(parent))) return nullptr;
    if (parent->m_pScene != this) return nullptr;
    parent->InsertChild(node, asFirstChild ? nullptr : parent->GetLastChild());
    SetBranchScene(node, this);
    node->OnParentingChanged();
    return node;
}

C3DSceneNode* C3DScene::CreateNode(C3DSceneNode* parent, const wchar_t* name, C3DBaseObject* object) {
    C3DSceneNode* node = NewNodeHolding(name, object);
    bool added;
    try {
        added = AddNode(parent, node);
    } catch (...) {
        delete node;
        throw;
    }
    if (!added) {
        delete node;
        return nullptr;
    }
    return node;
}

C3DSceneNode* C3DScene::RemoveNode(C3DSceneNode* node, bool deleteNode) {
    if (node && node->m_pScene != this) return nullptr;
    if (!node || node == GetRoot()) {
        if (deleteNode) {
            DeleteRoot();
            ResetRoot();
            return nullptr;
        }
        C3DSceneNode* root = AsNode(DetachRoot());
        ResetRoot();
        SetBranchScene(root, nullptr);
        return root;
    }
    node->Detach();
    if (deleteNode) {
        delete node;
        return nullptr;
    }
    SetBranchScene(node, nullptr);
    node->OnParentingChanged();
    return node;
}

bool C3DScene::ChangeNodeParent(C3DSceneNode* node, C3DSceneNode* newParent) {
    if (!newParent) newParent = GetRoot();
    if (!node || node == GetRoot() || node->m_pScene != this || newParent->m_pScene != this) return false;
    if (!MoveNode(node, newParent)) return false;
    node->OnParentingChanged();
    return true;
}

C3DSceneNode* C3DScene::ReplaceNode(C3DSceneNode* oldNode, C3DSceneNode* newNode, bool deleteOld) {
    if (!oldNode || !newNode || oldNode == newNode || oldNode->m_pScene != this || newNode->GetParent() ||
        (newNode->m_pScene && newNode->m_pScene->GetRoot() == newNode))
        return nullptr;
    // The children move first, so that the old node leaves alone.
    while (CTreeNode* child = oldNode->GetFirstChild()) {
        child->Detach();
        newNode->AddChild(child);
    }
    if (oldNode == GetRoot()) {
        DetachRoot();
        SetRoot(newNode);
    } else {
        CTreeNode* parent = oldNode->GetParent();
        CTreeNode* before = oldNode->GetPrevSibling();
        oldNode->Detach();
        parent->InsertChild(newNode, before);
    }
    SetBranchScene(newNode, this);
    newNode->OnParentingChanged();
    if (deleteOld) {
        delete oldNode;
        return newNode;
    }
    SetBranchScene(oldNode, nullptr);
    return oldNode;
}

int C3DScene::DeleteNodes(C3DSceneNode* node, const C3DFilter& filter) {
    if (!node) node = GetRoot();
    if (node->m_pScene != this) return 0;
    // Collect first (pre-order, skipping the branches of accepted nodes), then delete.
    CXArray<C3DSceneNode*> doomed;
    CTreeNode* n = node->GetFirstChild() ? node->GetFirstChild() : nullptr;
    while (n) {
        C3DSceneNode* s = AsNode(n);
        bool accepted = filter.Accept(s);
        if (accepted) doomed.Add(s);
        // Next in pre-order within `node`, skipping the accepted branch.
        CTreeNode* next = accepted ? nullptr : n->GetFirstChild();
        for (CTreeNode* up = n; !next && up && up != node; up = up->GetParent()) next = up->GetNextSibling();
        n = next;
    }
    DeleteBranches(doomed);
    return doomed.GetSize();
}

void C3DScene::DeleteBranches(const CXArray<C3DSceneNode*>& nodes) {
    // A node letting go of a shared object asks whether the tree still holds it, a walk over the
    // tree for each: the holders are counted once, less the branches that go, which the tree no
    // longer holds while they are deleted. Everything that can fail comes before the first
    // branch leaves the tree.
    bool shared = false;
    for (C3DSceneNode* top : nodes)
        for (CTreeNode* n = top; n && !shared; n = top->NextInSubtree(n))
            if (const C3DBaseObject* object = AsNode(n)->GetBaseObject()) shared = object->GetRefCount() > 1;
    CHolderCounts holders;
    if (shared) {
        CountHolders(holders);
        for (C3DSceneNode* top : nodes)
            for (CTreeNode* n = top; n; n = top->NextInSubtree(n))
                if (const C3DBaseObject* object = AsNode(n)->GetBaseObject())
                    if (int* count = holders.Find(object)) --*count;
    }
    CXArray<CTreeNode*> links;
    links.SetSize(nodes.GetSize());
    for (int i = 0; i < nodes.GetSize(); ++i) links[i] = nodes[i];
    CTreeNode::DetachNodes(links.GetData(), links.GetSize());
    CHolderCountsInUse inUse(*this, shared ? &holders : nullptr);
    for (C3DSceneNode* top : nodes) delete top;
}

void C3DScene::RemoveAll() {
    DeleteRoot();
    m_materials.RemoveAll();
    m_properties.RemoveAll();
    DeleteAllKeys(0);
    m_fileName.Empty();
    ReleaseParserData();
    m_time = 0;
    m_range = CTimeRange(0, 0);
    ResetRoot();
}

void C3DScene::RemoveAllNodes() {
    C3DSceneNode* root = GetRoot();
    while (CTreeNode* child = root->GetFirstChild()) delete child;
}

C3DSceneNode* C3DScene::MakeGroupForChilds(C3DSceneNode* node, const wchar_t* name) {
    if (!node || node->m_pScene != this) return nullptr;
    C3DSceneNode* group = new C3DSceneNode(name ? name : node->GetName().GetString(), new C3DGroup);
    while (CTreeNode* child = node->GetFirstChild()) {
        child->Detach();
        group->AddChild(child);
    }
    node->AddChild(group);
    SetBranchScene(group, this);
    group->OnParentingChanged();
    return group;
}

int C3DScene::CleanGroups(C3DSceneNode* start) {
    if (!start) start = GetRoot();
    if (start->m_pScene != this) return 0;
    // The nodes holding a group or nothing, by the pre-order walked backwards (children before
    // their parent): deleting a leaf may make its parent one.
    CXArray<C3DSceneNode*> order, candidates;
    for (CTreeNode* n = start->NextInSubtree(start); n; n = start->NextInSubtree(n)) order.Add(AsNode(n));
    for (int i = order.GetSize() - 1; i >= 0; --i) {
        const _OBJECT_KINDOF kind = order[i]->GetObjectKindOf();
        if (kind == OBJECT_NONE || kind == OBJECT_GROUP) candidates.Add(order[i]);
    }
    return DeleteBottomUp(candidates);
}

int C3DScene::DeleteBottomUp(const CXArray<C3DSceneNode*>& candidates) {
    CHashTable<const CTreeNode*> going;  // tree links, as children and parents are reached
    int count = 0;
    for (C3DSceneNode* node : candidates) {
        bool all = true;
        for (CTreeNode* c = node->GetFirstChild(); c && all; c = c->GetNextSibling()) all = going.IsFound(c);
        if (!all) continue;
        going.Insert(static_cast<const CTreeNode*>(node));
        ++count;
    }
    // The topmost of them leave with their branches, which hold only nodes that go.
    CXArray<C3DSceneNode*> tops;
    for (C3DSceneNode* node : candidates)
        if (going.IsFound(static_cast<const CTreeNode*>(node)) && !going.IsFound(node->GetParent()))
            tops.Add(node);
    DeleteBranches(tops);
    return count;
}

int C3DScene::RemoveGroups(C3DSceneNode* start) {
    if (!start) start = GetRoot();
    if (start->m_pScene != this) return 0;
    CXArray<C3DSceneNode*> groups;
    for (CTreeNode* n = start->NextInSubtree(start); n; n = start->NextInSubtree(n)) {
        C3DSceneNode* node = AsNode(n);
        if (node->GetObjectKindOf() != OBJECT_GROUP || node->HasKeys()) continue;
        if (node->GetObjectOffset() != C4x4TMatrix<float>()) continue;
        groups.Add(node);
    }
    // Each group's children take its place among its siblings; the emptied groups then go
    // together.
    for (C3DSceneNode* group : groups) {
        CTreeNode* parent = group->GetParent();
        CTreeNode* after = group;
        while (CTreeNode* child = group->GetFirstChild()) {
            child->Detach();
            parent->InsertChild(child, after);
            after = child;
            AsNode(child)->OnParentingChanged();
        }
    }
    DeleteBranches(groups);
    return groups.GetSize();
}

// ---- queries ----------------------------------------------------------------------------------------

bool C3DScene::IsChildNode(const C3DSceneNode* node, const C3DSceneNode* parent) const {
    return node && parent && node != parent && parent->IsAncestorOf(node);
}

bool C3DScene::IsNodeInScene(const C3DSceneNode* node) const {
    return node && node->m_pScene == this && GetRoot()->IsAncestorOf(node);
}

int C3DScene::GetChildCount(const C3DSceneNode* node, unsigned int kindMask) const {
    int count = 0;
    C3DNodePos pos = GetFirstNode(kindMask, WALK_START_IS_STOP | WALK_EMPTY_NODES, const_cast<C3DSceneNode*>(node));
    while (GetNextNode(pos)) ++count;
    return count;
}

int C3DScene::GetDirectChildCount(const C3DSceneNode* node) const { return (node ? node : GetRoot())->GetChildCount(); }

int C3DScene::GetChildDepth(const C3DSceneNode* node) const { return node ? node->GetDepth() : 0; }

void C3DScene::SortNodesByDepth(CXArray<C3DSceneNode*>& nodes, bool deepestFirst) {
    // Depths are computed once each: a comparison that walks up the parents would make the
    // sort quadratic on deep trees.
    struct Entry {
        int depth;
        C3DSceneNode* node;
    };
    CXArray<Entry> entries;
    entries.PreAllocate(nodes.GetSize());
    for (C3DSceneNode* n : nodes) entries.Add(Entry{n->GetDepth(), n});
    std::stable_sort(entries.begin(), entries.end(), [deepestFirst](const Entry& a, const Entry& b) {
        return deepestFirst ? a.depth > b.depth : a.depth < b.depth;
    });
    for (int i = 0; i < nodes.GetSize(); ++i) nodes[i] = entries[i].node;
}

C3DSceneNode* C3DScene::GetNodeByID(unsigned int nodeID) const {
    for (CTreeNode* n = GetRoot(); n; n = GetRoot()->NextInSubtree(n))
        if (AsNode(n)->GetNodeID() == nodeID) return AsNode(n);
    return nullptr;
}

C3DBaseObject* C3DScene::GetObjectByID(unsigned int objectID) const {
    for (CTreeNode* n = GetRoot(); n; n = GetRoot()->NextInSubtree(n)) {
        C3DBaseObject* object = AsNode(n)->GetBaseObject();
        if (object && object->GetObjectID() == objectID) return object;
    }
    return nullptr;
}

int C3DScene::GetNodesByType(CXArray<C3DSceneNode*>& nodes, unsigned int kindMask, C3DSceneNode* start,
                             unsigned int walkFlags) const {
    int before = nodes.GetSize();
    C3DNodePos pos = GetFirstNode(kindMask, walkFlags, start);
    while (C3DSceneNode* node = GetNextNode(pos)) nodes.Add(node);
    return nodes.GetSize() - before;
}

int C3DScene::GetNodesByMaterial(CXArray<C3DSceneNode*>& nodes, unsigned int materialID) const {
    int before = nodes.GetSize();
    C3DNodePos pos = GetFirstNode(OBJECT_POLYMESH | OBJECT_PATCH);
    while (pos) {
        C3DGeomObject* object;
        C3DSceneNode* node = GetNextNode(pos, object);
        const C3DFaceList* faces = object ? object->GetFaceList() : nullptr;
        if (!faces) continue;
        for (int f = 0; f < faces->GetNumberOfFaces(); ++f) {
            FBMaterialID m = faces->GetFBFaceMaterial(unsigned(f));
            if (m.front == materialID || (m.back == materialID && faces->IsFaceLive(unsigned(f)))) {
                nodes.Add(node);
                break;
            }
        }
    }
    return nodes.GetSize() - before;
}

int C3DScene::GetInstancesByID(CXArray<C3DSceneNode*>& nodes, unsigned int objectID) const {
    int before = nodes.GetSize();
    for (CTreeNode* n = GetRoot(); n; n = GetRoot()->NextInSubtree(n))
        if (AsNode(n)->GetBaseObject() && AsNode(n)->GetObjectID() == objectID) nodes.Add(AsNode(n));
    return nodes.GetSize() - before;
}

int C3DScene::GetSelectedNodes(CXArray<C3DSceneNode*>& nodes) const {
    int before = nodes.GetSize();
    for (CTreeNode* n = GetRoot(); n; n = GetRoot()->NextInSubtree(n))
        if (AsNode(n)->IsNodeSelected()) nodes.Add(AsNode(n));
    return nodes.GetSize() - before;
}

void C3DScene::Select(C3DSceneNode* node, bool select, bool withChildren) {
    if (!node) return;
    for (CTreeNode* n = node; n; n = withChildren ? node->NextInSubtree(n) : nullptr) AsNode(n)->Select(select);
}

void C3DScene::SelectNone() { Select(GetRoot(), false, true); }

int C3DScene::GetPointNbr() const {
    int total = 0;
    C3DNodePos pos = GetFirstNode(OBJECT_GEOMETRIC_MASK, WALK_SHARED_ONCE);
    while (pos) {
        C3DGeomObject* object;
        GetNextNode(pos, object);
        if (object) total += object->GetPointNbr();
    }
    return total;
}

int C3DScene::GetFaceNbr() const {
    int total = 0;
    C3DNodePos pos = GetFirstNode(OBJECT_GEOMETRIC_MASK, WALK_SHARED_ONCE);
    while (pos) {
        C3DGeomObject* object;
        GetNextNode(pos, object);
        if (object) total += object->GetFaceNbr();
    }
    return total;
}

// ---- parser data --------------------------------------------------------------------------------

void C3DScene::SetParserData(uint32_t formatClass, void* data, ParserDataRelease release) {
    if (data != m_pParserData) ReleaseParserData();
    m_pParserData = data;
    m_parserClass = formatClass;
    m_pParserRelease = release;
}

void* C3DScene::GetParserData(uint32_t* formatClass) const {
    if (formatClass) *formatClass = m_parserClass;
    return m_pParserData;
}

void C3DScene::ReleaseParserData() {
    if (m_pParserData && m_pParserRelease) m_pParserRelease(m_pParserData);
    m_pParserData = nullptr;
    m_parserClass = 0;
    m_pParserRelease = nullptr;
}

}  // namespace kestovar
