// The typed element array, its method tables, and the data chunks built on them.
#include "kestovar/core/data_chunk.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/element_array.h"
#include "kestovar/core/exception.h"
#include "kestovar/platform/file.h"
#include "test_util.h"

using namespace kestovar;
using kestovar::test::Raises;

namespace {

constexpr uint32_t kPOOI = FourCC('P', 'O', 'O', 'I');
constexpr uint32_t kBKMT = FourCC('B', 'K', 'M', 'T');
constexpr uint32_t kFCPR = FourCC('F', 'C', 'P', 'R');
constexpr uint32_t kPT3D = FourCC('3', 'D', 'P', 'T');

// An array of the table `M` (grow setting `grow`) holding the 32-bit `values`.
template <class M>
std::unique_ptr<CElementArray> MakeArray(const std::vector<uint32_t>& values = {}, int grow = 0) {
    M* methods = new M;
    std::unique_ptr<CElementArray> a(new CElementArray(methods, grow));
    methods->Delete();
    for (uint32_t v : values) a->Add(&v);
    return a;
}

std::vector<uint32_t> Values(const CElementArray& a) {
    std::vector<uint32_t> out(size_t(a.GetSize()));
    if (!out.empty()) std::memcpy(out.data(), a.GetData(), out.size() * 4);
    return out;
}

uint32_t U32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Little-endian byte string builder for expected archive contents.
struct Bytes {
    std::vector<uint8_t> b;
    Bytes& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& u16(uint16_t v) { return u8(uint8_t(v)).u8(uint8_t(v >> 8)); }
    Bytes& u32(uint32_t v) { return u16(uint16_t(v)).u16(uint16_t(v >> 16)); }
    Bytes& f32(float f) {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        return u32(v);
    }
    Bytes& text(const char* s) {
        while (*s) u8(uint8_t(*s++));
        return *this;
    }
    // A new class record: marker, schema 1, the name's length and the name.
    Bytes& cls(const char* name) { return u16(0xFFFF).u16(1).u16(uint16_t(std::strlen(name))).text(name); }
};

// Serialises an element array or a chunk set into bytes, or loads one from bytes.
template <class T>
std::vector<uint8_t> Store(T& object) {
    return kestovar::test::Store([&](CXArchive& ar) { object.Serialize(ar); });
}
template <class T>
void Load(T& object, const std::vector<uint8_t>& bytes) {
    kestovar::test::Load(bytes, [&](CXArchive& ar) { object.Serialize(ar); });
}
template <class T>
bool LoadRaises(T& object, const Bytes& bytes) {
    return Raises<CXArchiveException>([&] { Load(object, bytes.b); });
}

}  // namespace

// ---- method tables -------------------------------------------------------------------------------

TEST(ElementMethods, NewElements) {
    // New original indices and back-face materials are all ones, new 64-bit face words zero.
    uint32_t word = 0;
    COriginalIndexMethods().ConstructElement(&word);
    EXPECT_EQ(word, 0xFFFFFFFFu);
    word = 0;
    CBackFaceMaterialMethods().ConstructElement(&word);
    EXPECT_EQ(word, 0xFFFFFFFFu);
    uint64_t wide = ~0ull;
    CMaxFaceMethods2().ConstructElement(&wide);
    EXPECT_EQ(wide, 0u);

    alignas(C3DTPoint<float>) unsigned char raw[sizeof(C3DTPoint<float>)];
    std::memset(raw, 0xCD, sizeof raw);
    C3DPointMethods pts;
    pts.ConstructElement(raw);
    auto* p = reinterpret_cast<C3DTPoint<float>*>(raw);
    EXPECT_EQ(*p, C3DTPoint<float>(0, 0, 0));
    EXPECT_EQ(p->GetFlags(), 0u);
    pts.DestructElement(raw);
}

