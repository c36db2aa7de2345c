// Mesh comparison benchmark.
//
// 1. GeomCompare of the bunny against a reduction of itself to about 10 % of its faces (flags
//    0x20007: both directions, point + edge + face samples, budget 6 x the larger face count), on
//    2 threads: samples per second.
// 2. Closest-face queries against the bunny from points near its surface: queries per second.
// 3. Closest-face queries against a bumpy sphere of 1,000,000 triangles: mean cost per query, with
//    the points in random order (the headline figure: every query starts cold) and in surface order
//    (points made face after face, each query hinted with the previous answer, as GeomCompare's
//    samplers ask), and the grid's memory per triangle.
// 4. Closest-face queries against the bunny from points of its surface moved 2 and 50 of its
//    diagonals away (in surface order, hinted): mean cost per query and cells inspected.
// 5. A fan: closest-face queries from the surface of a cone of 5,000 spokes (4 points per face,
//    in surface order, hinted) to a cone of 50,000 spokes, building the map included.
// Each line shows the median of several runs beside the peer measured in the same run: CGAL's AABB
// tree (closest point on triangles, trees built inside the timed region as the grid is) when the
// build found CGAL. The reduction is meshoptimizer's simplifier when found, else a small vertex
// clustering written here.
//
// Last figures (2 shared cores, CPU time): part 3 costs 1.8-2.1 us per query in random order
// (medians of 3 alternating runs of an ad-hoc driver: 2.05 us; one quiet bench run: 1.82 us, 6.1x
// faster than CGAL) and 1.1 us in surface order (1.85x CGAL); the grid takes 24.7 bytes per
// triangle plus the 40-byte face cache entry and is built in 320-350 ms. A random-order query
// makes 6.06 cells inspected, about 71 box tests and 17 exact triangle tests, about 13k
// instructions. With "large" (grid tables and face cache on 2 MB pages) the random-order cost
// drops to 1.73 us (driver medians; -4 % to -16 % run to run, one bench run 1.74 us) but the
// first build takes 390-480 ms, as this machine must find and clear fresh 2 MB pages. Part 1:
// about 5 M samples per second by CPU time on 2 threads.
// Queries far from every face (December 2026): comparing the bunny with a copy of itself moved
// two or a hundred diagonals away walked every empty cell of the grid per query and ran for more
// than two minutes without an end in sight; since queries whose answer lies beyond four shells of
// cells go down the occupancy tree, the whole comparison takes 10-11 s (8-9x the comparison of
// the bunny with itself: a far point's sphere is nearly flat across the mesh, so the occupied
// cells of a whole layer facing it lie within its bound). Near queries are unchanged (parts 2
// and 3 in alternating runs, within the noise). One stray triangle a million units from the
// bunny sized the cells to the whole box, crowding the bunny into eight cells of about 10000
// faces each: comparing it with the bunny ran for minutes. Stray faces now stay out of the cells
// (measured after them by every query): 1.3 s, as without the stray triangle.
// Part 4 (December 2026, 2 shared cores, another process on the second core, 3 runs): 12-21 us
// per query 2 diagonals off (88 cells inspected), 12-20 us 50 diagonals off (67 cells), where
// CGAL's tree takes 7-18 us: it is 1.1-1.6x and 1.7-2.2x faster on these queries, where the grid
// is 6x faster than it near the surface. Tried without gain: bounding each unit of the occupancy
// tree by its occupied children instead of its whole box when descending (88 cells instead of
// 90, no change in time): the cells of the layer facing the point are occupied all the same.
// Part 5 (December 2026, 2 shared cores, quiet): 8.8 us per query with the build included, CGAL's
// tree 423 us (48x). Before crowded cells had trees of their faces and meshes of slivers cells
// sized by the faces' extent, the map filed 8.1 million entries for the 50,000 spokes (now 342k)
// and took 81 us per query (CGAL 5.3x slower); 106 point-segment distances per query, now 9.
// CGAL's own build of the same tree overflows the stack when every triangle starts at the apex
// (see Cone). `kestovar compare` of a closed cone with itself (2 threads, Release): 20,000
// segments 1.46 -> 0.37 s, 80,000 segments 12.2 -> 2.3 s and 927 -> 95 MB. The parts 1-4 meshes
// keep their cells and answers (part 3 within the noise in alternating runs).
//
// Usage: bench_compare [bunny.obj [part [large]]] (part 1 to 5, all when absent or 0)
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestovar/compare/geom_compare.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/face_grid.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "report.h"
#include "simplify/obj_mesh_util.h"

