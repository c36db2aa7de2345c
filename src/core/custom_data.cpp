#include "kestovar/core/custom_data.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "core/hex_digit.h"
#include "kestovar/core/archive.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/runtime.h"
#include "kestovar/platform/file.h"
#include "kestovar/platform/path.h"
#include "kestovar/platform/time.h"

namespace kestovar {

KX_IMPLEMENT_SERIAL(CCustomData, CXObject, 1)

CCustomDataClass::~CCustomDataClass() = default;

namespace {

using OffsetMap = CHashMap<unsigned, unsigned, unsigned, CHashMethods<unsigned>>;

constexpr unsigned kHeader = CCustomData::kEntryHeaderSize;
constexpr unsigned kFirstAllocation = 128;
// Largest block: its serialised total (used + 20) must still fit the u32 size field, and every
// offset stays an unsigned.
constexpr uint64_t kMaxBlock = 0x7FFFFFFFu;

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// An xmalloc'd byte buffer released on scope exit.
struct CBuffer {
    uint8_t* data = nullptr;
    CBuffer() = default;
    explicit CBuffer(size_t size) {
        data = static_cast<uint8_t*>(xmalloc(size ? size : 1));
        if (!data) XThrow<CXMemoryException>();
    }
    ~CBuffer() { xfree(data); }
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;
    uint8_t* Release() {
        uint8_t* p = data;
        data = nullptr;
        return p;
    }
};

// Walks a block and checks that its entries tile it exactly (every header and payload inside,
// the last entry ending at the end). Fills `count` and `payload` (sum of payload sizes).
bool WalkBlock(const uint8_t* block, unsigned size, unsigned& count, uint64_t& payload) {
    count = 0;
    payload = 0;
    unsigned offset = 0;
    while (offset < size) {
        if (size - offset < kHeader) return false;
        uint32_t entrySize = Load32(block + offset + 4);
        if (entrySize > size - offset - kHeader) return false;
        offset += kHeader + entrySize;
        payload += entrySize;
        ++count;
    }
    return true;
}

// Builds the offset map of a block that WalkBlock accepted, sized for its `count` entries.
// False when an identifier repeats.
bool BuildMap(const uint8_t* block, unsigned size, unsigned count, OffsetMap& map) {
    unsigned want = 2 * count + 2;
    map.InitHashTable(want < 5 ? 5 : want);
    for (unsigned offset = 0; offset < size; offset += kHeader + Load32(block + offset + 4))
        if (map.Insert(Load32(block + offset), offset) == 0) return false;
    return true;
}

// A snapshot of another set's block, taken under that set's lock, so that operations between
// two sets never hold both locks (and so cannot deadlock against each other).
struct CSnapshot {
    CBuffer block;
    unsigned size = 0;
    unsigned legacy = 0;
    explicit CSnapshot(const CCustomData& source) {
        CXSingleLock lock(&source.GetLock(), true);
        unsigned n = 0;
        const uint8_t* data = source.GetData(n);
        size = n;
        legacy = source.GetLegacyFlag();
        if (n) {
            block.data = static_cast<uint8_t*>(xmalloc(n));
            if (!block.data) XThrow<CXMemoryException>();
            std::memcpy(block.data, data, n);
        }
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction

CCustomData::CCustomData() : m_legacy(0), m_block(nullptr), m_size(0), m_capacity(0) {}

CCustomData::CCustomData(const CCustomData& other)
    : CXObject(other), m_legacy(0), m_block(nullptr), m_size(0), m_capacity(0) {
    Copy(other);
}

CCustomData& CCustomData::operator=(const CCustomData& other) {
    Copy(other);
    return *this;
}

CCustomData::~CCustomData() { xfree(m_block); }

// ---------------------------------------------------------------------------------------------
// Block maintenance (callers hold the lock)

unsigned CCustomData::FindEntry(uint32_t identifier) const {
    const unsigned* offset = m_offsets.Find(identifier);
    if (!offset) return kNotFound;
    return *offset;
}

void CCustomData::Empty() {
    xfree(m_block);
    m_block = nullptr;
    m_size = m_capacity = 0;
    m_offsets.RemoveAll();
}

void CCustomData::RemoveAt(unsigned offset) {
    uint32_t identifier = Load32(m_block + offset);
    unsigned entrySize = kHeader + Load32(m_block + offset + 4);
    m_offsets.Remove(identifier);
    if (m_offsets.GetCount() == 0) {
        Empty();
        return;
    }
    unsigned tail = offset + entrySize;
    std::memmove(m_block + offset, m_block + tail, m_size - tail);
    m_size -= entrySize;
    // The entries after the gap moved down by entrySize.
    for (unsigned p = offset; p < m_size; p += kHeader + Load32(m_block + p + 4)) m_offsets.Insert(Load32(m_block + p), p);
}

uint8_t* CCustomData::PrepareEntry(uint32_t identifier, unsigned size, uint32_t kind) {
    unsigned offset = FindEntry(identifier);
    if (offset != kNotFound) {
        if (Load32(m_block + offset + 4) == size) {
            Store32(m_block + offset + 8, kind);
            return size ? m_block + offset + kHeader : nullptr;
        }
        RemoveAt(offset);
    }
    if (size == 0) return nullptr;

    uint64_t needed = uint64_t(m_size) + kHeader + size;
    if (needed > kMaxBlock) XThrow<CXMemoryException>("custom data block too large");
    if (!m_block) {
        unsigned capacity = needed < kFirstAllocation ? kFirstAllocation : unsigned(needed);
        m_block = static_cast<uint8_t*>(xmalloc(capacity));
        if (!m_block) XThrow<CXMemoryException>();
        m_capacity = capacity;
    } else if (needed > m_capacity) {
        uint64_t capacity = needed * 3 / 2;  // needed * 1.5, truncated
        if (capacity > 0xFFFFFFFFu) capacity = 0xFFFFFFFFu;
        void* grown = xrealloc(m_block, size_t(capacity));
        if (!grown) XThrow<CXMemoryException>();
        m_block = static_cast<uint8_t*>(grown);
        m_capacity = unsigned(capacity);
    }
    uint8_t* entry = m_block + m_size;
    Store32(entry, identifier);
    Store32(entry + 4, size);
    Store32(entry + 8, kind);
    m_offsets.Insert(identifier, m_size);
    m_size = unsigned(needed);
    return entry + kHeader;
}

// ---------------------------------------------------------------------------------------------
// Generic access

void CCustomData::SetCustom(uint32_t identifier, const void* data, unsigned size, uint32_t kind) {
    if (size && !data) XThrow<CXInvalidArgException>("CCustomData::SetCustom: null data");
    CXSingleLock lock(&m_section, true);
    // The data may come from this very block (GetCustomPtr), which PrepareEntry may move.
    CBuffer copy;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (size && m_block && bytes >= m_block && bytes < m_block + m_capacity) {
        copy.data = static_cast<uint8_t*>(xmalloc(size));
        if (!copy.data) XThrow<CXMemoryException>();
        std::memcpy(copy.data, bytes, size);
        bytes = copy.data;
    }
    uint8_t* payload = PrepareEntry(identifier, size, kind);
    if (payload) std::memcpy(payload, bytes, size);
}

bool CCustomData::GetCustom(uint32_t identifier, void* data, unsigned size, uint32_t kind) const {
    CXSingleLock lock(&m_section, true);
    unsigned offset = FindEntry(identifier);
    if (offset == kNotFound || Load32(m_block + offset + 4) != size) return false;
    if (!m_legacy && kind != CUSTOM_KIND_ANY && Load32(m_block + offset + 8) != kind) return false;
    if (size) std::memcpy(data, m_block + offset + kHeader, size);
    return true;
}

template <class T>
bool CCustomData::GetValue(uint32_t identifier, T& value, const T& defaultValue, uint32_t kind) const {
    if (GetCustom(identifier, &value, unsigned(sizeof(T)), kind)) return true;
    value = defaultValue;
    return false;
}

const void* CCustomData::GetCustomPtr(uint32_t identifier, unsigned* size, uint32_t* kind) const {
    CXSingleLock lock(&m_section, true);
    unsigned offset = FindEntry(identifier);
    if (offset == kNotFound) {
        if (size) *size = 0;
        if (kind) *kind = 0;
        return nullptr;
    }
    if (size) *size = Load32(m_block + offset + 4);
    if (kind) *kind = Load32(m_block + offset + 8);
    return m_block + offset + kHeader;
}

// ---------------------------------------------------------------------------------------------
// Typed setters and getters

void CCustomData::SetBool(uint32_t identifier, bool value) {
    int32_t v = value ? 1 : 0;
    SetCustom(identifier, &v, 4, CUSTOM_KIND_BOOL);
}
void CCustomData::SetChar(uint32_t identifier, char value) { SetCustom(identifier, &value, 1, CUSTOM_KIND_CHAR); }
void CCustomData::SetUChar(uint32_t identifier, unsigned char value) {
    SetCustom(identifier, &value, 1, CUSTOM_KIND_UCHAR);
}
void CCustomData::SetInt(uint32_t identifier, int32_t value) { SetCustom(identifier, &value, 4, CUSTOM_KIND_INT); }
void CCustomData::SetUInt(uint32_t identifier, uint32_t value) { SetCustom(identifier, &value, 4, CUSTOM_KIND_UINT); }
void CCustomData::SetLong(uint32_t identifier, int32_t value) { SetCustom(identifier, &value, 4, CUSTOM_KIND_LONG); }
void CCustomData::SetULong(uint32_t identifier, uint32_t value) { SetCustom(identifier, &value, 4, CUSTOM_KIND_ULONG); }
void CCustomData::SetLongInt(uint32_t identifier, int64_t value) {
    SetCustom(identifier, &value, 8, CUSTOM_KIND_LONGLONG);
}
void CCustomData::SetULongInt(uint32_t identifier, uint64_t value) {
    SetCustom(identifier, &value, 8, CUSTOM_KIND_ULONGLONG);
}
void CCustomData::SetSizet(uint32_t identifier, size_t value) { SetULongInt(identifier, uint64_t(value)); }
void CCustomData::SetFloat(uint32_t identifier, float value) { SetCustom(identifier, &value, 4, CUSTOM_KIND_FLOAT); }
void CCustomData::SetDouble(uint32_t identifier, double value) {
    SetCustom(identifier, &value, 8, CUSTOM_KIND_DOUBLE);
}
void CCustomData::SetPtr(uint32_t identifier, const void* value) {
    uint64_t v = uint64_t(reinterpret_cast<uintptr_t>(value));
    SetCustom(identifier, &v, 8, CUSTOM_KIND_POINTER);
}

bool CCustomData::GetBool(uint32_t identifier, bool& value, bool defaultValue) const {
    int32_t v;
    if (!GetCustom(identifier, &v, 4, CUSTOM_KIND_BOOL)) {
        value = defaultValue;
        return false;
    }
    value = v != 0;
    return true;
}
bool CCustomData::GetBool(uint32_t identifier, int& value, int defaultValue) const {
    return GetValue<int>(identifier, value, defaultValue, CUSTOM_KIND_BOOL);
}
bool CCustomData::GetChar(uint32_t identifier, char& value, char defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_CHAR);
}
bool CCustomData::GetUChar(uint32_t identifier, unsigned char& value, unsigned char defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_UCHAR);
}
bool CCustomData::GetInt(uint32_t identifier, int32_t& value, int32_t defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_INT);
}
bool CCustomData::GetUInt(uint32_t identifier, uint32_t& value, uint32_t defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_UINT);
}
bool CCustomData::GetLong(uint32_t identifier, int32_t& value, int32_t defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_LONG);
}
bool CCustomData::GetULong(uint32_t identifier, uint32_t& value, uint32_t defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_ULONG);
}
bool CCustomData::GetLongInt(uint32_t identifier, int64_t& value, int64_t defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_LONGLONG);
}
bool CCustomData::GetULongInt(uint32_t identifier, uint64_t& value, uint64_t defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_ULONGLONG);
}
bool CCustomData::GetSizet(uint32_t identifier, size_t& value, size_t defaultValue) const {
    uint64_t v;
    if (!GetCustom(identifier, &v, 8, CUSTOM_KIND_ULONGLONG)) {
        value = defaultValue;
        return false;
    }
    value = size_t(v);
    return true;
}
bool CCustomData::GetFloat(uint32_t identifier, float& value, float defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_FLOAT);
}
bool CCustomData::GetDouble(uint32_t identifier, double& value, double defaultValue) const {
    return GetValue(identifier, value, defaultValue, CUSTOM_KIND_DOUBLE);
}
bool CCustomData::GetPtr(uint32_t identifier, void*& value, void* defaultValue) const {
    uint64_t v;
    if (!GetCustom(identifier, &v, 8, CUSTOM_KIND_POINTER)) {
        value = defaultValue;
        return false;
    }
    value = reinterpret_cast<void*>(uintptr_t(v));
    return true;
}