TEST(ElementMethods, KindsAndRegisteredClasses) {
    CMaxFaceMethods mx;
    CMaxFaceMethods2 mx2;
    COriginalIndexMethods orin;
    C3DPointMethods p3;
    C3DVectorMethods v3;
    EXPECT_TRUE(mx2.IsKindOf(&mx));  // MXD2's base type is MXDT
    EXPECT_FALSE(mx.IsKindOf(&mx2));
    EXPECT_TRUE(CElementMethods::AreOfAKind(&mx, &mx2));
    EXPECT_TRUE(orin.IsKindOf(&orin));
    EXPECT_FALSE(CElementMethods::AreOfAKind(&orin, &mx));
    EXPECT_TRUE(CElementMethods::AreOfAKind(&p3, &p3));
    EXPECT_FALSE(CElementMethods::AreOfAKind(&p3, &v3));
    EXPECT_FALSE(CElementMethods::AreOfAKind(&p3, nullptr));

    // The archive re-creates tables by class name.
    const CXRuntimeClass* cls = CXRuntimeClass::FromName("COriginalIndexMethods");
    ASSERT_NE(cls, nullptr);
    EXPECT_TRUE(cls->IsDerivedFrom(KX_RUNTIME_CLASS(CElementMethods)));
    ASSERT_NE(CXRuntimeClass::FromName("C3DPointMethods"), nullptr);
    EXPECT_TRUE(CXRuntimeClass::FromName("C3DPointMethods")->IsDerivedFrom(KX_RUNTIME_CLASS(CPointMethods)));
    EXPECT_EQ(KX_RUNTIME_CLASS(CPointMethods)->m_pfnCreateObject, nullptr);  // abstract
}

// ---- element array -------------------------------------------------------------------------------

TEST(ElementArrayGrowth, AutomaticStepIsCountOverEightClamped) {
    auto a = MakeArray<COriginalIndexMethods>();
    const int cases[][2] = {{100, 112}, {16, 20}, {20000, 21024}, {8, 12}};
    for (const auto& c : cases) {
        a->PreAllocate(c[0]);
        a->SetSize(c[0]);
        ASSERT_EQ(a->GetAllocatedSize(), c[0]);
        a->SetSize(c[0] + 1);
        EXPECT_EQ(a->GetAllocatedSize(), c[1]) << "from " << c[0];
    }
    // The step comes from the count, not from the allocation.
    a->PreAllocate(100);
    a->SetSize(10);
    a->SetSize(101);
    EXPECT_EQ(a->GetAllocatedSize(), 104);  // 100 + max(4, 10 / 8)
    // A request beyond the step is met exactly.
    a->SetSize(500);
    EXPECT_EQ(a->GetAllocatedSize(), 500);
}

TEST(ElementArrayGrowth, DoublingFixedStepAndFirstAllocation) {
    auto a = MakeArray<COriginalIndexMethods>({}, -2);
    a->SetSize(10);
    EXPECT_EQ(a->GetAllocatedSize(), 10);
    a->SetSize(11);
    EXPECT_EQ(a->GetAllocatedSize(), 20);

    a->RemoveAll();
    a->SetGrowFactor(50);
    a->SetSize(3);  // a positive grow setting is the minimum first allocation
    EXPECT_EQ(a->GetAllocatedSize(), 50);
    a->SetSize(51);
    EXPECT_EQ(a->GetAllocatedSize(), 100);
    a->SetSize(400, false, 7);  // grow argument replaces the setting
    EXPECT_EQ(a->GetGrowFactor(), 7);
    EXPECT_EQ(a->GetAllocatedSize(), 400);
    a->SetSize(401);
    EXPECT_EQ(a->GetAllocatedSize(), 407);
    a->SetSize(402, false, -1);  // -1 keeps it
    EXPECT_EQ(a->GetGrowFactor(), 7);

    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a->SetSize(-1); }));
    EXPECT_EQ(a->GetSize(), 402);
}

TEST(ElementArraySizing, NewElementsShrinkAndRelease) {
    auto a = MakeArray<COriginalIndexMethods>();
    a->SetSize(5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(U32((*a)[i]), 0xFFFFFFFFu);  // new original index
    EXPECT_EQ((*a)[5], nullptr);
    EXPECT_EQ((*a)[-1], nullptr);
    EXPECT_EQ(a->GetUpperBound(), 4);

    uint32_t v = 42;
    a->SetAt(2, &v);
    a->SetSize(2);
    a->SetSize(4);  // regrown slots are new elements again
    EXPECT_EQ(U32((*a)[2]), 0xFFFFFFFFu);

    a->SetSize(0, true);
    EXPECT_NE(a->GetData(), nullptr);
    EXPECT_EQ(a->GetAllocatedSize(), 5);
    a->SetSize(0);
    EXPECT_EQ(a->GetData(), nullptr);
    EXPECT_EQ(a->GetAllocatedSize(), 0);
    EXPECT_EQ(a->GetFirst(), nullptr);

    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a->SetAt(0, &v); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a->SetAtGrow(-1, &v); }));
    // An array without a table cannot hold elements.
    CElementArray bare;
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { bare.SetSize(1); }));
}

