// Fuzzes the conversion of camera frames (YUYV, MJPEG, BGR24) to the bottom-up
// BGR rows the capture windows hand over: odd sizes and strides, frames that
// claim fewer bytes than they need, and JPEG data that is truncated, patched
// or of another size than the camera said. A frame that is refused must
// leave the destination untouched; the sanitizers watch every write.
//
// Input: kind u8 % 3 (0 YUYV, 1 MJPEG, 2 BGR24); width 1 + u8 % 96; height
// 1 + u8 % 64; extra stride bytes u8 % 16; destination width u8 % (width + 2);
// bytes used u16 (capped at what the buffer holds). YUYV and BGR24: the rest
// is tiled over the frame. MJPEG: a JPEG of (width + u8 % 2) x height is made
// from the rest, then patched by (offset u16, xor u8) triplets and cut at
// bytes used.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/videodev2.h>
#include <vector>

#include "platform/avicap32/linux/v4l2_camera.h"
#include "tests/support/jpeg_frame.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size, at = 0;
    uint8_t u8() { return at < size ? data[at++] : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
};

std::vector<uint8_t> makeJpeg(int width, int height, Input& in) {
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = in.at < in.size ? in.data[in.at + i % (in.size - in.at)] : uint8_t(i);
    return testsupport::encodeJpeg(rgb.data(), width, height, 75, testsupport::JpegChroma::Yuv420);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const int kind = in.u8() % 3;
    const int width = 1 + in.u8() % 96;
    const int height = 1 + in.u8() % 64;
    const uint32_t fourcc = kind == 0 ? V4L2_PIX_FMT_YUYV : kind == 1 ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_BGR24;
    const size_t bytesPerLine = size_t(width) * (kind == 2 ? 3 : 2) + in.u8() % 16;
    const int dstWidth = in.u8() % (width + 2);
    const size_t claimed = in.u16();

    std::vector<uint8_t> frame;
    if (kind == 1) {
        const int jpegWidth = width + in.u8() % 2;
        const size_t patches = in.u8() % 8;
        std::vector<std::pair<uint16_t, uint8_t>> patch;
        for (size_t i = 0; i < patches; ++i) {
            const uint16_t offset = in.u16();
            patch.emplace_back(offset, in.u8());
        }
        frame = makeJpeg(jpegWidth, height, in);
        for (const auto& [offset, value] : patch) frame[offset % frame.size()] ^= value;
    } else {
        frame.resize(bytesPerLine * size_t(height));
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = in.at < size ? data[in.at + i % (size - in.at)] : 0x80;
    }
    const size_t bytesUsed = claimed == 0 ? frame.size() : std::min(claimed, frame.size());
    // The frame alone in its own allocation, so that a read past it is caught.
    std::vector<uint8_t> exact(frame.begin(), frame.begin() + long(bytesUsed));

    const size_t dstBytes = size_t(dstWidth) * 3 * size_t(height);
    std::vector<uint8_t> dst(dstBytes, 0x5A);
    std::vector<uint8_t> scratch;
    const bool converted = standin::convertCameraFrame(fourcc, exact.empty() ? nullptr : exact.data(), exact.size(),
                                                        width, height, bytesPerLine, dstWidth,
                                                        dst.empty() ? nullptr : dst.data(), scratch);
    if (!converted) {
        for (uint8_t b : dst) {
            if (b != 0x5A) {
                std::fprintf(stderr, "a refused frame changed the destination\n");
                std::abort();
            }
        }
    }
    return 0;
}
