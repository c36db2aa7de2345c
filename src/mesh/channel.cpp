// The channel base and the per-object channel set: identity, flags, lists, and the walks the
// geometric object runs over its channels.
#include "kestovar/mesh/channel.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/geom_info.h"
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

// ---- corner graph --------------------------------------------------------------------------

// For every geometric point p, corners [offsets[p], offsets[p + 1]) of `corners`: one per corner of
// a live geometric face at p, in face order. Built in two passes (count, then fill) so that the
// corners of all points lie in one contiguous array.
class CChannelCornerGraph : public CXAllocated {
public:
    CXArray<unsigned int> offsets;
    CXArray<CChannelCorner> corners;
};

// ---- CChannel ------------------------------------------------------------------------------

KX_IMPLEMENT_DYNAMIC(CChannel, CXObject)

CChannel::CreateNormalChannelFunc CChannel::CreateNormalChannelHook = nullptr;
CChannel::InitNormalBreakFunc CChannel::InitNormalBreakHook = nullptr;

unsigned int CChannel::NewChannelID() { return g_nextChannelID.fetch_add(1, std::memory_order_relaxed); }

CChannel::CChannel(_Channel3DType type, unsigned int id, unsigned int flags)
    : m_id(id == kNewChannelID ? NewChannelID() : id),
      m_type(type),
      m_flags(flags),
      m_pPointList(nullptr),
      m_pFaceList(nullptr),
      m_pGraph(nullptr) {}

CChannel::~CChannel() {
    DeleteGraph();
    XRelease(m_pPointList);
    XRelease(m_pFaceList);
}

CChannel* CChannel::Create(_Channel3DType type, unsigned int id) {
    switch (type) {
        case CHANNEL_UVW: return new CUVWChannel(id);
        case CHANNEL_VC: return new CVCChannel(id);
        case CHANNEL_WEIGHT: return new CWeightChannel(id, true);
        case CHANNEL_POINT_NORMAL:
        case CHANNEL_FACE_NORMAL:
        case CHANNEL_SPEC_NORMAL: return CreateNormalChannelHook ? CreateNormalChannelHook(unsigned(type), id) : nullptr;
        default: return nullptr;
    }
}

CXTString<wchar_t> CChannel::GetTypeString(_Channel3DType type) {
    switch (type) {
        case CHANNEL_UVW: return LoadResourceString(IDS_CHANNEL_UV, L"UV");
        case CHANNEL_VC: return LoadResourceString(IDS_CHANNEL_VC, L"VC");
        case CHANNEL_WEIGHT: return LoadResourceString(IDS_CHANNEL_WEIGHT, L"Weight");
        case CHANNEL_POINT_NORMAL: return LoadResourceString(IDS_CHANNEL_POINT_NORMALS, L"Points");
        case CHANNEL_FACE_NORMAL: return LoadResourceString(IDS_CHANNEL_FACE_NORMALS, L"Faces");
        case CHANNEL_SPEC_NORMAL: return LoadResourceString(IDS_CHANNEL_SPEC_NORMALS, L"Normals");
        default: return CXTString<wchar_t>();
    }
}

void CChannel::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << uint32_t(m_id) << uint32_t(m_type) << uint32_t(m_flags);
        detail::StoreOwnedMember(ar, m_pPointList ? m_pPointList->AsObject() : nullptr);
        detail::StoreOwnedMember(ar, m_pFaceList);
        m_customData.Serialize(ar);
        return;
    }
    uint32_t id = 0, type = 0, flags = 0;
    ar >> id >> type >> flags;
    // The class decides the type; another stored type means the bytes are not this class's.
    if (type != uint32_t(m_type)) XThrow<CXArchiveException>(CXArchiveException::badClass, "channel type does not match its class");
    m_id = id;
    m_flags = flags;
    DeleteGraph();
    XRelease(m_pPointList);
    XRelease(m_pFaceList);
    m_pPointList = CPointList::FromObject(detail::LoadOwnedMember(ar, KX_RUNTIME_CLASS(CPointList)));
    m_pFaceList = CFaceList::FromObject(detail::LoadOwnedMember(ar, KX_RUNTIME_CLASS(CFaceList)));
    // Typed code casts the lists to the class's own list types: refuse any other.
    if (!AcceptLists(m_pPointList, m_pFaceList)) {
        XRelease(m_pPointList);
        XRelease(m_pFaceList);
        XThrow<CXArchiveException>(CXArchiveException::badClass, "channel lists are not of the channel's classes");
    }
    m_customData.Serialize(ar);
}

