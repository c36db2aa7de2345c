// Clean-up of faces and points: the degenerate index clean-up, the removal of invalid faces and of
// points no live face uses (with their remaps, handed to the channels so that they stay parallel
// to the geometry), and the border status of points. The renumbering of face indices by a point
// remap (CFaceList::UpdateIndex) lives with the other index operations of the face list.
#include <algorithm>
#include <cstdint>
#include <typeinfo>

#include "adjacency_internal.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

namespace {

// Point flags written by the border status.
constexpr unsigned kBorderBits = POINT_BORDER | POINT_SHARED_EDGE | POINT_NEAR_BORDER;

// True when the triangle idx[0..2] uses a point twice.
bool IsDegenerateTriangle(const int* idx) { return idx[0] == idx[1] || idx[1] == idx[2] || idx[0] == idx[2]; }

// Fills `remap` (old -> new, REMAP_REMOVED for dropped elements) and `order` (the kept elements in
// index order, then the dropped ones: order[i] is the old index of the element that goes to i)
// from `keep`, a predicate on the old index. Both arrays get `count` entries.
template <class Keep>
void BuildRemap(unsigned count, Keep&& keep, CXArray<unsigned>& remap, CXArray<unsigned>& order) {
    remap.SetSize(int(count));
    order.SetSize(int(count));
    unsigned* r = remap.GetData();
    unsigned* o = order.GetData();
    unsigned next = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (keep(i)) {
            r[i] = next;
            o[next++] = i;
        } else {
            r[i] = REMAP_REMOVED;
        }
    }
    for (unsigned i = 0; i < count; ++i)
        if (r[i] == REMAP_REMOVED) o[next++] = i;
}

}  // namespace

// ---- faces ---------------------------------------------------------------------------------------------

bool CFaceList::CleanPointsIndex(const CGeomInfo* geom) {
    // The channel face lists that follow the geometry corner by corner (not derived ones, which
    // are recomputed instead of edited).
    CXArray<CFaceList*> follow;
    if (CDependentChannels* channels = detail::ChannelsFor(geom, this)) {
        for (int c = 0; c < channels->GetSize(); ++c) {
            CChannel* channel = channels->GetChannel(c);
            if (!channel || channel->IsOneFlagSet(CHANNEL_DERIVED)) continue;
            CFaceList* faces = channel->GetFaceList();
            if (faces && faces != this) follow.Add(faces);
        }
    }
    CXArray<bool> followChanged;
    followChanged.SetSize(follow.GetSize());

    bool changed = false;
    const unsigned n = unsigned(m_nFaces);
    const uint8_t* flags = static_cast<const uint8_t*>(m_pMainData->GetData());
    const size_t stride = size_t(m_pMainData->GetSizeOfElement());
    for (unsigned f = 0; f < n; ++f) {
        if (!IsLiveFaceFlags(*reinterpret_cast<const unsigned*>(flags + f * stride))) continue;
        CFaceCollection::Element* e = m_faces.GetElement(f);
        int k = int(e->m_nCount);
        int* idx = e->GetData();
        if (k == 3 && !IsDegenerateTriangle(idx)) continue;
        if (k > 3) {
            // Position j goes when it repeats the index at j + 1 or j + 2 (cyclically). After a
            // removal position j holds the next index, which is tested in turn. The walk stops
            // at a triangle, which the triangle rule below judges.
            int j = 0;
            while (j < k && k > 3) {
                const int v = idx[j];
                if (v != idx[(j + 1) % k] && v != idx[(j + 2) % k]) {
                    ++j;
                    continue;
                }
                // Removal shifts the tail down inside the record: `idx` stays valid.
                m_faces.RemoveValue(f, unsigned(j));
                --k;
                changed = true;
                for (int c = 0; c < follow.GetSize(); ++c) {
                    CFaceList* faces = follow[c];
                    if (faces->IsFaceLive(f) && faces->GetFaceSize(f) > unsigned(j)) {
                        faces->GetRecords().RemoveValue(f, unsigned(j));
                        followChanged[c] = true;
                    }
                }
            }
        }
        if (k < 3 || (k == 3 && IsDegenerateTriangle(idx))) {
            SetFaceFlags(f, FACE_INVALID, true);
            for (int c = 0; c < follow.GetSize(); ++c) {
                if (follow[c]->SetFaceFlags(f, FACE_NOT_LIVE, true)) followChanged[c] = true;
            }
            changed = true;
        }
    }
    if (changed) SetFlag(FACELIST_CHANGED, true);
    for (int c = 0; c < follow.GetSize(); ++c)
        if (followChanged[c]) follow[c]->SetFlag(FACELIST_CHANGED, true);
    return changed;
}

