// The typed element array under every point list and every data chunk, and the element method
// tables that tell it what its elements are.
//
// A CElementArray holds fixed-size elements in one contiguous buffer and knows nothing about them
// beyond their size: construction, destruction, copying and serialisation go through its method
// table (a CElementMethods). Tables whose IsObject() is false hold plain bytes, which the array
// copies and serialises in bulk; per-element tables (the point records) are handled one element at
// a time. Elements of either kind must be relocatable by a byte copy (the buffer grows with
// xrealloc), which the point records are: they hold no pointers into themselves.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"

namespace kestovar {

class CXArchive;

// Type codes of the library's element tables (four characters, first in the high byte).
enum _ELEMENT_TYPE : uint32_t {
    ELEMENT_TYPE_POINTS = 0x504E5453,          // PNTS: base type of every point table
    ELEMENT_TYPE_3DPOINT = 0x33445054,         // 3DPT
    ELEMENT_TYPE_3DVECTOR = 0x33445645,        // 3DVE
    ELEMENT_TYPE_2DPOINT = 0x32445054,         // 2DPT
    ELEMENT_TYPE_FACE = 0x46414345,            // FACE
    ELEMENT_TYPE_3DFACE = 0x33444641,          // 3DFA
    ELEMENT_TYPE_ORIGINAL_INDEX = 0x4F52494E,  // ORIN
    ELEMENT_TYPE_BACK_MATERIAL = 0x424B4D54,   // BKMT
    ELEMENT_TYPE_TAG_ID = 0x54474944,          // TGID
    ELEMENT_TYPE_MAX_FACE = 0x4D584454,        // MXDT
    ELEMENT_TYPE_MAX_FACE2 = 0x4D584432,       // MXD2
};

// Element method table. Reference-counted: every array using a table holds one reference.
class KESTOVAR_API CElementMethods : public CXObject, public CInstanciatedObject {
    KX_DECLARE_DYNAMIC(CElementMethods)
public:
    CElementMethods() = default;
    ~CElementMethods() override;

    using CXObject::IsKindOf;
    using CXAllocated::operator new;
    using CXAllocated::operator delete;

    // True when elements must be constructed, destroyed, copied and serialised one by one
    // through this table; false when they are plain bytes.
    virtual bool IsObject() const { return false; }
    // True when `other` is of this table's kind: its type equals this table's base type (or,
    // for two tables of the same type, this table's type).
    virtual bool IsKindOf(const CElementMethods* other) const {
        return other && (other->GetType() == GetBaseType() || other->GetType() == GetType());
    }
    // Element size in bytes.
    virtual int GetSizeof() const = 0;
    virtual uint32_t GetType() const = 0;
    virtual uint32_t GetBaseType() const = 0;
    // Writes a new element (the table's "new element" value) into raw memory.
    virtual void ConstructElement(void* element) const = 0;
    virtual void DestructElement(void* element) const;
    // Copies `src` (an element of `srcType`) into `dst` (an element of `dstType`, normally this
    // table).
    virtual void CopyElement(void* dst, const CElementMethods* dstType, const void* src,
                             const CElementMethods* srcType) const;
    // Copies an element of this table's type.
    virtual void CopyElement(void* dst, const void* src) const;
    virtual void SerializeElement(CXArchive& ar, void* element) const;

