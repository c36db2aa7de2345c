// Helpers shared by the channel sources: the geometry a channel algorithm reads.
#pragma once

#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/edge.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {
namespace detail {

// The faces and points an attribute algorithm reads: the view's source lists, else its
// destination lists (null without a view).
inline C3DFaceList* ReadFaces(const CGeomInfo* geom) {
    if (!geom) return nullptr;
    return geom->GetSrc3DFaceList() ? geom->GetSrc3DFaceList() : geom->GetDst3DFaceList();
}
inline C3DPointList* ReadPoints(const CGeomInfo* geom) {
    if (!geom) return nullptr;
    return geom->GetSrc3DPointList() ? geom->GetSrc3DPointList() : geom->GetDst3DPointList();
}

// Position of `point` among the `count` indices of `idx`, or -1.
inline int FindCorner(const int* idx, int count, unsigned int point) {
    for (int k = 0; k < count; ++k)
        if (unsigned(idx[k]) == point) return k;
    return -1;
}

// The attribute frontier rule of one edge between geometric faces f1 and f2, shared by the
// texture and colour channels. `differ(a, b)` tells whether two different channel points carry
// values far enough apart to make a frontier; it is only asked when `distanceTest` is set.
template <class Differ>
bool IsAttributeFrontier(const CGeomInfo* geom, const CFaceList* channelFaces, unsigned int channelPoints,
                         const C3DEdge& edge, int f1, int f2, bool distanceTest, Differ differ) {
    if (!channelFaces) return false;
    const bool live1 = channelFaces->IsFaceLive(unsigned(f1));
    const bool live2 = channelFaces->IsFaceLive(unsigned(f2));
    if (live1 != live2) return true;
    if (!live1) return false;
    const C3DFaceList* gf = ReadFaces(geom);
    if (!gf) return true;
    int k1, k2;
    const int* g1 = gf->GetIndexes(unsigned(f1), k1);
    const int* g2 = gf->GetIndexes(unsigned(f2), k2);
    const unsigned ends[2] = {edge.GetP1(), edge.GetP2()};
    int pos1[2], pos2[2];
    for (int e = 0; e < 2; ++e) {
        pos1[e] = FindCorner(g1, k1, ends[e]);
        pos2[e] = FindCorner(g2, k2, ends[e]);
        if (pos1[e] < 0 || pos2[e] < 0) return true;
    }
    if (!distanceTest) return false;
    int c1, c2;
    const int* i1 = channelFaces->GetIndexes(unsigned(f1), c1);
    const int* i2 = channelFaces->GetIndexes(unsigned(f2), c2);
    for (int e = 0; e < 2; ++e) {
        // A channel face shorter than its geometric face, or a corner beyond the channel's
        // points, has no value there: treat it as a frontier.
        if (pos1[e] >= c1 || pos2[e] >= c2) return true;
        const unsigned a = unsigned(i1[pos1[e]]), b = unsigned(i2[pos2[e]]);
        if (a >= channelPoints || b >= channelPoints) return true;
        if (a != b && differ(a, b)) return true;
    }
    return false;
}

// Marks attribute breaks from the corner graph, shared by texture seams and colour frontiers.
// For every geometric point the distinct values around it are counted (a value is distinct when
// `same(a, b)` holds for no earlier distinct value), stopping at 3, plus one when some face around
// the point has no live corner in the channel. From 2 the geometric point gets `pointFlag` and
// every channel point around it `channelFlag`; from 3 the geometric point also gets
// `junctionFlag` (0 for none). The graph is deleted afterwards. False without geometry or lists.
template <class Same>
bool MarkAttributeBreaks(CChannel& channel, const CGeomInfo* geom, unsigned int pointFlag, unsigned int channelFlag,
                         unsigned int junctionFlag, Same same) {
    C3DPointList* gp = ReadPoints(geom);
    CPointList* cp = channel.GetPointList();
    if (!gp || !cp || !channel.InitGraph(geom)) return false;
    const unsigned np = unsigned(gp->GetSize());
    for (unsigned p = 0; p < np; ++p) {
        int count;
        const CChannelCorner* corners = channel.GetChannelPointsConnectedToPoint(p, count);
        unsigned distinct[3];
        unsigned nd = 0;
        bool missing = false;
        for (int c = 0; c < count && nd < 3; ++c) {
            const unsigned v = corners[c].point;
            if (v == kNoChannelPoint) {
                missing = true;
                continue;
            }
            bool known = false;
            for (unsigned d = 0; d < nd && !known; ++d) known = distinct[d] == v || same(distinct[d], v);
            if (!known) distinct[nd++] = v;
        }
        // The scan above may stop at 3 values before seeing a missing corner; the count is
        // capped at 3 anyway, so that only matters below 3.
        if (!missing && nd < 3)
            for (int c = 0; c < count && !missing; ++c) missing = corners[c].point == kNoChannelPoint;
        const unsigned total = nd + (missing ? 1u : 0u);
        if (total < 2) continue;
        CPt* point = gp->GetPt(int(p));
        point->SetFlags(pointFlag, true);
        if (total >= 3 && junctionFlag) point->SetFlags(junctionFlag, true);
        for (int c = 0; c < count; ++c)
            if (corners[c].point != kNoChannelPoint) cp->GetPt(int(corners[c].point))->SetFlags(channelFlag, true);
    }
    channel.DeleteGraph();
    return true;
}

}  // namespace detail
}  // namespace kestovar
