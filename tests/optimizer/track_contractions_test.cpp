// Contraction tracking: the record layout, growth, loading, copying, compaction, renumbering and
// the playback of recorded contractions down and up, bit for bit.
#include "kestovar/optimizer/track_contractions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "allocation_refusal.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar::test {
namespace {

uint32_t Bits(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}

template <class Fn>
bool RaisesInvalidArg(Fn fn) {
    try {
        fn();
    } catch (CXInvalidArgException*) {
        XDeleteThreadException();
        return true;
    } catch (CXException*) {
        XDeleteThreadException();
    }
    return false;
}

std::vector<unsigned char> Stream(const CTrackContractions& t) {
    return std::vector<unsigned char>(t.GetData(), t.GetData() + t.GetDataSize());
}

uint32_t U32(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// Two contractions: the first with a face, a texture corner and an invalid face; the second bare.
void FillTwo(CTrackContractions& t) {
    CTrackEdgeContraction* e = t.BeginContraction();
    e->SetEdgeContraction(7, 3);
    e->SetPoint(C3DTPoint<float>(1.0f, 2.0f, 3.0f));
    CTrackFace* f = t.AddFace();
    f->SetCurrentFace(5);
    f->SetCorner(2);
    CTrackChannelFace* c = t.AddChannelFace(0x61);
    c->SetIndexChange(40);
    c->SetChannel(1);
    t.AddInvalidFace()->SetCurrentFace(9);
    e = t.BeginContraction();
    e->SetEdgeContraction(6, 2);
}

TEST(TrackRecords, ByteLayoutIsLittleEndianWithTypeNibbleAndZeroPadding) {
    CTrackContractions t;
    CTrackEdgeContraction* e = t.BeginContraction();
    e->SetEdgeContraction(0x01020304, 5);
    e->SetPoint(C3DTPoint<float>(1.5f, -2.0f, 0.25f));
    CTrackUVContraction* uv = t.AddUVContraction();
    uv->SetUVWIndex(11);
    uv->SetUVWPoint(CUVWPoint(0.5f, 0.75f, 1.0f));
    uv->SetChannel(3);
    t.AddNormalContraction()->SetNormalIndex(12);
    CTrackInvalidFace* inv = t.AddInvalidFace();
    inv->SetCurrentFace(13);
    inv->SetIsolatedFacePointNumber(17);  // only the low nibble: 1
    t.AddChannelFace(0x62)->SetIndexChange(14);
    CTrackNormalFace* nf = t.AddNormalFace();
    nf->SetCorner(1);
    nf->SetIndexChange(15);
    CTrackMoveDuplicatedPoint* d = t.AddMoveDuplicatedPoint();
    d->SetLowValue(2);
    d->SetIndex(16);

    const std::vector<unsigned char> s = Stream(t);
    ASSERT_EQ(s.size(), size_t(24 + 24 + 20 + 8 + 12 + 8 + 8));
    const unsigned char* p = s.data();
    EXPECT_EQ(p[0], 0x10);
    EXPECT_EQ(p[1] | p[2] | p[3], 0);
    EXPECT_EQ(U32(p + 4), Bits(1.5f));
    EXPECT_EQ(U32(p + 8), Bits(-2.0f));
    EXPECT_EQ(U32(p + 12), Bits(0.25f));
    EXPECT_EQ(U32(p + 16), 0x01020304u);
    EXPECT_EQ(U32(p + 20), 5u);
    p += 24;
    EXPECT_EQ(p[0], 0x20);
    EXPECT_EQ(U32(p + 4), Bits(0.5f));
    EXPECT_EQ(U32(p + 12), Bits(1.0f));
    EXPECT_EQ(U32(p + 16), 11u);
    EXPECT_EQ(p[20], 3);
    EXPECT_EQ(p[21] | p[22] | p[23], 0);
    p += 24;
    EXPECT_EQ(p[0], 0x30);
    EXPECT_EQ(U32(p + 16), 12u);
    p += 20;
    EXPECT_EQ(p[0], 0x41);
    // (`inv` itself may have moved with the buffer since.)
    const CTrackInvalidFace* stored = reinterpret_cast<const CTrackInvalidFace*>(t.GetData() + (p - s.data()));
    EXPECT_EQ(stored->GetIsolatedFacePointNumber(), 1);
    EXPECT_EQ(stored->GetType(), unsigned(TRACK_INVALID_FACE));
    EXPECT_EQ(U32(p + 4), 13u);
    p += 8;
    EXPECT_EQ(p[0], 0x62);
    EXPECT_EQ(U32(p + 4), 14u);
    p += 12;
    EXPECT_EQ(p[0], 0x71);
    EXPECT_EQ(U32(p + 4), 15u);
    p += 8;
    EXPECT_EQ(p[0], 0x82);
    EXPECT_EQ(U32(p + 4), 16u);
}

TEST(TrackRecords, SideRecordsWalkAndGatherStopAtTheNextContraction) {
    CTrackContractions t;
    FillTwo(t);
    ASSERT_EQ(t.GetContractionCount(), 2u);
    CTrackEdgeContraction* first = t.GetContraction(0);
    CTrackEdgeContraction* second = t.GetContraction(1);
    EXPECT_EQ(second->GetRemoved(), 6);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(second) - t.GetData(), 24 + 8 + 12 + 8);
    // Out of range: the start of the buffer.
    EXPECT_EQ(t.GetContraction(2), first);

    EXPECT_EQ(t.Gather(first), 3u);
    EXPECT_EQ(t.GetGathered(0)->GetType(), unsigned(TRACK_FACE));
    EXPECT_TRUE(RaisesInvalidArg([&] { t.GetGathered(3); }));
    EXPECT_EQ(t.PopGathered()->GetType(), unsigned(TRACK_INVALID_FACE));
    EXPECT_EQ(t.PopGathered()->GetType(), unsigned(TRACK_CHANNEL_FACE));
    EXPECT_EQ(t.PopGathered()->GetType(), unsigned(TRACK_FACE));
    EXPECT_EQ(t.PopGathered(), nullptr);
    // A contraction without side records, last in the stream.
    EXPECT_EQ(t.GetFirstSideRecord(second), nullptr);
    EXPECT_EQ(t.Gather(second), 0u);
    EXPECT_EQ(t.GetNextRecord(second), nullptr);
    // A side record followed by a contraction is the last of its contraction.
    t.Gather(first);
    EXPECT_EQ(t.GetNextSideRecord(t.GetGathered(2)), nullptr);
    EXPECT_EQ(t.GetNextRecord(t.GetGathered(2)), second);
}

TEST(TrackRecords, ReserveSizesTheBufferAndGrowthAddsFortyPercent) {
    CTrackContractions t;
    t.Reserve(300, 2);  // k = 100: (4 * 100 * 2 + 14 * 100) * 4 bytes
    EXPECT_EQ(t.GetCapacity(), 8800u);
    t.Reserve(3, 0);  // k = 1: 56 bytes
    EXPECT_EQ(t.GetCapacity(), 56u);
    t.BeginContraction()->SetEdgeContraction(1, 2);
    t.BeginContraction()->SetEdgeContraction(3, 4);
    EXPECT_EQ(t.GetCapacity(), 56u);
    t.BeginContraction()->SetEdgeContraction(5, 6);  // 72 > 56: + max(22, 24)
    EXPECT_EQ(t.GetCapacity(), 80u);
    t.BeginContraction()->SetEdgeContraction(7, 8);  // 96 > 80: + max(32, 24)
    EXPECT_EQ(t.GetCapacity(), 112u);
    // The records survived the moves.
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(t.GetContraction(i)->GetKept(), int(2 * i + 2));
    t.Compact();
    EXPECT_EQ(t.GetCapacity(), t.GetDataSize());
    EXPECT_EQ(t.GetContraction(3)->GetRemoved(), 7);

    t.Clear();
    EXPECT_EQ(t.GetContractionCount(), 0u);
    EXPECT_EQ(t.GetDataSize(), 0u);
    EXPECT_EQ(t.GetCoarsestPointCount(), -1);
    EXPECT_EQ(t.GetCoarsestFaceCount(), -1);
    EXPECT_EQ(t.GetCurrentPosition(), 0);
}

TEST(TrackRecords, LoadCopyAndRawAppendReproduceTheStream) {
    CTrackContractions src;
    FillTwo(src);
    src.AddFace()->SetCurrentFace(3);  // the stream ends with a side record
    const std::vector<unsigned char> bytes = Stream(src);

    CTrackContractions loaded;
    ASSERT_TRUE(loaded.Load(bytes.data(), bytes.size()));
    EXPECT_EQ(Stream(loaded), bytes);
    ASSERT_EQ(loaded.GetContractionCount(), 2u);
    EXPECT_EQ(loaded.Gather(loaded.GetContraction(1)), 1u);  // the last record is the last contraction's
    EXPECT_EQ(loaded.GetGathered(0)->GetType(), unsigned(TRACK_FACE));

    CTrackContractions copy;
    copy.BeginContraction();
    copy.CopyFrom(src);
    EXPECT_EQ(Stream(copy), bytes);
    EXPECT_EQ(copy.GetContractionCount(), 2u);
    EXPECT_EQ(copy.GetContraction(1)->GetKept(), 2);

    CTrackContractions raw;
    for (const CTrackInfo* r = src.GetContraction(0); r; r = src.GetNextRecord(r)) ASSERT_TRUE(raw.AddRecord(r));
    EXPECT_EQ(Stream(raw), bytes);
    EXPECT_EQ(raw.GetContractionCount(), 2u);
    const unsigned char unknown[8] = {0x90};
    EXPECT_FALSE(raw.AddRecord(unknown));
    EXPECT_EQ(Stream(raw), bytes);
}

// A refused allocation while recording (the buffer's growth or the contraction index's) leaves
// a tracker whose index still matches its stream: a host that catches the error and plays or
// renumbers what was recorded never meets a contraction past the end of the stream.
TEST(TrackRecords, ARefusedGrowthLeavesTheIndexMatchingTheStream) {
    CTrackContractions src;
    FillTwo(src);
    const CTrackInfo* bare = src.GetContraction(1);
    RefusingHook hook;
    for (long n = 1;; ++n) {
        CTrackContractions t;
        t.Reserve(3, 0);  // 56 bytes: the third contraction makes the buffer grow
        const Outcome outcome = Refusing(n, [&] {
            for (int i = 0; i < 40; ++i) {
                if (i % 2)
                    t.BeginContraction()->SetEdgeContraction(i, i + 1);
                else
                    t.AddRecord(bare);
                t.AddFace()->SetCurrentFace(i);
            }
        });
        unsigned contractions = 0;
        for (const CTrackInfo* r = t.GetDataSize() ? reinterpret_cast<const CTrackInfo*>(t.GetData())
                                                   : nullptr;
             r; r = t.GetNextRecord(r))
            contractions += r->GetType() == unsigned(TRACK_EDGE_CONTRACTION);
        ASSERT_EQ(t.GetContractionCount(), contractions) << "allocation " << n;
        for (unsigned i = 0; i < contractions; ++i) {
            const auto* c = reinterpret_cast<const unsigned char*>(t.GetContraction(i));
            ASSERT_LT(uint64_t(c - t.GetData()), t.GetDataSize()) << "allocation " << n;
            ASSERT_EQ(t.GetContraction(i)->GetType(), unsigned(TRACK_EDGE_CONTRACTION));
        }
        if (outcome == Outcome::kClean) {
            EXPECT_EQ(contractions, 40u);
            break;
        }
        EXPECT_EQ(outcome, Outcome::kMemoryError);
    }
}

TEST(TrackRecords, LoadRefusesNullAndMalformedStreamsAndLeavesTheTrackerCleared) {
    CTrackContractions src;
    FillTwo(src);
    std::vector<unsigned char> bytes = Stream(src);
    CTrackContractions t;
    FillTwo(t);
    EXPECT_FALSE(t.Load(nullptr, 10));
    EXPECT_EQ(t.GetContractionCount(), 0u);
    EXPECT_EQ(t.GetDataSize(), 0u);
    // Truncated in the middle of a record, and a record of an unknown type.
    EXPECT_FALSE(t.Load(bytes.data(), bytes.size() - 4));
    EXPECT_EQ(t.GetContractionCount(), 0u);
    bytes[24] = 0xA5;
    EXPECT_FALSE(t.Load(bytes.data(), bytes.size()));
    EXPECT_EQ(t.GetDataSize(), 0u);
    EXPECT_TRUE(t.Load(bytes.data(), 0));
    EXPECT_EQ(t.GetContractionCount(), 0u);
}

TEST(TrackRecords, RenumberMapsPairsFacesAndDuplicatesAndSetsTheCoarsestCounts) {
    CTrackContractions t;
    FillTwo(t);  // (7 -> 3; face 5, invalid 9), (6 -> 2)
    t.AddInvalidFace()->SetCurrentFace(4);  // side records of the last contraction
    t.AddInvalidFace()->SetCurrentFace(8);
    t.AddMoveDuplicatedPoint()->SetIndex(1);
    CXArray<unsigned int> points, faces;
    for (unsigned i = 0; i < 8; ++i) points.Add(7 - i);  // reversed
    for (unsigned i = 0; i < 10; ++i) faces.Add(i + 100);
    t.Renumber(faces, points);
    int removed, kept;
    t.GetContraction(0)->GetEdgeContraction(removed, kept);
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(kept, 4);
    t.Gather(t.GetContraction(0));
    EXPECT_EQ(static_cast<CTrackFace*>(t.GetGathered(0))->GetCurrentFace(), 105);
    EXPECT_EQ(static_cast<CTrackChannelFace*>(t.GetGathered(1))->GetIndexChange(), 40);  // not a face index
    EXPECT_EQ(static_cast<CTrackInvalidFace*>(t.GetGathered(2))->GetCurrentFace(), 109);
    t.Gather(t.GetContraction(1));
    EXPECT_EQ(static_cast<CTrackMoveDuplicatedPoint*>(t.GetGathered(2))->GetIndex(), 6);
    // Position 0 is below the last contraction: its removed point, and its smallest dead face.
    EXPECT_EQ(t.GetCoarsestPointCount(), 1);
    EXPECT_EQ(t.GetCoarsestFaceCount(), 104);

    CTrackContractions u;
    FillTwo(u);
    u.SetCurrentPosition(1);
    CXArray<unsigned int> identityPoints, identityFaces;
    for (unsigned i = 0; i < 8; ++i) identityPoints.Add(i);
    for (unsigned i = 0; i < 10; ++i) identityFaces.Add(i);
    u.Renumber(identityFaces, identityPoints);
    EXPECT_EQ(u.GetCoarsestPointCount(), 2);  // the kept point of the last contraction
    EXPECT_EQ(u.GetCoarsestFaceCount(), 0);   // it deleted no face

    CTrackContractions empty;
    empty.Renumber(identityFaces, identityPoints);
    EXPECT_EQ(empty.GetCoarsestPointCount(), 8);
    EXPECT_EQ(empty.GetCoarsestFaceCount(), 10);

    CXArray<unsigned int> shortPoints;
    shortPoints.Add(0);
    CTrackContractions bad;
    FillTwo(bad);
    EXPECT_TRUE(RaisesInvalidArg([&] { bad.Renumber(identityFaces, shortPoints); }));
}

// ---- playback ------------------------------------------------------------------------------------

// A (n+1) x (n+1) grid of points triangulated in 2 n² faces, with two texture channels and a
// specified-normal channel holding one value per corner, so that corners can be re-pointed
// independently in each list.
struct Mesh {
    C3DPointList* points = C3DPointList::Create();
    C3DFaceList* faces = C3DFaceList::Create();
    CDependentChannels* channels = CDependentChannels::Create();
    CUVWChannel* uv[2] = {new CUVWChannel, new CUVWChannel};
    CSpecNormalChannel* normals = new CSpecNormalChannel;

