// The scene tree: building and editing the tree, object placement and
// release, walks, world transforms with their cache, copies and conversions through creators,
// baking and axis conventions, units and smoothing, materials across scenes, and the operations
// that run through the object-level extension points.
#include "kestovar/scene/scene.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kestovar/core/progress.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/scene/preferences.h"
#include "scene_test_util.h"

namespace scene_node_test {

using namespace kestovar;

// A dummy that counts the live instances of its class.
class CCountedDummy : public C3DDummy {
public:
    static int alive;
    CCountedDummy() { ++alive; }
    ~CCountedDummy() override { --alive; }
};
int CCountedDummy::alive = 0;

// A node that counts how often its local object transform is computed.
class CCountingNode : public C3DSceneNode {
public:
    explicit CCountingNode(const wchar_t* name) : C3DSceneNode(name) {}
    int computed = 0;
    void GetObjectLocalTM(int time, C4x4TMatrix<float>& m) override {
        ++computed;
        C3DSceneNode::GetObjectLocalTM(time, m);
    }
};

}  // namespace scene_node_test

namespace {

using namespace kestovar;
using scene_node_test::CCountedDummy;
using scene_node_test::CCountingNode;
using scene_test::MakeQuad;
using scene_test::MakeTriangle;

std::vector<std::wstring> Walk(C3DScene& scene, unsigned kindMask, unsigned flags, C3DSceneNode* start = nullptr,
                               C3DSceneNode* stop = nullptr, const C3DFilter* filter = nullptr) {
    std::vector<std::wstring> names;
    C3DNodePos pos = scene.GetFirstNode(kindMask, flags, start, stop);
    pos.SetFilter(filter);
    while (C3DSceneNode* node = scene.GetNextNode(pos)) names.emplace_back(node->GetName().GetString());
    return names;
}

using Names = std::vector<std::wstring>;

// The walk fixture:
//
//   Scene (group)
//   +-- A   (quad)
//   |   +-- A1  (instance of A's quad)
//   |   +-- A2  (no object)
//   +-- B   (dummy)
//       +-- B1  (triangle)
class WalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        a = scene.CreateNode(nullptr, L"A", MakeQuad());
        a1 = scene.CreateInstance(a, a);
        a1->SetName(L"A1");
        a2 = scene.CreateNode(a, L"A2", nullptr);
        b = scene.CreateNode(nullptr, L"B", new C3DDummy);
        b1 = scene.CreateNode(b, L"B1", MakeTriangle());
    }
    C3DScene scene;
    C3DSceneNode *a, *a1, *a2, *b, *b1;
};

TEST(SceneTest, AddNodeLinksBranchesAndRefusesInvalidPlacements) {
    C3DScene scene;
    C3DSceneNode* a = new C3DSceneNode(L"A", MakeQuad());
    C3DSceneNode* child = new C3DSceneNode(L"child");
    a->AddChild(child);
    EXPECT_EQ(scene.AddNode(nullptr, a), a);  // null parent: under the root
    EXPECT_EQ(a->GetParentNode(), scene.GetRoot());
    EXPECT_EQ(child->GetScene(), &scene);     // the whole branch joins
    EXPECT_EQ(a->GetBaseObject()->GetScene(), &scene);

    EXPECT_EQ(scene.AddNode(a, a), nullptr);                   // linked already
    EXPECT_EQ(scene.AddNode(child, scene.GetRoot()), nullptr);  // the root
    C3DScene other;
    EXPECT_EQ(scene.AddNode(nullptr, other.GetRoot()), nullptr);  // another scene's root
    C3DSceneNode* loose = new C3DSceneNode(L"loose");
    EXPECT_EQ(other.AddNode(a, loose), nullptr);  // parent of another scene
    EXPECT_EQ(scene.AddNode(a, loose, true), loose);
    EXPECT_EQ(a->GetFirstChildNode(), loose);  // as first child

    // Moving a node under its own branch is refused and changes nothing.
    EXPECT_FALSE(scene.ChangeNodeParent(a, child));
    EXPECT_FALSE(scene.ChangeNodeParent(a, a));
    EXPECT_FALSE(scene.ChangeNodeParent(scene.GetRoot(), a));
    EXPECT_EQ(a->GetParentNode(), scene.GetRoot());
    EXPECT_TRUE(scene.ChangeNodeParent(child, nullptr));
    EXPECT_EQ(child->GetParentNode(), scene.GetRoot());
    EXPECT_EQ(scene.GetNodeCount(), 4);
}

TEST(SceneTest, RemoveNodeDetachesOrDeletesBranches) {
    C3DScene scene;
    C3DSceneNode* a = scene.CreateNode(nullptr, L"A", MakeQuad());
    C3DSceneNode* a1 = scene.CreateNode(a, L"A1", nullptr);
    C3DSceneNode* detached = scene.RemoveNode(a, false);
    EXPECT_EQ(detached, a);
    EXPECT_EQ(a->GetParent(), nullptr);
    EXPECT_EQ(a->GetScene(), nullptr);
    EXPECT_EQ(a1->GetScene(), nullptr);
    EXPECT_EQ(a->GetBaseObject()->GetScene(), nullptr);
    EXPECT_EQ(scene.GetNodeCount(), 1);
    EXPECT_EQ(scene.AddNode(nullptr, a), a);  // and back
    EXPECT_EQ(a1->GetScene(), &scene);

    // The root detaches the whole content; the scene starts over with a fresh root.
    C3DSceneNode* oldRoot = scene.GetRoot();
    C3DSceneNode* content = scene.RemoveNode(oldRoot, false);
    EXPECT_EQ(content, oldRoot);
    EXPECT_NE(scene.GetRoot(), oldRoot);
    EXPECT_EQ(scene.GetRoot()->GetName(), L"Scene");
    EXPECT_EQ(scene.GetNodeCount(), 1);
    EXPECT_EQ(content->GetSubtreeCount(), 3);
    EXPECT_EQ(content->GetScene(), nullptr);
    delete content;

    scene.CreateNode(nullptr, L"X", nullptr);
    EXPECT_EQ(scene.RemoveNode(nullptr, true), nullptr);
    EXPECT_EQ(scene.GetNodeCount(), 1);
    C3DScene other;
    C3DSceneNode* foreign = other.CreateNode(nullptr, L"F", nullptr);
    EXPECT_EQ(scene.RemoveNode(foreign, true), nullptr);
    EXPECT_EQ(other.GetNodeCount(), 2);  // not ours: untouched
}

TEST(SceneTest, ObjectIsReleasedExactlyOnceByItsLastNode) {
    ASSERT_EQ(CCountedDummy::alive, 0);
    {
        C3DScene scene;
        C3DSceneNode* first = scene.CreateNode(nullptr, L"first", new CCountedDummy);
        C3DSceneNode* second = scene.CreateInstance(first);
        C3DSceneNode* third = scene.CreateInstance(first, second);
        C3DBaseObject* object = first->GetBaseObject();
        EXPECT_EQ(second->GetBaseObject(), object);
        EXPECT_EQ(object->GetInstanceCount(), 3);
        EXPECT_EQ(object->GetRefCount(), 3);
        EXPECT_TRUE(first->IsObjectIntanciated());
        scene.RemoveNode(first, true);
        EXPECT_EQ(CCountedDummy::alive, 1);
        EXPECT_EQ(object->GetInstanceCount(), 2);
        // Deleting `second` deletes `third` with it: the last two placements go at once.
        scene.RemoveNode(second, true);
        (void)third;
        EXPECT_EQ(CCountedDummy::alive, 0);

        // A host reference keeps the object alive past its last node, without the scene.
        C3DSceneNode* held = scene.CreateNode(nullptr, L"held", new CCountedDummy);
        C3DBaseObject* kept = XAddRef(held->GetBaseObject());
        scene.RemoveNode(held, true);
        EXPECT_EQ(CCountedDummy::alive, 1);
        EXPECT_EQ(kept->GetScene(), nullptr);
        kept->Delete();
        EXPECT_EQ(CCountedDummy::alive, 0);

        // Replacing an object releases the old one; DeleteObjectInstanciation unshares.
        C3DSceneNode* n = scene.CreateNode(nullptr, L"n", new CCountedDummy);
        C3DSceneNode* m = scene.CreateInstance(n);
        EXPECT_TRUE(m->DeleteObjectInstanciation());
        EXPECT_NE(m->GetBaseObject(), n->GetBaseObject());
        EXPECT_FALSE(n->IsObjectIntanciated());
        EXPECT_FALSE(m->DeleteObjectInstanciation());
        n->SetObject(new CCountedDummy, true);
        EXPECT_EQ(CCountedDummy::alive, 1);  // the copy of the dummy is a plain dummy
    }
    EXPECT_EQ(CCountedDummy::alive, 0);
}

