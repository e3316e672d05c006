// The simulated stereo rig: two parallel pinhole cameras, 0.14 m apart, with
// a half horizontal field of view of 0.262 rad, looking at a red ball in
// front of a textured wall. Frames are rendered on demand and depend only on
// the arguments, so runs are repeatable.
#pragma once

#include <cstdint>

namespace standin {

constexpr double kRigBaseline = 0.14;         // metres between the optical centres
constexpr double kRigHalfFieldOfView = 0.262;  // radians, horizontal
constexpr double kRigBallRadius = 0.05;       // metres

// Ball centre in rig coordinates (metres): x to the right, y up, z straight
// ahead, origin midway between the two cameras. distanceMetres > 0 holds the
// ball still at that distance on the axis; otherwise it follows the moving
// target's path, between about 1 and 4 m away.
struct RigPoint {
    double x;
    double y;
    double z;
};
RigPoint stereoRigBallPosition(double timeSeconds, double distanceMetres);

// Focal length in pixels of a camera whose frames are width pixels wide.
double stereoRigFocalLength(int width);

// Where camera 0 (left) or 1 (right) sees a rig point: image x from the left
// edge and y from the bottom edge, in pixels, continuous (the centre of pixel
// column i is at i + 0.5). Points at or behind the camera plane give NaN.
struct RigImagePoint {
    double x;
    double y;
};
RigImagePoint stereoRigProject(int camera, const RigPoint& point, int width, int height);

// Renders what camera 0 (left) or 1 (right) sees at the given time, as
// width x height pixels, 24-bit blue-green-red, rows packed at width * 3
// bytes, bottom row first. Does nothing for a null buffer, a size that is not
// positive or a camera other than 0 and 1.
void renderStereoRigFrame(int camera, double timeSeconds, double distanceMetres, int width, int height,
                          uint8_t* bgrBottomUp);

}  // namespace standin
