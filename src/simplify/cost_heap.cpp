// CostHeap: binary min-heap of candidate contractions with a sentinel in slot 0 and slot
// back-pointers in the records (see cost_heap.h for the order and the invariants).
#include "kestovar/simplify/cost_heap.h"

#include <cfloat>
#include <cstring>

#include "kestovar/core/exception.h"

namespace kestovar {

CostHeap::CostHeap() : m_nCapacity(0), m_nCount(0), m_pSlots(nullptr), m_sentinel(MakeSentinel()) {}

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
    m_nCapacity = capacity;
    m_nCount = 0;
    m_sentinel = sentinel;
    m_sentinel.slot = &m_pSlots[0];
    m_pSlots[0] = &m_sentinel;
}

void CostHeap::Free() {
    if (m_pSlots) xfree(m_pSlots);
    m_pSlots = nullptr;
    m_nCapacity = 0;
    m_nCount = 0;
}

CContractionCost** CostHeap::Insert(CContractionCost* rec) {
    assert(m_nCount < m_nCapacity);
    unsigned int hole = ++m_nCount;
    // The sentinel in slot 0 comes before every record, so the climb stops at slot 1 at the latest.
    while (Before(rec, m_pSlots[hole >> 1])) {
        CContractionCost* parent = m_pSlots[hole >> 1];
        m_pSlots[hole] = parent;
        parent->slot = &m_pSlots[hole];
        hole >>= 1;
    }
    m_pSlots[hole] = rec;
    rec->slot = &m_pSlots[hole];
    return &m_pSlots[hole];
}

void CostHeap::SiftDown(unsigned int i, CContractionCost* rec) {
    const unsigned int n = m_nCount;
    while (2 * i <= n) {
        unsigned int child = 2 * i;
        if (child != n && Before(m_pSlots[child + 1], m_pSlots[child])) ++child;
        if (!Before(m_pSlots[child], rec)) break;
        m_pSlots[i] = m_pSlots[child];
        m_pSlots[i]->slot = &m_pSlots[i];
        i = child;
    }
    m_pSlots[i] = rec;
    rec->slot = &m_pSlots[i];
}

void CostHeap::PopTop(CContractionCost*& rec) {
    assert(m_nCount > 0);
    rec = m_pSlots[1];
    CContractionCost* last = m_pSlots[m_nCount];
    --m_nCount;
    if (m_nCount > 0) SiftDown(1, last);
}

void CostHeap::Remove(CContractionCost** slot) {
    unsigned int i = unsigned(slot - m_pSlots);
    assert(i >= 1 && i <= m_nCount);
    CContractionCost* last = m_pSlots[m_nCount];
    if (i == m_nCount) {
        --m_nCount;
        return;
    }
    // The last record may belong above the hole (it came from another subtree): climb first.
    while (Before(last, m_pSlots[i >> 1])) {
        m_pSlots[i] = m_pSlots[i >> 1];
        m_pSlots[i]->slot = &m_pSlots[i];
        i >>= 1;
    }
    m_pSlots[i] = last;
    last->slot = &m_pSlots[i];
    --m_nCount;
    SiftDown(i, last);
}

bool CostHeap::CheckConsistency() const {
    if (!m_pSlots) return m_nCount == 0;
    if (m_pSlots[0] != &m_sentinel) return false;
    for (unsigned int i = 1; i <= m_nCount; ++i) {
        if (m_pSlots[i]->slot != &m_pSlots[i]) return false;
        if (i > 1 && Before(m_pSlots[i], m_pSlots[i >> 1])) return false;
    }
    return true;
}

}  // namespace kestovar
