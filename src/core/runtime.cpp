#include "kestovar/core/runtime.h"

#include <errno.h>
#include <omp.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "kestovar/core/array.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/log.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/platform/path.h"
#include "runtime_internal.h"

namespace kestovar {

// ---- The library lock -----------------------------------------------------------------------------

CXCriticalSection& XGetLibraryLock() {
    // Built in static storage and never destroyed: exit callbacks and late static destructors of
    // the host may still log or throw while the process ends.
    alignas(CXCriticalSection) static unsigned char storage[sizeof(CXCriticalSection)];
    static CXCriticalSection* lock = ::new (storage) CXCriticalSection();
    return *lock;
}

// ---- Process state --------------------------------------------------------------------------------

namespace {

struct ExitCallbackEntry {
    ApplicationExitCallback function;
    unsigned priority;
};

struct ExitCallbackMethods {
    static unsigned Hash(const ExitCallbackEntry& e) {
        return HashMix64(uint64_t(reinterpret_cast<uintptr_t>(e.function)) ^ (uint64_t(e.priority) << 40));
    }
    static bool Equal(const ExitCallbackEntry& a, const ExitCallbackEntry& b) {
        return a.function == b.function && a.priority == b.priority;
    }
};

using ExitCallbackSet = CHashTable<ExitCallbackEntry, ExitCallbackMethods>;

std::atomic<bool> g_initialized{false};
std::atomic<uint64_t> g_mainThread{0};

// Guarded by the library lock.
ExitCallbackSet* g_exitCallbacks = nullptr;
CXTString<wchar_t>* g_applicationPath = nullptr;
CXTString<wchar_t>* g_pluginsDirectory = nullptr;
CXTString<wchar_t>* g_userPreferencesPath = nullptr;
KestovarIOHooks g_ioHooks = {nullptr, nullptr, nullptr, nullptr};

// Replaces the stored string (created on first use); a null or empty value clears it.
void StorePath(CXTString<wchar_t>*& holder, const CXTString<wchar_t>& value) {
    if (!holder) holder = new CXTString<wchar_t>();
    *holder = value;
}

CXTString<wchar_t> LoadPath(const CXTString<wchar_t>* holder) {
    return holder ? *holder : CXTString<wchar_t>();
}

bool EndsWithSeparator(const CXTString<wchar_t>& path) {
    return !path.IsEmpty() && path[path.GetLength() - 1] == L'/';
}

// The directory a path designates, with a trailing '/': the path itself when it ends with '/' or
// is an existing directory, else its directory part.
CXTString<wchar_t> DirectoryOf(const CXTString<wchar_t>& path) {
    if (path.IsEmpty()) return path;
    if (EndsWithSeparator(path)) return path;
    if (fileIsDirectory(path)) return path + L'/';
    return fileGetDirectory(path);
}

void WriteNarrowPathLine(const char* format, const CXTString<wchar_t>& path) {
    XCW2A utf8(path);
    WriteToLogFile(format, utf8.GetString());
}

}  // namespace

// ---- Initialisation and shutdown ------------------------------------------------------------------

bool InitKestovarApplication(const wchar_t* appPath, unsigned flags, const wchar_t* logFilePath) {
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        if (g_initialized.load()) return false;
        g_initialized.store(true);
        g_mainThread.store(threadGetCurrentId());
    }
    OMPSetMaxThreadCount(omp_get_max_threads());
    if (logFilePath) SetLogFile(logFilePath, LOG_FILE_TRUNCATE, LOG_DEPTH_UNLIMITED);
    WriteToLogFile(
        "InitKestovarApplication\n%d core will be used by default (use OMPSetMaxThreadCount, or define "
        "OMP_NUM_THREADS under linux, to change the behavior)\n",
        OMPGetMaxThreadCount());
    if (appPath) SetApplicationPath(appPath);

    KestovarIOHooks hooks = GetKestovarIOHooks();
    if ((flags & KESTOVAR_INIT_FORMATS) && hooks.registerFormats) hooks.registerFormats();
    // KESTOVAR_INIT_IGNORE_INVALID_PARAMETERS: nothing to install on this platform.
    if (flags & KESTOVAR_INIT_SIGNALS) detail::InstallSignalHandlers();
    if (flags & KESTOVAR_INIT_IO_PLUGINS) {
        SetPluginsDirectory(GetApplicationPath(true), false);
        if (hooks.registerPlugins) hooks.registerPlugins(16384u, L"");
        if (IsLogFileEnabled()) WriteNarrowPathLine("%s I/O path for tepz is used\n", GetPluginsDirectory());
    }
    if (appPath && IsLogFileEnabled()) WriteNarrowPathLine("%s application path is defined\n", GetApplicationPath(false));
    return true;
}

