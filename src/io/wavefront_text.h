// Text plumbing shared by the Wavefront OBJ and MTL reader and writer: a line source over a file
// (read in blocks, so that a large file never sits in memory whole) or a memory block, number
// parsing with std::from_chars, "%f"-exact number formatting with std::to_chars, and the guard of
// the entry points that turns file and memory exceptions into result codes.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#include "kestovar/core/exception.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/xstring.h"
#include "kestovar/platform/file.h"

namespace kestovar {

class C3DMaterial;
class C3DScene;

namespace wavefront {

// Text that ends a line as written: a final backslash gets a blank after it, so that readers do
// not join the next line to this one (they trim the blank off a name).
inline void KeepLineEnd(CXStringA& line) {
    if (line.GetLength() > 0 && line[line.GetLength() - 1] == '\\') line += ' ';
}

// A name from another format (a node, a material, a texture file) as UTF-8 for the rest of one
// line of text: its line breaks become '_', so that it can neither end the line early nor add
// lines of its own, and it keeps its line end (KeepLineEnd).
inline CXStringA OneLineText(const wchar_t* text) {
    const XCW2A utf8(text);
    CXStringA line(utf8.GetString(), utf8.GetLength());
    for (int k = 0; k < line.GetLength(); ++k)
        if (line[k] == '\n' || line[k] == '\r') line.SetAt(k, '_');
    KeepLineEnd(line);
    return line;
}

// A name read from OBJ or MTL text (a group, an object, a material) as wide text: UTF-8 when its
// bytes are UTF-8, else Windows-1252, the code page of the Windows exporters that write names such
// as "Terraind\xE6k", so that names stay readable and distinct ("T\xFCr" and "T\xE4r" are two)
// instead of all turning into U+FFFD. File names stay UTF-8, as on disk.
CXStringW DecodeName(const char* text, int length);

// Space, tab and every other control character separate tokens (a stray NUL or form feed in a
// line is taken as a blank rather than as part of a number).
inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
inline char ToLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

inline const char* SkipBlanks(const char* p, const char* end) {
    while (p < end && IsBlank(*p)) ++p;
    return p;
}
inline const char* SkipToken(const char* p, const char* end) {
    while (p < end && !IsBlank(*p)) ++p;
    return p;
}
// [begin, end) without leading and trailing blanks.
inline void Trim(const char*& begin, const char*& end) {
    begin = SkipBlanks(begin, end);
    while (end > begin && IsBlank(end[-1])) --end;
}
// Whether the line starts with `keyword` (compared without regard to case) followed by a blank or
// the end of the line; `rest` then points after the keyword.
inline bool MatchKeyword(const char* p, const char* end, const char* keyword, const char*& rest) {
    size_t n = std::strlen(keyword);
    if (size_t(end - p) < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (ToLower(p[i]) != keyword[i]) return false;
    if (p + n < end && !IsBlank(p[n])) return false;
    rest = p + n;
    return true;
}

// Reads one float after optional blanks, as "%f" would: a leading '+' is accepted, values beyond
// the float range become infinities (or zero), "inf" and "nan" are accepted. Returns the position
// after the number, or null when no number starts there.
inline const char* ParseFloat(const char* p, const char* end, float& value) {
    p = SkipBlanks(p, end);
    // from_chars refuses the '+' that "%f" accepts.
    if (p < end && *p == '+') ++p;
    std::from_chars_result r = std::from_chars(p, end, value);
    if (r.ec == std::errc()) return r.ptr;
    if (r.ec != std::errc::result_out_of_range) return nullptr;
    // Beyond the float range: as "%f", an infinity or a zero of the right sign.
    double wide = 0.0;
    r = std::from_chars(p, end, wide);
    if (r.ptr == p) return nullptr;
    value = float(wide);
    return r.ptr;
}

// Reads one decimal integer after optional blanks ("%d"), with an optional sign; a number beyond
// the int range reads as INT_MAX (INT_MIN when negative). Null when no number starts there.
inline const char* ParseInt(const char* p, const char* end, int& value) {
    p = SkipBlanks(p, end);
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    if (p >= end || unsigned(*p - '0') > 9u) return nullptr;
    // Face lines are mostly indices: a digit loop beats the general conversion. Digits beyond
    // the int range keep the magnitude pinned above it.
    int64_t magnitude = 0;
    do {
        magnitude = magnitude * 10 + (*p++ - '0');
        if (magnitude > int64_t(1) << 32) magnitude = int64_t(1) << 32;
    } while (p < end && unsigned(*p - '0') <= 9u);
    if (negative)
        value = magnitude > -int64_t(std::numeric_limits<int>::min()) ? std::numeric_limits<int>::min() : int(-magnitude);
    else
        value = magnitude > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(magnitude);
    return p;
}

// "%f" of `value` (promoted to double) at `out`: std::to_chars in fixed notation with precision
// 6 is correctly rounded exactly as glibc's printf, including "-0.000000", "inf" and "nan".
// `out` needs room for 360 characters (the longest float). Returns the end of the text.
inline char* FormatFloat(char* out, float value) {
    return std::to_chars(out, out + 360, double(value), std::chars_format::fixed, 6).ptr;
}
inline char* FormatInt(char* out, int value) { return std::to_chars(out, out + 16, value).ptr; }

// Text output into one large buffer that goes to the file whenever it fills, so that formatting
// never waits on the file and the file sees few, large writes.
class CTextWriter {
public:
    static constexpr size_t kBufferBytes = size_t(1) << 20;
    // The longest single item Reserve may ask for (a float's "%f" text is at most 360 bytes).
    static constexpr size_t kMaxItemBytes = 4096;

    explicit CTextWriter(CXFile& file);
    ~CTextWriter();
    CTextWriter(const CTextWriter&) = delete;
    CTextWriter& operator=(const CTextWriter&) = delete;

    // Room for `bytes` (at most kMaxItemBytes) characters at the returned position; Commit the
    // end of what was written there.
    char* Reserve(size_t bytes) {
        if (m_used + bytes > kBufferBytes) Flush();
        return m_buffer + m_used;
    }
    void Commit(char* end) { m_used = size_t(end - m_buffer); }
    // Any length.
    void Put(const char* text, size_t length);
    void Put(const char* text) { Put(text, std::strlen(text)); }
    // Writes the buffered text to the file (raises as CXFile::Write does).
    void Flush();

private:
    CXFile& m_file;
    char* m_buffer;
    size_t m_used;
};

// The IO_FILE_RESULT of a file exception raised while reading or writing: IO_FILE_DISK_FULL,
// IO_FILE_ACCESS_DENIED, else IO_FILE_CANT_OPEN.
inline int ResultOf(const CXFileException* e) {
    if (e->m_cause == CXFileException::diskFull) return -6;
    if (e->m_cause == CXFileException::accessDenied) return -7;
    return -1;
}

// Runs fn() with numbers in the English format and returns its value. A file or memory exception
// raised on the way is released and gives `failed`, its IO_FILE_RESULT in `result` (that of
// ResultOf, or IO_FILE_NO_MEMORY).
template <class T, class Fn>
T GuardedIo(int& result, T failed, Fn&& fn) {
    CSwitchLocale english;
    try {
        return fn();
    } catch (CXFileException* e) {
        result = ResultOf(e);
    } catch (CXMemoryException*) {
        result = -4;  // IO_FILE_NO_MEMORY
    }
    XDeleteThreadException();
    return failed;
}

// MTL names of a scene's materials, by identifier: the material's name (UTF-8, line breaks turned
// into '_', blanks trimmed), made unique with "_<id>" when two materials share one, and
// "Material<id>" for an empty one.
typedef CHashMap<unsigned int, unsigned int, CXTString<char>> CMtlNameMap;
void BuildMtlNames(const C3DScene& scene, CMtlNameMap& names);
// Writes the MTL text of every material of `scene`, by ascending identifier.
void WriteMtl(CTextWriter& out, C3DScene& scene, const CMtlNameMap& names);

// A scene's materials by name, as a library read finds them: the lowest identifier of a name.
typedef CHashMap<CXStringW, const CXStringW&, C3DMaterial*> CMaterialsByName;
void IndexMaterialsByName(C3DScene& scene, CMaterialsByName& byName);
// CWavefrontIo::ReadMtlFile through an index of the scene's materials that the read keeps up to
// date, so that a reader of many libraries indexes the table once, not once per library.
int ReadMtlFileIndexed(const wchar_t* fileName, C3DScene& scene, unsigned int uvwChannelID,
                       CMaterialsByName& byName);

}  // namespace wavefront
}  // namespace kestovar
