// Welding of points that lie together: the grid for a weld distance, the proximity map and
// C3DGeomObject::Weld3DPoints.
#include "kestovar/mesh/weld.h"

#include <cmath>
#include <cstdarg>

#include "kestovar/core/log.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_grid.h"
#include "kestovar/mesh/point_list.h"

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

C3DPointGridMap* C3DPointList::GetGridCoordMap(double tolerance, bool absolute, bool shift) const {
    int n = GetSize();
    if (n <= 0) return nullptr;
    C3DTBBox<float> box;
    GetBoundingBox(box);
    double d;
    if (tolerance == 0.0) {
        d = box.IsValid() ? box.GetDiagonal() * 1.5 / 2147483647.0 : 0.0;
    } else if (!absolute) {
        d = C3DPointGridMap::GetAbsoluteDistance(tolerance, box);
    } else {
        d = tolerance;
    }
    double origin[3] = {0.0, 0.0, 0.0};
    if (box.IsValid()) {
        origin[0] = box.GetMin().x;
        origin[1] = box.GetMin().y;
        origin[2] = box.GetMin().z;
    }
    if (shift) {
        // Moving the origin back by a quarter cell moves every cell boundary off the round
        // coordinates where model points tend to sit.
        for (double& o : origin) o -= d / 4.0;
    }
    C3DPointGridMap* grid = new C3DPointGridMap;
    grid->Init(GetPoints(), n, origin, d);
    return grid;
}

WeldProximityMap* C3DPointList::InitWeldMap(double tolerance, bool absolute) const {
    C3DPointGridMap* grid = GetGridCoordMap(tolerance, absolute, false);
    if (!grid) return nullptr;
    WeldProximityMap* map = new WeldProximityMap;
    map->SetGrid(grid);
    return map;
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

    WeldProximityMap* map = points.InitWeldMap(tolerance, absolute);
    if (!map) return false;
    CXArray<unsigned int> rep;
    rep.SetSize(n);
    unsigned int* r = rep.GetData();
    for (int i = 0; i < n; ++i) r[i] = REMAP_REMOVED;

    const C3DTPoint<float>* pts = points.GetPoints();
    const WeldFilter* flt = filters.GetData();
    const int nf = filters.GetSize();
    bool merged = false;
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
            if (cur != REMAP_REMOVED && SquaredDistance(pts[cur], pts[p]) <= SquaredDistance(pts[q], pts[p])) continue;
            r[q] = unsigned(p);
            merged = true;
        }
    }
    C3DPointList::DeleteWeldMap(map);
    if (cancelled) return false;

    bool changed = false;
    if (merged) {
        if (m_pFaceList) {
            changed = m_pFaceList->UpdateIndex(r, unsigned(n), true);
        } else {
            for (int i = 0; i < n; ++i) {
                if (r[i] != unsigned(i)) {
                    points.GetPt(i)->SetFlags(POINT_REMOVED, true);
                    changed = true;
                }
            }
        }
        if (changed) Clean();
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
