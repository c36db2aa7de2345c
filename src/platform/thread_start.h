// Whether the process can start a thread now, asked the way a thread library would start one.
#pragma once

#include <cstddef>

namespace kestovar {
namespace detail {

// Starts a thread that returns at once and joins it: whether the thread and a stack of
// `stackBytes` (0: the default size) could be had. The C library keeps a joined thread's stack
// for the next thread asking for no more than it, so a later thread of that size finds its stack
// ready.
bool threadCanStart(size_t stackBytes);

}  // namespace detail
}  // namespace kestovar
