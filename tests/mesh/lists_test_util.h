// Helpers of the point-list and face-list tests: archive round trips through memory, exception
// checks, and a straightforward Wang hash to check the list checksums against.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "test_util.h"

namespace kestovar::liststest {

using test::ArchiveCause;
using test::Bytes;
using test::Load;
using test::RaisesInvalidArg;
using test::Store;

// Thomas Wang's 32-bit hash written out step by step, independently of the library's copy.
inline uint32_t Wang(uint32_t k) {
    uint32_t a = k + ~(k << 15);
    uint32_t b = a ^ (a >> 10);
    uint32_t c = b + (b << 3);  // * 9
    uint32_t d = c ^ (c >> 6);
    uint32_t e = d + ~(d << 11);
    return e ^ (e >> 16);
}

inline uint32_t FloatBits(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}

}  // namespace kestovar::liststest
