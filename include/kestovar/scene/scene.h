// C3DScene: the container a host loads, builds, optimises and saves. A tree of C3DSceneNode
// (scene_node.h) whose root, named "Scene", holds an empty group; the material table; the
// scene-wide settings (a CCustomData, see the SCENE_PROP_ identifiers); the file name; the parser
// data slot readers attach format data to; and the selection (node flag NODE_SELECTED).
//
// Ownership. The scene owns its nodes; nodes share objects by reference counting (see
// scene_node.h). The host owns every scene it creates or loads (delete it, or Delete() its
// reference).
//
// Walks. GetFirstNode returns a cursor (C3DNodePos) on the first node of a pre-order walk;
// GetNextNode returns that node and moves the cursor on:
//
//     for (C3DNodePos pos = scene.GetFirstNode(OBJECT_GEOMETRIC_MASK, WALK_SHARED_ONCE); pos;) {
//         C3DGeomObject* object;
//         C3DSceneNode* node = scene.GetNextNode(pos, object);
//         ...
//     }
//
// The walk covers the nodes after the start node (the root when none is given) in pre-order,
// up to the end of the stop node's subtree (the whole tree when there is no stop node; the stop
// node should be the start node or one of its ancestors). The root is never returned. A node is
// returned when its object's kind shares a bit with the kind mask (nodes without object only
// with WALK_EMPTY_NODES) and the cursor's filter, if any, accepts it. Walk flags:
//   WALK_SHARED_ONCE (1)   each shared object once (the cursor remembers the object identifiers);
//   WALK_FROM_START (2)    a start node other than the root is itself the first node considered;
//   WALK_START_IS_STOP (4) the start node is the stop node: the walk stays in its subtree;
//   WALK_EMPTY_NODES (8)   nodes without object are returned too.
// The cursor already holds the node after the one returned, which is its first child when it
// has children: a walk may remove a node it returned only when that node has no children.
// To remove nodes with their subtrees, collect them during the walk and remove them after it.
//
// Files. WriteSceneFile/ReadSceneFile carry a scene in the library's own scene format (class
// 3DIF, extension ".3dif"), written through CXArchive (every number little-endian):
//
//   u32 magic 0x33444946 ("3DIF"), u32 format version (k3DIFVersion)
//   the scene as an archive object (WriteObject: class C3DScene with its schema), whose content
//   is, for schema 1:
//     i32 current time, i32 animation start, i32 animation end
//     the scene's own keys (C3DKeyframable::SerializeKeys)
//     the scene properties (CCustomData)
//     the file name (wide string)
//     the material table (CMaterials::Serialize)
//     the node count (archive count), then every node in pre-order, the root first:
//       u32 parent index (position of the parent in this list; 0xFFFFFFFF for the root only)
//       the node's class (WriteClass) and its data (C3DSceneNode::Serialize)
//       its object (WriteObject: null, a reference to an object written before, which makes the
//       node an instance of it, or a new object of its own class)
//
// Reading checks every index and count against the data; malformed data raises the archive's
// exceptions (CXArchiveException, CXFileException) and leaves nothing allocated.
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/object.h"
#include "kestovar/core/tree.h"
#include "kestovar/core/xstring.h"
#include "kestovar/mesh/material_map.h"
#include "kestovar/mesh/object.h"
#include "kestovar/scene/keyframe.h"
#include "kestovar/scene/material.h"
#include "kestovar/scene/scene_node.h"

