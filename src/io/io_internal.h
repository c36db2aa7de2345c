// Private helpers of the I/O subsystem.
#pragma once

#include <cstdint>

namespace kestovar {

class C3DParser;
class CFileIo;

namespace detail {

// The built-in parser of `fileClass` (3DIF, WAVF) driven by `io`, or null for any other class.
C3DParser* CreateBuiltinParser(uint32_t fileClass, CFileIo* io);

// Unregisters every format the plug-in `module` declared and returns how many. Allocates nothing,
// so that releasing a plug-in cannot fail half-way and leave formats pointing into a module
// that is gone.
int UnregisterFormatsOfModule(void* module);

}  // namespace detail
}  // namespace kestovar
