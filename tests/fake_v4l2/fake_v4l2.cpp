// A fake V4L2 webcam, preloaded into a program under test (LD_PRELOAD).
//
// It answers for the device paths FAKE_V4L2_CAMERAS names (see fake_camera.h)
// as a UVC webcam does: format, size and rate negotiation, mmap streaming
// from shared memory, a descriptor that polls readable when a frame is due,
// ENODEV and POLLERR once unplugged, EBUSY when a second opener touches the
// stream. libv4l2 reaches devices through libc's syscall(), the program
// through open(), ioctl(), poll(), stat() and opendir(); both are answered.
// Every other path passes through, except the machine's own /dev/video*,
// /dev/v4l/* and /dev/ttyS* nodes, which are refused.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/fake_v4l2/fake_camera.h"

using namespace fake_v4l2;

namespace {

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using SyscallFn = long (*)(long, long, long, long, long, long, long);
using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using PollFn = int (*)(pollfd*, nfds_t, int);
using MmapFn = void* (*)(void*, size_t, int, int, int, off_t);
using ReadFn = ssize_t (*)(int, void*, size_t);
using StatFn = int (*)(const char*, struct stat*);
using Stat64Fn = int (*)(const char*, struct stat64*);
using XstatFn = int (*)(int, const char*, struct stat*);
using Xstat64Fn = int (*)(int, const char*, struct stat64*);
using FstatatFn = int (*)(int, const char*, struct stat*, int);
using Fstatat64Fn = int (*)(int, const char*, struct stat64*, int);
using FxstatatFn = int (*)(int, int, const char*, struct stat*, int);
using Fxstatat64Fn = int (*)(int, int, const char*, struct stat64*, int);
using AccessFn = int (*)(const char*, int);
using OpendirFn = DIR* (*)(const char*);
using ReaddirFn = dirent* (*)(DIR*);
using Readdir64Fn = dirent64* (*)(DIR*);
using ClosedirFn = int (*)(DIR*);

struct Buffer {
    size_t offset = 0;
    bool queued = false;  // with the driver (waiting or filled)
    int mappings = 0;     // the program's mappings of it (V4L2_BUF_FLAG_MAPPED)
    uint64_t content = 0;  // frame version the buffer holds
    uint32_t bytesused = 0;
    uint32_t sequence = 0;
    timeval timestamp{};
};

struct Camera {
    CameraConfig config;
    int number = 0;  // N of /dev/videoN, for st_rdev
    Scene scene;
    uint64_t plugGeneration = 1;  // advanced by every replug
    // Format.
    uint32_t pixelformat = 0;
    Size size;
    uint32_t fps = 30;
    // Stream, owned by one open file at a time.
    const void* owner = nullptr;
    int memfd = -1;
    uint8_t* memory = nullptr;
    size_t memoryBytes = 0;
    size_t bufferBytes = 0;
    std::vector<Buffer> buffers;
    uint64_t buffersGeneration = 0;  // advanced by every allocation
    std::deque<uint32_t> incoming, done;
    bool streaming = false;
    int timer = -1;  // the owner's descriptor: a timerfd ticking at the frame rate
    uint32_t sequence = 0;
    // The rendered frame, kept while the ball stays put.
    uint64_t frameVersion = 0;
    std::vector<uint8_t> frame;
    int frameX = -1, frameY = -1;
    uint32_t frameFormat = 0;
    Size frameSize;
    int frameTemperature = 0;
    Controls controls;
    bool firstFrameRecorded = false;  // since the stream started
};

struct OpenFile {
    Camera* camera;
    uint64_t plugGeneration;
    bool nonblocking;
};

struct Fake {
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<Camera>> cameras;
    std::map<int, OpenFile> files;  // by descriptor
    std::map<DIR*, size_t> devListings;  // opendir("/dev"): next fake entry to list
    struct Mapping {
        Camera* camera;
        uint64_t buffersGeneration;
        uint32_t index;
    };
    std::map<void*, Mapping> mappings;  // the program's mappings of buffers, by address
    dirent entry{};
    dirent64 entry64{};
    SyscallFn sys = nullptr;
    OpenFn open = nullptr;
    OpenatFn openat = nullptr;
    CloseFn close = nullptr;
    IoctlFn ioctl = nullptr;
    PollFn poll = nullptr;
    MmapFn mmap = nullptr;
    ReadFn read = nullptr;
};

Fake& fake() {
    static Fake* f = [] {
        Fake* made = new Fake;
        made->sys = real<SyscallFn>("syscall");
        made->open = real<OpenFn>("open");
        made->openat = real<OpenatFn>("openat");
        made->close = real<CloseFn>("close");
        made->ioctl = real<IoctlFn>("ioctl");
        made->poll = real<PollFn>("poll");
        made->mmap = real<MmapFn>("mmap");
        made->read = real<ReadFn>("read");
        int number = 0;
        for (const CameraConfig& config : parseCameras(getenv("FAKE_V4L2_CAMERAS"))) {
            auto camera = std::make_unique<Camera>();
            camera->config = config;
            const char* video = std::strstr(config.path.c_str(), "/dev/video");
            camera->number = video != nullptr ? atoi(video + 10) : number;
            camera->pixelformat = config.formats[0];
            camera->size = config.sizes[0];
            camera->fps = config.fps;
            resetControls(camera->controls);
            made->cameras.push_back(std::move(camera));
            ++number;
        }
        return made;
    }();
    return *f;
}

void freeBuffers(Camera& c);
void stopStream(Camera& c);

// The node goes: open files stay, dead; the stream and its buffers go (what
// the program mapped stays mapped), and the format starts afresh.
void unplug(Camera& c) {
    stopStream(c);
    freeBuffers(c);
    c.owner = nullptr;
    c.timer = -1;
    c.pixelformat = c.config.formats[0];
    c.size = c.config.sizes[0];
    c.fps = c.config.fps;
}

// Reads the control file (through the real calls: this runs inside hooks).
void readScene(Camera& c) {
    if (c.config.control.empty()) return;
    Fake& f = fake();
    const int fd = int(f.sys(SYS_openat, AT_FDCWD, long(c.config.control.c_str()), O_RDONLY | O_CLOEXEC, 0, 0, 0));
    if (fd < 0) return;
    char text[128] = {};
    const long n = f.sys(SYS_read, fd, long(text), sizeof text - 1, 0, 0, 0);
    f.sys(SYS_close, fd, 0, 0, 0, 0, 0);
    if (n <= 0) return;
    Scene s;
    if (std::sscanf(text, "%d %d", &s.x, &s.y) != 2) return;
    s.paused = std::strstr(text, "pause") != nullptr;
    s.unplugged = std::strstr(text, "unplug") != nullptr;
    s.hung = std::strstr(text, "hang") != nullptr;
    if (s.unplugged && !c.scene.unplugged) unplug(c);
    if (c.scene.unplugged && !s.unplugged) {
        ++c.plugGeneration;
        resetControls(c.controls);  // a UVC camera comes back with its defaults
        record(c.config, "plugged in");
    }
    c.scene = s;
}

bool startsWith(const char* path, const char* prefix) {
    return std::strncmp(path, prefix, std::strlen(prefix)) == 0;
}

// The camera a path names, or null. refused: a device of the machine itself.
Camera* cameraAt(const char* path, bool& refused) {
    refused = false;
    if (path == nullptr) return nullptr;
    for (auto& camera : fake().cameras) {
        bool match = camera->config.path == path;
        for (const std::string& alias : camera->config.aliases) match = match || alias == path;
        if (match) {
            readScene(*camera);
            if (camera->scene.unplugged) {
                refused = true;
                errno = ENOENT;
                return nullptr;
            }
            return camera.get();
        }
    }
    if (startsWith(path, "/dev/video") || startsWith(path, "/dev/v4l") || startsWith(path, "/dev/media")) {
        refused = true;
        errno = ENOENT;
    } else if (startsWith(path, "/dev/ttyS") || startsWith(path, "/dev/ttyUSB") || startsWith(path, "/dev/ttyACM")) {
        refused = true;
        errno = EACCES;
    }
    return nullptr;
}

// Which descriptors are the fake's, readable without its lock: calls on any
// other descriptor never wait for the lock. (Wine's TerminateProcess kills
// threads wherever they are, one of them perhaps holding the lock; the
// calls that end the process must not wait for it.) Descriptors past the
// table are looked up under the lock, as before.
constexpr int kFlaggedDescriptors = 4096;
std::atomic<bool> fakeDescriptor[kFlaggedDescriptors];
bool mayBeFake(int fd) { return fd < 0 || fd >= kFlaggedDescriptors || fakeDescriptor[fd].load(); }
void flagDescriptor(int fd, bool fake) {
    if (fd >= 0 && fd < kFlaggedDescriptors) fakeDescriptor[fd].store(fake);
}

OpenFile* fileOf(int fd) {
    if (!mayBeFake(fd)) return nullptr;
    auto it = fake().files.find(fd);
    return it == fake().files.end() ? nullptr : &it->second;
}

bool alive(const OpenFile& file) {
    readScene(*file.camera);
    return !file.camera->scene.unplugged && file.plugGeneration == file.camera->plugGeneration;
}

int openCamera(Camera& c, int flags) {
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | ((flags & O_CLOEXEC) != 0 ? TFD_CLOEXEC : 0));
    if (fd < 0) return -1;
    fake().files[fd] = OpenFile{&c, c.plugGeneration, (flags & O_NONBLOCK) != 0};
    flagDescriptor(fd, true);
    return fd;
}

