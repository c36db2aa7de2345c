// Optimisation modes and attribute preservation of the contraction-ready object: what each mode
// group accepts, replaces and refuses, which preparation stages a change makes stale, tolerance
// clamping and the getters that hide tolerances of groups that are off, material exclusion, the
// channel queries, and the point flags the initialisers and the preparation put on the initial
// mesh (texture seams, colour frontiers, material borders, corners, excluded materials).
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "kestovar/core/color.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {
namespace {

using Face = std::vector<int>;

void SetFace(CFaceList& list, unsigned f, const Face& idx) {
    CFace view;
    ASSERT_TRUE(list.GetFace(f, view));
    view.SetIndexes(idx.data(), unsigned(idx.size()));
}

// The object with a way to install a mode word directly, so that every starting state of a
// setter (including ones its own groups cannot produce) can be tested.
class ModeObject : public C3DExtObject {
public:
    using C3DExtObject::C3DExtObject;
    void SetWord(unsigned long long mode) { m_optimizeMode = mode; }
};

// A strip of four quads in the plane z = 0, each attribute changing across its own column:
//
//   5 --- 6 --- 7 --- 8 --- 9       colour:   quad 0 | quads 1-3     (frontier at column 1)
//   | q0  | q1  | q2  | q3  |       texture:  quads 0-1 | quads 2-3  (seam at column 2)
//   0 --- 1 --- 2 --- 3 --- 4       material: quads 0-2 = 1 | q3 = 2 (frontier at column 3)
//
// Across the seam the u coordinate jumps by `uvJump`; across the colour frontier the red
// component changes by `colorJump` levels. Optional channels are left out on request.
struct Strip {
    CSceneOptimizer optimizer;
    ModeObject* object = nullptr;
    C3DPointList* points = nullptr;
    C3DFaceList* faces = nullptr;

    explicit Strip(bool withUV = true, bool withVC = true, float uvJump = 0.5f, int colorJump = 100,
                   bool workingCopy = true) {
        optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY, workingCopy);
        points = C3DPointList::Create();
        for (int row = 0; row < 2; ++row)
            for (int x = 0; x <= 4; ++x) points->Add(float(x), float(row), 0.0f);
        faces = C3DFaceList::Create();
        faces->SetSize(4, 4, SETSIZE_COMPACT_SLACK);
        for (int q = 0; q < 4; ++q) {
            SetFace(*faces, unsigned(q), {q, q + 1, q + 6, q + 5});
            faces->SetFaceMaterial(unsigned(q), q < 3 ? 1u : 2u);
        }
        CDependentChannels* channels = CDependentChannels::Create();
        if (withUV) {
            // Quads 0-1 use texture points 0..5 / 6..11 (bottom / top, x = 0..2); quads 2-3 use
            // their own points at x = 2..4, shifted by uvJump.
            CUVWChannel* uv = new CUVWChannel();
            CUVWPointList* up = uv->GetUVWPointList();
            for (int side = 0; side < 2; ++side)
                for (int row = 0; row < 2; ++row)
                    for (int x = 0; x < 3; ++x) up->Add(float(x + 2 * side) * 0.25f + side * uvJump, float(row));
            CUVWFaceList* uf = uv->GetUVWFaceList();
            uf->SetSize(4, 4, SETSIZE_COMPACT_SLACK);
            for (int q = 0; q < 4; ++q) {
                const int side = q / 2, x = q % 2, base = side * 6;
                SetFace(*uf, unsigned(q), {base + x, base + x + 1, base + 3 + x + 1, base + 3 + x});
            }
            channels->AddChannel(uv);
        }
        if (withVC) {
            // Quad 0 uses colour points 0..3, quads 1-3 share points 4..11 (bottom x = 1..4, top).
            CVCChannel* vc = new CVCChannel();
            CVCPointList* vp = vc->GetVCPointList();
            const CRGBColor a(100 + colorJump, 50, 50), b(100, 50, 50);
            for (int k = 0; k < 4; ++k) vp->Add(a);
            for (int k = 0; k < 8; ++k) vp->Add(b);
            CVCFaceList* vf = vc->GetVCFaceList();
            vf->SetSize(4, 4, SETSIZE_COMPACT_SLACK);
            SetFace(*vf, 0, {0, 1, 3, 2});
            for (int q = 1; q < 4; ++q) SetFace(*vf, unsigned(q), {4 + q - 1, 4 + q, 8 + q, 8 + q - 1});
            channels->AddChannel(vc);
        }
        object = new ModeObject(points, faces, channels);
        channels->Delete();
        object->SetOptimizer(optimizer, nullptr);
    }
    ~Strip() {
        object->Delete();
        points->Delete();
        faces->Delete();
    }
    Strip(const Strip&) = delete;
    Strip& operator=(const Strip&) = delete;

