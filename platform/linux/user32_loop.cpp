// user32: the message queue, the message loop, timers, and the signals that
// close the program's windows.
//
// One thread. GetMessageW takes every message of the thread, in this order:
// posted messages (SDL input and window events are turned into posted
// messages as they are read), the quit message, WM_PAINT for a window with
// something to paint, WM_TIMER for the timer due longest. With none of these
// it waits for SDL events, the next timer or a signal, in slices of at most
// 20 ms. Timers belong to a window and come as WM_TIMER to its procedure.
#include <SDL.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <deque>
#include <vector>

#include "platform/linux/stand_in.h"
#include "platform/linux/user32_internal.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr UINT USER_TIMER_MINIMUM = 10;
constexpr UINT USER_TIMER_MAXIMUM = 0x7FFFFFFF;
constexpr milliseconds WAIT_SLICE{20};
// Button and modifier flags of mouse messages.
constexpr WPARAM MK_LBUTTON = 0x0001, MK_RBUTTON = 0x0002, MK_SHIFT = 0x0004, MK_CONTROL = 0x0008,
                 MK_MBUTTON = 0x0010;

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    milliseconds period;
    Clock::time_point due;
};

std::vector<Timer> timers;
std::deque<MSG> postedMessages;
bool quitPending = false;
int quitCode = 0;
bool signalHandlersInstalled = false;
volatile sig_atomic_t closeRequested = 0;
const Clock::time_point processStart = Clock::now();

void onCloseSignal(int) { closeRequested = 1; }

DWORD messageTime() {
    return DWORD(std::chrono::duration_cast<milliseconds>(Clock::now() - processStart).count());
}

void post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    postedMessages.push_back(MSG{hwnd, message, wParam, lParam, messageTime(), POINT{0, 0}});
}

// Windows virtual-key code of an SDL key; 0xFF for a key without one.
WPARAM virtualKey(SDL_Keycode key) {
    if (key >= SDLK_a && key <= SDLK_z) return WPARAM('A' + (key - SDLK_a));
    if (key >= SDLK_0 && key <= SDLK_9) return WPARAM('0' + (key - SDLK_0));
    if (key >= SDLK_F1 && key <= SDLK_F12) return WPARAM(0x70 + (key - SDLK_F1));
    if (key >= SDLK_KP_1 && key <= SDLK_KP_9) return WPARAM(0x61 + (key - SDLK_KP_1));
    switch (key) {
        case SDLK_LEFT: return VK_LEFT;
        case SDLK_UP: return VK_UP;
        case SDLK_RIGHT: return VK_RIGHT;
        case SDLK_DOWN: return VK_DOWN;
        case SDLK_ESCAPE: return VK_ESCAPE;
        case SDLK_SPACE: return VK_SPACE;
        case SDLK_BACKSPACE: return 0x08;
        case SDLK_TAB: return 0x09;
        case SDLK_RETURN:
        case SDLK_KP_ENTER: return 0x0D;
        case SDLK_LSHIFT:
        case SDLK_RSHIFT: return 0x10;
        case SDLK_LCTRL:
        case SDLK_RCTRL: return 0x11;
        case SDLK_LALT:
        case SDLK_RALT: return 0x12;
        case SDLK_PAUSE: return 0x13;
        case SDLK_CAPSLOCK: return 0x14;
        case SDLK_PAGEUP: return 0x21;
        case SDLK_PAGEDOWN: return 0x22;
        case SDLK_END: return 0x23;
        case SDLK_HOME: return 0x24;
        case SDLK_INSERT: return 0x2D;
        case SDLK_DELETE: return 0x2E;
        case SDLK_KP_0: return 0x60;
        case SDLK_KP_MULTIPLY: return 0x6A;
        case SDLK_KP_PLUS: return 0x6B;
        case SDLK_KP_MINUS: return 0x6D;
        case SDLK_KP_PERIOD: return 0x6E;
        case SDLK_KP_DIVIDE: return 0x6F;
        case SDLK_SEMICOLON: return 0xBA;
        case SDLK_EQUALS: return 0xBB;
        case SDLK_COMMA: return 0xBC;
        case SDLK_MINUS: return 0xBD;
        case SDLK_PERIOD: return 0xBE;
        case SDLK_SLASH: return 0xBF;
        case SDLK_BACKQUOTE: return 0xC0;
        case SDLK_LEFTBRACKET: return 0xDB;
        case SDLK_BACKSLASH: return 0xDC;
        case SDLK_RIGHTBRACKET: return 0xDD;
        case SDLK_QUOTE: return 0xDE;
        default: return 0xFF;
    }
}

