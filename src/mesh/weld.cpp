// Welding of points that lie together: the grid for a weld distance, the proximity map and
// C3DGeomObject::Weld3DPoints.
#include "kestovar/mesh/weld.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <typeinfo>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/prefetch.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/log.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_grid.h"
#include "kestovar/mesh/point_list.h"
#include "adjacency_internal.h"
#include "point_cell.h"
#include "point_record.h"

namespace kestovar {

// ---- proximity map -----------------------------------------------------------------------------

WeldProximityMap::WeldProximityMap() : m_pBuffer(nullptr), m_nCapacity(0), m_pGrid(nullptr) { Reserve(512); }

WeldProximityMap::~WeldProximityMap() {
    xfree(m_pBuffer);
    XRelease(m_pGrid);
}

void WeldProximityMap::SetGrid(C3DPointGridMap* grid) {
    if (grid == m_pGrid) return;
    XRelease(m_pGrid);
    m_pGrid = grid;
}

int* WeldProximityMap::Reserve(int count) {
    if (count <= m_nCapacity) return m_pBuffer;
    int capacity = m_nCapacity > 0 ? m_nCapacity : 512;
    while (capacity < count) capacity *= 2;
    m_pBuffer = static_cast<int*>(xrealloc(m_pBuffer, size_t(capacity) * sizeof(int)));
    m_nCapacity = capacity;
    return m_pBuffer;
}

// ---- grid for a tolerance ----------------------------------------------------------------------

namespace {

// The box of the points whose three coordinates are finite: widened by every smaller or larger
// coordinate in order, as C3DPointList::GetBoundingBox widens its box, free of the per-point tests
// of the general form. Points with an infinite or NaN coordinate get no grid cell, and leaving
// them out keeps the grid's frame that of the other points: one such point would otherwise make
// the box infinite or NaN, the cells unusable, and every finite point a neighbour of every other.
class CBoxOfPoints {
public:
    CBoxOfPoints() {
        const float inf = std::numeric_limits<float>::infinity();
#if defined(__SSE2__)
        m_lo = _mm_set1_ps(inf);
        m_hi = _mm_set1_ps(-inf);
#else
        for (int k = 0; k < 3; ++k) m_lo[k] = inf, m_hi[k] = -inf;
#endif
    }
    void Add(const C3DTPoint<float>& p) {
#if defined(__SSE2__)
        // minps(v, lo) is v < lo ? v : lo lane by lane, the scalar rule, signed zeros included;
        // one accumulator keeps the order of the comparisons. Finiteness is read from the
        // exponent bits, since the flag lane may hold a denormal pattern that would slow
        // floating-point arithmetic down.
        const __m128 v = Load(p);
        const __m128i exponent = _mm_set1_epi32(0x7F800000);
        const __m128i bad = _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(v), exponent), exponent);
        if (_mm_movemask_ps(_mm_castsi128_ps(bad)) & 0xE) return;
        m_lo = _mm_min_ps(v, m_lo);
        m_hi = _mm_max_ps(v, m_hi);
#else
        const float v[3] = {p.x, p.y, p.z};
        if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2])) return;
        for (int k = 0; k < 3; ++k) {
            m_lo[k] = v[k] < m_lo[k] ? v[k] : m_lo[k];
            m_hi[k] = v[k] > m_hi[k] ? v[k] : m_hi[k];
        }
#endif
    }
    // The box; not valid when no point had three finite coordinates.
    C3DTBBox<float> Get() const {
        float lo[3], hi[3];
#if defined(__SSE2__)
        float l[4], h[4];
        _mm_storeu_ps(l, m_lo);
        _mm_storeu_ps(h, m_hi);
        for (int k = 0; k < 3; ++k) lo[k] = l[k + 1], hi[k] = h[k + 1];
#else
        for (int k = 0; k < 3; ++k) lo[k] = m_lo[k], hi[k] = m_hi[k];
#endif
        C3DTBBox<float> box;
        if (lo[0] > hi[0]) return box;
        C3DTPoint<float> a, b;
        a.Init(lo[0], lo[1], lo[2]);
        b.Init(hi[0], hi[1], hi[2]);
        box.Set(a, b);
        return box;
    }

private:
#if defined(__SSE2__)
    // The flag word and the three coordinates of a record in one load (lane 0, the flags, is
    // ignored).
    static __m128 Load(const C3DTPoint<float>& p) { return _mm_loadu_ps(detail::PointRecordWords(p)); }
    __m128 m_lo, m_hi;
#else
    float m_lo[3], m_hi[3];
#endif
};

C3DTBBox<float> BoxOfFinitePoints(const C3DPointList& points) {
    const int n = points.GetSize();
    const C3DTPoint<float>* p = points.GetPoints();
    CBoxOfPoints box;
    for (int i = 0; i < n; ++i) box.Add(p[i]);
    return box.Get();
}

