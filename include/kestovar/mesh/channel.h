// Attribute channels of a geometric object: the channel base CChannel and the per-object channel
// set CDependentChannels.
//
// A channel carries one kind of per-corner or per-point attribute (texture coordinates, vertex
// colours, weights, normals). A face-mapped channel owns its own point list (the attribute values)
// and a face list whose face i matches geometric face i corner for corner, holding indices into
// the channel's points; a point-mapped channel has one value per geometric point and no face list.
//
// What is here is the part of the channel model that the geometric object drives: identity,
// type, flags, the two lists, and the set-level walks (invalidate, transform, clean, copy, flip,
// trim, checksum). The concrete channel classes and their attribute-specific operations build on
// these declarations.
#pragma once

#include <atomic>

#include "kestovar/core/array.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

class CXArchive;
class CPointList;
class CFaceList;
class CGeomInfo;
class C3DEdge;
class CChannelCornerGraph;
class CUVWChannel;
class CVCChannel;
class CUVWPointList;
class CUVWFaceList;
class CVCPointList;
class CVCFaceList;
class CNormalFaceList;
class C3DVectorList;

// Channel types, one bit each so that they combine into type masks.
enum _Channel3DType : unsigned int {
    CHANNEL_NONE = 0,
    CHANNEL_UVW = 1,            // texture coordinates (u, v, w)
    CHANNEL_VC = 4,             // vertex colours
    CHANNEL_WEIGHT = 8,         // one float per corner or per point
    CHANNEL_POINT_NORMAL = 16,  // smoothed corner normals
    CHANNEL_FACE_NORMAL = 32,   // one normal per face, no face list
    CHANNEL_SPEC_NORMAL = 64,   // normals given with the model
    CHANNEL_ALL = 0xFFFF,       // type mask selecting every channel
};

// Channel flag word.
enum _CHANNEL_PROPERTIES : unsigned int {
    CHANNEL_INVALID = 0x1,       // no longer matches the geometry; dropped by the next clean-up
    CHANNEL_RECOMPUTABLE = 0x2,  // content computed from the geometry (normals)
    CHANNEL_OUT_OF_DATE = 0x4,   // recomputable and due for recomputation
    CHANNEL_DERIVED = 0x8,       // recomputed rather than edited with the geometry
    CHANNEL_SPEC_NORMALS = 0x10, // carried by the specified-normal channel
};

// Options of CChannel::Copy and CDependentChannels::CopyChannels.
enum _CHANNEL_COPY_FLAGS : unsigned int {
    CHANNEL_COPY_KEEP_ID = 0x1,        // the copy keeps the source's identifier
    CHANNEL_COPY_SKIP_INVALID = 0x2,   // invalid source channels are left out
    CHANNEL_COPY_APPEND = 0x4,         // the destination set is not emptied first
    CHANNEL_COPY_NO_CONTENT = 0x8,     // empty lists; recomputable copies are marked out of date
    CHANNEL_COPY_SKIP_DERIVED = 0x10,  // derived channels are left out
    CHANNEL_COPY_SHARE = 0x20,         // the same channel object is shared (one more reference)
};

// One corner of the corner graph: the channel point a face uses at a geometric point.
// `point` is kNoChannelPoint when the face has no live channel corner there.
struct CChannelCorner {
    unsigned int point;
    unsigned int face;
};
constexpr unsigned int kNoChannelPoint = 0xFFFFFFFFu;

// The first identifier handed out to a channel constructed without one.
constexpr unsigned int kFirstChannelID = 10000;
// Identifier argument asking for the next value of the library-wide channel counter.
constexpr unsigned int kNewChannelID = 0xFFFFFFFFu;

// Base of every channel. Reference counted: a channel set holds one reference on each of its
// channels; Delete releases one.
class KESTOVAR_API CChannel : public CXObject, public CInstanciatedObject {
    KX_DECLARE_DYNAMIC(CChannel)
public:
    ~CChannel() override;
    // The identifier, type and flag words, the point list and the face list (each by class, or a
    // null marker), then the custom data. Loading checks that the stored type and the lists'
    // classes are the ones this class holds (CXArchiveException badClass otherwise).
    void Serialize(CXArchive& ar) override;

