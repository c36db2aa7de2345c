// Extraction of faces into a new object: C3DGeomObject::SubObject.
#include <algorithm>
#include <cstdint>

#include "kestovar/core/hashmap.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

namespace {

// New indices of the points of a list taken by some faces, numbered in the order they are first
// met, and the old index of each new one. A few faces of a large list (one part of many, when an
// object is split into its parts) are numbered through a hash map, so that the work follows the
// faces taken rather than the whole list; otherwise an array over the list serves.
class CFirstMetNumbering {
public:
    // `size` points in the list, about `corners` corners to number.
    void Start(int size, int64_t corners) {
        m_order.SetSize(0);
        m_useArray = corners * 8 >= int64_t(size);
        if (m_useArray) {
            m_array.SetSize(size);
            for (unsigned int& m : m_array) m = REMAP_REMOVED;
        } else {
            m_hash.InitHashTable(unsigned(2 * corners + 1));
        }
    }
    // The new index of point `v` (0 <= v < size).
    int Map(int v) {
        const unsigned int next = unsigned(m_order.GetSize());
        unsigned int& slot = m_useArray ? m_array[v] : m_hash.GetOrInsert(v);
        if (m_useArray ? slot == REMAP_REMOVED : slot == 0) {
            slot = m_useArray ? next : next + 1;  // the hash map's slots start at 0: stored + 1
            m_order.Add(v);
        }
        return int(m_useArray ? slot : slot - 1);
    }
    int GetCount() const { return m_order.GetSize(); }
    // The old index of new point `i`.
    int OldIndex(int i) const { return m_order[i]; }

private:
    bool m_useArray = true;
    CXArray<unsigned int> m_array;
    CHashMap<int, int, unsigned int> m_hash;
    CXArray<int> m_order;
};

}  // namespace