// Origin and cell size of the grid for a weld tolerance (see GetGridCoordMap) from the box of the
// points.
double FrameOfBox(const C3DTBBox<float>& box, double tolerance, bool absolute, bool shift, double origin[3]) {
    double d;
    if (tolerance == 0.0) {
        d = box.IsValid() ? box.GetDiagonal() * 1.5 / 2147483647.0 : 0.0;
    } else if (!absolute) {
        d = C3DPointGridMap::GetAbsoluteDistance(tolerance, box);
    } else {
        d = tolerance;
    }
    origin[0] = origin[1] = origin[2] = 0.0;
    if (box.IsValid()) {
        origin[0] = box.GetMin().x;
        origin[1] = box.GetMin().y;
        origin[2] = box.GetMin().z;
    }
    if (shift) {
        // Moving the origin back by a quarter cell moves every cell boundary off the round
        // coordinates where model points tend to sit.
        for (int k = 0; k < 3; ++k) origin[k] -= d / 4.0;
    }
    return d;
}

// The same from the points; 0 without points.
double GridFrame(const C3DPointList& points, double tolerance, bool absolute, bool shift, double origin[3]) {
    return FrameOfBox(BoxOfFinitePoints(points), tolerance, absolute, shift, origin);
}

}  // namespace

C3DPointGridMap* C3DPointList::GetGridCoordMap(double tolerance, bool absolute, bool shift) const {
    int n = GetSize();
    if (n <= 0) return nullptr;
    double origin[3];
    double d = GridFrame(*this, tolerance, absolute, shift, origin);
    XHeld<C3DPointGridMap> grid(new C3DPointGridMap);
    grid->Init(GetPoints(), n, origin, d);
    return grid.release();
}

WeldProximityMap* C3DPointList::InitWeldMap(double tolerance, bool absolute) const {
    XHeld<C3DPointGridMap> grid(GetGridCoordMap(tolerance, absolute, false));
    if (!grid) return nullptr;
    std::unique_ptr<WeldProximityMap> map(new WeldProximityMap);
    map->SetGrid(grid.release());
    return map.release();
}

const int* C3DPointList::Get3DProximityPoints(int p, WeldProximityMap* map, int& count) const {
    count = 0;
    if (!map || !map->GetGrid()) return nullptr;
    const C3DPointGridMap& grid = *map->GetGrid();
    int cell[3];
    if (!grid.GetPointCell(p, cell)) return nullptr;
    int* out = map->GetBuffer();
    int capacity = map->GetCapacity();
    for (int dz = -1; dz <= 1; ++dz)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                for (int q = grid.GetFirstPoint(cell[0] + dx, cell[1] + dy, cell[2] + dz); q >= 0;
                     q = grid.GetNext(q)) {
                    if (q == p) continue;
                    if (count == capacity) {
                        out = map->Reserve(capacity * 2);
                        capacity = map->GetCapacity();
                    }
                    out[count++] = q;
                }
            }
    return out;
}

void C3DPointList::DeleteWeldMap(WeldProximityMap* map) { delete map; }

// ---- Weld3DPoints --------------------------------------------------------------------------------

namespace {

struct WeldFilter {
    unsigned int mask;
    unsigned int mode;
};

// Whether a point with `flags` may gather neighbours.
bool IsSeedAllowed(const WeldFilter* filters, int count, unsigned int flags) {
    for (int i = 0; i < count; ++i) {
        bool shares = (flags & filters[i].mask) != 0;
        if ((filters[i].mode & WELD_FILTER_SEED_IF_ANY) && shares) return false;
        if ((filters[i].mode & WELD_FILTER_SEED_IF_NONE) && !shares) return false;
    }
    return true;
}

// Whether a neighbour with `flags` may be merged.
bool IsNeighbourAllowed(const WeldFilter* filters, int count, unsigned int flags) {
    for (int i = 0; i < count; ++i) {
        bool shares = (flags & filters[i].mask) != 0;
        if ((filters[i].mode & WELD_FILTER_NEIGHBOUR_IF_ANY) && shares) return false;
        if ((filters[i].mode & WELD_FILTER_NEIGHBOUR_IF_NONE) && !shares) return false;
    }
    return true;
}

// Squared distance with the differences taken in single precision and summed in double.
inline double SquaredDistance(const C3DTPoint<float>& a, const C3DTPoint<float>& b) {
    float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return double(dx) * dx + double(dy) * dy + double(dz) * dz;
}

// ---- coincident points: one hashing pass ---------------------------------------------------------
//
// At tolerance 0 the cells are about 1e-9 of the box diagonal, far below the spacing of
// single-precision coordinates almost everywhere. Along an axis where a point's coordinate v has
// both neighbouring float values at least three cells away, no other point can sit in the cell of
// v or the next one unless it has exactly the coordinate v; call such a coordinate coarse, the
// others (within about 1e-2 of the diagonal of zero) fine. Two distinct occupied cells can only
// touch if, along every axis where they differ, two distinct fine coordinates fall in
// neighbouring cells. So the weld groups the points by position in one hashing pass, which also
// takes the box, then looks at cells only for the distinct positions with a fine coordinate (see
// WeldCoincident). Commonly no axis has two distinct fine coordinates in one cell or in
// neighbouring cells: then every position is a cell of its own, no two cells touch, and each
// point goes to the first point at its position (ClassifyByAxes). Otherwise the positions are
// grouped by cell, keeping per axis the set of cells of the fine coordinates: when no axis has
// two neighbouring cells in its set, no two occupied cells touch and the grid weld reduces to
// "every point goes to the first point of its own cell". Otherwise the occupied cells are
// checked for occupied neighbours along those axes, and only if one is found does the general
// grid weld run (ClassifyByCells). The result is always the grid weld's.

enum class CoincidentWeld { kDone, kCancelled, kNeedsGrid };

// The progress steps of a pass over points 0, 1, ..., n - 1 of a scope that starts at 0, with
// Step called only where it queries the host (every granularity points from 0: a fresh scope's
// first Step queries) and at the last point, so that the host sees the same messages as with a
// Step per point and the loop pays one comparison per point.
class CPassSteps {
public:
    explicit CPassSteps(CProgressScope& scope) : m_scope(scope), m_step(scope.GetGranularity()) {}
    // True when the host asked to cancel at this point. `p` goes up by one from 0.
    bool At(int p) {
        if (p != m_next) return false;
        m_next += m_step;
        return m_scope.Step(p);
    }
    // Ends the pass at `last` (the position a Step per point leaves behind).
    void Finish(int last) { m_scope.Step(last); }

private:
    CProgressScope& m_scope;
    int m_next = 0;
    int m_step;
};

// Slots of an open-addressing table kept at most half full for `expected` entries: a power of two,
// at least 64, at most 2^30.
unsigned SlotsFor(unsigned expected) {
    unsigned slots = 64;
    while (slots < 2 * expected && slots < (1u << 30)) slots <<= 1;
    return slots;
}

// Open-addressing table (linear probing, at most half full) of the occupied cells: the cell and
// its first point (-1: empty slot).
struct CellSlot {
    int x, y, z;
    int first;
};

class CCellTable {
public:
    explicit CCellTable(unsigned expected) { Allocate(SlotsFor(expected)); }
    ~CCellTable() { xfree(m_slots); }
    CCellTable(const CCellTable&) = delete;
    CCellTable& operator=(const CCellTable&) = delete;

