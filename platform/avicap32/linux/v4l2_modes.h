// What a V4L2 device offers and how fast it runs: the questions asked of it
// when a camera is opened (format, size, frame rate) and when the bus has no
// room for its stream.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <vector>

namespace standin {
namespace v4l2 {

// The largest width or height taken from a device.
constexpr int kMaxDimension = 16384;

// ioctl through libv4l2, again when interrupted.
int xioctl(int fd, unsigned long request, void* arg);

bool isMjpeg(uint32_t fourcc);

// What the device node itself can do (its V4L2_CAP_* flags), from
// VIDIOC_QUERYCAP's answer.
uint32_t deviceCaps(const v4l2_capability& cap);

// Frames a second, from the current frame interval; 0 when unknown.
uint32_t currentFps(int fd);

// How long a grab may wait for the next frame: about one frame interval,
// within bounds so that a slow or stalled camera never holds a tick for long.
int frameTimeoutMs(int fd);

// Does the device itself (not libv4l2's emulation) send fourcc at width x height?
bool offersNatively(int fd, uint32_t fourcc, uint32_t width, uint32_t height);

// Among the sizes the device lists for its own YUYV and MJPEG, the one
// closest to 640x480 (as on Windows); false when it lists none.
bool closestSizeToVga(int fd, uint32_t& width, uint32_t& height);

// Smaller ways to stream when the bus has no room: the lower frame rates at
// the current size, then (unless the size is fixed) the smaller sizes,
// largest first.
struct Mode {
    uint32_t width, height, fps;  // fps 0: the size's own default
};
std::vector<Mode> smallerModes(int fd, uint32_t fourcc, uint32_t width, uint32_t height, uint32_t fps,
                               bool sizeFixed);

}  // namespace v4l2
}  // namespace standin
