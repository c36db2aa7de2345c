// Adjacency of a face list: the builds of the point-to-face and edge-to-face graphs, the
// neighbourhood queries (the incremental edits the simplification engine performs while it
// contracts edges live in face_graph_edit.cpp).
//
// Both graphs hold live faces only, as of their build; later face writes do not reach them (the
// owner rebuilds them or edits them through the Graph* calls). Queries take the graph content as
// it is and check only that face and point indices are in range.
#include "kestovar/mesh/face_graph.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "adjacency_internal.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/face_list.h"
#include "platform/cpu_features.h"

namespace kestovar {

// ---- CFaceGraphHelper --------------------------------------------------------------------------------

CFaceGraphHelper::~CFaceGraphHelper() { xfree(m_pArray); }

int* CFaceGraphHelper::GetArray(unsigned n) {
    if (n < m_nCapacity) return m_pArray;
    xfree(m_pArray);
    m_pArray = nullptr;
    m_nCapacity = 0;
    if (n > 0) {
        m_pArray = static_cast<int*>(xmalloc(size_t(n) * sizeof(int)));
        if (!m_pArray) XThrow<CXMemoryException>();
        m_nCapacity = n;
    }
    return m_pArray;
}

bool CFaceGraphHelper::ReleaseArray(int* array) {
    if (!array || array != m_pArray) return false;
    xfree(m_pArray);
    m_pArray = nullptr;
    m_nCapacity = 0;
    return true;
}

namespace {

// The size the helper's set is built with.
constexpr unsigned kHelperSetSize = 21;

[[noreturn]] void ThrowBadPointIndex(const char* where) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: a face uses a point index outside the point list", where);
    XThrow<CXInvalidArgException>(text);
}

// Number of points the graphs are built for: the size of the point list that goes with `faces`
// in `geom`, or, without one, the largest point index of a live face plus one.
unsigned PointCountFor(const CGeomInfo* geom, const CFaceList& faces, const char* where) {
    if (const C3DPointList* points = detail::PointsFor(geom, &faces)) return unsigned(points->GetSize());
    unsigned count = 0;
    const unsigned n = unsigned(faces.GetSize());
    for (unsigned f = 0; f < n; ++f) {
        if (!IsLiveFaceFlags(faces.GetFaceFlags(f))) continue;
        int k;
        const int* idx = faces.GetIndexes(f, k);
        for (int j = 0; j < k; ++j) {
            if (idx[j] < 0) ThrowBadPointIndex(where);
            if (unsigned(idx[j]) >= count) count = unsigned(idx[j]) + 1;
        }
    }
    return count;
}

// Starts the helper's set over for a new query. A set that an earlier large query grew is
// rebuilt at its initial size, so that the order of a result (slot order) depends only on the
// values collected, never on earlier queries; a set at its initial size, the usual case, is
// emptied in place without allocating.
void ResetSet(CHashTable<int>& set) {
    static const unsigned initialSlots = NextPrime(kHelperSetSize);
    if (set.GetCapacity() == initialSlots)
        set.RemoveAll();
    else
        set.InitHashTable(kHelperSetSize);
}

// Copies the helper's set into the helper's array in slot order; null (count 0) when empty.
int* CopySet(CFaceGraphHelper& helper, int& count) {
    CHashTable<int>& set = helper.GetSet();
    const unsigned n = unsigned(set.GetCount());
    count = int(n);
    if (n == 0) return nullptr;
    // A fresh array gets room to spare so that the following queries of about the same size
    // reuse it instead of allocating again.
    int* out = helper.GetArray(n < helper.GetCapacity() ? n : 2 * n + 8);
    int pos = kHashStartPosition;
    int value;
    unsigned i = 0;
    while (set.GetNext(pos, value)) out[i++] = value;
    return out;
}

// True when a and b are consecutive (cyclically, either order) in the face idx[0..k).
bool FaceHasEdge(const int* idx, int k, int a, int b) {
    for (int j = 0; j < k; ++j) {
        int next = idx[j + 1 < k ? j + 1 : 0];
        if ((idx[j] == a && next == b) || (idx[j] == b && next == a)) return true;
    }
    return false;
}

bool FaceHasPoint(const int* idx, int k, int p) {
    for (int j = 0; j < k; ++j)
        if (idx[j] == p) return true;
    return false;
}

// Calls fn(g) for every face g other than `self` that contains the edge (a, b): from the
// edge-to-face graph when the list has one, else from the faces around a in the point-to-face
// graph. Returns false, calling nothing, when the list has neither graph.
template <class Fn>
bool ForEachFaceOnEdge(const CFaceList& list, int a, int b, unsigned self, Fn&& fn) {
    if (const CEdgeToFaceGraph* edges = list.GetEdgeToFaceGraph()) {
        unsigned n;
        const int* faces = edges->Find(C3DEdge(unsigned(a), unsigned(b)), n);
        for (unsigned i = 0; i < n; ++i)
            if (unsigned(faces[i]) != self) fn(faces[i]);
        return true;
    }
    const CPointToFaceGraph* points = list.GetPointToFaceGraph();
    if (!points) return false;
    unsigned n;
    const int* faces = points->Get(unsigned(a), n);
    for (unsigned i = 0; i < n; ++i) {
        if (unsigned(faces[i]) == self) continue;
        int k;
        const int* idx = list.GetIndexes(unsigned(faces[i]), k);
        if (idx && FaceHasEdge(idx, k, a, b)) fn(faces[i]);
    }
    return true;
}

// Adds to `set` the points around p of the kind `type` (2, 3 or other; see _ConnectionInfoType),
// taken from the faces of p in the point-to-face graph. Type 3 adds p itself too (the caller
// removes it once every face has been seen); the other types never add p.
void GatherPoints(const CFaceList& list, const CPointToFaceGraph& graph, unsigned p, int type,
                  CHashTable<int>& set) {
    unsigned nf;
    const int* faces = graph.Get(p, nf);
    const int pp = int(p);
    for (unsigned i = 0; i < nf; ++i) {
        int k;
        const int* idx = list.GetIndexes(unsigned(faces[i]), k);
        if (!idx) continue;
        if (type == CONNECTION_FACE) {
            for (int j = 0; j < k; ++j) set.Insert(idx[j]);
            continue;
        }
        for (int j = 0; j < k; ++j) {
            if (idx[j] != pp) continue;
            if (type == CONNECTION_EDGE) {
                int before = idx[j > 0 ? j - 1 : k - 1];
                int after = idx[j + 1 < k ? j + 1 : 0];
                if (before != pp) set.Insert(before);
                if (after != pp) set.Insert(after);
            } else if (k > 3) {
                // Positions j + 2 .. j + k - 2: every corner but p and its two edge neighbours.
                for (int d = 2; d <= k - 2; ++d) {
                    int q = idx[(j + d) % k];
                    if (q != pp) set.Insert(q);
                }
            }
        }
    }
}

// Checked read of one record of the point-to-face graph.
const int* PointFaces(const CPointToFaceGraph* graph, unsigned p, unsigned& count) {
    count = 0;
    return graph ? graph->Get(p, count) : nullptr;
}

// Scratch memory for one build, written before it is read (so, unlike a CXArray, not cleared).
template <class T>
struct ScratchBuffer {
    T* data;
    explicit ScratchBuffer(size_t count) : data(static_cast<T*>(xmalloc(count ? count * sizeof(T) : 1))) {
        if (!data) XThrow<CXMemoryException>();
    }
    ~ScratchBuffer() { xfree(data); }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
};

// The point indices of a list's faces read straight from the record buffer through the 32-bit
// offsets when every face has its record and no offset needs 64 bits (always, below 4 GB of
// records), else through CFaceList::GetIndexes.
class FaceIndexReader {
public:
    explicit FaceIndexReader(const CFaceList& list) : m_list(list) {
        const CFaceCollection& records = list.GetRecords();
        if (records.GetSize() == unsigned(list.GetSize()) &&
            records.GetOffsets().GetSplitIndex() == COffsetArray::kNoSplit) {
            m_pBuffer = records.GetBuffer();
            m_pOffsets = records.GetOffsets().GetNarrowData();
        }
    }
    // The record buffer and the 32-bit offsets read directly (null when faces go through the list).
    const unsigned char* Buffer() const { return m_pBuffer; }
    const uint32_t* Offsets() const { return m_pOffsets; }
    // The indices of face f (below the face count) and their count.
    const int* operator()(unsigned f, int& count) const {
        if (m_pOffsets) [[likely]] {
            const auto* e = reinterpret_cast<const CFaceCollection::Element*>(m_pBuffer + m_pOffsets[f]);
            count = int(e->m_nCount);
            return e->GetData();
        }
        return m_list.GetIndexes(f, count);
    }

private:
    const CFaceList& m_list;
    const unsigned char* m_pBuffer = nullptr;
    const uint32_t* m_pOffsets = nullptr;
};

#if defined(__x86_64__)
// Whether the eight faces f .. f + 7 are plain triangles (three distinct points below
// pointCount) in records of 16 bytes each right after the one before, record f + 8 following
// them (so that the eight records are read whole, and nothing past them); if so, their corners:
// lane i of p, q and u holds the corners 0, 1 and 2 of face f + i. `offsets` holds the records'
// 32-bit offsets into `buffer`, f + 8 below the face count.
[[gnu::target("avx2")]] inline bool LoadPlainTriangles8(const unsigned char* buffer, const uint32_t* offsets,
                                                        unsigned f, unsigned pointCount, __m256i& p, __m256i& q,
                                                        __m256i& u) {
    static_assert(sizeof(CFaceCollection::Element) == 4, "a record is a 4-byte header and its indices");
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const uint32_t first = offsets[f];
    const __m256i expected = _mm256_add_epi32(_mm256_set1_epi32(int(first)), _mm256_slli_epi32(lane, 4));
    const __m256i have = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets + f));
    if ((_mm256_movemask_epi8(_mm256_cmpeq_epi32(have, expected)) != -1) | (offsets[f + 8] != first + 128) |
        (pointCount == 0))
        return false;
    // Two records per register (header, p0, p1, p2 each), then transposed: the lanes of h, p, q
    // and u hold the faces in the order 0 2 4 6 1 3 5 7 until the permutation at the end.
    const __m256i* r = reinterpret_cast<const __m256i*>(buffer + first);
    const __m256i r0 = _mm256_loadu_si256(r), r1 = _mm256_loadu_si256(r + 1);
    const __m256i r2 = _mm256_loadu_si256(r + 2), r3 = _mm256_loadu_si256(r + 3);
    const __m256i t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1);
    const __m256i t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3);
    const __m256i h = _mm256_unpacklo_epi64(t0, t2);
    p = _mm256_unpackhi_epi64(t0, t2);
    q = _mm256_unpacklo_epi64(t1, t3);
    u = _mm256_unpackhi_epi64(t1, t3);
    const __m256i last = _mm256_set1_epi32(int(pointCount - 1));
    const __m256i three = _mm256_cmpeq_epi32(_mm256_and_si256(h, _mm256_set1_epi32(0xFFFF)), _mm256_set1_epi32(3));
    const __m256i inRange = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpeq_epi32(_mm256_min_epu32(p, last), p), _mm256_cmpeq_epi32(_mm256_min_epu32(q, last), q)),
        _mm256_cmpeq_epi32(_mm256_min_epu32(u, last), u));
    const __m256i repeated = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi32(p, q), _mm256_cmpeq_epi32(q, u)),
                                             _mm256_cmpeq_epi32(u, p));
    if (_mm256_movemask_epi8(_mm256_andnot_si256(repeated, _mm256_and_si256(three, inRange))) != -1) return false;
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    p = _mm256_permutevar8x32_epi32(p, order);
    q = _mm256_permutevar8x32_epi32(q, order);
    u = _mm256_permutevar8x32_epi32(u, order);
    return true;
}

