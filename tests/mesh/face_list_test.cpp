#include "kestovar/mesh/face_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/mesh/point_list.h"
#include "lists_test_util.h"

using namespace kestovar;
using namespace kestovar::liststest;

namespace {

std::vector<int> Indexes(const CFaceList& list, unsigned i) {
    int n = 0;
    const int* v = list.GetIndexes(i, n);
    return v ? std::vector<int>(v, v + n) : std::vector<int>();
}

// Sets face i to the given indices through a view.
void SetFace(CFaceList& list, unsigned i, std::vector<int> indices) {
    CFace f;
    ASSERT_TRUE(list.GetFace(i, f));
    f.SetIndexes(indices.data(), unsigned(indices.size()));
}

//  0 --- 1 --- 2
//  | \ 0 | 2 / |
//  | 1 \ | / 3 |      four triangles over a 2 x 1 grid of points
//  3 --- 4 --- 5
void FourTriangles(CFaceList& list) {
    list.SetSize(4, 3, SETSIZE_COMPACT_SLACK);
    SetFace(list, 0, {0, 4, 1});
    SetFace(list, 1, {0, 3, 4});
    SetFace(list, 2, {1, 4, 2});
    SetFace(list, 3, {2, 4, 5});
}

// Sum of 4 + 4 * count over all faces: the size of the records packed without room to spare.
uint64_t Packed(const CFaceList& list) {
    uint64_t bytes = 0;
    for (int i = 0; i < list.GetSize(); ++i) bytes += 4 + 4 * uint64_t(list.GetFaceSize(unsigned(i)));
    return bytes;
}

}  // namespace

// ---- new faces and views -------------------------------------------------------------------------

TEST(FaceList, NewBackMaterialsAndOriginalIndexesAreUndefined) {
    C3DFaceList faces;
    faces.SetSize(2, 3, SETSIZE_COMPACT_SLACK);
    faces.AddDataChunk(FACE_CHUNK_BACK_MATERIAL, new CBackFaceMaterialMethods);
    faces.GetData(FACE_CHUNK_BACK_MATERIAL)->GetMethods()->Delete();
    faces.AddDataChunk(FACE_CHUNK_ORIGINAL_INDEX, new COriginalIndexMethods);
    faces.GetData(FACE_CHUNK_ORIGINAL_INDEX)->GetMethods()->Delete();
    faces.ExpandSize(1);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(faces.GetBackFaceMaterial(i), 0xFFFFFFFFu);
        EXPECT_EQ(faces.GetOriginalIndex(i), 0xFFFFFFFFu);
    }
    faces.SaveFacesIndex();
    EXPECT_EQ(faces.GetOriginalIndex(2), 2u);
    EXPECT_EQ(faces.GetOriginalIndex(3), 0xFFFFFFFFu);
}

TEST(FaceList, OutOfRangeQueriesReturnNothing) {
    CFaceList faces;
    FourTriangles(faces);
    CFace f;
    EXPECT_FALSE(faces.GetFace(4, f));
    EXPECT_FALSE(f.IsValid());
    int n = 7;
    EXPECT_EQ(faces.GetIndexes(4, n), nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(faces.GetFaceFlags(4), 0u);
    EXPECT_EQ(faces.GetMainData(4), nullptr);
    EXPECT_FALSE(faces.SetFaceFlags(4, 0x1, true));
    EXPECT_FALSE(faces.IsFaceFlagSet(4, 0));
    C3DFaceList f3;
    EXPECT_EQ(f3.GetFaceMaterial(0), 0xFFFFFFFFu);
    EXPECT_EQ(f3.GetBackFaceMaterial(0, true), 0xFFFFFFFFu);
    EXPECT_FALSE(f3.SetFaceMaterial(0, 1));
    EXPECT_FALSE(faces.SetSize(-1));
}

TEST(FaceView, FewerThanThreeCornersInvalidateAndATriangleRestores) {
    CFaceList faces;
    FourTriangles(faces);
    CFace f;
    ASSERT_TRUE(faces.GetFace(1, f));
    f.SetSize(2);
    EXPECT_TRUE(faces.IsFaceFlagSet(1, FACE_INVALID));
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{0, 3}));
    f.SetTriangle(0, 3, 4);
    EXPECT_FALSE(faces.IsFaceFlagSet(1, FACE_INVALID));
    f.SetSize(5);  // 3 or more leaves the flags alone
    EXPECT_FALSE(faces.IsFaceFlagSet(1, FACE_INVALID));
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{0, 3, 4, 0, 0}));
    f.SetSize(0);
    EXPECT_TRUE(f.IsFlagSet(FACE_INVALID));
    f.SetQuadrangle(1, 2, 3, 4);
    EXPECT_FALSE(f.IsFlagSet(FACE_INVALID));
    EXPECT_EQ(f.GetSize(), 4u);

    // AddIndex onto an empty face: below two corners it invalidates.
    faces.ExpandSize(1);
    ASSERT_TRUE(faces.GetFace(4, f));
    f.AddIndex(7);
    EXPECT_TRUE(f.IsFlagSet(FACE_INVALID));
    f.SetFlag(FACE_INVALID, false);
    f.AddIndex(8);
    EXPECT_FALSE(f.IsFlagSet(FACE_INVALID));
    f.AddIndex(9);
    f.AddIndex(10);  // past the capacity of 3: the record moves
    EXPECT_EQ(Indexes(faces, 4), (std::vector<int>{7, 8, 9, 10}));
    EXPECT_EQ(f.GetIndexes()[3], 10);
}

