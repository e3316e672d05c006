#include "display/distance_readout.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

#include "measurement/calibration.h"
#include "measurement/distance.h"
#include "tracking/camera_slot.h"

void drawDistanceReadout(HDC hdc) {
    RECT box = {10, 10, 150, 40};
    WCHAR line[128];
    if (calibrationReadout(line, 128)) {
        // Calibrating: what to do, or the rig found, across the pictures.
        const int64_t across = int64_t(cameraSlots[0].width) + cameraSlots[1].width - 10;
        box.right = LONG(std::min<int64_t>(INT32_MAX, std::max<int64_t>(150, across)));
        DrawTextW(hdc, line, -1, &box, DT_CENTER);
        return;
    }
    const float distance = estimateDistance();
    if (distance != -1.0f) {
        WCHAR out[64];
        swprintf(out, 64, L"Distance: %f", double(distance));
        DrawTextW(hdc, out, -1, &box, DT_CENTER);
    } else {
        WCHAR err[] = L"Distance: Too Far!";
        DrawTextW(hdc, err, -1, &box, DT_CENTER);
    }
}
