// CDataChunk: the per-element side arrays (data chunks) that a point or face list carries beside
// its main elements. Each chunk is a CElementArray under a 32-bit four-character identifier; all
// chunks share one element count, the data size, and grow, shrink, reorder and copy together.
#pragma once

#include <cstdint>

#include "kestovar/core/element_array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/object.h"

namespace kestovar {

class CXArchive;

// Options of a chunk (AddDataChunk). Only the low byte is stored with the chunk.
enum _DATACHUNK_OPTIONS : unsigned int {
    DATACHUNK_COPY = 0x1,        // copied into lists created from the owner (InitDataChunks)
    DATACHUNK_MAIN = 0x2,        // the main chunk (GetMainData)
    DATACHUNK_ALWAYS_NEW = 0x100,  // AddDataChunk always creates a fresh array
};

// One chunk: its array (owned by the set) and its stored options.
struct _DataChunkEntry {
    CElementArray* array;
    uint8_t options;
};

class KESTOVAR_API CDataChunk : public CXAllocated {
public:
    CDataChunk();
    ~CDataChunk();
    CDataChunk(const CDataChunk&) = delete;
    CDataChunk& operator=(const CDataChunk&) = delete;

    // Registers chunk `id` with the element table `methods` (a reference is taken) and returns
    // the number of chunks. When `id` exists, DATACHUNK_ALWAYS_NEW is not given and the existing
    // array's element type and size equal those of `methods`, only the table and the options are
    // updated (the elements stay). Otherwise any existing chunk is removed and a new array is
    // created, preallocated and sized to the data size. DATACHUNK_MAIN makes it the main chunk
    // (the previous main chunk, if another, loses that option).
    int AddDataChunk(uint32_t id, CElementMethods* methods, unsigned int options = DATACHUNK_COPY);

    // Element `index` of chunk `id`; null when the chunk is absent or the index is not below the
    // chunk's size.
    void* GetData(uint32_t id, int index) const;
    // The array of chunk `id`, or null.
    CElementArray* GetData(uint32_t id) const;
    // Element `index` of the main chunk, or null.
    void* GetMainData(int index) const { return m_pMainData ? m_pMainData->ElementAt(index) : nullptr; }
    CElementArray* GetMainArray() const { return m_pMainData; }
    // Identifier of the main chunk (0 when none).
    uint32_t GetMainID() const { return m_mainId; }
    bool HasDataChunk(uint32_t id) const { return m_chunks.IsFound(id); }
    // Deletes chunk `id`; false when absent.
    bool RemoveDataChunk(uint32_t id);
    int GetChunksNbr() const { return m_chunks.GetCount(); }
    // Stored options of chunk `id` (0 when absent).
    unsigned int GetChunkOptions(uint32_t id) const;

    // Iteration in slot order: GetFirstChunk, then GetNextChunk until it returns null. Each call
    // gives the chunk's array and writes its identifier (and stored options when asked).
    // Adding or removing chunks invalidates the position.
    CElementArray* GetFirstChunk(int& position, uint32_t& id, unsigned int* options = nullptr) const;
    CElementArray* GetNextChunk(int& position, uint32_t& id, unsigned int* options = nullptr) const;

    // Element size in bytes of chunk `id` (0 when absent).
    int GetSizeOfDataChunk(uint32_t id) const;
    // Element count shared by all chunks.
    int GetDataSize() const { return m_nDataSize; }
    int GetGrowFactor() const { return m_nGrowBy; }
    int GetPreAllocated() const { return m_nPreAllocated; }

    // Resizes every chunk (CElementArray::SetSize rules). A negative size raises
    // CXInvalidArgException.
    void SetDataSize(int size, bool keepMemory = false, int grow = -1);
    // Adds `count` elements to every chunk; returns the index of the first new one.
    int ExpandDataSize(int count = 1);
    // Empties every chunk into a buffer of `count` slots; later chunks are created with that
    // preallocation.
    void PreAllocate(int count);
    void FreeExtra();
    // 0 automatic, -2 double, n > 0 grow by n; applied to every chunk and to later ones.
    void SetGrowFactor(int grow);
    // Applies one permutation to every chunk (CElementArray::Reorder). False, with nothing
    // changed, when `count` differs from the data size or `order` is not a permutation.
    bool Reorder(const unsigned int* order, unsigned int count, bool inverse);

    // Copies element `src` onto element `dst` in every chunk.
    void CopyData(int dst, int src);
    // Copies `count` elements of `other` from `src` onto this set's elements from `dst`, in every
    // chunk present in both sets. Out-of-range elements are skipped. `other` may be this set; an
    // overlapping range is copied as through a temporary.
    void CopyData(int dst, const CDataChunk& other, int src, int count = 1);
    // Takes `other`'s data size and the content of every chunk present in both sets; chunks that
    // `other` lacks are refilled with new elements.
    void CopyData(const CDataChunk& other);
    // Replaces the chunks with empty ones shaped like `other`'s chunks whose options share a bit
    // with `optionsMask` (all of them for a mask of 0): same identifiers, tables and options. The
    // data size becomes 0 and the grow setting `other`'s.
    void InitDataChunks(const CDataChunk& other, unsigned int optionsMask);
    // Adds the copied chunks (DATACHUNK_COPY) of `other` that this set lacks, the main chunk
    // aside, with their tables and options, sized to this set's elements (the tables' defaults).
    void AddMissingChunks(const CDataChunk& other);
    // Appends `other`'s elements: the data size grows by other's data size, and every chunk
    // present in both sets receives other's elements (others get new elements). Returns the index
    // of the first appended element.
    int AppendDataChunks(const CDataChunk& other);
    // Empties every chunk (the chunks stay) and sets the data size to 0.
    void RemoveAll();
    // Deletes every chunk and sets the data size to 0.
    void DeleteAll();

    // Storing: u32 chunk count, u32 data size, u32 grow setting; then per chunk in slot order its
    // u32 identifier and u32 options, then u32 1 and the class of its element table (WriteClass),
    // followed by data-size elements (one by one for per-element tables, else raw bytes). A
    // table whose class cannot re-create it (no creation function, e.g. the base object class)
    // is written as u32 0 and its elements are not written; loading skips such a chunk.
    // Loading deletes all chunks, reads the header and re-creates each chunk through its class.
    void Serialize(CXArchive& ar);

private:
    CElementArray* CreateArray(CElementMethods* methods) const;
    void DropChunk(uint32_t id, _DataChunkEntry& entry);
    void SetMain(uint32_t id, _DataChunkEntry* entry);

    int m_nPreAllocated;
    int m_nDataSize;
    int m_nGrowBy;
    CHashMap<uint32_t, uint32_t, _DataChunkEntry> m_chunks;
    uint32_t m_mainId;
    CElementArray* m_pMainData;
};

}  // namespace kestovar
