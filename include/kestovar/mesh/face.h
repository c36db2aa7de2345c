// Face views and the detached face.
//
// CFace / C3DFace are views into a face list, not copies: CFaceList::GetFace fills one with the
// face's index, its point count, a pointer to its point indices inside the list's record buffer
// and a pointer to its main data (flags, and for C3DFace the material). Writing through a view
// writes the list.
//
// A view stays valid until its record moves. A record moves when it is given more points than its
// capacity (SetSize, AddIndex, SetQuadrangle, SetIndexes on a smaller record): it is rewritten at
// the end of the buffer, and the buffer itself may be reallocated or compacted, which moves every
// record. The view that made the change follows its record; every other view of any face of that
// list (and every pointer obtained from GetIndexes) must be fetched again. List operations that
// resize, reorder, compact or clean the list invalidate all views.
//
// CSingleFace holds one face outside any list, with its own chunk data shaped like a list's; it is
// the go-between of CFaceList::CopyTo and CFaceList::CopyFrom.
#pragma once

#include <cassert>
#include <cstdint>

#include "kestovar/core/collection.h"
#include "kestovar/core/data_chunk.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"

namespace kestovar {

class CFaceList;
class CGeomInfo;
class C2DPointList;
class CTriangulateFaceHelper;

// The record collection holding every face's point indices: per face a count (u16), a capacity
// (u16) and `capacity` 32-bit point indices.
typedef CSimpleCollection<int, unsigned short> CFaceCollection;

// Face flag bits (the first word of every face's main data). A face is live when neither
// FACE_INVALID nor FACE_HIDDEN is set.
enum _FACE_PROPERTIES : unsigned int {
    FACE_INVALID = 0x1,      // degenerate or fewer than 3 points; removed by Clean
    FACE_HIDDEN = 0x2,       // kept but out of every graph, checksum, query and flip
    FACE_NOT_LIVE = 0x3,     // FACE_INVALID | FACE_HIDDEN
    FACE_FROZEN = 0x4,       // frozen by the host; also a tie-break bit of the material sort
    FACE_SORT_LOW = 0x10,    // tie-break bits of the material sort: among faces of one material,
    FACE_SORT_MEDIUM = 0x20,  //   the larger (flags & FACE_SORT_MASK) comes first
    FACE_SORT_HIGH = 0x40,
    FACE_SORT_MASK = 0x74,
    FACE_SELECTED = 0x1000000,      // selected for the simplification engine
    FACE_ALL_SELECTED = 0x2000000,  // selected together with all its points
};

// A face is live when (flags & FACE_NOT_LIVE) == 0.
inline bool IsLiveFaceFlags(unsigned int flags) { return (flags & FACE_NOT_LIVE) == 0; }

class KESTOVAR_API CFace : public CXAllocated {
public:
    CFace()
        : m_pRecords(nullptr), m_nFace(0), m_nCount(0), m_pIndexes(nullptr), m_pList(nullptr), m_pMainData(nullptr) {}
    CFace(const CFace&) = default;
    CFace& operator=(const CFace&) = default;
    virtual ~CFace();

    // True once the view has been filled by CFaceList::GetFace.
    bool IsValid() const { return m_pRecords != nullptr; }
    // Index of the face in its list.
    unsigned int GetIndex() const { return m_nFace; }
    CFaceList* GetList() const { return m_pList; }
    // Number of points.
    unsigned int GetSize() const { return m_nCount; }
    unsigned int GetNumberOfIndexes() const { return m_nCount; }
    // The point indices, GetSize() of them.
    int* GetIndexes() { return m_pIndexes; }
    const int* GetIndexes() const { return m_pIndexes; }
    // Point index at position k (below GetSize(); not checked in release builds).
    int GetAt(unsigned int k) const {
        assert(k < m_nCount);
        return m_pIndexes[k];
    }
    int operator[](unsigned int k) const { return GetAt(k); }
    // Position of `point` in the face, or -1.
    int Find(int point) const {
        for (unsigned k = 0; k < m_nCount; ++k)
            if (m_pIndexes[k] == point) return int(k);
        return -1;
    }
    bool IsTriangle() const { return m_nCount == 3; }

