// Face lists: sizing with the buffer policies, face copies, flags, reordering, index renumbering,
// original indices, data chunks, checksums and serialisation; the materials and the bounding box
// of 3D face lists.
#include "kestovar/mesh/face_list.h"

#include <algorithm>
#include <climits>

#include "kestovar/core/archive.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/point_list.h"
#include "list_room.h"

namespace kestovar {

namespace {

bool SameChunkLayout(const CDataChunk& a, const CDataChunk& b) {
    if (a.GetChunksNbr() != b.GetChunksNbr()) return false;
    int pos;
    uint32_t id;
    for (CElementArray* array = a.GetFirstChunk(pos, id); array; array = a.GetNextChunk(pos, id)) {
        const CElementArray* other = b.GetData(id);
        if (!other || other->GetTypeOfElement() != array->GetTypeOfElement() ||
            other->GetSizeOfElement() != array->GetSizeOfElement())
            return false;
    }
    return true;
}

}  // namespace

// ---- construction --------------------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(CFaceList, CXObject, 1)

CFaceList::CFaceList() : CFaceList(SharedElementMethods<CFacePropertyMethods>()) {}

CFaceList::CFaceList(CElementMethods* mainMethods)
    : m_nFaces(0),
      m_faces(3),
      m_pMainData(nullptr),
      m_pPointToFaceGraph(nullptr),
      m_pEdgeToFaceGraph(nullptr),
      m_nChangedStamp(0),
      m_nFlags(0) {
    m_dataChunks.AddDataChunk(FACE_CHUNK_MAIN, mainMethods, DATACHUNK_ALWAYS_NEW | DATACHUNK_MAIN | DATACHUNK_COPY);
    m_pMainData = m_dataChunks.GetMainArray();
}

CFaceList::~CFaceList() { CFaceList::DeleteCaches(); }

CFaceList* CFaceList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(CFaceList))) return nullptr;
    return static_cast<CFaceList*>(object);
}

CElementMethods* CFaceList::GetMainMethods() const { return SharedElementMethods<CFacePropertyMethods>(); }

void CFaceList::DeleteCaches() {
    delete m_pPointToFaceGraph;
    m_pPointToFaceGraph = nullptr;
    delete m_pEdgeToFaceGraph;
    m_pEdgeToFaceGraph = nullptr;
}

void CFaceList::EnsureMainChunk() {
    CElementMethods* expected = GetMainMethods();
    CElementArray* current = m_dataChunks.GetData(FACE_CHUNK_MAIN);
    if (current && current->GetTypeOfElement() == expected->GetType() &&
        current->GetSizeOfElement() == expected->GetSizeof()) {
        // Same layout: make sure it is the main chunk (keeps the elements).
        if (m_dataChunks.GetMainArray() != current)
            m_dataChunks.AddDataChunk(FACE_CHUNK_MAIN, expected, DATACHUNK_MAIN | DATACHUNK_COPY);
    } else {
        // Another face table (a flag-only list copied into a 3D list, or the reverse): the flags
        // (and whatever else both layouts share) are carried over into a fresh main chunk.
        CElementArray* saved = current ? current->Duplicate(true) : nullptr;
        m_dataChunks.AddDataChunk(FACE_CHUNK_MAIN, expected, DATACHUNK_ALWAYS_NEW | DATACHUNK_MAIN | DATACHUNK_COPY);
        if (saved) {
            CElementArray* fresh = m_dataChunks.GetData(FACE_CHUNK_MAIN);
            const int n = std::min(saved->GetSize(), fresh->GetSize());
            for (int i = 0; i < n; ++i) fresh->Copy(i, i, *saved);
            delete saved;
        }
    }
    m_pMainData = m_dataChunks.GetMainArray();
}

CFaceList& CFaceList::operator=(const CFaceList& other) {
    if (&other == this) return *this;
    DeleteCaches();
    m_faces = other.m_faces;
    m_dataChunks.InitDataChunks(other.m_dataChunks, 0);
    m_dataChunks.CopyData(other.m_dataChunks);
    EnsureMainChunk();
    m_nFaces = other.m_nFaces;
    m_nFlags = other.m_nFlags;
    MarkChanged();
    return *this;
}

