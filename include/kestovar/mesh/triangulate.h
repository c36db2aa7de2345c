// Triangulation of polygons by ear clipping in the polygon's plane.
//
// The polygon is projected to 2D on axes (u, v): u runs from the first corner to the second (or to
// the next corner distinct from the first), v = n × u with n the Newell normal, so the polygon
// turns counter-clockwise in (u, v) around its own normal. Each corner keeps its signed angle
// (radians; ≥ 0 for a convex corner). Ears are cut at the convex corner of smallest angle,
// skipping any ear whose triangle holds a reflex corner; ears whose three point indices are not
// distinct (polygons with repeated indices) are dropped without a triangle. When no convex corner
// with a positive angle is left, clipping stops: degenerate input gives fewer than n - 2
// triangles. A simple polygon never gets a triangle outside it. A corner next to another at the
// same position (the same point listed twice in a row, or two points at one place) measures an
// angle of 0, so it counts as convex and is clipped first: a reflex corner listed twice in a
// row then no longer blocks ears, and such a polygon may get a triangle over its notch or lose
// area.
//
// Long polygons keep their corners in an index for the two searches of each ear instead of
// walking the polygon for each, so that clipping one costs far less than n^2 (an outline of 64000
// corners: about a quarter of a second).
#pragma once

#include "kestovar/core/array.h"
#include "kestovar/core/element_array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

class CGeomInfo;
class C3DFaceList;
class CFaceList;
class CDependentChannels;
class CProgressScope;
namespace detail {
class CEarClipIndex;
}

// Element type code of the corner records (2DEX), a kind of point (base type PNTS).
constexpr uint32_t ELEMENT_TYPE_2DPOINT_EXT = 0x32444558;

// One corner of the polygon being clipped: a 2D point whose (u, v) hold its position in the
// polygon's plane (as floats, for code that reads any point list), with the working data of the
// ear clipping. Copies from other point kinds take their 2D position; archives store it as a 2D
// point.
class KESTOVAR_API C2DPointExt : public C2DTPoint<float> {
public:
    double x, y;     // position in the polygon's plane, full precision
    double angle;    // signed corner angle in radians
    bool convex;     // angle >= 0 and not found to hold a reflex corner in its ear
    int corner;      // corner number in the source face
    int point;       // point index
    int prev, next;  // neighbouring corners of the remaining polygon

    C2DPointExt() : x(0), y(0), angle(0), convex(false), corner(0), point(0), prev(0), next(0) {}
    C2DPointExt(const C2DPointExt&) = default;
    C2DPointExt& operator=(const C2DPointExt&) = default;
    C2DPointExt& operator=(const CPt& src) override;
    C2DPointExt& operator=(const C4DPoint& src) override;
    int SizeOf() const override { return int(sizeof(C2DPointExt)); }
};

// Element table of the corner records.
class KESTOVAR_API C2DPointExtMethods : public CPointElementMethods<C2DPointExt, ELEMENT_TYPE_2DPOINT_EXT> {
    KX_DECLARE_SERIAL(C2DPointExtMethods)
};

// The corners of the polygon being clipped: a point list of C2DPointExtMethods elements.
class KESTOVAR_API C2DPointExtList : public CPointList {
public:
    C2DPointExtList();
    ~C2DPointExtList() override;
    C2DPointExtList(const C2DPointExtList&) = delete;
    C2DPointExtList& operator=(const C2DPointExtList&) = delete;

    C2DPointExt* GetData() { return reinterpret_cast<C2DPointExt*>(m_pData); }
    const C2DPointExt* GetData() const { return reinterpret_cast<const C2DPointExt*>(m_pData); }
    C2DPointExt& operator[](int i) { return GetData()[i]; }
    const C2DPointExt& operator[](int i) const { return GetData()[i]; }
};

// Scratch state of the triangulation of many faces: the corner list and the triangle buffer are
// reused from face to face, so that splitting a face allocates nothing once they have grown. For
// C3DFace::Triangulate it also names where the triangles go: the view whose source points are
// projected, the destination face list and, for each channel that follows, its source and
// destination face lists (parallel to the geometric ones). Made by C3DFace::InitTriangulation,
// released by C3DFace::ReleaseTriangulation.
class KESTOVAR_API CTriangulateFaceHelper : public CXAllocated {
public:
    CTriangulateFaceHelper();
    ~CTriangulateFaceHelper();
    CTriangulateFaceHelper(const CTriangulateFaceHelper&) = delete;
    CTriangulateFaceHelper& operator=(const CTriangulateFaceHelper&) = delete;

