// The user's exposure and white balance for each camera. Opt-in settings,
// read once where KESTROVA_CAMERAS is read (capture_window.cpp), that travel
// with each camera (RigCameraEntry): they are applied when it opens and
// again every time it comes back after it was lost (returning_camera.h),
// before a frame of it is used.
//   KESTROVA_EXPOSURE=auto|<milliseconds>   both cameras
//   KESTROVA_WHITE_BALANCE=auto|<kelvin>    both cameras
//   KESTROVA_EXPOSURE_LEFT, ..._RIGHT,
//   KESTROVA_WHITE_BALANCE_LEFT, ..._RIGHT  one camera, over the above
// A number turns the camera's automatic control off and sets the value;
// auto turns the automatic control back on; unset leaves the camera as it is.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace standin {

struct ControlSetting {
    enum class Mode { Unset, Auto, Manual };
    Mode mode = Mode::Unset;
    double value = 0.0;  // Manual only: above 0, finite
};

struct CameraSettings {
    ControlSetting exposure;      // milliseconds
    ControlSetting whiteBalance;  // kelvin
    bool any() const {
        return exposure.mode != ControlSetting::Mode::Unset || whiteBalance.mode != ControlSetting::Mode::Unset;
    }
};

// The settings of the rig's cameras, from the environment.
struct RigSettings {
    CameraSettings left, right, both;  // both: for any camera after the second
    const CameraSettings& of(size_t camera) const { return camera == 0 ? left : camera == 1 ? right : both; }
};

// Reads the six variables. A bad value ("fast", a negative number) leaves
// that camera's control on automatic, and is said in badValues, one line
// each, naming the variable, the value and what is used instead.
RigSettings readRigSettings(std::vector<std::string>& badValues);

// What applying the settings to one camera came to. summary says what the
// camera offers and what was set, e.g. "exposure 20 ms (manual; 0.3-204.7
// ms), white balance 4000 K (manual; 2800-6500 K)"; each problem names the
// control, the value and the reason: a control the camera lacks, a value
// refused or clamped. Tracking goes on either way.
struct SettingsOutcome {
    std::string summary;
    std::vector<std::string> problems;
};

// One of a camera's controls as its backend reaches it: a value, in the
// setting's units (milliseconds, kelvin), and its automatic mode.
struct CameraControl {
    const char* name = "";    // "exposure", "white balance"
    bool hasValue = false;    // the camera has the value control
    bool hasAuto = false;     // and an automatic mode beside it
    double min = 0, max = 0;  // the value's range
    std::string note;         // what the summary adds about it, or empty
    // Each gives the reason it failed, or empty. setValue gets a value within
    // the range and leaves in it the value the camera took (its own steps).
    std::function<std::string(bool on)> setAuto;
    std::function<std::string(double& value)> setValue;
};

// Applies one setting to control and adds what came of it to outcome. A
// value turns the automatic mode off first (a camera refuses a value while
// it is on) and is clamped to the range, which is said.
void applyControl(const ControlSetting& setting, const CameraControl& control, SettingsOutcome& outcome);

// For a camera that has neither control (the simulated rig, recorded
// footage, Video for Windows): every setting given is a problem.
SettingsOutcome settingsWithoutControls(const CameraSettings& settings, const std::string& why);

// "20 ms", "0.3 ms", "4000 K": a value as the lines give it.
std::string formatMilliseconds(double ms);
std::string formatKelvin(double kelvin);

}  // namespace standin