    static unsigned Hash(const int c[3]) { return detail::HashPointCell(c[0], c[1], c[2]); }
    void Prefetch(unsigned hash) const { detail::PrefetchLine(m_slots + (hash & m_mask)); }

    // The slot of cell c (hash = Hash(c)): the occupied slot holding it, or the empty slot where
    // it belongs.
    CellSlot* Find(const int c[3], unsigned hash) const {
        unsigned s = hash & m_mask;
        for (;;) {
            CellSlot* e = m_slots + s;
            if (e->first < 0 || (e->x == c[0] && e->y == c[1] && e->z == c[2])) return e;
            s = (s + 1) & m_mask;
        }
    }
    bool IsOccupied(int x, int y, int z) const {
        const int c[3] = {x, y, z};
        return Find(c, Hash(c))->first >= 0;
    }
    // Fills the empty slot `e` (from Find) with cell c and its first point.
    void Insert(CellSlot* e, const int c[3], int first) {
        e->x = c[0];
        e->y = c[1];
        e->z = c[2];
        e->first = first;
        if (2 * ++m_count > m_mask) Grow();
    }
    unsigned GetSlotCount() const { return m_mask + 1; }
    const CellSlot& GetSlot(unsigned s) const { return m_slots[s]; }

private:
    void Allocate(unsigned slots) {
        m_slots = static_cast<CellSlot*>(xmalloc(size_t(slots) * sizeof(CellSlot)));
        if (!m_slots) XThrow<CXMemoryException>();
        for (unsigned s = 0; s < slots; ++s) m_slots[s].first = -1;
        m_mask = slots - 1;
    }
    void Grow() {
        CellSlot* old = m_slots;
        const unsigned oldSlots = m_mask + 1;
        Allocate(oldSlots * 2);
        for (unsigned s = 0; s < oldSlots; ++s) {
            if (old[s].first < 0) continue;
            const int c[3] = {old[s].x, old[s].y, old[s].z};
            *Find(c, Hash(c)) = old[s];
        }
        xfree(old);
    }

    CellSlot* m_slots = nullptr;
    unsigned m_mask = 0;
    unsigned m_count = 0;
};

// Set of the cell coordinates met along one axis for fine coordinates, recording whether two of
// them are neighbours (differ by 1). Open addressing; INT_MIN marks an empty slot (never a cell
// coordinate, which stays within ±kMaxPointCellCoord).
class CAxisCellSet {
public:
    CAxisCellSet() { Allocate(64); }
    ~CAxisCellSet() { xfree(m_slots); }
    CAxisCellSet(const CAxisCellSet&) = delete;
    CAxisCellSet& operator=(const CAxisCellSet&) = delete;

    void Add(int c) {
        int* e = Find(c);
        if (*e == c) return;
        if (*Find(c - 1) == c - 1 || *Find(c + 1) == c + 1) m_bNeighbours = true;
        *e = c;
        if (2 * ++m_count > m_mask) Grow();
    }
    bool HasNeighbours() const { return m_bNeighbours; }

private:
    static unsigned Hash(int c) { return unsigned(uint64_t(uint32_t(c)) * 0x9E3779B97F4A7C15ull >> 32); }
    int* Find(int c) const {
        unsigned s = Hash(c) & m_mask;
        while (m_slots[s] != INT_MIN && m_slots[s] != c) s = (s + 1) & m_mask;
        return m_slots + s;
    }
    void Allocate(unsigned slots) {
        m_slots = static_cast<int*>(xmalloc(size_t(slots) * sizeof(int)));
        if (!m_slots) XThrow<CXMemoryException>();
        for (unsigned s = 0; s < slots; ++s) m_slots[s] = INT_MIN;
        m_mask = slots - 1;
    }
    void Grow() {
        int* old = m_slots;
        const unsigned oldSlots = m_mask + 1;
        Allocate(oldSlots * 2);
        for (unsigned s = 0; s < oldSlots; ++s)
            if (old[s] != INT_MIN) *Find(old[s]) = old[s];
        xfree(old);
    }

