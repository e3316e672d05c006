// The stand-in's drawing, windows, message loop, timers and signals, headless.
#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/stand_in.h"
#include "platform/linux/window_internal.h"

namespace {

// Never a real display, wherever the suite runs.
[[maybe_unused]] const bool headless = [] { return setenv("SDL_VIDEODRIVER", "offscreen", 1) == 0; }();

constexpr COLORREF GREY = RGB(128, 128, 128);
constexpr COLORREF SCROLLBAR = RGB(200, 200, 200);

// A bottom-up 24-bit DIB whose pixel (x, row from the bottom) is colourAt(x, row).
struct Dib {
    BITMAPINFO bmi{};
    std::vector<uint8_t> bits;
};
COLORREF colourAt(int x, int row) { return RGB(10 * x + 1, 20 * row + 2, 77); }
Dib makeDib(int width, int height, int firstRow = 0, int rows = -1) {
    Dib dib;
    if (rows < 0) rows = height;
    dib.bmi.bmiHeader = BITMAPINFOHEADER{40, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const int stride = (width * 3 + 3) / 4 * 4;
    dib.bits.assign(size_t(stride) * rows, 0xEE);  // padding bytes too
    for (int r = 0; r < rows; ++r) {
        for (int x = 0; x < width; ++x) {
            const COLORREF c = colourAt(x, firstRow + r);
            uint8_t* p = &dib.bits[size_t(r) * stride + x * 3];
            p[0] = GetBValue(c);
            p[1] = GetGValue(c);
            p[2] = GetRValue(c);
        }
    }
    return dib;
}

class Drawing : public ::testing::Test {
protected:
    void TearDown() override {
        for (HDC dc : dcs) standin::deleteMemoryDC(dc);
    }
    HDC memoryDC(int width, int height, COLORREF fill = GREY) {
        HDC dc = standin::createMemoryDC(width, height, fill);
        dcs.push_back(dc);
        return dc;
    }
    // Every pixel of dc outside box still has colour.
    static void expectUntouchedOutside(HDC dc, int width, int height, RECT box, COLORREF colour) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (x >= box.left && x < box.right && y >= box.top && y < box.bottom) continue;
                ASSERT_EQ(GetPixel(dc, x, y), colour) << x << "," << y;
            }
        }
    }
    std::vector<HDC> dcs;
};

TEST_F(Drawing, DibTopLeftLandsAtDestinationRowsBottomUpWithPaddedRows) {
    HDC dc = memoryDC(10, 10);
    Dib dib = makeDib(3, 2);  // rows of 9 bytes padded to 12
    EXPECT_EQ(SetDIBitsToDevice(dc, 2, 3, 3, 2, 0, 0, 0, 2, dib.bits.data(), &dib.bmi, DIB_RGB_COLORS), 2);
    for (int dy = 0; dy < 2; ++dy) {
        for (int x = 0; x < 3; ++x) EXPECT_EQ(GetPixel(dc, 2 + x, 3 + dy), colourAt(x, 1 - dy)) << x << "," << dy;
    }
    expectUntouchedOutside(dc, 10, 10, RECT{2, 3, 5, 5}, GREY);
}

TEST_F(Drawing, DibClippedAtEveryEdgeAndSourceOriginHonoured) {
    HDC dc = memoryDC(4, 4);
    Dib dib = makeDib(6, 6);
    SetDIBitsToDevice(dc, -1, -1, 6, 6, 0, 0, 0, 6, dib.bits.data(), &dib.bmi, DIB_RGB_COLORS);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) EXPECT_EQ(GetPixel(dc, x, y), colourAt(x + 1, 5 - (y + 1)));
    }
    HDC corner = memoryDC(4, 4);
    SetDIBitsToDevice(corner, 2, 2, 6, 6, 0, 0, 0, 6, dib.bits.data(), &dib.bmi, DIB_RGB_COLORS);
    EXPECT_EQ(GetPixel(corner, 3, 3), colourAt(1, 4));
    expectUntouchedOutside(corner, 4, 4, RECT{2, 2, 4, 4}, GREY);
    // A 2x2 part whose lower-left corner is DIB pixel (1, 1).
    HDC part = memoryDC(4, 4);
    SetDIBitsToDevice(part, 0, 0, 2, 2, 1, 1, 0, 6, dib.bits.data(), &dib.bmi, DIB_RGB_COLORS);
    EXPECT_EQ(GetPixel(part, 0, 0), colourAt(1, 2));
    EXPECT_EQ(GetPixel(part, 1, 1), colourAt(2, 1));
    expectUntouchedOutside(part, 4, 4, RECT{0, 0, 2, 2}, GREY);
    // A copy reaching past the DIB draws only the DIB; far-off ones draw nothing.
    HDC wide = memoryDC(8, 8);
    SetDIBitsToDevice(wide, 0, 0, 100, 6, 4, 0, 0, 6, dib.bits.data(), &dib.bmi, DIB_RGB_COLORS);
    expectUntouchedOutside(wide, 8, 8, RECT{0, 0, 2, 6}, GREY);
    SetDIBitsToDevice(wide, 2147483000, -2147483000, 4000000000u, 4000000000u, -5, -7, 0, 6, dib.bits.data(),
                      &dib.bmi, DIB_RGB_COLORS);
    SetDIBitsToDevice(wide, -2147483000, 0, 100, 100, 2147483000, 0, 0, 6, dib.bits.data(), &dib.bmi,
                      DIB_RGB_COLORS);
    expectUntouchedOutside(wide, 8, 8, RECT{0, 0, 2, 6}, GREY);
}

