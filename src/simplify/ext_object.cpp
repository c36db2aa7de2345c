// C3DExtObject: construction, list ownership and member defaults.
#include "kestovar/simplify/ext_object.h"

#include "kestovar/core/archive.h"
#include "kestovar/mesh/channel.h"
#include "kestovar/mesh/symmetry_map.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/optimizer/track_contractions.h"

namespace kestovar {

KX_IMPLEMENT_SERIAL(C3DExtObject, C3DObject, 1)

C3DExtObject::C3DExtObject() : C3DObject(), m_pairIndex(23), m_excludedMaterials(23) {
    InitObject();
    m_pInitialChannels = XAddRef(m_pChannels);
}

// The caller keeps its references. The object holds one reference per role (shown and initial),
// so that switching the shown lists never releases the initial mesh.
C3DExtObject::C3DExtObject(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels)
    : C3DObject(XAddRef(points), XAddRef(faces), XAddRef(channels)), m_pairIndex(23), m_excludedMaterials(23) {
    InitObject();
    // What may fail comes first: the initial lists' references are taken last, so that a failed
    // construction (whose destructor never runs) leaves none behind.
    if (points) points->FreeExtra();
    if (faces) faces->FreeExtra();
    m_pInitialPoints = XAddRef(points);
    m_pInitialFaces = XAddRef(faces);
    m_pInitialChannels = XAddRef(m_pChannels);
}

C3DExtObject::C3DExtObject(const C3DExtObject& other) : C3DObject(), m_pairIndex(23), m_excludedMaterials(23) {
    InitObject();
    ShowLists(other.m_pInitialPoints, other.m_pInitialFaces, other.m_pInitialChannels);
    m_pInitialPoints = XAddRef(other.m_pInitialPoints);
    m_pInitialFaces = XAddRef(other.m_pInitialFaces);
    m_pInitialChannels = XAddRef(m_pChannels);
    m_progressiveThreshold = other.m_progressiveThreshold;
    m_optimizeMode = other.m_optimizeMode;
    m_optimizeExtMode = other.m_optimizeExtMode;
    m_excludedMaterials = other.m_excludedMaterials;
    m_vcTolerance = other.m_vcTolerance;
    m_uvwTolerance = other.m_uvwTolerance;
    m_symetryTolerance = other.m_symetryTolerance;
    m_normalThreshold = other.m_normalThreshold;
    m_constraintRatio = other.m_constraintRatio;
    m_extFlags = other.m_extFlags & EXT_TRIANGLES_ONLY;
}

// The optimiser may already be gone: the working lists are released, not emptied through it.
C3DExtObject::~C3DExtObject() {
    CMultiresolutionObject::UnlinkAll(*this);
    SetExtFlag(EXT_WORKING_COPY, false);
    InvalidateOptimization();
    XRelease(m_pInitialSymetryMap);
    ReleaseLists();
}

void C3DExtObject::InitObject() {
    m_pWorkingPoints = nullptr;
    m_pWorkingFaces = nullptr;
    m_pWorkingChannels = nullptr;
    m_pInitialFaces = nullptr;
    m_pInitialPoints = nullptr;
    m_pInitialChannels = nullptr;
    m_pInitialSymetryMap = nullptr;
    m_pWorkingSymetryMap = nullptr;
    m_pTrackInfo = nullptr;
    m_lastRatio = 1.0;
    m_secondRatio = 1.0;
    m_progressiveThreshold = 1.0;
    m_initialRemovablePoints = 0;
    m_initialRemovableFaces = 0;
    m_removedPoints = 0;
    m_removedFaces = 0;
    m_optimizeMode = 0;
    m_optimizeExtMode = 0;
    m_bShowSelectedFaces = false;
    m_workingPointsStamp = 0;
    m_workingFacesStamp = 0;
    m_initialPointsStamp = 0;
    m_initialFacesStamp = 0;
    m_pOptimizer = nullptr;
    m_pFirstMultires = nullptr;
    m_pNode = nullptr;
    m_extFlags = 0;
    m_bMaterialFrontier = false;
    m_modifyCount = 0;
    m_lockCount = 0;
    m_vcTolerance = -1;
    m_uvwTolerance = -1.0f;
    m_symetryTolerance = -1.0f;
    m_normalThreshold = -1.0;
    m_constraintRatio = -1.0f;
    m_scratchQuadric.Init();
    for (double& v : m_scratchInverse) v = 0.0;
}

void C3DExtObject::ShowLists(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels) {
    // The base setters take over one reference and release the old list.
    if (points != m_pPointList) C3DGeomObject::SetPointList(XAddRef(points), true);
    if (faces != m_pFaceList) C3DGeomObject::SetFaceList(XAddRef(faces), true);
    if (channels != m_pChannels) C3DGeomObject::SetChannels(XAddRef(channels), true);
}

void C3DExtObject::ReleaseLists() {
    XRelease(m_pWorkingPoints);
    XRelease(m_pWorkingFaces);
    XRelease(m_pWorkingChannels);
    XRelease(m_pInitialPoints);
    XRelease(m_pInitialFaces);
    XRelease(m_pInitialChannels);
}

// A list the host gives the object is its new mesh: it replaces the shown list and the initial
// one and drops everything derived from them, before an optimiser is attached as afterwards (the
// next run prepares the object as it then is: in place the new list is the new full-detail mesh,
// with a working copy the run starts over from it). The object switches its shown lists itself
// through the base class's setters, not through these.
void C3DExtObject::SetPointList(C3DPointList* points, bool deleteOld) {
    if (points == m_pPointList) return;
    C3DGeomObject::SetPointList(points, deleteOld);
    XRelease(m_pInitialPoints);
    m_pInitialPoints = XAddRef(points);
    RestartFromNewInitialLists();
}

void C3DExtObject::SetFaceList(C3DFaceList* faces, bool deleteOld) {
    if (faces == m_pFaceList) return;
    C3DGeomObject::SetFaceList(faces, deleteOld);
    XRelease(m_pInitialFaces);
    m_pInitialFaces = XAddRef(faces);
    RestartFromNewInitialLists();
}

void C3DExtObject::SetChannels(CDependentChannels* channels, bool deleteOld) {
    if (channels == m_pChannels) return;
    C3DGeomObject::SetChannels(channels, deleteOld);
    XRelease(m_pInitialChannels);
    m_pInitialChannels = XAddRef(channels);
    RestartFromNewInitialLists();
}

void C3DExtObject::Serialize(CXArchive& ar) {
    C3DObject::Serialize(ar);
    if (ar.IsStoring()) return;
    XRelease(m_pInitialPoints);
    XRelease(m_pInitialFaces);
    XRelease(m_pInitialChannels);
    m_pInitialPoints = XAddRef(m_pPointList);
    m_pInitialFaces = XAddRef(m_pFaceList);
    m_pInitialChannels = XAddRef(m_pChannels);
    RestartFromNewInitialLists();
}

void C3DExtObject::RestartFromNewInitialLists() {
    InvalidateOptimization();
    XRelease(m_pWorkingPoints);
    XRelease(m_pWorkingFaces);
    XRelease(m_pWorkingChannels);
    SetExtFlags(EXT_PREPARED | EXT_SELECTION_READY, false);
    if (m_pOptimizer) MakeWorkingLists();
}

void C3DExtObject::MakeWorkingLists() {
    if (IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY)) {
        XRelease(m_pWorkingPoints);
        XRelease(m_pWorkingFaces);
        XRelease(m_pWorkingChannels);
        m_pWorkingFaces = new C3DFaceList;
        m_pWorkingPoints = new CExtPointList;
        m_pWorkingChannels = CDependentChannels::Create();
    } else {
        AdoptInitialListsForWork();
    }
    // The working lists changed: the selection flags live on them.
    SetExtFlags(EXT_SELECTION_READY | EXT_WORKING_COPY | EXT_COSTS_READY, false);
}

