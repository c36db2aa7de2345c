// Point lists: CPointList (a typed element array of point records plus per-point data chunks)
// and its typed lists C3DPointList, C3DVectorList and C2DPointList.
//
// CPointList derives from CElementArray without exposing it: the element count of a point list
// and the data size of its chunks always move together, so every size change goes through the
// list. The read-only parts of the array interface are re-exported.
//
// Change tracking: every size change, reorder, copy and load sets POINTLIST_CHANGED and
// increments the change stamp; SetFlag(POINTLIST_CHANGED, true) does the same for callers that
// wrote points directly. Only the caller clears the flag. The stamp never decreases.
#pragma once

#include <cassert>
#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/collection.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/data_chunk.h"
#include "kestovar/core/element_array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/bbox.h"
#include "kestovar/mesh/edge.h"

namespace kestovar {

class CXArchive;
class CFaceList;
class C3DFaceList;
class C3DPointGridMap;
class C3DPointSymetryMap;
class WeldProximityMap;
enum _AXIS_INFO : int;

// Data chunk identifier of point lists: the original point index written by SavePointsIndex.
constexpr uint32_t POINT_CHUNK_ORIGINAL_INDEX = 0x504F4F49;  // POOI

// List flag word of point lists.
enum _POINTLIST_PROPERTIES : unsigned int {
    POINTLIST_CHANGED = 0x1,  // size or content changed; setting it increments the stamp
};

// The point-material graph: one record per point listing the materials of the faces around it.
typedef CSimpleCollection<unsigned int, unsigned short> CPointMaterialGraph;

// Thomas Wang's 32-bit integer hash, the mixer of the list checksums.
inline uint32_t WangHash32(uint32_t k) {
    k += ~(k << 15);
    k ^= k >> 10;
    k *= 9;
    k ^= k >> 6;
    k += ~(k << 11);
    k ^= k >> 16;
    return k;
}

// 4√3 · area / (|p1 − p0|² + |p2 − p0|² + |p2 − p1|²), in double: 1 for an equilateral triangle,
// 0 for a degenerate one (and for three equal points).
KESTOVAR_API double GetCompacityFactor(const C3DTPoint<float>& p0, const C3DTPoint<float>& p1,
                                       const C3DTPoint<float>& p2);

class KESTOVAR_API CPointList : protected CElementArray, public CInstanciatedObject {
    KX_DECLARE_DYNAMIC(CPointList)
public:
    using CXAllocated::operator new;
    using CXAllocated::operator delete;
    ~CPointList() override;

    // The list as a CXObject (for archives and the class registry).
    CXObject* AsObject() { return this; }
    const CXObject* AsObject() const { return this; }
    // `object` as a point list when it is one (created from a stored class), else null.
    static CPointList* FromObject(CXObject* object);

    // ---- element access (read-only parts of the array) ----
    using CElementArray::ElementAt;
    using CElementArray::GetFirst;
    using CElementArray::GetNext;
    using CElementArray::GetData;
    using CElementArray::GetSize;
    using CElementArray::GetUpperBound;
    using CElementArray::GetAllocatedSize;
    using CElementArray::GetGrowFactor;
    using CElementArray::IsConstructAll;
    using CElementArray::ConstructMode;
    using CElementArray::GetMethods;
    using CElementArray::GetSizeOfElement;
    using CElementArray::GetTypeOfElement;
    using CElementArray::GetBaseTypeOfElement;
    using CElementArray::GetRuntimeClassDescriptor;
    using CXObject::IsKindOf;
    // The element array itself, read-only (for generic code working on any element array).
    const CElementArray& GetElementArray() const { return *this; }
    // Point i as its base record, null when i is not below the count.
    CPt* GetPt(int i) { return static_cast<CPt*>(ElementAt(i)); }
    const CPt* GetPt(int i) const { return static_cast<const CPt*>(ElementAt(i)); }
    // Checksum of the element bytes (CElementArray::GetChecksum).
    uint32_t GetElementChecksum() const { return CElementArray::GetChecksum(); }

    // ---- size ----
    // Resizes the elements and the chunks together (element array rules). A count change sets
    // POINTLIST_CHANGED and increments the stamp. A negative count raises CXInvalidArgException.
    void SetSize(int count, bool keepMemory = false, int grow = -1) override;
    // Empties the elements and the chunks (the chunks stay, empty) and drops the caches.
    void RemoveAll() override;
    // Empties the list and reserves `count` slots in the elements and the chunks; with
    // `constructAll` every reserve slot is kept constructed.
    void PreAllocate(int count, bool constructAll = false);
    // Trims the elements and the chunks to the count.
    void FreeExtra();
    // Grow setting of the elements and the chunks: 0 automatic, -2 double, n > 0 by n.
    void SetGrowFactor(int grow);
    // Appends a copy of `point` (converted when of another record type); returns its index.
    int Add(const CPt& point);

