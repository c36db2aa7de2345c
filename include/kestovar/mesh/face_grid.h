// C3DFaceGridMap: a uniform grid over the faces of a C3DFaceList, answering "which face is closest
// to this point, and how far is it" exactly.
//
// Storage. Every face of the list has one cache entry in the face data chunk FGCH
// (CGridFaceCacheMethods): the triangle's three corners copied from the point list, so that a query
// reads one contiguous 40-byte record per face instead of the face record, its offset and three
// point records. The grid itself keeps only the face indices of each cell, in one array sorted by
// cell; which cells are occupied is a bit per cell with a running count per block of 4 x 4 x 4
// cells, so an empty cell costs a bit and the cell table stays small even when most of the box is
// empty. Cells are numbered block after block, so that the cells around a point share one to a few
// occupancy words and lie close together in the arrays (about 25 bytes per triangle on a closed
// surface of a million triangles, besides the 40-byte cache entries).
//
// Cell size. The edge of a cell is kCellScale times the square root of the mean face area, so that a
// cell holds a few faces whatever the mesh's scale and density; but when the faces would each cross
// more than 32 such cells on average (slivers far longer than wide, such as a fan's spokes), the
// edge is half the median extent of the faces instead; the count of cells is then capped
// at kMaxCellsPerFace per face (the cell grows when the box is large compared to the surface, e.g.
// a long thin object). A few stray faces far from all the others (a triangle left a million
// units off, or the slivers of one stray point) would make the box, and so the cells, huge and
// crowd the real surface into a handful of cells: up to kStraySide faces whose centres lie beyond
// all the others on one side of an axis are kept out of the grid when the others' box is at
// least kStrayShrink times smaller, and every query measures them after the cells. So are up to
// kHugeFaces faces each at least kHugeFaceFactor times the mean area of the rest and together
// holding at least as much area (a ground quadrangle under a detailed model, which would set
// both the mean area and the box), and so is any face
// that would fill a large share of the cells (more than 4096 of them and one in 64), such as every
// face of a mesh stretched along one axis, which would otherwise be filed in every cell.
//
// Reach. A query from a point on or near the surface inspects its own cell and the 26 around it
// at most, and prunes most of those by their distance, so it costs O(1) cells. A query whose
// answer lies beyond four shells of cells around it (a point far off the surface, or outside the
// grid: the other mesh of a comparison placed elsewhere) goes on down a tree of occupancy words
// over the blocks, nearest unit first, so that it visits the occupied cells near its answer and
// not the empty space around it.
//
// Crowded cells. Around the centre of a fan every spoke passes through the same few cells, and each
// query there measured every spoke: comparing a cone of 50,000 spokes took seconds. A cell holding
// more than 128 faces also keeps a tree of its faces, halved at the median of their centres down
// to leaves of 16, each node bounded by its box and by a slab along its faces' mean normal; the
// query descends it nearest bound first. A slab is thin where its faces lie nearly in one plane
// (a few neighbouring spokes), so it sets the spokes on the far side of the fan's centre apart,
// which a box holding the centre cannot. A tree takes about 18 bytes per face of its cell.
//
// Query. The occupied cells of the point's neighbourhood are measured nearest first; within a
// cell, a face whose box (from its cache entry) lies beyond the best distance so far is passed
// over before the exact point-triangle distance, which only the few faces near the point need.
// Pruning keeps a slack of 1e-9 of the coordinates' magnitude, so that rounding never passes over
// a face as close as the best one.
//
// Validity. The map records the change stamps of the face list and the point list it was built
// from. C3DFaceList::GetFaceGridMap rebuilds it when either changed; code that moves points
// without raising their list's stamp (Invalidate(1) on the object, or POINTLIST_CHANGED) must
// call DeleteFaceGridMap itself. A map reads the face list's FGCH chunk in place: it may be queried
// from any number of threads at once, but only until the lists change.
#pragma once

#include <cmath>
#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/element_array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"

