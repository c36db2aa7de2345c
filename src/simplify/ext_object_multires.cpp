// Multiresolution hand-off: turns a reduced, recorded contraction-ready object into a
// CMultiresolutionObject1.
//
// The new object's lists hold the coarsest mesh first (the faces that were never deleted and the
// points they use, in their working order), then, contraction by contraction from the last one
// recorded to the first, the point each contraction removed, the faces it deleted and the points
// that became unused with those faces. Undoing contractions from the last one therefore always
// revives the elements right after the live ones, so that every level is a prefix of the lists.
// The tracker is renumbered to the new order; texture and normal channel points keep theirs (the
// records index them directly) while channel faces follow the geometric faces.
//
// Where the face records lie in their buffer is not part of that order (a face list reaches each
// record through an offset table), and it decides how fast the object plays: a contraction
// re-points the corners of the faces around its removed point, which the order above scatters over
// the whole list. The records are therefore laid out by the first contraction that re-points their
// face, so that the faces a contraction re-points for the first time lie next to those of the
// contractions played just before and after it.
#include "kestovar/core/exception.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/face.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"
#include "kestovar/simplify/ext_object.h"

namespace kestovar {

namespace {

// Progress granularity of the reordering walk (contractions between cancel checks).
constexpr int kProgressStep = 3000;

// Old -> new index tables built in placement order.
struct CPlacement {
    CXArray<unsigned int> remap;  // old -> new, REMAP_REMOVED until placed
    CXArray<unsigned int> order;  // new -> old
    int placed = 0;

    void Init(int count) {
        remap.SetSize(count);
        unsigned int* r = remap.GetData();
        for (int i = 0; i < count; ++i) r[i] = REMAP_REMOVED;
        order.SetSize(count);
        placed = 0;
    }
    // Places old index `i` when not yet placed.
    void Place(int i) {
        if (remap[i] != REMAP_REMOVED) return;
        remap[i] = unsigned(placed);
        order[placed++] = unsigned(i);
    }
    // Completes `order` into a permutation: the elements never placed follow the placed ones.
    void CompleteOrder() {
        int next = placed;
        for (int i = 0, n = remap.GetSize(); i < n; ++i)
            if (remap[i] == REMAP_REMOVED) order[next++] = unsigned(i);
    }
};

// Lays out the records of `faces` in the order `recordOrder` (a permutation of the face indices)
// without changing which record each face index reaches.
void LayOutRecords(CFaceList& faces, const CXArray<unsigned int>& recordOrder) {
    CFaceCollection& records = faces.GetRecords();
    const unsigned n = records.GetSize();
    if (n == 0 || unsigned(recordOrder.GetSize()) != n) return;
    records.Reorder(recordOrder.GetData(), n, false);
    records.Compact(false);
    records.Reorder(recordOrder.GetData(), n, true);
}

void CheckIndex(int i, int count) {
    if (i < 0 || i >= count) XThrow<CXInvalidArgException>("recorded index out of range");
}

// Puts the faces of `faces` into the new order, drops the faces never placed and revives the
// faces from `firstRevived` on (those the contractions deleted, which playback brings back). The
// faces before it keep their flags: in a channel's list a face of a live geometric face is dead
// only when the host made it so, and must stay so.
void ReorderAndTrim(CFaceList& faces, const CPlacement& placement, int firstRevived) {
    faces.ReorderFaces(placement.order.GetData(), unsigned(placement.order.GetSize()), false);
    faces.SetSize(placement.placed);
    if (firstRevived == 0)
        faces.SetFacesFlags(FACE_INVALID, false);
    else
        for (int f = firstRevived; f < placement.placed; ++f)
            faces.SetFaceFlags(unsigned(f), FACE_INVALID, false);
}

}  // namespace

CMultiresHandOff::~CMultiresHandOff() {
    XRelease(m_pTrack);
    if (m_pObject) m_pObject->Delete();
}

CMultiresolutionObject1* C3DExtObject::GetMultiresolutionObject(bool& cancelled) {
    XHeld<CMultiresHandOff> handOff(BuildMultiresolutionObject(cancelled));
    if (!handOff) return nullptr;
    CommitMultiresolutionObject(*handOff);
    return handOff->Detach();
}

CMultiresHandOff* C3DExtObject::BuildMultiresolutionObject(bool& cancelled) {
    cancelled = false;
    if (!CanOptimize()) {
        InvalidateOptimization();
        return nullptr;
    }
    if (!IsOptimizerFlagSet(SCENEOPTIMIZER_RECORD_CONTRACTIONS) || !m_pWorkingPoints || !m_pWorkingFaces)
        return nullptr;
    // A settings change after the run invalidated the optimisation, which empties a separate
    // working copy: the object is handed over as prepared anew (its initial mesh, no record)
    // rather than as an empty mesh.
    if (!IsExtFlagSet(EXT_WORKING_COPY) && !InitOptimization(true)) {
        cancelled = true;
        return nullptr;
    }
    CExtPointList& workPoints = *m_pWorkingPoints;
    C3DFaceList& workFaces = *m_pWorkingFaces;
    const int nPoints = workPoints.GetSize();
    const int nFaces = workFaces.GetSize();
    CTrackContractions* track = m_pTrackInfo;
    const int nContractions = track ? int(track->GetContractionCount()) : 0;
    const bool workingCopy = IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY);