namespace kestovar {

class CXArchive;
class C3DObjectCreator;
class C3DScene;

// ---- scene properties ---------------------------------------------------------------------------

constexpr uint32_t SCENE_PROP_UNIT = 0x53435554;          // SCUT: unsigned, _UNIT_MODE (0 when absent)
constexpr uint32_t SCENE_PROP_SCALE = 0x53434C46;         // SCLF: double, scale factor (1.0); unit defined
constexpr uint32_t SCENE_PROP_SMOOTH_MODE = 0x534D4D4F;   // SMMO: unsigned, _NormalSmoothMode
constexpr uint32_t SCENE_PROP_SMOOTH_ANGLE = 0x534D414E;  // SMAN: float, radians
constexpr uint32_t SCENE_PROP_PATCH_LEVEL = 0x50414C56;   // PALV: unsigned
constexpr uint32_t SCENE_PROP_TEXTURE_PATHS = 0x54585048; // TXPH: string array
constexpr uint32_t SCENE_PROP_UP_AXIS = 0x53435550;       // SCUP: unsigned, _UP_AXIS_MODE (0 when absent)

// ---- enumerations -------------------------------------------------------------------------------

// Length units; GetUnitFactor gives metres per unit.
enum _UNIT_MODE : unsigned int {
    UNIT_NONE = 0,
    UNIT_MILLIMETER = 1,
    UNIT_CENTIMETER = 2,
    UNIT_METER = 3,
    UNIT_KILOMETER = 4,
    UNIT_INCH = 5,
    UNIT_FOOT = 6,
    UNIT_YARD = 7,
    UNIT_MILE = 8,
};

// The axis pointing up. A scene without the SCUP property has no known up axis.
enum _UP_AXIS_MODE : unsigned int {
    UP_AXIS_NONE = 0,
    UP_AXIS_Y = 1,
    UP_AXIS_Z = 2,
};

enum _SCENE_WALK_FLAGS : unsigned int {
    WALK_SHARED_ONCE = 1,
    WALK_FROM_START = 2,
    WALK_START_IS_STOP = 4,
    WALK_EMPTY_NODES = 8,
};

// Kind mask selecting every object kind.
constexpr unsigned int KIND_ALL = 0xFFFFFFFFu;

// Options of the scene copies (Copy, CopyNode, AddScene). The object copy flags
// OBJECT_COPY_INSTANCE (0x10) and OBJECT_COPY_IDENTITY (0x200) are passed on to every object.
enum _SCENE_COPY_FLAGS : unsigned int {
    // An object shared by several nodes of the source is copied once and shared the same way in
    // the copy; without it each copied node gets an object of its own.
    SCENE_COPY_KEEP_INSTANCES = 0x100,
};

// The import flags CheckoutImport acts on.
enum _SCENE_IMPORT_FLAGS : unsigned int {
    SCENE_IMPORT_CONCATENATE = 16,               // one node for the whole scene, named after the file
    SCENE_IMPORT_CONCATENATE_BY_MATERIALS = 32,  // one node per material
    SCENE_IMPORT_GLOBAL_COORDINATES = 64,        // bake the transforms into the geometry
    SCENE_IMPORT_GENERATE_UVW = 0x100,           // generate texture coordinates
};

// Options of Concatenate and ConcatenateByMaterials.
enum _CONCATENATE_FLAGS : unsigned int {
    CONCATENATE_KEEP_SOURCES = 1,  // the merged nodes stay in the scene
};

// ---- object-level extension points --------------------------------------------------------------

// Object operations the scene drives but that belong to the object model's attribute and
// concatenation code. Each pointer may be null: the scene-level operation then leaves the
// objects as they are and reports that nothing was done. The subsystem that implements an
// operation installs its function when the library loads (SetSceneObjectHooks).
struct C3DSceneObjectHooks {
    // Generates the normals of `object` (`value` as passed to C3DScene::GenerateNormals).
    // Called from several threads at once, each with its own object.
    bool (*generateNormals)(C3DGeomObject* object, unsigned value, _NormalSmoothMode mode);
    // Generates the texture coordinates of `object`.
    bool (*generateUVW)(C3DGeomObject* object, unsigned flags);
    // Appends to `destination` the faces of `source` of material `material` (every face for
    // MATERIAL_NONE) with the points they use, transformed by `sourceToDestination`, with their
    // channels. ConcatenateByMaterials hands a source of several materials over as temporary
    // parts, one per material, each holding only that material's faces.
    bool (*appendObject)(C3DGeomObject* destination, const C3DGeomObject* source,
                         const C4x4TMatrix<float>& sourceToDestination, unsigned material);
    // Applies a tessellation level to a patch.
    bool (*setPatchLevel)(C3DPatch* patch, unsigned level);
};
KESTOVAR_API void SetSceneObjectHooks(const C3DSceneObjectHooks& hooks);
KESTOVAR_API C3DSceneObjectHooks GetSceneObjectHooks();

// ---- walks --------------------------------------------------------------------------------------

// Decides which nodes a walk (or DeleteNodes, Concatenate) takes.
class KESTOVAR_API C3DFilter {
public:
    virtual ~C3DFilter();
    virtual bool Accept(const C3DSceneNode* node) const = 0;
};

// The cursor of a walk (see the header comment). True while a node is pending.
class KESTOVAR_API C3DNodePos {
public:
    C3DNodePos();
    explicit operator bool() const { return m_pNext != nullptr; }
    // The node the next GetNextNode returns, or null at the end.
    C3DSceneNode* GetPendingNode() const { return m_pNext; }
    // From now on, nodes `filter` rejects are skipped (the pending node included). `filter`
    // (may be null) must outlive the walk.
    void SetFilter(const C3DFilter* filter);

private:
    friend class C3DScene;
    bool Takes(C3DSceneNode* node);
    // Makes the first node taken from `node` on (in pre-order) the pending one.
    void SeekFrom(C3DSceneNode* node);
    C3DSceneNode* Following(const C3DSceneNode* node) const;