bool CChannel::AcceptLists(const CPointList*, const CFaceList*) const { return true; }

bool CChannel::SwapCoordinates(unsigned int) { return false; }

bool CChannel::MatrixTransform(const C4x4TMatrix<float>&, _POINT_PROPERTIES, bool) { return false; }

bool CChannel::CleanRemoveDuplicateIndex() { return false; }

bool CChannel::Compare(const CPt*, const CPt*, double) { return false; }

bool CChannel::CanBeRecomputed() { return false; }

bool CChannel::Clean(const CGeomInfo* geom, CXArray<unsigned int>* faceRemap, CXArray<unsigned int>* pointRemap) {
    DeleteGraph();
    bool changed = false;
    CFaceList* faces = m_pFaceList;
    CPointList* points = m_pPointList;
    auto invalidate = [this]() {
        m_flags |= CHANNEL_INVALID;
        return true;
    };

    if (faces) {
        const unsigned n = unsigned(faces->GetSize());
        // A face that was already invalid stays in place but is no longer live.
        for (unsigned f = 0; f < n; ++f)
            if (faces->GetFaceFlags(f) & FACE_INVALID) faces->SetFaceFlags(f, FACE_HIDDEN, true);
        const bool useRemap = faceRemap && faceRemap->GetSize() == int(n);
        const unsigned* r = useRemap ? faceRemap->GetData() : nullptr;
        for (unsigned f = 0; f < n; ++f) faces->SetFaceFlags(f, FACE_INVALID, r && r[f] == REMAP_REMOVED);
        if (faces->Clean(nullptr, CleanRemoveDuplicateIndex(), nullptr)) changed = true;
    }

    if (points) {
        CXArray<unsigned> remap;
        if (faces) {
            // A live corner beyond the channel's points cannot be renumbered: the channel no
            // longer describes its faces.
            const unsigned count = unsigned(points->GetSize());
            const unsigned nf = unsigned(faces->GetSize());
            for (unsigned f = 0; f < nf; ++f) {
                if (!faces->IsFaceLive(f)) continue;
                int k;
                const int* idx = faces->GetIndexes(f, k);
                for (int j = 0; j < k; ++j)
                    if (unsigned(idx[j]) >= count) return invalidate();
            }
            if (points->Clean(faces, &remap)) {
                faces->UpdateIndex(&remap, true);
                changed = true;
            }
        } else {
            if (pointRemap && pointRemap->GetSize() == points->GetSize()) {
                const unsigned* r = pointRemap->GetData();
                for (int i = 0; i < points->GetSize(); ++i)
                    if (r[i] == REMAP_REMOVED) points->GetPt(i)->SetFlag(POINT_REMOVED, true);
            }
            if (points->Clean(nullptr, &remap)) changed = true;
        }
    }

    // The geometry the channel must match is the one the clean-up wrote.
    const C3DFaceList* geomFaces = geom ? (geom->GetDst3DFaceList() ? geom->GetDst3DFaceList() : geom->GetSrc3DFaceList()) : nullptr;
    const C3DPointList* geomPoints =
        geom ? (geom->GetDst3DPointList() ? geom->GetDst3DPointList() : geom->GetSrc3DPointList()) : nullptr;
    if (faces && geomFaces && geomFaces->GetSize() != faces->GetSize()) return invalidate();
    if (!faces && points && geomPoints && geomPoints->GetSize() != points->GetSize()) return invalidate();
    if (!points || points->GetSize() == 0) return invalidate();
    if (changed && IsFlagSet(CHANNEL_RECOMPUTABLE)) m_flags |= CHANNEL_OUT_OF_DATE;
    return changed;
}

