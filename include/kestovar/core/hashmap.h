// Hash containers with open addressing: CHashMap (key -> value) and CHashTable (set of keys), their
// key policies CHashMethods<T>, the prime rule NextPrime and CIntMap.
//
// Layout. One array of slots; a slot holds the key, the value (maps only) and a 32-bit state:
// 0 occupied, 1 never used, 2 deleted. The slot count is always a result of NextPrime.
//
// Placement. A key's home slot is METHODS::Hash(key) modulo the slot count, in unsigned 32-bit
// arithmetic. Probes then step by 1, 3, 5, ... slots (wrapping), i.e. they land at h, h+1, h+4, h+9,
// ... A lookup stops at the first never-used slot. An insertion of a new key reuses the first deleted
// slot it passed, else takes the never-used slot that ended the probe (which raises the fill).
//
// Growth. The fill counts occupied and deleted slots. After a new entry, when fill >= slots / 2
// (integer division), the table is rebuilt (ReHash(false)):
//   - count / fill <= 0.65 (many deleted slots): NextPrime(max(21, (2 * count + 2) / 0.65)) slots;
//   - otherwise NextPrime(4 * slots), or NextPrime(2 * slots) once there are 251 slots or more.
// Live entries are reinserted in slot order. Keeping the fill below half of a prime slot count
// guarantees that the quadratic probe reaches a never-used slot, so no operation ever fails to find
// room.
//
// Iteration follows slot order: start with position -1 (kHashStartPosition) and call GetNext until
// it returns false. Pointers and positions are invalidated by any insertion (a rebuild moves the
// slots); removal keeps them valid.
#pragma once

#include <cassert>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kestovar/core/array.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/object.h"

namespace kestovar {

class CXArchive;

// The smallest prime >= n, by the library's fixed rule: n < 3 gives n + 1; otherwise candidates
// start at n (n + 1 when n is even) and step by 2; a candidate below 9 is taken as is, a larger one
// when no odd d >= 3 with d * d <= candidate divides it. (Above the largest 32-bit prime,
// 4294967291, that prime is returned.)
KESTOVAR_API unsigned int NextPrime(unsigned int n);

// The slot count a table of `slots` slots is rebuilt with once its fill (occupied and deleted
// slots, at least 1) has reached half of them and it holds `count` live entries: the growth rule
// above. Every open-addressing table of the library grows by it.
KESTOVAR_API unsigned int GrownSlotCount(unsigned int count, unsigned int fill, unsigned int slots);

// Position before the first slot, for GetNext.
constexpr int kHashStartPosition = -1;

// The pair of material identifiers on the two sides of a face border (front, back).
struct FBMaterialID {
    unsigned int front;
    unsigned int back;
    bool operator==(const FBMaterialID& o) const { return front == o.front && back == o.back; }
    bool operator!=(const FBMaterialID& o) const { return !(*this == o); }
};

// ---- key policies --------------------------------------------------------------------------------
//
// CHashMethods<T> supplies, for a key type T:
//   static unsigned Hash(const T& key);            // the value reduced modulo the slot count
//   static bool Equal(const T& a, const T& b);     // must agree with Hash: equal keys, equal hashes
// Other parts of the library specialise it for their own key types (points, edges, colours).
template <class T>
struct CHashMethods;

// 32-bit (and narrower) integers: key << 4.
template <class T>
struct CHashMethodsInt32 {
    static unsigned Hash(T key) { return unsigned(key) << 4; }
    static bool Equal(T a, T b) { return a == b; }
};

// The 64-bit to 32-bit integer mix used for 64-bit keys (thread identifiers): the low 32 bits of
// a = (k << 18) + ~k; a ^= a >> 31; a *= 21; a ^= a >> 11; a *= 65; a ^= a >> 22.
inline unsigned HashMix64(uint64_t k) {
    uint64_t a = (k << 18) + ~k;
    a ^= a >> 31;
    a *= 21;
    a ^= a >> 11;
    a *= 65;
    a ^= a >> 22;
    return unsigned(a);
}

template <class T>
struct CHashMethodsInt64 {
    static unsigned Hash(T key) { return HashMix64(uint64_t(key)); }
    static bool Equal(T a, T b) { return a == b; }
};

template <> struct CHashMethods<char> : CHashMethodsInt32<char> {};
template <> struct CHashMethods<signed char> : CHashMethodsInt32<signed char> {};
template <> struct CHashMethods<unsigned char> : CHashMethodsInt32<unsigned char> {};
template <> struct CHashMethods<short> : CHashMethodsInt32<short> {};
template <> struct CHashMethods<unsigned short> : CHashMethodsInt32<unsigned short> {};
template <> struct CHashMethods<wchar_t> : CHashMethodsInt32<wchar_t> {};
template <> struct CHashMethods<int> : CHashMethodsInt32<int> {};
template <> struct CHashMethods<unsigned int> : CHashMethodsInt32<unsigned int> {};
template <> struct CHashMethods<long> : CHashMethodsInt64<long> {};
template <> struct CHashMethods<unsigned long> : CHashMethodsInt64<unsigned long> {};
template <> struct CHashMethods<long long> : CHashMethodsInt64<long long> {};
template <> struct CHashMethods<unsigned long long> : CHashMethodsInt64<unsigned long long> {};

// Material pair: ((high + low) << 4), the two words taken as the halves of one 64-bit key.
template <>
struct CHashMethods<FBMaterialID> {
    static unsigned Hash(const FBMaterialID& key) { return (key.front + key.back) << 4; }
    static bool Equal(const FBMaterialID& a, const FBMaterialID& b) { return a == b; }
};

// Pointers: identity, hashed through the 64-bit mix of the address.
template <class T>
struct CHashMethods<T*> {
    static unsigned Hash(T* key) { return HashMix64(uint64_t(reinterpret_cast<uintptr_t>(key))); }
    static bool Equal(T* a, T* b) { return a == b; }
};

// Floating-point keys: compared with ==, hashed by bit pattern with -0.0 folded onto 0.0 so that
// the two equal zeros share a slot. A NaN key is never equal to anything, so it is never found.
template <>
struct CHashMethods<float> {
    static unsigned Hash(float key) {
        if (key == 0.0f) key = 0.0f;
        uint32_t bits;
        std::memcpy(&bits, &key, sizeof bits);
        return HashMix64(bits);
    }
    static bool Equal(float a, float b) { return a == b; }
};
template <>
struct CHashMethods<double> {
    static unsigned Hash(double key) {
        if (key == 0.0) key = 0.0;
        uint64_t bits;
        std::memcpy(&bits, &key, sizeof bits);
        return HashMix64(bits);
    }
    static bool Equal(double a, double b) { return a == b; }
};

// FNV-1a over a run of characters (narrow or wide), for string key policies.
template <class CH>
unsigned HashCharacters(const CH* text, size_t length) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        h ^= uint32_t(std::make_unsigned_t<CH>(text[i]));
        h *= 16777619u;
    }
    return h;
}

