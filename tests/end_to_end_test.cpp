// Runs the built program headless with the simulated rig at 2.0 m and COM1
// on a pseudo-terminal, reads its reports and ends it with a signal; and
// under the serial monitor, which it must not outlive; and asks it for help,
// its version and a bad argument, which it answers opening nothing.
// KESTROVA_TEST_BINARY, when set, names another program to run the same way
// (tests/deb_checks.sh gives the one unpacked from the package).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/settings.h"
#include "tests/support/pseudo_terminal.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Report {
    int x0, y0, x1, y1;
    double seconds;  // arrival since the program started
};

const char* programUnderTest() {
    const char* other = std::getenv("KESTROVA_TEST_BINARY");
    return other != nullptr && *other != 0 ? other : KESTROVA_BINARY;
}

// With no COM1 given, the program runs under the serial monitor, whose
// output goes to monitorOutput.
pid_t startProgram(const char* com1, const char* cameras, int monitorOutput = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // As a shell starts a program: the signals the tests send are not
        // left ignored by whatever started the tests (nohup, a background job).
        for (const int sig : {SIGINT, SIGHUP}) signal(sig, SIG_DFL);
        setenv("KESTROVA_CAMERAS", cameras, 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        const char* program = programUnderTest();
        if (com1 == nullptr) {
            dup2(monitorOutput, STDOUT_FILENO);
            unsetenv("KESTROVA_COM1");
            execl(KESTROVA_MONITOR_BINARY, KESTROVA_MONITOR_BINARY, program, static_cast<char*>(nullptr));
        }
        setenv("KESTROVA_COM1", com1, 1);
        execl(program, program, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// The reports in what one read got: " %d %d %d %d" each, a space before
// each signed decimal, several run together when the reader fell behind.
// False when the text holds anything else.
bool parseReports(const std::string& text, std::vector<Report>& reports, double seconds) {
    std::vector<int> values;
    size_t at = 0;
    while (at < text.size()) {
        if (text[at++] != ' ') return false;
        const size_t start = at;
        if (at < text.size() && text[at] == '-') ++at;
        const size_t digits = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == digits || at - digits > 10) return false;
        values.push_back(std::stoi(text.substr(start, at - start)));
    }
    if (values.empty() || values.size() % 4 != 0) return false;
    for (size_t k = 0; k < values.size(); k += 4)
        reports.push_back({values[k], values[k + 1], values[k + 2], values[k + 3], seconds});
    return true;
}

// Waits up to the timeout for the child; its status, or -1 if still running.
int waitFor(pid_t pid, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (Clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        usleep(10 * 1000);
    }
    return -1;
}

TEST(EndToEnd, HeadlessRunReportsTheDisparityOfTwoMetresAndStopsOnSigterm) {
    PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    const auto start = Clock::now();
    const pid_t pid = startProgram(line.path.c_str(), "sim:2.0");
    ASSERT_GT(pid, 0);
    struct KillOnFailure {  // a failed assertion must not leave the program running
        pid_t pid;
        ~KillOnFailure() {
            if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } guard{pid};

    // Each report is one write of " %d %d %d %d", read as it arrives.
    constexpr size_t kReports = 5;
    std::vector<Report> reports;
    while (reports.size() < kReports && Clock::now() - start < std::chrono::seconds(30)) {
        const std::string chunk = line.readChunk(std::chrono::milliseconds(100));
        if (chunk.empty()) continue;
        const double at = std::chrono::duration<double>(Clock::now() - start).count();
        ASSERT_TRUE(parseReports(chunk, reports, at)) << "'" << chunk << "'";
    }
    ASSERT_GE(reports.size(), kReports);

    // Disparity that 2.0 m gives: baseline * focal length in pixels / 2.0.
    const double focal = 160.0 / std::tan(0.262);
    const double expected = 0.14 * focal / 2.0;
    for (size_t i = 1; i < reports.size(); ++i) {  // the first may average a partial second
        const Report& r = reports[i];
        EXPECT_NEAR(r.x0 - r.x1, expected, 1.0) << i;
        EXPECT_NEAR(r.y0, r.y1, 1) << i;
    }
    // One report a second: they neither pile up nor fall behind, though a
    // busy machine may delay any one of them (the next then comes early).
    const double span = reports[kReports - 1].seconds - reports[0].seconds;
    EXPECT_GT(span, double(kReports - 1) - 1.0);
    EXPECT_LT(span, double(kReports - 1) + 1.0);

    kill(pid, SIGTERM);
    const int status = waitFor(pid, 10.0);
    if (status != -1) guard.pid = -1;  // reaped
    ASSERT_NE(status, -1) << "still running 10 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Ctrl-C and a hang-up close the program as SIGTERM does.
TEST(EndToEnd, InterruptAndHangUpAreCleanExits) {
    for (const int signal : {SIGINT, SIGHUP}) {
        PseudoTerminal line;
        const pid_t pid = startProgram(line.path.c_str(), "sim:2.0");
        EXPECT_FALSE(line.readUntilQuiet(std::chrono::milliseconds(50), 1, std::chrono::seconds(30)).empty());
        kill(pid, signal);
        const int status = waitFor(pid, 10.0);
        if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << signal;
    }
}

// Under the serial monitor, the program ends when the monitor's output goes
// away (`| head -3`) or the monitor is killed, instead of running on.
TEST(EndToEnd, ProgramEndsWithItsSerialMonitor) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // an orphaned program comes back to us
    for (const bool killMonitor : {false, true}) {
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        const pid_t monitor = startProgram(nullptr, "sim:2.0", out[1]);
        close(out[1]);
        FILE* printed = fdopen(out[0], "r");
        char report[64];
        EXPECT_NE(std::fgets(report, sizeof report, printed), nullptr) << "no report printed";
        if (killMonitor) kill(monitor, SIGKILL);
        std::fclose(printed);
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (waitpid(-1, nullptr, WNOHANG) >= 0 && Clock::now() < deadline) usleep(20 * 1000);
        const bool allGone = waitpid(-1, nullptr, WNOHANG) < 0;  // monitor and program
        EXPECT_TRUE(allGone) << (killMonitor ? "monitor killed" : "output closed") << ": the program runs on";
        if (!allGone) kill(-monitor, SIGKILL);
        while (waitpid(-1, nullptr, 0) > 0) {
        }
    }
}

// Every open(2) of the watched paths, by any process, as inotify sees it.
struct OpenWatch {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::map<int, std::string> names;  // by watch descriptor
    std::map<std::string, int> opens;

    ~OpenWatch() { close(fd); }
    bool watch(const std::string& path) {
        const int wd = inotify_add_watch(fd, path.c_str(), IN_OPEN);
        if (wd >= 0) names[wd] = path;
        return wd >= 0;
    }
    // The opens seen so far, by path.
    const std::map<std::string, int>& seen() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n; at += ssize_t(sizeof(inotify_event)) + reinterpret_cast<inotify_event*>(buffer + at)->len)
                ++opens[names[reinterpret_cast<inotify_event*>(buffer + at)->wd]];
        return opens;
    }
};

// A program with one argument (none when null) and COM1 on line, and a
// camera list whose every use opens `camera`: a fake webcam's control file,
// which the fake reads whenever the program lists, inspects or opens the
// webcam; in a sanitized build, where the fake cannot be preloaded, a pair
// of recorded files. Standard output and error go to the pipes.
pid_t startAsking(const char* program, const char* argument, const PseudoTerminal& line, const std::string& camera,
                  int out, int err) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        setenv("KESTROVA_COM1", line.path.c_str(), 1);
#ifdef KESTROVA_SANITIZED_BUILD
        setenv("KESTROVA_CAMERAS", ("file:" + camera + "," + camera).c_str(), 1);
#else
        unsetenv("KESTROVA_CAMERAS");
        setenv("FAKE_V4L2_CAMERAS", ("path=/dev/video0,formats=yuyv,control=" + camera).c_str(), 1);
        setenv("LD_PRELOAD", FAKE_V4L2_LIBRARY, 1);
#endif
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        execl(program, program, argument, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    return text;
}

// --help, --version and a bad argument are answered before anything is
// opened: neither COM1 nor the camera list is touched, nothing reaches the
// line. Run without arguments, the same program opens both, which shows that
// the watch sees what it is meant to. The monitor answers its options
// without making a line or running a program named by them. The help gives
// every setting of the table with its default, and the manual page has an
// entry (".B <name>" on a line of its own) for each: neither falls behind.
TEST(CommandLine, HelpVersionAndBadArgumentOpenNothing) {
    char pattern[] = "/tmp/kestrova-asking-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string camera = std::string(pattern) + "/camera";
    std::ofstream(camera) << "100 100\n";
    PseudoTerminal line;
    OpenWatch watch;
    ASSERT_TRUE(line.ok() && watch.watch(line.path) && watch.watch(camera));

    struct Case {
        const char* program;
        const char* argument;
        int status;
        const char* out;  // what standard output starts with
        std::vector<const char*> err;  // what standard error holds, one line
    };
    const std::string version = std::string("kestrova ") + KESTROVA_VERSION + "\n";
    const std::string monitorVersion = std::string("kestrova-monitor ") + KESTROVA_VERSION + "\n";
    const char* program = programUnderTest();
    const char* monitor = KESTROVA_MONITOR_BINARY;
    std::string help;
    for (const Case& c : {Case{program, "--help", 0, "Usage: kestrova", {}}, Case{program, "-h", 0, "Usage: kestrova", {}},
                          Case{program, "--version", 0, version.c_str(), {}},
                          Case{program, "--bogus", 2, "", {"'--bogus'", "--help"}},
                          Case{monitor, "--help", 0, "Usage: kestrova-monitor", {}},
                          Case{monitor, "--version", 0, monitorVersion.c_str(), {}},
                          Case{monitor, "--bogus", 2, "", {"'--bogus'", "--help"}}}) {
        int out[2], err[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
        const std::string what = std::string(c.program == monitor ? "kestrova-monitor " : "kestrova ") + c.argument;
        const pid_t pid = startAsking(c.program, c.argument, line, camera, out[1], err[1]);
        close(out[1]);
        close(err[1]);
        const int status = waitFor(pid, 10.0);
        if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        const std::string printed = readAll(out[0]), said = readAll(err[0]);
        close(out[0]);
        close(err[0]);
        if (c.program == program && c.argument == std::string("--help")) help = printed;
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == c.status) << what << ": " << status;
        EXPECT_EQ(printed.rfind(c.out, 0), 0u) << what << ": " << printed;
        EXPECT_EQ(c.status == 0 ? said : printed, "") << what;
        for (const char* part : c.err) EXPECT_NE(said.find(part), std::string::npos) << what << ": " << said;
        EXPECT_LE(std::count(said.begin(), said.end(), '\n'), 1) << what << ": " << said;
        EXPECT_EQ(line.readChunk(std::chrono::milliseconds(50)), "") << what;
        EXPECT_EQ(watch.seen().size(), 0u) << what << ": opened " << watch.seen().begin()->first;
    }

    for (size_t at = help.find("\n      "); at != std::string::npos; at = help.find("\n      ", at))
        help.replace(at, 7, " ");  // lines wrapped into one
    std::ifstream in(KESTROVA_MANUAL_PAGE);
    const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const SettingInfo& setting : settingsTable()) {
        const std::string name = setting.name;
        EXPECT_NE(help.find("  " + name + "=" + setting.form + " " + setting.help + " default: " + setting.byDefault),
                  std::string::npos) << name << " in:\n" << help;
        EXPECT_NE(page.find("\n.B " + name + "\n"), std::string::npos) << name << ": no entry in " KESTROVA_MANUAL_PAGE;
    }

    // Without arguments: it runs, and the watch sees COM1 and the camera opened.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = startAsking(program, nullptr, line, camera, null, null);
    close(null);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (watch.seen().size() < 2 && Clock::now() < deadline) usleep(20 * 1000);
    kill(pid, SIGTERM);
    if (waitFor(pid, 10.0) == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    EXPECT_EQ(watch.seen().count(line.path), 1u) << "COM1 was not seen opened";
    EXPECT_EQ(watch.seen().count(camera), 1u) << "the camera list was not seen used";
    (void)!system(("rm -rf '" + std::string(pattern) + "'").c_str());
}

}  // namespace
