#include "kestovar/platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "core/checked_memory.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

KX_IMPLEMENT_DYNAMIC(CXFile, CXObject)
KX_IMPLEMENT_DYNAMIC(CXMemFile, CXFile)

namespace {

int CauseFromErrno(int error) {
    switch (error) {
        case 0:
            return CXFileException::none;
        case ENOENT:
            return CXFileException::fileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return CXFileException::badPath;
        case EMFILE:
        case ENFILE:
            return CXFileException::tooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
        case EBADF:
            return CXFileException::accessDenied;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return CXFileException::diskFull;
        case EINVAL:
        case ESPIPE:
        case EOVERFLOW:
            return CXFileException::badSeek;
        case EIO:
            return CXFileException::hardIO;
        default:
            return CXFileException::genericException;
    }
}

// Converts a wide (UTF-32) path to an xmalloc'd UTF-8 string. Code points that are not valid
// scalar values become U+FFFD so that the result is always well-formed.
char* WideToUtf8(const wchar_t* text) {
    size_t count = 0;
    while (text[count]) ++count;
    char* out = static_cast<char*>(xmalloc(count * 4 + 1));
    if (!out) XThrow<CXMemoryException>();
    char* p = out;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = uint32_t(text[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            *p++ = char(c);
        } else if (c < 0x800) {
            *p++ = char(0xC0 | (c >> 6));
            *p++ = char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *p++ = char(0xE0 | (c >> 12));
            *p++ = char(0x80 | ((c >> 6) & 0x3F));
            *p++ = char(0x80 | (c & 0x3F));
        } else {
            *p++ = char(0xF0 | (c >> 18));
            *p++ = char(0x80 | ((c >> 12) & 0x3F));
            *p++ = char(0x80 | ((c >> 6) & 0x3F));
            *p++ = char(0x80 | (c & 0x3F));
        }
    }
    *p = 0;
    return out;
}

char* CopyText(const char* text) {
    size_t length = std::strlen(text);
    char* copy = static_cast<char*>(xmalloc(length + 1));
    if (!copy) XThrow<CXMemoryException>();
    std::memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CXFile

CXFile::CXFile() = default;

CXFile::CXFile(const char* path, unsigned flags) {
    CXFileException error;
    if (!Open(path, flags, &error)) XThrow<CXFileException>(error.m_cause, error.m_lOsError, path);
}

CXFile::CXFile(const wchar_t* path, unsigned flags) {
    if (!path) XThrow<CXFileException>(CXFileException::badPath, long(EINVAL), nullptr);
    const detail::HeldBlock<char> narrow(WideToUtf8(path));
    CXFileException error;
    if (!Open(narrow.get(), flags, &error)) XThrow<CXFileException>(error.m_cause, error.m_lOsError, narrow.get());
}

CXFile::~CXFile() {
    if (m_fd >= 0) ::close(m_fd);
    xfree(m_path);
}

bool CXFile::Open(const char* path, unsigned flags, CXFileException* error) {
    Abort();
    if (!path || !*path) {
        if (error) {
            error->m_cause = CXFileException::badPath;
            error->m_lOsError = EINVAL;
        }
        return false;
    }
    int oflags = O_CLOEXEC;
    switch (flags & 3) {
        case modeRead:
            oflags |= O_RDONLY;
            break;
        case modeWrite:
            oflags |= O_WRONLY;
            break;
        default:
            oflags |= O_RDWR;
            break;
    }
    if (flags & modeCreate) {
        oflags |= O_CREAT;
        if (!(flags & modeNoTruncate)) oflags |= O_TRUNC;
    }
    // The path is copied first, so that no descriptor is left open when the copy cannot be made.
    detail::HeldBlock<char> copy(CopyText(path));
    int fd;
    do {
        fd = ::open(path, oflags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int osError = errno;
        if (error) {
            error->m_cause = CauseFromErrno(osError);
            error->m_lOsError = osError;
        }
        return false;
    }
    // Directories open read-only on Linux; as files they are useless, so refuse them here.
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        if (error) {
            error->m_cause = CXFileException::accessDenied;
            error->m_lOsError = EISDIR;
        }
        return false;
    }
    m_fd = fd;
    m_path = copy.release();
    return true;
}

bool CXFile::Open(const wchar_t* path, unsigned flags, CXFileException* error) {
    if (!path) return Open(static_cast<const char*>(nullptr), flags, error);
    detail::HeldBlock<char> narrow(WideToUtf8(path));
    return Open(narrow.get(), flags, error);
}

bool CXFile::Open(const CXTString<wchar_t>& path, unsigned flags, CXFileException* error) {
    return Open(path.GetString(), flags, error);
}

void CXFile::CheckOpen() const {
    if (m_fd < 0) XThrow<CXFileException>(CXFileException::genericException, -1L, "file not open");
}

void CXFile::ThrowOsError(int osError) const {
    XThrow<CXFileException>(CauseFromErrno(osError), long(osError), m_path);
}

unsigned CXFile::Read(void* buffer, unsigned count) {
    CheckOpen();
    if (count == 0) return 0;
    if (!buffer) XThrow<CXInvalidArgException>("CXFile::Read: null buffer");
    uint8_t* out = static_cast<uint8_t*>(buffer);
    unsigned done = 0;
    while (done < count) {
        ssize_t n = ::read(m_fd, out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowOsError(errno);
        }
        if (n == 0) break;
        done += unsigned(n);
    }
    return done;
}

void CXFile::Write(const void* buffer, unsigned count) {
    CheckOpen();
    if (count == 0) return;
    if (!buffer) XThrow<CXInvalidArgException>("CXFile::Write: null buffer");
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    unsigned done = 0;
    while (done < count) {
        ssize_t n = ::write(m_fd, in + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowOsError(errno);
        }
        if (n == 0) ThrowOsError(ENOSPC);
        done += unsigned(n);
    }
}

uint64_t CXFile::Seek(int64_t offset, int from) {
    CheckOpen();
    int whence = from == begin ? SEEK_SET : from == current ? SEEK_CUR : from == end ? SEEK_END : -1;
    if (whence < 0) XThrow<CXInvalidArgException>("CXFile::Seek: bad origin");
    off_t position = ::lseek(m_fd, off_t(offset), whence);
    if (position < 0) XThrow<CXFileException>(CXFileException::badSeek, long(errno), m_path);
    return uint64_t(position);
}

uint64_t CXFile::GetPosition() const {
    CheckOpen();
    off_t position = ::lseek(m_fd, 0, SEEK_CUR);
    if (position < 0) ThrowOsError(errno);
    return uint64_t(position);
}

bool CXFile::IsRegularFile() const {
    struct stat info;
    return m_fd >= 0 && ::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode);
}

uint64_t CXFile::GetLength() const {
    CheckOpen();
    struct stat info;
    if (::fstat(m_fd, &info) != 0) ThrowOsError(errno);
    return uint64_t(info.st_size);
}

void CXFile::SetLength(uint64_t length) {
    CheckOpen();
    if (length > uint64_t(INT64_MAX)) XThrow<CXInvalidArgException>("CXFile::SetLength: length too large");
    int result;
    do {
        result = ::ftruncate(m_fd, off_t(length));
    } while (result != 0 && errno == EINTR);
    if (result != 0) ThrowOsError(errno);
}

void CXFile::Flush() {
    CheckOpen();
    // Writes go straight to the system, so there is nothing buffered here; fdatasync pushes the
    // data to the device for callers that flush before reporting success.
    if (::fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS) ThrowOsError(errno);
}

void CXFile::Close() {
    if (m_fd < 0) return;
    int fd = m_fd;
    m_fd = -1;
    int result = ::close(fd);
    int osError = errno;
    if (result != 0 && osError != EINTR) {
        ThrowOsError(osError);  // m_path still names the file for the message
    }
    xfree(m_path);
    m_path = nullptr;
}

void CXFile::Abort() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    xfree(m_path);
    m_path = nullptr;
}

