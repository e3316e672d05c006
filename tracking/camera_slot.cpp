#include "tracking/camera_slot.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "tracking/pixel_masks.h"

CameraSlot cameraSlots[2] = {};

// The one way to the work image's bytes.
struct WorkImageStorageAccess {
    static uint8_t*& bytes(WorkImageStorage& image) { return image.bytes_; }
};
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

// Leading bytes of each work image that stand for the raw image's bytes:
// the work image's content is the raw image's first pendingBytes bytes
// followed by its own bytes from there on. Only ever set while both images
// exist, and never above either's capacity.
size_t pendingBytes[2] = {0, 0};

// Copies a frame in pieces of 64 KiB. The C library copies a whole HD frame
// at once with stores that bypass the caches, so segmentation would read it
// back from memory; copied in pieces it is still in the cache (a sixth off
// the tick in the benchmark).
void copyInPieces(uint8_t* to, const uint8_t* from, size_t bytes) {
    constexpr size_t kPiece = size_t(1) << 16;
    for (size_t at = 0; at < bytes; at += kPiece) std::memcpy(to + at, from + at, std::min(kPiece, bytes - at));
}

bool validSlot(int slot) { return slot == 0 || slot == 1; }

uint8_t*& workBytes(int slot) { return WorkImageStorageAccess::bytes(cameraSlots[slot].workImage); }

// Copies the pending bytes from the raw image into the work image.
void makePendingCopy(int slot) {
    if (pendingBytes[slot] == 0) return;
    std::memcpy(workBytes(slot), cameraSlots[slot].rawImage, pendingBytes[slot]);
    pendingBytes[slot] = 0;
}

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
uint8_t* analysedWorkImage(int slot) {
    if (!validSlot(slot)) return nullptr;
    const uint64_t bytes = requestedBytes(slot);
    if (bytes == 0 || bytes > workCapacity[slot]) return nullptr;
    makePendingCopy(slot);
    return workBytes(slot);
}

uint8_t* usableWorkImage(int slot) {
    uint8_t* image = analysedWorkImage(slot);
    if (image != nullptr) writeSlotBackground(slot);
    return image;
}

// Pending bytes past the current size (the size shrank since the frame)
// are copied now: segmentation writes only the bytes within the size, and
// what stays pending must be a run of leading bytes.
WorkImageToOverwrite workImageToOverwrite(int slot) {
    if (!validSlot(slot)) return WorkImageToOverwrite{nullptr, nullptr, 0};
    const uint64_t bytes = requestedBytes(slot);
    if (bytes == 0 || bytes > workCapacity[slot]) return WorkImageToOverwrite{nullptr, nullptr, 0};
    CameraSlot& s = cameraSlots[slot];
    size_t& pending = pendingBytes[slot];
    if (pending > bytes) {
        std::memcpy(workBytes(slot) + bytes, s.rawImage + bytes, pending - size_t(bytes));
        pending = size_t(bytes);
    }
    return WorkImageToOverwrite{workBytes(slot), pending != 0 ? s.rawImage : nullptr, pending};
}

void workImageWritten(int slot) {
    if (validSlot(slot)) pendingBytes[slot] = 0;
}

const uint8_t* workImageStorageBytes(int slot) { return validSlot(slot) ? workBytes(slot) : nullptr; }

const uint8_t* usableRawImage(int slot) {
    if (!validSlot(slot)) return nullptr;
    const uint64_t bytes = requestedBytes(slot);
    if (bytes == 0 || bytes > rawCapacity[slot]) return nullptr;
    return cameraSlots[slot].rawImage;
}

// When an allocation fails, the image stays absent and the next frame tries
// again. Meanwhile the frame is still copied into whichever image does exist:
// a missing raw image costs only the picture, not the tracking, and a missing
// work image only the tracking. Nothing is ever written to an absent image.
//
// With both images there, the frame goes into the raw image alone and the
// work image's first n bytes become pending, n the copied length. A second
// frame before the analysis keeps the longer of the two pending: below its
// own length the raw image holds the new frame, between the two lengths it
// still holds the bytes that were pending before, and past both the work
// image keeps its own, as bytes past a frame's length must.
bool acceptFrame(int slot, const uint8_t* frame, uint32_t bytesUsed) {
    if (!validSlot(slot)) return true;
    CameraSlot& s = cameraSlots[slot];
    const uint64_t size = requestedBytes(slot);
    uint8_t*& work = workBytes(slot);
    allocateImage(work, workCapacity[slot], size);
    allocateImage(s.rawImage, rawCapacity[slot], size);
    if (frame == nullptr) return true;

    const uint64_t wanted = std::min<uint64_t>(bytesUsed, size);
    const size_t toWork = work != nullptr ? size_t(std::min<uint64_t>(wanted, workCapacity[slot])) : 0;
    const size_t toRaw = s.rawImage != nullptr ? size_t(std::min<uint64_t>(wanted, rawCapacity[slot])) : 0;
    // A frame that covers the whole work image makes a background the
    // segmentation left unwritten meaningless; any other keeps the bytes
    // past its length, so that background is written first.
    if (toWork == workCapacity[slot]) {
        dropSlotMasks(slot);
    } else {
        forgetSlotMasks(slot);
    }
    if (work != nullptr && s.rawImage != nullptr && toWork == toRaw) {
        copyInPieces(s.rawImage, frame, toRaw);
        pendingBytes[slot] = std::max(pendingBytes[slot], toRaw);
        return true;
    }
    // One image only, or images made at different sizes: both copied now.
    makePendingCopy(slot);
    if (work != nullptr) std::memcpy(work, frame, toWork);
    if (s.rawImage != nullptr) std::memcpy(s.rawImage, frame, toRaw);
    return true;
}

void resetCameraSlot(int slot) {
    if (!validSlot(slot)) return;
    dropSlotMasks(slot);
    delete[] workBytes(slot);
    delete[] cameraSlots[slot].rawImage;
    cameraSlots[slot] = CameraSlot{};
    workCapacity[slot] = 0;
    rawCapacity[slot] = 0;
    pendingBytes[slot] = 0;
}

void resetTrackerState() { tracker = TrackerState{60, VIEW_RAW, {0, 0, 0, 0}, 0, {{0, 0}, {0, 0}}}; }