    // Swaps or negates the coordinates of the channel's values (the code of C3DTPoint::Swap).
    // Nothing to do in the base: false.
    virtual bool SwapCoordinates(unsigned int code);
    // Transforms the channel's values with the geometry. Nothing to do in the base: false.
    virtual bool MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value);
    // Whether clean-up also drops repeated corner indices in the channel faces. False in the base.
    virtual bool CleanRemoveDuplicateIndex();
    // Follows a geometric clean-up: `faceRemap` and `pointRemap` (may be null) are the geometric
    // remaps (old index -> new index, REMAP_REMOVED for removed elements).
    // Face-mapped: channel faces already invalid become hidden (0x2) and stay in place; faces
    // whose face remap entry is REMAP_REMOVED get FACE_INVALID (only when the remap has one entry
    // per channel face; otherwise FACE_INVALID is cleared everywhere) and are removed; the
    // channel points no live channel face uses are removed and the faces renumbered.
    // Point-mapped: points whose point remap entry is REMAP_REMOVED (same size rule) get
    // POINT_REMOVED and the marked points are removed.
    // The channel becomes invalid (and the call returns true) when its face count (face-mapped)
    // or point count (point-mapped) no longer equals the geometry's, when it has no points left,
    // or when a live channel face uses a point beyond the channel's points. Otherwise a change
    // marks a recomputable channel out of date; returns whether anything changed.
    virtual bool Clean(const CGeomInfo* geom, CXArray<unsigned int>* faceRemap, CXArray<unsigned int>* pointRemap);
    // Merges the channel points that Compare finds equal within `tolerance` (taken as 0 outside
    // [0, 1]) and that are used at the same geometric point; points with flag 0x2 or 0x4 are left
    // alone. Invalid and derived channels are not welded. Returns whether anything merged.
    virtual bool Weld(const CGeomInfo* geom, double tolerance);
    // Whether two channel values are equal within `tolerance`. The base never finds them equal.
    virtual bool Compare(const CPt* a, const CPt* b, double tolerance);
    // Whether the library can compute the channel's content from the geometry. False in the base.
    virtual bool CanBeRecomputed();

    // A new channel of class `type` (a weight channel made this way is point-mapped); null for
    // any other value. `id` kNewChannelID takes the next value of the identifier counter. The
    // normal channel types are built through CreateNormalChannelHook (null while not installed).
    static CChannel* Create(_Channel3DType type, unsigned int id = kNewChannelID);
    typedef CChannel* (*CreateNormalChannelFunc)(unsigned int type, unsigned int id);
    static CreateNormalChannelFunc CreateNormalChannelHook;
    // Marks the normal breaks of a specified-normal channel (bit 0x4000 on the geometric points;
    // `angle` in radians). Installed by the normal channel classes; null until then.
    typedef bool (*InitNormalBreakFunc)(CChannel* channel, const CGeomInfo* geom, double angle);
    static InitNormalBreakFunc InitNormalBreakHook;

    // The localisable name of a channel type ("UV", "VC", "Weight", "Points", "Faces",
    // "Normals"); empty for any other value.
    static CXTString<wchar_t> GetTypeString(_Channel3DType type);
    CXTString<wchar_t> GetTypeString() const { return GetTypeString(m_type); }

    unsigned int GetID() const { return m_id; }
    _Channel3DType GetType() const { return m_type; }
    unsigned int GetFlags() const { return m_flags; }
    void SetFlag(unsigned int flags, bool set) { m_flags = set ? (m_flags | flags) : (m_flags & ~flags); }
    // True when every bit of `flags` is set.
    bool IsFlagSet(unsigned int flags) const { return (m_flags & flags) == flags; }
    // True when at least one bit of `flags` is set.
    bool IsOneFlagSet(unsigned int flags) const { return (m_flags & flags) != 0; }

    CPointList* GetPointList() const { return m_pPointList; }
    CFaceList* GetFaceList() const { return m_pFaceList; }
    // Each does nothing when `list` is the one held; otherwise releases the old list when
    // `deleteOld` is set and stores `list` (the channel takes over the caller's reference).
    // `type` is the channel type the list is meant for; the base stores the list whatever it is.
    void SetPointList(_Channel3DType type, CPointList* list, bool deleteOld);
    void SetFaceList(_Channel3DType type, CFaceList* list, bool deleteOld);

    CCustomData& GetCustomData() { return m_customData; }
    const CCustomData& GetCustomData() const { return m_customData; }

    // A new channel of the same class (Duplicate) with a copy of the custom data holding, unless
    // copy flag 0x8, copies of this channel's lists. See _CHANNEL_COPY_FLAGS; an invalid source
    // copies as if 0x8 were given.
    CChannel* Copy(unsigned int copyFlags) const;
    // Takes the flag word and the custom data of `other` (not its identifier or lists).
    void Inherit(const CChannel& other);
    // Trims the slack of both lists.
    void FreeExtra();

    // ---- corner graph ----
    // Builds the graph from the source geometry of `geom`: for every geometric point, one entry
    // per corner of a live geometric face at that point, in face order, holding the channel point
    // at that corner (kNoChannelPoint when the channel face is not live, is shorter, or names a
    // point beyond the channel's points). False (no graph) without geometry or a face list.
    bool InitGraph(const CGeomInfo* geom);
    void DeleteGraph();
    bool HasGraph() const { return m_pGraph != nullptr; }
    // The corners at geometric point p (null and 0 without a graph or for p out of range).
    const CChannelCorner* GetChannelPointsConnectedToPoint(unsigned int p, int& count) const;
    // From the graph: the channel point used by channel face `face` at the corner where
    // geometric face `face` has geometric point `point`; -1 without a graph, when the point is
    // not in the face, or when the channel face has no live corner there.
    int GetChannelPointIndex(int face, int point) const;

    // The next value of the library-wide identifier counter (starts at kFirstChannelID).
    static unsigned int NewChannelID();

