#include "platform/avicap32/returning_camera.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

namespace standin {

namespace {

constexpr auto kLookAgainEvery = std::chrono::seconds(1);

class ReturningCamera : public CameraDevice {
public:
    ReturningCamera(std::unique_ptr<CameraDevice> camera, std::string name, Reopen reopen,
                    const CameraSettings& settings)
        : name_(std::move(name)), reopen_(std::move(reopen)), settings_(settings), width_(camera->width()),
          height_(camera->height()), description_(camera->description()), live_(std::move(camera)) {}

    ~ReturningCamera() override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (finder_.joinable()) finder_.join();
    }

    int width() const override { return width_; }
    int height() const override { return height_; }
    std::string description() const override { return description_; }
    size_t frameBytes() const override { return live_ != nullptr ? live_->frameBytes() : CameraDevice::frameBytes(); }
    SettingsOutcome applySettings(const CameraSettings& settings) override {
        return live_ != nullptr ? live_->applySettings(settings) : settingsWithoutControls(settings, "camera lost");
    }

    GrabResult grab(uint8_t* frame) override {
        if (live_ == nullptr) {
            std::unique_ptr<CameraDevice> found;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                found = std::move(found_);
            }
            if (found == nullptr) return GrabResult::Lost;
            finder_.join();  // it ends once it has found the camera
            live_ = std::move(found);
            std::fprintf(stderr, "%s: camera back, %s\n", name_.c_str(), live_->description().c_str());
        }
        const GrabResult result = live_->grab(frame);
        if (result == GrabResult::Lost) {
            std::fprintf(stderr, "%s: camera lost; trying again once a second\n", name_.c_str());
            live_.reset();
            finder_ = std::thread(&ReturningCamera::findAgain, this);
        }
        return result;
    }

private:
    void findAgain() {
        std::string said;  // a reason is said once, not every second
        std::unique_lock<std::mutex> lock(mutex_);
        do {
            lock.unlock();
            std::string error;
            std::unique_ptr<CameraDevice> camera = reopen_(error);
            // The frames' size is the program's for good: a camera that
            // comes back at another size is not taken.
            if (camera != nullptr && (camera->width() != width_ || camera->height() != height_)) {
                error = "frames of " + std::to_string(camera->width()) + "x" + std::to_string(camera->height()) +
                        ", not " + std::to_string(width_) + "x" + std::to_string(height_);
                camera.reset();
            }
            if (camera != nullptr && settings_.any()) {
                for (const std::string& problem : camera->applySettings(settings_).problems)
                    std::fprintf(stderr, "%s: %s\n", name_.c_str(), problem.c_str());
            }
            if (camera == nullptr && !error.empty() && error != said) {
                std::fprintf(stderr, "%s: camera back but not usable: %s\n", name_.c_str(), error.c_str());
                said = error;
            }
            lock.lock();
            if (camera != nullptr) {
                found_ = std::move(camera);
                return;
            }
        } while (!wake_.wait_for(lock, kLookAgainEvery, [this] { return stopping_; }));
    }

    const std::string name_;
    const Reopen reopen_;
    const CameraSettings settings_;
    const int width_, height_;
    const std::string description_;
    std::unique_ptr<CameraDevice> live_;  // null while the camera is gone
    std::thread finder_;                  // runs while the camera is gone and not yet found
    std::mutex mutex_;                    // guards found_ and stopping_
    std::condition_variable wake_;
    std::unique_ptr<CameraDevice> found_;
    bool stopping_ = false;
};

}  // namespace

std::unique_ptr<CameraDevice> makeReturning(std::unique_ptr<CameraDevice> camera, const std::string& name,
                                            CameraDevice::Reopen reopen, const CameraSettings& settings) {
    if (camera == nullptr || !reopen) return camera;
    return std::make_unique<ReturningCamera>(std::move(camera), name, std::move(reopen), settings);
}

}  // namespace standin