void fillStat(const Camera& c, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(81, unsigned(c.number));
    st->st_nlink = 1;
    st->st_blksize = 4096;
}

uint32_t bytesPerLine(const Camera& c, uint32_t format, Size size) {
    return format == V4L2_PIX_FMT_YUYV ? size.width * 2 + c.config.pad : 0;
}

uint32_t imageBytes(const Camera& c, uint32_t format, Size size) {
    return format == V4L2_PIX_FMT_YUYV ? bytesPerLine(c, format, size) * size.height : size.width * size.height * 2;
}

bool offers(const Camera& c, uint32_t format) {
    for (uint32_t f : c.config.formats)
        if (f == format) return true;
    return false;
}

Size nearestSize(const Camera& c, uint32_t width, uint32_t height) {
    Size best = c.config.sizes[0];
    long bestDistance = -1;
    for (const Size& s : c.config.sizes) {
        const long d = labs(long(s.width) - long(width)) + labs(long(s.height) - long(height));
        if (bestDistance < 0 || d < bestDistance) best = s, bestDistance = d;
    }
    return best;
}

std::vector<uint32_t> rates(const Camera& c) {
    std::vector<uint32_t> r{c.config.fps};
    if (c.config.fps > 15) r.push_back(15);
    if (c.config.fps > 5) r.push_back(5);
    return r;
}

