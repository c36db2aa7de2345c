// Quadric algebra and the evaluation of one candidate: hand-computed costs and positions, the
// relative determinant test, the segment search, the move factors and the allowed-position mask
// with its tie rules.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {
namespace {

CSymMatrix PlaneQuadric(double a, double b, double c, double d) {
    CSymMatrix q;
    q.ComputeErrorQuadric(C4DTVector<double>(a, b, c, d));
    return q;
}

// Exposes the evaluation scratch and mode of the object to the tests.
struct CostObject : C3DExtObject {
    using C3DExtObject::m_optimizeMode;
    using C3DExtObject::m_pWorkingSymetryMap;
};

TEST(SymMatrix, ElementAccessIsSymmetricAndZeroOutsideTheMatrix) {
    const double p[4] = {0.3, -0.5, 0.7, 1.9};
    CSymMatrix q = PlaneQuadric(p[0], p[1], p[2], p[3]);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_DOUBLE_EQ(q(i, j), p[i] * p[j]) << i << "," << j;
    EXPECT_EQ(q(4, 0), 0.0);
    EXPECT_EQ(q(0, -1), 0.0);
}

TEST(SymMatrix, ScalingByOneIsBitExact) {
    CSymMatrix q = PlaneQuadric(0.1, 0.2, 0.3, 0.4);
    q.m[5] = -0.0;  // a negative zero would turn positive under x * 1.0 + 0 style arithmetic
    CSymMatrix before = q;
    q *= 1.0;
    EXPECT_EQ(std::memcmp(&q, &before, sizeof q), 0);
}

TEST(SymMatrix, MultUsesTheThreeByThreeBlockOnly) {
    CSymMatrix q = PlaneQuadric(1, 2, 3, 100);  // the d terms must not leak into A * v
    C3DTVector<double> out, in(1.0, 0.0, -1.0);
    q.Mult(out, in);
    EXPECT_EQ(out, C3DTVector<double>(1 * 1 - 1 * 3, 2 * 1 - 2 * 3, 3 * 1 - 3 * 3));
}

TEST(SymMatrix, OldMultDividesByTheHomogeneousWeightFirst) {
    // Plane z = 2: w = cd z + d2 = -2 + 4 = 2 for (1, 1, 1), so the input becomes (0.5, 0.5, 0.5)
    // and only the third row (ac, bc, c2, cd) is non-zero: 0.5 - 2.
    CSymMatrix q = PlaneQuadric(0, 0, 1, -2);
    C3DTVector<float> out;
    q.OldMult(out, C3DTVector<float>(1.0f, 1.0f, 1.0f));
    EXPECT_EQ(out, C3DTVector<float>(0.0f, 0.0f, -1.5f));
    // (0, 0, 3): w = -6 + 4 = -2 is not above 1e-15, so no division: 3 - 2.
    q.OldMult(out, C3DTVector<float>(0.0f, 0.0f, 3.0f));
    EXPECT_EQ(out.z, 1.0f);
}

TEST(QuadricCost, PointCostIsTheSumOfSquaredPlaneDistances) {
    CostObject o;
    // x = 1, y = 2 and the slanted plane (x + y + z) / sqrt(3) = 1: distances 2, 3, 6/sqrt(3) - 1.
    const double s = 1.0 / std::sqrt(3.0);
    CSymMatrix q = PlaneQuadric(1, 0, 0, -1);
    q += PlaneQuadric(0, 1, 0, -2);
    q += PlaneQuadric(s, s, s, -1);
    EXPECT_NEAR(o.ComputePointCost(q, C3DTPoint<float>(3, -1, 4)), 26.0 - 4.0 * std::sqrt(3.0), 1e-12);
}

TEST(QuadricCost, InverseFindsTheCornerOfThreePlanesAndRefusesSingularBlocks) {
    CostObject o;
    CSymMatrix q = PlaneQuadric(1, 0, 0, -1);
    q += PlaneQuadric(0, 1, 0, -2);
    q += PlaneQuadric(0, 0, 1, -3);
    C3DTPoint<float> v;
    ASSERT_TRUE(o.InverseExist(q, v));
    EXPECT_EQ(v, C3DTPoint<float>(1, 2, 3));
    EXPECT_EQ(o.ComputePointCost(q, v), 0.0);

    // One plane, or two: the minimum is a plane or a line, not a point.
    C3DTPoint<float> untouched(9, 9, 9);
    EXPECT_FALSE(o.InverseExist(PlaneQuadric(0, 0, 1, 0), untouched));
    CSymMatrix two = PlaneQuadric(1, 0, 0, 0);
    two += PlaneQuadric(0, 1, 0, 0);
    EXPECT_FALSE(o.InverseExist(two, untouched));
    EXPECT_EQ(untouched.x, 9.0f);
}

TEST(QuadricCost, DeterminantTestIsRelativeToTheTermsNotToTheScale) {
    CostObject o;
    C3DTPoint<float> v;
    // Rows (1 1 0), (1 1+e 0), (0 0 1): det = e against terms of magnitude 1 + e and 1, so the
    // relative determinant is about e / 2, at any scale of the quadric.
    for (double scale : {1.0, 1e-30, 1e30}) {
        CSymMatrix q(true);
        q.m[0] = q.m[1] = q.m[7] = 1.0;
        q.m[4] = 1.0 + 1e-13;
        q *= scale;
        EXPECT_FALSE(o.InverseExist(q, v)) << scale;
        q.m[4] = (1.0 + 1e-10) * scale;
        EXPECT_TRUE(o.InverseExist(q, v)) << scale;
    }
    // A diagonal block is never ill-conditioned by this measure, however small an entry.
    CSymMatrix diag(true);
    diag.m[0] = diag.m[4] = 1.0;
    diag.m[7] = 1e-20;
    EXPECT_TRUE(o.InverseExist(diag, v));
    // A tiny but well-conditioned quadric (a mesh in micrometres) is still invertible.
    CSymMatrix small = PlaneQuadric(1, 0, 0, -1);
    small += PlaneQuadric(0, 1, 0, -1);
    small += PlaneQuadric(0, 0, 1, -1);
    small *= 1e-30;
    ASSERT_TRUE(o.InverseExist(small, v));
    EXPECT_FLOAT_EQ(v.x, 1.0f);
    // Positive and negative terms that cancel exactly: det == 0.
    CSymMatrix cancel(true);
    cancel.m[0] = cancel.m[1] = cancel.m[4] = 1.0;  // rows (1 1 0), (1 1 0): rank 2 at most
    cancel.m[7] = 1.0;
    EXPECT_FALSE(o.InverseExist(cancel, v));
}

TEST(QuadricCost, SegmentSearchClampsAndWritesTheFlagByte) {
    CostObject o;
    const C3DTPoint<float> p1(1, 0, 0), p2(0, 0, 0);
    CInitialCost rec{};
    // Plane x = 0.3 crosses the segment at t = 0.3 from the second point.
    ASSERT_TRUE(o.FindBestPosOnLine(PlaneQuadric(1, 0, 0, -0.3), p1, p2, &rec));
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_ON_EDGE);
    EXPECT_NEAR(rec.GetT(), 0.3, 1e-15);
    ASSERT_TRUE(o.FindBestPosOnLine(PlaneQuadric(1, 0, 0, -2), p1, p2, &rec));
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_FIRST);
    EXPECT_EQ(rec.GetT(), 1.0);
    ASSERT_TRUE(o.FindBestPosOnLine(PlaneQuadric(1, 0, 0, 1), p1, p2, &rec));
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_SECOND);
    EXPECT_EQ(rec.GetT(), 0.0);
    // A plane containing the segment gives no minimum along it.
    rec.flags = 0;
    EXPECT_FALSE(o.FindBestPosOnLine(PlaneQuadric(0, 1, 0, 0), p1, p2, &rec));
    EXPECT_EQ(rec.flags, 0);
}

