// The crowded cells of the face grid map: copies of one triangle dropped from a cell, and a tree
// over the faces of a cell still very crowded after that, so that a query near the centre of a fan
// of thousands of spokes measures the few spokes around it instead of every one.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "kestovar/core/hashmap.h"
#include "mesh/face_grid_internal.h"

namespace kestovar {
namespace detail {

// Drops from a cell's face list (increasing indices) every triangle whose cache entry repeats the
// corners of a lower one exactly; returns the count kept, in increasing order. `order` is scratch.
// The triangles are sorted by a hash of their corners (HashMix64 folded over the nine
// coordinates' bits), then by position, so that each run of copies starts with its lowest index;
// a copy is dropped only when its corners equal the bytes of the run's head (two different
// triangles of one hash simply both stay).
unsigned KeepDistinctTriangles(unsigned* faces, unsigned n, const _GridFaceCache* cache,
                               CXArray<CellTriangleKey>& order) {
    order.SetSize(int(n));
    CellTriangleKey* keys = order.GetData();
    unsigned m = 0;
    for (unsigned i = 0; i < n; ++i) {
        const _GridFaceCache& e = cache[faces[i]];
        if (e.kind != GRIDFACE_TRIANGLE) continue;
        uint32_t words[9];
        std::memcpy(words, e.corner, sizeof words);
        unsigned h = 0;
        for (uint32_t w : words) h = HashMix64(uint64_t(h) << 32 | w);
        keys[m++] = {h, i};
    }
    std::sort(keys, keys + m, [](const CellTriangleKey& a, const CellTriangleKey& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.position < b.position;
    });
    for (unsigned k = 1, head = 0; k < m; ++k) {
        const float* corners = cache[faces[keys[k].position]].corner[0];
        if (keys[k].hash == keys[head].hash &&
            std::memcmp(corners, cache[faces[keys[head].position]].corner[0], sizeof(float) * 9) == 0)
            faces[keys[k].position] = ~0u;
        else
            head = k;
    }
    unsigned kept = 0;
    for (unsigned i = 0; i < n; ++i)
        if (faces[i] != ~0u) faces[kept++] = faces[i];
    return kept;
}

}  // namespace detail

namespace {

// The centre of a cache entry along axis k: a triangle's centroid, a polygon's box centre.
inline double EntryCentre(const _GridFaceCache& e, int k) {
    return e.kind == GRIDFACE_TRIANGLE
               ? (double(e.corner[0][k]) + e.corner[1][k] + e.corner[2][k]) * (1.0 / 3.0)
               : (double(e.corner[0][k]) + e.corner[1][k]) * 0.5;
}

}  // namespace

void C3DFaceGridMap::BuildCrowdTrees(const CXArray<uint32_t>& cells) {
    m_crowdNodes.RemoveAll();
    m_crowdCells.RemoveAll();
    if (cells.IsEmpty()) return;
    const _GridFaceCache* cache = m_pCache;
    const unsigned* starts = m_starts.GetData();
    uint64_t total = 0;
    for (int i = 0; i < cells.GetSize(); ++i) total += starts[cells[i] + 1] - starts[cells[i]];
    m_crowdNodes.PreAllocate(
        int(std::min<uint64_t>(4 * total / kCrowdLeaf + 2 * uint64_t(cells.GetSize()), 1u << 30)));
    m_crowdCells.SetSize(cells.GetSize());
    // Each cell's own list is reordered by the splits, so that every node's faces are contiguous
    // in it: a crowded cell is only ever measured through its tree.
    unsigned* order = m_entries.GetData();

    struct Range {
        unsigned node, begin, end;
    };
    Range stack[kMaxCrowdDepth + 2];
    for (int i = 0; i < cells.GetSize(); ++i) {
        const uint32_t occupied = cells[i];
        const unsigned root = unsigned(m_crowdNodes.GetSize());
        m_crowdNodes.Add(CrowdNode{});
        m_crowdCells[i] = uint64_t(occupied) << 32 | root;
        int top = 0;
        stack[top++] = {root, starts[occupied], starts[occupied + 1]};
        while (top > 0) {
            const Range r = stack[--top];
            CrowdNode node{};
            // Bounds: the box of every corner, and the mean normal of the triangles (area
            // weighted), which any unit vector would do for a sound slab; polygons have only
            // their boxes in the cache, so a node holding one has no slab. The box of the faces'
            // centres too, for the split.
            bool slab = true;
            double sum[3] = {0.0, 0.0, 0.0};
            double clo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, chi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
            for (int k = 0; k < 3; ++k) {
                node.lo[k] = HUGE_VALF;
                node.hi[k] = -HUGE_VALF;
            }
            for (unsigned j = r.begin; j < r.end; ++j) {
                const _GridFaceCache& e = cache[order[j]];
                for (int k = 0; k < 3; ++k) {
                    const double c = EntryCentre(e, k);
                    clo[k] = std::min(clo[k], c);
                    chi[k] = std::max(chi[k], c);
                }
                const int corners = e.kind == GRIDFACE_TRIANGLE ? 3 : 2;
                for (int c = 0; c < corners; ++c)
                    for (int k = 0; k < 3; ++k) {
                        node.lo[k] = std::min(node.lo[k], e.corner[c][k]);
                        node.hi[k] = std::max(node.hi[k], e.corner[c][k]);
                    }
                if (e.kind != GRIDFACE_TRIANGLE) {
                    slab = false;
                    continue;
                }
                double u[3], v[3];
                for (int k = 0; k < 3; ++k) {
                    u[k] = double(e.corner[1][k]) - e.corner[0][k];
                    v[k] = double(e.corner[2][k]) - e.corner[0][k];
                }
                sum[0] += u[1] * v[2] - u[2] * v[1];
                sum[1] += u[2] * v[0] - u[0] * v[2];
                sum[2] += u[0] * v[1] - u[1] * v[0];
            }
            const double length = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
            if (slab && length > 0.0 && std::isfinite(length)) {
                for (int k = 0; k < 3; ++k) node.normal[k] = sum[k] / length;
                node.slabLo = HUGE_VAL;
                node.slabHi = -HUGE_VAL;
                for (unsigned j = r.begin; j < r.end; ++j) {
                    const _GridFaceCache& e = cache[order[j]];
                    for (int c = 0; c < 3; ++c) {
                        const double h = node.normal[0] * e.corner[c][0] + node.normal[1] * e.corner[c][1] +
                                         node.normal[2] * e.corner[c][2];
                        node.slabLo = std::min(node.slabLo, h);
                        node.slabHi = std::max(node.slabHi, h);
                    }
                }
            } else {
                node.slabLo = -HUGE_VAL;
                node.slabHi = HUGE_VAL;
            }
            const unsigned count = r.end - r.begin;
            if (count <= kCrowdLeaf) {
                node.first = r.begin;
                node.count = count;
                m_crowdNodes[int(r.node)] = node;
                continue;
            }
            // Halve at the median centre along the axis of the centres' widest spread (ties by
            // face index, so that the halves do not depend on the sort's own order).
            int axis = 0;
            for (int k = 1; k < 3; ++k)
                if (chi[k] - clo[k] > chi[axis] - clo[axis]) axis = k;
            const unsigned mid = r.begin + count / 2;
            std::nth_element(order + r.begin, order + mid, order + r.end, [&](unsigned a, unsigned b) {
                const double ca = EntryCentre(cache[a], axis), cb = EntryCentre(cache[b], axis);
                return ca != cb ? ca < cb : a < b;
            });
            node.first = unsigned(m_crowdNodes.GetSize());
            node.count = kInnerNode;
            m_crowdNodes[int(r.node)] = node;
            m_crowdNodes.Add(CrowdNode{});
            m_crowdNodes.Add(CrowdNode{});
            stack[top++] = {node.first, r.begin, mid};
            stack[top++] = {node.first + 1, mid, r.end};
        }
    }
    m_crowdNodes.FreeExtra();
}

int C3DFaceGridMap::CrowdRoot(uint32_t occupied) const {
    const uint64_t* cells = m_crowdCells.GetData();
    const uint64_t* end = cells + m_crowdCells.GetSize();
    const uint64_t* it = std::lower_bound(cells, end, uint64_t(occupied) << 32);
    if (it == end || (*it >> 32) != occupied) return -1;
    return int(*it & 0xFFFFFFFFu);
}

}  // namespace kestovar
