// The file-format registry: one CFileExt per format, keyed by the format's class (a four-character
// code), process-wide and guarded by the library lock.
//
// Property bits of an entry:
//   1, 4     readable (the registry sets the loader when properties & 5)
//   2, 8     writable (the registry sets the saver when properties & 10)
//   0x10     the format keeps its data in one file (no companion files); informational only
//   32, 64   reading has an optional (32) or a mandatory (64) option dialog
//   128      writing has an optional option dialog; added by fileRegisterFile to every writable
//            3D scene format (properties & 0x4002 == 0x4002)
//   0x100    writing has a mandatory option dialog
//   0x4000   3D scene format (FILE_KIND_3D, the kind mask of scene formats)
//
// Two formats are built in and registered the first time the registry is used (or by
// InitKestovarApplication with KESTOVAR_INIT_FORMATS): ".obj" (WAVF) and ".3dif" (3DIF). Plug-in
// modules add further formats (plugin.h).
//
// Extensions keep their leading point (".obj"); look-ups by extension ignore letter case. When
// several formats share an extension, the look-ups return the one with the smallest class code, and
// CFileInfo (parser.h) walks the others in ascending class order.
#pragma once

#include <cstdint>

#include "kestovar/core/array.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

// Parser identifiers stored in CFileExt::loader and CFileExt::saver.
constexpr uint32_t FILE_PARSER_BUILTIN = 0x44454950;  // a parser built into the library
constexpr uint32_t FILE_PARSER_PLUGIN = 0x504C4750;   // PLGP: made by the format's init callback
constexpr uint32_t FILE_PARSER_UNKNOWN = 0x554E4B4E;  // UNKN: the format cannot be read / written

// Classes of the built-in formats.
constexpr uint32_t FILE_CLASS_WAVEFRONT = 0x57415646;  // WAVF, ".obj"
constexpr uint32_t FILE_CLASS_3DIF = 0x33444946;       // 3DIF, ".3dif"

enum _FILE_PROPERTIES : uint32_t {
    FILE_PROP_READ = 1,
    FILE_PROP_WRITE = 2,
    FILE_PROP_READ_ALT = 4,
    FILE_PROP_WRITE_ALT = 8,
    FILE_PROP_SINGLE_FILE = 0x10,
    FILE_PROP_READ_DIALOG = 32,
    FILE_PROP_READ_DIALOG_MANDATORY = 64,
    FILE_PROP_WRITE_DIALOG = 128,
    FILE_PROP_WRITE_DIALOG_MANDATORY = 0x100,
    FILE_KIND_3D = 0x4000,
};

// How the library calls a plug-in format's init callback (plugin.h documents the records).
enum IoPluginMode : int {
    IO_PLUGIN_DECLARE = 0,       // record: IoPluginDeclareInfo; describe the index-th format
    IO_PLUGIN_CREATE_PARSER = 1, // record: IoPluginParserInfo; create the parser of a format
    IO_PLUGIN_RELEASE = 2,       // record: null; the module is about to be unloaded
};
typedef bool (*IoPluginInitFunc)(IoPluginMode mode, void* record);

// One registry entry. The first six fields are the entry as declared; `initCallback` is the
// plug-in entry that creates the format's parser (null for built-in formats) and `module` the
// plug-in module that declared it (null for built-in formats).
struct KESTOVAR_API CFileExt {
    CXTString<wchar_t> extension;    // with its leading point: ".obj"
    CXTString<wchar_t> description;  // "Wavefront files"
    uint32_t fileClass = 0;          // four-character code
    uint32_t properties = 0;         // _FILE_PROPERTIES
    uint32_t loader = FILE_PARSER_UNKNOWN;
    uint32_t saver = FILE_PARSER_UNKNOWN;
    IoPluginInitFunc initCallback = nullptr;
    void* module = nullptr;

    CFileExt() = default;
    CFileExt(const wchar_t* ext, const wchar_t* desc, uint32_t cls, uint32_t props,
             uint32_t parser = FILE_PARSER_BUILTIN);

