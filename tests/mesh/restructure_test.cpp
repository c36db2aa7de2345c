// Restructuring: appending one object to another (points, faces, transform, material filter,
// channels matched by identifier and kept parallel), separating faces that meet only at a point,
// and the scene extension points the mesh code installs.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "cleanup_test_util.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/scene/scene.h"

namespace kestovar {
namespace {

using test::MakeObject;
using test::Owned;
using test::Poly;
using test::ReadFaces;

CUVWChannel* AddUV(C3DObject& o, unsigned id) {
    CUVWChannel* uv = new CUVWChannel(id);
    const C3DTPoint<float>* p = o.GetPointList()->GetPoints();
    for (int v = 0; v < o.GetPointNbr(); ++v) uv->GetUVWPointList()->Add(p[v].x, p[v].y);
    test::WriteFaces(*uv->GetUVWFaceList(), ReadFaces(*o.GetFaceList()));
    o.AddChannel(uv);
    return uv;
}

TEST(Concatenate, AppendsTransformedFacesWithChannelsKeptParallel) {
    Owned a = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
    Owned b = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {5, 5, 5}}, {{0, 1, 2}, {2, 1, 3}});
    b->GetFaceList()->SetFaceMaterial(1, 4);
    AddUV(*a, 7);
    AddUV(*b, 7);
    AddUV(*b, 9);  // only in the source
    const C4x4TMatrix<float> shift = C4x4TMatrix<float>::Translation(10.0f, 0.0f, 0.0f);

    // Material 4 only: one face with the three points it uses; the unused point stays behind.
    ASSERT_TRUE(a->Concatenate(*b, &shift, 4));
    EXPECT_EQ(a->GetPointNbr(), 6);
    EXPECT_EQ(ReadFaces(*a->GetFaceList()), (std::vector<Poly>{{0, 1, 2}, {3, 4, 5}}));
    const C3DTPoint<float>* p = a->GetPointList()->GetPoints();
    EXPECT_EQ(p[3].x, 10.0f);  // point 2 of b, (0, 1, 0), moved by 10 along x
    EXPECT_EQ(p[5].x, 11.0f);
    EXPECT_EQ(a->GetFaceList()->GetFaceMaterial(1), 4u);

    CUVWChannel* shared = static_cast<CUVWChannel*>(a->GetChannelByID(7, CHANNEL_UVW));
    CUVWChannel* added = static_cast<CUVWChannel*>(a->GetChannelByID(9, CHANNEL_UVW));
    ASSERT_NE(shared, nullptr);
    ASSERT_NE(added, nullptr);
    for (CUVWChannel* c : {shared, added}) ASSERT_EQ(c->GetFaceList()->GetSize(), a->GetFaceNbr());
    // The shared channel's appended corners hold the source's values (texture coordinates are
    // not moved by the transform); the channel that only the source had is dead on a's own face.
    int k = 0;
    const int* c = shared->GetFaceList()->GetIndexes(1, k);
    ASSERT_EQ(k, 3);
    EXPECT_EQ(shared->GetUVWPointList()->GetPoints()[c[0]].u, 0.0f);
    EXPECT_EQ(shared->GetUVWPointList()->GetPoints()[c[2]].u, 1.0f);
    EXPECT_FALSE(added->GetFaceList()->IsFaceLive(0));
    EXPECT_TRUE(added->GetFaceList()->IsFaceLive(1));

    // No face of the material: nothing appended.
    EXPECT_FALSE(a->Concatenate(*b, nullptr, 99));
}

CWeightChannel* AddWeights(C3DObject& o, unsigned id, float first) {
    CWeightChannel* w = new CWeightChannel(id, true);
    for (int v = 0; v < o.GetPointNbr(); ++v) w->GetWeightPointList()->Add(first + float(v));
    o.AddChannel(w);
    return w;
}

