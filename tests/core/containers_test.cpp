#include "kestovar/core/containers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "container_test_util.h"
#include "kestovar/core/tree.h"
#include "kestovar/core/xstring.h"

using namespace kestovar;
using namespace kestovar::test;

// ---- CBitArray ---------------------------------------------------------------------------------------

TEST(BitArray, BitsPastTheSizeStayClearedThroughShrinkAndRegrow) {
    CBitArray b;
    b.SetSize(40, true);
    EXPECT_EQ(b.CountSet(), 40);
    b.SetSize(5);
    b.SetSize(40);  // the 35 bits coming back must be false, not the old ones
    EXPECT_EQ(b.CountSet(), 5);
    EXPECT_FALSE(b.Get(39));
    b.SetSize(33);
    b.SetAll(true);
    EXPECT_EQ(b.CountSet(), 33);  // the unused part of the second word is not counted
    b.SetSize(64);
    EXPECT_EQ(b.CountSet(), 33);
    b.SetSize(70, true);  // new bits from 64 take the value
    EXPECT_EQ(b.CountSet(), 39);
    EXPECT_FALSE(b.Get(63));
    EXPECT_TRUE(b.Get(64));
}

TEST(BitArray, SingleBitsAndSearch) {
    CBitArray b(100);
    b.Set(3);
    b.Set(31);
    b.Set(32);
    b.Set(99);
    b.Toggle(3);
    b.Clear(31);
    b.Set(31, true);
    EXPECT_EQ(b.FindNextSet(0), 31);
    EXPECT_EQ(b.FindNextSet(32), 32);
    EXPECT_EQ(b.FindNextSet(33), 99);
    EXPECT_EQ(b.FindNextSet(100), -1);
    b.SetAtGrow(130);
    EXPECT_EQ(b.GetSize(), 131);
    EXPECT_EQ(b.Add(true), 131);
    EXPECT_EQ(b.CountSet(), 5);
    CBitArray c(b);
    EXPECT_TRUE(c == b);
    c.Clear(130);
    EXPECT_TRUE(c != b);
    EXPECT_TRUE(ThrowsX<CXInvalidArgException>([&] { b.SetSize(-1); }));
    EXPECT_TRUE(ThrowsX<CXInvalidArgException>([&] { b.SetAtGrow(-3); }));
}

TEST(BitArray, SerializesTheCountThenLittleEndianWords) {
    CBitArray b(35);
    b.Set(0);
    b.Set(33);
    Bytes bytes = StoreBytes([&](CXArchive& ar) { b.Serialize(ar); });
    EXPECT_EQ(bytes, (Bytes{0x23, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));

    // Forged words with bits past the size set: they are dropped on loading.
    Bytes forged = {0x23, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF};
    CBitArray c;
    LoadBytes(forged, [&](CXArchive& ar) { c.Serialize(ar); });
    EXPECT_EQ(c.GetSize(), 35);
    EXPECT_EQ(c.CountSet(), 3);  // bits 0, 33, 34

    Bytes huge = {0xFF, 0xFF};
    PutU32(huge, 0x7FFFFFFF);
    PutU32(huge, 0);
    EXPECT_EQ(ArchiveCause([&] { LoadBytes(huge, [&](CXArchive& ar) { c.Serialize(ar); }); }),
              CXArchiveException::endOfFile);
}

// ---- stacks and queues -------------------------------------------------------------------------------

TEST(Stack, LastInFirstOutThroughTheInterface) {
    CStack<CXTString<char>> concrete;
    AbsStack<CXTString<char>>& s = concrete;
    CXTString<char> out("untouched");
    EXPECT_FALSE(s.Pop(out));
    EXPECT_EQ(std::string(out.GetString()), "untouched");
    EXPECT_EQ(s.Top(), nullptr);
    for (const char* t : {"a", "b", "c"}) s.Push(CXTString<char>(t));
    EXPECT_EQ(s.GetCount(), 3);
    EXPECT_EQ(std::string(s.Top()->GetString()), "c");
    ASSERT_TRUE(s.Pop(out));
    EXPECT_EQ(std::string(out.GetString()), "c");
    ASSERT_TRUE(s.Pop(out));
    EXPECT_EQ(std::string(out.GetString()), "b");
    EXPECT_EQ(std::string(concrete.GetAt(0).GetString()), "a");
    s.RemoveAll();
    EXPECT_TRUE(s.IsEmpty());
}

TEST(Queue, FirstInFirstOutAcrossWrapAndGrowth) {
    CQueue<int> q;
    AbsQueue<int>& a = q;
    int v = -1;
    EXPECT_FALSE(a.Pop(v));
    EXPECT_EQ(v, -1);
    for (int i = 0; i < 6; ++i) a.Push(i);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(a.Pop(v));
        EXPECT_EQ(v, i);
    }
    // The head now sits at slot 4 of 8: these pushes wrap, then overflow the ring.
    for (int i = 6; i < 20; ++i) a.Push(i);
    EXPECT_EQ(q.GetCapacity(), 16);
    EXPECT_EQ(*a.Front(), 4);
    EXPECT_EQ(q.GetAt(15), 19);
    for (int i = 4; i < 20; ++i) {
        ASSERT_TRUE(a.Pop(v));
        EXPECT_EQ(v, i);
    }
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.Front(), nullptr);
}

