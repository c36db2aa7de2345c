// The objects placed in a scene: C3DBaseObject (kind, identity, flags, change tracking, custom
// data, copy protocol), C3DGeomObject (a point list, a face list and the attribute channels, with
// cached bounding boxes and the normal-smoothing settings), the polymesh C3DObject, the other
// object kinds, and CreateObjectFromArrays.
//
// Change tracking. Each object has an update word. Bits at or above 0x10000 request updates
// (NeedUpdate tests 0x20000 and above); each such bit b has a 64-bit time stamp, entry
// (b >> 16) - 1 of the stamp array, written when the update is served. Bit 0x800 marks an
// invalidation: invalidating with any bit below 0x10000 sets it. Geometric objects also react to
// invalidation bits below 0x10000 (see _OBJECT_INVALIDATE_FLAGS and C3DGeomObject::Invalidate).
//
// Lifetime. Objects are reference counted (CInstanciatedObject): the creator holds the first
// reference; Delete releases one. An object shared by several scene nodes has an instance count
// above 1; DeleteFromNode undoes one placement.
#pragma once

#include <cstdint>

#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"
#include "kestovar/core/xstring.h"
#include "kestovar/mesh/bbox.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/material_map.h"

namespace kestovar {

class CXArchive;
class C3DScene;
class C3DSceneNode;
class C3DObjectCreator;
class C3DPointList;
class C3DFaceList;
class C3DGeomObject;
class C3DObject;
class C3DCurve;
class C3DPatch;
class C3DGroup;
class C3DDummy;
class C3DCamera;
class C3DLight;

// Object kinds. Kinds 1, 2 and 4 are geometric (kind & 7).
enum _OBJECT_KINDOF : unsigned int {
    OBJECT_NONE = 0,
    OBJECT_POLYMESH = 1,
    OBJECT_CURVE = 2,
    OBJECT_PATCH = 4,
    OBJECT_GROUP = 8,
    OBJECT_DUMMY = 16,
    OBJECT_CAMERA = 32,
    OBJECT_LIGHT = 64,
    OBJECT_GEOMETRIC_MASK = 7,
};

// Object flag word. The bits other than OBJECT_EMPTY belong to the scene code.
enum _OBJECT_PROPERTIES : unsigned int {
    // The object has no geometry: bounding boxes, sorting, clean-up and flips do nothing. Set by
    // Clean when both lists become empty.
    OBJECT_EMPTY = 0x10,
};

// Update-word bits with a time stamp, and the invalidation mark.
enum _OBJECT_UPDATE_PROPERTIES : unsigned int {
    OBJECT_INVALIDATED = 0x800,        // something was invalidated since the last update
    OBJECT_UPDATE_INIT = 0x10000,      // the object was never updated (set at construction)
    OBJECT_UPDATE_SCENE = 0x20000,     // scene-level settings must be applied again
    OBJECT_UPDATE_CHANNELS = 0x40000,  // the channels must follow a geometry change
    OBJECT_UPDATE_MASK = 0xFFFF0000,   // every update-request bit
    OBJECT_NEED_UPDATE_MASK = 0xFFE0000,  // the bits NeedUpdate tests
};

// Invalidation bits understood by C3DGeomObject::Invalidate (below 0x10000).
enum _OBJECT_INVALIDATE_FLAGS : unsigned int {
    INVALIDATE_POINTS = 0x1,      // point coordinates or count changed
    INVALIDATE_FACES = 0x2,       // faces changed
    INVALIDATE_MATERIALS = 0x8,   // face materials changed
    INVALIDATE_ALL = 0x10,        // the whole geometry was replaced (copy)
    INVALIDATE_CHANNELS = 0x800,  // channels or settings changed
};

// Options of C3DBaseObject::Copy.
enum _OBJECT_COPY_FLAGS : unsigned int {
    // Without a destination the copy is the object itself, shared: one more reference and one
    // more instance.
    OBJECT_COPY_INSTANCE = 0x10,
    // The copy keeps the source's identifier and does not take the source's scene.
    OBJECT_COPY_IDENTITY = 0x200,
};

// Masks of C3DGeomObject::GetBoundingBox.
enum _OBJECT_BBOX_MASK : unsigned int {
    BBOX_FACES = 0x1,        // points used by faces
    BBOX_POINTS = 0x2,       // every point of the list
    BBOX_WORLD = 0x100,      // world space through the node transform; never cached
};

// Weighting of face contributions when corner normals are smoothed. 0 follows the scene.
enum _NormalSmoothMode : int {
    NORMAL_SMOOTH_SCENE = 0,
    NORMAL_SMOOTH_UNWEIGHTED = 1,
    NORMAL_SMOOTH_AREA = 2,
    NORMAL_SMOOTH_EDGE = 3,
    NORMAL_SMOOTH_ANGLE = 4,
};

// Display face mode of a geometric object; stored and persisted, interpreted by the host.
enum _faceModeEnum : int {
    FACE_MODE_DEFAULT = 0,
};

// Face selection modes of C3DGeomObject::SubObject(int, _SUBOBJECT_MODE).
enum _SUBOBJECT_MODE : int {
    SUBOBJECT_EQUAL = 1,  // faces with exactly n points
    SUBOBJECT_MORE = 3,   // faces with more than n points
};

// Smoothing angle value meaning "take the scene's angle".
constexpr float kSceneSmoothAngle = -1.0f;
// The smoothing angle and mode used for an object that follows the scene while no scene is
// attached: the defaults of the user's 3D preferences (31 degrees, area-weighted).
constexpr float kDefaultSmoothAngle = 0.54105204f;
constexpr _NormalSmoothMode kDefaultSmoothMode = NORMAL_SMOOTH_AREA;

class KESTOVAR_API C3DBaseObject : public CXObject, public CInstanciatedObject {
    KX_DECLARE_SERIAL(C3DBaseObject)
public:
    // Kind 0; the next identifier of the library-wide counter.
    C3DBaseObject();
    ~C3DBaseObject() override;
    C3DBaseObject(const C3DBaseObject&) = delete;
    C3DBaseObject& operator=(const C3DBaseObject&) = delete;

