// user32: window classes, window objects, their rectangles and painting,
// cursors and message boxes. The message loop and timers are in
// user32_loop.cpp.
//
// A top-level window is an SDL window showing the client area. Its outer
// rectangle adds a frame of fixed thickness that depends on the style only
// (see frameFor), so outer size - client size is the same at every moment.
#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <set>
#include <string>

#include "platform/linux/stand_in.h"
#include "platform/linux/user32_internal.h"

struct HICON__ {
    uintptr_t id;
    SDL_SystemCursor shape;
    SDL_Cursor* sdl;
};

namespace {

// Windows error codes of window and class failures.
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_TLW_WITH_WSCHILD = 1406;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

constexpr int DEFAULT_WIDTH = 640;
constexpr int DEFAULT_HEIGHT = 480;
constexpr int MAX_COORDINATE = 32767;

std::set<HWND> liveWindows;
std::set<HWND> windowsBeingDestroyed;
std::vector<HWND> ownWindowList;
std::vector<standin::ShownMessage> messageLog;

struct WindowClass {
    ATOM atom;
    std::wstring name;
    WNDPROC proc;
    HCURSOR cursor;
    HBRUSH background;
};
std::vector<WindowClass> windowClasses;
ATOM nextAtom = 0xC000;

// The one system cursor the program asks for: the standard arrow.
HICON__ arrowCursor = {32512, SDL_SYSTEM_CURSOR_ARROW, nullptr};
// The program's icon, resource 1 of its module. On Windows it is built into
// the exe; here the desktop shows the icon that its entry for the program
// names, so the handle stands for it and the window class ignores it.
HICON__ programIcon = {1, SDL_SYSTEM_CURSOR_ARROW, nullptr};

enum class Video { Untried, Display, Headless, None };
Video video = Video::Untried;
// No display was there and none was asked for by name (SDL_VIDEODRIVER): the
// windows are on no screen at all. An offscreen or dummy driver asked for
// by name keeps their pictures in memory as a screen would.
bool onNoScreen = false;

bool isSet(const char* value) { return value != nullptr && *value != 0; }
bool isHeadlessDriver(const char* driver) {
    return driver != nullptr && (SDL_strcasecmp(driver, "offscreen") == 0 || SDL_strcasecmp(driver, "dummy") == 0);
}

// SDL's video comes up with the first top-level window: the driver named by
// SDL_VIDEODRIVER, or else X11 or Wayland as DISPLAY or WAYLAND_DISPLAY name
// them. Without a display that opens, the offscreen driver stands in so the
// program runs on headless. SDL leaves SIGINT, SIGTERM and SIGHUP to us.
void startVideo() {
    if (video != Video::Untried) return;
    standin::installSignalHandlers();
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // The client area is copied to the window's own surface; no OpenGL (which
    // would cost some 100 MB and make SDL create each window twice).
    SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_OVERRIDE);
    bool up = false;
    std::string failed;  // what was asked for and did not open
    const char* forced = std::getenv("SDL_VIDEODRIVER");
    if (isSet(forced)) {
        up = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
        if (!up) failed = std::string("video driver \"") + forced + "\" (SDL_VIDEODRIVER): " + SDL_GetError();
    } else {
        // Only the display servers the environment names; never the console.
        const struct {
            const char* driver;
            const char* variable;
        } servers[] = {{"x11", "DISPLAY"}, {"wayland", "WAYLAND_DISPLAY"}};
        for (const auto& server : servers) {
            const char* name = std::getenv(server.variable);
            if (up || !isSet(name)) continue;
            SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, server.driver, SDL_HINT_OVERRIDE);
            up = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
            if (!up) {
                failed += std::string(failed.empty() ? "" : "; ") + "display \"" + name + "\" (" + server.variable +
                          "): " + SDL_GetError();
            }
        }
    }
    if (!up && !failed.empty()) {
        std::replace(failed.begin(), failed.end(), '\n', ' ');
        std::fprintf(stderr, "Cannot open %s; running headless.\n", failed.c_str());
    }
    if (!up) {
        onNoScreen = true;
        SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "offscreen", SDL_HINT_OVERRIDE);
        up = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
    }
    if (!up) {
        video = Video::None;
        return;
    }
    video = isHeadlessDriver(SDL_GetCurrentVideoDriver()) ? Video::Headless : Video::Display;
    SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);
    SDL_EventState(SDL_TEXTINPUT, SDL_IGNORE);
    SDL_EventState(SDL_TEXTEDITING, SDL_IGNORE);
}