    // ---- copies ----
    // Copies element and chunk data of point src onto point dst; false when out of range.
    bool CopyPoint(int dst, int src);
    // The same from point src of `other` (chunks present in both lists only; elements converted
    // when of another point type).
    bool CopyPoint(int dst, int src, const CPointList& other);
    // Copies the elements, the chunks (layout and content) and the persistent state; drops the
    // caches. Sets POINTLIST_CHANGED (stamp + 1).
    CPointList& operator=(const CPointList& other);

    // ---- order ----
    // Permutes the chunks, then the elements (see CElementArray::Reorder for `inverse`). False
    // (nothing changed) when count differs from the point count or order is not a permutation.
    bool Reorder(const unsigned int* order, unsigned int count, bool inverse);
    // Writes every point's current index into the POOI chunk (created when absent).
    void SavePointsIndex();
    // The POOI value of point i; REMAP_REMOVED when the chunk is absent or i is out of range.
    unsigned int GetOriginalIndex(int i) const;

    // ---- flags ----
    int GetNumberOfPoints() const { return m_nSize; }
    // Points for which ((flags & mask) != 0) == value (any-bit test).
    int GetNumberOfPoints(unsigned int mask, bool value) const;
    // Points for which ((flags & mask) == mask) == value (all-bits test).
    int GetNumberOfPoints(_POINT_PROPERTIES mask, bool value) const;
    // Sets or clears `flags` on every point.
    void SetPointsFlags(unsigned int flags, bool set);
    // Flag word of point i (0 out of range).
    unsigned int GetPointFlags(int i) const {
        const CPt* p = GetPt(i);
        return p ? p->GetFlags() : 0u;
    }

    // ---- data chunks ----
    // Registers chunk `id` (see CDataChunk::AddDataChunk); returns the number of chunks.
    int AddDataChunk(uint32_t id, CElementMethods* methods, unsigned int options = DATACHUNK_COPY);
    void* GetData(uint32_t id, int i) const { return m_dataChunks.GetData(id, i); }
    CElementArray* GetData(uint32_t id) const { return m_dataChunks.GetData(id); }
    bool HasDataChunk(uint32_t id) const { return m_dataChunks.HasDataChunk(id); }
    bool RemoveDataChunk(uint32_t id) { return m_dataChunks.RemoveDataChunk(id); }
    CDataChunk& GetDataChunks() { return m_dataChunks; }
    const CDataChunk& GetDataChunks() const { return m_dataChunks; }

    // ---- change tracking ----
    unsigned int GetChangedStamp() const { return m_nChangedStamp; }
    unsigned int GetFlags() const { return m_nFlags; }
    // Sets or clears list flags; setting POINTLIST_CHANGED also increments the stamp.
    void SetFlag(_POINTLIST_PROPERTIES flag, bool set);
    bool IsFlagSet(unsigned int flags) const { return (m_nFlags & flags) == flags; }
    // 0 unless mask has 0x2; then over the points without POINT_REMOVED, in order,
    // h = w(h + i) + 16 * flags (w = WangHash32, 32-bit wrap).
    virtual uint32_t GetChecksum(unsigned int mask) const;

    // The data chunks (CDataChunk form), then the element array (count, grow setting, the
    // table's class, the elements). Loading empties the list first and sets POINTLIST_CHANGED.
    void Serialize(CXArchive& ar) override;

    // ---- clean-up and border status (face_cleanup.cpp) ----
    // Unless `keep`, clears POINT_REMOVED everywhere; then marks POINT_REMOVED on every point
    // that no live face of `faces` uses.
    void SetInvalidPoints(CFaceList& faces, bool keep);
    // Clears 0x70 on every point, then marks POINT_BORDER / POINT_SHARED_EDGE from the edge
    // graph; with `propagate`, POINT_NEAR_BORDER on the neighbours of border points.
    void SetBorderPointsStatus(CAssociationMap<C3DEdge, int, unsigned short>& edges, bool propagate);
    // Removes the points marked POINT_REMOVED (after SetInvalidPoints when `faces` is given),
    // filling the point remap (old -> new, REMAP_REMOVED for removed points; emptied when
    // nothing is removed). True when points were removed.
    bool Clean(CFaceList* faces, CXArray<unsigned int>* remap);

protected:
    // An empty list of `methods` elements (a reference is taken).
    explicit CPointList(CElementMethods* methods);
    // An empty list of `methods` elements whose chunks are shaped like `layout`'s (identifiers,
    // tables, options and grow setting; not the content).
    CPointList(CElementMethods* methods, const CPointList& layout);
    CPointList(const CPointList&) = delete;