    // Writes the kind, the object flags and the custom data. Loading an object whose stored kind
    // is not its class's raises CXArchiveException (badClass).
    void Serialize(CXArchive& ar) override;

    // Undoes one placement in a scene node: the instance count drops when above 1, then one
    // reference is released (which may destroy the object).
    virtual void DeleteFromNode();
    // Called by a scene node that lets go of the object, before it releases it, so that an
    // object that keeps a link to the node it was placed by can drop it; nothing in the base.
    virtual void OnLeaveNode(const C3DSceneNode* node);
    // Hooks around the serialisation of the node that holds the object; nothing in the base.
    virtual void PreSerialize(CXArchive& ar, bool storing);
    virtual void PostSerialize(CXArchive& ar, bool storing);
    // True when an update bit from 0x20000 to 0x8000000 is set.
    virtual bool NeedUpdate();
    // Checksum of the object's content for `mask`; kind * 16 in the base.
    virtual unsigned int GetChecksum(unsigned int mask);
    // Serves the update bits of `flags`: 0x10000, 0x20000 and 0x40000 get the current tick count
    // (milliseconds) as stamp, then the bits of `flags` at or above 0x10000 are cleared. Returns
    // whether the update changed the object (never in the base).
    virtual bool Update(C3DScene* scene, unsigned int flags);
    // With `set` and any bit of `flags` below 0x10000: marks the invalidation (0x800). Otherwise
    // clears the bits of `flags` from the update word.
    virtual void Invalidate(unsigned int flags, bool set);
    // Marks channels of the types in `typeMask` out of date. Returns whether any was; none here.
    virtual bool InvalidateChannels(unsigned int typeMask);
    // Whether this object is the end of its evaluation chain (true in the base), and that end.
    virtual bool IsFinalObject();
    virtual C3DBaseObject* GetFinalObject(bool update);
    // Copies the object flags and the custom data of `other`; with copy flag 0x200 also its
    // identifier.
    virtual void InheritFlags(const C3DBaseObject& other, int copyFlags);
    // Transforms the geometry by `m`. Returns whether anything moved; nothing in the base.
    virtual bool MatrixTransform(const C4x4TMatrix<float>& m);