    // 1. The new order. The coarsest mesh: every face not deleted and the points it uses.
    CPlacement points, faces;
    points.Init(nPoints);
    faces.Init(nFaces);
    for (int f = 0; f < nFaces; ++f) {
        if (workFaces.IsFaceOneFlagSet(unsigned(f), FACE_INVALID)) continue;
        faces.Place(f);
    }
    {
        // Points in index order, as the clean-up of the coarsest mesh would keep them.
        CXArray<unsigned char> used;
        used.SetSize(nPoints);
        unsigned char* u = used.GetData();
        for (int p = 0; p < nPoints; ++p) u[p] = 0;
        for (int k = 0; k < faces.placed; ++k) {
            int count;
            const int* idx = workFaces.GetIndexes(faces.order[k], count);
            for (int c = 0; c < count; ++c)
                if (idx[c] >= 0 && idx[c] < nPoints) u[idx[c]] = 1;
        }
        for (int p = 0; p < nPoints; ++p)
            if (u[p]) points.Place(p);
    }
    const int coarsestPoints = points.placed;
    const int coarsestFaces = faces.placed;

    // 2. The removed elements, last contraction first. Meanwhile each face notes the first
    // contraction that re-points one of its corners (the walk goes backwards: the last note wins).
    CXArray<unsigned int> firstRepoint;
    firstRepoint.SetSize(nFaces);
    for (int f = 0; f < nFaces; ++f) firstRepoint[f] = unsigned(nContractions);
    if (m_pOptimizer && nContractions > 0) m_pOptimizer->AddProgressRange(unsigned(3 * nContractions));
    for (int c = nContractions - 1; c >= 0; --c) {
        if (c % kProgressStep == 0 && m_pOptimizer) {
            m_pOptimizer->AddProgressPos(unsigned(kProgressStep));
            if (m_pOptimizer->CheckCancelButton()) {
                cancelled = true;
                return nullptr;
            }
        }
        CTrackEdgeContraction* e = track->GetContraction(unsigned(c));
        CheckIndex(e->GetRemoved(), nPoints);
        CheckIndex(e->GetKept(), nPoints);
        points.Place(e->GetRemoved());
        for (CTrackInfo* r = track->GetFirstSideRecord(e); r; r = track->GetNextSideRecord(r)) {
            if (r->GetType() == TRACK_FACE) {
                const int f = static_cast<const CTrackFace*>(r)->GetCurrentFace();
                if (f >= 0 && f < nFaces) firstRepoint[f] = unsigned(c);
                continue;
            }
            if (r->GetType() != TRACK_INVALID_FACE) continue;
            CTrackInvalidFace* deleted = static_cast<CTrackInvalidFace*>(r);
            const int f = deleted->GetCurrentFace();
            CheckIndex(f, nFaces);
            faces.Place(f);
            // Points this face alone still used become live with it. The record's count of such
            // points is rewritten to what was placed here, so that playback counts match the
            // prefix layout (the loop may count the removed point again when the last faces
            // around it go).
            const int before = points.placed;
            int count;
            const int* idx = workFaces.GetIndexes(unsigned(f), count);
            for (int k = 0; k < count; ++k) {
                CheckIndex(idx[k], nPoints);
                points.Place(idx[k]);
            }
            deleted->SetIsolatedFacePointNumber(points.placed - before);
        }
    }
    points.CompleteOrder();
    faces.CompleteOrder();

    // The record layout: faces by first re-pointing contraction (a counting sort; faces never
    // re-pointed last), each key's faces in index order.
    CXArray<unsigned int> recordOrder;
    {
        CXArray<unsigned int> start;
        start.SetSize(nContractions + 2);
        unsigned int* s = start.GetData();
        for (int k = 0; k < nContractions + 2; ++k) s[k] = 0;
        for (int f = 0; f < nFaces; ++f) ++s[firstRepoint[f] + 1];
        for (int k = 1; k < nContractions + 2; ++k) s[k] += s[k - 1];
        recordOrder.SetSize(nFaces);
        for (int f = 0; f < nFaces; ++f) recordOrder[int(s[firstRepoint[f]]++)] = unsigned(f);
    }

    // 3. The new lists: points copied in the new order, faces and the kept channels' faces
    // permuted and trimmed, corners renumbered. The working lists are only read: until the
    // commit, a run may go on from them (the contraction loop keeps their point-to-face graph up
    // to date, and cannot build it again without changing the order it visits faces in).
    // The new lists and object are held until handed over, so that a failed allocation on the
    // way leaves nothing behind.
    XHeld<C3DPointList> newPoints(new C3DPointList(static_cast<const CPointList&>(workPoints)));
    newPoints->SetSize(points.placed);
    for (int i = 0; i < points.placed; ++i) newPoints->CopyPoint(i, int(points.order[i]), workPoints);
    newPoints->SetPointsFlags(POINT_REMOVED, false);

