// What the checks of kestrova.exe under Wine share (wine_checks.cpp runs
// them; webcam_checks.cpp holds the cases with fake webcams).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace wine_checks {

using Clock = std::chrono::steady_clock;

struct Report {
    int x0, y0, x1, y1;
};

extern std::string wine, kestrova, probe, workDir;

void fail(const std::string& what);
// Runs a program for at most seconds; false when it failed. What it printed
// goes to text.
bool output(const std::vector<std::string>& argv, double seconds, std::string& text);
// Starts a program with the given environment changes ("NAME=value", or
// "NAME" to remove it); its standard output goes to outFd and its standard
// error to errFd when >= 0.
pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd = -1,
            int errFd = -1);
// kestrova.exe with KESTROVA_CAMERAS set to cameras (unset for null) and
// COM1 on the test's pseudo-terminal.
pid_t startKestrova(const char* cameras, const std::string& exe, const std::vector<std::string>& more = {},
                    int errFd = -1);
pid_t startKestrova(const char* cameras);
std::vector<Report> readReports(size_t count, double seconds);
void expectReports(const char* check, const std::vector<Report>& reports, double x0, double y0, double x1,
                   double y1, double tolerance);
void closeAndCheckExit(pid_t pid, const char* check);

void checkWebcams();

}  // namespace wine_checks
