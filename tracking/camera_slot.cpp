#include "tracking/camera_slot.h"

#include <algorithm>
#include <cstring>
#include <new>

CameraSlot cameraSlots[2] = {};
TrackerState tracker = {60, VIEW_RAW, {0, 0, 0, 0}, 0, {{0, 0}, {0, 0}}};

namespace {

// An image above this size is treated as an allocation failure. It is far
// above any camera frame (an 8K frame is about 100 MB) and keeps a corrupt
// frame size from asking the allocator for petabytes.
constexpr uint64_t kMaxImageBytes = uint64_t(1) << 30;

// What each image was allocated with; images are never resized, so a slot
// whose size grew afterwards must not be read past this.
size_t workCapacity[2] = {0, 0};
size_t rawCapacity[2] = {0, 0};

bool validSlot(int slot) { return slot == 0 || slot == 1; }

uint64_t requestedBytes(int slot) {
    const CameraSlot& s = cameraSlots[slot];
    if (s.width <= 0 || s.height <= 0) return 0;
    return uint64_t(s.width) * 3u * uint64_t(s.height);
}

// Allocates an image of the given size, or leaves it absent when that fails.
void allocateImage(uint8_t*& image, size_t& capacity, uint64_t bytes) {
    if (image != nullptr || bytes > kMaxImageBytes) return;
    image = new (std::nothrow) uint8_t[bytes];
    capacity = image != nullptr ? size_t(bytes) : 0;
}

}  // namespace

size_t slotImageBytes(int slot) {
    if (!validSlot(slot)) return 0;
    const uint64_t bytes = requestedBytes(slot);
    return bytes > kMaxImageBytes ? 0 : size_t(bytes);
}

// A slot without a pixel (a width or height of 0, or a negative one from a
// bogus frame size) has no usable image either: its zero-length images hold
// nothing to read, and a reader that walked its rows or columns by the
// slot's size would run off them.
uint8_t* usableWorkImage(int slot) {
    if (!validSlot(slot)) return nullptr;
    const uint64_t bytes = requestedBytes(slot);
    if (bytes == 0 || bytes > workCapacity[slot]) return nullptr;
    return cameraSlots[slot].workImage;
}

uint8_t* usableRawImage(int slot) {
    if (!validSlot(slot)) return nullptr;
    const uint64_t bytes = requestedBytes(slot);
    if (bytes == 0 || bytes > rawCapacity[slot]) return nullptr;
    return cameraSlots[slot].rawImage;
}

// When an allocation fails, the image stays absent and the next frame tries
// again. Meanwhile the frame is still copied into whichever image does exist:
// a missing raw image costs only the picture, not the tracking, and a missing
// work image only the tracking. Nothing is ever written to an absent image.
bool acceptFrame(int slot, const uint8_t* frame, uint32_t bytesUsed) {
    if (!validSlot(slot)) return true;
    CameraSlot& s = cameraSlots[slot];
    const uint64_t size = requestedBytes(slot);
    allocateImage(s.workImage, workCapacity[slot], size);
    allocateImage(s.rawImage, rawCapacity[slot], size);
    if (frame == nullptr) return true;

    const uint64_t wanted = std::min<uint64_t>(bytesUsed, size);
    if (s.workImage != nullptr) {
        std::memcpy(s.workImage, frame, size_t(std::min<uint64_t>(wanted, workCapacity[slot])));
    }
    if (s.rawImage != nullptr) {
        std::memcpy(s.rawImage, frame, size_t(std::min<uint64_t>(wanted, rawCapacity[slot])));
    }
    return true;
}

void resetCameraSlot(int slot) {
    if (!validSlot(slot)) return;
    delete[] cameraSlots[slot].workImage;
    delete[] cameraSlots[slot].rawImage;
    cameraSlots[slot] = CameraSlot{};
    workCapacity[slot] = 0;
    rawCapacity[slot] = 0;
}

void resetTrackerState() { tracker = TrackerState{60, VIEW_RAW, {0, 0, 0, 0}, 0, {{0, 0}, {0, 0}}}; }
