// GeomCompare: the distance between two triangulated objects as a sampled, symmetric Hausdorff
// distance, normalised by the diagonal of the pair's bounding box.
//
// Every sample taken on one surface (its points, points along its edges, points over its faces)
// is measured to the closest point of the other surface, in both directions; the largest distance
// found, divided by D, is the answer. D is the diagonal of the union of the two objects' boxes,
// each box taken over the points used by faces without FACE_INVALID (non-finite coordinates
// left out). One direction is one CSurfaceSampler (kestovar/compare/surface_sampler.h).
//
// Results on unusual input:
// - an object without a face list, or with a face of more than three points (not FACE_INVALID):
//   +infinity;
// - a direction that takes no sample (an object without usable faces or points, or flags that
//   ask for no pass) contributes 0; a sample that finds no face on the other side (its faces
//   are all unusable) measures +infinity, so an empty object against a non-empty one gives
//   +infinity and two empty objects give 0;
// - samples with a non-finite coordinate are skipped; faces with an index outside the point
//   list or a non-finite corner are neither sampled nor measured against; degenerate faces
//   (zero area) get no face samples but their edges and points are sampled, and they are
//   measured against as segments or points;
// - D = 0 (every usable point of both objects at one place): 0 when every distance is 0,
//   +infinity otherwise;
// - cancellation (the host's progress callback, or ShouldCancelThread of the calling thread)
//   stops both directions and gives +infinity.
#pragma once

#include "kestovar/core/export.h"

namespace kestovar {

class C3DGeomObject;
class CSamplerControl;
class CSurfaceSampler;

// The comparison method argument of GeomCompare: accepted and ignored (there is one method).
enum MeshCompareMethod : int {
    MESH_COMPARE_DEFAULT = 0,
    MESH_COMPARE_HAUSDORFF = 1,
};

// Flags of GeomCompare and CSurfaceSampler.
enum _GEOMCOMPARE_FLAGS : unsigned int {
    GEOMCOMPARE_VERTEX = 0x1,       // sample the source's points
    GEOMCOMPARE_EDGE = 0x2,         // sample along the source's edges
    GEOMCOMPARE_FACE = 0x4,         // sample over the source's faces
    // Sample only points used by a face without FACE_INVALID; they are first marked with
    // POINT_COMPARE_SAMPLED (set on them, cleared on every other point of the source).
    GEOMCOMPARE_USED_POINTS = 0x8,
    GEOMCOMPARE_FACE_SCHEME2 = 0x10,  // face samples from a low-discrepancy sequence (wins over 0x20)
    GEOMCOMPARE_FACE_SCHEME3 = 0x20,  // face samples at the centroids of a regular subdivision
    // Sample budget: 4, 6 or 10 times the larger face count of the two objects. Any value of the
    // three bits other than 0x10000 and 0x40000 means 6.
    GEOMCOMPARE_BUDGET_4 = 0x10000,
    GEOMCOMPARE_BUDGET_6 = 0x20000,
    GEOMCOMPARE_BUDGET_10 = 0x40000,
    GEOMCOMPARE_BUDGET_MASK = 0x70000,
    // The usual request: both directions' points, edges and faces with the 6x budget.
    GEOMCOMPARE_DEFAULT = 0x20007,
};

// The point flag written by GEOMCOMPARE_USED_POINTS. It is the same bit as the engine's
// POINT_SELECTED: a comparison with that flag overwrites the selection of the source's points.
constexpr unsigned int POINT_COMPARE_SAMPLED = 0x1000000;

// The distance between a and b divided by D (see the header comment), or +infinity. `limit` is
// relative to D: a direction stops at its first sample farther than limit * D (limit = +infinity:
// never), and the result, then known to exceed the limit, is the largest distance found so far.
// The two directions run as two parallel OpenMP sections (one after the other when a and b are
// the same object, the worker count is 1 or the two have fewer than 4096 faces together); the
// result does not depend on the thread count. Resets the process-wide closest-face counters
// (C3DFaceGridMap) first. When a log is open each direction writes its report block. Reports
// progress through the host's callback when called on the main thread. Null objects raise
// CXInvalidArgException.
//
// Builds (or reuses) the face grid map of each object's face list, which is why the objects,
// though const, must not be modified by another thread meanwhile. Comparisons on several threads
// may share an object (the first to need its map builds it), but not two objects that share one
// face list over different point lists (each rebuilds the list's map for its own points), nor a
// source compared with GEOMCOMPARE_USED_POINTS (its point flags are written); the closest-face
// counters then mix the comparisons. The map keeps its per-face cache as the face list's FGCH
// chunk, so a compared object's face list carries that chunk afterwards (copies and checksums
// include it).
KESTOVAR_API double GeomCompare(const C3DGeomObject* a, const C3DGeomObject* b, MeshCompareMethod method,
                                double limit, unsigned int flags);

// The two directions of a comparison as GeomCompare runs them (side by side on two threads under
// the same conditions), for a caller that wants more of each direction than the result: `ab` and
// `ba` are the samplers of the two directions (`ab` from a to b, `ba` from b to a), both added to
// `control`, which reports their progress. Resets the process-wide closest-face counters first,
// as GeomCompare does. Returns whether both completed (false after a cancel or a failed
// allocation); each sampler then holds its own figures, whatever the thread count.
KESTOVAR_API bool GeomCompareBothWays(CSurfaceSampler& ab, CSurfaceSampler& ba, CSamplerControl& control);

// D for the pair: the diagonal of the union of the two boxes described above (0 when neither
// object has a usable point). A null object counts as empty.
KESTOVAR_API double GeomCompareDiagonal(const C3DGeomObject* a, const C3DGeomObject* b);

}  // namespace kestovar