// ---- optimiser ---------------------------------------------------------------------------------------

bool C3DExtObject::CanOptimize() const { return !m_pOptimizer || m_pOptimizer->CanOptimizeNode(m_pNode); }

bool C3DExtObject::CheckCancel() const { return m_pOptimizer && m_pOptimizer->CheckCancelButton(); }

bool C3DExtObject::IsOptimizerFlagSet(unsigned int flags) const {
    return m_pOptimizer && m_pOptimizer->IsFlagSet(flags);
}

// In place, the working lists are the initial lists. Their point list must carry quadrics: a
// plain point list is replaced (in the initial and the shown role) by an extended copy.
void C3DExtObject::AdoptInitialListsForWork() {
    if (m_pInitialPoints && !m_pInitialPoints->IsKindOf(KX_RUNTIME_CLASS(CExtPointList))) {
        CExtPointList* ext = new CExtPointList(*m_pInitialPoints);
        *ext = *m_pInitialPoints;
        const bool shown = m_pPointList == m_pInitialPoints;
        XRelease(m_pInitialPoints);
        m_pInitialPoints = ext;
        if (shown) C3DGeomObject::SetPointList(XAddRef(static_cast<C3DPointList*>(ext)), true);
    }
    XRelease(m_pWorkingPoints);
    XRelease(m_pWorkingFaces);
    XRelease(m_pWorkingChannels);
    m_pWorkingPoints = static_cast<CExtPointList*>(XAddRef(m_pInitialPoints));
    m_pWorkingFaces = XAddRef(m_pInitialFaces);
    m_pWorkingChannels = XAddRef(m_pChannels);
}