#ifdef KESTOVAR_HAVE_MESHOPTIMIZER
#include <meshoptimizer.h>
#endif

#ifdef KESTOVAR_HAVE_CGAL
#include <CGAL/AABB_traits.h>
#include <CGAL/AABB_tree.h>
#include <CGAL/AABB_triangle_primitive.h>
#include <CGAL/Simple_cartesian.h>
#endif

using namespace kestovar;

namespace {

struct Mesh {
    std::vector<float> xyz;
    std::vector<int> tris;
    size_t Faces() const { return tris.size() / 3; }
};

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU seconds of the whole process (all threads): on a loaded machine the wall clock also counts
// the time other processes held the cores.
double CpuNow() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

using benchreport::Median;

// Positions and faces (fan-triangulated), through the tests' OBJ reader.
bool ReadObj(const std::string& path, Mesh& m) {
    objtest::ObjMesh obj;
    if (!objtest::LoadObj(path, obj)) return false;
    m.xyz = std::move(obj.xyz);
    m.tris = std::move(obj.tris);
    return true;
}

// Vertex clustering on a cubic grid: every point moves to the mean of its cell, faces that lose a
// corner disappear. The grid resolution is searched so that about `target` faces remain.
[[maybe_unused]] Mesh Cluster(const Mesh& m, size_t target) {
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    for (size_t i = 0; i < m.xyz.size(); ++i) {
        lo[i % 3] = std::min(lo[i % 3], m.xyz[i]);
        hi[i % 3] = std::max(hi[i % 3], m.xyz[i]);
    }
    const float extent = std::max(hi[0] - lo[0], std::max(hi[1] - lo[1], hi[2] - lo[2]));
    Mesh best;
    int a = 4, b = 1024;
    while (a < b) {
        int res = (a + b) / 2;
        Mesh out;
        std::unordered_map<long long, int> cell;
        std::vector<int> remap(m.xyz.size() / 3);
        std::vector<double> sum;
        std::vector<int> count;
        for (size_t v = 0; v < remap.size(); ++v) {
            long long key = 0;
            for (int k = 0; k < 3; ++k)
                key = key * 2048 + std::min(res - 1, int((m.xyz[3 * v + k] - lo[k]) / extent * res));
            auto it = cell.emplace(key, int(count.size())).first;
            if (it->second == int(count.size())) {
                count.push_back(0);
                sum.insert(sum.end(), {0.0, 0.0, 0.0});
            }
            remap[v] = it->second;
            ++count[it->second];
            for (int k = 0; k < 3; ++k) sum[3 * it->second + k] += m.xyz[3 * v + k];
        }
        for (size_t c = 0; c < count.size(); ++c)
            for (int k = 0; k < 3; ++k) out.xyz.push_back(float(sum[3 * c + k] / count[c]));
        for (size_t t = 0; t < m.tris.size(); t += 3) {
            int p = remap[m.tris[t]], q = remap[m.tris[t + 1]], r = remap[m.tris[t + 2]];
            if (p != q && q != r && r != p) out.tris.insert(out.tris.end(), {p, q, r});
        }
        if (out.Faces() < target) {
            a = res + 1;
        } else {
            b = res;
        }
        if (best.tris.empty() || std::llabs((long long)out.Faces() - (long long)target) <
                                     std::llabs((long long)best.Faces() - (long long)target))
            best = out;
    }
    return best;
}

Mesh Reduce(const Mesh& m, size_t target, const char*& how) {
#ifdef KESTOVAR_HAVE_MESHOPTIMIZER
    std::vector<unsigned> in(m.tris.begin(), m.tris.end()), out(in.size());
    size_t n = meshopt_simplify(out.data(), in.data(), in.size(), m.xyz.data(), m.xyz.size() / 3, 12, target * 3, 1.0f,
                                0, nullptr);
    Mesh r;
    r.xyz = m.xyz;
    r.tris.assign(out.begin(), out.begin() + long(n));
    how = "meshoptimizer";
    return r;
#else
    how = "vertex clustering";
    return Cluster(m, target);
#endif
}

// A sphere of radius 1 + 0.1 sin(5 theta) sin(7 phi): rings x segments x 2 triangles.
Mesh BumpySphere(int rings, int segments) {
    Mesh m;
    const double pi = 3.14159265358979323846;
    for (int i = 0; i <= rings; ++i) {
        double theta = pi * i / rings;
        for (int j = 0; j < segments; ++j) {
            double phi = 2 * pi * j / segments;
            double r = 1.0 + 0.1 * std::sin(5 * theta) * std::sin(7 * phi);
            m.xyz.insert(m.xyz.end(), {float(r * std::sin(theta) * std::cos(phi)), float(r * std::sin(theta) * std::sin(phi)),
                                       float(r * std::cos(theta))});
        }
    }
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            int a = i * segments + j, b = i * segments + (j + 1) % segments, c = a + segments, d = b + segments;
            m.tris.insert(m.tris.end(), {a, c, d, a, d, b});
        }
    }
    return m;
}

