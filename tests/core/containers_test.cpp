#include "kestovar/core/containers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "test_util.h"
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
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { b.SetSize(-1); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { b.SetAtGrow(-3); }));
}

TEST(BitArray, SerializesTheCountThenLittleEndianWords) {
    CBitArray b(35);
    b.Set(0);
    b.Set(33);
    Bytes bytes = Store([&](CXArchive& ar) { b.Serialize(ar); });
    EXPECT_EQ(bytes, (Bytes{0x23, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));

    // Forged words with bits past the size set: they are dropped on loading.
    Bytes forged = {0x23, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF};
    CBitArray c;
    Load(forged, [&](CXArchive& ar) { c.Serialize(ar); });
    EXPECT_EQ(c.GetSize(), 35);
    EXPECT_EQ(c.CountSet(), 3);  // bits 0, 33, 34

    Bytes huge = {0xFF, 0xFF};
    PutU32(huge, 0x7FFFFFFF);
    PutU32(huge, 0);
    EXPECT_EQ(ArchiveCause([&] { Load(huge, [&](CXArchive& ar) { c.Serialize(ar); }); }),
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

// The values of `key` as a vector.
template <class MAP, class KEY>
std::vector<int> ValuesOf(const MAP& m, const KEY& key) {
    unsigned n = 99;
    const int* v = m.Find(key, n);
    if (!v) {
        EXPECT_EQ(n, 0u);
        return {};
    }
    return std::vector<int>(v, v + n);
}

TEST(AssociationMap, EachKeyKeepsItsValuesContiguousInAdditionOrder) {
    // Records start with room for 2 values; key 1 outgrows its record three times while the
    // other lists around it must stay intact.
    CAssociationMap<int, int, unsigned short> m;
    EXPECT_TRUE(m.IsEmpty());
    EXPECT_EQ(m.Add(1, 10), 1u);
    EXPECT_EQ(m.Add(2, 20), 1u);
    EXPECT_EQ(m.Add(1, 11), 2u);
    EXPECT_EQ(m.Add(3, 30), 1u);
    for (int v = 12; v < 17; ++v) m.Add(1, v);
    EXPECT_EQ(m.Add(2, 21), 2u);
    EXPECT_EQ(m.GetCount(), 3);
    EXPECT_EQ(ValuesOf(m, 1), (std::vector<int>{10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(ValuesOf(m, 2), (std::vector<int>{20, 21}));
    EXPECT_EQ(ValuesOf(m, 3), (std::vector<int>{30}));
    EXPECT_TRUE(ValuesOf(m, 4).empty());
    EXPECT_FALSE(m.IsFound(4));
    EXPECT_EQ(m.GetValueCount(4), 0u);
    // Values are writable in place.
    unsigned n;
    m.Find(2, n)[1] = 29;
    EXPECT_EQ(ValuesOf(m, 2), (std::vector<int>{20, 29}));
}

TEST(AssociationMap, UniqueAdditionAndRemovalOfValuesAndKeys) {
    CAssociationMap<FBMaterialID, int, unsigned short> m;
    const FBMaterialID a{1, 2}, b{2, 1};
    EXPECT_TRUE(m.AddUnique(a, 5));
    EXPECT_FALSE(m.AddUnique(a, 5));
    EXPECT_TRUE(m.AddUnique(a, 6));
    m.Add(a, 5);  // plain Add repeats
    EXPECT_EQ(ValuesOf(m, a), (std::vector<int>{5, 6, 5}));
    EXPECT_TRUE(m.Remove(a, 5));  // the first occurrence
    EXPECT_EQ(ValuesOf(m, a), (std::vector<int>{6, 5}));
    EXPECT_FALSE(m.Remove(a, 7));
    EXPECT_FALSE(m.Remove(b, 5));
    EXPECT_TRUE(m.Remove(a, 6));
    EXPECT_TRUE(m.Remove(a, 5));
    EXPECT_FALSE(m.IsFound(a)) << "a key goes with its last value";
    EXPECT_EQ(m.GetCount(), 0);
    EXPECT_EQ(m.Add(a, 8), 1u) << "a removed key starts a new list";
    m.Add(b, 1);
    m.Add(b, 2);
    EXPECT_TRUE(m.RemoveKey(b));
    EXPECT_FALSE(m.RemoveKey(b));
    EXPECT_EQ(ValuesOf(m, a), (std::vector<int>{8}));
    EXPECT_EQ(m.GetCount(), 1);
}

TEST(AssociationMap, IterationVisitsEveryKeyOnceWithItsList) {
    CAssociationMap<int, int, unsigned short> m;
    std::map<int, std::vector<int>> expected;
    for (int i = 0; i < 300; ++i) {
        int key = (i * 7) % 53;
        m.Add(key, i);
        expected[key].push_back(i);
    }
    std::map<int, std::vector<int>> seen;
    int pos = kHashStartPosition;
    int key;
    const int* values;
    unsigned n;
    while (m.GetNext(pos, key, values, n)) {
        EXPECT_EQ(seen.count(key), 0u);
        seen[key] = std::vector<int>(values, values + n);
    }
    EXPECT_EQ(seen, expected);
}

TEST(AssociationMap, TheHeaderTypeBoundsAList) {
    CAssociationMap<int, short, unsigned char> m;
    for (int i = 0; i < 255; ++i) m.Add(1, short(i));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { m.Add(1, short(255)); }));
    EXPECT_EQ(m.GetValueCount(1), 255u);
    EXPECT_EQ(m.Add(2, 0), 1u);
}

TEST(AssociationMap, PresizedMapDoesNotRehashAndRemoveAllStartsOver) {
    CAssociationMap<int, int, unsigned short> m;
    m.InitHashTable(1000);
    const unsigned slots = m.GetHashCapacity();
    EXPECT_GE(slots, 2001u);
    for (int i = 0; i < 1000; ++i) m.Add(i, i);
    EXPECT_EQ(m.GetHashCapacity(), slots);
    EXPECT_EQ(m.GetLists().GetSize(), 1000u);
    m.RemoveAll();
    EXPECT_EQ(m.GetCount(), 0);
    EXPECT_EQ(m.GetLists().GetSize(), 0u);
    EXPECT_TRUE(ValuesOf(m, 5).empty());
    m.Add(5, 1);
    EXPECT_EQ(ValuesOf(m, 5), (std::vector<int>{1}));
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
    // "After itself" is in place only under its own parent.
    EXPECT_FALSE(s.tree.MoveNodeAfter(s.a2, s.b, s.a2));
    EXPECT_EQ(s.a2->GetParent(), s.a);
    // Linking a node that already has a parent is a programming error.
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { s.b->AddChild(s.a1); }));
    // So is linking the top of a detached subtree under one of its own descendants.
    CTreeNode* top = s.tree.RemoveNode(s.a2);
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { s.a2x->AddChild(top); }));
    EXPECT_TRUE(Raises<CXInvalidArgException>([&] { top->AddChild(top); }));
    delete top;
}

