// CExtPointList: the engine's point list (C3DTPoint<float> records plus a parallel quadric array).
#include "kestovar/simplify/ext_point.h"

namespace kestovar {

KX_IMPLEMENT_SERIAL(C3DExPointMethods, C3DPointMethods, 1)
KX_IMPLEMENT_SERIAL(CExtPointList, C3DPointList, 1)

CExtPointList::CExtPointList() : C3DPointList(), m_quadrics(-2) { CElementArray::SetMethods(SharedElementMethods<C3DExPointMethods>()); }

CExtPointList::CExtPointList(const CPointList& layout) : C3DPointList(layout), m_quadrics(-2) {
    CElementArray::SetMethods(SharedElementMethods<C3DExPointMethods>());
}

CExtPointList::~CExtPointList() = default;

CExtPointList* CExtPointList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(CExtPointList))) return nullptr;
    return static_cast<CExtPointList*>(CPointList::FromObject(object));
}

CExtPointList& CExtPointList::operator=(const C3DPointList& other) {
    if (&other == this) return *this;
    CPointList::operator=(other);
    m_quadrics.RemoveAll();
    return *this;
}

bool CExtPointList::SetAt(int i, const C3DExtPoint* p) {
    C3DTPoint<float>* dst = GetPoint(i);
    if (!dst || !p) return false;
    *dst = static_cast<const C3DTPoint<float>&>(*p);
    if (i < m_quadrics.GetSize()) m_quadrics[i] = p->GetQuadric();
    MarkChanged();
    return true;
}

bool CExtPointList::SetAt(int i, const C3DTPoint<float>* p) {
    C3DTPoint<float>* dst = GetPoint(i);
    if (!dst || !p) return false;
    *dst = *p;
    MarkChanged();
    return true;
}

C3DExtPoint CExtPointList::GetExtPoint(int i) const {
    const C3DTPoint<float>* p = GetPoint(i);
    C3DExtPoint r;
    if (!p) return r;
    r = *p;
    if (i < m_quadrics.GetSize()) r.GetQuadric() = m_quadrics[i];
    return r;
}

void CExtPointList::AllocQuadrics() { m_quadrics.SetSize(GetSize()); }

// Slots the array adds come zero-filled, which is the bit pattern of a cleared quadric (ten
// +0.0), so only the slots it already held are cleared again (none on a first preparation).
void CExtPointList::ClearQuadrics() {
    const int held = m_quadrics.GetSize();
    AllocQuadrics();
    CSymMatrix* q = m_quadrics.GetData();
    for (int i = 0, n = held < m_quadrics.GetSize() ? held : m_quadrics.GetSize(); i < n; ++i) q[i].Init();
}

void CExtPointList::SetSize(int count, bool keepMemory, int grow) {
    C3DPointList::SetSize(count, keepMemory, grow);
    if (m_quadrics.GetSize() > 0) m_quadrics.SetSize(GetSize());
}

void CExtPointList::RemoveAll() {
    C3DPointList::RemoveAll();
    m_quadrics.RemoveAll();
}

}  // namespace kestovar
