#include "tracking/speck_filter.h"

#include <cstddef>
#include <vector>

#include "tracking/pixel_masks.h"

namespace {

// Adds three one-bit numbers in each of 64 bit positions at once.
inline void addBits(uint64_t a, uint64_t b, uint64_t c, uint64_t& sum, uint64_t& carry) {
    const uint64_t ab = a ^ b;
    sum = ab ^ c;
    carry = (a & b) | (ab & c);
}

// Bit x holds the bit at x - 1 (x + 1) of a row of words.
inline uint64_t fromLeft(const uint64_t* row, size_t k) { return row[k] << 1 | (k > 0 ? row[k - 1] >> 63 : 0); }
inline uint64_t fromRight(const uint64_t* row, size_t k, size_t words) {
    return row[k] >> 1 | (k + 1 < words ? row[k + 1] << 63 : 0);
}

// Bits of word k that are pixels 1 .. width - 2 (never on the border).
inline uint64_t innerColumns(size_t k, size_t width) {
    uint64_t mask = k == 0 ? ~uint64_t(1) : ~uint64_t(0);
    const size_t first = k * 64, last = width - 2;  // last inner column
    if (last < first) return 0;
    if (last - first < 63) mask &= (uint64_t(2) << (last - first)) - 1;
    return mask;
}

// Row bit masks: background (byte 0 is 255), and white (all three bytes
// 255, so clearing the pixel would change nothing).
struct RowBuffers {
    std::vector<uint64_t> words;
    uint64_t *below, *current, *above, *updated, *currentWhite, *aboveWhite;
};

// Scratch rows, kept from call to call and grown only for a wider image.
RowBuffers& rowBuffers(size_t words) {
    static RowBuffers rows;
    if (rows.words.size() < words * 6) {
        rows.words.assign(words * 6, 0);
    }
    uint64_t* base = rows.words.data();
    rows.below = base;
    rows.current = base + words;
    rows.above = base + words * 2;
    rows.updated = base + words * 3;
    rows.currentWhite = base + words * 4;
    rows.aboveWhite = base + words * 5;
    return rows;
}

// One row y of a pass (1 .. height - 2). The rule per inner pixel: cleared
// when five or more of its eight neighbours are background, where the row
// below and the left neighbour count as already updated by this pass. With
// the other seven neighbours counted in bit-parallel form, a pixel with at
// least five of them is cleared, one with exactly four is cleared if its
// left neighbour is background after the update, and whether a pixel is
// background after the update carries along the row like a carry through
// an addition: background = bg | clear7 | (four & background of left).
// Writes 255 into the pixels cleared (unless already white) and the row's
// mask after the update into `updated`.
void filterRow(uint8_t* row, size_t width, const uint64_t* below, const uint64_t* current, const uint64_t* above,
               const uint64_t* currentWhite, uint64_t* updated) {
    const size_t words = maskWords(width);
    uint64_t carryIn = 0;  // background after the update of the pixel before the word
    for (size_t k = 0; k < words; ++k) {
        if ((current[k] & currentWhite[k]) == ~uint64_t(0)) {  // all white: nothing to clear
            updated[k] = ~uint64_t(0);
            carryIn = 1;
            continue;
        }
        uint64_t s1, c1, s2, c2, b0, c3, b1, b2;
        addBits(fromLeft(below, k), below[k], fromRight(below, k, words), s1, c1);
        addBits(fromLeft(above, k), above[k], fromRight(above, k, words), s2, c2);
        addBits(s1, s2, fromRight(current, k, words), b0, c3);
        addBits(c1, c2, c3, b1, b2);
        const uint64_t inner = innerColumns(k, width);
        const uint64_t five = b2 & (b1 | b0) & inner;
        const uint64_t four = b2 & ~(b1 | b0) & inner;

        const uint64_t generate = current[k] | five;
        const uint64_t propagate = four & ~generate;
        const uint64_t a = generate | propagate;
        uint64_t sum = a + generate;
        uint64_t carryOut = sum < a;
        sum += carryIn;
        carryOut |= sum < carryIn;
        const uint64_t carries = sum ^ a ^ generate;  // bit x: background after the update at x - 1
        updated[k] = carries >> 1 | carryOut << 63;
        carryIn = carryOut;

        uint64_t toWrite = (five | (four & carries)) & ~currentWhite[k];
        while (toWrite != 0) {
            uint8_t* p = row + (k * 64 + size_t(lowestBit(toWrite))) * 3;
            p[0] = p[1] = p[2] = 255;
            toWrite &= toWrite - 1;
        }
    }
}

// One pass, reading the masks from the image row by row.
void removeSpecksOnce(uint8_t* image, size_t width, size_t height, RowBuffers& rows) {
    const size_t stride = width * 3;
    rowMasks(image, width, rows.below, nullptr);
    rowMasks(image + stride, width, rows.current, rows.currentWhite);
    for (size_t y = 1; y + 1 < height; ++y) {
        uint8_t* row = image + y * stride;
        rowMasks(row + stride, width, rows.above, rows.aboveWhite);
        filterRow(row, width, rows.below, rows.current, rows.above, rows.currentWhite, rows.updated);
        uint64_t* done = rows.below;
        rows.below = rows.updated;
        rows.updated = done;
        uint64_t* next = rows.current;
        rows.current = rows.above;
        rows.above = next;
        next = rows.currentWhite;
        rows.currentWhite = rows.aboveWhite;
        rows.aboveWhite = next;
    }
}

// One pass over an image whose masks the segmentation left: the image is
// touched only where a pixel is cleared, and the masks are kept up to date.
// Every background pixel of such an image is white.
void removeSpecksOnMasks(uint8_t* image, size_t width, size_t height, uint64_t* masks, uint64_t* updated) {
    const size_t stride = width * 3, words = maskWords(width);
    for (size_t y = 1; y + 1 < height; ++y) {
        uint64_t* current = masks + y * words;
        if (rowAllSet(current, width)) continue;  // nothing to clear
        filterRow(image + y * stride, width, current - words, current, current + words, current, updated);
        for (size_t k = 0; k < words; ++k) current[k] = updated[k];
    }
}

// Sum of the positions of the set bits of a word.
inline uint64_t bitPositionSum(uint64_t bits) {
    return uint64_t(countBits(bits & 0xAAAAAAAAAAAAAAAAull)) + 2 * uint64_t(countBits(bits & 0xCCCCCCCCCCCCCCCCull)) +
           4 * uint64_t(countBits(bits & 0xF0F0F0F0F0F0F0F0ull)) +
           8 * uint64_t(countBits(bits & 0xFF00FF00FF00FF00ull)) +
           16 * uint64_t(countBits(bits & 0xFFFF0000FFFF0000ull)) +
           32 * uint64_t(countBits(bits & 0xFFFFFFFF00000000ull));
}

}  // namespace

