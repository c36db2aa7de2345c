// SlotOrderSet: a hash set that places its keys exactly as CHashTable<KEY, METHODS> does, so that
// its slot order (the order in which a query hands out what it collected) is the same, but that
// keeps its slot memory across Reset and growth.
//
// Placement, as in CHashCore: the home slot is METHODS::Hash(key) modulo the slot count; probing
// steps by 1, 3, 5, ... slots (wrapping); an insertion takes the first deleted slot met on its way
// when there is one, else the never-used slot that ends the probe; removal leaves a deleted slot.
// After a new entry, once occupied plus deleted slots reach half the slot count, the table is
// rebuilt with GrownSlotCount slots (the library's growth rule, hashmap.h); the rebuild moves the
// live keys in slot order.
//
// Memory. CHashTable frees and allocates on every rebuild and on every re-initialisation at
// another size; here the two slot buffers (the table and the rebuild target) only ever grow, so
// once the largest table met is allocated, Reset, Insert and Remove allocate nothing. Used by
// the contraction loop, whose neighbourhood queries must give their faces in the order a fresh
// CHashTable<int> of the query helper's size would.
#pragma once

#include <cstdint>

#include "../core/prefetch.h"
#include "kestovar/core/array.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/memory.h"

namespace kestovar {

template <class KEY, class METHODS = CHashMethods<KEY>>
class SlotOrderSet {
public:
    // Empties the set into NextPrime(requested) never-used slots, as a fresh CHashTable(requested).
    void Reset(unsigned requested) {
        if (requested != m_requested || m_primeOfRequested == 0) {
            m_requested = requested;
            m_primeOfRequested = NextPrime(requested);
        }
        Start(m_primeOfRequested);
    }

    // Adds `key`; true when it was new.
    bool Insert(const KEY& key) {
        Slot* slots = Current();
        unsigned pos = Home(key);
        Slot* firstDeleted = nullptr;
        for (unsigned step = 1;; step += 2) {
            Slot& s = slots[pos];
            if (s.state == detail::kSlotOccupied) {
                if (METHODS::Equal(s.key, key)) return false;
            } else if (s.state == detail::kSlotNeverUsed) {
                break;
            } else if (!firstDeleted) {
                firstDeleted = &s;
            }
            pos += step;
            if (pos >= m_capacity) pos -= m_capacity;
        }
        Slot* target = firstDeleted;
        if (!target) {
            target = &slots[pos];
            ++m_fill;
        }
        target->key = key;
        target->state = detail::kSlotOccupied;
        ++m_count;
        if (m_fill >= m_capacity / 2) Grow();
        return true;
    }

    // Removes `key`; true when it was present.
    bool Remove(const KEY& key) {
        Slot* slots = Current();
        unsigned pos = Home(key);
        for (unsigned step = 1;; step += 2) {
            Slot& s = slots[pos];
            if (s.state == detail::kSlotOccupied) {
                if (METHODS::Equal(s.key, key)) {
                    s.state = detail::kSlotDeleted;
                    --m_count;
                    return true;
                }
            } else if (s.state == detail::kSlotNeverUsed) {
                return false;
            }
            pos += step;
            if (pos >= m_capacity) pos -= m_capacity;
        }
    }

    // Writes the keys in slot order to `out` (room for GetCount() keys).
    void CopyTo(KEY* out) const {
        const Slot* slots = Current();
        for (unsigned i = 0; i < m_capacity; ++i)
            if (slots[i].state == detail::kSlotOccupied) *out++ = slots[i].key;
    }

    unsigned GetCount() const { return m_count; }
    unsigned GetCapacity() const { return m_capacity; }

private:
    struct Slot {
        KEY key;
        uint32_t state;
    };

    Slot* Current() { return m_buffers[m_current].GetData(); }
    const Slot* Current() const { return m_buffers[m_current].GetData(); }
    unsigned Home(const KEY& key) const { return detail::FastMod(METHODS::Hash(key), m_magic, m_capacity); }

    // Makes the current buffer a table of `capacity` never-used slots.
    void Start(unsigned capacity) {
        CXArray<Slot>& buffer = m_buffers[m_current];
        if (buffer.GetSize() < int(capacity)) buffer.SetSize(int(capacity));
        Slot* slots = buffer.GetData();
        for (unsigned i = 0; i < capacity; ++i) slots[i].state = detail::kSlotNeverUsed;
        m_capacity = capacity;
        m_magic = detail::ModMagic(capacity);
        m_fill = m_count = 0;
    }

    void Grow() {
        const unsigned target = GrownSlotCount(m_count, m_fill, m_capacity);
        const Slot* old = Current();
        const unsigned oldCapacity = m_capacity, count = m_count;
        m_current ^= 1;
        Start(target);
        Slot* slots = Current();
        for (unsigned i = 0; i < oldCapacity; ++i) {
            if (old[i].state != detail::kSlotOccupied) continue;
            unsigned pos = Home(old[i].key);
            for (unsigned step = 1; slots[pos].state != detail::kSlotNeverUsed; step += 2) {
                pos += step;
                if (pos >= target) pos -= target;
            }
            slots[pos] = old[i];
        }
        m_fill = m_count = count;
    }

