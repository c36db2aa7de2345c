// CGeomInfo: the geometry view handed to mesh algorithms.
#include "kestovar/mesh/geom_info.h"

#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

namespace {

// Returns `slot` and, with `take`, clears it so that the view no longer releases it.
template <class T>
T* TakeOrPeek(T*& slot, bool take) {
    T* p = slot;
    if (take) slot = nullptr;
    return p;
}

// Releases an owned source/destination pair; a list held in both places is released once.
template <class T>
void ReleasePair(T*& src, T*& dst, unsigned int ownership) {
    bool ownSrc = (ownership & GEOMINFO_OWN_SRC) != 0;
    bool ownDst = (ownership & GEOMINFO_OWN_DST) != 0;
    if (ownSrc && src) src->Delete();
    if (ownDst && dst && !(ownSrc && dst == src)) dst->Delete();
    src = dst = nullptr;
}

CChannel* ChannelAt(const CDependentChannels* set, int index) {
    return (set && index >= 0 && index < set->GetSize()) ? set->GetChannel(index) : nullptr;
}

}  // namespace

CGeomInfo::CGeomInfo()
    : m_ownership(0),
      m_pScene(nullptr),
      m_pObject(nullptr),
      m_pSrcPoints(nullptr),
      m_pDstPoints(nullptr),
      m_pSrcFaces(nullptr),
      m_pDstFaces(nullptr),
      m_pSrcChannels(nullptr),
      m_pDstChannels(nullptr) {}

CGeomInfo::CGeomInfo(const C3DBaseObject* object) : CGeomInfo() { InitFromObject(object); }

CGeomInfo::CGeomInfo(const C3DSceneNode*, const C3DBaseObject* object) : CGeomInfo() { InitFromObject(object); }

CGeomInfo::CGeomInfo(C3DFaceList* faces, C3DPointList* points) : CGeomInfo() {
    m_pSrcFaces = m_pDstFaces = faces;
    m_pSrcPoints = m_pDstPoints = points;
}

CGeomInfo::CGeomInfo(const CGeomInfo& other)
    : CXAllocated(other),
      m_ownership(0),
      m_pScene(other.m_pScene),
      m_pObject(other.m_pObject),
      m_pSrcPoints(other.m_pSrcPoints),
      m_pDstPoints(other.m_pDstPoints),
      m_pSrcFaces(other.m_pSrcFaces),
      m_pDstFaces(other.m_pDstFaces),
      m_pSrcChannels(other.m_pSrcChannels),
      m_pDstChannels(other.m_pDstChannels) {}

CGeomInfo::~CGeomInfo() {
    ReleasePair(m_pSrcPoints, m_pDstPoints, m_ownership);
    ReleasePair(m_pSrcFaces, m_pDstFaces, m_ownership);
    ReleasePair(m_pSrcChannels, m_pDstChannels, m_ownership);
}

void CGeomInfo::InitFromObject(const C3DBaseObject* object) {
    // The view reads the object's lists and may write them in place; it never changes the
    // object's identity, hence the cast away from const for the pointer it records.
    m_pObject = const_cast<C3DBaseObject*>(object);
    if (!object) return;
    m_pScene = object->GetScene();
    // By class rather than by kind: a geometric object built directly on lists has kind 0.
    if (!object->IsKindOf(KX_RUNTIME_CLASS(C3DGeomObject))) return;
    const C3DGeomObject* geom = static_cast<const C3DGeomObject*>(object);
    m_pSrcPoints = m_pDstPoints = geom->GetPointList();
    m_pSrcFaces = m_pDstFaces = geom->GetFaceList();
    m_pSrcChannels = m_pDstChannels = geom->GetChannels();
}

C3DPointList* CGeomInfo::GetSrc3DPointList(bool take) { return TakeOrPeek(m_pSrcPoints, take); }
C3DPointList* CGeomInfo::GetDst3DPointList(bool take) { return TakeOrPeek(m_pDstPoints, take); }
C3DFaceList* CGeomInfo::GetSrc3DFaceList(bool take) { return TakeOrPeek(m_pSrcFaces, take); }
C3DFaceList* CGeomInfo::GetDst3DFaceList(bool take) { return TakeOrPeek(m_pDstFaces, take); }
CDependentChannels* CGeomInfo::GetSrcChannels(bool take) { return TakeOrPeek(m_pSrcChannels, take); }
CDependentChannels* CGeomInfo::GetDstChannels(bool take) { return TakeOrPeek(m_pDstChannels, take); }

void CGeomInfo::SetPointList(C3DPointList* src, C3DPointList* dst, unsigned int ownership) {
    m_pSrcPoints = src;
    m_pDstPoints = dst;
    m_ownership |= ownership;
}

void CGeomInfo::SetFaceList(C3DFaceList* src, C3DFaceList* dst, unsigned int ownership) {
    m_pSrcFaces = src;
    m_pDstFaces = dst;
    m_ownership |= ownership;
}

void CGeomInfo::SetChannels(CDependentChannels* src, CDependentChannels* dst, unsigned int ownership) {
    m_pSrcChannels = src;
    m_pDstChannels = dst;
    m_ownership |= ownership;
}

