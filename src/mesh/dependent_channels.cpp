// CDependentChannels: lookups by position, identifier and type, removals, and the bulk
// operations that reach the attribute-specific channel classes (welding, break flags).
#include "kestovar/core/exception.h"
#include "kestovar/mesh/channels.h"
#include "channel_internal.h"

namespace kestovar {

namespace {

bool InMask(const CChannel* c, unsigned int typeMask) { return (unsigned(c->GetType()) & typeMask) != 0; }

}  // namespace

CChannel* CDependentChannels::GetChannelByIndex(int index, CFaceList*& faces, CPointList*& points,
                                                _Channel3DType type) const {
    CChannel* c = GetChannelByIndex(index, unsigned(type), false);
    faces = c ? c->GetFaceList() : nullptr;
    points = c ? c->GetPointList() : nullptr;
    return c;
}

CChannel* CDependentChannels::GetChannelByID(unsigned int id, CFaceList*& faces, CPointList*& points,
                                             _Channel3DType type) const {
    CChannel* c = GetChannelByID(id, unsigned(type));
    faces = c ? c->GetFaceList() : nullptr;
    points = c ? c->GetPointList() : nullptr;
    return c;
}

int CDependentChannels::GetChannelIndex(unsigned int id, unsigned int typeMask, bool skipInvalid) const {
    for (int i = 0; i < GetSize(); ++i) {
        const CChannel* c = m_pData[i];
        if (c->GetID() != id || !InMask(c, typeMask)) continue;
        if (skipInvalid && c->IsFlagSet(CHANNEL_INVALID)) continue;
        return i;
    }
    return -1;
}

_Channel3DType CDependentChannels::GetChannelType(int index) const { return GetChannel(index)->GetType(); }

int CDependentChannels::GetChannels(unsigned int typeMask, CXArray<unsigned int>& indices, bool skipInvalid) const {
    indices.SetSize(0);
    for (int i = 0; i < GetSize(); ++i) {
        const CChannel* c = m_pData[i];
        if (!InMask(c, typeMask) || (skipInvalid && c->IsFlagSet(CHANNEL_INVALID))) continue;
        indices.Add(unsigned(i));
    }
    return indices.GetSize();
}

// ---- typed lookups ----------------------------------------------------------------------------

CUVWChannel* CDependentChannels::GetUVWChannelByID(unsigned int id) const {
    return static_cast<CUVWChannel*>(GetChannelByID(id, CHANNEL_UVW));
}

CUVWChannel* CDependentChannels::GetUVWChannelByID(unsigned int id, CUVWFaceList*& faces, CUVWPointList*& points) const {
    CUVWChannel* c = GetUVWChannelByID(id);
    faces = c ? c->GetUVWFaceList() : nullptr;
    points = c ? c->GetUVWPointList() : nullptr;
    return c;
}

CUVWChannel* CDependentChannels::GetUVWChannelByIndex(int index, bool skipInvalid) const {
    return static_cast<CUVWChannel*>(GetChannelByIndex(index, CHANNEL_UVW, skipInvalid));
}

CUVWChannel* CDependentChannels::GetUVWChannelByIndex(int index, CUVWFaceList*& faces, CUVWPointList*& points,
                                                      bool skipInvalid) const {
    CUVWChannel* c = GetUVWChannelByIndex(index, skipInvalid);
    faces = c ? c->GetUVWFaceList() : nullptr;
    points = c ? c->GetUVWPointList() : nullptr;
    return c;
}

CVCChannel* CDependentChannels::GetVCChannelByID(unsigned int id) const {
    return static_cast<CVCChannel*>(GetChannelByID(id, CHANNEL_VC));
}

CVCChannel* CDependentChannels::GetVCChannelByID(unsigned int id, CVCFaceList*& faces, CVCPointList*& points) const {
    CVCChannel* c = GetVCChannelByID(id);
    faces = c ? c->GetVCFaceList() : nullptr;
    points = c ? c->GetVCPointList() : nullptr;
    return c;
}

CVCChannel* CDependentChannels::GetVCChannelByIndex(int index, bool skipInvalid) const {
    return static_cast<CVCChannel*>(GetChannelByIndex(index, CHANNEL_VC, skipInvalid));
}

CVCChannel* CDependentChannels::GetVCChannelByIndex(int index, CVCFaceList*& faces, CVCPointList*& points,
                                                    bool skipInvalid) const {
    CVCChannel* c = GetVCChannelByIndex(index, skipInvalid);
    faces = c ? c->GetVCFaceList() : nullptr;
    points = c ? c->GetVCPointList() : nullptr;
    return c;
}

namespace {

// The vector list of a normal channel (its point list, when it is one).
C3DVectorList* VectorsOf(const CChannel* c) {
    return c && c->GetPointList() ? C3DVectorList::FromObject(c->GetPointList()->AsObject()) : nullptr;
}
CNormalFaceList* NormalFacesOf(const CChannel* c) {
    return c && c->GetFaceList() ? CNormalFaceList::FromObject(c->GetFaceList()) : nullptr;
}

}  // namespace

CChannel* CDependentChannels::GetPointNormalChannel() const { return GetChannelByIndex(0, CHANNEL_POINT_NORMAL, false); }

CChannel* CDependentChannels::GetPointNormalChannel(CNormalFaceList*& faces, C3DVectorList*& vectors) const {
    CChannel* c = GetPointNormalChannel();
    faces = NormalFacesOf(c);
    vectors = VectorsOf(c);
    return c;
}

CChannel* CDependentChannels::GetFaceNormalChannel() const { return GetChannelByIndex(0, CHANNEL_FACE_NORMAL, false); }

CChannel* CDependentChannels::GetFaceNormalChannel(C3DVectorList*& vectors) const {
    CChannel* c = GetFaceNormalChannel();
    vectors = VectorsOf(c);
    return c;
}

CChannel* CDependentChannels::GetSpecNormalChannel() const { return GetChannelByIndex(0, CHANNEL_SPEC_NORMAL, false); }

CChannel* CDependentChannels::GetSpecNormalChannel(CNormalFaceList*& faces, C3DVectorList*& vectors) const {
    CChannel* c = GetSpecNormalChannel();
    faces = NormalFacesOf(c);
    vectors = VectorsOf(c);
    return c;
}

// ---- removal ------------------------------------------------------------------------------------

bool CDependentChannels::RemoveChannelByID(unsigned int id, unsigned int typeMask) {
    CChannel* c = GetChannelByID(id, typeMask);
    return c && RemoveChannel(c);
}

bool CDependentChannels::RemoveChannelByIndex(int index, unsigned int typeMask) {
    CChannel* c = GetChannelByIndex(index, typeMask, false);
    return c && RemoveChannel(c);
}

int CDependentChannels::RemoveChannelsByFlag(unsigned int flags, unsigned int typeMask, bool value) {
    int removed = 0;
    for (int i = GetSize() - 1; i >= 0; --i) {
        CChannel* c = m_pData[i];
        if (!InMask(c, typeMask) || c->IsOneFlagSet(flags) != value) continue;
        Base::RemoveAt(i);
        c->Delete();
        ++removed;
    }
    return removed;
}

int CDependentChannels::RemoveChannelsByType(unsigned int typeMask) {
    int removed = 0;
    for (int i = GetSize() - 1; i >= 0; --i) {
        CChannel* c = m_pData[i];
        if (!InMask(c, typeMask)) continue;
        Base::RemoveAt(i);
        c->Delete();
        ++removed;
    }
    return removed;
}

// ---- bulk operations ------------------------------------------------------------------------------

bool CDependentChannels::SwapCoordinates(unsigned int code, unsigned int typeMask) {
    bool changed = false;
    for (CChannel* c : *this)
        if (InMask(c, typeMask) && c->SwapCoordinates(code)) changed = true;
    return changed;
}

bool CDependentChannels::Weld(const CGeomInfo* geom, double tolerance, unsigned int typeMask) {
    bool changed = false;
    for (CChannel* c : *this)
        if (InMask(c, typeMask) && c->Weld(geom, tolerance)) changed = true;
    return changed;
}

void CDependentChannels::SetFlag(unsigned int typeMask, unsigned int flags, bool set) {
    for (CChannel* c : *this)
        if (InMask(c, typeMask)) c->SetFlag(flags, set);
}

bool CDependentChannels::InitBreakFlags(const CGeomInfo* geom, unsigned int typeMask, float uvTolerance,
                                        int colourTolerance, float normalAngle) {
    C3DPointList* points = detail::ReadPoints(geom);
    if (!points) return false;
    // The junction bit goes with the seam bit: a junction left from an earlier marking would
    // otherwise outlive the seam it belonged to.
    points->SetPointsFlags(POINT_UV_SEAM | POINT_VC_FRONTIER | POINT_NORMAL_FRONTIER | POINT_UV_JUNCTION, false);
    bool processed = false;
    for (CChannel* c : *this) {
        if (!InMask(c, typeMask) || c->IsFlagSet(CHANNEL_INVALID)) continue;
        switch (c->GetType()) {
            case CHANNEL_UVW:
                if (static_cast<CUVWChannel*>(c)->InitShareUVFlag(geom, uvTolerance, false)) processed = true;
                break;
            case CHANNEL_VC:
                if (static_cast<CVCChannel*>(c)->InitVCFrontierFlag(geom, colourTolerance, false)) processed = true;
                break;
            case CHANNEL_SPEC_NORMAL:
                if (CChannel::InitNormalBreakHook && CChannel::InitNormalBreakHook(c, geom, double(normalAngle)))
                    processed = true;
                break;
            default: break;
        }
    }
    return processed;
}

}  // namespace kestovar
