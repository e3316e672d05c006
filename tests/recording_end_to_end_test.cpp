// Runs the built program headless with recorded clips for cameras, and with
// the simulated rig while it records both cameras: the clips play at their
// own rate and in step, and a recording replays to the reports it gave live,
// survives a killed program, and stops cleanly on a full disk.
#include <gtest/gtest.h>

#include "tests/support/fake_camera_run.h"
#include "tests/support/test_clip.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

// Two recorded clips, played in a loop at their own frame rate: the left
// one at 4 frames a second with the ball at x = 100 for a second, then at
// x = 200 for a second, the right one still. At the clip's own rate the
// one-second averages swing between the two places, and they go on swinging
// after the clip's two seconds have run out.
TEST(RecordedFootage, ClipsPlayInALoopAtTheirOwnRate) {
    char pattern[] = "/tmp/kestrova-clips-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string left = dir + "/left.avi", right = dir + "/right.avi";
    std::vector<test_clip::BallAt> moving(8, test_clip::BallAt{100, 60});
    for (size_t i = 4; i < moving.size(); ++i) moving[i].x = 200;
    ASSERT_TRUE(test_clip::writeBallClip(left, 322, 240, 4, 10, moving));
    ASSERT_TRUE(test_clip::writeBallClip(right, 320, 240, 25, 10, std::vector<test_clip::BallAt>(5, {250, 170})));

    const std::string cameras = "file:" + left + "," + right;
    FakeCameraRun play("", cameras.c_str());
    ASSERT_TRUE(play.started());
    const std::vector<Report> reports = play.reports(7, 15.0);
    ASSERT_GE(reports.size(), 7u) << play.stderrText();
    int lowest = 1000, highest = 0, lowLater = 1000, highLater = 0;
    for (size_t i = 1; i < reports.size(); ++i) {
        const Report& r = reports[i];
        EXPECT_GE(r.x0, 98);
        EXPECT_LE(r.x0, 202);
        EXPECT_NEAR(r.y0, 239 - 60, 2);
        EXPECT_NEAR(r.x1, 250, 2);
        EXPECT_NEAR(r.y1, 239 - 170, 2);
        lowest = std::min(lowest, r.x0), highest = std::max(highest, r.x0);
        if (i >= 3) lowLater = std::min(lowLater, r.x0), highLater = std::max(highLater, r.x0);
    }
    EXPECT_GE(highest - lowest, 40) << "the clip did not play at its own rate";
    EXPECT_GE(highLater - lowLater, 40) << "the clip did not start again";
    const std::string err = play.stderrText();
    EXPECT_NE(err.find("left camera: " + left + ", 322x240 at 4 fps"), std::string::npos) << err;
    (void)!system(("rm -rf '" + dir + "'").c_str());
}

// The same moving clip as both cameras: the two play on one clock from the
// first tick on (which builds its tables between the two grabs) and loop
// together, so every report has both pictures at one place.
TEST(RecordedFootage, PairPlaysInStep) {
    char pattern[] = "/tmp/kestrova-clips-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern, clip = dir + "/moving.avi";
    std::vector<test_clip::BallAt> moving;
    for (int frame = 0; frame < 50; ++frame) moving.push_back({40 + 4 * frame, 120});  // 2 s at 25 fps
    ASSERT_TRUE(test_clip::writeBallClip(clip, 320, 240, 25, 10, moving));

    const std::string cameras = "file:" + clip + "," + clip;
    FakeCameraRun play("", cameras.c_str());
    ASSERT_TRUE(play.started());
    const std::vector<Report> reports = play.reports(5, 15.0);  // twice round the clip
    ASSERT_GE(reports.size(), 5u) << play.stderrText();
    for (const Report& r : reports) {
        EXPECT_NEAR(r.x0, r.x1, 1);
        EXPECT_NEAR(r.y0, r.y1, 1);
    }
    (void)!system(("rm -rf '" + dir + "'").c_str());
}

