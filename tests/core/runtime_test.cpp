// Initialisation and shutdown, exit callbacks, stored paths, the I/O hooks, the signal guard, the
// thread registry and the worker-thread count.
#include <gtest/gtest.h>
#include <omp.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kestovar/core/exception.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/platform/path.h"

using namespace kestovar;

namespace {

std::wstring W(const CXTString<wchar_t>& s) { return std::wstring(s.GetString(), size_t(s.GetLength())); }

std::vector<int>* g_calls = nullptr;

// Every test leaves the library closed and the process-wide sets empty, whatever it asserted;
// `calls` records the exit callbacks that ran.
class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { g_calls = &calls; }
    void TearDown() override {
        if (!IsKestovarApplicationInitialized()) InitKestovarApplication();
        CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL | KESTOVAR_INIT_SIGNALS);
        g_calls = nullptr;
    }
    std::vector<int> calls;
};

// Thread identifiers that no live thread of the test process will have.
constexpr uint64_t kGrandParent = 0x7100000000000001ull;
constexpr uint64_t kParent = 0x7100000000000002ull;
constexpr uint64_t kChild = 0x7100000000000003ull;

// Null-safe: a failed assertion may leave them registered for the fixture's final close.
void ExitA() { if (g_calls) g_calls->push_back(1); }
void ExitB() { if (g_calls) g_calls->push_back(2); }
void ExitC() { if (g_calls) g_calls->push_back(3); }

}  // namespace

// ---- Initialisation and shutdown ---------------------------------------------------------------------

TEST_F(RuntimeTest, OnlyTheFirstInitHasAnEffect) {
    EXPECT_TRUE(InitKestovarApplication(L"/opt/kx/bin/host"));
    EXPECT_TRUE(IsKestovarApplicationInitialized());
    EXPECT_EQ(threadGetCurrentId(), GetMainThreadId());
    EXPECT_FALSE(InitKestovarApplication(L"/elsewhere/other"));
    EXPECT_EQ(L"/opt/kx/bin/host", W(GetApplicationPath(false)));
    CloseKestovarApplication(0);
    EXPECT_FALSE(IsKestovarApplicationInitialized());
}

TEST_F(RuntimeTest, ExitCallbacksRunByAscendingPriorityAndOncePerPair) {
    InitKestovarApplication();
    AddApplicationExitCallback(&ExitA, 5);
    AddApplicationExitCallback(&ExitB, 0);
    AddApplicationExitCallback(&ExitC, 2);
    AddApplicationExitCallback(&ExitA, 5);  // same pair: registered once
    AddApplicationExitCallback(nullptr, 1);  // ignored
    CloseKestovarApplication(0);
    EXPECT_EQ((std::vector<int>{2, 3, 1}), calls);

    // Without flag 16 the set survives the close; the same function under a second priority runs
    // twice.
    calls.clear();
    InitKestovarApplication();
    AddApplicationExitCallback(&ExitB, 9);
    CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
    EXPECT_EQ((std::vector<int>{2, 3, 1, 2}), calls);
}

TEST_F(RuntimeTest, CloseWithoutInitDoesNothing) {
    AddApplicationExitCallback(&ExitA, 0);
    CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
    EXPECT_TRUE(calls.empty());
    InitKestovarApplication();
    CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
    EXPECT_EQ((std::vector<int>{1}), calls);
}

TEST_F(RuntimeTest, InitCloseInitWithFlag16StartsClean) {
    InitKestovarApplication(L"/opt/kx/bin/host");
    AddApplicationExitCallback(&ExitA, 0);
    AttachThread(kChild, kParent);
    SetCancelThread(true, kParent);
    SetSilentThread(true, kParent);
    SetUserPreferencesPath(L"/prefs");
    SetPluginsDirectory(L"/plugins/", false);
    CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
    EXPECT_EQ(1u, calls.size());

    InitKestovarApplication();
    EXPECT_TRUE(GetApplicationPath(false).IsEmpty());
    EXPECT_TRUE(GetPluginsDirectory().IsEmpty());
    EXPECT_NE(L"/prefs/", W(GetUserPreferencesPath()));
    EXPECT_FALSE(ShouldCancelThread(kParent));
    EXPECT_FALSE(ShouldCancelThread(kChild));
    EXPECT_FALSE(IsSilentThread(kChild));
    CXArray<uint64_t> children;
    EXPECT_EQ(0, GetChildThreads(kParent, children));
    CloseKestovarApplication(KESTOVAR_CLOSE_RELEASE_ALL);
    EXPECT_EQ(1u, calls.size());  // the callback set was emptied by the first close
}

