// The tracking cycle, the camera views, the distance readout, the event
// handler and start-up, on the stand-in (headless) with a pseudo-terminal as
// COM1 and the simulated rig as cameras.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/event_handler.h"
#include "app/main_window.h"
#include "capture/capture_source.h"
#include "display/camera_view.h"
#include "display/distance_readout.h"
#include "measurement/tracking_cycle.h"
#include "platform/linux/stand_in.h"
#include "serial/serial_link.h"
#include "tests/support/fresh_state.h"
#include "tests/support/pseudo_terminal.h"
#include "tracking/camera_slot.h"

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kGrey = RGB(1, 2, 3);  // the memory context's own fill

class AppTest : public FreshStateTest {
protected:
    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "offscreen", 1);
        FreshStateTest::SetUp();
        standin::clearShownMessages();
    }
    void TearDown() override {
        closeSerialLink();
        standin::destroyAllWindows();
        FreshStateTest::TearDown();
    }

    static uint8_t* pixel(uint8_t* image, int slot, int x, int y) {
        return image + (size_t(y) * size_t(cameraSlots[slot].width) + size_t(x)) * 3;
    }
    static void setColour(uint8_t* p, uint8_t b, uint8_t g, uint8_t r) {
        p[0] = b;
        p[1] = g;
        p[2] = r;
    }
    // A plain top-level window of a class of the test's own.
    static HWND makeWindow(int x, int y, int width, int height) {
        WNDCLASSEXW wndclass = {};
        wndclass.cbSize = sizeof wndclass;
        wndclass.lpfnWndProc = DefWindowProcW;
        wndclass.lpszClassName = L"KestrovaTest";
        RegisterClassExW(&wndclass);  // fails harmlessly once registered
        return CreateWindowExW(WS_EX_CLIENTEDGE, L"KestrovaTest", L"test", WS_OVERLAPPEDWINDOW, x, y, width, height,
                               nullptr, nullptr, nullptr, nullptr);
    }
    // The pixels of a rectangle of the context that have the colour.
    static int countColour(HDC hdc, int left, int top, int right, int bottom, COLORREF colour) {
        int n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x) n += GetPixel(hdc, x, y) == colour;
        return n;
    }
};

// --- report cycle -----------------------------------------------------------

TEST_F(AppTest, ReportCycleAveragesTruncatesSendsAndClears) {
    PseudoTerminal farEnd;
    ASSERT_TRUE(farEnd.ok());
    setenv("KESTROVA_COM1", farEnd.path.c_str(), 1);
    openSerialLink();
    for (int tick = 0; tick < 25; ++tick) {
        tracker.sums[0] += tick < 10 ? 100 : 0;
        tracker.sums[1] += 50;
        tracker.sums[2] += tick < 24 ? -3 : 0;  // -72 / 25 truncates toward zero
        tracker.sums[3] += 52;
        tracker.sampleCount += 1;
    }
    runReportCycle();
    EXPECT_EQ(farEnd.readUntilQuiet(), " 40 50 -2 52");
    EXPECT_EQ(tracker.averagedPoints[0].x, 40);
    EXPECT_EQ(tracker.averagedPoints[1].x, -2);
    EXPECT_EQ(tracker.averagedPoints[1].y, 52);
    EXPECT_EQ(tracker.sampleCount, 0);
    for (int32_t sum : tracker.sums) EXPECT_EQ(sum, 0);

    runReportCycle();  // no samples: nothing sent, averages kept
    EXPECT_EQ(farEnd.readUntilQuiet(), "");
    EXPECT_EQ(tracker.averagedPoints[0].x, 40);
}

TEST_F(AppTest, TrackingTickFindsTheBallInBothCamerasAndSumsIt) {
    setenv("KESTROVA_CAMERAS", "sim:2.0", 1);
    resetCaptureSources();
    mainWindow = makeWindow(0, 0, 640, 240);
    createCaptureSource(mainWindow, 0, 0, 0);
    createCaptureSource(mainWindow, 320, 0, 0);
    runTrackingTick(mainWindow);
    runTrackingTick(mainWindow);
    const ImagePoint p0 = cameraSlots[0].latestPoint, p1 = cameraSlots[1].latestPoint;
    EXPECT_GT(p0.x, p1.x);  // the left camera sees the ball further right
    EXPECT_NEAR(p0.x - p1.x, 42, 1);
    EXPECT_EQ(tracker.sampleCount, 2);
    EXPECT_EQ(tracker.sums[0], 2 * p0.x);
    EXPECT_EQ(tracker.sums[3], 2 * p1.y);
}

// --- camera views -------------------------------------------------------------

