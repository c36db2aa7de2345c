// Small containers built on the library's storage: CBitArray, the stack and queue templates with
// their abstract interfaces, and CAssociationMap (a list of values per key).
#pragma once

#include <cassert>
#include <climits>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "kestovar/core/array.h"
#include "kestovar/core/collection.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/object.h"

namespace kestovar {

class CXArchive;

// ---- CBitArray -------------------------------------------------------------------------------------
//
// A growable array of bits packed in 32-bit words, bit i in word i / 32 at position i % 32. Bits
// past the size are kept zero, so counting and searching may work on whole words. The word buffer
// grows to max(needed, 2 * allocated) words; new bits take the value asked for (false by default).
class KESTOVAR_API CBitArray : public CXAllocated {
public:
    CBitArray() = default;
    explicit CBitArray(int bits, bool value = false) { SetSize(bits, value); }
    CBitArray(const CBitArray& other);
    CBitArray(CBitArray&& other) noexcept;
    CBitArray& operator=(const CBitArray& other);
    CBitArray& operator=(CBitArray&& other) noexcept;
    ~CBitArray();

    int GetSize() const { return m_nBits; }
    bool IsEmpty() const { return m_nBits == 0; }
    // Resizes to `bits` bits; bits added take `value`. Throws CXInvalidArgException for bits < 0.
    void SetSize(int bits, bool value = false);
    // Releases the buffer.
    void RemoveAll();

    // Single bits; the index must lie in [0, size) (checked by a debug assertion only).
    bool Get(int i) const {
        assert(i >= 0 && i < m_nBits);
        return (m_pWords[unsigned(i) >> 5] >> (unsigned(i) & 31)) & 1u;
    }
    bool operator[](int i) const { return Get(i); }
    void Set(int i, bool value = true) {
        assert(i >= 0 && i < m_nBits);
        uint32_t mask = 1u << (unsigned(i) & 31);
        uint32_t& w = m_pWords[unsigned(i) >> 5];
        w = value ? (w | mask) : (w & ~mask);
    }
    void Clear(int i) { Set(i, false); }
    void Toggle(int i) {
        assert(i >= 0 && i < m_nBits);
        m_pWords[unsigned(i) >> 5] ^= 1u << (unsigned(i) & 31);
    }
    // Sets bit i, growing the array to i + 1 bits when needed. Throws for i < 0.
    void SetAtGrow(int i, bool value = true);
    // Appends one bit; returns its index.
    int Add(bool value);

    void SetAll(bool value);
    // Number of bits set.
    int CountSet() const;
    // Index of the first set bit at or after `from` (from >= 0), or -1.
    int FindNextSet(int from) const;
    bool operator==(const CBitArray& other) const;
    bool operator!=(const CBitArray& other) const { return !(*this == other); }

    // The packed words (GetWordCount() of them are in use).
    const uint32_t* GetWords() const { return m_pWords; }
    int GetWordCount() const { return WordsFor(m_nBits); }

    // The bit count (archive count encoding), then the used words as little-endian u32. Bits past
    // the size in loaded data are cleared.
    void Serialize(CXArchive& ar);

private:
    static int WordsFor(int bits) { return int((unsigned(bits) + 31u) >> 5); }
    void Reserve(int words);
    void ClearTail();

    uint32_t* m_pWords = nullptr;
    int m_nBits = 0;
    int m_nAllocWords = 0;
};

// ---- stacks ----------------------------------------------------------------------------------------

// A last-in first-out stack, as an interface so that algorithms may take any implementation.
template <class T>
class AbsStack : public CXAllocated {
public:
    virtual ~AbsStack() = default;
    virtual void Push(const T& value) = 0;
    // Moves the top element into `value` and removes it; false (value untouched) when empty.
    virtual bool Pop(T& value) = 0;
    // The top element, or null when empty. Valid until the next Push.
    virtual T* Top() = 0;
    virtual int GetCount() const = 0;
    // Removes every element.
    virtual void RemoveAll() = 0;
    bool IsEmpty() const { return GetCount() == 0; }
};

// The stack over a CXArray: the top is the last element. RemoveAll keeps the buffer, so a stack
// reused across passes stops allocating once it has reached its largest depth.
template <class T>
class CStack final : public AbsStack<T> {
public:
    explicit CStack(int growBy = CXArray<T>::kDefaultGrowBy) : m_items(growBy) {}

