#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <initializer_list>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/matrix.h"
#include "kestovar/mesh/point_list.h"
#include "lists_test_util.h"
#include "test_util.h"

using namespace kestovar;
using namespace kestovar::liststest;
using kestovar::test::Owned;

namespace {

// A list of `n` points with x = i, y = 10 i, z = -i and the point index in POOI.
void Fill(C3DPointList& list, int n) {
    list.SetSize(n);
    for (int i = 0; i < n; ++i) list.GetAt(i).Init(float(i), float(10 * i), float(-i));
    list.SavePointsIndex();
}

// Appends the given points.
void AddAll(C3DPointList& list, std::initializer_list<std::array<float, 3>> points) {
    for (const auto& p : points) list.Add(p[0], p[1], p[2]);
}

std::vector<float> Xs(const C3DPointList& list) {
    std::vector<float> out;
    for (int i = 0; i < list.GetSize(); ++i) out.push_back(list.GetAt(i).x);
    return out;
}

std::vector<unsigned> OriginalIndexes(const CPointList& list) {
    std::vector<unsigned> out;
    for (int i = 0; i < list.GetSize(); ++i) out.push_back(list.GetOriginalIndex(i));
    return out;
}

// Points-list checksum written from its definition: over the points without flag 0x2,
// h = w(h + i) + 16 * flags.
uint32_t ExpectedFlagChecksum(const std::vector<unsigned>& flags) {
    uint32_t h = 0;
    for (size_t i = 0; i < flags.size(); ++i) {
        if (flags[i] & 0x2) continue;
        h = Wang(h + uint32_t(i)) + 16u * flags[i];
    }
    return h;
}

}  // namespace

// ---- new elements and sizing ---------------------------------------------------------------------

TEST(PointList, OutOfRangeAccessGivesNullAndNegativeSizesRaise) {
    C3DPointList points;
    Fill(points, 2);
    EXPECT_EQ(points.GetPoint(2), nullptr);
    EXPECT_EQ(points.GetPoint(-1), nullptr);
    EXPECT_EQ(points[2], nullptr);
    EXPECT_NE(points[1], nullptr);
    EXPECT_EQ(points.GetPointFlags(5), 0u);
    EXPECT_EQ(points.GetOriginalIndex(2), 0xFFFFFFFFu);
    // Negative sizes are programming errors.
    EXPECT_TRUE(RaisesInvalidArg([&] { points.SetSize(-1); }));
    EXPECT_TRUE(RaisesInvalidArg([&] { points.PreAllocate(-3); }));
}

// The automatic step comes from the count (count / 8 clamped to [4, 1024]) and applies to the
// elements and to every chunk alike.
TEST(PointList, AutomaticGrowthFromAFullAllocation) {
    struct Case {
        int count;
        int step;
    } cases[] = {{100, 12}, {16, 4}, {20000, 1024}, {31, 4}, {8000, 1000}};
    for (const Case& c : cases) {
        C3DPointList points;
        points.AddDataChunk(POINT_CHUNK_ORIGINAL_INDEX, new COriginalIndexMethods);
        points.GetData(POINT_CHUNK_ORIGINAL_INDEX)->GetMethods()->Delete();
        points.PreAllocate(c.count);
        points.SetSize(c.count);
        ASSERT_EQ(points.GetAllocatedSize(), c.count);
        points.SetSize(c.count + 1);
        EXPECT_EQ(points.GetAllocatedSize(), c.count + c.step) << c.count;
        EXPECT_EQ(points.GetData(POINT_CHUNK_ORIGINAL_INDEX)->GetAllocatedSize(), c.count + c.step) << c.count;
    }
}

TEST(PointList, ChunksFollowTheSizeAndStartAtNoOriginal) {
    C3DPointList points;
    Fill(points, 3);
    EXPECT_EQ(OriginalIndexes(points), (std::vector<unsigned>{0, 1, 2}));
    points.SetSize(5);
    EXPECT_EQ(points.GetDataChunks().GetDataSize(), 5);
    EXPECT_EQ(OriginalIndexes(points), (std::vector<unsigned>{0, 1, 2, 0xFFFFFFFF, 0xFFFFFFFF}));
    points.SetSize(1);
    EXPECT_EQ(points.GetDataChunks().GetDataSize(), 1);
    points.RemoveAll();
    EXPECT_EQ(points.GetSize(), 0);
    EXPECT_EQ(points.GetDataChunks().GetDataSize(), 0);
    EXPECT_TRUE(points.HasDataChunk(POINT_CHUNK_ORIGINAL_INDEX));  // emptied, not removed

    C3DPointList bare;
    bare.SetSize(2);
    EXPECT_EQ(bare.GetOriginalIndex(0), 0xFFFFFFFFu);  // no chunk at all
}

