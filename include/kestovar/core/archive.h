// CXArchive: the buffered binary stream through which every persistent class writes and reads
// itself (`void Serialize(CXArchive&)`).
//
// Encoding (every multi-byte value little-endian):
// - Numbers: raw bytes of their width. bool is one byte (0 or 1; any non-zero byte reads as true).
//   `long`/`unsigned long` are 8 bytes on this platform; prefer the fixed-width types.
//   wchar_t is one UTF-16 code unit (2 bytes): characters above U+FFFF cannot travel as a single
//   wchar_t and are written as U+FFFD; whole strings keep them (as surrogate pairs).
// - Counts (WriteCount): below 0xFFFF one u16; else u16 0xFFFF then a u32 when below 0xFFFFFFFF;
//   else u32 0xFFFFFFFF then a u64.
// - Strings: an optional encoding marker, the length, then the code units. The length form is one
//   byte when below 255; else byte 0xFF then a u16 when below 0xFFFC; else u16 0xFFFF then a u32
//   when below 0xFFFFFFFF; else u32 0xFFFFFFFF then a u64. The marker is the byte 0xFF followed by
//   the u16 0xFFFE (UTF-16LE), 0xFFFD (UTF-8) or 0xFFFC (UTF-32LE); no marker means narrow text,
//   taken as UTF-8 on this platform. The length counts code units of the encoding (bytes for
//   narrow and UTF-8 text, 16-bit units for UTF-16, 32-bit units for UTF-32). No terminator.
//   Wide strings are written as UTF-16LE, narrow ones without marker.
// - Value types: their fields in order, each as its number: C3DTPoint/C3DTVector x, y, z;
//   C2DTPoint u, v; C4DPoint and C4DTVector x, y, z, w; CRGBColor r, g, b, a (one byte each).
//   The flag word of point records is not part of the value (their Serialize writes it).
// - Objects (WriteObject): u16 0 for null; an object already written: its index as a u16 when
//   below 0x7FFF, else u16 0x7FFF and the u32 index. A new object: its class (WriteClass), then it
//   takes the next index and serialises itself.
// - Classes (WriteClass): a class already written: u16 (0x8000 | index) when the index is below
//   0x7FFF, else u16 0x7FFF and the u32 (index | 0x80000000). A new class: u16 0xFFFF, its schema
//   (u16), the length of its name (u16), the name's bytes; it takes the next index.
//   Indices start at 1; classes and objects share the counter.
//
// Errors raise CXArchiveException (thrown by pointer): notSerializable (1) when writing a class
// whose schema is 0xFFFF, readOnly (2) when writing to a loading archive, writeOnly (4) when
// reading from a storing archive, nullClass (6) when writing a null class, endOfFile (3) when the
// data ends early, badIndex (5) for malformed data (a reference to an index not yet defined or of
// the wrong sort, an impossible length form, objects nested more than 2048 deep inside one
// another's Serialize), badClass (7) for a class name that is not
// registered, not creatable, of a newer schema than this build knows, or not derived from the
// expected class. The file's own errors surface as CXFileException.
//
// Reading untrusted bytes: every length and count is checked against the bytes left in the file
// before memory is taken for it (see GetRemainingLength), so forged sizes fail with endOfFile
// instead of allocating. Objects created by ReadObject whose Serialize fails are deleted before
// the exception leaves ReadObject. An archive must not be used after it raised.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "kestovar/core/color.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"

namespace kestovar {

static_assert(std::endian::native == std::endian::little, "the archive writes numbers in host order");

class CXFile;
template <class T>
class CXTString;

class KESTOVAR_API CXArchive {
public:
    // Mode bits. Bit 0 set: loading. bNoFlushOnDelete: the destructor discards unflushed data.
    enum Mode : unsigned { store = 0, load = 1, bNoFlushOnDelete = 2 };
    // Encodings of WriteStringLength / ReadStringLength.
    enum StringEncoding : int {
        encodingNarrow = 1,  // no marker; narrow text (UTF-8 here)
        encodingUTF8 = 2,    // marker 0xFFFD
        encodingUTF16 = 3,   // marker 0xFFFE, UTF-16LE
        encodingUTF32 = 4,   // marker 0xFFFC, UTF-32LE
    };
    static constexpr unsigned kDefaultBufferSize = 4096;
    // Smaller buffer sizes are raised to this, so that every fixed-size value fits the buffer.
    static constexpr unsigned kMinBufferSize = 16;
    // GetObjectSchema outside the Serialize of an object being loaded.
    static constexpr unsigned kNoSchema = 0xFFFFFFFFu;