    _OBJECT_KINDOF GetKindOf() const { return m_kind; }
    unsigned int GetObjectID() const { return m_objectID; }
    bool IsGeomObject() const { return (m_kind & OBJECT_GEOMETRIC_MASK) != 0; }
    bool IsInstanciated() const { return m_instanceCount > 1; }
    int GetInstanceCount() const { return m_instanceCount; }
    C3DScene* GetScene() const { return m_pScene; }
    void SetScene(C3DScene* scene) { m_pScene = scene; }
    unsigned int GetFlags() const { return m_flags; }
    // True when every bit of `flags` is set.
    bool IsFlagSet(unsigned int flags) const { return (m_flags & flags) == flags; }
    void SetFlag(unsigned int flags, bool set) { m_flags = set ? (m_flags | flags) : (m_flags & ~flags); }
    unsigned int GetUpdateFlags() const { return m_updateFlags; }
    // True when every bit of `flags` is set in the update word.
    bool IsInvalidate(unsigned int flags) const { return (m_updateFlags & flags) == flags; }
    // The stamp of update bit `flag` (a multiple of 0x10000 below 0x210000); 0 for other values.
    uint64_t GetUpdateStamp(_OBJECT_UPDATE_PROPERTIES flag) const;
    CCustomData& GetCustomData() { return m_customData; }
    const CCustomData& GetCustomData() const { return m_customData; }
    unsigned int GetCustomDataChecksum() const { return m_customData.GetChecksum(); }

    // The kind's display name through the string table ("Polymesh", "Curve", ...); empty for a
    // value that is not one of the seven kinds.
    CXTString<wchar_t> GetTypeString() const;
    static CXTString<wchar_t> GetTypeString(_OBJECT_KINDOF kind);

    // A copy of the object made through `creator` (a default creator when null); see
    // _OBJECT_COPY_FLAGS. Returns null, having released the partial copy, when the copy fails
    // (the creator's object is of an incompatible kind). The caller owns the result's reference.
    C3DBaseObject* Copy(int copyFlags, C3DObjectCreator* creator = nullptr);

    // A new empty object of `kind` (one reference, the caller's); null for any other value.
    static C3DBaseObject* Create(_OBJECT_KINDOF kind);

    // The object itself when its kind matches the class, else null.
    operator C3DGeomObject*();
    operator C3DObject*();
    operator C3DCurve*();
    operator C3DPatch*();
    operator C3DGroup*();
    operator C3DDummy*();
    operator C3DCamera*();
    operator C3DLight*();

    // The number of objects constructed so far in the process (the last identifier handed out).
    static unsigned int GetLastObjectID();

protected:
    explicit C3DBaseObject(_OBJECT_KINDOF kind);

    // Copies into `dst`, creating it through `creator` when null (or sharing this object under
    // copy flag 0x10). Returns false on a kind mismatch; `dst` may then hold a partial copy that
    // the caller releases.
    virtual bool InternalCopy(C3DBaseObject*& dst, int copyFlags, C3DObjectCreator* creator);

    // Setting ORs in the bits of `flags` at or above 0x10000. Clearing stamps 0x10000, 0x20000
    // and 0x40000 as Update does and clears the bits of `flags` at or above 0x10000.
    void SetUpdateFlags(unsigned int flags, bool set);
    // Whether a source of kind `src` may be copied into a destination of kind `dst`: polymeshes
    // and patches only into polymeshes and patches, curves only into curves, groups only into
    // groups.
    static bool IsCopyCompatible(unsigned int src, unsigned int dst);
    // Stamps 0x10000, 0x20000 and 0x40000 when present in `flags`.
    void StampUpdates(unsigned int flags);