WPARAM mouseKeyState(Uint32 buttons) {
    const SDL_Keymod mods = SDL_GetModState();
    return ((buttons & SDL_BUTTON_LMASK) != 0 ? MK_LBUTTON : 0) | ((buttons & SDL_BUTTON_RMASK) != 0 ? MK_RBUTTON : 0) |
           ((buttons & SDL_BUTTON_MMASK) != 0 ? MK_MBUTTON : 0) | ((mods & KMOD_SHIFT) != 0 ? MK_SHIFT : 0) |
           ((mods & KMOD_CTRL) != 0 ? MK_CONTROL : 0);
}

void translateWindowEvent(const SDL_WindowEvent& event) {
    HWND hwnd = standin::windowOfSdlWindow(event.windowID);
    if (hwnd == nullptr) return;
    switch (event.event) {
        case SDL_WINDOWEVENT_CLOSE: post(hwnd, WM_CLOSE, 0, 0); break;
        case SDL_WINDOWEVENT_EXPOSED: standin::invalidate(hwnd, nullptr, true); break;
        case SDL_WINDOWEVENT_SIZE_CHANGED: standin::clientResized(hwnd, event.data1, event.data2); break;
        case SDL_WINDOWEVENT_MOVED: standin::clientMoved(hwnd, event.data1, event.data2); break;
        case SDL_WINDOWEVENT_ENTER: standin::applyCursor(hwnd); break;
        default: break;
    }
}

void translateMouseButton(const SDL_MouseButtonEvent& event) {
    HWND hwnd = standin::windowOfSdlWindow(event.windowID);
    if (hwnd == nullptr) return;
    const bool down = event.type == SDL_MOUSEBUTTONDOWN;
    UINT message = 0;
    Uint32 buttons = SDL_GetMouseState(nullptr, nullptr);
    switch (event.button) {
        case SDL_BUTTON_LEFT: message = down ? WM_LBUTTONDOWN : WM_LBUTTONUP; break;
        case SDL_BUTTON_RIGHT: message = down ? WM_RBUTTONDOWN : WM_RBUTTONUP; break;
        case SDL_BUTTON_MIDDLE: message = down ? WM_MBUTTONDOWN : WM_MBUTTONUP; break;
        default: return;
    }
    if (down) {
        buttons |= SDL_BUTTON(event.button);
    } else {
        buttons &= ~SDL_BUTTON(event.button);
    }
    const LPARAM position = LPARAM(DWORD(WORD(event.x)) | (DWORD(WORD(event.y)) << 16));
    post(hwnd, message, mouseKeyState(buttons), position);
}

// SDL events become posted messages, or mark windows to be painted.
void readSdlEvents() {
    if (!standin::videoActive()) return;
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
        switch (event.type) {
            case SDL_WINDOWEVENT: translateWindowEvent(event.window); break;
            case SDL_KEYDOWN: {
                HWND hwnd = standin::windowOfSdlWindow(event.key.windowID);
                if (hwnd == nullptr) break;
                // Repeat count 1, scan code, and the previous key state for auto-repeat.
                const LPARAM flags = 1 | (LPARAM(event.key.keysym.scancode & 0xFF) << 16) |
                                     (event.key.repeat != 0 ? LPARAM(1) << 30 : 0);
                post(hwnd, WM_KEYDOWN, virtualKey(event.key.keysym.sym), flags);
                break;
            }
            case SDL_MOUSEBUTTONDOWN:
            case SDL_MOUSEBUTTONUP: translateMouseButton(event.button); break;
            default: break;
        }
    }
}

// A SIGINT, SIGTERM or SIGHUP closes every top-level window as its close box would;
// with none left it ends the loop.
void answerCloseSignal() {
    if (closeRequested == 0) return;
    closeRequested = 0;
    bool closing = false;
    for (HWND hwnd : standin::ownWindows()) {
        if (hwnd->parent == nullptr) {
            post(hwnd, WM_CLOSE, 0, 0);
            closing = true;
        }
    }
    if (!closing) {
        quitPending = true;
        quitCode = 0;
    }
}

void waitFor(milliseconds wait) {
    wait = std::clamp(wait, milliseconds(1), WAIT_SLICE);
    if (standin::videoActive() && !standin::videoHeadless()) {
        SDL_WaitEventTimeout(nullptr, int(wait.count()));
    } else {
        // Without a display no SDL event can come; a signal cuts the sleep short.
        const timespec pause{0, long(std::chrono::nanoseconds(wait).count())};
        nanosleep(&pause, nullptr);
    }
}

