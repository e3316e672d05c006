// A V4L2 camera's exposure and white balance, set as the user fixed them.
// Controls are addressed by id, never by name (names changed between
// kernels). UVC refuses a value (EACCES) while its automatic master is on,
// so the master is switched first. Where the camera has no white balance
// control, libv4l2 may offer a software one under the same id; it is not the
// camera's, and does not reach frames converted here, so it is said and
// left alone.
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/avicap32/linux/v4l2_camera.h"
#include "platform/avicap32/linux/v4l2_modes.h"

namespace standin {

namespace {

using v4l2::xioctl;

// The control id as libv4l2 answers for it (raw: as the device itself
// does), or false when there is none.
bool queryControl(int fd, uint32_t id, v4l2_queryctrl& q, bool raw = false) {
    std::memset(&q, 0, sizeof q);
    q.id = id;
    int result;
    do {
        result = raw ? ::ioctl(fd, VIDIOC_QUERYCTRL, &q) : v4l2_ioctl(fd, VIDIOC_QUERYCTRL, &q);
    } while (result == -1 && errno == EINTR);
    return result == 0 && (q.flags & V4L2_CTRL_FLAG_DISABLED) == 0;
}

bool offersMenuItem(int fd, uint32_t id, int64_t index) {
    v4l2_querymenu menu{};
    menu.id = id;
    menu.index = uint32_t(index);
    return xioctl(fd, VIDIOC_QUERYMENU, &menu) == 0;
}

std::string setControl(int fd, uint32_t id, int32_t value) {
    v4l2_control c{};
    c.id = id;
    c.value = value;
    return xioctl(fd, VIDIOC_S_CTRL, &c) == 0 ? std::string() : std::string(std::strerror(errno));
}

// A value control in the camera's units, unit of them to one of the
// setting's: sets the nearest step to value, reads back what it took.
std::function<std::string(double&)> valueSetter(int fd, const v4l2_queryctrl& q, double unit) {
    return [fd, q, unit](double& value) {
        const long long step = q.step > 0 ? q.step : 1;
        long long raw = std::llround(value * unit);
        raw = std::min<long long>(std::max<long long>(raw, q.minimum), q.maximum);
        raw = q.minimum + (raw - q.minimum + step / 2) / step * step;
        if (raw > q.maximum) raw -= step;
        const std::string why = setControl(fd, q.id, int32_t(raw));
        if (!why.empty()) return why;
        v4l2_control c{};
        c.id = q.id;
        value = double(xioctl(fd, VIDIOC_G_CTRL, &c) == 0 ? c.value : raw) / unit;
        return std::string();
    };
}

CameraControl exposureControl(int fd) {
    CameraControl control;
    control.name = "exposure";
    v4l2_queryctrl value{}, master{};
    if (queryControl(fd, V4L2_CID_EXPOSURE_ABSOLUTE, value)) {  // units of 100 us
        control.hasValue = true;
        control.min = value.minimum / 10.0;
        control.max = value.maximum / 10.0;
        control.setValue = valueSetter(fd, value, 10.0);
    }
    if (queryControl(fd, V4L2_CID_EXPOSURE_AUTO, master)) {
        // UVC offers aperture priority as its automatic mode; others full auto.
        const int64_t automatic = offersMenuItem(fd, master.id, V4L2_EXPOSURE_APERTURE_PRIORITY)
                                      ? int64_t(V4L2_EXPOSURE_APERTURE_PRIORITY)
                                      : int64_t(V4L2_EXPOSURE_AUTO);
        const bool manual = offersMenuItem(fd, master.id, V4L2_EXPOSURE_MANUAL);
        control.hasAuto = offersMenuItem(fd, master.id, automatic);
        control.setAuto = [fd, automatic, manual](bool on) {
            if (!on && !manual) return std::string("no manual exposure mode");
            return setControl(fd, V4L2_CID_EXPOSURE_AUTO, int32_t(on ? automatic : int64_t(V4L2_EXPOSURE_MANUAL)));
        };
    }
    return control;
}

CameraControl whiteBalanceControl(int fd) {
    CameraControl control;
    control.name = "white balance";
    v4l2_queryctrl value{}, master{};
    if (queryControl(fd, V4L2_CID_WHITE_BALANCE_TEMPERATURE, value)) {  // kelvin
        control.hasValue = true;
        control.min = value.minimum;
        control.max = value.maximum;
        control.setValue = valueSetter(fd, value, 1.0);
    }
    if (queryControl(fd, V4L2_CID_AUTO_WHITE_BALANCE, master)) {
        if (!queryControl(fd, V4L2_CID_AUTO_WHITE_BALANCE, master, true)) {
            control.note = "(libv4l2 offers a white balance in software, not the camera's: not used)";
        } else {
            control.hasAuto = true;
            control.setAuto = [fd](bool on) { return setControl(fd, V4L2_CID_AUTO_WHITE_BALANCE, on ? 1 : 0); };
        }
    }
    return control;
}

}  // namespace

SettingsOutcome V4l2Camera::applySettings(const CameraSettings& settings) {
    SettingsOutcome outcome;
    if (fd_ < 0) return settingsWithoutControls(settings, "camera lost");
    applyControl(settings.exposure, exposureControl(fd_), outcome);
    applyControl(settings.whiteBalance, whiteBalanceControl(fd_), outcome);
    dropFilledBuffers();
    return outcome;
}

// Hands the frames the driver has filled so far back to it unseen: they
// were taken before the settings.
void V4l2Camera::dropFilledBuffers() {
    lastFrameAt_ = std::chrono::steady_clock::time_point{};
    if (!streaming_) return;
    for (size_t n = 0; n < buffers_.size(); ++n) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0) return;
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd_, VIDIOC_DQBUF, &buf) != 0 || buf.index >= buffers_.size() || !requeue(buf.index)) return;
    }
}

}  // namespace standin
