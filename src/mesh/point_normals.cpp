// Corner normals with a smoothing angle (CPointNormalChannel::InitNormals).
//
// Around every point the faces fall into groups: the first face not yet grouped seeds a group,
// and every later face whose normal lies within the angle of the seed's joins it; the group's
// normal is the weighted sum of its faces' contributions, made unit length. Distinct normals are
// stored once, numbered by first appearance in point order.
//
// Most points carry one group. They are found in one pass over the faces in index order, which
// sums each point's faces exactly as the grouping would (the same faces, the same order, the
// same double-precision additions), so that neither the point-to-face adjacency nor a walk per
// point is needed for them. Only the points where some face falls outside its seed's angle
// (the "split" points) get the adjacency and the general grouping.
#include <emmintrin.h>

#include <cmath>
#include <cstring>

#include "core/prefetch.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/log.h"
#include "kestovar/core/progress.h"
#include "kestovar/mesh/channel_lists.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/normal_channel.h"
#include "kestovar/mesh/point_list.h"
#include "normal_internal.h"
#include "point_record.h"

namespace kestovar {

namespace {

using detail::CFaceNormalSource;
using detail::CosineBetween;
using detail::kNormalEpsilon;
using detail::ObjectSmoothMode;

inline const float* Ptr(const C3DTVector<float>& v) { return &v.x; }

// An uninitialised scratch buffer of `count` elements from the library's allocator.
template <class T>
class CScratch {
public:
    explicit CScratch(size_t count) : m_pData(static_cast<T*>(xmalloc(sizeof(T) * (count ? count : 1)))) {
        if (!m_pData) XThrow<CXMemoryException>();
    }
    ~CScratch() { xfree(m_pData); }
    CScratch(const CScratch&) = delete;
    CScratch& operator=(const CScratch&) = delete;
    T* Get() const { return m_pData; }

private:
    T* m_pData;
};

// Reads the faces of a list in index order: the flag words in place, and the records of the point
// indices. When the records lie one after another in index order (a list filled face after face,
// or a packed copy of one), each record is found by stepping over the one before instead of
// through the offset table.
class CFaceWalk {
public:
    // `sequential`: the records are known to lie in index order.
    CFaceWalk(const CFaceList& faces, bool sequential)
        : m_records(faces.GetRecords()),
          m_flags(faces),
          m_pNext(sequential && faces.GetSize() ? reinterpret_cast<const unsigned char*>(m_records.GetElement(0))
                                                : nullptr) {}
    unsigned Flags(unsigned f) const { return m_flags(f); }
    // The record of face f. Faces are asked for in increasing order, and every one of them when
    // the records are sequential.
    const CFaceCollection::Element* Record(unsigned f) {
        if (!m_pNext) return m_records.GetElement(f);
        const auto* e = reinterpret_cast<const CFaceCollection::Element*>(m_pNext);
        m_pNext += CFaceCollection::RecordBytes(e->GetCapacity());
        return e;
    }
    // The point indices of face f and their count, under Record's rule.
    const int* Indexes(unsigned f, int& count) {
        const CFaceCollection::Element* e = Record(f);
        count = int(e->GetSize());
        return e->GetData();
    }

private:
    const CFaceCollection& m_records;
    CFaceFlagsView m_flags;
    const unsigned char* m_pNext;
};

// The first passes read each face's record twice: kAhead faces early, to prefetch what it names,
// and when the face's turn comes. The ring holds the records of the faces from f to f + kAhead - 1,
// so that each is found through the offset table once, and learns on the way whether the records
// lie one after another in index order (what CFaceWalk can then step through).
template <int kAhead>
class CRecordRing {
public:
    CRecordRing(const CFaceCollection& records, int count)
        : m_records(records),
          m_nCount(count),
          m_pExpected(count ? reinterpret_cast<const unsigned char*>(records.GetElement(0)) : nullptr) {
        for (int f = 0; f < kAhead && f < count; ++f) m_ring[f] = records.GetElement(unsigned(f));
    }
    // The record of face f; faces are asked for in increasing order, every one of them. The record
    // of face f + kAhead, when there is one, is handed to ahead(record) first.
    template <class Ahead>
    const CFaceCollection::Element* Take(int f, Ahead&& ahead) {
        const CFaceCollection::Element* e = m_ring[f % kAhead];
        if (f + kAhead < m_nCount) {
            const CFaceCollection::Element* next = m_records.GetElement(unsigned(f + kAhead));
            m_ring[f % kAhead] = next;
            ahead(next);
        }
        m_bSequential &= reinterpret_cast<const unsigned char*>(e) == m_pExpected;
        m_pExpected = reinterpret_cast<const unsigned char*>(e) + CFaceCollection::RecordBytes(e->GetCapacity());
        return e;
    }
    // Whether every record taken so far followed the one before it in memory.
    bool Sequential() const { return m_bSequential; }

private:
    const CFaceCollection& m_records;
    const int m_nCount;
    const unsigned char* m_pExpected;
    bool m_bSequential = true;
    const CFaceCollection::Element* m_ring[kAhead];
};

// Sets corner k of channel face `face` to `value` wherever the geometric face has `point`.
void SetCornersAtPoint(CFaceList* channelFaces, const C3DFaceList* faces, unsigned face, int point, int value) {
    int gn = 0, cn = 0;
    const int* g = faces->GetIndexes(face, gn);
    int* c = channelFaces->GetIndexes(face, cn);
    const int n = gn < cn ? gn : cn;
    for (int k = 0; k < n; ++k)
        if (g[k] == point) c[k] = value;
}

// The corners around the selected points, by a counting sort over the live faces: for point p, the run
// [starts[p], starts[p + 1]) lists the faces using p in increasing order, each once, with the
// first corner at which it does. The same faces in the same order as the point-to-face graph,
// without its per-record bookkeeping, and with the corner that the graph would make every user
// search for again.
class CCornerAdjacency {
public:
    // One face around a point and the first corner at which it uses the point.
    struct Entry {
        int face;
        int corner;
    };
    CCornerAdjacency() = default;
    ~CCornerAdjacency() {
        xfree(m_pStarts);
        xfree(m_pEntries);
    }
    CCornerAdjacency(const CCornerAdjacency&) = delete;
    CCornerAdjacency& operator=(const CCornerAdjacency&) = delete;

