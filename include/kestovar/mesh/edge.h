// C3DEdge: an undirected edge between two point indices, stored as (smaller, larger) so that the
// two directions of an edge compare and hash alike. The key of the edge-to-face graph.
#pragma once

#include <cstdint>

#include "kestovar/core/hashmap.h"

namespace kestovar {

class C3DEdge {
public:
    C3DEdge() : m_p1(0), m_p2(0) {}
    // The edge between points a and b, in either order.
    C3DEdge(unsigned int a, unsigned int b) { Set(a, b); }

    void Set(unsigned int a, unsigned int b) {
        bool swap = b < a;
        m_p1 = swap ? b : a;
        m_p2 = swap ? a : b;
    }
    // The smaller and the larger index.
    unsigned int GetP1() const { return m_p1; }
    unsigned int GetP2() const { return m_p2; }
    bool Contains(unsigned int p) const { return m_p1 == p || m_p2 == p; }
    // The end that is not `p` (`p` must be an end).
    unsigned int GetOther(unsigned int p) const { return m_p1 == p ? m_p2 : m_p1; }
    bool IsDegenerate() const { return m_p1 == m_p2; }
    // Both indices in one 64-bit key: smaller index in the high half.
    uint64_t GetKey() const { return (uint64_t(m_p1) << 32) | m_p2; }

    bool operator==(const C3DEdge& o) const { return m_p1 == o.m_p1 && m_p2 == o.m_p2; }
    bool operator!=(const C3DEdge& o) const { return !(*this == o); }
    // Lexicographic order (smaller index first), for sorting edge lists.
    bool operator<(const C3DEdge& o) const { return GetKey() < o.GetKey(); }

private:
    unsigned int m_p1;
    unsigned int m_p2;
};

// Edges hash to about 4.618 * smaller + 3.142 * larger: (smaller * 302647 + larger * 205887) / 65536
// in 64-bit arithmetic, truncated to 32 bits. The hash follows the point indices: the edges of
// a point land in a stretch of slots that moves on with the index, so a mesh whose faces come in
// the order of their points (as scanned, generated and exported meshes mostly do) fills and reads
// an edge table almost front to back instead of at random; the edge-to-face graph builds in face
// order then (see its build). A closed mesh has about 3 edges per point and an edge table of
// about 7 slots per point: with about 7.8 hash steps per point the homes stay about as sparse as
// the table. The steps are not whole numbers on purpose: with whole steps a regular mesh fills
// the slots in a pattern that repeats every few slots, and the table's quadratic probing, whose
// offsets 1, 4, 9, 16, ... reach only some residues of such a period, then never leaves it (a
// 500 x 500 grid took 60 times longer); the edges of one point (a fan around a hub) lie about 3
// slots apart.
template <>
struct CHashMethods<C3DEdge> {
    static unsigned Hash(const C3DEdge& e) {
        return unsigned((uint64_t(e.GetP1()) * 302647u + uint64_t(e.GetP2()) * 205887u) >> 16);
    }
    static bool Equal(const C3DEdge& a, const C3DEdge& b) { return a == b; }
};

}  // namespace kestovar