std::vector<float> Weights(const C3DObject& o, unsigned id) {
    std::vector<float> out;
    auto* w = static_cast<CWeightChannel*>(o.GetChannelByID(id, CHANNEL_WEIGHT));
    if (!w) return out;
    for (int i = 0; i < w->GetWeightPointList()->GetSize(); ++i) out.push_back(w->GetWeightPointList()->GetAt(i).weight);
    return out;
}

// Point-mapped channels keep one value per point: a channel of one side only gets zeros for the
// other side's points. An object without lists takes the source's.
TEST(Concatenate, PointMappedChannelsGetZerosForTheOtherSidesPoints) {
    Owned a = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
    Owned b = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {{0, 1, 2}, {2, 1, 3}});
    AddWeights(*a, 20, 1.0f);    // a only
    AddWeights(*b, 21, 100.0f);  // b only
    AddWeights(*a, 22, 10.0f);   // both
    AddWeights(*b, 22, 50.0f);
    ASSERT_TRUE(a->Concatenate(*b, nullptr, 0xFFFFFFFFu));
    EXPECT_EQ(a->GetPointNbr(), 7);
    EXPECT_EQ(Weights(*a, 20), (std::vector<float>{1, 2, 3, 0, 0, 0, 0}));
    EXPECT_EQ(Weights(*a, 21), (std::vector<float>{0, 0, 0, 100, 101, 102, 103}));
    EXPECT_EQ(Weights(*a, 22), (std::vector<float>{10, 11, 12, 50, 51, 52, 53}));

    Owned bare = new C3DObject;
    ASSERT_TRUE(bare->Concatenate(*b, nullptr, 0xFFFFFFFFu));
    EXPECT_EQ(bare->GetPointNbr(), 4);
    EXPECT_EQ(ReadFaces(*bare->GetFaceList()), (std::vector<Poly>{{0, 1, 2}, {2, 1, 3}}));
    EXPECT_EQ(Weights(*bare, 22), (std::vector<float>{50, 51, 52, 53}));
}

// Every object read or generated has its own identifier for its specified normals; the merged
// object has one such channel covering every face. Face data that only the source carries (back
// materials) comes along, with the defaults on the faces that were there.
TEST(Concatenate, SpecifiedNormalsOfEverySourceAndBackMaterialsFollow) {
    auto addNormals = [](C3DObject& o, unsigned id, float z) {
        CSpecNormalChannel* n = new CSpecNormalChannel(id);
        n->GetNormalVectorList()->Add(C3DTVector<float>(0, 0, z));
        std::vector<Poly> corners = ReadFaces(*o.GetFaceList());
        for (Poly& f : corners)
            for (int& c : f) c = 0;
        test::WriteFaces(*n->GetFaceList(), corners);
        o.AddChannel(n);
    };
    Owned a = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
    Owned b = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {{0, 1, 2}, {2, 1, 3}});
    addNormals(*a, 30, 1.0f);
    addNormals(*b, 31, -1.0f);
    b->GetFaceList()->SetBackFaceMaterial(1, 7);
    ASSERT_TRUE(a->Concatenate(*b, nullptr, 0xFFFFFFFFu));

    CDependentChannels* channels = a->GetChannels();
    ASSERT_EQ(channels->GetChannelsNumber(CHANNEL_SPEC_NORMAL, false), 1);
    auto* normals =
        static_cast<CSpecNormalChannel*>(channels->GetChannelByIndex(0, CHANNEL_SPEC_NORMAL, false));
    ASSERT_EQ(normals->GetFaceList()->GetSize(), 3);
    for (int f = 0; f < 3; ++f) {
        int k = 0;
        const int* idx = normals->GetFaceList()->GetIndexes(unsigned(f), k);
        ASSERT_EQ(k, 3) << f;
        EXPECT_EQ(normals->GetNormalVectorList()->GetAt(idx[0]).z, f == 0 ? 1.0f : -1.0f) << f;
    }
    const C3DFaceList* faces = a->GetFaceList();
    EXPECT_EQ(faces->GetBackFaceMaterial(0), 0xFFFFFFFFu);
    EXPECT_EQ(faces->GetBackFaceMaterial(1), 0xFFFFFFFFu);
    EXPECT_EQ(faces->GetBackFaceMaterial(2), 7u);
}

