#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/xstring.h"
#include "kestovar/platform/file.h"
#include "memory_hook.h"
#include "test_util.h"

using Bytes = std::vector<uint8_t>;

namespace archive_test {

using namespace kestovar;

// A serialisable node: a value and an optional link to another node.
class CTestNode : public CXObject {
    KX_DECLARE_SERIAL(CTestNode)
public:
    int32_t value = 0;
    CTestNode* next = nullptr;
    bool ownsNext = false;
    unsigned schemaSeen = 0;
    static int alive;

    CTestNode() { ++alive; }
    ~CTestNode() override {
        --alive;
        if (ownsNext) delete next;
    }
    void Serialize(CXArchive& ar) override {
        if (ar.IsStoring()) {
            ar << value;
            ar.WriteObject(next);
        } else {
            schemaSeen = ar.GetObjectSchema();
            ar >> value;
            next = static_cast<CTestNode*>(ar.ReadObject(KX_RUNTIME_CLASS(CTestNode)));
            // A node read for the first time here is owned; a back reference is not.
            ownsNext = next && next->value > value;
        }
    }
};
KX_IMPLEMENT_SERIAL(CTestNode, CXObject, 3)
int CTestNode::alive = 0;

// Another class, unrelated to CTestNode.
class CTestOther : public CXObject {
    KX_DECLARE_SERIAL(CTestOther)
public:
    void Serialize(CXArchive&) override {}
};
KX_IMPLEMENT_SERIAL(CTestOther, CXObject, 1)

// A class that may not be written (schema 0xFFFF).
class CTestDynamic : public CXObject {
    KX_DECLARE_DYNAMIC(CTestDynamic)
};
KX_IMPLEMENT_DYNAMIC(CTestDynamic, CXObject)

}  // namespace archive_test

namespace {

using namespace kestovar;
using archive_test::CTestNode;
using archive_test::CTestOther;
using kestovar::test::ArchiveCause;

// Stores through `write` into a memory file and returns the bytes.
Bytes Store(const std::function<void(CXArchive&)>& write, unsigned bufferSize = 4096) {
    CXMemFile file(64);
    {
        CXArchive ar(&file, CXArchive::store, bufferSize);
        write(ar);
        ar.Close();
    }
    return Bytes(file.GetBuffer(), file.GetBuffer() + file.GetLength());
}

// The cause of the archive exception that reading a string of `T` from `b` raises, or -1.
template <class T>
int ReadStringCause(const Bytes& b) {
    CXMemFile file(b.data(), b.size());
    CXArchive ar(&file, CXArchive::load);
    T s;
    return ArchiveCause([&] { ar.ReadString(s); });
}

Bytes Le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// The bytes of a new class record for CTestNode (schema 3).
Bytes NodeClassRecord() { return Cat({Le16(0xFFFF), Le16(3), Le16(9), Text("CTestNode")}); }

// ---- numbers and counts -----------------------------------------------------------------------

TEST(ArchiveLayoutTest, NumbersAreRawLittleEndian) {
    Bytes b = Store([](CXArchive& ar) {
        ar << int16_t(-2) << uint32_t(0x01020304) << true << false << 1.0 << wchar_t(0xE9) << uint8_t(7);
        ar << wchar_t(0x1D11E);  // outside the BMP: one wchar_t cannot carry it
    });
    Bytes expected = Cat({{0xFE, 0xFF}, {4, 3, 2, 1}, {1, 0}, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, {0xE9, 0}, {7}, {0xFD, 0xFF}});
    EXPECT_EQ(b, expected);
}

TEST(ArchiveLayoutTest, CountBoundaries) {
    // Each case: the value and its hand-built encoding.
    struct Case {
        uint64_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0, 0}},
        {65534, {0xFE, 0xFF}},
        {65535, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0}},
        {0xFFFFFFFEull, {0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}},
        {0xFFFFFFFFull, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
        {0x123456789Aull, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x9A, 0x78, 0x56, 0x34, 0x12, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Bytes b = Store([&](CXArchive& ar) { ar.WriteCount(c.value); });
        EXPECT_EQ(b, c.bytes) << c.value;
        CXMemFile file(b.data(), b.size());
        CXArchive ar(&file, CXArchive::load);
        EXPECT_EQ(ar.ReadCount(), c.value);
    }
}

