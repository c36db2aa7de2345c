// The optimiser's multiresolution scene: the road from a loaded scene to any level of detail
// (spider end to end), the common-ratio bisection for total counts, ratio locks, and the frozen
// forms of GetScene.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kestovar/io/file_io.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/object_creator.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/scene/scene.h"
#include "kestovar/scene/scene_node.h"
#include "kestovar/simplify/ext_object.h"
#include "simplify/loop_test_util.h"

namespace kestovar::test {
namespace {

namespace fs = std::filesystem;

template <class T>
std::vector<T*> Objects(C3DScene* scene) {
    std::vector<T*> out;
    for (C3DNodePos pos = scene->GetFirstNode(7, WALK_SHARED_ONCE); pos;) {
        C3DBaseObject* object = nullptr;
        scene->GetNextNode(pos, object);
        if (auto* o = dynamic_cast<T*>(object)) out.push_back(o);
    }
    return out;
}

using Triangle = std::array<float, 9>;

// The live triangles of a plain mesh by coordinates, each rotated to start at its smallest
// corner and the whole list sorted: equal for the same mesh under any renumbering.
std::vector<Triangle> Triangles(const C3DPointList& pts, const C3DFaceList& faces, int faceCount) {
    std::vector<Triangle> out;
    for (int f = 0; f < faceCount; ++f) {
        if (!faces.IsFaceLive(unsigned(f))) continue;
        int n;
        const int* idx = faces.GetIndexes(unsigned(f), n);
        if (n != 3) continue;
        std::array<std::array<float, 3>, 3> c;
        for (int k = 0; k < 3; ++k) c[size_t(k)] = {pts[idx[k]]->x, pts[idx[k]]->y, pts[idx[k]]->z};
        const size_t first = size_t(std::min_element(c.begin(), c.end()) - c.begin());
        Triangle t;
        for (size_t k = 0; k < 3; ++k)
            for (size_t a = 0; a < 3; ++a) t[k * 3 + a] = c[(first + k) % 3][a];
        out.push_back(t);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::vector<Triangle>> Levels(C3DScene* scene) {
    std::vector<std::vector<Triangle>> out;
    for (auto* mr : Objects<CMultiresolutionObject>(scene)) {
        int faces = 0, points = 0;
        mr->GetCurrentSize(faces, points);
        out.push_back(Triangles(*mr->GetPointList(), *mr->GetFaceList(), faces));
    }
    return out;
}

std::vector<std::vector<Triangle>> PlainMeshes(C3DScene* scene) {
    std::vector<std::vector<Triangle>> out;
    for (auto* o : Objects<C3DObject>(scene))
        out.push_back(Triangles(*o->GetPointList(), *o->GetFaceList(), o->GetFaceList()->GetSize()));
    return out;
}

int TotalFaces(C3DScene* scene) {
    int total = 0;
    for (auto* o : Objects<C3DObject>(scene))
        total += o->GetFaceList()->GetNumberOfFaces(unsigned(FACE_INVALID | 0x2), false);
    return total;
}

// Full detail gives back each original mesh; parts whose file repeats triangles come back with
// the repeats dropped by the preparation, the other triangles unchanged.
void ExpectOriginal(const std::vector<std::vector<Triangle>>& levels, const std::vector<std::vector<Triangle>>& original) {
    ASSERT_EQ(levels.size(), original.size());
    for (size_t i = 0; i < levels.size(); ++i) {
        auto unique = original[i];
        unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
        if (unique.size() == original[i].size()) {
            EXPECT_TRUE(levels[i] == original[i]) << i;
        } else {
            EXPECT_TRUE(std::includes(unique.begin(), unique.end(), levels[i].begin(), levels[i].end())) << i;
            EXPECT_GE(levels[i].size() * 10, unique.size() * 8) << i;
        }
    }
}

const std::string kSpider = std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj";

C3DScene* ReadScene(const std::string& path) {
    C3DIo reader(CXStringW(std::wstring(path.begin(), path.end()).c_str()), FILE_IO_LOADING | FILE_IO_SILENT);
    return reader.Read();
}

TEST(MultiresScene, SpiderFromFileToAnyLevelAndBack) {
    C3DScene* original = ReadScene(kSpider);
    ASSERT_NE(original, nullptr);
    const auto originalMeshes = PlainMeshes(original);

    C3DScene* scene = ReadScene(kSpider);
    ASSERT_NE(scene, nullptr);
    C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
    scene->ConvertToType(creator);
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    opt.SetScene(*scene, true);
    opt.LockInitialization();
    opt.SetOptimizeMode(OPT_KEEP_UVW, true);
    opt.SetOptimizeMode(OPT_KEEP_MATERIAL, true);
    opt.UnlockInitialization();
    bool cancelled = true;
    EXPECT_GT(opt.Optimize(0.0, cancelled, 0x21), 0);
    EXPECT_FALSE(cancelled);

    C3DScene* mr = opt.GetScene(GETSCENE_MULTIRES);
    ASSERT_NE(mr, nullptr);
    EXPECT_EQ(opt.GetScene(GETSCENE_MULTIRES), mr);  // built once
    EXPECT_EQ(Objects<CMultiresolutionObject>(mr).size(), originalMeshes.size());

    ASSERT_TRUE(opt.SetMultiresolutionRatio(0.3, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
    const auto first = Levels(mr);
    EXPECT_TRUE(opt.HasSameRatio(APPLY_TO_ALL));
    ASSERT_TRUE(opt.SetMultiresolutionRatio(1.0, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
    ExpectOriginal(Levels(mr), originalMeshes);
    EXPECT_EQ(opt.GetMultiresolutionInfo(MRINFO_CURRENT_FACES, APPLY_TO_ALL),
              opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL));
    ASSERT_TRUE(opt.SetMultiresolutionRatio(0.3, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
    EXPECT_TRUE(Levels(mr) == first);
    const int faces = opt.GetMultiresolutionInfo(MRINFO_CURRENT_FACES, APPLY_TO_ALL);
    EXPECT_LT(faces, opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL));

    // A frozen copy is a plain scene at these levels; the live scene stays playable.
    C3DScene* frozen = opt.GetScene(GETSCENE_MULTIRES_FROZEN | GETSCENE_COPY);
    ASSERT_NE(frozen, nullptr);
    EXPECT_NE(frozen, mr);
    EXPECT_EQ(TotalFaces(frozen), faces);
    const fs::path dir = fs::temp_directory_path() / ("kx_optim_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string out = (dir / "spider_lod.obj").string();
    {
        C3DIo writer(CXStringW(std::wstring(out.begin(), out.end()).c_str()), FILE_IO_SILENT);
        ASSERT_TRUE(writer.Save(frozen));
    }
    C3DScene* back = ReadScene(out);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(TotalFaces(back), faces);
    EXPECT_EQ(Objects<C3DObject>(back).size(), originalMeshes.size());
    back->Delete();
    frozen->Delete();
    fs::remove_all(dir);
    ASSERT_TRUE(opt.SetMultiresolutionRatio(1.0, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
    ExpectOriginal(Levels(mr), originalMeshes);
    original->Delete();
}

// Three recorded spheres of different sizes, optimised and handed over.
struct SphereScene {
    CSceneOptimizer opt;
    C3DScene* mr = nullptr;
    explicit SphereScene(unsigned int extraFlags = 0, unsigned int getFlags = GETSCENE_MULTIRES) {
        opt.SetFlags(extraFlags, true);
        C3DScene* scene = C3DScene::Create();
        int i = 0;
        for (int level : {3, 2, 1}) {
            auto m = looptest::BumpySphere(level);
            for (size_t k = 0; k < m.xyz.size(); k += 3) m.xyz[k] += float(3 * i);
            scene->CreateNode(nullptr, L"s",
                              CreateObjectFromArrays(m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(),
                                                     unsigned(m.tris.size() * 4), nullptr, 0));
            ++i;
        }
        opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
        opt.SetScene(*scene, true);
        opt.ModifyScene(MODIFY_SCENE_CONVERT);
        bool cancelled = false;
        opt.Optimize(0.0, cancelled, 0x21);
        mr = opt.GetScene(getFlags);
    }
};

TEST(MultiresScene, RatiosAreClampedAndNeedTheScene) {
    CSceneOptimizer empty;
    EXPECT_FALSE(empty.SetMultiresolutionRatio(0.5, 0, MRRATIO_RELATIVE, APPLY_TO_ALL));
    EXPECT_EQ(empty.LockOptimizeRatio(true, APPLY_TO_ALL), 0);
    EXPECT_TRUE(empty.HasSameRatio(APPLY_TO_ALL));

    SphereScene s;
    ASSERT_NE(s.mr, nullptr);
    EXPECT_EQ(Objects<CMultiresolutionObject>(s.mr).size(), 3u);
    // Fresh from the hand-off every object stands at full detail, a known ratio of 1.
    for (auto* mr : Objects<CMultiresolutionObject>(s.mr)) {
        bool unset = true;
        EXPECT_EQ(mr->GetLastKnownRatio(unset), 1.0);
        EXPECT_FALSE(unset);
    }
    EXPECT_TRUE(s.opt.HasSameRatio(APPLY_TO_ALL));
    // The conversion attached every new object and gave it the optimiser's default mode.
    for (auto* ext : Objects<C3DExtObject>(s.opt.GetSourceScene())) {
        EXPECT_EQ(ext->GetOptimizer(), &s.opt);
        EXPECT_EQ(ext->GetOptimizeMode(), 0x00C00020ull);
    }
    ASSERT_TRUE(s.opt.SetMultiresolutionRatio(1.5, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
    EXPECT_EQ(s.opt.GetMultiresolutionInfo(MRINFO_CURRENT_FACES, APPLY_TO_ALL),
              s.opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL));
    ASSERT_TRUE(s.opt.SetMultiresolutionRatio(-0.2, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
    EXPECT_EQ(s.opt.GetMultiresolutionInfo(MRINFO_CURRENT_POINTS, APPLY_TO_ALL),
              s.opt.GetMultiresolutionInfo(MRINFO_MIN_POINTS, APPLY_TO_ALL));
    EXPECT_EQ(s.opt.GetMultiresolutionInfo(MultiresolutionInfo(6), APPLY_TO_ALL), 0);
    EXPECT_EQ(s.opt.GetMaxThresholdFromSelection(APPLY_TO_ALL), 1.0);
}

// A setting changed after a run drops the optimisation, and with it a separate working copy: the
// source form then shows the initial meshes and the multiresolution scene holds them whole (both
// were empty). A multiresolution scene built before any reduction holds them whole too.
TEST(MultiresScene, SettingChangedAfterTheRunShowsAndHandsOverTheInitialMeshes) {
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_WORKING_COPY | SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    C3DScene* scene = C3DScene::Create();
    const auto m = looptest::BumpySphere(2);
    scene->CreateNode(nullptr, L"s",
                      CreateObjectFromArrays(m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(),
                                             unsigned(m.tris.size() * 4), nullptr, 0));
    opt.SetScene(*scene, true);
    opt.ModifyScene(MODIFY_SCENE_CONVERT);
    bool cancelled = true;
    ASSERT_GT(opt.Optimize(0.5, cancelled, 0x21), 0);
    ASSERT_TRUE(opt.SetConstraintRatio(0.25f));
    EXPECT_EQ(TotalFaces(opt.GetScene(0)), int(m.TriangleCount()));
    ASSERT_NE(opt.GetScene(GETSCENE_MULTIRES), nullptr);
    EXPECT_EQ(opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL), int(m.TriangleCount()));

    // The same for a scene built before any reduction: its objects had no working copy yet.
    CSceneOptimizer fresh;
    fresh.SetFlags(SCENEOPTIMIZER_WORKING_COPY | SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    C3DScene* unreduced = C3DScene::Create();
    unreduced->CreateNode(nullptr, L"s",
                          CreateObjectFromArrays(m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(),
                                                 unsigned(m.tris.size() * 4), nullptr, 0));
    fresh.SetScene(*unreduced, true);
    fresh.ModifyScene(MODIFY_SCENE_CONVERT);
    ASSERT_NE(fresh.GetScene(GETSCENE_MULTIRES), nullptr);
    EXPECT_EQ(fresh.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL), int(m.TriangleCount()));
}

// With working copies the optimisable objects name their contraction-ready objects while the
// source scene holds them; once it is released they are listed without one, and their levels
// can still be set.
TEST(MultiresScene, WorkingCopiesAreNamedOnlyWhileTheSourceSceneExists) {
    SphereScene kept(SCENEOPTIMIZER_WORKING_COPY);
    ASSERT_NE(kept.mr, nullptr);
    COptimizableObjectArray objects;
    ASSERT_EQ(kept.opt.GetOptimizableObjects(objects, APPLY_TO_ALL, true), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_NE(objects[i].extObject, nullptr);

    SphereScene released(SCENEOPTIMIZER_WORKING_COPY, GETSCENE_MULTIRES | GETSCENE_RELEASE_SOURCE);
    ASSERT_NE(released.mr, nullptr);
    EXPECT_EQ(released.opt.GetSourceScene(), nullptr);
    ASSERT_EQ(released.opt.GetOptimizableObjects(objects, APPLY_TO_ALL, true), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(objects[i].extObject, nullptr);
        EXPECT_NE(objects[i].mrObject, nullptr);
    }
    EXPECT_EQ(released.opt.GetScene(GETSCENE_MULTIRES), released.mr);
    const int most = released.opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL);
    ASSERT_GT(most, 0);
    ASSERT_TRUE(released.opt.SetMultiresolutionRatio(0.2, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
    EXPECT_LT(released.opt.GetMultiresolutionInfo(MRINFO_CURRENT_FACES, APPLY_TO_ALL), most);
    // Showing the frozen faces needs the contraction-ready objects, which went with the source
    // scene: nothing is shown, and nothing released is read (the sanitizer run checks).
    for (unsigned flags : {0u, unsigned(SCENEOPTIMIZER_WORKING_COPY)}) {
        SphereScene gone(flags, GETSCENE_MULTIRES | GETSCENE_RELEASE_SOURCE);
        ASSERT_EQ(gone.opt.GetSourceScene(), nullptr);
        gone.opt.ShowSelectedFaces(true);
        for (auto* mr : Objects<CMultiresolutionObject>(gone.mr))
            EXPECT_EQ(mr->GetFaceList()->GetNumberOfFaces(FACE_FROZEN, true), 0);
        gone.opt.ShowSelectedFaces(false);
    }
    // Another source scene (the one built from deleted with it): the multiresolution objects
    // name nothing of the new one, and their levels still move.
    SphereScene replaced(SCENEOPTIMIZER_WORKING_COPY);
    replaced.opt.SetScene(*C3DScene::Create(), true);
    ASSERT_EQ(replaced.opt.GetOptimizableObjects(objects, APPLY_TO_ALL, true), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(objects[i].extObject, nullptr);
    replaced.opt.ShowSelectedFaces(true);
    EXPECT_TRUE(replaced.opt.SetMultiresolutionRatio(0.2, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
}

// A node removed from the source scene after the build takes its contraction-ready object with
// it: its multiresolution object no longer names it, the others still do, and showing the
// frozen faces reads nothing released (the sanitizer run checks).
TEST(MultiresScene, ANodeRemovedFromTheSourceSceneUnlinksItsObject) {
    for (unsigned flags : {0u, unsigned(SCENEOPTIMIZER_WORKING_COPY)}) {
        SphereScene s(flags);
        ASSERT_NE(s.mr, nullptr);
        C3DScene* source = s.opt.GetSourceScene();
        ASSERT_NE(source, nullptr);
        C3DNodePos pos = source->GetFirstNode(7, WALK_SHARED_ONCE);
        C3DBaseObject* object = nullptr;
        C3DSceneNode* first = source->GetNextNode(pos, object);
        ASSERT_NE(first, nullptr);
        source->RemoveNode(first, true);
        COptimizableObjectArray objects;
        ASSERT_EQ(s.opt.GetOptimizableObjects(objects, APPLY_TO_ALL, true), 3u);
        int named = 0;
        for (int i = 0; i < 3; ++i) named += objects[i].extObject != nullptr;
        // In place the objects are not named at all (see GetOptimizableObjects).
        EXPECT_EQ(named, flags ? 2 : 0) << flags;
        for (auto* mr : Objects<CMultiresolutionObject>(s.mr)) named -= mr->GetExtObject() != nullptr;
        EXPECT_EQ(named, flags ? 0 : -2) << flags;
        s.opt.ShowSelectedFaces(true);
        s.opt.ShowSelectedFaces(false);
        EXPECT_TRUE(s.opt.SetMultiresolutionRatio(0.2, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL));
    }
}

// A build cancelled, or stopped by a callback that raises, after some objects are done hands
// none of them over: every object keeps its reduction and its record, so the next build has
// every level, the full meshes included.
TEST(MultiresScene, ACancelledBuildLeavesEveryObjectItsRecord) {
    struct CancelLater {
        bool raise = false;
        int positions = 0;
        static bool OnEvent(unsigned event, const QuorvaneProgressInfo&, void* user) {
            auto* self = static_cast<CancelLater*>(user);
            if (event & OPTPROGRESS_POS) ++self->positions;
            // Each object's walk reports one position at its end (these record fewer than 3000
            // contractions), the renumbering and re-indexing two more: the second object's first
            // report comes before its first cancel query.
            const bool stop = (event & OPTPROGRESS_CANCEL_QUERY) && self->positions >= 4;
            if (stop && self->raise) throw 7;
            return stop;
        }
    };
    for (unsigned flags : {0u, unsigned(SCENEOPTIMIZER_WORKING_COPY), 0x80000000u}) {
        const bool raise = flags == 0x80000000u;
        if (raise) flags = 0;
        SphereScene whole(flags);
        ASSERT_NE(whole.mr, nullptr);
        const int most = whole.opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL);
        const int least = whole.opt.GetMultiresolutionInfo(MRINFO_MIN_FACES, APPLY_TO_ALL);
        ASSERT_LT(least, most);

        SphereScene s(flags, 0);
        s.opt.SetMaxThreadCount(1);
        CancelLater cancel;
        cancel.raise = raise;
        s.opt.SetProgressCallback(CancelLater::OnEvent, &cancel);
        if (raise)
            EXPECT_THROW(s.opt.GetScene(GETSCENE_MULTIRES), int);
        else
            EXPECT_EQ(s.opt.GetScene(GETSCENE_MULTIRES), nullptr) << flags;
        EXPECT_GE(cancel.positions, 4) << flags;
        s.opt.SetProgressCallback(nullptr, nullptr);
        ASSERT_NE(s.opt.GetScene(GETSCENE_MULTIRES), nullptr) << flags;
        EXPECT_EQ(s.opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL), most) << flags;
        EXPECT_EQ(s.opt.GetMultiresolutionInfo(MRINFO_MIN_FACES, APPLY_TO_ALL), least) << flags;
    }
}

// An object shown by two nodes outlives the node it was bound through: it no longer names that
// node, and a further run, the build and a rebuild go on (the sanitizer run checks that the
// removed node is not read).
TEST(MultiresScene, AnInstanceOutlivesTheNodeItWasBoundThrough) {
    for (unsigned flags : {0u, unsigned(SCENEOPTIMIZER_WORKING_COPY)}) {
        CSceneOptimizer opt;
        C3DScene* scene = C3DScene::Create();
        auto m = looptest::BumpySphere(2);
        C3DBaseObject* object = CreateObjectFromArrays(
            m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(), unsigned(m.tris.size() * 4), nullptr, 0);
        C3DSceneNode* first = scene->CreateNode(nullptr, L"first", object);
        ASSERT_NE(scene->CreateInstance(first), nullptr);
        opt.SetFlags(flags | SCENEOPTIMIZER_RECORD_CONTRACTIONS | SCENEOPTIMIZER_SKIP_EXCLUDED_NODES, true);
        opt.SetScene(*scene, true);
        opt.ModifyScene(MODIFY_SCENE_CONVERT);
        bool cancelled = false;
        EXPECT_GT(opt.Optimize(0.2, cancelled, 0x21), 0);
        ASSERT_NE(opt.GetScene(GETSCENE_MULTIRES), nullptr);
        auto* ext = dynamic_cast<C3DExtObject*>(first->GetBaseObject());
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ext->GetNode(), first);
        scene->RemoveNode(first, true);
        EXPECT_EQ(ext->GetNode(), nullptr);
        opt.ModifyScene(MODIFY_SCENE_CONVERT);
        opt.Optimize(0.1, cancelled, 0x21);
        opt.CleanMultiresolutionScene();
        EXPECT_NE(opt.GetScene(GETSCENE_MULTIRES), nullptr) << flags;
    }
}

// A multiresolution scene the host keeps outlives its optimiser, or the optimiser's letting go
// of it: its objects no longer name the optimiser, and their levels can still be set (the
// sanitizer run checks that nothing released is read).
TEST(MultiresScene, AKeptSceneOutlivesItsOptimiser) {
    for (bool destroy : {true, false}) {
        auto* s = new SphereScene(SCENEOPTIMIZER_PROGRESSIVE_RATIO);
        ASSERT_NE(s->mr, nullptr);
        C3DScene* kept = s->mr;
        kept->AddRef();
        if (destroy) {
            delete s;
            s = nullptr;
        } else {
            s->opt.CleanMultiresolutionScene();
        }
        for (auto* mr : Objects<CMultiresolutionObject>(kept)) {
            EXPECT_EQ(mr->GetOptimizer(), nullptr);
            int most = 0, points = 0;
            mr->GetMaxSize(most, points);
            EXPECT_LT(mr->SetObjectRatio(0.5, 0, MRRATIO_RELATIVE | MRRATIO_FACES), most);
            EXPECT_EQ(mr->SetObjectRatio(1.0, 0, MRRATIO_RELATIVE | MRRATIO_FACES), most);
        }
        kept->Delete();
        delete s;
    }
}

TEST(MultiresScene, AbsoluteCountsFindOneCommonRatio) {
    SphereScene s;
    ASSERT_NE(s.mr, nullptr);
    const int minFaces = s.opt.GetMultiresolutionInfo(MRINFO_MIN_FACES, APPLY_TO_ALL);
    const int maxFaces = s.opt.GetMultiresolutionInfo(MRINFO_MAX_FACES, APPLY_TO_ALL);
    for (int wanted : {minFaces, (minFaces + maxFaces) / 2, maxFaces, maxFaces + 100, 1}) {
        ASSERT_TRUE(s.opt.SetMultiresolutionRatio(0.0, wanted, MRRATIO_ABSOLUTE | MRRATIO_FACES, APPLY_TO_ALL));
        const int got = s.opt.GetMultiresolutionInfo(MRINFO_CURRENT_FACES, APPLY_TO_ALL);
        EXPECT_GE(got, minFaces);
        EXPECT_LE(got, maxFaces);
        // Faces go by pairs and small steps: the total lands close to any reachable target.
        if (wanted >= minFaces && wanted <= maxFaces) {
            EXPECT_NEAR(got, wanted, 0.02 * maxFaces) << wanted;
        }
        // The full meshes themselves, for any count they do not exceed.
        if (wanted >= maxFaces) {
            EXPECT_EQ(got, maxFaces) << wanted;
        }
        EXPECT_TRUE(s.opt.HasSameRatio(APPLY_TO_ALL));
    }
}

// Clean lets go of both scenes: the multiresolution scene always, the source scene as SetScene
// said (released when the optimiser owns it, forgotten otherwise). A host reference keeps either
// alive, and the optimiser takes a scene again afterwards.
TEST(MultiresScene, CleanLetsGoOfBothScenes) {
    SphereScene s;
    ASSERT_NE(s.mr, nullptr);
    C3DScene* source = s.opt.GetSourceScene();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(s.opt.OptimizerHandleDeletion());
    source->AddRef();
    s.mr->AddRef();
    s.opt.Clean();
    EXPECT_EQ(s.opt.GetSourceScene(), nullptr);
    EXPECT_FALSE(s.opt.HasMultiresolutionScene());
    EXPECT_FALSE(s.opt.SetMultiresolutionRatio(0.5, 0, MRRATIO_RELATIVE, APPLY_TO_ALL));
    EXPECT_EQ(s.mr->AddRef(), 2);  // ours and the one just taken: the optimiser's is gone
    s.mr->Delete();
    s.mr->Delete();
    EXPECT_EQ(source->AddRef(), 2);
    source->Delete();

    // Given again without ownership, the scene gives a multiresolution scene as before, and
    // Clean only forgets it.
    s.opt.SetScene(*source, false);
    ASSERT_NE(s.opt.GetScene(GETSCENE_MULTIRES), nullptr);
    s.opt.Clean();
    EXPECT_EQ(s.opt.GetSourceScene(), nullptr);
    EXPECT_FALSE(s.opt.HasMultiresolutionScene());
    EXPECT_EQ(source->AddRef(), 2);
    source->Delete();
    source->Delete();
}

TEST(MultiresScene, LocksSelectionAndFrozenForms) {
    SphereScene s;
    ASSERT_NE(s.mr, nullptr);
    EXPECT_FALSE(s.opt.HasLockedRatio());
    EXPECT_EQ(s.opt.GetApplyToMode(), APPLY_TO_ALL);
    std::vector<C3DSceneNode*> nodes;
    for (C3DNodePos pos = s.mr->GetFirstNode(7, WALK_SHARED_ONCE); pos;) nodes.push_back(s.mr->GetNextNode(pos));
    ASSERT_EQ(nodes.size(), 3u);
    nodes[0]->Select(true);
    EXPECT_EQ(s.opt.GetApplyToMode(), APPLY_TO_SELECTION);

    EXPECT_EQ(s.opt.LockOptimizeRatio(true, APPLY_TO_SELECTION), 1);
    EXPECT_EQ(s.opt.LockOptimizeRatio(true, APPLY_TO_SELECTION), 0);
    EXPECT_TRUE(s.opt.HasLockedRatio());
    auto* locked = dynamic_cast<CMultiresolutionObject*>(nodes[0]->GetBaseObject());
    int lockedFaces = 0, points = 0;
    locked->GetCurrentSize(lockedFaces, points);
    s.opt.SetMultiresolutionRatio(0.5, 0, MRRATIO_RELATIVE | MRRATIO_FACES, APPLY_TO_ALL);
    int faces = 0;
    locked->GetCurrentSize(faces, points);
    EXPECT_EQ(faces, lockedFaces);  // skipped while locked
    EXPECT_FALSE(s.opt.HasSameRatio(APPLY_TO_ALL));
    s.opt.SetMultiresolutionRatio(0.5, 0, MRRATIO_RELATIVE | MRRATIO_FACES | MRRATIO_FORCE, APPLY_TO_ALL);
    EXPECT_TRUE(s.opt.HasSameRatio(APPLY_TO_ALL));
    EXPECT_EQ(s.opt.LockOptimizeRatio(false, APPLY_TO_ALL), 1);

    // Frozen without a copy freezes the live scene itself.
    C3DScene* frozen = s.opt.GetScene(GETSCENE_MULTIRES_FROZEN);
    EXPECT_EQ(frozen, s.mr);
    EXPECT_TRUE(s.opt.HasMultiresolutionScene());
    s.opt.CleanMultiresolutionScene();
    EXPECT_FALSE(s.opt.HasMultiresolutionScene());
    EXPECT_FALSE(s.opt.SetMultiresolutionRatio(0.5, 0, MRRATIO_RELATIVE, APPLY_TO_ALL));
}

}  // namespace
}  // namespace kestovar::test
