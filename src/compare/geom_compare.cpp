// GeomCompare: the two directions of the sampled Hausdorff distance run side by side, each
// reported in the log, and combined.
#include "kestovar/compare/geom_compare.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "kestovar/compare/surface_sampler.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/log.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/platform/thread.h"
#include "core/parallel_failure.h"

namespace kestovar {

namespace {

// Faces of the two objects together from which the two directions run side by side.
constexpr int64_t kParallelFaces = 4096;

// Widens [lo, hi] by the points used by the faces of `object` without FACE_INVALID.
void AddUsedPointsBox(const C3DGeomObject* object, double* lo, double* hi) {
    const C3DFaceList* faces = object ? object->GetFaceList() : nullptr;
    const C3DPointList* points = object ? object->GetPointList() : nullptr;
    if (!faces || !points) return;
    const C3DTPoint<float>* pts = points->GetPoints();
    const unsigned nPoints = unsigned(points->GetSize());
    for (int f = 0; f < faces->GetSize(); ++f) {
        if (faces->GetFaceFlags(unsigned(f)) & FACE_INVALID) continue;
        int count;
        const int* idx = faces->GetIndexes(unsigned(f), count);
        for (int i = 0; i < count; ++i) {
            if (unsigned(idx[i]) >= nPoints) continue;
            const C3DTPoint<float>& p = pts[idx[i]];
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
            const double v[3] = {p.x, p.y, p.z};
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], v[k]);
                hi[k] = std::max(hi[k], v[k]);
            }
        }
    }
}

// The report block of one direction, written under the library lock so that the other
// direction's block cannot interleave with it.
void LogDirection(const CSurfaceSampler& s) {
    if (!IsLogFileEnabled()) return;
    CXSingleLock lock(&XGetLibraryLock(), true);
    const CFaceGridStats counters = C3DFaceGridMap::GetGlobalCounters();
    char text[256];
    WriteToLogFile("Hausdorff measure 1 %X %X (%s)\n", s.GetSource()->GetObjectID(), s.GetTarget()->GetObjectID(),
                   s.IsOverLimit() ? "Process canceled - above limit" : "Full computation - below limit");
    WriteToLogFile("Face Distance Count %d PSDist %d Cell Inspected %d\n", int(counters.queries),
                   int(counters.pointSegment), int(counters.cellsInspected));
    std::snprintf(text, sizeof text, "total timing %d (init : %d vertex %d, edge init %d, edge %d, face %d)",
                  s.GetTotalTime(), s.GetInitTime(), s.GetVertexTime(), s.GetEdgeInitTime(), s.GetEdgeTime(),
                  s.GetFaceTime());
    WriteToLogFile("Timing %s\n", text);
    std::snprintf(text, sizeof text, "total samples %d (vertex: %d, edge %d, face %d)", int(s.GetSampleCount()),
                  int(s.GetVertexSampleCount()), int(s.GetEdgeSampleCount()), int(s.GetFaceSampleCount()));
    WriteToLogFile("Sampling info %s\n", text);
    const double d = s.GetDiagonal();
    WriteToLogFile("Normalized distance %f\n", d > 0.0 ? s.GetMaxDistance() / d : s.GetNormalizedDistance());
    WriteToLogFile("Max distance %f\n", s.GetMaxDistance());
    WriteToLogFile("Mean distance %f\n", s.GetMean());
    WriteToLogFile("RMS distance %f\n", s.GetRMS());
}

// Runs one direction; a library exception (an allocation failure) makes it fail instead of
// leaving the parallel section.
bool RunDirection(CSurfaceSampler& s) {
    bool ok;
    try {
        ok = s.Compute();
    } catch (CXException* e) {
        e->Delete();
        ok = false;
    } catch (std::bad_alloc&) {  // a library object that new could not allocate
        ok = false;
    }
    C3DFaceGridMap::AddToGlobalCounters(s.GetStats());
    LogDirection(s);
    return ok;
}

}  // namespace

double GeomCompareDiagonal(const C3DGeomObject* a, const C3DGeomObject* b) {
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    AddUsedPointsBox(a, lo, hi);
    AddUsedPointsBox(b, lo, hi);
    if (!(lo[0] <= hi[0])) return 0.0;
    const double dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = hi[2] - lo[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

bool GeomCompareBothWays(CSurfaceSampler& ab, CSurfaceSampler& ba, CSamplerControl& control) {
    const C3DGeomObject* a = ab.GetSource();
    const C3DGeomObject* b = ba.GetSource();
    C3DFaceGridMap::ResetGlobalCounters();
    control.Start();

    // Each direction builds the grid of its own target and reads the other object; the same
    // object on both sides, or two objects sharing a face list (where the grid is kept) or a
    // point list, would have both threads build one grid or mark one list, so those run in turn.
    // Thread 0 of the team (the calling thread) always runs the first direction, so that progress
    // reaches the host whichever thread finishes first; a team of one runs both in turn.
    // Small pairs run in turn too: below a few thousand faces a direction takes less time than
    // starting the second thread and meeting it again (milliseconds when the cores are busy).
    bool okAB = false, okBA = false;
    const int threads = std::min(2, OMPGetMaxThreadCount());
    const bool large = int64_t(a->GetFaceNbr()) + int64_t(b->GetFaceNbr()) >= kParallelFaces;
    const bool shared =
        a == b || a->GetFaceList() == b->GetFaceList() || a->GetPointList() == b->GetPointList();
    if (!shared && threads > 1 && large && detail::CanStartThread()) {
#pragma omp parallel num_threads(threads)
        {
            const int thread = omp_get_thread_num();
            const int team = omp_get_num_threads();
            if (thread == 0) okAB = RunDirection(ab);
            if (thread == 1 || (thread == 0 && team == 1)) okBA = RunDirection(ba);
        }
    } else {
        // In turn, outside any OpenMP region (see detail::ParallelFor).
        okAB = RunDirection(ab);
        okBA = RunDirection(ba);
    }

    control.End();
    return okAB && okBA;
}

double GeomCompare(const C3DGeomObject* a, const C3DGeomObject* b, MeshCompareMethod method, double limit,
                   unsigned int flags) {
    (void)method;
    if (!a || !b) XThrow<CXInvalidArgException>("GeomCompare: null object");

    const double diagonal = GeomCompareDiagonal(a, b);
    const double scaledLimit = (std::isinf(limit) && limit > 0.0) ? limit : limit * diagonal;
    CSamplerControl control;
    CSurfaceSampler ab(a, b, flags, scaledLimit, diagonal, &control);
    CSurfaceSampler ba(b, a, flags, scaledLimit, diagonal, &control);
    control.Add(&ab);
    control.Add(&ba);
    ab.GetProgressInfo().message = L"first to second";
    ba.GetProgressInfo().message = L"second to first";
    if (!GeomCompareBothWays(ab, ba, control)) return HUGE_VAL;
    return std::max(ab.GetNormalizedDistance(), ba.GetNormalizedDistance());
}

}  // namespace kestovar
