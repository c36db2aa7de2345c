// Scene files: a scene written to a ".3dif" file and read back compares equal (tree, names,
// flags, transforms, user data, objects with their lists, instances, materials, properties), and
// malformed files raise the archive's exceptions without leaking.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kestovar/mesh/point_list.h"
#include "kestovar/platform/path.h"
#include "kestovar/scene/scene.h"
#include "scene_test_util.h"

namespace {

using namespace kestovar;
using scene_test::Bytes;
using scene_test::Catch;
using scene_test::MakeQuad;
using scene_test::MakeTriangle;

// A scene that uses every part of the layout:
//
//   Scene (root keys)
//   +-- A   quad, materials 1 and 2, translated, pivot, user data, flags 1 and 2
//   |   +-- A1  instance of A's quad, rotated, offset
//   |   +-- E   no object, animated scale
//   +-- B   triangle, matrix key
//       +-- L   light
C3DScene* BuildScene() {
    C3DScene* scene = new C3DScene;
    scene->SetFileName(L"/data/scène.obj");
    scene->SetUnit(UNIT_INCH, 2.5);
    scene->SetUpAxis(UP_AXIS_Z);
    scene->SetSmoothAngle(0.25f);
    scene->AddTexturePath(L"/textures");
    scene->SetTime(4);
    scene->SetAnimationRange(CTimeRange(-10, 100));
    scene->AddKey(3, C3DFloatKey(MakeKeyType(KEY_VALUE_FLOAT, 0x53434E31), 1.5f));
    C3DMaterial* red = scene->CreateNewMaterial(1);
    red->SetName(L"Red");
    red->SetDiffuseColor(CRGBColor(255, 0, 0, 255));
    red->AddMaterialMap(L"red.png", 5, MAP_DIFFUSE)->SetTiling(0, 2, 3);
    scene->CreateNewMaterial(2)->SetSpecularFactor(0.9f, 10);
    scene->GetRoot()->SetPosition(C3DTVector<float>(0, 0, -1));

    C3DSceneNode* a = scene->CreateNode(nullptr, L"A", MakeQuad(1));
    a->GetGeomObject()->GetFaceList()->SetFaceMaterial(1, 2);
    a->GetGeomObject()->GetCustomData().SetInt(0x4F424944, 77);
    a->SetPosition(C3DTVector<float>(1, 2, 3));
    a->SetPosition(C3DTVector<float>(4, 5, 6), 20);
    a->SetPivot(C3DTVector<float>(0.5f, 0, 0));
    a->SetFlags(NODE_SKIP | NODE_SELECTED);
    a->GetCustomData().SetString(0x55534552, L"user data");
    C3DSceneNode* a1 = scene->CreateInstance(a, a);
    a1->SetName(L"A1");
    a1->DeleteAllKeys();
    a1->SetRotation(C3DTVector<float>(0, 1, 0), 0.5f);
    a1->SetObjectOffset(C4x4TMatrix<float>::Translation(0, 0, 9));
    a1->SetFlags(0);
    C3DSceneNode* e = scene->CreateNode(a, L"E", nullptr);
    e->SetScale(C3DTVector<float>(1, 2, 3), 0);
    e->SetScale(C3DTVector<float>(3, 2, 1), 8);
    C3DSceneNode* b = scene->CreateNode(nullptr, L"B", MakeTriangle(2));
    b->SetTransform(C4x4TMatrix<float>::RotationX(0.3) * C4x4TMatrix<float>::Scale(1, 1, -1));
    scene->CreateNode(b, L"L", new C3DLight);
    return scene;
}

void ExpectSameNode(C3DSceneNode* x, C3DSceneNode* y) {
    SCOPED_TRACE(std::wstring(x->GetName().GetString()));
    EXPECT_EQ(x->GetName(), y->GetName());
    EXPECT_EQ(x->GetFlags(), y->GetFlags());
    EXPECT_TRUE(x->GetCustomData().IsEqual(y->GetCustomData()));
    EXPECT_TRUE(x->IsKeysEqual(*y));
    EXPECT_EQ(x->GetObjectOffset(), y->GetObjectOffset());
    EXPECT_EQ(x->GetChildCount(), y->GetChildCount());
    for (int t : {0, 5, 20, 30}) {
        C4x4TMatrix<float> mx, my;
        x->GetNodeTM(t, mx, true);
        y->GetNodeTM(t, my, true);
        EXPECT_EQ(mx, my) << "time " << t;
    }
    ASSERT_EQ(x->GetObjectKindOf(), y->GetObjectKindOf());
    if (!x->GetBaseObject()) return;
    EXPECT_EQ(x->GetBaseObject()->GetRuntimeClassDescriptor(), y->GetBaseObject()->GetRuntimeClassDescriptor());
    EXPECT_EQ(x->GetBaseObject()->GetInstanceCount(), y->GetBaseObject()->GetInstanceCount());
    EXPECT_TRUE(x->GetBaseObject()->GetCustomData().IsEqual(y->GetBaseObject()->GetCustomData()));
    if (C3DGeomObject* gx = x->GetGeomObject()) {
        C3DGeomObject* gy = y->GetGeomObject();
        EXPECT_EQ(gx->GetPointNbr(), gy->GetPointNbr());
        EXPECT_EQ(gx->GetFaceNbr(), gy->GetFaceNbr());
        EXPECT_EQ(gx->GetChecksum(0xFFFF), gy->GetChecksum(0xFFFF));
        for (int f = 0; f < gx->GetFaceNbr(); ++f)
            EXPECT_EQ(gx->GetFaceList()->GetFaceMaterial(unsigned(f)), gy->GetFaceList()->GetFaceMaterial(unsigned(f)));
    }
}

void ExpectSameScene(C3DScene& x, C3DScene& y) {
    EXPECT_TRUE(x.GetProperties().IsEqual(y.GetProperties()));
    EXPECT_EQ(x.GetFileName(), y.GetFileName());
    EXPECT_EQ(x.GetTime(), y.GetTime());
    EXPECT_EQ(x.GetAnimationRange(), y.GetAnimationRange());
    EXPECT_TRUE(x.IsKeysEqual(y));
    ASSERT_EQ(x.GetNodeCount(), y.GetNodeCount());
    for (CTreeNode *nx = x.GetRoot(), *ny = y.GetRoot(); nx && ny;
         nx = x.GetRoot()->NextInSubtree(nx), ny = y.GetRoot()->NextInSubtree(ny))
        ExpectSameNode(static_cast<C3DSceneNode*>(nx), static_cast<C3DSceneNode*>(ny));
    CXArray<unsigned> ids, idsY;
    x.GetMaterialTable().GetIDs(ids);
    y.GetMaterialTable().GetIDs(idsY);
    ASSERT_EQ(ids.GetSize(), idsY.GetSize());
    for (int i = 0; i < ids.GetSize(); ++i) {
        ASSERT_EQ(ids[i], idsY[i]);
        C3DMaterial* mx = x.GetMaterialByID(ids[i]);
        C3DMaterial* my = y.GetMaterialByID(ids[i]);
        EXPECT_EQ(mx->GetName(), my->GetName());
        EXPECT_TRUE(mx->HasSameParameters(*my));
    }
}

Bytes SceneBytes(C3DScene& scene) {
    return scene_test::Store([&](CXArchive& ar) { scene.WriteSceneFile(ar); });
}

TEST(SceneArchiveTest, SceneWrittenToAFileReadsBackEqual) {
    C3DScene* scene = BuildScene();
    char pattern[] = "/tmp/kx_3dif_XXXXXX";
    std::string dir = mkdtemp(pattern);
    CXTString<wchar_t> path((dir + "/scene.3dif").c_str());
    {
        CXFile file;
        ASSERT_TRUE(file.Open(path, CXFile::modeWrite | CXFile::modeCreate));
        CXArchive ar(&file, CXArchive::store);
        scene->WriteSceneFile(ar);
        ar.Close();
        file.Close();
    }
    C3DScene* loaded = nullptr;
    {
        CXFile file;
        ASSERT_TRUE(file.Open(path, CXFile::modeRead));
        CXArchive ar(&file, CXArchive::load);
        loaded = C3DScene::ReadSceneFile(ar);
    }
    ASSERT_NE(loaded, nullptr);
    ExpectSameScene(*scene, *loaded);

    // Instances come back as instances; every node and object knows its new scene.
    C3DSceneNode* a = loaded->GetRoot()->GetFirstChildNode();
    C3DSceneNode* a1 = a->GetFirstChildNode();
    EXPECT_EQ(a->GetBaseObject(), a1->GetBaseObject());
    EXPECT_EQ(a->GetBaseObject()->GetInstanceCount(), 2);
    EXPECT_EQ(a->GetBaseObject()->GetRefCount(), 2);
    for (CTreeNode* n = loaded->GetRoot(); n; n = loaded->GetRoot()->NextInSubtree(n)) {
        C3DSceneNode* node = static_cast<C3DSceneNode*>(n);
        EXPECT_EQ(node->GetScene(), loaded);
        if (node->GetBaseObject()) {
            EXPECT_EQ(node->GetBaseObject()->GetScene(), loaded);
        }
    }
    // Writing the loaded scene again gives the same bytes.
    EXPECT_EQ(SceneBytes(*loaded), SceneBytes(*scene));
    delete loaded;
    delete scene;
    std::filesystem::remove_all(dir);
}

TEST(SceneArchiveTest, LoadingIntoAnExistingSceneReplacesItsContent) {
    C3DScene* source = BuildScene();
    Bytes bytes = scene_test::Store([&](CXArchive& ar) { source->Serialize(ar); });
    C3DScene target;
    target.CreateNode(nullptr, L"old", MakeQuad());
    target.CreateNewMaterial(50);
    scene_test::Load(bytes, [&](CXArchive& ar) { target.Serialize(ar); });
    ExpectSameScene(*source, target);
    EXPECT_EQ(target.GetMaterialByID(50), nullptr);
    delete source;
}

TEST(SceneArchiveTest, TruncatedFilesRaiseAndLeakNothing) {
    C3DScene* scene = BuildScene();
    Bytes bytes = SceneBytes(*scene);
    delete scene;
    // Every prefix (the sanitizer build checks that nothing leaks on each path).
    for (size_t n = 0; n < bytes.size(); ++n) {
        Bytes cut(bytes.begin(), bytes.begin() + long(n));
        C3DScene* loaded = nullptr;
        scene_test::Raised r = Catch([&] { scene_test::Load(cut, [&](CXArchive& ar) { loaded = C3DScene::ReadSceneFile(ar); }); });
        EXPECT_TRUE(r.archive || r.file) << "prefix " << n;
        EXPECT_EQ(loaded, nullptr);
    }
}

TEST(SceneArchiveTest, ForeignOrForgedHeadersAreRefused) {
    C3DScene scene;
    Bytes bytes = SceneBytes(scene);
    Bytes wrongMagic = bytes;
    wrongMagic[0] ^= 1;
    scene_test::Raised r = Catch([&] { scene_test::Load(wrongMagic, [](CXArchive& ar) { delete C3DScene::ReadSceneFile(ar); }); });
    EXPECT_TRUE(r.archive);
    EXPECT_EQ(r.cause, CXArchiveException::badClass);
    Bytes newer = bytes;
    newer[4] = uint8_t(C3DScene::k3DIFVersion + 1);
    r = Catch([&] { scene_test::Load(newer, [](CXArchive& ar) { delete C3DScene::ReadSceneFile(ar); }); });
    EXPECT_EQ(r.cause, CXArchiveException::badClass);
    // A file whose object is not a scene.
    Bytes notScene = scene_test::Store([](CXArchive& ar) {
        ar << C3DScene::k3DIFMagic << C3DScene::k3DIFVersion;
        C3DDummy dummy;
        ar.WriteObject(&dummy);
    });
    r = Catch([&] { scene_test::Load(notScene, [](CXArchive& ar) { delete C3DScene::ReadSceneFile(ar); }); });
    EXPECT_EQ(r.cause, CXArchiveException::badClass);
}

// Writes a scene header by hand, then the given node records (parent index and node), each
// without object (or with the raw object reference `objectRef` when not 0), after a declared count.
Bytes HandWritten(uint64_t declared, const std::vector<uint32_t>& parents, uint16_t objectRef = 0) {
    return scene_test::Store([&](CXArchive& ar) {
        ar << C3DScene::k3DIFMagic << C3DScene::k3DIFVersion;
        ar.WriteClass(KX_RUNTIME_CLASS(C3DScene));
        ar << int32_t(0) << int32_t(0) << int32_t(0);
        ar.WriteCount(0);  // scene keys
        CCustomData().Serialize(ar);
        ar << CXTString<wchar_t>(L"");
        ar.WriteCount(0);  // materials
        ar.WriteCount(declared);
        for (size_t i = 0; i < parents.size(); ++i) {
            ar << parents[i];
            C3DSceneNode node(L"n");
            // The reader gives index 2 to the scene object, which this writer never wrote: the
            // node class is index 3 there, and later nodes refer to it by hand.
            if (i == 0)
                ar.WriteClass(KX_RUNTIME_CLASS(C3DSceneNode));
            else
                ar << uint16_t(0x8003);
            node.Serialize(ar);
            if (objectRef)
                ar << objectRef;
            else
                ar.WriteObject(nullptr);
        }
    });
}

TEST(SceneArchiveTest, NodeRecordsAreChecked) {
    // The hand-written form itself is sound.
    C3DScene* ok = nullptr;
    scene_test::Load(HandWritten(3, {0xFFFFFFFF, 0, 1}), [&](CXArchive& ar) { ok = C3DScene::ReadSceneFile(ar); });
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->GetNodeCount(), 3);
    EXPECT_EQ(ok->GetChildDepth(ok->GetRoot()->GetFirstChildNode()->GetFirstChildNode()), 2);
    delete ok;