TEST_F(Drawing, DibScanLineBandsDrawOnlyTheirRowsAndReadOnlyTheirBytes) {
    HDC dc = memoryDC(2, 4);
    Dib band = makeDib(2, 4, 1, 2);  // rows 1 and 2 of a 2x4 picture
    EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 4, 0, 0, 1, 2, band.bits.data(), &band.bmi, DIB_RGB_COLORS), 2);
    EXPECT_EQ(GetPixel(dc, 0, 0), GREY);  // row 3: not in the band
    EXPECT_EQ(GetPixel(dc, 1, 1), colourAt(1, 2));
    EXPECT_EQ(GetPixel(dc, 0, 2), colourAt(0, 1));
    EXPECT_EQ(GetPixel(dc, 1, 3), GREY);  // row 0: not in the band
    // More scan lines than the picture has: only the one left is read.
    Dib top = makeDib(2, 4, 3, 1);
    EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 4, 0, 0, 3, 50, top.bits.data(), &top.bmi, DIB_RGB_COLORS), 1);
    EXPECT_EQ(GetPixel(dc, 1, 0), colourAt(1, 3));
    EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 4, 0, 0, 4, 1, top.bits.data(), &top.bmi, DIB_RGB_COLORS), 0);
    // Unpadded bits with their true size in biSizeImage: nothing past it is read.
    Dib packed = makeDib(3, 2);
    packed.bits.resize(18);
    packed.bits.shrink_to_fit();
    packed.bmi.bmiHeader.biSizeImage = 18;
    HDC small = memoryDC(3, 2);
    EXPECT_EQ(SetDIBitsToDevice(small, 0, 0, 3, 2, 0, 0, 0, 2, packed.bits.data(), &packed.bmi, DIB_RGB_COLORS), 2);
    EXPECT_EQ(GetPixel(small, 2, 1), colourAt(2, 0));
    EXPECT_EQ(GetPixel(small, 1, 0), colourAt(1, 1));
    EXPECT_EQ(GetPixel(small, 2, 0), GREY);  // its bytes would lie past the 18
    // Rows long enough to be copied eight pixels a step, the last one cut
    // short by biSizeImage after 20 of its 29 pixels, in bits of exactly
    // that size.
    Dib wide = makeDib(29, 3);
    wide.bmi.bmiHeader.biSizeImage = 2 * 88 + 20 * 3;
    wide.bits.resize(wide.bmi.bmiHeader.biSizeImage);
    wide.bits.shrink_to_fit();
    HDC row = memoryDC(32, 3);
    EXPECT_EQ(SetDIBitsToDevice(row, 1, 0, 29, 3, 0, 0, 0, 3, wide.bits.data(), &wide.bmi, DIB_RGB_COLORS), 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 1; x < 30; ++x) {
            EXPECT_EQ(GetPixel(row, x, y), y == 0 && x > 20 ? GREY : colourAt(x - 1, 2 - y)) << x << "," << y;
        }
    }
    expectUntouchedOutside(row, 32, 3, RECT{1, 0, 30, 3}, GREY);
}

TEST_F(Drawing, DibOfAnotherFormatOrBadArgumentsIsRefused) {
    HDC dc = memoryDC(4, 4);
    const Dib good = makeDib(2, 2);
    auto copy = [&](const Dib& dib, HDC target = nullptr, UINT use = DIB_RGB_COLORS) {
        return SetDIBitsToDevice(target ? target : dc, 0, 0, 2, 2, 0, 0, 0, 2, dib.bits.data(), &dib.bmi, use);
    };
    std::vector<Dib> bad(6, good);
    bad[0].bmi.bmiHeader.biBitCount = 32;
    bad[1].bmi.bmiHeader.biBitCount = 8;
    bad[2].bmi.bmiHeader.biHeight = -2;  // top-down
    bad[3].bmi.bmiHeader.biCompression = 1;
    bad[4].bmi.bmiHeader.biWidth = 0;
    bad[5].bmi.bmiHeader.biSize = 12;
    for (const Dib& dib : bad) EXPECT_EQ(copy(dib), 0);
    EXPECT_EQ(copy(good, dc, 1), 0);
    EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 2, 0, 0, 0, 2, nullptr, &good.bmi, DIB_RGB_COLORS), 0);
    EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 2, 2, 0, 0, 0, 2, good.bits.data(), nullptr, DIB_RGB_COLORS), 0);
    EXPECT_EQ(copy(good, reinterpret_cast<HDC>(&dc)), 0);
    expectUntouchedOutside(dc, 4, 4, RECT{0, 0, 0, 0}, GREY);
}

