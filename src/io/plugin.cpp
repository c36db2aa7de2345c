// Plug-in modules: loading with the version check, the bad-plug-in memory, the table of loaded
// entries, registration of the formats they declare, and the hooks through which
// InitKestovarApplication / CloseKestovarApplication reach the I/O subsystem.
#include "kestovar/io/plugin.h"

#include <new>

#include "io_internal.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/log.h"
#include "kestovar/core/runtime.h"
#include "kestovar/platform/module.h"

namespace kestovar {

namespace {

struct LoadedPlugin {
    void* module;
    IoPluginInitFunc entry;
    CXTString<wchar_t> path;
    CXTString<char> entryName;
};

// Process-wide state, created on first use together with the exit callback that releases it;
// guarded by the library lock.
struct PluginState {
    CHashTable<CXTString<wchar_t>> bad;  // "path\nentry" of refused modules
    CXArray<LoadedPlugin> loaded;
};
PluginState* g_plugins = nullptr;

// Priority of the exit callback: after the callbacks of priority 0 that may still read files.
constexpr unsigned kPluginExitPriority = 10;

void ReleasePluginState() {
    FreePlugins(nullptr);
    CXSingleLock lock(&XGetLibraryLock(), true);
    delete g_plugins;
    g_plugins = nullptr;
}

PluginState& Plugins() {
    if (!g_plugins) {
        // The release first (registering it twice is harmless): the state never exists without it.
        AddApplicationExitCallback(&ReleasePluginState, kPluginExitPriority);
        g_plugins = new PluginState;
    }
    return *g_plugins;
}

CXTString<wchar_t> BadKey(const wchar_t* path, const char* entry) {
    return CXTString<wchar_t>(path) + L'\n' + CXTString<wchar_t>(entry);
}

int FindLoaded(const PluginState& state, const wchar_t* path, const char* entry) {
    for (int i = 0; i < state.loaded.GetSize(); ++i)
        if (state.loaded[i].path == path && state.loaded[i].entryName == entry) return i;
    return -1;
}

// Probe: the module must load, export the version function and the entry, and the version must
// match. The probe handle is closed in every case. Returns an empty string on success, else why
// the module is refused.
CXTString<wchar_t> ProbeModule(const wchar_t* path, const char* entryName) {
    void* probe = moduleLoad(path, true);
    if (!probe) return moduleGetLastError();
    CXTString<wchar_t> refusal;
    auto version = reinterpret_cast<KestovarGetPluginVersionFunc>(moduleGetSymbol(probe, kPluginVersionFunction));
    if (!version) {
        refusal = L"no " + CXTString<wchar_t>(kPluginVersionFunction);
    } else if (const unsigned found = version(); found != KESTOVAR_PLUGIN_VERSION) {
        refusal.Format(L"version 0x%X, expected 0x%X", found, KESTOVAR_PLUGIN_VERSION);
    } else if (!moduleGetSymbol(probe, entryName)) {
        refusal = L"no " + CXTString<wchar_t>(entryName);
    }
    moduleFree(probe);
    return refusal;
}

// Remembers (path, entry) as bad and says why in the log. Lock held.
void Refuse(PluginState& state, const wchar_t* path, const char* entryName, const wchar_t* why) {
    state.bad.Insert(BadKey(path, entryName));
    if (IsLogFileEnabled()) WriteToLogFile(L"Plugin %ls refused: %ls\n", path, why);
}

// Calls a plug-in's entry. An exception thrown by the module is its own fault: it is caught here
// (a library exception deleted) and the call answers false, with `threw` set. Running out of
// memory is no fault of the module: CXMemoryException and std::bad_alloc go on to the caller,
// unless `swallowAll` (a module being closed is closed whatever happens).
bool CallEntry(IoPluginInitFunc entry, IoPluginMode mode, void* record, bool& threw,
               bool swallowAll = false) {
    threw = false;
    try {
        return entry(mode, record);
    } catch (CXException* e) {
        if (!swallowAll && e && e->IsKindOf(KX_RUNTIME_CLASS(CXMemoryException))) throw;
        if (e) e->Delete();
    } catch (const std::bad_alloc&) {
        if (!swallowAll) throw;
    } catch (...) {
    }
    threw = true;
    return false;
}

const char* EntryOfKind(uint32_t kindMask) { return (kindMask & FILE_KIND_3D) ? kPluginEntry3D : kPluginEntryBitmap; }

void RegisterPluginsHook(unsigned kindMask, const wchar_t* name) { RegisterIOPlugins(kindMask, name); }
void ReleasePluginsHook() { FreePlugins(nullptr); }

// Installs the I/O hooks of the runtime frame when the library is loaded.
struct HookInstaller {
    HookInstaller() {
        KestovarIOHooks hooks{&fileRegisterBuiltinFormats, &fileReleaseRegistry, &RegisterPluginsHook,
                              &ReleasePluginsHook};
        SetKestovarIOHooks(hooks);
    }
};
HookInstaller g_hookInstaller;

}  // namespace

bool IsBadPlugin(const wchar_t* modulePath, const char* entryName) {
    if (!modulePath || !entryName) return false;
    CXSingleLock lock(&XGetLibraryLock(), true);
    return g_plugins && g_plugins->bad.IsFound(BadKey(modulePath, entryName));
}

bool LoadPlugin(const wchar_t* modulePath, const char* entryName, IoPluginInfo& info) {
    info = IoPluginInfo();
    if (!modulePath || !*modulePath || !entryName || !*entryName) return false;
    CXSingleLock lock(&XGetLibraryLock(), true);
    PluginState& state = Plugins();
    CXTString<wchar_t> key = BadKey(modulePath, entryName);
    if (state.bad.IsFound(key)) return false;
    int known = FindLoaded(state, modulePath, entryName);
    if (known >= 0) {
        info.module = state.loaded[known].module;
        info.entry = state.loaded[known].entry;
        return true;
    }
    void* module = nullptr;
    IoPluginInitFunc entry = nullptr;
    CXTString<wchar_t> refusal = ProbeModule(modulePath, entryName);
    if (refusal.IsEmpty()) {
        module = moduleLoad(modulePath, false);
        if (module) entry = reinterpret_cast<IoPluginInitFunc>(moduleGetSymbol(module, entryName));
        if (!entry) refusal = moduleGetLastError();
    }
    if (!entry) {
        moduleFree(module);
        Refuse(state, modulePath, entryName, refusal);
        return false;
    }
    // The same module under another spelling of its path (a second slash, a link): the loader
    // handed out the handle it already has, so the record that exists serves, and the extra
    // reference is dropped.
    for (int i = 0; i < state.loaded.GetSize(); ++i) {
        if (state.loaded[i].module != module || state.loaded[i].entryName != entryName) continue;
        moduleFree(module);
        info.module = module;
        info.entry = state.loaded[i].entry;
        return true;
    }
    // A module that cannot be recorded is closed again, so that none stays loaded unknown.
    try {
        LoadedPlugin loaded{module, entry, CXTString<wchar_t>(modulePath), CXTString<char>(entryName)};
        state.loaded.Add(loaded);
    } catch (...) {
        moduleFree(module);
        throw;
    }
    info.module = module;
    info.entry = entry;
    return true;
}

int RegisterIOPlugins(uint32_t kindMask, const wchar_t* name) {
    CXTString<wchar_t> directory = GetPluginsDirectory();
    if (directory.IsEmpty()) return 0;
    CXArray<CXTString<wchar_t>> candidates;
    fileFindFiles(directory, name && *name ? name : L"*.tepz", candidates);
    const char* entryName = EntryOfKind(kindMask);
    int registered = 0;
    for (int i = 0; i < candidates.GetSize(); ++i) {
        IoPluginInfo info;
        const int loadedBefore = GetLoadedPluginCount();
        if (!LoadPlugin(candidates[i], entryName, info)) continue;
        const bool fresh = GetLoadedPluginCount() > loadedBefore;
        int declared = 0;
        bool threw = false;
        for (int index = 0;; ++index) {
            CFileExt format;
            IoPluginDeclareInfo declare{index, &format};
            if (!CallEntry(info.entry, IO_PLUGIN_DECLARE, &declare, threw)) break;
            if (index > 4096) break;  // a module that never says "no more" declares nothing more
            if (!(format.properties & kindMask) || format.fileClass == 0) continue;
            // The built-in formats stay the library's own: a module cannot take them over.
            if (format.fileClass == FILE_CLASS_WAVEFRONT || format.fileClass == FILE_CLASS_3DIF) continue;
            format.loader = format.saver = FILE_PARSER_PLUGIN;
            format.initCallback = info.entry;
            format.module = info.module;
            if (fileRegisterFile(format)) ++declared;
        }
        if (threw) {
            // A module that throws while it declares its formats is refused like one that fails
            // the probe: what it declared goes, and a module loaded for this scan is closed.
            CXSingleLock lock(&XGetLibraryLock(), true);
            detail::UnregisterFormatsOfModule(info.module);
            if (fresh) FreePlugin(info.module, entryName, false);
            Refuse(Plugins(), candidates[i], entryName, L"an exception while declaring its formats");
            continue;
        }
        // A module loaded only for this scan and of no use for this kind is closed again; one
        // loaded before keeps serving the formats it declared then.
        if (declared == 0 && fresh) FreePlugin(info.module, entryName, false);
        registered += declared;
    }
    return registered;
}

bool FreePlugin(void* module, const char* entryName, bool unregisterFormats) {
    if (!module || !entryName) return false;
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (!g_plugins) return false;
    CXArray<LoadedPlugin>& loaded = g_plugins->loaded;
    for (int i = 0; i < loaded.GetSize(); ++i) {
        if (loaded[i].module != module || loaded[i].entryName != entryName) continue;
        IoPluginInitFunc entry = loaded[i].entry;
        loaded.RemoveAt(i);
        if (unregisterFormats) detail::UnregisterFormatsOfModule(module);
        // The module is closed whatever its release does; an exception from it is logged.
        bool threw = false;
        CallEntry(entry, IO_PLUGIN_RELEASE, nullptr, threw, true);
        if (threw && IsLogFileEnabled()) WriteToLogFile(L"Plugin release raised an exception\n");
        moduleFree(module);
        return true;
    }
    return false;
}

int FreePlugins(const char* entryName) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (!g_plugins) return 0;
    int freed = 0;
    for (int i = g_plugins->loaded.GetSize() - 1; i >= 0; --i) {
        LoadedPlugin& p = g_plugins->loaded[i];
        if (entryName && p.entryName != entryName) continue;
        void* module = p.module;
        CXTString<char> name = p.entryName;
        if (FreePlugin(module, name, true)) ++freed;
    }
    return freed;
}

int GetLoadedPluginCount() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    return g_plugins ? g_plugins->loaded.GetSize() : 0;
}

}  // namespace kestovar
