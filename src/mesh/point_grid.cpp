// Sparse uniform grid of points (see kestovar/mesh/point_grid.h).
#include "kestovar/mesh/point_grid.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "point_cell.h"

namespace kestovar {

namespace {

constexpr int kNoCell = INT_MIN;

inline unsigned HashCell(int i, int j, int k) { return detail::HashPointCell(i, j, k); }

inline bool CellCoord(double value, double origin, double cellSize, double invCell, int& out) {
    return detail::PointCellCoord(value, origin, cellSize, invCell, out);
}

}  // namespace

C3DPointGridMap::C3DPointGridMap()
    : m_origin{0.0, 0.0, 0.0}, m_cellSize(0.0), m_invCell(0.0), m_nPoints(0), m_nCells(0), m_mask(0) {}

C3DPointGridMap::~C3DPointGridMap() = default;

bool C3DPointGridMap::GetCell(const C3DTPoint<float>& p, int cell[3]) const {
    return CellCoord(p.x, m_origin[0], m_cellSize, m_invCell, cell[0]) &&
           CellCoord(p.y, m_origin[1], m_cellSize, m_invCell, cell[1]) &&
           CellCoord(p.z, m_origin[2], m_cellSize, m_invCell, cell[2]);
}

bool C3DPointGridMap::GetPointCell(int i, int cell[3]) const {
    if (i < 0 || i >= m_nPoints) return false;
    const int* c = m_cells.GetData() + 3 * size_t(i);
    if (c[0] == kNoCell) return false;
    cell[0] = c[0];
    cell[1] = c[1];
    cell[2] = c[2];
    return true;
}

int C3DPointGridMap::FindSlot(int i, int j, int k, unsigned h) const {
    if (m_mask == 0 && m_slots.GetSize() == 0) return -1;
    const int* slots = m_slots.GetData();
    unsigned s = h & m_mask;
    for (;;) {
        const int* e = slots + 4 * size_t(s);
        if (e[3] < 0) return int(s);
        if (e[0] == i && e[1] == j && e[2] == k) return int(s);
        s = (s + 1) & m_mask;  // linear probing; the table is at most half full
    }
}

int C3DPointGridMap::GetFirstPoint(int i, int j, int k) const {
    const unsigned h = HashCell(i, j, k);
    if (m_occupiedShift < 32) {
        const unsigned bit = h >> m_occupiedShift;
        if (!((m_occupied[int(bit >> 6)] >> (bit & 63)) & 1u)) return -1;
    }
    const int s = FindSlot(i, j, k, h);
    return s < 0 ? -1 : m_slots[4 * s + 3];
}

void C3DPointGridMap::Init(const C3DTPoint<float>* points, int count, const double origin[3], double cellSize) {
    m_origin[0] = origin[0];
    m_origin[1] = origin[1];
    m_origin[2] = origin[2];
    m_cellSize = cellSize;
    m_invCell = (cellSize > 0.0 && std::isfinite(cellSize)) ? 1.0 / cellSize : 0.0;
    m_nPoints = count > 0 ? count : 0;
    m_nCells = 0;
    m_cells.SetSize(3 * m_nPoints);
    m_next.SetSize(m_nPoints);
    unsigned slots = 16;
    while (slots < 2u * unsigned(m_nPoints)) slots <<= 1;
    m_mask = slots - 1;
    m_slots.SetSize(int(4 * slots));
    int* table = m_slots.GetData();
    for (unsigned s = 0; s < slots; ++s) table[4 * s + 3] = -1;

    // The occupancy bits: 8 per point (a point has at most one cell), a power of two from 64 to
    // 2^27 (16 MB; more cells than that share bits).
    unsigned logBits = 6;
    while (logBits < 27 && (uint64_t(1) << logBits) < 8 * uint64_t(m_nPoints)) ++logBits;
    m_occupiedShift = 32 - logBits;
    m_occupied.SetSize(int((uint64_t(1) << logBits) / 64));
    uint64_t* bits = m_occupied.GetData();
    std::memset(bits, 0, size_t(m_occupied.GetSize()) * sizeof(uint64_t));

    int* cells = m_cells.GetData();
    int* next = m_next.GetData();
    for (int p = 0; p < m_nPoints; ++p) {
        int* c = cells + 3 * size_t(p);
        if (!GetCell(points[p], c)) c[0] = kNoCell;
    }
    // Walking the points backwards and pushing each at the head of its cell's list leaves every
    // list in increasing index order.
    for (int p = m_nPoints - 1; p >= 0; --p) {
        const int* c = cells + 3 * size_t(p);
        next[p] = -1;
        if (c[0] == kNoCell) continue;
        const unsigned h = HashCell(c[0], c[1], c[2]);
        int s = FindSlot(c[0], c[1], c[2], h);
        int* e = table + 4 * size_t(s);
        if (e[3] < 0) {
            e[0] = c[0];
            e[1] = c[1];
            e[2] = c[2];
            ++m_nCells;
            const unsigned bit = h >> m_occupiedShift;
            bits[bit >> 6] |= uint64_t(1) << (bit & 63);
        } else {
            next[p] = e[3];
        }
        e[3] = p;
    }
}

double C3DPointGridMap::GetAbsoluteDistance(double ratio, const C3DTBBox<float>& box) {
    const C3DTPoint<float>& lo = box.GetMin();
    const C3DTPoint<float>& hi = box.GetMax();
    double ex = double(hi.x) - double(lo.x);
    double ey = double(hi.y) - double(lo.y);
    double ez = double(hi.z) - double(lo.z);
    double d;
    if (ex < 0.0 || ey < 0.0 || ez < 0.0) {
        d = 0.0;
    } else {
        d = ex;
        if (ey > 1e-6 && ey < d) d = ey;
        if (ez > 1e-6 && ez < d) d = ez;
    }
    double r = d * ratio;
    return r > 1e-6 ? r : 1e-6;
}

double C3DPointGridMap::GetMaxDistance(double ratio, const C3DTBBox<float>& box) {
    return 2.0 * std::sqrt(3.0) * GetAbsoluteDistance(ratio, box);
}

}  // namespace kestovar
