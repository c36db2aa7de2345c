// CCustomData: typed values under 32-bit identifiers, kept in one contiguous block so that a whole
// set is copied, compared, checksummed and persisted as one piece. Scenes, nodes, materials, the
// preferences files and the multiresolution descriptions keep their properties in it.
//
// Identifiers and kinds are four-character codes (FourCC('S','C','U','T') == 0x53435554).
//
// Block layout: entries packed one after the other, without alignment (all integers
// little-endian):
//
//   offset 0   u32 identifier
//   offset 4   u32 payload size in bytes
//   offset 8   u32 kind (see _CUSTOM_DATA_KINDS)
//   offset 12  payload
//
// Setting a value (SetCustom and every typed setter): an entry of the same identifier and payload
// size is overwritten in place (kind and payload); otherwise the old entry is removed (closing the
// gap) and, unless the new size is 0, a new entry is appended at the end. The block is first
// allocated at max(128, needed) bytes; when an append needs more than the capacity, it is
// reallocated to needed * 1.5 (truncated).
//
// Getting a value: the entry must exist, have exactly the payload size of the type and the type's
// kind. The kind is not checked while the legacy flag is set (data read from an older layout) or
// when GetCustom is asked for CUSTOM_KIND_ANY. On success the value is copied out and true
// returned; otherwise the default is stored in the output and false returned.
//
// Serialised form (Serialize, SerializeToData), u32 little-endian fields:
//   magic 0x43555335 ("CUS5"); total size = used block size + 20, or 0 for an empty set (nothing
//   follows then); a 20-byte header: version 1, entry count, sum of payload sizes, legacy flag, 0;
//   then the block. Reading also accepts the magic 0x43555334 ("CUS4") with the same layout. The
//   older layouts "CUSU" and "CUST" are not supported. Any other magic, a short or inconsistent
//   header, a short block, or a block whose entries do not walk exactly to its end (or repeat an
//   identifier, or disagree with the header's count or payload sum) empties the set and raises
//   CXFileException (badFormat, or endOfFile for cut data).
//
// Thread safety: every member takes the set's own recursive lock. Pointers into the block
// (GetPtr, GetCustomPtr, GetArray, GetData) stay valid only while the caller holds that lock
// (GetArray attaches the caller's CXSingleLock to it; GetLock gives it for the others) or while no
// other thread modifies the set.
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/object.h"
#include "kestovar/core/xstring.h"
#include "kestovar/platform/thread.h"

