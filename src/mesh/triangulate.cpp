// Ear clipping of polygons and the triangulation of face lists and objects.
#include "kestovar/mesh/triangulate.h"

#include <cmath>

#include "kestovar/core/log.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

namespace {

// An ear whose corner angle exceeds this (a little above a right angle) is only cut when no
// sharper convex corner is left: cutting the sharpest corners first keeps triangles compact.
constexpr double kMaxPreferredAngle = 1.58;

}  // namespace

CTriangulateFaceHelper::CTriangulateFaceHelper() = default;
CTriangulateFaceHelper::~CTriangulateFaceHelper() = default;

bool CTriangulateFaceHelper::Project(const C3DTPoint<float>* points, int pointCount, const int* indices, int count) {
    for (int i = 0; i < count; ++i) {
        int p = indices[i];
        if (p < 0 || p >= pointCount) return false;
        if (!std::isfinite(points[p].x) || !std::isfinite(points[p].y) || !std::isfinite(points[p].z)) return false;
    }
    // Newell normal, in double.
    double nx = 0.0, ny = 0.0, nz = 0.0;
    for (int i = 0; i < count; ++i) {
        const C3DTPoint<float>& a = points[indices[i]];
        const C3DTPoint<float>& b = points[indices[(i + 1) % count]];
        nx += (double(a.y) - b.y) * (double(a.z) + b.z);
        ny += (double(a.z) - b.z) * (double(a.x) + b.x);
        nz += (double(a.x) - b.x) * (double(a.y) + b.y);
    }
    double nl = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(nl > 0.0) || !std::isfinite(nl)) return false;
    nx /= nl;
    ny /= nl;
    nz /= nl;

    const C3DTPoint<float>& c0 = points[indices[0]];
    double ux = 0.0, uy = 0.0, uz = 0.0;
    bool found = false;
    for (int i = 1; i < count && !found; ++i) {
        const C3DTPoint<float>& c = points[indices[i]];
        ux = double(c.x) - c0.x;
        uy = double(c.y) - c0.y;
        uz = double(c.z) - c0.z;
        found = std::fabs(ux) >= 1e-15 || std::fabs(uy) >= 1e-15 || std::fabs(uz) >= 1e-15;
    }
    if (!found) return false;
    double ul = std::sqrt(ux * ux + uy * uy + uz * uz);
    if (ul > 1e-15) {
        ux /= ul;
        uy /= ul;
        uz /= ul;
    }
    double vx = ny * uz - nz * uy, vy = nz * ux - nx * uz, vz = nx * uy - ny * ux;

    m_corners.SetSize(count);
    C2DPointExt* c = m_corners.GetData();
    for (int i = 0; i < count; ++i) {
        const C3DTPoint<float>& p = points[indices[i]];
        double dx = double(p.x) - c0.x, dy = double(p.y) - c0.y, dz = double(p.z) - c0.z;
        c[i].x = dx * ux + dy * uy + dz * uz;
        c[i].y = dx * vx + dy * vy + dz * vz;
        c[i].corner = i;
        c[i].point = indices[i];
        c[i].prev = i == 0 ? count - 1 : i - 1;
        c[i].next = i == count - 1 ? 0 : i + 1;
    }
    for (int i = 0; i < count; ++i) UpdateAngle(i);
    return true;
}

void CTriangulateFaceHelper::UpdateAngle(int corner) {
    C2DPointExt* c = m_corners.GetData();
    C2DPointExt& k = c[corner];
    const C2DPointExt& p = c[k.prev];
    const C2DPointExt& n = c[k.next];
    double e1x = p.x - k.x, e1y = p.y - k.y;
    double e2x = n.x - k.x, e2y = n.y - k.y;
    k.angle = std::atan2(e1y * e2x - e1x * e2y, e1y * e2y + e1x * e2x);
    k.convex = k.angle >= 0.0;
}

