// The scene optimiser's part used by the engine: flags, the node filter, progressive per-object
// ratios, and progress events, including calls from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/scene/scene.h"
#include "kestovar/scene/scene_node.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar::test {
namespace {

// Gives the tests a source scene: attaching one is not part of the engine's interface.
class AttachedOptimizer : public CSceneOptimizer {
public:
    void Attach(C3DScene* scene) { m_pScene = scene; }
};

TEST(SceneOptimizer, OnlyTheLowSixteenFlagBitsPersistAndLoadingNeverClears) {
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS | SCENEOPTIMIZER_PROGRESSIVE_RATIO, true);
    EXPECT_EQ(opt.SaveFlags(), unsigned(SCENEOPTIMIZER_PROGRESSIVE_RATIO));
    opt.LoadFlags(0x10001);
    EXPECT_EQ(opt.GetFlags(), 0x20005u);
}

TEST(SceneOptimizer, ExcludedNodesAreRefusedOnlyWhenTheOptimiserSkipsThem) {
    CSceneOptimizer opt;
    C3DSceneNode node;
    node.SetFlag(NODE_SKIP, true);
    EXPECT_TRUE(opt.CanOptimizeNode(&node));
    opt.SetFlag(SCENEOPTIMIZER_SKIP_EXCLUDED_NODES, true);
    EXPECT_FALSE(opt.CanOptimizeNode(&node));
    node.SetFlag(NODE_SKIP, false);
    node.SetFlag(NODE_SELECTED, true);
    EXPECT_TRUE(opt.CanOptimizeNode(&node));
    EXPECT_TRUE(opt.CanOptimizeNode(nullptr));
}

TEST(SceneOptimizer, ObjectRatioFromGlobalRatioAndProgressiveThresholds) {
    bool clamped = true;
    EXPECT_DOUBLE_EQ(CSceneOptimizer::GetObjectRatioFromGlobalRatio(true, 0.3, 0.6, 0, clamped), 0.5);
    EXPECT_FALSE(clamped);
    EXPECT_EQ(CSceneOptimizer::GetObjectRatioFromGlobalRatio(true, 0.7, 0.6, 0, clamped), 1.0);
    EXPECT_TRUE(clamped);
    EXPECT_EQ(CSceneOptimizer::GetObjectRatioFromGlobalRatio(false, 0.7, 0.6, 0, clamped), 0.7);
    EXPECT_FALSE(clamped);
    EXPECT_EQ(CSceneOptimizer::GetObjectRatioFromGlobalRatio(true, 0.0, 0.6, 0, clamped), 0.0);

    EXPECT_DOUBLE_EQ(CSceneOptimizer::ComputeProgressiveThreshold(100, 1000), double(600.0f) / 1000.0);
    EXPECT_DOUBLE_EQ(CSceneOptimizer::ComputeProgressiveThreshold(500, 1000), 0.75);  // 6x and 3x exceed 1
    EXPECT_EQ(CSceneOptimizer::ComputeProgressiveThreshold(1000, 1000), 1.0);
}

TEST(SceneOptimizer, ProgressiveRatiosNeedTheFlagAndTwoOptimisableObjects) {
    AttachedOptimizer opt;
    opt.SetFlag(SCENEOPTIMIZER_PROGRESSIVE_RATIO, true);
    bool clamped = false;
    // No scene: the global ratio passes unchanged.
    EXPECT_FALSE(opt.IsProgressiveRatioEnabled());
    EXPECT_EQ(opt.GetObjectRatioFromGlobalRatio(0.3, 0.6, 0, clamped), 0.3);

    C3DScene* scene = C3DScene::Create();
    opt.Attach(scene);
    C3DSceneNode* first = scene->CreateNode(nullptr, L"a", new C3DExtObject);
    EXPECT_FALSE(opt.IsProgressiveRatioEnabled());  // one object
    EXPECT_EQ(opt.GetObjectRatioFromGlobalRatio(0.3, 0.6, 0, clamped), 0.3);
    scene->CreateNode(nullptr, L"b", new C3DExtObject);
    EXPECT_TRUE(opt.IsProgressiveRatioEnabled());
    EXPECT_DOUBLE_EQ(opt.GetObjectRatioFromGlobalRatio(0.3, 0.6, 0, clamped), 0.5);
    // An excluded node does not count once the optimiser skips excluded nodes.
    first->SetFlag(NODE_SKIP, true);
    EXPECT_TRUE(opt.IsProgressiveRatioEnabled());
    opt.SetFlag(SCENEOPTIMIZER_SKIP_EXCLUDED_NODES, true);
    EXPECT_FALSE(opt.IsProgressiveRatioEnabled());
    opt.SetFlag(SCENEOPTIMIZER_SKIP_EXCLUDED_NODES, false);
    opt.SetFlag(SCENEOPTIMIZER_PROGRESSIVE_RATIO, false);
    EXPECT_FALSE(opt.IsProgressiveRatioEnabled());
    opt.Attach(nullptr);  // not owned: no SCENEOPTIMIZER_HANDLE_DELETION
    scene->Delete();
}