namespace kestovar {

class CXArchive;
class CXTime;

// Kinds of entries, and the payload each setter stores.
enum _CUSTOM_DATA_KINDS : uint32_t {
    CUSTOM_KIND_BINARY = 0x2042494E,       // " BIN" raw bytes (SetBinary, SetCustomClass)
    CUSTOM_KIND_BOOL = 0x424F4F4C,         // "BOOL" 4-byte int, 0 or 1
    CUSTOM_KIND_CHAR = 0x43484152,         // "CHAR" 1 byte
    CUSTOM_KIND_UCHAR = 0x55434852,        // "UCHR" 1 byte
    CUSTOM_KIND_INT = 0x20494E54,          // " INT" 4-byte signed
    CUSTOM_KIND_UINT = 0x55494E54,         // "UINT" 4-byte unsigned
    CUSTOM_KIND_LONG = 0x4C4F4E47,         // "LONG" 4-byte signed
    CUSTOM_KIND_ULONG = 0x554C4F4E,        // "ULON" 4-byte unsigned
    CUSTOM_KIND_LONGLONG = 0x4C4C4F4E,     // "LLON" 8-byte signed
    CUSTOM_KIND_ULONGLONG = 0x554C4C4F,    // "ULLO" 8-byte unsigned (SetULongInt, SetSizet)
    CUSTOM_KIND_FLOAT = 0x464C4F41,        // "FLOA" 4-byte float
    CUSTOM_KIND_DOUBLE = 0x444F5542,       // "DOUB" 8-byte double
    CUSTOM_KIND_POINTER = 0x50545236,      // "PTR6" 8-byte pointer value, meaningful in memory only
    CUSTOM_KIND_UNICODE = 0x554E4943,      // "UNIC" UTF-16LE text and a zero unit: 2 * units + 2 bytes
    CUSTOM_KIND_ANSI = 0x414E5349,         // "ANSI" narrow (UTF-8) text and a zero byte
    CUSTOM_KIND_TIME = 0x54494D45,         // "TIME" the 36-byte CXTime record
    CUSTOM_KIND_CUSTOMDATA = 0x43444132,   // "CDA2" a nested set in its serialised form
    CUSTOM_KIND_ARRAY = 0x41525241,        // "ARRA" u32 element count, then the elements
    CUSTOM_KIND_ANY = 0x20202020,          // "    " matches every kind when reading
};

// Magic numbers of the serialised form.
enum _CUSTOM_DATA_MAGIC : uint32_t {
    CUSTOM_MAGIC_CUS4 = 0x43555334,
    CUSTOM_MAGIC_CUS5 = 0x43555335,
    CUSTOM_MAGIC_CUSU = 0x43555355,
    CUSTOM_MAGIC_CUST = 0x43555354,
};

// Modes of AddToCustomData.
enum _CUSTOM_DATA_ADD_MODE : unsigned {
    CUSTOM_ADD_REPLACE = 0,  // merge; entries of the source replace those of the same identifier
    CUSTOM_ADD_KEEP = 1,     // merge; entries already present are kept
    CUSTOM_ADD_RESET = 2,    // the nested set becomes a copy of the source
};

// An object that stores itself in a CCustomData entry through the archive (SetCustomClass /
// GetCustomClass). The entry is of kind CUSTOM_KIND_BINARY and holds exactly the bytes that
// Serialize writes.
class KESTOVAR_API CCustomDataClass : public CXAllocated {
public:
    virtual ~CCustomDataClass();
    virtual void Serialize(CXArchive& ar) = 0;
};

class KESTOVAR_API CCustomData : public CXObject {
    KX_DECLARE_SERIAL(CCustomData)
public:
    // Bytes of an entry header (identifier, size, kind) and of the serialised header.
    static constexpr unsigned kEntryHeaderSize = 12;
    static constexpr unsigned kSerialHeaderSize = 20;
    // Sizes of SerializeToData's memory file granule and archive buffer.
    static constexpr unsigned kMemFileGrowBytes = 2048;
    static constexpr unsigned kArchiveBufferSize = 4096;

    CCustomData();
    CCustomData(const CCustomData& other);
    CCustomData& operator=(const CCustomData& other);
    ~CCustomData() override;

    // --- Generic access -------------------------------------------------------------------------

    // Stores `size` bytes of `data` under `identifier` with `kind` (the set-custom rule above).
    // A size of 0 removes the entry. `data` may be null only when size is 0.
    void SetCustom(uint32_t identifier, const void* data, unsigned size, uint32_t kind);
    // Copies the payload of `identifier` into `data` when it is exactly `size` bytes of `kind`
    // (CUSTOM_KIND_ANY: any kind). `data` is left untouched on failure.
    bool GetCustom(uint32_t identifier, void* data, unsigned size, uint32_t kind) const;

    // --- Typed setters --------------------------------------------------------------------------

