// The process-wide format registry: class -> CFileExt in a CHashMap (23 slots at creation), created
// on first use with the two built-in formats and guarded by the library lock.
#include "kestovar/io/file_ext.h"

#include <algorithm>

#include "io_internal.h"
#include "kestovar/core/runtime.h"

namespace kestovar {

namespace {

typedef CHashMap<uint32_t, uint32_t, CFileExt> CRegistryMap;

CRegistryMap* g_registry = nullptr;

// The registry, created (with the built-in entries) when missing. Library lock held by the caller.
CRegistryMap& Registry();

void RegisterLocked(CRegistryMap& map, const CFileExt& source) {
    CFileExt ext = source;
    // The extension is stored with its point, whatever the caller gave.
    if (!ext.extension.IsEmpty() && ext.extension.GetAt(0) != L'.') ext.extension.Insert(0, L'.');
    uint32_t parser = source.loader != FILE_PARSER_UNKNOWN ? source.loader : source.saver;
    if (parser == FILE_PARSER_UNKNOWN) parser = FILE_PARSER_BUILTIN;
    ext.loader = (ext.properties & 5u) ? parser : FILE_PARSER_UNKNOWN;
    ext.saver = (ext.properties & 10u) ? parser : FILE_PARSER_UNKNOWN;
    // Writable 3D scene formats get the optional write-dialog bit.
    if ((ext.properties & 0x4002u) == 0x4002u) ext.properties |= 128u;
    map.Insert(ext.fileClass, ext);
}

// Adds the built-in entries that are missing. Lock held.
void AddMissingBuiltins(CRegistryMap& map) {
    if (!map.IsFound(FILE_CLASS_WAVEFRONT))
        RegisterLocked(map, CFileExt(L".obj", L"Wavefront files", FILE_CLASS_WAVEFRONT, 0x4013));
    if (!map.IsFound(FILE_CLASS_3DIF))
        RegisterLocked(map, CFileExt(L".3dif", L"Kestovar 3D Format files", FILE_CLASS_3DIF, 0x4013));
}

CRegistryMap& Registry() {
    if (!g_registry) {
        g_registry = new CRegistryMap(21);
        AddMissingBuiltins(*g_registry);
    }
    return *g_registry;
}

// The extension of a file name or bare extension, with its point: "/a/b.OBJ" -> ".OBJ", "obj" ->
// ".obj", ".obj" -> ".obj". A name after a directory that starts with its only point is a hidden
// file without extension ("/a/.obj" -> ""), as CFileInfo splits it. A URL's query is ignored.
CXTString<wchar_t> ExtensionOf(const wchar_t* fileName) {
    if (!fileName) return CXTString<wchar_t>();
    CXTString<wchar_t> name(fileName);
    if (name.Find(L"://") >= 0) {
        int query = name.FindOneOf(L"?#");
        if (query >= 0) name = name.Left(query);
    }
    int slash = name.ReverseFind(L'/');
    CXTString<wchar_t> last = name.Mid(slash + 1);
    int dot = last.ReverseFind(L'.');
    if (dot < 0) return slash < 0 && !last.IsEmpty() ? L"." + last : CXTString<wchar_t>();
    if (dot == 0 && slash >= 0) return CXTString<wchar_t>();
    return last.Mid(dot);
}

// The entry with the smallest class registered for the extension of `fileName`. Lock held.
const CFileExt* FindByName(const wchar_t* fileName) {
    CXTString<wchar_t> ext = ExtensionOf(fileName);
    if (ext.GetLength() < 2) return nullptr;
    CRegistryMap& map = Registry();
    const CFileExt* best = nullptr;
    int pos = kHashStartPosition;
    while (const CRegistryMap::Slot* slot = map.GetNextSlot(pos)) {
        const CFileExt* entry = &slot->value;
        if (entry->extension.CompareNoCase(ext) != 0) continue;
        if (!best || entry->fileClass < best->fileClass) best = entry;
    }
    return best;
}

// The entries whose properties pass `accept`, sorted by class. Lock held.
template <class Accept>
void Collect(CXArray<const CFileExt*>& out, Accept accept) {
    CRegistryMap& map = Registry();
    int pos = kHashStartPosition;
    while (const CRegistryMap::Slot* slot = map.GetNextSlot(pos))
        if (accept(slot->value)) out.Add(&slot->value);
    std::sort(out.GetData(), out.GetData() + out.GetSize(),
              [](const CFileExt* a, const CFileExt* b) { return a->fileClass < b->fileClass; });
}

CXTString<wchar_t> CleanExtension(CXTString<wchar_t> text) {
    text.Trim();
    if (text.GetLength() > 0 && text.GetAt(0) == L'*') text.Delete(0);
    text.Trim();
    if (text.IsEmpty()) return text;
    if (text.GetAt(0) != L'.') text.Insert(0, L'.');
    if (text.GetLength() < 2) return CXTString<wchar_t>();
    text.MakeLower();
    return text;
}

}  // namespace

CFileExt::CFileExt(const wchar_t* ext, const wchar_t* desc, uint32_t cls, uint32_t props, uint32_t parser)
    : extension(ext), description(desc), fileClass(cls), properties(props), loader(parser), saver(parser) {}

bool fileRegisterFile(const CFileExt& ext) {
    if (ext.fileClass == 0) return false;
    CXSingleLock lock(&XGetLibraryLock(), true);
    RegisterLocked(Registry(), ext);
    return true;
}

bool fileUnregisterFile(uint32_t fileClass) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    return Registry().Remove(fileClass) != 0;
}

