// Material bookkeeping of C3DFaceList: face counts per (front, back) pair and their folds, and the
// material sort of faces (and of the channel faces that follow them).
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "adjacency_test_util.h"
#include "kestovar/core/memory.h"
#include "kestovar/mesh/material_map.h"

namespace kestovar::test {
namespace {

constexpr unsigned U = MATERIAL_UNDEFINED;

std::map<unsigned, unsigned> ToMap(const CMaterialCountMap& map) {
    std::map<unsigned, unsigned> out;
    int pos = kHashStartPosition;
    unsigned key, value;
    while (map.GetNext(pos, key, value)) out[key] = value;
    return out;
}

std::map<std::pair<unsigned, unsigned>, unsigned> ToMap(const CFBMaterialHashMap& map) {
    std::map<std::pair<unsigned, unsigned>, unsigned> out;
    int pos = kHashStartPosition;
    FBMaterialID key;
    unsigned value;
    while (map.GetNext(pos, key, value)) out[{key.front, key.back}] = value;
    return out;
}

// `count` unconnected triangles with the given front materials and, when `back` is not empty,
// back materials (U leaves the chunk's new value, "same as the front").
struct MaterialMesh : TestMesh {
    MaterialMesh(const std::vector<unsigned>& front, const std::vector<unsigned>& back = {})
        : TestMesh(3, std::vector<Face>(front.size(), Face{0, 1, 2})) {
        for (size_t f = 0; f < front.size(); ++f) faces->SetFaceMaterial(unsigned(f), front[f]);
        for (size_t f = 0; f < back.size(); ++f)
            if (back[f] != U) faces->SetBackFaceMaterial(unsigned(f), back[f]);
        if (!back.empty() && !faces->HasBackFaceMaterials()) faces->SetBackFaceMaterial(0, U);
    }
};

// The permutation of C3DFaceList::Sort as a vector (and frees it).
std::vector<unsigned> SortOrder(const C3DFaceList& list, unsigned flags, bool& changed, unsigned& count) {
    unsigned* order = list.Sort(flags, count, changed);
    std::vector<unsigned> out;
    if (order) out.assign(order, order + count);
    xfree(order);
    return out;
}

std::vector<unsigned> Iota(unsigned n) {
    std::vector<unsigned> out(n);
    for (unsigned i = 0; i < n; ++i) out[i] = i;
    return out;
}

// ---- pair counts ----

TEST(MaterialCounts, PairsCountLiveFacesWithTheirBackMaterial) {
    // Face 5 is hidden; faces 0 and 4 show their front on both sides.
    MaterialMesh m({1, 1, 2, 2, 1, 3}, {U, 5, 5, U, U, 3});
    m.faces->SetFaceFlags(5, FACE_HIDDEN, true);
    EXPECT_EQ(m.faces->GetFBMaterialsHashMapIfBuilt(), nullptr);
    CFBMaterialHashMap* map = m.faces->GetFBMaterialsHashMap(m.geom);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(m.faces->GetFBMaterialsHashMap(m.geom), map) << "built once";
    std::map<std::pair<unsigned, unsigned>, unsigned> expected = {
        {{1, U}, 2}, {{1, 5}, 1}, {{2, 5}, 1}, {{2, U}, 1}};
    EXPECT_EQ(ToMap(*map), expected);

    // Create counts again into the same map.
    m.faces->SetFaceFlags(5, FACE_HIDDEN, false);
    EXPECT_EQ(m.faces->CreateFBMaterialsHashMap(m.geom), map);
    expected[{3, 3}] = 1;
    EXPECT_EQ(ToMap(*map), expected);
    m.faces->DeleteFBMaterialsHashMap();
    EXPECT_EQ(m.faces->GetFBMaterialsHashMapIfBuilt(), nullptr);
}

TEST(MaterialCounts, WithoutBackMaterialsEveryBackIsUndefined) {
    // Runs of equal materials (0, 0, 0), (7), (0, 0) are counted as runs.
    MaterialMesh m({0, 0, 0, 7, 0, 0});
    std::map<std::pair<unsigned, unsigned>, unsigned> expected = {{{0, U}, 5}, {{7, U}, 1}};
    EXPECT_EQ(ToMap(*m.faces->GetFBMaterialsHashMap(m.geom)), expected);
}

TEST(MaterialCounts, FoldsIntoPerMaterialCounts) {
    MaterialMesh m({1, 1, 2, 2, 1, U}, {U, 5, 5, U, U, 2});
    CFBMaterialHashMap* pairs = m.faces->GetFBMaterialsHashMap(m.geom);
    CMaterialCountMap map;
    EXPECT_EQ(pairs->GetFrontHash(map, true, false), 3);
    EXPECT_EQ(ToMap(map), (std::map<unsigned, unsigned>{{1, 3}, {2, 2}, {U, 1}}));
    EXPECT_EQ(pairs->GetFrontHash(map, true, true), 2);
    EXPECT_EQ(ToMap(map), (std::map<unsigned, unsigned>{{1, 3}, {2, 2}}));
    EXPECT_EQ(pairs->GetBackHash(map, true, false), 3);
    EXPECT_EQ(ToMap(map), (std::map<unsigned, unsigned>{{U, 3}, {5, 2}, {2, 1}}));
    // Front and back together: each face once per material it shows.
    EXPECT_EQ(pairs->GetFrontBackHash(map, true, true), 3);
    EXPECT_EQ(ToMap(map), (std::map<unsigned, unsigned>{{1, 3}, {2, 3}, {5, 2}}));
    // Without reset the counts add up.
    EXPECT_EQ(pairs->GetFrontHash(map, false, true), 3);
    EXPECT_EQ(ToMap(map), (std::map<unsigned, unsigned>{{1, 6}, {2, 5}, {5, 2}}));
}

TEST(MaterialCounts, RenamingMergesPairs) {
    CFBMaterialHashMap map;
    map.AddFaces({1, 5}, 2);
    map.AddFaces({2, 5}, 3);
    map.AddFaces({2, U}, 4);
    map.AddFaces({1, U}, 0);  // no faces: no entry
    EXPECT_EQ(map.GetCount(), 3);
    EXPECT_TRUE(map.ReplaceFrontMaterial(2, 1));
    EXPECT_EQ(ToMap(map), (std::map<std::pair<unsigned, unsigned>, unsigned>{{{1, 5}, 5}, {{1, U}, 4}}));
    EXPECT_FALSE(map.ReplaceFrontMaterial(9, 1));
    EXPECT_FALSE(map.ReplaceFrontMaterial(1, 1));
    EXPECT_TRUE(map.ReplaceBackMaterial(5, U));
    EXPECT_EQ(ToMap(map), (std::map<std::pair<unsigned, unsigned>, unsigned>{{{1, U}, 9}}));
}

TEST(MaterialCounts, MaterialsHashMapCountsAgainAfterAChange) {
    MaterialMesh m({1, 2, 2, U}, {4, U, 2, U});
    CMaterialCountMap map;
    EXPECT_EQ(m.faces->GetMaterialsHashMap(m.geom, map, false, true), 2);
    EXPECT_EQ(ToMap(map), (std::map<unsigned, unsigned>{{1, 1}, {2, 2}}));
    EXPECT_EQ(m.faces->GetMaterialsHashMap(m.geom, map, true, true), 3);
    EXPECT_EQ(ToMap(map), (std::map<unsigned, unsigned>{{1, 1}, {2, 2}, {4, 1}}));

    // Materials written face by face (the list is not marked changed): the counts follow.
    m.faces->SetFaceMaterial(0, 2);
    EXPECT_EQ(m.faces->GetMaterialsHashMap(m.geom, map, false, true), 1);
    EXPECT_EQ(ToMap(map), (std::map<unsigned, unsigned>{{2, 3}}));
}

// ---- sort ----

TEST(MaterialSort, ModeThreeAndAboveIsTheIdentity) {
    MaterialMesh m({3, 1, 2});
    bool changed = true;
    unsigned count = 0;
    EXPECT_EQ(SortOrder(*m.faces, 3, changed, count), Iota(3));
    EXPECT_FALSE(changed);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(SortOrder(*m.faces, 0x7F, changed, count), Iota(3));
    EXPECT_FALSE(changed);
}

TEST(MaterialSort, ByMaterialWithFacesThatAreNotLiveLast) {
    // Face 4 is hidden (its stored material 0 does not count); ties keep index order.
    MaterialMesh m({3, 1, 2, 1, 0, 2});
    m.faces->SetFaceFlags(4, FACE_HIDDEN, true);
    bool changed;
    unsigned count;
    const std::vector<unsigned> expected = {1, 3, 2, 5, 0, 4};
    EXPECT_EQ(SortOrder(*m.faces, 0, changed, count), expected);
    EXPECT_TRUE(changed);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(SortOrder(*m.faces, 1, changed, count), expected);
    // Materials compare unsigned: 0x80000000 sorts after 1.
    MaterialMesh big({0x80000000u, 1});
    EXPECT_EQ(SortOrder(*big.faces, 0, changed, count), (std::vector<unsigned>{1, 0}));
    // A sorted list is left as it is.
    MaterialMesh sorted({1, 1, 2, 5});
    EXPECT_EQ(SortOrder(*sorted.faces, 0, changed, count), Iota(4));
    EXPECT_FALSE(changed);
}

TEST(MaterialSort, ModeTwoPutsTheLargerTieBitsFirst) {
    MaterialMesh m({1, 1, 1, 1, 1, 0});
    const unsigned flags[] = {FACE_FROZEN, FACE_SORT_HIGH, FACE_SORT_LOW | FACE_SORT_MEDIUM, FACE_SELECTED,
                              FACE_SORT_HIGH, FACE_SORT_HIGH};
    for (unsigned f = 0; f < 6; ++f) m.faces->SetFaceFlags(f, flags[f], true);
    bool changed;
    unsigned count;
    // Material 0 first; then among material 1: 0x40 (faces 1, 4), 0x30, 0x04, and 0 (the
    // selection bit lies outside the tie mask).
    EXPECT_EQ(SortOrder(*m.faces, 2, changed, count), (std::vector<unsigned>{5, 1, 4, 2, 0, 3}));
    EXPECT_TRUE(changed);
    // Material only: the tie bits do not matter.
    EXPECT_EQ(SortOrder(*m.faces, 0, changed, count), (std::vector<unsigned>{5, 0, 1, 2, 3, 4}));
}

TEST(MaterialSort, BackSides) {
    // Fronts 2, 3, 1; backs "same", 1, "same".
    MaterialMesh m({2, 3, 1}, {U, 1, U});
    MaterialMesh noBack({2, 3, 1});
    bool changed = true;
    unsigned count = 9;
    EXPECT_TRUE(SortOrder(*noBack.faces, 0x100, changed, count).empty());
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(changed);

    // 0x100: each entry is a back side; faces 0 and 2 show their front there.
    EXPECT_EQ(SortOrder(*m.faces, 0x100, changed, count), (std::vector<unsigned>{1, 2, 0}));
    EXPECT_TRUE(changed);

    // 0x200: fronts 2, 3, 1 as entries 0..2, backs 2, 1, 1 as entries 3..5.
    EXPECT_EQ(SortOrder(*m.faces, 0x200, changed, count), (std::vector<unsigned>{2, 4, 5, 0, 3, 1}));
    EXPECT_EQ(count, 6u);
    EXPECT_TRUE(changed);
    EXPECT_EQ(SortOrder(*m.faces, 0x203, changed, count), Iota(6));
    EXPECT_TRUE(changed) << "two sides per face always count as a change";
    // Without back materials 0x200 is ignored.
    EXPECT_EQ(SortOrder(*noBack.faces, 0x200, changed, count), (std::vector<unsigned>{2, 0, 1}));
    EXPECT_EQ(count, 3u);
}

TEST(MaterialSort, EmptyListGivesNothing) {
    MaterialMesh m({});
    bool changed = true;
    unsigned count = 5;
    EXPECT_TRUE(SortOrder(*m.faces, 0, changed, count).empty());
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(changed);
}

TEST(MaterialSort, ReorderingMovesFacesChunksAndFollowingChannelFaces) {
    //  faces (0, 1, 2) material 2, (1, 2, 3) material 1, (2, 3, 0) material 1
    TestMesh m(4, {{0, 1, 2}, {1, 2, 3}, {2, 3, 0}});
    const unsigned materials[] = {2, 1, 1};
    for (unsigned f = 0; f < 3; ++f) m.faces->SetFaceMaterial(f, materials[f]);
    m.faces->SaveFacesIndex();
    auto* follows = new RecordingChannel();
    auto* invalid = new RecordingChannel(CHANNEL_INVALID);
    FillFaces(*follows->GetFaceList(), {{10, 11, 12}, {20, 21, 22}, {30, 31, 32}});
    FillFaces(*invalid->GetFaceList(), {{10, 11, 12}, {20, 21, 22}, {30, 31, 32}});
    Owned<CDependentChannels> set = CDependentChannels::Create();
    set->AddChannel(follows);
    set->AddChannel(invalid);
    m.geom->SetChannels(set, set, 0);
    ASSERT_TRUE(m.faces->InitPointToFaceGraph(m.geom));

    EXPECT_FALSE(m.faces->Sort(m.geom, 0x200)) << "two entries per face cannot reorder faces";
    EXPECT_EQ(FaceAt(*m.faces, 0), (Face{0, 1, 2}));

    EXPECT_TRUE(m.faces->Sort(m.geom, 0));
    EXPECT_EQ(AllFaces(*m.faces), (std::vector<Face>{{1, 2, 3}, {2, 3, 0}, {0, 1, 2}}));
    EXPECT_EQ(m.faces->GetFaceMaterial(0), 1u);
    EXPECT_EQ(m.faces->GetFaceMaterial(2), 2u);
    EXPECT_EQ(m.faces->GetOriginalIndex(0), 1u);
    EXPECT_EQ(m.faces->GetOriginalIndex(2), 0u);
    EXPECT_EQ(AllFaces(*follows->GetFaceList()), (std::vector<Face>{{20, 21, 22}, {30, 31, 32}, {10, 11, 12}}));
    EXPECT_EQ(FaceAt(*invalid->GetFaceList(), 0), (Face{10, 11, 12})) << "invalid channels stay";
    EXPECT_FALSE(m.faces->HasPointToFaceGraph()) << "the graph named the old face order";
    EXPECT_FALSE(m.faces->Sort(m.geom, 0)) << "already sorted";
}

}  // namespace
}  // namespace kestovar::test
