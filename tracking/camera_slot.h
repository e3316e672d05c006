// The state shared by tracking, measurement and display: two camera slots and
// the tracker's counters and settings, plus frame intake.
#pragma once

#include <cstddef>
#include <cstdint>

// Integer pixel position: x from the left edge, y the row index counted from
// the bottom row of the picture. (0, 0) also stands for "no target".
struct ImagePoint {
    int32_t x;
    int32_t y;
};

// Where the work image is kept. Its bytes hold what the work image means
// only as handed out by usableWorkImage (or, to the analysis itself, by
// analysedWorkImage and workImageToOverwrite): between intake and
// segmentation its leading bytes are still pending in the raw image, and
// after a tick the background pixels segmentation left unwritten are only in
// its masks. So only tracking/camera_slot.cpp reaches the bytes; anyone may
// ask whether the image is there.
class WorkImageStorage {
public:
    bool present() const { return bytes_ != nullptr; }
    friend bool operator==(const WorkImageStorage& image, std::nullptr_t) { return image.bytes_ == nullptr; }
    friend bool operator!=(const WorkImageStorage& image, std::nullptr_t) { return image.bytes_ != nullptr; }

private:
    friend struct WorkImageStorageAccess;  // tracking/camera_slot.cpp
    uint8_t* bytes_ = nullptr;
};

// One camera. Images are 24 bits a pixel (blue, green, red), rows packed at
// width * 3 bytes, row 0 at the bottom of the picture.
struct CameraSlot {
    int32_t width;
    int32_t height;
    // Analysed and overwritten in place; absent (== nullptr) until the first
    // frame. Its bytes are valid only through usableWorkImage (see above).
    WorkImageStorage workImage;
    uint8_t* rawImage;   // untouched copy of the last frame; null while absent
    ImagePoint latestPoint;
};

// What the camera views show; a left click steps to the next, after the last
// back to the first.
constexpr int32_t VIEW_RAW = 0;      // the camera picture
constexpr int32_t VIEW_MASK = 1;     // the segmentation mask
constexpr int32_t VIEW_OVERLAY = 2;  // the picture, foreground painted white
constexpr int32_t VIEW_MODE_COUNT = 3;

struct TrackerState {
    int32_t threshold;  // starts at 60
    int32_t viewMode;   // one of the VIEW_* modes above, starts at VIEW_RAW
    int32_t sums[4];    // x0, y0, x1, y1
    int32_t sampleCount;
    ImagePoint averagedPoints[2];
};

extern CameraSlot cameraSlots[2];
extern TrackerState tracker;

// Takes a delivered frame into both images of the slot, allocating them on
// the first frame. Always returns true.
//
// The frame is copied into the raw image only; the work image's leading
// bytes are marked as pending, equal to the raw image's, and are copied
// when the work image is first asked for (usableWorkImage), unless
// segmentation, which reads them from the raw image and writes its result
// into the work image, comes first. So a tick copies each frame once.
bool acceptFrame(int slot, const uint8_t* frame, uint32_t bytesUsed);

// Bytes an image of the slot holds at its current size: width * 3 * height,
// 0 for an unknown slot or a size that is not positive.
size_t slotImageBytes(int slot);

// The slot's images, or null when absent, when the slot's size has no pixel
// (0 or negative), or when smaller than the slot's current size (only
// possible if the size was changed after the images were made).
// Every reader of the images goes through these: the work image they hand
// out holds the frame (or the analysis result) in full, a pending copy from
// the raw image made first. The raw image is written by intake alone.
uint8_t* usableWorkImage(int slot);
const uint8_t* usableRawImage(int slot);

// The work image as the speck filter and the centroid use it: the same as
// usableWorkImage, except that background pixels the segmentation left
// unwritten (see pixel_masks.h) stay so while its masks are kept; those
// steps take them from the masks.
uint8_t* analysedWorkImage(int slot);

// For segmentation, which overwrites every byte of the work image: the
// usable work image without making its pending copy, with the raw image
// and the number of leading bytes (at most the slot's image size) still to
// be read from there instead. Null as usableWorkImage. Once the work
// image has been written in full, the caller ends the pending copy with
// workImageWritten.
struct WorkImageToOverwrite {
    uint8_t* work;
    const uint8_t* pendingFrom;  // the raw image; null when nothing is pending
    size_t pendingBytes;
};
WorkImageToOverwrite workImageToOverwrite(int slot);
void workImageWritten(int slot);

// The work image's storage as it stands, pending copy and unwritten
// background included; null while absent. Not for the program, which reads
// through the calls above: for checks that follow the storage itself.
const uint8_t* workImageStorageBytes(int slot);

// Frees both images and puts the slot and the tracker back to their initial
// values. The program never calls these; tests and the fuzzer do.
void resetCameraSlot(int slot);
void resetTrackerState();