// ---- sizing --------------------------------------------------------------------------------------

void CFaceList::Resize(unsigned int count, int mode, int grow, unsigned int orFlags, bool flagNewOnly) {
    const unsigned old = unsigned(m_nFaces);
    m_faces.SetSize(count, mode);
    m_dataChunks.SetDataSize(int(count), mode == SETSIZE_KEEP_MEMORY, grow);
    m_nFaces = int(count);
    if (orFlags) {
        for (unsigned i = flagNewOnly ? old : 0; i < count; ++i)
            *static_cast<unsigned int*>(MainSlot(i)) |= orFlags;
    }
    if (count == 0) DeleteCaches();
    if (count != old) MarkChanged();
}

bool CFaceList::SetSize(int count, SetSizeMode mode, int grow) {
    if (count < 0) return false;
    Resize(unsigned(count), mode, grow, 0, true);
    return true;
}

bool CFaceList::SetSize(int count, int pointsPerFace, SetSizeMode mode, int grow) {
    if (count < 0) return false;
    if (pointsPerFace > 0) m_faces.SetTypicalLength(unsigned(pointsPerFace));
    Resize(unsigned(count), mode, grow, 0, true);
    return true;
}

bool CFaceList::SetSize(int count, const unsigned int* pointCounts, int mode, int grow) {
    if (count < 0) return false;
    if (!pointCounts) return SetSize(count, SetSizeMode(mode), grow);
    const unsigned old = unsigned(m_nFaces);
    // Lay the records out anew in index order, each with exactly its count.
    uint64_t values = 0;
    for (int i = 0; i < count; ++i) {
        if (pointCounts[i] > CFaceCollection::kMaxRecordLength)
            XThrow<CXInvalidArgException>("CFaceList::SetSize: face longer than a record allows");
        values += pointCounts[i];
    }
    m_faces.RemoveAll();
    m_faces.Reserve(uint64_t(count) * CFaceCollection::RecordBytes(0) + values * sizeof(int), unsigned(count));
    for (int i = 0; i < count; ++i) m_faces.Add(nullptr, pointCounts[i], pointCounts[i]);
    m_dataChunks.SetDataSize(count, mode == SETSIZE_KEEP_MEMORY, grow);
    m_nFaces = count;
    if (count == 0) DeleteCaches();
    if (unsigned(count) != old) MarkChanged();
    return true;
}

bool CFaceList::SetSize(const CFaceList& other, int mode) {
    if (&other == this) return true;
    const unsigned old = unsigned(m_nFaces);
    m_faces = other.m_faces;
    m_faces.Pack(mode);
    m_dataChunks.SetDataSize(other.m_nFaces, mode == SETSIZE_KEEP_MEMORY);
    m_nFaces = other.m_nFaces;
    if (m_nFaces == 0) DeleteCaches();
    if (unsigned(m_nFaces) != old) MarkChanged();
    return true;
}

bool CFaceList::SetSizeAndFlags(int count, unsigned int flags) {
    if (count < 0) return false;
    Resize(unsigned(count), SETSIZE_COMPACT_SLACK, -1, flags, true);
    return true;
}

bool CFaceList::SetSizeAndFlags(const CFaceList& other, unsigned int flags) {
    if (!SetSize(other)) return false;
    for (int i = 0; i < m_nFaces; ++i) *static_cast<unsigned int*>(MainSlot(unsigned(i))) |= flags;
    return true;
}

int CFaceList::ExpandSize(int count) { return ExpandSizeAndFlags(count, 0); }