bool C3DExtObject::SetOptimizer(CSceneOptimizer& optimizer, C3DSceneNode* node) {
    if (m_pOptimizer || m_pNode) return false;
    InvalidateOptimization();
    m_pOptimizer = &optimizer;
    m_pNode = node;
    MakeWorkingLists();
    return true;
}

void C3DExtObject::DetachOptimizer(const CSceneOptimizer* optimizer) {
    if (!optimizer || m_pOptimizer != optimizer) return;
    m_pOptimizer = nullptr;
    m_pNode = nullptr;
}

void C3DExtObject::OnLeaveNode(const C3DSceneNode* node) {
    if (node == m_pNode) m_pNode = nullptr;
}

// ---- life cycle ------------------------------------------------------------------------------------

void C3DExtObject::NoteWorkingStamps() {
    m_workingPointsStamp = m_pWorkingPoints ? m_pWorkingPoints->GetChangedStamp() : 0;
    m_workingFacesStamp = m_pWorkingFaces ? m_pWorkingFaces->GetChangedStamp() : 0;
    m_initialPointsStamp = m_pInitialPoints ? m_pInitialPoints->GetChangedStamp() : 0;
    m_initialFacesStamp = m_pInitialFaces ? m_pInitialFaces->GetChangedStamp() : 0;
}

bool C3DExtObject::WorkingListsEditedOutside() const {
    if (!IsExtFlagSet(EXT_WORKING_COPY) || !m_pWorkingPoints || !m_pWorkingFaces) return false;
    if (m_pWorkingPoints->GetChangedStamp() != m_workingPointsStamp ||
        m_pWorkingFaces->GetChangedStamp() != m_workingFacesStamp)
        return true;
    // The contraction loop keeps the point-to-face graph of the working faces up to date and
    // reads the faces around a point from it alone: a graph dropped since (by the host, or by
    // another object preparing the face list both share) leaves the candidates without faces.
    if (IsExtFlagSet(EXT_COSTS_READY) && !m_pWorkingFaces->HasPointToFaceGraph()) return true;
    return m_pInitialPoints && m_pInitialFaces && m_pInitialPoints != m_pWorkingPoints &&
           (m_pInitialPoints->GetChangedStamp() != m_initialPointsStamp ||
            m_pInitialFaces->GetChangedStamp() != m_initialFacesStamp);
}