    void Push(const T& value) override { m_items.Add(value); }
    bool Pop(T& value) override {
        int n = m_items.GetSize();
        if (n == 0) return false;
        value = std::move(m_items[n - 1]);
        m_items.SetSize(n - 1);
        return true;
    }
    T* Top() override {
        int n = m_items.GetSize();
        return n ? &m_items[n - 1] : nullptr;
    }
    int GetCount() const override { return m_items.GetSize(); }
    void RemoveAll() override { m_items.SetSize(0); }

    // Element i from the bottom (0) to the top (GetCount() - 1).
    T& GetAt(int i) { return m_items[i]; }
    const T& GetAt(int i) const { return m_items[i]; }
    void PreAllocate(int count) { m_items.PreAllocate(count); }
    // Releases the buffer as well.
    void FreeAll() { m_items.RemoveAll(); }

private:
    CXArray<T> m_items;
};

// ---- queues ----------------------------------------------------------------------------------------

// A first-in first-out queue, as an interface.
template <class T>
class AbsQueue : public CXAllocated {
public:
    virtual ~AbsQueue() = default;
    // Adds at the back.
    virtual void Push(const T& value) = 0;
    // Moves the front element into `value` and removes it; false (value untouched) when empty.
    virtual bool Pop(T& value) = 0;
    // The front element, or null when empty. Valid until the next Push.
    virtual T* Front() = 0;
    virtual int GetCount() const = 0;
    virtual void RemoveAll() = 0;
    bool IsEmpty() const { return GetCount() == 0; }
};

// The queue over a ring buffer: elements occupy `count` slots from `head`, wrapping at the
// capacity. A full ring grows to twice its capacity (at least 8 slots) and is unwrapped into the
// new buffer; RemoveAll keeps the buffer.
template <class T>
class CQueue final : public AbsQueue<T> {
public:
    CQueue() = default;
    CQueue(const CQueue&) = delete;
    CQueue& operator=(const CQueue&) = delete;
    ~CQueue() override {
        RemoveAll();
        xfree(m_pData);
    }

    void Push(const T& value) override {
        if (m_nCount == m_nCapacity) {
            T copy(value);  // `value` may live in the ring
            Grow();
            ::new (static_cast<void*>(m_pData + Slot(m_nCount))) T(std::move(copy));
        } else {
            ::new (static_cast<void*>(m_pData + Slot(m_nCount))) T(value);
        }
        ++m_nCount;
    }
    bool Pop(T& value) override {
        if (m_nCount == 0) return false;
        T& front = m_pData[m_nHead];
        value = std::move(front);
        front.~T();
        m_nHead = m_nHead + 1 == m_nCapacity ? 0 : m_nHead + 1;
        --m_nCount;
        return true;
    }
    T* Front() override { return m_nCount ? m_pData + m_nHead : nullptr; }
    int GetCount() const override { return m_nCount; }
    void RemoveAll() override {
        if constexpr (!std::is_trivially_destructible_v<T>)
            for (int i = 0; i < m_nCount; ++i) m_pData[Slot(i)].~T();
        m_nHead = m_nCount = 0;
    }
    // Element i from the front (0) to the back (GetCount() - 1).
    T& GetAt(int i) {
        assert(i >= 0 && i < m_nCount);
        return m_pData[Slot(i)];
    }
    int GetCapacity() const { return m_nCapacity; }

private:
    int Slot(int i) const {
        int s = m_nHead + i;
        return s >= m_nCapacity ? s - m_nCapacity : s;
    }
    void Grow() {
        int64_t wanted = m_nCapacity ? int64_t(m_nCapacity) * 2 : 8;
        if (wanted > INT_MAX) XThrow<CXMemoryException>("CQueue: too many elements");
        int capacity = int(wanted);
        T* fresh = static_cast<T*>(xmalloc(size_t(capacity) * sizeof(T)));
        if (!fresh) XThrow<CXMemoryException>();
        for (int i = 0; i < m_nCount; ++i) {
            T& from = m_pData[Slot(i)];
            ::new (static_cast<void*>(fresh + i)) T(std::move(from));
            from.~T();
        }
        xfree(m_pData);
        m_pData = fresh;
        m_nCapacity = capacity;
        m_nHead = 0;
    }

