// Geometry of one face seen through a C3DFace view: Newell normal, plane, centre, area,
// compacity, planarity and convexity. The points are the geometry view's source points.
//
// Newell's method (M. Newell, 1972; see Sutherland, Sproull and Schumacker 1974) gives a normal
// whose length is twice the polygon's area and which is exact for planar polygons and a
// least-squares plane normal for non-planar ones.
#include <cmath>

#include "kestovar/mesh/face.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/point_list.h"
#include "normal_internal.h"

namespace kestovar {

namespace {

const C3DTPoint<float>* SourcePoints(const CGeomInfo* geom, int& count) {
    const C3DPointList* list = geom ? geom->GetSrc3DPointList() : nullptr;
    count = list ? list->GetSize() : 0;
    return list ? list->GetPoints() : nullptr;
}

bool IndicesInRange(const int* idx, unsigned n, int pointCount) {
    for (unsigned k = 0; k < n; ++k)
        if (unsigned(idx[k]) >= unsigned(pointCount)) return false;
    return true;
}

}  // namespace

bool C3DFace::GetNormal(const CGeomInfo* geom, C3DTVector<float>& n, bool normalize) const {
    int count = 0;
    const C3DTPoint<float>* pts = SourcePoints(geom, count);
    float v[3];
    const bool ok = detail::NewellSums(pts, count, m_pIndexes, m_nCount, v);
    if (ok && normalize) detail::NormalizeIfLong(v);
    n.Init(v[0], v[1], v[2]);
    return ok;
}

bool C3DFace::GetPlane(const CGeomInfo* geom, C3DTVector<float>& n, float& d) const {
    const bool ok = GetNormal(geom, n, true);
    C3DTPoint<float> c;
    GetCenter(geom, c);
    d = float(-(double(n.x) * c.x + double(n.y) * c.y + double(n.z) * c.z));
    return ok;
}

bool C3DFace::GetCenter(const CGeomInfo* geom, C3DTPoint<float>& center) const {
    center.Init(0.0f, 0.0f, 0.0f);
    int count = 0;
    const C3DTPoint<float>* pts = SourcePoints(geom, count);
    if (m_nCount == 0 || !pts || !IndicesInRange(m_pIndexes, m_nCount, count)) return false;
    double sx = 0.0, sy = 0.0, sz = 0.0;
    for (unsigned k = 0; k < m_nCount; ++k) {
        const C3DTPoint<float>& p = pts[m_pIndexes[k]];
        sx += p.x;
        sy += p.y;
        sz += p.z;
    }
    center.Init(float(sx / m_nCount), float(sy / m_nCount), float(sz / m_nCount));
    return true;
}

double C3DFace::Area(const CGeomInfo* geom) const {
    C3DTVector<float> n;
    if (!GetNormal(geom, n, false)) return 0.0;
    return 0.5 * n.Length();
}

double C3DFace::GetCompacityFactor(const CGeomInfo* geom) const {
    int count = 0;
    const C3DTPoint<float>* pts = SourcePoints(geom, count);
    if (m_nCount < 3 || !pts || !IndicesInRange(m_pIndexes, 3, count)) return 0.0;
    return kestovar::GetCompacityFactor(pts[m_pIndexes[0]], pts[m_pIndexes[1]], pts[m_pIndexes[2]]);
}

bool C3DFace::IsPlane(const CGeomInfo* geom, double tolerance) const {
    C3DTVector<float> n;
    float d = 0.0f;
    if (!GetPlane(geom, n, d)) return false;
    if (m_nCount == 3) return true;
    int count = 0;
    const C3DTPoint<float>* pts = SourcePoints(geom, count);
    for (unsigned k = 0; k < m_nCount; ++k) {
        const C3DTPoint<float>& p = pts[m_pIndexes[k]];
        const double dist = double(n.x) * p.x + double(n.y) * p.y + double(n.z) * p.z + d;
        if (!(std::fabs(dist) <= tolerance)) return false;
    }
    return true;
}

bool C3DFace::IsConvex(const CGeomInfo* geom) const {
    C3DTVector<float> normal;
    if (!GetNormal(geom, normal, true)) return false;
    int count = 0;
    const C3DTPoint<float>* pts = SourcePoints(geom, count);
    // Turn at every corner, measured about the normal: the sign of (p - prev) x (next - p) . n
    // must never be negative, and the turns must add up to one full turn (a pentagram turns the
    // same way everywhere but winds twice). Repeated corners (zero-length edges) are skipped:
    // prev and next are the nearest corners at other positions.
    auto same = [&](unsigned i, unsigned j) {
        const C3DTPoint<float>& a = pts[m_pIndexes[i]];
        const C3DTPoint<float>& b = pts[m_pIndexes[j]];
        return a.x == b.x && a.y == b.y && a.z == b.z;
    };
    const unsigned n = m_nCount;
    double turning = 0.0;
    for (unsigned k = 0; k < n; ++k) {
        const unsigned before = k == 0 ? n - 1 : k - 1;
        if (same(k, before)) continue;  // the turn is taken at the first of the repeated corners
        unsigned next = k + 1 == n ? 0 : k + 1;
        for (unsigned guard = 0; guard < n && same(next, k); ++guard) next = next + 1 == n ? 0 : next + 1;
        const C3DTPoint<float>& a = pts[m_pIndexes[before]];
        const C3DTPoint<float>& b = pts[m_pIndexes[k]];
        const C3DTPoint<float>& c = pts[m_pIndexes[next]];
        const double u[3] = {double(b.x) - a.x, double(b.y) - a.y, double(b.z) - a.z};
        const double v[3] = {double(c.x) - b.x, double(c.y) - b.y, double(c.z) - b.z};
        const double cr[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        const double sine = cr[0] * normal.x + cr[1] * normal.y + cr[2] * normal.z;
        const double cosine = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
        const double lu = u[0] * u[0] + u[1] * u[1] + u[2] * u[2];
        const double lv = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
        // Relative tolerance on the sine so that straight corners of float data count as convex.
        if (sine < -1e-6 * std::sqrt(lu * lv)) return false;
        turning += std::atan2(sine, cosine);
    }
    return std::fabs(turning - 2.0 * M_PI) < 1e-3;
}

}  // namespace kestovar