TEST(MoveFactor, RulesApplyInOrderAndNoFreePositionIsNeverCleared) {
    CostObject o;
    struct Case {
        unsigned long long mode;
        unsigned flags;
        int factor;
        bool noFree;
    };
    const unsigned S = POINT_SELECTED;
    const Case cases[] = {
        {~0ull & ~OPT_SYMMETRY_MASK, POINT_BORDER, MOVE_FACTOR_LOCKED, false},  // unselected beats everything
        {OPT_KEEP_BORDER, S | POINT_CONSTRAINED | POINT_BORDER, MOVE_FACTOR_CONSTRAINED, false},
        {OPT_KEEP_BORDER, S | POINT_BORDER, MOVE_FACTOR_BORDER, false},
        {OPT_CONSTRAIN_BORDER, S | POINT_BORDER | POINT_SHARED_EDGE, MOVE_FACTOR_SEAM, false},
        {OPT_KEEP_BORDER | OPT_KEEP_CORNERS, S | POINT_BORDER | POINT_2D_CORNER, MOVE_FACTOR_BORDER, true},
        {OPT_KEEP_BORDER, S | POINT_BORDER | POINT_2D_CORNER, MOVE_FACTOR_BORDER, false},
        {0, S | POINT_BORDER, MOVE_FACTOR_FREE, false},  // a feature without its mode bit is free
        {OPT_KEEP_UVW | OPT_KEEP_NORMALS, S | POINT_UV_SEAM | POINT_NORMAL_FRONTIER, MOVE_FACTOR_SEAM, true},
        {OPT_KEEP_NORMALS, S | POINT_NORMAL_FRONTIER, MOVE_FACTOR_SOFT, true},
        {OPT_KEEP_VC | OPT_KEEP_MATERIAL, S | POINT_VC_FRONTIER | POINT_MATERIAL_FRONTIER, MOVE_FACTOR_SEAM, false},
        {OPT_KEEP_MATERIAL, S | POINT_MATERIAL_FRONTIER, MOVE_FACTOR_MATERIAL, false},
        {OPT_CONSTRAIN_CORNERS, S | POINT_3D_CORNER, MOVE_FACTOR_SOFT, true},
        {OPT_FREEZE_CORNERS, S | POINT_3D_CORNER, MOVE_FACTOR_FREE, false},
    };
    for (const Case& c : cases) {
        o.m_optimizeMode = c.mode;
        C3DTPoint<float> p;
        p.SetFlags(c.flags);
        bool noFree = false;
        EXPECT_EQ(o.GetPointMoveFactor(&p, 0, noFree), c.factor) << std::hex << c.mode << " " << c.flags;
        EXPECT_EQ(noFree, c.noFree) << std::hex << c.mode << " " << c.flags;
        noFree = true;
        o.GetPointMoveFactor(&p, 0, noFree);
        EXPECT_TRUE(noFree);
    }

    // Keys of the working symmetry map get factor 6 while a symmetry bit is on.
    C3DPointSymetryMap* map = new C3DPointSymetryMap;
    map->Insert(3, 5);
    map->Insert(5, 3);
    o.m_pWorkingSymetryMap = map;
    C3DTPoint<float> p;
    p.SetFlags(S | POINT_BORDER);
    bool noFree = false;
    o.m_optimizeMode = OPT_SYMMETRY_X | OPT_KEEP_BORDER;
    EXPECT_EQ(o.GetPointMoveFactor(&p, 3, noFree), MOVE_FACTOR_SYMMETRY);
    EXPECT_EQ(o.GetPointMoveFactor(&p, 4, noFree), MOVE_FACTOR_BORDER);
    o.m_optimizeMode = OPT_KEEP_BORDER;
    EXPECT_EQ(o.GetPointMoveFactor(&p, 3, noFree), MOVE_FACTOR_BORDER);
}

