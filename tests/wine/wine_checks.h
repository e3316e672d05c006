// What the checks of kestrova.exe under Wine share (wine_checks.cpp): the
// programs, the pseudo-terminal that is COM1, and running and reading them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace winechecks {

using Clock = std::chrono::steady_clock;

extern std::string wine, wineServer, prefix, kestrova, probe, workDir, ptyName;
extern int ptyMaster, ptySlave;  // COM1's far end, and its near end held open

struct Report {
    int x0, y0, x1, y1;
};

void fail(const std::string& what);
// Starts a program with environment changes ("NAME=value", or "NAME" to
// remove it); its standard output goes to outFd when >= 0.
pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd = -1);
// Waits up to the timeout; the status, or -1 after killing it.
int finish(pid_t pid, double seconds);
// kestrova.exe with KESTROVA_CAMERAS set (or unset for null).
pid_t startKestrova(const char* cameras);
std::vector<Report> readReports(size_t count, double seconds);
void closeAndCheckExit(pid_t pid, const char* check);

void checkHeldLine();  // held_line_check.cpp

}  // namespace winechecks
