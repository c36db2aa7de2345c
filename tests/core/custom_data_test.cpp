#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/memory.h"
#include "kestovar/platform/file.h"
#include "kestovar/platform/time.h"

namespace {

using namespace kestovar;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSCUT = FourCC('S', 'C', 'U', 'T');
constexpr uint32_t kNAME = FourCC('N', 'A', 'M', 'E');
constexpr uint32_t kA = FourCC('A', 'A', 'A', 'A');
constexpr uint32_t kB = FourCC('B', 'B', 'B', 'B');

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// One block entry: identifier, size, kind, payload.
Bytes Entry(uint32_t id, uint32_t kind, const Bytes& payload) {
    return Cat({Le32(id), Le32(uint32_t(payload.size())), Le32(kind), payload});
}
// A serialised set around `block`, with the header fields given explicitly.
Bytes Blob(const Bytes& block, uint32_t count, uint32_t payloadSum, uint32_t legacy = 0, uint32_t version = 1,
           uint32_t magic = CUSTOM_MAGIC_CUS5) {
    return Cat({Le32(magic), Le32(uint32_t(block.size() + 20)), Le32(version), Le32(count), Le32(payloadSum),
                Le32(legacy), Le32(0), block});
}

Bytes WithoutLastByte(Bytes b) {
    b.pop_back();
    return b;
}

Bytes BlockOf(const CCustomData& data) {
    unsigned size = 0;
    const uint8_t* p = data.GetData(size);
    return Bytes(p, p + size);
}

Bytes Serialized(const CCustomData& data) {
    unsigned size = 0;
    uint8_t* p = data.SerializeToData(size);
    Bytes out(p, p + size);
    xfree(p);
    return out;
}

// Loads `blob`; returns the cause of the CXFileException raised (released), or -1 on success.
int LoadCause(CCustomData& data, const Bytes& blob) {
    try {
        data.SerializeFromData(blob.data(), unsigned(blob.size()));
    } catch (CXFileException* e) {
        int cause = e->m_cause;
        XDeleteThreadException();
        return cause;
    }
    return -1;
}

// ---- set-custom rule -----------------------------------------------------------------------------

TEST(CustomDataSetTest, IntThenFloatReplacesInPlace) {
    CCustomData data;
    data.SetInt(kSCUT, 5);
    const uint8_t* block = data.GetPtr();
    EXPECT_EQ(data.GetCapacity(), 128u);  // max(128, 16)
    data.SetFloat(kSCUT, 1.5f);
    EXPECT_EQ(data.GetPtr(), block);
    EXPECT_EQ(data.GetCapacity(), 128u);
    EXPECT_EQ(BlockOf(data), Entry(kSCUT, CUSTOM_KIND_FLOAT, {0, 0, 0xC0, 0x3F}));
    int32_t i = 0;
    EXPECT_FALSE(data.GetInt(kSCUT, i, -9));
    EXPECT_EQ(i, -9);
    float f = 0;
    EXPECT_TRUE(data.GetFloat(kSCUT, f));
    EXPECT_EQ(f, 1.5f);
}

TEST(CustomDataSetTest, GrowthRule) {
    CCustomData data;
    // Eight 16-byte entries fill the first 128 bytes exactly; the ninth needs 144 -> 216.
    for (uint32_t id = 1; id <= 8; ++id) data.SetUInt(id, id);
    EXPECT_EQ(data.GetCapacity(), 128u);
    data.SetUInt(9, 9);
    EXPECT_EQ(data.GetCapacity(), 216u);
    data.FreeExtra();
    EXPECT_EQ(data.GetCapacity(), 144u);

    // A first entry larger than 128 bytes is allocated at its exact size; the next one at
    // needed * 1.5, truncated: (212 + 13) * 1.5 = 337.5 -> 337.
    CCustomData big;
    Bytes payload(200, 0xAB);
    big.SetBinary(kA, payload.data(), 200);
    EXPECT_EQ(big.GetCapacity(), 212u);
    big.SetChar(kB, 'x');
    EXPECT_EQ(big.GetCapacity(), 337u);
    EXPECT_EQ(big.GetUsedSize(), 225u);
}

TEST(CustomDataSetTest, LongerStringMovesToTheEnd) {
    CCustomData data;
    data.SetInt(kA, 1);
    data.SetString(kNAME, L"0123456789");
    data.SetInt(kB, 2);
    EXPECT_EQ(data.GetIDByIndex(1), kNAME);
    // Same length: stays in place.
    data.SetString(kNAME, L"abcdefghij");
    EXPECT_EQ(data.GetIDByIndex(1), kNAME);
    // Longer: removed, the gap closed, appended.
    data.SetString(kNAME, L"abcdefghijkl");
    uint32_t kind = 0;
    EXPECT_EQ(data.GetIDByIndex(2, &kind), kNAME);
    EXPECT_EQ(kind, uint32_t(CUSTOM_KIND_UNICODE));
    Bytes text;
    for (char c : std::string("abcdefghijkl")) text.insert(text.end(), {uint8_t(c), 0});
    text.insert(text.end(), {0, 0});
    EXPECT_EQ(BlockOf(data), Cat({Entry(kA, CUSTOM_KIND_INT, Le32(1)), Entry(kB, CUSTOM_KIND_INT, Le32(2)),
                                  Entry(kNAME, CUSTOM_KIND_UNICODE, text)}));
    // The offsets of the moved entries were updated.
    int32_t v = 0;
    EXPECT_TRUE(data.GetInt(kB, v));
    EXPECT_EQ(v, 2);
    CXStringW s;
    EXPECT_TRUE(data.GetString(kNAME, s));
    EXPECT_TRUE(s == L"abcdefghijkl");
    EXPECT_THROW(data.GetIDByIndex(3), CXInvalidArgException*);
    XDeleteThreadException();
}

// A value written from a pointer into the set's own block (as GetCustomPtr gives it) is copied
// before the block moves: the growth that makes room for the new entry must not leave the source
// behind (AddressSanitizer sees a read of the freed block otherwise).
TEST(CustomDataSetTest, ValuesCopiedFromTheSetItselfSurviveItsGrowth) {
    CCustomData data;
    Bytes payload(100);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + 1);
    data.SetBinary(kA, payload.data(), unsigned(payload.size()));
    unsigned size = 0;
    uint32_t kind = 0;
    const void* inside = data.GetCustomPtr(kA, &size, &kind);
    ASSERT_NE(inside, nullptr);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(data.GetCustomPtr(kB, &size, &kind), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(kind, 0u);

    const unsigned before = data.GetCapacity();
    data.SetCustom(kB, data.GetCustomPtr(kA), 100, CUSTOM_KIND_BINARY);
    EXPECT_GT(data.GetCapacity(), before);  // the block moved
    Bytes got(100);
    EXPECT_TRUE(data.GetCustom(kB, got.data(), 100, CUSTOM_KIND_BINARY));
    EXPECT_EQ(got, payload);

    data.SetArray(kSCUT, data.GetCustomPtr(kB), 25, 4);
    unsigned count = 0;
    {
        CXSingleLock lock;
        const void* array = data.GetArray(kSCUT, count, 4, lock);
        ASSERT_EQ(count, 25u);
        EXPECT_EQ(std::memcmp(array, payload.data(), 100), 0);
    }

    const char text[] = "a text long enough to make the block grow once more, copied from inside it";
    data.SetStringA(kNAME, text);
    for (uint32_t id = 1; id <= 3; ++id)
        data.SetStringA(id, static_cast<const char*>(data.GetCustomPtr(kNAME)));
    CXTString<char> back;
    EXPECT_TRUE(data.GetStringA(3, back));
    EXPECT_STREQ(back.GetString(), text);
}

TEST(CustomDataSetTest, RemovingEntries) {
    CCustomData data;
    data.SetInt(kA, 1);
    data.SetLongInt(kB, -5);
    data.SetChar(kSCUT, 'c');
    EXPECT_TRUE(data.RemoveCustom(kA));
    EXPECT_FALSE(data.RemoveCustom(kA));
    EXPECT_EQ(BlockOf(data), Cat({Entry(kB, CUSTOM_KIND_LONGLONG, {0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
                                  Entry(kSCUT, CUSTOM_KIND_CHAR, {'c'})}));
    // A size of 0 removes.
    data.SetBinary(kB, nullptr, 0);
    EXPECT_FALSE(data.HasData(kB));
    // Removing the only entry empties the set.
    EXPECT_TRUE(data.RemoveCustom(kSCUT));
    EXPECT_FALSE(data.HasData());
    EXPECT_EQ(data.GetPtr(), nullptr);
    EXPECT_EQ(data.GetCapacity(), 0u);
}

// ---- getters ---------------------------------------------------------------------------------------

TEST(CustomDataGetTest, KindSizeAndWildcard) {
    CCustomData data;
    data.SetUInt(kA, 7);
    int32_t i = 0;
    EXPECT_FALSE(data.GetInt(kA, i, 42));  // UINT is not INT
    EXPECT_EQ(i, 42);
    int64_t ll = 0;
    EXPECT_FALSE(data.GetLongInt(kA, ll, 3));  // wrong size
    EXPECT_EQ(ll, 3);
    uint32_t raw = 0;
    EXPECT_TRUE(data.GetCustom(kA, &raw, 4, CUSTOM_KIND_ANY));
    EXPECT_EQ(raw, 7u);
    EXPECT_FALSE(data.GetCustom(kA, &raw, 4, CUSTOM_KIND_INT));
    bool b = true;
    EXPECT_FALSE(data.GetBool(kB, b, false));  // absent
    EXPECT_FALSE(b);
}

TEST(CustomDataGetTest, LegacyDataIgnoresTheKind) {
    // A CUS5 blob with the legacy flag set: an "UINT" entry reads as an int.
    Bytes blob = Blob(Entry(kA, CUSTOM_KIND_UINT, Le32(7)), 1, 4, /*legacy*/ 1);
    CCustomData data;
    ASSERT_EQ(LoadCause(data, blob), -1);
    EXPECT_EQ(data.GetLegacyFlag(), 1u);
    int32_t i = 0;
    EXPECT_TRUE(data.GetInt(kA, i, 42));
    EXPECT_EQ(i, 7);
    int64_t ll = 0;
    EXPECT_FALSE(data.GetLongInt(kA, ll, 3));  // the size still counts
    // Re-serialising keeps the flag.
    EXPECT_EQ(Serialized(data), blob);
}

TEST(CustomDataGetTest, EveryTypedValueRoundTrips) {
    CCustomData data;
    data.SetBool(1, true);
    data.SetChar(2, -3);
    data.SetUChar(3, 200);
    data.SetInt(4, -4);
    data.SetUInt(5, 5);
    data.SetLong(6, -6);
    data.SetULong(7, 7);
    data.SetLongInt(8, -8000000000LL);
    data.SetULongInt(9, 9000000000ULL);
    data.SetSizet(10, 10);
    data.SetFloat(11, 11.5f);
    data.SetDouble(12, 12.25);
    int marker;
    data.SetPtr(13, &marker);
    data.SetStringA(14, "narrow");
    data.SetString(15, L"wide \u00E9\U0001D11E");
    CXTime when(2024, 2, 29, 13, 45, 30, 250);
    data.SetTime(16, when);

    CCustomData copy;
    Bytes blob = Serialized(data);
    ASSERT_EQ(LoadCause(copy, blob), -1);
    bool b = false;
    int bi = 0;
    char c = 0;
    unsigned char uc = 0;
    int32_t i = 0, l = 0;
    uint32_t u = 0, ul = 0;
    int64_t ll = 0;
    uint64_t ull = 0;
    size_t sz = 0;
    float f = 0;
    double d = 0;
    void* p = nullptr;
    CXStringA sa;
    CXStringW sw;
    CXTime t;
    EXPECT_TRUE(copy.GetBool(1, b) && b);
    EXPECT_TRUE(copy.GetBool(1, bi) && bi == 1);
    EXPECT_TRUE(copy.GetChar(2, c) && c == -3);
    EXPECT_TRUE(copy.GetUChar(3, uc) && uc == 200);
    EXPECT_TRUE(copy.GetInt(4, i) && i == -4);
    EXPECT_TRUE(copy.GetUInt(5, u) && u == 5u);
    EXPECT_TRUE(copy.GetLong(6, l) && l == -6);
    EXPECT_TRUE(copy.GetULong(7, ul) && ul == 7u);
    EXPECT_TRUE(copy.GetLongInt(8, ll) && ll == -8000000000LL);
    EXPECT_TRUE(copy.GetULongInt(9, ull) && ull == 9000000000ULL);
    EXPECT_TRUE(copy.GetSizet(10, sz) && sz == 10u);
    EXPECT_TRUE(copy.GetFloat(11, f) && f == 11.5f);
    EXPECT_TRUE(copy.GetDouble(12, d) && d == 12.25);
    EXPECT_TRUE(copy.GetPtr(13, p) && p == &marker);
    EXPECT_TRUE(copy.GetStringA(14, sa) && sa == "narrow");
    EXPECT_TRUE(copy.GetString(15, sw) && sw == L"wide \u00E9\U0001D11E");
    EXPECT_TRUE(copy.GetTime(16, t, CXTime()) && t == when);
    // The wide string is stored as UTF-16 with a terminator: 6 units, a pair and the zero.
    EXPECT_EQ(copy.GetDataSize(15), 18u);
    EXPECT_EQ(copy.GetDataSize(14), 7u);
    EXPECT_EQ(copy.GetDataSize(16), 36u);
    // Wrong kinds give the defaults.
    EXPECT_FALSE(copy.GetStringA(15, sa, "dflt"));
    EXPECT_TRUE(sa == "dflt");
    EXPECT_FALSE(copy.GetString(14, sw, L"dflt"));
    EXPECT_TRUE(sw == L"dflt");
}

TEST(CustomDataGetTest, InvalidTimeRecordGivesTheDefault) {
    CCustomData data;
    Bytes bad(36, 0);
    bad[4] = 13;  // month 13, everything else zero: neither empty nor valid
    data.SetCustom(kA, bad.data(), 36, CUSTOM_KIND_TIME);
    CXTime fallback(2000, 1, 1);
    CXTime t;
    EXPECT_FALSE(data.GetTime(kA, t, fallback));
    EXPECT_TRUE(t == fallback);
}

TEST(CustomDataGetTest, Arrays) {
    CCustomData data;
    const uint16_t values[3] = {1, 2, 3};
    data.SetArray(kA, values, 3, 2);
    EXPECT_EQ(BlockOf(data), Entry(kA, CUSTOM_KIND_ARRAY, {3, 0, 0, 0, 1, 0, 2, 0, 3, 0}));
    {
        CXSingleLock lock;
        unsigned count = 99;
        const void* p = data.GetArray(kA, count, 2, lock);
        EXPECT_TRUE(lock.IsLocked());
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(std::memcmp(p, values, 6), 0);
        // The wrong element size fails.
        EXPECT_EQ(data.GetArray(kA, count, 4, lock), nullptr);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(data.GetArray(kA, count, 1, lock), nullptr);
    }
    // Payloads shorter than 4 bytes, a stored count of 0, other kinds: all fail.
    data.SetCustom(kB, "ab", 2, CUSTOM_KIND_ARRAY);
    data.SetCustom(kSCUT, Le32(0).data(), 4, CUSTOM_KIND_ARRAY);
    data.SetInt(kNAME, 1);
    CXSingleLock lock;
    unsigned count = 5;
    EXPECT_EQ(data.GetArray(kB, count, 1, lock), nullptr);
    EXPECT_EQ(data.GetArray(kSCUT, count, 0, lock), nullptr);
    EXPECT_EQ(data.GetArray(kNAME, count, 0, lock), nullptr);
    EXPECT_EQ(count, 0u);
    lock.Unlock();
    // A count of 0 removes.
    data.SetArray(kA, nullptr, 0, 2);
    EXPECT_FALSE(data.HasData(kA));
}

TEST(CustomDataGetTest, StringArraysAndNestedSets) {
    CXArray<CXStringW> strings;
    strings.Add(CXStringW(L"one"));
    strings.Add(CXStringW(L""));
    strings.Add(CXStringW(L"three"));
    CCustomData data;
    data.SetStringArray(kA, strings);
    EXPECT_EQ(data.GetDataKindOf(kA), uint32_t(CUSTOM_KIND_CUSTOMDATA));
    CXArray<CXStringW> back;
    ASSERT_TRUE(data.GetStringArray(kA, back));
    ASSERT_EQ(back.GetSize(), 3);
    EXPECT_TRUE(back[0] == L"one" && back[1] == L"" && back[2] == L"three");

    // A nested set that does not hold strings under 0..n-1 is not a string array.
    CCustomData nested;
    nested.SetInt(0, 1);
    data.SetCustomData(kB, nested);
    EXPECT_FALSE(data.GetStringArray(kB, back));
    EXPECT_EQ(back.GetSize(), 0);
    CCustomData out;
    ASSERT_TRUE(data.GetCustomData(kB, out));
    EXPECT_TRUE(out.IsEqual(nested));
    // A set may nest itself, and read a nested set into itself.
    data.SetCustomData(kNAME, data);
    EXPECT_TRUE(data.GetCustomData(kB, data));
    EXPECT_TRUE(data.IsEqual(nested));
    // A corrupt nested payload fails and empties the output.
    data.SetCustom(kSCUT, "junk", 4, CUSTOM_KIND_CUSTOMDATA);
    out.SetInt(1, 1);
    EXPECT_FALSE(data.GetCustomData(kSCUT, out));
    EXPECT_FALSE(out.HasData());
}

class CTestPayload : public CCustomDataClass {
public:
    int32_t a = 0;
    CXStringW name;
    void Serialize(CXArchive& ar) override {
        if (ar.IsStoring())
            ar << a << name;
        else
            ar >> a >> name;
    }
};

TEST(CustomDataGetTest, CustomClasses) {
    CTestPayload in;
    in.a = 77;
    in.name = L"xyz";
    CCustomData data;
    data.SetCustomClass(kA, in);
    EXPECT_EQ(data.GetDataKindOf(kA), uint32_t(CUSTOM_KIND_BINARY));
    EXPECT_EQ(BlockOf(data), Entry(kA, CUSTOM_KIND_BINARY, {77, 0, 0, 0, 0xFF, 0xFE, 0xFF, 3, 'x', 0, 'y', 0, 'z', 0}));
    CTestPayload out;
    EXPECT_TRUE(data.GetCustomClass(kA, out));
    EXPECT_EQ(out.a, 77);
    EXPECT_TRUE(out.name == L"xyz");
    // Too short for the object: the archive's exception is turned into false.
    data.SetBinary(kB, "\x01\x02", 2);
    EXPECT_FALSE(data.GetCustomClass(kB, out));
    EXPECT_FALSE(data.GetCustomClass(kSCUT, out));
}

// ---- serialised form --------------------------------------------------------------------------------

TEST(CustomDataSerialTest, EmptySetIsMagicAndZero) {
    CCustomData data;
    EXPECT_EQ(Serialized(data), (Bytes{0x35, 0x53, 0x55, 0x43, 0, 0, 0, 0}));
    data.SetInt(kA, 1);
    data.RemoveAll();
    EXPECT_EQ(Serialized(data), (Bytes{0x35, 0x53, 0x55, 0x43, 0, 0, 0, 0}));
    // And it reads back as an empty set, replacing any content.
    data.SetInt(kA, 1);
    ASSERT_EQ(LoadCause(data, {0x35, 0x53, 0x55, 0x43, 0, 0, 0, 0}), -1);
    EXPECT_FALSE(data.HasData());
}

TEST(CustomDataSerialTest, HandBuiltBlobWithTwoEntries) {
    Bytes block = Cat({Entry(kSCUT, CUSTOM_KIND_UINT, Le32(7)), Entry(kNAME, CUSTOM_KIND_UNICODE, {'h', 0, 'i', 0, 0, 0})});
    Bytes blob = Blob(block, 2, 10);
    for (uint32_t magic : {uint32_t(CUSTOM_MAGIC_CUS5), uint32_t(CUSTOM_MAGIC_CUS4)}) {
        CCustomData data;
        ASSERT_EQ(LoadCause(data, Blob(block, 2, 10, 0, 1, magic)), -1);
        EXPECT_EQ(data.GetIDCount(), 2u);
        uint32_t u = 0;
        EXPECT_TRUE(data.GetUInt(kSCUT, u));
        EXPECT_EQ(u, 7u);
        CXStringW s;
        EXPECT_TRUE(data.GetString(kNAME, s));
        EXPECT_TRUE(s == L"hi");
        // Written back as CUS5, byte for byte.
        EXPECT_EQ(Serialized(data), blob);
    }
}

TEST(CustomDataSerialTest, CorruptBlobsEmptyTheSetAndRaise) {
    Bytes good = Entry(kA, CUSTOM_KIND_INT, Le32(1));
    struct Case {
        const char* what;
        Bytes blob;
        int cause;
    } cases[] = {
        {"bad magic", Blob(good, 1, 4, 0, 1, 0x12345678), CXFileException::badFormat},
        {"older CUSU layout", Blob(good, 1, 4, 0, 1, CUSTOM_MAGIC_CUSU), CXFileException::badFormat},
        {"older CUST layout", Blob(good, 1, 4, 0, 1, CUSTOM_MAGIC_CUST), CXFileException::badFormat},
        {"no data", {}, CXFileException::endOfFile},
        {"magic only", {0x35, 0x53, 0x55, 0x43}, CXFileException::endOfFile},
        {"total below the header", Cat({Le32(CUSTOM_MAGIC_CUS5), Le32(19)}), CXFileException::badFormat},
        {"header cut short", Cat({Le32(CUSTOM_MAGIC_CUS5), Le32(36), Le32(1), Le32(1)}), CXFileException::endOfFile},
        {"version 2", Blob(good, 1, 4, 0, 2), CXFileException::badFormat},
        {"block cut short", WithoutLastByte(Blob(good, 1, 4)), CXFileException::endOfFile},
        {"entry runs past the block", Blob(Cat({Le32(kA), Le32(5), Le32(CUSTOM_KIND_INT), Le32(1)}), 1, 5),
         CXFileException::badFormat},
        {"header cut inside the block", Blob(Cat({good, Bytes{1, 2, 3}}), 2, 4), CXFileException::badFormat},
        {"count mismatch", Blob(good, 2, 4), CXFileException::badFormat},
        {"payload sum mismatch", Blob(good, 1, 5), CXFileException::badFormat},
        {"repeated identifier", Blob(Cat({good, good}), 2, 8), CXFileException::badFormat},
        {"huge block claim", Cat({Le32(CUSTOM_MAGIC_CUS5), Le32(0xFFFFFFF0u), Le32(1), Le32(0), Le32(0), Le32(0), Le32(0)}),
         CXFileException::badFormat},
        {"large block claim, little data", Cat({Le32(CUSTOM_MAGIC_CUS5), Le32(0x10000000u), Le32(1), Le32(0), Le32(0), Le32(0), Le32(0)}),
         CXFileException::endOfFile},
    };
    for (const Case& c : cases) {
        CCustomData data;
        data.SetInt(kB, 9);
        data.SetLegacyFlag(2);
        EXPECT_EQ(LoadCause(data, c.blob), c.cause) << c.what;
        EXPECT_FALSE(data.HasData()) << c.what;
        EXPECT_EQ(data.GetIDCount(), 0u) << c.what;
        EXPECT_EQ(data.GetLegacyFlag(), 0u) << c.what;
    }
}

TEST(CustomDataSerialTest, NestedInALargerArchive) {
    CCustomData data;
    data.SetDouble(kA, 2.0);
    CXMemFile file;
    {
        CXArchive ar(&file, CXArchive::store);
        data.Serialize(ar);
        ar << uint32_t(0xCAFEF00D);
        ar.Close();
    }
    EXPECT_EQ(data.GetCapacity(), data.GetUsedSize());  // trimmed by storing
    file.SeekToBegin();
    CCustomData back;
    CXArchive ar(&file, CXArchive::load);
    back.Serialize(ar);
    uint32_t tail = 0;
    ar >> tail;
    EXPECT_EQ(tail, 0xCAFEF00Du);
    EXPECT_TRUE(back.IsEqual(data));
}

TEST(CustomDataSerialTest, RawBlocksAreValidatedBeforeUse) {
    CCustomData data;
    data.SetInt(kB, 1);
    Bytes bad = Cat({Entry(kA, CUSTOM_KIND_INT, Le32(1)), Bytes{0, 0}});
    EXPECT_FALSE(data.SetData(bad.data(), unsigned(bad.size())));
    EXPECT_TRUE(data.HasData(kB));  // unchanged
    Bytes good = Cat({Entry(kA, CUSTOM_KIND_INT, Le32(3)), Entry(kSCUT, CUSTOM_KIND_CHAR, {'z'})});
    EXPECT_TRUE(data.SetData(good.data(), unsigned(good.size())));
    EXPECT_FALSE(data.HasData(kB));
    char c = 0;
    EXPECT_TRUE(data.GetChar(kSCUT, c));
    EXPECT_EQ(c, 'z');

    unsigned size = 0;
    uint8_t* block = data.Detach(&size);
    EXPECT_EQ(Bytes(block, block + size), good);
    EXPECT_FALSE(data.HasData());
    EXPECT_TRUE(data.Attach(block, size));  // adopted: freed by the set
    EXPECT_EQ(data.GetIDCount(), 2u);
}

// ---- whole-set operations ---------------------------------------------------------------------------

TEST(CustomDataSetOpsTest, ChangeCopyAndCompare) {
    CCustomData a;
    a.SetInt(kA, 1);
    a.SetString(kNAME, L"n");
    EXPECT_TRUE(a.ChangeID(kA, kB));
    EXPECT_FALSE(a.HasData(kA));
    EXPECT_FALSE(a.ChangeID(kB, kNAME));  // taken
    EXPECT_FALSE(a.ChangeID(kSCUT, kA));  // absent
    int32_t v = 0;
    EXPECT_TRUE(a.GetInt(kB, v) && v == 1);

    // Same entries in another order are equal and have the same checksum.
    CCustomData b;
    b.SetString(kNAME, L"n");
    b.SetInt(kB, 1);
    EXPECT_TRUE(a.IsEqual(b));
    EXPECT_EQ(a.GetChecksum(0), b.GetChecksum(0));
    EXPECT_NE(a.GetChecksum(0), a.GetChecksum(1));
    b.SetFloat(kB, 0.0f);  // replaced in place: another kind and value
    EXPECT_FALSE(a.IsEqual(b));
    EXPECT_NE(a.GetChecksum(0), b.GetChecksum(0));

    CCustomData c;
    EXPECT_TRUE(c.CopyID(a, kNAME));
    EXPECT_FALSE(c.CopyID(a, kSCUT));
    EXPECT_EQ(c.GetIDCount(), 1u);
    c.Copy(a);
    EXPECT_TRUE(c.IsEqual(a));
    CCustomData d(c);
    EXPECT_TRUE(d.IsEqual(a));
    d = b;
    EXPECT_TRUE(d.IsEqual(b));
}

TEST(CustomDataSetOpsTest, ChecksumIsPinned) {
    // The documented function, computed independently for this set: any change to the entry
    // layout or the hash breaks persisted checksums.
    CCustomData data;
    data.SetInt(kA, 1);
    data.SetChar(kB, 'x');
    EXPECT_EQ(data.GetChecksum(0), 0x86F4296Au);
    EXPECT_EQ(data.GetChecksum(7), 0xCDEA412Bu);
    CCustomData empty;
    EXPECT_EQ(empty.GetChecksum(0), 0xE23C62B5u);
}

TEST(CustomDataSetOpsTest, AddToCustomDataModes) {
    CCustomData base;
    CCustomData first;
    first.SetInt(kA, 1);
    first.SetInt(kB, 2);
    base.AddToCustomData(kNAME, first, CUSTOM_ADD_REPLACE);
    CCustomData source;
    source.SetInt(kB, 20);
    source.SetInt(kSCUT, 30);

    CCustomData keep(base), replace(base), reset(base);
    EXPECT_TRUE(keep.AddToCustomData(kNAME, source, CUSTOM_ADD_KEEP));
    EXPECT_TRUE(replace.AddToCustomData(kNAME, source, CUSTOM_ADD_REPLACE));
    EXPECT_TRUE(reset.AddToCustomData(kNAME, source, CUSTOM_ADD_RESET));
    EXPECT_FALSE(reset.AddToCustomData(kNAME, source, 3));

    CCustomData n;
    int32_t v = 0;
    ASSERT_TRUE(keep.GetCustomData(kNAME, n));
    EXPECT_EQ(n.GetIDCount(), 3u);
    EXPECT_TRUE(n.GetInt(kB, v) && v == 2);
    ASSERT_TRUE(replace.GetCustomData(kNAME, n));
    EXPECT_EQ(n.GetIDCount(), 3u);
    EXPECT_TRUE(n.GetInt(kB, v) && v == 20);
    EXPECT_TRUE(n.GetInt(kA, v) && v == 1);
    ASSERT_TRUE(reset.GetCustomData(kNAME, n));
    EXPECT_TRUE(n.IsEqual(source));
}

TEST(CustomDataSetOpsTest, DumpLines) {
    CCustomData nested;
    nested.SetUChar(kB, 255);
    CCustomData data;
    data.SetInt(kSCUT, -3);
    data.SetUInt(kA, 4000000000u);
    data.SetFloat(FourCC('F', 'L', 'T', ' '), 1.5f);
    data.SetLongInt(FourCC('L', 'L', ' ', ' '), -5);
    data.SetULongInt(FourCC('U', 'L', 'L', ' '), 6);
    data.SetPtr(FourCC('P', 'T', 'R', ' '), reinterpret_cast<void*>(uintptr_t(0xABCDEF)));
    data.SetString(kNAME, L"text");
    data.SetCustomData(FourCC('S', 'U', 'B', ' '), nested);
    CXStringW text = data.DumpCustomData(true, 1);
    EXPECT_TRUE(text ==
                L"\tSCUT ( INT) : -3\r\n"
                L"\tAAAA (UINT) : 4000000000\r\n"
                L"\tFLT  (FLOA) : 1.500000\r\n"
                L"\tLL   (LLON) : -5\r\n"
                L"\tULL  (ULLO) : 6\r\n"
                L"\tPTR  (PTR6) : 0xABCDEF\r\n"
                L"\tNAME (UNIC) : ?\r\n"
                L"\tSUB  (CDA2) : Sub data\r\n"
                L"\t\tBBBB (UCHR) : 255\r\n")
        << XCW2A(text.GetString()).GetString();
    // Without recursion the nested set is announced but not listed.
    std::string flat = XCW2A(data.DumpCustomData(false, 0).GetString()).GetString();
    EXPECT_EQ(flat.rfind("SCUT ( INT) : -3\r\n", 0), 0u);
    EXPECT_EQ(flat.substr(flat.size() - 24), "SUB  (CDA2) : Sub data\r\n");
}

TEST(CustomDataSetOpsTest, ConcurrentWritersOnOneSet) {
    CCustomData data;
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&data, t] {
            for (uint32_t i = 0; i < 200; ++i) {
                data.SetUInt(t * 1000 + i, i);
                uint32_t v;
                data.GetUInt(t * 1000 + i / 2, v);
                if (i % 3 == 0) data.RemoveCustom(t * 1000 + i);
            }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(data.GetIDCount(), 4u * (200 - 67));
    uint32_t v = 0;
    EXPECT_TRUE(data.GetUInt(3 * 1000 + 199, v) && v == 199);
}

// ---- preferences files ------------------------------------------------------------------------------

class CustomDataPrefsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "kxprefsXXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back(0);
        ASSERT_NE(mkdtemp(buffer.data()), nullptr);
        dir_ = buffer.data();
        wdir_.assign(dir_.begin(), dir_.end());
        wdir_ += L"/";
    }
    void TearDown() override {
        std::remove((dir_ + "/test.prefs").c_str());
        rmdir(dir_.c_str());
    }
    std::string FileText() {
        std::ifstream in(dir_ + "/test.prefs", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string dir_;
    std::wstring wdir_;
};

TEST_F(CustomDataPrefsTest, SectionsShareOneFile) {
    constexpr uint32_t k3DVW = FourCC('3', 'D', 'V', 'W'), kPREF = FourCC('P', 'R', 'E', 'F');
    CCustomData a;
    a.SetInt(kA, 1);
    CCustomData b;
    ASSERT_TRUE(a.SaveToPrefs(L"test.prefs", k3DVW, kPREF, wdir_.c_str()));
    EXPECT_EQ(FileText(), "[3DVW]\nPREF=" + std::string("35535543") + "24000000" + "01000000" + "01000000" + "04000000" +
                              "00000000" + "00000000" + "41414141" + "04000000" + "544E4920" + "01000000\n");
    ASSERT_TRUE(b.SaveToPrefs(L"test.prefs", FourCC('I', 'O', 'S', 'E'), 0x01020304, wdir_.c_str()));
    EXPECT_EQ(FileText().substr(FileText().find("[IOSE]")), "[IOSE]\n0x01020304=3553554300000000\n");

    // Rewriting the first entry keeps the other section.
    a.SetInt(kA, 2);
    ASSERT_TRUE(a.SaveToPrefs(L"test.prefs", k3DVW, kPREF, wdir_.c_str()));
    CCustomData loaded;
    loaded.SetInt(kB, 5);
    ASSERT_TRUE(loaded.LoadFromPrefs(L"test.prefs", k3DVW, kPREF, wdir_.c_str()));
    EXPECT_TRUE(loaded.IsEqual(a));
    ASSERT_TRUE(loaded.LoadFromPrefs(L"test.prefs", FourCC('I', 'O', 'S', 'E'), 0x01020304, wdir_.c_str()));
    EXPECT_FALSE(loaded.HasData());
    // Missing entries and files leave the set unchanged.
    loaded.SetInt(kB, 5);
    EXPECT_FALSE(loaded.LoadFromPrefs(L"test.prefs", k3DVW, kB, wdir_.c_str()));
    EXPECT_FALSE(loaded.LoadFromPrefs(L"none.prefs", k3DVW, kPREF, wdir_.c_str()));
    EXPECT_TRUE(loaded.HasData(kB));
}

TEST_F(CustomDataPrefsTest, MalformedValuesAreRefused) {
    FILE* f = std::fopen((dir_ + "/test.prefs").c_str(), "wb");
    std::fputs("junk line\n[AAAA]\nBBBB=3553554\nCCCC=35535543000000zz\nDDDD=3553554301000000\n", f);
    std::fclose(f);
    CCustomData data;
    data.SetInt(kSCUT, 1);
    EXPECT_FALSE(data.LoadFromPrefs(L"test.prefs", kA, kB, wdir_.c_str()));                       // odd digits
    EXPECT_FALSE(data.LoadFromPrefs(L"test.prefs", kA, FourCC('C', 'C', 'C', 'C'), wdir_.c_str()));  // bad digit
    EXPECT_FALSE(data.LoadFromPrefs(L"test.prefs", kA, FourCC('D', 'D', 'D', 'D'), wdir_.c_str()));  // cut blob
    EXPECT_TRUE(data.HasData(kSCUT));
    // Saving keeps the lines it does not understand.
    ASSERT_TRUE(data.SaveToPrefs(L"test.prefs", kA, kB, wdir_.c_str()));
    std::string text = FileText();
    EXPECT_EQ(text.rfind("junk line\n[AAAA]\nBBBB=35535543", 0), 0u);
    EXPECT_NE(text.find("\nCCCC=35535543000000zz\nDDDD=3553554301000000\n"), std::string::npos);
}

}  // namespace