    // Initial points carrying every bit of `flag`.
    std::set<int> With(unsigned flag) const {
        std::set<int> out;
        for (int i = 0; i < points->GetSize(); ++i)
            if (points->GetPt(i)->IsFlagSet(flag)) out.insert(i);
        return out;
    }
};

// ---- single-value mode setter ----

// The state flags a mode change may clear; the others must survive it. EXT_WORKING_COPY and
// EXT_COSTS_READY belong to the invalidation every change performs and are left out.
constexpr unsigned kWatched = EXT_SELECTION_READY | EXT_RESERVED_200 | EXT_RESERVED_1000000 | EXT_PREPARED |
                              EXT_UVW_FLAGS_READY | EXT_VC_FLAGS_READY | EXT_NORMAL_FLAGS_READY | EXT_SYMMETRY_READY;
constexpr unsigned kAttributeWork = EXT_SELECTION_READY | EXT_RESERVED_200 | EXT_RESERVED_1000000;

struct ModeCase {
    unsigned long long before;
    unsigned long long value;
    bool on;
    unsigned long long after;
    bool changed;
    unsigned cleared;  // watched flags the change clears
};

TEST(OptimizeMode, EachGroupReplacesItsBitsAndClearsExactlyItsStages) {
    const ModeCase cases[] = {
        // selection: bits 0-1 as one value
        {0x0, 0x1, true, 0x1, true, EXT_SELECTION_READY},
        {0x1, 0x2, true, 0x2, true, EXT_SELECTION_READY},
        {0x2, 0x3, true, 0x3, true, EXT_SELECTION_READY},
        {0x3, 0x1, false, 0x0, true, EXT_SELECTION_READY},
        // border: the value replaces the group whatever `on` says
        {0x0, 0x20, false, 0x20, true, EXT_SELECTION_READY},
        {0x50, 0x20, true, 0x20, true, EXT_SELECTION_READY},
        {0x40, 0x40, false, 0x40, false, 0},
        // material keep bit, then its sub-bits
        {0x0, 0x80, true, 0x80, true, EXT_SELECTION_READY},
        {0x80, 0x80, false, 0x0, true, EXT_SELECTION_READY},
        {0x180, 0x200, true, 0x280, true, EXT_SELECTION_READY},
        {0x280, 0x300, false, 0x80, true, EXT_SELECTION_READY},
        // attribute groups (the strip has texture and colour channels)
        {0x0, 0x400, true, 0x400, true, kAttributeWork | EXT_UVW_FLAGS_READY},
        {0xC00, 0x1000, true, 0x1400, true, kAttributeWork | EXT_UVW_FLAGS_READY},
        {0x1400, 0x1800, false, 0x400, true, kAttributeWork | EXT_UVW_FLAGS_READY},
        {0x0, 0x2000, true, 0x2000, true, kAttributeWork | EXT_VC_FLAGS_READY},
        {0x6000, 0x8000, true, 0xA000, true, kAttributeWork | EXT_VC_FLAGS_READY},
        // symmetry: one axis at a time; asking for the current axis changes nothing
        {0x0, 0x100000, true, 0x100000, true, EXT_SYMMETRY_READY},
        {0x100000, 0x100000, true, 0x100000, false, 0},
        {0x100000, 0x200000, true, 0x200000, true, EXT_SYMMETRY_READY},
        {0x200000, 0x380000, false, 0x0, true, EXT_SYMMETRY_READY},
        // plain bits: set or clear, only the invalidation follows
        {0x0, 0x800000, true, 0x800000, true, 0},
        {0xC00000, 0x400000, false, 0x800000, true, 0},
        {0x0, 0x400000000, true, 0x400000000, true, 0},
        {0x0, 0x2000000, true, 0x2000000, true, 0},
        // corners: one of three; freezing or keeping corners changes the selection
        {0x0, 0x8000000, true, 0x8000000, true, EXT_SELECTION_READY},
        {0x8000000, 0x10000000, true, 0x10000000, true, EXT_SELECTION_READY},
        {0x10000000, 0x1C000000, false, 0x0, true, EXT_SELECTION_READY},
        // not a mode value
        {0x10, 0x8, true, 0x10, false, 0},
        {0x10, 0x30, true, 0x10, false, 0},
    };
    for (const ModeCase& c : cases) {
        Strip s;
        s.object->LockInitialization();  // keep the flags as the setter leaves them
        s.object->SetWord(c.before);
        s.object->SetExtFlags(kWatched, true);
        const bool changed = s.object->SetOptimizeMode(static_cast<OPTIMIZE_MODE>(c.value), c.on);
        SCOPED_TRACE(testing::Message() << std::hex << "before 0x" << c.before << " value 0x" << c.value << " on "
                                        << c.on);
        EXPECT_EQ(changed, c.changed);
        EXPECT_EQ(s.object->GetOptimizeMode(), c.after);
        EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~c.cleared);
        s.object->UnlockInitialization();
    }
}

