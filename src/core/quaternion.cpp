#include "kestovar/core/quaternion.h"

#include <algorithm>
#include <cmath>

#include "kestovar/core/matrix.h"

namespace kestovar {

namespace {
CQuaternion AxisAngle(double ax, double ay, double az, double radians) {
    double len = std::sqrt(ax * ax + ay * ay + az * az);
    if (!(len > 0.0)) return CQuaternion();
    double s = std::sin(radians * 0.5) / len;
    return CQuaternion(float(ax * s), float(ay * s), float(az * s), float(std::cos(radians * 0.5)));
}
}  // namespace

CQuaternion::CQuaternion(double rx, double ry, double rz) {
    // Rz * Ry * Rx: X is applied first, so it is the rightmost factor.
    *this = AxisAngle(0, 0, 1, rz) * AxisAngle(0, 1, 0, ry) * AxisAngle(1, 0, 0, rx);
}

CQuaternion::CQuaternion(const C3DTVector<float>& axis, double radians) { SetAxisAngle(axis, radians); }

CQuaternion::CQuaternion(const C4x4TMatrix<float>& matrix) {
    // Shepperd's method: divide by the largest of the four candidates for numerical stability.
    const auto& r = matrix.m;
    double trace = double(r[0][0]) + r[1][1] + r[2][2];
    double qx, qy, qz, qw;
    if (trace > 0.0) {
        double s = std::sqrt(trace + 1.0) * 2.0;
        qw = 0.25 * s;
        qx = (double(r[2][1]) - r[1][2]) / s;
        qy = (double(r[0][2]) - r[2][0]) / s;
        qz = (double(r[1][0]) - r[0][1]) / s;
    } else if (r[0][0] > r[1][1] && r[0][0] > r[2][2]) {
        double s = std::sqrt(std::max(0.0, 1.0 + r[0][0] - r[1][1] - r[2][2])) * 2.0;
        if (s == 0.0) s = 1.0;
        qw = (double(r[2][1]) - r[1][2]) / s;
        qx = 0.25 * s;
        qy = (double(r[0][1]) + r[1][0]) / s;
        qz = (double(r[0][2]) + r[2][0]) / s;
    } else if (r[1][1] > r[2][2]) {
        double s = std::sqrt(std::max(0.0, 1.0 + r[1][1] - r[0][0] - r[2][2])) * 2.0;
        if (s == 0.0) s = 1.0;
        qw = (double(r[0][2]) - r[2][0]) / s;
        qx = (double(r[0][1]) + r[1][0]) / s;
        qy = 0.25 * s;
        qz = (double(r[1][2]) + r[2][1]) / s;
    } else {
        double s = std::sqrt(std::max(0.0, 1.0 + r[2][2] - r[0][0] - r[1][1])) * 2.0;
        if (s == 0.0) s = 1.0;
        qw = (double(r[1][0]) - r[0][1]) / s;
        qx = (double(r[0][2]) + r[2][0]) / s;
        qy = (double(r[1][2]) + r[2][1]) / s;
        qz = 0.25 * s;
    }
    x = float(qx);
    y = float(qy);
    z = float(qz);
    w = float(qw);
}

double CQuaternion::Magnitude() const { return std::sqrt(MagnitudeSquared()); }

double CQuaternion::Normalize() {
    double len = Magnitude();
    if (len > 0.0 && std::isfinite(len)) {
        x = float(x / len);
        y = float(y / len);
        z = float(z / len);
        w = float(w / len);
    } else {
        *this = CQuaternion();
    }
    return len;
}

bool CQuaternion::IsValid() const {
    return std::isfinite(x) && std::isfinite(y) && std::isfinite(z) && std::isfinite(w) && MagnitudeSquared() > 0.0;
}

void CQuaternion::SetAxisAngle(const C3DTVector<float>& axis, double radians) {
    *this = AxisAngle(axis.x, axis.y, axis.z, radians);
}

void CQuaternion::GetAxisAngle(C3DTVector<float>& axis, double& radians) const {
    // The half angle from the vector part's length and w together: acos(w) alone loses small
    // angles, where w is within a few float steps of 1 and acos is steepest (a turn of 0.001
    // radians came back as 0.000977).
    const double vx = x, vy = y, vz = z, cw = w;
    const double s = std::sqrt(vx * vx + vy * vy + vz * vz);
    const double length = std::sqrt(s * s + cw * cw);
    if (!(s > 1e-9 * length)) {
        axis.Init(1.0f, 0.0f, 0.0f);
        radians = 0.0;
        return;
    }
    radians = 2.0 * std::atan2(s, cw);
    axis.Init(float(vx / s), float(vy / s), float(vz / s));
}

void CQuaternion::Rotate(const CQuaternion& q) { *this = q * *this; }

void CQuaternion::Rotate(const C3DTVector<float>& axis, double radians) { Rotate(CQuaternion(axis, radians)); }

C3DTVector<float> CQuaternion::RotateVector(const C3DTVector<float>& v) const {
    // v' = v + 2 w (u x v) + 2 u x (u x v), with u the vector part.
    double ux = x, uy = y, uz = z, uw = w;
    double tx = 2.0 * (uy * v.z - uz * v.y);
    double ty = 2.0 * (uz * v.x - ux * v.z);
    double tz = 2.0 * (ux * v.y - uy * v.x);
    C3DTVector<float> r(v);
    r.x = float(v.x + uw * tx + (uy * tz - uz * ty));
    r.y = float(v.y + uw * ty + (uz * tx - ux * tz));
    r.z = float(v.z + uw * tz + (ux * ty - uy * tx));
    return r;
}

void CQuaternion::GetHPBAngles(double& heading, double& pitch, double& bank) const {
    // For R = Ry(h) Rx(p) Rz(b): R12 = -sin p, R02 = sin h cos p, R22 = cos h cos p,
    // R10 = sin b cos p, R11 = cos b cos p. The elements come from the unit quaternion in double
    // precision, and the pitch from atan2 of sin p and cos p = |(R10, R11)|, which stays accurate
    // near the poles where asin of R12 alone loses half the digits.
    double qx = x, qy = y, qz = z, qw = w;
    const double len = std::sqrt(qx * qx + qy * qy + qz * qz + qw * qw);
    if (len > 0.0 && std::isfinite(len)) {
        qx /= len;
        qy /= len;
        qz /= len;
        qw /= len;
    } else {
        qx = qy = qz = 0.0;
        qw = 1.0;
    }
    const double r00 = 1.0 - 2.0 * (qy * qy + qz * qz), r02 = 2.0 * (qx * qz + qy * qw);
    const double r10 = 2.0 * (qx * qy + qz * qw), r11 = 1.0 - 2.0 * (qx * qx + qz * qz);
    const double r12 = 2.0 * (qy * qz - qx * qw), r20 = 2.0 * (qx * qz - qy * qw);
    const double r22 = 1.0 - 2.0 * (qx * qx + qy * qy);
    const double cp = std::hypot(r10, r11);
    pitch = std::atan2(-r12, cp);
    if (cp < 1e-9) {
        // Gimbal lock: heading and bank turn about the same axis; give it all to the heading.
        bank = 0.0;
        heading = std::atan2(-r20, r00);
    } else {
        heading = std::atan2(r02, r22);
        bank = std::atan2(r10, r11);
    }
}

CQuaternion CQuaternion::FromHPBAngles(double heading, double pitch, double bank) {
    return AxisAngle(0, 1, 0, heading) * AxisAngle(1, 0, 0, pitch) * AxisAngle(0, 0, 1, bank);
}

CQuaternion CQuaternion::Slerp(const CQuaternion& a, const CQuaternion& b, double t) {
    double cosom = a.Dot(b);
    double bs = 1.0;
    if (cosom < 0.0) {  // q and -q are the same rotation: take the shorter arc
        cosom = -cosom;
        bs = -1.0;
    }
    double ka, kb;
    if (cosom > 0.9995) {
        ka = 1.0 - t;
        kb = t;
    } else {
        double omega = std::acos(cosom);
        double sinom = std::sin(omega);
        ka = std::sin((1.0 - t) * omega) / sinom;
        kb = std::sin(t * omega) / sinom;
    }
    kb *= bs;
    CQuaternion r(float(ka * a.x + kb * b.x), float(ka * a.y + kb * b.y), float(ka * a.z + kb * b.z),
                  float(ka * a.w + kb * b.w));
    if (cosom > 0.9995) r.Normalize();
    return r;
}

void CQuaternion::GetMatrix(C4x4TMatrix<float>& out) const {
    double qx = x, qy = y, qz = z, qw = w;
    out.SetIdentity();
    out.m[0][0] = float(1.0 - 2.0 * (qy * qy + qz * qz));
    out.m[0][1] = float(2.0 * (qx * qy - qz * qw));
    out.m[0][2] = float(2.0 * (qx * qz + qy * qw));
    out.m[1][0] = float(2.0 * (qx * qy + qz * qw));
    out.m[1][1] = float(1.0 - 2.0 * (qx * qx + qz * qz));
    out.m[1][2] = float(2.0 * (qy * qz - qx * qw));
    out.m[2][0] = float(2.0 * (qx * qz - qy * qw));
    out.m[2][1] = float(2.0 * (qy * qz + qx * qw));
    out.m[2][2] = float(1.0 - 2.0 * (qx * qx + qy * qy));
}

}  // namespace kestovar
