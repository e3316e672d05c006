// Kestrova's settings: environment variables, every one opt-in and read once
// at start-up. This table lists them all, for the usage text, the manual page
// and the README. The tracker's own (target colour, start threshold, rig,
// calibration) are read here into trackerSettings (tracking/tracker_settings.h)
// before the timers start; the rest where they are used: the cameras and the
// simulated rig's own rig by the capture windows, COMn by the serial port's
// stand-in, the font by the drawing stand-in (the last two on Linux only).
#pragma once

#include <string>
#include <vector>

#include "tracking/tracker_settings.h"

struct SettingInfo {
    const char* name;
    const char* form;       // how a value is written
    const char* byDefault;  // what holds while it is unset (or bad), in words
    const char* help;       // what it does, in one line
    // For the tracker's own settings: takes a value into the record; false,
    // with why (completing '"<value>" ...'), when it is malformed. Null for
    // those read elsewhere.
    bool (*apply)(const std::string& value, TrackerSettings& settings, std::string& why);
};

const std::vector<SettingInfo>& settingsTable();

// Reads the tracker's settings from the environment into trackerSettings.
// A bad value leaves its setting at what holds unset; the lines returned say
// so, one for each: the setting, the value, why, and what is used instead.
std::vector<std::string> readTrackerSettings();

// At start-up: reads them and says what was wrong, on standard error and, on
// Windows, where a program started by double-click has no console, in one
// message box.
void loadTrackerSettings();
