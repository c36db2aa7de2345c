// Variable-length records in one contiguous byte buffer: CSimpleCollection (the storage of every
// face's point indices), its record view CCollectionElement, and COffsetArray, the table of each
// record's byte offset.
#pragma once

#include <cassert>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "kestovar/core/array.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/export.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/object.h"

namespace kestovar {

class CXArchive;

// ---- COffsetArray ----------------------------------------------------------------------------------
//
// 64-bit byte offsets stored compactly: entries below the split index are 32 bits wide, entries from
// the split index on are 64 bits wide. Until an offset above 0xFFFFFFFF is stored the split index is
// kNoSplit and every entry is 32 bits. Storing such an offset at an index i below the split first
// calls SplitArray(i), which moves entries i and later into the 64-bit part, so the offsets of the
// first i records stay 32 bits wide. Offsets below 2^32 stored at or past the split stay 64 bits
// wide; nothing ever moves entries back, except shrinking to the split index or below, which
// returns to a single 32-bit part.
//
// Invariant: with a split, the 32-bit part holds exactly `split` entries and the 64-bit part
// size - split; without one, the 32-bit part holds all `size` entries.
class KESTOVAR_API COffsetArray : public CXAllocated {
public:
    static constexpr unsigned kNoSplit = 0xFFFFFFFFu;

    COffsetArray() = default;
    COffsetArray(const COffsetArray& other);
    COffsetArray(COffsetArray&& other) noexcept;
    COffsetArray& operator=(const COffsetArray& other);
    COffsetArray& operator=(COffsetArray&& other) noexcept;
    ~COffsetArray();

    unsigned GetSize() const { return m_nSize; }
    // The entries held without a reallocation (at most UINT_MAX).
    unsigned GetCapacity() const {
        if (m_nSplit == kNoSplit) return unsigned(m_offsets32.GetCapacity());
        const uint64_t room = uint64_t(m_nSplit) + m_nAlloc64;
        return room > UINT_MAX ? UINT_MAX : unsigned(room);
    }
    // The first 64-bit entry, or kNoSplit.
    unsigned GetSplitIndex() const { return m_nSplit; }
    // The 32-bit entries: the first GetSplitIndex() entries, or all of them without a split (for
    // loops over every entry that need no test per entry).
    const uint32_t* GetNarrowData() const { return m_offsets32.GetData(); }

    // The offset at `index`, 0 for an index not below the size.
    uint64_t GetAt(unsigned index) const { return index < m_nSize ? GetAtUnchecked(index) : 0; }
    uint64_t operator[](unsigned index) const { return GetAt(index); }
    // Index must be below the size.
    uint64_t GetAtUnchecked(unsigned index) const {
        assert(index < m_nSize);
        return index < m_nSplit ? uint64_t(m_offsets32.GetData()[index]) : m_pOffsets64[index - m_nSplit];
    }

    // Stores `offset` at `index` (below the size, else CXInvalidArgException).
    void SetAt(unsigned index, uint64_t offset);
    // Stores `offset` at `index`, growing the array to index + 1 entries (new entries 0) first.
    void SetAtGrow(unsigned index, uint64_t offset);
    // Appends `offset`; returns its index. The common case (no split, offset below 2^32) is inline.
    unsigned Add(uint64_t offset) {
        if (m_nSplit == kNoSplit && offset <= 0xFFFFFFFFu && m_nSize < unsigned(INT_MAX)) [[likely]] {
            m_offsets32.Add(uint32_t(offset));
            return m_nSize++;
        }
        unsigned index = m_nSize;
        SetAtGrow(index, offset);
        return index;
    }
    // Appends the `count` offsets first, first + step, first + 2 * step, ...: as many Add calls,
    // in one pass when they all fit 32 bits and the room of the 32-bit part (a loop of Add
    // rewrites the sizes after every offset, which the offset stores may alias).
    void AddRun(uint64_t first, uint64_t step, unsigned count) {
        if (count == 0) return;
        const uint64_t last = first + step * (count - 1);
        if (uint32_t* out = last <= 0xFFFFFFFFu ? GrowNarrowUnfilled(count) : nullptr) {
            uint32_t offset = uint32_t(first);
            for (unsigned i = 0; i < count; ++i, offset += uint32_t(step)) out[i] = offset;
            return;
        }
        for (unsigned i = 0; i < count; ++i) Add(first + step * i);
    }
    // The next `count` entries, unwritten, for a caller that writes each with an offset below
    // 2^32 before any other use: where the array has no 64-bit part and the 32-bit part has room
    // for them (then the size grows by count); null otherwise (nothing changes).
    uint32_t* GrowNarrowUnfilled(unsigned count) {
        if (m_nSplit != kNoSplit || count > unsigned(INT_MAX) - m_nSize ||
            count > unsigned(m_offsets32.GetCapacity()) - m_nSize)
            return nullptr;
        uint32_t* out = m_offsets32.GrowUnfilled(int(count));
        m_nSize += count;
        return out;
    }
    // Resizes to `size` entries; new entries are 0. `growBy` is the grow-by setting of the 32-bit
    // part (CXArray rule, -1 keeps it); the 64-bit part grows to max(needed, 2 * allocated, 16).
    void SetSize(unsigned size, int growBy = -1);
    // Makes room for `count` entries in the part that new entries go to.
    void PreAllocate(unsigned count);
    // Removes `count` entries from `index` (the range must lie inside the array).
    void RemoveAt(unsigned index, unsigned count = 1);
    // Removes every entry, releases both parts and forgets the split.
    void RemoveAll();
    void FreeExtra();
    // Moves entries from `index` on into the 64-bit part (nothing when index is at or past the
    // current split). Index must not exceed the size.
    void SplitArray(unsigned index);

