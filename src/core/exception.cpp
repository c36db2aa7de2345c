#include "kestovar/core/exception.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "kestovar/core/hashmap.h"
#include "kestovar/core/runtime.h"
#include "kestovar/platform/thread.h"
#include "core/parallel_failure.h"

namespace kestovar {

KX_IMPLEMENT_DYNAMIC(CXException, CXObject)
KX_IMPLEMENT_DYNAMIC(CXFileException, CXException)
KX_IMPLEMENT_DYNAMIC(CXArchiveException, CXException)
KX_IMPLEMENT_DYNAMIC(CXUserException, CXException)
KX_IMPLEMENT_DYNAMIC(CXMemoryException, CXException)
KX_IMPLEMENT_DYNAMIC(CXInvalidArgException, CXException)
KX_IMPLEMENT_DYNAMIC(CXInternetException, CXException)

// ---- The exception classes ------------------------------------------------------------------------

CXException::CXException(const char* message) { SetMessage(message); }

CXException::~CXException() {
    // Deleted by a host with a plain delete while still registered: the registry lets go of it
    // first, so that it never holds a dangling pointer.
    if (m_registered) detail::ForgetException(this);
}

void CXException::SetMessage(const char* message) {
    // Longer texts are cut at the buffer's size; the text is always terminated.
    size_t n = message ? std::strlen(message) : 0;
    if (n >= sizeof(m_message)) n = sizeof(m_message) - 1;
    if (n) std::memcpy(m_message, message, n);
    m_message[n] = 0;
}

bool CXException::GetErrorMessage(char* buffer, unsigned size) const {
    if (buffer && size) buffer[0] = 0;
    if (!m_message[0]) return false;
    if (!buffer || size == 0) return true;
    size_t n = std::strlen(m_message);
    if (n >= size) n = size - 1;
    std::memcpy(buffer, m_message, n);
    buffer[n] = 0;
    return true;
}

CXFileException::CXFileException(int cause, long osError, const char* fileName)
    : m_cause(cause), m_lOsError(osError) {
    char text[sizeof(m_message)];
    if (fileName && *fileName)
        std::snprintf(text, sizeof(text), "file error %d on %s", cause, fileName);
    else
        std::snprintf(text, sizeof(text), "file error %d", cause);
    SetMessage(text);
}

CXArchiveException::CXArchiveException(int cause, const char* message) : m_cause(cause) {
    if (message && *message) {
        SetMessage(message);
    } else {
        char text[64];
        std::snprintf(text, sizeof(text), "archive error %d", cause);
        SetMessage(text);
    }
}

CXUserException::CXUserException(const char* message) : CXException(message) {}

CXMemoryException::CXMemoryException(const char* message) : CXException(message) {}

CXInvalidArgException::CXInvalidArgException(const char* message) : CXException(message) {}

CXInternetException::CXInternetException(long error, const char* message) : m_dwError(error) {
    if (message && *message) {
        SetMessage(message);
    } else {
        char text[64];
        std::snprintf(text, sizeof(text), "internet error %ld", error);
        SetMessage(text);
    }
}

// ---- The per-thread registry ----------------------------------------------------------------------
//
// One process-wide map from a thread identifier to the exception that thread threw last and has
// not released yet; each exception links to the one its thread registered before it and still
// holds (a stack per thread, with no allocation of its own). It is created on first use (also
// before InitKestovarApplication) under the library lock, and released with every exception it
// still holds by an exit callback of priority 0, registered when the map is created; a use after
// the close creates it again.

struct detail::CExceptionRegistry {
    static CXException*& Below(CXException* exception) { return exception->m_pRegisteredBelow; }
    static bool& Registered(CXException* exception) { return exception->m_registered; }
};

namespace {

using detail::CExceptionRegistry;

using ExceptionMap = CHashMap<uint64_t, uint64_t, CXException*>;

// Written under the library lock; read without it only to skip the lock when no map exists.
std::atomic<ExceptionMap*> g_exceptionMap{nullptr};

void ReleaseExceptionMap() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    ExceptionMap* map = g_exceptionMap.exchange(nullptr);
    if (!map) return;
    int position = kHashStartPosition;
    uint64_t thread;
    CXException* exception;
    while (map->GetNext(position, thread, exception))
        while (exception) {
            CXException* below = CExceptionRegistry::Below(exception);
            CExceptionRegistry::Registered(exception) = false;
            delete exception;
            exception = below;
        }
    delete map;
}

// The map; created when `create` is set. Call under the library lock.
ExceptionMap* GetExceptionMap(bool create) {
    ExceptionMap* map = g_exceptionMap.load(std::memory_order_acquire);
    if (!map && create) {
        // The release first (registering it twice is harmless): a map never exists without it.
        AddApplicationExitCallback(&ReleaseExceptionMap, 0);
        map = new ExceptionMap(21);
        g_exceptionMap.store(map, std::memory_order_release);
    }
    return map;
}

// Set while this thread registers an exception. The registry's growth may run out of memory, and
// the memory exception that reports it would need registering in turn: that nested registration
// raises std::bad_alloc instead, which needs none.
thread_local bool t_registering = false;

// Takes `exception` out of the stack whose top is in `slot`; true when it was there. The map
// entry is removed when the stack becomes empty. Call under the library lock.
bool Unlink(ExceptionMap& map, uint64_t thread, CXException** slot, CXException* exception) {
    if (*slot == exception) {
        CXException* below = CExceptionRegistry::Below(exception);
        CExceptionRegistry::Below(exception) = nullptr;
        CExceptionRegistry::Registered(exception) = false;
        if (below)
            *slot = below;
        else
            map.Remove(thread);
        return true;
    }
    for (CXException* e = *slot; e; e = CExceptionRegistry::Below(e))
        if (CExceptionRegistry::Below(e) == exception) {
            CExceptionRegistry::Below(e) = CExceptionRegistry::Below(exception);
            CExceptionRegistry::Below(exception) = nullptr;
            CExceptionRegistry::Registered(exception) = false;
            return true;
        }
    return false;
}

}  // namespace

