// The scene optimiser over a whole scene: scene ownership, the settings broadcast with its
// events and initialisation lock, progressive thresholds, the predictive ratio, and Optimize on a
// multi-object scene (thread-count independence, cancellation from the callback).
#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kestovar/core/thread_registry.h"
#include "kestovar/optimizer/object_creator.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/scene/scene.h"
#include "kestovar/scene/scene_node.h"
#include "reduce_road.h"
#include "simplify/loop_test_util.h"

namespace kestovar::test {
namespace {

C3DObject* Sphere(int level, float shift = 0.0f) {
    auto m = looptest::BumpySphere(level);
    for (size_t i = 0; i < m.xyz.size(); i += 3) m.xyz[i] += shift;
    return CreateObjectFromArrays(m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(),
                                  unsigned(m.tris.size() * 4), nullptr, 0);
}

// A scene of spheres of the given subdivision levels, converted to contraction-ready objects.
C3DScene* SphereScene(std::initializer_list<int> levels) {
    C3DScene* scene = C3DScene::Create();
    int i = 0;
    for (int level : levels) scene->CreateNode(nullptr, L"s", Sphere(level, float(3 * i++)));
    C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
    scene->ConvertToType(creator);
    return scene;
}

std::vector<C3DExtObject*> ExtObjects(C3DScene* scene) {
    std::vector<C3DExtObject*> out;
    for (C3DNodePos pos = scene->GetFirstNode(7, WALK_SHARED_ONCE); pos;) {
        C3DBaseObject* object = nullptr;
        scene->GetNextNode(pos, object);
        if (auto* ext = dynamic_cast<C3DExtObject*>(object)) out.push_back(ext);
    }
    return out;
}

// Bit patterns of the live working points and the corners of the live working faces.
std::vector<uint32_t> Working(C3DExtObject* o) {
    std::vector<uint32_t> out;
    const CExtPointList& pts = *o->GetPointList();
    for (int i = 0; i < pts.GetSize(); ++i) {
        const C3DTPoint<float>& p = *pts.GetPoint(i);
        if (p.IsFlagSet(POINT_REMOVED)) continue;
        uint32_t b[3];
        std::memcpy(b, &p.x, 12);
        out.insert(out.end(), b, b + 3);
    }
    out.push_back(0xFFFFFFFFu);
    const C3DFaceList& f = *o->GetWorkingFaceList();
    for (int i = 0; i < f.GetSize(); ++i) {
        if (!f.IsFaceLive(unsigned(i))) continue;
        int n;
        const int* idx = f.GetIndexes(unsigned(i), n);
        out.insert(out.end(), idx, idx + n);
    }
    return out;
}

std::vector<float> Coordinates(const C3DPointList& pts) {
    std::vector<float> out;
    for (int i = 0; i < pts.GetSize(); ++i) out.insert(out.end(), {pts[i]->x, pts[i]->y, pts[i]->z});
    return out;
}

struct Recorder {
    std::vector<unsigned> events;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> positions{0};
    int cancelAfter = -1;  // answer cancel queries once this many position events were seen
};

bool RecordEvent(unsigned event, const QuorvaneProgressInfo&, void* user) {
    auto* r = static_cast<Recorder*>(user);
    if (r->inside.fetch_add(1) != 0) r->overlapped = true;
    r->events.push_back(event);
    if (event & OPTPROGRESS_POS) ++r->positions;
    const bool cancel = (event & OPTPROGRESS_CANCEL_QUERY) && r->cancelAfter >= 0 && r->positions >= r->cancelAfter;
    r->inside.fetch_sub(1);
    return cancel;
}

int Count(const std::vector<unsigned>& events, unsigned code) {
    int n = 0;
    for (unsigned e : events) n += e == code;
    return n;
}

TEST(SceneOptimizerScene, OwnershipFollowsSetScene) {
    CSceneOptimizer opt;
    C3DScene* first = SphereScene({1});
    C3DScene* second = SphereScene({1});
    first->AddRef();  // watch it: the count tells whether the optimiser released it
    opt.SetScene(*first, true);
    EXPECT_TRUE(opt.OptimizerHandleDeletion());
    EXPECT_EQ(ExtObjects(first)[0]->GetOptimizer(), &opt);
    opt.SetScene(*first, false);  // same scene: nothing changes
    EXPECT_FALSE(opt.IsNewScene());
    EXPECT_TRUE(opt.OptimizerHandleDeletion());

    opt.SetScene(*second, false);  // replaces an owned scene: it is released
    EXPECT_TRUE(opt.IsNewScene());
    EXPECT_FALSE(opt.OptimizerHandleDeletion());
    EXPECT_EQ(first->AddRef(), 2);  // our watch reference and this one
    first->Delete();
    first->Delete();

    second->AddRef();
    opt.DeleteScene();  // not owned: forgotten only
    EXPECT_EQ(opt.GetSourceScene(), nullptr);
    EXPECT_EQ(second->AddRef(), 3);
    second->Delete();
    opt.SetScene(*second, true);
    EXPECT_EQ(opt.DetachScene(), second);  // never deletes
    EXPECT_EQ(second->AddRef(), 3);
    second->Delete();
    second->Delete();
    second->Delete();

    EXPECT_EQ(opt.GetScene(GETSCENE_MULTIRES), nullptr);  // no scene left
}

TEST(SceneOptimizerScene, SettingsReachEveryObjectAndTheLockSilencesEvents) {
    CSceneOptimizer opt;
    Recorder rec;
    opt.SetProgressCallback(RecordEvent, &rec);
    C3DScene* scene = SphereScene({1, 2});
    opt.SetScene(*scene, true);

    EXPECT_TRUE(opt.SetOptimizeMode(OPT_KEEP_BORDER, true));
    EXPECT_EQ(opt.GetProgressInfo().GetState(), QuorvaneProgressInfo::STATE_SETTINGS);
    // Begin and end frame the objects' re-preparation (which asks for cancellation).
    ASSERT_GE(rec.events.size(), 2u);
    EXPECT_EQ(rec.events.front(), 0x811u);
    EXPECT_EQ(rec.events.back(), 0x21u);
    EXPECT_EQ(Count(rec.events, 0x42) + 2, int(rec.events.size()));
    EXPECT_FALSE(opt.SetOptimizeMode(OPT_KEEP_BORDER, true));  // nothing changed
    for (C3DExtObject* o : ExtObjects(scene)) EXPECT_TRUE(o->GetOptimizeMode() & OPT_KEEP_BORDER);
    EXPECT_TRUE(opt.GetOptimizeMode() & OPT_KEEP_BORDER);
    EXPECT_TRUE(opt.SetOptimizeMode(nullptr, OPT_CHECK_FLIP, true));  // parallel form
    for (C3DExtObject* o : ExtObjects(scene)) EXPECT_TRUE(o->GetOptimizeMode() & OPT_CHECK_FLIP);
    EXPECT_TRUE(opt.SetConstraintRatio(0.25f));
    EXPECT_EQ(opt.GetConstraintRatio(), 0.25f);

    // Nested locks: no settings events until the outermost unlock has run.
    rec.events.clear();
    opt.LockInitialization();
    opt.LockInitialization();
    EXPECT_EQ(opt.GetInitializationLockCount(), 2);
    opt.SetSymetryTolerance(0.5f);
    opt.SelectMaterial(nullptr, 3, false);
    opt.ShowInformation(true, 365);
    opt.UnlockInitialization();
    EXPECT_EQ(opt.GetInitializationLockCount(), 1);
    EXPECT_TRUE(rec.events.empty());
    opt.UnlockInitialization();
    EXPECT_EQ(opt.GetInitializationLockCount(), 0);
    // Unlocking runs inside its own lock: only the objects' cancel queries of their preparation.
    EXPECT_EQ(Count(rec.events, 0x811) + Count(rec.events, 0x21), 0);
    EXPECT_EQ(opt.GetSymetryTolerance(), 0.5f);
    opt.SetProgressCallback(nullptr, nullptr);
}

TEST(SceneOptimizerScene, UnlockGivesSmallerObjectsProgressiveThresholds) {
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_PROGRESSIVE_RATIO, true);
    C3DScene* scene = SphereScene({3, 1, 2});
    opt.SetScene(*scene, true);
    opt.LockInitialization();
    opt.SetOptimizeMode(OPT_CHECK_FLIP, true);  // prepared objects know their removable points
    opt.UnlockInitialization();
    const auto objects = ExtObjects(scene);
    const int largest = objects[0]->GetInitialRemovablePointsNumber();
    ASSERT_GT(largest, objects[2]->GetInitialRemovablePointsNumber());
    const double before = objects[0]->GetProgressiveThreshold();
    for (int i : {1, 2})
        EXPECT_DOUBLE_EQ(objects[size_t(i)]->GetProgressiveThreshold(),
                         CSceneOptimizer::ComputeProgressiveThreshold(
                             objects[size_t(i)]->GetInitialRemovablePointsNumber(), largest));
    EXPECT_EQ(objects[0]->GetProgressiveThreshold(), before);  // the largest keeps its own
    EXPECT_LT(objects[1]->GetProgressiveThreshold(), objects[2]->GetProgressiveThreshold());
}

TEST(SceneOptimizerScene, DefaultPredictiveRatioFromSizeAndBorders) {
    EXPECT_EQ(CSceneOptimizer::DefaultPredictiveRatio(nullptr), 1.0);
    C3DObject* tiny = Sphere(0);  // 12 points
    EXPECT_EQ(CSceneOptimizer::DefaultPredictiveRatio(tiny), 1.0);
    tiny->Delete();
    // Closed spheres have no border: 0.15, then the square root below 1000 points.
    C3DObject* medium = Sphere(3);  // 642 points
    const unsigned flagsBefore = medium->GetPointList()->GetPointFlags(0);
    EXPECT_DOUBLE_EQ(CSceneOptimizer::DefaultPredictiveRatio(medium), std::sqrt(0.15));
    EXPECT_EQ(medium->GetPointList()->GetPointFlags(0), flagsBefore);  // measured on a copy
    medium->Delete();
    C3DObject* large = Sphere(4);  // 2562 points
    EXPECT_DOUBLE_EQ(CSceneOptimizer::DefaultPredictiveRatio(large), 0.15);
    CSceneOptimizer opt;
    opt.SetPredictiveRatioHook([](C3DObject*) { return 0.5; });
    EXPECT_EQ(opt.ComputePredictiveRatio(large), 0.5);
    EXPECT_EQ(opt.ComputePredictiveRatio(nullptr), 1.0);
    large->Delete();
}

// The scene's readers combine the objects' values: tolerances from the first object that sets
// one, counts summed over the objects (a shared object once), the symmetric pairs over every
// placement, the channel queries true when one object has the channel.
TEST(SceneOptimizerScene, ReadersCombineTheObjectsValues) {
    CSceneOptimizer opt;
    C3DScene* scene = C3DScene::Create();
    scene->CreateNode(nullptr, L"sphere", Sphere(2));
    C3DScene* spider = road::ReadObjText(road::FileText(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj"));
    ASSERT_NE(spider, nullptr);
    C3DNodePos pos = spider->GetFirstNode(OBJECT_POLYMESH, WALK_SHARED_ONCE);
    C3DBaseObject* leg = nullptr;
    spider->GetNextNode(pos, leg);
    ASSERT_NE(leg, nullptr);
    leg->AddRef();
    scene->CreateNode(nullptr, L"leg", leg);  // textured, with a material
    spider->Delete();
    C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
    scene->ConvertToType(creator);
    opt.SetScene(*scene, true);
    const auto objects = ExtObjects(scene);
    ASSERT_EQ(objects.size(), 2u);
    objects[0]->AddRef();
    scene->CreateNode(nullptr, L"again", objects[0]);  // the sphere placed twice

    EXPECT_EQ(opt.GetUVWTolerance(), 0.0f);  // no object keeps texture coordinates
    objects[1]->SetOptimizeMode(OPT_KEEP_UVW, true);
    objects[1]->SetUVWTolerance(0.25f);
    EXPECT_EQ(objects[0]->GetUVWTolerance(), -1.0f);
    EXPECT_EQ(opt.GetUVWTolerance(), 0.25f);  // the sphere's is unset: the leg's counts
    EXPECT_TRUE(opt.ContainUVWInfo());
    EXPECT_FALSE(objects[0]->ContainUVWInfo());

    opt.SetOptimizeMode(OPT_CHECK_FLIP | OPT_SYMMETRY_X, true);
    const int faces = objects[0]->GetInitialRemovableFacesNumber() + objects[1]->GetInitialRemovableFacesNumber();
    EXPECT_GT(objects[0]->GetInitialRemovableFacesNumber(), 0);
    EXPECT_EQ(opt.GetInitialRemovableFacesNumber(), faces);
    EXPECT_EQ(opt.GetInitialRemovableElementNumber(false), faces);
    EXPECT_EQ(opt.GetInitialRemovableElementNumber(true),
              objects[0]->GetInitialRemovablePointsNumber() + objects[1]->GetInitialRemovablePointsNumber());
    const int pairs0 = objects[0]->GetSymetricPairsNumber(), pairs1 = objects[1]->GetSymetricPairsNumber();
    EXPECT_GT(pairs0, 0);
    EXPECT_EQ(opt.GetSymetricPairsNumber(), 2 * pairs0 + pairs1);

    bool cancelled = false;
    opt.Optimize(0.5, cancelled, 0x21);
    const int removed = objects[0]->GetRemovedFacesNumber() + objects[1]->GetRemovedFacesNumber();
    EXPECT_GT(objects[0]->GetRemovedFacesNumber(), 0);
    EXPECT_GT(objects[1]->GetRemovedFacesNumber(), 0);
    EXPECT_EQ(opt.GetRemovedFacesNumber(), removed);
    EXPECT_EQ(opt.GetRemovedElementNumber(false), removed);
}

// A predictive run keeps, in each object, the predicted share of its removable points (the
// default from its size and borders, or the host's hook), as an absolute point count: a second
// run with a larger share starts again from the initial mesh.
TEST(SceneOptimizerScene, PredictiveRunKeepsEachObjectsPredictedShareOfPoints) {
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
    C3DScene* scene = SphereScene({1, 3});
    opt.SetScene(*scene, true);
    opt.SetOptimizeMode(OPT_CHECK_FLIP, true);
    const std::vector<C3DExtObject*> objects = ExtObjects(scene);
    ASSERT_EQ(objects.size(), 2u);
    for (bool hook : {false, true}) {
        SCOPED_TRACE(hook ? "hook" : "default");
        if (hook) opt.SetPredictiveRatioHook([](C3DObject*) { return 0.25; });
        bool cancelled = false;
        const int removed = opt.Optimize(1.0, cancelled, OPTIMIZE_PREDICTIVE);
        EXPECT_FALSE(cancelled);
        int sum = 0;
        for (C3DExtObject* o : objects) {
            const double share = opt.ComputePredictiveRatio(o);
            EXPECT_LT(share, 1.0);
            const int removable = o->GetInitialRemovablePointsNumber();
            EXPECT_EQ(o->GetRemovedPointsNumber(), removable - int(share * removable));
            sum += o->GetRemovedPointsNumber();
        }
        EXPECT_EQ(removed, sum);
    }
}

// Editing the attached source scene: while the modification is open the objects show their
// initial lists; converting re-prepares the edited object from its edited points and attaches a
// new object with the modes of its contraction-ready parent; cancelling closes the modification
// without a re-preparation.
TEST(SceneOptimizerScene, EditingTheSourceSceneReachesTheNextReduction) {
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
    C3DScene* scene = SphereScene({2});
    opt.SetScene(*scene, true);
    opt.SetOptimizeMode(OPT_CHECK_FLIP | OPT_KEEP_BORDER, true);
    C3DExtObject* sphere = ExtObjects(scene)[0];
    bool cancelled = false;
    opt.Optimize(0.5, cancelled, 0x21);
    ASSERT_GT(sphere->GetRemovedFacesNumber(), 0);
    sphere->PrepareDisplayedObject(true);
    ASSERT_NE(sphere->GetShownPointList(), sphere->GetInitialPointList());

    opt.ModifyScene(MODIFY_SCENE_BEGIN);
    sphere->PrepareDisplayedObject(true);
    EXPECT_EQ(sphere->GetShownPointList(), sphere->GetInitialPointList());  // the host edits these
    opt.ModifyScene(MODIFY_SCENE_CANCEL);
    sphere->PrepareDisplayedObject(true);
    EXPECT_NE(sphere->GetShownPointList(), sphere->GetInitialPointList());
    EXPECT_GT(sphere->GetRemovedFacesNumber(), 0);  // cancelling kept the reduction

    opt.ModifyScene(MODIFY_SCENE_BEGIN);
    C3DPointList& initial = *sphere->GetInitialPointList();
    for (int i = 0; i < initial.GetSize(); ++i) initial[i]->x += 10.0f;
    scene->CreateNode(sphere->GetNode(), L"child", Sphere(1, -10.0f));
    opt.ModifyScene(MODIFY_SCENE_CONVERT);

    const auto objects = ExtObjects(scene);
    ASSERT_EQ(objects.size(), 2u);
    C3DExtObject* child = objects[0] == sphere ? objects[1] : objects[0];
    EXPECT_EQ(child->GetOptimizer(), &opt);
    EXPECT_EQ(child->GetOptimizeMode(), sphere->GetOptimizeMode());
    opt.Optimize(0.5, cancelled, 0x21);
    EXPECT_FALSE(cancelled);
    EXPECT_GT(child->GetRemovedFacesNumber(), 0);
    // The edited sphere was reduced again from its moved points.
    const CExtPointList& working = *sphere->GetPointList();
    int live = 0, moved = 0;
    for (int i = 0; i < working.GetSize(); ++i) {
        const C3DTPoint<float>& p = *working.GetPoint(i);
        if (p.IsFlagSet(POINT_REMOVED)) continue;
        ++live;
        moved += p.x > 8.0f;
    }
    EXPECT_GT(live, 0);
    EXPECT_EQ(moved, live);
    EXPECT_GT(sphere->GetRemovedFacesNumber(), 0);
}

// Optimises a fresh scene with `threads` workers; returns every object's working mesh.
std::vector<std::vector<uint32_t>> OptimizeWith(int threads, int& total) {
    const int saved = OMPGetMaxThreadCount();
    CSceneOptimizer opt;
    // The optimiser's thread count is the library's: every parallel loop of the run follows it.
    opt.SetMaxThreadCount(unsigned(threads));
    EXPECT_EQ(int(opt.GetMaxThreadCount()), OMPGetMaxThreadCount());
    if (threads == 1) {
        EXPECT_EQ(opt.GetMaxThreadCount(), 1u);
        // A count past INT_MAX is "as many as there can be", not a negative one.
        opt.SetMaxThreadCount(UINT_MAX);
        EXPECT_EQ(int(opt.GetMaxThreadCount()), omp_get_max_threads());
        opt.SetMaxThreadCount(1);
    }
    opt.SetFlags(SCENEOPTIMIZER_WORKING_COPY | SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    Recorder rec;
    opt.SetProgressCallback(RecordEvent, &rec);
    C3DScene* scene = SphereScene({3, 2, 3, 1});
    opt.SetScene(*scene, true);
    bool cancelled = true;
    total = opt.Optimize(0.1, cancelled, 0x21);
    EXPECT_FALSE(cancelled);
    EXPECT_FALSE(rec.overlapped);
    EXPECT_EQ(rec.events.front(), 0x12u);
    EXPECT_EQ(rec.events.back(), 0x22u);
    EXPECT_EQ(Count(rec.events, 0x102), 1);
    EXPECT_EQ(opt.GetProgressInfo().GetState(), QuorvaneProgressInfo::STATE_OPTIMIZING);
    EXPECT_EQ(opt.GetProgressInfo().GetMeshCount(), 4);
    std::vector<std::vector<uint32_t>> out;
    for (C3DExtObject* o : ExtObjects(scene)) out.push_back(Working(o));
    EXPECT_EQ(opt.GetRemovedPointsNumber(), total);
    OMPSetMaxThreadCount(saved);
    return out;
}

// A contraction removes two faces, so the last one can pass a target that leaves an odd number to
// remove: the position still stops at the end of the announced range.
TEST(SceneOptimizerRun, ProgressStopsAtTheEndOfItsRange) {
    for (const double ratio : {0.503125, 0.3, 0.5}) {
        CSceneOptimizer opt;
        std::unique_ptr<C3DScene> scene(SphereScene({2}));
        opt.SetScene(*scene, false);
        struct Highest {
            int position = 0, maximum = 0, above = 0;
        } highest;
        opt.SetProgressCallback(
            [](unsigned event, const QuorvaneProgressInfo& info, void* user) {
                auto* h = static_cast<Highest*>(user);
                if (!(event & OPTPROGRESS_POS)) return false;
                h->position = std::max(h->position, info.GetPos());
                h->maximum = info.GetMax();
                h->above += info.GetPos() > info.GetMax();
                return false;
            },
            &highest);
        bool cancelled = false;
        EXPECT_GT(opt.Optimize(ratio, cancelled, OPTIMIZE_RELATIVE), 0);
        EXPECT_EQ(highest.above, 0) << ratio;
        EXPECT_EQ(highest.position, highest.maximum) << ratio;
        opt.DetachScene();
    }
}

// A list the host gives an attached object (SetFaceList) is its new mesh, in place and with a
// working copy: the next run reduces it, the multiresolution scene is built from it, and a reset
// and the runs after it go on (they used to find corners of the old faces outside the points).
// A recorded sphere reduced to half its faces, showing its initial mesh (the reduced one in place).
struct HalvedSphere {
    CSceneOptimizer opt;
    C3DExtObject* sphere = nullptr;
    bool cancelled = false;
    explicit HalvedSphere(unsigned flags) {
        opt.SetFlags(flags | SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
        C3DScene* scene = SphereScene({3});
        opt.SetScene(*scene, true);
        sphere = ExtObjects(scene)[0];
        EXPECT_GT(opt.Optimize(0.5, cancelled, 0x21), 0);
        sphere->PrepareDisplayedObject(false);
    }
};

TEST(SceneOptimizerScene, AFaceListGivenAfterARunIsTheNewMesh) {
    for (unsigned flags : {0u, unsigned(SCENEOPTIMIZER_WORKING_COPY)}) {
        HalvedSphere h(flags);
        CSceneOptimizer& opt = h.opt;
        C3DExtObject* sphere = h.sphere;
        bool& cancelled = h.cancelled;
        // The host keeps the first half of the faces the object shows now.
        C3DFaceList* half = C3DFaceList::Create();
        *half = *sphere->GetFaceList();
        half->SetSize(unsigned(half->GetSize() / 2));
        const int kept = half->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false);
        ASSERT_GT(kept, 0);
        sphere->SetFaceList(half, true);
        EXPECT_GT(opt.Optimize(0.5, cancelled, 0x21), 0);
        EXPECT_LT(sphere->GetWorkingFaceList()->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false), kept)
            << flags;
        ASSERT_NE(opt.GetScene(GETSCENE_MULTIRES), nullptr);
        EXPECT_EQ(opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL), kept) << flags;
        opt.CleanMultiresolutionScene();
        EXPECT_NE(opt.GetScene(GETSCENE_RESET_OPTIMIZATION), nullptr);
        EXPECT_NO_THROW(opt.Optimize(0.2, cancelled, 0x21)) << flags;
        EXPECT_NE(opt.GetScene(GETSCENE_MULTIRES), nullptr) << flags;
    }
}

// With a working copy, the initial mesh the object shows between runs is the host's to edit: a
// Clean that drops faces makes the next run start over from what is left, without a ModifyScene.
TEST(SceneOptimizerScene, AnEditedInitialMeshRestartsAWorkingCopy) {
    HalvedSphere h(SCENEOPTIMIZER_WORKING_COPY);
    CSceneOptimizer& opt = h.opt;
    C3DExtObject* sphere = h.sphere;
    bool& cancelled = h.cancelled;
    C3DFaceList& initial = *sphere->GetInitialFaceList();
    ASSERT_EQ(sphere->GetFaceList(), &initial);
    for (int f = initial.GetSize() / 2; f < initial.GetSize(); ++f)
        initial.SetFaceFlag(unsigned(f), FACE_INVALID, true);
    sphere->Clean();
    const int left = initial.GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false);
    ASSERT_GT(opt.Optimize(0.3, cancelled, 0x21), 0);
    EXPECT_LT(sphere->GetWorkingFaceList()->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false), left);
    ASSERT_NE(opt.GetScene(GETSCENE_MULTIRES), nullptr);
    EXPECT_EQ(opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL), left);
}

