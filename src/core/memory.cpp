#include "kestovar/core/memory.h"

#include <cstdlib>

namespace kestovar {

XMemoryCallback memoryCallbackNotify = {nullptr, nullptr, nullptr};

void* xmalloc(size_t size) {
    if (memoryCallbackNotify.allocate) return memoryCallbackNotify.allocate(size, XMEM_MALLOC);
    return std::malloc(size);
}

void* xcalloc(size_t count, size_t size) {
    if (memoryCallbackNotify.allocate) {
        // The hook is an allocator, not a zeroing one: clear the block ourselves.
        size_t total = count * size;
        if (size != 0 && total / size != count) return nullptr;
        void* p = memoryCallbackNotify.allocate(total, XMEM_CALLOC);
        if (p) __builtin_memset(p, 0, total);
        return p;
    }
    return std::calloc(count, size);
}

void* xrealloc(void* pointer, size_t size) {
    if (memoryCallbackNotify.reallocate) return memoryCallbackNotify.reallocate(pointer, size);
    return std::realloc(pointer, size);
}

void xfree(void* pointer) {
    if (memoryCallbackNotify.free) {
        memoryCallbackNotify.free(pointer, XMEM_FREE);
        return;
    }
    std::free(pointer);
}

void* xnew(size_t size) {
    if (memoryCallbackNotify.allocate) return memoryCallbackNotify.allocate(size, XMEM_NEW);
    return std::malloc(size ? size : 1);
}

void xdelete(void* pointer) {
    if (memoryCallbackNotify.free) {
        memoryCallbackNotify.free(pointer, XMEM_DELETE);
        return;
    }
    std::free(pointer);
}

}  // namespace kestovar
