// Helpers shared by the scene sources and not part of the public interface.
#pragma once

#include <cstdint>

#include "kestovar/core/archive.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

// The next value of the process-wide material identifier counter (the first is 1).
unsigned int NextMaterialCounterID();

// Texts of the string table used by the scene, with their English fallbacks.
CXTString<wchar_t> DefaultMaterialName();
CXTString<wchar_t> MaterialNameStem();

// Raises endOfFile unless `count` records of at least `minBytes` bytes each can still be read:
// forged counts fail before any loop or allocation sized by them.
inline void EnsureRecords(CXArchive& ar, uint64_t count, uint64_t minBytes) {
    uint64_t left = ar.GetRemainingLength();
    if (minBytes != 0 && count > left / minBytes) ar.EnsureAvailable(left + 1);
}

}  // namespace kestovar
