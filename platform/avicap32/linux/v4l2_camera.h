// Real cameras through V4L2. libv4l2 converts whatever the camera sends into
// 24-bit BGR; frames are handed over bottom-up with packed rows, as a 24-bit
// device-independent bitmap stores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace standin {

// Width of the frames handed over for a camera of the given width: the
// largest multiple of 4 not above it (0 when below 4), so that packed rows
// equal bitmap rows. The right edge is cropped.
int bottomUpFrameWidth(int cameraWidth);

// Copies height rows of 24-bit pixels, given top row first with srcStride
// bytes from one row to the next, into dst as rows of dstWidth * 3 bytes,
// bottom row first, keeping the leftmost dstWidth pixels of each row.
// dst must hold dstWidth * 3 * height bytes. Returns false and writes nothing
// for null pointers, sizes that are not positive, dstWidth above srcWidth or
// a stride shorter than srcWidth * 3 bytes.
bool convertTopDownToBottomUp(const uint8_t* src, int srcWidth, int height, size_t srcStride, int dstWidth,
                              uint8_t* dst);

// One open V4L2 capture device, streaming from the moment it is opened.
class V4l2Camera {
public:
    // Opens the device at path and sets it to BGR24 at its current size.
    // Null on failure, with the reason in error.
    static std::unique_ptr<V4l2Camera> open(const std::string& path, std::string& error);
    ~V4l2Camera();
    V4l2Camera(const V4l2Camera&) = delete;
    V4l2Camera& operator=(const V4l2Camera&) = delete;

    // Size of the frames grab hands over (width a multiple of 4).
    int width() const { return frameWidth_; }
    int height() const { return height_; }
    size_t frameBytes() const { return size_t(frameWidth_) * 3 * size_t(height_); }

    // Writes the newest frame the camera has into frame (frameBytes() bytes),
    // waiting at most about one frame interval for one to arrive. False when
    // no frame came; after the device failed or went away it stays false.
    bool grab(uint8_t* frame);
    bool gone() const { return gone_; }

private:
    V4l2Camera() = default;
    bool grabStreaming(uint8_t* frame);
    bool grabRead(uint8_t* frame);
    bool requeue(uint32_t index);
    void fail();

    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };
    int fd_ = -1;
    bool streaming_ = false;
    bool gone_ = false;
    int cameraWidth_ = 0;
    int frameWidth_ = 0;
    int height_ = 0;
    size_t bytesPerLine_ = 0;
    size_t cameraFrameBytes_ = 0;  // bytes a complete camera frame needs
    int timeoutMs_ = 40;
    std::vector<Buffer> buffers_;
    std::vector<uint8_t> readBuffer_;
};

// Device paths (dir/videoN, in order of N) of the V4L2 devices under dir
// that capture video.
std::vector<std::string> listV4l2CaptureDevices(const std::string& dir = "/dev");

}  // namespace standin
