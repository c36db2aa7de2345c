// The exception family. Exceptions are created on the heap (xnew, through CXObject's allocation),
// registered for the calling thread with XSetThreadException and thrown by pointer:
//
//     try { ... } catch (CXException* e) { report(e->GetMessage()); XDeleteThreadException(); }
//
// XThrow<E>(args...) does the three steps. XDeleteThreadException deletes the object registered
// for the calling thread. A thread that throws again while it still holds an exception (a host
// that calls the library from its catch block, and the library throws and handles an exception
// of its own) registers the new one on top of the older one, which stays valid for its catcher:
// releasing the newer one makes the older one current again. An exception nobody releases stays
// until the library closes. The registry is keyed by the system's thread identifier, which the
// system gives to a new thread once the old one has ended: a thread should release what it holds
// before it ends, or a later thread inherits it as its current exception.
#pragma once

#include <utility>

#include "kestovar/core/object.h"

namespace kestovar {

namespace detail {
struct CExceptionRegistry;
}

class KESTOVAR_API CXException : public CXObject {
    KX_DECLARE_DYNAMIC(CXException)
public:
    explicit CXException(const char* message = nullptr);
    ~CXException() override;

    // The diagnostic text, never null (empty when none was given).
    const char* GetMessage() const { return m_message; }
    // Copies the text into `buffer` (at most `size` characters with the terminator). Returns false
    // when the exception has no text.
    bool GetErrorMessage(char* buffer, unsigned size) const;
    // Releases the exception: the same as XDeleteThreadException when it is the calling thread's
    // registered one, a plain delete otherwise.
    void Delete();

protected:
    void SetMessage(const char* message);
    char m_message[256];

private:
    friend struct detail::CExceptionRegistry;
    // The exception registered before this one on the same thread, while both are registered.
    CXException* m_pRegisteredBelow = nullptr;
    bool m_registered = false;  // held by the per-thread registry
};

// File errors (open, read, write, format). The cause codes follow the usual file-exception set.
class KESTOVAR_API CXFileException : public CXException {
    KX_DECLARE_DYNAMIC(CXFileException)
public:
    enum Cause {
        none = 0,
        genericException = 1,
        fileNotFound = 2,
        badPath = 3,
        tooManyOpenFiles = 4,
        accessDenied = 5,
        invalidFile = 6,
        removeCurrentDir = 7,
        directoryFull = 8,
        badSeek = 9,
        hardIO = 10,
        sharingViolation = 11,
        lockViolation = 12,
        diskFull = 13,
        endOfFile = 14,
        badFormat = 15,  // the bytes do not follow the expected layout
    };
    explicit CXFileException(int cause = genericException, long osError = -1, const char* fileName = nullptr);
    int m_cause;
    long m_lOsError;
};

// Archive errors. Codes: 1 a class that may not be serialised was written, 2 writing to a loading
// archive, 3 reading past the end of the data, 4 reading from a storing archive, 5 a bad object or
// class reference in the data, 6 a null class was written, 7 a class read with an unexpected
// schema or name.
class KESTOVAR_API CXArchiveException : public CXException {
    KX_DECLARE_DYNAMIC(CXArchiveException)
public:
    enum Cause {
        none = 0,
        notSerializable = 1,
        readOnly = 2,
        endOfFile = 3,
        writeOnly = 4,
        badIndex = 5,
        nullClass = 6,
        badClass = 7,
    };
    explicit CXArchiveException(int cause = none, const char* message = nullptr);
    int m_cause;
};

// An error reported with a text (for example "SIGSEGV" for a trapped signal).
class KESTOVAR_API CXUserException : public CXException {
    KX_DECLARE_DYNAMIC(CXUserException)
public:
    explicit CXUserException(const char* message = nullptr);
};

class KESTOVAR_API CXMemoryException : public CXException {
    KX_DECLARE_DYNAMIC(CXMemoryException)
public:
    explicit CXMemoryException(const char* message = "out of memory");
};

// A programming error: a negative size, an index out of range, a call in the wrong state.
class KESTOVAR_API CXInvalidArgException : public CXException {
    KX_DECLARE_DYNAMIC(CXInvalidArgException)
public:
    explicit CXInvalidArgException(const char* message = "invalid argument");
};

class KESTOVAR_API CXInternetException : public CXException {
    KX_DECLARE_DYNAMIC(CXInternetException)
public:
    explicit CXInternetException(long error = 0, const char* message = nullptr);
    long m_dwError;
};

// Registers `exception` as the calling thread's current exception (see the header comment); the
// registry takes it. When the registry cannot grow to record it, `exception` is deleted and
// std::bad_alloc raised (a registration that runs out of memory cannot register the memory
// exception that would report it).
KESTOVAR_API void XSetThreadException(CXException* exception);
// Deletes the calling thread's registered exception, if any, and forgets it (the one registered
// before it, still held, becomes current again).
KESTOVAR_API void XDeleteThreadException();
// The calling thread's registered exception, or null.
KESTOVAR_API CXException* XGetThreadException();

// Creates an exception of type E, registers it and throws it by pointer. Raises std::bad_alloc
// instead when memory runs out on the way.
template <class E, class... Args>
[[noreturn]] void XThrow(Args&&... args) {
    E* e = new E(std::forward<Args>(args)...);
    XSetThreadException(e);
    throw e;
}

}  // namespace kestovar