    // Tells whether `a` and `b` may exchange elements (IsKindOf either way).
    static bool AreOfAKind(const CElementMethods* a, const CElementMethods* b) {
        return a && b && (a->IsKindOf(b) || b->IsKindOf(a));
    }
};

// One table of type M for the whole process: lists share it (each holds a reference), so that
// building a list allocates no table. The instance is never released.
template <class M>
M* SharedElementMethods() {
    static M* const instance = new M;
    return instance;
}

// Table for plain-data elements of type T (trivially copyable), with the type codes TYPE and
// BASETYPE and the value NEW written into every new element.
template <class T, uint32_t TYPE, uint32_t BASETYPE, T NEW = T{}>
class KESTOVAR_API CPlainElementMethods : public CElementMethods {
public:
    bool IsObject() const override { return false; }
    int GetSizeof() const override { return int(sizeof(T)); }
    uint32_t GetType() const override { return TYPE; }
    uint32_t GetBaseType() const override { return BASETYPE; }
    void ConstructElement(void* element) const override {
        const T value = NEW;
        std::memcpy(element, &value, sizeof(T));
    }
};

// Abstract base of every point table: per-element, base type PNTS.
class KESTOVAR_API CPointMethods : public CElementMethods {
    KX_DECLARE_DYNAMIC(CPointMethods)
public:
    bool IsObject() const override { return true; }
    uint32_t GetBaseType() const override { return ELEMENT_TYPE_POINTS; }
};

// Table for the point record P (a CPt) with the type code TYPE. New elements are default
// constructed; copies go through the record's operator=, serialisation through its Serialize.
// Copies from another point type convert through the records' homogeneous form.
template <class P, uint32_t TYPE>
class KESTOVAR_API CPointElementMethods : public CPointMethods {
public:
    int GetSizeof() const override { return int(sizeof(P)); }
    uint32_t GetType() const override { return TYPE; }
    void ConstructElement(void* element) const override { ::new (element) P(); }
    void DestructElement(void* element) const override { static_cast<P*>(element)->P::~P(); }
    void CopyElement(void* dst, const CElementMethods* dstType, const void* src,
                     const CElementMethods* srcType) const override {
        (void)dstType;
        if (!srcType || srcType->GetType() == TYPE) {
            *static_cast<P*>(dst) = *static_cast<const P*>(src);
        } else if (srcType->GetBaseType() == ELEMENT_TYPE_POINTS) {
            // Every point record starts with its CPt base.
            static_cast<P*>(dst)->operator=(*static_cast<const CPt*>(src));
        }
    }
    void CopyElement(void* dst, const void* src) const override {
        *static_cast<P*>(dst) = *static_cast<const P*>(src);
    }
    void SerializeElement(CXArchive& ar, void* element) const override { static_cast<P*>(element)->Serialize(ar); }
};

class KESTOVAR_API C3DPointMethods : public CPointElementMethods<C3DTPoint<float>, ELEMENT_TYPE_3DPOINT> {
    KX_DECLARE_SERIAL(C3DPointMethods)
};
class KESTOVAR_API C3DVectorMethods : public CPointElementMethods<C3DTVector<float>, ELEMENT_TYPE_3DVECTOR> {
    KX_DECLARE_SERIAL(C3DVectorMethods)
};
class KESTOVAR_API C2DPointMethods : public CPointElementMethods<C2DTPoint<float>, ELEMENT_TYPE_2DPOINT> {
    KX_DECLARE_SERIAL(C2DPointMethods)
};

// Face main data of a C3DFaceList: the face flag word, then the material identifier.
struct _3DFaceProperty {
    uint32_t flags;
    uint32_t material;
};

// Face flag word.
class KESTOVAR_API CFacePropertyMethods
    : public CPlainElementMethods<uint32_t, ELEMENT_TYPE_FACE, ELEMENT_TYPE_FACE, 0u> {
    KX_DECLARE_SERIAL(CFacePropertyMethods)
};
// Face flag word and material.
class KESTOVAR_API C3DFacePropertyMethods
    : public CPlainElementMethods<_3DFaceProperty, ELEMENT_TYPE_3DFACE, ELEMENT_TYPE_FACE, _3DFaceProperty{0u, 0u}> {
    KX_DECLARE_SERIAL(C3DFacePropertyMethods)
};
// Original index of a point or face; new elements are REMAP_REMOVED (no original).
class KESTOVAR_API COriginalIndexMethods
    : public CPlainElementMethods<uint32_t, ELEMENT_TYPE_ORIGINAL_INDEX, ELEMENT_TYPE_ORIGINAL_INDEX, 0xFFFFFFFFu> {
    KX_DECLARE_SERIAL(COriginalIndexMethods)
};
// Back-face material; 0xFFFFFFFF means "same as the front".
class KESTOVAR_API CBackFaceMaterialMethods
    : public CPlainElementMethods<uint32_t, ELEMENT_TYPE_BACK_MATERIAL, ELEMENT_TYPE_BACK_MATERIAL, 0xFFFFFFFFu> {
    KX_DECLARE_SERIAL(CBackFaceMaterialMethods)
};
// Face tag.
class KESTOVAR_API CFaceTagIDMethods
    : public CPlainElementMethods<uint32_t, ELEMENT_TYPE_TAG_ID, ELEMENT_TYPE_TAG_ID, 0u> {
    KX_DECLARE_SERIAL(CFaceTagIDMethods)
};
// 32-bit per-face value kept for a host.
class KESTOVAR_API CMaxFaceMethods
    : public CPlainElementMethods<uint32_t, ELEMENT_TYPE_MAX_FACE, ELEMENT_TYPE_MAX_FACE, 0u> {
    KX_DECLARE_SERIAL(CMaxFaceMethods)
};
// 64-bit per-face value kept for a host; of the same kind as CMaxFaceMethods.
class KESTOVAR_API CMaxFaceMethods2
    : public CPlainElementMethods<uint64_t, ELEMENT_TYPE_MAX_FACE2, ELEMENT_TYPE_MAX_FACE, uint64_t(0)> {
    KX_DECLARE_SERIAL(CMaxFaceMethods2)
};

// Growable array of elements described by a method table.
//
// Growth (SetSize beyond the allocation): the new allocation is the allocated count doubled
// (grow setting -2), or plus the grow setting (n > 0), or, for automatic growth (0), plus
// count / 8 clamped to [4, 1024], computed from the current count; at least the requested count.
// A positive grow setting is also the minimum first allocation.
//
// Construction: new elements are written by the table's ConstructElement. With construct-all set,
// every allocated slot, not only the used ones, holds a constructed element.
class KESTOVAR_API CElementArray : public CXObject {
    KX_DECLARE_SERIAL(CElementArray)
public:
    CElementArray();
    // An empty array of `methods` elements (takes a reference on `methods`, which may be null).
    explicit CElementArray(CElementMethods* methods, int grow = 0);
    ~CElementArray() override;