template <class T>
class CXTString;

// Strings: by content.
template <class T>
struct CHashMethods<CXTString<T>> {
    static unsigned Hash(const CXTString<T>& key) { return HashCharacters(key.GetString(), size_t(key.GetLength())); }
    static bool Equal(const CXTString<T>& a, const CXTString<T>& b) {
        return a.GetLength() == b.GetLength() &&
               std::memcmp(a.GetString(), b.GetString(), size_t(a.GetLength()) * sizeof(T)) == 0;
    }
};

namespace detail {

enum : uint32_t { kSlotOccupied = 0, kSlotNeverUsed = 1, kSlotDeleted = 2 };

// Reduction modulo a run-time divisor d >= 1 without a division instruction (Lemire, Kaser and
// Kurz, "Faster remainder by direct computation", 2019): with M = ceil(2^64 / d), a mod d equals
// the high 64 bits of (M * a mod 2^64) * d, exactly, for every 32-bit a and d.
inline uint64_t ModMagic(uint32_t d) { return UINT64_MAX / d + 1; }

inline uint32_t FastMod(uint32_t a, uint64_t magic, uint32_t d) {
    // __extension__ keeps hosts that build with -Wpedantic free of a warning for the 128-bit type.
    __extension__ typedef unsigned __int128 Wide;
    uint64_t low = magic * a;
    return uint32_t((Wide(low) * d) >> 64);
}

template <class KEY, class VALUE>
struct CHashMapSlot {
    KEY key;
    VALUE value;
    uint32_t state;
};

template <class KEY>
struct CHashSetSlot {
    KEY key;
    uint32_t state;
};

// The machinery shared by CHashMap and CHashTable. Keys (and values) are constructed only in
// occupied slots; never-used and deleted slots hold raw bytes.
template <class KEY, class SLOT, class METHODS>
class CHashCore : public CXAllocated {
    static constexpr bool kHasValue = !std::is_same_v<SLOT, CHashSetSlot<KEY>>;

public:
    // Live entries.
    int GetCount() const { return int(m_nCount); }
    bool IsEmpty() const { return m_nCount == 0; }
    // Slot count (0 after Free until the next insertion).
    unsigned GetCapacity() const { return m_nCapacity; }
    // Occupied plus deleted slots.
    unsigned GetFill() const { return m_nFill; }
    // The size asked for at construction or by the last InitHashTable.
    unsigned GetRequestedSize() const { return m_nRequested; }

    // Discards every entry and starts over with NextPrime(size) never-used slots.
    void InitHashTable(unsigned size) {
        Free();
        m_nRequested = size;
        Allocate(NextPrime(size));
    }
    // Destroys every entry and releases the slots; the next insertion re-creates
    // NextPrime(requested size) slots.
    void Free() {
        DestroyAll();
        xfree(m_pSlots);
        m_pSlots = nullptr;
        m_nCapacity = m_nFill = m_nCount = 0;
        m_nModMagic = 0;
    }
    // Removes every entry but keeps the slot count.
    void RemoveAll() {
        DestroyAll();
        for (unsigned i = 0; i < m_nCapacity; ++i) m_pSlots[i].state = kSlotNeverUsed;
        m_nFill = m_nCount = 0;
    }