bool haveDisplay() {
    switch (video) {
        case Video::Display: return true;
        case Video::Headless:
        case Video::None: return false;
        case Video::Untried: break;
    }
    const char* forced = std::getenv("SDL_VIDEODRIVER");
    if (isSet(forced) && isHeadlessDriver(forced)) return false;
    return isSet(std::getenv("DISPLAY")) || isSet(std::getenv("WAYLAND_DISPLAY"));
}

bool sameName(const std::wstring& a, LPCWSTR b) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
        if (b[i] == 0 || std::towupper(wint_t(a[i])) != std::towupper(wint_t(b[i]))) return false;
    }
    return b[i] == 0;
}

// Class names compare without regard to case; a value below 0x10000 is an atom.
const WindowClass* findClass(LPCWSTR name) {
    if (name == nullptr) return nullptr;
    const uintptr_t value = reinterpret_cast<uintptr_t>(name);
    for (const WindowClass& wc : windowClasses) {
        if (value < 0x10000 ? wc.atom == value : sameName(wc.name, name)) return &wc;
    }
    return nullptr;
}

// Frame around the client area: a sizing border, or a thin one for a plain
// caption or border, a 2-pixel sunken edge for WS_EX_CLIENTEDGE, and a
// caption bar above.
RECT frameFor(DWORD style, DWORD exStyle) {
    LONG border = (style & WS_THICKFRAME) != 0 ? 4 : (style & WS_CAPTION) != 0 ? 1 : 0;
    if ((exStyle & WS_EX_CLIENTEDGE) != 0) border += 2;
    const LONG caption = (style & WS_CAPTION) == WS_CAPTION ? 23 : 0;
    return RECT{border, border + caption, border, border};
}

int clampCoordinate(int v) { return std::clamp(v, -MAX_COORDINATE - 1, MAX_COORDINATE); }

uint32_t backgroundPixel(const standin::WindowData& data) {
    COLORREF colour = RGB(255, 255, 255);
    standin::brushColour(data.background, &colour);
    return standin::pixelOf(colour);
}

void releaseWindowData(HWND hwnd) {
    auto* data = static_cast<standin::WindowData*>(hwnd->extra);
    standin::deleteDeviceContextsOf(&data->framebuffer);
    if (data->sdl != nullptr) SDL_DestroyWindow(data->sdl);
    ownWindowList.erase(std::remove(ownWindowList.begin(), ownWindowList.end(), hwnd), ownWindowList.end());
    delete data;
    hwnd->extra = nullptr;
    hwnd->release = nullptr;
}

// Sets the outer rectangle and, for a window of ours, sizes the client area
// and the SDL window to match.
void placeWindow(HWND hwnd, int x, int y, int width, int height) {
    standin::WindowData* data = standin::windowDataOf(hwnd);
    const RECT frame = data != nullptr ? data->frame : RECT{0, 0, 0, 0};
    const int frameWidth = frame.left + frame.right, frameHeight = frame.top + frame.bottom;
    x = clampCoordinate(x);
    y = clampCoordinate(y);
    width = std::clamp(width, 0, standin::MAX_SURFACE_SIDE + frameWidth);
    height = std::clamp(height, 0, standin::MAX_SURFACE_SIDE + frameHeight);
    hwnd->rect = RECT{x, y, x + width, y + height};
    if (data == nullptr) return;
    data->framebuffer.resize(std::max(0, width - frameWidth), std::max(0, height - frameHeight),
                             backgroundPixel(*data));
    data->update = standin::intersect(data->update, RECT{0, 0, data->framebuffer.width, data->framebuffer.height});
    if (standin::isEmpty(data->update)) data->dirty = false;
}

