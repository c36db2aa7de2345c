// Normal channels: face normals, smoothed corner normals with a smoothing angle and a weighting
// of face contributions, and specified normals (completed, compared, normalised, and their
// breaks marked on the points).
//
// Weighting schemes: unweighted (Gouraud 1971), area-weighted (the length of the Newell normal),
// edge-weighted (Max 1999, "Weights for computing vertex normals from facet normals") and
// angle-weighted (Thürmer and Wüthrich 1998).
#include "kestovar/mesh/normal_channel.h"

#include <cmath>
#include <cstring>

#include "kestovar/core/archive.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/log.h"
#include "kestovar/core/progress.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/face_graph.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/point_list.h"
#include "list_room.h"
#include "normal_internal.h"

namespace kestovar {

namespace {

using detail::CFaceNormalSource;
using detail::CosineBetween;
using detail::kNormalEpsilon;
using detail::ObjectSmoothMode;

// Flags of the normal channels at construction.
constexpr unsigned kDerivedNormalFlags = CHANNEL_RECOMPUTABLE | CHANNEL_OUT_OF_DATE | CHANNEL_DERIVED;
constexpr unsigned kSpecNormalFlags = CHANNEL_RECOMPUTABLE | CHANNEL_OUT_OF_DATE | CHANNEL_SPEC_NORMALS;

inline const float* Ptr(const C3DTVector<float>& v) { return &v.x; }

// The point-to-face graph of `faces`, built for the holder's lifetime when it was absent (a graph
// the caller already holds is used and kept).
class CPointGraphScope {
public:
    CPointGraphScope(C3DFaceList* faces, const CGeomInfo* geom) : m_pFaces(faces), m_built(false) {
        if (faces && !faces->HasPointToFaceGraph()) m_built = faces->InitPointToFaceGraph(geom);
    }
    ~CPointGraphScope() {
        if (m_built) m_pFaces->DeletePointToFaceGraph();
    }
    CPointGraphScope(const CPointGraphScope&) = delete;
    CPointGraphScope& operator=(const CPointGraphScope&) = delete;

private:
    C3DFaceList* m_pFaces;
    bool m_built;
};

// Position of `point` in face `face`, or -1.
int CornerOf(const C3DFaceList* faces, unsigned face, int point) {
    int n = 0;
    const int* g = faces->GetIndexes(face, n);
    for (int k = 0; k < n; ++k)
        if (g[k] == point) return k;
    return -1;
}

// Transforms normals by the inverse transpose of the linear part of `m` (the cofactor matrix over
// the determinant) and renormalises them; vectors selected by the all-bits test on their flags.
bool TransformNormals(C3DVectorList* list, const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value) {
    if (!list || m.IsIdentity()) return false;
    const double a = m(0, 0), b = m(0, 1), c = m(0, 2);
    const double d = m(1, 0), e = m(1, 1), f = m(1, 2);
    const double g = m(2, 0), h = m(2, 1), i = m(2, 2);
    // Cofactors: rows of the inverse transpose times the determinant.
    const double n[3][3] = {{e * i - f * h, f * g - d * i, d * h - e * g},
                            {c * h - b * i, a * i - c * g, b * g - a * h},
                            {b * f - c * e, c * d - a * f, a * e - b * d}};
    const double det = a * n[0][0] + b * n[0][1] + c * n[0][2];
    const double sign = det < 0.0 ? -1.0 : 1.0;
    const unsigned bits = unsigned(mask);
    C3DTVector<float>* v = list->GetVectors();
    const int count = list->GetSize();
    for (int k = 0; k < count; ++k) {
        if (bits && ((v[k].GetFlags() & bits) == bits) != value) continue;
        const double x = v[k].x, y = v[k].y, z = v[k].z;
        double r[3];
        for (int row = 0; row < 3; ++row) r[row] = sign * (n[row][0] * x + n[row][1] * y + n[row][2] * z);
        const double len = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
        if (len > kNormalEpsilon) {
            r[0] /= len;
            r[1] /= len;
            r[2] /= len;
        }
        v[k].Init(float(r[0]), float(r[1]), float(r[2]));
    }
    if (count) list->SetFlag(POINTLIST_CHANGED, true);
    return true;
}

bool SwapVectors(C3DVectorList* list, unsigned code) {
    if (!list || list->GetSize() == 0) return false;
    C3DTVector<float>* v = list->GetVectors();
    for (int k = 0; k < list->GetSize(); ++k) v[k].Swap(code);
    list->SetFlag(POINTLIST_CHANGED, true);
    return true;
}

// ---- weighting functions ----

void WeightUnit(CFaceNormalContributionInfo& info, double sum[3]) {
    const float* n = Ptr(info.m_pUnitNormals->GetAt(int(info.m_face)));
    sum[0] += n[0];
    sum[1] += n[1];
    sum[2] += n[2];
}

void WeightArea(CFaceNormalContributionInfo& info, double sum[3]) {
    const float* n = info.m_rawNormals.GetData() + size_t(info.m_face) * 3;
    sum[0] += n[0];
    sum[1] += n[1];
    sum[2] += n[2];
}

void WeightEdge(CFaceNormalContributionInfo& info, double sum[3]) {
    const float* n = info.m_rawNormals.GetData() + size_t(info.m_face) * 3;
    const double w = info.m_lengthProduct > kNormalEpsilon ? 1.0 / info.m_lengthProduct : 1.0;
    sum[0] += n[0] * w;
    sum[1] += n[1] * w;
    sum[2] += n[2] * w;
}

void WeightAngle(CFaceNormalContributionInfo& info, double sum[3]) {
    const float* n = Ptr(info.m_pUnitNormals->GetAt(int(info.m_face)));
    const double lengths = std::sqrt(info.m_lengthProduct);
    double cosine = 0.0;
    if (lengths >= kNormalEpsilon) {
        cosine = (info.m_e1[0] * info.m_e2[0] + info.m_e1[1] * info.m_e2[1] + info.m_e1[2] * info.m_e2[2]) / lengths;
        cosine = cosine > 1.0 ? 1.0 : (cosine < -1.0 ? -1.0 : cosine);
    }
    const double angle = std::acos(cosine);
    sum[0] += n[0] * angle;
    sum[1] += n[1] * angle;
    sum[2] += n[2] * angle;
}

}  // namespace

// ---- CFaceNormalContributionInfo -----------------------------------------------------------

CFaceNormalContributionInfo::CFaceNormalContributionInfo()
    : m_pGeom(nullptr),
      m_pFaces(nullptr),
      m_pPoints(nullptr),
      m_pUnitNormals(nullptr),
      m_mode(NORMAL_SMOOTH_AREA),
      m_pWeight(&WeightArea),
      m_face(0),
      m_corner(0),
      m_point(0),
      m_e1{0, 0, 0},
      m_e2{0, 0, 0},
      m_lengthProduct(0) {}

CFaceNormalContributionInfo::~CFaceNormalContributionInfo() = default;

void CFaceNormalContributionInfo::InitNormalCallback(_NormalSmoothMode mode) {
    m_mode = mode;
    switch (mode) {
        case NORMAL_SMOOTH_UNWEIGHTED: m_pWeight = &WeightUnit; break;
        case NORMAL_SMOOTH_EDGE: m_pWeight = &WeightEdge; break;
        case NORMAL_SMOOTH_ANGLE: m_pWeight = &WeightAngle; break;
        default: m_pWeight = &WeightArea; break;
    }
}

bool CFaceNormalContributionInfo::Init(const CGeomInfo* geom, _NormalSmoothMode mode, const C3DVectorList* unitNormals) {
    m_pGeom = geom;
    m_pFaces = geom ? geom->GetSrc3DFaceList() : nullptr;
    m_pPoints = geom ? geom->GetSrc3DPointList() : nullptr;
    m_pUnitNormals = unitNormals;
    InitNormalCallback(mode);
    m_rawNormals.RemoveAll();
    if (!m_pFaces || !m_pPoints) return false;
    if (m_pWeight == &WeightArea || m_pWeight == &WeightEdge) {
        // The raw Newell sums, whose length is twice the area: a degenerate face weighs nothing
        // here, rather than the unit fallback normal.
        const int nf = m_pFaces->GetSize();
        m_rawNormals.SetSize(nf * 3);
        float* out = m_rawNormals.GetData();
        const C3DTPoint<float>* pts = m_pPoints->GetPoints();
        const int np = m_pPoints->GetSize();
        for (int f = 0; f < nf; ++f) {
            float* n = out + size_t(f) * 3;
            int count = 0;
            const int* idx = m_pFaces->GetIndexes(unsigned(f), count);
            if (!m_pFaces->IsFaceLive(unsigned(f)) || !detail::NewellSums(pts, np, idx, unsigned(count), n))
                n[0] = n[1] = n[2] = 0.0f;
        }
    }
    return true;
}

void CFaceNormalContributionInfo::AddContribution(unsigned int face, unsigned int corner, double sum[3]) {
    m_face = face;
    m_corner = corner;
    if (m_pWeight == &WeightEdge || m_pWeight == &WeightAngle) {
        int n = 0;
        const int* idx = m_pFaces->GetIndexes(face, n);
        const C3DTPoint<float>* pts = m_pPoints->GetPoints();
        m_point = idx[corner];
        const C3DTPoint<float>& p = pts[m_point];
        const C3DTPoint<float>& prev = pts[idx[corner == 0 ? unsigned(n) - 1 : corner - 1]];
        const C3DTPoint<float>& next = pts[idx[corner + 1 == unsigned(n) ? 0 : corner + 1]];
        m_e1[0] = double(prev.x) - p.x;
        m_e1[1] = double(prev.y) - p.y;
        m_e1[2] = double(prev.z) - p.z;
        m_e2[0] = double(next.x) - p.x;
        m_e2[1] = double(next.y) - p.y;
        m_e2[2] = double(next.z) - p.z;
        m_lengthProduct = (m_e1[0] * m_e1[0] + m_e1[1] * m_e1[1] + m_e1[2] * m_e1[2]) *
                          (m_e2[0] * m_e2[0] + m_e2[1] * m_e2[1] + m_e2[2] * m_e2[2]);
    }
    m_pWeight(*this, sum);
}

// ---- shared helpers ------------------------------------------------------------------------

CChannel* CreateNormalChannel(unsigned int type, unsigned int id) {
    switch (type) {
        case CHANNEL_POINT_NORMAL: return new CPointNormalChannel(id);
        case CHANNEL_FACE_NORMAL: return new CFaceNormalChannel(id);
        case CHANNEL_SPEC_NORMAL: return new CSpecNormalChannel(id);
        default: return nullptr;
    }
}

namespace {

// CChannel::Create and the channel set's break marking reach the normal classes through these
// hooks, installed when the library loads.
const struct CNormalChannelHooks {
    CNormalChannelHooks() {
        CChannel::CreateNormalChannelHook = [](auto type, unsigned int id) -> CChannel* {
            return CreateNormalChannel(unsigned(type), id);
        };
        CChannel::InitNormalBreakHook = [](CChannel* channel, const CGeomInfo* geom, double angle) -> bool {
            if (!channel || channel->GetType() != CHANNEL_SPEC_NORMAL) return false;
            static_cast<CSpecNormalChannel*>(channel)->InitNormalBreakFlag(geom, angle, false, ObjectSmoothMode(geom));
            return true;
        };
    }
} g_normalChannelHooks;

}  // namespace

CChannel* FindNormalChannel(const CGeomInfo* geom, _Channel3DType type) {
    const CDependentChannels* channels = geom ? geom->GetSrcChannels() : nullptr;
    return channels ? channels->GetChannelByIndex(0, type, true) : nullptr;
}

// ---- CFaceNormalChannel --------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(CFaceNormalChannel, CChannel, 1)

CFaceNormalChannel::CFaceNormalChannel(unsigned int id) : CChannel(CHANNEL_FACE_NORMAL, id, kDerivedNormalFlags) {
    m_pPointList = new C3DVectorList;
}

CFaceNormalChannel::~CFaceNormalChannel() = default;

C3DVectorList* CFaceNormalChannel::GetNormalVectorList() const { return static_cast<C3DVectorList*>(m_pPointList); }

CChannel* CFaceNormalChannel::Duplicate(bool withLists) const {
    CFaceNormalChannel* c = new CFaceNormalChannel(kNewChannelID);
    if (!withLists) XRelease(c->m_pPointList);
    return c;
}

bool CFaceNormalChannel::InitNormals(const CGeomInfo* geom) {
    if (!IsOneFlagSet(CHANNEL_INVALID | CHANNEL_OUT_OF_DATE)) return false;
    SetFlag(CHANNEL_OUT_OF_DATE, false);
    C3DVectorList* vectors = GetNormalVectorList();
    if (!vectors) m_pPointList = vectors = new C3DVectorList;
    const C3DFaceList* faces = geom ? geom->GetSrc3DFaceList() : nullptr;
    const C3DPointList* points = geom ? geom->GetSrc3DPointList() : nullptr;
    const int nf = faces ? faces->GetSize() : 0;
    vectors->SetSize(nf);
    if (!nf) return true;
    const C3DTPoint<float>* pts = points ? points->GetPoints() : nullptr;
    const int np = points ? points->GetSize() : 0;
    C3DTVector<float>* out = vectors->GetVectors();
    for (int f = 0; f < nf; ++f) {
        if (!faces->IsFaceLive(unsigned(f))) continue;
        int count = 0;
        const int* idx = faces->GetIndexes(unsigned(f), count);
        float n[3];
        if (detail::NewellSums(pts, np, idx, unsigned(count), n)) detail::NormalizeIfLong(n);
        out[f].Init(n[0], n[1], n[2]);
    }
    vectors->SetFlag(POINTLIST_CHANGED, true);
    return true;
}

bool CFaceNormalChannel::SwapCoordinates(unsigned int code) { return SwapVectors(GetNormalVectorList(), code); }

bool CFaceNormalChannel::MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value) {
    return TransformNormals(GetNormalVectorList(), m, mask, value);
}

