#include "tracking/pixel_masks.h"

#include <cstring>
#include <new>
#include <vector>

#include "tracking/vector_instructions.h"

#ifdef KESTROVA_SSE2
#include <emmintrin.h>
#endif
#ifdef KESTROVA_SSSE3
#include <tmmintrin.h>
#endif

namespace {

// Pixels from x on into the words, eight at a time and then one at a time.
template <bool wantWhite>
void rowMasksFrom(size_t x, const uint8_t* row, size_t width, uint64_t* background, uint64_t* white) {
    for (; x + 8 <= width; x += 8) {
        const uint8_t* p = row + x * 3;
        uint32_t bg = 0, wh = 0;
        for (int i = 0; i < 8; ++i) {
            const uint32_t first = p[i * 3] == 255;
            bg |= first << i;
            if (wantWhite) wh |= (first & uint32_t(p[i * 3 + 1] == 255) & uint32_t(p[i * 3 + 2] == 255)) << i;
        }
        background[x >> 6] |= uint64_t(bg) << (x & 63);
        if (wantWhite) white[x >> 6] |= uint64_t(wh) << (x & 63);
    }
    for (; x < width; ++x) {
        const uint8_t* p = row + x * 3;
        const bool isBackground = p[0] == 255;
        background[x >> 6] |= uint64_t(isBackground) << (x & 63);
        if (wantWhite) white[x >> 6] |= uint64_t(isBackground & (p[1] == 255) & (p[2] == 255)) << (x & 63);
    }
}

void rowMasksFrom(size_t x, const uint8_t* row, size_t width, uint64_t* background, uint64_t* white) {
    if (white != nullptr) {
        rowMasksFrom<true>(x, row, width, background, white);
    } else {
        rowMasksFrom<false>(x, row, width, background, white);
    }
}

void clearWords(size_t width, uint64_t* background, uint64_t* white) {
    for (size_t k = 0; k < maskWords(width); ++k) {
        background[k] = 0;
        if (white != nullptr) white[k] = 0;
    }
}

#ifdef KESTROVA_SSE2
// Sixteen pixels (48 bytes) at a time: a bit for each byte equal to 255,
// then every third bit.
void rowMasksSse2(const uint8_t* row, size_t width, uint64_t* background, uint64_t* white) {
    const __m128i ones = _mm_set1_epi8(-1);
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8_t* p = row + x * 3;
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        const uint64_t m = uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a, ones)))) |
                           uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(b, ones)))) << 16 |
                           uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(c, ones)))) << 32;
        background[x >> 6] |= everyThirdBit(m) << (x & 63);
        if (white != nullptr) white[x >> 6] |= everyThirdBit(m & m >> 1 & m >> 2) << (x & 63);
    }
    rowMasksFrom(x, row, width, background, white);
}
#endif

#ifdef KESTROVA_SSSE3
// Sixteen pixels at a time: byte shuffles sort the 48 bytes into the
// sixteen first, second and third bytes of the pixels.
__attribute__((target("ssse3"))) void rowMasksSsse3(const uint8_t* row, size_t width, uint64_t* background,
                                                    uint64_t* white) {
    const __m128i ones = _mm_set1_epi8(-1);
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const PixelBytes16 bytes = splitPixels16(row + x * 3);
        background[x >> 6] |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes.first, ones)))) << (x & 63);
        if (white != nullptr) {
            const __m128i all = _mm_and_si128(bytes.first, _mm_and_si128(bytes.second, bytes.third));
            white[x >> 6] |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(all, ones)))) << (x & 63);
        }
    }
    rowMasksFrom(x, row, width, background, white);
}
#endif

}  // namespace

void rowMasks(const uint8_t* row, size_t width, uint64_t* background, uint64_t* white) {
    rowMasksUsing(2, row, width, background, white);
}

