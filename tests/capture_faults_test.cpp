// Cameras that misbehave while the program runs, on the simulated rig with
// the ball held still at 2 m: one that stops delivering, delivers short or
// oversized frames, or disappears. Then a rig and a target the program is
// not built for, which settings and a calibration make right. The tracking
// tick and the report cycle run as the timers would run them, 25 ticks to a
// report.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "app/settings.h"
#include "capture/capture_source.h"
#include "display/camera_view.h"
#include "display/distance_readout.h"
#include "measurement/calibration.h"
#include "measurement/distance.h"
#include "measurement/tracking_cycle.h"
#include "platform/avicap32/capture_window.h"
#include "platform/linux/stand_in.h"
#include "platform/avicap32/stereo_rig.h"
#include "platform/linux/window_internal.h"
#include "tests/support/fresh_state.h"
#include "tracking/camera_slot.h"

namespace {

using standin::CaptureFault;

constexpr int kWidth = 320, kHeight = 240;
constexpr size_t kFrameBytes = size_t(kWidth) * 3 * kHeight;
constexpr double kDistance = 2.0;

// Counts the paints the ticks ask for.
int paints = 0;
LRESULT CALLBACK countPaints(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_PAINT) return DefWindowProcW(hwnd, msg, wParam, lParam);
    ++paints;
    PAINTSTRUCT ps;
    BeginPaint(hwnd, &ps);
    EndPaint(hwnd, &ps);
    return 0;
}

class CaptureFaults : public ::testing::Test {
protected:
    HWND window = nullptr;

    void SetUp() override {
        reset();
        unsetenv("DISPLAY");  // headless: no window shows up
        unsetenv("WAYLAND_DISPLAY");
        start();
    }
    // The main window and both capture sources, as start-up makes them.
    void start() {
        WNDCLASSEXW wndclass{};
        wndclass.cbSize = sizeof wndclass;
        wndclass.lpfnWndProc = countPaints;
        wndclass.lpszClassName = L"CaptureFaults";
        RegisterClassExW(&wndclass);  // fails harmlessly when it is there already
        window = CreateWindowExW(0, L"CaptureFaults", L"Kestrova", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 640, 240,
                                 nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        ASSERT_NE(createCaptureSource(window, 0, 0, 0), nullptr);
        ASSERT_NE(createCaptureSource(window, 320, 0, 0), nullptr);
        paints = 0;
    }
    void TearDown() override { reset(); }
    static void reset(const char* cameras = "sim:2.0") {
        standin::destroyAllWindows();
        setenv("KESTROVA_CAMERAS", cameras, 1);
        standin::resetCaptureDevices();
        resetCaptureSources();
        resetTrackingState();
    }

    // One second of the program: 25 ticks, then the report. The ticks must
    // all run and be painted whatever the cameras do.
    void runOneSecond() {
        const int paintsBefore = paints, samplesBefore = tracker.sampleCount;
        for (int tick = 0; tick < 25; ++tick) runTrackingTick(window);
        EXPECT_EQ(tracker.sampleCount, samplesBefore + 25);
        EXPECT_GE(paints - paintsBefore, 25);
        runReportCycle();
    }

    static std::vector<uint8_t> rawImage(int slot) {
        const uint8_t* raw = usableRawImage(slot);
        return raw != nullptr ? std::vector<uint8_t>(raw, raw + kFrameBytes) : std::vector<uint8_t>();
    }
    // The slot's view as drawn in raw mode, pixel by pixel, marker included.
    static std::vector<COLORREF> drawnView(int slot) {
        HDC hdc = standin::createMemoryDC(kWidth, kHeight, RGB(1, 2, 3));
        drawCameraView(hdc, 0, 0, slot, 0);
        std::vector<COLORREF> pixels;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) pixels.push_back(GetPixel(hdc, x, y));
        standin::deleteMemoryDC(hdc);
        return pixels;
    }
    static std::wstring readout() {
        HDC hdc = standin::createMemoryDC(640, 240, RGB(255, 255, 255));
        drawDistanceReadout(hdc);
        standin::deleteMemoryDC(hdc);
        return standin::drawnTexts().empty() ? std::wstring() : standin::drawnTexts().back();
    }
    static bool averagedPointIsNoTarget(int slot) {
        return tracker.averagedPoints[slot].x == 0 && tracker.averagedPoints[slot].y == 0;
    }
};

