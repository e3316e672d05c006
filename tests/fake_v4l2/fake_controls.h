// A fake webcam's exposure and white balance controls, as UVC has them
// (see fake_controls.cpp), and the record of what the program did to a
// camera. Part of the fake V4L2 webcam; nothing here is part of the program.
#pragma once

#include <chrono>
#include <cstdint>

#include "tests/fake_v4l2/fake_camera.h"

namespace fake_v4l2 {

struct Controls {
    int32_t exposureAuto = 3;  // V4L2_EXPOSURE_APERTURE_PRIORITY, UVC's automatic mode
    int32_t exposure = 156;    // units of 100 us
    int32_t autoWhiteBalance = 1;
    int32_t temperature = 4600;  // kelvin
    std::chrono::steady_clock::time_point driftFrom{};  // automatic white balance drifts from here
};

// The camera's defaults, as on every plug.
void resetControls(Controls& controls);

// VIDIOC_QUERYCTRL, _QUERYMENU, _G_CTRL and _S_CTRL for the controls the
// camera has (config.controls); 0, or -1 with errno. Sets are recorded.
int controlIoctl(Controls& controls, const CameraConfig& config, unsigned long request, void* arg);

// The white balance temperature the picture is taken at now: the one set,
// or while automatic white balance is on, one that drifts slowly down from
// the default (config.awbSpeed seconds of drift a second), so that the
// picture's tint moves to blue. None for a camera without white balance
// (0).
int pictureTemperature(const Controls& controls, const CameraConfig& config);

// Appends one line to the camera's record file (config.record), if any.
void record(const CameraConfig& config, const char* line);

}  // namespace fake_v4l2
