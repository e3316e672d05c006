// The vector code of masked segmentation: each row's pixels pre-tested a
// group at a time, with SSSE3 (16 pixels), AVX2 (32) or AVX-512 (64), and
// only the candidates looked up. Each function carries its instruction set
// as a target attribute and runs only after the processor checks.
#include "tracking/pass_limits.h"
#include "tracking/vector_instructions.h"

#ifdef KESTROVA_SSSE3
#include <tmmintrin.h>
#endif
#ifdef KESTROVA_AVX2
#include <immintrin.h>
#endif

#ifdef KESTROVA_SSSE3
namespace {

// Groups of 16 or 32 with at most this many candidates have them looked up
// and written one by one where the background may be left unwritten.
constexpr int kFewCandidates = 4;

// Byte shuffles that pick byte c of sixteen pixels (48 bytes in three
// 16-byte pieces): fromPiece[c][i] takes it from piece i where it lies
// there, and gives 0 elsewhere.
struct ByteShuffles {
    alignas(16) uint8_t fromPiece[3][3][16];
};

const ByteShuffles& byteShuffles() {
    static const ByteShuffles shuffles = [] {
        ByteShuffles s{};
        for (int c = 0; c < 3; ++c) {
            for (int piece = 0; piece < 3; ++piece) {
                for (int j = 0; j < 16; ++j) {
                    const int at = 3 * j + c - 16 * piece;
                    s.fromPiece[c][piece][j] = uint8_t(at >= 0 && at < 16 ? at : 0x80);
                }
            }
        }
        return s;
    }();
    return shuffles;
}

// One row from pixel x on, sixteen pixels at a time: the bytes sorted into
// the limits' order by byte shuffles, the pre-test on all sixteen at once,
// and look-ups only for the candidates. Reads the pixels from `in` (the
// row itself, or the same row of another image) and writes them into
// `row`. Adds to the row's background mask (cleared by the caller).
template <PreTest preTest>
__attribute__((target("ssse3"))) void segmentRowSsse3(const uint8_t* in, uint8_t* row, size_t x, size_t width,
                                                       const ColourLevelTable& table, const PassLimits& limits,
                                                       uint8_t threshold, uint64_t* mask, bool writeBackground) {
    const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i spread2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    const __m128i ones = _mm_set1_epi8(-1);
    const __m128i lowNibble = _mm_set1_epi8(0x0F);
    const __m128i highLimits = _mm_load_si128(reinterpret_cast<const __m128i*>(limits.byHighKey));
    const __m128i limit = _mm_set1_epi8(char(threshold));
    __m128i pick[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int piece = 0; piece < 3; ++piece) {
            pick[i][piece] = _mm_load_si128(reinterpret_cast<const __m128i*>(byteShuffles().fromPiece[limits.order[i]][piece]));
        }
    }
    alignas(16) uint8_t levels[16];
    for (; x + 16 <= width; x += 16) {
        uint8_t* p = row + x * 3;
        const uint8_t* source = in + x * 3;
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 32));
        const __m128i byte0 = pickBytes16(a, b, c, pick[0][0], pick[0][1], pick[0][2]);
        const __m128i byte1 = pickBytes16(a, b, c, pick[1][0], pick[1][1], pick[1][2]);
        const __m128i byte2 = pickBytes16(a, b, c, pick[2][0], pick[2][1], pick[2][2]);
        const __m128i key = preTest == PreTest::AverageOfTwo ? _mm_avg_epu8(byte0, byte1) : byte0;
        const __m128i test = preTest == PreTest::LargerOfOthers ? _mm_max_epu8(byte1, byte2) : byte2;
        const __m128i bound = _mm_shuffle_epi8(highLimits, _mm_and_si128(_mm_srli_epi16(key, 4), lowNibble));
        const int candidates = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(test, bound), bound));
        if (candidates == 0) {
            if (writeBackground) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p), ones);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), ones);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), ones);
            }
            mask[x >> 6] |= uint64_t(0xFFFF) << (x & 63);
            continue;
        }
        if (!writeBackground && countBits(unsigned(candidates)) <= kFewCandidates) {
            const uint64_t target = segmentCandidates(source, p, unsigned(candidates), table, limits, threshold);
            mask[x >> 6] |= (uint64_t(0xFFFF) & ~target) << (x & 63);
            continue;
        }
        // Only the candidates are looked up, in the packed rectangles
        // (whole groups through the big table were slower on every scene:
        // its lines are rarely in a cache).
        const unsigned lookedUp = unsigned(candidates);
        _mm_store_si128(reinterpret_cast<__m128i*>(levels), ones);
        lookUpCandidates(source, lookedUp, limits, levels);
        const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(levels));
        // k where k < threshold, 255 where above, and a tie decided by
        // the colour's exact bit (only looked-up lanes can tie: with
        // a threshold of 255 every lane is a candidate).
        const __m128i tie = _mm_cmpeq_epi8(k, limit);
        const __m128i atMost = _mm_cmpeq_epi8(_mm_max_epu8(k, limit), limit);
        __m128i out = _mm_or_si128(k, _mm_xor_si128(_mm_andnot_si128(tie, atMost), ones));
        const unsigned ties = unsigned(_mm_movemask_epi8(tie)) & lookedUp;
        if (ties != 0) {
            _mm_store_si128(reinterpret_cast<__m128i*>(levels), out);
            decideTies(source, ties, threshold, table, levels);
            out = _mm_load_si128(reinterpret_cast<const __m128i*>(levels));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(out, spread0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_shuffle_epi8(out, spread1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), _mm_shuffle_epi8(out, spread2));
        mask[x >> 6] |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(out, ones)))) << (x & 63);
    }
    for (; x < width; ++x) {
        uint8_t* p = row + x * 3;
        const uint8_t out = tableOutput(in + x * 3, table, threshold);
        p[0] = p[1] = p[2] = out;
        mask[x >> 6] |= uint64_t(out == 255) << (x & 63);
    }
}

