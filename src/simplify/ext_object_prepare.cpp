// C3DExtObject: the preparation stages that turn the initial mesh into a contraction-ready working
// copy: classification of the initial mesh, point and face selection, the triangulated working
// copy, the quadrics of the faces (Garland and Heckbert 1997), the constraint planes along feature
// edges and the candidate heap.
//
// Each stage runs in O(points + faces) over contiguous arrays (plus the heap build), allocating
// its working structures once per stage and never per point.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "core/prefetch.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/memory.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/simplify/ext_object.h"
#include "mesh/surface_features.h"
#include "simplify/slot_order_set.h"

namespace kestovar {

namespace {

// 75 degrees in radians: the corner angle of the classification.
constexpr double kCornerAngle = 1.3089969389957472;

constexpr unsigned kCornerFlags = POINT_3D_CORNER | POINT_2D_CORNER;

// True when the mode word holds every bit of `bits`.
inline bool HasAll(unsigned long long mode, unsigned long long bits) { return (mode & bits) == bits; }

// The channel types the mode keeps in the working copy.
unsigned int KeptChannelMask(unsigned long long mode) {
    unsigned int mask = 0;
    if (mode & OPT_KEEP_UVW) mask |= CHANNEL_UVW;
    if (mode & OPT_KEEP_VC) mask |= CHANNEL_VC;
    if (mode & OPT_KEEP_NORMALS) mask |= CHANNEL_SPEC_NORMAL;
    return mask;
}

// Unit normal of the triangle (p0, p1, p2) in double; false when its length is below 1e-15.
bool TriangleNormal(const C3DTPoint<float>& p0, const C3DTPoint<float>& p1, const C3DTPoint<float>& p2, double n[3],
                    double& length) {
    const double ux = double(p1.x) - p0.x, uy = double(p1.y) - p0.y, uz = double(p1.z) - p0.z;
    const double vx = double(p2.x) - p0.x, vy = double(p2.y) - p0.y, vz = double(p2.z) - p0.z;
    n[0] = uy * vz - uz * vy;
    n[1] = uz * vx - ux * vz;
    n[2] = ux * vy - uy * vx;
    length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (length < 1e-15) return false;
    n[0] /= length;
    n[1] /= length;
    n[2] /= length;
    return true;
}

// The candidate record array, filled by the candidate walk. It is sized for three records per
// selected face, about twice the edges of a closed mesh, and the walk clears and then writes every
// record it keeps: its buffer comes from the allocator unfilled, because a zero fill of the whole
// bound would touch (and, where the host installs an allocation hook, write) twice the memory the
// records use. The array is handed to the object by Swap.
class CUnfilledCostArray : public CXArray<CContractionCost> {
public:
    // Replaces the content by `count` records whose bytes are undefined.
    void SetUnfilledSize(int count) {
        RemoveAll();
        if (count <= 0) return;
        void* p = xmalloc(size_t(count) * sizeof(CContractionCost));
        if (!p) XThrow<CXMemoryException>();
        m_pData = static_cast<CContractionCost*>(p);
        m_nSize = m_nMaxSize = count;
    }
};
static_assert(detail::kRawMovable<CContractionCost>, "the unfilled records need no constructor");

// One constraint plane to add: the edge (a, b) of `face`, with the weight of each side.
struct CEdgeConstraintInfo {
    int a, b;
    float wa, wb;
    int face;
};

}  // namespace

// ---- classification of the initial mesh ----------------------------------------------------------

bool C3DExtObject::CleanAndPrepareObject() {
    if (IsExtFlagSet(EXT_PREPARED)) return false;
    InvalidateOptimization();
    m_bMaterialFrontier = false;
    if (!m_pInitialFaces || !m_pInitialPoints) return false;
    C3DFaceList& faces = *m_pInitialFaces;
    C3DPointList& points = *m_pInitialPoints;

    bool trianglesOnly = true;
    for (int f = 0, n = faces.GetSize(); f < n; ++f) {
        if (faces.GetFaceSize(unsigned(f)) > 3) {
            trianglesOnly = false;
            break;
        }
    }
    SetExtFlags(EXT_TRIANGLES_ONLY | EXT_RESERVED_200, false);
    if (trianglesOnly) SetExtFlag(EXT_TRIANGLES_ONLY, true);

    if (m_pInitialChannels) {
        CDependentChannels& channels = *m_pInitialChannels;
        if (IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY)) {
            // The initial mesh is never touched: a keep bit without its channel is dropped.
            if (channels.GetChannelsNumber(CHANNEL_UVW, false) == 0) m_optimizeMode &= ~OPT_KEEP_UVW;
            if (channels.GetChannelsNumber(CHANNEL_VC, false) == 0) m_optimizeMode &= ~OPT_KEEP_VC;
            if (channels.GetChannelsNumber(CHANNEL_SPEC_NORMAL, false) == 0) m_optimizeMode &= ~OPT_KEEP_NORMALS;
        } else {
            // Simplified in place: channels that would not follow the contractions are dropped.
            channels.RemoveChannelsByType(0xFFFFu & ~KeptChannelMask(m_optimizeMode));
            channels.RemoveChannelsByFlag(CHANNEL_INVALID, CHANNEL_ALL, true);
            channels.RemoveChannelsByFlag(0x8, CHANNEL_ALL, true);
        }
    }

