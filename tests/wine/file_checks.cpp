// Recorded files that a reader could trip on, played by kestrova.exe under
// Wine's Media Foundation: MJPEG whose frames change size half way, and
// frames whose times run far past what a clock holds. Each plays as far as
// it can, or is refused with one line; the program runs on and closes
// cleanly.
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

// The pair plays as far as it can, or the reader refuses it (said in one
// line, then the capture warning); either way the program runs on and
// closes cleanly.
void playsOrIsRefused(const char* check, const std::string& left, const std::string& right) {
    const std::string cameras = "file:Z:" + left + ",Z:" + right;
    const pid_t pid = startKestrova(cameras.c_str());
    std::vector<Report> reports = readReports(3, 20);
    if (reports.size() < 3) {
        std::string text;
        if (output({wine, probe, "warning"}, 40, text)) std::printf("%s: refused: %s", check, text.c_str());
        reports = readReports(3, 30);
    }
    std::printf("%s: %zu reports\n", check, reports.size());
    if (reports.size() < 3) fail(std::string(check) + ": the program did not run on");
    // Ended, whatever its status: a reader still going down at the exit is
    // cut off, and Wine then sometimes ends the process by a signal.
    std::string text;
    if (!output({wine, probe, "close"}, 40, text)) fail(std::string(check) + ": the main window was not found");
    const int status = finish(pid, 10);
    std::printf("%s: ended after the close (wait status %d)\n", check, status);
    if (status == -1) fail(std::string(check) + ": still running 10 s after its window was closed");
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
    playsOrIsRefused("MJPEG whose frame size changes", resized, resized);
    playsOrIsRefused("times near the largest a clock holds", far, far);
}

}  // namespace wine_checks