TEST(OptimizeMode, AttributeGroupsNeedTheirChannel) {
    Strip s(/*withUV=*/false, /*withVC=*/false);
    EXPECT_FALSE(s.object->SetOptimizeMode(OPT_KEEP_UVW, true));
    EXPECT_FALSE(s.object->SetOptimizeMode(OPT_CONSTRAIN_UVW, true));
    EXPECT_FALSE(s.object->SetOptimizeMode(OPT_KEEP_VC, true));
    EXPECT_FALSE(s.object->SetOptimizeMode(OPT_FREEZE_VC, true));
    EXPECT_FALSE(s.object->SetOptimizeMode(OPT_KEEP_NORMALS, true));
    EXPECT_FALSE(s.object->SetOptimizeMode(OPT_CONSTRAIN_NORMALS, true));
    EXPECT_EQ(s.object->GetOptimizeMode(), 0u);
    // The whole-word form drops the keep bits without their channel and keeps the rest.
    EXPECT_TRUE(s.object->SetOptimizeMode(0x400ull | 0x1000 | 0x2000 | 0x10000 | 0x10, true));
    EXPECT_EQ(s.object->GetOptimizeMode(), 0x1000ull | 0x10);
}

// ---- whole-word mode setter ----

TEST(OptimizeMode, WholeWordKeepsTheFirstValueOfEachGroup) {
    struct WordCase {
        unsigned long long before, mode, after;
    };
    const WordCase cases[] = {
        {0x0, 0x30, 0x10},                   // keep border wins over constrain
        {0x40, 0x0, 0x40},                   // no border bit given: the border option stays
        {0x0, 0x60, 0x20},                   // constrain wins over freeze
        {0x0, 0x3, 0x1},                     // protect selection wins over selection only
        {0x0, 0x380, 0x180},                 // material: constrain wins over freeze
        {0x0, 0x1C00, 0xC00},                // texture: constrain wins over freeze
        {0x0, 0x300000, 0x100000},           // Y wins over X
        {0x0, 0x180000, 0x80000},            // Z wins over Y
        {0x0, 0x1C000000, 0x4000000},        // keep corners wins
        {0x0, 0x3C00000, 0x3C00000},         // the four plain bits are copied
        {0x3C00000, 0x0, 0x0},
        {0x0, 0x400000000, 0x0},             // triangulate-all is not assigned by this form
        {0x100000 | 0x2000 | 0x80, 0x10, 0x10},  // groups absent from the word are cleared
    };
    for (const WordCase& c : cases) {
        Strip s;
        s.object->LockInitialization();
        s.object->SetWord(c.before);
        SCOPED_TRACE(testing::Message() << std::hex << "before 0x" << c.before << " mode 0x" << c.mode);
        EXPECT_EQ(s.object->SetOptimizeMode(c.mode, false), c.after != c.before);
        EXPECT_EQ(s.object->GetOptimizeMode(), c.after);
        s.object->UnlockInitialization();
    }
}