    explicit Mesh(int n) {
        for (int j = 0; j <= n; ++j)
            for (int i = 0; i <= n; ++i) {
                C3DTPoint<float> p(0.1f * float(i), 0.13f * float(j), 0.01f * float(i * j));
                p.SetFlags(unsigned(i + 7 * j) << 8);
                points->Add(p);
            }
        std::vector<std::vector<int>> tris;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const int a = j * (n + 1) + i, b = a + 1, c = a + n + 2, d = a + n + 1;
                tris.push_back({a, b, c});
                tris.push_back({a, c, d});
            }
        const int nf = int(tris.size());
        faces->SetSize(nf, 3, SETSIZE_COMPACT_SLACK);
        CFaceList* lists[3] = {uv[0]->GetUVWFaceList(), uv[1]->GetUVWFaceList(), normals->GetNormalFaceList()};
        for (CFaceList* l : lists) l->SetSize(nf, 3, SETSIZE_COMPACT_SLACK);
        for (int f = 0; f < nf; ++f) {
            CFace view;
            faces->GetFace(unsigned(f), view);
            view.SetIndexes(tris[size_t(f)].data(), 3);
            int corners[3];
            for (int k = 0; k < 3; ++k) {
                const int p = tris[size_t(f)][size_t(k)];
                corners[k] = uv[0]->GetUVWPointList()->Add(float(p) * 0.01f, float(f) * 0.02f);
                uv[1]->GetUVWPointList()->Add(float(f), float(k), 0.5f);
                normals->GetNormalVectorList()->Add(C3DTVector<float>(0.0f, float(k), 1.0f));
            }
            for (CFaceList* l : lists) {
                l->GetFace(unsigned(f), view);
                view.SetIndexes(corners, 3);
            }
        }
        channels->AddChannel(uv[0]);
        channels->AddChannel(uv[1]);
        channels->AddChannel(normals);
    }
    ~Mesh() {
        channels->Delete();
        faces->Delete();
        points->Delete();
    }
    Mesh(const Mesh&) = delete;
    Mesh& operator=(const Mesh&) = delete;
};