    _OBJECT_KINDOF m_kind;
    unsigned int m_flags;         // _OBJECT_PROPERTIES
    unsigned int m_updateFlags;   // _OBJECT_UPDATE_PROPERTIES and invalidation bits
    uint64_t m_updateStamps[32];  // stamp of update bit b at (b >> 16) - 1, in milliseconds
    CCustomData m_customData;
    unsigned int m_objectID;
    int m_instanceCount;
    C3DScene* m_pScene;  // not owned
};

// An object with polygonal geometry: a point list, a face list and the channel set, all owned
// (one reference each).
class KESTOVAR_API C3DGeomObject : public C3DBaseObject {
    KX_DECLARE_SERIAL(C3DGeomObject)
public:
    // Kind 0, no lists, an empty channel set.
    C3DGeomObject();
    // Adopts the given lists and channels (their references pass to the object, and are released
    // should the construction fail); a null channel set is replaced by a new empty one.
    C3DGeomObject(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels);
    ~C3DGeomObject() override;

    // After the base part: for the face list, the point list and the channel set in turn, a
    // 32-bit marker 1 followed by the class and the content, or the marker 0; then the smoothing
    // angle (float), the face mode, the smoothing mode, the global texture and colour channel
    // identifiers (32 bits each) and the colour channel's parameter (float). Loading releases the
    // current lists and channels first and re-creates them from their stored classes.
    void Serialize(CXArchive& ar) override;
    // Sum (32-bit wrap) of the point list's and face list's checksums for `mask`; with mask bit
    // 0x10, plus the checksums of the lists of every channel that is neither invalid nor derived.
    unsigned int GetChecksum(unsigned int mask) override;
    // With update bit 0x40000 on a final object, texture coordinates would be regenerated (the
    // texture work adds it); then the base update. Returns whether the regeneration changed
    // anything.
    bool Update(C3DScene* scene, unsigned int flags) override;
    // Bits 0x1 (points) and 0x8 (materials) mark the point list changed; 0x2 marks the face list
    // changed. 0x1 or 0x2 drop both cached boxes. 0x1, 0x2 or 0x10 with a channel set request
    // a channel update (0x40000) and mark every recomputable channel out of date. Then the base
    // rule on the update word.
    void Invalidate(unsigned int flags, bool set) override;
    // Marks out of date the recomputable channels of the types in `typeMask`; when any was,
    // Invalidate(0x800, true). Returns whether any was.
    bool InvalidateChannels(unsigned int typeMask) override;
    // Also copies, from a geometric object, the update word, both cached boxes, the smoothing
    // angle and mode, the face mode and the global channel settings.
    void InheritFlags(const C3DBaseObject& other, int copyFlags) override;
    // A matrix within the identity tolerance changes nothing (false). Otherwise transforms the
    // points and every channel, flips every face when the linear part mirrors (negative
    // determinant), and drops the cached boxes. False without a point list.
    bool MatrixTransform(const C4x4TMatrix<float>& m) override;

    // Each does nothing when the pointer is the one held; otherwise releases the old one when
    // `deleteOld` is set, stores the new one (taking over the caller's reference) and calls
    // Invalidate with 2, 1 or 0x800 respectively.
    virtual void SetFaceList(C3DFaceList* faces, bool deleteOld);
    virtual void SetPointList(C3DPointList* points, bool deleteOld);
    virtual void SetChannels(CDependentChannels* channels, bool deleteOld);
    // Removes degenerate faces, unused points and the matching channel data. With faces, an
    // object left with neither points nor faces becomes empty (OBJECT_EMPTY). Returns whether
    // anything changed. Nothing for an empty object or without a point list.
    virtual bool Clean();

    // ---- lists ----
    C3DPointList* GetPointList() const { return m_pPointList; }
    C3DFaceList* GetFaceList() const { return m_pFaceList; }
    CDependentChannels* GetChannels() const { return m_pChannels; }
    // 0 without the list.
    int GetPointNbr() const;
    int GetFaceNbr() const;

    // ---- channels ----
    // Appends `channel` (taking over the caller's reference); its index, or -1 for null.
    int AddChannel(CChannel* channel);
    CChannel* GetChannelByID(unsigned int id, _Channel3DType typeMask) const;
    CChannel* GetChannelByIndex(int index, _Channel3DType typeMask, bool skipInvalid) const;
    // Cleans the channels of the types in `typeMask` against the current geometry (no remaps):
    // channels that no longer match are dropped. With `invalidate`, a change ends with
    // Invalidate(0x800, true). Returns the number of channels that changed.
    int CleanChannels(unsigned int typeMask, bool invalidate);
    unsigned int GetGlobalUVWChannel() const { return m_globalUVWChannel; }
    // Stores the identifier (0xFFFFFFFF: none), then Invalidate(0x800, true).
    void SetGlobalUVWChannel(unsigned int id);
    unsigned int GetGlobalVCChannel(float& parameter) const {
        parameter = m_globalVCParameter;
        return m_globalVCChannel;
    }
    // Stores the identifier (0xFFFFFFFF: none) and its parameter, then Invalidate(0x800, true).
    void SetGlobalVCChannel(unsigned int id, float parameter);

