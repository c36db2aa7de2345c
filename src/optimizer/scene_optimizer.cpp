// The scene optimiser's flags, node filter, progressive ratio rule and progress reporting (see
// kestovar/optimizer/scene_optimizer.h).
#include "kestovar/optimizer/scene_optimizer.h"

#include <algorithm>

#include "kestovar/core/memory.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/platform/thread.h"
#include "kestovar/scene/scene.h"
#include "kestovar/scene/scene_node.h"
#include "kestovar/simplify/ext_object.h"
#include "core/parallel_failure.h"

namespace kestovar {

namespace {

// English texts of the optimiser's messages, used when the library's string table lacks them.
const wchar_t* OptimizerText(unsigned int id) {
    switch (id) {
        case 352: return L"Currently looking for optimal optimization for mesh %d on %d...";
        case 357: return L"%d elements have been removed.";
        case 365: return L"Initializing optimization...";
        case 371: return L"%d dynamic object(s) initialized...";
        case 374: return L"%d object(s) optimized...";
        case 396: return L"Updating material optimisation information...";
        default: return nullptr;
    }
}

}  // namespace

// ---- progress record --------------------------------------------------------------------------

QuorvaneProgressInfo::QuorvaneProgressInfo()
    : m_bCancel(false),
      m_bMultipleMeshes(false),
      m_nMainThread(threadGetCurrentId()),
      m_nMeshPos(0),
      m_nMeshCount(1),
      m_nMin(0),
      m_nMax(0),
      m_nPos(0),
      m_state(STATE_NONE),
      m_logLevel(LOG_LEVEL_NONE),
      m_bReplaceLastLine(false) {}

QuorvaneProgressInfo::QuorvaneProgressInfo(const CXTString<wchar_t>& text, LogLevel level, bool replaceLastLine,
                                           ProgressState state)
    : QuorvaneProgressInfo() {
    m_text = text;
    m_logLevel = level;
    m_bReplaceLastLine = replaceLastLine;
    m_state = state;
}

// ---- construction -----------------------------------------------------------------------------

CSceneOptimizer::CSceneOptimizer()
    : m_nFlags(0),
      m_pCallback(nullptr),
      m_pPredictiveRatio(nullptr),
      m_pUser(this),
      m_pProgressLock(static_cast<omp_nest_lock_t*>(xmalloc(sizeof(omp_nest_lock_t)))),
      m_pScene(nullptr),
      m_pMultiresScene(nullptr),
      m_nInitLockCount(0) {
    if (!m_pProgressLock) XThrow<CXMemoryException>();
    try {
        detail::PrepareThreadForOpenMP();
    } catch (...) {
        xfree(m_pProgressLock);
        throw;
    }
    omp_init_nest_lock(m_pProgressLock);
}

CSceneOptimizer::~CSceneOptimizer() {
    CleanMultiresolutionScene();
    DeleteScene();
    omp_destroy_nest_lock(m_pProgressLock);
    xfree(m_pProgressLock);
}

// ---- nodes and ratios -------------------------------------------------------------------------

bool CSceneOptimizer::CanOptimizeNode(const C3DSceneNode* node) const {
    return !(node && IsFlagSet(SCENEOPTIMIZER_SKIP_EXCLUDED_NODES) && node->IsFlagSet(NODE_SKIP));
}

bool CSceneOptimizer::IsProgressiveRatioEnabled() const {
    if (!IsFlagSet(SCENEOPTIMIZER_PROGRESSIVE_RATIO) || !m_pScene) return false;
    // Progressive ratios only mean something between objects: stop at the second one found.
    int found = 0;
    for (C3DNodePos pos = m_pScene->GetFirstNode(OBJECT_GEOMETRIC_MASK, 1); pos;) {
        C3DBaseObject* object = nullptr;
        C3DSceneNode* node = m_pScene->GetNextNode(pos, object);
        if (!node || !CanOptimizeNode(node)) continue;
        if (!dynamic_cast<C3DExtObject*>(object)) continue;
        if (++found > 1) return true;
    }
    return false;
}

double CSceneOptimizer::GetObjectRatioFromGlobalRatio(bool progressive, double globalRatio, double threshold,
                                                      unsigned int /*flags*/, bool& clamped) {
    clamped = false;
    if (!progressive) return globalRatio;
    if (globalRatio > threshold) {
        clamped = true;
        return 1.0;
    }
    return globalRatio / threshold;
}

double CSceneOptimizer::GetObjectRatioFromGlobalRatio(double globalRatio, double threshold, unsigned int flags,
                                                      bool& clamped) const {
    return GetObjectRatioFromGlobalRatio(IsProgressiveRatioEnabled(), globalRatio, threshold, flags, clamped);
}

double CSceneOptimizer::ComputeProgressiveThreshold(int removable, int largestRemovable) {
    const double b = double(largestRemovable);
    double t = double(6.0f * float(removable)) / b;
    if (t > 1.0) t = double(3.0f * float(removable)) / b;
    if (t > 1.0) t = double(1.5f * float(removable)) / b;
    return std::min(t, 1.0);
}

// ---- progress ---------------------------------------------------------------------------------

void CSceneOptimizer::SetProgressCallback(QuorvaneProgressCallback callback, void* user) {
    // Without the lock: a host may set or clear the callback from another thread while its
    // callback waits for that thread. The user pointer goes first, so that a report that sees
    // the new callback sees its user pointer too.
    m_pUser.store(user, std::memory_order_relaxed);
    m_pCallback.store(callback, std::memory_order_release);
}

void CSceneOptimizer::SetProgressRange(unsigned int min, unsigned int max) {
    if (!m_pCallback) return;
    CProgressLock lock(*this);
    m_progress.m_nMin = int(min);
    m_progress.m_nMax = int(max);
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_RANGE);
}

