#include "tracking/colour_levels.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "tracking/colour_vector.h"
#include "tracking/pixel_masks.h"
#include "tracking/vector_instructions.h"

#ifdef KESTROVA_SSE2
#include <emmintrin.h>
#endif
#ifdef KESTROVA_SSSE3
#include <tmmintrin.h>
#endif
#ifdef KESTROVA_AVX2
#include <immintrin.h>
#endif

namespace {

constexpr size_t kColours = size_t(1) << 24;

float squareRootOfFive() {
    static const float s5 = float(std::sqrt(5.0));
    return s5;
}

// Byte b as the colour component float(b / 255.0).
struct ByteScale {
    float value[256];
};

const ByteScale& byteScale() {
    static const ByteScale scale = [] {
        ByteScale s{};
        for (int b = 0; b < 256; ++b) s.value[b] = float(b / 255.0);
        return s;
    }();
    return scale;
}

// One pixel, step by step as the segmentation formula rounds.
float scaledDistance(const uint8_t* pixel, const ReferenceColour& r, const float* scale, float s5) {
    float p0 = scale[pixel[0]], p1 = scale[pixel[1]], p2 = scale[pixel[2]];
    normaliseColour(p0, p1, p2);
    const double e0 = double(p0) - r.c0, e1 = double(p1) - r.c1, e2 = double(p2) - r.c2;
    const float sum = float(e0 * e0 + e1 * e1 + e2 * e2);
    const float d = float(std::sqrt(double(sum)));
    return float((double(d) * 255.0) / double(s5));
}

#ifdef KESTROVA_SSE2
// Rounds both lanes to single precision and back, as storing in a float does.
inline __m128d toFloatAndBack(__m128d x) { return _mm_cvtps_pd(_mm_cvtpd_ps(x)); }

// Two pixels at a time: the same operations in the same order, each of them
// correctly rounded in the vector unit just as in the scalar one.
size_t scaledDistancesSse2(const uint8_t* bgr, size_t pixels, const ReferenceColour& r, const float* scale,
                           float s5, float* v) {
    const __m128d r0 = _mm_set1_pd(r.c0), r1 = _mm_set1_pd(r.c1), r2 = _mm_set1_pd(r.c2);
    const __m128d darkLimit = _mm_set1_pd(double(0.15f));
    const __m128d k255 = _mm_set1_pd(255.0), root5 = _mm_set1_pd(double(s5));
    size_t i = 0;
    for (; i + 2 <= pixels; i += 2) {
        const uint8_t* p = bgr + i * 3;
        __m128d c0 = _mm_set_pd(scale[p[3]], scale[p[0]]);
        __m128d c1 = _mm_set_pd(scale[p[4]], scale[p[1]]);
        __m128d c2 = _mm_set_pd(scale[p[5]], scale[p[2]]);
        const __m128d squares =
            toFloatAndBack(_mm_add_pd(_mm_add_pd(_mm_mul_pd(c0, c0), _mm_mul_pd(c1, c1)), _mm_mul_pd(c2, c2)));
        const __m128d length = toFloatAndBack(_mm_sqrt_pd(squares));
        const __m128d stretch = _mm_cmpgt_pd(length, darkLimit);
        // Lanes too dark to stretch may divide by zero here; their quotient
        // is discarded by the mask.
        const __m128d q0 = toFloatAndBack(_mm_div_pd(c0, length));
        const __m128d q1 = toFloatAndBack(_mm_div_pd(c1, length));
        const __m128d q2 = toFloatAndBack(_mm_div_pd(c2, length));
        c0 = _mm_or_pd(_mm_and_pd(stretch, q0), _mm_andnot_pd(stretch, c0));
        c1 = _mm_or_pd(_mm_and_pd(stretch, q1), _mm_andnot_pd(stretch, c1));
        c2 = _mm_or_pd(_mm_and_pd(stretch, q2), _mm_andnot_pd(stretch, c2));
        const __m128d e0 = _mm_sub_pd(c0, r0), e1 = _mm_sub_pd(c1, r1), e2 = _mm_sub_pd(c2, r2);
        const __m128d sum =
            toFloatAndBack(_mm_add_pd(_mm_add_pd(_mm_mul_pd(e0, e0), _mm_mul_pd(e1, e1)), _mm_mul_pd(e2, e2)));
        const __m128d d = toFloatAndBack(_mm_sqrt_pd(sum));
        const __m128 level = _mm_cvtpd_ps(_mm_div_pd(_mm_mul_pd(d, k255), root5));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + i), _mm_castps_si128(level));
    }
    return i;
}
#endif

