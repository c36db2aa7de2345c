// CXArray: the library's growable array, and the element I/O helpers shared by the container
// templates' Serialize members.
//
// Storage is one contiguous buffer taken from xmalloc/xrealloc. Slots [0, size) hold live elements;
// slots [size, capacity) are spare. Growth follows a fixed rule (see SetSize) so that memory use is
// predictable:
//
//   grow-by  > 0 : the capacity grows by that many elements
//   grow-by == 0 : the capacity grows by size / 8, clamped to [4, 1024]
//   grow-by == -2: the capacity doubles
//
// and the new capacity is max(requested size, capacity + increment). A grow-by argument of -1 on any
// member means "keep the stored setting".
//
// Elements that are trivially copyable (plain data) or pointers are moved as raw bytes: growth is one
// xrealloc, insertion and removal one memmove. Other element types are constructed, copied and
// destroyed one by one with placement new, so that an array of strings or of arrays stays sound.
#pragma once

#include <cassert>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/object.h"

namespace kestovar {

namespace detail {

// True when values of T may be moved, copied and persisted as raw bytes.
template <class T>
inline constexpr bool kRawMovable = std::is_trivially_copyable_v<T> || std::is_pointer_v<T>;

// True when values of T are persisted as their raw bytes. wchar_t is excluded: the archive gives it
// its own 16-bit encoding.
template <class T>
inline constexpr bool kRawPersist = kRawMovable<T> && !std::is_same_v<T, wchar_t>;

// Largest block handed to one archive Read/Write call (their byte counts are 32-bit).
inline constexpr size_t kArchiveBlock = size_t(1) << 30;

// Writes `count` elements: raw little-endian bytes for plain types, `ar << e` otherwise.
template <class Archive, class T>
void StoreElements(Archive& ar, const T* p, size_t count) {
    if constexpr (kRawPersist<T>) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(p);
        size_t left = count * sizeof(T);
        while (left > 0) {
            size_t n = left < kArchiveBlock ? left : kArchiveBlock;
            ar.Write(bytes, unsigned(n));
            bytes += n;
            left -= n;
        }
    } else {
        for (size_t i = 0; i < count; ++i) ar << p[i];
    }
}

// Reads `count` elements into constructed slots. Raw types are read with EnsureRead, which throws
// CXArchiveException(endOfFile) when the data ends early. A bool is read through a byte so that a
// forged value other than 0 or 1 never lands in a bool.
template <class Archive, class T>
void LoadElements(Archive& ar, T* p, size_t count) {
    if constexpr (std::is_same_v<T, bool>) {
        for (size_t i = 0; i < count; ++i) {
            uint8_t b = 0;
            ar.EnsureRead(&b, 1);
            p[i] = b != 0;
        }
    } else if constexpr (kRawPersist<T>) {
        unsigned char* bytes = reinterpret_cast<unsigned char*>(p);
        size_t left = count * sizeof(T);
        while (left > 0) {
            size_t n = left < kArchiveBlock ? left : kArchiveBlock;
            ar.EnsureRead(bytes, unsigned(n));
            bytes += n;
            left -= n;
        }
    } else {
        for (size_t i = 0; i < count; ++i) ar >> p[i];
    }
}

// One element either way, for containers that persist entries one at a time (hash maps).
template <class Archive, class T>
void SerializeElement(Archive& ar, T& e) {
    if (ar.IsStoring())
        StoreElements(ar, &e, 1);
    else
        LoadElements(ar, &e, 1);
}

// A count read from untrusted bytes that must fit an int-sized container.
template <class Archive>
int ReadIntCount(Archive& ar) {
    uint64_t n = ar.ReadCount();
    if (n > uint64_t(INT_MAX)) XThrow<CXArchiveException>(CXArchiveException::badIndex, "count out of range");
    return int(n);
}

// Elements read per step when loading: memory grows with the data actually present, so a forged
// count fails with endOfFile instead of asking for gigabytes up front.
inline constexpr int kLoadStep = 1 << 16;

}  // namespace detail

template <class TYPE, class ARG_TYPE = const TYPE&>
class CXArray : public CXAllocated {
public:
    typedef TYPE value_type;

