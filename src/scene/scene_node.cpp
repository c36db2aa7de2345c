// C3DSceneNode: object placement, identity, flags, transforms with the world-transform cache and
// the pivot, axis conventions, boxes and centres, copies and persistence of the node's own data.
#include "kestovar/scene/scene_node.h"

#include <atomic>

#include "kestovar/core/archive.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/scene/scene.h"

namespace kestovar {

namespace {

// Node identifiers: unique among the nodes alive in the process (the first node gets 1).
std::atomic<unsigned int> g_lastNodeID{0};

bool IsTransformKey(uint64_t keyType) {
    return keyType == 0 || keyType == KEY_NODE_MATRIX || keyType == KEY_NODE_POSITION || keyType == KEY_NODE_ROTATION ||
           keyType == KEY_NODE_SCALE || keyType == KEY_NODE_PIVOT;
}

// Adds the points of `points` used by live faces (every point without faces) to `box`, each
// transformed by `m`.
void AddToBox(const C3DGeomObject& object, const C4x4TMatrix<float>& m, C3DTBBox<float>& box) {
    const C3DPointList* points = object.GetPointList();
    if (!points || object.IsFlagSet(OBJECT_EMPTY)) return;
    if (const C3DFaceList* faces = object.GetFaceList()) {
        C3DTBBox<float> b;
        if (faces->GetBoundingBox(*points, b, &m)) box.Add(b);
        return;
    }
    for (int i = 0; i < points->GetNumberOfPoints(); ++i) box.Add(m.TransformPoint(points->GetAt(i)));
}

}  // namespace

KX_IMPLEMENT_SERIAL(C3DSceneNode, CTreeNode, 1)

C3DSceneNode::C3DSceneNode()
    : m_pScene(nullptr),
      m_pObject(nullptr),
      m_nodeID(g_lastNodeID.fetch_add(1, std::memory_order_relaxed) + 1),
      m_flags(0),
      m_updateFlags(0),
      m_tmCacheTime(0),
      m_tmCacheValid(false) {}

C3DSceneNode::C3DSceneNode(const wchar_t* name, C3DBaseObject* object) try : C3DSceneNode() {
    m_name = name;
    SetObject(object, true);  // last: taking a fresh node's object cannot fail
} catch (...) {
    // Nothing took the caller's reference when construction failed: release it here, as the
    // node would have (the exception goes on to the caller).
    if (object) object->DeleteFromNode();
}

C3DSceneNode::~C3DSceneNode() { SetObject(nullptr, true); }

unsigned int C3DSceneNode::GetLastNodeID() { return g_lastNodeID.load(std::memory_order_relaxed); }

unsigned int C3DSceneNode::GetObjectID() const { return m_pObject ? m_pObject->GetObjectID() : 0; }

// ---- object ---------------------------------------------------------------------------------------

void C3DSceneNode::SetObject(C3DBaseObject* object, bool releaseOld) {
    if (object == m_pObject) return;
    C3DBaseObject* old = m_pObject;
    m_pObject = object;
    // An object shared with nodes elsewhere keeps the scene it has.
    if (object && m_pScene && (!object->GetScene() || !object->IsInstanciated())) object->SetScene(m_pScene);
    if (old) old->OnLeaveNode(this);
    if (old && releaseOld) {
        // An object that outlives this placement must not keep pointing at a scene in which no
        // node holds it any more: that scene may go away before the object.
        if (old->GetRefCount() > 1 && m_pScene && old->GetScene() == m_pScene && !m_pScene->HoldsObject(old, this))
            old->SetScene(nullptr);
        old->DeleteFromNode();
    }
    m_updateFlags |= NODE_UPDATE_OBJECT | NODE_UPDATE_BBOX;
}

C3DBaseObject* C3DSceneNode::GetBaseObject(int) const { return m_pObject; }

C3DGeomObject* C3DSceneNode::GetGeomObject(int) const {
    return m_pObject && m_pObject->IsGeomObject() ? static_cast<C3DGeomObject*>(m_pObject) : nullptr;
}

C3DBaseObject* C3DSceneNode::GetFinalObject(int) const { return m_pObject ? m_pObject->GetFinalObject(true) : nullptr; }

_OBJECT_KINDOF C3DSceneNode::GetObjectKindOf() const { return m_pObject ? m_pObject->GetKindOf() : OBJECT_NONE; }

bool C3DSceneNode::IsObjectIntanciated() const { return m_pObject && m_pObject->IsInstanciated(); }

bool C3DSceneNode::DeleteObjectInstanciation(C3DObjectCreator* creator) {
    if (!IsObjectIntanciated()) return false;
    C3DBaseObject* copy = m_pObject->Copy(0, creator);
    if (!copy) return false;
    SetObject(copy, true);
    return true;
}

// ---- flags ----------------------------------------------------------------------------------------

void C3DSceneNode::Invalidate(unsigned int flags, bool set) {
    if (set) {
        m_updateFlags |= flags;
        if (flags & NODE_UPDATE_TM) InvalidateTMCache();
    } else {
        m_updateFlags &= ~flags;
    }
}

void C3DSceneNode::InvalidateTMCache() {
    for (CTreeNode* n = this; n; n = NextInSubtree(n)) {
        C3DSceneNode* node = static_cast<C3DSceneNode*>(n);
        node->m_tmCacheValid = false;
        node->m_updateFlags |= NODE_UPDATE_TM | NODE_UPDATE_BBOX;
    }
}

void C3DSceneNode::OnKeyframesChanged(uint64_t keyType) {
    if (IsTransformKey(keyType)) InvalidateTMCache();
}

void C3DSceneNode::OnParentingChanged() { InvalidateTMCache(); }

// ---- transforms -------------------------------------------------------------------------------------

void C3DSceneNode::SetTransform(const C4x4TMatrix<float>& matrix, int time) {
    AddKey(time, new C3DMatrixKey(KEY_NODE_MATRIX, matrix));
}

void C3DSceneNode::SetPosition(const C3DTVector<float>& position, int time) {
    AddKey(time, new C3DTranslateKey(KEY_NODE_POSITION, position));
}

void C3DSceneNode::SetRotation(const C3DTVector<float>& axis, float radians, int time) {
    AddKey(time, new C3DRotateKey(KEY_NODE_ROTATION, axis, radians));
}

void C3DSceneNode::SetScale(const C3DTVector<float>& factors, int time) {
    AddKey(time, new C3DScaleKey(KEY_NODE_SCALE, factors));
}

void C3DSceneNode::SetPivot(const C3DTVector<float>& pivot, int time) { AddKey(time, new C3DVectorKey(KEY_NODE_PIVOT, pivot)); }

bool C3DSceneNode::GetPivot(int time, C3DTVector<float>& pivot) {
    C3DKeyframe* key = Evaluate(time, KEY_NODE_PIVOT);
    if (!key || key->GetKeyKind() != KEY_VALUE_VECTOR) {
        pivot = C3DTVector<float>(0.0f, 0.0f, 0.0f);
        return false;
    }
    pivot = static_cast<C3DVectorKey*>(key)->GetVector();
    return true;
}

void C3DSceneNode::DeleteLocalTMKeys() {
    // Matrix keys too: at the times they stand they would win over any transform set later.
    DeleteAllKeys(KEY_NODE_MATRIX);
    DeleteAllKeys(KEY_NODE_POSITION);
    DeleteAllKeys(KEY_NODE_ROTATION);
    DeleteAllKeys(KEY_NODE_SCALE);
}

void C3DSceneNode::BakeLocalTM(const C4x4TMatrix<float>& before, int time) {
    C4x4TMatrix<float> local;
    GetNodeLocalTM(time, local);
    DeleteLocalTMKeys();
    SetTransform(before * local);
}

void C3DSceneNode::ResetTransform() {
    DeleteLocalTMKeys();
    DeleteAllKeys(KEY_NODE_PIVOT);
    InvalidateTMCache();
}

void C3DSceneNode::SetObjectOffset(const C4x4TMatrix<float>& offset) {
    m_objectOffset = offset;
    // The offset is not passed to the children: only this node's world transform changes.
    m_tmCacheValid = false;
    m_updateFlags |= NODE_UPDATE_TM | NODE_UPDATE_BBOX;
}

void C3DSceneNode::GetNodeLocalTM(int time, C4x4TMatrix<float>& matrix) {
    // Keys of another class under a node key type (possible in foreign data) are ignored.
    if (C3DKeyframe* key = Evaluate(time, KEY_NODE_MATRIX); key && key->GetKeyKind() == KEY_VALUE_MATRIX) {
        matrix = static_cast<C3DMatrixKey*>(key)->GetMatrix();
        return;
    }
    matrix.SetIdentity();
    if (!HasKeys()) return;
    if (C3DKeyframe* key = Evaluate(time, KEY_NODE_SCALE); key && key->GetKeyKind() == KEY_VALUE_SCALE)
        matrix = static_cast<C3DMatrixKey*>(key)->GetMatrix();
    if (C3DKeyframe* key = Evaluate(time, KEY_NODE_ROTATION); key && key->GetKeyKind() == KEY_VALUE_ROTATE)
        matrix = static_cast<C3DMatrixKey*>(key)->GetMatrix() * matrix;
    if (C3DKeyframe* key = Evaluate(time, KEY_NODE_POSITION); key && key->GetKeyKind() == KEY_VALUE_TRANSLATE)
        matrix = static_cast<C3DMatrixKey*>(key)->GetMatrix() * matrix;
}

void C3DSceneNode::GetObjectLocalTM(int time, C4x4TMatrix<float>& matrix) {
    GetNodeLocalTM(time, matrix);
    matrix = matrix * m_objectOffset;
}

void C3DSceneNode::GetNodeTM(int time, C4x4TMatrix<float>& matrix, bool useCache) {
    if (useCache && m_tmCacheValid && m_tmCacheTime == time) {
        matrix = m_tmCache;
        return;
    }
    GetObjectLocalTM(time, matrix);
    C3DSceneNode* parent = GetParentNode();
    if (!m_pScene || !parent) return;
    C4x4TMatrix<float> local;
    for (; parent; parent = parent->GetParentNode()) {
        if (!useCache && !parent->GetParentNode()) break;  // without the cache, the root is left out
        parent->GetNodeLocalTM(time, local);
        matrix = local * matrix;
    }
    C3DTVector<float> pivot;
    if (GetPivot(time, pivot)) {
        C3DTVector<float> offset = matrix.TransformVector(pivot);
        matrix.m[0][3] += offset.x;
        matrix.m[1][3] += offset.y;
        matrix.m[2][3] += offset.z;
        matrix.m[3][3] = 1.0f;
    }
    if (useCache) {
        m_tmCache = matrix;
        m_tmCacheTime = time;
        m_tmCacheValid = true;
        m_updateFlags &= ~NODE_UPDATE_TM;
    }
}

void C3DSceneNode::ConjugateTransformations(const C4x4TMatrix<float>& s) {
    ConjugateKeys(s, s.GetInverse());
    InvalidateTMCache();
}

void C3DSceneNode::ConjugateKeys(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>& inverse) {
    for (const C3DKeyEntry& e : GetKeys()) {
        uint32_t kind = e.key->GetKeyKind();
        if (kind == KEY_VALUE_MATRIX || kind == KEY_VALUE_ROTATE || kind == KEY_VALUE_TRANSLATE ||
            kind == KEY_VALUE_SCALE || kind == KEY_VALUE_VECTOR)
            static_cast<C3DMatrixKey*>(e.key)->Conjugate(s, inverse);
    }
    m_objectOffset = s * m_objectOffset * inverse;
    ClearCache(0);
    m_tmCacheValid = false;
}

void C3DSceneNode::SwapTransformations(unsigned int code) { ConjugateTransformations(GetSwapMatrix(code)); }

bool C3DSceneNode::SwapPoints(unsigned int code) {
    if (!m_pObject) return false;
    return m_pObject->MatrixTransform(GetSwapMatrix(code));
}

// ---- boxes and centres --------------------------------------------------------------------------

bool C3DSceneNode::GetBoundingBox(C3DTBBox<float>& box, int time, bool withChildren) {
    box.Empty();
    C4x4TMatrix<float> m;
    for (CTreeNode* n = this; n; n = withChildren ? NextInSubtree(n) : nullptr) {
        C3DSceneNode* node = static_cast<C3DSceneNode*>(n);
        C3DGeomObject* object = node->GetGeomObject(time);
        if (!object) continue;
        node->GetNodeTM(time, m, true);
        AddToBox(*object, m, box);
    }
    return box.IsValid();
}

bool C3DSceneNode::GetCG(C3DTPoint<float>& centre, bool world, int time) {
    C3DGeomObject* object = GetGeomObject(time);
    const C3DPointList* points = object ? object->GetPointList() : nullptr;
    if (!points || points->GetNumberOfPoints() == 0) return false;
    C4x4TMatrix<float> m;
    if (world) GetNodeTM(time, m, true);
    double sx = 0.0, sy = 0.0, sz = 0.0;
    int n = points->GetNumberOfPoints();
    for (int i = 0; i < n; ++i) {
        const C3DTPoint<float>& p = points->GetAt(i);
        sx += p.x;
        sy += p.y;
        sz += p.z;
    }
    centre = C3DTPoint<float>(float(sx / n), float(sy / n), float(sz / n));
    if (world) centre = m.TransformPoint(centre);
    return true;
}

// ---- copies and persistence -----------------------------------------------------------------------

void C3DSceneNode::CopyNodeData(const C3DSceneNode& other) {
    m_name = other.m_name;
    m_flags = other.m_flags;
    m_userData = other.m_userData;
    m_objectOffset = other.m_objectOffset;
    C3DKeyframable::operator=(other);
    InvalidateTMCache();
}

C3DSceneNode* C3DSceneNode::Copy(C3DObjectCreator* creator, int copyFlags) const {
    C3DSceneNode* copy = new C3DSceneNode;
    copy->CopyNodeData(*this);
    if (m_pObject) {
        C3DObjectCreator defaultCreator;
        if (!creator) creator = &defaultCreator;
        if (creator->CanProcess(this, m_pObject)) copy->SetObject(m_pObject->Copy(copyFlags, creator), true);
    }
    return copy;
}

void C3DSceneNode::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << m_name << m_flags;
        m_userData.Serialize(ar);
        for (int i = 0; i < 16; ++i) ar << m_objectOffset.ValPtr()[i];
        SerializeKeys(ar);
        return;
    }
    ar >> m_name >> m_flags;
    m_userData.Serialize(ar);
    for (int i = 0; i < 16; ++i) ar >> m_objectOffset.ValPtr()[i];
    SerializeKeys(ar);
    InvalidateTMCache();
}

}  // namespace kestovar