int detail::UnregisterFormatsOfModule(void* module) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (!g_registry || !module) return 0;
    int removed = 0;
    int pos = kHashStartPosition;
    // Removal keeps slot positions valid, so the walk goes on from the removed entry.
    while (const CRegistryMap::Slot* slot = g_registry->GetNextSlot(pos)) {
        if (slot->value.module != module) continue;
        const uint32_t fileClass = slot->key;
        g_registry->Remove(fileClass);
        ++removed;
    }
    return removed;
}

void fileRegisterBuiltinFormats() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    AddMissingBuiltins(Registry());
}

void fileReleaseRegistry() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    delete g_registry;
    g_registry = nullptr;
}

uint32_t fileGetLoader(const wchar_t* fileName) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    const CFileExt* e = FindByName(fileName);
    return e ? e->loader : FILE_PARSER_UNKNOWN;
}

uint32_t fileGetSaver(const wchar_t* fileName) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    const CFileExt* e = FindByName(fileName);
    return e ? e->saver : FILE_PARSER_UNKNOWN;
}

uint32_t fileGetClass(const wchar_t* fileName) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    const CFileExt* e = FindByName(fileName);
    return e ? e->fileClass : 0;
}

uint32_t fileGetKindOf(const wchar_t* fileName) { return fileGetProperties(fileName) & 0xFFFFC000u; }

uint32_t fileGetProperties(const wchar_t* fileName) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    const CFileExt* e = FindByName(fileName);
    return e ? e->properties : 0;
}

uint32_t fileFindParser(const wchar_t* fileName, uint32_t kindMask) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    CXTString<wchar_t> ext = ExtensionOf(fileName);
    CXArray<const CFileExt*> found;
    Collect(found, [&](const CFileExt& e) { return (e.properties & kindMask) != 0 && e.extension.CompareNoCase(ext) == 0; });
    return found.GetSize() ? found[0]->fileClass : 0;
}

bool fileGetFileExt(const wchar_t* fileName, CFileExt& ext) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    const CFileExt* e = FindByName(fileName);
    if (!e) return false;
    ext = *e;
    return true;
}

int fileGetClassesOfExtension(const wchar_t* fileName, CXArray<uint32_t>& classes) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    CXTString<wchar_t> ext = ExtensionOf(fileName);
    CXArray<const CFileExt*> found;
    if (ext.GetLength() >= 2) Collect(found, [&](const CFileExt& e) { return e.extension.CompareNoCase(ext) == 0; });
    for (int i = 0; i < found.GetSize(); ++i) classes.Add(found[i]->fileClass);
    return found.GetSize();
}

bool fileGetExtensionInfo(uint32_t fileClass, CFileExt& ext) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    const CFileExt* e = Registry().Find(fileClass);
    if (!e) return false;
    ext = *e;
    return true;
}

CXTString<wchar_t> fileGetMainExtension(uint32_t fileClass) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    const CFileExt* e = Registry().Find(fileClass);
    return e ? e->extension : CXTString<wchar_t>();
}

int fileGetExtensionArray(uint32_t kindMask, CFileExtStringArray& extensions, bool withPoint) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    CXArray<const CFileExt*> found;
    Collect(found, [&](const CFileExt& e) { return (e.properties & kindMask) != 0; });
    for (int i = 0; i < found.GetSize(); ++i)
        extensions.Add(withPoint ? found[i]->extension : found[i]->extension.Mid(1));
    return found.GetSize();
}

int fileGetExtensionArrayByProperty(uint32_t properties, CFileExtStringArray& extensions, bool withPoint) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    CXArray<const CFileExt*> found;
    Collect(found, [&](const CFileExt& e) { return (e.properties & properties) == properties; });
    for (int i = 0; i < found.GetSize(); ++i)
        extensions.Add(withPoint ? found[i]->extension : found[i]->extension.Mid(1));
    return found.GetSize();
}

CFileExt* fileGetRegisteredFiles(int& count, uint32_t kindMask) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    CXArray<const CFileExt*> found;
    Collect(found, [&](const CFileExt& e) { return (e.properties & kindMask) != 0; });
    count = found.GetSize();
    if (count == 0) return nullptr;
    CFileExt* files = static_cast<CFileExt*>(xnew(sizeof(CFileExt) * size_t(count)));
    if (!files) XThrow<CXMemoryException>();
    int made = 0;
    try {
        for (; made < count; ++made) ::new (files + made) CFileExt(*found[made]);
    } catch (...) {
        fileFreeRegisteredFiles(files, made);  // the copies made so far and the block
        throw;
    }
    return files;
}

void fileFreeRegisteredFiles(CFileExt* files, int count) {
    if (!files) return;
    for (int i = 0; i < count; ++i) files[i].~CFileExt();
    xdelete(files);
}

int fileCleanExtensionList(CFileExtStringArray& extensions) {
    CHashTable<CXTString<wchar_t>> seen;
    CFileExtStringArray clean;
    for (int i = 0; i < extensions.GetSize(); ++i) {
        CXTString<wchar_t> ext = CleanExtension(extensions[i]);
        if (!ext.IsEmpty() && seen.Insert(ext)) clean.Add(ext);
    }
    extensions.Swap(clean);
    return extensions.GetSize();
}

int fileGetHashFromExtensionList(const wchar_t* list, CFileExtHashSet& extensions) {
    if (!list) return extensions.GetCount();
    CXTString<wchar_t> text(list);
    int start = 0;
    for (int i = 0; i <= text.GetLength(); ++i) {
        wchar_t c = i < text.GetLength() ? text.GetAt(i) : L';';
        if (c != L';' && c != L',' && c != L'|') continue;
        CXTString<wchar_t> ext = CleanExtension(text.Mid(start, i - start));
        if (!ext.IsEmpty()) extensions.Insert(ext);
        start = i + 1;
    }
    return extensions.GetCount();
}

}  // namespace kestovar
