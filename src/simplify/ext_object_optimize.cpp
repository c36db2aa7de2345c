// The contraction loop of C3DExtObject: Optimize turns a ratio or a count into a number of
// elements to remove, then repeatedly takes the cheapest acceptable candidate from the heap,
// contracts it (ReplacePointInFaceList, ext_object_replace.cpp), and re-evaluates the candidates
// around the surviving point with the records it freed (RemoveCost / UpdateCost). Symmetric
// models get every contraction followed by its mirror; recording writes each contraction into the
// object's CTrackContractions.
//
// Allocation: the loop allocates nothing of its own once the reuse array, the face set of the
// acceptance test and the contraction scratch (ext_object_replace.cpp) have grown to the largest
// neighbourhood met.
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>

#include "core/parallel_failure.h"
#include "core/prefetch.h"
#include "kestovar/core/exception.h"
#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"
#include "kestovar/simplify/ext_object.h"
#include "simplify/slot_order_set.h"

namespace kestovar {

namespace {

// The faces around either point of a candidate that hold only one of the two, in the order a
// fresh CHashTable<int> of the graph query helper's size (21) lists them after taking the first
// point's faces and then the second's, a face met twice leaving again (what
// CFaceList::GetFacesConnectedToPoints gives with `exclusive`): the acceptance test sums over
// them in that order and, for slivers, borrows the orientation of the next face listed. The set
// and the result array keep their memory, so a query allocates nothing once they have grown.
class ExclusiveFaces {
public:
    const int* Collect(const C3DFaceList& faces, unsigned p1, unsigned p2, int& count) {
        count = 0;
        const CPointToFaceGraph* graph = faces.GetPointToFaceGraph();
        if (!graph) return nullptr;
        m_set.Reset(kQuerySetSize);
        unsigned n;
        const int* around = graph->Get(p1, n);
        for (unsigned i = 0; i < n; ++i) m_set.Insert(around[i]);
        if (p2 != p1) {
            around = graph->Get(p2, n);
            for (unsigned i = 0; i < n; ++i)
                if (!m_set.Insert(around[i])) m_set.Remove(around[i]);
        }
        count = int(m_set.GetCount());
        if (count == 0) return nullptr;
        if (m_out.GetSize() < count) m_out.SetSize(count);
        m_set.CopyTo(m_out.GetData());
        return m_out.GetData();
    }

private:
    static constexpr unsigned kQuerySetSize = 21;
    SlotOrderSet<int> m_set;
    CXArray<int> m_out;
};

// Per-thread scratch of the loop's steps; it keeps its memory, so the steps allocate nothing once
// it has grown to the largest neighbourhood met.
struct LoopScratch {
    detail::ThreadExitRoom room;  // first: the thread's first use may find no memory
    ExclusiveFaces exclusive;  // the acceptance test's face set
    CXArray<int> neighbours;   // a point's neighbours, in visiting order
    // The point of the last RemoveCost and the other points of the pairs it took out of the
    // pair index: the re-evaluation of that point re-inserts most of those pairs, and knows
    // them absent without a look-up (see UpdateCost).
    int removedPoint = -1;
    int removedCount = 0;
    CXArray<int> removedPartners;
    // Points already met around a point of unusually high valence (beyond NeighbourSet's
    // capacity), where a list search per neighbour would make each step quadratic in the valence.
    SlotOrderSet<int> highValence;
};

// Above this many points, membership among a point's neighbours goes through the scratch's hash
// set rather than a search of the list.
constexpr int kListSearchLimit = 32;

thread_local LoopScratch t_loopScratch;

// The calling thread's scratch. Not inlined on purpose: a caller then holds a plain pointer,
// where an inlined thread-local access is recomputed (a call into the dynamic linker from a
// shared library) at nearly every use of the scratch's members.
[[gnu::noinline]] LoopScratch& ThreadScratch() {
    return t_loopScratch;
}

// Progress is reported (and the cancel state polled) after this many removals.
constexpr int kProgressStep = 10000;
// The cancel state is also polled after this many rejected candidates. Once only candidates
// that fail the acceptance tests are left, every selection tests them all again, so a contraction
// can take long (a large concave polygon triangulated around a point of high valence) and
// removals alone would leave a cancel unanswered for minutes.
constexpr int kRejectionsPerCancelPoll = 4096;

// The acceptance test of a candidate reads, one after the other, the point-to-face records of its
// two points (an entry of the graph's offset table, then the record), the records of their faces
// (an offset, then the record) and the corner points: a chain of dependent misses, as all of
// these lie scattered over large arrays. The loop asks for the links of that chain in stages
// spread over the current contraction, each for the candidate then at the top of the heap,
// which is usually the next one taken (the contraction changes the top only when it removes it
// or re-evaluates a cheaper one). A stage that finds another top asks for that one's data.
// Prefetching only: nothing is written, so the loop's results do not depend on it.
class NextCandidatePrefetch {
public:
    NextCandidatePrefetch(const C3DFaceList& faces, const CostHeap& heap) : m_faces(faces), m_heap(heap) {}
    // The candidate's record.
    void Record() {
        if (const CContractionCost* top = Top()) detail::PrefetchLine(top);
    }
    // The graph's offset entries of its points.
    void GraphOffsets() {
        if (const CContractionCost* top = Top()) {
            const uint32_t* offsets = m_pGraph->GetOffsets().GetNarrowData();
            detail::PrefetchLine(offsets + top->first);
            detail::PrefetchLine(offsets + top->second);
        }
    }
    // Its points' point-to-face records.
    void GraphRecords() {
        if (const CContractionCost* top = Top()) {
            PrefetchElement(m_pGraph->GetElement(unsigned(top->first)));
            PrefetchElement(m_pGraph->GetElement(unsigned(top->second)));
        }
    }
    // The face offset entries of the faces around its points.
    void FaceOffsets() {
        const uint32_t* offsets = m_faces.GetRecords().GetOffsets().GetNarrowData();
        ForEachFace([offsets](int f) { detail::PrefetchLine(offsets + f); });
    }
    // The records of those faces.
    void FaceRecords() {
        const CFaceCollection& records = m_faces.GetRecords();
        ForEachFace([&records](int f) { PrefetchElement(records.GetElement(unsigned(f))); });
    }

private:
    // The top candidate, with m_pGraph set; null when the heap is empty or the lists have no
    // graph or an offset table with 64-bit entries (then no look-ahead).
    const CContractionCost* Top() {
        m_pGraph = m_faces.GetPointToFaceGraph();
        if (!m_pGraph || m_pGraph->GetOffsets().GetSplitIndex() != COffsetArray::kNoSplit ||
            m_faces.GetRecords().GetOffsets().GetSplitIndex() != COffsetArray::kNoSplit)
            return nullptr;
        return m_heap.GetTop();
    }
    static void PrefetchElement(const void* e) {
        if (e) detail::PrefetchLine(e);
    }
    static constexpr unsigned kMaxFacesAhead = 64;
    template <class Visit>
    void ForEachFace(Visit&& visit) {
        const CContractionCost* top = Top();
        if (!top) return;
        const unsigned faceCount = m_faces.GetRecords().GetSize();
        for (int p : {top->first, top->second}) {
            unsigned n;
            const int* around = m_pGraph->Get(unsigned(p), n);
            // Around a point of high valence, more lines than the cache holds would only push
            // each other out; the first faces stand for the rest.
            if (n > kMaxFacesAhead) n = kMaxFacesAhead;
            for (unsigned i = 0; i < n; ++i)
                if (unsigned(around[i]) < faceCount) visit(around[i]);
        }
    }

