// Optimisation modes and attribute preservation of the contraction-ready object: what each mode
// group accepts, replaces and refuses, which preparation stages a change makes stale, tolerance
// clamping, material exclusion, and the point flags the initialisers and the preparation put on
// the initial mesh (texture seams, colour frontiers, normal breaks, material borders, corners).
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "kestovar/core/color.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {
namespace {

void SetFace(CFaceList& list, unsigned f, const std::vector<int>& idx) {
    CFace view;
    ASSERT_TRUE(list.GetFace(f, view));
    view.SetIndexes(idx.data(), unsigned(idx.size()));
}

// The object with a way to install any mode word, including ones the setters cannot produce.
class ModeObject : public C3DExtObject {
public:
    using C3DExtObject::C3DExtObject;
    void SetWord(unsigned long long mode) { m_optimizeMode = mode; }
};

// A strip of four quads (z = 0), each attribute changing across its own column:
//
//   5 --- 6 --- 7 --- 8 --- 9     colour:   q0 | q1-q3    red differs by `colorJump` (column 1)
//   | q0  | q1  | q2  | q3  |     texture:  q0-q1 | q2-q3 u jumps by `uvJump`       (column 2)
//   0 --- 1 --- 2 --- 3 --- 4     material: q0-q2 = 1 | q3 = 2                      (column 3)
//                                 normals:  q0-q2 +z | q3 tilted by 20 degrees      (column 3)
// The optimiser keeps the initial mesh apart from the working copy.
struct Strip {
    CSceneOptimizer optimizer;
    ModeObject* object;
    C3DPointList* points = C3DPointList::Create();
    C3DFaceList* faces = C3DFaceList::Create();