    C3DSceneNode* m_pNext;
    C3DSceneNode* m_pLimit;  // the walk ends when it leaves this subtree (null: the whole tree)
    unsigned int m_kindMask;
    unsigned int m_walkFlags;
    const C3DFilter* m_pFilter;
    CHashTable<unsigned int> m_visited;  // object identifiers returned (WALK_SHARED_ONCE)
};

// ---- the scene ----------------------------------------------------------------------------------

class KESTOVAR_API C3DScene : public CTree, public C3DAnimatable, public CInstanciatedObject {
    KX_DECLARE_SERIAL(C3DScene)
public:
    typedef CXArray<CXTString<wchar_t>> CStringArray;
    typedef void (*ParserDataRelease)(void* data);

    // Layout of the scene files.
    static constexpr uint32_t k3DIFMagic = 0x33444946;  // "3DIF"
    static constexpr uint32_t k3DIFVersion = 1;

    // A new scene: one root node named "Scene" holding an empty group, no materials, no
    // properties.
    C3DScene();
    ~C3DScene() override;
    C3DScene(const C3DScene&) = delete;
    C3DScene& operator=(const C3DScene&) = delete;
    static C3DScene* Create() { return new C3DScene; }

    // ---- building and editing the tree ----
    C3DSceneNode* GetRoot() const { return static_cast<C3DSceneNode*>(CTree::GetRoot()); }
    // Links `node` (not linked anywhere) under `parent` (the root when null), as the last child
    // or, with `asFirstChild`, the first; every node of its branch gets this scene. Returns the
    // node, or null (nothing changed) when `node` is null, linked already, the root of a scene,
    // or an ancestor of `parent`.
    C3DSceneNode* AddNode(C3DSceneNode* parent, C3DSceneNode* node, bool asFirstChild = false);
    // A new node named `name` holding `object` (adopting the caller's reference) under `parent`.
    C3DSceneNode* CreateNode(C3DSceneNode* parent, const wchar_t* name, C3DBaseObject* object);
    // Without `deleteNode`: detaches the node's branch (the whole content for null or the root,
    // the scene then getting a fresh root), clears the branch's scene pointers and returns the
    // detached node, now the caller's. With `deleteNode`: deletes the branch (the whole content
    // for null or the root) and returns null.
    C3DSceneNode* RemoveNode(C3DSceneNode* node, bool deleteNode);
    // Moves `node` with its branch under `newParent` (the root when null), last. False, changing
    // nothing, for the root, a node of another scene, or when `newParent` lies in the branch.
    bool ChangeNodeParent(C3DSceneNode* node, C3DSceneNode* newParent);
    // Puts `newNode` (not linked anywhere) in `oldNode`'s place; the children of `oldNode` move
    // under `newNode` after its own. `oldNode` is deleted, or with `deleteOld` false detached and
    // returned. The root can be replaced. Null when nothing was done.
    C3DSceneNode* ReplaceNode(C3DSceneNode* oldNode, C3DSceneNode* newNode, bool deleteOld = true);
    // Deletes, with their branches, the nodes below `node` (the root when null) that `filter`
    // accepts. Returns the number of accepted nodes deleted.
    int DeleteNodes(C3DSceneNode* node, const C3DFilter& filter);
    // Back to the new-scene shape: nodes, materials, properties, keys, file name and parser data
    // are dropped.
    void RemoveAll();
    // Deletes every node below the root.
    void RemoveAllNodes();
    // Inserts a new group node named `name` (the node's name when null) under `node` and moves
    // every previous child of `node` under it. Returns the group node (null for a null node).
    C3DSceneNode* MakeGroupForChilds(C3DSceneNode* node, const wchar_t* name = nullptr);
    // Deletes, repeatedly, the nodes below `start` (the root when null) that hold a group or no
    // object and have no children. Returns the number deleted.
    int CleanGroups(C3DSceneNode* start = nullptr);
    // Removes the group nodes below `start` whose local transform is the identity at every time
    // (no transform keys, identity offset): their children move to the group's parent in its
    // place. Returns the number removed.
    int RemoveGroups(C3DSceneNode* start = nullptr);

