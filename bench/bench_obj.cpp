// OBJ reading and writing beside tinyobjloader (optional peer found at configure time).
//
// Generates two files in $TMPDIR (else /tmp) from a height-field grid of about 1.5 million
// triangles: one with positions, texture coordinates and normals (faces v/vt/vn) and one with
// positions only (about 57 MB). Every measurement runs in a fresh child process of this program,
// so that its peak resident memory (minus the child's own size before reading) belongs to that
// reader alone. Prints MB/s (median of the runs) and peak memory, and for Kestovar the bytes the
// resulting scene holds (counted through the library's allocation hook) and the ratio of the
// peak allocation while reading to it.
//
// Writing is timed for Kestovar's writer beside a plain fprintf("%f") writer of the same values
// (tinyobjloader has no writer).
//
//   bench_obj [runs] [--keep]   default 5 runs; --keep leaves the generated files in place
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestovar/core/memory.h"
#include "kestovar/io/file_io.h"
#include "kestovar/io/wavefront.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/scene/scene.h"
#include "report.h"

#ifdef KESTOVAR_HAVE_TINYOBJLOADER
#include <tiny_obj_loader.h>
#endif

using namespace kestovar;

namespace {

const int kGrid = benchreport::Quick() ? 301 : 867;  // 866 * 866 * 2 = 1,499,912 triangles (quick: 180,000)

std::string TempDir() {
    const char* t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long FileSize(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    std::fseek(f, 0, SEEK_END);
    long n = std::ftell(f);
    std::fclose(f);
    return n;
}

// CPU time of this process so far (user + system), in seconds.
double CpuSeconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Current resident set in kB.
long RssKB() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void Generate(const std::string& path, bool full) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::setvbuf(f, nullptr, _IOFBF, 1 << 20);
    std::fprintf(f, "# height field %d x %d\n", kGrid, kGrid);
    auto height = [](double x, double y) { return 0.05 * std::sin(9.0 * x) * std::cos(7.0 * y); };
    for (int j = 0; j < kGrid; ++j)
        for (int i = 0; i < kGrid; ++i) {
            const double x = double(i) / (kGrid - 1), y = double(j) / (kGrid - 1);
            std::fprintf(f, "v %f %f %f\n", x, y, height(x, y));
        }
    if (full) {
        for (int j = 0; j < kGrid; ++j)
            for (int i = 0; i < kGrid; ++i)
                std::fprintf(f, "vt %f %f\n", double(i) / (kGrid - 1), double(j) / (kGrid - 1));
        for (int j = 0; j < kGrid; ++j)
            for (int i = 0; i < kGrid; ++i) {
                const double x = double(i) / (kGrid - 1), y = double(j) / (kGrid - 1);
                const double dx = 0.45 * std::cos(9.0 * x) * std::cos(7.0 * y);
                const double dy = -0.35 * std::sin(9.0 * x) * std::sin(7.0 * y);
                const double l = std::sqrt(dx * dx + dy * dy + 1.0);
                std::fprintf(f, "vn %f %f %f\n", -dx / l, -dy / l, 1.0 / l);
            }
    }
    for (int j = 0; j + 1 < kGrid; ++j)
        for (int i = 0; i + 1 < kGrid; ++i) {
            const int a = j * kGrid + i + 1, b = a + 1, c = a + kGrid, d = c + 1;
            if (full) {
                std::fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, b, b, b, d, d, d);
                std::fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, d, d, d, c, c, c);
            } else {
                std::fprintf(f, "f %d %d %d\n", a, b, d);
                std::fprintf(f, "f %d %d %d\n", a, d, c);
            }
        }
    std::fclose(f);
}

// ---- allocation accounting of the library (child processes only) ------------------------------

std::atomic<long long> g_current{0};
std::atomic<long long> g_peak{0};

void Account(long long delta) {
    long long now = g_current.fetch_add(delta) + delta;
    long long peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}
void* CountedAllocate(size_t size, int kind) {
    void* p = kind == XMEM_CALLOC ? std::calloc(1, size) : std::malloc(size);
    if (p) Account((long long)malloc_usable_size(p));
    return p;
}
void* CountedReallocate(void* pointer, size_t size) {
    const long long before = pointer ? (long long)malloc_usable_size(pointer) : 0;
    void* p = std::realloc(pointer, size);
    if (p) Account((long long)malloc_usable_size(p) - before);
    return p;
}
void CountedFree(void* pointer, int) {
    if (pointer) Account(-(long long)malloc_usable_size(pointer));
    std::free(pointer);
}