C3DObject* MakeObject(const Mesh& m) {
    return CreateObjectFromArrays(m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(), unsigned(m.tris.size() * 4),
                                  nullptr, 0);
}

// An open cone of `spokes` triangles around its apex (0, 0, 1), its rim the unit circle at z = 0:
// a fan whose thin faces all meet at one point, taking every `step`-th rim point.
Mesh Cone(int spokes, int step) {
    Mesh m;
    m.xyz = {0.0f, 0.0f, 1.0f};
    const int n = spokes / step;
    for (int i = 0; i < n; ++i) {
        const double a = 6.283185307179586 * double(i * step) / spokes;
        m.xyz.insert(m.xyz.end(), {float(std::cos(a)), float(std::sin(a)), 0.0f});
    }
    // The apex last: CGAL's tree takes each triangle's first corner as its reference point for the
    // search structure of accelerate_distance_queries, which overflows the stack when they all
    // coincide.
    for (int i = 0; i < n; ++i) m.tris.insert(m.tris.end(), {1 + i, 1 + (i + 1) % n, 0});
    return m;
}

// Points near the surface of `m`: on random triangles, pushed off by up to `offset` along x, y, z.
std::vector<double> NearPoints(const Mesh& m, size_t n, double offset, unsigned seed) {
    std::vector<double> p;
    p.reserve(3 * n);
    uint64_t s = seed * 2862933555777941757ull + 3037000493ull;
    auto rnd = [&] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return double(s >> 11) / 9007199254740992.0;
    };
    for (size_t i = 0; i < n; ++i) {
        size_t t = std::min(m.Faces() - 1, size_t(rnd() * m.Faces()));
        double u = rnd(), v = rnd();
        if (u + v > 1) u = 1 - u, v = 1 - v;
        for (int k = 0; k < 3; ++k) {
            double a = m.xyz[3 * m.tris[3 * t] + k], b = m.xyz[3 * m.tris[3 * t + 1] + k], c = m.xyz[3 * m.tris[3 * t + 2] + k];
            p.push_back(a + u * (b - a) + v * (c - a) + offset * (2 * rnd() - 1));
        }
    }
    return p;
}

// Points near the surface of `m` in surface order: `perFace` points on each triangle in turn,
// pushed off by up to `offset` along x, y, z.
std::vector<double> SurfacePoints(const Mesh& m, size_t perFace, double offset, unsigned seed) {
    std::vector<double> p;
    p.reserve(3 * perFace * m.Faces());
    uint64_t s = seed * 2862933555777941757ull + 3037000493ull;
    auto rnd = [&] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return double(s >> 11) / 9007199254740992.0;
    };
    for (size_t t = 0; t < m.Faces(); ++t) {
        for (size_t i = 0; i < perFace; ++i) {
            double u = rnd(), v = rnd();
            if (u + v > 1) u = 1 - u, v = 1 - v;
            for (int k = 0; k < 3; ++k) {
                double a = m.xyz[3 * m.tris[3 * t] + k], b = m.xyz[3 * m.tris[3 * t + 1] + k],
                       c = m.xyz[3 * m.tris[3 * t + 2] + k];
                p.push_back(a + u * (b - a) + v * (c - a) + offset * (2 * rnd() - 1));
            }
        }
    }
    return p;
}

