// Point records: the polymorphic point base CPt with its 32-bit flag word, the 3D point and vector
// templates, the 2D texture point, the homogeneous point and the four-component vector.
//
// Every record is laid out as: the table of virtual operations, the flag word (32 bits), then the
// coordinates. Point lists store these records by the million, so the records stay small (24 bytes
// for C3DTPoint<float>) and every operation used in inner loops is inline.
//
// Axis swaps. Swap(code) and the matrix functions SwapMatrix/AdjustMatrix (matrix.h) share one code
// word. Its low three bits, compared as a whole value, select one exchange: 1 exchanges x and y,
// 2 exchanges x and z, 4 exchanges y and z, any other value exchanges nothing. Then bits 4 to 6,
// again compared as a whole value, select one negation: 0x10 negates x, 0x20 negates y, 0x40
// negates z, any other value negates nothing. The exchange is applied before the negation, so
// Swap(0x12) moves z into x and then negates it.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <typeinfo>

#include "kestovar/core/export.h"

namespace kestovar {

class CXArchive;
class C4DPoint;

// Bits of the point flag word shared by the mesh model and the simplification engine.
enum _POINT_PROPERTIES : unsigned int {
    POINT_REMOVED = 0x2,             // invalid point: no live face uses it, or contracted away
    POINT_BORDER = 0x10,             // on an edge that has exactly one face
    POINT_SHARED_EDGE = 0x20,        // on an edge that is not shared by exactly one face
    POINT_NEAR_BORDER = 0x40,        // not on the border, joined by an edge to a border point
    POINT_CONSTRAINED = 0x80,        // highest move factor below locked
    POINT_3D_CORNER = 0x100,         // sharp corner of the surface
    POINT_2D_CORNER = 0x200,         // corner of a border line
    POINT_UV_SEAM = 0x1000,          // more than one texture vertex at the point
    POINT_VC_FRONTIER = 0x2000,      // vertex-colour break
    POINT_NORMAL_FRONTIER = 0x4000,  // break between specified normals
    POINT_NORMAL_BREAK = 0x8000,     // normal break found while generating corner normals
    POINT_UV_JUNCTION = 0x10000,     // more than two texture vertices at the point
    POINT_COPLANAR = 0x20000,        // all faces at the point are coplanar
    POINT_MATERIAL_FRONTIER = 0x40000,      // faces of several materials meet here
    POINT_SELECTED = 0x1000000,             // may be contracted
    POINT_CONSTRAINED_FEATURE = 0x2000000,  // selected, on a feature with constraint planes
    POINT_FEATURE = 0x4000000,              // selected, on a kept (or constrained) feature
};

namespace detail {
// Serialises a point record: the flag word, then `count` coordinates, each as its raw
// little-endian value. Loading reads them back in the same order.
KESTOVAR_API void SerializePointRecord(CXArchive& ar, unsigned int& flags, float* values, int count);
KESTOVAR_API void SerializePointRecord(CXArchive& ar, unsigned int& flags, double* values, int count);
KESTOVAR_API void SerializePointRecord(CXArchive& ar, unsigned int& flags, int* values, int count);

// Applies a swap code (see the header comment) to three coordinates.
template <class T>
inline void SwapCoordinates(unsigned int code, T& x, T& y, T& z) {
    T t;
    switch (code & 0x7u) {
        case 1: t = x; x = y; y = t; break;
        case 2: t = x; x = z; z = t; break;
        case 4: t = y; y = z; z = t; break;
        default: break;
    }
    switch (code & 0x70u) {
        case 0x10: x = -x; break;
        case 0x20: y = -y; break;
        case 0x40: z = -z; break;
        default: break;
    }
}
}  // namespace detail

// Polymorphic base of every point record: the virtual operations, then the flag word.
class KESTOVAR_API CPt {
public:
    // Assignment from any point record: copies the flag word and converts the coordinates (the
    // same record type copies exactly; another type goes through its homogeneous form).
    virtual CPt& operator=(const CPt& src) {
        m_flags = src.m_flags;
        return *this;
    }
    // Assignment from a homogeneous point: the flag word and the first coordinates.
    virtual CPt& operator=(const C4DPoint& src) = 0;
    // Writes or reads the flag word, then the coordinates.
    virtual void Serialize(CXArchive& ar) = 0;
    // Fills `out` with this record's flags and coordinates (w = 1 for points, 0 for vectors).
    virtual void To4DPoint(C4DPoint& out) const = 0;
    // Size of the whole record in bytes.
    virtual int SizeOf() const = 0;