TEST(OptimizeMode, WholeWordClearsTheStagesOfChangedGroupsOnly) {
    Strip s;
    s.object->LockInitialization();
    s.object->SetOptimizeMode(0x80000ull | 0x400, true);
    s.object->SetExtFlags(kWatched, true);
    // Only the colour group changes (the symmetry axis and the texture keep bit stay).
    EXPECT_TRUE(s.object->SetOptimizeMode(0x80000ull | 0x400 | 0x2000, true));
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~(kAttributeWork | EXT_VC_FLAGS_READY));
    s.object->SetExtFlags(kWatched, true);
    EXPECT_FALSE(s.object->SetOptimizeMode(0x80000ull | 0x400 | 0x2000, true));
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched);
    s.object->UnlockInitialization();
}

TEST(OptimizeMode, ExtendedModeOnlyAddsBits) {
    Strip s;
    EXPECT_TRUE(s.object->SetOptimizeExtMode(0x1, false));
    EXPECT_FALSE(s.object->SetOptimizeExtMode(0x1, true));
    EXPECT_TRUE(s.object->SetOptimizeExtMode(0x4, true));
    EXPECT_FALSE(s.object->SetOptimizeExtMode(0x0, true));
    EXPECT_EQ(s.object->GetOptimizeExtMode(), 0x5u);
}

// ---- tolerances ----

TEST(Tolerances, AreClampedStoredAndHiddenWhileTheirGroupIsOff) {
    Strip s;
    s.object->LockInitialization();
    // Stored even while the group is off, but reported as -1 and nothing is invalidated.
    s.object->SetExtFlags(kWatched, true);
    EXPECT_FALSE(s.object->SetVCTolerance(300));
    EXPECT_FALSE(s.object->SetUVWTolerance(-0.5f));
    EXPECT_EQ(s.object->GetVCTolerance(), -1);
    EXPECT_EQ(s.object->GetUVWTolerance(), -1.0f);
    EXPECT_EQ(s.object->GetNormalThreshold(), -1.0);
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched);
    s.object->SetOptimizeMode(OPT_KEEP_VC, true);
    s.object->SetOptimizeMode(OPT_KEEP_UVW, true);
    EXPECT_EQ(s.object->GetVCTolerance(), 255);
    EXPECT_EQ(s.object->GetUVWTolerance(), 0.0f);
    // Setting the stored value again changes nothing; a new one clears only its group's flags.
    s.object->SetExtFlags(kWatched, true);
    EXPECT_FALSE(s.object->SetVCTolerance(1000));
    EXPECT_TRUE(s.object->SetVCTolerance(-3));
    EXPECT_EQ(s.object->GetVCTolerance(), 0);
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_VC_FLAGS_READY));
    s.object->SetExtFlags(kWatched, true);
    EXPECT_TRUE(s.object->SetUVWTolerance(7.0f));
    EXPECT_EQ(s.object->GetUVWTolerance(), 1.0f);
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_UVW_FLAGS_READY));
    s.object->UnlockInitialization();
}