// ---- strings ------------------------------------------------------------------------------------

TEST(ArchiveStringTest, WideLengthCountsUtf16Units) {
    // U+1D11E needs a surrogate pair: the length is 3 units for 2 characters.
    CXStringW text(L"a\U0001D11E");
    Bytes b = Store([&](CXArchive& ar) { ar.WriteString(text); });
    EXPECT_EQ(b, (Bytes{0xFF, 0xFE, 0xFF, 3, 'a', 0, 0x34, 0xD8, 0x1E, 0xDD}));
    CXMemFile file(b.data(), b.size());
    CXArchive ar(&file, CXArchive::load);
    CXStringW back;
    ar >> back;
    EXPECT_TRUE(back == text);
}

TEST(ArchiveStringTest, NarrowLengthForms) {
    // Each case: a length and the hand-built prefix of the narrow string of that length.
    struct Case {
        size_t length;
        Bytes prefix;
    } cases[] = {
        {0, {0}},
        {3, {3}},
        {254, {0xFE}},
        {255, {0xFF, 0xFF, 0x00}},
        {65531, {0xFF, 0xFB, 0xFF}},
        {65532, {0xFF, 0xFF, 0xFF, 0xFC, 0xFF, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        std::string s(c.length, 'q');
        Bytes b = Store([&](CXArchive& ar) { ar.WriteString(s.data(), s.size()); });
        ASSERT_EQ(b.size(), c.prefix.size() + c.length) << c.length;
        EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), b.begin())) << c.length;
        CXMemFile file(b.data(), b.size());
        CXArchive ar(&file, CXArchive::load);
        CXStringA back;
        ar.ReadString(back);
        EXPECT_EQ(size_t(back.GetLength()), c.length);
    }
}

TEST(ArchiveStringTest, LengthMarkersAndConversions) {
    const std::pair<uint64_t, int> lengths[] = {{1, CXArchive::encodingNarrow},
                                                {2, CXArchive::encodingUTF8},
                                                {300, CXArchive::encodingUTF16},
                                                {4, CXArchive::encodingUTF32}};
    Bytes b = Store([&](CXArchive& ar) {
        for (const auto& l : lengths) ar.WriteStringLength(l.first, l.second);
    });
    EXPECT_EQ(b, (Bytes{1, 0xFF, 0xFD, 0xFF, 2, 0xFF, 0xFE, 0xFF, 0xFF, 0x2C, 0x01, 0xFF, 0xFC, 0xFF, 4}));
    {
        CXMemFile file(b.data(), b.size());
        CXArchive ar(&file, CXArchive::load);
        for (const auto& l : lengths) {
            int encoding = 0;
            EXPECT_EQ(ar.ReadStringLength(encoding), l.first);
            EXPECT_EQ(encoding, l.second);
        }
    }

    // Narrow (UTF-8) bytes read into a wide string, UTF-16 into a narrow one, UTF-32 into both.
    Bytes mixed = Cat({{2, 0xC3, 0xA9},                                     // "é" as UTF-8, no marker
                       {0xFF, 0xFE, 0xFF, 1, 0xE9, 0x00},                   // "é" as UTF-16
                       {0xFF, 0xFC, 0xFF, 2, 0x1E, 0xD1, 1, 0, 0, 0xD8, 0, 0}});  // U+1D11E, then a surrogate
    CXMemFile file(mixed.data(), mixed.size());
    CXArchive ar(&file, CXArchive::load);
    CXStringW wide;
    ar.ReadString(wide);
    EXPECT_TRUE(wide == L"\u00E9");
    CXStringA narrow;
    ar.ReadString(narrow);
    EXPECT_TRUE(narrow == "\xC3\xA9");
    ar.ReadString(wide);
    EXPECT_TRUE(wide == L"\U0001D11E\uFFFD");  // a lone surrogate is not a character
}