// LoadPlainTriangles8, the corners stored: corner[k][i] is corner k of face f + i.
[[gnu::target("avx2")]] bool PlainTriangleCorners8(const unsigned char* buffer, const uint32_t* offsets, unsigned f,
                                                   unsigned pointCount, unsigned corner[3][8]) {
    __m256i p, q, u;
    if (!LoadPlainTriangles8(buffer, offsets, f, pointCount, p, q, u)) return false;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(corner[0]), p);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(corner[1]), q);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(corner[2]), u);
    return true;
}

// LoadPlainTriangles8, the edges stored: a[k][i] < b[k][i] the ends of edge k (corners k and
// k + 1 mod 3) of face f + i, face[i] = f + i.
[[gnu::target("avx2")]] bool PlainTriangles8(const unsigned char* buffer, const uint32_t* offsets, unsigned f,
                                             unsigned pointCount, unsigned* const a[3], unsigned* const b[3],
                                             unsigned* face) {
    __m256i p, q, u;
    if (!LoadPlainTriangles8(buffer, offsets, f, pointCount, p, q, u)) return false;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a[0]), _mm256_min_epu32(p, q));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b[0]), _mm256_max_epu32(p, q));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a[1]), _mm256_min_epu32(q, u));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b[1]), _mm256_max_epu32(q, u));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a[2]), _mm256_min_epu32(u, p));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b[2]), _mm256_max_epu32(u, p));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(face),
                        _mm256_add_epi32(_mm256_set1_epi32(int(f)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
    return true;
}
#else
bool PlainTriangleCorners8(const unsigned char*, const uint32_t*, unsigned, unsigned, unsigned[3][8]) { return false; }

bool PlainTriangles8(const unsigned char*, const uint32_t*, unsigned, unsigned, unsigned* const*, unsigned* const*,
                     unsigned*) {
    return false;
}
#endif

// Takes the faces 0 .. faceCount - 1 in order: with `inEights`, eight at a time through
// group(f), which handles f .. f + 7 and returns true or declines them (false, nothing done), in
// which case, and for the last faces (the groups stop before face faceCount - 8, so that a group
// may read the record after it), one(f) takes each face on its own.
// one(f) is called from a single place, so that the compiler inlines it once: with two calls of
// a large one, the point-to-face graph's counting pass ran 15 % slower on the bunny.
template <class Group, class One>
[[gnu::always_inline]] inline void ForEachFaceInEights(unsigned faceCount, bool inEights, Group&& group, One&& one) {
    unsigned f = 0;
    while (f < faceCount) {
        const bool eight = inEights && f + 8 < faceCount;
        if (eight && group(f)) {
            f += 8;
            continue;
        }
        for (const unsigned end = eight ? f + 8 : faceCount; f < end; ++f) one(f);
    }
}

// Faces of at most this many corners have their repeated corners found by scanning their own
// corners; a larger face marks its points in a stamp array instead.
constexpr int kScannedCorners = 16;

// True when idx[j] already occurs in idx[0 .. j).
inline bool IsRepeatedCorner(const int* idx, int j) {
    for (int i = 0; i < j; ++i)
        if (idx[i] == idx[j]) return true;
    return false;
}

// Calls fn(p) once for every distinct point p of the face idx[0 .. k) of index f. `stamp` (one
// int per point, lazily filled with -1) serves faces longer than kScannedCorners: each call marks
// the points it passes with `mark`, which must differ from every mark of an earlier call.
template <class Fn>
inline void ForEachDistinctCorner(const int* idx, int k, CXArray<int>& stamp, unsigned pointCount, int mark, Fn&& fn) {
    if (k <= kScannedCorners) {
        for (int j = 0; j < k; ++j)
            if (!IsRepeatedCorner(idx, j)) fn(unsigned(idx[j]));
        return;
    }
    if (stamp.GetSize() == 0) {
        stamp.SetSize(int(pointCount));
        for (unsigned p = 0; p < pointCount; ++p) stamp[int(p)] = -1;
    }
    for (int j = 0; j < k; ++j) {
        int& s = stamp[idx[j]];
        if (s == mark) continue;
        s = mark;
        fn(unsigned(idx[j]));
    }
}

// Builds the point-to-face graph of the live faces of `list` for `pointCount` points.
//
// The first pass checks the indices and counts how many live faces use each point (a face that
// uses a point twice counts once); those counts size the records. Every record is then created at
// once with exactly its size, in point order in one buffer of exactly their bytes, its values left
// unwritten (not zero-filled), and the faces are dropped straight into the records by a counting
// sort, which writes every value: in increasing order, so each record lists its faces in face
// order. Writing into the records themselves costs no more than a plain
// table's scatter and saves a copy of every face index.
//
// A triangle of three distinct points in range, nearly every face, takes one branch for all its
// tests in the first pass; when every live face is one, the second pass drops the faces into the
// records without any test.
CPointToFaceGraph* BuildPointToFaceGraph(const CFaceList& list, unsigned pointCount) {
    const unsigned faceCount = unsigned(list.GetSize());
    if (pointCount >= unsigned(INT_MAX)) XThrow<CXMemoryException>("InitPointToFaceGraph: too many points");
    CXArray<unsigned> countArray;
    countArray.SetSize(int(pointCount) + 1);
    unsigned* count = countArray.GetData();
    CXArray<int> stamp;
    const CFaceFlagsView flags(list);
    const FaceIndexReader indexes(list);
    // Corners of the faces other than plain triangles; whether every live face is a plain
    // triangle (three distinct points in range), which lets the second pass skip every test.
    uint64_t otherValues = 0;
    unsigned plainTriangles = 0;
    bool allPlain = true, allLive = true;
    const auto countFace = [&](unsigned f) {
        if (!IsLiveFaceFlags(flags(f))) {
            allLive = false;
            return;
        }
        int k;
        const int* idx = indexes(f, k);
        if (k == 3) {
            const unsigned p0 = unsigned(idx[0]), p1 = unsigned(idx[1]), p2 = unsigned(idx[2]);
            if ((p0 < pointCount) & (p1 < pointCount) & (p2 < pointCount) & (p0 != p1) & (p1 != p2) &
                (p0 != p2)) [[likely]] {
                ++count[p0];
                ++count[p1];
                ++count[p2];
                ++plainTriangles;
                return;
            }
        }
        allPlain = false;
        for (int j = 0; j < k; ++j)
            if (unsigned(idx[j]) >= pointCount) ThrowBadPointIndex("InitPointToFaceGraph");
        ForEachDistinctCorner(idx, k, stamp, pointCount, int(f), [&](unsigned p) {
            ++count[p];
            ++otherValues;
        });
    };
    // Where the processor has AVX2 and the records are read through their offsets, eight live
    // plain triangles in records that follow each other are read and tested at once (see
    // LoadPlainTriangles8); any other group of eight goes face by face.
    const unsigned char* const buffer = indexes.Buffer();
    const uint32_t* const offsets = indexes.Offsets();
    const bool eightAtOnce = offsets && ProcessorHasAvx2();
    unsigned corner[3][8];
    ForEachFaceInEights(
        faceCount, eightAtOnce,
        [&](unsigned f) {
            unsigned merged = 0;
            for (unsigned i = 0; i < 8; ++i) merged |= flags(f + i);
            if (!IsLiveFaceFlags(merged) || !PlainTriangleCorners8(buffer, offsets, f, pointCount, corner)) return false;
            for (unsigned i = 0; i < 8; ++i) {
                ++count[corner[0][i]];
                ++count[corner[1][i]];
                ++count[corner[2][i]];
            }
            plainTriangles += 8;
            return true;
        },
        countFace);
    const uint64_t values = 3 * uint64_t(plainTriangles) + otherValues;
    if (values >= uint64_t(INT_MAX)) XThrow<CXMemoryException>("InitPointToFaceGraph: too many face corners");

    CPointToFaceGraph* graph = new CPointToFaceGraph(0);
    try {
        graph->AddUnfilledRecords(count, pointCount);
        // count[p] becomes the position of p's next face, counted in ints from the values of
        // record 0: the records sit one after the other, each a header of two ints and its values.
        static_assert(sizeof(CPointToFaceGraph::Element) == 2 * sizeof(int), "a record header is two ints");
        unsigned position = 0;
        for (unsigned p = 0; p < pointCount; ++p) {
            const unsigned n = count[p];
            count[p] = position;
            position += n + 2;
        }
        unsigned ignored;
        int* base = pointCount ? graph->Get(0, ignored) : nullptr;
        assert(pointCount == 0 || graph->Get(pointCount - 1, ignored) == base + count[pointCount - 1]);
        if (allPlain) {
            // The second pass reads the flags again only where some face is not live. It goes
            // face by face: reading eight faces at once here, as the counting pass does, made the
            // whole build slower (bunny 0.53 -> 0.78 ms, 2M grid 18 -> 20 ms in alternating runs).
            for (unsigned f = 0; f < faceCount; ++f) {
                if (!allLive && !IsLiveFaceFlags(flags(f))) continue;
                int k;
                const int* idx = indexes(f, k);
                base[count[idx[0]]++] = int(f);
                base[count[idx[1]]++] = int(f);
                base[count[idx[2]]++] = int(f);
            }
            return graph;
        }
        for (unsigned f = 0; f < faceCount; ++f) {
            if (!IsLiveFaceFlags(flags(f))) continue;
            int k;
            const int* idx = indexes(f, k);
            if (k == 3 && idx[0] != idx[1] && idx[1] != idx[2] && idx[0] != idx[2]) {
                base[count[idx[0]]++] = int(f);
                base[count[idx[1]]++] = int(f);
                base[count[idx[2]]++] = int(f);
                continue;
            }
            // Marks of this pass (-2 - f) differ from those of the counting pass (f) and from -1.
            ForEachDistinctCorner(idx, k, stamp, pointCount, -2 - int(f), [&](unsigned p) { base[count[p]++] = int(f); });
        }
    } catch (...) {
        delete graph;
        throw;
    }
    return graph;
}

// Marks, in HalfEdge::face, an edge of a larger face: AddUnique drops it if already listed.
constexpr unsigned kCheckInTable = 0x80000000u;

#if defined(__SSE2__)
// Copies a line of four 16-byte entries to `to` (64-byte aligned) with non-temporal stores: the
// line goes to memory without first reading the old bytes into the cache.
inline void StreamLine(void* to, const void* line) {
    const __m128i* from = static_cast<const __m128i*>(line);
    __m128i* out = static_cast<__m128i*>(to);
    _mm_stream_si128(out, _mm_load_si128(from));
    _mm_stream_si128(out + 1, _mm_load_si128(from + 1));
    _mm_stream_si128(out + 2, _mm_load_si128(from + 2));
    _mm_stream_si128(out + 3, _mm_load_si128(from + 3));
}
// Orders the streamed lines before the ordinary reads that follow.
inline void FinishStreaming() { _mm_sfence(); }
#else
inline void StreamLine(void* to, const void* line) { std::memcpy(to, line, 64); }
inline void FinishStreaming() {}
#endif

// Home slot of the edge (a, b), a < b, in a map of `slots` slots (magic = detail::ModMagic(slots)),
// as the map computes it: the edge hash reduced by detail::FastMod.
inline unsigned EdgeHome(unsigned a, unsigned b, uint64_t magic, unsigned slots) {
    return detail::FastMod(CHashMethods<C3DEdge>::Hash(C3DEdge(a, b)), magic, slots);
}

// EdgeHome of each edge (a[i], b[i]), i < n, into home[i]. The arrays hold n rounded up to a
// multiple of 4 entries.
void EdgeHomesPlain(const unsigned* a, const unsigned* b, unsigned n, uint64_t magic, unsigned slots, unsigned* home) {
    for (unsigned i = 0; i < n; ++i) home[i] = EdgeHome(a[i], b[i], magic, slots);
}

#if defined(__x86_64__)
// EdgeHomesPlain four edges at a time in 64-bit lanes, with the same integer operations: the
// reduction's 64 x 64-bit products from 32 x 32-bit ones.
[[gnu::target("avx2")]] void EdgeHomesAvx2(const unsigned* a, const unsigned* b, unsigned n, uint64_t magic,
                                           unsigned slots, unsigned* home) {
    const __m256i magicLow = _mm256_set1_epi64x(int64_t(magic & 0xFFFFFFFFu));
    const __m256i magicHigh = _mm256_set1_epi64x(int64_t(magic >> 32));
    const __m256i divisor = _mm256_set1_epi64x(int64_t(slots));
    const __m256i factorA = _mm256_set1_epi64x(302647), factorB = _mm256_set1_epi64x(205887);
    const __m256i pack = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    for (unsigned i = 0; i < n; i += 4) {
        const __m256i lo = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
        const __m256i hi = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        // The edge hash (a * 302647 + b * 205887) >> 16; only its low 32 bits are used below.
        const __m256i x = _mm256_srli_epi64(
            _mm256_add_epi64(_mm256_mul_epu32(lo, factorA), _mm256_mul_epu32(hi, factorB)), 16);
        // FastMod of the hash h (the low 32 bits of x): low = magic * h mod 2^64, then the high
        // 64 bits of low * slots as (high(low) * slots + (low(low) * slots >> 32)) >> 32, which
        // cannot overflow.
        const __m256i low = _mm256_add_epi64(_mm256_mul_epu32(x, magicLow), _mm256_slli_epi64(_mm256_mul_epu32(x, magicHigh), 32));
        const __m256i sum = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(low, 32), divisor),
                                             _mm256_srli_epi64(_mm256_mul_epu32(low, divisor), 32));
        const __m256i r = _mm256_permutevar8x32_epi32(_mm256_srli_epi64(sum, 32), pack);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(home + i), _mm256_castsi256_si128(r));
    }
}
#else
void EdgeHomesAvx2(const unsigned* a, const unsigned* b, unsigned n, uint64_t magic, unsigned slots, unsigned* home) {
    EdgeHomesPlain(a, b, n, magic, slots, home);
}
#endif

