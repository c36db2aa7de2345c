// Helpers shared by the container tests: archive round trips through memory and exception checks.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "kestovar/core/archive.h"
#include "kestovar/core/exception.h"
#include "kestovar/platform/file.h"

namespace kestovar::test {

using Bytes = std::vector<uint8_t>;

// Runs `store` on a storing archive over a memory file and returns the bytes written.
inline Bytes StoreBytes(const std::function<void(CXArchive&)>& store) {
    CXMemFile file;
    {
        CXArchive ar(&file, CXArchive::store);
        store(ar);
        ar.Close();
    }
    return Bytes(file.GetBuffer(), file.GetBuffer() + file.GetLength());
}

// Runs `load` on a loading archive over `bytes`.
inline void LoadBytes(const Bytes& bytes, const std::function<void(CXArchive&)>& load) {
    CXMemFile file(bytes.data(), bytes.size());
    CXArchive ar(&file, CXArchive::load);
    load(ar);
}

// True when `fn` throws an exception of type E (by pointer); the exception is released.
template <class E>
bool ThrowsX(const std::function<void()>& fn) {
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

// The cause of the CXArchiveException `fn` throws, or -1 when it throws none.
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

// Little-endian byte builders for hand-written layouts.
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

}  // namespace kestovar::test
