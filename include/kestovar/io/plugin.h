// Plug-in modules: scene formats added at run time by shared objects named "*.tepz" in the
// plug-ins directory (SetPluginsDirectory, core/runtime.h).
//
// ---- The plug-in side ---------------------------------------------------------------------------
//
// A scene-format plug-in is a shared object linked against libkestovar that exports two C symbols:
//
//     extern "C" unsigned KestovarGetPluginVersion();           // must return 0x50000
//     extern "C" bool Init3DParser(IoPluginMode mode, void* record);
//
// (an image plug-in exports "InitBitmapParser" with the same signature instead). The library calls
// the entry in three modes:
//
//   IO_PLUGIN_DECLARE        record: IoPluginDeclareInfo*. Fill `*info->format` with the index-th
//                            format the module serves (index 0, 1, 2, ... until the entry returns
//                            false): extension with its point, description, class (a
//                            four-character code of the module's own, not one of the built-in
//                            classes) and properties (_FILE_PROPERTIES; 0x4000 for a scene
//                            format, 1 readable, 2 writable). The library sets the loader and saver
//                            to FILE_PARSER_PLUGIN and keeps the entry as the format's init
//                            callback; whatever the module puts there is ignored.
//   IO_PLUGIN_CREATE_PARSER  record: IoPluginParserInfo* (file_io.h). Create the parser of
//                            `info->fileClass` with `new` (a class derived from C3DParser; its
//                            allocation goes through the library's allocator, CXAllocated) and store
//                            it in `info->parser`; return true. The CFileIo that asked owns and
//                            deletes it. Return false for a class the module does not serve.
//   IO_PLUGIN_RELEASE        record: null. The module is about to be closed: release what it
//                            holds. Called once, from FreePlugin.
//
// The entry may be called from any thread that reads or writes files, so it must not keep
// per-call state in globals. A module must not be freed while one of its parsers exists, or while
// a scene holds parser data whose release function lies in the module (C3DScene::SetParserData):
// FreePlugin cannot know about either, so the host frees plug-ins only when files are no longer
// being read or written (CloseKestovarApplication with KESTOVAR_INIT_IO_PLUGINS does it last).
//
// ---- The library side ---------------------------------------------------------------------------
//
// LoadPlugin probes a candidate (a local load), checks the version function and the entry,
// closes it and opens it again; a module that fails any step is remembered as bad for the process
// and never opened again, as is one that throws while declaring its formats. A declared format
// with a built-in class is skipped. An exception from IO_PLUGIN_RELEASE is caught and the module
// closed all the same. Loaded modules are kept in a table of (module, path, entry name) that
// FreePlugin / FreePlugins empty; the same module reached through two spellings of its path is
// one record.
#pragma once

#include <cstdint>

#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"
#include "kestovar/io/file_ext.h"

namespace kestovar {

// The value KestovarGetPluginVersion must return.
constexpr unsigned KESTOVAR_PLUGIN_VERSION = 0x50000;

// Entry names.
constexpr const char* kPluginEntry3D = "Init3DParser";
constexpr const char* kPluginEntryBitmap = "InitBitmapParser";
constexpr const char* kPluginVersionFunction = "KestovarGetPluginVersion";

typedef unsigned (*KestovarGetPluginVersionFunc)();

// The record of IO_PLUGIN_DECLARE.
struct IoPluginDeclareInfo {
    int index;          // which format the library asks about
    CFileExt* format;   // to fill
};

// What LoadPlugin hands back.
struct IoPluginInfo {
    void* module = nullptr;             // the open module
    IoPluginInitFunc entry = nullptr;   // the address of the entry
};

// Loads `modulePath` and looks up `entryName` ("Init3DParser" or "InitBitmapParser"); see the
// header comment. A module already loaded for the same entry is not opened twice: its handle is
// returned. False, without touching the file, when (path, entry) is known to be bad.
KESTOVAR_API bool LoadPlugin(const wchar_t* modulePath, const char* entryName, IoPluginInfo& info);
// Whether (path, entry) was refused before in this process.
KESTOVAR_API bool IsBadPlugin(const wchar_t* modulePath, const char* entryName);

// Loads every "*.tepz" of the plug-ins directory (or only the file `name` there, when `name` is not
// empty) with the entry of `kindMask` (0x4000: "Init3DParser") and registers the formats each
// declares whose properties share a bit with `kindMask`. A module that declares none of them is
// closed again. Returns the number of formats registered.
KESTOVAR_API int RegisterIOPlugins(uint32_t kindMask, const wchar_t* name = nullptr);

// Closes `module` loaded for `entryName`: calls its entry with IO_PLUGIN_RELEASE, unregisters the
// formats it declared (with `unregisterFormats`; otherwise the caller must do it before the next
// use of the registry) and closes it. False when the pair was not loaded.
KESTOVAR_API bool FreePlugin(void* module, const char* entryName, bool unregisterFormats = true);
// Frees every plug-in loaded for `entryName` (every plug-in with null). Returns the count.
KESTOVAR_API int FreePlugins(const char* entryName = nullptr);
// The number of plug-in modules currently loaded.
KESTOVAR_API int GetLoadedPluginCount();

}  // namespace kestovar
