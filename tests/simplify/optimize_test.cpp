// The contraction loop: targets by ratio and count, points and faces; continuation and restart of
// repeated runs; frozen borders; the flip test; the cost limit; mirrored contractions; recorded
// runs played back; determinism across runs and thread counts; cancellation.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/optimizer/track_contractions.h"
#include "simplify/loop_test_util.h"

namespace kestovar::test {
namespace {

using namespace looptest;

double Bumps(double x, double y) { return 0.08 * std::sin(7.0 * x) * std::cos(5.0 * y); }
double Flat(double, double) { return 0.0; }

// ---- targets -------------------------------------------------------------------------------------

TEST(OptimizeTarget, RatiosAndCountsOfPointsAndFacesAreReached) {
    const ObjMesh sphere = BumpySphere(3);  // 642 points, 1280 faces, closed
    {
        Engine e(sphere);
        ASSERT_TRUE(e.object->InitOptimization(true));
        const int r = e.object->GetInitialRemovablePointsNumber();
        ASSERT_EQ(r, 642);
        const int removed = e.Optimize(0.25, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS);
        EXPECT_EQ(removed, r - int(0.25 * r));
        EXPECT_EQ(UsedPoints(e), int(0.25 * r));
    }
    {
        Engine e(sphere);
        EXPECT_EQ(e.Optimize(100.0, OPTIMIZE_POINTS), 542);
        EXPECT_EQ(UsedPoints(e), 100);
    }
    {
        // Faces go two by two on a closed surface: the target is reached or passed by one.
        Engine e(sphere);
        const int removed = e.Optimize(0.1, OPTIMIZE_RELATIVE);
        EXPECT_EQ(LiveFaces(e), 1280 - removed);
        EXPECT_LE(LiveFaces(e), 128);
        EXPECT_GE(LiveFaces(e), 127);
    }
    {
        Engine e(sphere);
        e.Optimize(301.0, 0);
        EXPECT_LE(LiveFaces(e), 301);
        EXPECT_GE(LiveFaces(e), 300);
        // The surface stays closed: every point is used and every edge has two faces.
        EXPECT_EQ(UsedPoints(e) * 2 - 4, LiveFaces(e));
    }
}

// Targets no count can express: a ratio that is not a number asks for nothing; infinite and huge
// ones are held within the counts instead of overflowing them (a target above the mesh does
// nothing, one below zero contracts as far as possible).
TEST(OptimizeTarget, RatiosBeyondAnyCountNeitherOverflowNorMoveOnNothing) {
    const ObjMesh sphere = BumpySphere(2);
    const double nan = std::nan("");
    for (unsigned flags : {0u, unsigned(OPTIMIZE_RELATIVE), unsigned(OPTIMIZE_POINTS)}) {
        SCOPED_TRACE(flags);
        Engine none(sphere);
        EXPECT_EQ(none.Optimize(nan, flags), 0);
        EXPECT_EQ(none.Optimize(HUGE_VAL, flags), 0);
        EXPECT_EQ(none.Optimize(1e300, flags), 0);
        Engine all(sphere);
        EXPECT_GT(all.Optimize(-HUGE_VAL, flags), 0);
        EXPECT_LE(all.object->GetCostHeap().GetCount(), 1u);
        Engine most(sphere);
        EXPECT_GT(most.Optimize(-1e300, flags), 0);
        EXPECT_LE(most.object->GetCostHeap().GetCount(), 1u);
    }
}

TEST(OptimizeTarget, RatioZeroContractsAsFarAsPossibleOverTheInitialHeapCount) {
    Engine e(BumpySphere(2));
    e.optimizer.SetProgressCallback([](unsigned, const QuorvaneProgressInfo&, void*) { return false; }, nullptr);
    ASSERT_TRUE(e.object->InitOptimization(false));
    const unsigned candidates = e.object->GetCostHeap().GetCount();
    ASSERT_EQ(candidates, 480u);  // the edges of a closed 320-face surface
    EXPECT_GT(e.Optimize(0.0, OPTIMIZE_RELATIVE), 300);
    EXPECT_EQ(unsigned(e.optimizer.GetProgressInfo().GetMax()), candidates);
    EXPECT_LE(e.object->GetCostHeap().GetCount(), 1u);
    EXPECT_TRUE(e.object->IsExtFlagSet(EXT_OPTIMIZATION_RUN | EXT_OPTIMIZATION_DONE));
}

// ---- repeated runs -------------------------------------------------------------------------------

TEST(OptimizeRepeat, ContinuationEqualsOneRunAndRestartStartsOver) {
    const ObjMesh sphere = BumpySphere(3);
    Engine direct3(sphere), direct5(sphere);
    direct3.Optimize(0.3, OPTIMIZE_RELATIVE);
    direct5.Optimize(0.5, OPTIMIZE_RELATIVE);

    // 0.5 then 0.3 continues where the first run stopped: same mesh as going to 0.3 at once.
    Engine cont(sphere);
    const int first = cont.Optimize(0.5, OPTIMIZE_RELATIVE);
    const int second = cont.Optimize(0.3, OPTIMIZE_RELATIVE);
    EXPECT_GT(second, first);
    EXPECT_TRUE(Take(cont) == Take(direct3));

    // 0.3 then 0.5 needs fewer removals than done: the run restarts from the initial mesh.
    Engine restart(sphere);
    restart.Optimize(0.3, OPTIMIZE_RELATIVE);
    const int back = restart.Optimize(0.5, OPTIMIZE_RELATIVE);
    EXPECT_GT(back, 0);
    EXPECT_TRUE(Take(restart) == Take(direct5));

    // A second restart works as the first.
    Engine direct7(sphere);
    direct7.Optimize(0.7, OPTIMIZE_RELATIVE);
    EXPECT_GT(restart.Optimize(0.7, OPTIMIZE_RELATIVE), 0);
    EXPECT_TRUE(Take(restart) == Take(direct7));

    // The same relative ratio twice: the second call finds nothing to do.
    Engine twice(sphere);
    EXPECT_GT(twice.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    const Snapshot before = Take(twice);
    EXPECT_EQ(twice.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    EXPECT_TRUE(Take(twice) == before);
}

// A restart whose target is the whole initial mesh (an absolute count equal to the removable
// count) removes nothing but still brings the initial mesh back: the invalidation of the restart
// had emptied the working copy, so the object showed no face and its multiresolution form lost it.
TEST(OptimizeRepeat, RestartToTheWholeMeshBringsItBack) {
    const ObjMesh sphere = BumpySphere(2);
    for (unsigned flags : {0u, unsigned(OPTIMIZE_POINTS)}) {
        SCOPED_TRACE(flags);
        Engine e(sphere);
        ASSERT_TRUE(e.object->InitOptimization(true));
        const Snapshot full = Take(e);
        const int whole =
            flags ? e.object->GetInitialRemovablePointsNumber() : e.object->GetInitialRemovableFacesNumber();
        ASSERT_GT(e.Optimize(0.3, OPTIMIZE_RELATIVE | flags), 0);
        EXPECT_EQ(e.Optimize(double(whole), flags), 0);
        EXPECT_EQ(LiveFaces(e), int(sphere.TriangleCount()));
        EXPECT_TRUE(Take(e) == full);
    }
}

// Without the working-copy bit the object is reduced in place, so nothing can bring detail back:
// a target keeping more than is left (relative or absolute) leaves the mesh as it is instead of
// re-preparing the reduced mesh with the full mesh's count to remove (which emptied it), and a
// smaller target still continues.
TEST(OptimizeRepeat, InPlaceObjectsCannotGoBackAndStayAsTheyAre) {
    const ObjMesh sphere = BumpySphere(3);
    for (unsigned flags : {unsigned(OPTIMIZE_RELATIVE), unsigned(OPTIMIZE_RELATIVE | OPTIMIZE_POINTS)}) {
        SCOPED_TRACE(flags);
        Engine e(sphere, 0, false, false, true);
        const int first = e.Optimize(0.3, flags);
        ASSERT_GT(first, 0);
        const int faces = LiveFaces(e);
        const Snapshot reduced = Take(e);
        EXPECT_EQ(e.Optimize(0.5, flags), 0);
        EXPECT_EQ(e.Optimize(double(faces + 10), 0), 0);
        EXPECT_TRUE(Take(e) == reduced);
        EXPECT_GT(e.Optimize(0.2, flags), first);
        EXPECT_LT(LiveFaces(e), faces);
        EXPECT_GT(LiveFaces(e), 0);
    }
}

// ---- constraints on the result ---------------------------------------------------------------------

TEST(OptimizeConstraints, FrozenBorderPointsNeverMove) {
    const ObjMesh grid = Grid(24, Bumps);
    Engine e(grid, OPT_FREEZE_BORDER);
    e.Optimize(0.1, OPTIMIZE_RELATIVE);
    ASSERT_LT(LiveFaces(e), 24 * 24 * 2 / 5);
    int border = 0;
    for (size_t i = 0; i < grid.PointCount(); ++i) {
        const float x = grid.xyz[3 * i], y = grid.xyz[3 * i + 1];
        if (x != 0.0f && x != 1.0f && y != 0.0f && y != 1.0f) continue;
        ++border;
        const C3DTPoint<float>& p = *e.Points().GetPoint(int(i));
        EXPECT_FALSE(p.IsFlagSet(POINT_REMOVED)) << i;
        EXPECT_EQ(p, C3DTPoint<float>(grid.xyz[3 * i], grid.xyz[3 * i + 1], grid.xyz[3 * i + 2])) << i;
    }
    EXPECT_EQ(border, 4 * 24);
}

// Exposes the acceptance tests of the loop.
class ProbeObject : public C3DExtObject {
public:
    using C3DExtObject::C3DExtObject;
    using C3DExtObject::VerifyPairQuality;
};

TEST(OptimizeConstraints, AcceptanceTestsRankCandidates) {
    // A flat 4 x 4 grid over [0, 1]^2; points 6, 7, 8 sit at (0.25, 0.25), (0.5, 0.25), (0.75, 0.25).
    const ObjMesh grid = Grid(4, Flat);
    CSceneOptimizer optimizer;
    optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
    C3DPointList* points = C3DPointList::Create();
    objtest::FillPoints(grid, *points);
    C3DFaceList* faces = C3DFaceList::Create();
    CDependentChannels* channels = CDependentChannels::Create();
    objtest::FillFacesAndChannels(grid, *faces, *channels, false);
    ProbeObject* object = new ProbeObject(points, faces, channels);
    points->Delete();
    faces->Delete();
    channels->Delete();
    object->SetOptimizer(optimizer, nullptr);
    ASSERT_TRUE(object->InitOptimization(false));
    CExtPointList& pts = *object->GetPointList();
    C3DFaceList& work = *object->GetWorkingFaceList();
    CContractionCost rec{};
    auto verify = [&](float x, float y) {
        return object->VerifyPairQuality(pts, work, &rec, 7, 6, C3DTPoint<float>(x, y, 0.0f));
    };
    // Without tests: only the enlarged box (5 % per side) counts.
    EXPECT_EQ(verify(0.4f, 0.25f), PRIORITY_NORMAL);
    EXPECT_EQ(verify(-0.04f, 0.25f), PRIORITY_NORMAL);
    EXPECT_EQ(verify(1.06f, 0.25f), PRIORITY_REJECTED);
    EXPECT_EQ(verify(0.5f, 0.5f), PRIORITY_NORMAL);
    // Flip test: moving the pair left of its left neighbours folds the faces on the right.
    object->SetOptimizeMode(OPT_CHECK_FLIP, true);
    ASSERT_TRUE(object->InitOptimization(false));
    EXPECT_EQ(verify(0.4f, 0.25f), PRIORITY_NORMAL);
    EXPECT_EQ(verify(-0.04f, 0.25f), PRIORITY_REJECTED);
    // Compactness: next to point 8 the faces between 7 and 8 become slivers, not folds.
    EXPECT_EQ(verify(0.74f, 0.25f), PRIORITY_NORMAL);
    object->SetOptimizeMode(OPT_CHECK_COMPACITY, true);
    ASSERT_TRUE(object->InitOptimization(false));
    EXPECT_EQ(verify(0.74f, 0.25f), PRIORITY_POOR);
    EXPECT_EQ(verify(0.4f, 0.25f), PRIORITY_NORMAL);
    EXPECT_EQ(verify(1.06f, 0.25f), PRIORITY_REJECTED);
    object->Delete();
}

// Count of live faces whose normal points downwards (folded over) on a grid seen from +z.
int FoldedFaces(const Engine& e) {
    int folded = 0;
    const C3DTPoint<float>* p = e.Points().GetPoints();
    for (int f = 0; f < e.Faces().GetSize(); ++f) {
        if (!e.Faces().IsFaceLive(unsigned(f))) continue;
        int n;
        const int* i = e.Faces().GetIndexes(unsigned(f), n);
        const double ux = p[i[1]].x - p[i[0]].x, uy = p[i[1]].y - p[i[0]].y;
        const double vx = p[i[2]].x - p[i[0]].x, vy = p[i[2]].y - p[i[0]].y;
        if (ux * vy - uy * vx <= 0.0) ++folded;
    }
    return folded;
}

TEST(OptimizeConstraints, FlipCheckedRunNeverFoldsWhileCandidatesPass) {
    // A flat plate: every cost is 0 and positions tie, the classic way to fold triangles.
    const ObjMesh plate = Grid(30, Flat);
    Engine checked(plate, OPT_FREEZE_BORDER | OPT_CHECK_FLIP);
    checked.Optimize(0.15, OPTIMIZE_RELATIVE);
    EXPECT_LT(LiveFaces(checked), 30 * 30 * 2 / 5);
    EXPECT_EQ(FoldedFaces(checked), 0);

    const ObjMesh bumpy = Grid(30, Bumps);
    Engine checked2(bumpy, OPT_FREEZE_BORDER | OPT_CHECK_FLIP | OPT_CHECK_COMPACITY);
    checked2.Optimize(0.1, OPTIMIZE_RELATIVE);
    EXPECT_EQ(FoldedFaces(checked2), 0);
}

TEST(OptimizeConstraints, CostLimitStopsAtTheFirstDearerCandidate) {
    // Flat plate: all candidates cost 0, so a limit of 0 does not stop the run.
    Engine flat(Grid(12, Flat), OPT_FREEZE_BORDER);
    flat.object->SetConstraintRatio(0.0f);
    EXPECT_GT(flat.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    // A curved closed surface: the first candidate already costs more than 0.
    Engine round(BumpySphere(2));
    round.object->SetConstraintRatio(0.0f);
    EXPECT_EQ(round.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    EXPECT_EQ(LiveFaces(round), 320);
}

TEST(OptimizeConstraints, EveryContractionOfASymmetricModelIsFollowedByItsMirror) {
    const ObjMesh sphere = BumpySphere(3);  // symmetric across x = 0, the middle of its box
    Engine e(sphere, OPT_SYMMETRY_X, false, true);
    ASSERT_NE(e.object->GetOptimizeMode() & OPT_SYMMETRY_X, 0u);
    e.Optimize(0.2, OPTIMIZE_RELATIVE);
    const C3DPointSymetryMap* map = e.object->GetInitialSymetryMap();
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(map->GetCount(), 642);
    const CTrackContractions* track = e.object->GetTrackInfo();
    ASSERT_NE(track, nullptr);
    // A contraction is mirrored unless its removed point lies on the plane, its edge is its own
    // mirror, or the mirror edge is gone: a contraction that removes a point of the plane is not
    // mirrored, so the two sides can differ from then on, and a mirror point may already have
    // been removed. The mirror comes next.
    int mirrored = 0, mirroredBefore = 0;
    std::vector<bool> removed(642, false);
    const unsigned n = track->GetContractionCount();
    for (unsigned i = 0; i < n; ++i) {
        int r, k;
        track->GetContraction(i)->GetEdgeContraction(r, k);
        const int pr = map->GetPartner(r), pk = map->GetPartner(k);
        const bool mirrorGone = removed[size_t(pr)] || removed[size_t(pk)];
        removed[size_t(r)] = true;
        if (pr == r || pr == k || mirrorGone) continue;
        ASSERT_LT(i + 1, n) << "contraction " << i << " has no mirror";
        int r2, k2;
        track->GetContraction(i + 1)->GetEdgeContraction(r2, k2);
        EXPECT_EQ(r2, pr) << i;
        EXPECT_EQ(k2, pk) << i;
        const float* a = track->GetContraction(i)->GetPoint();
        const float* b = track->GetContraction(i + 1)->GetPoint();
        // Kept points match unless an unmirrored contraction (a plane point removed) moved one.
        if (pk != k && std::fabs(a[0] + b[0]) < 1e-5f && a[1] == b[1] && a[2] == b[2]) ++mirroredBefore;
        if (pk == k) ++mirroredBefore;
        ++mirrored;
        ++i;
        removed[size_t(r2)] = true;
    }
    EXPECT_GT(mirrored, 200);
    EXPECT_GT(mirroredBefore, mirrored * 9 / 10);
}

// Freezing need not be symmetric: here an excluded material freezes a patch on one side only, so
// mirrors of contractions on the free side keep frozen points. Those stay where they are.
TEST(OptimizeConstraints, MirrorContractionsLeaveFrozenPointsInPlace) {
    ObjMesh sphere = BumpySphere(3);
    sphere.materialNames = {"free", "excluded"};
    for (size_t f = 0; f < sphere.TriangleCount(); ++f) {
        bool patch = true;
        for (int k = 0; k < 3; ++k) {
            const float* p = &sphere.xyz[3 * size_t(sphere.tris[3 * f + size_t(k)])];
            patch = patch && p[0] > 0.2f && p[1] > 0.0f;
        }
        sphere.material[f] = patch ? 1u : 0u;
    }
    Engine e(sphere, OPT_SYMMETRY_X, false, true);
    e.object->SelectMaterial(2, false);
    e.Optimize(0.2, OPTIMIZE_RELATIVE);
    const C3DTPoint<float>* pts = e.Points().GetPoints();
    int frozen = 0, mirroredOntoFrozen = 0;
    for (size_t p = 0; p < sphere.PointCount(); ++p) {
        if (pts[p].IsFlagSet(POINT_SELECTED)) continue;
        ++frozen;
        EXPECT_FALSE(pts[p].IsFlagSet(POINT_REMOVED)) << p;
        EXPECT_TRUE(pts[p].x == sphere.xyz[3 * p] && pts[p].y == sphere.xyz[3 * p + 1] &&
                    pts[p].z == sphere.xyz[3 * p + 2])
            << p;
    }
    // The case arises: some contraction keeps a frozen point whose mirror kept point is free.
    const C3DPointSymetryMap* map = e.object->GetInitialSymetryMap();
    const CTrackContractions* track = e.object->GetTrackInfo();
    for (unsigned i = 0; i < track->GetContractionCount(); ++i) {
        int r, k;
        track->GetContraction(i)->GetEdgeContraction(r, k);
        const int pk = map->GetPartner(k);
        if (pk >= 0 && !pts[k].IsFlagSet(POINT_SELECTED) && pts[pk].IsFlagSet(POINT_SELECTED))
            ++mirroredOntoFrozen;
    }
    EXPECT_GT(frozen, 20);
    EXPECT_GT(mirroredOntoFrozen, 0);
}

// Two flat five-pointed stars, each fanned from its centre, their rims frozen: the only
// candidates move a centre onto a rim point, and from every rim point some remaining triangle of
// its star folds over.
ObjMesh TwoStars() {
    ObjMesh m;
    for (int s = 0; s < 2; ++s) {
        const int c = AddPoint(m, 3.0 * s, 0, 0);
        for (int i = 0; i < 10; ++i) {
            const double a = i * 3.14159265358979 / 5.0, r = (i % 2) ? 0.25 : 1.0;
            AddPoint(m, 3.0 * s + r * std::cos(a), r * std::sin(a), 0);
        }
        for (int i = 0; i < 10; ++i) AddTriangle(m, c, c + 1 + i, c + 1 + (i + 1) % 10);
    }
    return m;
}

TEST(OptimizeConstraints, OnlyFoldingCandidatesLeftStopOrAreForced) {
    // The first selection tests every candidate but the last one popped, which is taken untested;
    // the second selection finds only rejected candidates: the stop ends the run there...
    Engine stop(TwoStars(), OPT_FREEZE_BORDER | OPT_CHECK_FLIP | OPT_STOP_ON_BAD);
    EXPECT_EQ(stop.Optimize(0.0, OPTIMIZE_RELATIVE), 2);
    EXPECT_EQ(LiveFaces(stop), 18);
    EXPECT_EQ(stop.object->GetCostHeap().GetCount(), 0u);
    EXPECT_EQ(stop.object->GetPairIndex().GetCount(), 0);
    // ...while without it the last resort folds the second star too.
    Engine forced(TwoStars(), OPT_FREEZE_BORDER | OPT_CHECK_FLIP);
    EXPECT_EQ(forced.Optimize(0.0, OPTIMIZE_RELATIVE), 4);
    EXPECT_EQ(LiveFaces(forced), 16);
}

// ---- recording ---------------------------------------------------------------------------------------

// Played up and down, a recorded run gives back the working copy bit for bit (with texture
// coordinates and specified normals): RecordPlayback in the optimiser tests, on the spider.

// Normal corners (index per face corner) and the normal vectors.
struct NormalState {
    std::vector<int> corners;
    std::vector<float> values;
};

NormalState TakeNormals(const Engine& e) {
    NormalState s;
    CNormalFaceList* nf = nullptr;
    C3DVectorList* nv = nullptr;
    e.object->GetWorkingChannels()->GetSpecNormalChannel(nf, nv);
    for (int f = 0; f < e.Faces().GetSize(); ++f) {
        if (!e.Faces().IsFaceLive(unsigned(f))) continue;
        int n;
        const int* idx = nf->GetIndexes(unsigned(f), n);
        s.corners.insert(s.corners.end(), idx, idx + n);
    }
    for (int i = 0; i < nv->GetSize(); ++i)
        s.values.insert(s.values.end(), {nv->GetVector(i)->x, nv->GetVector(i)->y, nv->GetVector(i)->z});
    return s;
}

TEST(OptimizeRecord, SpecifiedNormalsStayUnitAndPlayBack) {
    // Radial normals, one per point, with a second copy on the faces of the upper cap so that
    // the cap's rim is a normal break of 90 degrees.
    const ObjMesh sphere = BumpySphere(3);
    Engine e(sphere, 0, false, true);
    CSpecNormalChannel* channel = new CSpecNormalChannel;
    C3DVectorList* nv = channel->GetNormalVectorList();
    const int np = int(sphere.PointCount());
    for (int copy = 0; copy < 2; ++copy) {
        for (int i = 0; i < np; ++i) {
            const double x = sphere.xyz[3 * size_t(i)], y = sphere.xyz[3 * size_t(i) + 1], z = sphere.xyz[3 * size_t(i) + 2];
            const double l = std::sqrt(x * x + y * y + z * z);
            if (copy == 0)
                nv->Add(float(x / l), float(y / l), float(z / l));
            else
                nv->Add(0.0f, 0.0f, 1.0f);
        }
    }
    CNormalFaceList* nf = channel->GetNormalFaceList();
    nf->SetSize(int(sphere.TriangleCount()), 3, SETSIZE_COMPACT_EXACT);
    for (size_t f = 0; f < sphere.TriangleCount(); ++f) {
        const int* t = &sphere.tris[3 * f];
        const bool cap = sphere.xyz[3 * size_t(t[0]) + 2] > 0.6f && sphere.xyz[3 * size_t(t[1]) + 2] > 0.6f &&
                         sphere.xyz[3 * size_t(t[2]) + 2] > 0.6f;
        const int idx[3] = {t[0] + (cap ? np : 0), t[1] + (cap ? np : 0), t[2] + (cap ? np : 0)};
        CFace view;
        nf->GetFace(unsigned(f), view);
        view.SetIndexes(idx, 3);
    }
    e.object->GetInitialChannels()->AddChannel(channel);
    ASSERT_TRUE(e.object->SetOptimizeMode(OPT_KEEP_NORMALS, true));
    ASSERT_TRUE(e.object->InitOptimization(false));
    const Snapshot initial = Take(e);
    const NormalState initialNormals = TakeNormals(e);
    ASSERT_GT(e.Optimize(0.2, OPTIMIZE_RELATIVE), 0);
    const NormalState reducedNormals = TakeNormals(e);

    // Every live corner names a unit normal; cap corners keep the cap's normal (the break is
    // sharp, so those normals are never interpolated with radial ones).
    const NormalState now = TakeNormals(e);
    for (int c : now.corners) {
        ASSERT_GE(c, 0);
        ASSERT_LT(c, 2 * np);
        const double x = now.values[3 * size_t(c)], y = now.values[3 * size_t(c) + 1], z = now.values[3 * size_t(c) + 2];
        EXPECT_NEAR(x * x + y * y + z * z, 1.0, 1e-5);
        if (c >= np) {
            EXPECT_EQ(x, 0.0);
            EXPECT_EQ(z, 1.0);
        }
    }
    EXPECT_NE(reducedNormals.values, initialNormals.values);  // interpolated along edges

    CTrackContractions* track = e.object->GetTrackInfo();
    int points = UsedPoints(e), faces = LiveFaces(e);
    for (unsigned i = track->GetContractionCount(); i-- > 0;)
        track->PlayContraction(i, true, e.Points(), e.Faces(), e.object->GetWorkingChannels(), points, faces);
    EXPECT_EQ(Take(e).faces, initial.faces);
    const NormalState up = TakeNormals(e);
    EXPECT_EQ(up.corners, initialNormals.corners);
    EXPECT_EQ(up.values, initialNormals.values);
}

// ---- determinism and cancellation -------------------------------------------------------------------

TEST(OptimizeRun, SameInputGivesBitIdenticalOutputWhateverTheThreadCount) {
    const ObjMesh sphere = BumpySphere(4);
    const int threads = OMPGetMaxThreadCount();
    Snapshot a, b, c;
    {
        Engine e(sphere, OPT_CHECK_FLIP);
        e.Optimize(0.05, OPTIMIZE_RELATIVE);
        a = Take(e);
    }
    {
        Engine e(sphere, OPT_CHECK_FLIP);
        e.Optimize(0.05, OPTIMIZE_RELATIVE);
        b = Take(e);
    }
    OMPSetMaxThreadCount(threads == 1 ? 2 : 1);
    {
        Engine e(sphere, OPT_CHECK_FLIP);
        e.Optimize(0.05, OPTIMIZE_RELATIVE);
        c = Take(e);
    }
    OMPSetMaxThreadCount(threads);
    EXPECT_FALSE(a.faces.empty());
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a == c);
}

// Cancels at the first cancel query after the loop reported progress (the preparation's queries
// come before any progress position).
bool CancelInLoop(unsigned int event, const QuorvaneProgressInfo& info, void* user) {
    if (!(event & OPTPROGRESS_CANCEL_QUERY) || info.GetPos() == 0) return false;
    ++*static_cast<int*>(user);
    return true;
}

TEST(OptimizeRun, CancellationReturnsZeroAndTheNextRunStartsFromTheInitialMesh) {
    const ObjMesh sphere = BumpySphere(5);  // 20480 faces: more than one progress step of removals
    Engine e(sphere);
    int queries = 0;
    e.optimizer.SetProgressCallback(CancelInLoop, &queries);
    bool cancelled = false;
    EXPECT_EQ(e.Optimize(0.1, OPTIMIZE_RELATIVE, &cancelled), 0);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(queries, 1);
    EXPECT_FALSE(e.object->IsExtFlagSet(EXT_OPTIMIZATION_DONE));
    EXPECT_EQ(e.object->GetTrackInfo(), nullptr);

    e.optimizer.SetProgressCallback(nullptr, nullptr);
    const int removed = e.Optimize(0.1, OPTIMIZE_RELATIVE, &cancelled);
    EXPECT_FALSE(cancelled);
    Engine fresh(sphere);
    EXPECT_EQ(removed, fresh.Optimize(0.1, OPTIMIZE_RELATIVE));
    EXPECT_TRUE(Take(e) == Take(fresh));
}

// A flat star polygon of `corners` corners (every other one on the inner circle), triangulated
// by the library: ear clipping leaves long triangles around a few points of high valence.
ObjMesh TriangulatedStar(int corners) {
    std::vector<float> xyz;
    for (int i = 0; i < corners; ++i) {
        const double a = 2.0 * std::numbers::pi * i / corners, r = i % 2 ? 0.5 : 1.0;
        xyz.insert(xyz.end(), {float(r * std::cos(a)), float(r * std::sin(a)), 0.0f});
    }
    const int first[] = {0, 1, 2};
    XHeld<C3DObject> polygon(CreateObjectFromArrays(xyz.data(), unsigned(xyz.size() * sizeof(float)), first,
                                                    sizeof(first), nullptr, 0));
    const unsigned count = unsigned(corners);
    polygon->GetFaceList()->SetSize(1, &count);
    int k = 0;
    int* idx = polygon->GetFaceList()->GetIndexes(0, k);
    for (int i = 0; i < k; ++i) idx[i] = i;
    EXPECT_TRUE(polygon->Triangulate(0, _FACE_PROPERTIES(0), true));
    ObjMesh star;
    star.xyz = xyz;
    const C3DFaceList& faces = *polygon->GetFaceList();
    for (int f = 0; f < faces.GetSize(); ++f) {
        const int* t = faces.GetIndexes(unsigned(f), k);
        if (k == 3) star.tris.insert(star.tris.end(), {t[0], t[1], t[2]});
    }
    return star;
}

// Counts the cancel queries of the loop that come before its end and cancels at the first.
bool CancelBeforeTheEnd(unsigned int event, const QuorvaneProgressInfo& info, void* user) {
    if (!(event & OPTPROGRESS_CANCEL_QUERY) || info.GetMax() <= info.GetMin() ||
        info.GetPos() >= info.GetMax())
        return false;
    ++*static_cast<int*>(user);
    return true;
}

// Once every candidate left fails the flip test, each contraction tests them all again: a host
// asking to cancel is answered during such a stretch, not only every so many removals.
TEST(OptimizeRun, ALongStretchOfRejectedCandidatesAnswersACancel) {
    Engine e(TriangulatedStar(4000), OPT_CONSTRAIN_BORDER | OPT_CHECK_FLIP);
    int queries = 0;
    e.optimizer.SetProgressCallback(CancelBeforeTheEnd, &queries);
    bool cancelled = false;
    EXPECT_EQ(e.Optimize(0.0, OPTIMIZE_RELATIVE, &cancelled), 0);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(queries, 1);
}

}  // namespace
}  // namespace kestovar::test