TEST_F(WalkTest, SharedObjectsAreVisitedOnceWithFlag1AndTwiceWithout) {
    EXPECT_EQ(Walk(scene, KIND_ALL, 0), (Names{L"A", L"A1", L"B", L"B1"}));
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_SHARED_ONCE), (Names{L"A", L"B", L"B1"}));
    EXPECT_EQ(Walk(scene, OBJECT_GEOMETRIC_MASK, 0), (Names{L"A", L"A1", L"B1"}));
    EXPECT_EQ(Walk(scene, OBJECT_GEOMETRIC_MASK, WALK_SHARED_ONCE), (Names{L"A", L"B1"}));
    EXPECT_EQ(scene.GetPointNbr(), 7);  // 4 + 3, the quad once
    EXPECT_EQ(scene.GetFaceNbr(), 3);
}

TEST_F(WalkTest, WalkFlagsKindMaskStopAndFilter) {
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_EMPTY_NODES), (Names{L"A", L"A1", L"A2", L"B", L"B1"}));
    EXPECT_EQ(Walk(scene, OBJECT_DUMMY, 0), (Names{L"B"}));
    // From A: after A in pre-order, on to the end of the tree.
    EXPECT_EQ(Walk(scene, KIND_ALL, 0, a), (Names{L"A1", L"B", L"B1"}));
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_START_IS_STOP, a), (Names{L"A1"}));
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_START_IS_STOP | WALK_EMPTY_NODES, a), (Names{L"A1", L"A2"}));
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_START_IS_STOP | WALK_FROM_START, a), (Names{L"A", L"A1"}));
    EXPECT_EQ(Walk(scene, KIND_ALL, 0, a1, a), Names{});  // stop at the end of A's branch
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_FROM_START, a1, a), (Names{L"A1"}));
    // The root is never returned, even when asked to start from it.
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_FROM_START | WALK_START_IS_STOP, scene.GetRoot()).front(), L"A");

    struct NotB : C3DFilter {
        bool Accept(const C3DSceneNode* n) const override { return n->GetName().GetAt(0) != L'B'; }
    } notB;
    EXPECT_EQ(Walk(scene, KIND_ALL, 0, nullptr, nullptr, &notB), (Names{L"A", L"A1"}));
    // A filter set after the first node was found applies to the pending node too.
    struct NotA : C3DFilter {
        bool Accept(const C3DSceneNode* n) const override { return n->GetName() != L"A"; }
    } notA;
    EXPECT_EQ(Walk(scene, KIND_ALL, 0, nullptr, nullptr, &notA), (Names{L"A1", L"B", L"B1"}));
    // A1 shares A's object: visiting each object once, the walk still reaches it through A1.
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_SHARED_ONCE, nullptr, nullptr, &notA), (Names{L"A1", L"B", L"B1"}));

    C3DBaseObject* object = nullptr;
    C3DNodePos pos = scene.GetFirstNode(OBJECT_DUMMY);
    EXPECT_EQ(scene.GetNextNode(pos, object), b);
    EXPECT_EQ(object, b->GetBaseObject());
    EXPECT_FALSE(pos);
    EXPECT_EQ(scene.GetNextNode(pos, object), nullptr);
    EXPECT_EQ(object, nullptr);
    C3DGeomObject* geom = nullptr;
    pos = scene.GetFirstNode(OBJECT_DUMMY);
    scene.GetNextNode(pos, geom);
    EXPECT_EQ(geom, nullptr);  // a dummy is not geometric
}

TEST_F(WalkTest, Queries) {
    EXPECT_EQ(scene.GetChildCount(nullptr, OBJECT_GEOMETRIC_MASK), 4);  // A, A1, A2 (empty), B1
    EXPECT_EQ(scene.GetChildCount(b, OBJECT_GEOMETRIC_MASK), 1);
    EXPECT_EQ(scene.GetDirectChildCount(), 2);
    EXPECT_EQ(scene.GetChildDepth(b1), 2);
    EXPECT_TRUE(scene.IsChildNode(b1, b));
    EXPECT_FALSE(scene.IsChildNode(b, b));
    EXPECT_TRUE(scene.IsNodeInScene(a2));
    EXPECT_EQ(scene.GetRightNode(a), b);
    EXPECT_EQ(scene.GetChildNode(a), a1);
    EXPECT_EQ(scene.GetNodeByID(b1->GetNodeID()), b1);
    EXPECT_EQ(scene.GetNodeByID(0), nullptr);
    EXPECT_EQ(scene.GetObjectByID(b->GetObjectID()), b->GetBaseObject());
    EXPECT_EQ(a2->GetObjectID(), 0u);
    CXArray<C3DSceneNode*> nodes;
    EXPECT_EQ(scene.GetNodesByType(nodes, OBJECT_GEOMETRIC_MASK), 2);
    EXPECT_EQ(scene.GetInstancesByID(nodes, a->GetObjectID()), 2);
    EXPECT_EQ(nodes[3], a1);
    nodes.RemoveAll();
    b1->GetGeomObject()->GetFaceList()->SetFaceMaterial(0, 9);
    EXPECT_EQ(scene.GetNodesByMaterial(nodes, 9), 1);
    EXPECT_EQ(nodes[0], b1);
    nodes.RemoveAll();
    for (C3DSceneNode* n : {b1, a, a2, b}) nodes.Add(n);
    C3DScene::SortNodesByDepth(nodes);
    // Depth 1 in their order, then depth 2 in theirs.
    EXPECT_EQ((std::vector{nodes[0], nodes[1], nodes[2], nodes[3]}), (std::vector{a, b, b1, a2}));

    scene.Select(a, true, true);
    nodes.RemoveAll();
    EXPECT_EQ(scene.GetSelectedNodes(nodes), 3);
    EXPECT_TRUE(a2->IsNodeSelected());
    scene.SelectNone();
    EXPECT_EQ(scene.GetSelectedNodes(nodes), 0);
}

