// Private helpers of the I/O subsystem.
#pragma once

#include <cstdint>

namespace kestovar {

class C3DParser;
class CFileIo;

namespace detail {

// The built-in parser of `fileClass` (3DIF, WAVF) driven by `io`, or null for any other class.
C3DParser* CreateBuiltinParser(uint32_t fileClass, CFileIo* io);

}  // namespace detail
}  // namespace kestovar