    unsigned int GetFlags() const { return m_flags; }
    void SetFlags(unsigned int flags) { m_flags = flags; }
    void SetFlags(unsigned int flags, bool set) { m_flags = set ? (m_flags | flags) : (m_flags & ~flags); }
    void SetFlag(_POINT_PROPERTIES flag, bool set) { SetFlags(unsigned(flag), set); }
    // True when every bit of `flags` is set.
    bool IsFlagSet(unsigned int flags) const { return (m_flags & flags) == flags; }
    // True when at least one bit of `flags` is set.
    bool IsOneFlagSet(unsigned int flags) const { return (m_flags & flags) != 0; }

protected:
    CPt() : m_flags(0) {}
    explicit CPt(unsigned int flags) : m_flags(flags) {}
    CPt(const CPt&) = default;
    ~CPt() = default;

    unsigned int m_flags;
};

// Homogeneous point (x, y, z, w): the common form through which point records of different types
// are converted into one another.
class KESTOVAR_API C4DPoint : public CPt {
public:
    float x, y, z, w;

    C4DPoint() : x(0), y(0), z(0), w(1) {}
    C4DPoint(float px, float py, float pz, float pw = 1.0f) : x(px), y(py), z(pz), w(pw) {}
    C4DPoint(const C4DPoint&) = default;

    C4DPoint& operator=(const C4DPoint& src) override {
        m_flags = src.m_flags;
        x = src.x;
        y = src.y;
        z = src.z;
        w = src.w;
        return *this;
    }
    C4DPoint& operator=(const CPt& src) override {
        if (&src != this) src.To4DPoint(*this);
        return *this;
    }
    void Serialize(CXArchive& ar) override { detail::SerializePointRecord(ar, m_flags, &x, 4); }
    void To4DPoint(C4DPoint& out) const override { out = *this; }
    int SizeOf() const override { return int(sizeof(C4DPoint)); }

    bool operator==(const C4DPoint& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
    bool operator!=(const C4DPoint& o) const { return !(*this == o); }
};

// Four-component vector (a plane a, b, c, d, or a homogeneous direction). A plain value: no flag
// word and no virtual operations.
template <class T>
struct C4DTVector {
    T x, y, z, w;

    C4DTVector() : x(0), y(0), z(0), w(0) {}
    C4DTVector(T px, T py, T pz, T pw) : x(px), y(py), z(pz), w(pw) {}

    T& operator[](int i) { return (&x)[i]; }
    const T& operator[](int i) const { return (&x)[i]; }
    T* ValPtr() { return &x; }
    const T* ValPtr() const { return &x; }

