// Host cameras on Windows: not built yet; every camera connection fails.
#include "platform/avicap32/camera_device.h"

namespace standin {

std::vector<std::string> listHostCameras() { return {}; }

std::unique_ptr<CameraDevice> openHostCamera(const std::string& name, std::string& error) {
    error = name + ": cameras cannot be opened in this build";
    return nullptr;
}

std::unique_ptr<CameraDevice> openRecordedFootage(const std::string& path, std::string& error) {
    error = path + ": recorded footage cannot be played in this build";
    return nullptr;
}

std::unique_ptr<CameraDevice> openVfwCamera(std::string& error) {
    error = "vfw: Video for Windows cannot be used in this build";
    return nullptr;
}

}  // namespace standin
