// Strings: CXTString<T> (T = char for UTF-8 text, wchar_t for UTF-32 text, the library's norm), the
// text conversions between UTF-8, UTF-16 and UTF-32, and the string utilities used across the
// library (comparison modes, natural sorting, field extraction).
//
// Lengths and indices are counted in code units of the string's own type: bytes for CXStringA,
// UTF-32 code points for CXStringW, 16-bit units for UTF-16 buffers.
#pragma once

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <type_traits>
#include <utility>

#include "kestovar/core/array.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/object.h"

namespace kestovar {

template <class T>
class CXTString;
using CXStringA = CXTString<char>;
using CXStringW = CXTString<wchar_t>;

// ---------------------------------------------------------------------------------------------
// Character helpers
//
// Case mapping is locale-independent so that sorting and case-insensitive look-ups give the same
// answer on every host. Wide characters map ASCII, Latin-1, Latin Extended-A, basic Greek and basic
// Cyrillic; characters outside those blocks (and characters without a single-character
// counterpart, such as U+00DF) are returned unchanged. Narrow characters map ASCII only, so the
// bytes of a multi-byte UTF-8 sequence are never altered.
// ---------------------------------------------------------------------------------------------

KESTOVAR_API wchar_t xCharToUpper(wchar_t c);
KESTOVAR_API wchar_t xCharToLower(wchar_t c);
inline char xCharToUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
inline char xCharToLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Blank characters removed by the Trim members: space, tab, line feed, vertical tab, form feed,
// carriage return.
template <class T>
inline bool xIsSpace(T c) {
    return c == T(' ') || (c >= T('\t') && c <= T('\r'));
}

template <class T>
inline bool xIsDigit(T c) {
    return c >= T('0') && c <= T('9');
}

// Length of a zero-terminated text; 0 for a null pointer.
template <class T>
inline size_t xStrLen(const T* text) {
    if (!text) return 0;
    const T* p = text;
    while (*p) ++p;
    return size_t(p - text);
}

// ---------------------------------------------------------------------------------------------
// Unicode conversions
//
// Every converter reads exactly `length` code units from `src` (embedded zeros included) and never
// beyond; a null `src` is an empty text. It returns the number of code units of the result and
// writes them to `dst` when `dst` is not null, so a caller sizes its buffer with a first call
// (dst = null) and converts with a second. No terminator is written.
//
// Malformed input never fails: each ill-formed part becomes U+FFFD.
// - UTF-8: stray continuation bytes, the bytes C0, C1 and F5..FF, overlong forms, encoded
//   surrogates, values above U+10FFFF and sequences cut short give one U+FFFD per maximal ill-formed
//   subpart (the practice Unicode recommends: "\xE2\x82" followed by "A" gives U+FFFD then 'A').
// - UTF-16: an unpaired high or low surrogate gives one U+FFFD.
// - UTF-32 (wchar_t): surrogate values, negative values and values above U+10FFFF give U+FFFD.
// ---------------------------------------------------------------------------------------------

constexpr char32_t kReplacementCharacter = 0xFFFD;

KESTOVAR_API size_t xConvertUTF8ToUTF32(const char* src, size_t length, wchar_t* dst);
KESTOVAR_API size_t xConvertUTF32ToUTF8(const wchar_t* src, size_t length, char* dst);
KESTOVAR_API size_t xConvertUTF8ToUTF16(const char* src, size_t length, char16_t* dst);
KESTOVAR_API size_t xConvertUTF16ToUTF8(const char16_t* src, size_t length, char* dst);
KESTOVAR_API size_t xConvertUTF16ToUTF32(const char16_t* src, size_t length, wchar_t* dst);
KESTOVAR_API size_t xConvertUTF32ToUTF16(const wchar_t* src, size_t length, char16_t* dst);

// UTF-16 little-endian, the persisted form of wide text (archives, custom data). xEncodeUTF16LE
// writes the text as 16-bit little-endian units to `out` when it is not null and returns the byte
// count (always even; the unit count is half of it). No terminator is written.
KESTOVAR_API size_t xEncodeUTF16LE(const wchar_t* text, size_t length, void* out);
// Decodes `byteCount` bytes of UTF-16LE into `out` (replacing its content). The bytes need no
// alignment. A trailing odd byte and every unpaired surrogate become U+FFFD; a zero unit is kept as
// a character (the caller decides whether the stored form is terminated).
KESTOVAR_API void xDecodeUTF16LE(const void* bytes, size_t byteCount, CXStringW& out);

// Overloads the string template uses to build one kind of text from the other.
inline size_t xTranscode(const char* src, size_t length, wchar_t* dst) { return xConvertUTF8ToUTF32(src, length, dst); }
inline size_t xTranscode(const wchar_t* src, size_t length, char* dst) { return xConvertUTF32ToUTF8(src, length, dst); }

// printf-style formatting into a string (replacing its content, or appending when `append` is
// set). Returns the new length, or -1 when the C library rejects the conversion (an encoding
// error, such as a "%ls" argument that the current locale cannot represent in a narrow string); a
// failed Format leaves the string empty and a failed AppendFormat leaves it unchanged. In wide
// formats "%s" takes a narrow (char*) argument and "%ls" a wide one, as in C.
KESTOVAR_API int xStringFormatV(CXStringA& out, bool append, const char* format, va_list args);
KESTOVAR_API int xStringFormatV(CXStringW& out, bool append, const wchar_t* format, va_list args);

// ---------------------------------------------------------------------------------------------
// CXTString<T>
//
// Fields, in order: the character buffer (always zero-terminated), the length and the capacity,
// both in characters; the capacity counts the terminator's slot. A string that never needed
// storage has capacity 0 and its buffer points at a shared read-only "" so that GetString() is
// always a valid text; nothing is ever written through that pointer.
//
// Growth: when an operation needs length + 1 > capacity for its new length n, the capacity becomes
// 2n + 1, raised to 16 when smaller than 16 and to 64 when between 16 and 63, and the buffer is
// reallocated with xrealloc (the first buffer comes from xmalloc). Capacity never shrinks while the
// string lives: Empty() and shortening operations keep the buffer for reuse.
//
// Out-of-range indices passed to GetAt/SetAt/operator[] and negative indices or counts raise
// CXInvalidArgException; positions past the end are clamped where the member says so.
// ---------------------------------------------------------------------------------------------

template <class T>
class CXTString : public CXAllocated {
    static_assert(std::is_same_v<T, char> || std::is_same_v<T, wchar_t>, "CXTString holds char or wchar_t");

public:
    using XCHAR = T;
    // The other character type: text of that type is converted (UTF-8 <-> UTF-32) on the way in.
    using YCHAR = std::conditional_t<std::is_same_v<T, char>, wchar_t, char>;