TEST_F(Drawing, PixelsInsideSetAndReadOutsideInvalid) {
    HDC dc = memoryDC(3, 2);
    EXPECT_EQ(SetPixel(dc, 2, 1, 0xFF123456), 0x123456u);
    EXPECT_EQ(GetPixel(dc, 2, 1), 0x123456u);
    for (POINT p : {POINT{-1, 0}, POINT{3, 0}, POINT{0, -1}, POINT{0, 2}}) {
        EXPECT_EQ(SetPixel(dc, p.x, p.y, 0), CLR_INVALID);
        EXPECT_EQ(GetPixel(dc, p.x, p.y), CLR_INVALID);
    }
    EXPECT_EQ(SetPixel(nullptr, 0, 0, 0), CLR_INVALID);
    EXPECT_EQ(GetPixel(reinterpret_cast<HDC>(&dc), 0, 0), CLR_INVALID);
    EXPECT_EQ(standin::createMemoryDC(-1, 4, 0), nullptr);
    EXPECT_EQ(standin::createMemoryDC(4, 100000, 0), nullptr);
    HDC empty = memoryDC(0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(GetPixel(empty, 0, 0), CLR_INVALID);
    HDC gone = standin::createMemoryDC(2, 2, 0);
    standin::deleteMemoryDC(gone);
    EXPECT_EQ(GetPixel(gone, 0, 0), CLR_INVALID);
    standin::deleteMemoryDC(gone);  // twice: nothing happens
}

TEST_F(Drawing, FillRectExcludesRightAndBottomAndClips) {
    HDC dc = memoryDC(5, 5);
    HBRUSH green = CreateSolidBrush(RGB(0, 255, 0));
    const RECT square{1, 1, 3, 3};
    EXPECT_NE(FillRect(dc, &square, green), 0);
    EXPECT_EQ(GetPixel(dc, 1, 1), RGB(0, 255, 0));
    EXPECT_EQ(GetPixel(dc, 2, 2), RGB(0, 255, 0));
    expectUntouchedOutside(dc, 5, 5, square, GREY);
    const RECT beyond{-100, 3, 100, 100}, inverted{4, 4, 2, 2};
    FillRect(dc, &beyond, green);
    FillRect(dc, &inverted, reinterpret_cast<HBRUSH>(uintptr_t(COLOR_SCROLLBAR + 1)));
    EXPECT_EQ(GetPixel(dc, 0, 4), RGB(0, 255, 0));
    EXPECT_EQ(GetPixel(dc, 4, 3), RGB(0, 255, 0));
    EXPECT_EQ(GetPixel(dc, 3, 2), GREY);
    EXPECT_TRUE(DeleteObject(green));
    const RECT all{0, 0, 5, 5};
    EXPECT_EQ(FillRect(dc, &all, green), 0);  // deleted
    EXPECT_EQ(FillRect(dc, &all, nullptr), 0);
    EXPECT_EQ(FillRect(dc, &all, reinterpret_cast<HBRUSH>(uintptr_t(32))), 0);
    EXPECT_EQ(FillRect(dc, nullptr, reinterpret_cast<HBRUSH>(uintptr_t(1))), 0);
    EXPECT_EQ(GetPixel(dc, 0, 0), GREY);
}

TEST_F(Drawing, SystemColourBrushesAndDeletingOnlyOwnBrushes) {
    HDC dc = memoryDC(1, 1);
    const RECT all{0, 0, 1, 1};
    FillRect(dc, &all, reinterpret_cast<HBRUSH>(uintptr_t(COLOR_SCROLLBAR + 1)));
    EXPECT_EQ(GetPixel(dc, 0, 0), SCROLLBAR);
    EXPECT_EQ(FillRect(dc, &all, reinterpret_cast<HBRUSH>(uintptr_t(5 + 1))), 0);  // no other system colour
    HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
    EXPECT_TRUE(DeleteObject(brush));
    EXPECT_FALSE(DeleteObject(brush));
    EXPECT_FALSE(DeleteObject(nullptr));
    EXPECT_FALSE(DeleteObject(reinterpret_cast<HGDIOBJ>(uintptr_t(COLOR_SCROLLBAR + 1))));
    EXPECT_FALSE(DeleteObject(&brush));
}

class Text : public Drawing {
protected:
    static constexpr COLORREF BLUE = RGB(0, 0, 255);
    static bool dark(COLORREF c) { return GetRValue(c) < 100 && GetGValue(c) < 100 && GetBValue(c) < 100; }
    struct Extent {
        int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
    };
    static Extent darkExtent(HDC dc, int width, int height) {
        Extent e;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (!dark(GetPixel(dc, x, y))) continue;
                e = Extent{std::min(e.left, x), std::max(e.right, x), std::min(e.top, y), std::max(e.bottom, y)};
            }
        }
        return e;
    }
};

