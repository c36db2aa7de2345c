#include "kestovar/platform/module.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/parallel_failure.h"

namespace kestovar {

namespace {

// The last loader error of the calling thread.
struct LastError {
    detail::ThreadExitRoom room;  // first: the thread's first use may find no memory
    CXTString<wchar_t> text;
};
thread_local LastError t_lastError;

void RecordDlError() {
    const char* text = dlerror();
    t_lastError.text = text ? text : "";
}

}  // namespace

void* moduleLoad(const wchar_t* path, bool probe) {
    if (!path || !*path) {
        t_lastError.text = L"empty module path";
        return nullptr;
    }
    XCW2A narrow(path);
    // The probe binds every symbol too. A module with a unique symbol (a static of an inline
    // function or template) or a thread-local with a destructor stays mapped when its probe handle
    // closes, and the loader does not bind a mapped module again when it is opened a second time:
    // a lazy probe would let a module with unresolved symbols through to its first call.
    (void)probe;
    void* handle = dlopen(narrow, RTLD_NOW | RTLD_LOCAL);
    if (!handle) RecordDlError();
    return handle;
}

void* moduleGetSymbol(void* module, const char* name) {
    if (!module || !name) return nullptr;
    dlerror();
    void* symbol = dlsym(module, name);
    if (!symbol) RecordDlError();
    return symbol;
}

void moduleFree(void* module) {
    if (module) dlclose(module);
}

CXTString<wchar_t> moduleGetLastError() {
    return t_lastError.text;
}

int fileFindFiles(const wchar_t* directory, const wchar_t* pattern, CXArray<CXTString<wchar_t>>& files) {
    if (!directory || !*directory || !pattern) return 0;
    XCW2A dirName(directory);
    XCW2A narrowPattern(pattern);
    // Closed on every way out, a raised exception included.
    const std::unique_ptr<DIR, int (*)(DIR*)> held(opendir(dirName), &closedir);
    DIR* dir = held.get();
    if (!dir) return 0;
    CXTString<wchar_t> base(directory);
    if (base.GetAt(base.GetLength() - 1) != L'/') base += L'/';
    int first = files.GetSize();
    while (const dirent* entry = readdir(dir)) {
        if (fnmatch(narrowPattern, entry->d_name, FNM_PERIOD) != 0) continue;
        CXTString<wchar_t> full = base + CXTString<wchar_t>(entry->d_name);
        struct stat st;
        if (stat(XCW2A(full), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        files.Add(full);
    }
    std::sort(files.GetData() + first, files.GetData() + files.GetSize(),
              [](const CXTString<wchar_t>& a, const CXTString<wchar_t>& b) { return a.Compare(b) < 0; });
    return files.GetSize() - first;
}

CXTString<wchar_t> fileCreateTmpBeside(const wchar_t* target) {
    if (!target || !*target) return CXTString<wchar_t>();
    CXTString<wchar_t> path(target);
    int slash = path.ReverseFind(L'/');
    CXTString<char> name(XCW2A(path.Mid(slash + 1)));
    const CXTString<wchar_t> dir = path.Left(slash + 1);
    // "." + name + ".XXXXXX" must fit a file name (NAME_MAX bytes): a long name is shortened, at
    // a character boundary, so that a target whose own name fits gets its temporary file too.
    constexpr int kSuffixBytes = 8;
    if (name.GetLength() + kSuffixBytes > NAME_MAX) {
        int keep = NAME_MAX - kSuffixBytes;
        while (keep > 0 && (static_cast<unsigned char>(name.GetAt(keep)) & 0xC0) == 0x80) --keep;
        name = name.Left(keep);
    }
    CXTString<char> pattern(CXTString<char>(XCW2A(dir)) + "." + name + ".XXXXXX");
    CXTString<char> buffer(pattern);
    char* chars = buffer.GetBuffer(buffer.GetLength() + 1);
    int fd = mkstemp(chars);
    buffer.ReleaseBuffer();
    if (fd < 0) return CXTString<wchar_t>();
    struct stat st;
    mode_t mode;
    if (stat(XCW2A(path), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    close(fd);
    return CXTString<wchar_t>(buffer.GetString());
}

CXTString<wchar_t> fileLinkBeside(const wchar_t* target) {
    if (!target || !*target) return CXTString<wchar_t>();
    const CXTString<char> from{XCW2A(target)};
    // A fresh name from fileCreateTmpBeside, freed again for the link; another process taking it
    // in between only costs another try.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const CXTString<wchar_t> name = fileCreateTmpBeside(target);
        if (name.IsEmpty()) break;
        const CXTString<char> to{XCW2A(name)};
        ::unlink(to);
        if (::link(from, to) == 0) return name;
        if (errno != EEXIST) break;
    }
    return CXTString<wchar_t>();
}

CXTString<wchar_t> fileResolveLink(const wchar_t* path) {
    if (!path || !*path) return CXTString<wchar_t>(path ? path : L"");
    const CXTString<char> name{XCW2A(path)};
    struct stat st;
    if (lstat(name, &st) != 0 || !S_ISLNK(st.st_mode)) return CXTString<wchar_t>(path);
    char* resolved = realpath(name, nullptr);
    if (!resolved) return CXTString<wchar_t>(path);  // a dangling link: replaced as a name
    CXTString<wchar_t> result{XCA2W(resolved)};
    std::free(resolved);
    return result;
}

bool fileReplace(const wchar_t* from, const wchar_t* to) {
    if (!from || !to) return false;
    return std::rename(XCW2A(from), XCW2A(to)) == 0;
}

}  // namespace kestovar
