// The main window's event handler.
#pragma once

#include "platform/win32.h"

// Timer ids of the tracking tick (every 40 ms) and the report (every second).
constexpr UINT_PTR TRACK_TIMER_ID = 5000;
constexpr UINT_PTR REPORT_TIMER_ID = 5001;

// Window procedure of the main window: timers drive the tracking tick and
// the report, paint draws both camera views and the distance, the up and
// down arrows move the threshold and a left click cycles the view mode.
LRESULT CALLBACK handleWindowEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