TEST(SceneTest, NodeTransformIsCachedAndInvalidated) {
    C3DScene scene;
    C3DSceneNode* parent = scene.CreateNode(nullptr, L"P", nullptr);
    CCountingNode* child = new CCountingNode(L"C");
    scene.AddNode(parent, child);
    parent->SetPosition(C3DTVector<float>(1, 0, 0));
    child->SetPosition(C3DTVector<float>(0, 2, 0));
    C4x4TMatrix<float> m;
    child->GetNodeTM(0, m, true);
    scene_test::ExpectMatrixNear(m, C4x4TMatrix<float>::Translation(1, 2, 0));
    EXPECT_EQ(child->computed, 1);
    EXPECT_TRUE(child->IsTMCached(0));
    child->GetNodeTM(0, m, true);
    EXPECT_EQ(child->computed, 1);  // the cached matrix, no recomputation
    scene_test::ExpectMatrixNear(m, C4x4TMatrix<float>::Translation(1, 2, 0));
    child->GetNodeTM(1, m, true);  // another time
    EXPECT_EQ(child->computed, 2);
    child->GetNodeTM(1, m, false);  // without the cache flag: always computed
    EXPECT_EQ(child->computed, 3);

    // A key of the parent reaches the child's cache.
    parent->SetPosition(C3DTVector<float>(5, 0, 0));
    EXPECT_FALSE(child->IsTMCached(1));
    child->GetNodeTM(0, m, true);
    scene_test::ExpectMatrixNear(m, C4x4TMatrix<float>::Translation(5, 2, 0));
    child->Invalidate(NODE_UPDATE_TM);
    EXPECT_TRUE(child->IsInvalidate(NODE_UPDATE_TM));
    child->GetNodeTM(0, m, true);
    EXPECT_EQ(child->computed, 5);
    EXPECT_FALSE(child->IsInvalidate(NODE_UPDATE_TM));
    // Reparenting drops the cache.
    scene.ChangeNodeParent(child, nullptr);
    child->GetNodeTM(0, m, true);
    scene_test::ExpectMatrixNear(m, C4x4TMatrix<float>::Translation(0, 2, 0));
    EXPECT_EQ(child->computed, 6);
}

TEST(SceneTest, NodeTransformRootPivotAndOffset) {
    C3DScene scene;
    scene.GetRoot()->SetPosition(C3DTVector<float>(10, 0, 0));
    C3DSceneNode* p = scene.CreateNode(nullptr, L"P", nullptr);
    C3DSceneNode* c = scene.CreateNode(p, L"C", nullptr);
    p->SetRotation(C3DTVector<float>(0, 0, 1), float(std::numbers::pi / 2));
    c->SetPosition(C3DTVector<float>(1, 0, 0));
    C4x4TMatrix<float> m;
    // With the cache flag the root takes part; without it the walk stops below the root.
    c->GetNodeTM(0, m, true);
    EXPECT_NEAR(m.m[0][3], 10.0f, 1e-5);
    EXPECT_NEAR(m.m[1][3], 1.0f, 1e-5);
    c->GetNodeTM(0, m, false);
    EXPECT_NEAR(m.m[0][3], 0.0f, 1e-5);
    EXPECT_NEAR(m.m[1][3], 1.0f, 1e-5);
    // The root and a node without a scene give their own local transform.
    scene.GetRoot()->GetNodeTM(0, m, true);
    scene_test::ExpectMatrixNear(m, C4x4TMatrix<float>::Translation(10, 0, 0));
    C3DSceneNode loose;
    loose.SetPosition(C3DTVector<float>(0, 0, 3));
    loose.GetNodeTM(0, m, true);
    scene_test::ExpectMatrixNear(m, C4x4TMatrix<float>::Translation(0, 0, 3));

    // The pivot is turned by the linear part and added to the translation.
    p->SetPivot(C3DTVector<float>(2, 0, 0));
    p->GetNodeTM(0, m, false);
    EXPECT_NEAR(m.m[0][3], 0.0f, 1e-5);
    EXPECT_NEAR(m.m[1][3], 2.0f, 1e-5);
    // The object offset applies to the node's object only, not to its children.
    c->GetNodeTM(0, m, false);
    C4x4TMatrix<float> before = m;
    p->SetObjectOffset(C4x4TMatrix<float>::Translation(0, 0, 7));
    c->GetNodeTM(0, m, false);
    EXPECT_EQ(m, before);
    C4x4TMatrix<float> local;
    p->GetObjectLocalTM(0, local);
    EXPECT_NEAR(local.m[2][3], 7.0f, 1e-6);
    p->GetNodeLocalTM(0, local);
    EXPECT_NEAR(local.m[2][3], 0.0f, 1e-6);
}

TEST(SceneTest, TreeEdits) {
    C3DScene scene;
    C3DSceneNode* a = scene.CreateNode(nullptr, L"A", new C3DGroup);
    C3DSceneNode* b = scene.CreateNode(a, L"B", MakeQuad());
    C3DSceneNode* c = scene.CreateNode(a, L"C", new C3DGroup);
    scene.CreateNode(c, L"D", nullptr);

    C3DSceneNode* group = scene.MakeGroupForChilds(a, L"G");
    EXPECT_EQ(a->GetChildCount(), 1);
    EXPECT_EQ(group->GetChildCount(), 2);
    EXPECT_EQ(b->GetParentNode(), group);
    EXPECT_EQ(group->GetScene(), &scene);

    // Groups with identity transforms dissolve into their parents, keeping the children's order.
    c->SetPosition(C3DTVector<float>(1, 0, 0));
    EXPECT_EQ(scene.RemoveGroups(), 2);  // A and G; C has a transform
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_EMPTY_NODES), (Names{L"B", L"C", L"D"}));

    // Empty groups and empty leaves go, repeatedly: D, then C.
    EXPECT_EQ(scene.CleanGroups(), 2);
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_EMPTY_NODES), (Names{L"B"}));

    C3DSceneNode* replacement = new C3DSceneNode(L"R", new C3DDummy);
    scene.CreateNode(b, L"under B", nullptr);
    EXPECT_EQ(scene.ReplaceNode(b, replacement), replacement);
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_EMPTY_NODES), (Names{L"R", L"under B"}));
    EXPECT_EQ(scene.ReplaceNode(replacement, new C3DSceneNode(L"Q"), false), replacement);
    EXPECT_EQ(replacement->GetScene(), nullptr);
    delete replacement;

    struct Everything : C3DFilter {
        bool Accept(const C3DSceneNode*) const override { return true; }
    } all;
    EXPECT_EQ(scene.DeleteNodes(nullptr, all), 1);  // Q, whose branch holds the other
    EXPECT_EQ(scene.GetNodeCount(), 1);

    // Instances deleted together: the object keeps the scene while a node still shows it, and
    // leaves it with the last one, though the host still holds it.
    C3DSceneNode* shown = scene.CreateNode(nullptr, L"S", MakeQuad());
    C3DBaseObject* object = shown->GetBaseObject();
    object->AddRef();
    for (int i = 0; i < 4; ++i) scene.CreateInstance(shown);
    struct AllBut : C3DFilter {
        const C3DSceneNode* kept = nullptr;
        bool Accept(const C3DSceneNode* n) const override { return n != kept; }
    } others;
    others.kept = shown;
    EXPECT_EQ(scene.DeleteNodes(nullptr, others), 4);
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_EMPTY_NODES), (Names{L"S"}));
    EXPECT_EQ(object->GetScene(), &scene);
    EXPECT_EQ(scene.DeleteNodes(nullptr, all), 1);
    EXPECT_EQ(object->GetScene(), nullptr);
    object->Delete();
}