bool CFaceNormalChannel::Clean(const CGeomInfo*, CXArray<unsigned int>*, CXArray<unsigned int>*) {
    SetFlag(CHANNEL_OUT_OF_DATE, true);
    return false;
}

// ---- CPointNormalChannel -------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(CPointNormalChannel, CChannel, 1)

CPointNormalChannel::CPointNormalChannel(unsigned int id)
    : CChannel(CHANNEL_POINT_NORMAL, id, kDerivedNormalFlags),
      m_angle(1.0f),
      m_pSpecFaces(nullptr),
      m_pSpecVectors(nullptr),
      m_pGeomFaces(nullptr) {
    m_pPointList = new C3DVectorList;
    m_pFaceList = new CNormalFaceList;
}

CPointNormalChannel::~CPointNormalChannel() = default;

C3DVectorList* CPointNormalChannel::GetNormalVectorList() const { return static_cast<C3DVectorList*>(m_pPointList); }
CNormalFaceList* CPointNormalChannel::GetNormalFaceList() const { return static_cast<CNormalFaceList*>(m_pFaceList); }

CChannel* CPointNormalChannel::Duplicate(bool withLists) const {
    CPointNormalChannel* c = new CPointNormalChannel(kNewChannelID);
    c->m_angle = m_angle;
    if (!withLists) {
        XRelease(c->m_pPointList);
        XRelease(c->m_pFaceList);
    }
    return c;
}

