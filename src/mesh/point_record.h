// A point record's coordinates in one 16-byte load. A C3DTPoint<float> is 24 bytes: the table
// pointer, the flag word at 8 and x, y, z at 12. Its last 16 bytes, read from the flag word, are
// the four floats (flags, x, y, z): a load that stays inside the record. The flag lane is never
// to be used as a number (its bits as a float may be a denormal or a NaN).
#pragma once

#include "kestovar/core/point.h"

namespace kestovar::detail {

static_assert(sizeof(C3DTPoint<float>) == 24, "flag word at 8, coordinates at 12");

// The four floats (flags, x, y, z) of record p.
inline const float* PointRecordWords(const C3DTPoint<float>& p) { return &p.x - 1; }

}  // namespace kestovar::detail
