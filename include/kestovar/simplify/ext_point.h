// Points that carry quadrics: C3DExtPoint (a point with its quadric, as a value), its element
// table C3DExPointMethods and the point list CExtPointList of the simplification engine.
//
// Layout of CExtPointList. The list's elements are ordinary C3DTPoint<float> records (24-byte
// stride) and the quadrics live in a parallel contiguous array owned by the list, indexed like the
// points. Every mesh algorithm written against C3DPointList (bounding boxes, corner and border
// status, triangulation, normals, comparison) reads the points as a contiguous C3DTPoint<float>
// array; keeping that stride lets all of them work on the engine's working copy unchanged, and
// keeps the quadric loops of the engine on a dense array of their own. The quadrics are scratch
// of a preparation: they are never copied with a point, never serialised, and are filled by
// C3DExtObject::InitPointsQuadric.
#pragma once

#include <cassert>

#include "kestovar/core/array.h"
#include "kestovar/core/element_array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/point.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/simplify/quadric.h"

namespace kestovar {

// Element type code of CExtPointList tables ("3DEP").
constexpr uint32_t ELEMENT_TYPE_3DEXTPOINT = 0x33444550;

// A point (flag word and x, y, z) followed by its quadric.
class KESTOVAR_API C3DExtPoint : public C3DTPoint<float> {
public:
    // Flags 0, coordinates 0, quadric cleared.
    C3DExtPoint() : m_quadric(true) {}
    C3DExtPoint(float px, float py, float pz) : C3DTPoint<float>(px, py, pz), m_quadric(true) {}
    C3DExtPoint(const C3DExtPoint&) = default;
    explicit C3DExtPoint(const C3DTPoint<float>& p) : C3DTPoint<float>(p), m_quadric(true) {}

    C3DExtPoint& operator=(const C3DExtPoint& src) {
        C3DTPoint<float>::operator=(static_cast<const C3DTPoint<float>&>(src));
        m_quadric = src.m_quadric;
        return *this;
    }
    // Flags and coordinates only; the quadric stays.
    C3DExtPoint& operator=(const C3DTPoint<float>& src) {
        C3DTPoint<float>::operator=(src);
        return *this;
    }
    int SizeOf() const override { return int(sizeof(C3DExtPoint)); }

    CSymMatrix& GetQuadric() { return m_quadric; }
    const CSymMatrix& GetQuadric() const { return m_quadric; }

private:
    CSymMatrix m_quadric;
};

// Element table of CExtPointList: the records are C3DTPoint<float> (see the header comment) under
// the type code 0x33444550. New elements have flags 0 and coordinates 0; copying an element copies
// the flag word and the coordinates. The table is of a kind with the plain 3D point table, so the
// two lists exchange points directly.
class KESTOVAR_API C3DExPointMethods : public C3DPointMethods {
    KX_DECLARE_SERIAL(C3DExPointMethods)
public:
    uint32_t GetType() const override { return ELEMENT_TYPE_3DEXTPOINT; }
    bool IsKindOf(const CElementMethods* other) const override {
        return other && (other->GetType() == ELEMENT_TYPE_POINTS || other->GetType() == ELEMENT_TYPE_3DPOINT ||
                         other->GetType() == ELEMENT_TYPE_3DEXTPOINT);
    }
};

class KESTOVAR_API CExtPointList : public C3DPointList {
    KX_DECLARE_SERIAL(CExtPointList)
public:
    CExtPointList();
    // An empty list whose chunks are shaped like `layout`'s.
    explicit CExtPointList(const CPointList& layout);
    ~CExtPointList() override;
    CExtPointList(const CExtPointList&) = delete;

    // Flags, coordinates and chunk data of `other` (any 3D point list); the quadric array is
    // dropped.
    CExtPointList& operator=(const C3DPointList& other);
    CExtPointList& operator=(const CExtPointList& other) { return *this = static_cast<const C3DPointList&>(other); }

    static CExtPointList* FromObject(CXObject* object);

    // Point access (the records are C3DTPoint<float>; see the header comment).
    C3DTPoint<float>* ElementAt(int i) { return GetPoint(i); }
    const C3DTPoint<float>* ElementAt(int i) const { return GetPoint(i); }
    C3DTPoint<float>* operator[](int i) { return GetPoint(i); }
    const C3DTPoint<float>* operator[](int i) const { return GetPoint(i); }
    C3DTPoint<float>* GetFirst() { return GetPoint(0); }
    C3DTPoint<float>* GetNext(C3DTPoint<float>* p) {
        C3DTPoint<float>* end = GetPoints() + GetSize();
        return (p + 1 < end) ? p + 1 : nullptr;
    }
    // Overwrite point i: from an extended point, the flags, the coordinates and (when the quadric
    // array is allocated) the quadric; from a plain point, the flags and coordinates. False when
    // i is out of range.
    bool SetAt(int i, const C3DExtPoint* p);
    bool SetAt(int i, const C3DTPoint<float>* p);
    // Point i with its quadric as one value (the quadric is cleared when the array is absent).
    C3DExtPoint GetExtPoint(int i) const;

    // ---- quadrics ----
    // Allocates (or re-sizes) the quadric array to the point count, leaving the values undefined.
    void AllocQuadrics();
    // Clears every quadric (allocating the array first when needed).
    void ClearQuadrics();
    void FreeQuadrics() { m_quadrics.RemoveAll(); }
    bool HasQuadrics() const { return m_quadrics.GetSize() == GetSize() && GetSize() > 0; }
    int GetQuadricCount() const { return m_quadrics.GetSize(); }
    // Quadric of point i (i below the quadric count).
    CSymMatrix& GetQuadric(int i) {
        assert(i >= 0 && i < m_quadrics.GetSize());
        return m_quadrics.GetData()[i];
    }
    const CSymMatrix& GetQuadric(int i) const {
        assert(i >= 0 && i < m_quadrics.GetSize());
        return m_quadrics.GetData()[i];
    }
    CSymMatrix* GetQuadrics() { return m_quadrics.GetData(); }
    const CSymMatrix* GetQuadrics() const { return m_quadrics.GetData(); }

    // Size changes keep the quadric array (when allocated) as long as the points.
    void SetSize(int count, bool keepMemory = false, int grow = -1) override;
    void RemoveAll() override;

private:
    CXArray<CSymMatrix> m_quadrics;
};

}  // namespace kestovar