void CPointNormalChannel::Serialize(CXArchive& ar) {
    CChannel::Serialize(ar);
    if (ar.IsStoring()) {
        ar << m_angle;
    } else {
        ar >> m_angle;
        m_pSpecFaces = nullptr;
        m_pSpecVectors = nullptr;
        m_pGeomFaces = nullptr;
    }
}

void CPointNormalChannel::PrepareSmoothing(const CGeomInfo* geom, CSpecNormalChannel* specified) {
    m_pSpecFaces = nullptr;
    m_pSpecVectors = nullptr;
    m_pGeomFaces = geom ? geom->GetSrc3DFaceList() : nullptr;
    if (!specified || specified->IsFlagSet(CHANNEL_INVALID)) return;
    specified->ComputeNormals(geom, ObjectSmoothMode(geom));
    m_pSpecFaces = specified->GetNormalFaceList();
    m_pSpecVectors = specified->GetNormalVectorList();
}

const C3DTVector<float>* CPointNormalChannel::GetSmoothNormalByCorner(int face, int corner, unsigned int* source) const {
    if (source) *source = SMOOTH_NORMAL_NONE;
    if (face < 0 || corner < 0) return nullptr;
    if (m_pSpecFaces && m_pSpecVectors && m_pSpecFaces->IsFaceLive(unsigned(face))) {
        int n = 0;
        const int* idx = m_pSpecFaces->GetIndexes(unsigned(face), n);
        if (corner < n) {
            const C3DTVector<float>* v = m_pSpecVectors->GetVector(idx[corner]);
            if (v && !v->IsOneFlagSet(SPEC_NORMAL_NONE)) {
                if (source) *source = v->IsOneFlagSet(SPEC_NORMAL_COMPUTED) ? SMOOTH_NORMAL_COMPUTED : SMOOTH_NORMAL_SPECIFIED;
                return v;
            }
        }
    }
    const CNormalFaceList* faces = GetNormalFaceList();
    const C3DVectorList* vectors = GetNormalVectorList();
    if (!faces || !vectors) return nullptr;
    int n = 0;
    const int* idx = faces->GetIndexes(unsigned(face), n);
    if (corner >= n) return nullptr;
    const C3DTVector<float>* v = vectors->GetVector(idx[corner]);
    if (v && source) *source = SMOOTH_NORMAL_SMOOTHED;
    return v;
}