    // Clips the polygon of `count` corners with point indices `indices` into `points` (of
    // `pointCount` points). Returns the number of triangles; GetTriangles() then holds three
    // corner numbers per triangle, in the order (ear corner, next, previous). 0 when the polygon
    // has fewer than 3 corners, an index out of range, a non-finite coordinate or no normal.
    int Clip(const C3DTPoint<float>* points, int pointCount, const int* indices, int count);
    const int* GetTriangles() const { return m_triangles.GetData(); }
    // Projects the polygon to its plane (the corners' x, y, corner numbers, point indices and
    // links, angles included) without clipping; false when it cannot be projected (as Clip).
    bool Project(const C3DTPoint<float>* points, int pointCount, const int* indices, int count);
    // The corners after projection (valid after Clip or Project).
    const C2DPointExtList& GetCorners() const { return m_corners; }

    // ---- destination of C3DFace::Triangulate ----
    // The view (its source points are projected) and the face list the triangles are written to
    // (none: C3DFace::Triangulate then writes into the helper's own list).
    void SetDestination(const CGeomInfo* geom, C3DFaceList* faces);
    // A channel that follows: face f of `src` is split like geometric face f into `dst`.
    void AddChannel(CFaceList* src, CFaceList* dst);
    const CGeomInfo* GetGeomInfo() const { return m_pGeom; }
    C3DFaceList* GetDestination() const { return m_pDestination; }
    // The helper's own face list (created empty on first use), for faces split on their own.
    C3DFaceList* GetOwnFaceList();
    int GetChannelCount() const { return m_channels.GetSize(); }
    CFaceList* GetChannelSource(int i) const { return m_channels[i].src; }
    CFaceList* GetChannelDestination(int i) const { return m_channels[i].dst; }

private:
    friend class C3DFace;
    friend class C3DFaceList;
    friend struct TriangulateSplitProbe;  // the tests reach Split and the quadrangle shortcut
    friend struct EarClipIndexProbe;      // the tests choose between Clip's walks and its index

    // One data chunk copied between two face lists, resolved once per pass instead of looked up
    // by identifier for every face.
    struct ChunkCopy {
        CElementArray* dst;
        const CElementArray* src;
        const CElementMethods* dstMethods;
        const CElementMethods* srcMethods;
        int bytes;    // bytes of a plain copy: the smaller of the two element sizes
        bool object;  // both tables copy element by element
    };
    // The copies of one (source, destination) pair of face lists, as ranges of m_plan: `cross`
    // copies the chunks of the destination that have a counterpart of a kind in the source (what
    // CFaceList::CopyFace from the source does), `self` every chunk of the destination onto
    // itself (what CopyFace within the destination does).
    struct ChunkPlan {
        int cross, crossCount;
        int self, selfCount;
        int mainBytes;  // both lists hold nothing but main data of this size (4 or 8), else 0
    };
    struct ChannelPair {
        CFaceList* src;
        CFaceList* dst;
        ChunkPlan plan;
    };