// Two points with hand-set quadrics, evaluated as the pair (0, 1).
struct PairFixture : ::testing::Test {
    CostObject object;
    CExtPointList* points = new CExtPointList;
    C3DFaceList* faces = new C3DFaceList;
    CInitialCost rec{};

    PairFixture() {
        points->Add(0, 0, 0);
        points->Add(2, 0, 0);
        points->ClearQuadrics();
        rec.first = 0;
        rec.second = 1;
    }
    ~PairFixture() override {
        points->Delete();
        faces->Delete();
    }
    void Select(int i, unsigned extra = 0) { points->GetAt(i).SetFlags(POINT_SELECTED | extra); }
    void Evaluate() { object.ComputePairCost(*points, *faces, &rec); }
};

TEST_F(PairFixture, OptimalPositionWhenFreeAndInvertible) {
    Select(0);
    Select(1);
    // Both points carry the corner (1, 1, 1) of three planes.
    for (int i = 0; i < 2; ++i) {
        points->GetQuadric(i) = PlaneQuadric(1, 0, 0, -1);
        points->GetQuadric(i) += PlaneQuadric(0, 1, 0, -1);
        points->GetQuadric(i) += PlaneQuadric(0, 0, 1, -1);
    }
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_OPTIMAL);
    float x, y, z;
    rec.GetXYZ(x, y, z);
    EXPECT_EQ(C3DTPoint<float>(x, y, z), C3DTPoint<float>(1, 1, 1));
    EXPECT_EQ(rec.cost, 0.0f);
    C3DTPoint<float> v;
    C3DExtObject::GetContractionPosition(rec, *points, v);
    EXPECT_EQ(v, C3DTPoint<float>(1, 1, 1));

    // Keeping texture coordinates forbids the optimum: the segment decides.
    object.m_optimizeMode = OPT_KEEP_UVW;
    Evaluate();
    EXPECT_EQ(rec.GetKind(), unsigned(POSITION_ON_EDGE));
    EXPECT_NEAR(rec.GetT(), 0.5, 1e-12);
    C3DExtObject::GetContractionPosition(rec, *points, v);
    EXPECT_EQ(v, C3DTPoint<float>(1, 0, 0));
}