const C3DTVector<float>* CPointNormalChannel::GetSmoothNormalByIndex(int face, int point, unsigned int* source) const {
    if (source) *source = SMOOTH_NORMAL_NONE;
    if (!m_pGeomFaces || face < 0) return nullptr;
    const int corner = CornerOf(m_pGeomFaces, unsigned(face), point);
    if (corner < 0) return nullptr;
    return GetSmoothNormalByCorner(face, corner, source);
}

bool CPointNormalChannel::SwapCoordinates(unsigned int code) { return SwapVectors(GetNormalVectorList(), code); }

bool CPointNormalChannel::MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value) {
    return TransformNormals(GetNormalVectorList(), m, mask, value);
}

bool CPointNormalChannel::Clean(const CGeomInfo*, CXArray<unsigned int>*, CXArray<unsigned int>*) {
    SetFlag(CHANNEL_OUT_OF_DATE, true);
    return false;
}

// ---- CSpecNormalChannel --------------------------------------------------------------------

namespace {

// Whether two specified vectors differ by more than the angle whose cosine is `minCos`: exactly
// one without a normal differs, two without a normal are equal, otherwise their cosine decides.
bool SpecVectorsDiffer(const C3DTVector<float>& a, const C3DTVector<float>& b, double minCos) {
    const bool noneA = a.IsOneFlagSet(SPEC_NORMAL_NONE), noneB = b.IsOneFlagSet(SPEC_NORMAL_NONE);
    if (noneA != noneB) return true;
    if (noneA) return false;
    return CosineBetween(Ptr(a), Ptr(b)) < minCos;
}

}  // namespace