// Every bit of the mesh that a contraction may change.
std::vector<uint32_t> Snapshot(const Mesh& m) {
    std::vector<uint32_t> s;
    for (int i = 0; i < m.points->GetSize(); ++i) {
        const C3DTPoint<float>& p = m.points->GetAt(i);
        s.insert(s.end(), {p.GetFlags(), Bits(p.x), Bits(p.y), Bits(p.z)});
    }
    const CFaceList* lists[4] = {m.faces, m.uv[0]->GetUVWFaceList(), m.uv[1]->GetUVWFaceList(),
                                 m.normals->GetNormalFaceList()};
    for (const CFaceList* l : lists)
        for (int f = 0; f < l->GetSize(); ++f) {
            int k;
            const int* idx = l->GetIndexes(unsigned(f), k);
            s.push_back(l->GetFaceFlags(unsigned(f)));
            s.insert(s.end(), idx, idx + k);
        }
    for (const CUVWChannel* c : m.uv)
        for (int i = 0; i < c->GetUVWPointList()->GetSize(); ++i) {
            const CUVWPoint& t = c->GetUVWPointList()->GetAt(i);
            s.insert(s.end(), {t.GetFlags(), Bits(t.u), Bits(t.v), Bits(t.w)});
        }
    const C3DVectorList* v = m.normals->GetNormalVectorList();
    for (int i = 0; i < v->GetSize(); ++i) {
        const C3DTVector<float>& n = v->GetAt(i);
        s.insert(s.end(), {n.GetFlags(), Bits(n.x), Bits(n.y), Bits(n.z)});
    }
    return s;
}

