// Material bookkeeping of C3DFaceList: the face counts per (front, back) material pair with their
// folds into per-material counts, and the material sort of the faces.
#include "kestovar/mesh/material_map.h"

#include <algorithm>
#include <cstdint>

#include "adjacency_internal.h"
#include "core/checked_memory.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"

namespace kestovar {

// ---- CFBMaterialHashMap ------------------------------------------------------------------------------

namespace {

void ResetCounts(CMaterialCountMap& map, bool reset) {
    if (reset) map.RemoveAll();
}

int FinishCounts(CMaterialCountMap& map, bool dropUndefined) {
    if (dropUndefined) map.Remove(MATERIAL_UNDEFINED);
    return map.GetCount();
}

}  // namespace

int CFBMaterialHashMap::GetFrontHash(CMaterialCountMap& map, bool reset, bool dropUndefined) const {
    ResetCounts(map, reset);
    int pos = kHashStartPosition;
    while (const Slot* s = GetNextSlot(pos)) map.GetOrInsert(s->key.front) += s->value;
    return FinishCounts(map, dropUndefined);
}

int CFBMaterialHashMap::GetBackHash(CMaterialCountMap& map, bool reset, bool dropUndefined) const {
    ResetCounts(map, reset);
    int pos = kHashStartPosition;
    while (const Slot* s = GetNextSlot(pos)) map.GetOrInsert(s->key.back) += s->value;
    return FinishCounts(map, dropUndefined);
}

int CFBMaterialHashMap::GetFrontBackHash(CMaterialCountMap& map, bool reset, bool dropUndefined) const {
    ResetCounts(map, reset);
    int pos = kHashStartPosition;
    while (const Slot* s = GetNextSlot(pos)) {
        map.GetOrInsert(s->key.front) += s->value;
        if (s->key.back != MATERIAL_UNDEFINED && s->key.back != s->key.front)
            map.GetOrInsert(s->key.back) += s->value;
    }
    return FinishCounts(map, dropUndefined);
}

bool CFBMaterialHashMap::ReplaceFrontMaterial(unsigned from, unsigned to) { return Replace(from, to, true); }

bool CFBMaterialHashMap::ReplaceBackMaterial(unsigned from, unsigned to) { return Replace(from, to, false); }

bool CFBMaterialHashMap::Replace(unsigned from, unsigned to, bool front) {
    if (from == to) return false;
    // Collect the renamed pairs first: inserting while walking the slots could rehash under the
    // walk. Material maps hold a handful of pairs, so the side array stays small.
    CXArray<FBMaterialID> keys;
    CXArray<unsigned> counts;
    int pos = kHashStartPosition;
    while (const Slot* s = GetNextSlot(pos)) {
        if ((front ? s->key.front : s->key.back) != from) continue;
        keys.Add(s->key);
        counts.Add(s->value);
    }
    for (int i = 0; i < keys.GetSize(); ++i) Remove(keys[i]);
    for (int i = 0; i < keys.GetSize(); ++i) {
        FBMaterialID renamed = keys[i];
        (front ? renamed.front : renamed.back) = to;
        GetOrInsert(renamed) += counts[i];
    }
    return keys.GetSize() > 0;
}

// ---- pair counts of a face list ------------------------------------------------------------------------

CFBMaterialHashMap* C3DFaceList::CreateFBMaterialsHashMap(const CGeomInfo* geom) {
    (void)geom;  // the counts come from this list alone
    if (m_pFBMaterialMap)
        m_pFBMaterialMap->RemoveAll();
    else
        m_pFBMaterialMap = new CFBMaterialHashMap;
    const CElementArray* backArray = GetData(FACE_CHUNK_BACK_MATERIAL);
    const uint32_t* back = backArray ? static_cast<const uint32_t*>(backArray->GetData()) : nullptr;
    // Neighbouring faces mostly share their materials: a run of equal pairs costs one map update.
    FBMaterialID run{MATERIAL_UNDEFINED, MATERIAL_UNDEFINED};
    unsigned runLength = 0;
    const unsigned n = unsigned(m_nFaces);
    for (unsigned f = 0; f < n; ++f) {
        const uint32_t* main = static_cast<const uint32_t*>(MainSlot(f));
        if (!IsLiveFaceFlags(main[0])) continue;
        const FBMaterialID pair{main[1], back ? back[f] : MATERIAL_UNDEFINED};
        if (runLength && pair == run) {
            ++runLength;
            continue;
        }
        m_pFBMaterialMap->AddFaces(run, runLength);
        run = pair;
        runLength = 1;
    }
    m_pFBMaterialMap->AddFaces(run, runLength);
    m_pFBMaterialMap->SetStamp(m_nChangedStamp);
    return m_pFBMaterialMap;
}

CFBMaterialHashMap* C3DFaceList::GetFBMaterialsHashMap(const CGeomInfo* geom) {
    return m_pFBMaterialMap ? m_pFBMaterialMap : CreateFBMaterialsHashMap(geom);
}

void C3DFaceList::DeleteFBMaterialsHashMap() {
    delete m_pFBMaterialMap;
    m_pFBMaterialMap = nullptr;
}

int C3DFaceList::GetMaterialsHashMap(const CGeomInfo* geom, CHashMap<unsigned int, unsigned int, unsigned int>& map,
                                     bool withBack, bool reset) {
    // Materials are written face by face without marking the list changed, so the stamp cannot
    // tell whether kept counts are current: they are always taken again (one pass over the faces).
    CreateFBMaterialsHashMap(geom);
    return withBack ? m_pFBMaterialMap->GetFrontBackHash(map, reset, true)
                    : m_pFBMaterialMap->GetFrontHash(map, reset, true);
}

// ---- material sort -------------------------------------------------------------------------------------

namespace {

// Sort modes (low byte of the flags) and option bits.
constexpr unsigned kSortModeMask = 0xFF;
constexpr unsigned kSortMaterialThenFlags = 2;  // modes 0 and 1: material only; 3 and up: none
constexpr unsigned kSortBackSides = 0x100;      // every entry is a face's back side
constexpr unsigned kSortFrontThenBack = 0x200;  // n front entries, then n back entries

// One entry of the sort: the material in the high half of the key, the tie-break rank in the
// low half, and the entry index, which makes equal keys keep their index order.
struct SortEntry {
    uint64_t key;
    unsigned index;
};

}  // namespace

unsigned int* C3DFaceList::Sort(unsigned int flags, unsigned int& count, bool& changed) const {
    count = 0;
    changed = false;
    const CElementArray* backArray = GetData(FACE_CHUNK_BACK_MATERIAL);
    if ((flags & kSortBackSides) && !backArray) return nullptr;
    const unsigned n = unsigned(m_nFaces);
    if (n == 0) return nullptr;
    const bool frontThenBack = (flags & kSortFrontThenBack) && backArray;
    const bool backOnly = (flags & kSortBackSides) && !frontThenBack;
    const unsigned total = frontThenBack ? 2 * n : n;
    const unsigned mode = flags & kSortModeMask;

    unsigned* order = static_cast<unsigned*>(xmalloc(size_t(total) * sizeof(unsigned)));
    if (!order) XThrow<CXMemoryException>();
    if (mode > kSortMaterialThenFlags) {
        for (unsigned i = 0; i < total; ++i) order[i] = i;
        count = total;
        changed = frontThenBack;
        return order;
    }

    SortEntry* entries = static_cast<SortEntry*>(xmalloc(size_t(total) * sizeof(SortEntry)));
    if (!entries) {
        xfree(order);
        XThrow<CXMemoryException>();
    }
    detail::HeldBlock<SortEntry> entriesHeld(entries);
    const uint32_t* back = backArray ? static_cast<const uint32_t*>(backArray->GetData()) : nullptr;
    for (unsigned e = 0; e < total; ++e) {
        const unsigned f = e < n ? e : e - n;
        const bool backSide = backOnly || e >= n;
        const uint32_t* main = static_cast<const uint32_t*>(MainSlot(f));
        uint32_t material = MATERIAL_UNDEFINED;
        if (IsLiveFaceFlags(main[0])) {
            material = main[1];
            if (backSide && back[f] != MATERIAL_UNDEFINED) material = back[f];
        }
        // Among equal materials, the larger (flags & 0x74) first: its complement within the
        // mask sorts ascending.
        const unsigned rank = mode == kSortMaterialThenFlags ? (FACE_SORT_MASK ^ (main[0] & FACE_SORT_MASK)) : 0u;
        entries[e] = SortEntry{(uint64_t(material) << 32) | rank, e};
    }
    std::sort(entries, entries + total, [](const SortEntry& a, const SortEntry& b) {
        return a.key != b.key ? a.key < b.key : a.index < b.index;
    });
    changed = frontThenBack;
    for (unsigned i = 0; i < total; ++i) {
        order[i] = entries[i].index;
        if (order[i] != i) changed = true;
    }
    count = total;
    return order;
}

bool C3DFaceList::Sort(const CGeomInfo* geom, unsigned int flags) {
    if (flags & kSortFrontThenBack) return false;
    unsigned count;
    bool changed;
    unsigned* order = Sort(flags, count, changed);
    detail::HeldBlock<unsigned> orderHeld(order);
    if (!order || !changed) return false;
    ReorderFaces(order, count, false);
    if (CDependentChannels* channels = detail::ChannelsFor(geom, this)) {
        for (int c = 0; c < channels->GetSize(); ++c) {
            CChannel* channel = channels->GetChannel(c);
            if (!channel || channel->IsOneFlagSet(CHANNEL_INVALID)) continue;
            CFaceList* faces = channel->GetFaceList();
            if (faces && faces != this && unsigned(faces->GetSize()) == count) faces->ReorderFaces(order, count, false);
        }
    }
    // The graphs and the face grid name faces by index; the pair counts do not depend on order.
    DeletePointToFaceGraph();
    DeleteEdgeToFaceGraph();
    DeleteFaceGridMap();
    return true;
}

}  // namespace kestovar