namespace kestovar {

class C3DFaceList;
class C3DPointList;

// Element type of the per-face grid cache (GFCH).
constexpr uint32_t ELEMENT_TYPE_GRID_FACE_CACHE = 0x47464348;

// What a grid cache entry holds.
enum _GRIDFACE_KIND : uint32_t {
    GRIDFACE_EMPTY = 0,     // not in the grid: excluded by its flags, fewer than 3 points, an index
                            // outside the point list or a non-finite coordinate
    GRIDFACE_TRIANGLE = 1,  // corner[0..2] are the triangle's corners
    GRIDFACE_POLYGON = 2,   // more than 3 points, tested as the fan (0, i, i + 1) through the face
                            // record; corner[0] and corner[1] are its box's corners
};

// One face's grid cache entry (40 bytes). A new entry is empty (all zero).
struct _GridFaceCache {
    float corner[3][3];
    uint32_t kind;  // _GRIDFACE_KIND
};

// Element table of the FGCH chunk. Plain bytes; its class cannot be created from an archive, so a
// face list stores the chunk without its elements and a loaded list has no cache (it is rebuilt on
// demand).
class KESTOVAR_API CGridFaceCacheMethods : public CElementMethods {
    KX_DECLARE_DYNAMIC(CGridFaceCacheMethods)
public:
    bool IsObject() const override { return false; }
    int GetSizeof() const override { return int(sizeof(_GridFaceCache)); }
    uint32_t GetType() const override { return ELEMENT_TYPE_GRID_FACE_CACHE; }
    uint32_t GetBaseType() const override { return ELEMENT_TYPE_GRID_FACE_CACHE; }
    void ConstructElement(void* element) const override;

    // The table shared by every face list (one process-wide instance; take a reference to keep it).
    static CGridFaceCacheMethods* GetShared();
};

// Work counters of closest-face queries. A query adds to the counters it is given; the process-wide
// counters (GetGlobalCounters) collect what callers hand to AddToGlobalCounters.
struct CFaceGridStats {
    uint64_t queries = 0;         // closest-face queries
    uint64_t pointSegment = 0;    // point-to-segment distances computed (edge regions, degenerate faces)
    uint64_t cellsInspected = 0;  // occupied cells whose faces were examined

    void Add(const CFaceGridStats& o) {
        queries += o.queries;
        pointSegment += o.pointSegment;
        cellsInspected += o.cellsInspected;
    }
};

// Closest point of the triangle (a, b, c) to p, in double precision, by the Voronoi regions of the
// triangle (vertex, edge or face region). A triangle whose area is negligible against its longest
// edge (|ab x ac|^2 <= 1e-16 * longest^4, so its height is below 1e-8 of its longest edge) is
// measured as its three edges, and a zero-length edge as a point. Returns the squared distance and
// writes the closest point when `closest` is not null; adds the point-to-segment distances it
// computed to `pointSegment` when not null.
KESTOVAR_API double meshClosestPointOnTriangle(const double p[3], const double a[3], const double b[3],
                                               const double c[3], double* closest = nullptr,
                                               uint64_t* pointSegment = nullptr);

class KESTOVAR_API C3DFaceGridMap : public CXObject, public CInstanciatedObject {
    KX_DECLARE_DYNAMIC(C3DFaceGridMap)
public:
    using CXAllocated::operator new;
    using CXAllocated::operator delete;

    // Cell edge = kCellScale * sqrt(mean face area).
    static constexpr double kCellScale = 1.5;
    // When a face would cross more than kMaxCellsAcross such cells on average, the cell edge is
    // kCellSpanScale times the median extent of the faces' boxes instead (see the header comment).
    static constexpr double kMaxCellsAcross = 32.0;
    static constexpr double kCellSpanScale = 0.5;
    // At most this many cells per indexed face (and never more than kMaxCells).
    static constexpr unsigned kMaxCellsPerFace = 32;
    static constexpr unsigned kMaxCells = 1u << 30;
    // Stray faces kept out of the cells (see the header comment): at most this many per side of
    // an axis, when the box shrinks this many times without them.
    static constexpr unsigned kStraySide = 16;
    static constexpr double kStrayShrink = 8.0;
    // Huge faces kept out of the cells (see the header comment): at most this many, each at
    // least this many times the mean area of the others.
    static constexpr unsigned kHugeFaces = 32;
    static constexpr double kHugeFaceFactor = 64.0;
    // Faces kept out of the cells by the last build (strays, huge faces, and faces that would
    // fill too many cells).
    unsigned int GetStrayFaceCount() const { return unsigned(m_stray.GetSize()); }

