#include "kestovar/core/containers.h"

#include <bit>
#include <cstring>

#include "kestovar/core/archive.h"

namespace kestovar {

CBitArray::CBitArray(const CBitArray& other) { *this = other; }

CBitArray::CBitArray(CBitArray&& other) noexcept
    : m_pWords(other.m_pWords), m_nBits(other.m_nBits), m_nAllocWords(other.m_nAllocWords) {
    other.m_pWords = nullptr;
    other.m_nBits = other.m_nAllocWords = 0;
}

CBitArray& CBitArray::operator=(const CBitArray& other) {
    if (this == &other) return *this;
    int words = other.GetWordCount();
    Reserve(words);
    if (words) std::memcpy(m_pWords, other.m_pWords, size_t(words) * sizeof(uint32_t));
    // Words past the new size must be zero (the invariant every whole-word operation relies on).
    if (m_nAllocWords > words) std::memset(m_pWords + words, 0, size_t(m_nAllocWords - words) * sizeof(uint32_t));
    m_nBits = other.m_nBits;
    return *this;
}

CBitArray& CBitArray::operator=(CBitArray&& other) noexcept {
    if (this != &other) {
        xfree(m_pWords);
        m_pWords = other.m_pWords;
        m_nBits = other.m_nBits;
        m_nAllocWords = other.m_nAllocWords;
        other.m_pWords = nullptr;
        other.m_nBits = other.m_nAllocWords = 0;
    }
    return *this;
}

CBitArray::~CBitArray() { xfree(m_pWords); }

void CBitArray::Reserve(int words) {
    if (words <= m_nAllocWords) return;
    int64_t grown = int64_t(m_nAllocWords) * 2;
    int capacity = grown > words ? int(grown > INT_MAX ? INT_MAX : grown) : words;
    void* p = xrealloc(m_pWords, size_t(capacity) * sizeof(uint32_t));
    if (!p) XThrow<CXMemoryException>();
    m_pWords = static_cast<uint32_t*>(p);
    std::memset(m_pWords + m_nAllocWords, 0, size_t(capacity - m_nAllocWords) * sizeof(uint32_t));
    m_nAllocWords = capacity;
}

void CBitArray::ClearTail() {
    int words = GetWordCount();
    unsigned used = unsigned(m_nBits) & 31u;
    if (used) m_pWords[words - 1] &= (1u << used) - 1u;
    if (m_nAllocWords > words) std::memset(m_pWords + words, 0, size_t(m_nAllocWords - words) * sizeof(uint32_t));
}

void CBitArray::SetSize(int bits, bool value) {
    if (bits < 0) XThrow<CXInvalidArgException>("CBitArray::SetSize: negative size");
    int old = m_nBits;
    Reserve(WordsFor(bits));
    m_nBits = bits;
    if (bits < old) {
        ClearTail();
    } else if (value && bits > old) {
        // New bits are zero (invariant); set them word by word.
        int i = old;
        for (; i < bits && (i & 31); ++i) Set(i, true);
        for (; i + 32 <= bits; i += 32) m_pWords[unsigned(i) >> 5] = 0xFFFFFFFFu;
        for (; i < bits; ++i) Set(i, true);
    }
}

void CBitArray::RemoveAll() {
    xfree(m_pWords);
    m_pWords = nullptr;
    m_nBits = m_nAllocWords = 0;
}

void CBitArray::SetAtGrow(int i, bool value) {
    if (i < 0) XThrow<CXInvalidArgException>("CBitArray::SetAtGrow: negative index");
    if (i >= m_nBits) {
        if (i == INT_MAX) XThrow<CXInvalidArgException>("CBitArray::SetAtGrow: index out of range");
        SetSize(i + 1);
    }
    Set(i, value);
}

int CBitArray::Add(bool value) {
    int i = m_nBits;
    SetAtGrow(i, value);
    return i;
}

void CBitArray::SetAll(bool value) {
    int words = GetWordCount();
    if (words == 0) return;
    std::memset(m_pWords, value ? 0xFF : 0, size_t(words) * sizeof(uint32_t));
    if (value) ClearTail();
}

int CBitArray::CountSet() const {
    int words = GetWordCount();
    int n = 0;
    for (int w = 0; w < words; ++w) n += std::popcount(m_pWords[w]);
    return n;
}

int CBitArray::FindNextSet(int from) const {
    if (from < 0) from = 0;
    if (from >= m_nBits) return -1;
    int words = GetWordCount();
    int w = from >> 5;
    uint32_t word = m_pWords[w] & (0xFFFFFFFFu << (unsigned(from) & 31u));
    for (;;) {
        if (word) return (w << 5) + std::countr_zero(word);
        if (++w >= words) return -1;
        word = m_pWords[w];
    }
}

bool CBitArray::operator==(const CBitArray& other) const {
    if (m_nBits != other.m_nBits) return false;
    int words = GetWordCount();
    return words == 0 || std::memcmp(m_pWords, other.m_pWords, size_t(words) * sizeof(uint32_t)) == 0;
}

void CBitArray::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        ar.WriteCount(uint64_t(m_nBits));
        for (int w = 0; w < GetWordCount(); ++w) ar << m_pWords[w];
        return;
    }
    int bits = detail::ReadIntCount(ar);
    ar.EnsureAvailable(uint64_t(WordsFor(bits)) * sizeof(uint32_t));
    RemoveAll();
    SetSize(bits);
    for (int w = 0; w < GetWordCount(); ++w) ar >> m_pWords[w];
    ClearTail();
}

}  // namespace kestovar