    int* m_slots = nullptr;
    unsigned m_mask = 0;
    unsigned m_count = 0;
    bool m_bNeighbours = false;
};

// Open-addressing table (linear probing, at most half full) of the distinct positions met, by the
// bits of their three coordinates, with the first point at that position (stored plus one, so
// that a zero-filled table is empty).
struct PositionSlot {
    uint32_t x, y, z;
    uint32_t rep1;  // first point + 1; 0: empty slot
};

// The representative a position's points take when each keeps itself (no cell).
constexpr uint32_t kOwnRep = 0xFFFFFFFFu;

class CPositionTable {
public:
    explicit CPositionTable(unsigned expected) { Allocate(SlotsFor(expected)); }
    ~CPositionTable() { xfree(m_slots); }
    CPositionTable(const CPositionTable&) = delete;
    CPositionTable& operator=(const CPositionTable&) = delete;

    // Multiplicative hashing of the 64-bit pair (x, y) and of z, combined: the top bits of each
    // product depend on every bit of its input, and the table takes the top bits.
    static uint64_t Hash(const uint32_t k[3]) {
        const uint64_t xy = uint64_t(k[0]) | uint64_t(k[1]) << 32;
        return xy * 0x9E3779B97F4A7C15ull ^ uint64_t(k[2]) * 0xC2B2AE3D27D4EB4Full;
    }
    unsigned SlotOf(uint64_t hash) const { return unsigned(hash >> m_shift); }
    void Prefetch(uint64_t hash) const { detail::PrefetchLine(m_slots + SlotOf(hash)); }

    // The slot of position k (hash = Hash(k)): the occupied slot holding it, or the empty slot
    // where it belongs.
    PositionSlot* Find(const uint32_t k[3], uint64_t hash) const {
        unsigned s = SlotOf(hash);
        for (;;) {
            PositionSlot* e = m_slots + s;
            if (e->rep1 == 0 || (e->x == k[0] && e->y == k[1] && e->z == k[2])) return e;
            s = (s + 1) & m_mask;
        }
    }
    // Fills the empty slot `e` (from Find) with position k and its first point + 1; slot
    // pointers are invalid afterwards (the table may grow).
    void Insert(PositionSlot* e, const uint32_t k[3], uint32_t rep1) {
        e->x = k[0];
        e->y = k[1];
        e->z = k[2];
        e->rep1 = rep1;
        if (2 * ++m_count > m_mask) Grow();
    }

private:
    void Allocate(unsigned slots) {
        m_slots = static_cast<PositionSlot*>(xcalloc(slots, sizeof(PositionSlot)));
        if (!m_slots) XThrow<CXMemoryException>();
        m_mask = slots - 1;
        int bits = 0;
        while ((1u << bits) < slots) ++bits;
        m_shift = 64 - bits;
    }
    void Grow() {
        PositionSlot* old = m_slots;
        const unsigned oldSlots = m_mask + 1;
        Allocate(oldSlots * 2);
        for (unsigned s = 0; s < oldSlots; ++s) {
            if (old[s].rep1 == 0) continue;
            const uint32_t k[3] = {old[s].x, old[s].y, old[s].z};
            *Find(k, Hash(k)) = old[s];
        }
        xfree(old);
    }

