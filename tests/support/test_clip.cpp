#include "tests/support/test_clip.h"

#include <cstdint>
#include <utility>

#include "tests/support/avi_clip.h"

namespace test_clip {

bool writeBallClip(const std::string& path, int width, int height, int fps, int radius,
                   const std::vector<BallAt>& balls) {
    if (width <= 0 || height <= 0) return false;
    std::vector<std::vector<uint8_t>> frames;
    frames.reserve(balls.size());
    for (const BallAt& ball : balls) {
        std::vector<uint8_t> frame;
        frame.reserve(size_t(width) * 3 * size_t(height));
        for (int row = height - 1; row >= 0; --row) {  // bottom row first
            for (int x = 0; x < width; ++x) {
                const long dx = x - ball.x, dy = row - ball.y;
                const bool red = dx * dx + dy * dy <= long(radius) * radius;
                frame.push_back(red ? 30 : uint8_t(150 + (x / 8 + row / 8) % 2 * 20));
                frame.push_back(red ? 30 : 130);
                frame.push_back(red ? 220 : 110);
            }
        }
        frames.push_back(std::move(frame));
    }
    return testsupport::writeAviClip(path, testsupport::AviPixels::Bgr24, width, height, fps, frames);
}

}  // namespace test_clip