TEST(ElementArraySizing, ConstructAllFillsTheReserve) {
    auto a = MakeArray<COriginalIndexMethods>();
    a->PreAllocate(8);
    const uint32_t* raw = static_cast<const uint32_t*>(a->GetData());
    EXPECT_EQ(raw[7], 0u);  // plain reserve slots are zero bytes
    a->ConstructMode(true);
    EXPECT_EQ(raw[7], 0xFFFFFFFFu);
    a->PreAllocate(8);
    raw = static_cast<const uint32_t*>(a->GetData());
    EXPECT_EQ(raw[0], 0xFFFFFFFFu);
    EXPECT_EQ(a->GetSize(), 0);
    a->SetSize(9);  // growth constructs every new slot
    raw = static_cast<const uint32_t*>(a->GetData());
    EXPECT_EQ(raw[a->GetAllocatedSize() - 1], 0xFFFFFFFFu);
    a->FreeExtra();
    EXPECT_FALSE(a->IsConstructAll());
    EXPECT_EQ(a->GetAllocatedSize(), 9);
}

// Growing past the buffer after a shrink that kept the memory: the old reserve still holds the
// earlier elements and must be constructed again, while the slots past it start fresh. Both a
// plain table whose new elements are zero bytes (64-bit face words) and one whose are not
// (original indices).
TEST(ElementArraySizing, GrowthPastAKeptReserveConstructsEverySlot) {
    auto words = MakeArray<CMaxFaceMethods2>({}, 4);
    words->SetSize(6);
    const uint64_t marked = 0x123456789ABCDEFull;
    for (int i = 0; i < 6; ++i) words->SetAt(i, &marked);
    words->SetSize(2, true);
    words->SetSize(words->GetAllocatedSize() + 7);
    for (int i = 0; i < words->GetSize(); ++i) {
        uint64_t w;
        std::memcpy(&w, (*words)[i], sizeof w);
        EXPECT_EQ(w, i < 2 ? marked : 0u) << i;
    }

    auto indices = MakeArray<COriginalIndexMethods>({}, 4);
    indices->SetSize(6);
    const uint32_t seven = 7;
    for (int i = 0; i < 6; ++i) indices->SetAt(i, &seven);
    indices->SetSize(2, true);
    indices->SetSize(indices->GetAllocatedSize() + 7);
    for (int i = 0; i < indices->GetSize(); ++i) EXPECT_EQ(U32((*indices)[i]), i < 2 ? 7u : 0xFFFFFFFFu) << i;
}

TEST(ElementArrayEdit, AddInsertRemove) {
    auto a = MakeArray<CFaceTagIDMethods>({0, 1, 2, 3});
    uint32_t nine = 9;
    a->InsertAt(1, &nine, 2);
    EXPECT_EQ(Values(*a), (std::vector<uint32_t>{0, 9, 9, 1, 2, 3}));
    a->RemoveAt(0, 3);
    EXPECT_EQ(Values(*a), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a->RemoveAt(2, 2); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a->InsertAt(-1, &nine); }));

    // Inserting past the end fills the gap with new elements.
    uint32_t seven = 7;
    a->InsertAt(5, &seven);
    EXPECT_EQ(Values(*a), (std::vector<uint32_t>{1, 2, 3, 0, 0, 7}));

    // A source element inside the array survives the growth that moves the buffer.
    for (int i = 0; i < 200; ++i) a->Add(a->ElementAt(0));
    EXPECT_EQ(U32(a->ElementAt(205)), 1u);
    a->InsertAt(0, a->ElementAt(5), 3);  // 7 copied to the front
    EXPECT_EQ(U32(a->ElementAt(0)), 7u);
    EXPECT_EQ(U32(a->ElementAt(2)), 7u);
    EXPECT_EQ(U32(a->ElementAt(8)), 7u);
    EXPECT_EQ(a->Add(&seven), 209);

    // Sizes past the int range are refused, and the array stays as it was.
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a->InsertAt(INT_MAX - 1, &nine, 10); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a->InsertAt(0, &nine, INT_MAX); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { a->SetAtGrow(INT_MAX, &nine); }));
    EXPECT_EQ(a->GetSize(), 210);

    int n = 0;
    for (void* p = a->GetFirst(); p; p = a->GetNext(p)) ++n;
    EXPECT_EQ(n, a->GetSize());
}