    void SetBinary(uint32_t identifier, const void* data, unsigned size) {
        SetCustom(identifier, data, size, CUSTOM_KIND_BINARY);
    }
    void SetBool(uint32_t identifier, bool value);
    void SetChar(uint32_t identifier, char value);
    void SetUChar(uint32_t identifier, unsigned char value);
    void SetInt(uint32_t identifier, int32_t value);
    void SetUInt(uint32_t identifier, uint32_t value);
    void SetLong(uint32_t identifier, int32_t value);
    void SetULong(uint32_t identifier, uint32_t value);
    void SetLongInt(uint32_t identifier, int64_t value);
    void SetULongInt(uint32_t identifier, uint64_t value);
    void SetSizet(uint32_t identifier, size_t value);
    void SetFloat(uint32_t identifier, float value);
    void SetDouble(uint32_t identifier, double value);
    void SetPtr(uint32_t identifier, const void* value);
    // Wide text as UTF-16LE with a terminating zero unit (null text: an empty string).
    void SetString(uint32_t identifier, const wchar_t* text);
    void SetString(uint32_t identifier, const CXTString<wchar_t>& text);
    void SetStringW(uint32_t identifier, const wchar_t* text) { SetString(identifier, text); }
    void SetStringW(uint32_t identifier, const CXTString<wchar_t>& text) { SetString(identifier, text); }
    // Narrow text with a terminating zero byte.
    void SetStringA(uint32_t identifier, const char* text);
    void SetStringA(uint32_t identifier, const CXTString<char>& text);
    void SetTime(uint32_t identifier, const CXTime& time);
    // Stores `nested` in its serialised form. `nested` may be this set.
    void SetCustomData(uint32_t identifier, const CCustomData& nested);
    // Stores `count` elements of `elementSize` bytes; a count of 0 removes the entry.
    void SetArray(uint32_t identifier, const void* data, unsigned count, unsigned elementSize);
    // Stores the strings as a nested set (kind "CDA2") whose entries 0, 1, ..., n - 1 are the
    // strings in order ("UNIC"). An empty array removes the entry.
    void SetStringArray(uint32_t identifier, const CXArray<CXTString<wchar_t>, const CXTString<wchar_t>&>& strings);
    // Stores what `object.Serialize` writes to a storing archive.
    void SetCustomClass(uint32_t identifier, CCustomDataClass& object);

    // --- Typed getters (see the header comment) -------------------------------------------------

    bool GetBool(uint32_t identifier, bool& value, bool defaultValue = false) const;
    bool GetBool(uint32_t identifier, int& value, int defaultValue = 0) const;
    bool GetChar(uint32_t identifier, char& value, char defaultValue = 0) const;
    bool GetUChar(uint32_t identifier, unsigned char& value, unsigned char defaultValue = 0) const;
    bool GetInt(uint32_t identifier, int32_t& value, int32_t defaultValue = 0) const;
    bool GetUInt(uint32_t identifier, uint32_t& value, uint32_t defaultValue = 0) const;
    bool GetLong(uint32_t identifier, int32_t& value, int32_t defaultValue = 0) const;
    bool GetULong(uint32_t identifier, uint32_t& value, uint32_t defaultValue = 0) const;
    bool GetLongInt(uint32_t identifier, int64_t& value, int64_t defaultValue = 0) const;
    bool GetULongInt(uint32_t identifier, uint64_t& value, uint64_t defaultValue = 0) const;
    bool GetSizet(uint32_t identifier, size_t& value, size_t defaultValue = 0) const;
    bool GetFloat(uint32_t identifier, float& value, float defaultValue = 0.0f) const;
    bool GetDouble(uint32_t identifier, double& value, double defaultValue = 0.0) const;
    bool GetPtr(uint32_t identifier, void*& value, void* defaultValue = nullptr) const;
    // Exactly `size` bytes of kind " BIN"; `data` is left untouched on failure.
    bool GetBinary(uint32_t identifier, void* data, unsigned size) const {
        return GetCustom(identifier, data, size, CUSTOM_KIND_BINARY);
    }
    // Text up to the first zero unit (or the end of the payload); a payload of odd size fails.
    bool GetString(uint32_t identifier, CXTString<wchar_t>& text, const wchar_t* defaultText = L"") const;
    bool GetStringW(uint32_t identifier, CXTString<wchar_t>& text, const wchar_t* defaultText = L"") const {
        return GetString(identifier, text, defaultText);
    }
    bool GetStringA(uint32_t identifier, CXTString<char>& text, const char* defaultText = "") const;
    // Fails (storing the default) unless the record is the empty time or a valid one.
    bool GetTime(uint32_t identifier, CXTime& time, const CXTime& defaultTime) const;
    // Reads the nested set into `nested` (emptied on failure); `nested` may be this set.
    bool GetCustomData(uint32_t identifier, CCustomData& nested) const;
    // Attaches `lock` to this set's lock (locking it), then returns the elements, or null with a
    // count of 0 when the entry is missing, is not an array (unless legacy), has a payload shorter
    // than 4 bytes, or when (payload - 4) / stored count differs from `elementSize`. The pointer
    // stays valid while `lock` is held.
    const void* GetArray(uint32_t identifier, unsigned& count, unsigned elementSize, CXSingleLock& lock) const;
    // Fails (and empties `strings`) unless the entry is a nested set of strings under 0 .. n - 1.
    bool GetStringArray(uint32_t identifier, CXArray<CXTString<wchar_t>, const CXTString<wchar_t>&>& strings) const;
    // Runs `object.Serialize` on a loading archive over the payload; false when the entry is
    // missing or of another kind, or when the object raised while reading (the exception is
    // released).
    bool GetCustomClass(uint32_t identifier, CCustomDataClass& object) const;

