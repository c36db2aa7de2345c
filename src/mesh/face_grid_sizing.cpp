// The face grid map's box and cells: the faces kept apart from the cells (strays far from the rest,
// huge faces) and the extents of the faces, which size the cells of a mesh of slivers.
#include <algorithm>
#include <cmath>

#include "kestovar/mesh/face_list.h"
#include "mesh/face_grid_internal.h"

namespace kestovar {
namespace detail {

// Adds the faces `more` (ascending) to the faces `into` (ascending), keeping the order.
void MergeAscending(CXArray<unsigned int>& into, const CXArray<unsigned int>& more) {
    CXArray<unsigned int> merged;
    merged.SetSize(into.GetSize() + more.GetSize());
    std::merge(into.GetData(), into.GetData() + into.GetSize(), more.GetData(),
               more.GetData() + more.GetSize(), merged.GetData());
    into.Copy(merged);
}

// Length of the diagonal of the box lo, hi.
double Diagonal(const double* lo, const double* hi) {
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) d2 += (hi[k] - lo[k]) * (hi[k] - lo[k]);
    return std::sqrt(d2);
}

}  // namespace detail

namespace {

// Grows the box lo, hi to hold an indexed cache entry's box.
void GrowBox(const _GridFaceCache& e, double* lo, double* hi) {
    float flo[3], fhi[3];
    detail::EntryBox(e, flo, fhi);
    for (int k = 0; k < 3; ++k) {
        lo[k] = std::min(lo[k], double(flo[k]));
        hi[k] = std::max(hi[k], double(fhi[k]));
    }
}

}  // namespace

void C3DFaceGridMap::SampleFaceExtents(double& median, double& meanSpan) const {
    median = meanSpan = 0.0;
    // At most kExtentSamples faces, evenly spaced among the cache entries.
    constexpr int kExtentSamples = 4096;
    float extents[kExtentSamples];
    double spans = 0.0;
    int n = 0;
    const int samples = std::min(m_nFaceCount, kExtentSamples);
    int nextStray = 0;
    for (int i = 0; i < samples; ++i) {
        const int f = int(uint64_t(i) * unsigned(m_nFaceCount) / unsigned(samples));
        while (nextStray < m_stray.GetSize() && m_stray[nextStray] < unsigned(f)) ++nextStray;
        if (nextStray < m_stray.GetSize() && m_stray[nextStray] == unsigned(f)) continue;
        const _GridFaceCache& e = m_pCache[f];
        if (e.kind == GRIDFACE_EMPTY) continue;
        float lo[3], hi[3];
        detail::EntryBox(e, lo, hi);
        extents[n++] = std::max(hi[0] - lo[0], std::max(hi[1] - lo[1], hi[2] - lo[2]));
        spans += double(hi[0] - lo[0]) + double(hi[1] - lo[1]) + double(hi[2] - lo[2]);
    }
    if (n == 0) return;
    std::nth_element(extents, extents + n / 2, extents + n);
    if (std::isfinite(extents[n / 2]) && std::isfinite(spans)) {
        median = extents[n / 2];
        meanSpan = spans / n;
    }
}

void C3DFaceGridMap::KeepStrayFacesApart(double* lo, double* hi) {
    const int n = m_nFaceCount;
    const _GridFaceCache* cache = m_pCache;
    // Per axis, the centres at places kStraySide from either end: the faces beyond them (at most
    // kStraySide a side) are the candidates.
    CXArray<float> centres, scratch;
    centres.SetSize(3 * m_nIndexedFaces);
    scratch.SetSize(m_nIndexedFaces);
    int j = 0;
    for (int f = 0; f < n; ++f) {
        if (cache[f].kind == GRIDFACE_EMPTY) continue;
        float flo[3], fhi[3];
        detail::EntryBox(cache[f], flo, fhi);
        for (int k = 0; k < 3; ++k) centres[3 * j + k] = 0.5f * flo[k] + 0.5f * fhi[k];
        ++j;
    }
    const int last = m_nIndexedFaces - 1;
    float first[3], end[3];
    for (int k = 0; k < 3; ++k) {
        for (int i = 0; i < m_nIndexedFaces; ++i) scratch[i] = centres[3 * i + k];
        float* v = scratch.GetData();
        std::nth_element(v, v + kStraySide, v + m_nIndexedFaces);
        first[k] = v[kStraySide];
        std::nth_element(v, v + (last - int(kStraySide)), v + m_nIndexedFaces);
        end[k] = v[last - int(kStraySide)];
    }
    // The candidates, and the box of the others.
    double rlo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, rhi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    CXArray<unsigned int> strays;
    j = 0;
    for (int f = 0; f < n; ++f) {
        if (cache[f].kind == GRIDFACE_EMPTY) continue;
        const float* c = &centres[3 * j++];
        bool stray = false;
        for (int k = 0; k < 3; ++k) stray = stray || c[k] < first[k] || c[k] > end[k];
        if (stray) {
            strays.Add(unsigned(f));
            continue;
        }
        GrowBox(cache[f], rlo, rhi);
    }
    if (strays.GetSize() == 0 || !(detail::Diagonal(lo, hi) > kStrayShrink * detail::Diagonal(rlo, rhi)))
        return;
    m_stray.Copy(strays);
    for (int k = 0; k < 3; ++k) {
        lo[k] = rlo[k];
        hi[k] = rhi[k];
    }
}

void C3DFaceGridMap::KeepHugeFacesApart(const C3DTPoint<float>* pts, double from, double* lo, double* hi,
                                        double& area) {
    const _GridFaceCache* cache = m_pCache;
    double rlo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, rhi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    CXArray<unsigned int> huge;
    // The others' area summed anew: taking the huge faces' area off the total would lose it to
    // rounding.
    double restArea = 0.0;
    int nextStray = 0;
    for (int f = 0; f < m_nFaceCount; ++f) {
        if (cache[f].kind == GRIDFACE_EMPTY) continue;
        if (nextStray < m_stray.GetSize() && m_stray[nextStray] == unsigned(f)) {
            ++nextStray;
            continue;
        }
        int count;
        const int* idx = m_pFaces->GetIndexes(unsigned(f), count);
        const double a = detail::FanArea(pts, idx, count);
        if (a >= from) {
            huge.Add(unsigned(f));
            continue;
        }
        restArea += a;
        GrowBox(cache[f], rlo, rhi);
    }
    if (huge.GetSize() == 0 || !(rlo[0] <= rhi[0])) return;
    area = restArea;
    // Ascending, as the registration walk expects.
    detail::MergeAscending(m_stray, huge);
    for (int k = 0; k < 3; ++k) {
        lo[k] = rlo[k];
        hi[k] = rhi[k];
    }
}

}  // namespace kestovar