// One edge of a live face on its way into the edge-to-face graph, with the home slot of its key.
struct HalfEdge {
    unsigned a, b;  // the ends, smaller first
    int face;       // with kCheckInTable for an edge of a face longer than kScannedCorners
    unsigned home;
};

// Add, or AddUnique for an edge of a long face (kCheckInTable), of the edges run[0 .. n) in turn,
// in one call of the map's loader.
inline void AddEdgeRun(CEdgeToFaceGraph::Loader& load, const HalfEdge* run, unsigned n) {
    load.AddRun(n, [run](unsigned i, unsigned& home, int& face, bool& unique) __attribute__((always_inline)) {
        const HalfEdge& e = run[i];
        home = e.home;
        face = e.face & ~int(kCheckInTable);
        unique = (e.face & int(kCheckInTable)) != 0;
        return C3DEdge(e.a, e.b);
    });
}

// The first 64-byte boundary at or after `p` (the buffer holds 4 entries to spare for it).
inline HalfEdge* AlignToLine(HalfEdge* p) {
    return reinterpret_cast<HalfEdge*>((reinterpret_cast<uintptr_t>(p) + 63) & ~uintptr_t(63));
}

// Calls fn(a, b, face) for each edge of the face idx[0 .. k) of index f that goes into the graph,
// in corner order: ends a < b, degenerate edges left out, and, in a face of at most
// kScannedCorners corners, an edge already passed left out too; a longer face marks its edges
// with kCheckInTable instead, to be dropped by the table.
template <class Fn>
inline void ForEachGraphEdge(const int* idx, int k, unsigned f, Fn&& fn) {
    if (k == 3 && idx[0] != idx[1] && idx[1] != idx[2] && idx[0] != idx[2]) {
        // Three distinct corners: three distinct edges.
        const unsigned p0 = unsigned(idx[0]), p1 = unsigned(idx[1]), p2 = unsigned(idx[2]);
        fn(p0 < p1 ? p0 : p1, p0 < p1 ? p1 : p0, int(f));
        fn(p1 < p2 ? p1 : p2, p1 < p2 ? p2 : p1, int(f));
        fn(p2 < p0 ? p2 : p0, p2 < p0 ? p0 : p2, int(f));
        return;
    }
    const bool large = k > kScannedCorners;
    unsigned seen[2 * kScannedCorners];
    unsigned nSeen = 0;
    for (int j = 0; j < k; ++j) {
        unsigned a = unsigned(idx[j]);
        unsigned b = unsigned(idx[j + 1 < k ? j + 1 : 0]);
        if (a == b) continue;
        if (b < a) std::swap(a, b);
        if (large) {
            fn(a, b, int(f | kCheckInTable));
            continue;
        }
        bool repeated = false;
        for (unsigned i = 0; i < nSeen && !repeated; i += 2) repeated = seen[i] == a && seen[i + 1] == b;
        if (repeated) continue;
        seen[nSeen++] = a;
        seen[nSeen++] = b;
        fn(a, b, int(f));
    }
}

