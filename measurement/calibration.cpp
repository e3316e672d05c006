#include "measurement/calibration.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "measurement/distance.h"
#include "tracking/camera_slot.h"
#include "tracking/tracker_settings.h"

namespace {

constexpr int kSteadyReports = 3;
constexpr double kPi = 3.14159265358979323846;

struct Calibration {
    int readings = 0;             // taken so far
    double disparity[2] = {};     // x0 - x1 of each reading, averaged over its steady reports
    int steady = 0;               // reports in a row, up to the last, within a pixel of each other
    ImagePoint last[2] = {};      // the averaged points of the last report
    double steadySum[kSteadyReports] = {};  // x0 - x1 of the steady reports, newest last
    bool failed = false;          // the readings gave no usable rig; they are being taken again
    std::string result;           // KESTROVA_RIG=... once finished
};
Calibration calibration;

bool hasTarget(const ImagePoint& p) { return p.x != 0 || p.y != 0; }

bool withinOnePixel(const ImagePoint& a, const ImagePoint& b) {
    return std::llabs(int64_t(a.x) - b.x) <= 1 && std::llabs(int64_t(a.y) - b.y) <= 1;
}

// Works the rig out of the readings; false when they give none (no
// disparity left, or none that changed with the distance).
bool solveRig() {
    const float* at = trackerSettings.calibrationDistances;
    const double meanWidth = (double(cameraSlots[0].width) + double(cameraSlots[1].width)) / 2.0;
    const double spacing = trackerSettings.rig.spacing;
    double offset = trackerSettings.rig.disparityOffset;
    // Disparity, less the offset, is spacing * focal length / distance.
    double scale = 0.0;  // spacing * focal length, signed as the disparities run
    if (trackerSettings.calibrationCount == 1) {
        scale = (calibration.disparity[0] - offset) * double(at[0]);
    } else {
        scale = (calibration.disparity[0] - calibration.disparity[1]) / (1.0 / double(at[0]) - 1.0 / double(at[1]));
        offset = calibration.disparity[0] - scale / double(at[0]);
    }
    const double focal = std::fabs(scale) / spacing;
    if (!(focal > 0.0) || !std::isfinite(focal) || !(meanWidth > 0.0)) return false;
    const double fieldOfView = 2.0 * std::atan(meanWidth / 2.0 / focal) * 180.0 / kPi;
    char line[128];
    std::snprintf(line, sizeof line, "KESTROVA_RIG=%g,%.3f,%.2f", spacing, fieldOfView, offset);
    // The rig as the line gives it, so that a restart with it reads the same.
    double readBack[3] = {};
    if (std::sscanf(line, "KESTROVA_RIG=%lf,%lf,%lf", &readBack[0], &readBack[1], &readBack[2]) != 3) return false;
    trackerSettings.rig = RigGeometry{float(readBack[0]), float(readBack[1] / 360.0 * kPi), float(readBack[2])};
    calibration.result = line;
    std::fprintf(stderr, "%s\n", line);
    return true;
}

}  // namespace

void followCalibration() {
    if (trackerSettings.calibrationCount <= 0 || !calibration.result.empty()) return;
    const ImagePoint p0 = tracker.averagedPoints[0], p1 = tracker.averagedPoints[1];
    if (!hasTarget(p0) || !hasTarget(p1)) {
        calibration.steady = 0;
    } else if (calibration.steady > 0 && withinOnePixel(p0, calibration.last[0]) &&
               withinOnePixel(p1, calibration.last[1])) {
        ++calibration.steady;
    } else {
        calibration.steady = 1;
    }
    calibration.last[0] = p0;
    calibration.last[1] = p1;
    for (int i = 0; i + 1 < kSteadyReports; ++i) calibration.steadySum[i] = calibration.steadySum[i + 1];
    calibration.steadySum[kSteadyReports - 1] = double(int64_t(p0.x) - int64_t(p1.x));
    if (calibration.steady < kSteadyReports) return;

    double disparity = 0.0;
    for (double d : calibration.steadySum) disparity += d;
    disparity /= kSteadyReports;
    // The second reading waits for the target to have moved.
    if (calibration.readings == 1 && std::fabs(disparity - calibration.disparity[0]) <= 1.0) return;
    calibration.disparity[calibration.readings++] = disparity;
    calibration.steady = 0;
    if (calibration.readings < trackerSettings.calibrationCount) return;
    calibration.failed = !solveRig();
    if (calibration.failed) calibration.readings = 0;
}

bool calibrationReadout(wchar_t* out, size_t size) {
    if (trackerSettings.calibrationCount <= 0 || size == 0) return false;
    if (!calibration.result.empty()) {
        const std::wstring rig(calibration.result.begin(), calibration.result.end());  // ASCII
        const float distance = estimateDistance();
        if (distance != -1.0f) {
            std::swprintf(out, size, L"Distance: %f  (%ls)", double(distance), rig.c_str());
        } else {
            std::swprintf(out, size, L"Distance: Too Far!  (%ls)", rig.c_str());
        }
        return true;
    }
    const int next = calibration.readings;
    std::swprintf(out, size, L"%lsCalibrating: %lshold the target at %.2f m",
                  calibration.failed ? L"No disparity to go by. " : L"", next > 0 ? L"now " : L"",
                  double(trackerSettings.calibrationDistances[next]));
    return true;
}

const std::string& calibrationResult() { return calibration.result; }

void resetCalibration() { calibration = Calibration(); }
