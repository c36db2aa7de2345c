#include "kestovar/core/element_array.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"

namespace kestovar {

// ---- method tables -------------------------------------------------------------------------------

KX_IMPLEMENT_DYNAMIC(CElementMethods, CXObject)
KX_IMPLEMENT_DYNAMIC(CPointMethods, CElementMethods)
KX_IMPLEMENT_SERIAL(C3DPointMethods, CPointMethods, 1)
KX_IMPLEMENT_SERIAL(C3DVectorMethods, CPointMethods, 1)
KX_IMPLEMENT_SERIAL(C2DPointMethods, CPointMethods, 1)
KX_IMPLEMENT_SERIAL(CFacePropertyMethods, CElementMethods, 1)
KX_IMPLEMENT_SERIAL(C3DFacePropertyMethods, CElementMethods, 1)
KX_IMPLEMENT_SERIAL(COriginalIndexMethods, CElementMethods, 1)
KX_IMPLEMENT_SERIAL(CBackFaceMaterialMethods, CElementMethods, 1)
KX_IMPLEMENT_SERIAL(CFaceTagIDMethods, CElementMethods, 1)
KX_IMPLEMENT_SERIAL(CMaxFaceMethods, CElementMethods, 1)
KX_IMPLEMENT_SERIAL(CMaxFaceMethods2, CElementMethods, 1)

CElementMethods::~CElementMethods() = default;

void CElementMethods::DestructElement(void*) const {}

void CElementMethods::CopyElement(void*, const CElementMethods*, const void*, const CElementMethods*) const {}

void CElementMethods::CopyElement(void*, const void*) const {}

void CElementMethods::SerializeElement(CXArchive&, void*) const {}

// ---- element array -------------------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(CElementArray, CXObject, 1)

namespace {
// Elements loaded per step when the count comes from an archive: a damaged count then fails at
// the end of the data after at most one step of extra memory.
constexpr size_t kLoadStepBytes = size_t(1) << 20;

// Whether a plain-data table constructs its elements as zero bytes (points, vectors and most face
// properties do). Slots that Reallocate has just cleared then already hold constructed elements,
// and a large array sized before being written whole is not written a second time.
bool ConstructsZeroBytes(const CElementMethods* methods, size_t elementSize) {
    alignas(16) uint8_t element[256];
    if (!methods || methods->IsObject() || elementSize == 0 || elementSize > sizeof(element)) return false;
    std::memset(element, 0, elementSize);
    methods->ConstructElement(element);
    for (size_t i = 0; i < elementSize; ++i)
        if (element[i]) return false;
    return true;
}
}  // namespace

CElementArray::CElementArray()
    : m_pMethods(nullptr), m_pData(nullptr), m_nElementSize(0), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0),
      m_bConstructAll(0) {}

CElementArray::CElementArray(CElementMethods* methods, int grow) : CElementArray() {
    SetMethods(methods);
    SetGrowFactor(grow);
}

CElementArray::~CElementArray() {
    RemoveAll();
    XRelease(m_pMethods);
}

uint32_t CElementArray::GetTypeOfElement() const { return m_pMethods ? m_pMethods->GetType() : 0; }

uint32_t CElementArray::GetBaseTypeOfElement() const { return m_pMethods ? m_pMethods->GetBaseType() : 0; }

void CElementArray::Construct(int first, int count) {
    if (count <= 0 || !m_pMethods) return;
    if (m_pMethods->IsObject()) {
        for (int i = 0; i < count; ++i) m_pMethods->ConstructElement(Slot(first + i));
        return;
    }
    // Plain data: build one element, then replicate its bytes by doubling copies.
    const size_t es = size_t(m_nElementSize);
    uint8_t* base = Slot(first);
    m_pMethods->ConstructElement(base);
    size_t done = 1;
    while (done < size_t(count)) {
        size_t n = std::min(done, size_t(count) - done);
        std::memcpy(base + done * es, base, n * es);
        done += n;
    }
}

void CElementArray::Destruct(int first, int count) {
    if (count <= 0 || !m_pMethods || !m_pMethods->IsObject()) return;
    for (int i = 0; i < count; ++i) m_pMethods->DestructElement(Slot(first + i));
}

