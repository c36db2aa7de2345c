// Running out of memory on demand: an allocation hook that counts the library's allocations and
// refuses the one numbered n, and a runner that tells how a piece of work ended under it. Tests
// walk n over every allocation a piece of work makes; each run must end in a CXMemoryException
// (std::bad_alloc where a library object could not be allocated by new) or an answer of failure,
// never in a crash, and the sanitizer run of the suites checks that nothing leaks.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/thread_registry.h"

namespace kestovar::test {

namespace refusal {

inline std::atomic<long> allocations{0};
inline std::atomic<long> refuse{-1};
inline std::atomic<bool> refused{false};

inline bool Refuse() {
    if (allocations.fetch_add(1) + 1 != refuse.load()) return false;
    refused = true;
    return true;
}
inline void* Allocate(size_t size, int) { return Refuse() ? nullptr : std::malloc(size ? size : 1); }
inline void* Reallocate(void* pointer, size_t size) { return Refuse() ? nullptr : std::realloc(pointer, size); }
inline void Free(void* pointer, int) { std::free(pointer); }

}  // namespace refusal

// Installs the refusing hook for one scope, with one worker thread (the count of allocations is
// then the same each run).
class RefusingHook {
public:
    RefusingHook() : m_saved(memoryCallbackNotify), m_threads(OMPGetMaxThreadCount()) {
        OMPSetMaxThreadCount(1);
        memoryCallbackNotify = {refusal::Allocate, refusal::Reallocate, refusal::Free};
    }
    ~RefusingHook() {
        memoryCallbackNotify = m_saved;
        OMPSetMaxThreadCount(m_threads);
    }
    RefusingHook(const RefusingHook&) = delete;
    RefusingHook& operator=(const RefusingHook&) = delete;

    // Allocations counted since the last Refusing run began.
    static long Allocations() { return refusal::allocations.load(); }
    // Whether the last Refusing run reached the allocation it was to refuse.
    static bool Refused() { return refusal::refused.load(); }

private:
    XMemoryCallback m_saved;
    int m_threads;
};

enum class Outcome { kClean, kMemoryError, kOtherError };

// Runs `body` with allocation `n` refused (-1: none) and tells how it ended. Library exceptions
// are released.
template <class Fn>
Outcome Refusing(long n, Fn&& body) {
    refusal::allocations = 0;
    refusal::refuse = n;
    refusal::refused = false;
    try {
        body();
        return Outcome::kClean;
    } catch (CXMemoryException*) {
        XDeleteThreadException();
        return Outcome::kMemoryError;
    } catch (std::bad_alloc&) {
        return Outcome::kMemoryError;
    } catch (CXException*) {
        XDeleteThreadException();
        return Outcome::kOtherError;
    }
}

}  // namespace kestovar::test
