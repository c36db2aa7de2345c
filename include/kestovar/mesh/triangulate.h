// Triangulation of polygons by ear clipping in the polygon's plane.
//
// The polygon is projected to 2D on axes (u, v): u runs from the first corner to the second (or to
// the next corner distinct from the first), v = n × u with n the Newell normal, so the polygon
// turns counter-clockwise in (u, v) around its own normal. Each corner keeps its signed angle
// (radians; ≥ 0 for a convex corner). Ears are cut at the convex corner of smallest angle,
// skipping any ear whose triangle holds a reflex corner; ears whose three point indices are not
// distinct (polygons with repeated indices) are dropped without a triangle. When no convex corner
// with a positive angle is left, clipping stops: degenerate input gives fewer than n - 2
// triangles, never a triangle outside the polygon.
#pragma once

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"

namespace kestovar {

class CGeomInfo;
class C3DFaceList;
class CDependentChannels;

// One corner of the polygon being clipped.
struct C2DPointExt {
    double x, y;    // position in the polygon's plane
    double angle;   // signed corner angle in radians
    bool convex;    // angle >= 0 and not found to hold a reflex corner in its ear
    int corner;     // corner number in the source face
    int point;      // point index
    int prev, next;  // neighbouring corners of the remaining polygon
};

typedef CXArray<C2DPointExt, const C2DPointExt&> C2DPointExtList;

// Scratch state of the triangulation of many faces: the corner list and the triangle buffer are
// reused from face to face, so that splitting a face allocates nothing once they have grown.
class KESTOVAR_API CTriangulateFaceHelper : public CXAllocated {
public:
    CTriangulateFaceHelper();
    ~CTriangulateFaceHelper();
    CTriangulateFaceHelper(const CTriangulateFaceHelper&) = delete;
    CTriangulateFaceHelper& operator=(const CTriangulateFaceHelper&) = delete;

    // Clips the polygon of `count` corners with point indices `indices` into `points` (of
    // `pointCount` points). Returns the number of triangles; GetTriangles() then holds three
    // corner numbers per triangle, in the order (ear corner, next, previous). 0 when the polygon
    // has fewer than 3 corners, an index out of range, a non-finite coordinate or no normal.
    int Clip(const C3DTPoint<float>* points, int pointCount, const int* indices, int count);
    const int* GetTriangles() const { return m_triangles.GetData(); }
    // The corners after projection (valid after Clip).
    const C2DPointExtList& GetCorners() const { return m_corners; }

private:
    bool Project(const C3DTPoint<float>* points, int pointCount, const int* indices, int count);
    void UpdateAngle(int corner);

    C2DPointExtList m_corners;
    CXArray<int> m_triangles;
};

}  // namespace kestovar