KX_IMPLEMENT_SERIAL(CSpecNormalChannel, CChannel, 1)

CSpecNormalChannel::CSpecNormalChannel(unsigned int id) : CChannel(CHANNEL_SPEC_NORMAL, id, kSpecNormalFlags) {
    m_pPointList = new C3DVectorList;
    m_pFaceList = new CNormalFaceList;
}

CSpecNormalChannel::~CSpecNormalChannel() = default;

C3DVectorList* CSpecNormalChannel::GetNormalVectorList() const { return static_cast<C3DVectorList*>(m_pPointList); }
CNormalFaceList* CSpecNormalChannel::GetNormalFaceList() const { return static_cast<CNormalFaceList*>(m_pFaceList); }

CChannel* CSpecNormalChannel::Duplicate(bool withLists) const {
    CSpecNormalChannel* c = new CSpecNormalChannel(kNewChannelID);
    if (!withLists) {
        XRelease(c->m_pPointList);
        XRelease(c->m_pFaceList);
    }
    return c;
}

bool CSpecNormalChannel::SwapCoordinates(unsigned int code) { return SwapVectors(GetNormalVectorList(), code); }

bool CSpecNormalChannel::MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value) {
    return TransformNormals(GetNormalVectorList(), m, mask, value);
}

bool CSpecNormalChannel::ComputeNormals(const CGeomInfo* geom, _NormalSmoothMode mode) {
    if (!IsOneFlagSet(CHANNEL_INVALID | CHANNEL_OUT_OF_DATE)) return false;
    SetFlag(CHANNEL_OUT_OF_DATE, false);
    C3DVectorList* vectors = GetNormalVectorList();
    const CFaceList* channelFaces = m_pFaceList;
    C3DFaceList* faces = geom ? geom->GetSrc3DFaceList() : nullptr;
    if (!vectors || !channelFaces || !faces || !geom->GetSrc3DPointList()) return true;
    const int nv = vectors->GetSize();
    C3DTVector<float>* v = vectors->GetVectors();
    bool any = false;
    for (int k = 0; k < nv; ++k)
        if (v[k].IsOneFlagSet(SPEC_NORMAL_COMPUTED)) {
            v[k].Init(0.0f, 0.0f, 0.0f);
            any = true;
        }
    if (!any) return true;

    CFaceNormalSource faceNormals(geom);
    CFaceNormalContributionInfo info;
    info.Init(geom, mode, faceNormals.GetVectors());
    const int unitCount = faceNormals.GetVectors()->GetSize();
    CXArray<double, double> acc;
    acc.SetSize(nv * 3);
    double* a = acc.GetData();
    for (int k = 0; k < nv * 3; ++k) a[k] = 0.0;
    const int nf = faces->GetSize() < channelFaces->GetSize() ? faces->GetSize() : channelFaces->GetSize();
    for (int f = 0; f < nf && f < unitCount; ++f) {
        if (!faces->IsFaceLive(unsigned(f))) continue;
        int gn = 0, cn = 0;
        faces->GetIndexes(unsigned(f), gn);
        const int* c = channelFaces->GetIndexes(unsigned(f), cn);
        if (gn < 3) continue;
        const int n = gn < cn ? gn : cn;
        for (int k = 0; k < n; ++k) {
            const int vi = c[k];
            if (vi < 0 || vi >= nv || !v[vi].IsOneFlagSet(SPEC_NORMAL_COMPUTED)) continue;
            info.AddContribution(unsigned(f), unsigned(k), a + size_t(vi) * 3);
        }
    }
    for (int k = 0; k < nv; ++k) {
        if (!v[k].IsOneFlagSet(SPEC_NORMAL_COMPUTED)) continue;
        const double* s = a + size_t(k) * 3;
        const double len = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        if (len > kNormalEpsilon)
            v[k].Init(float(s[0] / len), float(s[1] / len), float(s[2] / len));
        else
            v[k].Init(float(s[0]), float(s[1]), float(s[2]));
    }
    vectors->SetFlag(POINTLIST_CHANGED, true);
    return true;
}