// A folder of the test's own, removed at the end.
struct TempFolder {
    char pattern[32] = "/tmp/kestrova-recording-XXXXXX";
    const std::string path = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
    ~TempFolder() { (void)!system(("rm -rf '" + path + "'").c_str()); }
};

// What FFmpeg's own tool reads in a recording: its codec and frame rate,
// how many frames it decodes, and the sizes of the frames' chunks.
struct Probe {
    std::string codec, rate;
    long frames = -1, chunkBytes = 0, fileBytes = 0;
};
Probe probe(const std::string& path) {
    Probe p;
    const std::string command = "ffprobe -v quiet -count_frames -select_streams v:0 -show_entries "
                                "stream=codec_name,r_frame_rate,nb_read_frames:packet=size -of default=nw=1 '" +
                                path + "'";
    FILE* out = popen(command.c_str(), "r");
    char text[256];
    while (out != nullptr && std::fgets(text, sizeof text, out) != nullptr) {
        std::string line(text);
        line.erase(line.find_last_not_of("\r\n") + 1);
        const std::string value = line.substr(line.find('=') + 1);
        if (line.rfind("codec_name=", 0) == 0) p.codec = value;
        if (line.rfind("r_frame_rate=", 0) == 0) p.rate = value;
        if (line.rfind("nb_read_frames=", 0) == 0) p.frames = std::atol(value.c_str());
        if (line.rfind("size=", 0) == 0) p.chunkBytes += std::atol(value.c_str());
    }
    if (out != nullptr) pclose(out);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) p.fileBytes = long(st.st_size);
    return p;
}

// The frames and the dropped frames the program said at exit it recorded
// to file.
bool recordedCount(const std::string& err, const std::string& file, long& frames, long& dropped) {
    const size_t at = err.find(file + ": ");
    return at != std::string::npos &&
           std::sscanf(err.c_str() + at + file.size(), ": %ld frames (%*f s) recorded, %ld dropped", &frames,
                       &dropped) == 2;
}

// The moving simulated rig recorded while it is tracked, then replayed from
// the files: every report within a pixel of the live run's for the same
// second. FFmpeg's own tool reads the files as MJPEG at 25 frames a second,
// each with the frames the program said it wrote: 25 for every second it
// ran, as a dropped frame's place is kept.
TEST(Recording, ReplayGivesTheLiveReports) {
    TempFolder dir;
    const std::string prefix = dir.path + "/run";
    FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + prefix});
    const std::vector<Report> seen = live.reports(10, 30.0);
    ASSERT_EQ(seen.size(), 10u) << live.stderrText();
    live.expectSteadyReports();
    ASSERT_EQ(live.stop(), 0);
    const std::string err = live.stderrText();
    EXPECT_NE(err.find("Recording to " + prefix + "-left.avi and " + prefix + "-right.avi"), std::string::npos) << err;
    for (const char* side : {"left", "right"}) {
        const std::string file = prefix + "-" + side + ".avi";
        long frames = -1, dropped = -1;
        ASSERT_TRUE(recordedCount(err, file, frames, dropped)) << err;
        const Probe p = probe(file);
        EXPECT_EQ(p.codec, "mjpeg");
        EXPECT_EQ(p.rate, "25/1");
        EXPECT_EQ(p.frames, frames);
        EXPECT_GE(frames, 25 * 9) << "ten reports: ten seconds of ticks";
        EXPECT_LE(frames, 25 * 13);
        EXPECT_LE(dropped, frames / 10) << side;
    }

    const std::string cameras = "file:" + prefix + "-left.avi," + prefix + "-right.avi";
    FakeCameraRun replay("", cameras.c_str());
    const std::vector<Report> again = replay.reports(10, 30.0);
    ASSERT_EQ(again.size(), 10u) << replay.stderrText();
    // The first tick makes the colour table, which takes a few hundred
    // milliseconds (more under the sanitizers) and a different number of
    // ticks with it in every run, live runs alike: the first second averages
    // different ticks, and so does the second when that held the first
    // report up.
    const size_t startUp = std::max(seen[0].seconds, again[0].seconds) > 1.3 ? 2 : 1;
    for (size_t i = 0; i < again.size(); ++i) {
        const int within = i < startUp ? 10 : 1;
        EXPECT_NEAR(again[i].x0, seen[i].x0, within) << "second " << i + 1;
        EXPECT_NEAR(again[i].y0, seen[i].y0, within) << "second " << i + 1;
        EXPECT_NEAR(again[i].x1, seen[i].x1, within) << "second " << i + 1;
        EXPECT_NEAR(again[i].y1, seen[i].y1, within) << "second " << i + 1;
    }
}