TEST(Tolerances, NormalAndSymmetryRangesAndTheOtherSettings) {
    Strip s;
    s.object->LockInitialization();
    // The strip has no specified normals, so the normal group is installed directly.
    EXPECT_FALSE(s.object->SetNormalThreshold(2.0));  // stored, group off
    EXPECT_EQ(s.object->GetNormalThreshold(), -1.0);
    s.object->SetWord(OPT_KEEP_NORMALS);
    EXPECT_EQ(s.object->GetNormalThreshold(), 1.5707963267948966);
    s.object->SetExtFlags(kWatched, true);
    EXPECT_FALSE(s.object->SetNormalThreshold(1.5707963267948966));
    EXPECT_TRUE(s.object->SetNormalThreshold(-1.0));
    EXPECT_EQ(s.object->GetNormalThreshold(), 0.0);
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_NORMAL_FLAGS_READY));
    s.object->SetWord(0);
    // Symmetry: any axis bit turns the group on.
    EXPECT_FALSE(s.object->SetSymetryTolerance(3.0f));
    EXPECT_EQ(s.object->GetSymetryTolerance(), 1.0f);
    s.object->SetOptimizeMode(OPT_SYMMETRY_X, true);
    s.object->SetExtFlags(kWatched, true);
    EXPECT_TRUE(s.object->SetSymetryTolerance(0.25f));
    EXPECT_EQ(s.object->GetSymetryTolerance(), 0.25f);
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_SYMMETRY_READY));
    EXPECT_FALSE(s.object->SetSymetryTolerance(0.25f));
    // The constraint ratio takes any value.
    EXPECT_EQ(s.object->GetConstraintRatio(), -1.0f);
    EXPECT_TRUE(s.object->SetConstraintRatio(1e-3f));
    EXPECT_FALSE(s.object->SetConstraintRatio(1e-3f));
    EXPECT_EQ(s.object->GetConstraintRatio(), 1e-3f);
    // The progressive threshold: 0 is stored as 1e-4 (as float), anything else up to 1.
    EXPECT_EQ(s.object->GetProgressiveThreshold(), 1.0);
    EXPECT_TRUE(s.object->SetProgressiveThreshold(0.0));
    EXPECT_EQ(s.object->GetProgressiveThreshold(), double(1e-4f));
    EXPECT_TRUE(s.object->SetProgressiveThreshold(5.0));
    EXPECT_EQ(s.object->GetProgressiveThreshold(), 1.0);
    EXPECT_TRUE(s.object->SetProgressiveThreshold(0.3));
    EXPECT_FALSE(s.object->SetProgressiveThreshold(0.3));
    s.object->UnlockInitialization();
}

// ---- material exclusion and channel queries ----

TEST(Materials, ExclusionSetAndQueries) {
    Strip s;
    s.object->LockInitialization();
    s.object->SetExtFlags(kWatched, true);
    EXPECT_FALSE(s.object->SelectMaterial(2, true)) << "never excluded";
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched);
    EXPECT_FALSE(s.object->SelectAllMaterials());
    EXPECT_TRUE(s.object->SelectMaterial(2, false));
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_SELECTION_READY));
    EXPECT_FALSE(s.object->SelectMaterial(2, false)) << "already excluded";
    EXPECT_TRUE(s.object->SelectMaterial(7, false));
    EXPECT_EQ(s.object->GetExcludedMaterials().GetCount(), 2);
    EXPECT_TRUE(s.object->GetExcludedMaterials().IsFound(7u));
    EXPECT_TRUE(s.object->SelectMaterial(7, true));
    EXPECT_FALSE(s.object->GetExcludedMaterials().IsFound(7u));
    s.object->SetExtFlags(kWatched, true);
    EXPECT_TRUE(s.object->SelectAllMaterials());
    EXPECT_TRUE(s.object->GetExcludedMaterials().IsEmpty());
    EXPECT_EQ(s.object->GetExcludedMaterials().GetCapacity(), 23u);
    EXPECT_EQ(s.object->GetExtFlags() & kWatched, kWatched & ~unsigned(EXT_SELECTION_READY));
    s.object->UnlockInitialization();
}