#ifdef KESTROVA_AVX2
// Two 16-byte pieces as the low and high halves of a register, and back.
__attribute__((target("avx2"))) inline __m256i halves(const uint8_t* low, const uint8_t* high) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}
__attribute__((target("avx2"))) inline void storeHalves(uint8_t* low, uint8_t* high, __m256i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(high), _mm256_extracti128_si256(v, 1));
}

// The same, 32 pixels at a time: each 128-bit half of the registers does
// what the function above does for sixteen pixels. The rest of the row
// goes to the function above.
// Groups of 32 with at least this many candidates have all their levels
// gathered at once.
constexpr int kGatheredCandidates = 12;

// The bytes of pixels 8 * quarter .. 8 * quarter + 7 widened to 32 bits.
__attribute__((target("avx2"))) inline __m256i widen(__m256i bytes, int quarter) {
    const __m128i half = quarter < 2 ? _mm256_castsi256_si128(bytes) : _mm256_extracti128_si256(bytes, 1);
    return _mm256_cvtepu8_epi32((quarter & 1) != 0 ? _mm_srli_si128(half, 8) : half);
}

// The levels of 32 pixels from the packed rectangles, eight at a time
// with vector gathers, from their bytes in the limits' order; 255 for
// every pixel outside its rectangle.
__attribute__((target("avx2"))) inline __m256i gatherLevels(__m256i key, __m256i first, __m256i second,
                                                            const PassLimits& limits) {
    const int* sides = reinterpret_cast<const int*>(limits.sides);
    const int* starts = reinterpret_cast<const int*>(limits.start);
    const int* packed = reinterpret_cast<const int*>(limits.packed.data());
    const __m256i failed = _mm256_set1_epi32(int(limits.failed));
    const __m256i lowByte = _mm256_set1_epi32(0xFF), lowWord = _mm256_set1_epi32(0xFFFF);
    __m256i quarters[4];
    for (int q = 0; q < 4; ++q) {
        const __m256i v = widen(key, q), a = widen(first, q), b = widen(second, q);
        const __m256i bothSides = _mm256_i32gather_epi32(sides, v, 4);
        const __m256i side = _mm256_and_si256(bothSides, lowWord), firstSide = _mm256_srli_epi32(bothSides, 16);
        const __m256i start = _mm256_i32gather_epi32(starts, v, 4);
        const __m256i at = _mm256_add_epi32(_mm256_add_epi32(start, _mm256_mullo_epi32(a, side)), b);
        const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi32(side, b), _mm256_cmpgt_epi32(firstSide, a));
        const __m256i index = _mm256_blendv_epi8(failed, at, inside);
        quarters[q] = _mm256_and_si256(_mm256_i32gather_epi32(packed, index, 1), lowByte);
    }
    // Packing interleaves the halves; the dword permutation puts the
    // pixels back in order.
    const __m256i words = _mm256_packus_epi16(_mm256_packus_epi32(quarters[0], quarters[1]),
                                              _mm256_packus_epi32(quarters[2], quarters[3]));
    return _mm256_permutevar8x32_epi32(words, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// One byte of each of 32 pixels, picked from the three loads (each
// 128-bit half of them as pickBytes16 does).
__attribute__((target("avx2"))) inline __m256i pickBytes32(__m256i a, __m256i b, __m256i c, const __m256i* fromPiece) {
    return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, fromPiece[0]), _mm256_shuffle_epi8(b, fromPiece[1])),
                           _mm256_shuffle_epi8(c, fromPiece[2]));
}

