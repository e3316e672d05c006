// Runs the built program headless with two fake V4L2 webcams preloaded into
// it (tests/fake_v4l2) and COM1 on a pseudo-terminal, so that frames go
// through the real libv4l2 and the program's own conversion, and checks that
// the reports give the red balls' true positions (y counted from the bottom
// row) through odd formats, slow and pausing cameras, bad frames and an
// unplugged camera coming back; and the same with two recorded clips.
#include <gtest/gtest.h>

#include "tests/support/pseudo_terminal.h"
#include "tests/support/test_clip.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Report {
    int x0, y0, x1, y1;
    double seconds;  // arrival since the program started
};

// Reads the reports " %d %d %d %d" in what one read gave: normally one,
// more if the test was held up. False for anything else.
bool parseReports(const std::string& text, std::vector<std::vector<int>>& reports) {
    std::istringstream in(text);
    std::vector<int> values;
    while (in.peek() != std::char_traits<char>::eof()) {
        int v = 0;
        if (in.get() != ' ' || !(in >> v)) return false;
        values.push_back(v);
    }
    if (values.empty() || values.size() % 4 != 0) return false;
    for (size_t i = 0; i < values.size(); i += 4) reports.emplace_back(values.begin() + long(i), values.begin() + long(i) + 4);
    return true;
}

// The sanitizers' runtime answers stat() itself, past any preloaded
// library, so in a sanitized build the program cannot see the fake cameras:
// those cases run against the plain build only. (The frame conversion runs
// under the sanitizers in its fuzzer.)
#ifdef KESTROVA_SANITIZED_BUILD
#define SKIP_WHEN_SANITIZED() GTEST_SKIP() << "fake cameras cannot be preloaded into a sanitized program"
#else
#define SKIP_WHEN_SANITIZED() (void)0
#endif

