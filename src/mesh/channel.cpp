// The channel base and the per-object channel set: identity, flags, lists, and the walks the
// geometric object runs over its channels.
#include "kestovar/mesh/channel.h"

#include <atomic>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"
#include "object_archive.h"

namespace kestovar {

namespace {

// Library-wide channel identifiers handed to channels constructed without one.
std::atomic<unsigned int> g_nextChannelID{kFirstChannelID};

bool TypeInMask(const CChannel* channel, unsigned int typeMask) { return (unsigned(channel->GetType()) & typeMask) != 0; }

// Channels that follow the geometry's edits: neither invalid nor derived.
bool FollowsGeometry(const CChannel* channel) { return !channel->IsOneFlagSet(CHANNEL_INVALID | CHANNEL_DERIVED); }

}  // namespace

// ---- CChannel ------------------------------------------------------------------------------

KX_IMPLEMENT_DYNAMIC(CChannel, CXObject)

unsigned int CChannel::NewChannelID() { return g_nextChannelID.fetch_add(1, std::memory_order_relaxed); }

CChannel::CChannel(_Channel3DType type, unsigned int id, unsigned int flags)
    : m_id(id == kNewChannelID ? NewChannelID() : id),
      m_type(type),
      m_flags(flags),
      m_pPointList(nullptr),
      m_pFaceList(nullptr) {}

CChannel::~CChannel() {
    XRelease(m_pPointList);
    XRelease(m_pFaceList);
}

void CChannel::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << uint32_t(m_id) << uint32_t(m_type) << uint32_t(m_flags);
        detail::StoreOwnedMember(ar, m_pPointList ? m_pPointList->AsObject() : nullptr);
        detail::StoreOwnedMember(ar, m_pFaceList);
        return;
    }
    uint32_t id = 0, type = 0, flags = 0;
    ar >> id >> type >> flags;
    // The class decides the type; another stored type means the bytes are not this class's.
    if (type != uint32_t(m_type)) XThrow<CXArchiveException>(CXArchiveException::badClass, "channel type does not match its class");
    m_id = id;
    m_flags = flags;
    XRelease(m_pPointList);
    XRelease(m_pFaceList);
    m_pPointList = CPointList::FromObject(detail::LoadOwnedMember(ar, KX_RUNTIME_CLASS(CPointList)));
    m_pFaceList = CFaceList::FromObject(detail::LoadOwnedMember(ar, KX_RUNTIME_CLASS(CFaceList)));
}

bool CChannel::SwapCoordinates(unsigned int) { return false; }

bool CChannel::MatrixTransform(const C4x4TMatrix<float>&, _POINT_PROPERTIES, bool) { return false; }

bool CChannel::CleanRemoveDuplicateIndex() { return false; }

bool CChannel::Clean(const CGeomInfo*, CXArray<unsigned int>*, CXArray<unsigned int>*) { return false; }

bool CChannel::Weld(const CGeomInfo*, double) { return false; }

bool CChannel::Compare(const CPt*, const CPt*, double) { return false; }

bool CChannel::CanBeRecomputed() { return false; }

void CChannel::SetPointList(_Channel3DType, CPointList* list, bool deleteOld) {
    if (list == m_pPointList) return;
    if (deleteOld) XRelease(m_pPointList);
    m_pPointList = list;
}

void CChannel::SetFaceList(_Channel3DType, CFaceList* list, bool deleteOld) {
    if (list == m_pFaceList) return;
    if (deleteOld) XRelease(m_pFaceList);
    m_pFaceList = list;
}

CChannel* CChannel::Copy(unsigned int copyFlags) const {
    if (IsFlagSet(CHANNEL_INVALID)) copyFlags |= CHANNEL_COPY_NO_CONTENT;
    bool withContent = (copyFlags & CHANNEL_COPY_NO_CONTENT) == 0;
    CChannel* copy = Duplicate(true);
    if (!copy) return nullptr;
    if (copyFlags & CHANNEL_COPY_KEEP_ID) copy->m_id = m_id;
    if (withContent) {
        if (m_pFaceList && copy->m_pFaceList) *copy->m_pFaceList = *m_pFaceList;
        if (m_pPointList && copy->m_pPointList) *copy->m_pPointList = *m_pPointList;
    } else if (IsFlagSet(CHANNEL_RECOMPUTABLE)) {
        copy->m_flags |= CHANNEL_OUT_OF_DATE;
    }
    return copy;
}

