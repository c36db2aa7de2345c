// The scene optimiser's settings: forwarding modes, tolerances and material selections to every
// contraction-ready object, the readers that combine the objects' values, the initialisation
// lock with the progressive thresholds, and the predictive ratio.
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>

#include "kestovar/core/resource_strings.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/face_list.h"
#include "kestovar/mesh/geom_info.h"
#include "kestovar/mesh/point_list.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "core/parallel_failure.h"
#include "optimizer/scene_optimizer_internal.h"

namespace kestovar {

using optimizer_detail::ForEachExtObject;

namespace {

const wchar_t kInitializingText[] = L"Initializing optimization...";
const wchar_t kMaterialText[] = L"Updating material optimisation information...";

}  // namespace

// ---- events -----------------------------------------------------------------------------------

void CSceneOptimizer::SendEvent(unsigned int event) {
    if (!m_pCallback) return;
    CProgressLock lock(*this);
    Notify(event);
}

void CSceneOptimizer::BeginSettings(unsigned int textId, bool setState) {
    if (setState) m_progress.m_state = QuorvaneProgressInfo::STATE_SETTINGS;
    if (!m_pCallback || m_nInitLockCount != 0) return;
    CProgressLock lock(*this);
    m_progress.m_text = LoadResourceString(textId, textId == 396 ? kMaterialText : kInitializingText);
    Notify(OPTPROGRESS_SETTINGS | OPTPROGRESS_BEGIN | OPTPROGRESS_TEXT);
}

void CSceneOptimizer::EndSettings() {
    if (m_nInitLockCount != 0) return;
    SendEvent(OPTPROGRESS_SETTINGS | OPTPROGRESS_END);
}

// ---- broadcast --------------------------------------------------------------------------------

namespace {

// Applies `set` to every contraction-ready object of the source scene between the settings
// events; true when any object changed.
template <class Fn>
bool Broadcast(const C3DScene* scene, Fn&& set) {
    bool changed = false;
    ForEachExtObject(scene, [&](C3DExtObject* object, C3DSceneNode*) {
        changed |= set(*object);
        return true;
    });
    return changed;
}

// Applies `set` to `one`, or to every listed object in a parallel loop.
template <class Fn>
bool BroadcastParallel(C3DExtObject* one, const COptimizableObjectArray& objects, Fn&& set) {
    if (one) return set(*one);
    const int n = objects.GetSize();
    const int chunk = int(OMPGetScheduleChunkSize(unsigned(n)));
    std::atomic<bool> changed{false};
    detail::CParallelFailure failure;
    detail::ParallelFor(n, OMPGetMaxThreadCount(), chunk, [&](int i) {
        failure.Run(i, [&] {
            if (objects[i].extObject && set(*objects[i].extObject)) changed.store(true, std::memory_order_relaxed);
        });
    });
    failure.Rethrow();
    return changed.load();
}

}  // namespace

bool CSceneOptimizer::SetOptimizeModeOrExtMode(unsigned long long mode, bool ext, bool set) {
    if (IsBusy()) return false;
    BeginSettings(365, true);
    const bool changed = Broadcast(m_pScene, [&](C3DExtObject& o) {
        return ext ? o.SetOptimizeExtMode(mode, set) : o.SetOptimizeMode(mode, set);
    });
    EndSettings();
    return changed;
}

bool CSceneOptimizer::SetOptimizeMode(unsigned long long mode, bool set) {
    return SetOptimizeModeOrExtMode(mode, false, set);
}

bool CSceneOptimizer::SetOptimizeExtMode(unsigned long long mode, bool set) {
    return SetOptimizeModeOrExtMode(mode, true, set);
}

bool CSceneOptimizer::SetOptimizeMode(C3DExtObject* object, OPTIMIZE_MODE mode, bool set) {
    if (IsBusy()) return false;
    BeginSettings(365, true);
    COptimizableObjectArray objects;
    if (!object) GetSrcExtObjects(objects, true);
    const bool changed = BroadcastParallel(object, objects, [&](C3DExtObject& o) { return o.SetOptimizeMode(mode, set); });
    EndSettings();
    return changed;
}

bool CSceneOptimizer::SelectMaterial(C3DExtObject* object, unsigned int material, bool select) {
    if (IsBusy()) return false;
    BeginSettings(396, false);
    COptimizableObjectArray objects;
    if (!object) GetSrcExtObjects(objects, true);
    const bool changed =
        BroadcastParallel(object, objects, [&](C3DExtObject& o) { return o.SelectMaterial(material, select); });
    EndSettings();
    return changed;
}

#define KX_BROADCAST_SETTER(Name, Type)                                                           \
    bool CSceneOptimizer::Name(Type value) {                                                      \
        if (IsBusy()) return false;                                                               \
        BeginSettings(365, true);                                                                 \
        const bool changed = Broadcast(m_pScene, [&](C3DExtObject& o) { return o.Name(value); }); \
        EndSettings();                                                                            \
        return changed;                                                                           \
    }

KX_BROADCAST_SETTER(SetUVWTolerance, float)
KX_BROADCAST_SETTER(SetVCTolerance, int)
KX_BROADCAST_SETTER(SetNormalThreshold, double)
KX_BROADCAST_SETTER(SetSymetryTolerance, float)
KX_BROADCAST_SETTER(SetConstraintRatio, float)
#undef KX_BROADCAST_SETTER

// ---- readers ----------------------------------------------------------------------------------

unsigned long long CSceneOptimizer::GetOptimizeModeOrExtMode(bool ext) const {
    unsigned long long mode = 0;
    ForEachExtObject(m_pScene, [&](C3DExtObject* o, C3DSceneNode*) {
        mode |= ext ? o->GetOptimizeExtMode() : o->GetOptimizeMode();
        return true;
    });
    return mode;
}

unsigned long long CSceneOptimizer::GetOptimizeMode() const {
    const unsigned long long mode = GetOptimizeModeOrExtMode(false);
    return mode ? mode : 0x00C00020ull;
}

unsigned long long CSceneOptimizer::GetOptimizeExtMode() const { return GetOptimizeModeOrExtMode(true); }

namespace {

// The first object's value that is not -1 (unset), else 0.
template <class T, class Fn>
T FirstSetValue(const C3DScene* scene, Fn&& get) {
    T found = T(0);
    ForEachExtObject(scene, [&](C3DExtObject* o, C3DSceneNode*) {
        const T v = get(*o);
        if (v == T(-1)) return true;
        found = v;
        return false;
    });
    return found;
}

template <class T, class Fn>
T FirstValue(const C3DScene* scene, T none, Fn&& get) {
    T found = none;
    ForEachExtObject(scene, [&](C3DExtObject* o, C3DSceneNode*) {
        found = get(*o);
        return false;
    });
    return found;
}

template <class Fn>
int Sum(const C3DScene* scene, Fn&& get) {
    int total = 0;
    ForEachExtObject(scene, [&](C3DExtObject* o, C3DSceneNode*) {
        total += get(*o);
        return true;
    });
    return total;
}

template <class Fn>
bool Any(const C3DScene* scene, Fn&& get) {
    bool any = false;
    ForEachExtObject(scene, [&](C3DExtObject* o, C3DSceneNode*) {
        any = get(*o);
        return !any;
    });
    return any;
}

}  // namespace

float CSceneOptimizer::GetUVWTolerance() const {
    return FirstSetValue<float>(m_pScene, [](C3DExtObject& o) { return o.GetUVWTolerance(); });
}
int CSceneOptimizer::GetVCTolerance() const {
    return FirstSetValue<int>(m_pScene, [](C3DExtObject& o) { return o.GetVCTolerance(); });
}
double CSceneOptimizer::GetNormalThreshold() const {
    return FirstSetValue<double>(m_pScene, [](C3DExtObject& o) { return o.GetNormalThreshold(); });
}
float CSceneOptimizer::GetSymetryTolerance() const {
    return FirstValue<float>(m_pScene, 0.0f, [](C3DExtObject& o) { return o.GetSymetryTolerance(); });
}
float CSceneOptimizer::GetConstraintRatio() const {
    return FirstValue<float>(m_pScene, -1.0f, [](C3DExtObject& o) { return o.GetConstraintRatio(); });
}

int CSceneOptimizer::GetSymetricPairsNumber() const {
    // Every node, shared objects as often as they are placed.
    if (!m_pScene) return 0;
    int total = 0;
    for (C3DNodePos pos = m_pScene->GetFirstNode(KIND_ALL, 0); pos;) {
        C3DBaseObject* object = nullptr;
        m_pScene->GetNextNode(pos, object);
        if (C3DExtObject* ext = dynamic_cast<C3DExtObject*>(object)) total += ext->GetSymetricPairsNumber();
    }
    return total;
}

int CSceneOptimizer::GetInitialRemovablePointsNumber() const {
    return Sum(m_pScene, [](C3DExtObject& o) { return o.GetInitialRemovablePointsNumber(); });
}
int CSceneOptimizer::GetInitialRemovableFacesNumber() const {
    return Sum(m_pScene, [](C3DExtObject& o) { return o.GetInitialRemovableFacesNumber(); });
}
int CSceneOptimizer::GetRemovedPointsNumber() const {
    return Sum(m_pScene, [](C3DExtObject& o) { return o.GetRemovedPointsNumber(); });
}
int CSceneOptimizer::GetRemovedFacesNumber() const {
    return Sum(m_pScene, [](C3DExtObject& o) { return o.GetRemovedFacesNumber(); });
}
int CSceneOptimizer::GetInitialRemovableElementNumber(bool points) const {
    return points ? GetInitialRemovablePointsNumber() : GetInitialRemovableFacesNumber();
}
int CSceneOptimizer::GetRemovedElementNumber(bool points) const {
    return points ? GetRemovedPointsNumber() : GetRemovedFacesNumber();
}

bool CSceneOptimizer::ContainMaterialFrontier() const {
    return Any(m_pScene, [](C3DExtObject& o) { return o.ContainMaterialFrontier(); });
}
bool CSceneOptimizer::ContainNormalInfo() const {
    return Any(m_pScene, [](C3DExtObject& o) { return o.ContainNormalInfo(); });
}
bool CSceneOptimizer::ContainUVWInfo() const {
    return Any(m_pScene, [](C3DExtObject& o) { return o.ContainUVWInfo(); });
}
bool CSceneOptimizer::ContainVCInfo() const {
    return Any(m_pScene, [](C3DExtObject& o) { return o.ContainVCInfo(); });
}

// ---- initialisation lock ----------------------------------------------------------------------

void CSceneOptimizer::LockInitialization() {
    if (IsBusy()) return;
    ++m_nInitLockCount;
    ForEachExtObject(m_pScene, [](C3DExtObject* o, C3DSceneNode*) {
        o->LockInitialization();
        return true;
    });
}

void CSceneOptimizer::UnlockInitialization() {
    if (IsBusy()) return;
    // The count goes down on every way out (an object's preparation or the host's callback may
    // raise), and never below 0 (an unlock without its lock): either would silence the settings
    // events for good.
    struct Decrement {
        int& count;
        ~Decrement() {
            if (count > 0) --count;
        }
    } decrement{m_nInitLockCount};
    BeginSettings(365, true);
    COptimizableObjectArray objects;
    const int n = int(GetSrcExtObjects(objects, true));
    const int chunk = int(OMPGetScheduleChunkSize(unsigned(n)));
    detail::CParallelFailure failure;
    detail::ParallelFor(n, OMPGetMaxThreadCount(), chunk,
                        [&](int i) { failure.Run(i, [&] { objects[i].extObject->UnlockInitialization(); }); });
    EndSettings();
    failure.Rethrow();

    if (n > 1 && IsProgressiveRatioEnabled()) {
        // Smallest first; equal counts keep their scene order so the result is deterministic.
        OptimizableObjectInfo* first = objects.GetData();
        std::stable_sort(first, first + n, [](const OptimizableObjectInfo& a, const OptimizableObjectInfo& b) {
            return a.extObject->GetInitialRemovablePointsNumber() < b.extObject->GetInitialRemovablePointsNumber();
        });
        const int largest = first[n - 1].extObject->GetInitialRemovablePointsNumber();
        // Objects not prepared yet (no mode set) report nothing removable: no thresholds then.
        if (largest > 0)
            for (int i = n - 2; i >= 0; --i)
                first[i].extObject->SetProgressiveThreshold(
                ComputeProgressiveThreshold(first[i].extObject->GetInitialRemovablePointsNumber(), largest));
    }
}

// ---- predictive ratio -------------------------------------------------------------------------

double CSceneOptimizer::ComputePredictiveRatio(C3DObject* object) const {
    if (!object) return 1.0;
    if (m_pPredictiveRatio) return m_pPredictiveRatio(object);
    return DefaultPredictiveRatio(object);
}

double CSceneOptimizer::DefaultPredictiveRatio(C3DObject* object) {
    if (!object) return 1.0;
    // A multiresolution object is measured at full detail.
    if (CMultiresolutionObject* mr = dynamic_cast<CMultiresolutionObject*>(object))
        mr->SetObjectRatio(1.0, 0, MRRATIO_RELATIVE | MRRATIO_FACES);
    C3DPointList* shownPoints = object->GetPointList();
    C3DFaceList* shownFaces = object->GetFaceList();
    if (!shownPoints || !shownFaces || shownFaces->GetNumberOfFaces() == 0) return 1.0;

    // Classify copies: the object's own flags and graphs stay as they are.
    const int n = shownPoints->GetNumberOfPoints();
    if (n == 0) return 1.0;
    C3DPointList* points = new C3DPointList(*shownPoints);
    *points = *shownPoints;
    C3DFaceList* faces = new C3DFaceList;
    *faces = *shownFaces;
    {
        CGeomInfo geom(faces, points);
        faces->InitEdgeToFaceGraph(&geom);
    }
    if (CEdgeToFaceGraph* edges = faces->GetEdgeToFaceGraph()) points->SetBorderPointsStatus(*edges, false);
    points->Set3DCornerPointsStatus(*faces, 1.3089969389957472);  // 75 degrees
    const double b = double(points->GetNumberOfPoints(unsigned(POINT_BORDER), true)) / n;
    const double c = double(points->GetNumberOfPoints(unsigned(POINT_3D_CORNER), true)) / n;
    XRelease(points);
    XRelease(faces);

    double r = b < 0.1 ? 0.15 : b < 0.3 ? 0.25 : b < 0.5 ? 0.35 : b < 0.75 ? 0.75 : 1.0;
    if (c > 0.9)
        r = 1.0;
    else if (c > 0.5)
        r = std::sqrt(r);
    if (n < 24)
        r = 1.0;
    else if (n < 100)
        r = r * 2.0 * std::sqrt(r);
    else if (n < 1000)
        r = std::sqrt(r);
    return std::min(r, 1.0);
}

}  // namespace kestovar
