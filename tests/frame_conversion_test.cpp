// Conversions of camera frames into bottom-up packed BGR: row order, padded
// rows, YUV colours, and buffers that do not hold the frame they claim.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/avicap32/frame_conversion.h"

namespace {

using standin::PixelLayout;
using standin::convertFrame;

TEST(FrameConversion, RowsLandBottomUpWhateverTheSourceOrderAndPadding) {
    // 4x2 frames, the top row's pixels (1, 2, 3), the bottom row's (4, 5, 6);
    // rows padded to 16 (RGB24) and 20 (RGB32) bytes.
    for (bool topDown : {true, false}) {
        std::vector<uint8_t> rgb24(32, 0xEE), rgb32(40, 0xEE);
        for (int r = 0; r < 2; ++r) {
            const int stored = topDown ? r : 1 - r;  // r counts from the top
            for (int x = 0; x < 4; ++x) {
                for (int c = 0; c < 3; ++c) {
                    rgb24[size_t(stored * 16 + x * 3 + c)] = uint8_t(r * 3 + c + 1);
                    rgb32[size_t(stored * 20 + x * 4 + c)] = uint8_t(r * 3 + c + 1);
                }
            }
        }
        for (auto [layout, data, stride] : {std::make_tuple(PixelLayout::Bgr24, &rgb24, 16),
                                            std::make_tuple(PixelLayout::Bgrx32, &rgb32, 20)}) {
            std::vector<uint8_t> out(24, 0);
            ASSERT_TRUE(convertFrame(layout, data->data(), data->size(), size_t(stride), topDown, 4, 2, out.data()));
            for (int x = 0; x < 4; ++x) {
                EXPECT_EQ(out[size_t(x * 3)], 4) << topDown;       // bottom row first
                EXPECT_EQ(out[size_t(12 + x * 3 + 2)], 3) << topDown;  // top row last
            }
        }
    }
}

TEST(FrameConversion, YuvColoursOfBt601StudioRange) {
    // YUY2, one row of 4 pixels: red, red, mid grey, mid grey.
    const uint8_t yuy2[] = {81, 90, 81, 240, 126, 128, 126, 128};
    std::vector<uint8_t> out(12, 0);
    ASSERT_TRUE(convertFrame(PixelLayout::Yuy2, yuy2, sizeof yuy2, 8, true, 4, 1, out.data()));
    const std::vector<uint8_t> expected = {0, 0, 255, 0, 0, 255, 128, 128, 128, 128, 128, 128};
    EXPECT_EQ(out, expected);

    // NV12, 4x2: white above black on the left, chroma neutral; a blue
    // block on the right.
    const uint8_t nv12[] = {235, 235, 41, 41, 16, 16, 41, 41, 128, 128, 240, 110};
    std::vector<uint8_t> picture(24, 0);
    ASSERT_TRUE(convertFrame(PixelLayout::Nv12, nv12, sizeof nv12, 4, true, 4, 2, picture.data()));
    EXPECT_EQ(picture[12], 255);  // top-left, last row of the output: white
    EXPECT_EQ(picture[0], 0);     // bottom-left: black
    EXPECT_EQ(picture[6 + 0], 255);  // bottom-right: blue
    EXPECT_EQ(picture[6 + 2], 0);
}

// The vector paths against the plain formula, for every (Y, U, V): a row
// of 306 pixels is 288 for AVX2 (where the processor has it), then 16 for
// SSE2 and 2 for the plain path; its Y values run through every value.
TEST(FrameConversion, EveryYuy2ColourIsTheFormulasOnEveryPath) {
    constexpr int kWidth = 306;
    std::vector<uint8_t> yuy2(2 * kWidth), bgr(3 * kWidth);
    const auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            const auto luma = [&](int x) { return (7 * x + u + 3 * v) & 255; };
            for (int x = 0; x < kWidth; x += 2) {
                const uint8_t pair[4] = {uint8_t(luma(x)), uint8_t(u), uint8_t(luma(x + 1)), uint8_t(v)};
                std::copy(pair, pair + 4, &yuy2[size_t(2 * x)]);
            }
            standin::yuy2RowToBgr(yuy2.data(), kWidth, bgr.data());
            for (int x = 0; x < kWidth; ++x) {
                const int c = 298 * (luma(x) - 16), d = u - 128, e = v - 128;
                const uint8_t* p = &bgr[size_t(3 * x)];
                if (p[0] != clamp((c + 516 * d + 128) >> 8) || p[1] != clamp((c - 100 * d - 208 * e + 128) >> 8) ||
                    p[2] != clamp((c + 409 * e + 128) >> 8))
                    FAIL() << "x " << x << " Y " << luma(x) << " U " << u << " V " << v;
            }
        }
    }
}

TEST(FrameConversion, RefusesBuffersThatDoNotHoldTheFrame) {
    std::vector<uint8_t> data(64, 0), out(48, 0x77);
    EXPECT_FALSE(convertFrame(PixelLayout::Bgr24, data.data(), 23, 12, true, 4, 2, out.data()));  // short
    EXPECT_FALSE(convertFrame(PixelLayout::Bgr24, data.data(), 64, 11, true, 4, 2, out.data()));  // narrow rows
    EXPECT_FALSE(convertFrame(PixelLayout::Bgr24, data.data(), 64, 18, true, 6, 2, out.data()));  // width
    EXPECT_FALSE(convertFrame(PixelLayout::Nv12, data.data(), 8, 4, true, 4, 2, out.data()));     // no chroma
    EXPECT_FALSE(convertFrame(PixelLayout::Nv12, data.data(), 64, 4, true, 4, 3, out.data()));    // odd height
    EXPECT_FALSE(convertFrame(PixelLayout::Yuy2, nullptr, 64, 8, true, 4, 2, out.data()));
    for (uint8_t b : out) ASSERT_EQ(b, 0x77);
}

}  // namespace