    explicit Strip(bool withUV = true, bool withVC = true, float uvJump = 0.5f, int colorJump = 100,
                   bool withNormals = false) {
        optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
        for (int k = 0; k < 10; ++k) points->Add(float(k % 5), float(k / 5), 0.0f);
        faces->SetSize(4, 4, SETSIZE_COMPACT_SLACK);
        CDependentChannels* channels = CDependentChannels::Create();
        CUVWChannel* uv = withUV ? new CUVWChannel() : nullptr;
        CVCChannel* vc = withVC ? new CVCChannel() : nullptr;
        CSpecNormalChannel* n = withNormals ? new CSpecNormalChannel() : nullptr;
        if (uv) {  // texture points side * 6 + row * 3 + x, for x = 0..2 on each side
            for (int side = 0; side < 2; ++side)
                for (int k = 0; k < 6; ++k)
                    uv->GetUVWPointList()->Add(float(k % 3 + 2 * side) * 0.25f + side * uvJump, float(k / 3));
            uv->GetUVWFaceList()->SetSize(4, 4, SETSIZE_COMPACT_SLACK);
        }
        if (vc) {  // colour points: q0 uses 0..3, q1-q3 share 4..7 (bottom x = 1..4) and 8..11 (top)
            for (int k = 0; k < 12; ++k)
                vc->GetVCPointList()->Add(CRGBColor(k < 4 ? 100 + colorJump : 100, 50, 50));
            vc->GetVCFaceList()->SetSize(4, 4, SETSIZE_COMPACT_SLACK);
        }
        if (n) {
            n->GetNormalVectorList()->Add(0.0f, 0.0f, 1.0f);
            n->GetNormalVectorList()->Add(float(std::sin(20.0 * M_PI / 180.0)), 0.0f,
                                          float(std::cos(20.0 * M_PI / 180.0)));
            n->GetFaceList()->SetSize(4, 4, SETSIZE_COMPACT_SLACK);
        }
        for (int q = 0; q < 4; ++q) {
            SetFace(*faces, unsigned(q), {q, q + 1, q + 6, q + 5});
            faces->SetFaceMaterial(unsigned(q), q < 3 ? 1u : 2u);
            const int b = (q / 2) * 6, x = q % 2, v = q == 3;
            if (uv) SetFace(*uv->GetUVWFaceList(), unsigned(q), {b + x, b + x + 1, b + 4 + x, b + 3 + x});
            if (vc)
                SetFace(*vc->GetVCFaceList(), unsigned(q),
                        q == 0 ? std::vector<int>{0, 1, 3, 2} : std::vector<int>{3 + q, 4 + q, 8 + q, 7 + q});
            if (n) SetFace(*n->GetFaceList(), unsigned(q), {v, v, v, v});
        }
        if (uv) channels->AddChannel(uv);
        if (vc) channels->AddChannel(vc);
        if (n) channels->AddChannel(n);
        object = new ModeObject(points, faces, channels);
        channels->Delete();
        object->SetOptimizer(optimizer, nullptr);
    }
    ~Strip() {
        object->Delete();
        points->Delete();
        faces->Delete();
    }
    std::set<int> With(unsigned flag) const {
        std::set<int> out;
        for (int i = 0; i < points->GetSize(); ++i)
            if (points->GetPt(i)->IsFlagSet(flag)) out.insert(i);
        return out;
    }
    std::set<int> Frozen() const {
        std::set<int> out;
        for (int i = 0; i < points->GetSize(); ++i)
            if (!points->GetPt(i)->IsFlagSet(POINT_SELECTED)) out.insert(i);
        return out;
    }
};

// The state flags a mode change may clear (EXT_WORKING_COPY and EXT_COSTS_READY go with the
// invalidation every change performs and are left out).
constexpr unsigned kWatched = EXT_SELECTION_READY | EXT_RESERVED_200 | EXT_RESERVED_1000000 | EXT_PREPARED |
                              EXT_UVW_FLAGS_READY | EXT_VC_FLAGS_READY | EXT_NORMAL_FLAGS_READY |
                              EXT_SYMMETRY_READY;
constexpr unsigned kAttr = EXT_SELECTION_READY | EXT_RESERVED_200 | EXT_RESERVED_1000000;

TEST(OptimizeMode, EachGroupReplacesItsBitsAndClearsExactlyItsStages) {
    struct Case {
        unsigned long long before, value;
        bool on;
        unsigned long long after;
        unsigned cleared;  // 0 with after == before: no change reported
    };
    const Case cases[] = {
        {0x0, 0x1, true, 0x1, EXT_SELECTION_READY},
        {0x2, 0x3, true, 0x3, EXT_SELECTION_READY},
        {0x3, 0x1, false, 0x0, EXT_SELECTION_READY},
        {0x0, 0x20, false, 0x20, EXT_SELECTION_READY},
        {0x50, 0x20, true, 0x20, EXT_SELECTION_READY},
        {0x40, 0x40, false, 0x40, 0},
        {0x80, 0x80, false, 0x0, EXT_SELECTION_READY},
        {0x180, 0x200, true, 0x280, EXT_SELECTION_READY},
        {0x280, 0x300, false, 0x80, EXT_SELECTION_READY},
        {0x0, 0x400, true, 0x400, kAttr | EXT_UVW_FLAGS_READY},
        {0xC00, 0x1000, true, 0x1400, kAttr | EXT_UVW_FLAGS_READY},
        {0x6000, 0x8000, true, 0xA000, kAttr | EXT_VC_FLAGS_READY},
        {0x0, 0x100000, true, 0x100000, EXT_SYMMETRY_READY},
        {0x100000, 0x100000, true, 0x100000, 0},
        {0x100000, 0x200000, true, 0x200000, EXT_SYMMETRY_READY},
        {0x200000, 0x380000, false, 0x0, EXT_SYMMETRY_READY},
        {0xC00000, 0x400000, false, 0x800000, 0},
        {0x0, 0x400000000, true, 0x400000000, 0},
        {0x8000000, 0x10000000, true, 0x10000000, EXT_SELECTION_READY},
        {0x10000000, 0x1C000000, false, 0x0, EXT_SELECTION_READY},
        {0x10, 0x8, true, 0x10, 0},
        {0x10, 0x30, true, 0x10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "before 0x" << c.before << " value 0x" << c.value);
        Strip s;
        s.object->LockInitialization();  // no re-preparation: the flags stay as the setter leaves them
        s.object->SetWord(c.before);
        s.object->SetExtFlags(kWatched, true);
        EXPECT_EQ(s.object->SetOptimizeMode(static_cast<OPTIMIZE_MODE>(c.value), c.on), c.after != c.before);
        EXPECT_EQ(s.object->GetOptimizeMode(), c.after);
        EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~c.cleared);
        s.object->UnlockInitialization();
    }
}