    // ---- walking and queries ----
    C3DNodePos GetFirstNode(unsigned int kindMask = KIND_ALL, unsigned int walkFlags = 0, C3DSceneNode* start = nullptr,
                            C3DSceneNode* stop = nullptr) const;
    // Returns the pending node (null at the end) and moves the cursor on.
    C3DSceneNode* GetNextNode(C3DNodePos& pos) const;
    // The same, also giving the node's object at `time` (null for a node without one, or, for
    // the geometric form, when the object is not geometric).
    C3DSceneNode* GetNextNode(C3DNodePos& pos, C3DBaseObject*& object, int time = 0) const;
    C3DSceneNode* GetNextNode(C3DNodePos& pos, C3DGeomObject*& object, int time = 0) const;

    C3DSceneNode* GetParent(const C3DSceneNode* node) const { return node ? node->GetParentNode() : nullptr; }
    C3DSceneNode* GetChildNode(const C3DSceneNode* node) const { return node ? node->GetFirstChildNode() : nullptr; }
    C3DSceneNode* GetRightNode(const C3DSceneNode* node) const { return node ? node->GetNextSiblingNode() : nullptr; }
    // Whether `node` lies strictly inside `parent`'s branch.
    bool IsChildNode(const C3DSceneNode* node, const C3DSceneNode* parent) const;
    bool IsNodeInScene(const C3DSceneNode* node) const;
    bool IsSceneRoot(const C3DSceneNode* node) const { return node && node == GetRoot(); }
    // The nodes below `node` (the root when null) that carry an object of `kindMask` or no
    // object at all.
    int GetChildCount(const C3DSceneNode* node = nullptr, unsigned int kindMask = KIND_ALL) const;
    int GetDirectChildCount(const C3DSceneNode* node = nullptr) const;
    // Edges from the root down to `node` (0 for the root).
    int GetChildDepth(const C3DSceneNode* node) const;
    // Orders `nodes` by depth (shallowest first, or deepest first), keeping the order of nodes
    // of equal depth.
    static void SortNodesByDepth(CXArray<C3DSceneNode*>& nodes, bool deepestFirst = false);
    C3DSceneNode* GetNodeByID(unsigned int nodeID) const;
    C3DBaseObject* GetObjectByID(unsigned int objectID) const;
    // Appends the nodes of a walk (kindMask, walkFlags, start) to `nodes`; returns the number
    // appended.
    int GetNodesByType(CXArray<C3DSceneNode*>& nodes, unsigned int kindMask, C3DSceneNode* start = nullptr,
                       unsigned int walkFlags = WALK_SHARED_ONCE | WALK_START_IS_STOP) const;
    // Appends the nodes whose polymesh has a live face of material `materialID` (front or back).
    int GetNodesByMaterial(CXArray<C3DSceneNode*>& nodes, unsigned int materialID) const;
    // Appends the nodes holding the object `objectID`.
    int GetInstancesByID(CXArray<C3DSceneNode*>& nodes, unsigned int objectID) const;
    int GetSelectedNodes(CXArray<C3DSceneNode*>& nodes) const;
    void Select(C3DSceneNode* node, bool select, bool withChildren = false);
    void SelectNone();
    // Sums over the geometric objects, each shared object once, of their list sizes: dead faces and
    // removed points still in the lists count, so a reduced object in place, or a multiresolution
    // object at a coarse level, counts its full lists. For live counts use the optimiser's
    // GetMultiresolutionInfo (MRINFO_CURRENT_*) or a frozen copy.
    int GetPointNbr() const;
    int GetFaceNbr() const;