    CXArray<Slot> m_buffers[2];
    int m_current = 0;
    unsigned m_capacity = 0;
    unsigned m_fill = 0;
    unsigned m_count = 0;
    uint64_t m_magic = 0;
    unsigned m_requested = 0;
    unsigned m_primeOfRequested = 0;
};

// The slot order of a CHashTable whose distinct keys are only ever inserted (never removed),
// reproduced without the keys: each key is known by the caller's index for it (equal indices for
// equal keys, below 0xFFFFFFFF) and by its hash (METHODS::Hash of the key), which an 8-byte slot
// holds, so that the growth rebuild can place it again. Placement and growth as in CHashCore (see
// SlotOrderSet); without removals every rebuild takes the growing branch. The preparation uses it
// for the edges of the working copy, whose CHashTable<C3DEdge> takes 12 bytes a slot and for
// which only the order matters.
class InsertOnlySlotOrder {
public:
    // NextPrime(requested) never-used slots, as a fresh CHashTable(requested).
    explicit InsertOnlySlotOrder(unsigned requested) { Allocate(NextPrime(requested)); }
    ~InsertOnlySlotOrder() { xfree(m_slots); }
    InsertOnlySlotOrder(const InsertOnlySlotOrder&) = delete;
    InsertOnlySlotOrder& operator=(const InsertOnlySlotOrder&) = delete;

    // Adds the key known by `index` with hash `hash`; true when it was new.
    bool Insert(unsigned hash, uint32_t index) {
        unsigned pos = detail::FastMod(hash, m_magic, m_capacity);
        for (unsigned step = 1; m_slots[pos].index != kNeverUsed; step += 2) {
            if (m_slots[pos].index == index) return false;
            pos += step;
            if (pos >= m_capacity) pos -= m_capacity;
        }
        m_slots[pos] = Slot{index, hash};
        ++m_count;
        if (m_count >= m_capacity / 2) Grow();
        return true;
    }

    // Asks for the home slot of a key with hash `hash` to be brought into the cache (a key about to
    // be inserted; a rebuild in between only makes the request useless).
    void Prefetch(unsigned hash) const { detail::PrefetchLine(&m_slots[detail::FastMod(hash, m_magic, m_capacity)]); }

    // Writes the keys' indices in slot order to `out` (room for GetCount() indices).
    void CopyTo(uint32_t* out) const {
        // Used and never-used slots alternate without a pattern to predict (the table is a
        // quarter to a half full), so the copy stores every slot's index and advances only past
        // used ones rather than branching on each; a store past the last key would lie outside
        // `out`, so the walk ends with the last key.
        const Slot* slot = m_slots;
        for (unsigned n = 0; n < m_count; ++slot) {
            const uint32_t index = slot->index;
            out[n] = index;
            n += index != kNeverUsed ? 1u : 0u;
        }
    }

    unsigned GetCount() const { return m_count; }
    unsigned GetCapacity() const { return m_capacity; }

private:
    static constexpr uint32_t kNeverUsed = 0xFFFFFFFFu;
    struct Slot {
        uint32_t index;
        uint32_t hash;
    };

    // Makes a table of `capacity` never-used slots the current one; the previous table is left
    // to the caller (so that a failed allocation leaves it in place).
    void Allocate(unsigned capacity) {
        Slot* slots = static_cast<Slot*>(xmalloc(size_t(capacity) * sizeof(Slot)));
        if (!slots) XThrow<CXMemoryException>();
        for (unsigned i = 0; i < capacity; ++i) slots[i].index = kNeverUsed;
        m_slots = slots;
        m_capacity = capacity;
        m_magic = detail::ModMagic(capacity);
        m_count = 0;
    }

    void Grow() {
        Slot* old = m_slots;
        const unsigned oldCapacity = m_capacity, count = m_count;
        Allocate(NextPrime(oldCapacity >= 251 ? 2 * oldCapacity : 4 * oldCapacity));
        for (unsigned i = 0; i < oldCapacity; ++i) {
            if (old[i].index == kNeverUsed) continue;
            unsigned pos = detail::FastMod(old[i].hash, m_magic, m_capacity);
            for (unsigned step = 1; m_slots[pos].index != kNeverUsed; step += 2) {
                pos += step;
                if (pos >= m_capacity) pos -= m_capacity;
            }
            m_slots[pos] = old[i];
        }
        xfree(old);
        m_count = count;
    }

    Slot* m_slots = nullptr;
    unsigned m_capacity = 0;
    unsigned m_count = 0;
    uint64_t m_magic = 0;
};

}  // namespace kestovar