TEST(FaceView, ReplaceRemoveFindFlip) {
    CFaceList faces;
    faces.SetSize(1, 3, SETSIZE_COMPACT_SLACK);
    SetFace(faces, 0, {5, 6, 5, 7});
    CFace f;
    ASSERT_TRUE(faces.GetFace(0, f));
    EXPECT_EQ(f.Find(6), 1);
    EXPECT_EQ(f.Find(9), -1);
    EXPECT_TRUE(f.ReplaceIndex(5, 9));
    EXPECT_EQ(Indexes(faces, 0), (std::vector<int>{9, 6, 9, 7}));
    EXPECT_FALSE(f.ReplaceIndex(5, 1));
    EXPECT_TRUE(f.RemoveIndex(0));
    EXPECT_EQ(Indexes(faces, 0), (std::vector<int>{6, 9, 7}));
    EXPECT_FALSE(f.RemoveIndex(3));
    f.Flip();
    EXPECT_EQ(Indexes(faces, 0), (std::vector<int>{7, 9, 6}));
    // SetIndexes from another face of the same list.
    faces.ExpandSize(1);
    CFace g;
    ASSERT_TRUE(faces.GetFace(1, g));
    int n;
    g.SetIndexes(faces.GetIndexes(0, n), 3);
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{7, 9, 6}));
}

// ---- record growth and packing --------------------------------------------------------------------

// Three packed triangles fill the buffer exactly. Growing face 1 to a quadrangle rewrites it at
// the end of the buffer, which is reallocated to needed + max(needed / 4, 3 * 4 + 4) bytes.
TEST(FaceRecords, AGrownRecordMovesToTheEndOfAFullBuffer) {
    CFaceList faces;
    faces.SetSize(3, 3, SETSIZE_COMPACT_SLACK);
    SetFace(faces, 0, {0, 1, 2});
    SetFace(faces, 1, {2, 1, 3});
    SetFace(faces, 2, {3, 1, 4});
    faces.FreeExtra();
    const CFaceCollection& r = faces.GetRecords();
    ASSERT_EQ(r.GetUsedBytes(), 48u);
    ASSERT_EQ(r.GetAllocatedBytes(), 48u);

    CFace f;
    ASSERT_TRUE(faces.GetFace(1, f));
    f.SetQuadrangle(2, 1, 3, 5);
    EXPECT_EQ(r.GetOffset(1), 48u);
    EXPECT_EQ(r.GetUsedBytes(), 68u);
    EXPECT_EQ(r.GetAllocatedBytes(), 68u + 17u);
    // The view that grew the face follows it.
    int n;
    EXPECT_EQ(f.GetIndexes(), faces.GetIndexes(1, n));
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{2, 1, 3, 5}));
    EXPECT_EQ(Indexes(faces, 0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Indexes(faces, 2), (std::vector<int>{3, 1, 4}));

    faces.FreeExtra();
    EXPECT_EQ(r.GetUsedBytes(), Packed(faces));
    EXPECT_EQ(r.GetAllocatedBytes(), Packed(faces));
    EXPECT_EQ(Packed(faces), 16u + 20u + 16u);
    EXPECT_EQ(r.GetOffset(1), 16u);  // index order again
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{2, 1, 3, 5}));
}

// A view's write may compact the slack first, when the slack alone makes room for the record;
// otherwise the buffer grows.
TEST(FaceRecords, SlackIsCompactedBeforeTheBufferGrows) {
    CFaceList faces;
    faces.SetSize(3, 3, SETSIZE_COMPACT_SLACK);
    for (unsigned i = 0; i < 3; ++i) SetFace(faces, i, {int(i), int(i) + 1, int(i) + 2});
    faces.FreeExtra();
    const CFaceCollection& r = faces.GetRecords();
    CFace f;
    faces.GetFace(1, f);
    f.AddIndex(9);  // 48 + 20 = 68 needed -> 85 allocated; 16 bytes of slack
    faces.GetFace(2, f);
    f.AddIndex(9);  // needs 20, 17 free, slack 16 < 20: grows to 88 + 22
    EXPECT_EQ(r.GetOffset(2), 68u);
    EXPECT_EQ(r.GetAllocatedBytes(), 110u);
    faces.GetFace(0, f);
    f.AddIndex(9);  // fits: 88 + 20 = 108 used, 48 bytes of slack
    EXPECT_EQ(r.GetOffset(0), 88u);
    EXPECT_EQ(r.GetUsedBytes(), 108u);
    faces.GetFace(1, f);
    f.AddIndex(10);  // needs 24, 2 free, slack 48: compaction into the same 110 bytes, then the move
    EXPECT_EQ(r.GetAllocatedBytes(), 110u);
    EXPECT_EQ(r.GetOffset(0), 0u);
    EXPECT_EQ(r.GetOffset(2), 40u);
    EXPECT_EQ(r.GetOffset(1), 60u);
    EXPECT_EQ(r.GetUsedBytes(), 84u);
    EXPECT_EQ(Indexes(faces, 0), (std::vector<int>{0, 1, 2, 9}));
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{1, 2, 3, 9, 10}));
    EXPECT_EQ(Indexes(faces, 2), (std::vector<int>{2, 3, 4, 9}));
}

