// Frame analysis speed: one tracking tick's analysis of a stereo pair
// (segmentation against red at threshold 60, one speck-filter pass and the
// centroid, for both slots), each stage alone, and the straightforward
// per-pixel forms of tests/reference_analysis.h on the same frames, so the
// speed-up is a ratio measured on one machine in one run.
//
// Every benchmark works on a stereo pair; the counter per_pixel is the time
// per pixel of the pair (2 * width * height pixels).
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "platform/avicap32/stereo_rig.h"
#include "tests/reference_analysis.h"
#include "tracking/camera_slot.h"
#include "tracking/colour_levels.h"
#include "tracking/segmentation.h"
#include "tracking/speck_filter.h"

namespace {

constexpr uint32_t kRed = 0xFF0000;
constexpr int32_t kThreshold = 60;

// The camera picture the analysis gets: one frame of camera 0 or 1 of the
// stereo rig, bottom-up, bytes blue, green, red.
void renderCameraFrame(int camera, int width, int height, uint8_t* bgrBottomUp) {
    standin::renderStereoRigFrame(camera, 1.0, 2.0, width, height, bgrBottomUp);
}

struct StereoPair {
    std::vector<uint8_t> frame[2];  // as captured
    std::vector<uint8_t> mask[2];   // segmented at the threshold
    std::vector<uint8_t> filtered[2];  // and after one speck-filter pass
};

const StereoPair& stereoPair(int width, int height) {
    static std::map<std::pair<int, int>, StereoPair> pairs;
    StereoPair& pair = pairs[{width, height}];
    if (pair.frame[0].empty()) {
        for (int camera = 0; camera < 2; ++camera) {
            std::vector<uint8_t>& frame = pair.frame[camera];
            frame.resize(size_t(width) * 3 * size_t(height));
            renderCameraFrame(camera, width, height, frame.data());
            pair.mask[camera] = frame;
            reference::segmentByColour(pair.mask[camera].data(), width, height, kRed, kThreshold);
            pair.filtered[camera] = pair.mask[camera];
            reference::removeSpecks(pair.filtered[camera].data(), width, height, 1);
        }
    }
    return pair;
}

// Gives both camera slots the size and their first images.
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

void setPixelCounter(benchmark::State& state, int width, int height) {
    // Inverted rate: seconds per pixel, shown as e.g. "1.2ns".
    state.counters["per_pixel"] = benchmark::Counter(2.0 * width * height,
                                                        benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
}

void analyseSlots() {
    for (int slot = 0; slot < 2; ++slot) {
        segmentByColour(slot, kRed);
        removeSpecks(slot, 1);
        cameraSlots[slot].latestPoint = findCentroid(slot);
    }
    benchmark::DoNotOptimize(cameraSlots[0].latestPoint);
    benchmark::DoNotOptimize(cameraSlots[1].latestPoint);
}

// --- the analysis of one tick -------------------------------------------------

void BM_Tick(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const StereoPair& pair = stereoPair(width, height);
    prepareSlots(width, height);
    loadSlots(pair.frame);
    analyseSlots();  // builds the colour table outside the timing
    for (auto _ : state) {
        state.PauseTiming();
        loadSlots(pair.frame);  // the frame intake of the tick
        state.ResumeTiming();
        analyseSlots();
    }
    setPixelCounter(state, width, height);
}

void BM_TickLiteral(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const StereoPair& pair = stereoPair(width, height);
    std::vector<uint8_t> work[2] = {pair.frame[0], pair.frame[1]};
    for (auto _ : state) {
        state.PauseTiming();
        for (int c = 0; c < 2; ++c) std::memcpy(work[c].data(), pair.frame[c].data(), work[c].size());
        state.ResumeTiming();
        for (int c = 0; c < 2; ++c) {
            reference::segmentByColour(work[c].data(), width, height, kRed, kThreshold);
            reference::removeSpecks(work[c].data(), width, height, 1);
            benchmark::DoNotOptimize(reference::findCentroid(work[c].data(), width, height));
        }
    }
    setPixelCounter(state, width, height);
}

// --- the stages alone -------------------------------------------------------------

void BM_Segmentation(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const StereoPair& pair = stereoPair(width, height);
    prepareSlots(width, height);
    loadSlots(pair.frame);
    segmentByColour(0, kRed);
    for (auto _ : state) {
        state.PauseTiming();
        loadSlots(pair.frame);
        state.ResumeTiming();
        segmentByColour(0, kRed);
        segmentByColour(1, kRed);
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

void BM_SegmentationLiteral(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const StereoPair& pair = stereoPair(width, height);
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

void BM_SpeckFilter(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const StereoPair& pair = stereoPair(width, height);
    prepareSlots(width, height);
    for (auto _ : state) {
        state.PauseTiming();
        loadSlots(pair.mask);
        state.ResumeTiming();
        removeSpecks(0, 1);
        removeSpecks(1, 1);
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

void BM_SpeckFilterLiteral(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const StereoPair& pair = stereoPair(width, height);
    std::vector<uint8_t> work[2] = {pair.mask[0], pair.mask[1]};
    for (auto _ : state) {
        state.PauseTiming();
        for (int c = 0; c < 2; ++c) std::memcpy(work[c].data(), pair.mask[c].data(), work[c].size());
        state.ResumeTiming();
        for (int c = 0; c < 2; ++c) reference::removeSpecks(work[c].data(), width, height, 1);
        benchmark::ClobberMemory();
    }
    setPixelCounter(state, width, height);
}

void BM_Centroid(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const StereoPair& pair = stereoPair(width, height);
    prepareSlots(width, height);
    loadSlots(pair.filtered);
    for (auto _ : state) {
        benchmark::DoNotOptimize(findCentroid(0));
        benchmark::DoNotOptimize(findCentroid(1));
    }
    setPixelCounter(state, width, height);
}

void BM_CentroidLiteral(benchmark::State& state) {
    const int width = int(state.range(0)), height = int(state.range(1));
    const StereoPair& pair = stereoPair(width, height);
    for (auto _ : state) {
        for (int c = 0; c < 2; ++c) benchmark::DoNotOptimize(reference::findCentroid(pair.filtered[c].data(), width, height));
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

void frameSizes(benchmark::internal::Benchmark* b) {
    b->Args({320, 240})->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Tick)->Apply(frameSizes);
BENCHMARK(BM_TickLiteral)->Apply(frameSizes);
BENCHMARK(BM_Segmentation)->Apply(frameSizes);
BENCHMARK(BM_SegmentationLiteral)->Apply(frameSizes);
BENCHMARK(BM_SpeckFilter)->Apply(frameSizes);
BENCHMARK(BM_SpeckFilterLiteral)->Apply(frameSizes);
BENCHMARK(BM_Centroid)->Apply(frameSizes);
BENCHMARK(BM_CentroidLiteral)->Apply(frameSizes);
BENCHMARK(BM_ColourTableBuild)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