    // The grow-by setting a default-constructed array starts with (doubling; see the header comment).
    static constexpr int kDefaultGrowBy = -2;

    explicit CXArray(int growBy = kDefaultGrowBy)
        : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(growBy == -1 ? kDefaultGrowBy : growBy),
          m_bRawMove(detail::kRawMovable<TYPE>) {}
    CXArray(const CXArray& other) : CXArray(other.m_nGrowBy) { Copy(other); }
    CXArray(CXArray&& other) noexcept
        : m_pData(other.m_pData), m_nSize(other.m_nSize), m_nMaxSize(other.m_nMaxSize),
          m_nGrowBy(other.m_nGrowBy), m_bRawMove(other.m_bRawMove) {
        other.m_pData = nullptr;
        other.m_nSize = other.m_nMaxSize = 0;
    }
    CXArray& operator=(const CXArray& other) {
        Copy(other);
        return *this;
    }
    CXArray& operator=(CXArray&& other) noexcept {
        if (this != &other) {
            RemoveAll();
            Swap(other);
        }
        return *this;
    }
    ~CXArray() { RemoveAll(); }

    // ---- size and capacity ----
    int GetSize() const { return m_nSize; }
    int GetCount() const { return m_nSize; }
    bool IsEmpty() const { return m_nSize == 0; }
    int GetUpperBound() const { return m_nSize - 1; }
    // Number of allocated slots.
    int GetCapacity() const { return m_nMaxSize; }
    int GetGrowBy() const { return m_nGrowBy; }
    // True when elements move as raw bytes (plain data and pointers).
    bool IsRawMove() const { return m_bRawMove; }

    // Sets the number of elements (see the header comment for the growth rule). New slots are
    // zero-filled (and default-constructed for non-plain types). newSize == 0 keeps the buffer for
    // reuse unless growBy is 0, which releases it. Throws CXInvalidArgException for newSize < 0.
    void SetSize(int newSize, int growBy = -1);
    // Makes room for `count` elements without changing the size; the capacity becomes exactly
    // `count` when it was smaller. Throws CXInvalidArgException for count < 0.
    void PreAllocate(int count, int growBy = -1);
    // Shrinks the buffer to the size (releases it when empty).
    void FreeExtra();
    // Destroys every element and releases the buffer. The grow-by setting is kept.
    void RemoveAll();

    // ---- element access (indices are not checked beyond a debug assertion) ----
    TYPE* GetData() { return m_pData; }
    const TYPE* GetData() const { return m_pData; }
    TYPE& operator[](int i) {
        assert(i >= 0 && i < m_nSize);
        return m_pData[i];
    }
    const TYPE& operator[](int i) const {
        assert(i >= 0 && i < m_nSize);
        return m_pData[i];
    }
    TYPE& ElementAt(int i) { return (*this)[i]; }
    const TYPE& GetAt(int i) const { return (*this)[i]; }
    void SetAt(int i, ARG_TYPE e) { (*this)[i] = e; }
    TYPE* begin() { return m_pData; }
    TYPE* end() { return m_pData + m_nSize; }
    const TYPE* begin() const { return m_pData; }
    const TYPE* end() const { return m_pData + m_nSize; }

