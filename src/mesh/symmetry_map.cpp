// Mirror pairing of mesh points across a bounding-box mid-plane (see kestovar/mesh/symmetry_map.h).
#include "kestovar/mesh/symmetry_map.h"

#include <cmath>

#include "kestovar/mesh/bbox.h"
#include "kestovar/mesh/face_graph.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_grid.h"
#include "kestovar/mesh/point_list.h"
#include "adjacency_internal.h"

namespace kestovar {

namespace {

inline float& Coord(C3DTPoint<float>& p, int axis) { return axis == 0 ? p.x : (axis == 1 ? p.y : p.z); }
inline float Coord(const C3DTPoint<float>& p, int axis) { return axis == 0 ? p.x : (axis == 1 ? p.y : p.z); }

// Whether some live face of `faces` has the edge (a, b) between consecutive corners. Uses the
// list's graphs when it has one, else scans the faces.
bool HasEdge(const CFaceList& faces, int a, int b) {
    if (a == b) return false;
    if (faces.GetEdgeToFaceGraph() || faces.GetPointToFaceGraph())
        return faces.DoesEdgeExists(C3DEdge(unsigned(a), unsigned(b)));
    const int n = faces.GetSize();
    for (int f = 0; f < n; ++f) {
        if (!faces.IsFaceLive(unsigned(f))) continue;
        int k;
        const int* idx = faces.GetIndexes(unsigned(f), k);
        if (!idx) continue;
        for (int j = 0; j < k; ++j) {
            const int u = idx[j], v = idx[j + 1 < k ? j + 1 : 0];
            if ((u == a && v == b) || (u == b && v == a)) return true;
        }
    }
    return false;
}

}  // namespace

C3DPointSymetryMap::~C3DPointSymetryMap() = default;

SymetricEdgeInfo C3DPointSymetryMap::GetSymetricEdge(const CFaceList* faces, int a, int b, int& mirrorA,
                                                     int& mirrorB) const {
    int ma, mb;
    if (!faces || !Find(a, ma) || !Find(b, mb)) return SYMETRIC_EDGE_NONE;
    if (!HasEdge(*faces, ma, mb)) return SYMETRIC_EDGE_NONE;
    mirrorA = ma;
    mirrorB = mb;
    // The edge is its own mirror when the partners are its ends, in either order.
    if ((ma == a && mb == b) || (ma == b && mb == a)) return SYMETRIC_EDGE_SELF;
    return SYMETRIC_EDGE_OTHER;
}

SymetricEdgeInfo C3DPointSymetryMap::GetSymetricEdge(const CFaceList* faces, const C3DEdge& edge, C3DEdge& mirror,
                                                     bool /*ordered*/) const {
    int ma, mb;
    SymetricEdgeInfo info = GetSymetricEdge(faces, int(edge.GetP1()), int(edge.GetP2()), ma, mb);
    if (info != SYMETRIC_EDGE_NONE) mirror.Set(unsigned(ma), unsigned(mb));
    return info;
}

int C3DPointSymetryMap::CountSymetricEdges(const CFaceList* faces) const {
    if (!faces || faces->GetSize() == 0 || IsEmpty()) return 0;
    const int n = faces->GetSize();
    // Every edge of the live faces once, so that mirror edges are tested without a face graph.
    CHashTable<C3DEdge> edges(unsigned(n) * 3 / 2 + 8);
    for (int f = 0; f < n; ++f)
        detail::ForEachFaceEdge(*faces, unsigned(f),
                                [&edges](int u, int v) { edges.Insert(C3DEdge(unsigned(u), unsigned(v))); });
    unsigned setSize = NextPrime(2u * unsigned(n / 2) + 2u);
    CHashTable<C3DEdge> mirrors(setSize < 5 ? 5 : setSize);
    for (int f = 0; f < n; ++f) {
        if (!faces->IsFaceLive(unsigned(f))) continue;
        int k;
        const int* idx = faces->GetIndexes(unsigned(f), k);
        if (!idx) continue;
        for (int j = 0; j < k; ++j) {
            int ma, mb;
            if (!Find(idx[j], ma) || !Find(idx[j + 1 < k ? j + 1 : 0], mb) || ma == mb) continue;
            const C3DEdge mirror{unsigned(ma), unsigned(mb)};
            if (edges.IsFound(mirror)) mirrors.Insert(mirror);
        }
    }
    return mirrors.GetCount();
}

C3DPointSymetryMap* C3DPointList::InitSymetryMap(_AXIS_INFO axis, double tolerance) const {
    const int ax = int(axis) < 0 || int(axis) > 2 ? 0 : int(axis);
    const int n = GetSize();
    C3DTBBox<float> box;
    if (n == 0 || !GetBoundingBox(box)) return new C3DPointSymetryMap;
    const C3DTPoint<float>& lo = box.GetMin();
    const C3DTPoint<float>& hi = box.GetMax();
    // The plane coordinate, narrowed to float like the points, and the extent along the axis.
    const float c = float((double(Coord(lo, ax)) + double(Coord(hi, ax))) * 0.5);
    const double extent = double(Coord(hi, ax)) - double(Coord(lo, ax));
    if (!(extent >= 1e-15)) return new C3DPointSymetryMap;

    const double cell = extent / 20.0;
    const double origin[3] = {lo.x, lo.y, lo.z};
    C3DPointGridMap grid;
    grid.Init(GetPoints(), n, origin, cell);
    // The grid coordinate, along the axis, of the cell holding the plane.
    int planeCell = 0;
    {
        C3DTPoint<float> onPlane = lo;
        Coord(onPlane, ax) = c;
        int pc[3];
        if (grid.GetCell(onPlane, pc)) planeCell = pc[ax];
    }
    const double matchDistance = cell * tolerance;

    // Held until complete: a failed insertion releases it.
    XHeld<C3DPointSymetryMap> map(new C3DPointSymetryMap(unsigned(n / 6)));
    const C3DTPoint<float>* pts = GetPoints();
    for (int p = 0; p < n; ++p) {
        if (map->IsFound(p)) continue;
        const C3DTPoint<float>& pp = pts[p];
        C3DTPoint<float> m = pp;
        Coord(m, ax) = 2.0f * c - Coord(pp, ax);
        int mc[3];
        if (!grid.GetCell(m, mc)) continue;
        const bool inPlaneCell = mc[ax] == planeCell;
        const double sideP = double(c) - double(Coord(pp, ax));
        int best = -1;
        double bestDistance = 0.0;
        for (int q = grid.GetFirstPoint(mc[0], mc[1], mc[2]); q >= 0; q = grid.GetNext(q)) {
            const C3DTPoint<float>& qq = pts[q];
            // Near the plane the mirror cell also holds points of p's own side: skip those clearly
            // on it, so that a point close to the plane does not pair with a neighbour.
            if (inPlaneCell && (double(c) - double(Coord(qq, ax))) * sideP > 1e-6) continue;
            const double dx = double(m.x) - double(qq.x), dy = double(m.y) - double(qq.y),
                         dz = double(m.z) - double(qq.z);
            const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (d <= matchDistance && (best < 0 || d < bestDistance)) {
                best = q;
                bestDistance = d;
                if (d == 0.0) break;
            }
        }
        // First come keeps its partner: a candidate already paired leaves p unpaired.
        if (best < 0 || map->IsFound(best)) continue;
        map->Insert(p, best);
        if (best != p) map->Insert(best, p);
    }
    return map.release();
}

}  // namespace kestovar
