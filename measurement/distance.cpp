#include "measurement/distance.h"

#include <cmath>
#include <cstdint>

#include "tracking/camera_slot.h"
#include "tracking/tracker_settings.h"

// With the rig unset (0.14 m, 0.262 rad, no offset) every step below rounds
// as the plain triangulation does: the offset subtracted is 0.0, and the
// absolute difference rounded once to single precision equals the single
// precision difference made absolute.
float estimateDistance() {
    const RigGeometry& rig = trackerSettings.rig;
    const float meanWidth = float((double(cameraSlots[0].width) + double(cameraSlots[1].width)) / 2.0);
    const ImagePoint p0 = tracker.averagedPoints[0];
    const ImagePoint p1 = tracker.averagedPoints[1];
    const double shifted = double(int64_t(p0.x) - int64_t(p1.x)) - double(rig.disparityOffset);
    const float disparity = float(std::fabs(shifted));
    if (p0.x == 0 && p0.y == 0) return -1.0f;
    if (p1.x == 0 && p1.y == 0) return -1.0f;
    if (shifted == 0.0) return -1.0f;  // no disparity beyond the rig's own: infinitely far
    const float t = float(std::tan(double(rig.halfFieldOfView)));
    return float((double(rig.spacing) * meanWidth) / (double(t) * (double(disparity) * 2.0)));
}
