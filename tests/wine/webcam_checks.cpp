// kestrova.exe under Wine with two fake webcams (tests/fake_v4l2) preloaded
// into Wine, whose DirectShow reads them through libv4l2: the cameras found
// in order, the size closest to 640x480 taken, the cameras chosen by index
// and by name, a camera unplugged and plugged in again, two cameras of one
// model, settings for cameras that lack the controls, and a slow first frame;
// a webcam that never gives a frame, and drivers that hang in a call.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "tests/wine/wine_checks.h"

namespace wine_checks {

namespace {

const char* const kVgaPair =
    "path=/dev/video0,formats=yuyv,sizes=640x480,control=@/ball0;"
    "path=/dev/video1,formats=yuyv,sizes=640x480,control=@/ball1";

}  // namespace

std::string webcamDir() { return workDir + "/webcams"; }

// Puts camera's ball at (x, y) from the top left, with "unplug" after it
// when given.
void setBall(int camera, int x, int y, const char* state) {
    mkdir(webcamDir().c_str(), 0755);  // the first case sets its balls before it starts
    const std::string path = webcamDir() + "/ball" + std::to_string(camera);
    std::ofstream(path + ".new") << x << " " << y << " " << state << "\n";
    rename((path + ".new").c_str(), path.c_str());
}

// kestrova.exe with the fake cameras (@ standing for the control files'
// folder); its standard error goes to a file there.
pid_t startWithWebcams(std::string cameras, const char* kestrovaCameras, std::vector<std::string> more) {
    mkdir(webcamDir().c_str(), 0755);
    for (size_t at = cameras.find('@'); at != std::string::npos; at = cameras.find('@', at))
        cameras.replace(at, 1, webcamDir());
    const int err = open((webcamDir() + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    more.push_back("FAKE_V4L2_CAMERAS=" + cameras);
    more.push_back("LD_PRELOAD=" FAKE_V4L2_LIBRARY);
    const pid_t pid = startKestrova(kestrovaCameras, kestrova, more, err);
    close(err);
    return pid;
}

namespace {

// Closes the program, then expects each line in what it said.
void expectSaid(pid_t pid, const char* check, const std::vector<std::string>& lines) {
    closeAndCheckExit(pid, check);
    const std::string told = said(webcamDir() + "/stderr");
    for (const std::string& line : lines) {
        if (told.find(line + "\n") == std::string::npos) fail(std::string(check) + ": never said '" + line + "'");
    }
    std::printf("%s: said:\n%s", check, told.c_str());
}

// Two cameras, each ball at its own place; y in reports counts from the
// bottom row.
void checkPair(const char* check, const char* cameras, const char* kestrovaCameras, bool swapped,
               const std::vector<std::string>& lines) {
    setBall(0, 417, 133);
    setBall(1, 205, 302);
    const pid_t pid = startWithWebcams(cameras, kestrovaCameras);
    const std::vector<Report> reports = readReports(4, 60);
    if (swapped) {
        expectReports(check, reports, 205, 479 - 302, 417, 479 - 133, 2.0);
    } else {
        expectReports(check, reports, 417, 479 - 133, 205, 479 - 302, 2.0);
    }
    expectSaid(pid, check, lines);
}

// The left camera is unplugged, and plugged in again 2 s later with its
// ball moved: reports go on every second, the right one unchanged, and a
// whole report of the left one at the new place comes within 3 s.
void checkReplug() {
    const char* check = "webcam unplugged and back";
    setBall(0, 417, 133);
    setBall(1, 205, 302);
    const pid_t pid = startWithWebcams(kVgaPair, nullptr);
    if (readReports(2, 60).size() < 2) fail(std::string(check) + ": no reports");
    setBall(0, 417, 133, "unplug");
    const Clock::time_point unplugged = Clock::now();
    Clock::time_point last = unplugged, replugged{}, followed{};
    while (Clock::now() - unplugged < std::chrono::seconds(8)) {
        if (replugged == Clock::time_point{} && Clock::now() - unplugged >= std::chrono::seconds(2)) {
            setBall(0, 300, 100);
            replugged = Clock::now();
        }
        const std::vector<Report> r = readReports(1, 0.2);
        if (r.empty()) {
            if (Clock::now() - last > std::chrono::milliseconds(2000)) {
                fail(std::string(check) + ": no report for 2 s");
                last = Clock::now();
            }
            continue;
        }
        last = Clock::now();
        const double at = std::chrono::duration<double>(last - unplugged).count();
        std::printf("%s: at %.1f s: %d %d %d %d\n", check, at, r[0].x0, r[0].y0, r[0].x1, r[0].y1);
        if (std::abs(r[0].x1 - 205) > 2 || std::abs(r[0].y1 - (479 - 302)) > 2)
            fail(std::string(check) + ": the right camera's report changed");
        if (followed == Clock::time_point{} && replugged != Clock::time_point{} && std::abs(r[0].x0 - 300) <= 2 &&
            std::abs(r[0].y0 - (479 - 100)) <= 2)
            followed = last;
    }
    const double after = std::chrono::duration<double>(followed - replugged).count();
    std::printf("%s: the left camera followed %.1f s after the replug\n", check, after);
    if (followed == Clock::time_point{} || after > 3.0) fail(std::string(check) + ": the left camera did not follow");
    closeAndCheckExit(pid, check);
}

// Wine's capture filter has no IAMCameraControl, and its IAMVideoProcAmp no
// white balance: each camera says so in a message box and on standard
// error, and both track, the right one's first frame 2.5 s after its start.
void checkSettingsWithoutControls() {
    const char* check = "settings for webcams without the controls";
    setBall(0, 417, 133);
    setBall(1, 205, 302);
    const pid_t pid = startWithWebcams(
        "path=/dev/video0,formats=yuyv,control=@/ball0;path=/dev/video1,formats=yuyv,firstframe=2500,control=@/ball1",
        nullptr, {"KESTROVA_EXPOSURE=20", "KESTROVA_WHITE_BALANCE=4000"});
    for (const std::string side : {"left", "right"}) {
        std::string text;
        if (!output({wine, probe, "warning", "Kestrova"}, 40, text)) text = "none\n";
        std::printf("%s: message box: %s", check, text.c_str());
        if (text != side + ": exposure 20 ms: the camera has no exposure control\n" + side +
                        ": white balance 4000 K: the camera has no white balance control\n")
            fail(std::string(check) + ": no message box for the " + side + " camera");
    }
    expectReports(check, readReports(4, 60), 417, 479 - 133, 205, 479 - 302, 2.0);
    expectSaid(pid, check, {"left: no exposure control, no white balance control",
                            "right: no exposure control, no white balance control"});
}

// Two webcams of one model: the left unplugged, then the right, then only
// the right back with its ball moved. The left stays lost; the right
// follows its own camera.
void checkTwinWebcams() {
    const char* check = "two webcams of one model";
    setBall(0, 417, 133);
    setBall(1, 205, 302);
    const pid_t pid = startWithWebcams("path=/dev/video0,card=Twin,control=@/ball0;path=/dev/video1,card=Twin,control=@/ball1", nullptr);
    expectReports(check, readReports(3, 60), 417, 479 - 133, 205, 479 - 302, 2.0);
    setBall(0, 417, 133, "unplug");
    readReports(2, 10);
    setBall(1, 205, 302, "unplug");
    readReports(2, 10);
    setBall(1, 300, 100);
    std::vector<Report> reports = readReports(6, 20);
    reports.erase(reports.begin(), reports.end() - std::min<long>(3, long(reports.size())));  // once it followed
    expectReports(check, reports, 0, 0, 300, 479 - 100, 2.0);
    expectSaid(pid, check, {"left camera: 0, 640x480 RGB24 (Twin)", "1: camera back, 640x480 RGB24 (Twin)"});
}

// The window answers (window_probe's messages all within a second), and
// closing it ends the program within a few seconds (a driver may hang).
void expectAnsweringAndQuickToClose(pid_t pid, const char* check) {
    std::string text;
    if (!output({wine, probe, "responsive"}, 40, text)) text = "measuring\nnot found\n";
    long longest = -1, slow = -1;
    std::sscanf(text.c_str(), "measuring\n%ld %ld", &longest, &slow);
    std::printf("%s: longest wait of the window %ld ms\n", check, longest);
    if (longest < 0 || longest > 1000) fail(std::string(check) + ": the window does not answer");
    const Clock::time_point closing = Clock::now();
    closeAndCheckExit(pid, check);
    const double took = std::chrono::duration<double>(Clock::now() - closing).count();
    std::printf("%s: ended %.1f s after the close\n", check, took);
    if (took > 5.0) fail(std::string(check) + ": slow to end");
}

// The left webcam never gives a frame: the capture warning comes (its first
// frame is waited for 3 s), the right one tracks, the window answers.
void checkSilentWebcam() {
    const char* check = "webcam that never gives a frame";
    setBall(0, 417, 133, "pause");
    setBall(1, 205, 302);
    const Clock::time_point started = Clock::now();
    const pid_t pid = startWithWebcams(kVgaPair, nullptr);
    std::string text;
    if (!output({wine, probe, "warning"}, 40, text)) text = "none\n";
    const double after = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%s: capture warning %.1f s after the start: %s", check, after, text.c_str());
    if (text != "Could not initialize capture windows!\n" || after > 10.0) fail(std::string(check) + ": no warning in time");
    expectAnsweringAndQuickToClose(pid, check);
}

// Both webcams' drivers hang in STREAMOFF, which closing a camera meets: the
// unplugged left one is taken down while the reports go on, and the exit
// still comes.
void checkHungDrivers() {
    const char* check = "webcam drivers that hang";
    setBall(0, 417, 133);
    setBall(1, 205, 302);
    const pid_t pid = startWithWebcams("path=/dev/video0,control=@/ball0,fault=hang-streamoff;"
                                       "path=/dev/video1,control=@/ball1,fault=hang-streamoff",
                                       nullptr);
    expectReports(check, readReports(3, 60), 417, 479 - 133, 205, 479 - 302, 2.0);
    setBall(0, 417, 133, "unplug");
    std::vector<Report> reports = readReports(7, 12);
    reports.erase(reports.begin(), reports.end() - std::min<long>(3, long(reports.size())));  // once it was lost
    expectReports(check, reports, 0, 0, 205, 479 - 302, 2.0);
    expectAnsweringAndQuickToClose(pid, check);
}

}  // namespace

void checkWebcams() {
    checkPair("two VGA webcams", kVgaPair, nullptr, false,
              {"left camera: 0, 640x480 RGB24 (Fake Camera 0)", "right camera: 1, 640x480 RGB24 (Fake Camera 1)"});
    checkPair("HD+VGA webcam beside an MJPEG one",
              "path=/dev/video0,formats=yuyv,sizes=1280x720+640x480,control=@/ball0;"
              "path=/dev/video1,formats=mjpeg,sizes=1280x720+640x480,control=@/ball1",
              nullptr, false,
              {"left camera: 0, 640x480 RGB24 (Fake Camera 0)", "right camera: 1, 640x480 RGB24 (Fake Camera 1)"});
    checkPair("webcams swapped by index", kVgaPair, "1,0", true,
              {"left camera: 1, 640x480 RGB24 (Fake Camera 1)", "right camera: 0, 640x480 RGB24 (Fake Camera 0)"});
    // A part of a name that fits both cameras gives the one not taken.
    checkPair("webcams chosen by name", kVgaPair, "camera 1,FAKE", true,
              {"left camera: camera 1, 640x480 RGB24 (Fake Camera 1)",
               "right camera: FAKE, 640x480 RGB24 (Fake Camera 0)"});
    checkReplug();
    checkSettingsWithoutControls();
    checkTwinWebcams();
    checkSilentWebcam();
    checkHungDrivers();
}

}  // namespace wine_checks
