// C3DPointSymetryMap: the pairing of every point of a mesh with its mirror image across the
// mid-plane of the points' bounding box, perpendicular to one axis. The simplification engine
// contracts edges in mirrored pairs through it, so that a symmetric model stays symmetric.
//
// Each key is a point index and its value the index of its mirror point. A pair is stored in both
// directions (a -> b and b -> a); a point lying on the plane maps to itself. Points without a
// partner within the match distance are not keys. The map is built by C3DPointList::InitSymetryMap.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/object.h"
#include "kestovar/mesh/edge.h"

namespace kestovar {

class CFaceList;

// Axis of a symmetry plane (the plane is perpendicular to it).
enum _AXIS_INFO : int {
    AXIS_X = 0,
    AXIS_Y = 1,
    AXIS_Z = 2,
};

// Result of C3DPointSymetryMap::GetSymetricEdge.
enum SymetricEdgeInfo : int {
    SYMETRIC_EDGE_NONE = 0,      // an end has no partner, or the mirror edge is not in the faces
    SYMETRIC_EDGE_OTHER = 1,     // the mirror edge exists and differs from the edge
    SYMETRIC_EDGE_SELF = 2,      // the edge is its own mirror (it crosses the plane)
};

class KESTOVAR_API C3DPointSymetryMap : public CIntMap, public CInstanciatedObject {
public:
    explicit C3DPointSymetryMap(unsigned size = 21) : CIntMap(size) {}
    C3DPointSymetryMap(const C3DPointSymetryMap& other) : CIntMap(other), CInstanciatedObject() {}
    C3DPointSymetryMap(C3DPointSymetryMap&& other) noexcept : CIntMap(std::move(other)), CInstanciatedObject() {}
    C3DPointSymetryMap& operator=(const C3DPointSymetryMap& other) {
        CIntMap::operator=(other);
        return *this;
    }
    C3DPointSymetryMap& operator=(C3DPointSymetryMap&& other) noexcept {
        CIntMap::operator=(std::move(other));
        return *this;
    }
    ~C3DPointSymetryMap() override;

    // The partner of point p, or -1 when p is not a key.
    int GetPartner(int p) const {
        int q;
        return Find(p, q) ? q : -1;
    }

    // The mirror of edge (a, b) = (edge.GetP1(), edge.GetP2()), with a' and b' their partners:
    //   SYMETRIC_EDGE_NONE when a or b has no partner or the face list has no edge (a', b')
    //   (mirror is then left unchanged);
    //   SYMETRIC_EDGE_SELF when (a', b') is the edge itself (it crosses the plane; mirror = edge);
    //   SYMETRIC_EDGE_OTHER otherwise, with mirror = (a', b').
    // A C3DEdge always keeps its smaller index first, so `ordered` cannot be expressed in it and
    // only documents the caller's intent; a caller that needs to know which mirror end answers
    // which end of a directed pair uses the overload below.
    // The edge look-up uses the face list's edge-to-face or point-to-face graph when it has one,
    // else scans every face (linear time).
    SymetricEdgeInfo GetSymetricEdge(const CFaceList* faces, const C3DEdge& edge, C3DEdge& mirror,
                                     bool ordered) const;
    // The same for a directed pair a -> b (a contraction removing a into b): on a non-zero result
    // mirrorA = a's partner and mirrorB = b's partner, so the mirror contraction removes mirrorA
    // into mirrorB. Both are left unchanged on SYMETRIC_EDGE_NONE.
    SymetricEdgeInfo GetSymetricEdge(const CFaceList* faces, int a, int b, int& mirrorA, int& mirrorB) const;

    // Number of distinct mirror edges of the faces' edges: for every face of `faces` and every
    // pair of consecutive corners, the mirror edge found by GetSymetricEdge (either non-zero
    // result) is counted once. The face list needs no graph. 0 for a null or empty list.
    int CountSymetricEdges(const CFaceList* faces) const;
};

}  // namespace kestovar