void CElementArray::Reallocate(int newMax) {
    if (newMax <= 0) {
        xfree(m_pData);
        m_pData = nullptr;
        m_nMaxSize = 0;
        return;
    }
    const size_t es = size_t(m_nElementSize);
    void* p = xrealloc(m_pData, size_t(newMax) * es);
    if (!p) XThrow<CXMemoryException>();
    m_pData = static_cast<uint8_t*>(p);
    // Fresh slots start as zero bytes so that the buffer content never depends on the allocator.
    if (newMax > m_nMaxSize) std::memset(m_pData + size_t(m_nMaxSize) * es, 0, size_t(newMax - m_nMaxSize) * es);
    m_nMaxSize = newMax;
}

void CElementArray::SetSize(int count, bool keepMemory, int grow) {
    if (count < 0) XThrow<CXInvalidArgException>("CElementArray::SetSize: negative count");
    if (grow != -1) SetGrowFactor(grow);
    if (count == 0) {
        if (!keepMemory) RemoveAll();
        m_nSize = 0;
        return;
    }
    if (!m_pMethods || m_nElementSize <= 0)
        XThrow<CXInvalidArgException>("CElementArray::SetSize: the array has no element table");

    // Constructs the slots from `first` on, fresh from Reallocate (zero bytes).
    const auto constructFresh = [this](int first, int n) {
        if (n > 0 && !ConstructsZeroBytes(m_pMethods, size_t(m_nElementSize))) Construct(first, n);
    };
    if (!m_pData) {
        // A positive grow setting doubles as the minimum first allocation.
        int first = std::max(count, m_nGrowBy > 0 ? m_nGrowBy : 0);
        Reallocate(first);
        constructFresh(0, m_bConstructAll ? first : count);
        m_nSize = count;
        return;
    }
    if (count > m_nMaxSize) {
        int64_t increment;
        if (m_nGrowBy == -2)
            increment = m_nMaxSize;
        else if (m_nGrowBy > 0)
            increment = m_nGrowBy;
        else  // automatic: from the current count, not from the allocation
            increment = std::clamp<int64_t>(m_nSize / 8, 4, 1024);
        int64_t target = std::max<int64_t>(count, int64_t(m_nMaxSize) + increment);
        int newMax = int(std::min<int64_t>(target, INT_MAX));
        int oldMax = m_nMaxSize;
        Reallocate(newMax);
        if (m_bConstructAll) {
            constructFresh(oldMax, newMax - oldMax);
        } else {
            // The old reserve may hold earlier elements; the slots past it are fresh.
            Construct(m_nSize, oldMax - m_nSize);
            constructFresh(oldMax, count - oldMax);
        }
        m_nSize = count;
        return;
    }
    if (count > m_nSize && !m_bConstructAll) Construct(m_nSize, count - m_nSize);
    if (count < m_nSize && !keepMemory) {
        Destruct(count, m_nSize - count);
        // Reserve slots of a construct-all array always hold constructed elements.
        if (m_bConstructAll) Construct(count, m_nSize - count);
    }
    m_nSize = count;
}

void CElementArray::RemoveAll() {
    if (m_pData) Destruct(0, m_bConstructAll ? m_nMaxSize : m_nSize);
    xfree(m_pData);
    m_pData = nullptr;
    m_nSize = 0;
    m_nMaxSize = 0;
}

CElementArray* CElementArray::Duplicate(bool copyContent) const {
    CElementArray* copy = new CElementArray(m_pMethods, m_nGrowBy);
    if (m_bConstructAll) copy->ConstructMode(true);
    if (copyContent) copy->Copy(*this);
    return copy;
}

void CElementArray::SetAt(int index, const void* element) {
    if (index < 0 || index >= m_nSize) XThrow<CXInvalidArgException>("CElementArray::SetAt: index out of range");
    if (!element) return;
    if (m_pMethods->IsObject())
        m_pMethods->CopyElement(Slot(index), element);
    else
        std::memmove(Slot(index), element, size_t(m_nElementSize));
}

int64_t CElementArray::OffsetInBuffer(const void* element) const {
    const uint8_t* p = static_cast<const uint8_t*>(element);
    if (p && m_pData && p >= m_pData && p < m_pData + size_t(m_nMaxSize) * size_t(m_nElementSize)) return p - m_pData;
    return -1;
}

