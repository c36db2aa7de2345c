// Binary files: CXFile, a file on disk, and CXMemFile, a file held in one memory block. Both share
// CXFile's virtual interface, which is what CXArchive reads from and writes to.
//
// Positions and lengths are byte counts (uint64_t). Read returns the number of bytes read, fewer
// than asked only at the end of the file; every other failure raises a CXFileException (thrown by
// pointer) whose m_cause says what went wrong. Open is the one call that reports failure by its
// result, so that "open if present" needs no exception handling.
#pragma once

#include "kestovar/core/exception.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"

namespace kestovar {

template <class T>
class CXTString;

class KESTOVAR_API CXFile : public CXObject {
    KX_DECLARE_DYNAMIC(CXFile)
public:
    // Open flags. The access part (the low two bits) is one of modeRead, modeWrite, modeReadWrite.
    // modeCreate creates the file, truncating an existing one unless modeNoTruncate is given too.
    // The share and type flags are accepted for compatibility and have no effect here.
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
    };
    enum SeekPosition : int { begin = 0, current = 1, end = 2 };

    CXFile();
    // Opens the file, raising CXFileException on failure.
    CXFile(const char* path, unsigned flags);
    CXFile(const wchar_t* path, unsigned flags);
    ~CXFile() override;  // closes the file, ignoring errors
    CXFile(const CXFile&) = delete;
    CXFile& operator=(const CXFile&) = delete;

    // Opens `path` (UTF-8 for the narrow form; wide text is converted to UTF-8). Returns false on
    // failure, and fills `error` (when given) with the cause and the system error number. A file
    // already open is closed first.
    virtual bool Open(const char* path, unsigned flags, CXFileException* error = nullptr);
    bool Open(const wchar_t* path, unsigned flags, CXFileException* error = nullptr);
    bool Open(const CXTString<wchar_t>& path, unsigned flags, CXFileException* error = nullptr);

    // Reads up to `count` bytes; returns the number read (0 at the end of the file).
    virtual unsigned Read(void* buffer, unsigned count);
    // Writes all `count` bytes or raises (diskFull, accessDenied, hardIO).
    virtual void Write(const void* buffer, unsigned count);
    // Moves the position; returns the new position. A position before the start raises badSeek;
    // a position past the end is allowed (the file grows on the next write).
    virtual uint64_t Seek(int64_t offset, int from);
    uint64_t SeekToBegin() { return Seek(0, begin); }
    uint64_t SeekToEnd() { return Seek(0, end); }
    virtual uint64_t GetPosition() const;
    virtual uint64_t GetLength() const;
    // Truncates or extends (with zero bytes) the file to `length` bytes.
    virtual void SetLength(uint64_t length);
    virtual void Flush();
    // Closes the file; raises when the system reports an error on close.
    virtual void Close();
    // Closes the file ignoring every error; safe to call on a closed file.
    virtual void Abort();
    virtual bool IsOpen() const { return m_fd >= 0; }
    // Whether the file opened by path is a regular file, not a device, pipe, socket or directory:
    // its length is finite and it can be read again from the start. False when not open, and for
    // memory files.
    bool IsRegularFile() const;

    // The path given to Open (UTF-8), or an empty string when the file is not open.
    const char* GetFilePath() const { return m_path ? m_path : ""; }

protected:
    // Raises a CXFileException for the system error `osError` on this file.
    [[noreturn]] void ThrowOsError(int osError) const;
    void CheckOpen() const;

private:
    int m_fd = -1;
    char* m_path = nullptr;  // xmalloc'd copy of the path
};

// A file in one contiguous memory block. The block either belongs to the file (it grows by
// rounding the needed size up to a multiple of the grow size, and is released on destruction
// unless detached) or is an outside buffer attached for reading or fixed-size writing, which the
// file never reallocates nor frees.
class KESTOVAR_API CXMemFile : public CXFile {
    KX_DECLARE_DYNAMIC(CXMemFile)
public:
    // An empty growable file; `growBytes` (at least 1) is the allocation granule in bytes.
    explicit CXMemFile(unsigned growBytes = 1024);
    // A read-only view of `size` bytes at `data`; the bytes must outlive the file.
    CXMemFile(const void* data, size_t size);
    ~CXMemFile() override;

    // Adopts `buffer` of `size` bytes, all of which count as file content. With growBytes 0 the
    // buffer stays the caller's: writes may overwrite it but never past its end (diskFull). With
    // growBytes > 0 the buffer must come from xmalloc; the file owns it and may reallocate it.
    void Attach(void* buffer, size_t size, unsigned growBytes = 0);
    // Hands the block out (the caller releases an owned block with xfree) and leaves the file
    // empty. The returned block holds GetLength() bytes of content; may be null for an empty file.
    uint8_t* Detach();

    // A memory file is never opened on a path: Open fails with genericException.
    using CXFile::Open;
    bool Open(const char* path, unsigned flags, CXFileException* error = nullptr) override;
    unsigned Read(void* buffer, unsigned count) override;
    void Write(const void* buffer, unsigned count) override;
    uint64_t Seek(int64_t offset, int from) override;
    uint64_t GetPosition() const override { return m_position; }
    uint64_t GetLength() const override { return m_length; }
    void SetLength(uint64_t length) override;
    void Flush() override {}
    void Close() override;
    void Abort() override;
    bool IsOpen() const override { return true; }

    // Direct access to the content (GetLength() bytes); valid until the next write or resize.
    const uint8_t* GetBuffer() const { return m_buffer; }
    size_t GetBufferSize() const { return m_capacity; }

private:
    // Makes room for `length` bytes of content, raising diskFull when the buffer may not grow.
    void GrowTo(uint64_t length);
    void Release();

    uint8_t* m_buffer = nullptr;
    size_t m_length = 0;    // content bytes
    size_t m_capacity = 0;  // allocated bytes
    size_t m_position = 0;  // may exceed m_length after a seek past the end
    unsigned m_growBytes;   // 0: the buffer may not grow
    bool m_owned = true;
    bool m_readOnly = false;
};

}  // namespace kestovar