    // `file` must stay valid until Close/Abort. `buffer` (may be null) of `bufferSize` bytes is
    // used instead of an internal one and stays the caller's.
    CXArchive(CXFile* file, unsigned mode, unsigned bufferSize = kDefaultBufferSize, void* buffer = nullptr);
    // A storing archive still open is flushed (errors ignored) unless bNoFlushOnDelete was given
    // or an exception is unwinding the stack.
    ~CXArchive();
    CXArchive(const CXArchive&) = delete;
    CXArchive& operator=(const CXArchive&) = delete;

    bool IsLoading() const { return (m_mode & load) != 0; }
    bool IsStoring() const { return (m_mode & load) == 0; }
    CXFile* GetFile() const { return m_file; }

    // Storing: writes the buffered bytes to the file. Loading: moves the file back to the first
    // byte not yet consumed, so that the file may be read on from there.
    void Flush();
    // Flush, then detaches the file (which stays open). Further use of the archive raises.
    void Close();
    // Detaches the file without flushing.
    void Abort();

    void SetData(void* data) { m_userData = data; }
    void* GetData() const { return m_userData; }

    // --- Raw bytes ------------------------------------------------------------------------------

    void Write(const void* data, unsigned size);
    // Reads up to `size` bytes; returns the number read (fewer only at the end of the file).
    unsigned Read(void* data, unsigned size);
    // Reads exactly `size` bytes or raises endOfFile.
    void EnsureRead(void* data, unsigned size) {
        if (Read(data, size) != size) ThrowEndOfFile();
    }
    // Bytes left to read (buffered plus the rest of the file). Loading only.
    uint64_t GetRemainingLength() const;
    // Raises endOfFile unless at least `size` bytes are left to read; used before allocating
    // storage for a count or length read from the data.
    void EnsureAvailable(uint64_t size) const {
        if (GetRemainingLength() < size) ThrowEndOfFile();
    }

    // --- Numbers --------------------------------------------------------------------------------

    CXArchive& operator<<(bool v) { return Put(uint8_t(v ? 1 : 0)); }
    CXArchive& operator<<(char v) { return Put(v); }
    CXArchive& operator<<(signed char v) { return Put(v); }
    CXArchive& operator<<(unsigned char v) { return Put(v); }
    CXArchive& operator<<(short v) { return Put(v); }
    CXArchive& operator<<(unsigned short v) { return Put(v); }
    CXArchive& operator<<(int v) { return Put(v); }
    CXArchive& operator<<(unsigned int v) { return Put(v); }
    CXArchive& operator<<(long v) { return Put(v); }
    CXArchive& operator<<(unsigned long v) { return Put(v); }
    CXArchive& operator<<(long long v) { return Put(v); }
    CXArchive& operator<<(unsigned long long v) { return Put(v); }
    CXArchive& operator<<(float v) { return Put(v); }
    CXArchive& operator<<(double v) { return Put(v); }
    CXArchive& operator<<(char16_t v) { return Put(uint16_t(v)); }
    CXArchive& operator<<(char32_t v) { return Put(uint32_t(v)); }
    CXArchive& operator<<(wchar_t v) {
        uint32_t c = uint32_t(v);
        return Put(uint16_t(c > 0xFFFF ? 0xFFFD : c));
    }

    // Pointers are not numbers: without this, `ar << "text"` would silently write a bool.
    template <class T>
    CXArchive& operator<<(const T* pointer) = delete;