// Contracts removed into kept the way the contraction loop records it: the kept point moves to
// the middle of the edge; faces holding both ends die; the removed point's corners move to kept,
// each texture and normal corner of a re-pointed face takes the value index of a corner of kept,
// and the first texture value and normal of kept are blended. Every element is recorded once.
void Contract(Mesh& m, CTrackContractions& t, int removed, int kept, int& livePoints, int& liveFaces) {
    C3DTPoint<float>& pk = m.points->GetAt(kept);
    const C3DTPoint<float>& pr = m.points->GetAt(removed);
    CTrackEdgeContraction* e = t.BeginContraction();
    e->SetEdgeContraction(removed, kept);
    e->SetPoint(pk);
    pk.x = 0.5f * (pk.x + pr.x);
    pk.y = 0.5f * (pk.y + pr.y);
    pk.z = 0.5f * (pk.z + pr.z);
    --livePoints;

    // Value indices of kept's corner in some live face, per channel list.
    int keptValue[3] = {-1, -1, -1};
    CFaceList* lists[3] = {m.uv[0]->GetUVWFaceList(), m.uv[1]->GetUVWFaceList(), m.normals->GetNormalFaceList()};
    for (int f = 0; f < m.faces->GetSize() && keptValue[0] < 0; ++f) {
        if (!m.faces->IsFaceLive(unsigned(f))) continue;
        int k;
        const int* idx = m.faces->GetIndexes(unsigned(f), k);
        for (int j = 0; j < k; ++j)
            if (idx[j] == kept)
                for (int c = 0; c < 3; ++c) keptValue[c] = lists[c]->GetIndexes(unsigned(f), k)[j];
    }
    ASSERT_GE(keptValue[0], 0);
    CUVWPoint& t0 = m.uv[0]->GetUVWPointList()->GetAt(keptValue[0]);
    CTrackUVContraction* uvRecord = t.AddUVContraction();
    uvRecord->SetUVWIndex(keptValue[0]);
    uvRecord->SetUVWPoint(t0);
    t0.u = 0.75f * t0.u + 0.25f;
    C3DTVector<float>& n0 = m.normals->GetNormalVectorList()->GetAt(keptValue[2]);
    CTrackNormalContraction* nRecord = t.AddNormalContraction();
    nRecord->SetNormalIndex(keptValue[2]);
    nRecord->SetNormal(n0);
    n0.x += 0.125f;

    for (int f = 0; f < m.faces->GetSize(); ++f) {
        if (!m.faces->IsFaceLive(unsigned(f))) continue;
        int k;
        int* idx = m.faces->GetIndexes(unsigned(f), k);
        int at = -1;
        bool hasKept = false;
        for (int j = 0; j < k; ++j) {
            if (idx[j] == removed) at = j;
            if (idx[j] == kept) hasKept = true;
        }
        if (at < 0) continue;
        if (hasKept) {
            t.AddInvalidFace()->SetCurrentFace(f);
            m.faces->SetFaceFlags(unsigned(f), FACE_INVALID, true);
            --liveFaces;
            continue;
        }
        CTrackFace* fr = t.AddFace();
        fr->SetCurrentFace(f);
        fr->SetCorner(at);
        idx[at] = kept;
        for (int c = 0; c < 2; ++c) {
            int* corner = lists[c]->GetIndexes(unsigned(f), k) + at;
            CTrackChannelFace* cr = t.AddChannelFace((unsigned char)(0x60 | at));
            cr->SetChannel((unsigned char)c);
            cr->SetIndexChange(*corner);
            *corner = keptValue[c];
        }
        int* corner = lists[2]->GetIndexes(unsigned(f), k) + at;
        CTrackNormalFace* nr = t.AddNormalFace();
        nr->SetCorner(at);
        nr->SetIndexChange(*corner);
        *corner = keptValue[2];
    }
}

