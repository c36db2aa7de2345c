// Record-level operations of the face lists on their CFaceCollection, in one place: resizing one
// record, resizing the collection under a buffer policy, reserving and packing.
#pragma once

#include <climits>
#include <cstdint>

#include "kestovar/mesh/face.h"

namespace kestovar {
namespace detail {

// Resizes record `index` to `count` values (new values 0); returns the record, which has moved to
// the end of the buffer when `count` exceeded its capacity. `allowCompact` lets the collection
// compact its slack first when the buffer is full.
inline CFaceCollection::Element* SetRecordSize(CFaceCollection& records, unsigned index, unsigned count,
                                               bool allowCompact) {
    (void)allowCompact;
    unsigned n;
    const int* values = records.Get(index, n);
    records.SetRecord(index, values, count);
    return records.GetElement(index);
}

// Bytes of the records packed in index order with capacity = count.
inline uint64_t PackedBytes(const CFaceCollection& records) {
    uint64_t bytes = 0;
    for (unsigned i = 0; i < records.GetSize(); ++i) bytes += CFaceCollection::RecordBytes(records.GetRecordSize(i));
    return bytes;
}

// Applies a SetSizeMode policy to the buffer after a change of the record count.
inline void PackRecords(CFaceCollection& records, int mode) {
    if (mode == 1) {
        records.Compact(true);
        return;
    }
    if (mode != 0) return;
    const uint64_t packed = PackedBytes(records);
    uint64_t slack = packed / 4;
    const uint64_t typical = uint64_t(records.GetTypicalLength()) * 4 + 4;
    if (slack < typical) slack = typical;
    if (records.GetAllocatedBytes() > packed + slack) records.Compact(true);
}

inline void ResizeRecords(CFaceCollection& records, unsigned count, int mode) {
    records.SetSize(count);
    PackRecords(records, mode);
}

inline void ReserveRecords(CFaceCollection& records, uint64_t bytes, unsigned count) {
    if (count == 0) return;
    uint64_t perRecord = (bytes / count + 3) / 4;
    records.PreAllocate(count, perRecord > 1 ? unsigned(perRecord - 1) : 1u);
}

inline void FreeExtraRecords(CFaceCollection& records) { records.Compact(true); }

}  // namespace detail
}  // namespace kestovar