    CXTString() noexcept : m_pchData(EmptyBuffer()), m_nDataLength(0), m_nAllocLength(0) {}
    // `length` -1 takes the text up to its terminator; otherwise exactly `length` characters.
    CXTString(const T* text, int length = -1) : CXTString() { SetString(text, length); }
    CXTString(const YCHAR* text, int length = -1) : CXTString() { SetConverted(text, length); }
    explicit CXTString(T ch, int repeat = 1) : CXTString() { SetRepeated(ch, repeat); }
    CXTString(const CXTString& other) : CXTString() { SetString(other.m_pchData, other.m_nDataLength); }
    CXTString(CXTString&& other) noexcept
        : m_pchData(other.m_pchData), m_nDataLength(other.m_nDataLength), m_nAllocLength(other.m_nAllocLength) {
        other.m_pchData = EmptyBuffer();
        other.m_nDataLength = 0;
        other.m_nAllocLength = 0;
    }
    ~CXTString() {
        if (m_nAllocLength) xfree(m_pchData);
    }

    CXTString& operator=(const CXTString& other) {
        if (this != &other) SetString(other.m_pchData, other.m_nDataLength);
        return *this;
    }
    CXTString& operator=(CXTString&& other) noexcept {
        if (this != &other) {
            if (m_nAllocLength) xfree(m_pchData);
            m_pchData = other.m_pchData;
            m_nDataLength = other.m_nDataLength;
            m_nAllocLength = other.m_nAllocLength;
            other.m_pchData = EmptyBuffer();
            other.m_nDataLength = 0;
            other.m_nAllocLength = 0;
        }
        return *this;
    }
    CXTString& operator=(const T* text) {
        SetString(text, -1);
        return *this;
    }
    CXTString& operator=(const YCHAR* text) {
        SetConverted(text, -1);
        return *this;
    }
    CXTString& operator=(T ch) {
        SetString(&ch, 1);
        return *this;
    }

    // --- Access ---------------------------------------------------------------------------------

    int GetLength() const noexcept { return m_nDataLength; }
    bool IsEmpty() const noexcept { return m_nDataLength == 0; }
    // Capacity in characters, terminator included (0 while the string has no buffer).
    int GetAllocLength() const noexcept { return m_nAllocLength; }
    const T* GetString() const noexcept { return m_pchData; }
    operator const T*() const noexcept { return m_pchData; }

    T GetAt(int index) const {
        CheckIndex(index);
        return m_pchData[index];
    }
    T operator[](int index) const { return GetAt(index); }
    void SetAt(int index, T ch) {
        CheckIndex(index);
        m_pchData[index] = ch;
    }

    // Replaces the content with `length` characters of `text` (-1: up to its terminator). `text`
    // may point into this string.
    void SetString(const T* text, int length = -1) {
        int n = ResolveLength(text, length);
        if (n == 0) {
            Truncate(0);
            return;
        }
        ptrdiff_t offset = OffsetInBuffer(text);
        EnsureCapacity(n);
        if (offset >= 0) {
            std::memmove(m_pchData, m_pchData + offset, size_t(n) * sizeof(T));
        } else {
            std::memcpy(m_pchData, text, size_t(n) * sizeof(T));
        }
        Truncate(n);
    }