TEST_F(PairFixture, StifferPointStaysAndItsCostIsKept) {
    // An unselected first point (factor 8) against a free second one: only the first position.
    Select(1);
    points->GetQuadric(0) = PlaneQuadric(1, 0, 0, -1);
    points->GetQuadric(1) = PlaneQuadric(1, 0, 0, -1);
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_FIRST);
    EXPECT_EQ(rec.GetT(), 1.0);
    EXPECT_EQ(rec.cost, 2.0f);  // (0 - 1)^2 from both quadrics

    // The other way round: the second point stays.
    points->GetAt(0).SetFlags(POINT_SELECTED);
    points->GetAt(1).SetFlags(POINT_SELECTED | POINT_CONSTRAINED);
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_SECOND);
    EXPECT_EQ(rec.GetT(), 0.0);
    EXPECT_EQ(rec.cost, 2.0f);  // (2 - 1)^2 twice
}

// A point that must stay keeps its place even when its cost is at or beyond FLT_MAX or NaN (a
// point near or beyond the float range): moving it would take a frozen point out of the mesh.
TEST_F(PairFixture, StifferPointStaysWhateverItsCost) {
    Select(1);
    // A plane 1e20 away: (1e20)^2 twice, beyond FLT_MAX, so the cost narrows to infinity.
    points->GetQuadric(0) = PlaneQuadric(1, 0, 0, -1e20);
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_FIRST);
    EXPECT_EQ(rec.GetT(), 1.0);
    EXPECT_EQ(rec.cost, std::numeric_limits<float>::infinity());
    // A cost of exactly FLT_MAX, the value that stands for a forbidden end point.
    CSymMatrix constant(true);
    constant.m[9] = double(FLT_MAX);  // the constant term alone
    points->GetQuadric(0) = constant;
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_FIRST);
    EXPECT_EQ(rec.cost, FLT_MAX);
    // An infinite coordinate on the stiff point: NaN cost, still that point.
    points->GetAt(0).x = std::numeric_limits<float>::infinity();
    points->GetQuadric(0) = PlaneQuadric(1, 0, 0, -1);
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_FIRST);
    EXPECT_TRUE(std::isnan(rec.cost));
    // The same on the second point, stiffer by its constraint.
    points->GetAt(0).SetFlags(POINT_SELECTED);
    points->GetAt(1).SetFlags(POINT_SELECTED | POINT_CONSTRAINED);
    points->GetAt(0).x = 0.0f;
    points->GetQuadric(0) = PlaneQuadric(1, 0, 0, -1e20);
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_SECOND);
    EXPECT_EQ(rec.GetT(), 0.0);
}