POINT clientOrigin(HWND hwnd) {
    const standin::WindowData* data = standin::windowDataOf(hwnd);
    POINT p{hwnd->rect.left, hwnd->rect.top};
    if (data != nullptr) {
        p.x += data->frame.left;
        p.y += data->frame.top;
    }
    if (hwnd->parent != nullptr) {
        const POINT parent = clientOrigin(hwnd->parent);
        p.x += parent.x;
        p.y += parent.y;
    }
    return p;
}

void present(standin::WindowData& data) {
    if (data.sdl == nullptr || standin::videoHeadless()) return;
    SDL_Surface* surface = SDL_GetWindowSurface(data.sdl);
    if (surface == nullptr) return;
    const int width = std::min(data.framebuffer.width, surface->w);
    const int height = std::min(data.framebuffer.height, surface->h);
    if (width > 0 && height > 0 && SDL_LockSurface(surface) == 0) {
        SDL_ConvertPixels(width, height, SDL_PIXELFORMAT_RGB888, data.framebuffer.pixels.data(),
                          data.framebuffer.width * 4, surface->format->format, surface->pixels, surface->pitch);
        SDL_UnlockSurface(surface);
    }
    SDL_UpdateWindowSurface(data.sdl);
}

SDL_Window* sdlWindowAbove(HWND hwnd) {
    if (!IsWindow(hwnd)) return nullptr;
    while (hwnd->parent != nullptr) hwnd = hwnd->parent;
    const standin::WindowData* data = standin::windowDataOf(hwnd);
    return data != nullptr ? data->sdl : nullptr;
}

}  // namespace

