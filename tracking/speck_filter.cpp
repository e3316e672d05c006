#include "tracking/speck_filter.h"

#include <cstddef>

namespace {

bool isBackground(const uint8_t* image, size_t stride, size_t x, size_t y) {
    return image[y * stride + x * 3] == 255;
}

}  // namespace

void removeSpecks(int slot, int passes) {
    uint8_t* image = usableWorkImage(slot);
    if (image == nullptr) return;
    const CameraSlot& s = cameraSlots[slot];
    if (s.width < 3 || s.height < 3) return;  // every pixel lies on the border
    const size_t width = size_t(s.width), height = size_t(s.height), stride = width * 3;

    for (int pass = 0; pass < passes; ++pass) {
        for (size_t y = 1; y + 1 < height; ++y) {
            for (size_t x = 1; x + 1 < width; ++x) {
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

// The sums are 64-bit: a mostly red frame above about 1920x1080 would
// overflow 32-bit column and row sums.
ImagePoint findCentroid(int slot) {
    const uint8_t* image = usableWorkImage(slot);
    if (image == nullptr) return ImagePoint{0, 0};
    const CameraSlot& s = cameraSlots[slot];
    int64_t count = 0, sumX = 0, sumY = 0;
    const size_t width = size_t(s.width), stride = width * 3;
    for (int32_t y = 0; y < s.height; ++y) {
        const uint8_t* row = image + size_t(y) * stride;
        for (size_t x = 0; x < width; ++x) {
            if (row[x * 3] < 255) {
                ++count;
                sumX += int64_t(x);
                sumY += y;
            }
        }
    }
    if (count == 0) return ImagePoint{0, 0};
    return ImagePoint{int32_t(sumX / count), int32_t(sumY / count)};
}
