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

    C4x4TMatrix<float> rot;
    for (int c = 0; c < 3; ++c) {
        if (s[c] != 0.0) {
            for (int r = 0; r < 3; ++r) rot.m[r][c] = float(col[c][r] / s[c]);
        }  // a zero column keeps the identity axis
    }
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