TEST(SceneTest, CopyThroughCreatorKeepsOrSplitsInstances) {
    C3DScene scene;
    scene.SetFileName(L"/models/x.obj");
    scene.CreateNewMaterial(4)->SetName(L"four");
    scene.SetUnit(UNIT_METER);
    C3DSceneNode* a = scene.CreateNode(nullptr, L"A", MakeQuad(4));
    scene.CreateInstance(a, a)->SetName(L"A1");
    C3DSceneNode* b = scene.CreateNode(nullptr, L"B", MakeTriangle());
    b->SetPosition(C3DTVector<float>(0, 0, 1));
    b->GetCustomData().SetInt(0x494E5431, 5);

    C3DObjectCreator creator;
    C3DScene* split = scene.Copy(nullptr, 0, &creator, 0);
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(Walk(*split, KIND_ALL, 0), (Names{L"A", L"A1", L"B"}));
    C3DSceneNode* ca = split->GetRoot()->GetFirstChildNode();
    C3DSceneNode* ca1 = ca->GetFirstChildNode();
    EXPECT_NE(ca->GetBaseObject(), a->GetBaseObject());
    EXPECT_NE(ca->GetBaseObject(), ca1->GetBaseObject());  // each node its own copy
    EXPECT_EQ(ca->GetGeomObject()->GetChecksum(0xFF), a->GetGeomObject()->GetChecksum(0xFF));
    EXPECT_EQ(ca->GetBaseObject()->GetScene(), split);
    EXPECT_EQ(split->GetFileName(), L"/models/x.obj");
    EXPECT_EQ(split->GetMaterialByID(4)->GetName(), L"four");
    EXPECT_TRUE(split->IsUnitDefined());
    EXPECT_TRUE(split->GetRoot()->GetNextSiblingNode() == nullptr);
    C3DSceneNode* cb = ca->GetNextSiblingNode();
    EXPECT_TRUE(cb->IsKeysEqual(*b));
    EXPECT_TRUE(cb->GetCustomData().IsEqual(b->GetCustomData()));
    void* mapped = nullptr;
    EXPECT_TRUE(creator.GetObjectMap().Find(b->GetBaseObject(), mapped));
    EXPECT_EQ(mapped, cb->GetBaseObject());
    delete split;

    C3DScene* kept = scene.Copy(nullptr, 0, nullptr, SCENE_COPY_KEEP_INSTANCES);
    ca = kept->GetRoot()->GetFirstChildNode();
    EXPECT_EQ(ca->GetBaseObject(), ca->GetFirstChildNode()->GetBaseObject());
    EXPECT_EQ(ca->GetBaseObject()->GetInstanceCount(), 2);
    EXPECT_EQ(kept->GetPointNbr(), scene.GetPointNbr());
    delete kept;

    // Objects shared with the source: one more placement each.
    C3DScene* shared = scene.Copy(nullptr, 0, nullptr, OBJECT_COPY_INSTANCE);
    EXPECT_EQ(shared->GetRoot()->GetFirstChildNode()->GetBaseObject(), a->GetBaseObject());
    EXPECT_EQ(a->GetBaseObject()->GetInstanceCount(), 4);
    delete shared;
    EXPECT_EQ(a->GetBaseObject()->GetInstanceCount(), 2);

    // A creator may decline objects: their nodes come without object.
    struct NoTriangles : C3DObjectCreator {
        bool CanProcess(const C3DSceneNode*, const C3DBaseObject* o) override {
            return static_cast<const C3DGeomObject*>(o)->GetFaceNbr() != 1;
        }
    } picky;
    C3DScene* partial = scene.Copy(nullptr, 0, &picky);
    EXPECT_EQ(Walk(*partial, KIND_ALL, 0), (Names{L"A", L"A1"}));
    EXPECT_EQ(partial->GetNodeCount(), 4);
    delete partial;
}

TEST(SceneTest, CopyOfABranchBakesItsAncestors) {
    C3DScene scene;
    scene.GetRoot()->SetPosition(C3DTVector<float>(0, 0, 1));
    C3DSceneNode* p = scene.CreateNode(nullptr, L"P", nullptr);
    p->SetPosition(C3DTVector<float>(2, 0, 0));
    C3DSceneNode* c = scene.CreateNode(p, L"C", MakeQuad());
    c->SetPosition(C3DTVector<float>(0, 3, 0));
    scene.CreateNode(c, L"D", nullptr);
    C3DScene* copy = scene.Copy(c, 0);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetNodeCount(), 3);
    C3DSceneNode* cc = copy->GetRoot()->GetFirstChildNode();
    EXPECT_EQ(cc->GetName(), L"C");
    C4x4TMatrix<float> m, expected;
    cc->GetNodeTM(0, m, true);
    c->GetNodeTM(0, expected, true);
    scene_test::ExpectMatrixNear(m, expected);
    delete copy;

    // A start node animated by matrix keys: the copy is placed where the source is at the copy's
    // time, and stays there (its keys at other times are gone with the ancestors' part).
    C3DSceneNode* animated = scene.CreateNode(p, L"M", MakeQuad());
    animated->SetTransform(C4x4TMatrix<float>::Translation(1, 0, 0), 0);
    animated->SetTransform(C4x4TMatrix<float>::Translation(5, 0, 0), 10);
    C3DScene* atTen = scene.Copy(animated, 10);
    ASSERT_NE(atTen, nullptr);
    animated->GetNodeTM(10, expected, true);
    for (int time : {0, 10}) {
        atTen->GetRoot()->GetFirstChildNode()->GetNodeTM(time, m, true);
        scene_test::ExpectMatrixNear(m, expected);
    }
    delete atTen;
    scene.RemoveNode(animated, true);

    // Copies inside one scene: a node, a single node, the children.
    EXPECT_NE(scene.CopyNode(c, c), nullptr);  // into its own branch
    EXPECT_EQ(c->GetSubtreeCount(), 4);        // D and a copy of C with its own D
    EXPECT_NE(scene.CopySingleNode(c, nullptr), nullptr);
    EXPECT_EQ(scene.CopyChilds(c, p), 2);
    EXPECT_EQ(scene.GetNodeCount(), 1 + 1 + 4 + 1 + 3);
}

TEST(SceneTest, ConvertToTypeConvertsEachSharedObjectOnce) {
    struct ToCopies : C3DObjectCreator {
        int calls = 0;
        C3DBaseObject* ConvertToType(const C3DSceneNode*, const C3DBaseObject* object) override {
            ++calls;
            if (object->GetKindOf() != OBJECT_POLYMESH) return const_cast<C3DBaseObject*>(object);
            return const_cast<C3DBaseObject*>(object)->Copy(0);
        }
    } creator;
    C3DScene scene;
    C3DSceneNode* a = scene.CreateNode(nullptr, L"A", MakeQuad());
    C3DSceneNode* a1 = scene.CreateInstance(a);
    C3DSceneNode* d = scene.CreateNode(nullptr, L"D", new C3DDummy);
    C3DSceneNode* a2 = scene.CreateInstance(a);
    C3DBaseObject* before = a->GetBaseObject();
    before->AddRef();  // the host's hold
    C3DBaseObject* dummy = d->GetBaseObject();
    EXPECT_EQ(scene.ConvertToType(creator), 1);
    EXPECT_EQ(creator.calls, 3);  // root group, quad, dummy
    EXPECT_NE(a->GetBaseObject(), before);
    EXPECT_EQ(a->GetBaseObject(), a1->GetBaseObject());
    EXPECT_EQ(a->GetBaseObject(), a2->GetBaseObject());
    EXPECT_EQ(a->GetBaseObject()->GetInstanceCount(), 3);
    EXPECT_EQ(d->GetBaseObject(), dummy);
    // No node shows the old object any more: it leaves the scene, though the host still holds it.
    EXPECT_EQ(before->GetScene(), nullptr);
    before->Delete();
    // The default creator leaves every object as it was.
    C3DObjectCreator plain;
    EXPECT_EQ(scene.ConvertToType(plain), 0);
}

