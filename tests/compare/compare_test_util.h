// Meshes built in code for the comparison and face-grid tests, and a brute-force closest-face
// reference to check the grid against.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "kestovar/mesh/face_grid.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

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

// Releases an object at scope end.
struct ObjectDeleter {
    void operator()(C3DGeomObject* o) const {
        if (o) o->Delete();
    }
};
using ObjectPtr = std::unique_ptr<C3DObject, ObjectDeleter>;

inline ObjectPtr MakeObject(const Mesh& m) {
    return ObjectPtr(CreateObjectFromArrays(m.xyz.data(), unsigned(m.xyz.size() * 4), m.tris.data(),
                                            unsigned(m.tris.size() * 4), m.quads.empty() ? nullptr : m.quads.data(),
                                            unsigned(m.quads.size() * 4)));
}

// A square plate in the z = 0 plane, [0, size]^2, cut into n x n squares of two triangles:
//
//   (n+1)..   ...
//     0 -- 1 -- 2 ... n
inline Mesh MakePlate(int n, double size) {
    Mesh m;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) m.AddPoint(size * i / n, size * j / n, 0.0);
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            int a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
            m.tris.insert(m.tris.end(), {a, b, d, a, d, c});
        }
    }
    return m;
}

// The unit icosahedron subdivided `level` times, every point on the sphere of radius `radius`.
inline Mesh MakeIcosphere(int level, double radius = 1.0) {
    const double t = (1.0 + std::sqrt(5.0)) / 2.0;
    std::vector<double> v = {-1, t, 0, 1, t, 0, -1, -t, 0, 1, -t, 0, 0, -1, t, 0, 1, t,
                             0, -1, -t, 0, 1, -t, t, 0, -1, t, 0, 1, -t, 0, -1, -t, 0, 1};
    std::vector<int> f = {0, 11, 5, 0, 5, 1,  0, 1, 7,  0, 7,  10, 0, 10, 11, 1, 5, 9, 5, 11,
                          4, 11, 10, 2, 10, 7, 6, 7, 1, 8, 3, 9, 4, 3, 4, 2, 3, 2, 6, 3,
                          6, 8, 3, 8, 9, 4, 9, 5, 2, 4, 11, 6, 2, 10, 8, 6, 7, 9, 8, 1};
    auto normalise = [&](size_t i) {
        double l = std::sqrt(v[i] * v[i] + v[i + 1] * v[i + 1] + v[i + 2] * v[i + 2]);
        for (int k = 0; k < 3; ++k) v[i + k] /= l;
    };
    for (size_t i = 0; i < v.size(); i += 3) normalise(i);
    for (int l = 0; l < level; ++l) {
        std::map<std::pair<int, int>, int> mid;
        auto midpoint = [&](int a, int b) {
            auto key = std::make_pair(std::min(a, b), std::max(a, b));
            auto it = mid.find(key);
            if (it != mid.end()) return it->second;
            for (int k = 0; k < 3; ++k) v.push_back((v[3 * a + k] + v[3 * b + k]) / 2.0);
            normalise(v.size() - 3);
            int id = int(v.size() / 3 - 1);
            mid[key] = id;
            return id;
        };
        std::vector<int> g;
        for (size_t i = 0; i < f.size(); i += 3) {
            int a = f[i], b = f[i + 1], c = f[i + 2];
            int ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
            g.insert(g.end(), {a, ab, ca, b, bc, ab, c, ca, bc, ab, bc, ca});
        }
        f.swap(g);
    }
    Mesh m;
    for (size_t i = 0; i < v.size(); i += 3) m.AddPoint(radius * v[i], radius * v[i + 1], radius * v[i + 2]);
    m.tris = f;
    return m;
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
