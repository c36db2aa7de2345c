// The tolerance-0 weld groups points by the bits of their coordinates first and looks at cells
// only for the first point of each position. These tests mix, in scrambled order and in numbers
// that make the position table grow several times: exact copies far from zero, distinct
// positions near zero that share a cell (which must merge into the first point of the cell,
// whichever of its positions comes back later), NaN copies (never merged, however often they
// repeat) and signed zeros; and frames without a usable cell size. The result must be the grid
// weld's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/point_grid.h"
#include "kestovar/mesh/weld.h"

namespace kestovar::test {
namespace {

// Welds `points` (point i the first corner of face i, the other two corners anchors at +-1000)
// and checks every face's first corner against the grid weld: same coordinate bits as the
// representative, and shared exactly between points of one representative.
void ExpectGridWeld(const std::vector<P3>& points) {
    const AnchoredWeldCase weld(points);
    const std::vector<P3>& all = weld.all;
    const std::vector<unsigned>& rep = weld.rep;
    C3DObject* obj = weld.object;
    const int a = int(points.size());
    obj->Weld3DPoints(0.0, false, 0, 0);
    const std::vector<Poly> welded = ReadFaces(*obj->GetFaceList());
    ASSERT_EQ(welded.size(), size_t(a));
    std::vector<int> cornerOfRep(size_t(a), -1);
    int representatives = 0;
    for (int i = 0; i < a; ++i) {
        const int corner = welded[i][0];
        const float* got = obj->GetPointList()->GetAt(corner).ValPtr();
        ASSERT_EQ(std::memcmp(got, all[rep[i]].data(), sizeof(P3)), 0) << "point " << i;
        if (cornerOfRep[rep[i]] < 0) {
            cornerOfRep[rep[i]] = corner;
            ++representatives;
        }
        ASSERT_EQ(corner, cornerOfRep[rep[i]]) << "point " << i;
    }
    EXPECT_EQ(obj->GetPointNbr(), representatives + 2);
}

TEST(WeldPositions, CopiesCellSharersNanAndSignedZerosInScrambledOrder) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // The frame of the weld's cells: that of the anchors' box, which holds every point.
    C3DPointList anchors;
    anchors.Add(1000.0f, 1000.0f, 1000.0f);
    anchors.Add(-1000.0f, -1000.0f, -1000.0f);
    C3DPointGridMap* grid = anchors.GetGridCoordMap(0.0, false, false);
    ASSERT_NE(grid, nullptr);
    const double d = grid->GetCellSize(), origin = grid->GetOrigin()[0];
    XRelease(grid);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> coarse(1.0f, 900.0f);
    std::uniform_real_distribution<double> within(0.05, 0.95);
    std::vector<P3> pool;
    for (int i = 0; i < 400; ++i) pool.push_back({coarse(rng), -coarse(rng), coarse(rng)});
    // Near zero along x: three distinct positions in each of 150 cells, cells 7 apart.
    std::vector<std::vector<P3>> sharers;
    const double zeroCell = std::floor(-origin / d);
    for (int c = 0; c < 150; ++c) {
        const double cell = zeroCell + 7.0 * c - 500.0;
        std::vector<P3> inCell;
        while (inCell.size() < 3) {
            const P3 p = {float(origin + (cell + within(rng)) * d), 400.0f + float(c), 250.0f};
            if (double(int((double(p[0]) - origin) / d)) != cell) continue;  // rounded out of the cell
            if (std::find(inCell.begin(), inCell.end(), p) == inCell.end()) inCell.push_back(p);
        }
        sharers.push_back(inCell);
    }
    // Rounds 0-2 mix everything; rounds 3-4 have one position per cell near zero and no signed
    // zero pair, so that no two distinct coordinates share or neighbour a cell on any axis.
    for (int round = 0; round < 5; ++round) {
        const bool separate = round >= 3;
        std::vector<P3> points;
        for (int i = 0; i < 6000; ++i) {
            const unsigned kind = rng() % 10;
            if (kind < 5) {
                points.push_back(pool[rng() % pool.size()]);
            } else if (kind < 9) {
                const std::vector<P3>& cell = sharers[rng() % sharers.size()];
                points.push_back(cell[separate ? 0 : rng() % 3]);
            } else {
                const P3 odd[] = {{nan, 5.0f, 5.0f}, {7.0f, 7.0f, nan}, {0.0f, 600.0f, -0.0f}, {-0.0f, 600.0f, 0.0f}};
                points.push_back(odd[rng() % (separate ? 3 : 4)]);
            }
        }
        ExpectGridWeld(points);
    }
}

TEST(WeldPositions, WithoutAUsableCellSizeEveryFinitePointGoesToTheFirst) {
    // A NaN first point leaves the box without extent (every comparison with NaN fails), a single
    // repeated position gives a box of size 0: the grid then has one cell for all finite points.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    std::vector<P3> points = {{nan, 1.0f, 1.0f}};
    for (int i = 0; i < 300; ++i) points.push_back({u(rng), u(rng), i % 7 == 0 ? nan : u(rng)});
    // Without faces the weld keeps exactly the representatives, in order.
    const std::vector<unsigned> rep = GridWeld(points);
    C3DPointList* pl = C3DPointList::Create();
    for (const P3& p : points) pl->Add(p[0], p[1], p[2]);
    C3DObject* loose = new C3DObject(pl, nullptr, nullptr);
    EXPECT_TRUE(loose->Weld3DPoints(0.0, false, 0, 0));
    std::vector<int> survivors;
    for (int i = 0; i < int(points.size()); ++i)
        if (rep[i] == unsigned(i)) survivors.push_back(i);
    EXPECT_EQ(survivors.size(), 1u + 1u + 300u / 7u + 1u) << "the NaN points and the first finite one";
    ASSERT_EQ(loose->GetPointNbr(), int(survivors.size()));
    for (int j = 0; j < int(survivors.size()); ++j)
        EXPECT_EQ(std::memcmp(loose->GetPointList()->GetAt(j).ValPtr(), points[survivors[j]].data(), sizeof(P3)), 0) << j;
    loose->Delete();

    C3DObject* one = MakeObject(std::vector<P3>(12, P3{3.0f, -2.0f, 0.5f}), {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}, {9, 10, 11}});
    EXPECT_TRUE(one->Weld3DPoints(0.0, false, 0, 0));
    EXPECT_EQ(one->GetPointNbr(), 0) << "every face collapses, and with them every point";
    one->Delete();
}

}  // namespace
}  // namespace kestovar::test
