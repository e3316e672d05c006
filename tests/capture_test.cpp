#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/capture_source.h"
#include "measurement/distance.h"
#include "platform/avicap32/camera_backends.h"
#include "platform/avicap32/capture_window.h"
#include "platform/linux/stand_in.h"
#include "platform/avicap32/stereo_rig.h"
#include "platform/avicap32/linux/v4l2_camera.h"
#include "platform/linux/window_internal.h"
#include "tests/support/fresh_state.h"
#include "tracking/camera_slot.h"
#include "tracking/segmentation.h"
#include "tracking/speck_filter.h"

namespace {

using standin::CaptureFault;

constexpr int kWidth = 320, kHeight = 240;
constexpr size_t kFrameBytes = size_t(kWidth) * 3 * kHeight;

// A scratch directory that never holds a real device.
struct TempDir {
    std::string path;
    std::vector<std::string> files;
    TempDir() {
        char pattern[] = "/tmp/kestrova-capture-XXXXXX";
        path = mkdtemp(pattern) != nullptr ? pattern : "/tmp/kestrova-capture-missing";
    }
    ~TempDir() {
        for (const std::string& f : files) unlink(f.c_str());
        rmdir(path.c_str());
    }
    std::string touch(const std::string& name) {
        files.push_back(path + "/" + name);
        if (FILE* file = std::fopen(files.back().c_str(), "w")) std::fclose(file);
        return files.back();
    }
};

std::vector<uint8_t> renderRig(int camera, double time, double distance) {
    std::vector<uint8_t> frame(kFrameBytes);
    standin::renderStereoRigFrame(camera, time, distance, kWidth, kHeight, frame.data());
    return frame;
}

// The tracker's view of the slot's frame: segmented against red, specks
// filtered once, reduced to the centroid.
ImagePoint trackSlot(int slot) {
    segmentByColour(slot, 0xFF0000);
    removeSpecks(slot, 1);
    return findCentroid(slot);
}

void putFrame(int slot, const std::vector<uint8_t>& frame) {
    resetCameraSlot(slot);
    cameraSlots[slot].width = kWidth;
    cameraSlots[slot].height = kHeight;
    acceptFrame(slot, frame.data(), uint32_t(frame.size()));
}

int countForeground(int slot) {
    int count = 0;
    const uint8_t* work = usableWorkImage(slot);
    for (size_t i = 0; i < slotImageBytes(slot); i += 3) count += work[i] != 255;
    return count;
}

// The tracker's centroid must lie within a pixel of the projected ball
// centre, in pixel indices (pixel i spans i to i + 1).
void expectBallAt(const ImagePoint& c, int camera, double time, double distance) {
    const standin::RigImagePoint p =
        standin::stereoRigProject(camera, standin::stereoRigBallPosition(time, distance), kWidth, kHeight);
    EXPECT_NEAR(c.x, p.x - 0.5, 1.0) << "camera " << camera << " t " << time << " d " << distance;
    EXPECT_NEAR(c.y, p.y - 0.5, 1.0) << "camera " << camera << " t " << time << " d " << distance;
}

// The estimate for a true distance may be off by one pixel of disparity.
void expectDistanceWithinOnePixel(float estimate, double trueDistance) {
    const double disparity = 0.14 * standin::stereoRigFocalLength(kWidth) / trueDistance;
    const auto distanceFor = [](double d) { return 0.14 * kWidth / (2.0 * std::tan(0.262) * d); };
    EXPECT_GE(estimate, distanceFor(disparity + 1.0)) << "true distance " << trueDistance;
    EXPECT_LE(estimate, distanceFor(disparity - 1.0)) << "true distance " << trueDistance;
}

void resetAll(const char* cameras) {
    standin::destroyAllWindows();
    setenv("KESTROVA_CAMERAS", cameras, 1);  // never unset: that would look for real devices
    standin::resetCaptureDevices();
    resetCaptureSources();
    resetTrackingState();
}

// ---------------------------------------------------------------------------
// The simulated rig's pictures

TEST(StereoRig, RendersRepeatablyAndWithinItsBuffer) {
    EXPECT_EQ(renderRig(0, 1.24, 0.0), renderRig(0, 1.24, 0.0));
    EXPECT_NE(renderRig(0, 1.24, 0.0), renderRig(0, 1.28, 0.0));
    EXPECT_NE(renderRig(0, 1.24, 0.0), renderRig(1, 1.24, 0.0));

    std::vector<uint8_t> frame(kFrameBytes, 7);
    for (int camera : {-1, 2}) standin::renderStereoRigFrame(camera, 0.0, 2.0, kWidth, kHeight, frame.data());
    standin::renderStereoRigFrame(0, 0.0, 2.0, 0, kHeight, frame.data());
    standin::renderStereoRigFrame(0, 0.0, 2.0, kWidth, -3, frame.data());
    standin::renderStereoRigFrame(0, 0.0, 2.0, kWidth, kHeight, nullptr);
    EXPECT_EQ(frame, std::vector<uint8_t>(kFrameBytes, 7));

    // Odd sizes and values: the sanitizer run checks every write.
    const int sizes[][2] = {{1, 1}, {3, 3}, {5, 400}, {400, 5}};
    for (const auto& s : sizes) {
        std::vector<uint8_t> odd(size_t(s[0]) * 3 * size_t(s[1]));
        standin::renderStereoRigFrame(1, 0.5, 0.06, s[0], s[1], odd.data());
    }
    for (double value : {std::nan(""), double(INFINITY), -double(INFINITY), 1e300}) {
        standin::renderStereoRigFrame(0, value, 0.0, kWidth, kHeight, frame.data());
        standin::renderStereoRigFrame(1, 0.0, value, kWidth, kHeight, frame.data());
    }
    // A ball 0.3 m away fills much of the left camera's right half.
    putFrame(0, renderRig(0, 0.0, 0.3));
    EXPECT_GT(trackSlot(0).x, kWidth * 3 / 4);
    EXPECT_GT(countForeground(0), 10000);
    resetCameraSlot(0);
}

// With the ball out of sight, the only red left are the stray pixels, and
// one pass of the speck filter removes them all: the wall never looks red.
TEST(StereoRig, OnlyStrayPixelsAreRedBesideTheBall) {
    int specksSeen = 0;
    for (int tick = 0; tick < 20; ++tick) {
        for (int camera = 0; camera < 2; ++camera) {
            putFrame(0, renderRig(camera, tick * 0.04, 1e6));
            segmentByColour(0, 0xFF0000);
            specksSeen += countForeground(0);
            EXPECT_LE(countForeground(0), 6);
            removeSpecks(0, 1);
            EXPECT_EQ(countForeground(0), 0) << "tick " << tick << " camera " << camera;
        }
    }
    EXPECT_GT(specksSeen, 40);
    resetCameraSlot(0);
}

// The left camera sees a ball straight ahead right of centre, the right
// camera left of it, and the disparity gives the distance.
TEST(StereoRig, StillBallIsWhereThePinholeCamerasPutIt) {
    for (double distance : {1.0, 1.7, 2.0, 3.0, 4.0}) {
        for (int camera = 0; camera < 2; ++camera) {
            putFrame(camera, renderRig(camera, 0.0, distance));
            tracker.averagedPoints[camera] = trackSlot(camera);
            expectBallAt(tracker.averagedPoints[camera], camera, 0.0, distance);
        }
        EXPECT_GT(tracker.averagedPoints[0].x, kWidth / 2);
        EXPECT_LT(tracker.averagedPoints[1].x, kWidth / 2);
        expectDistanceWithinOnePixel(estimateDistance(), distance);
    }
    resetAll("sim");
}

// The target wanders between 1 and 4 m, smoothly and mostly in view of both
// cameras; in view, the tracker finds it where the camera model puts it,
// rows counted from the bottom.
TEST(StereoRig, MovingTargetStaysInRangeMostlyInViewAndIsFound) {
    int inView = 0, checked = 0, above = 0, below = 0;
    standin::RigPoint previous = standin::stereoRigBallPosition(0.0, 0.0);
    for (int tick = 0; tick < 1500; ++tick) {
        const double t = tick * 0.04;
        const standin::RigPoint ball = standin::stereoRigBallPosition(t, 0.0);
        EXPECT_TRUE(ball.z >= 1.0 && ball.z <= 4.0) << t;
        EXPECT_LT(std::hypot(ball.x - previous.x, ball.y - previous.y, ball.z - previous.z), 0.1);
        previous = ball;

        bool visible = true;
        for (int camera = 0; camera < 2; ++camera) {
            const standin::RigImagePoint p = standin::stereoRigProject(camera, ball, kWidth, kHeight);
            const double margin = standin::stereoRigFocalLength(kWidth) * 0.06 / ball.z;
            visible = visible && p.x > margin && p.x < kWidth - margin && p.y > margin && p.y < kHeight - margin;
        }
        inView += visible;
        if (!visible || tick % 50 != 0) continue;
        ++checked;
        for (int camera = 0; camera < 2; ++camera) {
            putFrame(camera, renderRig(camera, t, 0.0));
            const ImagePoint c = trackSlot(camera);
            expectBallAt(c, camera, t, 0.0);
            above += ball.y > 0.1 && c.y > kHeight / 2;
            below += ball.y < -0.1 && c.y < kHeight / 2;
        }
    }
    EXPECT_GT(inView, 1500 * 85 / 100);
    EXPECT_GT(checked, 20);
    EXPECT_GT(above, 0);
    EXPECT_GT(below, 0);
    resetAll("sim");
}

// ---------------------------------------------------------------------------
// Camera rows to bottom-up bitmap rows, and V4L2 without any real device

TEST(FrameConversion, TurnsRowsBottomUpDropsPaddingAndCropsTheRightEdge) {
    // Three rows of six pixels plus two bytes of padding, top row first;
    // pixel (x, row) holds bytes 100 * row + 10 * x + channel.
    const int srcWidth = 6, height = 3;
    const size_t stride = srcWidth * 3 + 2;
    std::vector<uint8_t> src(stride * height, 0xEE);
    for (size_t row = 0; row < 3; ++row) {
        for (size_t i = 0; i < srcWidth * 3; ++i) src[row * stride + i] = uint8_t(100 * row + 10 * (i / 3) + i % 3);
    }
    const int dstWidth = standin::bottomUpFrameWidth(srcWidth);
    ASSERT_EQ(dstWidth, 4);
    std::vector<uint8_t> dst(size_t(dstWidth) * 3 * height + 1, 0xAA);  // one guard byte
    ASSERT_TRUE(standin::convertTopDownToBottomUp(src.data(), srcWidth, height, stride, dstWidth, dst.data()));
    for (size_t y = 0; y < 3; ++y) {
        const size_t row = 2 - y;  // output row 0 is the bottom, the last input row
        for (size_t i = 0; i < size_t(dstWidth) * 3; ++i) {
            EXPECT_EQ(dst[y * dstWidth * 3 + i], uint8_t(100 * row + 10 * (i / 3) + i % 3));
        }
    }
    EXPECT_EQ(dst.back(), 0xAA);

    EXPECT_EQ(standin::bottomUpFrameWidth(320), 320);
    EXPECT_EQ(standin::bottomUpFrameWidth(643), 640);
    EXPECT_EQ(standin::bottomUpFrameWidth(3), 0);
    EXPECT_EQ(standin::bottomUpFrameWidth(-8), 0);
}

TEST(FrameConversion, RefusesBadInputWithoutWriting) {
    std::vector<uint8_t> src(8 * 3 * 4, 1), dst(12 * 3 * 4, 9);
    const std::vector<uint8_t> untouched = dst;
    EXPECT_FALSE(standin::convertTopDownToBottomUp(nullptr, 8, 4, 24, 8, dst.data()));
    EXPECT_FALSE(standin::convertTopDownToBottomUp(src.data(), 8, 4, 24, 8, nullptr));
    EXPECT_FALSE(standin::convertTopDownToBottomUp(src.data(), 0, 4, 24, 4, dst.data()));
    EXPECT_FALSE(standin::convertTopDownToBottomUp(src.data(), 8, 0, 24, 8, dst.data()));
    EXPECT_FALSE(standin::convertTopDownToBottomUp(src.data(), 8, 4, 24, 0, dst.data()));
    EXPECT_FALSE(standin::convertTopDownToBottomUp(src.data(), 8, 4, 24, 12, dst.data()));  // wider than the source
    EXPECT_FALSE(standin::convertTopDownToBottomUp(src.data(), 8, 4, 23, 8, dst.data()));   // stride too short
    EXPECT_EQ(dst, untouched);
}

TEST(V4l2Camera, OpensAndListsOnlyRealCaptureDevices) {
    TempDir dir;
    std::string error;
    EXPECT_EQ(standin::V4l2Camera::open(dir.path + "/video0", error), nullptr);
    EXPECT_NE(error.find(dir.path + "/video0"), std::string::npos) << error;
    EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;

    EXPECT_EQ(standin::V4l2Camera::open(dir.touch("video1"), error), nullptr);
    EXPECT_NE(error.find("not a video device"), std::string::npos) << error;

    dir.touch("video2x");
    dir.touch("video");
    EXPECT_TRUE(standin::listV4l2CaptureDevices(dir.path).empty());
    EXPECT_TRUE(standin::listV4l2CaptureDevices(dir.path + "/nowhere").empty());
}

// ---------------------------------------------------------------------------
// Capture windows and their messages

class CaptureWindowTest : public ::testing::Test {
protected:
    void SetUp() override { useCameras("sim"); }
    void TearDown() override { resetAll("sim"); }
    void useCameras(const char* cameras) {
        resetAll(cameras);
        parent = standin::createWindowObject(0, L"Parent", L"", WS_OVERLAPPEDWINDOW, 0, 0, 640, 240, nullptr, 0,
                                             DefWindowProcW);
        deliveries().clear();
    }

