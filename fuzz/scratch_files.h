// Scratch files of a fuzz target that writes what it read and reads it back: one pair
// "<base>.obj" / "<base>.mtl" per process in /tmp, reused by every run and removed when the fuzzer
// exits.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_scratch {

inline std::string& Base() {
    static std::string base;
    return base;
}

inline void Remove() {
    std::remove((Base() + ".obj").c_str());
    std::remove((Base() + ".mtl").c_str());
}

// The path without extension, "/tmp/kestovar_fuzz_<target>_<pid>"; the first call arranges the
// removal at exit.
inline const std::string& ScratchBase(const char* target) {
    std::string& base = Base();
    if (base.empty()) {
        base = std::string("/tmp/kestovar_fuzz_") + target + "_" + std::to_string(getpid());
        std::atexit(Remove);
    }
    return base;
}

}  // namespace fuzz_scratch