TEST(FaceRecords, SizeModesShrinking) {
    // Ten packed triangles (160 bytes).
    const auto ten = [](CFaceList& list, bool freeExtra) {
        list.SetSize(10, 3, SETSIZE_COMPACT_SLACK);
        for (unsigned i = 0; i < 10; ++i) SetFace(list, i, {1, 2, 3});
        if (freeExtra) list.FreeExtra();
    };
    // Mode 2 keeps the buffer and the dropped records.
    CFaceList keep;
    ten(keep, true);
    ASSERT_EQ(keep.GetRecords().GetAllocatedBytes(), 160u);
    keep.SetSize(2, SETSIZE_KEEP_MEMORY);
    EXPECT_EQ(keep.GetRecords().GetAllocatedBytes(), 160u);
    EXPECT_EQ(keep.GetRecords().GetUsedBytes(), 160u);
    EXPECT_EQ(keep.GetSize(), 2);
    EXPECT_EQ(keep.GetDataChunks().GetData(FACE_CHUNK_MAIN)->GetAllocatedSize(), 10);

    // Mode 1 packs exactly.
    CFaceList exact;
    ten(exact, false);
    exact.SetSize(2, SETSIZE_COMPACT_EXACT);
    EXPECT_EQ(exact.GetRecords().GetAllocatedBytes(), 32u);
    EXPECT_EQ(exact.GetRecords().GetUsedBytes(), 32u);
    EXPECT_EQ(Indexes(exact, 1), (std::vector<int>{1, 2, 3}));

    // Mode 0: compacted to packed + max(packed / 4, 16) when the buffer is larger than that.
    CFaceList slack;
    ten(slack, true);
    slack.SetSize(9, SETSIZE_COMPACT_SLACK);  // 160 <= 144 + 36: left alone
    EXPECT_EQ(slack.GetRecords().GetAllocatedBytes(), 160u);
    EXPECT_EQ(slack.GetRecords().GetUsedBytes(), 160u);
    slack.SetSize(2, SETSIZE_COMPACT_SLACK);  // 160 > 32 + 16
    EXPECT_EQ(slack.GetRecords().GetAllocatedBytes(), 48u);
    EXPECT_EQ(slack.GetRecords().GetUsedBytes(), 32u);
    EXPECT_EQ(Indexes(slack, 0), (std::vector<int>{1, 2, 3}));
}

TEST(FaceRecords, SizeModesGrowingKeepRoomInNewFaces) {
    CFaceList faces;
    faces.SetSize(2, 3, SETSIZE_COMPACT_SLACK);
    SetFace(faces, 0, {0, 1, 2});
    SetFace(faces, 1, {0, 2, 3});
    faces.FreeExtra();
    faces.SetSize(4, SETSIZE_COMPACT_SLACK);  // 64 needed -> 64 + 16
    EXPECT_EQ(faces.GetRecords().GetAllocatedBytes(), 80u);
    EXPECT_EQ(faces.GetRecords().GetElement(3)->GetCapacity(), 3u);
    // Exact packing trims every kept face to its count (the empty faces 2 and 3 included); only
    // the faces this call adds keep their room.
    faces.SetSize(6, SETSIZE_COMPACT_EXACT);
    EXPECT_EQ(faces.GetRecords().GetAllocatedBytes(), 16u + 16u + 4u + 4u + 16u + 16u);
    EXPECT_EQ(faces.GetRecords().GetUsedBytes(), faces.GetRecords().GetAllocatedBytes());
    EXPECT_EQ(faces.GetRecords().GetElement(3)->GetCapacity(), 0u);
    EXPECT_EQ(faces.GetRecords().GetElement(5)->GetCapacity(), 3u);
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{0, 2, 3}));
    // A triangle written into a new face stays in place.
    const uint64_t offset = faces.GetRecords().GetOffset(5);
    SetFace(faces, 5, {7, 8, 9});
    EXPECT_EQ(faces.GetRecords().GetOffset(5), offset);
}

TEST(FaceRecords, ShrinkingAndGrowingAgainGivesFreshFaces) {
    C3DFaceList faces;
    FourTriangles(faces);
    faces.SetFaceFlags(3, FACE_HIDDEN, true);
    faces.SetFaceMaterial(3, 5);
    faces.SetSize(3, SETSIZE_KEEP_MEMORY);
    faces.SetSize(4, SETSIZE_KEEP_MEMORY);
    EXPECT_EQ(faces.GetFaceFlags(3), 0u);
    EXPECT_EQ(faces.GetFaceMaterial(3), 0u);
    EXPECT_EQ(faces.GetFaceSize(3), 0u);
}

TEST(FaceRecords, OtherSizingForms) {
    CFaceList faces;
    const unsigned counts[] = {3, 4, 0, 5};
    ASSERT_TRUE(faces.SetSize(4, counts));
    EXPECT_EQ(faces.GetFaceSize(1), 4u);
    EXPECT_EQ(faces.GetFaceSize(3), 5u);
    EXPECT_EQ(faces.GetRecords().GetUsedBytes(), 16u + 20u + 4u + 24u);
    EXPECT_EQ(faces.GetDataChunks().GetDataSize(), 4);

    faces.SetFacesSize(3);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(faces.GetFaceSize(i), 3u);

    EXPECT_EQ(faces.ExpandSizeAndFlags(2, FACE_HIDDEN), 4);
    EXPECT_EQ(faces.GetFaceFlags(4), unsigned(FACE_HIDDEN));
    EXPECT_EQ(faces.GetFaceFlags(3), 0u);
    // A count past the int range is refused before the records or the chunks change.
    EXPECT_TRUE(RaisesInvalidArg([&] { faces.ExpandSize(INT_MAX); }));
    EXPECT_EQ(faces.GetSize(), 6);
    EXPECT_EQ(faces.GetDataChunks().GetDataSize(), 6);
    ASSERT_TRUE(faces.SetSizeAndFlags(8, 0x40));
    EXPECT_EQ(faces.GetFaceFlags(5), unsigned(FACE_HIDDEN));
    EXPECT_EQ(faces.GetFaceFlags(7), 0x40u);

    CFaceList copy;
    ASSERT_TRUE(copy.SetSizeAndFlags(faces, FACE_FROZEN));
    EXPECT_EQ(copy.GetSize(), 8);
    EXPECT_EQ(Indexes(copy, 3), Indexes(faces, 3));
    for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(copy.GetFaceFlags(i), unsigned(FACE_FROZEN));

    faces.PreAllocate(100, 300);
    EXPECT_EQ(faces.GetSize(), 0);
    EXPECT_GE(faces.GetRecords().GetAllocatedBytes(), 100u * 4 + 300u * 4);
    EXPECT_EQ(faces.GetDataChunks().GetData(FACE_CHUNK_MAIN)->GetAllocatedSize(), 100);
}

