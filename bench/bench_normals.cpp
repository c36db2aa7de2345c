// Timing of CPointNormalChannel::InitNormals at a 30-degree smoothing angle (area weighting)
// against a plain loop that accumulates area-weighted face normals per point and normalises them,
// on bunny00.obj and on a generated 2-million-triangle height field. The plain loop is the lower
// bound of any smoothing: it has no angle test, no corner normals and no distinct-normal sharing.
// Each figure is the median of 5 runs of the CPU time of the benchmark thread (the machines these
// figures come from are shared, and the wall clock would mostly measure the other processes); one
// line per mesh gives both rates in million faces per second and the ratio of the times (below 1:
// Kestovar faster). Freed blocks stay in the heap for the next run, for the library and the plain
// loop alike, so that the medians are warm-heap figures without the cost of faulting fresh pages in;
// KESTOVAR_BENCH_COLD=1 keeps the allocator's defaults.
//
// Where the time goes (shares of the CPU samples of repeated builds, bunny / 2M height field): the
// first pass over the faces 59 % / 25 %. It computes each face's Newell sums (a triangle's three
// in the lanes of one register), scales them by the reciprocal square root estimate into a probe
// for the angle tests, stores the sums as the area weight and at once adds the face to the
// single-group points' sums (a 48-byte state per point read in the mesh's order, one
// single-precision comparison per corner in the usual case, double-precision sums); no face is made
// unit length there, only the faces around split points afterwards, and only pairs within the
// quick decision's margin of the bound take the exact test. Then the distinct-normal table
// 8.5 % / 10 %; the adjacency of the split points 6 % / 15 % (with its walk over the face records);
// copying the channel's face records 5 % / 8 %; the output vectors 3 % / 7 % (with the faults of
// fresh pages); the walk over the points and the split points' grouping 3 % / 9 %; the corner
// writes 4 % / 3 %; clearing the points' break flags 1 % / 2 %. The height field splits 8 % of its
// points at its creases (1.08M distinct normals for 1M points), and on a mesh of that size the
// passes are mostly bound by memory traffic (roughly 400 MB per build, against about 60 MB for
// the plain loop).
//
// Since then, per pass on the 2M height field (CPU-time timers around each pass, three builds):
// first pass 31 ms; adjacency 14 ms (its running sum over the points 2.5 ms, down from 3.7 ms
// now that it prefetches the split points' corner counts, its walk over the faces 11 ms); unit
// normals of the faces around split points 5.5 ms; copying the channel's face records 7 ms; the
// walk over the points with the group normals (one square root and three divisions per group)
// 20 ms; the distinct-normal table 16 ms (of which 0.8 ms the zero fill of its slots, 32-bit
// since this round, and it writes the distinct normals straight into the vector list); the
// corner writes 11 ms; the break flags 2.5 ms.
//
// The first pass runs about 190 instructions per face (the whole build 36M instructions on the
// bunny, 45M before the probes). What did not pay on the machine these figures come from (2 MB of
// second-level cache per core, a large shared third level): a 40-byte point state (the seed face
// kept apart, a face's repeated points found within the face) ran 4 % slower on the bunny than the
// 48-byte one, as padding to 64 or cutting to 32 bytes did not help before; visiting the corners
// without branches (a fresh point's state masked instead of tested) ran 20 % slower, so the
// mispredicted seeding branches (about 33k per build, simulated) do not set the pace; prefetching
// the points' kind bytes or the last line of each state, or looking 24 or 32 faces ahead instead of
// 16, changed nothing. The distinct-normal table is kept at most half full while it fits the
// second-level cache (4 % on the bunny). Also without gain: the corner writes reading only the
// channel records (split points' group numbers stored negated) instead of both lists, +0.6M
// instructions per bunny build and no change in time; probing the table's 32-bit slots four at
// a time with one comparison (fewer mispredicted branches), +0.5M instructions, the table's
// 16 ms on the height field unchanged; prefetching the table's slots 48 keys ahead instead of 16,
// no change; the adjacency's running sum without branches (the count read through a pointer
// chosen between the state and a zero), 2.5 -> 4.4 ms.
//
// Now about 2.7 ms / 107 ms, 7.2x / 7.0x the plain loop (medians of 9 alternating runs on a
// quiet machine against the library before this round, which ran 2.85 ms / 117.6 ms, 7.6x /
// 7.3x).
//
// Usage: bench_normals [obj file] [bunny-only]
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/point_list.h"
#include "report.h"
#include "simplify/obj_mesh_util.h"

using namespace kestovar;

namespace {

constexpr int kRuns = 5;
constexpr float kAngle = 0.5235988f;  // 30 degrees

volatile double g_sink;

struct Mesh {
    std::vector<float> xyz;
    std::vector<int> tri;  // triangles only, 3 indices each
};

double NowMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) * 1e-6;
}

template <class F>
double Median(F&& run) {
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) times.push_back(run());
    std::sort(times.begin(), times.end());
    return times[kRuns / 2];
}

