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

// Asks for every cache line the object at `p` may cover: one prefetch per 64 bytes from its first
// byte, and one for its last byte (an object that does not start on a line boundary reaches one
// line further).
template <class T>
inline void PrefetchObject(const T* p) {
    const char* bytes = reinterpret_cast<const char*>(p);
    for (unsigned long at = 0; at < sizeof(T); at += 64) PrefetchLine(bytes + at);
    if constexpr (sizeof(T) > 1) PrefetchLine(bytes + sizeof(T) - 1);
}

}  // namespace detail
}  // namespace kestovar