TEST_F(Text, CentredTopAlignedBlackOnWhiteInsideTheBoxOnly) {
    HDC dc = memoryDC(200, 60, BLUE);
    RECT box{10, 10, 150, 40};
    const int height = DrawTextW(dc, L"Distance: Too Far!", -1, &box, DT_CENTER);
    ASSERT_GE(height, 12);
    ASSERT_LE(height, 20);
    expectUntouchedOutside(dc, 200, 60, box, BLUE);
    const Extent e = darkExtent(dc, 200, 60);
    ASSERT_GE(e.right, 0) << "no text drawn";
    EXPECT_NEAR(e.left - box.left, box.right - 1 - e.right, 4);
    EXPECT_LE(e.top - box.top, 6);
    EXPECT_LT(e.bottom, box.top + height);
    EXPECT_GT(e.top, box.top);
    EXPECT_EQ(GetPixel(dc, e.left, box.top), RGB(255, 255, 255));  // opaque background
    EXPECT_EQ(GetPixel(dc, 80, box.top + height), BLUE);                // below the line
}

TEST_F(Text, WiderTextClippedAtBothEdgesAndLengthHonoured) {
    HDC dc = memoryDC(60, 40, BLUE);
    RECT box{10, 10, 50, 30};
    const int height = DrawTextW(dc, L"Distance: 83.530907", -1, &box, DT_CENTER);
    ASSERT_GT(height, 0);
    expectUntouchedOutside(dc, 60, 40, box, BLUE);
    EXPECT_NE(GetPixel(dc, 10, 10 + height / 2), BLUE);
    EXPECT_NE(GetPixel(dc, 49, 10 + height / 2), BLUE);

    HDC one = memoryDC(60, 40, BLUE), prefix = memoryDC(60, 40, BLUE);
    DrawTextW(one, L"W", -1, &box, DT_CENTER);
    DrawTextW(prefix, L"WXYZ", 1, &box, DT_CENTER);
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 60; ++x) ASSERT_EQ(GetPixel(one, x, y), GetPixel(prefix, x, y));
    }
}

TEST_F(Text, WithoutFontOrWithBadArgumentsNothingIsDrawn) {
    HDC dc = memoryDC(60, 40, BLUE);
    RECT box{0, 0, 60, 40};
    setenv("KESTROVA_FONT", "/nonexistent/font.ttf", 1);
    EXPECT_EQ(DrawTextW(dc, L"Distance", -1, &box, DT_CENTER), 0);
    unsetenv("KESTROVA_FONT");
    EXPECT_EQ(DrawTextW(dc, nullptr, -1, &box, DT_CENTER), 0);
    EXPECT_EQ(DrawTextW(dc, L"Distance", -1, nullptr, DT_CENTER), 0);
    EXPECT_EQ(DrawTextW(dc, L"Distance", -2, &box, DT_CENTER), 0);
    EXPECT_EQ(DrawTextW(dc, L"Distance", 0, &box, DT_CENTER), 0);
    EXPECT_EQ(DrawTextW(reinterpret_cast<HDC>(&box), L"Distance", -1, &box, DT_CENTER), 0);
    expectUntouchedOutside(dc, 60, 40, RECT{0, 0, 0, 0}, BLUE);
    EXPECT_GT(DrawTextW(dc, L"\xD800 \x110000", -1, &box, DT_CENTER), 0);  // not Unicode: replaced
    EXPECT_GT(DrawTextW(dc, L"Distance", -1, &box, DT_CENTER), 0);        // the font is back
}

// Windows and their messages. Each test's window procedure logs into calls.
std::vector<std::pair<HWND, UINT>> calls;
int paints = 0;
COLORREF paintedPixel = 0;
PAINTSTRUCT lastPaint{};

LRESULT CALLBACK loggingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    calls.push_back({hwnd, msg});
    if (msg == WM_DESTROY) PostQuitMessage(7);
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// Paints like the program: reads what the paint found, then covers the
// client area in green.
LRESULT CALLBACK paintingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_PAINT) return loggingProc(hwnd, msg, wParam, lParam);
    ++paints;
    calls.push_back({hwnd, msg});
    HDC dc = BeginPaint(hwnd, &lastPaint);
    paintedPixel = GetPixel(dc, 0, 0);
    HBRUSH green = CreateSolidBrush(RGB(0, 255, 0));
    FillRect(dc, &lastPaint.rcPaint, green);
    DeleteObject(green);
    EndPaint(hwnd, &lastPaint);
    return 0;
}

