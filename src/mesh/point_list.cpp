// Point lists: sizing and copying of elements together with their data chunks, reordering,
// original indices, checksums, serialisation, and the geometry of 3D point lists.
#include "kestovar/mesh/point_list.h"

#include <cstring>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"

namespace kestovar {

// While alive, the list's element array is worked on alone (see m_bArrayOnly).
class CPointListArrayScope {
public:
    explicit CPointListArrayScope(CPointList& list) : m_list(list), m_previous(list.m_bArrayOnly) {
        list.m_bArrayOnly = true;
    }
    ~CPointListArrayScope() { m_list.m_bArrayOnly = m_previous; }
    CPointListArrayScope(const CPointListArrayScope&) = delete;
    CPointListArrayScope& operator=(const CPointListArrayScope&) = delete;

private:
    CPointList& m_list;
    bool m_previous;
};

namespace {

uint32_t FloatBitsOrZero(float v) {
    // 0.0 and -0.0 compare equal and both add nothing, so a checksum does not depend on the sign
    // of a zero coordinate.
    if (v == 0.0f) return 0;
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof(bits));
    return bits;
}

}  // namespace

double GetCompacityFactor(const C3DTPoint<float>& p0, const C3DTPoint<float>& p1, const C3DTPoint<float>& p2) {
    const double ax = double(p1.x) - p0.x, ay = double(p1.y) - p0.y, az = double(p1.z) - p0.z;
    const double bx = double(p2.x) - p0.x, by = double(p2.y) - p0.y, bz = double(p2.z) - p0.z;
    const double cx = double(p2.x) - p1.x, cy = double(p2.y) - p1.y, cz = double(p2.z) - p1.z;
    const double nx = ay * bz - az * by, ny = az * bx - ax * bz, nz = ax * by - ay * bx;
    const double area = std::sqrt(nx * nx + ny * ny + nz * nz) / 2.0;
    const double edges = ax * ax + ay * ay + az * az + bx * bx + by * by + bz * bz + cx * cx + cy * cy + cz * cz;
    if (edges <= 0.0) return 0.0;
    return 6.928203230275509 * area / edges;
}

// ---- CPointList ----------------------------------------------------------------------------------

KX_IMPLEMENT_DYNAMIC(CPointList, CElementArray)

CPointList::CPointList(CElementMethods* methods)
    : CElementArray(methods), m_nChangedStamp(0), m_nFlags(0), m_bArrayOnly(false) {}

CPointList::CPointList(CElementMethods* methods, const CPointList& layout) : CPointList(methods) {
    m_dataChunks.InitDataChunks(layout.m_dataChunks, 0);
    CElementArray::SetGrowFactor(layout.m_nGrowBy);
}

CPointList::~CPointList() {
    // The array's destructor runs after this one; make its RemoveAll touch the array only.
    m_bArrayOnly = true;
}

CPointList* CPointList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(CPointList))) return nullptr;
    return static_cast<CPointList*>(static_cast<CElementArray*>(object));
}

void CPointList::SetSize(int count, bool keepMemory, int grow) {
    if (m_bArrayOnly) {
        CElementArray::SetSize(count, keepMemory, grow);
        return;
    }
    if (count < 0) XThrow<CXInvalidArgException>("CPointList::SetSize: negative count");
    const int old = m_nSize;
    CElementArray::SetSize(count, keepMemory, grow);
    m_dataChunks.SetDataSize(count, keepMemory, grow);
    if (count == 0) DeleteCaches();
    if (count != old) MarkChanged();
}

void CPointList::RemoveAll() {
    if (m_bArrayOnly) {
        CElementArray::RemoveAll();
        return;
    }
    const int old = m_nSize;
    CElementArray::RemoveAll();
    m_dataChunks.RemoveAll();
    DeleteCaches();
    if (old != 0) MarkChanged();
}

void CPointList::PreAllocate(int count, bool constructAll) {
    if (count < 0) XThrow<CXInvalidArgException>("CPointList::PreAllocate: negative count");
    const int old = m_nSize;
    {
        CPointListArrayScope scope(*this);
        CElementArray::RemoveAll();
        m_bConstructAll = constructAll ? 1 : 0;
        CElementArray::PreAllocate(count);
    }
    m_dataChunks.PreAllocate(count);
    DeleteCaches();
    if (old != 0) MarkChanged();
}