TEST_F(RuntimeTest, RegistrySurvivesACloseWithoutFlag16) {
    InitKestovarApplication();
    AttachThread(kChild, kParent);
    SetCancelThread(true, kParent);
    CloseKestovarApplication(0);
    EXPECT_TRUE(ShouldCancelThread(kChild));
    SetCancelThread(false, kParent);
    DetachThread(kChild);
}

// ---- I/O hooks -------------------------------------------------------------------------------------------

namespace {
std::vector<std::wstring>* g_hookCalls = nullptr;
void HookRegisterFormats() { g_hookCalls->push_back(L"formats"); }
void HookReleaseFormats() { g_hookCalls->push_back(L"release formats"); }
void HookRegisterPlugins(unsigned kindMask, const wchar_t* name) {
    g_hookCalls->push_back(L"plugins " + std::to_wstring(kindMask) + L" [" + name + L"] in " +
                           W(GetPluginsDirectory()));
}
void HookReleasePlugins() { g_hookCalls->push_back(L"release plugins"); }
}  // namespace

TEST_F(RuntimeTest, FormatAndPluginFlagsCallTheIOHooks) {
    std::vector<std::wstring> calls;
    g_hookCalls = &calls;
    KestovarIOHooks saved = GetKestovarIOHooks();
    SetKestovarIOHooks({&HookRegisterFormats, &HookReleaseFormats, &HookRegisterPlugins, &HookReleasePlugins});

    InitKestovarApplication(L"/opt/kx/bin/host", KESTOVAR_INIT_FORMATS | KESTOVAR_INIT_IO_PLUGINS);
    CloseKestovarApplication(KESTOVAR_INIT_FORMATS | KESTOVAR_INIT_IO_PLUGINS | KESTOVAR_CLOSE_RELEASE_ALL);
    SetKestovarIOHooks(saved);
    g_hookCalls = nullptr;

    std::vector<std::wstring> expected = {L"formats", L"plugins 16384 [] in /opt/kx/bin/", L"release plugins",
                                          L"release formats"};
    EXPECT_EQ(expected, calls);
}

// ---- Paths -------------------------------------------------------------------------------------------------

TEST_F(RuntimeTest, ApplicationPathAndItsDirectory) {
    EXPECT_TRUE(GetApplicationPath(true).IsEmpty());
    SetApplicationPath(L"/opt/kx/bin/host.exe");
    EXPECT_EQ(L"/opt/kx/bin/", W(GetApplicationPath(true)));
    EXPECT_EQ(L"host", W(XGetApp()->GetAppName()));

    SetApplicationPath(L"/opt/kx/bin/");
    EXPECT_EQ(L"/opt/kx/bin/", W(GetApplicationPath(true)));
    EXPECT_EQ(L"bin", W(XGetApp()->GetAppName()));

    // An existing directory written without its trailing '/'.
    CXTString<wchar_t> tmp = fileGetTempDirectory();
    tmp.Delete(tmp.GetLength() - 1, 1);
    SetApplicationPath(tmp);
    EXPECT_EQ(W(tmp) + L"/", W(GetApplicationPath(true)));

    SetApplicationPath(nullptr);
    EXPECT_TRUE(GetApplicationPath(false).IsEmpty());
    EXPECT_EQ(W(CXTString<wchar_t>(program_invocation_short_name)), W(XGetApp()->GetAppName()));
}