    // Only the points p with select[p] == wanted get runs (the others get empty ones);
    // cornerCount(p) is the number of corners of live faces at such a point (counted by the
    // caller's own pass over the faces), and prefetchCount(p) starts loading it, some points
    // early: the counts lie in scattered records, whose misses would otherwise come one after
    // another in the running sum. `sequential` as for CFaceWalk. False when a live face uses a
    // point outside [0, pointCount).
    template <class CornerCount, class PrefetchCount>
    bool Build(const CFaceList& faces, bool sequential, int pointCount, const unsigned char* select,
               unsigned char wanted, CornerCount&& cornerCount, PrefetchCount&& prefetchCount) {
        const int nf = faces.GetSize();
        // Scratch memory written before it is read.
        m_pStarts = static_cast<unsigned*>(xmalloc(sizeof(unsigned) * (size_t(pointCount) + 1)));
        if (!m_pStarts) XThrow<CXMemoryException>();
        unsigned* start = m_pStarts;
        m_repeated.SetSize(0);
        m_repeated.SetSize(nf, false);
        start[0] = 0;
        constexpr int kCountAhead = 128;
        for (int p = 0; p < pointCount; ++p) {
            if (p + kCountAhead < pointCount && select[p + kCountAhead] == wanted) prefetchCount(p + kCountAhead);
            start[p + 1] = start[p] + (select[p] == wanted ? cornerCount(p) : 0u);
        }
        const unsigned total = start[pointCount];
        m_pEntries = static_cast<Entry*>(xmalloc(sizeof(Entry) * (size_t(total) + 1)));
        unsigned* end = static_cast<unsigned*>(xmalloc(sizeof(unsigned) * (size_t(pointCount) + 1)));
        if (!m_pEntries || !end) {
            xfree(end);
            XThrow<CXMemoryException>();
        }
        std::memcpy(end, start, sizeof(unsigned) * size_t(pointCount));
        Entry* out = m_pEntries;
        CFaceWalk walk(faces, sequential);
        for (int f = 0; f < nf; ++f) {
            int k = 0;
            const int* idx = walk.Indexes(unsigned(f), k);
            if (!IsLiveFaceFlags(walk.Flags(unsigned(f)))) continue;
            if (k == 3) {
                // Most triangles have no selected point: one test for the three.
                const unsigned i0 = unsigned(idx[0]), i1 = unsigned(idx[1]), i2 = unsigned(idx[2]);
                const unsigned top = i0 > i1 ? (i0 > i2 ? i0 : i2) : (i1 > i2 ? i1 : i2);
                if (top < unsigned(pointCount) &&
                    ((select[i0] == wanted) | (select[i1] == wanted) | (select[i2] == wanted)) == 0)
                    continue;
            }
            for (int j = 0; j < k; ++j) {
                const unsigned p = unsigned(idx[j]);
                if (p >= unsigned(pointCount)) {
                    xfree(end);
                    return false;
                }
                if (select[p] != wanted) continue;
                const unsigned e = end[p];
                if (e != start[p] && out[e - 1].face == f) {
                    m_repeated.Set(f);
                    m_anyRepeated = true;
                    continue;
                }
                out[e].face = f;
                out[e].corner = j;
                end[p] = e + 1;
            }
        }
        // Runs of points used twice by one face are shorter than counted: close the gaps.
        if (m_anyRepeated) {
            unsigned w = 0;
            for (int p = 0; p < pointCount; ++p) {
                const unsigned b = start[p], e = end[p];
                start[p] = w;
                for (unsigned i = b; i < e; ++i, ++w) out[w] = out[i];
            }
            start[pointCount] = w;
        }
        xfree(end);
        return true;
    }
    const unsigned* GetStarts() const { return m_pStarts; }
    const Entry* GetEntries() const { return m_pEntries; }
    // Whether face f uses some point at more than one corner.
    bool HasRepeatedPoint(unsigned f) const { return m_anyRepeated && m_repeated.Get(int(f)); }

private:
    unsigned* m_pStarts = nullptr;
    Entry* m_pEntries = nullptr;
    CBitArray m_repeated;
    bool m_anyRepeated = false;
};

// The distinct normals in order of first appearance, written straight into the channel's vector
// list and found again through an open-addressing table of their indices (power-of-two size,
// linear probing, each slot tagged with bits of the hash so that a mismatch costs no load of the
// vector) under a hash mixing the bits of all three components. Keying on one sum of the
// components made every normal with the same sum collide, and a smooth height field has many.
// Equality is exact, component by component, so -0 and +0 meet; a vector with a NaN component
// equals nothing and always gets an index of its own: it is entered in the table like any other,
// where no later look-up ever matches it (a look-up adds at most one slot either way, so the
// table's size still holds).
// A slot holds the tag in its high bits and index + 1 in its low bits (0 = empty). `Slot` is
// uint32_t when every index + 1 fits 24 bits (8 tag bits at least, more for fewer normals), which
// halves the table's memory traffic against 64-bit slots (32 index bits, 32 tag bits), used
// beyond. Sized once for `capacity` vectors (the number of keys looked up: every key adds at most
// one), so that no look-up grows or checks room.
template <class Slot>
class CDistinctNormals {
public:
    // Whether 32-bit slots can number `capacity` vectors.
    static constexpr bool FitsNarrowSlots(unsigned capacity) { return capacity < (1u << 24); }
    // `out` has room for `capacity` vectors; the i-th distinct normal is written to out[i] (flag
    // word cleared).
    CDistinctNormals(unsigned capacity, C3DTVector<float>* out) : m_pOut(out) {
        // At most half full while the slots fit the second-level cache (128k slots for up to 64k
        // normals), where the count of probes sets the pace; up to two-thirds full beyond, where
        // the memory traffic does.
        const unsigned sparse = 2u * capacity + 16u;
        const unsigned wanted = capacity < (1u << 16) && sparse <= (1u << 17) ? sparse : capacity + capacity / 2u + 16u;
        unsigned size = 64;
        while (size < wanted && size < 0x80000000u) size <<= 1;
        m_mask = size - 1;
        if constexpr (sizeof(Slot) == 4) {
            Slot index = 1;
            while (index <= capacity) index <<= 1;
            m_indexMask = index - 1;
        } else {
            m_indexMask = 0xFFFFFFFFu;
        }
        m_slots.SetSize(int(size));  // zero-filled: every slot empty
    }
    // The hash of the key k[0..2]; k[3] must be readable (its value is not used). -0 and +0 hash
    // alike, as they compare equal: adding +0 turns -0 into +0 and leaves every other value's bits
    // (a NaN may come back quiet, and matches nothing anyway).
    static unsigned Hash(const float* k) {
        const __m128i v = _mm_castps_si128(_mm_add_ps(_mm_loadu_ps(k), _mm_setzero_ps()));
        const uint64_t xy = uint64_t(_mm_cvtsi128_si64(v));
        const uint64_t z = uint32_t(_mm_cvtsi128_si32(_mm_unpackhi_epi64(v, v)));
        uint64_t h = xy * 0x9E3779B97F4A7C15ull;
        h ^= z * 0xC2B2AE3D27D4EB4Full;
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        return unsigned(h >> 32);
    }
    // The index of `key` (3 floats), appended when new; `hash` is Hash(key). The slot's position
    // comes from the hash's low bits, its tag from the high ones.
    unsigned Find(const float* key, unsigned hash) {
        Slot* slots = m_slots.GetData();
        const Slot tag = (Slot(hash) << (8 * sizeof(Slot) - 32)) & ~m_indexMask;
        for (unsigned pos = hash & m_mask;; pos = (pos + 1) & m_mask) {
            const Slot s = slots[pos];
            if (s == 0) {
                slots[pos] = tag | Slot(m_count + 1);
                return Append(key);
            }
            if ((s & ~m_indexMask) != tag) continue;
            const unsigned index = unsigned(s & m_indexMask) - 1;
            const C3DTVector<float>& o = m_pOut[index];
            if (o.x == key[0] && o.y == key[1] && o.z == key[2]) return index;
        }
    }
    // Finds the `count` keys (3 floats each, and one readable float after the last; at most the
    // capacity) in order, writing their indices to `out`. The table slots of the keys a little
    // ahead are prefetched, so that the scattered loads overlap; their hashes wait in a ring
    // until their turn.
    void FindAll(const float* keys, unsigned count, unsigned* out) {
        constexpr unsigned kAhead = 16;
        unsigned ring[kAhead];
        const unsigned first = count < kAhead ? count : kAhead;
        for (unsigned i = 0; i < first; ++i) {
            ring[i] = Hash(keys + size_t(i) * 3);
            detail::PrefetchLine(m_slots.GetData() + (ring[i] & m_mask));
        }
        for (unsigned i = 0; i < count; ++i) {
            const unsigned hash = ring[i % kAhead];
            if (i + kAhead < count) {
                const unsigned ahead = Hash(keys + size_t(i + kAhead) * 3);
                ring[i % kAhead] = ahead;
                detail::PrefetchLine(m_slots.GetData() + (ahead & m_mask));
            }
            out[i] = Find(keys + size_t(i) * 3, hash);
        }
    }
    unsigned GetCount() const { return m_count; }

private:
    unsigned Append(const float* key) {
        C3DTVector<float>& o = m_pOut[m_count];
        o.SetFlags(0);
        o.Init(key[0], key[1], key[2]);
        return m_count++;
    }
    CXArray<Slot> m_slots;  // tag | (index + 1); 0 = empty
    C3DTVector<float>* m_pOut;
    unsigned m_count = 0;
    unsigned m_mask;
    Slot m_indexMask;
};

// The distinct normals of the `count` group normals `keys` (3 floats each, one readable float
// after the last) written to out[0..) in order of first appearance, and the index of each group's
// among them to groupTo; returns their number. `out` has room for `count` vectors.
unsigned FindDistinctNormals(const float* keys, unsigned count, C3DTVector<float>* out, unsigned* groupTo) {
    if (CDistinctNormals<uint32_t>::FitsNarrowSlots(count)) {
        CDistinctNormals<uint32_t> table(count, out);
        table.FindAll(keys, count, groupTo);
        return table.GetCount();
    }
    CDistinctNormals<uint64_t> table(count, out);
    table.FindAll(keys, count, groupTo);
    return table.GetCount();
}

// Whether a normal has unit length within 1e-3 (false for NaN), the condition of the quick
// decision of JoinsSeed.
inline bool IsNearUnit(const float v[3]) {
    const float l = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    return l >= 1.0f - 1e-3f && l <= 1.0f + 1e-3f;
}

// The grouping's angle test at one smoothing angle: the cosine threshold, and the single-precision
// dot product of two near-unit normals above which JoinsSeed's quick decision accepts with no
// more arithmetic. For d above it, d - (2e-3 |d| + 1e-5) > minCos holds in exact arithmetic with
// room to spare (1e-9, far above the rounding of the terms), so such a d lies inside the region
// where the quick decision is proven to agree with the exact test.
struct AngleTest {
    explicit AngleTest(double cosine) : minCos(cosine) {
        const double t = cosine + 1e-5;
        const double bound = (t >= 0.0 ? t / (1.0 - 2e-3) : t / (1.0 + 2e-3)) + 1e-9;
        // Rounded up to a float (a NaN threshold stays NaN: the quick decision then accepts nothing
        // and the exact test, !(NaN > c), joins every face; past 1.01 nothing is near-unit).
        float above = float(bound);
        if (double(above) < bound) above = std::nextafter(above, 2.0f);
        acceptAbove = above;
    }
    double minCos;
    float acceptAbove;
};

// Whether a face of normal b joins the group seeded by a face of normal a:
// !(minCos > CosineBetween(a, b)), bit for bit. When both normals have unit length within 1e-3
// (`nearUnit`: IsNearUnit of both), the cosine differs from their dot product d by at most
// 1.0011e-3 |d|, and d computed in single precision is off by less than 1e-6, so a dot product
// clear of the threshold by 2e-3 |d| + 1e-5 decides without the square root and the division
// (above the threshold by a single comparison, see AngleTest); anything closer, or a normal of
// another length (the degenerate faces' fallback is (1, 0, 0), but a face normal channel may hold
// anything), takes the exact test.
inline bool JoinsSeed(const float a[3], const float b[3], bool nearUnit, const AngleTest& test) {
    const double minCos = test.minCos;
    if (nearUnit) {
        const float dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
        if (dot > test.acceptAbove) return true;
        const double d = dot;
        const double margin = 2e-3 * std::fabs(d) + 1e-5;
        if (d - margin > minCos) return true;
        // Below the threshold, unless the exact cosine clamps to -1 at a threshold of -1.
        if (d + margin < minCos && minCos > -1.0) return false;
    }
    return !(minCos > CosineBetween(a, b));
}

// What the first pass found at a point.
enum PointKind : unsigned char {
    kPointUnused = 0,  // no live face uses it
    kPointSingle = 1,  // every face around it lies within the angle of the first: one group
    kPointSplit = 2,   // some face does not: grouped by the general walk over its adjacency
    kPointSingleOdd = 3,  // kPointSingle with a seed normal not of unit length (exact tests only)
};

// The first pass's state of a point: the running sum of its single group, the seed face's normal
// (a copy, so that the angle test loads nothing but this record; AreaNormalsAndSingleGroups keeps
// its probe there) and the last face that added to it (a face using the point at two corners adds
// once, at the first).
struct PointSum {
    double sum[3];
    float seed[3];
    int last;
    unsigned corners;  // corners of live faces at the point (the adjacency's run length)
    int seedFace;      // set by AreaNormalsAndSingleGroups only
};
static_assert(sizeof(PointSum) == 48, "the point state fills 48 bytes");

// Unit face normals are read as floats a fixed stride apart: 3 in the scratch normals computed in
// the first pass, the size of a vector in a vector list.
static_assert(sizeof(C3DTVector<float>) % sizeof(float) == 0, "vectors must be whole floats");
constexpr size_t kListStride = sizeof(C3DTVector<float>) / sizeof(float);

// The coordinates of a point record as the lanes (y, z, x, x) and (z, x, y, y): one edge's Newell
// terms are then (a1 - b1) * (a2 + b2) lane by lane. The record is read whole (PointRecordWords);
// the flag lane is never used, since its bits as a float may be a denormal, which would slow the
// arithmetic down.
inline void NewellLanes(const C3DTPoint<float>& p, __m128& a1, __m128& a2) {
    const __m128 v = _mm_loadu_ps(detail::PointRecordWords(p));
    a1 = _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 3, 2));
    a2 = _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 2, 1, 3));
}