    // No step here reads a point-to-face graph or a point-material graph (the feature passes walk
    // the faces themselves), so neither is built; graphs left by the caller go, as the
    // preparation always ends without.
    CGeomInfo geom(&faces, &points);
    m_bMaterialFrontier = detail::SetMaterialFrontierFlags(points, faces);
    points.DeletePointMaterialGraph();
    faces.UpdateEdgeToFaceGraph(&geom);
    if (CEdgeToFaceGraph* edges = faces.GetEdgeToFaceGraph()) {
        points.SetBorderPointsStatus(*edges, false);
        points.Set2DCornerPointsStatus(*edges, kCornerAngle);
        // 3D corners and coplanar points from one computation of each face normal.
        detail::SetCornerAndCoplanarFlags(points, faces, kCornerAngle, 0.0);
    } else {
        points.InitShareCoplanarFacesFlag(faces, 0.0);
    }
    faces.DeleteEdgeToFaceGraph();
    faces.DeletePointToFaceGraph();

    SetExtFlag(EXT_PREPARED, true);
    return true;
}

// ---- selection ------------------------------------------------------------------------------------

bool C3DExtObject::InitSelectionMode(C3DFaceList& faces, C3DPointList& points) {
    if (IsExtFlagSet(EXT_SELECTION_READY)) return false;
    SetSelectedPoints(points, faces);
    SetSelectedFaces(points, faces);
    SetExtFlag(EXT_WORKING_COPY, false);
    SetExtFlag(EXT_SELECTION_READY, true);
    return true;
}