    struct Case {
        uint64_t declared;
        std::vector<uint32_t> parents;
        int cause;
    } cases[] = {
        {0, {}, CXArchiveException::badIndex},                    // no root
        {2, {0, 0}, CXArchiveException::badIndex},                // the root with a parent
        {2, {0xFFFFFFFF, 0xFFFFFFFF}, CXArchiveException::badIndex},  // two roots
        {2, {0xFFFFFFFF, 1}, CXArchiveException::badIndex},       // its own parent
        {3, {0xFFFFFFFF, 2, 0}, CXArchiveException::badIndex},    // a parent not read yet
        {1000000, {0xFFFFFFFF}, CXArchiveException::endOfFile},   // more nodes than data
    };
    for (const Case& c : cases) {
        scene_test::Raised r =
            Catch([&] { scene_test::Load(HandWritten(c.declared, c.parents), [](CXArchive& ar) { delete C3DScene::ReadSceneFile(ar); }); });
        EXPECT_TRUE(r.archive) << c.declared;
        EXPECT_EQ(r.cause, c.cause) << c.declared;
    }
}

TEST(SceneArchiveTest, AnObjectReferenceThatIsNotAnObjectOfTheSceneIsRefused) {
    // The root node refers to object reference 2: the scene being read, not an object of a node.
    scene_test::Raised r = Catch(
        [&] { scene_test::Load(HandWritten(1, {0xFFFFFFFF}, 2), [](CXArchive& ar) { delete C3DScene::ReadSceneFile(ar); }); });
    EXPECT_TRUE(r.archive);
}

}  // namespace
