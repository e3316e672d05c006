// The parts of masked segmentation (segmentImageWithMasks) that its files
// share: the pre-test's limits and the packed levels of one reference and
// threshold (pass_limits.cpp), the look-ups of single pixels, and the
// vector code that runs over the rows (segmentation_kernels.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tracking/colour_levels.h"
#include "tracking/pixel_masks.h"

// Output of a pixel whose truncated level k equals the threshold: v is at
// most the threshold only when v is that whole number.
inline uint8_t decideTie(uint32_t colour, uint8_t k, const uint64_t* exact) {
    return (exact[colour >> 6] >> (colour & 63) & 1) != 0 ? k : uint8_t(255);
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

// The limits for this table's reference and a threshold of 0..255, built
// when either changed since the last call. May throw std::bad_alloc (the
// limits are then built afresh next time).
const PassLimits& passLimitsFor(const ColourLevelTable& table, uint32_t reference, int32_t threshold);

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

// All rows of a width x height image at a threshold of 0..255, each with its
// mask cleared first, with at most the given instructions (1 SSSE3, 2 AVX2,
// 3 AVX-512; the processor must have them); the first fromRows rows are read
// from `from`, the others from the image itself.
void segmentRows(int instructions, const uint8_t* from, size_t fromRows, uint8_t* bgr, size_t width, size_t height,
                 const ColourLevelTable& table, const PassLimits& limits, uint8_t threshold, uint64_t* masks,
                 bool writeBackground);