    // ReHash(false), the growth rehash: nothing unless fill >= slots / 2; then rebuilds with the
    // slot count of the growth rule (header comment). ReHash(true), the fit rehash: rebuilds with
    // NextPrime(max(5, 2 * count + 2)) slots unless that is the current count. Returns whether the
    // table was rebuilt.
    bool ReHash(bool fit) {
        if (!m_pSlots) return false;
        unsigned target;
        if (fit) {
            unsigned want = 2 * m_nCount + 2;
            target = NextPrime(want < 5 ? 5 : want);
            if (target == m_nCapacity) return false;
        } else {
            if (m_nFill == 0 || m_nFill < m_nCapacity / 2) return false;
            target = GrownSlotCount(m_nCount, m_nFill, m_nCapacity);
        }
        Rebuild(target);
        return true;
    }

    // Slot-level view, for diagnostics and tests: the slot holding `key` (-1 when absent), and the
    // state of a slot (0 occupied, 1 never used, 2 deleted).
    int GetSlotIndex(const KEY& key) const {
        const SLOT* s = Lookup(key);
        return s ? int(s - m_pSlots) : -1;
    }
    uint32_t GetSlotState(unsigned index) const {
        assert(index < m_nCapacity);
        return m_pSlots[index].state;
    }

protected:
    explicit CHashCore(unsigned size) : m_nRequested(size) { Allocate(NextPrime(size)); }
    CHashCore(const CHashCore& other) : m_nRequested(other.m_nRequested) { CopyFrom(other); }
    CHashCore(CHashCore&& other) noexcept { TakeFrom(other); }
    CHashCore& operator=(const CHashCore& other) {
        if (this != &other) {
            Free();
            m_nRequested = other.m_nRequested;
            CopyFrom(other);
        }
        return *this;
    }
    CHashCore& operator=(CHashCore&& other) noexcept {
        if (this != &other) {
            Free();
            TakeFrom(other);
        }
        return *this;
    }
    ~CHashCore() { Free(); }

    unsigned Home(const KEY& key) const { return FastMod(METHODS::Hash(key), m_nModMagic, m_nCapacity); }

    // The occupied slot holding `key`, or null.
    SLOT* Lookup(const KEY& key) const {
        if (!m_pSlots) [[unlikely]]
            return nullptr;
        const unsigned capacity = m_nCapacity;
        unsigned pos = Home(key);
        for (unsigned step = 1;; step += 2) {
            SLOT& s = m_pSlots[pos];
            if (s.state == kSlotOccupied) {
                if (METHODS::Equal(s.key, key)) return &s;
            } else if (s.state == kSlotNeverUsed) {
                return nullptr;
            }
            assert(step <= 2 * capacity);
            pos += step;
            if (pos >= capacity) pos -= capacity;
        }
    }

    // The slot for `key`: its existing slot (isNew false) or a newly claimed one whose key is
    // constructed and whose value (maps) is left for the caller to construct. The caller then calls
    // AfterNewEntry.
    SLOT* Claim(const KEY& key, bool& isNew) {
        if (!m_pSlots) Allocate(NextPrime(m_nRequested));
        const unsigned capacity = m_nCapacity;
        unsigned pos = Home(key);
        SLOT* firstDeleted = nullptr;
        for (unsigned step = 1;; step += 2) {
            SLOT& s = m_pSlots[pos];
            if (s.state == kSlotOccupied) {
                if (METHODS::Equal(s.key, key)) {
                    isNew = false;
                    return &s;
                }
            } else if (s.state == kSlotNeverUsed) {
                break;
            } else if (!firstDeleted) {
                firstDeleted = &s;
            }
            assert(step <= 2 * capacity);
            pos += step;
            if (pos >= capacity) pos -= capacity;
        }
        SLOT* target = firstDeleted ? firstDeleted : &m_pSlots[pos];
        ::new (static_cast<void*>(&target->key)) KEY(key);  // a key that cannot be copied claims nothing
        if (!firstDeleted) ++m_nFill;
        target->state = kSlotOccupied;
        ++m_nCount;
        isNew = true;
        return target;
    }

    // ---- loading (CHashMap::Loader) ----
    // Empties the table as InitHashTable(size) does, leaving the states of the new slots
    // unwritten: the load treats every slot from its clear mark on as never used.
    void BeginLoad(unsigned size) {
        Free();
        m_nRequested = size;
        Allocate(NextPrime(size), false);
    }
    // Claim for a load, with the home slot of `key` computed by the caller. Slots from `cleared`
    // on are never used; taking one of them first clears the states up to it and moves the mark
    // past it. Loads only insert, so no slot is deleted.
    SLOT* ClaimLoading(const KEY& key, unsigned home, unsigned& cleared, bool& isNew) {
        const unsigned capacity = m_nCapacity;
        assert(home < capacity);
        unsigned pos = home;
        for (unsigned step = 1;; step += 2) {
            if (pos >= cleared) {
                for (unsigned i = cleared; i < pos; ++i) m_pSlots[i].state = kSlotNeverUsed;
                cleared = pos + 1;
                break;
            }
            SLOT& s = m_pSlots[pos];
            if (s.state == kSlotNeverUsed) break;
            assert(s.state == kSlotOccupied);
            if (METHODS::Equal(s.key, key)) {
                isNew = false;
                return &s;
            }
            assert(step <= 2 * capacity);
            pos += step;
            if (pos >= capacity) pos -= capacity;
        }
        SLOT& target = m_pSlots[pos];
        ::new (static_cast<void*>(&target.key)) KEY(key);
        target.state = kSlotOccupied;
        ++m_nFill;
        ++m_nCount;
        isNew = true;
        return &target;
    }
    // Ends a load: the slots from `cleared` on become never used.
    void EndLoad(unsigned cleared) {
        for (unsigned i = cleared; i < m_nCapacity; ++i) m_pSlots[i].state = kSlotNeverUsed;
    }