TEST(Materials, ChannelQueries) {
    Strip both;
    EXPECT_TRUE(both.object->ContainUVWInfo());
    EXPECT_TRUE(both.object->ContainVCInfo());
    EXPECT_FALSE(both.object->ContainNormalInfo());
    Strip none(false, false);
    EXPECT_FALSE(none.object->ContainUVWInfo());
    EXPECT_FALSE(none.object->ContainVCInfo());
    // A derived texture channel does not count as texture information.
    both.object->GetInitialChannels()->GetUVWChannelByIndex(0)->SetFlag(CHANNEL_DERIVED, true);
    EXPECT_FALSE(both.object->ContainUVWInfo());
}

// ---- point-flag initialisers ----

TEST(PointFlags, SeamsAndColourFrontiersFollowTheirModesAndTolerances) {
    // The texture seam is a jump of 0.05 in u, the colour frontier 20 levels of red.
    Strip s(true, true, 0.05f, 20);
    s.object->LockInitialization();
    s.object->SetOptimizeMode(OPT_KEEP_UVW, true);
    s.object->SetOptimizeMode(OPT_KEEP_VC, true);
    s.object->SetExtFlags(EXT_SELECTION_READY, true);
    EXPECT_TRUE(s.object->InitUVWFlags());
    EXPECT_FALSE(s.object->IsExtFlagSet(EXT_SELECTION_READY)) << "new flags make the selection stale";
    EXPECT_FALSE(s.object->InitUVWFlags()) << "ready";
    EXPECT_TRUE(s.object->InitVCFlags());
    EXPECT_EQ(s.With(POINT_UV_SEAM), (std::set<int>{2, 7}));
    EXPECT_TRUE(s.With(POINT_UV_JUNCTION).empty());
    // The default colour tolerance (30 levels) does not see a jump of 20.
    EXPECT_TRUE(s.With(POINT_VC_FRONTIER).empty());

    // Tolerances: 0.1 in texture space hides the seam, 10 levels reveal the colour frontier.
    EXPECT_TRUE(s.object->SetUVWTolerance(0.1f));
    EXPECT_TRUE(s.object->SetVCTolerance(10));
    EXPECT_TRUE(s.object->InitUVWFlags());
    EXPECT_TRUE(s.object->InitVCFlags());
    EXPECT_TRUE(s.With(POINT_UV_SEAM).empty());
    EXPECT_EQ(s.With(POINT_VC_FRONTIER), (std::set<int>{1, 6}));

    // Switching a keep bit off clears its flags on the next initialisation.
    s.object->SetOptimizeMode(OPT_KEEP_VC, false);
    EXPECT_TRUE(s.object->InitVCFlags());
    EXPECT_TRUE(s.With(POINT_VC_FRONTIER).empty());
    s.object->UnlockInitialization();
}

TEST(PointFlags, CubeWithPerFaceTextureIsSeamAndJunctionEverywhere) {
    CSceneOptimizer optimizer;
    C3DPointList* points = C3DPointList::Create();
    for (int i = 0; i < 8; ++i) points->Add(float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1));
    const std::vector<Face> quads = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    C3DFaceList* faces = C3DFaceList::Create();
    faces->SetSize(6, 4, SETSIZE_COMPACT_SLACK);
    CUVWChannel* uv = new CUVWChannel();
    uv->GetUVWFaceList()->SetSize(6, 4, SETSIZE_COMPACT_SLACK);
    for (unsigned f = 0; f < 6; ++f) {
        SetFace(*faces, f, quads[f]);
        Face corners;
        for (int k = 0; k < 4; ++k)
            corners.push_back(uv->GetUVWPointList()->Add(float(f) + 0.25f * float(k & 1), 0.25f * float(k >> 1)));
        SetFace(*uv->GetUVWFaceList(), f, corners);
    }
    CDependentChannels* channels = CDependentChannels::Create();
    channels->AddChannel(uv);
    C3DExtObject* object = new C3DExtObject(points, faces, channels);
    channels->Delete();
    object->SetOptimizer(optimizer, nullptr);
    object->LockInitialization();
    object->SetOptimizeMode(OPT_KEEP_UVW, true);
    object->InitUVWFlags();
    // Simplified in place: the object works on (and flags) its own extended copy of the points.
    C3DPointList* initial = object->GetInitialPointList();
    for (int p = 0; p < 8; ++p) EXPECT_TRUE(initial->GetPt(p)->IsFlagSet(POINT_UV_SEAM | POINT_UV_JUNCTION)) << p;
    // Without the keep bit the initialiser clears what it set.
    object->SetOptimizeMode(OPT_KEEP_UVW, false);
    object->InitUVWFlags();
    for (int p = 0; p < 8; ++p) EXPECT_FALSE(initial->GetPt(p)->IsOneFlagSet(POINT_UV_SEAM | POINT_UV_JUNCTION)) << p;
    object->UnlockInitialization();
    object->Delete();
    points->Delete();
    faces->Delete();
}