int CFaceList::ExpandSizeAndFlags(int count, unsigned int flags) {
    if (count < 0 || int64_t(m_nFaces) + count > INT_MAX)
        XThrow<CXInvalidArgException>("CFaceList::ExpandSize: bad count");
    const int first = m_nFaces;
    // A large list expanded a few faces at a time makes its chunks' room by doubling, as
    // MakeRoomByDoubling does for point lists (the grow setting stays). An empty list is sized by
    // its own rule.
    const int allocated = m_pMainData ? m_pMainData->GetAllocatedSize() : 0;
    if (first > 0 && first + count > allocated) {
        m_dataChunks.SetDataSize(detail::DoubledRoom(int64_t(first) + count, allocated), true);
        m_dataChunks.SetDataSize(first);  // shrinking to a non-zero count keeps the room
    }
    // No compaction here: expanding one face at a time must stay cheap.
    Resize(unsigned(first + count), SETSIZE_KEEP_MEMORY, -1, flags, true);
    return first;
}

void CFaceList::SetFacesSize(unsigned int pointCount) {
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) m_faces.SetRecordSize(i, pointCount);
    if (m_nFaces) MarkChanged();
}

void CFaceList::PreAllocate(int faces, int indices, bool constructAll) {
    if (faces < 0 || indices < 0) XThrow<CXInvalidArgException>("CFaceList::PreAllocate: negative count");
    const int old = m_nFaces;
    m_faces.RemoveAll();
    m_faces.Reserve(uint64_t(faces) * CFaceCollection::RecordBytes(0) + uint64_t(indices) * sizeof(int),
                    unsigned(faces));
    m_dataChunks.PreAllocate(faces);
    if (constructAll) {
        int pos;
        uint32_t id;
        for (CElementArray* a = m_dataChunks.GetFirstChunk(pos, id); a; a = m_dataChunks.GetNextChunk(pos, id))
            a->ConstructMode(true);
    }
    m_nFaces = 0;
    DeleteCaches();
    if (old != 0) MarkChanged();
}

void CFaceList::RemoveAll() {
    const int old = m_nFaces;
    m_faces.RemoveAll();
    m_dataChunks.RemoveAll();
    m_nFaces = 0;
    DeleteCaches();
    if (old != 0) MarkChanged();
}

void CFaceList::FreeExtra() {
    m_faces.FreeExtra();
    m_dataChunks.FreeExtra();
}

// ---- faces ---------------------------------------------------------------------------------------

bool CFaceList::CopyFace(unsigned int dst, const CFace& src, bool chunksOnly) {
    if (!src.m_pList) return false;
    return CopyFace(dst, src.m_nFace, *src.m_pList, chunksOnly);
}

bool CFaceList::CopyFace(unsigned int dst, unsigned int src, bool chunksOnly) {
    return CopyFace(dst, src, *this, chunksOnly);
}

bool CFaceList::CopyFace(unsigned int dst, unsigned int src, const CFaceList& other, bool chunksOnly) {
    if (dst >= unsigned(m_nFaces) || src >= unsigned(other.m_nFaces)) return false;
    if (&other == this) {
        if (dst == src) return true;
        m_dataChunks.CopyData(int(dst), int(src));
    } else {
        m_dataChunks.CopyData(int(dst), other.m_dataChunks, int(src), 1);
    }
    if (!chunksOnly) {
        unsigned n;
        const int* values = other.m_faces.Get(src, n);
        // SetRecord copies the values aside when they live in this buffer and the record moves.
        m_faces.SetRecord(dst, values, n, true);
    }
    return true;
}

void CFaceList::CopyTo(unsigned int i, CSingleFace& face) const {
    if (!SameChunkLayout(face.m_dataChunks, m_dataChunks)) face.m_dataChunks.InitDataChunks(m_dataChunks, 0);
    if (i >= unsigned(m_nFaces)) {
        face.Empty();
        return;
    }
    face.m_dataChunks.SetDataSize(1, true);
    face.m_dataChunks.CopyData(0, m_dataChunks, int(i), 1);
    unsigned n;
    const int* values = m_faces.Get(i, n);
    face.m_record.SetRecord(0, values, n);
}

