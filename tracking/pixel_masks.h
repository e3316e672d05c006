// Bit masks of a segmented image: one bit a pixel, bit x of word k standing
// for pixel 64 * k + x of a row. Shared by the speck filter and the centroid.
#pragma once

#include <cstddef>
#include <cstdint>

// Keeps bits 0, 3, 6, ... of x (up to bit 63) and packs them into bits 0, 1, 2, ...
inline uint64_t everyThirdBit(uint64_t x) {
    x &= 0x1249249249249249ull;
    x = (x ^ (x >> 2)) & 0x10c30c30c30c30c3ull;
    x = (x ^ (x >> 4)) & 0x100f00f00f00f00full;
    x = (x ^ (x >> 8)) & 0x001f0000ff0000ffull;
    x = (x ^ (x >> 16)) & 0x001f00000000ffffull;
    x = (x ^ (x >> 32)) & 0x00000000001fffffull;
    return x;
}

inline int countBits(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
    return int((x * 0x0101010101010101ull) >> 56);
}

// Position of the lowest set bit; x must not be 0.
inline int lowestBit(uint64_t x) {
#if defined(__GNUC__)
    return __builtin_ctzll(x);
#else
    int n = 0;
    while ((x & 1) == 0) {
        x >>= 1;
        ++n;
    }
    return n;
#endif
}

// Words needed for a row of `width` pixels.
inline size_t maskWords(size_t width) { return (width + 63) / 64; }

// True when every pixel of a row's mask (width >= 1) is set; bits past
// the row's end do not count. Four words at a time, so rows of a scene
// that is nearly all background are passed over quickly.
inline bool rowAllSet(const uint64_t* mask, size_t width) {
    const size_t words = maskWords(width), full = width / 64;
    uint64_t a = ~uint64_t(0), b = a, c = a, d = a;
    size_t k = 0;
    for (; k + 4 <= full; k += 4) {
        a &= mask[k];
        b &= mask[k + 1];
        c &= mask[k + 2];
        d &= mask[k + 3];
    }
    for (; k < full; ++k) a &= mask[k];
    if (full < words) a &= mask[full] | ~((uint64_t(1) << (width % 64)) - 1);
    return (a & b & c & d) == ~uint64_t(0);
}

// The masks of a row of `width` pixels (24 bits each): background, byte 0
// equal to 255; white, all three bytes 255. Bits past the row's end are 0.
// `white` may be null.
void rowMasks(const uint8_t* row, size_t width, uint64_t* background, uint64_t* white);

// The same with at most the given instructions, for the tests: 0 plain C++,
// 1 SSE2, 2 SSSE3 (each where the processor has it).
void rowMasksUsing(int instructions, const uint8_t* row, size_t width, uint64_t* background, uint64_t* white);

// The background masks of a slot's work image as the analysis left it:
// segmentation writes them as it goes, the speck filter keeps them up to
// date, and the filter and the centroid read them instead of the image.
// They are kept only for images the analysis itself wrote, where all
// three bytes of every pixel are equal (so a background pixel is white).
// Frame intake and a reset forget them; anything else that writes into a
// work image must call forgetSlotMasks for that slot.
//
// Segmentation may leave the background pixels unwritten: the masks say
// where they are, and they are written (255 in all three bytes) before
// anything else reads the image or its masks are forgotten.

// Words for a height x width image (maskWords(width) a row), to be filled
// by the caller and then confirmed with keepSlotMasks. Null if the memory
// cannot be had. The slot's masks are forgotten until confirmed (a
// background left unwritten is written first).
uint64_t* slotMasksToFill(int slot, size_t width, size_t height);
void keepSlotMasks(int slot, uint8_t* image, size_t width, size_t height, bool backgroundWritten = true);

// The kept masks of the slot, when they describe this image at this size;
// otherwise null.
uint64_t* keptSlotMasks(int slot, const uint8_t* image, size_t width, size_t height);

// Writes the background the segmentation left unwritten, if any.
void writeSlotBackground(int slot);

// Forgets the masks, first writing a background left unwritten.
void forgetSlotMasks(int slot);

// Forgets the masks and any background left unwritten, for a caller about
// to replace every byte of the image.
void dropSlotMasks(int slot);

// Writes 255 into the three bytes of every pixel whose mask bit is set.
void whitenBackground(uint8_t* image, size_t width, size_t height, const uint64_t* masks);