// Points no face uses are not removable: a point ratio counts only the points of the mesh (half
// a sphere's faces dropped, a ratio of 0.5 of the points left about half the faces left).
TEST(SceneOptimizerScene, PointsNoFaceUsesAreNotRemovable) {
    C3DScene* scene = SphereScene({3});
    C3DExtObject* sphere = ExtObjects(scene)[0];
    C3DFaceList& faces = *sphere->GetFaceList();
    faces.SetSize(unsigned(faces.GetSize() / 2));
    sphere->Invalidate(INVALIDATE_FACES, true);
    std::vector<char> used(size_t(sphere->GetShownPointList()->GetSize()), 0);
    for (int f = 0; f < faces.GetSize(); ++f) {
        int n;
        const int* idx = faces.GetIndexes(unsigned(f), n);
        for (int c = 0; c < n; ++c) used[size_t(idx[c])] = 1;
    }
    const int live = faces.GetSize();
    CSceneOptimizer opt;
    opt.SetScene(*scene, true);
    bool cancelled = false;
    ASSERT_GT(opt.Optimize(0.5, cancelled, 0x21), 0);
    EXPECT_EQ(opt.GetInitialRemovablePointsNumber(), int(std::count(used.begin(), used.end(), 1)));
    const int left = sphere->GetWorkingFaceList()->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false);
    EXPECT_GT(left, live * 35 / 100);
    EXPECT_LT(left, live * 65 / 100);
}