void CCustomData::SetString(uint32_t identifier, const wchar_t* text) {
    size_t length = xStrLen(text);
    size_t bytes = xEncodeUTF16LE(text, length, nullptr);
    if (bytes + 2 > kMaxBlock) XThrow<CXMemoryException>("custom data block too large");
    CXSingleLock lock(&m_section, true);
    uint8_t* payload = PrepareEntry(identifier, unsigned(bytes + 2), CUSTOM_KIND_UNICODE);
    xEncodeUTF16LE(text, length, payload);
    payload[bytes] = payload[bytes + 1] = 0;
}

void CCustomData::SetString(uint32_t identifier, const CXTString<wchar_t>& text) {
    // Up to the first zero, as the stored form is read back.
    SetString(identifier, text.GetString());
}

void CCustomData::SetStringA(uint32_t identifier, const char* text) {
    size_t length = xStrLen(text);
    if (length + 1 > kMaxBlock) XThrow<CXMemoryException>("custom data block too large");
    CXSingleLock lock(&m_section, true);
    if (length && m_block && reinterpret_cast<const uint8_t*>(text) >= m_block &&
        reinterpret_cast<const uint8_t*>(text) < m_block + m_capacity) {
        CXTString<char> copy(text, int(length));
        SetStringA(identifier, copy.GetString());
        return;
    }
    uint8_t* payload = PrepareEntry(identifier, unsigned(length + 1), CUSTOM_KIND_ANSI);
    if (length) std::memcpy(payload, text, length);
    payload[length] = 0;
}