    // ---- main data ----
    void* GetMainData() const { return m_pMainData; }
    unsigned int GetFlags() const { return *static_cast<const unsigned int*>(m_pMainData); }
    void SetFlags(unsigned int flags) { *static_cast<unsigned int*>(m_pMainData) = flags; }
    void SetFlags(unsigned int flags, bool set) {
        unsigned int& f = *static_cast<unsigned int*>(m_pMainData);
        f = set ? (f | flags) : (f & ~flags);
    }
    void SetFlag(_FACE_PROPERTIES flag, bool set) { SetFlags(unsigned(flag), set); }
    // All given bits set.
    bool IsFlagSet(unsigned int flags) const { return (GetFlags() & flags) == flags; }
    // Any given bit set.
    bool IsOneFlagSet(unsigned int flags) const { return (GetFlags() & flags) != 0; }
    bool IsLive() const { return IsLiveFaceFlags(GetFlags()); }

    // ---- editing ----
    // Makes the face the triangle (a, b, c), or the quadrangle (a, b, c, d), and clears
    // FACE_INVALID.
    void SetTriangle(int a, int b, int c);
    void SetQuadrangle(int a, int b, int c, int d);
    // Sets the point count. New positions hold 0. Fewer than 3 points sets FACE_INVALID; 3 or more
    // leaves the flags alone.
    void SetSize(unsigned int count);
    // Sets the point count to `count` (SetSize rules) and copies the indices.
    void SetIndexes(const int* indices, unsigned int count);
    // Appends `point`. A face left with fewer than 2 points gets FACE_INVALID.
    void AddIndex(int point);
    // Replaces every occurrence of `oldPoint` by `newPoint`; false when there was none.
    bool ReplaceIndex(int oldPoint, int newPoint);
    // Removes the index at `position` (the later ones move down); false when the position is not
    // below the count.
    bool RemoveIndex(unsigned int position);
    // Reverses the order of the indices (first with last).
    void Flip();

protected:
    friend class CFaceList;
    // Gives the record `count` values (growing it at the end of the buffer when needed) and
    // points the view at it.
    void Resize(unsigned int count);

    CFaceCollection* m_pRecords;
    unsigned int m_nFace;
    unsigned int m_nCount;
    int* m_pIndexes;
    CFaceList* m_pList;
    void* m_pMainData;
};

// View of a face of a C3DFaceList: its main data is the flag word followed by the material.
class KESTOVAR_API C3DFace : public CFace {
public:
    C3DFace() = default;
    ~C3DFace() override;

    // The stored material identifier (whether or not the face is live).
    unsigned int GetMaterialID() const { return static_cast<const unsigned int*>(m_pMainData)[1]; }
    void SetMaterialID(unsigned int material) { static_cast<unsigned int*>(m_pMainData)[1] = material; }

    // ---- face geometry (face_geometry.cpp); the points are `geom`'s source points ----
    // Newell normal of the corners (closing edge included), summed in single precision. A face of
    // fewer than 3 corners, with a corner outside the point list, or whose three sums are all
    // below 1e-15 in absolute value gets (1, 0, 0) and false; otherwise true, the normal unit
    // length when `normalize` (its length is then twice the area for a planar face otherwise).
    bool GetNormal(const CGeomInfo* geom, C3DTVector<float>& n, bool normalize) const;
    // The plane n.x + d = 0 through the face's centre with its unit Newell normal; the result of
    // GetNormal (d is computed with the fallback normal too).
    bool GetPlane(const CGeomInfo* geom, C3DTVector<float>& n, float& d) const;
    // Mean of the corners (in double); false, and the origin, for a face without corners or with
    // a corner outside the point list.
    bool GetCenter(const CGeomInfo* geom, C3DTPoint<float>& center) const;
    // Area of the face (half the length of the Newell sum, in double): exact for a planar polygon,
    // that of the projection on the best plane otherwise. 0 for a degenerate face.
    double Area(const CGeomInfo* geom) const;
    // Compacity factor (1 equilateral, 0 degenerate) of the first three corners; 0 for a face of
    // fewer than 3 corners or with a corner outside the point list.
    double GetCompacityFactor(const CGeomInfo* geom) const;
    // True when every corner lies within `tolerance` (a distance in model units) of the face's
    // plane. A triangle is always plane; a degenerate face is not.
    bool IsPlane(const CGeomInfo* geom, double tolerance) const;
    // True when the polygon, seen along its normal, turns the same way at every corner (straight
    // corners allowed) and winds once: no notch, no self-crossing. Triangles that are not
    // degenerate are convex; faces of fewer than 3 corners and degenerate faces are not.
    bool IsConvex(const CGeomInfo* geom) const;

