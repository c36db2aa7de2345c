// Surface features of a 3D point list, read from its faces: the point-material graph and the
// material frontier, coplanar points, 3D corners (points where the surface turns in three or
// more directions) and 2D corners (corners of the open border lines).
//
// Every pass walks the faces once in index order and keeps a few bytes of state per point, so
// the result depends only on the faces and their order (no graph is needed and none is built).
// Face normals are computed in double by Newell's method over all corners and kept as floats.
#include <cmath>
#include <cstring>

#include "core/prefetch.h"
#include "kestovar/core/array.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"
#include "mesh/surface_features.h"

namespace kestovar {

namespace {

// Slack on the cosine of the coplanarity test: unit normals of faces that lie in one plane up to
// the rounding of float coordinates differ by about 1e-4 radians at most on small faces, whose
// cosine is 1 - 5e-9.
constexpr double kCoplanarCosineSlack = 1e-8;

struct Normal3f {
    float x, y, z;
};

inline double Dot(const Normal3f& a, const Normal3f& b) {
    return double(a.x) * double(b.x) + double(a.y) * double(b.y) + double(a.z) * double(b.z);
}

// Cosine of the angle between two stored normals. The float components carry rounding errors of
// about 3e-8 that change their length, so the plain dot product of two equal directions may be
// that far below 1; dividing by the lengths keeps the error second order.
inline double Cosine(const Normal3f& a, const Normal3f& b) {
    return Dot(a, b) / std::sqrt(Dot(a, a) * Dot(b, b));
}

// The unit vector along the finished Newell sums (nx, ny, nz); false when they have no length.
inline bool UnitNormal(double nx, double ny, double nz, Normal3f& out) {
    const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(len > 1e-30)) return false;
    out.x = float(nx / len);
    out.y = float(ny / len);
    out.z = float(nz / len);
    return true;
}

// One term of Newell's sums: the edge p -> q added to (nx, ny, nz).
inline void NewellTerm(const C3DTPoint<float>& p, const C3DTPoint<float>& q, double& nx, double& ny, double& nz) {
    nx += (double(p.y) - double(q.y)) * (double(p.z) + double(q.z));
    ny += (double(p.z) - double(q.z)) * (double(p.x) + double(q.x));
    nz += (double(p.x) - double(q.x)) * (double(p.y) + double(q.y));
}

// Unit normal of the polygon `idx[0..count)` by Newell's method (double accumulation); false when
// the polygon has no area or a corner lies outside the `n` points. Triangles (nearly every face)
// take a straight path: one range test for the three corners and the three edges unrolled, adding
// the same terms in the same order as the general loop, so both give the same bits.
bool FaceNormal(const C3DTPoint<float>* pts, int n, const int* idx, int count, Normal3f& out) {
    double nx = 0.0, ny = 0.0, nz = 0.0;
    if (count == 3) {
        const unsigned a = unsigned(idx[0]), b = unsigned(idx[1]), c = unsigned(idx[2]);
        if ((a >= unsigned(n)) | (b >= unsigned(n)) | (c >= unsigned(n))) return false;
        NewellTerm(pts[a], pts[b], nx, ny, nz);
        NewellTerm(pts[b], pts[c], nx, ny, nz);
        NewellTerm(pts[c], pts[a], nx, ny, nz);
        return UnitNormal(nx, ny, nz, out);
    }
    for (int k = 0; k < count; ++k) {
        const int a = idx[k];
        const int b = idx[k + 1 == count ? 0 : k + 1];
        if (unsigned(a) >= unsigned(n) || unsigned(b) >= unsigned(n)) return false;
        NewellTerm(pts[a], pts[b], nx, ny, nz);
    }
    return UnitNormal(nx, ny, nz, out);
}

// Calls visit(point, normal) for every in-range corner of every live face with a normal.
// ahead(point) is called for the corners of the face kFacesAhead on, so that the caller can ask
// for the per-point state those corners will touch (the faces reach their points in no useful
// order).
template <class Visit, class Ahead>
void ForEachCornerNormal(const C3DPointList& points, const C3DFaceList& faces, Visit&& visit, Ahead&& ahead) {
    constexpr int kFacesAhead = 8;
    const int n = points.GetSize();
    const C3DTPoint<float>* pts = points.GetPoints();
    const int faceCount = faces.GetSize();
    for (int f = 0; f < faceCount; ++f) {
        if (f + kFacesAhead < faceCount) {
            int count;
            const int* idx = faces.GetIndexes(unsigned(f + kFacesAhead), count);
            for (int k = 0; k < count && k < 3; ++k) {
                if (unsigned(idx[k]) >= unsigned(n)) continue;
                detail::PrefetchLine(pts + idx[k]);
                ahead(idx[k]);
            }
        }
        if (!IsLiveFaceFlags(faces.GetFaceFlags(unsigned(f)))) continue;
        int count;
        const int* idx = faces.GetIndexes(unsigned(f), count);
        if (count < 3) continue;
        Normal3f normal;
        if (!FaceNormal(pts, n, idx, count, normal)) continue;
        for (int k = 0; k < count; ++k) visit(idx[k], normal);
    }
}

// Both normal-based features of one point, kept together so that a corner touches one record.
// The first normal a point meets is both its coplanarity reference and the lead of its first
// corner group, so one array of two leads serves both.
struct CornerAndPlaneState {
    Normal3f leads[2];
    unsigned char groups;   // corner groups met so far (0 no face yet; 3 decides)
    unsigned char planar;   // 1 coplanar so far, 2 not coplanar
};

// The normal-based features a walk decides.
constexpr unsigned kCornerFeature = 0x1, kCoplanarFeature = 0x2;

// Sets POINT_3D_CORNER (when kFeatures has kCornerFeature: the point's face normals fall in three
// or more groups, a normal joining the first group whose lead is within cornerAngle) and
// POINT_COPLANAR (when kFeatures has kCoplanarFeature: every face normal of the point is within
// coplanarTolerance of its first one) from one walk that computes each face normal once. Angles in
// radians. Counts the points flagged with each feature into *corners and *coplanar.
template <unsigned kFeatures>
void SetNormalFeatureFlags(C3DPointList& points, const C3DFaceList& faces, double cornerAngle,
                           double coplanarTolerance, int* corners, int* coplanar) {
    const int n = points.GetSize();
    const double cornerLimit = std::cos(cornerAngle);
    const double planeLimit = std::cos(coplanarTolerance > 0.0 ? coplanarTolerance : 0.0) - kCoplanarCosineSlack;
    CXArray<CornerAndPlaneState> states;
    states.SetSize(n);
    CornerAndPlaneState* state = states.GetData();
    ForEachCornerNormal(
        points, faces,
        [&](int p, const Normal3f& normal) {
            CornerAndPlaneState& s = state[p];
            if (s.groups == 0) {
                // The first face of the point: both features start from its normal.
                s.leads[0] = normal;
                s.groups = 1;
                s.planar = 1;
                return;
            }
            if constexpr ((kFeatures & kCoplanarFeature) != 0)
                if (s.planar == 1 && Cosine(s.leads[0], normal) < planeLimit) s.planar = 2;
            if constexpr ((kFeatures & kCornerFeature) != 0) {
                const unsigned char g = s.groups;
                if (g >= 3) return;
                for (unsigned char k = 0; k < g; ++k)
                    if (Dot(s.leads[k], normal) >= cornerLimit) return;
                if (g < 2) s.leads[g] = normal;
                s.groups = static_cast<unsigned char>(g + 1);
            }
        },
        [&](int p) { detail::PrefetchLine(state + p); });
    C3DTPoint<float>* pts = points.GetPoints();
    int cornerCount = 0, coplanarCount = 0;
    for (int p = 0; p < n; ++p) {
        if constexpr ((kFeatures & kCornerFeature) != 0) {
            const bool corner = state[p].groups >= 3;
            pts[p].SetFlags(POINT_3D_CORNER, corner);
            cornerCount += corner;
        }
        if constexpr ((kFeatures & kCoplanarFeature) != 0) {
            const bool flat = state[p].planar == 1;
            pts[p].SetFlags(POINT_COPLANAR, flat);
            coplanarCount += flat;
        }
    }
    if (corners) *corners = cornerCount;
    if (coplanar) *coplanar = coplanarCount;
}

// Calls visit(p, material) for every corner p below `n` of every live face, in face order then
// corner order, with the face's material.
template <class Visit>
void ForEachLiveCornerMaterial(const C3DFaceList& faces, int n, Visit&& visit) {
    const int faceCount = faces.GetSize();
    for (int f = 0; f < faceCount; ++f) {
        if (!IsLiveFaceFlags(faces.GetFaceFlags(unsigned(f)))) continue;
        const unsigned int material = faces.GetFaceMaterial(unsigned(f));
        int count;
        const int* idx = faces.GetIndexes(unsigned(f), count);
        for (int k = 0; k < count; ++k) {
            const unsigned p = unsigned(idx[k]);
            if (p < unsigned(n)) visit(p, material);
        }
    }
}

}  // namespace

