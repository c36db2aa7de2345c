// The scene optimiser's runs: Optimize and the building of the multiresolution scene. Both put the
// object work on one worker thread that runs a parallel loop over the objects, while the calling
// thread polls every 50 ms, answers nothing itself and reports progress to the host. A poll ends
// early when the worker finishes, so that a run of small objects does not wait out the interval.
// The parallel loops over objects (here and in the settings) run without a team for a single
// object: the team's start and barriers would be all it added (milliseconds each on a busy machine).
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "kestovar/core/log.h"
#include "kestovar/core/resource_strings.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/mesh/object_creator.h"
#include "kestovar/multires/multires_object.h"
#include "kestovar/optimizer/scene_optimizer.h"
#include "kestovar/platform/thread.h"
#include "kestovar/platform/time.h"
#include "core/parallel_failure.h"
#include "optimizer/scene_optimizer_internal.h"

namespace kestovar {

namespace {

const wchar_t kRemovedText[] = L"%d elements have been removed.";
const wchar_t kInitializedText[] = L"%d dynamic object(s) initialized...";
const wchar_t kOptimizedText[] = L"%d object(s) optimized...";

// Shared state of one run between the calling thread and the worker.
struct RunCounters {
    std::atomic<int> done{0};
    std::atomic<int> total{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> cancelled{false};
    // Wakes the polling thread when `finished` is set.
    std::mutex mutex;
    std::condition_variable wake;
    // What an object's work raised (by object index), or the worker's own work (after them all);
    // raised again on the calling thread once the worker has ended.
    detail::CParallelFailure failure;
};

// Runs `body` on a new thread whose cancellation follows the calling thread's. A thread the
// system cannot start (no room for its stack, or the process's thread limit) raises
// CXMemoryException, as every other resource the run cannot get does.
template <class Fn>
std::thread StartWorker(RunCounters& counters, Fn body) try {
    const uint64_t parent = threadGetCurrentId();
    // Both threads take the progress lock (an OpenMP nestable lock) while the work runs.
    detail::PrepareThreadForOpenMP();
    return std::thread([&counters, parent, body]() mutable {
        const uint64_t self = threadGetCurrentId();
        // Attaching (an allocation that may fail) runs inside the failure frame too: nothing may
        // leave the thread's body.
        bool attached = false;
        counters.failure.Run(INT_MAX - 1, [&] {
            detail::PrepareThreadForOpenMP();
            AttachThread(self, parent);
            attached = true;
            body();
        });
        if (attached) DetachThread(self);
        {
            std::lock_guard<std::mutex> lock(counters.mutex);
            counters.finished.store(true, std::memory_order_release);
        }
        counters.wake.notify_all();
    });
} catch (const std::system_error&) {
    XThrow<CXMemoryException>("out of memory: a worker thread could not be started");
}

// Joins the worker when the calling thread leaves its polling loop early (an exception from the
// host's callback or a refused allocation): the objects not yet started are skipped and the
// running ones finish first, as a thread may not be destroyed while it runs.
class CWorkerJoin {
public:
    CWorkerJoin(std::thread& worker, RunCounters& counters) : m_worker(worker), m_counters(counters) {}
    CWorkerJoin(const CWorkerJoin&) = delete;
    CWorkerJoin& operator=(const CWorkerJoin&) = delete;
    ~CWorkerJoin() {
        if (!m_worker.joinable()) return;
        m_counters.cancelled.store(true, std::memory_order_release);
        m_worker.join();
    }

private:
    std::thread& m_worker;
    RunCounters& m_counters;
};

// The polling interval: 50 ms, or less when the worker finishes first.
void Pause(RunCounters& counters) {
    std::unique_lock<std::mutex> lock(counters.mutex);
    counters.wake.wait_for(lock, std::chrono::milliseconds(50),
                           [&counters] { return counters.finished.load(std::memory_order_acquire); });
}

// The multiresolution creator: the copy of the source scene shares the multiresolution objects
// made for its contraction-ready objects instead of copying them.
class CMultiresolutionCreator : public C3DObjectCreator {
public:
    explicit CMultiresolutionCreator(const CObjectMap& map) : m_map(map) {}
    C3DBaseObject* GetNewObjectFrom(const C3DBaseObject* source, bool& created) override {
        void* mapped = nullptr;
        if (m_map.Find(source, mapped)) {
            created = false;
            return static_cast<C3DBaseObject*>(mapped);
        }
        return C3DObjectCreator::GetNewObjectFrom(source, created);
    }

private:
    const CObjectMap& m_map;
};

}  // namespace

// ---- Optimize ---------------------------------------------------------------------------------

int CSceneOptimizer::Optimize(double ratio, bool& cancelled, unsigned int flags) {
    const unsigned int t0 = timeGetTick();
    cancelled = false;
    if (IsBusy()) return 0;  // called from the host's callback
    const CRunning running(m_bRunning);
    COptimizableObjectArray objects;
    const int n = int(GetSrcExtObjects(objects, true));

    LockProgress();
    m_progress.m_state = QuorvaneProgressInfo::STATE_OPTIMIZING;
    m_progress.m_bMultipleMeshes = n > 1;
    UnlockProgress();
    if (m_pCallback) {
        Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_BEGIN);
        SetProgressMeshRange(unsigned(n));
    }