void removeSpecks(int slot, int passes) {
    uint8_t* image = analysedWorkImage(slot);
    if (image == nullptr) return;
    const CameraSlot& s = cameraSlots[slot];
    if (s.width < 3 || s.height < 3 || passes <= 0) return;  // every pixel lies on the border
    const size_t width = size_t(s.width), height = size_t(s.height);
    RowBuffers& rows = rowBuffers(maskWords(width));
    if (uint64_t* masks = keptSlotMasks(slot, image, width, height)) {
        for (int pass = 0; pass < passes; ++pass) removeSpecksOnMasks(image, width, height, masks, rows.updated);
        return;
    }
    // Masks kept for this image at another size would no longer describe it.
    forgetSlotMasks(slot);
    for (int pass = 0; pass < passes; ++pass) removeSpecksOnce(image, width, height, rows);
}

// The sums are 64-bit: a mostly red frame above about 1920x1080 would
// overflow 32-bit column and row sums.
ImagePoint findCentroid(int slot) {
    const uint8_t* image = analysedWorkImage(slot);
    if (image == nullptr) return ImagePoint{0, 0};
    const CameraSlot& s = cameraSlots[slot];
    if (s.width <= 0 || s.height <= 0) return ImagePoint{0, 0};
    int64_t count = 0, sumX = 0, sumY = 0;
    const size_t width = size_t(s.width), height = size_t(s.height), stride = width * 3, words = maskWords(width);
    const uint64_t* kept = keptSlotMasks(slot, image, width, height);
    if (kept == nullptr) writeSlotBackground(slot);  // the image is read instead
    uint64_t* scratch = rowBuffers(words).below;
    const uint64_t lastWord = width % 64 == 0 ? ~uint64_t(0) : (uint64_t(1) << (width % 64)) - 1;
    for (int32_t y = 0; y < s.height; ++y) {
        const uint64_t* background = scratch;
        if (kept != nullptr) {
            background = kept + size_t(y) * words;
            if (rowAllSet(background, width)) continue;
        } else {
            rowMasks(image + size_t(y) * stride, width, scratch, nullptr);
        }
        int64_t rowCount = 0;
        for (size_t k = 0; k < words; ++k) {
            const uint64_t foreground = ~background[k] & (k + 1 < words ? ~uint64_t(0) : lastWord);
            if (foreground == 0) continue;
            const int64_t inWord = countBits(foreground);
            rowCount += inWord;
            sumX += int64_t(k * 64) * inWord + int64_t(bitPositionSum(foreground));
        }
        count += rowCount;
        sumY += rowCount * y;
    }
    if (count == 0) return ImagePoint{0, 0};
    return ImagePoint{int32_t(sumX / count), int32_t(sumY / count)};
}
