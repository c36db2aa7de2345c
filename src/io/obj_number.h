// Fast number reading for the OBJ reader's hot lines. Each function gives exactly what its general
// counterpart in wavefront_text.h gives (same value, same bits, same end position) and falls back
// to it for every text outside its fast case.
#pragma once

#include <cstdint>
#include <limits>

#include "wavefront_text.h"

namespace kestovar {
namespace wavefront {

// ParseFloat. Fast case: "[+][-]digits[.digits]" with at least one integer digit, at least one
// fraction digit when there is a '.', no exponent, at most 19 digits in all, and an integer value
// m of the digits at most 2^24 with at most 10 fraction digits k. Then m and 10^k are both exact
// floats and one IEEE division gives m / 10^k correctly rounded, which is what the exact general
// conversion gives too (round to nearest, ties to even, for both). "%f" text of the coordinates of
// a mesh (6 fraction digits, magnitude below 16.777216) is always in the fast case.
inline const char* ParseFloatFast(const char* p, const char* end, float& value) {
    static constexpr float kPowers[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    p = SkipBlanks(p, end);
    const char* q = p;
    if (q < end && *q == '+') ++q;
    bool negative = false;
    if (q < end && *q == '-') {
        negative = true;
        ++q;
    }
    const char* digits = q;
    uint64_t m = 0;
    while (q < end && unsigned(*q - '0') <= 9u) m = m * 10 + unsigned(*q++ - '0');
    int count = int(q - digits);
    int fraction = 0;
    if (count > 0 && q < end && *q == '.') {
        const char* f = ++q;
        while (q < end && unsigned(*q - '0') <= 9u) m = m * 10 + unsigned(*q++ - '0');
        fraction = int(q - f);
        count += fraction;
        if (fraction == 0) count = 0;  // "5." goes the general way
    }
    // m may have wrapped beyond 19 digits: such text goes the general way before m is used.
    if (count == 0 || count > 19 || fraction > 10 || m > (uint64_t(1) << 24) ||
        (q < end && (*q == 'e' || *q == 'E')))
        return ParseFloat(p, end, value);
    float v = float(m);
    if (fraction) v /= kPowers[fraction];
    value = negative ? -v : v;
    return q;
}

// ParseInt, without its per-digit range clamp for the first ten significant digits (at most
// 9,999,999,999, which fits easily): a longer number is clamped as ParseInt clamps it.
inline const char* ParseIntFast(const char* p, const char* end, int& value) {
    p = SkipBlanks(p, end);
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    if (p >= end || unsigned(*p - '0') > 9u) return nullptr;
    while (p < end && *p == '0') ++p;  // leading zeros add nothing
    const char* first = p;
    int64_t magnitude = 0;
    while (p < end && unsigned(*p - '0') <= 9u && p - first < 10) magnitude = magnitude * 10 + (*p++ - '0');
    if (p < end && unsigned(*p - '0') <= 9u) {
        // Eleven significant digits or more: above every int, whatever follows.
        magnitude = int64_t(1) << 32;
        while (p < end && unsigned(*p - '0') <= 9u) ++p;
    }
    if (negative)
        value = magnitude > -int64_t(std::numeric_limits<int>::min()) ? std::numeric_limits<int>::min() : int(-magnitude);
    else
        value = magnitude > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(magnitude);
    return p;
}

}  // namespace wavefront
}  // namespace kestovar