    PositionSlot* m_slots = nullptr;
    unsigned m_mask = 0;
    unsigned m_shift = 0;
    unsigned m_count = 0;
};

// A distinct position: its first point and its coordinates, kept in the order of the first points
// so that the classification reads them in one sequential sweep instead of visiting the records.
struct FirstPosition {
    unsigned point;
    float v[3];
};

// A coordinate far enough from zero that distinct floats of its magnitude lie cells apart (at
// least `fine` in magnitude) and finite: such a coordinate needs no look at the cells around it.
inline bool IsCoarse(float v, float fine) {
    return std::fabs(v) >= fine && std::fabs(v) <= FLT_MAX;
}

// The classification of the distinct positions (`firsts`, in the order of their first points) by
// cell, for a frame of origin `origin`, cell size d (1 / d in `inv`, 0 without a usable size) and
// fine threshold `fine`: a position with a fine coordinate takes the first point of its cell (the
// first position to reach it keeps itself), a position without a cell keeps each of its points
// alone; `move(f, to)` reports the positions that do not keep their first point f. kNeedsGrid
// when two distinct occupied cells touch.
template <class Move>
CoincidentWeld ClassifyByCells(const C3DTPoint<float>* pts, const CXArray<FirstPosition>& firsts, const double origin[3],
                               double d, double inv, float fine, bool usable, Move&& move) {
    CCellTable cells(16);
    CAxisCellSet axes[3];
    for (const FirstPosition& first : firsts) {
        const unsigned f = first.point;
        C3DTPoint<float> v;
        v.Init(first.v[0], first.v[1], first.v[2]);
        // Infinite and NaN coordinates are never coarse: the cell computation rejects them.
        if (IsCoarse(v.x, fine) && IsCoarse(v.y, fine) && IsCoarse(v.z, fine)) continue;
        int c[3];
        if (!detail::PointCellCoord(v.x, origin[0], d, inv, c[0]) || !detail::PointCellCoord(v.y, origin[1], d, inv, c[1]) ||
            !detail::PointCellCoord(v.z, origin[2], d, inv, c[2])) {
            move(f, kOwnRep);
            continue;
        }
        CellSlot* e = cells.Find(c, CCellTable::Hash(c));
        if (e->first >= 0) {
            move(f, unsigned(e->first));
            continue;
        }
        cells.Insert(e, c, int(f));
        if (std::fabs(v.x) < fine) axes[0].Add(c[0]);
        if (std::fabs(v.y) < fine) axes[1].Add(c[1]);
        if (std::fabs(v.z) < fine) axes[2].Add(c[2]);
    }

    // Along the axes where two fine coordinates fall in neighbouring cells, look for touching
    // occupied cells (only a cell whose own coordinate is fine on an axis can have a neighbour
    // along it). Without a usable cell size there is one cell.
    const bool flagged[3] = {axes[0].HasNeighbours(), axes[1].HasNeighbours(), axes[2].HasNeighbours()};
    if (!usable || !(flagged[0] || flagged[1] || flagged[2])) return CoincidentWeld::kDone;
    for (unsigned s = 0; s < cells.GetSlotCount(); ++s) {
        const CellSlot& e = cells.GetSlot(s);
        if (e.first < 0) continue;
        const C3DTPoint<float>& v = pts[e.first];
        const int fx = flagged[0] && std::fabs(v.x) < fine ? 1 : 0;
        const int fy = flagged[1] && std::fabs(v.y) < fine ? 1 : 0;
        const int fz = flagged[2] && std::fabs(v.z) < fine ? 1 : 0;
        for (int dz = -fz; dz <= fz; ++dz)
            for (int dy = -fy; dy <= fy; ++dy)
                for (int dx = -fx; dx <= fx; ++dx)
                    if ((dx | dy | dz) && cells.IsOccupied(e.x + dx, e.y + dy, e.z + dz))
                        return CoincidentWeld::kNeedsGrid;
    }
    return CoincidentWeld::kDone;
}

// A fine coordinate along one axis: its cell (as an order-keeping unsigned key) and its bits.
struct AxisEntry {
    uint32_t key;
    uint32_t bits;
};

// Sorts a[0..n) by key, keeping the order of equal keys (least significant digit first, 11 bits a
// pass), with `scratch` of n entries; returns the buffer holding the result (a or scratch).
AxisEntry* SortByKey(AxisEntry* a, AxisEntry* scratch, unsigned n) {
    for (int shift = 0; shift < 32; shift += 11) {
        unsigned start[2048] = {};
        for (unsigned i = 0; i < n; ++i) ++start[(a[i].key >> shift) & 2047u];
        if (start[(a[0].key >> shift) & 2047u] == n) continue;  // one digit: nothing moves
        unsigned sum = 0;
        for (unsigned& s : start) {
            const unsigned c = s;
            s = sum;
            sum += c;
        }
        for (unsigned i = 0; i < n; ++i) scratch[start[(a[i].key >> shift) & 2047u]++] = a[i];
        AxisEntry* t = a;
        a = scratch;
        scratch = t;
    }
    return a;
}

// The common case of ClassifyByCells (usable frame), decided axis by axis without a table of
// cells: when, along every axis, no two distinct fine coordinates of the positions share a cell
// or fall in neighbouring cells, no two distinct positions share or touch a cell (along an axis
// where they differ, two coarse coordinates, or a coarse and a fine one, lie at least three cells
// apart, and two fine ones were just ruled out), so every position keeps its first point and only
// positions without a cell (NaN) are reported to `move`. False (with `move` called for some
// positions) when some axis has such a pair: ClassifyByCells decides then.
//
// Each axis collects the cells and bits of its fine coordinates and sorts them by cell: two
// distinct coordinates within one cell of each other leave, between them in that order, two
// neighbours of distinct bits within one cell of each other, which one sweep finds.
template <class Move>
bool ClassifyByAxes(const CXArray<FirstPosition>& firsts, const double origin[3], double d, double inv, float fine,
                    Move&& move) {
    // Infinite and NaN coordinates are never coarse (their cell computation fails below).
    auto isFine = [fine](float v) { return !IsCoarse(v, fine); };
    unsigned count[3] = {0, 0, 0};
    for (const FirstPosition& first : firsts)
        for (int k = 0; k < 3; ++k) count[k] += isFine(first.v[k]) ? 1u : 0u;
    const unsigned total = count[0] + count[1] + count[2];
    if (total == 0) return true;
    CXArray<AxisEntry> entries, scratch;
    entries.SetSize(int(total));
    scratch.SetSize(int(total));
    AxisEntry* axis[3] = {entries.GetData(), entries.GetData() + count[0], entries.GetData() + count[0] + count[1]};
    unsigned used[3] = {0, 0, 0};
    for (const FirstPosition& first : firsts) {
        const float* v = first.v;
        const bool fineAxis[3] = {isFine(v[0]), isFine(v[1]), isFine(v[2])};
        if (!(fineAxis[0] || fineAxis[1] || fineAxis[2])) continue;
        int c[3] = {0, 0, 0};
        bool hasCell = true;
        for (int k = 0; k < 3; ++k)
            if (fineAxis[k] && !detail::PointCellCoord(v[k], origin[k], d, inv, c[k])) hasCell = false;
        if (!hasCell) {
            move(first.point, kOwnRep);
            continue;
        }
        for (int k = 0; k < 3; ++k) {
            if (!fineAxis[k]) continue;
            AxisEntry& e = axis[k][used[k]++];
            e.key = uint32_t(c[k]) ^ 0x80000000u;  // signed order as unsigned order
            std::memcpy(&e.bits, v + k, sizeof e.bits);
        }
    }
    for (int k = 0; k < 3; ++k) {
        if (used[k] < 2) continue;
        const AxisEntry* sorted = SortByKey(axis[k], scratch.GetData() + (axis[k] - entries.GetData()), used[k]);
        for (unsigned i = 1; i < used[k]; ++i)
            if (sorted[i].key - sorted[i - 1].key <= 1u && sorted[i].bits != sorted[i - 1].bits) return false;
    }
    return true;
}

// Welds the points that share a grid cell of the tolerance-0 frame, writing every point's
// representative; kNeedsGrid, with `rep` unspecified, when two distinct occupied cells touch.
// Reports progress per point like the grid weld.
//
// The pass over the points takes their box and groups them by position (the bits of the three
// coordinates): every point provisionally goes to the first point at its position. Points at the
// same position share a cell. Then, with the frame known, the distinct positions are classified
// in the order of their first points: a position whose three coordinates are coarse shares its
// cell with exactly the points at that position, and no cell near it is occupied (a touching
// cell would need a coordinate within a cell or two of one of its own), so its points keep their
// first point. A position with a fine coordinate takes the first point of its cell from a table
// keyed by cell, and a position without a cell (NaN) leaves each of its points alone; only then
// are the points revisited. Without a usable cell size (all finite points at one position) the
// grid puts every finite point in one cell, which the classification reproduces by sending every
// position to cell (0, 0, 0).
CoincidentWeld WeldCoincident(const C3DPointList& points, unsigned* rep, bool& merged, CProgressScope& progress) {
    const int n = points.GetSize();
    const C3DTPoint<float>* pts = points.GetPoints();
    CPassSteps steps(progress);
    CBoxOfPoints box;
    // Sized for a mesh split per face (a sixth as many positions as points) and grown past that.
    CPositionTable positions(unsigned(n) / 6u + 1u);
    CXArray<FirstPosition> firsts;  // the distinct positions, in increasing order of first point
    firsts.PreAllocate(int(unsigned(n) / 6u + 1u));
    bool anyCopy = false;

    // Points go in batches: the hashes of a batch are computed and their slots prefetched before
    // the first is probed, so that the table's cache misses overlap instead of queueing.
    constexpr int kBatch = 32;
    uint32_t keys[kBatch][3];
    uint64_t hashes[kBatch];
    for (int base = 0; base < n; base += kBatch) {
        const int m = n - base < kBatch ? n - base : kBatch;
        for (int i = 0; i < m; ++i) {
            const C3DTPoint<float>& v = pts[base + i];
            box.Add(v);
            std::memcpy(keys[i], &v.x, 3 * sizeof(float));
            hashes[i] = CPositionTable::Hash(keys[i]);
            positions.Prefetch(hashes[i]);
        }
        for (int i = 0; i < m; ++i) {
            const int p = base + i;
            if (steps.At(p)) return CoincidentWeld::kCancelled;
            PositionSlot* e = positions.Find(keys[i], hashes[i]);
            if (e->rep1 != 0) {
                rep[p] = e->rep1 - 1;
                anyCopy = true;
                continue;
            }
            rep[p] = unsigned(p);
            FirstPosition first;
            first.point = unsigned(p);
            std::memcpy(first.v, keys[i], sizeof first.v);
            firsts.Add(first);
            positions.Insert(e, keys[i], uint32_t(p) + 1);
        }
    }
    steps.Finish(n - 1);

    double origin[3];
    const double d = FrameOfBox(box.Get(), 0.0, false, false, origin);
    const bool usable = d > 0.0 && std::isfinite(d);
    // Smallest power of two t (a normal float) such that every float of magnitude >= t lies at
    // least 3 cells (and a hair, for the rounding of the cell arithmetic) from its neighbours:
    // those neighbours are at least t * 2^-24 away. Coordinates below t are fine. Without a
    // usable cell size every coordinate is fine and every finite one in cell 0.
    float fine = std::numeric_limits<float>::infinity();
    if (usable) {
        const double gap = 3.001 * d;
        double t = std::ldexp(1.0, -126);
        while (t * 0x1p-24 < gap && std::isfinite(t)) t *= 2.0;
        if (t <= double(FLT_MAX)) fine = float(t);
    }
    const double inv = usable ? 1.0 / d : 0.0;

    // Positions whose points do not keep their first point: the new representative of the first
    // point (kOwnRep: each point keeps itself), written into `moved` (allocated on the first).
    CXArray<unsigned> moved;
    auto move = [&](unsigned f, unsigned to) {
        if (moved.GetSize() == 0) {
            moved.SetSize(n);
            for (const FirstPosition& g : firsts) moved[int(g.point)] = g.point;
        }
        moved[int(f)] = to;
    };
    if (!usable || !ClassifyByAxes(firsts, origin, d, inv, fine, move)) {
        moved.SetSize(0);
        if (ClassifyByCells(pts, firsts, origin, d, inv, fine, usable, move) == CoincidentWeld::kNeedsGrid)
            return CoincidentWeld::kNeedsGrid;
    }

    if (moved.GetSize() == 0) {
        merged = anyCopy;
        return CoincidentWeld::kDone;
    }
    const unsigned* to = moved.GetData();
    bool any = false;
    for (int p = 0; p < n; ++p) {
        const unsigned r = to[rep[p]];
        rep[p] = r == kOwnRep ? unsigned(p) : r;
        any |= rep[p] != unsigned(p);
    }
    merged = any;
    return CoincidentWeld::kDone;
}

// ---- renumbering and clean-up after a weld -------------------------------------------------------
//
// Renumbering the faces by the representatives and cleaning up afterwards reads and writes every
// face several times (the renumbering, the degenerate-index clean-up, the marking of used points,
// the renumbering by the point remap). When one read of the faces shows that the clean-up can only
// remove unused points, the weld does that work itself with one read and one write of the faces,
// handing the point list, the channels and the object exactly what the general clean-up would.

enum class WeldRenumbering {
    kNoChange,  // no live face index changes: nothing to renumber or clean
    kSimple,    // the clean-up can only remove points that no live face uses
    kGeneral,   // faces may become degenerate or be removed: the general clean-up runs
};

// Reads the live faces through the representatives `rep` (n entries) and marks in `used` the
// representatives they use. kSimple requires that no face carries FACE_INVALID, that every live
// face has at least 3 corners, all indices below n, and no corner equal to the next or the one
// after it once renumbered (what the degenerate-index clean-up looks for).
WeldRenumbering InspectRenumbering(const CFaceList& faces, const unsigned* rep, unsigned n, uint8_t* used) {
    const unsigned count = unsigned(faces.GetSize());
    const CFaceFlagsView flags(faces);
    const CFaceCollection& records = faces.GetRecords();
    bool changes = false;
    for (unsigned f = 0; f < count; ++f) {
        const unsigned word = flags(f);
        if (word & FACE_INVALID) return WeldRenumbering::kGeneral;
        if (!IsLiveFaceFlags(word)) continue;
        const CFaceCollection::Element* e = records.GetElement(f);
        const unsigned k = e->m_nCount;
        const int* idx = e->GetData();
        if (k < 3) return WeldRenumbering::kGeneral;
        if (k == 3) {
            const unsigned a = unsigned(idx[0]), b = unsigned(idx[1]), c = unsigned(idx[2]);
            if (a >= n || b >= n || c >= n) return WeldRenumbering::kGeneral;
            const unsigned ra = rep[a], rb = rep[b], rc = rep[c];
            if (ra == rb || rb == rc || ra == rc) return WeldRenumbering::kGeneral;
            changes |= (ra != a) | (rb != b) | (rc != c);
            used[ra] = used[rb] = used[rc] = 1;
            continue;
        }
        for (unsigned j = 0; j < k; ++j)
            if (unsigned(idx[j]) >= n) return WeldRenumbering::kGeneral;
        for (unsigned j = 0; j < k; ++j) {
            const unsigned r = rep[idx[j]];
            if (r == rep[idx[(j + 1) % k]] || r == rep[idx[(j + 2) % k]]) return WeldRenumbering::kGeneral;
            changes |= r != unsigned(idx[j]);
            used[r] = 1;
        }
    }
    return changes ? WeldRenumbering::kSimple : WeldRenumbering::kNoChange;
}

// The simple case of InspectRenumbering: marks the unused points removed (and clears the mark on
// the others), compacts the point list, renumbers the live faces by the representatives and the
// point remap in one pass, hands the remaps to the channels and finishes as Clean does.
void WeldCleanUnusedPoints(C3DGeomObject& object, const unsigned* rep, const uint8_t* used) {
    C3DPointList& points = *object.GetPointList();
    C3DFaceList& faces = *object.GetFaceList();
    const int n = points.GetSize();
    C3DTPoint<float>* pts = points.GetPoints();
    for (int i = 0; i < n; ++i) {
        const unsigned flags = pts[i].GetFlags() & ~unsigned(POINT_REMOVED);
        pts[i].SetFlags(used[i] ? flags : flags | POINT_REMOVED);
    }
    CXArray<unsigned> faceRemap;
    CXArray<unsigned> pointRemap;
    points.Clean(nullptr, &pointRemap);
    const unsigned* remap = pointRemap.GetSize() ? pointRemap.GetData() : nullptr;
    const unsigned count = unsigned(faces.GetSize());
    const CFaceFlagsView flags(faces);
    CFaceCollection& records = faces.GetRecords();
    for (unsigned f = 0; f < count; ++f) {
        if (!IsLiveFaceFlags(flags(f))) continue;
        CFaceCollection::Element* e = records.GetElement(f);
        int* idx = e->GetData();
        for (unsigned j = 0; j < e->m_nCount; ++j) {
            const unsigned r = rep[idx[j]];
            idx[j] = int(remap ? remap[r] : r);
        }
    }
    faces.SetFlag(FACELIST_CHANGED, true);
    points.SetFlag(POINTLIST_CHANGED, true);
    CGeomInfo geom(&object);
    if (CDependentChannels* channels = detail::ChannelsFor(&geom, &faces))
        channels->CleanChannels(&geom, &faceRemap, &pointRemap);
    if (faces.GetSize() == 0 && points.GetSize() == 0) object.SetFlag(OBJECT_EMPTY, true);
    object.Invalidate(INVALIDATE_POINTS | INVALIDATE_FACES, true);
    object.FreeExtra();
}

}  // namespace

