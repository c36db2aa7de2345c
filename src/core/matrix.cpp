#include "kestovar/core/matrix.h"

#include <cmath>

namespace kestovar {

void Decompose(const C4x4TMatrix<float>& matrix, _MatrixDecomposition& out) {
    const auto& m = matrix.m;
    out.translation = C3DTVector<float>(m[0][3], m[1][3], m[2][3]);

    // The linear part is R * diag(s): each column is a rotation axis scaled by its factor. The
    // bottom row (projective terms) is ignored.
    double col[3][3];
    double s[3];
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 3; ++r) col[c][r] = m[r][c];
        s[c] = std::sqrt(col[c][0] * col[c][0] + col[c][1] * col[c][1] + col[c][2] * col[c][2]);
    }
    // A mirror cannot be a rotation: it is carried by the sign of the x scale.
    if (matrix.Determinant3x3() < 0.0) s[0] = -s[0];

    // The rotation's axes: the unit columns. A zero column (a scale of 0) has no direction of its
    // own; it is completed from the others so that the axes stay a right-handed orthonormal
    // frame (the identity axis would make the rotation a shear, and its quaternion wrong).
    double axis[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    int zero[3], zeros = 0;
    for (int c = 0; c < 3; ++c) {
        if (s[c] != 0.0) {
            for (int r = 0; r < 3; ++r) axis[c][r] = col[c][r] / s[c];
        } else {
            zero[zeros++] = c;
        }
    }
    const auto cross = [](const double* a, const double* b, double* out) {
        out[0] = a[1] * b[2] - a[2] * b[1];
        out[1] = a[2] * b[0] - a[0] * b[2];
        out[2] = a[0] * b[1] - a[1] * b[0];
        const double length = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
        if (length > 0.0)
            for (int k = 0; k < 3; ++k) out[k] /= length;
    };
    if (zeros == 2) {
        // One known axis a: the next axis is the unit vector least aligned with a, made
        // perpendicular to it; the third follows from the first two.
        const int known = 3 - zero[0] - zero[1];
        const double* a = axis[known];
        int least = 0;
        for (int k = 1; k < 3; ++k)
            if (std::fabs(a[k]) < std::fabs(a[least])) least = k;
        double e[3] = {0, 0, 0};
        e[least] = 1.0;
        double* next = axis[(known + 1) % 3];
        double t[3];
        cross(e, a, t);     // perpendicular to a
        cross(a, t, next);  // a, next, a x next stay right-handed
        cross(axis[known], next, axis[(known + 2) % 3]);
    } else if (zeros == 1) {
        const int c = zero[0];
        cross(axis[(c + 1) % 3], axis[(c + 2) % 3], axis[c]);
    }

    C4x4TMatrix<float> rot;
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) rot.m[r][c] = float(axis[c][r]);
    out.rotation = CQuaternion(rot);
    out.rotation.Normalize();
    out.scale = C3DTVector<float>(s[0], s[1], s[2]);
}

C4x4TMatrix<float> Recompose(const _MatrixDecomposition& parts) {
    CQuaternion q(parts.rotation);
    q.Normalize();
    C4x4TMatrix<float> r;
    q.GetMatrix(r);
    const float s[3] = {parts.scale.x, parts.scale.y, parts.scale.z};
    for (int c = 0; c < 3; ++c)
        for (int row = 0; row < 3; ++row) r.m[row][c] = float(double(r.m[row][c]) * s[c]);
    r.SetTranslation(parts.translation.x, parts.translation.y, parts.translation.z);
    return r;
}

C4x4TMatrix<float> GetSwapMatrix(unsigned int code) {
    // Swap is linear, so column j of S is the swapped unit vector e_j.
    C4x4TMatrix<float> s;
    for (int j = 0; j < 3; ++j) {
        float e[3] = {0.0f, 0.0f, 0.0f};
        e[j] = 1.0f;
        detail::SwapCoordinates(code, e[0], e[1], e[2]);
        for (int r = 0; r < 3; ++r) s.m[r][j] = e[r];
    }
    return s;
}

// S is a signed permutation, hence orthogonal: S^-1 is its transpose.
C4x4TMatrix<float> SwapMatrix(unsigned int code, const C4x4TMatrix<float>& matrix) {
    C4x4TMatrix<float> s = GetSwapMatrix(code);
    return s * matrix * s.GetTransposed();
}

C4x4TMatrix<float> AdjustMatrix(unsigned int code, const C4x4TMatrix<float>& matrix) {
    return matrix * GetSwapMatrix(code).GetTransposed();
}

}  // namespace kestovar