TEST(ElementArrayEdit, AppendAndCopyRequireTablesOfAKind) {
    auto tags = MakeArray<CFaceTagIDMethods>({1, 2});
    auto orin = MakeArray<COriginalIndexMethods>({5});
    EXPECT_EQ(tags->Append(*orin), -1);
    EXPECT_FALSE(tags->Copy(*orin));
    EXPECT_EQ(Values(*tags), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(tags->Append(*tags), 2);  // self-append
    EXPECT_EQ(Values(*tags), (std::vector<uint32_t>{1, 2, 1, 2}));

    // Inserting a whole array: in the middle, past the end (the gap filled with new elements),
    // the array into itself (a copy of it as it was), and not at all from another kind.
    auto few = MakeArray<CFaceTagIDMethods>({8, 9});
    EXPECT_TRUE(tags->InsertAt(1, few.get()));
    EXPECT_EQ(Values(*tags), (std::vector<uint32_t>{1, 8, 9, 2, 1, 2}));
    EXPECT_TRUE(tags->InsertAt(7, few.get()));
    EXPECT_EQ(Values(*tags), (std::vector<uint32_t>{1, 8, 9, 2, 1, 2, 0, 8, 9}));
    auto self = MakeArray<CFaceTagIDMethods>({3, 4, 5});
    EXPECT_TRUE(self->InsertAt(1, self.get()));
    EXPECT_EQ(Values(*self), (std::vector<uint32_t>{3, 3, 4, 5, 4, 5}));
    EXPECT_FALSE(self->InsertAt(0, orin.get()));
    EXPECT_FALSE(self->InsertAt(0, static_cast<const CElementArray*>(nullptr)));
    EXPECT_EQ(self->GetSize(), 6);

    // 32-bit values into 64-bit elements of a kind: the first four bytes are copied, the rest
    // stay as constructed.
    auto wide = MakeArray<CMaxFaceMethods2>();
    EXPECT_EQ(wide->Append(*MakeArray<CMaxFaceMethods>({0xAABBCCDDu}), true), 0);
    EXPECT_EQ(wide->GetAllocatedSize(), 1);
    uint64_t w;
    std::memcpy(&w, (*wide)[0], 8);
    EXPECT_EQ(w, 0xAABBCCDDull);

    auto dst = MakeArray<CFaceTagIDMethods>({9, 9, 9});
    EXPECT_TRUE(dst->Copy(1, 0, *tags));
    EXPECT_EQ(Values(*dst), (std::vector<uint32_t>{9, 1, 9}));
    EXPECT_FALSE(dst->Copy(3, 0, *tags));
    EXPECT_FALSE(dst->Copy(0, 0, *orin));
    EXPECT_TRUE(dst->Copy(*tags, false));
    EXPECT_EQ(Values(*dst), Values(*tags));

    std::unique_ptr<CElementArray> dup(tags->Duplicate(true)), empty(tags->Duplicate(false));
    EXPECT_EQ(Values(*dup), Values(*tags));
    EXPECT_EQ(dup->GetMethods(), tags->GetMethods());
    EXPECT_EQ(empty->GetSize(), 0);
}

TEST(ElementArrayEdit, PointRecordsAreCopiedOneByOne) {
    C3DPointMethods* m = new C3DPointMethods;
    CElementArray pts(m);
    EXPECT_EQ(m->GetRefCount(), 2);  // the array holds one reference
    m->Delete();
    C3DTPoint<float> p(1, 2, 3);
    p.SetFlags(POINT_BORDER);
    pts.Add(&p);
    pts.SetSize(3);
    auto* q = static_cast<C3DTPoint<float>*>(pts[0]);
    EXPECT_EQ(*q, p);
    EXPECT_EQ(q->GetFlags(), unsigned(POINT_BORDER));
    EXPECT_EQ(*static_cast<C3DTPoint<float>*>(pts[2]), C3DTPoint<float>(0, 0, 0));
    // Each slot is a live record with its own virtual table.
    EXPECT_EQ(static_cast<CPt*>(pts[2])->SizeOf(), 24);

    auto other = MakeArray<C3DPointMethods>();
    EXPECT_TRUE(other->Copy(pts));
    EXPECT_EQ(*static_cast<C3DTPoint<float>*>((*other)[0]), p);
    EXPECT_EQ(static_cast<C3DTPoint<float>*>((*other)[0])->GetFlags(), unsigned(POINT_BORDER));
}

TEST(ElementArrayReorder, PermutationAndItsInverse) {
    auto a = MakeArray<CFaceTagIDMethods>({10, 20, 30, 40, 50});
    const unsigned order[5] = {2, 0, 3, 1, 4};
    // order[i] is the old position of the element that goes to position i.
    ASSERT_TRUE(a->Reorder(order, 5, false));
    EXPECT_EQ(Values(*a), (std::vector<uint32_t>{30, 10, 40, 20, 50}));
    // order[i] is the new position of the element now at i: this undoes the first reorder.
    auto b = MakeArray<CFaceTagIDMethods>({10, 20, 30, 40, 50});
    ASSERT_TRUE(b->Reorder(order, 5, true));
    EXPECT_EQ(Values(*b), (std::vector<uint32_t>{20, 40, 10, 30, 50}));
    ASSERT_TRUE(a->Reorder(order, 5, true));
    EXPECT_EQ(Values(*a), (std::vector<uint32_t>{10, 20, 30, 40, 50}));

    EXPECT_FALSE(a->Reorder(order, 4, false));  // count must match
    const unsigned twice[5] = {0, 0, 1, 2, 3};
    EXPECT_FALSE(a->Reorder(twice, 5, false));
    const unsigned outside[5] = {0, 1, 2, 3, 5};
    EXPECT_FALSE(a->Reorder(outside, 5, true));
    EXPECT_EQ(Values(*a), (std::vector<uint32_t>{10, 20, 30, 40, 50}));

    // A longer cycle through point records.
    auto pts = MakeArray<C3DPointMethods>();
    for (int i = 0; i < 6; ++i) {
        C3DTPoint<float> p(i, 0, 0);
        p.SetFlags(unsigned(i));
        pts->Add(&p);
    }
    const unsigned rotate[6] = {1, 2, 3, 4, 5, 0};
    ASSERT_TRUE(pts->Reorder(rotate, 6, false));
    for (int i = 0; i < 6; ++i) {
        auto* p = static_cast<C3DTPoint<float>*>((*pts)[i]);
        EXPECT_EQ(p->x, float((i + 1) % 6));
        EXPECT_EQ(p->GetFlags(), unsigned((i + 1) % 6));
    }
}

TEST(ElementArrayChecksum, FnvFromTheLastByteWithSignExtension) {
    // Bytes in memory: 01 80 FF 7F 00 90 10 C3. Hashed from the last byte to the first, each byte
    // sign-extended (0x80 -> 0xFFFFFF80) before the xor.
    auto a = MakeArray<CFaceTagIDMethods>({0x7FFF8001u, 0xC3109000u});
    EXPECT_EQ(a->GetChecksum(), 0x8C6CD87Fu);
    a->SetSize(0, true);
    EXPECT_EQ(a->GetChecksum(), 0x811C9DC5u);  // only count x size bytes count
}

TEST(ElementArraySerialize, CountGrowClassThenElements) {
    auto a = MakeArray<CBackFaceMaterialMethods>({3, 0xFFFFFFFFu}, -2);
    Bytes expected;
    expected.u32(2).u32(0xFFFFFFFEu).cls("CBackFaceMaterialMethods").u32(3).u32(0xFFFFFFFFu);
    EXPECT_EQ(Store(*a), expected.b);

    CElementArray back;
    Load(back, expected.b);
    EXPECT_EQ(back.GetTypeOfElement(), kBKMT);
    EXPECT_EQ(back.GetGrowFactor(), -2);
    EXPECT_EQ(Values(back), (std::vector<uint32_t>{3, 0xFFFFFFFFu}));

    // A count larger than the data: the end of the data is reported, nothing leaks. A negative
    // count, and a class that is not an element table, are refused too.
    CElementArray victim;
    EXPECT_TRUE(LoadRaises(victim, Bytes().u32(0x7FFFFFFF).u32(0).cls("CBackFaceMaterialMethods").u32(1)));
    EXPECT_TRUE(LoadRaises(victim, Bytes().u32(0x80000000u).u32(0)));
    EXPECT_TRUE(LoadRaises(victim, Bytes().u32(1).u32(0).cls("CElementArray").u32(0)));
}

// ---- data chunks ---------------------------------------------------------------------------------

class DataChunkTest : public ::testing::Test {
protected:
    template <class M>
    int Add(CDataChunk& c, uint32_t id, unsigned options) {
        M* m = new M;
        int n = c.AddDataChunk(id, m, options);
        m->Delete();
        return n;
    }
};

TEST_F(DataChunkTest, GetDataBoundsAndMainChunk) {
    CDataChunk c;
    c.SetDataSize(3);
    EXPECT_EQ(Add<C3DFacePropertyMethods>(c, kFCPR, 0x103), 1);
    EXPECT_EQ(Add<COriginalIndexMethods>(c, kPOOI, 0x1), 2);
    EXPECT_EQ(c.GetChunkOptions(kFCPR), 0x3u);  // 0x100 is not stored
    EXPECT_EQ(c.GetMainID(), kFCPR);
    EXPECT_EQ(c.GetMainData(2), c.GetData(kFCPR, 2));
    ASSERT_NE(c.GetData(kPOOI, 2), nullptr);
    EXPECT_EQ(U32(c.GetData(kPOOI, 2)), 0xFFFFFFFFu);
    EXPECT_EQ(c.GetData(kPOOI, 3), nullptr);  // index == data size
    EXPECT_EQ(c.GetData(kPOOI, -1), nullptr);
    EXPECT_EQ(c.GetData(kBKMT, 0), nullptr);
    EXPECT_EQ(c.GetData(kBKMT), nullptr);
    EXPECT_EQ(c.GetMainData(3), nullptr);
    EXPECT_EQ(c.GetSizeOfDataChunk(kFCPR), 8);
    EXPECT_EQ(c.GetSizeOfDataChunk(kBKMT), 0);

    EXPECT_TRUE(c.RemoveDataChunk(kFCPR));
    EXPECT_FALSE(c.RemoveDataChunk(kFCPR));
    EXPECT_EQ(c.GetMainArray(), nullptr);
    EXPECT_EQ(c.GetMainData(0), nullptr);
    EXPECT_EQ(c.GetChunksNbr(), 1);
}

TEST_F(DataChunkTest, AddKeepsAChunkOfTheSameTypeUnlessForced) {
    CDataChunk c;
    c.SetDataSize(2);
    Add<COriginalIndexMethods>(c, kPOOI, 0x1);
    CElementArray* first = c.GetData(kPOOI);
    uint32_t v = 77;
    first->SetAt(1, &v);

    Add<COriginalIndexMethods>(c, kPOOI, 0x2);  // same type and size: table and options only
    EXPECT_EQ(c.GetData(kPOOI), first);
    EXPECT_EQ(U32(c.GetData(kPOOI, 1)), 77u);
    EXPECT_EQ(c.GetChunkOptions(kPOOI), 0x2u);
    EXPECT_EQ(c.GetMainArray(), first);

    Add<COriginalIndexMethods>(c, kPOOI, 0x101);  // forced: a fresh array of new elements
    ASSERT_EQ(c.GetData(kPOOI)->GetSize(), 2);
    EXPECT_EQ(U32(c.GetData(kPOOI, 1)), 0xFFFFFFFFu);
    EXPECT_EQ(c.GetMainArray(), nullptr);  // the replaced chunk was the main one

    Add<CMaxFaceMethods2>(c, kPOOI, 0x1);  // another type: replaced
    EXPECT_EQ(c.GetSizeOfDataChunk(kPOOI), 8);
    EXPECT_EQ(c.GetChunksNbr(), 1);

    // Only one main chunk at a time.
    Add<CFacePropertyMethods>(c, kFCPR, 0x2);
    Add<CBackFaceMaterialMethods>(c, kBKMT, 0x3);
    EXPECT_EQ(c.GetMainID(), kBKMT);
    EXPECT_EQ(c.GetChunkOptions(kFCPR), 0u);
}

TEST_F(DataChunkTest, ResizeAndReorderAllChunksTogether) {
    CDataChunk c;
    Add<CFaceTagIDMethods>(c, kFCPR, 0x1);
    Add<C3DPointMethods>(c, kPT3D, 0x1);
    c.SetDataSize(4);
    EXPECT_EQ(c.GetData(kPT3D)->GetSize(), 4);
    for (int i = 0; i < 4; ++i) {
        uint32_t t = uint32_t(100 + i);
        c.GetData(kFCPR)->SetAt(i, &t);
        C3DTPoint<float> p(i, 0, 0);
        c.GetData(kPT3D)->SetAt(i, &p);
    }
    const unsigned order[4] = {3, 2, 0, 1};
    ASSERT_TRUE(c.Reorder(order, 4, false));
    EXPECT_EQ(Values(*c.GetData(kFCPR)), (std::vector<uint32_t>{103, 102, 100, 101}));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(static_cast<C3DTPoint<float>*>(c.GetData(kPT3D, i))->x, float(order[i]));
    ASSERT_TRUE(c.Reorder(order, 4, true));
    EXPECT_EQ(Values(*c.GetData(kFCPR)), (std::vector<uint32_t>{100, 101, 102, 103}));
    EXPECT_FALSE(c.Reorder(order, 3, false));

    EXPECT_EQ(c.ExpandDataSize(2), 4);
    EXPECT_EQ(c.GetDataSize(), 6);
    EXPECT_EQ(c.GetData(kPT3D)->GetSize(), 6);
    c.SetGrowFactor(-2);
    EXPECT_EQ(c.GetData(kFCPR)->GetGrowFactor(), -2);
    c.FreeExtra();
    EXPECT_EQ(c.GetData(kFCPR)->GetAllocatedSize(), 6);
    c.PreAllocate(32);
    EXPECT_EQ(c.GetDataSize(), 0);
    EXPECT_EQ(c.GetData(kFCPR)->GetAllocatedSize(), 32);
    Add<COriginalIndexMethods>(c, kPOOI, 0x1);  // later chunks get the preallocation
    EXPECT_EQ(c.GetData(kPOOI)->GetAllocatedSize(), 32);
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { c.SetDataSize(-2); }));

    // Slot-order iteration visits each chunk once.
    int n = 0, pos;
    uint32_t id;
    unsigned options = 0;
    for (CElementArray* a = c.GetFirstChunk(pos, id, &options); a; a = c.GetNextChunk(pos, id, &options)) {
        EXPECT_EQ(a, c.GetData(id));
        EXPECT_EQ(options, 1u);
        ++n;
    }
    EXPECT_EQ(n, 3);
}