TEST(SceneOptimizerRun, SameResultWithOneAndTwoThreads) {
    int total1 = 0, total2 = 0;
    const auto one = OptimizeWith(1, total1);
    const auto two = OptimizeWith(2, total2);
    EXPECT_GT(total1, 0);
    EXPECT_EQ(total1, total2);
    EXPECT_TRUE(one == two);
}

TEST(SceneOptimizerRun, CancelFromTheCallbackLeavesInitialMeshesAlone) {
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
    Recorder rec;
    rec.cancelAfter = 3;
    opt.SetProgressCallback(RecordEvent, &rec);
    C3DScene* scene = SphereScene({4, 4, 4});
    opt.SetScene(*scene, true);
    std::vector<std::vector<float>> before;
    for (C3DExtObject* o : ExtObjects(scene)) before.push_back(Coordinates(*o->GetInitialPointList()));
    bool cancelled = false;
    const int removed = opt.Optimize(0.0, cancelled, 0x21);
    EXPECT_TRUE(cancelled);
    // An object the cancel stops, in its preparation or its loop, forgets its counts, so the
    // scene's removable count after the run depends on where the cancel landed; the run is
    // compared with the whole scene instead (three spheres of 2562 points each).
    EXPECT_LT(removed, 3 * 2562);
    EXPECT_EQ(rec.events.back(), 0x22u);
    EXPECT_FALSE(rec.overlapped);
    size_t i = 0;
    for (C3DExtObject* o : ExtObjects(scene)) {
        EXPECT_EQ(Coordinates(*o->GetInitialPointList()), before[i++]);
        EXPECT_EQ(o->GetInitialFaceList()->GetNumberOfFaces(unsigned(FACE_INVALID | 0x2), false), 5120);
    }
    // The source form shows the initial mesh on request, the working copy otherwise.
    EXPECT_EQ(opt.GetScene(GETSCENE_ORIGINAL_MESH), scene);
    EXPECT_EQ(ExtObjects(scene)[0]->GetShownPointList(), ExtObjects(scene)[0]->GetInitialPointList());
    C3DScene* copy = opt.GetScene(GETSCENE_SOURCE | GETSCENE_COPY);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, scene);
    copy->Delete();
}

