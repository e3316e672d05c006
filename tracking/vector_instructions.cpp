#include "tracking/vector_instructions.h"

#ifdef KESTROVA_SSSE3
bool processorHasSsse3() {
    static const bool ssse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
    return ssse3;
}
#else
bool processorHasSsse3() { return false; }
#endif

#ifdef KESTROVA_AVX2
bool processorHasAvx2() {
    static const bool avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return avx2;
}
#else
bool processorHasAvx2() { return false; }
#endif

#ifdef KESTROVA_AVX512
bool processorHasAvx512Vbmi() {
    static const bool avx512 = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f") &&
                                                          __builtin_cpu_supports("avx512bw") &&
                                                          __builtin_cpu_supports("avx512vbmi"));
    return avx512;
}
#else
bool processorHasAvx512Vbmi() { return false; }
#endif
