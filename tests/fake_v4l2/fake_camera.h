// The cameras a fake V4L2 webcam stands for, and the frames they show.
// Preloaded into a program under test (see fake_v4l2.cpp); nothing here is
// part of the program.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake_v4l2 {

struct Size {
    uint32_t width = 0, height = 0;
};

// One camera, from one entry of FAKE_V4L2_CAMERAS:
//   path=/dev/video0,alias=/dev/v4l/by-id/usb-X-video-index0,formats=yuyv+mjpeg,
//   sizes=640x480+1280x720,fps=30,pad=64,control=/tmp/ball0,meta=1,
//   fault=truncate+corrupt+zero+overrun+badindex (any of them; on every other
//   frame, taking turns; corrupt only for MJPEG; +hang-streamoff: besides,
//   VIDIOC_STREAMOFF never returns),bandwidth=<bytes a second>,
//   controls=exposure+whitebalance (either),awbspeed=<drift speed-up>,
//   record=<file of control sets, stream starts and first frames>,
//   firstframe=<ms from stream start>,card=<name; "Fake Camera N" unset>
// The first size and format are the camera's initial format. The control
// file holds "x y" (the ball's centre, x from the left, y from the top row),
// optionally followed by "pause" (no frames), "unplug" (node gone) or "hang"
// (VIDIOC_DQBUF does not return).
struct CameraConfig {
    std::string path;
    std::vector<std::string> aliases;
    std::vector<uint32_t> formats;  // V4L2 fourccs
    std::vector<Size> sizes;
    uint32_t fps = 30;
    uint32_t pad = 0;  // extra bytes at the end of each YUYV row
    std::string control;
    bool meta = false;  // a metadata node, as UVC cameras have beside each video node
    std::string fault;
    uint64_t bandwidth = 0;  // 0: any stream fits
    std::string controls, record, card;
    double awbSpeed = 1.0;
    uint32_t firstFrameMs = 0;  // 0: one frame interval
};

std::vector<CameraConfig> parseCameras(const char* text);

// The ball as the control file sets it.
struct Scene {
    int x = 100, y = 100;
    bool paused = false;
    bool unplugged = false;
    bool hung = false;  // VIDIOC_DQBUF does not return
};

// A camera's exposure and white balance (fake_controls.cpp), by control id.
struct Controls {
    std::map<uint32_t, int32_t> values;
    std::chrono::steady_clock::time_point driftFrom{};  // automatic white balance drifts from here
};
void resetControls(Controls& controls);  // as the camera is plugged in
// VIDIOC_QUERYCTRL, _QUERYMENU, _G_CTRL and _S_CTRL: 0, or -1 with errno.
int controlIoctl(Controls& controls, const CameraConfig& config, unsigned long request, void* arg);
// The temperature the picture is taken at: the one set, or while automatic
// one drifting from the default to blue, 60 K a second times awbSpeed; 0
// for a camera without white balance.
int pictureTemperature(Controls& controls, const CameraConfig& config);
void record(const CameraConfig& config, const std::string& line);  // to config.record, if named

// Renders a textured background with a red ball of radius height / 20 at
// (x, y) as packed YUYV rows of bytesPerLine bytes. A white balance
// temperature (kelvin; 0 for none) below 4600 tints it blue, above it red.
void renderYuyv(uint32_t width, uint32_t height, uint32_t bytesPerLine, int x, int y, uint8_t* out,
                int temperature = 0);
// The same picture as a baseline JPEG (4:2:0).
std::vector<uint8_t> renderMjpeg(uint32_t width, uint32_t height, int x, int y, int temperature = 0);

}  // namespace fake_v4l2
