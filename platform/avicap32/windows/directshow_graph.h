// DirectShow below the DirectShow cameras (directshow_camera.cpp): the
// video input devices as the system enumerates them, and one camera's graph,
// capture filter -> Sample Grabber (RGB24) -> Null Renderer, whose grabber
// hands every frame to a FrameSink.
#pragma once

#include <windows.h>

#include <dshow.h>
#include <qedit.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/avicap32/camera_settings.h"
#include "platform/avicap32/windows/com_object.h"

namespace standin {
namespace directshow {

template <class T>
void release(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

std::string hex(HRESULT hr);

// A video input device as enumeration lists it. Two cameras of one model
// share a name; what tells them apart, best first: the DevicePath (which
// names the USB port), VFWIndex (Wine's: N of /dev/videoN), or, for a device
// with neither, the position in the list (which another camera can take
// once this one is gone).
struct DeviceId {
    std::wstring name;
    std::wstring devicePath;
    int vfwIndex = -1;
    size_t position = 0;
    std::wstring key() const {
        if (!devicePath.empty()) return devicePath;
        return name + L"|" + std::to_wstring(vfwIndex >= 0 ? vfwIndex : int(position));
    }
    // Whether other, as enumeration lists it now, is this same device.
    bool sameDevice(const DeviceId& other) const {
        if (!devicePath.empty()) return other.devicePath == devicePath;
        return other.name == name && (vfwIndex >= 0 ? other.vfwIndex == vfwIndex : other.position == position);
    }
};

// Every video input device, in order; with monikers (released by the
// caller) when asked for. COM must be started on the calling thread.
std::vector<DeviceId> enumerateDevices(std::vector<IMoniker*>* monikers);

// What the grabber's callback shares with the grab: the newest frame.
// Reference counted: the graph may call back until it is released.
class FrameSink : public ComObject<ISampleGrabberCB, IID_ISampleGrabberCB> {
public:
    FrameSink(int width, int height) : width_(width), height_(height) {
        InitializeSRWLock(&lock);
        InitializeConditionVariable(&arrived);
        frame.assign(size_t(width) * 3 * size_t(height), 0);
        lastFrameAt = GetTickCount64();
    }

    STDMETHODIMP SampleCB(double, IMediaSample*) override { return E_NOTIMPL; }

    // A frame of packed RGB24 rows (width * 3 is a multiple of 4, so no
    // padding), bottom row first unless the graph's type said top-down.
    STDMETHODIMP BufferCB(double, BYTE* data, long length) override {
        const size_t row = size_t(width_) * 3;
        if (data == nullptr || length < 0 || size_t(length) < frame.size()) return S_OK;  // short: dropped
        AcquireSRWLockExclusive(&lock);
        if (topDown) {
            for (int y = 0; y < height_; ++y)
                std::copy(data + size_t(y) * row, data + size_t(y + 1) * row, &frame[size_t(height_ - 1 - y) * row]);
        } else {
            std::copy(data, data + frame.size(), frame.begin());
        }
        fresh = true;
        anyFrame = true;
        lastFrameAt = GetTickCount64();
        ReleaseSRWLockExclusive(&lock);
        WakeAllConditionVariable(&arrived);
        return S_OK;
    }

    SRWLOCK lock;
    CONDITION_VARIABLE arrived;
    // Under lock:
    std::vector<uint8_t> frame;
    bool fresh = false;    // frame not taken by a grab yet
    bool lost = false;     // the camera is gone (for good: it comes back as a new camera)
    bool topDown = false;  // set before the graph runs
    ULONGLONG lastFrameAt;
    ULONGLONG runAt = 0;    // when the graph was started (0: not yet)
    bool anyFrame = false;  // one has come since then

private:
    const int width_, height_;
};

// One running graph; built and taken down on the camera's worker thread.
struct Graph {
    IBaseFilter* source = nullptr;  // the capture filter
    IGraphBuilder* builder = nullptr;
    IMediaControl* control = nullptr;
    IMediaEvent* events = nullptr;

    void stop();
};

// The frame size of a camera's graph: chosen when it is built (width 0
// until then), or given, for a camera opened again after it was lost.
struct FrameSize {
    int width = 0, height = 0;
    DWORD waitMs = 40;  // about one frame interval
};

// Builds the graph for device (whose reference it takes over) and runs it;
// the sink's runAt says when.
// Without a size, the one closest to 640x480 with a width that is a multiple
// of 4 is chosen; with one, the camera must give that size. The sink is made
// for the size when there is none yet. On failure the graph is left for
// stop(), and error says which step failed.
bool buildGraph(IMoniker* device, FrameSize& size, FrameSink*& sink, Graph& graph, std::string& error);

// Sets the user's exposure (IAMCameraControl, CameraControl_Exposure, in
// log2 seconds) and white balance (IAMVideoProcAmp, VideoProcAmp_WhiteBalance,
// in kelvin) on a capture filter: the range first, then the value, clamped,
// with the Manual flag, or the Auto flag for auto (directshow_controls.cpp).
SettingsOutcome applyCameraSettings(IUnknown* filter, const CameraSettings& settings);

// Whether the graph said its device is gone (EC_DEVICE_LOST, removed) or
// gave up (EC_ERRORABORT) since the last look.
bool deviceLost(Graph& graph);

}  // namespace directshow
}  // namespace standin