void CPointList::FreeExtra() {
    CElementArray::FreeExtra();
    m_dataChunks.FreeExtra();
}

void CPointList::SetGrowFactor(int grow) {
    CElementArray::SetGrowFactor(grow);
    m_dataChunks.SetGrowFactor(grow);
}

int CPointList::Add(const CPt& point) {
    const int index = m_nSize;
    // `point` may be an element of this list, which the growth may move.
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&point);
    const bool inside = m_pData && p >= m_pData && p < m_pData + size_t(m_nMaxSize) * size_t(m_nElementSize);
    const size_t offset = inside ? size_t(p - m_pData) : 0;
    SetSize(index + 1);
    const CPt& src = inside ? *reinterpret_cast<const CPt*>(m_pData + offset) : point;
    *GetPt(index) = src;
    return index;
}

bool CPointList::CopyPoint(int dst, int src) {
    if (dst < 0 || dst >= m_nSize || src < 0 || src >= m_nSize) return false;
    if (dst == src) return true;
    CElementArray::Copy(dst, src, *this);
    m_dataChunks.CopyData(dst, src);
    MarkChanged();
    return true;
}

bool CPointList::CopyPoint(int dst, int src, const CPointList& other) {
    if (&other == this) return CopyPoint(dst, src);
    if (dst < 0 || dst >= m_nSize || src < 0 || src >= other.m_nSize) return false;
    if (!CElementArray::Copy(dst, src, other)) return false;
    m_dataChunks.CopyData(dst, other.m_dataChunks, src, 1);
    MarkChanged();
    return true;
}

CPointList& CPointList::operator=(const CPointList& other) {
    if (&other == this) return *this;
    if (!CElementMethods::AreOfAKind(m_pMethods, other.m_pMethods))
        XThrow<CXInvalidArgException>("CPointList::operator=: point lists of unrelated types");
    {
        CPointListArrayScope scope(*this);
        CElementArray::SetGrowFactor(other.m_nGrowBy);
        CElementArray::Copy(other, true);
    }
    m_dataChunks.InitDataChunks(other.m_dataChunks, 0);
    m_dataChunks.CopyData(other.m_dataChunks);
    DeleteCaches();
    MarkChanged();
    return *this;
}

bool CPointList::Reorder(const unsigned int* order, unsigned int count, bool inverse) {
    if (count != unsigned(m_nSize)) return false;
    if (count == 0) return true;
    // The chunks first: they reject a table that is not a permutation before anything moved.
    if (!m_dataChunks.Reorder(order, count, inverse)) return false;
    if (!CElementArray::Reorder(order, count, inverse)) return false;
    MarkChanged();
    return true;
}

void CPointList::SavePointsIndex() {
    m_dataChunks.AddDataChunk(POINT_CHUNK_ORIGINAL_INDEX, SharedElementMethods<COriginalIndexMethods>(), DATACHUNK_ALWAYS_NEW | DATACHUNK_COPY);
    CElementArray* a = m_dataChunks.GetData(POINT_CHUNK_ORIGINAL_INDEX);
    uint32_t* v = static_cast<uint32_t*>(a->GetData());
    for (int i = 0; i < m_nSize; ++i) v[i] = uint32_t(i);
}

unsigned int CPointList::GetOriginalIndex(int i) const {
    const void* p = m_dataChunks.GetData(POINT_CHUNK_ORIGINAL_INDEX, i);
    return p ? *static_cast<const uint32_t*>(p) : REMAP_REMOVED;
}

int CPointList::GetNumberOfPoints(unsigned int mask, bool value) const {
    int n = 0;
    for (int i = 0; i < m_nSize; ++i)
        if (((GetPt(i)->GetFlags() & mask) != 0) == value) ++n;
    return n;
}

int CPointList::GetNumberOfPoints(_POINT_PROPERTIES mask, bool value) const {
    const unsigned m = unsigned(mask);
    int n = 0;
    for (int i = 0; i < m_nSize; ++i)
        if (((GetPt(i)->GetFlags() & m) == m) == value) ++n;
    return n;
}

void CPointList::SetPointsFlags(unsigned int flags, bool set) {
    for (int i = 0; i < m_nSize; ++i) GetPt(i)->SetFlags(flags, set);
    if (m_nSize) MarkChanged();
}

int CPointList::AddDataChunk(uint32_t id, CElementMethods* methods, unsigned int options) {
    return m_dataChunks.AddDataChunk(id, methods, options);
}