    RunCounters counters;
    std::thread worker = StartWorker(counters, [&]() {
        const int chunk = int(OMPGetScheduleChunkSize(unsigned(n)));
        detail::ParallelFor(n, OMPGetMaxThreadCount(), chunk, [&](int i) {
            if (counters.cancelled.load(std::memory_order_acquire)) return;
            C3DExtObject* object = objects[i].extObject;
            double r = ratio;
            unsigned int f = flags;
            counters.failure.Run(i, [&] {
                if (f & OPTIMIZE_PREDICTIVE) {
                    // The count is taken from the object's removable points, which exist only once
                    // it is prepared (0 before: the whole object would go).
                    object->InitOptimization(true);
                    r = ComputePredictiveRatio(object) * object->GetInitialRemovablePointsNumber();
                    f = 0x22;  // an absolute point count
                }
                bool objectCancelled = false;
                const int result = object->Optimize(r, objectCancelled, f);
                counters.total.fetch_add(result);
                if (objectCancelled) counters.cancelled.store(true, std::memory_order_release);
            });
            counters.done.fetch_add(1);
        });
    });

    CWorkerJoin join(worker, counters);
    int lastDone = 0, lastPos = 0;
    while (!counters.finished.load(std::memory_order_acquire)) {
        Pause(counters);
        if (!m_pCallback) continue;
        int pos;
        {
            CProgressLock lock(*this);
            Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_CANCEL_QUERY);
            pos = m_progress.m_nPos;
        }
        const int done = counters.done.load();
        if (done == lastDone && pos - lastPos < 5000) continue;
        lastDone = done;
        lastPos = pos;
        {
            CProgressLock lock(*this);
            if (m_progress.m_bMultipleMeshes) {
                m_progress.m_nMeshPos = done;
                Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_MESH_POS);
            }
            Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_RANGE | OPTPROGRESS_POS);
        }
        CXTString<wchar_t> text, removed;
        text.Format(LoadResourceString(374, kOptimizedText), done);
        removed.Format(LoadResourceString(357, kRemovedText), pos);
        text += L"\n";
        text += removed;
        SetProgressStatus(text);
    }
    worker.join();

    cancelled = counters.cancelled.load();
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_END);
    if (IsLogFileEnabled()) WriteToLogFile("Optimization time: %d ms\n", int(timeGetTick() - t0));
    counters.failure.Rethrow();
    return counters.total.load();
}

// ---- multiresolution scene --------------------------------------------------------------------