TEST(OptimizeMode, WholeWordKeepsTheFirstValueOfEachGroupAndNeedsChannels) {
    struct Case {
        unsigned long long before, mode, after;
    };
    const Case cases[] = {
        {0x0, 0x30, 0x10},
        {0x40, 0x0, 0x40} /* no border bit given: it stays */,
        {0x0, 0x3, 0x1},
        {0x0, 0x380, 0x180},
        {0x0, 0x1C00, 0xC00},
        {0x0, 0x300000, 0x100000},
        {0x0, 0x180000, 0x80000},
        {0x0, 0x1C000000, 0x4000000},
        {0x0, 0x3C00000, 0x3C00000},
        {0x0, 0x400000000, 0x0},
        {0x100000 | 0x2000 | 0x80, 0x10, 0x10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "before 0x" << c.before << " mode 0x" << c.mode);
        Strip s;
        s.object->LockInitialization();
        s.object->SetWord(c.before);
        EXPECT_EQ(s.object->SetOptimizeMode(c.mode, false), c.after != c.before);
        EXPECT_EQ(s.object->GetOptimizeMode(), c.after);
        s.object->UnlockInitialization();
    }
    // Without channels the keep bits are refused by both forms; sub-bits of the word stay.
    Strip bare(false, false);
    bare.object->LockInitialization();
    for (OPTIMIZE_MODE m : {OPT_KEEP_UVW, OPT_CONSTRAIN_UVW, OPT_KEEP_VC, OPT_FREEZE_VC, OPT_KEEP_NORMALS})
        EXPECT_FALSE(bare.object->SetOptimizeMode(m, true));
    EXPECT_EQ(bare.object->GetOptimizeMode(), 0u);
    EXPECT_TRUE(bare.object->SetOptimizeMode(0x400ull | 0x1000 | 0x2000 | 0x10000 | 0x10, true));
    EXPECT_EQ(bare.object->GetOptimizeMode(), 0x1010u);
    bare.object->UnlockInitialization();
}

TEST(Tolerances, ClampedStoredAndHiddenWhileTheirGroupIsOff) {
    Strip s;
    s.object->LockInitialization();
    s.object->SetExtFlags(kWatched, true);
    EXPECT_FALSE(s.object->SetVCTolerance(300));  // stored, but the group is off
    EXPECT_FALSE(s.object->SetUVWTolerance(-0.5f));
    EXPECT_FALSE(s.object->SetNormalThreshold(2.0));
    EXPECT_FALSE(s.object->SetSymetryTolerance(3.0f));
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched);
    EXPECT_EQ(s.object->GetVCTolerance(), -1);
    EXPECT_EQ(s.object->GetUVWTolerance(), -1.0f);
    EXPECT_EQ(s.object->GetNormalThreshold(), -1.0);
    EXPECT_EQ(s.object->GetSymetryTolerance(), 1.0f);
    s.object->SetWord(OPT_KEEP_VC | OPT_KEEP_UVW | OPT_KEEP_NORMALS | OPT_SYMMETRY_X);
    EXPECT_EQ(s.object->GetVCTolerance(), 255);
    EXPECT_EQ(s.object->GetUVWTolerance(), 0.0f);
    EXPECT_EQ(s.object->GetNormalThreshold(), 1.5707963267948966);
    EXPECT_FALSE(s.object->SetVCTolerance(1000)) << "clamps to the stored value";
    s.object->SetExtFlags(kWatched, true);
    EXPECT_TRUE(s.object->SetVCTolerance(-3));
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_VC_FLAGS_READY));
    EXPECT_TRUE(s.object->SetUVWTolerance(7.0f));
    EXPECT_TRUE(s.object->SetNormalThreshold(-1.0));
    EXPECT_TRUE(s.object->SetSymetryTolerance(0.25f));
    EXPECT_EQ(s.object->GetExtFlags() & kWatched,
              kWatched & ~unsigned(EXT_VC_FLAGS_READY | EXT_UVW_FLAGS_READY | EXT_NORMAL_FLAGS_READY |
                                   EXT_SYMMETRY_READY));
    EXPECT_EQ(s.object->GetVCTolerance(), 0);
    EXPECT_EQ(s.object->GetUVWTolerance(), 1.0f);
    EXPECT_EQ(s.object->GetNormalThreshold(), 0.0);
    EXPECT_TRUE(s.object->SetProgressiveThreshold(0.0));
    EXPECT_EQ(s.object->GetProgressiveThreshold(), double(1e-4f));
    EXPECT_TRUE(s.object->SetProgressiveThreshold(5.0));
    EXPECT_EQ(s.object->GetProgressiveThreshold(), 1.0);
    s.object->UnlockInitialization();
}

