#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tracking/camera_slot.h"
#include "tracking/segmentation.h"
#include "tracking/speck_filter.h"
#include "tests/support/fresh_state.h"

namespace {

constexpr uint32_t kRed = 0xFF0000;

class TrackingTest : public FreshStateTest {
protected:
    // A mask for slot 0 drawn from rows of text, the first string the top
    // row: '#' foreground (grey 0), anything else background.
    static void drawMask(const std::vector<std::string>& rows) {
        const int32_t height = int32_t(rows.size()), width = int32_t(rows[0].size());
        fillSlot(0, width, height, 255, 255, 255);
        for (int32_t row = 0; row < height; ++row) {
            for (int32_t x = 0; x < width; ++x) {
                if (rows[size_t(row)][size_t(x)] == '#') setPixel(x, height - 1 - row, 0);
            }
        }
    }

    static void setPixel(int32_t x, int32_t y, uint8_t value) {
        uint8_t* p = usableWorkImage(0) + (size_t(y) * size_t(cameraSlots[0].width) + size_t(x)) * 3;
        p[0] = p[1] = p[2] = value;
    }

    // The mask of slot 0 in the same text form.
    static std::vector<std::string> readMask() {
        const CameraSlot& s = cameraSlots[0];
        const uint8_t* work = usableWorkImage(0);
        std::vector<std::string> rows;
        for (int32_t y = s.height - 1; y >= 0; --y) {
            std::string row;
            for (int32_t x = 0; x < s.width; ++x) {
                row += work[(size_t(y) * size_t(s.width) + size_t(x)) * 3] == 255 ? '.' : '#';
            }
            rows.push_back(row);
        }
        return rows;
    }

    // Grey level that one pixel of the given colour gets at the threshold.
    static int segmentedLevel(uint8_t b, uint8_t g, uint8_t r, int32_t threshold = 60) {
        fillSlot(0, 1, 1, b, g, r);
        tracker.threshold = threshold;
        segmentByColour(0, kRed);
        const uint8_t* work = usableWorkImage(0);
        EXPECT_EQ(work[0], work[1]);
        EXPECT_EQ(work[0], work[2]);
        return work[0];
    }
};

// --- frame intake -----------------------------------------------------------

TEST_F(TrackingTest, IntakeAllocatesOnFirstFrameAndReusesImages) {
    EXPECT_EQ(tracker.threshold, 60);
    cameraSlots[1].width = 4;
    cameraSlots[1].height = 2;
    std::vector<uint8_t> frame(24);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i + 1);
    EXPECT_TRUE(acceptFrame(1, frame.data(), 24));
    uint8_t* work = usableWorkImage(1);
    const uint8_t* raw = usableRawImage(1);
    ASSERT_NE(work, nullptr);
    ASSERT_NE(raw, nullptr);
    EXPECT_NE(work, raw);
    EXPECT_EQ(std::vector<uint8_t>(work, work + 24), frame);
    EXPECT_EQ(std::vector<uint8_t>(raw, raw + 24), frame);

    frame.assign(24, 9);
    acceptFrame(1, frame.data(), 24);
    EXPECT_EQ(usableWorkImage(1), work);
    EXPECT_EQ(cameraSlots[1].rawImage, raw);
    EXPECT_EQ(work[23], 9);
    EXPECT_EQ(cameraSlots[0].workImage, nullptr);  // the other slot is untouched
}

