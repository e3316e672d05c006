// The main window: its process-wide handle and the sizing of its client area.
#pragma once

#include "platform/win32.h"

// The main window, or null before start-up made it. Owner of the serial
// link's messages.
extern HWND mainWindow;

// Resizes the window so that its client area is width x height, keeping its
// outer top-left corner.
void fitClientArea(HWND window, int width, int height);