class FakeCameraRun {
public:
    // cameras: FAKE_V4L2_CAMERAS, with @ standing for this run's folder;
    // kestrovaCameras: KESTROVA_CAMERAS, or null to leave it unset; env:
    // more variables, "NAME=value".
    FakeCameraRun(const std::string& cameras, const char* kestrovaCameras, const std::vector<std::string>& env = {}) {
        char pattern[] = "/tmp/kestrova-cameras-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::string fakeCameras = cameras;
        for (size_t at = fakeCameras.find('@'); at != std::string::npos; at = fakeCameras.find('@', at))
            fakeCameras.replace(at, 1, dir_);
        if (!line_.ok()) return;
        start_ = Clock::now();
        pid_ = fork();
        if (pid_ == 0) {
            close(line_.master);  // the far end stays with the test
            setenv("KESTROVA_COM1", line_.path.c_str(), 1);
            if (kestrovaCameras != nullptr) {
                setenv("KESTROVA_CAMERAS", kestrovaCameras, 1);
            } else {
                unsetenv("KESTROVA_CAMERAS");
            }
            if (!fakeCameras.empty()) {
                setenv("FAKE_V4L2_CAMERAS", fakeCameras.c_str(), 1);
                setenv("LD_PRELOAD", FAKE_V4L2_LIBRARY, 1);
            }
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            const int err = ::open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            execl(KESTROVA_BINARY, KESTROVA_BINARY, static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    ~FakeCameraRun() {
        stop();
        if (!dir_.empty()) (void)!system(("rm -rf '" + dir_ + "'").c_str());
    }

    bool started() const { return pid_ > 0; }

    // Sets ball camera (0 or 1) at (x, y) from the top left, with "pause" or
    // "unplug" after it when given.
    void setBall(int camera, int x, int y, const char* state = "") {
        const std::string path = dir_ + "/ball" + std::to_string(camera);
        std::ofstream(path + ".new") << x << " " << y << " " << state << "\n";
        rename((path + ".new").c_str(), path.c_str());
    }

    // Reads reports until count have come or the time is up.
    std::vector<Report> reports(size_t count, double seconds) {
        std::vector<Report> got;
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (got.size() < count && Clock::now() < until) {
            const std::string chunk = line_.readChunk(std::chrono::milliseconds(100));
            if (chunk.empty()) continue;
            std::vector<std::vector<int>> parsed;
            EXPECT_TRUE(parseReports(chunk, parsed)) << "'" << chunk << "'";
            const double at = std::chrono::duration<double>(Clock::now() - start_).count();
            for (const std::vector<int>& v : parsed) got.push_back({v[0], v[1], v[2], v[3], at});
            std::printf("at %.2f s:%s\n", at, chunk.c_str());
        }
        all_.insert(all_.end(), got.begin(), got.end());
        return got;
    }

    // The reports so far came once a second: none held up for long, and no
    // more of them than seconds passed. (A busy machine may delay any one
    // report; the next then comes early, on the timer's beat.)
    void expectSteadyReports() const {
        for (size_t i = 1; i < all_.size(); ++i)
            EXPECT_LT(all_[i].seconds - all_[i - 1].seconds, 2.0) << "report " << i;
        if (!all_.empty()) {
            EXPECT_LE(double(all_.size() - 1), all_.back().seconds - all_.front().seconds + 1.5) << "reports piled up";
        }
    }

    // Ends the program with SIGTERM (or signal); its exit status (-1 if it
    // hung).
    int stop(int signal = SIGTERM) {
        if (pid_ <= 0) return status_;
        kill(pid_, signal);
        const auto until = Clock::now() + std::chrono::seconds(3);
        int status = 0;
        status_ = -1;
        while (Clock::now() < until) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                break;
            }
            usleep(10 * 1000);
        }
        if (status_ == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        return status_;
    }

    std::string file(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string stderrText() const { return file("stderr"); }

private:
    std::string dir_;
    PseudoTerminal line_;
    pid_t pid_ = -1;
    int status_ = -1;
    Clock::time_point start_;
    std::vector<Report> all_;
};

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

#define EXPECT_REPORT(r, ex0, ey0, ex1, ey1)              \
    do {                                                  \
        EXPECT_NEAR((r).x0, (ex0), 2) << "at " << (r).seconds; \
        EXPECT_NEAR((r).y0, (ey0), 2) << "at " << (r).seconds; \
        EXPECT_NEAR((r).x1, (ex1), 2) << "at " << (r).seconds; \
        EXPECT_NEAR((r).y1, (ey1), 2) << "at " << (r).seconds; \
    } while (0)

// Tracks a ball at (417, 133) before a 640x480 left camera and one at
// (905, 602) before a 1280x720 right camera; what the program said on
// standard error.
std::string trackVgaBesideHd(const std::string& cameras, const char* kestrovaCameras) {
    FakeCameraRun run(cameras, kestrovaCameras);
    run.setBall(0, 417, 133);
    run.setBall(1, 905, 602);
    EXPECT_TRUE(run.started());
    const std::vector<Report> reports = run.reports(3, 10.0);
    EXPECT_GE(reports.size(), 3u) << run.stderrText();
    for (size_t i = 1; i < reports.size(); ++i) EXPECT_REPORT(reports[i], 417, 479 - 133, 905, 719 - 602);
    EXPECT_EQ(run.stop(), 0);
    return run.stderrText();
}

// With KESTROVA_CAMERAS unset the cameras are found in /dev: video3 (YUYV
// 640x480) is left and video10 (1280x720, YUYV and MJPEG, so MJPEG) right;
// video4, a UVC metadata node, is no camera.
TEST(FakeCameras, FoundInOrderOfNumberAndTrackedInYuyvAndMjpeg) {
    SKIP_WHEN_SANITIZED();
    const std::string err = trackVgaBesideHd(
        "path=/dev/video3,formats=yuyv,sizes=640x480,control=@/ball0;"
        "path=/dev/video4,meta=1;"
        "path=/dev/video10,formats=yuyv+mjpeg,sizes=1280x720,control=@/ball1",
        nullptr);
    EXPECT_NE(err.find("left camera: /dev/video3, 640x480 YUYV"), std::string::npos) << err;
    EXPECT_NE(err.find("right camera: /dev/video10, 1280x720 MJPEG"), std::string::npos) << err;
}

// Cameras left at 1280x720: the size closest to 640x480 is taken unless the
// name asks for another; the two sizes then differ, which is said once.
TEST(FakeCameras, SizeClosestToVgaUnlessAskedFor) {
    SKIP_WHEN_SANITIZED();
    const std::string err = trackVgaBesideHd(
        "path=/dev/video0,formats=yuyv+mjpeg,sizes=1280x720+800x600+640x480,control=@/ball0;"
        "path=/dev/video1,formats=yuyv+mjpeg,sizes=1280x720+640x480,control=@/ball1",
        "/dev/video0,/dev/video1@1280x720");
    EXPECT_NE(err.find("left camera: /dev/video0, 640x480 YUYV"), std::string::npos) << err;
    EXPECT_NE(err.find("right camera: /dev/video1@1280x720, 1280x720 MJPEG"), std::string::npos) << err;
    EXPECT_EQ(countOf(err, "The cameras' sizes differ (left 640x480, right 1280x720)"), 1u) << err;
}

// With no camera named and none present (a metadata node is no camera), the
// program shows the simulated rig instead, and says so.
TEST(FakeCameras, NoneFoundGivesTheSimulatedRig) {
    SKIP_WHEN_SANITIZED();
    FakeCameraRun run("path=/dev/video4,meta=1", nullptr);
    ASSERT_TRUE(run.started());
    EXPECT_GE(run.reports(2, 10.0).size(), 2u) << run.stderrText();
    EXPECT_EQ(run.stop(), 0);
    EXPECT_NE(run.stderrText().find("No camera found: using the simulated stereo rig"), std::string::npos)
        << run.stderrText();
}

// A stable by-id name with rows padded by bytesperline and too little USB
// bandwidth for its size (it steps down and says so); beside it a camera
// 638 pixels wide, whose frames lose their two rightmost columns only.
TEST(FakeCameras, PaddedRowsNarrowBusAndWidthNotAMultipleOfFour) {
    SKIP_WHEN_SANITIZED();
    const std::string byId = "/dev/v4l/by-id/usb-Fake_Camera_A-video-index0";
    const std::string left = "path=/dev/video0,alias=" + byId +
                             ",formats=yuyv,sizes=1280x720+640x480,pad=128,bandwidth=21000000,control=@/ball0;";
    FakeCameraRun run(left + "path=/dev/video1,formats=yuyv,sizes=638x480,control=@/ball1",
                      (byId + "@1280x720,/dev/video1").c_str());
    run.setBall(0, 250, 300);
    run.setBall(1, 601, 77);
    ASSERT_TRUE(run.started());
    const std::vector<Report> reports = run.reports(3, 10.0);
    ASSERT_GE(reports.size(), 3u) << run.stderrText();
    const std::string err = run.stderrText();
    const bool smaller = err.find("using 640x480") != std::string::npos;
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_REPORT(reports[i], 250, (smaller ? 479 : 719) - 300, 601, 479 - 77);
    EXPECT_NE(err.find("not enough USB bandwidth for 1280x720 at 30 fps"), std::string::npos) << err;
    EXPECT_NE(err.find("left camera: " + byId), std::string::npos) << err;
    EXPECT_NE(err.find("right camera: /dev/video1, 638x480 YUYV at 30 fps, right edge cropped to 636x480"), std::string::npos) << err;
}

// A camera at 2 frames a second, and one that stops for more than a second:
// the averages stay true (the newest frame counts again) and the ticks go on.
TEST(FakeCameras, SlowAndPausingCamerasKeepTruePositions) {
    SKIP_WHEN_SANITIZED();
    FakeCameraRun run(
        "path=/dev/video0,formats=yuyv,fps=2,control=@/ball0;"
        "path=/dev/video1,formats=mjpeg,sizes=1280x720,control=@/ball1",
        "/dev/video0,/dev/video1");
    run.setBall(0, 440, 100);
    run.setBall(1, 700, 500);
    ASSERT_TRUE(run.started());
    std::vector<Report> before = run.reports(2, 10.0);
    ASSERT_GE(before.size(), 2u) << run.stderrText();
    EXPECT_REPORT(before[1], 440, 379, 700, 219);
    run.setBall(1, 700, 500, "pause");
    const std::vector<Report> paused = run.reports(2, 5.0);
    run.setBall(1, 700, 500);
    const std::vector<Report> after = run.reports(2, 5.0);
    ASSERT_GE(paused.size(), 2u);
    ASSERT_GE(after.size(), 2u);
    for (const Report& r : paused) EXPECT_REPORT(r, 440, 379, 700, 219);
    for (const Report& r : after) EXPECT_REPORT(r, 440, 379, 700, 219);
    run.expectSteadyReports();
}

// Bad frames on every other frame (truncated and corrupt MJPEG, zero
// length, more bytes than the buffer holds, a buffer index out of range)
// are dropped; the good ones between are tracked.
TEST(FakeCameras, BadFramesAreDroppedAndTrackingGoesOn) {
    SKIP_WHEN_SANITIZED();
    const char* faults = "fault=truncate+corrupt+zero+overrun+badindex";
    FakeCameraRun run(std::string("path=/dev/video0,formats=mjpeg,control=@/ball0,") + faults +
                          ";path=/dev/video1,formats=yuyv,control=@/ball1," + faults,
                      "/dev/video0,/dev/video1");
    run.setBall(0, 123, 321);
    run.setBall(1, 333, 222);
    ASSERT_TRUE(run.started());
    const std::vector<Report> reports = run.reports(3, 10.0);
    ASSERT_GE(reports.size(), 3u) << run.stderrText();
    for (size_t i = 1; i < reports.size(); ++i) EXPECT_REPORT(reports[i], 123, 479 - 321, 333, 479 - 222);
    EXPECT_EQ(run.stop(), 0);
    EXPECT_LT(run.stderrText().size(), 400u) << run.stderrText();  // no line per bad frame
}

// An unplugged camera: the other keeps tracking and reports go on; when the
// node is back it is opened again within about two seconds.
TEST(FakeCameras, UnpluggedCameraIsReopenedWhenItComesBack) {
    SKIP_WHEN_SANITIZED();
    FakeCameraRun run(
        "path=/dev/video0,formats=yuyv,control=@/ball0;"
        "path=/dev/video1,formats=yuyv+mjpeg,sizes=1280x720,control=@/ball1",
        "/dev/video0,/dev/video1");
    run.setBall(0, 200, 100);
    run.setBall(1, 640, 360);
    ASSERT_TRUE(run.started());
    std::vector<Report> before = run.reports(2, 10.0);
    ASSERT_GE(before.size(), 2u) << run.stderrText();
    EXPECT_REPORT(before[1], 200, 379, 640, 359);

    run.setBall(1, 640, 360, "unplug");
    std::vector<Report> gone = run.reports(3, 6.0);
    ASSERT_GE(gone.size(), 3u);
    EXPECT_REPORT(gone[2], 200, 379, 0, 0);  // nothing stale from the lost camera

    // Back, with the ball moved: within two seconds its frames are tracked.
    run.setBall(1, 1000, 100);
    const std::vector<Report> back = run.reports(4, 8.0);
    ASSERT_GE(back.size(), 4u);
    EXPECT_REPORT(back[3], 200, 379, 1000, 619);
    EXPECT_REPORT(back[2], 200, 379, 1000, 619);
    run.expectSteadyReports();
    EXPECT_EQ(run.stop(), 0);
    const std::string err = run.stderrText();
    EXPECT_EQ(countOf(err, "/dev/video1: camera lost"), 1u) << err;
    EXPECT_EQ(countOf(err, "/dev/video1: camera back"), 1u) << err;
}

// A driver that hangs in STREAMOFF, met when the unplugged left camera is
// taken down and again at exit: the reports go on once a second, and
// closing ends the program all the same (stop() waits 3 s, and SIGKILLs).
TEST(FakeCameras, ADriverHungInACallHoldsNeitherTheWindowNorTheExit) {
    SKIP_WHEN_SANITIZED();
    FakeCameraRun run(
        "path=/dev/video0,formats=yuyv,control=@/ball0,fault=hang-streamoff;"
        "path=/dev/video1,formats=yuyv,control=@/ball1,fault=hang-streamoff",
        "/dev/video0,/dev/video1");
    run.setBall(0, 200, 100);
    run.setBall(1, 300, 100);
    ASSERT_TRUE(run.started());
    ASSERT_GE(run.reports(2, 10.0).size(), 2u) << run.stderrText();
    run.setBall(0, 200, 100, "unplug");
    const std::vector<Report> after = run.reports(4, 8.0);
    ASSERT_GE(after.size(), 4u) << run.stderrText();
    EXPECT_REPORT(after[3], 0, 0, 300, 379);
    run.expectSteadyReports();
    const auto closing = Clock::now();
    EXPECT_EQ(run.stop(), 0) << run.stderrText();
    std::printf("ended %.2f s after SIGTERM\n", std::chrono::duration<double>(Clock::now() - closing).count());
    EXPECT_NE(run.stderrText().find("still closing"), std::string::npos) << run.stderrText();
}

// A driver that stops answering in VIDIOC_DQBUF: the camera is given up
// within a second and the other one tracks on; once the call returns, the
// camera comes back.
TEST(FakeCameras, ADriverHungInAGrabCostsOnlyItsCamera) {
    SKIP_WHEN_SANITIZED();
    FakeCameraRun run("path=/dev/video0,formats=yuyv,control=@/ball0;path=/dev/video1,formats=yuyv,control=@/ball1",
                      "/dev/video0,/dev/video1");
    run.setBall(0, 200, 100);
    run.setBall(1, 300, 100);
    ASSERT_TRUE(run.started());
    ASSERT_GE(run.reports(2, 10.0).size(), 2u) << run.stderrText();
    run.setBall(0, 200, 100, "hang");
    const std::vector<Report> hung = run.reports(4, 8.0);
    ASSERT_GE(hung.size(), 4u) << run.stderrText();
    EXPECT_REPORT(hung[3], 0, 0, 300, 379);
    run.setBall(0, 220, 100);
    const std::vector<Report> back = run.reports(4, 8.0);
    ASSERT_GE(back.size(), 4u) << run.stderrText();
    EXPECT_REPORT(back[3], 220, 379, 300, 379);
    run.expectSteadyReports();
    EXPECT_EQ(run.stop(), 0) << run.stderrText();
    EXPECT_EQ(countOf(run.stderrText(), "/dev/video0: the driver does not answer"), 1u) << run.stderrText();
}

// Automatic white balance drifts the tint to blue (the fake's 60 s of drift
// pass in 4 s): fixed at 4000 K the reports hold; on automatic the same
// scene loses the ball at the default threshold.
TEST(FakeCameras, FixedWhiteBalanceKeepsTheBallThroughTheDrift) {
    SKIP_WHEN_SANITIZED();
    const std::string camera = "formats=yuyv,sizes=320x240,controls=whitebalance,awbspeed=15,control=@/ball";
    for (const bool fixed : {true, false}) {
        FakeCameraRun run("path=/dev/video0," + camera + "0;path=/dev/video1," + camera + "1", "/dev/video0,/dev/video1",
                          {fixed ? "KESTROVA_WHITE_BALANCE=4000" : "KESTROVA_WHITE_BALANCE=auto"});
        run.setBall(0, 100, 100);
        run.setBall(1, 200, 140);
        ASSERT_TRUE(run.started());
        const std::vector<Report> reports = run.reports(6, 12.0);
        ASSERT_GE(reports.size(), 6u) << run.stderrText();
        for (size_t i = 1; fixed && i < reports.size(); ++i) EXPECT_REPORT(reports[i], 100, 139, 200, 99);
        if (!fixed) EXPECT_REPORT(reports.back(), 0, 0, 0, 0);
    }
}

// One run for the settings' other promises. The left camera has both
// controls and is unplugged: it comes back with its defaults, and its
// settings are set again before its first frame is taken. The right camera
// has no exposure control, and its first frame comes 2.5 s after its stream
// starts. A bad value and one out of range are said; tracking goes on.
TEST(FakeCameras, SettingsAreSaidAndSetAgainAfterAReplug) {
    SKIP_WHEN_SANITIZED();
    FakeCameraRun run(
        "path=/dev/video0,formats=yuyv,controls=exposure+whitebalance,record=@/record,control=@/ball0;"
        "path=/dev/video1,formats=mjpeg,controls=whitebalance,firstframe=2500,control=@/ball1",
        "/dev/video0,/dev/video1",
        {"KESTROVA_EXPOSURE=fast", "KESTROVA_EXPOSURE_LEFT=20", "KESTROVA_WHITE_BALANCE=20000"});
    run.setBall(0, 200, 100);
    run.setBall(1, 300, 200);
    ASSERT_TRUE(run.started());
    const std::vector<Report> before = run.reports(4, 10.0);
    ASSERT_GE(before.size(), 4u) << run.stderrText();
    EXPECT_REPORT(before[3], 200, 379, 300, 279);
    run.setBall(0, 200, 100, "unplug");
    run.reports(2, 5.0);
    run.setBall(0, 200, 100);
    const std::vector<Report> back = run.reports(3, 8.0);
    ASSERT_GE(back.size(), 3u);
    EXPECT_REPORT(back[2], 200, 379, 300, 279);
    EXPECT_EQ(run.stop(), 0);

    const std::string err = run.stderrText();
    for (const char* line :
         {"KESTROVA_EXPOSURE: \"fast\" is not auto or a number of milliseconds above 0; using auto",
          "left: exposure 20 ms (manual; 0.3-204.7 ms), white balance 6500 K (manual; 2800-6500 K)\n",
          "left: white balance 20000 K: outside 2800-6500 K; set to 6500 K\n",
          "right: no exposure control, white balance 6500 K (manual; 2800-6500 K)\n",
          "right: exposure auto: the camera has no exposure control\n"})
        EXPECT_EQ(countOf(err, line), 1u) << line << "\n" << err;
    const std::string settings = "/dev/video0 set Auto Exposure 1\n/dev/video0 set Exposure Time, Absolute 200\n"
                                 "/dev/video0 set White Balance, Automatic 0\n"
                                 "/dev/video0 set White Balance Temperature 6500\n";
    const std::string record = run.file("record");
    EXPECT_NE(record.find("/dev/video0 plugged in\n/dev/video0 stream on\n" + settings + "/dev/video0 first frame\n"),
              std::string::npos)
        << record;
}

// Two recorded clips, played in a loop at their own frame rate: the left
// one at 4 frames a second with the ball at x = 100 for a second, then at
// x = 200 for a second, the right one still. At the clip's own rate the
// one-second averages swing between the two places, and they go on swinging
// after the clip's two seconds have run out.
TEST(RecordedFootage, ClipsPlayInALoopAtTheirOwnRate) {
    char pattern[] = "/tmp/kestrova-clips-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string left = dir + "/left.avi", right = dir + "/right.avi";
    std::vector<test_clip::BallAt> moving(8, test_clip::BallAt{100, 60});
    for (size_t i = 4; i < moving.size(); ++i) moving[i].x = 200;
    ASSERT_TRUE(test_clip::writeBallClip(left, 322, 240, 4, 10, moving));
    ASSERT_TRUE(test_clip::writeBallClip(right, 320, 240, 25, 10, std::vector<test_clip::BallAt>(5, {250, 170})));

    const std::string cameras = "file:" + left + "," + right;
    FakeCameraRun play("", cameras.c_str());
    ASSERT_TRUE(play.started());
    const std::vector<Report> reports = play.reports(7, 15.0);
    ASSERT_GE(reports.size(), 7u) << play.stderrText();
    int lowest = 1000, highest = 0, lowLater = 1000, highLater = 0;
    for (size_t i = 1; i < reports.size(); ++i) {
        const Report& r = reports[i];
        EXPECT_GE(r.x0, 98);
        EXPECT_LE(r.x0, 202);
        EXPECT_NEAR(r.y0, 239 - 60, 2);
        EXPECT_NEAR(r.x1, 250, 2);
        EXPECT_NEAR(r.y1, 239 - 170, 2);
        lowest = std::min(lowest, r.x0), highest = std::max(highest, r.x0);
        if (i >= 3) lowLater = std::min(lowLater, r.x0), highLater = std::max(highLater, r.x0);
    }
    EXPECT_GE(highest - lowest, 40) << "the clip did not play at its own rate";
    EXPECT_GE(highLater - lowLater, 40) << "the clip did not start again";
    const std::string err = play.stderrText();
    EXPECT_NE(err.find("left camera: " + left + ", 322x240 at 4 fps"), std::string::npos) << err;
    (void)!system(("rm -rf '" + dir + "'").c_str());
}

// The same moving clip as both cameras: the two play on one clock from the
// first tick on (which builds its tables between the two grabs) and loop
// together, so every report has both pictures at one place.
TEST(RecordedFootage, PairPlaysInStep) {
    char pattern[] = "/tmp/kestrova-clips-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern, clip = dir + "/moving.avi";
    std::vector<test_clip::BallAt> moving;
    for (int frame = 0; frame < 50; ++frame) moving.push_back({40 + 4 * frame, 120});  // 2 s at 25 fps
    ASSERT_TRUE(test_clip::writeBallClip(clip, 320, 240, 25, 10, moving));

    const std::string cameras = "file:" + clip + "," + clip;
    FakeCameraRun play("", cameras.c_str());
    ASSERT_TRUE(play.started());
    const std::vector<Report> reports = play.reports(5, 15.0);  // twice round the clip
    ASSERT_GE(reports.size(), 5u) << play.stderrText();
    for (const Report& r : reports) {
        EXPECT_NEAR(r.x0, r.x1, 1);
        EXPECT_NEAR(r.y0, r.y1, 1);
    }
    (void)!system(("rm -rf '" + dir + "'").c_str());
}

// A folder of the test's own, removed at the end.
struct TempFolder {
    char pattern[32] = "/tmp/kestrova-recording-XXXXXX";
    const std::string path = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
    ~TempFolder() { (void)!system(("rm -rf '" + path + "'").c_str()); }
};

// What FFmpeg's own tool reads in a recording: its codec and frame rate,
// how many frames it decodes, and the sizes of the frames' chunks.
struct Probe {
    std::string codec, rate;
    long frames = -1, chunkBytes = 0, fileBytes = 0;
};
Probe probe(const std::string& path) {
    Probe p;
    const std::string command = "ffprobe -v quiet -count_frames -select_streams v:0 -show_entries "
                                "stream=codec_name,r_frame_rate,nb_read_frames:packet=size -of default=nw=1 '" +
                                path + "'";
    FILE* out = popen(command.c_str(), "r");
    char text[256];
    while (out != nullptr && std::fgets(text, sizeof text, out) != nullptr) {
        std::string line(text);
        line.erase(line.find_last_not_of("\r\n") + 1);
        const std::string value = line.substr(line.find('=') + 1);
        if (line.rfind("codec_name=", 0) == 0) p.codec = value;
        if (line.rfind("r_frame_rate=", 0) == 0) p.rate = value;
        if (line.rfind("nb_read_frames=", 0) == 0) p.frames = std::atol(value.c_str());
        if (line.rfind("size=", 0) == 0) p.chunkBytes += std::atol(value.c_str());
    }
    if (out != nullptr) pclose(out);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) p.fileBytes = long(st.st_size);
    return p;
}

// The frames and the dropped frames the program said at exit it recorded
// to file.
bool recordedCount(const std::string& err, const std::string& file, long& frames, long& dropped) {
    const size_t at = err.find(file + ": ");
    return at != std::string::npos &&
           std::sscanf(err.c_str() + at + file.size(), ": %ld frames (%*f s) recorded, %ld dropped", &frames,
                       &dropped) == 2;
}

// The moving simulated rig recorded while it is tracked, then replayed from
// the files: every report within a pixel of the live run's for the same
// second. FFmpeg's own tool reads the files as MJPEG at 25 frames a second,
// each with the frames the program said it wrote: 25 for every second it
// ran, as a dropped frame's place is kept.
TEST(Recording, ReplayGivesTheLiveReports) {
    TempFolder dir;
    const std::string prefix = dir.path + "/run";
    FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + prefix});
    const std::vector<Report> seen = live.reports(10, 30.0);
    ASSERT_EQ(seen.size(), 10u) << live.stderrText();
    live.expectSteadyReports();
    ASSERT_EQ(live.stop(), 0);
    const std::string err = live.stderrText();
    EXPECT_NE(err.find("Recording to " + prefix + "-left.avi and " + prefix + "-right.avi"), std::string::npos) << err;
    for (const char* side : {"left", "right"}) {
        const std::string file = prefix + "-" + side + ".avi";
        long frames = -1, dropped = -1;
        ASSERT_TRUE(recordedCount(err, file, frames, dropped)) << err;
        const Probe p = probe(file);
        EXPECT_EQ(p.codec, "mjpeg");
        EXPECT_EQ(p.rate, "25/1");
        EXPECT_EQ(p.frames, frames);
        EXPECT_GE(frames, 25 * 9) << "ten reports: ten seconds of ticks";
        EXPECT_LE(frames, 25 * 13);
        EXPECT_LE(dropped, frames / 10) << side;
    }