    // Runs the growth rule after a new entry; true when the slots were rebuilt.
    bool AfterNewEntry() { return m_nFill >= m_nCapacity / 2 && ReHash(false); }

    // Undoes the claim of `slot` (Claim made with `fill` the fill count before it): its key is
    // destroyed, and its value too when `withValue`, and a slot the claim took from the never-used
    // ones is never used again, so the table is exactly as before the claim.
    void Unclaim(SLOT* slot, unsigned fill, bool withValue) {
        if (withValue)
            DestroySlot(*slot);
        else
            slot->key.~KEY();
        slot->state = m_nFill != fill ? kSlotNeverUsed : kSlotDeleted;
        m_nFill = fill;
        --m_nCount;
    }
    // AfterNewEntry for the entry just claimed in `slot` (fill count `fill` before the claim),
    // with its key and value constructed. When the growth cannot be made, the claim is undone
    // before the exception goes on: an insertion that raises has stored nothing, which lets a
    // caller handing over an owned pointer know that it still owns it.
    bool AfterClaim(SLOT* slot, unsigned fill) {
        try {
            return AfterNewEntry();
        } catch (...) {
            Unclaim(slot, fill, true);
            throw;
        }
    }

    // Removes the entry in `slot` (must be occupied).
    void Release(SLOT* slot, bool rehash) {
        DestroySlot(*slot);
        slot->state = kSlotDeleted;
        --m_nCount;
        if (rehash && m_nCount >= 22) ReHash(false);
    }

    // The next occupied slot after `position`, updating it; null at the end.
    SLOT* NextSlot(int& position) const {
        if (!m_pSlots) return nullptr;
        for (unsigned i = unsigned(position + 1); i < m_nCapacity; ++i) {
            if (m_pSlots[i].state == kSlotOccupied) {
                position = int(i);
                return &m_pSlots[i];
            }
        }
        position = int(m_nCapacity);
        return nullptr;
    }

    unsigned m_nRequested = 21;
    unsigned m_nCapacity = 0;
    unsigned m_nFill = 0;
    unsigned m_nCount = 0;
    SLOT* m_pSlots = nullptr;
    // Cached ModMagic(m_nCapacity) for Home.
    uint64_t m_nModMagic = 0;

private:
    static void DestroySlot(SLOT& s) {
        s.key.~KEY();
        if constexpr (kHasValue) {
            using V = decltype(s.value);
            s.value.~V();
        }
    }
    void DestroyAll() {
        if constexpr (!std::is_trivially_destructible_v<SLOT>) {
            for (unsigned i = 0; i < m_nCapacity; ++i)
                if (m_pSlots[i].state == kSlotOccupied) DestroySlot(m_pSlots[i]);
        }
    }
    // Slots with unwritten states serve a load (see CHashMap::Loader), which clears them itself.
    void Allocate(unsigned capacity, bool clear = true) {
        SLOT* slots = static_cast<SLOT*>(xmalloc(size_t(capacity) * sizeof(SLOT)));
        if (!slots) XThrow<CXMemoryException>();
        if (clear)
            for (unsigned i = 0; i < capacity; ++i) slots[i].state = kSlotNeverUsed;
        m_pSlots = slots;
        m_nCapacity = capacity;
        m_nModMagic = ModMagic(capacity);
        m_nFill = m_nCount = 0;
    }
    // Moves the live entries, in slot order, into `capacity` fresh slots.
    void Rebuild(unsigned capacity) {
        SLOT* old = m_pSlots;
        unsigned oldCapacity = m_nCapacity;
        unsigned count = m_nCount;
        Allocate(capacity);
        for (unsigned i = 0; i < oldCapacity; ++i) {
            SLOT& from = old[i];
            if (from.state != kSlotOccupied) continue;
            unsigned pos = Home(from.key);
            for (unsigned step = 1; m_pSlots[pos].state != kSlotNeverUsed; step += 2) {
                pos += step;
                if (pos >= capacity) pos -= capacity;
            }
            SLOT& to = m_pSlots[pos];
            ::new (static_cast<void*>(&to.key)) KEY(std::move(from.key));
            if constexpr (kHasValue) {
                using V = decltype(from.value);
                ::new (static_cast<void*>(&to.value)) V(std::move(from.value));
            }
            to.state = kSlotOccupied;
            DestroySlot(from);
        }
        xfree(old);
        m_nFill = m_nCount = count;
    }
    // Same slot count and slot states as `other`, so iteration order is identical. When a key or
    // value cannot be copied, the copies made so far and the slots are released (the table is then
    // empty and holds no block, which also serves the copy constructor, whose destructor does not
    // run) and the exception goes on.
    void CopyFrom(const CHashCore& other) {
        if (!other.m_pSlots) return;
        Allocate(other.m_nCapacity);
        try {
            for (unsigned i = 0; i < m_nCapacity; ++i) {
                const SLOT& from = other.m_pSlots[i];
                SLOT& to = m_pSlots[i];
                if (from.state == kSlotOccupied) {
                    ::new (static_cast<void*>(&to.key)) KEY(from.key);
                    if constexpr (kHasValue) {
                        using V = decltype(from.value);
                        try {
                            ::new (static_cast<void*>(&to.value)) V(from.value);
                        } catch (...) {
                            to.key.~KEY();
                            throw;
                        }
                    }
                }
                to.state = from.state;
            }
        } catch (...) {
            Free();  // slots not reached are still never used
            throw;
        }
        m_nFill = other.m_nFill;
        m_nCount = other.m_nCount;
    }
    void TakeFrom(CHashCore& other) {
        m_nRequested = other.m_nRequested;
        m_nCapacity = other.m_nCapacity;
        m_nFill = other.m_nFill;
        m_nCount = other.m_nCount;
        m_pSlots = other.m_pSlots;
        m_nModMagic = other.m_nModMagic;
        other.m_pSlots = nullptr;
        other.m_nCapacity = other.m_nFill = other.m_nCount = 0;
        other.m_nModMagic = 0;
    }
};

}  // namespace detail

