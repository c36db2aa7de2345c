// Clean-up benchmarks, each beside a peer measured in the same run (median of 5 runs):
//   - Weld3DPoints at tolerance 0 on triangles split per face (3 points per triangle), beside
//     meshoptimizer's meshopt_generateVertexRemap on the same positions: bunny00.obj and a
//     generated 2-million-triangle grid;
//   - Triangulate of a 1-million-quadrangle grid, beside a plain loop that writes two index
//     triples per quadrangle;
//   - the ear clipping of single long polygons (a star of random radii, half its corners
//     reflex; a comb of narrow teeth; an octagon of straight corners), at 4000 and 64000
//     corners (2000 and 16000 in quick mode), beside a plain loop that writes the n - 2 triples
//     of a fan. The second length has 16 (8) times the corners; the time grows by about 20x
//     for the comb and the octagon and 45x for the star, whose late ears are wide. At 64000
//     corners (December 2026): star 0.23 s, comb 0.05 s, octagon 0.04 s, where walking the
//     polygon for each ear took 21.6 s, 4.7 s and 12.4 s (the time grew by 240 to 440x then).
//
// Where triangulating the 1M-quad grid goes (CPU samples, December 2026, about 37-40 ms): the
// exact quadrangle decision (ClipConvexQuadEightAvx2: projection, corner angles and the choice of
// ear in double lanes, bitwise what the general clipping computes) about 63 %; writing the
// triangles, their main data and offsets (AppendTriangles) about 22 %; sizing the new list 8 %.
// Tried without gain: the decision in one AVX-512 vector of eight lanes built from the
// compiler's generic vectors (twice as slow; the lanes are then extracted one by one, and that
// target lets the compiler fuse multiplies and adds, which would change bits).
//
//   - the whole-mesh walks (BenchWalks): coplanar merging, orientation, isolated parts and a weld
//     with a tolerance, on a 1.28M-triangle grid (180k in quick mode), without a peer.
//
// Usage: bench_cleanup [weld-bunny|weld-grid|triangulate|polygon|walks] (default: all five)
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/mesh/triangulate.h"
#include "report.h"
#include "shape_test_util.h"
#include "simplify/obj_mesh_util.h"

#ifdef KESTOVAR_HAVE_MESHOPTIMIZER
#include <meshoptimizer.h>
#endif

using namespace kestovar;

namespace {

// CPU seconds of the calling thread.
double Now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <class Fn>
double MedianSeconds(Fn&& fn, int runs = 5) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        double a = Now();
        fn();
        t.push_back(Now() - a);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

struct Soup {
    std::vector<float> xyz;  // 3 points per triangle, split per face
};

// The file's triangles (polygons fanned, through the tests' OBJ reader), split per face.
bool ReadObj(const std::string& path, Soup& soup) {
    objtest::ObjMesh obj;
    if (!objtest::LoadObj(path, obj)) return false;
    for (int c : obj.tris) soup.xyz.insert(soup.xyz.end(), obj.xyz.begin() + 3 * c, obj.xyz.begin() + 3 * c + 3);
    return true;
}

// A (w+1) x (h+1) grid of points, two triangles per cell, split per face.
Soup GridSoup(int w, int h) {
    Soup s;
    s.xyz.reserve(size_t(w) * h * 18);
    auto add = [&](int x, int y) { s.xyz.insert(s.xyz.end(), {float(x) * 0.01f, float(y) * 0.01f, float((x * y) % 7) * 0.001f}); };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            add(x, y), add(x + 1, y), add(x + 1, y + 1);
            add(x, y), add(x + 1, y + 1), add(x, y + 1);
        }
    return s;
}

C3DObject* SoupObject(const Soup& s) {
    int n = int(s.xyz.size() / 3);
    C3DPointList* pl = C3DPointList::Create();
    pl->SetSize(n);
    for (int i = 0; i < n; ++i) pl->GetAt(i).Init(s.xyz[3 * i], s.xyz[3 * i + 1], s.xyz[3 * i + 2]);
    C3DFaceList* fl = C3DFaceList::Create();
    fl->SetSize(n / 3, 3, SETSIZE_COMPACT_SLACK);
    CFace view;
    for (int f = 0; f < n / 3; ++f) {
        fl->GetFace(unsigned(f), view);
        view.SetTriangle(3 * f, 3 * f + 1, 3 * f + 2);
    }
    return new C3DObject(pl, fl, nullptr);
}

