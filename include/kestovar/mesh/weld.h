// Welding support: the proximity map that answers "which points lie in the neighbourhood of
// point p" for a weld distance. Built by C3DPointList::InitWeldMap, queried with
// C3DPointList::Get3DProximityPoints, released with C3DPointList::DeleteWeldMap. The weld itself
// is C3DGeomObject::Weld3DPoints (kestovar/mesh/object.h).
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/object.h"

namespace kestovar {

class C3DPointGridMap;

// The result buffer of the proximity queries (initial capacity 512 indices, doubled when full)
// and the grid of the point list for the weld distance. One map serves any number of queries
// without allocating once the buffer has grown to the largest neighbourhood.
class KESTOVAR_API WeldProximityMap : public CXAllocated {
public:
    WeldProximityMap();
    ~WeldProximityMap();
    WeldProximityMap(const WeldProximityMap&) = delete;
    WeldProximityMap& operator=(const WeldProximityMap&) = delete;

    // Takes over `grid` (one reference), releasing the previous one.
    void SetGrid(C3DPointGridMap* grid);
    C3DPointGridMap* GetGrid() const { return m_pGrid; }
    // The buffer after making room for at least `count` entries (contents kept).
    int* Reserve(int count);
    int* GetBuffer() const { return m_pBuffer; }
    int GetCapacity() const { return m_nCapacity; }

private:
    int* m_pBuffer;
    int m_nCapacity;
    C3DPointGridMap* m_pGrid;
};

// Modes of the filter pairs of C3DGeomObject::Weld3DPoints: a point's flags are tested against
// the pair's mask.
enum _WELD_FILTER_MODE : unsigned int {
    WELD_FILTER_NEIGHBOUR_IF_ANY = 0x1,   // a neighbour sharing a bit with the mask is never merged
    WELD_FILTER_NEIGHBOUR_IF_NONE = 0x2,  // a neighbour sharing no bit with the mask is never merged
    WELD_FILTER_SEED_IF_ANY = 0x4,        // such a point never gathers neighbours
    WELD_FILTER_SEED_IF_NONE = 0x8,       // a point sharing no bit never gathers neighbours
};

}  // namespace kestovar