// Number of corners of the live faces of `list`. When every face has its record, that is the
// value count of the records less the corners of the faces that are not live, which reads the
// flags only.
uint64_t LiveCorners(const CFaceList& list, bool& allLive) {
    const unsigned faceCount = unsigned(list.GetSize());
    const CFaceCollection& records = list.GetRecords();
    uint64_t corners = 0;
    allLive = true;
    if (records.GetSize() == faceCount) {
        corners = records.GetValueCount();
        const CFaceFlagsView flags(list);
        for (unsigned f = 0; f < faceCount; ++f)
            if (!IsLiveFaceFlags(flags(f))) [[unlikely]] {
                corners -= records.GetRecordSize(f);
                allLive = false;
            }
        return corners;
    }
    for (unsigned f = 0; f < faceCount; ++f) {
        if (IsLiveFaceFlags(list.GetFaceFlags(f)))
            corners += list.GetFaceSize(f);
        else
            allLive = false;
    }
    return corners;
}

// Calls, in face order (corner order within a face), for every edge of a live face of `list`
// that goes into the edge-to-face graph, with the home of its key in a table of `slots` slots:
// - batch(count, a, b, home, face) for the edges of `count` consecutive plain triangles (three
//   distinct points in range, nearly every face): edge k of batched face t (corners k and k + 1
//   mod 3) has the ends a[k][t] < b[k][t] and the home home[k][t], and the face is face[t];
// - one(a, b, face, home) for each edge of any other face (see ForEachGraphEdge: `face` carries
//   kCheckInTable for an edge of a face longer than kScannedCorners).
// A batch is handed over before the next other face, so that the order stays that of the faces.
// The homes of a batch are computed together, four at a time where the processor has AVX2;
// there, when every face is live and the records are read through their offsets, eight faces
// at a time are read and tested together. Throws for a point index outside [0, pointCount).
template <class Batch, class One>
void ForEachGraphEdgeInFaceOrder(const CFaceList& list, unsigned pointCount, bool allLive, unsigned slots,
                                 Batch&& batch, One&& one) {
    const unsigned faceCount = unsigned(list.GetSize());
    const uint64_t magic = detail::ModMagic(slots);
    static const bool avx2 = ProcessorHasAvx2();
    constexpr unsigned kBatch = 64;
    // The rows have room for the hashing's multiples of four.
    unsigned batchA[3][kBatch + 4] = {}, batchB[3][kBatch + 4] = {}, batchHome[3][kBatch + 4];
    unsigned batchFace[kBatch];
    unsigned batched = 0;
    const unsigned* const rowsA[3] = {batchA[0], batchA[1], batchA[2]};
    const unsigned* const rowsB[3] = {batchB[0], batchB[1], batchB[2]};
    const unsigned* const rowsHome[3] = {batchHome[0], batchHome[1], batchHome[2]};
    const auto flush = [&]() {
        for (unsigned k = 0; k < 3; ++k) {
            if (avx2)
                EdgeHomesAvx2(batchA[k], batchB[k], (batched + 3) & ~3u, magic, slots, batchHome[k]);
            else
                EdgeHomesPlain(batchA[k], batchB[k], batched, magic, slots, batchHome[k]);
        }
        batch(batched, rowsA, rowsB, rowsHome, static_cast<const unsigned*>(batchFace));
        batched = 0;
    };
    const CFaceFlagsView flags(list);
    const FaceIndexReader indexes(list);
    const auto takeFace = [&](unsigned f) {
        if (!allLive && !IsLiveFaceFlags(flags(f))) return;
        int k;
        const int* idx = indexes(f, k);
        if (k == 3) {
            // One branch for all the tests of a plain triangle.
            const unsigned p0 = unsigned(idx[0]), p1 = unsigned(idx[1]), p2 = unsigned(idx[2]);
            if ((p0 < pointCount) & (p1 < pointCount) & (p2 < pointCount) & (p0 != p1) & (p1 != p2) & (p0 != p2))
                [[likely]] {
                batchA[0][batched] = p0 < p1 ? p0 : p1;
                batchB[0][batched] = p0 < p1 ? p1 : p0;
                batchA[1][batched] = p1 < p2 ? p1 : p2;
                batchB[1][batched] = p1 < p2 ? p2 : p1;
                batchA[2][batched] = p2 < p0 ? p2 : p0;
                batchB[2][batched] = p2 < p0 ? p0 : p2;
                batchFace[batched] = f;
                if (++batched == kBatch) flush();
                return;
            }
        }
        if (batched) flush();
        for (int j = 0; j < k; ++j)
            if (unsigned(idx[j]) >= pointCount) ThrowBadPointIndex("InitEdgeToFaceGraph");
        ForEachGraphEdge(idx, k, f, [&](unsigned a, unsigned b, int face) {
            one(a, b, face, EdgeHome(a, b, magic, slots));
        });
    };
    const unsigned char* const buffer = indexes.Buffer();
    const uint32_t* const offsets = indexes.Offsets();
    ForEachFaceInEights(
        faceCount, avx2 && allLive && offsets,
        [&](unsigned f) {
            // The batch is emptied at kBatch faces; eight more must fit.
            if (batched > kBatch - 8) flush();
            unsigned* const a[3] = {batchA[0] + batched, batchA[1] + batched, batchA[2] + batched};
            unsigned* const b[3] = {batchB[0] + batched, batchB[1] + batched, batchB[2] + batched};
            if (!PlainTriangles8(buffer, offsets, f, pointCount, a, b, batchFace + batched)) return false;
            if ((batched += 8) == kBatch) flush();
            return true;
        },
        takeFace);
    if (batched) flush();
}