void fillFormat(const Camera& c, v4l2_pix_format& pix, uint32_t format, Size size) {
    std::memset(&pix, 0, sizeof pix);
    pix.width = size.width;
    pix.height = size.height;
    pix.pixelformat = format;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = bytesPerLine(c, format, size);
    pix.sizeimage = imageBytes(c, format, size);
    pix.colorspace = V4L2_COLORSPACE_SRGB;
}

void renderFrame(Camera& c) {
    const int temperature = pictureTemperature(c.controls, c.config) / 10 * 10;
    if (c.frameX == c.scene.x && c.frameY == c.scene.y && c.frameFormat == c.pixelformat &&
        c.frameSize.width == c.size.width && c.frameSize.height == c.size.height && c.frameTemperature == temperature)
        return;
    if (c.pixelformat == V4L2_PIX_FMT_YUYV) {
        c.frame.assign(imageBytes(c, c.pixelformat, c.size), 0);
        renderYuyv(c.size.width, c.size.height, bytesPerLine(c, c.pixelformat, c.size), c.scene.x, c.scene.y,
                   c.frame.data(), temperature);
    } else {
        c.frame = renderMjpeg(c.size.width, c.size.height, c.scene.x, c.scene.y, temperature);
    }
    c.frameX = c.scene.x, c.frameY = c.scene.y, c.frameFormat = c.pixelformat, c.frameSize = c.size;
    c.frameTemperature = temperature;
    ++c.frameVersion;
}

// Lets the camera produce the frames that have come due since last time.
void advance(Camera& c) {
    if (!c.streaming || c.timer < 0) return;
    uint64_t due = 0;
    if (fake().sys(SYS_read, c.timer, long(&due), sizeof due, 0, 0, 0) != long(sizeof due)) return;
    readScene(c);
    if (c.scene.paused || c.scene.unplugged) return;
    renderFrame(c);
    for (uint64_t n = 0; n < due && !c.incoming.empty(); ++n) {
        const uint32_t index = c.incoming.front();
        c.incoming.pop_front();
        Buffer& b = c.buffers[index];
        const size_t bytes = std::min(c.frame.size(), c.bufferBytes);
        if (b.content != c.frameVersion) {
            std::memcpy(c.memory + b.offset, c.frame.data(), bytes);
            b.content = c.frameVersion;
        }
        b.bytesused = uint32_t(bytes);
        b.sequence = c.sequence++;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        b.timestamp = timeval{now.tv_sec, now.tv_nsec / 1000};
        c.done.push_back(index);
    }
}

void freeBuffers(Camera& c) {
    if (c.memory != nullptr) munmap(c.memory, c.memoryBytes);
    if (c.memfd >= 0) fake().close(c.memfd);
    c.memory = nullptr;
    c.memfd = -1;
    c.memoryBytes = 0;
    c.buffers.clear();
    c.incoming.clear();
    c.done.clear();
}

void stopStream(Camera& c) {
    c.streaming = false;
    if (c.timer >= 0) {
        itimerspec off{};
        timerfd_settime(c.timer, 0, &off, nullptr);
    }
    c.incoming.clear();
    c.done.clear();
    for (Buffer& b : c.buffers) b.queued = false;
}

int fail(int error) {
    errno = error;
    return -1;
}

// May this file change the stream? Only one file owns it at a time.
bool claim(Camera& c, const OpenFile* file) {
    if (c.owner != nullptr && c.owner != file) return false;
    c.owner = file;
    return true;
}

