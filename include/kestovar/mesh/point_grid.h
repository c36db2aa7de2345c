// C3DPointGridMap: a uniform grid of cubic cells over a point list, each occupied cell listing the
// indices of the points inside it. Only occupied cells are stored (a hash table keyed by the
// three cell coordinates), so the cell size may be as small as the weld of coincident points
// needs (the box diagonal over 2^31) without any memory cost.
//
// A point's cell is ((x - ox) / d, (y - oy) / d, (z - oz) / d), each truncated toward zero, with
// o the grid origin and d the cell size. Points with a non-finite coordinate, or whose cell
// coordinate would not fit in 31 bits, belong to no cell and are never listed.
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/bbox.h"

namespace kestovar {

class KESTOVAR_API C3DPointGridMap : public CInstanciatedObject {
public:
    C3DPointGridMap();
    ~C3DPointGridMap() override;
    C3DPointGridMap(const C3DPointGridMap&) = delete;
    C3DPointGridMap& operator=(const C3DPointGridMap&) = delete;

    // Builds the grid of `count` points with cell size `cellSize` (same unit as the coordinates)
    // and origin `origin`. A cell size that is not positive and finite puts every finite point in
    // cell (0, 0, 0). Within a cell the points are listed in increasing index order.
    void Init(const C3DTPoint<float>* points, int count, const double origin[3], double cellSize);

    double GetCellSize() const { return m_cellSize; }
    const double* GetOrigin() const { return m_origin; }
    int GetPointCount() const { return m_nPoints; }
    // Number of occupied cells.
    int GetCellCount() const { return m_nCells; }

    // The cell of a position; false when it has none (non-finite or too far from the origin).
    bool GetCell(const C3DTPoint<float>& p, int cell[3]) const;
    // The cell of point i of the grid; false when it has none or i is out of range.
    bool GetPointCell(int i, int cell[3]) const;
    // The first point of cell (i, j, k), -1 when the cell is empty; walk on with GetNext.
    int GetFirstPoint(int i, int j, int k) const;
    // The point listed after `point` in its cell, -1 at the end.
    int GetNext(int point) const { return m_next[point]; }

    // The cell size that a relative tolerance stands for: `ratio` times the smallest extent of
    // the box, where the y and z extents only count when above 1e-6 (a flat box is measured by
    // its non-flat extents), and at least 1e-6. An inverted (empty) box has extent 0, giving 1e-6.
    static double GetAbsoluteDistance(double ratio, const C3DTBBox<float>& box);
    // The longest distance between two points of neighbouring cells of that size: 2·√3 times
    // GetAbsoluteDistance.
    static double GetMaxDistance(double ratio, const C3DTBBox<float>& box);

private:
    // The slot of cell (i, j, k) whose hash is h: its own, or the empty slot where it would go.
    int FindSlot(int i, int j, int k, unsigned h) const;

    double m_origin[3];
    double m_cellSize;
    double m_invCell;  // 0 when every point shares cell (0, 0, 0)
    int m_nPoints;
    int m_nCells;
    unsigned int m_mask;     // slot count - 1 (the slot count is a power of two)
    CXArray<int> m_cells;    // 3 per point; cell x = INT32_MIN marks a point without a cell
    CXArray<int> m_slots;    // 4 per slot: cell x, y, z and the first point (-1: empty slot)
    CXArray<int> m_next;     // per point: the next point of its cell, -1 at the end
    // One bit per value of the hash's top bits, set for the occupied cells: a neighbourhood
    // query mostly asks for empty cells, and the bits (about 8 per point, a table that stays in
    // the cache) turn most of them away without a probe of the slots.
    CXArray<uint64_t> m_occupied;
    unsigned int m_occupiedShift = 32;  // hash >> shift = bit index
};

}  // namespace kestovar
