#include "kestovar/core/data_chunk.h"

#include <climits>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"

namespace kestovar {

CDataChunk::CDataChunk() : m_nPreAllocated(0), m_nDataSize(0), m_nGrowBy(0), m_chunks(21), m_mainId(0), m_pMainData(nullptr) {}

CDataChunk::~CDataChunk() { DeleteAll(); }

CElementArray* CDataChunk::CreateArray(CElementMethods* methods) const {
    CElementArray* array = new CElementArray(methods, m_nGrowBy);
    try {
        if (m_nPreAllocated > 0) array->PreAllocate(m_nPreAllocated);
        array->SetSize(m_nDataSize, true);
    } catch (...) {
        delete array;
        throw;
    }
    return array;
}

void CDataChunk::DropChunk(uint32_t id, _DataChunkEntry& entry) {
    if (entry.array == m_pMainData) SetMain(0, nullptr);
    delete entry.array;
    entry.array = nullptr;
    m_chunks.Remove(id);
}

// Makes `entry` (under `id`) the main chunk, or clears the main chunk when `entry` is null. Only
// one chunk carries DATACHUNK_MAIN at a time.
void CDataChunk::SetMain(uint32_t id, _DataChunkEntry* entry) {
    if (m_pMainData && m_mainId != id) {
        if (_DataChunkEntry* old = m_chunks.Find(m_mainId)) old->options = uint8_t(old->options & ~DATACHUNK_MAIN);
    }
    m_mainId = entry ? id : 0;
    m_pMainData = entry ? entry->array : nullptr;
}

int CDataChunk::AddDataChunk(uint32_t id, CElementMethods* methods, unsigned int options) {
    if (!methods) XThrow<CXInvalidArgException>("CDataChunk::AddDataChunk: null element table");
    const uint8_t stored = uint8_t(options & 0xFFu);
    if (_DataChunkEntry* existing = m_chunks.Find(id)) {
        CElementArray* array = existing->array;
        if (!(options & DATACHUNK_ALWAYS_NEW) && array->GetTypeOfElement() == methods->GetType() &&
            array->GetSizeOfElement() == methods->GetSizeof()) {
            array->SetMethods(methods);
            existing->options = stored;
            if (stored & DATACHUNK_MAIN)
                SetMain(id, existing);
            else if (array == m_pMainData)
                SetMain(0, nullptr);
            return GetChunksNbr();
        }
    }
    // The new array takes its reference on `methods` before the old one lets go: the old chunk may
    // hold the table's last reference (a host re-adding a chunk with its own table). A failed
    // allocation leaves the old chunk in place.
    _DataChunkEntry entry{CreateArray(methods), stored};
    if (_DataChunkEntry* existing = m_chunks.Find(id)) DropChunk(id, *existing);
    m_chunks.Insert(id, entry);
    if (stored & DATACHUNK_MAIN) SetMain(id, m_chunks.Find(id));
    return GetChunksNbr();
}

void* CDataChunk::GetData(uint32_t id, int index) const {
    const _DataChunkEntry* entry = m_chunks.Find(id);
    return entry ? const_cast<CElementArray*>(entry->array)->ElementAt(index) : nullptr;
}

CElementArray* CDataChunk::GetData(uint32_t id) const {
    const _DataChunkEntry* entry = m_chunks.Find(id);
    return entry ? entry->array : nullptr;
}

bool CDataChunk::RemoveDataChunk(uint32_t id) {
    _DataChunkEntry* entry = m_chunks.Find(id);
    if (!entry) return false;
    DropChunk(id, *entry);
    return true;
}

unsigned int CDataChunk::GetChunkOptions(uint32_t id) const {
    const _DataChunkEntry* entry = m_chunks.Find(id);
    return entry ? entry->options : 0u;
}

CElementArray* CDataChunk::GetFirstChunk(int& position, uint32_t& id, unsigned int* options) const {
    position = kHashStartPosition;
    return GetNextChunk(position, id, options);
}

CElementArray* CDataChunk::GetNextChunk(int& position, uint32_t& id, unsigned int* options) const {
    const auto* slot = m_chunks.GetNextSlot(position);
    if (!slot) return nullptr;
    id = slot->key;
    if (options) *options = slot->value.options;
    return slot->value.array;
}

int CDataChunk::GetSizeOfDataChunk(uint32_t id) const {
    const _DataChunkEntry* entry = m_chunks.Find(id);
    return entry ? entry->array->GetSizeOfElement() : 0;
}

void CDataChunk::SetDataSize(int size, bool keepMemory, int grow) {
    if (size < 0) XThrow<CXInvalidArgException>("CDataChunk::SetDataSize: negative size");
    if (grow != -1) SetGrowFactor(grow);
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) slot->value.array->SetSize(size, keepMemory);
    m_nDataSize = size;
}

