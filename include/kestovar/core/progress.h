// Progress reporting and cancellation towards the host. The host pushes a callback; long
// operations report through the callback on top of the stack, normally with a CProgressScope:
//
//     CProgressScope progress(L"Optimizing", objectName, 0, faceCount);   // kind 9
//     for (int i = 0; i < faceCount; ++i) {
//         if (progress.Step(i)) break;                                    // kind 18, throttled
//         ...
//     }                                                                   // kind 32 at scope end
//
// The stack is not locked: pushes, pops and calls belong to the host's driving thread, the thread
// that initialised the library last (closing the library does not forget it). The library's own
// operations report to it only when they run on that thread (on any thread before the first
// initialisation); run on another host thread or on a worker, they learn of cancellation through
// ShouldCancelThread (thread_registry.h) alone.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

// The record passed to progress callbacks.
struct ProcessProgressInfo {
    CXTString<wchar_t> title;    // the operation, set when it starts ("Optimizing")
    CXTString<wchar_t> message;  // the detail: the current object or step; may be empty
    int minimum = 0;             // range of the position, inclusive
    int maximum = 100;
    int position = 0;            // current position within [minimum, maximum]
};

// Message kinds: a bit set passed beside the record.
enum _PROGRESS_KIND : unsigned {
    PROGRESS_START = 1,          // an operation starts (always with PROGRESS_TEXT)
    PROGRESS_POSITION = 2,       // the position changed
    PROGRESS_RANGE = 4,          // the range was set
    PROGRESS_TEXT = 8,           // the texts were set
    PROGRESS_CANCEL_QUERY = 16,  // the callback's answer is whether to cancel; it is stored
    PROGRESS_END = 32,           // the operation ended
};

// Returns true to ask for cancellation (only meaningful with PROGRESS_CANCEL_QUERY).
typedef bool (*ProgressCallback)(unsigned kind, const ProcessProgressInfo& info, void* user);

// Pushes a callback with its user pointer; its cancelled flag starts cleared.
KESTOVAR_API void progressPushCallback(ProgressCallback callback, void* user);
// Calls the top callback with its user pointer and returns its answer; with PROGRESS_CANCEL_QUERY
// in `kind` the answer is stored as the top entry's cancelled flag. False with an empty stack.
KESTOVAR_API bool progressCallCallback(unsigned kind, const ProcessProgressInfo& info);
// The top entry's cancelled flag. Raises CXInvalidArgException when the stack is empty.
KESTOVAR_API bool progressUserCancel();
// Removes the top entry and returns its cancelled flag; false when the stack is empty.
KESTOVAR_API bool progressPopCallback();
// The top callback (and its user pointer in `user`, when given), or null (user set to null).
KESTOVAR_API ProgressCallback progressGetCallback(void** user);
// Number of entries on the stack.
KESTOVAR_API int progressGetDepth();
// Whether the calling thread is the driving thread: the one that initialised the library last, or
// any thread before the first initialisation. The library's operations call the stack only there.
KESTOVAR_API bool progressIsDrivingThread();

// One operation's progress: sends kind 9 with its texts on construction and kind 32 on
// destruction, so that every started operation ends. Nothing is allocated after construction.
// A scope made on another thread than the driving one sends nothing; its queries ask only the
// thread registry.
class KESTOVAR_API CProgressScope {
public:
    // `title` and `message` may be null (empty texts).
    explicit CProgressScope(const wchar_t* title, const wchar_t* message = nullptr, int minimum = 0,
                            int maximum = 100);
    ~CProgressScope();
    CProgressScope(const CProgressScope&) = delete;
    CProgressScope& operator=(const CProgressScope&) = delete;

    // Sets the range and moves the position to `minimum`; sends kind 4. The step granularity
    // becomes (maximum - minimum) / 1000, at least 1. Returns the callback's answer.
    bool SetRange(int minimum, int maximum);
    // Sets the position; sends kind 2. Returns the callback's answer.
    bool SetPosition(int position);
    // Replaces the detail text; sends kind 8.
    bool SetMessage(const wchar_t* message);

    // The inner-loop call: records the position and, when it moved by at least the granularity
    // since the last query (or reached the maximum), sends kind 18 and asks the thread registry
    // (ShouldCancelThread of the calling thread). Returns true once either asked to cancel; the
    // answer is sticky. Between queries it only compares integers.
    bool Step(int position);
    // Sends kind 18 at the current position now, whatever the granularity.
    bool ShouldCancel();
    // Whether a cancel was requested so far (no call).
    bool IsCancelled() const { return m_cancelled; }
    // Positions between two queries of Step (at least 1).
    void SetGranularity(int positions) { m_granularity = positions > 0 ? positions : 1; }
    int GetGranularity() const { return m_granularity; }

    const ProcessProgressInfo& GetInfo() const { return m_info; }

private:
    bool Query();
    // Sends `kind` with the record when the scope reports; the callback's answer, else false.
    bool Send(unsigned kind);

    ProcessProgressInfo m_info;
    long long m_lastQueried;  // position of the last kind-18 message
    int m_granularity;
    bool m_cancelled = false;
    bool m_reports;  // made on the driving thread: the messages go to the callback stack
};

}  // namespace kestovar
