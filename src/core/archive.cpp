#include "kestovar/core/archive.h"

#include <climits>
#include <exception>

#include "kestovar/core/array.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/xstring.h"
#include "kestovar/platform/file.h"

namespace kestovar {

namespace {

// Tags of object and class references (see the header comment).
constexpr uint16_t kNullTag = 0;
constexpr uint16_t kBigIndexTag = 0x7FFF;   // a u32 index follows
constexpr uint16_t kClassTagBit = 0x8000;   // in a u16 tag
constexpr uint16_t kNewClassTag = 0xFFFF;
constexpr uint32_t kBigClassBit = 0x80000000u;  // in a u32 index
// Indices must leave bit 31 free for the class flag of the u32 form.
constexpr uint32_t kMaxIndex = 0x7FFFFFFEu;

// String markers, written as the u16 after a 0xFF length byte.
constexpr uint16_t kMarkerUTF16 = 0xFFFE;
constexpr uint16_t kMarkerUTF8 = 0xFFFD;
constexpr uint16_t kMarkerUTF32 = 0xFFFC;

// Largest block handed to one Read/Write call of the file (their counts are 32-bit).
constexpr size_t kIoBlock = size_t(1) << 30;

// Objects read inside the Serialize of objects being read, at most: each level costs stack, and
// forged data could nest objects until the stack overflows.
constexpr unsigned kMaxObjectDepth = 2048;

// Characters encoded per step when a wide string does not fit the buffer: each becomes at most
// two UTF-16 units, so one step fills at most the stack buffer below.
constexpr size_t kEncodeStep = 1024;

}  // namespace

// What the archive remembers of objects and classes: when storing, the index given to each
// written pointer; when loading, what each index stands for.
struct CXArchive::ObjectMaps : CXAllocated {
    enum Sort : uint8_t { none = 0, object = 1, klass = 2 };
    struct Loaded {
        const void* pointer;  // CXObject* or const CXRuntimeClass*
        unsigned schema;      // for classes: the schema read with the class
        Sort sort;
    };
    CHashMap<const void*, const void*, uint32_t, CHashMethods<const void*>> stored;
    CXArray<Loaded, const Loaded&> loaded;
};

// A reference read by ReadReference.
struct CXArchive::Reference {
    enum Sort { nullRef, objectRef, knownClass, newClass } sort = nullRef;
    uint32_t index = 0;
    CXObject* object = nullptr;
    const CXRuntimeClass* descriptor = nullptr;
    unsigned schema = kNoSchema;
};

CXArchive::CXArchive(CXFile* file, unsigned mode, unsigned bufferSize, void* buffer)
    : m_file(file),
      m_mode(mode),
      m_buffer(nullptr),
      m_bufferSize(bufferSize),
      m_ownsBuffer(buffer == nullptr),
      m_storeReady(false),
      m_loadReady(false),
      m_cursor(nullptr),
      m_limit(nullptr),
      m_bufEnd(nullptr),
      m_nextIndex(1),
      m_maps(nullptr),
      m_objectSchema(kNoSchema),
      m_depth(0),
      m_userData(nullptr) {
    if (!file) XThrow<CXInvalidArgException>("CXArchive: null file");
    if (buffer) {
        if (bufferSize < kMinBufferSize) XThrow<CXInvalidArgException>("CXArchive: buffer too small");
        m_buffer = static_cast<uint8_t*>(buffer);
    } else {
        if (m_bufferSize < kMinBufferSize) m_bufferSize = kMinBufferSize;
        m_buffer = static_cast<uint8_t*>(xmalloc(m_bufferSize));
        if (!m_buffer) XThrow<CXMemoryException>();
    }
    m_cursor = m_limit = m_buffer;
    m_bufEnd = m_buffer + m_bufferSize;
    m_storeReady = IsStoring();
    m_loadReady = IsLoading();
}

CXArchive::~CXArchive() {
    // Flushing from a destructor that runs because of an exception could replace the exception in
    // flight (the thread's registered one would be deleted), so unflushed data is then dropped.
    if (m_file && IsStoring() && !(m_mode & bNoFlushOnDelete) && std::uncaught_exceptions() == 0) {
        try {
            FlushBuffer();
        } catch (CXException* e) {
            e->Delete();
        } catch (...) {
            // A destructor must not throw; the data is lost either way.
        }
    }
    if (m_ownsBuffer) xfree(m_buffer);
    delete m_maps;
}

CXArchive::ObjectMaps& CXArchive::Maps() {
    if (!m_maps) {
        m_maps = new ObjectMaps;
        // Index 0 stands for the null object; real indices start at 1.
        m_maps->loaded.Add(ObjectMaps::Loaded{nullptr, kNoSchema, ObjectMaps::none});
    }
    return *m_maps;
}

void CXArchive::Throw(int cause, const char* message) { XThrow<CXArchiveException>(cause, message); }

void CXArchive::ThrowEndOfFile() { Throw(CXArchiveException::endOfFile, "unexpected end of archive"); }

void CXArchive::CheckStoring() const {
    if (!m_file) XThrow<CXInvalidArgException>("CXArchive: the archive is closed");
    if (IsLoading()) Throw(CXArchiveException::readOnly, "writing to an archive opened for loading");
}

void CXArchive::CheckLoading() const {
    if (!m_file) XThrow<CXInvalidArgException>("CXArchive: the archive is closed");
    if (IsStoring()) Throw(CXArchiveException::writeOnly, "reading from an archive opened for storing");
}

// ---------------------------------------------------------------------------------------------
// Buffering

void CXArchive::FlushBuffer() {
    if (m_cursor > m_buffer) m_file->Write(m_buffer, unsigned(m_cursor - m_buffer));
    m_cursor = m_buffer;
}

unsigned CXArchive::FillBuffer(unsigned size) {
    unsigned buffered = unsigned(m_limit - m_cursor);
    if (m_cursor != m_buffer) {
        if (buffered) std::memmove(m_buffer, m_cursor, buffered);
        m_cursor = m_buffer;
        m_limit = m_buffer + buffered;
    }
    while (buffered < size) {
        unsigned got = m_file->Read(m_limit, unsigned(m_bufEnd - m_limit));
        if (got == 0) break;
        m_limit += got;
        buffered += got;
    }
    return buffered;
}

void CXArchive::PrepareWrite(unsigned size) {
    CheckStoring();
    if (unsigned(m_bufEnd - m_cursor) < size) FlushBuffer();
}

void CXArchive::PrepareRead(unsigned size) {
    CheckLoading();
    if (unsigned(m_limit - m_cursor) < size && FillBuffer(size) < size) ThrowEndOfFile();
}

void CXArchive::Flush() {
    if (!m_file) return;
    if (IsStoring()) {
        FlushBuffer();
    } else if (m_limit != m_cursor) {
        // Give the read-ahead back to the file so that its position is the archive's.
        m_file->Seek(-int64_t(m_limit - m_cursor), CXFile::current);
        m_cursor = m_limit = m_buffer;
    }
}

void CXArchive::Close() {
    Flush();
    Abort();
}

void CXArchive::Abort() {
    m_file = nullptr;
    m_storeReady = m_loadReady = false;
    m_cursor = m_limit = m_buffer;
}

void CXArchive::Write(const void* data, unsigned size) {
    CheckStoring();
    if (size == 0) return;
    if (!data) XThrow<CXInvalidArgException>("CXArchive::Write: null data");
    if (size <= unsigned(m_bufEnd - m_cursor)) {
        std::memcpy(m_cursor, data, size);
        m_cursor += size;
        return;
    }
    FlushBuffer();
    if (size >= m_bufferSize) {
        m_file->Write(data, size);
        return;
    }
    std::memcpy(m_cursor, data, size);
    m_cursor += size;
}

unsigned CXArchive::Read(void* data, unsigned size) {
    CheckLoading();
    if (size == 0) return 0;
    if (!data) XThrow<CXInvalidArgException>("CXArchive::Read: null data");
    uint8_t* out = static_cast<uint8_t*>(data);
    unsigned done = 0;
    unsigned buffered = unsigned(m_limit - m_cursor);
    if (buffered) {
        unsigned n = size < buffered ? size : buffered;
        std::memcpy(out, m_cursor, n);
        m_cursor += n;
        done = n;
    }
    if (done == size) return done;
    // The buffer is now empty.
    m_cursor = m_limit = m_buffer;
    unsigned left = size - done;
    if (left >= m_bufferSize) {
        while (done < size) {
            unsigned got = m_file->Read(out + done, size - done);
            if (got == 0) break;
            done += got;
        }
        return done;
    }
    unsigned available = FillBuffer(left);
    unsigned n = left < available ? left : available;
    std::memcpy(out + done, m_cursor, n);
    m_cursor += n;
    return done + n;
}

uint64_t CXArchive::GetRemainingLength() const {
    CheckLoading();
    uint64_t length = m_file->GetLength();
    uint64_t position = m_file->GetPosition();
    uint64_t rest = length > position ? length - position : 0;
    return uint64_t(m_limit - m_cursor) + rest;
}

// ---------------------------------------------------------------------------------------------
// Counts and strings

void CXArchive::WriteCount(uint64_t count) {
    if (count < 0xFFFF) {
        Put(uint16_t(count));
        return;
    }
    Put(uint16_t(0xFFFF));
    if (count < 0xFFFFFFFFu) {
        Put(uint32_t(count));
        return;
    }
    Put(uint32_t(0xFFFFFFFFu));
    Put(uint64_t(count));
}

uint64_t CXArchive::ReadCount() {
    uint16_t w = Get<uint16_t>();
    if (w != 0xFFFF) return w;
    uint32_t d = Get<uint32_t>();
    if (d != 0xFFFFFFFFu) return d;
    return Get<uint64_t>();
}

void CXArchive::WriteStringLength(uint64_t length, int encoding) {
    CheckStoring();
    uint16_t marker;
    switch (encoding) {
        case encodingNarrow:
            marker = 0;
            break;
        case encodingUTF8:
            marker = kMarkerUTF8;
            break;
        case encodingUTF16:
            marker = kMarkerUTF16;
            break;
        case encodingUTF32:
            marker = kMarkerUTF32;
            break;
        default:
            XThrow<CXInvalidArgException>("CXArchive::WriteStringLength: unknown encoding");
    }
    if (marker) {
        Put(uint8_t(0xFF));
        Put(marker);
    }
    if (length < 0xFF) {
        Put(uint8_t(length));
        return;
    }
    Put(uint8_t(0xFF));
    if (length < 0xFFFC) {
        Put(uint16_t(length));
        return;
    }
    Put(uint16_t(0xFFFF));
    if (length < 0xFFFFFFFFu) {
        Put(uint32_t(length));
        return;
    }
    Put(uint32_t(0xFFFFFFFFu));
    Put(uint64_t(length));
}

uint64_t CXArchive::ReadStringLength(int& encoding) {
    encoding = encodingNarrow;
    bool marked = false;
    for (;;) {
        uint8_t b = Get<uint8_t>();
        if (b < 0xFF) return b;
        uint16_t w = Get<uint16_t>();
        if (w == kMarkerUTF16 || w == kMarkerUTF8 || w == kMarkerUTF32) {
            if (marked) Throw(CXArchiveException::badIndex, "string encoding marker repeated");
            marked = true;
            encoding = w == kMarkerUTF16 ? encodingUTF16 : w == kMarkerUTF8 ? encodingUTF8 : encodingUTF32;
            continue;
        }
        if (w < 0xFFFC) return w;
        // w == 0xFFFF: a wider length follows.
        uint32_t d = Get<uint32_t>();
        if (d != 0xFFFFFFFFu) return d;
        return Get<uint64_t>();
    }
}

void CXArchive::WriteString(const char* text, size_t length) {
    if (length && !text) XThrow<CXInvalidArgException>("CXArchive::WriteString: null text");
    WriteStringLength(length, encodingNarrow);
    while (length) {
        size_t n = length < kIoBlock ? length : kIoBlock;
        Write(text, unsigned(n));
        text += n;
        length -= n;
    }
}

void CXArchive::WriteString(const wchar_t* text, size_t length) {
    if (length && !text) XThrow<CXInvalidArgException>("CXArchive::WriteString: null text");
    size_t bytes = xEncodeUTF16LE(text, length, nullptr);
    WriteStringLength(bytes / 2, encodingUTF16);
    if (bytes <= size_t(m_bufEnd - m_cursor)) {
        xEncodeUTF16LE(text, length, m_cursor);
        m_cursor += bytes;
        return;
    }
    // Encode piecewise: every character encodes on its own, so the text may be cut anywhere.
    uint8_t step[kEncodeStep * 4];
    while (length) {
        size_t n = length < kEncodeStep ? length : kEncodeStep;
        size_t stepBytes = xEncodeUTF16LE(text, n, step);
        Write(step, unsigned(stepBytes));
        text += n;
        length -= n;
    }
}

void CXArchive::WriteString(const CXTString<char>& text) { WriteString(text.GetString(), size_t(text.GetLength())); }

void CXArchive::WriteString(const CXTString<wchar_t>& text) {
    WriteString(text.GetString(), size_t(text.GetLength()));
}

void CXArchive::ReadString(CXTString<char>& text) {
    int encoding;
    uint64_t length = ReadStringLength(encoding);
    ReadEncodedString(length, encoding, &text, nullptr);
}

void CXArchive::ReadString(CXTString<wchar_t>& text) {
    int encoding;
    uint64_t length = ReadStringLength(encoding);
    ReadEncodedString(length, encoding, nullptr, &text);
}

void CXArchive::ReadEncodedString(uint64_t length, int encoding, CXTString<char>* narrow,
                                  CXTString<wchar_t>* wide) {
    unsigned unit = encoding == encodingUTF16 ? 2 : encoding == encodingUTF32 ? 4 : 1;
    if (length > uint64_t(INT_MAX) / 4) {
        // No string of the library is that long; the data is forged or not a string at all.
        EnsureAvailable(length);  // reports a cut file as such
        Throw(CXArchiveException::badIndex, "string too long");
    }
    size_t bytes = size_t(length) * unit;
    EnsureAvailable(bytes);

    // The string's bytes, contiguous: straight from the buffer when they are all there.
    const uint8_t* src;
    uint8_t* owned = nullptr;
    if (bytes <= size_t(m_limit - m_cursor)) {
        src = m_cursor;
        m_cursor += bytes;
    } else {
        owned = static_cast<uint8_t*>(xmalloc(bytes ? bytes : 1));
        if (!owned) XThrow<CXMemoryException>();
        try {
            EnsureRead(owned, unsigned(bytes));
        } catch (...) {
            xfree(owned);
            throw;
        }
        src = owned;
    }

    try {
        int n = int(length);
        if (unit == 1) {
            const char* chars = reinterpret_cast<const char*>(src);
            if (narrow) {
                narrow->SetString(chars, n);
            } else {
                size_t count = xConvertUTF8ToUTF32(chars, size_t(n), nullptr);
                wchar_t* out = wide->GetBuffer(int(count));
                xConvertUTF8ToUTF32(chars, size_t(n), out);
                wide->ReleaseBuffer(int(count));
            }
        } else if (unit == 2) {
            if (wide) {
                xDecodeUTF16LE(src, bytes, *wide);
            } else {
                CXTString<wchar_t> decoded;
                xDecodeUTF16LE(src, bytes, decoded);
                *narrow = CXTString<char>(decoded.GetString(), decoded.GetLength());
            }
        } else {
            // UTF-32LE: copy the units (unaligned), then replace values that are not characters.
            CXTString<wchar_t> local;
            CXTString<wchar_t>& target = wide ? *wide : local;
            wchar_t* out = target.GetBuffer(n);
            for (int i = 0; i < n; ++i) {
                uint32_t c;
                std::memcpy(&c, src + size_t(i) * 4, 4);
                if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
                out[i] = wchar_t(c);
            }
            target.ReleaseBuffer(n);
            if (narrow) *narrow = CXTString<char>(local.GetString(), local.GetLength());
        }
    } catch (...) {
        xfree(owned);
        throw;
    }
    xfree(owned);
}

// ---------------------------------------------------------------------------------------------
// Objects and classes

void CXArchive::WriteClass(const CXRuntimeClass* descriptor) {
    CheckStoring();
    if (!descriptor) Throw(CXArchiveException::nullClass, "a null class was written");
    if (descriptor->m_wSchema == 0xFFFF)
        Throw(CXArchiveException::notSerializable, "the class may not be serialised");
    ObjectMaps& maps = Maps();
    uint32_t index;
    if (maps.stored.Find(static_cast<const void*>(descriptor), index)) {
        if (index < kBigIndexTag) {
            Put(uint16_t(kClassTagBit | index));
        } else {
            Put(kBigIndexTag);
            Put(uint32_t(index | kBigClassBit));
        }
        return;
    }
    size_t nameLength = std::strlen(descriptor->m_lpszClassName);
    if (nameLength > 0xFFFF) Throw(CXArchiveException::notSerializable, "class name too long");
    if (m_nextIndex > kMaxIndex) Throw(CXArchiveException::badIndex, "too many objects in one archive");
    Put(kNewClassTag);
    Put(uint16_t(descriptor->m_wSchema));
    Put(uint16_t(nameLength));
    Write(descriptor->m_lpszClassName, unsigned(nameLength));
    maps.stored.Insert(static_cast<const void*>(descriptor), m_nextIndex++);
}

void CXArchive::WriteObject(const CXObject* object) {
    CheckStoring();
    if (!object) {
        Put(kNullTag);
        return;
    }
    ObjectMaps& maps = Maps();
    uint32_t index;
    if (maps.stored.Find(static_cast<const void*>(object), index)) {
        if (index < kBigIndexTag) {
            Put(uint16_t(index));
        } else {
            Put(kBigIndexTag);
            Put(uint32_t(index));
        }
        return;
    }
    WriteClass(object->GetRuntimeClassDescriptor());
    if (m_nextIndex > kMaxIndex) Throw(CXArchiveException::badIndex, "too many objects in one archive");
    maps.stored.Insert(static_cast<const void*>(object), m_nextIndex++);
    // Serialize is not const; writing does not change the object.
    const_cast<CXObject*>(object)->Serialize(*this);
}

void CXArchive::ReadReference(Reference& out) {
    CheckLoading();
    ObjectMaps& maps = Maps();
    uint16_t tag = Get<uint16_t>();
    if (tag == kNullTag) {
        out.sort = Reference::nullRef;
        return;
    }
    if (tag == kNewClassTag) {
        unsigned schema = Get<uint16_t>();
        uint16_t nameLength = Get<uint16_t>();
        char small[256];
        char* name = small;
        if (nameLength > sizeof(small)) {
            EnsureAvailable(nameLength);
            name = static_cast<char*>(xmalloc(nameLength));
            if (!name) XThrow<CXMemoryException>();
        }
        const CXRuntimeClass* descriptor;
        try {
            EnsureRead(name, nameLength);
            descriptor = CXRuntimeClass::FromName(name, nameLength);
        } catch (...) {
            if (name != small) xfree(name);
            throw;
        }
        if (name != small) xfree(name);
        if (!descriptor) Throw(CXArchiveException::badClass, "unknown class in archive");
        // A schema newer than the class this build knows cannot be read; 0xFFFF marks classes that
        // are never written.
        if (descriptor->m_wSchema == 0xFFFF || schema > descriptor->m_wSchema)
            Throw(CXArchiveException::badClass, "class schema not readable");
        if (m_nextIndex > kMaxIndex) Throw(CXArchiveException::badIndex, "too many objects in one archive");
        maps.loaded.Add(ObjectMaps::Loaded{descriptor, schema, ObjectMaps::klass});
        out.sort = Reference::newClass;
        out.index = m_nextIndex++;
        out.descriptor = descriptor;
        out.schema = schema;
        return;
    }
    uint32_t index;
    bool isClass;
    if (tag == kBigIndexTag) {
        uint32_t big = Get<uint32_t>();
        isClass = (big & kBigClassBit) != 0;
        index = big & ~kBigClassBit;
    } else {
        isClass = (tag & kClassTagBit) != 0;
        index = tag & ~uint32_t(kClassTagBit);
    }
    if (index == 0 || index >= m_nextIndex) Throw(CXArchiveException::badIndex, "reference to an undefined index");
    const ObjectMaps::Loaded& entry = maps.loaded[int(index)];
    if (entry.sort != (isClass ? ObjectMaps::klass : ObjectMaps::object))
        Throw(CXArchiveException::badIndex, "reference to an index of the wrong sort");
    out.index = index;
    if (isClass) {
        out.sort = Reference::knownClass;
        out.descriptor = static_cast<const CXRuntimeClass*>(entry.pointer);
        out.schema = entry.schema;
    } else {
        out.sort = Reference::objectRef;
        out.object = static_cast<CXObject*>(const_cast<void*>(entry.pointer));
    }
}

CXObject* CXArchive::ReadObject(const CXRuntimeClass* expected) {
    Reference ref;
    ReadReference(ref);
    if (ref.sort == Reference::nullRef) return nullptr;
    if (ref.sort == Reference::objectRef) {
        if (expected && !ref.object->IsKindOf(expected))
            Throw(CXArchiveException::badClass, "object of an unexpected class");
        return ref.object;
    }
    if (expected && !ref.descriptor->IsDerivedFrom(expected))
        Throw(CXArchiveException::badClass, "object of an unexpected class");
    if (m_nextIndex > kMaxIndex) Throw(CXArchiveException::badIndex, "too many objects in one archive");
    if (m_depth >= kMaxObjectDepth) Throw(CXArchiveException::badIndex, "objects nested too deeply");
    CXObject* object = ref.descriptor->CreateObject();
    if (!object) Throw(CXArchiveException::badClass, "class cannot be created");

    // The object takes its index before reading itself, so that the data may refer back to it.
    ObjectMaps& maps = Maps();
    uint32_t index = m_nextIndex++;
    try {
        maps.loaded.Add(ObjectMaps::Loaded{object, kNoSchema, ObjectMaps::object});
    } catch (...) {
        delete object;
        throw;
    }
    unsigned outerSchema = m_objectSchema;
    m_objectSchema = ref.schema;
    ++m_depth;
    try {
        object->Serialize(*this);
    } catch (...) {
        --m_depth;
        // Everything read from this object on belongs to it (or is lost with it): forget those
        // indices so that no dangling pointer can be handed out, then release the object.
        for (int i = int(index); i < maps.loaded.GetSize(); ++i) maps.loaded[i].sort = ObjectMaps::none;
        m_objectSchema = outerSchema;
        delete object;
        throw;
    }
    --m_depth;
    m_objectSchema = outerSchema;
    return object;
}

const CXRuntimeClass* CXArchive::ReadClass(const CXRuntimeClass* expected, unsigned* schema, uint32_t* objectTag) {
    Reference ref;
    ReadReference(ref);
    if (ref.sort == Reference::nullRef || ref.sort == Reference::objectRef) {
        if (!objectTag) Throw(CXArchiveException::badIndex, "object found where a class was expected");
        *objectTag = ref.index;
        return nullptr;
    }
    if (expected && !ref.descriptor->IsDerivedFrom(expected))
        Throw(CXArchiveException::badClass, "class not derived from the expected one");
    if (schema) *schema = ref.schema;
    return ref.descriptor;
}

void CXArchive::SerializeClass(const CXRuntimeClass* descriptor) {
    if (IsStoring()) {
        WriteClass(descriptor);
        return;
    }
    unsigned schema = kNoSchema;
    ReadClass(descriptor, &schema);
    m_objectSchema = schema;
}

}  // namespace kestovar