TEST(PointList, AddAppendsAndSurvivesItsOwnReallocation) {
    C3DPointList points;
    points.Add(1.0f, 2.0f, 3.0f);
    points.SavePointsIndex();
    ASSERT_EQ(points.GetAllocatedSize(), 1);
    // The argument is the list's own element: the growth moves the buffer under it.
    const int i = points.Add(points.GetAt(0));
    EXPECT_EQ(i, 1);
    EXPECT_EQ(points.GetAt(1), C3DTPoint<float>(1, 2, 3));
    EXPECT_EQ(points.GetDataChunks().GetDataSize(), 2);
    EXPECT_EQ(points.GetOriginalIndex(1), 0xFFFFFFFFu);
    // A record of another type is converted.
    C3DTVector<float> v(4, 5, 6);
    v.SetFlags(0x40);
    points.Add(v);
    EXPECT_EQ(points.GetAt(2), C3DTPoint<float>(4, 5, 6));
    EXPECT_EQ(points.GetAt(2).GetFlags(), 0x40u);
}

TEST(PointList, PreAllocateFreeExtraAndGrowFactor) {
    C3DPointList points;
    Fill(points, 4);
    points.PreAllocate(10);
    EXPECT_EQ(points.GetSize(), 0);
    EXPECT_EQ(points.GetAllocatedSize(), 10);
    EXPECT_EQ(points.GetDataChunks().GetDataSize(), 0);
    points.SetSize(3);
    EXPECT_EQ(points.GetAllocatedSize(), 10);
    points.FreeExtra();
    EXPECT_EQ(points.GetAllocatedSize(), 3);
    EXPECT_EQ(points.GetData(POINT_CHUNK_ORIGINAL_INDEX)->GetAllocatedSize(), 3);

    points.SetGrowFactor(50);
    EXPECT_EQ(points.GetDataChunks().GetGrowFactor(), 50);
    points.SetSize(4);
    EXPECT_EQ(points.GetAllocatedSize(), 53);
    EXPECT_EQ(points.GetData(POINT_CHUNK_ORIGINAL_INDEX)->GetAllocatedSize(), 53);

    points.PreAllocate(6, true);
    EXPECT_TRUE(points.IsConstructAll());
    points.FreeExtra();
    EXPECT_FALSE(points.IsConstructAll());
}

// ---- change tracking ------------------------------------------------------------------------------

TEST(PointList, ChangeStampCountsSizeChangesOnly) {
    C3DPointList points;
    const unsigned s0 = points.GetChangedStamp();
    EXPECT_FALSE(points.IsFlagSet(POINTLIST_CHANGED));
    points.SetSize(4);
    EXPECT_EQ(points.GetChangedStamp(), s0 + 1);
    EXPECT_TRUE(points.IsFlagSet(POINTLIST_CHANGED));
    points.SetFlag(POINTLIST_CHANGED, false);
    EXPECT_FALSE(points.IsFlagSet(POINTLIST_CHANGED));
    EXPECT_EQ(points.GetChangedStamp(), s0 + 1);  // clearing never moves the stamp
    points.SetSize(4);
    EXPECT_EQ(points.GetChangedStamp(), s0 + 1);  // same size: nothing changed
    EXPECT_FALSE(points.IsFlagSet(POINTLIST_CHANGED));
    points.SetFlag(POINTLIST_CHANGED, true);
    EXPECT_EQ(points.GetChangedStamp(), s0 + 2);
    unsigned order[] = {3, 2, 1, 0};
    ASSERT_TRUE(points.Reorder(order, 4, false));
    EXPECT_EQ(points.GetChangedStamp(), s0 + 3);
    points.RemoveAll();
    EXPECT_EQ(points.GetChangedStamp(), s0 + 4);
    points.RemoveAll();
    EXPECT_EQ(points.GetChangedStamp(), s0 + 4);
}