// A point is frozen (unselected) by the freeze bits of its features and by the user selection
// modes; a selected point is a constrained feature when a constrain bit of one of its features is
// on, else a feature when a keep bit is (or when it has a mirror partner).
void C3DExtObject::SetSelectedPoints(C3DPointList& points, C3DFaceList& faces) {
    const unsigned long long m = m_optimizeMode;
    const unsigned kSelectionBits = POINT_SELECTED | POINT_CONSTRAINED_FEATURE | POINT_FEATURE;
    const bool freezeBorder = (m & OPT_FREEZE_BORDER) != 0;
    const bool freezeMaterial = HasAll(m, OPT_KEEP_MATERIAL | OPT_FREEZE_MATERIAL);
    const bool freezeUV = HasAll(m, OPT_KEEP_UVW | OPT_FREEZE_UVW);
    const bool freezeJunction = HasAll(m, OPT_KEEP_UVW | OPT_CONSTRAIN_UVW);
    const bool freezeVC = HasAll(m, OPT_KEEP_VC | OPT_FREEZE_VC);
    const bool freezeNormals = HasAll(m, OPT_KEEP_NORMALS | OPT_FREEZE_NORMALS);
    const bool protectSelection = (m & OPT_PROTECT_SELECTION) != 0;
    const bool selectionOnly = (m & OPT_SELECTION_ONLY) != 0;
    const bool freezeCorners = (m & OPT_FREEZE_CORNERS) != 0;

    const bool constrainBorder = (m & OPT_CONSTRAIN_BORDER) != 0;
    const bool constrainCorners = (m & OPT_CONSTRAIN_CORNERS) != 0;
    const bool constrainMaterial = HasAll(m, OPT_KEEP_MATERIAL | OPT_CONSTRAIN_MATERIAL);
    const bool constrainUV = HasAll(m, OPT_KEEP_UVW | OPT_CONSTRAIN_UVW);
    const bool constrainVC = HasAll(m, OPT_KEEP_VC | OPT_CONSTRAIN_VC);
    const bool constrainNormals = HasAll(m, OPT_KEEP_NORMALS | OPT_CONSTRAIN_NORMALS);
    const bool symmetry = (m & OPT_SYMMETRY_MASK) != 0 && m_pInitialSymetryMap != nullptr;

    // Points no live face uses are not part of the mesh: no contraction reaches them, and a
    // ratio of the removable points must not count them.
    const int np = points.GetSize();
    CXArray<unsigned char> used;
    used.SetSize(np);
    unsigned char* u = used.GetData();
    std::fill(u, u + np, static_cast<unsigned char>(0));
    faces.FindFaceOutside(np, u);

    C3DTPoint<float>* pts = points.GetPoints();
    for (int i = 0, n = np; i < n; ++i) {
        CPt& p = pts[i];
        unsigned f = p.GetFlags() & ~kSelectionBits;
        const bool frozen =
            !u[i] || (freezeBorder && (f & POINT_BORDER)) ||
            (freezeMaterial && (f & POINT_MATERIAL_FRONTIER)) ||
            (freezeUV && (f & (POINT_UV_SEAM | POINT_UV_JUNCTION))) ||
            (freezeJunction && (f & POINT_UV_JUNCTION)) || (freezeVC && (f & POINT_VC_FRONTIER)) ||
            (freezeNormals && (f & POINT_NORMAL_FRONTIER)) || (protectSelection && (f & 0x1u)) ||
            (selectionOnly && !(f & 0x1u)) || (freezeCorners && (f & kCornerFlags)) ||
            // Removed by an earlier run of an object reduced in place: no longer
            // part of the mesh that a new preparation starts from.
            (f & POINT_REMOVED);
        if (!frozen) {
            f |= POINT_SELECTED;
            if ((constrainBorder && (f & POINT_BORDER)) || (constrainCorners && (f & kCornerFlags)) ||
                (constrainMaterial && (f & POINT_MATERIAL_FRONTIER)) || (constrainUV && (f & POINT_UV_SEAM)) ||
                (constrainVC && (f & POINT_VC_FRONTIER)) || (constrainNormals && (f & POINT_NORMAL_FRONTIER))) {
                f |= POINT_CONSTRAINED_FEATURE | POINT_FEATURE;
            } else if (((m & OPT_KEEP_BORDER) && (f & POINT_BORDER)) || ((m & OPT_KEEP_CORNERS) && (f & kCornerFlags)) ||
                       ((m & OPT_KEEP_MATERIAL) && (f & POINT_MATERIAL_FRONTIER)) ||
                       ((m & OPT_KEEP_UVW) && (f & POINT_UV_SEAM)) || ((m & OPT_KEEP_VC) && (f & POINT_VC_FRONTIER)) ||
                       ((m & OPT_KEEP_NORMALS) && (f & POINT_NORMAL_FRONTIER)) ||
                       (symmetry && m_pInitialSymetryMap->IsFound(i))) {
                f |= POINT_FEATURE;
            }
        }
        p.SetFlags(f);
    }

    if (m_excludedMaterials.IsEmpty()) return;
    const int n = points.GetSize();
    for (int face = 0, nf = faces.GetSize(); face < nf; ++face) {
        if (!m_excludedMaterials.IsFound(faces.GetStoredFaceMaterial(unsigned(face)))) continue;
        int count;
        const int* idx = faces.GetIndexes(unsigned(face), count);
        for (int k = 0; k < count; ++k)
            if (idx[k] >= 0 && idx[k] < n) pts[idx[k]].SetFlags(POINT_SELECTED, false);
    }
}

void C3DExtObject::SetSelectedFaces(C3DPointList& points, C3DFaceList& faces) {
    const C3DTPoint<float>* pts = points.GetPoints();
    const int n = points.GetSize();
    const bool markFrozen = IsOptimizerFlagSet(SCENEOPTIMIZER_SHOW_SELECTED_FACES);
    for (int face = 0, nf = faces.GetSize(); face < nf; ++face) {
        unsigned f = (faces.GetFaceFlags(unsigned(face)) | FACE_ALL_SELECTED) & ~(FACE_SELECTED | FACE_FROZEN);
        int count;
        const int* idx = faces.GetIndexes(unsigned(face), count);
        for (int k = 0; k < count; ++k) {
            const bool selected = idx[k] >= 0 && idx[k] < n && pts[idx[k]].IsFlagSet(POINT_SELECTED);
            if (selected)
                f |= FACE_SELECTED;
            else
                f &= ~FACE_ALL_SELECTED;
        }
        if (markFrozen && (!(f & FACE_ALL_SELECTED) ||
                           m_excludedMaterials.IsFound(faces.GetStoredFaceMaterial(unsigned(face)))))
            f |= FACE_FROZEN;
        faces.SetFaceFlags(unsigned(face), f);
    }
}

// ---- working copy -----------------------------------------------------------------------------------