    void MarkChanged() {
        m_nFlags |= POINTLIST_CHANGED;
        ++m_nChangedStamp;
    }
    // Drops the owned caches (virtual: the 3D list has some).
    virtual void DeleteCaches() {}

    CDataChunk m_dataChunks;
    unsigned int m_nChangedStamp;
    unsigned int m_nFlags;
    // Set while the list works on its element array alone (loading, copying): the array's own
    // calls to the virtual SetSize/RemoveAll then leave the chunks alone.
    bool m_bArrayOnly;

    friend class CPointListArrayScope;
};

// Points of a mesh: C3DTPoint<float> records (24 bytes each).
class KESTOVAR_API C3DPointList : public CPointList {
    KX_DECLARE_SERIAL(C3DPointList)
public:
    typedef C3DTPoint<float> PointType;

    C3DPointList();
    // An empty list whose chunks are shaped like `layout`'s (a list of any point type).
    explicit C3DPointList(const CPointList& layout);
    // Copying constructs from the layout too (the content is copied by operator=).
    explicit C3DPointList(const C3DPointList& layout) : C3DPointList(static_cast<const CPointList&>(layout)) {}
    ~C3DPointList() override;
    C3DPointList& operator=(const C3DPointList& other) {
        CPointList::operator=(other);
        return *this;
    }
    static C3DPointList* Create() { return new C3DPointList; }
    static C3DPointList* FromObject(CXObject* object);

    // ---- typed access ----
    // The contiguous points (GetSize() of them; null when the buffer is empty).
    C3DTPoint<float>* GetPoints() { return reinterpret_cast<C3DTPoint<float>*>(m_pData); }
    const C3DTPoint<float>* GetPoints() const { return reinterpret_cast<const C3DTPoint<float>*>(m_pData); }
    // Point i, null when i is not below the count.
    C3DTPoint<float>* GetPoint(int i) { return static_cast<C3DTPoint<float>*>(ElementAt(i)); }
    const C3DTPoint<float>* GetPoint(int i) const { return static_cast<const C3DTPoint<float>*>(ElementAt(i)); }
    C3DTPoint<float>* operator[](int i) { return GetPoint(i); }
    const C3DTPoint<float>* operator[](int i) const { return GetPoint(i); }
    // Point i, unchecked (i must be below the count).
    C3DTPoint<float>& GetAt(int i) {
        assert(i >= 0 && i < m_nSize);
        return GetPoints()[i];
    }
    const C3DTPoint<float>& GetAt(int i) const {
        assert(i >= 0 && i < m_nSize);
        return GetPoints()[i];
    }
    using CPointList::Add;
    int Add(float x, float y, float z) { return Add(C3DTPoint<float>(x, y, z)); }

    // ---- geometry ----
    // Box of the points for which ((flags & mask) != 0) == value (every point for mask 0), each
    // transformed by `transform` when given. Empties the box first; false when no point counted.
    bool GetBoundingBox(C3DTBBox<float>& box, unsigned int mask = 0, bool value = false,
                        const C4x4TMatrix<float>* transform = nullptr) const;
    bool GetBoundingBox(C3DTPoint<float>& min, C3DTPoint<float>& max, unsigned int mask = 0, bool value = false,
                        const C4x4TMatrix<float>* transform = nullptr) const;
    // Centre of the box of all points ((min + max) / 2 in double); false for an empty list.
    bool GetCenterOfBoundingBox(C3DTPoint<float>& center) const;
    // Transforms the points (with a non-zero mask only those whose all-bits test gives `value`).
    // A matrix within the identity tolerance changes nothing and returns false.
    bool MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask = _POINT_PROPERTIES(0),
                         bool value = true);
    // Applies the axis swap code of C3DTPoint::Swap to every point.
    void SwapCoordinates(unsigned int code);
    // Unit normal of the polygon of `count` points (3 by default) by Newell's method; false (and
    // a zero normal) when the polygon has no area or an index is out of range.
    bool GetNormal(const int* indices, C3DTVector<float>& normal, int count = 3) const;
    // Compacity factor of the triangle indices[0..2] (0 when an index is out of range).
    double GetCompacityFactor(const int* indices) const;

