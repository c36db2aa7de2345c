// Simplification benchmark.
//
// Per mesh (bunny00, and a closed ~1.2-million-triangle mesh made by two rounds of 1:4
// subdivision of bunny00 with every new point displaced along the surface normal) and per target
// (10 % and 1 % of the faces), on one thread:
// - Kestovar: seconds for the preparation (attaching the optimiser, setting the mode and
//   InitOptimization: working copy, flags, quadrics, candidate heap) and for the contraction loop (Optimize), million input triangles per second over both,
//   peak library memory in bytes per input triangle (input lists included, and above the input);
// - the same loop with contraction recording on: the ratio of the two loop times (each recording
//   run follows a run without, and the median of those pairs' ratios is printed too);
// - meshoptimizer's meshopt_simplify (target error 1.0 so that only the count limits it) on the
//   same mesh in the same run, and the ratio of Kestovar's total to it;
// - the relative Hausdorff distance (GeomCompare, flags 0x20007) of both results to the input.
// Kestovar runs with the flip test on (OPT_CHECK_FLIP), as in the quality tests. Every time is the
// CPU time of the process (one thread), median of several runs; each meshoptimizer run follows a
// Kestovar run, so that the two of a pair see the same load of the shared machine, and the median
// of the pairs' ratios is printed beside the ratio of the medians. The heap keeps freed blocks
// for the next run, for both (benchreport::KeepFreedBlocks; KESTOVAR_BENCH_COLD=1 for the cold
// figures).
//
// December 2026, 1.2M-triangle mesh, pairs of 5 runs, four alternating processes: warm heap
// prep 0.64-0.75 s, loop 3.3-3.7 s, ratio 3.34-3.75x; cold heap prep 0.72-1.22 s, same loop,
// 3.44-3.85x. meshoptimizer itself ran 1.13-1.33 s in both. Fresh pages cost the preparation
// about 0.35 s per run (the zeroing of large pages the host had taken back), the loop nothing.
//
// Where the contraction loop goes (profiled on this machine, December 2026, after the loop work
// of that month). callgrind, `bench_simplify data/bunny00.obj 1 small` (four loops of 35.6k
// contractions each, 16.1k instructions per contraction in all; 16.8k since the look-ahead
// stages described below, which trade instructions for misses), inclusive per step of one
// contraction:
//   pop + acceptance test (flip/compactness over the faces of the two points,
//     collected in the order the exclusive face query gives them)          4.2k  26 %
//       heap pop 1.0k; face collection ~1.0k; normals and compactness ~1.5k
//   removal of the candidates around both points (neighbour listing, pair
//     index lookups, 9 heap removals)                                      4.5k  28 %
//       heap removals 1.6k; neighbour listing and deduplication ~1.2k; lookups ~1.0k
//   face removal, corner repointing, graph merge (ReplacePointInFaceList)  2.2k  13 %
//       point-to-face graph edits 1.1k
//   re-evaluation of the kept point's 7 candidates (UpdateCost)            4.9k  30 %
//       new position and cost solve 2.3k (330 per candidate); heap insertions 0.5k;
//       pair index insertions and neighbour listing ~2.1k
//   quadric update, symmetry, bookkeeping                                  0.1k   1 %
//   recording (when on): ~0.4k per contraction, 0-4 % of the loop time
// On the 1.2M-triangle mesh the loop is bound by cache misses rather than instructions (about
// 6 us per contraction against 4.5 us on bunny00). The pair index keeps each pair beside its
// record address, so its probes read no records; the loop asks ahead, in stages spread over a
// contraction, for what the next acceptance test reads (the heap top's record, graph records,
// faces) and for what the graph edit reads of the disappearing faces. Sampled CPU time (perf,
// loop mode, after that work) splits the loop as: candidate removal 31 % (neighbour listing,
// pair index probes, then the record's heap slot; heap removals 5 % of it), heap sift-down 23 %
// (each level writes the back-pointer of a record scattered in memory), re-evaluation 17 %, the
// acceptance test 10 %, the loop's own body with its look-ahead stages 10 %, graph edits 5 %.
// Tried and measured without gain (alternating runs): keys and slots prefetched four and five
// levels ahead in the sift-down, with or without asking for the records on the likely path;
// siblings' keys and slots in one 24-byte unit; the heap lines of each removal asked for when
// its record is found; the pair slots (and records), points and quadrics of the neighbourhood
// asked for during or right after the acceptance test; the top's quadrics asked for ahead. The
// misses overlap as far as the core's outstanding-miss limit allows, so more requests only move
// the stall.
// Also tried (December 2026, later): a bottom-up sift-down (the hole taken down the path of the
// smaller children to a leaf, then the last record climbing back; the same slots for any heap
// that never held a NaN cost) runs 13 % fewer sift instructions but 20-30 % slower on a heap of
// 3.6M records with random removals, since it reads the keys of the path's cold last levels that
// the top-down sift rarely reaches; face records found by index times a fixed stride (all
// triangles) instead of through the offset table, no change beyond the noise; building the
// library with -fno-semantic-interposition (calls to the exported classes' members bound inside
// the library, so that they can be inlined), 1.9 % fewer loop instructions (callgrind, bunny00),
// not kept. Only about one candidate in 500 is refused by the acceptance test and put back, so
// the refusals cost nothing worth removing.
// What is inherent to this design: the heap's tie order (a different heap shape changes which
// of equal-cost candidates goes first, so the layout and every sift stay), the exclusive face
// query's hash order (the acceptance test's sums and sliver rule follow it), and one pair index
// probe per neighbour (no per-point candidate lists fit the memory budget).
//
// Where the preparation goes (1.2M-triangle mesh, December 2026): 1.02-1.05 s of CPU time
// (0.92-1.0 s in later runs on a quieter machine), of which SetOptimizeMode (classification,
// selection, working copy) 0.33 s. callgrind, one
// preparation, inclusive: 4.83 G instructions; SetOptimizeMode 1.77 G (classification 1.39 G:
// edge-to-face graph 0.68 G, 3D corners and coplanar points in one walk 0.42 G, material frontier
// 0.10 G, border and 2D corners 0.17 G; working copy 0.19 G; selection 0.14 G); candidate records,
// edge order, heap and pair index 2.45 G (pair costs 0.60 G, heap build 0.17 G, zero fills of the
// record array 0.29 G); quadrics 0.52 G plus 0.19 G of array fill. In CPU time the candidate step
// is about half of the preparation, bound by misses (pair index and edge-order set probes, the
// faces around each point) rather than instructions; page faults of fresh arrays take ~10 %.
// Measured without gain in December 2026: a zero-filled pair index from the allocator instead of
// a fill pass (the page faults move to the insertions), and asking ahead for the records in the
// heap build's pass over the slot fields.
// Later in December 2026 (the record array unfilled, the heap build reading a key array, the
// edge order's copy without a branch per slot), CPU time of each phase of one preparation, timed
// in place (ms): classification 271, selection 15, working copy and point-to-face graph 55,
// quadrics 70, widened point-to-face graph 33, candidate walk (records and costs) 171 plus ~30
// of page faults of the record array, edge order 110 (of which the set's one growth 30, its copy
// 7), heap build 69 (the slot-field pass 20), pair index 77. System time, mostly page faults of
// fresh blocks (the edge-to-face graph, the records, the pair index, the edge set, the quadrics),
// is 0.70 s of a prep-mode run of 3 preparations (428k page faults in all, mesh building
// included). Measured without gain: widening the point-to-face graph in place from a copy of the
// old one (3.3k fewer faults per preparation, time unchanged), asking ahead for the new home
// slots while the edge set grows, and packing its used slots before re-placing them; writing the
// heap's slot fields in record order through the key array turned into a slot index per record
// gained 3-4 ms of the heap build's 66 (none visible in the whole preparation), not kept.
// Since the allocation functions ask for large pages on blocks of 4 MB or more, a prep-mode run
// takes 61k page faults instead of 438k (the system time, mostly zeroing, stays about 0.8 s) and
// the preparation 0.86-0.89 s instead of 0.95-1.0 s; in loop mode the loop went from 3.4-3.7 s to
// 3.0-3.4 s, the misses of its random reads now rarely missing the translation cache as well.
// The input's order matters to both, and more to meshoptimizer: with the large mesh's points put
// in Morton order of their positions and its faces in the order of their first points (a trial
// of December 2026, loop mode, alternating runs with a fuzzer on the other core), Kestovar's
// total went from 3.7-4.8 s to 3.7-4.0 s and meshoptimizer's from 1.1-1.5 s to 0.77-0.97 s, so
// the ratio grew to 3.9-5.1x. An internal reordering of the working mesh for locality would
// therefore gain the library a few to ten percent against this mesh as it is; the mesh keeps the
// order its subdivision gives (the original points first, each round's midpoints after them in
// face order).
//
// Usage: bench_simplify [bunny.obj] [runs] [small|prep|loop]
// "small" stops after bunny00; "prep" times only the preparation of the large mesh (median CPU
// time and its peak memory per input triangle), for profiling it on its own; "loop" runs only the
// large mesh, without the recording runs and the Hausdorff distances, for timing the loop.
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestovar/compare/geom_compare.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/object.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/simplify/ext_object.h"
#include "report.h"
#include "simplify/obj_mesh_util.h"

