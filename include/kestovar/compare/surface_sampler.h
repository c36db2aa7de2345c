// CSurfaceSampler: one direction of GeomCompare. It takes samples on the source object's surface
// and measures each to the closest face of the target object, keeping the largest distance and
// the sums for the mean and the root mean square.
//
// The passes, in order (flags in kestovar/compare/geom_compare.h):
// 1. points (0x1): every point of the source (with 0x8 only those used by a face without
//    FACE_INVALID). When they already reach the budget N, the later passes are skipped.
// 2. edges (0x2): the distinct edges of the source's faces without FACE_INVALID, in increasing
//    (smaller point, larger point) order. With the budget left N' and the area A, density
//    = N' / A, and the linear density is sqrt(density / 64) when faces are sampled too, else the
//    density itself. A running carry c: for an edge of length L, c += min(64, L * linear
//    density), n = trunc(c) samples go at fractions i / (n + 1) of the edge, c -= n.
// 3. faces (0x4): with the budget still left and density = N'' / A, a running carry c over the
//    faces without FACE_INVALID: c += area * density, n = trunc(c), and, when n >= 1:
//    - default: the interior points of the regular pattern with k = trunc((sqrt(8n + 1) + 5) / 2)
//      points per side (corners included), i.e. barycentric (i, j) / (k - 1) with i, j >= 1 and
//      i + j <= k - 2: that is m (m + 1) / 2 <= n points, exactly n when n is triangular; c -= n.
//      The pattern leaves the border of the face to the point and edge passes.
//    - 0x10: the first n points of the two-dimensional golden-ratio (R2) sequence started at the
//      centroid, (1/3 + j a1, 1/3 + j a2) mod 1 with a1 = 1/g, a2 = 1/g^2 (g the plastic number),
//      folded into the triangle; any n, evenly spread, no pattern aligned with the edges; c -= n.
//    - 0x20: the centroids of the s^2 congruent triangles of the subdivision with
//      s = round(sqrt(n)) divisions per side; they cover the face up to its border; c -= s^2 (the
//      carry may go negative, so the budget holds over the whole pass).
// A distance below 1e-13 of the largest coordinate of the pair counts as 0: it is the rounding of
// a sample computed on a face, not a gap (identical objects give exactly 0).
// Every pass stops at once when a sample lies beyond the limit (the over-limit flag) or when the
// comparison is cancelled. Measuring is sequential, so the sums are taken in one fixed order.
#pragma once

#include <atomic>
#include <cstdint>

#include "kestovar/core/export.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/progress.h"
#include "kestovar/mesh/face_grid.h"
#include "kestovar/mesh/geom_info.h"

namespace kestovar {

class C3DGeomObject;
class CSurfaceSampler;

// What the samplers of one comparison share: the thread whose cancel state they follow and that
// alone may call the host's progress callback, and the cancel request. Create it on the thread
// that drives the comparison.
class KESTOVAR_API CSamplerControl : public CXAllocated {
public:
    // Records the calling thread. The host's callback is called only when it is the library's main
    // thread (or no main thread is recorded): the callback stack belongs to the host's thread.
    CSamplerControl();
    CSamplerControl(const CSamplerControl&) = delete;
    CSamplerControl& operator=(const CSamplerControl&) = delete;

    // Registers a sampler whose progress the callback reports (at most two).
    void Add(CSurfaceSampler* sampler);
    // Start (kind 9) and end (kind 32) messages for every registered sampler.
    void Start();
    void End();
    // Called by a sampler every 1 % of its budget: on the driving thread sends every sampler's
    // position (kind 18) and stores a cancel answer; on any thread checks ShouldCancelThread of
    // the driving thread. Returns whether the comparison is cancelled.
    bool Report();
    bool IsCancelled() const { return m_cancel.load(std::memory_order_relaxed); }
    void Cancel() { m_cancel.store(true, std::memory_order_relaxed); }

private:
    uint64_t m_driver;
    bool m_callbacks;
    std::atomic<bool> m_cancel;
    CSurfaceSampler* m_samplers[2];
    int m_nSamplers;
};

class KESTOVAR_API CSurfaceSampler : public CXAllocated {
public:
    // A sampler from `source` to `target`. `limit` is absolute (already multiplied by D), +infinity
    // for none; `diagonal` is D. Nothing is computed before Compute.
    CSurfaceSampler(const C3DGeomObject* source, const C3DGeomObject* target, unsigned int flags, double limit,
                    double diagonal, CSamplerControl* control = nullptr);
    ~CSurfaceSampler();
    CSurfaceSampler(const CSurfaceSampler&) = delete;
    CSurfaceSampler& operator=(const CSurfaceSampler&) = delete;