// The source form with GETSCENE_RESET_OPTIMIZATION drops every object's optimisation state:
// with a working copy, the working meshes are emptied, and the next run prepares them again from
// the initial meshes and ends where a fresh optimiser ends.
TEST(SceneOptimizerRun, ResetOptimizationStartsTheNextRunFromTheInitialMeshes) {
    std::vector<std::vector<uint32_t>> fresh, again;
    for (int pass = 0; pass < 2; ++pass) {
        CSceneOptimizer opt;
        opt.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
        C3DScene* scene = SphereScene({3, 2});
        opt.SetScene(*scene, true);
        bool cancelled = false;
        if (pass == 1) {
            EXPECT_GT(opt.Optimize(0.02, cancelled, 0x21), 0);
            EXPECT_EQ(opt.GetScene(GETSCENE_RESET_OPTIMIZATION), scene);
            for (C3DExtObject* o : ExtObjects(scene)) {
                EXPECT_FALSE(o->IsExtFlagSet(EXT_WORKING_COPY));
                EXPECT_EQ(o->GetWorkingFaceList()->GetSize(), 0);
            }
        }
        EXPECT_GT(opt.Optimize(0.3, cancelled, 0x21), 0);
        EXPECT_FALSE(cancelled);
        for (C3DExtObject* o : ExtObjects(scene)) (pass == 0 ? fresh : again).push_back(Working(o));
    }
    ASSERT_EQ(fresh.size(), 2u);
    EXPECT_TRUE(fresh == again);
}

