// File and path functions of the platform layer. Paths are wide strings in memory and UTF-8 on
// disk; the separator is '/'. The functions that only take a path apart are purely lexical and
// never touch the disk; the others say so.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

// --- Queries and changes on disk -----------------------------------------------------------------

// Whether something (a file, a directory, ...) exists at `path`. False for a null or empty path.
KESTOVAR_API bool fileExists(const wchar_t* path);
// Whether `path` names an existing directory.
KESTOVAR_API bool fileIsDirectory(const wchar_t* path);
// Creates the directory and every missing parent. True when the directory exists afterwards
// (including when it existed before).
KESTOVAR_API bool fileCreateDirectory(const wchar_t* path);
// Deletes a file (or an empty directory). True on success.
KESTOVAR_API bool fileDelete(const wchar_t* path);

// A path that names nothing yet: `path` itself when free, else the first free of
// "name (2).ext", "name (3).ext", ... in the same directory ("log.txt" -> "log (2).txt"). Nothing
// is created, so another process may still take the name. Empty for a null or empty path, or when
// no free name is found after 9999 attempts.
KESTOVAR_API CXTString<wchar_t> fileCreateUniqueName(const wchar_t* path);

// The temporary directory: $TMPDIR when set and non-empty, else "/tmp/"; always with a trailing
// '/'.
KESTOVAR_API CXTString<wchar_t> fileGetTempDirectory();
// Creates a new empty file with a unique name in the temporary directory (mkstemps) and returns
// its path; the caller deletes it. The name is `prefix` (default "kx"), six random characters and
// `extension` (e.g. L".obj"; may be null). Empty on failure.
KESTOVAR_API CXTString<wchar_t> fileCreateTmpName(const wchar_t* prefix = nullptr, const wchar_t* extension = nullptr);

// The process's current directory with a trailing '/'.
KESTOVAR_API CXTString<wchar_t> fileGetCurrentDirectory();

// --- Lexical operations ----------------------------------------------------------------------------

// The directory part: everything up to and including the last '/' ("/a/b.txt" -> "/a/",
// "b.txt" -> "").
KESTOVAR_API CXTString<wchar_t> fileGetDirectory(const wchar_t* path);
// The name part: everything after the last '/' ("/a/b.txt" -> "b.txt", "/a/" -> "").
KESTOVAR_API CXTString<wchar_t> fileGetName(const wchar_t* path);
// The extension of the name part, dot included ("a/b.tar.gz" -> ".gz"); empty when the name has
// no dot or only a leading one (".profile" has no extension).
KESTOVAR_API CXTString<wchar_t> fileGetExtension(const wchar_t* path);
// The path without the extension of its name part ("a.b/c.txt" -> "a.b/c").
KESTOVAR_API CXTString<wchar_t> fileRemoveExtension(const wchar_t* path);
// Whether the path has a directory part (contains a '/').
KESTOVAR_API bool fileHasDirectory(const wchar_t* path);
// Whether the path starts with '/'.
KESTOVAR_API bool fileIsAbsolutePath(const wchar_t* path);
// Whether the text is a URL: a scheme (a letter, then letters, digits, '+', '-' or '.') followed by
// "://" ("http://host/a.obj", "file:///tmp/a.obj").
KESTOVAR_API bool fileIsURL(const wchar_t* path);

// `directory` and `name` joined with exactly one '/' between them (no '/' is added after an empty
// directory).
KESTOVAR_API CXTString<wchar_t> fileJoinPath(const wchar_t* directory, const wchar_t* name);

// The absolute form of `path`: a relative path is taken against `baseDirectory` (itself made
// absolute against the current directory; null means the current directory). "." components are
// removed, ".." removes the previous component (never above the root), repeated '/' collapse; a
// trailing '/' is kept. Purely lexical apart from reading the current directory: symbolic links
// are not resolved.
KESTOVAR_API CXTString<wchar_t> fileMakeAbsolutePath(const wchar_t* path, const wchar_t* baseDirectory = nullptr);

// `path` relative to the directory `baseDirectory` (both made absolute first; null base means the
// current directory): "/a/b/c.txt" from "/a/d/" -> "../b/c.txt"; the base itself -> "./" when
// `path` ends with '/', else ".". A URL is returned unchanged.
KESTOVAR_API CXTString<wchar_t> fileMakeRelativePath(const wchar_t* path, const wchar_t* baseDirectory = nullptr);

}  // namespace kestovar