TEST(Materials, ExclusionSetAndChannelQueries) {
    Strip s;
    s.object->LockInitialization();
    s.object->SetExtFlags(kWatched, true);
    EXPECT_FALSE(s.object->SelectMaterial(2, true)) << "never excluded";
    EXPECT_FALSE(s.object->SelectAllMaterials());
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched);
    EXPECT_TRUE(s.object->SelectMaterial(2, false));
    EXPECT_FALSE(s.object->SelectMaterial(2, false)) << "already excluded";
    EXPECT_TRUE(s.object->SelectMaterial(7, false));
    EXPECT_TRUE(s.object->SelectMaterial(7, true));
    EXPECT_EQ(s.object->GetExcludedMaterials().GetCount(), 1);
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_SELECTION_READY));
    s.object->SetExtFlags(kWatched, true);
    EXPECT_TRUE(s.object->SelectAllMaterials());
    EXPECT_TRUE(s.object->GetExcludedMaterials().IsEmpty());
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_SELECTION_READY));
    s.object->UnlockInitialization();

    EXPECT_TRUE(s.object->ContainUVWInfo());
    EXPECT_TRUE(s.object->ContainVCInfo());
    EXPECT_FALSE(s.object->ContainNormalInfo());
    s.object->GetInitialChannels()->GetUVWChannelByIndex(0)->SetFlag(CHANNEL_DERIVED, true);
    EXPECT_FALSE(s.object->ContainUVWInfo()) << "a derived texture channel is no texture information";
}

TEST(PointFlags, SeamsFrontiersAndBreaksFollowModesAndTolerances) {
    Strip s(true, true, 0.05f, 20, true);  // seam of 0.05 in u, colour step of 20 levels
    s.object->LockInitialization();
    s.object->SetWord(OPT_KEEP_UVW | OPT_KEEP_VC | OPT_KEEP_NORMALS);
    s.object->SetExtFlags(EXT_SELECTION_READY, true);
    EXPECT_TRUE(s.object->InitUVWFlags());
    EXPECT_FALSE(s.object->IsExtFlagSet(EXT_SELECTION_READY)) << "new flags make the selection stale";
    EXPECT_FALSE(s.object->InitUVWFlags()) << "ready";
    EXPECT_TRUE(s.object->InitVCFlags());
    EXPECT_TRUE(s.object->InitNormalFlags());
    EXPECT_EQ(s.With(POINT_UV_SEAM), (std::set<int>{2, 7}));
    EXPECT_TRUE(s.With(POINT_UV_JUNCTION).empty());
    EXPECT_TRUE(s.With(POINT_VC_FRONTIER).empty()) << "default colour tolerance is 30 levels";
    EXPECT_EQ(s.With(POINT_NORMAL_FRONTIER), (std::set<int>{3, 8})) << "default threshold is 10 degrees";
    // 0.1 in texture space hides the seam, 10 levels show the colour step, 0.5 rad hides the break.
    EXPECT_TRUE(s.object->SetUVWTolerance(0.1f));
    EXPECT_TRUE(s.object->SetVCTolerance(10));
    EXPECT_TRUE(s.object->SetNormalThreshold(0.5));
    s.object->InitUVWFlags(), s.object->InitVCFlags(), s.object->InitNormalFlags();
    EXPECT_TRUE(s.With(POINT_UV_SEAM).empty());
    EXPECT_EQ(s.With(POINT_VC_FRONTIER), (std::set<int>{1, 6}));
    EXPECT_TRUE(s.With(POINT_NORMAL_FRONTIER).empty());
    // A keep bit switched off clears its flags at the next initialisation.
    EXPECT_TRUE(s.object->SetOptimizeMode(OPT_KEEP_VC, false));
    EXPECT_TRUE(s.object->InitVCFlags());
    EXPECT_TRUE(s.With(POINT_VC_FRONTIER).empty());
    s.object->UnlockInitialization();
}

