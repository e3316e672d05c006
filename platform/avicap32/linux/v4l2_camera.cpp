#include "platform/avicap32/linux/v4l2_camera.h"

#include "platform/avicap32/linux/v4l2_modes.h"

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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace standin {

namespace {

using Clock = std::chrono::steady_clock;
using namespace v4l2;

constexpr uint32_t kBufferCount = 4;
constexpr int kMaxDrain = 64;  // buffers taken in one grab before giving up on "newest"
constexpr long kLargestYuyvArea = 640 * 480;  // above this MJPEG is preferred where offered
// How long a grab's driver calls may take beyond its wait for a frame
// before the driver is taken as hung.
constexpr auto kDriverAnswers = std::chrono::milliseconds(500);

// Devices whose driver hung in a grab's call: not opened again until that
// call has returned (and the camera that made it is destroyed).
std::mutex hungMutex;
std::set<std::string>& hungDevices() {
    static std::set<std::string> paths;  // under hungMutex
    return paths;
}
bool driverHangs(const std::string& path) {
    std::lock_guard<std::mutex> guard(hungMutex);
    return hungDevices().count(path) != 0;
}

std::string describeErrno(const std::string& path, const char* what) {
    return path + ": " + what + ": " + std::strerror(errno);
}

std::string fourccName(uint32_t fourcc) {
    if (fourcc == V4L2_PIX_FMT_BGR24) return "BGR24";
    std::string name;
    for (int i = 0; i < 4; ++i) name += char((fourcc >> (8 * i)) & 0xFF);
    return name == "YUYV" || name == "MJPG" ? (name == "MJPG" ? "MJPEG" : name) : name + " through libv4l2";
}

}  // namespace

std::unique_ptr<V4l2Camera> V4l2Camera::open(const std::string& path, std::string& error) {
    return openAtSize(path, 0, 0, error);
}

std::unique_ptr<V4l2Camera> V4l2Camera::openAtSize(const std::string& path, int cameraWidth, int height,
                                                   std::string& error) {
    std::unique_ptr<V4l2Camera> camera(new V4l2Camera(path));
    if (!camera->start(cameraWidth, height, error)) return nullptr;
    if (cameraWidth > 0 && (camera->cameraWidth_ != cameraWidth || camera->height_ != height)) {
        error = path + ": gives " + std::to_string(camera->cameraWidth_) + "x" + std::to_string(camera->height_) +
                ", not the " + std::to_string(cameraWidth) + "x" + std::to_string(height) + " it must";
        return nullptr;
    }
    return camera;
}

bool V4l2Camera::start(int wantWidth, int wantHeight, std::string& error) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        error = describeErrno(path_, "cannot open camera");
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        error = path_ + ": not a video device";
        return false;
    }
    fd_ = v4l2_open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = describeErrno(path_, "cannot open camera");
        return false;
    }
    auto failWith = [&](const std::string& why) {
        error = why;
        stop();
        return false;
    };

    v4l2_capability cap{};
    if (xioctl(fd_, VIDIOC_QUERYCAP, &cap) != 0) return failWith(path_ + ": not a video device");
    const uint32_t caps = deviceCaps(cap);
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & (V4L2_CAP_STREAMING | V4L2_CAP_READWRITE)) == 0)
        return failWith(path_ + ": does not capture video");

    // The size asked for (or the one it had when first opened, on a reopen);
    // otherwise the listed size closest to 640x480, or the camera's current
    // size when it lists none.
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_G_FMT, &fmt) != 0) return failWith(describeErrno(path_, "cannot read the video format"));
    uint32_t width = fmt.fmt.pix.width, height = fmt.fmt.pix.height;
    if (wantWidth > 0 && wantHeight > 0) {
        width = uint32_t(wantWidth);
        height = uint32_t(wantHeight);
    } else {
        closestSizeToVga(fd_, width, height);
    }

    // The camera's own YUYV or MJPEG where it offers them at that size (MJPEG
    // first for large frames: two such YUYV streams do not fit one USB 2 bus),
    // libv4l2's conversion to BGR24 otherwise.
    const bool mjpeg = (caps & V4L2_CAP_STREAMING) != 0 && offersNatively(fd_, V4L2_PIX_FMT_MJPEG, width, height);
    const bool yuyv = (caps & V4L2_CAP_STREAMING) != 0 && offersNatively(fd_, V4L2_PIX_FMT_YUYV, width, height);
    std::vector<uint32_t> choices;
    if (mjpeg && long(width) * long(height) > kLargestYuyvArea) choices.push_back(V4L2_PIX_FMT_MJPEG);
    if (yuyv) choices.push_back(V4L2_PIX_FMT_YUYV);
    if (mjpeg) choices.push_back(V4L2_PIX_FMT_MJPEG);
    choices.push_back(V4L2_PIX_FMT_BGR24);
    bool set = false, busy = false;
    for (uint32_t fourcc : choices) {
        v4l2_format want = fmt;
        want.fmt.pix.pixelformat = fourcc;
        want.fmt.pix.width = width;
        want.fmt.pix.height = height;
        want.fmt.pix.field = V4L2_FIELD_ANY;
        want.fmt.pix.bytesperline = 0;
        want.fmt.pix.sizeimage = 0;
        const int result = xioctl(fd_, VIDIOC_S_FMT, &want);
        busy = busy || (result != 0 && errno == EBUSY);
        if (result == 0 && want.fmt.pix.pixelformat == fourcc &&
            (wantWidth <= 0 || (want.fmt.pix.width == width && want.fmt.pix.height == height))) {
            fmt = want;
            fourcc_ = fourcc;
            set = true;
            break;
        }
    }
    if (!set && busy) return failWith(path_ + ": camera busy (another program, or named twice, is using it)");
    if (!set) return failWith(path_ + ": cannot deliver 24-bit BGR frames");
    width = fmt.fmt.pix.width;
    height = fmt.fmt.pix.height;
    if (width < 4 || height < 1 || width > uint32_t(kMaxDimension) || height > uint32_t(kMaxDimension))
        return failWith(path_ + ": unusable frame size " + std::to_string(width) + "x" + std::to_string(height));

    auto takeFormat = [&](const v4l2_format& f) {
        cameraWidth_ = int(f.fmt.pix.width);
        height_ = int(f.fmt.pix.height);
        frameWidth_ = bottomUpFrameWidth(cameraWidth_);
        const size_t pixelBytes = fourcc_ == V4L2_PIX_FMT_YUYV ? 2 : isMjpeg(fourcc_) ? 0 : 3;
        bytesPerLine_ = std::max<size_t>(f.fmt.pix.bytesperline, size_t(cameraWidth_) * pixelBytes);
        cameraFrameBytes_ = pixelBytes == 0 ? 1 : bytesPerLine_ * size_t(height_ - 1) + size_t(cameraWidth_) * pixelBytes;
    };
    takeFormat(fmt);

    bool streaming = false;
    if ((caps & V4L2_CAP_STREAMING) != 0) {
        streaming = startStreaming(error);
        if (!streaming && errno == ENOSPC) {
            // Not enough bandwidth on the bus: step down until a stream fits.
            const uint32_t fps = currentFps(fd_);
            for (const Mode& mode : smallerModes(fd_, fourcc_, width, height, fps, wantWidth > 0)) {
                unmapBuffers();
                v4l2_format smaller = fmt;
                smaller.fmt.pix.width = mode.width;
                smaller.fmt.pix.height = mode.height;
                smaller.fmt.pix.bytesperline = 0;
                smaller.fmt.pix.sizeimage = 0;
                if (xioctl(fd_, VIDIOC_S_FMT, &smaller) != 0 || smaller.fmt.pix.pixelformat != fourcc_) continue;
                if (mode.fps > 0) {
                    v4l2_streamparm parm{};
                    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                    parm.parm.capture.timeperframe = v4l2_fract{1, mode.fps};
                    xioctl(fd_, VIDIOC_S_PARM, &parm);
                }
                takeFormat(smaller);
                if (startStreaming(error)) {
                    std::fprintf(stderr, "%s: not enough USB bandwidth for %ux%u at %u fps; using %dx%d at %u fps\n",
                                 path_.c_str(), width, height, fps, cameraWidth_, height_, currentFps(fd_));
                    streaming = true;
                    break;
                }
                if (errno != ENOSPC) break;
            }
        }
        if (!streaming && (caps & V4L2_CAP_READWRITE) == 0) {
            if (error.empty()) error = describeErrno(path_, "cannot start streaming");
            stop();
            return false;
        }
    }
    if (!streaming) {
        if (fourcc_ != V4L2_PIX_FMT_BGR24) return failWith(path_ + ": cannot start streaming");
        readBuffer_.resize(std::max<size_t>(fmt.fmt.pix.sizeimage, bytesPerLine_ * size_t(height_)));
    }
    timeoutMs_ = frameTimeoutMs(fd_);
    const uint32_t fps = currentFps(fd_);
    frameIntervalMs_ = fps > 0 ? int(1000 / fps) : 40;
    lastFrameAt_ = Clock::time_point{};
    description_ = std::to_string(cameraWidth_) + "x" + std::to_string(height_) + " " + fourccName(fourcc_) +
                   (fps > 0 ? " at " + std::to_string(fps) + " fps" : "") +
                   (frameWidth_ != cameraWidth_ ? ", right edge cropped to " + std::to_string(frameWidth_) + "x" +
                                                      std::to_string(height_)
                                                : "") +
                   " (" +
                   std::string(reinterpret_cast<const char*>(cap.card),
                               strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card)) +
                   ")";
    error.clear();
    return true;
}