int CDataChunk::ExpandDataSize(int count) {
    if (count < 0 || int64_t(m_nDataSize) + count > INT_MAX)
        XThrow<CXInvalidArgException>("CDataChunk::ExpandDataSize: bad count");
    int first = m_nDataSize;
    SetDataSize(first + count, true);
    return first;
}

void CDataChunk::PreAllocate(int count) {
    if (count < 0) XThrow<CXInvalidArgException>("CDataChunk::PreAllocate: negative count");
    m_nPreAllocated = count;
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) slot->value.array->PreAllocate(count);
    m_nDataSize = 0;
}

void CDataChunk::FreeExtra() {
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) slot->value.array->FreeExtra();
}

void CDataChunk::SetGrowFactor(int grow) {
    m_nGrowBy = (grow >= 0 || grow == -2) ? grow : 0;
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) slot->value.array->SetGrowFactor(m_nGrowBy);
}

bool CDataChunk::Reorder(const unsigned int* order, unsigned int count, bool inverse) {
    if (count != unsigned(m_nDataSize)) return false;
    // Every chunk holds data-size elements, so the permutation either fits them all or none
    // (the first chunk rejects a bad table before anything moved).
    bool done = true;
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos))
        if (!slot->value.array->Reorder(order, count, inverse)) done = false;
    return done;
}

void CDataChunk::CopyData(int dst, int src) {
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) slot->value.array->Copy(dst, src, *slot->value.array);
}

void CDataChunk::CopyData(int dst, const CDataChunk& other, int src, int count) {
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) {
        const _DataChunkEntry* from = other.m_chunks.Find(slot->key);
        if (!from) continue;
        CElementArray* array = slot->value.array;
        // Within one array an overlapping range is copied back to front when it moves up, so that
        // no element is overwritten before it is read.
        if (from->array == array && dst > src) {
            for (int i = count - 1; i >= 0; --i) array->Copy(dst + i, src + i, *array);
        } else {
            for (int i = 0; i < count; ++i) array->Copy(dst + i, src + i, *from->array);
        }
    }
}

void CDataChunk::CopyData(const CDataChunk& other) {
    if (&other == this) return;
    const int size = other.m_nDataSize;
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) {
        CElementArray* array = slot->value.array;
        const _DataChunkEntry* from = other.m_chunks.Find(slot->key);
        if (from && array->Copy(*from->array, true) && array->GetSize() == size) continue;
        // No counterpart (or an incompatible one): fresh elements.
        array->SetSize(0, true);
        array->SetSize(size, true);
    }
    m_nDataSize = size;
}

void CDataChunk::InitDataChunks(const CDataChunk& other, unsigned int optionsMask) {
    if (&other == this) return;
    DeleteAll();
    m_nGrowBy = other.m_nGrowBy;
    int pos = kHashStartPosition;
    while (const auto* slot = other.m_chunks.GetNextSlot(pos)) {
        const unsigned options = slot->value.options;
        if (optionsMask != 0 && (options & optionsMask) == 0) continue;
        AddDataChunk(slot->key, slot->value.array->GetMethods(), options);
    }
}