// The estimate for the ball at 2 m, to within a pixel of disparity either way.
void expectTwoMetres(float estimate) {
    const double disparity = 0.14 * standin::stereoRigFocalLength(kWidth) / kDistance;
    const auto distanceFor = [](double d) { return 0.14 * kWidth / (2.0 * std::tan(0.262) * d); };
    EXPECT_GE(estimate, distanceFor(disparity + 1.0));
    EXPECT_LE(estimate, distanceFor(disparity - 1.0));
}

// A camera that stops delivering: the ticks go on, its view keeps the last
// picture, its stale mask counts as no target, so after a whole second
// without frames the distance reads "Too Far"; frames again, and the
// distance is back a second later.
TEST_F(CaptureFaults, ACameraThatStopsDeliveringKeepsItsPictureAndReadsTooFar) {
    runOneSecond();
    expectTwoMetres(estimateDistance());
    const std::vector<uint8_t> lastPicture = rawImage(1);
    ASSERT_EQ(lastPicture.size(), kFrameBytes);

    standin::injectCaptureFault(1, CaptureFault::StopDelivering);
    runTrackingTick(window);  // its marker moves to "no target" with this tick
    const std::vector<COLORREF> lastView = drawnView(1);
    runOneSecond();
    EXPECT_TRUE(rawImage(1) == lastPicture) << "the picture of the stopped camera changed";
    EXPECT_TRUE(drawnView(1) == lastView) << "the view of the stopped camera changed";
    EXPECT_TRUE(averagedPointIsNoTarget(1));
    EXPECT_FALSE(averagedPointIsNoTarget(0));  // the other camera goes on
    EXPECT_EQ(estimateDistance(), -1.0f);
    EXPECT_EQ(readout(), L"Distance: Too Far!");
    runOneSecond();
    EXPECT_EQ(estimateDistance(), -1.0f);

    standin::injectCaptureFault(1, CaptureFault::None);
    runOneSecond();
    expectTwoMetres(estimateDistance());
    wchar_t text[64];
    swprintf(text, 64, L"Distance: %f", double(estimateDistance()));
    EXPECT_EQ(readout(), text);
}

// Short frames fill only the bottom half of the images; the rest keeps the
// last whole picture, and the tracker follows what is new. Oversized frames
// are cut at the image size and change nothing.
TEST_F(CaptureFaults, ShortAndOversizedFramesKeepTheTickGoing) {
    runOneSecond();
    const std::vector<uint8_t> lastPicture = rawImage(0);
    standin::injectCaptureFault(0, CaptureFault::ShortFrame);
    standin::injectCaptureFault(1, CaptureFault::OversizedFrame);
    runOneSecond();
    const std::vector<uint8_t> picture = rawImage(0);
    ASSERT_EQ(picture.size(), kFrameBytes);
    EXPECT_TRUE(std::equal(picture.begin() + kFrameBytes / 2, picture.end(), lastPicture.begin() + kFrameBytes / 2))
        << "the top half of a short frame's picture changed";
    // Half the ball: its lower half, at the same columns.
    EXPECT_FALSE(averagedPointIsNoTarget(0));
    EXPECT_LT(tracker.averagedPoints[0].y, kHeight / 2);
    const float distance = estimateDistance();
    EXPECT_NEAR(distance, kDistance, 0.1);

    standin::injectCaptureFault(0, CaptureFault::None);
    runOneSecond();
    expectTwoMetres(estimateDistance());
    std::vector<uint8_t> whole(kFrameBytes);  // no byte of the oversized tail got in
    const int grabs = 3 * 25;
    standin::renderStereoRigFrame(1, (grabs - 1) * 0.04, kDistance, kWidth, kHeight, whole.data());
    EXPECT_TRUE(rawImage(1) == whole);
}

