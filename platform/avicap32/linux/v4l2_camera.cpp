#include "platform/avicap32/linux/v4l2_camera.h"

#include <dirent.h>
#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace standin {

namespace {

constexpr uint32_t kBufferCount = 4;
constexpr int kMaxDimension = 16384;
constexpr int kMaxDrain = 64;  // buffers taken in one grab before giving up on "newest"

int xioctl(int fd, unsigned long request, void* arg) {
    int result;
    do {
        result = v4l2_ioctl(fd, request, arg);
    } while (result == -1 && errno == EINTR);
    return result;
}

uint32_t deviceCaps(const v4l2_capability& cap) {
    return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
}

std::string describeErrno(const std::string& path, const char* what) {
    return path + ": " + what + ": " + std::strerror(errno);
}

// Wait for the next frame: about one frame interval, within sensible bounds
// so that a slow or stalled camera never holds the program up for long.
int frameTimeoutMs(int fd) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    int ms = 40;
    if (xioctl(fd, VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) != 0) {
        const v4l2_fract f = parm.parm.capture.timeperframe;
        if (f.numerator > 0 && f.denominator > 0) ms = int(std::min<uint64_t>(1000ull * f.numerator / f.denominator, 1000));
    }
    return std::clamp(ms, 10, 100);
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

std::unique_ptr<V4l2Camera> V4l2Camera::open(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = describeErrno(path, "cannot open camera");
        return nullptr;
    }
    if (!S_ISCHR(st.st_mode)) {
        error = path + ": not a video device";
        return nullptr;
    }

    std::unique_ptr<V4l2Camera> camera(new V4l2Camera);
    camera->fd_ = v4l2_open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (camera->fd_ < 0) {
        error = describeErrno(path, "cannot open camera");
        return nullptr;
    }
    const int fd = camera->fd_;

    v4l2_capability cap{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) {
        error = path + ": not a video device";
        return nullptr;
    }
    const uint32_t caps = deviceCaps(cap);
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & (V4L2_CAP_STREAMING | V4L2_CAP_READWRITE)) == 0) {
        error = path + ": does not capture video";
        return nullptr;
    }

    // Keep the camera's size; ask only for BGR24, which libv4l2 converts to.
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_G_FMT, &fmt) != 0) {
        error = describeErrno(path, "cannot read the video format");
        return nullptr;
    }
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    fmt.fmt.pix.bytesperline = 0;
    fmt.fmt.pix.sizeimage = 0;
    if (xioctl(fd, VIDIOC_S_FMT, &fmt) != 0 || fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_BGR24) {
        error = path + ": cannot deliver 24-bit BGR frames";
        return nullptr;
    }
    const uint32_t width = fmt.fmt.pix.width, height = fmt.fmt.pix.height;
    if (width < 4 || height < 1 || width > uint32_t(kMaxDimension) || height > uint32_t(kMaxDimension)) {
        error = path + ": unusable frame size " + std::to_string(width) + "x" + std::to_string(height);
        return nullptr;
    }
    camera->cameraWidth_ = int(width);
    camera->frameWidth_ = bottomUpFrameWidth(int(width));
    camera->height_ = int(height);
    camera->bytesPerLine_ = std::max<size_t>(fmt.fmt.pix.bytesperline, size_t(width) * 3);
    camera->cameraFrameBytes_ = camera->bytesPerLine_ * (height - 1) + size_t(width) * 3;
    camera->timeoutMs_ = frameTimeoutMs(fd);

    if ((caps & V4L2_CAP_STREAMING) != 0) {
        v4l2_requestbuffers req{};
        req.count = kBufferCount;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd, VIDIOC_REQBUFS, &req) == 0 && req.count > 0) {
            bool mapped = true;
            for (uint32_t i = 0; i < req.count && mapped; ++i) {
                v4l2_buffer buf{};
                buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                buf.memory = V4L2_MEMORY_MMAP;
                buf.index = i;
                if (xioctl(fd, VIDIOC_QUERYBUF, &buf) != 0 || buf.length < camera->cameraFrameBytes_) {
                    mapped = false;
                    break;
                }
                void* start = v4l2_mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buf.m.offset);
                if (start == MAP_FAILED) {
                    mapped = false;
                    break;
                }
                camera->buffers_.push_back(Buffer{start, buf.length});
            }
            for (uint32_t i = 0; i < camera->buffers_.size() && mapped; ++i) mapped = camera->requeue(i);
            v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (mapped && xioctl(fd, VIDIOC_STREAMON, &type) == 0) {
                camera->streaming_ = true;
                camera->gone_ = false;
                return camera;
            }
            for (const Buffer& b : camera->buffers_) v4l2_munmap(b.start, b.length);
            camera->buffers_.clear();
            camera->gone_ = false;
            req.count = 0;
            xioctl(fd, VIDIOC_REQBUFS, &req);
        }
    }
    if ((caps & V4L2_CAP_READWRITE) != 0) {
        camera->readBuffer_.resize(std::max<size_t>(fmt.fmt.pix.sizeimage, camera->bytesPerLine_ * height));
        return camera;
    }
    error = describeErrno(path, "cannot start streaming");
    return nullptr;
}