#ifdef KESTOVAR_HAVE_MESHOPTIMIZER
#include <meshoptimizer.h>
#endif

using namespace kestovar;
using benchreport::Median;
using objtest::ObjMesh;

namespace {

// CPU time of the process: the machine is shared, so wall-clock figures would measure the other
// users' load; every timed region runs on one thread.
double Now() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// ---- library memory accounting through the allocation hook ----------------------------------

std::atomic<int64_t> g_current{0};
std::atomic<int64_t> g_peak{0};

void Account(int64_t delta) {
    int64_t now = g_current.fetch_add(delta) + delta;
    int64_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}
void* HookAllocate(size_t size, int kind) {
    void* p = kind == XMEM_CALLOC ? std::calloc(1, size) : std::malloc(size);
    if (p) Account(int64_t(malloc_usable_size(p)));
    return p;
}
void* HookReallocate(void* p, size_t size) {
    int64_t before = p ? int64_t(malloc_usable_size(p)) : 0;
    void* q = std::realloc(p, size);
    if (q) Account(int64_t(malloc_usable_size(q)) - before);
    else if (size == 0) Account(-before);
    return q;
}
void HookFree(void* p, int) {
    if (p) Account(-int64_t(malloc_usable_size(p)));
    std::free(p);
}
void ResetPeak() { g_peak.store(g_current.load()); }

// ---- test meshes -------------------------------------------------------------------------------

// One round of 1:4 subdivision; each new point is the edge midpoint moved along the mean of the
// end points' normals by up to 8 % of the edge length (a hash of the edge picks the amount), so
// that no new face is coplanar with its parent.
ObjMesh Subdivide(const ObjMesh& in) {
    ObjMesh out;
    out.xyz = in.xyz;
    const size_t np = in.PointCount();
    std::vector<double> normals(np * 3, 0.0);
    for (size_t f = 0; f < in.TriangleCount(); ++f) {
        const int* t = &in.tris[3 * f];
        const float* a = &in.xyz[3 * size_t(t[0])];
        const float* b = &in.xyz[3 * size_t(t[1])];
        const float* c = &in.xyz[3 * size_t(t[2])];
        double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        for (int k = 0; k < 3; ++k)
            for (int j = 0; j < 3; ++j) normals[3 * size_t(t[k]) + size_t(j)] += n[j];
    }
    for (size_t i = 0; i < np; ++i) {
        double* n = &normals[3 * i];
        double l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (l > 0)
            for (int j = 0; j < 3; ++j) n[j] /= l;
    }
    std::unordered_map<uint64_t, int> mid;
    mid.reserve(in.tris.size());
    auto midpoint = [&](int a, int b) {
        uint64_t key = a < b ? (uint64_t(a) << 32 | unsigned(b)) : (uint64_t(b) << 32 | unsigned(a));
        auto it = mid.find(key);
        if (it != mid.end()) return it->second;
        const float* pa = &in.xyz[3 * size_t(a)];
        const float* pb = &in.xyz[3 * size_t(b)];
        double len = std::sqrt(double(pa[0] - pb[0]) * (pa[0] - pb[0]) + double(pa[1] - pb[1]) * (pa[1] - pb[1]) +
                               double(pa[2] - pb[2]) * (pa[2] - pb[2]));
        uint64_t h = key * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
        double amount = (double(h % 2001) / 1000.0 - 1.0) * 0.08 * len;
        int index = int(out.xyz.size() / 3);
        for (int j = 0; j < 3; ++j) {
            double n = normals[3 * size_t(a) + size_t(j)] + normals[3 * size_t(b) + size_t(j)];
            out.xyz.push_back(float(0.5 * (double(pa[j]) + pb[j]) + 0.5 * n * amount));
        }
        mid.emplace(key, index);
        return index;
    };
    for (size_t f = 0; f < in.TriangleCount(); ++f) {
        const int a = in.tris[3 * f], b = in.tris[3 * f + 1], c = in.tris[3 * f + 2];
        const int ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
        out.tris.insert(out.tris.end(), {a, ab, ca, ab, b, bc, ca, bc, c, ab, bc, ca});
    }
    out.material.assign(out.TriangleCount(), 0u);
    return out;
}

struct ObjectDeleter {
    void operator()(C3DGeomObject* o) const {
        if (o) o->Delete();
    }
};
using ObjectPtr = std::unique_ptr<C3DGeomObject, ObjectDeleter>;

ObjectPtr MakePlainObject(const std::vector<float>& xyz, const std::vector<int>& tris) {
    return ObjectPtr(CreateObjectFromArrays(xyz.data(), unsigned(xyz.size() * 4), tris.data(),
                                            unsigned(tris.size() * 4), nullptr, 0));
}

// ---- one Kestovar run --------------------------------------------------------------------------

struct RunResult {
    double prep = 0, loop = 0;
    int64_t peakBytes = 0, inputBytes = 0;
    int64_t prepPeak = 0, prepHeld = 0;  // peak during the preparation, bytes held after it
    int faces = 0;
    std::vector<float> xyz;  // working points after the run
    std::vector<int> tris;   // live faces after the run
};

RunResult RunKestovar(const ObjMesh& mesh, double ratio, bool record) {
    RunResult r;
    const int64_t base = g_current.load();
    ResetPeak();
    CSceneOptimizer optimizer;
    optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
    if (record) optimizer.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    C3DPointList* points = C3DPointList::Create();
    objtest::FillPoints(mesh, *points);
    C3DFaceList* faces = C3DFaceList::Create();
    CDependentChannels* channels = CDependentChannels::Create();
    objtest::FillFacesAndChannels(mesh, *faces, *channels, false);
    r.inputBytes = g_current.load() - base;
    C3DExtObject* object = new C3DExtObject(points, faces, channels);
    points->Delete();
    faces->Delete();
    channels->Delete();
    // The preparation is timed from the moment the input lists exist: attaching the optimiser and
    // setting the mode already prepare the working copy, flags and selection.
    double t0 = Now();
    object->SetOptimizer(optimizer, nullptr);
    object->SetOptimizeMode(OPT_CHECK_FLIP, true);
    object->InitOptimization(false);
    double t1 = Now();
    r.prepPeak = g_peak.load() - base;
    r.prepHeld = g_current.load() - base;
    bool cancelled = false;
    object->Optimize(ratio, cancelled, 1);
    double t2 = Now();
    r.prep = t1 - t0;
    r.loop = t2 - t1;
    r.peakBytes = g_peak.load() - base;

    const CExtPointList* pts = object->GetPointList();
    for (int i = 0; i < pts->GetSize(); ++i) {
        const C3DTPoint<float>& p = *pts->GetPoint(i);
        r.xyz.insert(r.xyz.end(), {p.x, p.y, p.z});
    }
    C3DFaceList* work = object->GetWorkingFaceList();
    for (int f = 0; f < work->GetSize(); ++f) {
        if (!work->IsFaceLive(unsigned(f))) continue;
        int n;
        const int* idx = work->GetIndexes(unsigned(f), n);
        r.tris.insert(r.tris.end(), idx, idx + 3);
        ++r.faces;
    }
    object->Delete();
    return r;
}

// FNV-1a over the bit patterns of the result's points and its face corners: equal hashes from
// two builds mean the same contractions in the same order (the output must stay bit-identical
// across speed work, on the large mesh as on the pinned test meshes).
uint64_t ResultHash(const RunResult& r) {
    uint64_t h = 1469598103934665603ull;
    auto add = [&h](const void* data, size_t bytes) {
        const unsigned char* b = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < bytes; ++i) h = (h ^ b[i]) * 1099511628211ull;
    };
    add(r.xyz.data(), r.xyz.size() * sizeof(float));
    add(r.tris.data(), r.tris.size() * sizeof(int));
    return h;
}