namespace standin {

std::string toUtf8(const wchar_t* text, size_t length) {
    std::string out;
    if (text == nullptr) return out;
    for (size_t i = 0; i < length && text[i] != 0; ++i) {
        uint32_t c = uint32_t(text[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
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

HWND createWindowObject(DWORD exStyle, const std::wstring& className, const std::wstring& title, DWORD style,
                        int x, int y, int width, int height, HWND parent, UINT_PTR id, WNDPROC proc) {
    HWND hwnd = new HWND__;
    hwnd->proc = proc;
    hwnd->parent = parent;
    hwnd->style = style;
    hwnd->exStyle = exStyle;
    hwnd->className = className;
    hwnd->title = title;
    hwnd->id = id;
    placeWindow(hwnd, x, y, width, height);
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
        if (!DestroyWindow(top)) break;
    }
}

void shutDown() {
    destroyAllWindows();
    closeFonts();
    if (video == Video::Display || video == Video::Headless) {
        if (arrowCursor.sdl != nullptr) SDL_FreeCursor(arrowCursor.sdl);
        arrowCursor.sdl = nullptr;
        SDL_Quit();
        video = Video::Untried;
        onNoScreen = false;
    }
}

WindowData* windowDataOf(HWND hwnd) {
    if (!IsWindow(hwnd) || hwnd->release != releaseWindowData) return nullptr;
    return static_cast<WindowData*>(hwnd->extra);
}

const std::vector<HWND>& ownWindows() { return ownWindowList; }

HWND windowOfSdlWindow(unsigned sdlWindowId) {
    for (HWND hwnd : ownWindowList) {
        const WindowData* data = windowDataOf(hwnd);
        if (data->sdl != nullptr && SDL_GetWindowID(data->sdl) == sdlWindowId) return hwnd;
    }
    return nullptr;
}

bool needsPaint(HWND hwnd) {
    const WindowData* data = windowDataOf(hwnd);
    return data != nullptr && data->dirty && (hwnd->style & WS_VISIBLE) != 0;
}

void invalidate(HWND hwnd, const RECT* area, bool erase) {
    WindowData* data = windowDataOf(hwnd);
    if (data == nullptr) return;
    const RECT client{0, 0, data->framebuffer.width, data->framebuffer.height};
    const RECT part = area != nullptr ? intersect(*area, client) : client;
    if (isEmpty(part)) return;
    if (data->dirty) {
        data->update = RECT{std::min(data->update.left, part.left), std::min(data->update.top, part.top),
                            std::max(data->update.right, part.right), std::max(data->update.bottom, part.bottom)};
    } else {
        data->update = part;
    }
    data->dirty = true;
    data->erase = data->erase || erase;
}

void clientResized(HWND hwnd, int width, int height) {
    WindowData* data = windowDataOf(hwnd);
    if (data == nullptr) return;
    // An SDL window is at least 1x1 even where the client area is empty.
    if (std::max(data->framebuffer.width, 1) == width && std::max(data->framebuffer.height, 1) == height) return;
    placeWindow(hwnd, hwnd->rect.left, hwnd->rect.top, width + data->frame.left + data->frame.right,
                height + data->frame.top + data->frame.bottom);
    invalidate(hwnd, nullptr, true);
}

void clientMoved(HWND hwnd, int x, int y) {
    WindowData* data = windowDataOf(hwnd);
    if (data == nullptr || hwnd->parent != nullptr) return;
    const LONG width = hwnd->rect.right - hwnd->rect.left, height = hwnd->rect.bottom - hwnd->rect.top;
    const LONG left = clampCoordinate(x - data->frame.left), top = clampCoordinate(y - data->frame.top);
    hwnd->rect = RECT{left, top, left + width, top + height};
}

void applyCursor(HWND hwnd) {
    WindowData* data = windowDataOf(hwnd);
    if (data == nullptr || data->cursor == nullptr || !videoActive()) return;
    HICON__& cursor = *data->cursor;
    if (cursor.sdl == nullptr) cursor.sdl = SDL_CreateSystemCursor(cursor.shape);
    if (cursor.sdl != nullptr) SDL_SetCursor(cursor.sdl);
}

bool videoActive() { return video == Video::Display || video == Video::Headless; }
bool videoHeadless() { return video != Video::Display; }
bool windowsOnNoScreen() { return onNoScreen; }

}  // namespace standin

// Fails with a null atom for a missing record, a wrong cbSize, a missing
// procedure or name, or a name already registered.
ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wndclass) {
    if (wndclass == nullptr || wndclass->cbSize != sizeof(WNDCLASSEXW) || wndclass->lpfnWndProc == nullptr ||
        wndclass->lpszClassName == nullptr || reinterpret_cast<uintptr_t>(wndclass->lpszClassName) < 0x10000 ||
        wndclass->lpszClassName[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (findClass(wndclass->lpszClassName) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (nextAtom == 0) {  // every atom of the range is taken
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const ATOM atom = nextAtom++;
    windowClasses.push_back(
        {atom, wndclass->lpszClassName, wndclass->lpfnWndProc, wndclass->hCursor, wndclass->hbrBackground});
    return atom;
}

// A top-level window gets an SDL window (while there is video); a child
// window (WS_CHILD, with its parent) is a window object only.
HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE, LPVOID) {
    const WindowClass* wc = findClass(className);
    if (wc == nullptr) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    if (parent != nullptr && !IsWindow(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    const bool child = (style & WS_CHILD) != 0;
    if (child && parent == nullptr) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    const bool defaultPosition = x == CW_USEDEFAULT || y == CW_USEDEFAULT;
    if (defaultPosition) x = y = 0;
    if (width == CW_USEDEFAULT) {
        width = child ? 0 : DEFAULT_WIDTH;
        height = child ? 0 : DEFAULT_HEIGHT;
    }
    const RECT frame = frameFor(style, exStyle);
    const std::wstring title = windowName != nullptr ? windowName : L"";

    SDL_Window* sdl = nullptr;
    if (!child) {
        startVideo();
        if (standin::videoActive()) {
            const int clientWidth = std::clamp(width - frame.left - frame.right, 1, standin::MAX_SURFACE_SIDE);
            const int clientHeight = std::clamp(height - frame.top - frame.bottom, 1, standin::MAX_SURFACE_SIDE);
            const Uint32 flags = ((style & WS_VISIBLE) != 0 ? SDL_WINDOW_SHOWN : SDL_WINDOW_HIDDEN) |
                                 ((style & WS_THICKFRAME) != 0 ? SDL_WINDOW_RESIZABLE : 0);
            const int sdlX = defaultPosition ? int(SDL_WINDOWPOS_CENTERED) : clampCoordinate(x) + frame.left;
            const int sdlY = defaultPosition ? int(SDL_WINDOWPOS_CENTERED) : clampCoordinate(y) + frame.top;
            sdl = SDL_CreateWindow(standin::toUtf8(title.c_str(), title.size()).c_str(), sdlX, sdlY, clientWidth,
                                   clientHeight, flags);
            if (sdl == nullptr && !standin::videoHeadless()) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            if (sdl != nullptr && defaultPosition) {
                SDL_GetWindowPosition(sdl, &x, &y);
                x -= frame.left;
                y -= frame.top;
            }
        }
    }

    auto* data = new standin::WindowData;
    data->sdl = sdl;
    data->frame = frame;
    data->background = wc->background;
    data->cursor = wc->cursor == &arrowCursor ? wc->cursor : nullptr;
    HWND hwnd = standin::createWindowObject(exStyle, wc->name, title, style, 0, 0, 0, 0, child ? parent : nullptr,
                                            child ? reinterpret_cast<UINT_PTR>(menu) : 0, wc->proc);
    hwnd->extra = data;
    hwnd->release = releaseWindowData;
    ownWindowList.push_back(hwnd);
    placeWindow(hwnd, x, y, width, height);
    if ((style & WS_VISIBLE) != 0) standin::invalidate(hwnd, nullptr, true);
    standin::applyCursor(hwnd);
    return hwnd;
}

BOOL WINAPI IsWindow(HWND hwnd) { return hwnd != nullptr && liveWindows.count(hwnd) != 0; }

// Children go first; each window gets WM_DESTROY, then its library releases
// what it kept for it, and its timers and queued messages go. A window whose
// destruction is under way is not destroyed a second time.
BOOL WINAPI DestroyWindow(HWND hwnd) {
    if (!IsWindow(hwnd) || windowsBeingDestroyed.count(hwnd) != 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    windowsBeingDestroyed.insert(hwnd);
    while (!hwnd->children.empty()) {
        HWND child = hwnd->children.back();
        if (!DestroyWindow(child)) {  // under way further up the stack: let it finish there
            hwnd->children.pop_back();
            child->parent = nullptr;
        }
    }
    if (hwnd->proc != nullptr) hwnd->proc(hwnd, WM_DESTROY, 0, 0);
    // The procedure may have made children meanwhile.
    while (!hwnd->children.empty()) {
        HWND child = hwnd->children.back();
        if (!DestroyWindow(child)) {
            hwnd->children.pop_back();
            child->parent = nullptr;
        }
    }
    if (hwnd->release != nullptr) hwnd->release(hwnd);
    standin::forgetWindowMessages(hwnd);
    if (hwnd->parent != nullptr) {
        auto& siblings = hwnd->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), hwnd), siblings.end());
    }
    liveWindows.erase(hwnd);
    windowsBeingDestroyed.erase(hwnd);
    delete hwnd;
    return TRUE;
}

LRESULT WINAPI SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!IsWindow(hwnd) || hwnd->proc == nullptr) return 0;
    return hwnd->proc(hwnd, msg, wParam, lParam);
}

// WM_CLOSE destroys the window; WM_PAINT validates it, erasing what asks for it.
LRESULT WINAPI DefWindowProcW(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_CLOSE) {
        DestroyWindow(hwnd);
    } else if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        if (BeginPaint(hwnd, &ps) != nullptr) EndPaint(hwnd, &ps);
    }
    return 0;
}

BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect) {
    if (!IsWindow(hwnd) || rect == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (const standin::WindowData* data = standin::windowDataOf(hwnd)) {
        *rect = RECT{0, 0, data->framebuffer.width, data->framebuffer.height};
    } else {
        *rect = RECT{0, 0, hwnd->rect.right - hwnd->rect.left, hwnd->rect.bottom - hwnd->rect.top};
    }
    return TRUE;
}

// The outer rectangle in screen coordinates, for children too.
BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
    if (!IsWindow(hwnd) || rect == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = hwnd->rect;
    if (hwnd->parent != nullptr) {
        const POINT origin = clientOrigin(hwnd->parent);
        *rect = RECT{rect->left + origin.x, rect->top + origin.y, rect->right + origin.x, rect->bottom + origin.y};
    }
    return TRUE;
}

// x, y, width, height: the outer rectangle (a child's in its parent's client
// coordinates). Negative sizes count as 0.
BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    placeWindow(hwnd, x, y, width, height);
    standin::WindowData* data = standin::windowDataOf(hwnd);
    if (data != nullptr && data->sdl != nullptr) {
        SDL_SetWindowSize(data->sdl, std::max(data->framebuffer.width, 1), std::max(data->framebuffer.height, 1));
        SDL_SetWindowPosition(data->sdl, hwnd->rect.left + data->frame.left, hwnd->rect.top + data->frame.top);
    }
    if (repaint) standin::invalidate(hwnd, nullptr, true);
    return TRUE;
}