    // --- Entries --------------------------------------------------------------------------------

    // Removes the entry, moving the following entries down. False when absent.
    bool RemoveCustom(uint32_t identifier);
    // Empties the set, releases the block and clears the legacy flag.
    void RemoveAll();
    bool HasData(uint32_t identifier) const;
    bool HasData() const;
    unsigned GetIDCount() const;
    // Identifier of the index-th entry in block order (and its kind in `kind` when not null).
    // An index out of range raises CXInvalidArgException.
    uint32_t GetIDByIndex(unsigned index, uint32_t* kind = nullptr) const;
    // Kind or payload size of an entry; 0 when absent.
    uint32_t GetDataKindOf(uint32_t identifier) const;
    unsigned GetDataSize(uint32_t identifier) const;
    // Renames an entry in place. False when `oldIdentifier` is absent or `newIdentifier` is taken
    // by another entry.
    bool ChangeID(uint32_t oldIdentifier, uint32_t newIdentifier);
    // Copies the entry `identifier` of `source` into this set (replacing ours). False when the
    // source has no such entry.
    bool CopyID(const CCustomData& source, uint32_t identifier);
    // Makes this set a copy of `source` (legacy flag included).
    void Copy(const CCustomData& source);
    bool Copy(const CCustomData& source, uint32_t identifier) { return CopyID(source, identifier); }
    // Merges `source` into the nested set stored under `identifier` (created when missing or not a
    // nested set), following `mode` (_CUSTOM_DATA_ADD_MODE). Returns false for an unknown mode.
    bool AddToCustomData(uint32_t identifier, const CCustomData& source, unsigned mode);
    // Same entries (identifier, kind and payload bytes), in any order. The legacy flag is ignored.
    bool IsEqual(const CCustomData& other) const;
    // A 32-bit checksum of the entries, independent of their order (so sets that are IsEqual have
    // the same checksum) and the same on every platform and run: each entry's bytes, as laid out
    // in the block, are hashed with 32-bit FNV-1a after the four little-endian bytes of `seed`;
    // the entry hashes are summed (mod 2^32), and the result is FNV-1a of the seed, the entry
    // count and that sum (each as four little-endian bytes).
    uint32_t GetChecksum(uint32_t seed = 0) const;
    // Shrinks the capacity to the used size (releasing the block of an empty set).
    void FreeExtra();

    // --- Raw block ------------------------------------------------------------------------------

    // Adopts `block` (from xmalloc, `size` bytes used) when it is a well-formed block; the set then
    // owns it. Returns false (and leaves both unchanged) otherwise.
    bool Attach(void* block, unsigned size);
    // Hands the block out (release with xfree) and empties the set; `size` receives its used size.
    uint8_t* Detach(unsigned* size = nullptr);
    // The block and its used size (null for an empty set).
    const uint8_t* GetData(unsigned& size) const;
    // Replaces the content by a copy of a well-formed block; false (set unchanged) otherwise.
    bool SetData(const void* block, unsigned size);
    const uint8_t* GetPtr() const { return m_block; }
    // The payload of `identifier` with its size and kind, or null when absent.
    const void* GetCustomPtr(uint32_t identifier, unsigned* size = nullptr, uint32_t* kind = nullptr) const;
    unsigned GetUsedSize() const { return m_size; }
    unsigned GetCapacity() const { return m_capacity; }
    // 0 for current data; 1 or 2 when read from an older layout.
    unsigned GetLegacyFlag() const { return m_legacy; }
    void SetLegacyFlag(unsigned legacy);
    CXCriticalSection& GetLock() const { return m_section; }