class Windows : public ::testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        paints = 0;
    }
    void TearDown() override {
        standin::destroyAllWindows();
        standin::clearMessageQueue();
    }

    static std::wstring registerClass(WNDPROC proc, HBRUSH background = reinterpret_cast<HBRUSH>(uintptr_t(1))) {
        static int serial = 0;
        std::wstring name = L"TestClass" + std::to_wstring(++serial);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = proc;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = background;
        wc.lpszClassName = name.c_str();
        EXPECT_NE(RegisterClassExW(&wc), 0);
        return name;
    }
    static HWND mainWindow(WNDPROC proc = loggingProc) {
        const std::wstring name = registerClass(proc);
        return CreateWindowExW(WS_EX_CLIENTEDGE, name.c_str(), L"Kestrova", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               CW_USEDEFAULT, CW_USEDEFAULT, 640, 240, nullptr, nullptr, nullptr, nullptr);
    }
    // Runs the loop until the quit message, or fails after timeoutMs.
    static MSG runUntilQuit(HWND watched, unsigned timeoutMs = 5000) {
        constexpr UINT_PTR WATCHDOG = 0xD06;
        SetTimer(watched, WATCHDOG, timeoutMs, nullptr);  // goes with the window
        MSG msg{};
        BOOL got;
        while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
            if (msg.message == WM_TIMER && msg.hwnd == watched && msg.wParam == WATCHDOG) {
                ADD_FAILURE() << "no quit message in time";
                DestroyWindow(watched);
                break;
            }
            DispatchMessageW(&msg);
        }
        return msg;
    }
    static int timerMessages(unsigned ms, UINT_PTR id) {
        int count = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        MSG msg;
        while (std::chrono::steady_clock::now() < end && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_TIMER && msg.wParam == id) ++count;
            DispatchMessageW(&msg);
        }
        return count;
    }
};

TEST_F(Windows, ClassRegistrationAndCreationFailures) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = loggingProc;
    wc.lpszClassName = L"Twice";
    EXPECT_EQ(RegisterClassExW(nullptr), 0);
    WNDCLASSEXW wrongSize = wc;
    wrongSize.cbSize = 0;
    EXPECT_EQ(RegisterClassExW(&wrongSize), 0);
    WNDCLASSEXW noName = wc, noProc = wc;
    noName.lpszClassName = nullptr;
    noProc.lpfnWndProc = nullptr;
    EXPECT_EQ(RegisterClassExW(&noName), 0);
    EXPECT_EQ(RegisterClassExW(&noProc), 0);
    const ATOM atom = RegisterClassExW(&wc);
    EXPECT_NE(atom, 0);
    EXPECT_EQ(RegisterClassExW(&wc), 0);
    wc.lpszClassName = L"TWICE";  // class names ignore case
    EXPECT_EQ(RegisterClassExW(&wc), 0);

    EXPECT_EQ(CreateWindowExW(0, L"NoSuchClass", L"", WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(CreateWindowExW(0, nullptr, L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(CreateWindowExW(0, L"Twice", L"", WS_CHILD, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr), nullptr);
    HWND gone = CreateWindowExW(0, L"twice", nullptr, 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(gone, nullptr);
    DestroyWindow(gone);
    EXPECT_EQ(CreateWindowExW(0, L"Twice", L"", WS_CHILD, 0, 0, 10, 10, gone, nullptr, nullptr, nullptr), nullptr);
    HWND byAtom = CreateWindowExW(0, reinterpret_cast<LPCWSTR>(uintptr_t(atom)), L"", 0, 0, 0, 10, 10, nullptr,
                                  nullptr, nullptr, nullptr);
    EXPECT_TRUE(IsWindow(byAtom));
    EXPECT_EQ(LoadCursorW(nullptr, MAKEINTRESOURCEW(1)), nullptr);
}

TEST_F(Windows, FittingTheClientAreaThroughTheOuterRectangle) {
    HWND hwnd = mainWindow();
    ASSERT_NE(hwnd, nullptr);
    for (POINT want : {POINT{640, 240}, POINT{672, 288}, POINT{320, 240}, POINT{0, 0}, POINT{640, 240}}) {
        RECT rcClient, rcWindow;
        ASSERT_TRUE(GetClientRect(hwnd, &rcClient));
        ASSERT_TRUE(GetWindowRect(hwnd, &rcWindow));
        EXPECT_EQ(rcClient.left, 0);
        EXPECT_EQ(rcClient.top, 0);
        const POINT ptDiff{(rcWindow.right - rcWindow.left) - rcClient.right,
                           (rcWindow.bottom - rcWindow.top) - rcClient.bottom};
        EXPECT_GT(ptDiff.x, 0);
        EXPECT_GT(ptDiff.y, 0);
        ASSERT_TRUE(MoveWindow(hwnd, rcWindow.left, rcWindow.top, want.x + ptDiff.x, want.y + ptDiff.y, TRUE));
        RECT after, outer;
        GetClientRect(hwnd, &after);
        GetWindowRect(hwnd, &outer);
        EXPECT_EQ(after.right, want.x);
        EXPECT_EQ(after.bottom, want.y);
        EXPECT_EQ(outer.left, rcWindow.left);
        EXPECT_EQ(outer.top, rcWindow.top);
    }
    // A child's rectangles: its own size, placed inside the parent.
    HWND child = standin::createWindowObject(0, L"child", L"", WS_CHILD, 320, 0, 320, 240, hwnd, 1, loggingProc);
    RECT rcChild, rcParent, rcChildClient;
    GetWindowRect(child, &rcChild);
    GetWindowRect(hwnd, &rcParent);
    GetClientRect(child, &rcChildClient);
    EXPECT_EQ(rcChildClient.right, 320);
    EXPECT_EQ(rcChildClient.bottom, 240);
    EXPECT_GT(rcChild.left, rcParent.left + 320);
    EXPECT_EQ(rcChild.right - rcChild.left, 320);
    EXPECT_FALSE(GetClientRect(nullptr, &rcChild));
    EXPECT_FALSE(MoveWindow(nullptr, 0, 0, 1, 1, FALSE));
    EXPECT_TRUE(MoveWindow(hwnd, 0, 0, -50, 2000000000, TRUE));  // clamped, not overflowing
    GetClientRect(hwnd, &rcParent);
    EXPECT_EQ(rcParent.right, 0);
}

TEST_F(Windows, CloseDestroysAndQuitEndsTheLoop) {
    HWND hwnd = mainWindow();
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    const MSG last = runUntilQuit(hwnd);
    EXPECT_EQ(last.message, UINT(WM_QUIT));
    EXPECT_EQ(last.wParam, 7u);
    EXPECT_FALSE(IsWindow(hwnd));
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0].second, UINT(WM_CLOSE));
    EXPECT_EQ(calls[1].second, UINT(WM_DESTROY));
}

TEST_F(Windows, TerminationAndInterruptSignalsCloseTheWindow) {
    for (int sig : {SIGTERM, SIGINT}) {
        calls.clear();
        HWND hwnd = mainWindow();
        std::raise(sig);
        EXPECT_EQ(runUntilQuit(hwnd).message, UINT(WM_QUIT));
        EXPECT_FALSE(IsWindow(hwnd));
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2].second, UINT(WM_CLOSE));
        EXPECT_EQ(calls.back().second, UINT(WM_DESTROY));
    }
    // With no window left a signal ends the loop directly.
    std::raise(SIGTERM);
    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
}

