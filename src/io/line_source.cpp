// Lines of OBJ and MTL text, from a file or memory, through one guarded block buffer (see
// line_source.h).
#include "io/line_source.h"

#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/xstring.h"

namespace kestovar {
namespace wavefront {

CLineSource::~CLineSource() {
    xfree(m_owned);
    xfree(m_buffer);
}

bool CLineSource::OpenFile(const char* path) {
    if (!m_file.Open(path, CXFile::modeRead | CXFile::typeBinary)) return false;
    // Text is read twice (the OBJ reader counts, then parses) and a device such as /dev/zero, or a
    // pipe, has no end: a file named inside another file ("mtllib /dev/zero") must not hang the
    // reader or fill the memory, so only regular files are read.
    if (!m_file.IsRegularFile()) {
        m_file.Abort();
        return false;
    }
    m_fromFile = true;
    m_fileBytes = m_file.GetLength();
    // A UTF-16 text is converted whole; everything else is read block by block.
    uint8_t mark[2] = {0, 0};
    unsigned n = m_file.Read(mark, 2);
    if (n == 2 && ((mark[0] == 0xFE && mark[1] == 0xFF) || (mark[0] == 0xFF && mark[1] == 0xFE))) {
        const uint64_t length = m_file.GetLength();
        if (length > uint64_t(0x7FFFFFFF)) XThrow<CXMemoryException>("UTF-16 text too long");
        uint8_t* bytes = static_cast<uint8_t*>(xmalloc(size_t(length)));
        if (!bytes) XThrow<CXMemoryException>();
        m_file.Seek(0, CXFile::begin);
        size_t got = 0;
        while (got < length) {
            unsigned r = m_file.Read(bytes + got, unsigned(length - got));
            if (!r) break;
            got += r;
        }
        try {
            TakeUTF16(bytes, got, mark[0] == 0xFE);
        } catch (...) {
            xfree(bytes);
            throw;
        }
        xfree(bytes);
        m_file.Close();
        m_fromFile = false;
    }
    Rewind();
    return true;
}

void CLineSource::TakeUTF16(const uint8_t* bytes, size_t size, bool bigEndian) {
    // Skip the mark; an odd trailing byte is dropped.
    const size_t units = size >= 2 ? (size - 2) / 2 : 0;
    char16_t* text = static_cast<char16_t*>(xmalloc((units + 1) * sizeof(char16_t)));
    if (!text) XThrow<CXMemoryException>();
    for (size_t i = 0; i < units; ++i) {
        const uint8_t a = bytes[2 + 2 * i], b = bytes[3 + 2 * i];
        text[i] = bigEndian ? char16_t((a << 8) | b) : char16_t((b << 8) | a);
    }
    // At most 3 UTF-8 bytes per unit (a surrogate pair gives 4 for 2 units).
    xfree(m_owned);
    m_owned = static_cast<char*>(xmalloc(units * 3 + 1));
    if (!m_owned) {
        xfree(text);
        XThrow<CXMemoryException>();
    }
    m_memorySize = xConvertUTF16ToUTF8(text, units, m_owned);
    xfree(text);
    m_memory = m_owned;
}

void CLineSource::OpenMemory(const void* data, size_t size) {
    m_fromFile = false;
    m_memory = static_cast<const char*>(data);
    m_memorySize = size;
    if (size >= 2) {
        const uint8_t* b = static_cast<const uint8_t*>(data);
        if ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE)) TakeUTF16(b, size, b[0] == 0xFE);
    }
    Rewind();
}

