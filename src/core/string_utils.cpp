// String utilities over wide text: comparison modes, natural order, search, field extraction and
// string arrays.
#include <algorithm>

#include "kestovar/core/xstring.h"

namespace kestovar {

namespace {

template <class T>
const T* OrEmpty(const T* text) {
    static const T empty[1] = {T(0)};
    return text ? text : empty;
}

template <class T>
int TextLength(const T* text) {
    size_t n = xStrLen(text);
    if (n > size_t(INT_MAX)) XThrow<CXInvalidArgException>("text too long");
    return int(n);
}

template <class T>
int CompareTexts(const T* a, const T* b, bool caseSensitive) {
    return CXTString<T>::CompareUnits(OrEmpty(a), TextLength(a), OrEmpty(b), TextLength(b), !caseSensitive);
}

template <class T>
int FindText(const T* text, const T* pattern, int start, bool caseSensitive) {
    if (start < 0) XThrow<CXInvalidArgException>("StringFind: negative start index");
    return CXTString<T>::FindUnits(OrEmpty(text), TextLength(text), OrEmpty(pattern), TextLength(pattern), start,
                                   !caseSensitive);
}

// ASCII punctuation other than the apostrophe, blanks and the no-break space end a word.
bool IsWordSeparator(wchar_t c) {
    if (xIsSpace(c) || c == 0xA0) return true;
    if (c >= 0x80 || c == L'\'') return false;
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E);
}

int CompareByOrder(const CXStringW& a, const CXStringW& b, int order) {
    switch (order & ~1) {
        case COMPARE_STRINGS_NOCASE:
            return a.CompareNoCase(b);
        case COMPARE_STRINGS_NATURAL:
            return StringCompareNatural(a.GetString(), b.GetString(), false);
        default:
            return a.Compare(b);
    }
}

}  // namespace

int StringCompare(const wchar_t* a, const wchar_t* b, bool caseSensitive) { return CompareTexts(a, b, caseSensitive); }
int StringCompare(const char* a, const char* b, bool caseSensitive) { return CompareTexts(a, b, caseSensitive); }

int StringFind(const wchar_t* text, const wchar_t* pattern, int start, bool caseSensitive) {
    return FindText(text, pattern, start, caseSensitive);
}
int StringFind(const char* text, const char* pattern, int start, bool caseSensitive) {
    return FindText(text, pattern, start, caseSensitive);
}
int StringFindNoCase(const wchar_t* text, const wchar_t* pattern, int start, bool ignoreCase) {
    return FindText(text, pattern, start, !ignoreCase);
}
int StringFindNoCase(const char* text, const char* pattern, int start, bool ignoreCase) {
    return FindText(text, pattern, start, !ignoreCase);
}

int StringCompareNatural(const wchar_t* a, const wchar_t* b, bool caseSensitive) {
    a = OrEmpty(a);
    b = OrEmpty(b);
    using U = std::make_unsigned_t<wchar_t>;
    while (*a && *b) {
        if (xIsDigit(*a) && xIsDigit(*b)) {
            // Compare the digit runs by value without converting them (no overflow whatever their
            // length): skip leading zeros, then the longer run is larger, else the first differing
            // digit decides.
            while (*a == L'0') ++a;
            while (*b == L'0') ++b;
            const wchar_t* endA = a;
            const wchar_t* endB = b;
            while (xIsDigit(*endA)) ++endA;
            while (xIsDigit(*endB)) ++endB;
            if (endA - a != endB - b) return endA - a < endB - b ? -1 : 1;
            for (; a < endA; ++a, ++b)
                if (*a != *b) return *a < *b ? -1 : 1;
            b = endB;
            continue;
        }
        U ca = U(caseSensitive ? *a : xCharToLower(*a));
        U cb = U(caseSensitive ? *b : xCharToLower(*b));
        if (ca != cb) return ca < cb ? -1 : 1;
        ++a;
        ++b;
    }
    if (*a) return 1;
    if (*b) return -1;
    return 0;
}

int StringRemoveNoCase(CXStringW& text, const wchar_t* pattern) {
    int patternLength = TextLength(pattern);
    if (patternLength == 0) return 0;
    const wchar_t* buffer = text.GetString();
    std::less<const wchar_t*> before;
    if (!before(pattern, buffer) && !before(buffer + text.GetLength(), pattern)) {
        CXStringW copy(pattern, patternLength);  // the pattern lives in the text being edited
        return StringRemoveNoCase(text, copy.GetString());
    }
    int length = text.GetLength();
    int next = CXStringW::FindUnits(buffer, length, pattern, patternLength, 0, true);
    if (next < 0) return 0;
    wchar_t* p = text.GetBuffer(length);  // no growth: the text already has a buffer of this size
    int removed = 0;
    int w = next;
    int r = next;
    while (next >= 0) {
        r = next + patternLength;
        ++removed;
        next = CXStringW::FindUnits(p, length, pattern, patternLength, r, true);
        int end = next < 0 ? length : next;
        std::copy(p + r, p + end, p + w);
        w += end - r;
    }
    text.ReleaseBuffer(w);
    return removed;
}

CXStringW& CapitalizeText(CXStringW& text, bool lowerOthers) {
    bool wordStart = true;
    for (int i = 0; i < text.GetLength(); ++i) {
        wchar_t c = text[i];
        if (IsWordSeparator(c)) {
            wordStart = true;
            continue;
        }
        if (wordStart)
            text.SetAt(i, xCharToUpper(c));
        else if (lowerOthers)
            text.SetAt(i, xCharToLower(c));
        wordStart = false;
    }
    return text;
}

void SortStringArray(CXArray<CXStringW>& strings, _CompareStringsEnum order) {
    if (order < COMPARE_STRINGS_CASE || order > COMPARE_STRINGS_NATURAL_DESCENDING)
        XThrow<CXInvalidArgException>("SortStringArray: unknown order");
    bool descending = (order & 1) != 0;
    auto before = [order, descending](const CXStringW& a, const CXStringW& b) {
        int c = CompareByOrder(a, b, order);
        if (c == 0) c = a.Compare(b);
        return descending ? c > 0 : c < 0;
    };
    std::sort(strings.GetData(), strings.GetData() + strings.GetSize(), before);
}

int FindInStringArray(const CXArray<CXStringW>& strings, const wchar_t* text, bool caseSensitive, int start) {
    if (start < 0) XThrow<CXInvalidArgException>("FindInStringArray: negative start index");
    const wchar_t* t = OrEmpty(text);
    int length = TextLength(text);
    for (int i = start; i < strings.GetSize(); ++i) {
        const CXStringW& s = strings[i];
        if (CXStringW::CompareUnits(s.GetString(), s.GetLength(), t, length, !caseSensitive) == 0) return i;
    }
    return -1;
}

bool ExtractString(CXStringW& field, const wchar_t* text, int index, wchar_t separator) {
    if (index < 0) XThrow<CXInvalidArgException>("ExtractString: negative index");
    const wchar_t* p = OrEmpty(text);
    const wchar_t* end = p + TextLength(text);
    for (int skipped = 0; skipped < index; ++skipped) {
        p = std::find(p, end, separator);
        if (p == end) {
            field.Empty();
            return false;
        }
        ++p;
    }
    const wchar_t* fieldEnd = std::find(p, end, separator);
    field.SetString(p, int(fieldEnd - p));
    return true;
}

int CopyStringArray(CXArray<CXStringW>& target, const CXArray<CXStringW>& source, bool append) {
    if (append)
        target.Append(source);
    else if (&target != &source)
        target.Copy(source);
    return target.GetSize();
}

}  // namespace kestovar