bool CFaceList::Clean(const CGeomInfo* geom, bool cleanIndexes, CXArray<unsigned int>* remap) {
    if (cleanIndexes) CleanPointsIndex(geom);
    const unsigned n = unsigned(m_nFaces);
    unsigned kept = 0;
    for (unsigned f = 0; f < n; ++f)
        if (!(GetFaceFlags(f) & FACE_INVALID)) ++kept;
    if (kept == n) {
        if (remap) remap->SetSize(0);
        return false;
    }

    CXArray<unsigned> ownRemap;
    CXArray<unsigned>& r = remap ? *remap : ownRemap;
    CXArray<unsigned> order;
    BuildRemap(n, [this](unsigned f) { return !(GetFaceFlags(f) & FACE_INVALID); }, r, order);
    // Face indices move: every graph and cache keyed by face index is stale now.
    DeleteCaches();
    if (kept == 0) {
        RemoveAll();
    } else {
        // The kept faces come first in index order; cutting the list after them drops the
        // invalid ones, and FreeExtra packs the records and trims the chunks.
        ReorderFaces(order.GetData(), n, false);
        SetSize(int(kept), SETSIZE_KEEP_MEMORY);
        FreeExtra();
    }
    SetFlag(FACELIST_CHANGED, true);
    return true;
}

int CFaceList::FindFaceOutside(int pointCount, uint8_t* used) const {
    const unsigned n = unsigned(pointCount < 0 ? 0 : pointCount);
    const unsigned faceCount = unsigned(GetSize());
    const uint8_t* faceFlags = static_cast<const uint8_t*>(m_pMainData->GetData());
    const size_t faceStride = size_t(m_pMainData->GetSizeOfElement());
    int outside = -1;
    for (unsigned f = 0; f < faceCount; ++f) {
        if (!IsLiveFaceFlags(*reinterpret_cast<const unsigned*>(faceFlags + f * faceStride))) continue;
        const CFaceCollection::Element* e = m_faces.GetElement(f);
        const int* idx = e->GetData();
        for (int j = 0, k = int(e->m_nCount); j < k; ++j) {
            if (unsigned(idx[j]) < n) {
                if (used) used[idx[j]] = 1;
            } else if (outside < 0) {
                outside = int(f);
                if (!used) return outside;
            }
        }
    }
    return outside;
}

bool CFaceList::Clean(const CGeomInfo* geom) {
    // The index clean-up keeps the channels in step with the faces it edits; the check then
    // comes before any face moves.
    const bool indexes = CleanPointsIndex(geom);
    return CleanInvalid(geom) || indexes;
}

bool CFaceList::CleanInvalid(const CGeomInfo* geom) {
    bool changed = false;
    // A live face naming a missing point is refused before any face moves (the point clean-up
    // would raise only after the faces were removed, leaving the channels behind them).
    C3DPointList* points = detail::PointsFor(geom, this);
    if (points && FindFaceOutside(points->GetSize()) >= 0)
        XThrow<CXInvalidArgException>("Clean: a face uses a point index outside the point list");
    CXArray<unsigned> faceRemap;
    CXArray<unsigned> pointRemap;
    if (Clean(geom, false, &faceRemap)) changed = true;
    if (points) {
        if (points->Clean(this, &pointRemap)) {
            changed = true;
            UpdateIndex(&pointRemap, true);
        }
        if (changed) points->SetFlag(POINTLIST_CHANGED, true);
    }
    if (CDependentChannels* channels = detail::ChannelsFor(geom, this))
        if (channels->CleanChannels(geom, &faceRemap, &pointRemap) > 0) changed = true;
    return changed;
}