TEST_F(DataChunkTest, InitCopyAppend) {
    CDataChunk src;
    src.SetDataSize(2);
    Add<COriginalIndexMethods>(src, kPOOI, 0x1);
    Add<CBackFaceMaterialMethods>(src, kBKMT, 0x0);
    for (uint32_t i = 0; i < 2; ++i) {
        uint32_t v = 10 + i, w = 20 + i;
        src.GetData(kPOOI)->SetAt(int(i), &v);
        src.GetData(kBKMT)->SetAt(int(i), &w);
    }

    CDataChunk dst;
    dst.InitDataChunks(src, 0x1);  // only the chunks copied into derived lists
    EXPECT_TRUE(dst.HasDataChunk(kPOOI));
    EXPECT_FALSE(dst.HasDataChunk(kBKMT));
    EXPECT_EQ(dst.GetDataSize(), 0);
    EXPECT_EQ(dst.GetData(kPOOI)->GetSize(), 0);

    dst.InitDataChunks(src, 0);  // every chunk
    EXPECT_EQ(dst.GetChunksNbr(), 2);
    dst.CopyData(src);
    EXPECT_EQ(Values(*dst.GetData(kBKMT)), (std::vector<uint32_t>{20, 21}));
    EXPECT_EQ(dst.AppendDataChunks(src), 2);
    EXPECT_EQ(Values(*dst.GetData(kPOOI)), (std::vector<uint32_t>{10, 11, 10, 11}));
    dst.CopyData(3, 0);
    EXPECT_EQ(Values(*dst.GetData(kBKMT)), (std::vector<uint32_t>{20, 21, 20, 20}));
    dst.CopyData(0, src, 1, 1);
    EXPECT_EQ(Values(*dst.GetData(kPOOI)), (std::vector<uint32_t>{11, 11, 10, 10}));

    dst.RemoveAll();
    EXPECT_EQ(dst.GetChunksNbr(), 2);
    EXPECT_EQ(dst.GetDataSize(), 0);
    dst.DeleteAll();
    EXPECT_EQ(dst.GetChunksNbr(), 0);
}