// The table's memory, kept for the life of the process. It is read at
// random, so on Linux it sits on 2 MiB pages where the system offers them:
// nine address translations cover it instead of 4608.
uint8_t* allocateTableMemory(size_t bytes) {
#if defined(__linux__)
    constexpr size_t kLargePage = size_t(2) << 20;
    void* memory = nullptr;
    if (posix_memalign(&memory, kLargePage, (bytes + kLargePage - 1) / kLargePage * kLargePage) != 0) return nullptr;
    madvise(memory, bytes, MADV_HUGEPAGE);  // only advice: without it, 4 KiB pages
    return static_cast<uint8_t*>(memory);
#else
    return new (std::nothrow) uint8_t[bytes];
#endif
}

// The last table built, for tableReference.
uint8_t* tableLevel = nullptr;
uint64_t* tableExact = nullptr;
uint32_t tableReference = 0;
bool tableBuilt = false;

void buildTable(uint32_t reference) {
    const ReferenceColour r = normalisedReference(reference);
    uint8_t bgr[256 * 3];
    float v[256];
    for (int b = 0; b < 256; ++b) bgr[b * 3] = uint8_t(b);
    std::memset(tableExact, 0, kColours / 8);
    for (uint32_t redGreen = 0; redGreen < 65536; ++redGreen) {
        const uint8_t g = uint8_t(redGreen), red = uint8_t(redGreen >> 8);
        for (int b = 0; b < 256; ++b) {
            bgr[b * 3 + 1] = g;
            bgr[b * 3 + 2] = red;
        }
        computeScaledDistances(bgr, 256, r, v);
        uint8_t* level = tableLevel + size_t(redGreen) * 256;
        uint64_t* exact = tableExact + size_t(redGreen) * 4;
        for (int b = 0; b < 256; ++b) {
            const int32_t whole = int32_t(v[b]);
            level[b] = uint8_t(whole);
            if (double(v[b]) == double(whole)) exact[b >> 6] |= uint64_t(1) << (b & 63);
        }
    }
    tableReference = reference;
    tableBuilt = true;
}

// Pixel by pixel, for small images or without the table.
void segmentComputed(uint8_t* bgr, size_t pixels, const ReferenceColour& r, int32_t threshold) {
    constexpr size_t kChunk = 256;
    float v[kChunk];
    for (size_t start = 0; start < pixels; start += kChunk) {
        const size_t n = pixels - start < kChunk ? pixels - start : kChunk;
        uint8_t* p = bgr + start * 3;
        computeScaledDistances(p, n, r, v);
        for (size_t i = 0; i < n; ++i) {
            float level = v[i];
            if (double(level) > double(threshold)) level = 255.0f;
            p[i * 3] = p[i * 3 + 1] = p[i * 3 + 2] = uint8_t(int32_t(level));
        }
    }
}

// Output of a pixel whose truncated level k equals the threshold: v is at
// most the threshold only when v is that whole number.
inline uint8_t decideTie(uint32_t colour, uint8_t k, const uint64_t* exact) {
    return (exact[colour >> 6] >> (colour & 63) & 1) != 0 ? k : uint8_t(255);
}

