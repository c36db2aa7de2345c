// The contraction-ready object creator (its three modes through scene conversion and new objects)
// and the batch settings' checks and destination folders.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kestovar/mesh/point_list.h"
#include "kestovar/optimizer/object_creator.h"
#include "kestovar/platform/path.h"
#include "kestovar/scene/scene.h"
#include "kestovar/scene/scene_node.h"
#include "kestovar/simplify/ext_point.h"
#include "simplify/loop_test_util.h"

namespace kestovar::test {
namespace {

C3DObject* Sphere() {
    const auto m = looptest::BumpySphere(1);
    return CreateObjectFromArrays(m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(),
                                  unsigned(m.tris.size() * 4), nullptr, 0);
}

// Converts a scene holding one sphere shared by two nodes, and a dummy, with `mode`.
struct Converted {
    C3DScene* scene = C3DScene::Create();
    C3DObject* source = Sphere();
    C3DSceneNode* a;
    C3DSceneNode* b;
    C3DSceneNode* dummy;
    int replaced;
    explicit Converted(_QuorvaneObjectCreatorFlags mode) {
        source->AddRef();  // keep our own view of the original
        a = scene->CreateNode(nullptr, L"a", source);
        b = scene->CreateInstance(a);
        dummy = scene->CreateNode(nullptr, L"d", new C3DDummy);
        C3DQuorvaneObjectCreator creator(mode);
        replaced = scene->ConvertToType(creator);
    }
    ~Converted() {
        scene->Delete();
        source->Delete();
    }
};

TEST(ObjectCreator, ConversionByMode) {
    {
        Converted c(CREATOR_PLAIN);
        EXPECT_EQ(c.replaced, 0);
        EXPECT_EQ(c.a->GetBaseObject(), c.source);
    }
    for (auto mode : {CREATOR_COPY_POINTS, CREATOR_SHARE_POINTS}) {
        Converted c(mode);
        auto* ext = dynamic_cast<C3DExtObject*>(c.a->GetBaseObject());
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(c.b->GetBaseObject(), ext);  // a shared object is converted once
        EXPECT_EQ(dynamic_cast<C3DDummy*>(c.dummy->GetBaseObject()) != nullptr, true);
        EXPECT_EQ(ext->GetInitialFaceList(), c.source->GetFaceList());
        C3DPointList* points = ext->GetInitialPointList();
        if (mode == CREATOR_SHARE_POINTS) {
            EXPECT_EQ(points, c.source->GetPointList());
        } else {
            ASSERT_NE(points, c.source->GetPointList());
            EXPECT_NE(dynamic_cast<CExtPointList*>(points), nullptr);
            ASSERT_EQ(points->GetSize(), c.source->GetPointList()->GetSize());
            for (int i = 0; i < points->GetSize(); ++i) {
                const auto* p = (*points)[i];
                const auto* q = (*c.source->GetPointList())[i];
                EXPECT_TRUE(p->x == q->x && p->y == q->y && p->z == q->z) << i;
            }
        }
        // Converting again keeps the contraction-ready object.
        C3DQuorvaneObjectCreator again(mode);
        EXPECT_EQ(again.ConvertToType(c.a, ext), ext);
    }
}

TEST(ObjectCreator, NewObjectsFollowTheMode) {
    C3DObject* mesh = Sphere();
    C3DDummy* dummy = new C3DDummy;
    for (auto mode : {CREATOR_COPY_POINTS, CREATOR_SHARE_POINTS, CREATOR_PLAIN}) {
        C3DQuorvaneObjectCreator creator(mode);
        C3DQuorvaneObjectCreator copy(CREATOR_PLAIN);
        copy = creator;
        bool created = false;
        C3DBaseObject* made = copy.GetNewObjectFrom(mesh, created);
        EXPECT_TRUE(created);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(dynamic_cast<C3DExtObject*>(made) != nullptr, mode != CREATOR_PLAIN);
        auto* geom = dynamic_cast<C3DGeomObject*>(made);
        ASSERT_NE(geom, nullptr);
        EXPECT_EQ(dynamic_cast<CExtPointList*>(geom->GetPointList()) != nullptr, mode == CREATOR_COPY_POINTS);
        made->Delete();
        C3DBaseObject* other = copy.GetNewObjectFrom(dummy, created);
        EXPECT_NE(dynamic_cast<C3DDummy*>(other), nullptr);
        other->Delete();
        EXPECT_EQ(copy.GetNewPatchObject(), nullptr);
    }
    mesh->Delete();
    dummy->Delete();
}

TEST(BatchInfo, ChecksAndFolders) {
    BatchInfo info;
    // Recursion needs a folder source and the setting or force.
    EXPECT_EQ(info.CanRecurseFolder(0), 1);
    info.m_recurseFolders = 0;
    EXPECT_EQ(info.CanRecurseFolder(0), 0);
    EXPECT_EQ(info.CanRecurseFolder(1), 1);
    info.SetAlbumMode(true);
    EXPECT_EQ(info.CanRecurseFolder(1), 0);
    info.m_srcMode = 2;  // a file list recurses even in album mode
    EXPECT_EQ(info.CanRecurseFolder(1), 1);
    // Re-creating the tree also needs recursion itself and destination mode 2.
    EXPECT_EQ(info.CanRecreateFolderTree(1), 0);
    info.m_recurseFolders = 1;
    info.m_recreateFolderTree = 0;
    EXPECT_EQ(info.CanRecreateFolderTree(0), 0);
    EXPECT_EQ(info.CanRecreateFolderTree(1), 1);
    info.m_dstMode = 1;
    EXPECT_EQ(info.CanRecreateFolderTree(1), 0);

    // Destination checks.
    EXPECT_EQ(info.CheckDstFolder(1), 0);  // "./Results" is not a plain name
    EXPECT_EQ(info.CheckDstFolder(2), 1);
    info.m_dstSubFolder = L"/abs/out";
    EXPECT_EQ(info.CheckDstFolder(2), 0);
    info.m_dstSubFolder = L"out";
    EXPECT_EQ(info.CheckDstFolder(1), 1);
    EXPECT_EQ(info.CheckDstFolder(3), 0);
    info.m_dstFolder = fileGetTempDirectory();
    EXPECT_EQ(info.CheckDstFolder(0), 1);
    info.m_dstFolder = L"/no/such/folder/for/kestovar";
    EXPECT_EQ(info.CheckDstFolder(0), 0);
}

TEST(BatchInfo, DestinationFoldersRepeatTheSourceTree) {
    BatchInfo info;
    info.m_srcMode = 2;
    BatchInfo::CFileArray files;
    files.Add(CXTString<wchar_t>(L"/data/scenes/a.obj"));
    info.SetSelFiles(files);
    info.m_dstSubFolder = L"out/lod";
    EXPECT_EQ(std::wstring(info.GetDstFolder(L"/data/scenes/a.obj")), L"/data/scenes/out/lod/");
    EXPECT_EQ(std::wstring(info.GetDstFolder(L"/data/scenes/x/y/b.obj")), L"/data/scenes/out/lod/x/y/");
    info.m_recreateFolderTree = 0;
    EXPECT_EQ(std::wstring(info.GetDstFolder(L"/data/scenes/x/y/b.obj")), L"/data/scenes/out/lod/");
    info.m_dstMode = 1;
    info.m_dstSubFolder = L"lod";
    EXPECT_EQ(std::wstring(info.GetDstFolder(L"/data/scenes/x/b.obj")), L"/data/scenes/x/lod/");
    info.m_dstMode = 0;
    info.m_dstFolder = L"/results";
    EXPECT_EQ(std::wstring(info.GetDstFolder(L"/data/scenes/x/b.obj")), L"/results/");

    // Copies keep the lists; a move empties the source.
    BatchInfo copy(info);
    EXPECT_EQ(copy.GetSelFiles().GetSize(), 1);
    BatchInfo moved(std::move(copy));
    EXPECT_EQ(moved.GetSelFiles().GetSize(), 1);
    EXPECT_EQ(std::wstring(moved.m_dstFolder), L"/results");

    // CreateDstFolder makes the whole chain.
    BatchInfo make;
    make.m_dstMode = 2;
    const CXTString<wchar_t> root = fileGetTempDirectory() + CXTString<wchar_t>(L"kx_batch_test/");
    files.RemoveAll();
    files.Add(root + CXTString<wchar_t>(L"a.obj"));
    make.SetSelFiles(files);
    make.m_dstSubFolder = L"r";
    EXPECT_EQ(make.CreateDstFolder(root + CXTString<wchar_t>(L"s/b.obj")), 1);
    EXPECT_TRUE(fileIsDirectory(root + CXTString<wchar_t>(L"r/s/")));
    EXPECT_NE(std::wstring(make.GetInformation()).find(L"re-created"), std::wstring::npos);
    fileDelete(root + CXTString<wchar_t>(L"r/s"));
    fileDelete(root + CXTString<wchar_t>(L"r"));
    fileDelete(root);
}

}  // namespace
}  // namespace kestovar::test