TEST(ArchiveStringTest, MalformedLengthsAreRejected) {
    // A second marker after the first is not a length.
    EXPECT_EQ(ReadStringCause<CXStringW>({0xFF, 0xFE, 0xFF, 0xFF, 0xFD, 0xFF, 0}), CXArchiveException::badIndex);
    // A forged length of 2^31 units must fail as a cut file, before any allocation of its size.
    EXPECT_EQ(ReadStringCause<CXStringW>({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80, 'a', 0}),
              CXArchiveException::endOfFile);
    // A narrow string one byte short.
    EXPECT_EQ(ReadStringCause<CXStringA>({4, 'a', 'b', 'c'}), CXArchiveException::endOfFile);
}

TEST(ArchiveStringTest, ForgedLengthsDoNotAllocate) {
    // 64 KB of data claiming a 1 GB narrow string: the claim is checked against the data first.
    Bytes data = {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x40};
    data.resize(65536, 'z');
    kestovar::test::RecordingHook hook;
    EXPECT_EQ(ReadStringCause<CXStringA>(data), CXArchiveException::endOfFile);
    EXPECT_LT(hook.largest, size_t(1) << 20);
}

// ---- objects and classes --------------------------------------------------------------------------

// A module that registers a class (a plug-in) takes it out of the registry when it is closed, and
// registers it again when opened again at the same place; the other classes stay findable.
TEST(ArchiveObjectTest, ClassesOfAClosedModuleLeaveTheRegistry) {
    static const CXRuntimeClass moduleClass = {"CClosedModuleClass", 1, nullptr, nullptr, nullptr};
    for (int opened = 0; opened < 2; ++opened) {
        {
            const CXClassRegistrar module(&moduleClass);
            EXPECT_EQ(CXRuntimeClass::FromName("CClosedModuleClass"), &moduleClass);
        }
        EXPECT_EQ(CXRuntimeClass::FromName("CClosedModuleClass"), nullptr);
        EXPECT_EQ(CXRuntimeClass::FromName("CXObject"), KX_RUNTIME_CLASS(CXObject));
        EXPECT_EQ(CXRuntimeClass::FromName("CTestNode"), KX_RUNTIME_CLASS(CTestNode));
    }
}

TEST(ArchiveObjectTest, KnownClassIsWrittenByIndex) {
    CTestNode a, b;
    a.value = 1;
    b.value = 2;
    CTestOther other;
    Bytes bytes = Store([&](CXArchive& ar) {
        ar.WriteObject(&a);      // class 1, object 2
        ar.WriteObject(&other);  // class 3, object 4
        ar.WriteObject(&b);      // class by index 1, object 5
        ar.WriteClass(KX_RUNTIME_CLASS(CTestOther));
    });
    Bytes expected = Cat({NodeClassRecord(), Le32(1), Le16(0),                      //
                          Le16(0xFFFF), Le16(1), Le16(10), Text("CTestOther"),     //
                          Le16(0x8001), Le32(2), Le16(0),                          //
                          Le16(0x8003)});
    EXPECT_EQ(bytes, expected);

    CXMemFile file(bytes.data(), bytes.size());
    CXArchive ar(&file, CXArchive::load);
    CXObject* ra = ar.ReadObject(nullptr);
    CXObject* ro = ar.ReadObject(nullptr);
    CXObject* rb = ar.ReadObject(KX_RUNTIME_CLASS(CXObject));
    EXPECT_TRUE(ra->IsKindOf(KX_RUNTIME_CLASS(CTestNode)));
    EXPECT_TRUE(ro->IsKindOf(KX_RUNTIME_CLASS(CTestOther)));
    EXPECT_EQ(static_cast<CTestNode*>(rb)->value, 2);
    unsigned schema = 0;
    EXPECT_EQ(ar.ReadClass(nullptr, &schema), KX_RUNTIME_CLASS(CTestOther));
    EXPECT_EQ(schema, 1u);
    delete ra;
    delete ro;
    delete rb;
}

