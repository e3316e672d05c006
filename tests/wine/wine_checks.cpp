// Runs kestrova.exe under Wine with COM1 on a pseudo-terminal of its own and
// checks what it reports: the simulated rig at 2.0 m (and a rig of another
// make with a green ball, tracked as green), two recorded clips of
// a red ball at known places (made here), a moving clip as both cameras, a
// Video for Windows driver of its own, no camera at all, and a held line.
// Also checks the exe's version resource and the icon its window shows.
//
// Run only by run_wine_checks.sh, inside a mount namespace in which the
// machine's serial devices are covered by /dev/null, with WINEPREFIX, WINE,
// WINESERVER and DISPLAY set. Before kestrova.exe starts, the prefix's COM1
// must lead to this program's pseudo-terminal; otherwise nothing is started.
//
//   wine_checks <kestrova.exe> <window_probe.exe> <work dir>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <glob.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/avicap32/stereo_rig.h"
#include "tests/wine/wine_checks.h"
#include "tests/support/avi_clip.h"
#include "tests/support/test_clip.h"

namespace wine_checks {

std::string wine, wineServer, prefix, kestrova, probe, workDir, ptyName;
int ptyMaster = -1;
int failures = 0;

void fail(const std::string& what) {
    std::printf("FAIL: %s\n", what.c_str());
    ++failures;
}

pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd, int errFd) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    for (const std::string& e : env) {
        const size_t eq = e.find('=');
        if (eq == std::string::npos) {
            unsetenv(e.c_str());
        } else {
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
    }
    if (outFd >= 0) dup2(outFd, 1);
    if (errFd >= 0) dup2(errFd, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Waits up to the timeout; the status, or -1 after killing a program that
// would not end.
int finish(pid_t pid, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (Clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        usleep(20 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

int run(const std::vector<std::string>& argv, double seconds = 120) {
    const int devNull = open("/dev/null", O_WRONLY);
    const int status = finish(start(argv, {}, devNull), seconds);
    close(devNull);
    return status;
}

std::string said(const std::string& path) {
    std::stringstream read;
    read << std::ifstream(path).rdbuf();
    std::string text = read.str();
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// Runs a program; false when it failed. What it printed goes to text,
// without the carriage returns of Wine's console.
bool output(const std::vector<std::string>& argv, double seconds, std::string& text) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    const pid_t pid = start(argv, {}, fds[1]);
    close(fds[1]);
    text.clear();
    char buffer[256];
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        struct pollfd pfd = {fds[0], POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\r') text += buffer[i];
        }
    }
    close(fds[0]);
    const int status = finish(pid, 5);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Where the prefix's COM1 leads.
std::string com1Target() {
    char target[512];
    const ssize_t n = readlink((prefix + "/dosdevices/com1").c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, size_t(n)) : "";
}

// Maps COM1 to the pseudo-terminal and starts a session that keeps it.
bool mapCom1() {
    // A session that is still ending (the suites ran just before) can make
    // the first write fail: wait for it, and try again a few times.
    bool written = false;
    for (int attempt = 0; attempt < 3 && !written; ++attempt) {
        if (attempt > 0) sleep(1);
        run({wineServer, "-w"}, 30);
        written = run({wine, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/d", ptyName, "/f"}) == 0;
    }
    if (!written) {
        std::printf("cannot write COM1 into the Wine registry\n");
        return false;
    }
    // The ports are set up when a session starts: end this one, start one
    // that stays, and wait for the link.
    run({wineServer, "-k"}, 30);
    run({wineServer, "-w"}, 30);
    run({wineServer, "-p"}, 30);
    run({wine, "reg", "query", "HKLM\\Software\\Wine\\Ports", "/v", "COM1"});
    for (int i = 0; i < 100 && com1Target() != ptyName; ++i) usleep(100 * 1000);
    return com1Target() == ptyName;
}

bool parseReport(const std::string& text, int values[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (at >= text.size() || text[at++] != ' ') return false;
        const size_t begin = at;
        if (at < text.size() && text[at] == '-') ++at;
        const size_t digits = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == digits || at - digits > 9) return false;
        values[i] = std::atoi(text.substr(begin, at - begin).c_str());
    }
    return at == text.size();
}

// Reads reports until count have come or the time is up.
std::vector<Report> readReports(size_t count, double seconds) {
    std::vector<Report> reports;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (reports.size() < count && Clock::now() < deadline) {
        struct pollfd pfd = {ptyMaster, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = read(ptyMaster, buffer, sizeof buffer);
        if (n <= 0) continue;
        int v[4];
        const std::string chunk(buffer, size_t(n));
        if (!parseReport(chunk, v)) {
            fail("not a report: '" + chunk + "'");
            continue;
        }
        reports.push_back({v[0], v[1], v[2], v[3]});
    }
    return reports;
}

void drain() {
    char buffer[256];
    struct pollfd pfd = {ptyMaster, POLLIN, 0};
    while (poll(&pfd, 1, 0) > 0 && read(ptyMaster, buffer, sizeof buffer) > 0) {
    }
}

pid_t startKestrova(const char* cameras, const std::string& exe, const std::vector<std::string>& more, int errFd) {
    if (com1Target() != ptyName) {
        std::printf("COM1 leads to '%s', not to the test's %s: kestrova.exe is not started\n", com1Target().c_str(),
                    ptyName.c_str());
        std::exit(1);
    }
    drain();
    const std::string camerasSetting = cameras != nullptr ? std::string("KESTROVA_CAMERAS=") + cameras
                                                          : std::string("KESTROVA_CAMERAS");
    std::vector<std::string> env = more;
    env.push_back(camerasSetting);
    return start({wine, exe}, env, -1, errFd);
}

pid_t startKestrova(const char* cameras) { return startKestrova(cameras, kestrova); }

// Closes the main window as its close box does and checks the exit status.
void closeAndCheckExit(pid_t pid, const char* check) {
    std::string text;
    if (!output({wine, probe, "close"}, 40, text)) fail(std::string(check) + ": the main window was not found");
    const int status = finish(pid, 30);
    if (status == -1) {
        fail(std::string(check) + ": still running 30 s after its window was closed");
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail(std::string(check) + ": exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1));
    } else {
        std::printf("%s: closing the window ended it with exit status 0\n", check);
    }
}

void expectReports(const char* check, const std::vector<Report>& reports, double x0, double y0, double x1,
                   double y1, double tolerance) {
    std::printf("%s: expected about %.1f %.1f %.1f %.1f (within %.0f px)\n", check, x0, y0, x1, y1, tolerance);
    if (reports.size() < 3) {
        fail(std::string(check) + ": only " + std::to_string(reports.size()) + " reports");
        return;
    }
    for (size_t i = 1; i < reports.size(); ++i) {  // the first may average a partial second
        const Report& r = reports[i];
        std::printf("%s: report %zu: %d %d %d %d\n", check, i, r.x0, r.y0, r.x1, r.y1);
        if (std::fabs(r.x0 - x0) > tolerance || std::fabs(r.y0 - y0) > tolerance ||
            std::fabs(r.x1 - x1) > tolerance || std::fabs(r.y1 - y1) > tolerance) {
            fail(std::string(check) + ": report " + std::to_string(i) + " is off");
        }
    }
}

// Whether the icon that Wine gives the main window's X window for its title
// bar (_NET_WM_ICON, taken from the window's class) is the program's own:
// its 32x32 image holds the exact green of the marker drawn on the target.
// (Wine cannot hand a window's icon to another Windows process: neither
// WM_GETICON nor the class icon crosses processes there.)
bool titleBarShowsOwnIcon() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    const Atom iconAtom = XInternAtom(display, "_NET_WM_ICON", False);
    bool found = false;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !found; ++i) {
            char* name = nullptr;
            const bool kestrova = XFetchName(display, children[i], &name) && std::strcmp(name, "Kestrova") == 0;
            if (name != nullptr) XFree(name);
            Atom type;
            int format;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (!kestrova || XGetWindowProperty(display, children[i], iconAtom, 0, 1 << 20, False, XA_CARDINAL, &type,
                                                &format, &items, &after, &data) != Success || data == nullptr)
                continue;
            const unsigned long* argb = reinterpret_cast<const unsigned long*>(data);  // format 32: longs
            for (unsigned long k = 0; k < items && !found; ++k) found = (argb[k] & 0xFFFFFFFF) == 0xFF3CE03C;
            XFree(data);
        }
    }
    if (children != nullptr) XFree(children);
    XCloseDisplay(display);
    return found;
}

void checkSimulatedRig() {
    const char* check = "simulated rig at 2.0 m";
    const pid_t pid = startKestrova("sim:2.0");
    const std::vector<Report> reports = readReports(4, 60);
    const standin::RigPoint ball = standin::stereoRigBallPosition(0.0, 2.0);
    const standin::RigImagePoint left = standin::stereoRigProject(0, ball, 320, 240);
    const standin::RigImagePoint right = standin::stereoRigProject(1, ball, 320, 240);
    expectReports(check, reports, left.x, left.y, right.x, right.y, 2.0);
    std::string client;
    if (!output({wine, probe, "client"}, 40, client)) client = "not found\n";
    std::printf("%s: client area %s", check, client.c_str());
    if (client != "640 240\n") fail(std::string(check) + ": client area is not 640x240");
    const bool ownIcon = titleBarShowsOwnIcon();
    std::printf("%s: the title bar's icon is %s\n", check, ownIcon ? "the program's own" : "not the program's");
    if (!ownIcon) fail(std::string(check) + ": the window has no icon of its own");
    closeAndCheckExit(pid, check);
}

// A green ball on a rig of 0.10 m and 62 degrees, with the target set to
// green: the settings reach the Windows program as they do the Linux one.
void checkGreenTarget() {
    const char* check = "green ball, green target";
    const pid_t pid = startKestrova("sim:1.5", kestrova, {"KESTROVA_SIM_RIG=0.10,62,0,green", "KESTROVA_TARGET=green"}, -1);
    const std::vector<Report> reports = readReports(4, 60);
    standin::SimulatedRig rig;
    rig.baseline = 0.10;
    rig.halfFieldOfView = 31.0 * 3.14159265358979323846 / 180.0;
    const standin::RigPoint ball = standin::stereoRigBallPosition(0.0, 1.5);
    const standin::RigImagePoint left = standin::stereoRigProject(0, ball, 320, 240, rig);
    const standin::RigImagePoint right = standin::stereoRigProject(1, ball, 320, 240, rig);
    expectReports(check, reports, left.x, left.y, right.x, right.y, 2.0);
    closeAndCheckExit(pid, check);
}

// A clip of frames of grey with a red ball of radius 16 px centred on pixel
// (x, y), y counted from the bottom.
std::vector<std::vector<uint8_t>> ballClip(int x, int y) {
    const int width = 320, height = 240, radius = 16;
    std::vector<uint8_t> frame(size_t(width) * 3 * height);
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            uint8_t* p = &frame[(size_t(row) * width + size_t(col)) * 3];
            const bool ball = (col - x) * (col - x) + (row - y) * (row - y) <= radius * radius;
            p[0] = ball ? 0 : 110;
            p[1] = ball ? 0 : 120;
            p[2] = ball ? 255 : 115;
        }
    }
    return std::vector<std::vector<uint8_t>>(10, frame);
}

void checkRecordedClips() {
    const char* check = "recorded clips";
    // The left clip as a bottom-up bitmap stream, the right as YUY2: the
    // reader hands back RGB for one and YUV for the other. The ball sits
    // off the middle in both directions, so a flipped or swapped picture
    // shows.
    const std::string left = workDir + "/left_bgr24.avi", right = workDir + "/right_yuy2.avi";
    if (!testsupport::writeAviClip(left, testsupport::AviPixels::Bgr24, 320, 240, 25, ballClip(200, 170)) ||
        !testsupport::writeAviClip(right, testsupport::AviPixels::Yuy2, 320, 240, 25, ballClip(180, 170))) {
        fail("cannot write the clips");
        return;
    }
    const std::string cameras = "file:Z:" + left + ",Z:" + right;
    const pid_t pid = startKestrova(cameras.c_str());
    const std::vector<Report> reports = readReports(4, 60);
    expectReports(check, reports, 200, 170, 180, 170, 1.0);
    closeAndCheckExit(pid, check);
}

// One moving clip as both cameras: the pair plays on one clock and loops
// together, so both pictures put the ball at one place in every report.
void checkMovingPairInStep() {
    const char* check = "moving clip as both cameras";
    std::vector<test_clip::BallAt> moving;
    for (int frame = 0; frame < 50; ++frame) moving.push_back({40 + 4 * frame, 120});  // 2 s at 25 fps
    const std::string clip = workDir + "/moving.avi";
    if (!test_clip::writeBallClip(clip, 320, 240, 25, 10, moving)) {
        fail("cannot write the moving clip");
        return;
    }
    const std::string cameras = "file:Z:" + clip + ",Z:" + clip;
    const pid_t pid = startKestrova(cameras.c_str());
    const std::vector<Report> reports = readReports(5, 60);
    if (reports.size() < 5) fail(std::string(check) + ": only " + std::to_string(reports.size()) + " reports");
    for (size_t i = 0; i < reports.size(); ++i) {
        const Report& r = reports[i];
        std::printf("%s: report %zu: %d %d %d %d\n", check, i, r.x0, r.y0, r.x1, r.y1);
        if (std::abs(r.x0 - r.x1) > 1 || std::abs(r.y0 - r.y1) > 1) fail(std::string(check) + ": out of step");
    }
    closeAndCheckExit(pid, check);
}

// Video for Windows through a driver of the checks' own (fake_vfw_driver.cpp,
// as avicap32.dll beside a copy of kestrova.exe) whose frames after the
// first are short: they go on as they came, so the ball in them is tracked.
void checkVfwShortFrames() {
    const char* check = "vfw driver with short frames";
    const std::string dir = workDir + "/vfw", driver = probe.substr(0, probe.rfind('/')) + "/avicap32.dll";
    if (run({"/bin/sh", "-c", "mkdir -p '" + dir + "' && cp '" + kestrova + "' '" + driver + "' '" + dir + "'"}) != 0)
        fail(std::string(check) + ": cannot copy the program and the driver");
    const pid_t pid = startKestrova("vfw", dir + "/kestrova.exe", {"WINEDLLOVERRIDES=mscoree,mshtml=;avicap32=n"});
    expectReports(check, readReports(4, 60), 100, 60, 100, 60, 1.0);
    closeAndCheckExit(pid, check);
}

void checkNoCamera() {
    const char* check = "no camera";
    const pid_t pid = startKestrova(nullptr);
    std::string text;
    if (!output({wine, probe, "warning"}, 40, text)) text = "none\n";
    std::printf("%s: message box: %s", check, text.c_str());
    if (text != "Could not initialize capture windows!\n") fail(std::string(check) + ": no capture warning");
    // Once the box is closed, the serial port opens and the ticks run on.
    const std::vector<Report> reports = readReports(2, 30);
    std::printf("%s: %zu reports after the warning\n", check, reports.size());
    if (reports.size() < 2) fail(std::string(check) + ": the program did not run on");
    closeAndCheckExit(pid, check);
}

// The device holds the line for 5 s (tcflow on the pseudo-terminal, as an
// XOFF would) while window_probe keeps sending the window messages: one wait
// of half a second at most, then, soon after the release, one whole report
// (readReports fails anything else in a read), not a pile of them.
void checkHeldLine(int slave) {
    const char* check = "held line";
    const pid_t pid = startKestrova("sim:2.0");
    int fds[2];
    if (readReports(2, 60).size() < 2 || pipe(fds) != 0) return fail(std::string(check) + ": no reports");
    const pid_t watcher = start({wine, probe, "responsive"}, {}, fds[1]);
    close(fds[1]);
    std::string said;
    for (char c; said.find('\n') == std::string::npos && read(fds[0], &c, 1) == 1;) said += c;  // measuring
    tcflow(slave, TCOOFF);
    const size_t whileHeld = readReports(1, 5).size();
    tcflow(slave, TCOON);
    const auto released = Clock::now();
    const size_t after = readReports(1, 4).size();
    const double resumed = std::chrono::duration<double>(Clock::now() - released).count();
    for (char c; read(fds[0], &c, 1) == 1;) said += c;
    close(fds[0]);
    finish(watcher, 10);
    long long longest = -1, slow = -1;
    std::sscanf(said.c_str(), "measuring %lld %lld", &longest, &slow);
    std::printf("%s: longest wait %lld ms, %lld over 400 ms; a report %.0f ms after the release\n", check, longest,
                slow, resumed * 1000);
    if (longest < 0 || longest > 1200 || slow > 1) fail(std::string(check) + ": the window stopped answering");
    if (whileHeld != 0 || after != 1 || resumed > 2) fail(std::string(check) + ": reports did not stop and resume");
    closeAndCheckExit(pid, check);
}

// Whether every serial device of the machine is covered by /dev/null, as in
// the mount namespace run_wine_checks.sh makes (unshare --mount): Wine opens
// the first serial device for COM1 by itself, so nothing of Wine's may start
// otherwise.
bool serialDevicesCovered() {
    struct stat null {};
    if (stat("/dev/null", &null) != 0) return false;
    bool covered = true;
    for (const char* pattern : {"/dev/ttyS*", "/dev/ttyUSB*", "/dev/ttyACM*"}) {
        glob_t found{};
        if (glob(pattern, 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                struct stat st {};
                if (stat(found.gl_pathv[i], &st) != 0 || st.st_rdev != null.st_rdev) covered = false;
            }
        }
        globfree(&found);
    }
    return covered;
}

}  // namespace wine_checks

using namespace wine_checks;

int main(int argc, char** argv) {
    const char* w = std::getenv("WINE");
    const char* s = std::getenv("WINESERVER");
    const char* p = std::getenv("WINEPREFIX");
    if (argc != 4 || w == nullptr || s == nullptr || p == nullptr) {
        std::fprintf(stderr, "usage: WINE=... WINESERVER=... WINEPREFIX=... %s kestrova.exe window_probe.exe dir\n",
                     argv[0]);
        return 2;
    }
    if (!serialDevicesCovered()) {
        std::printf("the machine's serial devices are not covered: run this only through run_wine_checks.sh\n");
        return 1;
    }
    wine = w;
    wineServer = s;
    prefix = p;
    kestrova = argv[1];
    probe = argv[2];
    workDir = argv[3];

    int slave = -1;
    char name[256];
    if (openpty(&ptyMaster, &slave, name, nullptr, nullptr) != 0) {
        std::printf("cannot make a pseudo-terminal\n");
        return 1;
    }
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    ptyName = name;
    if (!mapCom1()) {
        std::printf("COM1 leads to '%s', not to the test's %s: kestrova.exe is not started\n", com1Target().c_str(),
                    name);
        return 1;
    }
    std::printf("COM1 leads to %s\n", name);

    // The version resource carries the project's version (x.y.z, and x.y.z.0
    // as numbers).
    std::string version;
    const std::string expected = KESTROVA_VERSION ".0 " KESTROVA_VERSION ".0 Kestrova " KESTROVA_VERSION " " KESTROVA_VERSION "\n";
    if (!output({wine, probe, "version", "Z:" + kestrova}, 60, version)) version = "unreadable\n";
    std::printf("version resource: %s", version.c_str());
    if (version != expected) fail("the version resource is not " + expected);

    if (const char* soak = std::getenv("KESTROVA_WINE_SOAK")) {
        soakWithFaults(std::atoi(soak), slave);
        close(slave);
        return failures == 0 ? 0 : 1;
    }
    checkSimulatedRig();
    checkGreenTarget();
    checkRecordedClips();
    checkHostileFiles();
    checkMovingPairInStep();
    checkVfwShortFrames();
    checkNoCamera();
    checkHeldLine(slave);
    checkWebcams();
    checkRecording();
    close(slave);
    return failures == 0 ? 0 : 1;
}
