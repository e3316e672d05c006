#include "platform/avicap32/camera_settings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace standin {

namespace {

using Mode = ControlSetting::Mode;

std::string trimmed(const char* text) {
    std::string s = text;
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// One variable: unset, auto, or a number above 0 in unit. A bad value is
// said and becomes auto.
ControlSetting readSetting(const std::string& variable, const char* unit, const char* control,
                           std::vector<std::string>& badValues) {
    ControlSetting setting;
    const char* raw = std::getenv(variable.c_str());
    if (raw == nullptr || *raw == '\0') return setting;  // set but empty: as unset
    const std::string text = trimmed(raw);
    if (text == "auto" || text == "AUTO" || text == "Auto") {
        setting.mode = Mode::Auto;
        return setting;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    const bool number = !text.empty() && (text[0] == '.' || (text[0] >= '0' && text[0] <= '9'));
    if (number && *end == '\0' && std::isfinite(value) && value > 0.0) {
        setting.mode = Mode::Manual;
        setting.value = value;
        return setting;
    }
    badValues.push_back(variable + ": \"" + raw + "\" is not auto or a number of " + unit +
                        " above 0; using auto (the camera's automatic " + control + ").");
    setting.mode = Mode::Auto;
    return setting;
}

std::string formatNumber(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string s = text;
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    return s;
}

}  // namespace

RigSettings readRigSettings(std::vector<std::string>& badValues) {
    RigSettings rig;
    struct Variable {
        const char* name;
        const char* unit;
        const char* control;
        ControlSetting CameraSettings::*member;
    };
    const Variable variables[] = {
        {"KESTROVA_EXPOSURE", "milliseconds", "exposure", &CameraSettings::exposure},
        {"KESTROVA_WHITE_BALANCE", "kelvin", "white balance", &CameraSettings::whiteBalance},
    };
    for (const Variable& v : variables) {
        const std::string name = v.name;
        const ControlSetting both = readSetting(name, v.unit, v.control, badValues);
        const ControlSetting left = readSetting(name + "_LEFT", v.unit, v.control, badValues);
        const ControlSetting right = readSetting(name + "_RIGHT", v.unit, v.control, badValues);
        rig.both.*v.member = both;
        rig.left.*v.member = left.mode != Mode::Unset ? left : both;
        rig.right.*v.member = right.mode != Mode::Unset ? right : both;
    }
    return rig;
}

std::string formatMilliseconds(double ms) { return formatNumber(ms, ms < 10.0 ? 2 : 1) + " ms"; }
std::string formatKelvin(double kelvin) { return formatNumber(kelvin, 0) + " K"; }

void applyControl(const ControlSetting& setting, const CameraControl& control, SettingsOutcome& outcome) {
    const bool exposure = std::string(control.name) == "exposure";
    auto format = [&](double v) { return exposure ? formatMilliseconds(v) : formatKelvin(v); };
    std::string said;
    if (!control.hasValue) {
        said = std::string("no ") + control.name + " control";
        if (setting.mode == Mode::Manual) {
            outcome.problems.push_back(std::string(control.name) + " " + format(setting.value) +
                                       ": the camera has no " + control.name + " control");
        } else if (setting.mode == Mode::Auto && !control.hasAuto) {
            outcome.problems.push_back(std::string(control.name) + " auto: the camera has no " + control.name +
                                       " control");
        }
    }
    const std::string range = control.hasValue ? format(control.min).substr(0, format(control.min).find(' ')) +
                                                     "-" + format(control.max)
                                               : "";
    if (setting.mode == Mode::Unset) {
        if (control.hasValue) said = std::string(control.name) + " as it was (" + range + ")";
    } else if (setting.mode == Mode::Auto) {
        if (!control.hasAuto) {
            if (control.hasValue) {
                said = std::string(control.name) + " as it was (no automatic mode; " + range + ")";
                outcome.problems.push_back(std::string(control.name) + " auto: the camera has no automatic " +
                                           control.name);
            }
        } else {
            const std::string why = control.setAuto(true);
            said = std::string(control.name) + (why.empty() ? " auto" : " as it was") +
                   (control.hasValue ? " (" + range + ")" : "");
            if (!why.empty()) outcome.problems.push_back(std::string(control.name) + " auto: refused (" + why + ")");
        }
    } else if (control.hasValue) {
        const double wanted = setting.value;
        double value = std::min(std::max(wanted, control.min), control.max);
        std::string why = control.hasAuto ? control.setAuto(false) : "";
        if (why.empty()) why = control.setValue(value);
        if (!why.empty()) {
            said = std::string(control.name) + " as it was (" + range + ")";
            outcome.problems.push_back(std::string(control.name) + " " + format(wanted) + ": refused (" + why +
                                       "); left as it was");
        } else {
            said = std::string(control.name) + " " + format(value) + " (manual; " + range + ")";
            if (wanted < control.min || wanted > control.max) {
                outcome.problems.push_back(std::string(control.name) + " " + format(wanted) + ": outside " + range +
                                           "; set to " + format(value));
            } else if (std::fabs(value - wanted) > 0.05 * wanted) {
                outcome.problems.push_back(std::string(control.name) + " " + format(wanted) +
                                           ": not a step the camera takes; set to " + format(value));
            }
        }
    }
    if (!control.note.empty()) said += " " + control.note;
    outcome.summary += (outcome.summary.empty() ? "" : ", ") + said;
}

SettingsOutcome settingsWithoutControls(const CameraSettings& settings, const std::string& why) {
    SettingsOutcome outcome;
    outcome.summary = "no exposure or white balance controls (" + why + ")";
    if (settings.exposure.mode != Mode::Unset)
        outcome.problems.push_back("exposure " +
                                   (settings.exposure.mode == Mode::Auto ? std::string("auto")
                                                                         : formatMilliseconds(settings.exposure.value)) +
                                   ": the camera has no exposure control");
    if (settings.whiteBalance.mode != Mode::Unset)
        outcome.problems.push_back("white balance " +
                                   (settings.whiteBalance.mode == Mode::Auto ? std::string("auto")
                                                                             : formatKelvin(settings.whiteBalance.value)) +
                                   ": the camera has no white balance control");
    return outcome;
}

}  // namespace standin