TEST(Concatenate, MirroringTransformKeepsFacesOutward) {
    Owned a = MakeObject({}, {});
    Owned b = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
    const C4x4TMatrix<float> mirror = C4x4TMatrix<float>::Scale(-1.0f, 1.0f, 1.0f);
    ASSERT_TRUE(a->Concatenate(*b, &mirror, 0xFFFFFFFFu));
    C3DTVector<float> n;
    CGeomInfo geom(a);
    C3DFace face;
    a->GetFaceList()->GetFace(0, face);
    ASSERT_TRUE(face.GetNormal(&geom, n, true));
    EXPECT_FLOAT_EQ(n.z, 1.0f);
}

TEST(DisconnectBorderFaces, FacesMeetingAtOnePointGetTheirOwnCopy) {
    // Two triangles touching at point 0 (a bow tie), and a fan of two triangles sharing an edge.
    Owned o = MakeObject({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {-1, 0, 0}, {-1, -1, 0}, {0, 1, 0}},
                              {{0, 1, 2}, {0, 3, 4}, {0, 2, 5}});
    EXPECT_EQ(o->DisconnectBorderFaces(), 1);
    ASSERT_EQ(o->GetPointNbr(), 7);
    const auto faces = ReadFaces(*o->GetFaceList());
    EXPECT_EQ(faces[0], (Poly{0, 1, 2}));
    EXPECT_EQ(faces[2], (Poly{0, 2, 5}));  // joined to face 0 through edge 0-2: keeps the point
    EXPECT_EQ(faces[1], (Poly{6, 3, 4}));
    const C3DTPoint<float>* p = o->GetPointList()->GetPoints();
    EXPECT_EQ(p[6].x, 0.0f);
    EXPECT_EQ(p[6].y, 0.0f);
    // Nothing left to separate.
    EXPECT_EQ(o->DisconnectBorderFaces(), 0);

    // Two cubes sharing a corner: the corner is split, each cube keeps a closed surface.
    std::vector<test::P3> pts = test::CubePoints();
    for (const auto& q : test::CubePoints()) pts.push_back({q[0] + 1, q[1] + 1, q[2] + 1});
    std::vector<Poly> cubeFaces = test::CubeFaces();
    for (Poly f : test::CubeFaces(8)) {
        for (int& v : f) v = v == 8 ? 7 : v;  // the second cube's corner 0 is the first's corner 7
        cubeFaces.push_back(f);
    }
    Owned cubes = MakeObject(pts, cubeFaces);
    EXPECT_EQ(cubes->DisconnectBorderFaces(), 1);
    CXArray<C3DGeomObject*> parts;
    EXPECT_EQ(cubes->ExplodeIntoIsolatedParts(parts), 2);
    for (C3DGeomObject* part : parts) {
        EXPECT_TRUE(test::IsConsistentlyOriented(*part->GetFaceList()));
        part->Delete();
    }
}

// Neighbouring face pairs that run a shared edge in the same direction.
int SameDirectionPairs(const std::vector<Poly>& faces) {
    int pairs = 0;
    for (size_t f = 0; f < faces.size(); ++f)
        for (size_t g = f + 1; g < faces.size(); ++g)
            for (size_t i = 0; i < faces[f].size(); ++i) {
                const int a = faces[f][i], b = faces[f][(i + 1) % faces[f].size()];
                for (size_t j = 0; j < faces[g].size(); ++j)
                    if (faces[g][j] == a && faces[g][(j + 1) % faces[g].size()] == b) ++pairs;
            }
    return pairs;
}

// Each face comes out as it was or reversed, with its flipped bit saying which.
void ExpectFlipsRecorded(const std::vector<Poly>& before, const std::vector<Poly>& after,
                         const CBitArray& flipped) {
    for (size_t f = 0; f < before.size(); ++f) {
        const Poly reversed(before[f].rbegin(), before[f].rend());
        EXPECT_EQ(after[f] == reversed, flipped.Get(int(f))) << "face " << f;
        EXPECT_TRUE(after[f] == reversed || after[f] == before[f]);
    }
}