// detail::NewellSums for a triangle, the three sums in the lanes of one register: the same
// single-precision operations in the same order (the closing edge last, the sums starting from
// +0), so the same bits.
inline bool TriangleNewellSums(const C3DTPoint<float>* pts, int np, const int* idx, float out[3]) {
    const unsigned i0 = unsigned(idx[0]), i1 = unsigned(idx[1]), i2 = unsigned(idx[2]);
    if (!pts || i0 >= unsigned(np) || i1 >= unsigned(np) || i2 >= unsigned(np)) return detail::NoFaceNormal(out);
    __m128 a1, a2, b1, b2, c1, c2;
    NewellLanes(pts[i0], a1, a2);
    NewellLanes(pts[i1], b1, b2);
    NewellLanes(pts[i2], c1, c2);
    __m128 n = _mm_add_ps(_mm_setzero_ps(), _mm_mul_ps(_mm_sub_ps(a1, b1), _mm_add_ps(a2, b2)));
    n = _mm_add_ps(n, _mm_mul_ps(_mm_sub_ps(b1, c1), _mm_add_ps(b2, c2)));
    n = _mm_add_ps(n, _mm_mul_ps(_mm_sub_ps(c1, a1), _mm_add_ps(c2, a2)));
    float sums[4];
    _mm_storeu_ps(sums, n);
    return detail::StoreNewellSums(sums[0], sums[1], sums[2], out);
}

