// Face lists: CFaceList (point indices, flags and data chunks of every face) and C3DFaceList
// (plus a material per face, back-face materials and the material caches).
//
// Storage. The point indices of all faces live in one record collection (CFaceCollection): per
// face a u16 count, a u16 capacity and `capacity` 32-bit indices, reached through an offset
// table. Everything else kept per face is a data chunk of the same length as the face count; the
// main chunk FCPR holds the flag word (CFaceList) or the flag word and the material
// (C3DFaceList). A triangle of a C3DFaceList costs 16 bytes of record, 4 of offset and 8 of main
// data.
//
// Change tracking. Every size change (and every reorder, copy and load) sets FACELIST_CHANGED and
// increments the change stamp; SetFlag(FACELIST_CHANGED, true) does the same for callers that
// wrote faces through views. Only the caller clears FACELIST_CHANGED. The stamp never decreases.
//
// Graphs and caches (point-to-face graph, edge-to-face graph, material map, face grid map) are
// built on demand, are not maintained by plain face writes, and are deleted when the list is
// emptied, copied over or loaded.
#pragma once

#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kestovar/core/array.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/data_chunk.h"
#include "kestovar/core/element_array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/object.h"
#include "kestovar/mesh/bbox.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_graph.h"

namespace kestovar {

class CXArchive;
class CGeomInfo;
class C3DPointList;
class C3DFaceGridMap;
class CFaceGraphHelper;
class CFBMaterialHashMap;
class CFaceTagger;
class CBitArray;
class CTriangulateFaceHelper;
// Kind of neighbourhood of the graph queries (defined with the face graph helper).
enum _ConnectionInfoType : int;

// Data chunk identifiers of face lists.
constexpr uint32_t FACE_CHUNK_MAIN = 0x46435052;            // FCPR: flags (and material)
constexpr uint32_t FACE_CHUNK_ORIGINAL_INDEX = 0x46414F49;  // FAOI: original face index
constexpr uint32_t FACE_CHUNK_BACK_MATERIAL = 0x424B4D54;   // BKMT: back-face material
constexpr uint32_t FACE_CHUNK_GRID_CACHE = 0x46474348;      // FGCH: per-face cache of the face grid

// List flag word.
enum _FACELIST_PROPERTIES : unsigned int {
    FACELIST_PERSISTENT = 0x100000,  // the one list flag written by Serialize
    FACELIST_CHANGED = 0x400000,     // size or content changed; setting it increments the stamp
};

// Buffer policy of the face-list sizing calls.
enum SetSizeMode : int {
    // Compact the records afterwards when the buffer exceeds the packed size plus a slack of
    // max(packed / 4, typical length * 4 + 4) bytes; the buffer is then packed size + slack.
    SETSIZE_COMPACT_SLACK = 0,
    // Compact the records afterwards to exactly the packed size.
    SETSIZE_COMPACT_EXACT = 1,
    // Keep the buffer: shrinking leaves the dropped records in place (no compaction), and the
    // chunks keep their memory.
    SETSIZE_KEEP_MEMORY = 2,
};

// The graph types (CPointToFaceGraph, CEdgeToFaceGraph) come from kestovar/mesh/face_graph.h.

class KESTOVAR_API CFaceList : public CXObject, public CInstanciatedObject {
    KX_DECLARE_SERIAL(CFaceList)
public:
    using CXAllocated::operator new;
    using CXAllocated::operator delete;

    // An empty list with its main chunk (flag words).
    CFaceList();
    ~CFaceList() override;
    CFaceList(const CFaceList&) = delete;
    // Copies the records, the data chunks (layout and content) and the list flag word; the graphs
    // and caches of this list are deleted. Sets FACELIST_CHANGED (stamp + 1).
    CFaceList& operator=(const CFaceList& other);

    static CFaceList* Create() { return new CFaceList; }
    // `object` as a face list when it is one (created from a stored class), else null.
    static CFaceList* FromObject(CXObject* object);

