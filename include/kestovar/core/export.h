// Export macro and the few basic definitions every public header of Kestovar relies on.
#pragma once

// The headers use C++20 (constrained templates among others); an older language mode gets this
// as its first error, before the ones it then meets inside the templates.
#if __cplusplus < 202002L
#error "Kestovar's headers need C++20 or later (for example -std=c++20)"
#endif

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define KESTOVAR_API __declspec(dllexport)
#else
#define KESTOVAR_API __attribute__((visibility("default")))
#endif

namespace kestovar {

// A four-character code: the first character lands in the most significant byte, so
// FourCC('S', 'C', 'U', 'T') == 0x53435554 and the constant reads as text in a hex dump of a
// big-endian value.
constexpr uint32_t FourCC(char a, char b, char c, char d) {
    return (uint32_t(uint8_t(a)) << 24) | (uint32_t(uint8_t(b)) << 16) | (uint32_t(uint8_t(c)) << 8) |
           uint32_t(uint8_t(d));
}

// Value marking a removed element in every remap array (old index -> new index).
constexpr unsigned int REMAP_REMOVED = 0xFFFFFFFFu;

}  // namespace kestovar