TEST_F(Windows, TimersComeAtTheirRateWithoutBursts) {
    HWND hwnd = mainWindow();
    EXPECT_EQ(SetTimer(hwnd, 5000, 40, nullptr), 5000u);
    const int ticks = timerMessages(600, 5000);
    EXPECT_GE(ticks, 4);
    EXPECT_LE(ticks, 16);  // 600 / 40 + 1

    // A loop 300 ms late gets one message, then the timer's beat again.
    EXPECT_EQ(SetTimer(hwnd, 5000, 50, nullptr), 5000u);  // same id: replaced
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int late = timerMessages(100, 5000);
    EXPECT_GE(late, 1);
    EXPECT_LE(late, 4);

    EXPECT_TRUE(KillTimer(hwnd, 5000));
    EXPECT_FALSE(KillTimer(hwnd, 5000));
    SetTimer(hwnd, 5001, 10, nullptr);
    int notAWindow = 0;
    EXPECT_EQ(SetTimer(reinterpret_cast<HWND>(&notAWindow), 1, 10, nullptr), 0u);
    EXPECT_EQ(SetTimer(nullptr, 1, 10, nullptr), 0u);  // timers of the thread alone are not kept
    DestroyWindow(hwnd);
    EXPECT_FALSE(KillTimer(hwnd, 5001));  // went with its window
}

TEST_F(Windows, UpdateWindowPaintsAtOnceAndErasesWhenAsked) {
    HWND hwnd = mainWindow(paintingProc);
    EXPECT_TRUE(UpdateWindow(hwnd));  // the first paint erases with the class brush
    EXPECT_EQ(paints, 1);
    EXPECT_EQ(paintedPixel, SCROLLBAR);
    EXPECT_FALSE(lastPaint.fErase);
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(lastPaint.rcPaint.right, client.right);
    EXPECT_EQ(GetPixel(lastPaint.hdc, 0, 0), CLR_INVALID);  // released by EndPaint

    UpdateWindow(hwnd);
    EXPECT_EQ(paints, 1);  // nothing to paint
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
    EXPECT_EQ(paints, 2);
    EXPECT_EQ(paintedPixel, RGB(0, 255, 0));  // kept
    InvalidateRect(hwnd, nullptr, TRUE);
    UpdateWindow(hwnd);
    EXPECT_EQ(paintedPixel, SCROLLBAR);  // erased
    const RECT part{0, 0, 10, 5};
    InvalidateRect(hwnd, &part, FALSE);
    UpdateWindow(hwnd);
    EXPECT_EQ(lastPaint.rcPaint.right, 10);
    EXPECT_EQ(lastPaint.rcPaint.bottom, 5);
    EXPECT_FALSE(InvalidateRect(reinterpret_cast<HWND>(&client), nullptr, TRUE));
}

