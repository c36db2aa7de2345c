// The quadric error metric of the simplification engine (Garland and Heckbert 1997, "Surface
// simplification using quadric error metrics"): CSymMatrix, the symmetric 4x4 matrix summing the
// squared distances to a set of planes, and the candidate contraction record CInitialCost /
// CContractionCost with its packed flag byte.
//
// Precision. Geometry is stored as float; every quadric value and every cost computation is in
// double. Results are narrowed to float only where a record field is a float (the cost and the
// optimal position).
#pragma once

#include <cstdint>
#include <cstring>

#include "kestovar/core/export.h"
#include "kestovar/core/point.h"

namespace kestovar {

// The quadric of a set of planes: the upper triangle of Q = sum of p * p^T, p = (a, b, c, d), as
// ten doubles in the order
//
//   index: 0   1   2   3   4   5   6   7   8   9
//   term : a2  ab  ac  ad  b2  bc  bd  c2  cd  d2
//
// The 3x3 block (0, 1, 2, 4, 5, 7) is called A, the column (ad, bd, cd) b and d2 c0. For a point
// v = (x, y, z, 1), v^T Q v is the sum of the squared distances of v to the planes (in squared
// coordinate units when the plane normals are unit vectors).
class KESTOVAR_API CSymMatrix {
public:
    // Leaves the ten values undefined (quadric arrays are filled right after allocation).
    CSymMatrix() = default;
    // Clears the values when `clear` is true; otherwise leaves them undefined.
    explicit CSymMatrix(bool clear) {
        if (clear) Init();
    }
    CSymMatrix(const CSymMatrix&) = default;
    CSymMatrix& operator=(const CSymMatrix&) = default;
    ~CSymMatrix() = default;

    // Sets all ten values to 0.
    void Init() {
        for (double& v : m) v = 0.0;
    }

    CSymMatrix& operator+=(const CSymMatrix& o) {
        for (int i = 0; i < 10; ++i) m[i] += o.m[i];
        return *this;
    }
    CSymMatrix& operator-=(const CSymMatrix& o) {
        for (int i = 0; i < 10; ++i) m[i] -= o.m[i];
        return *this;
    }
    // Scales all ten values; a factor of exactly 1.0 leaves the matrix untouched (bit for bit).
    CSymMatrix& operator*=(double f) {
        if (f == 1.0) return *this;
        for (double& v : m) v *= f;
        return *this;
    }
    // True when all ten doubles compare equal.
    bool operator==(const CSymMatrix& o) const {
        for (int i = 0; i < 10; ++i)
            if (!(m[i] == o.m[i])) return false;
        return true;
    }
    bool operator!=(const CSymMatrix& o) const { return !(*this == o); }

    // Element (i, j) of the full symmetric 4x4 matrix, in either index order; 0.0 when an index
    // is outside 0..3.
    double operator()(int i, int j) const;

    // Overwrites the matrix with the outer product of the plane (a, b, c, d) = (x, y, z, w) with
    // itself.
    void ComputeErrorQuadric(const C4DTVector<double>& plane);

    // out = A * in (the 3x3 block only).
    void Mult(C3DTVector<double>& out, const C3DTVector<double>& in) const;
    // Homogeneous product kept for compatibility: w = ad*x + bd*y + cd*z + d2; when w > 1e-15 the
    // input is first divided by w (narrowed to float); then out = (rows 1-3 of Q) * (x, y, z, 1),
    // each component narrowed to float.
    void OldMult(C3DTVector<float>& out, const C3DTVector<float>& in) const;

    // The raw values in the table order above.
    double* GetValues() { return m; }
    const double* GetValues() const { return m; }
    double& operator[](int i) { return m[i]; }
    const double& operator[](int i) const { return m[i]; }