TEST(ArchiveObjectTest, IndicesFrom0x7FFFUseTheWideForm) {
    // 0x7FFE objects of CTestOther: class 1, objects 2 .. 0x7FFF. The last one is referenced in the
    // wide form, and the class of CTestNode then takes index 0x8000.
    std::vector<CTestOther> others(0x7FFE);
    CTestNode n1, n2;
    Bytes b = Store([&](CXArchive& ar) {
        for (CTestOther& o : others) ar.WriteObject(&o);
        ar.WriteObject(&others[0]);
        ar.WriteObject(&others.back());
        ar.WriteObject(&n1);  // new class 0x8000, object 0x8001
        ar.WriteObject(&n2);  // class by wide index
    });
    size_t newRecords = 16 + 2 * (0x7FFE - 1);  // first object with its class record, then class refs
    Bytes tail = Cat({Le16(2), Le16(0x7FFF), Le32(0x7FFF),            //
                      NodeClassRecord(), Le32(0), Le16(0),            //
                      Le16(0x7FFF), Le32(0x80008000u), Le32(0), Le16(0)});
    ASSERT_EQ(b.size(), newRecords + tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), b.begin() + newRecords));

    CXMemFile file(b.data(), b.size());
    CXArchive ar(&file, CXArchive::load);
    std::vector<CXObject*> read;
    for (size_t i = 0; i < others.size(); ++i) read.push_back(ar.ReadObject(nullptr));
    EXPECT_EQ(ar.ReadObject(nullptr), read.front());
    EXPECT_EQ(ar.ReadObject(nullptr), read.back());
    CXObject* r1 = ar.ReadObject(KX_RUNTIME_CLASS(CTestNode));
    CXObject* r2 = ar.ReadObject(KX_RUNTIME_CLASS(CTestNode));
    EXPECT_NE(r1, r2);
    for (CXObject* o : read) delete o;
    delete r1;
    delete r2;
}

TEST(ArchiveObjectTest, LinkedObjectsAndBackReferences) {
    // a -> b -> a: b refers back to a, which is being read when b is met.
    CTestNode a, b;
    a.value = 1;
    b.value = 2;
    a.next = &b;
    b.next = &a;
    Bytes bytes = Store([&](CXArchive& ar) { ar.WriteObject(&a); });
    Bytes expected = Cat({NodeClassRecord(), Le32(1), Le16(0x8001), Le32(2), Le16(2)});
    EXPECT_EQ(bytes, expected);

    int before = CTestNode::alive;
    CXMemFile file(bytes.data(), bytes.size());
    CXArchive ar(&file, CXArchive::load);
    CTestNode* ra = ar.ReadObjectOf<CTestNode>();
    ASSERT_NE(ra->next, nullptr);
    EXPECT_EQ(ra->next->value, 2);
    EXPECT_EQ(ra->next->next, ra);
    delete ra;
    EXPECT_EQ(CTestNode::alive, before);
}

TEST(ArchiveObjectTest, WritingErrorCodes) {
    CXMemFile file;
    CXArchive store(&file, CXArchive::store);
    archive_test::CTestDynamic dynamic;
    EXPECT_EQ(ArchiveCause([&] { store.WriteObject(&dynamic); }), CXArchiveException::notSerializable);
    EXPECT_EQ(ArchiveCause([&] { store.WriteClass(nullptr); }), CXArchiveException::nullClass);
    uint8_t byte;
    EXPECT_EQ(ArchiveCause([&] { store >> byte; }), CXArchiveException::writeOnly);
    EXPECT_EQ(ArchiveCause([&] { store.ReadCount(); }), CXArchiveException::writeOnly);

    Bytes data = {1, 2, 3, 4};
    CXMemFile in(data.data(), data.size());
    CXArchive load(&in, CXArchive::load);
    EXPECT_EQ(ArchiveCause([&] { load << uint8_t(1); }), CXArchiveException::readOnly);
    EXPECT_EQ(ArchiveCause([&] { load.WriteCount(1); }), CXArchiveException::readOnly);
    CTestNode node;
    EXPECT_EQ(ArchiveCause([&] { load.WriteObject(&node); }), CXArchiveException::readOnly);
}