    const std::string cameras = "file:" + prefix + "-left.avi," + prefix + "-right.avi";
    FakeCameraRun replay("", cameras.c_str());
    const std::vector<Report> again = replay.reports(10, 30.0);
    ASSERT_EQ(again.size(), 10u) << replay.stderrText();
    // The first tick makes the colour table, which takes a few hundred
    // milliseconds (more under the sanitizers) and a different number of
    // ticks with it in every run, live runs alike: the first second averages
    // different ticks, and so does the second when that held the first
    // report up.
    const size_t startUp = std::max(seen[0].seconds, again[0].seconds) > 1.3 ? 2 : 1;
    for (size_t i = 0; i < again.size(); ++i) {
        const int within = i < startUp ? 10 : 1;
        EXPECT_NEAR(again[i].x0, seen[i].x0, within) << "second " << i + 1;
        EXPECT_NEAR(again[i].y0, seen[i].y0, within) << "second " << i + 1;
        EXPECT_NEAR(again[i].x1, seen[i].x1, within) << "second " << i + 1;
        EXPECT_NEAR(again[i].y1, seen[i].y1, within) << "second " << i + 1;
    }
}

// Killed while it records: the files play up to about the last second.
TEST(Recording, KilledProgramLeavesFilesThatPlay) {
    TempFolder dir;
    const std::string prefix = dir.path + "/run";
    FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + prefix});
    ASSERT_EQ(live.reports(4, 30.0).size(), 4u) << live.stderrText();
    live.stop(SIGKILL);
    for (const char* side : {"left", "right"}) {
        const Probe p = probe(prefix + "-" + side + ".avi");
        EXPECT_EQ(p.codec, "mjpeg") << side;
        EXPECT_GE(p.frames, 25 * 3) << side << ": four reports came, so four seconds were recorded";
    }
}