    XHeld<C3DFaceList> newFaces(C3DFaceList::Create());
    *newFaces = workFaces;
    LayOutRecords(*newFaces, recordOrder);
    ReorderAndTrim(*newFaces, faces, 0);
    newFaces->UpdateIndex(&points.remap, false);

    XHeld<CDependentChannels> newChannels(CDependentChannels::Create());
    unsigned int keptTypes = 0;
    if (m_optimizeMode & OPT_KEEP_UVW) keptTypes |= CHANNEL_UVW;
    if (m_optimizeMode & OPT_KEEP_VC) keptTypes |= CHANNEL_VC;
    if (m_optimizeMode & OPT_KEEP_NORMALS) keptTypes |= CHANNEL_SPEC_NORMAL;
    if (m_pWorkingChannels && keptTypes)
        newChannels->CopyChannels(*m_pWorkingChannels, keptTypes, CHANNEL_COPY_KEEP_ID, nullptr);
    for (int c = 0; c < newChannels->GetSize(); ++c) {
        CChannel* channel = newChannels->GetChannel(c);
        if (CFaceList* cf = channel->GetFaceList())
            if (cf->GetSize() == nFaces) {
                LayOutRecords(*cf, recordOrder);
                ReorderAndTrim(*cf, faces, coarsestFaces);
            }
        if (CPointList* cp = channel->GetPointList()) cp->SetPointsFlags(POINT_REMOVED, false);
    }

    XHeld<CMultiresHandOff> handOff(new CMultiresHandOff);
    handOff->m_pObject = new CMultiresolutionObject1(m_pOptimizer, workingCopy ? this : nullptr, m_pNode);
    CMultiresolutionObject1* object = handOff->m_pObject;
    object->SetPointList(newPoints.release(), true);
    object->SetFaceList(newFaces.release(), true);
    object->SetChannels(newChannels.release(), true);
    object->SetMaxSize(faces.placed, points.placed);
    object->SetMinSize(coarsestFaces, coarsestPoints);
    object->SetCurrentSize(coarsestFaces, coarsestPoints);
    handOff->m_pTrack = XAddRef(track);
    handOff->m_pSource = this;
    handOff->m_contractions = unsigned(nContractions);
    handOff->m_pointRemap = static_cast<CXArray<unsigned int>&&>(points.remap);
    handOff->m_faceRemap = static_cast<CXArray<unsigned int>&&>(faces.remap);
    // The range opened above is three times the contractions: the walk, the record's
    // renumbering and the faces' re-indexing. The re-indexing ran in step 3 and the renumbering
    // is the hand-over's, which asks the host nothing (see CommitMultiresolutionObject): both
    // shares are reported here, as two events.
    if (m_pOptimizer && nContractions > 0) {
        m_pOptimizer->AddProgressPos(unsigned(nContractions));
        m_pOptimizer->AddProgressPos(unsigned(nContractions));
    }
    return handOff.release();
}

bool C3DExtObject::CommitMultiresolutionObject(CMultiresHandOff& handOff) {
    CMultiresolutionObject1* object = handOff.m_pObject;
    if (!object || handOff.m_bCommitted || handOff.m_pSource != this) return false;
    // The orders were made for the record as it stood at the build: renumbering a record that
    // went on since (or one another hand-off renumbered) would scramble it.
    if (handOff.m_pTrack && (handOff.m_pTrack != m_pTrackInfo ||
                             handOff.m_pTrack->GetContractionCount() != handOff.m_contractions))
        return false;
    handOff.m_bCommitted = true;
    if (m_pWorkingFaces) m_pWorkingFaces->DeletePointToFaceGraph();

    // 4. The tracker moves to the new object; this object gives up its optimisation.
    CTrackContractions* track = handOff.m_pTrack;
    handOff.m_pTrack = nullptr;
    const bool hadTrack = track != nullptr;
    if (!track) track = new CTrackContractions;
    XHeld<CTrackContractions> heldTrack(track);
    if (hadTrack) {
        InvalidateOptimization();
        // Simplified in place: the shown lists are the reduced working lists.
        if (!IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY)) C3DGeomObject::Clean();
    }
    // Without a record the new object only keeps the object the constructor gave it (this one
    // for a working copy, none in place), and no orders are stored below.
    if (hadTrack) object->SetExtObject(this);
    object->SetTrackInfo(heldTrack.release());
    track->Renumber(handOff.m_faceRemap, handOff.m_pointRemap);
    object->PrepareGeometry(false);

    // 5. The orders for the host, on request.
    if (hadTrack && (m_optimizeExtMode & OPT_EXT_RECORD_SELECTED_FACES)) {
        m_customData.SetBinary(EXT_POINT_ORDER_KEY, handOff.m_pointRemap.GetData(),
                               unsigned(handOff.m_pointRemap.GetSize()) * 4u);
        m_customData.SetBinary(EXT_FACE_ORDER_KEY, handOff.m_faceRemap.GetData(),
                               unsigned(handOff.m_faceRemap.GetSize()) * 4u);
    }
    return true;
}

}  // namespace kestovar