void CCustomData::SetStringA(uint32_t identifier, const CXTString<char>& text) { SetStringA(identifier, text.GetString()); }

bool CCustomData::GetString(uint32_t identifier, CXTString<wchar_t>& text, const wchar_t* defaultText) const {
    CXSingleLock lock(&m_section, true);
    unsigned offset = FindEntry(identifier);
    if (offset != kNotFound) {
        unsigned size = Load32(m_block + offset + 4);
        uint32_t kind = Load32(m_block + offset + 8);
        if ((m_legacy || kind == CUSTOM_KIND_UNICODE) && size % 2 == 0) {
            const uint8_t* payload = m_block + offset + kHeader;
            unsigned units = 0;
            while (units < size / 2 && (payload[2 * units] | payload[2 * units + 1])) ++units;
            xDecodeUTF16LE(payload, size_t(units) * 2, text);
            return true;
        }
    }
    text = defaultText ? defaultText : L"";
    return false;
}

bool CCustomData::GetStringA(uint32_t identifier, CXTString<char>& text, const char* defaultText) const {
    CXSingleLock lock(&m_section, true);
    unsigned offset = FindEntry(identifier);
    if (offset != kNotFound) {
        unsigned size = Load32(m_block + offset + 4);
        uint32_t kind = Load32(m_block + offset + 8);
        if (m_legacy || kind == CUSTOM_KIND_ANSI) {
            const char* payload = reinterpret_cast<const char*>(m_block + offset + kHeader);
            unsigned length = 0;
            while (length < size && payload[length]) ++length;
            text.SetString(payload, int(length));
            return true;
        }
    }
    text = defaultText ? defaultText : "";
    return false;
}

void CCustomData::SetTime(uint32_t identifier, const CXTime& time) {
    uint8_t bytes[CXTime::SERIALIZED_SIZE];
    time.ToBytes(bytes);
    SetCustom(identifier, bytes, CXTime::SERIALIZED_SIZE, CUSTOM_KIND_TIME);
}

bool CCustomData::GetTime(uint32_t identifier, CXTime& time, const CXTime& defaultTime) const {
    uint8_t bytes[CXTime::SERIALIZED_SIZE];
    CXTime read;
    if (GetCustom(identifier, bytes, CXTime::SERIALIZED_SIZE, CUSTOM_KIND_TIME) && read.FromBytes(bytes)) {
        time = read;
        return true;
    }
    time = defaultTime;
    return false;
}

void CCustomData::SetCustomData(uint32_t identifier, const CCustomData& nested) {
    unsigned size = 0;
    CBuffer data;
    data.data = nested.SerializeToData(size);
    SetCustom(identifier, data.data, size, CUSTOM_KIND_CUSTOMDATA);
}