    C4DTVector operator+(const C4DTVector& o) const { return C4DTVector(x + o.x, y + o.y, z + o.z, w + o.w); }
    C4DTVector operator-(const C4DTVector& o) const { return C4DTVector(x - o.x, y - o.y, z - o.z, w - o.w); }
    C4DTVector operator*(double f) const { return C4DTVector(T(x * f), T(y * f), T(z * f), T(w * f)); }
    C4DTVector operator/(double f) const { return C4DTVector(T(x / f), T(y / f), T(z / f), T(w / f)); }
    // Four-component dot product.
    double operator*(const C4DTVector& o) const {
        return double(x) * o.x + double(y) * o.y + double(z) * o.z + double(w) * o.w;
    }
    bool operator==(const C4DTVector& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
    bool operator!=(const C4DTVector& o) const { return !(*this == o); }
};

template <class T>
class C3DTVector;

namespace detail {
// The coordinates (x, y, z) with the flag word, and the record operations that are the same for a
// position and a direction: conversion from other records, serialisation, element access, the
// axis swap and exact comparison. `Derived` is the record type (C3DTPoint<T> or C3DTVector<T>),
// the only type copied exactly by the polymorphic assignment; `W` is its homogeneous coordinate
// (1 for a position, 0 for a direction).
template <class Derived, class T, int W>
class KESTOVAR_API C3DTTriple : public CPt {
public:
    T x, y, z;

    // Copies the flag word and converts the coordinates (the same record type copies exactly;
    // another type goes through its homogeneous form).
    C3DTTriple& operator=(const CPt& src) override {
        if (&src == this) return *this;
        if (typeid(src) == typeid(Derived)) {
            const auto& o = static_cast<const Derived&>(src);
            m_flags = o.m_flags;
            return Set(o.x, o.y, o.z);
        }
        C4DPoint h;
        src.To4DPoint(h);
        return *this = h;
    }
    C3DTTriple& operator=(const C4DPoint& src) override {
        m_flags = src.GetFlags();
        return Set(src.x, src.y, src.z);
    }
    void Serialize(CXArchive& ar) override { SerializePointRecord(ar, m_flags, &x, 3); }
    void To4DPoint(C4DPoint& out) const override {
        out.SetFlags(m_flags);
        out.x = float(x);
        out.y = float(y);
        out.z = float(z);
        out.w = float(W);
    }
    int SizeOf() const override { return int(sizeof(Derived)); }

    // Coordinate access, 0..2 (not checked).
    T& operator[](int i) { return (&x)[i]; }
    const T& operator[](int i) const { return (&x)[i]; }
    T* ValPtr() { return &x; }
    const T* ValPtr() const { return &x; }

    void Init(T px, T py, T pz) {
        x = px;
        y = py;
        z = pz;
    }
    void SetValues(const float* v) { Set(v[0], v[1], v[2]); }
    // Adds `value` to all three coordinates.
    void Offset(float value) { Set(x + value, y + value, z + value); }
    // Rearranges the coordinates for an axis-convention change (see the header comment).
    void Swap(unsigned int code) { SwapCoordinates(code, x, y, z); }

    // Exact comparison of the coordinates (no tolerance; the flags are not compared).
    friend bool operator==(const Derived& a, const Derived& b) {
        return a.x == b.x && a.y == b.y && a.z == b.z;
    }

protected:
    C3DTTriple() : x(0), y(0), z(0) {}
    C3DTTriple(unsigned int flags, T px, T py, T pz) : CPt(flags), x(px), y(py), z(pz) {}
    C3DTTriple(const C3DTTriple&) = default;
    C3DTTriple& operator=(const C3DTTriple&) = default;

    // A copy of this record (flags included) with the coordinates converted to T.
    template <class U>
    Derived Make(U px, U py, U pz) const {
        Derived r(static_cast<const Derived&>(*this));
        r.x = T(px);
        r.y = T(py);
        r.z = T(pz);
        return r;
    }
    // Sets the coordinates, converted to T, and returns the record.
    template <class U>
    Derived& Set(U px, U py, U pz) {
        x = T(px);
        y = T(py);
        z = T(pz);
        return static_cast<Derived&>(*this);
    }
};
}  // namespace detail

// 3D point (x, y, z) with its flag word. Instantiated for float, double and int.
template <class T>
class KESTOVAR_API C3DTPoint : public detail::C3DTTriple<C3DTPoint<T>, T, 1> {
    using Base = detail::C3DTTriple<C3DTPoint<T>, T, 1>;
    friend Base;

public:
    using Base::x;
    using Base::y;
    using Base::z;
    using Base::operator=;

