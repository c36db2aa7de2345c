// Loadable modules (ELF shared objects) and the few file-system steps the I/O frame needs beyond
// path.h: listing a directory by pattern, a temporary file beside a target, and replacing a file.
#pragma once

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

// Opens the module at `path`, local, with immediate binding, so that a module with unresolved
// symbols fails here instead of at its first call. `probe` marks the first look at a candidate
// plug-in (its static initialisers do run, this platform has no load-without-initialisation
// mode); it binds as fully as the load that keeps the module, since a module that stays mapped
// after its probe is not bound again. Null on failure (moduleGetLastError tells why).
KESTOVAR_API void* moduleLoad(const wchar_t* path, bool probe);
// The address of the exported symbol `name`, or null.
KESTOVAR_API void* moduleGetSymbol(void* module, const char* name);
// Closes a module opened by moduleLoad (null is ignored).
KESTOVAR_API void moduleFree(void* module);
// The loader's text for the last failure of this thread (empty when none).
KESTOVAR_API CXTString<wchar_t> moduleGetLastError();

// Appends to `files` the full names of the regular files of `directory` whose names match
// `pattern` (shell wildcards, "*.tepz"; letter case matters), sorted by name so that the order is
// the same on every run. Returns the number appended (0 when the directory cannot be read).
KESTOVAR_API int fileFindFiles(const wchar_t* directory, const wchar_t* pattern, CXArray<CXTString<wchar_t>>& files);

// Creates a new empty file in the directory of `target`, named after it with a random suffix
// (".name.XXXXXX"), and returns its name (empty on failure). Its permissions are those of `target`
// when it exists, else the usual ones for a new file (0666 without the process's umask), so that
// renaming it over the target changes nothing but the content.
KESTOVAR_API CXTString<wchar_t> fileCreateTmpBeside(const wchar_t* target);
// A second name (a hard link) for the existing file `target`, beside it and named as
// fileCreateTmpBeside names its files. Empty on failure (no such file, a folder, or a file system
// without hard links).
KESTOVAR_API CXTString<wchar_t> fileLinkBeside(const wchar_t* target);
// The file that `path` names through symbolic links, as an absolute name, when `path` is a link
// to an existing file; `path` itself otherwise.
KESTOVAR_API CXTString<wchar_t> fileResolveLink(const wchar_t* path);
// Atomically replaces `to` by `from` (both in one file system). False on failure, `to` unchanged.
KESTOVAR_API bool fileReplace(const wchar_t* from, const wchar_t* to);

}  // namespace kestovar
