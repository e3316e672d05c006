#include "tracking/colour_levels.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "tracking/colour_vector.h"
#include "tracking/pass_limits.h"
#include "tracking/pixel_masks.h"
#include "tracking/vector_instructions.h"

#ifdef KESTROVA_SSE2
#include <emmintrin.h>
#endif
#ifdef KESTROVA_SSSE3
#include <tmmintrin.h>
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