bool V4l2Camera::startStreaming(std::string& error) {
    v4l2_requestbuffers req{};
    req.count = kBufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_REQBUFS, &req) != 0 || req.count == 0) {
        error = describeErrno(path_, "cannot start streaming");
        return false;
    }
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(fd_, VIDIOC_QUERYBUF, &buf) != 0 || buf.length < cameraFrameBytes_) {
            error = path_ + ": cannot start streaming: buffers too small";
            unmapBuffers();
            errno = EINVAL;
            return false;
        }
        void* start = v4l2_mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buf.m.offset);
        if (start == MAP_FAILED) {
            error = describeErrno(path_, "cannot map the camera's buffers");
            unmapBuffers();
            return false;
        }
        buffers_.push_back(Buffer{start, buf.length});
    }
    for (uint32_t i = 0; i < buffers_.size(); ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(fd_, VIDIOC_QBUF, &buf) != 0) {
            error = describeErrno(path_, "cannot start streaming");
            unmapBuffers();
            return false;
        }
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_STREAMON, &type) != 0) {
        const int why = errno;
        error = describeErrno(path_, "cannot start streaming");
        unmapBuffers();
        errno = why;
        return false;
    }
    streaming_ = true;
    return true;
}

// Gives the buffers back to the driver (after stopping the stream).
void V4l2Camera::unmapBuffers() {
    const int saved = errno;
    if (fd_ >= 0 && streaming_) {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        xioctl(fd_, VIDIOC_STREAMOFF, &type);
    }
    streaming_ = false;
    for (const Buffer& b : buffers_) v4l2_munmap(b.start, b.length);
    if (!buffers_.empty() && fd_ >= 0) {
        v4l2_requestbuffers req{};
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        xioctl(fd_, VIDIOC_REQBUFS, &req);
    }
    buffers_.clear();
    errno = saved;
}