    // ---- modification ----
    // Appends `e` and returns its index. The common case (room left, stored grow-by) is inline and
    // takes one branch; `e` may refer to an element of this array.
    int Add(ARG_TYPE e, int growBy = -1) {
        int i = m_nSize;
        if (i < m_nMaxSize && growBy == -1) [[likely]] {
            if constexpr (detail::kRawMovable<TYPE>)
                m_pData[i] = e;
            else
                ::new (static_cast<void*>(m_pData + i)) TYPE(e);
            m_nSize = i + 1;
            return i;
        }
        return AddGrow(e, growBy);
    }
    // Grows the size by `count` elements of the reserve, left unwritten, and returns the first of
    // them: for a plain type whose caller writes every one before any other use. The reserve must
    // hold them (count <= capacity - size).
    TYPE* GrowUnfilled(int count) {
        static_assert(detail::kRawMovable<TYPE>, "GrowUnfilled is for plain types");
        assert(count >= 0 && count <= m_nMaxSize - m_nSize);
        TYPE* first = m_pData + m_nSize;
        m_nSize += count;
        return first;
    }
    // Stores `e` at `index`, growing the array to index + 1 when needed. Throws for index < 0.
    void SetAtGrow(int index, ARG_TYPE e, int growBy = -1);
    // Inserts `count` copies of `e` before `index`; an index at or past the end grows the array to
    // index + count. Throws for index < 0 or count < 0.
    void InsertAt(int index, ARG_TYPE e, int count = 1);
    // Removes `count` elements from `index`. Throws when the range is not inside [0, size).
    void RemoveAt(int index, int count = 1);
    // Makes this array a copy of `src` (the grow-by setting is kept).
    void Copy(const CXArray& src);
    // Appends the elements of `src` (which may be this array); returns the index of the first one.
    int Append(const CXArray& src);
    void Swap(CXArray& other) noexcept {
        std::swap(m_pData, other.m_pData);
        std::swap(m_nSize, other.m_nSize);
        std::swap(m_nMaxSize, other.m_nMaxSize);
        std::swap(m_nGrowBy, other.m_nGrowBy);
    }

    // Persists the elements: the count (archive count encoding), then the elements, as raw bytes for
    // plain types and through the archive's operators otherwise. Loading replaces the content.
    template <class Archive>
    void Serialize(Archive& ar);

protected:
    TYPE* m_pData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;
    bool m_bRawMove;

private:
    static constexpr bool kRaw = detail::kRawMovable<TYPE>;

    int AddGrow(ARG_TYPE e, int growBy);
    // Capacity for a request of `newSize` > capacity under the current grow-by setting.
    int GrownCapacity(int newSize) const;
    // Moves the live elements into a buffer of `capacity` slots; slots from the size on are zero
    // (left unwritten without `clearTail`).
    void Reallocate(int capacity, bool clearTail = true);
    static TYPE* Allocate(int capacity);
    static TYPE* AllocateZeroed(int capacity);
    static void ZeroConstruct(TYPE* p, int n) {
        if (n <= 0) return;
        std::memset(static_cast<void*>(p), 0, size_t(n) * sizeof(TYPE));
        if constexpr (!kRaw)
            for (int i = 0; i < n; ++i) ::new (static_cast<void*>(p + i)) TYPE();
    }
    // Constructs n elements in memory that is already zero (a fresh zeroed buffer, or the spare
    // tail that Reallocate has just cleared): only non-raw types need their constructor run.
    static void ConstructInZeroed(TYPE* p, int n) {
        if constexpr (!kRaw)
            for (int i = 0; i < n; ++i) ::new (static_cast<void*>(p + i)) TYPE();
        (void)p;
        (void)n;
    }
    static void Destroy(TYPE* p, int n) {
        if constexpr (!kRaw)
            for (int i = 0; i < n; ++i) p[i].~TYPE();
        (void)p;
        (void)n;
    }
};

// ---------------------------------------------------------------------------------------------

template <class TYPE, class ARG_TYPE>
TYPE* CXArray<TYPE, ARG_TYPE>::Allocate(int capacity) {
    void* p = xmalloc(size_t(capacity) * sizeof(TYPE));
    if (!p) XThrow<CXMemoryException>();
    return static_cast<TYPE*>(p);
}

// A zero-filled buffer: large blocks come straight from the system as zero pages, without a pass
// that writes the zeros.
template <class TYPE, class ARG_TYPE>
TYPE* CXArray<TYPE, ARG_TYPE>::AllocateZeroed(int capacity) {
    void* p = xcalloc(size_t(capacity), sizeof(TYPE));
    if (!p) XThrow<CXMemoryException>();
    return static_cast<TYPE*>(p);
}