// Positions and faces (fan-triangulated), through the tests' OBJ reader.
bool ReadObj(const std::string& path, Mesh& mesh) {
    objtest::ObjMesh obj;
    if (!objtest::LoadObj(path, obj)) return false;
    mesh.xyz = std::move(obj.xyz);
    mesh.tri = std::move(obj.tris);
    return true;
}

// A (n + 1) x (n + 1) height field of bumps, each quad split in two: 2 n^2 triangles, with both
// smooth regions and creases steeper than the smoothing angle.
Mesh HeightField(int n) {
    Mesh m;
    m.xyz.reserve(size_t(n + 1) * (n + 1) * 3);
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x) {
            const float fx = float(x) / n, fy = float(y) / n;
            const float z = 0.02f * std::sin(fx * 150.0f) * std::cos(fy * 110.0f) + 0.01f * float((x / 50 + y / 50) & 1);
            m.xyz.insert(m.xyz.end(), {fx, fy, z});
        }
    m.tri.reserve(size_t(n) * n * 6);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int a = y * (n + 1) + x, b = a + 1, c = a + n + 2, d = a + n + 1;
            m.tri.insert(m.tri.end(), {a, b, c, a, c, d});
        }
    return m;
}

double PlainLoop(const Mesh& m) {
    const size_t np = m.xyz.size() / 3;
    std::vector<float> acc(np * 3);
    const double start = NowMs();
    std::fill(acc.begin(), acc.end(), 0.0f);
    const float* p = m.xyz.data();
    for (size_t t = 0; t < m.tri.size(); t += 3) {
        const float* a = p + 3 * m.tri[t];
        const float* b = p + 3 * m.tri[t + 1];
        const float* c = p + 3 * m.tri[t + 2];
        const float u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
        const float v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        const float n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        for (int k = 0; k < 3; ++k) {
            float* o = acc.data() + 3 * m.tri[t + size_t(k)];
            o[0] += n[0];
            o[1] += n[1];
            o[2] += n[2];
        }
    }
    for (size_t i = 0; i < np; ++i) {
        float* o = acc.data() + 3 * i;
        const float len = std::sqrt(o[0] * o[0] + o[1] * o[1] + o[2] * o[2]);
        if (len > 0) {
            o[0] /= len;
            o[1] /= len;
            o[2] /= len;
        }
    }
    const double ms = NowMs() - start;
    g_sink = acc[np / 2 * 3];
    return ms;
}

void Run(const char* name, const Mesh& m) {
    C3DPointList* points = C3DPointList::Create();
    const int np = int(m.xyz.size() / 3);
    points->PreAllocate(np);
    for (int i = 0; i < np; ++i) points->Add(m.xyz[3 * size_t(i)], m.xyz[3 * size_t(i) + 1], m.xyz[3 * size_t(i) + 2]);
    C3DFaceList* faces = C3DFaceList::Create();
    const int nf = int(m.tri.size() / 3);
    faces->SetSize(nf, 3, SETSIZE_COMPACT_EXACT);
    for (int f = 0; f < nf; ++f) {
        int count = 0;
        int* idx = faces->GetIndexes(unsigned(f), count);
        if (count != 3) {
            CFace view;
            faces->GetFace(unsigned(f), view);
            view.SetSize(3);
            idx = view.GetIndexes();
        }
        idx[0] = m.tri[3 * size_t(f)];
        idx[1] = m.tri[3 * size_t(f) + 1];
        idx[2] = m.tri[3 * size_t(f) + 2];
    }
    CGeomInfo geom(faces, points);
    CPointNormalChannel* channel = new CPointNormalChannel;
    const double ours = Median([&] {
        channel->SetFlag(CHANNEL_OUT_OF_DATE, true);
        const double start = NowMs();
        channel->InitNormals(&geom, kAngle);
        return NowMs() - start;
    });
    const double peer = Median([&] { return PlainLoop(m); });
    std::printf("InitNormals 30deg %-10s %8d faces %6d normals  kestovar %7.1f ms %6.2f Mfaces/s   plain loop %7.1f ms "
                "%6.2f Mfaces/s   ratio %.2f\n",
                name, nf, channel->GetNormalVectorList()->GetSize(), ours, nf / ours / 1000.0, peer,
                nf / peer / 1000.0, ours / peer);
    benchreport::Report((std::string("InitNormals 30deg ") + name).c_str(), ours * 1e-3, -1, "plain loop",
                        peer * 1e-3, -1);
    channel->Delete();
    faces->Delete();
    points->Delete();
}

}  // namespace

int main(int argc, char** argv) {
    benchreport::KeepFreedBlocks();
    const std::string bunny = argc > 1 ? argv[1] : std::string(KESTOVAR_SOURCE_DIR) + "/data/bunny00.obj";
    Mesh m;
    if (ReadObj(bunny, m))
        Run("bunny00", m);
    else
        std::printf("InitNormals: cannot read %s\n", bunny.c_str());
    if (argc <= 2 || std::string(argv[2]) != "bunny-only") {
        if (benchreport::Quick())
            Run("grid180k", HeightField(300));
        else
            Run("grid2M", HeightField(1000));
    }
    return 0;
}