    // Empties the string; the buffer is kept for reuse.
    void Empty() noexcept { Truncate(0); }

    // --- Comparison -----------------------------------------------------------------------------
    // Ordinal: code units compared as unsigned values, a prefix sorts first. Returns <0, 0 or >0.

    int Compare(const CXTString& other) const noexcept {
        return CompareUnits(m_pchData, m_nDataLength, other.m_pchData, other.m_nDataLength, false);
    }
    int Compare(const T* text) const noexcept {
        return CompareUnits(m_pchData, m_nDataLength, text ? text : EmptyBuffer(), int(xStrLen(text)), false);
    }
    // As Compare, each character first mapped through xCharToLower.
    int CompareNoCase(const CXTString& other) const noexcept {
        return CompareUnits(m_pchData, m_nDataLength, other.m_pchData, other.m_nDataLength, true);
    }
    int CompareNoCase(const T* text) const noexcept {
        return CompareUnits(m_pchData, m_nDataLength, text ? text : EmptyBuffer(), int(xStrLen(text)), true);
    }

    friend bool operator==(const CXTString& a, const CXTString& b) noexcept {
        return a.m_nDataLength == b.m_nDataLength && a.Compare(b) == 0;
    }
    friend bool operator==(const CXTString& a, const T* b) noexcept { return a.Compare(b) == 0; }
    friend bool operator==(const T* a, const CXTString& b) noexcept { return b.Compare(a) == 0; }
    friend bool operator!=(const CXTString& a, const CXTString& b) noexcept { return !(a == b); }
    friend bool operator!=(const CXTString& a, const T* b) noexcept { return a.Compare(b) != 0; }
    friend bool operator!=(const T* a, const CXTString& b) noexcept { return b.Compare(a) != 0; }
    friend bool operator<(const CXTString& a, const CXTString& b) noexcept { return a.Compare(b) < 0; }
    friend bool operator<(const CXTString& a, const T* b) noexcept { return a.Compare(b) < 0; }
    friend bool operator<(const T* a, const CXTString& b) noexcept { return b.Compare(a) > 0; }
    friend bool operator>(const CXTString& a, const CXTString& b) noexcept { return a.Compare(b) > 0; }
    friend bool operator>(const CXTString& a, const T* b) noexcept { return a.Compare(b) > 0; }
    friend bool operator>(const T* a, const CXTString& b) noexcept { return b.Compare(a) < 0; }
    friend bool operator<=(const CXTString& a, const CXTString& b) noexcept { return a.Compare(b) <= 0; }
    friend bool operator<=(const CXTString& a, const T* b) noexcept { return a.Compare(b) <= 0; }
    friend bool operator<=(const T* a, const CXTString& b) noexcept { return b.Compare(a) >= 0; }
    friend bool operator>=(const CXTString& a, const CXTString& b) noexcept { return a.Compare(b) >= 0; }
    friend bool operator>=(const CXTString& a, const T* b) noexcept { return a.Compare(b) >= 0; }
    friend bool operator>=(const T* a, const CXTString& b) noexcept { return b.Compare(a) <= 0; }

    // --- Concatenation --------------------------------------------------------------------------

    // Appends `length` characters of `text` (-1: up to its terminator); `text` may point into this
    // string.
    CXTString& Append(const T* text, int length = -1) {
        int n = ResolveLength(text, length);
        if (n == 0) return *this;
        int newLength = CheckedSum(m_nDataLength, n);
        ptrdiff_t offset = OffsetInBuffer(text);
        EnsureCapacity(newLength);
        const T* src = offset >= 0 ? m_pchData + offset : text;
        std::memmove(m_pchData + m_nDataLength, src, size_t(n) * sizeof(T));
        Truncate(newLength);
        return *this;
    }
    CXTString& AppendChar(T ch) {
        int newLength = CheckedSum(m_nDataLength, 1);
        EnsureCapacity(newLength);
        m_pchData[m_nDataLength] = ch;
        Truncate(newLength);
        return *this;
    }

    CXTString& operator+=(const CXTString& other) { return Append(other.m_pchData, other.m_nDataLength); }
    CXTString& operator+=(const T* text) { return Append(text, -1); }
    CXTString& operator+=(T ch) { return AppendChar(ch); }

    friend CXTString operator+(const CXTString& a, const CXTString& b) {
        return Concat(a.m_pchData, a.m_nDataLength, b.m_pchData, b.m_nDataLength);
    }
    friend CXTString operator+(const CXTString& a, const T* b) {
        return Concat(a.m_pchData, a.m_nDataLength, b, ResolveLength(b, -1));
    }
    friend CXTString operator+(const T* a, const CXTString& b) {
        return Concat(a, ResolveLength(a, -1), b.m_pchData, b.m_nDataLength);
    }
    friend CXTString operator+(const CXTString& a, T b) { return Concat(a.m_pchData, a.m_nDataLength, &b, 1); }
    friend CXTString operator+(T a, const CXTString& b) { return Concat(&a, 1, b.m_pchData, b.m_nDataLength); }

