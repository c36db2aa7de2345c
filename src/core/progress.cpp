#include "kestovar/core/progress.h"

#include "kestovar/core/array.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/platform/thread.h"

namespace kestovar {

namespace {

struct ProgressEntry {
    ProgressCallback callback;
    void* user;
    uint8_t cancelled;
};

// The host's callback stack (see the header: not locked by design). Built in static storage and
// never destroyed, as the library lock is: a host's static object destroyed after the library's
// (one made before the stack's first use) may still report while the process ends.
CXArray<ProgressEntry>& Stack() {
    alignas(CXArray<ProgressEntry>) static unsigned char storage[sizeof(CXArray<ProgressEntry>)];
    static CXArray<ProgressEntry>* stack = ::new (storage) CXArray<ProgressEntry>();
    return *stack;
}

}  // namespace

void progressPushCallback(ProgressCallback callback, void* user) { Stack().Add(ProgressEntry{callback, user, 0}); }

bool progressCallCallback(unsigned kind, const ProcessProgressInfo& info) {
    CXArray<ProgressEntry>& stack = Stack();
    int top = stack.GetSize() - 1;
    if (top < 0) return false;
    // The callback may push or pop entries itself: call through a copy, store into the same slot
    // only when it still exists.
    ProgressEntry entry = stack[top];
    bool answer = entry.callback ? entry.callback(kind, info, entry.user) : false;
    if ((kind & PROGRESS_CANCEL_QUERY) && top < stack.GetSize()) stack[top].cancelled = answer ? 1 : 0;
    return answer;
}

bool progressUserCancel() {
    CXArray<ProgressEntry>& stack = Stack();
    if (stack.IsEmpty()) XThrow<CXInvalidArgException>("progressUserCancel: no progress callback");
    return stack[stack.GetSize() - 1].cancelled != 0;
}

bool progressPopCallback() {
    CXArray<ProgressEntry>& stack = Stack();
    int top = stack.GetSize() - 1;
    if (top < 0) return false;
    bool cancelled = stack[top].cancelled != 0;
    stack.SetSize(top);
    return cancelled;
}

ProgressCallback progressGetCallback(void** user) {
    CXArray<ProgressEntry>& stack = Stack();
    if (stack.IsEmpty()) {
        if (user) *user = nullptr;
        return nullptr;
    }
    const ProgressEntry& entry = stack[stack.GetSize() - 1];
    if (user) *user = entry.user;
    return entry.callback;
}

int progressGetDepth() { return Stack().GetSize(); }

bool progressIsDrivingThread() {
    const uint64_t main = GetMainThreadId();
    return main == 0 || main == threadGetCurrentId();
}

// ---- CProgressScope -------------------------------------------------------------------------------

namespace {

int GranularityOf(int minimum, int maximum) {
    long long span = (long long)maximum - minimum;
    long long g = span / 1000;
    return g > 0 ? int(g) : 1;
}

}  // namespace

CProgressScope::CProgressScope(const wchar_t* title, const wchar_t* message, int minimum, int maximum)
    : m_reports(progressIsDrivingThread()) {
    m_info.title = title;
    m_info.message = message;
    m_info.minimum = minimum;
    m_info.maximum = maximum;
    m_info.position = minimum;
    m_granularity = GranularityOf(minimum, maximum);
    m_lastQueried = (long long)minimum - m_granularity;  // the first Step queries
    Send(PROGRESS_START | PROGRESS_TEXT);
}

CProgressScope::~CProgressScope() {
    Send(PROGRESS_END);
}

bool CProgressScope::Send(unsigned kind) {
    return m_reports && progressCallCallback(kind, m_info);
}

bool CProgressScope::SetRange(int minimum, int maximum) {
    m_info.minimum = minimum;
    m_info.maximum = maximum;
    m_info.position = minimum;
    m_granularity = GranularityOf(minimum, maximum);
    m_lastQueried = (long long)minimum - m_granularity;
    return Send(PROGRESS_RANGE);
}

bool CProgressScope::SetPosition(int position) {
    m_info.position = position;
    return Send(PROGRESS_POSITION);
}

bool CProgressScope::SetMessage(const wchar_t* message) {
    m_info.message = message;
    return Send(PROGRESS_TEXT);
}

bool CProgressScope::Query() {
    m_lastQueried = m_info.position;
    bool answer = Send(PROGRESS_POSITION | PROGRESS_CANCEL_QUERY);
    if (answer || ShouldCancelThread(0)) m_cancelled = true;
    return m_cancelled;
}

bool CProgressScope::Step(int position) {
    m_info.position = position;
    long long moved = (long long)position - m_lastQueried;
    if (moved < 0) moved = -moved;
    // Reaching the maximum queries once more, so the end of a range is always reported.
    if (moved < m_granularity && (position < m_info.maximum || moved == 0)) return m_cancelled;
    return Query();
}

bool CProgressScope::ShouldCancel() { return Query(); }

}  // namespace kestovar