    // ---- transforms ----
    // Bakes the transforms at `time` into the geometry below `start` (the whole scene when null;
    // the start node included when it is not the root) so that those nodes' transforms become
    // the identity: each object receives its world transform relative to `start`'s parent. A
    // shared object whose nodes need different transforms is copied first. Returns whether any
    // geometry changed.
    bool ConvertToGlobalCoordinates(int time = 0, C3DSceneNode* start = nullptr);
    // Changes the axis convention of the whole scene (code as in C3DTPoint::Swap): every object
    // once, every transform key and offset.
    void SwapCoordinates(unsigned int code);
    // Scales the whole scene by `factors` (geometry of every object once, translations of every
    // transform): every world point p becomes S p. With unequal factors, a node that turns has
    // its position, rotation and scale keys replaced by matrix keys at their times (a scaled
    // rotation is no rotation), exact at those times and with their interpolation curves; between
    // keys the matrices interpolate through translation, rotation and scale, so the shear of a
    // scaled rotation shows at the keys only. The replaced keys' user data is not carried over.
    void Scale(const C3DTVector<float>& factors);
    // Turns the scene from its up axis (GetUpAxis) to `upAxis` by a quarter turn about x, then
    // records the new axis. With `rootOnly` the turn goes into the root's transform; otherwise
    // the geometry and transforms change as in SwapCoordinates. False when either axis is
    // unknown or they are equal.
    bool OrientScene(_UP_AXIS_MODE upAxis, bool rootOnly);
    _UP_AXIS_MODE GetUpAxis() const;
    void SetUpAxis(_UP_AXIS_MODE upAxis);
    // Moves the node's object origin to its centre of gravity: the geometry is translated by
    // -cg and the object offset of every node holding the object by +cg, so nothing moves in the
    // world. False without geometry.
    bool CenterPivotOnCG(C3DSceneNode* node);

    // ---- copies ----
    // A new scene holding copies of `start`'s branch (the whole scene when null): the root's
    // children go under the new root; another start node becomes the new root's only child, its
    // ancestors' transform at `time` baked into its own (animation of the start node is then
    // reduced to that time). Properties, materials, file name, times and keys are copied.
    // `creator` (a default creator when null) decides every object's class; see
    // _SCENE_COPY_FLAGS for `copyFlags`. The creator's object map is cleared first and then
    // holds source object -> copy.
    C3DScene* Copy(C3DSceneNode* start = nullptr, int time = 0, C3DObjectCreator* creator = nullptr,
                   unsigned int copyFlags = 0);
    // Copies `source` (of any scene) with its branch under `parent` (the root when null).
    // Returns the copy of `source`.
    C3DSceneNode* CopyNode(const C3DSceneNode* source, C3DSceneNode* parent, C3DObjectCreator* creator = nullptr,
                           unsigned int copyFlags = 0);
    // Copies `source` alone.
    C3DSceneNode* CopySingleNode(const C3DSceneNode* source, C3DSceneNode* parent, C3DObjectCreator* creator = nullptr,
                                 unsigned int copyFlags = 0);
    // Copies the children of `source` with their branches under `parent`. Returns the number of
    // children copied.
    int CopyChilds(const C3DSceneNode* source, C3DSceneNode* parent, C3DObjectCreator* creator = nullptr,
                   unsigned int copyFlags = 0);
    // Copies the content of `other` under `parent` (the root when null): its root's children and
    // its materials; copied objects refer to the copied materials' identifiers.
    bool AddScene(C3DScene& other, C3DSceneNode* parent = nullptr, C3DObjectCreator* creator = nullptr,
                  unsigned int copyFlags = 0);
    // Moves the content of `other` (its root's children and its materials) under `parent`;
    // `other` is left with the new-scene shape. Objects that move refer to the moved materials'
    // identifiers.
    bool Merge(C3DScene& other, C3DSceneNode* parent = nullptr);
    // Takes the scene-wide settings of `other`: properties, time, animation range.
    void Inherit(const C3DScene& other);
    // A new node under `parent` (the node's parent when null) sharing `node`'s object, with the
    // node's name, flags, user data, keys and offset. Null for a null node or the root.
    C3DSceneNode* CreateInstance(C3DSceneNode* node, C3DSceneNode* parent = nullptr);
    // Puts creator.ConvertToType(node, object) in place of every object below `start` (the whole
    // scene when null) that creator.CanProcess accepts; a shared object is converted once and
    // its nodes share the result. Returns the number of objects replaced. The creator makes new
    // objects only: it must not change which objects the scene's nodes hold.
    int ConvertToType(C3DObjectCreator& creator, C3DSceneNode* start = nullptr);

