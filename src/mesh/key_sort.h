// Stable least-significant-digit radix sort of 64-bit keys, for the builders that need a large
// key array in a fixed order (the face grid's (cell, face) pairs, the distinct edges of a mesh):
// linear time, no comparison, and the same result on every run.
#pragma once

#include <cstdint>
#include <cstring>

#include "kestovar/core/array.h"

namespace kestovar::detail {

// Sorts keys[0, n) by their bits [lowBit, highBit) in 16-bit digits, keeping the order of equal
// keys. `scratch` must hold n keys. Digits in which every key agrees cost one counting pass and
// no move.
inline void SortKeys64(uint64_t* keys, uint64_t* scratch, size_t n, unsigned lowBit, unsigned highBit) {
    if (n < 2 || lowBit >= highBit) return;
    CXArray<size_t> counts;
    counts.SetSize(65536);
    uint64_t* src = keys;
    uint64_t* dst = scratch;
    for (unsigned shift = lowBit; shift < highBit; shift += 16) {
        const unsigned width = highBit - shift < 16 ? highBit - shift : 16;
        const uint64_t mask = (uint64_t(1) << width) - 1;
        size_t* count = counts.GetData();
        std::memset(count, 0, sizeof(size_t) * 65536);
        for (size_t i = 0; i < n; ++i) ++count[(src[i] >> shift) & mask];
        if (count[(src[0] >> shift) & mask] == n) continue;  // all keys share this digit
        size_t sum = 0;
        for (size_t d = 0; d <= mask; ++d) {
            size_t c = count[d];
            count[d] = sum;
            sum += c;
        }
        for (size_t i = 0; i < n; ++i) dst[count[(src[i] >> shift) & mask]++] = src[i];
        uint64_t* t = src;
        src = dst;
        dst = t;
    }
    if (src != keys) std::memcpy(keys, src, n * sizeof(uint64_t));
}

}  // namespace kestovar::detail