TEST(PointFlags, SymmetryMapFollowsTheAxisBit) {
    Strip s;
    s.object->LockInitialization();
    EXPECT_TRUE(s.object->InitSymetryMap());
    EXPECT_EQ(s.object->GetInitialSymetryMap(), nullptr) << "no axis";
    s.object->SetOptimizeMode(OPT_SYMMETRY_X, true);
    ASSERT_TRUE(s.object->InitSymetryMap());
    ASSERT_NE(s.object->GetInitialSymetryMap(), nullptr);
    // The strip is symmetric across x = 2: 0 <-> 4, 1 <-> 3, 2 on the plane.
    EXPECT_EQ(s.object->GetInitialSymetryMap()->GetPartner(0), 4);
    EXPECT_EQ(s.object->GetInitialSymetryMap()->GetPartner(6), 8);
    EXPECT_EQ(s.object->GetInitialSymetryMap()->GetPartner(2), 2);
    EXPECT_FALSE(s.object->InitSymetryMap()) << "ready";
    s.object->SetOptimizeMode(OPT_SYMMETRY_MASK, false);
    EXPECT_TRUE(s.object->InitSymetryMap());
    EXPECT_EQ(s.object->GetInitialSymetryMap(), nullptr);
    s.object->UnlockInitialization();
}

// ---- through the preparation ----

TEST(Preparation, MaterialBorderAndOutlineCornersOfTheStrip) {
    Strip s(false, false);
    ASSERT_TRUE(s.object->InitOptimization(true));
    EXPECT_TRUE(s.object->ContainMaterialFrontier());
    EXPECT_EQ(s.With(POINT_MATERIAL_FRONTIER), (std::set<int>{3, 8}));
    EXPECT_EQ(s.With(POINT_2D_CORNER), (std::set<int>{0, 4, 5, 9}));
    EXPECT_TRUE(s.With(POINT_3D_CORNER).empty());
    EXPECT_EQ(s.With(POINT_BORDER).size(), 10u);
}

