// Playback of recorded contractions (see kestovar/optimizer/track_contractions.h for the records).
//
// CTrackPlayer is the one player: CTrackContractions::PlayContraction plays a single contraction
// with it, and CMultiresolutionObject1 moves between levels with it. Given a CTrackPlayTable it
// plays the face records and deleted-face records of a contraction from flat tables instead of
// walking the records: on a large mesh the corners a contraction re-points are scattered over the
// face records, and reading their addresses from a table in play order lets the player ask for
// them ahead of time and spares the record walk, the face look-ups and the per-record dispatch.
#pragma once

#include <cstdint>

#include "core/prefetch.h"
#include "kestovar/core/array.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/face.h"
#include "kestovar/optimizer/track_contractions.h"

namespace kestovar {

class C3DPointList;
class CFaceList;
class CPointList;
class CDependentChannels;
class CNormalFaceList;
class C3DVectorList;

// Tables derived from one record stream and one face-record layout.
//
// Per contraction: the change of the point and face counts it makes when played up (the
// contraction's own point, its deleted faces and the points left unused with them), the first of
// its corner and deleted-face entries (the next contraction's first entry ends them), and whether
// it holds records the tables do not cover (texture, normal, channel-corner and duplicated-point
// records), which the player then reaches by walking the records.
// Corner entries: where the face corner every face record re-points lies, in stream order, as a
// 32-bit index into the face-record buffer seen as ints (kNone when the face or the corner does not
// exist). Deleted-face entries: the face of every deleted-face record, in stream order (kNone when
// out of range), whose flag word lies at the flag base plus face times the flag stride. Four bytes
// an entry rather than an address halve the tables' memory and the bytes playback streams through.
// A record buffer of 2^32 ints or more gets no tables.
//
// The addresses point into the face list, so the tables are valid only for the stream and the
// face list they were built on; Update rebuilds them when either changed: the stream's address,
// size or content generation, or the face count, the address of face 0's record, the records' used
// bytes or the address of the flag words (a compaction or a reallocation moves them). The face
// list's change stamp is not part of it: every level change raises it. Reordering the faces of a
// played object is outside what playback supports (its levels are prefixes of the face order).
class CTrackPlayTable : public CXAllocated {
public:
    struct Entry {
        unsigned firstCorner;
        unsigned firstDeleted;
        int points;        // points that appear when the contraction is played up
        unsigned facesWalk;  // faces that appear, times 2, plus 1 when records must be walked
    };

    static constexpr unsigned kNone = 0xFFFFFFFFu;

    CTrackPlayTable();
    CTrackPlayTable(const CTrackPlayTable&) = delete;
    CTrackPlayTable& operator=(const CTrackPlayTable&) = delete;

    // Makes the tables match `track` and `faces`, rebuilding them when either changed since they
    // were built. False, tables emptied, when there is nothing to play (no contraction or no face).
    bool Update(const CTrackContractions& track, CFaceList& faces);
    // Empties the tables and forgets what they were built on.
    void Free();

    const Entry* GetEntries() const { return m_entries.GetData(); }
    const unsigned* GetCorners() const { return m_corners.GetData(); }
    const unsigned* GetDeleted() const { return m_deleted.GetData(); }
    int* GetCornerBase() const { return m_cornerBase; }
    unsigned char* GetFlagBase() const { return m_flagBase; }
    size_t GetFlagStride() const { return m_flagStride; }

private:
    CXArray<Entry> m_entries;  // contraction count + 1 (the last one only ends the ranges)
    CXArray<unsigned> m_corners;
    CXArray<unsigned> m_deleted;
    int* m_cornerBase;          // start of the face-record buffer
    unsigned char* m_flagBase;  // flag word of face 0
    size_t m_flagStride;        // bytes from one face's flag word to the next
    // What the tables were built on.
    const void* m_keyStream;
    uint64_t m_keyStreamBytes;
    unsigned m_keyGeneration;
    const void* m_keyRecord0;
    const void* m_keyFlags0;
    uint64_t m_keyFaceBytes;
    int m_keyFaceCount;
};

class CTrackPlayer {
public:
    // Plays `track` on `points` and `faces`. Texture channel c of a record is uvFaces[c] /
    // uvPoints[c] for c below nUV; with nUV < 0 the lists are looked up in `channels` (the c-th
    // texture channel, invalid ones counted) when a record needs them. Normal records act on the
    // specified-normal channel of `channels`. `table`, when given, must have been updated for
    // `track` and `faces`.
    CTrackPlayer(CTrackContractions& track, C3DPointList& points, CFaceList& faces, CDependentChannels* channels,
                 CFaceList* const* uvFaces, CPointList* const* uvPoints, int nUV, const CTrackPlayTable* table);

