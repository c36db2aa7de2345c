// The weight channel: value comparison, limits, normalisation and the per-point weights.
#include <algorithm>
#include <cmath>

#include "kestovar/core/archive.h"
#include "kestovar/mesh/channels.h"
#include "channel_internal.h"

namespace kestovar {

KX_IMPLEMENT_SERIAL(CWeightChannel, CChannel, 1)

CWeightChannel::CWeightChannel(unsigned int id, bool pointOnly) : CWeightChannel(id, pointOnly, true) {}

CWeightChannel::CWeightChannel(unsigned int id, bool pointOnly, bool withLists) : CChannel(CHANNEL_WEIGHT, id) {
    if (!withLists) return;
    m_pPointList = new CWeightPointList;
    if (!pointOnly) m_pFaceList = new CWeightFaceList;
}

CWeightChannel::~CWeightChannel() = default;

CChannel* CWeightChannel::Duplicate(bool withLists) const {
    return new CWeightChannel(kNewChannelID, IsPointOnly(), withLists);
}

bool CWeightChannel::AcceptLists(const CPointList* points, const CFaceList* faces) const {
    if (points && (!points->IsKindOf(KX_RUNTIME_CLASS(CWeightPointList)) ||
                   !static_cast<const CWeightPointList*>(points)->HasOwnElementType()))
        return false;
    return !faces || faces->IsKindOf(KX_RUNTIME_CLASS(CWeightFaceList));
}

bool CWeightChannel::GetLimits(float& min, float& max) const {
    min = max = 0.0f;
    const CWeightPointList* points = GetWeightPointList();
    if (!points || points->GetSize() == 0) return false;
    // Weights that are not numbers take no part: seeding from one would make both limits NaN, and
    // Normalize would then write NaN everywhere (0, 0 when no weight is a number).
    const CWeightPoint* w = points->GetPoints();
    bool seeded = false;
    for (int i = 0; i < points->GetSize(); ++i) {
        const float v = w[i].weight;
        if (v != v) continue;
        if (!seeded) {
            min = max = v;
            seeded = true;
        }
        if (v < min) min = v;
        if (v > max) max = v;
    }
    return true;
}

bool CWeightChannel::Normalize(bool invert) {
    float min, max;
    if (!GetLimits(min, max)) return false;
    double range = double(max) - double(min);
    if (range < 1e-15) range = 1.0;
    CWeightPointList* points = GetWeightPointList();
    CWeightPoint* w = points->GetPoints();
    for (int i = 0; i < points->GetSize(); ++i) {
        const double t = (double(w[i].weight) - min) / range;
        w[i].weight = float(invert ? 1.0 - t : t);
    }
    points->SetFlag(POINTLIST_CHANGED, true);
    return true;
}

CWeightPointList* CWeightChannel::GetWeightPointOnlyList(CGeomInfo* geom) const {
    const C3DPointList* gp = detail::ReadPoints(geom);
    const CWeightPointList* points = GetWeightPointList();
    if (!gp || gp->GetSize() == 0 || !points || points->GetSize() == 0) return nullptr;
    const int np = gp->GetSize();
    const int nw = points->GetSize();
    const CWeightPoint* w = points->GetPoints();
    CWeightPointList* out = new CWeightPointList;
    out->SetSize(np);
    CWeightPoint* o = out->GetPoints();
    if (IsPointOnly()) {
        for (int i = 0; i < np && i < nw; ++i) o[i].weight = w[i].weight;
        return out;
    }
    // Face-mapped: the mean of the corner weights at each point, accumulated in double.
    const C3DFaceList* gf = detail::ReadFaces(geom);
    CXArray<double> sums;
    CXArray<unsigned> counts;
    sums.SetSize(np);
    counts.SetSize(np);
    double* s = sums.GetData();
    unsigned* c = counts.GetData();
    std::fill(s, s + np, 0.0);
    std::fill(c, c + np, 0u);
    const unsigned nf = gf ? unsigned(std::min(gf->GetSize(), m_pFaceList->GetSize())) : 0u;
    for (unsigned f = 0; f < nf; ++f) {
        if (!gf->IsFaceLive(f) || !m_pFaceList->IsFaceLive(f)) continue;
        int k, ck;
        const int* idx = gf->GetIndexes(f, k);
        const int* cidx = m_pFaceList->GetIndexes(f, ck);
        for (int j = 0; j < k && j < ck; ++j) {
            if (unsigned(idx[j]) >= unsigned(np) || unsigned(cidx[j]) >= unsigned(nw)) continue;
            s[idx[j]] += w[cidx[j]].weight;
            ++c[idx[j]];
        }
    }
    for (int i = 0; i < np; ++i) o[i].weight = c[i] ? float(s[i] / c[i]) : 0.0f;
    return out;
}

}  // namespace kestovar