    C3DTPoint() = default;
    // From three numbers (float, double, int or any mix), converted to T.
    template <class A, class B, class C>
        requires(std::is_arithmetic_v<A> && std::is_arithmetic_v<B> && std::is_arithmetic_v<C>)
    C3DTPoint(A px, B py, C pz) : Base(0, T(px), T(py), T(pz)) {}
    explicit C3DTPoint(const float* v) : Base(0, T(v[0]), T(v[1]), T(v[2])) {}
    // The point `p` displaced by the vector `v`, with the flag word `flags`.
    C3DTPoint(const C3DTPoint& p, const C3DTVector<T>& v, unsigned int flags)
        : Base(flags, p.x + v.x, p.y + v.y, p.z + v.z) {}
    C3DTPoint(const C3DTPoint&) = default;
    explicit C3DTPoint(const C3DTVector<T>& v) : Base(v.GetFlags(), v.x, v.y, v.z) {}
    // Copies flags and coordinates.
    C3DTPoint& operator=(const C3DTPoint&) = default;

    // result = this - other.
    void SubstractTo(const C3DTPoint& other, C3DTVector<T>& result) const {
        result.Init(x - other.x, y - other.y, z - other.z);
    }

    // Arithmetic. Sums and differences keep this point's flags; point - point gives a vector.
    C3DTPoint operator+(const C3DTVector<T>& v) const { return this->Make(x + v.x, y + v.y, z + v.z); }
    C3DTPoint operator-(const C3DTVector<T>& v) const { return this->Make(x - v.x, y - v.y, z - v.z); }
    C3DTPoint operator+(const C3DTPoint& p) const { return this->Make(x + p.x, y + p.y, z + p.z); }
    C3DTVector<T> operator-(const C3DTPoint& p) const { return C3DTVector<T>(x - p.x, y - p.y, z - p.z); }
    C3DTPoint operator*(double f) const { return this->Make(x * f, y * f, z * f); }
    C3DTPoint operator/(double f) const { return this->Make(x / f, y / f, z / f); }
    // Dot product with a plane or homogeneous vector, w taken as 1 for this point.
    double operator*(const C4DTVector<T>& v) const {
        return double(x) * v.x + double(y) * v.y + double(z) * v.z + double(v.w);
    }
    C3DTPoint& operator+=(const C3DTVector<T>& v) { return this->Set(x + v.x, y + v.y, z + v.z); }
    C3DTPoint& operator-=(const C3DTVector<T>& v) { return this->Set(x - v.x, y - v.y, z - v.z); }
    C3DTPoint& operator+=(const C3DTPoint& p) { return this->Set(x + p.x, y + p.y, z + p.z); }
    C3DTPoint& operator-=(const C3DTPoint& p) { return this->Set(x - p.x, y - p.y, z - p.z); }
    C3DTPoint& operator*=(double f) { return this->Set(x * f, y * f, z * f); }
    C3DTPoint& operator/=(double f) { return this->Set(x / f, y / f, z / f); }

    double SquaredDistance(const C3DTPoint& o) const {
        double dx = double(x) - o.x, dy = double(y) - o.y, dz = double(z) - o.z;
        return dx * dx + dy * dy + dz * dz;
    }
    double Distance(const C3DTPoint& o) const { return std::sqrt(SquaredDistance(o)); }
};

// 3D vector (x, y, z) with its flag word. Instantiated for float and double.
template <class T>
class KESTOVAR_API C3DTVector : public detail::C3DTTriple<C3DTVector<T>, T, 0> {
    using Base = detail::C3DTTriple<C3DTVector<T>, T, 0>;
    friend Base;

public:
    using Base::x;
    using Base::y;
    using Base::z;
    using Base::operator=;

