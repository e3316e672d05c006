// Recorded footage that is missing, not a video, empty, cut short, not a
// file, in a format outside the list or changing its frame size: a clear
// refusal or frames as far as the file goes, never a crash or a hang.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/avicap32/avi_writer.h"
#include "platform/avicap32/camera_device.h"
#include "tests/support/avi_clip.h"
#include "tests/support/jpeg_frame.h"
#include "platform/avicap32/jpeg_encoder.h"
#include "tests/support/test_clip.h"

namespace {

class Folder {
public:
    Folder() {
        char pattern[] = "/tmp/kestrova-footage-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Folder() { (void)!system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

TEST(RecordedFootage, MissingGarbageAndEmptyFilesAreRefusedByName) {
    Folder dir;
    const std::string garbage = dir.path + "/garbage.avi", empty = dir.path + "/empty.avi";
    const std::string fifo = dir.path + "/fifo.avi", y4m = dir.path + "/clip.y4m";
    std::ofstream(garbage) << std::string(5000, 'x');
    ASSERT_TRUE(test_clip::writeBallClip(empty, 64, 48, 10, 5, {}));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opening it would wait for a writer
    std::ofstream(y4m) << "YUV4MPEG2 W8 H8 F25:1 C420\nFRAME\n" << std::string(96, '\x80');
    const std::pair<std::string, const char*> refused[] = {
        {dir.path + "/missing.avi", "cannot open"}, {garbage, "cannot"},  {empty, "no frame"},
        {fifo, "a FIFO"},  {"http://127.0.0.1:9/clip.avi", "not a local file"}, {y4m, "not a video Kestrova plays"}};
    for (const auto& [path, why] : refused) {
        std::string error;
        EXPECT_EQ(standin::openRecordedFootage(path, nullptr, error), nullptr) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    }
}

// Cut in the middle of its third frame: the two whole frames play, in a loop.
TEST(RecordedFootage, ClipCutShortPlaysWhatItHolds) {
    Folder dir;
    const std::string path = dir.path + "/cut.avi";
    ASSERT_TRUE(test_clip::writeBallClip(path, 64, 48, 20, 6, std::vector<test_clip::BallAt>(4, {20, 30})));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const off_t frameBytes = 64 * 3 * 48;
    ASSERT_EQ(truncate(path.c_str(), st.st_size - frameBytes * 3 / 2 - 4 * 16 - 8), 0);

    std::string error;
    std::unique_ptr<standin::CameraDevice> clip = standin::openRecordedFootage(path, nullptr, error);
    ASSERT_NE(clip, nullptr) << error;
    ASSERT_EQ(clip->width(), 64);
    ASSERT_EQ(clip->height(), 48);
    std::vector<uint8_t> frame(64 * 3 * 48);
    int newFrames = 0;
    for (int i = 0; i < 12; ++i) {  // 0.6 s: six times round the two frames
        const standin::GrabResult result = clip->grab(frame.data());
        ASSERT_NE(result, standin::GrabResult::Lost) << i;
        newFrames += result == standin::GrabResult::NewFrame ? 1 : 0;
        const uint8_t* ball = &frame[(size_t(47 - 30) * 64 + 20) * 3];  // bottom-up rows
        EXPECT_GT(ball[2], 150) << i;
        EXPECT_LT(ball[1], 80) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GE(newFrames, 6);
}

// MJPEG whose frames change size half way: those of the other size are
// skipped, said once, the rest play (and the sanitizers see no write out of
// bounds).
TEST(RecordedFootage, FramesOfAnotherSizeAreSkipped) {
    Folder dir;
    const std::string path = dir.path + "/resized.avi";
    std::vector<std::vector<uint8_t>> jpegs;
    for (int i = 0; i < 8; ++i) {
        const int w = i < 4 ? 64 : 128, h = i < 4 ? 48 : 96;
        std::vector<uint8_t> rgb(size_t(w) * h * 3, 200);
        jpegs.push_back(testsupport::encodeJpeg(rgb.data(), w, h, 85, testsupport::JpegChroma::Yuv420));
    }
    ASSERT_TRUE(testsupport::writeAviClip(path, testsupport::AviPixels::Jpeg, 64, 48, 20, jpegs));
    std::string error;
    std::unique_ptr<standin::CameraDevice> clip = standin::openRecordedFootage(path, nullptr, error);
    ASSERT_NE(clip, nullptr) << error;
    std::vector<uint8_t> frame(64 * 3 * 48);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 12; ++i) {  // round the file more than once
        EXPECT_NE(clip->grab(frame.data()), standin::GrabResult::Lost) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), path + ": frames of 128x96 skipped: the file began at 64x48\n");
    EXPECT_NEAR(frame[0], 200, 8);
}

// A recording in parts (an AVI file's parts are kept under a size: 1 GB in
// use, 16 KiB here) plays whole, every frame in its place, as FFmpeg reads
// it: each frame is a grey of its own, and the greys come back in order.
TEST(RecordedFootage, RecordingInManyPartsPlaysWhole) {
    Folder dir;
    const std::string path = dir.path + "/parts.avi";
    std::string error;
    const std::unique_ptr<standin::JpegEncoder> encoder = standin::makeJpegEncoder(64, 48, error);
    ASSERT_NE(encoder, nullptr) << error;
    standin::AviWriter avi(std::fopen(path.c_str(), "wb"), 64, 48, 25, 16 * 1024);
    ASSERT_TRUE(avi.writeHeader());
    std::vector<uint8_t> frame(64 * 3 * 48), jpeg;
    for (int i = 0; i < 100; ++i) {
        std::fill(frame.begin(), frame.end(), uint8_t(i * 2));
        ASSERT_TRUE(encoder->encode(frame.data(), jpeg, error)) << error;
        ASSERT_TRUE(avi.writeFrame(jpeg));
    }
    ASSERT_TRUE(avi.finish());

    FILE* out = popen(("ffmpeg -v error -i '" + path + "' -s 1x1 -pix_fmt gray -f rawvideo -").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::vector<int> greys;
    for (int c; (c = std::fgetc(out)) != EOF;) greys.push_back(c);
    pclose(out);
    ASSERT_EQ(greys.size(), 100u);
    for (size_t i = 0; i < greys.size(); ++i) EXPECT_NEAR(greys[i], int(i) * 2, 3) << "frame " << i;
}

}  // namespace