    CElementArray(const CElementArray&) = delete;
    CElementArray& operator=(const CElementArray&) = delete;

    // Stores the count, the grow setting (both 32-bit), the table's class, then the elements:
    // one by one for per-element tables, else as raw bytes. Loading replaces the content.
    void Serialize(CXArchive& ar) override;
    // Sets the count to `count`. `keepMemory` keeps the buffer (and the removed elements) when
    // shrinking; a `grow` other than -1 replaces the grow setting. A negative count raises
    // CXInvalidArgException.
    virtual void SetSize(int count, bool keepMemory = false, int grow = -1);
    // Destroys the elements and frees the buffer.
    virtual void RemoveAll();
    // A new array with the same table, grow setting and construct mode; with `copyContent`, also
    // a copy of the elements. The caller owns the result (delete it).
    virtual CElementArray* Duplicate(bool copyContent) const;

    // Appends a copy of `element`; returns its index.
    int Add(const void* element, int grow = -1) {
        int index = m_nSize;
        SetAtGrow(index, element, grow);
        return index;
    }
    // Copies `element` into slot `index` (below the count, else CXInvalidArgException).
    void SetAt(int index, const void* element);
    // As SetAt, growing the array to index + 1 when needed. A negative index raises
    // CXInvalidArgException.
    void SetAtGrow(int index, const void* element, int grow = -1);

    // The element at `index`, or null when the index is not below the count.
    void* ElementAt(int index) {
        return (index >= 0 && index < m_nSize) ? m_pData + size_t(index) * size_t(m_nElementSize) : nullptr;
    }
    const void* ElementAt(int index) const {
        return (index >= 0 && index < m_nSize) ? m_pData + size_t(index) * size_t(m_nElementSize) : nullptr;
    }
    void* operator[](int index) { return ElementAt(index); }
    const void* operator[](int index) const { return ElementAt(index); }
    // Iteration: GetFirst, then GetNext(p) until it passes the last element (null past the end).
    void* GetFirst() { return m_nSize > 0 ? m_pData : nullptr; }
    void* GetNext(void* p) {
        uint8_t* next = static_cast<uint8_t*>(p) + m_nElementSize;
        return next < m_pData + size_t(m_nSize) * size_t(m_nElementSize) ? next : nullptr;
    }
    void* GetData() { return m_pData; }
    const void* GetData() const { return m_pData; }

    int GetSize() const { return m_nSize; }
    int GetUpperBound() const { return m_nSize - 1; }
    int GetAllocatedSize() const { return m_nMaxSize; }
    int GetGrowFactor() const { return m_nGrowBy; }
    bool IsConstructAll() const { return m_bConstructAll != 0; }
    CElementMethods* GetMethods() const { return m_pMethods; }

