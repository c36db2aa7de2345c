// Multiresolution objects: the abstract interface and the contraction-record player.
#include "kestovar/multires/multires_object.h"

#include "kestovar/core/point.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {

KX_IMPLEMENT_DYNAMIC(CMultiresolutionObject, C3DObject)
KX_IMPLEMENT_SERIAL(CMultiresolutionObject1, CMultiresolutionObject, 1)

namespace {

// Plays recorded contractions on one object's lists with everything looked up once per call: the
// record stream is walked in place (no gathering) and the channel lists come from arrays indexed
// by channel. Same effect, record for record, as CTrackContractions::PlayContraction.
class CPlayer {
public:
    CPlayer(CTrackContractions& track, C3DPointList& points, CFaceList& faces, CDependentChannels* channels,
            const CXArray<CFaceList*, CFaceList*>& uvFaces, const CXArray<CPointList*, CPointList*>& uvPoints,
            int* const* corners, const unsigned* firstCorner)
        : m_track(track),
          m_points(points.GetPoints()),
          m_nPoints(points.GetSize()),
          m_faces(faces),
          m_uvFaces(uvFaces.GetData()),
          m_uvPoints(uvPoints.GetData()),
          m_nUV(uvFaces.GetSize()),
          m_normalFaces(nullptr),
          m_normals(nullptr),
          m_end(track.GetData() + track.GetDataSize()),
          m_corners(corners),
          m_firstCorner(firstCorner) {
        if (channels) channels->GetSpecNormalChannel(m_normalFaces, m_normals);
    }

    void Play(unsigned index, bool up, int& currentPoints, int& currentFaces) {
        CTrackEdgeContraction* e = m_track.GetContraction(index);
        const int removed = e->GetRemoved(), kept = e->GetKept();
        if (kept >= 0 && kept < m_nPoints) Swap3(&m_points[kept].x, e->GetPoint());
        currentPoints += up ? 1 : -1;
        int currentFace = -1;
        int* const* corner = m_corners ? m_corners + m_firstCorner[index] : nullptr;
        unsigned char* r = reinterpret_cast<unsigned char*>(e) + sizeof(CTrackEdgeContraction);
        while (r < m_end) {
            const unsigned type = unsigned(r[0]) >> 4;
            if (type == TRACK_EDGE_CONTRACTION) break;
            const unsigned size = CTrackInfo::GetRecordSize(type);
            if (size == 0) break;
            CTrackInfo* rec = reinterpret_cast<CTrackInfo*>(r);
            switch (type) {
                case TRACK_UV_CONTRACTION: {
                    auto* uv = static_cast<CTrackUVContraction*>(rec);
                    const int c = uv->GetChannel(), k = uv->GetUVWIndex();
                    if (c < m_nUV && m_uvPoints[c] && k >= 0 && k < m_uvPoints[c]->GetSize())
                        Swap3(&static_cast<CUVWPointList*>(m_uvPoints[c])->GetAt(k).u, uv->GetUVWPoint());
                    break;
                }
                case TRACK_NORMAL_CONTRACTION: {
                    auto* nr = static_cast<CTrackNormalContraction*>(rec);
                    const int k = nr->GetNormalIndex();
                    if (m_normals && k >= 0 && k < m_normals->GetSize()) Swap3(&m_normals->GetAt(k).x, nr->GetNormal());
                    break;
                }
                case TRACK_INVALID_FACE: {
                    auto* f = static_cast<CTrackInvalidFace*>(rec);
                    const int isolated = f->GetIsolatedFacePointNumber();
                    // The flag word is written in place (no call per deleted face).
                    if (unsigned* flags = static_cast<unsigned*>(m_faces.GetMainData(unsigned(f->GetCurrentFace()))))
                        *flags = up ? (*flags & ~unsigned(FACE_INVALID)) : (*flags | unsigned(FACE_INVALID));
                    currentFaces += up ? 1 : -1;
                    currentPoints += up ? isolated : -isolated;
                    break;
                }
                case TRACK_FACE: {
                    currentFace = static_cast<CTrackFace*>(rec)->GetCurrentFace();
                    if (corner) {
                        if (int* c = *corner++) *c = up ? removed : kept;
                        break;
                    }
                    int k;
                    int* idx = m_faces.GetIndexes(unsigned(currentFace), k);
                    const unsigned corner = rec->GetLowValue();
                    if (idx && int(corner) < k) idx[corner] = up ? removed : kept;
                    break;
                }
                case TRACK_CHANNEL_FACE: {
                    auto* cf = static_cast<CTrackChannelFace*>(rec);
                    const int c = cf->GetChannel();
                    if (c < m_nUV) SwapCorner(m_uvFaces[c], currentFace, cf->GetLowValue(), *cf);
                    break;
                }
                case TRACK_NORMAL_FACE:
                    SwapCorner(m_normalFaces, currentFace, rec->GetLowValue(), *static_cast<CTrackNormalFace*>(rec));
                    break;
                case TRACK_MOVE_DUPLICATED_POINT: {
                    auto* d = static_cast<CTrackMoveDuplicatedPoint*>(rec);
                    const int target = d->GetIndex();
                    const int source = up && d->GetLowValue() == 2 ? removed : kept;
                    if (target < 0 || target >= m_nPoints || source < 0 || source >= m_nPoints) break;
                    C3DTPoint<float>& t = m_points[target];
                    const C3DTPoint<float>& s = m_points[source];
                    t.SetFlags(s.GetFlags());
                    t.x = s.x;
                    t.y = s.y;
                    t.z = s.z;
                    break;
                }
                default:
                    break;
            }
            r += size;
        }
    }

