// Recording under Wine: the moving simulated rig recorded by kestrova.exe
// (JPEG frames from the Windows Imaging Component in an AVI file of the
// program's own), then replayed by kestrova.exe through Media Foundation.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/wine/wine_checks.h"

namespace wine_checks {

namespace {

// Every second the same to a pixel but the first: there the program makes
// its colour table (and under Wine loads what it needs) before the ticks
// run at their pace, which takes a different time in every run, live runs
// alike, so the first second averages different ticks.
void expectSameReports(const char* check, const std::vector<Report>& live, const std::vector<Report>& replay) {
    if (live.size() < 8 || replay.size() < live.size()) {
        fail(std::string(check) + ": only " + std::to_string(live.size()) + " live and " +
             std::to_string(replay.size()) + " replayed reports");
        return;
    }
    for (size_t i = 0; i < live.size(); ++i) {
        const Report& a = live[i];
        const Report& b = replay[i];
        std::printf("%s: second %zu: live %d %d %d %d, replayed %d %d %d %d\n", check, i + 1, a.x0, a.y0, a.x1,
                    a.y1, b.x0, b.y0, b.x1, b.y1);
        const int within = i == 0 ? 10 : 1;
        if (std::abs(a.x0 - b.x0) > within || std::abs(a.y0 - b.y0) > within || std::abs(a.x1 - b.x1) > within ||
            std::abs(a.y1 - b.y1) > within)
            fail(std::string(check) + ": second " + std::to_string(i + 1) + " differs");
    }
}

// A folder that is not there: one message box says so, and meanwhile the
// reports go on.
void checkRecordingToMissingFolder() {
    const char* check = "recording to a missing folder";
    const std::string prefix = workDir + "/missing/run";
    const pid_t pid = startKestrova("sim", kestrova, {"KESTROVA_RECORD=Z:" + prefix});
    if (readReports(2, 60).size() < 2) fail(std::string(check) + ": the program did not run on");
    std::string text;
    if (!output({wine, probe, "warning", "Kestrova"}, 40, text)) text = "none\n";
    std::printf("%s: message box: %s", check, text.c_str());
    const std::string expected = "Recording stopped: cannot create Z:" + prefix + "-left.avi: No such file or directory.";
    if (text != expected + " Tracking goes on.\n")
        fail(std::string(check) + ": not the message");
    closeAndCheckExit(pid, check);
}

}  // namespace

void checkRecording() {
    const char* check = "recording";
    const std::string dir = workDir + "/recording";
    if (system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()) != 0) return fail("cannot make " + dir);
    const std::string prefix = dir + "/run", left = prefix + "-left.avi", right = prefix + "-right.avi";
    const int err = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = startKestrova("sim", kestrova, {"KESTROVA_RECORD=Z:" + prefix}, err);
    close(err);
    const std::vector<Report> live = readReports(10, 90);
    closeAndCheckExit(pid, check);
    // FFmpeg's own tool reads them: MJPEG, 25 frames a second, about ten
    // seconds of frames.
    for (const std::string& file : {left, right}) {
        std::string probed;
        output({"/usr/bin/ffprobe", "-v", "quiet", "-count_frames", "-select_streams", "v:0", "-show_entries",
                "stream=codec_name,r_frame_rate,nb_read_frames", "-of", "csv=p=0", file},
               60, probed);
        std::printf("%s: %s: %s", check, file.c_str(), probed.c_str());
        char codec[16] = "";
        int frames = 0;
        if (std::sscanf(probed.c_str(), "%15[a-z],25/1,%d", codec, &frames) != 2 || std::string(codec) != "mjpeg" ||
            frames < 25 * 9)
            fail(std::string(check) + ": " + file + " is not ten seconds of MJPEG at 25 frames a second");
    }
    const std::string cameras = "file:Z:" + left + ",Z:" + right;
    pid = startKestrova(cameras.c_str());
    expectSameReports(check, live, readReports(live.size(), 90));
    closeAndCheckExit(pid, check);
    checkRecordingToMissingFolder();
}

}  // namespace wine_checks