    // Opens `count` slots at `index` (past the end: the array grows to index + count) and copies
    // `element` into each. A negative index or count raises CXInvalidArgException.
    void InsertAt(int index, const void* element, int count = 1);
    // Inserts all elements of `other` at `index`. Returns false (and changes nothing) when the
    // tables are not of a kind.
    bool InsertAt(int index, const CElementArray* other);
    // Removes `count` elements from `index`. Out-of-range indices raise CXInvalidArgException.
    void RemoveAt(int index, int count = 1);

    // Appends the elements of `src`. Returns the index of the first appended element, or -1
    // (nothing changed) when the tables are not of a kind. `exactFit` allocates exactly the
    // needed count instead of following the growth rule.
    int Append(const CElementArray& src, bool exactFit = false);
    // Makes this array a copy of `src`'s elements (this array keeps its table). Returns false
    // (nothing changed) when the tables are not of a kind. `keepMemory` keeps a larger buffer.
    bool Copy(const CElementArray& src, bool keepMemory = true);
    // Copies element `srcIndex` of `src` into element `dstIndex` of this array. Returns false
    // when an index is out of range or the tables are not of a kind.
    bool Copy(int dstIndex, int srcIndex, const CElementArray& src);

    // Permutes the elements. Without `inverse`, order[i] is the old position of the element that
    // goes to position i; with `inverse`, order[i] is the new position of the element now at i.
    // Returns false when `count` differs from the array's count or `order` is not a permutation
    // (nothing changed then).
    bool Reorder(const unsigned int* order, unsigned int count, bool inverse);

    // Replaces the content with an empty buffer of `count` slots.
    void PreAllocate(int count);
    // Shrinks the buffer to the count (frees it when empty); clears construct-all.
    void FreeExtra();
    // Sets construct-all: when set, the reserve slots are constructed now and kept constructed.
    void ConstructMode(bool constructAll);
    // Sets the element table (takes a reference; releases the previous one). The elements are
    // destroyed and the array emptied when the element type or size changes.
    void SetMethods(CElementMethods* methods);
    // Sets the grow setting: 0 automatic, -2 double, n > 0 grow by n.
    void SetGrowFactor(int grow);
    // Checks a grow setting read from an archive: -2 (double), 0 (automatic) or a step of at most
    // kMaxLoadedGrowBy elements. A positive setting is also the size of the first allocation, so a
    // forged one would reserve gigabytes before any element proves to exist; such data raises
    // CXArchiveException (badIndex).
    static int CheckLoadedGrowFactor(int64_t grow);
    static constexpr int kMaxLoadedGrowBy = 1 << 16;

    int GetSizeOfElement() const { return m_nElementSize; }
    uint32_t GetTypeOfElement() const;
    uint32_t GetBaseTypeOfElement() const;

    // 32-bit FNV-1a over count x element size bytes of the buffer, from the last byte to the
    // first, each byte sign-extended to 32 bits before the exclusive-or.
    uint32_t GetChecksum() const;

    // Element transfer without a header, as used by the data chunks: stores exactly `count`
    // elements from the start of the array (the array must hold that many), or loads `count`
    // elements, replacing the content. Loading reads in bounded steps so that a damaged count
    // fails at the end of the data instead of allocating its full size first.
    void StoreElements(CXArchive& ar, int count);
    void LoadElements(CXArchive& ar, int count);

protected:
    void Construct(int first, int count);
    void Destruct(int first, int count);
    void CopyFrom(int dstIndex, const CElementArray& src, int srcIndex, int count);
    void Reallocate(int newMax);
    // Grows the array by `count` elements so that [index, index + count) are freshly constructed
    // slots (the tail from `index` moves up; an index at or past the end pads the array first).
    void OpenSlots(int index, int count);
    // Byte offset of `element` in this array's buffer, or -1 when it lies outside: an element
    // that lives in the buffer must be found again after a growth moves it.
    int64_t OffsetInBuffer(const void* element) const;
    uint8_t* Slot(int index) const { return m_pData + size_t(index) * size_t(m_nElementSize); }

    CElementMethods* m_pMethods;
    uint8_t* m_pData;
    int m_nElementSize;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;
    uint8_t m_bConstructAll;
};

}  // namespace kestovar
