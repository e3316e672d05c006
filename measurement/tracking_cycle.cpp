#include "measurement/tracking_cycle.h"

#include "capture/capture_source.h"
#include "measurement/calibration.h"
#include "serial/serial_link.h"
#include "tracking/camera_slot.h"
#include "tracking/segmentation.h"
#include "tracking/speck_filter.h"
#include "tracking/tracker_settings.h"

void runTrackingTick(HWND window) {
    for (int slot = 0; slot < 2; ++slot) {
        grabFrame(slot);
        segmentByColour(slot, trackerSettings.targetColour);  // pure red unless set
        removeSpecks(slot, 1);
        cameraSlots[slot].latestPoint = findCentroid(slot);
    }
    tracker.sums[0] += cameraSlots[0].latestPoint.x;
    tracker.sums[1] += cameraSlots[0].latestPoint.y;
    tracker.sums[2] += cameraSlots[1].latestPoint.x;
    tracker.sums[3] += cameraSlots[1].latestPoint.y;
    tracker.sampleCount += 1;

    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
}

void runReportCycle() {
    if (tracker.sampleCount <= 0) return;
    int32_t averages[4];
    for (int i = 0; i < 4; ++i) averages[i] = tracker.sums[i] / tracker.sampleCount;
    sendReport(averages[0], averages[1], averages[2], averages[3]);
    tracker.averagedPoints[0] = ImagePoint{averages[0], averages[1]};
    tracker.averagedPoints[1] = ImagePoint{averages[2], averages[3]};
    tracker.sampleCount = 0;
    for (int32_t& sum : tracker.sums) sum = 0;
    followCalibration();
}
