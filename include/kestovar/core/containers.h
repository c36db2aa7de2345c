// Small containers built on the library's storage: CBitArray, the stack and queue templates with
// their abstract interfaces, and CAssociationMap.
#pragma once

#include <cassert>
#include <climits>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "kestovar/core/array.h"
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
// A map from KEY to VALUE whose values sit contiguously in insertion order and are addressed by a
// dense index of type INDEX (0, 1, 2, ...). Typical use: give every distinct key (a material pair,
// an edge) a small number and keep per-key data in one array that loops can walk directly.
//
// Storage: the keys and the values in two parallel CXArrays, and a CHashMap from key to index.
// Remove fills the hole with the last entry (its index changes to the removed one), so indices stay
// dense; nothing else ever changes an index.
template <class KEY, class VALUE, class INDEX = unsigned int, class METHODS = CHashMethods<KEY>>
class CAssociationMap : public CXAllocated {
    static_assert(std::is_integral_v<INDEX> && std::is_unsigned_v<INDEX>, "INDEX is an unsigned integer type");

public:
    // Returned by Lookup for an absent key.
    static constexpr INDEX kNotFound = INDEX(~INDEX(0));

    explicit CAssociationMap(unsigned hashSize = 21) : m_index(hashSize) {}

    int GetCount() const { return m_keys.GetSize(); }
    bool IsEmpty() const { return m_keys.GetSize() == 0; }

    // Index of `key`, or kNotFound.
    INDEX Lookup(const KEY& key) const {
        const INDEX* i = m_index.Find(key);
        return i ? *i : kNotFound;
    }
    bool IsFound(const KEY& key) const { return m_index.IsFound(key); }
    // Pointer to the value of `key`, or null. Valid until the next addition.
    VALUE* Find(const KEY& key) {
        const INDEX* i = m_index.Find(key);
        return i ? &m_values[int(*i)] : nullptr;
    }

    // Sets the value of `key`, appending a new entry when the key is absent. Returns its index.
    // Throws CXInvalidArgException when INDEX cannot number another entry.
    INDEX Add(const KEY& key, const VALUE& value) {
        INDEX i = FindOrAdd(key);
        m_values[int(i)] = value;
        return i;
    }
    // Index of `key`, appending an entry with a value-initialised VALUE when absent.
    INDEX FindOrAdd(const KEY& key) {
        if (const INDEX* found = m_index.Find(key)) return *found;
        int n = m_keys.GetSize();
        if (uint64_t(n) >= uint64_t(kNotFound) || n == INT_MAX)
            XThrow<CXInvalidArgException>("CAssociationMap: index type exhausted");
        KEY copy(key);
        m_keys.Add(copy);
        m_values.SetSize(n + 1);
        m_index.Insert(copy, INDEX(n));
        return INDEX(n);
    }
    // Removes `key`; the last entry moves into its index. Returns false when absent.
    bool Remove(const KEY& key) {
        const INDEX* found = m_index.Find(key);
        if (!found) return false;
        int i = int(*found);
        int last = m_keys.GetSize() - 1;
        m_index.Remove(key);
        if (i != last) {
            m_keys[i] = std::move(m_keys[last]);
            m_values[i] = std::move(m_values[last]);
            *m_index.Find(m_keys[i]) = INDEX(i);
        }
        m_keys.SetSize(last);
        m_values.SetSize(last);
        return true;
    }
    void RemoveAll() {
        m_keys.RemoveAll();
        m_values.RemoveAll();
        m_index.InitHashTable(m_index.GetRequestedSize());
    }

    // Entries by index, i in [0, GetCount()).
    const KEY& GetKeyAt(INDEX i) const { return m_keys[int(i)]; }
    VALUE& GetAt(INDEX i) { return m_values[int(i)]; }
    const VALUE& GetAt(INDEX i) const { return m_values[int(i)]; }
    VALUE& operator[](INDEX i) { return m_values[int(i)]; }
    // The contiguous values, GetCount() of them.
    VALUE* GetData() { return m_values.GetData(); }
    const VALUE* GetData() const { return m_values.GetData(); }

    // The keys, then the values, each as a CXArray in index order. Loading rebuilds the index and
    // rejects data whose two arrays differ in length or repeat a key (CXArchiveException badIndex).
    template <class Archive>
    void Serialize(Archive& ar) {
        if (ar.IsStoring()) {
            m_keys.Serialize(ar);
            m_values.Serialize(ar);
            return;
        }
        RemoveAll();
        m_keys.Serialize(ar);
        m_values.Serialize(ar);
        int n = m_keys.GetSize();
        if (m_values.GetSize() != n || uint64_t(n) > uint64_t(kNotFound)) {
            RemoveAll();
            XThrow<CXArchiveException>(CXArchiveException::badIndex, "CAssociationMap: inconsistent data");
        }
        for (int i = 0; i < n; ++i) {
            if (!m_index.Insert(m_keys[i], INDEX(i))) {
                RemoveAll();
                XThrow<CXArchiveException>(CXArchiveException::badIndex, "CAssociationMap: repeated key");
            }
        }
    }

private:
    CXArray<KEY> m_keys;
    CXArray<VALUE> m_values;
    CHashMap<KEY, const KEY&, INDEX, METHODS> m_index;
};

}  // namespace kestovar