bool CChannel::Weld(const CGeomInfo* geom, double tolerance) {
    if (!m_pPointList || m_pPointList->GetSize() == 0 || !m_pFaceList) return false;
    if (IsOneFlagSet(CHANNEL_INVALID | CHANNEL_DERIVED)) return false;
    if (!(tolerance >= 0.0 && tolerance <= 1.0)) tolerance = 0.0;  // also NaN
    if (!InitGraph(geom)) return false;

    CPointList& points = *m_pPointList;
    const unsigned n = unsigned(points.GetSize());
    CXArray<unsigned> remap;
    remap.SetSize(int(n));
    unsigned* r = remap.GetData();
    std::fill(r, r + n, REMAP_REMOVED);

    // The scratch list of distinct channel points around one geometric point, sized once for
    // the largest corner count.
    const CChannelCornerGraph& g = *m_pGraph;
    const unsigned geomCount = unsigned(g.offsets.GetSize() - 1);
    unsigned maxCorners = 0;
    for (unsigned p = 0; p < geomCount; ++p) maxCorners = std::max(maxCorners, g.offsets[p + 1] - g.offsets[p]);
    CXArray<unsigned> gathered;
    gathered.SetSize(int(maxCorners));
    unsigned* gat = gathered.GetData();

    for (unsigned p = 0; p < geomCount; ++p) {
        unsigned nd = 0;
        for (unsigned c = g.offsets[p]; c < g.offsets[p + 1]; ++c) {
            const unsigned cp = g.corners[c].point;
            if (cp == kNoChannelPoint || points.GetPt(int(cp))->IsOneFlagSet(POINT_REMOVED | 0x4u)) continue;
            if (std::find(gat, gat + nd, cp) == gat + nd) gat[nd++] = cp;
        }
        for (unsigned i = 0; i < nd; ++i) {
            if (r[gat[i]] != REMAP_REMOVED) continue;  // already merged into another point
            const CPt* first = points.GetPt(int(gat[i]));
            for (unsigned j = i + 1; j < nd; ++j) {
                if (r[gat[j]] != REMAP_REMOVED) continue;
                if (Compare(first, points.GetPt(int(gat[j])), tolerance)) r[gat[j]] = gat[i];
            }
        }
    }
    DeleteGraph();
    const bool merged = m_pFaceList->UpdateIndex(r, n, true);
    if (merged) Clean(geom, nullptr, nullptr);
    return merged;
}

bool CChannel::InitGraph(const CGeomInfo* geom) {
    DeleteGraph();
    const C3DFaceList* gf = geom ? (geom->GetSrc3DFaceList() ? geom->GetSrc3DFaceList() : geom->GetDst3DFaceList()) : nullptr;
    const C3DPointList* gp = geom ? (geom->GetSrc3DPointList() ? geom->GetSrc3DPointList() : geom->GetDst3DPointList()) : nullptr;
    if (!gf || !gp || !m_pFaceList) return false;
    const unsigned np = unsigned(gp->GetSize());
    const unsigned nf = unsigned(gf->GetSize());
    const unsigned channelPoints = m_pPointList ? unsigned(m_pPointList->GetSize()) : 0u;

    std::unique_ptr<CChannelCornerGraph> g(new CChannelCornerGraph);
    g->offsets.SetSize(int(np) + 1);
    unsigned* off = g->offsets.GetData();
    std::fill(off, off + np + 1, 0u);
    for (unsigned f = 0; f < nf; ++f) {
        if (!gf->IsFaceLive(f)) continue;
        int k;
        const int* idx = gf->GetIndexes(f, k);
        for (int j = 0; j < k; ++j)
            if (unsigned(idx[j]) < np) ++off[idx[j] + 1];
    }
    for (unsigned p = 0; p < np; ++p) off[p + 1] += off[p];
    g->corners.SetSize(int(off[np]));
    CChannelCorner* corners = g->corners.GetData();
    // Fill cursor per point: starts at the point's offset, ends at the next one.
    CXArray<unsigned> cursor;
    cursor.SetSize(int(np));
    std::copy(off, off + np, cursor.GetData());
    unsigned* cur = cursor.GetData();
    for (unsigned f = 0; f < nf; ++f) {
        if (!gf->IsFaceLive(f)) continue;
        int k;
        const int* idx = gf->GetIndexes(f, k);
        int ck = 0;
        const int* cidx = m_pFaceList->IsFaceLive(f) ? m_pFaceList->GetIndexes(f, ck) : nullptr;
        for (int j = 0; j < k; ++j) {
            if (unsigned(idx[j]) >= np) continue;
            unsigned cp = kNoChannelPoint;
            if (cidx && j < ck && unsigned(cidx[j]) < channelPoints) cp = unsigned(cidx[j]);
            corners[cur[idx[j]]++] = CChannelCorner{cp, f};
        }
    }
    m_pGraph = g.release();
    return true;
}

