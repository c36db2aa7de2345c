// C3DExtObject: construction, list ownership and member defaults.
#include "kestovar/simplify/ext_object.h"

#include "kestovar/mesh/channel.h"

namespace kestovar {

KX_IMPLEMENT_SERIAL(C3DExtObject, C3DObject, 1)

C3DExtObject::C3DExtObject() : C3DObject(), m_pairIndex(23), m_excludedMaterials(23) {
    InitObject();
    m_pInitialChannels = XAddRef(m_pChannels);
}

// The shown lists adopt the caller's references (as C3DObject does); the initial role takes one
// more reference on each, so that switching the shown lists never releases the initial mesh.
C3DExtObject::C3DExtObject(C3DPointList* points, C3DFaceList* faces, CDependentChannels* channels)
    : C3DObject(points, faces, channels), m_pairIndex(23), m_excludedMaterials(23) {
    InitObject();
    m_pInitialPoints = XAddRef(points);
    m_pInitialFaces = XAddRef(faces);
    m_pInitialChannels = XAddRef(m_pChannels);
    if (points) points->FreeExtra();
    if (faces) faces->FreeExtra();
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

C3DExtObject::~C3DExtObject() {
    InvalidateOptimization();
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
    m_pOptimizer = nullptr;
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

// Before an optimiser is attached the shown lists are the initial mesh: replacing one replaces
// the initial list too and drops everything derived from it. Afterwards the object owns the
// distinction between shown, initial and working lists, and these setters only change what is
// shown.
void C3DExtObject::SetPointList(C3DPointList* points, bool deleteOld) {
    if (points == m_pPointList) return;
    C3DGeomObject::SetPointList(points, deleteOld);
    if (m_pOptimizer || m_pNode) return;
    InvalidateOptimization();
    XRelease(m_pInitialPoints);
    m_pInitialPoints = XAddRef(points);
    SetExtFlags(EXT_PREPARED | EXT_SELECTION_READY, false);
}

void C3DExtObject::SetFaceList(C3DFaceList* faces, bool deleteOld) {
    if (faces == m_pFaceList) return;
    C3DGeomObject::SetFaceList(faces, deleteOld);
    if (m_pOptimizer || m_pNode) return;
    InvalidateOptimization();
    XRelease(m_pInitialFaces);
    m_pInitialFaces = XAddRef(faces);
    SetExtFlags(EXT_PREPARED | EXT_SELECTION_READY, false);
}

void C3DExtObject::SetChannels(CDependentChannels* channels, bool deleteOld) {
    if (channels == m_pChannels) return;
    C3DGeomObject::SetChannels(channels, deleteOld);
    if (m_pOptimizer || m_pNode) return;
    InvalidateOptimization();
    XRelease(m_pInitialChannels);
    m_pInitialChannels = XAddRef(channels);
    SetExtFlags(EXT_PREPARED | EXT_SELECTION_READY, false);
}

// Drops everything derived from the initial mesh beyond the selection: the working copy (when it
// is separate), the candidates and the heap. The removable and removed counters are recomputed by
// the next preparation.
void C3DExtObject::InvalidateOptimization() {
    if (IsExtFlagSet(EXT_WORKING_COPY)) SetExtFlag(EXT_WORKING_COPY, false);
    m_costs.RemoveAll();
    if (m_pairIndex.GetCount() > 0) m_pairIndex.RemoveAll();
    m_heap.Free();
}

}  // namespace kestovar