// In place, the reduced mesh is the new initial one once the object is prepared again (after a
// change of settings, a cancelled run or a reset): ratios count from its live points, not from the
// points the earlier run removed, which keep their selection bits.
TEST(SceneOptimizerRun, InPlaceRunsAfterASettingOrAResetCountFromTheReducedMesh) {
    auto live = [](C3DScene* scene) {
        int n = 0;
        for (C3DExtObject* o : ExtObjects(scene))
            n += o->GetFaceList()->GetNumberOfFaces(unsigned(FACE_INVALID | 0x2), false);
        return n;
    };
    for (int change = 0; change < 2; ++change) {
        CSceneOptimizer opt;
        C3DScene* scene = SphereScene({4});
        opt.SetScene(*scene, true);
        bool cancelled = false;
        const int removed = opt.Optimize(0.5, cancelled, 0x21);
        ASSERT_GT(removed, 0);
        const int half = live(scene);
        if (change == 0)
            opt.SetOptimizeMode(OPT_CHECK_FLIP, (opt.GetOptimizeMode() & OPT_CHECK_FLIP) == 0);
        else
            opt.GetScene(GETSCENE_RESET_OPTIMIZATION);
        EXPECT_EQ(opt.GetInitialRemovablePointsNumber(), 2562 - removed) << change;
        EXPECT_GT(opt.Optimize(0.5, cancelled, 0x21), 0) << change;
        EXPECT_NEAR(live(scene), half / 2, 8) << change;
    }
}

