// What the checks of kestrova.exe under Wine share (wine_checks.cpp runs
// them; webcam_checks.cpp holds the cases with fake webcams, and
// recording_checks.cpp those that record).
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
// What a program wrote to the file at path, without the carriage returns of
// Wine's console.
std::string said(const std::string& path);
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
// Waits up to seconds for the program; its wait status, or -1 after
// killing a program that would not end.
int finish(pid_t pid, double seconds);

// The fake webcams (tests/fake_v4l2) preloaded into Wine: camera's ball at
// (x, y) from the top left, with "pause" or "unplug" after it when given;
// kestrova.exe with FAKE_V4L2_CAMERAS cameras (@ standing for the control
// files' folder), its standard error in that folder.
void setBall(int camera, int x, int y, const char* state = "");
pid_t startWithWebcams(std::string cameras, const char* kestrovaCameras, std::vector<std::string> more = {});

void checkWebcams();
// Two fake webcams for the given seconds, unplugged, stalled and with the
// serial line (slave) held now and then; what scripts/soak.sh --faults does.
void soakWithFaults(int seconds, int slave);
void checkHostileFiles();
void checkRecording();

}  // namespace wine_checks
