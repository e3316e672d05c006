// Writes short AVI clips for tests: frames given as 24-bit blue-green-red,
// rows packed, bottom row first, stored either as they are (a bottom-up
// bitmap stream) or as YUY2 (BT.601 studio range, top row first); or frames
// given as whole JPEG files, of any size, stored as MJPEG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

enum class AviPixels { Bgr24, Yuy2, Jpeg };

// Every frame width * 3 * height bytes; bitmap rows are padded to a multiple
// of 4 bytes in the file, and YUY2 needs an even width. No frames gives an
// empty clip. False when the file cannot be written or the frames do not fit
// the size.
// Each frame lasts timeScale / framesPerSecond seconds (a huge timeScale
// makes the times of later frames overflow a reader's clock).
bool writeAviClip(const std::string& path, AviPixels pixels, int width, int height, int framesPerSecond,
                  const std::vector<std::vector<uint8_t>>& frames, uint32_t timeScale = 1);

}  // namespace testsupport