// Nodes of several parents leave in one call; the kept siblings stay in order with their first
// and last links right, so that later appends land at the end.
TEST(Tree, DetachNodesKeepsTheSiblingsInOrder) {
    SampleTree s;
    CTreeNode* a3 = s.tree.AddNode(new NamedNode("a3"), s.a);
    CTreeNode* lonely = new NamedNode("lonely");  // no parent: skipped
    CTreeNode* leaving[] = {s.a1, nullptr, a3, s.b, lonely};
    CTreeNode::DetachNodes(leaving, 5);
    EXPECT_EQ(Walk(s.tree), (std::vector<std::string>{"root", ".a", "..a2", "...a2x"}));
    EXPECT_EQ(s.a->GetFirstChild(), s.a2);
    EXPECT_EQ(s.a->GetLastChild(), s.a2);
    EXPECT_EQ(s.root->GetLastChild(), s.a);
    for (CTreeNode* gone : {s.a1, a3, s.b})
        EXPECT_TRUE(gone->GetParent() == nullptr && !gone->GetNextSibling());
    s.tree.AddNode(new NamedNode("a4"), s.a);
    EXPECT_EQ(Name(s.a->GetLastChild()), "a4");
    CTreeNode* all[] = {s.a2, s.a->GetLastChild()};
    CTreeNode::DetachNodes(all, 2);
    EXPECT_TRUE(s.a->GetFirstChild() == nullptr && s.a->GetLastChild() == nullptr);
    for (CTreeNode* gone : {s.a1, a3, s.b, lonely, all[0], all[1]}) delete gone;
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

TEST(CollectionAppend, AppendValueIsInsertValueAtTheEnd) {
    // In place while a record has room, moved (with the growth and compaction of InsertValue)
    // once it has not: the two collections stay byte for byte alike.
    CSimpleCollection<int, unsigned short> a(2), b(2);
    uint32_t s = 5;
    for (int i = 0; i < 3000; ++i) {
        s = s * 1664525u + 1013904223u;
        if (a.GetSize() < 50 || s % 5 == 0) {
            const int v = int(s >> 8);
            a.Add(&v, 1, 2);
            b.Add(&v, 1, 2);
            continue;
        }
        const unsigned r = (s >> 4) % a.GetSize();
        const unsigned count = a.GetRecordSize(r);
        EXPECT_EQ(a.AppendValue(r, i), count + 1);
        b.InsertValue(r, count, i);
    }
    ASSERT_EQ(a.GetSize(), b.GetSize());
    EXPECT_EQ(a.GetUsedBytes(), b.GetUsedBytes());
    EXPECT_EQ(a.GetSlack(), b.GetSlack());
    EXPECT_EQ(a.GetValueCount(), b.GetValueCount());
    for (unsigned r = 0; r < a.GetSize(); ++r) {
        ASSERT_EQ(a.GetOffset(r), b.GetOffset(r));
        const auto *ea = a.GetElement(r), *eb = b.GetElement(r);
        ASSERT_EQ(ea->GetCapacity(), eb->GetCapacity());
        ASSERT_EQ(std::vector<int>(ea->GetData(), ea->GetData() + ea->GetCapacity()),
                  std::vector<int>(eb->GetData(), eb->GetData() + eb->GetCapacity()));
    }
}