C3DObject* C3DGeomObject::SubObject(const int* faces, unsigned int count) {
    if (!faces || count == 0 || !m_pFaceList || !m_pPointList || m_pFaceList->GetSize() == 0) return nullptr;
    C3DFaceList& src = *m_pFaceList;
    const C3DPointList& srcPoints = *m_pPointList;
    const int nFaces = src.GetSize();
    const int nPoints = srcPoints.GetSize();

    // The faces taken: listed, in range and live; their longest size and their corners.
    CXArray<int> taken;
    unsigned int longest = 3;
    int64_t corners = 0;
    for (unsigned int i = 0; i < count; ++i) {
        int f = faces[i];
        if (f < 0 || f >= nFaces || !src.IsFaceLive(unsigned(f))) continue;
        taken.Add(f);
        const unsigned int size = src.GetFaceSize(unsigned(f));
        longest = std::max(longest, size);
        corners += size;
    }
    if (taken.IsEmpty()) return nullptr;
    const int nTaken = taken.GetSize();

    // Each new list and channel is held until its owner takes it, so that a failure on the way
    // releases what was made.
    XHeld<C3DFaceList> heldFaces(new C3DFaceList);
    C3DFaceList* dstFaces = heldFaces.get();
    dstFaces->InheritSettings(src);
    dstFaces->SetSize(nTaken, int(longest), SETSIZE_COMPACT_SLACK);

    CFirstMetNumbering pointMap;
    pointMap.Start(nPoints, corners);
    CFace view;
    for (int d = 0; d < nTaken; ++d) {
        int f = taken[d];
        int k = 0;
        const int* idx = src.GetIndexes(unsigned(f), k);
        dstFaces->CopyFace(unsigned(d), unsigned(f), src, true);
        dstFaces->GetFace(unsigned(d), view);
        view.SetSize(unsigned(k));
        int* out = view.GetIndexes();
        bool valid = k >= 3;
        for (int i = 0; i < k; ++i) {
            int v = idx[i];
            if (v < 0 || v >= nPoints) {
                // A corner outside the point list cannot be carried: the face is kept invalid.
                out[i] = 0;
                valid = false;
                continue;
            }
            out[i] = pointMap.Map(v);
        }
        view.SetFlags(FACE_INVALID, !valid);
    }
    dstFaces->FreeExtra();

    const int nextPoint = pointMap.GetCount();
    XHeld<C3DPointList> heldPoints(new C3DPointList(static_cast<const CPointList&>(srcPoints)));
    C3DPointList* dstPoints = heldPoints.get();
    dstPoints->SetSize(nextPoint);
    for (int i = 0; i < nextPoint; ++i) dstPoints->CopyPoint(i, pointMap.OldIndex(i), srcPoints);
    dstPoints->FreeExtra();

    XHeld<C3DObject> held(new C3DObject);
    C3DObject* object = held.get();
    object->InheritFlags(*this, 0);
    object->SetPointList(heldPoints.release(), true);
    object->SetFaceList(heldFaces.release(), true);

    if (!m_pChannels) return held.release();
    CFirstMetNumbering channelMap;
    for (int c = 0; c < m_pChannels->GetSize(); ++c) {
        CChannel* channel = m_pChannels->GetChannel(c);
        if (channel->IsOneFlagSet(CHANNEL_INVALID | CHANNEL_DERIVED)) continue;
        CPointList* cp = channel->GetPointList();
        CFaceList* cf = channel->GetFaceList();
        if (cf && cf->GetSize() != nFaces) continue;  // no longer parallel to the faces
        XHeld<CChannel> heldCopy(channel->Copy(CHANNEL_COPY_KEEP_ID | CHANNEL_COPY_NO_CONTENT));
        CChannel* copy = heldCopy.get();
        if (!copy) continue;
        CPointList* dp = copy->GetPointList();
        CFaceList* df = copy->GetFaceList();
        if (!cf) {
            // One value per geometric point: follow the point map.
            if (cp && dp && cp->GetSize() == nPoints) {
                dp->SetSize(nextPoint);
                for (int i = 0; i < nextPoint; ++i) dp->CopyPoint(i, pointMap.OldIndex(i), *cp);
                object->AddChannel(heldCopy.release());
            }
            continue;
        }
        if (!df || !cp || !dp) continue;
        const int nChannelPoints = cp->GetSize();
        channelMap.Start(nChannelPoints, corners);
        df->InheritSettings(*cf);
        df->SetSize(nTaken, int(longest), SETSIZE_COMPACT_SLACK);
        for (int d = 0; d < nTaken; ++d) {
            int f = taken[d];
            df->CopyFace(unsigned(d), unsigned(f), *cf, true);
            if (!cf->IsFaceLive(unsigned(f))) continue;
            int k = 0;
            const int* idx = cf->GetIndexes(unsigned(f), k);
            df->GetFace(unsigned(d), view);
            view.SetSize(unsigned(k));
            int* out = view.GetIndexes();
            bool valid = k >= 3;
            for (int i = 0; i < k; ++i) {
                int v = idx[i];
                if (v < 0 || v >= nChannelPoints) {
                    out[i] = 0;
                    valid = false;
                    continue;
                }
                out[i] = channelMap.Map(v);
            }
            view.SetFlags(FACE_INVALID, !valid);
        }
        const int nextChannelPoint = channelMap.GetCount();
        if (nextChannelPoint == 0) continue;
        dp->SetSize(nextChannelPoint);
        for (int i = 0; i < nextChannelPoint; ++i) dp->CopyPoint(i, channelMap.OldIndex(i), *cp);
        object->AddChannel(heldCopy.release());
    }
    return held.release();
}

C3DObject* C3DGeomObject::SubObject(int pointCount, _SUBOBJECT_MODE mode) {
    if (!m_pFaceList || m_pFaceList->GetSize() == 0) return nullptr;
    if (mode != SUBOBJECT_EQUAL && mode != SUBOBJECT_MORE) return nullptr;
    CXArray<int> faces;
    const int n = m_pFaceList->GetSize();
    for (int f = 0; f < n; ++f) {
        if (!m_pFaceList->IsFaceLive(unsigned(f))) continue;
        int k = int(m_pFaceList->GetFaceSize(unsigned(f)));
        if (mode == SUBOBJECT_EQUAL ? k == pointCount : k > pointCount) faces.Add(f);
    }
    if (faces.IsEmpty()) return nullptr;
    return SubObject(faces.GetData(), unsigned(faces.GetSize()));
}

}  // namespace kestovar
