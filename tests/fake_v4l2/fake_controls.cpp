// A fake webcam's exposure and white balance, as UVC has them: exposure a
// menu (manual 1, aperture priority 3) over a time in units of 100 us, white
// balance a switch over a temperature in kelvin. A value is refused (EACCES)
// while its automatic master is on; a replugged camera has its defaults.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "tests/fake_v4l2/fake_camera.h"

namespace fake_v4l2 {

namespace {

struct Control {
    uint32_t id, master;  // master: the automatic switch that locks it, or 0
    const char* name;
    int32_t min, max, step, def, manual;  // manual: the master's value that frees its value
};
const Control kControls[] = {
    {V4L2_CID_AUTO_WHITE_BALANCE, 0, "White Balance, Automatic", 0, 1, 1, 1, 0},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE, "White Balance Temperature", 2800, 6500, 10, 4600, 0},
    {V4L2_CID_EXPOSURE_AUTO, 0, "Auto Exposure", 1, 3, 2, 3, V4L2_EXPOSURE_MANUAL},  // a menu of 1 and 3
    {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE_AUTO, "Exposure Time, Absolute", 3, 2047, 1, 156, 0},
};

const Control* find(const CameraConfig& config, uint32_t id) {
    for (const Control& c : kControls) {
        const bool exposure = V4L2_CTRL_ID2CLASS(c.id) == V4L2_CTRL_CLASS_CAMERA;
        if (c.id == id && config.controls.find(exposure ? "exposure" : "whitebalance") != std::string::npos) return &c;
    }
    return nullptr;
}

}  // namespace

void resetControls(Controls& controls) {
    for (const Control& c : kControls) controls.values[c.id] = c.def;
    controls.driftFrom = std::chrono::steady_clock::now();
}

int controlIoctl(Controls& controls, const CameraConfig& config, unsigned long request, void* arg) {
    const Control* c = find(config, *static_cast<uint32_t*>(arg));  // each of these requests starts with the id
    auto fail = [](int error) { return errno = error, -1; };
    if (c == nullptr) return fail(EINVAL);
    auto* control = static_cast<v4l2_control*>(arg);
    switch (request) {
        case VIDIOC_QUERYMENU: {
            const int32_t i = int32_t(static_cast<v4l2_querymenu*>(arg)->index);
            return i >= c->min && i <= c->max && (i - c->min) % c->step == 0 ? 0 : fail(EINVAL);
        }
        case VIDIOC_QUERYCTRL: {
            auto* q = static_cast<v4l2_queryctrl*>(arg);
            *q = v4l2_queryctrl{c->id, c->id == V4L2_CID_EXPOSURE_AUTO ? V4L2_CTRL_TYPE_MENU : V4L2_CTRL_TYPE_INTEGER,
                                {}, c->min, c->max, c->step, c->def, 0, {}};
            std::snprintf(reinterpret_cast<char*>(q->name), sizeof q->name, "%s", c->name);
            return 0;
        }
        case VIDIOC_G_CTRL:
            control->value = controls.values[c->id];
            return 0;
    }
    const Control* master = c->master != 0 ? find(config, c->master) : nullptr;
    if (master != nullptr && controls.values[master->id] != master->manual) return fail(EACCES);
    const int32_t value = c->min + (std::clamp(control->value, c->min, c->max) - c->min) / c->step * c->step;
    if (c->id == V4L2_CID_AUTO_WHITE_BALANCE && value != 0 && controls.values[c->id] == 0)
        controls.driftFrom = std::chrono::steady_clock::now();
    controls.values[c->id] = control->value = value;
    record(config, "set " + std::string(c->name) + " " + std::to_string(value));
    return 0;
}

int pictureTemperature(Controls& controls, const CameraConfig& config) {
    if (config.controls.find("whitebalance") == std::string::npos) return 0;
    if (controls.values[V4L2_CID_AUTO_WHITE_BALANCE] == 0) return controls.values[V4L2_CID_WHITE_BALANCE_TEMPERATURE];
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - controls.driftFrom).count();
    return std::max(1500, 4600 - int(60.0 * seconds * config.awbSpeed));  // 60 K a second of drift
}

void record(const CameraConfig& config, const std::string& line) {
    using SyscallFn = long (*)(long, ...);  // the real one: open() and the like are the fake's own
    static const auto sys = reinterpret_cast<SyscallFn>(dlsym(RTLD_NEXT, "syscall"));
    const std::string text = config.path + " " + line + "\n";
    const long fd = config.record.empty() ? -1 : sys(SYS_openat, long(AT_FDCWD), long(config.record.c_str()),
                                                     long(O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC), 0644L);
    if (fd >= 0) sys(SYS_write, fd, long(text.data()), long(text.size())), sys(SYS_close, fd);
}

}  // namespace fake_v4l2