void BenchWeld(const char* name, const Soup& soup) {
    size_t n = soup.xyz.size() / 3;
    int welded = 0;
    double tk = 0.0;
    {
        std::vector<double> t;
        for (int r = 0; r < 5; ++r) {
            C3DObject* obj = SoupObject(soup);
            double a = Now();
            obj->Weld3DPoints(0.0, false, 0, 0);
            t.push_back(Now() - a);
            welded = obj->GetPointNbr();
            obj->Delete();
        }
        std::sort(t.begin(), t.end());
        tk = t[2];
    }
#ifdef KESTOVAR_HAVE_MESHOPTIMIZER
    std::vector<unsigned> remap(n);
    size_t unique = 0;
    double tp = MedianSeconds([&] {
        unique = meshopt_generateVertexRemap(remap.data(), nullptr, n, soup.xyz.data(), n, 12);
    });
    std::printf("weld %-12s points %zu -> %d (peer %zu): Kestovar %.2f M points/s, meshoptimizer %.2f M points/s, ratio %.2fx\n",
                name, n, welded, unique, n / tk / 1e6, n / tp / 1e6, tk / tp);
    benchreport::Report((std::string("weld ") + name).c_str(), tk, -1, "meshoptimizer", tp, -1);
#else
    std::printf("weld %-12s points %zu -> %d: Kestovar %.2f M points/s, peer unavailable\n", name, n, welded, n / tk / 1e6);
    benchreport::Report((std::string("weld ") + name).c_str(), tk, -1, nullptr, -1, -1);
#endif
}

void BenchTriangulate(int w, int h) {
    const int quads = w * h;
    auto build = [&] {
        C3DPointList* pl = C3DPointList::Create();
        pl->SetSize((w + 1) * (h + 1));
        for (int y = 0; y <= h; ++y)
            for (int x = 0; x <= w; ++x) pl->GetAt(y * (w + 1) + x).Init(float(x), float(y), 0.0f);
        C3DFaceList* fl = C3DFaceList::Create();
        fl->SetSize(quads, 4, SETSIZE_COMPACT_SLACK);
        CFace view;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int a = y * (w + 1) + x;
                fl->GetFace(unsigned(y * w + x), view);
                view.SetQuadrangle(a, a + 1, a + w + 2, a + w + 1);
            }
        return new C3DObject(pl, fl, nullptr);
    };
    std::vector<double> t;
    for (int r = 0; r < 5; ++r) {
        C3DObject* obj = build();
        double a = Now();
        obj->Triangulate(0, _FACE_PROPERTIES(0), true);
        t.push_back(Now() - a);
        obj->Delete();
    }
    std::sort(t.begin(), t.end());
    double tk = t[2];
    std::vector<int> quadIdx(size_t(quads) * 4), tri(size_t(quads) * 6);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int a = y * (w + 1) + x;
            int* q = &quadIdx[size_t(y * w + x) * 4];
            q[0] = a, q[1] = a + 1, q[2] = a + w + 2, q[3] = a + w + 1;
        }
    double tp = MedianSeconds([&] {
        for (int i = 0; i < quads; ++i) {
            const int* q = &quadIdx[size_t(i) * 4];
            int* o = &tri[size_t(i) * 6];
            o[0] = q[0], o[1] = q[1], o[2] = q[2], o[3] = q[0], o[4] = q[2], o[5] = q[3];
        }
    });
    std::printf("triangulate %d quads: Kestovar %.2f M quads/s, plain split loop %.2f M quads/s (checksum %d), ratio %.2fx\n",
                quads, quads / tk / 1e6, quads / tp / 1e6, tri[size_t(quads) * 6 - 1], tk / tp);
    benchreport::Report(("triangulate " + std::to_string(quads) + " quads").c_str(), tk, -1, "plain loop", tp,
                        -1);
}

// One polygon of `n` corners in the z = 0 plane: 0 a star of random radii, 1 a comb of teeth 1
// wide and 9 tall, 2 an octagon of unit lattice steps.
void LongPolygon(int shape, int n, C3DPointList& points) {
    points.SetSize(n);
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8 & 0xFFFF; };
    static const int steps[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
    int x = 0, y = 0;
    for (int i = 0; i < n; ++i) {
        double px, py;
        if (shape == 0) {
            const double a = 2.0 * M_PI * i / n, r = 0.2 + 0.8 * next() / 65535.0;
            px = r * std::cos(a), py = r * std::sin(a);
        } else if (shape == 1) {
            const int step = i % 4;
            px = 2.0 * (i / 4) + (step == 2 || step == 3 ? 1.0 : 0.0);
            py = step == 0 || step == 3 ? 0.25 : 9.0;
            if (i == n - 1) py = 0.0;
        } else {
            px = x, py = y;
            const int* s = steps[(i * 8) / n];
            x += s[0], y += s[1];
        }
        points.GetPoints()[i].Init(float(px), float(py), 0.0f);
    }
    if (shape == 1) points.GetPoints()[0].y = 0.0f;
}

