// What the stand-in offers beyond the Windows API, for tests and for its own
// entry point. Never included by the system's own folders.
#pragma once

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

}  // namespace standin
