// Frame analysis speed on stereo pairs: intake (acceptFrame into both
// slots) and the tick's analysis (segmentation against the scene's target
// colour at threshold 60, one speck-filter pass, the centroid), beside
//  - the straightforward per-pixel forms of tests/reference_analysis.h,
//  - a plain memcpy of the pair,
//  - OpenCV's usual pipeline (HSV conversion, inRange, a 3x3 opening,
//    moments; one thread), when built with it,
// the tick with the work images read afterwards (as the mask and overlay
// views do), on three scenes: the simulated rig's red ball before a textured wall,
// uniformly random colours, and a mostly red frame; and the ball scene in
// other target colours, each segmented against its own. Timings drift between
// runs on shared machines, so compare only within one run
// (bench/side_by_side.py prints the ratios).
//
// The counter per_pixel is the time per pixel of the pair (2 * width * height).
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <tuple>
#include <vector>

#include "display/camera_view.h"
#include "display/distance_readout.h"
#include "platform/avicap32/stereo_rig.h"
#include "platform/linux/stand_in.h"
#include "tests/reference_analysis.h"
#include "tracking/camera_slot.h"
#include "tracking/colour_levels.h"
#include "tracking/segmentation.h"
#include "tracking/speck_filter.h"

#ifdef KESTROVA_BENCH_OPENCV
#include "bench/opencv_peer.h"
#endif