// ---- one measurement (child) ------------------------------------------------------------------

// Prints "seconds cpuSeconds peakKB sceneBytes peakBytes" on stdout.
int Child(const std::string& what, const std::string& path, const std::string& output) {
    memoryCallbackNotify.allocate = CountedAllocate;
    memoryCallbackNotify.reallocate = CountedReallocate;
    memoryCallbackNotify.free = CountedFree;
    const long baseKB = RssKB();
    double seconds = 0, cpu = 0;
    long long sceneBytes = 0, peakBytes = 0;
    if (what == "read-kestovar" || what == "write-kestovar" || what == "write-printf") {
        CXStringW name(path.c_str());
        int result = 0;
        const long long before = g_current.load();
        g_peak = before;
        const double c0 = CpuSeconds();
        const double t0 = Now();
        C3DScene* scene = CWavefrontIo::ReadObjFile(name, result);
        seconds = Now() - t0;
        cpu = CpuSeconds() - c0;
        if (!scene) {
            std::fprintf(stderr, "read failed: %d\n", result);
            return 1;
        }
        sceneBytes = g_current.load() - before;
        peakBytes = g_peak.load() - before;
        if (what == "write-kestovar") {
            CXStringW out(output.c_str());
            CXStringW mtl((output + ".mtl").c_str());
            const double c1 = CpuSeconds();
            const double t1 = Now();
            if (!CWavefrontIo::WriteObjFile(out, *scene, mtl, L"out.mtl", result)) return 1;
            seconds = Now() - t1;
            cpu = CpuSeconds() - c1;
        } else if (what == "write-printf") {
            // The same values through fprintf: points, then faces with plain indices.
            const double c1 = CpuSeconds();
            const double t1 = Now();
            FILE* f = std::fopen(output.c_str(), "wb");
            std::setvbuf(f, nullptr, _IOFBF, 1 << 20);
            int base = 0;
            for (C3DNodePos pos = scene->GetFirstNode(); pos;) {
                C3DGeomObject* o = nullptr;
                scene->GetNextNode(pos, o);
                const C3DPointList* points = o->GetPointList();
                for (int i = 0; i < points->GetSize(); ++i) {
                    const C3DTPoint<float>& p = points->GetAt(i);
                    std::fprintf(f, "v %f %f %f\n", p.x, p.y, p.z);
                }
                C3DFaceList* faces = o->GetFaceList();
                for (int i = 0; i < faces->GetSize(); ++i) {
                    int n;
                    const int* idx = faces->GetIndexes(unsigned(i), n);
                    std::fputs("f ", f);
                    for (int k = 0; k < n; ++k) std::fprintf(f, "%d ", base + idx[k] + 1);
                    std::fputs("\n", f);
                }
                base += points->GetSize();
            }
            std::fclose(f);
            seconds = Now() - t1;
            cpu = CpuSeconds() - c1;
        }
        delete scene;
    }
#ifdef KESTOVAR_HAVE_TINYOBJLOADER
    else if (what == "read-tinyobj") {
        tinyobj::attrib_t attrib;
        std::vector<tinyobj::shape_t> shapes;
        std::vector<tinyobj::material_t> materials;
        std::string warn, err;
        const double c0 = CpuSeconds();
        const double t0 = Now();
        bool ok = tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, path.c_str(), nullptr, true);
        seconds = Now() - t0;
        cpu = CpuSeconds() - c0;
        if (!ok) return 1;
        sceneBytes = (long long)(attrib.vertices.size() + attrib.normals.size() + attrib.texcoords.size()) * 4;
        for (const tinyobj::shape_t& s : shapes)
            sceneBytes += (long long)(s.mesh.indices.size() * sizeof(tinyobj::index_t) +
                                      s.mesh.num_face_vertices.size() + s.mesh.material_ids.size() * 4 +
                                      s.mesh.smoothing_group_ids.size() * 4);
    }
#endif
    else {
        return 2;
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.6f %.6f %ld %lld %lld\n", seconds, cpu, usage.ru_maxrss - baseKB, sceneBytes, peakBytes);
    return 0;
}

struct Sample {
    double seconds = 0, cpu = 0;
    long peakKB = 0;
    long long sceneBytes = 0, peakBytes = 0;
};

