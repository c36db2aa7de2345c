// A module that passes the version check but misbehaves in one way (see CMakeLists.txt):
//   FAULT_UNRESOLVED  its entry calls a function no module defines;
//   FAULT_THROW       it declares ".flt" (class FLT1) and throws when asked for a second format;
//   FAULT_RELEASE     it declares ".flt" and throws when released;
//   FAULT_BUILTIN     it declares the built-in class of ".obj" and then ".flt";
//   FAULT_DIALECT     it declares ".obj" under a class of its own, ordered before the built-in
//                     one, and makes no parser for it.
// All are linked with -z nodelete, so that closing the probe handle leaves them mapped.
#include <stdexcept>

#include "kestovar/io/plugin.h"

using namespace kestovar;

#ifndef FAULT_UNRESOLVED
#define FAULT_UNRESOLVED 0
#endif
#ifndef FAULT_THROW
#define FAULT_THROW 0
#endif
#ifndef FAULT_RELEASE
#define FAULT_RELEASE 0
#endif
#ifndef FAULT_BUILTIN
#define FAULT_BUILTIN 0
#endif
#ifndef FAULT_DIALECT
#define FAULT_DIALECT 0
#endif

#if FAULT_UNRESOLVED
extern "C" int kestovar_test_no_such_function();
#endif

extern "C" __attribute__((visibility("default"))) unsigned KestovarGetPluginVersion() {
    return KESTOVAR_PLUGIN_VERSION;
}

extern "C" __attribute__((visibility("default"))) bool Init3DParser(IoPluginMode mode, void* record) {
#if FAULT_UNRESOLVED
    return mode == IO_PLUGIN_DECLARE && record && kestovar_test_no_such_function() != 0;
#else
    if (mode == IO_PLUGIN_RELEASE) {
        if (FAULT_RELEASE) throw std::runtime_error("release failed");
        return true;
    }
    if (mode != IO_PLUGIN_DECLARE) return false;
    auto* info = static_cast<IoPluginDeclareInfo*>(record);
    if (FAULT_DIALECT) {
        if (info->index > 0) return false;
        *info->format = CFileExt(L".obj", L"Dialect files", 0x41414141, 0x4013);
        return true;
    }
    const int builtin = FAULT_BUILTIN ? 1 : 0;
    if (info->index < builtin) {
        *info->format = CFileExt(L".obj", L"Taken over", FILE_CLASS_WAVEFRONT, 0x4013);
        return true;
    }
    if (info->index == builtin) {
        *info->format = CFileExt(L".flt", L"Faulty files", 0x464C5431, 0x4001);
        return true;
    }
    if (FAULT_THROW) throw std::runtime_error("declare failed");
    return false;
#endif
}
