// A camera that plays a recorded video file in a loop at the file's own
// frame rate, decoded with FFmpeg's libavformat and libavcodec, so that the
// tracker can be tuned on footage taken earlier.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/avicap32/camera_device.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace standin {

class RecordedFile : public CameraDevice {
public:
    // Null on failure, with the reason in error.
    static std::unique_ptr<RecordedFile> open(const std::string& path, std::string& error);
    ~RecordedFile() override;
    RecordedFile(const RecordedFile&) = delete;
    RecordedFile& operator=(const RecordedFile&) = delete;

    int width() const override { return frameWidth_; }
    int height() const override { return height_; }
    // e.g. "640x480 at 25 fps, 250 frames"
    std::string description() const override { return description_; }

    // The frame the file shows now, counted from the first grab and looping;
    // NoNewFrame while that is still the frame of the last grab.
    GrabResult grab(uint8_t* frame) override;

private:
    explicit RecordedFile(std::string path) : path_(std::move(path)) {}
    bool decodeNext();  // the next frame of the file into frame_, rewinding at its end
    void convert(uint8_t* out);

    std::string path_;
    std::string description_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scale_ = nullptr;
    int stream_ = -1;
    int cameraWidth_ = 0, frameWidth_ = 0, height_ = 0;
    double fps_ = 25.0;
    std::chrono::steady_clock::time_point start_{};
    bool started_ = false;
    int64_t shown_ = -1;    // playback frame number last delivered
    int64_t decoded_ = -1;  // playback frame number now in frame_
    bool rewound_ = false;  // no frame decoded since the last rewind
};

}  // namespace standin
