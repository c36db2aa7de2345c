// Timing harness for the core containers against the standard library: CHashMap insert and find
// of 10 million 32-bit keys against std::unordered_map, and CXArray::Add of 100 million ints
// against std::vector::push_back (neither reserves). Each figure is the median of 5 runs; one line
// per operation gives Kestovar's time, the peer's time and their ratio (below 1: Kestovar faster).
// BENCH_QUICK=1 uses 2 million keys and 20 million ints.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestovar/core/array.h"
#include "kestovar/core/hashmap.h"
#include "report.h"

using namespace kestovar;

namespace {

constexpr int kRuns = 5;
const size_t kKeys = benchreport::Quick() ? 2'000'000 : 10'000'000;
const int kInts = benchreport::Quick() ? 20'000'000 : 100'000'000;

// Keeps results alive so that the measured loops are not optimised away.
volatile uint64_t g_sink;

double Milliseconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

template <class F>
double Median(F&& run) {
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) times.push_back(run());
    std::sort(times.begin(), times.end());
    return times[kRuns / 2];
}

void Report(const char* what, double ours, double peer) {
    std::printf("%-44s kestovar %9.1f ms   peer %9.1f ms   ratio %.2f\n", what, ours, peer, ours / peer);
    benchreport::Report(what, ours * 1e-3, -1, "std containers", peer * 1e-3, -1);
}

// Fixed-seed pseudo-random 32-bit keys (xorshift32), the same sequence for every run and peer.
std::vector<unsigned> MakeKeys() {
    std::vector<unsigned> keys(kKeys);
    uint32_t x = 2463534242u;
    for (unsigned& k : keys) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        k = x;
    }
    return keys;
}

typedef CHashMap<unsigned, unsigned, unsigned> KMap;
typedef std::unordered_map<unsigned, unsigned> SMap;

}  // namespace

int main() {
    const std::vector<unsigned> keys = MakeKeys();

    double kInsert = Median([&] {
        auto t = std::chrono::steady_clock::now();
        KMap m;
        for (size_t i = 0; i < keys.size(); ++i) m.Insert(keys[i], unsigned(i));
        double ms = Milliseconds(t);
        g_sink = uint64_t(m.GetCount());
        return ms;
    });
    double sInsert = Median([&] {
        auto t = std::chrono::steady_clock::now();
        SMap m;
        for (size_t i = 0; i < keys.size(); ++i) m[keys[i]] = unsigned(i);
        double ms = Milliseconds(t);
        g_sink = uint64_t(m.size());
        return ms;
    });
    const std::string keyCount = std::to_string(kKeys / 1'000'000) + "M keys";
    Report(("CHashMap<unsigned,unsigned> insert " + keyCount).c_str(), kInsert, sInsert);

    {
        KMap km;
        SMap sm;
        for (size_t i = 0; i < keys.size(); ++i) {
            km.Insert(keys[i], unsigned(i));
            sm[keys[i]] = unsigned(i);
        }
        double kFind = Median([&] {
            auto t = std::chrono::steady_clock::now();
            uint64_t sum = 0;
            for (unsigned k : keys) sum += *km.Find(k);
            double ms = Milliseconds(t);
            g_sink = sum;
            return ms;
        });
        double sFind = Median([&] {
            auto t = std::chrono::steady_clock::now();
            uint64_t sum = 0;
            for (unsigned k : keys) sum += sm.find(k)->second;
            double ms = Milliseconds(t);
            g_sink = sum;
            return ms;
        });
        Report(("CHashMap<unsigned,unsigned> find " + keyCount).c_str(), kFind, sFind);
    }

    double kAdd = Median([&] {
        auto t = std::chrono::steady_clock::now();
        CXArray<int> a;
        for (int i = 0; i < kInts; ++i) a.Add(i);
        double ms = Milliseconds(t);
        g_sink = uint64_t(a[kInts / 2]) + uint64_t(a.GetSize());
        return ms;
    });
    double sAdd = Median([&] {
        auto t = std::chrono::steady_clock::now();
        std::vector<int> v;
        for (int i = 0; i < kInts; ++i) v.push_back(i);
        double ms = Milliseconds(t);
        g_sink = uint64_t(v[kInts / 2]) + uint64_t(v.size());
        return ms;
    });
    Report(("CXArray<int>::Add " + std::to_string(kInts / 1'000'000) + "M ints").c_str(), kAdd, sAdd);
    return 0;
}
