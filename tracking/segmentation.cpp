#include "tracking/segmentation.h"

#include <cmath>
#include <cstddef>

#include "tracking/camera_slot.h"

void normaliseColour(float& c0, float& c1, float& c2) {
    const double d0 = c0, d1 = c1, d2 = c2;
    const float sumOfSquares = float(d0 * d0 + d1 * d1 + d2 * d2);
    const float length = float(std::sqrt(double(sumOfSquares)));
    if (length > 0.15f) {
        c0 = float(d0 / length);
        c1 = float(d1 / length);
        c2 = float(d2 / length);
    }
}

namespace {

// One pixel against a normalised reference: its grey level, or 255.
uint8_t segmentPixel(const uint8_t* pixel, float r0, float r1, float r2, int32_t threshold) {
    static const float s5 = float(std::sqrt(5.0));
    float p0 = float(pixel[0] / 255.0);
    float p1 = float(pixel[1] / 255.0);
    float p2 = float(pixel[2] / 255.0);
    normaliseColour(p0, p1, p2);
    const double e0 = double(p0) - r0, e1 = double(p1) - r1, e2 = double(p2) - r2;
    const float sum = float(e0 * e0 + e1 * e1 + e2 * e2);
    const float d = float(std::sqrt(double(sum)));
    float v = float((double(d) * 255.0) / double(s5));
    if (double(v) > double(threshold)) v = 255.0f;
    return uint8_t(int32_t(v));
}

}  // namespace

void segmentByColour(int slot, uint32_t reference) {
    float r0 = float((reference & 0xFF) / 255.0);
    float r1 = float(((reference >> 8) & 0xFF) / 255.0);
    float r2 = float(((reference >> 16) & 0xFF) / 255.0);
    uint8_t* image = usableWorkImage(slot);
    if (image == nullptr) return;
    normaliseColour(r0, r1, r2);

    const size_t pixels = slotImageBytes(slot) / 3;
    for (size_t i = 0; i < pixels; ++i) {
        uint8_t* p = image + i * 3;
        const uint8_t grey = segmentPixel(p, r0, r1, r2, tracker.threshold);
        p[0] = p[1] = p[2] = grey;
    }
}