void CChannel::DeleteGraph() {
    delete m_pGraph;
    m_pGraph = nullptr;
}

const CChannelCorner* CChannel::GetChannelPointsConnectedToPoint(unsigned int p, int& count) const {
    count = 0;
    if (!m_pGraph || p + 1 >= unsigned(m_pGraph->offsets.GetSize())) return nullptr;
    const unsigned begin = m_pGraph->offsets[p];
    count = int(m_pGraph->offsets[p + 1] - begin);
    return m_pGraph->corners.GetData() + begin;
}

int CChannel::GetChannelPointIndex(int face, int point) const {
    int count;
    const CChannelCorner* c = GetChannelPointsConnectedToPoint(unsigned(point), count);
    for (int i = 0; i < count; ++i)
        if (c[i].face == unsigned(face)) return c[i].point == kNoChannelPoint ? -1 : int(c[i].point);
    return -1;
}

void CChannel::SetPointList(_Channel3DType, CPointList* list, bool deleteOld) {
    if (list == m_pPointList) return;
    DeleteGraph();
    if (deleteOld) XRelease(m_pPointList);
    m_pPointList = list;
}

void CChannel::SetFaceList(_Channel3DType, CFaceList* list, bool deleteOld) {
    if (list == m_pFaceList) return;
    DeleteGraph();
    if (deleteOld) XRelease(m_pFaceList);
    m_pFaceList = list;
}

CChannel* CChannel::Copy(unsigned int copyFlags) const {
    if (IsFlagSet(CHANNEL_INVALID)) copyFlags |= CHANNEL_COPY_NO_CONTENT;
    bool withContent = (copyFlags & CHANNEL_COPY_NO_CONTENT) == 0;
    XHeld<CChannel> copy(Duplicate(true));  // released should a copy below fail
    if (!copy) return nullptr;
    copy->m_customData = m_customData;
    if (copyFlags & CHANNEL_COPY_KEEP_ID) copy->m_id = m_id;
    if (withContent) {
        if (m_pFaceList && copy->m_pFaceList) *copy->m_pFaceList = *m_pFaceList;
        if (m_pPointList && copy->m_pPointList) *copy->m_pPointList = *m_pPointList;
    } else if (IsFlagSet(CHANNEL_RECOMPUTABLE)) {
        copy->m_flags |= CHANNEL_OUT_OF_DATE;
    }
    return copy.release();
}

void CChannel::Inherit(const CChannel& other) {
    if (&other == this) return;
    m_flags = other.m_flags;
    m_customData = other.m_customData;
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
    try {
        return Base::Add(channel);
    } catch (...) {
        channel->Delete();  // the reference was handed over: a failed append releases it
        throw;
    }
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
        AddChannel(copy);  // releases the copy should the append fail
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
        AddChannel(channel);  // releases the channel should the append fail
    }
}

}  // namespace kestovar