    // The size (archive count encoding), the split index (u32), then the 32-bit entries (u32 each)
    // and the 64-bit entries (u64 each). Loading checks the split against the size
    // (CXArchiveException badIndex) and the data length before allocating.
    void Serialize(CXArchive& ar);

private:
    void Reserve64(unsigned count);

    unsigned m_nSize = 0;
    unsigned m_nSplit = kNoSplit;
    unsigned m_nAlloc64 = 0;
    CXArray<uint32_t> m_offsets32;
    uint64_t* m_pOffsets64 = nullptr;
};

// ---- records ---------------------------------------------------------------------------------------

// The view of one record in a CSimpleCollection: its header (count, capacity, both of type INDEX)
// overlaid on the buffer, followed by `capacity` values of type T. Values past the count are zero.
template <class T, class INDEX>
struct CCollectionElement {
    INDEX m_nCount;
    INDEX m_nCapacity;

    unsigned GetSize() const { return m_nCount; }
    unsigned GetCapacity() const { return m_nCapacity; }
    T* GetData() { return reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(this) + sizeof(*this)); }
    const T* GetData() const {
        return reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(this) + sizeof(*this));
    }
    T& operator[](unsigned i) {
        assert(i < m_nCapacity);
        return GetData()[i];
    }
    const T& operator[](unsigned i) const {
        assert(i < m_nCapacity);
        return GetData()[i];
    }
};

// The element operations of a collection's value type: construct (zero-fill) a run, destroy a
// run, copy a run (the runs may overlap). Values are plain data, so these are byte operations; the
// table lets code that handles collections generically work on values without knowing T.
struct CCollectionElementOps {
    void (*construct)(void* values, unsigned count);
    void (*destroy)(void* values, unsigned count);
    void (*copy)(void* to, const void* from, unsigned count);
};

template <class T>
const CCollectionElementOps* CollectionElementOps() {
    static const CCollectionElementOps ops = {
        [](void* values, unsigned count) { std::memset(values, 0, size_t(count) * sizeof(T)); },
        [](void*, unsigned) {},
        [](void* to, const void* from, unsigned count) { std::memmove(to, from, size_t(count) * sizeof(T)); },
    };
    return &ops;
}

// ---- CSimpleCollection -----------------------------------------------------------------------------
//
// Records of up to max(INDEX) values each, indexed 0 .. GetSize() - 1, packed in one byte buffer.
// A record is its count (INDEX), its capacity (INDEX), then `capacity` values of T, padded to the
// alignment of T and INDEX; with INDEX = unsigned short and T = int a triangle takes 2 + 2 + 3 * 4 =
// 16 bytes. The offset array gives each record's byte offset.
//
// Records are not kept in index order in the buffer. New records are written at the end of the
// used bytes. A record that outgrows its capacity is written anew at the end and its old bytes
// become slack; removed records become slack too. Compaction rewrites the records in index order
// without slack. Reorder() only permutes the offsets.
//
// Resizing record i to n values (SetRecordSize, and SetRecord / InsertValue for their new count):
//   n equal to the count: nothing; n below the count: the dropped values are cleared; n above the
//   count within the capacity: the new values are zero; n above the capacity: the record is
//   rewritten at the end of the buffer with capacity n (InsertValue: max(n, capacity * 3 / 2)),
//   its offset becomes the old used size and its old bytes become slack.
// Buffer growth, when the buffer lacks the bytes a record needs: a caller that allows it first has
// the slack compacted away, provided the slack alone makes room and holds at least a quarter of
// the used bytes (so that compaction pays for itself); if still short, the buffer is reallocated
// to needed + max(needed / 4, typical length * sizeof(T) + sizeof(header)) bytes, needed being the
// used size plus the record's bytes.
// Compaction (CompactTo, FreeExtra, the sizing policies) rewrites every record in index order with
// capacity = count into a fresh buffer of the requested size, and trims the offset array.
//
// Records added by SetSize have count 0 and the typical record length as capacity (3 for faces),
// so setting them to triangles later writes in place; the sizing policies keep that room.
//
// Pointers to records and values stay valid until the next call that adds, grows, compacts or
// reorders records.
template <class T, class INDEX>
class CSimpleCollection : public CXAllocated {
    static_assert(std::is_trivially_copyable_v<T>, "collection values are moved as bytes");
    static_assert(std::is_unsigned_v<INDEX> && sizeof(INDEX) <= 4, "record headers are u16 or u32");
    static_assert(alignof(T) <= 2 * sizeof(INDEX), "values must be aligned right after the header");

public:
    typedef CCollectionElement<T, INDEX> Element;
    static constexpr unsigned kMaxRecordLength = unsigned(std::numeric_limits<INDEX>::max());
    static constexpr size_t kAlign = alignof(T) > alignof(INDEX) ? alignof(T) : alignof(INDEX);

