// Playback of multiresolution objects: the player's tables against the record walk, the tables'
// rebuilds, the hand-off's record layout, and golden values of a textured hand-off and its levels.
//
// The tables cache where every recorded face corner and deleted face's flag word lives, so they
// must follow whatever moves the face records or replaces the record stream between two level
// changes. A stale table writes into freed or foreign memory (AddressSanitizer reports it) or
// leaves the live faces unchanged (the level comparisons fail).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/normal_channel.h"
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

Handed HandOver(const objtest::ObjMesh& mesh = looptest::BumpySphere(2), unsigned long long mode = 0,
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
    CSceneOptimizer optimizer;
    C3DExtObject* ext = nullptr;
    MrPtr object;

    explicit NormalRun(const objtest::ObjMesh& mesh) {
        optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY | SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
        C3DPointList* points = C3DPointList::Create();
        objtest::FillPoints(mesh, *points);
        C3DFaceList* faces = C3DFaceList::Create();
        CDependentChannels* channels = CDependentChannels::Create();
        objtest::FillFacesAndChannels(mesh, *faces, *channels, true);
        objtest::AddRadialNormals(mesh, *channels);
        ext = new C3DExtObject(points, faces, channels);
        points->Delete();
        faces->Delete();
        channels->Delete();
        ext->SetOptimizer(optimizer, nullptr);
        ext->SetOptimizeMode(OPT_KEEP_UVW | OPT_KEEP_NORMALS, true);
        EXPECT_TRUE(ext->InitOptimization(false));
        bool cancelled = true;
        EXPECT_GT(ext->Optimize(0.0, cancelled, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS), 0);
        object.reset(ext->GetMultiresolutionObject(cancelled));
        EXPECT_FALSE(cancelled);
    }
    ~NormalRun() {
        object.reset();
        ext->Delete();
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
        int fa, pa, fb, pb;
        a.object->GetCurrentSize(fa, pa);
        b.object->GetCurrentSize(fb, pb);
        EXPECT_EQ(fa, fb);
        EXPECT_EQ(pa, pb);
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
    Handed h = HandOver(mesh, OPT_KEEP_UVW, true);
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
    Handed h = HandOver(mesh, OPT_KEEP_UVW | OPT_KEEP_MATERIAL, true);
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
    const std::vector<uint64_t> golden = {0xff70c233bbdddf06ull, 0x13422f5edcda8a13ull, 0x56570fd8151ea02full,
                                          0x3fc727d2c223c231ull, 0xff70c233bbdddf06ull};
    EXPECT_EQ(got, golden);
}

}  // namespace
}  // namespace kestovar::test