bool C3DGeomObject::Weld3DPoints(double tolerance, bool absolute, unsigned int channelMask, unsigned int filterCount,
                                 ...) {
    // Read the filter pairs first so that the argument list is consumed whatever happens next.
    CXArray<WeldFilter> filters;
    {
        va_list args;
        va_start(args, filterCount);
        for (unsigned int i = 0; i < filterCount; ++i) {
            WeldFilter f;
            f.mask = va_arg(args, unsigned int);
            f.mode = va_arg(args, unsigned int);
            if (f.mask != 0 && f.mode != 0 && tolerance != 0.0) filters.Add(f);
        }
        va_end(args);
    }
    if (!m_pPointList) return false;
    CLogTimer timer("C3DGeomObject::Weld3DPoints");
    C3DPointList& points = *m_pPointList;
    const int n = points.GetSize();
    CProgressScope progress(LoadResourceString(326).GetString(), LoadResourceString(325).GetString(), 0, n);

    if (n <= 0) return false;
    // The representative array is written in full by either weld before it is read.
    struct Representatives {
        unsigned int* data;
        explicit Representatives(int count) : data(static_cast<unsigned int*>(xmalloc(size_t(count) * sizeof(unsigned)))) {
            if (!data) XThrow<CXMemoryException>();
        }
        ~Representatives() { xfree(data); }
    } rep(n);
    unsigned int* r = rep.data;
    const C3DTPoint<float>* pts = points.GetPoints();
    bool merged = false;

    CoincidentWeld exact = CoincidentWeld::kNeedsGrid;
    if (tolerance == 0.0) {
        exact = WeldCoincident(points, r, merged, progress);
        if (exact == CoincidentWeld::kCancelled) return false;
    }
    if (exact == CoincidentWeld::kNeedsGrid) {
        std::unique_ptr<WeldProximityMap> held(points.InitWeldMap(tolerance, absolute));
        if (!held) return false;
        WeldProximityMap* map = held.get();
        for (int i = 0; i < n; ++i) r[i] = REMAP_REMOVED;
        const WeldFilter* flt = filters.GetData();
        const int nf = filters.GetSize();
        merged = false;
        bool cancelled = false;
        for (int p = 0; p < n; ++p) {
            if (progress.Step(p)) {
                cancelled = true;
                break;
            }
            if (r[p] != REMAP_REMOVED) continue;
            r[p] = unsigned(p);
            if (nf && !IsSeedAllowed(flt, nf, pts[p].GetFlags())) continue;
            int count = 0;
            const int* near = points.Get3DProximityPoints(p, map, count);
            for (int k = 0; k < count; ++k) {
                int q = near[k];
                if (nf && !IsNeighbourAllowed(flt, nf, pts[q].GetFlags())) continue;
                unsigned int cur = r[q];
                // A point already taken moves to p only when p lies nearer to it than its current
                // representative does; a representative itself (cur == q) never moves.
                if (cur != REMAP_REMOVED && SquaredDistance(pts[cur], pts[p]) <= SquaredDistance(pts[q], pts[p]))
                    continue;
                r[q] = unsigned(p);
                merged = true;
            }
        }
        held.reset();
        if (cancelled) return false;
    }

    bool changed = false;
    if (merged) {
        // The shortcut stands in for this class's own clean-up only (kinds that override Clean
        // take the general way), on a non-empty object with faces.
        WeldRenumbering renumbering = WeldRenumbering::kGeneral;
        CXArray<uint8_t> used;
        if (m_pFaceList && m_pFaceList->GetSize() > 0 && !IsFlagSet(OBJECT_EMPTY) && typeid(*this) == typeid(C3DObject)) {
            used.SetSize(n);
            renumbering = InspectRenumbering(*m_pFaceList, r, unsigned(n), used.GetData());
        }
        if (renumbering == WeldRenumbering::kSimple) {
            WeldCleanUnusedPoints(*this, r, used.GetData());
            changed = true;
        } else if (renumbering == WeldRenumbering::kNoChange) {
            changed = false;
        } else if (m_pFaceList) {
            changed = m_pFaceList->UpdateIndex(r, unsigned(n), true);
            if (changed) Clean();
        } else {
            for (int i = 0; i < n; ++i) {
                if (r[i] != unsigned(i)) {
                    points.GetPt(i)->SetFlags(POINT_REMOVED, true);
                    changed = true;
                }
            }
            if (changed) Clean();
        }
    }
    if (m_pChannels && channelMask) {
        CGeomInfo geom(this);
        for (int i = 0; i < m_pChannels->GetSize(); ++i) {
            CChannel* c = m_pChannels->GetChannel(i);
            if ((c->GetType() & channelMask) && !c->IsOneFlagSet(CHANNEL_INVALID) && c->Weld(&geom, 0.0))
                changed = true;
        }
    }
    if (m_pChannels && CleanChannels(0xFFFFFFFFu, true) > 0) changed = true;
    if (changed) Invalidate(INVALIDATE_POINTS | INVALIDATE_FACES, true);
    return changed;
}

}  // namespace kestovar