// A camera that disappears for good: its view keeps the last picture and
// the distance reads "Too Far" from the next whole second on, while the
// other camera keeps tracking; with both gone the ticks and reports go on.
TEST_F(CaptureFaults, ACameraThatDisappearsLeavesTheRestRunning) {
    runOneSecond();
    const std::vector<uint8_t> lastPicture = rawImage(0);
    standin::injectCaptureFault(0, CaptureFault::Disappear);
    runOneSecond();
    EXPECT_TRUE(rawImage(0) == lastPicture);
    EXPECT_TRUE(averagedPointIsNoTarget(0));
    EXPECT_FALSE(averagedPointIsNoTarget(1));
    EXPECT_EQ(estimateDistance(), -1.0f);
    EXPECT_EQ(readout(), L"Distance: Too Far!");

    standin::injectCaptureFault(0, CaptureFault::None);  // gone is gone
    runOneSecond();
    EXPECT_EQ(estimateDistance(), -1.0f);

    standin::injectCaptureFault(1, CaptureFault::Disappear);
    runOneSecond();
    EXPECT_TRUE(averagedPointIsNoTarget(0));
    EXPECT_TRUE(averagedPointIsNoTarget(1));
    EXPECT_EQ(estimateDistance(), -1.0f);
}

// ---------------------------------------------------------------------------
// The user's own rig and target

class OwnRig : public CaptureFaults {
protected:
    void TearDown() override {
        for (const SettingInfo& setting : settingsTable()) unsetenv(setting.name);
        resetTrackerSettings();
        resetCalibration();
        CaptureFaults::TearDown();
    }
    // Starts afresh on these cameras, with the settings the environment has.
    void restart(const std::string& cameras) {
        reset(cameras.c_str());
        EXPECT_TRUE(readTrackerSettings().empty());
        tracker.threshold = trackerSettings.startThreshold;
        start();
    }
    // The readout after a second of the ball still at that distance.
    float readoutAt(double metres) {
        restart("sim:" + std::to_string(metres) + "@1280x720");
        runOneSecond();
        return estimateDistance();
    }
    // Runs until the calibration gives its line (at most 20 s).
    std::string calibrate(const std::string& cameras, const char* distances) {
        setenv("KESTROVA_CALIBRATE", distances, 1);
        resetCalibration();
        restart(cameras);
        EXPECT_EQ(readout().rfind(L"Calibrating: hold the target at ", 0), 0u);
        testing::internal::CaptureStderr();
        for (int second = 0; second < 20 && calibrationResult().empty(); ++second) runOneSecond();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(readout().find(L"Distance: "), std::wstring::npos);
        unsetenv("KESTROVA_CALIBRATE");
        EXPECT_EQ(said, calibrationResult() + "\n");
        return calibrationResult();
    }
};

// Right within 3 %, or within what one pixel of disparity changes.
bool readsRight(float estimate, double metres) {
    const double pixels = std::fabs(tracker.averagedPoints[0].x - tracker.averagedPoints[1].x -
                                    double(trackerSettings.rig.disparityOffset));
    const double onePixel = std::fmax(estimate * pixels / (pixels - 1.0) - estimate, 0.0);
    return std::fabs(estimate - metres) <= std::fmax(0.03 * metres, onePixel);
}

// A rig the program does not know: 0.10 m apart, 62 degrees, 1280x720.
// Wrong as it stands; one distance calibrated, right at every distance.
TEST_F(OwnRig, OneDistanceCalibratesAnUnknownRig) {
    setenv("KESTROVA_SIM_RIG", "0.10,62", 1);
    EXPECT_FALSE(readsRight(readoutAt(2.0), 2.0)) << readoutAt(2.0);
    const std::string rig = calibrate("sim:2.0@1280x720", "2.0");
    ASSERT_EQ(rig.rfind("KESTROVA_RIG=", 0), 0u);
    setenv("KESTROVA_RIG", rig.substr(13).c_str(), 1);
    for (double metres : {1.0, 2.0, 4.0}) EXPECT_TRUE(readsRight(readoutAt(metres), metres)) << metres << " m";
}