    // Asks the memory system for the kept point and the face corners contraction `index` writes
    // (only with a corner table). They are scattered over the lists of a large mesh, and playback
    // walks the contractions in order, so asking a few contractions early hides the misses.
    // Reads and writes nothing of the mesh.
    void Prefetch(unsigned index) const {
        const int kept = m_track.GetContraction(index)->GetKept();
        if (kept >= 0 && kept < m_nPoints) __builtin_prefetch(&m_points[kept], 1);
        for (unsigned c = m_firstCorner[index], e = m_firstCorner[index + 1]; c < e; ++c)
            if (m_corners[c]) __builtin_prefetch(m_corners[c], 1);
    }

private:
    static void Swap3(float* a, float* b) {
        for (int k = 0; k < 3; ++k) {
            const float t = a[k];
            a[k] = b[k];
            b[k] = t;
        }
    }
    static void SwapCorner(CFaceList* faces, int face, unsigned corner, CTrackCell& cell) {
        if (!faces || face < 0) return;
        int k;
        int* idx = faces->GetIndexes(unsigned(face), k);
        if (!idx || int(corner) >= k) return;
        const int old = idx[corner];
        idx[corner] = cell.GetIndexChange();
        cell.SetIndexChange(old);
    }

    CTrackContractions& m_track;
    C3DTPoint<float>* m_points;
    int m_nPoints;
    CFaceList& m_faces;
    CFaceList* const* m_uvFaces;
    CPointList* const* m_uvPoints;
    int m_nUV;
    CNormalFaceList* m_normalFaces;
    C3DVectorList* m_normals;
    const unsigned char* m_end;
    int* const* m_corners;
    const unsigned* m_firstCorner;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// CMultiresolutionObject

CMultiresolutionObject::CMultiresolutionObject() { InitBase(); }

CMultiresolutionObject::~CMultiresolutionObject() { FreeChannelArrays(); }

void CMultiresolutionObject::InitBase() {
    m_pSrcNode = nullptr;
    m_pExtObject = nullptr;
    m_pOptimizer = nullptr;
    FreeChannelArrays();
    m_bRatioUnset = true;
    m_lastKnownRatio = 1.0;
}

void CMultiresolutionObject::FreeChannelArrays() {
    m_channelFaces.RemoveAll();
    m_channelPoints.RemoveAll();
}

bool CMultiresolutionObject::Clean() { return C3DGeomObject::Clean(); }

void CMultiresolutionObject::ShowSelectedFaces(bool) {}

void CMultiresolutionObject::FreezeObject() { FreeChannelArrays(); }

bool CMultiresolutionObject::InternalCopy(C3DBaseObject*& dst, int copyFlags, C3DObjectCreator* creator) {
    const bool ok = C3DGeomObject::InternalCopy(dst, copyFlags, creator);
    // A plain copy has no record to play its dead faces and removed points back: drop them.
    if (ok && dst && dst != this && !dst->IsKindOf(KX_RUNTIME_CLASS(CMultiresolutionObject)) &&
        dst->IsKindOf(KX_RUNTIME_CLASS(C3DGeomObject)))
        static_cast<C3DGeomObject*>(dst)->Clean();
    return ok;
}

// ---------------------------------------------------------------------------------------------
// CMultiresolutionObject1

CMultiresolutionObject1::CMultiresolutionObject1() : m_pTrack(nullptr) { Init(); }

CMultiresolutionObject1::CMultiresolutionObject1(CSceneOptimizer* optimizer, C3DExtObject* object,
                                                 C3DSceneNode* node)
    : m_pTrack(nullptr) {
    Init();
    m_pOptimizer = optimizer;
    m_pExtObject = object;
    m_pSrcNode = node;
}

CMultiresolutionObject1::~CMultiresolutionObject1() {
    XRelease(m_pTrack);
    FreeChannelArrays();
}

void CMultiresolutionObject1::Init() {
    InitBase();
    XRelease(m_pTrack);
    m_progressiveThreshold = 1.0;
    m_mrFlags = 0;
    m_maxFaces = m_minFaces = m_currentFaces = 0;
    m_maxPoints = m_minPoints = m_currentPoints = 0;
    m_bFirstPass = true;
    m_bChanging = false;
    m_bLastDirectionUp = true;
    FreeCornerTable();
}

void CMultiresolutionObject1::FreeCornerTable() {
    m_corners.RemoveAll();
    m_firstCorner.RemoveAll();
    m_cornerKeyStream = nullptr;
    m_cornerKeyFaces = nullptr;
    m_cornerKeyStreamBytes = 0;
    m_cornerKeyFaceBytes = 0;
    m_cornerKeyFaceCount = -1;
}

bool CMultiresolutionObject1::UpdateCornerTable() {
    if (!m_pTrack || !m_pFaceList || m_pFaceList->GetSize() == 0) return false;
    const unsigned n = m_pTrack->GetContractionCount();
    if (n == 0) return false;
    CFaceList& faces = *m_pFaceList;
    const void* facesBase = faces.GetRecords().GetElement(0);
    const unsigned long long faceBytes = faces.GetRecords().GetUsedBytes();
    if (m_firstCorner.GetSize() == int(n) + 1 && m_cornerKeyStream == m_pTrack->GetData() &&
        m_cornerKeyStreamBytes == m_pTrack->GetDataSize() && m_cornerKeyFaces == facesBase &&
        m_cornerKeyFaceBytes == faceBytes && m_cornerKeyFaceCount == faces.GetSize())
        return true;
    FreeCornerTable();
    m_firstCorner.SetSize(int(n) + 1);
    unsigned* first = m_firstCorner.GetData();
    const unsigned char* end = m_pTrack->GetData() + m_pTrack->GetDataSize();
    for (unsigned i = 0; i < n; ++i) {
        first[i] = unsigned(m_corners.GetSize());
        const unsigned char* r = reinterpret_cast<const unsigned char*>(m_pTrack->GetContraction(i)) +
                                 sizeof(CTrackEdgeContraction);
        while (r < end) {
            const unsigned type = unsigned(r[0]) >> 4;
            if (type == TRACK_EDGE_CONTRACTION) break;
            const unsigned size = CTrackInfo::GetRecordSize(type);
            if (size == 0) break;
            if (type == TRACK_FACE) {
                const auto* f = reinterpret_cast<const CTrackFace*>(r);
                int k;
                int* idx = faces.GetIndexes(unsigned(f->GetCurrentFace()), k);
                const unsigned corner = f->GetLowValue();
                m_corners.Add(idx && int(corner) < k ? idx + corner : nullptr);
            }
            r += size;
        }
    }
    first[n] = unsigned(m_corners.GetSize());
    m_cornerKeyStream = m_pTrack->GetData();
    m_cornerKeyStreamBytes = m_pTrack->GetDataSize();
    m_cornerKeyFaces = facesBase;
    m_cornerKeyFaceBytes = faceBytes;
    m_cornerKeyFaceCount = faces.GetSize();
    return true;
}

void CMultiresolutionObject1::SetTrackInfo(CTrackContractions* track) {
    if (track == m_pTrack) return;
    FreeCornerTable();
    XRelease(m_pTrack);
    m_pTrack = track;
}

bool CMultiresolutionObject1::Clean() { return m_pTrack ? false : C3DGeomObject::Clean(); }

int CMultiresolutionObject1::GetTrackPosition() const { return m_pTrack ? m_pTrack->GetCurrentPosition() : 0; }

double CMultiresolutionObject1::GetCurrentRatio() const {
    if (m_maxFaces == m_minFaces) return 1.0;
    return double(m_currentFaces - m_minFaces) / double(m_maxFaces - m_minFaces);
}

void CMultiresolutionObject1::SetProgressiveThreshold(double threshold) {
    m_progressiveThreshold = threshold == 0.0 ? double(0.0001f) : (threshold < 1.0 ? threshold : 1.0);
}

int CMultiresolutionObject1::GetTargetCount(double ratio, unsigned int flags, bool& clamped) const {
    clamped = false;
    double r = ratio;
    if (m_pOptimizer && !(flags & MRRATIO_NO_PROGRESSIVE)) {
        r = m_pOptimizer->GetObjectRatioFromGlobalRatio(ratio, m_progressiveThreshold, 1, clamped);
        if (m_maxPoints == m_minPoints) clamped = false;
    }
    if (flags & MRRATIO_FACES) return int(double(m_maxFaces - m_minFaces) * r) + m_minFaces;
    return int(double(m_maxPoints - m_minPoints) * r) + m_minPoints;
}

void CMultiresolutionObject1::ShowSelectedFaces(bool show) {
    if (!m_pExtObject || !m_pFaceList) return;
    C3DFaceList& faces = *m_pFaceList;
    faces.SetFacesFlags(FACE_FROZEN, false);
    if (!show) return;
    const CMaterialIDMap& excluded = m_pExtObject->GetExcludedMaterials();
    for (int f = 0, n = faces.GetSize(); f < n; ++f) {
        if (!faces.IsFaceFlagSet(unsigned(f), FACE_ALL_SELECTED) ||
            excluded.IsFound(faces.GetStoredFaceMaterial(unsigned(f))))
            faces.SetFaceFlags(unsigned(f), FACE_FROZEN, true);
    }
}

void CMultiresolutionObject1::FreezeObject() {
    CMultiresolutionObject::FreezeObject();
    m_minFaces = m_maxFaces = m_currentFaces;
    m_minPoints = m_maxPoints = m_currentPoints;
    if (m_pPointList) m_pPointList->SetPointsFlags(POINT_SELECTED, false);
    XRelease(m_pTrack);
    FreeCornerTable();
    m_bLastDirectionUp = true;
    Clean();
}

bool CMultiresolutionObject1::PrepareGeometry(bool fullDetail) {
    FreeChannelArrays();
    if (m_pChannels) {
        // Indexed as the records index texture channels: every texture channel, invalid or not.
        const int n = m_pChannels->GetChannelsNumber(CHANNEL_UVW, false);
        for (int c = 0; c < n; ++c) {
            CUVWFaceList* faces = nullptr;
            CUVWPointList* points = nullptr;
            m_pChannels->GetUVWChannelByIndex(c, faces, points, false);
            m_channelFaces.Add(faces);
            m_channelPoints.Add(points);
        }
    }
    m_bLastDirectionUp = true;
    if (fullDetail || !m_pTrack) {
        m_currentFaces = m_maxFaces;
        m_currentPoints = m_maxPoints;
        if (m_pTrack) m_pTrack->SetCurrentPosition(0);
    } else {
        m_currentFaces = m_minFaces;
        m_currentPoints = m_minPoints;
        m_pTrack->SetCurrentPosition(int(m_pTrack->GetContractionCount()));
        InvalidateChannels(48);
        // Every contraction, whatever it changed in the counts: position 0 is full detail.
        SetObjectRatio(0.0, 0, MRRATIO_INDEX | MRRATIO_FORCE);
    }
    SetMultiResFlag(MROBJ_GEOMETRY_READY | MROBJ_COMPLETE, true);
    m_bFirstPass = false;
    return true;
}

int CMultiresolutionObject1::SetObjectRatio(double ratio, int count, unsigned int flags) {
    const bool lockedOut = !(flags & MRRATIO_FORCE) && IsRatioLocked();
    if (lockedOut) return (flags & MRRATIO_POINTS) ? m_currentPoints : m_currentFaces;

    unsigned int mode = flags & 0xFFu;
    const bool indexMode = mode == MRRATIO_INDEX;
    // The index mode counts contractions; every other ratio is a fraction.
    if (!indexMode) ratio = ratio < 0.0 ? 0.0 : (ratio > 1.0 ? 1.0 : ratio);
    if (mode == MRRATIO_RELATIVE) mode = MRRATIO_RELATIVE | MRRATIO_POINTS;
    if (flags == MRRATIO_PREDICTIVE) {
        mode = MRRATIO_RELATIVE | MRRATIO_POINTS;
        ratio = CSceneOptimizer::DefaultPredictiveRatio(this);
    }
    if (mode & MRRATIO_RELATIVE) {
        m_bRatioUnset = false;
        m_lastKnownRatio = ratio;
    } else {
        m_bRatioUnset = true;
    }
    bool clamped = false;
    if (!m_bFirstPass && (mode & MRRATIO_RELATIVE) && !(flags & MRRATIO_NO_PROGRESSIVE)) {
        ratio = m_pOptimizer ? m_pOptimizer->GetObjectRatioFromGlobalRatio(ratio, m_progressiveThreshold, mode, clamped)
                             : CSceneOptimizer::GetObjectRatioFromGlobalRatio(IsMultiResFlagSet(MROBJ_PROGRESSIVE), ratio,
                                                                              m_progressiveThreshold, mode, clamped);
    }

    const bool byFaces = !indexMode && (mode & MRRATIO_FACES);
    int* counter = byFaces ? &m_currentFaces : &m_currentPoints;
    if (!m_pTrack || !m_pPointList || !m_pFaceList) return indexMode ? 0 : *counter;

    const int n = int(m_pTrack->GetContractionCount());
    int position = m_pTrack->GetCurrentPosition();
    int target;
    int current;
    if (indexMode) {
        // Levels are counted in contractions applied: 0 is full detail, n the coarsest level.
        target = int(ratio);
        target = target < 0 ? 0 : (target > n ? n : target);
        current = m_bLastDirectionUp ? position : position + 1;
    } else {
        if (mode == (MRRATIO_RELATIVE | MRRATIO_FACES))
            target = int(double(m_maxFaces - m_minFaces) * ratio) + m_minFaces;
        else if (mode == (MRRATIO_ABSOLUTE | MRRATIO_FACES) || mode == (MRRATIO_ABSOLUTE | MRRATIO_POINTS))
            target = count;
        else
            target = int(double(m_maxPoints - m_minPoints) * ratio) + m_minPoints;
        current = *counter;
    }
    if (current == target) return current;
    // Index mode: going up means fewer contractions applied.
    const bool up = indexMode ? target < current : target > current;

    int i = position;
    if (up && m_bLastDirectionUp) --i;
    else if (!up && !m_bLastDirectionUp) ++i;
    if (i < 0 || i >= n) return current;
    m_bLastDirectionUp = up;
    if (m_bFirstPass && up && (m_currentPoints == 0 || m_currentFaces == 0)) {
        if (m_minFaces == 0) m_minFaces = m_currentFaces;
        if (m_minPoints == 0) m_minPoints = m_currentPoints;
    }

    const bool table = UpdateCornerTable();
    CPlayer player(*m_pTrack, *m_pPointList, *m_pFaceList, m_pChannels, m_channelFaces, m_channelPoints,
                   table ? m_corners.GetData() : nullptr, table ? m_firstCorner.GetData() : nullptr);
    // How many contractions ahead the player asks for the data it will touch.
    const int ahead = 8;
    if (table)
        for (int k = 1; k <= ahead; ++k) {
            const int j = up ? i - k : i + k;
            if (j >= 0 && j < n) player.Prefetch(unsigned(j));
        }
    int before = *counter;
    for (;;) {
        before = *counter;
        if (table) {
            const int j = up ? i - ahead - 1 : i + ahead + 1;
            if (j >= 0 && j < n) player.Prefetch(unsigned(j));
        }
        player.Play(unsigned(i), up, m_currentPoints, m_currentFaces);
        if (up) {
            if (indexMode ? i == target : *counter >= target) break;
            if (i == 0) break;
            --i;
        } else {
            if (indexMode ? i + 1 == target : *counter <= target) break;
            if (i == n - 1) break;
            ++i;
        }
    }
    m_pTrack->SetCurrentPosition(i);

    // An absolute target approached from below is never exceeded: step back one contraction.
    if (up && !m_bChanging && !indexMode && (mode & MRRATIO_ABSOLUTE) && !(flags & MRRATIO_ALLOW_OVERSHOOT) &&
        *counter > target) {
        m_bChanging = true;
        SetObjectRatio(ratio, before,
                       (byFaces ? (MRRATIO_ABSOLUTE | MRRATIO_FACES) : (MRRATIO_ABSOLUTE | MRRATIO_POINTS)) |
                           (flags & MRRATIO_FORCE));
        m_bChanging = false;
    }
    Invalidate(0x803, true);
    if (indexMode) return m_bLastDirectionUp ? m_pTrack->GetCurrentPosition() : m_pTrack->GetCurrentPosition() + 1;
    return *counter;
}

}  // namespace kestovar