#ifdef KESTROVA_SSSE3
// Sixteen pixels at a time: colour numbers and the spreading of the levels
// back to three bytes by byte shuffles, the table read with plain loads
// (vector gathers are slower than these on common processors). Returns the
// number of pixels done. threshold must be 0 or more.
__attribute__((target("ssse3"))) size_t segmentFromTableSsse3(uint8_t* bgr, size_t pixels,
                                                               const ColourLevelTable& table, int32_t threshold) {
    const uint8_t* level = table.level;
    const __m128i toColours = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i spread2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    const __m128i ones = _mm_set1_epi8(-1);
    // Levels are at most 161, so any threshold from 255 on lets all through.
    const __m128i limit = _mm_set1_epi8(char(threshold > 255 ? 255 : threshold));
    alignas(16) uint32_t colours[16];
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        uint8_t* p = bgr + i * 3;
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        _mm_store_si128(reinterpret_cast<__m128i*>(colours), _mm_shuffle_epi8(a, toColours));
        _mm_store_si128(reinterpret_cast<__m128i*>(colours + 4), _mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), toColours));
        _mm_store_si128(reinterpret_cast<__m128i*>(colours + 8), _mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), toColours));
        _mm_store_si128(reinterpret_cast<__m128i*>(colours + 12), _mm_shuffle_epi8(_mm_srli_si128(c, 4), toColours));
        uint64_t low = 0, high = 0;
        for (int j = 0; j < 8; ++j) low |= uint64_t(level[colours[j]]) << (8 * j);
        for (int j = 0; j < 8; ++j) high |= uint64_t(level[colours[8 + j]]) << (8 * j);
        const __m128i k = _mm_set_epi64x(int64_t(high), int64_t(low));
        const __m128i tie = _mm_cmpeq_epi8(k, limit);
        const __m128i atMost = _mm_cmpeq_epi8(_mm_max_epu8(k, limit), limit);
        // k where k < threshold, else 255.
        __m128i out = _mm_or_si128(k, _mm_xor_si128(_mm_andnot_si128(tie, atMost), ones));
        const int ties = _mm_movemask_epi8(tie);
        if (ties != 0) {
            alignas(16) uint8_t levels[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(levels), out);
            for (int j = 0; j < 16; ++j) {
                if ((ties >> j & 1) != 0) levels[j] = decideTie(colours[j], uint8_t(threshold), table.exact);
            }
            out = _mm_load_si128(reinterpret_cast<const __m128i*>(levels));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(out, spread0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_shuffle_epi8(out, spread1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), _mm_shuffle_epi8(out, spread2));
    }
    return i;
}
#endif

// Through the table: a look-up per pixel, and the exact bit only for
// pixels whose truncated level equals the threshold.
void segmentFromTable(uint8_t* bgr, size_t pixels, const ColourLevelTable& table, int32_t threshold) {
    size_t i = 0;
#ifdef KESTROVA_SSSE3
    if (threshold >= 0 && processorHasSsse3()) i = segmentFromTableSsse3(bgr, pixels, table, threshold);
#endif
    uint8_t output[256];
    for (int k = 0; k < 256; ++k) output[k] = k < threshold ? uint8_t(k) : uint8_t(255);
    const int deciding = threshold >= 0 && threshold <= 255 ? int(threshold) : -1;
    const uint8_t* level = table.level;
    uint8_t* p = bgr + i * 3;
    for (; i < pixels; ++i, p += 3) {
        const uint32_t colour = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
        const uint8_t k = level[colour];
        const uint8_t out = k == deciding ? decideTie(colour, k, table.exact) : output[k];
        p[0] = p[1] = p[2] = out;
    }
}

// The pre-test rules most pixels of a scene out without a look-up: a pixel
// is a candidate only when its test byte is at most the limit of its key
// byte, the largest test byte of any colour with that key that passes the
// threshold (0 when none does; such a pixel then only costs a look-up that
// says background). Key and test are read from the pixel's bytes taken in
// the order of `order` (first the key byte, then the first and the second
// of the others) in one of three ways; the way and the order are chosen for
// each reference and threshold as the ones that let the fewest of the 2^24
// colours through:
//  - LargerOfOthers: key the first byte, test the larger of the others
//    (red against the larger of green and blue, for a red reference);
//  - OneOther: key the first byte, test the second other byte alone (for
//    orange, blue against red: green may be near red, or not);
//  - AverageOfTwo: key the average of the first two bytes (rounded up),
//    test the third (for yellow, blue against the average of red and green).
// byHighKey holds the largest limit of each run of sixteen key values, for
// a test with one byte shuffle. Rebuilt when the threshold or the table
// changes; threshold is 0..255 here.
//
// Beside them, the levels of the colours that can pass, packed: for each
// value of byte order[0] a rectangle of (first + 1) x (second + 1) by the
// other two bytes, so the look-ups of a scene with few candidates stay
// within a few MiB instead of the whole table (the last byte is 255, for
// pixels outside their rectangle).
enum class PreTest : uint8_t { LargerOfOthers, OneOther, AverageOfTwo };

