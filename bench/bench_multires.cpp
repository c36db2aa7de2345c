// Multiresolution playback benchmark.
//
// A deterministic height field of about 1.5 million triangles (a grid with smooth bumps) is reduced
// to its coarsest level with recording on, handed over to a CMultiresolutionObject1, and then:
// - a sweep of SetObjectRatio (relative points, no progressive mapping) from 0 to 1 and back in
//   100 steps each way: contractions played per second;
// - single jumps from ratio 0 to 1 and from 1 to 0: milliseconds each;
// - as a reference, copying the index buffer of the full mesh once (what a host re-uploading a
//   level it built itself would at least pay): milliseconds.
// Times are CPU time of the process on one thread, median of several runs.
//
// Usage: bench_multires [grid points per side (default 867)] [runs (default 5)]
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestovar/core/thread_registry.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"
#include "kestovar/simplify/ext_object.h"
#include "report.h"
#include "simplify/obj_mesh_util.h"

using namespace kestovar;

namespace {

double Now() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

using benchreport::Median;

objtest::ObjMesh HeightField(int n) {
    objtest::ObjMesh m;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const double x = double(i) / (n - 1), y = double(j) / (n - 1);
            const double z = 0.05 * std::sin(9.0 * x) * std::cos(7.0 * y) + 0.02 * std::sin(31.0 * x + 17.0 * y);
            m.xyz.insert(m.xyz.end(), {float(x), float(y), float(z)});
        }
    for (int j = 0; j + 1 < n; ++j)
        for (int i = 0; i + 1 < n; ++i) {
            const int a = j * n + i, b = a + 1, c = a + n, d = c + 1;
            m.tris.insert(m.tris.end(), {a, b, d, a, d, c});
            m.material.insert(m.material.end(), {0u, 0u});
        }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    OMPSetMaxThreadCount(1);
    const int side = argc > 1 ? std::atoi(argv[1]) : 867;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const objtest::ObjMesh mesh = HeightField(side);
    std::printf("== height field: %zu triangles, %zu points\n", mesh.TriangleCount(), mesh.PointCount());

    CSceneOptimizer optimizer;
    optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY | SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    C3DPointList* points = C3DPointList::Create();
    objtest::FillPoints(mesh, *points);
    C3DFaceList* faces = C3DFaceList::Create();
    CDependentChannels* channels = CDependentChannels::Create();
    objtest::FillFacesAndChannels(mesh, *faces, *channels, false);
    C3DExtObject* ext = new C3DExtObject(points, faces, channels);
    points->Delete();
    faces->Delete();
    channels->Delete();
    ext->SetOptimizer(optimizer, nullptr);
    double t0 = Now();
    ext->InitOptimization(false);
    bool cancelled = false;
    ext->Optimize(0.0, cancelled, OPTIMIZE_RELATIVE | OPTIMIZE_POINTS);
    const double tReduce = Now() - t0;
    t0 = Now();
    CMultiresolutionObject1* mr = ext->GetMultiresolutionObject(cancelled);
    const double tHand = Now() - t0;
    if (!mr) {
        std::printf("hand-off failed\n");
        return 1;
    }
    const unsigned n = mr->GetTrackInfo()->GetContractionCount();
    std::printf("  reduction %.2f s, hand-off (reorder + play to full detail) %.3f s, %u contractions\n", tReduce,
                tHand, n);

    std::vector<double> sweep, up, down, copy;
    const unsigned flags = MRRATIO_RELATIVE | MRRATIO_POINTS | MRRATIO_NO_PROGRESSIVE;
    std::vector<int> indexCopy(mesh.tris.size());
    for (int r = 0; r < runs; ++r) {
        mr->SetObjectRatio(1.0, 0, flags);
        t0 = Now();
        mr->SetObjectRatio(0.0, 0, flags);
        down.push_back(Now() - t0);
        t0 = Now();
        mr->SetObjectRatio(1.0, 0, flags);
        up.push_back(Now() - t0);

        mr->SetObjectRatio(0.0, 0, flags);
        t0 = Now();
        for (int k = 1; k <= 100; ++k) mr->SetObjectRatio(k / 100.0, 0, flags);
        for (int k = 99; k >= 0; --k) mr->SetObjectRatio(k / 100.0, 0, flags);
        sweep.push_back(Now() - t0);

        t0 = Now();
        std::memcpy(indexCopy.data(), mesh.tris.data(), mesh.tris.size() * sizeof(int));
        copy.push_back(Now() - t0);
    }
    // Each sweep plays every contraction twice (once up, once down).
    const double played = 2.0 * n;
    std::printf("  sweep 0 -> 1 -> 0 in 100 steps each way: %.3f s, %.1f M contractions/s\n", Median(sweep),
                played / Median(sweep) * 1e-6);
    std::printf("  jump 0 -> 1: %.1f ms, jump 1 -> 0: %.1f ms (index buffer copy %.2f ms, checksum %d)\n",
                Median(up) * 1e3, Median(down) * 1e3, Median(copy) * 1e3, indexCopy[indexCopy.size() / 2] & 1);
    const std::string size = std::to_string(mesh.TriangleCount()) + " triangles";
    benchreport::Report(("multires sweep 0-1-0, " + size).c_str(), Median(sweep), -1, nullptr, -1, -1);
    benchreport::Report(("multires jump 0 -> 1, " + size).c_str(), Median(up), -1, "memcpy of index buffer",
                        Median(copy), -1);
    mr->Delete();
    ext->Delete();
    return 0;
}