    const C3DFaceList& m_faces;
    const CostHeap& m_heap;
    const CPointToFaceGraph* m_pGraph = nullptr;
};

// Unit normal (p1 - p0) x (p2 - p0), or (1, 0, 0) when all three components are below 1e-15.
void TriangleNormal(const C3DTPoint<float>& p0, const C3DTPoint<float>& p1, const C3DTPoint<float>& p2,
                    double n[3]) {
    const double ux = double(p1.x) - p0.x, uy = double(p1.y) - p0.y, uz = double(p1.z) - p0.z;
    const double vx = double(p2.x) - p0.x, vy = double(p2.y) - p0.y, vz = double(p2.z) - p0.z;
    n[0] = uy * vz - uz * vy;
    n[1] = uz * vx - ux * vz;
    n[2] = ux * vy - uy * vx;
    if (std::fabs(n[0]) < 1e-15 && std::fabs(n[1]) < 1e-15 && std::fabs(n[2]) < 1e-15) {
        n[0] = 1.0;
        n[1] = n[2] = 0.0;
        return;
    }
    const double l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    n[0] /= l;
    n[1] /= l;
    n[2] /= l;
}

// GetCompacityFactor(p0, p1, p2) and, into n, TriangleNormal(p0, p1, p2, n), from one cross
// product: both functions form the same (p1 - p0) x (p2 - p0) with the same operations, so the
// results are bit for bit theirs. The acceptance test needs both for every face it checks.
inline double CompacityAndNormal(const C3DTPoint<float>& p0, const C3DTPoint<float>& p1,
                                 const C3DTPoint<float>& p2, double n[3]) {
    const double ax = double(p1.x) - p0.x, ay = double(p1.y) - p0.y, az = double(p1.z) - p0.z;
    const double bx = double(p2.x) - p0.x, by = double(p2.y) - p0.y, bz = double(p2.z) - p0.z;
    const double cx = double(p2.x) - p1.x, cy = double(p2.y) - p1.y, cz = double(p2.z) - p1.z;
    const double nx = ay * bz - az * by, ny = az * bx - ax * bz, nz = ax * by - ay * bx;
    const double squared = nx * nx + ny * ny + nz * nz;
    if (std::fabs(nx) < 1e-15 && std::fabs(ny) < 1e-15 && std::fabs(nz) < 1e-15) {
        n[0] = 1.0;
        n[1] = n[2] = 0.0;
    } else {
        const double l = std::sqrt(squared);
        n[0] = nx / l;
        n[1] = ny / l;
        n[2] = nz / l;
    }
    const double area = std::sqrt(squared) / 2.0;
    const double edges =
        ax * ax + ay * ay + az * az + bx * bx + by * by + bz * bz + cx * cx + cy * cy + cz * cz;
    if (edges <= 0.0) return 0.0;
    return 6.928203230275509 * area / edges;
}

// The corners of triangle idx before and after a contraction that puts both of its points
// (kept and removed) at newPos.
inline void CornersBeforeAndAfter(const C3DTPoint<float>* pts, const int* idx, int kept, int removed,
                                  const C3DTPoint<float>& newPos, C3DTPoint<float> oldP[3], C3DTPoint<float> newP[3]) {
    for (int k = 0; k < 3; ++k) {
        oldP[k] = pts[idx[k]];
        newP[k] = (idx[k] == kept || idx[k] == removed) ? newPos : oldP[k];
    }
}

// The flip test's rule: a face folds when its new normal does not point to the side of its
// orientation.
inline bool Folds(const double ref[3], const double now[3]) {
    return ref[0] * now[0] + ref[1] * now[1] + ref[2] * now[2] <= 0.0;
}

// Around a point of high valence, the flip test of a candidate reads every face of the point,
// and a candidate refused for a fold near its other point is met again after each contraction
// next to it (a hub of n faces then costs O(n) per contraction, O(n^2) in all). With the flip
// test alone (no compactness test), a candidate is refused as soon as any face of its exclusive
// set folds, in whatever order the faces come, unless that face is a sliver (which borrows
// the next face's orientation). So a fold found among the faces near the point of lower valence
// (its own faces, and the hub's faces next to it) decides the test at once. Only folds of faces
// that are not slivers and lie in the exclusive set count, so that the answer is the full
// test's: the loop keeps every live face listed in the graph records of all its corners, so a
// face met in a record that holds one of the two points and not the other is one of the
// exclusive set. Looks only when one point has more than kHubValence faces and the other at
// most kNearValence.
constexpr unsigned kHubValence = 256;
constexpr unsigned kNearValence = 32;
constexpr int kNearPoints = 64;
bool FoldNearTheLesserPoint(const C3DTPoint<float>* pts, const C3DFaceList& faces, int kept, int removed,
                            const C3DTPoint<float>& newPos) {
    const CPointToFaceGraph* graph = faces.GetPointToFaceGraph();
    if (!graph || kept == removed) return false;
    unsigned keptCount, removedCount;
    graph->Get(unsigned(kept), keptCount);
    graph->Get(unsigned(removed), removedCount);
    const bool keptIsHub = keptCount > removedCount;
    const int hub = keptIsHub ? kept : removed, low = keptIsHub ? removed : kept;
    const unsigned hubCount = keptIsHub ? keptCount : removedCount;
    const unsigned lowCount = keptIsHub ? removedCount : keptCount;
    if (hubCount <= kHubValence || lowCount > kNearValence) return false;
    // Whether the face of corners idx[0 .. k) holding `holds` but not `other` folds, as the full
    // test would find it.
    auto folds = [&](const int* idx, int k, int holds, int other) {
        if (k != 3) return false;
        bool hasHolds = false;
        for (int j = 0; j < 3; ++j) {
            if (idx[j] == other) return false;
            hasHolds |= idx[j] == holds;
        }
        if (!hasHolds) return false;
        C3DTPoint<float> oldP[3], newP[3];
        CornersBeforeAndAfter(pts, idx, kept, removed, newPos, oldP, newP);
        double ref[3], now[3];
        if (CompacityAndNormal(oldP[0], oldP[1], oldP[2], ref) < 1e-6) return false;
        TriangleNormal(newP[0], newP[1], newP[2], now);
        return Folds(ref, now);
    };
    // The faces that can fold lie around the hub, next to the lesser point: the walk goes along
    // the hub's neighbours outwards from the lesser point (breadth first over the faces that hold
    // the hub, at most kNearPoints points, none of more than kNearValence faces), testing the
    // lesser point's own faces and, around each point met, the faces that hold the hub.
    int near[kNearPoints];
    int nearCount = 0;
    near[nearCount++] = low;
    auto isNear = [&](int w) {
        for (int i = 0; i < nearCount; ++i)
            if (near[i] == w) return true;
        return false;
    };
    for (int i = 0; i < nearCount; ++i) {
        const int u = near[i];
        unsigned n;
        const int* around = graph->Get(unsigned(u), n);
        if (i > 0 && n > kNearValence) continue;
        for (unsigned t = 0; t < n; ++t) {
            int k;
            const int* idx = faces.GetIndexes(unsigned(around[t]), k);
            if (i == 0 ? folds(idx, k, low, hub) : folds(idx, k, hub, low)) return true;
            bool holdsHub = false;
            for (int j = 0; j < k; ++j) holdsHub |= idx[j] == hub;
            if (!holdsHub) continue;
            for (int j = 0; j < k && nearCount < kNearPoints; ++j)
                if (idx[j] != hub && !isNear(idx[j])) near[nearCount++] = idx[j];
        }
    }
    return false;
}

// The pair (a, b) as a look-up key of the pair index.
inline CContractionCost PairKey(int a, int b) {
    CContractionCost key{};
    key.first = a < b ? a : b;
    key.second = a < b ? b : a;
    return key;
}

// The live candidate of the ordered pair (a, b), or null.
CContractionCost* FindPair(const CContractionPairIndex& index, int a, int b) {
    CContractionCost probe = PairKey(a, b);
    CContractionCost* key = &probe;
    CContractionCost* const* found = index.Find(key);
    return found ? *found : nullptr;
}

// Neighbours already handled around one point: every neighbour of a closed fan shows up in two
// triangles, and a repeated pair look-up costs a probe of the pair index. Points of unusually high
// valence overflow the list and are then simply looked up again.
struct NeighbourSet {
    static constexpr int kCapacity = 32;
    int items[kCapacity];
    int count = 0;
    // True when w was not seen before (and records it).
    bool Add(int w) {
        for (int i = 0; i < count; ++i)
            if (items[i] == w) return false;
        if (count < kCapacity) items[count++] = w;
        return true;
    }
};

// Calls visit(w, mayRepeat) once for each neighbour w of `point` across the triangles `around`
// (its faces), in the order the faces list them. Past the set's capacity a neighbour may come
// again; `mayRepeat` then says so.
template <class Visit>
inline void ForEachNeighbour(const C3DFaceList& faces, int point, const int* around, int n, Visit&& visit) {
    NeighbourSet seen;
    for (int i = 0; i < n; ++i) {
        int k;
        const int* idx = faces.GetIndexes(unsigned(around[i]), k);
        if (k != 3) continue;
        for (int j = 0; j < 3; ++j) {
            const int w = idx[j];
            if (w == point || !seen.Add(w)) continue;
            visit(w, seen.count == NeighbourSet::kCapacity);
        }
    }
}

float AxisCoordinate(const C3DTPoint<float>& p, int axis) { return axis == 0 ? p.x : (axis == 1 ? p.y : p.z); }
void SetAxisCoordinate(C3DTPoint<float>& p, int axis, float v) {
    if (axis == 0)
        p.x = v;
    else if (axis == 1)
        p.y = v;
    else
        p.z = v;
}

// The faces that hold both points of an accepted candidate disappear in the graph edit, which
// sets their flag words and takes each out of the point-to-face record of its third corner: lines
// no earlier step of the contraction reads. Asked for in two stages (the flag words and the third
// corners' offset entries once the candidate is accepted, the records after the first removal
// step), they arrive before the edit. Prefetching only.
class DyingFacePrefetch {
public:
    explicit DyingFacePrefetch(const C3DFaceList& faces) : m_faces(faces) {}
    void FlagsAndOffsets(int gone, int kept) {
        m_count = 0;
        const CPointToFaceGraph* graph = m_faces.GetPointToFaceGraph();
        if (!graph || graph->GetOffsets().GetSplitIndex() != COffsetArray::kNoSplit) return;
        const CFaceFlagsView words(m_faces);
        const uint32_t* offsets = graph->GetOffsets().GetNarrowData();
        const unsigned np = graph->GetSize();
        unsigned n;
        const int* around = graph->Get(unsigned(gone), n);
        for (unsigned i = 0; i < n; ++i) {
            int k;
            const int* idx = m_faces.GetIndexes(unsigned(around[i]), k);
            if (k != 3 || (idx[0] != kept && idx[1] != kept && idx[2] != kept)) continue;
            detail::PrefetchLine(words.Address(unsigned(around[i])));
            const int third = idx[0] != kept && idx[0] != gone   ? idx[0]
                              : idx[1] != kept && idx[1] != gone ? idx[1]
                                                                 : idx[2];
            if (unsigned(third) >= np || m_count == kMax) continue;
            detail::PrefetchLine(offsets + third);
            m_third[m_count++] = third;
        }
    }
    void Records() {
        const CPointToFaceGraph* graph = m_faces.GetPointToFaceGraph();
        if (!graph) return;
        for (int i = 0; i < m_count; ++i)
            if (const void* e = graph->GetElement(unsigned(m_third[i]))) detail::PrefetchLine(e);
    }

private:
    static constexpr int kMax = 8;
    const C3DFaceList& m_faces;
    int m_third[kMax];
    int m_count = 0;
};

}  // namespace

// ---- acceptance tests ----------------------------------------------------------------------------

CONTRACTION_PRIORITY C3DExtObject::VerifyPairQuality(CExtPointList& points, C3DFaceList& faces, CContractionCost* rec,
                                                     int kept, int removed, const C3DTPoint<float>& newPos) {
    (void)rec;
    const bool compacity = (m_optimizeMode & OPT_CHECK_COMPACITY) != 0;
    const bool flip = (m_optimizeMode & OPT_CHECK_FLIP) != 0;
    const C3DTPoint<float>* pts = points.GetPoints();
    // A fold found near the point of lower valence refuses the candidate whatever the order of
    // the faces (a face of the exclusive set makes it non-empty, and a position outside the
    // enlarged box is refused too), without collecting the faces of a hub.
    if (flip && !compacity && FoldNearTheLesserPoint(pts, faces, kept, removed, newPos)) return PRIORITY_REJECTED;
    int count = 0;
    const int* around = ThreadScratch().exclusive.Collect(faces, unsigned(kept), unsigned(removed), count);
    if (count == 0 || !around) return PRIORITY_NORMAL;
    if (newPos.x < m_enlargedMin.x || newPos.y < m_enlargedMin.y || newPos.z < m_enlargedMin.z ||
        newPos.x > m_enlargedMax.x || newPos.y > m_enlargedMax.y || newPos.z > m_enlargedMax.z)
        return PRIORITY_REJECTED;
    if (!compacity && !flip) return PRIORITY_NORMAL;

    // The faces' corner points lie scattered over the point list: ask for all of them first, so
    // that their misses overlap instead of stalling each face's test in turn.
    for (int i = 0; i < count; ++i) {
        int n;
        const int* idx = faces.GetIndexes(unsigned(around[i]), n);
        for (int k = 0; k < n && k < 3; ++k) detail::PrefetchLine(pts + idx[k]);
    }
    double sumOld = 0.0, sumNew = 0.0;
    for (int i = 0; i < count; ++i) {
        int n;
        const int* idx = faces.GetIndexes(unsigned(around[i]), n);
        if (n != 3) continue;
        C3DTPoint<float> oldP[3], newP[3];
        CornersBeforeAndAfter(pts, idx, kept, removed, newPos, oldP, newP);
        double ref[3], now[3];
        const double qOld = CompacityAndNormal(oldP[0], oldP[1], oldP[2], ref);
        sumOld += qOld;
        double qNew = 0.0;
        if (compacity)
            qNew = CompacityAndNormal(newP[0], newP[1], newP[2], now);
        else
            TriangleNormal(newP[0], newP[1], newP[2], now);
        if (flip) {
            if (qOld < 1e-6) {
                // A sliver has no reliable orientation: take the next collected face's instead.
                int m;
                const int* next = faces.GetIndexes(unsigned(around[(i + 1) % count]), m);
                if (m >= 3) TriangleNormal(pts[next[0]], pts[next[1]], pts[next[2]], ref);
            }
            if (Folds(ref, now)) return PRIORITY_REJECTED;
        }
        if (compacity) {
            sumNew += qNew;
            if (qOld > 1e-6 && qNew / qOld < 0.2) return PRIORITY_POOR;
        }
    }
    if (!compacity) return PRIORITY_NORMAL;
    return (sumNew / sumOld < 0.5) ? PRIORITY_POOR : PRIORITY_NORMAL;
}

// ---- candidate recycling -------------------------------------------------------------------------

namespace {

// Lists the neighbours of `point` (ForEachNeighbour's order) into the thread's scratch and asks
// for the home slot of each pair in `index` and, with `askRecords`, then for the record that slot
// holds (the record a found pair's caller reads next), so that the pair look-ups that follow
// overlap their misses instead of waiting on each in turn. each(w) runs as each neighbour is
// listed, for further requests. Returns the count; repeatFrom is the first position from which a
// neighbour may be one listed before (-1: none).
template <class Each>
int ListNeighbourPairs(const C3DFaceList& faces, const CContractionPairIndex& index, int point, const int* around,
                       int n, bool askRecords, int& repeatFrom, Each&& each) {
    CXArray<int>& neighbours = ThreadScratch().neighbours;
    int listed = 0;
    repeatFrom = -1;
    ForEachNeighbour(faces, point, around, n, [&](int w, bool mayRepeat) {
        if (listed >= neighbours.GetSize()) neighbours.SetSize(2 * listed + 16);
        // Past the set's capacity every later neighbour may repeat.
        if (mayRepeat && repeatFrom < 0) repeatFrom = listed;
        neighbours[listed++] = w;
        const CContractionCost key = PairKey(point, w);
        if (const void* home = index.GetHomeSlot(&key)) detail::PrefetchLine(home);
        each(w);
    });
    if (askRecords) {
        for (int i = 0; i < listed; ++i) {
            const CContractionCost key = PairKey(point, neighbours[i]);
            if (const CContractionCost* home = index.GetHomeRecord(&key)) detail::PrefetchLine(home);
        }
    }
    return listed;
}

}  // namespace

void C3DExtObject::RemoveCost(int point, CXArray<CContractionCost*, CContractionCost*>& reuse, unsigned int& count) {
    int n = 0;
    const int* around = m_pWorkingFaces->GetFacesConnectedToPoint(unsigned(point), n);
    // The neighbours are listed first, asking for the home slot of each pair; then for the record
    // each home slot holds; then every candidate is looked up, and its heap slot asked for; then
    // they leave the heap and the index in the same order. A lookup of the large pair index costs
    // two dependent misses (slot, then record), which the stages overlap across the neighbours.
    // Looking a pair up does not depend on other pairs having left the index (a deleted slot is
    // probed past like an occupied one), so this is the order of operations of removing each as
    // it is found.
    int repeatFrom;
    const int listed =
        ListNeighbourPairs(*m_pWorkingFaces, m_pairIndex, point, around, n, true, repeatFrom, [](int) {});
    LoopScratch& scratch = ThreadScratch();
    const int* neighbours = scratch.neighbours.GetData();
    const unsigned first = count;
    // A candidate met again is taken only once. Neighbours listed before repeatFrom are distinct;
    // past it, the neighbours whose candidates were taken are looked up in a set (a candidate is
    // its pair, so its other point names it).
    SlotOrderSet<int>* taken = repeatFrom >= 0 ? &scratch.highValence : nullptr;
    if (taken) taken->Reset(3u * unsigned(listed));
    for (int i = 0; i < listed; ++i) {
        CContractionCost* rec = FindPair(m_pairIndex, point, neighbours[i]);
        if (!rec) continue;
        if (taken && !taken->Insert(neighbours[i])) continue;
        if (int(count) >= reuse.GetSize()) reuse.SetSize(int(count) + 1);
        reuse[int(count)] = rec;
        ++count;
        detail::PrefetchLine(rec->slot);
    }
    CXArray<int>& partners = scratch.removedPartners;
    if (partners.GetSize() < int(count - first)) partners.SetSize(int(count - first) + 16);
    for (unsigned r = first; r < count; ++r) {
        CContractionCost* rec = reuse[int(r)];
        m_heap.Remove(rec->slot);
        rec->slot = nullptr;
        m_pairIndex.Remove(rec, true);
        partners[int(r - first)] = rec->first == point ? rec->second : rec->first;
    }
    scratch.removedPoint = point;
    scratch.removedCount = int(count - first);
}

void C3DExtObject::UpdateCost(int point, CXArray<CContractionCost*, CContractionCost*>& reuse, int generation) {
    int n = 0;
    const int* around = m_pWorkingFaces->GetFacesConnectedToPoint(unsigned(point), n);
    const C3DTPoint<float>* pts = m_pWorkingPoints->GetPoints();
    const bool pointSelected = pts[point].IsFlagSet(POINT_SELECTED);
    // The neighbours are listed first, asking for their points and quadrics (scattered over the
    // lists) and for the home slots of their pairs on the way, so that the evaluations and
    // insertions do not wait on each one in turn (an insertion compares the pairs its probe's
    // slots hold, not the records they point at).
    const CSymMatrix* quadrics = m_pWorkingPoints->GetQuadrics();
    int repeatFrom;
    const int listed =
        ListNeighbourPairs(*m_pWorkingFaces, m_pairIndex, point, around, n, false, repeatFrom, [&](int w) {
            if (quadrics) {
                detail::PrefetchObject(quadrics + w);
                detail::PrefetchLine(pts + w);
            }
        });
    LoopScratch& scratch = ThreadScratch();
    const int* neighbours = scratch.neighbours.GetData();
    // Pairs of this point that the removal step just took out of the index are known absent; each
    // is struck from the list as it goes back in (a neighbour listed twice then finds it present).
    int* partners = scratch.removedPartners.GetData();
    int partnerCount = scratch.removedPoint == point ? scratch.removedCount : 0;
    scratch.removedPoint = -1;
    // Many partners (a point of high valence) are looked up in a set instead of the list.
    SlotOrderSet<int>* absent = partnerCount > kListSearchLimit ? &scratch.highValence : nullptr;
    if (absent) {
        absent->Reset(3u * unsigned(partnerCount));
        for (int k = 0; k < partnerCount; ++k) absent->Insert(partners[k]);
    }
    int used = 0;
    for (int i = 0; i < listed; ++i) {
        const int w = neighbours[i];
        if (!pointSelected && !pts[w].IsFlagSet(POINT_SELECTED)) continue;
        if (used >= reuse.GetSize()) {
            if (FindPair(m_pairIndex, point, w)) continue;
            XThrow<CXInvalidArgException>("no candidate record left to reuse");
        }
        // InsertCost split: the index insertion doubles as the look-up of an existing pair (one
        // walk of the table instead of two); the table is in the same state either way, as
        // nothing else touches it between the look-up and the insertion.
        CContractionCost* rec = reuse[used];
        rec->first = point < w ? point : w;
        rec->second = point < w ? w : point;
        bool wasRemoved;
        if (absent) {
            wasRemoved = absent->Remove(w);
        } else {
            int known = 0;
            while (known < partnerCount && partners[known] != w) ++known;
            wasRemoved = known < partnerCount;
            if (wasRemoved) partners[known] = partners[--partnerCount];
        }
        if (wasRemoved) {
            m_pairIndex.InsertNew(rec);
        } else if (!m_pairIndex.Insert(rec)) {
            continue;
        }
        ++used;
        ComputePairCost(*m_pWorkingPoints, *m_pWorkingFaces, rec);
        rec->SetGeneration(unsigned(generation + 1));
        rec->slot = m_heap.Insert(rec);
    }
}

// ---- the loop ------------------------------------------------------------------------------------

int C3DExtObject::Optimize(double ratio, bool& cancelled, unsigned int flags) {
    if (!m_pInitialPoints || !m_pInitialFaces) return 0;
    cancelled = false;
    if (!CanOptimize()) {
        InvalidateOptimization();
        return 0;
    }
    if (!InitOptimization(true)) {
        cancelled = true;
        return 0;
    }
    // A multiresolution object plays the record back from the mesh the record starts at, so the
    // record must hold every contraction made since then. Recording switched on after contractions
    // made without it: with a working copy the run starts over from the initial mesh, so that the
    // record covers all of it; in place (below) the record starts from the mesh as it is now.
    const bool record = IsOptimizerFlagSet(SCENEOPTIMIZER_RECORD_CONTRACTIONS);
    if (record && !m_pTrackInfo && (m_removedPoints > 0 || m_removedFaces > 0) &&
        IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY)) {
        InvalidateOptimization();
        if (!InitOptimization(true)) {
            cancelled = true;
            return 0;
        }
    }
    const bool relative = (flags & OPTIMIZE_RELATIVE) != 0;
    const bool byPoints = (flags & OPTIMIZE_POINTS) != 0;
    if (m_pOptimizer && !record && relative) {
        bool clamped = false;
        ratio = m_pOptimizer->GetObjectRatioFromGlobalRatio(ratio, m_progressiveThreshold, flags, clamped);
    }