// ---- point-material graph -----------------------------------------------------------------------

void C3DPointList::InitPointMaterialGraph(const C3DFaceList& faces) {
    DeletePointMaterialGraph();
    const int n = m_nSize;
    // First pass: each point's first material, whether another one follows, and its corner count
    // (an upper bound of its distinct materials).
    CXArray<unsigned int> first;
    CXArray<unsigned int> corners;
    first.SetSize(n);
    corners.SetSize(n);  // zero-filled
    bool anyShared = false;
    ForEachLiveCornerMaterial(faces, n, [&](unsigned p, unsigned int material) {
        if (corners[int(p)] == 0)
            first[int(p)] = material;
        else if (first[int(p)] != material)
            anyShared = true;
        if (corners[int(p)] < CPointMaterialGraph::kMaxRecordLength) ++corners[int(p)];
    });
    // Records: empty for unused points, the single material otherwise; points with several
    // materials get room for all their corners and are completed by a second pass.
    CPointMaterialGraph* graph = new CPointMaterialGraph(1);
    graph->PreAllocate(unsigned(n), 1);
    for (int p = 0; p < n; ++p) {
        if (corners[p] == 0)
            graph->Add(nullptr, 0);
        else
            graph->Add(&first[p], 1, anyShared ? corners[p] : 1);
    }
    if (anyShared) {
        ForEachLiveCornerMaterial(faces, n, [&](unsigned p, unsigned int material) {
            CPointMaterialGraph::Element* e = graph->GetElement(p);
            unsigned size = e->GetSize();
            unsigned* values = e->GetData();
            // Sorted insertion; records stay short (the materials meeting at one point).
            unsigned pos = 0;
            while (pos < size && values[pos] < material) ++pos;
            if (pos < size && values[pos] == material) return;
            if (size == e->GetCapacity()) return;  // more materials than a record can hold
            e = graph->SetRecordSize(p, size + 1);
            values = e->GetData();
            std::memmove(values + pos + 1, values + pos, size_t(size - pos) * sizeof(unsigned));
            values[pos] = material;
        });
        graph->Compact(true);
    }
    m_pPointMaterialGraph = graph;
}

