// Fast number reading for the OBJ reader's hot lines. Each function gives exactly what its general
// counterpart in wavefront_text.h gives (same value, same bits, same end position) and falls back
// to it for every text outside its fast case.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "wavefront_text.h"

namespace kestovar {
namespace wavefront {

// The run of digits at `p`, if it is at most 7 long: its length (0 for none) and value. 8 when
// it is 8 or longer (the value is then not set). Reads the 8 bytes at p, eight digits at a time.
inline unsigned ShortDigitRun(const char* p, uint32_t& value) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    // Bytes that are no digit: high nibble other than 3, or low nibble above 9 (adding 6 carries
    // into the high nibble). A carry out of a byte only starts at a byte that is no digit and only
    // reaches bytes after it, which do not count.
    const uint64_t high = (x & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull;
    const uint64_t low = ((x + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull;
    const uint64_t other = high | low;
    // Bit 7 of every byte of `other` that is not zero (no carry crosses a byte here).
    const uint64_t flags = (((other & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | other) & 0x8080808080808080ull;
    if (!flags) return 8;
    const unsigned count = unsigned(__builtin_ctzll(flags)) >> 3;  // first byte in memory is the lowest
    if (count == 0) return 0;
    // The digits' values moved to the top bytes behind zeros (leading zeros of an 8-digit number),
    // then combined pairwise: 8 x 1 digit -> 4 x 2 -> 2 x 4 -> 1 x 8. No borrow of the subtraction
    // reaches the digits: every byte before them is a digit too.
    uint64_t d = (x - 0x3030303030303030ull) << (8 * (8 - count));
    d = d * 10 + (d >> 8);
    d = (((d & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
         (((d >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >> 32;
    value = uint32_t(d);
    return count;
}

// Both readers below need what the OBJ line source guarantees for a line [p, end): *end is a
// blank ('\n' or '\r') and the 16 bytes from `end` on are readable. A run of digits then never
// passes `end`, and 8 bytes can be loaded at any position up to end + 8.

// ParseFloat. Fast case: "[+][-]digits[.digits]" with 1 to 7 integer digits, no fraction or 1 to 7
// fraction digits, no exponent, and an integer value m of the digits at most 2^24. With k fraction
// digits, m and 10^k are both exact floats and one IEEE division gives m / 10^k correctly rounded,
// which is what the exact general conversion gives too (round to nearest, ties to even, for both).
// "%f" text of the coordinates of a mesh (6 fraction digits, magnitude below 16.777216) is always
// in the fast case.
inline const char* ParseFloatFast(const char* p, const char* end, float& value) {
    static constexpr float kPowers[8] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
    static constexpr uint32_t kScale[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    p = SkipBlanks(p, end);
    const char* q = p;
    if (*q == '+') ++q;
    bool negative = false;
    if (*q == '-') {
        negative = true;
        ++q;
    }
    uint32_t integer = 0;
    unsigned digits = 1;
    if (unsigned(q[0] - '0') <= 9u && q[1] == '.') {
        integer = unsigned(q[0] - '0');  // "%f" of a coordinate below 10 in magnitude
    } else {
        digits = ShortDigitRun(q, integer);
        if (digits - 1u >= 7u) return ParseFloat(p, end, value);  // no digit, or 8 or more
    }
    q += digits;
    uint64_t m = integer;
    unsigned fraction = 0;
    if (*q == '.') {
        uint32_t part = 0;
        fraction = ShortDigitRun(q + 1, part);
        if (fraction - 1u >= 7u) return ParseFloat(p, end, value);  // "5." or 8 digits or more
        q += 1 + fraction;
        m = m * kScale[fraction] + part;
    }
    if (m > (uint64_t(1) << 24) || *q == 'e' || *q == 'E') return ParseFloat(p, end, value);
    float v = float(m);
    if (fraction) v /= kPowers[fraction];
    value = negative ? -v : v;
    return q;
}

// ParseInt: numbers of at most 7 digits eight digits at a time, longer ones with a plain loop
// clamped as ParseInt clamps them.
inline const char* ParseIntFast(const char* p, const char* end, int& value) {
    p = SkipBlanks(p, end);
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    uint32_t run = 0;
    const unsigned digits = ShortDigitRun(p, run);
    if (digits == 0) return nullptr;
    if (digits < 8) {
        value = negative ? -int(run) : int(run);
        return p + digits;
    }
    while (*p == '0') ++p;  // leading zeros add nothing
    const char* first = p;
    int64_t magnitude = 0;
    while (unsigned(*p - '0') <= 9u && p - first < 10) magnitude = magnitude * 10 + (*p++ - '0');
    if (unsigned(*p - '0') <= 9u) {
        // Eleven significant digits or more: above every int, whatever follows.
        magnitude = int64_t(1) << 32;
        while (unsigned(*p - '0') <= 9u) ++p;
    }
    if (negative)
        value = magnitude > -int64_t(std::numeric_limits<int>::min()) ? std::numeric_limits<int>::min() : int(-magnitude);
    else
        value = magnitude > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(magnitude);
    return p;
}

}  // namespace wavefront
}  // namespace kestovar
