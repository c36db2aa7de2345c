// The texture channel: value comparison, seam marking, the edge frontier test, and the texture
// channel that C3DObject::Init creates on request.
#include "kestovar/core/archive.h"
#include "kestovar/mesh/channels.h"
#include "kestovar/mesh/object.h"
#include "channel_internal.h"

namespace kestovar {

namespace {

// C3DObject::Init asks for a texture channel of `texturePoints` points whose faces are shaped
// like the object's (new) geometric faces.
bool InitTextureChannel(C3DObject* object, int texturePoints, unsigned int textureChannelID) {
    if (!object || texturePoints <= 0) return false;
    CUVWChannel* channel = new CUVWChannel(textureChannelID);
    channel->GetUVWPointList()->SetSize(texturePoints);
    if (C3DFaceList* faces = object->GetFaceList()) channel->GetUVWFaceList()->SetSize(*faces);
    return object->AddChannel(channel) >= 0;
}

// Installs the hook when the library is loaded (the hook pointer is constant-initialised, so the
// order of initialisation across files does not matter).
struct TextureChannelHookInstaller {
    TextureChannelHookInstaller() { C3DObject::InitTextureChannelHook = &InitTextureChannel; }
} g_textureChannelHookInstaller;

}  // namespace

KX_IMPLEMENT_SERIAL(CUVWChannel, CChannel, 1)

CUVWChannel::CUVWChannel(unsigned int id) : CUVWChannel(id, true) {}

CUVWChannel::CUVWChannel(unsigned int id, bool withLists) : CChannel(CHANNEL_UVW, id) {
    if (!withLists) return;
    m_pPointList = new CUVWPointList;
    m_pFaceList = new CUVWFaceList;
}

CUVWChannel::~CUVWChannel() = default;

CChannel* CUVWChannel::Duplicate(bool withLists) const { return new CUVWChannel(kNewChannelID, withLists); }

bool CUVWChannel::AcceptLists(const CPointList* points, const CFaceList* faces) const {
    if (points && (!points->IsKindOf(KX_RUNTIME_CLASS(CUVWPointList)) ||
                   !static_cast<const CUVWPointList*>(points)->HasOwnElementType()))
        return false;
    return !faces || faces->IsKindOf(KX_RUNTIME_CLASS(CUVWFaceList));
}

bool CUVWChannel::Compare(const CPt* a, const CPt* b, double tolerance) {
    if (!a || !b) return false;
    const CUVWPoint& pa = *static_cast<const CUVWPoint*>(a);
    const CUVWPoint& pb = *static_cast<const CUVWPoint*>(b);
    if (tolerance == 0.0) return pa.SameValue(pb);
    return pa.SquaredDistance(pb) <= tolerance * tolerance;
}

bool CUVWChannel::InitShareUVFlag(const CGeomInfo* geom, float tolerance, bool resetGeometry) {
    CUVWPointList* points = GetUVWPointList();
    if (!points || !m_pFaceList) return false;
    points->SetPointsFlags(POINT_UV_SEAM, false);
    if (resetGeometry)
        if (C3DPointList* gp = detail::ReadPoints(geom)) gp->SetPointsFlags(POINT_UV_SEAM | POINT_UV_JUNCTION, false);
    const bool exact = !(tolerance > 0.0f);
    const double tol2 = exact ? 0.0 : double(tolerance) * double(tolerance);
    const CUVWPoint* values = points->GetPoints();
    return detail::MarkAttributeBreaks(*this, geom, POINT_UV_SEAM, POINT_UV_SEAM, POINT_UV_JUNCTION,
                                       [&](unsigned a, unsigned b) {
                                           return exact ? values[a].SameValue(values[b])
                                                        : values[a].SquaredDistance(values[b]) < tol2;
                                       });
}

bool CUVWChannel::IsUVFrontier(const CGeomInfo* geom, float tolerance, const C3DEdge& edge, int f1, int f2) const {
    const CUVWPointList* points = GetUVWPointList();
    if (!points) return false;
    const CUVWPoint* values = points->GetPoints();
    const double tol2 = double(tolerance) * double(tolerance);
    return detail::IsAttributeFrontier(geom, m_pFaceList, unsigned(points->GetSize()), edge, f1, f2, tolerance > 0.0f,
                                       [&](unsigned a, unsigned b) { return values[a].SquaredDistance(values[b]) > tol2; });
}

}  // namespace kestovar