    T* m_pData = nullptr;
    int m_nHead = 0;
    int m_nCount = 0;
    int m_nCapacity = 0;
};

// ---- CAssociationMap -------------------------------------------------------------------------------
//
// A map from KEY to a list of VALUEs. Every key owns one record of a CSimpleCollection<VALUE,
// INDEX>, so the values of a key sit contiguously and Find hands them out as a pointer and a
// count; INDEX is the type of the record header and bounds a list to max(INDEX) values. A
// CHashMap gives each key its record index (stored plus one, so that the value-initialised 0 of a
// new slot means "no record yet" and Add needs a single probe).
//
// Typical use: the faces around each edge of a mesh (KEY an edge, VALUE a face index, INDEX
// unsigned short). Records are created with room for `typicalLength` values; a list that outgrows
// its record is moved to the end of the collection (see CSimpleCollection). A key whose list
// becomes empty is removed; its record is left empty and stays as slack until RemoveAll.
//
// Iteration follows the hash map's slot order. Pointers returned by Find stay valid until the next
// Add (which may move records or rehash).
template <class KEY, class VALUE, class INDEX = unsigned int, class METHODS = CHashMethods<KEY>>
class CAssociationMap : public CXAllocated {
    typedef CHashMap<KEY, const KEY&, unsigned, METHODS> Index;

public:
    typedef CSimpleCollection<VALUE, INDEX> Lists;

    explicit CAssociationMap(unsigned hashSize = 21, unsigned typicalLength = 2)
        : m_lists(typicalLength), m_index(hashSize) {}

    // Number of keys.
    int GetCount() const { return m_index.GetCount(); }
    bool IsEmpty() const { return m_index.IsEmpty(); }

    // The values of `key` and their count; null and 0 when the key is absent.
    const VALUE* Find(const KEY& key, unsigned& count) const {
        const unsigned* r = m_index.Find(key);
        if (!r) {
            count = 0;
            return nullptr;
        }
        return m_lists.Get(*r - 1, count);
    }
    VALUE* Find(const KEY& key, unsigned& count) {
        const unsigned* r = m_index.Find(key);
        if (!r) {
            count = 0;
            return nullptr;
        }
        return m_lists.Get(*r - 1, count);
    }
    bool IsFound(const KEY& key) const { return m_index.IsFound(key); }
    // Number of values of `key` (0 when absent).
    unsigned GetValueCount(const KEY& key) const {
        unsigned count;
        Find(key, count);
        return count;
    }

    // Appends `value` to the list of `key`, creating the key when absent. Returns the new length.
    // Throws CXInvalidArgException when the list would exceed max(INDEX) values.
    unsigned Add(const KEY& key, const VALUE& value) { return AddToRecord(m_index.GetOrInsert(key), value); }
    // As Add, unless `value` is already in the list: returns false then, changing nothing.
    bool AddUnique(const KEY& key, const VALUE& value) {
        unsigned count;
        const VALUE* values = Find(key, count);
        for (unsigned i = 0; i < count; ++i)
            if (values[i] == value) return false;
        Add(key, value);
        return true;
    }

    // Fills an empty map through the hash map's loader (CHashMap::Loader): the caller gives each
    // key's home slot, and the result is that of the same Add and AddUnique calls on the map in
    // the same order, slots, records and growth alike. The map is used through the loader only
    // while it lives.
    class Loader {
    public:
        // Empties `map` and sizes it as InitHashTable(keys) does.
        Loader(CAssociationMap& map, unsigned keys) : m_map(map), m_index(map.m_index, SlotsFor(keys)) {
            map.m_lists.RemoveAll();
            if (keys) map.m_lists.PreAllocate(keys);
        }
        // The slot count the homes are reduced by.
        unsigned GetHashCapacity() const { return m_index.GetCapacity(); }
        // Add(key, value) of the map; `home` = METHODS::Hash(key) mod GetHashCapacity().
        unsigned Add(const KEY& key, unsigned home, const VALUE& value) {
            return m_map.AddToRecord(m_index.GetOrInsert(key, home), value);
        }
        // AddUnique(key, value) of the map.
        bool AddUnique(const KEY& key, unsigned home, const VALUE& value) {
            unsigned& r = m_index.GetOrInsert(key, home);
            if (r != 0) {
                unsigned count;
                const VALUE* values = m_map.m_lists.Get(r - 1, count);
                for (unsigned i = 0; i < count; ++i)
                    if (values[i] == value) return false;
            }
            m_map.AddToRecord(r, value);
            return true;
        }
        // See CHashMap::Loader::ClaimInTable.
        void ClaimInTable() { m_index.ClaimInTable(); }
        // Completes the hash map (see CHashMap::Loader::Finish); also done by the destructor.
        void Finish() { m_index.Finish(); }

