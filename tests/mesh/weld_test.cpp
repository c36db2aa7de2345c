// Welding: the grid for a tolerance, proximity queries, Weld3DPoints with its filters and channels.
#include "kestovar/mesh/weld.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "cleanup_test_util.h"
#include "kestovar/mesh/point_grid.h"

namespace kestovar::test {
namespace {

C3DTBBox<float> Box(float x0, float y0, float z0, float x1, float y1, float z1) {
    C3DTBBox<float> b;
    b.Add(x0, y0, z0);
    b.Add(x1, y1, z1);
    return b;
}

TEST(PointGridMap, AbsoluteDistanceIgnoresFlatExtentsAndHasAFloor) {
    EXPECT_DOUBLE_EQ(C3DPointGridMap::GetAbsoluteDistance(0.01, Box(0, 0, 0, 10, 0, 5)), 0.05);
    EXPECT_DOUBLE_EQ(C3DPointGridMap::GetAbsoluteDistance(0.5, Box(0, 0, 0, 4, 2, 3)), 1.0);
    // A flat x extent is not skipped: only y and z are measured conditionally.
    EXPECT_DOUBLE_EQ(C3DPointGridMap::GetAbsoluteDistance(0.5, Box(0, 0, 0, 0, 2, 3)), 1e-6);
    EXPECT_DOUBLE_EQ(C3DPointGridMap::GetAbsoluteDistance(1e-12, Box(0, 0, 0, 1, 1, 1)), 1e-6);
    C3DTBBox<float> inverted;
    inverted.Set(C3DTPoint<float>(1, 1, 1), C3DTPoint<float>(0, 0, 0));
    EXPECT_DOUBLE_EQ(C3DPointGridMap::GetAbsoluteDistance(0.3, inverted), 1e-6);
    EXPECT_DOUBLE_EQ(C3DPointGridMap::GetMaxDistance(0.01, Box(0, 0, 0, 10, 0, 5)), 2.0 * std::sqrt(3.0) * 0.05);
}

TEST(PointGridMap, CellsTruncateTowardZeroAndListPointsInIndexOrder) {
    // With d = 1, 1 and 3 share the cell of 0, 2 is in the next cell along x, 4 is far.
    C3DPointList pts;
    AddPoints(pts, {{0, 0, 0}, {0.99f, 0.5f, 0}, {1, 0, 0}, {0.5f, 0.5f, 0.5f}, {3, 3, 3}});
    Owned<C3DPointGridMap> grid = pts.GetGridCoordMap(1.0, true, false);
    ASSERT_NE(grid, nullptr);
    int c[3];
    ASSERT_TRUE(grid->GetPointCell(1, c));
    EXPECT_EQ(c[0], 0);
    ASSERT_TRUE(grid->GetPointCell(2, c));
    EXPECT_EQ(c[0], 1);
    std::vector<int> cell0;
    for (int q = grid->GetFirstPoint(0, 0, 0); q >= 0; q = grid->GetNext(q)) cell0.push_back(q);
    EXPECT_EQ(cell0, (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(grid->GetCellCount(), 3);

    WeldProximityMap* map = pts.InitWeldMap(1.0, true);
    ASSERT_NE(map, nullptr);
    int count = 0;
    const int* near = pts.Get3DProximityPoints(0, map, count);
    std::vector<int> got(near, near + count);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3}));  // not itself, not the far point
    EXPECT_EQ(pts.Get3DProximityPoints(99, map, count), nullptr);
    EXPECT_EQ(count, 0);
    C3DPointList::DeleteWeldMap(map);
}

TEST(PointGridMap, ProximityBufferGrowsPastItsInitialCapacity) {
    C3DPointList pts;
    for (int i = 0; i < 1500; ++i) pts.Add(0.0f, 0.0f, 0.0f);
    pts.Add(1.0f, 1.0f, 1.0f);
    WeldProximityMap* map = pts.InitWeldMap(0.0, false);
    int count = 0;
    const int* near = pts.Get3DProximityPoints(7, map, count);
    EXPECT_EQ(count, 1499);
    EXPECT_GE(map->GetCapacity(), 1499);
    EXPECT_EQ(near[0], 0);
    C3DPointList::DeleteWeldMap(map);
}

TEST(PointGridMap, NonFinitePointsHaveNoCell) {
    C3DPointList pts;
    float nan = std::numeric_limits<float>::quiet_NaN();
    AddPoints(pts, {{0, 0, 0}, {nan, 0, 0}, {std::numeric_limits<float>::infinity(), 1, 0}, {0, 0, 0}});
    Owned<C3DPointGridMap> grid = pts.GetGridCoordMap(0.0, false, true);
    int c[3];
    EXPECT_FALSE(grid->GetPointCell(1, c));
    EXPECT_FALSE(grid->GetPointCell(2, c));
    EXPECT_TRUE(grid->GetPointCell(3, c));
}

// Two triangles split per face:
//
//   2/3 ---- 5          points 2 and 3 coincide, 1 and 4 coincide
//    |  \    |
//    |   \   |
//    0 --- 1/4
std::vector<P3> SplitQuadPoints() {
    return {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0}};
}