template <PreTest preTest>
__attribute__((target("avx2"))) void segmentRowAvx2(const uint8_t* in, uint8_t* row, size_t width,
                                                     const ColourLevelTable& table, const PassLimits& limits,
                                                     uint8_t threshold, uint64_t* mask, bool writeBackground) {
    __m256i pick[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int piece = 0; piece < 3; ++piece) {
            pick[i][piece] = _mm256_broadcastsi128_si256(
                _mm_load_si128(reinterpret_cast<const __m128i*>(byteShuffles().fromPiece[limits.order[i]][piece])));
        }
    }
    const __m256i spread0 = _mm256_broadcastsi128_si256(_mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5));
    const __m256i spread1 = _mm256_broadcastsi128_si256(_mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10));
    const __m256i spread2 = _mm256_broadcastsi128_si256(_mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15));
    const __m256i ones = _mm256_set1_epi8(-1);
    const __m256i lowNibble = _mm256_set1_epi8(0x0F);
    const __m256i highLimits = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(limits.byHighKey)));
    const __m256i limit = _mm256_set1_epi8(char(threshold));
    alignas(32) uint8_t levels[32];
    size_t x = 0;
    for (; x + 32 <= width; x += 32) {
        uint8_t* p = row + x * 3;
        const uint8_t* source = in + x * 3;
        const __m256i a = halves(source, source + 48), b = halves(source + 16, source + 64),
                      c = halves(source + 32, source + 80);
        const __m256i byte0 = pickBytes32(a, b, c, pick[0]), byte1 = pickBytes32(a, b, c, pick[1]),
                      byte2 = pickBytes32(a, b, c, pick[2]);
        const __m256i key = preTest == PreTest::AverageOfTwo ? _mm256_avg_epu8(byte0, byte1) : byte0;
        const __m256i test = preTest == PreTest::LargerOfOthers ? _mm256_max_epu8(byte1, byte2) : byte2;
        const __m256i bound = _mm256_shuffle_epi8(highLimits, _mm256_and_si256(_mm256_srli_epi16(key, 4), lowNibble));
        const unsigned candidates = unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(test, bound), bound)));
        if (candidates == 0) {
            if (writeBackground) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), ones);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 32), ones);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 64), ones);
            }
            mask[x >> 6] |= uint64_t(0xFFFFFFFF) << (x & 63);
            continue;
        }
        if (!writeBackground && countBits(candidates) <= kFewCandidates) {
            const uint64_t target = segmentCandidates(source, p, candidates, table, limits, threshold);
            mask[x >> 6] |= (uint64_t(0xFFFFFFFF) & ~target) << (x & 63);
            continue;
        }
        // Only the candidates are looked up, in the packed rectangles
        // (whole groups through the big table were slower on every scene:
        // its lines are rarely in a cache).
        const unsigned lookedUp = unsigned(candidates);
        __m256i k;
        if (countBits(lookedUp) >= kGatheredCandidates) {
            k = gatherLevels(byte0, byte1, byte2, limits);
        } else {
            _mm256_store_si256(reinterpret_cast<__m256i*>(levels), ones);
            lookUpCandidates(source, lookedUp, limits, levels);
            k = _mm256_load_si256(reinterpret_cast<const __m256i*>(levels));
        }
        // k where k < threshold, 255 where above, and a tie decided by
        // the colour's exact bit (only looked-up lanes can tie: with
        // a threshold of 255 every lane is a candidate).
        const __m256i tie = _mm256_cmpeq_epi8(k, limit);
        const __m256i atMost = _mm256_cmpeq_epi8(_mm256_max_epu8(k, limit), limit);
        __m256i out = _mm256_or_si256(k, _mm256_xor_si256(_mm256_andnot_si256(tie, atMost), ones));
        const unsigned ties = unsigned(_mm256_movemask_epi8(tie)) & lookedUp;
        if (ties != 0) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(levels), out);
            decideTies(source, ties, threshold, table, levels);
            out = _mm256_load_si256(reinterpret_cast<const __m256i*>(levels));
        }
        storeHalves(p, p + 48, _mm256_shuffle_epi8(out, spread0));
        storeHalves(p + 16, p + 64, _mm256_shuffle_epi8(out, spread1));
        storeHalves(p + 32, p + 80, _mm256_shuffle_epi8(out, spread2));
        mask[x >> 6] |= uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(out, ones)))) << (x & 63);
    }
    segmentRowSsse3<preTest>(in, row, x, width, table, limits, threshold, mask, writeBackground);
}
#endif