    // Count (32 bits), flag word & FACELIST_PERSISTENT (32 bits), the records, the data chunks.
    // Loading replaces everything, sets the flag word to exactly the stored value and checks that
    // the records and chunks agree with the count (CXArchiveException badIndex otherwise).
    void Serialize(CXArchive& ar) override;

    // ---- size ----
    int GetSize() const { return m_nFaces; }
    int GetNumberOfFaces() const { return m_nFaces; }
    // Faces counted by an any-bit test: faces for which ((flags & mask) != 0) == value.
    int GetNumberOfFaces(unsigned int mask, bool value) const;
    // Faces counted by an all-bits test: faces for which ((flags & mask) == mask) == value.
    int GetNumberOfFaces(_FACE_PROPERTIES mask, bool value) const;

    // Resizes to `count` faces. New faces have no points, room for the typical record length and
    // flags 0 (plus their chunks' new elements). `grow` (other than -1) becomes the chunks' grow
    // setting. Returns false for a negative count (nothing changed).
    bool SetSize(int count, SetSizeMode mode = SETSIZE_COMPACT_SLACK, int grow = -1);
    // As above; a non-zero `pointsPerFace` first becomes the typical record length.
    bool SetSize(int count, int pointsPerFace, SetSizeMode mode, int grow = -1);
    // Resizes to `count` faces, face i getting pointCounts[i] points (all 0), laid out in index
    // order. `mode` and `grow` as above.
    bool SetSize(int count, const unsigned int* pointCounts, int mode = SETSIZE_COMPACT_SLACK, int grow = -1);
    // Makes the records a copy of `other`'s (indices included, packed in index order) and sizes
    // the chunks to its count; chunk contents are not copied (new faces get new elements).
    bool SetSize(const CFaceList& other, int mode = SETSIZE_COMPACT_SLACK);
    // SetSize(count), then ORs `flags` into every face added.
    bool SetSizeAndFlags(int count, unsigned int flags);
    // SetSize(other), then ORs `flags` into every face.
    bool SetSizeAndFlags(const CFaceList& other, unsigned int flags);
    // Adds `count` faces; returns the index of the first one.
    int ExpandSize(int count = 1);
    // Adds `count` faces with `flags`; returns the index of the first one.
    int ExpandSizeAndFlags(int count, unsigned int flags);
    // Gives every face `pointCount` points (existing indices kept, new ones 0).
    void SetFacesSize(unsigned int pointCount);
    // Empties the list and reserves room for `faces` faces holding `indices` point indices in all.
    // `constructAll` makes the chunks construct their whole reserve.
    void PreAllocate(int faces, int indices, bool constructAll = false);
    // Deletes every face (the chunks stay, empty) and the graphs and caches.
    virtual void RemoveAll();
    // Packs the records in index order with capacity = count (used = allocated = sum of
    // 4 + 4 * count) and trims the chunks and the offset table.
    virtual void FreeExtra();
    unsigned int GetTypicalLength() const { return m_faces.GetTypicalLength(); }

