#include "app/main_window.h"

HWND mainWindow = nullptr;

void fitClientArea(HWND window, int width, int height) {
    RECT rcClient, rcWindow;
    POINT ptDiff;
    GetClientRect(window, &rcClient);
    GetWindowRect(window, &rcWindow);
    ptDiff.x = (rcWindow.right - rcWindow.left) - rcClient.right;
    ptDiff.y = (rcWindow.bottom - rcWindow.top) - rcClient.bottom;
    MoveWindow(window, rcWindow.left, rcWindow.top, width + ptDiff.x, height + ptDiff.y, TRUE);
}
