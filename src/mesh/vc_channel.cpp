// The colour channel: value comparison, colour frontier marking and the edge frontier test.
#include "kestovar/core/archive.h"
#include "kestovar/mesh/channels.h"
#include "channel_internal.h"

namespace kestovar {

KX_IMPLEMENT_SERIAL(CVCChannel, CChannel, 1)

CVCChannel::CVCChannel(unsigned int id) : CVCChannel(id, true) {}

CVCChannel::CVCChannel(unsigned int id, bool withLists) : CChannel(CHANNEL_VC, id) {
    if (!withLists) return;
    m_pPointList = new CVCPointList;
    m_pFaceList = new CVCFaceList;
}

CVCChannel::~CVCChannel() = default;

CChannel* CVCChannel::Duplicate(bool withLists) const { return new CVCChannel(kNewChannelID, withLists); }

bool CVCChannel::AcceptLists(const CPointList* points, const CFaceList* faces) const {
    if (points && (!points->IsKindOf(KX_RUNTIME_CLASS(CVCPointList)) ||
                   !static_cast<const CVCPointList*>(points)->HasOwnElementType()))
        return false;
    return !faces || faces->IsKindOf(KX_RUNTIME_CLASS(CVCFaceList));
}

bool CVCChannel::InitVCFrontierFlag(const CGeomInfo* geom, int tolerance, bool resetGeometry) {
    CVCPointList* points = GetVCPointList();
    if (!points || !m_pFaceList) return false;
    points->SetPointsFlags(POINT_VC_FRONTIER, false);
    if (resetGeometry)
        if (C3DPointList* gp = detail::ReadPoints(geom)) gp->SetPointsFlags(POINT_VC_FRONTIER, false);
    const int tol = tolerance > 0 ? tolerance : 0;
    const CVCPoint* values = points->GetPoints();
    return detail::MarkAttributeBreaks(*this, geom, POINT_VC_FRONTIER, POINT_VC_FRONTIER, 0u,
                                       [&](unsigned a, unsigned b) { return values[a].MaxComponentDifference(values[b]) <= tol; });
}

bool CVCChannel::IsVCFrontier(const CGeomInfo* geom, int tolerance, const C3DEdge& edge, int f1, int f2) const {
    const CVCPointList* points = GetVCPointList();
    if (!points) return false;
    const CVCPoint* values = points->GetPoints();
    return detail::IsAttributeFrontier(geom, m_pFaceList, unsigned(points->GetSize()), edge, f1, f2, tolerance > 0,
                                       [&](unsigned a, unsigned b) { return values[a].MaxComponentDifference(values[b]) > tolerance; });
}

}  // namespace kestovar