protected:
    // `id` kNewChannelID takes the next value of the library-wide counter.
    CChannel(_Channel3DType type, unsigned int id, unsigned int flags = 0);
    // A new empty channel of the same class (identifier from the counter). `withLists` asks for
    // the class's empty point and face lists.
    virtual CChannel* Duplicate(bool withLists) const = 0;
    // Whether lists loaded from an archive are of the classes this channel works on. The base
    // accepts any list.
    virtual bool AcceptLists(const CPointList* points, const CFaceList* faces) const;

    unsigned int m_id;
    _Channel3DType m_type;
    unsigned int m_flags;
    CPointList* m_pPointList;  // owned (one reference)
    CFaceList* m_pFaceList;    // owned (one reference), null for point-mapped channels
    CCustomData m_customData;
    CChannelCornerGraph* m_pGraph;  // owned, built on demand

private:
    CChannel(const CChannel&) = delete;
    CChannel& operator=(const CChannel&) = delete;
};

// (type, identifier) of a channel: the key of the identifier renumbering maps when channels of
// several objects are merged into scene-wide identifiers.
class CChannelInfo {
public:
    CChannelInfo() : m_type(CHANNEL_NONE), m_id(0) {}
    CChannelInfo(_Channel3DType type, unsigned int id) : m_type(type), m_id(id) {}
    explicit CChannelInfo(const CChannel* channel)
        : m_type(channel ? channel->GetType() : CHANNEL_NONE), m_id(channel ? channel->GetID() : 0) {}
    _Channel3DType GetType() const { return m_type; }
    unsigned int GetID() const { return m_id; }
    bool operator==(const CChannelInfo& o) const { return m_type == o.m_type && m_id == o.m_id; }
    bool operator!=(const CChannelInfo& o) const { return !(*this == o); }

private:
    _Channel3DType m_type;
    unsigned int m_id;
};

template <>
struct CHashMethods<CChannelInfo> {
    static unsigned Hash(const CChannelInfo& k) { return HashMix64((uint64_t(k.GetType()) << 32) | k.GetID()); }
    static bool Equal(const CChannelInfo& a, const CChannelInfo& b) { return a == b; }
};

