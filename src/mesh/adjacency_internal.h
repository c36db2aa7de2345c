// Helpers shared by the adjacency, clean-up and material sources (face_graph.cpp,
// face_cleanup.cpp, face_material.cpp). Not part of the public interface.
#pragma once

#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {
namespace detail {

// The point list that goes with `faces` in `geom`: the source points when `faces` is the view's
// source face list, the destination points when it is the destination list, otherwise the
// destination points, or the source points when the view has no destination. Null without a
// view or without points.
inline C3DPointList* PointsFor(const CGeomInfo* geom, const CFaceList* faces) {
    if (!geom) return nullptr;
    C3DPointList* src = geom->GetSrc3DPointList();
    C3DPointList* dst = geom->GetDst3DPointList();
    if (faces && static_cast<const CFaceList*>(geom->GetSrc3DFaceList()) == faces && src) return src;
    if (faces && static_cast<const CFaceList*>(geom->GetDst3DFaceList()) == faces && dst) return dst;
    return dst ? dst : src;
}

// The channel set of `geom` that goes with `faces` (same choice as PointsFor).
inline CDependentChannels* ChannelsFor(const CGeomInfo* geom, const CFaceList* faces) {
    if (!geom) return nullptr;
    CDependentChannels* src = geom->GetSrcChannels();
    CDependentChannels* dst = geom->GetDstChannels();
    if (faces && static_cast<const CFaceList*>(geom->GetSrc3DFaceList()) == faces && src) return src;
    if (faces && static_cast<const CFaceList*>(geom->GetDst3DFaceList()) == faces && dst) return dst;
    return dst ? dst : src;
}

}  // namespace detail
}  // namespace kestovar