// Toed in by 0.3 degrees: disparity at infinity is no longer 0. Two
// distances find the offset; one distance cannot, and is off at 4 m.
TEST_F(OwnRig, TwoDistancesCalibrateAToedInRig) {
    setenv("KESTROVA_SIM_RIG", "0.10,62,0.3", 1);
    const std::string one = calibrate("sim:1.0@1280x720", "1.0");
    setenv("KESTROVA_RIG", one.substr(13).c_str(), 1);
    EXPECT_FALSE(readsRight(readoutAt(4.0), 4.0)) << estimateDistance();
    unsetenv("KESTROVA_RIG");

    const std::string two = calibrate("sim:1.0/3.0@1280x720", "1.0/3.0");
    setenv("KESTROVA_RIG", two.substr(13).c_str(), 1);
    for (double metres : {0.8, 1.5, 4.0}) EXPECT_TRUE(readsRight(readoutAt(metres), metres)) << metres << " m";
}

// A green ball: found where it is against green, not at all against red.
TEST_F(OwnRig, TargetColourFollowsTheSetting) {
    setenv("KESTROVA_SIM_RIG", "0.14,30.0229,0,green", 1);
    for (const char* target : {"green", "red"}) {
        setenv("KESTROVA_TARGET", target, 1);
        restart("sim");
        for (int tick = 0; tick < 50; ++tick) {
            runTrackingTick(window);
            for (int camera = 0; camera < 2; ++camera) {
                const standin::RigImagePoint p = standin::stereoRigProject(
                    camera, standin::stereoRigBallPosition(tick * 0.04, 0.0), kWidth, kHeight);
                const ImagePoint found = cameraSlots[camera].latestPoint;
                if (target[0] == 'r') {
                    EXPECT_TRUE(found.x == 0 && found.y == 0) << tick;
                } else if (p.x > 10 && p.x < kWidth - 10 && p.y > 10 && p.y < kHeight - 10) {
                    EXPECT_NEAR(found.x, p.x - 0.5, 2.0) << tick;
                    EXPECT_NEAR(found.y, p.y - 0.5, 2.0) << tick;
                }
            }
        }
    }
}

// Each bad value: one line naming it, its value and the default, which holds.
TEST_F(OwnRig, BadValuesAreSaidAndTheDefaultsHold) {
    const char* bad[][2] = {{"KESTROVA_RIG", "abc"},           {"KESTROVA_RIG", "-0.1,60"},
                            {"KESTROVA_RIG", "0.1,0"},         {"KESTROVA_RIG", "0.1,180"},
                            {"KESTROVA_TARGET", "#12"},        {"KESTROVA_THRESHOLD", "x"},
                            {"KESTROVA_THRESHOLD", "1e99"},    {"KESTROVA_CALIBRATE", "-1"},
                            {"KESTROVA_CALIBRATE", "2/2"}};
    resetTrackerSettings();
    const TrackerSettings unset = trackerSettings;
    for (const auto& setting : bad) {
        setenv(setting[0], setting[1], 1);
        const std::vector<std::string> said = readTrackerSettings();
        ASSERT_EQ(said.size(), 1u) << setting[0];
        EXPECT_EQ(said[0].rfind(std::string(setting[0]) + ": \"" + setting[1] + "\" ", 0), 0u) << said[0];
        EXPECT_NE(said[0].find("; using "), std::string::npos) << said[0];
        EXPECT_EQ(std::memcmp(&trackerSettings, &unset, sizeof unset), 0) << setting[0];
        unsetenv(setting[0]);
    }
    setenv("KESTROVA_THRESHOLD", "-7", 1);
    setenv("KESTROVA_TARGET", "#00fF80", 1);
    EXPECT_TRUE(readTrackerSettings().empty());
    EXPECT_EQ(trackerSettings.startThreshold, -7);
    EXPECT_EQ(trackerSettings.targetColour, 0x00FF80u);
}

}  // namespace