bool CSpecNormalChannel::GenerateNormals(const CGeomInfo* geom, unsigned int flags, double angle, _NormalSmoothMode mode) {
    ComputeNormals(geom, mode);
    C3DVectorList* vectors = GetNormalVectorList();
    CFaceList* channelFaces = m_pFaceList;
    auto invalidateWhenEmpty = [&]() {
        if (!vectors || !channelFaces || vectors->GetSize() == 0 || channelFaces->GetSize() == 0)
            SetFlag(CHANNEL_INVALID, true);
    };
    if (!(flags & (GENERATE_NORMALS_FILL_FACES | GENERATE_NORMALS_MISSING))) {
        invalidateWhenEmpty();
        return false;
    }
    C3DFaceList* faces = geom ? geom->GetSrc3DFaceList() : nullptr;
    C3DPointList* points = geom ? geom->GetSrc3DPointList() : nullptr;
    if (!faces || !points || !vectors || !channelFaces) {
        SetFlag(CHANNEL_INVALID, true);
        return false;
    }
    CFaceNormalSource faceNormals(geom);
    const C3DVectorList* unit = faceNormals.GetVectors();
    const int nf = faces->GetSize();
    const int np = points->GetSize();
    if (channelFaces->GetSize() < nf)
        channelFaces->ExpandSizeAndFlags(nf - channelFaces->GetSize(), FACE_INVALID);
    else if (channelFaces->GetSize() > nf)
        channelFaces->SetSize(nf);

    int noNormal = 0;
    for (int k = 0; k < vectors->GetSize(); ++k)
        if (vectors->GetAt(k).IsOneFlagSet(SPEC_NORMAL_NONE)) ++noNormal;
    const int deadFaces = channelFaces->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), true);
    if ((noNormal == 0 && deadFaces == 0) || ((flags & GENERATE_NORMALS_MISSING) && noNormal == 0)) {
        invalidateWhenEmpty();
        return false;
    }

    // Sharing: the vector generated for a point whose faces all passed the angle test serves
    // every later corner at that point (one entry per point, -1 while none).
    CPointGraphScope graph((flags & GENERATE_NORMALS_SHARE) ? faces : nullptr, geom);
    CXArray<int, int> pointVector;
    if (flags & GENERATE_NORMALS_SHARE) {
        pointVector.SetSize(np);
        for (int k = 0; k < np; ++k) pointVector[k] = -1;
    }
    const bool flat = (flags & GENERATE_NORMALS_FLAT) != 0;
    const double minCos = std::cos(angle);
    CFaceNormalContributionInfo info;
    info.Init(geom, mode, unit);
    const C3DTVector<float>* un = unit->GetVectors();
    const int unitCount = unit->GetSize();
    CXArray<unsigned char, unsigned char> fill;
    bool generated = false;

    for (int f = 0; f < nf; ++f) {
        const unsigned gflags = faces->GetFaceFlags(unsigned(f));
        if (gflags & FACE_INVALID) {
            CFace view;
            channelFaces->GetFace(unsigned(f), view);
            view.SetSize(0);
            view.SetFlags(FACE_INVALID | FACE_HIDDEN, true);
            continue;
        }
        int gn = 0;
        const int* g = faces->GetIndexes(unsigned(f), gn);
        if (fill.GetSize() < gn) fill.SetSize(gn);
        unsigned char* toFill = fill.GetData();
        if (!channelFaces->IsFaceLive(unsigned(f))) {
            if (!(flags & GENERATE_NORMALS_FILL_FACES)) continue;
            CFace view;
            channelFaces->GetFace(unsigned(f), view);
            view.SetFlags(FACE_NOT_LIVE, false);
            view.SetSize(unsigned(gn));
            if (gn < 3) view.SetFlags(FACE_INVALID, true);
            for (int k = 0; k < gn; ++k) toFill[k] = 1;
        } else {
            int cn = 0;
            const int* c = channelFaces->GetIndexes(unsigned(f), cn);
            bool any = false;
            for (int k = 0; k < gn; ++k) {
                toFill[k] = 0;
                if (k >= cn) continue;
                C3DTVector<float>* old = vectors->GetVector(c[k]);
                if (old && old->IsOneFlagSet(SPEC_NORMAL_NONE)) {
                    old->SetFlags(SPEC_NORMAL_REPLACED, true);
                    toFill[k] = 1;
                    any = true;
                }
            }
            if (!any) continue;
        }
        g = faces->GetIndexes(unsigned(f), gn);  // the channel face may have moved the buffer
        int flatIndex = -1;
        const bool hasUnit = f < unitCount;
        for (int k = 0; k < gn; ++k) {
            if (!toFill[k]) continue;
            int index = -1;
            if (flat) {
                if (flatIndex < 0) {
                    C3DTVector<float> n = hasUnit ? un[f] : C3DTVector<float>(1.0f, 0.0f, 0.0f);
                    n.SetFlags(SPEC_NORMAL_COMPUTED);
                    detail::MakeRoomByDoubling(*vectors, vectors->GetSize() + 1);
                    flatIndex = vectors->Add(n);
                }
                index = flatIndex;
            } else {
                const int p = g[k];
                if (pointVector.GetSize() && unsigned(p) < unsigned(np) && pointVector[p] >= 0) {
                    index = pointVector[p];
                } else {
                    double sum[3] = {0.0, 0.0, 0.0};
                    bool leftOut = false;
                    if (hasUnit && faces->IsFaceLive(unsigned(f)) && unsigned(p) < unsigned(np)) {
                        info.AddContribution(unsigned(f), unsigned(k), sum);
                        int n = 0;
                        const int* around = faces->GetFacesConnectedToPoint(unsigned(p), n);
                        for (int j = 0; j < n; ++j) {
                            const int o = around[j];
                            if (o == f || o < 0 || o >= nf || o >= unitCount || !faces->IsFaceLive(unsigned(o))) continue;
                            const int corner = CornerOf(faces, unsigned(o), p);
                            if (corner < 0) continue;
                            if (CosineBetween(Ptr(un[f]), Ptr(un[o])) >= minCos)
                                info.AddContribution(unsigned(o), unsigned(corner), sum);
                            else
                                leftOut = true;
                        }
                    } else if (hasUnit) {
                        sum[0] = un[f].x;
                        sum[1] = un[f].y;
                        sum[2] = un[f].z;
                        leftOut = true;
                    } else {
                        sum[0] = 1.0;
                        leftOut = true;
                    }
                    const double len = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
                    C3DTVector<float> n(sum[0], sum[1], sum[2]);
                    if (len > kNormalEpsilon) n.Init(float(sum[0] / len), float(sum[1] / len), float(sum[2] / len));
                    n.SetFlags(SPEC_NORMAL_COMPUTED);
                    detail::MakeRoomByDoubling(*vectors, vectors->GetSize() + 1);
                    index = vectors->Add(n);
                    if (!leftOut && pointVector.GetSize() && unsigned(p) < unsigned(np)) pointVector[p] = index;
                }
            }
            int cn = 0;
            int* c = channelFaces->GetIndexes(unsigned(f), cn);
            if (k < cn) c[k] = index;
            generated = true;
        }
    }
    vectors->FreeExtra();
    channelFaces->FreeExtra();
    if (generated) {
        vectors->SetFlag(POINTLIST_CHANGED, true);
        channelFaces->SetFlag(FACELIST_CHANGED, true);
    }
    invalidateWhenEmpty();
    return generated;
}

