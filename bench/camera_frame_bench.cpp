// Camera frame conversion speed: one 1280x720 frame from a webcam, as YUYV
// and as MJPEG (4:2:2, as UVC webcams send it), to the bottom-up BGR rows the
// capture windows hand over. A grab converts one such frame per camera and
// tick, so two cameras at 25 ticks a second cost 50 times this a second.
#include <benchmark/benchmark.h>

#include <linux/videodev2.h>
#include <vector>

#include "platform/avicap32/linux/v4l2_camera.h"
#include "platform/avicap32/stereo_rig.h"
#include "tests/support/jpeg_frame.h"

namespace {

constexpr int kWidth = 1280, kHeight = 720;

// A frame of the simulated rig, top row first, in RGB.
std::vector<uint8_t> sceneRgb() {
    std::vector<uint8_t> bgrBottomUp(size_t(kWidth) * 3 * kHeight), rgb(bgrBottomUp.size());
    standin::renderStereoRigFrame(0, 1.0, 2.0, kWidth, kHeight, bgrBottomUp.data());
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(size_t(y) * kWidth + x) * 3 + c] = bgrBottomUp[(size_t(kHeight - 1 - y) * kWidth + x) * 3 + 2 - c];
    return rgb;
}

std::vector<uint8_t> yuyvFrame() {
    const std::vector<uint8_t> rgb = sceneRgb();
    std::vector<uint8_t> yuyv(size_t(kWidth) * 2 * kHeight);
    for (size_t p = 0; p < size_t(kWidth) * kHeight; p += 2) {
        int u = 0, v = 0;
        for (size_t k = 0; k < 2; ++k) {
            const int r = rgb[(p + k) * 3], g = rgb[(p + k) * 3 + 1], b = rgb[(p + k) * 3 + 2];
            yuyv[(p + k) * 2] = uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
            u += ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
            v += ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
        }
        yuyv[p * 2 + 1] = uint8_t(u / 2);
        yuyv[p * 2 + 3] = uint8_t(v / 2);
    }
    return yuyv;
}

std::vector<uint8_t> mjpegFrame() {
    const std::vector<uint8_t> rgb = sceneRgb();
    return testsupport::encodeJpeg(rgb.data(), kWidth, kHeight, 85, testsupport::JpegChroma::Yuv422);
}

void convert(benchmark::State& state, uint32_t fourcc, const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> bgr(size_t(kWidth) * 3 * kHeight), scratch;
    const size_t bytesPerLine = fourcc == V4L2_PIX_FMT_YUYV ? size_t(kWidth) * 2 : 0;
    for (auto _ : state) {
        const bool ok = standin::convertCameraFrame(fourcc, frame.data(), frame.size(), kWidth, kHeight, bytesPerLine,
                                                    kWidth, bgr.data(), scratch);
        if (!ok) state.SkipWithError("frame refused");
        benchmark::DoNotOptimize(bgr.data());
    }
}

void BM_ConvertYuyv1280x720(benchmark::State& state) {
    static const std::vector<uint8_t> frame = yuyvFrame();
    convert(state, V4L2_PIX_FMT_YUYV, frame);
}
BENCHMARK(BM_ConvertYuyv1280x720)->Unit(benchmark::kMicrosecond);

void BM_ConvertMjpeg1280x720(benchmark::State& state) {
    static const std::vector<uint8_t> frame = mjpegFrame();
    convert(state, V4L2_PIX_FMT_MJPEG, frame);
}
BENCHMARK(BM_ConvertMjpeg1280x720)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