struct PassLimits {
    PreTest preTest = PreTest::LargerOfOthers;
    int order[3] = {2, 1, 0};  // pixel bytes: key, first other, second other
    alignas(64) uint8_t byKey[256];
    alignas(16) uint8_t byHighKey[16];
    // Largest first and second byte of a colour that passes, by order[0].
    alignas(64) uint8_t first[256];
    alignas(64) uint8_t second[256];
    uint32_t start[256];  // of each rectangle in `packed`
    alignas(64) uint8_t startBytes[3][256];  // bytes 0, 1, 2 of start (it is below 2^24)
    int32_t sides[256];  // second + 1 | (first + 1) << 16
    std::vector<uint8_t> packed;
    uint32_t failed = 0;  // index of the 255 after the rectangles
    int32_t threshold = -1;
    uint32_t reference = 0;
};

PassLimits passLimits;

// Of the colours that pass: most[k][o][v] is the largest byte o of those
// whose byte k is v, byAverage[t][v] the largest byte t of those whose
// other two bytes average v, rounded up (0 where there are none).
struct PassingExtents {
    uint8_t most[3][3][256];
    uint8_t byAverage[3][256];
};

inline void raise(uint8_t& to, int value) { to = uint8_t(value > to ? value : to); }

// One pass over the table, a row of 256 blue values at a time.
void findPassingExtents(const ColourLevelTable& table, uint8_t t, PassingExtents& e) {
    std::memset(&e, 0, sizeof e);
    uint8_t pass[256];
    for (int red = 0; red < 256; ++red) {
        for (int green = 0; green < 256; ++green) {
            const uint32_t rowStart = uint32_t(red) << 16 | uint32_t(green) << 8;
            const uint8_t* level = table.level + rowStart;
            uint8_t any = 0, ties = 0;
            for (int b = 0; b < 256; ++b) {
                pass[b] = level[b] < t ? 0xFF : 0;
                any |= pass[b];
                ties |= uint8_t(level[b] == t);
            }
            if (ties != 0) {
                for (int b = 0; b < 256; ++b) {
                    if (level[b] == t && decideTie(rowStart | uint32_t(b), t, table.exact) == t) pass[b] = any = 0xFF;
                }
            }
            if (any == 0) continue;
            int last = 255;
            while (pass[last] == 0) --last;
            const uint8_t r8 = uint8_t(red), g8 = uint8_t(green);
            raise(e.most[2][1][red], green);
            raise(e.most[2][0][red], last);
            raise(e.most[1][2][green], red);
            raise(e.most[1][0][green], last);
            for (int b = 0; b < 256; ++b) {
                raise(e.most[0][2][b], pass[b] & r8);
                raise(e.most[0][1][b], pass[b] & g8);
            }
            raise(e.byAverage[0][(red + green + 1) >> 1], last);
            for (int b = 0; b <= last; ++b) {
                raise(e.byAverage[1][(red + b + 1) >> 1], pass[b] & g8);
                raise(e.byAverage[2][(green + b + 1) >> 1], pass[b] & r8);
            }
        }
    }
}

// Pairs of bytes whose average, rounded up, is v: those of sum 2 v - 1 and 2 v.
uint64_t pairsAveraging(int v) {
    auto sums = [](int s) { return uint64_t(s < 0 ? 0 : s <= 255 ? s + 1 : 511 - s); };
    return sums(2 * v - 1) + sums(2 * v);
}

