// Strings: the capacity rule, editing edge cases, formatting, comparison, the UTF transcoders on
// malformed input, and the string utilities.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kestovar/core/xstring.h"
#include "memory_hook.h"
#include "test_util.h"

using namespace kestovar;
using kestovar::test::Raises;
using kestovar::test::RaisesInvalidArg;

namespace {

std::u16string U16(const CXConvertedText<char16_t>& t) { return std::u16string(t.GetString(), size_t(t.GetLength())); }
std::wstring W(const CXStringW& s) { return std::wstring(s.GetString(), size_t(s.GetLength())); }
std::string A(const CXStringA& s) { return std::string(s.GetString(), size_t(s.GetLength())); }
std::wstring DecodeUTF8(const std::string& bytes) {
    XCA2W w(bytes.data(), int(bytes.size()));
    return std::wstring(w.GetString(), size_t(w.GetLength()));
}

}  // namespace

// ---- capacity -------------------------------------------------------------------------------

TEST(XStringCapacity, AppendingOneCharacterAtATimeFollowsTheGrowthRule) {
    // 2n+1 for the length n that overflowed, raised to 16 (below 16) or 64 (from 16 to 63).
    CXStringW s;
    EXPECT_EQ(s.GetAllocLength(), 0);
    for (int n = 1; n <= 600; ++n) {
        s += L'x';
        int expected = n <= 15 ? 16 : n <= 63 ? 64 : n <= 128 ? 129 : n <= 258 ? 259 : n <= 518 ? 519 : 1039;
        ASSERT_EQ(s.GetAllocLength(), expected) << "length " << n;
    }
}

TEST(XStringCapacity, EmptyConstructionTakesNoBuffer) {
    EXPECT_EQ(CXStringW(L"").GetAllocLength(), 0);
    EXPECT_EQ(CXStringW("").GetAllocLength(), 0);
    EXPECT_EQ(CXStringW(L'z', 0).GetAllocLength(), 0);
}

TEST(XStringCapacity, EmptyStringHasAValidTextWithoutABuffer) {
    CXStringW s;
    ASSERT_NE(s.GetString(), nullptr);
    EXPECT_EQ(s.GetString()[0], L'\0');
    CXStringW moved(L"abc");
    CXStringW target(std::move(moved));
    EXPECT_EQ(moved.GetAllocLength(), 0);  // NOLINT(bugprone-use-after-move): the moved-from state is defined
    EXPECT_STREQ(moved.GetString(), L"");
    EXPECT_EQ(W(target), L"abc");
}

TEST(XStringCapacity, ShorteningKeepsTheBufferAndGrowthReallocates) {
    kestovar::test::RecordingHook hook;
    CXStringA s;
    for (int i = 0; i < 64; ++i) s += 'a';  // one malloc (16), reallocs at 16 and 64
    EXPECT_EQ(hook.Count('a', XMEM_MALLOC), 1);
    EXPECT_EQ(hook.Count('r'), 2);
    int capacity = s.GetAllocLength();
    s.Empty();
    EXPECT_EQ(s.GetAllocLength(), capacity);
    s = "short";
    s.Delete(0, 2);
    EXPECT_EQ(s.GetAllocLength(), capacity);
    EXPECT_EQ(hook.Count('r'), 2);
}

TEST(XStringCapacity, GetBufferPreallocateAndReleaseBuffer) {
    CXStringA s;
    char* p = s.GetBuffer(10);  // 21 -> 64
    EXPECT_EQ(s.GetAllocLength(), 64);
    std::strcpy(p, "hello");
    s.ReleaseBuffer();
    EXPECT_EQ(A(s), "hello");
    s.GetBuffer(0)[2] = 'L';
    s.ReleaseBuffer(3);
    EXPECT_EQ(A(s), "heL");
    // No terminator anywhere in the buffer: the length stops at the capacity less one.
    std::memset(s.GetBuffer(), 'q', size_t(s.GetAllocLength()));
    s.ReleaseBuffer();
    EXPECT_EQ(s.GetLength(), 63);
    EXPECT_EQ(s.GetString()[63], '\0');
    EXPECT_TRUE(RaisesInvalidArg([&] { s.ReleaseBuffer(64); }));
    EXPECT_TRUE(RaisesInvalidArg([&] { s.GetBuffer(-1); }));

    CXStringW w(L"keep");
    w.Preallocate(100);
    EXPECT_EQ(w.GetAllocLength(), 201);
    EXPECT_EQ(W(w), L"keep");
    CXStringW none;
    EXPECT_TRUE(RaisesInvalidArg([&] { none.ReleaseBuffer(1); }));
}

