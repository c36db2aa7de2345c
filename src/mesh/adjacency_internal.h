// Helpers shared by the adjacency, clean-up, material and symmetry sources (face_graph.cpp,
// face_cleanup.cpp, face_material.cpp, symmetry_map.cpp, ...). Not part of the public interface.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {
namespace detail {

// The point list that goes with `faces` in `geom`: the source points when `faces` is the view's
// source face list, the destination points when it is the destination list, otherwise the
// destination points, or the source points when the view has no destination. Null without a
// view or without points.
inline C3DPointList* PointsFor(const CGeomInfo* geom, const CFaceList* faces) {
    if (!geom) return nullptr;
    C3DPointList* src = geom->GetSrc3DPointList();
    C3DPointList* dst = geom->GetDst3DPointList();
    if (faces && static_cast<const CFaceList*>(geom->GetSrc3DFaceList()) == faces && src) return src;
    if (faces && static_cast<const CFaceList*>(geom->GetDst3DFaceList()) == faces && dst) return dst;
    return dst ? dst : src;
}

// The channel set of `geom` that goes with `faces` (same choice as PointsFor).
inline CDependentChannels* ChannelsFor(const CGeomInfo* geom, const CFaceList* faces) {
    if (!geom) return nullptr;
    CDependentChannels* src = geom->GetSrcChannels();
    CDependentChannels* dst = geom->GetDstChannels();
    if (faces && static_cast<const CFaceList*>(geom->GetSrc3DFaceList()) == faces && src) return src;
    if (faces && static_cast<const CFaceList*>(geom->GetDst3DFaceList()) == faces && dst) return dst;
    return dst ? dst : src;
}

// Position of `value` among values[0 .. count), count when absent. A point's face record can hold
// hundreds of thousands of faces (the hub of a fan), and the simplification engine searches it
// for every face it removes there, so eight values are compared at once; the tail and the block
// holding the value are scanned one by one, which keeps the first occurrence.
inline unsigned FindValue(const int* values, unsigned count, int value) {
    unsigned i = 0;
#if defined(__SSE2__)
    const __m128i key = _mm_set1_epi32(value);
    for (; i + 8 <= count; i += 8) {
        const __m128i a = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i)), key);
        const __m128i b = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i + 4)), key);
        if (_mm_movemask_epi8(_mm_or_si128(a, b))) break;
    }
#endif
    for (; i < count; ++i)
        if (values[i] == value) return i;
    return count;
}

// Calls fn(a, b) for every cyclic edge (a, b) = (corner j, corner j + 1 mod k) of face f with
// a != b, in corner order, when f is a live face with a record; nothing otherwise. Degenerate
// edges (a, a) have no geometric meaning and are passed over.
template <class Fn>
inline void ForEachFaceEdge(const CFaceList& list, unsigned f, Fn&& fn) {
    if (!list.IsFaceLive(f)) return;
    int k = 0;
    const int* idx = list.GetIndexes(f, k);
    if (!idx) return;
    for (int j = 0; j < k; ++j) {
        const int a = idx[j], b = idx[j + 1 < k ? j + 1 : 0];
        if (a != b) fn(a, b);
    }
}

}  // namespace detail
}  // namespace kestovar