// Makes `dst` hold the channels of `src` (sharing the channel objects).
static void AdoptChannels(CDependentChannels& dst, CDependentChannels& src) {
    if (&dst == &src) return;
    dst.RemoveAll();
    for (int i = 0, n = src.GetSize(); i < n; ++i) dst.AddChannel(XAddRef(src.GetChannel(i)));
}

bool C3DExtObject::InitOptimizedFacesAndPoints() {
    if (IsExtFlagSet(EXT_WORKING_COPY)) return false;
    if (!m_pWorkingPoints || !m_pWorkingFaces || !m_pInitialPoints || !m_pInitialFaces) return false;
    SetExtFlag(EXT_WORKING_COPY, true);
    SetExtFlag(EXT_COSTS_READY, false);
    const unsigned int channelMask = KeptChannelMask(m_optimizeMode);
    const bool separate = IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY);

    if (separate) *m_pWorkingPoints = *m_pInitialPoints;

    bool copied = IsExtFlagSet(EXT_TRIANGLES_ONLY);
    if (!copied) {
        if (m_optimizeExtMode & OPT_EXT_RECORD_SELECTED_FACES) {
            const int nf = m_pInitialFaces->GetSize();
            CXArray<uint8_t> bits;
            bits.SetSize((nf + 7) / 8);
            for (int i = 0; i < bits.GetSize(); ++i) bits[i] = 0;
            for (int f = 0; f < nf; ++f)
                if (m_pInitialFaces->IsFaceFlagSet(unsigned(f), FACE_SELECTED)) bits[f >> 3] |= uint8_t(1u << (f & 7));
            GetCustomData().SetBinary(EXT_SELECTED_FACES_KEY, bits.GetData(), unsigned(bits.GetSize()));
        }
        CGeomInfo geom(m_pInitialFaces, m_pInitialPoints);
        geom.SetChannels(m_pInitialChannels, m_pInitialChannels, 0);
        const bool all = (m_optimizeMode & OPT_TRIANGULATE_ALL) != 0;
        const int split = m_pInitialFaces->Triangulate(&geom, channelMask, all ? _FACE_PROPERTIES(0) : FACE_SELECTED, true);
        C3DFaceList* triangles = geom.GetDst3DFaceList(true);
        CDependentChannels* channels = geom.GetDstChannels(true);
        // New lists are ours: held so that they are released whatever happens below.
        XHeld<C3DFaceList> heldTriangles(triangles != m_pInitialFaces ? triangles : nullptr);
        XHeld<CDependentChannels> heldChannels(channels != m_pInitialChannels ? channels : nullptr);
        if (split > 0 && triangles && triangles != m_pInitialFaces) {
            *m_pWorkingFaces = *triangles;
            if (channels && m_pWorkingChannels && channels != m_pInitialChannels)
                AdoptChannels(*m_pWorkingChannels, *channels);
        } else {
            copied = true;
        }
    }
    if (copied && separate) {
        *m_pWorkingFaces = *m_pInitialFaces;
        if (m_pWorkingChannels) {
            m_pWorkingChannels->RemoveAll();
            if (m_pInitialChannels && channelMask)
                m_pWorkingChannels->CopyChannels(*m_pInitialChannels, channelMask, CHANNEL_COPY_KEEP_ID, nullptr);
        }
    }
    CGeomInfo working(m_pWorkingFaces, m_pWorkingPoints);
    m_pWorkingFaces->UpdatePointToFaceGraph(&working);
    return true;
}

void C3DExtObject::CountRemovableElements() {
    // Points removed by an earlier run of an object reduced in place keep their selection bit but
    // are no longer part of the mesh the ratios count from.
    int points = 0;
    if (m_pWorkingPoints) {
        const C3DTPoint<float>* pts = m_pWorkingPoints->GetPoints();
        for (int i = 0, n = m_pWorkingPoints->GetSize(); i < n; ++i)
            points += (pts[i].GetFlags() & (POINT_SELECTED | POINT_REMOVED)) == POINT_SELECTED;
    }
    m_initialRemovablePoints = points;
    int faces = 0;
    if (m_pWorkingFaces) {
        for (int f = 0, n = m_pWorkingFaces->GetSize(); f < n; ++f) {
            const unsigned flags = m_pWorkingFaces->GetFaceFlags(unsigned(f));
            if ((flags & FACE_SELECTED) && IsLiveFaceFlags(flags)) ++faces;
        }
    }
    m_initialRemovableFaces = faces;
}

// ---- quadrics -----------------------------------------------------------------------------------------

