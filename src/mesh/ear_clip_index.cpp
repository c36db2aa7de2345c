// The searches of the ear clipping over long polygons (see ear_clip_index.h).
#include "ear_clip_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kestovar {
namespace detail {

namespace {

// The key of a corner that is cut or not convex.
constexpr double kNone = std::numeric_limits<double>::infinity();
// Corners in a leaf of the tree of positions.
constexpr int kLeafCorners = 8;
// Polygons this short left are walked for the notch test: the walk then costs less than the tree.
constexpr int kWalkBelow = 64;

}  // namespace

void CEarClipIndex::Build(const C2DPointExt* c, int count) {
    m_count = count;
    m_leaves = 1;
    while (m_leaves < count) m_leaves <<= 1;
    m_key.SetSize(2 * m_leaves);
    m_arg.SetSize(2 * m_leaves);
    double* key = m_key.GetData();
    int* arg = m_arg.GetData();
    for (int i = 0; i < m_leaves; ++i) {
        key[m_leaves + i] = i < count && c[i].convex ? c[i].angle : kNone;
        arg[m_leaves + i] = i;
    }
    for (int node = m_leaves - 1; node >= 1; --node) PullUp(node);

    m_order.SetSize(count);
    m_leafOf.SetSize(count);
    m_placeOf.SetSize(count);
    m_x.SetSize(count);
    m_y.SetSize(count);
    m_isReflex.SetSize(count);
    int* order = m_order.GetData();
    for (int i = 0; i < count; ++i) order[i] = i;
    std::memset(m_isReflex.GetData(), 0, size_t(count));
    m_nodes.SetSize(0);
    m_nodes.PreAllocate(count / 2 + 1);  // leaves hold 4 to 8 corners
    BuildNode(c, 0, count, -1);
    for (int k = 0; k < count; ++k) {
        m_placeOf[order[k]] = k;
        m_x[k] = c[order[k]].x;
        m_y[k] = c[order[k]].y;
    }
    m_reflexCount = 0;
    for (int i = 0; i < count; ++i)
        if (c[i].angle < 0.0) SetReflex(i, true);
}

namespace {

// The box of the `count` corners of `c` listed in `corners` (positions are finite: Project
// refuses others).
void BoxOf(const C2DPointExt* c, const int* corners, int count, double& minX, double& maxX, double& minY,
           double& maxY) {
    minX = maxX = c[corners[0]].x;
    minY = maxY = c[corners[0]].y;
    for (int k = 1; k < count; ++k) {
        const C2DPointExt& q = c[corners[k]];
        minX = q.x < minX ? q.x : minX;
        maxX = q.x > maxX ? q.x : maxX;
        minY = q.y < minY ? q.y : minY;
        maxY = q.y > maxY ? q.y : maxY;
    }
}

}  // namespace

int CEarClipIndex::BuildNode(const C2DPointExt* c, int first, int last, int parent) {
    const int id = m_nodes.GetSize();
    Node node = {0.0, 0.0, 0.0, 0.0, first, last, -1, -1, parent, 0};
    m_nodes.Add(node);
    int* order = m_order.GetData();
    if (last - first <= kLeafCorners) {
        Node& leaf = m_nodes[id];
        BoxOf(c, order + first, last - first, leaf.minX, leaf.maxX, leaf.minY, leaf.maxY);
        for (int k = first; k < last; ++k) m_leafOf[order[k]] = id;
        return id;
    }
    // Halves along the longer side of the corners' box (by count, so the depth stays log n).
    double minX, maxX, minY, maxY;
    BoxOf(c, order + first, last - first, minX, maxX, minY, maxY);
    const int middle = first + (last - first) / 2;
    if (maxX - minX >= maxY - minY)
        std::nth_element(order + first, order + middle, order + last,
                         [c](int a, int b) { return c[a].x < c[b].x || (c[a].x == c[b].x && a < b); });
    else
        std::nth_element(order + first, order + middle, order + last,
                         [c](int a, int b) { return c[a].y < c[b].y || (c[a].y == c[b].y && a < b); });
    const int left = BuildNode(c, first, middle, id);
    const int right = BuildNode(c, middle, last, id);
    Node& inner = m_nodes[id];
    inner.left = left;
    inner.right = right;
    inner.minX = minX;
    inner.maxX = maxX;
    inner.minY = minY;
    inner.maxY = maxY;
    return id;
}

void CEarClipIndex::PullUp(int node) {
    double* key = m_key.GetData();
    int* arg = m_arg.GetData();
    const int from = key[2 * node + 1] < key[2 * node] ? 2 * node + 1 : 2 * node;
    key[node] = key[from];
    arg[node] = arg[from];
}

void CEarClipIndex::SetLeaf(int i, double value) {
    int node = m_leaves + i;
    m_key[node] = value;
    for (node >>= 1; node >= 1; node >>= 1) PullUp(node);
}

void CEarClipIndex::SetReflex(int i, bool reflex) {
    const int place = m_placeOf[i];
    if ((m_isReflex[place] != 0) == reflex) return;
    m_isReflex[place] = reflex ? 1 : 0;
    const int delta = reflex ? 1 : -1;
    m_reflexCount += delta;
    Node* nodes = m_nodes.GetData();
    for (int node = m_leafOf[i]; node >= 0; node = nodes[node].parent) nodes[node].reflex += delta;
}

void CEarClipIndex::Update(const C2DPointExt* c, int i, bool cut) {
    SetLeaf(i, !cut && c[i].convex ? c[i].angle : kNone);
    SetReflex(i, !cut && c[i].angle < 0.0);
}

void CEarClipIndex::ScanRange(int first, int last, double& bestKey, int& bestArg) const {
    if (first >= last) return;
    const double* key = m_key.GetData();
    const int* arg = m_arg.GetData();
    // Nodes met from the left come in ascending corner order and take over only when smaller;
    // those met from the right come in descending order and take over when not larger, so that
    // of equal keys the first corner stays.
    double leftKey = kNone, rightKey = kNone;
    int leftArg = -1, rightArg = -1;
    for (int l = first + m_leaves, r = last + m_leaves; l < r; l >>= 1, r >>= 1) {
        if (l & 1) {
            if (key[l] < leftKey) leftKey = key[l], leftArg = arg[l];
            ++l;
        }
        if (r & 1) {
            --r;
            if (key[r] <= rightKey) rightKey = key[r], rightArg = arg[r];
        }
    }
    if (rightKey < leftKey) leftKey = rightKey, leftArg = rightArg;
    if (leftKey < bestKey) bestKey = leftKey, bestArg = leftArg;
}

int CEarClipIndex::FindSharpest(int anchor, int skip) const {
    double key = kNone;
    int arg = -1;
    // The polygon's walk from the anchor: corners [anchor, count), then [0, anchor); the skipped
    // corner splits the range that holds it.
    const int ranges[2][2] = {{anchor, m_count}, {0, anchor}};
    for (const auto& range : ranges) {
        if (skip >= range[0] && skip < range[1]) {
            ScanRange(range[0], skip, key, arg);
            ScanRange(skip + 1, range[1], key, arg);
        } else {
            ScanRange(range[0], range[1], key, arg);
        }
    }
    return key < kNone ? arg : -1;
}

namespace {

// Whether every point of the box [minX, maxX] x [minY, maxY] gives InsideEar's cross product for
// the edge from (bx, by) along (ax, ay) a negative value as InsideEar computes it, so that no
// corner in the box can lie on the inner side of that edge. The product is linear in the point,
// so its largest value over the box is at the corner chosen by the signs of ax and ay; that
// value, computed, must lie below the bound of the rounding of any point's product (three
// roundings of at most one unit in the last place each, against a bound of eight).
bool BoxOutsideEdge(double ax, double ay, double bx, double by, double minX, double maxX, double minY,
                    double maxY) {
    const double qx = ay > 0.0 ? minX : maxX;
    const double qy = ax > 0.0 ? maxY : minY;
    const double largest = ax * (qy - by) - ay * (qx - bx);
    const double farY = std::fabs(maxY - by), nearY = std::fabs(minY - by);
    const double farX = std::fabs(maxX - bx), nearX = std::fabs(minX - bx);
    const double reachY = farY > nearY ? farY : nearY, reachX = farX > nearX ? farX : nearX;
    const double rounding = 8.0 * std::numeric_limits<double>::epsilon() *
                            (std::fabs(ax) * reachY + std::fabs(ay) * reachX);
    return largest < -rounding;
}

}  // namespace

bool CEarClipIndex::IsEarBlocked(const C2DPointExt* c, int e, int remaining) const {
    if (m_reflexCount == 0) return false;
    if (remaining < kWalkBelow) return EarBlockedByWalk(c, e);
    const C2DPointExt& ce = c[e];
    const C2DPointExt& n = c[ce.next];
    const C2DPointExt& p = c[ce.prev];
    const EarBox b(ce, n, p);
    const Node* nodes = m_nodes.GetData();
    const int* order = m_order.GetData();
    const unsigned char* isReflex = m_isReflex.GetData();
    const double* x = m_x.GetData();
    const double* y = m_y.GetData();
    // Depth first; the tree is balanced by count, so its depth is about log2(count / leaf size)
    // and the stack holds at most one pending sibling per level.
    int stack[128];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const Node& node = nodes[stack[--top]];
        if (node.reflex == 0) continue;
        // InsideEar wants a corner strictly inside the ear's box...
        if (node.maxX <= b.minX || node.minX >= b.maxX || node.maxY <= b.minY || node.minY >= b.maxY) continue;
        // ... and on the inner side of each of its edges.
        if (BoxOutsideEdge(n.x - ce.x, n.y - ce.y, ce.x, ce.y, node.minX, node.maxX, node.minY, node.maxY) ||
            BoxOutsideEdge(p.x - n.x, p.y - n.y, n.x, n.y, node.minX, node.maxX, node.minY, node.maxY) ||
            BoxOutsideEdge(ce.x - p.x, ce.y - p.y, p.x, p.y, node.minX, node.maxX, node.minY, node.maxY))
            continue;
        if (node.left < 0) {
            for (int k = node.first; k < node.last; ++k)
                if (isReflex[k] && InsideEar(ce, n, p, x[k], y[k], b.minX, b.maxX, b.minY, b.maxY)) {
                    const int q = order[k];
                    if (q != e && q != ce.next && q != ce.prev) return true;
                }
            continue;
        }
        stack[top++] = node.right;
        stack[top++] = node.left;
    }
    return false;
}

}  // namespace detail
}  // namespace kestovar
