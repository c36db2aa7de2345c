// Cell arithmetic of the sparse point grid (C3DPointGridMap), shared by the grid and by the
// coincident-point weld so that both put every point in exactly the same cell.
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>

namespace kestovar::detail {

// Cell coordinates are kept within ±2^31 - 1000 so that a neighbour (±1) never overflows.
constexpr double kMaxPointCellCoord = 2147482647.0;

// The cell coordinate of `value` along one axis: (value - origin) / cellSize truncated toward zero.
// False for a non-finite value or a coordinate beyond kMaxPointCellCoord. `invCell` 0 stands for
// "no usable cell size": every finite value is in cell 0.
inline bool PointCellCoord(double value, double origin, double cellSize, double invCell, int& out) {
    if (!std::isfinite(value)) return false;
    if (invCell == 0.0) {
        out = 0;
        return true;
    }
    double q = (value - origin) / cellSize;
    if (!(q > -kMaxPointCellCoord && q < kMaxPointCellCoord)) return false;
    out = int(q);  // truncation toward zero
    return true;
}

// Cell coordinates of model points are strongly structured (regular spacing, shared low bits),
// so the three coordinates are combined and then fully mixed (the 64-bit finaliser of
// MurmurHash3) before the low bits address a table.
inline unsigned HashPointCell(int i, int j, int k) {
    uint64_t h = uint64_t(uint32_t(i)) * 0x9E3779B97F4A7C15ull + uint64_t(uint32_t(j)) * 0xC2B2AE3D27D4EB4Full +
                 uint64_t(uint32_t(k)) * 0x165667B19E3779F9ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return unsigned(h);
}

}  // namespace kestovar::detail
