#include "kestovar/core/tree.h"

#include "kestovar/core/exception.h"
#include "kestovar/core/hashmap.h"

namespace kestovar {

KX_IMPLEMENT_DYNAMIC(CTreeNode, CXObject)
KX_IMPLEMENT_DYNAMIC(CTree, CXObject)

TreeTraversalCallback::~TreeTraversalCallback() = default;
TreeSearchCallback::~TreeSearchCallback() = default;

// ---- CTreeNode -------------------------------------------------------------------------------------

CTreeNode::~CTreeNode() {
    Detach();
    // Delete the subtree without recursion: the first child's children are spliced into this
    // node's child list in its place, so every node deleted here has no children left and each
    // node is spliced at most once.
    while (CTreeNode* child = m_pFirstChild) {
        CTreeNode* next = child->m_pNextSibling;
        if (child->m_pFirstChild) {
            for (CTreeNode* g = child->m_pFirstChild; g; g = g->m_pNextSibling) g->m_pParent = this;
            child->m_pLastChild->m_pNextSibling = next;
            if (!next) m_pLastChild = child->m_pLastChild;
            next = child->m_pFirstChild;
            child->m_pFirstChild = child->m_pLastChild = nullptr;
        }
        m_pFirstChild = next;
        if (!next) m_pLastChild = nullptr;
        child->m_pParent = nullptr;
        child->m_pNextSibling = nullptr;
        delete child;
    }
}

CTreeNode* CTreeNode::GetPrevSibling() const {
    if (!m_pParent) return nullptr;
    CTreeNode* prev = nullptr;
    for (CTreeNode* c = m_pParent->m_pFirstChild; c && c != this; c = c->m_pNextSibling) prev = c;
    return prev;
}

int CTreeNode::GetChildCount() const {
    int n = 0;
    for (CTreeNode* c = m_pFirstChild; c; c = c->m_pNextSibling) ++n;
    return n;
}

CTreeNode* CTreeNode::GetChild(int i) const {
    if (i < 0) return nullptr;
    CTreeNode* c = m_pFirstChild;
    while (c && i-- > 0) c = c->m_pNextSibling;
    return c;
}

int CTreeNode::GetSubtreeCount() const {
    int n = 0;
    for (const CTreeNode* node = this; node; node = NextInSubtree(node)) ++n;
    return n;
}

int CTreeNode::GetDepth() const {
    int depth = 0;
    for (const CTreeNode* p = m_pParent; p; p = p->m_pParent) ++depth;
    return depth;
}

bool CTreeNode::IsAncestorOf(const CTreeNode* node) const {
    for (; node; node = node->m_pParent)
        if (node == this) return true;
    return false;
}

CTreeNode* CTreeNode::AddChild(CTreeNode* child) { return InsertChild(child, m_pLastChild); }

CTreeNode* CTreeNode::InsertChild(CTreeNode* child, CTreeNode* after) {
    // A parentless child could only close a cycle by being the top of this node's own tree, which
    // takes it having children: leaves skip the walk up, so building deep trees stays linear.
    if (!child || child->m_pParent || child == this || (child->m_pFirstChild && child->IsAncestorOf(this)))
        XThrow<CXInvalidArgException>("CTreeNode::InsertChild: the node is linked already or would form a cycle");
    if (after && after->m_pParent != this)
        XThrow<CXInvalidArgException>("CTreeNode::InsertChild: `after` is not a child of this node");
    child->m_pParent = this;
    if (after) {
        child->m_pNextSibling = after->m_pNextSibling;
        after->m_pNextSibling = child;
        if (m_pLastChild == after) m_pLastChild = child;
    } else {
        child->m_pNextSibling = m_pFirstChild;
        m_pFirstChild = child;
        if (!m_pLastChild) m_pLastChild = child;
    }
    return child;
}

void CTreeNode::Detach() {
    if (!m_pParent) return;
    CTreeNode* prev = GetPrevSibling();
    if (prev)
        prev->m_pNextSibling = m_pNextSibling;
    else
        m_pParent->m_pFirstChild = m_pNextSibling;
    if (m_pParent->m_pLastChild == this) m_pParent->m_pLastChild = prev;
    m_pParent = nullptr;
    m_pNextSibling = nullptr;
}

void CTreeNode::DetachNodes(CTreeNode* const* nodes, int count) {
    CHashTable<const CTreeNode*> leaving;
    for (int i = 0; i < count; ++i)
        if (nodes[i] && nodes[i]->m_pParent) leaving.Insert(nodes[i]);
    for (int i = 0; i < count; ++i) {
        // A parent whose list was rebuilt has no leaving child left linked to it.
        CTreeNode* parent = nodes[i] ? nodes[i]->m_pParent : nullptr;
        if (!parent) continue;
        CTreeNode* kept = nullptr;  // the last child kept so far
        for (CTreeNode *c = parent->m_pFirstChild, *next; c; c = next) {
            next = c->m_pNextSibling;
            if (leaving.IsFound(c)) {
                c->m_pParent = nullptr;
                c->m_pNextSibling = nullptr;
                continue;
            }
            if (kept)
                kept->m_pNextSibling = c;
            else
                parent->m_pFirstChild = c;
            kept = c;
        }
        if (kept)
            kept->m_pNextSibling = nullptr;
        else
            parent->m_pFirstChild = nullptr;
        parent->m_pLastChild = kept;
    }
}

CTreeNode* CTreeNode::NextInSubtree(const CTreeNode* node) const {
    if (node->m_pFirstChild) return node->m_pFirstChild;
    for (; node && node != this; node = node->m_pParent)
        if (node->m_pNextSibling) return node->m_pNextSibling;
    return nullptr;
}

bool CTreeNode::Traverse(TreeTraversalCallback& callback) {
    int depth = 0;
    CTreeNode* node = this;
    while (node) {
        if (!callback.OnNode(node, depth)) return false;
        if (node->m_pFirstChild) {
            node = node->m_pFirstChild;
            ++depth;
            continue;
        }
        // Climb until a node with a next sibling, without leaving this subtree.
        while (node != this && !node->m_pNextSibling) {
            node = node->m_pParent;
            --depth;
        }
        node = node == this ? nullptr : node->m_pNextSibling;
    }
    return true;
}

CTreeNode* CTreeNode::Find(TreeSearchCallback& callback) {
    for (CTreeNode* node = this; node; node = NextInSubtree(node))
        if (callback.Match(node)) return node;
    return nullptr;
}

// ---- CTree -----------------------------------------------------------------------------------------

CTree::CTree(CTreeNode* root) : m_pRoot(nullptr) { SetRoot(root); }

CTree::~CTree() { delete m_pRoot; }

void CTree::SetRoot(CTreeNode* root) {
    if (root == m_pRoot) return;
    if (root && root->GetParent()) XThrow<CXInvalidArgException>("CTree::SetRoot: the node has a parent");
    delete m_pRoot;
    m_pRoot = root;
}

CTreeNode* CTree::DetachRoot() {
    CTreeNode* root = m_pRoot;
    m_pRoot = nullptr;
    return root;
}

CTreeNode* CTree::AddNode(CTreeNode* node, CTreeNode* parent) {
    if (!parent && !m_pRoot) {
        SetRoot(node);
        return node;
    }
    return (parent ? parent : m_pRoot)->AddChild(node);
}

CTreeNode* CTree::InsertNode(CTreeNode* node, CTreeNode* parent, CTreeNode* after) {
    if (!parent) parent = m_pRoot;
    if (!parent) XThrow<CXInvalidArgException>("CTree::InsertNode: no parent");
    return parent->InsertChild(node, after);
}

void CTree::DeleteNode(CTreeNode* node) {
    if (!node) return;
    if (node == m_pRoot) {
        SetRoot(nullptr);
        return;
    }
    delete RemoveNode(node);
}

CTreeNode* CTree::RemoveNode(CTreeNode* node) {
    if (!node || node == m_pRoot) XThrow<CXInvalidArgException>("CTree::RemoveNode: null node or the root");
    node->Detach();
    return node;
}

bool CTree::MoveNode(CTreeNode* node, CTreeNode* newParent) {
    if (!newParent) return false;
    return MoveNodeAfter(node, newParent, newParent->GetLastChild());
}

bool CTree::MoveNodeAfter(CTreeNode* node, CTreeNode* newParent, CTreeNode* after) {
    if (!node || !newParent || node == m_pRoot || node->IsAncestorOf(newParent)) return false;
    if (after && after->GetParent() != newParent) return false;
    if (after == node) return true;  // already in place
    node->Detach();
    newParent->InsertChild(node, after);
    return true;
}

bool CTree::Traverse(TreeTraversalCallback& callback, CTreeNode* start) {
    if (!start) start = m_pRoot;
    return start ? start->Traverse(callback) : true;
}

CTreeNode* CTree::Find(TreeSearchCallback& callback, CTreeNode* start) {
    if (!start) start = m_pRoot;
    return start ? start->Find(callback) : nullptr;
}

}  // namespace kestovar
