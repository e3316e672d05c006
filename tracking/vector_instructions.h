// Which vector instructions the tracking code may use. The x86-64 baseline
// (SSE2) is compiled in everywhere; SSSE3, AVX2 and AVX-512 code is compiled
// per function and used only after the run-time checks below.
#pragma once

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KESTROVA_PORTABLE_ONLY)
#define KESTROVA_SSE2 1
#if defined(__GNUC__)
#define KESTROVA_SSSE3 1
#define KESTROVA_AVX2 1
#define KESTROVA_AVX512 1
#endif
#endif

// True when the processor running the program has the instructions
// (always false where they are not compiled in).
bool processorHasSsse3();
bool processorHasAvx2();
// AVX-512 with byte and word instructions and byte permutes (F, BW, VBMI),
// with the system saving the registers.
bool processorHasAvx512Vbmi();

#ifdef KESTROVA_SSSE3
#include <tmmintrin.h>

#include <cstdint>

// Sixteen pixels of 3 bytes (48 bytes from p) sorted by byte shuffles into
// the sixteen first, second and third bytes of the pixels (blue, green, red).
struct PixelBytes16 {
    __m128i first, second, third;
};
// One byte of each of the sixteen pixels, picked from the three loads.
__attribute__((target("ssse3"))) inline __m128i pickBytes16(__m128i a, __m128i b, __m128i c, __m128i fromA,
                                                            __m128i fromB, __m128i fromC) {
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, fromA), _mm_shuffle_epi8(b, fromB)),
                        _mm_shuffle_epi8(c, fromC));
}
__attribute__((target("ssse3"))) inline PixelBytes16 splitPixels16(const uint8_t* p) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    return {pickBytes16(a, b, c, _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
                 _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1),
                 _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13)),
            pickBytes16(a, b, c, _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
                 _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1),
                 _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14)),
            pickBytes16(a, b, c, _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
                 _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1),
                 _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15))};
}
#endif