template <class TYPE, class ARG_TYPE>
int CXArray<TYPE, ARG_TYPE>::GrownCapacity(int newSize) const {
    int64_t increment;
    if (m_nGrowBy == -2) {
        increment = m_nMaxSize;
    } else if (m_nGrowBy > 0) {
        increment = m_nGrowBy;
    } else {
        increment = m_nSize / 8;
        if (increment < 4) increment = 4;
        if (increment > 1024) increment = 1024;
    }
    int64_t capacity = int64_t(m_nMaxSize) + increment;
    if (capacity < newSize) capacity = newSize;
    if (capacity > INT_MAX) capacity = INT_MAX;
    return int(capacity);
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::Reallocate(int capacity, bool clearTail) {
    assert(capacity >= m_nSize);
    if constexpr (kRaw) {
        void* p = xrealloc(m_pData, size_t(capacity) * sizeof(TYPE));
        if (!p) XThrow<CXMemoryException>();
        m_pData = static_cast<TYPE*>(p);
    } else {
        TYPE* fresh = Allocate(capacity);
        int built = 0;
        try {
            for (; built < m_nSize; ++built) ::new (static_cast<void*>(fresh + built)) TYPE(std::move(m_pData[built]));
        } catch (...) {
            Destroy(fresh, built);
            xfree(fresh);
            throw;
        }
        Destroy(m_pData, m_nSize);
        xfree(m_pData);
        m_pData = fresh;
    }
    if (clearTail && capacity > m_nSize)
        std::memset(static_cast<void*>(m_pData + m_nSize), 0, size_t(capacity - m_nSize) * sizeof(TYPE));
    m_nMaxSize = capacity;
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::SetSize(int newSize, int growBy) {
    if (newSize < 0) XThrow<CXInvalidArgException>("CXArray::SetSize: negative size");
    if (growBy != -1) m_nGrowBy = growBy;

    if (newSize == 0) {
        Destroy(m_pData, m_nSize);
        m_nSize = 0;
        if (growBy == 0) {
            xfree(m_pData);
            m_pData = nullptr;
            m_nMaxSize = 0;
        }
        return;
    }
    if (!m_pData) {
        int capacity = newSize > m_nGrowBy ? newSize : m_nGrowBy;
        m_pData = AllocateZeroed(capacity);
        m_nMaxSize = capacity;
        ConstructInZeroed(m_pData, newSize);
        m_nSize = newSize;
        return;
    }
    if (newSize > m_nMaxSize) {
        Reallocate(GrownCapacity(newSize));  // clears the new tail
        ConstructInZeroed(m_pData + m_nSize, newSize - m_nSize);
    } else if (newSize > m_nSize) {
        ZeroConstruct(m_pData + m_nSize, newSize - m_nSize);
    } else {
        Destroy(m_pData + newSize, m_nSize - newSize);
    }
    m_nSize = newSize;
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::PreAllocate(int count, int growBy) {
    if (count < 0) XThrow<CXInvalidArgException>("CXArray::PreAllocate: negative count");
    if (growBy != -1) m_nGrowBy = growBy;
    // The reserve is left unwritten for plain types: every way to grow the size into it (SetSize,
    // Add, GrowUnfilled) writes the elements it adds.
    if (count > m_nMaxSize) Reallocate(count, !kRaw);
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::FreeExtra() {
    if (m_nSize == m_nMaxSize) return;
    if (m_nSize == 0) {
        xfree(m_pData);
        m_pData = nullptr;
        m_nMaxSize = 0;
        return;
    }
    Reallocate(m_nSize);
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::RemoveAll() {
    Destroy(m_pData, m_nSize);
    xfree(m_pData);
    m_pData = nullptr;
    m_nSize = m_nMaxSize = 0;
}

template <class TYPE, class ARG_TYPE>
int CXArray<TYPE, ARG_TYPE>::AddGrow(ARG_TYPE e, int growBy) {
    // `e` may live in this array: take a copy before the buffer moves.
    TYPE value(e);
    int i = m_nSize;
    if (i == INT_MAX) XThrow<CXInvalidArgException>("CXArray::Add: size out of range");
    SetSize(i + 1, growBy);
    m_pData[i] = std::move(value);
    return i;
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::SetAtGrow(int index, ARG_TYPE e, int growBy) {
    if (index < 0 || index == INT_MAX)
        XThrow<CXInvalidArgException>("CXArray::SetAtGrow: index out of range");
    if (index >= m_nSize) {
        TYPE value(e);
        SetSize(index + 1, growBy);
        m_pData[index] = std::move(value);
        return;
    }
    if (growBy != -1) m_nGrowBy = growBy;
    m_pData[index] = e;
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::InsertAt(int index, ARG_TYPE e, int count) {
    if (index < 0) XThrow<CXInvalidArgException>("CXArray::InsertAt: negative index");
    if (count < 0) XThrow<CXInvalidArgException>("CXArray::InsertAt: negative count");
    if (count == 0) return;
    if (int64_t(index) + count > INT_MAX || int64_t(m_nSize) + count > INT_MAX)
        XThrow<CXInvalidArgException>("CXArray::InsertAt: size out of range");
    TYPE value(e);
    if (index >= m_nSize) {
        SetSize(index + count);
    } else {
        int oldSize = m_nSize;
        SetSize(oldSize + count);
        if constexpr (kRaw) {
            std::memmove(static_cast<void*>(m_pData + index + count), m_pData + index,
                         size_t(oldSize - index) * sizeof(TYPE));
        } else {
            for (int i = oldSize - 1; i >= index; --i) m_pData[i + count] = std::move(m_pData[i]);
        }
    }
    for (int i = 0; i < count; ++i) m_pData[index + i] = value;
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::RemoveAt(int index, int count) {
    if (index < 0 || count < 0 || int64_t(index) + count > m_nSize)
        XThrow<CXInvalidArgException>("CXArray::RemoveAt: range outside the array");
    if (count == 0) return;
    int tail = m_nSize - index - count;
    if constexpr (kRaw) {
        std::memmove(static_cast<void*>(m_pData + index), m_pData + index + count, size_t(tail) * sizeof(TYPE));
    } else {
        for (int i = 0; i < tail; ++i) m_pData[index + i] = std::move(m_pData[index + count + i]);
        Destroy(m_pData + m_nSize - count, count);
    }
    m_nSize -= count;
}

template <class TYPE, class ARG_TYPE>
void CXArray<TYPE, ARG_TYPE>::Copy(const CXArray& src) {
    if (this == &src) return;
    SetSize(src.m_nSize);
    if constexpr (kRaw) {
        if (src.m_nSize > 0) std::memcpy(static_cast<void*>(m_pData), src.m_pData, size_t(src.m_nSize) * sizeof(TYPE));
    } else {
        for (int i = 0; i < src.m_nSize; ++i) m_pData[i] = src.m_pData[i];
    }
}

template <class TYPE, class ARG_TYPE>
int CXArray<TYPE, ARG_TYPE>::Append(const CXArray& src) {
    int first = m_nSize;
    int n = src.m_nSize;  // read before resizing: src may be this array
    if (int64_t(first) + n > INT_MAX) XThrow<CXInvalidArgException>("CXArray::Append: size out of range");
    SetSize(first + n);
    if constexpr (kRaw) {
        if (n > 0) std::memcpy(static_cast<void*>(m_pData + first), src.m_pData, size_t(n) * sizeof(TYPE));
    } else {
        for (int i = 0; i < n; ++i) m_pData[first + i] = src.m_pData[i];
    }
    return first;
}

template <class TYPE, class ARG_TYPE>
template <class Archive>
void CXArray<TYPE, ARG_TYPE>::Serialize(Archive& ar) {
    if (ar.IsStoring()) {
        ar.WriteCount(uint64_t(m_nSize));
        detail::StoreElements(ar, m_pData, size_t(m_nSize));
        return;
    }
    int n = detail::ReadIntCount(ar);
    SetSize(0);
    int done = 0;
    while (done < n) {
        int step = n - done < detail::kLoadStep ? n - done : detail::kLoadStep;
        if (done + step > m_nMaxSize) {
            // Geometric growth, capped at the announced count.
            int64_t want = int64_t(m_nMaxSize) * 2;
            if (want < done + step) want = done + step;
            if (want > n) want = n;
            PreAllocate(int(want));
        }
        SetSize(done + step);
        detail::LoadElements(ar, m_pData + done, size_t(step));
        done += step;
    }
}

}  // namespace kestovar