// A host that keeps its scene and uses one optimiser per operation: an optimiser that lets go of
// the scene (or is destroyed) unbinds its objects, so that the next one drives them, with its own
// callback (here one that cancels at once), and nothing reads the first one after it is gone.
TEST(SceneOptimizerRun, AKeptSceneGoesToTheNextOptimiser) {
    std::unique_ptr<C3DScene> scene(SphereScene({3}));
    bool cancelled = false;
    {
        CSceneOptimizer first;
        first.SetScene(*scene, false);
        ASSERT_GT(first.Optimize(0.5, cancelled, 0x21), 0);
        EXPECT_EQ(ExtObjects(scene.get())[0]->GetOptimizer(), &first);
    }  // destroyed without DetachScene
    EXPECT_EQ(ExtObjects(scene.get())[0]->GetOptimizer(), nullptr);
    CSceneOptimizer second;
    second.SetProgressCallback(
        [](unsigned event, const QuorvaneProgressInfo&, void*) { return event == 0x42u; }, nullptr);
    second.SetScene(*scene, false);
    EXPECT_EQ(ExtObjects(scene.get())[0]->GetOptimizer(), &second);
    EXPECT_EQ(second.Optimize(0.1, cancelled, 0x21), 0);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(second.DetachScene(), scene.get());
    EXPECT_EQ(ExtObjects(scene.get())[0]->GetOptimizer(), nullptr);
}

