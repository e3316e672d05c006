// The simulated stereo rig as cameras: every grab renders a new frame.
#include <memory>

#include "platform/avicap32/camera_device.h"
#include "platform/avicap32/stereo_rig.h"

namespace standin {

namespace {

constexpr uint64_t kStepMs = 40;

class SimulatedCamera : public CameraDevice {
public:
    SimulatedCamera(int camera, const SimulatedView& view, int width, int height, std::shared_ptr<SimulatedScene> scene)
        : camera_(camera), view_(view), width_(width), height_(height), scene_(std::move(scene)) {}

    int width() const override { return width_; }
    int height() const override { return height_; }

    GrabResult grab(uint8_t* frame) override {
        if (camera_ == 0) ++scene_->leftGrabs;
        const uint64_t timeMs = scene_->leftGrabs > 0 ? (scene_->leftGrabs - 1) * kStepMs : 0;
        renderStereoRigFrame(camera_, double(timeMs) / 1000.0, view_.distance, width_, height_, frame, view_.rig,
                             view_.secondDistance);
        return GrabResult::NewFrame;
    }

private:
    int camera_;
    SimulatedView view_;
    int width_, height_;
    std::shared_ptr<SimulatedScene> scene_;
};

}  // namespace

std::unique_ptr<CameraDevice> openSimulatedCamera(int camera, const SimulatedView& view, int width, int height,
                                                  std::shared_ptr<SimulatedScene> scene) {
    if (camera < 0 || camera > 1 || width <= 0 || height <= 0 || scene == nullptr) return nullptr;
    return std::make_unique<SimulatedCamera>(camera, view, width, height, std::move(scene));
}

}  // namespace standin