    const int removable = byPoints ? m_initialRemovablePoints : m_initialRemovableFaces;
    const int removed = byPoints ? m_removedPoints : m_removedFaces;
    const double target = relative ? ratio * double(removable) : ratio;
    // A target that is not a number asks for nothing. Any other is truncated toward zero in 64
    // bits, so that no ratio, however far outside [0, 1], overflows the counts below; the count
    // left to remove is then clamped to what an int holds (far beyond any heap).
    if (std::isnan(target)) return 0;
    constexpr double kCountBound = 4.0e18;
    const int64_t targetCount = target >= kCountBound ? int64_t(kCountBound)
                                : target <= -kCountBound ? -int64_t(kCountBound)
                                                         : int64_t(target);
    int64_t current = int64_t(removable) - int64_t(removed);
    bool restarted = false;
    if (current < targetCount) {
        // Already more reduced than asked: a relative ratio that did not grow is left alone, any
        // other target restarts from the initial object.
        if (relative && ratio <= m_lastRatio) return 0;
        // Without the working-copy bit the object was reduced in place: the initial mesh is gone,
        // and preparing again would take the reduced mesh for it while the count left to remove
        // still comes from the full one (a relative 0.3 then 0.5 removed every face). The detail
        // cannot come back; the object stays as it is.
        if (!IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY)) return 0;
        InvalidateOptimization();
        current = removable;
        restarted = true;
    }
    const int64_t left = current - targetCount;
    if (left == 0) {
        // A restart with nothing to remove (a count equal to the initial one) still brings the
        // initial mesh back; the invalidation alone left the working copy empty.
        if (restarted && !InitOptimization(true)) cancelled = true;
        return 0;
    }
    int remaining = int(std::clamp<int64_t>(left, -int64_t(INT_MAX), int64_t(INT_MAX)));

    if (!InitOptimization(false)) {
        cancelled = true;
        return 0;
    }
    // Set after the preparation: rebuilding the working copy resets the last ratio to 1.0, which
    // would make every later restart look like a ratio that did not grow.
    m_lastRatio = relative ? ratio : 1.0;
    if (!m_pWorkingPoints || !m_pWorkingFaces || !IsExtFlagSet(EXT_COSTS_READY)) return 0;
    SetExtFlag(EXT_OPTIMIZATION_RUN, true);
    if (ratio == 0.0) remaining = int(m_heap.GetCount());
    if (remaining > 0 && m_pOptimizer) m_pOptimizer->AddProgressRange(unsigned(remaining));
    int lastReported = remaining;
    int rejections = 0;  // since the cancel state was last polled
    if (remaining > 0) {
        // A record that misses contractions would play back to wrong meshes: an unrecorded run
        // ends it, and a recorded one without a record starts one here.
        if (!record) XRelease(m_pTrackInfo);
        if (record && !m_pTrackInfo) StartTracking();
    }

    CExtPointList& points = *m_pWorkingPoints;
    C3DFaceList& faces = *m_pWorkingFaces;
    CTrackContractions* tracker = record ? m_pTrackInfo : nullptr;

    // Symmetry: the axis and the plane coordinate (mid-point of the initial box on that axis).
    const int axis = (m_optimizeMode & OPT_SYMMETRY_Z) ? 2 : (m_optimizeMode & OPT_SYMMETRY_Y) ? 1
                     : (m_optimizeMode & OPT_SYMMETRY_X) ? 0 : -1;
    const float plane = axis < 0 ? 0.0f : (AxisCoordinate(m_bboxMin, axis) + AxisCoordinate(m_bboxMax, axis)) * 0.5f;
    bool mirrorPending = false;
    int mirrorRemoved = -1, mirrorKept = -1;

    NextCandidatePrefetch ahead(faces, m_heap);
    DyingFacePrefetch dying(faces);
    CXArray<CContractionCost*, CContractionCost*> reuse;
    reuse.PreAllocate(64);
    CContractionCost copy{};
    C3DTPoint<float> newPos;
    int kept = -1, gone = -1;

    while (m_heap.GetCount() > 1) {
        bool mirrorFound = false;
        bool isMirror = false;
        if (mirrorPending) {
            // The mirror of the previous contraction: same record copy, position reflected.
            const C3DTPoint<float>* pts = points.GetPoints();
            mirrorPending = false;
            if (mirrorRemoved != mirrorKept && !pts[mirrorRemoved].IsFlagSet(POINT_REMOVED) &&
                !pts[mirrorKept].IsFlagSet(POINT_REMOVED) &&
                faces.IsPointNeighbourg(unsigned(mirrorKept), unsigned(mirrorRemoved), CONNECTION_EDGE)) {
                isMirror = true;
                kept = mirrorKept;
                gone = mirrorRemoved;
                SetAxisCoordinate(newPos, axis, 2.0f * plane - AxisCoordinate(newPos, axis));
                // A frozen point never moves, not even to mirror a contraction whose own kept
                // point was free (the freezing features need not be symmetric): it stays put.
                const C3DTPoint<float>& k = pts[mirrorKept];
                if (!k.IsFlagSet(POINT_SELECTED)) {
                    newPos.x = k.x;
                    newPos.y = k.y;
                    newPos.z = k.z;
                }
            }
        }
        if (!isMirror) {
            if (ratio != 0.0 && remaining < 1) break;
            unsigned int n = m_heap.GetCount();
            CContractionCost* rec = nullptr;
            for (;;) {
                --n;
                m_heap.PopTop(rec);
                copy = *rec;
                GetContractionPosition(copy, points, newPos);
                if (copy.GetKind() == POSITION_SECOND) {
                    kept = copy.second;
                    gone = copy.first;
                } else {
                    kept = copy.first;
                    gone = copy.second;
                }
                if (n == 0) break;
                const CONTRACTION_PRIORITY p = VerifyPairQuality(points, faces, rec, kept, gone, newPos);
                if (p < PRIORITY_POOR) break;
                rec->SetPriority(p);
                // What InsertCost(rec, 0) does, less the pair index: a popped record keeps its
                // entry there, so the insertion would only look the pair up again.
                rec->SetGeneration(0);
                rec->slot = m_heap.Insert(rec);
                if (++rejections >= kRejectionsPerCancelPoll) {
                    rejections = 0;
                    if (CheckCancel()) {
                        cancelled = true;
                        InvalidateOptimization();
                        return 0;
                    }
                }
            }
            if (n == 0 && (m_optimizeMode & OPT_STOP_ON_BAD) && copy.GetPriority() > PRIORITY_NORMAL) {
                m_heap.Reset();
                m_pairIndex.RemoveAll();
                break;
            }
            if (m_constraintRatio != -1.0f && copy.cost > m_constraintRatio) {
                // The record stays out of the heap; it leaves the index too, so that no later
                // walk takes it for a heap entry.
                m_pairIndex.Remove(rec, true);
                break;
            }
            m_pairIndex.Remove(rec, true);
            rec->slot = nullptr;

            if (axis >= 0 && m_pWorkingSymetryMap) {
                int mr = -1, mk = -1;
                if (m_pWorkingSymetryMap->GetSymetricEdge(&faces, gone, kept, mr, mk) == SYMETRIC_EDGE_OTHER &&
                    mr != gone && points.GetPoints()[mr].IsFlagSet(POINT_SELECTED)) {
                    mirrorFound = true;
                    mirrorRemoved = mr;
                    mirrorKept = mk;
                }
            }
        }
        if (axis >= 0 && m_pWorkingSymetryMap) {
            const int partner = m_pWorkingSymetryMap->GetPartner(gone);
            if (partner >= 0) {
                m_pWorkingSymetryMap->Remove(gone, true);
                if (partner != gone) m_pWorkingSymetryMap->Remove(partner, true);
            }
        }

        dying.FlagsAndOffsets(gone, kept);
        ahead.Record();
        C3DTPoint<float>* pts = points.GetPoints();
        if (tracker) {
            CTrackEdgeContraction* entry = tracker->BeginContraction();
            entry->SetEdgeContraction(gone, kept);
            entry->SetPoint(pts[kept]);
        }
        pts[gone].SetFlag(POINT_REMOVED, true);
        pts[kept].x = newPos.x;
        pts[kept].y = newPos.y;
        pts[kept].z = newPos.z;

        const bool keptCoplanar = pts[kept].IsFlagSet(POINT_COPLANAR);
        const bool goneCoplanar = pts[gone].IsFlagSet(POINT_COPLANAR);
        if (points.HasQuadrics()) {
            if (!keptCoplanar && !goneCoplanar) {
                points.GetQuadric(kept) += points.GetQuadric(gone);
            } else if (keptCoplanar && !goneCoplanar) {
                points.GetQuadric(kept) = points.GetQuadric(gone);
                pts[kept].SetFlag(POINT_COPLANAR, false);
            }
        }

        unsigned int count = 0;
        RemoveCost(gone, reuse, count);
        dying.Records();
        ahead.GraphOffsets();
        RemoveCost(kept, reuse, count);
        ahead.GraphRecords();
        reuse.SetSize(int(count));
        const unsigned int deleted = ReplacePointInFaceList(unsigned(gone), unsigned(kept), &copy);
        ahead.FaceOffsets();

        if (ratio == 0.0)
            remaining = int(m_heap.GetCount());
        else if (byPoints)
            remaining -= 1;
        else
            remaining -= int(deleted);

        UpdateCost(kept, reuse, int(copy.GetGeneration()));
        ahead.FaceRecords();

        if (remaining <= 0 || lastReported - remaining > kProgressStep) {
            // The last contraction may remove more faces than were left to remove: the position
            // stops at the end of the range that was announced.
            const int reached = std::max(remaining, 0);
            if (m_pOptimizer && lastReported > reached)
                m_pOptimizer->AddProgressPos(unsigned(lastReported - reached));
            lastReported = reached;
            rejections = 0;
            if (CheckCancel()) {
                cancelled = true;
                InvalidateOptimization();
                return 0;
            }
        }
        ++m_removedPoints;
        mirrorPending = axis >= 0 && mirrorFound;
    }

    faces.SetFlag(FACELIST_CHANGED, true);
    points.SetFlag(POINTLIST_CHANGED, true);
    NoteWorkingStamps();
    SetExtFlag(EXT_OPTIMIZATION_DONE, true);
    return byPoints ? m_removedPoints : m_removedFaces;
}

}  // namespace kestovar