// 1 with a message, 0 with the quit message, -1 when the deadline (if any)
// passed first.
int fetchMessage(MSG* msg, const Clock::time_point* deadline) {
    for (;;) {
        readSdlEvents();
        answerCloseSignal();
        if (!postedMessages.empty()) {
            *msg = postedMessages.front();
            postedMessages.pop_front();
            return msg->message == WM_QUIT ? 0 : 1;
        }
        if (quitPending) {
            quitPending = false;
            *msg = MSG{nullptr, WM_QUIT, WPARAM(quitCode), 0, messageTime(), POINT{0, 0}};
            return 0;
        }
        for (HWND hwnd : standin::ownWindows()) {
            if (standin::needsPaint(hwnd)) {
                *msg = MSG{hwnd, WM_PAINT, 0, 0, messageTime(), POINT{0, 0}};
                return 1;
            }
        }
        const Clock::time_point now = Clock::now();
        Timer* next = nullptr;
        for (Timer& timer : timers) {
            if (next == nullptr || timer.due < next->due) next = &timer;
        }
        if (next != nullptr && next->due <= now) {
            *msg = MSG{next->hwnd, WM_TIMER, next->id, 0, messageTime(), POINT{0, 0}};
            // One message however late; the next falls on the timer's own beat.
            next->due += next->period * ((now - next->due) / next->period + 1);
            return 1;
        }
        if (deadline != nullptr && now >= *deadline) return -1;
        Clock::time_point until = now + WAIT_SLICE;
        if (next != nullptr) until = std::min(until, next->due);
        if (deadline != nullptr) until = std::min(until, *deadline);
        waitFor(std::chrono::ceil<milliseconds>(until - now));
    }
}

}  // namespace

namespace standin {

void forgetWindowMessages(HWND hwnd) {
    timers.erase(std::remove_if(timers.begin(), timers.end(), [hwnd](const Timer& t) { return t.hwnd == hwnd; }),
                 timers.end());
    postedMessages.erase(std::remove_if(postedMessages.begin(), postedMessages.end(),
                                        [hwnd](const MSG& m) { return m.hwnd == hwnd; }),
                         postedMessages.end());
}

void installSignalHandlers() {
    if (signalHandlersInstalled) return;
    signalHandlersInstalled = true;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;  // left ignored
        struct sigaction action {};
        action.sa_handler = onCloseSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(sig, &action, nullptr);
    }
}

void clearMessageQueue() {
    postedMessages.clear();
    quitPending = false;
}

bool pumpMessagesFor(unsigned ms) {
    const Clock::time_point deadline = Clock::now() + milliseconds(ms);
    MSG msg;
    while (Clock::now() < deadline) {
        const int got = fetchMessage(&msg, &deadline);
        if (got < 0) break;
        if (got == 0) return false;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

}  // namespace standin

BOOL WINAPI PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd != nullptr && !IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    post(hwnd, msg, wParam, lParam);
    return TRUE;
}

void WINAPI PostQuitMessage(int exitCode) {
    quitPending = true;
    quitCode = exitCode;
}

// Waits for the next message of the thread; FALSE for the quit message, -1
// for a bad argument. Filters by window or message range are not taken here:
// -1 as for a bad argument.
BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    if (msg == nullptr || filterMin != 0 || filterMax != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hwnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    return fetchMessage(msg, nullptr);
}

// Keys make no character messages here.
BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

// Calls the window procedure of the message's window.
LRESULT WINAPI DispatchMessageW(const MSG* msg) {
    if (msg == nullptr || msg->hwnd == nullptr) return 0;
    return SendMessageW(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// A timer of a window, (window, id), replacing one of the same; periods below
// 10 ms count as 10 ms. Timers of the thread alone (no window) and timer
// procedures are not kept here: 0, as for a bad window.
UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (proc != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const milliseconds period(std::clamp(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM));
    const Timer timer{hwnd, id, period, Clock::now() + period};
    for (Timer& existing : timers) {
        if (existing.hwnd == hwnd && existing.id == id) {
            existing = timer;
            return id == 0 ? 1 : id;
        }
    }
    timers.push_back(timer);
    return id == 0 ? 1 : id;
}

BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR id) {
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->hwnd == hwnd && it->id == id) {
            timers.erase(it);
            return TRUE;
        }
    }
    return FALSE;
}
