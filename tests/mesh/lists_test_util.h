// Helpers of the point-list and face-list tests: archive round trips through memory, exception
// checks, and a straightforward Wang hash to check the list checksums against.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/platform/file.h"

namespace kestovar::liststest {

using Bytes = std::vector<uint8_t>;

inline Bytes Store(const std::function<void(CXArchive&)>& store) {
    CXMemFile file;
    {
        CXArchive ar(&file, CXArchive::store);
        store(ar);
        ar.Close();
    }
    return Bytes(file.GetBuffer(), file.GetBuffer() + file.GetLength());
}

inline void Load(const Bytes& bytes, const std::function<void(CXArchive&)>& load) {
    CXMemFile file(bytes.data(), bytes.size());
    CXArchive ar(&file, CXArchive::load);
    load(ar);
}

// The cause of the CXArchiveException raised by `fn`; -1 when none is raised, -2 for another
// library exception.
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

// True when `fn` raises CXInvalidArgException.
inline bool RaisesInvalidArg(const std::function<void()>& fn) {
    try {
        fn();
    } catch (CXInvalidArgException*) {
        XDeleteThreadException();
        return true;
    } catch (CXException*) {
        XDeleteThreadException();
        return false;
    }
    return false;
}

// Thomas Wang's 32-bit hash written out step by step, independently of the library's copy.
inline uint32_t Wang(uint32_t k) {
    uint32_t a = k + ~(k << 15);
    uint32_t b = a ^ (a >> 10);
    uint32_t c = b + (b << 3);  // * 9
    uint32_t d = c ^ (c >> 6);
    uint32_t e = d + ~(d << 11);
    return e ^ (e >> 16);
}

inline uint32_t FloatBits(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}

}  // namespace kestovar::liststest