#ifdef KESTROVA_AVX512
#define KESTROVA_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Byte permutes for 64 pixels of 3 bytes (192 bytes in three registers):
//  - byte j of fromAB[c] picks byte c of pixel j from the first two
//    registers, fromC[c] from the third for the pixels whose byte lies
//    there (the bits of inC[c]);
//  - spread[i] makes bytes 64 i .. 64 i + 63 of three copies of each of
//    64 bytes;
//  - quarter[q] puts the bytes of pixels 16 q .. 16 q + 15 of two
//    registers into 32-bit lanes: lane i gets byte 16 q + i of the first
//    in its byte 0 and of the second in its bytes 1 and 2 (of the first
//    again where only 64 bytes are permuted);
//  - lowBytes puts byte 0 of the sixteen lanes of four registers back
//    into 64 bytes, the first and third register into bytes 0-15 and
//    32-47, the second and fourth into 16-31 and 48-63.
struct PixelPermutes {
    alignas(64) uint8_t fromAB[3][64];
    alignas(64) uint8_t fromC[3][64];
    alignas(64) uint8_t spread[3][64];
    alignas(64) uint8_t quarter[4][64];
    alignas(64) uint8_t lowBytes[64];
    uint64_t inC[3];
};

const PixelPermutes& pixelPermutes() {
    static const PixelPermutes permutes = [] {
        PixelPermutes p{};
        for (int j = 0; j < 64; ++j) {
            for (int c = 0; c < 3; ++c) {
                const int at = 3 * j + c;
                p.fromAB[c][j] = uint8_t(at < 128 ? at : 0);
                p.fromC[c][j] = uint8_t(at < 128 ? 0 : at - 128);
                if (at >= 128) p.inC[c] |= uint64_t(1) << j;
                p.spread[c][j] = uint8_t((64 * c + j) / 3);
            }
            for (int q = 0; q < 4; ++q) {
                const int pixel = 16 * q + j / 4;
                p.quarter[q][j] = uint8_t(j % 4 == 0 ? pixel : j % 4 == 3 ? 0 : 64 + pixel);
            }
            p.lowBytes[j] = uint8_t((j / 16) % 2 * 64 + 4 * (j % 16));
        }
        return p;
    }();
    return permutes;
}

// The permutes that pick byte c of 64 pixels, in registers (loaded once
// before a loop: the compiler may not see that stores in it leave them be).
struct BytePicker {
    __m512i fromAB, fromC;
    __mmask64 inC;
};
KESTROVA_TARGET_AVX512 inline BytePicker bytePicker(const PixelPermutes& p, int byte) {
    return BytePicker{_mm512_load_si512(p.fromAB[byte]), _mm512_load_si512(p.fromC[byte]), p.inC[byte]};
}

// Byte c of each of the 64 pixels in a, b, c.
KESTROVA_TARGET_AVX512 inline __m512i pickBytes64(__m512i a, __m512i b, __m512i c, const BytePicker& picker) {
    const __m512i fromAB = _mm512_permutex2var_epi8(a, picker.fromAB, b);
    return _mm512_mask_permutexvar_epi8(fromAB, picker.inC, picker.fromC, c);
}

