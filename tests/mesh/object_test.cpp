// Tests of the object model: identity and kinds, update tracking, instances, smoothing settings,
// transformation, cached boxes, CreateObjectFromArrays, copies, invalidation, clean-up,
// materials, persistence, the geometry view and the channel set.
#include "kestovar/mesh/object.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/platform/file.h"
#include "kestovar/platform/time.h"
#include "test_util.h"

namespace object_test {

using namespace kestovar;
using test::Owned;

// ---- fixtures --------------------------------------------------------------------------------

// A channel whose lists are a plain point list and face list, with hooks that record what the
// object asks of it.
class CTestChannel : public CChannel {
    KX_DECLARE_SERIAL(CTestChannel)
public:
    CTestChannel() : CTestChannel(CHANNEL_UVW, kNewChannelID, 0) {}
    CTestChannel(_Channel3DType type, unsigned int id, unsigned int flags) : CChannel(type, id, flags), m_initialFlags(flags) {
        m_pPointList = new C3DPointList;
        m_pFaceList = new CFaceList;
    }
    bool MatrixTransform(const C4x4TMatrix<float>&, _POINT_PROPERTIES, bool) override {
        ++transforms;
        return true;
    }
    bool Clean(const CGeomInfo*, CXArray<unsigned int>* faceRemap, CXArray<unsigned int>*) override {
        ++cleans;
        sawFaceRemap = faceRemap != nullptr;
        if (becomeInvalidOnClean) SetFlag(CHANNEL_INVALID, true);
        return cleanResult;
    }

