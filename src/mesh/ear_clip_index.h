// The ear test shared by both forms of CTriangulateFaceHelper::Clip, and the index that lets a
// long polygon be clipped in about log n per ear instead of n (triangulate.cpp). Not part of the
// public interface.
//
// Clip makes two searches per ear: the convex corner of smallest angle (first met on a walk of
// the polygon from a given corner when angles tie), and whether any reflex corner lies inside the
// ear. On a polygon of n corners both walk the whole polygon, so clipping it costs n^2: a star
// outline of 64000 corners took 21.6 s (0.23 s with the index). The index answers both questions
// with the same result as the walks, bit for bit: a tree of minima over the corner numbers for the first, and a k-d tree of
// the corners' positions for the second, whose boxes only narrow down which reflex corners take
// the same exact test.
#pragma once

#include <cmath>

#include "kestovar/core/array.h"
#include "kestovar/mesh/triangulate.h"

namespace kestovar {
namespace detail {

// Whether the corner at (qx, qy) lies strictly inside the box of the ear (e, n, p) — (minX, minY)
// to (maxX, maxY) — and on the inner side of (or on) its three edges: the one test by which a
// reflex corner blocks an ear, in both forms of Clip.
[[gnu::always_inline]] inline bool InsideEar(const C2DPointExt& e, const C2DPointExt& n, const C2DPointExt& p,
                                             double qx, double qy, double minX, double maxX, double minY,
                                             double maxY) {
    if (!(qx > minX && qx < maxX && qy > minY && qy < maxY)) return false;
    const double s1 = (n.x - e.x) * (qy - e.y) - (n.y - e.y) * (qx - e.x);
    const double s2 = (p.x - n.x) * (qy - n.y) - (p.y - n.y) * (qx - n.x);
    const double s3 = (e.x - p.x) * (qy - p.y) - (e.y - p.y) * (qx - p.x);
    return s1 >= 0.0 && s2 >= 0.0 && s3 >= 0.0;
}

// The box of the ear at corner e of `c` (its triangle e, next, previous).
struct EarBox {
    double minX, maxX, minY, maxY;
    EarBox(const C2DPointExt& e, const C2DPointExt& n, const C2DPointExt& p)
        : minX(std::fmin(e.x, std::fmin(n.x, p.x))),
          maxX(std::fmax(e.x, std::fmax(n.x, p.x))),
          minY(std::fmin(e.y, std::fmin(n.y, p.y))),
          maxY(std::fmax(e.y, std::fmax(n.y, p.y))) {}
};

// Whether a reflex corner (angle below 0) of the remaining polygon other than the ear's three
// lies inside the ear at corner e, found by walking the polygon.
inline bool EarBlockedByWalk(const C2DPointExt* c, int e) {
    const C2DPointExt& ce = c[e];
    const C2DPointExt& n = c[ce.next];
    const C2DPointExt& p = c[ce.prev];
    const EarBox b(ce, n, p);
    for (int k = n.next; k != ce.prev; k = c[k].next) {
        const C2DPointExt& q = c[k];
        if (q.angle < 0.0 && InsideEar(ce, n, p, q.x, q.y, b.minX, b.maxX, b.minY, b.maxY)) return true;
    }
    return false;
}

// The searches of Clip over a polygon's corners, kept up to date as ears are cut. Corner i is
// "live" while it is in the remaining polygon. Every call reads the corners' current angles and
// flags; Update must follow every change of a live corner's angle or convex flag, and the cut of
// a corner. Storage grows to the longest polygon seen and is kept for the next.
class CEarClipIndex : public CXAllocated {
public:
    // Indexes the `count` corners of `c`, all live, with their angles and flags as Project left
    // them.
    void Build(const C2DPointExt* c, int count);
    // Corner i changed its angle or convex flag (`cut`: it left the polygon).
    void Update(const C2DPointExt* c, int i, bool cut);
    // The live convex corner other than `skip` with the smallest angle, the first on a walk of the
    // polygon from the live corner `anchor` among equal ones; -1 when there is none. The walk
    // follows the corner numbers upwards and wraps at the end, the order of the polygon's links.
    int FindSharpest(int anchor, int skip) const;
    // EarBlockedByWalk(c, e) for a polygon of `remaining` corners, mostly without the walk.
    bool IsEarBlocked(const C2DPointExt* c, int e, int remaining) const;

private:
    // The tree of minima: leaf i (at m_leaves + i) holds corner i's angle while it is live and
    // convex, +infinity otherwise; an inner node holds the smaller of its children's keys and,
    // on a tie, the left child's corner.
    void SetLeaf(int i, double key);
    // Inner node `node` takes the smaller key of its children (the left one's on a tie).
    void PullUp(int node);
    // Corner i counts as a live reflex corner, or no longer, in the tree of positions.
    void SetReflex(int i, bool reflex);
    // The smallest key of corners [first, last) and its first corner into (key, arg) unless
    // (key, arg) already holds a smaller or equal key.
    void ScanRange(int first, int last, double& key, int& arg) const;
    // Builds the node of the tree of positions over m_order[first, last) and its subtree; returns
    // its number.
    int BuildNode(const C2DPointExt* c, int first, int last, int parent);

    int m_count = 0;
    int m_leaves = 0;        // leaves of the tree of minima: the power of two from m_count up
    CXArray<double> m_key;   // 2 m_leaves nodes, the root at 1
    CXArray<int> m_arg;      // the corner whose key a node holds

    // The tree of positions: every corner of the polygon (positions never change) in a k-d tree
    // of boxes, each node counting the live reflex corners under it, so that the notch test
    // visits only nodes that hold one and whose box meets the ear's box and lies on the inner
    // side of its edges.
    struct Node {
        double minX, maxX, minY, maxY;  // box of the node's corners
        int first, last;                // its corners: m_order[first, last)
        int left, right;                // children, -1 for a leaf
        int parent;                     // -1 for the root
        int reflex;                     // live reflex corners below
    };
    CXArray<Node> m_nodes;  // the root first
    CXArray<int> m_order;   // corner numbers in the order of the leaves
    // By corner: its leaf and its place in m_order.
    CXArray<int> m_leafOf, m_placeOf;
    // By place in m_order, so that a leaf's corners are read side by side: their positions, and
    // whether each is live with an angle below 0.
    CXArray<double> m_x, m_y;
    CXArray<unsigned char> m_isReflex;
    int m_reflexCount = 0;
};

}  // namespace detail
}  // namespace kestovar