    // --- Editing --------------------------------------------------------------------------------

    // Removes up to `count` characters from `index`. An index at or past the end changes nothing;
    // a count past the end removes the tail. Negative values raise CXInvalidArgException. Returns
    // the new length.
    int Delete(int index, int count = 1) {
        if (index < 0 || count < 0) XThrow<CXInvalidArgException>("CXTString::Delete: negative index or count");
        if (index >= m_nDataLength || count == 0) return m_nDataLength;
        if (count > m_nDataLength - index) count = m_nDataLength - index;
        int tail = m_nDataLength - index - count;
        std::memmove(m_pchData + index, m_pchData + index + count, size_t(tail) * sizeof(T));
        Truncate(m_nDataLength - count);
        return m_nDataLength;
    }

    // Inserts before `index`; an index past the end appends. Returns the new length.
    int Insert(int index, T ch) { return InsertUnits(index, &ch, 1); }
    int Insert(int index, const T* text) {
        int n = ResolveLength(text, -1);
        if (OffsetInBuffer(text) >= 0) {
            // The source would move while the tail is shifted: insert from a copy.
            CXTString copy(text, n);
            return InsertUnits(index, copy.m_pchData, n);
        }
        return InsertUnits(index, text, n);
    }

    // Replaces every occurrence; returns the number of replacements.
    int Replace(T oldChar, T newChar) noexcept {
        int count = 0;
        for (int i = 0; i < m_nDataLength; ++i) {
            if (m_pchData[i] == oldChar) {
                m_pchData[i] = newChar;
                ++count;
            }
        }
        return count;
    }
    // Replaces every non-overlapping occurrence of `oldText`, scanning from the start, with
    // `newText` (null: remove). An empty or null `oldText` replaces nothing. Returns the number of
    // replacements.
    int Replace(const T* oldText, const T* newText);

    // Removes every occurrence of `ch`; returns the number removed.
    int Remove(T ch) noexcept {
        int w = 0;
        for (int r = 0; r < m_nDataLength; ++r)
            if (m_pchData[r] != ch) m_pchData[w++] = m_pchData[r];
        int removed = m_nDataLength - w;
        if (removed) Truncate(w);
        return removed;
    }

    // --- Search ---------------------------------------------------------------------------------
    // Each returns the index of the match or -1. `start` past the end gives -1; a negative `start`
    // raises CXInvalidArgException.

    int Find(T ch, int start = 0) const {
        CheckStart(start);
        for (int i = start; i < m_nDataLength; ++i)
            if (m_pchData[i] == ch) return i;
        return -1;
    }
    // An empty or null `text` matches at `start` (when start <= length).
    int Find(const T* text, int start = 0) const {
        CheckStart(start);
        return FindUnits(m_pchData, m_nDataLength, text, int(xStrLen(text)), start, false);
    }
    int ReverseFind(T ch) const noexcept {
        for (int i = m_nDataLength - 1; i >= 0; --i)
            if (m_pchData[i] == ch) return i;
        return -1;
    }
    // First character that belongs to `charSet`.
    int FindOneOf(const T* charSet, int start = 0) const {
        CheckStart(start);
        if (!charSet) return -1;
        for (int i = start; i < m_nDataLength; ++i)
            for (const T* c = charSet; *c; ++c)
                if (m_pchData[i] == *c) return i;
        return -1;
    }

    // --- Extraction -----------------------------------------------------------------------------
    // Counts past the end are clamped; negative values raise CXInvalidArgException.

    // `count` characters from `first` (-1: to the end).
    CXTString Mid(int first, int count = -1) const {
        if (first < 0 || count < -1) XThrow<CXInvalidArgException>("CXTString::Mid: negative index or count");
        if (first >= m_nDataLength) return CXTString();
        int available = m_nDataLength - first;
        if (count == -1 || count > available) count = available;
        return CXTString(m_pchData + first, count);
    }
    CXTString Left(int count) const {
        if (count < 0) XThrow<CXInvalidArgException>("CXTString::Left: negative count");
        return CXTString(m_pchData, count < m_nDataLength ? count : m_nDataLength);
    }
    CXTString Right(int count) const {
        if (count < 0) XThrow<CXInvalidArgException>("CXTString::Right: negative count");
        if (count > m_nDataLength) count = m_nDataLength;
        return CXTString(m_pchData + m_nDataLength - count, count);
    }

    // --- Case and blanks ------------------------------------------------------------------------

    CXTString& MakeUpper() noexcept {
        for (int i = 0; i < m_nDataLength; ++i) m_pchData[i] = xCharToUpper(m_pchData[i]);
        return *this;
    }
    CXTString& MakeLower() noexcept {
        for (int i = 0; i < m_nDataLength; ++i) m_pchData[i] = xCharToLower(m_pchData[i]);
        return *this;
    }