// Whether the faces of `list` come roughly in the order of their points, so that with the edge
// hash, which follows the point indices, the homes of the edges of consecutive faces lie close
// together: in samples of 256 consecutive faces spread over the list, the middle 80 % of the
// edges' hashes span at most kNearSpan in at least half of the samples. Scanned, generated and
// exported meshes mostly do; a mesh whose points or faces were shuffled does not. The samples
// read about 8000 faces.
bool FacesFollowTheirPoints(const CFaceList& list, bool allLive) {
    constexpr unsigned kSampleFaces = 256, kSamples = 32;
    // 32768 slots of 16 bytes: 512 KB of the table, in a 2 MB second-level cache.
    constexpr unsigned kNearSpan = 32768;
    const unsigned faceCount = unsigned(list.GetSize());
    if (faceCount <= kSampleFaces * kSamples) return true;
    const CFaceFlagsView flags(list);
    const FaceIndexReader indexes(list);
    unsigned hashes[3 * kSampleFaces];
    unsigned near = 0;
    for (unsigned s = 0; s < kSamples; ++s) {
        const unsigned first = unsigned(uint64_t(faceCount - kSampleFaces) * s / (kSamples - 1));
        unsigned n = 0;
        for (unsigned f = first; f < first + kSampleFaces; ++f) {
            if (!allLive && !IsLiveFaceFlags(flags(f))) continue;
            int k;
            const int* idx = indexes(f, k);
            // The first three corners stand for the face.
            for (int j = 0; j < 3 && j < k; ++j)
                hashes[n++] = CHashMethods<C3DEdge>::Hash(C3DEdge(unsigned(idx[j]), unsigned(idx[j + 1 < k ? j + 1 : 0])));
        }
        if (n < 10) {
            ++near;
            continue;
        }
        unsigned* const low = hashes + n / 10;
        unsigned* const high = hashes + n - 1 - n / 10;
        std::nth_element(hashes, low, hashes + n);
        std::nth_element(low, high, hashes + n);
        near += *high - *low <= kNearSpan;
    }
    return 2 * near >= kSamples;
}

// Loads the graph's edges in face order: for faces that follow their points (see
// FacesFollowTheirPoints), the claims and the records then move through the table and the
// record buffer almost front to back, without the gathering and sorting of LoadEdgesByBlock.
// The edges gather in a small staging table that goes to the map one run at a time. Claims go
// to the table itself (a home may lie some thousand slots behind the last one).
void LoadEdgesInFaceOrder(CEdgeToFaceGraph::Loader& load, const CFaceList& list, unsigned pointCount, bool allLive) {
    load.ClaimInTable();
    // Room for a batch of plain triangles' edges (3 x 64) and more.
    constexpr unsigned kStaged = 512;
    HalfEdge staged[kStaged];
    unsigned count = 0;
    const auto flush = [&]() {
        AddEdgeRun(load, staged, count);
        count = 0;
    };
    ForEachGraphEdgeInFaceOrder(
        list, pointCount, allLive, load.GetHashCapacity(),
        [&](unsigned n, const unsigned* const* a, const unsigned* const* b, const unsigned* const* home,
            const unsigned* face) {
            if (count + 3 * n > kStaged) flush();
            HalfEdge* out = staged + count;
            for (unsigned t = 0; t < n; ++t, out += 3) {
                const int f = int(face[t]);
                out[0] = HalfEdge{a[0][t], b[0][t], f, home[0][t]};
                out[1] = HalfEdge{a[1][t], b[1][t], f, home[1][t]};
                out[2] = HalfEdge{a[2][t], b[2][t], f, home[2][t]};
            }
            count += 3 * n;
        },
        [&](unsigned a, unsigned b, int face, unsigned home) {
            if (count == kStaged) flush();
            staged[count++] = HalfEdge{a, b, face, home};
        });
    if (count) flush();
}

// Counts into count[d] the graph edges of a sample of the live faces of `list` whose home in a
// table of `slots` slots lies in bucket d (home >> bucketShift): one face in each run of
// kBucketSampleStride, at a place in the run that varies from run to run, so that no period of
// the face order (a grid's rows, a strip's pairs) lines up with the sample. Indices are only
// hashed, so a face using a point outside the list counts like any other (the load reports it).
// Returns the number of edges counted.
constexpr unsigned kBucketSampleStride = 8;
uint64_t SampleBucketCounts(const CFaceList& list, bool allLive, unsigned slots, unsigned bucketShift,
                            unsigned* count) {
    const unsigned faceCount = unsigned(list.GetSize());
    const uint64_t magic = detail::ModMagic(slots);
    const CFaceFlagsView flags(list);
    const FaceIndexReader indexes(list);
    uint32_t state = 0x9E3779B9u;
    uint64_t sampled = 0;
    for (unsigned first = 0; first < faceCount; first += kBucketSampleStride) {
        // A linear congruential step; its high bits pick the face of the run.
        state = state * 1664525u + 1013904223u;
        const unsigned f = first + (state >> 16) % kBucketSampleStride;
        if (f >= faceCount) break;
        if (!allLive && !IsLiveFaceFlags(flags(f))) continue;
        int k;
        const int* idx = indexes(f, k);
        ForEachGraphEdge(idx, k, f, [&](unsigned a, unsigned b, int) {
            ++count[EdgeHome(a, b, magic, slots) >> bucketShift];
            ++sampled;
        });
    }
    return sampled;
}