// ---- copies and order ---------------------------------------------------------------------------

TEST(PointList, CopyPointCarriesChunkData) {
    C3DPointList a;
    Fill(a, 3);
    ASSERT_TRUE(a.CopyPoint(0, 2));
    EXPECT_EQ(a.GetAt(0), C3DTPoint<float>(2, 20, -2));
    EXPECT_EQ(a.GetOriginalIndex(0), 2u);
    EXPECT_FALSE(a.CopyPoint(3, 0));
    EXPECT_FALSE(a.CopyPoint(0, -1));

    C3DPointList b;
    Fill(b, 2);
    b.GetAt(1).SetFlags(0x10);
    ASSERT_TRUE(a.CopyPoint(1, 1, b));
    EXPECT_EQ(a.GetAt(1), C3DTPoint<float>(1, 10, -1));
    EXPECT_EQ(a.GetAt(1).GetFlags(), 0x10u);
    EXPECT_EQ(a.GetOriginalIndex(1), 1u);
    EXPECT_FALSE(a.CopyPoint(0, 2, b));  // source out of range

    // Vectors and points are not of a kind: nothing is copied.
    C3DVectorList v;
    v.Add(9, 9, 9);
    EXPECT_FALSE(a.CopyPoint(2, 0, v));
    EXPECT_EQ(a.GetAt(2), C3DTPoint<float>(2, 20, -2));
}

TEST(PointList, ReorderMovesChunksAndElementsTogether) {
    // order[i] = old position of the point that becomes point i.
    C3DPointList points;
    Fill(points, 4);
    const unsigned order[] = {2, 0, 3, 1};
    ASSERT_TRUE(points.Reorder(order, 4, false));
    EXPECT_EQ(Xs(points), (std::vector<float>{2, 0, 3, 1}));
    EXPECT_EQ(OriginalIndexes(points), (std::vector<unsigned>{2, 0, 3, 1}));
    EXPECT_EQ(points.GetAt(0).y, 20.0f);

    // inverse: order[i] = new position of the point now at i.
    C3DPointList inv;
    Fill(inv, 4);
    ASSERT_TRUE(inv.Reorder(order, 4, true));
    EXPECT_EQ(Xs(inv), (std::vector<float>{1, 3, 0, 2}));
    EXPECT_EQ(OriginalIndexes(inv), (std::vector<unsigned>{1, 3, 0, 2}));
}

TEST(PointList, ReorderRejectsBadTablesWithoutMovingAnything) {
    C3DPointList points;
    Fill(points, 4);
    const unsigned shortTable[] = {0, 1, 2};
    EXPECT_FALSE(points.Reorder(shortTable, 3, false));
    const unsigned repeated[] = {0, 1, 1, 3};
    EXPECT_FALSE(points.Reorder(repeated, 4, false));
    const unsigned outside[] = {0, 1, 2, 4};
    EXPECT_FALSE(points.Reorder(outside, 4, true));
    EXPECT_EQ(Xs(points), (std::vector<float>{0, 1, 2, 3}));
    EXPECT_EQ(OriginalIndexes(points), (std::vector<unsigned>{0, 1, 2, 3}));
}

TEST(PointList, AssignmentCopiesContentAndChunks) {
    C3DPointList a;
    Fill(a, 3);
    a.GetAt(1).SetFlags(0x2);
    C3DPointList b;
    b.SetSize(7);
    const unsigned stamp = b.GetChangedStamp();
    b = a;
    ASSERT_EQ(b.GetSize(), 3);
    EXPECT_EQ(Xs(b), Xs(a));
    EXPECT_EQ(b.GetAt(1).GetFlags(), 0x2u);
    EXPECT_EQ(OriginalIndexes(b), (std::vector<unsigned>{0, 1, 2}));
    EXPECT_GT(b.GetChangedStamp(), stamp);

    C3DVectorList v;
    v.SetSize(1);
    CPointList& asBase = b;
    EXPECT_TRUE(RaisesInvalidArg([&] { asBase = v; }));
}