// ---- flags ---------------------------------------------------------------------------------------

TEST(FaceList, FlagCountsAnyBitOrAllBits) {
    CFaceList faces;
    faces.SetSize(4);
    const unsigned flags[] = {0x3, 0x1, 0x0, 0x1000002};
    for (unsigned i = 0; i < 4; ++i) faces.SetFaceFlags(i, flags[i]);
    EXPECT_EQ(faces.GetNumberOfFaces(0x3u, true), 3);
    EXPECT_EQ(faces.GetNumberOfFaces(0x3u, false), 1);
    EXPECT_EQ(faces.GetNumberOfFaces(FACE_NOT_LIVE, true), 1);
    EXPECT_EQ(faces.GetNumberOfFaces(FACE_NOT_LIVE, false), 3);
    EXPECT_TRUE(faces.IsFaceOneFlagSet(3, FACE_SELECTED | FACE_ALL_SELECTED));
    EXPECT_FALSE(faces.IsFaceFlagSet(3, FACE_SELECTED | FACE_ALL_SELECTED));
    EXPECT_TRUE(faces.IsFaceFlagsSet(0, 0x3, 0x3));
    EXPECT_FALSE(faces.IsFaceFlagsSet(1, 0x3, 0x3));

    EXPECT_EQ(faces.SetFacesFlags(0x3, 0x1, 0x40, true), 1);  // only face 1 has exactly 0x1
    EXPECT_EQ(faces.GetFaceFlags(1), 0x41u);
    faces.SetFacesFlags(0x1, false);
    EXPECT_EQ(faces.GetFaceFlags(0), 0x2u);
    EXPECT_EQ(faces.GetFaceFlags(1), 0x40u);

    CFaceList other;
    other.SetSize(3);
    other.SetFaceFlag(1, FACE_FROZEN, true);
    other.SetFaceFlag(2, FACE_FROZEN, true);
    faces.SetFaceFlag(2, FACE_SELECTED, true);
    EXPECT_EQ(faces.InheritFlags(other, FACE_FROZEN, FACE_SELECTED, true), 1);  // face 2 had it
    EXPECT_TRUE(faces.IsFaceFlagSet(1, FACE_SELECTED));
    EXPECT_FALSE(faces.IsFaceFlagSet(0, FACE_SELECTED));
}

TEST(FaceList, TriangularTestSkipsInvalidFaces) {
    CFaceList faces;
    FourTriangles(faces);
    EXPECT_TRUE(faces.IsTriangular());
    SetFace(faces, 2, {1, 4, 2, 6});
    EXPECT_FALSE(faces.IsTriangular());
    faces.SetFaceFlag(2, FACE_INVALID, true);
    EXPECT_TRUE(faces.IsTriangular());
    faces.SetFaceFlags(2, 0x10);
    EXPECT_FALSE(faces.IsTriangular(_FACE_PROPERTIES(0x10), true));
    EXPECT_TRUE(faces.IsTriangular(_FACE_PROPERTIES(0x10), false));
}

TEST(FaceList, FlipReversesLiveFacesOnly) {
    CFaceList faces;
    FourTriangles(faces);
    faces.SetFaceFlag(1, FACE_HIDDEN, true);
    faces.SetFaceFlag(2, FACE_FROZEN, true);
    EXPECT_EQ(faces.FlipNormals(), 3);
    EXPECT_EQ(Indexes(faces, 0), (std::vector<int>{1, 4, 0}));
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{0, 3, 4}));
    EXPECT_EQ(faces.FlipNormals(FACE_FROZEN, true), 1);
    EXPECT_EQ(Indexes(faces, 2), (std::vector<int>{1, 4, 2}));  // flipped twice
    EXPECT_EQ(Indexes(faces, 3), (std::vector<int>{5, 4, 2}));
    C3DFaceList f3;
    FourTriangles(f3);
    f3.SetFaceFlag(0, FACE_INVALID, true);
    EXPECT_TRUE(f3.Flip(0));  // a single flip ignores the flags
    EXPECT_EQ(Indexes(f3, 0), (std::vector<int>{1, 4, 0}));
    EXPECT_FALSE(f3.Flip(4));
}

// ---- order and renumbering -----------------------------------------------------------------------