// A 256-byte table in four registers.
struct Table256 {
    __m512i part[4];
};
KESTROVA_TARGET_AVX512 inline Table256 table256(const uint8_t* table) {
    return Table256{{_mm512_load_si512(table), _mm512_load_si512(table + 64), _mm512_load_si512(table + 128),
                     _mm512_load_si512(table + 192)}};
}

// table[i] for each byte i of `bytes`.
KESTROVA_TARGET_AVX512 inline __m512i lookUp256(const Table256& table, __m512i bytes) {
    const __m512i low = _mm512_permutex2var_epi8(table.part[0], bytes, table.part[1]);
    const __m512i high = _mm512_permutex2var_epi8(table.part[2], bytes, table.part[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(bytes), low, high);
}
KESTROVA_TARGET_AVX512 inline __m512i lookUp256(const uint8_t* table, __m512i bytes) {
    return lookUp256(table256(table), bytes);
}

// The levels of the candidates among 64 pixels from the packed rectangles,
// sixteen at a time with vector gathers: lane i of quarter q is pixel
// 16 q + i, its index start[key] + first * (second[key] + 1) + second,
// built with byte permutes and one multiply-add of 16-bit pairs. Other
// pixels, and candidates outside their rectangle, get 255.
KESTROVA_TARGET_AVX512 inline __m512i gatherLevels64(__m512i key, __m512i first, __m512i second, uint64_t candidates,
                                                     const PassLimits& limits, const PixelPermutes& p) {
    const __m512i start0 = lookUp256(limits.startBytes[0], key), start1 = lookUp256(limits.startBytes[1], key);
    const __m512i start2 = lookUp256(limits.startBytes[2], key);
    const __m512i lastFirst = lookUp256(limits.first, key), lastSecond = lookUp256(limits.second, key);
    candidates &= _mm512_cmple_epu8_mask(first, lastFirst) & _mm512_cmple_epu8_mask(second, lastSecond);
    const __m512i side = _mm512_set1_epi32(0x00010001);  // + 1 in word 0, a factor 1 in word 1
    const __m512i failed = _mm512_set1_epi32(255);
    constexpr uint64_t kByte0 = 0x1111111111111111ull, kByte2 = 0x4444444444444444ull;
    __m512i quarters[4];
    for (int q = 0; q < 4; ++q) {
        const __m512i order = _mm512_load_si512(p.quarter[q]);
        __m512i start = _mm512_maskz_permutex2var_epi8(kByte0 | kByte0 << 1, start0, order, start1);
        start = _mm512_mask_permutexvar_epi8(start, kByte2, order, start2);
        const __m512i pair = _mm512_maskz_permutex2var_epi8(kByte0 | kByte2, first, order, second);
        const __m512i sideOne = _mm512_add_epi32(_mm512_maskz_permutexvar_epi8(kByte0, order, lastSecond), side);
        const __m512i at = _mm512_add_epi32(start, _mm512_madd_epi16(pair, sideOne));
        quarters[q] = _mm512_mask_i32gather_epi32(failed, __mmask16(candidates >> (16 * q)), at, limits.packed.data(), 1);
    }
    const __m512i lowBytes = _mm512_load_si512(p.lowBytes);
    return _mm512_mask_blend_epi8(~uint64_t(0) << 32, _mm512_permutex2var_epi8(quarters[0], lowBytes, quarters[1]),
                                  _mm512_permutex2var_epi8(quarters[2], lowBytes, quarters[3]));
}

// Groups of 64 with at least this many candidates have their levels
// gathered; fewer are looked up one by one.
constexpr int kGatheredCandidates64 = 16;

// Groups of 64 with at most this many candidates have them looked up and
// written one by one where the background may be left unwritten (on this
// group's own bytes alone: cheaper than a whole group's for stray pixels).
constexpr int kFewCandidates64 = 8;

// Bits of the bytes of a group of `pixels` (0..64) pixels in each of its
// three 64-byte pieces.
struct PieceMasks {
    uint64_t a, b, c;
};
inline PieceMasks pieceMasks(size_t pixels) {
    const size_t bytes = pixels * 3;
    auto piece = [bytes](size_t from) -> uint64_t {
        if (bytes <= from) return 0;
        return bytes - from >= 64 ? ~uint64_t(0) : (uint64_t(1) << (bytes - from)) - 1;
    };
    return PieceMasks{piece(0), piece(64), piece(128)};
}

// The three 64-byte pieces of a group of pixels, with masked loads and
// stores only at the end of a row (on some processors they are much slower
// than plain ones).
KESTROVA_TARGET_AVX512 inline void loadGroup(const uint8_t* source, bool whole, const PieceMasks& lastGroup, __m512i& a,
                                             __m512i& b, __m512i& c) {
    if (whole) {
        a = _mm512_loadu_si512(source);
        b = _mm512_loadu_si512(source + 64);
        c = _mm512_loadu_si512(source + 128);
    } else {
        a = _mm512_maskz_loadu_epi8(lastGroup.a, source);
        b = _mm512_maskz_loadu_epi8(lastGroup.b, source + 64);
        c = _mm512_maskz_loadu_epi8(lastGroup.c, source + 128);
    }
}
KESTROVA_TARGET_AVX512 inline void storeGroup(uint8_t* p, bool whole, const PieceMasks& lastGroup, __m512i a, __m512i b,
                                              __m512i c) {
    if (whole) {
        _mm512_storeu_si512(p, a);
        _mm512_storeu_si512(p + 64, b);
        _mm512_storeu_si512(p + 128, c);
    } else {
        _mm512_mask_storeu_epi8(p, lastGroup.a, a);
        _mm512_mask_storeu_epi8(p + 64, lastGroup.b, b);
        _mm512_mask_storeu_epi8(p + 128, lastGroup.c, c);
    }
}

// What the groups of all rows share.
struct GroupWork {
    const PixelPermutes& permutes;
    const ColourLevelTable& table;
    const PassLimits& limits;
    PieceMasks lastGroup;
    uint8_t threshold;
};

// A group with candidates, whole: their levels looked up (gathered where
// there are many), the group's pixels written and its mask word set.
// byte0, byte1 and byte2 are the group's bytes in the limits' order.
KESTROVA_TARGET_AVX512 inline void segmentGroup(const GroupWork& w, const uint8_t* source, uint8_t* p,
                                                uint64_t* maskWord, bool whole, uint64_t pixels, uint64_t candidates,
                                                __m512i byte0, __m512i byte1, __m512i byte2) {
    const PassLimits& limits = w.limits;
    const __m512i ones = _mm512_set1_epi8(-1);
    const __m512i limit = _mm512_set1_epi8(char(w.threshold));
    alignas(64) uint8_t levels[64];
    __m512i k;
    if (countBits(candidates) >= kGatheredCandidates64) {
        k = gatherLevels64(byte0, byte1, byte2, candidates, limits, w.permutes);
    } else {
        _mm512_store_si512(levels, ones);
        lookUpCandidates(source, candidates, limits, levels);
        k = _mm512_load_si512(levels);
    }
    // k below the threshold stays, the rest becomes 255; a candidate's
    // level equal to the threshold is decided by the colour's exact bit.
    __m512i out = _mm512_mask_mov_epi8(k, _mm512_cmpge_epu8_mask(k, limit), ones);
    const uint64_t ties = _mm512_cmpeq_epu8_mask(k, limit) & candidates;
    if (ties != 0) {
        _mm512_store_si512(levels, out);
        decideTies(source, ties, w.threshold, w.table, levels);
        out = _mm512_load_si512(levels);
    }
    *maskWord = _mm512_cmpeq_epu8_mask(out, ones) & pixels;
    storeGroup(p, whole, w.lastGroup, _mm512_permutex2var_epi8(out, _mm512_load_si512(w.permutes.spread[0]), out),
               _mm512_permutex2var_epi8(out, _mm512_load_si512(w.permutes.spread[1]), out),
               _mm512_permutex2var_epi8(out, _mm512_load_si512(w.permutes.spread[2]), out));
}

// All rows, 64 pixels at a time, the last group of a row with masked loads
// and stores: the pre-test against each key byte's own limit, and each
// mask word straight from a mask register. Where the background may be
// left unwritten, a group with a few candidates (a target's edge, or stray
// pixels of a scene near the colour) has them looked up one by one and
// only their bytes written. The first fromRows rows are read from `from`,
// the others from the image itself.
template <PreTest preTest>
KESTROVA_TARGET_AVX512 void segmentRowsAvx512(const uint8_t* from, size_t fromRows, uint8_t* bgr, size_t width,
                                              size_t height, const ColourLevelTable& table, const PassLimits& limits,
                                              uint8_t threshold, uint64_t* masks, bool writeBackground) {
    const GroupWork w{pixelPermutes(), table, limits, pieceMasks(width % 64), threshold};
    const BytePicker pick0 = bytePicker(w.permutes, limits.order[0]), pick1 = bytePicker(w.permutes, limits.order[1]),
                     pick2 = bytePicker(w.permutes, limits.order[2]);
    const Table256 byKey = table256(limits.byKey);
    const __m512i ones = _mm512_set1_epi8(-1);
    const size_t stride = width * 3, words = maskWords(width);
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* in = (y < fromRows ? from : bgr) + y * stride;
        uint8_t* row = bgr + y * stride;
        uint64_t* mask = masks + y * words;
        for (size_t x = 0; x < width; x += 64) {
            const bool whole = x + 64 <= width;
            const uint64_t pixels = whole ? ~uint64_t(0) : (uint64_t(1) << (width - x)) - 1;
            __m512i a, b, c;
            loadGroup(in + x * 3, whole, w.lastGroup, a, b, c);
            const __m512i byte0 = pickBytes64(a, b, c, pick0);
            const __m512i byte1 = pickBytes64(a, b, c, pick1), byte2 = pickBytes64(a, b, c, pick2);
            const __m512i key = preTest == PreTest::AverageOfTwo ? _mm512_avg_epu8(byte0, byte1) : byte0;
            const __m512i test = preTest == PreTest::LargerOfOthers ? _mm512_max_epu8(byte1, byte2) : byte2;
            const uint64_t candidates = _mm512_cmple_epu8_mask(test, lookUp256(byKey, key)) & pixels;
            if (candidates == 0) {
                mask[x >> 6] = pixels;
                if (writeBackground) storeGroup(row + x * 3, whole, w.lastGroup, ones, ones, ones);
            } else if (!writeBackground && countBits(candidates) <= kFewCandidates64) {
                mask[x >> 6] = pixels & ~segmentCandidates(in + x * 3, row + x * 3, candidates, table, limits, threshold);
            } else {
                segmentGroup(w, in + x * 3, row + x * 3, mask + (x >> 6), whole, pixels, candidates, byte0, byte1,
                             byte2);
            }
        }
    }
}
#endif