    // Without argument the blanks of xIsSpace are removed; otherwise `ch` or the characters of
    // `charSet`.
    CXTString& TrimLeft() noexcept {
        return TrimLeftIf([](T c) { return xIsSpace(c); });
    }
    CXTString& TrimLeft(T ch) noexcept {
        return TrimLeftIf([ch](T c) { return c == ch; });
    }
    CXTString& TrimLeft(const T* charSet) noexcept {
        return TrimLeftIf([charSet](T c) { return InSet(charSet, c); });
    }
    CXTString& TrimRight() noexcept {
        return TrimRightIf([](T c) { return xIsSpace(c); });
    }
    CXTString& TrimRight(T ch) noexcept {
        return TrimRightIf([ch](T c) { return c == ch; });
    }
    CXTString& TrimRight(const T* charSet) noexcept {
        return TrimRightIf([charSet](T c) { return InSet(charSet, c); });
    }
    CXTString& Trim() noexcept { return TrimRight().TrimLeft(); }
    CXTString& Trim(T ch) noexcept { return TrimRight(ch).TrimLeft(ch); }
    CXTString& Trim(const T* charSet) noexcept { return TrimRight(charSet).TrimLeft(charSet); }

    // --- Direct buffer access -------------------------------------------------------------------

    // Returns the writable buffer with room for at least `minLength` characters plus the
    // terminator (growing by the growth rule for the new length `minLength`); the content is kept.
    // Call ReleaseBuffer before using any other member.
    T* GetBuffer(int minLength = 0) {
        if (minLength < 0) XThrow<CXInvalidArgException>("CXTString::GetBuffer: negative length");
        EnsureCapacity(minLength);
        return m_pchData;
    }
    // Ends a GetBuffer: the length becomes `newLength`, or with -1 the position of the first zero
    // within the buffer (the capacity less one when there is none). A length that does not fit
    // the buffer raises CXInvalidArgException.
    void ReleaseBuffer(int newLength = -1) {
        if (m_nAllocLength == 0) {
            if (newLength > 0) XThrow<CXInvalidArgException>("CXTString::ReleaseBuffer: length beyond the buffer");
            return;
        }
        if (newLength == -1) {
            newLength = 0;
            while (newLength < m_nAllocLength - 1 && m_pchData[newLength]) ++newLength;
        } else if (newLength < 0 || newLength >= m_nAllocLength) {
            XThrow<CXInvalidArgException>("CXTString::ReleaseBuffer: length beyond the buffer");
        }
        Truncate(newLength);
    }
    // Makes room for `length` characters (by the growth rule) without changing the content.
    void Preallocate(int length) {
        if (length < 0) XThrow<CXInvalidArgException>("CXTString::Preallocate: negative length");
        EnsureCapacity(length);
    }

    // --- Formatting (see xStringFormatV) --------------------------------------------------------

    int FormatV(const T* format, va_list args) { return xStringFormatV(*this, false, format, args); }
    int AppendFormatV(const T* format, va_list args) { return xStringFormatV(*this, true, format, args); }
    int Format(const T* format, ...) {
        va_list args;
        va_start(args, format);
        int n = xStringFormatV(*this, false, format, args);
        va_end(args);
        return n;
    }
    int AppendFormat(const T* format, ...) {
        va_list args;
        va_start(args, format);
        int n = xStringFormatV(*this, true, format, args);
        va_end(args);
        return n;
    }

    // --- Persistence ----------------------------------------------------------------------------

    // The archive owns the encoding (wide strings travel as UTF-16LE).
    template <class Archive>
    void Serialize(Archive& ar) {
        if (ar.IsStoring())
            ar.WriteString(*this);
        else
            ar.ReadString(*this);
    }

    // --- Shared helpers (also used by the string utilities) ------------------------------------

    // Ordinal comparison of two ranges, optionally through xCharToLower.
    static int CompareUnits(const T* a, int la, const T* b, int lb, bool noCase) noexcept {
        using U = std::make_unsigned_t<T>;
        int n = la < lb ? la : lb;
        for (int i = 0; i < n; ++i) {
            U ca = U(noCase ? xCharToLower(a[i]) : a[i]);
            U cb = U(noCase ? xCharToLower(b[i]) : b[i]);
            if (ca != cb) return ca < cb ? -1 : 1;
        }
        return la == lb ? 0 : (la < lb ? -1 : 1);
    }
    // First index >= start where `pattern` occurs in `text`, or -1. An empty pattern matches at
    // `start` when start <= textLength.
    static int FindUnits(const T* text, int textLength, const T* pattern, int patternLength, int start,
                         bool noCase) noexcept {
        if (start > textLength) return -1;
        if (patternLength == 0) return start;
        for (int i = start; i + patternLength <= textLength; ++i) {
            int k = 0;
            if (noCase) {
                while (k < patternLength && xCharToLower(text[i + k]) == xCharToLower(pattern[k])) ++k;
            } else {
                while (k < patternLength && text[i + k] == pattern[k]) ++k;
            }
            if (k == patternLength) return i;
        }
        return -1;
    }

private:
    // The shared "" of strings without a buffer; read-only (see the class comment).
    static T* EmptyBuffer() noexcept { return const_cast<T*>(s_empty); }
    inline static constexpr T s_empty[1] = {T(0)};