bool CSpecNormalChannel::Normalize() {
    C3DVectorList* vectors = GetNormalVectorList();
    CFaceList* channelFaces = m_pFaceList;
    if (!vectors) return true;
    const int nv = vectors->GetSize();
    C3DTVector<float>* v = vectors->GetVectors();
    bool anyNone = false;
    for (int k = 0; k < nv; ++k) {
        const double x = v[k].x, y = v[k].y, z = v[k].z;
        if (std::fabs(x) < kNormalEpsilon && std::fabs(y) < kNormalEpsilon && std::fabs(z) < kNormalEpsilon) {
            v[k].SetFlags(SPEC_NORMAL_NONE, true);
            anyNone = true;
            continue;
        }
        const double len = std::sqrt(x * x + y * y + z * z);
        if (len > kNormalEpsilon) v[k].Init(float(x / len), float(y / len), float(z / len));
    }
    if (nv) vectors->SetFlag(POINTLIST_CHANGED, true);
    if (!anyNone || !channelFaces) return true;
    bool marked = false;
    const int nf = channelFaces->GetSize();
    for (int f = 0; f < nf; ++f) {
        if (!channelFaces->IsFaceLive(unsigned(f))) continue;
        int n = 0;
        const int* c = channelFaces->GetIndexes(unsigned(f), n);
        bool allNone = true;
        for (int k = 0; k < n && allNone; ++k) {
            const C3DTVector<float>* w = vectors->GetVector(c[k]);
            if (w && !w->IsOneFlagSet(SPEC_NORMAL_NONE)) allNone = false;
        }
        if (!allNone) continue;
        CFace view;
        channelFaces->GetFace(unsigned(f), view);
        view.SetSize(0);
        view.SetFlags(FACE_INVALID | FACE_HIDDEN, true);
        marked = true;
    }
    if (!marked) return true;
    channelFaces->FreeExtra();
    if (channelFaces->GetNumberOfFaces(FACE_HIDDEN, true) == nf) {
        SetFlag(CHANNEL_INVALID, true);
        return false;
    }
    return true;
}