TEST(TrackPlayback, RecordedContractionsPlayedUpAndDownRestoreTheMeshBitForBit) {
    Mesh m(6);
    const int points0 = m.points->GetSize(), faces0 = m.faces->GetSize();
    const std::vector<uint32_t> fine = Snapshot(m);

    CTrackContractions t;
    t.Reserve(3 * points0, 2);
    std::mt19937 rng(12345);
    int livePoints = points0, liveFaces = faces0;
    for (int step = 0; step < 25; ++step) {
        // A random edge of a random live face.
        int f;
        do f = int(rng() % unsigned(m.faces->GetSize()));
        while (!m.faces->IsFaceLive(unsigned(f)));
        int k;
        const int* idx = m.faces->GetIndexes(unsigned(f), k);
        const int j = int(rng() % 3u);
        Contract(m, t, idx[j], idx[(j + 1) % 3], livePoints, liveFaces);
    }
    ASSERT_EQ(t.GetContractionCount(), 25u);
    ASSERT_LT(liveFaces, faces0 - 25);
    const std::vector<uint32_t> coarse = Snapshot(m);
    ASSERT_NE(coarse, fine);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        int points = livePoints, faces = liveFaces;
        for (int i = 24; i >= 0; --i) t.PlayContraction(unsigned(i), true, *m.points, *m.faces, m.channels, points, faces);
        EXPECT_EQ(points, points0);
        EXPECT_EQ(faces, faces0);
        EXPECT_TRUE(Snapshot(m) == fine);
        for (int i = 0; i < 25; ++i) t.PlayContraction(unsigned(i), false, *m.points, *m.faces, m.channels, points, faces);
        EXPECT_EQ(points, livePoints);
        EXPECT_EQ(faces, liveFaces);
        EXPECT_TRUE(Snapshot(m) == coarse);
    }

    // Part way: up to contraction 10 and back down gives the coarse mesh again; a loaded copy of
    // the stream plays the same.
    int points = livePoints, faces = liveFaces;
    for (int i = 24; i >= 10; --i) t.PlayContraction(unsigned(i), true, *m.points, *m.faces, m.channels, points, faces);
    CTrackContractions loaded;
    ASSERT_TRUE(loaded.Load(t.GetData(), t.GetDataSize()));
    for (int i = 10; i < 25; ++i) loaded.PlayContraction(unsigned(i), false, *m.points, *m.faces, m.channels, points, faces);
    EXPECT_TRUE(Snapshot(m) == coarse);
    EXPECT_TRUE(RaisesInvalidArg([&] { t.PlayContraction(25, true, *m.points, *m.faces, m.channels, points, faces); }));
}