void CloseKestovarApplication(unsigned flags) {
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        if (!g_initialized.load()) return;
        g_initialized.store(false);
    }
    if (flags & KESTOVAR_INIT_SIGNALS) detail::RestoreSignalHandlers();
    KestovarIOHooks hooks = GetKestovarIOHooks();
    if ((flags & KESTOVAR_INIT_IO_PLUGINS) && hooks.releasePlugins) hooks.releasePlugins();
    if ((flags & KESTOVAR_INIT_FORMATS) && hooks.releaseFormats) hooks.releaseFormats();

    // The callbacks run outside the lock (they may take it, or wait for threads that do), from a
    // copy sorted by ascending priority.
    CXArray<ExitCallbackEntry> callbacks;
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        if (g_exitCallbacks) {
            int position = kHashStartPosition;
            ExitCallbackEntry entry;
            while (g_exitCallbacks->GetNext(position, entry)) callbacks.Add(entry);
        }
    }
    std::stable_sort(callbacks.begin(), callbacks.end(),
                     [](const ExitCallbackEntry& a, const ExitCallbackEntry& b) { return a.priority < b.priority; });
    for (const ExitCallbackEntry& entry : callbacks) entry.function();

    CloseLogFile();

    if (flags & KESTOVAR_CLOSE_RELEASE_ALL) {
        detail::ReleaseThreadRegistry();
        CXSingleLock lock(&XGetLibraryLock(), true);
        delete g_exitCallbacks;
        g_exitCallbacks = nullptr;
        delete g_applicationPath;
        g_applicationPath = nullptr;
        delete g_pluginsDirectory;
        g_pluginsDirectory = nullptr;
        delete g_userPreferencesPath;
        g_userPreferencesPath = nullptr;
    }
}

bool IsKestovarApplicationInitialized() { return g_initialized.load(); }

uint64_t GetMainThreadId() { return g_mainThread.load(); }

void AddApplicationExitCallback(ApplicationExitCallback callback, unsigned priority) {
    if (!callback) return;
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (!g_exitCallbacks) g_exitCallbacks = new ExitCallbackSet(21);
    g_exitCallbacks->Insert(ExitCallbackEntry{callback, priority});
}

// ---- Paths ----------------------------------------------------------------------------------------

void SetApplicationPath(const wchar_t* path) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    StorePath(g_applicationPath, CXTString<wchar_t>(path));
}

CXTString<wchar_t> GetApplicationPath(bool directory) {
    CXTString<wchar_t> path;
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        path = LoadPath(g_applicationPath);
    }
    return directory ? DirectoryOf(path) : path;
}

void SetPluginsDirectory(const wchar_t* path, bool appendPluginsFolder) {
    CXTString<wchar_t> applicationDirectory = GetApplicationPath(true);
    CXTString<wchar_t> directory;
    if (!path || !*path) {
        directory = applicationDirectory;
    } else {
        CXTString<wchar_t> absolute = fileMakeAbsolutePath(
            path, applicationDirectory.IsEmpty() ? nullptr : applicationDirectory.GetString());
        directory = DirectoryOf(absolute);
    }
    if (appendPluginsFolder && directory.Find(L"Plugins/") < 0) {
        if (!directory.IsEmpty() && !EndsWithSeparator(directory)) directory += L'/';
        directory += L"Plugins/";
    }
    CXSingleLock lock(&XGetLibraryLock(), true);
    StorePath(g_pluginsDirectory, directory);
}

CXTString<wchar_t> GetPluginsDirectory() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    return LoadPath(g_pluginsDirectory);
}

void SetUserPreferencesPath(const wchar_t* path) {
    CXTString<wchar_t> directory(path);
    if (!directory.IsEmpty() && !EndsWithSeparator(directory)) directory += L'/';
    CXSingleLock lock(&XGetLibraryLock(), true);
    StorePath(g_userPreferencesPath, directory);
}

CXTString<wchar_t> GetUserPreferencesPath(bool create) {
    CXTString<wchar_t> directory;
    {
        CXSingleLock lock(&XGetLibraryLock(), true);
        directory = LoadPath(g_userPreferencesPath);
    }
    if (directory.IsEmpty()) {
        // The XDG base-directory default, read on every call so that it follows the environment.
        const char* config = ::getenv("XDG_CONFIG_HOME");
        if (config && *config) {
            directory = fileJoinPath(CXTString<wchar_t>(config), L"kestovar/");
        } else {
            const char* home = ::getenv("HOME");
            if (home && *home)
                directory = fileJoinPath(CXTString<wchar_t>(home), L".config/kestovar/");
            else
                directory = fileGetTempDirectory() + L"kestovar/";
        }
    }
    if (create && !fileIsDirectory(directory)) fileCreateDirectory(directory);
    return directory;
}

void SetKestovarIOHooks(const KestovarIOHooks& hooks) {
    CXSingleLock lock(&XGetLibraryLock(), true);
    g_ioHooks = hooks;
}

KestovarIOHooks GetKestovarIOHooks() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    return g_ioHooks;
}

// ---- The application object -----------------------------------------------------------------------

KX_IMPLEMENT_DYNAMIC(CXApp, CXObject)

CXTString<wchar_t> CXApp::GetAppName() const {
    CXTString<wchar_t> path = ::kestovar::GetApplicationPath(false);
    while (path.GetLength() > 1 && EndsWithSeparator(path)) path.Delete(path.GetLength() - 1, 1);
    CXTString<wchar_t> name = fileRemoveExtension(fileGetName(path));
    if (name.IsEmpty()) name = CXTString<wchar_t>(program_invocation_short_name);
    return name;
}

CXApp* XGetApp() {
    static CXApp app;
    return &app;
}

// ---- Locale switch ---------------------------------------------------------------------------------

CSwitchLocale::CSwitchLocale() : m_locale(newlocale(LC_NUMERIC_MASK, "C", locale_t(0))), m_previous(locale_t(0)) {
    if (m_locale) m_previous = uselocale(m_locale);
}

CSwitchLocale::~CSwitchLocale() {
    if (m_locale) {
        uselocale(m_previous);
        freelocale(m_locale);
    }
}

}  // namespace kestovar