    // An empty map (no cell; every query finds nothing).
    C3DFaceGridMap();
    ~C3DFaceGridMap() override;
    C3DFaceGridMap(const C3DFaceGridMap&) = delete;
    C3DFaceGridMap& operator=(const C3DFaceGridMap&) = delete;

    // (Re)builds the map over the faces of `faces` whose flags share no bit with `excludeMask`,
    // with the coordinates of `points`: writes every face's FGCH entry (adding the chunk when
    // absent), chooses the cell size, and registers each face in every cell its triangle touches.
    // Returns the number of faces indexed. A build cut short by an exception leaves the map empty,
    // never current.
    int Build(C3DFaceList& faces, const C3DPointList& points, unsigned int excludeMask);
    // True when the map was built from these two lists with this mask and neither list changed
    // (stamps and counts) since.
    bool IsCurrent(const C3DFaceList& faces, const C3DPointList& points, unsigned int excludeMask) const;

    // The face closest to p (coordinates in the mesh's units) among the indexed faces that lie
    // strictly closer than `maxDistance`; -1 when there is none (or p is not finite), then
    // `distance` is +infinity. `distance` receives the exact Euclidean distance and `closest`, when
    // not null, the closest point. `hint` (a face index, -1 for none) is measured first: a face
    // close to p, such as the previous query's answer for a nearby point, lets the search prune
    // more. Among faces at the same distance the lowest index wins, so neither the hint nor the
    // order of the search changes the answer. Thread-safe; allocates nothing.
    // `closeEnough` (>= 0; negative for none) ends the search at the first face found at most that
    // far from p, which is returned whatever its index: for a caller to whom every distance up to
    // it means the same (a comparison rounds such distances to 0). Without it a point on a stack
    // of coincident faces measures every face of the stack to find the lowest index among them.
    int GetClosestFace(const double p[3], double& distance, double maxDistance = HUGE_VAL,
                       CFaceGridStats* stats = nullptr, int hint = -1, double* closest = nullptr,
                       double closeEnough = -1.0) const;
    int GetClosestFace(const C3DTPoint<float>& p, double& distance, double maxDistance = HUGE_VAL,
                       CFaceGridStats* stats = nullptr) const {
        const double q[3] = {p.x, p.y, p.z};
        return GetClosestFace(q, distance, maxDistance, stats);
    }
    // Squared distance from p to indexed face f (+infinity for a face that is not indexed).
    double GetFaceSquaredDistance(const double p[3], unsigned int f, double* closest = nullptr,
                                  uint64_t* pointSegment = nullptr) const;

    // ---- description ----
    int GetIndexedFaceCount() const { return m_nIndexedFaces; }
    double GetCellSize() const { return m_cellSize; }
    // Cells along x, y, z (0 for an empty map).
    unsigned int GetCellCount(int axis) const { return m_dims[axis]; }
    unsigned int GetOccupiedCellCount() const { return m_nOccupied; }
    // Face references over all cells (a face touching k cells counts k times; a crowded cell keeps
    // one of several triangles with the very same corners, the lowest index).
    unsigned int GetEntryCount() const { return unsigned(m_entries.GetSize()); }
    // Crowded cells searched through a tree of their faces (see the header comment).
    unsigned int GetCrowdTreeCount() const { return unsigned(m_crowdCells.GetSize()); }
    // Corner of the grid with the smallest coordinates.
    const double* GetOrigin() const { return m_origin; }

