// Conversions of camera and file frames into the frames the capture windows
// deliver: 24-bit blue-green-red, rows packed at width * 3 bytes, bottom row
// first. Plain C++, built on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace standin {

enum class PixelLayout {
    Bgr24,  // 3 bytes a pixel: blue, green, red
    Bgrx32,  // 4 bytes a pixel: blue, green, red, unused
    Yuy2,   // 4 bytes for two pixels: Y0 U Y1 V (BT.601, studio range)
    Nv12,   // a Y plane, then a plane of interleaved U V for each 2x2 block
};

// Converts one width x height frame (width a positive multiple of 4, height
// positive) whose rows lie `stride` bytes apart (at least the row's bytes;
// NV12's chroma plane follows the luma plane at height * stride), with row 0
// at the top of the picture when topDown, into out (width * 3 * height
// bytes, bottom row first). Returns false, writing nothing, when the
// arguments do not describe a frame of `size` bytes.
bool convertFrame(PixelLayout layout, const uint8_t* data, size_t size, size_t stride, bool topDown, int width,
                  int height, uint8_t* out);

// One pixel of BT.601 studio-range YUV into blue, green and red, with the
// usual 8-bit integer coefficients, rounded and clamped:
//   c = 298 (Y - 16), d = U - 128, e = V - 128
//   B = (c + 516 d + 128) >> 8, G = (c - 100 d - 208 e + 128) >> 8,
//   R = (c + 409 e + 128) >> 8, each clamped to 0..255.
inline void yuvToBgr(int y, int u, int v, uint8_t* bgr) {
    const auto clamp255 = [](int x) { return uint8_t(x < 0 ? 0 : x > 255 ? 255 : x); };
    const int c = 298 * (y - 16);
    const int d = u - 128;
    const int e = v - 128;
    bgr[0] = clamp255((c + 516 * d + 128) >> 8);
    bgr[1] = clamp255((c - 100 * d - 208 * e + 128) >> 8);
    bgr[2] = clamp255((c + 409 * e + 128) >> 8);
}

// One row of YUY2 (width pixels, width even) into width blue-green-red
// pixels, each exactly as yuvToBgr gives it: the one conversion of YUY2 that
// cameras and files go through on every platform (yuy2_rows.cpp).
void yuy2RowToBgr(const uint8_t* yuy2, int width, uint8_t* bgr);

// Bytes of one row of a width-pixel line of the layout, unpadded (for NV12:
// of a luma row).
size_t packedRowBytes(PixelLayout layout, int width);

}  // namespace standin