bool detail::SetMaterialFrontierFlags(C3DPointList& points, const C3DFaceList& faces) {
    const int n = points.GetSize();
    // Per point: its first material and its state (0 no face yet, 1 one material so far, 2 more).
    CXArray<unsigned int> first;
    CXArray<unsigned char> state;
    first.SetSize(n);
    state.SetSize(n);
    unsigned int* firstOf = first.GetData();
    unsigned char* stateOf = state.GetData();
    ForEachLiveCornerMaterial(faces, n, [&](unsigned p, unsigned int material) {
        if (stateOf[p] == 0) {
            firstOf[p] = material;
            stateOf[p] = 1;
        } else if (firstOf[p] != material) {
            stateOf[p] = 2;
        }
    });
    C3DTPoint<float>* pts = points.GetPoints();
    bool found = false;
    for (int p = 0; p < n; ++p) {
        const bool frontier = stateOf[p] == 2;
        pts[p].SetFlags(POINT_MATERIAL_FRONTIER, frontier);
        found |= frontier;
    }
    return found;
}

const unsigned int* C3DPointList::GetMaterialsConnectedToPoint(int p, int& count) const {
    count = 0;
    if (!m_pPointMaterialGraph || p < 0) return nullptr;
    unsigned n;
    const unsigned int* values = m_pPointMaterialGraph->Get(unsigned(p), n);
    count = int(n);
    return values;
}