void BenchLongPolygons() {
    static const char* const shapes[] = {"star", "comb", "octagon"};
    const int lengths[2] = {benchreport::Quick() ? 2000 : 4000, benchreport::Quick() ? 16000 : 64000};
    for (int shape = 0; shape < 3; ++shape) {
        double seconds[2] = {0.0, 0.0};
        for (int l = 0; l < 2; ++l) {
            const int n = lengths[l];
            C3DPointList pts;
            LongPolygon(shape, n, pts);
            std::vector<int> indices(static_cast<size_t>(n)), fan(static_cast<size_t>(n - 2) * 3);
            for (int i = 0; i < n; ++i) indices[size_t(i)] = i;
            CTriangulateFaceHelper helper;
            int made = 0;
            const double tk = MedianSeconds([&] { made = helper.Clip(pts.GetPoints(), n, indices.data(), n); });
            const double tp = MedianSeconds([&] {
                for (int i = 0; i + 2 < n; ++i) {
                    int* t = &fan[size_t(i) * 3];
                    t[0] = 0, t[1] = i + 1, t[2] = i + 2;
                }
            });
            seconds[l] = tk;
            std::printf("polygon %-7s %6d corners -> %6d triangles: Kestovar %.2f M corners/s (%.1f ms), plain fan loop %.0f M corners/s (checksum %d), ratio %.0fx\n",
                        shapes[shape], n, made, n / tk / 1e6, tk * 1e3, n / tp / 1e6, fan[fan.size() - 1], tk / tp);
            benchreport::Report(("polygon " + std::string(shapes[shape]) + " " + std::to_string(n)).c_str(), tk, -1,
                                "plain fan loop", tp, -1);
        }
        std::printf("polygon %-7s %dx the corners, %.1fx the time\n", shapes[shape], lengths[1] / lengths[0],
                    seconds[1] / seconds[0]);
    }
}

// A side x side grid of unit squares, two triangles each (test::SquareGrid), over a gentle height
// field (no two neighbouring faces coplanar) unless `flat`; squares whose `skip` test is true are
// left out and those whose `flip` test is true have their triangles listed backwards.
double Ripple(double x, double y) { return double((int(x) * 7 + int(y) * 3) % 5) * 0.1; }

template <class Skip, class Flip>
C3DObject* GridObject(int side, bool flat, Skip&& skip, Flip&& flip) {
    const test::Triangles grid = test::SquareGrid(side, double(side), flat ? nullptr : Ripple);
    const std::vector<float> xyz(grid.xyz.begin(), grid.xyz.end());
    std::vector<int> tris;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            if (skip(x, y)) continue;
            const int* cell = &grid.tris[6 * (size_t(y) * side + x)];
            if (flip(x, y))
                tris.insert(tris.end(), {cell[2], cell[1], cell[0], cell[5], cell[4], cell[3]});
            else
                tris.insert(tris.end(), cell, cell + 6);
        }
    return CreateObjectFromArrays(xyz.data(), unsigned(xyz.size() * 4), tris.data(), unsigned(tris.size() * 4),
                                  nullptr, 0);
}