        // Add and AddUnique calls in bulk, with the result of making them one by one in order:
        // entry i (i < n) is the key get(i, home, value, unique) returns, with its home, its value
        // and whether the call is an AddUnique. get is called once per entry, in order. The keys
        // are claimed in order (CHashMap::Loader::ClaimRun) and their records numbered as the
        // calls would number them. New records are laid out one after another in the
        // collection's free bytes as the claims go, and a value for a record of that stretch
        // (from this run or an earlier one) that has room is written in place; any other entry
        // (a record out of room, one from before the stretch, a buffer out of room) is made
        // through the collection's own calls, after which a new stretch starts. Unlike Add, a run
        // never fails on a long list: a key's values past max(INDEX) are dropped, so that a bulk
        // build (the edge-to-face graph of a file where one edge has 70000 faces) gives each key
        // the longest list its record can hold. After an exception (memory, keys) the map is
        // left in no defined state and is to be discarded.
        template <class Get>
        void AddRun(unsigned n, Get&& getIn) {
            // A copy of the entry reader in this frame: the caller's may be aliased by the
            // record and slot stores, and would then be read again after each of them.
            std::decay_t<Get> get(getIn);
            typedef typename Lists::Element Element;
            Lists& lists = m_map.m_lists;
            const unsigned typical = lists.GetTypicalLength();
            // The room Add(&value, 1, typical) gives a new record, and its bytes.
            const unsigned room = typical > 1 ? typical : 1;
            const uint64_t step = Lists::RecordBytes(room);
            // The stretch: records [areaFirst, next) at area + (r - areaFirst) * step, of which
            // those from lists.GetSize() on are not yet committed to the collection; `fit` more
            // new records fit in the free bytes after the committed ones.
            uint64_t free;
            unsigned char* const freeBytes = lists.GetFreeBytes(free);
            unsigned next = lists.GetSize();
            // The stretch of the last run goes on while nothing else has changed the collection.
            if (!(m_pArea && lists.GetBuffer() == m_pAreaBuffer && next == m_nAreaEnd &&
                  lists.GetUsedBytes() == m_nAreaUsed)) {
                m_pArea = freeBytes;
                m_nAreaFirst = next;
            }
            unsigned char* area = m_pArea;
            unsigned areaFirst = m_nAreaFirst;
            uint64_t fit = room <= Lists::kMaxRecordLength ? free / step : 0;
            unsigned pending = 0;
            uint64_t pendingValues = 0;
            const auto commit = [&]() {
                if (pending || pendingValues) lists.CommitFreeRecords(pending, step, pendingValues);
                fit -= pending;
                pending = 0;
                pendingValues = 0;
            };
            // After a call of the collection's own: the stretch starts at its free bytes.
            const auto restart = [&]() {
                uint64_t bytes;
                area = lists.GetFreeBytes(bytes);
                areaFirst = lists.GetSize();
                fit = room <= Lists::kMaxRecordLength ? bytes / step : 0;
            };
            // The entry's value and kind, from the key's read to its visit.
            VALUE value{};
            bool unique = false;
            const auto keyAt = [&get, &value, &unique](unsigned i, unsigned& home) __attribute__((always_inline)) {
                return get(i, home, value, unique);
            };
            const auto visit = [&](unsigned, unsigned& r, bool isNew) __attribute__((always_inline)) {
                if (isNew) {
                    if (next == UINT_MAX - 1) XThrow<CXInvalidArgException>("CAssociationMap: too many keys");
                    r = ++next;
                    if (pending < fit) [[likely]] {
                        Element* e = reinterpret_cast<Element*>(area + uint64_t(r - 1 - areaFirst) * step);
                        e->m_nCount = 1;
                        e->m_nCapacity = INDEX(room);
                        VALUE* data = e->GetData();
                        data[0] = value;
                        if constexpr (std::is_arithmetic_v<VALUE>) {
                            if (room == 2)
                                data[1] = VALUE(0);
                            else
                                for (unsigned k = 1; k < room; ++k) data[k] = VALUE(0);
                        } else {
                            std::memset(static_cast<void*>(data + 1), 0, size_t(room - 1) * sizeof(VALUE));
                        }
                        ++pending;
                        ++pendingValues;
                        return;
                    }
                    commit();
                    lists.Add(&value, 1, typical);
                    restart();
                    return;
                }
                const unsigned rec = r - 1;
                if (rec >= areaFirst) [[likely]] {
                    Element* e = reinterpret_cast<Element*>(area + uint64_t(rec - areaFirst) * step);
                    const unsigned count = e->m_nCount;
                    VALUE* data = e->GetData();
                    if (unique)
                        for (unsigned k = 0; k < count; ++k)
                            if (data[k] == value) return;
                    if (count < room) [[likely]] {
                        data[count] = value;
                        e->m_nCount = INDEX(count + 1);
                        ++pendingValues;
                        return;
                    }
                }
                commit();
                if (unique) {
                    unsigned count;
                    const VALUE* have = lists.Get(rec, count);
                    for (unsigned k = 0; k < count; ++k)
                        if (have[k] == value) return;
                }
                // A full list drops the value (see above).
                if (lists.GetRecordSize(rec) == Lists::kMaxRecordLength) return;
                lists.AppendValue(rec, value);
                restart();
            };
            unsigned i = m_index.ClaimRun(n, keyAt, visit);
            for (; i < n; ++i) {
                unsigned home;
                const KEY key = keyAt(i, home);
                unsigned& r = m_index.GetOrInsert(key, home);
                visit(i, r, r == 0);
            }
            commit();
            m_pArea = area;
            m_nAreaFirst = areaFirst;
            m_pAreaBuffer = lists.GetBuffer();
            m_nAreaEnd = lists.GetSize();
            m_nAreaUsed = lists.GetUsedBytes();
        }