    // --- Persistence ----------------------------------------------------------------------------

    void Serialize(CXArchive& ar) override;
    // The serialised form in a block from xmalloc (release with xfree); `size` receives its size.
    uint8_t* SerializeToData(unsigned& size) const;
    // Replaces the content by the serialised form in `data`. Malformed bytes empty the set and
    // raise CXFileException, as Serialize does. Returns true.
    bool SerializeFromData(const void* data, unsigned size);

    // Preferences files. The file is `name` (a file name with its extension, such as
    // "3dprefs.prefs") in `directory`, by default the user-preferences directory
    // (GetUserPreferencesPath); an absolute `name` is used as is. It is a text file of sections
    // and entries, one line each, which several sets may share:
    //
    //   [3DVW]
    //   PREF=43555335...        (the serialised set in upper-case hexadecimal)
    //
    // A section or entry name is the four characters of its code when they are all letters or
    // digits, else "0x" and eight hexadecimal digits. Lines that are not understood are kept as
    // they are when the file is rewritten.
    //
    // SaveToPrefs replaces (or adds) the one entry and rewrites the file through a temporary file
    // renamed over it; the user-preferences directory is created when it is used and missing (an
    // explicit `directory` must exist). LoadFromPrefs replaces the content by
    // the stored set; false when the file, section or entry is missing or malformed (the set is
    // then unchanged).
    bool SaveToPrefs(const wchar_t* name, uint32_t section, uint32_t entry, const wchar_t* directory = nullptr) const;
    bool LoadFromPrefs(const wchar_t* name, uint32_t section, uint32_t entry, const wchar_t* directory = nullptr);

    // Text of the set for diagnostics, one line per entry, each prefixed by `indentation` tabs:
    // "%.4s (%.4s) : " with the identifier and the kind as characters (first character from the
    // most significant byte), then the value: "%d\r\n" for CHAR, BOOL, INT and LONG; "%u\r\n" for
    // UCHR, UINT and ULON; "%f\r\n" for FLOA and DOUB; "%lld\r\n" for LLON; "%llu\r\n" for ULLO;
    // "0x%llX\r\n" for PTR6; "Sub data\r\n" for a nested set, followed (when `recursive`) by its
    // own lines with one more tab; "?\r\n" for every other kind or a payload of the wrong size.
    CXTString<wchar_t> DumpCustomData(bool recursive = true, int indentation = 0) const;

private:
    static constexpr unsigned kNotFound = 0xFFFFFFFFu;

    // Offset of the entry `identifier`, or kNotFound. Lock held.
    unsigned FindEntry(uint32_t identifier) const;
    // Reserves the entry `identifier` with a payload of `size` bytes and `kind` (set-custom rule)
    // and returns its payload for the caller to fill, or null when size is 0. Lock held.
    uint8_t* PrepareEntry(uint32_t identifier, unsigned size, uint32_t kind);
    void RemoveAt(unsigned offset);
    void Empty();
    // Checks that `block` is a well-formed block and rebuilds the offset map for it; on failure
    // the map is left empty and false returned. `expectedCount`/`expectedPayload` (when not
    // kNotFound-sized) must match the block.
    bool RebuildMap(const uint8_t* block, unsigned size, uint64_t expectedCount, uint64_t expectedPayload);
    void WriteTo(CXArchive& ar) const;
    void ReadFrom(CXArchive& ar);
    template <class T>
    bool GetValue(uint32_t identifier, T& value, const T& defaultValue, uint32_t kind) const;
    void DumpTo(CXTString<char>& out, bool recursive, int indentation) const;

    CHashMap<unsigned, unsigned, unsigned, CHashMethods<unsigned>> m_offsets;
    unsigned m_legacy;
    mutable CXCriticalSection m_section;
    uint8_t* m_block;
    unsigned m_size;
    unsigned m_capacity;
};

}  // namespace kestovar
