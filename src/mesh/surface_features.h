// Point features in single walks over the faces, for the simplifier's preparation.
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

// Sets POINT_MATERIAL_FRONTIER as InitPointMaterialGraph(faces) followed by
// InitShareSeveralMaterialsFlag() does (a point is on the frontier when its live faces carry two
// or more materials) and returns whether any point is, without building the graph: one walk
// keeping each point's first material and a state byte (5 bytes per point while it runs). The
// point list's material graph is left as it was.
bool SetMaterialFrontierFlags(C3DPointList& points, const C3DFaceList& faces);

}  // namespace detail
}  // namespace kestovar
