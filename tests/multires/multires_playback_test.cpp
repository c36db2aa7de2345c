// Playback through the player's corner table: the table caches where every recorded face corner
// lives, so it must follow whatever moves the face records or replaces the record stream between
// two level changes. A stale table writes into freed or foreign memory (AddressSanitizer reports
// it) or leaves the live faces unchanged (the level comparisons below fail).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/track_contractions.h"
#include "simplify/loop_test_util.h"

namespace kestovar::test {
namespace {

struct MrDeleter {
    void operator()(CMultiresolutionObject1* o) const {
        if (o) o->Delete();
    }
};
using MrPtr = std::unique_ptr<CMultiresolutionObject1, MrDeleter>;

// Positions of the live points and corners of the live faces, bit for bit.
std::vector<uint32_t> TakeLevel(const CMultiresolutionObject1& o) {
    std::vector<uint32_t> v;
    int faces, points;
    o.GetCurrentSize(faces, points);
    for (int i = 0; i < points; ++i) {
        const C3DTPoint<float>& p = o.GetPointList()->GetAt(i);
        uint32_t b[3];
        std::memcpy(b, &p.x, 4);
        std::memcpy(b + 1, &p.y, 4);
        std::memcpy(b + 2, &p.z, 4);
        v.insert(v.end(), b, b + 3);
    }
    for (int f = 0; f < faces; ++f) {
        int k;
        const int* idx = o.GetFaceList()->GetIndexes(unsigned(f), k);
        v.insert(v.end(), idx, idx + k);
    }
    return v;
}

struct Handed {
    std::unique_ptr<looptest::Engine> engine;
    MrPtr object;
};

Handed HandOver() {
    Handed h;
    h.engine = std::make_unique<looptest::Engine>(looptest::BumpySphere(2), 0, false, true);
    EXPECT_TRUE(h.engine->object->InitOptimization(false));
    EXPECT_GT(h.engine->Optimize(0.0, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
    bool cancelled = true;
    h.object.reset(h.engine->object->GetMultiresolutionObject(cancelled));
    EXPECT_FALSE(cancelled);
    return h;
}

constexpr unsigned kPoints = MRRATIO_RELATIVE | MRRATIO_POINTS | MRRATIO_NO_PROGRESSIVE;

TEST(MultiresPlayback, LevelsSurviveMovedFaceRecordsAndAReplacedRecordStream) {
    Handed h = HandOver();
    ASSERT_TRUE(h.object);
    CMultiresolutionObject1& o = *h.object;
    const std::vector<uint32_t> full = TakeLevel(o);
    o.SetObjectRatio(0.3, 0, kPoints);
    const std::vector<uint32_t> l30 = TakeLevel(o);
    o.SetObjectRatio(0.0, 0, kPoints);
    const std::vector<uint32_t> coarsest = TakeLevel(o);
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

}  // namespace
}  // namespace kestovar::test