TEST_F(RuntimeTest, PluginsDirectoryRules) {
    SetApplicationPath(L"/opt/kx/bin/host");
    SetPluginsDirectory(L"ext/module.tepz", false);  // relative to the application directory
    EXPECT_EQ(L"/opt/kx/bin/ext/", W(GetPluginsDirectory()));
    SetPluginsDirectory(L"/a/b/", true);
    EXPECT_EQ(L"/a/b/Plugins/", W(GetPluginsDirectory()));
    SetPluginsDirectory(L"/a/Plugins/", true);  // already contains it
    EXPECT_EQ(L"/a/Plugins/", W(GetPluginsDirectory()));
    SetPluginsDirectory(nullptr, true);
    EXPECT_EQ(L"/opt/kx/bin/Plugins/", W(GetPluginsDirectory()));
    SetPluginsDirectory(L"../lib/", false);
    EXPECT_EQ(L"/opt/kx/lib/", W(GetPluginsDirectory()));
}

namespace {
// Sets or unsets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    std::string old_;
};
}  // namespace

TEST_F(RuntimeTest, UserPreferencesPathDefaultsFollowXdg) {
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg/config");
        EXPECT_EQ(L"/xdg/config/kestovar/", W(GetUserPreferencesPath()));
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(L"/home/someone/.config/kestovar/", W(GetUserPreferencesPath()));
    }
    SetUserPreferencesPath(L"/custom/prefs");
    EXPECT_EQ(L"/custom/prefs/", W(GetUserPreferencesPath()));
}

TEST_F(RuntimeTest, UserPreferencesPathIsCreatedOnRequest) {
    CXTString<wchar_t> base = fileCreateTmpName(L"kxprefs");
    ASSERT_FALSE(base.IsEmpty());
    fileDelete(base);
    CXTString<wchar_t> nested = base + L"/a/b";
    SetUserPreferencesPath(nested);
    EXPECT_FALSE(fileIsDirectory(nested));
    EXPECT_EQ(W(nested) + L"/", W(GetUserPreferencesPath(true)));
    EXPECT_TRUE(fileIsDirectory(nested));
    fileDelete(nested);
    fileDelete(base + L"/a");
    fileDelete(base);
}

// ---- Signal guard ----------------------------------------------------------------------------------------

namespace {

std::string TrapText(void (*body)()) {
    try {
        XSignalGuard(body);
    } catch (CXException* e) {
        std::string text = e->GetMessage();
        bool isUser = e->IsKindOf(KX_RUNTIME_CLASS(CXUserException));
        XDeleteThreadException();
        return isUser ? text : "wrong class";
    }
    return "no exception";
}

volatile int g_zero = 0;
volatile int g_quotient = 0;
// Compiled without the sanitizer's division check, so that the processor itself traps. The result
// goes to a volatile so that the optimiser cannot drop the division as unused.
__attribute__((noinline, no_sanitize("undefined"))) void DivideByZero() { g_quotient = 7 / g_zero; }

void (*CurrentHandler(int signal))(int) {
    struct sigaction current;
    sigaction(signal, nullptr, &current);
    return current.sa_handler;
}

}  // namespace

TEST_F(RuntimeTest, TrappedSignalsBecomeTextExceptions) {
    void (*before)(int) = CurrentHandler(SIGFPE);
    InitKestovarApplication(nullptr, KESTOVAR_INIT_SIGNALS);
    ASSERT_TRUE(XAreSignalHandlersInstalled());
    EXPECT_EQ("SIGFPE", TrapText([] { raise(SIGFPE); }));
    EXPECT_EQ("SIGSEGV", TrapText([] { raise(SIGSEGV); }));
    EXPECT_EQ("SIGILL", TrapText([] { raise(SIGILL); }));
    // A real trap: integer division by zero.
    EXPECT_EQ("SIGFPE", TrapText([] { DivideByZero(); }));
    CloseKestovarApplication(KESTOVAR_INIT_SIGNALS);
    EXPECT_FALSE(XAreSignalHandlersInstalled());
    EXPECT_EQ(before, CurrentHandler(SIGFPE));
}

