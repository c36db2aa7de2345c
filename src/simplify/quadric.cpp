// CSymMatrix: the quadric of a set of planes (Garland and Heckbert 1997).
#include "kestovar/simplify/quadric.h"

namespace kestovar {

namespace {
// Index into the ten stored values of element (i, j), i <= j, both in 0..3.
constexpr int kUpperIndex[4][4] = {
    {0, 1, 2, 3},
    {1, 4, 5, 6},
    {2, 5, 7, 8},
    {3, 6, 8, 9},
};
}  // namespace

double CSymMatrix::operator()(int i, int j) const {
    if (i < 0 || i > 3 || j < 0 || j > 3) return 0.0;
    return m[kUpperIndex[i][j]];
}

void CSymMatrix::ComputeErrorQuadric(const C4DTVector<double>& plane) {
    const double a = plane.x, b = plane.y, c = plane.z, d = plane.w;
    m[0] = a * a;
    m[1] = a * b;
    m[2] = a * c;
    m[3] = a * d;
    m[4] = b * b;
    m[5] = b * c;
    m[6] = b * d;
    m[7] = c * c;
    m[8] = c * d;
    m[9] = d * d;
}

void CSymMatrix::Mult(C3DTVector<double>& out, const C3DTVector<double>& in) const {
    const double x = in.x, y = in.y, z = in.z;
    out.x = m[0] * x + m[1] * y + m[2] * z;
    out.y = m[1] * x + m[4] * y + m[5] * z;
    out.z = m[2] * x + m[5] * y + m[7] * z;
}

void CSymMatrix::OldMult(C3DTVector<float>& out, const C3DTVector<float>& in) const {
    double x = in.x, y = in.y, z = in.z;
    const double w = m[3] * x + m[6] * y + m[8] * z + m[9];
    if (w > 1e-15) {
        x = double(float(x / w));
        y = double(float(y / w));
        z = double(float(z / w));
    }
    out.x = float(m[0] * x + m[1] * y + m[2] * z + m[3]);
    out.y = float(m[1] * x + m[4] * y + m[5] * z + m[6]);
    out.z = float(m[2] * x + m[5] * y + m[7] * z + m[8]);
}

}  // namespace kestovar
