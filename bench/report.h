// Helpers shared by the benchmarks: the median of a list of figures, the quick-mode switch and the
// machine-readable summary line that bench/run.sh gathers into one table.
//
// A summary line is tab-separated:
//   REPORT <operation> <kestovar seconds> <kestovar bytes> <peer name> <peer seconds> <peer bytes>
// Times are seconds (the median the benchmark prints in its own line), memory is peak bytes; a
// figure a benchmark does not measure is "-". Operation and peer names carry no tabs.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace benchreport {

// Middle element (upper middle for an even count); 0 for an empty list.
inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// True when BENCH_QUICK is set to anything but "" or "0": smaller inputs and fewer runs, so that
// the whole suite runs in a few minutes.
inline bool Quick() {
    const char* q = std::getenv("BENCH_QUICK");
    return q && *q && !(q[0] == '0' && q[1] == 0);
}

// Freed blocks stay in the heap for the next run instead of going back to the system, for the
// library and its peer alike, so that medians of several runs are warm-heap figures. Fresh pages
// are costly on the virtual machines these figures come from: the host takes back memory the
// guest has freed for a few seconds, and backing it again costs 1-2 ms per megabyte on first write
// (a 360 MB preparation of the simplification engine paid about 0.35 s of it per run). A host
// that reduces many meshes in one process pays it once. KESTOVAR_BENCH_COLD=1 keeps the
// allocator's defaults, to measure the cold figures.
inline void KeepFreedBlocks() {
    const char* cold = std::getenv("KESTOVAR_BENCH_COLD");
    if (cold && cold[0] == '1' && cold[1] == 0) return;
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

// One summary line. Negative figures are printed as "-" (not measured); peer may be null when the
// optional peer was not found at configure time.
inline void Report(const char* operation, double seconds, double bytes, const char* peer, double peerSeconds,
                   double peerBytes) {
    auto field = [](double v, bool isBytes) {
        if (v < 0) {
            std::printf("\t-");
        } else if (isBytes) {
            std::printf("\t%.0f", v);
        } else {
            std::printf("\t%.6g", v);
        }
    };
    std::printf("REPORT\t%s", operation);
    field(seconds, false);
    field(bytes, true);
    std::printf("\t%s", peer ? peer : "-");
    field(peer ? peerSeconds : -1.0, false);
    field(peer ? peerBytes : -1.0, true);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace benchreport
