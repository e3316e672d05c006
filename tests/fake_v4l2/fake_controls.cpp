// As UVC does it: exposure is a menu (manual 1, aperture priority 3) over an
// absolute time in units of 100 us; white balance an on/off switch over a
// temperature in kelvin. A value control refuses to be set (EACCES) while
// its automatic master is on. An unplugged camera comes back with its
// defaults.
#include "tests/fake_v4l2/fake_controls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fake_v4l2 {

namespace {

struct Range {
    uint32_t id;
    const char* name;
    uint32_t type;
    int32_t min, max, step, def;
    int32_t Controls::*value;
    bool whiteBalance;  // else exposure
};

const Range kControls[] = {  // in order of id, as V4L2_CTRL_FLAG_NEXT_CTRL lists them
    {V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1,
     &Controls::autoWhiteBalance, true},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, "White Balance Temperature", V4L2_CTRL_TYPE_INTEGER, 2800, 6500, 10, 4600,
     &Controls::temperature, true},
    {V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", V4L2_CTRL_TYPE_MENU, 0, 3, 1, 3, &Controls::exposureAuto, false},
    {V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", V4L2_CTRL_TYPE_INTEGER, 3, 2047, 1, 156,
     &Controls::exposure, false},
};

bool has(const CameraConfig& config, const Range& r) {
    return config.controls.find(r.whiteBalance ? "whitebalance" : "exposure") != std::string::npos;
}

const Range* find(const CameraConfig& config, uint32_t id) {
    for (const Range& r : kControls)
        if (r.id == id && has(config, r)) return &r;
    return nullptr;
}

int fail(int error) {
    errno = error;
    return -1;
}

// A dependent value is refused while its master is automatic.
bool locked(const Controls& c, const Range& r) {
    if (r.id == V4L2_CID_EXPOSURE_ABSOLUTE) return c.exposureAuto != V4L2_EXPOSURE_MANUAL;
    if (r.id == V4L2_CID_WHITE_BALANCE_TEMPERATURE) return c.autoWhiteBalance != 0;
    return false;
}

}  // namespace

void resetControls(Controls& controls) {
    controls = Controls();
    controls.driftFrom = std::chrono::steady_clock::now();
}

int controlIoctl(Controls& controls, const CameraConfig& config, unsigned long request, void* arg) {
    switch (request) {
        case VIDIOC_QUERYCTRL: {
            auto* q = static_cast<v4l2_queryctrl*>(arg);
            const Range* r = nullptr;
            if ((q->id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0) {
                const uint32_t after = q->id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
                for (const Range& candidate : kControls)
                    if (r == nullptr && candidate.id > after && has(config, candidate)) r = &candidate;
            } else {
                r = find(config, q->id);
            }
            if (r == nullptr) return fail(EINVAL);
            std::memset(q, 0, sizeof *q);
            q->id = r->id;
            q->type = r->type;
            std::snprintf(reinterpret_cast<char*>(q->name), sizeof q->name, "%s", r->name);
            q->minimum = r->min;
            q->maximum = r->max;
            q->step = r->step;
            q->default_value = r->def;
            q->flags = locked(controls, *r) ? V4L2_CTRL_FLAG_INACTIVE : 0;
            return 0;
        }
        case VIDIOC_QUERYMENU: {
            auto* m = static_cast<v4l2_querymenu*>(arg);
            if (find(config, m->id) == nullptr || m->id != V4L2_CID_EXPOSURE_AUTO ||
                (m->index != V4L2_EXPOSURE_MANUAL && m->index != V4L2_EXPOSURE_APERTURE_PRIORITY))
                return fail(EINVAL);
            const uint32_t id = m->id, index = m->index;
            std::memset(m, 0, sizeof *m);
            m->id = id;
            m->index = index;
            std::snprintf(reinterpret_cast<char*>(m->name), sizeof m->name, "%s",
                          index == V4L2_EXPOSURE_MANUAL ? "Manual Mode" : "Aperture Priority Mode");
            return 0;
        }
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            const Range* r = find(config, c->id);
            if (r == nullptr) return fail(EINVAL);
            if (request == VIDIOC_G_CTRL) {
                c->value = controls.*(r->value);
                return 0;
            }
            if (locked(controls, *r)) return fail(EACCES);
            int32_t value = std::clamp(c->value, r->min, r->max);
            value = r->min + (value - r->min) / r->step * r->step;
            if (r->id == V4L2_CID_EXPOSURE_AUTO && value != V4L2_EXPOSURE_MANUAL &&
                value != V4L2_EXPOSURE_APERTURE_PRIORITY)
                return fail(EINVAL);
            if (r->id == V4L2_CID_AUTO_WHITE_BALANCE && value != 0 && controls.autoWhiteBalance == 0)
                controls.driftFrom = std::chrono::steady_clock::now();
            controls.*(r->value) = value;
            c->value = value;
            char line[96];
            std::snprintf(line, sizeof line, "set %s %d", r->name, value);
            record(config, line);
            return 0;
        }
        default:
            return fail(EINVAL);
    }
}

int pictureTemperature(const Controls& controls, const CameraConfig& config) {
    if (config.controls.find("whitebalance") == std::string::npos) return 0;
    if (controls.autoWhiteBalance == 0) return controls.temperature;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - controls.driftFrom).count() * config.awbSpeed;
    return std::max(1500, 4600 - int(60.0 * seconds));  // 60 K a second
}

void record(const CameraConfig& config, const char* line) {
    if (config.record.empty()) return;
    using SyscallFn = long (*)(long, ...);
    static const SyscallFn sys = reinterpret_cast<SyscallFn>(dlsym(RTLD_NEXT, "syscall"));
    const long fd = sys(SYS_openat, long(AT_FDCWD), long(config.record.c_str()),
                        long(O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC), 0644L);
    if (fd < 0) return;
    const std::string text = config.path + " " + line + "\n";
    sys(SYS_write, fd, long(text.data()), long(text.size()));
    sys(SYS_close, fd);
}

}  // namespace fake_v4l2