bool CSpecNormalChannel::Compare(const CPt* a, const CPt* b, double tolerance) {
    if (a == b) return true;
    if (!a || !b) return false;
    const C3DTVector<float>& va = *static_cast<const C3DTVector<float>*>(a);
    const C3DTVector<float>& vb = *static_cast<const C3DTVector<float>*>(b);
    if (tolerance == 0.0) return va == vb;
    const bool noneA = va.IsOneFlagSet(SPEC_NORMAL_NONE), noneB = vb.IsOneFlagSet(SPEC_NORMAL_NONE);
    if (noneA != noneB) return false;
    if (noneA) return true;
    return !(va.Dot(vb) < std::cos(tolerance * M_PI));
}

int CSpecNormalChannel::InitNormalBreakFlag(const CGeomInfo* geom, double angle, bool reset, _NormalSmoothMode mode) {
    ComputeNormals(geom, mode);
    C3DVectorList* vectors = GetNormalVectorList();
    const CFaceList* channelFaces = m_pFaceList;
    C3DFaceList* faces = geom ? geom->GetSrc3DFaceList() : nullptr;
    C3DPointList* points = geom ? geom->GetSrc3DPointList() : nullptr;
    if (vectors) vectors->SetPointsFlags(POINT_NORMAL_FRONTIER, false);
    if (reset && points) points->SetPointsFlags(POINT_NORMAL_FRONTIER, false);
    if (!vectors || !channelFaces || !faces || !points) return 0;
    CPointGraphScope graph(faces, geom);
    const double minCos = std::cos(angle);
    const int np = points->GetSize();
    const int nv = vectors->GetSize();
    const int nf = channelFaces->GetSize() < faces->GetSize() ? channelFaces->GetSize() : faces->GetSize();
    C3DTVector<float>* v = vectors->GetVectors();
    CXArray<int, int> used;
    int marked = 0;
    for (int p = 0; p < np; ++p) {
        int n = 0;
        const int* around = faces->GetFacesConnectedToPoint(unsigned(p), n);
        if (n < 2) continue;
        used.SetSize(0);
        for (int j = 0; j < n; ++j) {
            const int f = around[j];
            if (f < 0 || f >= nf || !channelFaces->IsFaceLive(unsigned(f))) continue;
            int gn = 0, cn = 0;
            const int* g = faces->GetIndexes(unsigned(f), gn);
            const int* c = channelFaces->GetIndexes(unsigned(f), cn);
            for (int k = 0; k < gn && k < cn; ++k) {
                if (g[k] != p || c[k] < 0 || c[k] >= nv) continue;
                bool seen = false;
                for (int u = 0; u < used.GetSize() && !seen; ++u) seen = used[u] == c[k];
                if (!seen) used.Add(c[k]);
            }
        }
        bool differ = false;
        for (int i = 0; i < used.GetSize() && !differ; ++i)
            for (int j = i + 1; j < used.GetSize() && !differ; ++j) differ = SpecVectorsDiffer(v[used[i]], v[used[j]], minCos);
        if (!differ) continue;
        points->GetPt(p)->SetFlags(POINT_NORMAL_FRONTIER, true);
        for (int u = 0; u < used.GetSize(); ++u) v[used[u]].SetFlags(POINT_NORMAL_FRONTIER, true);
        ++marked;
    }
    return marked;
}

bool CSpecNormalChannel::IsNormalFrontier(const CGeomInfo* geom, double angle, const C3DEdge& edge, int f1, int f2) {
    const CFaceList* channelFaces = m_pFaceList;
    const C3DVectorList* vectors = GetNormalVectorList();
    const C3DFaceList* faces = geom ? geom->GetSrc3DFaceList() : nullptr;
    if (!channelFaces || !vectors || !faces || f1 < 0 || f2 < 0) return false;
    const bool live1 = channelFaces->IsFaceLive(unsigned(f1)), live2 = channelFaces->IsFaceLive(unsigned(f2));
    if (live1 != live2) return true;
    if (!live1) return false;
    const double minCos = std::cos(angle);
    const unsigned ends[2] = {edge.GetP1(), edge.GetP2()};
    for (unsigned end : ends) {
        const int k1 = CornerOf(faces, unsigned(f1), int(end));
        const int k2 = CornerOf(faces, unsigned(f2), int(end));
        if (k1 < 0 || k2 < 0) return true;
        int n1 = 0, n2 = 0;
        const int* c1 = channelFaces->GetIndexes(unsigned(f1), n1);
        const int* c2 = channelFaces->GetIndexes(unsigned(f2), n2);
        if (k1 >= n1 || k2 >= n2) return true;
        if (c1[k1] == c2[k2]) continue;
        const C3DTVector<float>* a = vectors->GetVector(c1[k1]);
        const C3DTVector<float>* b = vectors->GetVector(c2[k2]);
        if (!a || !b || SpecVectorsDiffer(*a, *b, minCos)) return true;
    }
    return false;
}

}  // namespace kestovar
