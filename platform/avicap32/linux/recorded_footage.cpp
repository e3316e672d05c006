#include "platform/avicap32/linux/recorded_footage.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/avstring.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/avicap32/linux/v4l2_camera.h"

namespace standin {

namespace {

constexpr int kMaxDimension = 16384;
constexpr int64_t kMaxCatchUp = 50;  // frames decoded in one grab before the clock is reset

// What cameras and phones record, and nothing else: the demuxers (by
// FFmpeg's names) and the decoders that a file may reach.
constexpr const char* kFormats = "avi,mov,mp4,m4a,3gp,3g2,mj2,matroska,webm";
constexpr const char* kFormatNames = "AVI, MP4/MOV and Matroska/WebM";
constexpr const char* kCodecs = "mjpeg,h264,hevc,vp8,vp9,rawvideo";
constexpr AVCodecID kCodecIds[] = {AV_CODEC_ID_MJPEG, AV_CODEC_ID_H264, AV_CODEC_ID_HEVC,
                                   AV_CODEC_ID_VP8,   AV_CODEC_ID_VP9,  AV_CODEC_ID_RAWVIDEO};
constexpr const char* kCodecNames = "MJPEG, H.264, HEVC, VP8, VP9 and raw video";

// How long FFmpeg may read for: opening a file, and one grab.
constexpr int64_t kOpenMs = 2000;
constexpr int64_t kGrabMs = 200;

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Only a local regular file is read: not a URL, a pipe, a FIFO (whose open
// would wait for a writer) or a device. What it holds must be a container
// of the list; the name FFmpeg gives what it is otherwise goes in the error.
bool isPlayableFile(const std::string& path, std::string& error) {
    struct stat st {};
    if (path.find("://") != std::string::npos && ::stat(path.c_str(), &st) != 0) {
        error = path + ": not a local file; only files are played";
        return false;
    }
    if (::stat(path.c_str(), &st) != 0) {
        error = path + ": cannot open the video file: " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file (" +
                (S_ISFIFO(st.st_mode) ? "a FIFO" : S_ISDIR(st.st_mode) ? "a folder" : "a device or socket") +
                "); only files are played";
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot open the video file: " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> head(4096 + AVPROBE_PADDING_SIZE, 0);
    const ssize_t got = ::read(fd, head.data(), 4096);
    ::close(fd);
    AVProbeData probe{};
    probe.filename = path.c_str();
    probe.buf = head.data();
    probe.buf_size = got > 0 ? int(got) : 0;
    const AVInputFormat* format = av_probe_input_format(&probe, 1);
    if (format != nullptr && !av_match_list(format->name, kFormats, ',')) {
        error = path + ": " + (format->long_name != nullptr ? format->long_name : format->name) +
                ", not a video Kestrova plays (" + kFormatNames + ")";
        return false;
    }
    return true;
}

}  // namespace

int RecordedFile::interrupted(void* self) {
    const auto* file = static_cast<const RecordedFile*>(self);
    return std::chrono::steady_clock::now() > file->readUntil_ ? 1 : 0;
}

std::unique_ptr<RecordedFile> RecordedFile::open(const std::string& path, std::shared_ptr<PlaybackClock> clock,
                                                 std::string& error) {
    if (clock == nullptr) clock = std::make_shared<PlaybackClock>();
    // FFmpeg would log every damaged frame, once each time round the loop;
    // damaged frames are skipped, and a file that cannot be played is named
    // once, below.
    av_log_set_level(AV_LOG_FATAL);
    if (!isPlayableFile(path, error)) return nullptr;
    std::unique_ptr<RecordedFile> file(new RecordedFile(path));
    file->format_ = avformat_alloc_context();
    if (file->format_ == nullptr) {
        error = path + ": no memory to open the video file";
        return nullptr;
    }
    file->format_->interrupt_callback = AVIOInterruptCB{&RecordedFile::interrupted, file.get()};
    file->readUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kOpenMs);
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", kFormats, 0);
    av_dict_set(&options, "codec_whitelist", kCodecs, 0);
    int result = avformat_open_input(&file->format_, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {
        error = path + ": cannot open the video file: " + avError(result);
        return nullptr;
    }
    if ((result = avformat_find_stream_info(file->format_, nullptr)) < 0) {
        error = path + ": cannot read the video file: " + avError(result);
        return nullptr;
    }
    const AVCodec* decoder = nullptr;
    file->stream_ = av_find_best_stream(file->format_, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (file->stream_ < 0 || decoder == nullptr) {
        error = path + ": no video in the file that can be decoded";
        return nullptr;
    }
    const AVStream* stream = file->format_->streams[file->stream_];
    if (std::find(std::begin(kCodecIds), std::end(kCodecIds), stream->codecpar->codec_id) == std::end(kCodecIds)) {
        error = path + ": video in " + avcodec_get_name(stream->codecpar->codec_id) + ", not a video Kestrova plays (" +
                kCodecNames + ")";
        return nullptr;
    }
    file->codec_ = avcodec_alloc_context3(decoder);
    if (file->codec_ == nullptr || avcodec_parameters_to_context(file->codec_, stream->codecpar) < 0 ||
        (result = avcodec_open2(file->codec_, decoder, nullptr)) < 0) {
        error = path + ": cannot decode the video";
        return nullptr;
    }
    const int width = stream->codecpar->width, height = stream->codecpar->height;
    if (width < 4 || height < 1 || width > kMaxDimension || height > kMaxDimension) {
        error = path + ": unusable frame size " + std::to_string(width) + "x" + std::to_string(height);
        return nullptr;
    }
    file->cameraWidth_ = width;
    file->frameWidth_ = bottomUpFrameWidth(width);
    file->height_ = height;
    AVRational rate = stream->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
    if (rate.num > 0 && rate.den > 0 && av_q2d(rate) >= 0.1 && av_q2d(rate) <= 1000.0) file->fps_ = av_q2d(rate);
    file->frame_ = av_frame_alloc();
    file->next_ = av_frame_alloc();
    file->packet_ = av_packet_alloc();
    if (file->frame_ == nullptr || file->next_ == nullptr || file->packet_ == nullptr || !file->decodeNext()) {
        error = path + ": no frame in the file can be decoded";
        return nullptr;
    }
    file->decoded_ = 0;
    file->clock_ = std::move(clock);
    file->member_ = file->clock_->join();
    file->lap_ = file->clock_->lap();
    char fps[32];
    std::snprintf(fps, sizeof fps, "%.3g", file->fps_);
    file->description_ = std::to_string(width) + "x" + std::to_string(height) + " at " + fps + " fps, " +
                         avcodec_get_name(stream->codecpar->codec_id);
    return file;
}

RecordedFile::~RecordedFile() {
    if (clock_ != nullptr) clock_->leave(member_);
    sws_freeContext(scale_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    av_frame_free(&next_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
}

// Decodes the next frame of the file; false at its end.
bool RecordedFile::decodeNext() {
    for (;;) {
        const int received = avcodec_receive_frame(codec_, next_);
        if (received == 0) {
            if (next_->width != cameraWidth_ || next_->height != height_) {  // another size: skipped
                if (!saidOtherSize_)
                    std::fprintf(stderr, "%s: frames of %dx%d skipped: the file began at %dx%d\n", path_.c_str(),
                                 next_->width, next_->height, cameraWidth_, height_);
                saidOtherSize_ = true;
                continue;
            }
            av_frame_unref(frame_);
            av_frame_move_ref(frame_, next_);
            return true;
        }
        if (received != AVERROR(EAGAIN)) return false;  // the end, or a decoder that gives up
        const int read = av_read_frame(format_, packet_);
        if (read < 0) {
            avcodec_send_packet(codec_, nullptr);  // drain what the decoder holds
            continue;
        }
        if (packet_->stream_index == stream_) avcodec_send_packet(codec_, packet_);
        av_packet_unref(packet_);
    }
}

// False when the file gives no frame at all from its start.
bool RecordedFile::rewind() {
    av_seek_frame(format_, stream_, 0, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(codec_);
    return decodeNext();
}

void RecordedFile::convert(uint8_t* out) {
    scale_ = sws_getCachedContext(scale_, frameWidth_, height_, AVPixelFormat(frame_->format), frameWidth_, height_,
                                  AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr);
    if (scale_ == nullptr) return;
    // Bottom row first: start at the last row and step back.
    uint8_t* dst[4] = {out + size_t(height_ - 1) * size_t(frameWidth_) * 3, nullptr, nullptr, nullptr};
    const int dstStride[4] = {-frameWidth_ * 3, 0, 0, 0};
    sws_scale(scale_, frame_->data, frame_->linesize, 0, height_, dst, dstStride);
}

GrabResult RecordedFile::grab(uint8_t* frame) {
    if (frame == nullptr) return GrabResult::NoNewFrame;
    if (broken_) return GrabResult::Lost;
    // A read that takes longer (a file on a hung network share) ends the
    // file's lap there, as its end would, rather than holding the tick up.
    readUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGrabMs);
    const PlaybackClock::Position now = clock_->now(member_);
    if (now.lap != lap_) {  // the pair loops: every file starts again
        lap_ = now.lap;
        atEnd_ = false;
        shownFresh_ = false;
        decoded_ = 0;
        if (!rewind()) {
            broken_ = true;
            clock_->leave(member_);
            return GrabResult::Lost;
        }
    }
    if (!atEnd_) {
        // The frame whose time is nearest: ticks at the file's own rate then
        // show every frame once, a tick a little early or late alike.
        int64_t due = int64_t(std::floor(now.seconds * fps_ + 0.5));
        if (due - decoded_ > kMaxCatchUp) {  // far behind (the program was stopped): go on from here
            clock_->resumeAt(double(decoded_) / fps_);
            due = decoded_;
        }
        while (decoded_ < due) {
            if (!decodeNext()) {  // the last frame stays until the pair's next lap
                atEnd_ = true;
                clock_->ended(member_, lap_, double(decoded_ + 1) / fps_);
                break;
            }
            ++decoded_;
            shownFresh_ = false;
        }
    }
    if (shownFresh_) return GrabResult::NoNewFrame;
    convert(frame);
    shownFresh_ = true;
    return GrabResult::NewFrame;
}

std::unique_ptr<CameraDevice> openRecordedFootage(const std::string& path, std::shared_ptr<PlaybackClock> clock,
                                                  std::string& error) {
    return RecordedFile::open(path, std::move(clock), error);
}

}  // namespace standin