    // ---- smoothing ----
    // The object's angle in radians, or, when it follows the scene (-1), the scene's; then
    // *fromScene (may be null) is true. While no scene is attached the preferences' default
    // (kDefaultSmoothAngle) stands for the scene's.
    float GetSmoothAngle(bool* fromScene = nullptr) const;
    // Any value other than -1 is clamped to [0, pi] radians; -1 follows the scene again. A change
    // of the stored value marks point and specified normals out of date (InvalidateChannels(0x50)).
    void SetSmoothAngle(float radians);
    // The object's mode, or the scene's when it is 0 (then *fromScene is true; kDefaultSmoothMode
    // while no scene is attached).
    _NormalSmoothMode GetSmoothMode(bool* fromScene = nullptr) const;
    // Stores the mode (0 follows the scene); a change marks point and specified normals out of
    // date.
    void SetSmoothMode(_NormalSmoothMode mode);
    _faceModeEnum GetFaceMode() const { return m_faceMode; }
    // Stores, then Invalidate(0x800, true).
    void SetFaceMode(_faceModeEnum mode);

    // ---- geometry ----
    // Emptied first. Mask 0x1: the box of the points used by live faces (all points without a
    // face list); 0x2: the box of every point. Results are cached per kind until the points or
    // faces are invalidated. With 0x100 the box is taken in world space, each point through
    // `node`'s transform (GetNodeTM at its scene's current time), and not cached; false without
    // a node. `tmFlags` and `selectedOnly` are not used. Returns true when the box is not empty;
    // false for an empty object or a mask with neither 0x1 nor 0x2.
    bool GetBoundingBox(C3DTBBox<float>& box, unsigned int mask, unsigned int tmFlags = 0, bool selectedOnly = false,
                        const C3DSceneNode* node = nullptr);
    bool GetBoundingBox(C3DTPoint<float>& min, C3DTPoint<float>& max, unsigned int mask, unsigned int tmFlags = 0,
                        bool selectedOnly = false, const C3DSceneNode* node = nullptr);
    // Centre of the point box, computed in double. False without a point list.
    bool GetCG(C3DTPoint<float>& centre);
    // Reverses the faces selected by (mask, value) (every live face for mask 0) and the matching
    // faces of the channels that are neither invalid nor derived, then Invalidate(2, true).
    // False without faces or for an empty object.
    bool FlipNormals(_FACE_PROPERTIES mask, bool value);
    // Whether every face selected by (mask, value) has at most three points. False without a
    // face list.
    bool IsTriangular(_FACE_PROPERTIES mask, bool value) const;
    // Orders the faces (and the faces of every valid channel) by material; see
    // C3DFaceList::Sort. Returns whether anything moved. Nothing for an empty object.
    bool SortFaces(unsigned int mode);
    // Trims the slack of the point list, the face list and every channel.
    void FreeExtra();
    // Makes the lists take the list settings of `other`'s lists and copies `other`'s channels
    // with type mask `typeMask` and copy flags `copyFlags`.
    void Inherit(const C3DGeomObject& other, unsigned int typeMask, unsigned int copyFlags);

    // ---- materials ----
    // Distinct materials of the live faces with their face counts (see
    // C3DFaceList::GetMaterialsHashMap). 0 without faces.
    int GetMaterialsHashMap(CHashMap<unsigned int, unsigned int, unsigned int>& map, bool withBack, bool reset);
    // The front/back pair counts, built on first use; null without faces.
    CFBMaterialHashMap* GetFBMaterialsHashMap();
    bool HasBackFaceMaterials() const;
    // Renames material `from` to `to` on every face; on success Invalidate(8, true).
    bool ReplaceMaterial(unsigned int from, unsigned int to);
    // For every material in use (front or back) that is a key of `map`, ReplaceMaterial(key,
    // value); when anything changed, Invalidate(0x800, true). Returns whether anything changed.
    bool ReplaceMaterials(const CHashMap<unsigned int, unsigned int, unsigned int>& map);