TEST_F(AppTest, PictureLandsTopLeftAtTheOriginWithTheMarkerOnTheTarget) {
    fillSlot(0, 8, 4, 255, 0, 0);  // blue picture
    setColour(pixel(cameraSlots[0].rawImage, 0, 0, 3), 0, 0, 255);  // top-left red
    cameraSlots[0].latestPoint = {4, 2};
    HDC hdc = standin::createMemoryDC(20, 12, kGrey);
    drawCameraView(hdc, 2, 1, 0, 0);
    EXPECT_EQ(GetPixel(hdc, 2, 1), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(hdc, 9, 4), RGB(0, 0, 255));  // bottom-right
    EXPECT_EQ(GetPixel(hdc, 1, 1), kGrey);
    // Image row 2 is device row 1 + 4 - 1 - 2 = 2: the 6x6 marker spans
    // rows -1..4 and columns 3..8 around it.
    EXPECT_EQ(countColour(hdc, 0, 0, 20, 12, kGreen), 6 * 5);  // row -1 is clipped
    EXPECT_EQ(GetPixel(hdc, 2 + 4 - 3, 4), kGreen);
    EXPECT_EQ(GetPixel(hdc, 2 + 4 + 2, 4), kGreen);
    EXPECT_EQ(GetPixel(hdc, 2 + 4 + 3, 4), RGB(0, 0, 255));
    standin::deleteMemoryDC(hdc);
}

TEST_F(AppTest, MaskAndOverlayLieExactlyOnTheForeground) {
    fillSlot(0, 4, 3, 10, 20, 30);
    uint8_t* work = usableWorkImage(0);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) setColour(pixel(work, 0, x, y), 255, 255, 255);
    setColour(pixel(work, 0, 1, 0), 40, 40, 40);  // bottom row
    setColour(pixel(work, 0, 3, 2), 0, 0, 0);     // top row
    setColour(pixel(cameraSlots[0].rawImage, 0, 2, 1), 0, 0, 200);
    cameraSlots[0].latestPoint = {100, 100};  // marker far off the picture

    HDC hdc = standin::createMemoryDC(4, 4, kGrey);
    drawCameraView(hdc, 0, 0, 0, 1);
    EXPECT_EQ(GetPixel(hdc, 1, 2), RGB(40, 40, 40));
    EXPECT_EQ(GetPixel(hdc, 3, 0), RGB(0, 0, 0));
    EXPECT_EQ(countColour(hdc, 0, 0, 4, 3, kWhite), 10);

    tracker.viewMode = 2;
    drawCameraView(hdc, 0, 0, 0, 2);
    EXPECT_EQ(GetPixel(hdc, 1, 2), kWhite);  // overlay on bottom image row
    EXPECT_EQ(GetPixel(hdc, 3, 0), kWhite);  // and on the top row
    EXPECT_EQ(GetPixel(hdc, 2, 1), RGB(200, 0, 0));  // picture elsewhere
    EXPECT_EQ(countColour(hdc, 0, 0, 4, 3, kWhite), 2);
    EXPECT_EQ(countColour(hdc, 0, 3, 4, 4, kGrey), 4);  // nothing below the picture
    standin::deleteMemoryDC(hdc);
}

TEST_F(AppTest, BeforeTheFirstFrameOnlyTheMarkerIsDrawnInEveryMode) {
    for (int mode = 0; mode < 3; ++mode) {
        cameraSlots[1].width = 4;
        cameraSlots[1].height = 4;
        HDC hdc = standin::createMemoryDC(12, 8, kGrey);
        drawCameraView(hdc, 4, 0, 1, mode);
        // No target: the marker is centred on the picture's bottom-left pixel.
        EXPECT_EQ(countColour(hdc, 0, 0, 12, 8, kGreen), 36) << mode;
        EXPECT_EQ(GetPixel(hdc, 1, 0), kGreen);  // columns 1..6, rows 0..5
        EXPECT_EQ(GetPixel(hdc, 6, 5), kGreen);
        EXPECT_EQ(GetPixel(hdc, 0, 0), kGrey);
        EXPECT_EQ(GetPixel(hdc, 1, 6), kGrey);
        EXPECT_EQ(countColour(hdc, 0, 0, 12, 8, kGrey), 12 * 8 - 36);
        standin::deleteMemoryDC(hdc);
    }
}

TEST_F(AppTest, PaintDrawsSlotOneRightOfSlotZero) {
    fillSlot(0, 4, 2, 0, 0, 255);
    fillSlot(1, 4, 2, 255, 0, 0);
    cameraSlots[0].latestPoint = cameraSlots[1].latestPoint = {100, 100};
    HDC hdc = standin::createMemoryDC(8, 2, kGrey);
    drawCameraView(hdc, 0, 0, 0, 0);
    drawCameraView(hdc, cameraSlots[0].width, 0, 1, 0);
    EXPECT_EQ(countColour(hdc, 0, 0, 4, 2, RGB(255, 0, 0)), 8);
    EXPECT_EQ(countColour(hdc, 4, 0, 8, 2, RGB(0, 0, 255)), 8);
    standin::deleteMemoryDC(hdc);
}