namespace {

constexpr uint32_t kRed = 0xFF0000;
constexpr int32_t kThreshold = 60;

// The ball scene in another colour comes after the three scenes: scene
// kMostlyRed + 1 + i is the ball in kBallColours[i], segmented against it.
enum Scene { kBall = 0, kRandom = 1, kMostlyRed = 2 };
constexpr uint32_t kBallColours[] = {0xFF8000, 0xFFFF00, 0x00FF00, 0x0000FF, 0xFF00FF};  // orange ... magenta
constexpr int kColourScenes = int(sizeof kBallColours / sizeof kBallColours[0]);

uint32_t sceneReference(int scene) { return scene > kMostlyRed ? kBallColours[scene - kMostlyRed - 1] : kRed; }

struct StereoPair {
    std::vector<uint8_t> frame[2];     // as captured
    std::vector<uint8_t> mask[2];      // segmented at the threshold
    std::vector<uint8_t> filtered[2];  // and after one speck-filter pass
};

// The frames of a scene, made once before any timing.
const StereoPair& stereoPair(int scene, int width, int height) {
    static std::map<std::tuple<int, int, int>, StereoPair> pairs;
    StereoPair& pair = pairs[{scene, width, height}];
    if (pair.frame[0].empty()) {
        for (int camera = 0; camera < 2; ++camera) {
            std::vector<uint8_t>& frame = pair.frame[camera];
            if (scene == kBall || scene > kMostlyRed) {
                // The ball in the scene's colour before the same wall.
                standin::SimulatedRig rig;
                rig.ballColour = sceneReference(scene);
                frame.resize(size_t(width) * 3 * size_t(height));
                standin::renderStereoRigFrame(camera, 1.0, 2.0, width, height, frame.data(), rig);
            } else if (scene == kRandom) {
                frame = reference::randomColourFrame(width, height, uint32_t(10 + camera));
            } else {
                frame = reference::mostlyRedFrame(width, height, uint32_t(20 + camera));
            }
            pair.mask[camera] = frame;
            reference::segmentByColour(pair.mask[camera].data(), width, height, sceneReference(scene), kThreshold);
            pair.filtered[camera] = pair.mask[camera];
            reference::removeSpecks(pair.filtered[camera].data(), width, height, 1);
        }
    }
    return pair;
}

// Gives both camera slots the size; their images come with the first frame.
void prepareSlots(int width, int height) {
    for (int slot = 0; slot < 2; ++slot) {
        resetCameraSlot(slot);
        cameraSlots[slot].width = width;
        cameraSlots[slot].height = height;
    }
    resetTrackerState();
    tracker.threshold = kThreshold;
}

void loadSlots(const std::vector<uint8_t> (&images)[2]) {
    for (int slot = 0; slot < 2; ++slot) acceptFrame(slot, images[slot].data(), uint32_t(images[slot].size()));
}

void analyseSlots(uint32_t reference) {
    for (int slot = 0; slot < 2; ++slot) {
        segmentByColour(slot, reference);
        removeSpecks(slot, 1);
        cameraSlots[slot].latestPoint = findCentroid(slot);
    }
    benchmark::DoNotOptimize(cameraSlots[0].latestPoint);
    benchmark::DoNotOptimize(cameraSlots[1].latestPoint);
}

void setPixelCounter(benchmark::State& state, int width, int height) {
    // Inverted rate: seconds per pixel, shown as e.g. "1.2ns".
    state.counters["per_pixel"] = benchmark::Counter(
        2.0 * width * height, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// --- intake and analysis of a pair ---------------------------------------------

void BM_Tick(benchmark::State& state) {
    const int scene = int(state.range(0)), width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(scene, width, height);
    prepareSlots(width, height);
    loadSlots(pair.frame);
    analyseSlots(sceneReference(scene));  // builds the colour table outside the timing
    for (auto _ : state) {
        loadSlots(pair.frame);
        analyseSlots(sceneReference(scene));
    }
    setPixelCounter(state, width, height);
}

// The literal forms: intake copies each frame into two images, then the
// per-pixel analysis.
void BM_TickLiteral(benchmark::State& state) {
    const int scene = int(state.range(0)), width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(scene, width, height);
    std::vector<uint8_t> work[2] = {pair.frame[0], pair.frame[1]}, raw[2] = {pair.frame[0], pair.frame[1]};
    for (auto _ : state) {
        for (int c = 0; c < 2; ++c) {
            std::memcpy(work[c].data(), pair.frame[c].data(), work[c].size());
            std::memcpy(raw[c].data(), pair.frame[c].data(), raw[c].size());
            reference::segmentByColour(work[c].data(), width, height, kRed, kThreshold);
            reference::removeSpecks(work[c].data(), width, height, 1);
            benchmark::DoNotOptimize(reference::findCentroid(work[c].data(), width, height));
        }
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

// One plain copy of each frame of the pair.
void BM_Memcpy(benchmark::State& state) {
    const int width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(kBall, width, height);
    std::vector<uint8_t> copy[2] = {pair.frame[0], pair.frame[1]};
    for (auto _ : state) {
        for (int c = 0; c < 2; ++c) std::memcpy(copy[c].data(), pair.frame[c].data(), copy[c].size());
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

#ifdef KESTROVA_BENCH_OPENCV
// The same intake, then per frame the peer's way of finding the ball
// (opencv_peer.h).
void BM_TickOpenCV(benchmark::State& state) {
    const int scene = int(state.range(0)), width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(scene, width, height);
    cv::setNumThreads(1);
    std::vector<uint8_t> work[2] = {pair.frame[0], pair.frame[1]}, raw[2] = {pair.frame[0], pair.frame[1]};
    for (auto _ : state) {
        for (int c = 0; c < 2; ++c) {
            std::memcpy(work[c].data(), pair.frame[c].data(), work[c].size());
            std::memcpy(raw[c].data(), pair.frame[c].data(), raw[c].size());
            const cv::Point centre = findBallWithOpenCv(cv::Mat(height, width, CV_8UC3, work[c].data()));
            benchmark::DoNotOptimize(centre);
        }
    }
    setPixelCounter(state, width, height);
}
#endif

// The tick with the colour table and the frames out of every cache and
// the address translations gone, as between ticks 40 ms apart in the
// running program: 64 MiB are walked between the timed ticks.
void BM_TickColdTable(benchmark::State& state) {
    const int scene = int(state.range(0)), width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(scene, width, height);
    prepareSlots(width, height);
    loadSlots(pair.frame);
    analyseSlots(sceneReference(scene));
    static std::vector<uint8_t> sweep(size_t(64) << 20, 1);
    for (auto _ : state) {
        state.PauseTiming();
        uint64_t sum = 0;
        for (size_t i = 0; i < sweep.size(); i += 64) sum += sweep[i]++;
        benchmark::DoNotOptimize(sum);
        state.ResumeTiming();
        loadSlots(pair.frame);
        analyseSlots(sceneReference(scene));
    }
    setPixelCounter(state, width, height);
}

// The tick followed by what the mask and overlay views do first: ask for
// the work images, which writes the background pixels the segmentation
// left to be written.
void BM_TickWorkImageRead(benchmark::State& state) {
    const int scene = int(state.range(0)), width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(scene, width, height);
    prepareSlots(width, height);
    loadSlots(pair.frame);
    analyseSlots(sceneReference(scene));
    for (auto _ : state) {
        loadSlots(pair.frame);
        analyseSlots(sceneReference(scene));
        benchmark::DoNotOptimize(usableWorkImage(0));
        benchmark::DoNotOptimize(usableWorkImage(1));
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

// The whole tick through the program's own path, with the frames already
// rendered: intake, analysis, and the paint of both views and the distance
// line into an offscreen device context the size of the window.
void BM_WholeTick(benchmark::State& state) {
    const int scene = int(state.range(0)), width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(scene, width, height);
    prepareSlots(width, height);
    loadSlots(pair.frame);
    analyseSlots(sceneReference(scene));
    HDC hdc = standin::createMemoryDC(2 * width, height, RGB(0, 0, 0));
    for (auto _ : state) {
        loadSlots(pair.frame);
        analyseSlots(sceneReference(scene));
        drawCameraView(hdc, 0, 0, 0, tracker.viewMode);
        drawCameraView(hdc, width, 0, 1, tracker.viewMode);
        drawDistanceReadout(hdc);
    }
    standin::deleteMemoryDC(hdc);
    setPixelCounter(state, width, height);
}

// --- the stages alone, on the ball scene ------------------------------------

void BM_Segmentation(benchmark::State& state) {
    const int scene = int(state.range(0)), width = int(state.range(1)), height = int(state.range(2));
    const uint32_t reference = sceneReference(scene);
    const StereoPair& pair = stereoPair(scene, width, height);
    prepareSlots(width, height);
    loadSlots(pair.frame);
    segmentByColour(0, reference);
    for (auto _ : state) {
        state.PauseTiming();
        loadSlots(pair.frame);
        state.ResumeTiming();
        segmentByColour(0, reference);
        segmentByColour(1, reference);
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

void BM_SegmentationLiteral(benchmark::State& state) {
    const int width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(kBall, width, height);
    std::vector<uint8_t> work[2] = {pair.frame[0], pair.frame[1]};
    for (auto _ : state) {
        state.PauseTiming();
        for (int c = 0; c < 2; ++c) std::memcpy(work[c].data(), pair.frame[c].data(), work[c].size());
        state.ResumeTiming();
        for (int c = 0; c < 2; ++c) reference::segmentByColour(work[c].data(), width, height, kRed, kThreshold);
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

// The speck filter and the centroid after segmentation (the pass that
// leaves the masks is redone, untimed, before each).
void BM_SpeckFilterAndCentroid(benchmark::State& state) {
    const int scene = int(state.range(0)), width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(scene, width, height);
    prepareSlots(width, height);
    for (auto _ : state) {
        state.PauseTiming();
        loadSlots(pair.frame);
        segmentByColour(0, sceneReference(scene));
        segmentByColour(1, sceneReference(scene));
        state.ResumeTiming();
        for (int slot = 0; slot < 2; ++slot) {
            removeSpecks(slot, 1);
            benchmark::DoNotOptimize(findCentroid(slot));
        }
    }
    setPixelCounter(state, width, height);
}

void BM_SpeckFilterAndCentroidLiteral(benchmark::State& state) {
    const int width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(kBall, width, height);
    std::vector<uint8_t> work[2] = {pair.mask[0], pair.mask[1]};
    for (auto _ : state) {
        state.PauseTiming();
        for (int c = 0; c < 2; ++c) std::memcpy(work[c].data(), pair.mask[c].data(), work[c].size());
        state.ResumeTiming();
        for (int c = 0; c < 2; ++c) {
            reference::removeSpecks(work[c].data(), width, height, 1);
            benchmark::DoNotOptimize(reference::findCentroid(work[c].data(), width, height));
        }
    }
    setPixelCounter(state, width, height);
}

// A mask that came in as a frame (no masks left by segmentation): the
// speck filter and the centroid read the image itself.
void BM_SpeckFilterOnImage(benchmark::State& state) {
    const int width = int(state.range(1)), height = int(state.range(2));
    const StereoPair& pair = stereoPair(kBall, width, height);
    prepareSlots(width, height);
    for (auto _ : state) {
        state.PauseTiming();
        loadSlots(pair.mask);
        usableWorkImage(0);  // intake's deferred copy into the work images, not timed
        usableWorkImage(1);
        state.ResumeTiming();
        removeSpecks(0, 1);
        removeSpecks(1, 1);
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

// The one-off cost of the colour table, paid on the first large frame
// after a change of reference colour.
void BM_ColourTableBuild(benchmark::State& state) {
    uint32_t reference = kRed;
    for (auto _ : state) {
        reference = reference == kRed ? 0x00FF00 : kRed;
        benchmark::DoNotOptimize(colourLevelTable(reference).level);
    }
}

void scenesAtHd(benchmark::internal::Benchmark* b) {
    b->ArgNames({"scene", "w", "h"});
    for (const int scene : {kBall, kRandom, kMostlyRed}) b->Args({scene, 1280, 720});
    b->Unit(benchmark::kMicrosecond);
}

void ballAtHd(benchmark::internal::Benchmark* b) {
    b->ArgNames({"scene", "w", "h"})->Args({kBall, 1280, 720})->Unit(benchmark::kMicrosecond);
}

// The ball in each other colour.
void colouredBallsAtHd(benchmark::internal::Benchmark* b) {
    b->ArgNames({"scene", "w", "h"})->Unit(benchmark::kMicrosecond);
    for (int i = 0; i < kColourScenes; ++i) b->Args({kMostlyRed + 1 + i, 1280, 720});
}

BENCHMARK(BM_Memcpy)->Apply(ballAtHd);
BENCHMARK(BM_Tick)->Apply(scenesAtHd)->Args({kBall, 320, 240})->Args({kBall, 640, 480});
BENCHMARK(BM_Tick)->Apply(colouredBallsAtHd);
BENCHMARK(BM_TickLiteral)->Apply(scenesAtHd)->Args({kBall, 320, 240})->Args({kBall, 640, 480});
#ifdef KESTROVA_BENCH_OPENCV
BENCHMARK(BM_TickOpenCV)->Apply(scenesAtHd);
#endif
BENCHMARK(BM_TickWorkImageRead)->Apply(scenesAtHd);
BENCHMARK(BM_TickColdTable)->Apply(scenesAtHd);
BENCHMARK(BM_WholeTick)->Apply(ballAtHd)->Apply(colouredBallsAtHd);
BENCHMARK(BM_Segmentation)->Apply(ballAtHd)->Apply(colouredBallsAtHd);
BENCHMARK(BM_SegmentationLiteral)->Apply(ballAtHd);
BENCHMARK(BM_SpeckFilterAndCentroid)->Apply(ballAtHd)->Apply(colouredBallsAtHd);
BENCHMARK(BM_SpeckFilterAndCentroidLiteral)->Apply(ballAtHd);
BENCHMARK(BM_SpeckFilterOnImage)->Apply(ballAtHd);
BENCHMARK(BM_ColourTableBuild)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
