// CSceneOptimizer: the object a host uses to optimise a whole scene. It forwards modes and
// tolerances to the contraction-ready objects of its source scene, runs their contraction, and
// reports progress to the host's callback.
//
// Ownership: the optimiser always owns its multiresolution scene, and owns the source scene only
// when SetScene was told so (SCENEOPTIMIZER_HANDLE_DELETION).
//
// Every progress operation that may run while workers are busy updates the record and calls the
// callback under one nestable lock, so the host's callback is never entered by two threads at
// once and may itself report. Optimize and ComputeMultiresolutionScene run the object work on one
// extra thread (itself running a parallel loop over the objects) while the calling thread polls
// every 50 ms and reports; their begin and end events are sent from the calling thread.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"
#include "kestovar/optimizer/progress_info.h"

namespace kestovar {

class C3DObject;
class C3DScene;
class C3DSceneNode;
class C3DExtObject;
class CMultiresolutionObject;
enum OPTIMIZE_MODE : unsigned long long;

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

// Flag of Optimize: each object contracts to its predictive ratio of its removable points.
constexpr unsigned int OPTIMIZE_PREDICTIVE = 0x800;

// Which nodes an operation applies to. Internally also the selection mask of
// GetOptimizableObjects, where bit 2 additionally skips objects whose ratio is locked. Once the
// multiresolution scene exists the selection is read from its nodes, and it is built with none
// selected, whatever the source scene had: select there (GetScene(GETSCENE_MULTIRES)) before
// setting the levels of the selection.
enum ApplyTo : unsigned int {
    APPLY_TO_ALL = 0,        // every optimisable node
    APPLY_TO_SELECTION = 1,  // only selected nodes (node flag 2)
};
constexpr unsigned int APPLY_TO_SKIP_LOCKED = 0x2;

// Figures of GetMultiresolutionInfo (faces first, then points, of the min, max and current sizes).
enum MultiresolutionInfo : unsigned int {
    MRINFO_MIN_FACES = 0,
    MRINFO_MIN_POINTS = 1,
    MRINFO_MAX_FACES = 2,
    MRINFO_MAX_POINTS = 3,
    MRINFO_CURRENT_FACES = 4,
    MRINFO_CURRENT_POINTS = 5,
};

// Steps of editing an attached source scene (ModifyScene).
enum ModifySceneMode : unsigned int {
    MODIFY_SCENE_BEGIN = 1,
    MODIFY_SCENE_CANCEL = 2,
    MODIFY_SCENE_CONVERT = 4,
};

// Flags of GetScene.
enum _GETSCENE_FLAGS : unsigned int {
    GETSCENE_ORIGINAL_MESH = 0x1,       // source form: show the initial mesh, not the working copy
    GETSCENE_RESET_OPTIMIZATION = 0x4,  // source form: drop each object's optimisation state
    GETSCENE_SOURCE = 0x8,              // the source scene unchanged
    GETSCENE_MULTIRES = 0x10,           // the multiresolution scene itself
    GETSCENE_MULTIRES_FROZEN = 0x20,    // the multiresolution scene frozen at its current levels
                                        // (without GETSCENE_COPY: the optimiser's own, for good)
    GETSCENE_COPY = 0x100,              // a copy (with GETSCENE_SOURCE or GETSCENE_MULTIRES_FROZEN)
    GETSCENE_RELEASE_SOURCE = 0x200,    // with 0x10/0x20: release the source once the other exists
};

// The unit of every per-object loop of the optimiser.
struct OptimizableObjectInfo {
    CMultiresolutionObject* mrObject;
    C3DExtObject* extObject;
    C3DSceneNode* node;
};
typedef CXArray<OptimizableObjectInfo, const OptimizableObjectInfo&> COptimizableObjectArray;

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