TEST(ArchiveObjectTest, MalformedReferencesAreRejected) {
    auto readCause = [](const Bytes& b, const CXRuntimeClass* expected) {
        CXMemFile file(b.data(), b.size());
        CXArchive ar(&file, CXArchive::load);
        return ArchiveCause([&] {
            CXObject* o = ar.ReadObject(expected);
            delete o;
        });
    };
    // An object index never defined; a class index never defined; index 0 as a class.
    EXPECT_EQ(readCause(Le16(5), nullptr), CXArchiveException::badIndex);
    EXPECT_EQ(readCause(Le16(0x8001), nullptr), CXArchiveException::badIndex);
    EXPECT_EQ(readCause(Le16(0x8000), nullptr), CXArchiveException::badIndex);
    EXPECT_EQ(readCause(Cat({Le16(0x7FFF), Le32(0x80000009u)}), nullptr), CXArchiveException::badIndex);
    // A class index used as an object: class 1 is defined by the first object, then "object 1".
    EXPECT_EQ(readCause(Cat({NodeClassRecord(), Le32(7), Le16(1)}), KX_RUNTIME_CLASS(CTestNode)),
              CXArchiveException::badIndex);
    // Unknown class name; a class that is not the expected one; a schema newer than ours.
    EXPECT_EQ(readCause(Cat({Le16(0xFFFF), Le16(1), Le16(4), Text("Nope")}), nullptr),
              CXArchiveException::badClass);
    EXPECT_EQ(readCause(Cat({Le16(0xFFFF), Le16(1), Le16(10), Text("CTestOther")}), KX_RUNTIME_CLASS(CTestNode)),
              CXArchiveException::badClass);
    EXPECT_EQ(readCause(Cat({Le16(0xFFFF), Le16(4), Le16(9), Text("CTestNode"), Le32(0), Le16(0)}), nullptr),
              CXArchiveException::badClass);
    // A class that may never be created from an archive.
    EXPECT_EQ(readCause(Cat({Le16(0xFFFF), Le16(0), Le16(12), Text("CTestDynamic")}), nullptr),
              CXArchiveException::badClass);
    // An older schema is accepted and reported to the object.
    Bytes older = Cat({Le16(0xFFFF), Le16(2), Le16(9), Text("CTestNode"), Le32(5), Le16(0)});
    CXMemFile file(older.data(), older.size());
    CXArchive ar(&file, CXArchive::load);
    CTestNode* node = ar.ReadObjectOf<CTestNode>();
    EXPECT_EQ(node->schemaSeen, 2u);
    EXPECT_EQ(ar.GetObjectSchema(), CXArchive::kNoSchema);
    delete node;
}

TEST(ArchiveObjectTest, TruncatedObjectsAreReleased) {
    CTestNode a, b;
    a.value = 1;
    b.value = 2;
    a.next = &b;
    Bytes full = Store([&](CXArchive& ar) { ar.WriteObject(&a); });
    int before = CTestNode::alive;
    // Every cut of the data fails cleanly, and no node created before the cut survives.
    for (size_t cut = 0; cut < full.size(); ++cut) {
        CXMemFile file(full.data(), cut);
        CXArchive ar(&file, CXArchive::load);
        EXPECT_EQ(ArchiveCause([&] { ar.ReadObject(nullptr); }), CXArchiveException::endOfFile) << cut;
        EXPECT_EQ(CTestNode::alive, before) << cut;
    }
}

TEST(ArchiveObjectTest, NestingDepthIsBounded) {
    // A chain of nodes, each read inside the Serialize of the previous one: 2048 levels read,
    // 2049 are refused (forged data could otherwise nest until the stack overflows).
    for (size_t length : {size_t(2048), size_t(2049)}) {
        std::vector<CTestNode> chain(length);
        for (size_t i = 0; i < length; ++i) {
            chain[i].value = int32_t(i);
            chain[i].next = i + 1 < length ? &chain[i + 1] : nullptr;
        }
        Bytes b = Store([&](CXArchive& ar) { ar.WriteObject(&chain[0]); });
        int before = CTestNode::alive;
        CXMemFile file(b.data(), b.size());
        CXArchive ar(&file, CXArchive::load);
        CXObject* head = nullptr;
        int cause = ArchiveCause([&] { head = ar.ReadObject(nullptr); });
        if (length == 2048) {
            EXPECT_EQ(cause, -1);
            EXPECT_EQ(CTestNode::alive, before + 2048);
            delete head;
        } else {
            EXPECT_EQ(cause, CXArchiveException::badIndex);
        }
        EXPECT_EQ(CTestNode::alive, before);
    }
}