TEST(Queue, NonTrivialElementsAreReleased) {
    CQueue<CXTString<wchar_t>> q;
    for (int i = 0; i < 7; ++i) q.Push(CXTString<wchar_t>(L"a string long enough to own a buffer"));
    CXTString<wchar_t> s;
    q.Pop(s);
    q.Pop(s);
    for (int i = 0; i < 9; ++i) q.Push(q.GetAt(0));  // the argument lives in the ring being grown
    EXPECT_EQ(q.GetCount(), 14);
    EXPECT_EQ(q.GetAt(13).GetLength(), s.GetLength());
    // The sanitizer build checks that the destructor releases what is left.
}

// ---- CAssociationMap ---------------------------------------------------------------------------------

TEST(AssociationMap, DenseIndicesAndContiguousValues) {
    CAssociationMap<FBMaterialID, float> m;
    EXPECT_EQ(m.Add(FBMaterialID{1, 2}, 0.5f), 0u);
    EXPECT_EQ(m.Add(FBMaterialID{2, 1}, 1.5f), 1u);
    EXPECT_EQ(m.Add(FBMaterialID{7, 7}, 2.5f), 2u);
    EXPECT_EQ(m.Add(FBMaterialID{1, 2}, 9.0f), 0u);  // existing key: value replaced
    EXPECT_EQ(m.GetCount(), 3);
    EXPECT_EQ(m.GetData()[0], 9.0f);
    EXPECT_EQ(m.Lookup(FBMaterialID{5, 5}), decltype(m)::kNotFound);
    EXPECT_EQ(m.FindOrAdd(FBMaterialID{5, 5}), 3u);
    EXPECT_EQ(m[3], 0.0f);

    // Removing index 1 moves the last entry (index 3) into it.
    EXPECT_TRUE(m.Remove(FBMaterialID{2, 1}));
    EXPECT_FALSE(m.Remove(FBMaterialID{2, 1}));
    EXPECT_EQ(m.GetCount(), 3);
    EXPECT_EQ(m.Lookup(FBMaterialID{5, 5}), 1u);
    EXPECT_TRUE(m.GetKeyAt(1) == (FBMaterialID{5, 5}));
    EXPECT_EQ(*m.Find(FBMaterialID{7, 7}), 2.5f);
    // Removing the last entry moves nothing.
    EXPECT_TRUE(m.Remove(FBMaterialID{7, 7}));
    EXPECT_EQ(m.Lookup(FBMaterialID{5, 5}), 1u);
}

TEST(AssociationMap, TheIndexTypeBoundsTheEntryCount) {
    CAssociationMap<int, int, unsigned char> m;
    for (int i = 0; i < 255; ++i) ASSERT_EQ(m.FindOrAdd(i * 3), unsigned(i));  // 255 is kNotFound
    EXPECT_TRUE(ThrowsX<CXInvalidArgException>([&] { m.FindOrAdd(10000); }));
    EXPECT_EQ(m.FindOrAdd(3), 1u);  // existing keys still resolve
}