void CElementArray::OpenSlots(int index, int count) {
    if (int64_t(std::max(index, m_nSize)) + count > INT_MAX)
        XThrow<CXInvalidArgException>("CElementArray::InsertAt: too many elements");
    if (index >= m_nSize) {
        SetSize(index + count);
        return;
    }
    const int oldSize = m_nSize;
    SetSize(oldSize + count);
    // The slots just constructed at the end are overwritten by the moved tail; the opened slots
    // are constructed afresh.
    Destruct(oldSize, count);
    std::memmove(Slot(index + count), Slot(index), size_t(oldSize - index) * size_t(m_nElementSize));
    Construct(index, count);
}

void CElementArray::SetAtGrow(int index, const void* element, int grow) {
    if (index < 0 || index == INT_MAX) XThrow<CXInvalidArgException>("CElementArray::SetAtGrow: bad index");
    if (index >= m_nSize) {
        // `element` may live in this buffer, which the growth may move.
        const int64_t inside = OffsetInBuffer(element);
        SetSize(index + 1, false, grow);
        if (inside >= 0) element = m_pData + inside;
    }
    SetAt(index, element);
}

void CElementArray::InsertAt(int index, const void* element, int count) {
    if (index < 0 || count < 0) XThrow<CXInvalidArgException>("CElementArray::InsertAt: negative index or count");
    if (count == 0) return;
    int64_t inside = OffsetInBuffer(element);
    // An element in the moved tail moves up with it.
    if (index < m_nSize && inside >= int64_t(index) * m_nElementSize) inside += int64_t(count) * m_nElementSize;
    OpenSlots(index, count);
    if (inside >= 0) element = m_pData + inside;
    if (!element) return;
    for (int i = 0; i < count; ++i) SetAt(index + i, element);
}

bool CElementArray::InsertAt(int index, const CElementArray* other) {
    if (index < 0) XThrow<CXInvalidArgException>("CElementArray::InsertAt: negative index");
    if (!other) return false;
    if (other == this) {
        CElementArray* copy = Duplicate(true);
        bool done = InsertAt(index, copy);
        delete copy;
        return done;
    }
    if (!m_pMethods) SetMethods(other->m_pMethods);
    if (!CElementMethods::AreOfAKind(m_pMethods, other->m_pMethods)) return false;
    int count = other->m_nSize;
    if (count == 0) return true;
    OpenSlots(index, count);
    CopyFrom(index, *other, 0, count);
    return true;
}

void CElementArray::RemoveAt(int index, int count) {
    if (index < 0 || count < 0 || int64_t(index) + count > m_nSize)
        XThrow<CXInvalidArgException>("CElementArray::RemoveAt: index out of range");
    if (count == 0) return;
    Destruct(index, count);
    std::memmove(Slot(index), Slot(index + count), size_t(m_nSize - index - count) * size_t(m_nElementSize));
    m_nSize -= count;
    // The vacated tail holds stale copies of moved elements: give construct-all arrays fresh ones.
    if (m_bConstructAll) Construct(m_nSize, count);
}

void CElementArray::CopyFrom(int dstIndex, const CElementArray& src, int srcIndex, int count) {
    if (count <= 0) return;
    if (m_pMethods->IsObject() && src.m_pMethods->IsObject()) {
        for (int i = 0; i < count; ++i)
            m_pMethods->CopyElement(Slot(dstIndex + i), m_pMethods, src.Slot(srcIndex + i), src.m_pMethods);
        return;
    }
    if (m_nElementSize == src.m_nElementSize) {
        std::memmove(Slot(dstIndex), src.Slot(srcIndex), size_t(count) * size_t(m_nElementSize));
        return;
    }
    const size_t n = size_t(std::min(m_nElementSize, src.m_nElementSize));
    for (int i = 0; i < count; ++i) std::memcpy(Slot(dstIndex + i), src.Slot(srcIndex + i), n);
}

int CElementArray::Append(const CElementArray& src, bool exactFit) {
    if (!m_pMethods) SetMethods(src.m_pMethods);
    if (!CElementMethods::AreOfAKind(m_pMethods, src.m_pMethods)) return -1;
    int first = m_nSize;
    int count = src.m_nSize;  // read before growing: `src` may be this array
    if (count == 0) return first;
    int64_t needed = int64_t(first) + count;
    if (needed > INT_MAX) XThrow<CXInvalidArgException>("CElementArray::Append: too many elements");
    if (exactFit && needed > m_nMaxSize && m_pData) {
        int oldMax = m_nMaxSize;
        Reallocate(int(needed));
        if (m_bConstructAll) Construct(oldMax, m_nMaxSize - oldMax);
    }
    SetSize(int(needed));
    CopyFrom(first, src, 0, count);
    return first;
}