// ---- construction and access ------------------------------------------------------------------

TEST(XStringBasics, ConstructorsConvertBetweenUTF8AndWide) {
    EXPECT_EQ(W(CXStringW("h\xC3\xA9llo")), L"h\u00E9llo");
    EXPECT_EQ(W(CXStringW("h\xC3\xA9llo", 3)), L"h\u00E9");  // length in bytes
    EXPECT_EQ(A(CXStringA(L"h\u00E9\U0001F600")), "h\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(A(CXStringA(L"abc", 2)), "ab");
    EXPECT_EQ(W(CXStringW(L'-', 3)), L"---");
    // An explicit length keeps embedded zeros.
    CXStringW z(L"a\0b", 3);
    EXPECT_EQ(z.GetLength(), 3);
    EXPECT_EQ(z[2], L'b');
    CXStringW nul(static_cast<const wchar_t*>(nullptr));
    EXPECT_TRUE(nul.IsEmpty());
    EXPECT_TRUE(RaisesInvalidArg([] { CXStringW bad(L"abc", -2); }));
    EXPECT_TRUE(RaisesInvalidArg([] { CXStringW bad(static_cast<const wchar_t*>(nullptr), 3); }));
    EXPECT_TRUE(RaisesInvalidArg([] { CXStringA bad('x', -1); }));
}

TEST(XStringBasics, IndexedAccessIsChecked) {
    CXStringW s(L"abc");
    EXPECT_EQ(s.GetAt(0), L'a');
    s.SetAt(2, L'Z');
    EXPECT_EQ(W(s), L"abZ");
    EXPECT_TRUE(RaisesInvalidArg([&] { s.GetAt(3); }));
    EXPECT_TRUE(RaisesInvalidArg([&] { (void)s[-1]; }));
    EXPECT_TRUE(RaisesInvalidArg([&] { s.SetAt(3, L'x'); }));
}

TEST(XStringBasics, CopyAndAssignmentFromOwnContent) {
    CXStringW s(L"0123456789");
    CXStringW& alias = s;
    s = alias;
    EXPECT_EQ(W(s), L"0123456789");
    s.SetString(s.GetString() + 4, 3);  // source inside the destination
    EXPECT_EQ(W(s), L"456");
    s.Append(s.GetString(), 2);
    EXPECT_EQ(W(s), L"45645");
    s += s;
    EXPECT_EQ(W(s), L"4564545645");
    s = "narrow \xE2\x82\xAC";
    EXPECT_EQ(W(s), L"narrow \u20AC");
}

// ---- comparison and concatenation -----------------------------------------------------------

TEST(XStringCompare, AllOperatorFormsAgree) {
    // The forms with the text on the left turn the comparison round.
    CXStringW abc(L"abc"), abd(L"abd"), ab(L"ab");
    EXPECT_TRUE(abc == CXStringW(L"abc"));
    EXPECT_TRUE(L"abc" == abc);
    EXPECT_TRUE(L"abd" != abc);
    EXPECT_TRUE(L"abc" < abd);
    EXPECT_TRUE(ab < abc);  // a prefix sorts first
    EXPECT_TRUE(L"abd" > abc);
    EXPECT_TRUE(L"abc" <= abc);
    EXPECT_TRUE(L"abd" >= abc);
    EXPECT_FALSE(abc == ab);
    // Strings with an embedded zero differ from their prefix.
    EXPECT_FALSE(CXStringW(L"ab\0", 3) == ab);
}

TEST(XStringCompare, OrderIsByUnsignedCodeUnitAndNoCaseFoldsAccents) {
    EXPECT_GT(CXStringA("\xC3\xA9").Compare("z"), 0);  // bytes compare unsigned
    EXPECT_GT(CXStringW(L"\U0001F600").Compare(L"\uFFFF"), 0);
    EXPECT_EQ(CXStringW(L"\u00C9COLE \u0104 \u03A3 \u042F").CompareNoCase(L"\u00E9cole \u0105 \u03C3 \u044F"), 0);
    EXPECT_LT(CXStringW(L"apple").CompareNoCase(L"BANANA"), 0);
    EXPECT_GT(CXStringA("apple").Compare("BANANA"), 0);  // 'a' > 'B' ordinally
}

TEST(XStringConcat, EveryCombination) {
    CXStringW a(L"ab"), b(L"cd");
    EXPECT_EQ(W(a + b), L"abcd");
    EXPECT_EQ(W(a + L"xy"), L"abxy");
    EXPECT_EQ(W(L"xy" + a), L"xyab");
    EXPECT_EQ(W(a + L'!'), L"ab!");
    EXPECT_EQ(W(L'!' + a), L"!ab");
    EXPECT_EQ(W(a + b + L"-" + a), L"abcd-ab");
    CXStringA n("x");
    EXPECT_EQ(A(n + "y" + 'z'), "xyz");
    EXPECT_EQ(A('w' + n), "wx");
    // The result takes its capacity from the rule for its own length.
    EXPECT_EQ((CXStringA(std::string(10, 'a').c_str()) + std::string(10, 'b').c_str()).GetAllocLength(), 64);
}

// ---- editing ----------------------------------------------------------------------------------

TEST(XStringEdit, DeleteClampsPastTheEndAndRejectsNegatives) {
    CXStringW s(L"abcdef");
    EXPECT_EQ(s.Delete(6, 1), 6);  // index at the end: nothing
    EXPECT_EQ(s.Delete(100, 3), 6);
    EXPECT_EQ(s.Delete(2, 0), 6);
    EXPECT_EQ(s.Delete(1), 5);
    EXPECT_EQ(W(s), L"acdef");
    EXPECT_EQ(s.Delete(3, 1000), 3);  // count past the end removes the tail
    EXPECT_EQ(W(s), L"acd");
    EXPECT_EQ(s.GetString()[3], L'\0');
    EXPECT_TRUE(RaisesInvalidArg([&] { s.Delete(-1, 1); }));
    EXPECT_TRUE(RaisesInvalidArg([&] { s.Delete(0, -1); }));
    CXStringW empty;
    EXPECT_EQ(empty.Delete(0, 5), 0);
    EXPECT_EQ(empty.GetAllocLength(), 0);
}

TEST(XStringEdit, InsertAtEveryPosition) {
    CXStringW s(L"ace");
    EXPECT_EQ(s.Insert(1, L'b'), 4);
    EXPECT_EQ(s.Insert(3, L"d"), 5);
    EXPECT_EQ(s.Insert(0, L">"), 6);
    EXPECT_EQ(s.Insert(99, L"<"), 7);  // past the end appends
    EXPECT_EQ(W(s), L">abcde<");
    s.Insert(1, s.GetString() + 1);  // source inside the string, moved by the insertion
    EXPECT_EQ(W(s), L">abcde<abcde<");
    EXPECT_TRUE(RaisesInvalidArg([&] { s.Insert(-1, L'x'); }));
}

TEST(XStringEdit, ReplaceGrowsShrinksAndHandlesOverlaps) {
    CXStringW s(L"a.b.c");
    EXPECT_EQ(s.Replace(L".", L"::="), 2);
    EXPECT_EQ(W(s), L"a::=b::=c");
    EXPECT_EQ(s.Replace(L"::=", L"/"), 2);
    EXPECT_EQ(W(s), L"a/b/c");
    EXPECT_EQ(s.Replace(L"/", nullptr), 2);
    EXPECT_EQ(W(s), L"abc");
    EXPECT_EQ(s.Replace(L"zz", L"y"), 0);
    EXPECT_EQ(s.Replace(L"", L"y"), 0);
    CXStringW aaa(L"aaaaa");
    EXPECT_EQ(aaa.Replace(L"aa", L"b"), 2);  // non-overlapping, from the start
    EXPECT_EQ(W(aaa), L"bba");
    CXStringW self(L"xyxy");
    EXPECT_EQ(self.Replace(self.GetString() + 2, L"Q"), 2);  // pattern "xy" taken from the string
    EXPECT_EQ(W(self), L"QQ");
    CXStringW mirror(L"ab-");
    EXPECT_EQ(mirror.Replace(L"-", mirror.GetString()), 1);  // replacement taken from the string
    EXPECT_EQ(W(mirror), L"abab-");
    CXStringW grow(L"abcabc");
    EXPECT_EQ(grow.Replace(L"b", L"0123456789"), 2);
    EXPECT_EQ(W(grow), L"a0123456789ca0123456789c");
    EXPECT_EQ(grow.GetAllocLength(), 64);  // grew from 16 by the rule for length 24
    EXPECT_EQ(grow.Replace(L'c', L'C'), 2);
    EXPECT_EQ(grow.Remove(L'C'), 2);
    EXPECT_EQ(W(grow), L"a0123456789a0123456789");
}

TEST(XStringEdit, MidLeftRightClampCounts) {
    CXStringW s(L"abcdef");
    EXPECT_EQ(W(s.Mid(2)), L"cdef");
    EXPECT_EQ(W(s.Mid(2, 2)), L"cd");
    EXPECT_EQ(W(s.Mid(4, 100)), L"ef");
    EXPECT_EQ(W(s.Mid(6)), L"");
    EXPECT_EQ(W(s.Left(2)), L"ab");
    EXPECT_EQ(W(s.Left(99)), L"abcdef");
    EXPECT_EQ(W(s.Right(2)), L"ef");
    EXPECT_EQ(W(s.Right(99)), L"abcdef");
    EXPECT_TRUE(RaisesInvalidArg([&] { s.Mid(-1); }));
    EXPECT_TRUE(RaisesInvalidArg([&] { s.Left(-1); }));
    EXPECT_TRUE(RaisesInvalidArg([&] { s.Right(-1); }));
}

TEST(XStringEdit, CaseAndTrim) {
    CXStringW w(L"stra\u00DFe \u0105\u010D\u03C3\u03C2\u044F\u00FF");
    w.MakeUpper();
    EXPECT_EQ(W(w), L"STRA\u00DFE \u0104\u010C\u03A3\u03A3\u042F\u0178");  // sharp s has no single capital
    w.MakeLower();
    EXPECT_EQ(W(w), L"stra\u00DFe \u0105\u010D\u03C3\u03C3\u044F\u00FF");
    CXStringA a("caf\xC3\xA9");
    a.MakeUpper();
    EXPECT_EQ(A(a), "CAF\xC3\xA9");  // UTF-8 bytes left alone

    CXStringW t(L" \t\r\n text \v\f");
    t.Trim();
    EXPECT_EQ(W(t), L"text");
    CXStringW x(L"xxaxx");
    x.TrimLeft(L'x');
    EXPECT_EQ(W(x), L"axx");
    x.TrimRight(L"xy");
    EXPECT_EQ(W(x), L"a");
    CXStringW all(L"   ");
    all.TrimRight();
    EXPECT_TRUE(all.IsEmpty());
}

// ---- search -------------------------------------------------------------------------------------

TEST(XStringFind, CharactersSubstringsAndStartIndices) {
    CXStringW s(L"abcabc");
    EXPECT_EQ(s.Find(L'b'), 1);
    EXPECT_EQ(s.Find(L'b', 2), 4);
    EXPECT_EQ(s.Find(L'b', 5), -1);
    EXPECT_EQ(s.Find(L'b', 60), -1);
    EXPECT_EQ(s.Find(L"ca"), 2);
    EXPECT_EQ(s.Find(L"abc", 1), 3);
    EXPECT_EQ(s.Find(L"abcd"), -1);
    EXPECT_EQ(s.Find(L""), 0);
    EXPECT_EQ(s.Find(L"", 6), 6);
    EXPECT_EQ(s.Find(L"", 7), -1);
    EXPECT_EQ(s.ReverseFind(L'a'), 3);
    EXPECT_EQ(s.ReverseFind(L'z'), -1);
    EXPECT_EQ(s.FindOneOf(L"xc"), 2);
    EXPECT_EQ(s.FindOneOf(L"xc", 3), 5);
    EXPECT_EQ(s.FindOneOf(L"xyz"), -1);
    EXPECT_TRUE(RaisesInvalidArg([&] { s.Find(L'a', -1); }));
    EXPECT_TRUE(RaisesInvalidArg([&] { s.Find(L"a", -1); }));
}

// ---- formatting -----------------------------------------------------------------------------------

TEST(XStringFormat, NarrowAndWideIncludingLongOutputs) {
    CXStringA a;
    EXPECT_EQ(a.Format("%d-%s-%.2f", 42, "x", 1.5), 9);
    EXPECT_EQ(A(a), "42-x-1.50");
    std::string longText(3000, 'k');
    EXPECT_EQ(a.Format("<%s>%d", longText.c_str(), 7), 3003);
    EXPECT_EQ(A(a), "<" + longText + ">7");
    EXPECT_EQ(a.GetAllocLength(), 2 * 3003 + 1);

    CXStringW w;
    EXPECT_EQ(w.Format(L"%ls=%d %s", L"\u00E9t\u00E9", -3, "ascii"), 12);
    EXPECT_EQ(W(w), L"\u00E9t\u00E9=-3 ascii");
    // Longer than any intermediate buffer: the wide formatter has to retry several times.
    std::wstring wideLong(5000, L'\u03A9');
    EXPECT_EQ(w.Format(L"[%ls][%5d]", wideLong.c_str(), 12), 5009);
    EXPECT_EQ(W(w), L"[" + wideLong + L"][   12]");

    EXPECT_EQ(w.AppendFormat(L"+%c", L'z'), 5011);
    EXPECT_EQ(W(w.Right(4)), L"2]+z");
}

TEST(XStringFormat, ArgumentsMayPointIntoTheStringItself) {
    CXStringA a("abc");
    a.Format("%s|%s", a.GetString(), a.GetString());
    EXPECT_EQ(A(a), "abc|abc");
    a.AppendFormat("/%s", a.GetString());
    EXPECT_EQ(A(a), "abc|abc/abc|abc");
}

TEST(XStringFormat, EncodingErrorsFailCleanly) {
    // In the "C" locale a non-ASCII wide argument has no narrow form, and a byte above 0x7F no
    // wide one.
    CXStringA a("before");
    EXPECT_EQ(a.AppendFormat("%ls", L"\u00E9"), -1);
    EXPECT_EQ(A(a), "before");
    EXPECT_EQ(a.Format("%ls", L"\u00E9"), -1);
    EXPECT_TRUE(a.IsEmpty());
    CXStringW w(L"before");
    EXPECT_EQ(w.Format(L"%s", "\xFF\xFE"), -1);
    EXPECT_TRUE(w.IsEmpty());
}

// ---- Unicode conversions ----------------------------------------------------------------------

TEST(XStringUnicode, RoundTripsOutsideTheBasicPlane) {
    const wchar_t* wide = L"a\U0001F600\u00E9\U0010FFFF";
    XCW2A utf8(wide);
    EXPECT_EQ(std::string(utf8.GetString(), size_t(utf8.GetLength())),
              "a\xF0\x9F\x98\x80\xC3\xA9\xF4\x8F\xBF\xBF");
    XCA2W back(utf8);
    EXPECT_EQ(std::wstring(back.GetString()), std::wstring(wide));

    xUTF32ToUTF16 utf16(wide);
    EXPECT_EQ(U16(utf16), (std::u16string{0x61, 0xD83D, 0xDE00, 0xE9, 0xDBFF, 0xDFFF}));
    xUTF16ToUTF32 wideAgain(utf16);
    EXPECT_EQ(std::wstring(wideAgain.GetString()), std::wstring(wide));
    xUTF8ToUTF16 fromUtf8(utf8);
    EXPECT_EQ(U16(fromUtf8), U16(utf16));
    EXPECT_EQ(wideAgain.GetString()[wideAgain.GetLength()], L'\0');
}

TEST(XStringUnicode, EveryScalarValueRoundTrips) {
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        wchar_t w = wchar_t(cp);
        char utf8[4];
        size_t n = xConvertUTF32ToUTF8(&w, 1, utf8);
        ASSERT_EQ(n, cp < 0x80 ? 1u : cp < 0x800 ? 2u : cp < 0x10000 ? 3u : 4u) << std::hex << cp;
        wchar_t back[4];
        ASSERT_EQ(xConvertUTF8ToUTF32(utf8, n, back), 1u) << std::hex << cp;
        ASSERT_EQ(uint32_t(back[0]), cp);
        char16_t utf16[2];
        size_t units = xConvertUTF32ToUTF16(&w, 1, utf16);
        ASSERT_EQ(units, cp < 0x10000 ? 1u : 2u);
        ASSERT_EQ(xConvertUTF16ToUTF32(utf16, units, back), 1u);
        ASSERT_EQ(uint32_t(back[0]), cp);
    }
}