    // ---- faces ----
    // Fills `face` as a view of face i; false (view untouched) when i is not below the count.
    bool GetFace(unsigned int i, CFace& face) {
        CFaceCollection::Element* e = m_faces.GetElement(i);
        if (!e) return false;
        face.m_pRecords = &m_faces;
        face.m_nFace = i;
        face.m_nCount = e->m_nCount;
        face.m_pIndexes = e->GetData();
        face.m_pList = this;
        face.m_pMainData = MainSlot(i);
        return true;
    }
    // Point indices of face i and their count; null and 0 when i is not below the count.
    int* GetIndexes(unsigned int i, int& count) {
        CFaceCollection::Element* e = m_faces.GetElement(i);
        count = e ? int(e->m_nCount) : 0;
        return e ? e->GetData() : nullptr;
    }
    const int* GetIndexes(unsigned int i, int& count) const {
        const CFaceCollection::Element* e = m_faces.GetElement(i);
        count = e ? int(e->m_nCount) : 0;
        return e ? e->GetData() : nullptr;
    }
    // Point count of face i (0 out of range).
    unsigned int GetFaceSize(unsigned int i) const { return m_faces.GetRecordSize(i); }
    // Copies the chunk data of the face `src` views (in its own list) onto face dst, and, unless
    // `chunksOnly`, its indices. False when dst is out of range or `src` is not a filled view.
    bool CopyFace(unsigned int dst, const CFace& src, bool chunksOnly = false);
    // The same with face src of this list.
    bool CopyFace(unsigned int dst, unsigned int src, bool chunksOnly = false);
    // The same with face src of `other`.
    bool CopyFace(unsigned int dst, unsigned int src, const CFaceList& other, bool chunksOnly = false);
    // Copies face i with all its chunk data into `face` (reshaping its chunks when they differ);
    // an index not below the count empties `face`.
    void CopyTo(unsigned int i, CSingleFace& face) const;
    // Copies `face` (indices and the chunk data of the chunks both hold) onto face i; false when
    // i is out of range or `face` is empty.
    bool CopyFrom(unsigned int i, const CSingleFace& face);
    // A new view object of the list's kind (CFace here, C3DFace for a C3DFaceList), not filled;
    // give it back with ReleaseFace.
    virtual CFace* CreateFace() const;
    void ReleaseFace(CFace* face) const;

    // ---- main data and flags ----
    // Main data of face i (the flag word first), null out of range.
    void* GetMainData(unsigned int i) const { return i < unsigned(m_nFaces) ? MainSlot(i) : nullptr; }
    // The flag word of face i, 0 out of range.
    unsigned int GetFaceFlags(unsigned int i) const {
        return i < unsigned(m_nFaces) ? *static_cast<const unsigned int*>(MainSlot(i)) : 0u;
    }
    bool IsFaceLive(unsigned int i) const { return i < unsigned(m_nFaces) && IsLiveFaceFlags(GetFaceFlags(i)); }
    // Flag writes on face i; false when i is out of range.
    bool SetFaceFlag(unsigned int i, _FACE_PROPERTIES flag, bool set) { return SetFaceFlags(i, unsigned(flag), set); }
    bool SetFaceFlags(unsigned int i, unsigned int flags, bool set);
    // Replaces the whole flag word of face i.
    bool SetFaceFlags(unsigned int i, unsigned int flags);
    // Sets or clears `flags` on every face.
    void SetFacesFlags(unsigned int flags, bool set);
    // Sets or clears `flags` on every face whose (flags & mask) == test; returns how many.
    int SetFacesFlags(unsigned int mask, unsigned int test, unsigned int flags, bool set);
    // All bits of `flags` set on face i (false out of range).
    bool IsFaceFlagSet(unsigned int i, unsigned int flags) const {
        return i < unsigned(m_nFaces) && (GetFaceFlags(i) & flags) == flags;
    }
    // Any bit of `flags` set on face i.
    bool IsFaceOneFlagSet(unsigned int i, unsigned int flags) const { return (GetFaceFlags(i) & flags) != 0; }
    // (flags & mask) == value on face i (false out of range).
    bool IsFaceFlagsSet(unsigned int i, unsigned int mask, unsigned int value) const {
        return i < unsigned(m_nFaces) && (GetFaceFlags(i) & mask) == value;
    }
    // For every face i present in both lists: when `from`'s face i has all bits of `test`, sets
    // (or clears) `flags` on face i. Returns the number of faces changed.
    int InheritFlags(const CFaceList& from, _FACE_PROPERTIES test, _FACE_PROPERTIES flags, bool set);