// Outside any guard the library's traps stand aside: a handler the host installed before them
// still receives the signal, and without one the process still ends by it (a host's crash
// reporting keeps working).
TEST_F(RuntimeTest, SignalsOutsideGuardsReachTheHostsHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct sigaction host = {};
            host.sa_handler = [](int) { _exit(42); };
            sigemptyset(&host.sa_mask);
            sigaction(SIGSEGV, &host, nullptr);
            InitKestovarApplication(nullptr, KESTOVAR_INIT_SIGNALS);
            raise(SIGSEGV);
        },
        ::testing::ExitedWithCode(42), "");
    EXPECT_EXIT(
        {
            struct sigaction fallback = {};
            fallback.sa_handler = SIG_DFL;
            sigemptyset(&fallback.sa_mask);
            sigaction(SIGFPE, &fallback, nullptr);
            InitKestovarApplication(nullptr, KESTOVAR_INIT_SIGNALS);
            raise(SIGFPE);
        },
        ::testing::KilledBySignal(SIGFPE), "");
}

TEST_F(RuntimeTest, SignalGuardsNestAndLetExceptionsThrough) {
    InitKestovarApplication(nullptr, KESTOVAR_INIT_SIGNALS);
    bool outerContinued = false;
    XSignalGuard([&] {
        EXPECT_EQ("SIGFPE", TrapText([] { raise(SIGFPE); }));
        outerContinued = true;  // the inner trap did not unwind the outer guard
    });
    EXPECT_TRUE(outerContinued);

    // An exception thrown by the guarded code passes through unchanged, and the guard is unlinked:
    // a later trap still lands in a fresh guard.
    EXPECT_THROW(XSignalGuard([] { throw 42; }), int);
    EXPECT_EQ("SIGSEGV", TrapText([] { raise(SIGSEGV); }));
}

// ---- Thread registry -------------------------------------------------------------------------------------

TEST_F(RuntimeTest, ChildInheritsCancelUntilDetached) {
    AttachThread(kChild, kParent);
    AttachThread(kParent, kGrandParent);
    EXPECT_FALSE(ShouldCancelThread(kChild));
    SetCancelThread(true, kGrandParent);
    EXPECT_TRUE(ShouldCancelThread(kChild));  // two levels up
    EXPECT_TRUE(ShouldCancelThread(kParent));
    DetachThread(kChild);
    EXPECT_FALSE(ShouldCancelThread(kChild));
    EXPECT_TRUE(ShouldCancelThread(kParent));
    SetCancelThread(false, kGrandParent);
    EXPECT_FALSE(ShouldCancelThread(kParent));
}

TEST_F(RuntimeTest, ZeroMeansTheCallingThreadAndSelfAttachIsIgnored) {
    SetCancelThread(true, 0);
    EXPECT_TRUE(ShouldCancelThread(threadGetCurrentId()));
    EXPECT_TRUE(ShouldCancelThread(0));
    SetCancelThread(false, threadGetCurrentId());
    EXPECT_FALSE(ShouldCancelThread(0));

    AttachThread(kChild, kChild);
    CXArray<uint64_t> children;
    EXPECT_EQ(0, GetChildThreads(kChild, children));
}

TEST_F(RuntimeTest, ParentCycleEndsTheSearch) {
    AttachThread(kChild, kParent);
    AttachThread(kParent, kChild);
    SetCancelThread(true, kGrandParent);  // the set exists, but not on the cycle
    EXPECT_FALSE(ShouldCancelThread(kChild));
    EXPECT_FALSE(ShouldCancelThread(kParent));
}

