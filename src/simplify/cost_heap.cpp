// CostHeap: binary min-heap of candidate contractions with a sentinel in slot 0 and slot
// back-pointers in the records (see cost_heap.h for the order and the invariants).
#include "kestovar/simplify/cost_heap.h"

#include <cfloat>
#include <cstring>

#include "core/prefetch.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"

namespace kestovar {

CostHeap::CostHeap()
    : m_nCapacity(0), m_nCount(0), m_pSlots(nullptr), m_pKeys(nullptr), m_sentinel(MakeSentinel()) {}

CostHeap::~CostHeap() { Free(); }

CContractionCost CostHeap::MakeSentinel() {
    CContractionCost s;
    std::memset(static_cast<void*>(&s), 0, sizeof s);
    s.first = -1;
    s.second = -1;
    const uint32_t bits = 0xFF7FFFFFu;  // -FLT_MAX
    std::memcpy(&s.cost, &bits, sizeof bits);
    s.flags = 0;
    s.slot = nullptr;
    return s;
}

void CostHeap::Init(const CContractionCost& sentinel, unsigned int capacity) {
    Free();
    void* p = xmalloc((size_t(capacity) + 1) * sizeof(CContractionCost*));
    if (!p) XThrow<CXMemoryException>();
    m_pSlots = static_cast<CContractionCost**>(p);
    void* k = xmalloc((size_t(capacity) + 1) * sizeof(uint32_t));
    if (!k) {
        Free();
        XThrow<CXMemoryException>();
    }
    m_pKeys = static_cast<uint32_t*>(k);
    m_nCapacity = capacity;
    m_nCount = 0;
    m_sentinel = sentinel;
    m_sentinel.slot = &m_pSlots[0];
    m_pSlots[0] = &m_sentinel;
    m_pKeys[0] = KeyOf(&m_sentinel);
}

void CostHeap::Free() {
    if (m_pSlots) xfree(m_pSlots);
    if (m_pKeys) xfree(m_pKeys);
    m_pSlots = nullptr;
    m_pKeys = nullptr;
    m_nCapacity = 0;
    m_nCount = 0;
}

CContractionCost** CostHeap::Insert(CContractionCost* rec) {
    assert(m_nCount < m_nCapacity);
    const uint32_t key = KeyOf(rec);
    unsigned int hole = ++m_nCount;
    // The sentinel in slot 0 comes before every record, so the climb stops at slot 1 at the latest.
    while (KeyBefore(key, m_pKeys[hole >> 1], rec, m_pSlots[hole >> 1])) {
        CContractionCost* parent = m_pSlots[hole >> 1];
        m_pSlots[hole] = parent;
        m_pKeys[hole] = m_pKeys[hole >> 1];
        parent->slot = &m_pSlots[hole];
        hole >>= 1;
    }
    m_pSlots[hole] = rec;
    m_pKeys[hole] = key;
    rec->slot = &m_pSlots[hole];
    return &m_pSlots[hole];
}

void CostHeap::InsertAll(CContractionCost* records, const uint32_t* order, unsigned int count) {
    assert(m_nCount + count <= m_nCapacity);
    if (count == 0) return;
    // The order visits the records at random: their keys are taken first in one pass over the
    // records in memory order, so that the insertions read a key array a tenth of the records'
    // size (a record is read again only when two keys tie). Without that array (no memory), the
    // keys come from the records as they are inserted.
    uint32_t* keyOf = static_cast<uint32_t*>(xmalloc(size_t(count) * sizeof(uint32_t)));
    if (keyOf) {
        unsigned highest = 0;
        for (unsigned k = 0; k < count; ++k) highest = order[k] > highest ? order[k] : highest;
        // The records run from the lowest to the highest index the order names; the order is a
        // permutation of 0 .. count - 1 in the engine, but any record set is served.
        if (highest >= count) {
            xfree(keyOf);
            keyOf = nullptr;
        } else {
            for (unsigned r = 0; r < count; ++r) keyOf[r] = KeyOf(&records[r]);
        }
    }
    // Far enough ahead for the misses to overlap, near enough for the lines to stay cached.
    constexpr unsigned kAhead = 16;
    CContractionCost** slots = m_pSlots;
    uint32_t* keys = m_pKeys;
    for (unsigned k = 0; k < count; ++k) {
        if (k + kAhead < count) {
            if (keyOf)
                detail::PrefetchLine(&keyOf[order[k + kAhead]]);
            else
                detail::PrefetchLine(&records[order[k + kAhead]]);
        }
        CContractionCost* rec = &records[order[k]];
        const uint32_t key = keyOf ? keyOf[order[k]] : KeyOf(rec);
        unsigned int hole = ++m_nCount;
        while (KeyBefore(key, keys[hole >> 1], rec, slots[hole >> 1])) {
            slots[hole] = slots[hole >> 1];
            keys[hole] = keys[hole >> 1];
            hole >>= 1;
        }
        slots[hole] = rec;
        keys[hole] = key;
    }
    xfree(keyOf);
    // Records that were already in the heap may have moved down as well.
    for (unsigned i = 1; i <= m_nCount; ++i) slots[i]->slot = &slots[i];
}

void CostHeap::SiftDown(unsigned int i, CContractionCost* rec, uint32_t key) {
    const unsigned int n = m_nCount;
    CContractionCost** slots = m_pSlots;
    uint32_t* keys = m_pKeys;
    while (2 * i <= n) {
        unsigned int child = 2 * i;
        // The keys of the next level's children share a cache line; ask for it one level early.
        if (4 * i <= n) detail::PrefetchLine(&keys[4 * i]);
        if (child != n && KeyBefore(keys[child + 1], keys[child], slots[child + 1], slots[child])) ++child;
        if (!KeyBefore(keys[child], key, slots[child], rec)) break;
        slots[i] = slots[child];
        keys[i] = keys[child];
        slots[i]->slot = &slots[i];
        i = child;
    }
    slots[i] = rec;
    keys[i] = key;
    rec->slot = &slots[i];
}

void CostHeap::PopTop(CContractionCost*& rec) {
    assert(m_nCount > 0);
    rec = m_pSlots[1];
    CContractionCost* last = m_pSlots[m_nCount];
    const uint32_t lastKey = m_pKeys[m_nCount];
    --m_nCount;
    if (m_nCount > 0) SiftDown(1, last, lastKey);
}

void CostHeap::Remove(CContractionCost** slot) {
    unsigned int i = unsigned(slot - m_pSlots);
    assert(i >= 1 && i <= m_nCount);
    CContractionCost* last = m_pSlots[m_nCount];
    const uint32_t lastKey = m_pKeys[m_nCount];
    if (i == m_nCount) {
        --m_nCount;
        return;
    }
    // The last record may belong above the hole (it came from another subtree): climb first.
    while (KeyBefore(lastKey, m_pKeys[i >> 1], last, m_pSlots[i >> 1])) {
        m_pSlots[i] = m_pSlots[i >> 1];
        m_pKeys[i] = m_pKeys[i >> 1];
        m_pSlots[i]->slot = &m_pSlots[i];
        i >>= 1;
    }
    m_pSlots[i] = last;
    m_pKeys[i] = lastKey;
    last->slot = &m_pSlots[i];
    --m_nCount;
    SiftDown(i, last, lastKey);
}

bool CostHeap::CheckConsistency() const {
    if (!m_pSlots) return m_nCount == 0;
    if (m_pSlots[0] != &m_sentinel) return false;
    for (unsigned int i = 1; i <= m_nCount; ++i) {
        if (m_pSlots[i]->slot != &m_pSlots[i]) return false;
        // A record changed while in the heap leaves its key stale.
        if (m_pKeys[i] != KeyOf(m_pSlots[i])) return false;
        if (i > 1 && Before(m_pSlots[i], m_pSlots[i >> 1])) return false;
    }
    return true;
}

}  // namespace kestovar
