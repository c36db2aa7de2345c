// Normal-based point features in one walk over the faces, for the simplifier's preparation.
#pragma once

namespace kestovar {

class C3DPointList;
class C3DFaceList;

namespace detail {

// Sets POINT_3D_CORNER as C3DPointList::Set3DCornerPointsStatus(faces, cornerAngle) and
// POINT_COPLANAR as C3DPointList::InitShareCoplanarFacesFlag(faces, coplanarTolerance) do, bit for
// bit, computing each face normal once for both (the two calls each compute all of them). Angles
// in radians. Holds 28 bytes per point while it runs.
void SetCornerAndCoplanarFlags(C3DPointList& points, const C3DFaceList& faces, double cornerAngle,
                               double coplanarTolerance);

}  // namespace detail
}  // namespace kestovar