bool CElementArray::Copy(const CElementArray& src, bool keepMemory) {
    if (&src == this) return true;
    if (!m_pMethods) SetMethods(src.m_pMethods);
    if (!CElementMethods::AreOfAKind(m_pMethods, src.m_pMethods)) return false;
    SetSize(src.m_nSize, keepMemory);
    CopyFrom(0, src, 0, src.m_nSize);
    return true;
}

bool CElementArray::Copy(int dstIndex, int srcIndex, const CElementArray& src) {
    if (dstIndex < 0 || dstIndex >= m_nSize || srcIndex < 0 || srcIndex >= src.m_nSize) return false;
    if (!CElementMethods::AreOfAKind(m_pMethods, src.m_pMethods)) return false;
    if (&src == this && dstIndex == srcIndex) return true;
    CopyFrom(dstIndex, src, srcIndex, 1);
    return true;
}

bool CElementArray::Reorder(const unsigned int* order, unsigned int count, bool inverse) {
    if (count != unsigned(m_nSize)) return false;
    if (count == 0) return true;
    if (!order) return false;

    // table[i] = old position of the element that goes to position i.
    unsigned* table = static_cast<unsigned*>(xmalloc(size_t(count) * sizeof(unsigned)));
    uint8_t* seen = static_cast<uint8_t*>(xcalloc(count, 1));
    uint8_t* temp = static_cast<uint8_t*>(xmalloc(size_t(m_nElementSize)));
    if (!table || !seen || !temp) {
        xfree(table);
        xfree(seen);
        xfree(temp);
        XThrow<CXMemoryException>();
    }
    bool valid = true;
    for (unsigned i = 0; i < count && valid; ++i) {
        unsigned v = order[i];
        if (v >= count || seen[v]) {
            valid = false;
            break;
        }
        seen[v] = 1;
        if (inverse)
            table[v] = i;
        else
            table[i] = v;
    }
    if (valid) {
        // Follow each cycle with one temporary element; placed entries are marked REMAP_REMOVED.
        // Elements are moved as bytes (they are relocatable), so no copy operator runs.
        const size_t es = size_t(m_nElementSize);
        for (unsigned start = 0; start < count; ++start) {
            if (table[start] == REMAP_REMOVED) continue;
            if (table[start] == start) {
                table[start] = REMAP_REMOVED;
                continue;
            }
            std::memcpy(temp, Slot(int(start)), es);
            unsigned j = start;
            for (;;) {
                unsigned from = table[j];
                table[j] = REMAP_REMOVED;
                if (from == start) {
                    std::memcpy(Slot(int(j)), temp, es);
                    break;
                }
                std::memcpy(Slot(int(j)), Slot(int(from)), es);
                j = from;
            }
        }
    }
    xfree(table);
    xfree(seen);
    xfree(temp);
    return valid;
}

void CElementArray::PreAllocate(int count) {
    if (count < 0) XThrow<CXInvalidArgException>("CElementArray::PreAllocate: negative count");
    RemoveAll();
    if (count == 0) return;
    if (!m_pMethods || m_nElementSize <= 0)
        XThrow<CXInvalidArgException>("CElementArray::PreAllocate: the array has no element table");
    Reallocate(count);
    if (m_bConstructAll) Construct(0, count);
}

void CElementArray::FreeExtra() {
    if (m_bConstructAll) {
        if (m_pData) Destruct(m_nSize, m_nMaxSize - m_nSize);
        m_bConstructAll = 0;
    }
    if (m_nSize != m_nMaxSize) Reallocate(m_nSize);
}

void CElementArray::ConstructMode(bool constructAll) {
    if (constructAll == (m_bConstructAll != 0)) return;
    if (m_pData) {
        if (constructAll)
            Construct(m_nSize, m_nMaxSize - m_nSize);
        else
            Destruct(m_nSize, m_nMaxSize - m_nSize);
    }
    m_bConstructAll = constructAll ? 1 : 0;
}

void CElementArray::SetMethods(CElementMethods* methods) {
    if (methods == m_pMethods) return;
    bool sameLayout = methods && m_pMethods && methods->GetType() == m_pMethods->GetType() &&
                      methods->GetSizeof() == m_pMethods->GetSizeof();
    if (!sameLayout) RemoveAll();  // destroys through the old table
    XAddRef(methods);
    XRelease(m_pMethods);
    m_pMethods = methods;
    m_nElementSize = methods ? methods->GetSizeof() : 0;
}