TEST_F(TrackingTest, IntakeOfPartialAndOversizedFrames) {
    cameraSlots[0].width = 4;
    cameraSlots[0].height = 1;
    std::vector<uint8_t> first(12, 7);
    acceptFrame(0, first.data(), 12);

    std::vector<uint8_t> partial(12, 1);
    acceptFrame(0, partial.data(), 5);
    const std::vector<uint8_t> expected = {1, 1, 1, 1, 1, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(std::vector<uint8_t>(usableWorkImage(0), usableWorkImage(0) + 12), expected);
    EXPECT_EQ(std::vector<uint8_t>(cameraSlots[0].rawImage, cameraSlots[0].rawImage + 12), expected);

    // Longer than the image: cut at the image size (ASan catches any overrun).
    std::vector<uint8_t> oversized(1000, 3);
    acceptFrame(0, oversized.data(), 1000);
    EXPECT_EQ(std::vector<uint8_t>(cameraSlots[0].rawImage, cameraSlots[0].rawImage + 12),
              std::vector<uint8_t>(12, 3));

    acceptFrame(0, nullptr, 12);  // no bytes: nothing copied, nothing crashes
    EXPECT_EQ(usableWorkImage(0)[0], 3);
}

TEST_F(TrackingTest, EmptySlotGetsZeroLengthImagesAndUnknownSlotsAreIgnored) {
    uint8_t byte = 42;
    EXPECT_TRUE(acceptFrame(0, &byte, 1));
    EXPECT_NE(cameraSlots[0].workImage, nullptr);
    EXPECT_EQ(slotImageBytes(0), 0u);
    segmentByColour(0, kRed);
    removeSpecks(0, 3);
    EXPECT_EQ(findCentroid(0).x, 0);
    EXPECT_TRUE(acceptFrame(2, &byte, 1));
    EXPECT_TRUE(acceptFrame(-1, &byte, 1));
}

TEST_F(TrackingTest, FailedAllocationLeavesImagesAbsentAndIsRetried) {
    cameraSlots[0].width = 1 << 20;  // 3 TiB: refused
    cameraSlots[0].height = 1 << 20;
    uint8_t byte = 1;
    EXPECT_TRUE(acceptFrame(0, &byte, 1));
    EXPECT_EQ(cameraSlots[0].workImage, nullptr);
    EXPECT_EQ(cameraSlots[0].rawImage, nullptr);
    segmentByColour(0, kRed);
    removeSpecks(0, 1);
    EXPECT_EQ(findCentroid(0).x, 0);

    cameraSlots[0].width = 2;  // the next frame tries again
    cameraSlots[0].height = 1;
    std::vector<uint8_t> frame = {1, 2, 3, 4, 5, 6};
    acceptFrame(0, frame.data(), 6);
    ASSERT_NE(cameraSlots[0].workImage, nullptr);
    EXPECT_EQ(cameraSlots[0].rawImage[5], 6);
}

TEST_F(TrackingTest, ImagesAreNotUsedPastTheirSizeWhenTheSlotGrows) {
    fillSlot(0, 2, 2, 0, 0, 255);
    cameraSlots[0].width = 100;  // never done by the program; must not overrun
    EXPECT_EQ(usableWorkImage(0), nullptr);
    EXPECT_EQ(usableRawImage(0), nullptr);
    std::vector<uint8_t> frame(100 * 3 * 2, 1);
    acceptFrame(0, frame.data(), uint32_t(frame.size()));
    segmentByColour(0, kRed);
    removeSpecks(0, 1);
    EXPECT_EQ(findCentroid(0).x, 0);
}

// A frame size with no pixel, such as a capture driver's width above 2^31
// read as a negative number: intake copies nothing and the analysis finds no
// target without walking the rows or columns the size claims (ASan catches
// any overrun). A width of 0 with a huge height must not cost a long walk.
TEST_F(TrackingTest, SizesWithoutPixelsGiveNoUsableImage) {
    const int32_t sizes[][2] = {{-320, 240}, {240, -320}, {-1, -1}, {0, INT32_MAX}, {INT32_MAX, 0}, {INT32_MIN, 1}};
    for (const auto& size : sizes) {
        resetCameraSlot(0);
        cameraSlots[0].width = size[0];
        cameraSlots[0].height = size[1];
        std::vector<uint8_t> frame(64, 0);
        frame[2] = 255;
        EXPECT_TRUE(acceptFrame(0, frame.data(), uint32_t(frame.size())));
        EXPECT_NE(cameraSlots[0].workImage, nullptr);  // zero-length images, as for 0x0
        EXPECT_EQ(usableWorkImage(0), nullptr);
        EXPECT_EQ(usableRawImage(0), nullptr);
        segmentByColour(0, kRed);
        removeSpecks(0, 1);
        const ImagePoint p = findCentroid(0);
        EXPECT_EQ(p.x, 0);
        EXPECT_EQ(p.y, 0);
    }
}

// --- segmentation -------------------------------------------------------------

TEST_F(TrackingTest, SegmentationTableAtDefaultThreshold) {
    struct Case { uint8_t b, g, r; int level; };
    const Case cases[] = {
        {0, 0, 255, 0},       {64, 64, 255, 38},    {0, 128, 255, 52},  {128, 128, 255, 255},
        {255, 255, 255, 255}, {23, 23, 23, 255},    {0, 0, 0, 255},     {22, 22, 22, 255},
        {10, 10, 10, 255},    {0, 0, 30, 255},      {0, 255, 0, 255},   {255, 0, 0, 255},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(segmentedLevel(c.b, c.g, c.r), c.level) << int(c.b) << "," << int(c.g) << "," << int(c.r);
    }
}

TEST_F(TrackingTest, SegmentationGreyLevelsAtThresholdsThatLetThemThrough) {
    // The levels of the table's background colours, seen with the threshold
    // raised out of the way: they pin the exact distances.
    EXPECT_EQ(segmentedLevel(128, 128, 255, 1000), 69);
    EXPECT_EQ(segmentedLevel(255, 255, 255, 1000), 104);
    EXPECT_EQ(segmentedLevel(0, 0, 0, 1000), 114);
    EXPECT_EQ(segmentedLevel(22, 22, 22, 1000), 105);
    EXPECT_EQ(segmentedLevel(10, 10, 10, 1000), 109);
    EXPECT_EQ(segmentedLevel(0, 0, 30, 1000), 100);
    EXPECT_EQ(segmentedLevel(0, 255, 0, 1000), 161);
    EXPECT_EQ(segmentedLevel(0, 0, 0, 115), 114);
    EXPECT_EQ(segmentedLevel(0, 0, 0, 114), 255);
}

TEST_F(TrackingTest, RoundingOfTheScaledDistanceAtAnIntegerThreshold) {
    // v = 63.99999: grey 63 and still foreground at threshold 64 (rounding
    // every step to single precision would give 64.00002 and background).
    EXPECT_EQ(segmentedLevel(0, 117, 183, 64), 63);
    EXPECT_EQ(segmentedLevel(0, 117, 183, 63), 255);
    // A value equal to the threshold stays.
    EXPECT_EQ(segmentedLevel(0, 0, 255, 0), 0);
}

TEST_F(TrackingTest, DarkRedIsNormalisedFromRedByte39) {
    EXPECT_EQ(segmentedLevel(0, 0, 39), 0);
    EXPECT_EQ(segmentedLevel(0, 0, 38), 255);
    float c0 = 0, c1 = 0, c2 = float(38 / 255.0);
    normaliseColour(c0, c1, c2);
    EXPECT_EQ(c2, float(38 / 255.0));
    c2 = float(39 / 255.0);
    normaliseColour(c0, c1, c2);
    EXPECT_EQ(c2, 1.0f);
}

TEST_F(TrackingTest, ExtremeThresholds) {
    const uint8_t colours[][3] = {{0, 0, 0}, {255, 255, 255}, {0, 255, 0}, {255, 0, 0}, {0, 0, 255}};
    for (const auto& c : colours) {
        EXPECT_NE(segmentedLevel(c[0], c[1], c[2], 162), 255);
        EXPECT_EQ(segmentedLevel(c[0], c[1], c[2], -1), 255);
        EXPECT_EQ(segmentedLevel(c[0], c[1], c[2], INT32_MIN), 255);
        EXPECT_NE(segmentedLevel(c[0], c[1], c[2], INT32_MAX), 255);
    }
}

TEST_F(TrackingTest, SegmentingTwiceMakesEverythingBackground) {
    fillSlot(0, 3, 1, 0, 0, 255);
    uint8_t* work = usableWorkImage(0);
    work[3] = 0;  // a second colour in the middle pixel
    work[4] = 128;
    segmentByColour(0, kRed);
    EXPECT_EQ(work[0], 0);
    EXPECT_EQ(work[3], 52);
    segmentByColour(0, kRed);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(work[i], 255);
    EXPECT_EQ(cameraSlots[0].rawImage[2], 255);  // the raw copy is untouched
    EXPECT_EQ(cameraSlots[0].rawImage[0], 0);
}

TEST_F(TrackingTest, SegmentationUsesTheReferenceColourBytes) {
    // Pure green as reference: green pixels match, red ones are far off.
    EXPECT_EQ((fillSlot(0, 1, 1, 0, 200, 0), segmentByColour(0, 0x00FF00), usableWorkImage(0)[0]), 0);
    EXPECT_EQ((fillSlot(0, 1, 1, 0, 0, 200), segmentByColour(0, 0x00FF00), usableWorkImage(0)[0]), 255);
    segmentByColour(1, kRed);  // no image in slot 1: nothing happens
}

// --- speck filter and centroid -----------------------------------------------------

TEST_F(TrackingTest, SpeckFilterClearsSpecksLinesAndBlockCorners) {
    drawMask({".......",
              ".###...",
              ".###.#.",
              ".###...",
              ".......",
              ".####..",
              "......."});
    removeSpecks(0, 1);
    EXPECT_EQ(readMask(), (std::vector<std::string>{".......",
                                                    "..#....",
                                                    ".###...",
                                                    "..#....",
                                                    ".......",
                                                    ".......",
                                                    "......."}));
}

TEST_F(TrackingTest, SpeckFilterWorksInPlaceInScanOrder) {
    drawMask({".....",
              ".###.",
              ".###.",
              "....."});
    removeSpecks(0, 1);
    EXPECT_EQ(readMask(), (std::vector<std::string>{".....",
                                                    ".....",
                                                    "..#..",
                                                    "....."}));
}

TEST_F(TrackingTest, SpeckFilterKeepsBorderPixelsAndCentroidCountsThem) {
    drawMask({"#....",
              ".....",
              "....#",
              "#...."});
    removeSpecks(0, 5);
    EXPECT_EQ(readMask(), (std::vector<std::string>{"#....", ".....", "....#", "#...."}));
    const ImagePoint c = findCentroid(0);
    EXPECT_EQ(c.x, 4 / 3);      // (0 + 4 + 0) / 3
    EXPECT_EQ(c.y, (3 + 1) / 3);  // (3 + 1 + 0) / 3
}

TEST_F(TrackingTest, SpeckFilterNeverCreatesForegroundAndDoesNothingWithZeroPasses) {
    drawMask({"###", "#.#", "###"});
    removeSpecks(0, 0);
    removeSpecks(0, -2);
    removeSpecks(0, 1);
    EXPECT_EQ(readMask(), (std::vector<std::string>{"###", "#.#", "###"}));
    removeSpecks(1, 1);  // no image
}

TEST_F(TrackingTest, CentroidTruncatesAndUsesRowsFromTheBottom) {
    drawMask({"......",
              "...#..",
              "......",
              ".....#"});
    const ImagePoint c = findCentroid(0);
    EXPECT_EQ(c.x, 4);  // (3 + 5) / 2
    EXPECT_EQ(c.y, 1);  // (2 + 0) / 2
    drawMask({"...", "..."});
    EXPECT_EQ(findCentroid(0).x, 0);
    EXPECT_EQ(findCentroid(0).y, 0);
    EXPECT_EQ(findCentroid(1).x, 0);  // no image
}

TEST_F(TrackingTest, CentroidOfALargeMostlyRedFrameDoesNotOverflow) {
    // 4096x2160 all foreground: the column sum is about 1.8e10, far beyond
    // 32 bits.
    fillSlot(0, 4096, 2160, 0, 0, 255);
    segmentByColour(0, kRed);
    const ImagePoint c = findCentroid(0);
    EXPECT_EQ(c.x, 2047);  // (0 + ... + 4095) / 4096 = 2047.5
    EXPECT_EQ(c.y, 1079);
}

}  // namespace
