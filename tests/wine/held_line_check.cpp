// Case of the Wine checks: the serial line held by the device while
// kestrova.exe runs (see wine_checks.cpp for how it is run).
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "tests/wine/wine_checks.h"

namespace winechecks {

namespace {

// Every byte from the far end until the time is up or more than `enough` came.
std::string readBytes(double seconds, size_t enough = SIZE_MAX) {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (got.size() <= enough && Clock::now() < deadline) {
        struct pollfd pfd = {ptyMaster, POLLIN, 0};
        char buffer[256];
        const ssize_t n = poll(&pfd, 1, 20) > 0 ? read(ptyMaster, buffer, sizeof buffer) : 0;
        if (n > 0) got.append(buffer, size_t(n));
    }
    return got;
}

// How many whole reports a stream holds; -1 when it holds anything else.
int countReports(const std::string& stream) {
    int numbers = 0;
    for (size_t at = 0; at < stream.size(); ++numbers) {
        if (stream[at++] != ' ') return -1;
        if (at < stream.size() && stream[at] == '-') ++at;
        const size_t digits = at;
        while (at < stream.size() && stream[at] >= '0' && stream[at] <= '9') ++at;
        if (at == digits) return -1;
    }
    return numbers % 4 == 0 ? numbers / 4 : -1;
}
}  // namespace

// The device holds the line for 5 s (tcflow on the pseudo-terminal, as an
// XOFF would) while the probe keeps sending the window messages: one wait of
// about a second at most, reports again soon after, and only whole reports.
void checkHeldLine() {
    const char* check = "held line";
    const pid_t pid = startKestrova("sim:2.0");
    if (readReports(2, 60).size() < 2) fail(std::string(check) + ": no reports before the hold");
    int fds[2];
    if (pipe(fds) != 0) return fail(std::string(check) + ": no pipe");
    const pid_t watcher = start({wine, probe, "responsive", "8000"}, {}, fds[1]);
    close(fds[1]);
    std::string watched;
    char c;
    while (watched.find("measuring") == std::string::npos && read(fds[0], &c, 1) == 1) watched += c;
    tcflow(ptySlave, TCOOFF);
    const std::string held = readBytes(5);
    tcflow(ptySlave, TCOON);
    const auto released = Clock::now();
    std::string first = readBytes(4, 0);
    const long long resumed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - released).count();
    first += readBytes(0.2);
    const std::string stream = held + first + readBytes(2);
    watched.clear();
    while (read(fds[0], &c, 1) == 1) watched += c;
    close(fds[0]);
    finish(watcher, 10);
    long long longest = -1;
    int slow = -1;
    std::sscanf(watched.c_str(), "%lld %d", &longest, &slow);
    std::printf("%s: longest wait %lld ms, %d over 600 ms; reports resumed %lld ms after release; %d whole reports\n",
                check, longest, slow, resumed, countReports(stream));
    if (longest < 0 || longest > 1200 || slow > 1) fail(std::string(check) + ": the window stopped answering");
    if (resumed > 2000) fail(std::string(check) + ": no report within 2 s of the release");
    if (countReports(stream) < 2) fail(std::string(check) + ": not whole reports: '" + stream + "'");
    if (countReports(first) != 1) fail(std::string(check) + ": reports piled up while held: '" + first + "'");
    closeAndCheckExit(pid, check);
}

}  // namespace winechecks
