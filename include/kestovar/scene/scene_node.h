// C3DSceneNode: one node of a scene tree, with a transform (animation keys and an object offset),
// a name, flags, user data and at most one object, possibly shared with other nodes (instances).
//
// Transforms. Matrices are C4x4TMatrix<float> (points are column vectors, the translation is the
// fourth column; A * B applies B first).
//  - GetNodeLocalTM: the node's transform relative to its parent, from its keys: the matrix key
//    (KEY_NODE_MATRIX) when it has one, else translation * rotation * scale of its position,
//    rotation and scale keys, each absent one being the identity.
//  - GetObjectLocalTM: GetNodeLocalTM * object offset; the offset places the object inside the
//    node and does not pass to the children.
//  - GetNodeTM: the world transform of the object: the node's GetObjectLocalTM with every
//    ancestor's GetNodeLocalTM multiplied in on the left, walking up the parents. With the cache
//    flag the walk includes the root and the result is cached with its time; without it the walk
//    stops below the root. A pivot key (KEY_NODE_PIVOT) then offsets the translation by the
//    pivot transformed by the upper 3x3 part. A node without a scene, and the root, return their
//    GetObjectLocalTM.
//
// Object ownership. A node holds one reference on its object and counts as one placement of it:
// SetObject adopts the caller's reference; an object shared by several nodes is placed through
// C3DBaseObject::Copy(OBJECT_COPY_INSTANCE) (one more reference and one more instance), as
// C3DScene::CreateInstance does. Releasing the object (DeleteFromNode) undoes one placement, so
// the last node to let go of an object destroys it, exactly once.
#pragma once

#include <cstdint>

#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/object.h"
#include "kestovar/core/tree.h"
#include "kestovar/core/xstring.h"
#include "kestovar/mesh/bbox.h"
#include "kestovar/mesh/object.h"
#include "kestovar/scene/keyframe.h"

namespace kestovar {

class CXArchive;
class C3DScene;
class C3DObjectCreator;

// Node flag word. Flags 1 and 2 are the ones other subsystems rely on; every flag is persisted.
enum _SCENE_NODE_FLAGS : unsigned int {
    NODE_SKIP = 0x1,      // the optimiser may be told to leave the node's object alone
    NODE_SELECTED = 0x2,  // selected (C3DScene::Select, GetSelectedNodes)
    NODE_HIDDEN = 0x4,    // not shown by hosts; the library ignores it
    NODE_FROZEN = 0x8,    // not editable in hosts; the library ignores it
};

// Invalidation bits of a node (Invalidate, IsInvalidate).
enum _SCENE_NODE_UPDATE_PROPERTIES : unsigned int {
    NODE_UPDATE_TM = 0x1,      // the cached world transform is out of date
    NODE_UPDATE_OBJECT = 0x2,  // the object changed (replaced or edited) since the host last looked
    NODE_UPDATE_BBOX = 0x4,    // boxes computed through the node are out of date
};

class KESTOVAR_API C3DSceneNode : public CTreeNode, public C3DKeyframable {
    KX_DECLARE_SERIAL(C3DSceneNode)
public:
    // An unnamed node without object, outside any scene. Takes the next node identifier.
    C3DSceneNode();
    // A node named `name` (may be null) holding `object` (adopting the caller's reference; may
    // be null).
    explicit C3DSceneNode(const wchar_t* name, C3DBaseObject* object = nullptr);
    // Releases the object (one placement) and, through the tree, deletes the children.
    ~C3DSceneNode() override;

    // ---- identity and tree ----
    C3DScene* GetScene() const { return m_pScene; }
    unsigned int GetNodeID() const { return m_nodeID; }
    // The identifier of the node's object (0 without object).
    unsigned int GetObjectID() const;
    C3DSceneNode* GetParentNode() const { return static_cast<C3DSceneNode*>(GetParent()); }
    C3DSceneNode* GetFirstChildNode() const { return static_cast<C3DSceneNode*>(GetFirstChild()); }
    C3DSceneNode* GetNextSiblingNode() const { return static_cast<C3DSceneNode*>(GetNextSibling()); }
    // The number of nodes constructed so far in the process (the last identifier handed out).
    static unsigned int GetLastNodeID();

    // ---- object ----
    // Places `object` (adopting the caller's reference; may be null). With `releaseOld` the
    // previous object is released first (DeleteFromNode); otherwise the caller takes over the
    // node's reference on it. The object is told the node's scene, unless it is shared and
    // already knows one; a released object that no other node of the scene holds forgets it.
    void SetObject(C3DBaseObject* object, bool releaseOld = true);
    // The node's object at `time` (objects are not animated here: the time is for derived
    // nodes), or null.
    C3DBaseObject* GetBaseObject(int time = 0) const;
    // The object when it is geometric (kind 1, 2 or 4), else null.
    C3DGeomObject* GetGeomObject(int time = 0) const;
    // The end of the object's evaluation chain (C3DBaseObject::GetFinalObject), or null.
    C3DBaseObject* GetFinalObject(int time = 0) const;
    _OBJECT_KINDOF GetObjectKindOf() const;
    // Whether the object is shared with other nodes.
    bool IsObjectIntanciated() const;
    // Gives the node its own copy of a shared object (through `creator`, a default one when
    // null), releasing its placement of the shared one. Returns whether a copy was made.
    bool DeleteObjectInstanciation(C3DObjectCreator* creator = nullptr);

