// GeomCompare and its samplers: exact sample counts of the carries and face patterns, budgets,
// analytic distances, the relative limit and its log block, the flags, bad input, determinism
// over thread counts, progress and cancellation, and the diagnostic counters.
#include "kestovar/compare/geom_compare.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "compare_test_util.h"
#include "kestovar/compare/surface_sampler.h"
#include "kestovar/core/log.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/thread_registry.h"

using namespace kestovar;
using namespace kestovar::comparetest;

namespace {

// The right triangle 0 (0,0), 1 (1,0), 2 (0,1) in z = 0, area 0.5, edges 1, 1 and sqrt(2):
//   2
//   |  \  (hypotenuse 1-2)
//   0 -- 1
Mesh MakeTriangle() {
    Mesh m;
    m.AddPoint(0, 0, 0), m.AddPoint(1, 0, 0), m.AddPoint(0, 1, 0);
    m.tris = {0, 1, 2};
    return m;
}

struct Counts {
    unsigned vertex, edge, face, budget;
};

Counts Sample(const Mesh& source, const Mesh& target, unsigned flags) {
    ObjectPtr a = MakeObject(source), b = MakeObject(target);
    CSurfaceSampler s(a.get(), b.get(), flags, HUGE_VAL, GeomCompareDiagonal(a.get(), b.get()));
    EXPECT_TRUE(s.Compute());
    EXPECT_EQ(s.GetSampleCount(), s.GetVertexSampleCount() + s.GetEdgeSampleCount() + s.GetFaceSampleCount());
    return {s.GetVertexSampleCount(), s.GetEdgeSampleCount(), s.GetFaceSampleCount(), s.GetBudget()};
}

double Compare(const Mesh& a, const Mesh& b, unsigned flags, double limit = HUGE_VAL) {
    ObjectPtr x = MakeObject(a), y = MakeObject(b);
    return GeomCompare(x.get(), y.get(), MESH_COMPARE_HAUSDORFF, limit, flags);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(SurfaceSampler, CarriesAndFacePatternsOnOneTriangle) {
    const Mesh t = MakeTriangle();
    // Edges only: budget 6, density 6 / 0.5 = 12 per unit length: 12 + 12 + trunc(16.97) = 40.
    Counts c = Sample(t, t, 0x2);
    EXPECT_EQ(c.budget, 6u);
    EXPECT_EQ(c.edge, 40u);
    // Edges and faces: linear density sqrt(12 / 64) gives one edge sample (carry 1.48 on the
    // third edge); 5 left, density 10, n = 5, k = 5 points per side: 3 interior points.
    c = Sample(t, t, 0x6);
    EXPECT_EQ(c.edge, 1u);
    EXPECT_EQ(c.face, 3u);
    // The sequence takes exactly n; the centroids round(sqrt(5))^2 = 4.
    EXPECT_EQ(Sample(t, t, 0x16).face, 5u);
    EXPECT_EQ(Sample(t, t, 0x26).face, 4u);
    EXPECT_EQ(Sample(t, t, 0x36).face, 5u);  // the sequence wins
    // Points, edges, faces: 3 points, 3 left (density 6): one edge sample, then n = 2, k = 4: 1.
    c = Sample(t, t, 0x7);
    EXPECT_EQ(c.vertex, 3u);
    EXPECT_EQ(c.edge, 1u);
    EXPECT_EQ(c.face, 1u);
}

TEST(SurfaceSampler, BudgetBitsAndPointsThatUseItUp) {
    const Mesh t = MakeTriangle();
    EXPECT_EQ(Sample(t, t, 0x10001).budget, 4u);
    EXPECT_EQ(Sample(t, t, 0x40001).budget, 10u);
    for (unsigned bits : {0x0u, 0x20000u, 0x30000u, 0x50000u, 0x70000u}) EXPECT_EQ(Sample(t, t, bits | 1).budget, 6u);
    // The larger face count of the two objects sets the budget.
    EXPECT_EQ(Sample(t, MakePlate(3, 1.0), 0x10001).budget, 72u);
    // Five unused points make 8 point samples, past the budget of 4: no edge or face sample.
    Mesh extra = t;
    for (int i = 0; i < 5; ++i) extra.AddPoint(0.1 * i, 0.1, 0.0);
    Counts c = Sample(extra, t, 0x10007);
    EXPECT_EQ(c.vertex, 8u);
    EXPECT_EQ(c.edge + c.face, 0u);
}

TEST(GeomCompare, IdenticalObjectsGiveZero) {
    Mesh m = MakeIcosphere(2);
    EXPECT_EQ(Compare(m, m, GEOMCOMPARE_DEFAULT), 0.0);
    ObjectPtr o = MakeObject(m);
    EXPECT_EQ(GeomCompare(o.get(), o.get(), MESH_COMPARE_DEFAULT, HUGE_VAL, 0x20037), 0.0);
}

// A tilted square stacked 2000 times (what a polygon that runs round the same corners again and
// again becomes): every sample lies on all 4000 triangles, and measuring each of them per sample
// made the comparison quadratic. A sample ends at the first face within the rounding floor, most
// often the previous sample's face, so most queries inspect no cell at all.
TEST(GeomCompare, StackOfCoincidentFacesEndsEachSampleAtTheFirstFaceOnIt) {
    Mesh m;
    m.AddPoint(0, 0, 0), m.AddPoint(1, 0, 0.3), m.AddPoint(1, 1, 0.5), m.AddPoint(0, 1, 0.2);
    for (int i = 0; i < 2000; ++i) m.tris.insert(m.tris.end(), {0, 1, 2, 0, 2, 3});
    EXPECT_EQ(Compare(m, m, GEOMCOMPARE_DEFAULT), 0.0);
    ObjectPtr o = MakeObject(m);
    const double D = GeomCompareDiagonal(o.get(), o.get());
    CSurfaceSampler sampler(o.get(), o.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, D);
    ASSERT_TRUE(sampler.Compute());
    EXPECT_EQ(sampler.GetMaxDistance(), 0.0);
    EXPECT_GT(sampler.GetSampleCount(), 20000u);
    EXPECT_LT(sampler.GetStats().cellsInspected, sampler.GetSampleCount() / 4);
}

TEST(GeomCompare, NonTriangularObjectsGiveInfinity) {
    Mesh quad;
    quad.AddPoint(0, 0, 0), quad.AddPoint(1, 0, 0), quad.AddPoint(1, 1, 0), quad.AddPoint(0, 1, 0);
    quad.quads = {0, 1, 2, 3};
    Mesh plate = MakePlate(1, 1.0);
    EXPECT_EQ(Compare(quad, plate, GEOMCOMPARE_DEFAULT), HUGE_VAL);
    EXPECT_EQ(Compare(plate, quad, GEOMCOMPARE_DEFAULT), HUGE_VAL);
    ObjectPtr bare(new C3DObject);  // no lists at all
    ObjectPtr p = MakeObject(plate);
    EXPECT_EQ(GeomCompare(bare.get(), p.get(), MESH_COMPARE_DEFAULT, HUGE_VAL, GEOMCOMPARE_DEFAULT), HUGE_VAL);
}

TEST(GeomCompare, EmptyNanAndDegenerateInput) {
    Mesh empty, plate = MakePlate(4, 1.0);
    EXPECT_EQ(Compare(empty, empty, GEOMCOMPARE_DEFAULT), 0.0);
    EXPECT_EQ(Compare(empty, plate, GEOMCOMPARE_DEFAULT), HUGE_VAL);
    EXPECT_EQ(Compare(plate, empty, GEOMCOMPARE_DEFAULT), HUGE_VAL);
    // A degenerate triangle lying in the plate, and a triangle with a NaN corner, change nothing.
    Mesh dirty = plate;
    dirty.tris.insert(dirty.tris.end(), {0, 1, 2, 3, 3, 3});
    int bad = dirty.AddPoint(NAN, 0, 0);
    dirty.tris.insert(dirty.tris.end(), {0, 1, bad});
    EXPECT_EQ(Compare(dirty, plate, GEOMCOMPARE_DEFAULT | GEOMCOMPARE_USED_POINTS), 0.0);
    EXPECT_EQ(Compare(plate, dirty, 0x20037), 0.0);
    // All points at one place: D = 0.
    Mesh dot;
    dot.AddPoint(1, 1, 1), dot.AddPoint(1, 1, 1), dot.AddPoint(1, 1, 1);
    dot.tris = {0, 1, 2};
    EXPECT_EQ(GeomCompareDiagonal(MakeObject(dot).get(), nullptr), 0.0);
    EXPECT_EQ(Compare(dot, dot, GEOMCOMPARE_DEFAULT), 0.0);
}

// A source without area (a needle of collinear corners) is sampled along its edges all the same,
// each edge taking the most samples an edge can: measured against small triangles at its three
// corners it is about half an edge away, as a needle with a hair of area is.
TEST(GeomCompare, ASourceWithoutAreaIsSampledAlongItsEdges) {
    Mesh target;
    for (float x : {0.0f, 1.0f, 2.0f}) {
        const int a = target.AddPoint(x, 0, 0), b = target.AddPoint(x, 0.01, 0),
                  c = target.AddPoint(x, 0, 0.01);
        target.tris.insert(target.tris.end(), {a, b, c});
    }
    ObjectPtr to = MakeObject(target);
    for (double bulge : {0.0, 1e-6}) {
        Mesh needle;
        needle.AddPoint(0, 0, 0), needle.AddPoint(1, bulge, 0), needle.AddPoint(2, 0, 0);
        needle.tris = {0, 1, 2};
        ObjectPtr from = MakeObject(needle);
        for (unsigned flags : {0x20007u, 0x20002u}) {
            CSurfaceSampler s(from.get(), to.get(), flags, HUGE_VAL,
                              GeomCompareDiagonal(from.get(), to.get()));
            ASSERT_TRUE(s.Compute());
            EXPECT_EQ(s.GetEdgeSampleCount(), 3u * 64u) << bulge << " " << std::hex << flags;
            EXPECT_NEAR(s.GetMaxDistance(), 0.4923, 1e-3) << bulge << " " << std::hex << flags;
        }
    }
}

TEST(GeomCompare, TranslatedSphereGivesTheTranslation) {
    // Moving along the direction of point 1 by d puts the copy of point 1 exactly d outside the
    // sphere's hull, and no point of the copy farther than d from the original.
    Mesh m = MakeIcosphere(3);
    Mesh moved = m;
    const double d = 0.1, len = std::sqrt(m.xyz[3] * m.xyz[3] + m.xyz[4] * m.xyz[4] + m.xyz[5] * m.xyz[5]);
    moved.Translate(d * m.xyz[3] / len, d * m.xyz[4] / len, d * m.xyz[5] / len);
    ObjectPtr a = MakeObject(m), b = MakeObject(moved);
    const double D = GeomCompareDiagonal(a.get(), b.get());
    const double r = GeomCompare(a.get(), b.get(), MESH_COMPARE_HAUSDORFF, HUGE_VAL, GEOMCOMPARE_DEFAULT);
    EXPECT_NEAR(r * D, d, 0.01 * d);
}

TEST(GeomCompare, SphereAtTwoResolutionsGivesTheAnalyticGap) {
    // Coarse: the icosahedron. The deepest point of each face lies at its inradius
    // 0.79465447229176610 from the centre, so the gap to the sphere is 1 - that; the fine mesh
    // stays within 0.001 of the sphere.
    const double gap = 1.0 - 0.79465447229176610;
    ObjectPtr coarse = MakeObject(MakeIcosphere(0)), fine = MakeObject(MakeIcosphere(4));
    const double D = GeomCompareDiagonal(coarse.get(), fine.get());
    const double r = GeomCompare(coarse.get(), fine.get(), MESH_COMPARE_HAUSDORFF, HUGE_VAL, GEOMCOMPARE_DEFAULT);
    EXPECT_NEAR(r * D, gap, 0.01 * gap);
}

TEST(GeomCompare, PointsAloneGiveTheLargestPointToSurfaceDistance) {
    Mesh a = MakeIcosphere(1), b = MakeIcosphere(2, 1.1);
    b.Translate(0.05, -0.02, 0.0);
    double worst = 0.0;
    for (int pass = 0; pass < 2; ++pass) {
        const Mesh& from = pass ? b : a;
        const Mesh& to = pass ? a : b;
        for (size_t i = 0; i < from.xyz.size(); i += 3) {
            const double p[3] = {from.xyz[i], from.xyz[i + 1], from.xyz[i + 2]};
            worst = std::max(worst, std::sqrt(BruteForce2(to, p)));
        }
    }
    ObjectPtr x = MakeObject(a), y = MakeObject(b);
    const double D = GeomCompareDiagonal(x.get(), y.get());
    EXPECT_DOUBLE_EQ(GeomCompare(x.get(), y.get(), MESH_COMPARE_DEFAULT, HUGE_VAL, GEOMCOMPARE_VERTEX), worst / D);
}

TEST(GeomCompare, UsedPointsFlagMarksAndKeepsOnlyFacePoints) {
    Mesh t = MakeTriangle();
    Mesh stray = t;
    stray.AddPoint(10, 0, 0);  // used by no face
    ObjectPtr a = MakeObject(stray), b = MakeObject(t);
    const double D = std::sqrt(2.0);
    EXPECT_DOUBLE_EQ(GeomCompare(a.get(), b.get(), MESH_COMPARE_DEFAULT, HUGE_VAL, GEOMCOMPARE_VERTEX), 9.0 / D);
    a->GetPointList()->GetAt(3).SetFlags(POINT_COMPARE_SAMPLED, true);  // a stale mark is cleared
    EXPECT_EQ(GeomCompare(a.get(), b.get(), MESH_COMPARE_DEFAULT, HUGE_VAL, GEOMCOMPARE_VERTEX | GEOMCOMPARE_USED_POINTS),
              0.0);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(a->GetPointList()->GetAt(i).IsFlagSet(POINT_COMPARE_SAMPLED));
    EXPECT_FALSE(a->GetPointList()->GetAt(3).IsFlagSet(POINT_COMPARE_SAMPLED));
}

TEST(GeomCompare, TightLimitStopsBothDirectionsAndLogsIt) {
    // Two unit plates t apart with t / D = 0.2 (D = sqrt(2 + t^2)).
    const double t = std::sqrt(0.08 / 0.96);
    Mesh a = MakePlate(10, 1.0), b = a;
    b.Translate(0, 0, t);
    ObjectPtr x = MakeObject(a), y = MakeObject(b);
    const double D = GeomCompareDiagonal(x.get(), y.get());
    for (int dir = 0; dir < 2; ++dir) {
        CSurfaceSampler s(dir ? y.get() : x.get(), dir ? x.get() : y.get(), GEOMCOMPARE_DEFAULT, 0.01 * D, D);
        EXPECT_TRUE(s.Compute());
        EXPECT_TRUE(s.IsOverLimit());
        EXPECT_EQ(s.GetSampleCount(), 1u);  // the first sample is already beyond the limit
    }

    const std::string path = ::testing::TempDir() + "kestovar_compare_log.txt";
    std::remove(path.c_str());
    ASSERT_TRUE(SetLogFile(std::wstring(path.begin(), path.end()).c_str()));
    const double r = GeomCompare(x.get(), y.get(), MESH_COMPARE_HAUSDORFF, 0.01, GEOMCOMPARE_DEFAULT);
    const double full = GeomCompare(x.get(), y.get(), MESH_COMPARE_HAUSDORFF, HUGE_VAL, GEOMCOMPARE_DEFAULT);
    CloseLogFile();
    EXPECT_NEAR(r, 0.2, 1e-6);
    EXPECT_NEAR(full, 0.2, 1e-6);
    const std::string log = ReadAll(path);
    std::remove(path.c_str());
    EXPECT_EQ(CountOf(log, "(Process canceled - above limit)\n"), 2);
    EXPECT_EQ(CountOf(log, "(Full computation - below limit)\n"), 2);
    char head[64];
    std::snprintf(head, sizeof head, "Hausdorff measure 1 %X %X (", x->GetObjectID(), y->GetObjectID());
    EXPECT_EQ(CountOf(log, head), 2);
    EXPECT_EQ(CountOf(log, "Sampling info total samples 1 (vertex: 1, edge 0, face 0)\n"), 2);
    for (const char* line : {"Face Distance Count ", "Timing total timing ", "Normalized distance 0.200000\n",
                             "Max distance ", "Mean distance ", "RMS distance "})
        EXPECT_EQ(CountOf(log, line), 4) << line;
}

TEST(GeomCompare, SameResultWhateverTheThreadCount) {
    Mesh a = MakeIcosphere(2), b = MakeIcosphere(3, 0.98);
    b.Translate(0.03, 0.01, -0.02);
    const int saved = OMPGetMaxThreadCount();
    for (unsigned flags : {0x20007u, 0x10017u, 0x40027u}) {
        OMPSetMaxThreadCount(1);
        const double one = Compare(a, b, flags);
        OMPSetMaxThreadCount(2);
        const double two = Compare(a, b, flags);
        EXPECT_EQ(one, two) << std::hex << flags;
        EXPECT_GT(one, 0.0);
    }
    OMPSetMaxThreadCount(saved);
}

// Two objects that share their face list (a conversion shares it by reference) each need a search
// grid over their own points in that one list: the directions then run in turn, and two threads
// give what one gives (they raced over the list's grid, and crashed, before).
TEST(GeomCompare, ObjectsSharingAFaceListCompareAlikeOnAnyThreadCount) {
    ObjectPtr a = MakeObject(MakeIcosphere(4)), b = MakeObject(MakeIcosphere(4, 1.2));
    C3DFaceList* faces = a->GetFaceList();
    faces->AddRef();
    b->SetFaceList(faces, true);
    ASSERT_EQ(a->GetFaceList(), b->GetFaceList());
    const int saved = OMPGetMaxThreadCount();
    OMPSetMaxThreadCount(1);
    const double one = GeomCompare(a.get(), b.get(), MESH_COMPARE_HAUSDORFF, HUGE_VAL, GEOMCOMPARE_DEFAULT);
    EXPECT_NEAR(one, 0.2 / GeomCompareDiagonal(a.get(), b.get()), 1e-6);  // the radii 1 and 1.2, in floats
    OMPSetMaxThreadCount(2);
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(GeomCompare(a.get(), b.get(), MESH_COMPARE_HAUSDORFF, HUGE_VAL, GEOMCOMPARE_DEFAULT), one);
    OMPSetMaxThreadCount(saved);
}

// Comparisons on two host threads measuring against one shared mesh: the first to need its grid
// builds it, the other finds it current, and each gets what it gets alone (they rebuilt the grid
// under each other's queries before).
TEST(GeomCompare, HostThreadsSharingAMeshGetTheirOwnResults) {
    const Mesh reference = MakeIcosphere(5);
    Mesh m1 = MakeIcosphere(3, 1.02), m2 = MakeIcosphere(2, 0.97);
    m2.Translate(0.01, 0.0, 0.0);
    ObjectPtr c1 = MakeObject(m1), c2 = MakeObject(m2);
    auto run = [](const C3DObject* a, const C3DObject* b) {
        return GeomCompare(a, b, MESH_COMPARE_HAUSDORFF, HUGE_VAL, GEOMCOMPARE_DEFAULT);
    };
    const double alone1 = run(MakeObject(reference).get(), c1.get());
    const double alone2 = run(MakeObject(reference).get(), c2.get());
    for (int round = 0; round < 4; ++round) {
        ObjectPtr shared = MakeObject(reference);
        std::atomic<int> ready{0};
        double r1 = 0.0, r2 = 0.0;
        auto start = [&ready] {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
        };
        std::thread t1([&] { start(), r1 = run(shared.get(), c1.get()); });
        std::thread t2([&] { start(), r2 = run(shared.get(), c2.get()); });
        t1.join();
        t2.join();
        EXPECT_EQ(r1, alone1) << "round " << round;
        EXPECT_EQ(r2, alone2) << "round " << round;
    }
}

// GeomCompareBothWays leaves each direction's figures in its sampler: the same, bit for bit, on
// one or two threads as from a sampler computed alone, and GeomCompare's result is their larger
// normalized distance.
TEST(GeomCompare, BothWaysKeepsEachDirectionsFigures) {
    Mesh a = MakeIcosphere(3), b = MakeIcosphere(4, 0.98);  // above the pair size run side by side
    b.Translate(0.03, 0.01, -0.02);
    ObjectPtr x = MakeObject(a), y = MakeObject(b);
    const double diagonal = GeomCompareDiagonal(x.get(), y.get());
    CSurfaceSampler aloneAB(x.get(), y.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, diagonal);
    CSurfaceSampler aloneBA(y.get(), x.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, diagonal);
    ASSERT_TRUE(aloneAB.Compute() && aloneBA.Compute());
    const int saved = OMPGetMaxThreadCount();
    for (int threads : {1, 2}) {
        OMPSetMaxThreadCount(threads);
        CSamplerControl control;
        CSurfaceSampler ab(x.get(), y.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, diagonal, &control);
        CSurfaceSampler ba(y.get(), x.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, diagonal, &control);
        control.Add(&ab);
        control.Add(&ba);
        ASSERT_TRUE(GeomCompareBothWays(ab, ba, control)) << threads;
        for (const auto& [both, alone] : {std::pair{&ab, &aloneAB}, {&ba, &aloneBA}}) {
            EXPECT_EQ(both->GetMaxDistance(), alone->GetMaxDistance()) << threads;
            EXPECT_EQ(both->GetMean(), alone->GetMean()) << threads;
            EXPECT_EQ(both->GetRMS(), alone->GetRMS()) << threads;
            EXPECT_EQ(both->GetSampleCount(), alone->GetSampleCount()) << threads;
        }
        EXPECT_EQ(GeomCompare(x.get(), y.get(), MESH_COMPARE_HAUSDORFF, HUGE_VAL, GEOMCOMPARE_DEFAULT),
                  std::max(ab.GetNormalizedDistance(), ba.GetNormalizedDistance()));
    }
    OMPSetMaxThreadCount(saved);
}

namespace {

struct ProgressLog {
    int starts = 0, ends = 0, positions = 0, last = -1;
    bool cancelAt50 = false;
};

bool OnProgress(unsigned kind, const ProcessProgressInfo& info, void* user) {
    ProgressLog& log = *static_cast<ProgressLog*>(user);
    if (kind & PROGRESS_START) ++log.starts;
    if (kind & PROGRESS_END) ++log.ends;
    if (kind & PROGRESS_POSITION) {
        ++log.positions;
        log.last = info.position;
        EXPECT_GE(info.position, 0);
        EXPECT_LE(info.position, 100);
    }
    return log.cancelAt50 && (kind & PROGRESS_CANCEL_QUERY) && info.position >= 50;
}

}  // namespace

TEST(GeomCompare, ReportsProgressAndHonoursCancellation) {
    Mesh a = MakeIcosphere(3), b = MakeIcosphere(3, 1.01);
    ProgressLog log;
    progressPushCallback(OnProgress, &log);
    EXPECT_LT(Compare(a, b, GEOMCOMPARE_DEFAULT), 1.0);
    EXPECT_EQ(log.starts, 2);
    EXPECT_EQ(log.ends, 2);
    EXPECT_GT(log.positions, 10);

    log = ProgressLog();
    log.cancelAt50 = true;
    EXPECT_EQ(Compare(a, b, GEOMCOMPARE_DEFAULT), HUGE_VAL);
    EXPECT_EQ(log.ends, 2);
    progressPopCallback();

    SetCancelThread(true);
    EXPECT_EQ(Compare(a, b, GEOMCOMPARE_DEFAULT), HUGE_VAL);
    SetCancelThread(false);
    EXPECT_LT(Compare(a, b, GEOMCOMPARE_DEFAULT), 1.0);
}

TEST(GeomCompare, CountersAddUpBothDirections) {
    Mesh a = MakeIcosphere(2), b = MakeIcosphere(1);
    ObjectPtr x = MakeObject(a), y = MakeObject(b);
    const double D = GeomCompareDiagonal(x.get(), y.get());
    CSurfaceSampler ab(x.get(), y.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, D), ba(y.get(), x.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, D);
    ASSERT_TRUE(ab.Compute());
    ASSERT_TRUE(ba.Compute());
    GeomCompare(x.get(), y.get(), MESH_COMPARE_DEFAULT, HUGE_VAL, GEOMCOMPARE_DEFAULT);
    const CFaceGridStats counters = C3DFaceGridMap::GetGlobalCounters();
    EXPECT_EQ(counters.queries, uint64_t(ab.GetSampleCount()) + ba.GetSampleCount());
    EXPECT_EQ(counters.cellsInspected, ab.GetStats().cellsInspected + ba.GetStats().cellsInspected);
    EXPECT_GT(counters.cellsInspected, 0u);
    // Each comparison starts them afresh, when the caller runs the two directions itself too.
    CSamplerControl control;
    CSurfaceSampler ab2(x.get(), y.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, D, &control);
    CSurfaceSampler ba2(y.get(), x.get(), GEOMCOMPARE_DEFAULT, HUGE_VAL, D, &control);
    control.Add(&ab2);
    control.Add(&ba2);
    ASSERT_TRUE(GeomCompareBothWays(ab2, ba2, control));
    EXPECT_EQ(C3DFaceGridMap::GetGlobalCounters().queries, counters.queries);
    EXPECT_LE(ab.GetMean(), ab.GetRMS());
    EXPECT_LE(ab.GetRMS(), ab.GetMaxDistance());
}
