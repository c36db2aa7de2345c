// CostHeap: the binary min-heap of candidate contractions, with a sentinel and slot back-pointers.
//
// Order. Record x comes before record y when, in turn: its priority is smaller; its cost is
// smaller (ordinary float comparison, so a NaN never comes first); its generation is smaller; its
// position kind is smaller. Otherwise x does not come first.
//
// Layout. Slots are one-based: slot 0 always points at the embedded sentinel (priority 0, cost
// -FLT_MAX), which compares before every real record (priority >= 1), so a sift-up needs no bound
// check. Every time a record is placed into slot i its `slot` field becomes &slots[i]; removing an
// arbitrary record is therefore O(log n) without a search. The heap does not own the records.
//
// Keys. Beside each slot the heap keeps a 32-bit order key of its record (priority and a
// truncated cost), so that the sift loops decide almost every comparison without reading a record;
// ties of the key fall back to the full comparison. A record's priority, cost and flags must
// therefore not change while it is in the heap (the engine changes them only on records it has
// popped or removed).
//
// Capacity. The slot array is sized once by Init and never grown: the engine sizes it with the
// number of candidates, and every later insertion re-inserts a record that was popped or removed,
// so the count never exceeds it (checked by an assertion).
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>

#include "kestovar/core/export.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/object.h"
#include "kestovar/simplify/quadric.h"

namespace kestovar {

class KESTOVAR_API CostHeap : public CXAllocated {
public:
    CostHeap();
    virtual ~CostHeap();
    CostHeap(const CostHeap&) = delete;
    CostHeap& operator=(const CostHeap&) = delete;

    // Frees any slot array, allocates capacity + 1 slots, copies `sentinel` into the heap and
    // points slot 0 at the copy. The count becomes 0.
    void Init(const CContractionCost& sentinel, unsigned int capacity);
    // Count = 0 (the slot array stays).
    void Reset() { m_nCount = 0; }
    // Releases the slot array; count and capacity 0.
    void Free();

    // Adds `rec`; returns the address of the slot that now holds it (the caller stores it in
    // rec->slot; the heap has already done so).
    CContractionCost** Insert(CContractionCost* rec);
    // Inserts records[order[0]], records[order[1]], ..., records[order[count - 1]]: the same
    // slots as that many Insert calls, but the records' slot fields are written in one pass at
    // the end and the records ahead are prefetched, so that building a large heap from records
    // scattered in memory does not wait on each one in turn.
    void InsertAll(CContractionCost* records, const uint32_t* order, unsigned int count);
    // Takes the top record into `rec`; it keeps a stale slot field. The heap must not be empty.
    void PopTop(CContractionCost*& rec);
    // Removes the record held by `slot` (an address inside the slot array, index 1..count).
    void Remove(CContractionCost** slot);

    // The top record (null when empty).
    CContractionCost* GetTop() const { return m_nCount ? m_pSlots[1] : nullptr; }
    unsigned int GetCount() const { return m_nCount; }
    unsigned int GetCapacity() const { return m_nCapacity; }
    bool IsEmpty() const { return m_nCount == 0; }
    // Slot i (0 is the sentinel, 1..count the records); for tests and consistency checks.
    CContractionCost* GetSlot(unsigned int i) const { return m_pSlots[i]; }
    const CContractionCost& GetSentinel() const { return m_sentinel; }

    // True when x comes before y in the heap order.
    static bool Before(const CContractionCost* x, const CContractionCost* y) {
        const unsigned px = x->flags & 0x3u, py = y->flags & 0x3u;
        if (px != py) return px < py;
        if (x->cost < y->cost) return true;
        if (!(x->cost == y->cost)) return false;
        const unsigned gx = unsigned(x->flags) >> 5, gy = unsigned(y->flags) >> 5;
        if (gx != gy) return gx < gy;
        return ((x->flags >> 2) & 0x7u) < ((y->flags >> 2) & 0x7u);
    }

    // Whole-structure check: the heap property holds between every parent and child and every
    // record's slot field points at its slot. Linear time; for tests and debug builds.
    bool CheckConsistency() const;

    // The sentinel record every engine heap uses: priority 0 (PRIORITY_TOP), cost -FLT_MAX
    // (bit pattern 0xFF7FFFFF), generation and kind 0, indices -1.
    static CContractionCost MakeSentinel();

private:
    // Order key of a record, kept beside its slot so that the sift loops compare without reading
    // the records (which lie scattered in memory): bits 30-31 the priority, bits 0-29 the cost
    // mapped to an unsigned value of the same order with its two lowest bits dropped (-0 counts
    // as +0; a NaN gets kNaNKey). Two keys of the same priority that differ and are not kNaNKey
    // order their records as Before does; equal keys or a NaN fall back to Before itself.
    static constexpr uint32_t kNaNKey = 0x3FFFFFFFu;
    static uint32_t KeyOf(const CContractionCost* rec) {
        uint32_t bits;
        float cost = rec->cost;
        if (cost == 0.0f) cost = 0.0f;
        std::memcpy(&bits, &cost, sizeof bits);
        uint32_t low;
        if (cost != cost)
            low = kNaNKey;
        else
            low = ((bits & 0x80000000u) ? ~bits : (bits | 0x80000000u)) >> 2;
        return ((rec->flags & 0x3u) << 30) | low;
    }
    static bool KeyBefore(uint32_t kx, uint32_t ky, const CContractionCost* x, const CContractionCost* y) {
        if ((kx ^ ky) >> 30) return kx < ky;
        if (kx != ky && (kx & kNaNKey) != kNaNKey && (ky & kNaNKey) != kNaNKey) return kx < ky;
        return Before(x, y);
    }
    void SiftDown(unsigned int i, CContractionCost* rec, uint32_t key);

    unsigned int m_nCapacity;
    unsigned int m_nCount;
    CContractionCost** m_pSlots;  // capacity + 1 entries; slot 0 -> m_sentinel
    uint32_t* m_pKeys;            // KeyOf of each slot's record, same indices
    CContractionCost m_sentinel;
};

}  // namespace kestovar
