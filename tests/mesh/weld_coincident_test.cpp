// Welding at tolerance 0 must give exactly what the grid weld gives (every point of the 27 cells
// around a representative, a point moving to a nearer later representative), whatever shortcut
// the weld takes: positions far from zero, positions near zero where neighbouring cells can both
// be occupied, chains of touching cells, signed zeros, subnormals and non-finite coordinates.
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

// The tolerance-0 cell size of ExpectGridWeld's objects whose points all lie within the anchors'
// box [-1000, 1000]^3: its diagonal over 2^31, times 1.5.
double CellSize() { return 2000.0 * std::sqrt(3.0) * 1.5 / 2147483647.0; }

TEST(WeldCoincident, NeighbouringCellsNearZeroMergeLikeTheGrid) {
    // Coordinates within a few cells of zero: the grid merges distinct positions whose cells touch,
    // and a chain of touching cells hands the middle point to the later, nearer representative.
    const double d = CellSize();
    auto at = [d](double cells) { return float(cells * d); };
    std::vector<P3> points = {
        {at(100), 500, 500}, {at(100.7), 500, 500}, {at(101.4), 500, 500}, {at(102.1), 500, 500},  // a chain along x
        {at(110), 500, 500},                                     // near zero but cells away
        {at(100), 500, 500},                                     // a copy of the first
        {0.0f, 0.0f, 0.0f}, {-0.0f, 0.0f, -0.0f},                // signed zeros share a cell
        {1e-40f, 0.0f, 0.0f},                                    // a subnormal next to zero
        {700, at(50), at(50.7)}, {700, at(50.7), at(51.4)}, {700, at(51.4), at(50)},  // diagonal in y and z
    };
    EXPECT_GT(ExpectGridWeld(points).distinctMerges, 0) << "some cells must touch for this test to mean anything";

    // Neighbouring cells along x whose points lie far apart along y: nothing merges.
    const WeldOutcome apart =
        ExpectGridWeld({{at(100), 500, 500}, {at(100.7), 600, 500}, {at(101.4), 700, 500}, {at(100), 500, 500}});
    EXPECT_EQ(apart.distinctMerges, 0);
    EXPECT_EQ(apart.left, 5);
}

TEST(WeldCoincident, FineCoordinatesWithoutTouchingCellsAndMixedMeshes) {
    std::mt19937 rng(11);
    // A flat sheet whose heights are all near zero but many cells apart, with duplicates.
    std::vector<P3> sheet;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            const P3 p = {float(x) * 0.5f, float(y) * 0.5f, float((x * y) % 5) * 1e-4f};
            sheet.push_back(p);
            if ((x + y) % 3 == 0) sheet.push_back(p);
        }
    std::shuffle(sheet.begin(), sheet.end(), rng);
    EXPECT_EQ(ExpectGridWeld(sheet).distinctMerges, 0);

    // Random clusters around zero at the scale of a few cells: touching and separate cells mixed.
    const double d = CellSize();
    std::uniform_int_distribution<int> cell(-6, 6);
    for (int round = 0; round < 5; ++round) {
        std::vector<P3> points;
        for (int i = 0; i < 200; ++i) {
            P3 p = {float(cell(rng) * 0.9 * d), float(cell(rng) * 0.9 * d), 300.0f};
            if (i % 4 == 0) p[2] = float(cell(rng) * 1.1 * d);
            points.push_back(p);
        }
        ExpectGridWeld(points);
    }
}

// The tolerance-0 weld groups points by the bits of their coordinates first and looks at cells
// only for the first point of each position. These tests mix, in scrambled order and in numbers
// that make the position table grow several times: exact copies far from zero, distinct
// positions near zero that share a cell (which must merge into the first point of the cell,
// whichever of its positions comes back later), NaN copies (never merged, however often they
// repeat) and signed zeros; and frames without a usable cell size. The result must be the grid
// weld's.
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

TEST(WeldPositions, NonFinitePointsLeaveTheFrameToTheOthers) {
    // A NaN or infinite point, first or anywhere, neither belongs to a cell nor widens the box the
    // cell size comes from, so the finite points weld as they would without it: a split mesh gets
    // back its shared points, and no two distinct positions merge.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    std::vector<P3> distinct;
    for (int i = 0; i < 100; ++i) distinct.push_back({u(rng), u(rng), u(rng)});
    for (const P3& odd : {P3{nan, 1.0f, 1.0f}, P3{-inf, 0.0f, 0.0f}, P3{0.0f, 0.0f, inf}}) {
        std::vector<P3> points = {odd};
        for (int i = 0; i < 300; ++i)
            points.push_back(i % 7 == 0 ? P3{u(rng), 1.0f, 1.0f} : distinct[size_t(i) % distinct.size()]);
        points.push_back(odd);
        const std::vector<unsigned> rep = GridWeld(points);
        int finiteSurvivors = 0;
        for (int i = 0; i < int(points.size()); ++i) {
            const bool finite =
                std::isfinite(points[i][0]) && std::isfinite(points[i][1]) && std::isfinite(points[i][2]);
            if (!finite) {
                EXPECT_EQ(rep[i], unsigned(i)) << "a non-finite point stays alone";
                continue;
            }
            const P3& to = points[rep[i]];
            EXPECT_EQ(std::memcmp(to.data(), points[i].data(), sizeof(P3)), 0)
                << i << " merged into a distinct position";
            finiteSurvivors += rep[i] == unsigned(i);
        }
        EXPECT_EQ(finiteSurvivors, 100 + 300 / 7 + 1) << "the distinct positions and the loose points";
        C3DPointList* pl = C3DPointList::Create();
        for (const P3& p : points) pl->Add(p[0], p[1], p[2]);
        Owned loose = new C3DObject(pl, nullptr, nullptr);
        EXPECT_TRUE(loose->Weld3DPoints(0.0, false, 0, 0));
        EXPECT_EQ(loose->GetPointNbr(), finiteSurvivors + 2);
    }

    // A single repeated position gives a box of size 0: one cell holds every point.
    Owned one = MakeObject(std::vector<P3>(12, P3{3.0f, -2.0f, 0.5f}), {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}, {9, 10, 11}});
    EXPECT_TRUE(one->Weld3DPoints(0.0, false, 0, 0));
    EXPECT_EQ(one->GetPointNbr(), 0) << "every face collapses, and with them every point";
}

}  // namespace
}  // namespace kestovar::test