    // ---- scenes ----
    // Attaches `scene` (nothing happens when it already is the source scene). A previous source
    // scene is replaced: SCENEOPTIMIZER_NEW_SCENE is set and the old scene deleted when owned.
    // `handleDeletion` decides whether the optimiser owns the new one. Every contraction-ready
    // object of the scene is attached to this optimiser. The multiresolution scene stays.
    void SetScene(C3DScene& scene, bool handleDeletion);
    // See _GETSCENE_FLAGS. The source form (neither 0x10 nor 0x20) shows each contraction-ready
    // object's working mesh (the initial one with GETSCENE_ORIGINAL_MESH) and returns the source
    // scene. The multiresolution forms build that scene on first use; null when it cannot be
    // built. A copy belongs to the caller. Without SCENEOPTIMIZER_WORKING_COPY the objects were
    // reduced in place: once the multiresolution scene is built the source objects hold its
    // coarsest level, and the full detail lives on in the multiresolution scene alone.
    // GETSCENE_MULTIRES_FROZEN without GETSCENE_COPY freezes the optimiser's own multiresolution
    // scene: its objects drop their contraction records and keep the current level for good, and
    // later SetMultiresolutionRatio calls change nothing (in place, the full detail is then gone).
    // Add GETSCENE_COPY for a frozen scene to save while the levels stay playable.
    C3DScene* GetScene(unsigned int flags);
    C3DScene* GetSourceScene() const { return m_pScene; }
    // Returns the source scene and forgets it without deleting it.
    C3DScene* DetachScene();
    // Deletes the source scene when owned; forgets it either way.
    void DeleteScene();
    // Deletes the multiresolution scene (with it, in place, the only full-detail copy).
    void CleanMultiresolutionScene();
    // CleanMultiresolutionScene, then DeleteScene.
    void Clean();
    // Begins, cancels or ends (converting new polymeshes to contraction-ready objects, attaching
    // them and giving them their ancestors' or the optimiser's modes) an edit of the source scene.
    void ModifyScene(ModifySceneMode mode);

    // Sets or clears SCENEOPTIMIZER_SHOW_SELECTED_FACES and passes it to every multiresolution
    // object (or, without multiresolution scene, every contraction-ready object).
    void ShowSelectedFaces(bool show);
    // The library-wide worker-thread count (not a per-optimiser value).
    void SetMaxThreadCount(unsigned int count);
    unsigned int GetMaxThreadCount() const;

    // ---- settings forwarded to every contraction-ready object of the source scene ----
    // Each returns true when at least one object reported a change. Between LockInitialization
    // and UnlockInitialization no progress event is sent and objects defer their re-preparation.
    bool SetOptimizeMode(unsigned long long mode, bool set);
    bool SetOptimizeExtMode(unsigned long long mode, bool set);
    // One object when `object` is non-null, else every object in a parallel loop.
    bool SetOptimizeMode(C3DExtObject* object, OPTIMIZE_MODE mode, bool set);
    bool SelectMaterial(C3DExtObject* object, unsigned int material, bool select);
    bool SetUVWTolerance(float tolerance);
    bool SetVCTolerance(int tolerance);
    bool SetNormalThreshold(double radians);
    bool SetSymetryTolerance(float tolerance);
    bool SetConstraintRatio(float ratio);
    // OR of every object's mode; 0x00C00020 without source scene or when the OR is 0.
    unsigned long long GetOptimizeMode() const;
    unsigned long long GetOptimizeExtMode() const;
    // The first object's value that is set (not -1), else 0.
    float GetUVWTolerance() const;
    int GetVCTolerance() const;
    double GetNormalThreshold() const;
    // The first object's value, else 0.0 / -1.0.
    float GetSymetryTolerance() const;
    float GetConstraintRatio() const;
    // Sums over every object.
    int GetSymetricPairsNumber() const;
    int GetInitialRemovablePointsNumber() const;
    int GetInitialRemovableFacesNumber() const;
    int GetRemovedPointsNumber() const;
    int GetRemovedFacesNumber() const;
    int GetInitialRemovableElementNumber(bool points) const;
    int GetRemovedElementNumber(bool points) const;
    // True as soon as one object answers true.
    bool ContainMaterialFrontier() const;
    bool ContainNormalInfo() const;
    bool ContainUVWInfo() const;
    bool ContainVCInfo() const;
    // Nests: objects defer re-preparation until the matching UnlockInitialization, which
    // re-prepares them in parallel and then gives every object but the largest its progressive
    // threshold when progressive ratios are enabled.
    void LockInitialization();
    void UnlockInitialization();
    int GetInitializationLockCount() const { return m_nInitLockCount; }

