// Looks at Kestrova's windows from another Windows process, for the checks
// under Wine:
//   window_probe client    prints the main window's client size "W H"
//   window_probe warning   prints the text of the "Error" message box and
//                          presses its OK button
//   window_probe close     closes the main window as its close box does
//   window_probe responsive  prints "measuring", sends the main window a message
//                          every 20 ms for 8 s, prints the longest reply (ms), how many over 400
// Each waits up to 30 s for the window; exit status 0 when it was found.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace {

HWND waitForWindow(const wchar_t* windowClass, const wchar_t* title) {
    for (int i = 0; i < 300; ++i) {
        HWND hwnd = FindWindowW(windowClass, title);
        if (hwnd != nullptr) return hwnd;
        Sleep(100);
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    if (wcscmp(argv[1], L"warning") == 0) {
        HWND box = waitForWindow(L"#32770", L"Error");  // the dialog class of message boxes
        if (box == nullptr) return 1;
        wchar_t text[256] = L"";
        GetDlgItemTextW(box, 0xFFFF, text, 256);  // the message box's text control
        char utf8[1024] = "";
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
        std::printf("%s\n", utf8);
        std::fflush(stdout);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return 0;
    }
    HWND main = waitForWindow(L"Kestrova", L"Kestrova");
    if (main == nullptr) return 1;
    if (wcscmp(argv[1], L"client") == 0) {
        RECT rc;
        if (!GetClientRect(main, &rc)) return 1;
        std::printf("%ld %ld\n", long(rc.right - rc.left), long(rc.bottom - rc.top));
        std::fflush(stdout);
        return 0;
    }
    if (wcscmp(argv[1], L"responsive") == 0) {
        std::printf("measuring\n");
        std::fflush(stdout);
        ULONGLONG longest = 0, slow = 0;
        for (const ULONGLONG end = GetTickCount64() + 8000; GetTickCount64() < end; Sleep(20)) {
            const ULONGLONG sent = GetTickCount64();
            if (!SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 10000, nullptr)) return 1;
            longest = std::max(longest, GetTickCount64() - sent);
            slow += GetTickCount64() - sent > 400;
        }
        std::printf("%llu %llu\n", longest, slow);
        return 0;
    }
    if (wcscmp(argv[1], L"close") == 0) {
        PostMessageW(main, WM_CLOSE, 0, 0);
        return 0;
    }
    return 2;
}