    // Buffer policies of SetSize / Pack after a change of the record count.
    enum SizeMode : int {
        // Compact when the buffer exceeds the packed size plus max(packed / 4, typical record
        // bytes); the buffer then holds exactly that.
        kCompactSlack = 0,
        // Compact to exactly the packed size.
        kCompactExact = 1,
        // Keep the buffer; dropped records stay where they are as slack.
        kKeepMemory = 2,
    };

    explicit CSimpleCollection(unsigned typicalLength = 3)
        : m_pOps(CollectionElementOps<T>()), m_nTypical(typicalLength) {}
    CSimpleCollection(const CSimpleCollection& other) : m_pOps(other.m_pOps) { CopyFrom(other); }
    CSimpleCollection& operator=(const CSimpleCollection& other) {
        if (this != &other) {
            RemoveAll();
            CopyFrom(other);
        }
        return *this;
    }
    ~CSimpleCollection() { xfree(m_pBuffer); }

    // Number of records.
    unsigned GetSize() const { return m_nCount; }
    unsigned GetTypicalLength() const { return m_nTypical; }
    void SetTypicalLength(unsigned length) { m_nTypical = length; }
    const CCollectionElementOps* GetElementOps() const { return m_pOps; }

    // Bytes written so far (live records plus slack), bytes allocated, and slack bytes.
    uint64_t GetUsedBytes() const { return m_nUsed; }
    uint64_t GetAllocatedBytes() const { return m_nAllocated; }
    uint64_t GetSlack() const { return m_nSlack; }
    // Total number of values over all records.
    uint64_t GetValueCount() const { return m_nValues; }
    // Bytes of a record of `capacity` values.
    static uint64_t RecordBytes(unsigned capacity) {
        uint64_t bytes = sizeof(Element) + uint64_t(capacity) * sizeof(T);
        return (bytes + kAlign - 1) & ~uint64_t(kAlign - 1);
    }
    // Bytes of all records rewritten with capacity = count (the size compaction leads to).
    uint64_t GetPackedBytes() const {
        if constexpr (sizeof(Element) % kAlign == 0 && sizeof(T) % kAlign == 0) {
            return uint64_t(m_nCount) * sizeof(Element) + m_nValues * sizeof(T);
        } else {
            uint64_t bytes = 0;
            for (unsigned i = 0; i < m_nCount; ++i) bytes += RecordBytes(GetElement(i)->m_nCount);
            return bytes;
        }
    }
    // Byte offset of record `index` in the buffer (0 for an index out of range).
    uint64_t GetOffset(unsigned index) const { return m_offsets.GetAt(index); }
    const COffsetArray& GetOffsets() const { return m_offsets; }
    // The byte buffer: record i starts GetOffset(i) bytes in (for loops over every record that
    // need no test per record). Valid until the next call that adds, grows or compacts records.
    const unsigned char* GetBuffer() const { return m_pBuffer; }

    // ---- records ----
    // Appends a record of `count` values copied from `values` (zeros when null) with room for
    // max(count, capacity) values; returns its index. `values` may point into this collection.
    // Throws CXInvalidArgException when a record would exceed kMaxRecordLength values.
    unsigned Add(const T* values, unsigned count, unsigned capacity = 0) {
        if (capacity < count) capacity = count;
        if (capacity > kMaxRecordLength) ThrowTooLong();
        uint64_t bytes = RecordBytes(capacity);
        if (m_nUsed + bytes > m_nAllocated) [[unlikely]]
            return AddGrow(values, count, capacity);
        Element* e = At(m_nUsed);
        e->m_nCount = INDEX(count);
        e->m_nCapacity = INDEX(capacity);
        T* out = e->GetData();
        if (values && count)
            std::memcpy(static_cast<void*>(out), values, size_t(count) * sizeof(T));
        else if (count)
            std::memset(static_cast<void*>(out), 0, size_t(count) * sizeof(T));
        // A short tail (the room a small record keeps) is cleared value by value, without a call.
        if (capacity - count <= 4) {
            for (unsigned i = count; i < capacity; ++i) std::memset(static_cast<void*>(out + i), 0, sizeof(T));
        } else {
            std::memset(static_cast<void*>(out + count), 0, size_t(capacity - count) * sizeof(T));
        }
        unsigned index = m_offsets.Add(m_nUsed);
        m_nUsed += bytes;
        m_nValues += count;
        ++m_nCount;
        return index;
    }
    // The record at `index`, or null for an index out of range.
    Element* GetElement(unsigned index) {
        return index < m_nCount ? At(m_offsets.GetAtUnchecked(index)) : nullptr;
    }
    const Element* GetElement(unsigned index) const {
        return index < m_nCount ? At(m_offsets.GetAtUnchecked(index)) : nullptr;
    }
    // The values of record `index` and their count; null (count 0) for an index out of range.
    const T* Get(unsigned index, unsigned& count) const {
        const Element* e = GetElement(index);
        count = e ? e->GetSize() : 0;
        return e ? e->GetData() : nullptr;
    }
    T* Get(unsigned index, unsigned& count) {
        Element* e = GetElement(index);
        count = e ? e->GetSize() : 0;
        return e ? e->GetData() : nullptr;
    }
    // Count of record `index` (0 for an index out of range).
    unsigned GetRecordSize(unsigned index) const {
        const Element* e = GetElement(index);
        return e ? e->GetSize() : 0;
    }

