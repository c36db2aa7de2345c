#include "kestovar/core/log.h"

#include <atomic>
#include <cstdarg>
#include <ctime>

#include "kestovar/core/hashmap.h"
#include "kestovar/core/runtime.h"
#include "kestovar/platform/path.h"
#include "kestovar/platform/stdio_file.h"
#include "kestovar/platform/time.h"

namespace kestovar {

namespace {

using IndentationMap = CHashMap<uint64_t, uint64_t, CXTString<wchar_t>>;

// The open log, or null. Written under the library lock; read without it only to return early
// when logging is off, which is the common case.
std::atomic<CStdioFileEx*> g_logFile{nullptr};
unsigned g_maxDepth = LOG_DEPTH_UNLIMITED;
// Thread -> its indentation (tab characters). Guarded by the library lock.
IndentationMap* g_indentation = nullptr;

IndentationMap* Indentation(bool create) {
    if (!g_indentation && create) g_indentation = new IndentationMap(21);
    return g_indentation;
}

// The indentation of the calling thread, else the main thread's, else null. Under the lock.
const CXTString<wchar_t>* CurrentIndentation() {
    if (!g_indentation) return nullptr;
    const CXTString<wchar_t>* tabs = g_indentation->Find(threadGetCurrentId());
    if (!tabs) tabs = g_indentation->Find(GetMainThreadId());
    return tabs;
}

// Writes the indentation and reports whether the message may follow (the depth is within the
// maximum). Under the lock, with the log open.
bool BeginMessage(CStdioFileEx* file) {
    const CXTString<wchar_t>* tabs = CurrentIndentation();
    unsigned depth = tabs ? unsigned(tabs->GetLength()) : 0u;
    if (depth > g_maxDepth) return false;
    if (depth) file->WriteString(tabs->GetString());
    return true;
}

}  // namespace

bool SetLogFile(const wchar_t* path, LogFileMode mode, unsigned maxDepth) {
    if (!path || !*path) return false;
    if (mode != LOG_FILE_TRUNCATE && mode != LOG_FILE_APPEND && mode != LOG_FILE_UNIQUE) return false;
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (g_logFile.load(std::memory_order_acquire)) return false;

    CXTString<wchar_t> fullPath(path);
    if (!fileHasDirectory(path)) fullPath = GetUserPreferencesPath(true) + fullPath;
    if (mode == LOG_FILE_UNIQUE) {
        fullPath = fileCreateUniqueName(fullPath);
        if (fullPath.IsEmpty()) return false;
    }
    unsigned flags = CXStdioFile::modeWrite | CXStdioFile::modeCreate | CXStdioFile::typeText;
    if (mode == LOG_FILE_APPEND) flags |= CXStdioFile::modeNoTruncate;
    CStdioFileEx* file = new CStdioFileEx();
    if (!file->Open(fullPath.GetString(), flags)) {
        delete file;
        return false;
    }
    if (mode == LOG_FILE_APPEND) file->SeekToEnd();

    g_maxDepth = maxDepth;
    Indentation(true);
    g_logFile.store(file, std::memory_order_release);

    char date[128];
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local) || strftime(date, sizeof(date), "%c", &local) == 0) date[0] = 0;
    XCW2A appName(XGetApp()->GetAppName());
    file->Printf("\n\n*************************\nLogging information for %s (%s)\nRelease Mode\n"
                 "*************************\n",
                 appName.GetString(), date);
    file->Flush();
    return true;
}

void CloseLogFile() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    CStdioFileEx* file = g_logFile.exchange(nullptr, std::memory_order_acq_rel);
    if (file) {
        file->Close();
        delete file;
    }
    delete g_indentation;
    g_indentation = nullptr;
    g_maxDepth = LOG_DEPTH_UNLIMITED;
}

bool IsLogFileEnabled() { return g_logFile.load(std::memory_order_acquire) != nullptr; }

CXTString<wchar_t> GetLogFilePath() {
    CXSingleLock lock(&XGetLibraryLock(), true);
    CStdioFileEx* file = g_logFile.load(std::memory_order_acquire);
    return file ? CXTString<wchar_t>(file->GetFilePath()) : CXTString<wchar_t>();
}

int LogFileAddTab(bool add) {
    uint64_t thread = threadGetCurrentId();
    CXSingleLock lock(&XGetLibraryLock(), true);
    if (add) {
        CXTString<wchar_t>& tabs = Indentation(true)->GetOrInsert(thread);
        tabs += L'\t';
        return tabs.GetLength();
    }
    IndentationMap* map = Indentation(false);
    CXTString<wchar_t>* tabs = map ? map->Find(thread) : nullptr;
    if (!tabs) return 0;
    if (tabs->GetLength() <= 1) {
        map->Remove(thread);
        return 0;
    }
    tabs->Delete(tabs->GetLength() - 1, 1);
    return tabs->GetLength();
}

void WriteToLogFile(const char* format, ...) {
    if (!format || !g_logFile.load(std::memory_order_acquire)) return;
    CXSingleLock lock(&XGetLibraryLock(), true);
    CStdioFileEx* file = g_logFile.load(std::memory_order_acquire);
    if (!file || !BeginMessage(file)) return;
    va_list args;
    va_start(args, format);
    file->VPrintf(format, args);
    va_end(args);
    file->Flush();
}

void WriteToLogFile(const wchar_t* format, ...) {
    if (!format || !g_logFile.load(std::memory_order_acquire)) return;
    CXSingleLock lock(&XGetLibraryLock(), true);
    CStdioFileEx* file = g_logFile.load(std::memory_order_acquire);
    if (!file) return;
    const CXTString<wchar_t>* tabs = CurrentIndentation();
    if (tabs && unsigned(tabs->GetLength()) > g_maxDepth) return;
    // Format first: a message that cannot be formatted leaves no stray indentation behind.
    CXTString<wchar_t> message;
    va_list args;
    va_start(args, format);
    int n = message.FormatV(format, args);
    va_end(args);
    // A message the C library cannot format (a narrow "%s" argument that is not text of the
    // process's locale, EILSEQ) is not lost without a trace: its format is written instead.
    if (n < 0) {
        message = format;
        message.TrimRight(L"\n");
        message += L" [the arguments of this message could not be formatted]\n";
    }
    BeginMessage(file);
    file->WriteString(message.GetString());
    file->Flush();
}

CLogTimer::CLogTimer(const char* operation) : m_operation(operation), m_start(timeGetTick()) {}

CLogTimer::~CLogTimer() {
    if (m_operation && IsLogFileEnabled()) WriteToLogFile("%s time %d ms\n", m_operation, GetElapsed());
}

int CLogTimer::GetElapsed() const { return int(timeGetTick() - m_start); }

}  // namespace kestovar
