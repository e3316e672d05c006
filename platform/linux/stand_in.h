// What the stand-in offers beyond the Windows API, for tests and for its own
// entry point. Never included by the system's own folders.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace standin {

// Every message box shown so far, in order.
struct ShownMessage {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
};
const std::vector<ShownMessage>& shownMessages();
void clearShownMessages();

// Destroys every window still alive, as the end of a test's process would.
void destroyAllWindows();

// A device context of its own, width x height pixels filled with fill, for
// drawing without any window. Null for a negative or oversized side.
HDC createMemoryDC(int width, int height, COLORREF fill);
void deleteMemoryDC(HDC hdc);

// The last few texts given to DrawTextW, newest last, whether or not a font
// was there to draw them.
const std::deque<std::wstring>& drawnTexts();

// Runs the message loop for about ms milliseconds, dispatching what arrives.
// False as soon as the quit message came (it is consumed), true otherwise.
bool pumpMessagesFor(unsigned ms);

// Drops every posted message and a pending quit message.
void clearMessageQueue();

// SIGINT, SIGTERM and SIGHUP then close the top-level windows as their close boxes
// would (or, with none, post the quit message). Done by the first window
// creation anyway; repeating it does nothing.
void installSignalHandlers();

// Destroys the remaining windows and closes the display, at the end of main.
void shutDown();

}  // namespace standin