    // Capacity for a new length by the growth rule.
    static int GrowthCapacity(int newLength) {
        if (newLength < 0 || newLength > (INT_MAX - 1) / 2) XThrow<CXMemoryException>("string too long");
        int capacity = 2 * newLength + 1;
        if (capacity < 16) return 16;
        if (capacity < 64) return 64;
        return capacity;
    }
    void EnsureCapacity(int newLength) {
        if (newLength + 1 <= m_nAllocLength) return;
        int capacity = GrowthCapacity(newLength);
        void* p = m_nAllocLength ? xrealloc(m_pchData, size_t(capacity) * sizeof(T)) : xmalloc(size_t(capacity) * sizeof(T));
        if (!p) XThrow<CXMemoryException>();
        if (!m_nAllocLength) static_cast<T*>(p)[0] = T(0);
        m_pchData = static_cast<T*>(p);
        m_nAllocLength = capacity;
    }
    // Sets the length and writes the terminator (the length must fit the buffer).
    void Truncate(int newLength) noexcept {
        m_nDataLength = newLength;
        if (m_nAllocLength) m_pchData[newLength] = T(0);
    }
    static int CheckedSum(int a, int b) {
        if (b > INT_MAX - a) XThrow<CXMemoryException>("string too long");
        return a + b;
    }
    // Length of `text` for a length argument: -1 means up to the terminator.
    static int ResolveLength(const T* text, int length) {
        if (length < -1) XThrow<CXInvalidArgException>("CXTString: negative length");
        if (!text) {
            if (length > 0) XThrow<CXInvalidArgException>("CXTString: null text with a length");
            return 0;
        }
        if (length >= 0) return length;
        size_t n = xStrLen(text);
        if (n > size_t(INT_MAX)) XThrow<CXMemoryException>("string too long");
        return int(n);
    }
    // Offset of `p` in this string's own buffer, or -1 when it points elsewhere.
    ptrdiff_t OffsetInBuffer(const T* p) const noexcept {
        if (!p || !m_nAllocLength) return -1;
        std::less<const T*> before;
        if (before(p, m_pchData) || !before(p, m_pchData + m_nAllocLength)) return -1;
        return p - m_pchData;
    }
    void CheckIndex(int index) const {
        if (index < 0 || index >= m_nDataLength) XThrow<CXInvalidArgException>("CXTString: index out of range");
    }
    static void CheckStart(int start) {
        if (start < 0) XThrow<CXInvalidArgException>("CXTString: negative start index");
    }
    static bool InSet(const T* charSet, T c) noexcept {
        if (!charSet) return false;
        for (; *charSet; ++charSet)
            if (*charSet == c) return true;
        return false;
    }

    void SetConverted(const YCHAR* text, int length) {
        if (length < -1) XThrow<CXInvalidArgException>("CXTString: negative length");
        if (!text && length > 0) XThrow<CXInvalidArgException>("CXTString: null text with a length");
        size_t n = length == -1 ? xStrLen(text) : size_t(length);
        size_t converted = xTranscode(text, n, static_cast<T*>(nullptr));
        if (converted > size_t(INT_MAX)) XThrow<CXMemoryException>("string too long");
        if (converted == 0) {
            Truncate(0);
            return;
        }
        EnsureCapacity(int(converted));
        xTranscode(text, n, m_pchData);
        Truncate(int(converted));
    }
    void SetRepeated(T ch, int repeat) {
        if (repeat < 0) XThrow<CXInvalidArgException>("CXTString: negative repeat count");
        if (repeat == 0) {
            Truncate(0);
            return;
        }
        EnsureCapacity(repeat);
        for (int i = 0; i < repeat; ++i) m_pchData[i] = ch;
        Truncate(repeat);
    }
    static CXTString Concat(const T* a, int la, const T* b, int lb) {
        CXTString result;
        int n = CheckedSum(la, lb);
        result.EnsureCapacity(n);
        if (la > 0) std::memcpy(result.m_pchData, a, size_t(la) * sizeof(T));
        if (lb > 0) std::memcpy(result.m_pchData + la, b, size_t(lb) * sizeof(T));
        result.Truncate(n);
        return result;
    }
    // `text` must not point into this string.
    int InsertUnits(int index, const T* text, int n) {
        if (index < 0) XThrow<CXInvalidArgException>("CXTString::Insert: negative index");
        if (index > m_nDataLength) index = m_nDataLength;
        if (n == 0) return m_nDataLength;
        int newLength = CheckedSum(m_nDataLength, n);
        EnsureCapacity(newLength);
        std::memmove(m_pchData + index + n, m_pchData + index, size_t(m_nDataLength - index) * sizeof(T));
        std::memcpy(m_pchData + index, text, size_t(n) * sizeof(T));
        Truncate(newLength);
        return m_nDataLength;
    }
    template <class Pred>
    CXTString& TrimLeftIf(Pred pred) noexcept {
        int first = 0;
        while (first < m_nDataLength && pred(m_pchData[first])) ++first;
        if (first) {
            std::memmove(m_pchData, m_pchData + first, size_t(m_nDataLength - first) * sizeof(T));
            Truncate(m_nDataLength - first);
        }
        return *this;
    }
    template <class Pred>
    CXTString& TrimRightIf(Pred pred) noexcept {
        int end = m_nDataLength;
        while (end > 0 && pred(m_pchData[end - 1])) --end;
        if (end != m_nDataLength) Truncate(end);
        return *this;
    }

