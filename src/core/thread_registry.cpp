#include "kestovar/core/thread_registry.h"

#include <omp.h>

#include <atomic>
#include <cstdlib>

#include "core/parallel_failure.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/runtime.h"
#include "platform/thread_start.h"
#include "runtime_internal.h"

namespace kestovar {

namespace {

using ThreadSet = CHashTable<uint64_t>;
using ParentMap = CHashMap<uint64_t, uint64_t, uint64_t>;

// A set of threads, created on first insertion under the library lock. The member count is
// mirrored in an atomic so that a query can tell "no thread is in the set" without taking the lock:
// ShouldCancelThread runs once per line of a file being read and once per batch of contractions,
// and stays lock-free whenever no cancellation is pending, also after earlier ones were cleared.
struct MemberSet {
    std::atomic<ThreadSet*> set{nullptr};
    std::atomic<int> count{0};
};

std::atomic<ParentMap*> g_parents{nullptr};
MemberSet g_cancelSet;
MemberSet g_silentSet;

// 0 until the count is first stored (initialisation or first use).
std::atomic<int> g_threadCount{0};

uint64_t Resolve(uint64_t thread) { return thread ? thread : threadGetCurrentId(); }

template <class T>
T* GetOrCreate(std::atomic<T*>& holder) {
    T* p = holder.load(std::memory_order_acquire);
    if (!p) {
        p = new T(21);
        holder.store(p, std::memory_order_release);
    }
    return p;
}

void SetMembership(MemberSet& members, bool member, uint64_t thread) {
    thread = Resolve(thread);
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (member) {
        GetOrCreate(members.set)->Insert(thread);
    } else if (ThreadSet* set = members.set.load(std::memory_order_acquire)) {
        set->Remove(thread);
    }
    ThreadSet* set = members.set.load(std::memory_order_acquire);
    members.count.store(set ? set->GetCount() : 0, std::memory_order_release);
}

// Whether `thread` or one of its ancestors is in the set.
bool IsMemberOrInherited(MemberSet& members, uint64_t thread) {
    if (members.count.load(std::memory_order_acquire) == 0) return false;
    thread = Resolve(thread);
    CXSingleLock lock(&XGetLibraryLock(), true);
    ThreadSet* set = members.set.load(std::memory_order_acquire);
    if (!set) return false;
    const ParentMap* parents = g_parents.load(std::memory_order_acquire);
    // A chain without a cycle visits each recorded thread once: more steps than records mean the
    // links loop.
    int steps = parents ? parents->GetCount() + 1 : 1;
    for (; steps > 0; --steps) {
        if (set->IsFound(thread)) return true;
        if (!parents || !parents->Find(thread, thread)) return false;
    }
    return false;
}

}  // namespace

void AttachThread(uint64_t child, uint64_t parent) {
    child = Resolve(child);
    parent = Resolve(parent);
    if (child == parent) return;
    CXSingleLock lock(&XGetLibraryLock(), true);
    GetOrCreate(g_parents)->Insert(child, parent);
}

void DetachThread(uint64_t child) {
    child = Resolve(child);
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (ParentMap* parents = g_parents.load(std::memory_order_acquire)) parents->Remove(child);
}

int GetChildThreads(uint64_t parent, CXArray<uint64_t>& children) {
    parent = Resolve(parent);
    children.RemoveAll();
    CXSingleLock lock(&XGetLibraryLock(), true);
    const ParentMap* parents = g_parents.load(std::memory_order_acquire);
    if (!parents) return 0;
    int position = kHashStartPosition;
    uint64_t child, itsParent;
    while (parents->GetNext(position, child, itsParent))
        if (itsParent == parent) children.Add(child);
    return children.GetSize();
}

void SetCancelThread(bool cancel, uint64_t thread) { SetMembership(g_cancelSet, cancel, thread); }

void SetSilentThread(bool silent, uint64_t thread) { SetMembership(g_silentSet, silent, thread); }

bool ShouldCancelThread(uint64_t thread) { return IsMemberOrInherited(g_cancelSet, thread); }

const std::atomic<int>* GetCancelSetCount() { return &g_cancelSet.count; }

bool IsSilentThread(uint64_t thread) { return IsMemberOrInherited(g_silentSet, thread); }

int OMPGetMaxThreadCount() {
    int count = g_threadCount.load(std::memory_order_relaxed);
    if (count > 0) return count;
    // Used before initialisation: take the runtime's count, as initialisation would.
    count = omp_get_max_threads();
    if (count < 1) count = 1;
    g_threadCount.store(count, std::memory_order_relaxed);
    return count;
}

int OMPSetMaxThreadCount(int n) {
    if (n < 0) XThrow<CXInvalidArgException>("OMPSetMaxThreadCount: negative thread count");
    int maximum = omp_get_max_threads();
    if (n <= maximum) {
        g_threadCount.store(n == 0 ? 1 : n, std::memory_order_relaxed);
        return 1;
    }
    g_threadCount.store(maximum, std::memory_order_relaxed);
    return maximum;
}

unsigned OMPGetScheduleChunkSize(unsigned itemCount) {
    unsigned chunk = itemCount / (unsigned(OMPGetMaxThreadCount()) * 24u);
    return chunk ? chunk : 1u;
}

namespace detail {

// Stack beyond libomp's own size that the probe thread asks for: libomp adds a few hundred bytes
// per thread number, so that its threads' stacks do not all start at the same cache offset.
constexpr size_t kThreadStackMargin = 64 * 1024;

// C heap that must be free where the OpenMP runtime sets up a team, or a thread it did not start.
// Many times what it allocates there: libgomp a few KB, LLVM's libomp about 22 KB in some twenty
// blocks to register a new thread (and it overflows its stack reporting a refused one). 128 KB
// less a page stays below the C heap's mapping threshold, so the probe neither moves that
// threshold nor leaves the heap, and the block it frees serves the runtime's allocations.
constexpr size_t kOpenMPHeapRoom = 128 * 1024 - 4096;

// Whether `bytes` of the C heap (not the library's allocation functions: the OpenMP runtime's
// allocations go there) can be had now; they are taken and given back at once.
static bool HeapHasRoom(size_t bytes) {
    void* probe = std::malloc(bytes);
    if (!probe) return false;
    std::free(probe);
    return true;
}

bool CanStartThread() {
    if (!HeapHasRoom(kOpenMPHeapRoom)) return false;
#ifdef KMP_VERSION_MAJOR
    // LLVM's libomp gives its threads a stack of its own size, a little larger for each further
    // thread; asking for a little more than that leaves a stack they can take.
    return threadCanStart(kmp_get_stacksize_s() + kThreadStackMargin);
#else
    // libgomp's threads take the default stack.
    return threadCanStart(0);
#endif
}

void ProbeHeap(size_t bytes) {
    if (!HeapHasRoom(bytes)) XThrow<CXMemoryException>();
}

void PrepareThreadForOpenMP() {
    ProbeHeap(kOpenMPHeapRoom);
    omp_nest_lock_t lock;
    omp_init_nest_lock(&lock);
    omp_set_nest_lock(&lock);
    omp_unset_nest_lock(&lock);
    omp_destroy_nest_lock(&lock);
}

void ReleaseThreadRegistry() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    delete g_parents.exchange(nullptr);
    for (MemberSet* members : {&g_cancelSet, &g_silentSet}) {
        members->count.store(0, std::memory_order_release);
        delete members->set.exchange(nullptr);
    }
}

}  // namespace detail

}  // namespace kestovar