// Each face adds the quadric of its plane once to every one of its corners (no area weighting).
void C3DExtObject::InitPointsQuadric(C3DFaceList* faces) {
    CExtPointList& points = *m_pWorkingPoints;
    points.ClearQuadrics();
    CSymMatrix* quadrics = points.GetQuadrics();
    const C3DTPoint<float>* pts = points.GetPoints();
    const int np = points.GetSize();
    CSymMatrix k;
    bool degenerate = false;
    // Faces in order reach their corners' points and quadrics in no useful order: those of the
    // face kFacesAhead on are asked for before the current face is summed.
    constexpr int kFacesAhead = 8;
    for (int f = 0, nf = faces->GetSize(); f < nf; ++f) {
        if (f + kFacesAhead < nf) {
            int count;
            const int* idx = faces->GetIndexes(unsigned(f + kFacesAhead), count);
            for (int c = 0; c < count && c < 3; ++c) {
                if (unsigned(idx[c]) >= unsigned(np)) continue;
                detail::PrefetchLine(pts + idx[c]);
                detail::PrefetchObject(quadrics + idx[c]);
            }
        }
        if (!IsLiveFaceFlags(faces->GetFaceFlags(unsigned(f)))) continue;
        int count;
        const int* idx = faces->GetIndexes(unsigned(f), count);
        if (count < 3) continue;
        bool inRange = true;
        for (int c = 0; c < count; ++c) inRange = inRange && idx[c] >= 0 && idx[c] < np;
        if (!inRange) continue;
        double n[3], length;
        if (!TriangleNormal(pts[idx[0]], pts[idx[1]], pts[idx[2]], n, length)) {
            faces->SetFaceFlags(unsigned(f), FACE_INVALID, true);
            degenerate = true;
            continue;
        }
        const C3DTPoint<float>& p0 = pts[idx[0]];
        const double d = -(n[0] * double(p0.x) + n[1] * double(p0.y) + n[2] * double(p0.z));
        k.ComputeErrorQuadric(C4DTVector<double>(n[0], n[1], n[2], d));
        for (int c = 0; c < count; ++c) quadrics[idx[c]] += k;
    }
    if (!degenerate) return;
    Invalidate(INVALIDATE_FACES, true);
    CGeomInfo geom(faces, &points);
    faces->UpdatePointToFaceGraph(&geom);
    // Points left without a live face cannot be contracted any more.
    points.SetInvalidPoints(*faces, true);
    for (int i = 0; i < np; ++i) {
        CPt& p = points.GetAt(i);
        if (p.IsFlagSet(POINT_REMOVED)) p.SetFlags(POINT_SELECTED, false);
    }
    CountRemovableElements();
}