TEST(SceneTest, ConvertToGlobalCoordinatesBakesTransformsAndSplitsInstances) {
    C3DScene scene;
    C3DSceneNode* a = scene.CreateNode(nullptr, L"A", MakeQuad());
    a->SetPosition(C3DTVector<float>(5, 0, 0));
    C3DSceneNode* a1 = scene.CreateInstance(a, a);  // world: A's transform twice
    C3DSceneNode* same = scene.CreateInstance(a);   // world: the same as A
    EXPECT_TRUE(scene.ConvertToGlobalCoordinates());
    C4x4TMatrix<float> m;
    for (C3DSceneNode* n : {a, a1, same}) {
        n->GetNodeTM(0, m, true);
        EXPECT_EQ(m, C4x4TMatrix<float>()) << std::wstring(n->GetName().GetString());
        EXPECT_FALSE(n->HasKeys());
    }
    EXPECT_EQ(a->GetBaseObject(), same->GetBaseObject());  // same transform: still shared
    EXPECT_NE(a->GetBaseObject(), a1->GetBaseObject());
    EXPECT_FLOAT_EQ(a->GetGeomObject()->GetPointList()->GetAt(0).x, 5.0f);
    EXPECT_FLOAT_EQ(a1->GetGeomObject()->GetPointList()->GetAt(0).x, 10.0f);
    EXPECT_EQ(a->GetBaseObject()->GetInstanceCount(), 2);
    EXPECT_EQ(a1->GetBaseObject()->GetInstanceCount(), 1);

    // A branch: the transforms above it stay and the object is expressed below them (through the
    // inverse of the parent's, placed far enough from the origin to test that inverse).
    C3DScene branchScene;
    C3DSceneNode* p = branchScene.CreateNode(nullptr, L"P", nullptr);
    p->SetPosition(C3DTVector<float>(100, 100, 100));
    C3DSceneNode* c = branchScene.CreateNode(p, L"C", MakeQuad());
    c->SetPosition(C3DTVector<float>(0, 0, 2));
    C3DSceneNode* outside = branchScene.CreateInstance(c, nullptr);
    branchScene.ConvertToGlobalCoordinates(0, c);
    c->GetNodeTM(0, m, true);
    scene_test::ExpectMatrixNear(m, C4x4TMatrix<float>::Translation(100, 100, 100));
    EXPECT_FLOAT_EQ(c->GetGeomObject()->GetPointList()->GetAt(0).z, 2.0f);
    // The instance outside the branch keeps the untouched object.
    EXPECT_NE(outside->GetBaseObject(), c->GetBaseObject());
    EXPECT_FLOAT_EQ(outside->GetGeomObject()->GetPointList()->GetAt(0).z, 0.0f);
    EXPECT_TRUE(p->HasKeys());
}

TEST(SceneTest, AxisSwapsScalingAndUpAxisKeepWorldPositionsConsistent) {
    C3DScene scene;
    C3DSceneNode* n = scene.CreateNode(nullptr, L"N", MakeQuad());
    n->SetPosition(C3DTVector<float>(0, 0, 5));
    n->SetRotation(C3DTVector<float>(0, 1, 0), 0.3f);
    C3DSceneNode* instance = scene.CreateInstance(n);
    C4x4TMatrix<float> m;
    n->GetNodeTM(0, m, true);
    C3DTPoint<float> worldBefore = m.TransformPoint(n->GetGeomObject()->GetPointList()->GetAt(2));

    scene.SwapCoordinates(0x44);
    n->GetNodeTM(0, m, true);
    C3DTPoint<float> worldAfter = m.TransformPoint(n->GetGeomObject()->GetPointList()->GetAt(2));
    C3DTPoint<float> expected = worldBefore;
    expected.Swap(0x44);
    EXPECT_NEAR(worldAfter.x, expected.x, 1e-5);
    EXPECT_NEAR(worldAfter.y, expected.y, 1e-5);
    EXPECT_NEAR(worldAfter.z, expected.z, 1e-5);
    // The shared quad was swapped once, not once per node.
    C3DTPoint<float> p2 = instance->GetGeomObject()->GetPointList()->GetAt(2);
    EXPECT_NEAR(p2.y, 0.0f, 1e-6);
    EXPECT_NEAR(p2.z, -1.0f, 1e-6);

    scene.Scale(C3DTVector<float>(2, 2, 2));
    n->GetNodeTM(0, m, true);
    C3DTPoint<float> scaled = m.TransformPoint(n->GetGeomObject()->GetPointList()->GetAt(2));
    EXPECT_NEAR(scaled.y, 2 * worldAfter.y, 1e-4);
    EXPECT_NEAR(scaled.z, 2 * worldAfter.z, 1e-4);

    // Unequal factors: a turning node (its rotation key and a turning child below it, with a key at
    // a second time) ends where the scaled world says, at every key time; a matrix key with the
    // same transform is conjugated as it is.
    {
        C3DScene unequal;
        C3DSceneNode* turning = unequal.CreateNode(nullptr, L"T", MakeQuad());
        turning->SetPosition(C3DTVector<float>(1, 2, 3));
        turning->SetRotation(C3DTVector<float>(0, 0, 1), 0.9f);
        turning->SetRotation(C3DTVector<float>(1, 1, 0), -0.4f, 10);
        turning->SetScale(C3DTVector<float>(1, 2, 1));
        C3DSceneNode* child = unequal.CreateNode(turning, L"C", MakeQuad());
        child->SetRotation(C3DTVector<float>(0, 1, 0), 0.5f);
        C3DSceneNode* keyed = unequal.CreateNode(nullptr, L"M", MakeQuad());
        C4x4TMatrix<float> local;
        turning->GetNodeLocalTM(0, local);
        keyed->SetTransform(local);
        // A rotation held by a matrix key, and an eased move: the ease survives the change of keys.
        C3DSceneNode* odd = unequal.CreateNode(nullptr, L"R", MakeQuad());
        odd->AddKey(0, new C3DMatrixKey(KEY_NODE_ROTATION, C4x4TMatrix<float>::RotationZ(0.5)));
        C3DSceneNode* eased = unequal.CreateNode(nullptr, L"E", MakeQuad());
        eased->SetRotation(C3DTVector<float>(0, 0, 1), 0.7f);
        for (int time : {0, 100}) {
            C3DKeyframe* move = new C3DTranslateKey(KEY_NODE_POSITION, C3DTVector<float>(time / 10.0f, 0, 0));
            move->SetCurve(new C3DTCBCurve(0, 0, 0, 0.0f, 1.0f));
            eased->AddKey(time, move);
        }
        eased->GetNodeLocalTM(25, local);
        const float easedX = local.GetTranslation().x;
        EXPECT_LT(easedX, 2.0f);  // eased: behind the straight line
        const C4x4TMatrix<float> s = C4x4TMatrix<float>::Scale(2, -3, 0.5f);
        struct XYZ {
            float x, y, z;
        };
        std::vector<XYZ> expected;
        for (int time : {0, 10})
            for (C3DSceneNode* node : {turning, child, keyed, odd}) {
                node->GetNodeTM(time, m, true);
                for (int i = 0; i < 4; ++i) {
                    const C3DTPoint<float> e =
                        s.TransformPoint(m.TransformPoint(node->GetGeomObject()->GetPointList()->GetAt(i)));
                    expected.push_back({e.x, e.y, e.z});
                }
            }
        unequal.Scale(C3DTVector<float>(2, -3, 0.5f));
        eased->GetNodeLocalTM(25, local);
        EXPECT_NEAR(local.GetTranslation().x, 2 * easedX, 1e-5);
        size_t next = 0;
        for (int time : {0, 10})
            for (C3DSceneNode* node : {turning, child, keyed, odd}) {
                node->GetNodeTM(time, m, true);
                for (int i = 0; i < 4; ++i) {
                    const C3DTPoint<float> p =
                        m.TransformPoint(node->GetGeomObject()->GetPointList()->GetAt(i));
                    const XYZ& e = expected[next++];
                    EXPECT_NEAR(p.x, e.x, 1e-4) << time << " " << i;
                    EXPECT_NEAR(p.y, e.y, 1e-4) << time << " " << i;
                    EXPECT_NEAR(p.z, e.z, 1e-4) << time << " " << i;
                }
            }
    }

    EXPECT_FALSE(scene.OrientScene(UP_AXIS_Y, false));  // the scene's axis is unknown
    scene.SetUpAxis(UP_AXIS_Z);
    EXPECT_TRUE(scene.OrientScene(UP_AXIS_Y, true));
    EXPECT_EQ(scene.GetUpAxis(), UP_AXIS_Y);
    EXPECT_FALSE(scene.OrientScene(UP_AXIS_Y, true));
    scene.GetRoot()->GetNodeLocalTM(0, m);
    EXPECT_EQ(m, GetSwapMatrix(0x44));
}

