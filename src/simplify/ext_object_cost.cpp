// C3DExtObject: evaluation of one candidate contraction (quadric cost, optimal position, segment
// search, move factors and the allowed-position mask) and its insertion into the heap and the
// pair index.
//
// Everything here runs once per candidate during preparation and once per re-evaluated neighbour
// during the contraction loop: it allocates nothing and keeps its scratch in the object.
#include <cfloat>
#include <cmath>

#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {

namespace {

// Allowed-position mask bits of ComputePairCost.
constexpr unsigned kAllowOptimal = 2;
constexpr unsigned kAllowOnEdge = 4;
constexpr unsigned kAllowFirst = 8;
constexpr unsigned kAllowSecond = 16;
constexpr unsigned kAllowAll = 30;

// FLT_MAX widened: the cost of an end point that may not be chosen.
constexpr double kNoCost = double(FLT_MAX);

// The evaluation steps below are plain functions of this file, so that ComputePairCost, which
// runs for every re-evaluated candidate of the contraction loop, inlines them; the public members
// of the same names are thin wrappers. (Exported members are called through the procedure
// linkage table from inside the library and are never inlined.)

// v^T Q v with v = (x, y, z, 1).
inline double PointCost(const CSymMatrix& q, const C3DTPoint<float>& v) {
    const double x = v.x, y = v.y, z = v.z;
    const double* m = q.m;
    return m[0] * x * x + 2.0 * m[1] * x * y + 2.0 * m[2] * x * z + 2.0 * m[3] * x + m[4] * y * y +
           2.0 * m[5] * y * z + 2.0 * m[6] * y + m[7] * z * z + 2.0 * m[8] * z + m[9];
}

// The determinant of A is tested against the sum of the magnitudes of its six terms rather than
// against an absolute epsilon, so the test does not depend on the mesh's scale: a quadric made of
// nearly parallel planes is refused at any size.
inline bool QuadricMinimum(const CSymMatrix& q, double* inv, C3DTPoint<float>& out) {
    const double* m = q.m;
    const double terms[6] = {
        m[0] * m[4] * m[7],     // a2 b2 c2
        m[1] * m[5] * m[2],     // ab bc ac
        m[2] * m[1] * m[5],     // ac ab bc
        -(m[2] * m[4] * m[2]),  // -ac b2 ac
        -(m[1] * m[1] * m[7]),  // -ab ab c2
        -(m[5] * m[0] * m[5]),  // -bc a2 bc
    };
    double pos = 0.0, neg = 0.0;
    for (double t : terms) {
        if (t >= 0.0)
            pos += t;
        else
            neg += t;
    }
    const double det = pos + neg;
    if (det == 0.0) return false;
    if (std::fabs(det / (pos - neg)) < 1e-12) return false;

    inv[0] = (m[4] * m[7] - m[5] * m[5]) / det;
    inv[1] = (m[2] * m[5] - m[1] * m[7]) / det;
    inv[2] = (m[1] * m[5] - m[2] * m[4]) / det;
    inv[3] = inv[1];
    inv[4] = (m[0] * m[7] - m[2] * m[2]) / det;
    inv[5] = (m[1] * m[2] - m[0] * m[5]) / det;
    inv[6] = inv[2];
    inv[7] = inv[5];
    inv[8] = (m[0] * m[4] - m[1] * m[1]) / det;
    const double bx = m[3], by = m[6], bz = m[8];
    out.x = float(-(inv[0] * bx + inv[1] * by + inv[2] * bz));
    out.y = float(-(inv[3] * bx + inv[4] * by + inv[5] * bz));
    out.z = float(-(inv[6] * bx + inv[7] * by + inv[8] * bz));
    return true;
}

// The first rule that applies decides. noFreePosition is only ever raised here: the caller starts
// it false and passes it to both points of a pair.
inline _MOVE_FACTOR MoveFactor(unsigned long long m, const C3DPointSymetryMap* symmetry,
                               const C3DTPoint<float>* p, int index, bool& noFreePosition) {
    const unsigned int f = p->GetFlags();
    if (!(f & POINT_SELECTED)) return MOVE_FACTOR_LOCKED;
    if (f & POINT_CONSTRAINED) return MOVE_FACTOR_CONSTRAINED;
    if ((m & OPT_SYMMETRY_MASK) && symmetry && symmetry->IsFound(index)) return MOVE_FACTOR_SYMMETRY;
    const bool corners = (m & (OPT_KEEP_CORNERS | OPT_CONSTRAIN_CORNERS)) != 0;
    const bool isCorner = (f & (POINT_3D_CORNER | POINT_2D_CORNER)) != 0;
    if ((m & (OPT_KEEP_BORDER | OPT_CONSTRAIN_BORDER)) && (f & POINT_BORDER)) {
        if (corners && isCorner) noFreePosition = true;
        return (f & POINT_SHARED_EDGE) ? MOVE_FACTOR_SEAM : MOVE_FACTOR_BORDER;
    }
    if ((m & OPT_KEEP_UVW) && (f & POINT_UV_SEAM)) {
        noFreePosition = true;
        return MOVE_FACTOR_SEAM;
    }
    if ((m & OPT_KEEP_NORMALS) && (f & POINT_NORMAL_FRONTIER)) {
        noFreePosition = true;
        return MOVE_FACTOR_SOFT;
    }
    if ((m & OPT_KEEP_VC) && (f & POINT_VC_FRONTIER)) return MOVE_FACTOR_SEAM;
    if ((m & OPT_KEEP_MATERIAL) && (f & POINT_MATERIAL_FRONTIER)) return MOVE_FACTOR_MATERIAL;
    if (corners && isCorner) {
        noFreePosition = true;
        return MOVE_FACTOR_SOFT;
    }
    return MOVE_FACTOR_FREE;
}

}  // namespace

