// The OBJ reader's fast number reading against the general conversions it stands in for: the same
// bits and the same end position for every text, in and out of the fast case, with the bytes after
// a line's end looking like more digits.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../../src/io/obj_number.h"

namespace kestovar::wavefront {
namespace {

uint32_t Bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// `text` as the OBJ line source hands out a line: a '\n' or '\r' at its end, then readable bytes,
// here digits and dots that a reader looking past the end would take for more of the number.
std::string AsLine(const std::string& text, char terminator) {
    return text + terminator + "1234567.890123456";
}

// Both float readers on `text`.
void ExpectSameFloat(const std::string& text) {
    const std::string line = AsLine(text, text.size() % 2 ? '\n' : '\r');
    const char* b = line.data();
    const char* e = b + text.size();
    float general = 12345.0f, fast = 12345.0f;
    const char* g = ParseFloat(b, e, general);
    const char* f = ParseFloatFast(b, e, fast);
    ASSERT_EQ(g, f) << '"' << text << '"';
    if (g) {
        ASSERT_EQ(Bits(general), Bits(fast)) << '"' << text << '"';
    }
}

void ExpectSameInt(const std::string& text) {
    const std::string line = AsLine(text, '\n');
    const char* b = line.data();
    const char* e = b + text.size();
    int general = 7, fast = 7;
    const char* g = ParseInt(b, e, general);
    const char* f = ParseIntFast(b, e, fast);
    ASSERT_EQ(g, f) << '"' << text << '"';
    if (g) {
        ASSERT_EQ(general, fast) << '"' << text << '"';
    }
}

TEST(ObjNumbers, FloatsAtTheEdgesOfTheFastCase) {
    const char* texts[] = {
        "0", "-0", "+0", "-0.000000", "0.000000", "1", "+1.5", "+-1.5", "-+1.5", "--1", "++1", "-", "+", "",
        "   \t 0.25", ".5", "-.5", "5.", "-5.", "5.e3", "1.5e", "1.5e3", "1.5E-3", "2e+1", "1.5.3", "1..5",
        "16777216", "16777217", "16777218", "1677721.6", "1677721.7", "0.16777217", "0.16777216",
        "0.0000000001", "0.00000000001", "0.1234567891", "9999999999", "1234567890123456789",
        "12345678901234567890", "00000000000000000001.5", "0.10000000000000000000000", "inf", "-inf",
        "nan", "infinity", "1e39", "-1e39", "1e-50", "3.4028235e38", "0x1p3", "1,5", "1/2", "7 8",
        "0.5#", "1234567.1234567", "1234567.12345678", "12345678.5", "9999999.9999999", "0.0000001",
        "00000001.5", "-0000000.5", "1e", "1E+", "0.", "-0.", "340282356779733661637539395458142568448", "1.0000000596046447753906250",
        "1.00000005960464477539062501", "0.3", "0.1", "0.7", "-2.675", "123456.7", "16777215.5",
    };
    for (const char* t : texts) ExpectSameFloat(t);
}

// Random decimals of every shape around the fast case: digit counts on both sides of the limits,
// signs, leading zeros, exponents and what follows the number.
TEST(ObjNumbers, RandomFloatsMatchTheGeneralConversion) {
    std::mt19937_64 random(20261206);
    auto digits = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += char('0' + random() % 10);
        return s;
    };
    const char* tails[] = {"", " ", "\n", "e", "e5", "E-7", ".", "/", "x", "0"};
    for (int i = 0; i < 200000; ++i) {
        std::string s;
        const unsigned shape = unsigned(random());
        if (shape & 1) s += '+';
        if (shape & 2) s += '-';
        s += digits(int(random() % 12));
        if (shape & 4) s += "." + digits(int(random() % 13));
        if ((shape & 0x70) == 0) s += tails[random() % 10];
        ExpectSameFloat(s);
    }
    // Every "%f" text of a coordinate in [-17, 17] on a coarse grid of mantissas.
    char text[64];
    for (int m = -17000000; m <= 17000000; m += 997) {
        std::snprintf(text, sizeof text, "%d.%06d", m / 1000000, std::abs(m % 1000000));
        if (m < 0 && m > -1000000) std::snprintf(text, sizeof text, "-0.%06d", -m);
        ExpectSameFloat(text);
    }
}

TEST(ObjNumbers, IntsIncludingClampedAndZeroPaddedOnes) {
    const char* texts[] = {
        "0", "-0", "+7", "-7", "12", "2147483647", "2147483648", "-2147483648", "-2147483649", "4294967296",
        "4294967297", "9999999", "10000000", "99999999", "0000000", "00000000", "0000000012", "9999999999", "10000000000", "-10000000000", "99999999999999999999999",
        "00000000000000000000001", "-000000000002147483648", "0000000000002147483648", "12/3", "5//6",
        "", "-", "+", "x", " \t 42", "--1", "+-1", "7 8",
    };
    for (const char* t : texts) ExpectSameInt(t);
    std::mt19937_64 random(7);
    for (int i = 0; i < 100000; ++i) {
        std::string s = (random() & 1) ? "-" : "";
        const int zeros = int(random() % 4), n = int(random() % 14);
        s += std::string(size_t(zeros), '0');
        for (int k = 0; k < n; ++k) s += char('0' + random() % 10);
        ExpectSameInt(s);
    }
}

}  // namespace
}  // namespace kestovar::wavefront
