// Recorded footage on Linux: not built yet.
#include "platform/avicap32/camera_device.h"

namespace standin {

std::unique_ptr<CameraDevice> openRecordedFootage(const std::string& path, std::string& error) {
    error = path + ": recorded footage cannot be played in this build";
    return nullptr;
}

}  // namespace standin