TEST(PointList, ConstructionFromAnotherCopiesTheChunkLayoutOnly) {
    C3DPointList a;
    Fill(a, 3);
    C3DPointList b(a);
    EXPECT_EQ(b.GetSize(), 0);
    EXPECT_TRUE(b.HasDataChunk(POINT_CHUNK_ORIGINAL_INDEX));
    b.SetSize(1);
    EXPECT_EQ(b.GetOriginalIndex(0), 0xFFFFFFFFu);
    C2DPointList uv(a);  // the layout of any point list
    EXPECT_TRUE(uv.HasDataChunk(POINT_CHUNK_ORIGINAL_INDEX));
}

// ---- flags and counts -----------------------------------------------------------------------------

TEST(PointList, CountsUseAnyBitOrAllBitsByArgumentType) {
    C3DPointList points;
    points.SetSize(4);
    const unsigned flags[] = {0x2, 0x12, 0x10, 0x0};
    for (int i = 0; i < 4; ++i) points.GetAt(i).SetFlags(flags[i]);
    EXPECT_EQ(points.GetNumberOfPoints(0x12u, true), 3);   // any of 0x10, 0x2
    EXPECT_EQ(points.GetNumberOfPoints(0x12u, false), 1);
    EXPECT_EQ(points.GetNumberOfPoints(_POINT_PROPERTIES(0x12), true), 1);  // both bits
    EXPECT_EQ(points.GetNumberOfPoints(_POINT_PROPERTIES(0x12), false), 3);
    EXPECT_EQ(points.GetNumberOfPoints(POINT_REMOVED, false), 2);
    points.SetPointsFlags(0x100, true);
    EXPECT_EQ(points.GetNumberOfPoints(0x100u, true), 4);
    points.SetPointsFlags(0x12, false);
    EXPECT_EQ(points.GetAt(1).GetFlags(), 0x100u);
}

// ---- checksums -----------------------------------------------------------------------------------

TEST(PointList, CoordinateChecksumMatchesItsDefinition) {
    C3DPointList points;
    AddAll(points, {{1.5f, -2.0f, 0.0f}, {3.0f, 4.0f, 5.0f}, {-0.25f, 1e-20f, 7.0f}, {100.0f, 0.0f, -1.0f}});
    points.GetAt(1).SetFlags(0x2);  // removed: skipped
    points.GetAt(2).SetFlags(0x10);
    uint32_t h = 0;
    for (int i = 0; i < 4; ++i) {
        const C3DTPoint<float>& p = points.GetAt(i);
        if (p.GetFlags() & 0x2) continue;
        uint32_t add = 0;
        for (float c : {p.x, p.y, p.z}) add += c == 0.0f ? 0u : FloatBits(c);
        h = Wang(h + uint32_t(i)) + add;
    }
    EXPECT_EQ(points.GetChecksum(0x1), h);
    std::vector<unsigned> flags = {0, 0x2, 0x10, 0};
    EXPECT_EQ(points.GetChecksum(0x3), h + ExpectedFlagChecksum(flags));
    EXPECT_EQ(points.GetChecksum(0x2), ExpectedFlagChecksum(flags));
    EXPECT_EQ(points.GetChecksum(0x4), 0u);
}

TEST(PointList, ChecksumIgnoresTheSignOfZero) {
    C3DPointList a, b;
    AddAll(a, {{0.0f, 1.0f, 0.0f}, {2.0f, 0.0f, 3.0f}});
    AddAll(b, {{-0.0f, 1.0f, -0.0f}, {2.0f, -0.0f, 3.0f}});
    EXPECT_EQ(a.GetChecksum(0x3), b.GetChecksum(0x3));
    // ... but not the sign of anything else.
    b.GetAt(1).x = -2.0f;
    EXPECT_NE(a.GetChecksum(0x1), b.GetChecksum(0x1));
}

// ---- geometry ------------------------------------------------------------------------------------

