// The pre-test's limits and the packed levels of one reference and
// threshold (pass_limits.h), built from the colour table.
#include "tracking/pass_limits.h"

#include <cstring>

namespace {

constexpr size_t kColours = size_t(1) << 24;

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

}  // namespace

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