std::vector<Poly> Unified(const std::vector<test::P3>& points, const std::vector<Poly>& before) {
    Owned o = MakeObject(points, before);
    CGeomInfo geom(o);
    CBitArray flipped;
    EXPECT_TRUE(o->GetFaceList()->UnifyNormals(&geom, flipped));
    const std::vector<Poly> after = ReadFaces(*o->GetFaceList());
    ExpectFlipsRecorded(before, after, flipped);
    return after;
}

TEST(UnifyNormals, BranchingEdgesLeaveOnlyTheUnavoidableConflict) {
    // A tetrahedron with a fin on edge 0-1 (three faces on that edge), listed with mixed
    // orientations. The walk from the fin orients both tetrahedron faces on the spine against
    // the fin, so they disagree with each other; at best the tetrahedron is consistent and the
    // fin disagrees with one of its two spine neighbours.
    std::vector<Poly> after = Unified({{0, 0, 0}, {1, 0, 0}, {0.5f, 1, 0}, {0.5f, -0.5f, 1}, {0.5f, -1, 0}},
                                      {{0, 1, 2}, {0, 1, 3}, {0, 4, 1}, {0, 3, 4}, {1, 4, 3}});
    EXPECT_EQ(SameDirectionPairs(after), 1);
    EXPECT_EQ(SameDirectionPairs(std::vector<Poly>(after.begin() + 1, after.end())), 0);

    // A strip of four triangles closing round point 7, its ends on edge 3-7, which a fifth face
    // also holds. Oriented from that face, both ends ran the edge against it, and so the same way
    // as each other, and the strip kept the conflict on an edge of two faces.
    std::vector<test::P3> points(14, test::P3{0, 0, 0});
    points[2] = {0, 1, 0}, points[3] = {1, 1, 0}, points[7] = {1, 1, 1};
    points[11] = {2, 1, 1}, points[12] = {1, 2, 1}, points[13] = {2, 2, 1};
    after = Unified(points, {{3, 7, 2}, {3, 11, 7}, {3, 7, 12}, {13, 11, 7}, {12, 13, 7}});
    EXPECT_EQ(SameDirectionPairs(after), 1);  // on edge 3-7 of three faces
    EXPECT_EQ(SameDirectionPairs(std::vector<Poly>(after.begin() + 1, after.end())), 0);
}

TEST(UnifyNormals, PagesOfABookBalanceAroundTheSpine) {
    // Triangles (0, 1, tip) all sharing edge 0-1. The walk from page 0 turns every other page
    // against it; then each page, in order, is turned over when it runs the spine the same way as
    // more earlier pages than the other way. The pages end up split evenly between the two
    // directions, whether the spine's faces are read one by one (few pages) or counted per edge
    // (many pages).
    for (int pages : {6, 41}) {
        std::vector<test::P3> points = {{0, 0, 0}, {1, 0, 0}};
        std::vector<Poly> before;
        for (int i = 0; i < pages; ++i) {
            points.push_back({0.5f, float(i % 7), float(i)});
            const int tip = int(points.size()) - 1;
            before.push_back(i % 3 == 1 ? Poly{1, 0, tip} : Poly{0, 1, tip});
        }
        const std::vector<Poly> after = Unified(points, before);
        int balance = 0;  // pages running 0 -> 1 minus pages running 1 -> 0
        for (int i = 0; i < pages; ++i) {
            int expected = i == 0 ? 1 : -1;  // page 0 runs 0 -> 1
            if (expected * balance > 0) expected = -expected;
            balance += expected;
            const Poly& page = after[size_t(i)];  // (0, 1, tip) or a rotation of (1, 0, tip)
            const bool runs01 =
                page == Poly{0, 1, page[2]} || page == Poly{page[0], 0, 1} || page == Poly{1, page[1], 0};
            EXPECT_EQ(runs01, expected > 0) << pages << " pages, page " << i;
        }
        EXPECT_LE(std::abs(balance), 1);
    }
}