TEST(PointList, BoundingBoxWithMaskAndTransform) {
    C3DPointList points;
    AddAll(points, {{1, 2, 3}, {-4, 5, 0}, {100, 100, 100}});
    points.GetAt(2).SetFlags(POINT_REMOVED);
    C3DTBBox<float> box;
    ASSERT_TRUE(points.GetBoundingBox(box));
    EXPECT_EQ(box.GetMax(), C3DTPoint<float>(100, 100, 100));
    ASSERT_TRUE(points.GetBoundingBox(box, POINT_REMOVED, false));
    EXPECT_EQ(box.GetMin(), C3DTPoint<float>(-4, 2, 0));
    EXPECT_EQ(box.GetMax(), C3DTPoint<float>(1, 5, 3));
    ASSERT_TRUE(points.GetBoundingBox(box, POINT_REMOVED, true));
    EXPECT_EQ(box.GetMin(), C3DTPoint<float>(100, 100, 100));

    C4x4TMatrix<float> shift;
    shift(0, 3) = 10.0f;
    C3DTPoint<float> lo, hi;
    ASSERT_TRUE(points.GetBoundingBox(lo, hi, POINT_REMOVED, false, &shift));
    EXPECT_EQ(lo, C3DTPoint<float>(6, 2, 0));
    EXPECT_EQ(hi, C3DTPoint<float>(11, 5, 3));
    EXPECT_EQ(points.GetAt(0).x, 1.0f);  // the points themselves do not move

    C3DTPoint<float> c;
    ASSERT_TRUE(points.GetCenterOfBoundingBox(c));
    EXPECT_EQ(c, C3DTPoint<float>(48, 51, 50));

    // A point that is not a number is left out, first in the list or not.
    C3DPointList broken;
    AddAll(broken, {{std::nanf(""), 0, 0}, {1, 2, 3}, {-4, std::nanf(""), 0}, {0, 5, -1}});
    ASSERT_TRUE(broken.GetBoundingBox(box));
    EXPECT_EQ(box.GetMin(), C3DTPoint<float>(0, 2, -1));
    EXPECT_EQ(box.GetMax(), C3DTPoint<float>(1, 5, 3));

    C3DPointList empty;
    EXPECT_FALSE(empty.GetBoundingBox(box));
    EXPECT_TRUE(box.IsEmpty());
    EXPECT_FALSE(empty.GetCenterOfBoundingBox(c));
}

TEST(PointList, MatrixTransformHonoursTheIdentityToleranceAndMaskAndSwapsCoordinates) {
    C3DPointList points;
    AddAll(points, {{1, 1, 1}, {2, 2, 2}});
    points.GetAt(1).SetFlags(0x30);
    C4x4TMatrix<float> nearIdentity;
    for (int i = 0; i < 3; ++i) nearIdentity(i, i) = 1.004f;
    const unsigned stamp = points.GetChangedStamp();
    EXPECT_FALSE(points.MatrixTransform(nearIdentity));
    EXPECT_EQ(points.GetAt(0), C3DTPoint<float>(1, 1, 1));
    EXPECT_EQ(points.GetChangedStamp(), stamp);

    C4x4TMatrix<float> scale;
    scale(0, 0) = 2.0f;
    ASSERT_TRUE(points.MatrixTransform(scale, _POINT_PROPERTIES(0x30), true));  // both bits: point 1 only
    EXPECT_EQ(points.GetAt(0), C3DTPoint<float>(1, 1, 1));
    EXPECT_EQ(points.GetAt(1), C3DTPoint<float>(4, 2, 2));
    EXPECT_EQ(points.GetAt(1).GetFlags(), 0x30u);
    EXPECT_GT(points.GetChangedStamp(), stamp);
    ASSERT_TRUE(points.MatrixTransform(scale));
    EXPECT_EQ(points.GetAt(0), C3DTPoint<float>(2, 1, 1));
    EXPECT_EQ(points.GetAt(1), C3DTPoint<float>(8, 2, 2));

    // Coordinate swaps use the point swap code.
    points.Add(1, 2, 3);
    points.SwapCoordinates(0x1);  // x <-> y
    EXPECT_EQ(points.GetAt(2), C3DTPoint<float>(2, 1, 3));
    points.SwapCoordinates(0x12);  // x <-> z, then -x
    EXPECT_EQ(points.GetAt(2), C3DTPoint<float>(-3, 1, 2));
}

