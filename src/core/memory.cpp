#include "kestovar/core/memory.h"

#include <cstdlib>

#include "kestovar/platform/huge_pages.h"

namespace kestovar {

XMemoryCallback memoryCallbackNotify = {nullptr, nullptr, nullptr};

namespace {

// A big block is asked to take large pages as it is first written (see memAdviseLargePages),
// whichever allocator it comes from: the advice never changes a block's contents, and a block the
// system cannot back so (not anonymous memory) refuses it quietly.
inline void* LargeBlock(void* p, size_t size) {
    if (p && size >= memLargePageMinimum) memAdviseLargePages(p, size);
    return p;
}

}  // namespace

void* xmalloc(size_t size) {
    if (memoryCallbackNotify.allocate) return LargeBlock(memoryCallbackNotify.allocate(size, XMEM_MALLOC), size);
    return LargeBlock(std::malloc(size), size);
}

void* xcalloc(size_t count, size_t size) {
    if (memoryCallbackNotify.allocate) {
        // The hook is an allocator, not a zeroing one: clear the block ourselves.
        size_t total = count * size;
        if (size != 0 && total / size != count) return nullptr;
        void* p = LargeBlock(memoryCallbackNotify.allocate(total, XMEM_CALLOC), total);
        if (p) __builtin_memset(p, 0, total);
        return p;
    }
    // An overflowing product fails in calloc, before any advice.
    void* p = std::calloc(count, size);
    return p ? LargeBlock(p, count * size) : nullptr;
}

void* xrealloc(void* pointer, size_t size) {
    if (memoryCallbackNotify.reallocate) return LargeBlock(memoryCallbackNotify.reallocate(pointer, size), size);
    return LargeBlock(std::realloc(pointer, size), size);
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
