// Meshes built in code for the comparison and face-grid tests, and a brute-force closest-face
// reference to check the grid against.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "kestovar/mesh/face_grid.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "shape_test_util.h"
#include "test_util.h"

namespace kestovar::comparetest {

struct Mesh {
    std::vector<float> xyz;   // 3 per point
    std::vector<int> tris;    // 3 per triangle
    std::vector<int> quads;   // 4 per quadrangle

    int AddPoint(double x, double y, double z) {
        xyz.push_back(float(x));
        xyz.push_back(float(y));
        xyz.push_back(float(z));
        return int(xyz.size() / 3 - 1);
    }
    void Translate(double dx, double dy, double dz) {
        for (size_t i = 0; i < xyz.size(); i += 3) {
            xyz[i] = float(xyz[i] + dx);
            xyz[i + 1] = float(xyz[i + 1] + dy);
            xyz[i + 2] = float(xyz[i + 2] + dz);
        }
    }
};

using ObjectPtr = std::unique_ptr<C3DObject, test::Released>;

inline ObjectPtr MakeObject(const Mesh& m) {
    return ObjectPtr(CreateObjectFromArrays(m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(),
                                            unsigned(m.tris.size() * 4), m.quads.empty() ? nullptr : m.quads.data(),
                                            unsigned(m.quads.size() * 4)));
}

// The points of `shape` scaled by `scale`, and its triangles.
inline Mesh FromShape(const test::Triangles& shape, double scale = 1.0) {
    Mesh m;
    for (size_t i = 0; i < shape.xyz.size(); i += 3)
        m.AddPoint(scale * shape.xyz[i], scale * shape.xyz[i + 1], scale * shape.xyz[i + 2]);
    m.tris = shape.tris;
    return m;
}

// A square plate in the z = 0 plane, [0, size]^2, cut into n x n squares of two triangles
// (test::SquareGrid).
inline Mesh MakePlate(int n, double size) {
    return FromShape(test::SquareGrid(n, size));
}

// The unit icosahedron subdivided `level` times, every point on the sphere of radius `radius`.
inline Mesh MakeIcosphere(int level, double radius = 1.0) {
    return FromShape(test::UnitIcosphere(level), radius);
}

// Smallest squared distance from p to the triangles of `m` (the grid's reference).
inline double BruteForce2(const Mesh& m, const double p[3], int* face = nullptr) {
    double best = HUGE_VAL;
    for (size_t t = 0; t < m.tris.size(); t += 3) {
        double c[3][3];
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k) c[i][k] = m.xyz[3 * m.tris[t + i] + k];
        double d = meshClosestPointOnTriangle(p, c[0], c[1], c[2]);
        if (d < best) {
            best = d;
            if (face) *face = int(t / 3);
        }
    }
    return best;
}

// A deterministic pseudo-random sequence in [0, 1).
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed * 6364136223846793005ull + 1442695040888963407ull) {}
    double Next() {
        m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
        return double(m_state >> 11) * (1.0 / 9007199254740992.0);
    }
    double Range(double lo, double hi) { return lo + (hi - lo) * Next(); }

private:
    uint64_t m_state;
};

}  // namespace kestovar::comparetest