#ifdef KESTOVAR_HAVE_CGAL
typedef CGAL::Simple_cartesian<double> K;
typedef std::vector<K::Triangle_3>::const_iterator TriangleIterator;
typedef CGAL::AABB_triangle_primitive<K, TriangleIterator> Primitive;
typedef CGAL::AABB_tree<CGAL::AABB_traits<K, Primitive>> Tree;

std::vector<K::Triangle_3> Triangles(const Mesh& m) {
    std::vector<K::Triangle_3> t;
    for (size_t i = 0; i < m.tris.size(); i += 3) {
        K::Point_3 p[3];
        for (int c = 0; c < 3; ++c) {
            const float* v = &m.xyz[3 * m.tris[i + c]];
            p[c] = K::Point_3(v[0], v[1], v[2]);
        }
        t.emplace_back(p[0], p[1], p[2]);
    }
    return t;
}

// Largest distance from `points` to the tree (built here, inside the timed region).
double CgalMax(const std::vector<K::Triangle_3>& triangles, const std::vector<double>& points) {
    Tree tree(triangles.begin(), triangles.end());
    tree.accelerate_distance_queries();
    double worst = 0.0;
    for (size_t i = 0; i < points.size(); i += 3)
        worst = std::max(worst, tree.squared_distance(K::Point_3(points[i], points[i + 1], points[i + 2])));
    return std::sqrt(worst);
}

// Sum of the squared distances from `points` to a built tree, one query each.
double CgalSum(const Tree& tree, const std::vector<double>& points) {
    double sum = 0.0;
    for (size_t i = 0; i < points.size(); i += 3)
        sum += tree.squared_distance(K::Point_3(points[i], points[i + 1], points[i + 2]));
    return sum;
}
#endif

// Sum of the distances from `points` to the map's faces, each query hinted with the previous
// answer as a comparison's sampler does; work counters added to `stats` when given.
double HintedQueries(const C3DFaceGridMap& map, const std::vector<double>& points, CFaceGridStats* stats) {
    double sum = 0.0, d;
    int hint = -1;
    for (size_t i = 0; i < points.size(); i += 3) {
        hint = map.GetClosestFace(&points[i], d, HUGE_VAL, stats, hint);
        sum += d;
    }
    return sum;
}

// Wall-clock and CPU seconds of one timed region.
struct Timing {
    double wall, cpu;
};

class Stopwatch {
public:
    Stopwatch() : m_wall(Now()), m_cpu(CpuNow()) {}
    Timing Stop() const { return {Now() - m_wall, CpuNow() - m_cpu}; }

private:
    double m_wall, m_cpu;
};

double MedianWall(const std::vector<Timing>& t) {
    std::vector<double> v;
    for (const Timing& x : t) v.push_back(x.wall);
    return Median(v);
}
double MedianCpu(const std::vector<Timing>& t) {
    std::vector<double> v;
    for (const Timing& x : t) v.push_back(x.cpu);
    return Median(v);
}

