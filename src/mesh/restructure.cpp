// Restructuring of objects: C3DGeomObject::Concatenate (appending another object's faces) and
// C3DGeomObject::DisconnectBorderFaces (separating faces that meet only at a point).
#include <algorithm>
#include <cstring>

#include "kestovar/core/log.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/object.h"
#include "kestovar/mesh/point_list.h"
#include "list_room.h"

namespace kestovar {

namespace {

constexpr unsigned kDeadFace = FACE_INVALID | FACE_HIDDEN;

// Appends faces [0, count) of `from` to `to`, adding `offset` to every index of a live face.
void AppendFaces(CFaceList& to, const CFaceList& from, int offset) {
    const int count = from.GetSize();
    const int first = to.ExpandSize(count);
    for (int i = 0; i < count; ++i) {
        to.CopyFace(unsigned(first + i), unsigned(i), from);
        if (!from.IsFaceLive(unsigned(i))) continue;
        int k = 0;
        int* idx = to.GetIndexes(unsigned(first + i), k);
        for (int j = 0; j < k; ++j) idx[j] += offset;
    }
}

// Appends every point of `from` to `to` (elements and chunk data), the room growing by doubling
// so that appending many small objects one after the other stays linear.
void AppendPoints(CPointList& to, const CPointList& from) {
    const int first = to.GetSize();
    detail::MakeRoomByDoubling(to, first + from.GetSize());
    to.SetSize(first + from.GetSize());
    for (int i = 0; i < from.GetSize(); ++i) to.CopyPoint(first + i, i, from);
}

// Whether the channel is edited together with the geometry (and so must follow an append).
bool Follows(const CChannel* c) { return !c->IsOneFlagSet(CHANNEL_INVALID | CHANNEL_DERIVED); }

}  // namespace

bool C3DGeomObject::Concatenate(const C3DGeomObject& source, const C4x4TMatrix<float>* transform,
                                unsigned int material) {
    const C3DFaceList* sourceFaces = source.GetFaceList();
    if (!sourceFaces || !source.GetPointList() || sourceFaces->GetSize() == 0) return false;
    CXArray<int> taken;
    for (int f = 0; f < sourceFaces->GetSize(); ++f)
        if (sourceFaces->IsFaceLive(unsigned(f)) &&
            (material == 0xFFFFFFFFu || sourceFaces->GetFaceMaterial(unsigned(f)) == material))
            taken.Add(f);
    if (taken.IsEmpty()) return false;
    CLogTimer timer("C3DGeomObject::Concatenate");
    // The faces taken with the points they use and the matching channel data, compacted, then
    // moved into this object's frame (points, normals and orientation together).
    // The part and the channels made for it are held until used or handed over, so that a failure
    // on the way releases them.
    const XHeld<C3DObject> part(
        const_cast<C3DGeomObject&>(source).SubObject(taken.GetData(), unsigned(taken.GetSize())));
    if (!part) return false;
    if (transform) part->MatrixTransform(*transform);

    if (!m_pPointList) SetPointList(new C3DPointList(static_cast<const CPointList&>(*part->GetPointList())), true);
    if (!m_pFaceList) {
        XHeld<C3DFaceList> faces(new C3DFaceList);
        faces->InheritSettings(*part->GetFaceList());
        SetFaceList(faces.release(), true);
    }
    if (!m_pChannels) SetChannels(CDependentChannels::Create(), true);
    // Data the part's faces and points carry and this object's lack (back-face materials, ...)
    // is added, with its defaults on the elements already here, so that the appended ones keep it.
    m_pFaceList->GetDataChunks().AddMissingChunks(part->GetFaceList()->GetDataChunks());
    m_pPointList->GetDataChunks().AddMissingChunks(part->GetPointList()->GetDataChunks());
    const int points0 = m_pPointList->GetSize();
    const int faces0 = m_pFaceList->GetSize();
    const int addedPoints = part->GetPointNbr();
    const int addedFaces = part->GetFaceNbr();

    // Channels are matched by type and identifier; a channel only one side has gets dead faces
    // (or zero values) on the other side's part. An object has one set of specified normals, and
    // each object read or generated has its own identifier for it, so those match by type alone.
    CXArray<CChannel*> matched;
    CDependentChannels* partChannels = part->GetChannels();
    for (int i = 0; partChannels && i < partChannels->GetSize(); ++i) {
        CChannel* pc = partChannels->GetChannel(i);
        CChannel* mc = m_pChannels->GetChannelByID(pc->GetID(), pc->GetType());
        if (!mc && pc->GetType() == CHANNEL_SPEC_NORMAL)
            mc = m_pChannels->GetChannelByIndex(0, CHANNEL_SPEC_NORMAL, true);
        const bool faceMapped = pc->GetFaceList() != nullptr;
        if (mc && (!Follows(mc) || (mc->GetFaceList() != nullptr) != faceMapped || !mc->GetPointList())) mc = nullptr;
        if (mc && faceMapped && mc->GetFaceList()->GetSize() != faces0) mc = nullptr;
        if (mc && !faceMapped && mc->GetPointList()->GetSize() != points0) mc = nullptr;
        if (!mc) {
            XHeld<CChannel> copy(pc->Copy(CHANNEL_COPY_KEEP_ID | CHANNEL_COPY_NO_CONTENT));
            if (!copy || !copy->GetPointList() || (faceMapped && !copy->GetFaceList())) continue;
            if (faceMapped) {
                copy->GetFaceList()->InheritSettings(*pc->GetFaceList());
                copy->GetFaceList()->SetSizeAndFlags(faces0, kDeadFace);
            } else {
                copy->GetPointList()->SetSize(points0);
            }
            mc = copy.get();
            m_pChannels->AddChannel(copy.release());
        }
        if (faceMapped) {
            const int offset = mc->GetPointList()->GetSize();
            AppendPoints(*mc->GetPointList(), *pc->GetPointList());
            AppendFaces(*mc->GetFaceList(), *pc->GetFaceList(), offset);
        } else {
            AppendPoints(*mc->GetPointList(), *pc->GetPointList());
        }
        matched.Add(mc);
    }
    for (int i = 0; i < m_pChannels->GetSize(); ++i) {
        CChannel* mc = m_pChannels->GetChannel(i);
        bool done = false;
        for (CChannel* m : matched) done = done || m == mc;
        if (done || !Follows(mc) || !mc->GetPointList()) continue;
        if (CFaceList* faces = mc->GetFaceList()) {
            if (faces->GetSize() == faces0) faces->ExpandSizeAndFlags(addedFaces, kDeadFace);
        } else if (mc->GetPointList()->GetSize() == points0) {
            mc->GetPointList()->SetSize(points0 + addedPoints);
        }
    }

    AppendPoints(*m_pPointList, *part->GetPointList());
    AppendFaces(*m_pFaceList, *part->GetFaceList(), points0);
    SetFlag(OBJECT_EMPTY, false);
    Invalidate(INVALIDATE_POINTS | INVALIDATE_FACES, true);
    CleanChannels(0xFFFFFFFFu, true);
    return true;
}

int C3DGeomObject::DisconnectBorderFaces() {
    if (IsFlagSet(OBJECT_EMPTY) || !m_pFaceList || !m_pPointList || m_pFaceList->GetSize() == 0) return 0;
    C3DFaceList& faces = *m_pFaceList;
    const int np = m_pPointList->GetSize();
    const int nf = faces.GetSize();
    for (int f = 0; f < nf; ++f) {
        if (!faces.IsFaceLive(unsigned(f))) continue;
        int k = 0;
        const int* idx = faces.GetIndexes(unsigned(f), k);
        for (int i = 0; i < k; ++i)
            if (unsigned(idx[i]) >= unsigned(np)) return 0;  // cannot tell fans apart around a bad index
    }
    CGeomInfo geom(this);
    faces.UpdatePointToFaceGraph(&geom);

    // For every point, the fans of faces around it: faces are joined when they share an edge at
    // the point (each face's neighbours of the point along its border).
    CXArray<int> fan;           // fan of each face around the current point
    CXArray<int> sourcePoint;   // source point of every point added
    CXArray<int> moveFace;      // (face, old point, new point) triples to rewrite
    // Per corner of the current point: (neighbour point << 32) | face slot, once for the previous
    // and once for the next point; sorted, each run of one neighbour lists faces to join.
    CXArray<uint64_t> joins;
    CXArray<uint64_t> members;  // (fan << 32) | face slot, sorted: the fans with their faces
    for (int p = 0; p < np; ++p) {
        int n = 0;
        const int* around = faces.GetFacesConnectedToPoint(unsigned(p), n);
        if (n < 2) continue;
        joins.SetSize(0);
        for (int j = 0; j < n; ++j) {
            int k = 0;
            const int* idx = faces.GetIndexes(unsigned(around[j]), k);
            for (int i = 0; i < k; ++i) {
                if (idx[i] != p) continue;
                joins.Add((uint64_t(unsigned(idx[i == 0 ? k - 1 : i - 1])) << 32) | unsigned(j));
                joins.Add((uint64_t(unsigned(idx[i + 1 < k ? i + 1 : 0])) << 32) | unsigned(j));
            }
        }
        // Union-find whose root is always the lowest face slot of its set, so that each fan is
        // named by its lowest member. Sorting keeps a point shared by many faces O(n log n).
        std::sort(joins.GetData(), joins.GetData() + joins.GetSize());
        fan.SetSize(n);
        for (int j = 0; j < n; ++j) fan[j] = j;
        const auto root = [&fan](int j) {
            while (fan[j] != j) {
                fan[j] = fan[fan[j]];
                j = fan[j];
            }
            return j;
        };
        for (int a = 0; a < joins.GetSize();) {
            int b = a + 1;
            int r = root(int(joins[a] & 0xFFFFFFFFu));
            for (; b < joins.GetSize() && (joins[b] >> 32) == (joins[a] >> 32); ++b) {
                const int other = root(int(joins[b] & 0xFFFFFFFFu));
                if (other == r) continue;
                if (other < r) {
                    fan[r] = other;
                    r = other;
                } else {
                    fan[other] = r;
                }
            }
            a = b;
        }
        members.SetSize(n);
        for (int j = 0; j < n; ++j) members[j] = (uint64_t(unsigned(root(j))) << 32) | unsigned(j);
        std::sort(members.GetData(), members.GetData() + n);
        // The fan of the first face keeps the point; every other fan gets a copy of it, fans in
        // the order of their lowest member and each fan's faces in index order.
        const int kept = root(0);
        for (int m = 0; m < n;) {
            const int label = int(members[m] >> 32);
            int next = m;
            while (next < n && int(members[next] >> 32) == label) ++next;
            if (label != kept) {
                const int copy = np + sourcePoint.GetSize();
                sourcePoint.Add(p);
                for (int i = m; i < next; ++i) {
                    moveFace.Add(around[int(members[i] & 0xFFFFFFFFu)]);
                    moveFace.Add(p);
                    moveFace.Add(copy);
                }
            }
            m = next;
        }
    }
    faces.DeletePointToFaceGraph();
    const int added = sourcePoint.GetSize();
    if (added == 0) return 0;

    m_pPointList->SetSize(np + added);
    for (int i = 0; i < added; ++i) m_pPointList->CopyPoint(np + i, sourcePoint[i]);
    CFace view;
    for (int i = 0; i < moveFace.GetSize(); i += 3) {
        faces.GetFace(unsigned(moveFace[i]), view);
        view.ReplaceIndex(moveFace[i + 1], moveFace[i + 2]);
    }
    faces.SetFlag(FACELIST_CHANGED, true);
    // Point-mapped channels copy the value of the point they were split from.
    for (int c = 0; m_pChannels && c < m_pChannels->GetSize(); ++c) {
        CChannel* channel = m_pChannels->GetChannel(c);
        CPointList* values = channel->GetPointList();
        if (channel->GetFaceList() || !values || !Follows(channel) || values->GetSize() != np) continue;
        values->SetSize(np + added);
        for (int i = 0; i < added; ++i) values->CopyPoint(np + i, sourcePoint[i]);
    }
    Invalidate(INVALIDATE_POINTS | INVALIDATE_FACES, true);
    return added;
}

}  // namespace kestovar
