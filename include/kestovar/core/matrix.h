// 4x4 transformation matrix and its decomposition.
//
// Sixteen values stored row by row (m[row][column]). Points are column vectors, so a point
// (x, y, z) transforms to
//     x' = m00 x + m01 y + m02 z + m03
//     y' = m10 x + m11 y + m12 z + m13
//     z' = m20 x + m21 y + m22 z + m23
// and the translation sits in the fourth column. A product A * B applies B first, then A.
// Angles are in radians.
#pragma once

#include <cmath>

#include "kestovar/core/export.h"
#include "kestovar/core/point.h"
#include "kestovar/core/quaternion.h"

namespace kestovar {

template <class T>
class C4x4TMatrix {
public:
    T m[4][4];

    // The identity.
    C4x4TMatrix() { SetIdentity(); }
    C4x4TMatrix(T m00, T m01, T m02, T m03, T m10, T m11, T m12, T m13, T m20, T m21, T m22, T m23, T m30,
                T m31, T m32, T m33) {
        const T v[16] = {m00, m01, m02, m03, m10, m11, m12, m13, m20, m21, m22, m23, m30, m31, m32, m33};
        SetValues(v);
    }
    // From sixteen values, row by row.
    explicit C4x4TMatrix(const T* rowMajor) { SetValues(rowMajor); }

    void SetValues(const T* rowMajor) {
        for (int i = 0; i < 16; ++i) m[i / 4][i % 4] = rowMajor[i];
    }
    T* ValPtr() { return &m[0][0]; }
    const T* ValPtr() const { return &m[0][0]; }
    T& operator()(int row, int column) { return m[row][column]; }
    const T& operator()(int row, int column) const { return m[row][column]; }