    // ---- name, user data, flags ----
    const CXTString<wchar_t>& GetName() const { return m_name; }
    void SetName(const wchar_t* name) { m_name = name; }
    CCustomData& GetCustomData() { return m_userData; }
    const CCustomData& GetCustomData() const { return m_userData; }
    unsigned int GetFlags() const { return m_flags; }
    void SetFlag(unsigned int flags, bool set) { m_flags = set ? (m_flags | flags) : (m_flags & ~flags); }
    void SetFlags(unsigned int flags) { m_flags = flags; }
    // All bits of `flags` set.
    bool IsFlagSet(unsigned int flags) const { return (m_flags & flags) == flags; }
    // Any bit of `flags` set.
    bool IsOneFlagSet(unsigned int flags) const { return (m_flags & flags) != 0; }
    void Select(bool select) { SetFlag(NODE_SELECTED, select); }
    bool IsNodeSelected() const { return IsFlagSet(NODE_SELECTED); }
    // Sets or clears invalidation bits (_SCENE_NODE_UPDATE_PROPERTIES). Setting NODE_UPDATE_TM
    // also drops the cached world transform of the node and of its whole subtree.
    void Invalidate(unsigned int flags, bool set = true);
    bool IsInvalidate(unsigned int flags) const { return (m_updateFlags & flags) == flags; }

    // ---- transforms ----
    // Keys of the local transform at `time`.
    void SetTransform(const C4x4TMatrix<float>& matrix, int time = 0);
    void SetPosition(const C3DTVector<float>& position, int time = 0);
    void SetRotation(const C3DTVector<float>& axis, float radians, int time = 0);
    void SetScale(const C3DTVector<float>& factors, int time = 0);
    void SetPivot(const C3DTVector<float>& pivot, int time = 0);
    // The pivot at `time`; false (pivot zero) without pivot keys.
    bool GetPivot(int time, C3DTVector<float>& pivot);
    // Deletes the transform and pivot keys (the local transform becomes the identity).
    void ResetTransform();
    const C4x4TMatrix<float>& GetObjectOffset() const { return m_objectOffset; }
    void SetObjectOffset(const C4x4TMatrix<float>& offset);

    // See the header comment. Virtual so that nodes of other kinds (cameras looking at targets,
    // for example) can compute their own.
    virtual void GetObjectLocalTM(int time, C4x4TMatrix<float>& matrix);
    void GetNodeTM(int time, C4x4TMatrix<float>& matrix, bool useCache = true);
    void GetNodeLocalTM(int time, C4x4TMatrix<float>& matrix);
    // Whether the cache holds the world transform of `time`.
    bool IsTMCached(int time) const { return m_tmCacheValid && m_tmCacheTime == time; }

    // Expresses the node's keys and offset in another axis convention (code as in
    // C3DTPoint::Swap): every transform M becomes S M S^-1 with S the swap matrix.
    void SwapTransformations(unsigned int code);
    // Swaps the coordinates of the object's geometry (points, channels; faces are flipped when
    // the swap mirrors). Returns whether anything changed. Shared objects change for every node.
    bool SwapPoints(unsigned int code);
    // Applies a convention change S to the keys and offset (M -> S M S^-1); used by the scene's
    // swaps and scaling.
    void ConjugateTransformations(const C4x4TMatrix<float>& s);

    // World-space box of the node's geometry at `time` (and of its subtree with `withChildren`),
    // from the points used by live faces. False when there is no geometry.
    bool GetBoundingBox(C3DTBBox<float>& box, int time = 0, bool withChildren = false);
    // Centre of gravity (mean of the points, in double) of the node's geometric object: in
    // object space, or in world space with `world`. False without points.
    bool GetCG(C3DTPoint<float>& centre, bool world = false, int time = 0);

    // A copy of this node alone (no children, no scene): name, flags, user data, keys, offset,
    // and the object copied through `creator` (a default creator when null) with `copyFlags`
    // (_OBJECT_COPY_FLAGS). When the creator cannot process the object, or the copy fails, the
    // copy has no object.
    C3DSceneNode* Copy(C3DObjectCreator* creator = nullptr, int copyFlags = 0) const;

    // The node's own data, in order: name, flags (u32), user data, object offset (16 floats), the
    // keys. The object and the tree links are written by the scene.
    void Serialize(CXArchive& ar) override;

protected:
    // Any key change of a transform type drops the cached world transforms of the subtree.
    void OnKeyframesChanged(uint64_t keyType) override;
    // Called by the scene after the node moved to another parent.
    virtual void OnParentingChanged();

private:
    friend class C3DScene;
    // Drops the world-transform cache of this node and its subtree.
    void InvalidateTMCache();
    // Conjugates the keys and the offset; only this node's cache is dropped (the scene's
    // whole-tree operations invalidate every node in one pass).
    void ConjugateKeys(const C4x4TMatrix<float>& s, const C4x4TMatrix<float>& inverse);
    // Copies name, flags, user data, keys and offset of `other`.
    void CopyNodeData(const C3DSceneNode& other);
    // Deletes the keys of the local transform (matrix, position, rotation, scale), not the pivot.
    void DeleteLocalTMKeys();
    // Replaces the local transform keys by one transform: `before` times the local transform at
    // `time` (the pivot stays).
    void BakeLocalTM(const C4x4TMatrix<float>& before, int time);

    C3DScene* m_pScene;          // not owned
    C3DBaseObject* m_pObject;    // one reference and one placement
    CCustomData m_userData;
    unsigned int m_nodeID;
    unsigned int m_flags;        // _SCENE_NODE_FLAGS
    unsigned int m_updateFlags;  // _SCENE_NODE_UPDATE_PROPERTIES
    CXTString<wchar_t> m_name;
    C4x4TMatrix<float> m_tmCache;
    int m_tmCacheTime;
    bool m_tmCacheValid;
    C4x4TMatrix<float> m_objectOffset;
};

}  // namespace kestovar