void rowMasksUsing(int instructions, const uint8_t* row, size_t width, uint64_t* background, uint64_t* white) {
    clearWords(width, background, white);
    if (instructions <= 0) {
        rowMasksFrom(0, row, width, background, white);
        return;
    }
#if defined(KESTROVA_SSSE3)
    if (instructions >= 2 && processorHasSsse3()) {
        rowMasksSsse3(row, width, background, white);
        return;
    }
#endif
#if defined(KESTROVA_SSE2)
    rowMasksSse2(row, width, background, white);
#else
    rowMasksFrom(0, row, width, background, white);
#endif
}

namespace {

struct SlotMasks {
    std::vector<uint64_t> words;
    uint8_t* image = nullptr;  // null while nothing is kept
    size_t width = 0, height = 0;
    bool backgroundWritten = true;
};

SlotMasks slotMasks[2];

bool validSlot(int slot) { return slot == 0 || slot == 1; }

}  // namespace

void whitenBackground(uint8_t* image, size_t width, size_t height, const uint64_t* masks) {
    // Runs of background pixels, joined across words and rows (the rows
    // are contiguous), each written with one memset.
    const size_t words = maskWords(width);
    size_t runStart = 0, runEnd = 0;  // pixel numbers
    auto addRun = [&](size_t from, size_t to) {
        if (from != runEnd) {
            if (runEnd > runStart) std::memset(image + runStart * 3, 255, (runEnd - runStart) * 3);
            runStart = from;
        }
        runEnd = to;
    };
    for (size_t y = 0; y < height; ++y) {
        const uint64_t* mask = masks + y * words;
        for (size_t k = 0; k < words; ++k) {
            const size_t first = y * width + k * 64, pixels = width - k * 64 < 64 ? width - k * 64 : 64;
            const uint64_t all = pixels == 64 ? ~uint64_t(0) : (uint64_t(1) << pixels) - 1;
            const uint64_t background = mask[k] & all;
            if (background == all) {
                addRun(first, first + pixels);
                continue;
            }
            for (uint64_t left = background; left != 0;) {
                const int start = lowestBit(left);
                const uint64_t run = left + (uint64_t(1) << start);  // clears the run (0 when it reaches bit 63)
                const int end = run == 0 ? 64 : lowestBit(run & ~left);
                addRun(first + size_t(start), first + size_t(end));
                left &= run;
            }
        }
    }
    addRun(~size_t(0), ~size_t(0));  // writes the last run
}

void writeSlotBackground(int slot) {
    if (!validSlot(slot)) return;
    SlotMasks& m = slotMasks[slot];
    if (m.image == nullptr || m.backgroundWritten) return;
    whitenBackground(m.image, m.width, m.height, m.words.data());
    m.backgroundWritten = true;
}

uint64_t* slotMasksToFill(int slot, size_t width, size_t height) {
    if (!validSlot(slot)) return nullptr;
    forgetSlotMasks(slot);
    SlotMasks& m = slotMasks[slot];
    const size_t words = maskWords(width) * height;
    if (m.words.size() < words) {
        try {
            m.words.resize(words);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return m.words.data();
}

void keepSlotMasks(int slot, uint8_t* image, size_t width, size_t height, bool backgroundWritten) {
    if (!validSlot(slot)) return;
    SlotMasks& m = slotMasks[slot];
    if (m.words.size() < maskWords(width) * height) return;
    m.image = image;
    m.width = width;
    m.height = height;
    m.backgroundWritten = backgroundWritten;
}

uint64_t* keptSlotMasks(int slot, const uint8_t* image, size_t width, size_t height) {
    if (!validSlot(slot)) return nullptr;
    SlotMasks& m = slotMasks[slot];
    if (image == nullptr || m.image != image || m.width != width || m.height != height) return nullptr;
    return m.words.data();
}

void forgetSlotMasks(int slot) {
    if (!validSlot(slot)) return;
    writeSlotBackground(slot);
    slotMasks[slot].image = nullptr;
}

void dropSlotMasks(int slot) {
    if (!validSlot(slot)) return;
    slotMasks[slot].image = nullptr;
    slotMasks[slot].backgroundWritten = true;
}