TEST(Preparation, FreezeModesUnselectExactlyTheirPoints) {
    struct FreezeCase {
        unsigned long long mode;
        std::set<int> frozen;
    };
    const FreezeCase cases[] = {
        {0x0, {}},
        {OPT_KEEP_MATERIAL | OPT_FREEZE_MATERIAL, {3, 8}},
        {OPT_KEEP_UVW | OPT_FREEZE_UVW, {2, 7}},
        {OPT_KEEP_VC | OPT_FREEZE_VC, {1, 6}},
        {OPT_FREEZE_CORNERS, {0, 4, 5, 9}},
        {OPT_FREEZE_BORDER, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        // Keeping without freezing selects everything and marks features instead.
        {OPT_KEEP_MATERIAL | OPT_KEEP_UVW | OPT_KEEP_VC | OPT_KEEP_CORNERS, {}},
    };
    for (const FreezeCase& c : cases) {
        Strip s;
        s.object->SetOptimizeMode(c.mode, true);
        ASSERT_TRUE(s.object->InitOptimization(true));
        SCOPED_TRACE(testing::Message() << std::hex << "mode 0x" << c.mode);
        std::set<int> frozen;
        for (int p = 0; p < 10; ++p)
            if (!s.points->GetPt(p)->IsFlagSet(POINT_SELECTED)) frozen.insert(p);
        EXPECT_EQ(frozen, c.frozen);
    }
    Strip k;
    k.object->SetOptimizeMode(OPT_KEEP_MATERIAL | OPT_KEEP_UVW | OPT_KEEP_VC, true);
    ASSERT_TRUE(k.object->InitOptimization(true));
    EXPECT_EQ(k.With(POINT_FEATURE), (std::set<int>{1, 2, 3, 6, 7, 8}));
}

TEST(Preparation, ModeChangeOutsideALockReprepares) {
    Strip s;
    ASSERT_TRUE(s.object->InitOptimization(true));
    EXPECT_EQ(s.With(POINT_SELECTED).size(), 10u);
    // The setter re-runs the stale stages itself: the seam points are frozen at once.
    s.object->SetOptimizeMode(OPT_KEEP_UVW, true);
    EXPECT_TRUE(s.object->SetOptimizeMode(OPT_FREEZE_UVW, true));
    EXPECT_TRUE(s.object->IsExtFlagSet(EXT_SELECTION_READY));
    EXPECT_EQ(s.With(POINT_UV_SEAM), (std::set<int>{2, 7}));
    EXPECT_EQ(s.With(POINT_SELECTED).size(), 8u);
    // Switching the corner freeze on and off again changes the selection each time.
    s.object->SetOptimizeMode(OPT_FREEZE_CORNERS, true);
    EXPECT_EQ(s.With(POINT_SELECTED).size(), 4u);
    s.object->SetOptimizeMode(OPT_CORNERS_MASK, false);
    EXPECT_EQ(s.With(POINT_SELECTED).size(), 8u);
}

TEST(Preparation, ExcludedMaterialFreezesItsFacesAndTheirPoints) {
    Strip s(false, false);
    s.object->SelectMaterial(2, false);
    ASSERT_TRUE(s.object->InitOptimization(false));
    // Every point of the material-2 quad is frozen, the shared column included.
    std::set<int> frozen;
    for (int p = 0; p < 10; ++p)
        if (!s.points->GetPt(p)->IsFlagSet(POINT_SELECTED)) frozen.insert(p);
    EXPECT_EQ(frozen, (std::set<int>{3, 4, 8, 9}));
    // No working face of material 2 may be touched: none is selected, and the quad is not even
    // triangulated unless every face is asked for.
    auto material2 = [&s](unsigned& corners) {
        C3DFaceList* work = s.object->GetWorkingFaceList();
        int count = 0;
        corners = 0;
        for (int f = 0; f < work->GetSize(); ++f) {
            if (work->GetFaceMaterial(unsigned(f)) != 2) continue;
            ++count;
            corners += work->GetFaceSize(unsigned(f));
            EXPECT_FALSE(work->IsFaceOneFlagSet(unsigned(f), FACE_SELECTED)) << "face " << f;
        }
        return count;
    };
    unsigned corners;
    EXPECT_EQ(material2(corners), 1);
    EXPECT_EQ(corners, 4u);
    s.object->SetOptimizeMode(OPT_TRIANGULATE_ALL, true);
    ASSERT_TRUE(s.object->InitOptimization(false));
    EXPECT_EQ(material2(corners), 2);
    EXPECT_EQ(corners, 6u);
    // Selecting every material again makes them movable again.
    EXPECT_TRUE(s.object->SelectAllMaterials());
    ASSERT_TRUE(s.object->InitOptimization(true));
    EXPECT_EQ(s.With(POINT_SELECTED).size(), 10u);
}

}  // namespace
}  // namespace kestovar