    // ---- clean-up operations (weld.cpp, triangulate.cpp, sub_object.cpp, face_tagger.cpp) ----
    // Merges points lying together: each point, in index order, that has no representative yet
    // becomes one and gathers the points of its grid cell and the 26 around it (grid of
    // C3DPointList::GetGridCoordMap for the tolerance; 0 merges coincident points only). Faces are
    // renumbered, unused points removed, the channels of the types in `channelMask` welded and
    // every channel cleaned. `filterCount` pairs of unsigned ints (flag mask, _WELD_FILTER_MODE)
    // follow; filters are ignored at tolerance 0. Returns whether anything changed; false, with
    // nothing changed, on cancellation.
    bool Weld3DPoints(double tolerance, bool absolute, unsigned int channelMask, unsigned int filterCount, ...);
    // Splits the faces of more than 3 points whose all-bits test of `mask` equals `value` into
    // triangles by ear clipping; the triangles of a face take its place in consecutive positions.
    // Channels of the types in `channelMask` follow; the others are dropped. Polymeshes and
    // patches only. Returns whether anything changed.
    bool Triangulate(unsigned int channelMask, _FACE_PROPERTIES mask, bool value);
    // A new polymesh (the caller's reference) made of the listed live faces, with the points they
    // use and the matching channel data; null when nothing is listed or there are no faces.
    C3DObject* SubObject(const int* faces, unsigned int count);
    // The same for the live faces with exactly `pointCount` points (mode SUBOBJECT_EQUAL) or more
    // (SUBOBJECT_MORE); null for another mode or when no face qualifies.
    C3DObject* SubObject(int pointCount, _SUBOBJECT_MODE mode);
    // One new polymesh per edge-connected part, appended to the emptied `parts`; nothing when the
    // object is one part. Returns the number of parts created.
    int ExplodeIntoIsolatedParts(CXArray<C3DGeomObject*>& parts);
    // Makes neighbouring faces traverse their shared edges in opposite directions, flipping the
    // channel faces with the geometric ones. False without faces.
    bool UnifyNormals();
    // Merges adjacent coplanar faces (see C3DFaceList::MergeCoplanarFaces; `angle` in radians).
    // The channels of the types in `channelMask` follow and replace the channel set; without
    // such channels, the channels of the other types are removed. Points are not touched (those
    // inside merged regions stay, unused). Returns whether the face count changed.
    bool MergeCoplanarFaces(double angle, unsigned int channelMask);
    // Separates faces that meet only at a point: wherever the live faces around a point form
    // several fans (groups connected through edges at that point, as where two parts touch at a
    // corner or an open border passes a point twice), every fan after the first gets its own copy
    // of the point (element and chunk data), and point-mapped channels copy the point's value.
    // Face-mapped channels are unchanged (their corners index their own points). Returns the
    // number of points added.
    int DisconnectBorderFaces();
    // Appends the live faces of `source` of material `material` (every live face for
    // 0xFFFFFFFF) with the points they use, transformed by `transform` (none when null; faces
    // are reversed when it mirrors), after this object's points and faces. Channels are matched
    // by type and identifier: a source channel missing here is added with dead faces (point-mapped:
    // zero values) for the faces (points) already here, and a channel here missing from the source
    // gets dead faces (zero values) for the appended ones. Derived channels are left out and
    // recomputed. Returns whether any face was appended.
    bool Concatenate(const C3DGeomObject& source, const C4x4TMatrix<float>* transform, unsigned int material);

protected:
    explicit C3DGeomObject(_OBJECT_KINDOF kind);
    // Kind `kind`, adopting the lists and channels as the public form does.
    C3DGeomObject(_OBJECT_KINDOF kind, C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels);
    // Geometric part of the copy (kind check, lists, channels), then the base part.
    bool InternalCopy(C3DBaseObject*& dst, int copyFlags, C3DObjectCreator* creator) override;
    // Drops both cached boxes (invalid, corners at the origin).
    void EmptyBoxes();
    // Releases the lists and the channel set (the pointers become null).
    void ReleaseGeometry();