TEST(TrackPlayback, InvalidFaceNibbleCountsIsolatedPointsAndDuplicatesFollowTheirPoint) {
    Mesh m(1);  // points 0..3, faces (0, 1, 3) and (0, 3, 2)
    CTrackContractions t;
    CTrackEdgeContraction* e = t.BeginContraction();
    e->SetEdgeContraction(1, 0);
    e->SetPoint(C3DTPoint<float>(-1.0f, -2.0f, -3.0f));  // played: kept moves here and back
    CTrackInvalidFace* inv = t.AddInvalidFace();
    inv->SetCurrentFace(0);
    inv->SetIsolatedFacePointNumber(2);
    CTrackMoveDuplicatedPoint* d = t.AddMoveDuplicatedPoint();
    d->SetLowValue(1);
    d->SetIndex(3);
    CTrackMoveDuplicatedPoint* d2 = t.AddMoveDuplicatedPoint();
    d2->SetLowValue(2);
    d2->SetIndex(2);

    const C3DTPoint<float> p0 = m.points->GetAt(0), p1 = m.points->GetAt(1);
    int points = 4, faces = 2;
    t.PlayContraction(0, false, *m.points, *m.faces, m.channels, points, faces);
    EXPECT_EQ(points, 4 - 1 - 2);
    EXPECT_EQ(faces, 1);
    EXPECT_TRUE(m.faces->IsFaceFlagSet(0, FACE_INVALID));
    EXPECT_EQ(m.points->GetAt(0).x, -1.0f);
    // Going down both duplicates follow kept.
    EXPECT_EQ(m.points->GetAt(3).x, -1.0f);
    EXPECT_EQ(m.points->GetAt(3).GetFlags(), p0.GetFlags());
    EXPECT_EQ(m.points->GetAt(2).z, -3.0f);

    t.PlayContraction(0, true, *m.points, *m.faces, m.channels, points, faces);
    EXPECT_EQ(points, 4);
    EXPECT_EQ(faces, 2);
    EXPECT_FALSE(m.faces->IsFaceFlagSet(0, FACE_INVALID));
    EXPECT_EQ(Bits(m.points->GetAt(0).y), Bits(p0.y));
    // Going up, the duplicate of kept takes kept's restored position, that of removed removed's.
    EXPECT_EQ(Bits(m.points->GetAt(3).x), Bits(p0.x));
    EXPECT_EQ(Bits(m.points->GetAt(2).y), Bits(p1.y));
    EXPECT_EQ(m.points->GetAt(2).GetFlags(), p1.GetFlags());
}

}  // namespace
}  // namespace kestovar::test