    // The first live face with a corner outside [0, pointCount), or -1 when none has one. With
    // `used` (pointCount entries, zeroed by the caller), every face is walked and the points the
    // live faces use are marked 1 there.
    int FindFaceOutside(int pointCount, uint8_t* used = nullptr) const;
    // True when every face without FACE_INVALID whose all-bits test on `mask` gives `value` has
    // at most 3 points (mask 0 with value true: every valid face).
    bool IsTriangular(_FACE_PROPERTIES mask = _FACE_PROPERTIES(0), bool value = true) const;
    // Reverses the index order of every live face, or with a non-zero mask of the live faces
    // whose all-bits test gives `value`. Returns the number of faces flipped.
    int FlipNormals(_FACE_PROPERTIES mask = _FACE_PROPERTIES(0), bool value = true);

    // ---- order ----
    // Permutes the faces (records and chunk data). Without `inverse`, order[i] is the old index of
    // the face that becomes face i; with `inverse`, order[i] is the new index of face i. False
    // (nothing changed) when count differs from the face count or order is not a permutation.
    bool ReorderFaces(const unsigned int* order, unsigned int count, bool inverse);
    // Renumbers point indices by an old -> new table: an index v below `count` whose remap[v] is
    // neither v nor REMAP_REMOVED becomes remap[v]. With `liveOnly`, faces that are not live are
    // left alone. Returns true when any index changed (and then sets FACELIST_CHANGED). Both forms
    // are implemented with the other list operations (face_list.cpp).
    bool UpdateIndex(const unsigned int* remap, unsigned int count, bool liveOnly = true);
    bool UpdateIndex(const CXArray<unsigned int>* remap, bool liveOnly = true);
    // Writes every face's current index into the FAOI chunk (created when absent).
    void SaveFacesIndex();
    // The FAOI value of face i; REMAP_REMOVED when the chunk is absent or i is out of range.
    unsigned int GetOriginalIndex(unsigned int i) const;

    // ---- data chunks ----
    // Registers chunk `id` with options 0x103 for FCPR (main, fresh array, copied) and 0x101 for
    // any other identifier (fresh array, copied). Returns the number of chunks.
    int AddDataChunk(uint32_t id, CElementMethods* methods);
    void* GetData(uint32_t id, unsigned int i) const { return m_dataChunks.GetData(id, int(i)); }
    CElementArray* GetData(uint32_t id) const { return m_dataChunks.GetData(id); }
    bool HasDataChunk(uint32_t id) const { return m_dataChunks.HasDataChunk(id); }
    // Deletes chunk `id`; the main chunk cannot be removed (false).
    bool RemoveDataChunk(uint32_t id);
    const CDataChunk& GetDataChunks() const { return m_dataChunks; }
    CDataChunk& GetDataChunks() { return m_dataChunks; }
    CElementArray* GetMainArray() const { return m_pMainData; }
    // Makes this list's chunk layout (identifiers, tables, options; not contents) and typical
    // record length those of `other`, and takes its persistent list flag.
    void InheritSettings(const CFaceList& other);

    // ---- change tracking ----
    unsigned int GetChangedStamp() const { return m_nChangedStamp; }
    unsigned int GetFlags() const { return m_nFlags; }
    // Sets or clears list flags; setting FACELIST_CHANGED also increments the stamp.
    void SetFlag(_FACELIST_PROPERTIES flag, bool set);
    bool IsFlagSet(unsigned int flags) const { return (m_nFlags & flags) == flags; }
    // 0 unless mask has 0x4 or 0x8. 0x4: for every live face and every index v in it,
    // h = w(v + h) (w = Wang's 32-bit hash). 0x8: for every chunk, its element checksum c mixed
    // with its identifier as the 64-bit key (id << 32) | c; the low 32 bits are added.
    virtual uint32_t GetChecksum(unsigned int mask) const;

    // Direct access to the records, for code that walks all faces.
    const CFaceCollection& GetRecords() const { return m_faces; }
    CFaceCollection& GetRecords() { return m_faces; }

