// Points, matrices, quaternions and colours.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "kestovar/core/color.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/point.h"
#include "kestovar/core/quaternion.h"

using namespace kestovar;

namespace {

constexpr double kPi = 3.14159265358979323846;

void ExpectNear(const C3DTPoint<float>& p, double x, double y, double z, double tol = 1e-5) {
    EXPECT_NEAR(p.x, x, tol);
    EXPECT_NEAR(p.y, y, tol);
    EXPECT_NEAR(p.z, z, tol);
}

void ExpectMatrixNear(const C4x4TMatrix<float>& a, const C4x4TMatrix<float>& b, double tol) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(a.m[r][c], b.m[r][c], tol) << "element " << r << "," << c;
}

// Same rotation: q and -q are equal rotations.
void ExpectSameRotation(const CQuaternion& a, const CQuaternion& b, double tol = 1e-5) {
    EXPECT_NEAR(std::fabs(a.Dot(b)), 1.0, tol) << a.x << " " << a.y << " " << a.z << " " << a.w << " vs " << b.x
                                               << " " << b.y << " " << b.z << " " << b.w;
}

}  // namespace

// ---- points --------------------------------------------------------------------------------------

TEST(PointSwap, ExchangeThenNegateSelectedAsWholeValues) {
    // Low bits name the exchange (1: x and y, 2: x and z, 4: y and z, 3 and 7: none), high bits
    // the coordinate negated after it (0x10: x, 0x20: y, 0x40: z, 0x30: none).
    const struct {
        unsigned code;
        C3DTPoint<float> to;
    } cases[] = {{0x12, {-3, 2, 1}}, {0x3, {1, 2, 3}}, {0x30, {1, 2, 3}}, {0x7, {1, 2, 3}},
                 {0x24, {1, -3, 2}}, {0x41, {2, 1, -3}}, {0x42, {3, 2, -1}}};
    for (const auto& c : cases) {
        C3DTPoint<float> p(1.0f, 2.0f, 3.0f);
        p.Swap(c.code);
        EXPECT_EQ(p, c.to) << std::hex << c.code;
    }
    C3DTVector<double> v(1.0, 2.0, 3.0);
    v.Swap(0x42);
    EXPECT_EQ(v, C3DTVector<double>(3.0, 2.0, -1.0));
    C3DTPoint<int> ip(1, 2, 3);
    ip.Swap(0x11);
    EXPECT_EQ(ip, C3DTPoint<int>(-2, 1, 3));
}

TEST(PointEquality, ExactWithoutToleranceAndIgnoringFlags) {
    C3DTPoint<float> a(0.1f, 0.5f, 0.25f);
    C3DTPoint<float> b(a);
    b.x = 0.1f + 1e-7f;
    ASSERT_NE(b.x, a.x);
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a != b);

    C3DTPoint<double> c(1.0, 2.0, 3.0), d(1.0, 2.0, 3.0 + 1e-7);
    EXPECT_NE(c, d);

    C3DTPoint<float> e(1.0f, 2.0f, 3.0f), f(1.0f, 2.0f, 3.0f);
    f.SetFlags(POINT_BORDER);
    EXPECT_EQ(e, f);
    EXPECT_EQ(C3DTPoint<float>(0.0f, 0.0f, 0.0f), C3DTPoint<float>(-0.0f, 0.0f, 0.0f));
}

TEST(PointLayout, VirtualTableThenFlagsThenCoordinates) {
    C3DTPoint<float> p(1.0f, 2.0f, 3.0f);
    p.SetFlags(0xA1B2C3D4u);
    const char* base = reinterpret_cast<const char*>(&p);
    EXPECT_EQ(sizeof(C3DTPoint<float>), 24u);
    EXPECT_EQ(reinterpret_cast<const char*>(&p.x) - base, 12);
    EXPECT_EQ(reinterpret_cast<const char*>(&p.z) - base, 20);
    uint32_t flags;
    std::memcpy(&flags, base + 8, 4);
    EXPECT_EQ(flags, 0xA1B2C3D4u);
    EXPECT_EQ(p.SizeOf(), 24);
    EXPECT_EQ(C2DTPoint<float>().SizeOf(), 24);  // 20 bytes padded to the pointer alignment
    EXPECT_EQ(C3DTPoint<double>().SizeOf(), 40);
}

