// The two camera slots and the tracker state as the program starts with them,
// for tests that touch the process-wide tracking records.
#pragma once

#include <gtest/gtest.h>

#include "tracking/camera_slot.h"

// Frees both slots' images and puts slots and tracker back to their start.
inline void resetTrackingState() {
    resetCameraSlot(0);
    resetCameraSlot(1);
    resetTrackerState();
}

// A fixture whose tests start, and leave, with fresh slots and tracker.
class FreshStateTest : public ::testing::Test {
protected:
    void SetUp() override { resetTrackingState(); }
    void TearDown() override { resetTrackingState(); }
};