    double m[10];
};

// Priority of a candidate (bits 0-1 of the flag byte). A smaller priority always pops first,
// whatever the cost.
enum CONTRACTION_PRIORITY : unsigned int {
    PRIORITY_TOP = 0,       // only the heap sentinel
    PRIORITY_NORMAL = 1,    // every freshly evaluated record
    PRIORITY_POOR = 2,      // failed the compactness test
    PRIORITY_REJECTED = 3,  // failed the bounds or flip test
};

// Where the merged point goes (bits 2-4 of the flag byte).
enum CONTRACTION_POSITION : unsigned int {
    POSITION_OPTIMAL = 1,  // the stored x, y, z (minimum of the summed quadric)
    POSITION_ON_EDGE = 2,  // second + t * (first - second), t in (0, 1) (0.5 for a midpoint)
    POSITION_FIRST = 3,    // the first point's coordinates (t = 1)
    POSITION_SECOND = 4,   // the second point's coordinates (t = 0)
};

// Flag bytes written in one store when a record is evaluated: priority 1, generation 0 and the
// position kind.
enum : uint8_t {
    CONTRACTION_FLAGS_OPTIMAL = 5,
    CONTRACTION_FLAGS_ON_EDGE = 9,
    CONTRACTION_FLAGS_FIRST = 13,
    CONTRACTION_FLAGS_SECOND = 17,
};

// How reluctant a point is to move, 1 (free) to 8 (fixed). When the two points of a pair differ,
// the stiffer one stays where it is.
enum _MOVE_FACTOR : int {
    MOVE_FACTOR_FREE = 1,
    MOVE_FACTOR_SOFT = 2,
    MOVE_FACTOR_MATERIAL = 3,
    MOVE_FACTOR_SEAM = 4,
    MOVE_FACTOR_BORDER = 5,
    MOVE_FACTOR_SYMMETRY = 6,
    MOVE_FACTOR_CONSTRAINED = 7,
    MOVE_FACTOR_LOCKED = 8,
};

// One candidate contraction of the pair (first, second). Flag byte: bits 0-1 priority, bits 2-4
// position kind (1-4), bits 5-7 generation (0-7, wrapping). The 12 position bytes hold either
// three floats (POSITION_OPTIMAL) or one double t (the other kinds); the double is read and
// written through memcpy so that the record stays 4-byte aligned and 28 bytes long.
//
// The merged position is always derived from the record and the current point coordinates
// (C3DExtObject::GetContractionPosition), so kinds 2-4 follow the points when they move.
struct CInitialCost {
    int first;   // index of the first point (the smaller index when the record is created)
    int second;  // index of the second point
    float cost;  // quadric cost of the chosen position
    unsigned char position[12];
    uint8_t flags;

    unsigned int GetPriority() const { return flags & 0x3u; }
    unsigned int GetKind() const { return (flags >> 2) & 0x7u; }
    unsigned int GetGeneration() const { return unsigned(flags) >> 5; }
    void SetPriority(unsigned int priority) { flags = uint8_t((flags & ~0x3u) | (priority & 0x3u)); }
    // Keeps priority and kind, sets the generation modulo 8.
    void SetGeneration(unsigned int generation) { flags = uint8_t((flags & 0x1Fu) | ((generation & 0x7u) << 5)); }

    double GetT() const {
        double t;
        std::memcpy(&t, position, sizeof t);
        return t;
    }
    void SetT(double t) { std::memcpy(position, &t, sizeof t); }
    void GetXYZ(float& x, float& y, float& z) const {
        float v[3];
        std::memcpy(v, position, sizeof v);
        x = v[0];
        y = v[1];
        z = v[2];
    }
    void SetXYZ(float x, float y, float z) {
        const float v[3] = {x, y, z};
        std::memcpy(position, v, sizeof v);
    }
};

// The record as kept in the heap: the slot field is the address of the heap slot that holds the
// record, written every time the heap moves it; null or stale while the record is not in the heap.
struct CContractionCost : CInitialCost {
    CContractionCost** slot;
};

// Key policy of the pair index (a hash set of CContractionCost* keyed by (first, second)):
// (4 * first + 16 * second) in unsigned 32-bit arithmetic; equal when both indices are equal.
struct CContractionCostPairMethods {
    static unsigned Hash(const CContractionCost* r) { return 4u * unsigned(r->first) + 16u * unsigned(r->second); }
    static bool Equal(const CContractionCost* a, const CContractionCost* b) {
        return a->first == b->first && a->second == b->second;
    }
};

}  // namespace kestovar
