// The memory hook of this folder's tests: while a RecordingHook lives, every block the library
// asks for goes through it. It records each call in order (allocation, reallocation, free, with
// the kind, size and block), follows the blocks it handed out that are still live, remembers the
// largest size asked for, can zero-fill what it hands out, and can refuse one allocation: number
// `refuse`, allocations and reallocations counted from 1.
#pragma once

#include <cstdlib>
#include <set>
#include <vector>

#include "kestovar/core/memory.h"

namespace kestovar::test {

struct HookEvent {
    char what;  // 'a' allocate, 'r' reallocate, 'f' free
    int kind;   // 0 for reallocate
    size_t size;
    void* pointer;
};

class RecordingHook {
public:
    explicit RecordingHook(long refuse = -1, bool zeroFill = false) : m_saved(memoryCallbackNotify) {
        events.clear();
        live.clear();
        calls = strays = 0;
        largest = 0;
        s_refuse = refuse;
        s_zeroFill = zeroFill;
        memoryCallbackNotify = {Allocate, Reallocate, Free};
    }
    ~RecordingHook() { memoryCallbackNotify = m_saved; }
    RecordingHook(const RecordingHook&) = delete;
    RecordingHook& operator=(const RecordingHook&) = delete;

    // The calls recorded of one sort ('a', 'r' or 'f'), of one kind too when `kind` is not -1.
    static int Count(char what, int kind = -1) {
        int n = 0;
        for (const HookEvent& e : events) n += e.what == what && (kind == -1 || e.kind == kind);
        return n;
    }

    static inline std::vector<HookEvent> events;
    static inline std::set<void*> live;  // blocks handed out under the hook and not released
    static inline long calls = 0;        // allocations and reallocations so far
    static inline int strays = 0;        // blocks released or reallocated that the hook never gave
    static inline size_t largest = 0;    // the largest size asked for

private:
    static bool Refuse(size_t size) {
        if (size > largest) largest = size;
        return ++calls == s_refuse;
    }
    static void* Allocate(size_t size, int kind) {
        if (Refuse(size)) return nullptr;
        void* p = s_zeroFill ? std::calloc(size ? size : 1, 1) : std::malloc(size ? size : 1);
        live.insert(p);
        events.push_back({'a', kind, size, p});
        return p;
    }
    static void* Reallocate(void* p, size_t size) {
        if (Refuse(size)) return nullptr;
        const bool followed = !p || live.erase(p) != 0;
        strays += !followed;
        void* q = std::realloc(p, size);
        if (followed) live.insert(q);
        events.push_back({'r', 0, size, q});
        return q;
    }
    static void Free(void* p, int kind) {
        if (p) strays += live.erase(p) == 0;
        events.push_back({'f', kind, 0, p});
        std::free(p);
    }

    XMemoryCallback m_saved;
    static inline long s_refuse = -1;
    static inline bool s_zeroFill = false;
};

}  // namespace kestovar::test
