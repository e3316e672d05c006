// The per-pixel work behind segmentByColour: the exact scaled colour distance
// of many pixels at once, and a per-colour table of its outcome, so a frame
// costs one table look-up a pixel. Declared here for the tests and the
// benchmark; the program itself only calls segmentByColour.
#pragma once

#include <cstddef>
#include <cstdint>

// The reference colour as segmentation compares with it: bytes 0, 1, 2 of
// the 24-bit value scaled to 0..1 and normalised.
struct ReferenceColour {
    float c0, c1, c2;
};
ReferenceColour normalisedReference(uint32_t reference);

// Writes v, the scaled distance of each pixel (bytes blue, green, red) from
// the reference, rounded at exactly the steps segmentByColour rounds at.
void computeScaledDistances(const uint8_t* bgr, size_t pixels, const ReferenceColour& reference, float* v);

// Outcome of v for every 24-bit colour, indexed by blue | green << 8 | red << 16:
// `level` holds v truncated (0..161), bit i of `exact` is set where colour i
// has a whole-number v. Together they decide every integer threshold: v is
// at most the threshold t exactly when level < t, or level == t and v is whole.
struct ColourLevelTable {
    const uint8_t* level;
    const uint64_t* exact;
};

// The table of one reference colour, built on first use (about 18 MiB) and
// kept for the reference last asked for. Both members are null when the
// memory for it cannot be had.
ColourLevelTable colourLevelTable(uint32_t reference);

// Segments pixels in place as segmentByColour does: through the table when
// `useTable` is set and the table can be had, otherwise pixel by pixel.
void segmentPixels(uint8_t* bgr, size_t pixels, uint32_t reference, int32_t threshold, bool useTable);

// Segments a width x height image in place as segmentPixels does, and
// writes the background mask of each row (maskWords(width) words a row,
// bits past the row's end 0) as it goes. Most pixels of a scene are ruled
// out without a table look-up by a test on two of their bytes (or bytes
// made of them) chosen for the reference (for red: the red byte against
// the larger of the other two). Returns false, having changed nothing, when
// the table or the vector instructions are not to be had.
// With `from` given, the image's first fromBytes bytes are taken from there
// (an image of the same size) instead of from the image itself, which saves
// copying them over first. With writeBackground false, pixels of groups
// found to hold only background may be left as they were (their mask bits
// say what they are); every other pixel is written.
bool segmentImageWithMasks(uint8_t* bgr, size_t width, size_t height, uint32_t reference, int32_t threshold,
                           uint64_t* masks, const uint8_t* from = nullptr, size_t fromBytes = 0,
                           bool writeBackground = true);

// The same with at most the given instructions, for the tests: 1 SSSE3,
// 2 AVX2 as well, 3 AVX-512 (F, BW, VBMI) as well (each where the processor
// has it; without SSSE3 it returns false).
bool segmentImageWithMasksUsing(int instructions, uint8_t* bgr, size_t width, size_t height, uint32_t reference,
                                int32_t threshold, uint64_t* masks, const uint8_t* from = nullptr,
                                size_t fromBytes = 0, bool writeBackground = true);