//  3 --- 2
//  |     |      quad in the z = 1 plane, counter-clockwise seen from +z
//  0 --- 1
TEST(PointList, NewellNormalOfPolygons) {
    C3DPointList points;
    AddAll(points, {{0, 0, 1}, {2, 0, 1}, {2, 2, 1}, {0, 2, 1}});
    C3DTVector<float> n;
    const int quad[] = {0, 1, 2, 3};
    ASSERT_TRUE(points.GetNormal(quad, n, 4));
    EXPECT_EQ(n, C3DTVector<float>(0, 0, 1));
    const int reversed[] = {0, 2, 1};
    ASSERT_TRUE(points.GetNormal(reversed, n));
    EXPECT_EQ(n, C3DTVector<float>(0, 0, -1));
    const int degenerate[] = {0, 1, 1};
    EXPECT_FALSE(points.GetNormal(degenerate, n));
    EXPECT_EQ(n, C3DTVector<float>(0, 0, 0));
    const int outside[] = {0, 1, 4};
    EXPECT_FALSE(points.GetNormal(outside, n));
}

TEST(PointList, CompacityFactor) {
    EXPECT_EQ(GetCompacityFactor(C3DTPoint<float>(1, 1, 1), C3DTPoint<float>(1, 1, 1), C3DTPoint<float>(1, 1, 1)),
              0.0);
    EXPECT_EQ(GetCompacityFactor(C3DTPoint<float>(0, 0, 0), C3DTPoint<float>(1, 0, 0), C3DTPoint<float>(2, 0, 0)),
              0.0);
    C3DPointList points;
    AddAll(points, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    const int tri[] = {0, 1, 2};
    // Right isosceles: 4√3 · 0.5 / (1 + 1 + 2).
    EXPECT_NEAR(points.GetCompacityFactor(tri), 6.928203230275509 / 8.0, 1e-12);
    const int bad[] = {0, 1, 3};
    EXPECT_EQ(points.GetCompacityFactor(bad), 0.0);
}

TEST(PointList, OwnedCachesAreReleasedWhenEmptied) {
    struct Counted : CInstanciatedObject {
        int* alive;
        explicit Counted(int* a) : alive(a) { ++*alive; }
        ~Counted() override { --*alive; }
    };
    int alive = 0;
    C3DPointList points;
    EXPECT_EQ(points.GetGridMapObject(), nullptr);
    EXPECT_EQ(points.GetPointMaterialGraph(), nullptr);
    points.SetSize(3);
    points.SetGridMapObject(new Counted(&alive));
    EXPECT_EQ(alive, 1);
    points.SetGridMapObject(new Counted(&alive));  // replaces and releases the first
    EXPECT_EQ(alive, 1);
    points.RemoveAll();
    EXPECT_EQ(alive, 0);
    {
        C3DPointList scoped;
        scoped.SetGridMapObject(new Counted(&alive));
    }
    EXPECT_EQ(alive, 0);
}

// ---- serialisation -------------------------------------------------------------------------------

namespace {

template <class LIST>
void ExpectSameList(const LIST& a, const LIST& b) {
    ASSERT_EQ(a.GetSize(), b.GetSize());
    for (int i = 0; i < a.GetSize(); ++i) {
        EXPECT_EQ(a.GetAt(i), b.GetAt(i)) << i;
        EXPECT_EQ(a.GetAt(i).GetFlags(), b.GetAt(i).GetFlags()) << i;
        EXPECT_EQ(a.GetOriginalIndex(i), b.GetOriginalIndex(i)) << i;
    }
    EXPECT_EQ(a.GetGrowFactor(), b.GetGrowFactor());
    EXPECT_EQ(a.GetDataChunks().GetChunksNbr(), b.GetDataChunks().GetChunksNbr());
    EXPECT_EQ(a.GetElementChecksum(), b.GetElementChecksum());
}

}  // namespace

TEST(PointListArchive, EveryTypedListRoundTrips) {
    C3DPointList p;
    Fill(p, 5);
    p.GetAt(3).SetFlags(0x1012);
    p.SetGrowFactor(7);
    C3DVectorList v;
    v.Add(1, 0, 0);
    v.Add(0, -1, 0.5f);
    v.SavePointsIndex();
    C2DPointList uv;
    uv.Add(0.25f, 0.75f);
    uv.GetAt(0).SetFlags(0x8);

    Bytes pb = Store([&](CXArchive& ar) { p.Serialize(ar); });
    Bytes vb = Store([&](CXArchive& ar) { v.Serialize(ar); });
    Bytes ub = Store([&](CXArchive& ar) { uv.Serialize(ar); });

    C3DPointList p2;
    p2.SetSize(9);  // loading replaces everything
    Load(pb, [&](CXArchive& ar) { p2.Serialize(ar); });
    ExpectSameList(p, p2);
    EXPECT_EQ(p.GetChecksum(0x3), p2.GetChecksum(0x3));
    C3DVectorList v2;
    Load(vb, [&](CXArchive& ar) { v2.Serialize(ar); });
    ExpectSameList(v, v2);
    C2DPointList uv2;
    Load(ub, [&](CXArchive& ar) { uv2.Serialize(ar); });
    ExpectSameList(uv, uv2);
    // Storing the loaded list again gives the same bytes.
    EXPECT_EQ(Store([&](CXArchive& ar) { p2.Serialize(ar); }), pb);
}

TEST(PointListArchive, ClassRegistryRecreatesTypedLists) {
    C3DPointList p;
    Fill(p, 2);
    Bytes b = Store([&](CXArchive& ar) {
        ar.WriteClass(p.GetRuntimeClassDescriptor());
        p.Serialize(ar);
    });
    CXObject* object = nullptr;
    Load(b, [&](CXArchive& ar) {
        const CXRuntimeClass* cls = ar.ReadClass();
        ASSERT_NE(cls, nullptr);
        object = cls->CreateObject();
        C3DPointList* list = C3DPointList::FromObject(object);
        ASSERT_NE(list, nullptr);
        list->Serialize(ar);
    });
    Owned<C3DPointList> list = C3DPointList::FromObject(object);
    ExpectSameList(p, *list);
    EXPECT_EQ(C2DPointList::FromObject(object), nullptr);
    EXPECT_EQ(CPointList::FromObject(object), list);
}

TEST(PointListArchive, LoadingAnotherElementTypeIsRejected) {
    C2DPointList uv;
    uv.Add(1, 2);
    Bytes b = Store([&](CXArchive& ar) { uv.Serialize(ar); });
    C3DPointList p;
    Fill(p, 3);
    EXPECT_EQ(ArchiveCause([&] { Load(b, [&](CXArchive& ar) { p.Serialize(ar); }); }), int(CXArchiveException::badClass));
    // The list is left empty and still a 3D point list.
    EXPECT_EQ(p.GetSize(), 0);
    EXPECT_EQ(p.GetTypeOfElement(), 0x33445054u);
    p.Add(1, 2, 3);
    EXPECT_EQ(p.GetAt(0), C3DTPoint<float>(1, 2, 3));
}

TEST(PointListArchive, ChunksOfAnotherLengthAreRejected) {
    // Chunks announcing 3 elements followed by an element array of 2.
    CDataChunk chunks;
    chunks.AddDataChunk(POINT_CHUNK_ORIGINAL_INDEX, new COriginalIndexMethods);
    chunks.GetData(POINT_CHUNK_ORIGINAL_INDEX)->GetMethods()->Delete();
    chunks.SetDataSize(3);
    Bytes b = Store([&](CXArchive& ar) {
        chunks.Serialize(ar);
        CElementArray array(new C3DPointMethods);
        array.GetMethods()->Delete();
        array.SetSize(2);
        array.Serialize(ar);
    });
    C3DPointList p;
    EXPECT_EQ(ArchiveCause([&] { Load(b, [&](CXArchive& ar) { p.Serialize(ar); }); }), int(CXArchiveException::badIndex));
    EXPECT_EQ(p.GetSize(), 0);
    EXPECT_EQ(p.GetDataChunks().GetDataSize(), 0);
}

TEST(PointListArchive, TruncatedDataFailsCleanly) {
    C3DPointList p;
    Fill(p, 6);
    Bytes b = Store([&](CXArchive& ar) { p.Serialize(ar); });
    for (size_t cut : {size_t(3), b.size() / 2, b.size() - 1}) {
        Bytes part(b.begin(), b.begin() + long(cut));
        C3DPointList q;
        EXPECT_EQ(ArchiveCause([&] { Load(part, [&](CXArchive& ar) { q.Serialize(ar); }); }),
                  int(CXArchiveException::endOfFile))
            << cut;
        EXPECT_EQ(q.GetSize(), 0);
        EXPECT_EQ(q.GetDataChunks().GetDataSize(), 0);
    }
}