    // ---- adjacency (face_graph.cpp) ----
    // The graphs are owned by the list; RemoveAll, operator=, Serialize and the destructor delete
    // them directly (face_list.cpp), so their types are fixed here.
    // Build the graph when absent (the CGeomInfo gives the point count); true when a graph exists
    // afterwards.
    bool InitPointToFaceGraph(const CGeomInfo* geom);
    bool InitEdgeToFaceGraph(const CGeomInfo* geom);
    // Rebuild the graph.
    bool UpdatePointToFaceGraph(const CGeomInfo* geom);
    bool UpdateEdgeToFaceGraph(const CGeomInfo* geom);
    void DeletePointToFaceGraph();
    void DeleteEdgeToFaceGraph();
    bool HasPointToFaceGraph() const { return m_pPointToFaceGraph != nullptr; }
    bool HasEdgeToFaceGraph() const { return m_pEdgeToFaceGraph != nullptr; }
    CPointToFaceGraph* GetPointToFaceGraph() const { return m_pPointToFaceGraph; }
    CEdgeToFaceGraph* GetEdgeToFaceGraph() const { return m_pEdgeToFaceGraph; }
    // Live faces using point p / containing edge e (null, count 0 without the graph).
    const int* GetFacesConnectedToPoint(unsigned int p, int& count) const;
    const int* GetFacesConnectedToEdge(const C3DEdge& edge, int& count) const;
    // Faces around p1 or p2; with `exclusive` only those that contain exactly one of the two.
    // The result is the helper's array.
    int* GetFacesConnectedToPoints(CFaceGraphHelper& helper, unsigned int p1, unsigned int p2, int& count,
                                   bool exclusive = true) const;
    // Faces sharing an edge (type 2) or a point (other types) with face f, f excluded.
    int* GetFacesNeighbourg(CFaceGraphHelper& helper, unsigned int f, int& count, _ConnectionInfoType type) const;
    // Points around p by the kind of connection `type`.
    int* GetPointsNeighbourg(CFaceGraphHelper& helper, unsigned int p, int& count, _ConnectionInfoType type) const;
    // Points around any of `points` (the given points excluded).
    int* GetPointsConnectedToPoints(CFaceGraphHelper& helper, const int* points, int pointCount, int& count,
                                    _ConnectionInfoType type) const;
    // Points of the faces containing `edge`, the edge's ends excluded.
    int* GetPointsConnectedToEdge(CFaceGraphHelper& helper, const C3DEdge& edge, int& count) const;
    bool IsPointNeighbourg(unsigned int p, unsigned int q, _ConnectionInfoType type) const;
    // True when no other live face shares an edge with face f.
    bool IsIsolatedFace(unsigned int f) const;
    // True when faces f1 and f2 share an edge.
    bool AreFacesConnected(unsigned int f1, unsigned int f2) const;
    bool DoesEdgeExists(const C3DEdge& edge) const;
    // Edges of the region formed by `faces` that belong to exactly one of them, appended to
    // `edges` in face order; returns their number.
    int GetEdgesOnBorder(const int* faces, int faceCount, CXArray<C3DEdge>& edges) const;
    // The faces across the edges of face f (one entry per edge, -1 where no face or more than one
    // lies across); returns the number of edges.
    int GetFacesByOppositeEdges(unsigned int f, CXArray<int>& faces) const;
    // Incremental edits of the point-to-face graph.
    bool GraphConnectFace(unsigned int p, unsigned int f);
    bool GraphDisconnectFace(unsigned int p, unsigned int f);
    int GraphMergePointConnectivity(unsigned int p1, unsigned int p2);
    int GraphRemoveFaceReference(CGeomInfo* geom, unsigned int f, bool markPoints);

    // ---- flood fill (face_tagger.cpp) ----
    // Groups the live faces by breadth-first growth across shared edges (`byEdge`) or shared
    // points, asking `tagger` which neighbours join and handing it each finished group (see
    // kestovar/mesh/face_tagger.h). The graph used is rebuilt first. Returns the number of groups;
    // 0 without a view or when the tagger's InitProcess refuses.
    unsigned int TagFaces(CGeomInfo* geom, CFaceTagger& tagger, bool byEdge);