C3DScene* CSceneOptimizer::ComputeMultiresolutionScene() {
    if (!m_pScene || IsBusy()) return nullptr;
    if (m_pMultiresScene) return m_pMultiresScene;
    const CRunning running(m_bRunning);

    C3DObjectCreator::CObjectMap map(21);
    COptimizableObjectArray objects;
    const int n = int(GetSrcExtObjects(objects, true));
    // Each object's multiresolution object, at the object's place in the scene order (null where
    // none was made); every iteration writes its own entry. They are built first and handed over
    // only once all are built, so that a cancel or a failure on the way leaves every object its
    // reduction and its record. Whatever happens, the pending hand-offs release their objects
    // on the way out: the scene copy takes references of its own.
    CXArray<CMultiresHandOff*, CMultiresHandOff*> made;
    made.SetSize(n);
    struct ReleaseMade {
        CXArray<CMultiresHandOff*, CMultiresHandOff*>& made;
        ~ReleaseMade() {
            for (int i = 0; i < made.GetSize(); ++i)
                if (made[i]) made[i]->Delete();
        }
    } releaseMade{made};

    LockProgress();
    m_progress.m_state = QuorvaneProgressInfo::STATE_MULTIRESOLUTION;
    m_progress.m_bMultipleMeshes = false;
    UnlockProgress();
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_BEGIN);
    SetProgressMeshRange(unsigned(n));

    RunCounters counters;
    CXCriticalSection guard;
    const unsigned int start = timeGetTick();
    const int chunk = int(OMPGetScheduleChunkSize(unsigned(n)));
    std::thread worker = StartWorker(counters, [&]() {
        detail::ParallelFor(n, OMPGetMaxThreadCount(), chunk, [&](int i) {
            if (counters.cancelled.load(std::memory_order_acquire)) return;
            counters.failure.Run(i, [&] {
                bool objectCancelled = false;
                CMultiresHandOff* handOff = objects[i].extObject->BuildMultiresolutionObject(objectCancelled);
                made[i] = handOff;  // first: from here on it is released whatever fails
                if (handOff) {
                    CXSingleLock lock(&guard, true);
                    map.Insert(static_cast<const C3DBaseObject*>(objects[i].extObject),
                               static_cast<C3DBaseObject*>(handOff->GetObject()));
                }
                if (objectCancelled) counters.cancelled.store(true, std::memory_order_release);
            });
            counters.done.fetch_add(1);
        });
    });

    CWorkerJoin join(worker, counters);
    int lastDone = 0;
    while (!counters.finished.load(std::memory_order_acquire)) {
        Pause(counters);
        if (!m_pCallback) continue;
        {
            // As in Optimize: the host is asked on every pass; the objects see a cancel through
            // their own queries.
            CProgressLock lock(*this);
            Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_CANCEL_QUERY);
        }
        const int done = counters.done.load();
        if (done == lastDone) continue;
        lastDone = done;
        {
            CProgressLock lock(*this);
            m_progress.m_nMeshPos = done;
            Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_MESH_POS);
            if (m_progress.m_bMultipleMeshes) Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_RANGE | OPTPROGRESS_POS);
        }
        CXTString<wchar_t> text;
        text.Format(LoadResourceString(371, kInitializedText), done);
        SetProgressStatus(text);
    }
    worker.join();
    Notify(OPTPROGRESS_PROCESS | OPTPROGRESS_END);

    // The objects made, in scene order.
    CXArray<CMultiresolutionObject1*, CMultiresolutionObject1*> created;
    for (int i = 0; i < n; ++i)
        if (made[i]) created.Add(made[i]->GetObject());
    const int count = created.GetSize();
    counters.failure.Rethrow();
    if (counters.cancelled.load()) return nullptr;
    if (count == 0) return nullptr;

    // Every object is built: the hand-overs. They ask the host nothing, so that no answer of its
    // and nothing it raises can come between them and discard an object already handed over
    // (in place, its full mesh lives only in its multiresolution object from then on).
    detail::CParallelFailure commitFailure;
    detail::ParallelFor(n, OMPGetMaxThreadCount(), chunk, [&](int i) {
        commitFailure.Run(i, [&] {
            if (made[i]) objects[i].extObject->CommitMultiresolutionObject(*made[i]);
        });
    });
    commitFailure.Rethrow();
    if (IsLogFileEnabled())
        WriteToLogFile("Multiresolution scene generation time: %d ms\n", int(timeGetTick() - start));

    // By removable points, ties in scene order (a stable sort of the scene-ordered list), so that
    // the thresholds do not depend on the order in which the workers finished.
    CMultiresolutionObject1** first = created.GetData();
    std::stable_sort(first, first + count, [](const CMultiresolutionObject1* a, const CMultiresolutionObject1* b) {
        return a->GetRemovablePtNbr() < b->GetRemovablePtNbr();
    });
    if (count >= 2) {
        const int largest = first[count - 1]->GetRemovablePtNbr();
        for (int i = count - 2; i >= 0; --i)
            first[i]->SetProgressiveThreshold(ComputeProgressiveThreshold(first[i]->GetRemovablePtNbr(), largest));
    }

    CMultiresolutionCreator creator(map);
    C3DScene* scene = m_pScene->Copy(nullptr, 0, &creator, 0x100);
    if (scene) scene->SelectNone();
    return scene;
}

}  // namespace kestovar