TEST(XStringUnicode, EveryTwoByteInputDecodesToValidText) {
    // Whatever the bytes, the result has at most one character per byte, each a valid scalar
    // value.
    for (int b0 = 0; b0 < 256; ++b0) {
        for (int b1 = 0; b1 < 256; ++b1) {
            const char bytes[2] = {char(b0), char(b1)};
            wchar_t out[2];
            size_t n = xConvertUTF8ToUTF32(bytes, 2, out);
            ASSERT_TRUE(n == 1 || n == 2);
            for (size_t i = 0; i < n; ++i) {
                uint32_t c = uint32_t(out[i]);
                ASSERT_TRUE(c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF));
            }
            // One character results from a complete two-byte sequence, or from the valid start of a
            // longer one that the end cuts short (a single U+FFFD).
            bool validPair = b0 >= 0xC2 && b0 <= 0xDF && b1 >= 0x80 && b1 <= 0xBF;
            int lo = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
            int hi = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
            bool validPrefix = b0 >= 0xE0 && b0 <= 0xF4 && b1 >= lo && b1 <= hi;
            ASSERT_EQ(n == 1, validPair || validPrefix) << b0 << " " << b1;
            if (validPair) {
                ASSERT_EQ(uint32_t(out[0]), uint32_t(((b0 & 0x1F) << 6) | (b1 & 0x3F)));
            } else if (validPrefix) {
                ASSERT_EQ(uint32_t(out[0]), 0xFFFDu);
            }
        }
    }
}

