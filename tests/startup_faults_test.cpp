// Start-up with parts of the machine missing: no display, no usable font,
// no cameras, no serial port, each alone and all together. Each run is the
// whole program (wWinMain) in a child process of its own, ended by SIGTERM
// as a user would close it, once it has sent two reports (or after a few
// seconds when it cannot send any).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/main_window.h"
#include "measurement/distance.h"
#include "platform/linux/stand_in.h"
#include "tests/support/pseudo_terminal.h"
#include "tracking/camera_slot.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A run ends this long after its second report, or after kNoReportsMs when
// no report comes (the port is missing). kMarkMs before the end, the child
// gets SIGUSR1, which marks the left slot's latest point; a tick after it
// overwrites the mark. A child that has not ended kHangMs after SIGTERM is
// taken to hang. All generous: the machine may be busy.
constexpr int kAfterReportsMs = 1000;
constexpr int kNoReportsMs = 6000;
constexpr int kMarkMs = 900;
constexpr int kHangMs = 10000;
constexpr ImagePoint kMark{-7, -7};

// Not a point any tick can find, so still there at the end only when no tick
// ran after the mark. The report cycle leaves latest points alone.
void markLatestPoint(int) { cameraSlots[0].latestPoint = kMark; }

struct Shown {
    bool ownedByMainWindow;
    unsigned type;
    std::string caption, text;
};

