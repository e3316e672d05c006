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
#include "platform/avicap32/playback_clock.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace standin {

class RecordedFile : public CameraDevice {
public:
    // Null on failure, with the reason in error.
    // The file plays on the given clock, which the other file of its pair shares.
    static std::unique_ptr<RecordedFile> open(const std::string& path, std::shared_ptr<PlaybackClock> clock,
                                              std::string& error);
    ~RecordedFile() override;
    RecordedFile(const RecordedFile&) = delete;
    RecordedFile& operator=(const RecordedFile&) = delete;

    int width() const override { return frameWidth_; }
    int height() const override { return height_; }
    // e.g. "640x480 at 25 fps, 250 frames"
    std::string description() const override { return description_; }

    // The frame the file shows now on its clock, its last frame once it has
    // ended until the pair's next lap; NoNewFrame while that is still the
    // frame of the last grab.
    GrabResult grab(uint8_t* frame) override;

private:
    explicit RecordedFile(std::string path) : path_(std::move(path)) {}
    bool decodeNext();  // the next frame of the file into frame_; false at its end
    bool rewind();      // back to the start, with the first frame in frame_
    void convert(uint8_t* out);
    static int interrupted(void* self);  // FFmpeg's interrupt callback: past readUntil_

    std::string path_;
    std::string description_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVFrame* frame_ = nullptr;  // the newest frame decoded; kept when the file ends
    AVFrame* next_ = nullptr;   // what the decoder gives, moved into frame_ when it is a frame
    AVPacket* packet_ = nullptr;
    SwsContext* scale_ = nullptr;
    int stream_ = -1;
    int cameraWidth_ = 0, frameWidth_ = 0, height_ = 0;
    double fps_ = 25.0;
    std::shared_ptr<PlaybackClock> clock_;
    int member_ = -1;       // this file's id on the clock
    uint64_t lap_ = 0;      // the clock's lap that decoded_ counts in
    bool atEnd_ = false;    // the file has ended in this lap
    bool broken_ = false;   // not a frame from its start any more: lost
    bool shownFresh_ = false;  // the frame last delivered is the one in frame_
    bool saidOtherSize_ = false;  // frames of another size were skipped, and said once
    int64_t decoded_ = -1;  // the frame of the lap now in frame_
    std::chrono::steady_clock::time_point readUntil_{};  // reads give up after this
};

}  // namespace standin
