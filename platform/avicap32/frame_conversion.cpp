// Frame conversions into bottom-up packed BGR (YUY2 rows: yuy2_rows.cpp).
#include "platform/avicap32/frame_conversion.h"

#include <cstring>

namespace standin {

size_t packedRowBytes(PixelLayout layout, int width) {
    switch (layout) {
        case PixelLayout::Bgr24: return size_t(width) * 3;
        case PixelLayout::Bgrx32: return size_t(width) * 4;
        case PixelLayout::Yuy2: return size_t(width) * 2;
        case PixelLayout::Nv12: return size_t(width);
    }
    return 0;
}

bool convertFrame(PixelLayout layout, const uint8_t* data, size_t size, size_t stride, bool topDown, int width,
                  int height, uint8_t* out) {
    if (data == nullptr || out == nullptr || width <= 0 || width % 4 != 0 || height <= 0) return false;
    if (layout == PixelLayout::Nv12 && height % 2 != 0) return false;
    const size_t rowBytes = packedRowBytes(layout, width);
    if (stride < rowBytes || stride > size) return false;
    // Rows in the buffer: the picture's, plus NV12's half-height chroma plane.
    const size_t rows = layout == PixelLayout::Nv12 ? size_t(height) + size_t(height) / 2 : size_t(height);
    if (size / stride < rows - 1 || size - (rows - 1) * stride < rowBytes) return false;

    const size_t outRow = size_t(width) * 3;
    for (int r = 0; r < height; ++r) {
        // Row r counted from the top of the picture.
        const size_t sourceRow = topDown ? size_t(r) : size_t(height - 1 - r);
        const uint8_t* in = data + sourceRow * stride;
        uint8_t* o = out + size_t(height - 1 - r) * outRow;
        switch (layout) {
            case PixelLayout::Bgr24:
                std::memcpy(o, in, outRow);
                break;
            case PixelLayout::Bgrx32:
                for (int x = 0; x < width; ++x, in += 4, o += 3) {
                    o[0] = in[0];
                    o[1] = in[1];
                    o[2] = in[2];
                }
                break;
            case PixelLayout::Yuy2:
                yuy2RowToBgr(in, width, o);
                break;
            case PixelLayout::Nv12: {
                const size_t chromaRow = topDown ? size_t(r) / 2 : size_t(height - 1 - r) / 2;
                const uint8_t* uv = data + (size_t(height) + chromaRow) * stride;
                for (int x = 0; x < width; x += 2, in += 2, uv += 2, o += 6) {
                    yuvToBgr(in[0], uv[0], uv[1], o);
                    yuvToBgr(in[1], uv[0], uv[1], o + 3);
                }
                break;
            }
        }
    }
    return true;
}

}  // namespace standin