// Constraint planes (Garland and Heckbert's boundary preservation): along a feature edge, the
// plane through the edge perpendicular to its face penalises moving off the feature line.
void C3DExtObject::InitConstraints(C3DFaceList* faces) {
    const unsigned long long m = m_optimizeMode;
    const bool borders = (m & OPT_CONSTRAIN_BORDER) != 0;
    const bool material = HasAll(m, OPT_KEEP_MATERIAL | OPT_CONSTRAIN_MATERIAL);
    const bool uv = HasAll(m, OPT_KEEP_UVW | OPT_CONSTRAIN_UVW);
    const bool vc = HasAll(m, OPT_KEEP_VC | OPT_CONSTRAIN_VC);
    const bool normals = HasAll(m, OPT_KEEP_NORMALS | OPT_CONSTRAIN_NORMALS);
    const bool corners = (m & OPT_CONSTRAIN_CORNERS) != 0;
    if (!borders && !material && !uv && !vc && !normals && !corners) return;

    CExtPointList& points = *m_pWorkingPoints;
    C3DTPoint<float>* pts = points.GetPoints();
    const int np = points.GetSize();
    CGeomInfo geom(faces, &points);
    faces->UpdateEdgeToFaceGraph(&geom);
    const CEdgeToFaceGraph* graph = faces->GetEdgeToFaceGraph();
    if (!graph) return;

    CXArray<CEdgeConstraintInfo> records;
    int position = kHashStartPosition;
    C3DEdge edge;
    const int* edgeFaces;
    unsigned faceCount;
    while (graph->GetNext(position, edge, edgeFaces, faceCount)) {
        if (faceCount == 0) continue;
        const int a = int(edge.GetP1()), b = int(edge.GetP2());
        if (a >= np || b >= np) continue;
        const unsigned fa = pts[a].GetFlags(), fb = pts[b].GetFlags();
        if (!((fa | fb) & POINT_SELECTED)) continue;
        const unsigned both = fa & fb;
        float wa = 1.0f, wb = 1.0f;
        const bool shared = (borders && faceCount == 1) || (material && (both & POINT_MATERIAL_FRONTIER)) ||
                            (uv && ((fa & (POINT_UV_SEAM | POINT_UV_JUNCTION)) && (fb & (POINT_UV_SEAM | POINT_UV_JUNCTION)))) ||
                            (vc && (both & POINT_VC_FRONTIER)) || (normals && (both & POINT_NORMAL_FRONTIER));
        if (!shared) {
            if (!corners) continue;
            const bool ca = (fa & kCornerFlags) != 0, cb = (fb & kCornerFlags) != 0;
            if (!ca && !cb) continue;
            wa = ca ? 0.2f : 0.0f;
            wb = cb ? 0.2f : 0.0f;
        }
        if (!(fa & POINT_SELECTED) || !(fa & POINT_CONSTRAINED_FEATURE)) wa = 0.0f;
        if (!(fb & POINT_SELECTED) || !(fb & POINT_CONSTRAINED_FEATURE)) wb = 0.0f;
        if (wa == 0.0f && wb == 0.0f) continue;
        records.Add(CEdgeConstraintInfo{a, b, wa, wb, edgeFaces[0]});
        if (faceCount > 1) records.Add(CEdgeConstraintInfo{a, b, wa, wb, edgeFaces[1]});
    }
    faces->DeleteEdgeToFaceGraph();

    CSymMatrix k, weighted;
    for (const CEdgeConstraintInfo& r : records) {
        int count;
        const int* idx = faces->GetIndexes(unsigned(r.face), count);
        double n[3] = {1.0, 0.0, 0.0}, length;
        if (count >= 3 && idx[0] >= 0 && idx[0] < np && idx[1] >= 0 && idx[1] < np && idx[2] >= 0 && idx[2] < np) {
            if (!TriangleNormal(pts[idx[0]], pts[idx[1]], pts[idx[2]], n, length)) {
                n[0] = 1.0;
                n[1] = n[2] = 0.0;
            }
        }
        const C3DTPoint<float>& pa = pts[r.a];
        const C3DTPoint<float>& pb = pts[r.b];
        const double ex = double(pb.x) - pa.x, ey = double(pb.y) - pa.y, ez = double(pb.z) - pa.z;
        double cx = ey * n[2] - ez * n[1], cy = ez * n[0] - ex * n[2], cz = ex * n[1] - ey * n[0];
        const double cl = std::sqrt(cx * cx + cy * cy + cz * cz);
        C4DTVector<double> plane(1.0, 0.0, 0.0, 1.0);
        if (cl >= 1e-15) {
            cx /= cl;
            cy /= cl;
            cz /= cl;
            plane = C4DTVector<double>(cx, cy, cz, -(cx * pa.x + cy * pa.y + cz * pa.z));
        }
        pts[r.a].SetFlags(POINT_COPLANAR, false);
        pts[r.b].SetFlags(POINT_COPLANAR, false);
        k.ComputeErrorQuadric(plane);
        if (r.wa > 0.005f) {
            weighted = k;
            weighted *= double(r.wa);
            points.GetQuadric(r.a) += weighted;
        }
        if (r.wb > 0.005f) {
            weighted = k;
            weighted *= double(r.wb);
            points.GetQuadric(r.b) += weighted;
        }
    }
}

// ---- candidates ---------------------------------------------------------------------------------------