// One line: Kestovar's figure, the peer's, their ratio (> 1: Kestovar is better), by the wall clock
// and by CPU time divided by the threads used (what idle cores would give).
// `summary` names the operation in the summary table (its figures there are median wall seconds).
void PrintLine(const std::string& summary, const char* what, double work, const std::vector<Timing>& ours,
               const std::vector<Timing>& peer, int threads, double scale, const char* unit, bool perWork) {
    auto figure = [&](double seconds) { return perWork ? seconds / work * scale : work / seconds * scale; };
    const double ow = figure(MedianWall(ours)), oc = figure(MedianCpu(ours) / threads);
    if (!peer.empty()) {
        const double pw = figure(MedianWall(peer)), pc = figure(MedianCpu(peer) / threads);
        std::printf("%s: kestovar %.3f %s, cgal %.3f %s, ratio %.2f (cpu time: %.3f vs %.3f, ratio %.2f)\n", what, ow,
                    unit, pw, unit, perWork ? pw / ow : ow / pw, oc, pc, perWork ? pc / oc : oc / pc);
        benchreport::Report(summary.c_str(), MedianWall(ours), -1, "CGAL", MedianWall(peer), -1);
    } else {
        std::printf("%s: kestovar %.3f %s, cgal n/a (cpu time: %.3f)\n", what, ow, unit, oc);
        benchreport::Report(summary.c_str(), MedianWall(ours), -1, nullptr, -1, -1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : std::string(KESTOVAR_SOURCE_DIR) + "/data/bunny00.obj";
    Mesh bunny;
    if (!ReadObj(path, bunny)) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const char* how = "";
    Mesh reduced = Reduce(bunny, bunny.Faces() / 10, how);
    std::printf("bunny: %zu faces, reduced to %zu faces by %s\n", bunny.Faces(), reduced.Faces(), how);
    C3DObject* full = MakeObject(bunny);
    C3DObject* low = MakeObject(reduced);
    OMPSetMaxThreadCount(std::min(2, omp_get_max_threads()));
    const int only = argc > 2 ? std::atoi(argv[2]) : 0;  // run one part alone (1 to 5)
    // "large": part 3's grid on large pages (C3DFaceGridMap::SetLargePages).
    const bool largePages = argc > 3 && std::strcmp(argv[3], "large") == 0;
    const int runs = 5;
    std::vector<Timing> ours, peer;

    // 1. GeomCompare, both directions on two threads; the grids are rebuilt every run (a fresh
    //    comparison of a new candidate always builds one).
    if (only == 0 || only == 1) {
        uint64_t samples = 0;
        double distance = 0;
        for (int r = 0; r < runs; ++r) {
            full->GetFaceList()->DeleteFaceGridMap();
            low->GetFaceList()->DeleteFaceGridMap();
            Stopwatch w;
            distance = GeomCompare(full, low, MESH_COMPARE_HAUSDORFF, HUGE_VAL, GEOMCOMPARE_DEFAULT);
            ours.push_back(w.Stop());
            samples = C3DFaceGridMap::GetGlobalCounters().queries;
        }
#ifdef KESTOVAR_HAVE_CGAL
        {
            // The same number of samples per direction, on the surfaces, one direction per thread.
            const std::vector<K::Triangle_3> tf = Triangles(bunny), tl = Triangles(reduced);
            const std::vector<double> onFull = NearPoints(bunny, samples / 2, 0.0, 1),
                                      onLow = NearPoints(reduced, samples / 2, 0.0, 2);
            for (int r = 0; r < runs; ++r) {
                Stopwatch w;
#pragma omp parallel sections num_threads(2)
                {
#pragma omp section
                    CgalMax(tl, onFull);
#pragma omp section
                    CgalMax(tf, onLow);
                }
                peer.push_back(w.Stop());
            }
        }
#endif
        std::printf("GeomCompare bunny %zu vs %zu faces, flags 0x20007, %llu samples, distance %.6f\n",
                    bunny.Faces(), reduced.Faces(), (unsigned long long)samples, distance);
        PrintLine("GeomCompare bunny both ways (2 threads)", "  samples per second on 2 threads",
                  double(samples), ours, peer, 2, 1e-6, "M/s", false);
    }

    // 2. Closest-face queries against the bunny, one thread, from points near its surface.
    if (only == 0 || only == 2) {
        CGeomInfo geom(full);
        const std::vector<double> pts = NearPoints(reduced, 1000000, 0.002, 3);
        ours.clear();
        peer.clear();
        for (int r = 0; r < runs; ++r) {
            full->GetFaceList()->DeleteFaceGridMap();
            Stopwatch w;
            const C3DFaceGridMap* map = full->GetFaceList()->GetFaceGridMap(&geom);
            double sink = 0, d;
            for (size_t i = 0; i < pts.size(); i += 3) {
                map->GetClosestFace(&pts[i], d);
                sink += d;
            }
            ours.push_back(w.Stop());
            if (sink < 0) std::printf("!");
        }
#ifdef KESTOVAR_HAVE_CGAL
        const std::vector<K::Triangle_3> tf = Triangles(bunny);
        for (int r = 0; r < runs; ++r) {
            Stopwatch w;
            CgalMax(tf, pts);
            peer.push_back(w.Stop());
        }
#endif
        PrintLine("closest-face queries, bunny (grid build included)",
                  "closest-face queries on the bunny (1 thread, grid build included)", double(pts.size() / 3),
                  ours, peer, 1, 1e-6, "M/s", false);
    }
    // 4. Queries far from every face: points on the bunny's surface (one per face, in surface
    //    order, each hinted with the previous answer, as a comparison's sampler asks) moved along x
    //    by `diagonals` times the bunny's diagonal, against the bunny itself (build excluded).
    if (only == 0 || only == 4) {
        double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
        for (size_t i = 0; i < bunny.xyz.size(); ++i) {
            lo[i % 3] = std::min(lo[i % 3], double(bunny.xyz[i]));
            hi[i % 3] = std::max(hi[i % 3], double(bunny.xyz[i]));
        }
        const double diagonal = std::hypot(hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]);
        CGeomInfo geom(full);
        const C3DFaceGridMap* map = full->GetFaceList()->GetFaceGridMap(&geom);
        for (double diagonals : {2.0, 50.0}) {
            std::vector<double> pts = SurfacePoints(bunny, 1, 0.0, 6);
            for (size_t i = 0; i < pts.size(); i += 3) pts[i] -= diagonals * diagonal;
            ours.clear();
            peer.clear();
            CFaceGridStats stats;
            for (int r = 0; r < 3; ++r) {
                Stopwatch w;
                const double sink = HintedQueries(*map, pts, r == 0 ? &stats : nullptr);
                ours.push_back(w.Stop());
                if (sink < 0) std::printf("!");
            }
#ifdef KESTOVAR_HAVE_CGAL
            const std::vector<K::Triangle_3> tf = Triangles(bunny);
            Tree tree(tf.begin(), tf.end());
            tree.accelerate_distance_queries();
            for (int r = 0; r < 3; ++r) {
                Stopwatch w;
                const double sink = CgalSum(tree, pts);
                peer.push_back(w.Stop());
                if (sink < 0) std::printf("!");
            }
#endif
            std::printf("  per query %g diagonals off: %.1f cells inspected, %.2f point-segment distances\n",
                        diagonals, double(stats.cellsInspected) / double(stats.queries),
                        double(stats.pointSegment) / double(stats.queries));
            PrintLine("closest-face queries " + std::to_string(int(diagonals)) + " diagonals off the bunny",
                      "  mean query cost, far points, hinted (1 thread)", double(pts.size() / 3), ours, peer,
                      1, 1e6, "us", true);
        }
    }
    full->Delete();
    low->Delete();

    // 3. A million triangles: mean cost of one query, build excluded, in random order and in
    //    surface order (one point per face, face after face, hinted with the previous answer).
    if (only == 0 || only == 3) {
        Mesh big = BumpySphere(500, 1000);
        C3DObject* o = MakeObject(big);
        CGeomInfo geom(o);
        C3DFaceGridMap::SetLargePages(largePages);
        Stopwatch build;
        const C3DFaceGridMap* map = o->GetFaceList()->GetFaceGridMap(&geom);
        const Timing built = build.Stop();
        C3DFaceGridMap::SetLargePages(false);
        const std::vector<double> random = NearPoints(big, 1000000, 0.01, 4);
        const std::vector<double> surface = SurfacePoints(big, 1, 0.01, 5);
        std::vector<Timing> oursSurface, peerSurface;
        ours.clear();
        peer.clear();
        CFaceGridStats stats;
        for (int r = 0; r < 3; ++r) {
            Stopwatch w;
            double sink = 0, d;
            for (size_t i = 0; i < random.size(); i += 3) {
                map->GetClosestFace(&random[i], d, HUGE_VAL, r == 0 ? &stats : nullptr);
                sink += d;
            }
            ours.push_back(w.Stop());
            Stopwatch ws;
            sink += HintedQueries(*map, surface, nullptr);
            oursSurface.push_back(ws.Stop());
            if (sink < 0) std::printf("!");
        }
#ifdef KESTOVAR_HAVE_CGAL
        {
            const std::vector<K::Triangle_3> tb = Triangles(big);
            Tree tree(tb.begin(), tb.end());
            tree.accelerate_distance_queries();
            for (int r = 0; r < 3; ++r) {
                for (const std::vector<double>* pts : {&random, &surface}) {
                    Stopwatch w;
                    const double sink = CgalSum(tree, *pts);
                    (pts == &random ? peer : peerSurface).push_back(w.Stop());
                    if (sink < 0) std::printf("!");
                }
            }
        }
#endif
        // The grid's own arrays (one 16-byte occupancy word per block of 4 x 4 x 4 cells, cell
        // offsets, face entries) and the face list's per-face cache chunk it reads.
        double words = 16.0;
        for (int k = 0; k < 3; ++k) words *= double((map->GetCellCount(k) + 3) / 4);
        const double gridBytes = words + 4.0 * (map->GetOccupiedCellCount() + 1) + 4.0 * map->GetEntryCount();
        const double faces = double(big.Faces());
        std::printf("closest-face grid on %zu triangles: built in %.1f ms (cpu %.1f ms), %u x %u x %u cells, %u occupied, "
                    "%u entries; %.1f bytes per triangle (+ %zu of face cache); large pages %s\n",
                    big.Faces(), built.wall * 1e3, built.cpu * 1e3, map->GetCellCount(0), map->GetCellCount(1),
                    map->GetCellCount(2), map->GetOccupiedCellCount(), map->GetEntryCount(), gridBytes / faces,
                    sizeof(_GridFaceCache), largePages ? "on" : "off");
        std::printf("  per random-order query: %.2f cells inspected, %.2f point-segment distances\n",
                    double(stats.cellsInspected) / double(stats.queries), double(stats.pointSegment) / double(stats.queries));
        PrintLine("closest-face queries, " + std::to_string(big.Faces()) + " triangles",
                  "  mean query cost, random order (1 thread)", double(random.size() / 3), ours, peer, 1, 1e6, "us",
                  true);
        PrintLine("closest-face queries, " + std::to_string(big.Faces()) + " triangles, surface order",
                  "  mean query cost, surface order, hinted (1 thread)", double(surface.size() / 3), oursSurface,
                  peerSurface, 1, 1e6, "us", true);
        o->Delete();
    }

    // 5. Fans: points of a cone of 5,000 spokes (4 per face, in surface order, hinted) measured to
    //    a cone of 50,000 spokes, the map built inside the timed region as CGAL's tree is.
    if (only == 0 || only == 5) {
        const Mesh fine = Cone(50000, 1), coarse = Cone(50000, 10);
        const std::vector<double> pts = SurfacePoints(coarse, 4, 0.0, 9);
        ours.clear();
        peer.clear();
        CFaceGridStats stats;
        unsigned trees = 0, entries = 0;
        for (int r = 0; r < 3; ++r) {
            Stopwatch w;
            C3DObject* o = MakeObject(fine);
            CGeomInfo geom(o);
            const C3DFaceGridMap* map = o->GetFaceList()->GetFaceGridMap(&geom);
            const double sink = HintedQueries(*map, pts, r == 0 ? &stats : nullptr);
            trees = map->GetCrowdTreeCount();
            entries = map->GetEntryCount();
            o->Delete();
            ours.push_back(w.Stop());
            if (sink < 0) std::printf("!");
#ifdef KESTOVAR_HAVE_CGAL
            // CGAL's tree takes about 9 s a run here: once in quick mode.
            if (r == 0 || !benchreport::Quick()) {
                Stopwatch wp;
                const double worst = CgalMax(Triangles(fine), pts);
                peer.push_back(wp.Stop());
                if (worst < 0) std::printf("!");
            }
#endif
        }
        std::printf(
            "fan of %zu spokes: %u entries, %u crowded cells with a tree; per query %.2f point-segment "
            "distances\n",
            fine.Faces(), entries, trees, double(stats.pointSegment) / double(stats.queries));
        PrintLine("closest-face queries, fan of " + std::to_string(fine.Faces()) + " triangles",
                  "  build and queries, surface order, hinted (1 thread)", double(pts.size() / 3), ours, peer,
                  1, 1e6, "us", true);
    }
    return 0;
}