namespace kestovar::test {
namespace {

// Streams reach the tracker from files and downloads: damaged bytes must be refused by Load or,
// when they still form records, played without touching anything outside the mesh (any index may
// be wrong). Run under AddressSanitizer this pins every range check of the playback.
TEST(TrackPlayback, DamagedStreamsAreRefusedOrPlayedWithinTheMesh) {
    Mesh source(3);
    CTrackContractions t;
    int livePoints = source.points->GetSize(), liveFaces = source.faces->GetSize();
    const int pairs[][2] = {{5, 6}, {0, 1}, {10, 9}, {15, 14}};
    for (const auto& p : pairs) Contract(source, t, p[0], p[1], livePoints, liveFaces);
    const std::vector<unsigned char> good = Stream(t);

    std::mt19937 rng(7);
    int loaded = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<unsigned char> bytes = good;
        const int flips = 1 + int(rng() % 6u);
        for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] = (unsigned char)(rng());
        if (rng() % 4u == 0) bytes.resize(rng() % bytes.size());
        CTrackContractions damaged;
        if (!damaged.Load(bytes.data(), bytes.size())) {
            EXPECT_EQ(damaged.GetDataSize(), 0u);
            continue;
        }
        ++loaded;
        Mesh m(3);
        int points = 0, faces = 0;
        for (unsigned i = damaged.GetContractionCount(); i-- > 0;)
            damaged.PlayContraction(i, true, *m.points, *m.faces, m.channels, points, faces);
        for (unsigned i = 0; i < damaged.GetContractionCount(); ++i)
            damaged.PlayContraction(i, false, *m.points, *m.faces, m.channels, points, faces);
    }
    EXPECT_GT(loaded, 100);  // most damage keeps the record structure: the playback was exercised
}

}  // namespace
}  // namespace kestovar::test
