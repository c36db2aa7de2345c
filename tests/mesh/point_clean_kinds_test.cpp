// CPointList::Clean on every kind of point list: the library's 3D point, 3D vector and 2D point
// lists (whose records move by their own assignment) and a channel list whose records go through
// its element table. Each keeps exactly its unmarked records in order with their flags, values
// and chunk data, gives the remap, and counts the same changes (the stamp a cache keys on).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "kestovar/core/point.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar::test {
namespace {

struct Record {
    unsigned flags;
    float x, y, z, w;
    bool operator==(const Record& o) const { return flags == o.flags && x == o.x && y == o.y && z == o.z && w == o.w; }
};

Record Read(const CPointList& list, int i) {
    C4DPoint h;
    list.GetPt(i)->To4DPoint(h);
    return {h.GetFlags(), h.x, h.y, h.z, h.w};
}

using Factory = std::function<CPointList*(int n)>;

// Lists of n records with distinct values and assorted flag bits.
const std::vector<std::pair<const char*, Factory>>& Kinds() {
    static const std::vector<std::pair<const char*, Factory>> kinds = {
        {"3D points", [](int n) {
             auto* l = new C3DPointList;
             for (int i = 0; i < n; ++i) l->Add(float(i), float(-i), float(2 * i));
             return static_cast<CPointList*>(l);
         }},
        {"3D vectors", [](int n) {
             auto* l = new C3DVectorList;
             for (int i = 0; i < n; ++i) l->Add(float(i), 0.5f * float(i), float(3 * i));
             return static_cast<CPointList*>(l);
         }},
        {"2D points", [](int n) {
             auto* l = new C2DPointList;
             for (int i = 0; i < n; ++i) l->Add(float(i), float(7 - i));
             return static_cast<CPointList*>(l);
         }},
        {"weights", [](int n) {
             auto* l = new CWeightPointList;
             for (int i = 0; i < n; ++i) l->Add(float(i) * 0.25f);
             return static_cast<CPointList*>(l);
         }},
    };
    return kinds;
}

TEST(PointCleanKinds, KeptRecordsChunksRemapAndChangeCountOnEveryListKind) {
    const int n = 40;
    const std::vector<std::pair<const char*, std::function<bool(int)>>> patterns = {
        {"trailing", [](int i) { return i >= 30; }},
        {"leading", [](int i) { return i < 3; }},
        {"scattered", [](int i) { return i % 3 == 1 || i == 39; }},
        {"all but one", [](int i) { return i != 17; }},
        {"all", [](int) { return true; }},
    };
    for (const auto& [kindName, make] : Kinds())
        for (const auto& [patternName, removed] : patterns) {
            std::unique_ptr<CPointList> list(make(n));
            list->SavePointsIndex();
            std::vector<Record> before;
            for (int i = 0; i < n; ++i) {
                list->GetPt(i)->SetFlags(POINT_BORDER * unsigned(i % 2) | POINT_SELECTED * unsigned(i % 5 == 0) |
                                         (removed(i) ? unsigned(POINT_REMOVED) : 0u));
                before.push_back(Read(*list, i));
            }
            const unsigned stamp = list->GetChangedStamp();
            CXArray<unsigned> remap;
            ASSERT_TRUE(list->Clean(nullptr, &remap)) << kindName << ", " << patternName;

            std::vector<int> keptFrom;
            bool moves = false;
            for (int i = 0; i < n; ++i)
                if (!removed(i)) {
                    moves |= int(keptFrom.size()) != i;
                    keptFrom.push_back(i);
                }
            const int kept = int(keptFrom.size());
            ASSERT_EQ(list->GetSize(), kept) << kindName << ", " << patternName;
            ASSERT_EQ(remap.GetSize(), n);
            for (int i = 0, next = 0; i < n; ++i)
                EXPECT_EQ(remap[i], removed(i) ? REMAP_REMOVED : unsigned(next++)) << kindName << ", " << patternName;
            for (int j = 0; j < kept; ++j) {
                EXPECT_EQ(Read(*list, j), before[keptFrom[j]]) << kindName << ", " << patternName << ", record " << j;
                EXPECT_EQ(list->GetOriginalIndex(j), unsigned(keptFrom[j])) << kindName << ", " << patternName;
            }
            // Changes counted: the moves, the new size, the flag; emptying counts the release too.
            EXPECT_EQ(list->GetChangedStamp() - stamp, kept == 0 ? 3u : moves ? 3u : 2u) << kindName << ", " << patternName;
            EXPECT_TRUE(list->IsFlagSet(POINTLIST_CHANGED));
            EXPECT_EQ(list->GetDataChunks().GetDataSize(), kept);
            EXPECT_EQ(list->GetDataChunks().GetData(POINT_CHUNK_ORIGINAL_INDEX)->GetAllocatedSize(), kept);

            // Nothing marked: nothing changes.
            const unsigned after = list->GetChangedStamp();
            EXPECT_FALSE(list->Clean(nullptr, &remap));
            EXPECT_EQ(remap.GetSize(), 0);
            EXPECT_EQ(list->GetChangedStamp(), after);
        }
}

}  // namespace
}  // namespace kestovar::test
