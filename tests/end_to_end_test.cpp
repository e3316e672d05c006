// Runs the built program headless with the simulated rig at 2.0 m and COM1
// on a pseudo-terminal, reads its reports and ends it with SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Report {
    int x0, y0, x1, y1;
    double seconds;  // arrival since the program started
};

pid_t startProgram(const char* com1, const char* cameras) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("KESTROVA_COM1", com1, 1);
        setenv("KESTROVA_CAMERAS", cameras, 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        execl(KESTROVA_BINARY, KESTROVA_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Reads one report " %d %d %d %d": a space before each signed decimal, nothing else.
bool parseReport(const std::string& text, int values[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (at >= text.size() || text[at++] != ' ') return false;
        const size_t start = at;
        if (at < text.size() && text[at] == '-') ++at;
        const size_t digits = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == digits || at - digits > 10) return false;
        values[i] = std::stoi(text.substr(start, at - start));
    }
    return at == text.size();
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
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);

    const auto start = Clock::now();
    const pid_t pid = startProgram(name, "sim:2.0");
    ASSERT_GT(pid, 0);

    // Each report is one write of " %d %d %d %d", read as it arrives.
    std::vector<Report> reports;
    std::string pending;
    while (reports.size() < 4 && Clock::now() - start < std::chrono::seconds(15)) {
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) continue;
        const double at = std::chrono::duration<double>(Clock::now() - start).count();
        const std::string chunk(buffer, size_t(n));
        int v[4];
        ASSERT_TRUE(parseReport(chunk, v)) << "'" << chunk << "'";
        reports.push_back({v[0], v[1], v[2], v[3], at});
    }
    ASSERT_GE(reports.size(), 3u);

    // Disparity that 2.0 m gives: baseline * focal length in pixels / 2.0.
    const double focal = 160.0 / std::tan(0.262);
    const double expected = 0.14 * focal / 2.0;
    for (size_t i = 1; i < reports.size(); ++i) {  // the first may average a partial second
        const Report& r = reports[i];
        EXPECT_NEAR(r.x0 - r.x1, expected, 1.0) << i;
        EXPECT_NEAR(r.y0, r.y1, 1) << i;
        const double gap = r.seconds - reports[i - 1].seconds;
        EXPECT_GT(gap, 0.6);
        EXPECT_LT(gap, 1.4);
    }

    const auto stopAt = Clock::now();
    kill(pid, SIGTERM);
    const int status = waitFor(pid, 2.0);
    const double stopSeconds = std::chrono::duration<double>(Clock::now() - stopAt).count();
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    ASSERT_NE(status, -1) << "still running after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(stopSeconds, 1.0);
    close(master);
    close(slave);
}

}  // namespace