    C3DTVector() = default;
    // From three numbers (float, double, int or any mix), converted to T.
    template <class A, class B, class C>
        requires(std::is_arithmetic_v<A> && std::is_arithmetic_v<B> && std::is_arithmetic_v<C>)
    C3DTVector(A px, B py, C pz) : Base(0, T(px), T(py), T(pz)) {}
    explicit C3DTVector(const float* v) : Base(0, T(v[0]), T(v[1]), T(v[2])) {}
    // The vector from `from` to `to`.
    C3DTVector(const C3DTPoint<T>& from, const C3DTPoint<T>& to)
        : Base(0, to.x - from.x, to.y - from.y, to.z - from.z) {}
    explicit C3DTVector(const C3DTPoint<T>& p) : Base(p.GetFlags(), p.x, p.y, p.z) {}
    C3DTVector(const C3DTVector&) = default;
    C3DTVector& operator=(const C3DTVector&) = default;

    // result = this - other.
    void SubstractTo(const C3DTVector& other, C3DTVector& result) const {
        result.Init(x - other.x, y - other.y, z - other.z);
    }

    C3DTVector operator+(const C3DTVector& v) const { return this->Make(x + v.x, y + v.y, z + v.z); }
    C3DTVector operator-(const C3DTVector& v) const { return this->Make(x - v.x, y - v.y, z - v.z); }
    C3DTVector operator-() const { return this->Make(-x, -y, -z); }
    C3DTVector operator*(double f) const { return this->Make(x * f, y * f, z * f); }
    C3DTVector operator/(double f) const { return this->Make(x / f, y / f, z / f); }
    // Dot product.
    double operator*(const C3DTVector& v) const { return Dot(v); }
    C3DTVector& operator+=(const C3DTVector& v) { return this->Set(x + v.x, y + v.y, z + v.z); }
    C3DTVector& operator-=(const C3DTVector& v) { return this->Set(x - v.x, y - v.y, z - v.z); }
    C3DTVector& operator*=(double f) { return this->Set(x * f, y * f, z * f); }
    C3DTVector& operator/=(double f) { return this->Set(x / f, y / f, z / f); }

    double Dot(const C3DTVector& v) const { return double(x) * v.x + double(y) * v.y + double(z) * v.z; }
    // Right-handed cross product this × v.
    C3DTVector Cross(const C3DTVector& v) const {
        return C3DTVector(double(y) * v.z - double(z) * v.y, double(z) * v.x - double(x) * v.z,
                          double(x) * v.y - double(y) * v.x);
    }
    double SquaredLength() const { return Dot(*this); }
    double Length() const { return std::sqrt(SquaredLength()); }
    // Scales the vector to unit length and returns its former length. A zero vector is left as
    // it is (and 0 returned).
    double Normalize() {
        const double squared = SquaredLength();
        if (squared >= std::numeric_limits<double>::min() && squared <= std::numeric_limits<double>::max()) {
            const double len = std::sqrt(squared);
            this->Set(x / len, y / len, z / len);
            return len;
        }
        if (squared != squared) return squared;  // a component that is not a number: left as it is
        // Squares that overflow or lose digits below the normal doubles (double components beyond
        // about 1e154 or below 1e-154): measure the vector divided by its largest component.
        const double ax = std::fabs(double(x)), ay = std::fabs(double(y)), az = std::fabs(double(z));
        const double big = ax > ay ? (ax > az ? ax : az) : (ay > az ? ay : az);
        if (big > 0.0 && big <= std::numeric_limits<double>::max()) {
            const double sx = double(x) / big, sy = double(y) / big, sz = double(z) / big;
            const double scaled = std::sqrt(sx * sx + sy * sy + sz * sz);
            this->Set(sx / scaled, sy / scaled, sz / scaled);
            return big * scaled;
        }
        const double len = std::sqrt(squared);
        if (len > 0.0) this->Set(x / len, y / len, z / len);
        return len;
    }
};

template <class T>
inline double DotProduct(const C3DTVector<T>& a, const C3DTVector<T>& b) {
    return a.Dot(b);
}
template <class T>
inline C3DTVector<T> CrossProduct(const C3DTVector<T>& a, const C3DTVector<T>& b) {
    return a.Cross(b);
}

// 2D point (u, v) with its flag word: texture coordinates.
template <class T>
class KESTOVAR_API C2DTPoint : public CPt {
public:
    T u, v;

