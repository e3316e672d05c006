// A JPEG encoder for the recorder (frame_recorder.h), one per platform:
// FFmpeg's libavcodec on Linux (linux/ffmpeg_jpeg_encoder.cpp), the Windows
// Imaging Component on Windows (windows/wic_jpeg_encoder.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace standin {

class JpegEncoder {
public:
    virtual ~JpegEncoder() = default;

    // Encodes one frame of the size the encoder was made for (24-bit
    // blue-green-red, rows packed, bottom row first) into jpeg, which it
    // replaces. False on failure, with the reason in error.
    virtual bool encode(const uint8_t* frame, std::vector<uint8_t>& jpeg, std::string& error) = 0;
};

// Made and used on one thread (the recorder's own). Null on failure, with
// the reason in error.
std::unique_ptr<JpegEncoder> makeJpegEncoder(int width, int height, std::string& error);

}  // namespace standin
