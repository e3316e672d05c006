// How a lost camera comes back, the same for every backend: the grab that
// finds the camera gone hands the search to a thread of its own, which
// looks at once and then once a second, with the reopen function the camera
// gave (the same device at the same frame size). A grab never waits while a
// camera is set up: it says Lost until the thread has found the camera.
#pragma once

#include <memory>
#include <string>

#include "platform/avicap32/camera_device.h"

namespace standin {

// Wraps camera, named name in the lines said on standard error ("camera
// lost; trying again once a second", "camera back", "camera back but not
// usable: ..."), so that it comes back with reopen and gets settings again
// (what a setting came to is said only when it went wrong). A camera whose
// reopen is empty is handed back as it is.
std::unique_ptr<CameraDevice> makeReturning(std::unique_ptr<CameraDevice> camera, const std::string& name,
                                            CameraDevice::Reopen reopen, const CameraSettings& settings);

}  // namespace standin