void CChannel::FreeExtra() {
    if (m_pPointList) m_pPointList->FreeExtra();
    if (m_pFaceList) m_pFaceList->FreeExtra();
}

// ---- CDependentChannels --------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(CDependentChannels, CXObject, 1)

CDependentChannels::CDependentChannels() = default;

CDependentChannels::CDependentChannels(const CDependentChannels& other)
    : CXObject(other), Base(), CInstanciatedObject() {
    Base::Copy(other);
    for (CChannel* c : *this) c->AddRef();
}

CDependentChannels::~CDependentChannels() { RemoveAll(); }

CDependentChannels& CDependentChannels::operator=(const CDependentChannels& other) {
    if (this == &other) return *this;
    // Take the new references before releasing the old ones: `other` may share our channels.
    for (CChannel* c : other) c->AddRef();
    RemoveAll();
    Base::Copy(other);
    return *this;
}

CDependentChannels* CDependentChannels::Create() { return new CDependentChannels; }

CChannel* CDependentChannels::GetChannel(int index) const {
    if (index < 0 || index >= GetSize()) XThrow<CXInvalidArgException>("CDependentChannels::GetChannel: index out of range");
    return m_pData[index];
}

int CDependentChannels::AddChannel(CChannel* channel) {
    if (!channel) return -1;
    return Base::Add(channel);
}

bool CDependentChannels::RemoveChannel(CChannel* channel) {
    for (int i = 0; i < GetSize(); ++i) {
        if (m_pData[i] != channel) continue;
        Base::RemoveAt(i);
        channel->Delete();
        return true;
    }
    return false;
}

void CDependentChannels::RemoveAll() {
    // Empty the array first so that a channel's destructor never sees itself still listed.
    int n = GetSize();
    CChannel** channels = m_pData;
    m_pData = nullptr;
    m_nSize = m_nMaxSize = 0;
    for (int i = 0; i < n; ++i) channels[i]->Delete();
    xfree(channels);
}

CChannel* CDependentChannels::GetChannelByIndex(int index, unsigned int typeMask, bool skipInvalid) const {
    if (typeMask == 0) return (index >= 0 && index < GetSize()) ? m_pData[index] : nullptr;
    if (index < 0) return nullptr;
    for (CChannel* c : *this) {
        if (!TypeInMask(c, typeMask)) continue;
        if (skipInvalid && c->IsFlagSet(CHANNEL_INVALID)) continue;
        if (index-- == 0) return c;
    }
    return nullptr;
}

CChannel* CDependentChannels::GetChannelByID(unsigned int id, unsigned int typeMask) const {
    for (CChannel* c : *this)
        if (c->GetID() == id && TypeInMask(c, typeMask)) return c;
    return nullptr;
}

int CDependentChannels::GetChannelsNumber(unsigned int typeMask, bool skipInvalid) const {
    int n = 0;
    for (CChannel* c : *this)
        if (TypeInMask(c, typeMask) && !(skipInvalid && c->IsFlagSet(CHANNEL_INVALID))) ++n;
    return n;
}

bool CDependentChannels::InvalidateChannels(unsigned int typeMask) {
    bool marked = false;
    for (CChannel* c : *this) {
        if (!TypeInMask(c, typeMask) || !c->IsFlagSet(CHANNEL_RECOMPUTABLE)) continue;
        c->SetFlag(CHANNEL_OUT_OF_DATE, true);
        marked = true;
    }
    return marked;
}

bool CDependentChannels::MatrixTransform(const C4x4TMatrix<float>& m, unsigned int typeMask, _POINT_PROPERTIES mask,
                                         bool value) {
    bool changed = false;
    for (CChannel* c : *this)
        if (TypeInMask(c, typeMask) && c->MatrixTransform(m, mask, value)) changed = true;
    return changed;
}

int CDependentChannels::CleanChannels(const CGeomInfo* geom, CXArray<unsigned int>* faceRemap,
                                      CXArray<unsigned int>* pointRemap, unsigned int typeMask) {
    int changed = 0;
    for (int i = GetSize() - 1; i >= 0; --i) {
        CChannel* c = m_pData[i];
        if (!TypeInMask(c, typeMask) || !c->Clean(geom, faceRemap, pointRemap)) continue;
        ++changed;
        if (c->IsFlagSet(CHANNEL_INVALID)) {
            Base::RemoveAt(i);
            c->Delete();
        }
    }
    return changed;
}

