// Running out of memory on demand: an allocation hook that counts the library's allocations and
// refuses the one numbered n, and a runner that tells how a piece of work ended under it. Tests
// walk n over every allocation a piece of work makes; each run must end in a CXMemoryException
// (std::bad_alloc where a library object could not be allocated by new) or an answer of failure,
// never in a crash, and the sanitizer run of the suites checks that nothing leaks.
#pragma once

#include <gtest/gtest.h>

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

// Walks the refusals of one piece of work, `run(n)` running it under Refusing(n, ...): the work
// runs clean twice (the first run also makes the process's one-time allocations, registries for
// one), then once with each allocation of the clean run refused in turn, and `check(n, outcome)`
// judges each of those runs. With `mayFallShort` the walk ends at the first run that no longer
// reaches its refusal (the thread registry grows at moments that depend on thread identifiers),
// at most 16 allocations early; otherwise every run must reach it. The walk stops at the first
// failure. Returns the number of allocations of the clean run (0 when it was not clean).
template <class Run, class Check>
long WalkRefusals(Run&& run, Check&& check, bool mayFallShort = false) {
    for (int k = 0; k < 2; ++k) {
        const Outcome clean = run(-1L);
        EXPECT_EQ(clean, Outcome::kClean);
        if (clean != Outcome::kClean) return 0;
    }
    const long total = RefusingHook::Allocations();
    long n = 1;
    for (; n <= total + (mayFallShort ? 64 : 0); ++n) {
        const Outcome outcome = run(n);
        if (!RefusingHook::Refused()) {
            EXPECT_TRUE(mayFallShort) << "allocation " << n << " was not reached";
            break;
        }
        check(n, outcome);
        if (::testing::Test::HasFailure()) return total;
    }
    if (mayFallShort) {
        EXPECT_GE(n, total - 16);
    }
    return total;
}

}  // namespace kestovar::test