TEST_F(DataChunkTest, ASetCopiesAndReAddsFromItself) {
    CDataChunk c;
    c.SetDataSize(6);
    Add<COriginalIndexMethods>(c, kPOOI, 0x1);  // the chunk holds the table's only reference
    for (uint32_t i = 0; i < 6; ++i) c.GetData(kPOOI)->SetAt(int(i), &i);
    // Overlapping ranges of one set are copied as through a temporary, in either direction.
    c.CopyData(1, c, 0, 4);
    EXPECT_EQ(Values(*c.GetData(kPOOI)), (std::vector<uint32_t>{0, 0, 1, 2, 3, 5}));
    c.CopyData(0, c, 2, 4);
    EXPECT_EQ(Values(*c.GetData(kPOOI)), (std::vector<uint32_t>{1, 2, 3, 5, 3, 5}));

    // Re-added with its own table, forced new: the table outlives the replaced chunk.
    c.AddDataChunk(kPOOI, c.GetData(kPOOI)->GetMethods(), 0x101);
    ASSERT_NE(c.GetData(kPOOI), nullptr);
    EXPECT_EQ(Values(*c.GetData(kPOOI)), std::vector<uint32_t>(6, 0xFFFFFFFFu));
    EXPECT_EQ(c.GetSizeOfDataChunk(kPOOI), 4);
}

