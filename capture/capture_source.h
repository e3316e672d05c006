// Capture sources: one capture window per camera slot, grabbing single frames
// into the slot on request.
#pragma once

#include "platform/win32.h"

// Capture window of each slot, or null while it has none.
extern HWND captureWindows[2];

// Creates a hidden capture window under parent, connects it to the capture
// driver and fills in the frame size of the slot it serves (the first call
// serves slot 0, the second slot 1). Returns the window, or null when it
// could not be made or its driver did not connect (the window is then
// destroyed again and the slot keeps size 0x0).
HWND createCaptureSource(HWND parent, int x, int y, int driverIndex);

// Asks the slot's capture window for one frame; it arrives through the
// slot's frame-ready notification before this returns.
void grabFrame(int slot);

// Frame-ready notifications of slot 0 and slot 1: hand the frame to intake.
LRESULT CALLBACK onFrameSlot0(HWND captureWindow, LPVIDEOHDR header);
LRESULT CALLBACK onFrameSlot1(HWND captureWindow, LPVIDEOHDR header);

// Forgets the capture windows and starts the creation count afresh, so that
// the next creation serves slot 0 again. The program never calls this; tests
// do. It does not destroy the windows.
void resetCaptureSources();
