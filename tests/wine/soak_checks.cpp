// kestrova.exe under Wine, its DirectShow reading two fake webcams, for a
// long while with faults, as scripts/soak.sh --faults does on Linux: each
// camera unplugged for 2 s every minute (the left at 10 s past the minute,
// the right at 40 s), the right camera stalled for 3 s every three minutes
// (from 85 s), the serial line held for 5 s every ten minutes (from 60 s).
// Checked: a report every second except while the line is held, each the
// balls' true places except within 3 s of a replug (a stall longer than 2 s
// counts as one for DirectShow), the process's memory,
// threads and open files no higher at the end than after the start, and a
// clean exit. Run by run_wine_checks.sh when KESTROVA_WINE_SOAK gives the
// seconds; not part of ./test.sh.
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/wine/wine_checks.h"

namespace wine_checks {

namespace {

struct Sample {
    long rssKb = -1, threads = -1, files = -1;
};

Sample sample(pid_t pid) {
    Sample s;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atol(line.c_str() + 8);
    }
    const std::string count = "ls /proc/" + std::to_string(pid) + "/fd 2>/dev/null | wc -l";
    if (FILE* ls = popen(count.c_str(), "r")) {
        if (std::fscanf(ls, "%ld", &s.files) != 1) s.files = -1;
        pclose(ls);
    }
    return s;
}

// The faults of second t: each changes a ball's state or the line.
void faultsAt(int t, int slave, double& excusedUntil, double& heldUntil) {
    const int minute = t % 60;
    if (minute == 10) setBall(0, 200, 150, "unplug");
    if (minute == 40) setBall(1, 440, 150, "unplug");
    if (minute == 12) setBall(0, 200, 150);
    if (minute == 42) setBall(1, 440, 150);
    if (minute == 10 || minute == 40) excusedUntil = t + 2 + 4.0;  // back, and 3 s to follow, and a report's second
    // DirectShow counts a camera without frames for 2 s as lost, so the
    // stall is a replug there.
    if (t % 180 == 85) setBall(1, 440, 150, "pause");
    if (t % 180 == 85) excusedUntil = t + 3 + 4.0;
    if (t % 180 == 88) setBall(1, 440, 150);
    if (t % 600 == 60) tcflow(slave, TCOOFF);
    if (t % 600 == 65) tcflow(slave, TCOON);
    if (t % 600 == 60) heldUntil = t + 5 + 2.0;
}

}  // namespace

void soakWithFaults(int seconds, int slave) {
    const char* check = "soak with faults";
    setBall(0, 200, 150);
    setBall(1, 440, 150);
    const pid_t pid = startWithWebcams("path=/dev/video0,formats=yuyv,sizes=640x480,control=@/ball0;"
                                       "path=/dev/video1,formats=yuyv,sizes=640x480,control=@/ball1",
                                       nullptr);
    if (readReports(3, 60).size() < 3) fail(std::string(check) + ": no reports");
    const Sample first = sample(pid);
    const Clock::time_point start = Clock::now();
    double excusedUntil = -1, heldUntil = -1, lastReport = 0, longestGap = 0;
    int reports = 0, wrong = 0, lastSecond = -1;
    for (double now = 0; now < seconds; now = std::chrono::duration<double>(Clock::now() - start).count()) {
        for (; lastSecond < int(now); ++lastSecond) faultsAt(lastSecond + 1, slave, excusedUntil, heldUntil);
        const std::vector<Report> got = readReports(1, 0.2);
        if (got.empty()) continue;
        const double at = std::chrono::duration<double>(Clock::now() - start).count();
        if (at > heldUntil && at - lastReport > longestGap) longestGap = at - lastReport;
        lastReport = at;
        ++reports;
        const Report& r = got[0];
        if (at > excusedUntil && (std::abs(r.x0 - 200) > 2 || std::abs(r.y0 - 329) > 2 ||
                                    std::abs(r.x1 - 440) > 2 || std::abs(r.y1 - 329) > 2)) {
            std::printf("%s: at %.1f s: %d %d %d %d\n", check, at, r.x0, r.y0, r.x1, r.y1);
            ++wrong;
        }
    }
    tcflow(slave, TCOON);
    setBall(0, 200, 150);
    setBall(1, 440, 150);
    readReports(5, 10);  // both cameras back before the last look
    const Sample last = sample(pid);
    std::printf("%s: %d s, %d reports, %d replugs, longest gap %.2f s outside holds of the line, %d reports off\n",
                check, seconds, reports, 2 * (seconds / 60), longestGap, wrong);
    std::printf("%s: memory %ld kB after the start, %ld kB at the end; threads %ld, %ld; open files %ld, %ld\n", check,
                first.rssKb, last.rssKb, first.threads, last.threads, first.files, last.files);
    if (longestGap > 2.0) fail(std::string(check) + ": a gap between reports");
    if (wrong > 0) fail(std::string(check) + ": reports off the balls' places");
    if (last.rssKb - first.rssKb > 8192 || last.threads > first.threads || last.files > first.files)
        fail(std::string(check) + ": memory, threads or files grew");
    closeAndCheckExit(pid, check);
}

}  // namespace wine_checks