    // Resizes record `index` to `count` values, keeping the first ones (see the class comment);
    // returns the record, which may have moved. `allowCompact` lets the buffer be compacted when
    // it is full.
    Element* SetRecordSize(unsigned index, unsigned count, bool allowCompact = false);
    // Replaces the values of record `index` by `count` values from `values` (zeros when null). A
    // record too small is written anew at the end of the buffer with capacity `count`.
    void SetRecord(unsigned index, const T* values, unsigned count, bool allowCompact = false);
    // Inserts `value` at position `pos` (0 .. count) of record `index`.
    void InsertValue(unsigned index, unsigned pos, T value);
    // InsertValue at the end of record `index`, written in place when the record has room;
    // returns the new count.
    unsigned AppendValue(unsigned index, T value) {
        if (index < m_nCount) [[likely]] {
            Element* e = At(m_offsets.GetAtUnchecked(index));
            const unsigned count = e->m_nCount;
            if (count < e->m_nCapacity) [[likely]] {
                e->GetData()[count] = value;
                e->m_nCount = INDEX(count + 1);
                ++m_nValues;
                return count + 1;
            }
        }
        const unsigned count = GetRecordSize(index);
        InsertValue(index, count, value);
        return count + 1;
    }
    // Removes the value at `pos` (below the count) of record `index`.
    void RemoveValue(unsigned index, unsigned pos);
    // Removes record `index`; the records after it move down one index. Its bytes become slack.
    void RemoveRecord(unsigned index);
    // Exchanges the storage of records i and j (their offsets only; no value moves), so that an
    // editor can hand a record that outgrew its room the room of one that no longer needs it.
    void SwapRecords(unsigned i, unsigned j);
    // Resizes to `count` records. Removed records become slack; added ones are empty with the
    // typical record length as capacity. Then the buffer policy `mode` applies to the records
    // kept (the added ones keep their room).
    void SetSize(unsigned count, int mode = kKeepMemory);
    // Applies the buffer policy `mode` to all records.
    void Pack(int mode) { PackFrom(mode, m_nCount, 0); }
    // Makes room for `records` more records of `valuesPerRecord` values (the typical length when
    // 0) without a reallocation.
    void PreAllocate(unsigned records, unsigned valuesPerRecord = 0);
    // Makes room for `bytes` more bytes of records and `records` more offsets without a
    // reallocation.
    void Reserve(uint64_t bytes, unsigned records);
    // Appends one record per entry of counts[0 .. records), record i with count and capacity
    // counts[i], one after another in index order at the end of the used bytes; returns the index
    // of the first (the size when `records` is 0). A buffer short of room grows to exactly the
    // bytes needed, as Reserve does. The values are left unwritten: the caller writes every one
    // of them before any other use of the collection (a build that scatters values into records
    // it has sized beforehand). Throws CXInvalidArgException, adding nothing, for a count above
    // kMaxRecordLength.
    unsigned AddUnfilledRecords(const unsigned* counts, unsigned records) {
        uint64_t bytes = 0, values = 0;
        for (unsigned i = 0; i < records; ++i) {
            if (counts[i] > kMaxRecordLength) ThrowTooLong();
            bytes += RecordBytes(counts[i]);
            values += counts[i];
        }
        Reserve(bytes, records);
        const unsigned first = m_nCount;
        uint64_t used = m_nUsed;
        // Below 4 GB of records (always, in practice) the offsets are written through a pointer,
        // not added one by one.
        uint32_t* const narrow = m_nUsed + bytes <= 0xFFFFFFFFu ? m_offsets.GrowNarrowUnfilled(records) : nullptr;
        // The buffer in a local: through At, it was loaded again after every store (the stores
        // may alias the collection), a few per cent of the point-to-face graph on the bunny.
        unsigned char* const buffer = m_pBuffer;
        for (unsigned i = 0; i < records; ++i) {
            Element* e = reinterpret_cast<Element*>(buffer + used);
            e->m_nCount = INDEX(counts[i]);
            e->m_nCapacity = INDEX(counts[i]);
            if (narrow)
                narrow[i] = uint32_t(used);
            else
                m_offsets.Add(used);
            used += RecordBytes(counts[i]);
        }
        m_nUsed = used;
        m_nValues += values;
        m_nCount += records;
        return first;
    }
    // The bytes past the used ones, `free` of them. A loader may lay records out there, one after
    // another from the start, each RecordBytes(capacity) bytes with the values past its count
    // zero, and then make them records with CommitFreeRecords. Valid until the next call that
    // adds, grows or compacts records.
    unsigned char* GetFreeBytes(uint64_t& free) {
        free = m_nAllocated - m_nUsed;
        return m_pBuffer + m_nUsed;
    }
    // Makes the first `records` records laid out at GetFreeBytes, `step` bytes each and `values`
    // values in all, the next records in order: the records and offsets of the Add calls that
    // would have written the same bytes.
    void CommitFreeRecords(unsigned records, uint64_t step, uint64_t values) {
        assert(step * records <= m_nAllocated - m_nUsed);
        m_offsets.AddRun(m_nUsed, step, records);
        m_nUsed += step * records;
        m_nValues += values;
        m_nCount += records;
    }
    // Appends `records` records of `count` values each (capacity `count`), their values copied
    // from `values` (records x count values, one record after another), one after another at the
    // end of the used bytes; returns the index of the first (the size when `records` is 0). The
    // records and offsets are those of as many Add(values + i * count, count, count) calls; a
    // buffer short of room grows once by the growth rule. `values` must not point into this
    // collection. Throws CXInvalidArgException, adding nothing, for a count above
    // kMaxRecordLength.
    unsigned AddRecords(const T* values, unsigned count, unsigned records) {
        if (count > kMaxRecordLength) ThrowTooLong();
        const unsigned first = m_nCount;
        if (records == 0) return first;
        const uint64_t step = RecordBytes(count);
        const uint64_t bytes = step * records;
        if (m_nUsed + bytes > m_nAllocated) Grow(bytes, false);
        m_offsets.PreAllocate(m_nCount + records < m_nCount ? UINT_MAX : m_nCount + records);
        // The buffer is written through locals first: its bytes may alias any member.
        unsigned char* out = m_pBuffer + m_nUsed;
        const size_t valueBytes = size_t(count) * sizeof(T);
        for (unsigned i = 0; i < records; ++i, out += step, values += count) {
            Element* e = reinterpret_cast<Element*>(out);
            e->m_nCount = INDEX(count);
            e->m_nCapacity = INDEX(count);
            if (valueBytes) std::memcpy(static_cast<void*>(e->GetData()), values, valueBytes);
        }
        m_offsets.AddRun(m_nUsed, step, records);
        m_nUsed += bytes;
        m_nValues += uint64_t(count) * records;
        m_nCount += records;
        return first;
    }
    // Rewrites the records in index order into a buffer of exactly the live bytes; with
    // `trimCapacity` each record's capacity is also cut to its count.
    void Compact(bool trimCapacity = false);
    // Rewrites the records in index order with capacity = count into a fresh buffer of
    // `allocated` bytes (raised to the packed size when smaller).
    void CompactTo(uint64_t allocated);
    // Packs the records so that the used and the allocated bytes both equal the packed size.
    void FreeExtra() { CompactTo(GetPackedBytes()); }
    // Permutes the records: with inverse false record i becomes old record order[i]; with inverse
    // true old record i becomes record order[i]. `count` must equal the record count and `order`
    // must be a permutation, else CXInvalidArgException.
    void Reorder(const unsigned* order, unsigned count, bool inverse = false);
    // Removes every record and releases the buffer.
    void RemoveAll();