// A null window invalidates every window.
BOOL WINAPI InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase) {
    if (hwnd == nullptr) {
        for (HWND own : standin::ownWindows()) standin::invalidate(own, nullptr, erase != FALSE);
        return TRUE;
    }
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    standin::invalidate(hwnd, rect, erase != FALSE);
    return TRUE;
}

// Sends WM_PAINT at once when something is to be painted.
BOOL WINAPI UpdateWindow(HWND hwnd) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (standin::needsPaint(hwnd)) SendMessageW(hwnd, WM_PAINT, 0, 0);
    return TRUE;
}

// The device context draws on the window's client area, clipped to what was
// to be painted (nothing when nothing was). The background is erased with the
// class brush when that was asked for (always on the first paint); fErase
// tells whether it is still to be erased, for a class without a brush.
// Windows on no screen show nothing of their client area, as a minimized
// window on Windows: the paint comes all the same, and its device context
// clips every drawing away.
HDC WINAPI BeginPaint(HWND hwnd, PAINTSTRUCT* ps) {
    standin::WindowData* data = standin::windowDataOf(hwnd);
    if (data == nullptr || ps == nullptr) return nullptr;
    *ps = PAINTSTRUCT{};
    const RECT area = data->dirty ? data->update : RECT{0, 0, 0, 0};
    const RECT visible = standin::windowsOnNoScreen() ? RECT{0, 0, 0, 0} : area;
    if (data->dirty && data->erase) {
        COLORREF colour = 0;
        if (standin::brushColour(data->background, &colour)) {
            standin::fillPixels(data->framebuffer, visible, standin::pixelOf(colour));
        } else {
            ps->fErase = TRUE;
        }
    }
    data->dirty = false;
    data->erase = false;
    data->update = RECT{0, 0, 0, 0};
    ps->hdc = standin::createDeviceContext(&data->framebuffer, visible);
    ps->rcPaint = area;
    return ps->hdc;
}