// Loads the graph's edges in the order of the block of 64 slots their key's home lies in, and
// within a block in face order (corner order within a face): that order fills the table front
// to back whatever the order of the faces, so that the second face of an edge finds its slot
// still in cache, where face order would miss the cache once per edge on a large mesh whose
// faces do not follow their points. It comes from a stable sort in two digits. The faces are
// read once: each edge, its home computed, is dropped into its bucket of consecutive blocks,
// given room for its share of the edges as a sample of the faces estimates it (the edge hash
// follows the point indices, so the shares follow the mesh: evenly sized rooms sent 8 % of the
// bunny's edges and 16 % of a shuffled grid's past their room), plus a margin for the sample's
// error; edges past the room go to an overflow list that is sorted by bucket afterwards and read
// after the bucket's own edges, which keeps the order. The edges are counted per block as they
// are dropped. Each bucket, small enough to stay in cache, is then sorted by block with those
// counts and loaded into the map in one call, through the map's cache window, so that the table
// is written once, front to back.
void LoadEdgesByBlock(CEdgeToFaceGraph::Loader& load, const CFaceList& list, unsigned pointCount, bool allLive,
                      uint64_t halfEdges) {
    const unsigned slots = load.GetHashCapacity();
    // Blocks of 64 slots (1 KB of 16-byte slots); buckets of 2^lowBits blocks, at most
    // kBuckets of them. With 256, a bucket of a 2-million-triangle mesh (about 30k edges,
    // 470 KB), its sorted copy and its 512 KB of slots fit a 2 MB L2 cache while the edges
    // are dropped into few enough streams; 1024 buckets ran 5-10 % slower, 4096 slower still.
    constexpr unsigned kBlockShift = 6;
    constexpr unsigned kBuckets = 256;
    // Entries a bucket gathers before they go to memory: four lines, so that one put in
    // sixteen takes the (unpredictable) branch that writes them out (one in four, a line at
    // a time, ran about 15 % slower; 32 entries, no faster).
    constexpr unsigned kStaged = 16;
    const unsigned blocks = (slots >> kBlockShift) + 1;
    unsigned lowBits = 0;
    while (((blocks - 1) >> lowBits) + 1 > kBuckets) ++lowBits;
    const unsigned bucketShift = kBlockShift + lowBits;
    const unsigned buckets = ((slots - 1) >> bucketShift) + 1;
    const unsigned lowMask = (1u << lowBits) - 1;

    // Room of each bucket: [start[d], room[d].limit), room[d].next the next free entry.
    struct Room {
        unsigned next, limit;
    };
    CXArray<Room> roomArray;
    roomArray.SetSize(int(buckets));
    Room* room = roomArray.GetData();
    CXArray<unsigned> countArray;
    countArray.SetSize(int(buckets + 1 + (1u << lowBits)));
    unsigned* start = countArray.GetData();
    unsigned* lowCount = start + buckets + 1;
    // The sample's counts, scaled to all edges. A face's edges often share a bucket, so a count
    // of c edges carries the error of about c / 3 independent draws: the room is the estimate
    // plus four of its standard deviations (the scale times the root of 3c). The sample serves
    // when it holds 64 edges per bucket on average: then the margins add up to at most 0.87
    // times the edges (the sum of the roots is largest for even counts), which bounds the
    // buffer. With fewer (a list whose live faces the sample mostly missed), the rooms assume
    // evenly spread homes.
    CXArray<unsigned> sampleArray;
    sampleArray.SetSize(int(buckets));
    unsigned* sample = sampleArray.GetData();
    const uint64_t sampled = SampleBucketCounts(list, allLive, slots, bucketShift, sample);
    const bool useSample = sampled >= 64 * uint64_t(buckets);
    const double scale = useSample ? double(halfEdges) / double(sampled) : 0.0;
    uint64_t total = 0;
    for (unsigned d = 0; d < buckets; ++d) {
        double mean, spread;
        if (useSample) {
            mean = scale * double(sample[d]);
            spread = 4.0 * scale * std::sqrt(3.0 * double(sample[d]) + 1.0);
        } else {
            const uint64_t first = uint64_t(d) << bucketShift;
            const uint64_t next = first + (uint64_t(1) << bucketShift);
            const uint64_t last = next < slots ? next : slots;
            mean = double(halfEdges) * double(last - first) / double(slots);
            spread = 6.0 * std::sqrt(mean);
        }
        uint64_t size = uint64_t(mean + spread) + 16;
        if (size > halfEdges) size = halfEdges;
        size = (size + kStaged - 1) & ~uint64_t(kStaged - 1);
        start[d] = room[d].next = unsigned(total);
        total += size;
        room[d].limit = unsigned(total);
    }
    start[buckets] = unsigned(total);

    // The rooms are whole runs of kStaged entries (four 64-byte lines) from a line boundary. A
    // bucket's edges gather in its run of a small staging table (64 KB), which stays in the
    // cache, and go to memory a full run at a time, past the cache: the scattered writes
    // then cost neither a read of the old bytes nor a cache line evicted per edge.
    static_assert(sizeof(HalfEdge) == 16, "four entries make a 64-byte line");
    ScratchBuffer<HalfEdge> edgeBuffer{size_t(total) + 4};
    HalfEdge* edges = AlignToLine(edgeBuffer.data);
    ScratchBuffer<HalfEdge> stageBuffer{size_t(buckets) * kStaged + 4};
    HalfEdge* stage = AlignToLine(stageBuffer.data);
    CXArray<HalfEdge> overflow;
    // Edges per block of slots, counted as they are dropped: they give each bucket's sort its
    // digit counts, so that the sort reads the bucket's edges from memory once, not twice.
    CXArray<unsigned> blockCountArray;
    blockCountArray.SetSize(int(size_t(buckets) << lowBits));
    unsigned* blockCount = blockCountArray.GetData();
    // The loop's invariants are captured by value: taken by reference, they would be read
    // again after every store of an edge, which might alias them.
    const auto put = [room, stage, edges, blockCount, bucketShift, &overflow](unsigned a, unsigned b, int face,
                                                                              unsigned home)
                         __attribute__((always_inline)) {
        const unsigned d = home >> bucketShift;
        ++blockCount[home >> kBlockShift];
        Room& r = room[d];
        if (r.next < r.limit) [[likely]] {
            const unsigned n = r.next++;
            HalfEdge* line = stage + size_t(d) * kStaged;
            line[n & (kStaged - 1)] = HalfEdge{a, b, face, home};
            if ((n & (kStaged - 1)) == kStaged - 1) {
                HalfEdge* to = edges + (n - (kStaged - 1));
                for (unsigned j = 0; j < kStaged; j += 4) StreamLine(to + j, line + j);
            }
        } else {
            overflow.Add(HalfEdge{a, b, face, home});
        }
    };
    ForEachGraphEdgeInFaceOrder(
        list, pointCount, allLive, slots,
        [put](unsigned count, const unsigned* const* a, const unsigned* const* b, const unsigned* const* home,
              const unsigned* face) {
            // The rows in locals: the edge stores may alias anything reached through a pointer,
            // which would then be read again after every edge.
            const auto drop = put;
            const unsigned *const a0 = a[0], *const a1 = a[1], *const a2 = a[2];
            const unsigned *const b0 = b[0], *const b1 = b[1], *const b2 = b[2];
            const unsigned *const h0 = home[0], *const h1 = home[1], *const h2 = home[2];
            for (unsigned t = 0; t < count; ++t) {
                const int f = int(face[t]);
                drop(a0[t], b0[t], f, h0[t]);
                drop(a1[t], b1[t], f, h1[t]);
                drop(a2[t], b2[t], f, h2[t]);
            }
        },
        put);
    // The last, partial line of each bucket.
    for (unsigned d = 0; d < buckets; ++d) {
        const unsigned n = room[d].next;
        for (unsigned i = n & ~(kStaged - 1); i < n; ++i) edges[i] = stage[size_t(d) * kStaged + (i & (kStaged - 1))];
    }
    FinishStreaming();

    // The overflow, sorted stably by bucket: bucket d's part is [overStart[d], overStart[d + 1]).
    const unsigned overCount = unsigned(overflow.GetSize());
    CXArray<unsigned> overBounds;
    CXArray<HalfEdge> overSorted;
    if (overCount) {
        overBounds.SetSize(int(buckets + 1));
        unsigned* overStart = overBounds.GetData();
        for (unsigned i = 0; i < overCount; ++i) ++overStart[(overflow[int(i)].home >> bucketShift) + 1];
        for (unsigned d = 1; d <= buckets; ++d) overStart[d] += overStart[d - 1];
        overSorted.SetSize(int(overCount));
        CXArray<unsigned> next;
        next.SetSize(int(buckets));
        for (unsigned d = 0; d < buckets; ++d) next[int(d)] = overStart[d];
        for (unsigned i = 0; i < overCount; ++i) {
            const HalfEdge& e = overflow[int(i)];
            overSorted[int(next[int(e.home >> bucketShift)]++)] = e;
        }
        overflow.RemoveAll();
    }
    unsigned largest = 0;
    for (unsigned d = 0; d < buckets; ++d) {
        unsigned size = room[d].next - start[d];
        if (overCount) size += overBounds[int(d + 1)] - overBounds[int(d)];
        if (size > largest) largest = size;
    }

    ScratchBuffer<HalfEdge> sortedBuffer{size_t(largest)};
    HalfEdge* sorted = sortedBuffer.data;
    for (unsigned d = 0; d < buckets; ++d) {
        // The bucket's edges in face order: its own, then its overflow.
        const HalfEdge* own = edges + start[d];
        const unsigned ownSize = room[d].next - start[d];
        const HalfEdge* more = overCount ? overSorted.GetData() + overBounds[int(d)] : nullptr;
        const unsigned moreSize = overCount ? overBounds[int(d + 1)] - overBounds[int(d)] : 0;
        const HalfEdge* run = own;
        const unsigned size = ownSize + moreSize;
        if (lowBits || moreSize) {
            const unsigned* count = blockCount + (size_t(d) << lowBits);
            unsigned sum = 0;
            for (unsigned l = 0; l <= lowMask; ++l) {
                lowCount[l] = sum;
                sum += count[l];
            }
            assert(sum == size);
            // The bucket's own edges come from memory (they were streamed past the cache):
            // each line is asked for 1 KB ahead.
            for (unsigned i = 0; i < ownSize; ++i) {
                if ((i & 3) == 0) __builtin_prefetch(own + i + 64);
                sorted[lowCount[(own[i].home >> kBlockShift) & lowMask]++] = own[i];
            }
            for (unsigned i = 0; i < moreSize; ++i)
                sorted[lowCount[(more[i].home >> kBlockShift) & lowMask]++] = more[i];
            run = sorted;
        }
        AddEdgeRun(load, run, size);
    }
}