    // The record count (archive count encoding) and typical length (u32), then each record in
    // index order: its count (INDEX) and its values. Loading gives each record capacity = count;
    // memory grows with the data actually read, so forged counts end in endOfFile.
    template <class Archive>
    void Serialize(Archive& ar);

private:
    Element* At(uint64_t offset) { return reinterpret_cast<Element*>(m_pBuffer + offset); }
    const Element* At(uint64_t offset) const { return reinterpret_cast<const Element*>(m_pBuffer + offset); }
    [[noreturn]] static void ThrowTooLong() {
        XThrow<CXInvalidArgException>("CSimpleCollection: record longer than the header type allows");
    }
    [[noreturn]] static void ThrowBadIndex() {
        XThrow<CXInvalidArgException>("CSimpleCollection: record index out of range");
    }
    // Add when the buffer must grow first; `values` may point into the buffer.
    unsigned AddGrow(const T* values, unsigned count, unsigned capacity);
    // Makes room for `bytes` more bytes (see the class comment for the growth rule).
    void Grow(uint64_t bytes, bool allowCompact);
    // The reallocation size for `needed` bytes.
    uint64_t GrowthTarget(uint64_t needed) const {
        uint64_t step = needed / 4;
        uint64_t minimum = RecordBytes(m_nTypical > kMaxRecordLength ? kMaxRecordLength : m_nTypical);
        return needed + (step > minimum ? step : minimum);
    }
    void Reallocate(uint64_t allocated);
    bool PointsIntoBuffer(const T* p) const {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
        return p && m_pBuffer && b >= m_pBuffer && b < m_pBuffer + m_nAllocated;
    }
    // Replaces the buffer by one of `allocated` bytes holding the live records in index order;
    // records below `trimBelow` get capacity = count, the others keep theirs. The offset array is
    // rebuilt with room for `moreRecords` further records.
    void Rebuild(uint64_t allocated, unsigned trimBelow, unsigned moreRecords = 0);
    // Applies `mode` after the record count changed: records from `keepFrom` on keep their
    // capacity; `moreBytes` (of `moreRecords` records about to be appended) count as packed.
    // Returns true when the records were compacted.
    bool PackFrom(int mode, unsigned keepFrom, uint64_t moreBytes, unsigned moreRecords = 0);
    // Writes record `index` anew at the end with `capacity` values, keeping its values; returns
    // the new record. The old bytes become slack.
    Element* Relocate(unsigned index, unsigned capacity, bool allowCompact);
    void CopyFrom(const CSimpleCollection& other);

    const CCollectionElementOps* m_pOps;
    unsigned char* m_pBuffer = nullptr;
    unsigned m_nCount = 0;
    unsigned m_nTypical;
    uint64_t m_nUsed = 0;
    uint64_t m_nAllocated = 0;
    COffsetArray m_offsets;
    // Bytes of m_nUsed held by no live record, and the values over all records (both cached so
    // that growth and packing decide in constant time).
    uint64_t m_nSlack = 0;
    uint64_t m_nValues = 0;
};

// ---------------------------------------------------------------------------------------------