TEST(SceneTest, UnitsAndConversion) {
    EXPECT_DOUBLE_EQ(C3DScene::GetUnitFactor(UNIT_INCH), 0.0254);
    EXPECT_DOUBLE_EQ(C3DScene::GetUnitFactor(_UNIT_MODE(99)), 1.0);
    EXPECT_EQ(C3DScene::GetUnitText(UNIT_CENTIMETER), L"cm");
    EXPECT_TRUE(C3DScene::GetUnitText(UNIT_NONE).IsEmpty());
    C3DScene scene;
    C3DSceneNode* n = scene.CreateNode(nullptr, L"N", MakeQuad(0, 100.0f));
    EXPECT_FALSE(scene.ConvertToUnit(UNIT_METER));  // no unit yet
    scene.SetUnit(UNIT_CENTIMETER, 2.0);
    EXPECT_TRUE(scene.ConvertToUnit(UNIT_METER));
    EXPECT_EQ(scene.GetUnit(), UNIT_METER);
    EXPECT_DOUBLE_EQ(scene.GetScaleFactor(), 1.0);
    EXPECT_NEAR(n->GetGeomObject()->GetPointList()->GetAt(0).x, 2.0f, 1e-5);  // 100 * 2 cm
}

TEST(SceneTest, SmoothAngleFollowsThePreferencesUntilSet) {
    C3DScene scene;
    const float prefsAngle = Get3DPreferences()->GetSmoothAngle();
    EXPECT_FALSE(scene.SetSmoothAngle(-1.0f));  // the preferences' angle: no change
    EXPECT_FALSE(scene.GetProperties().HasData(SCENE_PROP_SMOOTH_ANGLE));
    EXPECT_FALSE(scene.SetSmoothAngle(float(180.02 * std::numbers::pi / 180)));
    EXPECT_FALSE(scene.SetSmoothAngle(-0.5f));
    EXPECT_TRUE(scene.SetSmoothAngle(float(180.009 * std::numbers::pi / 180)));
    EXPECT_TRUE(scene.SetSmoothAngle(0.5f));
    EXPECT_FLOAT_EQ(scene.GetSmoothAngle(), 0.5f);
    EXPECT_FLOAT_EQ(Get3DPreferences()->GetSmoothAngle(), prefsAngle);
    EXPECT_FALSE(scene.SetSmoothAngle(0.5f));
    EXPECT_TRUE(scene.SetSmoothAngle(-1.0f));  // back to the preferences' value, stored
    EXPECT_FLOAT_EQ(scene.GetSmoothAngle(), prefsAngle);
    EXPECT_TRUE(scene.SetSmoothAngle(0.7f, true));
    EXPECT_FLOAT_EQ(Get3DPreferences()->GetSmoothAngle(), 0.7f);
    Get3DPreferences()->SetSmoothAngle(prefsAngle);

    EXPECT_TRUE(scene.SetSmoothMode(NORMAL_SMOOTH_ANGLE));
    EXPECT_EQ(scene.GetSmoothMode(), NORMAL_SMOOTH_ANGLE);
    EXPECT_FALSE(scene.SetSmoothMode(NORMAL_SMOOTH_ANGLE));
    EXPECT_TRUE(scene.SetSmoothMode(NORMAL_SMOOTH_SCENE));  // back to the preferences' mode
    EXPECT_EQ(scene.GetSmoothMode(), Get3DPreferences()->GetSmoothMode());
}

// An object whose smoothing follows its scene reads the scene's angle and mode (and the
// preferences' in no scene), so normals generated for it use what the scene was given.
TEST(SceneTest, ObjectsFollowingTheSceneTakeItsSmoothing) {
    C3DScene scene;
    C3DSceneNode* node = scene.CreateNode(nullptr, L"A", MakeQuad());
    C3DGeomObject* object = node->GetGeomObject();
    ASSERT_TRUE(scene.SetSmoothAngle(1.0f));
    ASSERT_TRUE(scene.SetSmoothMode(NORMAL_SMOOTH_ANGLE));
    bool fromScene = false;
    EXPECT_FLOAT_EQ(object->GetSmoothAngle(&fromScene), 1.0f);
    EXPECT_TRUE(fromScene);
    EXPECT_EQ(object->GetSmoothMode(&fromScene), NORMAL_SMOOTH_ANGLE);
    EXPECT_TRUE(fromScene);
    object->SetSmoothAngle(0.25f);  // its own from here on
    EXPECT_FLOAT_EQ(object->GetSmoothAngle(&fromScene), 0.25f);
    EXPECT_FALSE(fromScene);

    C3DObject loose;
    EXPECT_FLOAT_EQ(loose.GetSmoothAngle(), Get3DPreferences()->GetSmoothAngle());
    EXPECT_EQ(loose.GetSmoothMode(), Get3DPreferences()->GetSmoothMode());
}

TEST(SceneTest, MaterialsFollowTheirObjectsAcrossScenes) {
    C3DScene target;
    target.CreateNewMaterial(1)->SetName(L"mine");
    C3DScene source;
    source.CreateNewMaterial(1)->SetName(L"theirs");
    source.CreateNewMaterial(2)->SetName(L"two");
    C3DSceneNode* s = source.CreateNode(nullptr, L"S", MakeQuad(1));
    s->GetGeomObject()->GetFaceList()->SetFaceMaterial(1, 2);

    ASSERT_TRUE(target.AddScene(source));
    unsigned theirs = target.FindMaterialID(L"theirs");
    ASSERT_NE(theirs, MATERIAL_NONE);
    EXPECT_NE(theirs, 1u);
    C3DSceneNode* copied = target.GetRoot()->GetFirstChildNode();
    EXPECT_EQ(copied->GetGeomObject()->GetFaceList()->GetFaceMaterial(0), theirs);
    EXPECT_EQ(copied->GetGeomObject()->GetFaceList()->GetFaceMaterial(1), 2u);  // free identifier kept
    EXPECT_EQ(s->GetGeomObject()->GetFaceList()->GetFaceMaterial(0), 1u);      // the source keeps its own

    C3DScene merged;
    merged.CreateNewMaterial(2)->SetName(L"taken");
    C3DSceneNode* instance = source.CreateInstance(s);  // s's object, shared by two nodes
    ASSERT_TRUE(merged.Merge(source));
    EXPECT_EQ(source.GetNodeCount(), 1);
    EXPECT_TRUE(source.GetMaterialTable().IsEmpty());
    EXPECT_EQ(s->GetScene(), &merged);
    EXPECT_EQ(instance->GetScene(), &merged);
    EXPECT_EQ(s->GetBaseObject()->GetScene(), &merged) << "a shared object moves with all its nodes";
    unsigned two = merged.FindMaterialID(L"two");
    EXPECT_NE(two, 2u);
    EXPECT_EQ(s->GetGeomObject()->GetFaceList()->GetFaceMaterial(1), two);
    EXPECT_EQ(s->GetGeomObject()->GetFaceList()->GetFaceMaterial(0), 1u);

    CMaterialCountMap used;
    EXPECT_EQ(merged.GetMaterials(used), 2);
    unsigned count = 0;
    EXPECT_TRUE(used.Find(two, count));
    EXPECT_EQ(count, 1u);
    CFBMaterialHashMap pairs;
    EXPECT_EQ(merged.GetFBMaterials(pairs), 2);
}