bool CFaceList::CopyFrom(unsigned int i, const CSingleFace& face) {
    if (i >= unsigned(m_nFaces) || face.IsEmpty()) return false;
    unsigned n;
    const int* values = face.m_record.Get(0, n);
    m_faces.SetRecord(i, values, n, true);
    m_dataChunks.CopyData(int(i), face.m_dataChunks, 0, 1);
    return true;
}

CFace* CFaceList::CreateFace() const { return new CFace; }

void CFaceList::ReleaseFace(CFace* face) const { delete face; }

// ---- flags ---------------------------------------------------------------------------------------

int CFaceList::GetNumberOfFaces(unsigned int mask, bool value) const {
    int n = 0;
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i)
        if (((*static_cast<const unsigned*>(MainSlot(i)) & mask) != 0) == value) ++n;
    return n;
}

int CFaceList::GetNumberOfFaces(_FACE_PROPERTIES mask, bool value) const {
    const unsigned m = unsigned(mask);
    int n = 0;
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i)
        if (((*static_cast<const unsigned*>(MainSlot(i)) & m) == m) == value) ++n;
    return n;
}

bool CFaceList::SetFaceFlags(unsigned int i, unsigned int flags, bool set) {
    if (i >= unsigned(m_nFaces)) return false;
    unsigned& f = *static_cast<unsigned*>(MainSlot(i));
    f = set ? (f | flags) : (f & ~flags);
    return true;
}

bool CFaceList::SetFaceFlags(unsigned int i, unsigned int flags) {
    if (i >= unsigned(m_nFaces)) return false;
    *static_cast<unsigned*>(MainSlot(i)) = flags;
    return true;
}

void CFaceList::SetFacesFlags(unsigned int flags, bool set) {
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
        unsigned& f = *static_cast<unsigned*>(MainSlot(i));
        f = set ? (f | flags) : (f & ~flags);
    }
}

int CFaceList::SetFacesFlags(unsigned int mask, unsigned int test, unsigned int flags, bool set) {
    int n = 0;
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
        unsigned& f = *static_cast<unsigned*>(MainSlot(i));
        if ((f & mask) != test) continue;
        f = set ? (f | flags) : (f & ~flags);
        ++n;
    }
    return n;
}

int CFaceList::InheritFlags(const CFaceList& from, _FACE_PROPERTIES test, _FACE_PROPERTIES flags, bool set) {
    const unsigned n = unsigned(std::min(m_nFaces, from.m_nFaces));
    const unsigned t = unsigned(test), b = unsigned(flags);
    int changed = 0;
    for (unsigned i = 0; i < n; ++i) {
        if ((from.GetFaceFlags(i) & t) != t) continue;
        unsigned& f = *static_cast<unsigned*>(MainSlot(i));
        const unsigned next = set ? (f | b) : (f & ~b);
        if (next != f) {
            f = next;
            ++changed;
        }
    }
    return changed;
}

bool CFaceList::IsTriangular(_FACE_PROPERTIES mask, bool value) const {
    const unsigned m = unsigned(mask);
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
        const unsigned f = GetFaceFlags(i);
        if (f & FACE_INVALID) continue;
        if (((f & m) == m) != value) continue;
        if (m_faces.GetRecordSize(i) > 3) return false;
    }
    return true;
}

int CFaceList::FlipNormals(_FACE_PROPERTIES mask, bool value) {
    const unsigned m = unsigned(mask);
    int flipped = 0;
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
        const unsigned f = GetFaceFlags(i);
        if (!IsLiveFaceFlags(f)) continue;
        if (m && ((f & m) == m) != value) continue;
        unsigned n;
        int* v = m_faces.Get(i, n);
        std::reverse(v, v + n);
        ++flipped;
    }
    if (flipped) MarkChanged();
    return flipped;
}

// ---- order ---------------------------------------------------------------------------------------

