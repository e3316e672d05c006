// A run of the built program, headless, with fake V4L2 webcams preloaded
// into it (tests/fake_v4l2) and COM1 on a pseudo-terminal: the end-to-end
// tests start it, move the balls, read its reports and what it said.
// Header only: the test that includes it defines KESTROVA_BINARY and
// FAKE_V4L2_LIBRARY.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/pseudo_terminal.h"

namespace testsupport {

using Clock = std::chrono::steady_clock;

struct Report {
    int x0, y0, x1, y1;
    double seconds;  // arrival since the program started
};

// Reads the reports " %d %d %d %d" in what one read gave: normally one,
// more if the test was held up. False for anything else.
inline bool parseReports(const std::string& text, std::vector<std::vector<int>>& reports) {
    std::istringstream in(text);
    std::vector<int> values;
    while (in.peek() != std::char_traits<char>::eof()) {
        int v = 0;
        if (in.get() != ' ' || !(in >> v)) return false;
        values.push_back(v);
    }
    if (values.empty() || values.size() % 4 != 0) return false;
    for (size_t i = 0; i < values.size(); i += 4) reports.emplace_back(values.begin() + long(i), values.begin() + long(i) + 4);
    return true;
}

// The sanitizers' runtime answers stat() itself, past any preloaded
// library, so in a sanitized build the program cannot see the fake cameras:
// those cases run against the plain build only. (The frame conversion runs
// under the sanitizers in its fuzzer.)
#ifdef KESTROVA_SANITIZED_BUILD
#define SKIP_WHEN_SANITIZED() GTEST_SKIP() << "fake cameras cannot be preloaded into a sanitized program"
#else
#define SKIP_WHEN_SANITIZED() (void)0
#endif

class FakeCameraRun {
public:
    // cameras: FAKE_V4L2_CAMERAS, with @ standing for this run's folder;
    // kestrovaCameras: KESTROVA_CAMERAS, or null to leave it unset; env:
    // more variables, "NAME=value".
    FakeCameraRun(const std::string& cameras, const char* kestrovaCameras, const std::vector<std::string>& env = {}) {
        char pattern[] = "/tmp/kestrova-cameras-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::string fakeCameras = cameras;
        for (size_t at = fakeCameras.find('@'); at != std::string::npos; at = fakeCameras.find('@', at))
            fakeCameras.replace(at, 1, dir_);
        if (!line_.ok()) return;
        start_ = Clock::now();
        pid_ = fork();
        if (pid_ == 0) {
            close(line_.master);  // the far end stays with the test
            setenv("KESTROVA_COM1", line_.path.c_str(), 1);
            if (kestrovaCameras != nullptr) {
                setenv("KESTROVA_CAMERAS", kestrovaCameras, 1);
            } else {
                unsetenv("KESTROVA_CAMERAS");
            }
            if (!fakeCameras.empty()) {
                setenv("FAKE_V4L2_CAMERAS", fakeCameras.c_str(), 1);
                setenv("LD_PRELOAD", FAKE_V4L2_LIBRARY, 1);
            }
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            const int err = ::open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            execl(KESTROVA_BINARY, KESTROVA_BINARY, static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    ~FakeCameraRun() {
        stop();
        if (!dir_.empty()) (void)!system(("rm -rf '" + dir_ + "'").c_str());
    }

    bool started() const { return pid_ > 0; }

    // Sets ball camera (0 or 1) at (x, y) from the top left, with "pause" or
    // "unplug" after it when given.
    void setBall(int camera, int x, int y, const char* state = "") {
        const std::string path = dir_ + "/ball" + std::to_string(camera);
        std::ofstream(path + ".new") << x << " " << y << " " << state << "\n";
        rename((path + ".new").c_str(), path.c_str());
    }

    // Reads reports until count have come or the time is up.
    std::vector<Report> reports(size_t count, double seconds) {
        std::vector<Report> got;
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (got.size() < count && Clock::now() < until) {
            const std::string chunk = line_.readChunk(std::chrono::milliseconds(100));
            if (chunk.empty()) continue;
            std::vector<std::vector<int>> parsed;
            EXPECT_TRUE(parseReports(chunk, parsed)) << "'" << chunk << "'";
            const double at = std::chrono::duration<double>(Clock::now() - start_).count();
            for (const std::vector<int>& v : parsed) got.push_back({v[0], v[1], v[2], v[3], at});
            std::printf("at %.2f s:%s\n", at, chunk.c_str());
        }
        all_.insert(all_.end(), got.begin(), got.end());
        return got;
    }

    // The reports so far came once a second: none held up for long, and no
    // more of them than seconds passed. (A busy machine may delay any one
    // report; the next then comes early, on the timer's beat.)
    void expectSteadyReports() const {
        for (size_t i = 1; i < all_.size(); ++i)
            EXPECT_LT(all_[i].seconds - all_[i - 1].seconds, 2.0) << "report " << i;
        if (!all_.empty()) {
            EXPECT_LE(double(all_.size() - 1), all_.back().seconds - all_.front().seconds + 1.5) << "reports piled up";
        }
    }

    // Ends the program with SIGTERM (or signal); its exit status (-1 if it
    // hung).
    int stop(int signal = SIGTERM) {
        if (pid_ <= 0) return status_;
        kill(pid_, signal);
        const auto until = Clock::now() + std::chrono::seconds(3);
        int status = 0;
        status_ = -1;
        while (Clock::now() < until) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                break;
            }
            usleep(10 * 1000);
        }
        if (status_ == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        return status_;
    }

    std::string file(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string stderrText() const { return file("stderr"); }

private:
    std::string dir_;
    PseudoTerminal line_;
    pid_t pid_ = -1;
    int status_ = -1;
    Clock::time_point start_;
    std::vector<Report> all_;
};

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

#define EXPECT_REPORT(r, ex0, ey0, ex1, ey1)              \
    do {                                                  \
        EXPECT_NEAR((r).x0, (ex0), 2) << "at " << (r).seconds; \
        EXPECT_NEAR((r).y0, (ey0), 2) << "at " << (r).seconds; \
        EXPECT_NEAR((r).x1, (ex1), 2) << "at " << (r).seconds; \
        EXPECT_NEAR((r).y1, (ey1), 2) << "at " << (r).seconds; \
    } while (0)

}  // namespace testsupport
