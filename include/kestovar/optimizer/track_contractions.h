// Contraction tracking: CTrackContractions records, while the contraction loop runs, everything an
// edge contraction changed in the mesh, so that the contraction can be undone and redone later.
//
// The stream is one contiguous byte buffer of fixed-size records, one size per record type. The
// first byte of a record holds the type in its high nibble and a small value in its low nibble;
// bytes 1-3 are padding. A type-1 record (an edge contraction) opens a contraction; the records
// after it, up to the next type-1 record or the end of the stream, are its side records. Integers
// are 32-bit little-endian, floats IEEE single precision. Every record size is a multiple of 4 and
// the buffer comes from xmalloc, so every record is 4-byte aligned.
//
//   type  class                       size  low nibble             bytes 4..
//   0x1   CTrackEdgeContraction        24   0                      float[3] point, int removed, int kept
//   0x2   CTrackUVContraction          24   0                      float[3] uvw, int index, u8 channel
//   0x3   CTrackNormalContraction      20   0                      float[3] normal, int index
//   0x4   CTrackInvalidFace             8   points left unused     int face
//   0x5   CTrackFace                    8   corner                 int face
//   0x6   CTrackChannelFace            12   corner                 int index value, u8 channel
//   0x7   CTrackNormalFace              8   corner                 int index value
//   0x8   CTrackMoveDuplicatedPoint     8   1 kept / 2 removed     int point
//
// Each record holds the value on the other side of the change (the value before the change when
// the contraction was recorded), so that playing a contraction swaps the mesh's values with the
// record's: played once it undoes the contraction, played again it redoes it.
#pragma once

#include <cstdint>
#include <cstring>

#include "kestovar/core/array.h"
#include "kestovar/core/collection.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"

namespace kestovar {

class C3DPointList;
class CFaceList;
class CDependentChannels;
class CUVWPoint;

// Record types (high nibble of a record's first byte).
enum _TRACK_RECORD_TYPE : unsigned char {
    TRACK_EDGE_CONTRACTION = 0x1,
    TRACK_UV_CONTRACTION = 0x2,
    TRACK_NORMAL_CONTRACTION = 0x3,
    TRACK_INVALID_FACE = 0x4,
    TRACK_FACE = 0x5,
    TRACK_CHANNEL_FACE = 0x6,
    TRACK_NORMAL_FACE = 0x7,
    TRACK_MOVE_DUPLICATED_POINT = 0x8,
};

// The common head of every record: the type byte and three bytes of padding.
class KESTOVAR_API CTrackInfo {
public:
    // Size in bytes of a record of type `type` (0-15); 0 for the types that never occur.
    static unsigned GetRecordSize(unsigned type) { return s_recordSizes[type & 15]; }
    // Size of the record whose first byte is `firstByte`.
    static unsigned GetRecordSizeFromByte(unsigned char firstByte) { return s_recordSizes[firstByte >> 4]; }

