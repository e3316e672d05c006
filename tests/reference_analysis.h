// The straightforward per-pixel forms of the frame analysis, kept as the
// yardstick the optimised code in tracking/ must match byte for byte. They
// work on a plain image buffer (24 bits a pixel, rows packed at width * 3
// bytes) and are used by the equivalence tests and the benchmark.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace reference {

inline void normaliseColour(float& c0, float& c1, float& c2) {
    const double d0 = c0, d1 = c1, d2 = c2;
    const float sumOfSquares = float(d0 * d0 + d1 * d1 + d2 * d2);
    const float length = float(std::sqrt(double(sumOfSquares)));
    if (length > 0.15f) {
        c0 = float(d0 / length);
        c1 = float(d1 / length);
        c2 = float(d2 / length);
    }
}

struct Colour {
    float c0, c1, c2;
};

// The reference colour as the segmentation compares with it: bytes scaled
// to 0..1 and normalised.
inline Colour referenceColour(uint32_t reference) {
    Colour r{float((reference & 0xFF) / 255.0), float(((reference >> 8) & 0xFF) / 255.0),
             float(((reference >> 16) & 0xFF) / 255.0)};
    normaliseColour(r.c0, r.c1, r.c2);
    return r;
}

// The scaled colour distance v of one pixel (bytes blue, green, red) from a
// normalised reference, before the threshold is applied.
inline float scaledDistance(const uint8_t* pixel, const Colour& r) {
    static const float s5 = float(std::sqrt(5.0));
    float p0 = float(pixel[0] / 255.0);
    float p1 = float(pixel[1] / 255.0);
    float p2 = float(pixel[2] / 255.0);
    normaliseColour(p0, p1, p2);
    const double e0 = double(p0) - r.c0, e1 = double(p1) - r.c1, e2 = double(p2) - r.c2;
    const float sum = float(e0 * e0 + e1 * e1 + e2 * e2);
    const float d = float(std::sqrt(double(sum)));
    return float((double(d) * 255.0) / double(s5));
}

inline uint8_t segmentedLevel(float v, int32_t threshold) {
    if (double(v) > double(threshold)) v = 255.0f;
    return uint8_t(int32_t(v));
}

inline void segmentByColour(uint8_t* image, int32_t width, int32_t height, uint32_t reference,
                            int32_t threshold) {
    if (width <= 0 || height <= 0) return;
    const Colour r = referenceColour(reference);
    const size_t pixels = size_t(width) * size_t(height);
    for (size_t i = 0; i < pixels; ++i) {
        uint8_t* p = image + i * 3;
        p[0] = p[1] = p[2] = segmentedLevel(scaledDistance(p, r), threshold);
    }
}

inline bool isBackground(const uint8_t* image, size_t stride, size_t x, size_t y) {
    return image[y * stride + x * 3] == 255;
}

// In place, in scan order: a pixel cleared earlier in a pass counts as
// background for the pixels after it.
inline void removeSpecks(uint8_t* image, int32_t width, int32_t height, int passes) {
    if (width < 3 || height < 3) return;
    const size_t w = size_t(width), h = size_t(height), stride = w * 3;
    for (int pass = 0; pass < passes; ++pass) {
        for (size_t y = 1; y + 1 < h; ++y) {
            for (size_t x = 1; x + 1 < w; ++x) {
                const int background =
                    isBackground(image, stride, x, y + 1) + isBackground(image, stride, x + 1, y + 1) +
                    isBackground(image, stride, x + 1, y) + isBackground(image, stride, x + 1, y - 1) +
                    isBackground(image, stride, x, y - 1) + isBackground(image, stride, x - 1, y - 1) +
                    isBackground(image, stride, x - 1, y) + isBackground(image, stride, x - 1, y + 1);
                if (background > 4) {
                    uint8_t* p = image + y * stride + x * 3;
                    p[0] = p[1] = p[2] = 255;
                }
            }
        }
    }
}

struct Point {
    int32_t x, y;
};

inline Point findCentroid(const uint8_t* image, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return Point{0, 0};
    int64_t count = 0, sumX = 0, sumY = 0;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            if (image[(size_t(y) * size_t(width) + size_t(x)) * 3] < 255) {
                ++count;
                sumX += x;
                sumY += y;
            }
        }
    }
    if (count == 0) return Point{0, 0};
    return Point{int32_t(sumX / count), int32_t(sumY / count)};
}

// Two synthetic scenes beside the simulated rig's: every pixel a uniformly
// random colour, and a frame that is mostly target (about 95 % strong reds
// with some green and blue in them, the rest random).
inline std::vector<uint8_t> randomColourFrame(int32_t width, int32_t height, uint32_t seed) {
    std::vector<uint8_t> frame(size_t(width) * 3 * size_t(height));
    std::mt19937 random(seed);
    for (uint8_t& b : frame) b = uint8_t(random());
    return frame;
}

inline std::vector<uint8_t> mostlyRedFrame(int32_t width, int32_t height, uint32_t seed) {
    std::vector<uint8_t> frame = randomColourFrame(width, height, seed);
    std::mt19937 random(seed + 1);
    for (size_t i = 0; i < frame.size(); i += 3) {
        const uint32_t r = random();
        if (r % 100 < 95) {
            frame[i] = uint8_t(r >> 8) % 64;
            frame[i + 1] = uint8_t(r >> 16) % 64;
            frame[i + 2] = uint8_t(160 + (r >> 24) % 96);
        }
    }
    return frame;
}

}  // namespace reference
