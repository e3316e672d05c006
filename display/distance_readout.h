// The distance line in the top-left corner of the main window.
#pragma once

#include "platform/win32.h"

// Writes "Distance: <metres>" or "Distance: Too Far!" centred in the box
// (10, 10)-(150, 40).
void drawDistanceReadout(HDC hdc);
