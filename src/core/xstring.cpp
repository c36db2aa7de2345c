// Non-template parts of the strings: case mapping, printf-style formatting, and the conversion
// classes. The Unicode transcoders live in utf.cpp, the string utilities in string_utils.cpp.
#include "kestovar/core/xstring.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>

namespace kestovar {

// Explicit instantiations: every member of both string types is compiled (and checked) here once.
template class CXTString<char>;
template class CXTString<wchar_t>;

// ---------------------------------------------------------------------------------------------
// Case mapping. The rule per block, in code-point order:
//   ASCII           a-z <-> A-Z
//   Latin-1         E0-FE <-> C0-DE, except the signs F7/D7; FF (y diaeresis) <-> 178
//   Latin Ext-A     pairs (upper, lower) start at an even code point in 100-137 and 14A-177 and at
//                   an odd one in 139-148 and 179-17E; 130, 131, 138, 149 and 17F stay as they are
//   Greek           3B1-3C9 <-> 391-3A9 (3A2 is unassigned; final sigma 3C2 upper-cases to 3A3),
//                   and the accented vowels 3AC <-> 386, 3AD-3AF <-> 388-38A, 3CC <-> 38C,
//                   3CD-3CE <-> 38E-38F
//   Cyrillic        430-44F <-> 410-42F, 450-45F <-> 400-40F
// ---------------------------------------------------------------------------------------------

namespace {

// Whether `c` in a Latin Extended-A range is the upper-case member of its pair.
bool LatinExtAIsPairStart(uint32_t c, bool evenStarts) { return ((c & 1u) == 0) == evenStarts; }

// Latin Extended-A: returns the pair parity rule for `c`, or false when `c` has no pair.
bool LatinExtAPairing(uint32_t c, bool& evenStarts) {
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
        evenStarts = true;
        return true;
    }
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
        evenStarts = false;
        return true;
    }
    return false;
}

}  // namespace

wchar_t xCharToUpper(wchar_t ch) {
    uint32_t c = uint32_t(ch);
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? wchar_t(c - 32) : ch;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return wchar_t(c - 32);
        if (c == 0xFF) return wchar_t(0x178);
        return ch;
    }
    if (c < 0x180) {
        bool evenStarts;
        if (LatinExtAPairing(c, evenStarts) && !LatinExtAIsPairStart(c, evenStarts)) return wchar_t(c - 1);
        return ch;
    }
    if (c >= 0x3B1 && c <= 0x3C9) return wchar_t(c == 0x3C2 ? 0x3A3 : c - 32);
    if (c == 0x3AC) return wchar_t(0x386);
    if (c >= 0x3AD && c <= 0x3AF) return wchar_t(c - 37);
    if (c == 0x3CC) return wchar_t(0x38C);
    if (c >= 0x3CD && c <= 0x3CE) return wchar_t(c - 63);
    if (c >= 0x430 && c <= 0x44F) return wchar_t(c - 32);
    if (c >= 0x450 && c <= 0x45F) return wchar_t(c - 80);
    return ch;
}

wchar_t xCharToLower(wchar_t ch) {
    uint32_t c = uint32_t(ch);
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? wchar_t(c + 32) : ch;
    if (c < 0x100) {
        if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return wchar_t(c + 32);
        return ch;
    }
    if (c < 0x180) {
        if (c == 0x178) return wchar_t(0xFF);
        bool evenStarts;
        if (LatinExtAPairing(c, evenStarts) && LatinExtAIsPairStart(c, evenStarts)) return wchar_t(c + 1);
        return ch;
    }
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return wchar_t(c + 32);
    if (c == 0x386) return wchar_t(0x3AC);
    if (c >= 0x388 && c <= 0x38A) return wchar_t(c + 37);
    if (c == 0x38C) return wchar_t(0x3CC);
    if (c >= 0x38E && c <= 0x38F) return wchar_t(c + 63);
    if (c >= 0x410 && c <= 0x42F) return wchar_t(c + 32);
    if (c >= 0x400 && c <= 0x40F) return wchar_t(c + 80);
    return ch;
}

// ---------------------------------------------------------------------------------------------
// Formatting. The text is produced in a scratch buffer first (a stack buffer for the common short
// case, an xmalloc'd one beyond it) and then copied into the string, so that arguments pointing
// into the string itself stay valid while they are read, and the string grows by its own rule.
// ---------------------------------------------------------------------------------------------

