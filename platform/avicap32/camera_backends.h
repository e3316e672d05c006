// The kinds of camera a rig is made of, in one table: how an entry of
// KESTROVA_CAMERAS names each, what it is, where it exists and how it opens.
// A comma-separated KESTROVA_CAMERAS lists
//   sim[:<metres>[/<metres>]][@<width>x<height>]
//                                      the simulated rig (two cameras): a
//                                      moving ball, or one held still at that
//                                      distance (at two: 5 s each in turn);
//                                      320x240 unless sized; its own rig as
//                                      KESTROVA_SIM_RIG gives it
//   file:<left>,<right>                recorded footage played in a loop
//                                      (also file:<left>,file:<right>)
//   vfw                                the system's own Video for Windows
//                                      driver 0, for both windows (Windows)
//   anything else                      a host camera: a V4L2 device path on
//                                      Linux, an index or part of a camera's
//                                      name on Windows (DirectShow)
// Unset or empty: every host camera present, in order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/avicap32/camera_device.h"
#include "platform/avicap32/frame_recorder.h"
#include "platform/avicap32/playback_clock.h"

namespace standin {

struct CameraBackend;

// One camera of the rig, as an entry named it.
struct RigCameraEntry {
    const CameraBackend* backend = nullptr;  // null: the entry names no camera (it was said why)
    std::string name;  // for messages and for opening: the device, file or entry
    // The simulated rig's cameras only:
    int simulatedCamera = 0;  // 0 left, 1 right
    double distance = 0.0;    // > 0 holds the ball still at that distance
    double secondDistance = 0.0;  // > 0 as well: 5 s at each in turn
    SimulatedRig simulatedRig;    // the physical rig (KESTROVA_SIM_RIG)
    int width = 320, height = 240;
    // The user's exposure and white balance for this camera, applied when it
    // opens and whenever it comes back.
    CameraSettings settings;
    // KESTROVA_RECORD: the recording its frames are written to as well
    // (frame_recorder.h), under its place in the rig; null for none.
    std::shared_ptr<RecordingSession> recording;
};

// What the cameras of one rig share.
struct RigClocks {
    std::shared_ptr<SimulatedScene> scene = std::make_shared<SimulatedScene>();
    std::shared_ptr<PlaybackClock> playback = std::make_shared<PlaybackClock>();  // recorded files
};

struct CameraBackend {
    // How an entry names it: the word itself, or the word followed by ':'
    // or '@' and the rest; empty for the backend of every other entry.
    const char* prefix;
    const char* description;  // what it is, for messages
    const char* platforms;    // where it exists, for messages
    // Adds the rig cameras entry names (rest: what follows the prefix);
    // false, with why, when it is malformed.
    bool (*parse)(const CameraBackend& self, const std::string& entry, const std::string& rest,
                  std::vector<RigCameraEntry>& cameras, std::string& why);
    // Null where the backend does not exist.
    std::unique_ptr<CameraDevice> (*open)(const RigCameraEntry& camera, const RigClocks& clocks, std::string& error);
    bool pairs;      // an entry is followed by its partner's bare name (file:<left>,<right>)
    bool announced;  // which device became which side is said at opening
    // Closed on the thread that gives the camera up, as nothing can hang
    // there (the simulated rig); the others' cameras are retired
    // (retired_cameras.h): a driver, or a file's reader, may hang in closing.
    bool closedInPlace;
};

// Every backend, the host cameras' last.
const std::vector<CameraBackend>& cameraBackends();

// The rig a KESTROVA_CAMERAS value names (null or blank: every host camera
// present). A malformed entry is said on standard error and stays in the
// rig as a camera that cannot be connected, so that the others keep their
// places.
std::vector<RigCameraEntry> parseCameraList(const char* list);

// The simulated rig a KESTROVA_SIM_RIG value describes:
// <spacing m>,<field of view degrees>[,<toe-in degrees>[,<ball colour>]],
// the colour as KESTROVA_TARGET takes it. False, with why, when malformed.
bool parseSimulatedRig(const std::string& text, SimulatedRig& rig, std::string& why);

// The rig of a KESTROVA_CAMERAS value with the simulated rig of a
// KESTROVA_SIM_RIG value (null or empty: the built-in one; malformed: the
// built-in one, said on standard error).
std::vector<RigCameraEntry> parseCameraList(const char* list, const char* simulatedRig);

// Opens a camera of the rig; a camera that can come back when it is lost
// comes back (returning_camera.h), with the entry's settings applied again.
// The settings are not applied here: the caller applies them to the camera
// opened, and says what came of it. Null on failure, with the reason in error.
std::unique_ptr<CameraDevice> openRigCamera(const RigCameraEntry& camera, const RigClocks& clocks, std::string& error);

}  // namespace standin