TEST(GeomInfo, TypedListsAreThoseOfTheIndexthValidChannel) {
    Owned o = MakeObject({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
    CUVWChannel* first = AddUV(*o, 1);
    CUVWChannel* second = AddUV(*o, 2);
    CWeightChannel* weights = new CWeightChannel(3, true);
    o->AddChannel(weights);
    CGeomInfo geom(o);
    EXPECT_EQ(geom.GetSrcUVWFaceList(0), first->GetUVWFaceList());
    EXPECT_EQ(geom.GetSrcUVWPointList(1), second->GetUVWPointList());
    EXPECT_EQ(geom.GetSrcUVWFaceList(2), nullptr);
    first->SetFlag(CHANNEL_INVALID, true);  // invalid channels are not counted
    EXPECT_EQ(geom.GetSrcUVWFaceList(0), second->GetUVWFaceList());
    EXPECT_EQ(geom.GetSrcWeightPointList(0), weights->GetWeightPointList());
    EXPECT_EQ(geom.GetSrcWeightFaceList(0), nullptr);  // point-mapped
    EXPECT_EQ(geom.GetSrcVCFaceList(0), nullptr);
    EXPECT_EQ(geom.GetSrcNormalFaceList(), nullptr);
    CPointNormalChannel* smoothed = new CPointNormalChannel;
    o->AddChannel(smoothed);
    EXPECT_EQ(geom.GetSrcNormalFaceList(), smoothed->GetNormalFaceList());
    CSpecNormalChannel* specified = new CSpecNormalChannel;
    o->AddChannel(specified);
    EXPECT_EQ(geom.GetSrcNormalPointList(), specified->GetNormalVectorList());
    EXPECT_EQ(geom.GetDstNormalFaceList(), specified->GetNormalFaceList());
}

TEST(SceneHooks, MeshCodeInstallsNormalsAndAppend) {
    const C3DSceneObjectHooks hooks = GetSceneObjectHooks();
    ASSERT_NE(hooks.generateNormals, nullptr);
    ASSERT_NE(hooks.appendObject, nullptr);

    Owned cube = MakeObject(test::CubePoints(), test::CubeFaces());
    cube->SetSmoothAngle(0.5f);
    ASSERT_TRUE(hooks.generateNormals(cube, GENERATE_NORMALS_MISSING, NORMAL_SMOOTH_SCENE));
    CSpecNormalChannel* specified = static_cast<CSpecNormalChannel*>(cube->GetChannels()->GetSpecNormalChannel());
    ASSERT_NE(specified, nullptr);
    ASSERT_EQ(specified->GetNormalFaceList()->GetSize(), 6);
    // Flat sides at 0.5 rad: every corner of a side carries that side's normal.
    for (int f = 0; f < 6; ++f) {
        EXPECT_TRUE(specified->GetNormalFaceList()->IsFaceLive(unsigned(f)));
        int k = 0;
        const int* c = specified->GetNormalFaceList()->GetIndexes(unsigned(f), k);
        ASSERT_EQ(k, 4);
        for (int i = 1; i < k; ++i) {
            const C3DTVector<float>& a = specified->GetNormalVectorList()->GetVectors()[c[0]];
            const C3DTVector<float>& b = specified->GetNormalVectorList()->GetVectors()[c[i]];
            EXPECT_NEAR(a.x * b.x + a.y * b.y + a.z * b.z, 1.0, 1e-6);
        }
    }

    Owned into = MakeObject({}, {});
    C4x4TMatrix<float> identity;
    EXPECT_TRUE(hooks.appendObject(into, cube, identity, 0xFFFFFFFFu));
    EXPECT_EQ(into->GetFaceNbr(), 6);
    EXPECT_EQ(into->GetPointNbr(), 8);
}

}  // namespace
}  // namespace kestovar
