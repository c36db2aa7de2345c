// One direction of the mesh comparison: the point, edge and face passes of CSurfaceSampler, the
// three face-sampling schemes, the distinct-edge list of the source, and the progress and cancel
// control shared by the two directions.
//
// Reference: P. Cignoni, C. Rocchini, R. Scopigno, "Metro: measuring error on simplified
// surfaces" (1998), whose sampling passes (points, edges, similar-triangle face pattern with a
// running carry) this follows.
#include "kestovar/compare/surface_sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kestovar/compare/geom_compare.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/platform/thread.h"
#include "kestovar/platform/time.h"
#include "mesh/key_sort.h"

namespace kestovar {

namespace {

// At most this many samples along one edge per unit of carry.
constexpr double kMaxEdgeSamples = 64.0;

// A sample placed on a face is computed in double from float corners: measured against the same
// face it lands a few units of the last place (of the largest coordinate) off the plane. Distances
// below this fraction of the largest coordinate are that rounding, not a gap, and count as 0; it
// is far below the precision of the float coordinates themselves (about 6e-8 of their size).
constexpr double kNoiseFloor = 1e-13;

inline bool IsFinite3(const float* v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

int ElapsedMs(uint64_t since) { return int(timeGetTick64() - since); }

// Corners of face f when it is a usable triangle of the source: flag FACE_INVALID clear, three
// indices inside the point list, finite coordinates.
inline bool GetTriangle(const C3DFaceList& faces, const C3DTPoint<float>* pts, unsigned nPoints, unsigned f,
                        double* a, double* b, double* c) {
    if (faces.GetFaceFlags(f) & FACE_INVALID) return false;
    int count;
    const int* idx = faces.GetIndexes(f, count);
    if (count != 3) return false;
    double* out[3] = {a, b, c};
    for (int i = 0; i < 3; ++i) {
        if (unsigned(idx[i]) >= nPoints) return false;
        const float* v = pts[idx[i]].ValPtr();
        if (!IsFinite3(v)) return false;
        out[i][0] = v[0];
        out[i][1] = v[1];
        out[i][2] = v[2];
    }
    return true;
}

inline double TriangleArea(const double* a, const double* b, const double* c, double* ab, double* ac) {
    for (int k = 0; k < 3; ++k) {
        ab[k] = b[k] - a[k];
        ac[k] = c[k] - a[k];
    }
    const double n0 = ab[1] * ac[2] - ab[2] * ac[1];
    const double n1 = ab[2] * ac[0] - ab[0] * ac[2];
    const double n2 = ab[0] * ac[1] - ab[1] * ac[0];
    return 0.5 * std::sqrt(n0 * n0 + n1 * n1 + n2 * n2);
}

// The distinct edges of the faces without FACE_INVALID (three valid indices, two distinct ends),
// each as smaller << bits | larger, in increasing order.
void CollectEdges(const C3DFaceList& faces, unsigned nPoints, CXArray<uint64_t>& edges, unsigned& bits) {
    bits = 1;
    while (bits < 32 && (uint64_t(1) << bits) < nPoints) ++bits;
    edges.RemoveAll();
    edges.PreAllocate(faces.GetSize() * 3);
    for (int f = 0; f < faces.GetSize(); ++f) {
        if (faces.GetFaceFlags(unsigned(f)) & FACE_INVALID) continue;
        int count;
        const int* idx = faces.GetIndexes(unsigned(f), count);
        if (count != 3) continue;
        if (unsigned(idx[0]) >= nPoints || unsigned(idx[1]) >= nPoints || unsigned(idx[2]) >= nPoints) continue;
        for (int i = 0; i < 3; ++i) {
            uint64_t p = unsigned(idx[i]), q = unsigned(idx[(i + 1) % 3]);
            if (p == q) continue;
            if (q < p) std::swap(p, q);
            edges.Add((p << bits) | q);
        }
    }
    const int n = edges.GetSize();
    CXArray<uint64_t> scratch;
    scratch.SetSize(n);
    detail::SortKeys64(edges.GetData(), scratch.GetData(), size_t(n), 0, 2 * bits);
    uint64_t* e = edges.GetData();
    int unique = 0;
    for (int i = 0; i < n; ++i)
        if (unique == 0 || e[i] != e[unique - 1]) e[unique++] = e[i];
    edges.SetSize(unique);
}

}  // namespace

// ---- CSamplerControl --------------------------------------------------------------------------------

CSamplerControl::CSamplerControl() : m_cancel(false), m_samplers{nullptr, nullptr}, m_nSamplers(0) {
    m_driver = threadGetCurrentId();
    m_callbacks = progressIsDrivingThread();
}

void CSamplerControl::Add(CSurfaceSampler* sampler) {
    if (sampler && m_nSamplers < 2) m_samplers[m_nSamplers++] = sampler;
}

void CSamplerControl::Start() {
    if (!m_callbacks) return;
    for (int i = 0; i < m_nSamplers; ++i)
        progressCallCallback(PROGRESS_START | PROGRESS_TEXT, m_samplers[i]->GetProgressInfo());
}

void CSamplerControl::End() {
    if (!m_callbacks) return;
    for (int i = 0; i < m_nSamplers; ++i) {
        ProcessProgressInfo& info = m_samplers[i]->GetProgressInfo();
        info.position = m_samplers[i]->GetPosition();
        progressCallCallback(PROGRESS_END, info);
    }
}

bool CSamplerControl::Report() {
    if (IsCancelled()) return true;
    const bool driving = threadGetCurrentId() == m_driver;
    if (driving && m_callbacks) {
        for (int i = 0; i < m_nSamplers; ++i) {
            ProcessProgressInfo& info = m_samplers[i]->GetProgressInfo();
            info.position = m_samplers[i]->GetPosition();
            if (progressCallCallback(PROGRESS_POSITION | PROGRESS_CANCEL_QUERY, info)) Cancel();
        }
    }
    if (ShouldCancelThread(m_driver)) Cancel();
    return IsCancelled();
}

// ---- CSurfaceSampler --------------------------------------------------------------------------------

CSurfaceSampler::CSurfaceSampler(const C3DGeomObject* source, const C3DGeomObject* target, unsigned int flags,
                                 double limit, double diagonal, CSamplerControl* control)
    : m_pSource(source),
      m_pTarget(target),
      m_sourceInfo(source),
      m_targetInfo(target),
      m_pGrid(nullptr),
      m_flags(flags),
      m_limit(limit),
      m_diagonal(diagonal),
      m_nBudget(0),
      m_density(0.0),
      m_nSamples(0),
      m_nVertexSamples(0),
      m_nEdgeSamples(0),
      m_nFaceSamples(0),
      m_max(-HUGE_VAL),
      m_sum(0.0),
      m_sumSquares(0.0),
      m_mean(0.0),
      m_rms(0.0),
      m_areaMean(0.0),
      m_area(0.0),
      m_bOverLimit(0),
      m_timeInit(0),
      m_timeVertex(0),
      m_timeEdgeInit(0),
      m_timeEdge(0),
      m_timeFace(0),
      m_timeTotal(0),
      m_pControl(control),
      m_bCancelled(false),
      m_hint(-1),
      m_noise(0.0),
      m_nReportStep(1),
      m_nSinceReport(0),
      m_position(0) {
    m_progress.title = L"Hausdorff measure";
    m_progress.minimum = 0;
    m_progress.maximum = 100;
    m_progress.position = 0;
}

CSurfaceSampler::~CSurfaceSampler() = default;

double CSurfaceSampler::GetNormalizedDistance() const {
    if (m_nSamples == 0) return 0.0;
    if (m_diagonal > 0.0) return m_max / m_diagonal;
    return m_max > 0.0 ? HUGE_VAL : 0.0;
}

bool CSurfaceSampler::Compute() {
    const uint64_t start = timeGetTick64();
    if (!Initialize()) {
        m_timeTotal = ElapsedMs(start);
        return false;
    }
    if (m_flags & GEOMCOMPARE_VERTEX) VertexPass();
    // The points alone may already use the whole budget.
    if (m_nVertexSamples < m_nBudget && !m_bOverLimit && !m_bCancelled) {
        unsigned left = m_nBudget - m_nVertexSamples;
        // A source without area (a needle, a flat fan of slivers) has an infinite density: each
        // of its edges takes the most samples an edge can.
        m_density = m_area > 0.0 ? double(left) / m_area : HUGE_VAL;
        if (m_flags & GEOMCOMPARE_EDGE) {
            EdgePass();
            left = m_nEdgeSamples > left ? 0u : left - m_nEdgeSamples;
        }
        if ((m_flags & GEOMCOMPARE_FACE) && left > 0 && !m_bOverLimit && !m_bCancelled) {
            m_density = m_area > 0.0 ? double(left) / m_area : 0.0;
            FacePass();
        }
    }
    Finish();
    m_timeTotal = ElapsedMs(start);
    return !m_bCancelled;
}

bool CSurfaceSampler::Initialize() {
    const uint64_t start = timeGetTick64();
    const C3DFaceList* sourceFaces = m_sourceInfo.GetSrc3DFaceList();
    C3DFaceList* targetFaces = m_targetInfo.GetSrc3DFaceList();
    if (!sourceFaces || !targetFaces || !sourceFaces->IsTriangular() || !targetFaces->IsTriangular()) {
        m_timeInit = ElapsedMs(start);
        return false;
    }
    C3DPointList* sourcePoints = m_sourceInfo.GetSrc3DPointList();
    const C3DTPoint<float>* pts = sourcePoints ? sourcePoints->GetPoints() : nullptr;
    const unsigned nPoints = sourcePoints ? unsigned(sourcePoints->GetSize()) : 0u;

    // Points used by a face without FACE_INVALID get the mark; every other point loses it.
    if ((m_flags & GEOMCOMPARE_USED_POINTS) && sourcePoints) {
        C3DTPoint<float>* writable = sourcePoints->GetPoints();
        for (unsigned i = 0; i < nPoints; ++i) writable[i].SetFlags(POINT_COMPARE_SAMPLED, false);
        for (int f = 0; f < sourceFaces->GetSize(); ++f) {
            if (sourceFaces->GetFaceFlags(unsigned(f)) & FACE_INVALID) continue;
            int count;
            const int* idx = sourceFaces->GetIndexes(unsigned(f), count);
            for (int i = 0; i < count; ++i)
                if (unsigned(idx[i]) < nPoints) writable[idx[i]].SetFlags(POINT_COMPARE_SAMPLED, true);
        }
    }

    // Area of the usable faces without FACE_INVALID, and the largest coordinate they reach.
    double a[3], b[3], c[3], ab[3], ac[3];
    double magnitude = 0.0;
    for (int f = 0; f < sourceFaces->GetSize(); ++f) {
        if (!GetTriangle(*sourceFaces, pts, nPoints, unsigned(f), a, b, c)) continue;
        double area = TriangleArea(a, b, c, ab, ac);
        if (std::isfinite(area)) m_area += area;
        for (int k = 0; k < 3; ++k)
            magnitude = std::max(magnitude, std::max(std::fabs(a[k]), std::max(std::fabs(b[k]), std::fabs(c[k]))));
    }

    // Building the target's grid is the longest step before the first sample: a cancel asked
    // so far is taken before it, and one asked during it right after.
    if (m_pControl && m_pControl->Report()) m_bCancelled = true;
    if (m_bCancelled) {
        m_timeInit = ElapsedMs(start);
        return false;
    }
    // The target's grid (faces without FACE_INVALID, as on the source side).
    m_pGrid = targetFaces->GetFaceGridMap(&m_targetInfo, FACE_INVALID);
    if (m_pGrid && m_pGrid->GetIndexedFaceCount() > 0) {
        for (int k = 0; k < 3; ++k) {
            const double lo = m_pGrid->GetOrigin()[k];
            magnitude = std::max(magnitude, std::max(std::fabs(lo), std::fabs(lo + m_pGrid->GetCellSize() *
                                                                                   m_pGrid->GetCellCount(k))));
        }
    }
    m_noise = kNoiseFloor * magnitude;

    // Budget: 4, 6 or 10 times the larger face count, kept within 32 bits.
    const unsigned budgetBits = m_flags & GEOMCOMPARE_BUDGET_MASK;
    const uint64_t factor = budgetBits == GEOMCOMPARE_BUDGET_4 ? 4 : (budgetBits == GEOMCOMPARE_BUDGET_10 ? 10 : 6);
    const uint64_t faces = uint64_t(std::max(std::max(m_pSource->GetFaceNbr(), m_pTarget->GetFaceNbr()), 0));
    m_nBudget = unsigned(std::min<uint64_t>(factor * faces, 0xFFFFFFFFu));
    m_nReportStep = std::clamp(m_nBudget / 100u, 256u, 65536u);
    m_max = -HUGE_VAL;
    m_sum = m_sumSquares = 0.0;
    m_timeInit = ElapsedMs(start);
    return true;
}

bool CSurfaceSampler::Step() {
    if (++m_nSinceReport < m_nReportStep) return true;
    m_nSinceReport = 0;
    const uint64_t done = m_nSamples;
    const int position = m_nBudget ? int(std::min<uint64_t>(100, done * 100 / m_nBudget)) : 100;
    m_position.store(position, std::memory_order_relaxed);
    if (m_pControl && m_pControl->Report()) m_bCancelled = true;
    return !m_bCancelled;
}

bool CSurfaceSampler::Measure(const double p[3]) {
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return true;
    ++m_nSamples;
    double d;
    // Any face within the noise floor gives 0, so the first one found ends the query (on a stack
    // of coincident faces the lowest index would otherwise cost a measure of the whole stack).
    int f = m_pGrid ? m_pGrid->GetClosestFace(p, d, HUGE_VAL, &m_stats, m_hint, nullptr, m_noise) : -1;
    if (f >= 0) {
        m_hint = f;
        if (d <= m_noise) d = 0.0;
    } else {
        d = HUGE_VAL;
    }
    if (d > m_max) {
        m_max = d;
        if (d > m_limit) m_bOverLimit = 1;
    }
    m_sum += d;
    m_sumSquares += d * d;
    if (!Step()) return false;
    return !m_bOverLimit;
}

void CSurfaceSampler::VertexPass() {
    const uint64_t start = timeGetTick64();
    const C3DPointList* points = m_pSource->GetPointList();
    const int n = points ? points->GetSize() : 0;
    const C3DTPoint<float>* pts = n ? points->GetPoints() : nullptr;
    const bool usedOnly = (m_flags & GEOMCOMPARE_USED_POINTS) != 0;
    for (int i = 0; i < n; ++i) {
        if (usedOnly && !pts[i].IsFlagSet(POINT_COMPARE_SAMPLED)) continue;
        const double p[3] = {pts[i].x, pts[i].y, pts[i].z};
        const unsigned before = m_nSamples;
        bool go = Measure(p);
        m_nVertexSamples += m_nSamples - before;
        if (!go) break;
    }
    m_timeVertex = ElapsedMs(start);
}

void CSurfaceSampler::EdgePass() {
    uint64_t start = timeGetTick64();
    const C3DFaceList* faces = m_pSource->GetFaceList();
    const C3DPointList* points = m_pSource->GetPointList();
    const unsigned nPoints = points ? unsigned(points->GetSize()) : 0u;
    CXArray<uint64_t> edges;
    unsigned bits;
    CollectEdges(*faces, nPoints, edges, bits);
    m_timeEdgeInit = ElapsedMs(start);
    // Sorting the edges of a large source takes a while: a cancel asked meanwhile is taken here.
    if (m_pControl && m_pControl->Report()) {
        m_bCancelled = true;
        return;
    }

    start = timeGetTick64();
    const C3DTPoint<float>* pts = nPoints ? points->GetPoints() : nullptr;
    const double linear = (m_flags & GEOMCOMPARE_FACE) ? std::sqrt(m_density / kMaxEdgeSamples) : m_density;
    const uint64_t mask = (uint64_t(1) << bits) - 1;
    double carry = 0.0;
    bool go = true;
    for (int e = 0; e < edges.GetSize() && go; ++e) {
        const float* a = pts[edges[e] >> bits].ValPtr();
        const float* b = pts[edges[e] & mask].ValPtr();
        const double ab[3] = {double(b[0]) - a[0], double(b[1]) - a[1], double(b[2]) - a[2]};
        const double length = std::sqrt(ab[0] * ab[0] + ab[1] * ab[1] + ab[2] * ab[2]);
        // An edge without length takes no sample (its share, 0 times the density, is nothing
        // even where the density is infinite).
        if (!std::isfinite(length) || length == 0.0) continue;
        carry += std::min(kMaxEdgeSamples, length * linear);
        const unsigned n = unsigned(carry);
        for (unsigned i = 1; i <= n && go; ++i) {
            const double t = double(i) / double(n + 1);
            const double p[3] = {a[0] + t * ab[0], a[1] + t * ab[1], a[2] + t * ab[2]};
            const unsigned before = m_nSamples;
            go = Measure(p);
            m_nEdgeSamples += m_nSamples - before;
        }
        carry -= n;
    }
    m_timeEdge = ElapsedMs(start);
}

void CSurfaceSampler::FacePass() {
    const uint64_t start = timeGetTick64();
    const C3DFaceList* faces = m_pSource->GetFaceList();
    const C3DPointList* points = m_pSource->GetPointList();
    const unsigned nPoints = points ? unsigned(points->GetSize()) : 0u;
    const C3DTPoint<float>* pts = nPoints ? points->GetPoints() : nullptr;
    const bool sequence = (m_flags & GEOMCOMPARE_FACE_SCHEME2) != 0;
    const bool centroids = !sequence && (m_flags & GEOMCOMPARE_FACE_SCHEME3) != 0;
    double carry = 0.0;
    double a[3], b[3], c[3], ab[3], ac[3];
    bool go = true;
    for (int f = 0; f < faces->GetSize() && go; ++f) {
        if (!GetTriangle(*faces, pts, nPoints, unsigned(f), a, b, c)) continue;
        const double area = TriangleArea(a, b, c, ab, ac);
        if (!std::isfinite(area)) continue;
        carry += area * m_density;
        if (!(carry >= 1.0)) continue;
        // A face can receive at most the whole budget.
        const unsigned n = unsigned(std::min(carry, double(m_nBudget) + 1.0));
        if (sequence) {
            go = SampleFaceSequence(a, ab, ac, n);
            carry -= n;
        } else if (centroids) {
            const unsigned s = std::max(1u, unsigned(std::sqrt(double(n)) + 0.5));
            go = SampleFaceCentroids(a, ab, ac, s);
            carry -= double(s) * double(s);
        } else {
            go = SampleFaceDefault(a, ab, ac, n);
            carry -= n;
        }
    }
    m_timeFace = ElapsedMs(start);
}

// Measures the point a + u ab + v ac of a face and counts it as a face sample; false when the
// passes must stop.
bool CSurfaceSampler::MeasureFacePoint(const double* a, const double* ab, const double* ac, double u,
                                       double v) {
    const double p[3] = {a[0] + u * ab[0] + v * ac[0], a[1] + u * ab[1] + v * ac[1],
                         a[2] + u * ab[2] + v * ac[2]};
    const unsigned before = m_nSamples;
    const bool go = Measure(p);
    m_nFaceSamples += m_nSamples - before;
    return go;
}

// Interior points of the pattern with k points per side: (i, j) / (k - 1), i, j >= 1, i + j <= k - 2.
bool CSurfaceSampler::SampleFaceDefault(const double* a, const double* ab, const double* ac, unsigned n) {
    const unsigned k = unsigned((std::sqrt(8.0 * double(n) + 1.0) + 5.0) / 2.0);
    const double step = 1.0 / double(k - 1);
    for (unsigned i = 1; i + 2 <= k; ++i) {
        for (unsigned j = 1; i + j + 2 <= k; ++j) {
            if (!MeasureFacePoint(a, ab, ac, i * step, j * step)) return false;
        }
    }
    return true;
}

// The R2 sequence from the centroid, folded into the triangle.
bool CSurfaceSampler::SampleFaceSequence(const double* a, const double* ab, const double* ac, unsigned n) {
    // g = 1.32471795724474602596 (the plastic number): a1 = 1 / g, a2 = 1 / g^2.
    constexpr double a1 = 0.75487766624669276005;
    constexpr double a2 = 0.56984029099805326591;
    double u = 1.0 / 3.0, v = 1.0 / 3.0;
    for (unsigned j = 0; j < n; ++j) {
        double su = u, sv = v;
        if (su + sv > 1.0) {
            su = 1.0 - su;
            sv = 1.0 - sv;
        }
        if (!MeasureFacePoint(a, ab, ac, su, sv)) return false;
        u += a1;
        v += a2;
        if (u >= 1.0) u -= 1.0;
        if (v >= 1.0) v -= 1.0;
    }
    return true;
}

// Centroids of the s * s triangles of the subdivision with s divisions per side: the s (s + 1) / 2
// triangles pointing like the face, then the s (s - 1) / 2 pointing the other way.
bool CSurfaceSampler::SampleFaceCentroids(const double* a, const double* ab, const double* ac, unsigned s) {
    const double inv = 1.0 / double(s);
    for (int pass = 0; pass < 2; ++pass) {
        const double offset = pass == 0 ? 1.0 / 3.0 : 2.0 / 3.0;
        const unsigned limit = pass == 0 ? s : s - 1;  // i + j < limit
        for (unsigned i = 0; i < limit; ++i) {
            for (unsigned j = 0; i + j < limit; ++j) {
                if (!MeasureFacePoint(a, ab, ac, (i + offset) * inv, (j + offset) * inv)) return false;
            }
        }
    }
    return true;
}

void CSurfaceSampler::Finish() {
    m_position.store(100, std::memory_order_relaxed);
    if (m_nSamples == 0) {
        m_density = 0.0;
        m_mean = m_rms = m_areaMean = 0.0;
        return;
    }
    m_density = m_area > 0.0 ? double(m_nSamples) / m_area : 0.0;
    m_mean = m_sum / m_nSamples;
    m_rms = std::sqrt(m_sumSquares / m_nSamples);
    m_areaMean = m_density > 0.0 ? m_sum / m_density / 2.0 : 0.0;
}

}  // namespace kestovar