    unsigned GetType() const { return unsigned(m_type) >> 4; }
    unsigned GetSize() const { return GetRecordSize(GetType()); }
    // The low nibble (corner, isolated point count, or which point a duplicate follows).
    unsigned GetLowValue() const { return unsigned(m_type) & 15; }
    // Stores value & 15 in the low nibble, keeping the type.
    void SetLowValue(unsigned value) { m_type = static_cast<unsigned char>((m_type & 0xF0) | (value & 15)); }

protected:
    unsigned char m_type;
    unsigned char m_pad[3];

private:
    static const unsigned s_recordSizes[16];
};

class KESTOVAR_API CTrackEdgeContraction : public CTrackInfo {
public:
    void SetEdgeContraction(int removed, int kept) {
        m_removed = removed;
        m_kept = kept;
    }
    void GetEdgeContraction(int& removed, int& kept) const {
        removed = m_removed;
        kept = m_kept;
    }
    int GetRemoved() const { return m_removed; }
    int GetKept() const { return m_kept; }
    void SetPoint(const C3DTPoint<float>& p) {
        m_point[0] = p.x;
        m_point[1] = p.y;
        m_point[2] = p.z;
    }
    void GetPoint(C3DTPoint<float>& p) const {
        p.x = m_point[0];
        p.y = m_point[1];
        p.z = m_point[2];
    }
    const float* GetPoint() const { return m_point; }
    float* GetPoint() { return m_point; }

private:
    float m_point[3];
    int m_removed;
    int m_kept;
};

class KESTOVAR_API CTrackUVContraction : public CTrackInfo {
public:
    void SetUVWIndex(int index) { m_index = index; }
    int GetUVWIndex() const { return m_index; }
    // Only u, v and w are stored (the channel point's flags are not part of the record).
    void SetUVWPoint(const CUVWPoint& p);
    void GetUVWPoint(CUVWPoint& p) const;
    const float* GetUVWPoint() const { return m_uvw; }
    float* GetUVWPoint() { return m_uvw; }
    void SetChannel(unsigned char channel) { m_channel = channel; }
    unsigned char GetChannel() const { return m_channel; }

private:
    float m_uvw[3];
    int m_index;
    unsigned char m_channel;
    [[maybe_unused]] unsigned char m_pad2[3];  // keeps the record a whole number of words
};

class KESTOVAR_API CTrackNormalContraction : public CTrackInfo {
public:
    void SetNormalIndex(int index) { m_index = index; }
    int GetNormalIndex() const { return m_index; }
    void SetNormal(const C3DTVector<float>& n) {
        m_normal[0] = n.x;
        m_normal[1] = n.y;
        m_normal[2] = n.z;
    }
    void GetNormal(C3DTVector<float>& n) const {
        n.x = m_normal[0];
        n.y = m_normal[1];
        n.z = m_normal[2];
    }
    const float* GetNormal() const { return m_normal; }
    float* GetNormal() { return m_normal; }

private:
    float m_normal[3];
    int m_index;
};

// A face deleted by the contraction; the low nibble counts the points that became unused with it.
class KESTOVAR_API CTrackInvalidFace : public CTrackInfo {
public:
    void SetCurrentFace(int face) { m_face = face; }
    int GetCurrentFace() const { return m_face; }
    // Stores n & 15 (0-15) in the low nibble, keeping the type.
    void SetIsolatedFacePointNumber(int n) { SetLowValue(unsigned(n)); }
    int GetIsolatedFacePointNumber() const { return int(GetLowValue()); }

private:
    int m_face;
};

// A face one of whose corners (the low nibble) was re-pointed from the removed to the kept point.
// It names the face for the channel-face and normal-face records that follow it.
class KESTOVAR_API CTrackFace : public CTrackInfo {
public:
    void SetCurrentFace(int face) { m_face = face; }
    int GetCurrentFace() const { return m_face; }
    void SetCorner(int corner) { SetLowValue(unsigned(corner)); }
    int GetCorner() const { return int(GetLowValue()); }

private:
    int m_face;
};

// The base of the two corner-value records: the index value the corner had on the other side.
class KESTOVAR_API CTrackCell : public CTrackInfo {
public:
    void SetIndexChange(int index) { m_index = index; }
    int GetIndexChange() const { return m_index; }
    void SetCorner(int corner) { SetLowValue(unsigned(corner)); }
    int GetCorner() const { return int(GetLowValue()); }

private:
    int m_index;
};

// A corner of a texture face (of the face named by the preceding CTrackFace).
class KESTOVAR_API CTrackChannelFace : public CTrackCell {
public:
    void SetChannel(unsigned char channel) { m_channel = channel; }
    unsigned char GetChannel() const { return m_channel; }

private:
    unsigned char m_channel;
    [[maybe_unused]] unsigned char m_pad2[3];  // keeps the record a whole number of words
};

// A corner of a specified-normal face (of the face named by the preceding CTrackFace).
class KESTOVAR_API CTrackNormalFace : public CTrackCell {};

// A point that follows the kept point's position (low nibble 1) or the removed one's (2).
class KESTOVAR_API CTrackMoveDuplicatedPoint : public CTrackInfo {
public:
    void SetIndex(int index) { m_index = index; }
    int GetIndex() const { return m_index; }

private:
    int m_index;
};

class KESTOVAR_API CTrackContractions : public CInstanciatedObject {
public:
    // Empty stream; counts 0, coarsest counts -1.
    CTrackContractions();
    ~CTrackContractions() override;
    CTrackContractions(const CTrackContractions&) = delete;
    CTrackContractions& operator=(const CTrackContractions&) = delete;

    // ---- building ----
    // Frees the buffer and empties the offsets and the gathered array; every count back to 0,
    // the coarsest counts to -1.
    void Clear();
    // Clears, then sizes for about `pairCount` candidate pairs and `channelCount` texture
    // channels: with k = pairCount / 3, offsets for 1.5 k contractions and a buffer of
    // (4 k channelCount + 14 k) * 4 bytes.
    void Reserve(int pairCount, int channelCount);
    // Opens a contraction: appends a type-1 record and indexes it. The caller fills it.
    CTrackEdgeContraction* BeginContraction();
    // Side records of the open contraction, appended with their type byte written (low nibble
    // 0); the caller fills the fields. The returned pointer is valid until the next append.
    CTrackUVContraction* AddUVContraction();
    CTrackNormalContraction* AddNormalContraction();
    CTrackInvalidFace* AddInvalidFace();
    CTrackFace* AddFace();
    // `firstByte` is the whole first byte: 0x60 | corner.
    CTrackChannelFace* AddChannelFace(unsigned char firstByte);
    CTrackNormalFace* AddNormalFace();
    CTrackMoveDuplicatedPoint* AddMoveDuplicatedPoint();
    // Appends a copy of the record at `bytes` (its size follows from its first byte); a type-1
    // record is indexed as a new contraction. False, appending nothing, for an unknown type.
    bool AddRecord(const void* bytes);

