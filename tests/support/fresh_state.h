// The two camera slots and the tracker state as the program starts with them,
// for tests that touch the process-wide tracking records.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tracking/camera_slot.h"

// Frees both slots' images and puts slots and tracker back to their start.
inline void resetTrackingState() {
    resetCameraSlot(0);
    resetCameraSlot(1);
    resetTrackerState();
}

// Gives a slot its size and a frame in which every pixel is (b, g, r).
inline void fillSlot(int slot, int32_t width, int32_t height, uint8_t b, uint8_t g, uint8_t r) {
    cameraSlots[slot].width = width;
    cameraSlots[slot].height = height;
    std::vector<uint8_t> frame(size_t(width) * 3 * size_t(height));
    for (size_t i = 0; i < frame.size(); i += 3) {
        frame[i] = b;
        frame[i + 1] = g;
        frame[i + 2] = r;
    }
    acceptFrame(slot, frame.data(), uint32_t(frame.size()));
}

// A fixture whose tests start, and leave, with fresh slots and tracker.
class FreshStateTest : public ::testing::Test {
protected:
    void SetUp() override { resetTrackingState(); }
    void TearDown() override { resetTrackingState(); }
};
