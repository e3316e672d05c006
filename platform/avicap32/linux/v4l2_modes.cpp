#include "platform/avicap32/linux/v4l2_modes.h"

#include <libv4l2.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>

namespace standin {
namespace v4l2 {

uint32_t deviceCaps(const v4l2_capability& cap) {
    return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
}

int xioctl(int fd, unsigned long request, void* arg) {
    int result;
    do {
        result = v4l2_ioctl(fd, request, arg);
    } while (result == -1 && errno == EINTR);
    return result;
}

bool isMjpeg(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG; }


uint32_t currentFps(int fd) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_G_PARM, &parm) != 0 || (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) == 0) return 0;
    const v4l2_fract f = parm.parm.capture.timeperframe;
    return f.numerator > 0 ? (f.denominator + f.numerator / 2) / f.numerator : 0;
}

int frameTimeoutMs(int fd) {
    const uint32_t fps = currentFps(fd);
    return std::clamp(fps > 0 ? int(1000 / fps) : 40, 10, 100);
}

bool offersNatively(int fd, uint32_t fourcc, uint32_t width, uint32_t height) {
    bool listed = false;
    for (uint32_t i = 0; i < 64 && !listed; ++i) {
        v4l2_fmtdesc desc{};
        desc.index = i;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_ENUM_FMT, &desc) != 0) break;
        listed = desc.pixelformat == fourcc && (desc.flags & V4L2_FMT_FLAG_EMULATED) == 0;
    }
    if (!listed) return false;
    for (uint32_t i = 0; i < 256; ++i) {
        v4l2_frmsizeenum size{};
        size.index = i;
        size.pixel_format = fourcc;
        if (xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) return i == 0;  // sizes not listed: trust the format
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            if (size.discrete.width == width && size.discrete.height == height) return true;
        } else {
            const v4l2_frmsize_stepwise& s = size.stepwise;
            return width >= s.min_width && width <= s.max_width && height >= s.min_height && height <= s.max_height;
        }
    }
    return false;
}

bool closestSizeToVga(int fd, uint32_t& width, uint32_t& height) {
    long long best = -1;
    for (uint32_t i = 0; i < 64; ++i) {
        v4l2_fmtdesc desc{};
        desc.index = i;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_ENUM_FMT, &desc) != 0) break;
        if ((desc.flags & V4L2_FMT_FLAG_EMULATED) != 0 ||
            (desc.pixelformat != V4L2_PIX_FMT_YUYV && !isMjpeg(desc.pixelformat)))
            continue;
        for (uint32_t k = 0; k < 256; ++k) {
            v4l2_frmsizeenum size{};
            size.index = k;
            size.pixel_format = desc.pixelformat;
            if (xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0 || size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
            const long long dw = (long long)size.discrete.width - 640, dh = (long long)size.discrete.height - 480;
            if (size.discrete.width < 4 || (best >= 0 && dw * dw + dh * dh >= best)) continue;
            best = dw * dw + dh * dh;
            width = size.discrete.width;
            height = size.discrete.height;
        }
    }
    return best >= 0;
}

std::vector<Mode> smallerModes(int fd, uint32_t fourcc, uint32_t width, uint32_t height, uint32_t fps,
                               bool sizeFixed) {
    std::vector<Mode> modes;
    for (uint32_t i = 0; i < 64; ++i) {
        v4l2_frmivalenum ival{};
        ival.index = i;
        ival.pixel_format = fourcc;
        ival.width = width;
        ival.height = height;
        if (xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) != 0 || ival.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
        const v4l2_fract f = ival.discrete;
        const uint32_t rate = f.numerator > 0 ? (f.denominator + f.numerator / 2) / f.numerator : 0;
        if (rate > 0 && (fps == 0 || rate < fps)) modes.push_back(Mode{width, height, rate});
    }
    std::sort(modes.begin(), modes.end(), [](const Mode& a, const Mode& b) { return a.fps > b.fps; });
    if (sizeFixed) return modes;
    std::vector<Mode> sizes;
    for (uint32_t i = 0; i < 256; ++i) {
        v4l2_frmsizeenum size{};
        size.index = i;
        size.pixel_format = fourcc;
        if (xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0 || size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
        const uint64_t area = uint64_t(size.discrete.width) * size.discrete.height;
        if (area < uint64_t(width) * height && size.discrete.width >= 4)
            sizes.push_back(Mode{size.discrete.width, size.discrete.height, 0});
    }
    std::sort(sizes.begin(), sizes.end(),
              [](const Mode& a, const Mode& b) { return uint64_t(a.width) * a.height > uint64_t(b.width) * b.height; });
    modes.insert(modes.end(), sizes.begin(), sizes.end());
    return modes;
}

}  // namespace v4l2
}  // namespace standin