// ---------------------------------------------------------------------------------------------
// CXMemFile

CXMemFile::CXMemFile(unsigned growBytes) : m_growBytes(growBytes ? growBytes : 1) {}

CXMemFile::CXMemFile(const void* data, size_t size)
    : m_buffer(static_cast<uint8_t*>(const_cast<void*>(data))),
      m_length(data ? size : 0),
      m_capacity(data ? size : 0),
      m_growBytes(0),
      m_owned(false),
      m_readOnly(true) {}

CXMemFile::~CXMemFile() { Release(); }

void CXMemFile::Release() {
    if (m_owned) xfree(m_buffer);
    m_buffer = nullptr;
    m_length = m_capacity = m_position = 0;
}

void CXMemFile::Attach(void* buffer, size_t size, unsigned growBytes) {
    Release();
    m_buffer = static_cast<uint8_t*>(buffer);
    m_length = m_capacity = buffer ? size : 0;
    m_growBytes = growBytes;
    m_owned = growBytes != 0;
    m_readOnly = false;
}

uint8_t* CXMemFile::Detach() {
    uint8_t* buffer = m_buffer;
    m_buffer = nullptr;
    m_length = m_capacity = m_position = 0;
    // The file starts over as an empty, growable file of its own.
    if (!m_growBytes) m_growBytes = 1024;
    m_owned = true;
    m_readOnly = false;
    return buffer;
}