    HWND makeCaptureWindow() { return capCreateCaptureWindowW(L"Camera", WS_CHILD, 0, 0, 320, 240, parent, 1); }
    static LRESULT connect(HWND hwnd, WPARAM driver = 0) { return SendMessageW(hwnd, WM_CAP_DRIVER_CONNECT, driver, 0); }
    static LRESULT grab(HWND hwnd) { return SendMessageW(hwnd, WM_CAP_GRAB_FRAME_NOSTOP, 0, 0); }
    static void setCallback(HWND hwnd, CAPVIDEOCALLBACK callback) {
        SendMessageW(hwnd, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(callback));
    }
    HWND connectedWindow() {
        HWND hwnd = makeCaptureWindow();
        EXPECT_EQ(connect(hwnd), TRUE);
        setCallback(hwnd, record);
        return hwnd;
    }

    struct Delivery {
        HWND window;
        std::vector<uint8_t> bytes;  // all dwBytesUsed of them
        DWORD bufferLength;
    };
    static std::vector<Delivery>& deliveries() {
        static std::vector<Delivery> log;
        return log;
    }
    static LRESULT CALLBACK record(HWND hwnd, LPVIDEOHDR header) {
        deliveries().push_back({hwnd, std::vector<uint8_t>(header->lpData, header->lpData + header->dwBytesUsed),
                                header->dwBufferLength});
        return TRUE;
    }
    static LRESULT CALLBACK destroyOwnWindow(HWND hwnd, LPVIDEOHDR header) {
        DestroyWindow(hwnd);
        return record(hwnd, header);  // the frame is still readable
    }

