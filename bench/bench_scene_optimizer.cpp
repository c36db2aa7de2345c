// Scene optimiser: a generated scene of 64 bumpy tori (deterministic) contracted to ratio 0 by
// CSceneOptimizer::Optimize with 1 and with 2 worker threads. Prints the wall time of each (median
// of the runs), the speed-up and whether both results are bit-identical (hash of every working
// mesh). Sizes go from 2,000 to 20,000 triangles per object by default; --full uses the 20,000 to
// 200,000 of the large scene (about 7 million triangles in all). --runs N sets the run count.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/object.h"
#include "kestovar/optimizer/object_creator.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/scene/scene.h"
#include "kestovar/scene/scene_node.h"
#include "kestovar/simplify/ext_object.h"
#include "kestovar/simplify/ext_point.h"
#include "report.h"

using namespace kestovar;

namespace {

// A torus of about `triangles` triangles with a few bumps, offset along x by `index`.
C3DObject* Torus(int triangles, int index) {
    const int nu = std::max(8, int(std::sqrt(triangles / 2.0 * 2.0)));
    const int nv = std::max(4, triangles / (2 * nu));
    std::vector<float> xyz;
    std::vector<int> tris;
    const double pi = 3.14159265358979323846;
    for (int i = 0; i < nu; ++i) {
        for (int j = 0; j < nv; ++j) {
            const double u = 2 * pi * i / nu, v = 2 * pi * j / nv;
            const double r = 0.3 * (1.0 + 0.08 * std::sin(5 * u + index) * std::cos(3 * v));
            xyz.push_back(float((1.0 + r * std::cos(v)) * std::cos(u) + 3.0 * index));
            xyz.push_back(float((1.0 + r * std::cos(v)) * std::sin(u)));
            xyz.push_back(float(r * std::sin(v)));
        }
    }
    for (int i = 0; i < nu; ++i) {
        for (int j = 0; j < nv; ++j) {
            const int a = i * nv + j, b = ((i + 1) % nu) * nv + j;
            const int c = ((i + 1) % nu) * nv + (j + 1) % nv, d = i * nv + (j + 1) % nv;
            tris.insert(tris.end(), {a, b, c, a, c, d});
        }
    }
    return CreateObjectFromArrays(xyz.data(), unsigned(xyz.size() * 4), tris.data(), unsigned(tris.size() * 4),
                                  nullptr, 0);
}

struct Result {
    double seconds;
    double cpuSeconds;
    uint64_t hash;
    long triangles;
};

Result Run(int threads, bool full) {
    OMPSetMaxThreadCount(threads);
    C3DScene* scene = C3DScene::Create();
    long triangles = 0;
    const int low = full ? 20000 : 2000, high = full ? 200000 : 20000;
    for (int i = 0; i < 64; ++i) {
        const int size = low + int((long(high - low) * ((i * 37) % 64)) / 63);
        C3DObject* o = Torus(size, i);
        triangles += o->GetFaceList()->GetNumberOfFaces();
        scene->CreateNode(nullptr, L"t", o);
    }
    C3DQuorvaneObjectCreator creator(CREATOR_COPY_POINTS);
    scene->ConvertToType(creator);
    CSceneOptimizer opt;
    opt.SetFlags(SCENEOPTIMIZER_RECORD_CONTRACTIONS, true);
    opt.SetScene(*scene, true);
    bool cancelled = false;
    const auto t0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    opt.Optimize(0.0, cancelled, 0x21);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpuSeconds = double(std::clock() - c0) / CLOCKS_PER_SEC;

    uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](uint32_t v) { hash = (hash ^ v) * 1099511628211ull; };
    for (C3DNodePos pos = scene->GetFirstNode(7, WALK_SHARED_ONCE); pos;) {
        C3DBaseObject* object = nullptr;
        scene->GetNextNode(pos, object);
        auto* ext = dynamic_cast<C3DExtObject*>(object);
        if (!ext) continue;
        const CExtPointList& pts = *ext->GetPointList();
        for (int i = 0; i < pts.GetSize(); ++i) {
            const C3DTPoint<float>& p = *pts.GetPoint(i);
            if (p.IsFlagSet(POINT_REMOVED)) continue;
            uint32_t b[3];
            std::memcpy(b, &p.x, 12);
            mix(b[0]), mix(b[1]), mix(b[2]);
        }
        const C3DFaceList& f = *ext->GetWorkingFaceList();
        for (int i = 0; i < f.GetSize(); ++i) {
            if (!f.IsFaceLive(unsigned(i))) continue;
            int n;
            const int* idx = f.GetIndexes(unsigned(i), n);
            for (int k = 0; k < n; ++k) mix(uint32_t(idx[k]));
        }
    }
    return {seconds, cpuSeconds, hash, triangles};
}

}  // namespace

int main(int argc, char** argv) {
    bool full = false;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--full")) full = true;
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    }
    const int saved = OMPGetMaxThreadCount();
    std::vector<double> one, two, cpu1, cpu2;
    uint64_t hash1 = 0, hash2 = 0;
    long triangles = 0;
    for (int r = 0; r < runs; ++r) {
        const Result a = Run(1, full);
        const Result b = Run(2, full);
        one.push_back(a.seconds);
        two.push_back(b.seconds);
        cpu1.push_back(a.cpuSeconds);
        cpu2.push_back(b.cpuSeconds);
        if (r == 0) hash1 = a.hash, hash2 = b.hash;
        if (a.hash != hash1 || b.hash != hash2) hash1 = ~hash2;  // any drift counts as a mismatch
        triangles = a.triangles;
    }
    OMPSetMaxThreadCount(saved);
    std::sort(one.begin(), one.end());
    std::sort(two.begin(), two.end());
    std::sort(cpu1.begin(), cpu1.end());
    std::sort(cpu2.begin(), cpu2.end());
    const double m1 = one[one.size() / 2], m2 = two[two.size() / 2];
    std::printf("scene: 64 objects, %ld triangles (%s sizes), median of %d runs\n", triangles,
                full ? "20k-200k" : "2k-20k", runs);
    std::printf("Optimize to ratio 0: 1 thread %.3f s, 2 threads %.3f s, speed-up %.2fx\n", m1, m2, m1 / m2);
    // On a loaded machine the wall times mean little: the CPU time shows the work each run did.
    std::printf("process CPU time: 1 thread %.3f s, 2 threads %.3f s\n", cpu1[cpu1.size() / 2], cpu2[cpu2.size() / 2]);
    std::printf("results bit-identical across thread counts: %s\n", hash1 == hash2 ? "yes" : "NO");
    const std::string scene = "Optimize 64 objects, " + std::to_string(triangles) + " triangles";
    benchreport::Report((scene + ", 1 thread").c_str(), m1, -1, nullptr, -1, -1);
    benchreport::Report((scene + ", 2 threads").c_str(), m2, -1, nullptr, -1, -1);
    return hash1 == hash2 ? 0 : 1;
}