    int transforms = 0;
    int cleans = 0;
    bool sawFaceRemap = false;
    bool cleanResult = false;
    bool becomeInvalidOnClean = false;

protected:
    CChannel* Duplicate(bool) const override { return new CTestChannel(m_type, kNewChannelID, m_initialFlags); }

private:
    unsigned int m_initialFlags;
};
KX_IMPLEMENT_SERIAL(CTestChannel, CChannel, 1)

// Exposes the protected parts of the base object.
class CProbeObject : public C3DGeomObject {
public:
    CProbeObject() : C3DGeomObject() {}
    using C3DBaseObject::SetUpdateFlags;
    uint64_t Stamp(int i) const { return m_updateStamps[i]; }
};

// A creator that answers every request for a copy with a polymesh, whatever the source.
class CPolymeshOnlyCreator : public C3DObjectCreator {
public:
    C3DBaseObject* GetNewObjectFrom(const C3DBaseObject*, bool& created) override {
        created = true;
        made = GetNewPolygonalObject();
        made->AddRef();  // keep it observable after the failed copy releases its reference
        return made;
    }
    C3DObject* made = nullptr;
};

// Adds a channel to `set` and hands back a borrowed pointer to it.
CTestChannel* AddTestChannel(C3DGeomObject& object, _Channel3DType type, unsigned int flags, unsigned int id = kNewChannelID) {
    CTestChannel* c = new CTestChannel(type, id, flags);
    object.AddChannel(c);
    return c;
}

// Fills a channel's lists so that its faces parallel `faces` corner for corner, each channel
// point standing for one corner.
void ShapeLike(CChannel& channel, C3DFaceList& faces) {
    CFaceList* cf = channel.GetFaceList();
    cf->SetSize(faces.GetSize(), 4, SETSIZE_COMPACT_SLACK);
    int next = 0;
    CFace view;
    for (int f = 0; f < faces.GetSize(); ++f) {
        int n = 0;
        faces.GetIndexes(unsigned(f), n);
        cf->GetFace(unsigned(f), view);
        view.SetSize(unsigned(n));
        for (int k = 0; k < n; ++k) view.GetIndexes()[k] = next++;
    }
    static_cast<C3DPointList*>(channel.GetPointList())->SetSize(next);
}

std::vector<int> Indexes(const CFaceList& faces, unsigned int f) {
    int n = 0;
    const int* p = faces.GetIndexes(f, n);
    return std::vector<int>(p, p + n);
}

// Two triangles sharing the edge 1-2, and a point 4 that no face uses:
//
//   0 ---- 1
//   |    / |        4 (unused, at (5, 5, 5))
//   |  /   |
//   2 ---- 3
const float kSquare[] = {0, 1, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 5, 5, 5};
const int kSquareTriangles[] = {0, 2, 1, 1, 2, 3};

C3DObject* MakeSquare() { return CreateObjectFromArrays(kSquare, sizeof kSquare, kSquareTriangles, sizeof kSquareTriangles, nullptr, 0); }

C4x4TMatrix<float> Scale(float x, float y, float z) {
    C4x4TMatrix<float> m;
    m(0, 0) = x;
    m(1, 1) = y;
    m(2, 2) = z;
    return m;
}

void ExpectPoint(const C3DTPoint<float>& p, float x, float y, float z) {
    EXPECT_FLOAT_EQ(p.x, x);
    EXPECT_FLOAT_EQ(p.y, y);
    EXPECT_FLOAT_EQ(p.z, z);
}

// ---- identity and kinds ----------------------------------------------------------------------

TEST(ObjectIdentity, ConsecutiveObjectsHaveConsecutiveIdentifiers) {
    Owned<C3DBaseObject> a = new C3DObject;
    Owned<C3DBaseObject> b = new C3DCamera;
    EXPECT_EQ(b->GetObjectID(), a->GetObjectID() + 1);
    EXPECT_EQ(C3DBaseObject::GetLastObjectID(), b->GetObjectID());
}

// Create makes each kind's class (and nothing for other values); type strings come from the
// string table, which falls back to the given text.
TEST(ObjectIdentity, CreateMakesEachKindWithItsTypeString) {
    struct Case {
        _OBJECT_KINDOF kind;
        const wchar_t* text;
    } cases[] = {{OBJECT_POLYMESH, L"Polymesh"}, {OBJECT_CURVE, L"Curve"},   {OBJECT_PATCH, L"Patch"},
                 {OBJECT_GROUP, L"Group"},       {OBJECT_DUMMY, L"Dummy"},   {OBJECT_CAMERA, L"Camera"},
                 {OBJECT_LIGHT, L"Light"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Owned<C3DBaseObject> o = C3DBaseObject::Create(c.kind);
        ASSERT_NE(o, nullptr);
        EXPECT_TRUE(o->GetTypeString() == c.text);
        EXPECT_EQ(o->GetKindOf(), c.kind);
        EXPECT_EQ(o->IsGeomObject(), (c.kind & 7) != 0);
        // The base checksum is kind * 16; geometric objects sum their lists instead.
        if (!o->IsGeomObject()) {
            EXPECT_EQ(o->GetChecksum(0), unsigned(c.kind) * 16u);
        }
    }
    for (unsigned bad : {0u, 3u, 5u, 128u, 0xFFFFFFFFu}) EXPECT_EQ(C3DBaseObject::Create(_OBJECT_KINDOF(bad)), nullptr);
    EXPECT_EQ(C3DBaseObject::GetTypeString(OBJECT_NONE).GetLength(), 0);
    EXPECT_EQ(C3DBaseObject::GetTypeString(_OBJECT_KINDOF(3)).GetLength(), 0);
    C3DGeomObject plain;  // kind 0
    EXPECT_EQ(plain.GetTypeString().GetLength(), 0);
    EXPECT_TRUE(LoadResourceString(IDS_OBJECT_POLYMESH, L"other") == L"Polymesh");
    EXPECT_EQ(FindResourceString(1), nullptr);
    EXPECT_TRUE(LoadResourceString(1, L"fallback") == L"fallback");
    EXPECT_EQ(LoadResourceString(1).GetLength(), 0);
}

TEST(ObjectIdentity, TypedConversionsMatchTheKindOnly) {
    Owned<C3DBaseObject> mesh = new C3DObject;
    Owned<C3DBaseObject> light = new C3DLight;
    EXPECT_EQ(static_cast<C3DObject*>(*mesh), mesh);
    EXPECT_EQ(static_cast<C3DGeomObject*>(*mesh), mesh);
    EXPECT_EQ(static_cast<C3DCurve*>(*mesh), nullptr);
    EXPECT_EQ(static_cast<C3DLight*>(*light), light);
    EXPECT_EQ(static_cast<C3DGeomObject*>(*light), nullptr);
    EXPECT_EQ(static_cast<C3DObject*>(*light), nullptr);
}

// ---- update word and stamps --------------------------------------------------------------------

TEST(ObjectUpdate, ServedBitsAreStampedAndCleared) {
    CProbeObject o;
    EXPECT_TRUE(o.IsInvalidate(OBJECT_UPDATE_INIT));
    EXPECT_FALSE(o.NeedUpdate());  // 0x10000 alone does not count
    o.SetUpdateFlags(OBJECT_UPDATE_SCENE | OBJECT_UPDATE_CHANNELS | 0x80000, true);
    EXPECT_TRUE(o.NeedUpdate());

    unsigned before = timeGetTick();
    EXPECT_FALSE(o.Update(nullptr, OBJECT_UPDATE_INIT | OBJECT_UPDATE_CHANNELS | OBJECT_INVALIDATED));
    unsigned after = timeGetTick();
    // 0x10000 -> entry 0, 0x40000 -> entry 3; 0x20000 (entry 1) was not served.
    EXPECT_GE(o.Stamp(0), before);
    EXPECT_LE(o.Stamp(0), after);
    EXPECT_GE(o.Stamp(3), before);
    EXPECT_EQ(o.Stamp(1), 0u);
    EXPECT_EQ(o.Stamp(2), 0u);
    EXPECT_EQ(o.GetUpdateStamp(OBJECT_UPDATE_CHANNELS), o.Stamp(3));
    EXPECT_EQ(o.GetUpdateStamp(_OBJECT_UPDATE_PROPERTIES(0x800)), 0u);
    // Served bits at or above 0x10000 are cleared; others stay.
    EXPECT_FALSE(o.IsInvalidate(OBJECT_UPDATE_INIT));
    EXPECT_FALSE(o.IsInvalidate(OBJECT_UPDATE_CHANNELS));
    EXPECT_TRUE(o.IsInvalidate(OBJECT_UPDATE_SCENE | 0x80000));

    // Clearing update flags stamps like Update; bits below 0x10000 are not ORed in.
    CProbeObject p;
    p.SetUpdateFlags(OBJECT_UPDATE_SCENE | 0x0800, true);
    EXPECT_FALSE(p.IsInvalidate(OBJECT_INVALIDATED));
    p.SetUpdateFlags(OBJECT_UPDATE_SCENE, false);
    EXPECT_NE(p.Stamp(1), 0u);
    EXPECT_FALSE(p.IsInvalidate(OBJECT_UPDATE_SCENE));
}

TEST(ObjectUpdate, BaseInvalidateSetsTheMarkOrClearsTheGivenBits) {
    Owned<C3DDummy> d = new C3DDummy;
    d->Invalidate(0x4, true);  // any bit below 0x10000 -> 0x800
    EXPECT_TRUE(d->IsInvalidate(OBJECT_INVALIDATED));
    EXPECT_FALSE(d->IsInvalidate(0x4));
    d->Invalidate(OBJECT_UPDATE_INIT, true);  // high bits only: cleared, even with set
    EXPECT_FALSE(d->IsInvalidate(OBJECT_UPDATE_INIT));
    d->Invalidate(OBJECT_INVALIDATED, false);
    EXPECT_FALSE(d->IsInvalidate(OBJECT_INVALIDATED));
}

// ---- instances and copies --------------------------------------------------------------------

TEST(ObjectInstances, SharedCopyAndDeleteFromNode) {
    C3DBaseObject* o = MakeSquare();
    C3DBaseObject* shared = o->Copy(OBJECT_COPY_INSTANCE);
    EXPECT_EQ(shared, o);
    EXPECT_TRUE(o->IsInstanciated());
    EXPECT_EQ(o->GetInstanceCount(), 2);
    EXPECT_EQ(o->GetRefCount(), 2);
    o->DeleteFromNode();
    EXPECT_FALSE(o->IsInstanciated());
    EXPECT_EQ(o->GetRefCount(), 1);
    // The last placement: the count stays at 1 and the last reference goes.
    o->DeleteFromNode();
}

TEST(ObjectCopy, PolymeshCopiesIntoAPatchButCurvesAndGroupsNotIntoAPolymesh) {
    // A polymesh source and a patch destination are compatible kinds.
    class CPatchCreator : public C3DObjectCreator {
    public:
        C3DBaseObject* GetNewObjectFrom(const C3DBaseObject*, bool& created) override {
            created = true;
            return GetNewPatchObject();
        }
    } patchCreator;
    Owned mesh = MakeSquare();
    C3DBaseObject* copy = mesh->Copy(0, &patchCreator);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetKindOf(), OBJECT_PATCH);
    EXPECT_EQ(static_cast<C3DGeomObject*>(*copy)->GetFaceNbr(), 2);
    copy->Delete();

    // A failed copy releases the destination: only the creator's own reference is left.
    C3DBaseObject* const sources[] = {new C3DCurve, new C3DGroup};
    for (C3DBaseObject* source : sources) {
        CPolymeshOnlyCreator meshCreator;
        EXPECT_EQ(source->Copy(0, &meshCreator), nullptr);
        ASSERT_NE(meshCreator.made, nullptr);
        EXPECT_EQ(meshCreator.made->GetRefCount(), 1);
        meshCreator.made->Delete();
        source->Delete();
    }
}

TEST(ObjectCopy, GeometricCopyHasItsOwnEqualListsAndInheritsTheSettings) {
    Owned o = MakeSquare();
    C3DScene* scene = reinterpret_cast<C3DScene*>(uintptr_t(0x1000));
    o->SetScene(scene);
    o->SetSmoothAngle(0.25f);
    o->SetSmoothMode(NORMAL_SMOOTH_ANGLE);
    o->SetGlobalVCChannel(12, 0.5f);
    o->GetCustomData().SetInt(FourCC('T', 'E', 'S', 'T'), 42);
    C3DTBBox<float> box;
    o->GetBoundingBox(box, BBOX_POINTS);  // fill the cache
    CTestChannel* uv = AddTestChannel(*o, CHANNEL_UVW, 0, 77);
    AddTestChannel(*o, CHANNEL_POINT_NORMAL, CHANNEL_RECOMPUTABLE | CHANNEL_OUT_OF_DATE | CHANNEL_DERIVED);
    ShapeLike(*uv, *o->GetFaceList());

    C3DBaseObject* base = o->Copy(0);
    ASSERT_NE(base, nullptr);
    C3DObject* c = *base;
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->GetObjectID(), o->GetObjectID());
    EXPECT_EQ(c->GetScene(), scene);
    EXPECT_NE(c->GetPointList(), o->GetPointList());
    EXPECT_NE(c->GetFaceList(), o->GetFaceList());
    EXPECT_EQ(c->GetChecksum(0xF), o->GetChecksum(0xF));
    EXPECT_FLOAT_EQ(c->GetSmoothAngle(), 0.25f);
    EXPECT_EQ(c->GetSmoothMode(), NORMAL_SMOOTH_ANGLE);
    float parameter = 0;
    EXPECT_EQ(c->GetGlobalVCChannel(parameter), 12u);
    EXPECT_FLOAT_EQ(parameter, 0.5f);
    EXPECT_EQ(c->GetUpdateFlags(), o->GetUpdateFlags());
    int32_t value = 0;
    EXPECT_TRUE(c->GetCustomData().GetInt(FourCC('T', 'E', 'S', 'T'), value));
    EXPECT_EQ(value, 42);
    // The derived normal channel is left out; the texture channel keeps its identifier and
    // holds a copy of the lists.
    ASSERT_EQ(c->GetChannels()->GetSize(), 1);
    CChannel* cuv = c->GetChannels()->GetChannel(0);
    EXPECT_NE(cuv, uv);
    EXPECT_EQ(cuv->GetID(), 77u);
    EXPECT_EQ(cuv->GetFaceList()->GetSize(), 2);
    EXPECT_EQ(cuv->GetPointList()->GetSize(), 6);
    c->Delete();