int cameraIoctl(int fd, OpenFile& file, unsigned long request, void* arg) {
    request = uint32_t(request);  // as the kernel reads it: callers passing an int sign-extend it (Wine)
    Camera& c = *file.camera;
    if (!alive(file)) return fail(ENODEV);
    if (arg == nullptr) return fail(EFAULT);
    const bool video = !c.config.meta;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            std::memset(cap, 0, sizeof *cap);
            std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof cap->driver, "uvcvideo");
            const std::string card = c.config.card.empty() ? "Fake Camera " + std::to_string(c.number) : c.config.card;
            std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "%s", card.c_str());
            std::snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof cap->bus_info, "usb-0000:00:14.0-%d",
                          c.number);
            cap->version = 0x060100;
            cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                                V4L2_CAP_EXT_PIX_FORMAT | V4L2_CAP_DEVICE_CAPS;
            cap->device_caps = (video ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_META_CAPTURE) | V4L2_CAP_STREAMING |
                               V4L2_CAP_EXT_PIX_FORMAT;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* f = static_cast<v4l2_fmtdesc*>(arg);
            if (!video || f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || f->index >= c.config.formats.size())
                return fail(EINVAL);
            const uint32_t index = f->index;
            std::memset(f, 0, sizeof *f);
            f->index = index;
            f->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            f->pixelformat = c.config.formats[index];
            f->flags = f->pixelformat == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
            std::snprintf(reinterpret_cast<char*>(f->description), sizeof f->description, "%s",
                          f->pixelformat == V4L2_PIX_FMT_MJPEG ? "Motion-JPEG" : "YUYV 4:2:2");
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (!video || f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
            if (request == VIDIOC_G_FMT) {
                fillFormat(c, f->fmt.pix, c.pixelformat, c.size);
                return 0;
            }
            const uint32_t format = offers(c, f->fmt.pix.pixelformat) ? f->fmt.pix.pixelformat : c.config.formats[0];
            const Size size = nearestSize(c, f->fmt.pix.width, f->fmt.pix.height);
            if (request == VIDIOC_S_FMT) {
                if (c.streaming || !c.buffers.empty() || !claim(c, &file)) return fail(EBUSY);
                c.pixelformat = format;
                c.size = size;
            }
            fillFormat(c, f->fmt.pix, format, size);
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* s = static_cast<v4l2_frmsizeenum*>(arg);
            if (!video || !offers(c, s->pixel_format) || s->index >= c.config.sizes.size()) return fail(EINVAL);
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete.width = c.config.sizes[s->index].width;
            s->discrete.height = c.config.sizes[s->index].height;
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* i = static_cast<v4l2_frmivalenum*>(arg);
            const Size size = nearestSize(c, i->width, i->height);
            if (!video || !offers(c, i->pixel_format) || size.width != i->width || size.height != i->height ||
                i->index >= rates(c).size())
                return fail(EINVAL);
            i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            i->discrete.numerator = 1;
            i->discrete.denominator = rates(c)[i->index];
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (!video || p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
            if (request == VIDIOC_S_PARM) {
                if (c.streaming || !claim(c, &file)) return fail(EBUSY);
                const v4l2_fract want = p->parm.capture.timeperframe;
                if (want.numerator > 0 && want.denominator > 0) {
                    uint32_t best = c.config.fps;
                    for (uint32_t r : rates(c))
                        if (labs(long(r) - long(want.denominator / want.numerator)) <
                            labs(long(best) - long(want.denominator / want.numerator)))
                            best = r;
                    c.fps = best;
                }
            }
            std::memset(&p->parm.capture, 0, sizeof p->parm.capture);
            p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            p->parm.capture.timeperframe = v4l2_fract{1, c.fps};
            p->parm.capture.readbuffers = 0;
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* r = static_cast<v4l2_requestbuffers*>(arg);
            if (!video || r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP)
                return fail(EINVAL);
            if (c.streaming || !claim(c, &file)) return fail(EBUSY);
            for (const Buffer& b : c.buffers)
                if (b.mappings > 0) return fail(EBUSY);
            freeBuffers(c);
            const uint32_t count = std::min<uint32_t>(r->count, 32);
            r->count = count;
            r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
            if (count == 0) {
                c.owner = nullptr;
                return 0;
            }
            const size_t page = size_t(sysconf(_SC_PAGESIZE));
            c.bufferBytes = imageBytes(c, c.pixelformat, c.size);
            const size_t stride = (c.bufferBytes + page - 1) / page * page;
            c.memfd = memfd_create("fake-v4l2", MFD_CLOEXEC);
            c.memoryBytes = stride * count;
            if (c.memfd < 0 || ftruncate(c.memfd, off_t(c.memoryBytes)) != 0) return fail(ENOMEM);
            c.memory = static_cast<uint8_t*>(fake().mmap(nullptr, c.memoryBytes, PROT_READ | PROT_WRITE, MAP_SHARED,
                                                          c.memfd, 0));
            if (c.memory == MAP_FAILED) {
                c.memory = nullptr;
                freeBuffers(c);
                return fail(ENOMEM);
            }
            c.buffers.resize(count);
            ++c.buffersGeneration;
            for (uint32_t i = 0; i < count; ++i) c.buffers[i].offset = stride * i;
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
            if (c.owner != &file) return fail(c.owner == nullptr ? EINVAL : EBUSY);
            uint32_t index = b->index;
            if (request == VIDIOC_DQBUF) {
                if (!c.streaming) return fail(EINVAL);
                advance(c);
                while (c.done.empty() && !file.nonblocking) {
                    pollfd pfd{c.timer, POLLIN, 0};
                    fake().poll(&pfd, 1, 1000);
                    if (!alive(file)) return fail(ENODEV);
                    advance(c);
                }
                if (c.done.empty()) return fail(EAGAIN);
                index = c.done.front();
                c.done.pop_front();
                c.buffers[index].queued = false;
                if (!c.firstFrameRecorded) record(c.config, "first frame");
                c.firstFrameRecorded = true;
            } else if (index >= c.buffers.size()) {
                return fail(EINVAL);
            }
            Buffer& buf = c.buffers[index];
            if (request == VIDIOC_QBUF) {
                if (buf.queued) return fail(EINVAL);
                buf.queued = true;
                c.incoming.push_back(index);
            }
            const uint32_t reserved = b->reserved2;
            std::memset(b, 0, sizeof *b);
            b->index = index;
            b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b->memory = V4L2_MEMORY_MMAP;
            b->m.offset = uint32_t(buf.offset);
            b->length = uint32_t(c.bufferBytes);
            b->field = V4L2_FIELD_NONE;
            b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (buf.queued ? V4L2_BUF_FLAG_QUEUED : 0) |
                       (buf.mappings > 0 ? V4L2_BUF_FLAG_MAPPED : 0);
            b->reserved2 = reserved;
            if (request == VIDIOC_DQBUF) {
                b->flags |= V4L2_BUF_FLAG_DONE;
                b->bytesused = buf.bytesused;
                b->sequence = buf.sequence;
                b->timestamp = buf.timestamp;
                // Faults on every other frame, so that good frames come between.
                // With several faults (fault=zero+truncate+...), they take turns.
                const std::string& faults = c.config.fault;
                size_t count = faults.empty() ? 0 : 1;
                for (char ch : faults) count += ch == '+' ? 1 : 0;
                if (count > 0 && buf.sequence % 2 == 1) {
                    size_t pick = (buf.sequence / 2) % count, at = 0;
                    while (pick-- > 0) at = faults.find('+', at) + 1;
                    const std::string fault = faults.substr(at, faults.find('+', at) - at);
                    if (fault == "zero") b->bytesused = 0;
                    if (fault == "overrun") b->bytesused = b->length + 4096;
                    if (fault == "truncate") b->bytesused = buf.bytesused / 3;
                    if (fault == "corrupt" && c.pixelformat == V4L2_PIX_FMT_MJPEG) {
                        // Garbage over the middle of the frame; the next fill rewrites it.
                        std::memset(c.memory + buf.offset + buf.bytesused / 4, 0xA5, buf.bytesused / 2);
                        buf.content = 0;
                    }
                    if (fault == "badindex") {
                        b->index = uint32_t(c.buffers.size()) + 7;
                        buf.queued = true;  // the driver keeps it and fills it again
                        c.incoming.push_back(index);
                    }
                }
            }
            return 0;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: {
            const auto* type = static_cast<const int*>(arg);
            if (*type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !video) return fail(EINVAL);
            if (c.owner != &file) return fail(EBUSY);
            if (request == VIDIOC_STREAMOFF) {
                stopStream(c);
                return 0;
            }
            if (c.buffers.empty()) return fail(EINVAL);
            if (c.streaming) return 0;
            const uint64_t rate = uint64_t(imageBytes(c, c.pixelformat, c.size)) * c.fps;
            if (c.config.bandwidth != 0 && rate > c.config.bandwidth) return fail(ENOSPC);
            c.timer = fd;
            const long ns = 1000000000L / long(c.fps);
            const long first = c.config.firstFrameMs > 0 ? long(c.config.firstFrameMs) * 1000000L : ns;
            itimerspec period{{ns / 1000000000L, ns % 1000000000L}, {first / 1000000000L, first % 1000000000L}};
            timerfd_settime(fd, 0, &period, nullptr);
            c.streaming = true;
            c.sequence = 0;
            c.firstFrameRecorded = false;
            record(c.config, "stream on");
            return 0;
        }
        case VIDIOC_ENUMINPUT: {
            auto* in = static_cast<v4l2_input*>(arg);
            if (in->index != 0) return fail(EINVAL);
            std::memset(in, 0, sizeof *in);
            std::snprintf(reinterpret_cast<char*>(in->name), sizeof in->name, "Camera 1");
            in->type = V4L2_INPUT_TYPE_CAMERA;
            return 0;
        }
        case VIDIOC_G_INPUT:
            *static_cast<int*>(arg) = 0;
            return 0;
        case VIDIOC_S_INPUT:
            return *static_cast<int*>(arg) == 0 ? 0 : fail(EINVAL);
        case VIDIOC_QUERYCTRL:
        case VIDIOC_QUERYMENU:
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL:
            return video ? controlIoctl(c.controls, c.config, request, arg) : fail(EINVAL);
        case VIDIOC_QUERY_EXT_CTRL:
            return fail(EINVAL);
        default:
            return fail(ENOTTY);
    }
}