TEST(AssociationMap, SerializeRoundTripAndRejectsInconsistentData) {
    CAssociationMap<int, short> m;
    m.Add(10, 1);
    m.Add(20, 2);
    Bytes bytes = StoreBytes([&](CXArchive& ar) { m.Serialize(ar); });
    EXPECT_EQ(bytes, (Bytes{0x02, 0x00, 10, 0, 0, 0, 20, 0, 0, 0, 0x02, 0x00, 1, 0, 2, 0}));
    CAssociationMap<int, short> n;
    LoadBytes(bytes, [&](CXArchive& ar) { n.Serialize(ar); });
    EXPECT_EQ(n.Lookup(20), 1u);
    EXPECT_EQ(n[1], 2);

    Bytes repeated = {0x02, 0x00, 10, 0, 0, 0, 10, 0, 0, 0, 0x02, 0x00, 1, 0, 2, 0};
    EXPECT_EQ(ArchiveCause([&] { LoadBytes(repeated, [&](CXArchive& ar) { n.Serialize(ar); }); }),
              CXArchiveException::badIndex);
    EXPECT_EQ(n.GetCount(), 0);
    Bytes mismatch = {0x02, 0x00, 10, 0, 0, 0, 20, 0, 0, 0, 0x01, 0x00, 1, 0};
    EXPECT_EQ(ArchiveCause([&] { LoadBytes(mismatch, [&](CXArchive& ar) { n.Serialize(ar); }); }),
              CXArchiveException::badIndex);
}

// ---- CTree -------------------------------------------------------------------------------------------

namespace {

// A node that reports its destruction, to check ownership.
struct NamedNode : CTreeNode {
    static std::vector<std::string>* deleted;
    std::string name;
    explicit NamedNode(std::string n) : name(std::move(n)) {}
    ~NamedNode() override {
        if (deleted) deleted->push_back(name);
    }
};
std::vector<std::string>* NamedNode::deleted = nullptr;

const std::string& Name(CTreeNode* n) { return static_cast<NamedNode*>(n)->name; }

struct Recorder : TreeTraversalCallback {
    std::vector<std::string> seen;
    std::string stopAt;
    bool OnNode(CTreeNode* node, int depth) override {
        seen.push_back(std::string(size_t(depth), '.') + Name(node));
        return Name(node) != stopAt;
    }
};

struct NameIs : TreeSearchCallback {
    std::string wanted;
    explicit NameIs(std::string w) : wanted(std::move(w)) {}
    bool Match(CTreeNode* node) override { return Name(node) == wanted; }
};

// root
// ├── a
// │   ├── a1
// │   └── a2
// │       └── a2x
// └── b
struct SampleTree {
    CTree tree;
    CTreeNode *root, *a, *a1, *a2, *a2x, *b;
    SampleTree() {
        root = tree.AddNode(new NamedNode("root"));
        a = tree.AddNode(new NamedNode("a"));
        b = tree.AddNode(new NamedNode("b"));
        a1 = tree.AddNode(new NamedNode("a1"), a);
        a2 = tree.AddNode(new NamedNode("a2"), a);
        a2x = tree.AddNode(new NamedNode("a2x"), a2);
    }
};

std::vector<std::string> Walk(CTree& t, CTreeNode* start = nullptr) {
    Recorder r;
    t.Traverse(r, start);
    return r.seen;
}

}  // namespace

TEST(Tree, DepthFirstPreOrderWithDepthsAndEarlyStop) {
    SampleTree s;
    EXPECT_EQ(Walk(s.tree), (std::vector<std::string>{"root", ".a", "..a1", "..a2", "...a2x", ".b"}));
    EXPECT_EQ(Walk(s.tree, s.a2), (std::vector<std::string>{"a2", ".a2x"}));  // stays in the subtree
    Recorder r;
    r.stopAt = "a2";
    EXPECT_FALSE(s.tree.Traverse(r));
    EXPECT_EQ(r.seen.back(), "..a2");
    NameIs search("a2x");
    EXPECT_EQ(s.tree.Find(search), s.a2x);
    NameIs outside("b");
    EXPECT_EQ(s.tree.Find(outside, s.a), nullptr);
    EXPECT_EQ(s.tree.GetNodeCount(), 6);
    EXPECT_EQ(s.a2x->GetDepth(), 3);
    EXPECT_EQ(s.a->GetChildCount(), 2);
    EXPECT_EQ(s.a->GetChild(1), s.a2);
    EXPECT_EQ(s.a2->GetPrevSibling(), s.a1);
}

