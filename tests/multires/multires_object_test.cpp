// The multiresolution hand-off and the contraction-record player: a recorded run on a small mesh is
// handed over, then moved between levels with every ratio mode; each level must be a prefix of the
// renumbered lists, and going back to a level must give it back bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/track_contractions.h"
#include "simplify/loop_test_util.h"

namespace kestovar::test {
namespace {

using looptest::Engine;
using objtest::ObjMesh;

using MrPtr = std::unique_ptr<CMultiresolutionObject1, Released>;

uint32_t Bits(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}

// (faces, points) of an object's current, coarsest and full level.
using Size = std::pair<int, int>;
Size Current(const CMultiresolutionObject& o) {
    Size s;
    o.GetCurrentSize(s.first, s.second);
    return s;
}
Size Coarsest(const CMultiresolutionObject& o) {
    Size s;
    o.GetMinSize(s.first, s.second);
    return s;
}
Size Full(const CMultiresolutionObject& o) {
    Size s;
    o.GetMaxSize(s.first, s.second);
    return s;
}

// The mesh of an object's current level: positions of the first `points` points, then corners and
// texture corners of the first `faces` faces, with the texture values they use.
using Level = std::vector<uint32_t>;

Level TakeLevel(const CMultiresolutionObject1& o) {
    Level l;
    int faces, points;
    o.GetCurrentSize(faces, points);
    const C3DPointList& pts = *o.GetPointList();
    for (int i = 0; i < points; ++i) {
        const C3DTPoint<float>& p = pts.GetAt(i);
        l.insert(l.end(), {Bits(p.x), Bits(p.y), Bits(p.z)});
    }
    CUVWFaceList* uvFaces = nullptr;
    CUVWPointList* uvPoints = nullptr;
    o.GetChannels()->GetUVWChannelByIndex(0, uvFaces, uvPoints);
    const C3DFaceList& fl = *o.GetFaceList();
    for (int f = 0; f < faces; ++f) {
        int k;
        const int* idx = fl.GetIndexes(unsigned(f), k);
        l.insert(l.end(), idx, idx + k);
        if (!uvFaces) continue;
        const int* t = uvFaces->GetIndexes(unsigned(f), k);
        for (int c = 0; c < k; ++c) {
            const CUVWPoint& uv = uvPoints->GetAt(t[c]);
            l.insert(l.end(), {uint32_t(t[c]), Bits(uv.u), Bits(uv.v)});
        }
    }
    return l;
}

// Every level is a prefix: the first `faces` faces are live and use only the first `points`
// points, every later face is deleted.
void ExpectPrefixLevel(const CMultiresolutionObject1& o) {
    int faces, points;
    o.GetCurrentSize(faces, points);
    const C3DFaceList& fl = *o.GetFaceList();
    ASSERT_LE(faces, fl.GetSize());
    int bad = 0;
    for (int f = 0; f < fl.GetSize(); ++f) {
        if (fl.IsFaceLive(unsigned(f)) != (f < faces)) ++bad;
        if (f >= faces) continue;
        int k;
        const int* idx = fl.GetIndexes(unsigned(f), k);
        for (int c = 0; c < k; ++c) bad += idx[c] < 0 || idx[c] >= points;
    }
    EXPECT_EQ(bad, 0);
}

// The full-detail working mesh of an engine before its run: positions and corners in working order.
struct FullMesh {
    struct Xyz {
        float x, y, z;
    };
    std::vector<Xyz> points;
    std::vector<std::vector<int>> faces;
    std::vector<unsigned> materials;
    std::vector<bool> live;
};

FullMesh TakeWorking(Engine& e) {
    FullMesh m;
    for (int i = 0; i < e.Points().GetSize(); ++i) {
        const C3DTPoint<float>& p = *e.Points().GetPoint(i);
        m.points.push_back({p.x, p.y, p.z});
    }
    for (int f = 0; f < e.Faces().GetSize(); ++f) {
        int k;
        const int* idx = e.Faces().GetIndexes(unsigned(f), k);
        m.faces.emplace_back(idx, idx + k);
        m.materials.push_back(e.Faces().GetStoredFaceMaterial(unsigned(f)));
        m.live.push_back(e.Faces().IsFaceLive(unsigned(f)));
    }
    return m;
}

// A recorded run down to `ratio` (relative points) and its hand-off.
struct Handed {
    std::unique_ptr<Engine> engine;
    FullMesh full;
    std::vector<int> removed;                   // removed point of each contraction (working indices)
    std::vector<std::vector<int>> deletedFaces;  // faces deleted by each contraction
    MrPtr object;
};

Handed HandOver(const ObjMesh& mesh, double ratio, unsigned long long mode = 0, bool withUV = false) {
    Handed h;
    h.engine = std::make_unique<Engine>(mesh, mode, withUV, true);
    C3DExtObject& ext = *h.engine->object;
    ext.SetOptimizeExtMode(OPT_EXT_RECORD_SELECTED_FACES, true);
    EXPECT_TRUE(ext.InitOptimization(false));
    h.full = TakeWorking(*h.engine);
    EXPECT_GT(h.engine->Optimize(ratio, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
    CTrackContractions* track = ext.GetTrackInfo();
    EXPECT_NE(track, nullptr);
    for (unsigned c = 0; track && c < track->GetContractionCount(); ++c) {
        const CTrackEdgeContraction* e = track->GetContraction(c);
        h.removed.push_back(e->GetRemoved());
        h.deletedFaces.emplace_back();
        for (const CTrackInfo* r = track->GetFirstSideRecord(e); r; r = track->GetNextSideRecord(r))
            if (r->GetType() == TRACK_INVALID_FACE)
                h.deletedFaces.back().push_back(static_cast<const CTrackInvalidFace*>(r)->GetCurrentFace());
    }
    bool cancelled = true;
    h.object.reset(ext.GetMultiresolutionObject(cancelled));
    EXPECT_FALSE(cancelled);
    return h;
}

std::vector<unsigned> ReadOrder(const C3DExtObject& ext, uint32_t key, size_t n) {
    std::vector<unsigned> v(n, 0u);
    EXPECT_TRUE(ext.GetCustomData().GetBinary(key, v.data(), unsigned(n * 4)));
    return v;
}

TEST(MultiresHandOff, ReducedMeshFirstThenRemovedElementsInReverseOrderOfRemoval) {
    Handed h = HandOver(looptest::BumpySphere(2), 0.0);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    const size_t nPoints = h.full.points.size(), nFaces = h.full.faces.size();
    const std::vector<unsigned> pointMap = ReadOrder(*h.engine->object, EXT_POINT_ORDER_KEY, nPoints);
    const std::vector<unsigned> faceMap = ReadOrder(*h.engine->object, EXT_FACE_ORDER_KEY, nFaces);

    const auto [minFaces, minPoints] = Coarsest(o);
    EXPECT_EQ(Full(o), Size(int(nFaces), int(nPoints)));
    // A closed mesh collapses completely: the last faces leave their other points unused too.
    EXPECT_GE(o.GetRemovablePtNbr(), int(h.removed.size()));
    EXPECT_EQ(o.GetTrackInfo()->GetContractionCount(), h.removed.size());

    // Removed points and deleted faces come after the coarsest mesh, later removals first.
    int lastPoint = minPoints - 1;
    unsigned lastFace = unsigned(minFaces) - 1;
    for (size_t c = h.removed.size(); c-- > 0;) {
        const int p = int(pointMap[size_t(h.removed[c])]);
        EXPECT_GT(p, lastPoint) << "contraction " << c;
        lastPoint = p;
        for (int f : h.deletedFaces[c]) {
            EXPECT_EQ(faceMap[size_t(f)], lastFace + 1);
            lastFace = faceMap[size_t(f)];
        }
    }
    EXPECT_EQ(lastFace, nFaces - 1);

    // After the hand-off the object is at full detail: the working mesh renumbered, bit for bit.
    EXPECT_EQ(Current(o), Full(o));
    EXPECT_DOUBLE_EQ(o.GetCurrentRatio(), 1.0);
    int mismatches = 0;
    for (size_t i = 0; i < nPoints; ++i) {
        const C3DTPoint<float>& p = o.GetPointList()->GetAt(int(pointMap[i]));
        mismatches += Bits(p.x) != Bits(h.full.points[i].x) || Bits(p.y) != Bits(h.full.points[i].y) ||
                      Bits(p.z) != Bits(h.full.points[i].z);
        mismatches += p.IsFlagSet(POINT_REMOVED);
    }
    for (size_t f = 0; f < nFaces; ++f) {
        int k;
        const int* idx = o.GetFaceList()->GetIndexes(faceMap[f], k);
        ASSERT_EQ(size_t(k), h.full.faces[f].size());
        for (int c = 0; c < k; ++c) mismatches += unsigned(idx[c]) != pointMap[size_t(h.full.faces[f][size_t(c)])];
    }
    EXPECT_EQ(mismatches, 0);
    ExpectPrefixLevel(o);
    // The contraction-ready object gave its record away.
    EXPECT_EQ(h.engine->object->GetTrackInfo(), nullptr);
    EXPECT_EQ(o.GetExtObject(), h.engine->object);
}

TEST(MultiresHandOff, WithoutRecordingNothingIsHandedOver) {
    Engine e(looptest::BumpySphere(1));
    ASSERT_GT(e.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    const looptest::Snapshot before = looptest::Take(e);
    bool cancelled = true;
    EXPECT_EQ(e.object->GetMultiresolutionObject(cancelled), nullptr);
    EXPECT_FALSE(cancelled);
    EXPECT_TRUE(looptest::Take(e) == before);
}

TEST(MultiresHandOff, CancelledReorderingKeepsTheOptimisation) {
    Engine e(looptest::BumpySphere(1), 0, false, true);
    ASSERT_GT(e.Optimize(0.0, OPTIMIZE_RELATIVE), 0);
    e.optimizer.SetProgressCallback(
        [](unsigned event, const QuorvaneProgressInfo&, void*) { return (event & OPTPROGRESS_CANCEL_QUERY) != 0; },
        nullptr);
    CTrackContractions* track = e.object->GetTrackInfo();
    const looptest::Snapshot before = looptest::Take(e);
    bool cancelled = false;
    EXPECT_EQ(e.object->GetMultiresolutionObject(cancelled), nullptr);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(e.object->GetTrackInfo(), track);
    EXPECT_TRUE(looptest::Take(e) == before);
}

// The hand-off in two steps: until the commit the object keeps its record and mesh, and a pending
// hand-off dropped uncommitted changes nothing. A commit is refused for another object's hand-off
// and for one whose record went on since the build; a refused one can still be dropped.
TEST(MultiresHandOff, CommitTakesOnlyItsOwnUnchangedRecord) {
    Engine e(looptest::BumpySphere(2), 0, false, true);
    Engine other(looptest::BumpySphere(1), 0, false, true);
    ASSERT_GT(e.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    ASSERT_GT(other.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    CTrackContractions* track = e.object->GetTrackInfo();
    ASSERT_NE(track, nullptr);
    const looptest::Snapshot before = looptest::Take(e);
    bool cancelled = true;
    XHeld<CMultiresHandOff> dropped(e.object->BuildMultiresolutionObject(cancelled));
    ASSERT_TRUE(dropped);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(e.object->GetTrackInfo(), track);
    EXPECT_TRUE(looptest::Take(e) == before);
    EXPECT_FALSE(other.object->CommitMultiresolutionObject(*dropped));
    dropped.reset();
    EXPECT_TRUE(looptest::Take(e) == before);

    // A run goes on from a built hand-off as it would have without it.
    Engine twin(looptest::BumpySphere(2), 0, false, true);
    ASSERT_GT(twin.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    XHeld<CMultiresHandOff> stale(e.object->BuildMultiresolutionObject(cancelled));
    ASSERT_TRUE(stale);
    ASSERT_GT(e.Optimize(0.2, OPTIMIZE_RELATIVE), 0);  // the record goes on
    ASSERT_GT(twin.Optimize(0.2, OPTIMIZE_RELATIVE), 0);
    EXPECT_TRUE(looptest::Take(e) == looptest::Take(twin));
    EXPECT_FALSE(e.object->CommitMultiresolutionObject(*stale));
    EXPECT_FALSE(stale->IsCommitted());

    XHeld<CMultiresHandOff> first(e.object->BuildMultiresolutionObject(cancelled));
    XHeld<CMultiresHandOff> second(e.object->BuildMultiresolutionObject(cancelled));
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(e.object->CommitMultiresolutionObject(*first));
    EXPECT_FALSE(e.object->CommitMultiresolutionObject(*first));
    EXPECT_FALSE(e.object->CommitMultiresolutionObject(*second));  // the record went with the first
    EXPECT_EQ(e.object->GetTrackInfo(), nullptr);
    CMultiresolutionObject1& o = *first->GetObject();
    EXPECT_EQ(o.GetTrackInfo(), track);
    ExpectPrefixLevel(o);
}

// A texture face the host made dead while its geometric face lives stays dead in the handed-over
// object; the texture faces of the faces the contractions deleted come back with them.
TEST(MultiresHandOff, ADeadTextureFaceOfALiveFaceStaysDead) {
    ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj", mesh));
    Engine e(mesh, OPT_KEEP_UVW | OPT_KEEP_MATERIAL, true, true);
    ASSERT_GT(e.Optimize(0.5, OPTIMIZE_RELATIVE), 0);
    CUVWFaceList* uvFaces = nullptr;
    CUVWPointList* uvPoints = nullptr;
    ASSERT_NE(e.object->GetWorkingChannels()->GetUVWChannelByIndex(0, uvFaces, uvPoints), nullptr);
    const C3DFaceList& working = *e.object->GetWorkingFaceList();
    int live = 0;
    while (!working.IsFaceLive(unsigned(live))) ++live;
    uvFaces->SetFaceFlags(unsigned(live), FACE_INVALID, true);
    bool cancelled = true;
    MrPtr o(e.object->GetMultiresolutionObject(cancelled));
    ASSERT_TRUE(o);
    ASSERT_NE(o->GetChannels()->GetUVWChannelByIndex(0, uvFaces, uvPoints), nullptr);
    int dead = 0;
    for (int f = 0; f < uvFaces->GetSize(); ++f) dead += uvFaces->IsFaceOneFlagSet(unsigned(f), FACE_INVALID);
    EXPECT_EQ(dead, 1);
    o->SetObjectRatio(1.0, 0, 0x21);
    dead = 0;
    for (int f = 0; f < uvFaces->GetSize(); ++f) dead += uvFaces->IsFaceOneFlagSet(unsigned(f), FACE_INVALID);
    EXPECT_EQ(dead, 1);
}

TEST(MultiresHandOff, RunThatRemovedNothingGivesTheWorkingMeshAndAnEmptyRecord) {
    Engine e(looptest::BumpySphere(1), 0, false, true);
    ASSERT_TRUE(e.object->InitOptimization(false));
    const int faces = looptest::LiveFaces(e);
    e.Optimize(1.0, OPTIMIZE_RELATIVE);
    bool cancelled = true;
    MrPtr o(e.object->GetMultiresolutionObject(cancelled));
    ASSERT_TRUE(o);
    ASSERT_NE(o->GetTrackInfo(), nullptr);
    EXPECT_EQ(o->GetTrackInfo()->GetContractionCount(), 0u);
    EXPECT_EQ(o->GetRemovableFaceNbr(), 0);
    EXPECT_EQ(o->GetFaceList()->GetSize(), faces);
    EXPECT_EQ(o->SetObjectRatio(0.0, 0, 0x21), o->GetPointList()->GetSize());

    // Prepared in place and never run: no record, so the new object is not tied to the
    // contraction-ready object, and no point or face order is stored on it.
    Engine inPlace(looptest::BumpySphere(1), 0, false, true, true);
    inPlace.object->SetOptimizeExtMode(OPT_EXT_RECORD_SELECTED_FACES, true);
    ASSERT_TRUE(inPlace.object->InitOptimization(true));
    ASSERT_EQ(inPlace.object->GetTrackInfo(), nullptr);
    MrPtr unrecorded(inPlace.object->GetMultiresolutionObject(cancelled));
    ASSERT_TRUE(unrecorded);
    EXPECT_EQ(unrecorded->GetExtObject(), nullptr);
    unsigned order = 0;
    EXPECT_FALSE(inPlace.object->GetCustomData().GetBinary(EXT_POINT_ORDER_KEY, &order, 4));
    EXPECT_FALSE(inPlace.object->GetCustomData().GetBinary(EXT_FACE_ORDER_KEY, &order, 4));
}

TEST(MultiresObject1, RelativeLevelsRoundTripBitForBit) {
    Handed h = HandOver(looptest::BumpySphere(2), 0.0);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    const Level full = TakeLevel(o);

    const int p30 = o.SetObjectRatio(0.3, 0, 0x21);
    bool clamped = true;
    EXPECT_EQ(p30, o.GetTargetCount(0.3, 0x20, clamped));
    ExpectPrefixLevel(o);
    const Level l30 = TakeLevel(o);
    bool unset = true;
    EXPECT_DOUBLE_EQ(o.GetLastKnownRatio(unset), 0.3);
    EXPECT_FALSE(unset);

    EXPECT_EQ(o.SetObjectRatio(1.0, 0, 0x21), o.GetPointList()->GetSize());
    EXPECT_TRUE(TakeLevel(o) == full);
    EXPECT_EQ(o.SetObjectRatio(0.3, 0, 0x21), p30);
    EXPECT_TRUE(TakeLevel(o) == l30);
    // Down to the coarsest level and up again through an intermediate level.
    o.SetObjectRatio(0.0, 0, 0x21);
    EXPECT_EQ(Current(o), Coarsest(o));
    ExpectPrefixLevel(o);
    o.SetObjectRatio(0.3, 0, 0x21);
    EXPECT_TRUE(TakeLevel(o) == l30);
    o.SetObjectRatio(1.0, 0, 0x21);
    EXPECT_TRUE(TakeLevel(o) == full);
}

TEST(MultiresObject1, CountModesStopAtTheFirstLevelPastTheTarget) {
    Handed h = HandOver(looptest::BumpySphere(2), 0.0);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    const auto [maxFaces, maxPoints] = Full(o);
    const int minFaces = Coarsest(o).first;

    // Relative faces going down stops at or below the target; the same call again plays nothing.
    const int target = int((maxFaces - minFaces) * 0.5) + minFaces;
    const int f50 = o.SetObjectRatio(0.5, 0, 0x11);
    EXPECT_LE(f50, target);
    EXPECT_GT(f50, target - 3);  // one contraction deletes at most a few faces
    const int pos = o.GetTrackPosition();
    EXPECT_EQ(o.SetObjectRatio(0.5, 0, 0x11), f50);
    EXPECT_EQ(o.GetTrackPosition(), pos);
    bool unset = false;
    o.GetLastKnownRatio(unset);
    EXPECT_FALSE(unset);

    // Absolute points from below never overshoot; with overshoot allowed the target is reached.
    o.SetObjectRatio(0.0, 0, 0x21);
    const int wanted = Current(o).second + 7;
    EXPECT_EQ(o.SetObjectRatio(0.0, wanted, 0x22), wanted);  // every contraction adds one point here
    o.GetLastKnownRatio(unset);
    EXPECT_TRUE(unset);
    // Absolute faces from the coarsest level up: without overshoot the last level at or below the
    // target, with it the first at or above. The face counts of the levels near the coarsest one
    // come from index mode (each contraction deletes two faces as a rule, more where the last
    // contractions fold the surface), so a target between two levels is hit from either side.
    o.SetObjectRatio(0.0, 0, 0x21);
    const int faces = Current(o).first;
    const int contractions = maxPoints - Current(o).second;
    std::vector<int> levelFaces;
    for (int i = std::max(0, contractions - 40); i <= contractions; ++i) {
        o.SetObjectRatio(double(i), 0, MRRATIO_INDEX);
        levelFaces.push_back(Current(o).first);
    }
    for (int extra = 1; extra < 12; ++extra) {
        const int goal = faces + extra;
        int expectBelow = INT_MIN, expectOver = INT_MAX;
        for (int f : levelFaces) {
            if (f <= goal) expectBelow = std::max(expectBelow, f);
            if (f >= goal) expectOver = std::min(expectOver, f);
        }
        o.SetObjectRatio(0.0, 0, 0x21);
        EXPECT_EQ(o.SetObjectRatio(0.0, goal, 0x12), expectBelow) << extra;
        o.SetObjectRatio(0.0, 0, 0x21);
        EXPECT_EQ(o.SetObjectRatio(0.0, goal, 0x112), expectOver) << extra;
        ExpectPrefixLevel(o);
    }
    // Index mode counts contractions applied: 0 is full detail.
    EXPECT_EQ(o.SetObjectRatio(0.0, 0, MRRATIO_INDEX), 0);
    EXPECT_EQ(Current(o).second, maxPoints);
    EXPECT_EQ(o.SetObjectRatio(5.0, 0, MRRATIO_INDEX), 5);
    EXPECT_EQ(Current(o).second, maxPoints - 5);
}

TEST(MultiresObject1, LockedRatioIgnoresCallsUnlessForced) {
    Handed h = HandOver(looptest::BumpySphere(1), 0.0);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    o.LockRatio(true);
    EXPECT_EQ(o.SetObjectRatio(0.0, 0, 0x21), Full(o).second);
    EXPECT_EQ(o.SetObjectRatio(0.0, 0, 0x11), Full(o).first);
    EXPECT_EQ(o.SetObjectRatio(0.0, 0, 0x421), Coarsest(o).second);
    o.LockRatio(false);

    // The predictive flag alone plays to the optimiser's predicted ratio on points.
    const double predicted = CSceneOptimizer::DefaultPredictiveRatio(&o);
    const int expected = o.SetObjectRatio(predicted, 0, 0x221);
    o.SetObjectRatio(1.0, 0, 0x221);
    EXPECT_EQ(o.SetObjectRatio(0.0, 0, MRRATIO_PREDICTIVE), expected);
}

// A ratio that is not a number leaves the level where it is; an index far beyond the int range
// takes the coarsest level, far below it the full one.
TEST(MultiresObject1, RatiosBeyondAnyLevelAreHeldWithin) {
    Handed h = HandOver(looptest::BumpySphere(1), 0.0);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    const int faces = Full(o).first, minFaces = Coarsest(o).first;
    const int half = o.SetObjectRatio(0.5, 0, 0x11);
    EXPECT_EQ(o.SetObjectRatio(std::nan(""), 0, 0x11), half);
    EXPECT_EQ(o.SetObjectRatio(std::nan(""), 0, MRRATIO_INDEX), half);
    EXPECT_EQ(o.SetObjectRatio(1e300, 0, 0x11), faces);
    EXPECT_EQ(o.SetObjectRatio(-1e300, 0, 0x11), minFaces);
    o.SetObjectRatio(1e300, 0, MRRATIO_INDEX);
    EXPECT_EQ(Current(o).first, minFaces);
    o.SetObjectRatio(-1e300, 0, MRRATIO_INDEX);
    EXPECT_EQ(Current(o).first, faces);
}

TEST(MultiresObject1, ProgressiveThresholdAndTargets) {
    CMultiresolutionObject1 o;
    o.SetProgressiveThreshold(0.0);
    EXPECT_EQ(o.GetProgressiveThreshold(), double(0.0001f));
    o.SetProgressiveThreshold(2.0);
    EXPECT_EQ(o.GetProgressiveThreshold(), 1.0);
    o.SetMaxSize(200, 100);
    o.SetMinSize(40, 20);
    bool clamped = true;
    EXPECT_EQ(o.GetTargetCount(0.5, 0x10, clamped), 120);
    EXPECT_FALSE(clamped);
    EXPECT_EQ(o.GetTargetCount(0.5, 0x20, clamped), 60);
    o.SetMinSize(200, 20);
    EXPECT_EQ(o.GetCurrentRatio(), 1.0);

    // Without an optimiser the object's own progressive flag drives the mapping: above the
    // threshold the object stays at full detail.
    Handed h = HandOver(looptest::BumpySphere(1), 0.0);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& m = *h.object;
    m.DetachOptimizer();
    m.SetProgressive(true);
    m.SetProgressiveThreshold(0.5);
    const int maxPoints = Full(m).second;
    EXPECT_EQ(m.SetObjectRatio(0.6, 0, 0x21), maxPoints);
    EXPECT_LT(m.SetObjectRatio(0.6, 0, 0x221), maxPoints);
    bool unset = true;
    EXPECT_DOUBLE_EQ(m.GetLastKnownRatio(unset), 0.6);
}

TEST(MultiresObject1, FreezeMakesAPlainMeshOfTheCurrentLevel) {
    Handed h = HandOver(looptest::BumpySphere(2), 0.0);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    o.SetObjectRatio(0.4, 0, 0x21);
    const Level level = TakeLevel(o);
    const auto [faces, points] = Current(o);
    o.FreezeObject();
    EXPECT_EQ(o.GetTrackInfo(), nullptr);
    EXPECT_EQ(o.GetRemovablePtNbr(), 0);
    EXPECT_EQ(o.GetRemovableFaceNbr(), 0);
    EXPECT_EQ(o.GetFaceList()->GetSize(), faces);
    EXPECT_EQ(o.GetPointList()->GetSize(), points);
    EXPECT_TRUE(TakeLevel(o) == level);
    EXPECT_EQ(o.GetPointList()->GetNumberOfPoints(POINT_SELECTED, true), 0);
    // Nothing left to play.
    EXPECT_EQ(o.SetObjectRatio(0.0, 0, 0x21), points);
}

TEST(MultiresObject1, PlainCopyIsTheCurrentLevelCleaned) {
    Handed h = HandOver(looptest::BumpySphere(2), 0.0);
    ASSERT_TRUE(h.object);
    h.object->SetObjectRatio(0.5, 0, 0x21);
    const auto [faces, points] = Current(*h.object);
    C3DBaseObject* copy = h.object->Copy(0);
    ASSERT_NE(copy, nullptr);
    EXPECT_FALSE(copy->IsKindOf(KX_RUNTIME_CLASS(CMultiresolutionObject)));
    auto* g = static_cast<C3DGeomObject*>(copy);
    EXPECT_EQ(g->GetFaceList()->GetSize(), faces);
    EXPECT_EQ(g->GetPointList()->GetSize(), points);
    copy->Delete();
    // The original still plays.
    EXPECT_EQ(h.object->SetObjectRatio(1.0, 0, 0x21), h.object->GetPointList()->GetSize());
}

// Without the working-copy bit the object was simplified in place: the hand-off still gives the
// full mesh back, and the contraction-ready object is left with its reduced mesh compacted.
TEST(MultiresHandOff, InPlaceRunLeavesTheReducedMeshCleaned) {
    const ObjMesh mesh = looptest::BumpySphere(2);
    Engine e(mesh, 0, false, true, true);
    C3DExtObject* ext = e.object;
    bool cancelled = true;
    ASSERT_GT(ext->Optimize(0.25, cancelled, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
    MrPtr o(ext->GetMultiresolutionObject(cancelled));
    ASSERT_TRUE(o);
    EXPECT_EQ(o->GetExtObject(), ext);
    EXPECT_EQ(Coarsest(*o), Size(ext->GetFaceList()->GetSize(), ext->GetShownPointList()->GetSize()));
    EXPECT_EQ(Full(*o), Size(int(mesh.TriangleCount()), int(mesh.PointCount())));
    ExpectPrefixLevel(*o);
}

// A record must hold every contraction since the mesh it starts from. Recording switched on after
// unrecorded contractions, or a run made without recording between recorded ones: with a working
// copy the recorded run starts over, and its object plays back exactly as a run recorded from the
// start; in place the record starts from the mesh as the recorded run found it.
TEST(MultiresHandOff, RecordsMissingContractionsAreNeverPlayedBack) {
    const ObjMesh mesh = looptest::BumpySphere(2);
    Handed direct = HandOver(mesh, 0.0);
    ASSERT_TRUE(direct.object);
    const Level directFull = TakeLevel(*direct.object);
    direct.object->SetObjectRatio(0.3, 0, 0x21);
    const Level direct30 = TakeLevel(*direct.object);

    auto expectLikeDirect = [&](Engine& e) {
        bool cancelled = true;
        MrPtr o(e.object->GetMultiresolutionObject(cancelled));
        ASSERT_TRUE(o);
        EXPECT_TRUE(TakeLevel(*o) == directFull);
        o->SetObjectRatio(0.3, 0, 0x21);
        EXPECT_TRUE(TakeLevel(*o) == direct30);
    };
    {
        SCOPED_TRACE("switched on late");
        Engine e(mesh);
        ASSERT_GT(e.Optimize(0.5, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        e.optimizer.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
        ASSERT_GT(e.Optimize(0.0, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        expectLikeDirect(e);
    }
    {
        SCOPED_TRACE("unrecorded run in between");
        Engine e(mesh, 0, false, true);
        ASSERT_GT(e.Optimize(0.5, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        e.optimizer.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, false);
        ASSERT_GT(e.Optimize(0.3, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        EXPECT_EQ(e.object->GetTrackInfo(), nullptr);
        e.optimizer.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
        ASSERT_GT(e.Optimize(0.0, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        expectLikeDirect(e);
    }
    {
        SCOPED_TRACE("in place");
        Engine e(mesh, 0, false, false, true);
        ASSERT_GT(e.Optimize(0.5, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        const int faces = looptest::LiveFaces(e);
        e.optimizer.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
        ASSERT_GT(e.Optimize(0.0, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        bool cancelled = true;
        MrPtr o(e.object->GetMultiresolutionObject(cancelled));
        ASSERT_TRUE(o);
        EXPECT_EQ(Full(*o).first, faces);
        for (double r : {1.0, 0.4, 0.0, 0.7, 1.0}) {
            o->SetObjectRatio(r, 0, 0x21);
            ExpectPrefixLevel(*o);
        }
        o.reset();
    }
}

// A settings change after a recorded run invalidates the optimisation, which empties the working
// copy: the object is then handed over as its initial mesh without a record (it was handed over
// empty, and the multiresolution scene lost it).
TEST(MultiresHandOff, SettingsChangedAfterTheRunHandOverTheInitialMesh) {
    const ObjMesh mesh = looptest::BumpySphere(2);
    Engine e(mesh, 0, false, true);
    ASSERT_GT(e.Optimize(0.5, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
    ASSERT_TRUE(e.object->SetConstraintRatio(0.5f));
    bool cancelled = true;
    MrPtr o(e.object->GetMultiresolutionObject(cancelled));
    ASSERT_TRUE(o);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(Full(*o), Size(int(mesh.TriangleCount()), int(mesh.PointCount())));
    ASSERT_NE(o->GetTrackInfo(), nullptr);
    EXPECT_EQ(o->GetTrackInfo()->GetContractionCount(), 0u);
}

// The textured spider: texture corners and values follow the levels too.
TEST(MultiresObject1, TexturedSpiderRoundTrip) {
    ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj", mesh));
    Handed h = HandOver(mesh, 0.0, OPT_KEEP_UVW | OPT_KEEP_MATERIAL, true);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    ASSERT_EQ(o.GetChannels()->GetChannelsNumber(CHANNEL_UVW, false), 1);
    const Level full = TakeLevel(o);
    o.SetObjectRatio(0.3, 0, 0x21);
    const Level l30 = TakeLevel(o);
    ExpectPrefixLevel(o);
    o.SetObjectRatio(1.0, 0, 0x21);
    EXPECT_TRUE(TakeLevel(o) == full);
    o.SetObjectRatio(0.3, 0, 0x21);
    EXPECT_TRUE(TakeLevel(o) == l30);
    // Materials ride with the faces.
    const std::vector<unsigned> faceMap = ReadOrder(*h.engine->object, EXT_FACE_ORDER_KEY, h.full.faces.size());
    int wrong = 0;
    for (size_t f = 0; f < h.full.faces.size(); ++f) {
        // Faces invalid before the run (degenerate ones of the model) are dropped.
        if (faceMap[f] == REMAP_REMOVED) {
            wrong += h.full.live[f];
            continue;
        }
        wrong += o.GetFaceList()->GetStoredFaceMaterial(faceMap[f]) != h.full.materials[f];
    }
    EXPECT_EQ(wrong, 0);

    // The host takes the texture channel away, or replaces the channel set: the levels keep
    // moving, and the record's texture changes go nowhere (the sanitizer run checks that the
    // released channel lists are not written). Geometry levels are the same as before.
    auto geometry = [&o] {  // the current level without its texture corners
        XHeld<CDependentChannels> aside(XAddRef(o.GetChannels()));
        o.SetChannels(CDependentChannels::Create(), true);
        const Level l = TakeLevel(o);
        o.SetChannels(aside.release(), true);
        return l;
    };
    const Level geometry30 = geometry();
    o.SetObjectRatio(1.0, 0, 0x21);
    const Level geometryFull = geometry();
    EXPECT_EQ(o.GetChannels()->RemoveChannelsByType(CHANNEL_UVW), 1);
    o.SetObjectRatio(0.3, 0, 0x21);
    EXPECT_TRUE(TakeLevel(o) == geometry30);
    o.SetChannels(CDependentChannels::Create(), true);
    o.SetObjectRatio(0.0, 0, 0x21);
    o.SetObjectRatio(1.0, 0, 0x21);
    EXPECT_TRUE(TakeLevel(o) == geometryFull);
}

TEST(MultiresObject1, ShowSelectedFacesFreezesFacesOfExcludedMaterials) {
    ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj", mesh));
    Handed h = HandOver(mesh, 0.5, OPT_KEEP_MATERIAL);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    const C3DFaceList& faces = *o.GetFaceList();
    auto frozen = [&] { return faces.GetNumberOfFaces(FACE_FROZEN, true); };
    int unselected = 0, ofMaterial = 0;
    for (int f = 0; f < faces.GetSize(); ++f) {
        const bool all = faces.IsFaceFlagSet(unsigned(f), FACE_ALL_SELECTED);
        unselected += !all;
        ofMaterial += all && faces.GetStoredFaceMaterial(unsigned(f)) == 2;
    }
    ASSERT_GT(ofMaterial, 0);
    o.ShowSelectedFaces(true);
    EXPECT_EQ(frozen(), unselected);
    h.engine->object->SelectMaterial(2, false);
    o.ShowSelectedFaces(true);
    EXPECT_EQ(frozen(), unselected + ofMaterial);
    o.ShowSelectedFaces(false);
    EXPECT_EQ(frozen(), 0);
}

// ---- playback -------------------------------------------------------------------------------------
//
// The player's tables against the record walk, the tables' rebuilds, the hand-off's record
// layout, and golden values of a textured hand-off and its levels. The tables cache where every
// recorded face corner and deleted face's flag word lives, so they must follow whatever moves the
// face records or replaces the record stream between two level changes. A stale table writes into
// freed or foreign memory (AddressSanitizer reports it) or leaves the live faces unchanged (the
// level comparisons fail).

// A run recorded down to nothing and handed over (without the selected-face record).
Handed RecordedRun(const objtest::ObjMesh& mesh = looptest::BumpySphere(2), unsigned long long mode = 0,
                   bool withUV = false) {
    Handed h;
    h.engine = std::make_unique<looptest::Engine>(mesh, mode, withUV, true);
    EXPECT_TRUE(h.engine->object->InitOptimization(false));
    EXPECT_GT(h.engine->Optimize(0.0, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
    bool cancelled = true;
    h.object.reset(h.engine->object->GetMultiresolutionObject(cancelled));
    EXPECT_FALSE(cancelled);
    return h;
}

constexpr unsigned kPoints = MRRATIO_RELATIVE | MRRATIO_POINTS | MRRATIO_NO_PROGRESSIVE;

TEST(MultiresPlayback, LevelsSurviveMovedFaceRecordsAndAReplacedRecordStream) {
    Handed h = RecordedRun();
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    const Level full = TakeLevel(o);
    o.SetObjectRatio(0.3, 0, kPoints);
    const Level l30 = TakeLevel(o);
    o.SetObjectRatio(0.0, 0, kPoints);
    const Level coarsest = TakeLevel(o);
    ASSERT_LT(coarsest.size(), l30.size());

    // The face records are packed into a fresh buffer: every corner moves.
    o.GetFaceList()->GetRecords().Compact(true);
    o.SetObjectRatio(0.3, 0, kPoints);
    EXPECT_EQ(TakeLevel(o), l30);
    o.SetObjectRatio(1.0, 0, kPoints);
    EXPECT_EQ(TakeLevel(o), full);

    // The same records in a new tracker at the same position: played on the same way.
    CTrackContractions* copy = new CTrackContractions();
    copy->CopyFrom(*o.GetTrackInfo());
    copy->SetCurrentPosition(o.GetTrackInfo()->GetCurrentPosition());
    o.SetTrackInfo(copy);
    o.SetObjectRatio(0.0, 0, kPoints);
    EXPECT_EQ(TakeLevel(o), coarsest);
    o.GetFaceList()->GetRecords().Compact(true);
    o.SetObjectRatio(0.3, 0, kPoints);
    EXPECT_EQ(TakeLevel(o), l30);
}

// FNV-1a over bytes, chained.
uint64_t Fnv(uint64_t h, const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}
constexpr uint64_t kFnvSeed = 14695981039346656037ull;

// Everything playback may write, over the whole lists (dead faces and removed points included):
// point positions and flags, face corners, flag words and materials, texture corners and values,
// and the record stream (it holds the other side of every played change).
uint64_t HashState(const CMultiresolutionObject1& o) {
    uint64_t h = kFnvSeed;
    const C3DPointList& pts = *o.GetPointList();
    for (int i = 0; i < pts.GetSize(); ++i) {
        const C3DTPoint<float>& p = pts.GetAt(i);
        const unsigned flags = p.GetFlags();
        h = Fnv(h, &p.x, 12);
        h = Fnv(h, &flags, 4);
    }
    const C3DFaceList& faces = *o.GetFaceList();
    for (int f = 0; f < faces.GetSize(); ++f) {
        int k;
        const int* idx = faces.GetIndexes(unsigned(f), k);
        const unsigned word[2] = {faces.GetFaceFlags(unsigned(f)), faces.GetStoredFaceMaterial(unsigned(f))};
        h = Fnv(h, idx, size_t(k) * 4);
        h = Fnv(h, word, 8);
    }
    CUVWFaceList* uvFaces = nullptr;
    CUVWPointList* uvPoints = nullptr;
    if (o.GetChannels() && o.GetChannels()->GetUVWChannelByIndex(0, uvFaces, uvPoints)) {
        for (int f = 0; f < uvFaces->GetSize(); ++f) {
            int k;
            const int* idx = uvFaces->GetIndexes(unsigned(f), k);
            h = Fnv(h, idx, size_t(k) * 4);
        }
        for (int i = 0; i < uvPoints->GetSize(); ++i) h = Fnv(h, &uvPoints->GetAt(i).u, 12);
    }
    const CTrackContractions& t = *o.GetTrackInfo();
    return Fnv(h, t.GetData(), size_t(t.GetDataSize()));
}

// A run on the spider with a texture and specified normals, handed over.
struct NormalRun {
    looptest::Engine engine;
    C3DExtObject* ext = engine.object;
    MrPtr object;

    explicit NormalRun(const objtest::ObjMesh& mesh)
        : engine(mesh, OPT_KEEP_UVW | OPT_KEEP_NORMALS, true, true, false, true) {
        EXPECT_TRUE(ext->InitOptimization(false));
        bool cancelled = true;
        EXPECT_GT(ext->Optimize(0.0, cancelled, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        object.reset(ext->GetMultiresolutionObject(cancelled));
        EXPECT_FALSE(cancelled);
    }
};

// Texture and normal values and corners of every channel, bit for bit, besides the level.
std::vector<uint32_t> TakeAll(const CMultiresolutionObject1& o) {
    std::vector<uint32_t> v = TakeLevel(o);
    auto bits = [&v](const float* f) {
        uint32_t b[3];
        std::memcpy(b, f, 12);
        v.insert(v.end(), b, b + 3);
    };
    CDependentChannels& channels = *o.GetChannels();
    for (int c = 0; c < channels.GetSize(); ++c) {
        const CChannel* channel = channels.GetChannel(c);
        if (const CFaceList* faces = channel->GetFaceList())
            for (int f = 0; f < faces->GetSize(); ++f) {
                int k;
                const int* idx = faces->GetIndexes(unsigned(f), k);
                v.insert(v.end(), idx, idx + k);
            }
    }
    CUVWFaceList* uvFaces = nullptr;
    CUVWPointList* uvPoints = nullptr;
    if (channels.GetUVWChannelByIndex(0, uvFaces, uvPoints))
        for (int i = 0; i < uvPoints->GetSize(); ++i) bits(&uvPoints->GetAt(i).u);
    CNormalFaceList* normalFaces = nullptr;
    C3DVectorList* normals = nullptr;
    if (channels.GetSpecNormalChannel(normalFaces, normals))
        for (int i = 0; i < normals->GetSize(); ++i) bits(&normals->GetAt(i).x);
    return v;
}

// Level changes play face and deleted-face records from the player's tables and walk only the
// records the tables leave out (texture, normal and channel corners here), the reference playback
// walks every record. Two twins handed over from the same run must stay equal through moves in both
// directions, by either way of counting, and the tables must have been used for both kinds of
// contraction (with and without walked records).
TEST(MultiresPlayback, TablePlaybackMatchesTheRecordWalkWithTexturesAndNormals) {
    objtest::ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj", mesh));
    NormalRun a(mesh), b(mesh);
    ASSERT_TRUE(a.object && b.object);
    ASSERT_TRUE(TakeAll(*a.object) == TakeAll(*b.object));
    CTrackContractions& track = *b.object->GetTrackInfo();
    unsigned walked = 0, normalRecords = 0;
    for (unsigned c = 0; c < track.GetContractionCount(); ++c) {
        bool walk = false;
        for (const CTrackInfo* r = track.GetFirstSideRecord(track.GetContraction(c)); r; r = track.GetNextSideRecord(r)) {
            walk |= r->GetType() != TRACK_FACE && r->GetType() != TRACK_INVALID_FACE;
            normalRecords += r->GetType() == TRACK_NORMAL_CONTRACTION || r->GetType() == TRACK_NORMAL_FACE;
        }
        walked += walk;
    }
    ASSERT_GT(normalRecords, 0u);
    ASSERT_GT(walked, 0u);
    ASSERT_LT(walked, track.GetContractionCount());

    // b follows a's index position (contractions applied) with the reference playback.
    int applied = 0;
    auto follow = [&](int target) {
        int faces, points;
        b.object->GetCurrentSize(faces, points);
        for (; applied < target; ++applied)
            track.PlayContraction(unsigned(applied), false, *b.object->GetPointList(), *b.object->GetFaceList(),
                                  b.object->GetChannels(), points, faces);
        for (; applied > target; --applied)
            track.PlayContraction(unsigned(applied - 1), true, *b.object->GetPointList(), *b.object->GetFaceList(),
                                  b.object->GetChannels(), points, faces);
        b.object->SetCurrentSize(faces, points);
    };
    const struct {
        double ratio;
        unsigned flags;
    } moves[] = {{0.3, kPoints}, {0.0, kPoints}, {0.7, MRRATIO_RELATIVE | MRRATIO_FACES | MRRATIO_NO_PROGRESSIVE},
                 {0.45, kPoints}, {1.0, kPoints}};
    for (const auto& m : moves) {
        SCOPED_TRACE(m.ratio);
        a.object->SetObjectRatio(m.ratio, 0, m.flags);
        const int position = a.object->GetTrackPosition();
        follow(a.object->IsLastDirectionUp() ? position : position + 1);
        EXPECT_EQ(Current(*a.object), Current(*b.object));
        EXPECT_TRUE(TakeAll(*a.object) == TakeAll(*b.object));
    }
}

// The hand-off lays the face records out (in the record buffer, which no face index shows) by the
// first contraction that re-points each face, so that playback writes corners in a sweep through
// the buffer rather than all over it. Walking the records in buffer order, that contraction never
// decreases, for the faces and for the texture faces parallel to them; faces never re-pointed
// come last.
TEST(MultiresPlayback, HandOffLaysFaceRecordsOutByFirstRepointingContraction) {
    objtest::ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj", mesh));
    Handed h = RecordedRun(mesh, OPT_KEEP_UVW, true);
    ASSERT_TRUE(h.object);
    const CTrackContractions& track = *h.object->GetTrackInfo();
    const unsigned n = track.GetContractionCount();
    const CFaceList& faces = *h.object->GetFaceList();
    std::vector<unsigned> first(size_t(faces.GetSize()), n);
    for (unsigned c = n; c-- > 0;)
        for (const CTrackInfo* r = track.GetFirstSideRecord(track.GetContraction(c)); r; r = track.GetNextSideRecord(r))
            if (r->GetType() == TRACK_FACE) first[size_t(static_cast<const CTrackFace*>(r)->GetCurrentFace())] = c;
    CUVWFaceList* uvFaces = nullptr;
    CUVWPointList* uvPoints = nullptr;
    ASSERT_TRUE(h.object->GetChannels()->GetUVWChannelByIndex(0, uvFaces, uvPoints));
    for (const CFaceList* list : {&faces, static_cast<const CFaceList*>(uvFaces)}) {
        ASSERT_EQ(list->GetSize(), faces.GetSize());
        std::vector<std::pair<const int*, unsigned>> byAddress;
        for (int f = 0; f < list->GetSize(); ++f) {
            int k;
            byAddress.emplace_back(list->GetIndexes(unsigned(f), k), first[size_t(f)]);
        }
        std::sort(byAddress.begin(), byAddress.end());
        size_t decreases = 0;
        for (size_t i = 1; i < byAddress.size(); ++i) decreases += byAddress[i].second < byAddress[i - 1].second;
        EXPECT_EQ(decreases, 0u);
        EXPECT_LT(byAddress.front().second, n);
    }
}

// Golden values of the textured spider's hand-off and of the levels played from it: any change of
// the order the hand-off gives points and faces, of the records, or of what playback writes shows
// here, whatever the player's internal tables look like.
TEST(MultiresPlayback, TexturedSpiderHandOffAndLevelsArePinned) {
    objtest::ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj", mesh));
    Handed h = RecordedRun(mesh, OPT_KEEP_UVW | OPT_KEEP_MATERIAL, true);
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    std::vector<uint64_t> got;
    got.push_back(HashState(o));
    o.SetObjectRatio(0.3, 0, kPoints);
    got.push_back(HashState(o));
    o.SetObjectRatio(0.0, 0, kPoints);
    got.push_back(HashState(o));
    o.SetObjectRatio(0.55, 0, MRRATIO_RELATIVE | MRRATIO_FACES | MRRATIO_NO_PROGRESSIVE);
    got.push_back(HashState(o));
    o.SetObjectRatio(1.0, 0, kPoints);
    got.push_back(HashState(o));
    EXPECT_EQ(got.front(), got.back());
    const std::vector<uint64_t> golden = {0x7a2e78df8856215dull, 0xceb9e8913289b74full, 0x73d70b25c8ced467ull,
                                          0x717c24cd11f82211ull, 0x7a2e78df8856215dull};
    EXPECT_EQ(got, golden);
}

}  // namespace
}  // namespace kestovar::test