// Host mistakes the optimiser survives: a callback that clears itself while it is being called,
// an unlock without its lock, and a predictive run on objects no setting has prepared yet (whose
// removable counts are 0 until they are prepared).
TEST(SceneOptimizerRun, CallbacksThatClearThemselvesStrayUnlocksAndUnpreparedPredictiveRuns) {
    CSceneOptimizer opt;
    std::unique_ptr<C3DScene> scene(SphereScene({3}));
    opt.SetScene(*scene, false);
    opt.SetProgressCallback(
        [](unsigned event, const QuorvaneProgressInfo&, void* user) {
            if (event == 0x42u) static_cast<CSceneOptimizer*>(user)->SetProgressCallback(nullptr, nullptr);
            return false;
        },
        &opt);
    bool cancelled = true;
    EXPECT_GT(opt.Optimize(0.5, cancelled, 0x21), 0);
    EXPECT_FALSE(cancelled);

    opt.UnlockInitialization();
    EXPECT_EQ(opt.GetInitializationLockCount(), 0);
    opt.DetachScene();

    std::unique_ptr<C3DScene> fresh(SphereScene({3}));
    CSceneOptimizer predictive;
    predictive.SetScene(*fresh, false);
    predictive.Optimize(1.0, cancelled, OPTIMIZE_PREDICTIVE);
    EXPECT_GT(
        ExtObjects(fresh.get())[0]->GetFaceList()->GetNumberOfFaces(unsigned(FACE_INVALID | 0x2), false), 0);
    predictive.DetachScene();
}