// Killed while it records: the files play up to about the last second.
TEST(Recording, KilledProgramLeavesFilesThatPlay) {
    TempFolder dir;
    const std::string prefix = dir.path + "/run";
    FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + prefix});
    ASSERT_EQ(live.reports(4, 30.0).size(), 4u) << live.stderrText();
    live.stop(SIGKILL);
    for (const char* side : {"left", "right"}) {
        const Probe p = probe(prefix + "-" + side + ".avi");
        EXPECT_EQ(p.codec, "mjpeg") << side;
        EXPECT_GE(p.frames, 25 * 3) << side << ": four reports came, so four seconds were recorded";
    }
}

// The recording's folder on a small filesystem that fills up (a 1 MB tmpfs,
// in a mount namespace of the test's own): one message, the reports go on,
// and what was written plays (all but the frame the disk cut short).
TEST(Recording, FullDiskStopsTheRecordingAndTrackingGoesOn) {
    TempFolder dir;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "no filesystem of the test's own can be made here: " << std::strerror(errno);
    const std::string prefix = dir.path + "/run";
    {
        FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + prefix});
        ASSERT_EQ(live.reports(6, 30.0).size(), 6u) << live.stderrText();
        live.expectSteadyReports();
        EXPECT_EQ(live.stop(), 0);
        const std::string err = live.stderrText();
        EXPECT_EQ(countOf(err, "Recording stopped: "), 1u) << err;
        EXPECT_NE(err.find(": No space left on device. Tracking goes on."), std::string::npos) << err;
        for (const char* side : {"left", "right"}) {
            const Probe p = probe(prefix + "-" + side + ".avi");
            EXPECT_EQ(p.codec, "mjpeg") << side;
            EXPECT_GE(p.frames, 10) << side;
            EXPECT_GE(p.chunkBytes, p.fileBytes - 64 * 1024) << side;
        }
    }
    umount2(dir.path.c_str(), MNT_DETACH);
}

// Names already taken get a number, for both files of the pair, and what
// was there stays; a folder that is not there stops the recording with one
// message, and tracking goes on.
TEST(Recording, TakenNamesAndAMissingFolder) {
    TempFolder dir;
    const std::string prefix = dir.path + "/run";
    std::ofstream(prefix + "-right.avi") << "kept";
    {
        FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + prefix});
        ASSERT_EQ(live.reports(2, 30.0).size(), 2u) << live.stderrText();
        EXPECT_EQ(live.stop(), 0);
        EXPECT_NE(live.stderrText().find("Recording to " + prefix + "-2-left.avi and " + prefix + "-2-right.avi"),
                  std::string::npos)
            << live.stderrText();
        EXPECT_EQ(probe(prefix + "-2-right.avi").codec, "mjpeg");
        std::ifstream kept(prefix + "-right.avi");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()), "kept");
    }
    FakeCameraRun live("", "sim", {"KESTROVA_RECORD=" + dir.path + "/missing/run"});
    ASSERT_EQ(live.reports(3, 30.0).size(), 3u) << live.stderrText();
    EXPECT_EQ(live.stop(), 0);
    const std::string err = live.stderrText();
    EXPECT_EQ(countOf(err, "Recording stopped: "), 1u) << err;
    EXPECT_NE(err.find("Recording stopped: cannot create " + dir.path +
                       "/missing/run-left.avi: No such file or directory. Tracking goes on."),
              std::string::npos)
        << err;
}

}  // namespace