bool CCustomData::GetCustomData(uint32_t identifier, CCustomData& nested) const {
    // Copy the payload out first: `nested` may be this set.
    CBuffer copy;
    unsigned size = 0;
    {
        CXSingleLock lock(&m_section, true);
        unsigned offset = FindEntry(identifier);
        if (offset != kNotFound && (m_legacy || Load32(m_block + offset + 8) == CUSTOM_KIND_CUSTOMDATA)) {
            size = Load32(m_block + offset + 4);
            copy.data = static_cast<uint8_t*>(xmalloc(size ? size : 1));
            if (!copy.data) XThrow<CXMemoryException>();
            if (size) std::memcpy(copy.data, m_block + offset + kHeader, size);
        }
    }
    if (!copy.data) {
        nested.RemoveAll();
        return false;
    }
    try {
        nested.SerializeFromData(copy.data, size);
    } catch (CXException* e) {
        e->Delete();
        return false;  // SerializeFromData emptied the set
    }
    return true;
}

void CCustomData::SetArray(uint32_t identifier, const void* data, unsigned count, unsigned elementSize) {
    if (count == 0) {
        RemoveCustom(identifier);
        return;
    }
    uint64_t bytes = uint64_t(count) * elementSize;
    if (bytes && !data) XThrow<CXInvalidArgException>("CCustomData::SetArray: null data");
    if (bytes + 4 > kMaxBlock) XThrow<CXMemoryException>("custom data block too large");
    CXSingleLock lock(&m_section, true);
    CBuffer copy;
    const uint8_t* src = static_cast<const uint8_t*>(data);
    if (bytes && m_block && src >= m_block && src < m_block + m_capacity) {
        copy.data = static_cast<uint8_t*>(xmalloc(size_t(bytes)));
        if (!copy.data) XThrow<CXMemoryException>();
        std::memcpy(copy.data, src, size_t(bytes));
        src = copy.data;
    }
    uint8_t* payload = PrepareEntry(identifier, unsigned(bytes + 4), CUSTOM_KIND_ARRAY);
    Store32(payload, count);
    if (bytes) std::memcpy(payload + 4, src, size_t(bytes));
}

const void* CCustomData::GetArray(uint32_t identifier, unsigned& count, unsigned elementSize, CXSingleLock& lock) const {
    lock.Attach(&m_section);
    count = 0;
    unsigned offset = FindEntry(identifier);
    if (offset == kNotFound) return nullptr;
    unsigned size = Load32(m_block + offset + 4);
    if (!m_legacy && Load32(m_block + offset + 8) != CUSTOM_KIND_ARRAY) return nullptr;
    if (size < 4) return nullptr;
    const uint8_t* payload = m_block + offset + kHeader;
    uint32_t stored = Load32(payload);
    if (stored == 0 || (size - 4) / stored != elementSize) return nullptr;
    count = stored;
    return payload + 4;
}

void CCustomData::SetStringArray(uint32_t identifier,
                                 const CXArray<CXTString<wchar_t>, const CXTString<wchar_t>&>& strings) {
    if (strings.GetSize() == 0) {
        RemoveCustom(identifier);
        return;
    }
    CCustomData nested;
    for (int i = 0; i < strings.GetSize(); ++i) nested.SetString(uint32_t(i), strings[i]);
    SetCustomData(identifier, nested);
}

bool CCustomData::GetStringArray(uint32_t identifier,
                                 CXArray<CXTString<wchar_t>, const CXTString<wchar_t>&>& strings) const {
    strings.RemoveAll();
    CCustomData nested;
    if (!GetCustomData(identifier, nested)) return false;
    unsigned count = nested.GetIDCount();
    CXTString<wchar_t> text;
    for (unsigned i = 0; i < count; ++i) {
        if (!nested.GetString(i, text)) {
            strings.RemoveAll();
            return false;
        }
        strings.Add(text);
    }
    return true;
}

void CCustomData::SetCustomClass(uint32_t identifier, CCustomDataClass& object) {
    CXMemFile file(kMemFileGrowBytes);
    {
        CXArchive ar(&file, CXArchive::store, kArchiveBufferSize);
        object.Serialize(ar);
        ar.Close();
    }
    uint64_t size = file.GetLength();
    if (size > kMaxBlock) XThrow<CXMemoryException>("custom data block too large");
    SetCustom(identifier, file.GetBuffer(), unsigned(size), CUSTOM_KIND_BINARY);
}

