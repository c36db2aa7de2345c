// Face views (writes through a view into its list's records) and the detached single face.
#include "kestovar/mesh/face.h"

#include <algorithm>

#include "kestovar/mesh/face_list.h"

namespace kestovar {

// ---- CFace ---------------------------------------------------------------------------------------

CFace::~CFace() = default;

void CFace::Resize(unsigned int count) {
    // Growing past the capacity moves the record to the end of the buffer (and may move the
    // buffer); the view follows. The caller's writes allow a compaction of the slack first.
    CFaceCollection::Element* e = m_pRecords->SetRecordSize(m_nFace, count, true);
    m_nCount = count;
    m_pIndexes = e->GetData();
}

void CFace::SetTriangle(int a, int b, int c) {
    Resize(3);
    m_pIndexes[0] = a;
    m_pIndexes[1] = b;
    m_pIndexes[2] = c;
    SetFlags(FACE_INVALID, false);
}

void CFace::SetQuadrangle(int a, int b, int c, int d) {
    Resize(4);
    m_pIndexes[0] = a;
    m_pIndexes[1] = b;
    m_pIndexes[2] = c;
    m_pIndexes[3] = d;
    SetFlags(FACE_INVALID, false);
}

void CFace::SetSize(unsigned int count) {
    Resize(count);
    if (count < 3) SetFlags(FACE_INVALID, true);
}

void CFace::SetIndexes(const int* indices, unsigned int count) {
    if (!indices || count == 0) {
        SetSize(count);
        return;
    }
    // `indices` may lie in this list's buffer, which the resize may move or clear: copy it aside
    // first (on the stack for ordinary faces).
    int local[32];
    CXArray<int> heap;
    int* aside = local;
    if (count > 32) {
        heap.SetSize(int(count));
        aside = heap.GetData();
    }
    std::copy(indices, indices + count, aside);
    SetSize(count);
    std::copy(aside, aside + count, m_pIndexes);
}

void CFace::AddIndex(int point) {
    const unsigned count = m_nCount;
    Resize(count + 1);
    m_pIndexes[count] = point;
    if (count + 1 < 2) SetFlags(FACE_INVALID, true);
}

bool CFace::ReplaceIndex(int oldPoint, int newPoint) {
    bool found = false;
    for (unsigned k = 0; k < m_nCount; ++k)
        if (m_pIndexes[k] == oldPoint) {
            m_pIndexes[k] = newPoint;
            found = true;
        }
    return found;
}

bool CFace::RemoveIndex(unsigned int position) {
    if (position >= m_nCount) return false;
    std::copy(m_pIndexes + position + 1, m_pIndexes + m_nCount, m_pIndexes + position);
    Resize(m_nCount - 1);
    return true;
}

void CFace::Flip() { std::reverse(m_pIndexes, m_pIndexes + m_nCount); }

C3DFace::~C3DFace() = default;

// ---- CSingleFace ---------------------------------------------------------------------------------

CSingleFace::CSingleFace() { m_record.Add(nullptr, 0, kInitialCapacity); }

CSingleFace::CSingleFace(const CFaceList& list) : CSingleFace() { InitDataChunks(list); }

CSingleFace::~CSingleFace() = default;

void CSingleFace::InitDataChunks(const CFaceList& list) {
    m_dataChunks.InitDataChunks(list.GetDataChunks(), 0);
    Empty();
}

void CSingleFace::Empty() {
    m_record.SetRecordSize(0, 0);
    m_dataChunks.SetDataSize(0, true);
}

void CSingleFace::SetIndexes(const int* indices, unsigned int count) { m_record.SetRecord(0, indices, count); }

}  // namespace kestovar
