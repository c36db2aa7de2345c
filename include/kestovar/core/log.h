// The library's log file. Logging is off until the host opens a log (SetLogFile, or a log path
// given to InitKestovarApplication). Each thread has its own indentation (a run of tabs, managed
// with LogFileAddTab) so that nested operations show as nested blocks; a maximum depth drops
// messages nested deeper than the host wants to see. Every message is written and flushed under
// the library lock, so lines from several threads never interleave.
#pragma once

#include "kestovar/core/export.h"
#include "kestovar/core/xstring.h"

namespace kestovar {

enum LogFileMode : int {
    LOG_FILE_TRUNCATE = 0,  // create the file, or empty an existing one
    LOG_FILE_APPEND = 1,    // create the file, or continue an existing one at its end
    LOG_FILE_UNIQUE =
        2,  // write to a new file: the path, or the first free "name (n).ext" beside it, n = 2, 3, ...
};

// No depth limit.
constexpr unsigned LOG_DEPTH_UNLIMITED = 0xFFFFFFFFu;

// Opens the log. Fails (false) when a log is already open (the open log is left untouched), when
// `path` is null or empty, the mode unknown or the file cannot be opened. A path without a
// directory is placed in the user-preferences directory (GetUserPreferencesPath, created when
// missing). On success writes the banner with the application name and the local date and time.
// `maxDepth`: messages written while the thread's indentation has more tabs than this are dropped.
KESTOVAR_API bool SetLogFile(const wchar_t* path, LogFileMode mode = LOG_FILE_TRUNCATE,
                             unsigned maxDepth = LOG_DEPTH_UNLIMITED);
// Closes the log and forgets every thread's indentation. Safe when no log is open.
KESTOVAR_API void CloseLogFile();
KESTOVAR_API bool IsLogFileEnabled();
// The path of the open log (after the directory and unique-name rules); empty when closed.
KESTOVAR_API CXTString<wchar_t> GetLogFilePath();

// With true appends a tab to the calling thread's indentation (creating it) and returns the new
// depth; with false removes one and returns the new depth, forgetting the indentation at 0. The
// indentation is kept whether or not a log is open, so that a log opened in the middle of an
// operation stays balanced.
KESTOVAR_API int LogFileAddTab(bool add);

// printf-style messages, written after the calling thread's indentation (the main thread's when the
// calling thread has none). Nothing happens when no log is open or `format` is null. Line ends are
// part of the format. The wide form writes UTF-8; in it, "%s" takes a narrow argument and "%ls" a
// wide one, as in C. A wide message the C library cannot format (a narrow argument that is not
// text of the process's locale) is written as its format with a note.
KESTOVAR_API void WriteToLogFile(const char* format, ...) __attribute__((format(printf, 1, 2)));
KESTOVAR_API void WriteToLogFile(const wchar_t* format, ...);

// Times a scope and logs "<operation> time <ms> ms\n" when it ends, if a log is open then:
//
//     CLogTimer timer("C3DGeomObject::Triangulate");   // "C3DGeomObject::Triangulate time 12 ms\n"
//
// `operation` ("Class::Operation") is not copied: it must outlive the timer (a literal does).
class KESTOVAR_API CLogTimer {
public:
    explicit CLogTimer(const char* operation);
    ~CLogTimer();
    CLogTimer(const CLogTimer&) = delete;
    CLogTimer& operator=(const CLogTimer&) = delete;

    // Milliseconds since construction.
    int GetElapsed() const;

private:
    const char* m_operation;
    unsigned m_start;
};

}  // namespace kestovar