    // ---- large pages (process-wide; off unless a host asks) ----
    // When on, maps built from then on put their tables and the face cache chunk they write on
    // large pages where the system offers them (see kestovar/platform/huge_pages.h): on a surface of
    // a million triangles a random-order query costs about a tenth less, as most of its scattered
    // loads no longer miss the translation cache, but the build may take longer while the system
    // finds and clears 2 MiB pages (from a few percent to half again as long, depending on the
    // state of its memory). Worth it for a map that answers many queries. Answers are the same.
    static void SetLargePages(bool on);
    static bool GetLargePages();

    // ---- process-wide diagnostic counters (atomic, relaxed: diagnostics only) ----
    static void ResetGlobalCounters();
    static void AddToGlobalCounters(const CFaceGridStats& stats);
    static CFaceGridStats GetGlobalCounters();

private:
    // 64 cells: their occupancy bits and the number of occupied cells before them.
    struct CellWord {
        uint64_t bits;
        uint32_t rank;
        uint32_t pad;
    };

    void Clear();
    // Build's work; Build empties the map when it throws.
    int BuildLists(C3DFaceList& faces, const C3DPointList& points, unsigned int excludeMask);
    // Set bits of v, in plain integer operations (no library call where the target lacks the
    // instruction).
    static unsigned CountBits(uint64_t v) {
        v = v - ((v >> 1) & 0x5555555555555555ull);
        v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
        v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return unsigned((v * 0x0101010101010101ull) >> 56);
    }
    // Code of cell (x, y, z): the cells are numbered by blocks of 4 x 4 x 4 (64 codes, one
    // occupancy word, per block), so that the cells around a point share few words and lie close
    // together in m_starts and m_entries.
    uint64_t CellCode(unsigned x, unsigned y, unsigned z) const {
        const uint64_t block = (uint64_t(z >> 2) * m_blocks[1] + (y >> 2)) * m_blocks[0] + (x >> 2);
        return block << 6 | (z & 3) << 4 | (y & 3) << 2 | (x & 3);
    }
    // Levels of the occupancy tree: level 0 is a cell, level 1 a block of 4 x 4 x 4 cells (its
    // word in m_words), level L >= 2 a unit of 4 x 4 x 4 units of level L - 1 (one word in m_tree
    // with a bit per child that holds an occupied cell, bit (z & 3) << 4 | (y & 3) << 2 | (x & 3)
    // as in CellCode). The top level has a single unit.
    static constexpr int kMaxLevels = 20;
    // Builds the levels above the blocks from m_words.
    void BuildTree();
    // Moves stray faces (see the header comment) from the grid to m_stray, shrinking the box
    // lo, hi to the other faces; nothing when there are none. Reads the cache entries of pass 1
    // of Build.
    void KeepStrayFacesApart(double* lo, double* hi);
    // Over a sample of the indexed faces other than the strays: the median of the largest sides of
    // their boxes, and the mean of the sums of the three sides (both 0 without any).
    void SampleFaceExtents(double& median, double& meanSpan) const;
    // Moves the faces other than strays whose area is at least `from` to m_stray in the same way
    // (lo, hi and `area` become the other faces' box and area, summed anew); nothing when no
    // other face would be left.
    void KeepHugeFacesApart(const C3DTPoint<float>* pts, double from, double* lo, double* hi, double& area);
    // The children's word of unit (x, y, z) of `level` >= 1.
    uint64_t TreeWord(int level, unsigned x, unsigned y, unsigned z) const;
    // Nearest-first descent of the occupancy tree from the top, measuring (measure(occupied
    // index)) every occupied cell whose box lies within limit2, except the cells of the box
    // [lo, hi] that the shell walk has measured already. limit2 shrinks as measure finds faces.
    template <class Measure>
    void WalkTree(const double p[3], const double& limit2, const int* lo, const int* hi, Measure& measure) const;

