// CContractionPairIndex: the candidates' pair index, open addressing with the pair beside each
// record address (see ext_object.h for the layout and the rules it shares with CHashTable).
#include <cassert>

#include "kestovar/core/exception.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {

CContractionPairIndex::CContractionPairIndex(unsigned size) : m_nRequested(size) {
    Allocate(NextPrime(size));
}

CContractionPairIndex::~CContractionPairIndex() {
    Free();
}

void CContractionPairIndex::Allocate(unsigned capacity) {
    Slot* slots = static_cast<Slot*>(xmalloc(size_t(capacity) * sizeof(Slot)));
    if (!slots) XThrow<CXMemoryException>();
    for (unsigned i = 0; i < capacity; ++i) {
        slots[i].rec = nullptr;
        slots[i].pair = kFreePair;
    }
    m_pSlots = slots;
    m_nCapacity = capacity;
    m_nModMagic = detail::ModMagic(capacity);
    m_nFill = m_nCount = 0;
}

void CContractionPairIndex::InitHashTable(unsigned size) {
    Free();
    m_nRequested = size;
    Allocate(NextPrime(size));
}

void CContractionPairIndex::Free() {
    xfree(m_pSlots);
    m_pSlots = nullptr;
    m_nCapacity = m_nFill = m_nCount = 0;
    m_nModMagic = 0;
}

void CContractionPairIndex::RemoveAll() {
    for (unsigned i = 0; i < m_nCapacity; ++i) {
        m_pSlots[i].rec = nullptr;
        m_pSlots[i].pair = kFreePair;
    }
    m_nFill = m_nCount = 0;
}

int CContractionPairIndex::Insert(CContractionCost* rec) {
    const uint64_t pair = PairOf(rec);
    if (pair == kFreePair) return 0;
    if (!m_pSlots) Allocate(NextPrime(m_nRequested));
    const unsigned capacity = m_nCapacity;
    unsigned pos = Home(pair);
    Slot* firstDeleted = nullptr;
    for (unsigned step = 1;; step += 2) {
        Slot& s = m_pSlots[pos];
        if (s.pair == pair) return 0;
        if (!s.rec) break;
        if (s.pair == kFreePair && !firstDeleted) firstDeleted = &s;
        assert(step <= 2 * capacity);
        pos += step;
        if (pos >= capacity) pos -= capacity;
    }
    // The first deleted slot passed, else the never-used slot that ended the probe.
    Slot* target = firstDeleted;
    if (!target) {
        target = &m_pSlots[pos];
        ++m_nFill;
    }
    target->rec = rec;
    target->pair = pair;
    ++m_nCount;
    if (m_nFill >= m_nCapacity / 2) GrowIfFull();
    return 1;
}

void CContractionPairIndex::InsertNew(CContractionCost* rec) {
    const uint64_t pair = PairOf(rec);
    assert(pair != kFreePair && !Lookup(pair));
    if (!m_pSlots) Allocate(NextPrime(m_nRequested));
    const unsigned capacity = m_nCapacity;
    unsigned pos = Home(pair);
    // Insert takes the first deleted slot of the probe, else the never-used slot ending it: the
    // first free slot either way.
    for (unsigned step = 1; m_pSlots[pos].pair != kFreePair; step += 2) {
        assert(step <= 2 * capacity);
        pos += step;
        if (pos >= capacity) pos -= capacity;
    }
    Slot& target = m_pSlots[pos];
    if (!target.rec) ++m_nFill;
    target.rec = rec;
    target.pair = pair;
    ++m_nCount;
    if (m_nFill >= m_nCapacity / 2) GrowIfFull();
}

int CContractionPairIndex::Remove(const CContractionCost* key, bool rehash) {
    Slot* s = const_cast<Slot*>(Lookup(PairOf(key)));
    if (!s) return 0;
    // Deleted: a free pair over a record address that is still set.
    s->pair = kFreePair;
    --m_nCount;
    if (rehash && m_nCount >= 22) GrowIfFull();
    return 1;
}

void CContractionPairIndex::GrowIfFull() {
    if (!m_pSlots || m_nFill == 0 || m_nFill < m_nCapacity / 2) return;
    Rebuild(GrownSlotCount(m_nCount, m_nFill, m_nCapacity));
}

void CContractionPairIndex::Rebuild(unsigned capacity) {
    Slot* old = m_pSlots;
    const unsigned oldCapacity = m_nCapacity;
    const unsigned count = m_nCount;
    m_pSlots = nullptr;
    try {
        Allocate(capacity);
    } catch (...) {
        m_pSlots = old;
        throw;
    }
    for (unsigned i = 0; i < oldCapacity; ++i) {
        const Slot& from = old[i];
        if (from.pair == kFreePair) continue;
        unsigned pos = Home(from.pair);
        for (unsigned step = 1; m_pSlots[pos].rec; step += 2) {
            pos += step;
            if (pos >= capacity) pos -= capacity;
        }
        m_pSlots[pos] = from;
    }
    xfree(old);
    m_nFill = m_nCount = count;
}

}  // namespace kestovar
