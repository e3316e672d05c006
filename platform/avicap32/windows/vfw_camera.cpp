// The system's own Video for Windows, for machines with a real VfW capture
// driver: avicap32.dll loaded at run time, a hidden capture window of its own
// connected to driver 0, and each frame copied as the driver delivers it.
#include <windows.h>

#include <vfw.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/avicap32/camera_device.h"

namespace standin {

namespace {

typedef HWND(VFWAPI* CreateCaptureWindowW)(LPCWSTR, DWORD, int, int, int, int, HWND, int);

// The frame the driver's callback last delivered, for the window that grabs.
struct Delivery {
    std::vector<uint8_t>* frame = nullptr;
    size_t bytes = 0;
    bool delivered = false;
};
Delivery delivery;

// A short frame is taken as it came, its bytes and no more, as drivers have
// always delivered them; bytes past the frame's size are left out.
LRESULT CALLBACK onVfwFrame(HWND, VIDEOHDR* header) {
    if (delivery.frame == nullptr || header == nullptr || header->lpData == nullptr) return TRUE;
    delivery.bytes = std::min<size_t>({header->dwBytesUsed, header->dwBufferLength, delivery.frame->size()});
    std::memcpy(delivery.frame->data(), header->lpData, delivery.bytes);
    delivery.delivered = true;
    return TRUE;
}

class VfwCamera : public CameraDevice {
public:
    ~VfwCamera() override {
        if (window_ != nullptr) {
            SendMessageW(window_, WM_CAP_DRIVER_DISCONNECT, 0, 0);
            DestroyWindow(window_);
        }
        // The library stays loaded: the driver may keep threads of its own.
    }

    bool open(std::string& error) {
        HMODULE library = LoadLibraryW(L"avicap32.dll");
        if (library == nullptr) {
            error = "vfw: avicap32.dll cannot be loaded";
            return false;
        }
        const FARPROC address = GetProcAddress(library, "capCreateCaptureWindowW");
        CreateCaptureWindowW create = nullptr;
        static_assert(sizeof create == sizeof address, "function pointers of one size");
        std::memcpy(&create, &address, sizeof create);
        if (create == nullptr) {
            error = "vfw: avicap32.dll has no capCreateCaptureWindowW";
            return false;
        }
        window_ = create(L"Camera", WS_POPUP, 0, 0, 320, 240, nullptr, 0);
        if (window_ == nullptr) {
            error = "vfw: no capture window";
            return false;
        }
        if (!SendMessageW(window_, WM_CAP_DRIVER_CONNECT, 0, 0)) {
            error = "vfw: driver 0 does not connect";
            return false;
        }
        CAPSTATUS status;
        std::memset(&status, 0, sizeof status);
        SendMessageW(window_, WM_CAP_GET_STATUS, sizeof status, reinterpret_cast<LPARAM>(&status));
        // The driver's frames are taken as they are: 24-bit, as the program
        // always expected of it.
        width_ = int(status.uiImageWidth);
        height_ = int(status.uiImageHeight);
        if (width_ <= 0 || height_ <= 0 || width_ % 4 != 0 || width_ > 8192 || height_ > 8192) {
            error = "vfw: driver 0 reports no usable frame size";
            return false;
        }
        frame_.assign(size_t(width_) * 3 * size_t(height_), 0);
        return true;
    }

    int width() const override { return width_; }
    int height() const override { return height_; }
    size_t frameBytes() const override { return frameBytes_; }

    GrabResult grab(uint8_t* frame) override {
        if (!IsWindow(window_)) return GrabResult::Lost;
        delivery = Delivery{&frame_, 0, false};
        SendMessageW(window_, WM_CAP_SET_CALLBACK_FRAME, 0, reinterpret_cast<LPARAM>(onVfwFrame));
        SendMessageW(window_, WM_CAP_GRAB_FRAME_NOSTOP, 0, 0);
        const Delivery delivered = delivery;
        delivery = Delivery{};
        if (!delivered.delivered) return GrabResult::NoNewFrame;
        frameBytes_ = delivered.bytes;
        std::memcpy(frame, frame_.data(), frameBytes_);
        return GrabResult::NewFrame;
    }

private:
    HWND window_ = nullptr;
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> frame_;
    size_t frameBytes_ = 0;  // of the last frame delivered
};

}  // namespace

std::unique_ptr<CameraDevice> openVfwCamera(std::string& error) {
    auto camera = std::make_unique<VfwCamera>();
    if (!camera->open(error)) return nullptr;
    return camera;
}

}  // namespace standin