// Chooses the pre-test and fills byKey, byHighKey and the rectangles' sides.
void choosePreTest(const PassingExtents& e, PassLimits& limits) {
    uint64_t fewest = ~uint64_t(0);
    auto consider = [&](PreTest preTest, int key, int firstOther, int secondOther) {
        uint64_t colours = 0;
        for (int v = 0; v < 256; ++v) {
            const uint64_t a = e.most[key][firstOther][v], b = e.most[key][secondOther][v];
            if (preTest == PreTest::LargerOfOthers) colours += ((a > b ? a : b) + 1) * ((a > b ? a : b) + 1);
            if (preTest == PreTest::OneOther) colours += 256 * (b + 1);
            if (preTest == PreTest::AverageOfTwo) colours += pairsAveraging(v) * (e.byAverage[secondOther][v] + 1u);
        }
        if (colours >= fewest) return;  // on a tie the earlier stays: red first
        fewest = colours;
        limits.preTest = preTest;
        limits.order[0] = key;
        limits.order[1] = firstOther;
        limits.order[2] = secondOther;
    };
    // The second other byte is the lower where it may be, so rows of
    // the table are copied whole into the rectangles.
    for (const int key : {2, 1, 0}) {
        const int high = key == 2 ? 1 : 2, low = key == 0 ? 1 : 0;
        consider(PreTest::LargerOfOthers, key, high, low);
        consider(PreTest::OneOther, key, high, low);
        consider(PreTest::OneOther, key, low, high);
    }
    for (const int third : {0, 1, 2}) {
        const int high = third == 2 ? 1 : 2, low = third == 0 ? 1 : 0;
        consider(PreTest::AverageOfTwo, high, low, third);
    }
    const int key = limits.order[0], firstOther = limits.order[1], secondOther = limits.order[2];
    for (int v = 0; v < 256; ++v) {
        const uint8_t a = e.most[key][firstOther][v], b = e.most[key][secondOther][v];
        limits.first[v] = a;
        limits.second[v] = b;
        limits.byKey[v] = limits.preTest == PreTest::LargerOfOthers ? (a > b ? a : b)
                          : limits.preTest == PreTest::OneOther     ? b
                                                                    : e.byAverage[secondOther][v];
    }
    for (int high = 0; high < 16; ++high) {
        uint8_t largest = 0;
        for (int low = 0; low < 16; ++low) raise(largest, limits.byKey[high * 16 + low]);
        limits.byHighKey[high] = largest;
    }
}

// The rectangles of the table's levels, row by row of the table.
void packRectangles(const ColourLevelTable& table, PassLimits& limits) {
    size_t size = 0;
    for (int v = 0; v < 256; ++v) {
        limits.start[v] = uint32_t(size);
        size += (size_t(limits.first[v]) + 1) * (size_t(limits.second[v]) + 1);
    }
    // At most the table's size, the 255 and three bytes more for four-byte
    // gathers at the last index.
    limits.packed.resize(size + 4);
    const int shift[3] = {8 * limits.order[0], 8 * limits.order[1], 8 * limits.order[2]};
    uint8_t* packed = limits.packed.data();
    if (limits.order[2] == 0) {  // the second byte is blue: rows of the table
        for (uint32_t v = 0; v < 256; ++v) {
            const size_t side = size_t(limits.second[v]) + 1;
            for (uint32_t a = 0; a <= limits.first[v]; ++a) {
                std::memcpy(packed + limits.start[v] + a * side, table.level + (v << shift[0] | a << shift[1]), side);
            }
        }
    } else {  // the whole table in its order, each level that lies in its rectangle
        for (uint32_t colour = 0; colour < kColours; ++colour) {
            const uint32_t v = colour >> shift[0] & 0xFF, a = colour >> shift[1] & 0xFF, b = colour >> shift[2] & 0xFF;
            if (a <= limits.first[v] && b <= limits.second[v]) {
                packed[limits.start[v] + a * (uint32_t(limits.second[v]) + 1) + b] = table.level[colour];
            }
        }
    }
    packed[size] = 255;
    limits.failed = uint32_t(size);
    for (int v = 0; v < 256; ++v) {
        limits.sides[v] = (int32_t(limits.second[v]) + 1) | (int32_t(limits.first[v]) + 1) << 16;
        for (int byte = 0; byte < 3; ++byte) limits.startBytes[byte][v] = uint8_t(limits.start[v] >> (8 * byte));
    }
}

