// Which V4L2 cameras the machine has, and opening one by the name
// KESTROVA_CAMERAS gives it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/avicap32/linux/v4l2_camera.h"
#include "platform/avicap32/linux/v4l2_modes.h"

namespace standin {

using namespace v4l2;

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

    // UVC cameras have a metadata node beside each video node; only nodes
    // that capture video are cameras.
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

std::vector<std::string> listHostCameras() { return listV4l2CaptureDevices(); }

// "path@WxH" asks for frames of W x H; any other name is a device path.
std::unique_ptr<CameraDevice> openHostCamera(const std::string& name, std::string& error) {
    const size_t at = name.rfind('@');
    unsigned width = 0, height = 0;
    char end = 0;
    const bool sized = at != std::string::npos &&
                       std::sscanf(name.c_str() + at + 1, "%ux%u%c", &width, &height, &end) == 2 && width > 0 &&
                       height > 0 && width <= unsigned(kMaxDimension) && height <= unsigned(kMaxDimension);
    std::unique_ptr<V4l2Camera> camera = sized ? V4l2Camera::openAtSize(name.substr(0, at), int(width), int(height), error)
                                               : V4l2Camera::open(name, error);
    return camera;
}

}  // namespace standin