double C3DExtObject::ComputePointCost(CSymMatrix& q, const C3DTPoint<float>& v) {
    return PointCost(q, v);
}

bool C3DExtObject::InverseExist(const CSymMatrix& q, C3DTPoint<float>& out) {
    return QuadricMinimum(q, m_scratchInverse, out);
}

// Minimum of cost(p2 + t d), d = p1 - p2: the derivative 2 d^T A (p2 + t d) + 2 b.d vanishes at
// t = -(2 d^T A p2 + 2 b.d) / (2 d^T A d).
bool C3DExtObject::FindBestPosOnLine(const CSymMatrix& q, const C3DTPoint<float>& p1, const C3DTPoint<float>& p2,
                                     CInitialCost* rec) {
    C3DTVector<double>& d = m_scratchVector1;
    C3DTVector<double>& ad = m_scratchVector2;
    d.x = double(p1.x) - double(p2.x);
    d.y = double(p1.y) - double(p2.y);
    d.z = double(p1.z) - double(p2.z);
    q.Mult(ad, d);
    const double dad2 = 2.0 * (d.x * ad.x + d.y * ad.y + d.z * ad.z);
    if (dad2 < 1e-15) return false;
    const double adp2 = ad.x * double(p2.x) + ad.y * double(p2.y) + ad.z * double(p2.z);
    const double bd = q.m[3] * d.x + q.m[6] * d.y + q.m[8] * d.z;
    double t = -(2.0 * adp2 + 2.0 * bd) / dad2;
    if (t <= 0.0) {
        t = 0.0;
        rec->flags = CONTRACTION_FLAGS_SECOND;
    } else if (t >= 1.0) {
        t = 1.0;
        rec->flags = CONTRACTION_FLAGS_FIRST;
    } else {
        rec->flags = CONTRACTION_FLAGS_ON_EDGE;
    }
    rec->SetT(t);
    return true;
}

_MOVE_FACTOR C3DExtObject::GetPointMoveFactor(const C3DTPoint<float>* p, int index, bool& noFreePosition) {
    return MoveFactor(m_optimizeMode, m_pWorkingSymetryMap, p, index, noFreePosition);
}

void C3DExtObject::GetContractionPosition(const CInitialCost& rec, const C3DPointList& points, C3DTPoint<float>& out) {
    const C3DTPoint<float>& p1 = points.GetAt(rec.first);
    const C3DTPoint<float>& p2 = points.GetAt(rec.second);
    switch (rec.GetKind()) {
        case POSITION_OPTIMAL:
            rec.GetXYZ(out.x, out.y, out.z);
            break;
        case POSITION_ON_EDGE: {
            // Per coordinate: the float difference, widened, times t, plus the widened second
            // coordinate, narrowed.
            const double t = rec.GetT();
            out.x = float(double(p1.x - p2.x) * t + double(p2.x));
            out.y = float(double(p1.y - p2.y) * t + double(p2.y));
            out.z = float(double(p1.z - p2.z) * t + double(p2.z));
            break;
        }
        case POSITION_FIRST:
            out.Init(p1.x, p1.y, p1.z);
            break;
        default:
            out.Init(p2.x, p2.y, p2.z);
            break;
    }
}