    T* m_pchData;
    int m_nDataLength;
    int m_nAllocLength;
};

template <class T>
int CXTString<T>::Replace(const T* oldText, const T* newText) {
    int oldLength = int(xStrLen(oldText));
    if (oldLength == 0 || m_nDataLength == 0) return 0;
    if (OffsetInBuffer(oldText) >= 0 || OffsetInBuffer(newText) >= 0) {
        // The patterns would be overwritten while the result is built: work from copies.
        CXTString oldCopy(oldText, oldLength), newCopy(newText);
        return Replace(oldCopy.m_pchData, newCopy.m_pchData);
    }
    int newTextLength = int(xStrLen(newText));
    int count = 0;
    for (int i = FindUnits(m_pchData, m_nDataLength, oldText, oldLength, 0, false); i >= 0;
         i = FindUnits(m_pchData, m_nDataLength, oldText, oldLength, i + oldLength, false))
        ++count;
    if (count == 0) return 0;

    int64_t resultLength = int64_t(m_nDataLength) + int64_t(count) * (newTextLength - oldLength);
    if (resultLength > INT_MAX) XThrow<CXMemoryException>("string too long");
    int newLength = int(resultLength);
    int length = m_nDataLength;
    // Build in place: when the result is longer, the source is first moved to the end of the
    // buffer, so that the write position never overtakes the unread part.
    int shift = newLength > length ? newLength - length : 0;
    EnsureCapacity(newLength);
    if (shift) std::memmove(m_pchData + shift, m_pchData, size_t(length) * sizeof(T));
    const T* src = m_pchData + shift;
    int w = 0;
    int r = 0;
    while (r < length) {
        int next = FindUnits(src, length, oldText, oldLength, r, false);
        int literal = (next < 0 ? length : next) - r;
        std::memmove(m_pchData + w, src + r, size_t(literal) * sizeof(T));
        w += literal;
        r += literal;
        if (next < 0) break;
        if (newTextLength) std::memcpy(m_pchData + w, newText, size_t(newTextLength) * sizeof(T));
        w += newTextLength;
        r += oldLength;
    }
    Truncate(newLength);
    return count;
}

// Hash-container policy for string keys compared without case (CHashMethods<CXTString<T>>, the
// exact policy, comes with the hash containers): hashes and compares through xCharToLower, so
// "Abc" and "aBC" are one key.
template <class T>
struct CHashMethodsNoCase {
    static unsigned Hash(const CXTString<T>& key) {
        using U = std::make_unsigned_t<T>;
        uint32_t h = 2166136261u;
        for (int i = 0; i < key.GetLength(); ++i) {
            h ^= uint32_t(U(xCharToLower(key.GetString()[i])));
            h *= 16777619u;
        }
        return h;
    }
    static bool Equal(const CXTString<T>& a, const CXTString<T>& b) { return a.CompareNoCase(b) == 0; }
};

// ---------------------------------------------------------------------------------------------
// String utilities (wide text; the comparison and search functions also take narrow text).
// A null text pointer is taken as "".
// ---------------------------------------------------------------------------------------------

// Orders of SortStringArray. Bit 0 selects descending order.
enum _CompareStringsEnum : int {
    COMPARE_STRINGS_CASE = 0,                // ordinal: code points compared as numbers
    COMPARE_STRINGS_CASE_DESCENDING = 1,
    COMPARE_STRINGS_NOCASE = 2,              // ordinal after xCharToLower
    COMPARE_STRINGS_NOCASE_DESCENDING = 3,
    COMPARE_STRINGS_NATURAL = 4,             // StringCompareNatural without case: "file2" < "file10"
    COMPARE_STRINGS_NATURAL_DESCENDING = 5,
};

// Ordinal comparison; `caseSensitive` false compares through xCharToLower. Returns <0, 0 or >0.
KESTOVAR_API int StringCompare(const wchar_t* a, const wchar_t* b, bool caseSensitive = true);
KESTOVAR_API int StringCompare(const char* a, const char* b, bool caseSensitive = true);

// Natural ("logical") order: runs of ASCII digits compare by their numeric value (of any length,
// leading zeros ignored), other characters ordinally (through xCharToLower unless
// `caseSensitive`). Strings that differ only in leading zeros compare equal.
KESTOVAR_API int StringCompareNatural(const wchar_t* a, const wchar_t* b, bool caseSensitive = false);

// Index of the first occurrence of `pattern` in `text` at or after `start`, or -1. An empty pattern
// matches at `start` when start <= the text length. `caseSensitive` false matches through
// xCharToLower. A negative `start` raises CXInvalidArgException.
KESTOVAR_API int StringFind(const wchar_t* text, const wchar_t* pattern, int start = 0, bool caseSensitive = true);
KESTOVAR_API int StringFind(const char* text, const char* pattern, int start = 0, bool caseSensitive = true);
// StringFind with the opposite default: the case is ignored unless `ignoreCase` is false.
KESTOVAR_API int StringFindNoCase(const wchar_t* text, const wchar_t* pattern, int start = 0, bool ignoreCase = true);
KESTOVAR_API int StringFindNoCase(const char* text, const char* pattern, int start = 0, bool ignoreCase = true);

// Removes every non-overlapping occurrence of `pattern` (scanning from the start, case ignored).
// Returns the number of occurrences removed.
KESTOVAR_API int StringRemoveNoCase(CXStringW& text, const wchar_t* pattern);

// Upper-cases the first character of every word; with `lowerOthers`, lower-cases the rest of each
// word. Words are separated by blanks, U+00A0 and ASCII punctuation other than the apostrophe (so
// "o'neil" gives "O'neil"). Returns `text`.
KESTOVAR_API CXStringW& CapitalizeText(CXStringW& text, bool lowerOthers = false);

// Sorts in place. Strings equal under the chosen order (for example "A" and "a" without case) are
// ordered ordinally among themselves, so the result does not depend on the input order. An order
// outside _CompareStringsEnum raises CXInvalidArgException.
KESTOVAR_API void SortStringArray(CXArray<CXStringW>& strings, _CompareStringsEnum order);

// Index of the first element at or after `start` equal to `text`, or -1.
KESTOVAR_API int FindInStringArray(const CXArray<CXStringW>& strings, const wchar_t* text, bool caseSensitive = true,
                                   int start = 0);

// Field `index` (from 0) of `text` split at every `separator`: "a,,b" has the fields "a", "" and
// "b". Returns false (and empties `field`) when the text has fewer fields. A negative index raises
// CXInvalidArgException.
KESTOVAR_API bool ExtractString(CXStringW& field, const wchar_t* text, int index, wchar_t separator = L',');

// Copies `source` into `target` (replacing its content, or after it when `append` is set). Returns
// the size of `target`.
KESTOVAR_API int CopyStringArray(CXArray<CXStringW>& target, const CXArray<CXStringW>& source, bool append = false);

// ---------------------------------------------------------------------------------------------
// Conversion classes: each converts its argument once on construction and owns the result (an
// xmalloc'd, zero-terminated buffer, never null; a null argument gives ""). Exactly `length`
// code units are read (-1: up to the terminator); invalid input becomes U+FFFD as described above.
// ---------------------------------------------------------------------------------------------

template <class T>
class CXConvertedText : public CXAllocated {
public:
    ~CXConvertedText() { xfree(m_buffer); }
    CXConvertedText(const CXConvertedText&) = delete;
    CXConvertedText& operator=(const CXConvertedText&) = delete;