TEST_F(RuntimeTest, GetChildThreadsListsOnlyTheDirectChildren) {
    AttachThread(kChild, kParent);
    AttachThread(kChild + 10, kParent);
    AttachThread(kParent, kGrandParent);
    CXArray<uint64_t> children;
    children.Add(99);  // replaced, not appended to
    ASSERT_EQ(2, GetChildThreads(kParent, children));
    std::vector<uint64_t> got(children.begin(), children.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ((std::vector<uint64_t>{kChild, kChild + 10}), got);
    AttachThread(kChild, kGrandParent);  // a new parent replaces the old one
    EXPECT_EQ(1, GetChildThreads(kParent, children));
}

TEST_F(RuntimeTest, WorkerThreadSeesItsParentsCancel) {
    const uint64_t parent = threadGetCurrentId();
    std::atomic<int> stage{0};
    bool sawCancel = false, sawAfterDetach = true;
    std::thread worker([&] {
        AttachThread(0, parent);
        stage = 1;
        while (stage.load() != 2) std::this_thread::yield();
        sawCancel = ShouldCancelThread(0);
        DetachThread(0);
        sawAfterDetach = ShouldCancelThread(0);
    });
    while (stage.load() != 1) std::this_thread::yield();
    SetCancelThread(true, 0);
    stage = 2;
    worker.join();
    SetCancelThread(false, 0);
    EXPECT_TRUE(sawCancel);
    EXPECT_FALSE(sawAfterDetach);
}

// ---- Worker-thread count ---------------------------------------------------------------------------------

TEST_F(RuntimeTest, SetMaxThreadCountRule) {
    const int maximum = omp_get_max_threads();
    EXPECT_EQ(1, OMPSetMaxThreadCount(0));
    EXPECT_EQ(1, OMPGetMaxThreadCount());
    EXPECT_EQ(1, OMPSetMaxThreadCount(maximum));  // within the maximum: returns 1, stores n
    EXPECT_EQ(maximum, OMPGetMaxThreadCount());
    EXPECT_EQ(maximum, OMPSetMaxThreadCount(maximum + 5));
    EXPECT_EQ(maximum, OMPGetMaxThreadCount());
    try {
        OMPSetMaxThreadCount(-1);
        ADD_FAILURE() << "no exception for a negative count";
    } catch (CXInvalidArgException*) {
        XDeleteThreadException();
    }
    EXPECT_EQ(maximum, OMPGetMaxThreadCount());
}

TEST_F(RuntimeTest, ScheduleChunkSizeGivesAbout24ChunksPerThread) {
    const int maximum = omp_get_max_threads();
    OMPSetMaxThreadCount(std::min(4, maximum));
    const unsigned count = unsigned(OMPGetMaxThreadCount());
    EXPECT_EQ(1000u / (count * 24u), OMPGetScheduleChunkSize(1000));
    EXPECT_EQ(1u, OMPGetScheduleChunkSize(count * 24u - 1));  // 0 by division: raised to 1
    EXPECT_EQ(1u, OMPGetScheduleChunkSize(0));
    EXPECT_EQ(5u, OMPGetScheduleChunkSize(count * 24u * 5u + count * 24u - 1));
    OMPSetMaxThreadCount(maximum);
}

TEST_F(RuntimeTest, InitStoresTheRuntimeThreadCount) {
    OMPSetMaxThreadCount(0);
    InitKestovarApplication();
    EXPECT_EQ(omp_get_max_threads(), OMPGetMaxThreadCount());
}

// ---- Locale switch ------------------------------------------------------------------------------------------

TEST(SwitchLocale, SwitchesTheThreadLocaleAndRestoresIt) {
    locale_t outer = uselocale(locale_t(0));
    {
        CSwitchLocale english;
        EXPECT_NE(outer, uselocale(locale_t(0)));
        char text[16];
        snprintf(text, sizeof(text), "%.1f", 1.5);
        EXPECT_STREQ("1.5", text);
    }
    EXPECT_EQ(outer, uselocale(locale_t(0)));
}

TEST(SwitchLocale, OverridesADecimalCommaLocale) {
    locale_t comma = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", locale_t(0));
    if (!comma) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    locale_t before = uselocale(comma);
    char text[16];
    snprintf(text, sizeof(text), "%.1f", 1.5);
    EXPECT_STREQ("1,5", text);
    {
        CSwitchLocale english;
        snprintf(text, sizeof(text), "%.1f", 1.5);
        EXPECT_STREQ("1.5", text);
    }
    EXPECT_EQ(comma, uselocale(locale_t(0)));
    uselocale(before);
    freelocale(comma);
}
