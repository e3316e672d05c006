#include "measurement/distance.h"

#include <cmath>
#include <cstdint>

#include "tracking/camera_slot.h"

namespace {

constexpr float kBaseline = 0.14f;       // metres between the two cameras
constexpr float kHalfFieldOfView = 0.262f;  // radians, horizontal

}  // namespace

float estimateDistance() {
    const float meanWidth = float((double(cameraSlots[0].width) + double(cameraSlots[1].width)) / 2.0);
    const ImagePoint p0 = tracker.averagedPoints[0];
    const ImagePoint p1 = tracker.averagedPoints[1];
    const float disparity = std::fabs(float(int64_t(p0.x) - int64_t(p1.x)));
    if (p0.x == 0 && p0.y == 0) return -1.0f;
    if (p1.x == 0 && p1.y == 0) return -1.0f;
    if (p0.x == p1.x) return -1.0f;
    const float t = float(std::tan(double(kHalfFieldOfView)));
    return float((double(kBaseline) * meanWidth) / (double(t) * (double(disparity) * 2.0)));
}