// ---- points --------------------------------------------------------------------------------------------

void CPointList::SetInvalidPoints(CFaceList& faces, bool keep) {
    const unsigned n = unsigned(m_nSize);
    CXArray<uint8_t> used;
    used.SetSize(int(n));
    uint8_t* u = used.GetData();
    std::fill(u, u + n, uint8_t(0));
    if (faces.FindFaceOutside(int(n), u) >= 0)
        XThrow<CXInvalidArgException>("SetInvalidPoints: a face uses a point index outside the point list");
    const size_t stride = size_t(m_nElementSize);
    uint8_t* p = m_pData;
    for (unsigned i = 0; i < n; ++i, p += stride) {
        CPt* pt = reinterpret_cast<CPt*>(p);
        unsigned flags = pt->GetFlags();
        if (!keep) flags &= ~unsigned(POINT_REMOVED);
        if (!u[i]) flags |= POINT_REMOVED;
        pt->SetFlags(flags);
    }
}

namespace {

// Compaction of a point list's records in one pass: the kept records (without POINT_REMOVED) move
// down to their new index, each destination below its source, and the remap gets the new index
// or REMAP_REMOVED. For the record types of the library's own element tables a record moves by
// its own assignment, which is exactly what the table's copy does, without a call per record.
// Returns the number of kept records; sets `moved` when a record changed place.
template <class P>
unsigned CompactTypedRecords(uint8_t* data, unsigned n, unsigned* remap, bool& moved) {
    P* pts = reinterpret_cast<P*>(data);
    unsigned next = 0;
    for (unsigned i = 0; i < n; ++i) {
        if (pts[i].IsOneFlagSet(POINT_REMOVED)) {
            remap[i] = REMAP_REMOVED;
            continue;
        }
        remap[i] = next;
        if (next != i) {
            pts[next] = pts[i];
            moved = true;
        }
        ++next;
    }
    return next;
}

// The record type of `methods` when it is one of the library's point tables (0: another table,
// whose copies go through the table): 1 C3DTPoint<float>, 2 C3DTVector<float>, 3 C2DTPoint<float>.
// Their records are trivially destructible.
int LibraryRecordKind(const CElementMethods* methods) {
    if (!methods) return 0;
    const std::type_info& t = typeid(*methods);
    if (t == typeid(C3DPointMethods)) return 1;
    if (t == typeid(C3DVectorMethods)) return 2;
    if (t == typeid(C2DPointMethods)) return 3;
    return 0;
}

}  // namespace

