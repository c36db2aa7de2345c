// A real contraction run recorded and played back: the textured spider with specified normals is
// reduced with texture coordinates and normals kept, then every contraction is played up and down
// again; each direction must give back the mesh of the other end bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"
#include "kestovar/simplify/ext_object.h"
#include "simplify/loop_test_util.h"

namespace kestovar::test {
namespace {

uint32_t Bits(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}

// The working copy as playback sees it: every point position, the flag word and corners of every
// face, every texture and normal value, and the texture and normal corners of the live faces
// (the loop also marks the channel faces of dead faces, which the stream does not carry). Point
// flags are the loop's bookkeeping (removed, frontier marks) and are not part of the record.
std::vector<uint32_t> Snapshot(C3DExtObject& object) {
    std::vector<uint32_t> s;
    const CExtPointList& pts = *object.GetPointList();
    for (int i = 0; i < pts.GetSize(); ++i) {
        const C3DTPoint<float>& p = *pts.GetPoint(i);
        s.insert(s.end(), {Bits(p.x), Bits(p.y), Bits(p.z)});
    }
    const C3DFaceList& faces = *object.GetWorkingFaceList();
    CDependentChannels* channels = object.GetWorkingChannels();
    CFaceList* uvFaces = nullptr;
    CPointList* uvPoints = nullptr;
    channels->GetChannelByIndex(0, uvFaces, uvPoints, CHANNEL_UVW);
    CNormalFaceList* normalFaces = nullptr;
    C3DVectorList* normals = nullptr;
    channels->GetSpecNormalChannel(normalFaces, normals);
    EXPECT_TRUE(uvFaces && normalFaces);
    for (int f = 0; f < faces.GetSize(); ++f) {
        int k;
        const int* idx = faces.GetIndexes(unsigned(f), k);
        s.push_back(faces.GetFaceFlags(unsigned(f)));
        s.insert(s.end(), idx, idx + k);
        if (!faces.IsFaceLive(unsigned(f))) continue;
        for (const CFaceList* list : {static_cast<const CFaceList*>(uvFaces), static_cast<const CFaceList*>(normalFaces)}) {
            const int* c = list->GetIndexes(unsigned(f), k);
            s.insert(s.end(), c, c + k);
        }
    }
    const CUVWPointList* uv = static_cast<const CUVWPointList*>(uvPoints);
    for (int i = 0; i < uv->GetSize(); ++i) {
        const CUVWPoint& t = uv->GetAt(i);
        s.insert(s.end(), {Bits(t.u), Bits(t.v), Bits(t.w)});
    }
    for (int i = 0; i < normals->GetSize(); ++i) {
        const C3DTVector<float>& n = normals->GetAt(i);
        s.insert(s.end(), {Bits(n.x), Bits(n.y), Bits(n.z)});
    }
    return s;
}

TEST(RecordPlayback, TexturedRunPlayedFullyUpAndDownRestoresEveryValue) {
    objtest::ObjMesh mesh;
    ASSERT_TRUE(objtest::LoadObj(std::string(KESTOVAR_TEST_DATA) + "/../../data/spider.obj", mesh));
    ASSERT_TRUE(mesh.HasUV());

    looptest::Engine engine(mesh, OPT_KEEP_UVW | OPT_KEEP_NORMALS, true, true, false, true);
    C3DExtObject* object = engine.object;
    ASSERT_TRUE(object->InitOptimization(false));
    const std::vector<uint32_t> fine = Snapshot(*object);
    const int liveFaces0 = object->GetWorkingFaceList()->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false);

    bool cancelled = true;
    ASSERT_GT(object->Optimize(0.25, cancelled, OPTIMIZE_RELATIVE), 0);
    ASSERT_FALSE(cancelled);
    CTrackContractions* track = object->GetTrackInfo();
    ASSERT_NE(track, nullptr);
    const unsigned n = track->GetContractionCount();
    ASSERT_GT(n, 100u);
    // The run must have recorded attribute changes, or the test would not exercise them.
    unsigned uvRecords = 0, normalRecords = 0, channelCorners = 0;
    for (const CTrackInfo* r = track->GetContraction(0); r; r = track->GetNextRecord(r)) {
        uvRecords += r->GetType() == TRACK_UV_CONTRACTION;
        normalRecords += r->GetType() == TRACK_NORMAL_CONTRACTION;
        channelCorners += r->GetType() == TRACK_CHANNEL_FACE || r->GetType() == TRACK_NORMAL_FACE;
    }
    EXPECT_GT(uvRecords, 0u);
    EXPECT_GT(normalRecords, 0u);
    EXPECT_GT(channelCorners, 0u);
    const std::vector<uint32_t> coarse = Snapshot(*object);
    const int liveFaces1 = object->GetWorkingFaceList()->GetNumberOfFaces(unsigned(FACE_NOT_LIVE), false);

    CExtPointList& pts = *object->GetPointList();
    C3DFaceList& working = *object->GetWorkingFaceList();
    CDependentChannels* wc = object->GetWorkingChannels();
    int curPoints = 0, curFaces = liveFaces1;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        for (unsigned i = n; i-- > 0;) track->PlayContraction(i, true, pts, working, wc, curPoints, curFaces);
        EXPECT_EQ(curFaces, liveFaces0);
        EXPECT_TRUE(Snapshot(*object) == fine);
        for (unsigned i = 0; i < n; ++i) track->PlayContraction(i, false, pts, working, wc, curPoints, curFaces);
        EXPECT_EQ(curFaces, liveFaces1);
        EXPECT_EQ(curPoints, 0);
        EXPECT_TRUE(Snapshot(*object) == coarse);
    }
}

}  // namespace
}  // namespace kestovar::test
