// C3DTBBox<T>: an axis-aligned bounding box, a valid flag and two corners.
//
// An empty box (IsEmpty) has its corners at the origin. Adding the first point makes the box valid
// with both corners on that point; later points only widen it (a point with a coordinate that is
// not a number is left out). The point flag words of the corners are kept at 0.
#pragma once

#include <cmath>

#include "kestovar/core/point.h"

namespace kestovar {

template <class T>
class C3DTBBox {
public:
    C3DTBBox() : m_bValid(false) {}
    C3DTBBox(const C3DTPoint<T>& a, const C3DTPoint<T>& b) : m_bValid(false) {
        Add(a);
        Add(b);
    }

    // Makes the box empty and puts both corners back at the origin.
    void Empty() {
        m_bValid = false;
        m_min.Init(T(0), T(0), T(0));
        m_max.Init(T(0), T(0), T(0));
    }
    bool IsEmpty() const { return !m_bValid; }
    bool IsValid() const { return m_bValid; }

    // Widens the box to hold the point (x, y, z). A point with a coordinate that is not a number
    // is left out: as the first point it would make that axis of the box NaN for good.
    void Add(T x, T y, T z) {
        if (std::isnan(x) || std::isnan(y) || std::isnan(z)) return;
        if (!m_bValid) {
            m_min.Init(x, y, z);
            m_max.Init(x, y, z);
            m_bValid = true;
            return;
        }
        if (x < m_min.x) m_min.x = x;
        if (x > m_max.x) m_max.x = x;
        if (y < m_min.y) m_min.y = y;
        if (y > m_max.y) m_max.y = y;
        if (z < m_min.z) m_min.z = z;
        if (z > m_max.z) m_max.z = z;
    }
    void Add(const C3DTPoint<T>& p) { Add(p.x, p.y, p.z); }
    // Widens the box to hold `other` (nothing when `other` is empty).
    void Add(const C3DTBBox& other) {
        if (!other.m_bValid) return;
        Add(other.m_min);
        Add(other.m_max);
    }

    const C3DTPoint<T>& GetMin() const { return m_min; }
    const C3DTPoint<T>& GetMax() const { return m_max; }
    // Sets both corners as given (min must not exceed max on any axis) and makes the box valid.
    void Set(const C3DTPoint<T>& min, const C3DTPoint<T>& max) {
        m_min.Init(min.x, min.y, min.z);
        m_max.Init(max.x, max.y, max.z);
        m_bValid = true;
    }

    // (min + max) / 2 per axis, computed in double. The origin for an empty box.
    C3DTPoint<T> GetCenter() const {
        return C3DTPoint<T>((double(m_min.x) + double(m_max.x)) / 2.0, (double(m_min.y) + double(m_max.y)) / 2.0,
                            (double(m_min.z) + double(m_max.z)) / 2.0);
    }
    // Extent on each axis (max - min); zero for an empty box.
    C3DTVector<T> GetSize() const {
        return C3DTVector<T>(double(m_max.x) - m_min.x, double(m_max.y) - m_min.y, double(m_max.z) - m_min.z);
    }
    // Length of the diagonal (same unit as the coordinates); 0 for an empty box.
    double GetDiagonal() const {
        double dx = double(m_max.x) - m_min.x, dy = double(m_max.y) - m_min.y, dz = double(m_max.z) - m_min.z;
        return std::sqrt(dx * dx + dy * dy + dz * dz);
    }
    // True when the point lies inside the box or on its faces (false for an empty box).
    bool Contains(const C3DTPoint<T>& p) const {
        return m_bValid && p.x >= m_min.x && p.x <= m_max.x && p.y >= m_min.y && p.y <= m_max.y &&
               p.z >= m_min.z && p.z <= m_max.z;
    }

    bool operator==(const C3DTBBox& o) const {
        return m_bValid == o.m_bValid && m_min == o.m_min && m_max == o.m_max;
    }
    bool operator!=(const C3DTBBox& o) const { return !(*this == o); }

private:
    bool m_bValid;
    C3DTPoint<T> m_min;
    C3DTPoint<T> m_max;
};

}  // namespace kestovar
