#include "capture/capture_source.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "tracking/camera_slot.h"

HWND captureWindows[2] = {nullptr, nullptr};

namespace {

// Each creation counts up first; the new count is the window's child
// identifier and, minus one, the slot it serves.
int creationCount = 0;

// A size from the driver as a slot size; anything beyond a signed 32-bit
// value is no usable size.
int32_t slotSize(UINT value) { return value > UINT(INT32_MAX) ? 0 : int32_t(value); }

LRESULT onFrame(int slot, LPVIDEOHDR header) {
    if (header != nullptr) acceptFrame(slot, header->lpData, header->dwBytesUsed);
    return TRUE;
}

}  // namespace

// A driver that does not connect leaves a window that can never deliver a
// frame; it is destroyed again and the source reported missing, so that
// start-up warns about it instead of running with an empty slot.
HWND createCaptureSource(HWND parent, int x, int y, int driverIndex) {
    CAPSTATUS CapStatus;
    std::memset(&CapStatus, 0, sizeof CapStatus);
    if (creationCount < INT_MAX) ++creationCount;
    const int n = creationCount;

    HWND hwnd = capCreateCaptureWindowW(L"Camera", WS_CHILD, x, y, 320, 240, parent, n);
    if (hwnd == nullptr) return nullptr;
    if (IsWindow(hwnd)) {
        if (!SendMessageW(hwnd, WM_CAP_DRIVER_CONNECT, WPARAM(driverIndex), 0)) {
            DestroyWindow(hwnd);
            return nullptr;
        }
    }
    // The record's size as this platform lays it out (76 bytes on 32-bit
    // Windows, 80 on 64-bit).
    if (IsWindow(hwnd)) SendMessageW(hwnd, WM_CAP_GET_STATUS, WPARAM(sizeof(CAPSTATUS)), LPARAM(&CapStatus));

    const int slot = n - 1;
    if (slot == 0 || slot == 1) {
        cameraSlots[slot].width = slotSize(CapStatus.uiImageWidth);
        cameraSlots[slot].height = slotSize(CapStatus.uiImageHeight);
        captureWindows[slot] = hwnd;
    }
    return hwnd;
}

void grabFrame(int slot) {
    if (slot != 0 && slot != 1) return;
    HWND hwnd = captureWindows[slot];
    const CAPVIDEOCALLBACK notification = slot == 0 ? onFrameSlot0 : onFrameSlot1;
    if (IsWindow(hwnd)) SendMessageW(hwnd, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(notification));
    if (IsWindow(hwnd)) SendMessageW(hwnd, WM_CAP_GRAB_FRAME_NOSTOP, 0, 0);
}

LRESULT CALLBACK onFrameSlot0(HWND, LPVIDEOHDR header) { return onFrame(0, header); }
LRESULT CALLBACK onFrameSlot1(HWND, LPVIDEOHDR header) { return onFrame(1, header); }

void resetCaptureSources() {
    creationCount = 0;
    captureWindows[0] = nullptr;
    captureWindows[1] = nullptr;
}