    C2DTPoint() : u(0), v(0) {}
    template <class A, class B>
        requires(std::is_arithmetic_v<A> && std::is_arithmetic_v<B>)
    C2DTPoint(A pu, B pv) : u(T(pu)), v(T(pv)) {}
    explicit C2DTPoint(const float* p) : u(T(p[0])), v(T(p[1])) {}
    C2DTPoint(const C2DTPoint&) = default;

    C2DTPoint& operator=(const C2DTPoint& src) {
        m_flags = src.m_flags;
        u = src.u;
        v = src.v;
        return *this;
    }
    C2DTPoint& operator=(const CPt& src) override {
        if (&src == this) return *this;
        if (typeid(src) == typeid(C2DTPoint)) return *this = static_cast<const C2DTPoint&>(src);
        C4DPoint h;
        src.To4DPoint(h);
        return *this = h;
    }
    // Takes x and y as u and v.
    C2DTPoint& operator=(const C4DPoint& src) override {
        m_flags = src.GetFlags();
        u = T(src.x);
        v = T(src.y);
        return *this;
    }
    void Serialize(CXArchive& ar) override { detail::SerializePointRecord(ar, m_flags, &u, 2); }
    // (u, v, 0, 1).
    void To4DPoint(C4DPoint& out) const override {
        out.SetFlags(m_flags);
        out.x = float(u);
        out.y = float(v);
        out.z = 0.0f;
        out.w = 1.0f;
    }
    int SizeOf() const override { return int(sizeof(C2DTPoint)); }

    T& operator[](int i) { return (&u)[i]; }
    const T& operator[](int i) const { return (&u)[i]; }
    T* ValPtr() { return &u; }
    const T* ValPtr() const { return &u; }
    void Init(T pu, T pv) {
        u = pu;
        v = pv;
    }

    C2DTPoint operator+(const C2DTPoint& p) const { return Make(u + p.u, v + p.v); }
    C2DTPoint operator-(const C2DTPoint& p) const { return Make(u - p.u, v - p.v); }
    C2DTPoint operator*(double f) const { return Make(u * f, v * f); }
    C2DTPoint operator/(double f) const { return Make(u / f, v / f); }
    C2DTPoint& operator+=(const C2DTPoint& p) { return Set(u + p.u, v + p.v); }
    C2DTPoint& operator-=(const C2DTPoint& p) { return Set(u - p.u, v - p.v); }
    C2DTPoint& operator*=(double f) { return Set(u * f, v * f); }
    C2DTPoint& operator/=(double f) { return Set(u / f, v / f); }

    bool operator==(const C2DTPoint& o) const { return u == o.u && v == o.v; }
    bool operator!=(const C2DTPoint& o) const { return !(*this == o); }

    double Dot(const C2DTPoint& p) const { return double(u) * p.u + double(v) * p.v; }
    double SquaredLength() const { return Dot(*this); }
    double Length() const { return std::sqrt(SquaredLength()); }
    double SquaredDistance(const C2DTPoint& p) const {
        double du = double(u) - p.u, dv = double(v) - p.v;
        return du * du + dv * dv;
    }
    double Distance(const C2DTPoint& p) const { return std::sqrt(SquaredDistance(p)); }

private:
    template <class U>
    C2DTPoint Make(U pu, U pv) const {
        C2DTPoint r(*this);
        r.u = T(pu);
        r.v = T(pv);
        return r;
    }
    template <class U>
    C2DTPoint& Set(U pu, U pv) {
        u = T(pu);
        v = T(pv);
        return *this;
    }
};

}  // namespace kestovar