struct Events {
    std::vector<unsigned> codes;
    std::vector<std::wstring> texts;
    bool cancel = false;
};

bool Record(unsigned event, const QuorvaneProgressInfo& info, void* user) {
    Events* e = static_cast<Events*>(user);
    e->codes.push_back(event);
    e->texts.emplace_back(info.GetText().GetString() ? info.GetText().GetString() : L"");
    return e->cancel;
}

TEST(SceneOptimizer, ProgressCallsUpdateTheRecordAndSendTheirEvents) {
    CSceneOptimizer opt;
    // Without a callback nothing happens and cancel is never asked for.
    opt.AddProgressRange(10);
    EXPECT_FALSE(opt.CheckCancelButton());
    EXPECT_EQ(opt.GetProgressInfo().GetMax(), 0);

    Events ev;
    opt.SetProgressCallback(Record, &ev);
    opt.SetProgressMeshRange(3);
    opt.SetProgressRange(4, 9);
    opt.AddProgressRange(10);
    EXPECT_EQ(opt.GetProgressInfo().GetMin(), 0);
    EXPECT_EQ(opt.GetProgressInfo().GetMax(), 19);
    opt.SetProgressPos(5);
    opt.AddProgressPos(7);
    EXPECT_EQ(opt.GetProgressInfo().GetPos(), 12);
    opt.SetMeshPos(2);
    opt.SetProgressStatus(CXTString<wchar_t>(L"busy"));
    EXPECT_FALSE(opt.CheckCancelButton());
    ev.cancel = true;
    EXPECT_TRUE(opt.CheckCancelButton());
    opt.ShowInformation(true, 365);
    opt.ShowInformation(true, 0xFFFFFFFFu);
    opt.ShowInformation(false, 365);
    EXPECT_EQ(ev.codes, (std::vector<unsigned>{0x102, 0x82, 0x82, 0x282, 0x202, 0x402, 0x802, 0x42, 0x42, 0x811,
                                               0x11, 0x21}));
    EXPECT_EQ(ev.texts[6], L"busy");
    EXPECT_EQ(ev.texts[9], L"Initializing optimization...");
}

TEST(SceneOptimizer, ProgressFromSeveralThreadsNeverOverlapsInTheCallback) {
    struct Guard {
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        std::atomic<int> calls{0};
    } guard;
    CSceneOptimizer opt;
    opt.SetProgressCallback(
        [](unsigned, const QuorvaneProgressInfo&, void* user) {
            Guard* g = static_cast<Guard*>(user);
            if (g->inside.fetch_add(1) != 0) g->overlaps.fetch_add(1);
            g->calls.fetch_add(1);
            std::this_thread::yield();
            g->inside.fetch_sub(1);
            return false;
        },
        &guard);
    // Four threads on a machine of two cores: waiting threads spin inside the OpenMP lock before
    // they sleep, so every round is slow; a few hundred rounds each still interleave thoroughly.
    constexpr int kThreads = 4, kRounds = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&opt] {
            for (int i = 0; i < kRounds; ++i) {
                opt.AddProgressPos(1);
                opt.AddProgressRange(2);
                if (i % 100 == 0) opt.CheckCancelButton();
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(guard.overlaps.load(), 0);
    EXPECT_EQ(opt.GetProgressInfo().GetPos(), kThreads * kRounds);  // no lost update
    EXPECT_EQ(opt.GetProgressInfo().GetMax(), 2 * kThreads * kRounds);
    EXPECT_EQ(guard.calls.load(), kThreads * (2 * kRounds + kRounds / 100));
}

}  // namespace
}  // namespace kestovar::test