bool CPointList::Clean(CFaceList* faces, CXArray<unsigned int>* remap) {
    if (faces) SetInvalidPoints(*faces, false);
    const unsigned n = unsigned(m_nSize);
    const size_t stride = size_t(m_nElementSize);
    auto keep = [this, stride](unsigned i) {
        return !reinterpret_cast<const CPt*>(m_pData + i * stride)->IsOneFlagSet(POINT_REMOVED);
    };
    unsigned kept = 0;
    for (unsigned i = 0; i < n; ++i) kept += keep(i) ? 1u : 0u;
    if (kept == n) {
        if (remap) remap->SetSize(0);
        return false;
    }

    CXArray<unsigned> ownRemap;
    CXArray<unsigned>& r = remap ? *remap : ownRemap;
    r.SetSize(int(n));
    unsigned* rm = r.GetData();
    // Kept points move down to their new index in order (each destination is at or below its
    // source, so nothing is overwritten before it is read), then their chunk data.
    const int kind = LibraryRecordKind(m_pMethods);
    bool moved = false;
    if (kind == 1) {
        CompactTypedRecords<C3DTPoint<float>>(m_pData, n, rm, moved);
    } else if (kind == 2) {
        CompactTypedRecords<C3DTVector<float>>(m_pData, n, rm, moved);
    } else if (kind == 3) {
        CompactTypedRecords<C2DTPoint<float>>(m_pData, n, rm, moved);
    } else {
        // Any other table: the remap first, then runs of consecutive points in one copy each.
        unsigned next = 0;
        for (unsigned i = 0; i < n; ++i) rm[i] = keep(i) ? next++ : REMAP_REMOVED;
        for (unsigned i = 0; i < n;) {
            if (rm[i] == REMAP_REMOVED || rm[i] == i) {
                ++i;
                continue;
            }
            unsigned run = 1;
            while (i + run < n && rm[i + run] == rm[i] + run) ++run;
            CElementArray::CopyFrom(int(rm[i]), *this, int(i), int(run));
            moved = true;
            i += run;
        }
    }
    if (m_dataChunks.GetChunksNbr() > 0) {
        int pos;
        uint32_t id;
        for (CElementArray* chunk = m_dataChunks.GetFirstChunk(pos, id); chunk; chunk = m_dataChunks.GetNextChunk(pos, id))
            for (unsigned i = 0; i < n; ++i)
                if (rm[i] != REMAP_REMOVED && rm[i] != i) chunk->Copy(int(rm[i]), int(i), *chunk);
    }
    if (moved) MarkChanged();
    // The dropped records of the library's tables need no destruction: keeping them until
    // FreeExtra releases the slots ends in the same state without a call per dropped record,
    // when the chunks hold plain data too (their dropped elements need none either). An emptied
    // list still goes through RemoveAll, as before.
    bool keepMemory = kind != 0 && kept > 0;
    if (keepMemory && m_dataChunks.GetChunksNbr() > 0) {
        int pos;
        uint32_t id;
        for (CElementArray* chunk = m_dataChunks.GetFirstChunk(pos, id); chunk; chunk = m_dataChunks.GetNextChunk(pos, id))
            if (chunk->GetMethods() && chunk->GetMethods()->IsObject()) keepMemory = false;
    }
    SetSize(int(kept), keepMemory);
    FreeExtra();
    SetFlag(POINTLIST_CHANGED, true);
    return true;
}

void CPointList::SetBorderPointsStatus(CAssociationMap<C3DEdge, int, unsigned short>& edges, bool propagate) {
    const unsigned n = unsigned(m_nSize);
    const size_t stride = size_t(m_nElementSize);
    uint8_t* p = m_pData;
    for (unsigned i = 0; i < n; ++i, p += stride) reinterpret_cast<CPt*>(p)->SetFlags(kBorderBits, false);

    auto point = [this, n](unsigned i) -> CPt* {
        if (i >= n) XThrow<CXInvalidArgException>("SetBorderPointsStatus: an edge ends outside the point list");
        return reinterpret_cast<CPt*>(m_pData + size_t(i) * size_t(m_nElementSize));
    };
    int pos = kHashStartPosition;
    C3DEdge edge;
    const int* faces;
    unsigned count;
    while (edges.GetNext(pos, edge, faces, count)) {
        const unsigned bit = count == 1 ? POINT_BORDER : POINT_SHARED_EDGE;
        point(edge.GetP1())->SetFlags(bit, true);
        point(edge.GetP2())->SetFlags(bit, true);
    }
    if (!propagate) return;
    // Second walk, once every border point is known: the inner end of an edge leaving the border
    // is near the border.
    pos = kHashStartPosition;
    while (edges.GetNext(pos, edge, faces, count)) {
        CPt* a = point(edge.GetP1());
        CPt* b = point(edge.GetP2());
        const bool borderA = a->IsOneFlagSet(POINT_BORDER);
        const bool borderB = b->IsOneFlagSet(POINT_BORDER);
        if (borderA && !borderB) b->SetFlags(POINT_NEAR_BORDER, true);
        if (borderB && !borderA) a->SetFlags(POINT_NEAR_BORDER, true);
    }
}

}  // namespace kestovar