std::string SummaryName(const char* name, double ratio) {
    return "simplify " + std::string(name) + " to " + std::to_string(int(ratio * 100 + 0.5)) + " %";
}

// quick: without the recording runs and the Hausdorff distances (for timing the loop alone).
void Bench(const char* name, const ObjMesh& mesh, int runs, bool quick = false) {
    const double tris = double(mesh.TriangleCount());
    std::printf("== %s: %.0f triangles, %zu points\n", name, tris, mesh.PointCount());
    ObjectPtr original = MakePlainObject(mesh.xyz, mesh.tris);
    for (double ratio : {0.1, 0.01}) {
        std::vector<double> prep, loop, loopRec, recRatio, peak;
        RunResult last;
        int64_t input = 0, prepPeak = 0, prepHeld = 0;
#ifdef KESTOVAR_HAVE_MESHOPTIMIZER
        std::vector<unsigned> indices(mesh.tris.begin(), mesh.tris.end());
        std::vector<unsigned> out(indices.size());
        std::vector<double> mo, pairRatio;
        size_t count = 0;
#endif
        for (int i = 0; i < runs; ++i) {
            RunResult r = RunKestovar(mesh, ratio, false);
#ifdef KESTOVAR_HAVE_MESHOPTIMIZER
            // meshoptimizer runs right after each Kestovar run, so that both of a pair see the same
            // load of the shared machine; the median of the pairs' ratios follows.
            const double t0 = Now();
            count = meshopt_simplify(out.data(), indices.data(), indices.size(), mesh.xyz.data(), mesh.PointCount(),
                                     12, size_t(double(indices.size()) * ratio) / 3 * 3, 1.0f, 0, nullptr);
            mo.push_back(Now() - t0);
            pairRatio.push_back((r.prep + r.loop) / mo.back());
#endif
            prep.push_back(r.prep);
            loop.push_back(r.loop);
            peak.push_back(double(r.peakBytes));
            input = r.inputBytes;
            prepPeak = r.prepPeak;
            prepHeld = r.prepHeld;
            if (!quick) {
                loopRec.push_back(RunKestovar(mesh, ratio, true).loop);
                recRatio.push_back(loopRec.back() / r.loop);
            }
            if (i + 1 == runs) last = std::move(r);
        }
        const double kPrep = Median(prep), kLoop = Median(loop), kRec = quick ? kLoop : Median(loopRec);
        const double kTotal = kPrep + kLoop;
        std::printf("  %4.0f %%  kestovar: prep %.3f s, loop %.3f s, %.2f M input tri/s, %d faces left\n",
                    ratio * 100, kPrep, kLoop, tris / kTotal * 1e-6, last.faces);
        std::printf("          result hash %016llx\n", static_cast<unsigned long long>(ResultHash(last)));
        std::printf("          peak memory %.0f bytes/input triangle (%.0f above the input lists)\n",
                    Median(peak) / tris, (Median(peak) - double(input)) / tris);
        std::printf("          of which: input %.0f, preparation peak %.0f, held after preparation %.0f\n",
                    double(input) / tris, double(prepPeak) / tris, double(prepHeld) / tris);
        if (!quick)
            std::printf("          recording: loop %.3f s, %+.1f %% (median of the runs' ratios %+.1f %%)\n", kRec,
                        (kRec / kLoop - 1.0) * 100.0, (Median(recRatio) - 1.0) * 100.0);
        ObjectPtr reduced = MakePlainObject(last.xyz, last.tris);
        double hk = quick ? 0.0
                          : GeomCompare(original.get(), reduced.get(), MESH_COMPARE_DEFAULT, HUGE_VAL,
                                        GEOMCOMPARE_DEFAULT);
#ifdef KESTOVAR_HAVE_MESHOPTIMIZER
        std::vector<int> motris(out.begin(), out.begin() + long(count));
        ObjectPtr moObject = MakePlainObject(mesh.xyz, motris);
        double hm = quick ? 0.0
                          : GeomCompare(original.get(), moObject.get(), MESH_COMPARE_DEFAULT, HUGE_VAL,
                                        GEOMCOMPARE_DEFAULT);
        const double m = Median(mo);
        std::printf("          meshoptimizer: %.3f s, %.2f M input tri/s, %zu faces left; kestovar/meshopt %.2fx "
                    "(median of the runs' ratios %.2fx)\n",
                    m, tris / m * 1e-6, count / 3, kTotal / m, Median(pairRatio));
        benchreport::Report(SummaryName(name, ratio).c_str(), kTotal, Median(peak), "meshoptimizer", m, -1);
        if (!quick)
            std::printf("          Hausdorff (relative): kestovar %.5f, meshoptimizer %.5f\n", hk, hm);
#else
        std::printf("          Hausdorff (relative): kestovar %.5f (meshoptimizer not found)\n", hk);
        benchreport::Report(SummaryName(name, ratio).c_str(), kTotal, Median(peak), nullptr, -1, -1);
#endif
    }
}