    operator const T*() const noexcept { return m_buffer; }
    const T* GetString() const noexcept { return m_buffer; }
    // Length of the result in code units, terminator excluded.
    int GetLength() const noexcept { return m_length; }

protected:
    CXConvertedText() = default;
    // Allocates the result for `length` code units plus the terminator and terminates it.
    T* Allocate(size_t length) {
        if (length > size_t(INT_MAX) - 1) XThrow<CXMemoryException>("text too long");
        m_buffer = static_cast<T*>(xmalloc((length + 1) * sizeof(T)));
        if (!m_buffer) XThrow<CXMemoryException>();
        m_buffer[length] = T(0);
        m_length = int(length);
        return m_buffer;
    }

    T* m_buffer = nullptr;
    int m_length = 0;
};

// UTF-8 (narrow) to wide (UTF-32).
class KESTOVAR_API XCA2W : public CXConvertedText<wchar_t> {
public:
    explicit XCA2W(const char* text, int length = -1);
};

// Wide (UTF-32) to UTF-8 (narrow).
class KESTOVAR_API XCW2A : public CXConvertedText<char> {
public:
    explicit XCW2A(const wchar_t* text, int length = -1);
};

class KESTOVAR_API xUTF8ToUTF16 : public CXConvertedText<char16_t> {
public:
    explicit xUTF8ToUTF16(const char* text, int length = -1);
};

class KESTOVAR_API xUTF16ToUTF32 : public CXConvertedText<wchar_t> {
public:
    explicit xUTF16ToUTF32(const char16_t* text, int length = -1);
};

class KESTOVAR_API xUTF32ToUTF16 : public CXConvertedText<char16_t> {
public:
    explicit xUTF32ToUTF16(const wchar_t* text, int length = -1);
};

}  // namespace kestovar
