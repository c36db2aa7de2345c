// Welding at tolerance 0 must give exactly what the grid weld gives (every point of the 27 cells
// around a representative, a point moving to a nearer later representative), whatever shortcut
// the weld takes: positions far from zero, positions near zero where neighbouring cells can both
// be occupied, chains of touching cells, signed zeros, subnormals and non-finite coordinates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/weld.h"

namespace kestovar::test {
namespace {

bool SameBits(const float* a, const float* b) { return std::memcmp(a, b, 3 * sizeof(float)) == 0; }

// Welds `points` as an object in which point i is the first corner of face i, whose two other
// corners are anchors far from every point, and checks the result against GridWeld: two faces
// share their first corner exactly when their points share a representative, and that corner
// holds the representative's coordinates.
struct WeldOutcome {
    int left;             // points left, anchors included
    int distinctMerges;   // points merged into a representative at other coordinates
};

WeldOutcome WeldAndCompare(const std::vector<P3>& points) {
    const AnchoredWeldCase weld(points);
    const std::vector<unsigned>& rep = weld.rep;
    C3DObject* obj = weld.object;
    const int a = int(points.size());
    const bool anyMerge = [&] {
        for (int i = 0; i < a; ++i)
            if (rep[i] != unsigned(i)) return true;
        return false;
    }();
    EXPECT_EQ(obj->Weld3DPoints(0.0, false, 0, 0), anyMerge);
    const std::vector<Poly> welded = ReadFaces(*obj->GetFaceList());
    const C3DPointList& pl = *obj->GetPointList();
    EXPECT_EQ(welded.size(), size_t(a));
    for (int i = 0; i < a && i < int(welded.size()); ++i) {
        const float* got = pl.GetAt(welded[i][0]).ValPtr();
        EXPECT_TRUE(SameBits(got, points[rep[i]].data())) << "point " << i << " took the wrong representative";
        for (int j = 0; j < i; ++j)
            if ((welded[i][0] == welded[j][0]) != (rep[i] == rep[j]))
                ADD_FAILURE() << "points " << j << " and " << i << (rep[i] == rep[j] ? " not merged" : " merged");
    }
    WeldOutcome out{obj->GetPointNbr(), 0};
    for (int i = 0; i < a; ++i)
        if (!SameBits(points[i].data(), points[rep[i]].data())) ++out.distinctMerges;
    return out;
}

// The tolerance-0 cell size of WeldAndCompare's objects whose points all lie within the anchors'
// box [-1000, 1000]^3: its diagonal over 2^31, times 1.5.
double CellSize() { return 2000.0 * std::sqrt(3.0) * 1.5 / 2147483647.0; }

TEST(WeldCoincident, DuplicatedPositionsAwayFromZeroGoToTheirFirstCopy) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(1.0f, 2.0f);
    std::vector<P3> distinct(300);
    for (P3& p : distinct) p = {u(rng), -u(rng), u(rng)};
    std::vector<P3> points;
    for (int i = 0; i < 1500; ++i) points.push_back(distinct[rng() % distinct.size()]);
    EXPECT_EQ(WeldAndCompare(points).left, int([&] {
                  std::vector<P3> seen;
                  for (const P3& p : points)
                      if (std::find(seen.begin(), seen.end(), p) == seen.end()) seen.push_back(p);
                  return seen.size();
              }()) + 2);
}

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
    EXPECT_GT(WeldAndCompare(points).distinctMerges, 0) << "some cells must touch for this test to mean anything";

    // Neighbouring cells along x whose points lie far apart along y: nothing merges.
    const WeldOutcome apart =
        WeldAndCompare({{at(100), 500, 500}, {at(100.7), 600, 500}, {at(101.4), 700, 500}, {at(100), 500, 500}});
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
    EXPECT_EQ(WeldAndCompare(sheet).distinctMerges, 0);

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
        WeldAndCompare(points);
    }
}

TEST(WeldCoincident, NonFiniteCoordinatesStayAlone) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    // NaN points belong to no cell.
    EXPECT_EQ(WeldAndCompare({{1, 2, 3}, {nan, 2, 3}, {nan, 2, 3}, {1, 2, 3}, {4, 5, nan}}).left, 4 + 2);
    // An infinite coordinate makes the cell size infinite, which puts every finite point in one
    // cell: they all merge, the infinite point stays.
    C3DPointList* pl = C3DPointList::Create();
    for (const P3& p : std::vector<P3>{{1, 2, 3}, {inf, 2, 3}, {1, 2, 3}, {4, 5, 6}}) pl->Add(p[0], p[1], p[2]);
    C3DObject* obj = new C3DObject(pl, nullptr, nullptr);
    EXPECT_TRUE(obj->Weld3DPoints(0.0, false, 0, 0));
    EXPECT_EQ(obj->GetPointNbr(), 2);
    obj->Delete();
}

}  // namespace
}  // namespace kestovar::test