TEST_F(DataChunkTest, SerializeMatchesHandBuiltBytes) {
    CDataChunk c;
    c.SetDataSize(2);
    c.SetGrowFactor(5);
    Add<COriginalIndexMethods>(c, kPOOI, 0x1);
    Add<C3DPointMethods>(c, kPT3D, 0x2);
    uint32_t v = 7;
    c.GetData(kPOOI)->SetAt(1, &v);
    C3DTPoint<float> p(1.5f, -2.0f, 0.25f);
    p.SetFlags(0x10);
    c.GetData(kPT3D)->SetAt(0, &p);

    // Slot order in the 23-slot map: (id << 4) mod 23 is 6 for POOI and 11 for 3DPT.
    Bytes e;
    e.u32(2).u32(2).u32(5);
    e.u32(kPOOI).u32(1).u32(1).cls("COriginalIndexMethods").u32(0xFFFFFFFFu).u32(7);  // raw elements
    e.u32(kPT3D).u32(2).u32(1).cls("C3DPointMethods");
    e.u32(0x10).f32(1.5f).f32(-2.0f).f32(0.25f);  // per element: flags, then x, y, z
    e.u32(0).f32(0).f32(0).f32(0);
    EXPECT_EQ(Store(c), e.b);

    CDataChunk back;
    Load(back, e.b);
    EXPECT_EQ(back.GetChunksNbr(), 2);
    EXPECT_EQ(back.GetDataSize(), 2);
    EXPECT_EQ(back.GetGrowFactor(), 5);
    EXPECT_EQ(back.GetMainID(), kPT3D);
    EXPECT_EQ(Values(*back.GetData(kPOOI)), (std::vector<uint32_t>{0xFFFFFFFFu, 7}));
    auto* q = static_cast<C3DTPoint<float>*>(back.GetMainData(0));
    EXPECT_EQ(*q, p);
    EXPECT_EQ(q->GetFlags(), 0x10u);
    EXPECT_EQ(Store(back), e.b);

    // The same table class twice: the second is a back-reference (0x8000 | index 1).
    CDataChunk two;
    two.SetDataSize(1);
    Add<COriginalIndexMethods>(two, kPOOI, 0x1);
    Add<COriginalIndexMethods>(two, kFCPR, 0x1);  // (FCPR << 4) mod 23 = 4: stored first
    Bytes t;
    t.u32(2).u32(1).u32(0);
    t.u32(kFCPR).u32(1).u32(1).cls("COriginalIndexMethods").u32(0xFFFFFFFFu);
    t.u32(kPOOI).u32(1).u32(1).u16(0x8001).u32(0xFFFFFFFFu);
    EXPECT_EQ(Store(two), t.b);
}