    // ---- clean-up (face_cleanup.cpp) ----
    // Degenerate index clean-up of the live faces (and their channel faces).
    bool CleanPointsIndex(const CGeomInfo* geom);
    // Faces, points and channels together: CleanPointsIndex, then CleanInvalid.
    bool Clean(const CGeomInfo* geom);
    // Removes the faces with FACE_INVALID and the points no face uses any more (points marked
    // removed too), with their channel entries; the live faces stay as they are.
    bool CleanInvalid(const CGeomInfo* geom);
    // Removes the faces with FACE_INVALID (after index clean-up when asked), filling the face
    // remap (old -> new, REMAP_REMOVED for removed faces; emptied when nothing is removed).
    bool Clean(const CGeomInfo* geom, bool cleanIndexes, CXArray<unsigned int>* remap);

protected:
    // An empty list whose main chunk has the table `mainMethods` (a reference is taken).
    explicit CFaceList(CElementMethods* mainMethods);
    // Table of the main chunk of this kind of list.
    virtual CElementMethods* GetMainMethods() const;
    void* MainSlot(unsigned int i) const {
        return static_cast<uint8_t*>(m_pMainData->GetData()) +
               size_t(i) * size_t(m_pMainData->GetSizeOfElement());
    }
    // Size change bookkeeping: FACELIST_CHANGED and the stamp.
    void MarkChanged() {
        m_nFlags |= FACELIST_CHANGED;
        ++m_nChangedStamp;
    }
    // Deletes the graphs and the caches (virtual: the 3D list adds its own).
    virtual void DeleteCaches();
    // Resizes the records and chunks to `count` with the rules of `mode`; count >= 0.
    void Resize(unsigned int count, int mode, int grow, unsigned int orFlags, bool flagNewOnly);
    // Makes sure the main chunk exists with this list's table (after loading or assignment).
    void EnsureMainChunk();

    int m_nFaces;
    CFaceCollection m_faces;
    CDataChunk m_dataChunks;
    CElementArray* m_pMainData;
    CPointToFaceGraph* m_pPointToFaceGraph;
    CEdgeToFaceGraph* m_pEdgeToFaceGraph;
    unsigned int m_nChangedStamp;
    unsigned int m_nFlags;
};

// The flag words of a list's faces read in place, for passes over many faces: the main data's
// address and stride are read once, where each GetFaceFlags call reads them again (the compiler
// cannot keep them across the pass's own writes). Only for faces below the count, and only while
// the list's size and main data stay as they were when the view was made.
class CFaceFlagsView {
public:
    explicit CFaceFlagsView(const CFaceList& faces)
        : m_pData(faces.GetSize() ? static_cast<const unsigned char*>(faces.GetMainData(0)) : nullptr),
          m_nStride(faces.GetSize() ? size_t(faces.GetMainArray()->GetSizeOfElement()) : 0) {}
    // The flag word of face f.
    unsigned operator()(unsigned f) const {
        unsigned flags;
        std::memcpy(&flags, Address(f), sizeof flags);
        return flags;
    }
    // Where face f's main data (its flag word first) lies, for a prefetch.
    const void* Address(unsigned f) const { return m_pData + size_t(f) * m_nStride; }

private:
    const unsigned char* m_pData;
    size_t m_nStride;
};

class KESTOVAR_API C3DFaceList : public CFaceList {
    KX_DECLARE_SERIAL(C3DFaceList)
public:
    // An empty list whose main chunk holds flags and materials.
    C3DFaceList();
    ~C3DFaceList() override;
    C3DFaceList& operator=(const C3DFaceList& other) {
        CFaceList::operator=(other);
        return *this;
    }

    static C3DFaceList* Create() { return new C3DFaceList; }
    static C3DFaceList* FromObject(CXObject* object);

    // A new C3DFace.
    CFace* CreateFace() const override;
    using CFaceList::GetFace;
    bool GetFace(unsigned int i, C3DFace& face) { return CFaceList::GetFace(i, face); }

