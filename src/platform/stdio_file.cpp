#include "kestovar/platform/stdio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace kestovar {

KX_IMPLEMENT_DYNAMIC(CXStdioFile, CXObject)
KX_IMPLEMENT_DYNAMIC(CStdioFileEx, CXStdioFile)

// ---- CXStdioFile -----------------------------------------------------------------------------------

CXStdioFile::~CXStdioFile() { Close(); }

bool CXStdioFile::Open(const char* path, unsigned flags) {
    Close();
    if (!path || !*path) return false;
    int oflags = O_CLOEXEC;
    const char* mode;
    switch (flags & 3u) {
        case modeRead:
            oflags |= O_RDONLY;
            mode = "rb";
            break;
        case modeWrite:
            oflags |= O_WRONLY;
            mode = "wb";  // fdopen never truncates; O_TRUNC below decides
            break;
        case modeReadWrite:
            oflags |= O_RDWR;
            mode = "r+b";
            break;
        default:
            return false;
    }
    if (flags & modeCreate) {
        oflags |= O_CREAT;
        if (!(flags & modeNoTruncate)) oflags |= O_TRUNC;
    }
    int fd = ::open(path, oflags, 0666);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    FILE* stream = ::fdopen(fd, mode);
    if (!stream) {
        ::close(fd);
        return false;
    }
    m_stream = stream;
    m_path = path;
    return true;
}

bool CXStdioFile::Open(const wchar_t* path, unsigned flags) {
    if (!path) return false;
    XCW2A narrow(path);
    return Open(narrow.GetString(), flags);
}

bool CXStdioFile::Close() {
    if (!m_stream) return true;
    bool ok = std::fclose(m_stream) == 0;
    m_stream = nullptr;
    m_path.Empty();
    return ok;
}

bool CXStdioFile::Flush() { return m_stream && std::fflush(m_stream) == 0; }

bool CXStdioFile::WriteString(const char* text) {
    if (!m_stream) return false;
    if (!text || !*text) return true;
    size_t n = std::strlen(text);
    return std::fwrite(text, 1, n, m_stream) == n;
}

bool CXStdioFile::WriteString(const wchar_t* text) {
    if (!m_stream) return false;
    if (!text || !*text) return true;
    XCW2A utf8(text);
    return std::fwrite(utf8.GetString(), 1, size_t(utf8.GetLength()), m_stream) == size_t(utf8.GetLength());
}

int CXStdioFile::Printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = VPrintf(format, args);
    va_end(args);
    return n;
}

int CXStdioFile::VPrintf(const char* format, va_list args) {
    if (!m_stream || !format) return -1;
    return std::vfprintf(m_stream, format, args);
}

bool CXStdioFile::ReadRawLine(CXTString<char>& line) {
    line.Empty();
    if (!m_stream) return false;
    // Bytes are gathered in a small stack chunk and appended in blocks, so a line costs at most a
    // few string growths and no per-byte call into the string.
    char chunk[256];
    int n = 0;
    bool any = false;
    int c;
    flockfile(m_stream);
    while ((c = getc_unlocked(m_stream)) != EOF) {
        any = true;
        if (c == '\n') break;
        chunk[n++] = char(c);
        if (n == int(sizeof(chunk))) {
            line.Append(chunk, n);
            n = 0;
        }
    }
    funlockfile(m_stream);
    if (n) line.Append(chunk, n);
    if (!any) return false;
    int length = line.GetLength();
    if (length > 0 && line[length - 1] == '\r') line.Delete(length - 1, 1);
    return true;
}

bool CXStdioFile::ReadString(CXTString<char>& line) { return ReadRawLine(line); }

bool CXStdioFile::ReadString(CXTString<wchar_t>& line) {
    CXTString<char> raw;
    if (!ReadRawLine(raw)) {
        line.Empty();
        return false;
    }
    line = CXTString<wchar_t>(raw.GetString(), raw.GetLength());
    return true;
}

size_t CXStdioFile::Read(void* buffer, size_t count) {
    if (!m_stream || !buffer) return 0;
    return std::fread(buffer, 1, count, m_stream);
}

size_t CXStdioFile::Write(const void* buffer, size_t count) {
    if (!m_stream || !buffer) return 0;
    return std::fwrite(buffer, 1, count, m_stream);
}

uint64_t CXStdioFile::SeekToEnd() {
    if (!m_stream || ::fseeko(m_stream, 0, SEEK_END) != 0) return uint64_t(-1);
    return GetPosition();
}

uint64_t CXStdioFile::SeekToBegin() {
    if (!m_stream || ::fseeko(m_stream, 0, SEEK_SET) != 0) return uint64_t(-1);
    return 0;
}

uint64_t CXStdioFile::GetPosition() const {
    if (!m_stream) return uint64_t(-1);
    off_t p = ::ftello(m_stream);
    return p < 0 ? uint64_t(-1) : uint64_t(p);
}

uint64_t CXStdioFile::GetLength() const {
    if (!m_stream) return uint64_t(-1);
    // Buffered bytes not yet written count too: flush before asking the system.
    std::fflush(m_stream);
    struct stat st;
    if (::fstat(::fileno(m_stream), &st) != 0) return uint64_t(-1);
    return uint64_t(st.st_size);
}

// ---- CStdioFileEx ----------------------------------------------------------------------------------

