// Lines of OBJ and MTL text: a file or a memory block alike, through one block buffer with a guard
// after the valid bytes, so that the line scanners and number readers of the OBJ reader's hot
// lines may load a few bytes at once and stop at the end of a line without testing for the end of
// the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kestovar/platform/file.h"

namespace kestovar {
namespace wavefront {

// Every line [begin, end) handed out by Next satisfies:
//   - *end is '\n' or '\r' (a '\n' of the guard after a last line without one);
//   - at least kGuardBytes bytes from end on are readable (initialised, inside the buffer).
// A file is read in blocks of kBlockBytes; memory text is copied block by block the same way (so
// that memory text needs no guard of its own). Text starting with a UTF-16 byte-order mark is
// converted to UTF-8 once, in memory; a UTF-8 byte-order mark is skipped. Lines end at '\n'; a
// '\r' before it is dropped; text whose first line ends with a lone '\r' (classic Mac OS) has its
// lines end at '\r' instead. A line longer than the buffer grows it. A line whose last character
// is a backslash goes on in the next line (the backslash and the line end read as blanks), unless
// it is a comment (its first character after blanks is '#'): a comment ending in a folder name
// such as "C:\models\" must not swallow the statement after it.
class CLineSource {
public:
    static constexpr size_t kBlockBytes = size_t(1) << 18;
    static constexpr size_t kGuardBytes = 16;

    CLineSource() = default;
    ~CLineSource();
    CLineSource(const CLineSource&) = delete;
    CLineSource& operator=(const CLineSource&) = delete;

    // Opens `path` (UTF-8); false when it cannot be opened.
    bool OpenFile(const char* path);
    // Reads `size` bytes at `data`, which must outlive the source.
    void OpenMemory(const void* data, size_t size);
    // Back to the first line.
    void Rewind();

    // The next line as [begin, end), without its terminator. False at the end of the text.
    bool Next(const char*& begin, const char*& end) {
        if (m_begin < m_end) {
            const char* p = m_buffer + m_begin;
            const char* nl = static_cast<const char*>(std::memchr(p, m_terminator, m_end - m_begin));
            if (nl) {
                const char* e = nl > p && nl[-1] == '\r' ? nl - 1 : nl;
                if (!(e > p && e[-1] == '\\')) {
                    m_begin = size_t(nl - m_buffer) + 1;
                    m_lineNumber = m_nextLine++;
                    begin = p;
                    end = e;
                    return true;
                }
            }
        }
        return NextSlow(begin, end);
    }
    // 1-based number, in the text, of the first line of the line Next handed out last.
    int LineNumber() const { return m_lineNumber; }
    // Bytes of the text taken into the buffer since the last Rewind, and the text's whole size
    // (0 when unknown): together, how far a pass has come, to within one block.
    uint64_t GetLoadedBytes() const { return m_loaded; }
    uint64_t GetTextBytes() const { return m_fromFile ? m_fileBytes : uint64_t(m_memorySize); }

private:
    // Next when the buffer holds no whole line: reads more, or hands out the last line.
    bool NextSlow(const char*& begin, const char*& end);
    // Moves the unread bytes to the front and reads more; false when nothing more can be read.
    bool Fill();
    // Up to `room` more bytes of the text at `to`; 0 at its end.
    size_t ReadText(char* to, size_t room);
    // Converts UTF-16 text (big-endian when `bigEndian`) after its mark into m_owned.
    void TakeUTF16(const uint8_t* bytes, size_t size, bool bigEndian);

    CXFile m_file;
    bool m_fromFile = false;
    bool m_eof = true;
    const char* m_memory = nullptr;  // memory text (the caller's or m_owned)
    size_t m_memorySize = 0;
    size_t m_memoryRead = 0;  // bytes of the memory text copied into the buffer
    char* m_owned = nullptr;  // converted text, xmalloc'ed
    char* m_buffer = nullptr; // m_capacity + kGuardBytes bytes, xmalloc'ed
    size_t m_capacity = 0;
    size_t m_begin = 0;       // first unread byte of the buffer
    size_t m_end = 0;         // end of the valid bytes of the buffer
    char m_terminator = '\n'; // what ends a line: '\n', or '\r' in classic Mac OS text
    int m_lineNumber = 0;     // see LineNumber
    int m_nextLine = 1;       // number of the first line not handed out yet
    uint64_t m_loaded = 0;    // see GetLoadedBytes
    uint64_t m_fileBytes = 0;  // the file's length when opened
};

}  // namespace wavefront
}  // namespace kestovar
