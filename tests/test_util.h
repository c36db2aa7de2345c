// Helpers shared by every test suite: archive round trips through memory files, checks that a
// call raises a library exception (released afterwards), little-endian byte builders for
// hand-written archive layouts, and the hash of the golden tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/platform/file.h"

namespace kestovar::test {

using Bytes = std::vector<uint8_t>;

// Runs `store` on a storing archive over a memory file and returns the bytes written.
inline Bytes Store(const std::function<void(CXArchive&)>& store) {
    CXMemFile file;
    {
        CXArchive ar(&file, CXArchive::store);
        store(ar);
        ar.Close();
    }
    return Bytes(file.GetBuffer(), file.GetBuffer() + file.GetLength());
}

// Runs `load` on a loading archive over `bytes`.
inline void Load(const Bytes& bytes, const std::function<void(CXArchive&)>& load) {
    CXMemFile file(bytes.data(), bytes.size());
    CXArchive ar(&file, CXArchive::load);
    load(ar);
}

// True when `fn` raises a library exception of type E; false when it raises another one or none.
template <class E>
bool Raises(const std::function<void()>& fn) {
    try {
        fn();
    } catch (E*) {
        XDeleteThreadException();
        return true;
    } catch (CXException*) {
        XDeleteThreadException();
        return false;
    }
    return false;
}

inline bool RaisesInvalidArg(const std::function<void()>& fn) { return Raises<CXInvalidArgException>(fn); }

// The cause of the CXArchiveException `fn` raises; -1 when it raises none, -2 for another library
// exception.
inline int ArchiveCause(const std::function<void()>& fn) {
    try {
        fn();
    } catch (CXArchiveException* e) {
        int cause = e->m_cause;
        XDeleteThreadException();
        return cause;
    } catch (CXException*) {
        XDeleteThreadException();
        return -2;
    }
    return -1;
}

inline void PutU16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void PutU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void PutU64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// FNV-1a over bytes, for the golden tests that pin bit-exact outputs. The pinned values were
// recorded with this starting value: changing it changes every pin.
struct Fnv {
    uint64_t h = 1469598103934665603ull;
    void Add(const void* data, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    }
    void Add(uint32_t v) { Add(&v, sizeof v); }
    void Add(float v) { Add(&v, sizeof v); }
    // The element count (64 bits), then the elements' bytes.
    template <class T>
    void AddVector(const std::vector<T>& v) {
        const uint64_t n = v.size();
        Add(&n, sizeof n);
        Add(v.data(), v.size() * sizeof(T));
    }
};

// Releases one reference on a reference-counted library object (an object, a list, a channel
// set) at scope end: the deleter of a std::unique_ptr, and Owned<T>, which reads as the pointer.
struct Released {
    template <class T>
    void operator()(T* object) const {
        if (object) object->Delete();
    }
};

template <class T>
class Owned {
public:
    Owned(T* object) : m_object(object) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    operator T*() const { return m_object.get(); }
    T* operator->() const { return m_object.get(); }
    T& operator*() const { return *m_object; }

private:
    std::unique_ptr<T, Released> m_object;
};

}  // namespace kestovar::test