TEST(FaceList, ReorderMovesRecordsAndChunks) {
    C3DFaceList faces, inv;
    for (C3DFaceList* list : {&faces, &inv}) {
        FourTriangles(*list);
        for (unsigned i = 0; i < 4; ++i) list->SetFaceMaterial(i, 10 + i);
    }
    faces.SaveFacesIndex();
    const unsigned order[] = {3, 0, 2, 1};  // face i takes old face order[i]
    ASSERT_TRUE(faces.ReorderFaces(order, 4, false));
    EXPECT_EQ(Indexes(faces, 0), (std::vector<int>{2, 4, 5}));
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{0, 4, 1}));
    EXPECT_EQ(faces.GetFaceMaterial(0), 13u);
    EXPECT_EQ(faces.GetOriginalIndex(3), 1u);

    ASSERT_TRUE(inv.ReorderFaces(order, 4, true));  // old face i goes to order[i]
    EXPECT_EQ(Indexes(inv, 3), (std::vector<int>{0, 4, 1}));
    EXPECT_EQ(Indexes(inv, 0), (std::vector<int>{0, 3, 4}));
    EXPECT_EQ(inv.GetFaceMaterial(3), 10u);
    EXPECT_EQ(inv.GetFaceMaterial(0), 11u);

    const unsigned bad[] = {0, 0, 1, 2};
    const unsigned stamp = inv.GetChangedStamp();
    EXPECT_FALSE(inv.ReorderFaces(bad, 4, false));
    EXPECT_FALSE(inv.ReorderFaces(order, 3, false));
    EXPECT_EQ(inv.GetChangedStamp(), stamp);
    EXPECT_EQ(Indexes(inv, 3), (std::vector<int>{0, 4, 1}));
    EXPECT_EQ(inv.GetFaceMaterial(3), 10u);
}

TEST(FaceList, UpdateIndexFollowsTheRemapRules) {
    CFaceList faces;
    FourTriangles(faces);
    faces.SetFaceFlag(3, FACE_HIDDEN, true);
    // 0 stays, 1 -> 7, 2 removed (kept as is), 3 -> 0, 4 -> 4; 5 is past the table.
    const unsigned remap[] = {0, 7, 0xFFFFFFFF, 0, 4};
    EXPECT_TRUE(faces.UpdateIndex(remap, 5, true));
    EXPECT_EQ(Indexes(faces, 0), (std::vector<int>{0, 4, 7}));
    EXPECT_EQ(Indexes(faces, 1), (std::vector<int>{0, 0, 4}));
    EXPECT_EQ(Indexes(faces, 2), (std::vector<int>{7, 4, 2}));
    EXPECT_EQ(Indexes(faces, 3), (std::vector<int>{2, 4, 5}));  // hidden: untouched
    CXArray<unsigned int> table;
    for (unsigned v : {0u, 1u, 9u}) table.Add(v);
    EXPECT_TRUE(faces.UpdateIndex(&table, false));
    EXPECT_EQ(Indexes(faces, 3), (std::vector<int>{9, 4, 5}));
    EXPECT_FALSE(faces.UpdateIndex(&table, false));  // nothing left to change
    EXPECT_FALSE(faces.UpdateIndex(nullptr, false));
}

// ---- copies --------------------------------------------------------------------------------------

TEST(FaceList, CopyFaceFormsCopyChunksAndOptionallyIndices) {
    C3DFaceList a;
    FourTriangles(a);
    for (unsigned i = 0; i < 4; ++i) a.SetFaceMaterial(i, i + 1);
    a.SetBackFaceMaterial(2, 77);
    ASSERT_TRUE(a.CopyFace(0, 2u, true));
    EXPECT_EQ(a.GetFaceMaterial(0), 3u);
    EXPECT_EQ(a.GetBackFaceMaterial(0), 77u);
    EXPECT_EQ(Indexes(a, 0), (std::vector<int>{0, 4, 1}));
    ASSERT_TRUE(a.CopyFace(1, 3u));
    EXPECT_EQ(Indexes(a, 1), (std::vector<int>{2, 4, 5}));
    EXPECT_EQ(a.GetFaceMaterial(1), 4u);
    EXPECT_FALSE(a.CopyFace(4, 0u));

    C3DFaceList b;
    b.SetSize(2, 3, SETSIZE_COMPACT_SLACK);
    ASSERT_TRUE(b.CopyFace(1, 2, a));
    EXPECT_EQ(Indexes(b, 1), (std::vector<int>{1, 4, 2}));
    EXPECT_EQ(b.GetFaceMaterial(1), 3u);
    EXPECT_FALSE(b.HasBackFaceMaterials());  // only chunks both lists hold
    EXPECT_FALSE(b.CopyFace(0, 4, a));

    C3DFace view;
    ASSERT_TRUE(a.GetFace(3, view));
    ASSERT_TRUE(b.CopyFace(0, view));
    EXPECT_EQ(Indexes(b, 0), (std::vector<int>{2, 4, 5}));
    CFace unfilled;
    EXPECT_FALSE(b.CopyFace(0, unfilled));

    // A flag-only list takes the flags of a 3D list's faces.
    CFaceList plain;
    plain.SetSize(1);
    a.SetFaceFlag(3, FACE_FROZEN, true);
    ASSERT_TRUE(plain.CopyFace(0, 3, a));
    EXPECT_EQ(plain.GetFaceFlags(0), unsigned(FACE_FROZEN));
}

TEST(FaceList, SingleFaceRoundTripAndEmptying) {
    C3DFaceList a;
    FourTriangles(a);
    a.SetFaceMaterial(1, 9);
    a.SetBackFaceMaterial(1, 8);
    a.SetFaceFlag(1, FACE_FROZEN, true);
    CSingleFace single(a);
    EXPECT_TRUE(single.IsEmpty());
    EXPECT_EQ(single.GetRecords().GetElement(0)->GetCapacity(), 10u);
    a.CopyTo(1, single);
    EXPECT_FALSE(single.IsEmpty());
    EXPECT_EQ(single.GetSize(), 3u);
    EXPECT_EQ(single.GetFlags(), unsigned(FACE_FROZEN));
    ASSERT_TRUE(a.CopyFrom(3, single));
    EXPECT_EQ(Indexes(a, 3), (std::vector<int>{0, 3, 4}));
    EXPECT_EQ(a.GetFaceMaterial(3), 9u);
    EXPECT_EQ(a.GetBackFaceMaterial(3), 8u);
    EXPECT_TRUE(a.IsFaceFlagSet(3, FACE_FROZEN));

    a.CopyTo(4, single);  // beyond the count: emptied
    EXPECT_TRUE(single.IsEmpty());
    EXPECT_EQ(single.GetSize(), 0u);
    EXPECT_EQ(single.GetFlags(), 0u);
    EXPECT_FALSE(a.CopyFrom(0, single));

    // A single face without chunks is reshaped by CopyTo.
    CSingleFace bare;
    a.CopyTo(2, bare);
    EXPECT_EQ(bare.GetDataChunks().GetChunksNbr(), a.GetDataChunks().GetChunksNbr());
    const int* v = bare.GetIndexes();
    EXPECT_EQ(std::vector<int>(v, v + 3), (std::vector<int>{1, 4, 2}));
}