TEST(Tree, InsertDetachAndMoveKeepTheLinksConsistent) {
    SampleTree s;
    s.tree.InsertNode(new NamedNode("a0"), s.a, nullptr);  // first child
    s.tree.InsertNode(new NamedNode("a1b"), s.a, s.a1);
    EXPECT_EQ(Walk(s.tree, s.a), (std::vector<std::string>{"a", ".a0", ".a1", ".a1b", ".a2", "..a2x"}));

    // Removing the last child must update the last-child link, or the next AddChild is lost.
    CTreeNode* removed = s.tree.RemoveNode(s.a2);
    EXPECT_EQ(removed->GetParent(), nullptr);
    s.tree.AddNode(new NamedNode("a3"), s.a);
    EXPECT_EQ(Name(s.a->GetLastChild()), "a3");
    EXPECT_EQ(s.a->GetChildCount(), 4);

    // The removed subtree is the caller's; it can be linked back elsewhere.
    s.tree.AddNode(removed, s.b);
    EXPECT_EQ(Walk(s.tree, s.b), (std::vector<std::string>{"b", ".a2", "..a2x"}));

    // Moves: a node may not go under itself or its own subtree, nor may the root move.
    EXPECT_FALSE(s.tree.MoveNode(s.b, s.a2x));
    EXPECT_FALSE(s.tree.MoveNode(s.b, s.b));
    EXPECT_FALSE(s.tree.MoveNode(s.root, s.a));
    EXPECT_TRUE(s.tree.MoveNode(s.a2, s.a));
    EXPECT_EQ(Name(s.a->GetLastChild()), "a2");
    EXPECT_TRUE(s.tree.MoveNodeAfter(s.a2, s.a, nullptr));
    EXPECT_EQ(Name(s.a->GetFirstChild()), "a2");
    EXPECT_FALSE(s.b->HasChildren());
    // Linking a node that already has a parent is a programming error.
    EXPECT_TRUE(ThrowsX<CXInvalidArgException>([&] { s.b->AddChild(s.a1); }));
    // So is linking the top of a detached subtree under one of its own descendants.
    CTreeNode* top = s.tree.RemoveNode(s.a2);
    EXPECT_TRUE(ThrowsX<CXInvalidArgException>([&] { s.a2x->AddChild(top); }));
    EXPECT_TRUE(ThrowsX<CXInvalidArgException>([&] { top->AddChild(top); }));
    delete top;
}

TEST(Tree, TheTreeOwnsAndDeletesEveryNode) {
    std::vector<std::string> deleted;
    NamedNode::deleted = &deleted;
    {
        SampleTree s;
        s.tree.DeleteNode(s.a2);  // the subtree goes with it
        std::sort(deleted.begin(), deleted.end());
        EXPECT_EQ(deleted, (std::vector<std::string>{"a2", "a2x"}));
        EXPECT_EQ(s.a->GetLastChild(), s.a1);
        deleted.clear();
    }
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(deleted, (std::vector<std::string>{"a", "a1", "b", "root"}));
    NamedNode::deleted = nullptr;
}

TEST(Tree, DeepChainsAreWalkedAndDeletedWithoutRecursion) {
    // A chain this deep would overflow the stack of a recursive walk or destructor.
    CTree tree;
    CTreeNode* node = tree.AddNode(new CTreeNode);
    for (int i = 0; i < 300000; ++i) node = node->AddChild(new CTreeNode);
    EXPECT_EQ(tree.GetNodeCount(), 300001);
    struct Deepest : TreeTraversalCallback {
        int max = 0;
        bool OnNode(CTreeNode*, int depth) override {
            if (depth > max) max = depth;
            return true;
        }
    } deepest;
    tree.Traverse(deepest);
    EXPECT_EQ(deepest.max, 300000);
    tree.DeleteAll();
    EXPECT_TRUE(tree.IsEmpty());
}