int C3DPointList::GetNumberOfMaterialsConnectedToPoint(int p) const {
    if (!m_pPointMaterialGraph || p < 0) return 0;
    return int(m_pPointMaterialGraph->GetRecordSize(unsigned(p)));
}

bool C3DPointList::InitShareSeveralMaterialsFlag() {
    C3DTPoint<float>* pts = GetPoints();
    const int n = m_nSize;
    bool found = false;
    for (int p = 0; p < n; ++p) {
        const bool frontier = m_pPointMaterialGraph && m_pPointMaterialGraph->GetRecordSize(unsigned(p)) > 1;
        pts[p].SetFlags(POINT_MATERIAL_FRONTIER, frontier);
        found |= frontier;
    }
    return found;
}

// ---- normal-based features ------------------------------------------------------------------------

int C3DPointList::InitShareCoplanarFacesFlag(const C3DFaceList& faces, double tolerance) {
    int flagged = 0;
    SetNormalFeatureFlags<kCoplanarFeature>(*this, faces, 0.0, tolerance, nullptr, &flagged);
    return flagged;
}

int C3DPointList::Set3DCornerPointsStatus(const C3DFaceList& faces, double angle) {
    int flagged = 0;
    SetNormalFeatureFlags<kCornerFeature>(*this, faces, angle, 0.0, &flagged, nullptr);
    return flagged;
}

void detail::SetCornerAndCoplanarFlags(C3DPointList& points, const C3DFaceList& faces, double cornerAngle,
                                       double coplanarTolerance) {
    SetNormalFeatureFlags<kCornerFeature | kCoplanarFeature>(points, faces, cornerAngle, coplanarTolerance, nullptr,
                                                             nullptr);
}

int C3DPointList::Set2DCornerPointsStatus(const CAssociationMap<C3DEdge, int, unsigned short>& edges,
                                          double angle) {
    const int n = m_nSize;
    C3DTPoint<float>* pts = GetPoints();
    for (int p = 0; p < n; ++p) pts[p].SetFlags(POINT_2D_CORNER, false);
    // Per point: the number of border edges (saturating) and the other ends of the first two.
    CXArray<int> ends;
    CXArray<unsigned char> degree;
    ends.SetSize(2 * n);
    degree.SetSize(n);  // zero-filled
    int position = kHashStartPosition;
    C3DEdge edge;
    const int* edgeFaces;
    unsigned faceCount;
    while (edges.GetNext(position, edge, edgeFaces, faceCount)) {
        if (faceCount != 1) continue;
        const unsigned a = edge.GetP1(), b = edge.GetP2();
        if (a >= unsigned(n) || b >= unsigned(n) || a == b) continue;
        const unsigned ends2[2][2] = {{a, b}, {b, a}};
        for (const auto& e : ends2) {
            unsigned char& d = degree[int(e[0])];
            if (d < 2) ends[2 * int(e[0]) + d] = int(e[1]);
            if (d < 255) ++d;
        }
    }
    const double limit = std::cos(angle);
    int flagged = 0;
    for (int p = 0; p < n; ++p) {
        const unsigned char d = degree[p];
        if (d == 0) continue;
        bool corner = d != 2;
        if (!corner) {
            const C3DTPoint<float>& a = pts[ends[2 * p]];
            const C3DTPoint<float>& q = pts[p];
            const C3DTPoint<float>& b = pts[ends[2 * p + 1]];
            const double ix = double(q.x) - a.x, iy = double(q.y) - a.y, iz = double(q.z) - a.z;
            const double ox = double(b.x) - q.x, oy = double(b.y) - q.y, oz = double(b.z) - q.z;
            const double li = std::sqrt(ix * ix + iy * iy + iz * iz);
            const double lo = std::sqrt(ox * ox + oy * oy + oz * oz);
            if (li > 0.0 && lo > 0.0) corner = (ix * ox + iy * oy + iz * oz) / (li * lo) < limit;
        }
        if (corner) {
            pts[p].SetFlags(POINT_2D_CORNER, true);
            ++flagged;
        }
    }
    return flagged;
}

}  // namespace kestovar