TEST(FaceList, AssignmentAcrossFlagAndMaterialLists) {
    C3DFaceList a;
    FourTriangles(a);
    a.SetFaceMaterial(2, 6);
    a.SetFaceFlag(2, FACE_FROZEN, true);
    a.SetFlag(FACELIST_PERSISTENT, true);
    CFaceList plain;
    plain = a;
    EXPECT_EQ(plain.GetMainArray()->GetSizeOfElement(), 4);
    EXPECT_EQ(plain.GetFaceFlags(2), unsigned(FACE_FROZEN));
    EXPECT_EQ(Indexes(plain, 2), Indexes(a, 2));
    C3DFaceList back;
    back = a;
    EXPECT_EQ(back.GetFaceMaterial(2), 6u);
    EXPECT_TRUE(back.IsFlagSet(FACELIST_PERSISTENT));
    C3DFaceList fromPlain;
    static_cast<CFaceList&>(fromPlain) = plain;
    EXPECT_EQ(fromPlain.GetMainArray()->GetSizeOfElement(), 8);
    EXPECT_EQ(fromPlain.GetFaceFlags(2), unsigned(FACE_FROZEN));
    EXPECT_EQ(fromPlain.GetFaceMaterial(2), 0u);
}

// ---- materials -----------------------------------------------------------------------------------

TEST(FaceMaterials, FaceThatIsNotLiveHasNoMaterial) {
    C3DFaceList faces;
    FourTriangles(faces);
    faces.SetFaceMaterial(0, 3);
    faces.SetFaceMaterial(1, 4);
    faces.SetFaceFlag(0, FACE_HIDDEN, true);
    faces.SetFaceFlag(1, FACE_INVALID, true);
    EXPECT_EQ(faces.GetFaceMaterial(0), 0xFFFFFFFFu);
    EXPECT_EQ(faces.GetStoredFaceMaterial(0), 3u);
    EXPECT_EQ(faces.GetFaceMaterial(1), 0xFFFFFFFFu);
    faces.SetFaceFlag(0, FACE_HIDDEN, false);
    EXPECT_EQ(faces.GetFaceMaterial(0), 3u);
}

TEST(FaceMaterials, BackMaterials) {
    C3DFaceList faces;
    FourTriangles(faces);
    for (unsigned i = 0; i < 4; ++i) faces.SetFaceMaterial(i, i);
    EXPECT_FALSE(faces.HasBackFaceMaterials());
    EXPECT_EQ(faces.GetFBFaceMaterial(1).back, 0xFFFFFFFFu);
    EXPECT_TRUE(faces.CompareBackAndFrontMaterials());
    EXPECT_EQ(faces.GetBackFaceMaterial(1, true), 1u);
    ASSERT_TRUE(faces.SetBackFaceMaterial(1, 1));
    EXPECT_TRUE(faces.HasBackFaceMaterials());
    EXPECT_EQ(faces.GetData(FACE_CHUNK_BACK_MATERIAL)->GetSize(), 4);
    EXPECT_TRUE(faces.CompareBackAndFrontMaterials());  // same as the front
    faces.SetBackFaceMaterial(2, 8);
    EXPECT_FALSE(faces.CompareBackAndFrontMaterials());
    faces.SetFaceFlag(2, FACE_HIDDEN, true);
    EXPECT_TRUE(faces.CompareBackAndFrontMaterials());  // hidden faces do not count
    EXPECT_EQ(faces.GetBackFaceMaterial(2), 8u);
    EXPECT_EQ(faces.GetBackFaceMaterial(3), 0xFFFFFFFFu);
    EXPECT_EQ(faces.GetBackFaceMaterial(3, true), 3u);
    faces.SetFaceFlag(3, FACE_HIDDEN, true);
    EXPECT_EQ(faces.GetBackFaceMaterial(3, true), 0xFFFFFFFFu);
    FBMaterialID id = faces.GetFBFaceMaterial(2);
    EXPECT_EQ(id.front, 0xFFFFFFFFu);
    EXPECT_EQ(id.back, 8u);
    EXPECT_TRUE(faces.RemoveBackFaceMaterials());
    EXPECT_FALSE(faces.RemoveBackFaceMaterials());
    EXPECT_FALSE(faces.SetBackFaceMaterial(4, 1));
}

TEST(FaceMaterials, ReplaceMaterialRenamesFrontAndBack) {
    C3DFaceList faces;
    FourTriangles(faces);
    faces.SetFaceMaterial(0, 5);
    faces.SetFaceMaterial(1, 5);
    faces.SetFaceMaterial(2, 6);
    faces.SetFaceFlag(1, FACE_HIDDEN, true);
    faces.SetBackFaceMaterial(3, 5);
    const unsigned stamp = faces.GetChangedStamp();
    EXPECT_TRUE(faces.ReplaceMaterial(5, 9));
    EXPECT_EQ(faces.GetFaceMaterial(0), 9u);
    EXPECT_EQ(faces.GetStoredFaceMaterial(1), 9u);
    EXPECT_EQ(faces.GetFaceMaterial(2), 6u);
    EXPECT_EQ(faces.GetBackFaceMaterial(3), 9u);
    EXPECT_GT(faces.GetChangedStamp(), stamp);
    EXPECT_FALSE(faces.ReplaceMaterial(5, 9));
    EXPECT_FALSE(faces.ReplaceMaterial(6, 6));
}

