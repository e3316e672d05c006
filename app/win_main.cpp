// The process entry: main window, capture sources, serial link, timers and
// the message loop.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "app/event_handler.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "capture/capture_source.h"
#include "platform/win32.h"
#include "serial/serial_link.h"
#include "tracking/camera_slot.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // What the user set, read once; with nothing set, all as it always was.
    loadTrackerSettings();
    tracker.threshold = trackerSettings.startThreshold;

    WNDCLASSEXW wndclass;
    std::memset(&wndclass, 0, sizeof wndclass);
    wndclass.cbSize = sizeof wndclass;
    wndclass.lpfnWndProc = handleWindowEvent;
    wndclass.hInstance = instance;
    // The program's icon; the system picks the small one (title bar) from the
    // same resource, at its own size.
    wndclass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wndclass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wndclass.hbrBackground = (HBRUSH)(COLOR_SCROLLBAR + 1);
    wndclass.lpszClassName = L"Kestrova";
    if (RegisterClassExW(&wndclass) == 0) {
        MessageBoxW(nullptr, L"Could not register window class!", L"Error", MB_ICONWARNING);
        return 0;
    }

    mainWindow = CreateWindowExW(WS_EX_CLIENTEDGE, L"Kestrova", L"Kestrova", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                 CW_USEDEFAULT, CW_USEDEFAULT, 640, 240, nullptr, nullptr, instance, nullptr);
    if (mainWindow == nullptr) {
        MessageBoxW(nullptr, L"Could not create main window!", L"Error", MB_ICONWARNING);
        return 0;
    }

    HWND camera0 = createCaptureSource(mainWindow, 0, 0, 0);
    HWND camera1 = createCaptureSource(mainWindow, 320, 0, 0);
    // Summed wide, so that sizes a broken driver reports cannot overflow.
    const int64_t clientWidth = int64_t(cameraSlots[0].width) + cameraSlots[1].width;
    fitClientArea(mainWindow, int(std::min<int64_t>(clientWidth, INT32_MAX)),
                  std::max(cameraSlots[0].height, cameraSlots[1].height));
    if (camera0 == nullptr || camera1 == nullptr) {
        MessageBoxW(mainWindow, L"Could not initialize capture windows!", L"Error", MB_ICONWARNING);
    }

    openSerialLink();

    SetTimer(mainWindow, TRACK_TIMER_ID, 40, nullptr);
    SetTimer(mainWindow, REPORT_TIMER_ID, 1000, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
