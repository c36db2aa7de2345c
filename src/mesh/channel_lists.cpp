// Channel point records, their element tables, and the channel point and face lists.
#include "kestovar/mesh/channel_lists.h"

#include <cstdlib>
#include <typeinfo>

#include "kestovar/core/archive.h"

namespace kestovar {

// ---- records --------------------------------------------------------------------------------

CUVWPoint& CUVWPoint::operator=(const CPt& src) {
    if (&src == this) return *this;
    if (typeid(src) == typeid(CUVWPoint)) return *this = static_cast<const CUVWPoint&>(src);
    C4DPoint h;
    src.To4DPoint(h);
    return *this = h;
}

CUVWPoint& CUVWPoint::operator=(const C4DPoint& src) {
    m_flags = src.GetFlags();
    u = src.x;
    v = src.y;
    w = src.z;
    return *this;
}

void CUVWPoint::Serialize(CXArchive& ar) { detail::SerializePointRecord(ar, m_flags, &u, 3); }

void CUVWPoint::To4DPoint(C4DPoint& out) const {
    out.SetFlags(m_flags);
    out.x = u;
    out.y = v;
    out.z = w;
    out.w = 1.0f;
}

CVCPoint& CVCPoint::operator=(const CPt& src) {
    if (&src == this) return *this;
    if (typeid(src) == typeid(CVCPoint)) return *this = static_cast<const CVCPoint&>(src);
    C4DPoint h;
    src.To4DPoint(h);
    return *this = h;
}

CVCPoint& CVCPoint::operator=(const C4DPoint& src) {
    m_flags = src.GetFlags();
    color.SetColor(src.x, src.y, src.z, src.w);
    return *this;
}

void CVCPoint::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << uint32_t(m_flags) << uint32_t(color.GetValue());
        return;
    }
    uint32_t flags = 0, value = 0;
    ar >> flags >> value;
    m_flags = flags;
    color.SetValue(value);
}

void CVCPoint::To4DPoint(C4DPoint& out) const {
    out.SetFlags(m_flags);
    out.x = color.r / 255.0f;
    out.y = color.g / 255.0f;
    out.z = color.b / 255.0f;
    out.w = color.a / 255.0f;
}

int CVCPoint::MaxComponentDifference(const CVCPoint& o) const {
    int d = std::abs(int(color.r) - int(o.color.r));
    int t = std::abs(int(color.g) - int(o.color.g));
    if (t > d) d = t;
    t = std::abs(int(color.b) - int(o.color.b));
    if (t > d) d = t;
    t = std::abs(int(color.a) - int(o.color.a));
    return t > d ? t : d;
}

CWeightPoint& CWeightPoint::operator=(const CPt& src) {
    if (&src == this) return *this;
    if (typeid(src) == typeid(CWeightPoint)) return *this = static_cast<const CWeightPoint&>(src);
    C4DPoint h;
    src.To4DPoint(h);
    return *this = h;
}

CWeightPoint& CWeightPoint::operator=(const C4DPoint& src) {
    m_flags = src.GetFlags();
    weight = src.x;
    return *this;
}

void CWeightPoint::Serialize(CXArchive& ar) { detail::SerializePointRecord(ar, m_flags, &weight, 1); }

void CWeightPoint::To4DPoint(C4DPoint& out) const {
    out.SetFlags(m_flags);
    out.x = weight;
    out.y = 0.0f;
    out.z = 0.0f;
    out.w = 1.0f;
}

// ---- element tables -------------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(CUVWPointMethods, CPointMethods, 1)
KX_IMPLEMENT_SERIAL(CVCPointMethods, CPointMethods, 1)
KX_IMPLEMENT_SERIAL(CWeightPointMethods, CPointMethods, 1)