    // 0 unless mask has 0x1 or 0x2. 0x1: over the points without POINT_REMOVED,
    // h = w(h + i) + bits(x) + bits(y) + bits(z), where a coordinate equal to 0 (also -0) adds 0;
    // 0x2: plus the CPointList checksum (32-bit wrap).
    uint32_t GetChecksum(unsigned int mask) const override;

    // ---- surface features (point_features.cpp) ----
    // Only live faces count, face corners outside the list are skipped, and faces without area
    // (no Newell normal) take no part in the normal tests. Each call clears its own flag on every
    // point first.
    //
    // Builds the point-material graph of `faces` (replacing any previous one): record p lists,
    // once each and in increasing order, the materials of the live faces that use point p.
    void InitPointMaterialGraph(const C3DFaceList& faces);
    // The materials around point p in the graph; null (count 0) without a graph or out of range.
    const unsigned int* GetMaterialsConnectedToPoint(int p, int& count) const;
    int GetNumberOfMaterialsConnectedToPoint(int p) const;
    // POINT_MATERIAL_FRONTIER on every point whose graph record lists more than one material.
    // True when some point got it; false (flag cleared everywhere) without a graph.
    bool InitShareSeveralMaterialsFlag();
    // POINT_COPLANAR on every point whose faces all lie in one plane: the unit normals of its
    // faces are within `tolerance` radians of the first one's (a cosine slack of 1e-8 absorbs
    // the rounding of float coordinates, so 0 means "coplanar up to rounding"). A point of one
    // face is coplanar. Returns the number of points flagged.
    int InitShareCoplanarFacesFlag(const C3DFaceList& faces, double tolerance);
    // POINT_3D_CORNER on every point whose face normals fall into three or more directions: the
    // normals are grouped in face order, a normal joining the first group whose leading normal
    // is at most `angle` radians away, else opening a new group. A cube's corners qualify (three
    // directions 90 degrees apart at 75 degrees), its edges (two) and flat points (one) do not;
    // so does the tip of a cone sharp enough to turn its normals by more than twice `angle`.
    // Returns the number of points flagged.
    int Set3DCornerPointsStatus(const C3DFaceList& faces, double angle);
    // POINT_2D_CORNER on the corners of the border lines given by the edges with one face:
    // a point on exactly two border edges (a, p) and (p, b) when the line turns there by more
    // than `angle` radians (the angle between p - a and b - p; zero-length edges never make a
    // corner), and every point on one, three or more border edges (ends and junctions of
    // border lines). Returns the number of points flagged.
    int Set2DCornerPointsStatus(const CAssociationMap<C3DEdge, int, unsigned short>& edges, double angle);

    // ---- owned caches ----
    CPointMaterialGraph* GetPointMaterialGraph() const { return m_pPointMaterialGraph; }
    void DeletePointMaterialGraph();
    // The cached grid map object (a C3DPointGridMap) or null.
    CInstanciatedObject* GetGridMapObject() const { return m_pGridMap; }
    // Takes ownership of `map` (one reference), releasing any previous one.
    void SetGridMapObject(CInstanciatedObject* map);
    void DeleteGridMap();

    // ---- welding (weld.cpp) ----
    // A new grid of the points (the caller owns it) whose cell size d is: for tolerance 0, the
    // box diagonal × 1.5 / 2147483647 (only coincident points share a neighbourhood); for a
    // relative tolerance, C3DPointGridMap::GetAbsoluteDistance(tolerance, box); for an absolute
    // one, the tolerance itself (coordinate units). The origin is the box minimum, moved by
    // -d / 4 on each axis with `shift`. Null for an empty list.
    C3DPointGridMap* GetGridCoordMap(double tolerance, bool absolute, bool shift) const;
    // A new proximity map for the weld distance (release with DeleteWeldMap); null for an empty
    // list.
    WeldProximityMap* InitWeldMap(double tolerance, bool absolute) const;
    // The points other than p in p's grid cell and its 26 neighbours, in cell order and
    // increasing index order within a cell; the result is the map's buffer. Null (count 0) when
    // p has no cell or is out of range.
    const int* Get3DProximityPoints(int p, WeldProximityMap* map, int& count) const;
    static void DeleteWeldMap(WeldProximityMap* map);