TEST(PointArithmetic, PointsVectorsAndScalars) {
    C3DTPoint<float> a(1, 2, 3), b(4, 6, 8);
    a.SetFlags(POINT_BORDER);
    C3DTVector<float> d = b - a;
    EXPECT_EQ(d, C3DTVector<float>(3, 4, 5));
    C3DTPoint<float> c = a + d;
    EXPECT_EQ(c, b);
    EXPECT_EQ(c.GetFlags(), unsigned(POINT_BORDER));  // sums keep the left operand's flags
    EXPECT_DOUBLE_EQ(a.Distance(b), std::sqrt(50.0));

    // Dot product with a plane (a, b, c, d): w taken as 1 for the point.
    C4DTVector<float> plane(0.0f, 0.0f, 1.0f, -3.0f);
    EXPECT_DOUBLE_EQ(a * plane, 0.0);
    EXPECT_DOUBLE_EQ(b * plane, 5.0);

    C3DTPoint<int> ip(7, 8, 9);
    EXPECT_EQ(ip / 2.0, C3DTPoint<int>(3, 4, 4));
}

TEST(VectorGeometry, DotCrossLengthNormalize) {
    C3DTVector<float> x(1, 0, 0), y(0, 1, 0);
    EXPECT_EQ(x.Cross(y), C3DTVector<float>(0, 0, 1));  // right-handed
    EXPECT_EQ(CrossProduct(y, x), C3DTVector<float>(0, 0, -1));
    C3DTVector<float> v(3, 0, 4);
    EXPECT_DOUBLE_EQ(v.Normalize(), 5.0);
    EXPECT_NEAR(v.x, 0.6, 1e-7);
    EXPECT_NEAR(v.z, 0.8, 1e-7);
    C3DTVector<float> zero;
    EXPECT_EQ(zero.Normalize(), 0.0);
    EXPECT_EQ(zero, C3DTVector<float>(0, 0, 0));
    // Double vectors whose squares leave the double range still come out of unit length.
    for (double scale : {1e300, 1e-160, 1e-300}) {
        C3DTVector<double> d(3 * scale, 0, -4 * scale);
        EXPECT_NEAR(d.Normalize() / scale, 5.0, 1e-12);
        EXPECT_NEAR(d.x, 0.6, 1e-15);
        EXPECT_NEAR(d.z, -0.8, 1e-15);
    }
    // A component that is not a number leaves the vector as it is.
    C3DTVector<float> partly(std::nanf(""), 1, 0);
    EXPECT_TRUE(std::isnan(partly.Normalize()));
    EXPECT_EQ(partly.y, 1.0f);
}

