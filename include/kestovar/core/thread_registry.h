// Worker threads: the parent links through which a worker inherits its parent's cancel and silent
// state, the cancel and silent sets, and the worker-thread count every parallel loop uses.
//
// Thread identifiers are threadGetCurrentId() values; 0 stands for the calling thread wherever a
// thread is named. Every function takes the library lock; the sets and the map are created on
// their first insertion (23 slots) and survive CloseKestovarApplication unless it is given flag 16.
// The entries are the host's to remove: the library does not see a thread end, and the system
// gives a later thread the same identifier, which then finds itself cancelled, silent or attached.
// A host that marks a worker clears the marks (SetCancelThread(false, ...), DetachThread) before
// the worker ends.
#pragma once

#include <atomic>
#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"

namespace kestovar {

// Records `parent` as the parent of `child` (replacing an earlier parent). Ignored when both name
// the same thread.
KESTOVAR_API void AttachThread(uint64_t child, uint64_t parent);
// Forgets the parent of `child`.
KESTOVAR_API void DetachThread(uint64_t child);
// Replaces the content of `children` with the threads whose recorded parent is `parent` (in no
// particular order) and returns their number.
KESTOVAR_API int GetChildThreads(uint64_t parent, CXArray<uint64_t>& children);

// Adds `thread` to (true) or removes it from (false) the cancel set or the silent set.
KESTOVAR_API void SetCancelThread(bool cancel, uint64_t thread = 0);
KESTOVAR_API void SetSilentThread(bool silent, uint64_t thread = 0);
// True when `thread` is in the set, else the answer for its recorded parent, recursively; false
// when the set was never created or no ancestor is in it. A cycle of parent links ends the search
// (false) instead of looping.
KESTOVAR_API bool ShouldCancelThread(uint64_t thread = 0);
KESTOVAR_API bool IsSilentThread(uint64_t thread = 0);
// The number of threads in the cancel set, for a loop that polls on every item without a call:
// while it reads 0, ShouldCancelThread answers false for every thread, so the loop asks
// ShouldCancelThread only when it does not. The address stays valid for the life of the process.
KESTOVAR_API const std::atomic<int>* GetCancelSetCount();

// The number of threads parallel loops use. It is omp_get_max_threads() from initialisation (or
// from the first call, when the library is used before InitKestovarApplication). Read without the
// lock: a change affects only loops started later.
KESTOVAR_API int OMPGetMaxThreadCount();
// When n <= omp_get_max_threads(): stores n (1 when n is 0) and returns 1. Otherwise stores and
// returns omp_get_max_threads(). A negative n raises CXInvalidArgException.
KESTOVAR_API int OMPSetMaxThreadCount(int n);
// The chunk size of a dynamically scheduled loop over `itemCount` elements, so that each thread
// receives about 24 chunks: itemCount / (OMPGetMaxThreadCount() * 24), at least 1.
KESTOVAR_API unsigned OMPGetScheduleChunkSize(unsigned itemCount);

}  // namespace kestovar