int CTriangulateFaceHelper::Clip(const C3DTPoint<float>* points, int pointCount, const int* indices, int count) {
    m_triangles.SetSize(0);
    if (count < 3 || !points || !indices || !Project(points, pointCount, indices, count)) return 0;
    C2DPointExt* c = m_corners.GetData();

    int candidate = -1;
    for (int i = 1; i < count; ++i)
        if (c[i].convex && (candidate < 0 || c[i].angle < c[candidate].angle)) candidate = i;
    int remaining = count;
    int anchor = 0;  // some corner still in the polygon, to walk it from
    while (remaining >= 3) {
        if (candidate < 0 || !c[candidate].convex || c[candidate].angle > kMaxPreferredAngle) {
            int best = -1;
            int k = anchor;
            for (int s = 0; s < remaining; ++s, k = c[k].next)
                if (k != candidate && c[k].convex && (best < 0 || c[k].angle < c[best].angle)) best = k;
            if (best < 0 || !(c[best].angle > 0.0)) break;
            candidate = best;
        }
        const C2DPointExt& e = c[candidate];
        const C2DPointExt& n = c[e.next];
        const C2DPointExt& p = c[e.prev];
        double minX = std::fmin(e.x, std::fmin(n.x, p.x)), maxX = std::fmax(e.x, std::fmax(n.x, p.x));
        double minY = std::fmin(e.y, std::fmin(n.y, p.y)), maxY = std::fmax(e.y, std::fmax(n.y, p.y));
        // A reflex corner inside the ear means the ear would cover a notch of the polygon.
        bool blocked = false;
        for (int k = n.next; k != e.prev && !blocked; k = c[k].next) {
            const C2DPointExt& q = c[k];
            if (!(q.angle < 0.0)) continue;
            if (!(q.x > minX && q.x < maxX && q.y > minY && q.y < maxY)) continue;
            double s1 = (n.x - e.x) * (q.y - e.y) - (n.y - e.y) * (q.x - e.x);
            double s2 = (p.x - n.x) * (q.y - n.y) - (p.y - n.y) * (q.x - n.x);
            double s3 = (e.x - p.x) * (q.y - p.y) - (e.y - p.y) * (q.x - p.x);
            blocked = s1 >= 0.0 && s2 >= 0.0 && s3 >= 0.0;
        }
        if (blocked) {
            c[candidate].convex = false;
            candidate = e.next;
            continue;
        }
        if (e.point != n.point && e.point != p.point && n.point != p.point) {
            m_triangles.Add(e.corner);
            m_triangles.Add(n.corner);
            m_triangles.Add(p.corner);
        }
        int ni = e.next, pi = e.prev;
        c[pi].next = ni;
        c[ni].prev = pi;
        --remaining;
        anchor = ni;
        UpdateAngle(pi);
        UpdateAngle(ni);
        candidate = (c[ni].convex && c[ni].angle < c[pi].angle) ? ni : pi;
    }
    return m_triangles.GetSize() / 3;
}

// ---- face list ------------------------------------------------------------------------------------

namespace {

// A channel following the triangulation: its source face list and the copy's.
struct ChannelPair {
    CFaceList* src;
    CFaceList* dst;
};

}  // namespace

