// Playback of recorded contractions and the flat tables that speed it up (see track_player.h).
#include "optimizer/track_player.h"

#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/optimizer/track_contractions.h"

namespace kestovar {

namespace {

inline void Swap3(float* a, float* b) {
    for (int k = 0; k < 3; ++k) {
        const float t = a[k];
        a[k] = b[k];
        b[k] = t;
    }
}

// Swaps corner `corner` of face `face` of `faces` with the record's value (nothing when the list,
// the face or the corner does not exist).
inline void SwapCorner(CFaceList* faces, int face, unsigned corner, CTrackCell& cell) {
    if (!faces || face < 0) return;
    int k;
    int* idx = faces->GetIndexes(unsigned(face), k);
    if (!idx || int(corner) >= k) return;
    const int old = idx[corner];
    idx[corner] = cell.GetIndexChange();
    cell.SetIndexChange(old);
}

inline const unsigned char* FirstSideByte(const CTrackEdgeContraction* e) {
    return reinterpret_cast<const unsigned char*>(e) + sizeof(CTrackEdgeContraction);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CTrackPlayTable

CTrackPlayTable::CTrackPlayTable() { Free(); }

void CTrackPlayTable::Free() {
    m_entries.RemoveAll();
    m_corners.RemoveAll();
    m_deleted.RemoveAll();
    m_cornerBase = nullptr;
    m_flagBase = nullptr;
    m_flagStride = 0;
    m_keyStream = nullptr;
    m_keyStreamBytes = 0;
    m_keyGeneration = 0;
    m_keyRecord0 = nullptr;
    m_keyFlags0 = nullptr;
    m_keyFaceBytes = 0;
    m_keyFaceCount = -1;
}

bool CTrackPlayTable::Update(const CTrackContractions& track, CFaceList& faces) {
    const unsigned n = track.GetContractionCount();
    if (n == 0 || faces.GetSize() == 0) {
        if (m_keyFaceCount >= 0) Free();
        return false;
    }
    const void* record0 = faces.GetRecords().GetElement(0);
    const void* flags0 = faces.GetMainData(0);
    const uint64_t faceBytes = faces.GetRecords().GetUsedBytes();
    if (m_entries.GetSize() == int(n) + 1 && m_keyStream == track.GetData() &&
        m_keyStreamBytes == track.GetDataSize() && m_keyGeneration == track.m_nGeneration &&
        m_keyRecord0 == record0 && m_keyFlags0 == flags0 && m_keyFaceBytes == faceBytes &&
        m_keyFaceCount == faces.GetSize())
        return true;

    Free();
    // Corner entries index the record buffer as ints from its start (record 0 minus its offset).
    CFaceCollection& records = faces.GetRecords();
    if (faceBytes / sizeof(int) >= kNone) return false;
    auto* bufferStart = reinterpret_cast<unsigned char*>(records.GetElement(0)) - records.GetOffset(0);
    m_cornerBase = reinterpret_cast<int*>(bufferStart);
    m_flagBase = static_cast<unsigned char*>(faces.GetMainData(0));
    m_flagStride = faces.GetSize() > 1
                       ? size_t(static_cast<unsigned char*>(faces.GetMainData(1)) - m_flagBase)
                       : 0;
    const unsigned nFaces = unsigned(faces.GetSize());
    m_entries.SetSize(int(n) + 1);
    Entry* entries = m_entries.GetData();
    const unsigned char* end = track.GetData() + track.GetDataSize();
    for (unsigned i = 0; i < n; ++i) {
        Entry& en = entries[i];
        en.firstCorner = unsigned(m_corners.GetSize());
        en.firstDeleted = unsigned(m_deleted.GetSize());
        int points = 1;
        unsigned deleted = 0;
        bool walk = false;
        for (const unsigned char* r = FirstSideByte(track.GetContraction(i)); r < end;) {
            const unsigned type = unsigned(r[0]) >> 4;
            if (type == TRACK_EDGE_CONTRACTION) break;
            const unsigned size = CTrackInfo::GetRecordSize(type);
            if (size == 0) break;
            if (type == TRACK_FACE) {
                const auto* f = reinterpret_cast<const CTrackFace*>(r);
                int k;
                int* idx = faces.GetIndexes(unsigned(f->GetCurrentFace()), k);
                const unsigned corner = f->GetLowValue();
                m_corners.Add(idx && int(corner) < k ? unsigned(idx + corner - m_cornerBase) : kNone);
            } else if (type == TRACK_INVALID_FACE) {
                const auto* f = reinterpret_cast<const CTrackInvalidFace*>(r);
                const unsigned face = unsigned(f->GetCurrentFace());
                m_deleted.Add(face < nFaces ? face : kNone);
                ++deleted;
                points += f->GetIsolatedFacePointNumber();
            } else {
                walk = true;
            }
            r += size;
        }
        en.points = points;
        en.facesWalk = deleted * 2 + (walk ? 1u : 0u);
    }
    entries[n].firstCorner = unsigned(m_corners.GetSize());
    entries[n].firstDeleted = unsigned(m_deleted.GetSize());
    entries[n].points = 0;
    entries[n].facesWalk = 0;

    m_keyStream = track.GetData();
    m_keyStreamBytes = track.GetDataSize();
    m_keyGeneration = track.m_nGeneration;
    m_keyRecord0 = record0;
    m_keyFlags0 = flags0;
    m_keyFaceBytes = faceBytes;
    m_keyFaceCount = faces.GetSize();
    return true;
}

// ---------------------------------------------------------------------------------------------
// CTrackPlayer

CTrackPlayer::CTrackPlayer(CTrackContractions& track, C3DPointList& points, CFaceList& faces,
                           CDependentChannels* channels, CFaceList* const* uvFaces, CPointList* const* uvPoints,
                           int nUV, const CTrackPlayTable* table)
    : m_track(track),
      m_points(points.GetPoints()),
      m_nPoints(points.GetSize()),
      m_faces(faces),
      m_channels(channels),
      m_uvFaces(uvFaces),
      m_uvPoints(uvPoints),
      m_nUV(nUV),
      m_normalFaces(nullptr),
      m_normals(nullptr),
      m_normalsLooked(false),
      m_end(track.GetData() + track.GetDataSize()),
      m_entries(table ? table->GetEntries() : nullptr),
      m_corners(table ? table->GetCorners() : nullptr),
      m_deleted(table ? table->GetDeleted() : nullptr),
      m_cornerBase(table ? table->GetCornerBase() : nullptr),
      m_flagBase(table ? table->GetFlagBase() : nullptr),
      m_flagStride(table ? table->GetFlagStride() : 0) {}

bool CTrackPlayer::GetUV(int channel, CFaceList*& faces, CPointList*& points) const {
    faces = nullptr;
    points = nullptr;
    if (m_nUV >= 0) {
        if (channel >= m_nUV) return false;
        faces = m_uvFaces[channel];
        points = m_uvPoints[channel];
        return true;
    }
    return m_channels && m_channels->GetChannelByIndex(channel, faces, points, CHANNEL_UVW);
}

void CTrackPlayer::LookNormals() {
    if (!m_normalsLooked && m_channels) m_channels->GetSpecNormalChannel(m_normalFaces, m_normals);
    m_normalsLooked = true;
}

void CTrackPlayer::Walk(CTrackEdgeContraction* e, bool up, bool geometry, int& currentPoints, int& currentFaces) {
    const int removed = e->GetRemoved(), kept = e->GetKept();
    int currentFace = -1;
    for (unsigned char* r = const_cast<unsigned char*>(FirstSideByte(e)); r < m_end;) {
        const unsigned type = unsigned(r[0]) >> 4;
        if (type == TRACK_EDGE_CONTRACTION) break;
        const unsigned size = CTrackInfo::GetRecordSize(type);
        if (size == 0) break;
        CTrackInfo* rec = reinterpret_cast<CTrackInfo*>(r);
        switch (type) {
            case TRACK_UV_CONTRACTION: {
                auto* uv = static_cast<CTrackUVContraction*>(rec);
                CFaceList* cf;
                CPointList* cp;
                if (!GetUV(int(uv->GetChannel()), cf, cp) || !cp) break;
                auto* list = static_cast<CUVWPointList*>(cp);
                const int k = uv->GetUVWIndex();
                if (k >= 0 && k < list->GetSize()) Swap3(&list->GetAt(k).u, uv->GetUVWPoint());
                break;
            }
            case TRACK_NORMAL_CONTRACTION: {
                auto* nr = static_cast<CTrackNormalContraction*>(rec);
                LookNormals();
                const int k = nr->GetNormalIndex();
                if (m_normals && k >= 0 && k < m_normals->GetSize()) Swap3(&m_normals->GetAt(k).x, nr->GetNormal());
                break;
            }
            case TRACK_INVALID_FACE: {
                if (!geometry) break;
                auto* f = static_cast<CTrackInvalidFace*>(rec);
                const int isolated = f->GetIsolatedFacePointNumber();
                if (unsigned* flags = static_cast<unsigned*>(m_faces.GetMainData(unsigned(f->GetCurrentFace()))))
                    *flags = up ? (*flags & ~unsigned(FACE_INVALID)) : (*flags | unsigned(FACE_INVALID));
                currentFaces += up ? 1 : -1;
                currentPoints += up ? isolated : -isolated;
                break;
            }
            case TRACK_FACE: {
                currentFace = static_cast<CTrackFace*>(rec)->GetCurrentFace();
                if (!geometry) break;
                int k;
                int* idx = m_faces.GetIndexes(unsigned(currentFace), k);
                const unsigned corner = rec->GetLowValue();
                if (idx && int(corner) < k) idx[corner] = up ? removed : kept;
                break;
            }
            case TRACK_CHANNEL_FACE: {
                auto* cf = static_cast<CTrackChannelFace*>(rec);
                CFaceList* list;
                CPointList* cp;
                if (GetUV(int(cf->GetChannel()), list, cp)) SwapCorner(list, currentFace, cf->GetLowValue(), *cf);
                break;
            }
            case TRACK_NORMAL_FACE:
                LookNormals();
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

}  // namespace kestovar