// Calls that would change the optimiser or its objects, made from the callback of a run, are
// refused and the run ends as it would without them (before: a deadlock, a crash in the heap of
// an object being reduced, or a double release).
TEST(SceneOptimizerRun, ChangesAskedFromTheCallbackOfARunAreRefused) {
    struct Host {
        CSceneOptimizer* opt;
        int refused = 0, asked = 0;
    };
    auto run = [](bool meddle) {
        CSceneOptimizer opt;
        opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
        std::unique_ptr<C3DScene> scene(SphereScene({3}));
        opt.SetScene(*scene, false);
        Host host{&opt};
        if (meddle)
            opt.SetProgressCallback(
                [](unsigned event, const QuorvaneProgressInfo&, void* user) {
                    auto* h = static_cast<Host*>(user);
                    if (event != 0x42u) return false;
                    bool cancelled = false;
                    ++h->asked;
                    h->refused += h->opt->Optimize(0.1, cancelled, 0x21) == 0;
                    h->refused += !h->opt->SetOptimizeMode(OPT_CHECK_COMPACITY, true);
                    h->refused += h->opt->GetScene(GETSCENE_MULTIRES) == nullptr;
                    h->refused += h->opt->GetScene(GETSCENE_RESET_OPTIMIZATION) == nullptr;
                    return false;
                },
                &host);
        bool cancelled = false;
        const int removed = opt.Optimize(0.3, cancelled, 0x21);
        EXPECT_EQ(host.refused, 4 * host.asked);
        opt.DetachScene();
        return std::make_pair(removed, Working(ExtObjects(scene.get())[0]));
    };
    EXPECT_EQ(run(true), run(false));
}

// Outside a run the callback is called by the settings calls (their begin and end events) and by
// the preparation that UnlockInitialization runs on the objects' threads (its cancel queries).
// Calls made from there that would prepare, run or change the optimiser are refused as well
// (before: a deadlock on the progress lock that the calling thread held).
TEST(SceneOptimizerRun, ChangesAskedFromTheCallbackOutsideARunAreRefused) {
    struct Host {
        CSceneOptimizer* opt;
        std::atomic<int> asked{0}, refused{0};
    };
    CSceneOptimizer opt;
    std::unique_ptr<C3DScene> scene(SphereScene({3, 3, 3}));
    opt.SetScene(*scene, false);
    Host host{&opt};
    opt.SetProgressCallback(
        [](unsigned, const QuorvaneProgressInfo&, void* user) {
            auto* h = static_cast<Host*>(user);
            bool cancelled = false;
            ++h->asked;
            h->refused += h->opt->Optimize(0.1, cancelled, 0x21) == 0;
            h->refused += !h->opt->SetOptimizeMode(OPT_CHECK_COMPACITY, true);
            h->opt->LockInitialization();
            h->refused += h->opt->GetInitializationLockCount() <= 1;
            h->opt->UnlockInitialization();
            return false;
        },
        &host);
    EXPECT_TRUE(opt.SetOptimizeMode(OPT_CHECK_FLIP, true));
    opt.LockInitialization();
    opt.SetOptimizeMode(OPT_KEEP_BORDER, true);
    opt.UnlockInitialization();
    EXPECT_GT(host.asked.load(), 2);
    EXPECT_EQ(host.refused.load(), 3 * host.asked.load());
    EXPECT_EQ(opt.GetInitializationLockCount(), 0);
    opt.SetProgressCallback(nullptr, nullptr);
    bool cancelled = false;
    EXPECT_GT(opt.Optimize(0.5, cancelled, 0x21), 0);
    opt.DetachScene();
}

// ShowSelectedFaces on the optimiser reaches every contraction-ready object of the source scene:
// the faces an object leaves alone (here all of the first sphere, whose only material is
// excluded) are shown frozen, and hiding clears that flag again.
TEST(SceneOptimizerRun, ShowSelectedFacesReachesEveryObject) {
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
    C3DScene* scene = SphereScene({2, 2});
    opt.SetScene(*scene, true);
    const std::vector<C3DExtObject*> objects = ExtObjects(scene);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_TRUE(objects[0]->SelectMaterial(objects[0]->GetInitialFaceList()->GetFaceMaterial(0), false));
    bool cancelled = false;
    EXPECT_GT(opt.Optimize(0.5, cancelled, 0x21), 0);
    auto frozen = [](C3DExtObject* o) {
        return o->GetWorkingFaceList()->GetNumberOfFaces(FACE_FROZEN, true);
    };
    opt.ShowSelectedFaces(true);
    EXPECT_TRUE(opt.IsFlagSet(SCENEOPTIMIZER_SHOW_SELECTED_FACES));
    EXPECT_EQ(frozen(objects[0]), objects[0]->GetWorkingFaceList()->GetNumberOfFaces(FACE_INVALID, false));
    EXPECT_GT(frozen(objects[0]), 0);
    EXPECT_EQ(frozen(objects[1]), 0);
    opt.ShowSelectedFaces(false);
    EXPECT_FALSE(opt.IsFlagSet(SCENEOPTIMIZER_SHOW_SELECTED_FACES));
    EXPECT_EQ(frozen(objects[0]), 0);
}

}  // namespace
}  // namespace kestovar::test