void V4l2Camera::stop() {
    unmapBuffers();
    if (fd_ >= 0) v4l2_close(fd_);
    fd_ = -1;
}

V4l2Camera::~V4l2Camera() {
    driver_.finish();  // a hung call holds this thread (retired_cameras.h)
    if (driverHung_) {
        std::lock_guard<std::mutex> guard(hungMutex);
        hungDevices().erase(path_);
    }
    stop();
}

bool V4l2Camera::requeue(uint32_t index) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = index;
    return xioctl(fd_, VIDIOC_QBUF, &buf) == 0;
}

GrabResult V4l2Camera::grab(uint8_t* frame) {
    if (lost_) return GrabResult::Lost;
    if (frame == nullptr) return GrabResult::NoNewFrame;
    if (!streaming_) driverFrame_.resize(size_t(frameWidth_) * 3 * size_t(height_));
    const bool answered = driver_.run(
        [this] { driverResult_ = streaming_ ? dequeueNewest() : grabRead(driverFrame_.data()); },
        std::chrono::milliseconds(timeoutMs_) + kDriverAnswers);
    if (!answered) {
        std::fprintf(stderr, "%s: the driver does not answer; the camera is given up until it does\n",
                     path_.c_str());
        std::lock_guard<std::mutex> guard(hungMutex);
        driverHung_ = hungDevices().insert(path_).second;
        lost_ = true;
        return GrabResult::Lost;
    }
    // A lost camera is stopped and closed where it is destroyed: off the
    // window's thread (retired_cameras.h), as its driver may hang there.
    if (driverResult_ == GrabResult::Lost) lost_ = true;
    if (driverResult_ != GrabResult::NewFrame) return driverResult_;
    if (!streaming_) {
        std::copy(driverFrame_.begin(), driverFrame_.end(), frame);
        return GrabResult::NewFrame;
    }
    // The buffer is the program's until the next grab gives it back.
    const bool converted =
        convertCameraFrame(fourcc_, static_cast<const uint8_t*>(buffers_[heldIndex_].start), heldBytes_,
                           cameraWidth_, height_, bytesPerLine_, frameWidth_, frame, scratch_);
    return converted ? GrabResult::NewFrame : GrabResult::NoNewFrame;
}

