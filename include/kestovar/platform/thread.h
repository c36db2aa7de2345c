// Threads and locks of the platform layer: thread identifiers, the recursive critical section and
// its scoped lock.
#pragma once

#include <mutex>

#include "kestovar/core/export.h"

namespace kestovar {

// 64-bit identifier of the calling thread, unique among live threads (the kernel thread id).
KESTOVAR_API uint64_t threadGetCurrentId();

// A recursive lock: the owning thread may take it again.
class KESTOVAR_API CXCriticalSection {
public:
    CXCriticalSection() = default;
    CXCriticalSection(const CXCriticalSection&) = delete;
    CXCriticalSection& operator=(const CXCriticalSection&) = delete;

    void Lock() { m_mutex.lock(); }
    bool TryLock() { return m_mutex.try_lock(); }
    void Unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

// Scoped lock over a CXCriticalSection; it may be unlocked and relocked, and attached to another
// section later (CCustomData::GetArray attaches the caller's lock to the data's section). Unlocks
// on destruction when locked.
class KESTOVAR_API CXSingleLock {
public:
    explicit CXSingleLock(CXCriticalSection* section = nullptr, bool initialLock = false) : m_section(section) {
        if (initialLock) Lock();
    }
    ~CXSingleLock() { Unlock(); }
    CXSingleLock(const CXSingleLock&) = delete;
    CXSingleLock& operator=(const CXSingleLock&) = delete;

    void Lock() {
        if (m_section && !m_locked) {
            m_section->Lock();
            m_locked = true;
        }
    }
    void Unlock() {
        if (m_section && m_locked) {
            m_section->Unlock();
            m_locked = false;
        }
    }
    bool IsLocked() const { return m_locked; }
    // Releases the current section (unlocking it), then takes `section` and locks it.
    void Attach(CXCriticalSection* section) {
        Unlock();
        m_section = section;
        Lock();
    }

private:
    CXCriticalSection* m_section;
    bool m_locked = false;
};

}  // namespace kestovar