    // ---- materials ----
    // Material of face i; 0xFFFFFFFF for a face that is not live or out of range.
    unsigned int GetFaceMaterial(unsigned int i) const {
        if (i >= unsigned(m_nFaces)) return 0xFFFFFFFFu;
        const unsigned int* d = static_cast<const unsigned int*>(MainSlot(i));
        return IsLiveFaceFlags(d[0]) ? d[1] : 0xFFFFFFFFu;
    }
    // The stored material of face i whether live or not (0xFFFFFFFF out of range).
    unsigned int GetStoredFaceMaterial(unsigned int i) const {
        return i < unsigned(m_nFaces) ? static_cast<const unsigned int*>(MainSlot(i))[1] : 0xFFFFFFFFu;
    }
    // False when i is out of range.
    bool SetFaceMaterial(unsigned int i, unsigned int material);
    // The BKMT value of face i (0xFFFFFFFF when absent or out of range). With `orFront`, a
    // missing or 0xFFFFFFFF value falls back to the front material of a live face.
    unsigned int GetBackFaceMaterial(unsigned int i, bool orFront = false) const;
    // Stores a back material, creating the BKMT chunk (all 0xFFFFFFFF) when absent. False when i
    // is out of range.
    bool SetBackFaceMaterial(unsigned int i, unsigned int material);
    // (front, back) of face i: the front as GetFaceMaterial, the back the BKMT value
    // (0xFFFFFFFF when the chunk is absent).
    FBMaterialID GetFBFaceMaterial(unsigned int i) const;
    bool HasBackFaceMaterials() const { return m_dataChunks.HasDataChunk(FACE_CHUNK_BACK_MATERIAL); }
    // Deletes the BKMT chunk; false when absent.
    bool RemoveBackFaceMaterials();
    // True when no live face has a back material other than 0xFFFFFFFF or its own front
    // material, i.e. the BKMT chunk says nothing the front materials do not.
    bool CompareBackAndFrontMaterials() const;
    // Renames material `from` to `to` in the stored front materials of every face and in the
    // back materials; drops the material map. True when any face changed.
    bool ReplaceMaterial(unsigned int from, unsigned int to);
    // Reverses the index order of face i (whatever its flags); false out of range.
    bool Flip(unsigned int i);

    // ---- geometry ----
    // Box of the points used by live faces (each point index must be below the point count;
    // indices outside are skipped). `transform`, when given, is applied to each point first.
    // False (box empty) when no live face has a point.
    bool GetBoundingBox(const C3DPointList& points, C3DTBBox<float>& box,
                        const C4x4TMatrix<float>* transform = nullptr) const;

    // ---- material maps and sort (face_material.cpp) ----
    int GetMaterialsHashMap(const CGeomInfo* geom, CHashMap<unsigned int, unsigned int, unsigned int>& map,
                            bool withBack, bool reset);
    // The (front, back) pair counts, built on first use.
    CFBMaterialHashMap* GetFBMaterialsHashMap(const CGeomInfo* geom);
    // Builds the pair counts (emptying an existing map).
    CFBMaterialHashMap* CreateFBMaterialsHashMap(const CGeomInfo* geom);
    // Frees the pair map (also run by RemoveAll, operator=, Serialize and the destructor).
    void DeleteFBMaterialsHashMap();
    CFBMaterialHashMap* GetFBMaterialsHashMapIfBuilt() const { return m_pFBMaterialMap; }
    // The face permutation by material (caller frees it with xfree); see the material sort.
    unsigned int* Sort(unsigned int flags, unsigned int& count, bool& changed) const;
    // Reorders the faces and the channel faces by material; true when anything moved.
    bool Sort(const CGeomInfo* geom, unsigned int flags);

    // ---- face grid map (owned cache, built by the face grid) ----
    // The grid map object (a C3DFaceGridMap) or null.
    CInstanciatedObject* GetFaceGridMapObject() const { return m_pFaceGridMap; }
    // Takes ownership of `map` (one reference), releasing any previous one.
    void SetFaceGridMapObject(CInstanciatedObject* map);
    void DeleteFaceGridMap();

