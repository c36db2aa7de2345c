// Room for lists filled by many small appends. Point lists and data chunks grow by their own
// rule, at most 1024 elements a step, so filling a large list piece by piece would copy it over
// and over; callers that append in a loop make room by doubling first, which copies each element
// a bounded number of times. The elements past the count are not kept (the count is restored),
// only the room.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>

#include "kestovar/mesh/point_list.h"

namespace kestovar::detail {

// The room a list of `allocated` elements grows to when it must hold `needed`: at least double.
inline int DoubledRoom(int64_t needed, int allocated) {
    return int(std::min<int64_t>(std::max<int64_t>(needed, 2 * int64_t(allocated)), INT_MAX));
}

// Makes room in `list` for `needed` elements, at least doubling it when it must grow. An empty
// list is left to its own rule, so that a list filled in one step gets exactly its size.
inline void MakeRoomByDoubling(CPointList& list, int needed) {
    const int allocated = list.GetAllocatedSize();
    const int size = list.GetSize();
    if (needed <= allocated || size == 0) return;
    list.SetSize(DoubledRoom(needed, allocated));
    list.SetSize(size);  // shrinking keeps the room
}

}  // namespace kestovar::detail