void closeFile(int fd) {
    OpenFile* file = fileOf(fd);
    if (file == nullptr) return;
    Camera& c = *file->camera;
    if (c.owner == file) {
        stopStream(c);
        freeBuffers(c);
        c.timer = -1;
        c.owner = nullptr;
    }
    fake().files.erase(fd);
    flagDescriptor(fd, false);
}

// open() and its kin: a camera, a refusal, or -2 to pass through.
int openPath(const char* path, int flags) {
    std::lock_guard<std::recursive_mutex> guard(fake().lock);
    bool refused = false;
    Camera* c = cameraAt(path, refused);
    if (refused) return -1;
    if (c == nullptr) return -2;
    return openCamera(*c, flags);
}

int mode(int flags, va_list args) { return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, int) : 0; }

template <typename S>
int statPath(const char* path, S* st, bool& handled) {
    std::lock_guard<std::recursive_mutex> guard(fake().lock);
    bool refused = false;
    Camera* c = cameraAt(path, refused);
    handled = refused || c != nullptr;
    if (refused) return -1;
    if (c == nullptr) return 0;
    struct stat s;
    fillStat(*c, &s);
    std::memset(st, 0, sizeof *st);
    st->st_mode = s.st_mode;
    st->st_rdev = s.st_rdev;
    st->st_nlink = s.st_nlink;
    st->st_blksize = s.st_blksize;
    return 0;
}

