// What the two halves of user32 (windows and painting; the message loop)
// share.
#pragma once

#include <vector>

#include "platform/linux/gdi_internal.h"
#include "platform/linux/window_internal.h"

struct SDL_Window;

namespace standin {

// What CreateWindowExW keeps for each window it makes (HWND__::extra).
struct WindowData {
    SDL_Window* sdl = nullptr;  // top-level windows, when there is video
    Framebuffer framebuffer;    // the client area
    RECT frame{};               // thickness of the frame around the client area
    HBRUSH background = nullptr;
    HCURSOR cursor = nullptr;
    bool dirty = false;  // the update rectangle holds something to paint
    bool erase = false;  // and the background is to be erased first
    RECT update{};
};

// The data of a window made by CreateWindowExW, or null.
WindowData* windowDataOf(HWND hwnd);
// Windows made by CreateWindowExW and alive, in creation order.
const std::vector<HWND>& ownWindows();
HWND windowOfSdlWindow(unsigned sdlWindowId);
// Whether WM_PAINT may be made for the window: visible and dirty.
bool needsPaint(HWND hwnd);
// Adds the part of area (client coordinates; null: all) within the client
// area to what is to be painted.
void invalidate(HWND hwnd, const RECT* area, bool erase);
// Follows a size the window system gave the SDL window.
void clientResized(HWND hwnd, int width, int height);
void clientMoved(HWND hwnd, int x, int y);
void applyCursor(HWND hwnd);

// Video is up (SDL's video subsystem initialised).
bool videoActive();
// No real display: offscreen, dummy or no video at all.
bool videoHeadless();
// No display at all, and no offscreen driver asked for by name: nothing can
// ever show the windows, and painting them draws nothing (see BeginPaint).
bool windowsOnNoScreen();

// Forgets timers and queued messages of a window being destroyed.
void forgetWindowMessages(HWND hwnd);

}  // namespace standin