//  points 0..5 as in FourTriangles, plus point 6 far away that no live face uses
TEST(FaceMaterials, BoundingBoxOfThePointsOfLiveFaces) {
    C3DPointList points;
    for (auto [x, y, z] :
         {std::array<float, 3>{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, -1, 0}, {1, -1, 0}, {2, -1, 3}, {50, 50, 50}})
        points.Add(x, y, z);
    C3DFaceList faces;
    FourTriangles(faces);
    faces.ExpandSize(1);
    SetFace(faces, 4, {6, 5, 4});
    faces.SetFaceFlag(4, FACE_HIDDEN, true);
    faces.SetFaceFlag(3, FACE_INVALID, true);  // drops point 5
    C3DTBBox<float> box;
    ASSERT_TRUE(faces.GetBoundingBox(points, box));
    EXPECT_EQ(box.GetMin(), C3DTPoint<float>(0, -1, 0));
    EXPECT_EQ(box.GetMax(), C3DTPoint<float>(2, 0, 0));
    C4x4TMatrix<float> up;
    up(2, 3) = 1.0f;
    ASSERT_TRUE(faces.GetBoundingBox(points, box, &up));
    EXPECT_EQ(box.GetMin().z, 1.0f);
    faces.SetFacesFlags(FACE_HIDDEN, true);
    EXPECT_FALSE(faces.GetBoundingBox(points, box));
    EXPECT_TRUE(box.IsEmpty());
}

// ---- chunks, change tracking and checksums -------------------------------------------------------

TEST(FaceList, BackChunkOnDemandAndTheMainChunk) {
    C3DFaceList faces;
    faces.SetBackFaceMaterial(0, 1);  // no face: nothing created
    EXPECT_FALSE(faces.HasBackFaceMaterials());
    faces.SetSize(1);
    faces.SetBackFaceMaterial(0, 1);
    EXPECT_FALSE(faces.RemoveDataChunk(FACE_CHUNK_MAIN));
    EXPECT_NE(faces.GetMainArray(), nullptr);
    EXPECT_TRUE(RaisesInvalidArg([&] { faces.AddDataChunk(FACE_CHUNK_MAIN, faces.GetData(FACE_CHUNK_BACK_MATERIAL)->GetMethods()); }));
    CElementMethods* m = new C3DFacePropertyMethods;
    faces.AddDataChunk(FACE_CHUNK_MAIN, m);  // a fresh main chunk of the same layout
    m->Delete();
    EXPECT_EQ(faces.GetMainArray(), faces.GetData(FACE_CHUNK_MAIN));
    EXPECT_EQ(faces.GetFaceMaterial(0), 0u);
}

TEST(FaceList, ChangeStampFollowsSizeChangesAndSetFlag) {
    CFaceList faces;
    const unsigned s0 = faces.GetChangedStamp();
    faces.SetSize(3);
    EXPECT_EQ(faces.GetChangedStamp(), s0 + 1);
    EXPECT_TRUE(faces.IsFlagSet(FACELIST_CHANGED));
    faces.SetFlag(FACELIST_CHANGED, false);
    faces.SetSize(3);
    EXPECT_EQ(faces.GetChangedStamp(), s0 + 1);
    EXPECT_FALSE(faces.IsFlagSet(FACELIST_CHANGED));
    faces.SetFlag(FACELIST_CHANGED, true);
    EXPECT_EQ(faces.GetChangedStamp(), s0 + 2);
    faces.SetFlag(FACELIST_PERSISTENT, true);
    EXPECT_EQ(faces.GetChangedStamp(), s0 + 2);
    faces.ExpandSize();
    EXPECT_EQ(faces.GetChangedStamp(), s0 + 3);
}

// The index part hashes the corners of the live faces; the chunk part is added to it apart.
TEST(FaceList, IndexAndChunkChecksums) {
    C3DFaceList faces;
    FourTriangles(faces);
    faces.SetFaceFlag(1, FACE_HIDDEN, true);
    uint32_t h = 0;
    for (unsigned i = 0; i < 4; ++i) {
        if (i == 1) continue;
        for (int v : Indexes(faces, i)) h = Wang(uint32_t(v) + h);
    }
    EXPECT_EQ(faces.GetChecksum(0x4), h);
    EXPECT_EQ(faces.GetChecksum(0x3), 0u);
    EXPECT_EQ(faces.GetChecksum(0x0), 0u);

    faces.SetFaceMaterial(2, 0x80);
    faces.SetBackFaceMaterial(0, 3);
    const uint32_t chunks = faces.GetChecksum(0x8);
    uint32_t indexes = faces.GetChecksum(0x4);
    EXPECT_EQ(faces.GetChecksum(0xC), indexes + chunks);
    // A material change shows in the chunk part only.
    faces.SetFaceMaterial(2, 0x81);
    EXPECT_NE(faces.GetChecksum(0x8), chunks);
    EXPECT_EQ(faces.GetChecksum(0x4), indexes);
}

// ---- serialisation -------------------------------------------------------------------------------