    C3DTBBox<float> m_pointBox;  // cached box of every point (mask 0x2)
    C3DTBBox<float> m_faceBox;   // cached box of the points used by faces (mask 0x1)
    float m_smoothAngle;         // radians; -1 follows the scene
    _NormalSmoothMode m_smoothMode;
    _faceModeEnum m_faceMode;
    C3DFaceList* m_pFaceList;         // owned
    C3DPointList* m_pPointList;       // owned
    CDependentChannels* m_pChannels;  // owned
    unsigned int m_globalUVWChannel;  // 0xFFFFFFFF: none
    unsigned int m_globalVCChannel;   // 0xFFFFFFFF: none
    float m_globalVCParameter;
};

// The polymesh.
class KESTOVAR_API C3DObject : public C3DGeomObject {
    KX_DECLARE_SERIAL(C3DObject)
public:
    C3DObject();
    // Adopts the lists and channels as C3DGeomObject does; kind 1.
    C3DObject(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels);
    ~C3DObject() override;

    // Gives the object a new face list of `faces` empty faces (room for `pointsPerFace` points
    // each) and a new point list of `points` points at the origin. With `withTexture` and
    // `texturePoints` both non-zero, a texture channel of identifier `textureChannelID` with
    // `texturePoints` points and faces shaped like the geometric ones is added through
    // InitTextureChannelHook (nothing when no hook is installed). Ends with Invalidate(0x13,
    // true). The lists held before are not released: call Init on an object without lists, or
    // release them first. Returns true.
    bool Init(int points, int faces, int pointsPerFace, int withTexture, int texturePoints,
              unsigned int textureChannelID);

    // Creates, sizes and adds the texture channel for Init. Installed by the channel classes;
    // null until then. Returns whether the channel was added.
    typedef bool (*InitTextureChannelFunc)(C3DObject* object, int texturePoints, unsigned int textureChannelID);
    static InitTextureChannelFunc InitTextureChannelHook;
};

// The other kinds. Their content belongs to the scene code; here they carry their kind.
class KESTOVAR_API C3DCurve : public C3DGeomObject {
    KX_DECLARE_SERIAL(C3DCurve)
public:
    C3DCurve();
    ~C3DCurve() override;
};

class KESTOVAR_API C3DPatch : public C3DGeomObject {
    KX_DECLARE_SERIAL(C3DPatch)
public:
    C3DPatch();
    ~C3DPatch() override;
};

class KESTOVAR_API C3DGroup : public C3DBaseObject {
    KX_DECLARE_SERIAL(C3DGroup)
public:
    C3DGroup();
    ~C3DGroup() override;
};

class KESTOVAR_API C3DDummy : public C3DBaseObject {
    KX_DECLARE_SERIAL(C3DDummy)
public:
    C3DDummy();
    ~C3DDummy() override;
};

class KESTOVAR_API C3DCamera : public C3DBaseObject {
    KX_DECLARE_SERIAL(C3DCamera)
public:
    C3DCamera();
    ~C3DCamera() override;
};

class KESTOVAR_API C3DLight : public C3DBaseObject {
    KX_DECLARE_SERIAL(C3DLight)
public:
    C3DLight();
    ~C3DLight() override;
};

// Builds a polymesh from plain arrays; the caller owns the result (one reference).
// The sizes are in bytes: coordinateBytes / 12 points (x, y, z floats), triangleBytes / 12
// triangles and quadrangleBytes / 16 quadrangles (int indices); remainders are ignored. Faces are
// numbered triangles first, then quadrangles. Indices are stored as given, without any check:
// the caller guarantees that every index is below the point count. A null array is allowed when
// its size is 0.
KESTOVAR_API C3DObject* CreateObjectFromArrays(const float* coordinates, unsigned int coordinateBytes,
                                               const int* triangles, unsigned int triangleBytes,
                                               const int* quadrangles, unsigned int quadrangleBytes);

}  // namespace kestovar