    // Replaces the stream by `size` bytes copied from `bytes` and indexes its contractions. A
    // stream that does not start with a contraction keeps its leading side records unreachable
    // through the contraction index. False (tracker left cleared) for a null source.
    bool Load(const void* bytes, uint64_t size);
    // Replaces the stream, offsets and counts by copies of `other`'s.
    void CopyFrom(const CTrackContractions& other);
    // Shrinks the offsets and the buffer to exactly what is used.
    void Compact();

    // ---- reading ----
    const unsigned char* GetData() const { return m_pBuffer; }
    uint64_t GetDataSize() const { return m_nUsed; }
    uint64_t GetCapacity() const { return m_nCapacity; }
    unsigned GetContractionCount() const { return m_nContractions; }
    // Contraction record i; the buffer start for i >= the count (null when there is no buffer).
    CTrackEdgeContraction* GetContraction(unsigned i) const;
    // The first side record of `contraction`, null when the next record opens another contraction
    // or the stream ends.
    CTrackInfo* GetFirstSideRecord(const CTrackInfo* contraction) const;
    // The record after side record `record` when it is a side record too, else null.
    CTrackInfo* GetNextSideRecord(const CTrackInfo* record) const;
    // The record after `record` whatever its type, null at the end of the stream.
    CTrackInfo* GetNextRecord(const CTrackInfo* record) const;

    // Collects pointers to every side record of `contraction` into the gathered array (replacing
    // its content); returns their count.
    unsigned Gather(const CTrackInfo* contraction);
    unsigned GetGatheredCount() const { return m_nGathered; }
    // Gathered record i (CXInvalidArgException when i is not below the gathered count).
    CTrackInfo* GetGathered(unsigned i) const;
    // The last gathered record, removed from the count; null when none is left.
    CTrackInfo* PopGathered();

    // Where playback stands in the contraction sequence (0 after Clear).
    int GetCurrentPosition() const { return m_nCurrent; }
    void SetCurrentPosition(int position) { m_nCurrent = position; }
    // Point and face counts of the coarsest level, -1 until Renumber sets them.
    int GetCoarsestPointCount() const { return m_nCoarsestPoints; }
    int GetCoarsestFaceCount() const { return m_nCoarsestFaces; }

    // Sends every recorded index through the old -> new maps after the mesh was reordered: the
    // pair of each contraction and the points of moved-duplicated-point records through
    // `pointMap`, the faces of invalid-face and face records through `faceMap`. An index that is
    // negative or not below its map's size raises CXInvalidArgException. Then sets the coarsest
    // counts: without contractions the maps' sizes; else, from the last contraction L, its removed
    // index when the current position is below L's index (else its kept index) and the smallest
    // face of L's invalid-face records (0 when it has none).
    void Renumber(const CXArray<unsigned int>& faceMap, const CXArray<unsigned int>& pointMap);

    // ---- playback ----
    // Plays contraction `index`: `up` restores the detail it removed, !up removes it again.
    // Swaps the kept point's position with the record's, then applies each side record in order
    // (texture and normal values swapped, deleted faces revived or deleted, corners re-pointed
    // between removed and kept, channel corners swapped, duplicated points moved), adjusting
    // `currentPoints` and `currentFaces` by what appeared or disappeared. Texture channel c of a
    // record is channels->GetChannelByIndex(c, ..., CHANNEL_UVW); normal records act on the
    // specified-normal channel; records whose channel or element is missing are skipped.
    // Playing the same contraction in the opposite direction restores the mesh bit for bit.
    // CXInvalidArgException when index is not below the contraction count.
    void PlayContraction(unsigned index, bool up, C3DPointList& points, CFaceList& faces, CDependentChannels* channels,
                         int& currentPoints, int& currentFaces);

private:
    // The player's tables read the content generation to notice records rewritten in place; the
    // player reaches contraction records without the range check of GetContraction.
    friend class CTrackPlayTable;
    friend class CTrackPlayer;

    // Room for `size` more bytes, growing the buffer by 40 % steps; returns the write position.
    unsigned char* Grow(uint64_t size);
    unsigned char* Append(unsigned char firstByte);
    void IndexContractions();

    unsigned m_nGathered;
    CXArray<CTrackInfo*, CTrackInfo*> m_gathered;
    COffsetArray m_offsets;
    unsigned char* m_pBuffer;
    uint64_t m_nCapacity;
    uint64_t m_nUsed;
    unsigned m_nContractions;
    int m_nCoarsestPoints;
    int m_nCoarsestFaces;
    int m_nCurrent;
    // Incremented whenever recorded indices may change without the stream moving or changing size
    // (renumbering, loading, copying, clearing).
    unsigned m_nGeneration;
};

}  // namespace kestovar
