// The cameras below the capture windows: one small interface, and a backend
// for each kind of camera. The capture windows (capture_window.cpp) hand the
// rig's cameras out to the windows that connect to driver 0 and turn a grab
// into a frame for the window's frame callback; the backends only produce
// frames. Which entry of KESTROVA_CAMERAS names which backend is one table,
// camera_backends.cpp; a lost camera comes back the same way for every
// backend, returning_camera.h.
//
// Which backends build where:
//   both platforms  the simulated stereo rig (simulated_camera.cpp), and the
//                   conversions of camera frames (frame_conversion.cpp)
//   Linux           V4L2 cameras (linux/v4l2_camera.cpp), recorded footage
//                   through FFmpeg (linux/recorded_footage.cpp)
//   Windows         DirectShow cameras (windows/directshow_camera.cpp),
//                   recorded footage through Media Foundation
//                   (windows/media_foundation.cpp), the system's own Video for
//                   Windows (windows/vfw_camera.cpp)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/avicap32/camera_settings.h"
#include "platform/avicap32/stereo_rig.h"

namespace standin {

class PlaybackClock;

enum class GrabResult {
    NewFrame,    // a frame the camera gave since the last grab was written
    NoNewFrame,  // none came within the wait; nothing was written
    Lost,        // the camera is not there (now); nothing was written
};

class CameraDevice {
public:
    virtual ~CameraDevice() = default;

    // Size of the frames grab writes. The width is a multiple of 4, so that
    // packed rows are bitmap rows; both stay as they were at opening.
    virtual int width() const = 0;
    virtual int height() const = 0;

    // Writes the newest frame the camera has into frame: width() * 3 *
    // height() bytes, 24-bit blue-green-red, rows packed, bottom row first.
    // Waits at most about one frame interval for one to arrive, and never
    // blocks for long on a camera that is gone.
    virtual GrabResult grab(uint8_t* frame) = 0;

    // How many leading bytes of its frame the last NewFrame grab wrote:
    // the whole image, except from a driver that delivers short frames,
    // which are passed on as they came (intake takes what a frame holds).
    virtual size_t frameBytes() const { return size_t(width()) * 3 * size_t(height()); }

    // What the camera is, for the line that says which camera became left
    // and which right (e.g. "1280x720 MJPEG at 30 fps (HD Webcam)").
    virtual std::string description() const { return std::string(); }

    // Opens this same camera again, at the same frame size, once it has been
    // lost: null (with the reason in error, or no reason while the camera is
    // simply not there) until it is back. Runs on a thread of its own (see
    // returning_camera.h). Empty for a camera that cannot come back.
    using Reopen = std::function<std::unique_ptr<CameraDevice>(std::string& error)>;
    virtual Reopen reopener() const { return Reopen(); }

    // Sets the user's exposure and white balance (those not Unset) and says
    // what came of it. No frame the camera gave before is handed over after:
    // the first frame a grab writes is one taken with the settings.
    virtual SettingsOutcome applySettings(const CameraSettings& settings) {
        return settingsWithoutControls(settings, "not a camera with such controls");
    }
};

// Host cameras: V4L2 devices on Linux, DirectShow video input devices on
// Windows.
// Every camera present, in the order the platform numbers them.
std::vector<std::string> listHostCameras();
// Opens a host camera by the name KESTROVA_CAMERAS gives (Linux: a device
// path; Windows: an index or part of a camera's name). Null on failure, with
// the reason in error.
std::unique_ptr<CameraDevice> openHostCamera(const std::string& name, std::string& error);

// Recorded footage: a video file played in a loop at its own frame rate, on
// a clock shared with the other file of its pair (see playback_clock.h).
std::unique_ptr<CameraDevice> openRecordedFootage(const std::string& path, std::shared_ptr<PlaybackClock> clock,
                                                  std::string& error);

#ifdef _WIN32
// The system's own Video for Windows capture driver 0, through avicap32.dll
// loaded at run time.
std::unique_ptr<CameraDevice> openVfwCamera(std::string& error);
#endif

// The simulated stereo rig's camera 0 (left) or 1 (right), width x height,
// with the ball held still at view.distance metres (or moving, for 0; with
// a second distance, 5 s at each in turn), on the physical rig view.rig.
// The two cameras of one rig share its clock: each grab of the left camera
// advances the scene by 40 ms, and the right camera sees the same instant.
struct SimulatedScene {
    uint64_t leftGrabs = 0;
};
struct SimulatedView {
    double distance = 0.0;
    double secondDistance = 0.0;
    SimulatedRig rig;
};
std::unique_ptr<CameraDevice> openSimulatedCamera(int camera, const SimulatedView& view, int width, int height,
                                                  std::shared_ptr<SimulatedScene> scene);

}  // namespace standin