// ---- the map -------------------------------------------------------------------------------------

template <class KEY, class ARG_KEY, class VALUE, class METHODS = CHashMethods<KEY>>
class CHashMap : public detail::CHashCore<KEY, detail::CHashMapSlot<KEY, VALUE>, METHODS> {
    typedef detail::CHashCore<KEY, detail::CHashMapSlot<KEY, VALUE>, METHODS> Core;

public:
    typedef detail::CHashMapSlot<KEY, VALUE> Slot;

    // NextPrime(size) never-used slots (23 for the default 21).
    explicit CHashMap(unsigned size = 21) : Core(size) {}

    // Adds key -> value, or replaces the value of an existing key. Returns 1 for a new entry, 0 for
    // a replaced value. `key` and `value` may refer to entries of this map.
    // When it raises (CXMemoryException), the map is as before the call.
    int Insert(ARG_KEY key, const VALUE& value) {
        bool isNew;
        const unsigned fill = this->m_nFill;
        Slot* s = this->Claim(key, isNew);
        if (!isNew) {
            s->value = value;
            return 0;
        }
        try {
            ::new (static_cast<void*>(&s->value)) VALUE(value);
        } catch (...) {
            this->Unclaim(s, fill, false);
            throw;
        }
        this->AfterClaim(s, fill);
        return 1;
    }
    // Insert with both arguments taken by value.
    int Insert2(KEY key, VALUE value) { return Insert(key, value); }
    // The value of `key`, inserting a value-initialised one when absent (like operator[] of a map).
    // When it raises (CXMemoryException), the map is as before the call.
    VALUE& GetOrInsert(ARG_KEY key) {
        bool isNew;
        const unsigned fill = this->m_nFill;
        Slot* s = this->Claim(key, isNew);
        if (!isNew) return s->value;
        try {
            ::new (static_cast<void*>(&s->value)) VALUE();
        } catch (...) {
            this->Unclaim(s, fill, false);
            throw;
        }
        if (this->m_nFill < this->m_nCapacity / 2) return s->value;  // no growth due
        std::optional<KEY> copy;  // `key` may name a slot that the growth moves
        try {
            copy.emplace(s->key);
        } catch (...) {
            this->Unclaim(s, fill, true);
            throw;
        }
        this->AfterClaim(s, fill);
        return this->Lookup(*copy)->value;
    }

    // Fills an empty map from keys whose home slots the caller computes, with the result of the
    // same GetOrInsert calls on the map in the same order: same slots, same growth. The states of
    // the slots are written as the load reaches them instead of all up front, so a load whose
    // homes rise (a build sorted by home slot) writes the table once, front to back. While a
    // loader lives, the map is used through it only; its destructor (or Finish) completes the
    // table.
    class Loader {
    public:
        // Empties `map` and gives it NextPrime(size) slots, as InitHashTable(size) does.
        Loader(CHashMap& map, unsigned size) : m_map(map) {
            map.BeginLoad(size);
            m_nCapacity = map.m_nCapacity;
        }
        ~Loader() { Finish(); }
        Loader(const Loader&) = delete;
        Loader& operator=(const Loader&) = delete;

