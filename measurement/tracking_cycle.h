// The two periodic jobs: the 40 ms tracking tick and the one-second report.
#pragma once

#include "platform/win32.h"

// Grabs and analyses one frame from each camera, adds both target positions
// to the running sums and repaints the window at once.
void runTrackingTick(HWND window);

// Averages the sums over the ticks since the last report, sends the averages
// over the serial link and keeps them for the distance estimate. Does
// nothing when no tick ran since the last report.
void runReportCycle();