template <class T, class INDEX>
unsigned CSimpleCollection<T, INDEX>::AddGrow(const T* values, unsigned count, unsigned capacity) {
    CXArray<T> aside;
    if (count && PointsIntoBuffer(values)) {
        aside.SetSize(int(count));
        std::memcpy(static_cast<void*>(aside.GetData()), values, size_t(count) * sizeof(T));
        values = aside.GetData();
    }
    Grow(RecordBytes(capacity), false);
    return Add(values, count, capacity);
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::Reallocate(uint64_t allocated) {
    if (allocated > SIZE_MAX) XThrow<CXMemoryException>();
    void* p = xrealloc(m_pBuffer, size_t(allocated));
    if (!p && allocated) XThrow<CXMemoryException>();
    m_pBuffer = static_cast<unsigned char*>(p);
    m_nAllocated = allocated;
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::Grow(uint64_t bytes, bool allowCompact) {
    if (m_nUsed + bytes <= m_nAllocated) return;
    if (allowCompact && m_nSlack >= bytes && m_nSlack * 4 >= m_nUsed) {
        CompactTo(m_nAllocated);
        if (m_nUsed + bytes <= m_nAllocated) return;
    }
    Reallocate(GrowthTarget(m_nUsed + bytes));
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::Rebuild(uint64_t allocated, unsigned trimBelow, unsigned moreRecords) {
    if (allocated > SIZE_MAX) XThrow<CXMemoryException>();
    // The offsets first: once the buffer is allocated only a split of the offsets past 4 GB can
    // still fail, and then the buffer is freed.
    COffsetArray offsets;
    offsets.PreAllocate(m_nCount + moreRecords < m_nCount ? UINT_MAX : m_nCount + moreRecords);
    unsigned char* fresh = nullptr;
    if (allocated) {
        fresh = static_cast<unsigned char*>(xmalloc(size_t(allocated)));
        if (!fresh) XThrow<CXMemoryException>();
    }
    uint64_t used = 0;
    try {
        for (unsigned i = 0; i < m_nCount; ++i) {
            const Element* from = At(m_offsets.GetAtUnchecked(i));
            unsigned capacity = i < trimBelow ? from->m_nCount : from->m_nCapacity;
            uint64_t bytes = RecordBytes(capacity);
            assert(used + bytes <= allocated);
            Element* to = reinterpret_cast<Element*>(fresh + used);
            to->m_nCount = from->m_nCount;
            to->m_nCapacity = INDEX(capacity);
            std::memcpy(static_cast<void*>(to->GetData()), from->GetData(), size_t(capacity) * sizeof(T));
            // Entries pass 32 bits only in buffers above 4 GB; Add splits the offset array then.
            offsets.Add(used);
            used += bytes;
        }
    } catch (...) {
        xfree(fresh);
        throw;
    }
    xfree(m_pBuffer);
    m_pBuffer = fresh;
    m_nAllocated = allocated;
    m_nUsed = used;
    m_nSlack = 0;
    m_offsets = std::move(offsets);
}

template <class T, class INDEX>
typename CSimpleCollection<T, INDEX>::Element* CSimpleCollection<T, INDEX>::Relocate(unsigned index,
                                                                                     unsigned capacity,
                                                                                     bool allowCompact) {
    assert(capacity <= kMaxRecordLength);
    uint64_t bytes = RecordBytes(capacity);
    Grow(bytes, allowCompact);
    // Read the record after the growth: a compaction moves it (and trims its capacity).
    uint64_t oldOffset = m_offsets.GetAtUnchecked(index);
    const Element* from = At(oldOffset);
    unsigned count = from->m_nCount;
    uint64_t oldBytes = RecordBytes(from->m_nCapacity);
    Element* to = At(m_nUsed);
    to->m_nCount = INDEX(count);
    to->m_nCapacity = INDEX(capacity);
    std::memcpy(static_cast<void*>(to->GetData()), from->GetData(), size_t(count) * sizeof(T));
    std::memset(static_cast<void*>(to->GetData() + count), 0, size_t(capacity - count) * sizeof(T));
    m_offsets.SetAt(index, m_nUsed);
    m_nUsed += bytes;
    m_nSlack += oldBytes;
    return to;
}

template <class T, class INDEX>
typename CSimpleCollection<T, INDEX>::Element* CSimpleCollection<T, INDEX>::SetRecordSize(unsigned index,
                                                                                          unsigned count,
                                                                                          bool allowCompact) {
    if (index >= m_nCount) ThrowBadIndex();
    if (count > kMaxRecordLength) ThrowTooLong();
    Element* e = GetElement(index);
    const unsigned old = e->m_nCount;
    if (count == old) return e;
    if (count < old) {
        std::memset(static_cast<void*>(e->GetData() + count), 0, size_t(old - count) * sizeof(T));
    } else if (count > e->m_nCapacity) {
        // The new positions of the rewritten record are zero already.
        e = Relocate(index, count, allowCompact);
    }
    // Values past the count are kept zero, so growing within the capacity needs no clearing.
    e->m_nCount = INDEX(count);
    m_nValues = m_nValues + count - old;
    return e;
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::SetRecord(unsigned index, const T* values, unsigned count, bool allowCompact) {
    if (index >= m_nCount) ThrowBadIndex();
    if (count > kMaxRecordLength) ThrowTooLong();
    Element* e = GetElement(index);
    // New values that live in this buffer are copied aside before a relocation may move it; the
    // copy must outlive the write below.
    CXArray<T> aside;
    if (count > e->m_nCapacity) {
        if (PointsIntoBuffer(values)) {
            aside.SetSize(int(count));
            std::memcpy(static_cast<void*>(aside.GetData()), values, size_t(count) * sizeof(T));
            values = aside.GetData();
        }
        e = Relocate(index, count, allowCompact);
    }
    T* out = e->GetData();
    if (values && count)
        std::memmove(static_cast<void*>(out), values, size_t(count) * sizeof(T));
    else if (count)
        std::memset(static_cast<void*>(out), 0, size_t(count) * sizeof(T));
    unsigned capacity = e->m_nCapacity;
    if (capacity > count) std::memset(static_cast<void*>(out + count), 0, size_t(capacity - count) * sizeof(T));
    m_nValues = m_nValues + count - e->m_nCount;
    e->m_nCount = INDEX(count);
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::InsertValue(unsigned index, unsigned pos, T value) {
    if (index >= m_nCount) ThrowBadIndex();
    Element* e = GetElement(index);
    unsigned count = e->m_nCount;
    if (pos > count) XThrow<CXInvalidArgException>("CSimpleCollection::InsertValue: position out of range");
    if (count + 1 > e->m_nCapacity) {
        if (count + 1 > kMaxRecordLength) ThrowTooLong();
        uint64_t grown = uint64_t(e->m_nCapacity) * 3 / 2;
        if (grown < count + 1) grown = count + 1;
        if (grown > kMaxRecordLength) grown = kMaxRecordLength;
        // Records edited one value at a time (adjacency lists) let the slack be reclaimed.
        e = Relocate(index, unsigned(grown), true);
    }
    T* v = e->GetData();
    std::memmove(static_cast<void*>(v + pos + 1), v + pos, size_t(count - pos) * sizeof(T));
    v[pos] = value;
    e->m_nCount = INDEX(count + 1);
    ++m_nValues;
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::RemoveValue(unsigned index, unsigned pos) {
    if (index >= m_nCount) ThrowBadIndex();
    Element* e = GetElement(index);
    unsigned count = e->m_nCount;
    if (pos >= count) XThrow<CXInvalidArgException>("CSimpleCollection::RemoveValue: position out of range");
    T* v = e->GetData();
    std::memmove(static_cast<void*>(v + pos), v + pos + 1, size_t(count - pos - 1) * sizeof(T));
    std::memset(static_cast<void*>(v + count - 1), 0, sizeof(T));
    e->m_nCount = INDEX(count - 1);
    --m_nValues;
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::RemoveRecord(unsigned index) {
    if (index >= m_nCount) ThrowBadIndex();
    const Element* e = GetElement(index);
    m_nSlack += RecordBytes(e->m_nCapacity);
    m_nValues -= e->m_nCount;
    m_offsets.RemoveAt(index);
    --m_nCount;
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::SwapRecords(unsigned i, unsigned j) {
    if (i >= m_nCount || j >= m_nCount) ThrowBadIndex();
    const uint64_t a = m_offsets.GetAtUnchecked(i);
    const uint64_t b = m_offsets.GetAtUnchecked(j);
    m_offsets.SetAt(i, b);
    m_offsets.SetAt(j, a);
}

template <class T, class INDEX>
bool CSimpleCollection<T, INDEX>::PackFrom(int mode, unsigned keepFrom, uint64_t moreBytes, unsigned moreRecords) {
    if (mode != kCompactSlack && mode != kCompactExact) return false;
    // Packed size: records below keepFrom at capacity = count, the others at their capacity.
    uint64_t packed = moreBytes;
    if (keepFrom >= m_nCount) {
        packed += GetPackedBytes();
    } else {
        for (unsigned i = 0; i < m_nCount; ++i) {
            const Element* e = GetElement(i);
            packed += RecordBytes(i < keepFrom ? e->m_nCount : e->m_nCapacity);
        }
    }
    uint64_t target = packed;
    if (mode == kCompactSlack) {
        uint64_t slack = packed / 4;
        uint64_t minimum = RecordBytes(m_nTypical > kMaxRecordLength ? kMaxRecordLength : m_nTypical);
        target += slack > minimum ? slack : minimum;
    }
    // The buffer as it would be once the further records are appended.
    uint64_t usedAfter = m_nUsed + moreBytes;
    uint64_t allocatedAfter = usedAfter <= m_nAllocated ? m_nAllocated : GrowthTarget(usedAfter);
    bool compact = mode == kCompactExact ? !(usedAfter == packed && allocatedAfter == packed)
                                         : allocatedAfter > target;
    if (!compact) return false;
    Rebuild(target, keepFrom, moreRecords);
    return true;
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::SetSize(unsigned count, int mode) {
    if (count <= m_nCount) {
        for (unsigned i = count; i < m_nCount; ++i) {
            const Element* e = GetElement(i);
            m_nSlack += RecordBytes(e->m_nCapacity);
            m_nValues -= e->m_nCount;
        }
        m_offsets.SetSize(count);
        m_nCount = count;
        PackFrom(mode, count, 0);
        return;
    }
    const unsigned capacity = m_nTypical > kMaxRecordLength ? kMaxRecordLength : m_nTypical;
    const unsigned added = count - m_nCount;
    const uint64_t addedBytes = uint64_t(added) * RecordBytes(capacity);
    // The kept records are packed (when the policy says so) into a buffer that already has room
    // for the new ones; otherwise the buffer grows by the usual rule.
    if (!PackFrom(mode, m_nCount, addedBytes, added)) {
        if (m_nUsed + addedBytes > m_nAllocated) Reallocate(GrowthTarget(m_nUsed + addedBytes));
        // The offsets grow by a quarter too, so that adding a few records at a time to a large
        // collection stays linear; an empty one gets exactly its count.
        if (count > m_offsets.GetCapacity()) {
            // At most what the offsets' narrow part can hold, unless the count itself is more.
            uint64_t grown = uint64_t(m_nCount) + m_nCount / 4;
            if (grown > uint64_t(INT_MAX)) grown = uint64_t(INT_MAX);
            m_offsets.PreAllocate(grown > count ? unsigned(grown) : count);
        }
    }
    while (m_nCount < count) Add(nullptr, 0, capacity);
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::PreAllocate(unsigned records, unsigned valuesPerRecord) {
    if (valuesPerRecord == 0) valuesPerRecord = m_nTypical;
    if (valuesPerRecord > kMaxRecordLength) valuesPerRecord = kMaxRecordLength;
    Reserve(uint64_t(records) * RecordBytes(valuesPerRecord), records);
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::Reserve(uint64_t bytes, unsigned records) {
    uint64_t want = m_nUsed + bytes;
    if (want > m_nAllocated) Reallocate(want);
    m_offsets.PreAllocate(m_nCount + records < m_nCount ? UINT_MAX : m_nCount + records);
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::Compact(bool trimCapacity) {
    if (trimCapacity) {
        CompactTo(GetPackedBytes());
        return;
    }
    Rebuild(m_nUsed - m_nSlack, 0);
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::CompactTo(uint64_t allocated) {
    uint64_t packed = GetPackedBytes();
    Rebuild(allocated > packed ? allocated : packed, m_nCount);
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::Reorder(const unsigned* order, unsigned count, bool inverse) {
    if (count != m_nCount) XThrow<CXInvalidArgException>("CSimpleCollection::Reorder: count differs");
    if (count == 0) return;
    if (!order) XThrow<CXInvalidArgException>("CSimpleCollection::Reorder: no order");
    // Check that `order` is a permutation before touching anything.
    CXArray<uint8_t> seen;
    seen.SetSize(int(count));
    for (unsigned i = 0; i < count; ++i) {
        unsigned j = order[i];
        if (j >= count || seen[int(j)]) XThrow<CXInvalidArgException>("CSimpleCollection::Reorder: not a permutation");
        seen[int(j)] = 1;
    }
    COffsetArray offsets;
    offsets.SetSize(count);
    for (unsigned i = 0; i < count; ++i) {
        if (inverse)
            offsets.SetAt(order[i], m_offsets.GetAtUnchecked(i));
        else
            offsets.SetAt(i, m_offsets.GetAtUnchecked(order[i]));
    }
    m_offsets = std::move(offsets);
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::RemoveAll() {
    xfree(m_pBuffer);
    m_pBuffer = nullptr;
    m_nCount = 0;
    m_nUsed = m_nAllocated = m_nSlack = m_nValues = 0;
    m_offsets.RemoveAll();
}

template <class T, class INDEX>
void CSimpleCollection<T, INDEX>::CopyFrom(const CSimpleCollection& other) {
    m_nTypical = other.m_nTypical;
    if (other.m_nUsed) {
        m_pBuffer = static_cast<unsigned char*>(xmalloc(size_t(other.m_nUsed)));
        if (!m_pBuffer) XThrow<CXMemoryException>();
        std::memcpy(m_pBuffer, other.m_pBuffer, size_t(other.m_nUsed));
    }
    m_nAllocated = m_nUsed = other.m_nUsed;
    m_nSlack = other.m_nSlack;
    m_nValues = other.m_nValues;
    m_offsets = other.m_offsets;
    m_nCount = other.m_nCount;
}

template <class T, class INDEX>
template <class Archive>
void CSimpleCollection<T, INDEX>::Serialize(Archive& ar) {
    if (ar.IsStoring()) {
        ar.WriteCount(uint64_t(m_nCount));
        ar << uint32_t(m_nTypical);
        for (unsigned i = 0; i < m_nCount; ++i) {
            const Element* e = GetElement(i);
            ar << e->m_nCount;
            detail::StoreElements(ar, e->GetData(), e->m_nCount);
        }
        return;
    }
    uint64_t n = ar.ReadCount();
    if (n > UINT_MAX) XThrow<CXArchiveException>(CXArchiveException::badIndex, "record count out of range");
    uint32_t typical = 0;
    ar >> typical;
    RemoveAll();
    m_nTypical = typical;
    CXArray<T> values;
    for (uint64_t i = 0; i < n; ++i) {
        INDEX count = 0;
        ar >> count;
        // Long records are read in steps into a side array, so that a forged count costs memory
        // only for the values actually present.
        values.SetSize(0);
        for (unsigned done = 0; done < count;) {
            unsigned step = count - done < unsigned(detail::kLoadStep) ? count - done : unsigned(detail::kLoadStep);
            values.SetSize(int(done + step));
            detail::LoadElements(ar, values.GetData() + done, step);
            done += step;
        }
        Add(values.GetData(), count);
    }
}

}  // namespace kestovar
