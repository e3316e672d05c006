// The simulated stereo rig: two pinhole cameras side by side looking at a
// ball in front of a textured wall. Unless told otherwise (SimulatedRig) they
// are parallel, 0.14 m apart, with a half horizontal field of view of
// 0.262 rad, and the ball is red. Frames are rendered on demand and depend
// only on the arguments, so runs are repeatable.
#pragma once

#include <cstdint>

namespace standin {

constexpr double kRigBaseline = 0.14;         // metres between the optical centres
constexpr double kRigHalfFieldOfView = 0.262;  // radians, horizontal
constexpr double kRigBallRadius = 0.05;       // metres

// The physical rig simulated (KESTROVA_SIM_RIG), so that the program can be
// shown a rig it does not know.
struct SimulatedRig {
    double baseline = kRigBaseline;            // metres
    double halfFieldOfView = kRigHalfFieldOfView;  // radians, in (0, pi/2)
    double toeIn = 0.0;                        // radians each camera is turned inward
    uint32_t ballColour = 0xFF0000;            // 0xRRGGBB
};

// Ball centre in rig coordinates (metres): x to the right, y up, z straight
// ahead, origin midway between the two cameras. distanceMetres > 0 holds the
// ball still at that distance on the axis (with secondDistance > 0 as well:
// 5 s at the first, then 5 s at the second, in a loop); otherwise it follows
// the moving target's path, between about 1 and 4 m away.
struct RigPoint {
    double x;
    double y;
    double z;
};
RigPoint stereoRigBallPosition(double timeSeconds, double distanceMetres, double secondDistance = 0.0);

// Focal length in pixels of a camera whose frames are width pixels wide.
double stereoRigFocalLength(int width, const SimulatedRig& rig = SimulatedRig());

// Where camera 0 (left) or 1 (right) sees a rig point: image x from the left
// edge and y from the bottom edge, in pixels, continuous (the centre of pixel
// column i is at i + 0.5). Points at or behind the camera plane give NaN.
struct RigImagePoint {
    double x;
    double y;
};
RigImagePoint stereoRigProject(int camera, const RigPoint& point, int width, int height,
                               const SimulatedRig& rig = SimulatedRig());

// Renders what camera 0 (left) or 1 (right) sees at the given time, as
// width x height pixels, 24-bit blue-green-red, rows packed at width * 3
// bytes, bottom row first. Does nothing for a null buffer, a size that is not
// positive or a camera other than 0 and 1.
void renderStereoRigFrame(int camera, double timeSeconds, double distanceMetres, int width, int height,
                          uint8_t* bgrBottomUp, const SimulatedRig& rig = SimulatedRig(),
                          double secondDistance = 0.0);

}  // namespace standin