bool C3DExtObject::InitOptimization(bool prepareOnly) {
    // An object used without an optimiser is simplified in place.
    if (!m_pOptimizer && !m_pWorkingPoints) AdoptInitialListsForWork();
    // Candidates of a mesh edited since would name points and faces that moved or are gone.
    if (WorkingListsEditedOutside()) {
        SetExtFlag(EXT_PREPARED, false);
        InvalidateOptimization();
    }
    CleanAndPrepareObject();
    if (!m_pInitialPoints || !m_pInitialFaces || m_pInitialPoints->GetSize() == 0 ||
        m_pInitialFaces->GetSize() == 0 || !m_pWorkingPoints || !m_pWorkingFaces || !CanOptimize()) {
        // Nothing to reduce: no element is removable, and none counts as removed.
        InvalidateOptimization();
        m_initialRemovablePoints = m_initialRemovableFaces = 0;
        m_removedPoints = m_removedFaces = 0;
        return true;
    }
    if (CheckCancel()) return false;

    C3DTBBox<float> box;
    m_pInitialPoints->GetBoundingBox(box);
    m_bboxMin.Init(box.GetMin().x, box.GetMin().y, box.GetMin().z);
    m_bboxMax.Init(box.GetMax().x, box.GetMax().y, box.GetMax().z);
    const float grow = 0.05f;
    const float gx = (m_bboxMax.x - m_bboxMin.x) * grow, gy = (m_bboxMax.y - m_bboxMin.y) * grow,
                gz = (m_bboxMax.z - m_bboxMin.z) * grow;
    m_enlargedMin.Init(m_bboxMin.x - gx, m_bboxMin.y - gy, m_bboxMin.z - gz);
    m_enlargedMax.Init(m_bboxMax.x + gx, m_bboxMax.y + gy, m_bboxMax.z + gz);

    InitUVWFlags();
    if (CheckCancel()) return false;
    InitVCFlags();
    if (CheckCancel()) return false;
    InitNormalFlags();
    if (CheckCancel()) return false;
    InitSymetryMap();
    if (CheckCancel()) return false;
    InitSelectionMode(*m_pInitialFaces, *m_pInitialPoints);
    if (CheckCancel()) return false;
    if (InitOptimizedFacesAndPoints()) {
        CountRemovableElements();
        m_removedPoints = 0;
        m_removedFaces = 0;
        m_lastRatio = 1.0;
        m_secondRatio = 1.0;
    }
    if (CheckCancel()) return false;
    NoteWorkingStamps();
    if (prepareOnly || IsExtFlagSet(EXT_COSTS_READY)) return true;

    InitPointsQuadric(m_pWorkingFaces);
    if (CheckCancel()) return false;
    if (m_optimizeMode & OPT_SYMMETRY_MASK) {
        XRelease(m_pWorkingSymetryMap);
        if (!IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY)) {
            // The working map consumes the pairs of the initial one: rebuild it next time.
            SetExtFlag(EXT_SYMMETRY_READY, false);
            m_pWorkingSymetryMap = XAddRef(m_pInitialSymetryMap);
        } else if (m_pInitialSymetryMap) {
            m_pWorkingSymetryMap = new C3DPointSymetryMap(*m_pInitialSymetryMap);
        }
    }
    InitConstraints(m_pWorkingFaces);
    if (CheckCancel()) return false;
    WidenPointToFaceGraph();
    InitOrderedCostList();
    if (CheckCancel()) return false;

    if (IsOptimizerFlagSet(SCENEOPTIMIZER_RECORD_CONTRACTIONS)) StartTracking();
    SetExtFlag(EXT_COSTS_READY, true);
    NoteWorkingStamps();
    return true;
}

void C3DExtObject::StartTracking() {
    if (!m_pTrackInfo) m_pTrackInfo = new CTrackContractions;
    const int uvChannels = m_pWorkingChannels ? m_pWorkingChannels->GetChannelsNumber(CHANNEL_UVW, false) : 0;
    m_pTrackInfo->Reserve(int(m_heap.GetCount()), uvChannels);
}

// Drops everything derived from the initial mesh beyond the selection: the working copy (when it
// is separate), the symmetry copy, the candidates, the heap and the tracker. The removable and
// removed counters are recomputed by the next preparation.
void C3DExtObject::InvalidateOptimization() {
    if (IsExtFlagSet(EXT_WORKING_COPY)) {
        SetExtFlag(EXT_WORKING_COPY, false);
        if (IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY)) {
            if (m_pWorkingFaces) m_pWorkingFaces->RemoveAll();
            if (m_pWorkingPoints) m_pWorkingPoints->RemoveAll();
            if (m_pWorkingChannels) m_pWorkingChannels->RemoveAll();
        }
    }
    XRelease(m_pWorkingSymetryMap);
    m_costs.RemoveAll();
    // The index is given back, not just emptied: the next preparation sizes it anew, and a host
    // that keeps the object for playback would otherwise carry its slots (about 74 bytes per
    // triangle) for nothing.
    m_pairIndex.Free();
    m_heap.Free();
    XRelease(m_pTrackInfo);
    m_graphRoom.Clear();
    SetExtFlag(EXT_COSTS_READY, false);
}