// Vectors a and b (3 floats or doubles each) divided by their lengths in double precision when
// those exceed the epsilon, kept as they are otherwise (NaN included), rounded to floats into oa
// and ob (which may be a and b): both at once with packed instructions, which round exactly as the
// scalar ones, since the square roots and divisions are what face and group normals spend most of
// their time on.
template <class S>
inline void NormalizeTwo(const S* a, const S* b, float* oa, float* ob) {
    const __m128d eps = _mm_set1_pd(kNormalEpsilon);
    const __m128d x = _mm_set_pd(double(b[0]), double(a[0]));
    const __m128d y = _mm_set_pd(double(b[1]), double(a[1]));
    const __m128d z = _mm_set_pd(double(b[2]), double(a[2]));
    const __m128d len = _mm_sqrt_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(x, x), _mm_mul_pd(y, y)), _mm_mul_pd(z, z)));
    const __m128d keep = _mm_cmpgt_pd(len, eps);
    float o[3][4];
    _mm_storeu_ps(o[0], _mm_cvtpd_ps(_mm_or_pd(_mm_and_pd(keep, _mm_div_pd(x, len)), _mm_andnot_pd(keep, x))));
    _mm_storeu_ps(o[1], _mm_cvtpd_ps(_mm_or_pd(_mm_and_pd(keep, _mm_div_pd(y, len)), _mm_andnot_pd(keep, y))));
    _mm_storeu_ps(o[2], _mm_cvtpd_ps(_mm_or_pd(_mm_and_pd(keep, _mm_div_pd(z, len)), _mm_andnot_pd(keep, z))));
    oa[0] = o[0][0];
    oa[1] = o[1][0];
    oa[2] = o[2][0];
    ob[0] = o[0][1];
    ob[1] = o[1][1];
    ob[2] = o[2][1];
}

// The group normals, made as the groups come: every sum made unit length when its length exceeds
// the epsilon, rounded to floats, two at a time (NormalizeTwo) and the last one of an odd count
// alone, so that the sums never need storing.
class CGroupNormals {
public:
    explicit CGroupNormals(float* out) : m_pOut(out) {}
    // Adds the group of sum `sum` (3 doubles); returns its number.
    unsigned Add(const double* sum) {
        const unsigned index = m_count++;
        if (index & 1) {
            NormalizeTwo(m_pending, sum, m_pOut + size_t(index - 1) * 3, m_pOut + size_t(index) * 3);
        } else {
            m_pending[0] = sum[0];
            m_pending[1] = sum[1];
            m_pending[2] = sum[2];
        }
        return index;
    }
    // Makes the last group of an odd count; returns the number of groups.
    unsigned Finish() {
        if (m_count & 1) {
            const double* sum = m_pending;
            float* o = m_pOut + size_t(m_count - 1) * 3;
            const double len = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
            if (len > kNormalEpsilon) {
                o[0] = float(sum[0] / len);
                o[1] = float(sum[1] / len);
                o[2] = float(sum[2] / len);
            } else {
                o[0] = float(sum[0]);
                o[1] = float(sum[1]);
                o[2] = float(sum[2]);
            }
        }
        return m_count;
    }

private:
    float* m_pOut;
    double m_pending[3] = {0.0, 0.0, 0.0};
    unsigned m_count = 0;
};

// The first pass's work at one live face f: for every point it uses (once, at its first corner),
// seeds the point's group, adds the face to it, or marks the point split when the face is outside
// the seed's angle or has no face normal (`normal` null). False when the face uses a point outside
// [0, np).
template <class AddFace>
inline bool VisitCorners(int f, const int* idx, int k, int np, const float* normal, const AngleTest& angleTest,
                         AddFace& addFace, PointSum* state, unsigned char* kind, bool& anySplit) {
    const bool hasNormal = normal != nullptr;
    const bool nearUnit = hasNormal && IsNearUnit(normal);
    for (int j = 0; j < k; ++j) {
        const unsigned p = unsigned(idx[j]);
        if (p >= unsigned(np)) return false;
        PointSum& s = state[p];
        if (kind[p] == kPointUnused) {
            s.last = f;
            s.corners = 1;
            if (!hasNormal) {
                kind[p] = kPointSplit;
                anySplit = true;
                continue;
            }
            kind[p] = nearUnit ? kPointSingle : kPointSingleOdd;
            s.seed[0] = normal[0];
            s.seed[1] = normal[1];
            s.seed[2] = normal[2];
            s.sum[0] = s.sum[1] = s.sum[2] = 0.0;
            addFace(f, j, s.sum);
            continue;
        }
        ++s.corners;
        if ((kind[p] & kPointSingle) && s.last != f) {
            s.last = f;
            if (hasNormal && JoinsSeed(s.seed, normal, nearUnit && kind[p] == kPointSingle, angleTest)) {
                addFace(f, j, s.sum);
            } else {
                kind[p] = kPointSplit;
                anySplit = true;
            }
        }
    }
    return true;
}

