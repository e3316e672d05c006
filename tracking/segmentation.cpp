#include "tracking/segmentation.h"

#include <cmath>
#include <cstddef>

#include "tracking/camera_slot.h"
#include "tracking/colour_levels.h"

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

// From this many pixels on, an image is segmented through the per-colour
// table. Building the table costs about as much as computing some tens of
// millions of pixels, once per reference colour; smaller images alone are
// cheaper to compute pixel by pixel.
constexpr size_t kTablePixels = size_t(1) << 14;

}  // namespace

void segmentByColour(int slot, uint32_t reference) {
    uint8_t* image = usableWorkImage(slot);
    if (image == nullptr) return;
    const size_t pixels = slotImageBytes(slot) / 3;
    segmentPixels(image, pixels, reference, tracker.threshold, pixels >= kTablePixels);
}