TEST(XStringUnicode, MalformedUTF8BecomesReplacementCharacters) {
    struct Case {
        std::string bytes;
        std::wstring expected;
    } cases[] = {
        {"\x80", L"\uFFFD"},                                  // continuation without a lead
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                        // overlong '/'
        {"\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},              // overlong, three bytes
        {"\xF0\x8F\xBF\xBF", L"\uFFFD\uFFFD\uFFFD\uFFFD"},    // overlong, four bytes
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},              // encoded surrogate U+D800
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},    // above U+10FFFF
        {"\xE2\x82", L"\uFFFD"},                              // cut short at the end
        {"\xE2\x82" "A", L"\uFFFDA"},                         // cut short by a new character
        {"\xF0\x9F\x98" "\xE2\x82\xAC", L"\uFFFD\u20AC"},
        {"\xFF\xFEz", L"\uFFFD\uFFFDz"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},  // zero bytes are characters
    };
    for (const Case& c : cases) EXPECT_EQ(DecodeUTF8(c.bytes), c.expected) << "input of " << c.bytes.size() << " bytes";
}

TEST(XStringUnicode, DecodersStopAtTheGivenLength) {
    // Exact-size heap blocks without a terminator: a read past the end is caught by the sanitiser
    // build, and the cut-off sequence must not borrow the byte that follows in the source.
    std::vector<char> bytes = {'\xF0', '\x9F', '\x98'};
    EXPECT_EQ(std::wstring(XCA2W(bytes.data(), 3).GetString()), L"\uFFFD");
    const char full[] = "\xF0\x9F\x98\x80";
    EXPECT_EQ(std::wstring(XCA2W(full, 3).GetString()), L"\uFFFD");
    std::vector<char16_t> units = {0xD83D};
    EXPECT_EQ(std::wstring(xUTF16ToUTF32(units.data(), 1).GetString()), L"\uFFFD");
    EXPECT_EQ(xConvertUTF8ToUTF32(bytes.data(), 0, nullptr), 0u);
}