// The first pass when the face normals are this build's own: each live face's normal is computed
// and then used at once for its corners (VisitCorners), in index order, so the point sums see the
// faces in the same order as a pass over finished normals would. The Newell sums of two live faces
// are made unit length together (NormalizeTwo) before the corners of both are visited. `raw` (when
// not null) gets the Newell sums, zero for a face without a normal, and `unit` the sums made unit
// length, (1, 0, 0) for a face without a normal or not live; the raw entries of the faces that are
// not live are left unset (nothing reads them). `kind` must be all kPointUnused on entry.
// `sequential` tells whether the records lie one after another in index order (what CFaceWalk can
// step through). Returns false when a live face uses a point outside [0, np); the scratch is then
// partly written.
bool NormalsAndSingleGroups(const C3DFaceList& faces, const C3DTPoint<float>* pts, int np, float* raw, float* unit,
                            bool areaWeight, const AngleTest& angleTest, PointSum* state, unsigned char* kind,
                            bool& anySplit, bool& sequential) {
    const int nf = faces.GetSize();
    CFaceFlagsView flagsOf(faces);
    // The points and point states of the face 16 faces ahead are prefetched: both are read in the
    // mesh's own, scattered, point order (on the bunny the pass takes a quarter longer without;
    // 16 faces ahead did a little better than 8).
    constexpr int kAhead = 16;
    // A live face whose Newell sums wait for a second one to be made unit length with.
    int pending = -1;
    const int* pendingIdx = nullptr;
    int pendingCount = 0;
    // The weighted normal of the face being visited (the Newell sums for area weighting, the unit
    // normal otherwise), converted to double once for all its corners, and added to a point's sum
    // two components at a time (each lane rounds as the scalar addition does).
    double weight[3];
    auto addWeight = [&weight](int, int, double* sum) {
        _mm_storeu_pd(sum, _mm_add_pd(_mm_loadu_pd(sum), _mm_loadu_pd(weight)));
        sum[2] += weight[2];
    };
    auto visit = [&](int face, const int* idx, int k) {
        const float* n = unit + size_t(face) * 3;
        const float* w = areaWeight ? raw + size_t(face) * 3 : n;
        weight[0] = w[0];
        weight[1] = w[1];
        weight[2] = w[2];
        return VisitCorners(face, idx, k, np, n, angleTest, addWeight, state, kind, anySplit);
    };
    auto prefetch = [&](const CFaceCollection::Element* ahead) {
        const int* next = ahead->GetData();
        const unsigned ka = ahead->GetSize() < 4 ? ahead->GetSize() : 4;
        for (unsigned j = 0; j < ka; ++j) {
            const unsigned q = unsigned(next[j]);
            if (q >= unsigned(np)) continue;
            if (pts) detail::PrefetchLine(pts + q);
            detail::PrefetchLine(state + q);
        }
    };
    CRecordRing<kAhead> ring(faces.GetRecords(), nf);
    for (int f = 0; f < nf; ++f) {
        const CFaceCollection::Element* e = ring.Take(f, prefetch);
        float* n = unit + size_t(f) * 3;
        if (!IsLiveFaceFlags(flagsOf(unsigned(f)))) {
            n[0] = 1.0f;
            n[1] = n[2] = 0.0f;
            continue;
        }
        const int k = int(e->GetSize());
        const int* idx = e->GetData();
        // Without a normal the sums are (1, 0, 0), which normalising leaves as it is.
        const bool ok = k == 3 ? TriangleNewellSums(pts, np, idx, n) : detail::NewellSums(pts, np, idx, unsigned(k), n);
        if (raw) {
            float* r = raw + size_t(f) * 3;
            r[0] = ok ? n[0] : 0.0f;
            r[1] = ok ? n[1] : 0.0f;
            r[2] = ok ? n[2] : 0.0f;
        }
        if (pending < 0) {
            pending = f;
            pendingIdx = idx;
            pendingCount = k;
            continue;
        }
        float* m = unit + size_t(pending) * 3;
        NormalizeTwo(m, n, m, n);
        if (!visit(pending, pendingIdx, pendingCount) || !visit(f, idx, k)) return false;
        pending = -1;
    }
    sequential = ring.Sequential();
    if (pending >= 0) {
        float* m = unit + size_t(pending) * 3;
        detail::NormalizeIfLong(m);
        return visit(pending, pendingIdx, pendingCount);
    }
    return true;
}

// The first pass over normals computed beforehand (a face normal channel's vectors, `unitCount`
// of them, `unitStride` floats apart): VisitCorners for every live face in index order, a face
// whose index is not below unitCount having no normal. `kind` must be all kPointUnused on entry.
// Returns false when a live face uses a point outside [0, np); the scratch is then partly written.
template <class AddFace>
bool SumSingleGroups(const C3DFaceList& faces, bool sequential, int np, const float* unitBase, size_t unitStride,
                     int unitCount, const AngleTest& angleTest, AddFace&& addFace, PointSum* state,
                     unsigned char* kind, bool& anySplit) {
    const int nf = faces.GetSize();
    CFaceWalk walk(faces, sequential);
    // The point states of the face a few faces ahead are prefetched: they are read in the mesh's
    // own, scattered, point order. A second walk runs that far ahead.
    constexpr int kAhead = 6;
    CFaceWalk ahead(faces, sequential);
    for (int f = 0; f < kAhead && f < nf; ++f) ahead.Record(unsigned(f));
    for (int f = 0; f < nf; ++f) {
        if (f + kAhead < nf) {
            int ka = 0;
            const int* next = ahead.Indexes(unsigned(f + kAhead), ka);
            for (int j = 0; j < ka && j < 4; ++j) {
                const unsigned q = unsigned(next[j]);
                if (q >= unsigned(np)) continue;
                detail::PrefetchLine(state + q);
            }
        }
        int k = 0;
        const int* idx = walk.Indexes(unsigned(f), k);
        if (!IsLiveFaceFlags(walk.Flags(unsigned(f)))) continue;
        const float* normal = f < unitCount ? unitBase + size_t(f) * unitStride : nullptr;
        if (!VisitCorners(f, idx, k, np, normal, angleTest, addFace, state, kind, anySplit)) return false;
    }
    return true;
}

// The unit normal of a face from the Newell sums the first pass stores for it (zero for a face
// without a normal): (1, 0, 0) for zero sums, the sums made unit length otherwise, bit for bit
// what NormalizeTwo makes of them.
inline void UnitFromSums(const float* sums, float out[3]) {
    if (sums[0] == 0.0f && sums[1] == 0.0f && sums[2] == 0.0f) {
        detail::NoFaceNormal(out);
        return;
    }
    out[0] = sums[0];
    out[1] = sums[1];
    out[2] = sums[2];
    detail::NormalizeIfLong(out);
}

// The angle test of AreaNormalsAndSingleGroups for the pairs a single comparison of the probes'
// dot product does not accept: with `quick` (both probes near unit length) the margins of
// JoinsSeed's quick decision, and then, or without `quick`, the exact rule between the faces
// `seedFace` and `face` over unit normals made from their stored sums. `faceUnit` caches the unit
// normal of `face` once made (`faceUnitMade`).
[[gnu::noinline]] bool JoinsSeedNearBound(float dot, bool quick, const float* raw, int seedFace, int face,
                                          float faceUnit[3], bool& faceUnitMade, double minCos) {
    if (quick) {
        const double d = dot;
        const double margin = 2e-3 * std::fabs(d) + 1e-5;
        if (d - margin > minCos) return true;
        if (d + margin < minCos && minCos > -1.0) return false;
    }
    float seedUnit[3];
    UnitFromSums(raw + size_t(seedFace) * 3, seedUnit);
    if (!faceUnitMade) {
        UnitFromSums(raw + size_t(face) * 3, faceUnit);
        faceUnitMade = true;
    }
    return !(minCos > CosineBetween(seedUnit, faceUnit));
}

