// The allocation functions every library allocation goes through, and the host's hook on them.
#pragma once

#include <new>
#include <utility>

#include "kestovar/core/export.h"

namespace kestovar {

// Kinds passed to the hook: the allocate hook receives XMEM_MALLOC, XMEM_CALLOC or XMEM_NEW, the
// free hook XMEM_FREE or XMEM_DELETE.
enum _XMemoryKind : int {
    XMEM_MALLOC = 1,
    XMEM_CALLOC = 2,
    XMEM_FREE = 3,
    XMEM_NEW = 4,
    XMEM_DELETE = 5,
};

// Host hook on every allocation of the library. Each pointer is null unless the host sets it; a
// null entry means the C runtime's function is used. The host must set the three together (a
// block from its allocate hook is handed back to its free hook) and before the library allocates.
struct XMemoryCallback {
    void* (*allocate)(size_t size, int kind);  // for xcalloc, size is count * size
    void* (*reallocate)(void* pointer, size_t size);
    void (*free)(void* pointer, int kind);
};

extern "C" KESTOVAR_API XMemoryCallback memoryCallbackNotify;

// The raw allocation functions answer null when the allocation is refused (memory exhausted, or the
// hook above returning null); they raise nothing. The library's own code that calls them raises
// CXMemoryException in that case.
KESTOVAR_API void* xmalloc(size_t size);
KESTOVAR_API void* xcalloc(size_t count, size_t size);  // zero-filled
KESTOVAR_API void* xrealloc(void* pointer, size_t size);
KESTOVAR_API void xfree(void* pointer);
KESTOVAR_API void* xnew(size_t size);
KESTOVAR_API void xdelete(void* pointer);

// Typed helpers over xnew/xdelete for objects that do not derive from CXObject.
template <class T, class... Args>
T* xnewObject(Args&&... args) {
    void* p = xnew(sizeof(T));
    if (!p) throw std::bad_alloc();
    try {
        return ::new (p) T(std::forward<Args>(args)...);
    } catch (...) {
        xdelete(p);
        throw;
    }
}

template <class T>
void xdeleteObject(T* object) {
    if (!object) return;
    object->~T();
    xdelete(object);
}

}  // namespace kestovar
