// YUY2 rows into blue-green-red pixels, exactly as yuvToBgr gives each:
// AVX2 thirty-two pixels at a time where the processor has it, SSE2 (the
// x86-64 baseline) sixteen at a time, and the plain formula for the rest of
// a row and on other processors.
#include "platform/avicap32/frame_conversion.h"
#include "tracking/vector_instructions.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(KESTROVA_AVX2)
#include <immintrin.h>
#endif

namespace standin {

namespace {

#if defined(__SSE2__)
// A factor of 16-bit multiplies, hidden from the compiler, which would make
// shifts and adds of each multiply by a constant (several times the work).
inline __m128i factor(short k) {
    __m128i v = _mm_set1_epi16(k);
    __asm__("" : "+x"(v));
    return v;
}

// Eight pixels' blue, green and red as 16-bit lanes, before clamping, from
// 16 bytes of YUY2. The coefficients are split so that every sum fits 16
// bits and the result stays exactly the formula's: with 298 = 256 + 42,
// 516 = 512 + 4, -208 = -256 + 48 and 409 = 256 + 153,
//   B = c' + 2d + ((42 c' + 4d + 128) >> 8)
//   G = c' - e + ((42 c' - 100d + 48e + 128) >> 8)
//   R = c' + e + ((42 c' + 153e + 128) >> 8),   c' = Y - 16,
// since adding a multiple of 256 before the shift adds its 256th after it.
inline void bgrOfEight(const uint8_t* in, __m128i& b, __m128i& g, __m128i& r) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i y = _mm_sub_epi16(_mm_and_si128(bytes, _mm_set1_epi16(0x00FF)), _mm_set1_epi16(16));
    const __m128i chroma = _mm_sub_epi16(_mm_srli_epi16(bytes, 8), _mm_set1_epi16(128));  // U0 V0 U1 V1 ...
    __m128i d = _mm_and_si128(chroma, _mm_set1_epi32(0xFFFF));
    d = _mm_or_si128(d, _mm_slli_epi32(d, 16));  // each pixel's U - 128
    __m128i e = _mm_srli_epi32(chroma, 16);
    e = _mm_or_si128(e, _mm_slli_epi32(e, 16));  // each pixel's V - 128
    const __m128i y42 = _mm_add_epi16(_mm_mullo_epi16(y, factor(42)), _mm_set1_epi16(128));
    b = _mm_add_epi16(_mm_add_epi16(y, _mm_add_epi16(d, d)),
                      _mm_srai_epi16(_mm_add_epi16(y42, _mm_slli_epi16(d, 2)), 8));
    g = _mm_add_epi16(_mm_sub_epi16(y, e),
                      _mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(y42, _mm_mullo_epi16(d, factor(100))),
                                                   _mm_mullo_epi16(e, factor(48))),
                                     8));
    r = _mm_add_epi16(_mm_add_epi16(y, e), _mm_srai_epi16(_mm_add_epi16(y42, _mm_mullo_epi16(e, factor(153))), 8));
}

// Four pixels of blue-green-red-zero words, as 12 bytes to out; writes two
// bytes past them, which the next pixel overwrites.
inline void storeFourBgr(__m128i bgrx, uint8_t* out) {
    // Two pixels in each 64-bit half: the second's three bytes moved down
    // against the first's.
    const __m128i pairs = _mm_or_si128(_mm_and_si128(bgrx, _mm_set_epi32(0, -1, 0, -1)),
                                       _mm_slli_epi64(_mm_srli_epi64(bgrx, 32), 24));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), pairs);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_srli_si128(pairs, 8));
}

// Sixteen pixels: 32 bytes of YUY2 in, 48 bytes of BGR out, and two bytes
// past them.
inline void yuy2SixteenToBgr(const uint8_t* in, uint8_t* out) {
    __m128i b0, g0, r0, b1, g1, r1;
    bgrOfEight(in, b0, g0, r0);
    bgrOfEight(in + 16, b1, g1, r1);
    // Saturating packs clamp to 0..255 exactly as clamp255 does.
    const __m128i b = _mm_packus_epi16(b0, b1), g = _mm_packus_epi16(g0, g1), r = _mm_packus_epi16(r0, r1);
    const __m128i zero = _mm_setzero_si128();
    const __m128i bgLow = _mm_unpacklo_epi8(b, g), bgHigh = _mm_unpackhi_epi8(b, g);
    const __m128i rLow = _mm_unpacklo_epi8(r, zero), rHigh = _mm_unpackhi_epi8(r, zero);
    storeFourBgr(_mm_unpacklo_epi16(bgLow, rLow), out);
    storeFourBgr(_mm_unpackhi_epi16(bgLow, rLow), out + 12);
    storeFourBgr(_mm_unpacklo_epi16(bgHigh, rHigh), out + 24);
    storeFourBgr(_mm_unpackhi_epi16(bgHigh, rHigh), out + 36);
}
#endif


#if defined(KESTROVA_AVX2)
#define KESTROVA_AVX2_FUNCTION __attribute__((target("avx2")))

KESTROVA_AVX2_FUNCTION inline __m256i factor256(short k) {
    __m256i v = _mm256_set1_epi16(k);
    __asm__("" : "+x"(v));
    return v;
}

