// user32: window objects and their messages, message boxes.
#include <SDL.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>

#include "platform/stand_in.h"
#include "platform/window_internal.h"

namespace {

std::set<HWND> liveWindows;
std::vector<standin::ShownMessage> messageLog;

std::string toUtf8(LPCWSTR text) {
    std::string out;
    if (text == nullptr) return out;
    for (; *text != 0; ++text) {
        const uint32_t c = uint32_t(*text);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

namespace standin {

HWND createWindowObject(DWORD exStyle, const std::wstring& className, const std::wstring& title, DWORD style,
                        int x, int y, int width, int height, HWND parent, UINT_PTR id, WNDPROC proc) {
    HWND hwnd = new HWND__;
    hwnd->proc = proc;
    hwnd->parent = parent;
    hwnd->style = style;
    hwnd->exStyle = exStyle;
    hwnd->rect = RECT{x, y, x + width, y + height};
    hwnd->className = className;
    hwnd->title = title;
    hwnd->id = id;
    if (parent != nullptr) parent->children.push_back(hwnd);
    liveWindows.insert(hwnd);
    return hwnd;
}

const std::vector<ShownMessage>& shownMessages() { return messageLog; }
void clearShownMessages() { messageLog.clear(); }

void destroyAllWindows() {
    while (!liveWindows.empty()) {
        HWND top = *liveWindows.begin();
        while (top->parent != nullptr) top = top->parent;
        DestroyWindow(top);
    }
}

}  // namespace standin

BOOL WINAPI IsWindow(HWND hwnd) { return hwnd != nullptr && liveWindows.count(hwnd) != 0; }

// Children go first; each window gets WM_DESTROY, then its library releases
// what it kept for it.
BOOL WINAPI DestroyWindow(HWND hwnd) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    while (!hwnd->children.empty()) DestroyWindow(hwnd->children.back());
    if (hwnd->proc != nullptr) hwnd->proc(hwnd, WM_DESTROY, 0, 0);
    if (hwnd->release != nullptr) hwnd->release(hwnd);
    if (hwnd->parent != nullptr) {
        auto& siblings = hwnd->parent->children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
            if (*it == hwnd) {
                siblings.erase(it);
                break;
            }
        }
    }
    liveWindows.erase(hwnd);
    delete hwnd;
    return TRUE;
}

LRESULT WINAPI SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!IsWindow(hwnd) || hwnd->proc == nullptr) return 0;
    return hwnd->proc(hwnd, msg, wParam, lParam);
}

LRESULT WINAPI DefWindowProcW(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_CLOSE) DestroyWindow(hwnd);
    return 0;
}

// A real modal box when there is a display; without one the message goes to
// standard error as "Caption: text".
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    messageLog.push_back({owner, text ? text : L"", caption ? caption : L"", type});
    const std::string utf8Text = toUtf8(text), utf8Caption = toUtf8(caption);
    const Uint32 flags = (type & 0xF0) == MB_ICONWARNING ? SDL_MESSAGEBOX_WARNING
                         : (type & 0xF0) == MB_ICONERROR ? SDL_MESSAGEBOX_ERROR
                                                         : SDL_MESSAGEBOX_INFORMATION;
    const char* driver = SDL_GetCurrentVideoDriver();
    const bool display = driver != nullptr && std::strcmp(driver, "offscreen") != 0 &&
                         std::strcmp(driver, "dummy") != 0;
    if (!display || SDL_ShowSimpleMessageBox(flags, utf8Caption.c_str(), utf8Text.c_str(), nullptr) != 0) {
        std::fprintf(stderr, "%s: %s\n", utf8Caption.c_str(), utf8Text.c_str());
    }
    return IDOK;
}
