// Signal traps: SIGSEGV, SIGFPE and SIGILL raised inside XRunSignalGuarded become a thrown
// CXUserException*. The handler only unlinks the faulting thread's innermost guard and
// siglongjmps to it; the guard throws from ordinary context (see runtime.h for why).
#include <setjmp.h>
#include <signal.h>

#include <atomic>

#include "kestovar/core/exception.h"
#include "kestovar/core/runtime.h"
#include "runtime_internal.h"

namespace kestovar {

namespace {

struct GuardFrame {
    sigjmp_buf env;
    GuardFrame* outer;
};

// The innermost guard of each thread. Initial-exec TLS: reading it from the signal handler must
// not allocate (general-dynamic TLS may allocate on a thread's first access).
__attribute__((tls_model("initial-exec"))) thread_local GuardFrame* t_innermostGuard = nullptr;

constexpr int kTrappedSignals[3] = {SIGSEGV, SIGFPE, SIGILL};
struct sigaction g_previousActions[3];
std::atomic<bool> g_installed{false};

int SignalIndex(int signal) {
    for (int i = 0; i < 3; ++i)
        if (kTrappedSignals[i] == signal) return i;
    return -1;
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        default:
            return "signal";
    }
}

void TrapHandler(int signal, siginfo_t* info, void* context) {
    GuardFrame* frame = t_innermostGuard;
    if (frame) {
        t_innermostGuard = frame->outer;
        siglongjmp(frame->env, signal);
    }
    // Outside any guard: behave as if the library had not installed anything.
    int index = SignalIndex(signal);
    const struct sigaction& previous = g_previousActions[index < 0 ? 0 : index];
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) {
            previous.sa_sigaction(signal, info, context);
            return;
        }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // Default action (an ignored synchronous fault would re-execute forever: treat it the same).
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

}  // namespace

void XRunSignalGuarded(void (*function)(void* context), void* context) {
    if (!function) return;
    GuardFrame frame;
    frame.outer = t_innermostGuard;
    // sigsetjmp saves the signal mask, so the trapped signal (blocked while its handler runs) is
    // unblocked again when the handler jumps back here.
    int signal = sigsetjmp(frame.env, 1);
    if (signal == 0) {
        t_innermostGuard = &frame;
        try {
            function(context);
        } catch (...) {
            t_innermostGuard = frame.outer;
            throw;
        }
        t_innermostGuard = frame.outer;
        return;
    }
    // Back from the handler, which has already unlinked this frame.
    XThrow<CXUserException>(SignalName(signal));
}

bool XAreSignalHandlersInstalled() { return g_installed.load(std::memory_order_acquire); }

namespace detail {

void InstallSignalHandlers() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (g_installed.load(std::memory_order_acquire)) return;
    struct sigaction action = {};
    action.sa_sigaction = &TrapHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kTrappedSignals[i], &action, &g_previousActions[i]);
    g_installed.store(true, std::memory_order_release);
}

void RestoreSignalHandlers() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (!g_installed.load(std::memory_order_acquire)) return;
    for (int i = 0; i < 3; ++i) sigaction(kTrappedSignals[i], &g_previousActions[i], nullptr);
    g_installed.store(false, std::memory_order_release);
}

}  // namespace detail

}  // namespace kestovar