TEST(Weld3DPoints, RelativeToleranceMergesNearPointsIntoTheFirst) {
    // Points 0 and 3 are 0.001 apart in an object whose smallest extent is 1.
    Owned obj = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 1}, {0.001f, 0, 0}}, {{0, 1, 2}, {3, 2, 1}});
    ASSERT_TRUE(obj->Weld3DPoints(0.01, false, 0, 0));
    EXPECT_EQ(obj->GetPointNbr(), 3);
    EXPECT_EQ(ReadFaces(*obj->GetFaceList())[1], (Poly{0, 2, 1}));
}

TEST(Weld3DPoints, AnyBitNeighbourFilterKeepsFlaggedPoints) {
    Owned obj = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 1}, {0.001f, 0, 0}}, {{0, 1, 2}, {3, 2, 1}});
    obj->GetPointList()->GetPt(3)->SetFlags(0x100, true);
    EXPECT_FALSE(obj->Weld3DPoints(0.01, false, 0, 1, 0x100u, unsigned(WELD_FILTER_NEIGHBOUR_IF_ANY)));
    EXPECT_EQ(obj->GetPointNbr(), 4);
    // The flag on the representative side does not protect the neighbour.
    obj->GetPointList()->GetPt(3)->SetFlags(0x100, false);
    obj->GetPointList()->GetPt(0)->SetFlags(0x100, true);
    EXPECT_TRUE(obj->Weld3DPoints(0.01, false, 0, 1, 0x100u, unsigned(WELD_FILTER_NEIGHBOUR_IF_ANY)));
    EXPECT_EQ(obj->GetPointNbr(), 3);
}

TEST(Weld3DPoints, SeedFilterStopsGatheringAndFiltersAreIgnoredAtToleranceZero) {
    C3DObject* obj = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 1}, {0.001f, 0, 0}}, {{0, 1, 2}, {3, 2, 1}});
    obj->GetPointList()->GetPt(0)->SetFlags(0x100, true);
    obj->GetPointList()->GetPt(3)->SetFlags(0x100, true);
    // Neither flagged point may gather: 3 is not merged into 0, nor 0 into 3.
    EXPECT_FALSE(obj->Weld3DPoints(0.01, false, 0, 1, 0x100u, unsigned(WELD_FILTER_SEED_IF_ANY)));
    EXPECT_EQ(obj->GetPointNbr(), 4);
    obj->Delete();

    std::vector<P3> pts = SplitQuadPoints();
    obj = MakeObject(pts, {{0, 1, 2}, {3, 4, 5}});
    for (int i = 0; i < 6; ++i) obj->GetPointList()->GetPt(i)->SetFlags(0x100, true);
    EXPECT_TRUE(obj->Weld3DPoints(0.0, false, 0, 1, 0x100u, unsigned(WELD_FILTER_NEIGHBOUR_IF_ANY)));
    EXPECT_EQ(obj->GetPointNbr(), 4);
    obj->Delete();
}

TEST(Weld3DPoints, PointsWithoutFacesAreMarkedAndRemoved) {
    C3DPointList* pl = C3DPointList::Create();
    AddPoints(*pl, {{0, 0, 0}, {5, 5, 5}, {0, 0, 0}});
    Owned obj = new C3DObject(pl, nullptr, nullptr);
    EXPECT_TRUE(obj->Weld3DPoints(0.0, false, 0, 0));
    EXPECT_EQ(obj->GetPointNbr(), 2);
}

TEST(Weld3DPoints, NanCoordinatesAreNeverMerged) {
    float nan = std::numeric_limits<float>::quiet_NaN();
    Owned obj = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {nan, nan, nan}, {nan, nan, nan}, {0, 0, 0}},
                                {{0, 1, 2}, {5, 3, 4}});
    obj->Weld3DPoints(0.01, false, 0, 0);
    EXPECT_EQ(obj->GetPointNbr(), 5);  // only 5 joins 0
}

TEST(Weld3DPoints, ChannelFacesStayParallel) {
    std::vector<P3> pts = SplitQuadPoints();
    Owned obj = MakeObject(pts, {{0, 1, 2}, {3, 4, 5}});
    AddOffsetChannel(*obj, 2);
    ASSERT_TRUE(obj->Weld3DPoints(0.0, false, CHANNEL_ALL, 0));
    ASSERT_EQ(obj->GetChannels()->GetSize(), 1);
    CChannel* c = obj->GetChannels()->GetChannel(0);
    ASSERT_EQ(c->GetFaceList()->GetSize(), obj->GetFaceNbr());
    // Channel corners keep their values: corner j of face 1 still holds original point 3 + j.
    const C2DPointList* values = static_cast<const C2DPointList*>(c->GetPointList());
    Poly f1 = ReadFaces(*c->GetFaceList())[1];
    ASSERT_EQ(f1.size(), 3u);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(values->GetAt(f1[j]).u, float(3 + j));
}

}  // namespace
}  // namespace kestovar::test
