// Encodes a picture as JPEG for the fake webcam, the frame conversion
// benchmark and the fuzzer: the MJPEG frames a webcam would send.
#pragma once

#include <cstdint>
#include <vector>

namespace testsupport {

// How the colour is sampled against brightness: 4:2:0 (libjpeg's default)
// or 4:2:2, as UVC webcams send it.
enum class JpegChroma { Yuv420, Yuv422 };

// rgb: width * height pixels, top row first, 3 bytes each (red, green, blue).
std::vector<uint8_t> encodeJpeg(const uint8_t* rgb, int width, int height, int quality, JpegChroma chroma);

}  // namespace testsupport