void CSceneOptimizer::AddProgressRange(unsigned int n) {
    if (!m_pCallback) return;
    CProgressLock lock(*this);
    m_progress.m_nMax += int(n);
    m_progress.m_nMin = 0;
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_RANGE);
}

void CSceneOptimizer::SetProgressPos(unsigned int pos) {
    if (!m_pCallback) return;
    CProgressLock lock(*this);
    m_progress.m_nPos = int(pos);
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_RANGE | OPTPROGRESS_POS);
}

void CSceneOptimizer::AddProgressPos(unsigned int n) {
    if (!m_pCallback) return;
    CProgressLock lock(*this);
    m_progress.m_nPos += int(n);
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_POS);
}

void CSceneOptimizer::SetProgressMeshRange(unsigned int n) {
    if (!m_pCallback) return;
    CProgressLock lock(*this);
    m_progress.m_nMeshCount = int(n);
    m_progress.m_nMin = 0;
    m_progress.m_nMax = 0;
    m_progress.m_nPos = 0;
    m_progress.m_nMeshPos = 0;
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_MESH_RANGE);
}

void CSceneOptimizer::SetMeshPos(unsigned int i) {
    if (!m_pCallback) return;
    CProgressLock lock(*this);
    m_progress.m_nMeshPos = int(i);
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_MESH_POS);
    if (m_progress.m_bMultipleMeshes) Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_RANGE | OPTPROGRESS_POS);
}

void CSceneOptimizer::SetProgressStatus(const CXTString<wchar_t>& text) {
    if (!m_pCallback) return;
    CProgressLock lock(*this);
    m_progress.m_text = text;
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_TEXT);
}

void CSceneOptimizer::ShowInformation(bool show, unsigned int textId) {
    if (!m_pCallback || m_nInitLockCount != 0) return;
    CProgressLock lock(*this);
    if (!show) {
        Notify(OPTPROGRESS_SETTINGS | OPTPROGRESS_END);
    } else if (textId != 0xFFFFFFFFu) {
        m_progress.m_text = LoadResourceString(textId, OptimizerText(textId));
        Notify(OPTPROGRESS_SETTINGS | OPTPROGRESS_BEGIN | OPTPROGRESS_TEXT);
    } else {
        Notify(OPTPROGRESS_SETTINGS | OPTPROGRESS_BEGIN);
    }
}

bool CSceneOptimizer::CheckCancelButton() {
    if (!m_pCallback) return false;
    CProgressLock lock(*this);
    return Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_CANCEL_QUERY);
}

}  // namespace kestovar