// The recording's folder on a small filesystem that fills up (a 1 MB tmpfs,
// in a mount namespace of the test's own): one message, the reports go on,
// and what was written plays (all but the frame the disk cut short).
TEST(Recording, FullDiskStopsTheRecordingAndTrackingGoesOn) {
    TempFolder dir;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "no filesystem of the test's own can be made here: " << std::strerror(errno);
    const std::string prefix = dir.path + "/run";
    {
        FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + prefix});
        ASSERT_EQ(live.reports(6, 30.0).size(), 6u) << live.stderrText();
        live.expectSteadyReports();
        EXPECT_EQ(live.stop(), 0);
        const std::string err = live.stderrText();
        EXPECT_EQ(countOf(err, "Recording stopped: "), 1u) << err;
        EXPECT_NE(err.find(": No space left on device. Tracking goes on."), std::string::npos) << err;
        for (const char* side : {"left", "right"}) {
            const Probe p = probe(prefix + "-" + side + ".avi");
            EXPECT_EQ(p.codec, "mjpeg") << side;
            EXPECT_GE(p.frames, 10) << side;
            EXPECT_GE(p.chunkBytes, p.fileBytes - 64 * 1024) << side;
        }
    }
    umount2(dir.path.c_str(), MNT_DETACH);
}

