// Contraction record stream and its playback (see kestovar/optimizer/track_contractions.h).
#include "kestovar/optimizer/track_contractions.h"

#include <algorithm>
#include <cstring>

#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"
#include "core/checked_memory.h"
#include "optimizer/track_player.h"

namespace kestovar {

// Record sizes by type; the types that never occur have size 0.
const unsigned CTrackInfo::s_recordSizes[16] = {0, 24, 24, 20, 8, 8, 12, 8, 8, 0, 0, 0, 0, 0, 0, 0};

static_assert(sizeof(CTrackInfo) == 4);
static_assert(sizeof(CTrackEdgeContraction) == 24);
static_assert(sizeof(CTrackUVContraction) == 24);
static_assert(sizeof(CTrackNormalContraction) == 20);
static_assert(sizeof(CTrackInvalidFace) == 8);
static_assert(sizeof(CTrackFace) == 8);
static_assert(sizeof(CTrackChannelFace) == 12);
static_assert(sizeof(CTrackNormalFace) == 8);
static_assert(sizeof(CTrackMoveDuplicatedPoint) == 8);

void CTrackUVContraction::SetUVWPoint(const CUVWPoint& p) {
    m_uvw[0] = p.u;
    m_uvw[1] = p.v;
    m_uvw[2] = p.w;
}

void CTrackUVContraction::GetUVWPoint(CUVWPoint& p) const {
    p.u = m_uvw[0];
    p.v = m_uvw[1];
    p.w = m_uvw[2];
}

CTrackContractions::CTrackContractions()
    : m_nGathered(0),
      m_pBuffer(nullptr),
      m_nCapacity(0),
      m_nUsed(0),
      m_nContractions(0),
      m_nCoarsestPoints(-1),
      m_nCoarsestFaces(-1),
      m_nCurrent(0),
      m_nGeneration(0) {}

CTrackContractions::~CTrackContractions() { xfree(m_pBuffer); }

void CTrackContractions::Clear() {
    xfree(m_pBuffer);
    m_pBuffer = nullptr;
    m_nCapacity = 0;
    m_nUsed = 0;
    m_offsets.RemoveAll();
    m_gathered.RemoveAll();
    m_nGathered = 0;
    m_nContractions = 0;
    m_nCurrent = 0;
    m_nCoarsestPoints = -1;
    m_nCoarsestFaces = -1;
    ++m_nGeneration;
}

void CTrackContractions::Reserve(int pairCount, int channelCount) {
    Clear();
    if (pairCount < 0) pairCount = 0;
    if (channelCount < 0) channelCount = 0;
    // A contraction is about 24 bytes of edge record, a few face and invalid-face records and one
    // texture record per channel; a third of the candidate pairs is the usual number of
    // contractions of a closed mesh (pairs ~ 3 points).
    const uint64_t k = uint64_t(pairCount) / 3;
    m_offsets.PreAllocate(unsigned(1.5 * double(k)));
    const uint64_t capacity = (4 * k * uint64_t(channelCount) + 14 * k) * 4;
    if (capacity != m_nCapacity) {
        m_pBuffer = static_cast<unsigned char*>(detail::xreallocChecked(m_pBuffer, size_t(capacity)));
        m_nCapacity = capacity;
    }
}

unsigned char* CTrackContractions::Grow(uint64_t size) {
    if (m_nUsed + size > m_nCapacity) [[unlikely]] {
        // Grow by 40 % (at least the record) so that reallocations stay logarithmic in the size.
        uint64_t capacity = m_nCapacity;
        while (m_nUsed + size > capacity) capacity += std::max<uint64_t>(uint64_t(0.4 * double(capacity)), size);
        m_pBuffer = static_cast<unsigned char*>(detail::xreallocChecked(m_pBuffer, size_t(capacity)));
        m_nCapacity = capacity;
    }
    return m_pBuffer + m_nUsed;
}

unsigned char* CTrackContractions::Append(unsigned char firstByte) {
    const unsigned size = CTrackInfo::GetRecordSizeFromByte(firstByte);
    unsigned char* p = Grow(size);
    // Padding bytes are zeroed so that equal runs give byte-identical streams.
    std::memset(p, 0, size);
    p[0] = firstByte;
    m_nUsed += size;
    return p;
}

CTrackEdgeContraction* CTrackContractions::BeginContraction() {
    const unsigned char first = TRACK_EDGE_CONTRACTION << 4;
    // Room first, then the index: a refused allocation in either leaves the stream and its index
    // as they were, never an indexed contraction past the end of the stream.
    Grow(CTrackInfo::GetRecordSizeFromByte(first));
    m_offsets.Add(m_nUsed);
    ++m_nContractions;
    return reinterpret_cast<CTrackEdgeContraction*>(Append(first));
}

CTrackUVContraction* CTrackContractions::AddUVContraction() {
    return reinterpret_cast<CTrackUVContraction*>(Append(TRACK_UV_CONTRACTION << 4));
}
CTrackNormalContraction* CTrackContractions::AddNormalContraction() {
    return reinterpret_cast<CTrackNormalContraction*>(Append(TRACK_NORMAL_CONTRACTION << 4));
}
CTrackInvalidFace* CTrackContractions::AddInvalidFace() {
    return reinterpret_cast<CTrackInvalidFace*>(Append(TRACK_INVALID_FACE << 4));
}
CTrackFace* CTrackContractions::AddFace() { return reinterpret_cast<CTrackFace*>(Append(TRACK_FACE << 4)); }
CTrackChannelFace* CTrackContractions::AddChannelFace(unsigned char firstByte) {
    return reinterpret_cast<CTrackChannelFace*>(Append((unsigned char)((TRACK_CHANNEL_FACE << 4) | (firstByte & 15))));
}
CTrackNormalFace* CTrackContractions::AddNormalFace() {
    return reinterpret_cast<CTrackNormalFace*>(Append(TRACK_NORMAL_FACE << 4));
}
CTrackMoveDuplicatedPoint* CTrackContractions::AddMoveDuplicatedPoint() {
    return reinterpret_cast<CTrackMoveDuplicatedPoint*>(Append(TRACK_MOVE_DUPLICATED_POINT << 4));
}

bool CTrackContractions::AddRecord(const void* bytes) {
    if (!bytes) return false;
    const unsigned char first = *static_cast<const unsigned char*>(bytes);
    const unsigned size = CTrackInfo::GetRecordSizeFromByte(first);
    if (size == 0) return false;
    unsigned char* p = Grow(size);  // room before the index, as in BeginContraction
    if ((first >> 4) == TRACK_EDGE_CONTRACTION) {
        m_offsets.Add(m_nUsed);
        ++m_nContractions;
    }
    std::memcpy(p, bytes, size);
    m_nUsed += size;
    return true;
}

void CTrackContractions::IndexContractions() {
    // Two walks: count, then size the offsets once and store them.
    unsigned count = 0;
    for (uint64_t pos = 0; pos < m_nUsed; pos += CTrackInfo::GetRecordSizeFromByte(m_pBuffer[pos]))
        if ((m_pBuffer[pos] >> 4) == TRACK_EDGE_CONTRACTION) ++count;
    m_offsets.RemoveAll();
    m_offsets.PreAllocate(count);
    for (uint64_t pos = 0; pos < m_nUsed; pos += CTrackInfo::GetRecordSizeFromByte(m_pBuffer[pos]))
        if ((m_pBuffer[pos] >> 4) == TRACK_EDGE_CONTRACTION) m_offsets.Add(pos);
    m_nContractions = count;
}

bool CTrackContractions::Load(const void* bytes, uint64_t size) {
    Clear();
    if (!bytes) return false;
    const unsigned char* src = static_cast<const unsigned char*>(bytes);
    // The bytes come from outside: every record must have a known type and end inside the data,
    // else nothing is loaded.
    for (uint64_t pos = 0; pos < size;) {
        const unsigned recordSize = CTrackInfo::GetRecordSizeFromByte(src[pos]);
        if (recordSize == 0 || recordSize > size - pos) return false;
        pos += recordSize;
    }
    if (size) {
        m_pBuffer = static_cast<unsigned char*>(detail::xmallocChecked(size_t(size)));
        std::memcpy(m_pBuffer, src, size_t(size));
    }
    m_nCapacity = size;
    m_nUsed = size;
    IndexContractions();
    return true;
}

void CTrackContractions::CopyFrom(const CTrackContractions& other) {
    if (&other == this) return;
    Clear();
    if (other.m_nUsed) {
        m_pBuffer = static_cast<unsigned char*>(detail::xmallocChecked(size_t(other.m_nUsed)));
        std::memcpy(m_pBuffer, other.m_pBuffer, size_t(other.m_nUsed));
    }
    m_nCapacity = other.m_nUsed;
    m_nUsed = other.m_nUsed;
    m_offsets = other.m_offsets;
    m_nContractions = other.m_nContractions;
    m_nCoarsestPoints = other.m_nCoarsestPoints;
    m_nCoarsestFaces = other.m_nCoarsestFaces;
    m_nCurrent = other.m_nCurrent;
    ++m_nGeneration;
}

void CTrackContractions::Compact() {
    m_offsets.FreeExtra();
    if (m_nCapacity == m_nUsed) return;
    if (m_nUsed == 0) {
        xfree(m_pBuffer);
        m_pBuffer = nullptr;
    } else {
        // A shrink the allocator refuses keeps the larger block.
        void* shrunk = xrealloc(m_pBuffer, size_t(m_nUsed));
        if (!shrunk) return;
        m_pBuffer = static_cast<unsigned char*>(shrunk);
    }
    m_nCapacity = m_nUsed;
}

CTrackEdgeContraction* CTrackContractions::GetContraction(unsigned i) const {
    if (i >= m_nContractions) return reinterpret_cast<CTrackEdgeContraction*>(m_pBuffer);
    return reinterpret_cast<CTrackEdgeContraction*>(m_pBuffer + m_offsets.GetAtUnchecked(i));
}

CTrackInfo* CTrackContractions::GetNextRecord(const CTrackInfo* record) const {
    if (!record || !m_pBuffer) return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(record);
    const uint64_t next = uint64_t(p - m_pBuffer) + record->GetSize();
    if (record->GetSize() == 0 || next >= m_nUsed) return nullptr;
    return reinterpret_cast<CTrackInfo*>(m_pBuffer + next);
}

CTrackInfo* CTrackContractions::GetNextSideRecord(const CTrackInfo* record) const {
    CTrackInfo* next = GetNextRecord(record);
    return next && next->GetType() != TRACK_EDGE_CONTRACTION ? next : nullptr;
}

CTrackInfo* CTrackContractions::GetFirstSideRecord(const CTrackInfo* contraction) const {
    return GetNextSideRecord(contraction);
}

unsigned CTrackContractions::Gather(const CTrackInfo* contraction) {
    // The array keeps its largest size so that gathering allocates nothing once warmed up.
    m_nGathered = 0;
    for (CTrackInfo* r = GetFirstSideRecord(contraction); r; r = GetNextSideRecord(r)) {
        if (m_nGathered < unsigned(m_gathered.GetSize()))
            m_gathered[int(m_nGathered)] = r;
        else
            m_gathered.Add(r);
        ++m_nGathered;
    }
    return m_nGathered;
}

CTrackInfo* CTrackContractions::GetGathered(unsigned i) const {
    if (i >= m_nGathered) XThrow<CXInvalidArgException>("gathered record index out of range");
    return m_gathered[int(i)];
}

CTrackInfo* CTrackContractions::PopGathered() {
    if (m_nGathered == 0) return nullptr;
    return m_gathered[int(--m_nGathered)];
}

namespace {

int MapIndex(const CXArray<unsigned int>& map, int index) {
    if (index < 0 || index >= map.GetSize()) XThrow<CXInvalidArgException>("recorded index outside its remap");
    return int(map[index]);
}

}  // namespace

void CTrackContractions::Renumber(const CXArray<unsigned int>& faceMap, const CXArray<unsigned int>& pointMap) {
    ++m_nGeneration;
    for (unsigned c = 0; c < m_nContractions; ++c) {
        CTrackEdgeContraction* e = GetContraction(c);
        int removed, kept;
        e->GetEdgeContraction(removed, kept);
        e->SetEdgeContraction(MapIndex(pointMap, removed), MapIndex(pointMap, kept));
        for (CTrackInfo* r = GetFirstSideRecord(e); r; r = GetNextSideRecord(r)) {
            switch (r->GetType()) {
                case TRACK_INVALID_FACE: {
                    auto* f = static_cast<CTrackInvalidFace*>(r);
                    f->SetCurrentFace(MapIndex(faceMap, f->GetCurrentFace()));
                    break;
                }
                case TRACK_FACE: {
                    auto* f = static_cast<CTrackFace*>(r);
                    f->SetCurrentFace(MapIndex(faceMap, f->GetCurrentFace()));
                    break;
                }
                case TRACK_MOVE_DUPLICATED_POINT: {
                    auto* d = static_cast<CTrackMoveDuplicatedPoint*>(r);
                    d->SetIndex(MapIndex(pointMap, d->GetIndex()));
                    break;
                }
                default:
                    break;
            }
        }
    }
    if (m_nContractions == 0) {
        m_nCoarsestPoints = pointMap.GetSize();
        m_nCoarsestFaces = faceMap.GetSize();
        return;
    }
    const int last = int(m_nContractions) - 1;
    const CTrackEdgeContraction* e = GetContraction(unsigned(last));
    m_nCoarsestPoints = m_nCurrent < last ? e->GetRemoved() : e->GetKept();
    int smallest = -1;
    for (const CTrackInfo* r = GetFirstSideRecord(e); r; r = GetNextSideRecord(r)) {
        if (r->GetType() != TRACK_INVALID_FACE) continue;
        const int f = static_cast<const CTrackInvalidFace*>(r)->GetCurrentFace();
        if (smallest < 0 || f < smallest) smallest = f;
    }
    m_nCoarsestFaces = smallest < 0 ? 0 : smallest;
}

void CTrackContractions::PlayContraction(unsigned index, bool up, C3DPointList& points, CFaceList& faces,
                                         CDependentChannels* channels, int& currentPoints, int& currentFaces) {
    if (index >= m_nContractions) XThrow<CXInvalidArgException>("contraction index out of range");
    // The multiresolution objects' player, without tables (building them would cost a walk of the
    // whole stream) and with the texture channels looked up when a record needs them.
    CTrackPlayer player(*this, points, faces, channels, nullptr, nullptr, -1, nullptr);
    player.Play(index, up, currentPoints, currentFaces);
}

}  // namespace kestovar