    // ---- optimisation ----
    // Contracts every optimisable object to `ratio` (`flags` as C3DExtObject::Optimize, plus
    // OPTIMIZE_PREDICTIVE) on a worker thread; returns the total of the per-object results and
    // reports cancellation (asked through the progress callback) in `cancelled`. Going back to
    // more detail than a previous call left (0.3, then 0.5) needs SCENEOPTIMIZER_WORKING_COPY;
    // without it the objects were reduced in place and stay as they are.
    //
    // Calls made from the progress callback that would run, prepare or change the scene, its
    // objects or the settings are refused, during a run (Optimize, or the build of the
    // multiresolution scene) as during a settings call or UnlockInitialization: they answer
    // false, 0 or null and change nothing (progress calls stay allowed).
    int Optimize(double ratio, bool& cancelled, unsigned int flags);
    // 1.0 for null; the predictive-ratio hook when set; else DefaultPredictiveRatio.
    double ComputePredictiveRatio(C3DObject* object) const;
    void SetPredictiveRatioHook(PredictiveRatioHook hook) { m_pPredictiveRatio = hook; }
    // The ratio expected to keep the shape of `object`, from its share of border and corner
    // points and its size (1.0 for small or null objects). The object is not modified.
    static double DefaultPredictiveRatio(C3DObject* object);
    // 1.0 when progressive ratios are off, applyTo is APPLY_TO_ALL or there is no scene; else the
    // largest progressive threshold of the listed objects.
    double GetMaxThresholdFromSelection(ApplyTo applyTo) const;

    // ---- multiresolution scene ----
    // Moves every listed object (`applyTo`; locked objects only with MRRATIO_FORCE) to `ratio`
    // (clamped to [0, 1]) or `count`, with the multiresolution objects' ratio flags. With
    // MRRATIO_ABSOLUTE `count` is a total over the objects, reached through one common ratio found
    // by bisection; when no ratio gives it exactly the search stops once two successive totals
    // are equal. False without multiresolution scene.
    bool SetMultiresolutionRatio(double ratio, int count, unsigned int flags, ApplyTo applyTo);
    // Locks or unlocks the ratio of the listed multiresolution objects; returns how many changed.
    int LockOptimizeRatio(bool lock, ApplyTo applyTo);
    bool HasLockedRatio() const;
    // True when every listed object reports the same last ratio (and none is unset).
    bool HasSameRatio(ApplyTo applyTo) const;
    // APPLY_TO_SELECTION when some but not all optimisable nodes are selected.
    ApplyTo GetApplyToMode() const;
    // Sum of the figure `info` over the listed objects (0 for info > 5 or without the scene).
    int GetMultiresolutionInfo(MultiresolutionInfo info, ApplyTo applyTo) const;

    // ---- collectors ----
    // {multiresolution object or null, contraction-ready object or null, node} of every node of
    // the multiresolution scene (else the source scene); `selection` is an ApplyTo value, with
    // APPLY_TO_SKIP_LOCKED leaving out objects whose ratio is locked. Returns the count.
    unsigned int GetOptimizableObjects(COptimizableObjectArray& objects, unsigned int selection,
                                       bool checkNode) const;

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
    // Stores the callback and its user pointer (no event). A callback may clear itself.
    void SetProgressCallback(QuorvaneProgressCallback callback, void* user);
    QuorvaneProgressCallback GetProgressCallback() const {
        return m_pCallback.load(std::memory_order_acquire);
    }
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
    // Every contraction-ready object of the source scene (also those held by multiresolution
    // objects), with its node; excluded nodes are left out when `onlyOptimizable` and the
    // optimiser skips them.
    unsigned int GetSrcExtObjects(COptimizableObjectArray& objects, bool onlyOptimizable) const;
    C3DExtObject* GetExtObject(C3DSceneNode* node, bool checkNode) const;
    CMultiresolutionObject* GetMultiresolutionObject(C3DSceneNode* node, bool checkNode) const;
    // Builds the multiresolution scene (not stored): every optimisable object is handed over as a
    // multiresolution object on a worker thread, and the source scene is copied with them in
    // place. Null without source scene, without objects or on cancellation (nothing is kept).
    C3DScene* ComputeMultiresolutionScene();
    // The contraction-ready and multiresolution objects of `scene` forget this optimiser: it lets
    // go of the scene (DetachScene, DeleteScene, another SetScene, CleanMultiresolutionScene) or
    // goes away, and a scene the host keeps may be given to another optimiser, or its levels set
    // without one.
    void UnbindSceneObjects(C3DScene* scene);
    // Whether the scene the multiresolution scene was built from is still the source scene.
    bool IsMultiresSourceAttached() const { return m_pScene && m_pScene == m_pMultiresSource; }
    int GetMultiresolutionInfo(MultiresolutionInfo info, const CMultiresolutionObject* object) const;
    bool SetOptimizeModeOrExtMode(unsigned long long mode, bool ext, bool set);
    unsigned long long GetOptimizeModeOrExtMode(bool ext) const;
    // Settings events: state 1, begin with resource text `textId`, end; nothing while the
    // initialisation lock count is non-zero.
    void BeginSettings(unsigned int textId, bool setState);
    void EndSettings();
    // Sends `event` under the lock (nothing without callback).
    void SendEvent(unsigned int event);