template <PreTest preTest>
void segmentRows(int instructions, const uint8_t* from, size_t fromRows, uint8_t* bgr, size_t width, size_t height,
                 const ColourLevelTable& table, const PassLimits& limits, uint8_t threshold, uint64_t* masks,
                 bool writeBackground) {
#ifdef KESTROVA_AVX512
    if (instructions >= 3) {
        segmentRowsAvx512<preTest>(from, fromRows, bgr, width, height, table, limits, threshold, masks,
                                   writeBackground);
        return;
    }
#endif
    const size_t stride = width * 3, words = maskWords(width);
    for (size_t y = 0; y < height; ++y) {
        uint8_t* row = bgr + y * stride;
        const uint8_t* in = y < fromRows ? from + y * stride : row;
        uint64_t* mask = masks + y * words;
        for (size_t k = 0; k < words; ++k) mask[k] = 0;
#ifdef KESTROVA_AVX2
        if (instructions >= 2) {
            segmentRowAvx2<preTest>(in, row, width, table, limits, threshold, mask, writeBackground);
            continue;
        }
#endif
        segmentRowSsse3<preTest>(in, row, 0, width, table, limits, threshold, mask, writeBackground);
    }
}

}  // namespace

void segmentRows(int instructions, const uint8_t* from, size_t fromRows, uint8_t* bgr, size_t width, size_t height,
                 const ColourLevelTable& table, const PassLimits& limits, uint8_t threshold, uint64_t* masks,
                 bool writeBackground) {
    switch (limits.preTest) {
        case PreTest::LargerOfOthers:
            segmentRows<PreTest::LargerOfOthers>(instructions, from, fromRows, bgr, width, height, table, limits,
                                                 threshold, masks, writeBackground);
            break;
        case PreTest::OneOther:
            segmentRows<PreTest::OneOther>(instructions, from, fromRows, bgr, width, height, table, limits, threshold,
                                           masks, writeBackground);
            break;
        case PreTest::AverageOfTwo:
            segmentRows<PreTest::AverageOfTwo>(instructions, from, fromRows, bgr, width, height, table, limits,
                                               threshold, masks, writeBackground);
            break;
    }
}
#endif