    // ---- object-level operations ----
    // Generates the normals of the geometric objects below `start` (the whole scene when null),
    // each shared object once, in one parallel loop with the library's worker count, through the
    // generateNormals extension point. Logs "C3DScene::GenerateNormals time %d ms\n". Returns the
    // number of objects for which the hook reported success (0 without hook).
    int GenerateNormals(C3DSceneNode* start, unsigned int value, _NormalSmoothMode mode);
    // Generates texture coordinates for every geometric object (generateUVW extension point).
    int GenerateUVW(unsigned int flags);
    // Merges the polymeshes below `start` (the whole scene when null) that `filter` (may be
    // null) accepts into one new polymesh node under `start` named `name` (the start node's name
    // when null), through the appendObject extension point. The sources are deleted unless
    // CONCATENATE_KEEP_SOURCES. Returns the new node, or null when there was nothing to merge
    // or no hook.
    C3DSceneNode* Concatenate(C3DSceneNode* start, unsigned int flags, const C3DFilter* filter,
                              const wchar_t* name = nullptr);
    // As Concatenate, one new node per material in use, named after the material. Returns the
    // number of nodes created.
    int ConcatenateByMaterials(C3DSceneNode* start, unsigned int flags, const C3DFilter* filter);

    // ---- units ----
    // Stores the unit and the scale factor (after this, IsUnitDefined is true).
    void SetUnit(_UNIT_MODE unit, double scaleFactor = 1.0);
    _UNIT_MODE GetUnit() const;
    double GetScaleFactor() const;
    bool IsUnitDefined() const;
    // Metres per unit (1.0 for UNIT_NONE and unknown values).
    static double GetUnitFactor(_UNIT_MODE unit);
    // "mm", "cm", "m", "km", "in", "ft", "yd", "mi"; empty for UNIT_NONE and unknown values.
    static CXTString<wchar_t> GetUnitText(_UNIT_MODE unit);
    // Scales the scene so that its lengths are expressed in `unit` (from its current unit and
    // scale factor) and stores `unit` with a scale factor of 1. False when the scene has no unit
    // or `unit` is UNIT_NONE.
    bool ConvertToUnit(_UNIT_MODE unit);

    // ---- smoothing and patches ----
    // Radians; -1 stands for the preferences' angle. An angle outside [0, 180.01] degrees is
    // ignored (false). When the angle differs from the current one, every geometric object whose
    // angle follows the scene gets its normals marked out of date; the angle is stored (SMAN);
    // with `setPreferences` it also becomes the preferences' angle. Returns whether it changed.
    bool SetSmoothAngle(float radians, bool setPreferences = false);
    // The scene's angle, else the preferences'.
    float GetSmoothAngle() const;
    // Stores the mode (SMMO; 0 removes it); objects following the scene are marked as for the
    // angle. With `setPreferences` it also becomes the preferences' mode.
    bool SetSmoothMode(_NormalSmoothMode mode, bool setPreferences = false);
    _NormalSmoothMode GetSmoothMode() const;
    // Stores the level (PALV) and applies it to every patch (setPatchLevel extension point).
    void SetPatchLevel(unsigned int level);
    // The scene's level, else the preferences'.
    unsigned int GetPatchLevel() const;

    // ---- properties and materials ----
    CCustomData& GetProperties() { return m_properties; }
    const CCustomData& GetProperties() const { return m_properties; }
    CMaterials& GetMaterialTable() { return m_materials; }
    const CMaterials& GetMaterialTable() const { return m_materials; }
    C3DMaterial* CreateNewMaterial(unsigned int id = MATERIAL_NONE) { return m_materials.CreateNewMaterial(id); }
    C3DMaterial* GetMaterialByID(unsigned int id) const { return m_materials.FindByID(id); }
    C3DMaterial* GetMaterialByName(const wchar_t* name) const { return m_materials.FindByName(name); }
    C3DMaterial* FindMaterial(const C3DMaterial& material, bool sameName) const { return m_materials.Find(material, sameName); }
    // The identifier of the material named `name`, or MATERIAL_NONE.
    unsigned int FindMaterialID(const wchar_t* name) const;
    bool RemoveMaterial(unsigned int id) { return m_materials.RemoveMaterial(id); }
    C3DMaterial* GetFirstMaterial(int& position) const { return m_materials.GetFirst(position); }
    C3DMaterial* GetNextMaterial(int& position) const { return m_materials.GetNext(position); }
    int CopyMaterials(const C3DScene& source, unsigned int id, CMaterialIDMap* remap) {
        return m_materials.CopyMaterials(source.m_materials, id, remap);
    }
    // Adds the (front, back) material pairs of every geometric object (each shared object once)
    // to `map` with their face counts. Returns the number of pairs. This and GetMaterials refill
    // each face list's cached pair counts: though const, they are for one thread at a time.
    int GetFBMaterials(CFBMaterialHashMap& map) const;
    // Fills `map` with the materials used by live faces and their face counts (back materials
    // included). Returns the number of materials.
    int GetMaterials(CMaterialCountMap& map) const;

