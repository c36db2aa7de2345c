// What the processor offers beyond the instruction set the library is compiled for. The vector
// paths compiled with a target attribute (AVX, AVX2) are taken only where the processor has it;
// the processor is asked once per process.
#pragma once

namespace kestovar {

struct ProcessorFeatures {
    bool avx = false;
    bool avx2 = false;
};

inline const ProcessorFeatures& GetProcessorFeatures() {
    static const ProcessorFeatures features = [] {
        ProcessorFeatures f;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
        __builtin_cpu_init();
        f.avx = __builtin_cpu_supports("avx") != 0;
        f.avx2 = __builtin_cpu_supports("avx2") != 0;
#endif
        return f;
    }();
    return features;
}

inline bool ProcessorHasAvx() { return GetProcessorFeatures().avx; }
inline bool ProcessorHasAvx2() { return GetProcessorFeatures().avx2; }

}  // namespace kestovar