    CXArchive& operator>>(bool& v) {
        v = Get<uint8_t>() != 0;
        return *this;
    }
    CXArchive& operator>>(char& v) { return GetInto(v); }
    CXArchive& operator>>(signed char& v) { return GetInto(v); }
    CXArchive& operator>>(unsigned char& v) { return GetInto(v); }
    CXArchive& operator>>(short& v) { return GetInto(v); }
    CXArchive& operator>>(unsigned short& v) { return GetInto(v); }
    CXArchive& operator>>(int& v) { return GetInto(v); }
    CXArchive& operator>>(unsigned int& v) { return GetInto(v); }
    CXArchive& operator>>(long& v) { return GetInto(v); }
    CXArchive& operator>>(unsigned long& v) { return GetInto(v); }
    CXArchive& operator>>(long long& v) { return GetInto(v); }
    CXArchive& operator>>(unsigned long long& v) { return GetInto(v); }
    CXArchive& operator>>(float& v) { return GetInto(v); }
    CXArchive& operator>>(double& v) { return GetInto(v); }
    CXArchive& operator>>(char16_t& v) {
        v = char16_t(Get<uint16_t>());
        return *this;
    }
    CXArchive& operator>>(char32_t& v) {
        v = char32_t(Get<uint32_t>());
        return *this;
    }
    CXArchive& operator>>(wchar_t& v) {
        v = wchar_t(Get<uint16_t>());
        return *this;
    }

    // --- Counts and strings ---------------------------------------------------------------------

    void WriteCount(uint64_t count);
    uint64_t ReadCount();

    // Writes the marker of `encoding` (StringEncoding; none for encodingNarrow) and the length.
    void WriteStringLength(uint64_t length, int encoding);
    // Reads an optional marker and a length; `encoding` receives the StringEncoding.
    uint64_t ReadStringLength(int& encoding);

    // Narrow text is written as is (no marker); wide text as UTF-16LE with its marker.
    void WriteString(const char* text, size_t length);
    void WriteString(const wchar_t* text, size_t length);
    void WriteString(const CXTString<char>& text);
    void WriteString(const CXTString<wchar_t>& text);
    // Reads a string of any encoding, converting as needed: into a narrow string as UTF-8, into a
    // wide one as UTF-32. Ill-formed text becomes U+FFFD.
    void ReadString(CXTString<char>& text);
    void ReadString(CXTString<wchar_t>& text);

    CXArchive& operator<<(const CXTString<char>& text) {
        WriteString(text);
        return *this;
    }
    CXArchive& operator<<(const CXTString<wchar_t>& text) {
        WriteString(text);
        return *this;
    }
    CXArchive& operator>>(CXTString<char>& text) {
        ReadString(text);
        return *this;
    }
    CXArchive& operator>>(CXTString<wchar_t>& text) {
        ReadString(text);
        return *this;
    }

    // --- Objects and classes --------------------------------------------------------------------

    // Writes `object` (may be null) as described in the header comment.
    void WriteObject(const CXObject* object);
    // Reads an object written by WriteObject: null, an object read before in this archive (the
    // same pointer again; ownership is the caller's business), or a new object created through
    // its class descriptor. `expected` (may be null for any class) must be a base of the object's
    // class, else badClass.
    CXObject* ReadObject(const CXRuntimeClass* expected);
    template <class T>
    T* ReadObjectOf() {
        return static_cast<T*>(ReadObject(T::GetThisRuntimeClassDescriptor()));
    }

    void WriteClass(const CXRuntimeClass* descriptor);
    // Reads a class reference. When the data holds an object reference instead, `objectTag`
    // receives it (0 for a null object) and null is returned; without `objectTag` that raises
    // badIndex. `schema` receives the schema read with the class.
    const CXRuntimeClass* ReadClass(const CXRuntimeClass* expected = nullptr, unsigned* schema = nullptr,
                                    uint32_t* objectTag = nullptr);
    // Storing: WriteClass. Loading: ReadClass(descriptor); the schema read becomes the object
    // schema (GetObjectSchema) of the caller's Serialize.
    void SerializeClass(const CXRuntimeClass* descriptor);
    // The schema read with the class of the object whose Serialize is running (loading only), so
    // that a class can read the older layouts of its data; kNoSchema elsewhere.
    unsigned GetObjectSchema() const { return m_objectSchema; }
    void SetObjectSchema(unsigned schema) { m_objectSchema = schema; }

private:
    struct ObjectMaps;