    private:
        CAssociationMap& m_map;
        typename Index::Loader m_index;
        // The stretch of records laid out in place by the last run (see AddRun): its first
        // record and address, and the collection as the run left it (buffer, records, bytes).
        unsigned char* m_pArea = nullptr;
        const unsigned char* m_pAreaBuffer = nullptr;
        unsigned m_nAreaFirst = 0;
        unsigned m_nAreaEnd = 0;
        uint64_t m_nAreaUsed = 0;
    };
    // Removes the first occurrence of `value` from the list of `key`; the key goes with its last
    // value. Returns false when the key or the value is absent.
    bool Remove(const KEY& key, const VALUE& value) {
        const unsigned* r = m_index.Find(key);
        if (!r) return false;
        unsigned record = *r - 1;
        unsigned count;
        const VALUE* values = m_lists.Get(record, count);
        for (unsigned i = 0; i < count; ++i) {
            if (values[i] == value) {
                m_lists.RemoveValue(record, i);
                if (count == 1) m_index.Remove(key);
                return true;
            }
        }
        return false;
    }
    // Removes `key` and its whole list. Returns false when absent.
    bool RemoveKey(const KEY& key) {
        const unsigned* r = m_index.Find(key);
        if (!r) return false;
        unsigned record = *r - 1;
        m_lists.SetRecord(record, nullptr, 0);
        m_index.Remove(key);
        return true;
    }
    // Removes every key and list. The hash map restarts with NextPrime(hashSize) slots (the size
    // given at construction or by the last InitHashTable).
    void RemoveAll() {
        m_lists.RemoveAll();
        m_index.InitHashTable(m_index.GetRequestedSize());
    }
    void Clear() { RemoveAll(); }

    // Empties the map and sizes the hash map for about `keys` keys without a rehash, and the
    // collection for `keys` records of the typical length.
    void InitHashTable(unsigned keys) {
        m_lists.RemoveAll();
        m_index.InitHashTable(SlotsFor(keys));
        if (keys) m_lists.PreAllocate(keys);
    }

    // Slot-order iteration: `position` starts at kHashStartPosition (-1); each call moves it to
    // the next key, gives its values and returns true, or returns false at the end.
    bool GetNext(int& position, KEY& key, const VALUE*& values, unsigned& count) const {
        const typename Index::Slot* s = m_index.GetNextSlot(position);
        if (!s) return false;
        key = s->key;
        values = m_lists.Get(s->value - 1, count);
        return true;
    }

    // The record store and the key index, for diagnostics and memory accounting.
    const Lists& GetLists() const { return m_lists; }
    unsigned GetHashCapacity() const { return m_index.GetCapacity(); }

private:
    // The hash map size asked for `keys` keys.
    static unsigned SlotsFor(unsigned keys) {
        uint64_t slots = uint64_t(keys) * 2 + 2;
        return slots > UINT_MAX / 2 ? UINT_MAX / 2 : unsigned(slots);
    }
    // Appends `value` to the list whose record index plus one is `r` (0: none yet, then created).
    unsigned AddToRecord(unsigned& r, const VALUE& value) {
        if (r == 0) {
            if (m_lists.GetSize() == UINT_MAX - 1) XThrow<CXInvalidArgException>("CAssociationMap: too many keys");
            r = m_lists.Add(&value, 1, m_lists.GetTypicalLength()) + 1;
            return 1;
        }
        return m_lists.AppendValue(r - 1, value);
    }

    Lists m_lists;
    Index m_index;
};

}  // namespace kestovar