// ---- buffering ----------------------------------------------------------------------------------

TEST(ArchiveBufferTest, SmallBufferRoundTripAndLargeBlocks) {
    // A 16-byte buffer: values straddle refills, and a block larger than the buffer goes directly.
    std::vector<uint8_t> block(1000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7);
    Bytes b = Store(
        [&](CXArchive& ar) {
            for (int i = 0; i < 50; ++i) ar << uint8_t(i) << double(i) << int32_t(-i);
            ar.Write(block.data(), unsigned(block.size()));
            ar << uint16_t(0xBEEF);
        },
        1);  // raised to the 16-byte minimum
    EXPECT_EQ(b.size(), 50u * 13 + 1000 + 2);
    CXMemFile file(b.data(), b.size());
    CXArchive ar(&file, CXArchive::load, 16);
    for (int i = 0; i < 50; ++i) {
        uint8_t u;
        double d;
        int32_t n;
        ar >> u >> d >> n;
        ASSERT_EQ(u, uint8_t(i));
        ASSERT_EQ(d, double(i));
        ASSERT_EQ(n, -i);
    }
    std::vector<uint8_t> back(1000);
    ar.EnsureRead(back.data(), 1000);
    EXPECT_EQ(back, block);
    uint16_t tail;
    ar >> tail;
    EXPECT_EQ(tail, 0xBEEF);
    EXPECT_EQ(ar.GetRemainingLength(), 0u);
    uint8_t extra[4];
    EXPECT_EQ(ar.Read(extra, 4), 0u);
    EXPECT_EQ(ArchiveCause([&] { ar.EnsureRead(extra, 1); }), CXArchiveException::endOfFile);
}

TEST(ArchiveBufferTest, FlushWhileLoadingGivesTheReadAheadBack) {
    Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    CXMemFile file(data.data(), data.size());
    {
        CXArchive ar(&file, CXArchive::load);
        uint16_t v;
        ar >> v;
        EXPECT_EQ(file.GetPosition(), 10u);  // the buffer read ahead
        EXPECT_EQ(ar.GetRemainingLength(), 8u);
        ar.Close();
    }
    EXPECT_EQ(file.GetPosition(), 2u);
    uint8_t next;
    file.Read(&next, 1);
    EXPECT_EQ(next, 3);
}

TEST(ArchiveBufferTest, DestructorFlushesAnOpenStoringArchive) {
    CXMemFile file;
    {
        CXArchive ar(&file, CXArchive::store);
        ar << uint32_t(0xAABBCCDD);
    }
    EXPECT_EQ(file.GetLength(), 4u);
    CXMemFile dropped;
    {
        CXArchive ar(&dropped, CXArchive::store | CXArchive::bNoFlushOnDelete);
        ar << uint32_t(1);
    }
    EXPECT_EQ(dropped.GetLength(), 0u);
}

TEST(ArchiveBufferTest, ValueTypesAreTheirFieldsInOrder) {
    C3DTPoint<float> p(1.0f, 2.0f, 3.0f);
    CRGBColor c;
    c.r = 1;
    c.g = 2;
    c.b = 3;
    c.a = 4;
    Bytes b = Store([&](CXArchive& ar) { ar << p << c; });
    Bytes expected = Cat({{0, 0, 0x80, 0x3F}, {0, 0, 0, 0x40}, {0, 0, 0x40, 0x40}, {1, 2, 3, 4}});
    EXPECT_EQ(b, expected);
    CXMemFile file(b.data(), b.size());
    CXArchive ar(&file, CXArchive::load);
    C3DTPoint<float> q;
    CRGBColor d;
    ar >> q >> d;
    EXPECT_TRUE(q == p);
    EXPECT_EQ(d.a, 4);
}

}  // namespace
