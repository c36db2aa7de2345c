// A general ordered tree: CTree owns a root CTreeNode; every node links to its parent, its first and
// last child and its next sibling. Derived classes (the scene tree and its nodes) add their data.
//
// Ownership: a tree owns every node linked under its root and deletes them with it. Deleting a node
// deletes its whole subtree and unlinks it from its parent first. Deletion and traversal are
// iterative, so a degenerate tree (a chain of a million nodes) does not exhaust the stack.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/object.h"

namespace kestovar {

class CTreeNode;

// Called for each node of a depth-first (pre-order) traversal with its depth below the start
// node (0 for the start node). Return false to stop the traversal.
class KESTOVAR_API TreeTraversalCallback {
public:
    virtual ~TreeTraversalCallback();
    virtual bool OnNode(CTreeNode* node, int depth) = 0;
};

// Decides whether a node is the one searched for.
class KESTOVAR_API TreeSearchCallback {
public:
    virtual ~TreeSearchCallback();
    virtual bool Match(CTreeNode* node) = 0;
};

class KESTOVAR_API CTreeNode : public CXObject {
    KX_DECLARE_DYNAMIC(CTreeNode)
public:
    CTreeNode() = default;
    CTreeNode(const CTreeNode&) = delete;
    CTreeNode& operator=(const CTreeNode&) = delete;
    // Unlinks the node from its parent and deletes its children (their subtrees included).
    ~CTreeNode() override;

    CTreeNode* GetParent() const { return m_pParent; }
    CTreeNode* GetFirstChild() const { return m_pFirstChild; }
    CTreeNode* GetLastChild() const { return m_pLastChild; }
    CTreeNode* GetNextSibling() const { return m_pNextSibling; }
    // The sibling before this node, or null (walks the parent's child list).
    CTreeNode* GetPrevSibling() const;
    bool HasChildren() const { return m_pFirstChild != nullptr; }
    // Number of direct children (walks the list).
    int GetChildCount() const;
    // The i-th child (0-based), or null.
    CTreeNode* GetChild(int i) const;
    // Number of nodes in the subtree, this node included.
    int GetSubtreeCount() const;
    // Edges from the topmost ancestor down to this node.
    int GetDepth() const;
    // True when this node is `node` or one of its ancestors.
    bool IsAncestorOf(const CTreeNode* node) const;

    // Links `child` (which must have no parent) as the last child. Returns `child`.
    CTreeNode* AddChild(CTreeNode* child);
    // Links `child` (which must have no parent) right after `after`, a child of this node; as the
    // first child when `after` is null. Returns `child`.
    CTreeNode* InsertChild(CTreeNode* child, CTreeNode* after);
    // Unlinks this node (with its subtree) from its parent; the caller then owns it.
    void Detach();
    // Detach on each of `nodes[0 .. count)` (null entries and nodes without a parent are
    // skipped). The children of one parent leave in one pass over its child list, where Detach
    // one by one walks the list from its start for each.
    static void DetachNodes(CTreeNode* const* nodes, int count);

    // Depth-first pre-order traversal of this subtree. Returns false when the callback stopped it.
    bool Traverse(TreeTraversalCallback& callback);
    // The first node of this subtree, in pre-order, that the callback matches, or null.
    CTreeNode* Find(TreeSearchCallback& callback);
    // The node after `node` in the pre-order of the subtree rooted here, or null at its end.
    CTreeNode* NextInSubtree(const CTreeNode* node) const;

private:
    CTreeNode* m_pParent = nullptr;
    CTreeNode* m_pFirstChild = nullptr;
    CTreeNode* m_pLastChild = nullptr;
    CTreeNode* m_pNextSibling = nullptr;
};

class KESTOVAR_API CTree : public CXObject {
    KX_DECLARE_DYNAMIC(CTree)
public:
    // A tree with no root; `root` (may be null) becomes the root, owned by the tree.
    explicit CTree(CTreeNode* root = nullptr);
    CTree(const CTree&) = delete;
    CTree& operator=(const CTree&) = delete;
    ~CTree() override;

    CTreeNode* GetRoot() const { return m_pRoot; }
    // Makes `root` (must have no parent) the root; the previous root's subtree is deleted.
    void SetRoot(CTreeNode* root);
    // Hands the root (and its subtree) to the caller; the tree is left empty.
    CTreeNode* DetachRoot();
    // Deletes every node.
    void DeleteAll() { SetRoot(nullptr); }
    bool IsEmpty() const { return m_pRoot == nullptr; }
    // Number of nodes.
    int GetNodeCount() const { return m_pRoot ? m_pRoot->GetSubtreeCount() : 0; }

    // Links `node` (must have no parent) as the last child of `parent`; with a null parent under the
    // root, or as the root when the tree is empty. Returns `node`.
    CTreeNode* AddNode(CTreeNode* node, CTreeNode* parent = nullptr);
    // Links `node` under `parent` right after its child `after` (first when null).
    CTreeNode* InsertNode(CTreeNode* node, CTreeNode* parent, CTreeNode* after);
    // Unlinks `node` (not the root) with its subtree and deletes it.
    void DeleteNode(CTreeNode* node);
    // Unlinks `node` (not the root) with its subtree and hands it to the caller.
    CTreeNode* RemoveNode(CTreeNode* node);
    // Moves `node` with its subtree to the end of `newParent`'s children. Returns false, changing
    // nothing, when `node` is the root or `newParent` lies in its subtree.
    bool MoveNode(CTreeNode* node, CTreeNode* newParent);
    // As MoveNode, placing `node` right after `after`, a child of `newParent` (first when null).
    bool MoveNodeAfter(CTreeNode* node, CTreeNode* newParent, CTreeNode* after);

    // Pre-order traversal from `start` (the root when null). Returns false when stopped.
    bool Traverse(TreeTraversalCallback& callback, CTreeNode* start = nullptr);
    // First node in pre-order from `start` (the root when null) the callback matches, or null.
    CTreeNode* Find(TreeSearchCallback& callback, CTreeNode* start = nullptr);

private:
    CTreeNode* m_pRoot;
};

}  // namespace kestovar
