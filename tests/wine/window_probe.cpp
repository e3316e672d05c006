// Looks at Kestrova's windows from another Windows process, for the checks
// under Wine:
//   window_probe client    prints the main window's client size "W H"
//   window_probe warning [<caption>]
//                          prints the text of the "Error" (or caption)
//                          message box and presses its OK button
//   window_probe close     closes the main window as its close box does
//   window_probe version <exe>
//                          prints the exe's version resource: file and
//                          product version numbers, then its ProductName,
//                          FileVersion and ProductVersion texts
//   window_probe responsive  prints "measuring", sends the main window a message
//                          every 20 ms for 8 s, prints the longest reply (ms), how many over 400
// Those that look at a window wait up to 30 s for it; exit status 0 when it
// was found.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

HWND waitForWindow(const wchar_t* windowClass, const wchar_t* title) {
    for (int i = 0; i < 300; ++i) {
        HWND hwnd = FindWindowW(windowClass, title);
        if (hwnd != nullptr) return hwnd;
        Sleep(100);
    }
    return nullptr;
}

void printUtf8(const wchar_t* text, const char* end) {
    char utf8[4096] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::printf("%s%s", utf8, end);
}

int printVersion(const wchar_t* exe) {
    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(exe, &ignored));
    VS_FIXEDFILEINFO* fixed = nullptr;
    WORD* translation = nullptr;
    UINT size = 0;
    if (info.empty() || !GetFileVersionInfoW(exe, 0, DWORD(info.size()), info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) ||
        !VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &size))
        return 1;
    const DWORD parts[4] = {fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                            fixed->dwProductVersionLS};
    for (int i = 0; i < 4; ++i)
        std::printf("%u.%u%s", unsigned(HIWORD(parts[i])), unsigned(LOWORD(parts[i])), i == 1 ? " " : i == 3 ? "" : ".");
    for (const wchar_t* name : {L"ProductName", L"FileVersion", L"ProductVersion"}) {
        wchar_t path[128];
        swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
        wchar_t* text = nullptr;
        const bool found = VerQueryValueW(info.data(), path, reinterpret_cast<void**>(&text), &size);
        std::printf(" ");
        printUtf8(found ? text : L"-", "");
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"version") == 0) return printVersion(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"warning") != 0) return 2;
    if (argc != 2 && argc != 3) return 2;
    if (wcscmp(argv[1], L"warning") == 0) {
        // A box still without its text is looked at again; the probe ends
        // once the box it pressed is gone, so that the next call finds the next.
        for (int i = 0; i < 300; ++i, Sleep(100)) {
            HWND box = FindWindowW(L"#32770", argc == 3 ? argv[2] : L"Error");  // the dialog class of message boxes
            wchar_t text[1024] = L"";
            if (box == nullptr || GetDlgItemTextW(box, 0xFFFF, text, 1024) == 0) continue;  // its text control
            printUtf8(text, "\n");
            std::fflush(stdout);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            for (int k = 0; k < 50 && IsWindow(box); ++k) Sleep(100);
            return 0;
        }
        return 1;
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