void CDataChunk::AddMissingChunks(const CDataChunk& other) {
    if (&other == this) return;
    int pos = kHashStartPosition;
    while (const auto* slot = other.m_chunks.GetNextSlot(pos)) {
        const unsigned options = slot->value.options;
        if ((options & DATACHUNK_MAIN) || !(options & DATACHUNK_COPY) || HasDataChunk(slot->key)) continue;
        AddDataChunk(slot->key, slot->value.array->GetMethods(), options);
    }
}

int CDataChunk::AppendDataChunks(const CDataChunk& other) {
    const int first = m_nDataSize;
    const int count = other.m_nDataSize;  // read first: `other` may be this set
    ExpandDataSize(count);
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) {
        const _DataChunkEntry* from = other.m_chunks.Find(slot->key);
        if (!from) continue;
        for (int i = 0; i < count; ++i) slot->value.array->Copy(first + i, i, *from->array);
    }
    return first;
}

void CDataChunk::RemoveAll() {
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) slot->value.array->RemoveAll();
    m_nDataSize = 0;
}

void CDataChunk::DeleteAll() {
    int pos = kHashStartPosition;
    while (auto* slot = m_chunks.GetNextSlot(pos)) {
        delete slot->value.array;
        slot->value.array = nullptr;
    }
    m_chunks.RemoveAll();
    m_mainId = 0;
    m_pMainData = nullptr;
    m_nDataSize = 0;
}

void CDataChunk::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar << uint32_t(m_chunks.GetCount()) << uint32_t(m_nDataSize) << uint32_t(m_nGrowBy);
        int pos = kHashStartPosition;
        while (auto* slot = m_chunks.GetNextSlot(pos)) {
            CElementArray* array = slot->value.array;
            ar << uint32_t(slot->key) << uint32_t(slot->value.options);
            CElementMethods* methods = array->GetMethods();
            const CXRuntimeClass* cls = methods ? methods->GetRuntimeClassDescriptor() : nullptr;
            if (!cls || !cls->m_pfnCreateObject) {
                ar << uint32_t(0);
                continue;
            }
            ar << uint32_t(1);
            ar.WriteClass(cls);
            if (array->GetSize() < m_nDataSize) array->SetSize(m_nDataSize, true);
            array->StoreElements(ar, m_nDataSize);
        }
        return;
    }

    DeleteAll();
    uint32_t count = 0, size = 0, grow = 0;
    ar >> count >> size >> grow;
    if (size > uint32_t(INT_MAX)) XThrow<CXArchiveException>(CXArchiveException::badIndex, "data size out of range");
    SetGrowFactor(CElementArray::CheckLoadedGrowFactor(int32_t(grow)));
    m_nDataSize = int(size);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t id = 0, options = 0, hasClass = 0;
        ar >> id >> options >> hasClass;
        if (hasClass == 0) continue;
        if (hasClass != 1) XThrow<CXArchiveException>(CXArchiveException::badIndex, "bad data chunk class flag");
        const CXRuntimeClass* cls = ar.ReadClass(KX_RUNTIME_CLASS(CElementMethods));
        CXObject* object = cls ? cls->CreateObject() : nullptr;
        if (!object) XThrow<CXArchiveException>(CXArchiveException::badClass, "data chunk table cannot be created");
        XHeld<CElementMethods> methods(static_cast<CElementMethods*>(object));
        CElementArray* array = new CElementArray(methods.get(), m_nGrowBy);
        methods.reset();  // the array holds the reference
        _DataChunkEntry entry{array, uint8_t(options & 0xFFu)};
        try {
            array->LoadElements(ar, m_nDataSize);
            if (_DataChunkEntry* existing = m_chunks.Find(id)) DropChunk(id, *existing);
            m_chunks.Insert(id, entry);
        } catch (...) {
            delete array;
            throw;
        }
        if (entry.options & DATACHUNK_MAIN) SetMain(id, m_chunks.Find(id));
    }
}

}  // namespace kestovar