bool CFaceList::ReorderFaces(const unsigned int* order, unsigned int count, bool inverse) {
    if (count != unsigned(m_nFaces)) return false;
    if (count == 0) return true;
    if (!order) return false;
    // The chunks first: the main chunk is always there and rejects a table that is not a
    // permutation before anything moved.
    if (!m_dataChunks.Reorder(order, count, inverse)) return false;
    m_faces.Reorder(order, count, inverse);
    MarkChanged();
    return true;
}

bool CFaceList::UpdateIndex(const unsigned int* remap, unsigned int count, bool liveOnly) {
    if (!remap || count == 0) return false;
    // Every index is rewritten, unchanged ones with their own value, so that the loop carries no
    // branch on the remap's content (a weld changes most indices, a clean-up few).
    bool changed = false;
    const uint8_t* flags = static_cast<const uint8_t*>(m_pMainData->GetData());
    const size_t stride = size_t(m_pMainData->GetSizeOfElement());
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
        if (liveOnly && !IsLiveFaceFlags(*reinterpret_cast<const unsigned*>(flags + i * stride))) continue;
        CFaceCollection::Element* e = m_faces.GetElement(i);
        const unsigned n = e->m_nCount;
        int* v = e->GetData();
        for (unsigned k = 0; k < n; ++k) {
            const unsigned old = unsigned(v[k]);
            if (old >= count) continue;
            const unsigned mapped = remap[old];
            const unsigned to = mapped == REMAP_REMOVED ? old : mapped;
            changed |= to != old;
            v[k] = int(to);
        }
    }
    if (changed) MarkChanged();
    return changed;
}

bool CFaceList::UpdateIndex(const CXArray<unsigned int>* remap, bool liveOnly) {
    if (!remap) return false;
    return UpdateIndex(remap->GetData(), unsigned(remap->GetSize()), liveOnly);
}

void CFaceList::SaveFacesIndex() {
    AddDataChunk(FACE_CHUNK_ORIGINAL_INDEX, SharedElementMethods<COriginalIndexMethods>());
    uint32_t* v = static_cast<uint32_t*>(m_dataChunks.GetData(FACE_CHUNK_ORIGINAL_INDEX)->GetData());
    for (int i = 0; i < m_nFaces; ++i) v[i] = uint32_t(i);
}

unsigned int CFaceList::GetOriginalIndex(unsigned int i) const {
    const void* p = m_dataChunks.GetData(FACE_CHUNK_ORIGINAL_INDEX, int(i));
    return p ? *static_cast<const uint32_t*>(p) : REMAP_REMOVED;
}

// ---- data chunks ---------------------------------------------------------------------------------

int CFaceList::AddDataChunk(uint32_t id, CElementMethods* methods) {
    if (id == FACE_CHUNK_MAIN) {
        // The typed accessors read the main data with this list's layout.
        CElementMethods* expected = GetMainMethods();
        if (!methods || methods->GetType() != expected->GetType() || methods->GetSizeof() != expected->GetSizeof())
            XThrow<CXInvalidArgException>("CFaceList::AddDataChunk: main data of another layout");
        int n = m_dataChunks.AddDataChunk(id, methods, DATACHUNK_ALWAYS_NEW | DATACHUNK_MAIN | DATACHUNK_COPY);
        m_pMainData = m_dataChunks.GetMainArray();
        return n;
    }
    return m_dataChunks.AddDataChunk(id, methods, DATACHUNK_ALWAYS_NEW | DATACHUNK_COPY);
}

bool CFaceList::RemoveDataChunk(uint32_t id) {
    if (id == FACE_CHUNK_MAIN) return false;
    return m_dataChunks.RemoveDataChunk(id);
}

void CFaceList::InheritSettings(const CFaceList& other) {
    if (&other == this) return;
    m_dataChunks.AddMissingChunks(other.m_dataChunks);
    m_faces.SetTypicalLength(other.m_faces.GetTypicalLength());
    m_nFlags = (m_nFlags & ~unsigned(FACELIST_PERSISTENT)) | (other.m_nFlags & FACELIST_PERSISTENT);
}

// ---- change tracking and checksum ----------------------------------------------------------------