    // ---- textures and files ----
    void AddTexturePath(const wchar_t* path);
    void SetTexturePaths(const CStringArray& paths);
    int GetTexturePaths(CStringArray& paths) const;
    // The index-th texture path, empty out of range.
    CXTString<wchar_t> GetTexturePath(int index) const;
    // Looks for the bitmap `fileName`: the name itself when it exists (relative names against
    // the scene file's directory first), then the name and its bare file name in each scene
    // texture path, then in each texture path of the preferences; a name with backslashes is
    // then looked for again with them read as folder separators. `path` receives the first
    // existing file. False when none exists.
    bool FindBitmap(const wchar_t* fileName, CXTString<wchar_t>& path) const;
    // The distinct bitmap and alpha files of every map of every material, resolved through
    // FindBitmap when found (as written otherwise). Returns the count.
    int GetLinkedFiles(CStringArray& files) const;
    // Copies every linked file found on disk into `directory` (which must exist) and points the
    // maps at the copies. A file already there keeps its name; files of one bare name from
    // different folders are kept apart ("name_1.ext", ...), so no texture of the scene overwrites
    // another. Returns the number of files now in `directory` (copied or already there).
    int MoveTextures(const wchar_t* directory);
    // Rewrites the map file names relative to `directory` (the scene file's directory when
    // null), or absolute against it. Returns the number of names changed.
    int AdjustPaths(const wchar_t* directory = nullptr, bool makeRelative = true);
    // Renames the relative map file names of the materials from the directory `from` to the
    // directory `to` (CMaterials::RebasePaths): a scene saved into another folder still finds its
    // textures. Returns the number of names changed.
    int RebasePaths(const wchar_t* from, const wchar_t* to) { return m_materials.RebasePaths(from, to); }

    const CXTString<wchar_t>& GetFileName() const { return m_fileName; }
    void SetFileName(const wchar_t* fileName) { m_fileName = fileName; }
    // The slot a reader attaches its format data to: the data, the format's class code and the
    // function that releases the data (called when the slot is replaced and when the scene is
    // destroyed; may be null).
    void SetParserData(uint32_t formatClass, void* data, ParserDataRelease release = nullptr);
    void* GetParserData(uint32_t* formatClass = nullptr) const;

    // ---- import pipeline ----
    // Run after a reader filled the scene. In order: turns the scene to `upAxis` (when given and
    // the scene's own axis is known) and applies `swapCode` (when not 0); runs CheckoutNode on
    // every node; with SCENE_IMPORT_GLOBAL_COORDINATES bakes the transforms; with
    // SCENE_IMPORT_CONCATENATE merges the scene into one node named after the file, or with
    // SCENE_IMPORT_CONCATENATE_BY_MATERIALS one node per material; with
    // SCENE_IMPORT_GENERATE_UVW generates texture coordinates; then names every unnamed material
    // "Material %d" with its identifier. Logs "C3DScene::CheckoutImport time %d ms\n".
    bool CheckoutImport(unsigned int flags, _UP_AXIS_MODE upAxis = UP_AXIS_NONE, unsigned int swapCode = 0);
    // Makes one node consistent after loading: the node and its object know the scene, its
    // cached transform is dropped, and every material its faces use exists in the table
    // (created under that identifier when missing).
    virtual void CheckoutNode(C3DSceneNode* node);

