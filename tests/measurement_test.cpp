#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "measurement/distance.h"
#include "tests/support/fresh_state.h"
#include "tracking/camera_slot.h"

namespace {

class DistanceTest : public FreshStateTest {
protected:
    void SetUp() override {
        FreshStateTest::SetUp();
        cameraSlots[0].width = 320;
        cameraSlots[1].width = 320;
    }

    static std::string distanceFor(ImagePoint p0, ImagePoint p1) {
        tracker.averagedPoints[0] = p0;
        tracker.averagedPoints[1] = p1;
        char text[64];
        std::snprintf(text, sizeof text, "%f", double(estimateDistance()));
        return text;
    }
};

TEST_F(DistanceTest, DisparitiesAt320PixelsPrintedWithSixDecimals) {
    EXPECT_EQ(distanceFor({160, 120}, {120, 118}), "2.088273");
    EXPECT_EQ(distanceFor({160, 120}, {140, 118}), "4.176545");
    EXPECT_EQ(distanceFor({160, 120}, {80, 118}), "1.044136");
    EXPECT_EQ(distanceFor({160, 120}, {159, 118}), "83.530907");
    EXPECT_EQ(distanceFor({120, 1}, {160, 1}), "2.088273");  // either side further left
}

TEST_F(DistanceTest, NoEstimateWithoutTargetOrDisparity) {
    EXPECT_EQ(estimateDistance(), -1.0f);  // before the first report
    EXPECT_EQ(distanceFor({0, 0}, {100, 50}), "-1.000000");
    EXPECT_EQ(distanceFor({100, 50}, {0, 0}), "-1.000000");
    EXPECT_EQ(distanceFor({100, 50}, {100, 7}), "-1.000000");
    EXPECT_EQ(distanceFor({0, 7}, {40, 7}), "2.088273");  // (0, 7) is a target
}

TEST_F(DistanceTest, MeanWidthOfDifferentCameras) {
    cameraSlots[1].width = 0;  // one camera missing: half the focal length
    EXPECT_EQ(distanceFor({160, 120}, {140, 118}), "2.088273");
    cameraSlots[0].width = INT32_MAX;
    cameraSlots[1].width = INT32_MAX;
    tracker.averagedPoints[0] = {INT32_MIN, 1};
    tracker.averagedPoints[1] = {INT32_MAX, 1};
    EXPECT_GT(estimateDistance(), 0.0f);  // no overflow on extreme values
}

}  // namespace