        // The slot count the homes are reduced by (the map's slot count until a growth rehash).
        unsigned GetCapacity() const { return m_nCapacity; }
        // GetOrInsert(key) of the map, for a key whose home is `home` = METHODS::Hash(key) mod
        // GetCapacity(). Once the growth rule has rebuilt the map, `home` is ignored.
        VALUE& GetOrInsert(ARG_KEY key, unsigned home) {
            if (m_nCleared == kFinished) [[unlikely]]
                return m_map.GetOrInsert(key);
            if (m_bWindow) CloseWindow();
            bool isNew;
            Slot* s = m_map.ClaimLoading(key, home, m_nCleared, isNew);
            if (!isNew) return s->value;
            ::new (static_cast<void*>(&s->value)) VALUE();
            if (m_map.m_nFill < m_nCapacity / 2) [[likely]]
                return s->value;
            KEY copy(s->key);
            Finish();
            m_map.AfterNewEntry();
            return m_map.Lookup(copy)->value;
        }
        // GetOrInsert for the entries i = 0, 1, ... < n of a run, with the state of the claims in
        // locals: keyAt(i, home) gives entry i's key and sets its home, and visit(i, value,
        // isNew) receives the key's value (value-initialised when the key is new). Stops before
        // an entry whose key, new, would make the growth rule rebuild the map, and returns how
        // many entries it took; the caller takes the rest through GetOrInsert.
        template <class KeyAt, class Visit>
        unsigned ClaimRun(unsigned n, KeyAt&& keyAt, Visit&& visit) {
            if (m_nCleared == kFinished) return 0;
            if constexpr (kWindowed) {
                if (!m_bInTable && m_nCapacity >= kWindowedCapacity && (reinterpret_cast<uintptr_t>(m_map.m_pSlots) & 15) == 0)
                    return ClaimRunWindowed(n, keyAt, visit);
            }
            Slot* const slots = m_map.m_pSlots;
            const unsigned capacity = m_nCapacity;
            const unsigned fillBefore = m_map.m_nFill;
            unsigned cleared = m_nCleared, fill = fillBefore;
            // Slots from `cleared` on are never used; reaching one, the states are written ahead
            // to the next kClearAhead boundary, so that the mark moves about once per that many
            // slots instead of with every claim.
            const auto at = [slots, capacity, &cleared](unsigned pos) __attribute__((always_inline)) -> Slot* {
                if (pos >= cleared) [[unlikely]] {
                    unsigned end = (pos + kClearAhead) & ~(kClearAhead - 1);
                    if (end > capacity || end <= pos) end = capacity;
                    for (unsigned j = cleared; j < end; ++j) slots[j].state = detail::kSlotNeverUsed;
                    cleared = end;
                }
                return &slots[pos];
            };
            const unsigned i = ClaimEach(n, keyAt, visit, at, fill);
            // Loads only insert: every slot filled holds a new key.
            m_map.m_nCount += fill - fillBefore;
            m_map.m_nFill = fill;
            m_nCleared = cleared;
            return i;
        }
        // Makes the runs claim their slots in the table itself rather than through the cache
        // window: for homes that rise only roughly (a build in face order with a hash that
        // follows the point indices), whose claims would otherwise fall behind the window.
        void ClaimInTable() {
            if (m_bWindow) CloseWindow();
            m_bInTable = true;
        }
        // Clears the slots the load has not reached; the map is then an ordinary map. Further
        // GetOrInsert calls go to the map itself.
        void Finish() {
            if (m_bWindow) CloseWindow();
            xfree(m_pWindow);
            m_pWindow = nullptr;
            if (m_nCleared == kFinished) return;
            m_map.EndLoad(m_nCleared);
            m_nCleared = kFinished;
        }

    private:
        // The claims of ClaimRun over the caller's view of the table: at(pos) is the slot at pos,
        // `fill` the map's fill kept in the caller's local. Returns how many entries it took.
        template <class KeyAt, class Visit, class SlotAt>
        [[gnu::always_inline]] inline unsigned ClaimEach(unsigned n, KeyAt& keyAt, Visit& visit, SlotAt& at,
                                                         unsigned& fill) {
            const unsigned capacity = m_nCapacity;
            // A new key that brings the fill to `limit` makes the growth rule rebuild the map.
            const unsigned limit = capacity / 2;
            unsigned i = 0;
            for (; i < n; ++i) {
                unsigned home;
                const KEY key = keyAt(i, home);
                assert(home < capacity);
                unsigned pos = home;
                Slot* s = at(pos);
                bool isNew = s->state == detail::kSlotNeverUsed;
                // Most keys are new in their home slot or found there; the others probe on.
                if (!isNew && !METHODS::Equal(s->key, key)) [[unlikely]] {
                    for (unsigned step = 1;; step += 2) {
                        assert(step <= 2 * capacity);
                        pos += step;
                        if (pos >= capacity) pos -= capacity;
                        s = at(pos);
                        if (s->state == detail::kSlotNeverUsed) {
                            isNew = true;
                            break;
                        }
                        assert(s->state == detail::kSlotOccupied);
                        if (METHODS::Equal(s->key, key)) break;
                    }
                }
                if (isNew & (fill + 1 >= limit)) [[unlikely]]
                    break;
                if constexpr (std::is_trivially_copyable_v<KEY> && std::is_trivially_copyable_v<VALUE>) {
                    // Without a branch: a found slot is rewritten with its own bytes.
                    const KEY stored = isNew ? key : s->key;
                    const VALUE value = isNew ? VALUE() : s->value;
                    s->key = stored;
                    s->value = value;
                    s->state = detail::kSlotOccupied;
                } else if (isNew) {
                    ::new (static_cast<void*>(&s->key)) KEY(key);
                    ::new (static_cast<void*>(&s->value)) VALUE();
                    s->state = detail::kSlotOccupied;
                }
                fill += isNew;
                visit(i, s->value, isNew);
            }
            return i;
        }

