// Cameras are taken down off the thread that gives them up. Closing a camera
// waits for its driver (V4L2's STREAMOFF, a DirectShow graph stopping, a
// search for a lost camera ending), and a driver can hang in such a call, so
// the window's thread hands the camera to a thread of its own and goes on.
// At exit the process waits a short while for those threads and then ends
// without them: a hung driver costs the exit at most that while.
#pragma once

#include <chrono>
#include <memory>

#include "platform/avicap32/camera_device.h"

namespace standin {

// Destroys camera on a thread of its own (here, when no thread can be had;
// null does nothing), and waits for that at most kRetireWait: a camera
// that closes in time can be opened again at once, one whose driver hangs
// costs the caller no more than that.
constexpr std::chrono::milliseconds kRetireWait{250};
void retireCamera(std::unique_ptr<CameraDevice> camera);

// Waits until every retired camera is down or the time is up; false when
// some are still going down.
bool awaitRetiredCameras(std::chrono::milliseconds timeout);

// From now on, the process waits at exit (after main returns, or exit) for
// the retired cameras, at most kExitWait, and then ends at once with the
// status 0, without running what is left of the exit. Called once the first
// capture window exists; later calls do nothing.
constexpr std::chrono::milliseconds kExitWait{1000};
void awaitRetiredCamerasAtExit();

}  // namespace standin