void XSetThreadException(CXException* exception) {
    if (!exception) {
        XDeleteThreadException();
        return;
    }
    // The registry takes `exception` whatever happens: when it cannot record it, it deletes it.
    if (t_registering) {
        delete exception;
        throw std::bad_alloc();
    }
    t_registering = true;
    struct Registering {
        ~Registering() { t_registering = false; }
    } registering;
    uint64_t thread = threadGetCurrentId();
    try {
        CXSingleLock lock(&XGetLibraryLock(), true);
        ExceptionMap* map = GetExceptionMap(true);
        CXException** slot = map->Find(thread);
        if (slot && *slot == exception) return;  // thrown again: it stays where it is
        if (slot) {
            // Registered deeper (thrown again after a newer one): it moves to the top.
            Unlink(*map, thread, slot, exception);
            slot = map->Find(thread);
        }
        if (slot) {
            CExceptionRegistry::Below(exception) = *slot;
            *slot = exception;
        } else {
            CExceptionRegistry::Below(exception) = nullptr;
            map->Insert(thread, exception);  // stores nothing when it raises
        }
        CExceptionRegistry::Registered(exception) = true;
    } catch (...) {
        delete exception;
        throw;
    }
}

void XDeleteThreadException() {
    if (!g_exceptionMap.load(std::memory_order_acquire)) return;
    uint64_t thread = threadGetCurrentId();
    CXException* exception = nullptr;
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        ExceptionMap* map = GetExceptionMap(false);
        CXException** slot = map ? map->Find(thread) : nullptr;
        if (slot) {
            exception = *slot;
            Unlink(*map, thread, slot, exception);
        }
    }
    delete exception;
}

CXException* XGetThreadException() {
    if (!g_exceptionMap.load(std::memory_order_acquire)) return nullptr;
    CXSingleLock lock(&XGetLibraryLock(), true);
    ExceptionMap* map = GetExceptionMap(false);
    CXException* exception = nullptr;
    if (map) map->Find(threadGetCurrentId(), exception);
    return exception;
}

void CXException::Delete() {
    // Forget every record of this object (normally the calling thread's) before deleting it, so
    // that the registry never holds a dangling pointer.
    detail::ForgetException(this);
    delete this;
}

void detail::ForgetException(CXException* exception) {
    if (g_exceptionMap.load(std::memory_order_acquire)) {
        CXSingleLock lock(&XGetLibraryLock(), true);
        if (ExceptionMap* map = GetExceptionMap(false)) {
            // Normally the calling thread's; any thread's stack may hold it.
            uint64_t thread = threadGetCurrentId();
            CXException** slot = map->Find(thread);
            if (!slot || !Unlink(*map, thread, slot, exception)) {
                int position = kHashStartPosition;
                CXException* top;
                while (map->GetNext(position, thread, top))
                    if (Unlink(*map, thread, map->Find(thread), exception)) break;
            }
        }
    }
}

}  // namespace kestovar
