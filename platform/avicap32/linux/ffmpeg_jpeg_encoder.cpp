// JPEG frames for the recorder, with FFmpeg's MJPEG encoder.
#include "platform/avicap32/jpeg_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace standin {

namespace {

constexpr int kQuality = 3;  // FFmpeg's quantiser scale: 2 is best, 31 worst

class FfmpegJpegEncoder : public JpegEncoder {
public:
    ~FfmpegJpegEncoder() override {
        sws_freeContext(scale_);
        av_packet_free(&packet_);
        av_frame_free(&yuv_);
        avcodec_free_context(&codec_);
    }

    bool open(int width, int height, std::string& error) {
        // Full-range YUV is what JPEG holds; FFmpeg warns that the name of
        // the format is old, which is not for the user's eyes.
        if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
        width_ = width;
        height_ = height;
        const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        if (encoder == nullptr || (codec_ = avcodec_alloc_context3(encoder)) == nullptr) {
            error = "FFmpeg has no MJPEG encoder";
            return false;
        }
        codec_->width = width;
        codec_->height = height;
        codec_->pix_fmt = AV_PIX_FMT_YUVJ420P;
        codec_->time_base = AVRational{1, 25};
        codec_->flags |= AV_CODEC_FLAG_QSCALE;
        codec_->global_quality = FF_QP2LAMBDA * kQuality;
        yuv_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        scale_ = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUVJ420P, SWS_BILINEAR,
                                nullptr, nullptr, nullptr);
        if (avcodec_open2(codec_, encoder, nullptr) < 0 || yuv_ == nullptr || packet_ == nullptr ||
            scale_ == nullptr) {
            error = "cannot start FFmpeg's MJPEG encoder";
            return false;
        }
        yuv_->format = AV_PIX_FMT_YUVJ420P;
        yuv_->width = width;
        yuv_->height = height;
        if (av_frame_get_buffer(yuv_, 0) < 0) {
            error = "out of memory";
            return false;
        }
        return true;
    }

    bool encode(const uint8_t* frame, std::vector<uint8_t>& jpeg, std::string& error) override {
        if (av_frame_make_writable(yuv_) < 0) {
            error = "out of memory";
            return false;
        }
        // The picture's top row is the frame's last.
        const int stride = width_ * 3;
        const uint8_t* src[4] = {frame + size_t(height_ - 1) * size_t(stride), nullptr, nullptr, nullptr};
        const int srcStride[4] = {-stride, 0, 0, 0};
        sws_scale(scale_, src, srcStride, 0, height_, yuv_->data, yuv_->linesize);
        yuv_->quality = codec_->global_quality;
        yuv_->pts = pts_++;
        if (avcodec_send_frame(codec_, yuv_) < 0 || avcodec_receive_packet(codec_, packet_) < 0) {
            error = "FFmpeg's MJPEG encoder failed";
            return false;
        }
        jpeg.assign(packet_->data, packet_->data + packet_->size);
        av_packet_unref(packet_);
        return true;
    }

private:
    int width_ = 0, height_ = 0;
    int64_t pts_ = 0;
    AVCodecContext* codec_ = nullptr;
    AVFrame* yuv_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scale_ = nullptr;
};

}  // namespace

std::unique_ptr<JpegEncoder> makeJpegEncoder(int width, int height, std::string& error) {
    auto encoder = std::make_unique<FfmpegJpegEncoder>();
    if (!encoder->open(width, height, error)) return nullptr;
    return encoder;
}

}  // namespace standin
