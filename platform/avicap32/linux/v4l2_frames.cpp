// What a V4L2 camera's frames become: YUYV, MJPEG and BGR24 frames turned
// into the capture windows' bottom-up BGR rows (declared in v4l2_camera.h).
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <jpeglib.h>
#include <linux/videodev2.h>
#include <setjmp.h>

#include <cstring>

#include "platform/avicap32/frame_conversion.h"
#include "platform/avicap32/linux/v4l2_camera.h"
#include "platform/avicap32/linux/v4l2_modes.h"

namespace standin {

namespace {

using v4l2::isMjpeg;
using v4l2::kMaxDimension;

// An MJPEG frame ends with the end-of-image marker, possibly followed by
// zero padding; anything else is a truncated frame. Returns its length, or 0.
size_t completeJpegLength(const uint8_t* data, size_t bytesUsed) {
    if (bytesUsed < 4 || data[0] != 0xFF || data[1] != 0xD8) return 0;
    size_t end = bytesUsed;
    while (end > 4 && data[end - 1] == 0) --end;
    return data[end - 2] == 0xFF && data[end - 1] == 0xD9 ? end : 0;
}

struct JpegErrors {
    jpeg_error_mgr base;
    jmp_buf failed;
};

void jpegFailed(j_common_ptr info) { longjmp(reinterpret_cast<JpegErrors*>(info->err)->failed, 1); }
void jpegQuiet(j_common_ptr) {}

// Decodes a complete JPEG of width x height into BGR rows, top row first,
// in out. False for anything libjpeg-turbo finds wrong, warnings included
// (corrupt data decodes to garbage, which must not reach the tracker).
bool decodeJpeg(const uint8_t* data, size_t length, int width, int height, std::vector<uint8_t>& out) {
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jpegFailed;
    errors.base.output_message = jpegQuiet;
    jpeg_create_decompress(&info);
    if (setjmp(errors.failed) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, data, static_cast<unsigned long>(length));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.image_width != JDIMENSION(width) ||
        info.image_height != JDIMENSION(height) || info.num_components != 3) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_EXT_BGR;
    // The fast integer IDCT and plain chroma upsampling (which libjpeg-turbo
    // merges with the colour conversion): about a third less time, and the
    // picture differs only in the low bits and at colour edges.
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&info);
    out.resize(size_t(width) * 3 * size_t(height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.data() + size_t(info.output_scanline) * size_t(width) * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    const bool clean = errors.base.num_warnings == 0;
    jpeg_destroy_decompress(&info);
    return clean;
}

}  // namespace

int bottomUpFrameWidth(int cameraWidth) { return cameraWidth < 4 ? 0 : cameraWidth - cameraWidth % 4; }

bool convertTopDownToBottomUp(const uint8_t* src, int srcWidth, int height, size_t srcStride, int dstWidth,
                              uint8_t* dst) {
    if (src == nullptr || dst == nullptr || srcWidth <= 0 || height <= 0 || dstWidth <= 0) return false;
    if (dstWidth > srcWidth || srcStride < size_t(srcWidth) * 3) return false;
    const size_t rowBytes = size_t(dstWidth) * 3;
    for (int y = 0; y < height; ++y) {
        std::memcpy(dst + size_t(height - 1 - y) * rowBytes, src + size_t(y) * srcStride, rowBytes);
    }
    return true;
}

bool convertCameraFrame(uint32_t fourcc, const uint8_t* data, size_t bytesUsed, int width, int height,
                        size_t bytesPerLine, int dstWidth, uint8_t* dst, std::vector<uint8_t>& scratch) {
    if (data == nullptr || dst == nullptr || width <= 0 || height <= 0 || width > kMaxDimension ||
        height > kMaxDimension || dstWidth <= 0 || dstWidth > width || dstWidth % 2 != 0)
        return false;
    if (fourcc == V4L2_PIX_FMT_YUYV) {
        if (bytesPerLine < size_t(width) * 2 || bytesUsed < bytesPerLine * size_t(height - 1) + size_t(width) * 2)
            return false;
        // The kept columns of each row, written bottom row first.
        const size_t dstRow = size_t(dstWidth) * 3;
        for (int r = 0; r < height; ++r)
            yuy2RowToBgr(data + size_t(r) * bytesPerLine, dstWidth, dst + size_t(height - 1 - r) * dstRow);
        return true;
    }
    if (isMjpeg(fourcc)) {
        const size_t length = completeJpegLength(data, bytesUsed);
        if (length == 0 || !decodeJpeg(data, length, width, height, scratch)) return false;
        return convertTopDownToBottomUp(scratch.data(), width, height, size_t(width) * 3, dstWidth, dst);
    }
    if (fourcc == V4L2_PIX_FMT_BGR24) {
        if (bytesPerLine < size_t(width) * 3 || bytesUsed < bytesPerLine * size_t(height - 1) + size_t(width) * 3)
            return false;
        return convertTopDownToBottomUp(data, width, height, bytesPerLine, dstWidth, dst);
    }
    return false;
}

}  // namespace standin