namespace {

// The encoding announced by the first bytes, and the mark's length (0: no mark, UTF-8).
CStdioFileEx::Encoding DetectMark(const uint8_t* bytes, size_t count, int& markLength) {
    markLength = 0;
    if (count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        markLength = 3;
        return CStdioFileEx::ENCODING_UTF8_BOM;
    }
    if (count >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        markLength = 2;
        return CStdioFileEx::ENCODING_UTF16LE;
    }
    if (count >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        markLength = 2;
        return CStdioFileEx::ENCODING_UTF16BE;
    }
    return CStdioFileEx::ENCODING_UTF8;
}

// Reads the first bytes of `path` through a separate read-only stream.
size_t PeekStart(const char* path, uint8_t* bytes, size_t count) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = ::pread(fd, bytes, count, 0);
    ::close(fd);
    return n > 0 ? size_t(n) : 0;
}

}  // namespace

bool CStdioFileEx::OpenEx(const char* path, unsigned flags, Encoding encoding) {
    m_encoding = ENCODING_UTF8;
    if (!CXStdioFile::Open(path, flags)) return false;
    if (GetLength() == 0) {
        // A new (or empty) file takes the requested encoding and its mark, when it may be written.
        if ((flags & 3u) == modeRead) return true;
        static const uint8_t marks[4][3] = {{0, 0, 0}, {0xEF, 0xBB, 0xBF}, {0xFF, 0xFE, 0}, {0xFE, 0xFF, 0}};
        static const size_t markLengths[4] = {0, 3, 2, 2};
        int e = int(encoding) >= 0 && int(encoding) <= 3 ? int(encoding) : 0;
        m_encoding = Encoding(e);
        if (markLengths[e] && Write(marks[e], markLengths[e]) != markLengths[e]) {
            Close();
            return false;
        }
        return true;
    }
    uint8_t start[3];
    size_t got;
    if ((flags & 3u) == modeWrite) {
        got = PeekStart(path, start, sizeof(start));
    } else {
        got = Read(start, sizeof(start));
    }
    int markLength = 0;
    m_encoding = DetectMark(start, got, markLength);
    if ((flags & 3u) != modeWrite) ::fseeko(m_stream, markLength, SEEK_SET);
    return true;
}

bool CStdioFileEx::OpenEx(const wchar_t* path, unsigned flags, Encoding encoding) {
    if (!path) return false;
    XCW2A narrow(path);
    return OpenEx(narrow.GetString(), flags, encoding);
}

bool CStdioFileEx::WriteUTF16(const wchar_t* text, size_t length) {
    // Slices of 128 characters give at most 256 units (512 bytes): no allocation per call.
    const bool bigEndian = m_encoding == ENCODING_UTF16BE;
    char16_t units[256];
    uint8_t bytes[512];
    while (length > 0) {
        size_t slice = length < 128 ? length : 128;
        size_t n = xConvertUTF32ToUTF16(text, slice, units);
        for (size_t i = 0; i < n; ++i) {
            uint8_t lo = uint8_t(units[i] & 0xFF), hi = uint8_t(units[i] >> 8);
            bytes[2 * i] = bigEndian ? hi : lo;
            bytes[2 * i + 1] = bigEndian ? lo : hi;
        }
        if (Write(bytes, 2 * n) != 2 * n) return false;
        text += slice;
        length -= slice;
    }
    return true;
}

bool CStdioFileEx::WriteString(const char* text) {
    if (!IsUTF16()) return CXStdioFile::WriteString(text);
    if (!m_stream) return false;
    if (!text || !*text) return true;
    XCA2W wide(text);
    return WriteUTF16(wide.GetString(), size_t(wide.GetLength()));
}

bool CStdioFileEx::WriteString(const wchar_t* text) {
    if (!IsUTF16()) return CXStdioFile::WriteString(text);
    if (!m_stream) return false;
    if (!text || !*text) return true;
    return WriteUTF16(text, xStrLen(text));
}

bool CStdioFileEx::ReadUTF16Line(CXTString<wchar_t>& line) {
    line.Empty();
    if (!m_stream) return false;
    const bool bigEndian = m_encoding == ENCODING_UTF16BE;
    char16_t units[256];
    wchar_t converted[256];
    size_t n = 0;
    bool any = false;
    bool oddByte = false;
    auto flush = [&](size_t count) {
        size_t m = xConvertUTF16ToUTF32(units, count, converted);
        line.Append(converted, int(m));
    };
    for (;;) {
        uint8_t b[2];
        size_t got = std::fread(b, 1, 2, m_stream);
        if (got == 0) break;
        any = true;
        if (got == 1) {
            oddByte = true;
            break;
        }
        char16_t u = bigEndian ? char16_t(b[0] << 8 | b[1]) : char16_t(b[1] << 8 | b[0]);
        if (u == u'\n') break;
        units[n++] = u;
        if (n == 256) {
            // Keep a trailing high surrogate with its partner in the next slice.
            bool high = units[255] >= 0xD800 && units[255] <= 0xDBFF;
            flush(high ? 255 : 256);
            if (high) {
                units[0] = units[255];
                n = 1;
            } else {
                n = 0;
            }
        }
    }
    if (n) flush(n);
    if (oddByte) line.AppendChar(wchar_t(kReplacementCharacter));
    if (!any) return false;
    int length = line.GetLength();
    if (length > 0 && line[length - 1] == L'\r') line.Delete(length - 1, 1);
    return true;
}

bool CStdioFileEx::ReadString(CXTString<wchar_t>& line) {
    if (!IsUTF16()) return CXStdioFile::ReadString(line);
    return ReadUTF16Line(line);
}

bool CStdioFileEx::ReadString(CXTString<char>& line) {
    if (!IsUTF16()) return CXStdioFile::ReadString(line);
    CXTString<wchar_t> wide;
    bool ok = ReadUTF16Line(wide);
    line = CXTString<char>(wide.GetString(), wide.GetLength());
    return ok;
}

}  // namespace kestovar
