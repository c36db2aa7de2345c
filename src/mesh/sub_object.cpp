// Extraction of faces into a new object: C3DGeomObject::SubObject.
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"

namespace kestovar {

namespace {

// Gives `v` its new index in `map` (old -> new, REMAP_REMOVED until met), numbering points in
// the order they are first met.
inline int MapPoint(unsigned int* map, unsigned int& next, int v) {
    if (map[v] == REMAP_REMOVED) map[v] = next++;
    return int(map[v]);
}

}  // namespace

C3DObject* C3DGeomObject::SubObject(const int* faces, unsigned int count) {
    if (!faces || count == 0 || !m_pFaceList || !m_pPointList || m_pFaceList->GetSize() == 0) return nullptr;
    C3DFaceList& src = *m_pFaceList;
    const C3DPointList& srcPoints = *m_pPointList;
    const int nFaces = src.GetSize();
    const int nPoints = srcPoints.GetSize();

    // The faces taken: listed, in range and live.
    CXArray<int> taken;
    unsigned int longest = 3;
    for (unsigned int i = 0; i < count; ++i) {
        int f = faces[i];
        if (f < 0 || f >= nFaces || !src.IsFaceLive(unsigned(f))) continue;
        taken.Add(f);
        if (src.GetFaceSize(unsigned(f)) > longest) longest = src.GetFaceSize(unsigned(f));
    }
    if (taken.IsEmpty()) return nullptr;
    const int nTaken = taken.GetSize();

    // Each new list and channel is held until its owner takes it, so that a failure on the way
    // releases what was made.
    XHeld<C3DFaceList> heldFaces(new C3DFaceList);
    C3DFaceList* dstFaces = heldFaces.get();
    dstFaces->InheritSettings(src);
    dstFaces->SetSize(nTaken, int(longest), SETSIZE_COMPACT_SLACK);

    CXArray<unsigned int> pointMap;
    pointMap.SetSize(nPoints);
    for (unsigned int& m : pointMap) m = REMAP_REMOVED;
    unsigned int nextPoint = 0;
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
            out[i] = MapPoint(pointMap.GetData(), nextPoint, v);
        }
        view.SetFlags(FACE_INVALID, !valid);
    }
    dstFaces->FreeExtra();

    XHeld<C3DPointList> heldPoints(new C3DPointList(static_cast<const CPointList&>(srcPoints)));
    C3DPointList* dstPoints = heldPoints.get();
    dstPoints->SetSize(int(nextPoint));
    for (int v = 0; v < nPoints; ++v)
        if (pointMap[v] != REMAP_REMOVED) dstPoints->CopyPoint(int(pointMap[v]), v, srcPoints);
    dstPoints->FreeExtra();

    XHeld<C3DObject> held(new C3DObject);
    C3DObject* object = held.get();
    object->InheritFlags(*this, 0);
    object->SetPointList(heldPoints.release(), true);
    object->SetFaceList(heldFaces.release(), true);

    if (!m_pChannels) return held.release();
    CXArray<unsigned int> channelMap;
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
                dp->SetSize(int(nextPoint));
                for (int v = 0; v < nPoints; ++v)
                    if (pointMap[v] != REMAP_REMOVED) dp->CopyPoint(int(pointMap[v]), v, *cp);
                object->AddChannel(heldCopy.release());
            }
            continue;
        }
        if (!df || !cp || !dp) continue;
        const int nChannelPoints = cp->GetSize();
        channelMap.SetSize(nChannelPoints);
        for (unsigned int& m : channelMap) m = REMAP_REMOVED;
        unsigned int nextChannelPoint = 0;
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
                out[i] = MapPoint(channelMap.GetData(), nextChannelPoint, v);
            }
            view.SetFlags(FACE_INVALID, !valid);
        }
        if (nextChannelPoint == 0) continue;
        dp->SetSize(int(nextChannelPoint));
        for (int v = 0; v < nChannelPoints; ++v)
            if (channelMap[v] != REMAP_REMOVED) dp->CopyPoint(int(channelMap[v]), v, *cp);
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