void CFaceList::SetFlag(_FACELIST_PROPERTIES flag, bool set) {
    if (!set) {
        m_nFlags &= ~unsigned(flag);
        return;
    }
    m_nFlags |= unsigned(flag);
    if (flag & FACELIST_CHANGED) ++m_nChangedStamp;
}

uint32_t CFaceList::GetChecksum(unsigned int mask) const {
    if (!(mask & 0xCu)) return 0;
    uint32_t h = 0;
    if (mask & 0x4u) {
        for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
            if (!IsLiveFaceFlags(GetFaceFlags(i))) continue;
            unsigned n;
            const int* v = m_faces.Get(i, n);
            for (unsigned k = 0; k < n; ++k) h = WangHash32(uint32_t(v[k]) + h);
        }
    }
    if (mask & 0x8u) {
        int pos;
        uint32_t id;
        for (CElementArray* a = m_dataChunks.GetFirstChunk(pos, id); a; a = m_dataChunks.GetNextChunk(pos, id))
            h += HashMix64((uint64_t(id) << 32) | a->GetChecksum());
    }
    return h;
}

// ---- serialisation -------------------------------------------------------------------------------

void CFaceList::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << int32_t(m_nFaces) << uint32_t(m_nFlags & FACELIST_PERSISTENT);
        m_faces.Serialize(ar);
        m_dataChunks.Serialize(ar);
        return;
    }
    RemoveAll();
    try {
        int32_t count = 0;
        uint32_t flags = 0;
        ar >> count >> flags;
        if (count < 0) XThrow<CXArchiveException>(CXArchiveException::badIndex, "negative face count");
        m_faces.Serialize(ar);
        m_dataChunks.Serialize(ar);
        if (m_faces.GetSize() != unsigned(count) || m_dataChunks.GetDataSize() != count)
            XThrow<CXArchiveException>(CXArchiveException::badIndex, "face records or chunks do not match the count");
        EnsureMainChunk();
        m_nFaces = count;
        m_nFlags = flags;
    } catch (...) {
        // Leave an empty, consistent list behind.
        m_faces.RemoveAll();
        m_dataChunks.DeleteAll();
        EnsureMainChunk();
        m_nFaces = 0;
        ++m_nChangedStamp;
        throw;
    }
    ++m_nChangedStamp;
}

// ---- C3DFaceList ---------------------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(C3DFaceList, CFaceList, 1)

C3DFaceList::C3DFaceList()
    : CFaceList(SharedElementMethods<C3DFacePropertyMethods>()), m_pFBMaterialMap(nullptr), m_pFaceGridMap(nullptr) {}

C3DFaceList::~C3DFaceList() { C3DFaceList::DeleteCaches(); }

C3DFaceList* C3DFaceList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(C3DFaceList))) return nullptr;
    return static_cast<C3DFaceList*>(object);
}

CElementMethods* C3DFaceList::GetMainMethods() const { return SharedElementMethods<C3DFacePropertyMethods>(); }

void C3DFaceList::DeleteCaches() {
    CFaceList::DeleteCaches();
    DeleteFBMaterialsHashMap();
    DeleteFaceGridMap();
}

CFace* C3DFaceList::CreateFace() const { return new C3DFace; }

void C3DFaceList::SetFaceGridMapObject(CInstanciatedObject* map) {
    if (map == m_pFaceGridMap) return;
    XRelease(m_pFaceGridMap);
    m_pFaceGridMap = map;
}

void C3DFaceList::DeleteFaceGridMap() { XRelease(m_pFaceGridMap); }

bool C3DFaceList::SetFaceMaterial(unsigned int i, unsigned int material) {
    if (i >= unsigned(m_nFaces)) return false;
    static_cast<unsigned*>(MainSlot(i))[1] = material;
    return true;
}