// The preparation alone on `mesh`, `runs` times: median CPU seconds and the peak library memory
// above the state before the input lists were made, in bytes per input triangle.
void BenchPreparation(const char* name, const ObjMesh& mesh, int runs) {
    const double tris = double(mesh.TriangleCount());
    std::vector<double> prep, attach, mode, peak;
    for (int i = 0; i < runs; ++i) {
        const int64_t base = g_current.load();
        ResetPeak();
        CSceneOptimizer optimizer;
        optimizer.SetFlags(SCENEOPTIMIZER_WORKING_COPY, true);
        C3DPointList* points = C3DPointList::Create();
        objtest::FillPoints(mesh, *points);
        C3DFaceList* faces = C3DFaceList::Create();
        CDependentChannels* channels = CDependentChannels::Create();
        objtest::FillFacesAndChannels(mesh, *faces, *channels, false);
        C3DExtObject* object = new C3DExtObject(points, faces, channels);
        points->Delete();
        faces->Delete();
        channels->Delete();
        const double t0 = Now();
        object->SetOptimizer(optimizer, nullptr);
        const double t1 = Now();
        object->SetOptimizeMode(OPT_CHECK_FLIP, true);
        const double t2 = Now();
        object->InitOptimization(false);
        prep.push_back(Now() - t0);
        attach.push_back(t1 - t0);
        mode.push_back(t2 - t1);
        peak.push_back(double(g_peak.load() - base));
        object->Delete();
    }
    std::printf("== %s: %.0f triangles: preparation %.1f ms (SetOptimizer %.1f, SetOptimizeMode %.1f), peak %.0f "
                "bytes/input triangle\n",
                name, tris, Median(prep) * 1e3, Median(attach) * 1e3, Median(mode) * 1e3, Median(peak) / tris);
}

}  // namespace

int main(int argc, char** argv) {
    benchreport::KeepFreedBlocks();
    memoryCallbackNotify.allocate = HookAllocate;
    memoryCallbackNotify.reallocate = HookReallocate;
    memoryCallbackNotify.free = HookFree;
    OMPSetMaxThreadCount(1);
    const std::string path = argc > 1 ? argv[1] : std::string(KESTOVAR_SOURCE_DIR) + "/data/bunny00.obj";
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    ObjMesh bunny;
    if (!objtest::LoadObj(path, bunny)) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::string mode = argc > 3 ? argv[3] : "";
    if (mode == "loop") {
        Bench("bunny00 x16, displaced", Subdivide(Subdivide(bunny)), runs, true);
        return 0;
    }
    if (mode == "prep") {
        BenchPreparation("bunny00 x16, displaced", Subdivide(Subdivide(bunny)), runs);
        return 0;
    }
    Bench("bunny00", bunny, runs);
    if (mode == "small") return 0;
    ObjMesh big = Subdivide(Subdivide(bunny));
    Bench("bunny00 x16, displaced", big, std::max(1, runs / 2 + 1));
    return 0;
}