const PassLimits& passLimitsFor(const ColourLevelTable& table, uint32_t reference, int32_t threshold) {
    PassLimits& limits = passLimits;
    if (limits.threshold == threshold && limits.reference == reference) return limits;
    limits.threshold = -1;  // until it is whole
    PassingExtents extents;
    findPassingExtents(table, uint8_t(threshold), extents);
    choosePreTest(extents, limits);
    packRectangles(table, limits);
    limits.threshold = threshold;
    limits.reference = reference;
    return limits;
}

// Where the level of pixel q lies in the packed rectangles (failed when
// outside its rectangle).
inline uint32_t packedIndex(const uint8_t* q, const PassLimits& limits) {
    const uint32_t v = q[limits.order[0]], a = q[limits.order[1]], b = q[limits.order[2]];
    const uint32_t side = uint32_t(limits.second[v]) + 1;
    return ((a <= limits.first[v]) & (b < side)) != 0 ? limits.start[v] + a * side + b : limits.failed;
}

// The levels of a group's candidates (bits of `candidates`, pixel j at
// source + 3 j) from the packed rectangles, into levels[j]; 255 for those
// outside their rectangle. No branch on a looked-up level, so the look-ups
// overlap.
inline void lookUpCandidates(const uint8_t* source, uint64_t candidates, const PassLimits& limits,
                             uint8_t* levels) {
    const uint8_t* packed = limits.packed.data();
    for (uint64_t left = candidates; left != 0; left &= left - 1) {
        const int j = lowestBit(left);
        levels[j] = packed[packedIndex(source + j * 3, limits)];
    }
}

// Output of the pixels of a group whose level equals the threshold (bits
// of `ties`), decided by their colours' exact bits, into levels[j].
inline void decideTies(const uint8_t* source, uint64_t ties, uint8_t threshold, const ColourLevelTable& table,
                       uint8_t* levels) {
    for (uint64_t left = ties; left != 0; left &= left - 1) {
        const int j = lowestBit(left);
        const uint8_t* q = source + j * 3;
        const uint32_t colour = uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16;
        levels[j] = decideTie(colour, threshold, table.exact);
    }
}

// Looks the candidates of a group up one by one (bits of `candidates`,
// pixel j at source + 3 j) and writes each one's output into its three
// bytes at p + 3 j (the image itself, or the same place in another one),
// 255 too: background may be written or not. Returns the bits of those
// that are not background.
inline uint64_t segmentCandidates(const uint8_t* source, uint8_t* p, uint64_t candidates, const ColourLevelTable& table,
                                  const PassLimits& limits, uint8_t threshold) {
    const uint8_t* packed = limits.packed.data();
    uint64_t target = 0;
    for (uint64_t left = candidates; left != 0; left &= left - 1) {
        const int j = lowestBit(left);
        const uint8_t* q = source + j * 3;
        const uint8_t k = packed[packedIndex(q, limits)];
        uint8_t out = k < threshold ? k : uint8_t(255);
        if (k == threshold) out = decideTie(uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16, k, table.exact);
        p[j * 3] = p[j * 3 + 1] = p[j * 3 + 2] = out;
        target |= uint64_t(out != 255) << j;
    }
    return target;
}

// One pixel through the table at a threshold of 0..255.
inline uint8_t tableOutput(const uint8_t* p, const ColourLevelTable& table, uint8_t threshold) {
    const uint32_t colour = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    const uint8_t k = table.level[colour];
    if (k < threshold) return k;
    return k == threshold ? decideTie(colour, k, table.exact) : uint8_t(255);
}

#ifdef KESTROVA_SSSE3
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
#endif

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

#ifdef KESTROVA_SSSE3
// All rows, each with its mask cleared first; the first fromRows rows are
// read from `from`, the others from the image itself.
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

}  // namespace

ReferenceColour normalisedReference(uint32_t reference) {
    ReferenceColour r{float((reference & 0xFF) / 255.0), float(((reference >> 8) & 0xFF) / 255.0),
                      float(((reference >> 16) & 0xFF) / 255.0)};
    normaliseColour(r.c0, r.c1, r.c2);
    return r;
}