TEST_F(Windows, PaintComesWhenTheQueueIsEmptyAndOnceOnly) {
    HWND hwnd = mainWindow(paintingProc);
    PostMessageW(hwnd, WM_USER, 0, 0);
    SetTimer(hwnd, 1, 30, nullptr);
    std::vector<UINT> order;
    MSG msg;
    while (order.size() < 3 && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        order.push_back(msg.message);
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(order, (std::vector<UINT>{WM_USER, WM_PAINT, WM_TIMER}));

    // A procedure leaving WM_PAINT to DefWindowProcW gets it once too.
    HWND plain = mainWindow(loggingProc);
    KillTimer(hwnd, 1);
    SetTimer(plain, 2, 30, nullptr);
    order.clear();
    while (order.size() < 2 && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        order.push_back(msg.message);
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(order, (std::vector<UINT>{WM_PAINT, WM_TIMER}));
}

TEST_F(Windows, QueueEdges) {
    HWND hwnd = mainWindow();
    PostMessageW(hwnd, WM_USER + 1, 0, 0);
    PostMessageW(hwnd, WM_USER + 2, 0, 0);
    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, hwnd, WM_USER + 2, WM_USER + 2), -1);  // filters are refused
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, UINT(WM_USER + 1));
    EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(GetMessageW(&msg, reinterpret_cast<HWND>(&msg), 0, 0), -1);
    EXPECT_FALSE(PostMessageW(reinterpret_cast<HWND>(&msg), WM_USER, 0, 0));
    DestroyWindow(hwnd);  // its queued WM_USER + 2 goes with it
    PostMessageW(nullptr, WM_USER + 3, 0, 0);
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, UINT(WM_USER + 3));
    EXPECT_EQ(DispatchMessageW(&msg), 0);
    EXPECT_EQ(DispatchMessageW(nullptr), 0);
}

TEST_F(Windows, DestroyingTheMainWindowDestroysChildrenFirst) {
    HWND hwnd = mainWindow();
    HWND capture0 = standin::createWindowObject(0, L"cap", L"", WS_CHILD, 0, 0, 320, 240, hwnd, 0, loggingProc);
    HWND capture1 = standin::createWindowObject(0, L"cap", L"", WS_CHILD, 320, 0, 320, 240, hwnd, 0, loggingProc);
    const std::wstring childClass = registerClass(loggingProc);
    HWND own = CreateWindowExW(0, childClass.c_str(), L"", WS_CHILD | WS_VISIBLE, 0, 0, 5, 5, hwnd, nullptr, nullptr,
                               nullptr);
    ASSERT_TRUE(IsWindow(own));
    EXPECT_EQ(SendMessageW(capture0, WM_USER, 0, 0), 0);
    ASSERT_EQ(calls.back(), std::make_pair(capture0, UINT(WM_USER)));
    EXPECT_TRUE(DestroyWindow(capture0));  // a child alone
    EXPECT_TRUE(IsWindow(hwnd));
    calls.clear();
    EXPECT_TRUE(DestroyWindow(hwnd));
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].first, own);
    EXPECT_EQ(calls[1].first, capture1);
    EXPECT_EQ(calls[2], std::make_pair(hwnd, UINT(WM_DESTROY)));
    for (HWND gone : {hwnd, capture0, capture1, own}) {
        EXPECT_FALSE(IsWindow(gone));
        EXPECT_FALSE(DestroyWindow(gone));
        EXPECT_EQ(SendMessageW(gone, WM_USER, 0, 0), 0);
    }
}

// Keys, clicks and window events as the window system hands them to SDL.
struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Received> received;
LRESULT CALLBACK inputProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_KEYDOWN || (msg >= WM_LBUTTONDOWN && msg <= WM_MBUTTONUP) || msg == WM_CLOSE) {
        received.push_back({msg, wParam, lParam});
    }
    return loggingProc(hwnd, msg, wParam, lParam);
}

Uint32 sdlWindowTitled(const char* title) {
    for (Uint32 id = 1; id < 1000; ++id) {
        SDL_Window* window = SDL_GetWindowFromID(id);
        if (window != nullptr && std::string(SDL_GetWindowTitle(window)) == title) return id;
    }
    return 0;
}

