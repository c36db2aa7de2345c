// `kestovar compare A B`: the sampled distance between two scene files, both ways, each file
// merged into one triangulated surface in world coordinates.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "kestovar/kestovar.h"
#include "scene_util.h"

namespace kestovar_tool {
namespace {

using namespace kestovar;

const char kCompareHelp[] =
    "usage: kestovar compare A B [--json] [-q]\n"
    "\n"
    "Measures the distance between the surfaces of two scene files by sampling each surface and\n"
    "measuring every sample to the other one. Prints the diagonal of the pair's box, the largest,\n"
    "mean and RMS distance for each direction in the files' units and, last, the Hausdorff\n"
    "distance as a fraction of the diagonal:\n"
    "\n"
    "  Hausdorff distance: 0.001234  (of the diagonal)\n"
    "\n"
    "  --json       print the result as JSON on stdout\n"
    "  -q, --quiet  no progress bar\n"
    "  -h, --help   show this help\n"
    "\n"
    "Exit status: 0 success, 1 bad usage, 2 input/output error, 4 other failure.\n";

struct Direction {
    double max = 0, mean = 0, rms = 0;
    double normalized = 0;  // the largest distance over the diagonal, as GeomCompare counts it
    bool ok = false;
};

// One progress bar for both directions on stderr, through the library's progress callback: the
// samplers report their positions in turn, each through its own record.
struct BarState {
    const ProcessProgressInfo* info[2];  // the records of the two directions
    int percent[2] = {0, 0};
    double start;
    bool bar = false;  // draw it
    bool drawn = false;
};

// Answers the samplers' cancel queries with the Ctrl-C of a reducing command, and draws the bar
// when asked to.
bool OnSamplerProgress(unsigned kind, const ProcessProgressInfo& info, void* user) {
    auto* state = static_cast<BarState*>(user);
    if (Interrupted()) return true;
    if (!state->bar || !(kind & (PROGRESS_POSITION | PROGRESS_END))) return false;
    const int k = &info == state->info[0] ? 0 : 1;
    const int percent = std::clamp(info.position, 0, 100);
    if (state->drawn && percent == state->percent[k]) return false;
    state->percent[k] = percent;
    state->drawn = true;
    constexpr int kWidth = 20;
    const char* hashes = "####################";
    const int a = state->percent[0] * kWidth / 100, b = state->percent[1] * kWidth / 100;
    std::fprintf(stderr, "\rA -> B [%.*s%*s] %3d%%  B -> A [%.*s%*s] %3d%% %6.1f s", a, hashes, kWidth - a,
                 "", state->percent[0], b, hashes, kWidth - b, "", state->percent[1],
                 NowSeconds() - state->start);
    return false;
}

Direction Figures(const CSurfaceSampler& sampler, bool ok) {
    Direction d;
    d.ok = ok;
    d.max = sampler.GetMaxDistance();
    if (!std::isfinite(d.max) || d.max < 0) d.max = 0;
    d.mean = sampler.GetMean();
    d.rms = sampler.GetRMS();
    d.normalized = sampler.GetNormalizedDistance();
    return d;
}

// Marks invalid the faces with a corner that is infinite or not a number: they have no surface
// to sample, and their finite edges alone would count as if they were one.
void LeaveOutNonFiniteFaces(C3DObject& object) {
    C3DFaceList* faces = object.GetFaceList();
    const C3DPointList* points = object.GetPointList();
    if (!faces || !points) return;
    const C3DTPoint<float>* p = points->GetPoints();
    const int pointCount = points->GetSize();
    for (int f = 0, n = faces->GetSize(); f < n; ++f) {
        int count = 0;
        const int* corners = faces->GetIndexes(unsigned(f), count);
        for (int k = 0; k < count; ++k) {
            const int c = corners[k];
            if (c < 0 || c >= pointCount || !std::isfinite(p[c].x) || !std::isfinite(p[c].y) ||
                !std::isfinite(p[c].z)) {
                faces->SetFaceFlag(unsigned(f), FACE_INVALID, true);
                break;
            }
        }
    }
}

}  // namespace

int CompareFiles(const std::string& a, const std::string& b, CompareReport& report, bool progressBar) {
    const std::string paths[2] = {a, b};
    XHeld<C3DObject> objects[2];
    for (int k = 0; k < 2; ++k) {
        XHeld<C3DScene> scene = ReadScene(paths[k], false);
        if (!scene) return Interrupted() ? kExitCancelled : LastIoFailureExit();
        // Faces with a corner beyond the float range (or not a number) have no surface to sample.
        const int nonFinite = MeasureExtent(*scene).nonFinite;
        if (nonFinite > 0)
            std::fprintf(
                stderr,
                "kestovar: %s: warning: %d point%s a coordinate that is infinite or not a number; the "
                "faces around such points are left out of the comparison\n",
                paths[k].c_str(), nonFinite, nonFinite == 1 ? " has" : "s have");
        objects[k] = MergeToTriangles(*scene);
        if (objects[k] && nonFinite > 0) LeaveOutNonFiniteFaces(*objects[k]);
        if (!objects[k]) {
            std::fprintf(stderr, "kestovar: %s: the file holds no face\n", paths[k].c_str());
            return kExitIo;
        }
    }
    const C3DObject* const a0 = objects[0].get();
    const C3DObject* const b0 = objects[1].get();
    const double diagonal = GeomCompareDiagonal(a0, b0);
    // Distances are relative to the diagonal of the pair's box of finite points: without extent
    // (every finite point at one place, the others infinite or not numbers) there is no scale.
    if (!(diagonal > 0) || !std::isfinite(diagonal)) {
        std::fprintf(stderr, "kestovar: %s: the comparison with %s has no scale: the finite points of both files lie at one place\n",
                     paths[0].c_str(), paths[1].c_str());
        return kExitIo;
    }
    // Both directions as GeomCompare runs them (side by side on two threads when the files are
    // large enough), keeping each direction's figures.
    CSamplerControl control;
    CSurfaceSampler samplerAB(a0, b0, GEOMCOMPARE_DEFAULT, INFINITY, diagonal, &control);
    CSurfaceSampler samplerBA(b0, a0, GEOMCOMPARE_DEFAULT, INFINITY, diagonal, &control);
    control.Add(&samplerAB);
    control.Add(&samplerBA);
    BarState bar{{&samplerAB.GetProgressInfo(), &samplerBA.GetProgressInfo()},
                 {0, 0},
                 NowSeconds(),
                 progressBar,
                 false};
    progressPushCallback(OnSamplerProgress, &bar);
    const bool ok = GeomCompareBothWays(samplerAB, samplerBA, control);
    progressPopCallback();
    if (bar.drawn) std::fputc('\n', stderr);
    if (Interrupted()) {
        std::fprintf(stderr, "kestovar: %s: cancelled\n", paths[1].c_str());
        return kExitCancelled;
    }
    const Direction ab = Figures(samplerAB, ok);
    const Direction ba = Figures(samplerBA, ok);
    // What GeomCompare(a, b, MESH_COMPARE_HAUSDORFF, INFINITY, GEOMCOMPARE_DEFAULT) returns: the
    // larger of the two directions just measured, with the same samples (calling it would sample
    // both surfaces a second time).
    const double hausdorff = std::max(ab.normalized, ba.normalized);
    objects[0].reset();
    objects[1].reset();
    if (!ab.ok || !ba.ok || !std::isfinite(hausdorff)) {
        std::fprintf(stderr,
                     "kestovar: %s: the comparison with %s failed: a surface could not be sampled (degenerate faces, "
                     "or coordinates near or beyond the single-precision range)\n",
                     paths[0].c_str(), paths[1].c_str());
        return kExitIo;
    }
    report.diagonal = diagonal;
    report.hausdorff = hausdorff;
    report.max[0] = ab.max, report.mean[0] = ab.mean, report.rms[0] = ab.rms;
    report.max[1] = ba.max, report.mean[1] = ba.mean, report.rms[1] = ba.rms;
    return 0;
}

int RunCompare(int argc, char** argv) {
    std::string paths[2];
    int count = 0;
    bool json = false, quiet = false;
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(kCompareHelp, stdout);
            return 0;
        } else if (!std::strcmp(a, "--json")) {
            json = true;
        } else if (!std::strcmp(a, "-q") || !std::strcmp(a, "--quiet")) {
            quiet = true;
        } else if (a[0] == '-' && a[1]) {
            return UsageError("compare", "unknown option", a), kExitUsage;
        } else if (count < 2) {
            paths[count++] = a;
        } else {
            return UsageError("compare", "unexpected argument", a), kExitUsage;
        }
    }
    if (count != 2) return UsageError("compare", "expects two files"), kExitUsage;

    LibrarySession session;
    CompareReport report;
    const int status = CompareFiles(paths[0], paths[1], report, !quiet && !json && isatty(STDERR_FILENO));
    if (status) return status;
    const Direction ab{report.max[0], report.mean[0], report.rms[0], true};
    const Direction ba{report.max[1], report.mean[1], report.rms[1], true};
    const double diagonal = report.diagonal, hausdorff = report.hausdorff;
    if (json) {
        std::printf("{\"a\": %s, \"b\": %s, \"diagonal\": %.9g, "
                    "\"a_to_b\": {\"max\": %.9g, \"mean\": %.9g, \"rms\": %.9g}, "
                    "\"b_to_a\": {\"max\": %.9g, \"mean\": %.9g, \"rms\": %.9g}, \"hausdorff\": %.9g}\n",
                    JsonString(paths[0]).c_str(), JsonString(paths[1]).c_str(), diagonal, ab.max, ab.mean, ab.rms,
                    ba.max, ba.mean, ba.rms, hausdorff);
        return 0;
    }
    std::printf("diagonal: %f\n", diagonal);
    std::printf("A -> B: max %f  mean %f  RMS %f  (files' units)\n", ab.max, ab.mean, ab.rms);
    std::printf("B -> A: max %f  mean %f  RMS %f  (files' units)\n", ba.max, ba.mean, ba.rms);
    std::printf("Hausdorff distance: %f  (of the diagonal)\n", hausdorff);
    return 0;
}

}  // namespace kestovar_tool