// Candidate positions, in order of preference: the quadric's minimum, the best point of the
// segment, then the cheapest of the end points and the midpoint. The move factors of the two
// points restrict the choice first: a stiffer point stays where it is, and a pair whose points
// must not take free positions loses the optimum.
void C3DExtObject::ComputePairCost(CExtPointList& points, C3DFaceList& faces, CInitialCost* rec) {
    (void)faces;
    const int i1 = rec->first, i2 = rec->second;
    const C3DTPoint<float>& p1 = points.GetAt(i1);
    const C3DTPoint<float>& p2 = points.GetAt(i2);
    CSymMatrix q = points.GetQuadric(i1);
    q += points.GetQuadric(i2);

    bool noFreePosition = false;
    const int f1 = MoveFactor(m_optimizeMode, m_pWorkingSymetryMap, &p1, i1, noFreePosition);
    const int f2 = MoveFactor(m_optimizeMode, m_pWorkingSymetryMap, &p2, i2, noFreePosition);
    unsigned allowed = kAllowAll;
    if (f1 > f2)
        allowed = kAllowFirst;
    else if (f1 < f2)
        allowed = kAllowSecond;
    else if (f1 > 1)
        allowed = noFreePosition ? (kAllowOnEdge | kAllowFirst | kAllowSecond) : kAllowAll;

    const unsigned long long m = m_optimizeMode;
    if (m & OPT_ENDPOINTS_ONLY)
        allowed &= ~(kAllowOptimal | kAllowOnEdge);
    else if (m & (OPT_KEEP_UVW | OPT_KEEP_NORMALS))
        allowed &= ~kAllowOptimal;

    C3DTPoint<float> v;
    double inverse[9];
    if ((allowed & kAllowOptimal) && QuadricMinimum(q, inverse, v)) {
        rec->flags = CONTRACTION_FLAGS_OPTIMAL;
        rec->SetXYZ(v.x, v.y, v.z);
        rec->cost = float(PointCost(q, v));
        return;
    }
    if ((allowed & kAllowOnEdge) && FindBestPosOnLine(q, p1, p2, rec)) {
        GetContractionPosition(*rec, points, v);
        rec->cost = float(PointCost(q, v));
        return;
    }

    // A stiffer point stays where it is whatever its cost. The comparisons below would otherwise
    // hand the pair to the midpoint (or to the other point) when that cost is not below FLT_MAX,
    // or is NaN: coordinates near or beyond the float range. Moving a frozen point takes it out of
    // the mesh with neighbours that have no candidate with it, and the loop then runs out of
    // records. Below FLT_MAX the comparisons choose this same point.
    if (allowed == kAllowFirst || allowed == kAllowSecond) {
        const bool first = allowed == kAllowFirst;
        rec->flags = first ? CONTRACTION_FLAGS_FIRST : CONTRACTION_FLAGS_SECOND;
        rec->SetT(first ? 1.0 : 0.0);
        rec->cost = float(PointCost(q, first ? p1 : p2));
        return;
    }
    const double c1 = (allowed & kAllowFirst) ? PointCost(q, p1) : kNoCost;
    const double c2 = (allowed & kAllowSecond) ? PointCost(q, p2) : kNoCost;
    double cm = kNoCost;
    if ((allowed & kAllowOnEdge) || (c1 == kNoCost && c2 == kNoCost)) {
        v.x = float(double(p2.x + p1.x) * 0.5);
        v.y = float(double(p2.y + p1.y) * 0.5);
        v.z = float(double(p2.z + p1.z) * 0.5);
        cm = PointCost(q, v);
    }
    // Ties between the end points go to the second point; a tie with the midpoint goes to the
    // midpoint.
    if (c2 > c1 && cm > c1) {
        rec->flags = CONTRACTION_FLAGS_FIRST;
        rec->SetT(1.0);
        rec->cost = float(c1);
    } else if (cm > c2) {
        rec->flags = CONTRACTION_FLAGS_SECOND;
        rec->SetT(0.0);
        rec->cost = float(c2);
    } else {
        rec->flags = CONTRACTION_FLAGS_ON_EDGE;
        rec->SetT(0.5);
        rec->cost = float(cm);
    }
}

void C3DExtObject::InsertCost(CContractionCost* rec, int generation) {
    rec->SetGeneration(unsigned(generation));
    rec->slot = m_heap.Insert(rec);
    // A pair already indexed (a popped record put back) keeps its entry.
    m_pairIndex.Insert(rec);
}

}  // namespace kestovar