// Sixteen pixels (32 bytes of YUY2) as bgrOfEight computes eight: each
// 128-bit lane holds eight of them.
KESTROVA_AVX2_FUNCTION inline void bgrOfSixteen(const uint8_t* in, __m256i& b, __m256i& g, __m256i& r) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i y = _mm256_sub_epi16(_mm256_and_si256(bytes, _mm256_set1_epi16(0x00FF)), _mm256_set1_epi16(16));
    const __m256i chroma = _mm256_sub_epi16(_mm256_srli_epi16(bytes, 8), _mm256_set1_epi16(128));
    __m256i d = _mm256_and_si256(chroma, _mm256_set1_epi32(0xFFFF));
    d = _mm256_or_si256(d, _mm256_slli_epi32(d, 16));
    __m256i e = _mm256_srli_epi32(chroma, 16);
    e = _mm256_or_si256(e, _mm256_slli_epi32(e, 16));
    const __m256i y42 = _mm256_add_epi16(_mm256_mullo_epi16(y, factor256(42)), _mm256_set1_epi16(128));
    b = _mm256_add_epi16(_mm256_add_epi16(y, _mm256_add_epi16(d, d)),
                         _mm256_srai_epi16(_mm256_add_epi16(y42, _mm256_slli_epi16(d, 2)), 8));
    g = _mm256_add_epi16(
        _mm256_sub_epi16(y, e),
        _mm256_srai_epi16(_mm256_add_epi16(_mm256_sub_epi16(y42, _mm256_mullo_epi16(d, factor256(100))),
                                           _mm256_mullo_epi16(e, factor256(48))),
                          8));
    r = _mm256_add_epi16(_mm256_add_epi16(y, e),
                         _mm256_srai_epi16(_mm256_add_epi16(y42, _mm256_mullo_epi16(e, factor256(153))), 8));
}

// Byte shuffles that put sixteen blue, green and red bytes into 48 bytes
// of pixels: shuffles[part][channel] picks channel's bytes for bytes
// 16 part .. 16 part + 15 of the pixels (the same in both lanes).
struct InterleaveShuffles {
    alignas(32) int8_t shuffles[3][3][32];
    InterleaveShuffles() {
        for (int part = 0; part < 3; ++part)
            for (int channel = 0; channel < 3; ++channel)
                for (int i = 0; i < 32; ++i) {
                    const int k = 16 * part + i % 16;  // byte of the lane's 48
                    shuffles[part][channel][i] = int8_t(k % 3 == channel ? k / 3 : -1);
                }
    }
};

// pixels: a multiple of 32.
KESTROVA_AVX2_FUNCTION void yuy2RowAvx2(const uint8_t* in, int pixels, uint8_t* out) {
    static const InterleaveShuffles table;
    __m256i shuffle[3][3];
    for (int part = 0; part < 3; ++part)
        for (int channel = 0; channel < 3; ++channel)
            shuffle[part][channel] = _mm256_load_si256(reinterpret_cast<const __m256i*>(table.shuffles[part][channel]));
    for (int x = 0; x < pixels; x += 32, in += 64, out += 96) {
        __m256i b0, g0, r0, b1, g1, r1;
        bgrOfSixteen(in, b0, g0, r0);
        bgrOfSixteen(in + 32, b1, g1, r1);
        // Saturating packs clamp to 0..255; they pack within lanes, so the
        // 64-bit quarters are put back in pixel order: 0-15, then 16-31.
        const __m256i channels[3] = {_mm256_permute4x64_epi64(_mm256_packus_epi16(b0, b1), 0xD8),
                                     _mm256_permute4x64_epi64(_mm256_packus_epi16(g0, g1), 0xD8),
                                     _mm256_permute4x64_epi64(_mm256_packus_epi16(r0, r1), 0xD8)};
        for (int part = 0; part < 3; ++part) {
            const __m256i bytes =
                _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(channels[0], shuffle[part][0]),
                                                _mm256_shuffle_epi8(channels[1], shuffle[part][1])),
                                _mm256_shuffle_epi8(channels[2], shuffle[part][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * part), _mm256_castsi256_si128(bytes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48 + 16 * part), _mm256_extracti128_si256(bytes, 1));
        }
    }
}
#endif

}  // namespace

void yuy2RowToBgr(const uint8_t* in, int width, uint8_t* out) {
    int x = 0;
#if defined(KESTROVA_AVX2)
    if (processorHasAvx2()) {
        x = width / 32 * 32;
        yuy2RowAvx2(in, x, out);
        in += 2 * x;
        out += 3 * x;
    }
#endif
#if defined(__SSE2__)
    // Sixteen pixels at a time while at least one more follows them, so
    // that the bytes written past the sixteenth stay within the row.
    for (; x + 16 < width; x += 16, in += 32, out += 48) yuy2SixteenToBgr(in, out);
#endif
    for (; x + 1 < width; x += 2, in += 4, out += 6) {
        yuvToBgr(in[0], in[1], in[3], out);
        yuvToBgr(in[2], in[1], in[3], out + 3);
    }
}


}  // namespace standin
