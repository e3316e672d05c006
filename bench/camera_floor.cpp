// The floor of the whole-program benchmark (bench/whole_program.sh): the
// least any program must spend to see two webcams. Every 40 ms it takes the
// newest frame of each camera (V4L2 streaming through libv4l2) and turns it
// into BGR rows, and does nothing else: no analysis, no painting.
//
//   camera_floor mjpeg|yuyv WIDTHxHEIGHT DEVICE...
//
// MJPEG is decoded with the settings the program's own decoder uses (libjpeg-
// turbo, BGR out, fast integer IDCT, plain chroma upsampling); YUYV goes
// through libyuv's fastest route, a row at a time to ARGB and on to RGB24
// (BGR in memory). Runs until SIGINT or SIGTERM; prints how many frames it
// converted to standard error on the way out.
//
// Built as camera_opencv_peer (KESTROVA_BENCH_OPENCV), it also finds the red
// ball in each frame it converts the way OpenCV programs usually do, on one
// thread: HSV, red as two hue ranges, a 3x3 opening, the centroid from the
// moments (as analysis_bench's BM_TickOpenCV).
#include <fcntl.h>
#include <libv4l2.h>
#include <libyuv.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <cstring>
#include <jpeglib.h>
#include <setjmp.h>
#include <string>
#include <vector>

#ifdef KESTROVA_BENCH_OPENCV
#include "bench/opencv_peer.h"
#endif

namespace {

constexpr long kTickNs = 40 * 1000 * 1000;
constexpr unsigned kBufferCount = 4;

volatile sig_atomic_t stopping = 0;
void onStop(int) { stopping = 1; }

struct Camera {
    std::string path;
    int fd = -1;
    std::vector<std::pair<void*, size_t>> buffers;
    std::vector<uint8_t> bgr;
    long converted = 0;
#ifdef KESTROVA_BENCH_OPENCV
    cv::Point ball;
#endif
};

int xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do r = v4l2_ioctl(fd, request, arg);
    while (r == -1 && errno == EINTR);
    return r;
}

bool fail(const Camera& c, const char* what) {
    std::fprintf(stderr, "%s: %s: %s\n", c.path.c_str(), what, std::strerror(errno));
    return false;
}

bool start(Camera& c, uint32_t fourcc, uint32_t width, uint32_t height) {
    c.fd = v4l2_open(c.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (c.fd < 0) return fail(c, "cannot open");
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.pixelformat = fourcc;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(c.fd, VIDIOC_S_FMT, &fmt) != 0) return fail(c, "cannot set the format");
    if (fmt.fmt.pix.pixelformat != fourcc || fmt.fmt.pix.width != width || fmt.fmt.pix.height != height) {
        std::fprintf(stderr, "%s: does not give that format and size\n", c.path.c_str());
        return false;
    }
    v4l2_requestbuffers req{};
    req.count = kBufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(c.fd, VIDIOC_REQBUFS, &req) != 0 || req.count == 0) return fail(c, "cannot get buffers");
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(c.fd, VIDIOC_QUERYBUF, &buf) != 0) return fail(c, "cannot query a buffer");
        void* at = v4l2_mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, c.fd, buf.m.offset);
        if (at == MAP_FAILED) return fail(c, "cannot map a buffer");
        c.buffers.emplace_back(at, buf.length);
        if (xioctl(c.fd, VIDIOC_QBUF, &buf) != 0) return fail(c, "cannot queue a buffer");
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(c.fd, VIDIOC_STREAMON, &type) != 0) return fail(c, "cannot stream");
    c.bgr.resize(size_t(width) * height * 3);
    return true;
}

struct JpegErrors {
    jpeg_error_mgr base;
    jmp_buf failed;
};
void jpegFailed(j_common_ptr info) { longjmp(reinterpret_cast<JpegErrors*>(info->err)->failed, 1); }

bool decodeMjpeg(const uint8_t* data, size_t length, uint32_t width, uint8_t* bgr) {
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jpegFailed;
    jpeg_create_decompress(&info);
    if (setjmp(errors.failed) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, data, static_cast<unsigned long>(length));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_BGR;
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = bgr + size_t(info.output_scanline) * width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

void convertYuyv(const uint8_t* data, uint32_t width, uint32_t height, uint32_t stride, uint8_t* bgr,
                 std::vector<uint8_t>& argb) {
    argb.resize(size_t(width) * 4);
    for (uint32_t y = 0; y < height; ++y) {
        libyuv::YUY2ToARGB(data + size_t(y) * stride, int(stride), argb.data(), int(width) * 4, int(width), 1);
        libyuv::ARGBToRGB24(argb.data(), int(width) * 4, bgr + size_t(y) * width * 3, int(width) * 3, int(width), 1);
    }
}


// Takes every filled buffer, converts the newest, gives them all back. Asks
// poll first, as libv4l2 complains of every dequeue that finds nothing.
void takeNewest(Camera& c, bool mjpeg, uint32_t width, uint32_t height, std::vector<uint8_t>& argb) {
    v4l2_buffer latest{};
    bool have = false;
    for (;;) {
        pollfd ready{c.fd, POLLIN, 0};
        if (poll(&ready, 1, 0) != 1) break;
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (xioctl(c.fd, VIDIOC_DQBUF, &buf) != 0) break;
        if (have) xioctl(c.fd, VIDIOC_QBUF, &latest);
        latest = buf;
        have = true;
    }
    if (!have) return;
    const auto* data = static_cast<const uint8_t*>(c.buffers[latest.index].first);
    bool converted = true;
    if (mjpeg) {
        converted = decodeMjpeg(data, latest.bytesused, width, c.bgr.data());
    } else {
        convertYuyv(data, width, height, width * 2, c.bgr.data(), argb);
    }
    xioctl(c.fd, VIDIOC_QBUF, &latest);
    if (!converted) return;
    ++c.converted;
#ifdef KESTROVA_BENCH_OPENCV
    c.ball = findBallWithOpenCv(cv::Mat(int(height), int(width), CV_8UC3, c.bgr.data()));
#endif
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t width = 0, height = 0;
    if (argc < 4 || (std::strcmp(argv[1], "mjpeg") != 0 && std::strcmp(argv[1], "yuyv") != 0) ||
        std::sscanf(argv[2], "%ux%u", &width, &height) != 2 || width == 0 || height == 0) {
        std::fprintf(stderr, "usage: camera_floor mjpeg|yuyv WIDTHxHEIGHT DEVICE...\n");
        return 2;
    }
    const bool mjpeg = std::strcmp(argv[1], "mjpeg") == 0;
#ifdef KESTROVA_BENCH_OPENCV
    cv::setNumThreads(1);
#endif
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
    std::vector<Camera> cameras(size_t(argc - 3));
    for (size_t i = 0; i < cameras.size(); ++i) {
        cameras[i].path = argv[i + 3];
        if (!start(cameras[i], mjpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV, width, height)) return 1;
    }
    std::vector<uint8_t> argb;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (stopping == 0) {
        next.tv_nsec += kTickNs;
        if (next.tv_nsec >= 1000000000L) next.tv_nsec -= 1000000000L, ++next.tv_sec;
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) != 0) continue;
        for (Camera& c : cameras) takeNewest(c, mjpeg, width, height, argb);
    }
    for (const Camera& c : cameras) {
        std::fprintf(stderr, "%s: %ld frames\n", c.path.c_str(), c.converted);
#ifdef KESTROVA_BENCH_OPENCV
        std::fprintf(stderr, "%s: ball at %d %d\n", c.path.c_str(), c.ball.x, c.ball.y);
#endif
    }
    return 0;
}
