// Rotation quaternion.
//
// Stored as four floats in the order x, y, z, w: (x, y, z) is the vector part and w the scalar
// part, so the identity rotation is (0, 0, 0, 1). A unit quaternion q rotates a vector v as
// q v q*. Products compose like matrices: (a * b) applies b first, then a. Angles are in radians.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/point.h"

namespace kestovar {

template <class T>
class C4x4TMatrix;

class KESTOVAR_API CQuaternion {
public:
    float x, y, z, w;

    // The identity rotation.
    CQuaternion() : x(0), y(0), z(0), w(1) {}
    CQuaternion(float qx, float qy, float qz, float qw) : x(qx), y(qy), z(qz), w(qw) {}
    // From four floats x, y, z, w.
    explicit CQuaternion(const float* xyzw) : x(xyzw[0]), y(xyzw[1]), z(xyzw[2]), w(xyzw[3]) {}
    // From Euler angles in radians: a rotation about X by `rx`, then about Y by `ry`, then about
    // Z by `rz` (fixed axes), i.e. the matrix Rz * Ry * Rx.
    CQuaternion(double rx, double ry, double rz);
    // Rotation by `radians` about `axis` (normalised here; a zero axis gives the identity).
    CQuaternion(const C3DTVector<float>& axis, double radians);
    // The pure quaternion (v, 0).
    explicit CQuaternion(const C3DTVector<float>& v) : x(v.x), y(v.y), z(v.z), w(0) {}
    // The rotation of the upper-left 3x3 block of `matrix`, whose columns are taken as
    // orthonormal (remove any scale first, see Decompose in matrix.h).
    explicit CQuaternion(const C4x4TMatrix<float>& matrix);

    // Hamilton product: the rotation `b` followed by this one.
    CQuaternion operator*(const CQuaternion& b) const {
        return CQuaternion(w * b.x + x * b.w + y * b.z - z * b.y, w * b.y - x * b.z + y * b.w + z * b.x,
                           w * b.z + x * b.y - y * b.x + z * b.w, w * b.w - x * b.x - y * b.y - z * b.z);
    }
    CQuaternion operator+(const CQuaternion& b) const { return CQuaternion(x + b.x, y + b.y, z + b.z, w + b.w); }
    CQuaternion operator*(double f) const { return CQuaternion(float(x * f), float(y * f), float(z * f), float(w * f)); }
    CQuaternion operator/(double f) const { return CQuaternion(float(x / f), float(y / f), float(z / f), float(w / f)); }
    CQuaternion& operator*=(const CQuaternion& b) { return *this = *this * b; }
    bool operator==(const CQuaternion& b) const { return x == b.x && y == b.y && z == b.z && w == b.w; }
    bool operator!=(const CQuaternion& b) const { return !(*this == b); }

    double MagnitudeSquared() const { return double(x) * x + double(y) * y + double(z) * z + double(w) * w; }
    double Magnitude() const;
    // Scales to unit length and returns the former magnitude; a zero quaternion becomes the
    // identity.
    double Normalize();
    // True when every component is finite and the quaternion is not zero.
    bool IsValid() const;
    // The conjugate (x, y, z negated): the inverse rotation of a unit quaternion.
    CQuaternion Conjugate() const { return CQuaternion(-x, -y, -z, w); }
    double Dot(const CQuaternion& b) const {
        return double(x) * b.x + double(y) * b.y + double(z) * b.z + double(w) * b.w;
    }

    void SetAxisAngle(const C3DTVector<float>& axis, double radians);
    // The unit axis and the angle in [0, 2 pi] of this (normalised) rotation. The identity gives
    // the axis (1, 0, 0) and the angle 0.
    void GetAxisAngle(C3DTVector<float>& axis, double& radians) const;

    // Applies the rotation `q` after this one: *this = q * *this.
    void Rotate(const CQuaternion& q);
    void Rotate(const C3DTVector<float>& axis, double radians);
    // The vector `v` rotated by this (unit) quaternion.
    C3DTVector<float> RotateVector(const C3DTVector<float>& v) const;

    // Heading, pitch and bank in radians, for a Y-up frame: the rotation equals
    // Ry(heading) * Rx(pitch) * Rz(bank) (bank first, heading last). Pitch is in [-pi/2, pi/2];
    // at the poles the bank is reported as 0 and the whole turn goes to the heading.
    void GetHPBAngles(double& heading, double& pitch, double& bank) const;
    // The rotation of the given heading, pitch and bank (the inverse of GetHPBAngles).
    static CQuaternion FromHPBAngles(double heading, double pitch, double bank);

    // Spherical interpolation from `a` (t = 0) to `b` (t = 1) along the shorter arc; nearly
    // parallel inputs are interpolated linearly and renormalised.
    static CQuaternion Slerp(const CQuaternion& a, const CQuaternion& b, double t);

    // The rotation matrix of this (unit) quaternion; no translation.
    void GetMatrix(C4x4TMatrix<float>& out) const;
};

}  // namespace kestovar
