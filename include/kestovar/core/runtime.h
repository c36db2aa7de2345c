// The library's process-wide frame: one-time initialisation and orderly shutdown, exit callbacks,
// the stored application, plug-ins and user-preferences paths, the library-wide lock, the
// signal-to-exception guard and the per-thread "C" numeric locale switch.
#pragma once

#include <clocale>
#include <locale.h>
#include <type_traits>

#include "kestovar/core/export.h"
#include "kestovar/core/object.h"
#include "kestovar/core/xstring.h"
#include "kestovar/platform/thread.h"

namespace kestovar {

// Flags of InitKestovarApplication and CloseKestovarApplication.
enum _KESTOVAR_INIT_FLAGS : unsigned {
    // Init: build the registry of built-in file formats. Close: release it.
    KESTOVAR_INIT_FORMATS = 1,
    // Init: trap SIGSEGV, SIGFPE and SIGILL (see XRunSignalGuarded). Close: restore the handlers
    // that were installed before.
    KESTOVAR_INIT_SIGNALS = 2,
    // Init: ignore C-runtime invalid-parameter errors. The C runtime on this platform has no such
    // handler; the flag is accepted and does nothing.
    KESTOVAR_INIT_IGNORE_INVALID_PARAMETERS = 4,
    // Close: also delete the exit-callback set, the thread registry and the stored paths, so that a
    // later InitKestovarApplication starts clean.
    KESTOVAR_CLOSE_RELEASE_ALL = 16,
    // Init: use the application path's directory as the plug-ins directory and register the I/O
    // plug-ins found there. Close: release the plug-ins.
    KESTOVAR_INIT_IO_PLUGINS = 32,
};

// Initialises the library; only the first call (or the first after a close) has an effect, and it
// returns true. In order: marks the library initialised, records the calling thread as the main
// thread, stores omp_get_max_threads() as the worker-thread count, opens the log when
// `logFilePath` is given (SetLogFile(path, mode 0, no depth limit)), logs the thread count,
// stores `appPath` when given, then acts on `flags` (_KESTOVAR_INIT_FLAGS). Both paths may be null.
KESTOVAR_API bool InitKestovarApplication(const wchar_t* appPath = nullptr, unsigned flags = 0,
                                          const wchar_t* logFilePath = nullptr);
// Shuts the library down; does nothing unless initialised. Restores the signal handlers (flag 2),
// releases the plug-ins (32) and the format registry (1), runs the exit callbacks by ascending
// priority, closes the log; with flag 16 also forgets every process-wide set, map and path.
KESTOVAR_API void CloseKestovarApplication(unsigned flags = 0);
KESTOVAR_API bool IsKestovarApplicationInitialized();
// The thread that called InitKestovarApplication (0 before the first initialisation).
KESTOVAR_API uint64_t GetMainThreadId();

// A function run by CloseKestovarApplication. Callbacks run by ascending priority (0 first); the
// order among equal priorities is unspecified. The same (function, priority) pair is registered
// once; the same function under two priorities runs twice. A null function is ignored.
typedef void (*ApplicationExitCallback)();
KESTOVAR_API void AddApplicationExitCallback(ApplicationExitCallback callback, unsigned priority);

// The application path the host gave: normally the host executable's path, or its directory
// (a directory is recognised by a trailing '/' or by existing as a directory on disk).
// GetApplicationPath(false) returns the path as stored; GetApplicationPath(true) returns its
// directory with a trailing '/' (so that a file name may be appended directly), or an empty string
// when no path was stored.
KESTOVAR_API void SetApplicationPath(const wchar_t* path);
KESTOVAR_API CXTString<wchar_t> GetApplicationPath(bool directory);

// The plug-ins directory, always stored with a trailing '/'. A relative `path` is made absolute
// against the application directory; only the directory part of `path` is kept (a path that does
// not end with '/' and is not an existing directory names a file, whose directory is used). With
// `appendPluginsFolder`, "Plugins/" is appended unless the path already contains it. A null or
// empty path means the application directory.
KESTOVAR_API void SetPluginsDirectory(const wchar_t* path, bool appendPluginsFolder);
KESTOVAR_API CXTString<wchar_t> GetPluginsDirectory();

// The directory of the user's preferences and of logs given without a directory, with a trailing
// '/'. Unless the host set one, it is $XDG_CONFIG_HOME/kestovar/, else $HOME/.config/kestovar/.
// With `create`, the directory is created (with its parents) when missing.
KESTOVAR_API void SetUserPreferencesPath(const wchar_t* path);
KESTOVAR_API CXTString<wchar_t> GetUserPreferencesPath(bool create = false);

// Hooks through which the I/O subsystem builds and releases the file-format registry and the
// plug-ins: initialisation calls registerFormats for flag 1 and registerPlugins(16384, L"") for
// flag 32; shutdown calls releasePlugins for flag 32 and releaseFormats for flag 1. Any pointer may
// be null (the step is then skipped). The I/O subsystem installs them when the library loads.
struct KestovarIOHooks {
    void (*registerFormats)();
    void (*releaseFormats)();
    void (*registerPlugins)(unsigned kindMask, const wchar_t* name);
    void (*releasePlugins)();
};
KESTOVAR_API void SetKestovarIOHooks(const KestovarIOHooks& hooks);
KESTOVAR_API KestovarIOHooks GetKestovarIOHooks();

// The application object: what the library knows about its host process.
class KESTOVAR_API CXApp : public CXObject {
    KX_DECLARE_DYNAMIC(CXApp)
public:
    // The application's name: the file name of the application path without its extension (the
    // last folder name when the path is a directory), else the process's own name.
    CXTString<wchar_t> GetAppName() const;
    bool IsInitialized() const { return IsKestovarApplicationInitialized(); }
    uint64_t GetMainThreadId() const { return ::kestovar::GetMainThreadId(); }
    CXTString<wchar_t> GetApplicationPath(bool directory) const { return ::kestovar::GetApplicationPath(directory); }
};
// The process-wide application object (never null; it lives as long as the library is loaded).
KESTOVAR_API CXApp* XGetApp();

// The library-wide recursive lock guarding the process-wide registries, the stored paths and the
// log. Take it through CXSingleLock.
KESTOVAR_API CXCriticalSection& XGetLibraryLock();

// Signal guard. After InitKestovarApplication with KESTOVAR_INIT_SIGNALS, a SIGSEGV, SIGFPE or
// SIGILL raised on a thread while it runs inside XRunSignalGuarded becomes a thrown
// CXUserException* carrying "SIGSEGV", "SIGFPE" or "SIGILL", registered with XSetThreadException.
//
// Realisation: the handler never throws (unwinding through a signal frame is not reliable for
// code built without -fnon-call-exceptions). Each guard records a sigsetjmp point in a per-thread
// chain; the handler siglongjmps to the innermost guard of the faulting thread, which then throws
// in ordinary context. Frames between the guard and the fault are abandoned without running their
// destructors, so state touched by the guarded code must be treated as lost. A signal outside any
// guard, or while the handlers are not installed, goes to the handler that was installed before
// (the default action terminates the process, as without the flag).
//
// Exceptions thrown by `function` pass through unchanged. Guards nest.
KESTOVAR_API void XRunSignalGuarded(void (*function)(void* context), void* context);
// Whether the trap handlers are installed (between an initialisation with flag 2 and its close).
KESTOVAR_API bool XAreSignalHandlersInstalled();

template <class F>
void XSignalGuard(F&& function) {
    using Fn = std::remove_reference_t<F>;
    XRunSignalGuarded([](void* context) { (*static_cast<Fn*>(context))(); },
                      const_cast<void*>(static_cast<const void*>(&function)));
}

// Switches the calling thread's numeric formatting to the "C" locale for the lifetime of the
// object, so that "%f" writes and reads a decimal point whatever the host's locale; the previous
// thread locale is restored on destruction.
class KESTOVAR_API CSwitchLocale {
public:
    CSwitchLocale();
    ~CSwitchLocale();
    CSwitchLocale(const CSwitchLocale&) = delete;
    CSwitchLocale& operator=(const CSwitchLocale&) = delete;

private:
    locale_t m_locale;
    locale_t m_previous;
};

}  // namespace kestovar