    // A node of the tree of a crowded cell (see BuildCrowdTrees). Its bounds hold every corner of
    // its triangles: the box, and the slab between two planes of normal `normal` (unit length, or
    // zero when the node has none: a polygon among its faces, or normals that cancel out).
    struct CrowdNode {
        double normal[3];
        double slabLo, slabHi;  // range of normal . corner
        float lo[3], hi[3];     // box
        unsigned first;         // a leaf's faces start at m_entries[first]; an inner node's
                                // two children are m_crowdNodes[first] and [first + 1]
        unsigned count;         // a leaf's face count; kInnerNode for an inner node
    };
    static constexpr unsigned kInnerNode = ~0u;
    // Builds a tree over the faces of each occupied cell of `cells` (ascending; each holding more
    // than kCrowdedCell faces after its copies were dropped): each node's faces are split in two
    // halves at the median of their centres along the axis on which the centres spread most,
    // down to leaves of at most kCrowdLeaf faces. Each cell's list in m_entries is reordered so
    // that every node's faces lie together in it.
    void BuildCrowdTrees(const CXArray<uint32_t>& cells);
    // Root node of the tree of occupied cell `occupied`, or -1 when it has none.
    int CrowdRoot(uint32_t occupied) const;
    // A cell holding more faces than this is crowded: copies of one triangle are dropped from its
    // list, it gets a tree, and a list this long tests the faces whose boxes pass against their
    // planes too.
    static constexpr unsigned kCrowdedCell = 128;
    static constexpr unsigned kCrowdLeaf = 16;
    // Deepest descent of a tree: the halving keeps it within 32 levels.
    static constexpr int kMaxCrowdDepth = 33;

    // Index of the occupied cell of code `cell` in m_starts, or -1 for an empty cell.
    int64_t OccupiedIndex(uint64_t cell) const {
        const CellWord& w = m_words[int(cell >> 6)];
        uint64_t bit = uint64_t(1) << (cell & 63);
        if (!(w.bits & bit)) return -1;
        return int64_t(w.rank) + CountBits(w.bits & (bit - 1));
    }

    // Build inputs, to tell whether the map is still current.
    const C3DFaceList* m_pFaces;
    const C3DPointList* m_pPoints;
    unsigned int m_faceStamp;
    unsigned int m_pointStamp;
    int m_nFaceCount;
    int m_nPointCount;
    unsigned int m_excludeMask;

    // The FGCH entries of the faces (owned by the face list).
    const _GridFaceCache* m_pCache;
    int m_nIndexedFaces;
    bool m_bHasPolygons;

    double m_origin[3];
    double m_cellSize;
    double m_invCellSize;
    unsigned int m_dims[3];
    unsigned int m_blocks[3];  // blocks of 4 x 4 x 4 cells along x, y, z (m_dims rounded up)
    unsigned int m_nOccupied;
    CXArray<CellWord> m_words;
    CXArray<unsigned int> m_starts;   // m_nOccupied + 1 offsets into m_entries
    CXArray<unsigned int> m_entries;  // face indices, cell by cell, each cell's in increasing order
                                      // (a crowded cell's in the order of its tree's leaves)
    // The occupancy tree above the blocks (see kMaxLevels): m_nTop is the top level (1 when the
    // grid is one block), level L's words start at m_treeStart[L] in m_tree, m_treeDims[L] units
    // along x, y, z.
    int m_nTop;
    unsigned int m_treeStart[kMaxLevels + 1];
    unsigned int m_treeDims[kMaxLevels + 1][3];
    CXArray<uint64_t> m_tree;
    // Indexed faces kept out of the cells (stray faces far from the rest), ascending; every query
    // measures them after the cells.
    CXArray<unsigned int> m_stray;
    // The trees of the crowded cells: their nodes, and (occupied index << 32 | root node) per
    // cell with a tree, ascending.
    CXArray<CrowdNode> m_crowdNodes;
    CXArray<uint64_t> m_crowdCells;
};

}  // namespace kestovar