        // ClaimRun for a large table of 16-byte plain slots: the claims go to a window of
        // kWindow slots kept in the cache (a ring: slot p at m_pWindow[p % kWindow]) that opens
        // at the clear mark and slides forward as the claims move on; the slots it leaves behind
        // are copied to the table with streaming stores, so that the table's lines are written
        // once without being read first. Slots before the window are read and written in the
        // table itself (a probe that wraps past the end, a home below the window); a slot past
        // it moves the window. The window stays open from run to run, until a GetOrInsert call
        // or Finish closes it: its slots then go to the table and the clear mark to its end.
        template <class KeyAt, class Visit>
        unsigned ClaimRunWindowed(unsigned n, KeyAt& keyAt, Visit& visit) {
            if (!m_bWindow) {
                if (!m_pWindow) {
                    m_pWindow = static_cast<Slot*>(xmalloc(sizeof(Slot) * kWindow));
                    if (!m_pWindow) XThrow<CXMemoryException>();
                }
                // The table's slots from the clear mark on are unwritten, so never used.
                for (unsigned j = 0; j < kWindow; ++j) m_pWindow[j].state = detail::kSlotNeverUsed;
                m_nBase = m_nCleared;
                m_bWindow = true;
            }
            Slot* const slots = m_map.m_pSlots;
            Slot* const ring = m_pWindow;
            const unsigned capacity = m_nCapacity;
            const unsigned fillBefore = m_map.m_nFill;
            unsigned fill = fillBefore;
            // The window is [base, base + kWindow); the table's slots from base on are unwritten.
            unsigned base = m_nBase;
            // Copies the window's slots [from, to) to the table (those below the capacity) and
            // empties their ring entries, which then hold the never-used slots kWindow further on.
            const auto release = [slots, ring, capacity](unsigned from, unsigned to) __attribute__((always_inline)) {
                const unsigned end = to < capacity ? to : capacity;
                for (unsigned p = from; p < end; ++p) {
                    Slot& w = ring[p & (kWindow - 1)];
                    StreamSlot(slots + p, &w);
                    w.state = detail::kSlotNeverUsed;
                }
                for (unsigned p = end; p < to; ++p) ring[p & (kWindow - 1)].state = detail::kSlotNeverUsed;
            };
            const auto at = [&](unsigned pos) __attribute__((always_inline)) -> Slot* {
                if (pos - base < kWindow) [[likely]]
                    return &ring[pos & (kWindow - 1)];
                if (pos < base) return &slots[pos];
                // Past the window: it moves so that pos lies kWindowAhead slots before its end.
                const unsigned next = pos - (kWindow - kWindowAhead);
                if (next >= base + kWindow) {
                    // The whole window goes; the table's slots between it and the new one are
                    // never used.
                    release(base, base + kWindow);
                    for (unsigned p = base + kWindow; p < next; ++p) slots[p].state = detail::kSlotNeverUsed;
                } else {
                    release(base, next);
                }
                base = next;
                return &ring[pos & (kWindow - 1)];
            };
            const unsigned i = ClaimEach(n, keyAt, visit, at, fill);
            m_nBase = base;
            m_map.m_nCount += fill - fillBefore;
            m_map.m_nFill = fill;
            return i;
        }
        // Copies the open window to the table; the clear mark moves to its end.
        void CloseWindow() {
            Slot* const slots = m_map.m_pSlots;
            const unsigned end = m_nBase + kWindow < m_nCapacity ? m_nBase + kWindow : m_nCapacity;
            for (unsigned p = m_nBase; p < end; ++p) StreamSlot(slots + p, m_pWindow + (p & (kWindow - 1)));
            FinishStreaming();
            m_nCleared = end;
            m_bWindow = false;
        }
        static void StreamSlot(Slot* to, const Slot* from) {
#if defined(__SSE2__)
            _mm_stream_si128(reinterpret_cast<__m128i*>(to), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
#else
            std::memcpy(static_cast<void*>(to), from, sizeof(Slot));
#endif
        }
        static void FinishStreaming() {
#if defined(__SSE2__)
            _mm_sfence();
#endif
        }

        bool m_bInTable = false;
        static constexpr unsigned kFinished = UINT_MAX;
        // Slots of the claim window (a power of two), and how many of them lie past the slot
        // that moves it.
        static constexpr unsigned kWindow = 1024;
        static constexpr unsigned kWindowAhead = 256;
        // Slots that the window may hold and stream: 16 plain, 16-byte aligned bytes.
        static constexpr bool kWindowed = sizeof(Slot) == 16 && alignof(Slot) <= 16 &&
                                          std::is_trivially_copyable_v<KEY> && std::is_trivially_copyable_v<VALUE>;
        // Tables of fewer slots stay in the cache and are claimed in place.
        static constexpr unsigned kWindowedCapacity = 1u << 18;
        Slot* m_pWindow = nullptr;
        unsigned m_nBase = 0;
        bool m_bWindow = false;
        // Slots whose never-used states a run writes at once (a power of two).
        static constexpr unsigned kClearAhead = 64;
        CHashMap& m_map;
        unsigned m_nCapacity;
        unsigned m_nCleared = 0;
    };