// The next fake /dev entry for a listing of /dev, or null when all are given.
const Camera* nextListed(DIR* dir) {
    std::lock_guard<std::recursive_mutex> guard(fake().lock);
    auto it = fake().devListings.find(dir);
    if (it == fake().devListings.end()) return nullptr;
    while (it->second < fake().cameras.size()) {
        Camera& c = *fake().cameras[it->second++];
        if (!startsWith(c.config.path.c_str(), "/dev/") || std::strchr(c.config.path.c_str() + 5, '/') != nullptr)
            continue;
        readScene(c);
        if (!c.scene.unplugged) return &c;
    }
    return nullptr;
}

bool hiddenDevEntry(DIR* dir, const char* name) {
    std::lock_guard<std::recursive_mutex> guard(fake().lock);
    if (fake().devListings.count(dir) == 0) return false;
    return startsWith(name, "video") || startsWith(name, "media") || startsWith(name, "ttyS") ||
           startsWith(name, "ttyUSB") || startsWith(name, "ttyACM");
}

// The next entry of a directory listing: the real entries but the devices the
// fake hides, then (for /dev) the fake cameras, filled into entry.
template <typename Entry>
Entry* nextDirEntry(DIR* dir, Entry* (*next)(DIR*), Entry& entry) {
    for (;;) {
        Entry* e = next(dir);
        if (e == nullptr) break;
        if (!hiddenDevEntry(dir, e->d_name)) return e;
    }
    const Camera* c = nextListed(dir);
    if (c == nullptr) return nullptr;
    std::memset(&entry, 0, sizeof entry);
    entry.d_ino = 900000 + ino_t(c->number);
    entry.d_type = DT_CHR;
    entry.d_reclen = sizeof entry;
    std::snprintf(entry.d_name, sizeof entry.d_name, "%s", c->config.path.c_str() + 5);
    return &entry;
}

}  // namespace

// Mappings of the fake's buffers that may be open, counted without the
// lock (see mayBeFake).
std::atomic<int> liveMappings{0};

static void forgetMapping(void* addr) {
    if (liveMappings.load() == 0) return;
    std::lock_guard<std::recursive_mutex> guard(fake().lock);
    auto it = fake().mappings.find(addr);
    if (it == fake().mappings.end()) return;
    Camera& c = *it->second.camera;
    if (it->second.buffersGeneration == c.buffersGeneration && it->second.index < c.buffers.size())
        --c.buffers[it->second.index].mappings;
    fake().mappings.erase(it);
    --liveMappings;
}

extern "C" {

// A driver that hangs: with fault=...+hang-streamoff, VIDIOC_STREAMOFF
// never returns; while the control file says "hang", VIDIOC_DQBUF does not
// return. It hangs outside the fake's lock, so the other camera and the
// other calls go on.
static void hangIfTheDriverWould(int fd, unsigned long request) {
    if (request != VIDIOC_STREAMOFF && request != VIDIOC_DQBUF) return;
    for (bool waited = false;; waited = true) {
        {
            std::lock_guard<std::recursive_mutex> guard(fake().lock);
            OpenFile* file = fileOf(fd);
            if (file == nullptr) return;
            // Each frame reads the control file; a hung call looks again.
            if (request == VIDIOC_DQBUF && waited) readScene(*file->camera);
            const bool hangs = request == VIDIOC_DQBUF
                                   ? file->camera->scene.hung
                                   : file->camera->config.fault.find("hang-streamoff") != std::string::npos;
            if (!hangs) return;
        }
        usleep(50 * 1000);
    }
}

long syscall(long number, ...) {
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& v : a) v = va_arg(args, long);
    va_end(args);
    Fake& f = fake();
    switch (number) {
        case SYS_open:
        case SYS_openat: {
            const bool at = number == SYS_openat;
            if (at && int(a[0]) != AT_FDCWD) break;
            const int fd = openPath(reinterpret_cast<const char*>(a[at ? 1 : 0]), int(a[at ? 2 : 1]));
            if (fd != -2) return fd;
            break;
        }
        case SYS_close: {
            if (!mayBeFake(int(a[0]))) break;
            std::lock_guard<std::recursive_mutex> guard(f.lock);
            closeFile(int(a[0]));
            break;
        }
        case SYS_ioctl: {
            if (!mayBeFake(int(a[0]))) break;
            hangIfTheDriverWould(int(a[0]), static_cast<unsigned long>(a[1]));
            std::lock_guard<std::recursive_mutex> guard(f.lock);
            if (OpenFile* file = fileOf(int(a[0])))
                return cameraIoctl(int(a[0]), *file, static_cast<unsigned long>(a[1]), reinterpret_cast<void*>(a[2]));
            break;
        }
        case SYS_read: {
            if (!mayBeFake(int(a[0]))) break;
            std::lock_guard<std::recursive_mutex> guard(f.lock);
            if (OpenFile* file = fileOf(int(a[0]))) return fail(alive(*file) ? EINVAL : ENODEV);
            break;
        }
        case SYS_munmap:
            forgetMapping(reinterpret_cast<void*>(a[0]));
            break;
        case SYS_mmap:
            return long(mmap(reinterpret_cast<void*>(a[0]), size_t(a[1]), int(a[2]), int(a[3]), int(a[4]), off_t(a[5])));
        default:
            break;
    }
    return f.sys(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    Fake& f = fake();
    if (fd >= 0 && mayBeFake(fd)) {
        std::lock_guard<std::recursive_mutex> guard(f.lock);
        if (OpenFile* file = fileOf(fd)) {
            Camera& c = *file->camera;
            if (!alive(*file)) return errno = ENODEV, MAP_FAILED;
            if (c.owner != file || c.memfd < 0 || offset < 0 || size_t(offset) + length > c.memoryBytes)
                return errno = EINVAL, MAP_FAILED;
            void* mapped = f.mmap(addr, length, prot, flags, c.memfd, offset);
            if (mapped != MAP_FAILED) {
                for (uint32_t i = 0; i < c.buffers.size(); ++i) {
                    if (c.buffers[i].offset != size_t(offset)) continue;
                    ++c.buffers[i].mappings;
                    if (f.mappings.count(mapped) == 0) ++liveMappings;
                    f.mappings[mapped] = Fake::Mapping{&c, c.buffersGeneration, i};
                }
            }
            return mapped;
        }
    }
    return f.mmap(addr, length, prot, flags, fd, offset);
}

int munmap(void* addr, size_t length) {
    forgetMapping(addr);
    return int(fake().sys(SYS_munmap, long(addr), long(length), 0, 0, 0, 0));
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return mmap(addr, length, prot, flags, fd, offset);
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int m = mode(flags, args);
    va_end(args);
    const int fd = openPath(path, flags);
    return fd != -2 ? fd : fake().open(path, flags, m);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int m = mode(flags, args);
    va_end(args);
    return open(path, flags, m);
}

int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open(path, flags); }

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int m = mode(flags, args);
    va_end(args);
    if (dirfd == AT_FDCWD || path[0] == '/') {
        const int fd = openPath(path, flags);
        if (fd != -2) return fd;
    }
    return fake().openat(dirfd, path, flags, m);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int m = mode(flags, args);
    va_end(args);
    return openat(dirfd, path, flags, m);
}