    // Runs the passes. False when the direction fails: an object is not entirely triangular (or
    // has no face list), or the comparison was cancelled; the results are then those gathered so
    // far. Builds the target's face grid map; with GEOMCOMPARE_USED_POINTS marks the source's
    // points.
    bool Compute();

    // ---- results (distances in the objects' units) ----
    // Largest distance; -infinity before the first sample (and when no sample was taken).
    double GetMaxDistance() const { return m_max; }
    // Largest distance / D, with 0 for no sample, and, when D = 0, 0 or +infinity.
    double GetNormalizedDistance() const;
    double GetSum() const { return m_sum; }
    double GetSumOfSquares() const { return m_sumSquares; }
    // Mean and root mean square of the distances (0 without samples).
    double GetMean() const { return m_mean; }
    double GetRMS() const { return m_rms; }
    // sum / density / 2 with density = samples / area (0 without samples).
    double GetAreaWeightedMean() const { return m_areaMean; }
    bool IsOverLimit() const { return m_bOverLimit != 0; }
    bool IsCancelled() const { return m_bCancelled; }

    unsigned int GetSampleCount() const { return m_nSamples; }
    unsigned int GetVertexSampleCount() const { return m_nVertexSamples; }
    unsigned int GetEdgeSampleCount() const { return m_nEdgeSamples; }
    unsigned int GetFaceSampleCount() const { return m_nFaceSamples; }
    // The budget N (from the flags) and the last density used (samples per unit area).
    unsigned int GetBudget() const { return m_nBudget; }
    double GetDensity() const { return m_density; }
    // Area of the source's usable faces without FACE_INVALID.
    double GetArea() const { return m_area; }
    double GetDiagonal() const { return m_diagonal; }
    double GetLimit() const { return m_limit; }
    unsigned int GetFlags() const { return m_flags; }
    const C3DGeomObject* GetSource() const { return m_pSource; }
    const C3DGeomObject* GetTarget() const { return m_pTarget; }

    // Milliseconds spent in each stage of Compute.
    int GetInitTime() const { return m_timeInit; }
    int GetVertexTime() const { return m_timeVertex; }
    int GetEdgeInitTime() const { return m_timeEdgeInit; }
    int GetEdgeTime() const { return m_timeEdge; }
    int GetFaceTime() const { return m_timeFace; }
    int GetTotalTime() const { return m_timeTotal; }
    // Closest-face work of this direction.
    const CFaceGridStats& GetStats() const { return m_stats; }

    // The progress record (range 0 to 100). Its position is written only by the driving thread;
    // GetPosition is the sampler's own, readable from any thread.
    ProcessProgressInfo& GetProgressInfo() { return m_progress; }
    int GetPosition() const { return m_position.load(std::memory_order_relaxed); }

private:
    bool Initialize();
    void VertexPass();
    void EdgePass();
    void FacePass();
    void Finish();
    // Measures one sample (coordinates in double); false when the passes must stop.
    bool Measure(const double p[3]);
    bool Step();
    // Measures the face point a + u ab + v ac as a face sample.
    bool MeasureFacePoint(const double* a, const double* ab, const double* ac, double u, double v);
    bool SampleFaceDefault(const double* a, const double* ab, const double* ac, unsigned n);
    bool SampleFaceSequence(const double* a, const double* ab, const double* ac, unsigned n);
    bool SampleFaceCentroids(const double* a, const double* ab, const double* ac, unsigned s);

    ProcessProgressInfo m_progress;
    const C3DGeomObject* m_pSource;
    const C3DGeomObject* m_pTarget;
    CGeomInfo m_sourceInfo;
    CGeomInfo m_targetInfo;
    // The target's face grid map (owned by the target's face list).
    const C3DFaceGridMap* m_pGrid;
    unsigned int m_flags;
    double m_limit;
    double m_diagonal;
    unsigned int m_nBudget;
    double m_density;
    unsigned int m_nSamples;
    unsigned int m_nVertexSamples;
    unsigned int m_nEdgeSamples;
    unsigned int m_nFaceSamples;
    double m_max;
    double m_sum;
    double m_sumSquares;
    double m_mean;
    double m_rms;
    double m_areaMean;
    double m_area;
    uint8_t m_bOverLimit;
    int m_timeInit;
    int m_timeVertex;
    int m_timeEdgeInit;
    int m_timeEdge;
    int m_timeFace;
    int m_timeTotal;

    CSamplerControl* m_pControl;
    bool m_bCancelled;
    CFaceGridStats m_stats;
    int m_hint;      // the last closest face, measured first by the next query
    double m_noise;  // distances up to this are rounding of the sample positions: 0
    unsigned int m_nReportStep;
    unsigned int m_nSinceReport;
    std::atomic<int> m_position;
};

}  // namespace kestovar
