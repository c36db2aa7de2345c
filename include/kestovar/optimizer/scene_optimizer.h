// CSceneOptimizer: the object a host uses to optimise a whole scene. It forwards modes and
// tolerances to the contraction-ready objects of its source scene, runs their contraction, and
// reports progress to the host's callback.
//
// This header holds the part of the class the simplification engine relies on: the flag word,
// the node filter, the per-object ratio rule of progressive ratios, and the progress and cancel
// operations that contraction runs call from worker threads. Every progress operation that may
// run while workers are busy updates the record and calls the callback under one nestable lock,
// so the host's callback is never entered by two threads at once and may itself report.
#pragma once

#include <omp.h>

#include <cstdint>

#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"
#include "kestovar/optimizer/progress_info.h"

namespace kestovar {

class C3DObject;
class C3DScene;
class C3DSceneNode;

// Bits of the optimiser's flag word.
enum _SCENEOPTIMIZER_FLAGS : unsigned int {
    SCENEOPTIMIZER_SKIP_EXCLUDED_NODES = 0x1,        // nodes with node flag 1 are not optimised
    SCENEOPTIMIZER_SHOW_SELECTED_FACES = 0x2,        // objects mark the faces they will not touch
    SCENEOPTIMIZER_PROGRESSIVE_RATIO = 0x4,          // smaller objects keep detail longer
    SCENEOPTIMIZER_WORKING_COPY = 0x10000,           // objects never modify their initial mesh
    SCENEOPTIMIZER_RECORD_CONTRACTIONS = 0x20000,    // contractions are recorded for playback
    SCENEOPTIMIZER_HANDLE_DELETION = 0x1000000,      // the optimiser deletes its source scene
    SCENEOPTIMIZER_NEW_SCENE = 0x2000000,            // a previous source scene was replaced
};

// Bits of the event word passed to the progress callback.
enum _OPTPROGRESS_EVENTS : unsigned int {
    OPTPROGRESS_SETTINGS = 0x1,       // a settings or information operation
    OPTPROGRESS_PROCESS = 0x2,        // an optimisation, scene-building or automatic run
    OPTPROGRESS_BEGIN = 0x10,         // an operation starts
    OPTPROGRESS_END = 0x20,           // an operation ends
    OPTPROGRESS_CANCEL_QUERY = 0x40,  // the callback's answer is the cancel answer
    OPTPROGRESS_RANGE = 0x80,         // range minimum/maximum changed
    OPTPROGRESS_MESH_RANGE = 0x100,   // mesh count changed (position, range, mesh position reset)
    OPTPROGRESS_POS = 0x200,          // position changed
    OPTPROGRESS_MESH_POS = 0x400,     // mesh position changed
    OPTPROGRESS_TEXT = 0x800,         // the record's text changed
};

// The host's progress callback: `event` is a set of _OPTPROGRESS_EVENTS bits; the answer is read
// only for OPTPROGRESS_CANCEL_QUERY (true asks to cancel).
typedef bool (*QuorvaneProgressCallback)(unsigned int event, const QuorvaneProgressInfo& info, void* user);
// Replaces DefaultPredictiveRatio when set.
typedef double (*PredictiveRatioHook)(C3DObject* object);

class KESTOVAR_API CSceneOptimizer {
public:
    // Flag word 0, no callback (the user pointer is the optimiser itself), no scenes.
    CSceneOptimizer();
    // Deletes the multiresolution scene, and the source scene when SCENEOPTIMIZER_HANDLE_DELETION
    // is set; destroys the progress lock.
    virtual ~CSceneOptimizer();
    CSceneOptimizer(const CSceneOptimizer&) = delete;
    CSceneOptimizer& operator=(const CSceneOptimizer&) = delete;

    // ---- flags ----
    // ORs `flag` in when `set`, clears it otherwise (the same for SetFlags with several bits).
    void SetFlag(unsigned int flag, bool set) { SetFlags(flag, set); }
    void SetFlags(unsigned int flags, bool set) { m_nFlags = set ? (m_nFlags | flags) : (m_nFlags & ~flags); }
    // True when every bit of `flags` is set.
    bool IsFlagSet(unsigned int flags) const { return (m_nFlags & flags) == flags; }
    unsigned int GetFlags() const { return m_nFlags; }
    // The low 16 bits of the flag word (the persistent settings).
    unsigned int SaveFlags() const { return m_nFlags & 0xFFFFu; }
    // ORs in the low 16 bits of `value`; never clears a bit.
    void LoadFlags(unsigned int value) { m_nFlags |= value & 0xFFFFu; }