bool CXMemFile::Open(const char*, unsigned, CXFileException* error) {
    if (error) {
        error->m_cause = CXFileException::genericException;
        error->m_lOsError = -1;
    }
    return false;
}

void CXMemFile::GrowTo(uint64_t length) {
    if (length <= m_capacity) return;
    if (!m_owned || m_growBytes == 0)
        XThrow<CXFileException>(CXFileException::diskFull, -1L, "memory file is full");
    // Round up to the grow granule; refuse sizes the address space cannot hold.
    uint64_t granule = m_growBytes;
    if (length > uint64_t(SIZE_MAX) - granule) XThrow<CXMemoryException>();
    uint64_t capacity = (length + granule - 1) / granule * granule;
    void* grown = xrealloc(m_buffer, size_t(capacity));
    if (!grown) XThrow<CXMemoryException>();
    m_buffer = static_cast<uint8_t*>(grown);
    m_capacity = size_t(capacity);
}

unsigned CXMemFile::Read(void* buffer, unsigned count) {
    if (count == 0 || m_position >= m_length) return 0;
    if (!buffer) XThrow<CXInvalidArgException>("CXMemFile::Read: null buffer");
    size_t available = m_length - m_position;
    size_t n = count < available ? count : available;
    std::memcpy(buffer, m_buffer + m_position, n);
    m_position += n;
    return unsigned(n);
}

void CXMemFile::Write(const void* buffer, unsigned count) {
    if (count == 0) return;
    if (!buffer) XThrow<CXInvalidArgException>("CXMemFile::Write: null buffer");
    if (m_readOnly) XThrow<CXFileException>(CXFileException::accessDenied, -1L, "memory file is read-only");
    uint64_t end = uint64_t(m_position) + count;
    GrowTo(end);
    // A write after a seek past the end leaves a gap of zero bytes.
    if (m_position > m_length) std::memset(m_buffer + m_length, 0, m_position - m_length);
    std::memcpy(m_buffer + m_position, buffer, count);
    m_position = size_t(end);
    if (m_position > m_length) m_length = m_position;
}

uint64_t CXMemFile::Seek(int64_t offset, int from) {
    int64_t base;
    switch (from) {
        case begin:
            base = 0;
            break;
        case current:
            base = int64_t(m_position);
            break;
        case end:
            base = int64_t(m_length);
            break;
        default:
            XThrow<CXInvalidArgException>("CXMemFile::Seek: bad origin");
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset))
        XThrow<CXFileException>(CXFileException::badSeek, -1L, "memory file");
    int64_t position = base + offset;
    if (uint64_t(position) > uint64_t(SIZE_MAX))
        XThrow<CXFileException>(CXFileException::badSeek, -1L, "memory file");
    m_position = size_t(position);
    return m_position;
}

void CXMemFile::SetLength(uint64_t length) {
    if (m_readOnly) XThrow<CXFileException>(CXFileException::accessDenied, -1L, "memory file is read-only");
    if (length > m_length) {
        GrowTo(length);
        std::memset(m_buffer + m_length, 0, size_t(length - m_length));
    }
    m_length = size_t(length);
    if (m_position > m_length) m_position = m_length;
}

void CXMemFile::Close() { Release(); }

void CXMemFile::Abort() { Release(); }

}  // namespace kestovar