    bool IsReadable() const { return (properties & 5u) != 0; }
    bool IsWritable() const { return (properties & 10u) != 0; }
};

typedef CXArray<CFileExt> CFileExtArray;
typedef CXArray<CXTString<wchar_t>> CFileExtStringArray;

// ---- registry -----------------------------------------------------------------------------------

// Adds `ext`, or replaces the entry of its class. The loader is set to `ext.loader` when the
// format is readable (else UNKN), the saver likewise; bit 128 is added to a writable 3D scene
// format. A null class is refused (false).
KESTOVAR_API bool fileRegisterFile(const CFileExt& ext);
// Removes the entry of `fileClass`; false when there was none.
KESTOVAR_API bool fileUnregisterFile(uint32_t fileClass);
// Registers the two built-in formats (done on first use of the registry).
KESTOVAR_API void fileRegisterBuiltinFormats();
// Drops every entry and the registry itself; the next use registers the built-in formats again.
KESTOVAR_API void fileReleaseRegistry();

// Look-ups by a file name (or a bare extension such as ".obj" or "obj"). Unknown: loader and saver
// give FILE_PARSER_UNKNOWN, class, kind and properties 0, fileGetFileExt false.
KESTOVAR_API uint32_t fileGetLoader(const wchar_t* fileName);
KESTOVAR_API uint32_t fileGetSaver(const wchar_t* fileName);
KESTOVAR_API uint32_t fileGetClass(const wchar_t* fileName);
// The kind bits of the format (properties & 0xFFFFC000: 0x4000 for a 3D scene format).
KESTOVAR_API uint32_t fileGetKindOf(const wchar_t* fileName);
KESTOVAR_API uint32_t fileGetProperties(const wchar_t* fileName);
// The class of the format of `fileName` whose properties share a bit with `kindMask`, else 0.
KESTOVAR_API uint32_t fileFindParser(const wchar_t* fileName, uint32_t kindMask);
KESTOVAR_API bool fileGetFileExt(const wchar_t* fileName, CFileExt& ext);
// Every class registered for the extension of `fileName`, ascending. Returns the count.
KESTOVAR_API int fileGetClassesOfExtension(const wchar_t* fileName, CXArray<uint32_t>& classes);

// Look-ups by class.
KESTOVAR_API bool fileGetExtensionInfo(uint32_t fileClass, CFileExt& ext);
// The extension of the class (".obj"); empty when unknown.
KESTOVAR_API CXTString<wchar_t> fileGetMainExtension(uint32_t fileClass);

// ---- lists --------------------------------------------------------------------------------------
// Lists are sorted by class code so that they are the same from run to run.

// The extensions of the formats whose properties share a bit with `kindMask`; with `withPoint`
// they keep their leading point. Returns the count.
KESTOVAR_API int fileGetExtensionArray(uint32_t kindMask, CFileExtStringArray& extensions, bool withPoint);
// The extensions of the formats whose properties contain every bit of `properties`.
KESTOVAR_API int fileGetExtensionArrayByProperty(uint32_t properties, CFileExtStringArray& extensions,
                                                 bool withPoint);
// A copy of the entries whose properties share a bit with `kindMask`, as an array from xnew of
// `count` entries (null when none); release it with fileFreeRegisteredFiles.
KESTOVAR_API CFileExt* fileGetRegisteredFiles(int& count, uint32_t kindMask);
KESTOVAR_API void fileFreeRegisteredFiles(CFileExt* files, int count);
// Normalises a list of extensions in place: trims blanks, lower-cases, adds the leading point,
// drops empty and repeated entries (the first occurrence stays). Returns the count.
KESTOVAR_API int fileCleanExtensionList(CFileExtStringArray& extensions);
// Splits a list written as "*.obj;*.3dif" or ".obj, .3dif" into a set of clean extensions
// (as fileCleanExtensionList). Returns the number of distinct extensions.
typedef CHashTable<CXTString<wchar_t>> CFileExtHashSet;
KESTOVAR_API int fileGetHashFromExtensionList(const wchar_t* list, CFileExtHashSet& extensions);

}  // namespace kestovar