void CLineSource::Rewind() {
    if (!m_buffer) {
        m_capacity = kBlockBytes;
        m_buffer = static_cast<char*>(xmalloc(m_capacity + kGuardBytes));
        if (!m_buffer) XThrow<CXMemoryException>();
    }
    m_begin = m_end = 0;
    m_lineNumber = 0;
    m_nextLine = 1;
    std::memset(m_buffer, '\n', kGuardBytes);
    if (m_fromFile) m_file.Seek(0, CXFile::begin);
    m_memoryRead = 0;
    m_loaded = 0;
    m_eof = false;
    Fill();
    if (m_end - m_begin >= 3 && std::memcmp(m_buffer + m_begin, "\xEF\xBB\xBF", 3) == 0) m_begin += 3;
    // The first line end tells the convention: a '\r' not followed by '\n' is classic Mac OS text.
    m_terminator = '\n';
    for (size_t i = m_begin; i < m_end; ++i) {
        if (m_buffer[i] == '\n') break;
        if (m_buffer[i] == '\r') {
            if (i + 1 < m_end && m_buffer[i + 1] != '\n') m_terminator = '\r';
            break;
        }
    }
}

size_t CLineSource::ReadText(char* to, size_t room) {
    if (m_fromFile) {
        if (room > 0x40000000u) room = 0x40000000u;
        return m_file.Read(to, unsigned(room));
    }
    const size_t n = room < m_memorySize - m_memoryRead ? room : m_memorySize - m_memoryRead;
    std::memcpy(to, m_memory + m_memoryRead, n);
    m_memoryRead += n;
    return n;
}

bool CLineSource::Fill() {
    if (m_eof) return false;
    const size_t pending = m_end - m_begin;
    if (m_begin > 0) {
        std::memmove(m_buffer, m_buffer + m_begin, pending);
        m_begin = 0;
        m_end = pending;
    }
    if (m_end == m_capacity) {
        // One line fills the whole buffer: make room for the rest of it.
        char* grown = static_cast<char*>(xrealloc(m_buffer, m_capacity * 2 + kGuardBytes));
        if (!grown) XThrow<CXMemoryException>();
        m_buffer = grown;
        m_capacity *= 2;
    }
    const size_t got = ReadText(m_buffer + m_end, m_capacity - m_end);
    if (got == 0) m_eof = true;
    m_end += got;
    m_loaded += got;
    // The guard: line ends for a last line without one, readable bytes for the scanners.
    std::memset(m_buffer + m_end, '\n', kGuardBytes);
    return got != 0;
}

namespace {

// Whether the line starting at p is a comment: its first character after blanks is '#'.
bool IsComment(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    return p < end && *p == '#';
}

}  // namespace

bool CLineSource::NextSlow(const char*& begin, const char*& end) {
    // Bytes of the line already scanned (parts joined to the next by a backslash), from m_begin.
    size_t scanned = 0;
    int joined = 0;
    for (;;) {
        if (m_begin + scanned < m_end || (m_eof && scanned > 0)) {
            const char* p = m_buffer + m_begin;
            const char* from = p + scanned;
            const char* nl =
                static_cast<const char*>(std::memchr(from, m_terminator, m_end - m_begin - scanned));
            if (nl || m_eof) {
                // Without a line end, the line ends at the guard's.
                const char* e = nl ? nl : m_buffer + m_end;
                if (e > from && e[-1] == '\r') --e;
                if (e > from && e[-1] == '\\' && !IsComment(p, e)) {
                    // The backslash, a '\r' and the line end become blanks (they are the buffer's
                    // copy of the text), and the line goes on after them.
                    char* c = m_buffer + (e - 1 - m_buffer);
                    const char* last = nl ? nl : e - 1;
                    for (; c <= last; ++c) *c = ' ';
                    if (nl) {
                        scanned = size_t(nl + 1 - p);
                        ++joined;
                        continue;
                    }
                }
                m_begin = size_t((nl ? nl + 1 : m_buffer + m_end) - m_buffer);
                m_lineNumber = m_nextLine;
                m_nextLine += 1 + joined;
                begin = p;
                end = e;
                return true;
            }
        } else if (m_eof) {
            return false;
        }
        if (!Fill() && m_begin + scanned >= m_end && scanned == 0) return false;
    }
}

}  // namespace wavefront
}  // namespace kestovar
