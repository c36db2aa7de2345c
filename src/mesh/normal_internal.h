// Newell's face normal on raw arrays, shared by the face geometry helpers and the normal
// channels' hot loops (no view objects, no virtual calls), and the face-normal source the normal
// channels share.
#pragma once

#include <cmath>

#include "kestovar/core/point.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"

namespace kestovar::detail {

// Below this every Newell sum counts as zero, and vectors are too short to normalise.
constexpr double kNormalEpsilon = 1e-15;

// The normal (1, 0, 0) given to a face without one; false, which the Newell helpers return then.
inline bool NoFaceNormal(float out[3]) {
    out[0] = 1.0f;
    out[1] = out[2] = 0.0f;
    return false;
}

// Stores the Newell sums of a face, or the normal of a face without one when all three lie below
// kNormalEpsilon; true when the sums were stored.
inline bool StoreNewellSums(float nx, float ny, float nz, float out[3]) {
    if (std::fabs(nx) < kNormalEpsilon && std::fabs(ny) < kNormalEpsilon && std::fabs(nz) < kNormalEpsilon)
        return NoFaceNormal(out);
    out[0] = nx;
    out[1] = ny;
    out[2] = nz;
    return true;
}

// Newell sums of the polygon `idx[0..count)` into out (single precision, edges in corner
// order with the closing edge last). False, with out = (1, 0, 0), for fewer than 3 corners, a corner outside
// [0, pointCount) or sums all below kNormalEpsilon in absolute value (NaN sums compare false
// and are kept as they are).
inline bool NewellSums(const C3DTPoint<float>* pts, int pointCount, const int* idx, unsigned count, float out[3]) {
    if (count < 3 || !pts) return NoFaceNormal(out);
    float nx = 0.0f, ny = 0.0f, nz = 0.0f;
    int prev = idx[0];
    if (unsigned(prev) >= unsigned(pointCount)) return NoFaceNormal(out);
    // Edges in corner order, the closing edge (last corner to first) last.
    for (unsigned k = 1; k <= count; ++k) {
        const int cur = idx[k == count ? 0 : k];
        if (unsigned(cur) >= unsigned(pointCount)) return NoFaceNormal(out);
        const C3DTPoint<float>& a = pts[prev];
        const C3DTPoint<float>& b = pts[cur];
        nx += (a.y - b.y) * (a.z + b.z);
        ny += (a.z - b.z) * (a.x + b.x);
        nz += (a.x - b.x) * (a.y + b.y);
        prev = cur;
    }
    return StoreNewellSums(nx, ny, nz, out);
}

// Normalises v in place when its length exceeds kNormalEpsilon (computed in double).
inline void NormalizeIfLong(float v[3]) {
    const double len = std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]);
    if (len > kNormalEpsilon) {
        v[0] = float(v[0] / len);
        v[1] = float(v[1] / len);
        v[2] = float(v[2] / len);
    }
}

// What CosineBetween answers for a pair with no cosine: below every threshold in [-1, 1].
constexpr double kNoCosine = -2.0;

// Cosine between a and b: their dot product over the product of their lengths, clamped to
// [-1, 1]; 0 when that product is below kNormalEpsilon. A normal that is not a number or is
// infinite (a face with such a point) has no direction: the answer is kNoCosine, so such a face
// never falls within another's smoothing angle and cannot spread NaN into a healthy group.
inline double CosineBetween(const float a[3], const float b[3]) {
    const double la = double(a[0]) * a[0] + double(a[1]) * a[1] + double(a[2]) * a[2];
    const double lb = double(b[0]) * b[0] + double(b[1]) * b[1] + double(b[2]) * b[2];
    if (!(std::isfinite(la) && std::isfinite(lb))) return kNoCosine;
    const double prod = std::sqrt(la * lb);
    if (!(prod >= kNormalEpsilon)) return 0.0;
    const double c = (double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2]) / prod;
    return c > 1.0 ? 1.0 : (c < -1.0 ? -1.0 : c);
}

// The smoothing mode of the view's object, or the default without one.
inline _NormalSmoothMode ObjectSmoothMode(const CGeomInfo* geom) {
    const C3DGeomObject* object = geom ? geom->GetGeomObject() : nullptr;
    return object ? object->GetSmoothMode() : kDefaultSmoothMode;
}

// The face normal channel of the view's object brought up to date, or, when the object has none,
// a temporary one that the holder releases.
class CFaceNormalSource {
public:
    // Empty until Init.
    CFaceNormalSource() : m_pTemp(nullptr), m_pVectors(nullptr) {}
    explicit CFaceNormalSource(const CGeomInfo* geom) : CFaceNormalSource(geom, nullptr) {}
    // With `raw`, the unnormalised Newell sums of every face (3 floats each; zero for a face that
    // is not live or has no normal), a recomputation normalises them instead of summing again:
    // the same values CFaceNormalChannel::InitNormals computes, bit for bit.
    CFaceNormalSource(const CGeomInfo* geom, const float* raw) : m_pTemp(nullptr), m_pVectors(nullptr) { Init(geom, raw); }
    // Finds or creates the channel and brings it up to date (once per holder).
    void Init(const CGeomInfo* geom, const float* raw) {
        CFaceNormalChannel* channel = static_cast<CFaceNormalChannel*>(FindNormalChannel(geom, CHANNEL_FACE_NORMAL));
        if (!channel) channel = m_pTemp = new CFaceNormalChannel(0);
        if (!raw || !FillFromRaw(channel, geom, raw)) channel->InitNormals(geom);
        m_pVectors = channel->GetNormalVectorList();
    }
    ~CFaceNormalSource() { XRelease(m_pTemp); }
    CFaceNormalSource(const CFaceNormalSource&) = delete;
    CFaceNormalSource& operator=(const CFaceNormalSource&) = delete;
    const C3DVectorList* GetVectors() const { return m_pVectors; }

private:
    static bool FillFromRaw(CFaceNormalChannel* channel, const CGeomInfo* geom, const float* raw) {
        C3DVectorList* vectors = channel->GetNormalVectorList();
        const C3DFaceList* faces = geom ? geom->GetSrc3DFaceList() : nullptr;
        if (!vectors || !faces) return false;
        if (!channel->IsOneFlagSet(CHANNEL_INVALID | CHANNEL_OUT_OF_DATE)) return true;
        channel->SetFlag(CHANNEL_OUT_OF_DATE, false);
        const int nf = faces->GetSize();
        vectors->SetSize(nf);
        C3DTVector<float>* out = vectors->GetVectors();
        for (int f = 0; f < nf; ++f) {
            if (!faces->IsFaceLive(unsigned(f))) continue;
            float n[3] = {raw[3 * f], raw[3 * f + 1], raw[3 * f + 2]};
            if (n[0] == 0.0f && n[1] == 0.0f && n[2] == 0.0f) {
                n[0] = 1.0f;  // no normal: the fallback of the Newell sums
            } else {
                detail::NormalizeIfLong(n);
            }
            out[f].Init(n[0], n[1], n[2]);
        }
        vectors->SetFlag(POINTLIST_CHANGED, true);
        return true;
    }

    CFaceNormalChannel* m_pTemp;
    const C3DVectorList* m_pVectors;
};

}  // namespace kestovar::detail
