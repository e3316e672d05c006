// Real cameras through V4L2. Cameras that send YUYV or MJPEG (every UVC
// webcam) are streamed in that format and only the newest frame of each grab
// is converted (YUYV by frame_conversion.h's routine, the same as on
// Windows; MJPEG by libjpeg-turbo); any other format goes through libv4l2's own
// conversion to BGR24. Frames are handed over bottom-up with packed rows, as
// a 24-bit device-independent bitmap stores them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/avicap32/camera_device.h"
#include "platform/avicap32/linux/driver_thread.h"

namespace standin {

// Width of the frames handed over for a camera of the given width: the
// largest multiple of 4 not above it (0 when below 4), so that packed rows
// equal bitmap rows. The rightmost columns are cropped, so x keeps the
// camera's own coordinates. (A camera whose frames only libv4l2 can convert
// may come out of libv4l2 already cropped to a multiple of 8 about the
// centre; x then counts from libv4l2's left edge. YUYV and MJPEG, which
// every UVC camera sends, never pass through that crop.)
int bottomUpFrameWidth(int cameraWidth);

// Copies height rows of 24-bit pixels, given top row first with srcStride
// bytes from one row to the next, into dst as rows of dstWidth * 3 bytes,
// bottom row first, keeping the leftmost dstWidth pixels of each row.
// dst must hold dstWidth * 3 * height bytes. Returns false and writes nothing
// for null pointers, sizes that are not positive, dstWidth above srcWidth or
// a stride shorter than srcWidth * 3 bytes.
bool convertTopDownToBottomUp(const uint8_t* src, int srcWidth, int height, size_t srcStride, int dstWidth,
                              uint8_t* dst);

// Converts one camera frame in YUYV (rows of bytesPerLine bytes) or MJPEG
// (bytesUsed bytes of JPEG) of width x height to BGR rows of dstWidth * 3
// bytes, bottom row first, keeping the leftmost dstWidth pixels (dstWidth
// at most width). False, with dst untouched, for a frame that is short,
// truncated, corrupt or of another size. scratch is reused between calls.
bool convertCameraFrame(uint32_t fourcc, const uint8_t* data, size_t bytesUsed, int width, int height,
                        size_t bytesPerLine, int dstWidth, uint8_t* dst, std::vector<uint8_t>& scratch);

// One V4L2 capture device, streaming from the moment it is opened. Once the
// device has gone away, its grabs say Lost for good; reopener() opens the
// same path again at the same size when it is back.
class V4l2Camera : public CameraDevice {
public:
    // Opens the device at path (a /dev/videoN node or a stable
    // /dev/v4l/by-id/... or by-path name). Null on failure, with the reason
    // in error.
    static std::unique_ptr<V4l2Camera> open(const std::string& path, std::string& error);
    // The same, for a device that must give frames of exactly this size.
    static std::unique_ptr<V4l2Camera> openAtSize(const std::string& path, int cameraWidth, int height,
                                                  std::string& error);
    ~V4l2Camera() override;
    V4l2Camera(const V4l2Camera&) = delete;
    V4l2Camera& operator=(const V4l2Camera&) = delete;

    // Size of the frames grab hands over (width a multiple of 4).
    int width() const override { return frameWidth_; }
    int height() const override { return height_; }
    // e.g. "640x480 YUYV at 30 fps (Integrated Camera)"
    std::string description() const override { return description_; }

    // Writes the newest frame the camera has into frame, waiting at most
    // about one frame interval for one to arrive. The driver's calls run on
    // the camera's own thread: one that does not return within half a second
    // more loses the camera, which is not opened again until it has.
    GrabResult grab(uint8_t* frame) override;

    Reopen reopener() const override;

    // Exposure (V4L2_CID_EXPOSURE_AUTO, _ABSOLUTE) and white balance
    // (V4L2_CID_AUTO_WHITE_BALANCE, _WHITE_BALANCE_TEMPERATURE), by id
    // (v4l2_controls.cpp).
    SettingsOutcome applySettings(const CameraSettings& settings) override;

private:
    explicit V4l2Camera(std::string path) : path_(std::move(path)) {}
    // Opens the device and starts it streaming; wantWidth/wantHeight, when
    // above 0, is the size it must give.
    bool start(int wantWidth, int wantHeight, std::string& error);
    bool startStreaming(std::string& error);
    void unmapBuffers();
    void stop();
    GrabResult dequeueNewest();
    GrabResult grabRead(uint8_t* frame);
    bool requeue(uint32_t index);
    void dropFilledBuffers();

    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };
    std::string path_;
    std::string description_;
    int fd_ = -1;
    bool streaming_ = false;
    bool lost_ = false;
    std::chrono::steady_clock::time_point lastFrameAt_{};
    int frameIntervalMs_ = 40;
    uint32_t fourcc_ = 0;  // what the device sends: YUYV, MJPEG, or BGR24 from libv4l2
    int cameraWidth_ = 0;
    int frameWidth_ = 0;
    int height_ = 0;
    size_t bytesPerLine_ = 0;
    size_t cameraFrameBytes_ = 0;  // bytes a complete BGR24 or YUYV frame needs
    int timeoutMs_ = 40;
    std::vector<Buffer> buffers_;
    std::vector<uint8_t> readBuffer_;
    std::vector<uint8_t> scratch_;
    // The driver thread's: a grab's result, the newest buffer it dequeued
    // (the grab converts it; the next grab's calls give it back) or, without
    // streaming, the frame it read. Read by the grab once the thread has
    // answered, never after it did not.
    GrabResult driverResult_ = GrabResult::NoNewFrame;
    uint32_t heldIndex_ = 0, heldBytes_ = 0;
    bool holding_ = false;
    std::vector<uint8_t> driverFrame_;
    bool driverHung_ = false;  // this camera put its path among the hung ones
    // Last, so that it ends before the members its calls use.
    DriverThread driver_;
};

// Device paths (dir/videoN, in order of N) of the V4L2 devices under dir
// that capture video; metadata nodes and other devices are left out.
std::vector<std::string> listV4l2CaptureDevices(const std::string& dir = "/dev");

}  // namespace standin
