// Allocation that raises instead of returning null: for the library's own blocks outside its
// containers, so that running out of memory (or a host's allocation hook refusing a block) becomes
// a CXMemoryException the host can catch, never a write through a null pointer.
#pragma once

#include <cstddef>
#include <memory>

#include "kestovar/core/exception.h"
#include "kestovar/core/memory.h"

namespace kestovar::detail {

// xmalloc of at least one byte; raises CXMemoryException when the allocator fails.
inline void* xmallocChecked(size_t size) {
    void* p = xmalloc(size ? size : 1);
    if (!p) XThrow<CXMemoryException>();
    return p;
}

// xrealloc of `pointer` to at least one byte; when the allocator fails, `pointer` stays valid and
// unchanged and CXMemoryException is raised.
inline void* xreallocChecked(void* pointer, size_t size) {
    void* p = xrealloc(pointer, size ? size : 1);
    if (!p) XThrow<CXMemoryException>();
    return p;
}

// Frees a block of xmalloc: a scratch block held in a std::unique_ptr<T, FreeBlock> (HeldBlock)
// is released on every way out of its scope, a raised exception included.
struct FreeBlock {
    void operator()(void* block) const { xfree(block); }
};
template <class T>
using HeldBlock = std::unique_ptr<T, FreeBlock>;

}  // namespace kestovar::detail
