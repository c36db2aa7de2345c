// Point records, element tables, point lists and face lists of the attribute channels.
//
// Records: CUVWPoint (texture coordinates u, v, w), CVCPoint (a CRGBColor), CWeightPoint (one
// float). Each is a CPt: the flag word first, then the values, so that the channel point lists
// share the point-list machinery (flags, chunks, clean-up, archives).
//
// Face lists: a channel face list is a plain CFaceList (main data = the flag word) whose face i
// matches geometric face i corner for corner; its corners index the channel's point list. A
// channel face is live under the geometric rule (flags & 3 == 0).
#pragma once

#include <cassert>
#include <cstdint>

#include "kestovar/core/color.h"
#include "kestovar/core/element_array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/face.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

// Element type codes of the channel point tables (four characters, first in the high byte).
constexpr uint32_t ELEMENT_TYPE_UVWPOINT = 0x55565750;     // UVWP
constexpr uint32_t ELEMENT_TYPE_VCPOINT = 0x56435054;      // VCPT
constexpr uint32_t ELEMENT_TYPE_WEIGHTPOINT = 0x57475054;  // WGPT

// Texture coordinates (u, v, w).
class KESTOVAR_API CUVWPoint : public CPt {
public:
    float u, v, w;

    CUVWPoint() : u(0), v(0), w(0) {}
    CUVWPoint(float pu, float pv, float pw = 0.0f) : u(pu), v(pv), w(pw) {}
    CUVWPoint(const CUVWPoint&) = default;
    CUVWPoint& operator=(const CUVWPoint& src) {
        m_flags = src.m_flags;
        u = src.u;
        v = src.v;
        w = src.w;
        return *this;
    }
    CUVWPoint& operator=(const CPt& src) override;
    // Takes x, y, z as u, v, w.
    CUVWPoint& operator=(const C4DPoint& src) override;
    void Serialize(CXArchive& ar) override;
    // (u, v, w, 1).
    void To4DPoint(C4DPoint& out) const override;
    int SizeOf() const override { return int(sizeof(CUVWPoint)); }

    // Exact equality of the three values (flags ignored).
    bool SameValue(const CUVWPoint& o) const { return u == o.u && v == o.v && w == o.w; }
    // Squared distance in (u, v, w), computed in double.
    double SquaredDistance(const CUVWPoint& o) const {
        const double du = double(u) - o.u, dv = double(v) - o.v, dw = double(w) - o.w;
        return du * du + dv * dv + dw * dw;
    }
};

// Vertex colour.
class KESTOVAR_API CVCPoint : public CPt {
public:
    CRGBColor color;

    CVCPoint() = default;
    explicit CVCPoint(const CRGBColor& c) : color(c) {}
    CVCPoint(const CVCPoint&) = default;
    CVCPoint& operator=(const CVCPoint& src) {
        m_flags = src.m_flags;
        color = src.color;
        return *this;
    }
    CVCPoint& operator=(const CPt& src) override;
    // Takes x, y, z, w as r, g, b, a in [0, 1] (scaled by 255, clamped).
    CVCPoint& operator=(const C4DPoint& src) override;
    // The flag word, then the colour as its 32-bit value (r in the low byte).
    void Serialize(CXArchive& ar) override;
    // (r, g, b, a) / 255.
    void To4DPoint(C4DPoint& out) const override;
    int SizeOf() const override { return int(sizeof(CVCPoint)); }

    bool SameValue(const CVCPoint& o) const { return color.GetValue() == o.color.GetValue(); }
    // Largest absolute difference between two matching components (0 to 255).
    int MaxComponentDifference(const CVCPoint& o) const;
};

// One weight.
class KESTOVAR_API CWeightPoint : public CPt {
public:
    float weight;

    CWeightPoint() : weight(0) {}
    explicit CWeightPoint(float w) : weight(w) {}
    CWeightPoint(const CWeightPoint&) = default;
    CWeightPoint& operator=(const CWeightPoint& src) {
        m_flags = src.m_flags;
        weight = src.weight;
        return *this;
    }
    CWeightPoint& operator=(const CPt& src) override;
    // Takes x as the weight.
    CWeightPoint& operator=(const C4DPoint& src) override;
    void Serialize(CXArchive& ar) override;
    // (weight, 0, 0, 1).
    void To4DPoint(C4DPoint& out) const override;
    int SizeOf() const override { return int(sizeof(CWeightPoint)); }
};

// Element tables of the three records (run-time classes, so that archives re-create them).
class KESTOVAR_API CUVWPointMethods : public CPointElementMethods<CUVWPoint, ELEMENT_TYPE_UVWPOINT> {
    KX_DECLARE_SERIAL(CUVWPointMethods)
};
class KESTOVAR_API CVCPointMethods : public CPointElementMethods<CVCPoint, ELEMENT_TYPE_VCPOINT> {
    KX_DECLARE_SERIAL(CVCPointMethods)
};
class KESTOVAR_API CWeightPointMethods : public CPointElementMethods<CWeightPoint, ELEMENT_TYPE_WEIGHTPOINT> {
    KX_DECLARE_SERIAL(CWeightPointMethods)
};

// Typed access shared by the channel point lists: P is the record, TYPE its element type code.
// The list's element table is always P's (the constructors and the archive check see to it), so
// the casts below are exact.
template <class P, uint32_t TYPE>
class CChannelPointListT : public CPointList {
public:
    typedef P PointType;