bool CCustomData::GetCustomClass(uint32_t identifier, CCustomDataClass& object) const {
    CBuffer copy;
    unsigned size = 0;
    {
        CXSingleLock lock(&m_section, true);
        unsigned offset = FindEntry(identifier);
        if (offset == kNotFound || (!m_legacy && Load32(m_block + offset + 8) != CUSTOM_KIND_BINARY)) return false;
        size = Load32(m_block + offset + 4);
        copy.data = static_cast<uint8_t*>(xmalloc(size ? size : 1));
        if (!copy.data) XThrow<CXMemoryException>();
        if (size) std::memcpy(copy.data, m_block + offset + kHeader, size);
    }
    try {
        CXMemFile file(copy.data, size);
        CXArchive ar(&file, CXArchive::load, kArchiveBufferSize);
        object.Serialize(ar);
    } catch (CXException* e) {
        e->Delete();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Entries

bool CCustomData::RemoveCustom(uint32_t identifier) {
    CXSingleLock lock(&m_section, true);
    unsigned offset = FindEntry(identifier);
    if (offset == kNotFound) return false;
    RemoveAt(offset);
    return true;
}

void CCustomData::RemoveAll() {
    CXSingleLock lock(&m_section, true);
    Empty();
    m_legacy = 0;
}

bool CCustomData::HasData(uint32_t identifier) const {
    CXSingleLock lock(&m_section, true);
    return FindEntry(identifier) != kNotFound;
}

bool CCustomData::HasData() const {
    CXSingleLock lock(&m_section, true);
    return m_size != 0;
}

unsigned CCustomData::GetIDCount() const {
    CXSingleLock lock(&m_section, true);
    return unsigned(m_offsets.GetCount());
}

uint32_t CCustomData::GetIDByIndex(unsigned index, uint32_t* kind) const {
    CXSingleLock lock(&m_section, true);
    if (index >= unsigned(m_offsets.GetCount())) XThrow<CXInvalidArgException>("CCustomData::GetIDByIndex: index out of range");
    unsigned offset = 0;
    for (unsigned i = 0; i < index; ++i) offset += kHeader + Load32(m_block + offset + 4);
    if (kind) *kind = Load32(m_block + offset + 8);
    return Load32(m_block + offset);
}

uint32_t CCustomData::GetDataKindOf(uint32_t identifier) const {
    CXSingleLock lock(&m_section, true);
    unsigned offset = FindEntry(identifier);
    return offset == kNotFound ? 0 : Load32(m_block + offset + 8);
}

unsigned CCustomData::GetDataSize(uint32_t identifier) const {
    CXSingleLock lock(&m_section, true);
    unsigned offset = FindEntry(identifier);
    return offset == kNotFound ? 0 : Load32(m_block + offset + 4);
}

bool CCustomData::ChangeID(uint32_t oldIdentifier, uint32_t newIdentifier) {
    CXSingleLock lock(&m_section, true);
    unsigned offset = FindEntry(oldIdentifier);
    if (offset == kNotFound) return false;
    if (oldIdentifier == newIdentifier) return true;
    if (FindEntry(newIdentifier) != kNotFound) return false;
    Store32(m_block + offset, newIdentifier);
    m_offsets.Remove(oldIdentifier);
    m_offsets.Insert(newIdentifier, offset);
    return true;
}

bool CCustomData::CopyID(const CCustomData& source, uint32_t identifier) {
    if (&source == this) return HasData(identifier);
    CBuffer copy;
    unsigned size = 0;
    uint32_t kind = 0;
    {
        CXSingleLock lock(&source.m_section, true);
        unsigned offset = source.FindEntry(identifier);
        if (offset == kNotFound) return false;
        size = Load32(source.m_block + offset + 4);
        kind = Load32(source.m_block + offset + 8);
        copy.data = static_cast<uint8_t*>(xmalloc(size ? size : 1));
        if (!copy.data) XThrow<CXMemoryException>();
        if (size) std::memcpy(copy.data, source.m_block + offset + kHeader, size);
    }
    CXSingleLock lock(&m_section, true);
    if (size == 0) {
        // An empty payload cannot be appended (size 0 means removal); keep the entry only when one
        // of that identifier already has an empty payload, as the source's does.
        PrepareEntry(identifier, 0, kind);
        return true;
    }
    SetCustom(identifier, copy.data, size, kind);
    return true;
}

void CCustomData::Copy(const CCustomData& source) {
    if (&source == this) return;
    OffsetMap map;
    CBuffer block;
    unsigned size = 0;
    unsigned legacy = 0;
    {
        CXSingleLock lock(&source.m_section, true);
        size = source.m_size;
        legacy = source.m_legacy;
        if (size) {
            block.data = static_cast<uint8_t*>(xmalloc(size));
            if (!block.data) XThrow<CXMemoryException>();
            std::memcpy(block.data, source.m_block, size);
            map = source.m_offsets;
        }
    }
    CXSingleLock lock(&m_section, true);
    Empty();
    if (size) {
        m_offsets = std::move(map);
        m_block = block.Release();
        m_size = m_capacity = size;
    }
    m_legacy = legacy;
}

bool CCustomData::AddToCustomData(uint32_t identifier, const CCustomData& source, unsigned mode) {
    if (mode > CUSTOM_ADD_RESET) return false;
    CCustomData nested;
    if (mode == CUSTOM_ADD_RESET) {
        nested.Copy(source);
    } else {
        GetCustomData(identifier, nested);  // a missing or unreadable entry starts empty
        CSnapshot snapshot(source);
        const uint8_t* block = snapshot.block.data;
        for (unsigned offset = 0; offset < snapshot.size; offset += kHeader + Load32(block + offset + 4)) {
            uint32_t id = Load32(block + offset);
            if (mode == CUSTOM_ADD_KEEP && nested.HasData(id)) continue;
            unsigned size = Load32(block + offset + 4);
            if (size == 0) continue;  // nothing to store: an empty payload reads as absent
            nested.SetCustom(id, block + offset + kHeader, size, Load32(block + offset + 8));
        }
    }
    SetCustomData(identifier, nested);
    return true;
}

bool CCustomData::IsEqual(const CCustomData& other) const {
    if (&other == this) return true;
    CSnapshot snapshot(other);
    CXSingleLock lock(&m_section, true);
    if (snapshot.size != m_size) return false;
    unsigned count = 0;
    const uint8_t* block = snapshot.block.data;
    for (unsigned offset = 0; offset < snapshot.size; offset += kHeader + Load32(block + offset + 4)) {
        ++count;
        unsigned mine = FindEntry(Load32(block + offset));
        if (mine == kNotFound) return false;
        unsigned size = Load32(block + offset + 4);
        // Same size and kind (the two header words after the identifier), then the payload.
        if (std::memcmp(m_block + mine + 4, block + offset + 4, 8) != 0) return false;
        if (size && std::memcmp(m_block + mine + kHeader, block + offset + kHeader, size) != 0) return false;
    }
    return count == unsigned(m_offsets.GetCount());
}

namespace {
inline uint32_t Fnv1a(uint32_t hash, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        hash ^= bytes[i];
        hash *= 16777619u;
    }
    return hash;
}
inline uint32_t Fnv1a32(uint32_t hash, uint32_t value) {
    uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return Fnv1a(hash, bytes, 4);
}
constexpr uint32_t kFnvBasis = 2166136261u;
}  // namespace

uint32_t CCustomData::GetChecksum(uint32_t seed) const {
    CXSingleLock lock(&m_section, true);
    uint32_t seeded = Fnv1a32(kFnvBasis, seed);
    uint32_t sum = 0;
    unsigned count = 0;
    for (unsigned offset = 0; offset < m_size; ++count) {
        unsigned entrySize = kHeader + Load32(m_block + offset + 4);
        sum += Fnv1a(seeded, m_block + offset, entrySize);
        offset += entrySize;
    }
    return Fnv1a32(Fnv1a32(seeded, count), sum);
}

void CCustomData::FreeExtra() {
    CXSingleLock lock(&m_section, true);
    if (m_size == 0) {
        xfree(m_block);
        m_block = nullptr;
        m_capacity = 0;
        return;
    }
    if (m_capacity == m_size) return;
    void* shrunk = xrealloc(m_block, m_size);
    if (!shrunk) return;  // keeping the larger block is harmless
    m_block = static_cast<uint8_t*>(shrunk);
    m_capacity = m_size;
}

void CCustomData::SetLegacyFlag(unsigned legacy) {
    CXSingleLock lock(&m_section, true);
    m_legacy = legacy;
}

// ---------------------------------------------------------------------------------------------
// Raw block

bool CCustomData::Attach(void* block, unsigned size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(block);
    if (size && !block) return false;
    OffsetMap map;
    unsigned count;
    uint64_t payload;
    if (size && (size > kMaxBlock || !WalkBlock(bytes, size, count, payload) || !BuildMap(bytes, size, count, map)))
        return false;
    CXSingleLock lock(&m_section, true);
    Empty();
    if (size == 0) {
        xfree(block);
        return true;
    }
    m_offsets = std::move(map);
    m_block = static_cast<uint8_t*>(block);
    m_size = m_capacity = size;
    return true;
}

uint8_t* CCustomData::Detach(unsigned* size) {
    CXSingleLock lock(&m_section, true);
    uint8_t* block = m_block;
    if (size) *size = m_size;
    m_block = nullptr;
    m_size = m_capacity = 0;
    m_offsets.RemoveAll();
    return block;
}

const uint8_t* CCustomData::GetData(unsigned& size) const {
    CXSingleLock lock(&m_section, true);
    size = m_size;
    return m_block;
}

bool CCustomData::SetData(const void* block, unsigned size) {
    if (size && !block) return false;
    CBuffer copy(size);
    if (size) std::memcpy(copy.data, block, size);
    if (!Attach(copy.data, size)) return false;
    copy.Release();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Persistence

void CCustomData::WriteTo(CXArchive& ar) const {
    CXSingleLock lock(&m_section, true);
    ar << uint32_t(CUSTOM_MAGIC_CUS5);
    if (m_size == 0) {
        ar << uint32_t(0);
        return;
    }
    unsigned count = unsigned(m_offsets.GetCount());
    ar << uint32_t(m_size + kSerialHeaderSize);
    ar << uint32_t(1) << uint32_t(count) << uint32_t(m_size - kHeader * count) << uint32_t(m_legacy) << uint32_t(0);
    ar.Write(m_block, m_size);
}

void CCustomData::ReadFrom(CXArchive& ar) {
    // Reads into locals; the set changes only once everything is read and checked.
    int failure = CXFileException::none;
    CBuffer block;
    OffsetMap map;
    uint32_t total = 0, version = 0, count = 0, payload = 0, legacy = 0, reserved = 0;
    unsigned blockSize = 0;
    try {
        uint32_t magic;
        ar >> magic;
        if (magic != CUSTOM_MAGIC_CUS5 && magic != CUSTOM_MAGIC_CUS4) {
            // The older "CUSU"/"CUST" layouts are not supported, and anything else is not a set.
            failure = CXFileException::badFormat;
        } else {
            ar >> total;
            if (total != 0) {
                if (total < kSerialHeaderSize) {
                    failure = CXFileException::badFormat;
                } else {
                    ar >> version >> count >> payload >> legacy >> reserved;
                    blockSize = total - kSerialHeaderSize;
                    if (version != 1 || blockSize > kMaxBlock) {
                        failure = CXFileException::badFormat;
                    } else {
                        ar.EnsureAvailable(blockSize);
                        block.data = static_cast<uint8_t*>(xmalloc(blockSize ? blockSize : 1));
                        if (!block.data) XThrow<CXMemoryException>();
                        ar.EnsureRead(block.data, blockSize);
                        unsigned walked;
                        uint64_t walkedPayload;
                        if (!WalkBlock(block.data, blockSize, walked, walkedPayload) || walked != count ||
                            walkedPayload != payload || !BuildMap(block.data, blockSize, walked, map))
                            failure = CXFileException::badFormat;
                    }
                }
            }
        }
    } catch (CXArchiveException* e) {
        failure = e->m_cause == CXArchiveException::endOfFile ? CXFileException::endOfFile : CXFileException::badFormat;
        e->Delete();
    } catch (...) {
        RemoveAll();
        throw;
    }

    CXSingleLock lock(&m_section, true);
    Empty();
    m_legacy = 0;
    if (failure != CXFileException::none)
        XThrow<CXFileException>(failure, -1L, "custom data block");
    if (total == 0 || blockSize == 0) return;
    m_offsets = std::move(map);
    m_block = block.Release();
    m_size = m_capacity = blockSize;
    m_legacy = legacy;
}

void CCustomData::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        FreeExtra();
        WriteTo(ar);
    } else {
        ReadFrom(ar);
    }
}