// The channel set of one geometric object: an array of channel pointers holding one reference on
// each channel.
class KESTOVAR_API CDependentChannels : public CXObject,
                                        public CXArray<CChannel*, CChannel*>,
                                        public CInstanciatedObject {
    KX_DECLARE_SERIAL(CDependentChannels)
public:
    CDependentChannels();
    // A set sharing the channels of `other` (one more reference on each).
    CDependentChannels(const CDependentChannels& other);
    ~CDependentChannels() override;
    // Shares the channels of `other` (one more reference on each) after releasing ours.
    CDependentChannels& operator=(const CDependentChannels& other);

    // A new empty set (one reference, the caller's).
    static CDependentChannels* Create();

    // Channel count.
    int GetSize() const { return CXArray<CChannel*, CChannel*>::GetSize(); }
    // The channel at `index`; an index outside [0, GetSize()) raises CXInvalidArgException.
    CChannel* GetChannel(int index) const;
    // Appends `channel` (taking over the caller's reference, which is released should the append
    // fail) and returns its index; -1 for null.
    int AddChannel(CChannel* channel);
    int Add(CChannel* channel) { return AddChannel(channel); }
    // Releases `channel` and removes it from the set. False when it is not in the set.
    bool RemoveChannel(CChannel* channel);
    // Releases every channel and empties the set.
    void RemoveAll();

    // With typeMask 0: the channel at position `index` (null beyond the end). Otherwise the
    // index-th channel (from 0) whose type is in `typeMask`, skipping invalid ones when asked.
    CChannel* GetChannelByIndex(int index, unsigned int typeMask, bool skipInvalid) const;
    // The first channel with identifier `id` whose type is in `typeMask`, or null.
    CChannel* GetChannelByID(unsigned int id, unsigned int typeMask) const;
    // Number of channels whose type is in `typeMask`, skipping invalid ones when asked.
    int GetChannelsNumber(unsigned int typeMask, bool skipInvalid) const;
    // GetChannelByIndex(index, type, false) that also returns the channel's lists (null when
    // there is no such channel).
    CChannel* GetChannelByIndex(int index, CFaceList*& faces, CPointList*& points, _Channel3DType type) const;
    // GetChannelByID that also returns the channel's lists.
    CChannel* GetChannelByID(unsigned int id, CFaceList*& faces, CPointList*& points, _Channel3DType type) const;
    // Position of the first channel with identifier `id` whose type is in `typeMask` (skipping
    // invalid ones when asked), or -1.
    int GetChannelIndex(unsigned int id, unsigned int typeMask, bool skipInvalid) const;
    // Type of the channel at position `index` (CXInvalidArgException outside the set).
    _Channel3DType GetChannelType(int index) const;
    // Fills `indices` with the positions of the channels whose type is in `typeMask` (skipping
    // invalid ones when asked); returns their number.
    int GetChannels(unsigned int typeMask, CXArray<unsigned int>& indices, bool skipInvalid) const;

    // ---- typed lookups (null when absent; the list outputs are null too) ----
    CUVWChannel* GetUVWChannelByID(unsigned int id) const;
    CUVWChannel* GetUVWChannelByID(unsigned int id, CUVWFaceList*& faces, CUVWPointList*& points) const;
    // The index-th texture channel (invalid ones skipped when asked).
    CUVWChannel* GetUVWChannelByIndex(int index, bool skipInvalid = false) const;
    CUVWChannel* GetUVWChannelByIndex(int index, CUVWFaceList*& faces, CUVWPointList*& points,
                                      bool skipInvalid = false) const;
    CVCChannel* GetVCChannelByID(unsigned int id) const;
    CVCChannel* GetVCChannelByID(unsigned int id, CVCFaceList*& faces, CVCPointList*& points) const;
    CVCChannel* GetVCChannelByIndex(int index, bool skipInvalid = false) const;
    CVCChannel* GetVCChannelByIndex(int index, CVCFaceList*& faces, CVCPointList*& points,
                                    bool skipInvalid = false) const;
    // The first normal channel of each kind (the normal channel classes give the typed view).
    CChannel* GetPointNormalChannel() const;
    CChannel* GetPointNormalChannel(CNormalFaceList*& faces, C3DVectorList*& vectors) const;
    CChannel* GetFaceNormalChannel() const;
    CChannel* GetFaceNormalChannel(C3DVectorList*& vectors) const;
    CChannel* GetSpecNormalChannel() const;
    CChannel* GetSpecNormalChannel(CNormalFaceList*& faces, C3DVectorList*& vectors) const;

    // ---- removal (each releases the channel's reference) ----
    // Removes the first channel with identifier `id` whose type is in `typeMask`.
    bool RemoveChannelByID(unsigned int id, unsigned int typeMask);
    // Removes the channel GetChannelByIndex(index, typeMask, false) finds.
    bool RemoveChannelByIndex(int index, unsigned int typeMask);
    // Removes every channel whose type is in `typeMask` and whose any-bit test of `flags` gives
    // `value`. Returns the number removed.
    int RemoveChannelsByFlag(unsigned int flags, unsigned int typeMask, bool value);
    // Removes every channel whose type is in `typeMask`. Returns the number removed.
    int RemoveChannelsByType(unsigned int typeMask);

    // ---- bulk operations ----
    // Applies the swap code to every channel whose type is in `typeMask`.
    bool SwapCoordinates(unsigned int code, unsigned int typeMask);
    // Welds every channel whose type is in `typeMask`; true when any changed.
    bool Weld(const CGeomInfo* geom, double tolerance, unsigned int typeMask);
    // Sets or clears channel flags on every channel whose type is in `typeMask`.
    void SetFlag(unsigned int typeMask, unsigned int flags, bool set);
    // Clears 0x7000 on every geometric point, then marks texture seams (tolerance `uvTolerance`),
    // colour frontiers (`colourTolerance`, 0 to 255) and normal breaks (`normalAngle`, radians)
    // for every valid channel of those types in `typeMask`. True when a channel was processed.
    bool InitBreakFlags(const CGeomInfo* geom, unsigned int typeMask, float uvTolerance, int colourTolerance,
                        float normalAngle);

    // Marks out of date every recomputable channel whose type is in `typeMask`. Returns whether
    // any channel was marked.
    bool InvalidateChannels(unsigned int typeMask);
    // Transforms every channel whose type is in `typeMask`. Returns whether any changed.
    bool MatrixTransform(const C4x4TMatrix<float>& m, unsigned int typeMask, _POINT_PROPERTIES mask, bool value);
    // Runs CChannel::Clean on every channel whose type is in `typeMask`, from the last to the
    // first; a channel that reports a change and is then invalid is released and removed.
    // Returns the number of channels that reported a change.
    int CleanChannels(const CGeomInfo* geom, CXArray<unsigned int>* faceRemap, CXArray<unsigned int>* pointRemap,
                      unsigned int typeMask = 0xFFFFFFFFu);
    // Copies the channels of `source` whose type is in `typeMask` (see _CHANNEL_COPY_FLAGS).
    // `indices` (may be null) receives the source position of every channel added. Returns the
    // number added.
    int CopyChannels(const CDependentChannels& source, unsigned int typeMask, unsigned int copyFlags,
                     CXArray<unsigned int>* indices);
    // Flips the faces of every channel that is neither invalid nor derived, with the face-list
    // rule (mask and value as in CFaceList::FlipNormals). Returns whether any channel flipped.
    bool FlipNormals(unsigned int mask, bool value);
    // Reverses face `face` of every channel that is neither invalid nor derived and whose face is
    // live: keeps the channels' corners matched when the geometry flips a single face. Returns
    // whether any channel face flipped.
    bool FlipFace(unsigned int face);
    // Trims the slack of every channel.
    void FreeExtra();
    // Sum (32-bit wrap) of the face-list and point-list checksums of every channel that is
    // neither invalid nor derived, each with `mask`.
    unsigned int GetChecksum(unsigned int mask) const;

    // Writes the channel count, then each channel's class and content; loading replaces the set
    // with fresh channels.
    void Serialize(CXArchive& ar) override;

private:
    typedef CXArray<CChannel*, CChannel*> Base;
};

}  // namespace kestovar