    // The contiguous records (GetSize() of them; null when the buffer is empty).
    P* GetPoints() { return reinterpret_cast<P*>(m_pData); }
    const P* GetPoints() const { return reinterpret_cast<const P*>(m_pData); }
    // Record i, null when i is not below the count.
    P* GetPoint(int i) { return static_cast<P*>(ElementAt(i)); }
    const P* GetPoint(int i) const { return static_cast<const P*>(ElementAt(i)); }
    P* operator[](int i) { return GetPoint(i); }
    const P* operator[](int i) const { return GetPoint(i); }
    // Record i, unchecked (i must be below the count).
    P& GetAt(int i) {
        assert(i >= 0 && i < m_nSize);
        return GetPoints()[i];
    }
    const P& GetAt(int i) const {
        assert(i >= 0 && i < m_nSize);
        return GetPoints()[i];
    }
    // True when the element table is P's (always, unless the list was loaded from forged bytes).
    bool HasOwnElementType() const { return GetTypeOfElement() == TYPE; }

protected:
    explicit CChannelPointListT(CElementMethods* methods) : CPointList(methods) {}
    CChannelPointListT(CElementMethods* methods, const CPointList& layout) : CPointList(methods, layout) {}
};

class KESTOVAR_API CUVWPointList : public CChannelPointListT<CUVWPoint, ELEMENT_TYPE_UVWPOINT> {
    KX_DECLARE_SERIAL(CUVWPointList)
public:
    CUVWPointList();
    // An empty list whose chunks are shaped like `layout`'s.
    explicit CUVWPointList(const CPointList& layout);
    ~CUVWPointList() override;
    CUVWPointList& operator=(const CUVWPointList& other) {
        CPointList::operator=(other);
        return *this;
    }
    static CUVWPointList* Create() { return new CUVWPointList; }
    static CUVWPointList* FromObject(CXObject* object);
    using CPointList::Add;
    int Add(float u, float v, float w = 0.0f) { return Add(CUVWPoint(u, v, w)); }
};

class KESTOVAR_API CVCPointList : public CChannelPointListT<CVCPoint, ELEMENT_TYPE_VCPOINT> {
    KX_DECLARE_SERIAL(CVCPointList)
public:
    CVCPointList();
    explicit CVCPointList(const CPointList& layout);
    ~CVCPointList() override;
    CVCPointList& operator=(const CVCPointList& other) {
        CPointList::operator=(other);
        return *this;
    }
    static CVCPointList* Create() { return new CVCPointList; }
    static CVCPointList* FromObject(CXObject* object);
    using CPointList::Add;
    int Add(const CRGBColor& c) { return Add(CVCPoint(c)); }
};

class KESTOVAR_API CWeightPointList : public CChannelPointListT<CWeightPoint, ELEMENT_TYPE_WEIGHTPOINT> {
    KX_DECLARE_SERIAL(CWeightPointList)
public:
    CWeightPointList();
    explicit CWeightPointList(const CPointList& layout);
    ~CWeightPointList() override;
    CWeightPointList& operator=(const CWeightPointList& other) {
        CPointList::operator=(other);
        return *this;
    }
    static CWeightPointList* Create() { return new CWeightPointList; }
    static CWeightPointList* FromObject(CXObject* object);
    using CPointList::Add;
    int Add(float w) { return Add(CWeightPoint(w)); }
};

// Face views of the channel face lists: plain views (main data = the flag word), one class per
// list so that code handed a view can tell which kind of channel it belongs to.
class KESTOVAR_API CUVWFace : public CFace {
public:
    ~CUVWFace() override;
};
class KESTOVAR_API CVCFace : public CFace {
public:
    ~CVCFace() override;
};
class KESTOVAR_API CWeightFace : public CFace {
public:
    ~CWeightFace() override;
};
class KESTOVAR_API CNormalFace : public CFace {
public:
    ~CNormalFace() override;
};

class KESTOVAR_API CUVWFaceList : public CFaceList {
    KX_DECLARE_SERIAL(CUVWFaceList)
public:
    CUVWFaceList();
    ~CUVWFaceList() override;
    CUVWFaceList& operator=(const CUVWFaceList& other) {
        CFaceList::operator=(other);
        return *this;
    }
    static CUVWFaceList* Create() { return new CUVWFaceList; }
    static CUVWFaceList* FromObject(CXObject* object);
    // A new CUVWFace.
    CFace* CreateFace() const override;
};

class KESTOVAR_API CVCFaceList : public CFaceList {
    KX_DECLARE_SERIAL(CVCFaceList)
public:
    CVCFaceList();
    ~CVCFaceList() override;
    CVCFaceList& operator=(const CVCFaceList& other) {
        CFaceList::operator=(other);
        return *this;
    }
    static CVCFaceList* Create() { return new CVCFaceList; }
    static CVCFaceList* FromObject(CXObject* object);
    CFace* CreateFace() const override;
};

class KESTOVAR_API CWeightFaceList : public CFaceList {
    KX_DECLARE_SERIAL(CWeightFaceList)
public:
    CWeightFaceList();
    ~CWeightFaceList() override;
    CWeightFaceList& operator=(const CWeightFaceList& other) {
        CFaceList::operator=(other);
        return *this;
    }
    static CWeightFaceList* Create() { return new CWeightFaceList; }
    static CWeightFaceList* FromObject(CXObject* object);
    CFace* CreateFace() const override;
};

class KESTOVAR_API CNormalFaceList : public CFaceList {
    KX_DECLARE_SERIAL(CNormalFaceList)
public:
    CNormalFaceList();
    ~CNormalFaceList() override;
    CNormalFaceList& operator=(const CNormalFaceList& other) {
        CFaceList::operator=(other);
        return *this;
    }
    static CNormalFaceList* Create() { return new CNormalFaceList; }
    static CNormalFaceList* FromObject(CXObject* object);
    CFace* CreateFace() const override;
};

}  // namespace kestovar