// Names already taken get a number, for both files of the pair, and what
// was there stays; a folder that is not there stops the recording with one
// message, and tracking goes on.
TEST(Recording, TakenNamesAndAMissingFolder) {
    TempFolder dir;
    const std::string prefix = dir.path + "/run";
    std::ofstream(prefix + "-right.avi") << "kept";
    {
        FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + prefix});
        ASSERT_EQ(live.reports(2, 30.0).size(), 2u) << live.stderrText();
        EXPECT_EQ(live.stop(), 0);
        EXPECT_NE(live.stderrText().find("Recording to " + prefix + "-2-left.avi and " + prefix + "-2-right.avi"),
                  std::string::npos)
            << live.stderrText();
        EXPECT_EQ(probe(prefix + "-2-right.avi").codec, "mjpeg");
        std::ifstream kept(prefix + "-right.avi");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()), "kept");
    }
    FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + dir.path + "/missing/run"});
    ASSERT_EQ(live.reports(3, 30.0).size(), 3u) << live.stderrText();
    EXPECT_EQ(live.stop(), 0);
    const std::string err = live.stderrText();
    EXPECT_EQ(countOf(err, "Recording stopped: "), 1u) << err;
    EXPECT_NE(err.find("Recording stopped: cannot create " + dir.path +
                       "/missing/run-left.avi: No such file or directory. Tracking goes on."),
              std::string::npos)
        << err;
}

}  // namespace