void CPointList::SetFlag(_POINTLIST_PROPERTIES flag, bool set) {
    if (!set) {
        m_nFlags &= ~unsigned(flag);
        return;
    }
    m_nFlags |= unsigned(flag);
    if (flag & POINTLIST_CHANGED) ++m_nChangedStamp;
}

uint32_t CPointList::GetChecksum(unsigned int mask) const {
    if (!(mask & 0x2u)) return 0;
    uint32_t h = 0;
    for (int i = 0; i < m_nSize; ++i) {
        const unsigned flags = GetPt(i)->GetFlags();
        if (flags & POINT_REMOVED) continue;
        h = WangHash32(h + uint32_t(i)) + 16u * flags;
    }
    return h;
}

void CPointList::Serialize(CXArchive& ar) {
    if (ar.IsStoring()) {
        m_dataChunks.Serialize(ar);
        CElementArray::Serialize(ar);
        return;
    }
    RemoveAll();
    // The stored table must be this list's own: the typed accessors rely on the record layout.
    CElementMethods* expected = XAddRef(m_pMethods);
    try {
        m_dataChunks.Serialize(ar);
        {
            CPointListArrayScope scope(*this);
            CElementArray::Serialize(ar);
        }
        if (expected && (!m_pMethods || m_pMethods->GetType() != expected->GetType()))
            XThrow<CXArchiveException>(CXArchiveException::badClass, "point list of another element type");
        if (m_nSize != m_dataChunks.GetDataSize())
            XThrow<CXArchiveException>(CXArchiveException::badIndex, "point data chunks do not match the points");
    } catch (...) {
        {
            CPointListArrayScope scope(*this);
            CElementArray::RemoveAll();
            if (expected) SetMethods(expected);
        }
        m_dataChunks.DeleteAll();
        XRelease(expected);
        throw;
    }
    XRelease(expected);
    MarkChanged();
}

// ---- C3DPointList --------------------------------------------------------------------------------

KX_IMPLEMENT_SERIAL(C3DPointList, CPointList, 1)

C3DPointList::C3DPointList()
    : CPointList(SharedElementMethods<C3DPointMethods>()), m_pPointMaterialGraph(nullptr), m_pGridMap(nullptr) {}

C3DPointList::C3DPointList(const CPointList& layout)
    : CPointList(SharedElementMethods<C3DPointMethods>(), layout), m_pPointMaterialGraph(nullptr), m_pGridMap(nullptr) {}

C3DPointList::~C3DPointList() { DeleteCaches(); }

C3DPointList* C3DPointList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(C3DPointList))) return nullptr;
    return static_cast<C3DPointList*>(CPointList::FromObject(object));
}

void C3DPointList::DeletePointMaterialGraph() {
    delete m_pPointMaterialGraph;
    m_pPointMaterialGraph = nullptr;
}

void C3DPointList::SetGridMapObject(CInstanciatedObject* map) {
    if (map == m_pGridMap) return;
    XRelease(m_pGridMap);
    m_pGridMap = map;
}

void C3DPointList::DeleteGridMap() { XRelease(m_pGridMap); }

void C3DPointList::DeleteCaches() {
    DeletePointMaterialGraph();
    DeleteGridMap();
}

bool C3DPointList::GetBoundingBox(C3DTBBox<float>& box, unsigned int mask, bool value,
                                  const C4x4TMatrix<float>* transform) const {
    box.Empty();
    const C3DTPoint<float>* p = GetPoints();
    for (int i = 0; i < m_nSize; ++i) {
        if (mask && ((p[i].GetFlags() & mask) != 0) != value) continue;
        if (transform)
            box.Add(transform->TransformPoint(p[i]));
        else
            box.Add(p[i]);
    }
    return !box.IsEmpty();
}

bool C3DPointList::GetBoundingBox(C3DTPoint<float>& min, C3DTPoint<float>& max, unsigned int mask, bool value,
                                  const C4x4TMatrix<float>* transform) const {
    C3DTBBox<float> box;
    bool found = GetBoundingBox(box, mask, value, transform);
    min.Init(box.GetMin().x, box.GetMin().y, box.GetMin().z);
    max.Init(box.GetMax().x, box.GetMax().y, box.GetMax().z);
    return found;
}

