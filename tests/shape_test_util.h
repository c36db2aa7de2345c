// Shapes built in code that several test suites use, as plain arrays that each suite copies into
// its own mesh type: the subdivided icosahedron on the unit sphere and the square grid.
#pragma once

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

namespace kestovar::test {

// Points as consecutive x, y, z values; triangles as consecutive corner indices.
struct Triangles {
    std::vector<double> xyz;
    std::vector<int> tris;
};

// The icosahedron subdivided `level` times, every point on the unit sphere. A subdivision splits
// the triangle (a, b, c) into (a, ab, ca), (ab, b, bc), (ca, bc, c) and (ab, bc, ca), in that
// order; each new midpoint is numbered when an edge first asks for it.
inline Triangles UnitIcosphere(int level) {
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
        std::vector<int> g;
        auto midpoint = [&](int a, int b) {
            auto key = std::make_pair(std::min(a, b), std::max(a, b));
            auto it = mid.find(key);
            if (it != mid.end()) return it->second;
            for (int k = 0; k < 3; ++k)
                v.push_back((v[3 * size_t(a) + size_t(k)] + v[3 * size_t(b) + size_t(k)]) * 0.5);
            normalise(v.size() - 3);
            int idx = int(v.size() / 3 - 1);
            mid.emplace(key, idx);
            return idx;
        };
        for (size_t i = 0; i < f.size(); i += 3) {
            int a = f[i], b = f[i + 1], c = f[i + 2];
            int ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
            g.insert(g.end(), {a, ab, ca, ab, b, bc, ca, bc, c, ab, bc, ca});
        }
        f.swap(g);
    }
    return Triangles{std::move(v), std::move(f)};
}

// A square grid over [0, size]^2 cut into n x n cells of two triangles, point (i, j) at
// (size * i / n, size * j / n, height(x, y)) (height 0 without a height function), numbered row
// by row:
//
//   (n+1)..   ...
//     0 -- 1 -- 2 ... n
//
// The cell with corners a (lower left), b = a + 1, c = a + n + 1 and d = c + 1 gives the
// triangles (a, b, d) and (a, d, c).
inline Triangles SquareGrid(int n, double size, double (*height)(double, double) = nullptr) {
    Triangles g;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            const double x = size * i / n, y = size * j / n;
            g.xyz.insert(g.xyz.end(), {x, y, height ? height(x, y) : 0.0});
        }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const int a = j * (n + 1) + i, b = a + 1, c = a + n + 1, d = c + 1;
            g.tris.insert(g.tris.end(), {a, b, d, a, d, c});
        }
    return g;
}

}  // namespace kestovar::test