unsigned int C3DFaceList::GetBackFaceMaterial(unsigned int i, bool orFront) const {
    if (i >= unsigned(m_nFaces)) return 0xFFFFFFFFu;
    const void* p = m_dataChunks.GetData(FACE_CHUNK_BACK_MATERIAL, int(i));
    unsigned back = p ? *static_cast<const unsigned*>(p) : 0xFFFFFFFFu;
    if (orFront && back == 0xFFFFFFFFu) back = GetFaceMaterial(i);
    return back;
}

bool C3DFaceList::SetBackFaceMaterial(unsigned int i, unsigned int material) {
    if (i >= unsigned(m_nFaces)) return false;
    if (!HasBackFaceMaterials()) AddDataChunk(FACE_CHUNK_BACK_MATERIAL, SharedElementMethods<CBackFaceMaterialMethods>());
    *static_cast<unsigned*>(m_dataChunks.GetData(FACE_CHUNK_BACK_MATERIAL, int(i))) = material;
    return true;
}

FBMaterialID C3DFaceList::GetFBFaceMaterial(unsigned int i) const {
    FBMaterialID id;
    id.front = GetFaceMaterial(i);
    const void* p = i < unsigned(m_nFaces) ? m_dataChunks.GetData(FACE_CHUNK_BACK_MATERIAL, int(i)) : nullptr;
    id.back = p ? *static_cast<const unsigned*>(p) : 0xFFFFFFFFu;
    return id;
}

bool C3DFaceList::RemoveBackFaceMaterials() { return m_dataChunks.RemoveDataChunk(FACE_CHUNK_BACK_MATERIAL); }

bool C3DFaceList::CompareBackAndFrontMaterials() const {
    const CElementArray* back = m_dataChunks.GetData(FACE_CHUNK_BACK_MATERIAL);
    if (!back) return true;
    const unsigned* b = static_cast<const unsigned*>(back->GetData());
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
        const unsigned* d = static_cast<const unsigned*>(MainSlot(i));
        if (!IsLiveFaceFlags(d[0])) continue;
        if (b[i] != 0xFFFFFFFFu && b[i] != d[1]) return false;
    }
    return true;
}

bool C3DFaceList::ReplaceMaterial(unsigned int from, unsigned int to) {
    if (from == to) return false;
    bool changed = false;
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
        unsigned* d = static_cast<unsigned*>(MainSlot(i));
        if (d[1] == from) {
            d[1] = to;
            changed = true;
        }
    }
    if (CElementArray* back = m_dataChunks.GetData(FACE_CHUNK_BACK_MATERIAL)) {
        unsigned* b = static_cast<unsigned*>(back->GetData());
        for (int i = 0; i < back->GetSize(); ++i)
            if (b[i] == from) {
                b[i] = to;
                changed = true;
            }
    }
    if (changed) {
        DeleteFBMaterialsHashMap();
        MarkChanged();
    }
    return changed;
}

bool C3DFaceList::Flip(unsigned int i) {
    unsigned n;
    int* v = m_faces.Get(i, n);
    if (!v) return false;
    std::reverse(v, v + n);
    return true;
}

bool C3DFaceList::GetBoundingBox(const C3DPointList& points, C3DTBBox<float>& box,
                                 const C4x4TMatrix<float>* transform) const {
    box.Empty();
    const int pointCount = points.GetSize();
    if (pointCount == 0) return false;
    // Mark the used points first so that each is added (and transformed) once.
    CBitArray used(pointCount);
    for (unsigned i = 0; i < unsigned(m_nFaces); ++i) {
        if (!IsLiveFaceFlags(GetFaceFlags(i))) continue;
        unsigned n;
        const int* v = m_faces.Get(i, n);
        for (unsigned k = 0; k < n; ++k)
            if (v[k] >= 0 && v[k] < pointCount) used.Set(v[k]);
    }
    const C3DTPoint<float>* p = points.GetPoints();
    for (int i = 0; i < pointCount; ++i) {
        if (!used.Get(i)) continue;
        if (transform)
            box.Add(transform->TransformPoint(p[i]));
        else
            box.Add(p[i]);
    }
    return !box.IsEmpty();
}

}  // namespace kestovar