    HWND parent = nullptr;
};

TEST_F(CaptureWindowTest, AChildNeedsALiveParent) {
    EXPECT_EQ(capCreateCaptureWindowW(L"Camera", WS_CHILD, 0, 0, 320, 240, nullptr, 1), nullptr);
    HWND hwnd = capCreateCaptureWindowW(nullptr, WS_CHILD, 320, 0, 320, 240, parent, 7);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(hwnd->id, 7u);
    DestroyWindow(parent);  // takes the capture window with it
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(capCreateCaptureWindowW(L"Camera", WS_CHILD, 0, 0, 320, 240, parent, 1), nullptr);
}

TEST_F(CaptureWindowTest, DriverZeroHandsOutTheRigsCamerasInOrderOnce) {
    HWND left = makeCaptureWindow(), right = makeCaptureWindow(), third = makeCaptureWindow();
    EXPECT_EQ(connect(left, 1), FALSE);  // only driver 0 exists
    EXPECT_EQ(connect(left), TRUE);
    EXPECT_EQ(connect(left), TRUE);  // already connected: keeps its camera
    EXPECT_EQ(connect(right), TRUE);
    EXPECT_EQ(connect(third), FALSE);  // no camera left
    setCallback(left, record);
    setCallback(right, record);
    EXPECT_EQ(grab(left), TRUE);
    EXPECT_EQ(grab(right), TRUE);
    ASSERT_EQ(deliveries().size(), 2u);
    EXPECT_EQ(deliveries()[0].window, left);
    EXPECT_EQ(deliveries()[0].bytes, renderRig(0, 0.0, 0.0));
    EXPECT_EQ(deliveries()[1].bytes, renderRig(1, 0.0, 0.0));

    // A disconnected camera goes to no other window; its own gets it back.
    EXPECT_EQ(SendMessageW(left, WM_CAP_DRIVER_DISCONNECT, 0, 0), TRUE);
    EXPECT_EQ(SendMessageW(left, WM_CAP_DRIVER_DISCONNECT, 0, 0), FALSE);
    EXPECT_EQ(grab(left), FALSE);
    EXPECT_EQ(connect(third), FALSE);
    EXPECT_EQ(connect(left), TRUE);
    EXPECT_EQ(grab(left), TRUE);
}

TEST_F(CaptureWindowTest, StatusGivesTheFrameSizeWithinTheCallersRecord) {
    HWND hwnd = makeCaptureWindow();
    struct {
        CAPSTATUS status;
        uint8_t guard[8];
    } record;
    std::memset(&record, 0xCC, sizeof record);
    EXPECT_EQ(SendMessageW(hwnd, WM_CAP_GET_STATUS, sizeof(CAPSTATUS), LPARAM(&record.status)), FALSE);
    ASSERT_EQ(connect(hwnd), TRUE);
    EXPECT_EQ(SendMessageW(hwnd, WM_CAP_GET_STATUS, 7, LPARAM(&record.status)), FALSE);  // too small
    EXPECT_EQ(SendMessageW(hwnd, WM_CAP_GET_STATUS, sizeof(CAPSTATUS), 0), FALSE);
    EXPECT_EQ(record.status.uiImageWidth, 0xCCCCCCCCu);

    EXPECT_EQ(SendMessageW(hwnd, WM_CAP_GET_STATUS, 8, LPARAM(&record.status)), TRUE);
    EXPECT_EQ(record.status.uiImageWidth, 320u);
    EXPECT_EQ(record.status.uiImageHeight, 240u);
    EXPECT_EQ(record.status.fLiveWindow, BOOL(0xCCCCCCCC));  // past the 8 bytes asked for
    EXPECT_EQ(SendMessageW(hwnd, WM_CAP_GET_STATUS, sizeof(CAPSTATUS) + 100, LPARAM(&record.status)), TRUE);
    EXPECT_EQ(record.status.fLiveWindow, FALSE);
    for (uint8_t b : record.guard) EXPECT_EQ(b, 0xCC);
}

TEST_F(CaptureWindowTest, GrabDeliversOneWholeFrameBeforeReturning) {
    HWND hwnd = makeCaptureWindow();
    setCallback(hwnd, record);
    EXPECT_EQ(grab(hwnd), FALSE);  // not connected
    ASSERT_EQ(connect(hwnd), TRUE);
    EXPECT_EQ(grab(hwnd), TRUE);
    ASSERT_EQ(deliveries().size(), 1u);
    EXPECT_EQ(deliveries()[0].bytes.size(), kFrameBytes);
    EXPECT_EQ(deliveries()[0].bufferLength, kFrameBytes);

    setCallback(hwnd, nullptr);
    EXPECT_EQ(grab(hwnd), TRUE);  // grabbed, told to no one
    setCallback(hwnd, destroyOwnWindow);
    EXPECT_EQ(grab(hwnd), TRUE);
    EXPECT_FALSE(IsWindow(hwnd));
    ASSERT_EQ(deliveries().size(), 2u);
    EXPECT_EQ(deliveries()[1].bytes.size(), kFrameBytes);
}

// Each grab of the left camera moves the scene on by 40 ms; the right camera
// shows the instant of the left camera's latest grab.
TEST_F(CaptureWindowTest, BothCamerasOfATickSeeTheSameInstant) {
    HWND left = connectedWindow(), right = connectedWindow();
    grab(right);  // before any left grab: time 0
    for (int tick = 0; tick < 3; ++tick) {
        grab(left);
        grab(right);
    }
    grab(right);
    ASSERT_EQ(deliveries().size(), 8u);
    EXPECT_EQ(deliveries()[0].bytes, renderRig(1, 0.0, 0.0));
    for (size_t tick = 0; tick < 3; ++tick) {
        EXPECT_EQ(deliveries()[1 + 2 * tick].bytes, renderRig(0, tick * 0.04, 0.0)) << tick;
        EXPECT_EQ(deliveries()[2 + 2 * tick].bytes, renderRig(1, tick * 0.04, 0.0)) << tick;
    }
    EXPECT_EQ(deliveries()[7].bytes, renderRig(1, 0.08, 0.0));

    // A reset starts the clock again and leaves old windows without a camera.
    standin::resetCaptureDevices();
    EXPECT_EQ(grab(left), FALSE);
    grab(connectedWindow());
    EXPECT_EQ(deliveries().back().bytes, renderRig(0, 0.0, 0.0));
}

TEST_F(CaptureWindowTest, CameraListNamesDevicesAndStillBalls) {
    TempDir dir;
    useCameras((" " + dir.path + "/video0 ,, sim:2.5 ").c_str());
    HWND missing = makeCaptureWindow();
    EXPECT_EQ(connect(missing), FALSE);  // no such device
    EXPECT_EQ(connect(missing), FALSE);  // nor on a second try
    grab(connectedWindow());             // the next camera: the still rig's left one
    ASSERT_EQ(deliveries().size(), 1u);
    EXPECT_EQ(deliveries()[0].bytes, renderRig(0, 0.0, 2.5));
    EXPECT_EQ(connect(makeCaptureWindow()), TRUE);

    for (const char* bad : {"sim:", "sim:abc", "sim:-1", "sim:0", "sim:inf", "sim:nan", "sim:2m", ","}) {
        useCameras(bad);
        EXPECT_EQ(connect(makeCaptureWindow()), FALSE) << bad;
    }
}

// Every entry keeps its place, a malformed one or one of another platform
// too; a file's partner may be named bare; the simulated rig is two cameras.
TEST(CameraList, EntriesKeepTheirPlacesAndFilesComeInPairs) {
    const std::vector<standin::RigCameraEntry> rig =
        standin::parseCameraList("file:a.avi, b.avi ,vfw,sim:x,/dev/video9,file:c,file:d,sim:1.5@64x48");
    std::vector<std::string> seen;
    for (const standin::RigCameraEntry& c : rig)
        seen.push_back((c.backend == nullptr ? "-" : c.backend->prefix) + std::string(" ") + c.name);
    const std::vector<std::string> expected = {"file a.avi", "file b.avi", "- vfw",    "- sim:x", " /dev/video9",
                                               "file c",     "file d",     "sim sim", "sim sim"};
    EXPECT_EQ(seen, expected);
    ASSERT_EQ(rig.size(), expected.size());
    EXPECT_EQ(rig[8].simulatedCamera, 1);
    EXPECT_EQ(rig[8].width, 64);
    EXPECT_EQ(rig[8].distance, 1.5);
}

TEST_F(CaptureWindowTest, InjectedFaultsChangeWhatAGrabDelivers) {
    standin::injectCaptureFault(2, CaptureFault::Disappear);  // no such camera in this rig
    HWND left = connectedWindow(), right = connectedWindow();
    standin::injectCaptureFault(0, CaptureFault::StopDelivering);
    EXPECT_EQ(grab(left), FALSE);
    EXPECT_EQ(grab(right), TRUE);  // the other camera goes on
    EXPECT_EQ(deliveries().size(), 1u);

    standin::injectCaptureFault(0, CaptureFault::ShortFrame);
    EXPECT_EQ(grab(left), TRUE);
    EXPECT_EQ(deliveries().back().bytes.size(), kFrameBytes / 2);
    standin::injectCaptureFault(0, CaptureFault::OversizedFrame);
    EXPECT_EQ(grab(left), TRUE);  // record() reads every byte claimed: the buffer has them
    EXPECT_EQ(deliveries().back().bytes.size(), kFrameBytes * 2);
    EXPECT_EQ(deliveries().back().bufferLength, kFrameBytes * 2);
    standin::injectCaptureFault(0, CaptureFault::None);
    EXPECT_EQ(grab(left), TRUE);
    EXPECT_EQ(deliveries().back().bytes.size(), kFrameBytes);

    standin::injectCaptureFault(1, CaptureFault::Disappear);
    EXPECT_EQ(grab(right), FALSE);
    standin::injectCaptureFault(1, CaptureFault::None);
    EXPECT_EQ(grab(right), FALSE);  // gone for good
    SendMessageW(right, WM_CAP_DRIVER_DISCONNECT, 0, 0);
    EXPECT_EQ(connect(right), FALSE);
    EXPECT_EQ(grab(left), TRUE);

    useCameras("sim");
    standin::injectCaptureFault(0, CaptureFault::Disappear);
    EXPECT_EQ(connect(makeCaptureWindow()), FALSE);  // vanished before it connected
    EXPECT_EQ(connect(makeCaptureWindow()), TRUE);
}

// ---------------------------------------------------------------------------
// Capture sources of the camera slots

using CaptureSourceTest = CaptureWindowTest;

TEST_F(CaptureSourceTest, CreationsServeSlotZeroThenSlotOne) {
    HWND first = createCaptureSource(parent, 0, 0, 0), second = createCaptureSource(parent, 320, 0, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(captureWindows[0], first);
    EXPECT_EQ(captureWindows[1], second);
    EXPECT_EQ(first->id, 1u);
    EXPECT_EQ(second->id, 2u);
    EXPECT_EQ(first->style, DWORD(WS_CHILD));
    EXPECT_EQ(first->title, L"Camera");
    EXPECT_EQ(second->parent, parent);
    EXPECT_EQ(second->rect.left, 320);
    EXPECT_EQ(second->rect.right - second->rect.left, 320);
    EXPECT_EQ(second->rect.bottom - second->rect.top, 240);
    for (int slot = 0; slot < 2; ++slot) {
        EXPECT_EQ(cameraSlots[slot].width, 320);
        EXPECT_EQ(cameraSlots[slot].height, 240);
    }
    // A third creation finds no camera left and changes nothing.
    EXPECT_EQ(createCaptureSource(parent, 640, 0, 0), nullptr);
    EXPECT_EQ(captureWindows[1], second);
    EXPECT_EQ(parent->children.size(), 2u);

    // With cameras to spare, a third source still touches no slot.
    useCameras("sim,sim");
    createCaptureSource(parent, 0, 0, 0);
    createCaptureSource(parent, 320, 0, 0);
    cameraSlots[0].width = 11;
    HWND third = createCaptureSource(parent, 640, 0, 0);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(cameraSlots[0].width, 11);
    EXPECT_NE(captureWindows[1], third);
}

// A driver that does not connect: the window goes again and there is no
// source (so start-up warns); the slot stays 0x0 and the count has moved on,
// so the next creation still serves slot 1.
TEST_F(CaptureSourceTest, FailedConnectionDestroysTheWindowAndGivesNoSource) {
    TempDir dir;
    useCameras((dir.path + "/video0,sim").c_str());
    EXPECT_EQ(createCaptureSource(parent, 0, 0, 0), nullptr);
    EXPECT_TRUE(parent->children.empty());
    EXPECT_EQ(captureWindows[0], nullptr);
    EXPECT_EQ(cameraSlots[0].width, 0);
    EXPECT_EQ(cameraSlots[0].height, 0);
    HWND second = createCaptureSource(parent, 320, 0, 0);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->id, 2u);
    EXPECT_EQ(captureWindows[1], second);
    EXPECT_EQ(cameraSlots[1].width, 320);

    useCameras("sim");
    EXPECT_EQ(createCaptureSource(nullptr, 0, 0, 0), nullptr);  // a child without a parent
    EXPECT_EQ(createCaptureSource(parent, 0, 0, 1), nullptr);   // no driver 1
    EXPECT_EQ(cameraSlots[0].width, 0);
    EXPECT_EQ(cameraSlots[1].width, 0);
    EXPECT_TRUE(parent->children.empty());
}

TEST_F(CaptureSourceTest, GrabbedFrameArrivesInItsOwnSlotBottomUp) {
    createCaptureSource(parent, 0, 0, 0);
    createCaptureSource(parent, 320, 0, 0);
    grabFrame(0);
    ASSERT_NE(cameraSlots[0].workImage, nullptr);
    EXPECT_EQ(cameraSlots[1].workImage, nullptr);
    EXPECT_EQ(std::memcmp(cameraSlots[0].rawImage, renderRig(0, 0.0, 0.0).data(), kFrameBytes), 0);
    grabFrame(1);
    ASSERT_NE(cameraSlots[1].rawImage, nullptr);
    EXPECT_EQ(std::memcmp(cameraSlots[1].rawImage, renderRig(1, 0.0, 0.0).data(), kFrameBytes), 0);
    for (int slot = 0; slot < 2; ++slot) expectBallAt(trackSlot(slot), slot, 0.0, 0.0);
}

TEST_F(CaptureSourceTest, StillBallAtTwoMetresReadsTwoMetres) {
    useCameras("sim:2.0");
    ASSERT_NE(createCaptureSource(parent, 0, 0, 0), nullptr);
    ASSERT_NE(createCaptureSource(parent, 320, 0, 0), nullptr);
    for (int tick = 0; tick < 3; ++tick) {
        for (int slot = 0; slot < 2; ++slot) {
            grabFrame(slot);
            tracker.averagedPoints[slot] = trackSlot(slot);
        }
        expectDistanceWithinOnePixel(estimateDistance(), 2.0);
    }
}

TEST_F(CaptureSourceTest, GrabWithoutAWindowDoesNothing) {
    for (int slot : {0, 1, 2, -1}) grabFrame(slot);
    EXPECT_EQ(cameraSlots[0].workImage, nullptr);
    EXPECT_EQ(cameraSlots[1].workImage, nullptr);
    createCaptureSource(parent, 0, 0, 0);
    DestroyWindow(parent);  // the capture window goes with its parent
    grabFrame(0);
    EXPECT_EQ(cameraSlots[0].workImage, nullptr);
    EXPECT_EQ(onFrameSlot0(nullptr, nullptr), TRUE);
    EXPECT_EQ(cameraSlots[0].workImage, nullptr);
}

}  // namespace
