// Attribute channels: identity and type strings, channels following face and point clean-up and
// the material sort, welding of channel values, texture seams and colour frontiers, copies,
// weights, lookups and archive round trips.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "lists_test_util.h"
#include "test_util.h"

namespace kestovar::test {
namespace {

using liststest::ArchiveCause;
using liststest::Bytes;
using liststest::Load;
using liststest::RaisesInvalidArg;
using liststest::Store;

void SetFace(CFaceList& list, unsigned f, const std::vector<int>& idx) {
    CFace view;
    ASSERT_TRUE(list.GetFace(f, view));
    view.SetIndexes(idx.data(), unsigned(idx.size()));
}

// Sizes `list` to the given faces and writes them.
void SetFaces(CFaceList& list, const std::vector<std::vector<int>>& faces) {
    list.SetSize(int(faces.size()));
    for (size_t f = 0; f < faces.size(); ++f) SetFace(list, unsigned(f), faces[f]);
}

// Adds one texture point per (u, v) pair.
void AddUVs(CUVWPointList* list, const std::vector<std::array<float, 2>>& uvs) {
    for (const auto& uv : uvs) list->Add(uv[0], uv[1]);
}

std::vector<int> FaceOf(const CFaceList& list, unsigned f) {
    int n;
    const int* p = list.GetIndexes(f, n);
    return std::vector<int>(p, p + n);
}

// A mesh, its channel set and a view on both (lists as source and destination).
struct Mesh {
    Owned<C3DPointList> points = C3DPointList::Create();
    Owned<C3DFaceList> faces = C3DFaceList::Create();
    Owned<CDependentChannels> channels = CDependentChannels::Create();
    CGeomInfo* geom = nullptr;

    Mesh(int pointCount, const std::vector<std::vector<int>>& f) {
        for (int i = 0; i < pointCount; ++i) points->Add(float(i), float(i % 3), 0.0f);
        SetFaces(*faces, f);
        geom = new CGeomInfo(faces, points);
        geom->SetChannels(channels, channels, 0);
    }
    ~Mesh() { delete geom; }