// What a run left behind.
struct Outcome {
    bool finished = false;   // the child ended by itself after SIGTERM
    double seconds = 0.0;    // from SIGTERM to the child's end
    int exitCode = -1;       // wWinMain's result
    std::vector<Shown> messages;
    bool tickedAfterMark = false;  // a tick ran in the last kMarkMs before SIGTERM
    int widths[2] = {-1, -1};
    float distance = 0.0f;
    std::string reports;     // what reached COM1's far end
    std::string errors;      // what it wrote to standard error
};

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Runs the program with the environment changed as given (a null value
// unsets the variable) on top of: headless, the simulated rig with the ball
// still at 2 m, COM1 on a pseudo-terminal made here.
Outcome runProgram(const std::vector<std::pair<const char*, const char*>>& environment) {
    Outcome outcome;
    PseudoTerminal line;
    int results[2], errors[2];
    if (!line.ok() || pipe(results) != 0 || pipe(errors) != 0) return outcome;

    std::fflush(nullptr);
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        close(results[0]);
        close(errors[0]);
        dup2(errors[1], STDERR_FILENO);
        close(line.master);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("SDL_VIDEODRIVER");
        setenv("KESTROVA_CAMERAS", "sim:2.0", 1);
        setenv("KESTROVA_COM1", line.path.c_str(), 1);
        for (const auto& [variable, value] : environment) {
            if (value != nullptr) setenv(variable, value, 1);
            else unsetenv(variable);
        }
        signal(SIGUSR1, markLatestPoint);
        wchar_t commandLine[] = L"";
        const int code = wWinMain(nullptr, nullptr, commandLine, SW_SHOWDEFAULT);
        std::ostringstream out;
        const ImagePoint latest = cameraSlots[0].latestPoint;
        const bool ticked = latest.x != kMark.x || latest.y != kMark.y;
        out << "exit " << code << "\nticked " << ticked << "\nwidths " << cameraSlots[0].width << " "
            << cameraSlots[1].width << "\ndistance " << estimateDistance() << "\n";
        for (const auto& m : standin::shownMessages()) {
            out << "message " << (m.owner != nullptr && m.owner == mainWindow) << " " << m.type << " "
                << narrow(m.caption) << "|" << narrow(m.text) << "\n";
        }
        const std::string text = out.str();
        if (write(results[1], text.data(), text.size()) != ssize_t(text.size())) _exit(2);
        _exit(0);
    }
    close(results[1]);
    close(errors[1]);

    // Reads the reports as they come, stops the child and waits for it to end.
    int status = 0;
    auto stopAt = start + milliseconds(kNoReportsMs);
    bool marked = false, stopped = false, sawTwoReports = false;
    Clock::time_point stoppedAt;
    while (waitpid(child, &status, WNOHANG) == 0) {
        outcome.reports += line.readChunk(milliseconds(10));
        const auto now = Clock::now();
        if (!sawTwoReports && std::count(outcome.reports.begin(), outcome.reports.end(), ' ') >= 8) {
            sawTwoReports = true;
            stopAt = std::min(stopAt, now + milliseconds(kAfterReportsMs));
        }
        if (!marked && now >= stopAt - milliseconds(kMarkMs)) {
            kill(child, SIGUSR1);
            marked = true;
        }
        if (!stopped && marked && now >= stopAt) {
            kill(child, SIGTERM);
            stopped = true;
            stoppedAt = now;
        }
        if (stopped && now - stoppedAt > milliseconds(kHangMs)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            break;
        }
    }
    if (stopped) outcome.seconds = std::chrono::duration<double>(Clock::now() - stoppedAt).count();
    outcome.finished = stopped && WIFEXITED(status) && WEXITSTATUS(status) == 0;

    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(results[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    close(results[0]);
    for (ssize_t n; (n = read(errors[0], buffer, sizeof buffer)) > 0;) outcome.errors.append(buffer, size_t(n));
    close(errors[0]);
    std::istringstream in(text);
    for (std::string key; in >> key;) {
        if (key == "exit") in >> outcome.exitCode;
        else if (key == "ticked") in >> outcome.tickedAfterMark;
        else if (key == "widths") in >> outcome.widths[0] >> outcome.widths[1];
        else if (key == "distance") in >> outcome.distance;
        else if (key == "message") {
            Shown shown;
            std::string rest;
            in >> shown.ownedByMainWindow >> shown.type;
            in.get();
            std::getline(in, rest);
            shown.caption = rest.substr(0, rest.find('|'));
            shown.text = rest.substr(rest.find('|') + 1);
            outcome.messages.push_back(shown);
        }
    }
    outcome.reports += line.readUntilQuiet(milliseconds(50));
    return outcome;
}

// Ran, kept ticking to the end, and closed on SIGTERM with exit code 0.
void expectRanAndClosed(const Outcome& o, const char* what) {
    EXPECT_TRUE(o.finished) << what << ": did not end by itself after SIGTERM, or ended before it";
    EXPECT_EQ(o.exitCode, 0) << what;
    EXPECT_TRUE(o.tickedAfterMark) << what << ": the ticks stopped";
}

// The reports that reached COM1: two or more, four numbers each.
std::vector<std::vector<int>> reportsOf(const Outcome& o) {
    std::vector<std::vector<int>> reports;
    std::istringstream in(o.reports);
    std::vector<int> numbers;
    for (int n; in >> n;) numbers.push_back(n);
    for (size_t k = 0; k + 4 <= numbers.size(); k += 4)
        reports.push_back({numbers[k], numbers[k + 1], numbers[k + 2], numbers[k + 3]});
    EXPECT_EQ(numbers.size() % 4, 0u) << o.reports;
    return reports;
}

void expectTwoMetres(const Outcome& o, const char* what) {
    EXPECT_NEAR(o.distance, 2.0, 0.1) << what;
    EXPECT_GE(reportsOf(o).size(), 2u) << what;
}

void expectMessage(const Shown& m, const char* text) {
    EXPECT_EQ(m.text, text);
    EXPECT_TRUE(m.ownedByMainWindow) << text;
}

std::string scratchFile(const std::string& name, const std::string& contents) {
    const std::string path = "/tmp/kestrova-startup-" + std::to_string(getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

TEST(StartupFaults, WithEverythingThereNothingIsShown) {
    const Outcome o = runProgram({});
    expectRanAndClosed(o, "all there");
    EXPECT_TRUE(o.messages.empty());
    expectTwoMetres(o, "all there");
    // The terminal is told where the reports go.
    EXPECT_NE(o.errors.find("COM1: /dev/pts/"), std::string::npos) << o.errors;
    EXPECT_NE(o.errors.find(" at 9600 baud, 8N1\n"), std::string::npos) << o.errors;
}

// A display that does not open, or a video driver that does not exist: the
// program says so in one line and runs headless as if there were no display.
TEST(StartupFaults, NoDisplayRunsHeadless) {
    const std::vector<std::pair<const char*, const char*>> cases[] = {
        {{"DISPLAY", ":93"}},
        {{"WAYLAND_DISPLAY", "kestrova-no-such-display"}},
        {{"SDL_VIDEODRIVER", "kestrova-no-such-driver"}},
    };
    for (const auto& environment : cases) {
        const Outcome o = runProgram(environment);
        const std::string what = std::string(environment[0].first) + "=" + environment[0].second;
        expectRanAndClosed(o, what.c_str());
        EXPECT_TRUE(o.messages.empty()) << what;
        expectTwoMetres(o, what.c_str());
        // One line of ours (the display library may add its own).
        const size_t said = o.errors.find("running headless.\n");
        ASSERT_NE(said, std::string::npos) << what << ": " << o.errors;
        EXPECT_EQ(o.errors.find("running headless", said + 1), std::string::npos) << o.errors;
        const std::string line = o.errors.substr(o.errors.rfind('\n', said) + 1, said - o.errors.rfind('\n', said));
        EXPECT_NE(line.find(environment[0].second), std::string::npos) << what << ": " << o.errors;
    }
}

// No font: a font file that is missing, is no font, or is cut short, or a
// machine where fontconfig knows no font at all. The distance line is not
// drawn; everything else goes on.
TEST(StartupFaults, NoFontLeavesOutTheTextOnly) {
    std::string truncated;
    {
        std::ifstream font("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", std::ios::binary);
        truncated.resize(6000);
        font.read(&truncated[0], std::streamsize(truncated.size()));
        truncated.resize(size_t(font.gcount()));
    }
    const std::string notAFont = scratchFile("not-a-font.ttf", std::string(5000, 'x'));
    const std::string cutShort = scratchFile("cut-short.ttf", truncated);
    const std::string noFonts =
        scratchFile("fonts.conf", "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                                  "<fontconfig><cachedir>/tmp/kestrova-no-fonts-cache</cachedir></fontconfig>\n");
    const std::vector<std::pair<const char*, const char*>> cases[] = {
        {{"KESTROVA_FONT", "/nonexistent/kestrova-font.ttf"}},
        {{"KESTROVA_FONT", notAFont.c_str()}},
        {{"KESTROVA_FONT", cutShort.c_str()}},
        {{"KESTROVA_FONT", nullptr}, {"FONTCONFIG_FILE", noFonts.c_str()}},
    };
    for (const auto& environment : cases) {
        const Outcome o = runProgram(environment);
        const std::string what = std::string(environment.back().first) + "=" + environment.back().second;
        expectRanAndClosed(o, what.c_str());
        EXPECT_TRUE(o.messages.empty()) << what;
        expectTwoMetres(o, what.c_str());
    }
    for (const std::string& path : {notAFont, cutShort, noFonts}) std::remove(path.c_str());
}

// Cameras that cannot be opened: the warning, with the serial port still
// opened and reports of no target going out; one camera missing leaves the
// other one tracking.
TEST(StartupFaults, NoCamerasWarnsAndStillReports) {
    Outcome o = runProgram({{"KESTROVA_CAMERAS", "/nonexistent/video0,/nonexistent/video1"}});
    expectRanAndClosed(o, "no cameras");
    ASSERT_EQ(o.messages.size(), 1u);
    expectMessage(o.messages[0], "Could not initialize capture windows!");
    EXPECT_EQ(o.messages[0].caption, "Error");
    EXPECT_EQ(o.messages[0].type, unsigned(MB_ICONWARNING));
    EXPECT_EQ(o.widths[0], 0);
    EXPECT_EQ(o.widths[1], 0);
    EXPECT_EQ(o.distance, -1.0f);
    const auto reports = reportsOf(o);
    EXPECT_GE(reports.size(), 2u);
    for (const auto& r : reports) EXPECT_EQ(r, (std::vector<int>{0, 0, 0, 0}));

    o = runProgram({{"KESTROVA_CAMERAS", "/nonexistent/video0,sim:2.0"}});
    expectRanAndClosed(o, "one camera");
    ASSERT_EQ(o.messages.size(), 1u);
    expectMessage(o.messages[0], "Could not initialize capture windows!");
    EXPECT_EQ(o.widths[0], 0);
    EXPECT_EQ(o.widths[1], 320);
    const auto one = reportsOf(o);
    ASSERT_GE(one.size(), 2u);
    EXPECT_EQ(one.back()[0], 0);
    EXPECT_EQ(one.back()[1], 0);
    EXPECT_NE(one.back()[2], 0);
    EXPECT_EQ(o.distance, -1.0f);
}

TEST(StartupFaults, NoSerialPortWarnsAndStillTracks) {
    const Outcome o = runProgram({{"KESTROVA_COM1", "/nonexistent/kestrova-port"}});
    expectRanAndClosed(o, "no serial port");
    ASSERT_EQ(o.messages.size(), 1u);
    expectMessage(o.messages[0], "Could not open serial port!");
    EXPECT_NE(o.errors.find("COM1: cannot open /nonexistent/kestrova-port: No such file or directory\n"),
              std::string::npos) << o.errors;
    EXPECT_EQ(o.messages[0].caption, "Kestrova");
    EXPECT_EQ(o.messages[0].type, unsigned(MB_OK));
    EXPECT_NEAR(o.distance, 2.0, 0.1);
    EXPECT_TRUE(o.reports.empty());
}

// COM1 names something that is no serial device: nothing is opened, nothing
// written into it, and standard error says what was named and why.
TEST(StartupFaults, SerialPortThatIsNoTerminalIsNotOpened) {
    const std::string file = scratchFile("port.txt", "hello");
    const std::string fifo = "/tmp/kestrova-startup-" + std::to_string(getpid()) + "-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {file, fifo, std::string("/tmp")}) {
        const Outcome o = runProgram({{"KESTROVA_COM1", path.c_str()}});
        expectRanAndClosed(o, path.c_str());
        ASSERT_EQ(o.messages.size(), 1u) << path;
        expectMessage(o.messages[0], "Could not open serial port!");
        EXPECT_NE(o.errors.find("COM1: cannot open " + path + ": "), std::string::npos) << o.errors;
    }
    std::ifstream kept(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "hello");
    std::remove(file.c_str());
    std::remove(fifo.c_str());
}

TEST(StartupFaults, AllMissingTogetherWarnsInOrderAndKeepsRunning) {
    const Outcome o = runProgram({{"DISPLAY", ":93"},
                                  {"KESTROVA_FONT", "/nonexistent/kestrova-font.ttf"},
                                  {"KESTROVA_CAMERAS", "/nonexistent/video0,/nonexistent/video1"},
                                  {"KESTROVA_COM1", "/nonexistent/kestrova-port"}});
    expectRanAndClosed(o, "all missing");
    ASSERT_EQ(o.messages.size(), 2u);
    expectMessage(o.messages[0], "Could not initialize capture windows!");
    expectMessage(o.messages[1], "Could not open serial port!");
    EXPECT_EQ(o.distance, -1.0f);
    EXPECT_TRUE(o.reports.empty());
}

}  // namespace