TEST_F(DataChunkTest, MalformedBytesRaiseWithoutLeaks) {
    Bytes good;
    good.u32(1).u32(2).u32(0).u32(kPOOI).u32(1).u32(1).cls("COriginalIndexMethods").u32(1).u32(2);
    CDataChunk c;
    Load(c, good.b);
    EXPECT_EQ(Values(*c.GetData(kPOOI)), (std::vector<uint32_t>{1, 2}));

    // Every truncation fails cleanly.
    for (size_t n = 0; n < good.b.size(); ++n) {
        Bytes cut;
        cut.b.assign(good.b.begin(), good.b.begin() + long(n));
        CDataChunk d;
        EXPECT_TRUE(LoadRaises(d, cut)) << "cut at " << n;
    }

    Bytes flag2 = good;
    flag2.b[20] = 2;  // class flag other than 0 or 1
    CDataChunk d;
    EXPECT_TRUE(LoadRaises(d, flag2));
    EXPECT_TRUE(
        LoadRaises(d, Bytes().u32(1).u32(0x7FFFFFF0u).u32(0).u32(kPOOI).u32(1).u32(1).cls("COriginalIndexMethods")));
    EXPECT_TRUE(LoadRaises(d, Bytes().u32(0).u32(0x80000000u).u32(0)));
    EXPECT_TRUE(LoadRaises(d, Bytes().u32(1).u32(1).u32(0).u32(kPOOI).u32(1).u32(1).cls("CNoSuch").u32(0)));

    // A chunk without a creatable class is header only; loading skips it.
    CDataChunk skipped;
    Load(skipped, Bytes().u32(1).u32(3).u32(0).u32(kPOOI).u32(1).u32(0).b);
    EXPECT_EQ(skipped.GetChunksNbr(), 0);
    EXPECT_EQ(skipped.GetDataSize(), 3);
}

// A forged grow setting is also the size of the first allocation: a chunk set whose header
// claims a step of 2^31 elements must be refused before any array is created, not reserve
// gigabytes (found by fuzzing scene files).
TEST(DataChunkSerialize, ForgedGrowSettingIsRefused) {
    CDataChunk chunks;
    EXPECT_TRUE(LoadRaises(chunks, Bytes().u32(0).u32(2).u32(0x80000000u)));
    EXPECT_TRUE(LoadRaises(chunks, Bytes().u32(0).u32(2).u32(CElementArray::kMaxLoadedGrowBy + 1)));
    EXPECT_FALSE(LoadRaises(chunks, Bytes().u32(0).u32(2).u32(uint32_t(-2))));
}