// On the driver thread: gives back the buffer the last grab converted, then
// takes every filled buffer the driver holds and keeps only the newest
// usable one in held_; if none is there yet, waits for one once. Dequeues
// only what poll says is there, so that an empty queue costs nothing.
GrabResult V4l2Camera::dequeueNewest() {
    if (holding_) {
        holding_ = false;
        if (!requeue(heldIndex_)) return GrabResult::Lost;
    }
    bool haveLatest = false, lost = false;
    v4l2_buffer latest{};
    auto drain = [&]() {
        for (int n = 0; n < kMaxDrain; ++n) {
            pollfd pfd{fd_, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, 0);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                lost = ready < 0;
                return;
            }
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            if (xioctl(fd_, VIDIOC_DQBUF, &buf) != 0) {
                // EAGAIN: nothing after all; EIO: one lost frame. Anything
                // else (ENODEV after an unplug) means the camera is gone.
                lost = errno != EAGAIN && errno != EIO;
                return;
            }
            if (buf.index >= buffers_.size()) continue;  // a driver fault; that frame is lost
            const bool usable = (buf.flags & V4L2_BUF_FLAG_ERROR) == 0 && buf.bytesused > 0 &&
                                buf.bytesused <= buffers_[buf.index].length && buf.bytesused >= cameraFrameBytes_;
            if (!usable) {
                if (!requeue(buf.index)) lost = true;
                if (lost) return;
                continue;
            }
            if (haveLatest && !requeue(latest.index)) {
                lost = true;
                return;
            }
            latest = buf;
            haveLatest = true;
        }
    };

    drain();
    if (!haveLatest && !lost) {
        // Wait for a frame only while one is due: a camera that is slower
        // than it said, or paused, costs the tick nothing.
        int waitMs = timeoutMs_;
        if (lastFrameAt_ != Clock::time_point{}) {
            const auto due = lastFrameAt_ + std::chrono::milliseconds(frameIntervalMs_ + 5) - Clock::now();
            waitMs = int(std::clamp<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(due).count(), 0,
                                               timeoutMs_));
        }
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, waitMs) != 0) drain();
    }
    if (lost) return GrabResult::Lost;
    if (!haveLatest) return GrabResult::NoNewFrame;
    lastFrameAt_ = Clock::now();
    heldIndex_ = latest.index;
    heldBytes_ = latest.bytesused;
    holding_ = true;
    return GrabResult::NewFrame;
}

// Without streaming: read() frames while they are there, keeping the last
// complete one; if none is there yet, waits for one once.
GrabResult V4l2Camera::grabRead(uint8_t* frame) {
    bool got = false, lost = false;
    auto readAll = [&]() {
        for (int n = 0; n < kMaxDrain; ++n) {
            const ssize_t count = v4l2_read(fd_, readBuffer_.data(), readBuffer_.size());
            if (count < 0) {
                lost = errno != EAGAIN && errno != EINTR && errno != EIO;
                return;
            }
            if (count == 0) return;
            got = convertCameraFrame(fourcc_, readBuffer_.data(), size_t(count), cameraWidth_, height_,
                                     bytesPerLine_, frameWidth_, frame, scratch_) ||
                  got;
        }
    };
    readAll();
    if (!got && !lost) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs_) > 0) readAll();
    }
    if (lost) return GrabResult::Lost;
    return got ? GrabResult::NewFrame : GrabResult::NoNewFrame;
}

CameraDevice::Reopen V4l2Camera::reopener() const {
    const std::string path = path_;
    const int cameraWidth = cameraWidth_, height = height_;
    return [path, cameraWidth, height](std::string& error) -> std::unique_ptr<CameraDevice> {
        struct stat st {};
        // Not back yet, or its driver still hangs (said when it began): nothing to say.
        if (::stat(path.c_str(), &st) != 0 || driverHangs(path)) return nullptr;
        return V4l2Camera::openAtSize(path, cameraWidth, height, error);
    };
}

}  // namespace standin