void C3DExtObject::ResetOptimization() {
    // The selection is made again too: it lives in point flags that a reset clears.
    SetExtFlags(EXT_PREPARED | EXT_SELECTION_READY, false);
    InitOptimization(true);
}

void C3DExtObject::LockInitialization() { ++m_lockCount; }

void C3DExtObject::UnlockInitialization() {
    if (m_lockCount > 0) --m_lockCount;
    if (m_lockCount == 0 && m_modifyCount == 0 && m_optimizeMode != 0) InitOptimization(true);
}

void C3DExtObject::BeginModifyInitialObject() {
    ++m_modifyCount;
    if (IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY))
        ShowLists(m_pInitialPoints, m_pInitialFaces, m_pInitialChannels);
}

void C3DExtObject::EndModifyInitialObject(bool reinit) {
    if (m_modifyCount > 0) --m_modifyCount;
    if (m_modifyCount == 0 && reinit) {
        SetExtFlag(EXT_PREPARED, false);
        InitOptimization(true);
    }
}

bool C3DExtObject::PrepareDisplayedObject(bool showWorking) {
    const bool wasWorking = m_pWorkingPoints && m_pPointList == m_pWorkingPoints;
    if (!IsOptimizerFlagSet(SCENEOPTIMIZER_WORKING_COPY)) return wasWorking;
    if (showWorking && m_modifyCount == 0 && m_pWorkingPoints)
        ShowLists(m_pWorkingPoints, m_pWorkingFaces, m_pWorkingChannels);
    else
        ShowLists(m_pInitialPoints, m_pInitialFaces, m_pInitialChannels);
    return wasWorking;
}

void C3DExtObject::ShowSelectedFaces(bool show) {
    m_bShowSelectedFaces = show;
    if (!m_pWorkingFaces) return;
    C3DFaceList& faces = *m_pWorkingFaces;
    faces.SetFacesFlags(FACE_FROZEN, false);
    if (!show) return;
    for (int f = 0, n = faces.GetSize(); f < n; ++f) {
        if (!faces.IsFaceFlagSet(unsigned(f), FACE_ALL_SELECTED) ||
            m_excludedMaterials.IsFound(faces.GetStoredFaceMaterial(unsigned(f))))
            faces.SetFaceFlags(unsigned(f), FACE_FROZEN, true);
    }
}

// The number of distinct mirror edges of the initial faces under the mode's axis.
int C3DExtObject::GetSymetricPairsNumber() {
    if (!(m_optimizeMode & OPT_SYMMETRY_MASK)) return 0;
    InitSymetryMap();
    return m_pInitialSymetryMap ? m_pInitialSymetryMap->CountSymetricEdges(m_pInitialFaces) : 0;
}

// ---- counters ----------------------------------------------------------------------------------------

int C3DExtObject::GetInitialRemovablePointsNumber() const {
    return CanOptimize() && IsExtFlagSet(EXT_SELECTION_READY) ? m_initialRemovablePoints : 0;
}
int C3DExtObject::GetInitialRemovableFacesNumber() const {
    return CanOptimize() && IsExtFlagSet(EXT_SELECTION_READY) ? m_initialRemovableFaces : 0;
}
int C3DExtObject::GetRemovedPointsNumber() const {
    return CanOptimize() && IsExtFlagSet(EXT_SELECTION_READY) ? m_removedPoints : 0;
}
int C3DExtObject::GetRemovedFacesNumber() const {
    return CanOptimize() && IsExtFlagSet(EXT_SELECTION_READY) ? m_removedFaces : 0;
}

}  // namespace kestovar