// Builds the edge-to-face graph of the live faces of `list`: each cyclic edge (a, b) of a live
// face, with a != b, receives the face once (a face that runs along the same edge twice is
// listed once). Degenerate edges (a, a) have no geometric meaning and are left out.
//
// The result is that of adding the edges to the map one by one (CAssociationMap::Add) in face
// order when the faces follow their points or the table is small (LoadEdgesInFaceOrder), else
// in the order of their homes' blocks (LoadEdgesByBlock); either way it depends on the faces
// alone. Both load through CAssociationMap::Loader::AddRun, which keeps the state of the claims
// in locals and lays the records out in place. A face's repeated edges are dropped while the
// edges are gathered, so every edge goes in with one probe.
CEdgeToFaceGraph* BuildEdgeToFaceGraph(const CFaceList& list, unsigned pointCount) {
    bool allLive;
    const uint64_t halfEdges = LiveCorners(list, allLive);
    if (halfEdges >= uint64_t(INT_MAX)) XThrow<CXMemoryException>("InitEdgeToFaceGraph: too many face corners");

    CEdgeToFaceGraph* graph = new CEdgeToFaceGraph(kHelperSetSize, 2);
    try {
        // A closed surface has half as many edges as face corners; an open one a few more (its
        // border edges count once). Sizing for half the corners plus an eighth avoids a rehash
        // in both cases.
        uint64_t keys = halfEdges / 2 + halfEdges / 16 + 16;
        CEdgeToFaceGraph::Loader load(*graph, keys > UINT_MAX / 4 ? UINT_MAX / 4 : unsigned(keys));
        // A table of up to 65536 slots (1 MB) stays in cache in any order.
        if (load.GetHashCapacity() <= 65536 || FacesFollowTheirPoints(list, allLive))
            LoadEdgesInFaceOrder(load, list, pointCount, allLive);
        else
            LoadEdgesByBlock(load, list, pointCount, allLive, halfEdges);
    } catch (...) {
        delete graph;
        throw;
    }
    return graph;
}

}  // namespace

// ---- builds --------------------------------------------------------------------------------------------

bool CFaceList::InitPointToFaceGraph(const CGeomInfo* geom) {
    return m_pPointToFaceGraph ? true : UpdatePointToFaceGraph(geom);
}

bool CFaceList::InitEdgeToFaceGraph(const CGeomInfo* geom) {
    return m_pEdgeToFaceGraph ? true : UpdateEdgeToFaceGraph(geom);
}

bool CFaceList::UpdatePointToFaceGraph(const CGeomInfo* geom) {
    CPointToFaceGraph* graph =
        BuildPointToFaceGraph(*this, PointCountFor(geom, *this, "InitPointToFaceGraph"));
    delete m_pPointToFaceGraph;
    m_pPointToFaceGraph = graph;
    return true;
}

bool CFaceList::UpdateEdgeToFaceGraph(const CGeomInfo* geom) {
    CEdgeToFaceGraph* graph = BuildEdgeToFaceGraph(*this, PointCountFor(geom, *this, "InitEdgeToFaceGraph"));
    delete m_pEdgeToFaceGraph;
    m_pEdgeToFaceGraph = graph;
    return true;
}

void CFaceList::DeletePointToFaceGraph() {
    delete m_pPointToFaceGraph;
    m_pPointToFaceGraph = nullptr;
}

void CFaceList::DeleteEdgeToFaceGraph() {
    delete m_pEdgeToFaceGraph;
    m_pEdgeToFaceGraph = nullptr;
}

// ---- queries -------------------------------------------------------------------------------------------

const int* CFaceList::GetFacesConnectedToPoint(unsigned int p, int& count) const {
    unsigned n;
    const int* faces = PointFaces(m_pPointToFaceGraph, p, n);
    count = int(n);
    return n ? faces : nullptr;
}

const int* CFaceList::GetFacesConnectedToEdge(const C3DEdge& edge, int& count) const {
    count = 0;
    if (!m_pEdgeToFaceGraph) return nullptr;
    unsigned n;
    const int* faces = m_pEdgeToFaceGraph->Find(edge, n);
    count = int(n);
    return n ? faces : nullptr;
}