// --- distance readout -----------------------------------------------------------

TEST_F(AppTest, ReadoutTextForNoEstimateAndForADisparityOf40) {
    HDC hdc = standin::createMemoryDC(200, 60, kWhite);
    drawDistanceReadout(hdc);
    ASSERT_FALSE(standin::drawnTexts().empty());
    EXPECT_EQ(standin::drawnTexts().back(), L"Distance: Too Far!");
    cameraSlots[0].width = cameraSlots[1].width = 320;
    tracker.averagedPoints[0] = {160, 120};
    tracker.averagedPoints[1] = {120, 118};
    drawDistanceReadout(hdc);
    EXPECT_EQ(standin::drawnTexts().back(), L"Distance: 2.088273");
    // Dark text inside the box only.
    EXPECT_EQ(countColour(hdc, 0, 0, 200, 10, kWhite), 200 * 10);
    EXPECT_EQ(countColour(hdc, 150, 0, 200, 60, kWhite), 50 * 60);
    standin::deleteMemoryDC(hdc);
}

// --- event handler --------------------------------------------------------------

TEST_F(AppTest, KeysAndClicksChangeThresholdAndViewModeOnly) {
    HWND hwnd = nullptr;
    for (int i = 0; i < 102; ++i) handleWindowEvent(hwnd, WM_KEYDOWN, VK_UP, 0);
    EXPECT_EQ(tracker.threshold, 162);
    for (int i = 0; i < 163; ++i) handleWindowEvent(hwnd, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(tracker.threshold, -1);
    handleWindowEvent(hwnd, WM_KEYDOWN, VK_LEFT, 0);
    handleWindowEvent(hwnd, WM_KEYDOWN, 'A', 0);
    handleWindowEvent(hwnd, WM_RBUTTONDOWN, 0, 0);
    handleWindowEvent(hwnd, WM_MBUTTONDOWN, 0, 0);
    handleWindowEvent(hwnd, WM_TIMER, 4999, 0);
    EXPECT_EQ(tracker.threshold, -1);
    EXPECT_EQ(tracker.viewMode, 0);
    EXPECT_EQ(tracker.sampleCount, 0);
    const int expected[] = {1, 2, 0};
    for (int mode : expected) {
        EXPECT_EQ(handleWindowEvent(hwnd, WM_LBUTTONDOWN, 0, 0), 0);
        EXPECT_EQ(tracker.viewMode, mode);
    }
}

TEST_F(AppTest, FitClientAreaGivesTheRequestedClientSize) {
    HWND hwnd = makeWindow(30, 40, 640, 240);
    ASSERT_NE(hwnd, nullptr);
    RECT before;
    GetWindowRect(hwnd, &before);
    fitClientArea(hwnd, 320 + 352, 288);
    RECT client, after;
    GetClientRect(hwnd, &client);
    GetWindowRect(hwnd, &after);
    EXPECT_EQ(client.right, 672);
    EXPECT_EQ(client.bottom, 288);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.top, before.top);
}

// --- start-up -------------------------------------------------------------------

TEST_F(AppTest, StartUpWarnsAboutCamerasBeforeAnySerialMessageAndKeepsRunning) {
    setenv("KESTROVA_CAMERAS", "/nonexistent/kestrova-camera", 1);
    setenv("KESTROVA_COM1", "/nonexistent/kestrova-port", 1);
    resetCaptureSources();
    std::thread stopper([] {  // time enough for start-up and a tick on a busy machine
        usleep(1500 * 1000);
        kill(getpid(), SIGTERM);
    });
    wchar_t commandLine[] = L"";
    EXPECT_EQ(wWinMain(nullptr, nullptr, commandLine, SW_SHOWDEFAULT), 0);
    stopper.join();
    const auto& shown = standin::shownMessages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, L"Could not initialize capture windows!");
    EXPECT_EQ(shown[0].caption, L"Error");
    EXPECT_EQ(shown[0].type, UINT(MB_ICONWARNING));
    EXPECT_NE(shown[0].owner, nullptr);
    EXPECT_EQ(shown[1].text, L"Could not open serial port!");
    EXPECT_EQ(shown[1].caption, L"Kestrova");
    EXPECT_GE(tracker.sampleCount, 1);  // ticks ran without cameras or port
}

}  // namespace