    void SetIdentity() {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) m[r][c] = T(r == c ? 1 : 0);
    }
    void SetZero() {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) m[r][c] = T(0);
    }
    // Identity within the tolerance used before transforming lists: every diagonal element in
    // [0.995, 1.005] and every other element in [-0.005, 0.005] (bounds included).
    bool IsIdentity() const {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) {
                double v = double(m[r][c]);
                // Written so that NaN, inside no range, is not the identity.
                if (r == c ? !(v >= 0.995 && v <= 1.005) : !(v >= -0.005 && v <= 0.005)) return false;
            }
        return true;
    }

    C4x4TMatrix operator*(const C4x4TMatrix& b) const {
        C4x4TMatrix r;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                double s = 0.0;
                for (int k = 0; k < 4; ++k) s += double(m[i][k]) * double(b.m[k][j]);
                r.m[i][j] = T(s);
            }
        return r;
    }
    C4x4TMatrix& operator*=(const C4x4TMatrix& b) { return *this = *this * b; }
    // Exact element-wise comparison.
    bool operator==(const C4x4TMatrix& b) const {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                if (m[r][c] != b.m[r][c]) return false;
        return true;
    }
    bool operator!=(const C4x4TMatrix& b) const { return !(*this == b); }

    void Transpose() {
        for (int r = 0; r < 4; ++r)
            for (int c = r + 1; c < 4; ++c) {
                T t = m[r][c];
                m[r][c] = m[c][r];
                m[c][r] = t;
            }
    }
    C4x4TMatrix GetTransposed() const {
        C4x4TMatrix r(*this);
        r.Transpose();
        return r;
    }

    // Determinant of the whole matrix (its sign tells a mirror for affine matrices).
    double Determinant() const {
        double c[16];
        Cofactors(c);
        return double(m[0][0]) * c[0] + double(m[0][1]) * c[1] + double(m[0][2]) * c[2] + double(m[0][3]) * c[3];
    }
    // Determinant of the upper-left 3x3 block (the linear part).
    double Determinant3x3() const {
        return double(m[0][0]) * (double(m[1][1]) * m[2][2] - double(m[1][2]) * m[2][1]) -
               double(m[0][1]) * (double(m[1][0]) * m[2][2] - double(m[1][2]) * m[2][0]) +
               double(m[0][2]) * (double(m[1][0]) * m[2][1] - double(m[1][1]) * m[2][0]);
    }
    // Inverts in place. Returns false (and leaves the matrix unchanged) when it is singular: its
    // determinant is below 1e-6 of the product of its row lengths (the largest it could have for
    // those rows), which a rank-deficient matrix built in single precision does not reach, or an
    // element of the inverse is not finite in T. For an affine matrix (last row 0 0 0 1) the rows
    // of the linear block are measured, without the translation: the determinant is that block's,
    // and a placement far from the origin must not make a regular matrix look singular.
    bool Inverse() {
        double c[16];
        Cofactors(c);
        double det = double(m[0][0]) * c[0] + double(m[0][1]) * c[1] + double(m[0][2]) * c[2] + double(m[0][3]) * c[3];
        const bool affine = m[3][0] == T(0) && m[3][1] == T(0) && m[3][2] == T(0) && m[3][3] == T(1);
        const int size = affine ? 3 : 4;
        double rowLengths = 1.0;
        for (int r = 0; r < size; ++r) {
            double squared = 0.0;
            for (int col = 0; col < size; ++col) squared += double(m[r][col]) * m[r][col];
            rowLengths *= std::sqrt(squared);
        }
        if (!(std::fabs(det) > 1e-6 * rowLengths) || !std::isfinite(det)) return false;
        double inv = 1.0 / det;
        // The inverse is the transposed cofactor matrix over the determinant.
        T result[4][4];
        for (int r = 0; r < 4; ++r)
            for (int col = 0; col < 4; ++col) {
                result[r][col] = T(c[col * 4 + r] * inv);
                if (!std::isfinite(double(result[r][col]))) return false;
            }
        for (int r = 0; r < 4; ++r)
            for (int col = 0; col < 4; ++col) m[r][col] = result[r][col];
        return true;
    }
    // The inverse, or the identity when the matrix is singular.
    C4x4TMatrix GetInverse() const {
        C4x4TMatrix r(*this);
        if (!r.Inverse()) r.SetIdentity();
        return r;
    }

    // Point transform (the translation applies). The flags of `p` are kept.
    C3DTPoint<T> TransformPoint(const C3DTPoint<T>& p) const {
        C3DTPoint<T> r(p);
        r.x = T(double(m[0][0]) * p.x + double(m[0][1]) * p.y + double(m[0][2]) * p.z + double(m[0][3]));
        r.y = T(double(m[1][0]) * p.x + double(m[1][1]) * p.y + double(m[1][2]) * p.z + double(m[1][3]));
        r.z = T(double(m[2][0]) * p.x + double(m[2][1]) * p.y + double(m[2][2]) * p.z + double(m[2][3]));
        return r;
    }
    // Vector transform: the linear part only, the translation is ignored. Normals of a
    // non-uniformly scaled object need the inverse transpose instead.
    C3DTVector<T> TransformVector(const C3DTVector<T>& v) const {
        C3DTVector<T> r(v);
        r.x = T(double(m[0][0]) * v.x + double(m[0][1]) * v.y + double(m[0][2]) * v.z);
        r.y = T(double(m[1][0]) * v.x + double(m[1][1]) * v.y + double(m[1][2]) * v.z);
        r.z = T(double(m[2][0]) * v.x + double(m[2][1]) * v.y + double(m[2][2]) * v.z);
        return r;
    }
    C3DTPoint<T> operator*(const C3DTPoint<T>& p) const { return TransformPoint(p); }
    C3DTVector<T> operator*(const C3DTVector<T>& v) const { return TransformVector(v); }

    C3DTVector<T> GetTranslation() const { return C3DTVector<T>(m[0][3], m[1][3], m[2][3]); }
    void SetTranslation(T tx, T ty, T tz) {
        m[0][3] = tx;
        m[1][3] = ty;
        m[2][3] = tz;
    }

    // Builders.
    static C4x4TMatrix Translation(T tx, T ty, T tz) {
        C4x4TMatrix r;
        r.SetTranslation(tx, ty, tz);
        return r;
    }
    static C4x4TMatrix Scale(T sx, T sy, T sz) {
        C4x4TMatrix r;
        r.m[0][0] = sx;
        r.m[1][1] = sy;
        r.m[2][2] = sz;
        return r;
    }
    // Counter-clockwise rotation about the X axis when looking down the axis towards the origin.
    static C4x4TMatrix RotationX(double radians) {
        C4x4TMatrix r;
        T c = T(std::cos(radians)), s = T(std::sin(radians));
        r.m[1][1] = c;
        r.m[1][2] = -s;
        r.m[2][1] = s;
        r.m[2][2] = c;
        return r;
    }
    static C4x4TMatrix RotationY(double radians) {
        C4x4TMatrix r;
        T c = T(std::cos(radians)), s = T(std::sin(radians));
        r.m[0][0] = c;
        r.m[0][2] = s;
        r.m[2][0] = -s;
        r.m[2][2] = c;
        return r;
    }
    static C4x4TMatrix RotationZ(double radians) {
        C4x4TMatrix r;
        T c = T(std::cos(radians)), s = T(std::sin(radians));
        r.m[0][0] = c;
        r.m[0][1] = -s;
        r.m[1][0] = s;
        r.m[1][1] = c;
        return r;
    }
    // Rotation by `radians` about `axis` (need not be unit length; a zero axis gives the identity).
    static C4x4TMatrix Rotation(const C3DTVector<T>& axis, double radians) {
        C4x4TMatrix r;
        double len = axis.Length();
        if (len <= 0.0) return r;
        double x = axis.x / len, y = axis.y / len, z = axis.z / len;
        double c = std::cos(radians), s = std::sin(radians), t = 1.0 - c;
        r.m[0][0] = T(t * x * x + c);
        r.m[0][1] = T(t * x * y - s * z);
        r.m[0][2] = T(t * x * z + s * y);
        r.m[1][0] = T(t * x * y + s * z);
        r.m[1][1] = T(t * y * y + c);
        r.m[1][2] = T(t * y * z - s * x);
        r.m[2][0] = T(t * x * z - s * y);
        r.m[2][1] = T(t * y * z + s * x);
        r.m[2][2] = T(t * z * z + c);
        return r;
    }

