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

// Edges hash to 5 * smaller + 3 * larger (unsigned 32-bit arithmetic). The hash follows the
// point indices: the edges of a point land in a stretch of slots that moves on with the index,
// so a mesh whose faces come in the order of their points (as scanned, generated and exported
// meshes mostly do) fills and reads an edge table almost front to back instead of at random;
// the edge-to-face graph builds in face order then (see its build). The edges of one point (a
// fan around a hub) hash 3 apart, so that many of them never crowd one home slot. A closed
// mesh has about 3 edges per point and an edge table of about 7 slots per point: with 8 hash
// steps per point, the homes stay about as sparse as the table.
template <>
struct CHashMethods<C3DEdge> {
    static unsigned Hash(const C3DEdge& e) { return 5u * e.GetP1() + 3u * e.GetP2(); }
    static bool Equal(const C3DEdge& a, const C3DEdge& b) { return a == b; }
};

}  // namespace kestovar