    void LockProgress() { omp_set_nest_lock(m_pProgressLock); }
    void UnlockProgress() { omp_unset_nest_lock(m_pProgressLock); }
    // Holds the progress lock for a scope, released also when the host's callback throws (the
    // workers would otherwise wait for it forever).
    class CProgressLock {
    public:
        explicit CProgressLock(CSceneOptimizer& optimizer) : m_optimizer(optimizer) { optimizer.LockProgress(); }
        ~CProgressLock() { m_optimizer.UnlockProgress(); }
        CProgressLock(const CProgressLock&) = delete;
        CProgressLock& operator=(const CProgressLock&) = delete;

    private:
        CSceneOptimizer& m_optimizer;
    };
    // Calls the callback with `event` (false without one); the caller holds the lock. The
    // callback is read once: a callback may clear itself (SetProgressCallback(nullptr, nullptr)).
    bool Notify(unsigned int event) {
        const QuorvaneProgressCallback callback = m_pCallback.load(std::memory_order_acquire);
        if (!callback) return false;
        const CInCallback inCallback(m_nCallbackDepth);
        return callback(event, m_progress, m_pUser.load(std::memory_order_relaxed));
    }
    // Counts the host's callbacks under way for its lifetime (also when the callback raises).
    class CInCallback {
    public:
        explicit CInCallback(std::atomic<int>& depth) : m_depth(depth) {
            depth.fetch_add(1, std::memory_order_relaxed);
        }
        ~CInCallback() { m_depth.fetch_sub(1, std::memory_order_relaxed); }
        CInCallback(const CInCallback&) = delete;
        CInCallback& operator=(const CInCallback&) = delete;

    private:
        std::atomic<int>& m_depth;
    };
    // True while a run or the multiresolution build is under way, or while the host's callback
    // is being called: the calls that change the optimiser, prepare objects or start a run are
    // refused then. A call from the callback would otherwise wait for the progress lock that its
    // own thread holds, or change what the operation that called the host is working on.
    bool IsBusy() const { return m_bRunning || m_nCallbackDepth.load(std::memory_order_relaxed) > 0; }

    unsigned int m_nFlags;
    QuorvaneProgressInfo m_progress;
    // Atomic: the progress operations test it before taking the lock, and a callback may clear
    // it while other threads report.
    std::atomic<QuorvaneProgressCallback> m_pCallback;
    std::atomic<int> m_nCallbackDepth{0};
    PredictiveRatioHook m_pPredictiveRatio;
    std::atomic<void*> m_pUser;
    omp_nest_lock_t* m_pProgressLock;
    C3DScene* m_pScene;
    C3DScene* m_pMultiresScene;
    // The source scene the multiresolution scene was built from: its multiresolution objects
    // name contraction-ready objects of that scene only, followed while it is still the source.
    const C3DScene* m_pMultiresSource = nullptr;
    // Set while Optimize or the multiresolution build runs (see Optimize).
    bool m_bRunning = false;
    // Sets m_bRunning for its lifetime.
    class CRunning {
    public:
        explicit CRunning(bool& running) : m_running(running) { running = true; }
        ~CRunning() { m_running = false; }
        CRunning(const CRunning&) = delete;
        CRunning& operator=(const CRunning&) = delete;

    private:
        bool& m_running;
    };
    int m_nInitLockCount;
};

}  // namespace kestovar
