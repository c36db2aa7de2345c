#include "kestovar/platform/huge_pages.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kestovar {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
namespace {

bool LargePagesWanted() {
    static const bool wanted = [] {
        const char* v = std::getenv("KESTOVAR_LARGE_PAGES");
        return !(v && std::strcmp(v, "0") == 0);
    }();
    return wanted;
}

// The whole large pages inside [block, block + bytes), when large pages are wanted and the block
// is big enough to hold some: false otherwise.
bool WholePages(void* block, size_t bytes, uintptr_t& begin, uintptr_t& end) {
    if (!block || bytes < memLargePageMinimum || !LargePagesWanted()) return false;
    constexpr uintptr_t kPage = uintptr_t(2) << 20;
    begin = (reinterpret_cast<uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
    end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kPage - 1);
    return end > begin;
}

}  // namespace
#endif

namespace {

// The whole large pages inside the block advised to be large, dropped first with `drop`; the
// bytes advised, 0 when none.
size_t AdviseWholePages(void* block, size_t bytes, bool drop) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    uintptr_t begin, end;
    if (!WholePages(block, bytes, begin, end)) return 0;
    void* first = reinterpret_cast<void*>(begin);
    // Dropped first: advised pages that are still small would stay small until a background
    // collapse.
    if (drop && madvise(first, end - begin, MADV_DONTNEED) != 0) return 0;
    if (madvise(first, end - begin, MADV_HUGEPAGE) != 0 && !drop) return 0;
    return size_t(end - begin);
#else
    (void)block;
    (void)bytes;
    (void)drop;
    return 0;
#endif
}

}  // namespace

size_t memResetLargePages(void* block, size_t bytes) { return AdviseWholePages(block, bytes, true); }

size_t memAdviseLargePages(void* block, size_t bytes) { return AdviseWholePages(block, bytes, false); }

}  // namespace kestovar