TEST(SceneTest, CheckoutImportCreatesMissingMaterialsAndNamesThem) {
    C3DScene scene;
    scene.SetFileName(L"/data/model.obj");
    scene.CreateNewMaterial(3)->SetName(L"Red");
    C3DSceneNode* n = scene.CreateNode(nullptr, L"N", MakeQuad(3));
    n->GetGeomObject()->GetFaceList()->SetFaceMaterial(1, 7);
    n->SetPosition(C3DTVector<float>(1, 0, 0));
    EXPECT_TRUE(scene.CheckoutImport(SCENE_IMPORT_GLOBAL_COORDINATES));
    EXPECT_EQ(scene.GetMaterialByID(3)->GetName(), L"Red");
    ASSERT_NE(scene.GetMaterialByID(7), nullptr);
    EXPECT_EQ(scene.GetMaterialByID(7)->GetName(), L"Material 7");
    EXPECT_FALSE(n->HasKeys());
    EXPECT_FLOAT_EQ(n->GetGeomObject()->GetPointList()->GetAt(0).x, 1.0f);
}

TEST(SceneTest, CenterPivotAndBoundingBoxes) {
    C3DScene scene;
    C3DSceneNode* n = scene.CreateNode(nullptr, L"N", MakeQuad(0, 10.0f));
    n->SetPosition(C3DTVector<float>(0, 0, 3));
    C3DSceneNode* twin = scene.CreateInstance(n);
    C3DTBBox<float> before, after;
    ASSERT_TRUE(n->GetBoundingBox(before));
    EXPECT_FLOAT_EQ(before.GetMin().x, 10.0f);
    EXPECT_FLOAT_EQ(before.GetMax().z, 3.0f);
    C3DTPoint<float> cg;
    ASSERT_TRUE(n->GetCG(cg));
    EXPECT_FLOAT_EQ(cg.x, 10.5f);
    ASSERT_TRUE(scene.CenterPivotOnCG(n));
    ASSERT_TRUE(n->GetCG(cg));
    EXPECT_NEAR(cg.x, 0.0f, 1e-6);
    ASSERT_TRUE(twin->GetBoundingBox(after));  // the instance moved its offset too
    EXPECT_FLOAT_EQ(after.GetMin().x, before.GetMin().x);
    EXPECT_FLOAT_EQ(after.GetMax().y, before.GetMax().y);
    ASSERT_TRUE(scene.GetRoot()->GetBoundingBox(after, 0, true));
    EXPECT_FLOAT_EQ(after.GetMax().x, 11.0f);
    EXPECT_FALSE(scene.GetRoot()->GetBoundingBox(after));  // the root itself has no geometry

    // An object's own box in world space goes through its node's transform, and asks for a node.
    C3DSceneNode* moved = scene.CreateNode(nullptr, L"M", MakeQuad(0, 0.0f));
    moved->SetPosition(C3DTVector<float>(5, 0, 0));
    C3DGeomObject* quad = moved->GetGeomObject();
    C3DTBBox<float> local, world;
    ASSERT_TRUE(quad->GetBoundingBox(local, BBOX_FACES));
    ASSERT_TRUE(quad->GetBoundingBox(world, BBOX_FACES | BBOX_WORLD, 0, false, moved));
    EXPECT_FLOAT_EQ(world.GetMin().x, local.GetMin().x + 5.0f);
    EXPECT_FLOAT_EQ(world.GetMax().x, local.GetMax().x + 5.0f);
    EXPECT_FALSE(quad->GetBoundingBox(world, BBOX_POINTS | BBOX_WORLD));
    C3DTBBox<float> again;
    ASSERT_TRUE(quad->GetBoundingBox(again, BBOX_FACES));  // the cached local box is untouched
    EXPECT_FLOAT_EQ(again.GetMin().x, local.GetMin().x);
    EXPECT_FLOAT_EQ(again.GetMax().x, local.GetMax().x);
}

TEST(SceneTest, ParserDataIsReleasedWhenReplacedAndWithTheScene) {
    static int released = 0;
    released = 0;
    auto release = [](void*) { ++released; };
    int payload = 1;
    {
        C3DScene scene;
        scene.SetParserData(0x4F424A20, &payload, release);
        uint32_t cls = 0;
        EXPECT_EQ(scene.GetParserData(&cls), &payload);
        EXPECT_EQ(cls, 0x4F424A20u);
        scene.SetParserData(0x4F424A20, &payload, release);  // the same data: kept
        EXPECT_EQ(released, 0);
        int other = 2;
        scene.SetParserData(0x33444946, &other, release);
        EXPECT_EQ(released, 1);
    }
    EXPECT_EQ(released, 2);
}

// ---- extension points -----------------------------------------------------------------------

// Installs hooks for one test and restores the previous ones.
class HookTest : public ::testing::Test {
protected:
    // Each test starts without hooks (the mesh side installs real ones when the library loads)
    // and installs the ones it needs.
    void SetUp() override {
        m_saved = GetSceneObjectHooks();
        SetSceneObjectHooks(C3DSceneObjectHooks{});
    }
    void TearDown() override { SetSceneObjectHooks(m_saved); }
    C3DSceneObjectHooks m_saved;
};

std::mutex g_seenLock;
std::multiset<const void*> g_seen;

TEST_F(HookTest, GenerateNormalsVisitsEveryObjectOnceInParallel) {
    C3DScene scene;
    EXPECT_EQ(scene.GenerateNormals(nullptr, 0, NORMAL_SMOOTH_AREA), 0);  // no hook
    std::vector<C3DSceneNode*> nodes;
    for (int i = 0; i < 40; ++i) nodes.push_back(scene.CreateNode(nullptr, L"n", MakeQuad()));
    for (int i = 0; i < 40; i += 2) scene.CreateInstance(nodes[i]);
    scene.CreateNode(nullptr, L"d", new C3DDummy);
    C3DSceneObjectHooks hooks = {};
    hooks.generateNormals = [](C3DGeomObject* object, unsigned value, _NormalSmoothMode mode) {
        std::lock_guard<std::mutex> lock(g_seenLock);
        g_seen.insert(object);
        return value == 7 && mode == NORMAL_SMOOTH_ANGLE;
    };
    SetSceneObjectHooks(hooks);
    g_seen.clear();
    EXPECT_EQ(scene.GenerateNormals(nullptr, 7, NORMAL_SMOOTH_ANGLE), 40);
    EXPECT_EQ(g_seen.size(), 40u);
    for (const void* o : g_seen) EXPECT_EQ(g_seen.count(o), 1u);
    // Below one node only.
    g_seen.clear();
    scene.CreateNode(nodes[3], L"child", MakeTriangle());
    EXPECT_EQ(scene.GenerateNormals(nodes[3], 7, NORMAL_SMOOTH_ANGLE), 1);
    EXPECT_EQ(g_seen.size(), 1u);

    // The progress reaches the end of its range also when another thread than the caller's
    // finishes the last object (here every object of the other threads takes a while).
    static std::thread::id caller;
    caller = std::this_thread::get_id();
    hooks.generateNormals = [](C3DGeomObject*, unsigned, _NormalSmoothMode) {
        if (std::this_thread::get_id() != caller) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return true;
    };
    SetSceneObjectHooks(hooks);
    struct Last {
        int position = -1, maximum = -1;
    } last;
    progressPushCallback(
        [](unsigned kind, const ProcessProgressInfo& info, void* user) {
            if (kind & PROGRESS_POSITION) static_cast<Last*>(user)->position = info.position;
            static_cast<Last*>(user)->maximum = info.maximum;
            return false;
        },
        &last);
    EXPECT_EQ(scene.GenerateNormals(nullptr, 7, NORMAL_SMOOTH_ANGLE), 41);  // the child's too
    progressPopCallback();
    EXPECT_EQ(last.position, 41);
    EXPECT_EQ(last.maximum, 41);
}