TEST_F(Windows, SdlInputBecomesWindowsMessages) {
    const std::wstring name = registerClass(inputProc);
    HWND hwnd = CreateWindowExW(WS_EX_CLIENTEDGE, name.c_str(), L"Input \u00e9", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                CW_USEDEFAULT, CW_USEDEFAULT, 640, 240, nullptr, nullptr, nullptr, nullptr);
    const Uint32 id = sdlWindowTitled("Input \xc3\xa9");
    ASSERT_NE(id, 0u);
    received.clear();
    auto key = [id](SDL_Keycode sym, bool repeat) {
        SDL_Event event{};
        event.type = SDL_KEYDOWN;
        event.key.windowID = id;
        event.key.repeat = repeat;
        event.key.keysym.sym = sym;
        event.key.keysym.scancode = SDL_GetScancodeFromKey(sym);
        SDL_PushEvent(&event);
    };
    auto click = [id](Uint32 type, Uint8 button, int x, int y) {
        SDL_Event event{};
        event.type = type;
        event.button.windowID = id;
        event.button.button = button;
        event.button.x = x;
        event.button.y = y;
        SDL_PushEvent(&event);
    };
    key(SDLK_UP, false);
    key(SDLK_UP, true);
    key(SDLK_DOWN, false);
    key(SDLK_a, false);
    key(SDLK_7, false);
    click(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 12, 34);
    click(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 12, 34);
    click(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 639, 0);
    click(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_MIDDLE, 0, 239);
    SDL_Event resize{};
    resize.type = SDL_WINDOWEVENT;
    resize.window.windowID = id;
    resize.window.event = SDL_WINDOWEVENT_SIZE_CHANGED;
    resize.window.data1 = 300;
    resize.window.data2 = 200;
    SDL_PushEvent(&resize);
    SDL_Event close = resize;
    close.window.event = SDL_WINDOWEVENT_CLOSE;
    SDL_PushEvent(&close);
    EXPECT_FALSE(standin::pumpMessagesFor(5000));

    ASSERT_EQ(received.size(), 10u);
    const std::vector<WPARAM> keys{VK_UP, VK_UP, VK_DOWN, 'A', '7'};
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(received[i].message, UINT(WM_KEYDOWN));
        EXPECT_EQ(received[i].wParam, keys[i]);
    }
    EXPECT_EQ(received[0].lParam & (LPARAM(1) << 30), 0);
    EXPECT_NE(received[1].lParam & (LPARAM(1) << 30), 0);  // auto-repeat
    EXPECT_EQ(received[5].message, UINT(WM_LBUTTONDOWN));
    EXPECT_EQ(received[5].lParam, LPARAM(12 | (34 << 16)));
    EXPECT_EQ(received[6].message, UINT(WM_LBUTTONUP));
    EXPECT_EQ(received[7].message, UINT(WM_RBUTTONDOWN));
    EXPECT_EQ(received[7].lParam, LPARAM(639));
    EXPECT_EQ(received[8].message, UINT(WM_MBUTTONDOWN));
    EXPECT_EQ(received[8].lParam, LPARAM(239 << 16));
    EXPECT_EQ(received[9].message, UINT(WM_CLOSE));
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(Windows, ResizeByTheWindowSystemMovesTheClientArea) {
    HWND hwnd = mainWindow(paintingProc);
    UpdateWindow(hwnd);
    RECT before, beforeClient, client, outer;
    GetWindowRect(hwnd, &before);
    GetClientRect(hwnd, &beforeClient);
    SDL_Event resize{};
    resize.type = SDL_WINDOWEVENT;
    resize.window.windowID = sdlWindowTitled("Kestrova");
    resize.window.event = SDL_WINDOWEVENT_SIZE_CHANGED;
    resize.window.data1 = 300;
    resize.window.data2 = 200;
    SDL_PushEvent(&resize);
    paints = 0;
    standin::pumpMessagesFor(50);
    GetClientRect(hwnd, &client);
    GetWindowRect(hwnd, &outer);
    EXPECT_EQ(client.right, 300);
    EXPECT_EQ(client.bottom, 200);
    EXPECT_EQ(outer.left, before.left);
    EXPECT_EQ(outer.right - outer.left - 300, before.right - before.left - beforeClient.right);
    EXPECT_EQ(paints, 1);
    EXPECT_EQ(paintedPixel, SCROLLBAR);  // repainted from an erased background
}

LRESULT CALLBACK selfDestroyingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY) {
        calls.push_back({hwnd, msg});
        EXPECT_FALSE(DestroyWindow(hwnd));  // already under way
        if (hwnd->parent != nullptr) DestroyWindow(hwnd->parent);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST_F(Windows, DestroyingAgainFromWmDestroyIsHarmless) {
    HWND hwnd = mainWindow(selfDestroyingProc);
    HWND child = standin::createWindowObject(0, L"c", L"", WS_CHILD, 0, 0, 1, 1, hwnd, 0, selfDestroyingProc);
    EXPECT_TRUE(DestroyWindow(child));  // whose WM_DESTROY destroys the parent
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(Windows, MessageBoxWithoutDisplayGoesToStandardError) {
    standin::clearShownMessages();
    HWND hwnd = mainWindow();
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(hwnd, L"Could not initialize capture windows!", L"Error", MB_ICONWARNING), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Could not initialize capture windows!\n");
    ASSERT_EQ(standin::shownMessages().size(), 1u);
    EXPECT_EQ(standin::shownMessages()[0].owner, hwnd);
}

}  // namespace