void computeScaledDistances(const uint8_t* bgr, size_t pixels, const ReferenceColour& reference, float* v) {
    const float* scale = byteScale().value;
    const float s5 = squareRootOfFive();
    size_t i = 0;
#ifdef KESTROVA_SSE2
    i = scaledDistancesSse2(bgr, pixels, reference, scale, s5, v);
#endif
    for (; i < pixels; ++i) v[i] = scaledDistance(bgr + i * 3, reference, scale, s5);
}

ColourLevelTable colourLevelTable(uint32_t reference) {
    reference &= 0xFFFFFF;
    if (tableLevel == nullptr) {
        uint8_t* memory = allocateTableMemory(kColours + kColours / 8);
        if (memory == nullptr) return ColourLevelTable{nullptr, nullptr};
        tableLevel = memory;
        tableExact = reinterpret_cast<uint64_t*>(memory + kColours);
    }
    if (!tableBuilt || tableReference != reference) buildTable(reference);
    return ColourLevelTable{tableLevel, tableExact};
}

void segmentPixels(uint8_t* bgr, size_t pixels, uint32_t reference, int32_t threshold, bool useTable) {
    if (bgr == nullptr || pixels == 0) return;
    if (useTable) {
        const ColourLevelTable table = colourLevelTable(reference);
        if (table.level != nullptr) {
            segmentFromTable(bgr, pixels, table, threshold);
            return;
        }
    }
    segmentComputed(bgr, pixels, normalisedReference(reference), threshold);
}

bool segmentImageWithMasks(uint8_t* bgr, size_t width, size_t height, uint32_t reference, int32_t threshold,
                           uint64_t* masks, const uint8_t* from, size_t fromBytes, bool writeBackground) {
    return segmentImageWithMasksUsing(3, bgr, width, height, reference, threshold, masks, from, fromBytes,
                                      writeBackground);
}

bool segmentImageWithMasksUsing(int instructions, uint8_t* bgr, size_t width, size_t height, uint32_t reference,
                                int32_t threshold, uint64_t* masks, const uint8_t* from, size_t fromBytes,
                                bool writeBackground) {
    if (bgr == nullptr || masks == nullptr || width == 0 || height == 0) return false;
    const size_t stride = width * 3;
    if (from == nullptr || from == bgr) fromBytes = 0;
    if (fromBytes > stride * height) fromBytes = stride * height;
    const size_t words = maskWords(width);
    if (threshold < 0) {  // v is never negative: all background
        std::memset(bgr, 255, width * 3 * height);
        const uint64_t lastWord = width % 64 == 0 ? ~uint64_t(0) : (uint64_t(1) << (width % 64)) - 1;
        for (size_t i = 0; i < words * height; ++i) masks[i] = (i + 1) % words == 0 ? lastWord : ~uint64_t(0);
        return true;
    }
#ifdef KESTROVA_SSSE3
    if (instructions < 1 || !processorHasSsse3()) return false;
    reference &= 0xFFFFFF;
    const ColourLevelTable table = colourLevelTable(reference);
    if (table.level == nullptr) return false;
    // Levels are at most 161, so any threshold from 255 on lets all through.
    const uint8_t limit = uint8_t(threshold > 255 ? 255 : threshold);
    const PassLimits* limits = nullptr;
    try {
        limits = &passLimitsFor(table, reference, limit);
    } catch (const std::bad_alloc&) {
        passLimits.threshold = -1;  // built afresh next time
        return false;
    }
    // Whole rows are read from `from`; the part of a row it ends in is
    // copied over first.
    const size_t fromRows = fromBytes / stride;
    if (fromBytes % stride != 0) std::memcpy(bgr + fromRows * stride, from + fromRows * stride, fromBytes % stride);
    const int usable = instructions >= 3 && processorHasAvx512Vbmi() ? 3 : instructions >= 2 && processorHasAvx2() ? 2 : 1;
    segmentRows(usable, from, fromRows, bgr, width, height, table, *limits, limit, masks, writeBackground);
    return true;
#else
    return false;
#endif
}