    // ---- triangulation (triangulate.cpp; see kestovar/mesh/triangulate.h) ----
    // The corners projected to the face's plane, one 2D point each (u along the first edge, v =
    // n x u): `points` is emptied, then filled. False, and empty, when the face has no normal,
    // fewer than 3 corners, a corner outside the point list or a non-finite coordinate.
    bool Get2DCoordinates(const CGeomInfo* geom, C2DPointList& points) const;
    // A helper splitting faces of `geom`'s source list into the view's destination face list (the
    // caller adds the channels that follow); release it with ReleaseTriangulation.
    static CTriangulateFaceHelper* InitTriangulation(const CGeomInfo* geom);
    static void ReleaseTriangulation(CTriangulateFaceHelper* helper);
    // Splits this face by ear clipping into at most n - 2 triangles written at consecutive
    // positions from `destination` of the helper's destination list, each with a copy of the
    // face's chunk data and flags (FACE_INVALID cleared); the helper's channels follow (a live
    // channel face with the face's corner count is split at the same corners, one with another
    // count gets FACE_HIDDEN, one that is not live keeps its copied flags). With destination -1
    // (0xFFFFFFFF) the triangles go into the helper's own list, emptied first, without channels.
    // At most `maxTriangles` are written when it is positive, and never past the end of the
    // destination list. Returns the number written.
    int Triangulate(CTriangulateFaceHelper* helper, int destination, int maxTriangles);
    // The same through a helper made for `geom` and released before returning; with destination
    // -1 the triangles are appended to the view's destination face list.
    int Triangulate(const CGeomInfo* geom, int destination, int maxTriangles);
};

// One face outside any list: its point indices in a one-record collection (initial capacity 10)
// and its data chunks, shaped like a list's (same identifiers and tables). Empty (no record data,
// chunk data size 0) until a face is copied in.
class KESTOVAR_API CSingleFace : public CXAllocated {
public:
    static constexpr unsigned int kInitialCapacity = 10;

    // A single face without chunks.
    CSingleFace();
    // A single face whose chunks are shaped like `list`'s.
    explicit CSingleFace(const CFaceList& list);
    ~CSingleFace();
    CSingleFace(const CSingleFace&) = delete;
    CSingleFace& operator=(const CSingleFace&) = delete;

    // Replaces the chunks by empty ones shaped like `list`'s and empties the face.
    void InitDataChunks(const CFaceList& list);
    // No indices and no chunk data.
    void Empty();
    bool IsEmpty() const { return m_dataChunks.GetDataSize() == 0; }

    unsigned int GetSize() const { return m_record.GetRecordSize(0); }
    const int* GetIndexes() const {
        unsigned n;
        return m_record.Get(0, n);
    }
    int* GetIndexes() {
        unsigned n;
        return m_record.Get(0, n);
    }
    // Replaces the indices.
    void SetIndexes(const int* indices, unsigned int count);

    CDataChunk& GetDataChunks() { return m_dataChunks; }
    const CDataChunk& GetDataChunks() const { return m_dataChunks; }
    // The main data (null when empty or without a main chunk); the flag word comes first.
    void* GetMainData() const { return m_dataChunks.GetMainData(0); }
    // The flag word, 0 when there is no main data.
    unsigned int GetFlags() const {
        const void* p = GetMainData();
        return p ? *static_cast<const unsigned int*>(p) : 0u;
    }
    const CFaceCollection& GetRecords() const { return m_record; }

private:
    friend class CFaceList;
    CFaceCollection m_record;
    CDataChunk m_dataChunks;
};

}  // namespace kestovar