// The first pass for area weighting when the face normals are this build's own: in index order,
// each live face's Newell sums are stored in `raw` (zero for a face without a normal; the entries
// of the faces that are not live are left unset) and its corners visited at once (the single
// groups seeded, summed in double precision or split, as VisitCorners does).
//
// The angle tests need no unit normal. A face's probe is its Newell sums scaled by the estimate
// of the reciprocal square root of their squared length, which puts its length within 4e-4 of 1
// and its direction within 1e-7 radians of the unit normal's (each component rounded once); the
// unit normal itself lies within 1e-7 radians of the sums' direction. The cosine between two
// unit normals thus lies within 5e-7 of the angle of their probes, and the dot product of two
// probes decides as JoinsSeed's quick decision does for unit normals: its margin (2e-3 |d| +
// 1e-5) covers the lengths and the roundings with 9e-6 to spare. Only pairs closer to the bound
// than that margin, and faces whose squared sums leave [1e-30, FLT_MAX] (then the unit normal is
// the probe, and JoinsSeed's condition applies), take the exact rule over unit normals made from
// the stored sums. The unit normals are made afterwards for the faces around split points only.
// `kind` must be all kPointUnused on entry; the point states record their seed face. Returns false
// when a live face uses a point outside [0, np); the scratch is then partly written.
bool AreaNormalsAndSingleGroups(const C3DFaceList& faces, const C3DTPoint<float>* pts, int np, float* raw,
                                const AngleTest& angleTest, PointSum* state, unsigned char* kind, bool& anySplit,
                                bool& sequential) {
    const int nf = faces.GetSize();
    CFaceFlagsView flagsOf(faces);
    const float acceptAbove = angleTest.acceptAbove;
    const double minCos = angleTest.minCos;
    // The points and point states of the face 16 faces ahead are prefetched, as in
    // NormalsAndSingleGroups.
    constexpr int kAhead = 16;
    const unsigned last = unsigned(np) - 1;
    // |x| < sumEpsilon in single precision exactly when |x| < kNormalEpsilon in double: the
    // smallest float not below the epsilon.
    float epsilon = float(kNormalEpsilon);
    if (double(epsilon) < kNormalEpsilon) epsilon = std::nextafter(epsilon, 1.0f);
    const __m128 sumEpsilon = _mm_set1_ps(epsilon);
    auto prefetch = [&](const CFaceCollection::Element* ahead) __attribute__((always_inline)) {
        const int* next = ahead->GetData();
        const unsigned ka = ahead->GetSize() < 4 ? ahead->GetSize() : 4;
        auto point = [&](unsigned j) __attribute__((always_inline)) {
            unsigned q = unsigned(next[j]);
            q = q <= last ? q : 0u;
            detail::PrefetchLine(pts + q);
            detail::PrefetchLine(state + q);
        };
        if (ka == 3) {
            point(0);
            point(1);
            point(2);
        } else {
            for (unsigned j = 0; j < ka; ++j) point(j);
        }
    };
    CRecordRing<kAhead> ring(faces.GetRecords(), nf);
    for (int f = 0; f < nf; ++f) {
        const CFaceCollection::Element* e = ring.Take(f, prefetch);
        if (!IsLiveFaceFlags(flagsOf(unsigned(f)))) continue;
        const int k = int(e->GetSize());
        const int* idx = e->GetData();
        // The Newell sums in the lanes x, y, z (the fourth lane is never used).
        float* r = raw + size_t(f) * 3;
        __m128 sums;
        bool hasNormal;
        bool distinct = false;
        if (k == 3) {
            const unsigned i0 = unsigned(idx[0]), i1 = unsigned(idx[1]), i2 = unsigned(idx[2]);
            if ((i0 > i1 ? (i0 > i2 ? i0 : i2) : (i1 > i2 ? i1 : i2)) > last) return false;
            distinct = i0 != i1 && i1 != i2 && i0 != i2;
            __m128 a1, a2, b1, b2, c1, c2;
            NewellLanes(pts[i0], a1, a2);
            NewellLanes(pts[i1], b1, b2);
            NewellLanes(pts[i2], c1, c2);
            sums = _mm_add_ps(_mm_setzero_ps(), _mm_mul_ps(_mm_sub_ps(a1, b1), _mm_add_ps(a2, b2)));
            sums = _mm_add_ps(sums, _mm_mul_ps(_mm_sub_ps(b1, c1), _mm_add_ps(b2, c2)));
            sums = _mm_add_ps(sums, _mm_mul_ps(_mm_sub_ps(c1, a1), _mm_add_ps(c2, a2)));
            // No normal when every sum lies below the epsilon in absolute value (NaN does not).
            const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), sums);
            hasNormal = (_mm_movemask_ps(_mm_cmplt_ps(magnitude, sumEpsilon)) & 7) != 7;
        } else {
            float n[4];
            hasNormal = detail::NewellSums(pts, np, idx, unsigned(k), n);
            n[3] = 0.0f;
            sums = _mm_loadu_ps(n);
        }
        float probe[4];
        bool quick = true;
        if (!hasNormal) {
            sums = _mm_setzero_ps();
            detail::NoFaceNormal(probe);
        } else {
            const __m128 squares = _mm_mul_ps(sums, sums);
            __m128 length2 = _mm_add_ss(squares, _mm_shuffle_ps(squares, squares, _MM_SHUFFLE(1, 1, 1, 1)));
            length2 = _mm_add_ss(length2, _mm_movehl_ps(squares, squares));
            const float l2 = _mm_cvtss_f32(length2);
            if (l2 >= 1e-30f && l2 <= 3.4028235e38f) {
                const __m128 scale = _mm_rsqrt_ss(length2);
                _mm_storeu_ps(probe, _mm_mul_ps(sums, _mm_shuffle_ps(scale, scale, 0)));
            } else {
                _mm_storeu_ps(probe, sums);
                detail::NormalizeIfLong(probe);
                quick = IsNearUnit(probe);
            }
        }
        float sumsOut[4];
        _mm_storeu_ps(sumsOut, sums);
        r[0] = sumsOut[0];
        r[1] = sumsOut[1];
        r[2] = sumsOut[2];
        // The weight, in double precision once for all corners.
        const __m128d weightXY = _mm_cvtps_pd(sums);
        const double weightZ = double(sumsOut[2]);
        float faceUnit[3];
        bool faceUnitMade = false;
        const unsigned char seededKind = quick ? kPointSingle : kPointSingleOdd;
        const bool quickSingle = quick;
        // Seeds the point's group, adds the face to it or splits the point. With `checkLast`, a
        // face using the point at two corners adds once, at the first; a face of distinct points
        // needs no such check (and leaves `last` as it is).
        auto visit = [&](unsigned p, bool checkLast) __attribute__((always_inline)) {
            PointSum& s = state[p];
            const unsigned char kd = kind[p];
            if (kd == kPointUnused) {
                kind[p] = seededKind;
                s.last = f;
                s.corners = 1;
                s.seedFace = f;
                s.seed[0] = probe[0];
                s.seed[1] = probe[1];
                s.seed[2] = probe[2];
                _mm_storeu_pd(s.sum, _mm_add_pd(_mm_setzero_pd(), weightXY));
                s.sum[2] = 0.0 + weightZ;
                return;
            }
            ++s.corners;
            if (!(kd & kPointSingle)) return;
            if (checkLast) {
                if (s.last == f) return;
                s.last = f;
            }
            const float dot = s.seed[0] * probe[0] + s.seed[1] * probe[1] + s.seed[2] * probe[2];
            const bool joins = (dot > acceptAbove && kd == kPointSingle && quickSingle) ||
                               JoinsSeedNearBound(dot, kd == kPointSingle && quickSingle, raw, s.seedFace, f, faceUnit,
                                                  faceUnitMade, minCos);
            if (joins) {
                _mm_storeu_pd(s.sum, _mm_add_pd(_mm_loadu_pd(s.sum), weightXY));
                s.sum[2] += weightZ;
            } else {
                kind[p] = kPointSplit;
                anySplit = true;
            }
        };
        if (distinct) {
            visit(unsigned(idx[0]), false);
            visit(unsigned(idx[1]), false);
            visit(unsigned(idx[2]), false);
            continue;
        }
        for (int j = 0; j < k; ++j) {
            const unsigned p = unsigned(idx[j]);
            if (p > last) return false;
            visit(p, true);
        }
    }
    sequential = ring.Sequential();
    return true;
}

}  // namespace