namespace {

constexpr size_t kStackFormatUnits = 512;
// Upper bound of the wide scratch buffer (in characters). vswprintf cannot report the size it
// needs, so the buffer doubles until the text fits; past this bound the call is taken as failed.
constexpr size_t kMaxWideFormatUnits = size_t(1) << 24;

// Owns an xmalloc'd scratch buffer.
template <class T>
struct ScratchBuffer {
    T* data = nullptr;
    ~ScratchBuffer() { xfree(data); }
    T* Resize(size_t units) {
        void* p = xrealloc(data, units * sizeof(T));
        if (!p) XThrow<CXMemoryException>();
        data = static_cast<T*>(p);
        return data;
    }
};

template <class T>
int StoreFormatted(CXTString<T>& out, bool append, const T* text, int length) {
    if (append)
        out.Append(text, length);
    else
        out.SetString(text, length);
    return out.GetLength();
}

template <class T>
int FormatFailed(CXTString<T>& out, bool append) {
    if (!append) out.Empty();
    return -1;
}

}  // namespace

int xStringFormatV(CXStringA& out, bool append, const char* format, va_list args) {
    if (!format) return FormatFailed(out, append);
    char stackBuffer[kStackFormatUnits];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(stackBuffer, sizeof(stackBuffer), format, copy);
    va_end(copy);
    if (n < 0) return FormatFailed(out, append);
    if (size_t(n) < kStackFormatUnits) return StoreFormatted(out, append, stackBuffer, n);

    // vsnprintf told the exact length: one more pass into a buffer of that size.
    ScratchBuffer<char> heap;
    heap.Resize(size_t(n) + 1);
    va_copy(copy, args);
    int m = std::vsnprintf(heap.data, size_t(n) + 1, format, copy);
    va_end(copy);
    if (m != n) return FormatFailed(out, append);
    return StoreFormatted(out, append, heap.data, n);
}

int xStringFormatV(CXStringW& out, bool append, const wchar_t* format, va_list args) {
    if (!format) return FormatFailed(out, append);
    wchar_t stackBuffer[kStackFormatUnits];
    va_list copy;
    va_copy(copy, args);
    errno = 0;
    int n = std::vswprintf(stackBuffer, kStackFormatUnits, format, copy);
    va_end(copy);
    if (n >= 0) return StoreFormatted(out, append, stackBuffer, n);

    // vswprintf returns -1 both when the text does not fit and on an encoding error; only the
    // latter sets EILSEQ, and no larger buffer would help it.
    ScratchBuffer<wchar_t> heap;
    for (size_t units = 2 * kStackFormatUnits; errno != EILSEQ && units <= kMaxWideFormatUnits; units *= 2) {
        heap.Resize(units);
        va_copy(copy, args);
        errno = 0;
        n = std::vswprintf(heap.data, units, format, copy);
        va_end(copy);
        if (n >= 0) return StoreFormatted(out, append, heap.data, n);
    }
    return FormatFailed(out, append);
}

// ---------------------------------------------------------------------------------------------
// Conversion classes
// ---------------------------------------------------------------------------------------------

namespace {

// Length argument of the conversion classes: -1 up to the terminator, otherwise exact.
template <class T>
size_t ConversionLength(const T* text, int length) {
    if (length < -1) XThrow<CXInvalidArgException>("text conversion: negative length");
    if (!text) {
        if (length > 0) XThrow<CXInvalidArgException>("text conversion: null text with a length");
        return 0;
    }
    return length == -1 ? xStrLen(text) : size_t(length);
}

}  // namespace

XCA2W::XCA2W(const char* text, int length) {
    size_t n = ConversionLength(text, length);
    xConvertUTF8ToUTF32(text, n, Allocate(xConvertUTF8ToUTF32(text, n, nullptr)));
}

XCW2A::XCW2A(const wchar_t* text, int length) {
    size_t n = ConversionLength(text, length);
    xConvertUTF32ToUTF8(text, n, Allocate(xConvertUTF32ToUTF8(text, n, nullptr)));
}

xUTF8ToUTF16::xUTF8ToUTF16(const char* text, int length) {
    size_t n = ConversionLength(text, length);
    xConvertUTF8ToUTF16(text, n, Allocate(xConvertUTF8ToUTF16(text, n, nullptr)));
}

xUTF16ToUTF32::xUTF16ToUTF32(const char16_t* text, int length) {
    size_t n = ConversionLength(text, length);
    xConvertUTF16ToUTF32(text, n, Allocate(xConvertUTF16ToUTF32(text, n, nullptr)));
}

xUTF32ToUTF16::xUTF32ToUTF16(const wchar_t* text, int length) {
    size_t n = ConversionLength(text, length);
    xConvertUTF32ToUTF16(text, n, Allocate(xConvertUTF32ToUTF16(text, n, nullptr)));
}

}  // namespace kestovar