TEST(XStringUnicode, InvalidWideValuesEncodeAsReplacement) {
    const wchar_t bad[] = {wchar_t(0xD800), wchar_t(0x110000), wchar_t(-1), L'k'};
    XCW2A utf8(bad, 4);
    EXPECT_EQ(std::string(utf8.GetString()), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "k");
    xUTF32ToUTF16 utf16(bad, 4);
    EXPECT_EQ(U16(utf16), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD, u'k'}));
    const char16_t lone[] = {0xDC00, u'a', 0xD800, 0xD800, 0xDC00};
    EXPECT_EQ(std::wstring(xUTF16ToUTF32(lone, 5).GetString()), L"\uFFFDa\uFFFD\U00010000");
}

TEST(XStringUnicode, UTF16LittleEndianBytes) {
    const wchar_t* text = L"A\u00E9\U0001F600";
    const unsigned char expected[] = {0x41, 0x00, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
    ASSERT_EQ(xEncodeUTF16LE(text, 3, nullptr), sizeof(expected));
    unsigned char out[sizeof(expected)] = {};
    EXPECT_EQ(xEncodeUTF16LE(text, 3, out), sizeof(expected));
    EXPECT_EQ(std::memcmp(out, expected, sizeof(expected)), 0);

    // Decoding from an odd address, as bytes lie inside a file buffer.
    unsigned char shifted[sizeof(expected) + 1];
    std::memcpy(shifted + 1, expected, sizeof(expected));
    CXStringW decoded;
    xDecodeUTF16LE(shifted + 1, sizeof(expected), decoded);
    EXPECT_EQ(W(decoded), L"A\u00E9\U0001F600");
    EXPECT_EQ(decoded.GetAllocLength(), 16);  // sized for the 3 decoded characters, not the 4 units
    CXStringW reused(L"old content that is longer");
    xDecodeUTF16LE(expected, sizeof(expected), reused);
    EXPECT_EQ(W(reused), L"A\u00E9\U0001F600");
    // The bytes may lie in the output's own buffer: its two 32-bit characters read as four units.
    CXStringW self(L"AB");
    xDecodeUTF16LE(self.GetString(), 2 * sizeof(wchar_t), self);
    EXPECT_EQ(W(self), std::wstring(L"A\0B\0", 4));
}

TEST(XStringUnicode, UTF16LittleEndianMalformedBytes) {
    const struct {
        std::vector<unsigned char> bytes;
        std::wstring text;
    } cases[] = {
        {{0x41, 0x00, 0x42}, L"A\uFFFD"},                            // trailing half unit
        {{0x41, 0x00, 0x3D, 0xD8}, L"A\uFFFD"},                      // high surrogate at the end
        {{0x00, 0xDE, 0x3D, 0xD8, 0x42, 0x00}, L"\uFFFD\uFFFDB"},    // low then high
        {{0x00, 0x00, 0x43, 0x00}, std::wstring(L"\0C", 2)},         // a zero unit is a character
        {{0x41}, L"\uFFFD"},
    };
    CXStringW out;
    for (const auto& c : cases) {
        xDecodeUTF16LE(c.bytes.data(), c.bytes.size(), out);
        EXPECT_EQ(W(out), c.text) << c.bytes.size() << " bytes";
    }
    xDecodeUTF16LE(nullptr, 0, out);
    EXPECT_TRUE(out.IsEmpty());
}

// ---- utilities ----------------------------------------------------------------------------------

namespace {
CXArray<CXStringW> MakeArray(std::initializer_list<const wchar_t*> items) {
    CXArray<CXStringW> a;
    for (const wchar_t* s : items) a.Add(CXStringW(s));
    return a;
}
std::vector<std::wstring> Items(const CXArray<CXStringW>& a) {
    std::vector<std::wstring> v;
    for (int i = 0; i < a.GetSize(); ++i) v.push_back(W(a[i]));
    return v;
}
}  // namespace

TEST(XStringUtilities, NaturalOrderComparesNumbersByValue) {
    EXPECT_LT(StringCompareNatural(L"file2", L"file10"), 0);
    EXPECT_GT(StringCompare(L"file2", L"file10"), 0);
    EXPECT_EQ(StringCompareNatural(L"File007", L"file7"), 0);
    EXPECT_NE(StringCompareNatural(L"File7", L"file7", true), 0);
    EXPECT_LT(StringCompareNatural(L"x9", L"x123456789012345678901234567890"), 0);  // no overflow
    EXPECT_LT(StringCompareNatural(L"a1b2", L"a1b10"), 0);
    EXPECT_LT(StringCompareNatural(L"abc", L"abc1"), 0);
    EXPECT_LT(StringCompareNatural(L"0", L"00a"), 0);

    CXArray<CXStringW> files = MakeArray({L"file10", L"b", L"file2", L"File1", L"file02", L"a"});
    SortStringArray(files, COMPARE_STRINGS_NATURAL);
    EXPECT_EQ(Items(files), (std::vector<std::wstring>{L"a", L"b", L"File1", L"file02", L"file2", L"file10"}));
    SortStringArray(files, COMPARE_STRINGS_NATURAL_DESCENDING);
    EXPECT_EQ(Items(files), (std::vector<std::wstring>{L"file10", L"file2", L"file02", L"File1", L"b", L"a"}));
}

TEST(XStringUtilities, OrdinalSortsWithDeterministicTies) {
    // Each sort starts from the order the one before left (ties keep a fixed order).
    CXArray<CXStringW> s = MakeArray({L"b", L"a", L"B", L"A"});
    const std::pair<_CompareStringsEnum, std::vector<std::wstring>> sorts[] = {
        {COMPARE_STRINGS_NOCASE, {L"A", L"a", L"B", L"b"}},
        {COMPARE_STRINGS_CASE, {L"A", L"B", L"a", L"b"}},
        {COMPARE_STRINGS_CASE_DESCENDING, {L"b", L"a", L"B", L"A"}},
        {COMPARE_STRINGS_NOCASE_DESCENDING, {L"b", L"B", L"a", L"A"}},
    };
    for (const auto& sort : sorts) {
        SortStringArray(s, sort.first);
        EXPECT_EQ(Items(s), sort.second) << sort.first;
    }
    EXPECT_TRUE(RaisesInvalidArg([&] { SortStringArray(s, _CompareStringsEnum(6)); }));

    // Enough elements for the sort to leave its small-range path.
    CXArray<CXStringW> many;
    for (int i = 99; i >= 0; --i) many.Add(CXStringW(L"n") + CXStringW(std::to_wstring(i).c_str()));
    SortStringArray(many, COMPARE_STRINGS_NATURAL);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(W(many[i]), L"n" + std::to_wstring(i));
}

TEST(XStringUtilities, SearchWithCaseFlags) {
    EXPECT_EQ(StringCompare(L"abc", L"ABC"), 1);
    EXPECT_EQ(StringCompare(L"abc", L"ABC", false), 0);
    EXPECT_EQ(StringCompare("abc", nullptr), 1);
    EXPECT_EQ(StringFind(L"Hello World", L"world"), -1);
    EXPECT_EQ(StringFind(L"Hello World", L"world", 0, false), 6);
    EXPECT_EQ(StringFindNoCase(L"Hello World", L"WORLD"), 6);
    EXPECT_EQ(StringFindNoCase(L"Hello World", L"WORLD", 0, false), -1);
    EXPECT_EQ(StringFindNoCase("aXbx", "X", 2), 3);
    EXPECT_EQ(StringFind(nullptr, L"a"), -1);
    EXPECT_TRUE(RaisesInvalidArg([] { StringFind(L"a", L"a", -1); }));

    CXStringW text(L"Hello HELLO and hello!");
    EXPECT_EQ(StringRemoveNoCase(text, L"hello"), 3);
    EXPECT_EQ(W(text), L"  and !");
    EXPECT_EQ(StringRemoveNoCase(text, L"xyz"), 0);
    CXStringW self(L"abab");
    EXPECT_EQ(StringRemoveNoCase(self, self.GetString() + 2), 2);  // pattern "ab" taken from the text
    EXPECT_TRUE(self.IsEmpty());
}

TEST(XStringUtilities, CapitalizeAndExtract) {
    CXStringW t(L"hello wORLD o'neil-smith  \u00E9t\u00E9");
    CapitalizeText(t);
    EXPECT_EQ(W(t), L"Hello WORLD O'neil-Smith  \u00C9t\u00E9");
    CapitalizeText(t, true);
    EXPECT_EQ(W(t), L"Hello World O'neil-Smith  \u00C9t\u00E9");

    CXStringW field;
    const wchar_t* fields[] = {L"a", L"", L"b"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(ExtractString(field, L"a,,b", i));
        EXPECT_EQ(W(field), fields[i]);
    }
    EXPECT_FALSE(ExtractString(field, L"a,,b", 3));
    EXPECT_TRUE(field.IsEmpty());
    EXPECT_TRUE(ExtractString(field, L"x;y;", 2, L';'));  // a trailing separator ends an empty field
    EXPECT_EQ(W(field), L"");
    field = L"p|q";
    EXPECT_TRUE(ExtractString(field, field.GetString(), 1, L'|'));  // text inside the output
    EXPECT_EQ(W(field), L"q");
    EXPECT_TRUE(RaisesInvalidArg([&] { ExtractString(field, L"a", -1); }));
}

TEST(XStringUtilities, StringArrays) {
    CXArray<CXStringW> a = MakeArray({L"one", L"Two", L"three", L"two"});
    EXPECT_EQ(FindInStringArray(a, L"two"), 3);
    EXPECT_EQ(FindInStringArray(a, L"two", false), 1);
    EXPECT_EQ(FindInStringArray(a, L"two", false, 2), 3);
    EXPECT_EQ(FindInStringArray(a, L"four"), -1);
    EXPECT_EQ(FindInStringArray(a, L"one", true, 10), -1);

    CXArray<CXStringW> b = MakeArray({L"x"});
    EXPECT_EQ(CopyStringArray(b, a), 4);
    EXPECT_EQ(Items(b), Items(a));
    EXPECT_EQ(CopyStringArray(b, a, true), 8);
    EXPECT_EQ(W(b[4]), L"one");
    EXPECT_EQ(CopyStringArray(a, a, true), 8);  // appending an array to itself
    EXPECT_EQ(W(a[7]), L"two");
}

TEST(XStringUtilities, NoCaseHashPolicyMakesOneKey) {
    CHashMap<CXStringW, const CXStringW&, int, CHashMethodsNoCase<wchar_t>> map;
    EXPECT_EQ(map.Insert(CXStringW(L"\u00C9t\u00E9"), 1), 1);
    EXPECT_EQ(map.Insert(CXStringW(L"\u00E9T\u00C9"), 2), 0);
    const int* v = map.Find(CXStringW(L"\u00E9t\u00E9"));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(*v, 2);
    CHashMap<CXStringW, const CXStringW&, int> exact;
    exact.Insert(CXStringW(L"key"), 5);
    EXPECT_EQ(exact.Find(CXStringW(L"KEY")), nullptr);
    ASSERT_NE(exact.Find(CXStringW(L"key")), nullptr);
}