int* CFaceList::GetFacesConnectedToPoints(CFaceGraphHelper& helper, unsigned int p1, unsigned int p2, int& count,
                                          bool exclusive) const {
    count = 0;
    if (!m_pPointToFaceGraph) return nullptr;
    CHashTable<int>& set = helper.GetSet();
    ResetSet(set);
    unsigned n;
    const int* faces = PointFaces(m_pPointToFaceGraph, p1, n);
    for (unsigned i = 0; i < n; ++i) set.Insert(faces[i]);
    if (p2 != p1) {
        faces = PointFaces(m_pPointToFaceGraph, p2, n);
        // A face found around both points contains both; the exclusive form drops it.
        for (unsigned i = 0; i < n; ++i)
            if (!set.Insert(faces[i]) && exclusive) set.Remove(faces[i]);
    }
    return CopySet(helper, count);
}

int* CFaceList::GetFacesNeighbourg(CFaceGraphHelper& helper, unsigned int f, int& count,
                                   _ConnectionInfoType type) const {
    count = 0;
    if (!IsFaceLive(f)) return nullptr;
    int k;
    const int* idx = GetIndexes(f, k);
    CHashTable<int>& set = helper.GetSet();
    if (type == CONNECTION_EDGE) {
        if (!m_pEdgeToFaceGraph && !m_pPointToFaceGraph) return nullptr;
        ResetSet(set);
        for (int j = 0; j < k; ++j) {
            int a = idx[j];
            int b = idx[j + 1 < k ? j + 1 : 0];
            if (a != b) ForEachFaceOnEdge(*this, a, b, f, [&set](int g) { set.Insert(g); });
        }
    } else {
        if (!m_pPointToFaceGraph) return nullptr;
        ResetSet(set);
        for (int j = 0; j < k; ++j) {
            unsigned n;
            const int* faces = PointFaces(m_pPointToFaceGraph, unsigned(idx[j]), n);
            for (unsigned i = 0; i < n; ++i)
                if (unsigned(faces[i]) != f) set.Insert(faces[i]);
        }
    }
    return CopySet(helper, count);
}

int* CFaceList::GetPointsNeighbourg(CFaceGraphHelper& helper, unsigned int p, int& count,
                                    _ConnectionInfoType type) const {
    count = 0;
    if (!m_pPointToFaceGraph) return nullptr;
    CHashTable<int>& set = helper.GetSet();
    ResetSet(set);
    GatherPoints(*this, *m_pPointToFaceGraph, p, int(type), set);
    if (type == CONNECTION_FACE) set.Remove(int(p));
    return CopySet(helper, count);
}

int* CFaceList::GetPointsConnectedToPoints(CFaceGraphHelper& helper, const int* points, int pointCount, int& count,
                                           _ConnectionInfoType type) const {
    count = 0;
    if (!m_pPointToFaceGraph || !points || pointCount <= 0) return nullptr;
    CHashTable<int>& set = helper.GetSet();
    ResetSet(set);
    for (int i = 0; i < pointCount; ++i) GatherPoints(*this, *m_pPointToFaceGraph, unsigned(points[i]), int(type), set);
    for (int i = 0; i < pointCount; ++i) set.Remove(points[i]);
    return CopySet(helper, count);
}

int* CFaceList::GetPointsConnectedToEdge(CFaceGraphHelper& helper, const C3DEdge& edge, int& count) const {
    count = 0;
    if (!m_pEdgeToFaceGraph && !m_pPointToFaceGraph) return nullptr;
    CHashTable<int>& set = helper.GetSet();
    ResetSet(set);
    const int a = int(edge.GetP1());
    const int b = int(edge.GetP2());
    ForEachFaceOnEdge(*this, a, b, UINT_MAX, [&](int g) {
        int k;
        const int* idx = GetIndexes(unsigned(g), k);
        for (int j = 0; j < k; ++j)
            if (idx[j] != a && idx[j] != b) set.Insert(idx[j]);
    });
    return CopySet(helper, count);
}

bool CFaceList::IsPointNeighbourg(unsigned int p, unsigned int q, _ConnectionInfoType type) const {
    if (p == q || !m_pPointToFaceGraph) return false;
    const int pp = int(p);
    const int qq = int(q);
    unsigned nf;
    const int* faces = PointFaces(m_pPointToFaceGraph, p, nf);
    for (unsigned i = 0; i < nf; ++i) {
        int k;
        const int* idx = GetIndexes(unsigned(faces[i]), k);
        if (!idx) continue;
        if (type == CONNECTION_FACE) {
            if (FaceHasPoint(idx, k, qq)) return true;
            continue;
        }
        for (int j = 0; j < k; ++j) {
            if (idx[j] != pp) continue;
            if (type == CONNECTION_EDGE) {
                if (idx[j > 0 ? j - 1 : k - 1] == qq || idx[j + 1 < k ? j + 1 : 0] == qq) return true;
            } else {
                for (int d = 2; d <= k - 2; ++d)
                    if (idx[(j + d) % k] == qq) return true;
            }
        }
    }
    return false;
}

bool CFaceList::IsIsolatedFace(unsigned int f) const {
    if (!IsFaceLive(f) || (!m_pEdgeToFaceGraph && !m_pPointToFaceGraph)) return false;
    int k;
    const int* idx = GetIndexes(f, k);
    bool shared = false;
    for (int j = 0; j < k && !shared; ++j) {
        int a = idx[j];
        int b = idx[j + 1 < k ? j + 1 : 0];
        if (a != b) ForEachFaceOnEdge(*this, a, b, f, [&shared](int) { shared = true; });
    }
    return !shared;
}

bool CFaceList::AreFacesConnected(unsigned int f1, unsigned int f2) const {
    if (f1 == f2 || !IsFaceLive(f1) || !IsFaceLive(f2)) return false;
    int k1, k2;
    const int* a = GetIndexes(f1, k1);
    const int* b = GetIndexes(f2, k2);
    for (int j = 0; j < k1; ++j) {
        int p = a[j];
        int q = a[j + 1 < k1 ? j + 1 : 0];
        if (p != q && FaceHasEdge(b, k2, p, q)) return true;
    }
    return false;
}

bool CFaceList::DoesEdgeExists(const C3DEdge& edge) const {
    if (edge.IsDegenerate()) return false;
    bool found = false;
    ForEachFaceOnEdge(*this, int(edge.GetP1()), int(edge.GetP2()), UINT_MAX, [&found](int) { found = true; });
    return found;
}

int CFaceList::GetEdgesOnBorder(const int* faces, int faceCount, CXArray<C3DEdge>& edges) const {
    if (!faces || faceCount <= 0) return 0;
    // How many of the given faces run along each edge; the border of the region is the edges
    // run along once.
    CHashMap<C3DEdge, const C3DEdge&, int> uses(unsigned(faceCount) * 4 + 8);
    for (int i = 0; i < faceCount; ++i)
        detail::ForEachFaceEdge(*this, unsigned(faces[i]),
                                [&uses](int a, int b) { ++uses.GetOrInsert(C3DEdge(unsigned(a), unsigned(b))); });
    int added = 0;
    for (int i = 0; i < faceCount; ++i)
        detail::ForEachFaceEdge(*this, unsigned(faces[i]), [&](int a, int b) {
            const C3DEdge e{unsigned(a), unsigned(b)};
            const int* n = uses.Find(e);
            if (n && *n == 1) {
                edges.Add(e);
                ++added;
            }
        });
    return added;
}

int CFaceList::GetFacesByOppositeEdges(unsigned int f, CXArray<int>& faces) const {
    faces.SetSize(0);
    if (!IsFaceLive(f) || (!m_pEdgeToFaceGraph && !m_pPointToFaceGraph)) return 0;
    int k;
    const int* idx = GetIndexes(f, k);
    faces.SetSize(k);
    for (int j = 0; j < k; ++j) {
        int a = idx[j];
        int b = idx[j + 1 < k ? j + 1 : 0];
        int across = -1;
        int seen = 0;
        if (a != b)
            ForEachFaceOnEdge(*this, a, b, f, [&](int g) {
                if (seen++ == 0) across = g;
            });
        faces[j] = seen == 1 ? across : -1;
    }
    return k;
}

}  // namespace kestovar