int C3DFaceList::Triangulate(CGeomInfo* geom, unsigned int channelMask, _FACE_PROPERTIES mask, bool value) {
    if (!geom) return 0;
    const C3DPointList* pointList = geom->GetSrc3DPointList();
    const int n = m_nFaces;
    // Which faces take part, and the size of every new face.
    CXArray<unsigned int> sizes;
    int split = 0;
    int newCount = 0;
    for (int f = 0; f < n; ++f) {
        unsigned int k = GetFaceSize(unsigned(f));
        bool part = k > 3 && ((GetFaceFlags(unsigned(f)) & unsigned(mask)) == unsigned(mask)) == value;
        if (part) {
            ++split;
            newCount += int(k) - 2;
        } else {
            newCount += 1;
        }
    }
    if (split == 0) return 0;
    sizes.SetSize(newCount);
    {
        int o = 0;
        for (int f = 0; f < n; ++f) {
            unsigned int k = GetFaceSize(unsigned(f));
            bool part = k > 3 && ((GetFaceFlags(unsigned(f)) & unsigned(mask)) == unsigned(mask)) == value;
            if (part) {
                for (unsigned t = 0; t + 2 < k; ++t) sizes[o++] = 3;
            } else {
                sizes[o++] = k;
            }
        }
    }

    C3DFaceList* dst = new C3DFaceList;
    dst->InheritSettings(*this);
    dst->SetSize(newCount, sizes.GetData());

    // Channels: copies without content keeping their identifiers; the channel points do not
    // change, so they are copied whole, and the channel faces are written with the geometry.
    CDependentChannels* srcChannels = geom->GetSrcChannels();
    CDependentChannels* dstChannels = CDependentChannels::Create();
    CXArray<ChannelPair> pairs;
    if (srcChannels && channelMask) {
        for (int i = 0; i < srcChannels->GetSize(); ++i) {
            CChannel* c = srcChannels->GetChannel(i);
            if (!(c->GetType() & channelMask) || c->IsOneFlagSet(CHANNEL_INVALID | CHANNEL_DERIVED)) continue;
            CFaceList* cf = c->GetFaceList();
            if (cf && cf->GetSize() != n) continue;  // no longer parallel: dropped
            CChannel* copy = c->Copy(CHANNEL_COPY_KEEP_ID | CHANNEL_COPY_NO_CONTENT);
            if (!copy) continue;
            if (c->GetPointList() && copy->GetPointList()) *copy->GetPointList() = *c->GetPointList();
            if (cf && copy->GetFaceList()) {
                CFaceList* df = copy->GetFaceList();
                df->InheritSettings(*cf);
                df->SetSize(newCount, sizes.GetData());
                ChannelPair pair = {cf, df};
                pairs.Add(pair);
            }
            dstChannels->AddChannel(copy);
        }
    }

    CTriangulateFaceHelper helper;
    const C3DTPoint<float>* pts = pointList ? pointList->GetPoints() : nullptr;
    const int pointCount = pointList ? pointList->GetSize() : 0;
    CFace view;
    int written = 0;
    for (int f = 0; f < n; ++f) {
        int k = 0;
        const int* idx = GetIndexes(unsigned(f), k);
        bool part = k > 3 && ((GetFaceFlags(unsigned(f)) & unsigned(mask)) == unsigned(mask)) == value;
        if (!part) {
            dst->CopyFace(unsigned(written), unsigned(f), *this);
            for (const ChannelPair& cp : pairs) cp.dst->CopyFace(unsigned(written), unsigned(f), *cp.src);
            ++written;
            continue;
        }
        int triangles = helper.Clip(pts, pointCount, idx, k);
        const int* corners = helper.GetTriangles();
        unsigned int flags = GetFaceFlags(unsigned(f)) & ~unsigned(FACE_INVALID);
        for (int t = 0; t < triangles; ++t) {
            unsigned int d = unsigned(written + t);
            dst->CopyFace(d, unsigned(f), *this, true);
            dst->GetFace(d, view);
            int tri[3] = {idx[corners[3 * t]], idx[corners[3 * t + 1]], idx[corners[3 * t + 2]]};
            view.SetIndexes(tri, 3);
            view.SetFlags(flags);
        }
        for (const ChannelPair& cp : pairs) {
            int ck = 0;
            const int* cidx = cp.src->GetIndexes(unsigned(f), ck);
            unsigned int cflags = cp.src->GetFaceFlags(unsigned(f));
            bool live = IsLiveFaceFlags(cflags);
            for (int t = 0; t < triangles; ++t) {
                unsigned int d = unsigned(written + t);
                cp.dst->CopyFace(d, unsigned(f), *cp.src, true);
                cp.dst->GetFace(d, view);
                if (live && ck == k) {
                    int tri[3] = {cidx[corners[3 * t]], cidx[corners[3 * t + 1]], cidx[corners[3 * t + 2]]};
                    view.SetIndexes(tri, 3);
                    view.SetFlags(cflags & ~unsigned(FACE_INVALID));
                } else if (live) {
                    // Corner counts differ: the channel face cannot be split like the geometry.
                    view.SetFlags(cflags | FACE_HIDDEN);
                }
            }
        }
        written += triangles;
    }
    dst->SetSize(written);
    dst->SetFlag(FACELIST_CHANGED, true);
    for (const ChannelPair& cp : pairs) {
        cp.dst->SetSize(written);
        cp.dst->SetFlag(FACELIST_CHANGED, true);
    }
    geom->SetFaceList(this, dst, 0);
    geom->SetChannels(srcChannels, dstChannels, 0);
    return split;
}

// ---- object -------------------------------------------------------------------------------------

bool C3DGeomObject::Triangulate(unsigned int channelMask, _FACE_PROPERTIES mask, bool value) {
    if (m_kind != OBJECT_POLYMESH && m_kind != OBJECT_PATCH) return false;
    if (IsFlagSet(OBJECT_EMPTY) || !m_pFaceList || m_pFaceList->GetSize() == 0) return false;
    CLogTimer timer("C3DGeomObject::Triangulate");
    CGeomInfo geom(this);
    if (m_pFaceList->Triangulate(&geom, channelMask, mask, value) == 0) return false;
    C3DFaceList* faces = geom.GetDst3DFaceList(true);
    CDependentChannels* channels = geom.GetDstChannels(true);
    if (!faces || faces == m_pFaceList) {
        if (channels && channels != m_pChannels) channels->Delete();
        return false;
    }
    SetFaceList(faces, true);
    SetChannels(channels, true);
    CleanChannels(0xFFFFFFFFu, true);
    Invalidate(INVALIDATE_FACES, true);
    return true;
}

}  // namespace kestovar
