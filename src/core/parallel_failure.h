// Parallel work over items: the loop that hands them to a team of threads, and its exceptions. An
// exception may not leave an OpenMP region or a thread's body (the process would end), so work
// that runs there catches what its items raise and hands the first of them, in item order, to the
// thread that waits for the work, which raises it again.
#pragma once

#include <climits>
#include <cstddef>
#include <exception>
#include <mutex>

#include "kestovar/core/exception.h"

namespace kestovar {
namespace detail {

// Removes every registration of `exception` (XSetThreadException) without deleting it, so that
// another thread can take it over.
void ForgetException(CXException* exception);

// Whether the OpenMP runtime can start a team's thread now: some C heap is free, and a thread with
// the stack the runtime gives its threads can be started (it is started and joined, and its stack
// then serves the runtime's thread). libgomp and LLVM's libomp end the process when they cannot
// start a thread of a team or allocate its state, as under a tight address-space limit; asking
// first lets the work run on the calling thread instead.
bool CanStartThread();

// Runs body(i) for every i in [0, n), handed out `chunk` items at a time (dynamic schedule) to a
// team of `threads`. With fewer than two items or threads, or when no thread can be started, the
// calling thread runs them in order without entering an OpenMP region: libgomp allocates the
// team of every region, a team of one included, and ends the process when that allocation
// fails, so that work on one thread runs as far as the library's own allocations let it and
// reports running out of memory as they do. The items' results do not depend on the threads.
template <class Fn>
void ParallelFor(int n, int threads, int chunk, Fn&& body) {
    if (n < 2 || threads < 2 || !CanStartThread()) {
        for (int i = 0; i < n; ++i) body(i);
        return;
    }
#pragma omp parallel for schedule(dynamic, chunk) num_threads(threads)
    for (int i = 0; i < n; ++i) body(i);
}

// Raises CXMemoryException unless `bytes` of the C heap can be had now. They are taken and given
// back at once, and then serve the next allocations of up to that size.
void ProbeHeap(size_t bytes);

// The first member of a thread-local object with a destructor. On a thread's first use of such an
// object glibc records its destructor in a small block of the C heap, and ends the process when
// that block is refused; this member, constructed first, probes the heap and raises
// CXMemoryException instead, and the next use of the object tries again.
struct ThreadExitRoom {
    ThreadExitRoom() { ProbeHeap(4096); }
};

// Makes sure the OpenMP runtime holds the calling thread's state, which it gives a thread it did
// not start on the first call that needs it (setting a nestable lock, as the optimiser's progress
// lock does) and without which it ends the process when that allocation fails (libgomp aborts,
// LLVM's libomp overflows the stack). A probe allocation first, freed at once, shows that the
// memory is there (its block then serves the runtime's); without it the thread raises
// CXMemoryException, as the library's own allocations do. Cheap once the state exists.
void PrepareThreadForOpenMP();

// The first failure of a piece of parallel work, by item: the same whatever the threads' timing,
// since every item runs and the lowest failing item wins.
class CParallelFailure {
public:
    CParallelFailure() = default;
    CParallelFailure(const CParallelFailure&) = delete;
    CParallelFailure& operator=(const CParallelFailure&) = delete;
    ~CParallelFailure() {
        if (m_exception) m_exception->Delete();
    }

    // Runs fn(); what it raises is kept when `item` comes before the item of what is kept already,
    // else released.
    template <class Fn>
    void Run(int item, Fn&& fn) noexcept {
        try {
            fn();
        } catch (CXException* e) {
            // The pointer is thrown again through `error`, which keeps its type as thrown.
            Keep(item, e, std::current_exception());
        } catch (...) {
            Keep(item, nullptr, std::current_exception());
        }
    }

    // Raises the kept exception, if any, on the calling thread (a library exception registered
    // for it, as XThrow does).
    void Rethrow() {
        if (!m_error) return;
        CXException* exception = m_exception;
        std::exception_ptr error = m_error;
        m_exception = nullptr;
        m_error = nullptr;
        if (exception) XSetThreadException(exception);  // std::bad_alloc instead when it cannot
        std::rethrow_exception(error);
    }

private:
    void Keep(int item, CXException* exception, std::exception_ptr error) noexcept {
        if (exception) ForgetException(exception);
        std::lock_guard<std::mutex> lock(m_lock);
        if (item >= m_item) {
            if (exception) exception->Delete();
            return;
        }
        if (m_exception) m_exception->Delete();
        m_item = item;
        m_exception = exception;
        m_error = error;
    }

    std::mutex m_lock;
    int m_item = INT_MAX;
    CXException* m_exception = nullptr;
    std::exception_ptr m_error;
};

}  // namespace detail
}  // namespace kestovar
