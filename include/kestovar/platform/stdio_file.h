// Text files over the C runtime's buffered streams: CXStdioFile reads and writes lines of UTF-8
// text, CStdioFileEx adds the Unicode encodings a text file may carry (a UTF-8 byte-order mark,
// UTF-16 little- or big-endian), detected on reading and chosen on creation. The log file is one.
//
// Unlike CXFile these classes report failures by their results and never throw for I/O errors.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

class KESTOVAR_API CXStdioFile : public CXObject {
    KX_DECLARE_DYNAMIC(CXStdioFile)
public:
    // Open flags, with the values of CXFile's. The access part (the low two bits) is modeRead,
    // modeWrite or modeReadWrite. modeCreate creates the file, truncating an existing one unless
    // modeNoTruncate is given too. Text and binary modes behave alike: no line-end translation is
    // made on writing; ReadString accepts "\n" and "\r\n".
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
    };

    CXStdioFile() = default;
    ~CXStdioFile() override;  // closes the file
    CXStdioFile(const CXStdioFile&) = delete;
    CXStdioFile& operator=(const CXStdioFile&) = delete;

    // Opens `path` (UTF-8; wide text is converted). A file already open is closed first. The
    // position starts at the beginning of the file.
    virtual bool Open(const char* path, unsigned flags);
    bool Open(const wchar_t* path, unsigned flags);
    bool IsOpen() const { return m_stream != nullptr; }
    // Flushes and closes; true when every buffered byte reached the file. Safe on a closed file.
    bool Close();
    bool Flush();

    // Writes the text as is (narrow: bytes; wide: converted to UTF-8 by CXStdioFile, encoded by
    // CStdioFileEx in its encoding). No line end is added. False on a write error or a closed file.
    virtual bool WriteString(const char* text);
    virtual bool WriteString(const wchar_t* text);
    // printf-style narrow output; returns the bytes written or -1.
    int Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int VPrintf(const char* format, va_list args);

    // Reads the next line without its line end ("\n" or "\r\n"). False at the end of the file
    // when nothing was read (a last line without a line end is still returned). Bytes that are not
    // UTF-8 become U+FFFD in the wide form.
    virtual bool ReadString(CXTString<char>& line);
    virtual bool ReadString(CXTString<wchar_t>& line);

    // Raw bytes.
    size_t Read(void* buffer, size_t count);
    size_t Write(const void* buffer, size_t count);

    // Positions in bytes; -1 (as uint64_t) on error.
    uint64_t SeekToEnd();
    uint64_t SeekToBegin();
    uint64_t GetPosition() const;
    uint64_t GetLength() const;

    // The path given to Open (UTF-8); empty when closed.
    const char* GetFilePath() const { return m_path.GetString(); }
    FILE* GetStream() const { return m_stream; }

protected:
    // Reads one line of raw bytes (line end removed) into `line`; false at the end of the file.
    bool ReadRawLine(CXTString<char>& line);

    FILE* m_stream = nullptr;
    CXTString<char> m_path;
};

class KESTOVAR_API CStdioFileEx : public CXStdioFile {
    KX_DECLARE_DYNAMIC(CStdioFileEx)
public:
    enum Encoding : int {
        ENCODING_UTF8 = 0,      // no byte-order mark
        ENCODING_UTF8_BOM = 1,  // EF BB BF
        ENCODING_UTF16LE = 2,   // FF FE, then 16-bit little-endian units
        ENCODING_UTF16BE = 3,   // FE FF, then 16-bit big-endian units
    };

    CStdioFileEx() = default;

    // Opens as CXStdioFile does, then: when the file is read from (modeRead or modeReadWrite) and
    // starts with a byte-order mark, the mark gives the encoding and is skipped; when the file is
    // created empty for writing, `encoding` is used and its mark written. A file written without
    // a mark is UTF-8.
    bool Open(const char* path, unsigned flags) override { return OpenEx(path, flags, ENCODING_UTF8); }
    bool OpenEx(const char* path, unsigned flags, Encoding encoding);
    bool OpenEx(const wchar_t* path, unsigned flags, Encoding encoding);
    using CXStdioFile::Open;

    Encoding GetEncoding() const { return m_encoding; }

    // Narrow text is taken as UTF-8 and re-encoded when the file is UTF-16.
    bool WriteString(const char* text) override;
    bool WriteString(const wchar_t* text) override;
    // Lines are decoded from the file's encoding. In a UTF-16 file the narrow form returns UTF-8.
    bool ReadString(CXTString<char>& line) override;
    bool ReadString(CXTString<wchar_t>& line) override;

private:
    bool IsUTF16() const { return m_encoding == ENCODING_UTF16LE || m_encoding == ENCODING_UTF16BE; }
    bool ReadUTF16Line(CXTString<wchar_t>& line);
    bool WriteUTF16(const wchar_t* text, size_t length);

    Encoding m_encoding = ENCODING_UTF8;
};

}  // namespace kestovar
