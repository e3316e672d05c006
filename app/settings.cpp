#include "app/settings.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/win32.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

bool applyTarget(const std::string& value, TrackerSettings& settings, std::string& why) {
    if (parseColourSetting(value, settings.targetColour)) return true;
    why = "is not #RRGGBB or one of red, orange, yellow, green, blue, magenta";
    return false;
}

bool applyThreshold(const std::string& value, TrackerSettings& settings, std::string& why) {
    char* end = nullptr;
    errno = 0;
    const long long threshold = value.empty() ? 0 : std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || value[0] == ' ' || end != value.c_str() + value.size() || errno != 0 ||
        threshold < INT32_MIN || threshold > INT32_MAX) {
        why = "is not a whole number";
        return false;
    }
    settings.startThreshold = int32_t(threshold);
    return true;
}

bool applyRig(const std::string& value, TrackerSettings& settings, std::string& why) {
    const std::vector<std::string> parts = splitSetting(value, ',');
    double spacing = 0.0, fieldOfView = 0.0, offset = 0.0;
    if ((parts.size() != 2 && parts.size() != 3) || !parseDecimalSetting(parts[0], spacing) ||
        !parseDecimalSetting(parts[1], fieldOfView) || (parts.size() == 3 && !parseDecimalSetting(parts[2], offset))) {
        why = "is not <spacing in metres>,<field of view in degrees>[,<disparity offset in pixels>]";
        return false;
    }
    if (!(spacing > 0.0) || !(float(spacing) > 0.0f) || float(spacing) > 1e6f) {
        why = "gives a spacing that is not above 0 m";
        return false;
    }
    if (!(fieldOfView > 0.0) || !(fieldOfView < 180.0) || !(float(fieldOfView / 360.0 * kPi) > 0.0f)) {
        why = "gives a field of view that is not between 0 and 180 degrees";
        return false;
    }
    if (std::fabs(offset) > 1e6) {
        why = "gives a disparity offset beyond a million pixels";
        return false;
    }
    settings.rig = RigGeometry{float(spacing), float(fieldOfView / 360.0 * kPi), float(offset)};
    return true;
}

bool applyCalibrate(const std::string& value, TrackerSettings& settings, std::string& why) {
    const std::vector<std::string> parts = splitSetting(value, '/');
    double at[2] = {0.0, 0.0};
    bool ok = parts.size() <= 2;
    for (size_t i = 0; ok && i < parts.size(); ++i) {
        ok = parseDecimalSetting(parts[i], at[i]) && at[i] > 0.0 && at[i] <= 1e6;
    }
    if (!ok) {
        why = "is not <metres>[/<metres>] with distances above 0";
        return false;
    }
    if (parts.size() == 2 && float(at[0]) == float(at[1])) {
        why = "names the same distance twice";
        return false;
    }
    settings.calibrationCount = int32_t(parts.size());
    settings.calibrationDistances[0] = float(at[0]);
    settings.calibrationDistances[1] = float(at[1]);
    return true;
}

void showSettingMessages(const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    std::string text;
    for (const std::string& line : lines) {
        std::fprintf(stderr, "%s\n", line.c_str());
        text += (text.empty() ? "" : "\n") + line;
    }
#ifdef _WIN32
    const std::wstring wide(text.begin(), text.end());  // the lines are ASCII but for the values
    MessageBoxW(nullptr, wide.c_str(), L"Kestrova", MB_ICONWARNING);
#endif
}

}  // namespace

const std::vector<SettingInfo>& settingsTable() {
    static const std::vector<SettingInfo> table = {
        {"KESTROVA_CAMERAS", "<camera>[,<camera>]...",
         "every camera present, in order (on Linux the simulated rig when there is none)",
         "the cameras, left first: a V4L2 device (Linux) or a camera's index or name (Windows); "
         "sim[:<metres>[/<metres>]][@<width>x<height>] for the simulated rig; file:<left>,<right> for recordings",
         nullptr},
        {"KESTROVA_EXPOSURE", "auto | <milliseconds>", "each camera's exposure as it is",
         "both cameras' exposure: a time turns automatic exposure off, auto turns it on", nullptr},
        {"KESTROVA_EXPOSURE_LEFT", "auto | <milliseconds>", "KESTROVA_EXPOSURE",
         "the left camera's exposure", nullptr},
        {"KESTROVA_EXPOSURE_RIGHT", "auto | <milliseconds>", "KESTROVA_EXPOSURE",
         "the right camera's exposure", nullptr},
        {"KESTROVA_WHITE_BALANCE", "auto | <kelvin>", "each camera's white balance as it is",
         "both cameras' white balance: a temperature turns automatic white balance off, auto turns it on", nullptr},
        {"KESTROVA_WHITE_BALANCE_LEFT", "auto | <kelvin>", "KESTROVA_WHITE_BALANCE",
         "the left camera's white balance", nullptr},
        {"KESTROVA_WHITE_BALANCE_RIGHT", "auto | <kelvin>", "KESTROVA_WHITE_BALANCE",
         "the right camera's white balance", nullptr},
        {"KESTROVA_TARGET", "#RRGGBB | red | orange | yellow | green | blue | magenta", "red (#FF0000)",
         "the target's colour", applyTarget},
        {"KESTROVA_THRESHOLD", "<whole number>", "60", "the colour threshold at start-up (the arrow keys move it)",
         applyThreshold},
        {"KESTROVA_RIG", "<spacing m>,<field of view degrees>[,<disparity offset px>]",
         "0.14 m, 30 degrees (0.262 rad each side of the axis), no offset",
         "the cameras' spacing and horizontal field of view, and the disparity of a target at infinity",
         applyRig},
        {"KESTROVA_CALIBRATE", "<metres>[/<metres>]", "no calibration",
         "calibrate the rig with the target held still at this distance (then at the second)", applyCalibrate},
        {"KESTROVA_SIM_RIG", "<spacing m>,<field of view degrees>[,<toe-in degrees>[,<ball colour>]]",
         "0.14 m, 30 degrees, parallel, a red ball", "the simulated rig's own cameras and ball", nullptr},
        {"KESTROVA_COM1", "<device>", "/dev/ttyS0 (COMn: /dev/ttyS<n-1>)",
         "the serial device that is COM1 (KESTROVA_COMn for COMn), Linux only", nullptr},
        {"KESTROVA_FONT", "<font file>", "the sans-serif font fontconfig finds",
         "the font of the distance line, Linux only", nullptr},
    };
    return table;
}

std::vector<std::string> readTrackerSettings() {
    resetTrackerSettings();
    std::vector<std::string> lines;
    for (const SettingInfo& setting : settingsTable()) {
        const char* value = setting.apply != nullptr ? std::getenv(setting.name) : nullptr;
        if (value == nullptr || *value == '\0') continue;  // set but empty: as unset
        TrackerSettings candidate = trackerSettings;
        std::string why;
        if (setting.apply(value, candidate, why)) {
            trackerSettings = candidate;
        } else {
            lines.push_back(std::string(setting.name) + ": \"" + value + "\" " + why + "; using " + setting.byDefault +
                            ".");
        }
    }
    return lines;
}

void loadTrackerSettings() { showSettingMessages(readTrackerSettings()); }