std::map<const void*, int> g_order;

// An exception of one object's work may not leave the parallel loop (the process would end): it
// reaches the caller, registered for the calling thread, and of several the first object's wins
// whichever thread raised it first.
TEST_F(HookTest, GenerateNormalsRaisesTheFirstFailingObjectsExceptionOnTheCaller) {
    C3DScene scene;
    std::vector<C3DSceneNode*> nodes;
    for (int i = 0; i < 40; ++i) nodes.push_back(scene.CreateNode(nullptr, L"n", MakeQuad()));
    g_order.clear();
    for (int i = 0; i < 40; ++i) g_order[nodes[size_t(i)]->GetGeomObject()] = i;
    C3DSceneObjectHooks hooks = {};
    hooks.generateNormals = [](C3DGeomObject* object, unsigned, _NormalSmoothMode) {
        const int i = g_order.at(object);
        if (i == 31) XThrow<CXInvalidArgException>("object 31");
        if (i == 12) XThrow<CXInvalidArgException>("object 12");
        return true;
    };
    SetSceneObjectHooks(hooks);
    for (int run = 0; run < 4; ++run) {
        try {
            scene.GenerateNormals(nullptr, 7, NORMAL_SMOOTH_ANGLE);
            ADD_FAILURE() << "nothing raised";
        } catch (CXException* e) {
            EXPECT_STREQ(e->GetMessage(), "object 12");
            EXPECT_EQ(XGetThreadException(), e);
            XDeleteThreadException();
        }
    }
}

// Appends the source faces of `material` (all for MATERIAL_NONE) with their own copy of the
// points they use; enough geometry handling for the scene-level tests.
bool AppendForTest(C3DGeomObject* dst, const C3DGeomObject* src, const C4x4TMatrix<float>& m, unsigned material) {
    const C3DFaceList* faces = src->GetFaceList();
    const C3DPointList* points = src->GetPointList();
    bool any = false;
    for (int f = 0; f < faces->GetNumberOfFaces(); ++f) {
        unsigned id = faces->GetFaceMaterial(unsigned(f));
        if (material != MATERIAL_NONE && id != material) continue;
        int count = 0;
        const int* idx = faces->GetIndexes(unsigned(f), count);
        int first = dst->GetPointList()->GetNumberOfPoints();
        for (int k = 0; k < count; ++k) {
            C3DTPoint<float> p = m.TransformPoint(points->GetAt(idx[k]));
            dst->GetPointList()->Add(p.x, p.y, p.z);
        }
        int face = dst->GetFaceList()->ExpandSize(1);
        C3DFace view;
        dst->GetFaceList()->GetFace(unsigned(face), view);
        view.SetTriangle(first, first + 1, first + 2);
        view.SetMaterialID(id);
        any = true;
    }
    return any;
}

TEST_F(HookTest, ConcatenateMergesIntoOneNodeAndRetiresTheSources) {
    C3DScene scene;
    scene.SetFileName(L"/data/model.obj");
    C3DSceneNode* a = scene.CreateNode(nullptr, L"A", MakeQuad(1));
    a->SetPosition(C3DTVector<float>(10, 0, 0));
    C3DSceneNode* b = scene.CreateNode(nullptr, L"B", MakeTriangle(2));
    C3DSceneNode* light = scene.CreateNode(b, L"light", new C3DLight);
    EXPECT_EQ(scene.Concatenate(nullptr, 0, nullptr), nullptr);  // no hook: nothing done
    EXPECT_EQ(scene.GetNodeCount(), 4);

    C3DSceneObjectHooks hooks = {};
    hooks.appendObject = AppendForTest;
    SetSceneObjectHooks(hooks);
    EXPECT_TRUE(scene.CheckoutImport(SCENE_IMPORT_CONCATENATE));
    // A went; B stays (it has a child that was not merged) but lost its object.
    EXPECT_EQ(Walk(scene, KIND_ALL, WALK_EMPTY_NODES), (Names{L"B", L"light", L"model"}));
    EXPECT_EQ(b->GetBaseObject(), nullptr);
    EXPECT_EQ(light->GetObjectKindOf(), OBJECT_LIGHT);
    C3DSceneNode* merged = b->GetNextSiblingNode();
    EXPECT_EQ(merged->GetGeomObject()->GetFaceNbr(), 3);
    C3DTBBox<float> box;
    ASSERT_TRUE(merged->GetBoundingBox(box));
    EXPECT_FLOAT_EQ(box.GetMax().x, 11.0f);  // A's transform went into the geometry

    C3DScene byMaterial;
    byMaterial.CreateNewMaterial(1)->SetName(L"one");
    byMaterial.CreateNode(nullptr, L"A", MakeQuad(1));
    byMaterial.CreateNode(nullptr, L"B", MakeTriangle(2));
    C3DObject* twoMaterials = MakeQuad(2, 5.0f);
    twoMaterials->GetFaceList()->SetFaceMaterial(1, 1);
    C3DSceneNode* c = byMaterial.CreateNode(nullptr, L"C", twoMaterials);
    byMaterial.CreateInstance(c, nullptr);
    EXPECT_EQ(byMaterial.ConcatenateByMaterials(nullptr, 0, nullptr), 2);
    EXPECT_EQ(Walk(byMaterial, KIND_ALL, WALK_EMPTY_NODES), (Names{L"one", L"Material 2"}));
    // Each material's node takes its faces from every node that shows them, instances included:
    // A's two and one of each C; B's one and one of each C.
    C3DSceneNode* one = byMaterial.GetRoot()->GetFirstChildNode();
    EXPECT_EQ(one->GetGeomObject()->GetFaceNbr(), 4);
    EXPECT_EQ(one->GetNextSiblingNode()->GetGeomObject()->GetFaceNbr(), 3);
    unsigned expected = 1;
    for (C3DSceneNode* n = one; n; n = n->GetNextSiblingNode(), ++expected) {
        const C3DFaceList& faces = *n->GetGeomObject()->GetFaceList();
        for (int f = 0; f < faces.GetSize(); ++f) EXPECT_EQ(faces.GetFaceMaterial(unsigned(f)), expected);
    }

    // Instances merged from one branch: an object that a node outside the branch still shows
    // keeps the scene, one that only the host still holds leaves it.
    C3DScene instances;
    C3DSceneNode* group = instances.CreateNode(nullptr, L"group", nullptr);
    C3DSceneNode* shown = instances.CreateNode(group, L"shown", MakeQuad(1));
    C3DSceneNode* held = instances.CreateNode(group, L"held", MakeTriangle(2));
    C3DBaseObject* shownObject = shown->GetBaseObject();
    C3DBaseObject* heldObject = held->GetBaseObject();
    heldObject->AddRef();
    for (int i = 0; i < 3; ++i) {
        instances.CreateInstance(shown, group);
        instances.CreateInstance(held, group);
    }
    ASSERT_NE(instances.CreateInstance(shown, instances.GetRoot()), nullptr);  // outside the branch
    ASSERT_NE(instances.Concatenate(group, 0, nullptr), nullptr);
    EXPECT_EQ(shownObject->GetScene(), &instances);
    EXPECT_EQ(heldObject->GetScene(), nullptr);
    heldObject->Delete();
}

}  // namespace
