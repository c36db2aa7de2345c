// Large pages for big, randomly read blocks. Random loads over arrays of tens of megabytes (the
// face grid of a closest-face query and the per-face corner cache it reads) miss the translation
// cache on almost every access with 4 KiB pages; backing such a block with 2 MiB pages removes most
// of those misses. Only the whole 2 MiB-aligned pages inside a block can be backed so.
#pragma once

#include <cstddef>

#include "kestovar/core/export.h"

namespace kestovar {

// Blocks smaller than this (bytes) are left alone: they hold too few whole large pages to matter.
constexpr size_t memLargePageMinimum = size_t(4) << 20;

// For a block about to be written whole: drops the contents of the whole 2 MiB-aligned pages inside
// [block, block + bytes) (they read as zero afterwards; the rest of the block is kept) and asks
// that they come back as large pages when next written (Linux: madvise MADV_DONTNEED, then
// MADV_HUGEPAGE). This moves a block that is already in use onto large pages without copying it.
// Does nothing for null, for blocks below memLargePageMinimum, on other systems, or when the
// environment variable KESTOVAR_LARGE_PAGES is "0" (read once; for measuring the difference); the
// contents are then kept. Returns the number of bytes dropped and advised, 0 when none.
KESTOVAR_API size_t memResetLargePages(void* block, size_t bytes);

// For a block fresh from the allocator, its new pages not yet written: asks that the whole 2 MiB-
// aligned pages inside [block, block + bytes) be backed by large pages as they are first written
// (Linux: madvise MADV_HUGEPAGE; pages already written keep their size and contents). The
// library's own allocation functions call it for every block of memLargePageMinimum bytes or
// more, from the system allocator or the host's hooks, so that the big lists of a large mesh
// (records, graphs, heaps, tables) take one page fault per 2 MiB instead of 512 and miss the
// translation cache far less when read at random. Same conditions and result as
// memResetLargePages; nothing is ever dropped.
// Measured on a 2-core virtual machine: 256 MB written page by page in 31 ms on large pages
// against 105 ms on small ones, and the first edge-to-face build of a 2M-triangle grid in a
// process (250 MB of fresh blocks) in about 120 ms against 220 ms. A large page the guest system
// has never used before can cost far more the first time (up to 600 ms for 256 MB while the
// host backs it), so a young virtual machine sees some slow first builds until its memory has
// been used once; KESTOVAR_LARGE_PAGES=0 avoids that. Once the memory has been used (4 GB
// touched), a one-shot simplification preparation of 1.2M triangles in a fresh process took
// 0.70 s against 0.87 s on small pages.
KESTOVAR_API size_t memAdviseLargePages(void* block, size_t bytes);

}  // namespace kestovar