bool C3DPointList::GetCenterOfBoundingBox(C3DTPoint<float>& center) const {
    C3DTBBox<float> box;
    if (!GetBoundingBox(box)) return false;
    C3DTPoint<float> c = box.GetCenter();
    center.Init(c.x, c.y, c.z);
    return true;
}

bool C3DPointList::MatrixTransform(const C4x4TMatrix<float>& m, _POINT_PROPERTIES mask, bool value) {
    if (m.IsIdentity()) return false;
    const unsigned bits = unsigned(mask);
    C3DTPoint<float>* p = GetPoints();
    for (int i = 0; i < m_nSize; ++i) {
        if (bits && ((p[i].GetFlags() & bits) == bits) != value) continue;
        p[i] = m.TransformPoint(p[i]);
    }
    MarkChanged();
    return true;
}

void C3DPointList::SwapCoordinates(unsigned int code) {
    C3DTPoint<float>* p = GetPoints();
    for (int i = 0; i < m_nSize; ++i) p[i].Swap(code);
    if (m_nSize) MarkChanged();
}

bool C3DPointList::GetNormal(const int* indices, C3DTVector<float>& normal, int count) const {
    normal.Init(0.0f, 0.0f, 0.0f);
    if (!indices || count < 3) return false;
    for (int k = 0; k < count; ++k)
        if (indices[k] < 0 || indices[k] >= m_nSize) return false;
    // Newell's method: exact for planar polygons, a least-squares plane normal otherwise.
    const C3DTPoint<float>* p = GetPoints();
    double nx = 0.0, ny = 0.0, nz = 0.0;
    for (int k = 0; k < count; ++k) {
        const C3DTPoint<float>& a = p[indices[k]];
        const C3DTPoint<float>& b = p[indices[k + 1 == count ? 0 : k + 1]];
        nx += (double(a.y) - b.y) * (double(a.z) + b.z);
        ny += (double(a.z) - b.z) * (double(a.x) + b.x);
        nz += (double(a.x) - b.x) * (double(a.y) + b.y);
    }
    const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(len > 0.0)) return false;
    normal.Init(float(nx / len), float(ny / len), float(nz / len));
    return true;
}

double C3DPointList::GetCompacityFactor(const int* indices) const {
    for (int k = 0; k < 3; ++k)
        if (indices[k] < 0 || indices[k] >= m_nSize) return 0.0;
    const C3DTPoint<float>* p = GetPoints();
    return kestovar::GetCompacityFactor(p[indices[0]], p[indices[1]], p[indices[2]]);
}

uint32_t C3DPointList::GetChecksum(unsigned int mask) const {
    if (!(mask & 0x3u)) return 0;
    uint32_t h = 0;
    if (mask & 0x1u) {
        const C3DTPoint<float>* p = GetPoints();
        for (int i = 0; i < m_nSize; ++i) {
            if (p[i].GetFlags() & POINT_REMOVED) continue;
            h = WangHash32(h + uint32_t(i)) + FloatBitsOrZero(p[i].x) + FloatBitsOrZero(p[i].y) +
                FloatBitsOrZero(p[i].z);
        }
    }
    if (mask & 0x2u) h += CPointList::GetChecksum(mask);
    return h;
}

// ---- C3DVectorList and C2DPointList --------------------------------------------------------------

KX_IMPLEMENT_SERIAL(C3DVectorList, CPointList, 1)

C3DVectorList::C3DVectorList() : CPointList(SharedElementMethods<C3DVectorMethods>()) {}
C3DVectorList::C3DVectorList(const CPointList& layout) : CPointList(SharedElementMethods<C3DVectorMethods>(), layout) {}
C3DVectorList::~C3DVectorList() = default;

C3DVectorList* C3DVectorList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(C3DVectorList))) return nullptr;
    return static_cast<C3DVectorList*>(CPointList::FromObject(object));
}

KX_IMPLEMENT_SERIAL(C2DPointList, CPointList, 1)

C2DPointList::C2DPointList() : CPointList(SharedElementMethods<C2DPointMethods>()) {}
C2DPointList::C2DPointList(const CPointList& layout) : CPointList(SharedElementMethods<C2DPointMethods>(), layout) {}
C2DPointList::~C2DPointList() = default;

C2DPointList* C2DPointList::FromObject(CXObject* object) {
    if (!object || !object->IsKindOf(KX_RUNTIME_CLASS(C2DPointList))) return nullptr;
    return static_cast<C2DPointList*>(CPointList::FromObject(object));
}

}  // namespace kestovar