// ---- point lists ----------------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(CUVWPointList, CPointList, 1)
CUVWPointList::CUVWPointList() : CChannelPointListT(SharedElementMethods<CUVWPointMethods>()) {}
CUVWPointList::CUVWPointList(const CPointList& layout) : CChannelPointListT(SharedElementMethods<CUVWPointMethods>(), layout) {}
CUVWPointList::~CUVWPointList() = default;
CUVWPointList* CUVWPointList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(CUVWPointList))) return nullptr;
    return static_cast<CUVWPointList*>(CPointList::FromObject(object));
}

KX_IMPLEMENT_SERIAL(CVCPointList, CPointList, 1)
CVCPointList::CVCPointList() : CChannelPointListT(SharedElementMethods<CVCPointMethods>()) {}
CVCPointList::CVCPointList(const CPointList& layout) : CChannelPointListT(SharedElementMethods<CVCPointMethods>(), layout) {}
CVCPointList::~CVCPointList() = default;
CVCPointList* CVCPointList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(CVCPointList))) return nullptr;
    return static_cast<CVCPointList*>(CPointList::FromObject(object));
}

KX_IMPLEMENT_SERIAL(CWeightPointList, CPointList, 1)
CWeightPointList::CWeightPointList() : CChannelPointListT(SharedElementMethods<CWeightPointMethods>()) {}
CWeightPointList::CWeightPointList(const CPointList& layout)
    : CChannelPointListT(SharedElementMethods<CWeightPointMethods>(), layout) {}
CWeightPointList::~CWeightPointList() = default;
CWeightPointList* CWeightPointList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(CWeightPointList))) return nullptr;
    return static_cast<CWeightPointList*>(CPointList::FromObject(object));
}

// ---- face views and face lists --------------------------------------------------------------

CUVWFace::~CUVWFace() = default;
CVCFace::~CVCFace() = default;
CWeightFace::~CWeightFace() = default;
CNormalFace::~CNormalFace() = default;

KX_IMPLEMENT_SERIAL(CUVWFaceList, CFaceList, 1)
CUVWFaceList::CUVWFaceList() = default;
CUVWFaceList::~CUVWFaceList() = default;
CUVWFaceList* CUVWFaceList::FromObject(CXObject* object) {
    return object && object->IsKindOf(KX_RUNTIME_CLASS(CUVWFaceList)) ? static_cast<CUVWFaceList*>(object) : nullptr;
}
CFace* CUVWFaceList::CreateFace() const { return new CUVWFace; }

KX_IMPLEMENT_SERIAL(CVCFaceList, CFaceList, 1)
CVCFaceList::CVCFaceList() = default;
CVCFaceList::~CVCFaceList() = default;
CVCFaceList* CVCFaceList::FromObject(CXObject* object) {
    return object && object->IsKindOf(KX_RUNTIME_CLASS(CVCFaceList)) ? static_cast<CVCFaceList*>(object) : nullptr;
}
CFace* CVCFaceList::CreateFace() const { return new CVCFace; }

KX_IMPLEMENT_SERIAL(CWeightFaceList, CFaceList, 1)
CWeightFaceList::CWeightFaceList() = default;
CWeightFaceList::~CWeightFaceList() = default;
CWeightFaceList* CWeightFaceList::FromObject(CXObject* object) {
    return object && object->IsKindOf(KX_RUNTIME_CLASS(CWeightFaceList)) ? static_cast<CWeightFaceList*>(object)
                                                                         : nullptr;
}
CFace* CWeightFaceList::CreateFace() const { return new CWeightFace; }

KX_IMPLEMENT_SERIAL(CNormalFaceList, CFaceList, 1)
CNormalFaceList::CNormalFaceList() = default;
CNormalFaceList::~CNormalFaceList() = default;
CNormalFaceList* CNormalFaceList::FromObject(CXObject* object) {
    return object && object->IsKindOf(KX_RUNTIME_CLASS(CNormalFaceList)) ? static_cast<CNormalFaceList*>(object)
                                                                         : nullptr;
}
CFace* CNormalFaceList::CreateFace() const { return new CNormalFace; }

}  // namespace kestovar
