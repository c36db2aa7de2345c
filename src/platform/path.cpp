#include "kestovar/platform/path.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cwchar>

namespace kestovar {

namespace {

using CXStringW = CXTString<wchar_t>;

// Length of the directory part (up to and including the last '/'), 0 when there is none.
int DirectoryLength(const wchar_t* path, int length) {
    for (int i = length - 1; i >= 0; --i)
        if (path[i] == L'/') return i + 1;
    return 0;
}

// Index of the extension's dot within `path`, or `length` when the name part has none. A dot that
// starts the name does not begin an extension.
int ExtensionStart(const wchar_t* path, int length) {
    int nameStart = DirectoryLength(path, length);
    for (int i = length - 1; i > nameStart; --i)
        if (path[i] == L'.') return i;
    return length;
}

bool StatPath(const wchar_t* path, struct stat* st) {
    if (!path || !*path) return false;
    XCW2A narrow(path);
    return ::stat(narrow, st) == 0;
}

int Length(const wchar_t* path) { return int(xStrLen(path)); }

// Rewrites an absolute path in place: collapses repeated '/', drops "." and resolves "..".
// A trailing '/' (or a trailing "." / ".." component, which names a directory) is kept as '/'.
CXStringW NormalizeAbsolute(const CXStringW& path) {
    const wchar_t* p = path.GetString();
    int n = path.GetLength();
    CXStringW out;
    wchar_t* w = out.GetBuffer(n + 1);
    int len = 0;
    w[len++] = L'/';
    bool trailingSeparator = n > 0 && p[n - 1] == L'/';
    int i = 0;
    while (i < n) {
        while (i < n && p[i] == L'/') ++i;
        int start = i;
        while (i < n && p[i] != L'/') ++i;
        int count = i - start;
        if (count == 0) break;
        if (count == 1 && p[start] == L'.') {
            if (i >= n) trailingSeparator = true;
            continue;
        }
        if (count == 2 && p[start] == L'.' && p[start + 1] == L'.') {
            // Remove the last component and the separator before it (the output starts with '/'
            // and has no trailing one except at the root).
            while (len > 1 && w[len - 1] != L'/') --len;
            if (len > 1) --len;
            if (i >= n) trailingSeparator = true;
            continue;
        }
        if (len > 1) w[len++] = L'/';
        for (int k = 0; k < count; ++k) w[len++] = p[start + k];
    }
    if (trailingSeparator && len > 1) w[len++] = L'/';
    out.ReleaseBuffer(len);
    return out;
}

}  // namespace

bool fileExists(const wchar_t* path) {
    struct stat st;
    return StatPath(path, &st);
}

bool fileIsDirectory(const wchar_t* path) {
    struct stat st;
    return StatPath(path, &st) && S_ISDIR(st.st_mode);
}

bool fileCreateDirectory(const wchar_t* path) {
    if (!path || !*path) return false;
    if (fileIsDirectory(path)) return true;
    // Create each prefix ending before a '/' in turn, then the whole path.
    XCW2A narrow(path);
    CXTString<char> prefix(narrow.GetString(), narrow.GetLength());
    char* buffer = prefix.GetBuffer(prefix.GetLength());
    int n = prefix.GetLength();
    for (int i = 1; i <= n; ++i) {
        if (i < n && buffer[i] != '/') continue;
        char saved = buffer[i];
        buffer[i] = 0;
        if (::mkdir(buffer, 0777) != 0 && errno != EEXIST) {
            buffer[i] = saved;
            prefix.ReleaseBuffer(n);
            return false;
        }
        buffer[i] = saved;
    }
    prefix.ReleaseBuffer(n);
    return fileIsDirectory(path);
}

bool fileDelete(const wchar_t* path) {
    if (!path || !*path) return false;
    XCW2A narrow(path);
    return ::remove(narrow) == 0;
}

CXStringW fileCreateUniqueName(const wchar_t* path) {
    if (!path || !*path) return CXStringW();
    if (!fileExists(path)) return CXStringW(path);
    int length = Length(path);
    int dot = ExtensionStart(path, length);
    CXStringW stem(path, dot);
    const wchar_t* extension = path + dot;
    CXStringW candidate;
    for (int i = 2; i < 10000; ++i) {
        candidate.Format(L"%ls (%d)%ls", stem.GetString(), i, extension);
        if (!fileExists(candidate)) return candidate;
    }
    return CXStringW();
}

CXStringW fileGetTempDirectory() {
    const char* tmp = ::getenv("TMPDIR");
    CXStringW dir(tmp && *tmp ? tmp : "/tmp/");
    if (dir[dir.GetLength() - 1] != L'/') dir += L'/';
    return dir;
}

CXStringW fileCreateTmpName(const wchar_t* prefix, const wchar_t* extension) {
    CXStringW wide = fileGetTempDirectory();
    wide += (prefix && *prefix) ? prefix : L"kx";
    wide += L"XXXXXX";
    int suffixBytes = 0;
    if (extension && *extension) {
        suffixBytes = XCW2A(extension).GetLength();
        wide += extension;
    }
    XCW2A narrowTemplate(wide);
    CXTString<char> name(narrowTemplate.GetString(), narrowTemplate.GetLength());
    int fd = ::mkstemps(name.GetBuffer(name.GetLength()), suffixBytes);
    name.ReleaseBuffer(name.GetLength());
    if (fd < 0) return CXStringW();
    ::close(fd);
    return CXStringW(name.GetString(), name.GetLength());
}

CXStringW fileGetCurrentDirectory() {
    char stackBuffer[4096];
    CXTString<char> heap;
    char* buffer = stackBuffer;
    size_t size = sizeof(stackBuffer);
    while (!::getcwd(buffer, size)) {
        if (errno != ERANGE || size > (size_t(1) << 24)) return CXStringW(L"/");
        size *= 2;
        buffer = heap.GetBuffer(int(size));
    }
    CXStringW dir(buffer);
    if (dir.IsEmpty() || dir[dir.GetLength() - 1] != L'/') dir += L'/';
    return dir;
}

CXStringW fileGetDirectory(const wchar_t* path) {
    return CXStringW(path, path ? DirectoryLength(path, Length(path)) : 0);
}

CXStringW fileGetName(const wchar_t* path) {
    if (!path) return CXStringW();
    int length = Length(path);
    int start = DirectoryLength(path, length);
    return CXStringW(path + start, length - start);
}

CXStringW fileGetExtension(const wchar_t* path) {
    if (!path) return CXStringW();
    int length = Length(path);
    int dot = ExtensionStart(path, length);
    return CXStringW(path + dot, length - dot);
}

CXStringW fileRemoveExtension(const wchar_t* path) {
    if (!path) return CXStringW();
    return CXStringW(path, ExtensionStart(path, Length(path)));
}

bool fileHasDirectory(const wchar_t* path) { return path && std::wcschr(path, L'/') != nullptr; }

bool fileIsAbsolutePath(const wchar_t* path) { return path && path[0] == L'/'; }

bool fileIsURL(const wchar_t* path) {
    if (!path) return false;
    auto isAlpha = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
    if (!isAlpha(path[0])) return false;
    int i = 1;
    while (isAlpha(path[i]) || (path[i] >= L'0' && path[i] <= L'9') || path[i] == L'+' || path[i] == L'-' ||
           path[i] == L'.')
        ++i;
    return path[i] == L':' && path[i + 1] == L'/' && path[i + 2] == L'/';
}

CXStringW fileJoinPath(const wchar_t* directory, const wchar_t* name) {
    CXStringW result(directory);
    if (!name || !*name) return result;
    while (*name == L'/' && !result.IsEmpty()) ++name;
    if (!result.IsEmpty() && result[result.GetLength() - 1] != L'/') result += L'/';
    result += name;
    return result;
}

CXStringW fileMakeAbsolutePath(const wchar_t* path, const wchar_t* baseDirectory) {
    if (fileIsAbsolutePath(path)) return NormalizeAbsolute(CXStringW(path));
    CXStringW base;
    if (fileIsAbsolutePath(baseDirectory)) {
        base = baseDirectory;
    } else {
        base = fileGetCurrentDirectory();
        if (baseDirectory && *baseDirectory) base = fileJoinPath(base, baseDirectory);
    }
    if (!path || !*path) {
        // The base itself, as a directory.
        if (base[base.GetLength() - 1] != L'/') base += L'/';
        return NormalizeAbsolute(base);
    }
    return NormalizeAbsolute(fileJoinPath(base, path));
}

CXStringW fileMakeRelativePath(const wchar_t* path, const wchar_t* baseDirectory) {
    if (fileIsURL(path)) return CXStringW(path);
    CXStringW target = fileMakeAbsolutePath(path);
    CXStringW base = fileMakeAbsolutePath(baseDirectory && *baseDirectory ? baseDirectory : L".");
    if (base[base.GetLength() - 1] != L'/') base += L'/';

    // Longest common prefix made of whole components: it ends just after a '/' of the base.
    const wchar_t* t = target.GetString();
    const wchar_t* b = base.GetString();
    int tn = target.GetLength(), bn = base.GetLength();
    int common = 0;
    for (int i = 0; i < bn && i < tn && t[i] == b[i]; ++i)
        if (b[i] == L'/') common = i + 1;
    // The target may be the base directory itself written without its trailing '/'.
    if (tn == bn - 1 && std::wmemcmp(t, b, size_t(tn)) == 0) return CXStringW(L".");

    CXStringW result;
    for (int i = common; i < bn; ++i)
        if (b[i] == L'/') result += L"../";
    result.Append(t + common, tn - common);
    if (result.IsEmpty()) result = L"./";
    return result;
}

}  // namespace kestovar