namespace {

void ExpectSameFaces(const CFaceList& a, const CFaceList& b) {
    ASSERT_EQ(a.GetSize(), b.GetSize());
    for (unsigned i = 0; i < unsigned(a.GetSize()); ++i) {
        EXPECT_EQ(Indexes(a, i), Indexes(b, i)) << i;
        EXPECT_EQ(a.GetFaceFlags(i), b.GetFaceFlags(i)) << i;
    }
    EXPECT_EQ(a.GetChecksum(0xC), b.GetChecksum(0xC));
    EXPECT_EQ(a.GetDataChunks().GetChunksNbr(), b.GetDataChunks().GetChunksNbr());
}

}  // namespace

TEST(FaceListArchive, BothListsRoundTripWithChunks) {
    C3DFaceList a;
    FourTriangles(a);
    SetFace(a, 1, {0, 3, 4, 6, 7});
    for (unsigned i = 0; i < 4; ++i) a.SetFaceMaterial(i, 20 + i);
    a.SetBackFaceMaterial(3, 99);
    a.SaveFacesIndex();
    a.SetFaceFlag(2, FACE_HIDDEN, true);
    a.SetFlag(FACELIST_PERSISTENT, true);
    // The changed flag is not written.
    ASSERT_TRUE(a.IsFlagSet(FACELIST_CHANGED));
    Bytes bytes = Store([&](CXArchive& ar) { a.Serialize(ar); });
    C3DFaceList b;
    b.SetSize(9);
    Load(bytes, [&](CXArchive& ar) { b.Serialize(ar); });
    ExpectSameFaces(a, b);
    EXPECT_EQ(b.GetStoredFaceMaterial(2), 22u);
    EXPECT_EQ(b.GetBackFaceMaterial(3), 99u);
    EXPECT_EQ(b.GetOriginalIndex(1), 1u);
    EXPECT_EQ(b.GetFlags(), unsigned(FACELIST_PERSISTENT));
    EXPECT_EQ(Store([&](CXArchive& ar) { b.Serialize(ar); }), bytes);

    CFaceList p;
    FourTriangles(p);
    p.SetFaceFlag(0, FACE_FROZEN, true);
    Bytes pb = Store([&](CXArchive& ar) { p.Serialize(ar); });
    CFaceList q;
    q.SetFlag(FACELIST_PERSISTENT, true);
    Load(pb, [&](CXArchive& ar) { q.Serialize(ar); });
    ExpectSameFaces(p, q);
    EXPECT_EQ(q.GetFlags(), 0u);  // exactly the stored value
}

TEST(FaceListArchive, HeaderLayout) {
    CFaceList p;
    p.SetSize(2);
    p.SetFlag(FACELIST_PERSISTENT, true);
    p.SetFlag(_FACELIST_PROPERTIES(0x1), true);
    Bytes b = Store([&](CXArchive& ar) { p.Serialize(ar); });
    ASSERT_GE(b.size(), 8u);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), (Bytes{2, 0, 0, 0, 0, 0, 0x10, 0}));
}

TEST(FaceListArchive, ClassRegistryAndFlagListIntoA3DList) {
    CFaceList p;
    FourTriangles(p);
    p.SetFaceFlag(3, FACE_FROZEN, true);
    Bytes b = Store([&](CXArchive& ar) {
        ar.WriteClass(p.GetRuntimeClassDescriptor());
        p.Serialize(ar);
    });
    CXObject* object = nullptr;
    Load(b, [&](CXArchive& ar) {
        object = ar.ReadClass()->CreateObject();
        ASSERT_NE(CFaceList::FromObject(object), nullptr);
        EXPECT_EQ(C3DFaceList::FromObject(object), nullptr);
        CFaceList::FromObject(object)->Serialize(ar);
    });
    ExpectSameFaces(p, *CFaceList::FromObject(object));
    CFaceList::FromObject(object)->Delete();

    // A flag-only archive loaded into a 3D list gets a main chunk of its own layout.
    C3DFaceList f3;
    Load(b, [&](CXArchive& ar) {
        ar.ReadClass();
        f3.Serialize(ar);
    });
    EXPECT_EQ(f3.GetMainArray()->GetSizeOfElement(), 8);
    EXPECT_EQ(f3.GetFaceFlags(3), unsigned(FACE_FROZEN));
    EXPECT_EQ(f3.GetStoredFaceMaterial(3), 0u);
}

TEST(FaceListArchive, CountsThatDisagreeAreRejected) {
    CFaceList p;
    FourTriangles(p);
    Bytes b = Store([&](CXArchive& ar) { p.Serialize(ar); });
    Bytes forged = b;
    forged[0] = 5;  // the face count no longer matches the records
    CFaceList q;
    EXPECT_EQ(ArchiveCause([&] { Load(forged, [&](CXArchive& ar) { q.Serialize(ar); }); }),
              int(CXArchiveException::badIndex));
    EXPECT_EQ(q.GetSize(), 0);
    EXPECT_NE(q.GetMainArray(), nullptr);
    q.SetSize(1);  // still usable
    EXPECT_EQ(q.GetFaceFlags(0), 0u);
    forged[0] = 0xFF;
    forged[3] = 0xFF;  // negative
    EXPECT_EQ(ArchiveCause([&] { Load(forged, [&](CXArchive& ar) { q.Serialize(ar); }); }),
              int(CXArchiveException::badIndex));
    for (size_t cut : {size_t(6), b.size() / 2, b.size() - 1}) {
        Bytes part(b.begin(), b.begin() + long(cut));
        EXPECT_EQ(ArchiveCause([&] { Load(part, [&](CXArchive& ar) { q.Serialize(ar); }); }),
                  int(CXArchiveException::endOfFile))
            << cut;
        EXPECT_EQ(q.GetSize(), 0);
    }
}