    // ---- persistence ----
    // The scene content (see the header comment).
    void Serialize(CXArchive& ar) override;
    // The whole file: magic, version and the scene object.
    void WriteSceneFile(CXArchive& ar);
    // Reads a file written by WriteSceneFile; the caller owns the scene. Raises on malformed
    // data (CXArchiveException badClass for a wrong magic or a newer version).
    static C3DScene* ReadSceneFile(CXArchive& ar);

private:
    friend class C3DSceneNode;
    // Gives every node of `node`'s branch (and their objects) the scene `scene`. An object that
    // nodes outside the branch share keeps its scene, unless `wholeScene` says that every node of
    // the branch's previous scene moves too.
    static void SetBranchScene(C3DSceneNode* node, C3DScene* scene, bool wholeScene = false);
    // Whether a node of the tree other than `except` holds `object` (false while the tree is
    // being deleted).
    bool HoldsObject(const C3DBaseObject* object, const C3DSceneNode* except) const;
    // Deletes the whole tree (the scene is left without root).
    void DeleteRoot();
    void ResetRoot();
    void ReleaseParserData();
    // Applies a convention change S to every transform and (once per object) to the geometry.
    void TransformConvention(const C4x4TMatrix<float>& s);
    // World transform at `time` of `node` relative to the ancestors above `start` (inverse of
    // their product times the world transform).
    void GetRelativeTM(C3DSceneNode* node, C3DSceneNode* start, int time, C4x4TMatrix<float>& matrix);
    void InvalidateSceneSmoothing();
    C3DSceneNode* CopyBranch(const C3DSceneNode* source, C3DSceneNode* parent, C3DObjectCreator* creator,
                             unsigned int copyFlags, bool withChildren);
    C3DBaseObject* CopyObject(const C3DSceneNode* source, C3DObjectCreator* creator, unsigned int copyFlags);
    void RemapMaterials(C3DSceneNode* first, const CMaterialIDMap& remap, bool onlyNewObjects, C3DObjectCreator* creator);
    // The polymesh nodes below `start` that `filter` accepts, every instance included.
    void CollectSources(C3DSceneNode* start, const C3DFilter* filter, CXArray<C3DSceneNode*>& sources) const;
    // One new polymesh node under `start` holding the faces of `material` (all for MATERIAL_NONE)
    // of `sources`; null when nothing was appended.
    C3DSceneNode* ConcatenateInto(C3DSceneNode* start, const wchar_t* name, unsigned int material,
                                  const CXArray<C3DSceneNode*>& sources);
    // Releases the objects of `sources` (nodes of this scene) and deletes those without children.
    void RetireSources(CXArray<C3DSceneNode*>& sources);
    // The number of nodes of the tree that hold each object.
    typedef CHashMap<const void*, const void*, int> CHolderCounts;
    void CountHolders(CHolderCounts& holders) const;
    // node->SetObject(object, true) as one step of a batch. Letting go of a shared object asks
    // whether another node still holds it, which walks the tree; the batch reads `holders`
    // instead, counted on first need. `counted` false says the tree may have changed since the
    // last count (the caller clears it after calling out to code that may edit the tree).
    void SetObjectInBatch(C3DSceneNode* node, C3DBaseObject* object, CHolderCounts& holders, bool& counted);
    // Lets HoldsObject read `counts` while it lives.
    class CHolderCountsInUse {
    public:
        CHolderCountsInUse(C3DScene& scene, CHolderCounts* counts) : m_scene(scene) {
            scene.m_pHolderCounts = counts;
        }
        ~CHolderCountsInUse() { m_scene.m_pHolderCounts = nullptr; }
        CHolderCountsInUse(const CHolderCountsInUse&) = delete;
        CHolderCountsInUse& operator=(const CHolderCountsInUse&) = delete;

    private:
        C3DScene& m_scene;
    };
    // Deletes the branches of `nodes` (nodes of this tree, none inside another's branch):
    // siblings leave their parents' lists in one pass, and the holders of shared objects are
    // counted once for the batch.
    void DeleteBranches(const CXArray<C3DSceneNode*>& nodes);
    // Deletes each node of `candidates` (listed children before their parents) whose children
    // all go as well, so that a node whose only children go goes too; returns how many went.
    int DeleteBottomUp(const CXArray<C3DSceneNode*>& candidates);

    CCustomData m_properties;
    CMaterials m_materials;
    CXTString<wchar_t> m_fileName;
    void* m_pParserData;
    uint32_t m_parserClass;
    ParserDataRelease m_pParserRelease;
    bool m_bulkDelete;  // the tree is being deleted as a whole
    // While a batch of nodes lets go of their objects: the number of nodes of the tree that hold
    // each object, kept up to date by the batch, which HoldsObject reads instead of walking.
    CHolderCounts* m_pHolderCounts = nullptr;
};

}  // namespace kestovar