    // Copies the value of `key` into `value`; false (value untouched) when absent.
    bool Find(ARG_KEY key, VALUE& value) const {
        const Slot* s = this->Lookup(key);
        if (!s) return false;
        value = s->value;
        return true;
    }
    // Pointer to the value of `key`, or null. Valid until the next insertion.
    VALUE* Find(ARG_KEY key) {
        Slot* s = this->Lookup(key);
        return s ? &s->value : nullptr;
    }
    const VALUE* Find(ARG_KEY key) const {
        const Slot* s = this->Lookup(key);
        return s ? &s->value : nullptr;
    }
    bool IsFound(ARG_KEY key) const { return this->Lookup(key) != nullptr; }

    // Marks the slot of `key` deleted. With `rehash`, a remaining count of 22 or more then runs
    // ReHash(false). Returns 0 when the key was absent, 1 otherwise.
    int Remove(ARG_KEY key, bool rehash = false) {
        Slot* s = this->Lookup(key);
        if (!s) return 0;
        this->Release(s, rehash);
        return 1;
    }

    // Slot-order iteration: `position` starts at kHashStartPosition (-1); each call moves it to the
    // next occupied slot and returns true, or returns false at the end.
    bool GetNext(int& position, KEY& key, VALUE& value) const {
        const Slot* s = this->NextSlot(position);
        if (!s) return false;
        key = s->key;
        value = s->value;
        return true;
    }
    bool GetNext(int& position, KEY& key) const {
        const Slot* s = this->NextSlot(position);
        if (!s) return false;
        key = s->key;
        return true;
    }
    // As GetNext, giving direct access to the entry: null at the end.
    Slot* GetNextSlot(int& position) { return this->NextSlot(position); }
    const Slot* GetNextSlot(int& position) const { return this->NextSlot(position); }

    // Persists the entries: the count (archive count encoding), then key and value of each entry in
    // slot order. Loading replaces the content, re-inserting the entries into a table of the
    // requested size.
    template <class Archive>
    void Serialize(Archive& ar) {
        if (ar.IsStoring()) {
            ar.WriteCount(uint64_t(this->m_nCount));
            int pos = kHashStartPosition;
            while (Slot* s = this->NextSlot(pos)) {
                detail::SerializeElement(ar, s->key);
                detail::SerializeElement(ar, s->value);
            }
            return;
        }
        int n = detail::ReadIntCount(ar);
        this->InitHashTable(this->m_nRequested);
        for (int i = 0; i < n; ++i) {
            KEY key{};
            VALUE value{};
            detail::SerializeElement(ar, key);
            detail::SerializeElement(ar, value);
            Insert(key, value);
        }
    }
};

// ---- the set -------------------------------------------------------------------------------------

template <class KEY, class METHODS = CHashMethods<KEY>>
class CHashTable : public detail::CHashCore<KEY, detail::CHashSetSlot<KEY>, METHODS> {
    typedef detail::CHashCore<KEY, detail::CHashSetSlot<KEY>, METHODS> Core;

public:
    typedef detail::CHashSetSlot<KEY> Slot;

    explicit CHashTable(unsigned size = 21) : Core(size) {}

    // Adds `key`; returns 1 when it was new, 0 when it was already present.
    // When it raises (CXMemoryException), the set is as before the call.
    int Insert(const KEY& key) {
        bool isNew;
        const unsigned fill = this->m_nFill;
        Slot* s = this->Claim(key, isNew);
        if (!isNew) return 0;
        this->AfterClaim(s, fill);
        return 1;
    }
    int Insert2(KEY key) { return Insert(key); }

    // Pointer to the stored key equal to `key`, or null.
    const KEY* Find(const KEY& key) const {
        const Slot* s = this->Lookup(key);
        return s ? &s->key : nullptr;
    }
    bool IsFound(const KEY& key) const { return this->Lookup(key) != nullptr; }

    int Remove(const KEY& key, bool rehash = false) {
        Slot* s = this->Lookup(key);
        if (!s) return 0;
        this->Release(s, rehash);
        return 1;
    }

    bool GetNext(int& position, KEY& key) const {
        const Slot* s = this->NextSlot(position);
        if (!s) return false;
        key = s->key;
        return true;
    }

    // The count, then each key in slot order.
    template <class Archive>
    void Serialize(Archive& ar) {
        if (ar.IsStoring()) {
            ar.WriteCount(uint64_t(this->m_nCount));
            int pos = kHashStartPosition;
            while (Slot* s = this->NextSlot(pos)) detail::SerializeElement(ar, s->key);
            return;
        }
        int n = detail::ReadIntCount(ar);
        this->InitHashTable(this->m_nRequested);
        for (int i = 0; i < n; ++i) {
            KEY key{};
            detail::SerializeElement(ar, key);
            Insert(key);
        }
    }
};

// Map from int to int, the most common instance, compiled once into the library.
class KESTOVAR_API CIntMap : public CHashMap<int, int, int> {
public:
    explicit CIntMap(unsigned size = 21);
    // The layout of CHashMap::Serialize: the count, then each key and value as 32-bit integers in
    // slot order.
    void Serialize(CXArchive& ar);
};

}  // namespace kestovar