    // ---- symmetry (symmetry_map.cpp) ----
    // A new map (the caller owns it) pairing each point with the point nearest its mirror image
    // across the mid-plane of the points' box perpendicular to `axis`. Only the grid cell (of
    // size extent / 20 along `axis`) holding the mirror position is searched, and a partner lies
    // within extent / 20 × `tolerance` of it (tolerance 0: exact mirrors only). Points on the
    // plane pair with themselves; a point whose best candidate is already paired stays unpaired.
    // An empty map when the extent along `axis` is below 1e-15.
    C3DPointSymetryMap* InitSymetryMap(_AXIS_INFO axis, double tolerance) const;

protected:
    void DeleteCaches() override;

    CPointMaterialGraph* m_pPointMaterialGraph;
    // Held through its reference-counting base so that this list can release it without the
    // grid's definition.
    CInstanciatedObject* m_pGridMap;
};

// Vectors (normals): C3DTVector<float> records.
class KESTOVAR_API C3DVectorList : public CPointList {
    KX_DECLARE_SERIAL(C3DVectorList)
public:
    typedef C3DTVector<float> PointType;

    C3DVectorList();
    explicit C3DVectorList(const CPointList& layout);
    // Copying constructs from the layout too (the content is copied by operator=).
    explicit C3DVectorList(const C3DVectorList& layout) : C3DVectorList(static_cast<const CPointList&>(layout)) {}
    ~C3DVectorList() override;
    C3DVectorList& operator=(const C3DVectorList& other) {
        CPointList::operator=(other);
        return *this;
    }
    static C3DVectorList* Create() { return new C3DVectorList; }
    static C3DVectorList* FromObject(CXObject* object);

    C3DTVector<float>* GetVectors() { return reinterpret_cast<C3DTVector<float>*>(m_pData); }
    const C3DTVector<float>* GetVectors() const { return reinterpret_cast<const C3DTVector<float>*>(m_pData); }
    C3DTVector<float>* GetVector(int i) { return static_cast<C3DTVector<float>*>(ElementAt(i)); }
    const C3DTVector<float>* GetVector(int i) const { return static_cast<const C3DTVector<float>*>(ElementAt(i)); }
    C3DTVector<float>* operator[](int i) { return GetVector(i); }
    const C3DTVector<float>* operator[](int i) const { return GetVector(i); }
    C3DTVector<float>& GetAt(int i) {
        assert(i >= 0 && i < m_nSize);
        return GetVectors()[i];
    }
    const C3DTVector<float>& GetAt(int i) const {
        assert(i >= 0 && i < m_nSize);
        return GetVectors()[i];
    }
    using CPointList::Add;
    int Add(float x, float y, float z) { return Add(C3DTVector<float>(x, y, z)); }
};

// Texture points: C2DTPoint<float> records.
class KESTOVAR_API C2DPointList : public CPointList {
    KX_DECLARE_SERIAL(C2DPointList)
public:
    typedef C2DTPoint<float> PointType;

    C2DPointList();
    explicit C2DPointList(const CPointList& layout);
    // Copying constructs from the layout too (the content is copied by operator=).
    explicit C2DPointList(const C2DPointList& layout) : C2DPointList(static_cast<const CPointList&>(layout)) {}
    ~C2DPointList() override;
    C2DPointList& operator=(const C2DPointList& other) {
        CPointList::operator=(other);
        return *this;
    }
    static C2DPointList* Create() { return new C2DPointList; }
    static C2DPointList* FromObject(CXObject* object);

    C2DTPoint<float>* GetPoints() { return reinterpret_cast<C2DTPoint<float>*>(m_pData); }
    const C2DTPoint<float>* GetPoints() const { return reinterpret_cast<const C2DTPoint<float>*>(m_pData); }
    C2DTPoint<float>* GetPoint(int i) { return static_cast<C2DTPoint<float>*>(ElementAt(i)); }
    const C2DTPoint<float>* GetPoint(int i) const { return static_cast<const C2DTPoint<float>*>(ElementAt(i)); }
    C2DTPoint<float>* operator[](int i) { return GetPoint(i); }
    const C2DTPoint<float>* operator[](int i) const { return GetPoint(i); }
    C2DTPoint<float>& GetAt(int i) {
        assert(i >= 0 && i < m_nSize);
        return GetPoints()[i];
    }
    const C2DTPoint<float>& GetAt(int i) const {
        assert(i >= 0 && i < m_nSize);
        return GetPoints()[i];
    }
    using CPointList::Add;
    int Add(float u, float v) { return Add(C2DTPoint<float>(u, v)); }
};

}  // namespace kestovar
