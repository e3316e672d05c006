// Recorded files that a reader could trip on, played by kestrova.exe under
// Wine's Media Foundation: MJPEG whose frames change size half way, and
// frames whose times run far past what a clock holds. Each plays as far as
// it can, or is refused with one line; the program runs on and closes
// cleanly.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/avi_clip.h"
#include "tests/support/jpeg_frame.h"
#include "tests/wine/wine_checks.h"

namespace wine_checks {

namespace {

// A grey picture, with a red square on the left half.
std::vector<uint8_t> picture(int width, int height) {
    std::vector<uint8_t> rgb(size_t(width) * 3 * size_t(height), 160);
    for (int y = height / 3; y < height * 2 / 3; ++y)
        for (int x = width / 8; x < width * 3 / 8; ++x) {
            uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
            p[0] = 230;  // red first: the encoder takes RGB
            p[1] = p[2] = 20;
        }
    return rgb;
}

// The pair plays as far as it can, or the reader refuses it; either way the
// program says what became of the file in one line of its own, runs on and
// ends when its window is closed.
void playsOrIsRefused(const char* check, const std::string& left, const std::string& right,
                      const std::vector<std::string>& lines) {
    const std::string cameras = "file:Z:" + left + ",Z:" + right, errors = workDir + "/hostile.err";
    const int errFd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = startKestrova(cameras.c_str(), kestrova, {}, errFd);
    close(errFd);
    std::vector<Report> reports = readReports(3, 20);
    if (reports.size() < 3) {
        std::string text;
        if (output({wine, probe, "warning"}, 40, text)) std::printf("%s: refused: %s", check, text.c_str());
        reports = readReports(3, 30);
    }
    std::printf("%s: %zu reports\n", check, reports.size());
    if (reports.size() < 3) fail(std::string(check) + ": the program did not run on");
    std::string text;
    if (!output({wine, probe, "close"}, 40, text)) fail(std::string(check) + ": the main window was not found");
    const int status = finish(pid, 10);
    const std::string told = said(errors);
    bool named = false;
    for (const std::string& line : lines) named = named || told.find(line) != std::string::npos;
    std::printf("%s: ended after the close (wait status %d); it said:\n%s", check, status, told.c_str());
    if (!named) fail(std::string(check) + ": no line says what became of the file");
    // Wine's own fault: a process that ends while one of its GStreamer
    // threads is stuck (in a reader the program left going down) may die by
    // SIGSEGV as Wine cuts that thread off. Any other end is the program's.
    const bool leftAReader = told.find("the program ends without waiting for it") != std::string::npos;
    if (status == -1) {
        fail(std::string(check) + ": still running 10 s after its window was closed");
    } else if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0) &&
               !(leftAReader && WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV)) {
        fail(std::string(check) + ": did not end cleanly");
    }
}

}  // namespace

void checkHostileFiles() {
    const std::string resized = workDir + "/resized.avi", far = workDir + "/far_times.avi";
    std::vector<std::vector<uint8_t>> jpegs;
    for (int i = 0; i < 20; ++i) {
        const int w = i < 10 ? 320 : 640, h = i < 10 ? 240 : 480;
        const std::vector<uint8_t> rgb = picture(w, h);
        jpegs.push_back(testsupport::encodeJpeg(rgb.data(), w, h, 85, testsupport::JpegChroma::Yuv420));
    }
    // Frame i at i * 2^31 - 1 seconds: the times overflow from the fifth frame on.
    const std::vector<std::vector<uint8_t>> frames(8, picture(320, 240));  // stored as BGR: the square is blue
    if (!testsupport::writeAviClip(resized, testsupport::AviPixels::Jpeg, 320, 240, 10, jpegs) ||
        !testsupport::writeAviClip(far, testsupport::AviPixels::Bgr24, 320, 240, 1, frames, 0x7FFFFFFF)) {
        fail("cannot write the hostile files");
        return;
    }
    // Media Foundation skips the frames of the other size; Wine's reader
    // stops at the first of them.
    playsOrIsRefused("MJPEG whose frame size changes", resized, resized,
                     {"frames of 640x480 skipped", "has given no frame for 2 s"});
    // Wine's reader may refuse the file, or not finish opening it.
    playsOrIsRefused("times near the largest a clock holds", far, far,
                     {"time is out of range", "cannot be read by Media Foundation", "did not open it within 5 s"});
}

}  // namespace wine_checks