V4l2Camera::~V4l2Camera() {
    if (fd_ >= 0 && streaming_) {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        xioctl(fd_, VIDIOC_STREAMOFF, &type);
    }
    for (const Buffer& b : buffers_) v4l2_munmap(b.start, b.length);
    if (fd_ >= 0) v4l2_close(fd_);
}

void V4l2Camera::fail() { gone_ = true; }

bool V4l2Camera::requeue(uint32_t index) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = index;
    if (xioctl(fd_, VIDIOC_QBUF, &buf) == 0) return true;
    fail();  // a buffer that cannot go back would starve the stream
    return false;
}

bool V4l2Camera::grab(uint8_t* frame) {
    if (gone_ || frame == nullptr) return false;
    return streaming_ ? grabStreaming(frame) : grabRead(frame);
}

// Takes every filled buffer the driver holds and keeps only the newest; if
// none is there yet, waits for one once.
bool V4l2Camera::grabStreaming(uint8_t* frame) {
    bool haveLatest = false;
    v4l2_buffer latest{};
    auto drain = [&]() {
        for (int n = 0; n < kMaxDrain; ++n) {
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            if (xioctl(fd_, VIDIOC_DQBUF, &buf) != 0) {
                if (errno != EAGAIN && errno != EIO) fail();  // EIO: a lost frame, not a lost camera
                return;
            }
            if (buf.index >= buffers_.size()) {
                fail();
                return;
            }
            if (haveLatest && !requeue(latest.index)) return;
            latest = buf;
            haveLatest = true;
        }
    };

    drain();
    if (!haveLatest && !gone_) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs_) > 0) drain();
    }
    if (!haveLatest) return false;

    const bool complete = (latest.flags & V4L2_BUF_FLAG_ERROR) == 0 && latest.bytesused >= cameraFrameBytes_;
    if (complete) {
        convertTopDownToBottomUp(static_cast<const uint8_t*>(buffers_[latest.index].start), cameraWidth_, height_,
                                 bytesPerLine_, frameWidth_, frame);
    }
    return requeue(latest.index) && complete;
}

// Without streaming: read() frames while they are there, keeping the last
// complete one; if none is there yet, waits for one once.
bool V4l2Camera::grabRead(uint8_t* frame) {
    bool got = false;
    auto readAll = [&]() {
        for (int n = 0; n < kMaxDrain; ++n) {
            const ssize_t count = v4l2_read(fd_, readBuffer_.data(), readBuffer_.size());
            if (count < 0) {
                if (errno != EAGAIN && errno != EINTR && errno != EIO) fail();
                return;
            }
            if (count == 0) return;
            if (size_t(count) >= cameraFrameBytes_) {
                convertTopDownToBottomUp(readBuffer_.data(), cameraWidth_, height_, bytesPerLine_, frameWidth_,
                                         frame);
                got = true;
            }
        }
    };
    readAll();
    if (!got && !gone_) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs_) > 0) readAll();
    }
    return got;
}

std::vector<std::string> listV4l2CaptureDevices(const std::string& dir) {
    std::vector<std::pair<unsigned long, std::string>> found;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return {};
    while (const dirent* entry = ::readdir(d)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, "video", 5) != 0 || name[5] == '\0') continue;
        char* end = nullptr;
        const unsigned long number = std::strtoul(name + 5, &end, 10);
        if (*end != '\0' || name[5] < '0' || name[5] > '9') continue;
        found.emplace_back(number, dir + "/" + name);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());

    std::vector<std::string> devices;
    for (const auto& [number, path] : found) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        v4l2_capability cap{};
        int result;
        do {
            result = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
        } while (result == -1 && errno == EINTR);
        if (result == 0 && (deviceCaps(cap) & V4L2_CAP_VIDEO_CAPTURE) != 0) devices.push_back(path);
        ::close(fd);
    }
    return devices;
}

}  // namespace standin