private:
    // Cofactors c[r*4+col] of every element, expanded through 2x2 sub-determinants.
    void Cofactors(double* c) const {
        double a[16];
        for (int i = 0; i < 16; ++i) a[i] = double(m[i / 4][i % 4]);
        double s0 = a[0] * a[5] - a[4] * a[1], s1 = a[0] * a[6] - a[4] * a[2];
        double s2 = a[0] * a[7] - a[4] * a[3], s3 = a[1] * a[6] - a[5] * a[2];
        double s4 = a[1] * a[7] - a[5] * a[3], s5 = a[2] * a[7] - a[6] * a[3];
        double c5 = a[10] * a[15] - a[14] * a[11], c4 = a[9] * a[15] - a[13] * a[11];
        double c3 = a[9] * a[14] - a[13] * a[10], c2 = a[8] * a[15] - a[12] * a[11];
        double c1 = a[8] * a[14] - a[12] * a[10], c0 = a[8] * a[13] - a[12] * a[9];
        c[0] = a[5] * c5 - a[6] * c4 + a[7] * c3;
        c[1] = -(a[4] * c5 - a[6] * c2 + a[7] * c1);
        c[2] = a[4] * c4 - a[5] * c2 + a[7] * c0;
        c[3] = -(a[4] * c3 - a[5] * c1 + a[6] * c0);
        c[4] = -(a[1] * c5 - a[2] * c4 + a[3] * c3);
        c[5] = a[0] * c5 - a[2] * c2 + a[3] * c1;
        c[6] = -(a[0] * c4 - a[1] * c2 + a[3] * c0);
        c[7] = a[0] * c3 - a[1] * c1 + a[2] * c0;
        c[8] = a[13] * s5 - a[14] * s4 + a[15] * s3;
        c[9] = -(a[12] * s5 - a[14] * s2 + a[15] * s1);
        c[10] = a[12] * s4 - a[13] * s2 + a[15] * s0;
        c[11] = -(a[12] * s3 - a[13] * s1 + a[14] * s0);
        c[12] = -(a[9] * s5 - a[10] * s4 + a[11] * s3);
        c[13] = a[8] * s5 - a[10] * s2 + a[11] * s1;
        c[14] = -(a[8] * s4 - a[9] * s2 + a[11] * s0);
        c[15] = a[8] * s3 - a[9] * s1 + a[10] * s0;
    }
};

// A matrix split into its components: M = Translation(translation) * Rotation(rotation) *
// Scale(scale). A mirror (negative determinant of the linear part) shows as a negative x scale.
// Shear cannot be represented: a matrix whose linear part has non-orthogonal columns is
// approximated.
struct KESTOVAR_API _MatrixDecomposition {
    C3DTVector<float> translation;
    CQuaternion rotation;  // unit quaternion
    C3DTVector<float> scale;
};

KESTOVAR_API void Decompose(const C4x4TMatrix<float>& matrix, _MatrixDecomposition& out);
KESTOVAR_API C4x4TMatrix<float> Recompose(const _MatrixDecomposition& parts);

// The swap matrix S of a swap code (see point.h): S * p equals p.Swap(code) for every point p.
KESTOVAR_API C4x4TMatrix<float> GetSwapMatrix(unsigned int code);
// `matrix` expressed in the swapped axis convention: S * matrix * S^-1. A matrix that mapped
// points to points before the swap maps the swapped points to the swapped results.
KESTOVAR_API C4x4TMatrix<float> SwapMatrix(unsigned int code, const C4x4TMatrix<float>& matrix);
// Correction of an object transform after the object's own points were swapped: matrix * S^-1.
// Applied to the swapped points it gives the same world positions as `matrix` gave to the
// original points.
KESTOVAR_API C4x4TMatrix<float> AdjustMatrix(unsigned int code, const C4x4TMatrix<float>& matrix);

}  // namespace kestovar