    // Plays contraction `index` (below the contraction count) up (detail restored) or down,
    // adjusting the counts by what appeared or disappeared. Inline: it is the body of the level
    // change loops.
    void Play(unsigned index, bool up, int& currentPoints, int& currentFaces) {
        CTrackEdgeContraction* e = Edge(index);
        const int kept = e->GetKept();
        // 1. The kept point goes back to (up) or away from (down) its position before the contraction.
        if (kept >= 0 && kept < m_nPoints) {
            float* p = &m_points[kept].x;
            float* r = e->GetPoint();
            for (int k = 0; k < 3; ++k) {
                const float t = p[k];
                p[k] = r[k];
                r[k] = t;
            }
        }
        if (!m_entries) {
            currentPoints += up ? 1 : -1;
            Walk(e, up, true, currentPoints, currentFaces);
            return;
        }
        // 2. From the tables: corners re-pointed, deleted faces revived or deleted, counts. Nothing
        // else writes corners or flag words, so playing them before the walked records changes
        // nothing.
        const CTrackPlayTable::Entry& en = m_entries[index];
        const CTrackPlayTable::Entry& next = (&en)[1];
        const int value = up ? e->GetRemoved() : kept;
        for (unsigned c = en.firstCorner; c < next.firstCorner; ++c)
            if (m_corners[c] != CTrackPlayTable::kNone) m_cornerBase[m_corners[c]] = value;
        for (unsigned d = en.firstDeleted; d < next.firstDeleted; ++d)
            if (m_deleted[d] != CTrackPlayTable::kNone) {
                unsigned& flags = *reinterpret_cast<unsigned*>(m_flagBase + size_t(m_deleted[d]) * m_flagStride);
                flags = up ? (flags & ~unsigned(FACE_INVALID)) : (flags | unsigned(FACE_INVALID));
            }
        const int faces = int(en.facesWalk >> 1);
        currentPoints += up ? en.points : -en.points;
        currentFaces += up ? faces : -faces;
        if (en.facesWalk & 1) Walk(e, up, false, currentPoints, currentFaces);
    }
    // Asks the memory system for the kept point and the corners contraction `index` writes (with a
    // table; nothing without). Reads and writes nothing of the mesh.
    void Prefetch(unsigned index) const {
        if (!m_entries) return;
        const int kept = Edge(index)->GetKept();
        if (kept >= 0 && kept < m_nPoints) detail::PrefetchLine(&m_points[kept]);
        // The corners a contraction re-points lie together (the hand-off groups face records by
        // the first contraction that re-points them): the first one's line brings most of them.
        const unsigned c = m_entries[index].firstCorner;
        if (c < m_entries[index + 1].firstCorner && m_corners[c] != CTrackPlayTable::kNone)
            detail::PrefetchLine(m_cornerBase + m_corners[c]);
    }

    // Asks the memory system for contraction `index`'s own record only: the first of two steps,
    // taken further ahead than Prefetch so that Prefetch finds the kept point's index in cache
    // instead of waiting for the record to compute its addresses.
    void PrefetchRecord(unsigned index) const {
        detail::PrefetchObject(Edge(index));
    }

private:
    CTrackEdgeContraction* Edge(unsigned index) const {
        return reinterpret_cast<CTrackEdgeContraction*>(m_track.m_pBuffer + m_track.m_offsets.GetAtUnchecked(index));
    }
    // Walks the side records of `e`. With `geometry`, face and deleted-face records are played
    // too; without, a table plays them and the walk only follows which face the channel-corner
    // records belong to.
    void Walk(CTrackEdgeContraction* e, bool up, bool geometry, int& currentPoints, int& currentFaces);
    bool GetUV(int channel, CFaceList*& faces, CPointList*& points) const;
    void LookNormals();

    CTrackContractions& m_track;
    C3DTPoint<float>* m_points;
    int m_nPoints;
    CFaceList& m_faces;
    CDependentChannels* m_channels;
    CFaceList* const* m_uvFaces;
    CPointList* const* m_uvPoints;
    int m_nUV;
    CNormalFaceList* m_normalFaces;
    C3DVectorList* m_normals;
    bool m_normalsLooked;
    const unsigned char* m_end;
    const CTrackPlayTable::Entry* m_entries;
    const unsigned* m_corners;
    const unsigned* m_deleted;
    int* m_cornerBase;
    unsigned char* m_flagBase;
    size_t m_flagStride;
};

}  // namespace kestovar