    bool IsNewScene() const { return IsFlagSet(SCENEOPTIMIZER_NEW_SCENE); }
    bool OptimizerHandleDeletion() const { return IsFlagSet(SCENEOPTIMIZER_HANDLE_DELETION); }
    bool HasMultiresolutionScene() const { return m_pMultiresScene != nullptr; }

    // ---- nodes and ratios ----
    // False only when SCENEOPTIMIZER_SKIP_EXCLUDED_NODES is set and the node carries node flag 1.
    // A null node can be optimised (objects used outside a scene).
    bool CanOptimizeNode(const C3DSceneNode* node) const;
    // True when SCENEOPTIMIZER_PROGRESSIVE_RATIO is set and the source scene holds more than one
    // optimisable node with a contraction-ready object.
    bool IsProgressiveRatioEnabled() const;
    // The ratio an object with progressive threshold `threshold` gets for the scene-wide ratio
    // `globalRatio` (both in [0, 1]): globalRatio unchanged when progressive ratios are off;
    // else 1.0 with clamped = true when globalRatio > threshold, otherwise globalRatio /
    // threshold. An object therefore stays at full detail until the global ratio falls below its
    // threshold and reaches 0 with the others. `flags` is not used.
    double GetObjectRatioFromGlobalRatio(double globalRatio, double threshold, unsigned int flags, bool& clamped) const;
    static double GetObjectRatioFromGlobalRatio(bool progressive, double globalRatio, double threshold,
                                                unsigned int flags, bool& clamped);
    // The progressive threshold of an object with `removable` removable points when the largest
    // object has `largestRemovable`: t = 6a / b, else 3a / b when that exceeds 1, else 1.5a / b;
    // at most 1.0. The products are formed in single precision, the division in double.
    static double ComputeProgressiveThreshold(int removable, int largestRemovable);

    // ---- progress ----
    // Each operation below does nothing without a callback; otherwise it takes the progress lock,
    // updates the record, calls the callback with the user pointer and releases the lock.
    // Stores the callback and its user pointer (no lock, no event).
    void SetProgressCallback(QuorvaneProgressCallback callback, void* user);
    QuorvaneProgressCallback GetProgressCallback() const { return m_pCallback; }
    const QuorvaneProgressInfo& GetProgressInfo() const { return m_progress; }
    // Range [min, max]; event 0x82.
    void SetProgressRange(unsigned int min, unsigned int max);
    // max += n, min = 0; event 0x82.
    void AddProgressRange(unsigned int n);
    // position = pos; event 0x282.
    void SetProgressPos(unsigned int pos);
    // position += n; event 0x202.
    void AddProgressPos(unsigned int n);
    // Mesh count = n; min, max, position and mesh position 0; event 0x102.
    void SetProgressMeshRange(unsigned int n);
    // Mesh position = i; event 0x402, then 0x282 when the run spans several objects.
    void SetMeshPos(unsigned int i);
    // Text; event 0x802.
    void SetProgressStatus(const CXTString<wchar_t>& text);
    // show with textId != 0xFFFFFFFF: text = resource string textId, event 0x811; show without a
    // text: 0x11; !show: 0x21. Nothing while the initialisation lock count is non-zero.
    void ShowInformation(bool show, unsigned int textId);
    // Event 0x42; the callback's answer (false without callback). Safe from any thread.
    bool CheckCancelButton();

protected:
    void LockProgress() { omp_set_nest_lock(m_pProgressLock); }
    void UnlockProgress() { omp_unset_nest_lock(m_pProgressLock); }
    // Calls the callback with `event`; the caller holds the lock.
    bool Notify(unsigned int event) { return m_pCallback(event, m_progress, m_pUser); }

    unsigned int m_nFlags;
    QuorvaneProgressInfo m_progress;
    QuorvaneProgressCallback m_pCallback;
    PredictiveRatioHook m_pPredictiveRatio;
    void* m_pUser;
    omp_nest_lock_t* m_pProgressLock;
    C3DScene* m_pScene;
    C3DScene* m_pMultiresScene;
    int m_nInitLockCount;
};

}  // namespace kestovar
