#include "kestovar/core/collection.h"

#include <cstring>

#include "kestovar/core/archive.h"

namespace kestovar {

COffsetArray::COffsetArray(const COffsetArray& other) { *this = other; }

COffsetArray::COffsetArray(COffsetArray&& other) noexcept
    : m_nSize(other.m_nSize), m_nSplit(other.m_nSplit), m_nAlloc64(other.m_nAlloc64),
      m_offsets32(std::move(other.m_offsets32)), m_pOffsets64(other.m_pOffsets64) {
    other.m_nSize = 0;
    other.m_nSplit = kNoSplit;
    other.m_nAlloc64 = 0;
    other.m_pOffsets64 = nullptr;
}

COffsetArray& COffsetArray::operator=(const COffsetArray& other) {
    if (this == &other) return *this;
    m_offsets32.Copy(other.m_offsets32);
    unsigned n64 = other.m_nSplit == kNoSplit ? 0 : other.m_nSize - other.m_nSplit;
    Reserve64(n64);
    if (n64) std::memcpy(m_pOffsets64, other.m_pOffsets64, size_t(n64) * sizeof(uint64_t));
    m_nSize = other.m_nSize;
    m_nSplit = other.m_nSplit;
    return *this;
}

COffsetArray& COffsetArray::operator=(COffsetArray&& other) noexcept {
    if (this != &other) {
        xfree(m_pOffsets64);
        m_nSize = other.m_nSize;
        m_nSplit = other.m_nSplit;
        m_nAlloc64 = other.m_nAlloc64;
        m_offsets32 = std::move(other.m_offsets32);
        m_pOffsets64 = other.m_pOffsets64;
        other.m_nSize = 0;
        other.m_nSplit = kNoSplit;
        other.m_nAlloc64 = 0;
        other.m_pOffsets64 = nullptr;
    }
    return *this;
}

COffsetArray::~COffsetArray() { xfree(m_pOffsets64); }

void COffsetArray::Reserve64(unsigned count) {
    if (count <= m_nAlloc64) return;
    uint64_t want = uint64_t(m_nAlloc64) * 2;
    if (want < count) want = count;
    if (want < 16) want = 16;
    if (want > UINT_MAX) want = UINT_MAX;
    void* p = xrealloc(m_pOffsets64, size_t(want) * sizeof(uint64_t));
    if (!p) XThrow<CXMemoryException>();
    m_pOffsets64 = static_cast<uint64_t*>(p);
    m_nAlloc64 = unsigned(want);
}

void COffsetArray::SplitArray(unsigned index) {
    if (index > m_nSize) XThrow<CXInvalidArgException>("COffsetArray::SplitArray: index past the end");
    unsigned split = m_nSplit == kNoSplit ? m_nSize : m_nSplit;
    if (m_nSplit != kNoSplit && index >= m_nSplit) return;
    // Entries [index, split) leave the 32-bit part and go in front of the 64-bit ones.
    unsigned moved = split - index;
    unsigned n64 = m_nSize - split;
    Reserve64(n64 + moved);
    if (n64) std::memmove(m_pOffsets64 + moved, m_pOffsets64, size_t(n64) * sizeof(uint64_t));
    const uint32_t* from = m_offsets32.GetData();
    for (unsigned i = 0; i < moved; ++i) m_pOffsets64[i] = from[index + i];
    m_offsets32.SetSize(int(index));
    m_nSplit = index;
}

void COffsetArray::SetAt(unsigned index, uint64_t offset) {
    if (index >= m_nSize) XThrow<CXInvalidArgException>("COffsetArray::SetAt: index out of range");
    if (index < m_nSplit) {
        if (offset <= 0xFFFFFFFFu) {
            m_offsets32[int(index)] = uint32_t(offset);
            return;
        }
        SplitArray(index);
    }
    m_pOffsets64[index - m_nSplit] = offset;
}

void COffsetArray::SetAtGrow(unsigned index, uint64_t offset) {
    if (index >= m_nSize) {
        if (index == UINT_MAX) XThrow<CXInvalidArgException>("COffsetArray::SetAtGrow: index out of range");
        SetSize(index + 1);
    }
    SetAt(index, offset);
}

void COffsetArray::SetSize(unsigned size, int growBy) {
    if (m_nSplit != kNoSplit && size <= m_nSplit) {
        // Nothing is left in the 64-bit part: back to one 32-bit part.
        m_nSplit = kNoSplit;
        m_nSize = unsigned(m_offsets32.GetSize());
    }
    if (m_nSplit == kNoSplit) {
        if (size > unsigned(INT_MAX)) {
            // Beyond what the 32-bit part can index: the rest lives in the 64-bit part.
            SetSize(unsigned(INT_MAX), growBy);
            SplitArray(unsigned(INT_MAX));
        } else {
            m_offsets32.SetSize(int(size), growBy);
            m_nSize = size;
            return;
        }
    }
    if (growBy != -1) m_offsets32.SetSize(m_offsets32.GetSize(), growBy);
    unsigned n64 = size - m_nSplit;
    unsigned old64 = m_nSize - m_nSplit;
    Reserve64(n64);
    if (n64 > old64) std::memset(m_pOffsets64 + old64, 0, size_t(n64 - old64) * sizeof(uint64_t));
    m_nSize = size;
}

void COffsetArray::PreAllocate(unsigned count) {
    if (m_nSplit == kNoSplit) {
        if (count <= unsigned(INT_MAX)) m_offsets32.PreAllocate(int(count));
    } else if (count > m_nSplit) {
        Reserve64(count - m_nSplit);
    }
}

void COffsetArray::RemoveAt(unsigned index, unsigned count) {
    if (index > m_nSize || count > m_nSize - index)
        XThrow<CXInvalidArgException>("COffsetArray::RemoveAt: range outside the array");
    if (count == 0) return;
    unsigned end = index + count;
    if (m_nSplit == kNoSplit) {
        m_offsets32.RemoveAt(int(index), int(count));
    } else if (index >= m_nSplit) {
        unsigned a = index - m_nSplit, b = end - m_nSplit, n64 = m_nSize - m_nSplit;
        std::memmove(m_pOffsets64 + a, m_pOffsets64 + b, size_t(n64 - b) * sizeof(uint64_t));
    } else if (end <= m_nSplit) {
        m_offsets32.RemoveAt(int(index), int(count));
        m_nSplit -= count;
    } else {
        // The range straddles the split: 32-bit entries from `index` go, so do 64-bit entries
        // before `end`; the 64-bit entries left then start at `index`.
        unsigned drop64 = end - m_nSplit, n64 = m_nSize - m_nSplit;
        std::memmove(m_pOffsets64, m_pOffsets64 + drop64, size_t(n64 - drop64) * sizeof(uint64_t));
        m_offsets32.SetSize(int(index));
        m_nSplit = index;
    }
    m_nSize -= count;
}

void COffsetArray::RemoveAll() {
    m_offsets32.RemoveAll();
    xfree(m_pOffsets64);
    m_pOffsets64 = nullptr;
    m_nAlloc64 = 0;
    m_nSize = 0;
    m_nSplit = kNoSplit;
}

void COffsetArray::FreeExtra() {
    m_offsets32.FreeExtra();
    unsigned n64 = m_nSplit == kNoSplit ? 0 : m_nSize - m_nSplit;
    if (n64 == m_nAlloc64) return;
    if (n64 == 0) {
        xfree(m_pOffsets64);
        m_pOffsets64 = nullptr;
        m_nAlloc64 = 0;
        return;
    }
    void* p = xrealloc(m_pOffsets64, size_t(n64) * sizeof(uint64_t));
    if (!p) XThrow<CXMemoryException>();
    m_pOffsets64 = static_cast<uint64_t*>(p);
    m_nAlloc64 = n64;
}

void COffsetArray::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteCount(m_nSize);
        ar << uint32_t(m_nSplit);
        const uint32_t* p32 = m_offsets32.GetData();
        for (int i = 0; i < m_offsets32.GetSize(); ++i) ar << p32[i];
        unsigned n64 = m_nSplit == kNoSplit ? 0 : m_nSize - m_nSplit;
        for (unsigned i = 0; i < n64; ++i) ar << m_pOffsets64[i];
        return;
    }
    uint64_t size = ar.ReadCount();
    uint32_t split = 0;
    ar >> split;
    if (size > UINT_MAX || (split != kNoSplit && (split > size || split > unsigned(INT_MAX))) ||
        (split == kNoSplit && size > unsigned(INT_MAX)))
        XThrow<CXArchiveException>(CXArchiveException::badIndex, "COffsetArray: bad size or split index");
    uint64_t n32 = split == kNoSplit ? size : split;
    uint64_t n64 = size - n32;
    ar.EnsureAvailable(n32 * sizeof(uint32_t) + n64 * sizeof(uint64_t));
    RemoveAll();
    m_offsets32.SetSize(int(n32));
    uint32_t* p32 = m_offsets32.GetData();
    for (uint64_t i = 0; i < n32; ++i) ar >> p32[i];
    Reserve64(unsigned(n64));
    for (uint64_t i = 0; i < n64; ++i) ar >> m_pOffsets64[i];
    m_nSplit = split;
    m_nSize = unsigned(size);
}

}  // namespace kestovar
