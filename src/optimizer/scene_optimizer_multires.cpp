// The scene optimiser's multiresolution scene: setting levels by ratio or by a total count,
// locking ratios, and the figures the host's user interface reads.
#include <omp.h>

#include <algorithm>

#include "kestovar/core/thread_registry.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "core/parallel_failure.h"
#include "optimizer/scene_optimizer_internal.h"

namespace kestovar {

using optimizer_detail::kWalkFlags;
using optimizer_detail::kWalkKinds;

bool CSceneOptimizer::SetMultiresolutionRatio(double ratio, int count, unsigned int flags, ApplyTo applyTo) {
    if (!m_pMultiresScene || IsBusy()) return false;
    ratio = std::clamp(ratio, 0.0, 1.0);
    COptimizableObjectArray objects;
    unsigned int selection = applyTo;
    if (!(flags & MRRATIO_FORCE)) selection |= APPLY_TO_SKIP_LOCKED;
    const int n = int(GetOptimizableObjects(objects, selection, true));

    if (flags & MRRATIO_ABSOLUTE) {
        // One common ratio whose summed target counts give `count`. Counts are steps, so the
        // search also stops when the total no longer moves: after stepping up, or while some
        // object is still inside its range (not clamped). A count the full meshes do not
        // exceed is met by ratio 1 itself, which the halving never reaches.
        auto sumAt = [&](double r, bool& unclamped) {
            int sum = 0;
            unclamped = false;
            for (int i = 0; i < n; ++i) {
                if (!objects[i].mrObject) continue;
                bool clamped = false;
                sum += objects[i].mrObject->GetTargetCount(r, flags, clamped);
                if (!clamped) unclamped = true;
            }
            return sum;
        };
        double lo = 0.0, hi = 1.0, mid = 0.5;
        int previous = 0;
        bool wentUp = false, unclamped = false;
        if (sumAt(1.0, unclamped) <= count) hi = lo = mid = 1.0;
        while (hi > lo) {
            mid = lo + (hi - lo) * 0.5;
            const int total = sumAt(mid, unclamped);
            if (total == count || ((unclamped || wentUp) && total == previous)) break;
            if (total >= count) {
                hi = mid;
                wentUp = false;
            } else {
                lo = mid;
                wentUp = true;
            }
            previous = total;
        }
        ratio = mid;
        flags = (flags & ~unsigned(MRRATIO_ABSOLUTE)) | MRRATIO_RELATIVE;
    }

    detail::CParallelFailure failure;
    detail::ParallelFor(n, OMPGetMaxThreadCount(), 1, [&](int i) {
        failure.Run(i, [&] {
            if (objects[i].mrObject) objects[i].mrObject->SetObjectRatio(ratio, count, flags);
        });
    });
    failure.Rethrow();
    return true;
}

int CSceneOptimizer::LockOptimizeRatio(bool lock, ApplyTo applyTo) {
    if (!m_pMultiresScene) return 0;
    int changed = 0;
    for (C3DNodePos pos = m_pMultiresScene->GetFirstNode(kWalkKinds, kWalkFlags); pos;) {
        C3DBaseObject* object = nullptr;
        C3DSceneNode* node = m_pMultiresScene->GetNextNode(pos, object);
        auto* mr = dynamic_cast<CMultiresolutionObject*>(object);
        if (!mr || !node) continue;
        if ((applyTo & APPLY_TO_SELECTION) && !node->IsFlagSet(NODE_SELECTED)) continue;
        if (mr->IsRatioLocked() == lock) continue;
        mr->LockRatio(lock);
        ++changed;
    }
    return changed;
}

bool CSceneOptimizer::HasLockedRatio() const {
    if (!m_pMultiresScene) return false;
    for (C3DNodePos pos = m_pMultiresScene->GetFirstNode(kWalkKinds, kWalkFlags); pos;) {
        C3DBaseObject* object = nullptr;
        m_pMultiresScene->GetNextNode(pos, object);
        auto* mr = dynamic_cast<CMultiresolutionObject*>(object);
        if (mr && mr->IsRatioLocked()) return true;
    }
    return false;
}

bool CSceneOptimizer::HasSameRatio(ApplyTo applyTo) const {
    if (!m_pMultiresScene) return true;
    COptimizableObjectArray objects;
    const int n = int(GetOptimizableObjects(objects, applyTo, true));
    if (n <= 1) return true;
    bool haveFirst = false;
    double first = 0.0;
    for (int i = 0; i < n; ++i) {
        if (!objects[i].mrObject) continue;
        bool unset = false;
        const double r = objects[i].mrObject->GetLastKnownRatio(unset);
        if (unset) return false;
        if (!haveFirst) {
            first = r;
            haveFirst = true;
        } else if (r != first) {
            return false;
        }
    }
    return true;
}

ApplyTo CSceneOptimizer::GetApplyToMode() const {
    const C3DScene* scene = m_pMultiresScene ? m_pMultiresScene : m_pScene;
    if (!scene) return APPLY_TO_ALL;
    bool selected = false, unselected = false;
    for (C3DNodePos pos = scene->GetFirstNode(kWalkKinds, kWalkFlags); pos;) {
        C3DBaseObject* object = nullptr;
        C3DSceneNode* node = scene->GetNextNode(pos, object);
        if (!node || !(dynamic_cast<CMultiresolutionObject*>(object) || dynamic_cast<C3DExtObject*>(object)))
            continue;
        (node->IsFlagSet(NODE_SELECTED) ? selected : unselected) = true;
        if (selected && unselected) return APPLY_TO_SELECTION;
    }
    return APPLY_TO_ALL;
}

int CSceneOptimizer::GetMultiresolutionInfo(MultiresolutionInfo info, const CMultiresolutionObject* object) const {
    if (!object || unsigned(info) > 5) return 0;
    int faces = 0, points = 0;
    if (info <= MRINFO_MIN_POINTS)
        object->GetMinSize(faces, points);
    else if (info <= MRINFO_MAX_POINTS)
        object->GetMaxSize(faces, points);
    else
        object->GetCurrentSize(faces, points);
    return (unsigned(info) & 1) ? points : faces;
}

int CSceneOptimizer::GetMultiresolutionInfo(MultiresolutionInfo info, ApplyTo applyTo) const {
    if (!m_pMultiresScene) return 0;
    COptimizableObjectArray objects;
    const int n = int(GetOptimizableObjects(objects, applyTo, true));
    int total = 0;
    for (int i = 0; i < n; ++i) total += GetMultiresolutionInfo(info, objects[i].mrObject);
    return total;
}

double CSceneOptimizer::GetMaxThresholdFromSelection(ApplyTo applyTo) const {
    if (!IsProgressiveRatioEnabled() || applyTo == APPLY_TO_ALL || (!m_pScene && !m_pMultiresScene)) return 1.0;
    COptimizableObjectArray objects;
    const int n = int(GetOptimizableObjects(objects, applyTo, true));
    double best = 0.0;
    for (int i = 0; i < n; ++i)
        if (objects[i].extObject) best = std::max(best, objects[i].extObject->GetProgressiveThreshold());
    return best;
}

}  // namespace kestovar
