// What the user set for tracking and measuring: a record that the
// application shell fills from the environment once, at start-up, before the
// timers start (app/settings.h), and that the tracking tick, the distance
// estimate and the calibration read. With nothing set it holds the values
// the program has always used, and every result is the same to the bit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The stereo rig as the distance estimate sees it.
struct RigGeometry {
    float spacing;          // metres between the two cameras
    float halfFieldOfView;  // radians, half of a camera's horizontal field of view
    float disparityOffset;  // x0 - x1, in pixels of the current frame width, of a target at infinity
};

struct TrackerSettings {
    uint32_t targetColour;   // segmentation's reference colour, 0xRRGGBB; pure red
    int32_t startThreshold;  // the threshold at start-up; 60
    // 0.14 m, 0.262 rad, no offset. A finished calibration replaces it.
    RigGeometry rig;
    int32_t calibrationCount;        // distances to calibrate at: 0 (none), 1 or 2
    float calibrationDistances[2];   // metres, in the order the target is held there
};

extern TrackerSettings trackerSettings;

// Puts the record back to what holds with nothing set. The program never
// calls this; tests do.
void resetTrackerSettings();

// A colour as a setting writes it: #RRGGBB (hex digits of either case), or
// one of red, orange, yellow, green, blue and magenta. False for anything
// else, leaving colour as it was.
bool parseColourSetting(const std::string& text, uint32_t& colour);

// A decimal number written out in full (no blanks, nothing after it) that
// is finite. False otherwise, leaving value as it was.
bool parseDecimalSetting(const std::string& text, double& value);

// The parts of text between separators, in order (a missing part is empty).
std::vector<std::string> splitSetting(const std::string& text, char separator);