TEST(PointFlags, CubeWithPerFaceTextureIsSeamAndJunctionEverywhere) {
    CSceneOptimizer optimizer;  // no working copy: the object flags its own copy of the points
    C3DPointList* points = C3DPointList::Create();
    for (int i = 0; i < 8; ++i) points->Add(float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1));
    const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                             {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    C3DFaceList* faces = C3DFaceList::Create();
    faces->SetSize(6, 4, SETSIZE_COMPACT_SLACK);
    CUVWChannel* uv = new CUVWChannel();
    uv->GetUVWFaceList()->SetSize(6, 4, SETSIZE_COMPACT_SLACK);
    for (unsigned f = 0; f < 6; ++f) {
        SetFace(*faces, f, {quads[f][0], quads[f][1], quads[f][2], quads[f][3]});
        std::vector<int> corners;
        for (int k = 0; k < 4; ++k)
            corners.push_back(
                uv->GetUVWPointList()->Add(float(f) + 0.25f * float(k & 1), 0.25f * float(k >> 1)));
        SetFace(*uv->GetUVWFaceList(), f, corners);
    }
    CDependentChannels* channels = CDependentChannels::Create();
    channels->AddChannel(uv);
    C3DExtObject* object = new C3DExtObject(points, faces, channels);
    channels->Delete();
    object->SetOptimizer(optimizer, nullptr);
    object->LockInitialization();
    ASSERT_TRUE(object->SetOptimizeMode(OPT_KEEP_UVW, true));
    object->InitUVWFlags();
    const C3DPointList* initial = object->GetInitialPointList();
    for (int p = 0; p < 8; ++p)
        EXPECT_TRUE(initial->GetPt(p)->IsFlagSet(POINT_UV_SEAM | POINT_UV_JUNCTION)) << p;
    object->SetOptimizeMode(OPT_KEEP_UVW, false);
    object->InitUVWFlags();
    for (int p = 0; p < 8; ++p)
        EXPECT_FALSE(initial->GetPt(p)->IsOneFlagSet(POINT_UV_SEAM | POINT_UV_JUNCTION)) << p;
    object->UnlockInitialization();
    object->Delete();
    points->Delete();
    faces->Delete();
}

TEST(Preparation, FeatureAndFreezeModesSelectExactlyTheirPoints) {
    Strip plain(false, false);
    ASSERT_TRUE(plain.object->InitOptimization(true));
    EXPECT_TRUE(plain.object->ContainMaterialFrontier());
    EXPECT_EQ(plain.With(POINT_MATERIAL_FRONTIER), (std::set<int>{3, 8}));
    EXPECT_EQ(plain.With(POINT_2D_CORNER), (std::set<int>{0, 4, 5, 9}));
    EXPECT_TRUE(plain.With(POINT_3D_CORNER).empty());
    const struct {
        unsigned long long mode;
        std::set<int> frozen;
    } cases[] = {
        {0x0, {}},
        {OPT_KEEP_MATERIAL | OPT_FREEZE_MATERIAL, {3, 8}},
        {OPT_KEEP_UVW | OPT_FREEZE_UVW, {2, 7}},
        {OPT_KEEP_VC | OPT_FREEZE_VC, {1, 6}},
        {OPT_FREEZE_CORNERS, {0, 4, 5, 9}},
        {OPT_FREEZE_BORDER, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "mode 0x" << c.mode);
        Strip s;
        s.object->SetOptimizeMode(c.mode, true);
        ASSERT_TRUE(s.object->InitOptimization(true));
        EXPECT_EQ(s.Frozen(), c.frozen);
    }
    // Keeping without freezing selects everything and marks the features.
    Strip k;
    k.object->SetOptimizeMode(OPT_KEEP_MATERIAL | OPT_KEEP_UVW | OPT_KEEP_VC, true);
    ASSERT_TRUE(k.object->InitOptimization(true));
    EXPECT_TRUE(k.Frozen().empty());
    EXPECT_EQ(k.With(POINT_FEATURE), (std::set<int>{1, 2, 3, 6, 7, 8}));
}

TEST(Preparation, ModeChangesOutsideALockReprepareAtOnce) {
    Strip s;
    ASSERT_TRUE(s.object->InitOptimization(true));
    EXPECT_TRUE(s.Frozen().empty());
    // Switching the keep bit on must find the seams the initialiser cleared while it was off.
    s.object->SetOptimizeMode(OPT_KEEP_UVW, true);
    EXPECT_TRUE(s.object->SetOptimizeMode(OPT_FREEZE_UVW, true));
    EXPECT_TRUE(s.object->IsExtFlagSet(EXT_SELECTION_READY));
    EXPECT_EQ(s.Frozen(), (std::set<int>{2, 7}));
    s.object->SetOptimizeMode(OPT_FREEZE_CORNERS, true);
    EXPECT_EQ(s.Frozen(), (std::set<int>{0, 2, 4, 5, 7, 9}));
    s.object->SetOptimizeMode(OPT_CORNERS_MASK, false);
    EXPECT_EQ(s.Frozen(), (std::set<int>{2, 7}));
}

}  // namespace
}  // namespace kestovar