// GCC inlines both branches of the virtual assignment (same record type or not) and then warns that
// the branch the type test rules out would read coordinates the source type does not have.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
TEST(PointConversion, AssignmentThroughTheBaseConvertsAcrossTypes) {
    C2DTPoint<float> uv(0.25f, 0.75f);
    uv.SetFlags(POINT_UV_SEAM);
    C3DTPoint<float> p(9, 9, 9);
    CPt& base = p;
    base = uv;  // virtual operator= from CPt
    EXPECT_EQ(p, C3DTPoint<float>(0.25f, 0.75f, 0.0f));
    EXPECT_EQ(p.GetFlags(), unsigned(POINT_UV_SEAM));

    C3DTPoint<float> same(1, 2, 3);
    same.SetFlags(7);
    C3DTPoint<float> target;
    static_cast<CPt&>(target) = same;
    EXPECT_EQ(target, same);
    EXPECT_EQ(target.GetFlags(), 7u);

    C4DPoint h;
    C3DTVector<float>(1, 2, 3).To4DPoint(h);
    EXPECT_EQ(h, C4DPoint(1, 2, 3, 0));  // vectors have w = 0
    C3DTPoint<float>(1, 2, 3).To4DPoint(h);
    EXPECT_EQ(h, C4DPoint(1, 2, 3, 1));

    C3DTPoint<double> dp(1.5, 2.5, 3.5);
    C3DTVector<float> fv;
    static_cast<CPt&>(fv) = dp;
    EXPECT_EQ(fv, C3DTVector<float>(1.5f, 2.5f, 3.5f));
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// ---- matrices ------------------------------------------------------------------------------------

TEST(Matrix, IdentityToleranceBoundsAreInclusive) {
    C4x4TMatrix<float> m;
    EXPECT_TRUE(m.IsIdentity());
    m.m[0][0] = 0.995f;
    m.m[3][3] = 1.005f;
    m.m[1][2] = 0.005f;
    m.m[2][1] = -0.005f;
    EXPECT_TRUE(m.IsIdentity());
    // Just past the bounds, on the diagonal and off it (a small translation is still a change).
    const struct {
        int r, c;
        float v;
    } outside[] = {{1, 1, 0.9949f}, {2, 2, 1.0051f}, {0, 3, 0.0051f}, {3, 0, -0.0051f}};
    for (const auto& o : outside) {
        C4x4TMatrix<float> n;
        n.m[o.r][o.c] = o.v;
        EXPECT_FALSE(n.IsIdentity()) << o.r << "," << o.c;
    }
    // NaN lies in no range: a list transform by it is not skipped as "nothing to do".
    C4x4TMatrix<float> nan = C4x4TMatrix<float>::Translation(std::nanf(""), 0, 0);
    EXPECT_FALSE(nan.IsIdentity());
}

TEST(Matrix, TranslationSitsInTheFourthColumnAndSkipsVectors) {
    C4x4TMatrix<float> t = C4x4TMatrix<float>::Translation(5, 6, 7);
    EXPECT_EQ(t.m[0][3], 5.0f);
    EXPECT_EQ(t.m[2][3], 7.0f);
    EXPECT_EQ(t.m[3][0], 0.0f);
    C3DTPoint<float> p(1, 2, 3);
    p.SetFlags(POINT_BORDER);
    C3DTPoint<float> q = t * p;
    EXPECT_EQ(q, C3DTPoint<float>(6, 8, 10));
    EXPECT_EQ(q.GetFlags(), unsigned(POINT_BORDER));
    EXPECT_EQ(t * C3DTVector<float>(1, 2, 3), C3DTVector<float>(1, 2, 3));

    // Row-major storage: element (0, 3) is the fourth value.
    const float rows[16] = {1, 0, 0, 5, 0, 1, 0, 6, 0, 0, 1, 7, 0, 0, 0, 1};
    EXPECT_EQ(C4x4TMatrix<float>(rows), t);
}

TEST(Matrix, ProductAppliesTheRightFactorFirst) {
    C4x4TMatrix<float> t = C4x4TMatrix<float>::Translation(10, 0, 0);
    C4x4TMatrix<float> r = C4x4TMatrix<float>::RotationZ(kPi / 2);
    // r first: (1, 0, 0) -> (0, 1, 0), then translated.
    ExpectNear((t * r) * C3DTPoint<float>(1, 0, 0), 10, 1, 0);
    // t first: (11, 0, 0) -> (0, 11, 0).
    ExpectNear((r * t) * C3DTPoint<float>(1, 0, 0), 0, 11, 0);
    ExpectNear(C4x4TMatrix<float>::RotationX(kPi / 2) * C3DTPoint<float>(0, 1, 0), 0, 0, 1);
    ExpectNear(C4x4TMatrix<float>::RotationY(kPi / 2) * C3DTPoint<float>(0, 0, 1), 1, 0, 0);
    ExpectMatrixNear(C4x4TMatrix<float>::Rotation(C3DTVector<float>(0, 0, 2), 0.7), C4x4TMatrix<float>::RotationZ(0.7),
                     1e-6);
}

TEST(Matrix, InverseTransposeDeterminant) {
    C4x4TMatrix<float> m = C4x4TMatrix<float>::Translation(1, -2, 3) *
                           C4x4TMatrix<float>::Rotation(C3DTVector<float>(1, 2, 3), 0.9) *
                           C4x4TMatrix<float>::Scale(2, 3, 0.5f);
    C4x4TMatrix<float> inv = m;
    ASSERT_TRUE(inv.Inverse());
    ExpectMatrixNear(m * inv, C4x4TMatrix<float>(), 1e-5);
    ExpectMatrixNear(inv * m, C4x4TMatrix<float>(), 1e-5);
    EXPECT_NEAR(m.Determinant(), 3.0, 1e-5);
    EXPECT_NEAR(m.Determinant3x3(), 3.0, 1e-5);
    EXPECT_LT(C4x4TMatrix<float>::Scale(-1, 1, 1).Determinant(), 0.0);

    C4x4TMatrix<float> singular = C4x4TMatrix<float>::Scale(1, 0, 1);
    C4x4TMatrix<float> before = singular;
    EXPECT_FALSE(singular.Inverse());
    EXPECT_EQ(singular, before);
    EXPECT_EQ(singular.GetInverse(), C4x4TMatrix<float>());
    // Singular up to single-precision rounding (a flattening in a rotated frame), and a scale whose
    // inverse does not fit a float: no inverse with huge or infinite elements.
    const C4x4TMatrix<float> r = C4x4TMatrix<float>::Rotation(C3DTVector<float>(1, 2, 3), 0.7);
    C4x4TMatrix<float> flattening = r.GetTransposed() * C4x4TMatrix<float>::Scale(1, 1, 0) * r;
    EXPECT_FALSE(flattening.Inverse());
    C4x4TMatrix<float> tiny = C4x4TMatrix<float>::Scale(1e-39f, 1, 1);
    EXPECT_FALSE(tiny.Inverse());
    EXPECT_EQ(tiny, C4x4TMatrix<float>::Scale(1e-39f, 1, 1));
    // A placement far from the origin does not make a regular matrix singular, at any scale; a
    // flattening stays singular wherever it is placed.
    for (float t : {1e2f, 1e4f, 1e6f})
        for (float s : {1e-2f, 1.0f, 1e2f}) {
            const C4x4TMatrix<float> placed = C4x4TMatrix<float>::Translation(t, -t, t) *
                                              C4x4TMatrix<float>::RotationY(0.3) *
                                              C4x4TMatrix<float>::Scale(s, s, s);
            C4x4TMatrix<float> back = placed;
            ASSERT_TRUE(back.Inverse()) << t << " " << s;
            const C3DTPoint<float> p(0.5f * t, 2.0f, -0.25f * t);
            const C3DTPoint<float> q = back.TransformPoint(placed.TransformPoint(p));
            ExpectNear(q, p.x, p.y, p.z, 1e-6 * t * std::max(1.0f, 1.0f / s));
            C4x4TMatrix<float> flat = C4x4TMatrix<float>::Translation(t, t, t) * flattening;
            EXPECT_FALSE(flat.Inverse()) << t;
        }
    // A small but regular scale still inverts.
    C4x4TMatrix<float> small = C4x4TMatrix<float>::Scale(1e-4f, 1e-4f, 1e-4f);
    ASSERT_TRUE(small.Inverse());
    EXPECT_NEAR(small.m[1][1], 1e4, 1e-1);
}

TEST(MatrixDecomposition, RoundTripIncludingAMirror) {
    struct Case {
        C3DTVector<float> axis;
        double angle;
        float sx, sy, sz;
    } cases[] = {
        {C3DTVector<float>(0, 0, 1), 0.0, 1, 1, 1},
        {C3DTVector<float>(1, 2, 3), 0.8, 2, 3, 4},
        {C3DTVector<float>(0, 1, 0), kPi, 0.5f, 0.5f, 0.5f},
        {C3DTVector<float>(-1, 1, 0.5f), 2.5, -1, 2, 3},  // mirror
        {C3DTVector<float>(1, 0, 0), 1.2, 1, -1, -1},     // two negatives: a rotation
        {C3DTVector<float>(1, 1, 1), 0.3, 2, 2, -2},      // mirror
        {C3DTVector<float>(0, 0, 1), 0.5, 0, 2, 3},       // a scale of 0 ("grow from nothing")
        {C3DTVector<float>(1, -2, 0.5f), 1.1, 2, 0, 3},
        {C3DTVector<float>(3, 1, 2), 2.0, 0, 0, 1.5f},  // two axes of 0
        {C3DTVector<float>(0, 1, 1), 0.4, 0, 0, 0},
    };
    for (const Case& c : cases) {
        C4x4TMatrix<float> m = C4x4TMatrix<float>::Translation(4, -5, 6) * C4x4TMatrix<float>::Rotation(c.axis, c.angle) *
                               C4x4TMatrix<float>::Scale(c.sx, c.sy, c.sz);
        _MatrixDecomposition parts;
        Decompose(m, parts);
        EXPECT_EQ(parts.translation, C3DTVector<float>(4, -5, 6));
        EXPECT_NEAR(parts.rotation.Magnitude(), 1.0, 1e-6);
        EXPECT_EQ(parts.scale.x < 0, c.sx * c.sy * c.sz < 0) << "a mirror shows as a negative x scale";
        ExpectMatrixNear(Recompose(parts), m, 1e-5);
    }

    _MatrixDecomposition plain;
    Decompose(C4x4TMatrix<float>::Translation(1, 2, 3) * C4x4TMatrix<float>::Scale(2, 3, 4), plain);
    EXPECT_NEAR(plain.scale.x, 2.0, 1e-6);
    EXPECT_NEAR(plain.scale.y, 3.0, 1e-6);
    EXPECT_NEAR(plain.scale.z, 4.0, 1e-6);
    ExpectSameRotation(plain.rotation, CQuaternion());
}

TEST(MatrixSwap, SwapAndAdjustFollowThePointSwap) {
    // Swap 0x12 maps (x, y, z) to (-z, y, x).
    C4x4TMatrix<float> expected(0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1);
    EXPECT_EQ(GetSwapMatrix(0x12), expected);
    EXPECT_EQ(GetSwapMatrix(3), C4x4TMatrix<float>());

    C4x4TMatrix<float> m = C4x4TMatrix<float>::Translation(1, 2, 3) *
                           C4x4TMatrix<float>::Rotation(C3DTVector<float>(1, -1, 2), 0.6) *
                           C4x4TMatrix<float>::Scale(1, 2, 3);
    const unsigned codes[] = {0x1, 0x2, 0x4, 0x10, 0x20, 0x40, 0x12, 0x24, 0x41, 0x3, 0x30};
    for (unsigned code : codes) {
        C3DTPoint<float> p(0.5f, -1.5f, 2.0f);
        C3DTPoint<float> sp = p;
        sp.Swap(code);
        C3DTPoint<float> mp = m * p;
        C3DTPoint<float> smp = mp;
        smp.Swap(code);
        // The swapped matrix maps swapped points to swapped results.
        C3DTPoint<float> a = SwapMatrix(code, m) * sp;
        ExpectNear(a, smp.x, smp.y, smp.z);
        // The adjusted matrix gives the swapped points their old world positions.
        C3DTPoint<float> b = AdjustMatrix(code, m) * sp;
        ExpectNear(b, mp.x, mp.y, mp.z);
    }
}

// ---- quaternions ---------------------------------------------------------------------------------

TEST(Quaternion, ConstructionsAgreeWithMatrices) {
    CQuaternion qz(C3DTVector<float>(0, 0, 3), kPi / 2);  // axis need not be unit
    C3DTVector<float> r = qz.RotateVector(C3DTVector<float>(1, 0, 0));
    EXPECT_NEAR(r.x, 0.0, 1e-6);
    EXPECT_NEAR(r.y, 1.0, 1e-6);

    C4x4TMatrix<float> m;
    CQuaternion q(C3DTVector<float>(1, 2, -1), 1.1);
    q.GetMatrix(m);
    ExpectMatrixNear(m, C4x4TMatrix<float>::Rotation(C3DTVector<float>(1, 2, -1), 1.1), 1e-6);
    ExpectSameRotation(CQuaternion(m), q);
    // Large rotation angles go through the other branches of the matrix conversion.
    for (double angle : {3.0, -3.0, 3.14159}) {
        for (C3DTVector<float> axis : {C3DTVector<float>(1, 0, 0), C3DTVector<float>(0, 1, 0), C3DTVector<float>(0, 0, 1),
                                       C3DTVector<float>(1, 1, 0.2f)}) {
            CQuaternion a(axis, angle);
            C4x4TMatrix<float> am;
            a.GetMatrix(am);
            ExpectSameRotation(CQuaternion(am), a);
        }
    }

    // Euler angles: X first, then Y, then Z.
    CQuaternion e(0.3, -0.4, 1.2);
    C4x4TMatrix<float> em;
    e.GetMatrix(em);
    ExpectMatrixNear(em,
                     C4x4TMatrix<float>::RotationZ(1.2) * C4x4TMatrix<float>::RotationY(-0.4) *
                         C4x4TMatrix<float>::RotationX(0.3),
                     1e-6);
}

TEST(Quaternion, AlgebraAndValidity) {
    CQuaternion a(C3DTVector<float>(0, 0, 1), 0.4), b(C3DTVector<float>(1, 0, 0), 0.7);
    // a * b applies b first.
    C4x4TMatrix<float> ma, mb, mab;
    a.GetMatrix(ma);
    b.GetMatrix(mb);
    (a * b).GetMatrix(mab);
    ExpectMatrixNear(mab, ma * mb, 1e-6);
    CQuaternion c = b;
    c.Rotate(a);  // a after b
    ExpectSameRotation(c, a * b);
    CQuaternion d = b;
    d.Rotate(C3DTVector<float>(0, 0, 1), 0.4);
    ExpectSameRotation(d, a * b);

    EXPECT_TRUE(CQuaternion().IsValid());
    EXPECT_FALSE(CQuaternion(0, 0, 0, 0).IsValid());
    EXPECT_FALSE(CQuaternion(NAN, 0, 0, 1).IsValid());
    EXPECT_FALSE(CQuaternion(INFINITY, 0, 0, 1).IsValid());
    CQuaternion z(0, 0, 0, 0);
    z.Normalize();
    EXPECT_EQ(z, CQuaternion());
}

TEST(Quaternion, AxisAngleAndHeadingPitchBank) {
    CQuaternion q;
    q.SetAxisAngle(C3DTVector<float>(0, 2, 0), 1.25);
    C3DTVector<float> axis;
    double angle;
    q.GetAxisAngle(axis, angle);
    EXPECT_NEAR(angle, 1.25, 1e-6);
    EXPECT_NEAR(axis.y, 1.0, 1e-6);
    CQuaternion().GetAxisAngle(axis, angle);
    EXPECT_EQ(angle, 0.0);
    EXPECT_EQ(axis, C3DTVector<float>(1, 0, 0));
    // Small turns come back to float precision, not to that of acos near 1.
    for (double small : {1e-3, 1e-4, 3e-6}) {
        CQuaternion(C3DTVector<float>(0, 0, 1), small).GetAxisAngle(axis, angle);
        EXPECT_NEAR(angle / small, 1.0, 1e-6) << small;
    }

    const double hpb[][3] = {{0.5, 0.3, -0.2}, {-2.0, -1.0, 2.5}, {3.0, 0.0, 0.0}, {0.0, 1.2, 0.0}};
    for (const auto& a : hpb) {
        double h, p, b;
        CQuaternion::FromHPBAngles(a[0], a[1], a[2]).GetHPBAngles(h, p, b);
        EXPECT_NEAR(h, a[0], 1e-5);
        EXPECT_NEAR(p, a[1], 1e-5);
        EXPECT_NEAR(b, a[2], 1e-5);
    }
    // Heading turns about Y, pitch about X, bank about Z.
    double h, p, b;
    CQuaternion(C3DTVector<float>(0, 1, 0), 0.7).GetHPBAngles(h, p, b);
    EXPECT_NEAR(h, 0.7, 1e-6);
    EXPECT_NEAR(p, 0.0, 1e-6);
    EXPECT_NEAR(b, 0.0, 1e-6);
    // Near the poles the angles still give back the same rotation (asin alone loses half the digits
    // there).
    for (double pole : {kPi / 2, -kPi / 2})
        for (double off : {3e-3, 1e-3, 1e-4, 1e-5}) {
            const CQuaternion q = CQuaternion::FromHPBAngles(1.22, pole - (pole > 0 ? off : -off), -2.18);
            double hh, pp, bb;
            q.GetHPBAngles(hh, pp, bb);
            C4x4TMatrix<float> original, back;
            q.GetMatrix(original);
            CQuaternion::FromHPBAngles(hh, pp, bb).GetMatrix(back);
            ExpectMatrixNear(back, original, 1e-5);
        }
    // Looking straight up: the bank folds into the heading, the rotation stays the same.
    CQuaternion up = CQuaternion::FromHPBAngles(0.4, kPi / 2, 0.3);
    up.GetHPBAngles(h, p, b);
    EXPECT_NEAR(p, kPi / 2, 1e-3);
    EXPECT_EQ(b, 0.0);
    ExpectSameRotation(CQuaternion::FromHPBAngles(h, p, b), up, 1e-5);
}

TEST(Quaternion, SlerpEndpointsMidpointAndShortestArc) {
    CQuaternion a;
    CQuaternion b(C3DTVector<float>(0, 0, 1), kPi / 2);
    ExpectSameRotation(CQuaternion::Slerp(a, b, 0.0), a, 1e-6);
    ExpectSameRotation(CQuaternion::Slerp(a, b, 1.0), b, 1e-6);
    CQuaternion mid = CQuaternion::Slerp(a, b, 0.5);
    ExpectSameRotation(mid, CQuaternion(C3DTVector<float>(0, 0, 1), kPi / 4), 1e-6);
    EXPECT_NEAR(mid.Magnitude(), 1.0, 1e-6);

    // -b is the same rotation as b: the interpolation must not take the long way round.
    CQuaternion negb = b * -1.0;
    ExpectSameRotation(CQuaternion::Slerp(a, negb, 0.5), mid, 1e-6);

    // Nearly parallel inputs: linear fallback, still unit length and between the two.
    CQuaternion c(C3DTVector<float>(1, 0, 0), 1e-4);
    CQuaternion l = CQuaternion::Slerp(a, c, 0.5);
    EXPECT_NEAR(l.Magnitude(), 1.0, 1e-6);
    ExpectSameRotation(l, CQuaternion(C3DTVector<float>(1, 0, 0), 0.5e-4), 1e-6);
}

// ---- colours -------------------------------------------------------------------------------------

TEST(Color, IntegersAreClamped) {
    CRGBColor c(300, -5, 128, 1000);
    EXPECT_EQ(c, CRGBColor(uint8_t(255), uint8_t(0), uint8_t(128), uint8_t(255)));
    c.SetColor(0, 255, 256, -1);
    EXPECT_EQ(c.GetValue(), 0x00FFFF00u);
}

TEST(Color, FloatsAreScaledTruncatedThenClamped) {
    CRGBColor c;
    c.SetColor(1.0f, 0.999f, -0.1f, 2.0f);
    EXPECT_EQ(c.r, 255);
    EXPECT_EQ(c.g, 254);  // 254.745 truncated
    EXPECT_EQ(c.b, 0);
    EXPECT_EQ(c.a, 255);
    c.SetColor(0.5f, 0.5f, 0.5f, 0.5f, 100.0f);
    EXPECT_EQ(c, CRGBColor(uint8_t(50), uint8_t(50), uint8_t(50), uint8_t(50)));
    c.SetColor(0.0039, 0.0040, -0.9999, 1.0);  // 0.99 -> 0, 1.02 -> 1, -254.97 -> 0
    EXPECT_EQ(c, CRGBColor(uint8_t(0), uint8_t(1), uint8_t(0), uint8_t(255)));
    c.SetColor(double(NAN), 1e300, -1e300, 0.5, 255.0);
    EXPECT_EQ(c, CRGBColor(uint8_t(0), uint8_t(255), uint8_t(0), uint8_t(127)));
}

TEST(Color, BytesValueAndText) {
    CRGBColor c(uint8_t(1), uint8_t(2), uint8_t(3), uint8_t(4));
    EXPECT_EQ(c.GetValue(), 0x04030201u);
    EXPECT_EQ(CRGBColor(0x80402010u), CRGBColor(uint8_t(0x10), uint8_t(0x20), uint8_t(0x40), uint8_t(0x80)));
    uint32_t mem;
    std::memcpy(&mem, &c, 4);
    EXPECT_EQ(mem, c.GetValue());

    const uint8_t bytes[5] = {9, 8, 7, 6, 5};
    EXPECT_EQ(CRGBColor(bytes, 5), CRGBColor(uint8_t(9), uint8_t(8), uint8_t(7), uint8_t(6)));
    EXPECT_EQ(CRGBColor(bytes, 3), CRGBColor(uint8_t(9), uint8_t(8), uint8_t(7), uint8_t(255)));
    EXPECT_EQ(CRGBColor(bytes, 1), CRGBColor(uint8_t(9), uint8_t(0), uint8_t(0), uint8_t(255)));
    EXPECT_EQ(CRGBColor(nullptr, 0), CRGBColor());

    CRGBColor t(255, 128, 0, 7);
    EXPECT_TRUE(t.GetRGBString() == L"255, 128, 0");
    EXPECT_TRUE(t.GetRGBAString() == L"255, 128, 0, 7");
}

TEST(ColorHSL, KnownValuesAndExactRoundTrip) {
    const struct {
        float r, g, b, h, s, l;
    } known[] = {{1, 0, 0, 0, 1, 0.5f}, {0, 0, 1, 240, 1, 0.5f}, {1, 0, 1, 300, 1, 0.5f}, {0.5f, 0.5f, 0.5f, 0, 0, 0.5f}};
    for (const auto& k : known) {
        float h, s, l;
        ConvertRGBToHSL(k.r, k.g, k.b, h, s, l);
        EXPECT_FLOAT_EQ(h, k.h);
        EXPECT_FLOAT_EQ(s, k.s);
        EXPECT_FLOAT_EQ(l, k.l);
    }
    float r, g, b;
    ConvertHSLToRGB(120, 1, 0.25f, r, g, b);
    EXPECT_NEAR(r, 0, 1e-6);
    EXPECT_FLOAT_EQ(g, 0.5f);
    EXPECT_NEAR(b, 0, 1e-6);
    ConvertHSLToRGB(-240, 1, 0.25f, r, g, b);  // hue taken modulo 360
    EXPECT_FLOAT_EQ(g, 0.5f);

    // Every byte triple on a 15-step grid comes back unchanged, alpha untouched.
    for (int cr = 0; cr < 256; cr += 15)
        for (int cg = 0; cg < 256; cg += 15)
            for (int cb = 0; cb < 256; cb += 15) {
                CRGBColor c(cr, cg, cb, 77);
                float hh, ss, ll;
                c.ConvertToHSL(hh, ss, ll);
                CRGBColor back(0, 0, 0, 77);
                back.InitFromHSL(hh, ss, ll);
                ASSERT_EQ(back, c) << cr << "," << cg << "," << cb;
            }
}

TEST(ColorHSL, ComponentSettersLightenDarken) {
    CRGBColor c(255, 0, 0, 9);
    c.SetHue(120);
    EXPECT_EQ(c, CRGBColor(0, 255, 0, 9));
    c.SetSaturation(0);
    EXPECT_EQ(c, CRGBColor(128, 128, 128, 9));
    EXPECT_NEAR(c.GetLuminance(), 128 / 255.0, 1e-6);
    c.SetLuminance(1.0f);
    EXPECT_EQ(c, CRGBColor(255, 255, 255, 9));

    CRGBColor d(0, 0, 255);
    EXPECT_FLOAT_EQ(d.GetHue(), 240);
    EXPECT_FLOAT_EQ(d.GetSaturation(), 1);
    d.Lighten(0.25f);  // luminance 0.5 -> 0.75
    EXPECT_EQ(d, CRGBColor(128, 128, 255));
    d.Darken(0.5f);  // 0.75 -> 0.25
    EXPECT_EQ(d, CRGBColor(0, 0, 128));
    d.Darken(2.0f);  // clamped at black
    EXPECT_EQ(d, CRGBColor(0, 0, 0));
    CRGBColor w(10, 20, 30);
    w.Lighten(5.0f);
    EXPECT_EQ(w, CRGBColor(255, 255, 255));
}
