// The searches of the ear clipping over long polygons (see ear_clip_index.h).
#include "ear_clip_index.h"

#include <cmath>
#include <limits>

namespace kestovar {
namespace detail {

namespace {

// The key of a corner that is cut or not convex.
constexpr double kNone = std::numeric_limits<double>::infinity();
// At most this many cells in the reflex grid.
constexpr double kMaxCells = 1 << 20;

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
    for (int node = m_leaves - 1; node >= 1; --node) {
        const int from = key[2 * node + 1] < key[2 * node] ? 2 * node + 1 : 2 * node;
        key[node] = key[from];
        arg[node] = arg[from];
    }

    double minX = c[0].x, maxX = c[0].x, minY = c[0].y, maxY = c[0].y;
    for (int i = 1; i < count; ++i) {
        minX = std::fmin(minX, c[i].x);
        maxX = std::fmax(maxX, c[i].x);
        minY = std::fmin(minY, c[i].y);
        maxY = std::fmax(maxY, c[i].y);
    }
    // About two corners a cell when every corner is reflex, so that the cells cost no more memory
    // or set-up than the tree, and cells about as long as they are wide: a polygon stretched
    // along one axis (a comb of narrow teeth) gets a row of cells, not a square grid whose
    // cells would each hold hundreds of its corners.
    const double cells = count * 0.5 < kMaxCells ? count * 0.5 : kMaxCells;
    const double width = maxX - minX, height = maxY - minY;
    double sideX = std::sqrt(cells), sideY = sideX;
    if (width > 0.0 && height > 0.0 && std::isfinite(width / height)) {
        sideX = std::sqrt(cells * (width / height));
        sideY = cells / sideX;
    } else if (width > 0.0) {
        sideX = cells, sideY = 1.0;
    } else if (height > 0.0) {
        sideX = 1.0, sideY = cells;
    }
    m_sideX = sideX < 1.0 ? 1 : sideX > cells ? int(cells) : int(sideX);
    m_sideY = sideY < 1.0 ? 1 : sideY > cells ? int(cells) : int(sideY);
    if (m_sideX < 1) m_sideX = 1;
    if (m_sideY < 1) m_sideY = 1;
    m_x0 = minX;
    m_y0 = minY;
    // Cells follow x and y monotonically (a difference, a product by a positive factor and a
    // truncation each keep the order), so a corner strictly inside an ear's box lies in a cell
    // between those of the box's corners: the grid narrows the test and never misses a corner.
    m_scaleX = maxX > minX ? m_sideX / width : 0.0;
    m_scaleY = maxY > minY ? m_sideY / height : 0.0;
    m_cellHead.SetSize(m_sideX * m_sideY);
    int* head = m_cellHead.GetData();
    for (int i = 0; i < m_sideX * m_sideY; ++i) head[i] = -1;
    m_cellOf.SetSize(count);
    m_cellNext.SetSize(count);
    m_cellPrev.SetSize(count);
    m_allNext.SetSize(count);
    m_allPrev.SetSize(count);
    int* cellOf = m_cellOf.GetData();
    for (int i = 0; i < count; ++i) cellOf[i] = -1;
    m_reflexCount = 0;
    m_allHead = -1;
    for (int i = 0; i < count; ++i)
        if (c[i].angle < 0.0) Update(c, i, false);
}

void CEarClipIndex::SetLeaf(int i, double value) {
    double* key = m_key.GetData();
    int* arg = m_arg.GetData();
    int node = m_leaves + i;
    key[node] = value;
    for (node >>= 1; node >= 1; node >>= 1) {
        const int from = key[2 * node + 1] < key[2 * node] ? 2 * node + 1 : 2 * node;
        key[node] = key[from];
        arg[node] = arg[from];
    }
}

int CEarClipIndex::CellX(double x) const {
    const double t = (x - m_x0) * m_scaleX;
    if (!(t >= 1.0)) return 0;
    return t >= m_sideX ? m_sideX - 1 : int(t);
}

int CEarClipIndex::CellY(double y) const {
    const double t = (y - m_y0) * m_scaleY;
    if (!(t >= 1.0)) return 0;
    return t >= m_sideY ? m_sideY - 1 : int(t);
}

void CEarClipIndex::Update(const C2DPointExt* c, int i, bool cut) {
    SetLeaf(i, !cut && c[i].convex ? c[i].angle : kNone);
    const bool reflex = !cut && c[i].angle < 0.0;
    int* cellOf = m_cellOf.GetData();
    int* cellNext = m_cellNext.GetData();
    int* cellPrev = m_cellPrev.GetData();
    int* allNext = m_allNext.GetData();
    int* allPrev = m_allPrev.GetData();
    int* head = m_cellHead.GetData();
    if (reflex && cellOf[i] < 0) {
        const int cell = CellY(c[i].y) * m_sideX + CellX(c[i].x);
        cellOf[i] = cell;
        cellPrev[i] = -1;
        cellNext[i] = head[cell];
        if (head[cell] >= 0) cellPrev[head[cell]] = i;
        head[cell] = i;
        allPrev[i] = -1;
        allNext[i] = m_allHead;
        if (m_allHead >= 0) allPrev[m_allHead] = i;
        m_allHead = i;
        ++m_reflexCount;
    } else if (!reflex && cellOf[i] >= 0) {
        const int cell = cellOf[i];
        if (cellPrev[i] >= 0)
            cellNext[cellPrev[i]] = cellNext[i];
        else
            head[cell] = cellNext[i];
        if (cellNext[i] >= 0) cellPrev[cellNext[i]] = cellPrev[i];
        if (allPrev[i] >= 0)
            allNext[allPrev[i]] = allNext[i];
        else
            m_allHead = allNext[i];
        if (allNext[i] >= 0) allPrev[allNext[i]] = allPrev[i];
        cellOf[i] = -1;
        --m_reflexCount;
    }
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

bool CEarClipIndex::IsEarBlocked(const C2DPointExt* c, int e, int remaining) const {
    if (m_reflexCount == 0) return false;
    const C2DPointExt& ce = c[e];
    const C2DPointExt& n = c[ce.next];
    const C2DPointExt& p = c[ce.prev];
    const EarBox b(ce, n, p);
    const int x0 = CellX(b.minX), x1 = CellX(b.maxX), y0 = CellY(b.minY), y1 = CellY(b.maxY);
    const long long cells = (long long)(x1 - x0 + 1) * (y1 - y0 + 1);
    // The cheapest of three ways to meet every live reflex corner that could lie in the box.
    if (remaining <= m_reflexCount && remaining <= cells) return EarBlockedByWalk(c, e);
    auto blocks = [&](int k) {
        return k != e && k != ce.next && k != ce.prev && c[k].angle < 0.0 &&
               InsideEar(ce, n, p, c[k], b.minX, b.maxX, b.minY, b.maxY);
    };
    if (m_reflexCount <= cells) {
        const int* next = m_allNext.GetData();
        for (int k = m_allHead; k >= 0; k = next[k])
            if (blocks(k)) return true;
        return false;
    }
    const int* head = m_cellHead.GetData();
    const int* next = m_cellNext.GetData();
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            for (int k = head[y * m_sideX + x]; k >= 0; k = next[k])
                if (blocks(k)) return true;
    return false;
}

}  // namespace detail
}  // namespace kestovar