    // ---- face grid map and closest-face queries (face_grid.cpp; see kestovar/mesh/face_grid.h) ----
    // The grid over the faces whose flags share no bit with `excludeMask`, with the coordinates of
    // the view's source points (or `points`): built on first use, rebuilt when the faces, the
    // points or the mask changed since. Owned by this list. Null when the view has no points.
    C3DFaceGridMap* GetFaceGridMap(const CGeomInfo* geom, unsigned int excludeMask = FACE_INVALID);
    C3DFaceGridMap* GetFaceGridMap(const C3DPointList& points, unsigned int excludeMask = FACE_INVALID);
    // Index of the face closest to p (through GetFaceGridMap(geom), so not to be called from
    // several threads while the map may need a rebuild) and its exact distance; -1, with distance
    // +infinity, when no face lies strictly closer than `maxDistance`.
    int GetClosestFace(const CGeomInfo* geom, const C3DTPoint<float>& p, double& distance,
                       double maxDistance = HUGE_VAL);

    // ---- triangulation (triangulate.cpp) ----
    // Splits every face of more than 3 points whose all-bits test of `mask` equals `value` into
    // triangles (see kestovar/mesh/triangulate.h), writing a new face list in which each split
    // face is replaced by its triangles in consecutive positions and every other face is copied
    // unchanged. The channels of the view's source set whose types are in `channelMask` (neither
    // invalid nor derived, and whose face list matches this list's face count) follow into a new
    // channel set. The new list and set become the view's destinations, not owned by the view:
    // the caller takes them with GetDst3DFaceList(true) / GetDstChannels(true). Returns the
    // number of faces split; 0 (destinations untouched) when none takes part.
    int Triangulate(CGeomInfo* geom, unsigned int channelMask, _FACE_PROPERTIES mask, bool value);

    // ---- coplanar merging (merge_coplanar.cpp) ----
    // Groups adjacent faces into regions (same material, normals within `angle` radians of the
    // face they are reached from, no texture, colour or specified-normal frontier between them,
    // consistently oriented manifold seams) and replaces each region of two or more faces by one
    // polygon following its border. Regions are kept simple: a face that would make a region
    // surround a hole or touch itself at a point does not join it, so an area around a hole comes
    // out as several simple polygons; nor does a face that would give the region's polygon more
    // corners than a face record holds (65535), so a larger area comes out as several polygons
    // too. The result is written, in the source order with each
    // region at the place of its first face, into the view's destination face list (into this
    // list when the view names none or this one); the face-mapped channels of the view's source
    // set follow into the destination set's channel at the same position (in place without a
    // destination set), each merged corner taking the channel corner of the face whose border
    // edge leaves it. Returns the new face count; -1 (0xFFFFFFFF) without points, without faces
    // or on cancellation, with nothing changed.
    int MergeCoplanarFaces(const CGeomInfo* geom, double angle);

    // ---- orientation (face_tagger.cpp) ----
    // Makes neighbouring faces traverse shared edges in opposite directions (see CUnifyTagger).
    // `flipped` is sized to the face count; a set bit marks a face whose order was reversed.
    bool UnifyNormals(CGeomInfo* geom, CBitArray& flipped);

protected:
    // The split pass of Triangulate: every face of this list in order, those taking part by ear
    // clipping through `helper` (whose destination and channels are set and sized), the others
    // copied unchanged with their channel faces. Returns the number of faces written.
    int DoTriangulation(CTriangulateFaceHelper* helper, _FACE_PROPERTIES mask, bool value);

    CElementMethods* GetMainMethods() const override;
    void DeleteCaches() override;

    CFBMaterialHashMap* m_pFBMaterialMap;
    // Held through its reference-counting base so that this list can release it without the
    // grid's definition.
    CInstanciatedObject* m_pFaceGridMap;
};

}  // namespace kestovar