TEST_F(PairFixture, TieWithTheMidpointGoesToTheMidpoint) {
    // Both quadrics are the plane z = 0 holding both points: singular, and flat along the segment,
    // so the end points and the midpoint all cost 0.
    Select(0);
    Select(1);
    points->GetQuadric(0) = PlaneQuadric(0, 0, 1, 0);
    points->GetQuadric(1) = PlaneQuadric(0, 0, 1, 0);
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_ON_EDGE);
    EXPECT_EQ(rec.GetT(), 0.5);
    EXPECT_EQ(rec.cost, 0.0f);
}

TEST_F(PairFixture, EndPointsOnlyTiesGoToTheSecondPoint) {
    Select(0);
    Select(1);
    object.m_optimizeMode = OPT_ENDPOINTS_ONLY;
    // Plane x = 1 is equally far from both points; the midpoint would cost 0 but is not allowed.
    points->GetQuadric(0) = PlaneQuadric(1, 0, 0, -1);
    points->GetQuadric(1) = PlaneQuadric(1, 0, 0, -1);
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_SECOND);
    EXPECT_EQ(rec.cost, 2.0f);
    // Moved so that the first point is cheaper.
    points->GetQuadric(0) = PlaneQuadric(1, 0, 0, -0.5);
    points->GetQuadric(1) = PlaneQuadric(1, 0, 0, -0.5);
    Evaluate();
    EXPECT_EQ(rec.flags, CONTRACTION_FLAGS_FIRST);
    EXPECT_EQ(rec.cost, 0.5f);
}

TEST_F(PairFixture, EqualStiffFactorsWithoutFreePositionLoseTheOptimumOnly) {
    // Two border corners under keep-border + keep-corners: factor 5 each, no free position, so
    // the invertible optimum is refused and the segment search places the point.
    object.m_optimizeMode = OPT_KEEP_BORDER | OPT_KEEP_CORNERS;
    Select(0, POINT_BORDER | POINT_2D_CORNER);
    Select(1, POINT_BORDER);
    for (int i = 0; i < 2; ++i) {
        points->GetQuadric(i) = PlaneQuadric(1, 0, 0, -0.5);
        points->GetQuadric(i) += PlaneQuadric(0, 1, 0, -1);
        points->GetQuadric(i) += PlaneQuadric(0, 0, 1, -1);
    }
    Evaluate();
    EXPECT_EQ(rec.GetKind(), unsigned(POSITION_ON_EDGE));
    EXPECT_NEAR(rec.GetT(), 0.75, 1e-12);  // x = 0.5 is a quarter of the way from the second point
    // Without the corner the same pair may take the optimum.
    points->GetAt(0).SetFlags(POINT_SELECTED | POINT_BORDER);
    Evaluate();
    EXPECT_EQ(rec.GetKind(), unsigned(POSITION_OPTIMAL));
}

TEST(InsertCost, GenerationWrapsAndThePairIsIndexedOnce) {
    C3DExtObject o;
    o.GetCostHeap().Init(CostHeap::MakeSentinel(), 4);
    CContractionCost rec{};
    rec.first = 2;
    rec.second = 7;
    rec.cost = 1.0f;
    rec.flags = CONTRACTION_FLAGS_ON_EDGE;
    o.InsertCost(&rec, 8);
    EXPECT_EQ(rec.GetGeneration(), 0u);
    EXPECT_EQ(rec.GetKind(), unsigned(POSITION_ON_EDGE));
    EXPECT_EQ(rec.GetPriority(), 1u);
    EXPECT_EQ(*rec.slot, &rec);
    CContractionCost* top = nullptr;
    o.GetCostHeap().PopTop(top);
    EXPECT_EQ(top, &rec);
    o.InsertCost(&rec, 13);  // put back: still one index entry
    EXPECT_EQ(rec.GetGeneration(), 5u);
    EXPECT_EQ(o.GetPairIndex().GetCount(), 1);
    CContractionCost key{};
    key.first = 2;
    key.second = 7;
    const CContractionCost* const* found = o.GetPairIndex().Find(&key);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, &rec);
}

}  // namespace
}  // namespace kestovar