    void UpdateAngle(int corner);
    // Triangles of the polygon: the convex-quadrangle shortcut when it decides, else Clip.
    // Returns their number; `corners` then points at three corner numbers per triangle.
    int Split(const C3DTPoint<float>* points, int pointCount, const int* indices, int count,
              const int*& corners);
    // Split of two quadrangles (corner indices a and b) at once: their triangle counts in made[0]
    // and made[1], their corners in corners[0] and corners[1] (valid until the next split).
    void SplitQuadPair(const C3DTPoint<float>* points, int pointCount, const int* a, const int* b,
                       int made[2], const int* corners[2]);
    // Split of `count` (4 or 8) quadrangles (corner indices quads[0 .. count)) at once, as
    // SplitQuadPair; the lanes decide only where m_avx2 is set.
    void SplitQuadGroup(const C3DTPoint<float>* points, int pointCount, const int* const* quads, int count,
                        int* made, const int** corners);
    // Resolves the chunk copies from `src` into `dst` and, with `channels`, those of every channel
    // pair. Allocates only while m_plan grows.
    ChunkPlan PlanChunks(const CFaceList& src, CFaceList& dst);
    void PlanAll(const CFaceList& src, CFaceList& dst, bool channels);
    // For a plan of main data only: reads face f's main data into `main` and returns the first
    // destination slot (of `destination`).
    uint8_t* MainOnly(const ChunkPlan& plan, unsigned f, int destination, uint32_t main[2]) const;
    // Element `from` of the plan's source lists onto element `to` of its destination lists.
    void CopyChunks(int first, int count, unsigned to, unsigned from) const;
    // The `triangles` triangles of face `f` (corner indices `indices`, flag word `flags`) into
    // `dst` from `destination` (in range), chunk data from the face, flags without FACE_INVALID;
    // then, unless `geometryOnly`, the channels that follow.
    void WriteTriangles(unsigned f, const int* indices, int count, unsigned flags, const int* corners,
                        int triangles, CFaceList& dst, int destination, bool geometryOnly) const;
    // The channel part of WriteTriangles: the channel faces of face f (of `count` corners) split
    // or copied onto `destination` and the positions after it.
    void WriteChannelTriangles(unsigned f, int count, const int* corners, int triangles,
                               int destination) const;
    // AppendTriangles' part for the channels (all of main data only): what WriteChannelTriangles
    // writes, appended to each channel's records. A channel triangle left empty gets the record
    // the general pass lays out at its position: `layout` gives the sizes it lays out (null: every
    // face splits, and the records are empty with room for three corners).
    void AppendChannelTriangles(unsigned f, int count, const int* corners, int triangles, int destination,
                                const unsigned* layout) const;
    // AppendTriangles' part for the channels of a face copied whole (of `count` corners).
    void AppendChannelCopies(unsigned f, unsigned count, int destination) const;
    // The pass of C3DFaceList::Triangulate when every list, the channels' included, holds nothing
    // but main data (planned): each face of `src` that takes part (more than 3 corners, flags
    // against `mask` giving `value`) has its triangles appended to the records of `dst` and of
    // the channel lists, with its main data and its flag word without FACE_INVALID; every other
    // face is appended unchanged. The lists' chunks are sized and room for the records reserved,
    // no records yet; `layout` as for AppendChannelTriangles. The same faces as DoTriangulation,
    // without laying the records out first. Returns the number of faces written.
    int AppendTriangles(const CFaceList& src, const C3DTPoint<float>* points, int pointCount, CFaceList& dst,
                        unsigned mask, bool value, const unsigned* layout);
    // Face f copied unchanged onto face `to` of the destination and of every channel.
    void CopyWhole(const CFaceList& src, unsigned f, CFaceList& dst, unsigned to) const;
    // The face-list pass reaching face f: a progress step once f has moved by the scope's
    // granularity (one comparison otherwise).
    void Progress(unsigned f) {
        if (f >= m_nextStep) [[unlikely]]
            StepProgress(f);
    }
    void StepProgress(unsigned f);

    C2DPointExtList m_corners;
    CXArray<int> m_triangles;
    CXArray<int> m_stage;  // AppendTriangles' block of triangle corners (point indices)
    int m_quick[6];    // triangles of the convex-quadrangle shortcut
    int m_pair[2][6];  // triangles of the two quadrangles of SplitQuadPair
    int m_group[8][6];  // triangles of the quadrangles of SplitQuadGroup
    bool m_avx;        // SplitQuadPair decides in its AVX form (set when the processor has AVX)
    bool m_avx2;       // the face-list pass splits 4 or 8 quadrangles at once (the processor has AVX2)
    const CGeomInfo* m_pGeom;
    C3DFaceList* m_pDestination;  // not owned
    C3DFaceList* m_pOwn;          // owned
    detail::CEarClipIndex* m_pIndex;  // owned; Clip's searches over long polygons
    int m_indexFrom;                  // Clip indexes polygons of this many corners and more
    CXArray<ChannelPair> m_channels;
    CXArray<ChunkCopy> m_plan;
    ChunkPlan m_geomPlan;
    CProgressScope* m_pProgress;  // not owned; set for the pass of C3DFaceList::Triangulate only
    unsigned m_nextStep;          // the face at which Progress steps next (never without a scope)
};

}  // namespace kestovar