namespace {

// The index-th valid channel of `type` in `set` when it is of class C, else null.
template <class C>
C* TypedChannel(const CDependentChannels* set, unsigned type, int index) {
    CChannel* c = set ? set->GetChannelByIndex(index, type, true) : nullptr;
    return c && c->IsKindOf(KX_RUNTIME_CLASS(C)) ? static_cast<C*>(c) : nullptr;
}

// The normals a view offers: the specified normals when the set holds a valid specified-normal
// channel (the normals given with the model), else the smoothed corner normals.
CChannel* NormalChannel(const CDependentChannels* set) {
    if (CChannel* c = TypedChannel<CSpecNormalChannel>(set, CHANNEL_SPEC_NORMAL, 0)) return c;
    return TypedChannel<CPointNormalChannel>(set, CHANNEL_POINT_NORMAL, 0);
}

CUVWFaceList* UVWFaces(const CDependentChannels* set, int index) {
    CUVWChannel* c = TypedChannel<CUVWChannel>(set, CHANNEL_UVW, index);
    return c ? c->GetUVWFaceList() : nullptr;
}
CUVWPointList* UVWPoints(const CDependentChannels* set, int index) {
    CUVWChannel* c = TypedChannel<CUVWChannel>(set, CHANNEL_UVW, index);
    return c ? c->GetUVWPointList() : nullptr;
}
CVCFaceList* VCFaces(const CDependentChannels* set, int index) {
    CVCChannel* c = TypedChannel<CVCChannel>(set, CHANNEL_VC, index);
    return c ? c->GetVCFaceList() : nullptr;
}
CVCPointList* VCPoints(const CDependentChannels* set, int index) {
    CVCChannel* c = TypedChannel<CVCChannel>(set, CHANNEL_VC, index);
    return c ? c->GetVCPointList() : nullptr;
}
CWeightFaceList* WeightFaces(const CDependentChannels* set, int index) {
    CWeightChannel* c = TypedChannel<CWeightChannel>(set, CHANNEL_WEIGHT, index);
    return c ? c->GetWeightFaceList() : nullptr;
}
CWeightPointList* WeightPoints(const CDependentChannels* set, int index) {
    CWeightChannel* c = TypedChannel<CWeightChannel>(set, CHANNEL_WEIGHT, index);
    return c ? c->GetWeightPointList() : nullptr;
}
CNormalFaceList* NormalFaces(const CDependentChannels* set) {
    CChannel* c = NormalChannel(set);
    return c ? static_cast<CNormalFaceList*>(c->GetFaceList()) : nullptr;
}
C3DVectorList* NormalVectors(const CDependentChannels* set) {
    CChannel* c = NormalChannel(set);
    return c ? static_cast<C3DVectorList*>(c->GetPointList()) : nullptr;
}

}  // namespace

// Typed channel lists: the index-th valid channel of the type, of its own class.
CUVWFaceList* CGeomInfo::GetSrcUVWFaceList(int index) const { return UVWFaces(m_pSrcChannels, index); }
CUVWPointList* CGeomInfo::GetSrcUVWPointList(int index) const { return UVWPoints(m_pSrcChannels, index); }
CVCFaceList* CGeomInfo::GetSrcVCFaceList(int index) const { return VCFaces(m_pSrcChannels, index); }
CVCPointList* CGeomInfo::GetSrcVCPointList(int index) const { return VCPoints(m_pSrcChannels, index); }
CWeightFaceList* CGeomInfo::GetSrcWeightFaceList(int index) const { return WeightFaces(m_pSrcChannels, index); }
CWeightPointList* CGeomInfo::GetSrcWeightPointList(int index) const { return WeightPoints(m_pSrcChannels, index); }
CNormalFaceList* CGeomInfo::GetSrcNormalFaceList() const { return NormalFaces(m_pSrcChannels); }
C3DVectorList* CGeomInfo::GetSrcNormalPointList() const { return NormalVectors(m_pSrcChannels); }
CUVWFaceList* CGeomInfo::GetDstUVWFaceList(int index) const { return UVWFaces(m_pDstChannels, index); }
CUVWPointList* CGeomInfo::GetDstUVWPointList(int index) const { return UVWPoints(m_pDstChannels, index); }
CVCFaceList* CGeomInfo::GetDstVCFaceList(int index) const { return VCFaces(m_pDstChannels, index); }
CVCPointList* CGeomInfo::GetDstVCPointList(int index) const { return VCPoints(m_pDstChannels, index); }
CWeightFaceList* CGeomInfo::GetDstWeightFaceList(int index) const { return WeightFaces(m_pDstChannels, index); }
CWeightPointList* CGeomInfo::GetDstWeightPointList(int index) const { return WeightPoints(m_pDstChannels, index); }
CNormalFaceList* CGeomInfo::GetDstNormalFaceList() const { return NormalFaces(m_pDstChannels); }
C3DVectorList* CGeomInfo::GetDstNormalPointList() const { return NormalVectors(m_pDstChannels); }

C3DGeomObject* CGeomInfo::GetGeomObject() const {
    return (m_pObject && m_pObject->IsKindOf(KX_RUNTIME_CLASS(C3DGeomObject))) ? static_cast<C3DGeomObject*>(m_pObject)
                                                                             : nullptr;
}

int CGeomInfo::GetChannelSize() const { return m_pSrcChannels ? m_pSrcChannels->GetSize() : 0; }

bool CGeomInfo::GetChannelFaceList(int index, CFaceList*& src, CFaceList*& dst) const {
    CChannel* s = ChannelAt(m_pSrcChannels, index);
    CChannel* d = ChannelAt(m_pDstChannels, index);
    src = s ? s->GetFaceList() : nullptr;
    dst = d ? d->GetFaceList() : nullptr;
    return s != nullptr;
}

bool CGeomInfo::GetChannelPointList(int index, CPointList*& src, CPointList*& dst) const {
    CChannel* s = ChannelAt(m_pSrcChannels, index);
    CChannel* d = ChannelAt(m_pDstChannels, index);
    src = s ? s->GetPointList() : nullptr;
    dst = d ? d->GetPointList() : nullptr;
    return s != nullptr;
}

}  // namespace kestovar