// The candidates are the distinct edges (min, max) of the selected live faces (first three
// corners) with at least one selected end. The heap receives them in the slot order of an edge
// set filled in face order: that order decides which of several equally cheap candidates goes
// first, so it is kept. Everything else works in point order: the records are laid out by their
// smaller index (enumerated through the point-to-face graph) and evaluated in that order, so that
// the evaluation walks the quadric and record arrays sequentially. On a million-triangle mesh the
// random accesses of a slot-ordered layout made up most of the preparation.
void C3DExtObject::InitOrderedCostList() {
    CExtPointList& points = *m_pWorkingPoints;
    C3DFaceList& faces = *m_pWorkingFaces;
    const C3DTPoint<float>* pts = points.GetPoints();
    const int np = points.GetSize();
    const int nf = faces.GetSize();
    if (!faces.HasPointToFaceGraph()) {
        CGeomInfo geom(&faces, &points);
        faces.UpdatePointToFaceGraph(&geom);
    }

    // Records by smaller index: start[p] .. start[p + 1] hold the edges (p, q), q > p. The walk
    // meets every (face, edge) occurrence of an edge (p, q), q > p, from p; seen[q] tells whether
    // the edge (p, q) was met before while p is walked, so that each edge gets one record.
    CXArray<int> start, seen;
    start.SetSize(np + 1);
    seen.SetSize(np);
    int* first = start.GetData();
    int* mark = seen.GetData();
    // The faces around a point, and their corners, lie anywhere in memory: the walk asks for the
    // faces' entries in the record offset table kOffsetsAhead points ahead, for the face records
    // (found through those offsets) and flag words kFacesAhead points ahead, and for the corner
    // points and their quadrics kCornersAhead points ahead, by which time those face records have
    // arrived.
    constexpr int kOffsetsAhead = 24, kFacesAhead = 16, kCornersAhead = 8;
    const COffsetArray& faceOffsets = faces.GetRecords().GetOffsets();
    const uint32_t* offsetOf =
        faceOffsets.GetSplitIndex() == COffsetArray::kNoSplit ? faceOffsets.GetNarrowData() : nullptr;
    const CFaceFlagsView faceWords(faces);
    const CSymMatrix* quadricOf = points.GetQuadrics();
    auto prefetchAhead = [&](int p) {
        int around;
        if (offsetOf && p + kOffsetsAhead < np) {
            const int* list = faces.GetFacesConnectedToPoint(unsigned(p + kOffsetsAhead), around);
            for (int k = 0; k < around; ++k) detail::PrefetchLine(offsetOf + list[k]);
        }
        if (p + kFacesAhead < np) {
            const int* list = faces.GetFacesConnectedToPoint(unsigned(p + kFacesAhead), around);
            for (int k = 0; k < around; ++k) {
                int unused;
                detail::PrefetchLine(faces.GetIndexes(unsigned(list[k]), unused));
                detail::PrefetchLine(faceWords.Address(unsigned(list[k])));
            }
        }
        if (p + kCornersAhead < np) {
            const int* list = faces.GetFacesConnectedToPoint(unsigned(p + kCornersAhead), around);
            for (int k = 0; k < around; ++k) {
                int count;
                const int* idx = faces.GetIndexes(unsigned(list[k]), count);
                for (int c = 0; c < count && c < 3; ++c) {
                    if (unsigned(idx[c]) >= unsigned(np)) continue;
                    detail::PrefetchLine(pts + idx[c]);
                    detail::PrefetchObject(quadricOf + idx[c]);
                }
            }
        }
    };
    // One walk makes the records, in point order: at most three per selected live face, so the
    // record array is first sized for that many and then trimmed (in place) to the edges found.
    // The bound costs less than a counting walk: while the walk runs it holds less than the pair
    // index filled below holds at once.
    int selectedFaces = 0;
    for (int f = 0; f < nf; ++f) {
        const unsigned flags = faces.GetFaceFlags(unsigned(f));
        if ((flags & FACE_SELECTED) && IsLiveFaceFlags(flags)) ++selectedFaces;
    }
    m_costs.RemoveAll();
    {
        CUnfilledCostArray unfilled;
        unfilled.SetUnfilledSize(3 * selectedFaces);
        m_costs.Swap(unfilled);
    }
    CContractionCost* recs = m_costs.GetData();
    // The record of each edge of each face plus one (0, as the array comes zero-filled, where
    // the edge has none), for the edge set below, which is filled in face order: face order
    // reaches the records of an edge's smaller point in no useful order, so looking them up
    // there would miss the cache on most edges.
    CXArray<uint32_t> faceEdges;
    faceEdges.SetSize(3 * nf);
    uint32_t* recordOf = faceEdges.GetData();
    // While p is walked, seen[q] is the record of (p, q) plus one once made (records of earlier
    // points lie below first[p]; the zero fill counts as below every point's first record).
    int n = 0;
    for (int p = 0; p < np; ++p) {
        first[p] = n;
        prefetchAhead(p);
        const bool pSelected = pts[p].IsFlagSet(POINT_SELECTED);
        int around;
        const int* list = faces.GetFacesConnectedToPoint(unsigned(p), around);
        for (int k = 0; k < around; ++k) {
            const unsigned f = unsigned(list[k]);
            const unsigned flags = faces.GetFaceFlags(f);
            if (!(flags & FACE_SELECTED) || !IsLiveFaceFlags(flags)) continue;
            int count;
            const int* idx = faces.GetIndexes(f, count);
            if (count < 3) continue;
            for (int c = 0; c < 3; ++c) {
                if (idx[c] != p) continue;
                // The two edges of the first three corners that meet at corner c: edge c (to the
                // next corner) and edge c - 1 (from the previous one).
                const int nb[2] = {idx[c == 2 ? 0 : c + 1], idx[c == 0 ? 2 : c - 1]};
                const int edge[2] = {c, c == 0 ? 2 : c - 1};
                for (int j = 0; j < 2; ++j) {
                    const int q = nb[j];
                    if (q <= p || q >= np) continue;
                    if (!pSelected && !pts[q].IsFlagSet(POINT_SELECTED)) continue;
                    int r = mark[q] - 1;
                    if (r < first[p]) {
                        r = n++;
                        mark[q] = r + 1;
                        CContractionCost& rec = recs[r];
                        // The bytes no field write reaches (the padding, the position bytes past
                        // the parameter of an edge position) are zero, as in a filled array.
                        std::memset(static_cast<void*>(&rec), 0, sizeof rec);
                        rec.first = p;
                        rec.second = q;
                        rec.slot = nullptr;
                        ComputePairCost(points, faces, &rec);
                        rec.SetGeneration(0);
                    }
                    recordOf[3 * f + unsigned(edge[j])] = uint32_t(r) + 1u;
                }
            }
        }
    }
    if (np > 0) first[np] = n;
    const int edgeCount = n;
    m_costs.SetSize(edgeCount);
    m_costs.FreeExtra();
    recs = m_costs.GetData();
    seen.RemoveAll();

    m_heap.Reset();
    m_heap.Init(CostHeap::MakeSentinel(), unsigned(edgeCount));

    // The insertion order: slot order of the edge set of the selected faces, filled in face order
    // (a CHashTable<C3DEdge> sized for 2 * faces + 2 edges). Only that order is needed, so the set
    // holds each edge's record index and hash instead of the edge (8 bytes a slot instead of 12),
    // and the walk hands the heap the records directly. The set is released before the pair index
    // is built, so that the two never coexist.
    {
        InsertOnlySlotOrder edges(2u * unsigned(nf) + 2u);
        // An edge's home follows its points, so faces in the order of their points fill the set
        // front to back; other faces land anywhere: the home slots of the edges kFaceAhead faces
        // on are asked for before the current face's edges go in, so that the misses overlap.
        constexpr int kFaceAhead = 8;
        auto forEachFaceEdge = [&](int f, auto&& visit) {
            const uint32_t* r = recordOf + 3 * f;
            if ((r[0] | r[1] | r[2]) == 0) return;
            int count;
            const int* idx = faces.GetIndexes(unsigned(f), count);
            for (int e = 0; e < 3; ++e) {
                if (r[e] == 0) continue;
                const C3DEdge edge{unsigned(idx[e]), unsigned(idx[e == 2 ? 0 : e + 1])};
                visit(CHashMethods<C3DEdge>::Hash(edge), r[e] - 1u);
            }
        };
        for (int f = 0; f < nf; ++f) {
            if (f + kFaceAhead < nf)
                forEachFaceEdge(f + kFaceAhead, [&](unsigned hash, uint32_t) { edges.Prefetch(hash); });
            forEachFaceEdge(f, [&](unsigned hash, uint32_t r) { edges.Insert(hash, r); });
        }
        assert(int(edges.GetCount()) == edgeCount);
        // The order is kept in the face records' array (no longer needed), and the set goes
        // before the heap is built.
        edges.CopyTo(recordOf);
    }
    // What InsertCost(record, 0) does, split in two: the heap layout depends on the order of
    // insertion; the pair index is a set, so its content does not, and it is filled afterwards in
    // point order (its hash follows the indices, so the fill walks the table almost sequentially).
    m_heap.InsertAll(recs, recordOf, unsigned(edgeCount));
    // Neither is needed any more; freed before the pair index, whose fill is the peak of memory.
    faceEdges.RemoveAll();
    start.RemoveAll();
    // The loop never holds more candidates than this, but its new pairs fill never-used slots while
    // the removed ones leave deleted slots behind. Sized at what a clean-up rebuild of the table
    // would choose for this count, so that the first new pair does not double a table filled up
    // to its growth threshold (a doubling that the loop then keeps to the end).
    m_pairIndex.InitHashTable(unsigned((2.0 * double(edgeCount) + 2.0) / 0.65));
    // The second indices of neighbouring records lie far apart, so the home slots do too: the
    // home slot of the record kSlotAhead on is asked for (a probe compares the pairs the slots
    // hold, so the records already in the table are not read).
    constexpr int kSlotAhead = 16;
    for (int i = 0; i < edgeCount; ++i) {
        if (i + kSlotAhead < edgeCount) {
            if (const void* slot = m_pairIndex.GetHomeSlot(&recs[i + kSlotAhead])) detail::PrefetchLine(slot);
        }
        m_pairIndex.Insert(&recs[i]);
    }
}

}  // namespace kestovar