uint8_t* CCustomData::SerializeToData(unsigned& size) const {
    CXMemFile file(kMemFileGrowBytes);
    {
        CXArchive ar(&file, CXArchive::store, kArchiveBufferSize);
        WriteTo(ar);
        ar.Close();
    }
    size = unsigned(file.GetLength());
    uint8_t* data = file.Detach();
    return data;
}

bool CCustomData::SerializeFromData(const void* data, unsigned size) {
    if (size && !data) XThrow<CXInvalidArgException>("CCustomData::SerializeFromData: null data");
    CXMemFile file(data, size);
    CXArchive ar(&file, CXArchive::load, kArchiveBufferSize);
    ReadFrom(ar);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Diagnostics

namespace {

// Nested sets are dumped at most this deep: forged data could nest thousands of levels.
constexpr int kMaxDumpDepth = 32;

// The four characters of a code, most significant byte first (a zero byte ends the text early,
// as with "%.4s").
void CodeChars(uint32_t code, char out[5]) {
    out[0] = char(code >> 24);
    out[1] = char(code >> 16);
    out[2] = char(code >> 8);
    out[3] = char(code);
    out[4] = 0;
}

}  // namespace

void CCustomData::DumpTo(CXTString<char>& out, bool recursive, int indentation) const {
    CXSingleLock lock(&m_section, true);
    for (unsigned offset = 0; offset < m_size; offset += kHeader + Load32(m_block + offset + 4)) {
        uint32_t identifier = Load32(m_block + offset);
        unsigned size = Load32(m_block + offset + 4);
        uint32_t kind = Load32(m_block + offset + 8);
        const uint8_t* payload = m_block + offset + kHeader;
        char id[5], kd[5];
        CodeChars(identifier, id);
        CodeChars(kind, kd);
        for (int i = 0; i < indentation; ++i) out.AppendChar('\t');
        out.AppendFormat("%.4s (%.4s) : ", id, kd);

        int32_t i32;
        uint32_t u32;
        int64_t i64;
        uint64_t u64;
        float f32;
        double f64;
        switch (kind) {
            case CUSTOM_KIND_CHAR:
                if (size != 1) break;
                out.AppendFormat("%d\r\n", int(int8_t(payload[0])));
                continue;
            case CUSTOM_KIND_UCHAR:
                if (size != 1) break;
                out.AppendFormat("%u\r\n", unsigned(payload[0]));
                continue;
            case CUSTOM_KIND_BOOL:
            case CUSTOM_KIND_INT:
            case CUSTOM_KIND_LONG:
                if (size != 4) break;
                std::memcpy(&i32, payload, 4);
                out.AppendFormat("%d\r\n", int(i32));
                continue;
            case CUSTOM_KIND_UINT:
            case CUSTOM_KIND_ULONG:
                if (size != 4) break;
                std::memcpy(&u32, payload, 4);
                out.AppendFormat("%u\r\n", unsigned(u32));
                continue;
            case CUSTOM_KIND_FLOAT:
                if (size != 4) break;
                std::memcpy(&f32, payload, 4);
                out.AppendFormat("%f\r\n", double(f32));
                continue;
            case CUSTOM_KIND_DOUBLE:
                if (size != 8) break;
                std::memcpy(&f64, payload, 8);
                out.AppendFormat("%f\r\n", f64);
                continue;
            case CUSTOM_KIND_LONGLONG:
                if (size != 8) break;
                std::memcpy(&i64, payload, 8);
                out.AppendFormat("%lld\r\n", (long long)i64);
                continue;
            case CUSTOM_KIND_ULONGLONG:
                if (size != 8) break;
                std::memcpy(&u64, payload, 8);
                out.AppendFormat("%llu\r\n", (unsigned long long)u64);
                continue;
            case CUSTOM_KIND_POINTER:
                if (size != 8) break;
                std::memcpy(&u64, payload, 8);
                out.AppendFormat("0x%llX\r\n", (unsigned long long)u64);
                continue;
            case CUSTOM_KIND_CUSTOMDATA: {
                out.Append("Sub data\r\n");
                if (!recursive || indentation >= kMaxDumpDepth) continue;
                CCustomData nested;
                try {
                    nested.SerializeFromData(payload, size);
                } catch (CXException* e) {
                    e->Delete();
                    continue;
                }
                nested.DumpTo(out, true, indentation + 1);
                continue;
            }
            default:
                break;
        }
        out.Append("?\r\n");
    }
}

CXTString<wchar_t> CCustomData::DumpCustomData(bool recursive, int indentation) const {
    CSwitchLocale english;  // "%f" writes a decimal point whatever the host's locale
    CXTString<char> text;
    DumpTo(text, recursive, indentation < 0 ? 0 : indentation);
    return CXTString<wchar_t>(text.GetString(), text.GetLength());
}

// ---------------------------------------------------------------------------------------------
// Preferences files

namespace {

// Preferences files are small; anything larger is not one of ours.
constexpr uint64_t kMaxPrefsFile = 64u << 20;

// Section or entry name of a code (see the header comment).
CXTString<char> PrefsName(uint32_t code) {
    char chars[5];
    CodeChars(code, chars);
    bool plain = true;
    for (int i = 0; i < 4; ++i) {
        char c = chars[i];
        plain = plain && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
    }
    CXTString<char> name;
    if (plain)
        name.SetString(chars, 4);
    else
        name.Format("0x%08X", unsigned(code));
    return name;
}

CXTString<wchar_t> PrefsPath(const wchar_t* name, const wchar_t* directory, bool create) {
    if (!name || !*name) return CXTString<wchar_t>();
    if (fileIsAbsolutePath(name)) return CXTString<wchar_t>(name);
    CXTString<wchar_t> folder = directory ? CXTString<wchar_t>(directory) : GetUserPreferencesPath(create);
    if (folder.IsEmpty()) return CXTString<wchar_t>();
    return fileJoinPath(folder.GetString(), name);
}

// Reads a whole (small) file; false when it cannot be opened or read.
bool ReadWholeFile(const CXTString<wchar_t>& path, CXTString<char>& text) {
    CXFile file;
    if (!file.Open(path, CXFile::modeRead)) return false;
    try {
        uint64_t length = file.GetLength();
        if (length > kMaxPrefsFile) return false;
        char* buffer = text.GetBuffer(int(length));
        unsigned got = file.Read(buffer, unsigned(length));
        text.ReleaseBuffer(int(got));
    } catch (CXException* e) {
        e->Delete();
        return false;
    }
    return true;
}

// One line of a preferences file: [begin, end) without its line break.
struct CLine {
    const char* begin;
    const char* end;
};

// Next line from `cursor` (advanced past the line break); false at the end of the text.
bool NextLine(const char*& cursor, const char* limit, CLine& line) {
    if (cursor >= limit) return false;
    const char* p = cursor;
    while (p < limit && *p != '\n') ++p;
    line.begin = cursor;
    line.end = (p > cursor && p[-1] == '\r') ? p - 1 : p;
    cursor = p < limit ? p + 1 : p;
    return true;
}

// "[name]" lines: the name, else null.
bool SectionName(const CLine& line, const char*& begin, const char*& end) {
    if (line.end - line.begin < 2 || line.begin[0] != '[' || line.end[-1] != ']') return false;
    begin = line.begin + 1;
    end = line.end - 1;
    return true;
}

bool Matches(const char* begin, const char* end, const CXTString<char>& name) {
    return end - begin == name.GetLength() && std::memcmp(begin, name.GetString(), size_t(name.GetLength())) == 0;
}

// "key=value" lines with the given key: the value.
bool EntryValue(const CLine& line, const CXTString<char>& key, const char*& begin, const char*& end) {
    int n = key.GetLength();
    if (line.end - line.begin <= n || line.begin[n] != '=' || std::memcmp(line.begin, key.GetString(), size_t(n)) != 0)
        return false;
    begin = line.begin + n + 1;
    end = line.end;
    return true;
}

}  // namespace

bool CCustomData::SaveToPrefs(const wchar_t* name, uint32_t section, uint32_t entry, const wchar_t* directory) const {
    CXTString<wchar_t> path = PrefsPath(name, directory, true);
    if (path.IsEmpty()) return false;
    CXTString<char> sectionName = PrefsName(section);
    CXTString<char> entryName = PrefsName(entry);

    // The new entry line.
    unsigned size = 0;
    CBuffer data;
    data.data = SerializeToData(size);
    static const char kHex[] = "0123456789ABCDEF";
    CXTString<char> entryLine(entryName);
    entryLine.AppendChar('=');
    char* hex = entryLine.GetBuffer(entryLine.GetLength() + int(2 * size)) + entryLine.GetLength();
    for (unsigned i = 0; i < size; ++i) {
        hex[2 * i] = kHex[data.data[i] >> 4];
        hex[2 * i + 1] = kHex[data.data[i] & 15];
    }
    entryLine.ReleaseBuffer(entryLine.GetLength() + int(2 * size));
    entryLine.AppendChar('\n');

    // Copy the old file, replacing the entry (or adding it at the end of its section).
    CXTString<char> old, text;
    ReadWholeFile(path, old);
    const char* cursor = old.GetString();
    const char* limit = cursor + old.GetLength();
    CLine line;
    bool inSection = false, sectionSeen = false, written = false;
    while (NextLine(cursor, limit, line)) {
        const char *b, *e;
        if (SectionName(line, b, e)) {
            if (inSection && !written) {
                text += entryLine;
                written = true;
            }
            inSection = Matches(b, e, sectionName);
            sectionSeen = sectionSeen || inSection;
        } else if (inSection && EntryValue(line, entryName, b, e)) {
            if (!written) text += entryLine;
            written = true;
            continue;  // the old value (and any duplicate of it) is dropped
        }
        text.Append(line.begin, int(line.end - line.begin));
        text.AppendChar('\n');
    }
    if (!written) {
        if (!sectionSeen) {
            text += "[";
            text += sectionName;
            text += "]\n";
        }
        text += entryLine;
    }

    // Write a temporary file next to the target, then rename it over the target.
    CXTString<wchar_t> temporary(path);
    temporary += L".tmp";
    CXFile file;
    if (!file.Open(temporary, CXFile::modeCreate | CXFile::modeWrite)) return false;
    try {
        file.Write(text.GetString(), unsigned(text.GetLength()));
        file.Flush();
        file.Close();
    } catch (CXException* e) {
        e->Delete();
        file.Abort();
        fileDelete(temporary.GetString());
        return false;
    }
    XCW2A from(temporary.GetString()), to(path.GetString());
    if (std::rename(from.GetString(), to.GetString()) != 0) {
        fileDelete(temporary.GetString());
        return false;
    }
    return true;
}

bool CCustomData::LoadFromPrefs(const wchar_t* name, uint32_t section, uint32_t entry, const wchar_t* directory) {
    CXTString<wchar_t> path = PrefsPath(name, directory, false);
    if (path.IsEmpty()) return false;
    CXTString<char> text;
    if (!ReadWholeFile(path, text)) return false;
    CXTString<char> sectionName = PrefsName(section);
    CXTString<char> entryName = PrefsName(entry);

    const char* cursor = text.GetString();
    const char* limit = cursor + text.GetLength();
    CLine line;
    bool inSection = false;
    const char *value = nullptr, *valueEnd = nullptr;
    while (!value && NextLine(cursor, limit, line)) {
        const char *b, *e;
        if (SectionName(line, b, e))
            inSection = Matches(b, e, sectionName);
        else if (inSection && EntryValue(line, entryName, b, e)) {
            value = b;
            valueEnd = e;
        }
    }
    if (!value || (valueEnd - value) % 2 != 0) return false;

    size_t size = size_t(valueEnd - value) / 2;
    CBuffer data(size);
    for (size_t i = 0; i < size; ++i) {
        int high = detail::HexDigit(value[2 * i]), low = detail::HexDigit(value[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        data.data[i] = uint8_t(high << 4 | low);
    }
    CCustomData loaded;
    try {
        loaded.SerializeFromData(data.data, unsigned(size));
    } catch (CXException* e) {
        e->Delete();
        return false;
    }
    Copy(loaded);
    return true;
}

}  // namespace kestovar