    // A texture channel with one channel point per corner whose u is the geometric point index
    // and v the face's index at creation: a channel that stays parallel keeps u == corner point.
    CUVWChannel* AddCornerUVs(unsigned id = kNewChannelID) {
        CUVWChannel* c = new CUVWChannel(id);
        CUVWFaceList* cf = c->GetUVWFaceList();
        cf->SetSize(faces->GetSize());
        for (int f = 0; f < faces->GetSize(); ++f) {
            std::vector<int> corners;
            for (int p : FaceOf(*faces, unsigned(f)))
                corners.push_back(c->GetUVWPointList()->Add(float(p), float(f)));
            SetFace(*cf, unsigned(f), corners);
        }
        channels->AddChannel(c);
        return c;
    }
};

// Every live geometric face has a live channel face of the same size whose corner k holds the
// value made for geometric point k (u) of the geometric face that carried material/tag v.
void ExpectParallel(const Mesh& m, const CUVWChannel& c) {
    const CUVWFaceList* cf = c.GetUVWFaceList();
    ASSERT_EQ(cf->GetSize(), m.faces->GetSize());
    for (int f = 0; f < m.faces->GetSize(); ++f) {
        if (!m.faces->IsFaceLive(unsigned(f))) continue;
        ASSERT_TRUE(cf->IsFaceLive(unsigned(f))) << "face " << f;
        std::vector<int> g = FaceOf(*m.faces, unsigned(f));
        std::vector<int> k = FaceOf(*cf, unsigned(f));
        ASSERT_EQ(g.size(), k.size()) << "face " << f;
        for (size_t j = 0; j < g.size(); ++j) {
            ASSERT_LT(k[j], c.GetUVWPointList()->GetSize());
            // u names the geometric point as it was numbered at creation; the mesh's x coordinate
            // carries that number through point renumbering.
            EXPECT_EQ(c.GetUVWPointList()->GetAt(k[j]).u, m.points->GetAt(g[j]).x) << "face " << f << " corner " << j;
        }
    }
}

// ---- identity ----------------------------------------------------------------------------------

TEST(ChannelIdentity, CounterIdentifiersTypesAndStrings) {
    Owned<CChannel> a = CChannel::Create(CHANNEL_UVW);
    Owned<CChannel> b = CChannel::Create(CHANNEL_VC, kNewChannelID);
    Owned<CChannel> seven = CChannel::Create(CHANNEL_WEIGHT, 7);
    ASSERT_TRUE(a && b && seven);
    EXPECT_GE(a->GetID(), kFirstChannelID);
    EXPECT_EQ(b->GetID(), a->GetID() + 1) << "consecutive counter values";
    EXPECT_EQ(seven->GetID(), 7u);
    EXPECT_EQ(seven->GetFaceList(), nullptr) << "a weight channel made by Create is point-mapped";
    EXPECT_TRUE(seven->GetPointList()->IsKindOf(KX_RUNTIME_CLASS(CWeightPointList)));
    EXPECT_TRUE(a->GetFaceList()->IsKindOf(KX_RUNTIME_CLASS(CUVWFaceList)));
    EXPECT_EQ(a->GetFlags(), 0u);
    EXPECT_EQ(CChannel::Create(_Channel3DType(2)), nullptr);
    EXPECT_EQ(CChannel::Create(_Channel3DType(0)), nullptr);

    EXPECT_EQ(a->GetTypeString(), CXTString<wchar_t>(L"UV"));
    EXPECT_TRUE(CChannel::GetTypeString(_Channel3DType(2)).IsEmpty());

    CChannelInfo ia(a), ib(b);
    EXPECT_EQ(ia, CChannelInfo(CHANNEL_UVW, a->GetID()));
    EXPECT_NE(ia, ib);
    CHashMap<CChannelInfo, const CChannelInfo&, unsigned, CHashMethods<CChannelInfo>> map;
    map.Insert(ia, 1);
    map.Insert(ib, 2);
    unsigned v = 0;
    EXPECT_TRUE(map.Find(CChannelInfo(CHANNEL_VC, b->GetID()), v));
    EXPECT_EQ(v, 2u);
    EXPECT_FALSE(map.Find(CChannelInfo(CHANNEL_UVW, b->GetID()), v)) << "type is part of the key";
}

// ---- clean-up ------------------------------------------------------------------------------------

//   0 --- 1 --- 2 --- 3
//   |  f0 |  f1 |  f2 |
//   4 --- 5 --- 6 --- 7
std::vector<std::vector<int>> Strip() { return {{0, 4, 5, 1}, {1, 5, 6, 2}, {2, 6, 7, 3}}; }

TEST(ChannelClean, FaceAndPointRemovalKeepsChannelFacesParallel) {
    Mesh m(8, Strip());
    CUVWChannel* uv = m.AddCornerUVs();
    // A point-mapped weight channel: weight i on geometric point i.
    CWeightChannel* w = new CWeightChannel(kNewChannelID, true);
    for (int i = 0; i < 8; ++i) w->GetWeightPointList()->Add(float(i));
    m.channels->AddChannel(w);

    // Removing f2 removes points 3 and 7, and the four channel points only f2 used.
    m.faces->SetFaceFlags(2, FACE_INVALID, true);
    EXPECT_TRUE(m.faces->Clean(m.geom));
    ASSERT_EQ(m.faces->GetSize(), 2);
    ASSERT_EQ(m.channels->GetSize(), 2) << "both channels still match";
    EXPECT_EQ(uv->GetUVWPointList()->GetSize(), 8);
    ExpectParallel(m, *uv);
    ASSERT_EQ(w->GetWeightPointList()->GetSize(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(w->GetWeightPointList()->GetAt(i).weight, m.points->GetAt(i).x);

    // Removing the first face renumbers every channel face and point.
    m.faces->SetFaceFlags(0, FACE_INVALID, true);
    EXPECT_TRUE(m.faces->Clean(m.geom));
    ASSERT_EQ(m.faces->GetSize(), 1);
    EXPECT_EQ(uv->GetUVWPointList()->GetSize(), 4);
    ExpectParallel(m, *uv);
    EXPECT_EQ(FaceOf(*uv->GetFaceList(), 0), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(w->GetWeightPointList()->GetSize(), 4);
}

TEST(ChannelClean, InvalidChannelFaceOfASurvivingFaceStaysInPlaceHidden) {
    Mesh m(8, Strip());
    CUVWChannel* uv = m.AddCornerUVs();
    uv->GetFaceList()->SetFaceFlags(1, FACE_INVALID, true);
    m.faces->SetFaceFlags(2, FACE_INVALID, true);
    EXPECT_TRUE(m.faces->Clean(m.geom));
    ASSERT_EQ(m.channels->GetSize(), 1);
    ASSERT_EQ(uv->GetFaceList()->GetSize(), 2);
    EXPECT_TRUE(uv->GetFaceList()->IsFaceLive(0));
    EXPECT_EQ(uv->GetFaceList()->GetFaceFlags(1) & FACE_NOT_LIVE, unsigned(FACE_HIDDEN));
    EXPECT_EQ(uv->GetUVWPointList()->GetSize(), 4) << "only the live face's points are kept";
}

TEST(ChannelClean, ChannelsThatNoLongerMatchAreDropped) {
    Mesh m(8, Strip());
    CUVWChannel* keep = m.AddCornerUVs();
    CUVWChannel* shortOne = m.AddCornerUVs();
    shortOne->GetFaceList()->SetSize(2);  // one face fewer than the geometry
    CUVWChannel* wild = m.AddCornerUVs();
    SetFace(*wild->GetFaceList(), 0, {0, 1, 99, 2});  // a corner beyond the channel's points
    CUVWChannel* empty = new CUVWChannel;  // no faces, no points
    m.channels->AddChannel(empty);
    CWeightChannel* perPoint = new CWeightChannel(kNewChannelID, true);
    perPoint->GetWeightPointList()->SetSize(5);  // not one weight per point
    m.channels->AddChannel(perPoint);

    EXPECT_EQ(m.channels->CleanChannels(m.geom, nullptr, nullptr), 4);
    ASSERT_EQ(m.channels->GetSize(), 1);
    EXPECT_EQ(m.channels->GetChannel(0), keep);
    ExpectParallel(m, *keep);
}

TEST(ChannelClean, CleanMarksRecomputableChannelsOutOfDateOnlyWhenChanged) {
    Mesh m(8, Strip());
    CUVWChannel* uv = m.AddCornerUVs();
    uv->SetFlag(CHANNEL_RECOMPUTABLE, true);
    EXPECT_FALSE(uv->Clean(m.geom, nullptr, nullptr));
    EXPECT_FALSE(uv->IsFlagSet(CHANNEL_OUT_OF_DATE));
    m.faces->SetFaceFlags(1, FACE_INVALID, true);
    EXPECT_TRUE(m.faces->Clean(m.geom));
    EXPECT_TRUE(uv->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_FALSE(uv->IsFlagSet(CHANNEL_INVALID));
}

TEST(ChannelClean, MaterialSortReordersChannelFacesWithTheGeometry) {
    Mesh m(8, Strip());
    m.faces->SetFaceMaterial(0, 5);
    m.faces->SetFaceMaterial(1, 3);
    m.faces->SetFaceMaterial(2, 1);
    CUVWChannel* uv = m.AddCornerUVs();
    ASSERT_TRUE(m.faces->Sort(m.geom, 0));
    EXPECT_EQ(m.faces->GetFaceMaterial(0), 1u);
    ExpectParallel(m, *uv);
    EXPECT_EQ(uv->GetUVWPointList()->GetAt(FaceOf(*uv->GetFaceList(), 0)[0]).v, 2.0f) << "old face 2 is first";
}

// ---- welding -------------------------------------------------------------------------------------

TEST(ChannelWeld, MergesOnlyEqualValuesAtTheSameGeometricPoint) {
    //   0 --- 1 --- 2
    //   |  f0 |  f1 |
    //   3 --- 4 --- 5
    Mesh m(6, {{0, 3, 4, 1}, {1, 4, 5, 2}});
    CUVWChannel* uv = new CUVWChannel;
    CUVWPointList* p = uv->GetUVWPointList();
    // f0 corners 0..3, f1 corners 4..7. Points 1 and 4 get equal values on both faces; f1's
    // corner at 5 repeats the value f0 has at 3 (another geometric point: must stay apart).
    // 0: point 0, 1: point 3, 2: point 4, 3: point 1, 4: point 1 (same as 3), 5: point 4 (same
    // as 2), 6: point 5 (equal to 1 but at another point), 7: point 2.
    AddUVs(p, {{0, 0}, {0, 1}, {1, 1}, {1, 0}, {1, 0}, {1, 1}, {0, 1}, {2, 0}});
    SetFaces(*uv->GetFaceList(), {{0, 1, 2, 3}, {4, 5, 6, 7}});
    m.channels->AddChannel(uv);

    EXPECT_TRUE(m.channels->Weld(m.geom, 0.0, CHANNEL_ALL));
    EXPECT_EQ(p->GetSize(), 6);
    EXPECT_EQ(FaceOf(*uv->GetFaceList(), 0), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(FaceOf(*uv->GetFaceList(), 1), (std::vector<int>{3, 2, 4, 5}));
    EXPECT_FALSE(uv->HasGraph()) << "the corner graph lives only during the weld";
    EXPECT_FALSE(m.channels->Weld(m.geom, 0.0, CHANNEL_ALL)) << "nothing left to merge";

    // With a tolerance, values close enough at the same point merge; a derived channel is left alone.
    p->GetAt(4).u = 0.5f;  // point 5 on f1 (was (0, 1))
    p->GetAt(4).v = 1.0f;
    p->GetAt(2).u = 1.05f;  // point 4, shared by both faces already
    uv->SetFlag(CHANNEL_DERIVED, true);
    EXPECT_FALSE(uv->Weld(m.geom, 0.1));
    uv->SetFlag(CHANNEL_DERIVED, false);
    EXPECT_FALSE(uv->Weld(m.geom, 0.1)) << "no two different channel points share a geometric point";

    // Colour and weight values are never found equal (only texture coordinates and specified
    // normals compare): equal values at a shared point stay apart, whatever the tolerance.
    CVCChannel* vc = new CVCChannel;
    CWeightChannel* w = new CWeightChannel;
    for (int i = 0; i < 8; ++i) {
        vc->GetVCPointList()->Add(CRGBColor(200, 0, 0));
        w->GetWeightPointList()->Add(0.5f);
    }
    SetFaces(*vc->GetFaceList(), {{0, 1, 2, 3}, {4, 5, 6, 7}});
    SetFaces(*w->GetFaceList(), {{0, 1, 2, 3}, {4, 5, 6, 7}});
    m.channels->AddChannel(vc);
    m.channels->AddChannel(w);
    for (double tolerance : {0.0, 0.5})
        EXPECT_FALSE(m.channels->Weld(m.geom, tolerance, CHANNEL_VC | CHANNEL_WEIGHT));
    EXPECT_EQ(vc->GetVCPointList()->GetSize(), 8);
    EXPECT_EQ(w->GetWeightPointList()->GetSize(), 8);
}

// ---- seams and frontiers --------------------------------------------------------------------------

// Two quads with a texture seam down the shared edge 1-4:
//   0 --- 1 --- 2
//   |  f0 |  f1 |
//   3 --- 4 --- 5
// f0 uses channel points 0..3, f1 uses 4..7; 1 and 4 carry different values on the two sides.
struct SeamMesh : Mesh {
    CUVWChannel* uv;
    SeamMesh() : Mesh(6, {{0, 3, 4, 1}, {1, 4, 5, 2}}) {
        uv = new CUVWChannel;
        // Channel points 4 and 5 are points 1 and 4 on f1.
        AddUVs(uv->GetUVWPointList(), {{0, 0}, {0, 1}, {0.5f, 1}, {0.5f, 0}, {0.6f, 0}, {0.6f, 1}, {1, 1}, {1, 0}});
        SetFaces(*uv->GetFaceList(), {{0, 1, 2, 3}, {4, 5, 6, 7}});
        channels->AddChannel(uv);
    }
};

TEST(ChannelSeams, SeamMarkedExactlyWhereValuesDiffer) {
    SeamMesh m;
    m.points->GetPt(0)->SetFlags(POINT_UV_SEAM | POINT_UV_JUNCTION, true);  // stale marks
    ASSERT_TRUE(m.uv->InitShareUVFlag(m.geom, 0.0f, true));
    for (int i = 0; i < 6; ++i) {
        const bool seam = i == 1 || i == 4;
        EXPECT_EQ(m.points->GetPt(i)->IsFlagSet(POINT_UV_SEAM), seam) << "point " << i;
        EXPECT_FALSE(m.points->GetPt(i)->IsOneFlagSet(POINT_UV_JUNCTION)) << "point " << i;
    }
    const std::vector<int> seamCorners = {2, 3, 4, 5};
    for (int i = 0; i < 8; ++i) {
        const bool seam = std::find(seamCorners.begin(), seamCorners.end(), i) != seamCorners.end();
        EXPECT_EQ(m.uv->GetUVWPointList()->GetPt(i)->IsFlagSet(POINT_UV_SEAM), seam) << "channel point " << i;
    }

    // Within the tolerance the two sides count as one value: no seam.
    ASSERT_TRUE(m.uv->InitShareUVFlag(m.geom, 0.2f, true));
    EXPECT_EQ(m.points->GetNumberOfPoints(POINT_UV_SEAM, true), 0);
    EXPECT_EQ(m.uv->GetUVWPointList()->GetNumberOfPoints(POINT_UV_SEAM, true), 0);

    // Edge frontier: tolerance 0 only applies the liveness and membership rules.
    const C3DEdge seamEdge(1, 4), missing(0, 5);
    EXPECT_FALSE(m.uv->IsUVFrontier(m.geom, 0.0f, seamEdge, 0, 1));
    EXPECT_TRUE(m.uv->IsUVFrontier(m.geom, 0.05f, seamEdge, 0, 1));
    EXPECT_FALSE(m.uv->IsUVFrontier(m.geom, 0.2f, seamEdge, 0, 1)) << "0.1 apart is within 0.2";
    EXPECT_TRUE(m.uv->IsUVFrontier(m.geom, 0.0f, missing, 0, 1)) << "an end not in both faces";
    m.uv->GetFaceList()->SetFaceFlags(1, FACE_HIDDEN, true);
    EXPECT_TRUE(m.uv->IsUVFrontier(m.geom, 0.0f, seamEdge, 0, 1)) << "exactly one channel face live";
    m.uv->GetFaceList()->SetFaceFlags(0, FACE_HIDDEN, true);
    EXPECT_FALSE(m.uv->IsUVFrontier(m.geom, 0.05f, seamEdge, 0, 1)) << "neither live";
}

TEST(ChannelSeams, ThreeValuesMakeAJunctionAndAMissingCornerCounts) {
    // Three triangles around point 0, each with its own texture value there:
    //        1
    //   f0 / | \ f1
    //     2--0--3
    //      \ f2/
    //        4 ... (f2 = 0, 4, 3... closing the fan below)
    Mesh m(5, {{0, 1, 2}, {0, 3, 1}, {0, 2, 4}});
    CUVWChannel* uv = new CUVWChannel;
    CUVWPointList* p = uv->GetUVWPointList();
    for (int i = 0; i < 9; ++i) p->Add(float(i), 0.0f);
    // f1 shares point 1's value with f0, f2 point 2's.
    SetFaces(*uv->GetFaceList(), {{0, 1, 2}, {3, 4, 1}, {6, 2, 8}});
    m.channels->AddChannel(uv);
    ASSERT_TRUE(uv->InitShareUVFlag(m.geom, 0.0f, true));
    EXPECT_TRUE(m.points->GetPt(0)->IsFlagSet(POINT_UV_SEAM | POINT_UV_JUNCTION));
    EXPECT_FALSE(m.points->GetPt(1)->IsOneFlagSet(POINT_UV_SEAM)) << "one shared value";
    EXPECT_FALSE(m.points->GetPt(2)->IsOneFlagSet(POINT_UV_SEAM));
    for (int c : {0, 3, 6}) EXPECT_TRUE(p->GetPt(c)->IsFlagSet(POINT_UV_SEAM)) << "channel point " << c;
    EXPECT_FALSE(p->GetPt(1)->IsOneFlagSet(POINT_UV_SEAM));

    // A face without a live channel corner at point 1 counts as one more value there.
    uv->GetFaceList()->SetFaceFlags(1, FACE_HIDDEN, true);
    ASSERT_TRUE(uv->InitShareUVFlag(m.geom, 0.0f, true));
    EXPECT_TRUE(m.points->GetPt(1)->IsFlagSet(POINT_UV_SEAM));
    EXPECT_FALSE(m.points->GetPt(1)->IsOneFlagSet(POINT_UV_JUNCTION));
    EXPECT_TRUE(p->GetPt(1)->IsFlagSet(POINT_UV_SEAM));
}

TEST(ChannelSeams, ColourFrontiersAndBreakFlags) {
    SeamMesh m;
    CVCChannel* vc = new CVCChannel;
    CVCPointList* p = vc->GetVCPointList();
    // f0 red everywhere (one shared colour per point would be usual; one per corner here), f1
    // red except at point 4 where it is red plus 10 in green.
    for (int i = 0; i < 8; ++i) p->Add(CRGBColor(200, i == 5 ? 10 : 0, 0));
    SetFaces(*vc->GetFaceList(), {{0, 1, 2, 3}, {4, 5, 6, 7}});
    m.channels->AddChannel(vc);

    ASSERT_TRUE(vc->InitVCFrontierFlag(m.geom, 0, true));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(m.points->GetPt(i)->IsFlagSet(POINT_VC_FRONTIER), i == 4) << "point " << i;
    EXPECT_TRUE(p->GetPt(2)->IsFlagSet(POINT_VC_FRONTIER));
    EXPECT_TRUE(p->GetPt(5)->IsFlagSet(POINT_VC_FRONTIER));
    EXPECT_FALSE(p->GetPt(3)->IsOneFlagSet(POINT_VC_FRONTIER));
    ASSERT_TRUE(vc->InitVCFrontierFlag(m.geom, 10, true));
    EXPECT_EQ(m.points->GetNumberOfPoints(POINT_VC_FRONTIER, true), 0) << "10 apart is within 10";
    EXPECT_TRUE(vc->IsVCFrontier(m.geom, 9, C3DEdge(1, 4), 0, 1));
    EXPECT_FALSE(vc->IsVCFrontier(m.geom, 10, C3DEdge(1, 4), 0, 1));

    // Break flags: stale bits cleared, every valid texture and colour channel marks its border.
    m.points->GetPt(0)->SetFlags(POINT_NORMAL_FRONTIER | POINT_VC_FRONTIER | POINT_UV_JUNCTION, true);
    EXPECT_TRUE(m.channels->InitBreakFlags(m.geom, CHANNEL_ALL, 0.0f, 0, 0.5f));
    EXPECT_EQ(m.points->GetPt(0)->GetFlags() & 0x17000u, 0u);
    EXPECT_TRUE(m.points->GetPt(1)->IsFlagSet(POINT_UV_SEAM));
    EXPECT_TRUE(m.points->GetPt(4)->IsFlagSet(POINT_UV_SEAM | POINT_VC_FRONTIER));
    vc->SetFlag(CHANNEL_INVALID, true);
    m.uv->SetFlag(CHANNEL_INVALID, true);
    EXPECT_FALSE(m.channels->InitBreakFlags(m.geom, CHANNEL_ALL, 0.0f, 0, 0.5f)) << "invalid channels are skipped";
    EXPECT_EQ(m.points->GetNumberOfPoints(0x7000u, true), 0);
}

// ---- copies and lookups ---------------------------------------------------------------------------

TEST(ChannelSet, CopyFlagsAndLookups) {
    Mesh m(8, Strip());
    CUVWChannel* uv = m.AddCornerUVs(40);
    uv->GetCustomData().SetInt(0x54455354, 12);
    CVCChannel* derived = new CVCChannel(41);
    derived->SetFlag(CHANNEL_DERIVED | CHANNEL_RECOMPUTABLE, true);
    derived->GetVCPointList()->Add(CRGBColor(1, 2, 3));
    m.channels->AddChannel(derived);
    CUVWChannel* invalid = m.AddCornerUVs(42);
    invalid->SetFlag(CHANNEL_INVALID, true);

    // Identifiers kept, derived channels left out.
    Owned<CDependentChannels> copy = CDependentChannels::Create();
    CXArray<unsigned> from;
    EXPECT_EQ(copy->CopyChannels(*m.channels, CHANNEL_ALL, CHANNEL_COPY_KEEP_ID | CHANNEL_COPY_SKIP_DERIVED, &from), 2);
    ASSERT_EQ(copy->GetSize(), 2);
    EXPECT_EQ(from[0], 0u);
    EXPECT_EQ(from[1], 2u);
    CChannel* c0 = copy->GetChannel(0);
    EXPECT_NE(c0, uv);
    EXPECT_EQ(c0->GetID(), 40u);
    EXPECT_EQ(c0->GetPointList()->GetSize(), uv->GetPointList()->GetSize());
    int value = 0;
    EXPECT_TRUE(c0->GetCustomData().GetInt(0x54455354, value));
    EXPECT_EQ(value, 12);
    EXPECT_EQ(copy->GetChannel(1)->GetPointList()->GetSize(), 0) << "an invalid source is copied empty";

    // New identifiers, content left out; recomputable copies are out of date; sharing.
    EXPECT_EQ(copy->CopyChannels(*m.channels, CHANNEL_VC, CHANNEL_COPY_NO_CONTENT, nullptr), 1);
    EXPECT_NE(copy->GetChannel(0)->GetID(), 41u);
    EXPECT_EQ(copy->GetChannel(0)->GetPointList()->GetSize(), 0);
    EXPECT_TRUE(copy->GetChannel(0)->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_EQ(copy->CopyChannels(*m.channels, CHANNEL_UVW, CHANNEL_COPY_APPEND | CHANNEL_COPY_SHARE | CHANNEL_COPY_SKIP_INVALID,
                                 nullptr),
              1);
    ASSERT_EQ(copy->GetSize(), 2);
    EXPECT_EQ(copy->GetChannel(1), uv) << "shared, not copied";

    // Lookups.
    EXPECT_EQ(m.channels->AddChannel(nullptr), -1);
    EXPECT_EQ(m.channels->GetChannelByIndex(1, CHANNEL_UVW, false), invalid);
    EXPECT_EQ(m.channels->GetChannelByIndex(1, CHANNEL_UVW, true), nullptr);
    EXPECT_EQ(m.channels->GetChannelByIndex(5, 0, false), nullptr);
    EXPECT_EQ(m.channels->GetChannelIndex(41, CHANNEL_ALL, false), 1);
    EXPECT_EQ(m.channels->GetChannelIndex(41, CHANNEL_UVW, false), -1);
    EXPECT_EQ(m.channels->GetChannelIndex(42, CHANNEL_ALL, true), -1);
    EXPECT_EQ(m.channels->GetChannelType(1), CHANNEL_VC);
    EXPECT_TRUE(RaisesInvalidArg([&] { m.channels->GetChannelType(3); }));
    for (int bad : {-1, 3}) EXPECT_TRUE(RaisesInvalidArg([&] { m.channels->GetChannel(bad); })) << bad;
    CXArray<unsigned> indices;
    EXPECT_EQ(m.channels->GetChannels(CHANNEL_UVW, indices, true), 1);
    EXPECT_EQ(m.channels->GetChannelsNumber(CHANNEL_UVW | CHANNEL_VC, false), 3);
    CUVWFaceList* uf = nullptr;
    CUVWPointList* up = nullptr;
    EXPECT_EQ(m.channels->GetUVWChannelByID(40, uf, up), uv);
    EXPECT_EQ(up, uv->GetUVWPointList());
    EXPECT_EQ(m.channels->GetUVWChannelByIndex(1, uf, up, true), nullptr);
    EXPECT_EQ(uf, nullptr);
    CVCFaceList* vf = nullptr;
    CVCPointList* vp = nullptr;
    EXPECT_EQ(m.channels->GetVCChannelByIndex(0, vf, vp), derived);
    EXPECT_EQ(m.channels->GetPointNormalChannel(), nullptr);

    // Removals.
    EXPECT_EQ(m.channels->RemoveChannelsByFlag(CHANNEL_INVALID, CHANNEL_ALL, true), 1);
    EXPECT_TRUE(m.channels->RemoveChannelByID(41, CHANNEL_VC));
    EXPECT_FALSE(m.channels->RemoveChannelByID(41, CHANNEL_VC));
    EXPECT_EQ(m.channels->GetSize(), 1);
    EXPECT_EQ(m.channels->RemoveChannelsByType(CHANNEL_UVW), 1);
    EXPECT_EQ(m.channels->GetSize(), 0);
    EXPECT_EQ(copy->GetChannel(1)->GetID(), 40u) << "the shared channel lives on in the copy";
}

TEST(ChannelObject, InitCreatesTheRequestedTextureChannel) {
    Owned o = new C3DObject;
    ASSERT_TRUE(o->Init(6, 2, 4, 1, 9, 77));
    CUVWChannel* uv = o->GetChannels()->GetUVWChannelByID(77);
    ASSERT_NE(uv, nullptr);
    EXPECT_EQ(uv->GetUVWPointList()->GetSize(), 9);
    EXPECT_EQ(uv->GetFaceList()->GetSize(), 2);
    // No texture asked, or no texture points: no channel.
    for (auto [withTexture, texturePoints] : {std::pair{0, 9}, std::pair{1, 0}}) {
        Owned plain = new C3DObject;
        plain->Init(6, 2, 4, withTexture, texturePoints, 77);
        EXPECT_EQ(plain->GetChannels()->GetSize(), 0);
    }
}

// ---- weights --------------------------------------------------------------------------------------

TEST(ChannelWeights, LimitsNormalisationAndPerPointWeights) {
    CWeightChannel flat(kNewChannelID, true);
    float lo = 1, hi = 1;
    EXPECT_FALSE(flat.GetLimits(lo, hi));
    EXPECT_EQ(lo, 0.0f);
    EXPECT_EQ(hi, 0.0f);
    // Equal weights normalise to 0, or to 1 when asked to.
    flat.GetWeightPointList()->SetSize(3);
    for (bool toOne : {false, true}) {
        for (int i = 0; i < 3; ++i) flat.GetWeightPointList()->GetAt(i).weight = 2.5f;
        EXPECT_TRUE(flat.Normalize(toOne));
        for (int i = 0; i < 3; ++i) EXPECT_EQ(flat.GetWeightPointList()->GetAt(i).weight, toOne ? 1.0f : 0.0f);
    }

    CWeightChannel ramp(kNewChannelID, true);
    for (float w : {-1.0f, 3.0f, 1.0f}) ramp.GetWeightPointList()->Add(w);
    EXPECT_TRUE(ramp.GetLimits(lo, hi));
    EXPECT_EQ(lo, -1.0f);
    EXPECT_EQ(hi, 3.0f);
    ramp.Normalize(true);
    const float normalised[3] = {1, 0, 0.5f};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ramp.GetWeightPointList()->GetAt(i).weight, normalised[i]);

    // A weight that is not a number is left out of the limits wherever it sits, first included,
    // and the others still normalise.
    for (int at = 0; at < 3; ++at) {
        CWeightChannel holed(kNewChannelID, true);
        for (int i = 0; i < 3; ++i) holed.GetWeightPointList()->Add(i == at ? std::nanf("") : float(2 * i));
        EXPECT_TRUE(holed.GetLimits(lo, hi));
        EXPECT_EQ(lo, at == 0 ? 2.0f : 0.0f);
        EXPECT_EQ(hi, at == 2 ? 2.0f : 4.0f);
        holed.Normalize(false);
        for (int i = 0; i < 3; ++i) {
            const float v = holed.GetWeightPointList()->GetAt(i).weight;
            if (i == at)
                EXPECT_TRUE(std::isnan(v));
            else
                EXPECT_TRUE(v == 0.0f || v == 1.0f) << v;
        }
    }

    // Face-mapped: point 1 and 4 carry 1 on f0 and 3 on f1, the mean is 2; point 2 has no corner.
    Mesh m(6, {{0, 3, 4, 1}, {1, 4, 5}});
    CWeightChannel* w = new CWeightChannel;
    for (float v : {0.0f, 0.0f, 1.0f, 1.0f, 3.0f, 3.0f, 5.0f}) w->GetWeightPointList()->Add(v);
    SetFaces(*w->GetFaceList(), {{0, 1, 2, 3}, {4, 5, 6}});
    m.channels->AddChannel(w);
    Owned<CWeightPointList> per = w->GetWeightPointOnlyList(m.geom);
    ASSERT_NE(per, nullptr);
    ASSERT_EQ(per->GetSize(), 6);
    const std::vector<float> expected = {0, 2, 0, 0, 2, 5};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(per->GetAt(i).weight, expected[size_t(i)]) << "point " << i;
}

// ---- archives -------------------------------------------------------------------------------------

TEST(ChannelArchive, EveryChannelKindRoundTrips) {
    SeamMesh m;
    m.uv->GetUVWPointList()->GetAt(3).w = 0.25f;
    m.uv->GetUVWPointList()->GetPt(2)->SetFlags(POINT_UV_SEAM);
    m.uv->GetCustomData().SetInt(0x41424344, -5);
    CVCChannel* vc = new CVCChannel(9);
    vc->GetVCPointList()->Add(CRGBColor(uint8_t(1), uint8_t(2), uint8_t(3), uint8_t(4)));
    SetFaces(*vc->GetFaceList(), {{0, 0, 0, 0}, {0, 0, 0}});
    vc->GetFaceList()->SetFaceFlags(1, FACE_HIDDEN, true);
    m.channels->AddChannel(vc);
    CWeightChannel* wp = new CWeightChannel(10, true);
    wp->GetWeightPointList()->Add(0.75f);
    wp->SetFlag(CHANNEL_RECOMPUTABLE, true);
    m.channels->AddChannel(wp);
    CWeightChannel* wf = new CWeightChannel(11, false);
    wf->GetWeightPointList()->Add(-2.0f);
    m.channels->AddChannel(wf);

    const Bytes bytes = Store([&](CXArchive& ar) { m.channels->Serialize(ar); });
    Owned<CDependentChannels> back = CDependentChannels::Create();
    Load(bytes, [&](CXArchive& ar) { back->Serialize(ar); });
    ASSERT_EQ(back->GetSize(), 4);

    CUVWChannel* uv = back->GetUVWChannelByIndex(0);
    ASSERT_NE(uv, nullptr);
    EXPECT_EQ(uv->GetID(), m.uv->GetID());
    ASSERT_EQ(uv->GetUVWPointList()->GetSize(), 8);
    for (int i = 0; i < 8; ++i) {
        const CUVWPoint& a = uv->GetUVWPointList()->GetAt(i);
        const CUVWPoint& b = m.uv->GetUVWPointList()->GetAt(i);
        EXPECT_TRUE(a.SameValue(b)) << i;
        EXPECT_EQ(a.GetFlags(), b.GetFlags()) << i;
    }
    EXPECT_EQ(FaceOf(*uv->GetFaceList(), 1), (std::vector<int>{4, 5, 6, 7}));
    int value = 0;
    EXPECT_TRUE(uv->GetCustomData().GetInt(0x41424344, value));
    EXPECT_EQ(value, -5);

    CVCChannel* vc2 = back->GetVCChannelByID(9);
    ASSERT_NE(vc2, nullptr);
    EXPECT_EQ(vc2->GetVCPointList()->GetAt(0).color.GetValue(), CRGBColor(uint8_t(1), uint8_t(2), uint8_t(3), uint8_t(4)).GetValue());
    EXPECT_EQ(vc2->GetFaceList()->GetFaceFlags(1), unsigned(FACE_HIDDEN));
    EXPECT_EQ(vc2->GetFaceList()->GetFaceSize(1), 3u);

    auto* wp2 = static_cast<CWeightChannel*>(back->GetChannelByID(10, CHANNEL_WEIGHT));
    ASSERT_NE(wp2, nullptr);
    EXPECT_TRUE(wp2->IsPointOnly());
    EXPECT_TRUE(wp2->IsFlagSet(CHANNEL_RECOMPUTABLE));
    EXPECT_EQ(wp2->GetWeightPointList()->GetAt(0).weight, 0.75f);
    auto* wf2 = static_cast<CWeightChannel*>(back->GetChannelByID(11, CHANNEL_WEIGHT));
    ASSERT_NE(wf2, nullptr);
    EXPECT_FALSE(wf2->IsPointOnly());
    EXPECT_EQ(wf2->GetWeightPointList()->GetAt(0).weight, -2.0f);
}

TEST(ChannelArchive, ListsOfAnotherClassAreRejected) {
    // A texture channel whose stored point list is a plain 3D point list: loading it as texture
    // points would read records of the wrong size.
    CUVWChannel forged(3);
    forged.SetPointList(CHANNEL_UVW, C3DPointList::Create(), true);
    const Bytes bytes = Store([&](CXArchive& ar) {
        ar.WriteClass(forged.GetRuntimeClassDescriptor());
        forged.Serialize(ar);
    });
    CUVWChannel target;
    Bytes body(bytes);
    EXPECT_EQ(ArchiveCause([&] {
                  Load(bytes, [&](CXArchive& ar) {
                      ar.ReadClass(KX_RUNTIME_CLASS(CChannel));
                      target.Serialize(ar);
                  });
              }),
              int(CXArchiveException::badClass));

    // A stored type that is not the class's.
    CVCChannel vc(4);
    const Bytes vcBytes = Store([&](CXArchive& ar) { vc.Serialize(ar); });
    EXPECT_EQ(ArchiveCause([&] { Load(vcBytes, [&](CXArchive& ar) { target.Serialize(ar); }); }),
              int(CXArchiveException::badClass));

    // Truncated bytes never crash.
    for (size_t cut = 0; cut < vcBytes.size(); ++cut) {
        Bytes part(vcBytes.begin(), vcBytes.begin() + long(cut));
        CVCChannel again;
        EXPECT_NE(ArchiveCause([&] { Load(part, [&](CXArchive& ar) { again.Serialize(ar); }); }), -1) << cut;
    }
}

}  // namespace
}  // namespace kestovar::test