bool RunChild(const char* self, const std::string& what, const std::string& path, const std::string& output,
              Sample& s) {
    std::string command = std::string("'") + self + "' --child " + what + " '" + path + "' '" + output + "'";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return false;
    const int n = std::fscanf(p, "%lf %lf %ld %lld %lld", &s.seconds, &s.cpu, &s.peakKB, &s.sceneBytes, &s.peakBytes);
    return pclose(p) == 0 && n == 5;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Median wall seconds and peak resident bytes of one measurement; negative when it failed.
struct Figures {
    double seconds = -1.0, bytes = -1.0;
};

Figures Measure(const char* self, const char* label, const std::string& what, const std::string& path,
                const std::string& output, long bytesForRate, int runs) {
    std::vector<double> times, cpus;
    Sample last;
    long peakKB = 0;
    for (int r = 0; r < runs; ++r) {
        Sample s;
        if (!RunChild(self, what, path, output, s)) {
            std::printf("  %-28s failed\n", label);
            return {};
        }
        times.push_back(s.seconds);
        cpus.push_back(s.cpu);
        peakKB = std::max(peakKB, s.peakKB);
        last = s;
    }
    const long bytes = bytesForRate > 0 ? bytesForRate : FileSize(output);
    const double t = Median(times), c = Median(cpus);
    // Wall clock, and CPU time (user + system), which a machine shared with other jobs does not
    // inflate.
    std::printf("  %-28s %7.1f ms %6.1f MB/s | cpu %7.1f ms %6.1f MB/s", label, t * 1e3, bytes / 1e6 / t, c * 1e3,
                bytes / 1e6 / c);
    if (what.rfind("read", 0) == 0) {
        std::printf(" | peak RSS %6.1f MB, result %6.1f MB", peakKB / 1024.0, last.sceneBytes / 1e6);
        if (last.peakBytes)
            std::printf(", peak alloc %6.1f MB = %.2fx the scene", last.peakBytes / 1e6,
                        double(last.peakBytes) / double(last.sceneBytes));
    }
    std::printf("\n");
    Figures f;
    f.seconds = t;
    f.bytes = what.rfind("read", 0) == 0 ? double(peakKB) * 1024.0 : -1.0;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "--child") == 0) return Child(argv[2], argv[3], argv[4]);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string dir = TempDir();
    const std::string full = dir + "/kestovar_bench_vtn.obj";
    const std::string positions = dir + "/kestovar_bench_v.obj";
    const std::string written = dir + "/kestovar_bench_out.obj";
    std::printf("generating %d x %d grid (%d triangles) in %s\n", kGrid, kGrid, 2 * (kGrid - 1) * (kGrid - 1),
                dir.c_str());
    Generate(positions, false);
    Generate(full, true);
    const char* self = "/proc/self/exe";
    char exe[4096];
    const ssize_t n = readlink(self, exe, sizeof exe - 1);
    if (n > 0) exe[n] = 0;
    for (const std::string* file : {&positions, &full}) {
        const long size = FileSize(*file);
        std::printf("%s: %.1f MB, median of %d runs, one core\n", file == &full ? "v/vt/vn" : "positions only",
                    size / 1e6, runs);
        const std::string kind = file == &full ? "v/vt/vn" : "v only";
        const Figures rk = Measure(exe, "read  kestovar", "read-kestovar", *file, written, size, runs);
#ifdef KESTOVAR_HAVE_TINYOBJLOADER
        const Figures rp = Measure(exe, "read  tinyobjloader", "read-tinyobj", *file, written, size, runs);
        benchreport::Report(("OBJ read " + kind).c_str(), rk.seconds, rk.bytes, "tinyobjloader", rp.seconds,
                            rp.bytes);
#else
        std::printf("  tinyobjloader not found at configure time\n");
        benchreport::Report(("OBJ read " + kind).c_str(), rk.seconds, rk.bytes, nullptr, -1, -1);
#endif
        const Figures wk = Measure(exe, "write kestovar", "write-kestovar", *file, written, 0, runs);
        const Figures wp =
            Measure(exe, "write fprintf %f (v, f only)", "write-printf", *file, written, 0, runs);
        benchreport::Report(("OBJ write " + kind).c_str(), wk.seconds, -1, "fprintf loop (v, f only)",
                            wp.seconds, -1);
    }
    if (!(argc > 2 && std::strcmp(argv[2], "--keep") == 0)) {
        std::remove(positions.c_str());
        std::remove(full.c_str());
    }
    std::remove(written.c_str());
    std::remove((written + ".mtl").c_str());
    return 0;
}
