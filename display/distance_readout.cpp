#include "display/distance_readout.h"

#include <cwchar>

#include "measurement/distance.h"

void drawDistanceReadout(HDC hdc) {
    RECT box = {10, 10, 150, 40};
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