bool CPointNormalChannel::InitNormals(const CGeomInfo* geom, float angle) {
    if (m_angle == angle && !IsOneFlagSet(CHANNEL_INVALID | CHANNEL_OUT_OF_DATE)) return false;
    m_angle = angle;
    SetFlag(CHANNEL_OUT_OF_DATE, false);
    C3DFaceList* faces = geom ? geom->GetSrc3DFaceList() : nullptr;
    C3DPointList* points = geom ? geom->GetSrc3DPointList() : nullptr;
    if (!faces || !points || faces->GetSize() == 0 || points->GetSize() == 0) return false;
    CLogTimer timer("CPointNormalChannel::InitNormals");
    if (!m_pPointList) m_pPointList = new C3DVectorList;
    if (!m_pFaceList) m_pFaceList = new CNormalFaceList;
    C3DVectorList* vectors = GetNormalVectorList();
    CFaceList* channelFaces = m_pFaceList;
    const int nf = faces->GetSize();
    const int np = points->GetSize();

    // 1. Flags, face normals and the weighting. Area and unit weighting are inlined; the edge and
    // angle weightings need the corner's edges, and read the unit normals through the weighting
    // state.
    points->SetPointsFlags(POINT_NORMAL_BREAK, false);
    const _NormalSmoothMode mode = ObjectSmoothMode(geom);
    const bool areaWeight = mode != NORMAL_SMOOTH_UNWEIGHTED && mode != NORMAL_SMOOTH_EDGE && mode != NORMAL_SMOOTH_ANGLE;
    const bool unitWeight = mode == NORMAL_SMOOTH_UNWEIGHTED;
    // When the object has no face normal channel and the weighting is inlined, the face normals
    // are computed in the first pass into scratch (what a temporary channel would hold for the
    // live faces, which are the only ones read). Otherwise the raw Newell sums come first (area
    // and edge weighting need them) and the face normal channel is brought up to date from them,
    // or a temporary one is filled.
    const bool ownNormals = (areaWeight || unitWeight) && !FindNormalChannel(geom, CHANNEL_FACE_NORMAL);
    CFaceNormalContributionInfo info;
    CScratch<float> ownUnit{ownNormals ? size_t(nf) * 3 : 0};
    CScratch<float> ownRaw{ownNormals && areaWeight ? size_t(nf) * 3 : 0};
    const float* unitBase = ownUnit.Get();
    size_t unitStride = 3;
    const float* raw = ownRaw.Get();
    int unitCount = nf;
    CFaceNormalSource faceNormals;
    if (!ownNormals) {
        info.Init(geom, mode, nullptr);
        const bool hasRaw = info.m_rawNormals.GetSize() == faces->GetSize() * 3;
        faceNormals.Init(geom, hasRaw ? info.m_rawNormals.GetData() : nullptr);
        const C3DVectorList* unit = faceNormals.GetVectors();
        info.m_pUnitNormals = unit;
        unitBase = unit->GetSize() ? Ptr(unit->GetVectors()[0]) : nullptr;
        unitStride = kListStride;
        unitCount = unit->GetSize();
        raw = info.m_rawNormals.GetData();
    }
    // Whether the geometric records lie in index order, for the walks over the faces (learnt in the
    // first pass when it computes the face normals; otherwise they go through the offset table).
    bool sequential = false;
    // Adds the weighted normal of `face` at its corner `corner` to a group's sum.
    auto addFace = [&](int face, int corner, double* sum) {
        if (areaWeight || unitWeight) {
            const float* r = areaWeight ? raw + size_t(face) * 3 : unitBase + size_t(face) * unitStride;
            sum[0] += r[0];
            sum[1] += r[1];
            sum[2] += r[2];
        } else {
            info.AddContribution(unsigned(face), unsigned(corner), sum);
        }
    };
    const AngleTest angleTest(std::cos(double(angle)));

    // 2. The single-group points, summed in one pass over the faces; the adjacency of the split
    // points only.
    CScratch<PointSum> state{size_t(np)};
    CScratch<unsigned char> kind{size_t(np)};
    std::memset(kind.Get(), kPointUnused, size_t(np));
    bool anySplit = false;
    CCornerAdjacency around;
    // With area weighting and its own face normals the first pass makes no unit normal: those of
    // the faces around split points are made once the adjacency lists them.
    const C3DTPoint<float>* pts = points->GetPoints();
    const bool probePass = ownNormals && areaWeight && pts;
    const bool firstPass =
        probePass ? AreaNormalsAndSingleGroups(*faces, pts, np, ownRaw.Get(), angleTest, state.Get(), kind.Get(),
                                               anySplit, sequential)
        : ownNormals
            ? NormalsAndSingleGroups(*faces, pts, np, areaWeight ? ownRaw.Get() : nullptr, ownUnit.Get(), areaWeight,
                                     angleTest, state.Get(), kind.Get(), anySplit, sequential)
            : SumSingleGroups(*faces, sequential, np, unitBase, unitStride, unitCount, angleTest, addFace, state.Get(),
                              kind.Get(), anySplit);
    if (!firstPass ||
        (anySplit && !around.Build(*faces, sequential, np, kind.Get(), kPointSplit,
                                   [&](int p) { return state.Get()[p].corners; },
                                   [&](int p) { detail::PrefetchLine(&state.Get()[p].corners); }))) {
        // A live face uses a point outside the list: the graph build reports it as it does for
        // every other user of the adjacency.
        faces->UpdatePointToFaceGraph(geom);
        return false;
    }
    if (probePass && anySplit) {
        const CCornerAdjacency::Entry* entry = around.GetEntries();
        const unsigned entries = around.GetStarts()[np];
        float* unit = ownUnit.Get();
        const float* sums = ownRaw.Get();
        auto isZero = [](const float* v) { return v[0] == 0.0f && v[1] == 0.0f && v[2] == 0.0f; };
        // Two at a time where both faces have a normal (NormalizeTwo rounds as UnitFromSums does).
        unsigned i = 0;
        for (; i + 1 < entries; i += 2) {
            const size_t f = size_t(entry[i].face), g = size_t(entry[i + 1].face);
            if (isZero(sums + f * 3) || isZero(sums + g * 3)) {
                UnitFromSums(sums + f * 3, unit + f * 3);
                UnitFromSums(sums + g * 3, unit + g * 3);
            } else {
                NormalizeTwo(sums + f * 3, sums + g * 3, unit + f * 3, unit + g * 3);
            }
        }
        if (i < entries) UnitFromSums(sums + size_t(entry[i].face) * 3, unit + size_t(entry[i].face) * 3);
    }

    // 3. Channel faces parallel to the geometric faces, their records copied whole from the
    // geometric faces (one block); their flags and corners are rewritten after the grouping.
    channelFaces->SetSize(*faces, SETSIZE_COMPACT_EXACT);

    // 4. The groups in point order. A single-group point records its sum; around a split point a
    // face joins the group of the first unprocessed face (the seed) when its normal is within the
    // angle of the seed's, and the others wait for a later group. The faces around a point come
    // in increasing order, each once, with the first corner at which it uses the point (the
    // point-to-face graph's order). Each group's normal is recorded in group order; a single
    // group's number is kept in place of its seed, and the corners of split points get their
    // group's number. The distinct normals are found afterwards in one pass over the groups (in
    // the same order, so numbered by first appearance) and every corner is then given its
    // distinct normal.
    // At most one group per single-group point and one per face around a split point.
    const size_t maxGroups = size_t(np) + (anySplit ? size_t(around.GetStarts()[np]) : 0u);
    // One float more, which the distinct-normal table's hash reads past the last normal.
    CScratch<float> groupNormals{maxGroups * 3 + 1};
    groupNormals.Get()[maxGroups * 3] = 0.0f;
    CGroupNormals groupMaker(groupNormals.Get());
    CXArray<unsigned char, unsigned char> done;
    CXArray<int, int> members;
    CProgressScope progress(L"Computing normals", nullptr, 0, np);
    const unsigned* runStart = around.GetStarts();
    const CCornerAdjacency::Entry* runEntries = around.GetEntries();
    // Records a group's normal (its sum made unit length, unless it vanishes); returns the
    // group's number.
    auto addGroupNormal = [&](const double* sum) { return int(groupMaker.Add(sum)); };
    // Gives the corner of `entry` at point `p` the group number `index` (every corner at the point
    // when the face uses it more than once).
    auto assignCorner = [&](const CCornerAdjacency::Entry& entry, int p, int index) {
        const unsigned f = unsigned(entry.face);
        int cn = 0;
        int* c = channelFaces->GetIndexes(f, cn);
        if (around.HasRepeatedPoint(f)) {
            SetCornersAtPoint(channelFaces, faces, f, p, index);
        } else if (entry.corner < cn) {
            c[entry.corner] = index;
        }
    };
    PointSum* sums = state.Get();
    const unsigned char* kinds = kind.Get();
    // The group of every single-group point, -1 for the others; made the point's distinct normal
    // once those are known, for the corner loop (a compact array, where the point states would
    // be read again 48 bytes apart).
    CScratch<int> pointNormal{size_t(np)};
    int* normalOf = pointNormal.Get();
    for (int p = 0; p < np; ++p) {
        if ((p & 0xFFF) == 0) progress.Step(p);
        if (kinds[p] & kPointSingle) {
            normalOf[p] = addGroupNormal(sums[p].sum);
            continue;
        }
        normalOf[p] = -1;
        if (kinds[p] != kPointSplit) continue;
        const int n = int(runStart[p + 1] - runStart[p]);
        const CCornerAdjacency::Entry* aroundEntries = runEntries + runStart[p];
        if (done.GetSize() < n) {
            done.SetSize(n);
            members.SetSize(n);
        }
        unsigned char* processed = done.GetData();
        std::memset(processed, 0, size_t(n));
        int* group = members.GetData();
        bool broken = false;
        for (int s = 0; s < n; ++s) {
            if (processed[s]) continue;
            processed[s] = 1;
            const int seed = aroundEntries[s].face;
            if (seed >= unitCount) continue;
            double sum[3] = {0.0, 0.0, 0.0};
            addFace(seed, aroundEntries[s].corner, sum);
            int groupSize = 0;
            group[groupSize++] = s;
            const float* seedNormal = unitBase + size_t(seed) * unitStride;
            const bool seedNearUnit = IsNearUnit(seedNormal);
            for (int j = s + 1; j < n; ++j) {
                if (processed[j]) continue;
                const int f = aroundEntries[j].face;
                if (f >= unitCount) {
                    processed[j] = 1;  // set aside for good
                    continue;
                }
                const float* normal = unitBase + size_t(f) * unitStride;
                if (!JoinsSeed(seedNormal, normal, seedNearUnit && IsNearUnit(normal), angleTest)) {
                    broken = true;
                    continue;
                }
                processed[j] = 1;
                addFace(f, aroundEntries[j].corner, sum);
                group[groupSize++] = j;
            }
            const int index = addGroupNormal(sum);
            for (int g = 0; g < groupSize; ++g) assignCorner(aroundEntries[group[g]], p, index);
        }
        if (broken) points->GetPt(p)->SetFlags(POINT_NORMAL_BREAK, true);
    }
    const unsigned groups = groupMaker.Finish();
    // The vector list gets room for one normal per group, the distinct ones are written into it
    // in place, and it is cut to their count afterwards (a shrink, which moves nothing).
    vectors->SetSize(int(groups));
    CScratch<unsigned> groupToNormal{groups};
    const unsigned distinctCount =
        FindDistinctNormals(groupNormals.Get(), groups, groups ? vectors->GetVectors() : nullptr, groupToNormal.Get());
    // The channel faces: an invalid geometric face gives an empty, dead channel face; every other
    // keeps its corner count (flag FACE_INVALID below 3). Every corner of a live face gets its
    // distinct normal, through its point's single group or from the group number a split point's
    // walk wrote; the corners of the other faces are cleared to 0.
    {
        const unsigned* remap = groupToNormal.Get();
        // The distinct normal of every single-group point (the group numbers grow with the point
        // index, so this pass reads the table sequentially).
        for (int p = 0; p < np; ++p)
            if (normalOf[p] >= 0) normalOf[p] = int(remap[normalOf[p]]);
        CFaceWalk geometricWalk(*faces, sequential);
        // The channel records are a packed copy of the geometric ones: in index order when those are.
        CFaceWalk channelWalk(*channelFaces, sequential);
        unsigned char* channelFlags = static_cast<unsigned char*>(channelFaces->GetMainData(0));
        const size_t channelFlagStride = size_t(channelFaces->GetMainArray()->GetSizeOfElement());
        bool anyInvalid = false;
        for (int f = 0; f < nf; ++f) {
            int gn = 0, cn = 0;
            const int* g = geometricWalk.Indexes(unsigned(f), gn);
            // The channel list is this channel's own: its indices are written here.
            int* c = const_cast<int*>(channelWalk.Indexes(unsigned(f), cn));
            const unsigned geometric = geometricWalk.Flags(unsigned(f));
            unsigned flags = cn < 3 ? unsigned(FACE_INVALID) : 0u;
            if (geometric & FACE_INVALID) {
                flags = FACE_INVALID | FACE_HIDDEN;
                anyInvalid = true;
            } else if (!IsLiveFaceFlags(geometric)) {
                std::memset(c, 0, sizeof(int) * size_t(cn));
            } else {
                const int n = gn < cn ? gn : cn;
                auto corner = [&](int i) __attribute__((always_inline)) {
                    const int single = normalOf[g[i]];
                    if (single >= 0)
                        c[i] = single;
                    else if (unsigned(c[i]) < groups)
                        c[i] = int(remap[c[i]]);
                };
                if (n == 3) {
                    corner(0);
                    corner(1);
                    corner(2);
                } else {
                    for (int i = 0; i < n; ++i) corner(i);
                }
            }
            std::memcpy(channelFlags + size_t(f) * channelFlagStride, &flags, sizeof flags);
        }
        // An invalid geometric face gives an empty channel face; emptied after the walk, which
        // steps over the records as they were copied.
        if (anyInvalid) {
            CFace view;
            for (int f = 0; f < nf; ++f) {
                if (!(faces->GetFaceFlags(unsigned(f)) & FACE_INVALID)) continue;
                channelFaces->GetFace(unsigned(f), view);
                view.SetSize(0);
            }
        }
    }

    // 5. The distinct normals in order of first appearance.
    vectors->SetSize(int(distinctCount));
    vectors->SetFlag(POINTLIST_CHANGED, true);
    vectors->FreeExtra();
    // The channel records were copied from the geometric ones and only rewritten in place: when
    // the geometric records were packed (every capacity equal to its count, no slack, nothing
    // allocated beyond), compacting would rewrite the same bytes into a fresh buffer.
    const CFaceCollection& records = channelFaces->GetRecords();
    const uint64_t packed = records.GetPackedBytes();
    channelFaces->GetDataChunks().FreeExtra();
    if (records.GetUsedBytes() != packed || records.GetAllocatedBytes() != packed || records.GetSlack() != 0)
        channelFaces->GetRecords().FreeExtra();
    return true;
}

}  // namespace kestovar
