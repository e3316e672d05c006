#include "app/event_handler.h"

#include "display/camera_view.h"
#include "display/distance_readout.h"
#include "measurement/tracking_cycle.h"
#include "tracking/camera_slot.h"

namespace {

void paintWindow(HWND window) {
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(window, &ps);
    drawCameraView(hdc, 0, 0, 0, tracker.viewMode);
    drawCameraView(hdc, cameraSlots[0].width, 0, 1, tracker.viewMode);
    drawDistanceReadout(hdc);
    EndPaint(window, &ps);
}

}  // namespace

LRESULT CALLBACK handleWindowEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        paintWindow(window);
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_UP) tracker.threshold += 1;
        if (wParam == VK_DOWN) tracker.threshold -= 1;
        return 0;
    case WM_TIMER:
        if (wParam == TRACK_TIMER_ID) runTrackingTick(window);
        if (wParam == REPORT_TIMER_ID) runReportCycle();
        return 0;
    case WM_LBUTTONDOWN:
        tracker.viewMode = (tracker.viewMode + 1) % VIEW_MODE_COUNT;
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