int CDependentChannels::CopyChannels(const CDependentChannels& source, unsigned int typeMask, unsigned int copyFlags,
                                     CXArray<unsigned int>* indices) {
    if (&source == this) {
        // Copying a set into itself: work from a snapshot so that the walk is not disturbed.
        CDependentChannels snapshot(source);
        return CopyChannels(snapshot, typeMask, copyFlags, indices);
    }
    if (!(copyFlags & CHANNEL_COPY_APPEND)) RemoveAll();
    if (typeMask == 0) return 0;
    int added = 0;
    for (int i = 0; i < source.GetSize(); ++i) {
        CChannel* c = source.m_pData[i];
        if (!TypeInMask(c, typeMask)) continue;
        if ((copyFlags & CHANNEL_COPY_SKIP_DERIVED) && c->IsFlagSet(CHANNEL_DERIVED)) continue;
        if ((copyFlags & CHANNEL_COPY_SKIP_INVALID) && c->IsFlagSet(CHANNEL_INVALID)) continue;
        CChannel* copy = (copyFlags & CHANNEL_COPY_SHARE) ? XAddRef(c) : c->Copy(copyFlags);
        if (!copy) continue;
        Base::Add(copy);
        if (indices) indices->Add(unsigned(i));
        ++added;
    }
    return added;
}

bool CDependentChannels::FlipNormals(unsigned int mask, bool value) {
    bool flipped = false;
    for (CChannel* c : *this) {
        CFaceList* faces = c->GetFaceList();
        if (!faces || !FollowsGeometry(c)) continue;
        if (faces->FlipNormals(_FACE_PROPERTIES(mask), value) > 0) flipped = true;
    }
    return flipped;
}

bool CDependentChannels::FlipFace(unsigned int face) {
    bool flipped = false;
    CFace view;
    for (CChannel* c : *this) {
        CFaceList* faces = c->GetFaceList();
        if (!faces || !FollowsGeometry(c) || !faces->IsFaceLive(face) || !faces->GetFace(face, view)) continue;
        view.Flip();
        flipped = true;
    }
    return flipped;
}

void CDependentChannels::FreeExtra() {
    for (CChannel* c : *this) c->FreeExtra();
    Base::FreeExtra();
}

unsigned int CDependentChannels::GetChecksum(unsigned int mask) const {
    unsigned int sum = 0;
    for (CChannel* c : *this) {
        if (!FollowsGeometry(c)) continue;
        if (c->GetFaceList()) sum += c->GetFaceList()->GetChecksum(mask);
        if (c->GetPointList()) sum += c->GetPointList()->GetChecksum(mask);
    }
    return sum;
}

void CDependentChannels::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteCount(uint64_t(GetSize()));
        for (CChannel* c : *this) {
            ar.WriteClass(c->GetRuntimeClassDescriptor());
            c->Serialize(ar);
        }
        return;
    }
    RemoveAll();
    uint64_t count = ar.ReadCount();
    // Every channel takes at least its class reference (2 bytes), its three words and its two
    // list markers: a forged count fails here instead of looping.
    if (count > ar.GetRemainingLength() / 22) XThrow<CXArchiveException>(CXArchiveException::endOfFile, "channel count beyond the data");
    for (uint64_t i = 0; i < count; ++i) {
        // Stored inline (class, then content), so that every load makes fresh channels.
        unsigned schema = CXArchive::kNoSchema;
        const CXRuntimeClass* descriptor = ar.ReadClass(KX_RUNTIME_CLASS(CChannel), &schema);
        CXObject* object = descriptor ? descriptor->CreateObject() : nullptr;
        if (!object) XThrow<CXArchiveException>(CXArchiveException::badClass, "channel class cannot be created");
        CChannel* channel = static_cast<CChannel*>(object);
        unsigned outerSchema = ar.GetObjectSchema();
        ar.SetObjectSchema(schema);
        try {
            channel->Serialize(ar);
        } catch (...) {
            ar.SetObjectSchema(outerSchema);
            channel->Delete();
            throw;
        }
        ar.SetObjectSchema(outerSchema);
        Base::Add(channel);
    }
}

}  // namespace kestovar
