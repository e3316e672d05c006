#include "tracking/segmentation.h"

#include <cstddef>

#include "tracking/camera_slot.h"
#include "tracking/colour_levels.h"
#include "tracking/pixel_masks.h"

namespace {

// From this many pixels on (a 320x240 camera frame has more) an image is
// segmented through the per-colour table, built on the first such image:
// about 0.1 s once, against about 7 ns a pixel computed and under 1 ns a
// pixel looked up. Smaller images are computed pixel by pixel.
constexpr size_t kTablePixels = size_t(1) << 16;

}  // namespace

void segmentByColour(int slot, uint32_t reference) {
    const WorkImageToOverwrite target = workImageToOverwrite(slot);
    if (target.work == nullptr) return;
    const size_t pixels = slotImageBytes(slot) / 3;
    if (pixels >= kTablePixels) {
        // Through the table, leaving the masks for the speck filter and
        // the centroid. A frame that intake left in the raw image alone is
        // read from there, saving the copy into the work image.
        const size_t width = size_t(cameraSlots[slot].width), height = size_t(cameraSlots[slot].height);
        uint64_t* masks = slotMasksToFill(slot, width, height);
        // Background pixels are left for whoever reads the image next (see
        // pixel_masks.h): most ticks nobody does.
        if (segmentImageWithMasks(target.work, width, height, reference, tracker.threshold, masks, target.pendingFrom,
                                  target.pendingBytes, false)) {
            workImageWritten(slot);
            keepSlotMasks(slot, target.work, width, height, false);
            return;
        }
    }
    uint8_t* image = usableWorkImage(slot);  // with the frame copied in
    forgetSlotMasks(slot);
    segmentPixels(image, pixels, reference, tracker.threshold, pixels >= kTablePixels);
}