    // With 0x200 the copy keeps the identifier and does not take the scene.
    Owned<C3DBaseObject> same = o->Copy(OBJECT_COPY_IDENTITY);
    EXPECT_EQ(same->GetObjectID(), o->GetObjectID());
    EXPECT_EQ(same->GetScene(), nullptr);
}

// ---- smoothing ---------------------------------------------------------------------------------

TEST(ObjectSmoothing, AngleIsClampedToZeroToPi) {
    C3DObject o;
    bool fromScene = false;
    o.GetSmoothAngle(&fromScene);
    EXPECT_TRUE(fromScene);  // -1 at construction

    const float pi = float(std::numbers::pi);
    for (auto [set, got] : {std::pair{4.0f, pi}, {-0.5f, 0.0f}, {pi / 2, pi / 2}}) {
        o.SetSmoothAngle(set);
        EXPECT_EQ(o.GetSmoothAngle(&fromScene), got) << set;
        EXPECT_FALSE(fromScene);
    }
    o.SetSmoothAngle(-1.0f);
    EXPECT_EQ(o.GetSmoothAngle(&fromScene), kDefaultSmoothAngle);
    EXPECT_TRUE(fromScene);
}

TEST(ObjectSmoothing, ChangesMarkOnlySmoothedNormalChannelsOutOfDate) {
    C3DObject o;
    CTestChannel* normals = AddTestChannel(o, CHANNEL_POINT_NORMAL, CHANNEL_RECOMPUTABLE);
    CTestChannel* faceNormals = AddTestChannel(o, CHANNEL_FACE_NORMAL, CHANNEL_RECOMPUTABLE);
    o.Invalidate(OBJECT_INVALIDATED, false);

    o.SetSmoothAngle(1.0f);
    EXPECT_TRUE(normals->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_FALSE(faceNormals->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_TRUE(o.IsInvalidate(OBJECT_INVALIDATED));

    // The same value again changes nothing.
    normals->SetFlag(CHANNEL_OUT_OF_DATE, false);
    o.SetSmoothAngle(1.0f);
    EXPECT_FALSE(normals->IsFlagSet(CHANNEL_OUT_OF_DATE));

    o.SetSmoothMode(NORMAL_SMOOTH_EDGE);
    EXPECT_TRUE(normals->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_EQ(o.GetSmoothMode(), NORMAL_SMOOTH_EDGE);
    bool fromScene = false;
    o.SetSmoothMode(NORMAL_SMOOTH_SCENE);
    EXPECT_EQ(o.GetSmoothMode(&fromScene), kDefaultSmoothMode);
    EXPECT_TRUE(fromScene);
}

// ---- transformation and boxes ----------------------------------------------------------------

// A near-identity transform does nothing; a mirror flips every face and its channel faces.
TEST(ObjectTransform, MirrorFlipsEveryFaceAndItsChannelFacesNearIdentityNothing) {
    Owned o = MakeSquare();
    CTestChannel* uv = AddTestChannel(*o, CHANNEL_UVW, 0);
    ShapeLike(*uv, *o->GetFaceList());
    const unsigned sum = o->GetChecksum(0xF);
    EXPECT_FALSE(o->MatrixTransform(Scale(1.004f, 1.004f, 1.004f)));
    EXPECT_EQ(o->GetChecksum(0xF), sum);
    EXPECT_EQ(uv->transforms, 0);
    C3DGeomObject noLists;
    EXPECT_FALSE(noLists.MatrixTransform(Scale(2, 2, 2)));

    EXPECT_TRUE(o->MatrixTransform(Scale(-1, 1, 1)));
    EXPECT_EQ(Indexes(*o->GetFaceList(), 0), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(Indexes(*o->GetFaceList(), 1), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(Indexes(*uv->GetFaceList(), 0), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(uv->transforms, 1);
    ExpectPoint(o->GetPointList()->GetAt(1), -1, 1, 0);

    // Two mirrors make a rotation: points move, faces keep their order.
    EXPECT_TRUE(o->MatrixTransform(Scale(-1, -1, 1)));
    EXPECT_EQ(Indexes(*o->GetFaceList(), 0), (std::vector<int>{1, 2, 0}));
    ExpectPoint(o->GetPointList()->GetAt(1), 1, -1, 0);
}

TEST(ObjectBoundingBox, FaceBoxLeavesOutUnusedPointsBothAreCachedAndBadRequestsAreRefused) {
    Owned o = MakeSquare();
    C3DTBBox<float> box;
    ASSERT_TRUE(o->GetBoundingBox(box, BBOX_POINTS));
    ExpectPoint(box.GetMax(), 5, 5, 5);
    ASSERT_TRUE(o->GetBoundingBox(box, BBOX_FACES));
    ExpectPoint(box.GetMax(), 1, 1, 0);

    // Writing coordinates directly leaves the cached boxes stale...
    o->GetPointList()->GetAt(4).Init(9, 9, 9);
    o->GetPointList()->GetAt(3).Init(2, 0, 0);
    o->GetBoundingBox(box, BBOX_POINTS);
    ExpectPoint(box.GetMax(), 5, 5, 5);
    o->GetBoundingBox(box, BBOX_FACES);
    ExpectPoint(box.GetMax(), 1, 1, 0);
    // ... until the points are invalidated.
    o->Invalidate(INVALIDATE_POINTS, true);
    o->GetBoundingBox(box, BBOX_POINTS);
    ExpectPoint(box.GetMax(), 9, 9, 9);
    o->GetBoundingBox(box, BBOX_FACES);
    ExpectPoint(box.GetMax(), 2, 1, 0);

    // A transform invalidates the cache itself.
    EXPECT_TRUE(o->MatrixTransform(Scale(2, 2, 2)));
    o->GetBoundingBox(box, BBOX_FACES);
    ExpectPoint(box.GetMax(), 4, 2, 0);
    C3DTPoint<float> centre;
    ASSERT_TRUE(o->GetCG(centre));
    ExpectPoint(centre, 9, 9, 9);

    // Refused requests.
    box.Add(1, 2, 3);
    EXPECT_FALSE(o->GetBoundingBox(box, 0));
    EXPECT_TRUE(box.IsEmpty());  // emptied first
    EXPECT_FALSE(o->GetBoundingBox(box, BBOX_POINTS | BBOX_WORLD));
    o->SetFlag(OBJECT_EMPTY, true);
    EXPECT_FALSE(o->GetBoundingBox(box, BBOX_POINTS));
    C3DGeomObject noLists;
    EXPECT_FALSE(noLists.GetCG(centre));
    EXPECT_FALSE(noLists.GetBoundingBox(box, BBOX_POINTS));
}

// ---- CreateObjectFromArrays ------------------------------------------------------------------

TEST(CreateObjectFromArrays, ByteCountsAndRemainders) {
    const float xyz[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 7};
    const int tri[] = {0, 1, 2};
    Owned a = CreateObjectFromArrays(xyz, 36, tri, 12, nullptr, 0);
    EXPECT_EQ(a->GetPointNbr(), 3);
    EXPECT_EQ(a->GetFaceNbr(), 1);
    EXPECT_EQ(a->GetKindOf(), OBJECT_POLYMESH);
    Owned b = CreateObjectFromArrays(xyz, 40, tri, 12 + 11, nullptr, 15);
    EXPECT_EQ(b->GetPointNbr(), 3);
    EXPECT_EQ(b->GetFaceNbr(), 1);
}

TEST(CreateObjectFromArrays, TrianglesThenQuadranglesStoredUncheckedAndPacked) {
    //   3 --- 2
    //   |     |      a quad (0 1 2 3) and a triangle (0 1 4) below it
    //   0 --- 1
    //    \   /
    //      4
    const float xyz[] = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0.5f, -1, 0};
    const int tri[] = {0, 4, 1, 2, 3, 99};  // the second triangle uses a point that does not exist
    const int quad[] = {0, 1, 2, 3};
    Owned o = CreateObjectFromArrays(xyz, sizeof xyz, tri, sizeof tri, quad, sizeof quad);
    const C3DFaceList& f = *o->GetFaceList();
    ASSERT_EQ(f.GetSize(), 3);
    EXPECT_EQ(Indexes(f, 0), (std::vector<int>{0, 4, 1}));
    EXPECT_EQ(Indexes(f, 1), (std::vector<int>{2, 3, 99}));
    EXPECT_EQ(Indexes(f, 2), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(f.GetFaceFlags(1), 0u);
    ExpectPoint(o->GetPointList()->GetAt(4), 0.5f, -1, 0);
    // No slack: every record holds exactly its indices.
    EXPECT_EQ(f.GetRecords().GetUsedBytes(), 3u * 4 + 4u * (3 + 3 + 4));
    EXPECT_EQ(f.GetRecords().GetAllocatedBytes(), f.GetRecords().GetUsedBytes());
}

TEST(ObjectInit, SizesBothListsAndInvalidatesEverything) {
    C3DObject o;
    CTestChannel* normals = AddTestChannel(o, CHANNEL_FACE_NORMAL, CHANNEL_RECOMPUTABLE);
    o.Invalidate(OBJECT_UPDATE_CHANNELS, false);
    ASSERT_TRUE(o.Init(5, 4, 3, 0, 0, 0));
    EXPECT_EQ(o.GetPointNbr(), 5);
    EXPECT_EQ(o.GetFaceNbr(), 4);
    EXPECT_EQ(o.GetFaceList()->GetTypicalLength(), 3u);
    EXPECT_TRUE(o.IsInvalidate(OBJECT_UPDATE_CHANNELS | OBJECT_INVALIDATED));
    EXPECT_TRUE(normals->IsFlagSet(CHANNEL_OUT_OF_DATE));
}

// ---- invalidation --------------------------------------------------------------------------------

TEST(ObjectInvalidate, EachBitReachesWhatItDescribes) {
    Owned o = MakeSquare();
    CTestChannel* normals = AddTestChannel(*o, CHANNEL_POINT_NORMAL, CHANNEL_RECOMPUTABLE);
    C3DTBBox<float> box;

    // Materials: the point list is marked changed, the boxes and channels are left alone.
    o->GetBoundingBox(box, BBOX_POINTS);
    o->GetPointList()->SetFlag(POINTLIST_CHANGED, false);
    o->Invalidate(OBJECT_INVALIDATED | OBJECT_UPDATE_MASK, false);
    unsigned pointStamp = o->GetPointList()->GetChangedStamp();
    o->Invalidate(INVALIDATE_MATERIALS, true);
    EXPECT_TRUE(o->GetPointList()->IsFlagSet(POINTLIST_CHANGED));
    EXPECT_EQ(o->GetPointList()->GetChangedStamp(), pointStamp + 1);
    EXPECT_FALSE(normals->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_FALSE(o->IsInvalidate(OBJECT_UPDATE_CHANNELS));
    EXPECT_TRUE(o->IsInvalidate(OBJECT_INVALIDATED));
    o->GetPointList()->GetAt(4).Init(8, 8, 8);
    o->GetBoundingBox(box, BBOX_POINTS);
    ExpectPoint(box.GetMax(), 5, 5, 5);  // still the cached box

    // Faces: the face stamp moves, the boxes are dropped, the channels go out of date.
    unsigned faceStamp = o->GetFaceList()->GetChangedStamp();
    o->Invalidate(INVALIDATE_FACES, true);
    EXPECT_EQ(o->GetFaceList()->GetChangedStamp(), faceStamp + 1);
    EXPECT_TRUE(normals->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_TRUE(o->IsInvalidate(OBJECT_UPDATE_CHANNELS));
    o->GetBoundingBox(box, BBOX_POINTS);
    ExpectPoint(box.GetMax(), 8, 8, 8);

    // A whole copy: channels only, the lists are not marked.
    normals->SetFlag(CHANNEL_OUT_OF_DATE, false);
    o->GetPointList()->SetFlag(POINTLIST_CHANGED, false);
    o->Invalidate(INVALIDATE_ALL, true);
    EXPECT_TRUE(normals->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_FALSE(o->GetPointList()->IsFlagSet(POINTLIST_CHANGED));
}

TEST(ObjectInvalidate, ListSettersInvalidateOnlyOnChange) {
    C3DObject o;
    C3DPointList* points = new C3DPointList;
    o.Invalidate(OBJECT_INVALIDATED, false);
    o.SetPointList(points, true);
    EXPECT_EQ(o.GetPointList(), points);
    EXPECT_TRUE(o.IsInvalidate(OBJECT_INVALIDATED));
    o.Invalidate(OBJECT_INVALIDATED, false);
    o.SetPointList(points, true);  // the same list: nothing happens (and it is not released)
    EXPECT_FALSE(o.IsInvalidate(OBJECT_INVALIDATED));
    EXPECT_EQ(points->GetRefCount(), 1);

    // Replacing without deleteOld leaves the old list to whoever else holds it.
    points->AddRef();
    o.SetPointList(new C3DPointList, false);
    EXPECT_EQ(points->GetRefCount(), 2);
    points->Delete();
    points->Delete();
}

// ---- flips, checksums, clean-up, materials -------------------------------------------------------

TEST(ObjectFlip, SelectiveFlipMovesMatchingChannelFacesOnly) {
    Owned o = MakeSquare();
    CTestChannel* uv = AddTestChannel(*o, CHANNEL_UVW, 0);
    CTestChannel* derived = AddTestChannel(*o, CHANNEL_POINT_NORMAL, CHANNEL_DERIVED);
    ShapeLike(*uv, *o->GetFaceList());
    ShapeLike(*derived, *o->GetFaceList());
    o->GetFaceList()->SetFaceFlag(1, FACE_SELECTED, true);

    EXPECT_TRUE(o->FlipNormals(FACE_SELECTED, true));
    EXPECT_EQ(Indexes(*o->GetFaceList(), 0), (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(Indexes(*o->GetFaceList(), 1), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(Indexes(*uv->GetFaceList(), 0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Indexes(*uv->GetFaceList(), 1), (std::vector<int>{5, 4, 3}));
    EXPECT_EQ(Indexes(*derived->GetFaceList(), 1), (std::vector<int>{3, 4, 5}));  // derived: untouched

    o->SetFlag(OBJECT_EMPTY, true);
    EXPECT_FALSE(o->FlipNormals(_FACE_PROPERTIES(0), true));
    C3DGeomObject noLists;
    EXPECT_FALSE(noLists.FlipNormals(_FACE_PROPERTIES(0), true));
}

TEST(ObjectChecksum, ChannelsCountOnlyWithBit0x10AndWhenTheyFollowTheGeometry) {
    Owned o = MakeSquare();
    unsigned plain = o->GetChecksum(0xF);
    EXPECT_EQ(plain, o->GetPointList()->GetChecksum(0xF) + o->GetFaceList()->GetChecksum(0xF));
    CTestChannel* uv = AddTestChannel(*o, CHANNEL_UVW, 0);
    ShapeLike(*uv, *o->GetFaceList());
    EXPECT_EQ(o->GetChecksum(0xF), plain);
    unsigned withChannels = o->GetChecksum(0x1F);
    EXPECT_EQ(withChannels, o->GetPointList()->GetChecksum(0x1F) + o->GetFaceList()->GetChecksum(0x1F) +
                                uv->GetFaceList()->GetChecksum(0x1F) + uv->GetPointList()->GetChecksum(0x1F));
    uv->SetFlag(CHANNEL_INVALID, true);
    EXPECT_EQ(o->GetChecksum(0x1F), o->GetPointList()->GetChecksum(0x1F) + o->GetFaceList()->GetChecksum(0x1F));
}

TEST(ObjectMaterials, ReplaceMaterialsFollowsTheMapForMaterialsInUse) {
    Owned o = MakeSquare();
    C3DFaceList* f = o->GetFaceList();
    f->SetFaceMaterial(0, 1);
    f->SetFaceMaterial(1, 2);
    CHashMap<unsigned, unsigned, unsigned> map;
    map.Insert(1, 7);
    map.Insert(3, 8);  // not in use
    o->Invalidate(OBJECT_INVALIDATED, false);
    EXPECT_TRUE(o->ReplaceMaterials(map));
    EXPECT_EQ(f->GetFaceMaterial(0), 7u);
    EXPECT_EQ(f->GetFaceMaterial(1), 2u);
    EXPECT_TRUE(o->IsInvalidate(OBJECT_INVALIDATED));
    CHashMap<unsigned, unsigned, unsigned> none;
    none.Insert(5, 6);
    EXPECT_FALSE(o->ReplaceMaterials(none));
    CHashMap<unsigned, unsigned, unsigned> used;
    EXPECT_EQ(o->GetMaterialsHashMap(used, false, true), 2);
}

TEST(ObjectClean, PointsAloneLoseOnlyThoseMarkedRemoved) {
    C3DObject o;
    o.Init(3, 0, 3, 0, 0, 0);
    o.GetPointList()->GetAt(1).SetFlag(POINT_REMOVED, true);
    EXPECT_TRUE(o.Clean());
    EXPECT_EQ(o.GetPointNbr(), 2);
    EXPECT_FALSE(o.IsFlagSet(OBJECT_EMPTY));
    EXPECT_FALSE(o.Clean());
    o.SetFlag(OBJECT_EMPTY, true);
    o.GetPointList()->GetAt(0).SetFlag(POINT_REMOVED, true);
    EXPECT_FALSE(o.Clean());  // an empty object is left alone
    EXPECT_EQ(o.GetPointNbr(), 2);
}

TEST(ObjectClean, UnusedPointGoesAndChannelsHearOfIt) {
    Owned o = MakeSquare();
    CTestChannel* uv = AddTestChannel(*o, CHANNEL_UVW, 0);
    ShapeLike(*uv, *o->GetFaceList());
    EXPECT_TRUE(o->Clean());
    EXPECT_EQ(o->GetPointNbr(), 4);
    EXPECT_EQ(o->GetFaceNbr(), 2);
    EXPECT_EQ(Indexes(*o->GetFaceList(), 1), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(uv->cleans, 1);
    EXPECT_FALSE(o->IsFlagSet(OBJECT_EMPTY));
}

TEST(ObjectClean, AllFacesDegenerateLeavesAnEmptyObject) {
    // Both triangles repeat a point, so both go, and with them every point.
    const float xyz[] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const int tri[] = {0, 0, 1, 1, 2, 2};
    Owned o = CreateObjectFromArrays(xyz, sizeof xyz, tri, sizeof tri, nullptr, 0);
    EXPECT_TRUE(o->Clean());
    EXPECT_EQ(o->GetFaceNbr(), 0);
    EXPECT_EQ(o->GetPointNbr(), 0);
    EXPECT_TRUE(o->IsFlagSet(OBJECT_EMPTY));
    C3DTBBox<float> box;
    EXPECT_FALSE(o->GetBoundingBox(box, BBOX_POINTS));
    EXPECT_FALSE(o->Clean());
}

// ---- persistence -----------------------------------------------------------------------------

// Reads the stored bytes back through the file's position (Seek, Read), as a reader would.
test::Bytes Store(C3DBaseObject* object) {
    CXMemFile file;
    {
        CXArchive ar(&file, CXArchive::store);
        ar.WriteObject(object);
        ar.Close();
    }
    test::Bytes bytes(size_t(file.GetLength()));
    file.Seek(0, CXFile::begin);
    file.Read(bytes.data(), unsigned(bytes.size()));
    return bytes;
}

C3DBaseObject* Load(const test::Bytes& bytes) {
    C3DBaseObject* object = nullptr;
    test::Load(bytes, [&](CXArchive& ar) { object = ar.ReadObjectOf<C3DBaseObject>(); });
    return object;
}

TEST(ObjectSerialize, RoundTripKeepsListsChannelsAndSettings) {
    Owned o = MakeSquare();
    o->GetFaceList()->SetFaceMaterial(1, 6);
    o->SetSmoothAngle(0.75f);
    o->SetSmoothMode(NORMAL_SMOOTH_UNWEIGHTED);
    o->SetGlobalUVWChannel(3);
    o->SetGlobalVCChannel(4, 0.25f);
    o->SetFlag(0x4, true);
    o->GetCustomData().SetFloat(FourCC('S', 'I', 'Z', 'E'), 2.5f);
    CTestChannel* uv = AddTestChannel(*o, CHANNEL_UVW, 0, 41);
    ShapeLike(*uv, *o->GetFaceList());

    Owned<C3DBaseObject> loaded = Load(Store(o));
    ASSERT_NE(loaded, nullptr);
    C3DObject* c = *loaded;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetPointNbr(), 5);
    EXPECT_EQ(c->GetFaceNbr(), 2);
    EXPECT_EQ(c->GetChecksum(0xF), o->GetChecksum(0xF));
    EXPECT_EQ(Indexes(*c->GetFaceList(), 1), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(c->GetFaceList()->GetFaceMaterial(1), 6u);
    ExpectPoint(c->GetPointList()->GetAt(4), 5, 5, 5);
    EXPECT_FLOAT_EQ(c->GetSmoothAngle(), 0.75f);
    EXPECT_EQ(c->GetSmoothMode(), NORMAL_SMOOTH_UNWEIGHTED);
    EXPECT_EQ(c->GetGlobalUVWChannel(), 3u);
    float parameter = 0;
    EXPECT_EQ(c->GetGlobalVCChannel(parameter), 4u);
    EXPECT_FLOAT_EQ(parameter, 0.25f);
    EXPECT_TRUE(c->IsFlagSet(0x4));
    float size = 0;
    EXPECT_TRUE(c->GetCustomData().GetFloat(FourCC('S', 'I', 'Z', 'E'), size));
    EXPECT_EQ(size, 2.5f);
    ASSERT_EQ(c->GetChannels()->GetSize(), 1);
    CChannel* cuv = c->GetChannels()->GetChannel(0);
    EXPECT_EQ(cuv->GetID(), 41u);
    EXPECT_EQ(cuv->GetType(), CHANNEL_UVW);
    EXPECT_EQ(Indexes(*cuv->GetFaceList(), 1), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(c->GetChecksum(0x1F), o->GetChecksum(0x1F));
}

TEST(ObjectSerialize, ObjectWithoutListsRoundTripsWithAnEmptyChannelSet) {
    Owned o = new C3DObject;
    Owned<C3DBaseObject> loaded = Load(Store(o));
    C3DGeomObject* g = *loaded;
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->GetPointList(), nullptr);
    EXPECT_EQ(g->GetFaceList(), nullptr);
    EXPECT_EQ(g->GetChannels()->GetSize(), 0);
}

// Offset of the face-list marker in the stored form of an object of kind 1 with no flags and no
// custom data: the object tag and the class (u16 0xFFFF, schema, name length, name), then kind,
// flags and the empty custom data (magic and size 0).
size_t FaceMarkerOffset() { return 2 + 2 + 2 + std::strlen("C3DObject") + 4 + 4 + 8; }

// Loads `bytes` and reports the cause of the archive exception raised (-1 when none was).
int LoadFailure(const test::Bytes& bytes) {
    return test::ArchiveCause([&] {
        if (C3DBaseObject* o = Load(bytes)) o->Delete();
    });
}

TEST(ObjectSerialize, MalformedDataIsRejected) {
    Owned o = MakeSquare();
    std::vector<uint8_t> bytes = Store(o);
    size_t marker = FaceMarkerOffset();
    ASSERT_EQ(bytes[marker], 1);

    std::vector<uint8_t> badMarker = bytes;
    badMarker[marker] = 2;
    EXPECT_EQ(LoadFailure(badMarker), CXArchiveException::badIndex);

    std::vector<uint8_t> badKind = bytes;
    badKind[marker - 16] = 2;  // the kind word: a curve stored under the polymesh class
    EXPECT_EQ(LoadFailure(badKind), CXArchiveException::badClass);

    // Cut data: inside the marker and inside the last setting, the end of the data is reported;
    // inside the lists some rejection must come, whichever check sees the damage first.
    EXPECT_EQ(LoadFailure(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(marker) + 2)),
              CXArchiveException::endOfFile);
    EXPECT_EQ(LoadFailure(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1)), CXArchiveException::endOfFile);
    for (size_t cut = marker + 4; cut < bytes.size(); cut += 7)
        EXPECT_NE(LoadFailure(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut))), -1) << cut;
}

// A live face reaching past its point list (geometric or in a channel) would send every later
// operation out of bounds: the load refuses it. A face that is not live keeps any corners.
TEST(ObjectSerialize, CornersOutsideTheirPointListsAreRejected) {
    Owned o = MakeSquare();
    CTestChannel* uv = AddTestChannel(*o, CHANNEL_UVW, 0, 41);
    ShapeLike(*uv, *o->GetFaceList());
    Owned<C3DBaseObject> fine = Load(Store(o));
    ASSERT_NE(fine, nullptr);

    CFace view;
    o->GetFaceList()->GetFace(1, view);
    view.GetIndexes()[2] = o->GetPointNbr();  // one past the last point
    EXPECT_EQ(LoadFailure(Store(o)), CXArchiveException::badIndex);
    o->GetFaceList()->SetFaceFlags(1, FACE_INVALID, true);
    Owned<C3DBaseObject> dead = Load(Store(o));
    ASSERT_NE(dead, nullptr);
    o->GetFaceList()->SetFaceFlags(1, FACE_INVALID, false);
    view.GetIndexes()[2] = 3;

    uv->GetFaceList()->GetFace(0, view);
    view.GetIndexes()[0] = -1;
    EXPECT_EQ(LoadFailure(Store(o)), CXArchiveException::badIndex);
}

TEST(ObjectSerialize, ReadingAnObjectFromAStoringArchiveRaises) {
    CXMemFile file;
    CXArchive ar(&file, CXArchive::store);
    try {
        ar.ReadObjectOf<C3DBaseObject>();
        ADD_FAILURE() << "an object was read from a storing archive";
    } catch (CXArchiveException* e) {
        EXPECT_EQ(e->m_cause, CXArchiveException::writeOnly);
        XDeleteThreadException();
    }
    ar.Abort();
}

// ---- the geometry view -----------------------------------------------------------------------

TEST(GeomInfo, ViewOfAnObjectSharesItsListsAndChannelsWithoutOwningThem) {
    Owned o = MakeSquare();
    CTestChannel* uv = AddTestChannel(*o, CHANNEL_UVW, 0);
    {
        CGeomInfo view(o);
        EXPECT_EQ(view.GetSrc3DPointList(), o->GetPointList());
        EXPECT_EQ(view.GetDst3DFaceList(), o->GetFaceList());
        EXPECT_EQ(view.GetSrcChannels(), o->GetChannels());
        EXPECT_EQ(view.GetGeomObject(), o);
        EXPECT_EQ(view.GetOwnership(), 0u);
        CGeomInfo copy(view);
        EXPECT_EQ(copy.GetSrc3DFaceList(), o->GetFaceList());
        // Channel lists by source and destination.
        EXPECT_EQ(view.GetChannelSize(), 1);
        CFaceList* sf = nullptr;
        CFaceList* df = nullptr;
        ASSERT_TRUE(view.GetChannelFaceList(0, sf, df));
        EXPECT_EQ(sf, uv->GetFaceList());
        EXPECT_EQ(df, uv->GetFaceList());
        CPointList* sp = nullptr;
        CPointList* dp = nullptr;
        EXPECT_FALSE(view.GetChannelPointList(1, sp, dp));
        EXPECT_EQ(sp, nullptr);
        EXPECT_EQ(view.GetSrcUVWFaceList(), nullptr);
    }
    EXPECT_EQ(o->GetPointList()->GetRefCount(), 1);
    Owned<C3DDummy> dummy = new C3DDummy;
    CGeomInfo dummyView(dummy);
    EXPECT_EQ(dummyView.GetGeomObject(), nullptr);
    EXPECT_EQ(dummyView.GetSrc3DPointList(), nullptr);
    EXPECT_EQ(dummyView.GetBaseObject(), dummy);
}

TEST(GeomInfo, GeometricObjectOfKindZeroStillShowsItsLists) {
    // Built directly on lists, a C3DGeomObject has kind 0: the view must still find its lists,
    // or the clean-up would run on nothing.
    C3DPointList* points = new C3DPointList;
    C3DFaceList* faces = new C3DFaceList;
    Owned<C3DGeomObject> g = new C3DGeomObject(points, faces, nullptr);
    EXPECT_FALSE(g->IsGeomObject());
    ASSERT_NE(g->GetChannels(), nullptr);
    CGeomInfo view(g);
    EXPECT_EQ(view.GetSrc3DPointList(), points);
    EXPECT_EQ(view.GetSrc3DFaceList(), faces);
    EXPECT_EQ(view.GetGeomObject(), g);
}

TEST(GeomInfo, OwnershipBitsReleaseAndTakeHandsOver) {
    Owned<C3DPointList> src = new C3DPointList;
    C3DPointList* dst = new C3DPointList;
    Owned<C3DFaceList> both = new C3DFaceList;
    src->AddRef();
    dst->AddRef();
    both->AddRef();
    C3DPointList* taken = nullptr;
    {
        CGeomInfo view;
        view.SetPointList(src, dst, GEOMINFO_OWN_SRC);
        view.SetFaceList(both, both, GEOMINFO_OWN_DST);  // ORed: now both bits
        EXPECT_EQ(view.GetOwnership(), unsigned(GEOMINFO_OWN_SRC | GEOMINFO_OWN_DST));
        taken = view.GetDst3DPointList(true);
        EXPECT_EQ(view.GetDst3DPointList(), nullptr);
    }
    EXPECT_EQ(taken, dst);
    EXPECT_EQ(src->GetRefCount(), 1);   // released by the view
    EXPECT_EQ(dst->GetRefCount(), 2);   // taken out: the view no longer held it
    EXPECT_EQ(both->GetRefCount(), 1);  // held twice, released once
    dst->Delete();
    dst->Delete();
}

// ---- channels --------------------------------------------------------------------------------

// The identifier-keeping, derived-skipping copy and the empty copy of an invalid channel are
// checked in channel_test.cpp (ChannelSet.CopyFlagsAndLookups).
TEST(Channels, CopyFlagsAppendShareAndEmpty) {
    Owned<CDependentChannels> src = CDependentChannels::Create();
    CTestChannel* uv = new CTestChannel(CHANNEL_UVW, 5, 0);
    src->AddChannel(uv);
    src->AddChannel(new CTestChannel(CHANNEL_POINT_NORMAL, 6, CHANNEL_RECOMPUTABLE | CHANNEL_DERIVED));
    src->AddChannel(new CTestChannel(CHANNEL_VC, 8, CHANNEL_RECOMPUTABLE | CHANNEL_INVALID));

    // Without 0x1 the identifiers are new; 0x2 leaves out invalid channels; 0x4 appends.
    Owned<CDependentChannels> dst = CDependentChannels::Create();
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(dst->CopyChannels(*src, CHANNEL_UVW | CHANNEL_VC,
                                    CHANNEL_COPY_SKIP_INVALID | (round ? unsigned(CHANNEL_COPY_APPEND) : 0u), nullptr),
                  1);
    ASSERT_EQ(dst->GetSize(), 2);
    EXPECT_NE(dst->GetChannel(1)->GetID(), 5u);

    // 0x20 shares the channel objects; type mask 0 only empties.
    EXPECT_EQ(dst->CopyChannels(*src, CHANNEL_ALL, CHANNEL_COPY_SHARE, nullptr), 3);
    EXPECT_EQ(dst->GetChannel(0), uv);
    EXPECT_EQ(uv->GetRefCount(), 2);
    EXPECT_EQ(dst->CopyChannels(*src, 0, 0, nullptr), 0);
    EXPECT_EQ(dst->GetSize(), 0);
    EXPECT_EQ(uv->GetRefCount(), 1);
}

TEST(Channels, SetCopyAndAssignmentShareTheChannels) {
    Owned<CDependentChannels> a = CDependentChannels::Create();
    CTestChannel* uv = new CTestChannel(CHANNEL_UVW, 5, 0);
    a->AddChannel(uv);
    CDependentChannels* b = new CDependentChannels(*a);
    EXPECT_EQ(uv->GetRefCount(), 2);
    *b = *b;
    *b = *a;
    EXPECT_EQ(uv->GetRefCount(), 2);
    b->Delete();
    EXPECT_EQ(uv->GetRefCount(), 1);
}

TEST(Channels, CleanWalksBackwardsAndDropsChannelsThatBecameInvalid) {
    Owned o = MakeSquare();
    CTestChannel* keep = AddTestChannel(*o, CHANNEL_UVW, 0);
    CTestChannel* drop = AddTestChannel(*o, CHANNEL_VC, 0);
    CTestChannel* other = AddTestChannel(*o, CHANNEL_WEIGHT, 0);
    keep->cleanResult = true;
    drop->cleanResult = true;
    drop->becomeInvalidOnClean = true;
    o->Invalidate(OBJECT_INVALIDATED, false);
    EXPECT_EQ(o->CleanChannels(CHANNEL_UVW | CHANNEL_VC, true), 2);
    EXPECT_EQ(other->cleans, 0);
    EXPECT_FALSE(keep->sawFaceRemap);
    ASSERT_EQ(o->GetChannels()->GetSize(), 2);
    EXPECT_EQ(o->GetChannels()->GetChannel(0), keep);
    EXPECT_EQ(o->GetChannels()->GetChannel(1), other);
    EXPECT_TRUE(o->IsInvalidate(OBJECT_INVALIDATED));
}

TEST(Channels, InvalidateMarksRecomputableChannelsOfTheMask) {
    Owned<CDependentChannels> set = CDependentChannels::Create();
    CTestChannel* uv = new CTestChannel(CHANNEL_UVW, 1, 0);
    CTestChannel* normals = new CTestChannel(CHANNEL_POINT_NORMAL, 2, CHANNEL_RECOMPUTABLE);
    set->AddChannel(uv);
    set->AddChannel(normals);
    EXPECT_FALSE(set->InvalidateChannels(CHANNEL_UVW));
    EXPECT_FALSE(set->InvalidateChannels(CHANNEL_FACE_NORMAL));
    EXPECT_TRUE(set->InvalidateChannels(CHANNEL_ALL));
    EXPECT_TRUE(normals->IsFlagSet(CHANNEL_OUT_OF_DATE));
    EXPECT_FALSE(uv->IsFlagSet(CHANNEL_OUT_OF_DATE));
    Owned<CDependentChannels> empty = CDependentChannels::Create();
    EXPECT_FALSE(empty->InvalidateChannels(CHANNEL_ALL));
    EXPECT_FALSE(empty->MatrixTransform(Scale(2, 2, 2), CHANNEL_ALL, _POINT_PROPERTIES(0), true));
    EXPECT_EQ(empty->CleanChannels(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(empty->GetChecksum(0xFF), 0u);
}

}  // namespace object_test