int __openat_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }

int close(int fd) {
    if (mayBeFake(fd)) {
        std::lock_guard<std::recursive_mutex> guard(fake().lock);
        closeFile(fd);
    }
    return fake().close(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (mayBeFake(fd)) {
        hangIfTheDriverWould(fd, request);
        std::lock_guard<std::recursive_mutex> guard(fake().lock);
        if (OpenFile* file = fileOf(fd)) return cameraIoctl(fd, *file, request, arg);
    }
    return fake().ioctl(fd, request, arg);
}

ssize_t read(int fd, void* buf, size_t count) {
    if (mayBeFake(fd)) {
        std::lock_guard<std::recursive_mutex> guard(fake().lock);
        if (OpenFile* file = fileOf(fd)) return fail(alive(*file) ? EINVAL : ENODEV);
    }
    return fake().read(fd, buf, count);
}

// A camera's descriptor is readable when a filled buffer waits; its timer
// makes the wait for the next one a real wait.
int poll(pollfd* fds, nfds_t count, int timeout) {
    Fake& f = fake();
    bool mayBe = false;
    for (nfds_t i = 0; i < count; ++i) mayBe = mayBe || (fds[i].fd >= 0 && mayBeFake(fds[i].fd));
    if (!mayBe) return f.poll(fds, count, timeout);
    bool any = false;
    auto ready = [&](bool afterWait) {
        int n = 0;
        std::lock_guard<std::recursive_mutex> guard(f.lock);
        for (nfds_t i = 0; i < count; ++i) {
            OpenFile* file = fileOf(fds[i].fd);
            if (file == nullptr) {
                if (afterWait && fds[i].revents != 0) ++n;
                continue;
            }
            any = true;
            Camera& c = *file->camera;
            fds[i].revents = 0;
            if (!alive(*file)) {
                fds[i].revents = POLLERR | POLLHUP;
            } else if (c.owner == file && c.streaming) {
                advance(c);
                if (!c.done.empty()) fds[i].revents = short(fds[i].events & (POLLIN | POLLRDNORM));
            } else if (c.owner == file) {
                fds[i].revents = POLLERR;  // not streaming: a real driver says the same
            }
            if (fds[i].revents != 0) ++n;
        }
        return n;
    };
    ready(false);
    if (!any) return f.poll(fds, count, timeout);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int n = ready(false);
        if (n > 0) {
            // Report the other descriptors' state too, without waiting.
            std::vector<pollfd> others;
            for (nfds_t i = 0; i < count; ++i)
                if (fileOf(fds[i].fd) == nullptr) others.push_back(fds[i]);
            if (!others.empty() && f.poll(others.data(), others.size(), 0) > 0) {
                size_t k = 0;
                for (nfds_t i = 0; i < count; ++i)
                    if (fileOf(fds[i].fd) == nullptr) {
                        fds[i].revents = others[k++].revents;
                        if (fds[i].revents != 0) ++n;
                    }
            }
            return n;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (timeout >= 0 && elapsed >= timeout) return 0;
        // Wait on the real descriptors (a camera's is its timer), at most
        // 50 ms at a time so that unplugs and control changes are seen.
        std::vector<pollfd> wait(fds, fds + count);
        for (pollfd& p : wait) p.events = short(p.events | POLLIN);
        const int slice = timeout < 0 ? 50 : int(std::min<long>(50, timeout - elapsed));
        const int r = f.poll(wait.data(), count, slice);
        if (r < 0) return r;
        int others = 0;
        for (nfds_t i = 0; i < count; ++i)
            if (fileOf(fds[i].fd) == nullptr) {
                fds[i].revents = wait[i].revents;
                if (fds[i].revents != 0) ++others;
            }
        if (others > 0) return others + ready(false);
    }
}

int stat(const char* path, struct stat* st) {
    bool handled = false;
    const int r = statPath(path, st, handled);
    return handled ? r : real<StatFn>("stat")(path, st);
}
int stat64(const char* path, struct stat64* st) {
    bool handled = false;
    const int r = statPath(path, st, handled);
    return handled ? r : real<Stat64Fn>("stat64")(path, st);
}
int lstat(const char* path, struct stat* st) {
    bool handled = false;
    const int r = statPath(path, st, handled);
    return handled ? r : real<StatFn>("lstat")(path, st);
}
int lstat64(const char* path, struct stat64* st) {
    bool handled = false;
    const int r = statPath(path, st, handled);
    return handled ? r : real<Stat64Fn>("lstat64")(path, st);
}
int __xstat(int ver, const char* path, struct stat* st) {
    bool handled = false;
    const int r = statPath(path, st, handled);
    return handled ? r : real<XstatFn>("__xstat")(ver, path, st);
}
int __xstat64(int ver, const char* path, struct stat64* st) {
    bool handled = false;
    const int r = statPath(path, st, handled);
    return handled ? r : real<Xstat64Fn>("__xstat64")(ver, path, st);
}
int __lxstat(int ver, const char* path, struct stat* st) {
    bool handled = false;
    const int r = statPath(path, st, handled);
    return handled ? r : real<XstatFn>("__lxstat")(ver, path, st);
}
int __lxstat64(int ver, const char* path, struct stat64* st) {
    bool handled = false;
    const int r = statPath(path, st, handled);
    return handled ? r : real<Xstat64Fn>("__lxstat64")(ver, path, st);
}
int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    bool handled = false;
    const int r = path[0] == '/' ? statPath(path, st, handled) : 0;
    return handled ? r : real<FstatatFn>("fstatat")(dirfd, path, st, flags);
}
int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
    bool handled = false;
    const int r = path[0] == '/' ? statPath(path, st, handled) : 0;
    return handled ? r : real<Fstatat64Fn>("fstatat64")(dirfd, path, st, flags);
}
int __fxstatat(int ver, int dirfd, const char* path, struct stat* st, int flags) {
    bool handled = false;
    const int r = path[0] == '/' ? statPath(path, st, handled) : 0;
    return handled ? r : real<FxstatatFn>("__fxstatat")(ver, dirfd, path, st, flags);
}
int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* st, int flags) {
    bool handled = false;
    const int r = path[0] == '/' ? statPath(path, st, handled) : 0;
    return handled ? r : real<Fxstatat64Fn>("__fxstatat64")(ver, dirfd, path, st, flags);
}
int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* st) {
    if (path[0] == '/') {
        struct stat plain;
        bool handled = false;
        const int r = statPath(path, &plain, handled);
        if (handled) {
            if (r == 0) {
                std::memset(st, 0, sizeof *st);
                st->stx_mask = STATX_TYPE | STATX_MODE | STATX_NLINK;
                st->stx_mode = uint16_t(plain.st_mode);
                st->stx_nlink = 1;
                st->stx_blksize = 4096;
                st->stx_rdev_major = major(plain.st_rdev);
                st->stx_rdev_minor = minor(plain.st_rdev);
            }
            return r;
        }
    }
    using StatxFn = int (*)(int, const char*, int, unsigned int, struct statx*);
    return real<StatxFn>("statx")(dirfd, path, flags, mask, st);
}

int access(const char* path, int how) {
    {
        std::lock_guard<std::recursive_mutex> guard(fake().lock);
        bool refused = false;
        if (cameraAt(path, refused) != nullptr) return 0;
        if (refused) return -1;
    }
    return real<AccessFn>("access")(path, how);
}

DIR* opendir(const char* path) {
    DIR* dir = real<OpendirFn>("opendir")(path);
    if (dir != nullptr && (std::strcmp(path, "/dev") == 0 || std::strcmp(path, "/dev/") == 0)) {
        std::lock_guard<std::recursive_mutex> guard(fake().lock);
        fake().devListings[dir] = 0;
    }
    return dir;
}

dirent* readdir(DIR* dir) {
    static const ReaddirFn next = real<ReaddirFn>("readdir");
    return nextDirEntry(dir, next, fake().entry);
}

dirent64* readdir64(DIR* dir) {
    static const Readdir64Fn next = real<Readdir64Fn>("readdir64");
    return nextDirEntry(dir, next, fake().entry64);
}

int closedir(DIR* dir) {
    {
        std::lock_guard<std::recursive_mutex> guard(fake().lock);
        fake().devListings.erase(dir);
    }
    return real<ClosedirFn>("closedir")(dir);
}

}  // extern "C"
