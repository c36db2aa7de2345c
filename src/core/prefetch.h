// A cache prefetch that the optimiser keeps.
#pragma once

namespace kestovar {
namespace detail {

// Asks for the cache line holding `p`, without reading it (a prefetch never faults, so `p` may
// point anywhere). Written as volatile assembly on x86 because GCC may drop __builtin_prefetch from
// code it finds free of side effects: it once removed every look-ahead of the level-change loop of
// the multiresolution objects from optimised builds.
inline void PrefetchLine(const void* p) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
    __builtin_prefetch(p);
#endif
}

// Asks for the lines of the first and the last byte of the object at `p`: every line it covers
// when it is at most 64 bytes long, the two ends of a longer one (the middle line of an object
// that spans three is left to the hardware, whose next-line fetch usually brings it).
template <class T>
inline void PrefetchObject(const T* p) {
    const char* bytes = reinterpret_cast<const char*>(p);
    PrefetchLine(bytes);
    PrefetchLine(bytes + sizeof(T) - 1);
}

}  // namespace detail
}  // namespace kestovar