int CElementArray::CheckLoadedGrowFactor(int64_t grow) {
    if (grow == -2 || (grow >= 0 && grow <= kMaxLoadedGrowBy)) return int(grow);
    XThrow<CXArchiveException>(CXArchiveException::badIndex, "grow setting out of range");
}

void CElementArray::SetGrowFactor(int grow) {
    // -1 means "keep" in the sizing calls; any other negative value but -2 is taken as automatic.
    m_nGrowBy = (grow >= 0 || grow == -2) ? grow : 0;
}

uint32_t CElementArray::GetChecksum() const {
    uint32_t h = 0x811C9DC5u;
    const size_t n = size_t(m_nSize) * size_t(m_nElementSize);
    for (size_t i = n; i-- > 0;) {
        h ^= uint32_t(int32_t(int8_t(m_pData[i])));  // the byte sign-extended
        h *= 0x01000193u;
    }
    return h;
}

// ---- persistence ---------------------------------------------------------------------------------

void CElementArray::StoreElements(CXArchive& ar, int count) {
    if (count < 0 || count > m_nSize) XThrow<CXInvalidArgException>("CElementArray::StoreElements: bad count");
    if (count == 0) return;
    if (m_pMethods->IsObject()) {
        for (int i = 0; i < count; ++i) m_pMethods->SerializeElement(ar, Slot(i));
        return;
    }
    size_t bytes = size_t(count) * size_t(m_nElementSize);
    const uint8_t* p = m_pData;
    while (bytes > 0) {
        unsigned n = unsigned(std::min<size_t>(bytes, size_t(1) << 30));
        ar.Write(p, n);
        p += n;
        bytes -= n;
    }
}

void CElementArray::LoadElements(CXArchive& ar, int count) {
    if (count < 0) XThrow<CXArchiveException>(CXArchiveException::badIndex, "negative element count");
    RemoveAll();
    if (count == 0) return;
    if (!m_pMethods || m_nElementSize <= 0)
        XThrow<CXArchiveException>(CXArchiveException::badClass, "element array without element table");
    const size_t es = size_t(m_nElementSize);
    const bool perElement = m_pMethods->IsObject();
    // Plain elements have a known size in the data: check it is all there before allocating.
    if (!perElement) ar.EnsureAvailable(uint64_t(count) * es);
    const int step = int(std::max<size_t>(1, kLoadStepBytes / es));
    while (m_nSize < count) {
        int n = std::min(step, count - m_nSize);
        int target = m_nSize + n;
        if (target > m_nMaxSize) {
            // Geometric growth bounded by the announced count.
            int64_t want = std::max<int64_t>(target, int64_t(m_nMaxSize) * 2);
            int newMax = int(std::min<int64_t>(want, count));
            int oldMax = m_nMaxSize;
            Reallocate(newMax);
            if (m_bConstructAll) Construct(oldMax, newMax - oldMax);
        }
        int first = m_nSize;
        SetSize(target, true);
        if (perElement) {
            for (int i = first; i < target; ++i) m_pMethods->SerializeElement(ar, Slot(i));
        } else {
            ar.EnsureRead(Slot(first), unsigned(size_t(n) * es));
        }
    }
}

void CElementArray::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        if (!m_pMethods) XThrow<CXArchiveException>(CXArchiveException::nullClass, "element array without table");
        ar << int32_t(m_nSize) << int32_t(m_nGrowBy);
        ar.WriteClass(m_pMethods->GetRuntimeClassDescriptor());
        StoreElements(ar, m_nSize);
        return;
    }
    int32_t count = 0, grow = 0;
    ar >> count >> grow;
    if (count < 0) XThrow<CXArchiveException>(CXArchiveException::badIndex, "negative element count");
    const CXRuntimeClass* cls = ar.ReadClass(KX_RUNTIME_CLASS(CElementMethods));
    CXObject* object = cls ? cls->CreateObject() : nullptr;
    if (!object) XThrow<CXArchiveException>(CXArchiveException::badClass, "element table cannot be created");
    XHeld<CElementMethods> methods(static_cast<CElementMethods*>(object));
    RemoveAll();
    SetMethods(methods.get());
    methods.reset();  // the array holds the one reference it needs
    SetGrowFactor(CheckLoadedGrowFactor(grow));
    LoadElements(ar, count);
}

}  // namespace kestovar