// The operations that walk a whole mesh through its edge adjacency or its point grid, on a grid of
// side x side squares, median of 3 runs each (a fresh object per run, outside the timing). There
// is no peer to set beside them: the figures are there to be compared from one change to the next.
//   - MergeCoplanarFaces of a flat grid with 5 % of its squares missing (pseudo-random);
//   - UnifyNormals of the height field with every third square listed backwards;
//   - ExplodeIntoIsolatedParts of the height field cut into 16 parts by empty rows and columns;
//   - Weld3DPoints at a relative tolerance of 1e-6 (the grid's points are far apart: nothing
//     merges, every point looks at the 27 cells around it);
//   - UnifyNormals and ExplodeIntoIsolatedParts of a book: side * 75 triangles on one shared
//     edge, every third one listed backwards. Each face on the spine once read all the others
//     again (100000 pages: 59 s for both, December 2026); that book now takes 0.5 s.
void BenchWalks(int side) {
    const std::string size = std::to_string(2 * side * side / 1000) + "k";
    auto hole = [](int x, int y) { return (unsigned(x) * 2654435761u ^ unsigned(y) * 40503u) % 100u < 5u; };
    auto none = [](int, int) { return false; };
    auto third = [](int x, int y) { return (x + y) % 3 == 0; };
    const int cut = side / 4;
    auto cross = [cut](int x, int y) { return x % cut == cut - 1 || y % cut == cut - 1; };
    const int pages = side * 75;
    const std::string bookSize = std::to_string(pages / 1000) + "k";
    auto book = [pages] {
        std::vector<float> xyz = {0, 0, 0, 1, 0, 0};
        std::vector<int> tris;
        for (int i = 0; i < pages; ++i) {
            const float angle = float(i) * 6.2831853f / float(pages);
            xyz.insert(xyz.end(), {0.5f, std::cos(angle), std::sin(angle)});
            const int tip = i + 2;
            if (i % 3 == 1)
                tris.insert(tris.end(), {1, 0, tip});
            else
                tris.insert(tris.end(), {0, 1, tip});
        }
        return CreateObjectFromArrays(xyz.data(), unsigned(xyz.size() * 4), tris.data(),
                                      unsigned(tris.size() * 4), nullptr, 0);
    };
    auto explode = [](C3DObject* o) {
        CXArray<C3DGeomObject*> parts;
        const int n = o->ExplodeIntoIsolatedParts(parts);
        for (int i = 0; i < parts.GetSize(); ++i) parts[i]->Delete();
        return long(n);
    };
    struct Walk {
        const char* name;
        std::string mesh;
        std::function<C3DObject*()> make;
        std::function<long(C3DObject*)> run;
    };
    const std::string grid = "grid " + size, pagesName = "book " + bookSize;
    auto unify = [](C3DObject* o) { return long(o->UnifyNormals()); };
    const Walk walks[] = {
        {"MergeCoplanarFaces", grid, [&] { return GridObject(side, true, hole, none); },
         [](C3DObject* o) { return long(o->MergeCoplanarFaces(0.01, 0) ? o->GetFaceNbr() : -1); }},
        {"UnifyNormals", grid, [&] { return GridObject(side, false, none, third); }, unify},
        {"ExplodeIntoIsolatedParts", grid, [&] { return GridObject(side, false, cross, none); }, explode},
        {"Weld3DPoints 1e-6", grid, [&] { return GridObject(side, false, none, none); },
         [](C3DObject* o) { return long(o->Weld3DPoints(1e-6, false, 0, 0)); }},
        {"UnifyNormals", pagesName, book, unify},
        {"ExplodeIntoIsolatedParts", pagesName, book, explode},
    };
    for (const Walk& w : walks) {
        std::vector<double> t;
        long result = 0;
        int faces = 0;
        for (int r = 0; r < 3; ++r) {
            C3DObject* o = w.make();
            faces = o->GetFaceNbr();
            const double a = Now();
            result = w.run(o);
            t.push_back(Now() - a);
            o->Delete();
        }
        const double tk = benchreport::Median(t);
        std::printf("%-26s %s: %d faces, %.3f s, %.2f M faces/s (result %ld)\n", w.name, w.mesh.c_str(),
                    faces, tk, faces / tk / 1e6, result);
        benchreport::Report((std::string(w.name) + ", " + w.mesh).c_str(), tk, -1, nullptr, -1, -1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchreport::KeepFreedBlocks();
    const char* only = argc > 1 ? argv[1] : nullptr;
    auto wanted = [only](const char* part) { return !only || std::strcmp(only, part) == 0; };
    if (wanted("weld-bunny")) {
        Soup bunny;
        std::string path = std::string(KESTOVAR_SOURCE_DIR) + "/data/bunny00.obj";
        if (ReadObj(path, bunny))
            BenchWeld("bunny00", bunny);
        else
            std::printf("weld bunny00: %s not readable\n", path.c_str());
    }
    // Quick mode: a 300 x 300 grid instead of 1000 x 1000.
    const int side = benchreport::Quick() ? 300 : 1000;
    if (wanted("weld-grid")) BenchWeld(benchreport::Quick() ? "grid-180k" : "grid-2M", GridSoup(side, side));
    if (wanted("triangulate")) BenchTriangulate(side, side);
    if (wanted("polygon")) BenchLongPolygons();
    if (wanted("walks")) BenchWalks(benchreport::Quick() ? 300 : 800);
    return 0;
}
