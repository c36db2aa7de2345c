// Internals of the face grid map shared by its source files: face areas and boxes for choosing the
// cells, and the handling of crowded cells.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kestovar/core/array.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/face_grid.h"

namespace kestovar {
namespace detail {

// Area of the polygon idx[0 .. count) as the fan (0, i, i + 1), in double precision.
inline double FanArea(const C3DTPoint<float>* pts, const int* idx, int count) {
    double area = 0.0;
    const float* a = pts[idx[0]].ValPtr();
    for (int i = 1; i + 1 < count; ++i) {
        const float* b = pts[idx[i]].ValPtr();
        const float* c = pts[idx[i + 1]].ValPtr();
        double e1[3], e2[3];
        for (int k = 0; k < 3; ++k) {
            e1[k] = double(b[k]) - double(a[k]);
            e2[k] = double(c[k]) - double(a[k]);
        }
        const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                             e1[0] * e2[1] - e1[1] * e2[0]};
        area += 0.5 * std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    }
    return area;
}

// Box of an indexed cache entry (a triangle's corners, or a polygon's box corners 0 and 1).
inline void EntryBox(const _GridFaceCache& e, float* lo, float* hi) {
    const int corners = e.kind == GRIDFACE_TRIANGLE ? 3 : 2;
    for (int k = 0; k < 3; ++k) {
        lo[k] = hi[k] = e.corner[0][k];
        for (int i = 1; i < corners; ++i) {
            lo[k] = std::min(lo[k], e.corner[i][k]);
            hi[k] = std::max(hi[k], e.corner[i][k]);
        }
    }
}

// Face areas by powers of two (bucket e holds areas in [2^e, 2^(e+1)), the ends clamped; zero
// areas apart), with their counts and sums: enough to tell a few faces far larger than all the
// others without keeping an area per face.
struct AreaHistogram {
    static constexpr int kLow = -256, kBuckets = 512;
    int count[kBuckets] = {};
    double sum[kBuckets] = {};
    int zeros = 0;

    // a > 0. The exponent field read directly: subnormal areas land in the lowest bucket, an
    // infinite one in the highest.
    static int Bucket(double a) {
        uint64_t bits;
        std::memcpy(&bits, &a, sizeof bits);
        const int e = int((bits >> 52) & 0x7FF) - 1023;
        return std::min(std::max(e, kLow), kLow + kBuckets - 1) - kLow;
    }
    void Add(double a, int sign) {
        if (!(a > 0.0)) {
            zeros += sign;
            return;
        }
        const int b = Bucket(a);
        count[b] += sign;
        sum[b] += sign * a;
    }
    // The sum of the areas, smallest buckets first.
    double Total() const {
        double s = 0.0;
        for (int b = 0; b < kBuckets; ++b) s += sum[b];
        return s > 0.0 ? s : 0.0;
    }
    // The smallest area from which faces count as huge, +infinity for none: the faces from it on
    // are at most `most`, each has at least `factor` times the mean area of the faces below it,
    // and together they have at least those faces' area (so that the mean area at least halves
    // without them).
    double HugeFrom(double factor, int most) const {
        // The counts and sums of the buckets below each one, summed upwards: taking the large
        // buckets' sums off a total would lose the small faces' area to rounding.
        int belowCount[kBuckets];
        double belowSum[kBuckets];
        int c = zeros;
        double s = 0.0;
        for (int b = 0; b < kBuckets; ++b) {
            belowCount[b] = c;
            belowSum[b] = s;
            c += count[b];
            s += sum[b];
        }
        int excluded = 0;
        double excludedSum = 0.0, from = HUGE_VAL;
        for (int b = kBuckets - 1; b > 0; --b) {
            if (count[b] == 0) continue;
            excluded += count[b];
            excludedSum += sum[b];
            if (excluded > most || belowCount[b] <= 0) break;
            // Bucket b's smallest area (clamping only moves areas into the end buckets away from
            // it, so it bounds every area of the bucket from below).
            const double bound = std::ldexp(1.0, b + kLow);
            if (bound >= factor * (belowSum[b] / belowCount[b]) && excludedSum >= belowSum[b]) from = bound;
        }
        return from;
    }
};

// Adds the faces `more` (ascending) to the faces `into` (ascending), keeping the order.
void MergeAscending(CXArray<unsigned int>& into, const CXArray<unsigned int>& more);

// Length of the diagonal of the box lo, hi.
double Diagonal(const double* lo, const double* hi);

// A triangle of a crowded cell: a hash of its corners and its position in the cell's list.
struct CellTriangleKey {
    unsigned hash;
    unsigned position;
};

// Drops from a cell's face list (increasing indices) every triangle whose cache entry repeats the
// corners of a lower one exactly; returns the count kept, in increasing order. `order` is scratch.
unsigned KeepDistinctTriangles(unsigned* faces, unsigned n, const _GridFaceCache* cache,
                               CXArray<CellTriangleKey>& order);

}  // namespace detail
}  // namespace kestovar
