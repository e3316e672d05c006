// The optimised frame analysis against the straightforward per-pixel forms
// in reference_analysis.h: byte for byte, on every colour, on random masks
// and on simulated camera frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/avicap32/stereo_rig.h"
#include "tests/reference_analysis.h"
#include "tests/support/fresh_state.h"
#include "tracking/camera_slot.h"
#include "tracking/colour_levels.h"
#include "tracking/pixel_masks.h"
#include "tracking/segmentation.h"
#include "tracking/speck_filter.h"

namespace {

constexpr uint32_t kRed = 0xFF0000;

// Under the sanitizers every colour would take minutes; a stride that is
// prime to 256 still visits every byte value in every channel.
#ifdef KESTROVA_SANITIZED_BUILD
constexpr uint32_t kColourStride = 61;
#else
constexpr uint32_t kColourStride = 1;
#endif

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

class AnalysisEquivalenceTest : public FreshStateTest {
protected:
    // Loads an image into slot 0's work image, made afresh at this size.
    static void loadSlot(const std::vector<uint8_t>& image, int32_t width, int32_t height) {
        resetCameraSlot(0);
        cameraSlots[0].width = width;
        cameraSlots[0].height = height;
        acceptFrame(0, image.data(), uint32_t(image.size()));
    }
    static std::vector<uint8_t> slotImage() {
        const uint8_t* p = usableWorkImage(0);
        return std::vector<uint8_t>(p, p + slotImageBytes(0));
    }
};

std::vector<uint8_t> sceneFrame(int camera, double time, int32_t width, int32_t height) {
    std::vector<uint8_t> frame(size_t(width) * 3 * size_t(height));
    standin::renderStereoRigFrame(camera, time, 2.0, width, height, frame.data());
    return frame;
}

// A random mask: foreground pixels with arbitrary bytes (byte 0 below 255),
// background pixels mostly white, some with byte 0 alone at 255.
std::vector<uint8_t> randomMask(int32_t width, int32_t height, double foreground, std::mt19937& random) {
    std::vector<uint8_t> image(size_t(width) * 3 * size_t(height));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (size_t i = 0; i < image.size(); i += 3) {
        if (unit(random) < foreground) {
            image[i] = uint8_t(random() % 255);
            image[i + 1] = uint8_t(random());
            image[i + 2] = uint8_t(random());
        } else if (unit(random) < 0.9) {
            image[i] = image[i + 1] = image[i + 2] = 255;
        } else {
            image[i] = 255;
            image[i + 1] = uint8_t(random());
            image[i + 2] = uint8_t(random());
        }
    }
    return image;
}

// --- segmentation -------------------------------------------------------------

TEST_F(AnalysisEquivalenceTest, EveryColourGetsTheExactScaledDistanceAndTableEntry) {
    const ReferenceColour fast = normalisedReference(kRed);
    const reference::Colour literal = reference::referenceColour(kRed);
    ASSERT_EQ(bitsOf(fast.c0), bitsOf(literal.c0));
    ASSERT_EQ(bitsOf(fast.c1), bitsOf(literal.c1));
    ASSERT_EQ(bitsOf(fast.c2), bitsOf(literal.c2));
    const ColourLevelTable table = colourLevelTable(kRed);
    ASSERT_NE(table.level, nullptr);

    constexpr size_t kBatch = 4096;
    std::vector<uint8_t> pixels(kBatch * 3);
    std::vector<uint32_t> colours(kBatch);
    std::vector<float> v(kBatch);
    size_t mismatches = 0, wholeNumbers = 0, checked = 0;
    uint32_t next = 0;
    while (next < (1u << 24)) {
        size_t n = 0;
        for (; n < kBatch && next < (1u << 24); ++n, next += kColourStride) {
            colours[n] = next;
            pixels[n * 3] = uint8_t(next);
            pixels[n * 3 + 1] = uint8_t(next >> 8);
            pixels[n * 3 + 2] = uint8_t(next >> 16);
        }
        computeScaledDistances(pixels.data(), n, fast, v.data());
        for (size_t i = 0; i < n; ++i) {
            const float expected = reference::scaledDistance(&pixels[i * 3], literal);
            const uint32_t c = colours[i];
            const bool whole = double(expected) == double(int32_t(expected));
            const bool exactBit = (table.exact[c >> 6] >> (c & 63) & 1) != 0;
            wholeNumbers += whole;
            ++checked;
            if (bitsOf(v[i]) != bitsOf(expected) || table.level[c] != uint8_t(int32_t(expected)) || exactBit != whole) {
                if (++mismatches <= 5) {
                    ADD_FAILURE() << "colour " << std::hex << c << std::dec << ": v " << v[i] << " expected "
                                  << expected << ", table level " << int(table.level[c]) << " exact " << exactBit;
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(checked, size_t((1u << 24) + kColourStride - 1) / kColourStride);
    EXPECT_GT(wholeNumbers, 0u);  // the tie at the threshold is exercised
}

// Colours where the threshold decides: every colour whose v is a whole
// number (about 500, v = 60 among them), colours whose v is just off one,
// and a spread of ordinary ones.
std::vector<uint8_t> decidingColours() {
    const ColourLevelTable table = colourLevelTable(kRed);
    const ReferenceColour r = normalisedReference(kRed);
    std::vector<uint8_t> pixels;
    auto add = [&pixels](uint32_t c) {
        const uint8_t bytes[3] = {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)};
        pixels.insert(pixels.end(), bytes, bytes + 3);
    };
    for (uint32_t c = 0; c < (1u << 24); ++c) {
        if ((table.exact[c >> 6] >> (c & 63) & 1) != 0 || c % 4099 == 0) add(c);
    }
    std::vector<uint8_t> run(256 * 3);
    std::vector<float> v(256);
    for (uint32_t redGreen = 0; redGreen < 65536; redGreen += 5) {
        for (int b = 0; b < 256; ++b) {
            run[b * 3] = uint8_t(b);
            run[b * 3 + 1] = uint8_t(redGreen);
            run[b * 3 + 2] = uint8_t(redGreen >> 8);
        }
        computeScaledDistances(run.data(), 256, r, v.data());
        for (uint32_t b = 0; b < 256; ++b) {
            const double offWhole = v[b] - std::floor(double(v[b]) + 0.5);
            if (offWhole != 0 && std::fabs(offWhole) < 2e-5) add(b | redGreen << 8);
        }
    }
    for (const uint32_t c : {0xFF0000u, 0xFF4040u, 0xFF8000u, 0xFF8080u, 0xFFFFFFu, 0u, 0x161616u, 0x1E0000u,
                             0x00FF00u, 0x0000FFu, 0xB77500u, 0x270000u, 0x260000u}) {
        add(c);
    }
    return pixels;
}

TEST_F(AnalysisEquivalenceTest, TableAndComputedSegmentationAtEveryThreshold) {
    const std::vector<uint8_t> colours = decidingColours();
    const size_t n = colours.size() / 3;
    ASSERT_GT(n, 1000u);
    std::vector<int32_t> thresholds = {INT_MIN, -1000, 255, 256, 1000, INT_MAX};
    for (int32_t t = -2; t <= 163; ++t) thresholds.push_back(t);
    // The same colours scattered among random ones, as an image of rows
    // that are not a whole number of sixteen-pixel groups, for the path
    // that writes masks: groups with none, few and many candidates.
    std::mt19937 random(13);
    constexpr size_t kWidth = 117;  // 3 x 32 + 16 + 5
    std::vector<uint8_t> scattered;
    for (size_t i = 0; i < n; ++i) {
        for (int j = 0; j < int(random() % 12); ++j) {
            const uint32_t c = random();
            const uint8_t bytes[3] = {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)};
            scattered.insert(scattered.end(), bytes, bytes + 3);
        }
        scattered.insert(scattered.end(), colours.begin() + long(i * 3), colours.begin() + long(i * 3 + 3));
    }
    scattered.resize((scattered.size() / (kWidth * 3)) * kWidth * 3);
    const size_t height = scattered.size() / (kWidth * 3), words = maskWords(kWidth);
    std::vector<uint64_t> masks(words * height), expectedMasks(words * height);
    for (const int32_t t : thresholds) {
        std::vector<uint8_t> expected = colours, viaTable = colours, computed = colours;
        reference::segmentByColour(expected.data(), int32_t(n), 1, kRed, t);
        segmentPixels(viaTable.data(), n, kRed, t, true);
        segmentPixels(computed.data(), n, kRed, t, false);
        ASSERT_EQ(viaTable, expected) << "threshold " << t;
        ASSERT_EQ(computed, expected) << "threshold " << t;

        expected = scattered;
        reference::segmentByColour(expected.data(), int32_t(kWidth), int32_t(height), kRed, t);
        for (size_t y = 0; y < height; ++y) rowMasks(&expected[y * kWidth * 3], kWidth, &expectedMasks[y * words], nullptr);
        for (int instructions = 1; instructions <= 3; ++instructions) {
            std::vector<uint8_t> image = scattered;
            masks.assign(masks.size(), ~uint64_t(0));  // stale bits must go
            if (!segmentImageWithMasksUsing(instructions, image.data(), kWidth, height, kRed, t, masks.data())) continue;
            ASSERT_EQ(image, expected) << "threshold " << t << " instructions " << instructions;
            ASSERT_EQ(masks, expectedMasks) << "threshold " << t << " instructions " << instructions;
            // Background left unwritten, over stale bytes, then written
            // from the masks.
            std::vector<uint8_t> stale(image.size(), 7);
            ASSERT_TRUE(segmentImageWithMasksUsing(instructions, stale.data(), kWidth, height, kRed, t, masks.data(),
                                                   scattered.data(), scattered.size(), false));
            ASSERT_EQ(masks, expectedMasks) << "threshold " << t << " instructions " << instructions;
            whitenBackground(stale.data(), kWidth, height, masks.data());
            ASSERT_EQ(stale, expected) << "threshold " << t << " instructions " << instructions;
        }
    }
}

TEST_F(AnalysisEquivalenceTest, TableWithoutVectorInstructionsAtEveryThreshold) {
    // Fewer than sixteen pixels at a time go through the plain C++ look-up.
    const std::vector<uint8_t> colours = decidingColours();
    for (int32_t t = -2; t <= 163; ++t) {
        for (size_t start = 0; start + 45 <= colours.size(); start += 45) {
            std::vector<uint8_t> expected(colours.begin() + long(start), colours.begin() + long(start) + 45);
            std::vector<uint8_t> viaTable = expected;
            reference::segmentByColour(expected.data(), 15, 1, kRed, t);
            segmentPixels(viaTable.data(), 15, kRed, t, true);
            ASSERT_EQ(viaTable, expected) << "threshold " << t << " from colour " << start / 3;
        }
    }
}

TEST_F(AnalysisEquivalenceTest, OtherReferenceColours) {
    std::mt19937 random(7);
    std::vector<uint8_t> colours(3 * 20000);
    for (uint8_t& b : colours) b = uint8_t(random());
    // Greys, dark colours and pure primaries too.
    for (int i = 0; i < 256; ++i) {
        const uint8_t grey[3] = {uint8_t(i), uint8_t(i), uint8_t(i)}, red[3] = {0, 0, uint8_t(i)};
        colours.insert(colours.end(), grey, grey + 3);
        colours.insert(colours.end(), red, red + 3);
    }
    const size_t n = colours.size() / 3;
    const uint32_t references[] = {0x00FF00, 0x0000FF, 0x000000, 0xFFFFFF, 0x123456, 0x0A0A0A, 0xABFF0000};
    for (const uint32_t ref : references) {
        for (const int32_t t : {-1, 0, 30, 60, 100, 161, 162}) {
            std::vector<uint8_t> expected = colours, viaTable = colours, computed = colours;
            reference::segmentByColour(expected.data(), int32_t(n), 1, ref, t);
            segmentPixels(computed.data(), n, ref, t, false);
            ASSERT_EQ(computed, expected) << std::hex << ref << std::dec << " threshold " << t;
            if (ref == 0x00FF00 || ref == 0xABFF0000) {  // a table build each: keep it to two
                segmentPixels(viaTable.data(), n, ref, t, true);
                ASSERT_EQ(viaTable, expected) << std::hex << ref << std::dec << " threshold " << t;
            }
        }
    }
}

TEST_F(AnalysisEquivalenceTest, MaskedSegmentationAgainstOtherReferences) {
    // Each reference has the pre-test read other bytes of a pixel (or their
    // average): colours whose level is near the threshold, alone or in runs
    // among random ones, in rows that are not whole groups, at every width
    // of the vector code, with the background written or left to the masks.
    constexpr size_t kWidth = 117;
    std::mt19937 random(17);
    for (const uint32_t ref : {0xFF8000u, 0xFFFF00u, 0x00FF00u, 0x0000FFu, 0xFF00FFu, 0x00FFFFu, 0x123456u, 0xFFFFFFu}) {
        const ColourLevelTable table = colourLevelTable(ref);
        ASSERT_NE(table.level, nullptr);
        for (const int32_t t : {0, 30, 60, 101, 161, 255}) {
            std::vector<uint8_t> scattered;
            for (uint32_t c = random() % 211; c < (1u << 24); c += 211) {
                if (std::abs(int(table.level[c]) - t) > 1 && random() % 64 != 0) continue;
                for (int j = random() % 2 == 0 ? 0 : int(random() % 12); j > 0; --j) {
                    const uint32_t other = random();
                    scattered.insert(scattered.end(), {uint8_t(other), uint8_t(other >> 8), uint8_t(other >> 16)});
                }
                scattered.insert(scattered.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
            }
            scattered.resize(std::min<size_t>(scattered.size(), 400 * kWidth * 3) / (kWidth * 3) * kWidth * 3);
            const size_t height = scattered.size() / (kWidth * 3), words = maskWords(kWidth);
            std::vector<uint8_t> expected = scattered;
            reference::segmentByColour(expected.data(), int32_t(kWidth), int32_t(height), ref, t);
            std::vector<uint64_t> masks(words * height), expectedMasks(words * height);
            for (size_t y = 0; y < height; ++y) rowMasks(&expected[y * kWidth * 3], kWidth, &expectedMasks[y * words], nullptr);
            for (int instructions = 1; instructions <= 3; ++instructions) {
                for (const bool writeBackground : {true, false}) {
                    std::vector<uint8_t> image(scattered.size(), 7);  // stale bytes, overwritten or masked
                    masks.assign(masks.size(), ~uint64_t(0));
                    if (!segmentImageWithMasksUsing(instructions, image.data(), kWidth, height, ref, t, masks.data(),
                                                    scattered.data(), scattered.size(), writeBackground)) {
                        continue;
                    }
                    ASSERT_EQ(masks, expectedMasks) << std::hex << ref << std::dec << " threshold " << t;
                    if (!writeBackground) whitenBackground(image.data(), kWidth, height, masks.data());
                    ASSERT_EQ(image, expected) << std::hex << ref << std::dec << " threshold " << t << " instructions "
                                               << instructions << " background " << writeBackground;
                }
            }
        }
    }
}

TEST_F(AnalysisEquivalenceTest, SegmentByColourOnSlotsOfEverySize) {
    // Small sizes are computed pixel by pixel, from 256x256 pixels on the
    // table is used.
    const int32_t sizes[][2] = {{1, 1}, {2, 2}, {3, 1}, {1, 5}, {7, 3}, {255, 257}, {256, 256}, {321, 241}};
    for (const auto& size : sizes) {
        const std::vector<uint8_t> frame = sceneFrame(0, 0.4, size[0], size[1]);
        for (const int32_t t : {60, 0, 64, 114, 161, 162, -1}) {
            loadSlot(frame, size[0], size[1]);
            tracker.threshold = t;
            segmentByColour(0, kRed);
            std::vector<uint8_t> expected = frame;
            reference::segmentByColour(expected.data(), size[0], size[1], kRed, t);
            ASSERT_EQ(slotImage(), expected) << size[0] << "x" << size[1] << " threshold " << t;
        }
    }
}

// --- speck filter ---------------------------------------------------------------

TEST_F(AnalysisEquivalenceTest, SpeckFilterOnRandomMasks) {
    std::mt19937 random(11);
    const int32_t sizes[][2] = {{1, 1},  {2, 2},   {3, 3},   {1, 7},  {7, 1},   {3, 7},   {7, 3},  {4, 4},
                                {5, 9},  {63, 5},  {64, 4},  {65, 6}, {66, 3},  {127, 9}, {128, 3}, {129, 17},
                                {191, 4}, {200, 150}};
    for (const auto& size : sizes) {
        for (const double density : {0.05, 0.3, 0.5, 0.7, 0.95}) {
            for (int passes = 1; passes <= 3; ++passes) {
                const std::vector<uint8_t> mask = randomMask(size[0], size[1], density, random);
                loadSlot(mask, size[0], size[1]);
                removeSpecks(0, passes);
                std::vector<uint8_t> expected = mask;
                reference::removeSpecks(expected.data(), size[0], size[1], passes);
                ASSERT_EQ(slotImage(), expected)
                    << size[0] << "x" << size[1] << " density " << density << " passes " << passes;
            }
        }
    }
}

TEST_F(AnalysisEquivalenceTest, SpeckFilterScanOrderChainsAcrossWords) {
    // Row 2 from the bottom: every inner pixel has exactly four background
    // neighbours besides its left one (three above, one below), so it is
    // cleared exactly when its left neighbour is background by then. With a
    // background pixel at its start the whole row is cleared in a chain
    // running across the 64-pixel words; with a foreground one none is.
    for (const int32_t width : {5, 70, 130, 200}) {
        for (const char start : {'.', '#'}) {
            const size_t w = size_t(width);
            std::string dotted(w, '#');
            for (size_t x = 0; x < w; x += 3) dotted[x] = '.';
            const std::vector<std::string> rows = {std::string(w, '.'), start + std::string(w - 1, '#'), dotted,
                                                   std::string(w, '#')};
            std::vector<uint8_t> image(w * 3 * rows.size(), 255);
            for (size_t r = 0; r < rows.size(); ++r) {
                for (size_t x = 0; x < w; ++x) {
                    if (rows[r][x] == '#') std::memset(&image[((rows.size() - 1 - r) * w + x) * 3], 10, 3);
                }
            }
            loadSlot(image, width, int32_t(rows.size()));
            removeSpecks(0, 1);
            reference::removeSpecks(image.data(), width, int32_t(rows.size()), 1);
            ASSERT_EQ(slotImage(), image) << width << start;
            const uint8_t* chained = &image[(2 * w + w - 2) * 3];  // the row's last inner pixel
            EXPECT_EQ(chained[0], start == '.' ? 255 : 10) << width << start;
        }
    }
}

TEST_F(AnalysisEquivalenceTest, TickAnalysisOnScenes) {
    // Segmentation, the speck filter and the centroid in the tick's order,
    // on the rig's frames, random colours and a mostly red frame, against
    // the literal forms: the image after each step and the point.
    const int32_t sizes[][2] = {{320, 240}, {643, 131}};
    for (const auto& size : sizes) {
        std::vector<std::vector<uint8_t>> frames;
        for (const double time : {0.0, 1.3, 2.6}) {
            for (int camera = 0; camera < 2; ++camera) frames.push_back(sceneFrame(camera, time, size[0], size[1]));
        }
        frames.push_back(reference::randomColourFrame(size[0], size[1], 1));
        frames.push_back(reference::mostlyRedFrame(size[0], size[1], 2));
        for (size_t f = 0; f < frames.size(); ++f) {
            for (const int32_t t : {60, 100}) {
                // The tick as the program runs it, nothing reading the
                // image in between; then the same analysis again without a
                // new frame (a camera that delivered nothing).
                loadSlot(frames[f], size[0], size[1]);
                tracker.threshold = t;
                std::vector<uint8_t> expected = frames[f];
                for (int tick = 0; tick < 2; ++tick) {
                    segmentByColour(0, kRed);
                    removeSpecks(0, 1);
                    const ImagePoint found = findCentroid(0);
                    reference::segmentByColour(expected.data(), size[0], size[1], kRed, t);
                    reference::removeSpecks(expected.data(), size[0], size[1], 1);
                    const reference::Point point = reference::findCentroid(expected.data(), size[0], size[1]);
                    EXPECT_EQ(found.x, point.x) << size[0] << "x" << size[1] << " frame " << f << " tick " << tick;
                    EXPECT_EQ(found.y, point.y) << size[0] << "x" << size[1] << " frame " << f << " tick " << tick;
                }
                ASSERT_EQ(slotImage(), expected) << size[0] << "x" << size[1] << " frame " << f;

                // Step by step, the image checked after each.
                loadSlot(frames[f], size[0], size[1]);
                expected = frames[f];
                segmentByColour(0, kRed);
                reference::segmentByColour(expected.data(), size[0], size[1], kRed, t);
                ASSERT_EQ(slotImage(), expected) << size[0] << "x" << size[1] << " frame " << f;
                removeSpecks(0, 1);
                reference::removeSpecks(expected.data(), size[0], size[1], 1);
                ASSERT_EQ(slotImage(), expected) << size[0] << "x" << size[1] << " frame " << f;
                const reference::Point point = reference::findCentroid(expected.data(), size[0], size[1]);
                const ImagePoint found = findCentroid(0);
                EXPECT_EQ(found.x, point.x) << size[0] << "x" << size[1] << " frame " << f;
                EXPECT_EQ(found.y, point.y) << size[0] << "x" << size[1] << " frame " << f;
                if (f < 6) {
                    EXPECT_NE(point.x, 0);  // the ball is in view
                }
                removeSpecks(0, 2);  // further passes on what the first left
                reference::removeSpecks(expected.data(), size[0], size[1], 2);
                ASSERT_EQ(slotImage(), expected) << size[0] << "x" << size[1] << " frame " << f;
                EXPECT_EQ(findCentroid(0).x, reference::findCentroid(expected.data(), size[0], size[1]).x);
            }
        }
    }
}

TEST_F(AnalysisEquivalenceTest, SizeChangedBetweenStepsWithoutAFrame) {
    // The masks segmentation leaves describe the image at its size then;
    // the filter run at another size changes the image under them, and
    // back at the first size they must not be used.
    std::vector<uint8_t> frame = reference::randomColourFrame(320, 240, 3);
    loadSlot(frame, 320, 240);
    segmentByColour(0, kRed);
    reference::segmentByColour(frame.data(), 320, 240, kRed, 60);
    cameraSlots[0].width = 240;
    cameraSlots[0].height = 320;
    removeSpecks(0, 1);
    reference::removeSpecks(frame.data(), 240, 320, 1);
    cameraSlots[0].width = 320;
    cameraSlots[0].height = 240;
    removeSpecks(0, 1);
    reference::removeSpecks(frame.data(), 320, 240, 1);
    ASSERT_EQ(slotImage(), frame);
    const reference::Point point = reference::findCentroid(frame.data(), 320, 240);
    EXPECT_EQ(findCentroid(0).x, point.x);
    EXPECT_EQ(findCentroid(0).y, point.y);
}

TEST_F(AnalysisEquivalenceTest, PartialFramesAndSizeChangesBeforeTheAnalysis) {
    // Intake copies a frame into the raw image only and the work image takes
    // it from there later, so a frame that fills only part of the image, a
    // second frame before the analysis, or a size changed in between must
    // still leave the work image the literal intake would: the frame's
    // bytes up to its length, the image's previous content past it.
    const std::vector<uint8_t> ball = sceneFrame(0, 0.7, 320, 240), noise = reference::randomColourFrame(320, 240, 4),
                               red = reference::mostlyRedFrame(320, 240, 5);
    const size_t row = 320 * 3, whole = ball.size();
    struct Step {
        const std::vector<uint8_t>* frame;
        size_t bytes;
        bool analyse;
    };
    const std::vector<std::vector<Step>> runs = {
        {{&ball, whole, false}, {&noise, 100 * row + 7, true}},          // shorter second frame, mid-row
        {{&ball, 50 * row, false}, {&noise, 120 * row + 1, true}},       // longer second frame
        {{&ball, whole, true}, {&red, 33 * row + 5, true}},              // partial frame on a segmented image
        {{&noise, whole, true}, {&red, 10 * row, false}, {&ball, 3, true}},
    };
    for (size_t r = 0; r < runs.size(); ++r) {
        loadSlot(red, 320, 240);
        slotImage();  // the work image holds the red frame: stale bytes must not segment as background
        std::vector<uint8_t> work = red;
        for (const Step& step : runs[r]) {
            acceptFrame(0, step.frame->data(), uint32_t(step.bytes));
            std::copy(step.frame->begin(), step.frame->begin() + long(step.bytes), work.begin());
            if (!step.analyse) continue;
            segmentByColour(0, kRed);
            removeSpecks(0, 1);
            reference::segmentByColour(work.data(), 320, 240, kRed, 60);
            reference::removeSpecks(work.data(), 320, 240, 1);
            EXPECT_EQ(findCentroid(0).x, reference::findCentroid(work.data(), 320, 240).x) << "run " << r;
        }
        // Read only now: a partial frame after an analysis that left its
        // background unwritten keeps that analysis's result past its length.
        ASSERT_EQ(slotImage(), work) << "run " << r;
    }
    // A frame at one size, the size shrunk before the analysis and then
    // restored: the bytes past the smaller size are still the frame's.
    loadSlot(noise, 320, 240);
    acceptFrame(0, ball.data(), uint32_t(whole));
    cameraSlots[0].height = 220;  // still segmented through the table
    segmentByColour(0, kRed);
    cameraSlots[0].height = 240;
    std::vector<uint8_t> expected = ball;
    reference::segmentByColour(expected.data(), 320, 220, kRed, 60);
    ASSERT_EQ(slotImage(), expected);
    EXPECT_TRUE(std::equal(ball.begin(), ball.end(), usableRawImage(0)));
}

// --- centroid ---------------------------------------------------------------------

TEST_F(AnalysisEquivalenceTest, CentroidOnRandomMasks) {
    std::mt19937 random(5);
    const int32_t sizes[][2] = {{1, 1}, {2, 2}, {1, 9}, {15, 1}, {16, 2}, {17, 3}, {63, 4},
                                {64, 5}, {65, 6}, {100, 7}, {257, 33}, {1000, 3}};
    for (const auto& size : sizes) {
        for (const double density : {0.0, 0.001, 0.1, 0.5, 1.0}) {
            const std::vector<uint8_t> mask = randomMask(size[0], size[1], density, random);
            loadSlot(mask, size[0], size[1]);
            const reference::Point expected = reference::findCentroid(mask.data(), size[0], size[1]);
            const ImagePoint found = findCentroid(0);
            EXPECT_EQ(found.x, expected.x) << size[0] << "x" << size[1] << " density " << density;
            EXPECT_EQ(found.y, expected.y) << size[0] << "x" << size[1] << " density " << density;
        }
    }
}

TEST_F(AnalysisEquivalenceTest, PixelMasksPickEveryThirdByte) {
    std::mt19937_64 random(3);
    for (int i = 0; i < 10000; ++i) {
        const uint64_t x = random();
        uint64_t expected = 0;
        for (int bit = 0; bit < 21; ++bit) expected |= (x >> (3 * bit) & 1) << bit;
        ASSERT_EQ(everyThirdBit(x), expected) << std::hex << x;
    }
    // Rows of 1..200 pixels, background and white apart, with every
    // instruction set the processor has.
    std::vector<uint8_t> pixels(200 * 3);
    std::vector<uint64_t> background(4), white(4);
    for (size_t width = 1; width <= 200; ++width) {
        for (uint8_t& b : pixels) b = random() % 3 == 0 ? uint8_t(random()) : 255;
        for (int instructions = 0; instructions <= 2; ++instructions) {
            background.assign(4, ~uint64_t(0));  // stale bits must go
            white.assign(4, ~uint64_t(0));
            rowMasksUsing(instructions, pixels.data(), width, background.data(), white.data());
            for (size_t x = 0; x < 64 * maskWords(width); ++x) {
                const uint8_t* p = &pixels[x * 3];
                const bool inside = x < width;
                ASSERT_EQ(background[x / 64] >> (x % 64) & 1, uint64_t(inside && p[0] == 255))
                    << width << " " << x << " " << instructions;
                ASSERT_EQ(white[x / 64] >> (x % 64) & 1, uint64_t(inside && p[0] == 255 && p[1] == 255 && p[2] == 255))
                    << width << " " << x << " " << instructions;
            }
            std::vector<uint64_t> backgroundOnly(4, ~uint64_t(0));
            rowMasksUsing(instructions, pixels.data(), width, backgroundOnly.data(), nullptr);
            ASSERT_TRUE(std::equal(background.begin(), background.begin() + long(maskWords(width)), backgroundOnly.begin()));
        }
    }
}

}  // namespace