// Shows the client area in the SDL window and releases the device context.
BOOL WINAPI EndPaint(HWND hwnd, const PAINTSTRUCT* ps) {
    standin::WindowData* data = standin::windowDataOf(hwnd);
    if (data == nullptr) return TRUE;
    if (ps != nullptr && standin::targetOf(ps->hdc) == &data->framebuffer) standin::deleteDeviceContext(ps->hdc);
    present(*data);
    return TRUE;
}

// The system's standard arrow; there are no cursor resources of our own.
HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    if (instance == nullptr && reinterpret_cast<uintptr_t>(name) == arrowCursor.id) return &arrowCursor;
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (instance != nullptr && reinterpret_cast<uintptr_t>(name) == programIcon.id) return &programIcon;
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

// A real modal box over the owner's window when there is a display; without
// one the message goes to standard error as "Caption: text".
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    messageLog.push_back({owner, text ? text : L"", caption ? caption : L"", type});
    const std::string utf8Text = standin::toUtf8(text, SIZE_MAX), utf8Caption = standin::toUtf8(caption, SIZE_MAX);
    const Uint32 flags = (type & 0xF0) == MB_ICONWARNING ? SDL_MESSAGEBOX_WARNING
                         : (type & 0xF0) == MB_ICONERROR ? SDL_MESSAGEBOX_ERROR
                                                         : SDL_MESSAGEBOX_INFORMATION;
    if (!haveDisplay() ||
        SDL_ShowSimpleMessageBox(flags, utf8Caption.c_str(), utf8Text.c_str(), sdlWindowAbove(owner)) != 0) {
        std::fprintf(stderr, "%s: %s\n", utf8Caption.c_str(), utf8Text.c_str());
    }
    return IDOK;
}
