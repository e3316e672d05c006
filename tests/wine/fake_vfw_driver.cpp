// A Video for Windows capture driver 0 of the checks' own, loaded by a copy
// of kestrova.exe as avicap32.dll: 320x240 frames of 24 bits, bottom row
// first, grey. Each capture window's first frame is whole; every later one
// is short, holding only the bottom half, with a red ball centred 100 px
// from the left and 60 rows from the bottom.
#include <windows.h>

#include <vfw.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr int kWidth = 320, kHeight = 240;
std::map<HWND, CAPVIDEOCALLBACK> callbacks;
std::map<HWND, int> grabs;

LRESULT grab(HWND hwnd) {
    const bool whole = grabs[hwnd]++ == 0;
    std::vector<BYTE> frame(size_t(kWidth) * 3 * kHeight, 128);
    for (int y = 0; y < kHeight / 2 && !whole; ++y)
        for (int x = 0; x < kWidth; ++x)
            if ((x - 100) * (x - 100) + (y - 60) * (y - 60) <= 100) {
                BYTE* pixel = &frame[(size_t(y) * kWidth + x) * 3];
                pixel[0] = pixel[1] = 0, pixel[2] = 255;
            }
    VIDEOHDR header{};
    header.lpData = frame.data();
    header.dwBufferLength = DWORD(frame.size());
    header.dwBytesUsed = DWORD(whole ? frame.size() : frame.size() / 2);
    if (callbacks[hwnd] != nullptr) callbacks[hwnd](hwnd, &header);
    return TRUE;
}

LRESULT CALLBACK driverWindow(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CAP_DRIVER_CONNECT:
        case WM_CAP_DRIVER_DISCONNECT: return TRUE;
        case WM_CAP_GET_STATUS: {
            CAPSTATUS status{};
            status.uiImageWidth = kWidth;
            status.uiImageHeight = kHeight;
            std::memcpy(reinterpret_cast<void*>(lParam), &status, std::min<size_t>(wParam, sizeof status));
            return TRUE;
        }
        case WM_CAP_SET_CALLBACK_FRAME: callbacks[hwnd] = reinterpret_cast<CAPVIDEOCALLBACK>(lParam); return TRUE;
        case WM_CAP_GRAB_FRAME_NOSTOP: return grab(hwnd);
        default: return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

extern "C" HWND VFWAPI capCreateCaptureWindowW(LPCWSTR name, DWORD style, int x, int y, int width, int height,
                                               HWND parent, int id) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = driverWindow;
    windowClass.lpszClassName = L"FakeVfwDriver";
    RegisterClassW(&windowClass);  // fails harmlessly the second time
    return CreateWindowExW(0, L"FakeVfwDriver", name, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(INT_PTR(id)), nullptr, nullptr);
}
