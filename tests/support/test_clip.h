// Short video clips for tests of recorded footage: an uncompressed AVI
// (24-bit BGR frames) showing a red ball of the given radius at one position
// per frame in front of a plain grey-blue wall. Written by hand, so that
// tests need no encoder.
#pragma once

#include <string>
#include <vector>

namespace test_clip {

struct BallAt {
    int x, y;  // centre; x from the left, y from the top row
};

// One frame per entry of balls, at fps frames a second. False when the file
// cannot be written.
bool writeBallClip(const std::string& path, int width, int height, int fps, int radius,
                   const std::vector<BallAt>& balls);

}  // namespace test_clip