    template <class T>
    CXArchive& Put(T v) {
        if (!m_storeReady || unsigned(m_bufEnd - m_cursor) < sizeof(T)) PrepareWrite(sizeof(T));
        std::memcpy(m_cursor, &v, sizeof(T));
        m_cursor += sizeof(T);
        return *this;
    }
    template <class T>
    T Get() {
        if (!m_loadReady || unsigned(m_limit - m_cursor) < sizeof(T)) PrepareRead(sizeof(T));
        T v;
        std::memcpy(&v, m_cursor, sizeof(T));
        m_cursor += sizeof(T);
        return v;
    }
    template <class T>
    CXArchive& GetInto(T& v) {
        v = Get<T>();
        return *this;
    }

    // Slow paths of Put/Get: check the mode, then flush or refill until `size` bytes fit or are
    // buffered (raising endOfFile when the file ends first).
    void PrepareWrite(unsigned size);
    void PrepareRead(unsigned size);
    void FlushBuffer();
    // Reads from the file after the buffered bytes until at least `size` bytes are buffered or the
    // file ends; returns the number buffered.
    unsigned FillBuffer(unsigned size);
    void CheckStoring() const;
    void CheckLoading() const;
    [[noreturn]] static void ThrowEndOfFile();
    [[noreturn]] static void Throw(int cause, const char* message);

    // Reads the tag of an object or class reference and resolves it; see the .cpp.
    struct Reference;
    void ReadReference(Reference& out);
    void ReadEncodedString(uint64_t length, int encoding, CXTString<char>* narrow, CXTString<wchar_t>* wide);
    ObjectMaps& Maps();

    CXFile* m_file;
    unsigned m_mode;
    uint8_t* m_buffer;
    unsigned m_bufferSize;
    bool m_ownsBuffer;
    // Fast-path flags: false while the mode forbids the direction (or the archive is closed), so
    // that Put/Get test one flag and the room left.
    bool m_storeReady;
    bool m_loadReady;
    uint8_t* m_cursor;  // next byte to write or read
    uint8_t* m_limit;   // loading: end of the buffered bytes
    uint8_t* m_bufEnd;  // end of the buffer
    uint32_t m_nextIndex;
    ObjectMaps* m_maps;  // store map or load list, created on first use
    unsigned m_objectSchema;
    unsigned m_depth;  // ReadObject calls in progress
    void* m_userData;
};

// ---- value types ------------------------------------------------------------------------------

template <class T>
CXArchive& operator<<(CXArchive& ar, const C3DTPoint<T>& p) {
    return ar << p.x << p.y << p.z;
}
template <class T>
CXArchive& operator>>(CXArchive& ar, C3DTPoint<T>& p) {
    return ar >> p.x >> p.y >> p.z;
}
template <class T>
CXArchive& operator<<(CXArchive& ar, const C3DTVector<T>& v) {
    return ar << v.x << v.y << v.z;
}
template <class T>
CXArchive& operator>>(CXArchive& ar, C3DTVector<T>& v) {
    return ar >> v.x >> v.y >> v.z;
}
template <class T>
CXArchive& operator<<(CXArchive& ar, const C2DTPoint<T>& p) {
    return ar << p.u << p.v;
}
template <class T>
CXArchive& operator>>(CXArchive& ar, C2DTPoint<T>& p) {
    return ar >> p.u >> p.v;
}
template <class T>
CXArchive& operator<<(CXArchive& ar, const C4DTVector<T>& v) {
    return ar << v.x << v.y << v.z << v.w;
}
template <class T>
CXArchive& operator>>(CXArchive& ar, C4DTVector<T>& v) {
    return ar >> v.x >> v.y >> v.z >> v.w;
}
inline CXArchive& operator<<(CXArchive& ar, const C4DPoint& p) { return ar << p.x << p.y << p.z << p.w; }
inline CXArchive& operator>>(CXArchive& ar, C4DPoint& p) { return ar >> p.x >> p.y >> p.z >> p.w; }
inline CXArchive& operator<<(CXArchive& ar, const CRGBColor& c) { return ar << c.r << c.g << c.b << c.a; }
inline CXArchive& operator>>(CXArchive& ar, CRGBColor& c) { return ar >> c.r >> c.g >> c.b >> c.a; }

}  // namespace kestovar
